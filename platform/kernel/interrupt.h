// Interrupt objects: the kernel's side of device interrupts. A driver
// connects its service routine to the vector the bus gave its function; the
// machine's delivery thread of that vector (platform/machine/
// interrupt_vectors.h) then runs the routine at the interrupt's device IRQL,
// holding the interrupt spin lock, one interrupt at a time.
#pragma once

#include <map>
#include <mutex>

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

class InterruptVectors;

class InterruptDispatcher {
 public:
  explicit InterruptDispatcher(InterruptVectors& vectors) : vectors_(vectors) {}
  // Disconnects the interrupts still connected.
  ~InterruptDispatcher();
  InterruptDispatcher(const InterruptDispatcher&) = delete;
  InterruptDispatcher& operator=(const InterruptDispatcher&) = delete;

  // Message-signalled form: the routine gets message id 0.
  NTSTATUS connect(ULONG vector, KIRQL irql, PKSERVICE_ROUTINE line, PKMESSAGE_SERVICE_ROUTINE message, PVOID context,
                   PKSPIN_LOCK external_lock, PKINTERRUPT* out);
  void disconnect(PKINTERRUPT interrupt);

 private:
  InterruptVectors& vectors_;
  std::mutex mu_;
  std::map<ULONG, KINTERRUPT*> connected_;
};

}  // namespace plat
