// Events, semaphores, mutexes, waits with time-outs on the virtual clock,
// and alerts.
#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/kernel_fixture.h"

namespace {

class DispatcherTest : public KernelTest {
 protected:
  // Starts `n` threads that each wait once on `object` and record the status.
  struct Waiters {
    std::vector<std::thread> threads;
    std::atomic<int> done{0};
    std::vector<NTSTATUS> status;
    std::vector<PKTHREAD> ids;
    std::atomic<int> started{0};
    ~Waiters() {
      for (auto& t : threads) t.join();
    }
  };

  void start_waiters(Waiters& w, int n, PVOID object, PLARGE_INTEGER timeout = nullptr, BOOLEAN alertable = FALSE,
                     KPROCESSOR_MODE mode = KernelMode) {
    w.status.assign(n, STATUS_PENDING);
    w.ids.assign(n, nullptr);
    for (int i = 0; i < n; ++i) {
      w.threads.emplace_back([&w, i, object, timeout, alertable, mode] {
        w.ids[i] = KeGetCurrentThread();
        w.started++;
        w.status[i] = KeWaitForSingleObject(object, Executive, mode, alertable, timeout);
        w.done++;
      });
    }
    ASSERT_TRUE(eventually([&] { return w.started == n; }));
    // Give the threads time to block: they must still be waiting afterwards.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
};

TEST_F(DispatcherTest, NotificationEventWakesEveryWaiterAndStaysSignalled) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  Waiters w;
  start_waiters(w, 4, &event);
  EXPECT_EQ(w.done, 0);
  EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
  ASSERT_TRUE(eventually([&] { return w.done == 4; }));
  for (NTSTATUS s : w.status) EXPECT_EQ(s, STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(KeResetEvent(&event), 1);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(DispatcherTest, SynchronizationEventReleasesOneWaiterPerSignal) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  Waiters w;
  start_waiters(w, 3, &event);
  for (int expected = 1; expected <= 3; ++expected) {
    KeSetEvent(&event, 0, FALSE);
    ASSERT_TRUE(eventually([&] { return w.done == expected; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(w.done, expected) << "one signal released more than one waiter";
    EXPECT_EQ(KeReadStateEvent(&event), 0);
  }
}

TEST_F(DispatcherTest, SignalWithoutWaiterIsKeptForTheNextWait) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  KeSetEvent(&event, 0, FALSE);
  KeSetEvent(&event, 0, FALSE);  // does not count twice
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, PulseWakesWaitersAndLeavesTheEventReset) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  Waiters w;
  start_waiters(w, 2, &event);
  EXPECT_EQ(KePulseEvent(&event, 0, FALSE), 0);
  ASSERT_TRUE(eventually([&] { return w.done == 2; }));
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(DispatcherTest, SemaphoreCountsAcquisitionsAndReleases) {
  KSEMAPHORE sem;
  KeInitializeSemaphore(&sem, 2, 5);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&sem, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&sem, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&sem, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  Waiters w;
  start_waiters(w, 3, &sem);
  EXPECT_EQ(KeReleaseSemaphore(&sem, 0, 2, FALSE), 0);
  ASSERT_TRUE(eventually([&] { return w.done == 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(w.done, 2);
  EXPECT_EQ(KeReleaseSemaphore(&sem, 0, 1, FALSE), 0);
  ASSERT_TRUE(eventually([&] { return w.done == 3; }));
  EXPECT_EQ(KeReadStateSemaphore(&sem), 0);
}

TEST_F(DispatcherTest, MutexIsRecursiveForItsOwnerAndExcludesOthers) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  ASSERT_EQ(KeWaitForMutexObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  ASSERT_EQ(KeWaitForMutexObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  Waiters w;
  start_waiters(w, 1, &mutex);
  EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1);
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(w.done, 0) << "released once of twice, still owned";
  EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
  ASSERT_TRUE(eventually([&] { return w.done == 1; }));
  EXPECT_EQ(mutex.OwnerThread, w.ids[0]);
}

TEST_F(DispatcherTest, WaitAnyReportsTheSignalledIndexAndWaitAllTakesAllAtOnce) {
  KEVENT a, b, c;
  KeInitializeEvent(&a, SynchronizationEvent, FALSE);
  KeInitializeEvent(&b, SynchronizationEvent, FALSE);
  KeInitializeEvent(&c, SynchronizationEvent, FALSE);
  PVOID objects[] = {&a, &b, &c};
  KeSetEvent(&c, 0, FALSE);
  EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
            STATUS_WAIT_0 + 2);

  std::atomic<NTSTATUS> all{STATUS_PENDING};
  std::thread t(
      [&] { all = KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr); });
  KeSetEvent(&a, 0, FALSE);
  KeSetEvent(&b, 0, FALSE);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(all, STATUS_PENDING);
  // While the all-waiter still waits, the signals of a and b stay available.
  EXPECT_EQ(KeReadStateEvent(&a), 1);
  KeSetEvent(&c, 0, FALSE);
  t.join();
  EXPECT_EQ(all, STATUS_SUCCESS);
  for (KEVENT* e : {&a, &b, &c}) EXPECT_EQ(KeReadStateEvent(e), 0);
}

TEST_F(DispatcherTest, TimeoutsFollowTheVirtualClock) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER second = relative_ms(1000);
  Waiters w;
  start_waiters(w, 1, &event, &second);
  clock().advance(999 * plat::Clock::kUnitsPerMs);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(w.done, 0);
  clock().advance(plat::Clock::kUnitsPerMs);
  ASSERT_TRUE(eventually([&] { return w.done == 1; }));
  EXPECT_EQ(w.status[0], STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, AbsoluteTimeoutIsASystemTime) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER at;
  KeQuerySystemTime(&at);
  at.QuadPart += 5 * plat::Clock::kUnitsPerSecond;
  Waiters w;
  start_waiters(w, 1, &event, &at);
  clock().advance(4 * plat::Clock::kUnitsPerSecond);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(w.done, 0);
  clock().advance(plat::Clock::kUnitsPerSecond);
  ASSERT_TRUE(eventually([&] { return w.done == 1; }));
  EXPECT_EQ(w.status[0], STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, SignalBeatsTimeout) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER second = relative_ms(1000);
  Waiters w;
  start_waiters(w, 1, &event, &second);
  KeSetEvent(&event, 0, FALSE);
  ASSERT_TRUE(eventually([&] { return w.done == 1; }));
  EXPECT_EQ(w.status[0], STATUS_SUCCESS);
}

struct AlertCase {
  const char* name;
  BOOLEAN alertable;
  KPROCESSOR_MODE wait_mode;
  KPROCESSOR_MODE alert_mode;
  NTSTATUS expected;  // STATUS_PENDING: the wait goes on
};
// ctest lists a case by its name, not by its bytes.
void PrintTo(const AlertCase& c, std::ostream* os) { *os << c.name; }

class AlertTest : public DispatcherTest, public ::testing::WithParamInterface<AlertCase> {};

TEST_P(AlertTest, AlertEndsOnlyTheWaitsItShould) {
  const AlertCase& c = GetParam();
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  Waiters w;
  start_waiters(w, 1, &event, nullptr, c.alertable, c.wait_mode);
  KeAlertThread(w.ids[0], c.alert_mode);
  if (c.expected == STATUS_PENDING) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(w.done, 0);
    KeSetEvent(&event, 0, FALSE);
    ASSERT_TRUE(eventually([&] { return w.done == 1; }));
    EXPECT_EQ(w.status[0], STATUS_SUCCESS);
  } else {
    ASSERT_TRUE(eventually([&] { return w.done == 1; }));
    EXPECT_EQ(w.status[0], c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, AlertTest,
    ::testing::Values(AlertCase{"KernelAlertEndsAlertableWait", TRUE, KernelMode, KernelMode, STATUS_ALERTED},
                      AlertCase{"KernelAlertEndsAlertableUserWait", TRUE, UserMode, KernelMode, STATUS_ALERTED},
                      AlertCase{"UserApcEndsAlertableUserWait", TRUE, UserMode, UserMode, STATUS_USER_APC},
                      AlertCase{"UserApcLeavesKernelWait", TRUE, KernelMode, UserMode, STATUS_PENDING},
                      AlertCase{"NonAlertableWaitIgnoresAlerts", FALSE, UserMode, KernelMode, STATUS_PENDING}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DispatcherTest, PendingAlertEndsTheNextAlertableWait) {
  KeAlertThread(KeGetCurrentThread(), KernelMode);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, TRUE, nullptr), STATUS_ALERTED);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, TRUE, &zero), STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, DelayMovesTheVirtualClock) {
  const auto before = KeQueryInterruptTime();
  LARGE_INTEGER interval = relative_ms(250);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
  EXPECT_EQ(KeQueryInterruptTime() - before, 250u * plat::Clock::kUnitsPerMs);
}

TEST_F(DispatcherTest, FastMutexExcludesAndRunsAtApcLevel) {
  FAST_MUTEX m;
  ExInitializeFastMutex(&m);
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        ExAcquireFastMutex(&m);
        EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
        ++counter;
        ExReleaseFastMutex(&m);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 8000);
  EXPECT_TRUE(ExTryToAcquireFastMutex(&m));
  std::thread([&] { EXPECT_FALSE(ExTryToAcquireFastMutex(&m)); }).join();
  ExReleaseFastMutex(&m);
}

using DispatcherDeathTest = DispatcherTest;

TEST_F(DispatcherDeathTest, MisusedObjectsStop) {
  EXPECT_DEATH(
      {
        KSEMAPHORE sem;
        KeInitializeSemaphore(&sem, 1, 1);
        KeReleaseSemaphore(&sem, 0, 1, FALSE);
      },
      "exceeds the limit 1");
  EXPECT_DEATH(
      {
        KMUTEX m;
        KeInitializeMutex(&m, 0);
        KeReleaseMutex(&m, FALSE);
      },
      "is not owned by the calling thread");
  EXPECT_DEATH(
      {
        KEVENT e{};
        KeSetEvent(&e, 0, FALSE);
      },
      "never initialised");
}

}  // namespace
