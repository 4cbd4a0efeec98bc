#include "proxy/rdma/hw/async_events.h"

#include <cstring>

#include "proxy/rdma/hw/ring.h"
#include "proxy/rdma/hw/status.h"

namespace {

std::uint64_t code_and_kind(const MifhAsyncEventRecord* record) {
  return std::uint64_t{record->EventCode} | (std::uint64_t{record->Kind} << 32);
}

// Runs holding AsyncEventSpinlock.
MifhAsyncEventSlot* queued_slot(MifhAsyncEventRing* ring, const MifhAsyncEventRecord* record) {
  for (std::uint32_t i = ring->Ring.Tail; i != ring->Ring.Head; i = (i + 1) % ring->Ring.Size) {
    if (ring->Records[i] == record) return &ring->Slots[i];
  }
  return nullptr;
}

void insert_locked(MifhAsyncEventRing* ring, MifhAsyncEventRecord* record) {
  if (MifhAsyncEventSlot* slot = queued_slot(ring, record)) {
    slot->CodeAndKind = code_and_kind(record);
    slot->ObjectId = record->ObjectId;
    return;
  }
  if (ring->WaiterPresent == 0) {
    record->ObjectId = 0;
    return;
  }
  if (ZekRingIsFull(&ring->Ring)) {
    ZEK_LOG_FAILURE("!!!!!!!! InsertAsyncEvent: Error Queue Overflow\n");
    record->ObjectId = 0;
    return;
  }
  MifhAsyncEventSlot& slot = ring->Slots[ring->Ring.Head];
  slot.CodeAndKind = code_and_kind(record);
  slot.ObjectId = record->ObjectId;
  ring->Records[ring->Ring.Head] = record;
  OSPRIM_RING_MOVE_HEAD(&ring->Ring);
}

}  // namespace

ZekStatus mifh_async_event_ring_init(MifhAsyncEventRing* ring) {
  if (ZekIsBadPointer(ring)) return MIFH_STATUS_FAIL;
  std::memset(ring->Slots, 0, sizeof(ring->Slots));
  std::memset(ring->Records, 0, sizeof(ring->Records));
  ring->Ring = {0, 0, MIFH_ASYNC_EVENT_SLOTS};
  ring->WaiterPresent = 0;
  return OSPrimSyncInitSpinlockObject(&ring->AsyncEventSpinlock);
}

ZekStatus AsyncEventPost(MifhAsyncEventRing* ring, MifhAsyncEventRecord* record, std::uint64_t object_id,
                         std::uint32_t event_code) {
  if (ZekIsBadPointer(ring) || ZekIsBadPointer(record) || object_id == 0) return MIFH_STATUS_SUCCESS;
  const ZekStatus status = OSPrimSyncAcquireSpinlockObject(&ring->AsyncEventSpinlock);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("AsyncEventPost: OSPrimSyncAcquireSpinlockObject() returned (0x%x)\n", status);
    return MIFH_STATUS_SUCCESS;
  }
  record->EventCode = event_code;
  record->Kind = MIFH_ASYNC_EVENT_KIND;
  record->ObjectId = object_id;
  insert_locked(ring, record);
  const ZekStatus released = OSPrimSyncReleaseSpinlockObject(&ring->AsyncEventSpinlock);
  if (released != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("AsyncEventPost: OSPrimSyncReleaseSpinlockObject() returned (0x%x)\n", released);
  }
  return MIFH_STATUS_SUCCESS;
}

void InsertAsyncEvent(MifhAsyncEventRing* ring, MifhAsyncEventRecord* record) {
  if (ZekIsBadPointer(ring) || ZekIsBadPointer(record)) return;
  const ZekStatus status = OSPrimSyncAcquireSpinlockObject(&ring->AsyncEventSpinlock);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("InsertAsyncEvent: OSPrimSyncAcquireSpinlockObject() returned (0x%x)\n", status);
    return;
  }
  insert_locked(ring, record);
  const ZekStatus released = OSPrimSyncReleaseSpinlockObject(&ring->AsyncEventSpinlock);
  if (released != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("InsertAsyncEvent: OSPrimSyncReleaseSpinlockObject() returned (0x%x)\n", released);
  }
}

MifhAsyncEventSlot* RemoveAsyncEvent(MifhAsyncEventRing* ring, MifhAsyncEventSlot* out) {
  if (ZekIsBadPointer(ring) || ZekIsBadPointer(out)) return nullptr;
  const ZekStatus status = OSPrimSyncAcquireSpinlockObject(&ring->AsyncEventSpinlock);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("RemoveAsyncEvent: OSPrimSyncAcquireSpinlockObject() returned (0x%x)\n", status);
    return nullptr;
  }
  MifhAsyncEventSlot* result = nullptr;
  if (!ZekRingIsEmpty(&ring->Ring)) {
    *out = ring->Slots[ring->Ring.Tail];
    ring->Slots[ring->Ring.Tail] = {};
    ring->Records[ring->Ring.Tail] = nullptr;
    OSPRIM_RING_MOVE_TAIL(&ring->Ring);
    result = out;
  }
  const ZekStatus released = OSPrimSyncReleaseSpinlockObject(&ring->AsyncEventSpinlock);
  if (released != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("RemoveAsyncEvent: OSPrimSyncReleaseSpinlockObject() returned (0x%x)\n", released);
  }
  return result;
}
