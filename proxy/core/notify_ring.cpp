// The notification ring: a fixed ring of CQ identifiers.
#include "proxy/core/notify_ring.h"

namespace {

std::uint32_t next(std::uint32_t index) { return index + 1 == ZEK_NOTIFY_RING_SLOTS ? 0 : index + 1; }

}  // namespace

void ZpxNotifyRingInit(ZpxNotifyRing* ring) {
  ring->Write = 0;
  ring->Read = ZEK_NOTIFY_RING_SLOTS - 1;
}

bool ZpxNotifyRingEmpty(const ZpxNotifyRing* ring) { return next(ring->Read) == ring->Write; }

std::uint32_t ZpxNotifyRingCount(const ZpxNotifyRing* ring) {
  return (ring->Write + ZEK_NOTIFY_RING_SLOTS - next(ring->Read)) % ZEK_NOTIFY_RING_SLOTS;
}

bool ZpxNotifyRingPush(ZpxNotifyRing* ring, std::uint64_t id) {
  if (ring->Write == ring->Read) return false;
  ring->Ids[ring->Write] = id;
  ring->Write = next(ring->Write);
  return true;
}

std::uint32_t ZpxNotifyRingTake(ZpxNotifyRing* ring, std::uint64_t* out, std::uint32_t max) {
  std::uint32_t taken = 0;
  while (taken < max) {
    const std::uint32_t slot = next(ring->Read);
    if (slot == ring->Write) break;
    ring->Read = slot;
    out[taken++] = ring->Ids[slot];
  }
  return taken;
}
