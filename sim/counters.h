// Counters of what went wrong on the board. Nothing the host does crashes
// the model: a refused DMA, a doorbell for a missing queue or an overrun is
// logged and counted here instead.
//
// The board's parts count from several threads (register accesses on the
// drivers' threads, the engines on the engine thread), so the live counters
// are atomic; FaultCounters is a snapshot of them.
//
// NodeCounters are the board's per-node statistics blocks, which the engines
// count as traffic passes and the drivers read through the indexed registers.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>

#include "include/hw/registers.h"

namespace zeksim {

template <typename Count>
struct FaultCountsOf {
  Count dma_faults{};        // DMA refused by the host's memory
  Count stray_doorbells{};   // doorbells and give-backs naming no queue, or malformed
  Count refused_requests{};  // control requests completed with an error
  Count lost_completions{};  // control completions with no CCQ to go to
  Count cq_overruns{};       // completions dropped for want of a CQ credit
  Count ceq_overflows{};     // CEQEs that found their slot still valid
  Count aeq_overflows{};     // asynchronous events dropped (no credit, slot valid)
  Count lost_events{};       // CEQEs or AEQEs with no queue to go to
  Count bad_give_backs{};    // CQ or AEQ credits returned beyond the ring
  Count bad_accesses{};      // register accesses of the wrong width or alignment, or beyond the window
  Count unknown_accesses{};  // accesses at an offset or index where no register is
  Count read_only_writes{};  // writes to read-only registers
  Count index_races{};       // index/data pair interleavings seen
};

using FaultCounters = FaultCountsOf<std::uint64_t>;

struct LiveFaultCounters : FaultCountsOf<std::atomic<std::uint64_t>> {
  FaultCounters snapshot() const {
    return FaultCounters{dma_faults.load(),       stray_doorbells.load(),  refused_requests.load(),
                         lost_completions.load(), cq_overruns.load(),      ceq_overflows.load(),
                         aeq_overflows.load(),    lost_events.load(),      bad_give_backs.load(),
                         bad_accesses.load(),     unknown_accesses.load(), read_only_writes.load(),
                         index_races.load()};
  }
};

// The per-node statistics blocks: block b of each region (0x3000 received,
// 0x7000 sent) at + 0x200 b. Counted from the engine thread, read and preset
// through the indexed registers from the drivers' threads: every count is
// atomic, and a read takes what was counted since the last read (the count
// starts again), so two readers never both get one count.
class NodeCounters {
 public:
  static constexpr unsigned kBlocks = zekhw::kCounterBlocks;
  // Adds `n` to the counter `reg` (its register in the first block, e.g.
  // zekhw::kNodeRxFrames) of block `block`; a block past the last is not counted.
  void add(unsigned block, std::uint32_t reg, std::uint64_t n = 1);
  // A read of the indexed register `index`: a 32-bit counter or a 64-bit
  // counter's low half takes the count; the high half (at + 4) is the one
  // the last low read latched. nullopt: not a node counter register.
  std::optional<std::uint32_t> read(std::uint32_t index);
  // A write presets the counter's half that `index` names; false when
  // `index` is not a node counter register.
  bool write(std::uint32_t index, std::uint32_t value);

 private:
  static constexpr std::uint32_t kWordsPerBlock = zekhw::kPortBlockBytes / 4;
  static constexpr std::uint32_t kWords = 2 * kBlocks * kWordsPerBlock;
  struct Slot {
    std::size_t word;  // the counter's low word
    bool high;         // the access is a 64-bit counter's high half
    bool wide;         // the counter is 64-bit
  };
  static std::optional<Slot> slot_of(std::uint32_t index);

  std::array<std::atomic<std::uint64_t>, kWords> counts_{};
  std::array<std::atomic<std::uint32_t>, kWords> latched_high_{};
};

}  // namespace zeksim
