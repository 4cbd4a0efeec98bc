// The notification ring of a verbs adapter and the state its wait keeps.
// Kept apart from the requests (notify.h) so the verbs adapter object can
// hold it without the driver's frame.
//
// Ring rule: Write is the next slot to write, Read the slot taken most
// recently (ZEK_NOTIFY_RING_SLOTS - 1 at the start). Empty when the slot after
// Read is Write, full when Write equals Read: one slot always stays free.
// Every change happens under the state's lock (the producers are the bottom
// half, the asynchronous-event path and the terminate request; the consumer
// is whoever completes the wait), so the ring needs no ordering of its own.
#pragma once

#include <cstdint>

#include "include/zek/notify.h"
#include "include/zek/osprim.h"

struct ZpxNotifyRing {
  std::uint64_t Ids[ZEK_NOTIFY_RING_SLOTS];
  std::uint32_t Write;
  std::uint32_t Read;
};

void ZpxNotifyRingInit(ZpxNotifyRing* ring);
bool ZpxNotifyRingEmpty(const ZpxNotifyRing* ring);
// Entries waiting (0 to ZEK_NOTIFY_RING_SLOTS - 1).
std::uint32_t ZpxNotifyRingCount(const ZpxNotifyRing* ring);
// false when the ring is full (nothing stored).
bool ZpxNotifyRingPush(ZpxNotifyRing* ring, std::uint64_t id);
// Takes up to `max` identifiers, oldest first; answers how many.
std::uint32_t ZpxNotifyRingTake(ZpxNotifyRing* ring, std::uint64_t* out, std::uint32_t max);

// The wait's state in each verbs adapter.
struct ZpxNotifyState {
  OSPrimSpinlockObject Lock;  // the ring, Signalled, Overflow
  ZpxNotifyRing Ring;
  // Something arrived (a completion, an event, the terminate request) since
  // the last wait took what there was: the next wait returns at once.
  std::uint8_t Signalled;
  // A notification found the ring full: its CQ is marked (ZekCqVerbs),
  // and a wait that finds the ring drained looks for marked CQs.
  std::uint8_t Overflow;
  std::uint8_t Valid;  // the lock exists (user opens)
  std::uint8_t Reserved[5];
};
