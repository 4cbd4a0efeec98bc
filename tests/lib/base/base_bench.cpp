// What the user-mode primitives cost: every registry lookup, list operation
// and hash operation takes a spin-lock object, which is a semaphore of the
// user runtime.
#include <benchmark/benchmark.h>

#include <mutex>

#include "include/zek/zekbase.h"

namespace {

void BM_SpinlockAcquireRelease(benchmark::State& state) {
  static OSPrimSpinlockObject lock{};
  if (state.thread_index() == 0) OSPrimSyncInitSpinlockObject(&lock);
  for (auto _ : state) {
    OSPrimSyncAcquireSpinlockObject(&lock);
    OSPrimSyncReleaseSpinlockObject(&lock);
  }
  if (state.thread_index() == 0) OSPrimSyncDestroySpinlockObject(&lock);
}
BENCHMARK(BM_SpinlockAcquireRelease)->Threads(1)->Threads(4)->UseRealTime();

// The baseline of the same run: a plain mutex taken and let go.
void BM_StdMutexLockUnlock(benchmark::State& state) {
  static std::mutex lock;
  for (auto _ : state) {
    lock.lock();
    lock.unlock();
  }
}
BENCHMARK(BM_StdMutexLockUnlock)->Threads(1)->Threads(4)->UseRealTime();

void BM_ListInsertRemove(benchmark::State& state) {
  ZekListHead head;
  ZekInitializeListHead(&head);
  ZekListNode node;
  for (auto _ : state) {
    ZekInsertTailList(&head, &node);
    benchmark::DoNotOptimize(ZekRemoveTailList(&head));
  }
  OSPrimSyncDestroySpinlockObject(&head.Lock);
}
BENCHMARK(BM_ListInsertRemove);

void BM_HashFind(benchmark::State& state) {
  const auto keys = static_cast<std::uint32_t>(state.range(0));
  OSPrimHashTable table;
  OSPrimHashInit(&table, 1024);
  for (std::uint32_t key = 0; key < keys; ++key) OSPrimHashInsert(&table, &table, key);
  std::uint32_t key = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(OSPrimHashFind(&table, key));
    key = (key + 7919) % keys;
  }
  OSPrimHashDestroy(&table);
}
BENCHMARK(BM_HashFind)->Arg(1024)->Arg(16384);

void BM_HashInsertRemove(benchmark::State& state) {
  OSPrimHashTable table;
  OSPrimHashInit(&table, 1024);
  for (auto _ : state) {
    OSPrimHashInsert(&table, &table, 42);
    benchmark::DoNotOptimize(OSPrimHashRemove(&table, 42));
  }
  OSPrimHashDestroy(&table);
}
BENCHMARK(BM_HashInsertRemove);

void BM_GetErrorMessage(benchmark::State& state) {
  ZEK_InitLib_Base(0, ZEK_ABI_COOKIE);  // prints its "WasCalled" line once
  for (auto _ : state) benchmark::DoNotOptimize(ZEK_GetErrorMessage(ZEK_STATUS_BAD_PTR));
  ZEK_CleanupLib_Base();
}
BENCHMARK(BM_GetErrorMessage);

}  // namespace

BENCHMARK_MAIN();
