// Delays and joining a thread.
#include <atomic>
#include <chrono>
#include <thread>

#include "tests/proxy/core/osprim_fixture.h"

namespace {

class TimeTest : public OsprimTest {};

TEST_F(TimeTest, SleepDelayAtPassiveWaitsTheWholeTime) {
  for (std::uint32_t microseconds : {0u, 1u, 49u, 50u, 999u, 1000u, 250'000u, 3'000'000u}) {
    const ULONGLONG before = KeQueryInterruptTime();
    EXPECT_EQ(OSPrimSleepDelay(nullptr, microseconds), ZEK_STATUS_PASS);
    EXPECT_GE(KeQueryInterruptTime() - before, ULONGLONG{microseconds} * 10) << microseconds << " us";
  }
}

// Above APC_LEVEL a thread may not wait: every delay is a busy stall there,
// of the time asked below 50 us and of 50 us for anything longer, and the
// caller goes on at its own IRQL.
TEST_F(TimeTest, DelaysAtDispatchLevelAreBusyStallsOfAtMostFiftyMicroseconds) {
  struct Case {
    std::uint32_t microseconds;
    ULONGLONG stalled_us;
  } cases[] = {{0, 0}, {1, 1}, {40, 40}, {49, 49}, {50, 50}, {1000, 50}, {250'000, 50}, {3'000'000, 50}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.microseconds);
    const ULONGLONG before = KeQueryInterruptTime();
    at_dispatch([&] {
      EXPECT_EQ(OSPrimSleepDelay(nullptr, c.microseconds), ZEK_STATUS_PASS);
      EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    });
    // On the virtual clock only a stall or a delay moves time, by exactly
    // what it took.
    EXPECT_EQ(KeQueryInterruptTime() - before, c.stalled_us * 10);
  }
}

// At APC_LEVEL the thread may still wait: the delay is not shortened.
TEST_F(TimeTest, DelaysAtApcLevelWaitTheWholeTime) {
  const ULONGLONG before = KeQueryInterruptTime();
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  EXPECT_EQ(OSPrimSleepDelay(nullptr, 1000), ZEK_STATUS_PASS);
  KeLowerIrql(old);
  EXPECT_GE(KeQueryInterruptTime() - before, 1000u * 10);
}

struct Worker {
  KEVENT go;
  HANDLE handle = nullptr;
  ZekStatus self_join = ZEK_STATUS_PASS;
  bool join_self = false;
};

void worker_main(PVOID context) {
  auto* w = static_cast<Worker*>(context);
  KeWaitForSingleObject(&w->go, Executive, KernelMode, FALSE, nullptr);
  if (w->join_self) w->self_join = OsPrimJoinThread(w->handle);
}

TEST_F(TimeTest, JoinReturnsOnceTheThreadHasEnded) {
  Worker worker;
  KeInitializeEvent(&worker.go, NotificationEvent, FALSE);
  ASSERT_EQ(PsCreateSystemThread(&worker.handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, worker_main, &worker),
            STATUS_SUCCESS);
  std::atomic<bool> joined{false};
  std::thread joiner([&] {
    EXPECT_EQ(OsPrimJoinThread(worker.handle), ZEK_STATUS_PASS);
    joined = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(joined.load());
  KeSetEvent(&worker.go, 0, FALSE);
  EXPECT_TRUE(eventually([&] { return joined.load(); }));
  joiner.join();
  // The thread has ended: a second join returns at once.
  EXPECT_EQ(OsPrimJoinThread(worker.handle), ZEK_STATUS_PASS);
  EXPECT_EQ(ZwClose(worker.handle), STATUS_SUCCESS);
  // A closed handle ends the join too.
  EXPECT_EQ(OsPrimJoinThread(worker.handle), ZEK_STATUS_PASS);
}

TEST_F(TimeTest, JoinRefusesTheCallingThreadAndAcceptsNoHandle) {
  Worker worker;
  worker.join_self = true;
  KeInitializeEvent(&worker.go, NotificationEvent, FALSE);
  ASSERT_EQ(PsCreateSystemThread(&worker.handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, worker_main, &worker),
            STATUS_SUCCESS);
  KeSetEvent(&worker.go, 0, FALSE);
  EXPECT_EQ(OsPrimJoinThread(worker.handle), ZEK_STATUS_PASS);
  EXPECT_EQ(worker.self_join, ZEK_OSPRIM_FAILURE);
  ZwClose(worker.handle);

  EXPECT_EQ(OsPrimJoinThread(nullptr), ZEK_STATUS_PASS);
  const std::string log = ring_text();
  EXPECT_NE(log.find("OsPrimJoinThread: JOIN for itself, return from here\n"), std::string::npos);
  EXPECT_NE(log.find(" returning from beginning\n"), std::string::npos);
}

}  // namespace
