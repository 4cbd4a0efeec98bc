#include "proxy/rdma/hw/ring.h"

std::uint32_t OSPRIM_RING_MOVE_HEAD(ZEK_OSPRIM_RING* ring) {
  if (ZekRingIsFull(ring)) {
    OSPrimDebugPrint("%s: ZEK_OSPRIM_RING: Head = %u, Tail = %u, Size = %u\n", __func__, ring->Head, ring->Tail,
                     ring->Size);
    return 0xFFFFFFFFu;
  }
  ring->Head = (ring->Head + 1) % ring->Size;
  return 0;
}

void OSPRIM_RING_MOVE_TAIL(ZEK_OSPRIM_RING* ring) {
  if (ring->Size != 0) ring->Tail = (ring->Tail + 1) % ring->Size;
}

void OSPRIM_RING_ADVANCE_TAIL(ZEK_OSPRIM_RING* ring, std::uint32_t count) {
  if (ring->Size != 0) ring->Tail = static_cast<std::uint32_t>((std::uint64_t{ring->Tail} + count) % ring->Size);
}
