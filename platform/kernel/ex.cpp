// Pool, fast mutexes and work items.
#include "platform/kernel/fault.h"
#include "platform/kernel/kernel.h"

using plat::fault;
using plat::Kernel;
using plat::this_thread;

namespace {
constexpr ULONG kUntaggedTag = MAKEFOURCC_LE('N', 'o', 'n', 'e');
}

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag, const SrcLoc& where) {
  const KIRQL irql = this_thread().irql;
  const bool paged = (PoolType & 1) != 0;
  if (paged && irql > APC_LEVEL) fault(where, "paged pool allocated at IRQL %u", irql);
  if (irql > DISPATCH_LEVEL) fault(where, "pool allocated at IRQL %u", irql);
  return Kernel::current().pool().allocate(PoolType, NumberOfBytes, Tag);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes, const SrcLoc& where) {
  return ExAllocatePoolWithTag(PoolType, NumberOfBytes, kUntaggedTag, where);
}

void ExFreePoolWithTag(PVOID P, ULONG Tag, const SrcLoc& where) {
  if (this_thread().irql > DISPATCH_LEVEL) fault(where, "pool freed at IRQL %u", this_thread().irql);
  Kernel::current().pool().free(P, Tag, where);
}

void ExFreePool(PVOID P, const SrcLoc& where) {
  if (this_thread().irql > DISPATCH_LEVEL) fault(where, "pool freed at IRQL %u", this_thread().irql);
  Kernel::current().pool().free(P, -1, where);
}

void ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
  FastMutex->Count = 1;
  FastMutex->Owner = nullptr;
  FastMutex->OldIrql = PASSIVE_LEVEL;
  KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

void ExAcquireFastMutex(PFAST_MUTEX FastMutex, const SrcLoc& where) {
  auto& state = this_thread();
  if (state.irql > APC_LEVEL) fault(where, "ExAcquireFastMutex at IRQL %u", state.irql);
  PKTHREAD self = KeGetCurrentThread();
  if (FastMutex->Owner == self)
    fault(where, "fast mutex %p acquired again by its owner (deadlock)", static_cast<void*>(FastMutex));
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old, where);
  if (InterlockedDecrement(&FastMutex->Count) != 0) {
    KeWaitForSingleObject(&FastMutex->Event, WrExecutive, KernelMode, FALSE, nullptr, where);
  }
  FastMutex->Owner = self;
  FastMutex->OldIrql = old;
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex, const SrcLoc& where) {
  auto& state = this_thread();
  if (state.irql > APC_LEVEL) fault(where, "ExTryToAcquireFastMutex at IRQL %u", state.irql);
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old, where);
  if (InterlockedCompareExchange(&FastMutex->Count, 0, 1) != 1) {
    KeLowerIrql(old, where);
    return FALSE;
  }
  FastMutex->Owner = KeGetCurrentThread();
  FastMutex->OldIrql = old;
  return TRUE;
}

void ExReleaseFastMutex(PFAST_MUTEX FastMutex, const SrcLoc& where) {
  if (FastMutex->Owner != KeGetCurrentThread()) {
    fault(where, "fast mutex %p released by a thread that does not own it", static_cast<void*>(FastMutex));
  }
  const KIRQL old = FastMutex->OldIrql;
  FastMutex->Owner = nullptr;
  if (InterlockedIncrement(&FastMutex->Count) != 1) KeSetEvent(&FastMutex->Event, 0, FALSE);
  KeLowerIrql(old, where);
}

void ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE) { Kernel::current().workers().queue(WorkItem); }
