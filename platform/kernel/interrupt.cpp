#include "platform/kernel/interrupt.h"

#include "platform/kernel/fault.h"
#include "platform/kernel/kernel.h"
#include "platform/machine/interrupt_vectors.h"

struct KINTERRUPT {
  KSPIN_LOCK OwnLock = 0;
  PKSPIN_LOCK Lock = nullptr;  // OwnLock, or the one the connector passed
  KIRQL Irql = 0;
  ULONG Vector = 0;
  PKSERVICE_ROUTINE Line = nullptr;
  PKMESSAGE_SERVICE_ROUTINE Message = nullptr;
  PVOID Context = nullptr;
};

namespace plat {
namespace {

// One interrupt, on the vector's delivery thread; a DPC it queued for an
// idle processor runs here after it (see DpcEngine).
void service(KINTERRUPT* interrupt) {
  DpcEngine& dpcs = Kernel::current().dpcs();
  dpcs.begin_interrupt();
  KIRQL old;
  KeRaiseIrql(interrupt->Irql, &old);
  KeAcquireSpinLockAtDpcLevel(interrupt->Lock);
  if (interrupt->Line != nullptr) {
    interrupt->Line(interrupt, interrupt->Context);
  } else {
    interrupt->Message(interrupt, interrupt->Context, 0);
  }
  KeReleaseSpinLockFromDpcLevel(interrupt->Lock);
  KeLowerIrql(old);
  dpcs.end_interrupt();
}

}  // namespace

InterruptDispatcher::~InterruptDispatcher() {
  while (true) {
    KINTERRUPT* interrupt = nullptr;
    {
      std::lock_guard lock(mu_);
      if (connected_.empty()) break;
      interrupt = connected_.begin()->second;
    }
    disconnect(interrupt);
  }
}

NTSTATUS InterruptDispatcher::connect(ULONG vector, KIRQL irql, PKSERVICE_ROUTINE line,
                                      PKMESSAGE_SERVICE_ROUTINE message, PVOID context, PKSPIN_LOCK external_lock,
                                      PKINTERRUPT* out) {
  if (out == nullptr || (line == nullptr && message == nullptr) || irql <= DISPATCH_LEVEL)
    return STATUS_INVALID_PARAMETER;
  auto* interrupt = new KINTERRUPT;
  interrupt->Lock = external_lock != nullptr ? external_lock : &interrupt->OwnLock;
  interrupt->Irql = irql;
  interrupt->Vector = vector;
  interrupt->Line = line;
  interrupt->Message = message;
  interrupt->Context = context;
  {
    std::lock_guard lock(mu_);
    // No sharing: one routine per vector.
    if (connected_.contains(vector) || !vectors_.connect(vector, [interrupt] { service(interrupt); })) {
      delete interrupt;
      return STATUS_INVALID_PARAMETER;
    }
    connected_.emplace(vector, interrupt);
  }
  *out = interrupt;
  return STATUS_SUCCESS;
}

void InterruptDispatcher::disconnect(PKINTERRUPT interrupt) {
  {
    std::lock_guard lock(mu_);
    auto it = connected_.find(interrupt->Vector);
    if (it == connected_.end() || it->second != interrupt) {
      fault(SrcLoc::current(), "IoDisconnectInterrupt of an interrupt that is not connected");
    }
    connected_.erase(it);
  }
  vectors_.disconnect(interrupt->Vector);
  delete interrupt;
}

}  // namespace plat

NTSTATUS IoConnectInterrupt(PKINTERRUPT* InterruptObject, PKSERVICE_ROUTINE ServiceRoutine, PVOID ServiceContext,
                            PKSPIN_LOCK SpinLock, ULONG Vector, KIRQL Irql, KIRQL, KINTERRUPT_MODE, BOOLEAN, KAFFINITY,
                            BOOLEAN) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    plat::fault(SrcLoc::current(), "IoConnectInterrupt at IRQL %u", KeGetCurrentIrql());
  }
  return plat::Kernel::current().interrupts().connect(Vector, Irql, ServiceRoutine, nullptr, ServiceContext, SpinLock,
                                                      InterruptObject);
}

void IoDisconnectInterrupt(PKINTERRUPT InterruptObject) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    plat::fault(SrcLoc::current(), "IoDisconnectInterrupt at IRQL %u", KeGetCurrentIrql());
  }
  plat::Kernel::current().interrupts().disconnect(InterruptObject);
}

KIRQL KeAcquireInterruptSpinLock(PKINTERRUPT Interrupt, const SrcLoc& where) {
  KIRQL old;
  KeRaiseIrql(Interrupt->Irql, &old, where);
  KeAcquireSpinLockAtDpcLevel(Interrupt->Lock, where);
  return old;
}

void KeReleaseInterruptSpinLock(PKINTERRUPT Interrupt, KIRQL OldIrql, const SrcLoc& where) {
  KeReleaseSpinLockFromDpcLevel(Interrupt->Lock, where);
  KeLowerIrql(OldIrql, where);
}

BOOLEAN KeSynchronizeExecution(PKINTERRUPT Interrupt, PKSYNCHRONIZE_ROUTINE SynchronizeRoutine,
                               PVOID SynchronizeContext, const SrcLoc& where) {
  KIRQL old = KeAcquireInterruptSpinLock(Interrupt, where);
  BOOLEAN result = SynchronizeRoutine(SynchronizeContext);
  KeReleaseInterruptSpinLock(Interrupt, old, where);
  return result;
}
