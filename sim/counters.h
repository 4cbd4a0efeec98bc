// Counters of what went wrong on the board. Nothing the host does crashes
// the model: a refused DMA, a doorbell for a missing queue or an overrun is
// logged and counted here instead.
#pragma once

#include <cstdint>

namespace zeksim {

struct FaultCounters {
  std::uint64_t dma_faults = 0;        // DMA refused by the host's memory
  std::uint64_t stray_doorbells = 0;   // doorbells and give-backs naming no queue, or malformed
  std::uint64_t refused_requests = 0;  // control requests completed with an error
  std::uint64_t lost_completions = 0;  // control completions with no CCQ to go to
  std::uint64_t cq_overruns = 0;       // completions dropped for want of a CQ credit
  std::uint64_t ceq_overflows = 0;     // CEQEs that found their slot still valid
  std::uint64_t aeq_overflows = 0;     // asynchronous events dropped (no credit, slot valid)
  std::uint64_t lost_events = 0;       // CEQEs or AEQEs with no queue to go to
  std::uint64_t bad_give_backs = 0;    // CQ or AEQ credits returned beyond the ring
  std::uint64_t bad_accesses = 0;      // register accesses of the wrong width or alignment, or beyond the window
  std::uint64_t unknown_accesses = 0;  // accesses at an offset or index where no register is
  std::uint64_t read_only_writes = 0;  // writes to read-only registers
  std::uint64_t index_races = 0;       // index/data pair interleavings seen
};

}  // namespace zeksim
