// Completion notification and the event wait (records in
// include/zek/notify.h): the completion callback of user CQs, which feeds
// each verbs adapter's notification ring, the wait request that takes what
// arrived, and the requests around it (asynchronous-error query, terminate,
// error-QP information, forced event processing).
//
// A wait that finds nothing waits in the driver's pended-request queue
// (kind ZPX_QUEUE_NOTIFY, keyed by the adapter; one per adapter) and is
// completed, with what arrived, by the first completion, asynchronous event,
// terminate request or close of the adapter. The notification state is under
// the adapter's notification lock, taken before the pended-request queue's
// lock; completions of requests happen after both are released.
#pragma once

#include <cstdint>

#include "include/zek/mifh.h"
#include "include/zek/notify.h"
#include "platform/kernel/driver.h"
#include "proxy/core/notify_ring.h"

struct ZekIwarpAdapter;

// The adapter's state at a user open; its end at the adapter's close.
ZekStatus ZpxNotifyStateInit(ZpxNotifyState* state);
void ZpxNotifyStateDestroy(ZpxNotifyState* state);

// The completion callback of a CQ with a user completion handler (the
// bottom half calls it for each completion event of the CQ, `context` is
// the CQ's verbs adapter): the CQ's identifier into the adapter's ring, the
// waiter woken, and one pended notification request keyed by the CQ
// completed.
extern "C" void ZPX_CQCallbackFunc(void* context, void* cq);
// Makes a CQ of the adapter a user CQ: its identifier goes into the ring
// with each completion event, its callback becomes ZPX_CQCallbackFunc.
// IWARP_STATUS_CQ_INVALID_HANDLE when the CQ is not the adapter's.
ZekStatus ZpxNotifyInstallCq(void* adapter, void* cq, std::uint64_t user_handler, std::uint64_t identifier);

// The bottom half's step for an iWARP CQ: the CQ's own callback, when the
// CQ is one of an open verbs adapter's.
void ZpxIwarpCqEvent(MifhCqObject* cq);

// An asynchronous event was queued on the adapter's event ring (or the
// ring must be looked at): the waiter returns. ZpxPostAsyncEvent posts the
// record's event and wakes the waiter.
void ZpxNotifyAsyncEvent(void* adapter);
ZekStatus ZpxPostAsyncEvent(void* adapter, MifhAsyncEventRecord* record, std::uint64_t object_id,
                            std::uint32_t event_code);

// The adapter is closing (its Closing flag set, no verb running on it): a
// pended wait completes at once with status 1 and what was still queued.
void ZpxNotifyAdapterClosing(ZekIwarpAdapter* adapter);

// ---- Requests ---------------------------------------------------------------------------------------------
// Whether a control code is one of this module's (the dispatcher routes it
// here before the verbs' family).
bool ZpxIsNotifyRequest(ULONG code);
// Serves one; the record is the request's system buffer of the code's full
// size. STATUS_PENDING: the request waits and must not be touched again.
NTSTATUS ZpxNotifyRequest(PIRP irp, ULONG code, void* record, ULONG_PTR* bytes);

NTSTATUS CommonIoctliWARPEventCallback(PIRP irp, void* record, ULONG_PTR* bytes);
NTSTATUS CommonIoctliWARPAsyncError(void* record, ULONG_PTR* bytes);
NTSTATUS CommonIoctliWARPTerminateCQPollThread(void* record, ULONG_PTR* bytes);
NTSTATUS CommonIoctlGetErrorQPInfo(void* record, ULONG_PTR* bytes);
NTSTATUS CommonIoctlForceProcessAeq(void* record, ULONG_PTR* bytes);
