// The host clock: system time, tick count, performance counter, stalls.
#include <chrono>

#include "tests/support/kernel_fixture.h"

namespace {

class TimeTest : public KernelTest {};

TEST_F(TimeTest, AllReadingsComeFromTheOneClock) {
  LARGE_INTEGER sys0, ticks0, freq;
  KeQuerySystemTime(&sys0);
  KeQueryTickCount(&ticks0);
  const LARGE_INTEGER perf0 = KeQueryPerformanceCounter(&freq);
  EXPECT_EQ(freq.QuadPart, 10'000'000);
  EXPECT_EQ(KeQueryTimeIncrement(), 156'250u);

  clock().advance(10 * plat::Clock::kUnitsPerSecond);

  LARGE_INTEGER sys1, ticks1;
  KeQuerySystemTime(&sys1);
  KeQueryTickCount(&ticks1);
  const LARGE_INTEGER perf1 = KeQueryPerformanceCounter(nullptr);
  EXPECT_EQ(sys1.QuadPart - sys0.QuadPart, 10 * plat::Clock::kUnitsPerSecond);
  EXPECT_EQ(perf1.QuadPart - perf0.QuadPart, 10 * freq.QuadPart);
  EXPECT_EQ(ticks1.QuadPart - ticks0.QuadPart, 640);  // 10 s / 15.625 ms
}

TEST_F(TimeTest, TickCountAdvancesOncePerIncrement) {
  // 100 ms over a 15.625 ms tick: 6 or 7 ticks depending on the phase.
  LARGE_INTEGER a, b;
  KeQueryTickCount(&a);
  for (int i = 0; i < 100; ++i) KeStallExecutionProcessor(1000);
  KeQueryTickCount(&b);
  EXPECT_GE(b.QuadPart - a.QuadPart, 6);
  EXPECT_LE(b.QuadPart - a.QuadPart, 7);
}

TEST_F(TimeTest, AMillionStallsCostNoRealTime) {
  const auto start = std::chrono::steady_clock::now();
  const auto before = KeQueryInterruptTime();
  for (int i = 0; i < 1'000'000; ++i) KeStallExecutionProcessor(10);
  EXPECT_EQ(KeQueryInterruptTime() - before, 10u * plat::Clock::kUnitsPerSecond);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(TimeTest, VirtualSystemTimeStartsAtAKnownDate) {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  // 2026-01-01 00:00:00 UTC in 100 ns units since 1601.
  EXPECT_EQ(now.QuadPart, 134'116'992'000'000'000LL);
}

class RealClockTest : public KernelTest {
 protected:
  plat::KernelOptions options() override {
    auto o = KernelTest::options();
    o.clock = plat::Clock::Mode::Real;
    return o;
  }
};

TEST_F(RealClockTest, TimersAndTimeoutsRunOnRealTime) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER timeout = relative_ms(30);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));

  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, relative_ms(20), nullptr);
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));

  LARGE_INTEGER delay = relative_ms(10);
  const auto before = KeQueryInterruptTime();
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
  EXPECT_GE(KeQueryInterruptTime() - before, 10u * plat::Clock::kUnitsPerMs);
}

// A step of the real clock (a running host's tests of long timers): the
// readings jump by it, a timer it made due fires at once, and timers and
// delays after it run on real time again.
TEST_F(RealClockTest, AStepForwardMovesEveryReadingAndFiresTheTimersItMadeDue) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  LARGE_INTEGER hour;
  hour.QuadPart = -3600LL * plat::Clock::kUnitsPerSecond;
  KeSetTimer(&timer, hour, nullptr);
  LARGE_INTEGER sys0;
  KeQuerySystemTime(&sys0);
  const auto interrupt0 = KeQueryInterruptTime();
  const auto start = std::chrono::steady_clock::now();

  clock().step_forward(3600LL * plat::Clock::kUnitsPerSecond);
  LARGE_INTEGER bound = relative_ms(5000);
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, &bound), STATUS_SUCCESS)
      << "the timer still waits its hour";
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  LARGE_INTEGER sys1;
  KeQuerySystemTime(&sys1);
  EXPECT_GE(sys1.QuadPart - sys0.QuadPart, 3600LL * plat::Clock::kUnitsPerSecond);
  EXPECT_GE(KeQueryInterruptTime() - interrupt0, 3600ULL * plat::Clock::kUnitsPerSecond);

  KeSetTimer(&timer, relative_ms(20), nullptr);
  const auto again = std::chrono::steady_clock::now();
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_GE(std::chrono::steady_clock::now() - again, std::chrono::milliseconds(20));
  clock().step_forward(-plat::Clock::kUnitsPerSecond);
  EXPECT_GE(KeQueryInterruptTime() - interrupt0, 3600ULL * plat::Clock::kUnitsPerSecond) << "never back";
}

}  // namespace
