// Executive services: tagged pool, fast mutexes and system worker threads.
#pragma once

#include "platform/kernel/ke.h"

enum POOL_TYPE {
  NonPagedPool = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolNx = 512,
};

// Pool blocks are not zeroed. A request of a page or more is page aligned.
// Paged pool above APC_LEVEL stops the host; so does freeing a block twice,
// freeing something that is not a pool block, or freeing with another tag.
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag,
                            const SrcLoc& where = SrcLoc::current());
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes, const SrcLoc& where = SrcLoc::current());
void ExFreePoolWithTag(PVOID P, ULONG Tag, const SrcLoc& where = SrcLoc::current());
void ExFreePool(PVOID P, const SrcLoc& where = SrcLoc::current());

// Fast mutex: a non-recursive passive-level lock; holding it raises to APC_LEVEL.
struct FAST_MUTEX {
  LONG Count;  // 1 = free
  PKTHREAD Owner;
  KEVENT Event;
  KIRQL OldIrql;
};
using PFAST_MUTEX = FAST_MUTEX*;

void ExInitializeFastMutex(PFAST_MUTEX FastMutex);
void ExAcquireFastMutex(PFAST_MUTEX FastMutex, const SrcLoc& where = SrcLoc::current());
void ExReleaseFastMutex(PFAST_MUTEX FastMutex, const SrcLoc& where = SrcLoc::current());
BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex, const SrcLoc& where = SrcLoc::current());

// System worker threads: routines run at PASSIVE_LEVEL in queue order.
using PWORKER_THREAD_ROUTINE = void (*)(PVOID Parameter);
enum WORK_QUEUE_TYPE { CriticalWorkQueue, DelayedWorkQueue, HyperCriticalWorkQueue };

struct WORK_QUEUE_ITEM {
  LIST_ENTRY List;
  PWORKER_THREAD_ROUTINE WorkerRoutine;
  PVOID Parameter;
};
using PWORK_QUEUE_ITEM = WORK_QUEUE_ITEM*;

inline void ExInitializeWorkItem(PWORK_QUEUE_ITEM Item, PWORKER_THREAD_ROUTINE Routine, PVOID Parameter) {
  Item->WorkerRoutine = Routine;
  Item->Parameter = Parameter;
  Item->List.Flink = nullptr;
  Item->List.Blink = nullptr;
}
void ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType);
