#include "platform/machine/clock.h"

#include <immintrin.h>

#include <thread>

namespace plat {
namespace {

// Seconds between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kEpochDelta = 11'644'473'600LL;

std::int64_t real_system_time() {
  auto since_1970 = std::chrono::system_clock::now().time_since_epoch();
  auto units = std::chrono::duration_cast<std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>>(since_1970);
  return units.count() + kEpochDelta * Clock::kUnitsPerSecond;
}

// The virtual clock starts at a fixed, recognisable date: 2026-01-01 00:00 UTC.
constexpr std::int64_t kVirtualBootSystemTime = (1'767'225'600LL + kEpochDelta) * Clock::kUnitsPerSecond;

}  // namespace

Clock::Clock(Mode mode, std::uint32_t time_increment)
    : mode_(mode),
      increment_(time_increment == 0 ? 156'250 : time_increment),
      boot_(std::chrono::steady_clock::now()),
      boot_system_time_(mode == Mode::Real ? real_system_time() : kVirtualBootSystemTime) {}

std::int64_t Clock::now() const {
  if (mode_ == Mode::Virtual) return virtual_now_.load(std::memory_order_seq_cst);
  auto elapsed = std::chrono::steady_clock::now() - boot_;
  return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100 +
         stepped_.load(std::memory_order_relaxed);
}

std::int64_t Clock::system_time() const { return boot_system_time_ + now(); }

std::chrono::steady_clock::time_point Clock::to_steady(std::int64_t when) const {
  if (when >= kForever / 2) return std::chrono::steady_clock::time_point::max();
  return boot_ + std::chrono::nanoseconds((when - stepped_.load(std::memory_order_relaxed)) * 100);
}

void Clock::step_forward(std::int64_t delta) {
  if (mode_ != Mode::Real || delta <= 0) return;
  stepped_.fetch_add(delta, std::memory_order_seq_cst);
  std::function<void()> listener;
  {
    std::lock_guard lock(listener_mu_);
    listener = listener_;
  }
  if (listener) listener();
}

void Clock::advance(std::int64_t delta) {
  if (delta > 0) advance_to(now() + delta);
}

void Clock::advance_to(std::int64_t when) {
  if (mode_ != Mode::Virtual) return;
  std::int64_t current = virtual_now_.load(std::memory_order_seq_cst);
  while (current < when && !virtual_now_.compare_exchange_weak(current, when, std::memory_order_seq_cst)) {
  }
  run_listener_if_due(virtual_now_.load(std::memory_order_seq_cst));
}

void Clock::stall(std::int64_t interval) {
  if (interval <= 0) return;
  if (mode_ == Mode::Virtual) {
    advance(interval);
    return;
  }
  const std::int64_t end = now() + interval;
  while (now() < end) _mm_pause();
}

void Clock::wait_until(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, std::int64_t deadline) const {
  if (mode_ == Mode::Virtual || deadline >= kForever) {
    cv.wait(lk);
  } else {
    cv.wait_until(lk, to_steady(deadline));
  }
}

void Clock::set_wake_listener(std::function<void()> listener) {
  std::lock_guard lock(listener_mu_);
  listener_ = std::move(listener);
}

void Clock::request_wake(std::int64_t when) {
  std::int64_t current = next_wake_.load(std::memory_order_seq_cst);
  while (when < current && !next_wake_.compare_exchange_weak(current, when, std::memory_order_seq_cst)) {
  }
}

void Clock::run_listener_if_due(std::int64_t when) {
  // Pairs with request_wake(): a waiter stores its wake-up before it reads
  // the time, the advancer stores the time before it reads the wake-up, so
  // one of the two always sees the other.
  if (when < next_wake_.load(std::memory_order_seq_cst)) return;
  std::function<void()> listener;
  {
    std::lock_guard lock(listener_mu_);
    listener = listener_;
  }
  if (listener) listener();
}

}  // namespace plat
