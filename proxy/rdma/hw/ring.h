// Index arithmetic of the rings the driver shares with the adapter
// (ZEK_OSPRIM_RING, include/zek/osprim.h): entries in use =
// (Head + Size - Tail) % Size; full at Size - 1, so one slot always stays
// empty; empty when Head == Tail.
#pragma once

#include <cstdint>

#include "include/zek/osprim.h"

inline std::uint32_t ZekRingUsed(const ZEK_OSPRIM_RING* ring) {
  return ring->Size == 0 ? 0 : (ring->Head + ring->Size - ring->Tail) % ring->Size;
}
inline bool ZekRingIsEmpty(const ZEK_OSPRIM_RING* ring) { return ring->Head == ring->Tail; }
inline bool ZekRingIsFull(const ZEK_OSPRIM_RING* ring) {
  return ring->Size == 0 || ZekRingUsed(ring) + 1 == ring->Size;
}
inline std::uint32_t ZekRingFree(const ZEK_OSPRIM_RING* ring) {
  return ring->Size == 0 ? 0 : ring->Size - 1 - ZekRingUsed(ring);
}
// Whether slot `index` holds an entry in use (from Tail up to, not
// including, Head).
inline bool mifh_ring_index_in_flight(const ZEK_OSPRIM_RING* ring, std::uint32_t index) {
  return ring->Size != 0 && index < ring->Size && (index + ring->Size - ring->Tail) % ring->Size < ZekRingUsed(ring);
}

// Advances Head by one unless the ring is full: 0, or 0xFFFFFFFF (-1) with Head unchanged.
std::uint32_t OSPRIM_RING_MOVE_HEAD(ZEK_OSPRIM_RING* ring);
// Advances Tail by one.
void OSPRIM_RING_MOVE_TAIL(ZEK_OSPRIM_RING* ring);
// Advances Tail by count.
void OSPRIM_RING_ADVANCE_TAIL(ZEK_OSPRIM_RING* ring, std::uint32_t count);
