// Completion notification and the event wait: the records of the requests
// through which a user verbs client learns, without polling, that its
// completion queues have completions and that asynchronous events were
// queued for its adapter.
//
// One thread of the client waits in IOCTL_ZEK_IWARP_WAIT_ON_ASYNC_FUNCTION_CALL.
// Each completion event of a CQ with a user completion handler puts the CQ's
// identifier into the adapter's notification ring (ZEK_NOTIFY_RING_SLOTS
// slots, ZEK_NOTIFY_RING_SLOTS - 1 usable) and wakes the wait, which returns
// up to ZEK_NOTIFY_MAX_IDS identifiers (oldest first) and at most one queued
// asynchronous event.
//
// Decisions where the description leaves room or would be unsafe:
//   - The wait is not a sleeping thread in the driver: the request waits in
//     the driver's pended-request queue and is completed, with what arrived,
//     by the completion, the event, the terminate request or the adapter's
//     close. A process that ends or cancels its request loses nothing else.
//   - One wait per adapter at a time: a second wait while one waits fails
//     with STATUS_INVALID_DEVICE_STATE and nothing is written.
//   - A full ring loses no CQ. The notification that finds the ring full is
//     still dropped (and logged), but its CQ is marked; once the ring has
//     been drained, a wait returns every marked CQ's identifier once, after
//     the ring's entries, within the same ZEK_NOTIFY_MAX_IDS.
//   - Every adapter handle is looked up on the list of opened adapters and
//     must be a user open of the calling process; anything else answers
//     IWARP_STATUS_A_INVALID_RNIC_HANDLE (also for the asynchronous-error
//     query, which would otherwise read through any address it was given).
//     A CQ handle (error-QP information, forced event processing) must be a
//     CQ of one of the caller's own adapters.
//   - The forced event processing hands the work to the driver's
//     asynchronous-event thread instead of reading the adapter's event queue
//     in the caller's thread, which would race the miniport's interrupt path.
#pragma once

#include <cstddef>
#include <cstdint>

// The notification ring of an adapter and the identifiers a wait returns.
inline constexpr std::uint32_t ZEK_NOTIFY_RING_SLOTS = 1000;
inline constexpr std::uint32_t ZEK_NOTIFY_MAX_IDS = 200;
// The event's first word when a wait returns no asynchronous event.
inline constexpr std::uint32_t ZEK_NOTIFY_NO_EVENT = 0xFFFFFFFFu;

// IOCTL_ZEK_IWARP_WAIT_ON_ASYNC_FUNCTION_CALL (1640 bytes, in and out).
struct ZekAsyncEventRecord {
  std::uint64_t Adapter;                  // 0: the verbs adapter handle (in)
  std::uint8_t Event[16];                 // 8: the queued asynchronous event; first u32 ZEK_NOTIFY_NO_EVENT when none
  std::uint64_t AsyncHandler;             // 24: the adapter's user asynchronous-handler address
  std::uint64_t Ids[ZEK_NOTIFY_MAX_IDS];  // 32: CQ identifiers, oldest first
  std::uint32_t Count;                    // 1632: written only when at least one identifier is returned
  std::uint32_t Status;                   // 1636
};
static_assert(sizeof(ZekAsyncEventRecord) == 1640);
static_assert(offsetof(ZekAsyncEventRecord, Event) == 8);
static_assert(offsetof(ZekAsyncEventRecord, AsyncHandler) == 24);
static_assert(offsetof(ZekAsyncEventRecord, Ids) == 32);
static_assert(offsetof(ZekAsyncEventRecord, Count) == 1632);
static_assert(offsetof(ZekAsyncEventRecord, Status) == 1636);

// IOCTL_ZEK_IWARP_QUERY_ASYNC_ERROR (40 bytes): takes one queued event
// without waiting; status 1 when none is queued.
struct ZekQueryAsyncErrorRecord {
  std::uint64_t Adapter;       // 0 (in)
  std::uint64_t AsyncHandler;  // 8
  std::uint8_t Event[16];      // 16
  std::uint32_t Status;        // 32
  std::uint32_t Untouched;     // 36
};
static_assert(sizeof(ZekQueryAsyncErrorRecord) == 40);
static_assert(offsetof(ZekQueryAsyncErrorRecord, Event) == 16);
static_assert(offsetof(ZekQueryAsyncErrorRecord, Status) == 32);

// IOCTL_IWARP_TERMINATE_CQ_POLL_THREAD (16 bytes): releases the adapter's
// wait (it returns with what arrived, possibly nothing).
struct ZekTerminateWaitRecord {
  std::uint64_t Adapter;  // 0 (in)
  std::uint32_t Status;   // 8
  std::uint32_t Kept;     // 12: the upper half is kept
};
static_assert(sizeof(ZekTerminateWaitRecord) == 16);
static_assert(offsetof(ZekTerminateWaitRecord, Status) == 8);

// IOCTL_ZEK_IWARP_GET_ERROR_QP_INFO (24 bytes): takes the oldest queue pair
// of the CQ's error ring.
struct ZekErrorQpInfoRecord {
  std::uint64_t Cq;           // 0 (in): the CQ handle
  std::uint64_t QpClient;     // 8: the queue pair's client value (kept when none was taken)
  std::uint32_t SendInError;  // 16: low byte 1 for the send queue, 0 for the receive queue; upper bits kept
  std::uint32_t Empty;        // 20: 1 when no queue pair was taken
};
static_assert(sizeof(ZekErrorQpInfoRecord) == 24);
static_assert(offsetof(ZekErrorQpInfoRecord, QpClient) == 8);
static_assert(offsetof(ZekErrorQpInfoRecord, SendInError) == 16);
static_assert(offsetof(ZekErrorQpInfoRecord, Empty) == 20);

// IOCTL_ZEK_IWARP_FORCE_PROCESS_AEQ (16 bytes): +0 names a CQ of the caller,
// whose adapter's asynchronous events are processed.
struct ZekForceProcessAeqRecord {
  std::uint64_t Cq;      // 0 (in)
  std::uint32_t Status;  // 8: 1 when no adapter device was found
  std::uint32_t Kept;    // 12
};
static_assert(sizeof(ZekForceProcessAeqRecord) == 16);
static_assert(offsetof(ZekForceProcessAeqRecord, Status) == 8);
