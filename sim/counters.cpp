#include "sim/counters.h"

#include <algorithm>

namespace zeksim {

std::optional<NodeCounters::Slot> NodeCounters::slot_of(std::uint32_t index) {
  const std::uint32_t region_bytes = kBlocks * zekhw::kPortBlockBytes;
  std::uint32_t region = 0;
  std::uint32_t offset = 0;
  if (index >= zekhw::kIdxNodeCounters && index < zekhw::kIdxNodeCounters + region_bytes) {
    offset = index - zekhw::kIdxNodeCounters;
  } else if (index >= zekhw::kIdxNodeCounters2 && index < zekhw::kIdxNodeCounters2 + region_bytes) {
    region = 1;
    offset = index - zekhw::kIdxNodeCounters2;
  } else {
    return std::nullopt;
  }
  if (offset % 4 != 0) return std::nullopt;
  const std::uint32_t in_block = offset % zekhw::kPortBlockBytes;
  const std::uint32_t first = (region == 0 ? zekhw::kIdxNodeCounters : zekhw::kIdxNodeCounters2) + in_block;
  // A 64-bit counter sits at an offset that is a multiple of 8; its high half 4 above.
  const bool wide_low = in_block % 8 == 0 && !zekhw::node_counter_is_32(first);
  const bool wide_high = in_block % 8 == 4 && !zekhw::node_counter_is_32(first - 4);
  const std::uint32_t word = region * kBlocks * kWordsPerBlock + (offset - (wide_high ? 4 : 0)) / 4;
  return Slot{word, wide_high, wide_low || wide_high};
}

void NodeCounters::add(unsigned block, std::uint32_t reg, std::uint64_t n) {
  if (block >= kBlocks) return;
  const auto slot = slot_of(reg + block * zekhw::kPortBlockBytes);
  if (slot && !slot->high) counts_[slot->word].fetch_add(n, std::memory_order_relaxed);
}

std::optional<std::uint32_t> NodeCounters::read(std::uint32_t index) {
  const auto slot = slot_of(index);
  if (!slot) return std::nullopt;
  if (slot->high) return latched_high_[slot->word].load(std::memory_order_relaxed);
  const std::uint64_t value = counts_[slot->word].exchange(0, std::memory_order_relaxed);
  if (!slot->wide) return static_cast<std::uint32_t>(std::min<std::uint64_t>(value, 0xFFFF'FFFF));
  latched_high_[slot->word].store(static_cast<std::uint32_t>(value >> 32), std::memory_order_relaxed);
  return static_cast<std::uint32_t>(value);
}

bool NodeCounters::write(std::uint32_t index, std::uint32_t value) {
  const auto slot = slot_of(index);
  if (!slot) return false;
  std::atomic<std::uint64_t>& count = counts_[slot->word];
  std::uint64_t old = count.load(std::memory_order_relaxed);
  std::uint64_t next = 0;
  do {
    next = slot->high   ? (old & 0xFFFF'FFFFull) | std::uint64_t{value} << 32
           : slot->wide ? (old & ~0xFFFF'FFFFull) | value
                        : value;
  } while (!count.compare_exchange_weak(old, next, std::memory_order_relaxed));
  return true;
}

}  // namespace zeksim
