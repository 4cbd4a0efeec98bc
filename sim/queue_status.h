// The queue status word of each function (indexed register 8F + 0x40): which
// of the function's control queues exist in the adapter.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace zeksim {

class QueueStatus {
 public:
  // Read by register accesses on any thread, written by the control engine.
  std::uint32_t word(unsigned function) const { return function < words_.size() ? words_[function].load() : 0; }
  void set(unsigned function, std::uint32_t bits) { words_[function] |= bits; }
  void clear(unsigned function, std::uint32_t bits) { words_[function] &= ~bits; }

 private:
  std::array<std::atomic<std::uint32_t>, 8> words_{};
};

}  // namespace zeksim
