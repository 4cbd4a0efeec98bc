// DPCs and kernel timers on the virtual clock.
#include <atomic>

#include "tests/support/kernel_fixture.h"

namespace {

class DpcTimerTest : public KernelTest {};

struct DpcRecord {
  std::atomic<int> runs{0};
  KIRQL irql = PASSIVE_LEVEL;
  PVOID context = nullptr;
  PVOID argument1 = nullptr;
  PVOID argument2 = nullptr;
  ULONG processor = 99;
};

void record_dpc(KDPC*, PVOID context, PVOID a1, PVOID a2) {
  auto* r = static_cast<DpcRecord*>(context);
  r->irql = KeGetCurrentIrql();
  r->context = context;
  r->argument1 = a1;
  r->argument2 = a2;
  r->processor = KeGetCurrentProcessorNumber();
  r->runs++;
}

TEST_F(DpcTimerTest, QueuedDpcRunsOnceAtDispatchWithItsArguments) {
  DpcRecord r;
  KDPC dpc;
  KeInitializeDpc(&dpc, record_dpc, &r);
  KeSetTargetProcessorDpc(&dpc, 1);
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, reinterpret_cast<PVOID>(1), reinterpret_cast<PVOID>(2)));
  KeFlushQueuedDpcs();
  EXPECT_EQ(r.runs, 1);
  EXPECT_EQ(r.irql, DISPATCH_LEVEL);
  EXPECT_EQ(r.context, &r);
  EXPECT_EQ(r.argument1, reinterpret_cast<PVOID>(1));
  EXPECT_EQ(r.argument2, reinterpret_cast<PVOID>(2));
  EXPECT_EQ(r.processor, 1u);
}

TEST_F(DpcTimerTest, ADpcQueuedTwiceRunsOnceAndCanBeRemoved) {
  // Hold the DPC processor busy so that the queue state can be observed.
  KEVENT release;
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  KDPC blocker;
  KeInitializeDpc(
      &blocker,
      [](KDPC*, PVOID ctx, PVOID, PVOID) {
        LARGE_INTEGER zero{};
        while (KeWaitForSingleObject(ctx, Executive, KernelMode, FALSE, &zero) == STATUS_TIMEOUT)
          std::this_thread::yield();
      },
      &release);
  KeSetTargetProcessorDpc(&blocker, 0);
  KeInsertQueueDpc(&blocker, nullptr, nullptr);

  DpcRecord r;
  KDPC dpc;
  KeInitializeDpc(&dpc, record_dpc, &r);
  KeSetTargetProcessorDpc(&dpc, 0);
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
  EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  KeSetEvent(&release, 0, FALSE);
  KeFlushQueuedDpcs();
  EXPECT_EQ(r.runs, 1);
}

TEST_F(DpcTimerTest, OneShotTimerFiresItsDpcAtTheDueTimeOnly) {
  DpcRecord r;
  KDPC dpc;
  KeInitializeDpc(&dpc, record_dpc, &r);
  KTIMER timer;
  KeInitializeTimer(&timer);
  LARGE_INTEGER start;
  KeQuerySystemTime(&start);
  EXPECT_FALSE(KeSetTimer(&timer, relative_ms(100), &dpc));
  clock().advance(99 * plat::Clock::kUnitsPerMs);
  KeFlushQueuedDpcs();
  EXPECT_EQ(r.runs, 0);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  clock().advance(plat::Clock::kUnitsPerMs);
  KeFlushQueuedDpcs();
  EXPECT_EQ(r.runs, 1);
  EXPECT_TRUE(KeReadStateTimer(&timer));
  // The DPC receives the expiry's system time.
  ULARGE_INTEGER fired;
  fired.LowPart = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(r.argument1));
  fired.HighPart = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(r.argument2));
  EXPECT_EQ(fired.QuadPart, static_cast<ULONGLONG>(start.QuadPart + 100 * plat::Clock::kUnitsPerMs));
  clock().advance(plat::Clock::kUnitsPerSecond);
  KeFlushQueuedDpcs();
  EXPECT_EQ(r.runs, 1);
  EXPECT_FALSE(KeCancelTimer(&timer));
}

TEST_F(DpcTimerTest, PeriodicTimerFiresEveryPeriodUntilCancelled) {
  DpcRecord r;
  KDPC dpc;
  KeInitializeDpc(&dpc, record_dpc, &r);
  KTIMER timer;
  KeInitializeTimerEx(&timer, SynchronizationTimer);
  KeSetTimerEx(&timer, relative_ms(10), 330, &dpc);
  clock().advance(10 * plat::Clock::kUnitsPerMs);
  KeFlushQueuedDpcs();
  EXPECT_EQ(r.runs, 1);
  for (int i = 2; i <= 4; ++i) {
    clock().advance(329 * plat::Clock::kUnitsPerMs);
    KeFlushQueuedDpcs();
    EXPECT_EQ(r.runs, i - 1);
    clock().advance(plat::Clock::kUnitsPerMs);
    KeFlushQueuedDpcs();
    EXPECT_EQ(r.runs, i);
  }
  EXPECT_TRUE(KeCancelTimer(&timer));
  clock().advance(10 * plat::Clock::kUnitsPerSecond);
  KeFlushQueuedDpcs();
  EXPECT_EQ(r.runs, 4);
}

TEST_F(DpcTimerTest, ResettingAQueuedTimerReplacesItsDueTime) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  EXPECT_FALSE(KeSetTimer(&timer, relative_ms(50), nullptr));
  EXPECT_TRUE(KeSetTimer(&timer, relative_ms(500), nullptr));
  clock().advance(100 * plat::Clock::kUnitsPerMs);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  clock().advance(400 * plat::Clock::kUnitsPerMs);
  EXPECT_TRUE(KeReadStateTimer(&timer));
}

TEST_F(DpcTimerTest, TimerObjectWakesItsWaiter) {
  KTIMER timer;
  KeInitializeTimerEx(&timer, SynchronizationTimer);
  KeSetTimer(&timer, relative_ms(20), nullptr);
  std::atomic<NTSTATUS> status{STATUS_PENDING};
  std::thread t([&] { status = KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(status, STATUS_PENDING);
  clock().advance(20 * plat::Clock::kUnitsPerMs);
  t.join();
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_FALSE(KeReadStateTimer(&timer)) << "a synchronization timer resets when its wait is satisfied";
}

TEST_F(DpcTimerTest, TimerDueNowFiresWithoutTheClockMoving) {
  DpcRecord r;
  KDPC dpc;
  KeInitializeDpc(&dpc, record_dpc, &r);
  KTIMER timer;
  KeInitializeTimer(&timer);
  LARGE_INTEGER now{};
  KeSetTimer(&timer, now, &dpc);
  KeFlushQueuedDpcs();
  EXPECT_EQ(r.runs, 1);
}

TEST_F(DpcTimerTest, ManyDpcsFromManyThreadsAllRun) {
  constexpr int kDpcs = 64;
  std::vector<DpcRecord> records(kDpcs);
  std::vector<KDPC> dpcs(kDpcs);
  for (int i = 0; i < kDpcs; ++i) KeInitializeDpc(&dpcs[i], record_dpc, &records[i]);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = t; i < kDpcs; i += 4) KeInsertQueueDpc(&dpcs[i], nullptr, nullptr);
    });
  }
  for (auto& t : threads) t.join();
  KeFlushQueuedDpcs();
  for (auto& r : records) {
    EXPECT_EQ(r.runs, 1);
    EXPECT_EQ(r.irql, DISPATCH_LEVEL);
  }
}

using DpcTimerDeathTest = DpcTimerTest;

TEST_F(DpcTimerDeathTest, DpcThatBlocksStops) {
  EXPECT_DEATH(
      {
        static KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        KDPC dpc;
        KeInitializeDpc(
            &dpc,
            [](KDPC*, PVOID, PVOID, PVOID) { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); },
            nullptr);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        KeFlushQueuedDpcs();
      },
      "KeWaitForSingleObject at IRQL 2 would block");
}

TEST_F(DpcTimerDeathTest, DpcReturningWithALockHeldStops) {
  EXPECT_DEATH(
      {
        static KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KDPC dpc;
        KeInitializeDpc(
            &dpc, [](KDPC*, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&lock); }, nullptr);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        KeFlushQueuedDpcs();
      },
      "returned at IRQL 2 holding 1 spin lock");
}

}  // namespace
