// The adapter's bus-master port: every read and write of host memory by
// physical address goes through here. A transfer the host's memory refuses
// is an adapter fault: logged, counted, reported to the caller as false,
// never a crash. Valid words (the last word of an entry the adapter writes,
// the word the host clears to give a slot back) are accessed atomically with
// release/acquire ordering when they lie in host RAM.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/machine/physmem.h"
#include "sim/counters.h"
#include "sim/log.h"

namespace zeksim {

class DmaPort {
 public:
  DmaPort(plat::PhysicalMemory& memory, const Log& log, LiveFaultCounters& faults)
      : memory_(memory), log_(log), faults_(faults) {}

  bool read(std::uint64_t pa, std::span<std::byte> out, const char* what);
  bool write(std::uint64_t pa, std::span<const std::byte> in, const char* what);

  template <typename T>
  bool read_object(std::uint64_t pa, T& out, const char* what) {
    return read(pa, std::as_writable_bytes(std::span(&out, 1)), what);
  }

  // Writes an entry whose last 32-bit word holds its valid bit: everything
  // before that word first, then the word with release ordering.
  bool write_entry(std::uint64_t pa, std::span<const std::byte> entry, const char* what);
  // One 64-bit entry (a CEQE), stored with release ordering.
  bool write_u64(std::uint64_t pa, std::uint64_t value, const char* what);

  // Reads a word the host may be clearing, with acquire ordering.
  std::optional<std::uint32_t> read_u32(std::uint64_t pa, const char* what);
  std::optional<std::uint64_t> read_u64(std::uint64_t pa, const char* what);

  // True when [pa, pa + bytes) lies wholly in memory the adapter may reach.
  bool reachable(std::uint64_t pa, std::uint64_t bytes) const;

 private:
  void fault(std::uint64_t pa, std::size_t bytes, const char* direction, const char* what);

  plat::PhysicalMemory& memory_;
  const Log& log_;
  LiveFaultCounters& faults_;
};

}  // namespace zeksim
