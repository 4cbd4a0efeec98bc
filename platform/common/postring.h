// The posted-write ring of a register mapping in a user process.
//
// User code never stores to a register page (it is inaccessible memory);
// the user register accessor appends (offset, value, size) to the mapping's
// ring and wakes the host, which applies the writes to the device in ring
// order. The ring lives in host physical memory that both sides map.
//
// Producers (any thread of the process) reserve a slot with a fetch-add on
// `reserved`, fill it and publish it by storing its sequence (slot number +
// 1) with release. The host reads slots in order, each once its sequence
// is published (acquire), and advances `consumed`. A producer that finds
// the ring full waits for the host.
//
// After publishing, a producer wakes the host (its eventfd) only when
// `sleeping` is set: the host sets it before it sleeps and looks at the
// ring again, and clears it when it wakes (both sides order the flag and
// the slot with a full fence). A ring the host's ring thread serves keeps
// it set for good.
#pragma once

#include <atomic>
#include <cstdint>

namespace plat::postring {

struct alignas(64) Header {
  std::uint64_t reserved;  // next slot number to hand out
  std::uint64_t pad0[7];
  std::uint64_t consumed;  // slots applied by the host
  std::uint64_t pad1[7];
  std::uint32_t slots;
  std::uint32_t sleeping;  // non-zero: the host sleeps; wake it after publishing
  std::uint32_t pad2[14];
};

struct Slot {
  std::uint64_t sequence;  // slot number + 1 once published
  std::uint64_t offset;    // from the start of the mapping
  std::uint64_t value;
  std::uint32_t size;  // 1, 2, 4 or 8
  std::uint32_t pad;
};

static_assert(sizeof(Header) == 192 && sizeof(Slot) == 32);

inline Slot* slots_of(Header* header) { return reinterpret_cast<Slot*>(header + 1); }

inline std::uint32_t slot_capacity(std::uint64_t ring_bytes) {
  return static_cast<std::uint32_t>((ring_bytes - sizeof(Header)) / sizeof(Slot));
}

template <typename T>
std::atomic_ref<T> atomic(T& value) {
  return std::atomic_ref<T>(value);
}

}  // namespace plat::postring
