// Lab wire impairment: what a port does to the frames it sends when a test
// asks for a bad wire. Loss, duplication, reordering and delay, each with its
// own probability or amount, decided by a generator seeded from the
// settings, so that the same seed and the same frames give the same wire.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "sim/iwarp/timer_queue.h"

namespace zeksim {

struct ImpairmentSettings {
  double loss = 0;       // probability that a frame is dropped
  double duplicate = 0;  // probability that a frame goes out twice
  double reorder = 0;    // probability that a frame is held back behind the next one
  Nanos delay{0};        // every frame waits this long
  Nanos jitter{0};       // plus up to this much more (which also reorders)
  std::uint64_t seed = 1;
  bool any() const { return loss > 0 || duplicate > 0 || reorder > 0 || delay.count() > 0 || jitter.count() > 0; }
};

// Parses "loss=0.01,duplicate=0.005,reorder=0.02,delay=1ms,jitter=500us,seed=7"
// (any subset, any order); false with a message on a bad key or value.
bool parse_impairment(std::string_view text, ImpairmentSettings* out, std::string* error);

struct ImpairmentCounters {
  std::uint64_t frames = 0, dropped = 0, duplicated = 0, reordered = 0, delayed = 0;
};

class Impairment {
 public:
  using Frame = std::vector<std::byte>;
  explicit Impairment(const ImpairmentSettings& settings) : s_(settings), random_(settings.seed) {}

  // Takes a frame sent at `now`.
  void submit(Frame frame, Nanos now);
  // The frames due at `now`, in the order they reach the wire.
  std::vector<Frame> release(Nanos now);
  // When the next held frame is due (a reordered frame waits at most
  // kReorderHold for a frame to overtake it).
  std::optional<Nanos> next_release() const;
  const ImpairmentCounters& counters() const { return counters_; }

  static constexpr Nanos kReorderHold{std::chrono::milliseconds(1)};

 private:
  bool chance(double p) { return p > 0 && std::uniform_real_distribution<double>(0, 1)(random_) < p; }
  void schedule(Frame frame, Nanos at);

  ImpairmentSettings s_;
  std::mt19937_64 random_;
  std::multimap<Nanos, Frame> due_;  // release time -> frame (equal times keep their order)
  std::optional<Frame> held_;        // held back until the next frame has gone
  Nanos held_since_{0};
  ImpairmentCounters counters_;
};

}  // namespace zeksim
