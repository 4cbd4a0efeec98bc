// Named objects shared by the processes of a real host.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/user/win32.h"
#include "tests/platform/labhost.h"

namespace {

class NamedAcrossProcesses : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    host_ = new labtest::Host("NAMEDHOST", "127.0.10.41");
    ASSERT_TRUE(host_->start()) << host_->log();
    // This process belongs to the host too (before its first named object).
    setenv("ZEK_HOST", host_->dir().c_str(), 1);
  }
  static void TearDownTestSuite() {
    delete host_;
    host_ = nullptr;
  }
  static pid_t client(std::vector<std::string> args) {
    args.insert(args.begin(), ZEK_NAMED_CLIENT);
    return host_->run(args);
  }
  static labtest::Host* host_;
};

labtest::Host* NamedAcrossProcesses::host_ = nullptr;

TEST_F(NamedAcrossProcesses, AMutexExcludesTheProcessesThatShareIt) {
  const std::string counter = (host_->dir() / "counter").string();
  constexpr int kProcesses = 4;
  constexpr int kTimes = 200;
  std::vector<pid_t> pids;
  for (int i = 0; i < kProcesses; ++i)
    pids.push_back(client({"count", "zek-lab-count", counter, std::to_string(kTimes)}));
  for (pid_t pid : pids) EXPECT_EQ(labtest::finish(pid), 0);
  // Every increment made it: no two processes were inside at once.
  EXPECT_EQ(std::stoi(labtest::read_file(counter)), kProcesses * kTimes);
}

TEST_F(NamedAcrossProcesses, AMutexWhoseOwnerProcessDiedIsAbandonedToTheNextWaiter) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, "zek-lab-abandon");
  ASSERT_NE(mutex, nullptr);
  // The client takes it and ends without releasing it.
  ASSERT_EQ(labtest::finish(client({"hold-and-exit", "zek-lab-abandon"})), 0);
  EXPECT_EQ(WaitForSingleObject(mutex, 20000), WAIT_ABANDONED_0);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // held by this thread now, twice
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(mutex);
}

TEST_F(NamedAcrossProcesses, AnEventSetHereWakesAProcessWaitingThere) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, "zek-lab-event");
  ASSERT_NE(event, nullptr);
  pid_t waiter = client({"wait-event", "zek-lab-event", "30000"});
  // It waits (it would have ended with 1 or 2 otherwise) until the event is set.
  EXPECT_TRUE(SetEvent(event));
  EXPECT_EQ(labtest::finish(waiter), 0);
  EXPECT_EQ(labtest::finish(client({"wait-event", "zek-lab-missing", "0"})), 2);
  CloseHandle(event);
}

TEST_F(NamedAcrossProcesses, ASemaphoreCountsForEveryProcess) {
  HANDLE semaphore = CreateSemaphoreA(nullptr, 3, 10, "zek-lab-sem");
  ASSERT_NE(semaphore, nullptr);
  EXPECT_EQ(labtest::finish(client({"take", "zek-lab-sem"})), 3);
  EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseSemaphore(semaphore, 2, nullptr));
  EXPECT_EQ(labtest::finish(client({"take", "zek-lab-sem"})), 2);
  CloseHandle(semaphore);
}

TEST_F(NamedAcrossProcesses, AnObjectLivesWhileAnyProcessHoldsIt) {
  pid_t keeper = client({"keep", "zek-lab-kept", "zek-lab-kept-done"});
  HANDLE kept = nullptr;
  ASSERT_TRUE(labtest::eventually([&] { return (kept = OpenEventA(SYNCHRONIZE, FALSE, "zek-lab-kept")) != nullptr; }));
  CloseHandle(kept);
  HANDLE done = OpenEventA(EVENT_MODIFY_STATE, FALSE, "zek-lab-kept-done");
  ASSERT_NE(done, nullptr);
  SetEvent(done);
  CloseHandle(done);
  EXPECT_EQ(labtest::finish(keeper), 0);
  EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "zek-lab-kept"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(NamedAcrossProcesses, AnObjectGoesWithTheLastProcessThatHeldIt) {
  ASSERT_EQ(labtest::finish(client({"hold-and-exit", "zek-lab-gone"})), 0);
  EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, "zek-lab-gone"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

}  // namespace
