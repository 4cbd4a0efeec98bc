// Counters of what went wrong on the board. Nothing the host does crashes
// the model: a refused DMA, a doorbell for a missing queue or an overrun is
// logged and counted here instead.
//
// The board's parts count from several threads (register accesses on the
// drivers' threads, the engines on the engine thread), so the live counters
// are atomic; FaultCounters is a snapshot of them.
#pragma once

#include <atomic>
#include <cstdint>

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

}  // namespace zeksim
