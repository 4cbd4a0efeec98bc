// Completion queues: create, destroy, query, modify, arm, the completion
// handler, polling, and the error ring of queue pairs whose outstanding
// work requests come back as flushed completions.
//
// The error ring is guarded by the CQ's own lock (the poller, the
// asynchronous-event processing and the control requests all reach it).
// An entry is one word (the queue pair with two flag bits), so queueing
// never allocates and never fails but for a full ring, which is reported.
#include <cstring>

#include "include/hw/wqe.h"
#include "proxy/core/user_mapping.h"
#include "proxy/rdma/hw/cq.h"
#include "proxy/rdma/hw/pool_ops.h"
#include "proxy/rdma/hw/pools.h"
#include "proxy/rdma/verbs/verbs.h"

namespace {

std::uint64_t pa_of(const void* va) {
  std::uint32_t low = 0, high = 0;
  if (va == nullptr || OSPrimGetPaFromVa(va, &low, &high) != ZEK_STATUS_PASS) return 0;
  return (std::uint64_t{high} << 32) | low;
}

std::uint32_t ceq_of(const ZekIwarpAdapter* a) {
  // The driver's own completion event queue (the bottom half's).
  if (a->Base != nullptr && a->Base->Ceq1 != nullptr) return a->Base->Ceq1->CeqId;
  return a->Device->PciFunction + 8;
}

// Returns what a CQ holds; the CQ object and ring last.
void teardown(ZekIwarpAdapter* a, MifhCqObject* cq, bool id_held) {
  ZekCqVerbs* v = ZekCqOf(cq);
  if (id_held) {
    const ZekStatus status = L_FreeResource(a->Larmit, ZEK_RES_CQ, cq->CqId);
    if (status != ZEK_STATUS_PASS)
      ZEK_LOG_FAILURE("zek_cq_destroy(): FreeCompletionQueue() returned error (0x%x)\n", status);
  }
  if (v->ErrorRing != nullptr) mifh_pool_free(MIFH_POOL_ERRORQP_QUEUE, v->ErrorRing, 0);
  v->ErrorRing = nullptr;
  v->ErrorLock.Signature = 0;
  cq->Signature = 0;
  // What the CQ mapped into its process goes before its memory.
  ZpxReleaseUserPart(&v->UserPart);
  if (v->OwnRing != nullptr) {
    ZpxFreeMappablePages(v->OwnRing);
    v->OwnRing = nullptr;
    cq->Ring = nullptr;
  }
  mifh_free_iwarp_cq(cq);
}

// The CQ object and its ring: from the pools, or (own_pages) a ring of
// pages of its own.
ZekStatus allocate(MifhCqObject** cq, void** ring, std::uint32_t slots, bool own_pages) {
  if (!own_pages) return mifh_iwarp_cq_allocate(cq, ring, slots);
  *cq = static_cast<MifhCqObject*>(mifh_allocate_cq_object());
  if (*cq == nullptr) return ZEK_STATUS_FAIL;
  *ring = ZpxAllocateMappablePages(slots * MIFH_IWARP_CQE_BYTES);
  if (*ring == nullptr) {
    mifh_free_cq_object(*cq);
    *cq = nullptr;
    return ZEK_STATUS_FAIL;
  }
  return ZEK_STATUS_PASS;
}

// A CQ handle of this adapter: the CQ, or null.
MifhCqObject* cq_of(ZekIwarpAdapter* a, void* handle) {
  if (ZekIsBadPointer(handle) || FindCQObject(a, handle) != ZEK_STATUS_PASS) return nullptr;
  return static_cast<MifhCqObject*>(handle);
}

}  // namespace

ZekStatus zek_async_cq_create(void* adapter, void** out, std::uint32_t* entries, ZekVerbsCqHandler handler,
                              void* handler_context, std::uint32_t requested, std::uint32_t mode, void* client_handle) {
  return ZekCqCreateEx(adapter, out, entries, handler, handler_context, requested, mode, client_handle, false);
}

ZekStatus ZekCqCreateEx(void* adapter, void** out, std::uint32_t* entries, ZekVerbsCqHandler handler,
                        void* handler_context, std::uint32_t requested, std::uint32_t mode, void* client_handle,
                        bool own_pages) {
  if (ZekIsBadPointer(adapter)) {
    ZEK_LOG_FAILURE("zek_async_cq_create(): pIwarpAdapter is NULL\n");
    return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  }
  if (ZekIsBadPointer(out) || ZekIsBadPointer(entries)) return ZEK_STATUS_BAD_PTR;
  if (requested == 0) {
    ZEK_LOG_FAILURE("zek_async_cq_create(): NumEntriesReq is 0\n");
    return ZEK_STATUS_A_INVALID_IDENTIFIER;
  }
  ZekAdapterHold hold(adapter, "zek_async_cq_create: Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  ZekIwarpAdapter* a = hold.get();
  if (a->Base == nullptr || a->Device == nullptr) return ZEK_STATUS_FAIL;
  const std::uint32_t count = requested > ZEK_VERBS_MAX_CQ_ENTRIES ? ZEK_VERBS_MAX_CQ_ENTRIES : requested;
  MifhCqObject* cq = nullptr;
  void* ring = nullptr;
  if (allocate(&cq, &ring, count + 1, own_pages) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  ZekCqVerbs* v = ZekCqOf(cq);
  std::memset(static_cast<void*>(v), 0, sizeof *v);
  if (own_pages) v->OwnRing = ring;
  v->ErrorRing = static_cast<std::uint64_t*>(mifh_pool_allocate(MIFH_POOL_ERRORQP_QUEUE, 0));
  if (v->ErrorRing == nullptr) {
    ZEK_LOG_FAILURE("zek_async_cq_create:Counldn't allocate mem for pErrorQPObjectQueue\n");
    cq->Ring = ring;
    teardown(a, cq, false);
    return ZEK_STATUS_FAIL;
  }
  std::memset(v->ErrorRing, 0, ZEK_VERBS_ERROR_RING_SLOTS * sizeof(std::uint64_t));
  if (mifh_iwarp_cq_init(a->Device, cq, ring, pa_of(ring), count + 1, mode) != ZEK_STATUS_PASS ||
      OSPrimSyncInitSpinlockObject(&v->ErrorLock) != ZEK_STATUS_PASS) {
    cq->Ring = ring;
    teardown(a, cq, false);
    return ZEK_STATUS_FAIL;
  }
  v->ErrorPosition = 0;
  v->ErrorLast = ZEK_VERBS_ERROR_RING_SLOTS - 1;
  v->SlotCount = count + 1;
  std::uint32_t id = 0;
  const ZekStatus got = L_GetResource(a->Larmit, ZEK_RES_CQ, &id);
  if (got != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("zek_async_cq_create(): GetCompletionQueue() returned error (0x%x)\n", got);
    teardown(a, cq, false);
    return ZEK_STATUS_FAIL;
  }
  cq->CqId = id;
  v->Handler = handler;
  v->HandlerContext = handler_context;
  v->Adapter = a;
  v->ClientHandle = client_handle != nullptr ? client_handle : cq;
  ZekCompContext* context = nullptr;
  if (ZpxInitializeCompEventContext(&context, a) != ZEK_STATUS_PASS) {
    teardown(a, cq, true);
    return ZEK_STATUS_FAIL;
  }
  if (mifh_iwarptoe_cq_create(cq, id, ceq_of(a), 1, 1, &context->Hw) != ZEK_STATUS_PASS) {
    ZpxDestroyCompEventContext(context, a, 0);
    teardown(a, cq, true);
    return ZEK_STATUS_FAIL;
  }
  bool abandoned = false;
  if (ZekWaitCompContext(a, context, "zek_async_cq_create", &abandoned) != ZEK_STATUS_PASS) {
    // The adapter may still create (or have created) the CQ: its memory is
    // not returned while the adapter may write it.
    if (!abandoned) teardown(a, cq, true);
    *out = nullptr;
    return ZEK_STATUS_FAIL;
  }
  if (InsertInCQList(a, cq) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("zek_async_cq_create(): Couldn't add into CQList()\n");
    // The adapter holds the CQ: destroy it there before its memory goes.
    ZekCompContext* undo = nullptr;
    if (ZpxInitializeCompEventContext(&undo, a) == ZEK_STATUS_PASS &&
        mifh_cq_destroy(cq, &undo->Hw) == ZEK_STATUS_PASS &&
        ZekWaitCompContext(a, undo, "zek_async_cq_create") == ZEK_STATUS_PASS) {
      teardown(a, cq, true);
    }
    return ZEK_STATUS_FAIL;
  }
  v->DeviceNumber = a->Device->PciFunction;
  *out = cq;
  *entries = count;
  return ZEK_STATUS_PASS;
}

void ZekCqForget(ZekIwarpAdapter* a, MifhCqObject* cq) {
  ZekCqVerbs* v = ZekCqOf(cq);
  L_FreeResource(a->Larmit, ZEK_RES_CQ, cq->CqId);
  if (v->ErrorRing != nullptr) mifh_pool_free(MIFH_POOL_ERRORQP_QUEUE, v->ErrorRing, 0);
  v->ErrorRing = nullptr;
  v->ErrorLock.Signature = 0;
  v->Adapter = nullptr;
  ZpxReleaseUserPart(&v->UserPart);
  // The ring and the object stay: the adapter may still write the ring.
}

ZekStatus zek_cq_create(void* adapter, void** cq, std::uint32_t* entries, ZekVerbsCqHandler handler,
                        void* handler_context, std::uint32_t requested) {
  return zek_async_cq_create(adapter, cq, entries, handler, handler_context, requested, 0, nullptr);
}

ZekStatus ZekCqDestroyHeld(ZekIwarpAdapter* a, MifhCqObject* cq) {
  if (FindCQObject(a, cq) != ZEK_STATUS_PASS) return IWARP_STATUS_CQ_INVALID_HANDLE;
  ZekCqVerbs* v = ZekCqOf(cq);
  if (const std::uint32_t attached = v->AttachedQueues.load(); attached != 0) {
    ZEK_LOG_FAILURE("zek_cq_destroy(): Work Queues are still attached to completion Queue cqid (%x)\n", cq->CqId);
    return IWARP_STATUS_CQ_IN_USE;
  }
  ZekCompContext* context = nullptr;
  if (ZpxInitializeCompEventContext(&context, a) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  if (mifh_cq_destroy(cq, &context->Hw) != ZEK_STATUS_PASS) {
    // Not posted: the adapter still has the CQ, so the CQ stays.
    ZEK_LOG_FAILURE("zek_cq_destroy(): mifh_cq_destroy() could not be posted\n");
    ZpxDestroyCompEventContext(context, a, 0);
    return ZEK_STATUS_FAIL;
  }
  if (ZekWaitCompContext(a, context, "zek_cq_destroy") != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  if (RemoveFromCQList(a, cq) != ZEK_STATUS_PASS) return IWARP_STATUS_CQ_INVALID_HANDLE;
  teardown(a, cq, true);
  return ZEK_STATUS_PASS;
}

ZekStatus zek_cq_destroy(void* adapter, void* cq) {
  if (ZekIsBadPointer(adapter)) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  if (ZekIsBadPointer(cq)) return IWARP_STATUS_CQ_INVALID_HANDLE;
  ZekAdapterHold hold(adapter, "zek_cq_destroy: Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  return ZekCqDestroyHeld(hold.get(), static_cast<MifhCqObject*>(cq));
}

ZekStatus zek_cq_query(void* adapter, void* handle, ZekVerbsCqHandler* handler, std::uint32_t* entries) {
  if (ZekIsBadPointer(handle)) return IWARP_STATUS_CQ_INVALID_HANDLE;
  if (ZekIsBadPointer(handler)) {
    ZEK_LOG_FAILURE("zek_cq_query(): pCallBack is NULL\n");
    return ZEK_STATUS_BAD_PTR;
  }
  if (ZekIsBadPointer(entries)) {
    ZEK_LOG_FAILURE("zek_cq_query(): pNumEntries is NULL\n");
    return ZEK_STATUS_BAD_PTR;
  }
  ZekAdapterHold hold(adapter, "zek_cq_query: Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  MifhCqObject* cq = cq_of(hold.get(), handle);
  if (cq == nullptr) return IWARP_STATUS_CQ_INVALID_HANDLE;
  *entries = ZekCqOf(cq)->SlotCount - 1;
  *handler = ZekCqOf(cq)->Handler;
  return ZEK_STATUS_PASS;
}

// The adapter takes a CQ's context again but not a new size for its ring:
// the modify re-sends the CQ as it is, so a count other than the CQ's own
// is refused rather than reported as done.
ZekStatus zek_cq_modify(void* adapter, void* handle, std::uint32_t* entries, std::uint32_t requested) {
  if (ZekIsBadPointer(adapter)) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  if (ZekIsBadPointer(handle)) return IWARP_STATUS_CQ_INVALID_HANDLE;
  if (ZekIsBadPointer(entries)) return ZEK_STATUS_BAD_PTR;
  if (requested == 0) return ZEK_STATUS_A_INVALID_IDENTIFIER;
  ZekAdapterHold hold(adapter, "zek_cq_modify: Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  ZekIwarpAdapter* a = hold.get();
  MifhCqObject* cq = cq_of(a, handle);
  if (cq == nullptr) {
    ZEK_LOG_FAILURE("zek_cq_modify: CQ Object not found \n");
    return IWARP_STATUS_CQ_INVALID_HANDLE;
  }
  const std::uint32_t count = requested > ZEK_VERBS_MAX_CQ_ENTRIES ? ZEK_VERBS_MAX_CQ_ENTRIES : requested;
  if (count != ZekCqOf(cq)->SlotCount - 1) return IWARP_STATUS_CQ_COULD_NOT_RESIZE_CQ;
  ZekCompContext* context = nullptr;
  if (ZpxInitializeCompEventContext(&context, a) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  if (mifh_cq_modify(cq, ceq_of(a), &context->Hw) != ZEK_STATUS_PASS) {
    ZpxDestroyCompEventContext(context, a, 0);
    return ZEK_STATUS_FAIL;
  }
  if (ZekWaitCompContext(a, context, "zek_cq_modify") != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  *entries = count;
  return ZEK_STATUS_PASS;
}

ZekStatus zek_cq_request_notification(void* adapter, void* handle, std::uint32_t mode) {
  ZekAdapterHold hold(adapter, "zek_cq_request_notification: Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  MifhCqObject* cq = cq_of(hold.get(), handle);
  if (cq == nullptr) return IWARP_STATUS_CQ_INVALID_HANDLE;
  if (mode > 1) return IWARP_STATUS_CQ_INVALID_NOTIFY_MODE;
  mifh_cq_arm(cq, mode == 1, false);
  return ZEK_STATUS_PASS;
}

ZekStatus zek_cq_set_compl_handler(void* adapter, void* handle, ZekVerbsCqHandler handler, void* context) {
  if (ZekIsBadPointer(handle)) {
    ZEK_LOG_FAILURE("zek_cq_set_compl_handler(): CQHandle is NULL\n");
    return IWARP_STATUS_CQ_INVALID_HANDLE;
  }
  ZekAdapterHold hold(adapter, "zek_cq_set_compl_handler: Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  MifhCqObject* cq = cq_of(hold.get(), handle);
  if (cq == nullptr) {
    ZEK_LOG_FAILURE("zek_cq_set_compl_handler: CQ Object not found \n");
    return IWARP_STATUS_CQ_INVALID_HANDLE;
  }
  ZekCqOf(cq)->Handler = handler;
  ZekCqOf(cq)->HandlerContext = context;
  return ZEK_STATUS_PASS;
}

// ---- The error ring ---------------------------------------------------------------------------------------
ZekStatus InsertInErrorQPList(MifhCqObject* cq, MifhQpObject* qp, std::uint8_t send_side, std::uint8_t check) {
  ZekCqVerbs* v = ZekCqOf(cq);
  if (v->ErrorRing == nullptr || qp == nullptr) return ZEK_STATUS_FAIL;
  if (OSPrimSyncAcquireSpinlockObject(&v->ErrorLock) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  ZekStatus status = ZEK_STATUS_PASS;
  if (v->ErrorPosition == v->ErrorLast) {
    ZEK_LOG_FAILURE("InsertInErrorQPList: the error ring of CQ (%x) is full\n", cq->CqId);
    status = ZEK_STATUS_FAIL;
  } else {
    v->ErrorRing[v->ErrorPosition] = reinterpret_cast<std::uint64_t>(qp) | (send_side ? ZEK_ERROR_ENTRY_SEND : 0) |
                                     (check ? ZEK_ERROR_ENTRY_CHECK : 0);
    v->ErrorPosition = (v->ErrorPosition + 1) % ZEK_VERBS_ERROR_RING_SLOTS;
  }
  OSPrimSyncReleaseSpinlockObject(&v->ErrorLock);
  return status;
}

namespace {

std::uint32_t outstanding(const ZEK_OSPRIM_RING& r) { return r.Size == 0 ? 0 : (r.Size + r.Head - r.Tail) % r.Size; }

// Under the CQ's error lock: the next flushed completion of the ring.
ZekStatus next_flushed(MifhCqObject* cq, ZekWorkCompletion* out) {
  ZekCqVerbs* v = ZekCqOf(cq);
  for (;;) {
    const std::uint32_t slot = (v->ErrorLast + 1) % ZEK_VERBS_ERROR_RING_SLOTS;
    if (slot == v->ErrorPosition) return ZEK_STATUS_FAIL;
    std::uint64_t& entry = v->ErrorRing[slot];
    auto* qp = reinterpret_cast<MifhQpObject*>(entry & ~std::uint64_t{ZEK_ERROR_ENTRY_SEND | ZEK_ERROR_ENTRY_CHECK});
    if (qp == nullptr || qp->Signature != MIFH_QP_SIGNATURE) {
      // A queue pair destroyed since it was queued: its entry is passed over.
      entry = 0;
      v->ErrorLast = slot;
      continue;
    }
    ZekQpVerbs* q = ZekQpOf(qp);
    const bool send = (entry & ZEK_ERROR_ENTRY_SEND) != 0;
    const bool check = (entry & ZEK_ERROR_ENTRY_CHECK) != 0;
    if (check) {
      const bool send_side = (q->Flags & ZEK_QPV_SEND_SIDE_FLUSH) != 0;
      const std::uint32_t tail = send_side ? qp->SqRing.Tail : qp->RqRing.Tail;
      const std::uint32_t point = send_side ? q->SendFlushPoint : q->RecvFlushPoint;
      // Not yet due: kept for a later poll, never spun on.
      if (tail != point && (q->Flags & ZEK_QPV_FLUSH_STARTED) == 0) return ZEK_STATUS_FAIL;
      q->Flags |= ZEK_QPV_FLUSH_STARTED;
    }
    ZEK_OSPRIM_RING& ring = send ? qp->SqRing : qp->RqRing;
    if (send) {
      OSPrimMemoryLogging("mifh_flush_sendq: mifh_flush_sq: sq head %d tail %d \n", ring.Head, ring.Tail);
    }
    auto advance_ring = [&] {
      entry = 0;
      v->ErrorLast = slot;
      const std::uint32_t reset = send ? ZEK_QPV_SEND_RESET : ZEK_QPV_RECV_RESET;
      if ((q->Flags & reset) != 0) ring.Head = ring.Tail = send ? q->SendRestart : q->RecvRestart;
    };
    if (outstanding(ring) == 0) {
      advance_ring();
      continue;
    }
    // The CQ is the poller's own: a flushed completion is only made when it
    // is handed out here, so none is lost and none is made up.
    std::memset(out, 0, sizeof *out);
    out->Qp = qp->QpId;
    out->Status = 1;
    if (send && static_cast<const zekhw::MifhWqe*>(qp->Sq)[ring.Tail].op_word == zekhw::kWqeStreamMessageOp) {
      // The hand-over's own streaming message is no request of the caller's.
      ring.Tail = (ring.Tail + 1) % ring.Size;
      if (outstanding(ring) == 0) advance_ring();
      continue;
    }
    if (send) {
      const auto& w = static_cast<const zekhw::MifhWqe*>(qp->Sq)[ring.Tail];
      out->WrId = w.wr_id;
      out->OpCode = w.op_word & 0x3F;
      if (check) out->Status = q->TerminateStatus != 0 ? q->TerminateStatus : 1;
      ZekFastRegFlushed(qp, ring.Tail, out);
    } else {
      const auto& w = static_cast<const zekhw::MifhRqWqe*>(qp->Rq)[ring.Tail];
      out->WrId = w.wr_id;
      out->OpCode = ZEK_WC_RECEIVE;
    }
    ring.Tail = (ring.Tail + 1) % ring.Size;
    if (outstanding(ring) == 0) advance_ring();
    entry &= ~std::uint64_t{ZEK_ERROR_ENTRY_CHECK};
    return ZEK_STATUS_PASS;
  }
}

}  // namespace

void ZekErrorRingForget(MifhCqObject* cq, MifhQpObject* qp) {
  ZekCqVerbs* v = ZekCqOf(cq);
  if (v->ErrorRing == nullptr || OSPrimSyncAcquireSpinlockObject(&v->ErrorLock) != ZEK_STATUS_PASS) return;
  for (std::uint32_t slot = (v->ErrorLast + 1) % ZEK_VERBS_ERROR_RING_SLOTS; slot != v->ErrorPosition;
       slot = (slot + 1) % ZEK_VERBS_ERROR_RING_SLOTS) {
    const std::uint64_t entry = v->ErrorRing[slot];
    if ((entry & ~std::uint64_t{ZEK_ERROR_ENTRY_SEND | ZEK_ERROR_ENTRY_CHECK}) == reinterpret_cast<std::uint64_t>(qp)) {
      v->ErrorRing[slot] = 0;
    }
  }
  OSPrimSyncReleaseSpinlockObject(&v->ErrorLock);
}

ZekStatus ProcessErrorQPWqe(MifhCqObject* cq, ZekWorkCompletion* out) {
  ZekCqVerbs* v = ZekCqOf(cq);
  if (v->ErrorRing == nullptr) return ZEK_STATUS_FAIL;
  if (OSPrimSyncAcquireSpinlockObject(&v->ErrorLock) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  const ZekStatus status = next_flushed(cq, out);
  OSPrimSyncReleaseSpinlockObject(&v->ErrorLock);
  return status;
}

// ---- Polling ----------------------------------------------------------------------------------------------
ZekStatus zek_cq_poll_completion(void* adapter, void* handle, ZekWorkCompletion* out) {
  if (ZekIsBadPointer(out)) return ZEK_STATUS_BAD_PTR;
  ZekAdapterHold hold(adapter, "zek_cq_poll_completion: Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  ZekIwarpAdapter* a = hold.get();
  MifhCqObject* cq = cq_of(a, handle);
  if (cq == nullptr) return IWARP_STATUS_CQ_INVALID_HANDLE;
  if (ProcessErrorQPWqe(cq, out) == ZEK_STATUS_PASS) {
    OSPrimMemoryLogging("zek_cq_poll_completion: error wqe is processed\n");
    return ZEK_STATUS_PASS;
  }
  MifhCompletion c{};
  const ZekStatus polled = mifh_cq_poll_completion(cq, &c);
  if (polled != ZEK_STATUS_PASS) {
    out->Status = polled == IWARP_STATUS_CQ_EMPTY ? IWARP_STATUS_CQ_EMPTY : ZEK_STATUS_FAIL;
    return polled == IWARP_STATUS_CQ_EMPTY ? IWARP_STATUS_CQ_EMPTY : ZEK_STATUS_FAIL;
  }
  static_assert(sizeof(MifhCompletion) == sizeof(ZekWorkCompletion));
  std::memcpy(out, &c, sizeof *out);
  // A Send with Invalidate received: the adapter invalidated that STag.
  if (c.Status == 0 && c.OpCode == ZEK_WC_RECEIVE && c.ImmediateFlag != 0) ZekStagInvalidated(a, c.Immediate);
  if (c.Status != 1) return ZEK_STATUS_PASS;
  OSPrimMemoryLogging("zek_cq_poll_completion: Completion status is flushed\n");
  // The completion names its queue pair by id: found on this adapter only.
  MifhQpObject* qp = ZekQpOfHandle(a, c.Qp);
  if (qp == nullptr) return ZEK_STATUS_PASS;
  ZekQpVerbs* q = ZekQpOf(qp);
  const bool send_side = (q->Flags & ZEK_QPV_SEND_SIDE_FLUSH) != 0;
  const bool receive = c.OpCode == ZEK_WC_RECEIVE;
  if ((q->Flags & ZEK_QPV_FLUSH_PENDING) != 0) {
    q->Flags &= ~ZEK_QPV_FLUSH_PENDING;
    if (receive && send_side) {
      InsertInErrorQPList(cq, qp, 0, 0);
      return ZEK_STATUS_PASS;
    }
    // The rest of this side's work requests come back flushed from the ring.
    if (receive != send_side) {
      InsertInErrorQPList(cq, qp, receive ? 0 : 1, 0);
      return ZEK_STATUS_PASS;
    }
  }
  InsertInErrorQPList(cq, qp, receive ? 0 : 1, 0);
  return ZEK_STATUS_PASS;
}
