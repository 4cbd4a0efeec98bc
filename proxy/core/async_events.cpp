// Asynchronous events: queueing in the miniport's DPC, the driver's event
// thread, and the decision each event id asks for.
#include "proxy/core/async_events.h"

#include <atomic>
#include <cstring>

#include "platform/kernel/io/usermem.h"
#include "proxy/core/fault_injection.h"
#include "proxy/core/zpx.h"

// ---- Decisions ----------------------------------------------------------------------------------------------
std::uint32_t ZpxTerminationEventCode(std::uint16_t id) {
  switch (id) {
    case 258:
    case 259:
    case 262:
    case 263:
    case 518:
      return 27;
    case 261:
      return 19;
    case 264:
    case 266:
      return 17;
    case 265:
      return 18;
    default:
      return 40;
  }
}

std::uint32_t ZpxMapAeToTerminationCode(std::uint16_t id) {
  switch (id) {
    case 260:
      return 3;
    case 261:
      return 8;
    case 264:
    case 281:
      return 6;
    case 265:
    case 270:
    case 274:
    case 280:
      return 7;
    case 266:
      return 9;
    case 268:
      return 13;
    case 271:
      return 19;
    case 272:
      return 23;
    case 275:
    case 276:
    case 277:
      return 21;
    case 283:
      return 18;
    case 516:
      return 12;
    case 517:
      return 11;
    default:
      return id >= 258 && id <= 283 ? 5 : 0;
  }
}

bool ZpxAsyncEventLogged(std::uint16_t id) { return id < 1281 || id > 1283; }

ZpxAeDecision ZpxDecideAsyncEvent(const ZekAsyncEvent* e) {
  const std::uint16_t id = e->event_id;
  const bool inbound = e->inbound_rdma != 0;
  if ((id >= 258 && id <= 283) || (id >= 516 && id <= 518)) {
    // With the inbound-RDMA flag or a zero context word the map's code is
    // signalled; otherwise the termination is mapped and flushed, unsignalled.
    const bool signal = inbound || static_cast<std::uint32_t>(e->context) == 0;
    return {ZPX_AE_TERMINATE, signal ? ZpxTerminationEventCode(id) : 0, false};
  }
  switch (id) {
    case 513:
    case 514:
      return {ZPX_AE_ERROR, 21, false};
    case 515:
      return {ZPX_AE_CQ_EVENT, 32, false};
    case 519:
    case 770:
    case 771:
      return {ZPX_AE_ERROR, inbound ? 25u : 23u, false};
    case 769:
      return {ZPX_AE_ERROR, inbound ? 26u : 24u, false};
    case 772:
      return {ZPX_AE_ERROR, 7, false};
    case 773:
    case 774:
      return {ZPX_AE_ERROR, 23, false};
    case 775:
      return {ZPX_AE_ERROR, 10, false};
    case 776:
      return {ZPX_AE_ERROR, 15, false};
    case 785:
      return {ZPX_AE_ERROR, 8, false};
    case 786:
      return {ZPX_AE_ERROR, 9, false};
    case 787:
      return {ZPX_AE_ERROR, 11, false};
    case 788:
      return {ZPX_AE_ERROR, 12, false};
    case 1025:
    case 1290:
      return {ZPX_AE_CLOSE_FLUSH, 35, true};
    case 1288:
      return {ZPX_AE_CLOSE_FLUSH, 40, true};
    case 1027:
      return {ZPX_AE_TOE, 0, false};
    case 1281:
      return {ZPX_AE_IDLE, 0, true};
    case 1282:
      return {ZPX_AE_SOFTWARE_ERROR, 2, true};
    case 1284:
    case 1287:
      return {ZPX_AE_ERROR, 6, false};
    case 1285:
      return {ZPX_AE_ERROR, 5, false};
    case 1286:
      return {ZPX_AE_ERROR, 4, false};
    case 1289:
      return {ZPX_AE_SIGNAL, 1, false};
    case 1537:
    case 1538:
      return {ZPX_AE_SIGNAL, 22, false};
    default:
      return {ZPX_AE_IGNORE, 0, false};
  }
}

// ---- State -------------------------------------------------------------------------------------------------------
namespace {

// "PxAq": the pending entries (pool of the driver's frame, not of its libraries).
constexpr ULONG ZPX_AEQ_POOL_TAG = MAKEFOURCC_LE('P', 'x', 'A', 'q');

struct PendingEntry {
  ZekListNode Links;  // first: the pending list's node
  PendingEntry* NextFree;
  MifhDeviceObj* Context;
  ZekAsyncEvent Event;
};

struct State {
  OSPrimEvent wake{};
  bool event_initialised = false;
  ZekListHead pending{};
  PendingEntry* entries = nullptr;
  PendingEntry* free_list = nullptr;
  OSPrimSpinlockObject free_lock{};
  HANDLE thread = nullptr;
  bool thread_started = false;
  std::atomic<bool> unloading{false};
  std::atomic<std::uint32_t> queued{0};
  OSPrimSpinlockObject qp_destroy_lock{};
  std::atomic<const ZpxAsyncEventHooks*> hooks{nullptr};
};
State g_aeq;

PendingEntry* take_entry() {
  if (g_aeq.entries == nullptr || OSPrimSyncAcquireSpinlockObject(&g_aeq.free_lock) != ZEK_STATUS_PASS) return nullptr;
  PendingEntry* e = g_aeq.free_list;
  if (e != nullptr) g_aeq.free_list = e->NextFree;
  OSPrimSyncReleaseSpinlockObject(&g_aeq.free_lock);
  return e;
}

void give_entry(PendingEntry* e) {
  OSPrimSyncAcquireSpinlockObject(&g_aeq.free_lock);
  e->NextFree = g_aeq.free_list;
  g_aeq.free_list = e;
  OSPrimSyncReleaseSpinlockObject(&g_aeq.free_lock);
}

void drain_pending() {
  while (ZekListNode* node = ZekRemoveHeadList(&g_aeq.pending)) {
    auto* e = reinterpret_cast<PendingEntry*>(node);
    try {
      ZpxProcessAEQ(e->Context, &e->Event);
    } catch (const plat::SehException& x) {
      ZEK_LOG_FAILURE("Zekproxy: ZpxAEQProcessingThread Exception %xh \n", static_cast<unsigned>(x.code));
    }
    give_entry(e);
    g_aeq.queued.fetch_sub(1);  // processed
  }
}

void ZpxAEQProcessingThread(PVOID) {
  for (;;) {
    if (OSPrimWaitForEvent(&g_aeq.wake) != ZEK_STATUS_PASS) continue;  // a failed wait is retried
    if (g_aeq.unloading.load()) {
      OSPrimMemoryLogging("ZpxAEQProcessingThread: zekproxy driver is unloading !!\n");
      PsTerminateSystemThread(STATUS_SUCCESS);
    }
    drain_pending();
  }
}

void log_duplicate(const ZekAsyncEvent* e, const ZpxAeqQpState* s) {
  ZEK_LOG_FAILURE("mifh_process_aeq_interrupt: Duplicate AEQ received for QPID(0x%x)\n", e->object_id);
  OSPrimMemoryLogging("ZpxProcessAEQ: aeid (0x%x) QP(%d)\n", e->event_id, e->object_id);
  OSPrimMemoryLogging("ZpxProcessAEQ: iwarp state (0x%x) tcp state (0x%x)\n", e->iwarp_state, e->tcp_state);
  OSPrimMemoryLogging("ZpxProcessAEQ: Previous iwarp state (0x%x) tcp state (0x%x)\n", s->LastIwarpState,
                      s->LastTcpState);
  OSPrimMemoryLogging("ZpxProcessAEQ: bQP(%x) bCQ(0x%x)bSQ(0x%x)bInboundRDMA(0x%x)\n", e->qp, e->cq, e->sq,
                      e->inbound_rdma);
}

}  // namespace

void ZpxSetAsyncEventHooks(const ZpxAsyncEventHooks* hooks) { g_aeq.hooks.store(hooks); }

OSPrimSpinlockObject* ZpxQpDestroyLock() { return &g_aeq.qp_destroy_lock; }

std::uint32_t ZpxPendingAsyncEvents() { return g_aeq.queued.load(); }

void ZpxWakeAsyncEvents() {
  if (g_aeq.thread_started) OSPrimSetEvent(&g_aeq.wake);
}

// ---- Queueing (miniport DPC)
// -----------------------------------------------------------------------------------------
void ZpxQueueAEQ(MifhDeviceObj* context, const ZekAsyncEvent* event) {
  if (ZekIsBadPointer(event)) return;
  const ZpxAsyncEventHooks* hooks = g_aeq.hooks.load();
  bool locked = false;
  if (event->qp != 0) {
    if (OSPrimSyncAcquireSpinlockObject(&g_aeq.qp_destroy_lock) != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("ZpxQueueAEQ: Acquire spinlock failed for QPDestroySpinlock \n");
      return;
    }
    locked = true;
    ZpxAeqQpState* state = nullptr;
    void* qp = hooks != nullptr ? hooks->ReferenceQp(context, event->object_id, &state) : nullptr;
    if (ZekIsBadPointer(qp) || state == nullptr) {
      // No such queue pair (any more): the event has nobody to go to.
      OSPrimSyncReleaseSpinlockObject(&g_aeq.qp_destroy_lock);
      return;
    }
    state->Flags |= ZPX_QP_EVENT_QUEUED;
    hooks->DereferenceQp(qp);
  }
  PendingEntry* e = take_entry();
  if (e == nullptr) {
    ZEK_LOG_FAILURE("ZpxQueueAEQ: mifh_allocate_aeq_pend_q returned NULL\n");
  } else {
    std::memset(e, 0, sizeof *e);
    e->Context = context;
    e->Event = *event;
    g_aeq.queued.fetch_add(1);
    ZekInsertTailList(&g_aeq.pending, &e->Links);
    OSPrimSetEvent(&g_aeq.wake);
  }
  if (locked) OSPrimSyncReleaseSpinlockObject(&g_aeq.qp_destroy_lock);
}

// ---- Processing (event thread)
// -----------------------------------------------------------------------------------------
void ZpxProcessAEQ(MifhDeviceObj* context, const ZekAsyncEvent* event) {
  if (ZekIsBadPointer(event)) return;
  if (ZpxAsyncEventLogged(event->event_id)) {
    OSPrimMemoryLogging("ZpxProcessAEQ: aeid (0x%x) QP(0x%x)\n", event->event_id, event->object_id);
  }
  const ZpxAsyncEventHooks* hooks = g_aeq.hooks.load();
  const ZpxAeDecision decision = ZpxDecideAsyncEvent(event);
  if (event->qp == 0) {
    if (event->cq != 0) {
      // A completion-queue event: the queue is looked up (and, for 515, its
      // record posted); with no queue pair the processing ends here.
      const bool found =
          hooks != nullptr && hooks->CqEvent(context, event->object_id, decision.Action == ZPX_AE_CQ_EVENT);
      if (!found) {
        ZEK_LOG_FAILURE("mifh_process_aeq_interrupt: CQ Object for CQID (0x%x) not found\n", event->object_id);
      }
    }
    return;
  }
  if (hooks == nullptr) return;
  if (OSPrimSyncAcquireSpinlockObject(&g_aeq.qp_destroy_lock) != ZEK_STATUS_PASS) return;
  ZpxAeqQpState* state = nullptr;
  void* qp = hooks->ReferenceQp(context, event->object_id, &state);
  if (!ZekIsBadPointer(qp) && (state == nullptr || (state->Flags & ZPX_QP_EVENT_QUEUED) == 0)) {
    // Not queued through ZpxQueueAEQ: not this thread's to act on.
    hooks->DereferenceQp(qp);
    qp = nullptr;
  }
  bool act = false;
  if (!ZekIsBadPointer(qp)) {
    if ((state->Flags & ZPX_QP_EVENT_SEEN) != 0 && state->LastEventId == event->event_id) {
      log_duplicate(event, state);
    } else {
      state->LastEventId = event->event_id;
      state->LastTcpState = event->tcp_state;
      state->LastIwarpState = event->iwarp_state;
      state->Flags |= ZPX_QP_EVENT_SEEN;
      act = true;
      if (!state->HasUploadContext) {
        OSPrimMemoryLogging("pUploadAsyncParam was NULLED OUT (3)");
        act = false;
      } else if (decision.Type1Only && state->Type != 1) {
        OSPrimMemoryLogging("mifh_process_aeq_interrupt: ae for toe connection\n");
        act = false;
      } else if (decision.Action == ZPX_AE_SOFTWARE_ERROR && state->FurtherState >= 3) {
        act = false;
      }
    }
  }
  OSPrimSyncReleaseSpinlockObject(&g_aeq.qp_destroy_lock);
  if (ZekIsBadPointer(qp)) return;
  OSPrimMemoryLogging("ZpxProcessAEQ: aeid (0x%x) QP(0x%x) q2Buf %p\n", event->event_id, event->object_id, qp);
  if (decision.Action == ZPX_AE_TOE) OSPrimMemoryLogging("mifh_process_aeq_interrupt: ae for toe \n");
  if (act && decision.Action != ZPX_AE_IGNORE && decision.Action != ZPX_AE_TOE) {
    hooks->Act(context, qp, event, &decision);
  }
  hooks->DereferenceQp(qp);
}

// ---- Start and stop
// ---------------------------------------------------------------------------------------------------
NTSTATUS ZpxStartAsyncEvents() {
  g_aeq.unloading = false;
  g_aeq.queued = 0;
  OSPrimSyncInitSpinlockObject(&g_aeq.qp_destroy_lock);
  if (ZpxFaultAt(ZpxFaultStep::InitAeqEvent) || OSPrimInitEvent(&g_aeq.wake) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("zek_open(): OSPrimInitEvent() for CQPollBlocking returned failure \n");
    return STATUS_UNSUCCESSFUL;
  }
  g_aeq.event_initialised = true;
  ZekInitializeListHead(&g_aeq.pending);
  OSPrimSyncInitSpinlockObject(&g_aeq.free_lock);
  void* block = ExAllocatePoolWithTag(NonPagedPool, ZPX_AEQ_PENDING_ENTRIES * sizeof(PendingEntry), ZPX_AEQ_POOL_TAG);
  if (block == nullptr) {
    ZEK_LOG_FAILURE("mifh_allocate_aeq_pend_q: mifh_create_pool returnd error (0x%x)\n",
                    ZEK_STATUS_RES_INSUFFICIENT_SW);
    ZpxStopAsyncEvents();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  g_aeq.entries = static_cast<PendingEntry*>(block);
  g_aeq.free_list = nullptr;
  for (std::uint32_t i = ZPX_AEQ_PENDING_ENTRIES; i-- > 0;) give_entry(&g_aeq.entries[i]);
  const NTSTATUS status = ZpxFaultAt(ZpxFaultStep::CreateAeqThread)
                              ? STATUS_INSUFFICIENT_RESOURCES
                              : PsCreateSystemThread(&g_aeq.thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                                     &ZpxAEQProcessingThread, g_ZpxExtension);
  if (!NT_SUCCESS(status)) {
    ZEK_LOG_FAILURE("DriverEntry:OSPrimCreateThread  for hAEQProcessingThread returned ntStatus (0x%x)\n",
                    static_cast<unsigned>(status));
    g_aeq.thread = nullptr;
    ZpxStopAsyncEvents();
    return status;
  }
  g_aeq.thread_started = true;
  return STATUS_SUCCESS;
}

void ZpxStopAsyncEvents() {
  if (g_aeq.thread_started) {
    g_aeq.unloading = true;
    OSPrimSetEvent(&g_aeq.wake);
    OsPrimJoinThread(g_aeq.thread);
    ZwClose(g_aeq.thread);
    g_aeq.thread = nullptr;
    g_aeq.thread_started = false;
  }
  if (g_aeq.event_initialised) {
    // Events the thread did not reach go with the driver.
    while (ZekListNode* node = ZekRemoveHeadList(&g_aeq.pending)) {
      (void)node;
      g_aeq.queued.fetch_sub(1);
    }
    OSPrimDestroyEvent(&g_aeq.wake);
    g_aeq.event_initialised = false;
  }
  if (g_aeq.entries != nullptr) {
    ExFreePoolWithTag(g_aeq.entries, ZPX_AEQ_POOL_TAG);
    g_aeq.entries = nullptr;
    g_aeq.free_list = nullptr;
  }
  if (g_aeq.free_lock.Signature != 0) OSPrimSyncDestroySpinlockObject(&g_aeq.free_lock);
  if (g_aeq.qp_destroy_lock.Signature != 0) OSPrimSyncDestroySpinlockObject(&g_aeq.qp_destroy_lock);
}
