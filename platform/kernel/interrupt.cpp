#include "platform/kernel/interrupt.h"

#include "platform/kernel/fault.h"
#include "platform/kernel/kernel.h"

struct KINTERRUPT {
  KSPIN_LOCK OwnLock = 0;
  PKSPIN_LOCK Lock = nullptr;  // OwnLock, or the one the connector passed
  KIRQL Irql = 0;
  ULONG Vector = 0;
  PKSERVICE_ROUTINE Line = nullptr;
  PKMESSAGE_SERVICE_ROUTINE Message = nullptr;
  PVOID Context = nullptr;

  std::mutex mu;
  std::condition_variable cv;
  std::uint64_t pending = 0;
  std::uint64_t calls = 0;
  bool stopping = false;
  std::thread thread;
};

namespace plat {

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
  if (out == nullptr || (line == nullptr && message == nullptr) || irql <= DISPATCH_LEVEL) return STATUS_INVALID_PARAMETER;
  auto* interrupt = new KINTERRUPT;
  interrupt->Lock = external_lock != nullptr ? external_lock : &interrupt->OwnLock;
  interrupt->Irql = irql;
  interrupt->Vector = vector;
  interrupt->Line = line;
  interrupt->Message = message;
  interrupt->Context = context;
  {
    std::lock_guard lock(mu_);
    if (connected_.contains(vector)) {
      delete interrupt;
      return STATUS_INVALID_PARAMETER;  // no sharing: one routine per vector
    }
    connected_.emplace(vector, interrupt);
  }
  interrupt->thread = std::thread([this, interrupt] { run(interrupt); });
  *out = interrupt;
  return STATUS_SUCCESS;
}

void InterruptDispatcher::disconnect(PKINTERRUPT interrupt) {
  {
    std::lock_guard lock(mu_);
    auto it = connected_.find(interrupt->Vector);
    if (it == connected_.end() || it->second != interrupt) {
      fault(std::source_location::current(), "IoDisconnectInterrupt of an interrupt that is not connected");
    }
    connected_.erase(it);
  }
  {
    std::lock_guard lock(interrupt->mu);
    interrupt->stopping = true;
  }
  interrupt->cv.notify_one();
  interrupt->thread.join();
  delete interrupt;
}

void InterruptDispatcher::raise(ULONG vector) {
  std::lock_guard lock(mu_);
  auto it = connected_.find(vector);
  if (it == connected_.end()) {
    ++dropped_;
    return;
  }
  KINTERRUPT* interrupt = it->second;
  {
    std::lock_guard ilock(interrupt->mu);
    ++interrupt->pending;
  }
  interrupt->cv.notify_one();
}

std::uint64_t InterruptDispatcher::dropped() const {
  std::lock_guard lock(mu_);
  return dropped_;
}

std::uint64_t InterruptDispatcher::serviced(ULONG vector) const {
  std::lock_guard lock(mu_);
  auto it = connected_.find(vector);
  if (it == connected_.end()) return 0;
  std::lock_guard ilock(it->second->mu);
  return it->second->calls;
}

void InterruptDispatcher::run(KINTERRUPT* interrupt) {
  std::unique_lock lock(interrupt->mu);
  for (;;) {
    interrupt->cv.wait(lock, [&] { return interrupt->stopping || interrupt->pending != 0; });
    if (interrupt->stopping) return;
    --interrupt->pending;
    lock.unlock();
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
    lock.lock();
    ++interrupt->calls;
  }
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
