// The engine's timers: one deadline per key (a connection and a timer kind),
// kept in deadline order so that the engine thread sleeps until the earliest
// one. Time is the board's clock (the host's clock, virtual in tests), in
// nanoseconds; nothing here reads a clock itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <unordered_map>
#include <vector>

namespace zeksim {

using Nanos = std::chrono::nanoseconds;

// The time source the engine runs on.
class EngineClock {
 public:
  virtual ~EngineClock() = default;
  virtual Nanos now() = 0;
  // Whether the clock moves with real time, so that the engine thread may
  // sleep until its next deadline. A clock that moves only when told (a
  // test's) is looked at again every few milliseconds while a timer runs.
  virtual bool real_time() const { return false; }
};

// A clock that moves only when told to (tests, step mode).
class ManualClock final : public EngineClock {
 public:
  Nanos now() override { return now_; }
  void advance(Nanos by) { now_ += by; }
  void set(Nanos to) { now_ = to; }

 private:
  Nanos now_{1'000'000'000};  // not zero, so that "never" (zero) stays apart from time 0
};

template <typename Key, typename Hash = std::hash<Key>>
class TimerQueue {
 public:
  // Arms (or re-arms) the key's timer.
  void arm(const Key& key, Nanos deadline) {
    cancel(key);
    auto it = by_time_.emplace(deadline, key);
    by_key_.emplace(key, it);
  }
  void cancel(const Key& key) {
    auto found = by_key_.find(key);
    if (found == by_key_.end()) return;
    by_time_.erase(found->second);
    by_key_.erase(found);
  }
  bool armed(const Key& key) const { return by_key_.contains(key); }
  std::optional<Nanos> deadline(const Key& key) const {
    auto found = by_key_.find(key);
    if (found == by_key_.end()) return std::nullopt;
    return found->second->first;
  }
  std::optional<Nanos> next() const {
    if (by_time_.empty()) return std::nullopt;
    return by_time_.begin()->first;
  }
  // Removes and returns the keys whose deadline is at or before `now`, earliest first.
  std::vector<Key> expire(Nanos now) {
    std::vector<Key> due;
    while (!by_time_.empty() && by_time_.begin()->first <= now) {
      due.push_back(by_time_.begin()->second);
      by_key_.erase(by_time_.begin()->second);
      by_time_.erase(by_time_.begin());
    }
    return due;
  }
  std::size_t size() const { return by_key_.size(); }

 private:
  std::multimap<Nanos, Key> by_time_;
  std::unordered_map<Key, typename std::multimap<Nanos, Key>::iterator, Hash> by_key_;
};

}  // namespace zeksim
