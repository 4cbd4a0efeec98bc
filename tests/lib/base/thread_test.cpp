// Threads, join and sleeps of the user-mode build.
#include <atomic>
#include <chrono>

#include "platform/user/win32.h"
#include "tests/lib/base/base_fixture.h"

namespace {

using ThreadTest = LoggedTest;

DWORD add_one(void* argument) {
  static_cast<std::atomic<int>*>(argument)->fetch_add(1);
  return 42;
}

TEST_F(ThreadTest, AThreadRunsItsRoutineWithItsArgumentAndIsJoined) {
  std::atomic<int> calls{0};
  HANDLE thread = nullptr;
  ASSERT_EQ(OSPrimCreateThread(&thread, add_one, &calls), ZEK_STATUS_PASS);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(OsPrimJoinThread(thread), ZEK_STATUS_PASS);
  EXPECT_EQ(calls.load(), 1);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(OsPrimJoinThread(thread), ZEK_STATUS_PASS);  // an ended thread joins at once
  EXPECT_TRUE(CloseHandle(thread));
}

TEST_F(ThreadTest, CreationAndJoinRefuseWhatCannotWork) {
  std::atomic<int> calls{0};
  EXPECT_EQ(OSPrimCreateThread(nullptr, add_one, &calls), ZEK_OSPRIM_FAILURE);
  HANDLE thread = nullptr;
  EXPECT_EQ(OSPrimCreateThread(&thread, nullptr, &calls), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(thread, nullptr);
  EXPECT_EQ(OsPrimJoinThread(nullptr), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(OsPrimJoinThread(reinterpret_cast<HANDLE>(0x7FFC)), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(calls.load(), 0);
}

struct SelfJoin {
  HANDLE self = nullptr;
  HANDLE ready = nullptr;
  ZekStatus by_handle = ZEK_STATUS_PASS;
  ZekStatus by_pseudo_handle = ZEK_STATUS_PASS;
};

DWORD join_self(void* argument) {
  auto* s = static_cast<SelfJoin*>(argument);
  WaitForSingleObject(s->ready, INFINITE);  // until the creator has stored our handle
  s->by_handle = OsPrimJoinThread(s->self);
  s->by_pseudo_handle = OsPrimJoinThread(GetCurrentThread());
  return 0;
}

TEST_F(ThreadTest, AThreadThatJoinsItselfIsRefusedInsteadOfWaitingForEver) {
  SelfJoin s;
  s.ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ___ZEK_FAST_LOG_MASK = ZEK_LOG_MASK_DEBUGGER;
  testing::internal::CaptureStderr();
  ASSERT_EQ(OSPrimCreateThread(&s.self, join_self, &s), ZEK_STATUS_PASS);
  SetEvent(s.ready);
  EXPECT_EQ(OsPrimJoinThread(s.self), ZEK_STATUS_PASS);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("OsPrimJoinThread: JOIN for itself, return from here\n"),
            std::string::npos);
  EXPECT_EQ(s.by_handle, ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(s.by_pseudo_handle, ZEK_OSPRIM_FAILURE);
  CloseHandle(s.self);
  CloseHandle(s.ready);
}

TEST(SleepDelay, SleepsWholeMillisecondsAndNeverLessThanAsked) {
  // Only lower bounds: a loaded machine may always sleep longer.
  struct Case {
    std::uint32_t microseconds;
    std::chrono::milliseconds at_least;
  };
  for (const Case c : {Case{0, std::chrono::milliseconds(1)}, Case{999, std::chrono::milliseconds(1)},
                       Case{1000, std::chrono::milliseconds(1)}, Case{2500, std::chrono::milliseconds(3)},
                       Case{20000, std::chrono::milliseconds(20)}}) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(OSPrimSleepDelay(nullptr, c.microseconds), ZEK_STATUS_PASS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, c.at_least) << c.microseconds;
  }
}

}  // namespace
