// The host's one clock. Real in a running host; virtual in tests, where time
// moves only when a test advances it, a thread stalls (busy-waits) or a
// thread delays itself.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace plat {

class Clock {
 public:
  enum class Mode { Real, Virtual };
  // All times are in 100 ns units.
  static constexpr std::int64_t kUnitsPerSecond = 10'000'000;
  static constexpr std::int64_t kUnitsPerMs = 10'000;
  static constexpr std::int64_t kUnitsPerUs = 10;
  static constexpr std::int64_t kForever = INT64_MAX;

  Clock(Mode mode, std::uint32_t time_increment);
  Clock(const Clock&) = delete;
  Clock& operator=(const Clock&) = delete;

  Mode mode() const { return mode_; }
  bool is_virtual() const { return mode_ == Mode::Virtual; }

  // Time since the host started (the interrupt time).
  std::int64_t now() const;
  // Time since 1 January 1601, UTC.
  std::int64_t system_time() const;
  // One tick of the system tick count, in 100 ns units.
  std::uint32_t time_increment() const { return increment_; }
  std::uint64_t tick_count() const { return static_cast<std::uint64_t>(now()) / increment_; }

  // Virtual clock only: moves time forward (never back) and runs the expiry
  // work due by the new time.
  void advance(std::int64_t delta);
  void advance_to(std::int64_t when);

  // Real clock only: moves time forward by `delta` (never back) at once, for
  // a running host's tests of long timers; the wake listener then sees
  // timers the step made due. A wait in progress ends at its wall-clock end.
  void step_forward(std::int64_t delta);

  // A busy wait: virtual time advances by the interval; real time spins.
  void stall(std::int64_t interval);

  // Waits on cv (whose mutex lk holds) until notified or, on the real
  // clock, until the deadline. On the virtual clock the deadline is reached
  // only through advance(), which notifies through the wake listener.
  void wait_until(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, std::int64_t deadline) const;

  // The expiry work of the virtual clock: `listener` runs whenever time
  // reaches the earliest wake-up that request_wake() has asked for. Only one
  // listener (the dispatcher) is supported; it sets the next wake-up itself.
  // On the real clock it runs after each step_forward().
  void set_wake_listener(std::function<void()> listener);
  void request_wake(std::int64_t when);
  void set_next_wake(std::int64_t when) { next_wake_.store(when, std::memory_order_seq_cst); }

  std::chrono::steady_clock::time_point to_steady(std::int64_t when) const;

 private:
  void run_listener_if_due(std::int64_t when);

  const Mode mode_;
  const std::uint32_t increment_;
  const std::chrono::steady_clock::time_point boot_;
  const std::int64_t boot_system_time_;
  std::atomic<std::int64_t> virtual_now_{0};
  std::atomic<std::int64_t> stepped_{0};  // real clock: the sum of step_forward()
  std::atomic<std::int64_t> next_wake_{kForever};
  std::mutex listener_mu_;
  std::function<void()> listener_;
};

}  // namespace plat
