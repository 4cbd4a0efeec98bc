// The software asynchronous-event ring of a verbs adapter: 1024 slots that
// the asynchronous-event thread fills and the event wait empties, under the
// adapter's AsyncEventSpinlock. Each QP or CQ object has at most one event
// queued: a second event of the same object before the first is taken
// updates the queued slot in place. The ring itself says whether an object's
// event is queued, so an event that was dropped (no waiter, ring full)
// never blocks the object's later events.
#pragma once

#include <cstdint>

#include "include/zek/mifh.h"

inline constexpr std::uint32_t MIFH_ASYNC_EVENT_SLOTS = 1024;

struct MifhAsyncEventSlot {
  std::uint64_t CodeAndKind;  // event code in bits 0-31, kind in bits 32-63
  std::uint64_t ObjectId;
};
static_assert(sizeof(MifhAsyncEventSlot) == 16);

struct MifhAsyncEventRing {
  MifhAsyncEventSlot Slots[MIFH_ASYNC_EVENT_SLOTS];
  // The object record each queued slot came from: a queued event is found
  // again by its object, never by the id the caller passed (a QP and a CQ
  // may carry the same hardware id).
  const MifhAsyncEventRecord* Records[MIFH_ASYNC_EVENT_SLOTS];
  ZEK_OSPRIM_RING Ring;  // Size = 1024
  OSPrimSpinlockObject AsyncEventSpinlock;
  std::uint8_t WaiterPresent;  // 0 at adapter open; set by every wait for events
};

ZekStatus mifh_async_event_ring_init(MifhAsyncEventRing* ring);

// Records the event in the object's record and queues it for the object
// (object_id, not 0). Always MIFH_STATUS_SUCCESS.
ZekStatus AsyncEventPost(MifhAsyncEventRing* ring, MifhAsyncEventRecord* record, std::uint64_t object_id,
                         std::uint32_t event_code);
// Queues the record's event: ignored while no waiter is present; dropped with
// a log line when the ring is full; an event already queued for the same
// object (the same record) takes the new code. A dropped event clears the record's object id.
void InsertAsyncEvent(MifhAsyncEventRing* ring, MifhAsyncEventRecord* record);
// Takes the oldest event into *out and returns out, or null when none.
MifhAsyncEventSlot* RemoveAsyncEvent(MifhAsyncEventRing* ring, MifhAsyncEventSlot* out);
