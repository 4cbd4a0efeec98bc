// DPCs and kernel timers on the virtual clock.
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/machine/interrupt_vectors.h"

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

// Queues `blocker` on `processor`, where it runs until `release` is set.
void hold_processor(KDPC* blocker, KEVENT* release, CHAR processor) {
  KeInitializeEvent(release, NotificationEvent, FALSE);
  KeInitializeDpc(
      blocker,
      [](KDPC*, PVOID ctx, PVOID, PVOID) {
        LARGE_INTEGER zero{};
        while (KeWaitForSingleObject(ctx, Executive, KernelMode, FALSE, &zero) == STATUS_TIMEOUT)
          std::this_thread::yield();
      },
      release);
  KeSetTargetProcessorDpc(blocker, processor);
  KeInsertQueueDpc(blocker, nullptr, nullptr);
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
  KDPC blocker;
  hold_processor(&blocker, &release, 0);

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

// An interrupt whose service routine queues a DPC: the DPC runs on the
// interrupt's own thread when its processor is idle; behind a DPC that
// holds the processor it waits for the processor's thread; and a DPC that
// queues itself again while it runs on the interrupt's thread does not run
// twice at once.
struct InterruptDpcRecord {
  KDPC dpc;
  std::atomic<int> isrs{0};
  std::atomic<int> runs{0};
  std::atomic<int> active{0};
  std::atomic<bool> overlapped{false};
  std::atomic<bool> requeue{false};
  std::thread::id isr_thread;
  std::thread::id dpc_thread;
  KIRQL irql = PASSIVE_LEVEL;
  ULONG processor = 99;
};

BOOLEAN queue_record_dpc(PKINTERRUPT, PVOID context) {
  auto* r = static_cast<InterruptDpcRecord*>(context);
  r->isr_thread = std::this_thread::get_id();
  KeInsertQueueDpc(&r->dpc, nullptr, nullptr);
  r->isrs++;
  return TRUE;
}

void interrupt_dpc(KDPC* dpc, PVOID context, PVOID, PVOID) {
  auto* r = static_cast<InterruptDpcRecord*>(context);
  if (r->active.fetch_add(1) != 0) r->overlapped = true;
  r->dpc_thread = std::this_thread::get_id();
  r->irql = KeGetCurrentIrql();
  r->processor = KeGetCurrentProcessorNumber();
  if (r->requeue.exchange(false)) {
    KeInsertQueueDpc(dpc, nullptr, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  r->active--;
  r->runs++;
}

bool within_a_second(const std::function<bool()>& done) {
  for (int i = 0; i < 1000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

TEST_F(DpcTimerTest, AnInterruptsDpcRunsOnItsThreadOnlyWhileItsProcessorIsIdle) {
  constexpr ULONG kVector = 0x61;
  InterruptDpcRecord r;
  KeInitializeDpc(&r.dpc, interrupt_dpc, &r);
  KeSetTargetProcessorDpc(&r.dpc, 1);
  PKINTERRUPT interrupt = nullptr;
  ASSERT_EQ(IoConnectInterrupt(&interrupt, queue_record_dpc, &r, nullptr, kVector, plat::Kernel::kDeviceIrql,
                               plat::Kernel::kDeviceIrql, LevelSensitive, FALSE, 1, FALSE),
            STATUS_SUCCESS);

  // Idle: on the interrupt's thread, at DISPATCH_LEVEL, as processor 1.
  kernel().machine().interrupts().raise(kVector);
  ASSERT_TRUE(within_a_second([&] { return r.runs == 1; }));
  EXPECT_EQ(r.dpc_thread, r.isr_thread);
  EXPECT_EQ(r.irql, DISPATCH_LEVEL);
  EXPECT_EQ(r.processor, 1u);

  // Busy: it waits for the blocker, then runs on the processor's thread.
  KEVENT release;
  KDPC blocker;
  hold_processor(&blocker, &release, 1);
  kernel().machine().interrupts().raise(kVector);
  ASSERT_TRUE(within_a_second([&] { return r.isrs == 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(r.runs, 1);
  KeSetEvent(&release, 0, FALSE);
  KeFlushQueuedDpcs();
  EXPECT_EQ(r.runs, 2);
  EXPECT_NE(r.dpc_thread, r.isr_thread);

  // Queued again while it runs on the interrupt's thread: the second run
  // waits for the first.
  r.requeue = true;
  kernel().machine().interrupts().raise(kVector);
  ASSERT_TRUE(within_a_second([&] { return r.runs == 4; }));
  KeFlushQueuedDpcs();
  EXPECT_FALSE(r.overlapped);
  EXPECT_EQ(r.runs, 4);
  IoDisconnectInterrupt(interrupt);
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
