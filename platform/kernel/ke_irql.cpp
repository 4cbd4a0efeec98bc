// IRQL and spin locks.
#include <immintrin.h>

#include <thread>

#include "platform/kernel/fault.h"
#include "platform/kernel/ke.h"
#include "platform/kernel/thread.h"

using plat::fault;
using plat::this_thread;

KIRQL KeGetCurrentIrql() { return this_thread().irql; }

void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql, const SrcLoc& where) {
  auto& state = this_thread();
  if (NewIrql < state.irql) fault(where, "KeRaiseIrql to IRQL %u from the higher IRQL %u", NewIrql, state.irql);
  *OldIrql = state.irql;
  state.irql = NewIrql;
}

void KeLowerIrql(KIRQL NewIrql, const SrcLoc& where) {
  auto& state = this_thread();
  if (NewIrql > state.irql) fault(where, "KeLowerIrql to IRQL %u from the lower IRQL %u", NewIrql, state.irql);
  if (NewIrql < DISPATCH_LEVEL && state.spin_locks_held != 0) {
    fault(where, "IRQL lowered to %u while %d spin lock(s) are held", NewIrql, state.spin_locks_held);
  }
  if (NewIrql < DISPATCH_LEVEL && state.cpu >= 0) fault(where, "a DPC lowered the IRQL below DISPATCH_LEVEL");
  state.irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(const SrcLoc& where) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old, where);
  return old;
}

namespace {

std::atomic_ref<ULONG_PTR> word_of(PKSPIN_LOCK lock) { return std::atomic_ref<ULONG_PTR>(*lock); }

ULONG_PTR owner_token() { return reinterpret_cast<ULONG_PTR>(plat::current_kthread()); }

void acquire_raw(PKSPIN_LOCK lock, const SrcLoc& where) {
  if (lock == nullptr) fault(where, "spin lock at a null address");
  auto word = word_of(lock);
  const ULONG_PTR me = owner_token();
  if (word.load(std::memory_order_relaxed) == me) {
    fault(where, "spin lock %p acquired again by the thread that holds it (deadlock)", static_cast<void*>(lock));
  }
  unsigned spins = 0;
  ULONG_PTR expected = 0;
  while (!word.compare_exchange_weak(expected, me, std::memory_order_acquire, std::memory_order_relaxed)) {
    expected = 0;
    // The holder is a real thread that the host may have descheduled: yield
    // after a short spin instead of burning the processor.
    if (++spins < 128) {
      _mm_pause();
    } else {
      std::this_thread::yield();
    }
  }
  ++this_thread().spin_locks_held;
}

void release_raw(PKSPIN_LOCK lock, const SrcLoc& where) {
  if (lock == nullptr) fault(where, "spin lock at a null address");
  auto word = word_of(lock);
  const ULONG_PTR owner = word.load(std::memory_order_relaxed);
  if (owner != owner_token()) {
    fault(where, "spin lock %p released by a thread that does not hold it (owner %p)", static_cast<void*>(lock),
          reinterpret_cast<void*>(owner));
  }
  word.store(0, std::memory_order_release);
  --this_thread().spin_locks_held;
}

void require_at_least_dispatch(const char* what, const SrcLoc& where) {
  if (this_thread().irql < DISPATCH_LEVEL) fault(where, "%s below DISPATCH_LEVEL (IRQL %u)", what, this_thread().irql);
}

KIRQL raise_for_lock(const char* what, const SrcLoc& where) {
  auto& state = this_thread();
  if (state.irql > DISPATCH_LEVEL) fault(where, "%s at IRQL %u, above DISPATCH_LEVEL", what, state.irql);
  KIRQL old = state.irql;
  state.irql = DISPATCH_LEVEL;
  return old;
}

}  // namespace

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql, const SrcLoc& where) {
  *OldIrql = KeAcquireSpinLockRaiseToDpc(SpinLock, where);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock, const SrcLoc& where) {
  KIRQL old = raise_for_lock("KeAcquireSpinLock", where);
  acquire_raw(SpinLock, where);
  return old;
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql, const SrcLoc& where) {
  release_raw(SpinLock, where);
  KeLowerIrql(NewIrql, where);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, const SrcLoc& where) {
  require_at_least_dispatch("KeAcquireSpinLockAtDpcLevel", where);
  acquire_raw(SpinLock, where);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock, const SrcLoc& where) {
  require_at_least_dispatch("KeReleaseSpinLockFromDpcLevel", where);
  release_raw(SpinLock, where);
}

BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, const SrcLoc& where) {
  require_at_least_dispatch("KeTryToAcquireSpinLockAtDpcLevel", where);
  auto word = word_of(SpinLock);
  const ULONG_PTR me = owner_token();
  if (word.load(std::memory_order_relaxed) == me) {
    fault(where, "spin lock %p acquired again by the thread that holds it (deadlock)", static_cast<void*>(SpinLock));
  }
  ULONG_PTR expected = 0;
  if (!word.compare_exchange_strong(expected, me, std::memory_order_acquire, std::memory_order_relaxed)) return FALSE;
  ++this_thread().spin_locks_held;
  return TRUE;
}

BOOLEAN KeTestSpinLock(PKSPIN_LOCK SpinLock) { return word_of(SpinLock).load(std::memory_order_relaxed) == 0; }

void KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle, const SrcLoc& where) {
  LockHandle->Lock = SpinLock;
  LockHandle->OldIrql = KeAcquireSpinLockRaiseToDpc(SpinLock, where);
}

void KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle, const SrcLoc& where) {
  KeReleaseSpinLock(LockHandle->Lock, LockHandle->OldIrql, where);
}

void KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle,
                                              const SrcLoc& where) {
  LockHandle->Lock = SpinLock;
  LockHandle->OldIrql = DISPATCH_LEVEL;
  KeAcquireSpinLockAtDpcLevel(SpinLock, where);
}

void KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle, const SrcLoc& where) {
  KeReleaseSpinLockFromDpcLevel(LockHandle->Lock, where);
}
