// Device interrupts. A device raises its vector from any thread; the
// interrupt thread of that vector runs the connected service routine at the
// interrupt's device IRQL, holding the interrupt spin lock, one interrupt at
// a time. Raising a vector never blocks the device. Interrupts raised while
// nothing is connected are counted and dropped.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/kernel/ke.h"

struct KINTERRUPT;
using PKINTERRUPT = KINTERRUPT*;
using PKSERVICE_ROUTINE = BOOLEAN (*)(PKINTERRUPT Interrupt, PVOID ServiceContext);
using PKMESSAGE_SERVICE_ROUTINE = BOOLEAN (*)(PKINTERRUPT Interrupt, PVOID ServiceContext, ULONG MessageID);
using PKSYNCHRONIZE_ROUTINE = BOOLEAN (*)(PVOID SynchronizeContext);
using KAFFINITY = ULONG_PTR;
enum KINTERRUPT_MODE { LevelSensitive, Latched };

// Connects a line-based service routine to a vector (one routine per vector).
NTSTATUS IoConnectInterrupt(PKINTERRUPT* InterruptObject, PKSERVICE_ROUTINE ServiceRoutine, PVOID ServiceContext,
                            PKSPIN_LOCK SpinLock, ULONG Vector, KIRQL Irql, KIRQL SynchronizeIrql,
                            KINTERRUPT_MODE InterruptMode, BOOLEAN ShareVector, KAFFINITY ProcessorEnableMask,
                            BOOLEAN FloatingSave);
// Waits until a running service routine has returned; the routine is not called again.
void IoDisconnectInterrupt(PKINTERRUPT InterruptObject);
// Runs the routine at the interrupt's IRQL holding its spin lock, excluding the ISR.
BOOLEAN KeSynchronizeExecution(PKINTERRUPT Interrupt, PKSYNCHRONIZE_ROUTINE SynchronizeRoutine,
                               PVOID SynchronizeContext, const SrcLoc& where = SrcLoc::current());
KIRQL KeAcquireInterruptSpinLock(PKINTERRUPT Interrupt, const SrcLoc& where = SrcLoc::current());
void KeReleaseInterruptSpinLock(PKINTERRUPT Interrupt, KIRQL OldIrql, const SrcLoc& where = SrcLoc::current());

namespace plat {

class InterruptDispatcher {
 public:
  InterruptDispatcher() = default;
  ~InterruptDispatcher();
  InterruptDispatcher(const InterruptDispatcher&) = delete;
  InterruptDispatcher& operator=(const InterruptDispatcher&) = delete;

  // Message-signalled form: the routine gets message id 0.
  NTSTATUS connect(ULONG vector, KIRQL irql, PKSERVICE_ROUTINE line, PKMESSAGE_SERVICE_ROUTINE message,
                   PVOID context, PKSPIN_LOCK external_lock, PKINTERRUPT* out);
  void disconnect(PKINTERRUPT interrupt);

  // Called by a device; never blocks on the service routine.
  void raise(ULONG vector);
  std::uint64_t dropped() const;
  // Service routine calls so far, and how many returned TRUE.
  std::uint64_t serviced(ULONG vector) const;

 private:
  void run(KINTERRUPT* interrupt);

  mutable std::mutex mu_;
  std::map<ULONG, KINTERRUPT*> connected_;
  std::uint64_t dropped_ = 0;
};

}  // namespace plat
