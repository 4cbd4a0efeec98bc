// Queue pairs: create (limits and rounding, the adapter's context, the
// create request), the two-stage destroy, query, the receive-queue flush
// and the emptiness test.
//
// Where the context attributes leave the placement open, the create puts
// the completion queues' ids in the CQ-id fields, the port selector in
// flag bits 0-2 (byte 10), the ORD in word 40 bits 0-15 (byte 28), the low
// byte of the IRD resource in bits 16-24 (byte 29), the IRD code in bits
// 28-29 (byte 30), the RDMA mode in word 41 and the two create features in
// flag bits 28 and 29 (bytes 5 and 6).
#include <cstring>

#include "include/hw/wqe.h"
#include "proxy/core/user_mapping.h"
#include "proxy/core/verbs_requests.h"
#include "proxy/rdma/hw/cq.h"
#include "proxy/rdma/hw/pool_ops.h"
#include "proxy/rdma/hw/work_requests.h"
#include "proxy/rdma/verbs/verbs.h"

namespace {

constexpr std::uint32_t kDmaAreaBytes = 320;
constexpr std::uint32_t kTerminateBytes = 64;

std::uint64_t pa_of(const void* va) {
  std::uint32_t low = 0, high = 0;
  if (va == nullptr || OSPrimGetPaFromVa(va, &low, &high) != ZEK_STATUS_PASS) return 0;
  return (std::uint64_t{high} << 32) | low;
}

std::uint32_t round_ird(std::uint32_t ird) { return ird < 3 ? 2 : ird < 9 ? 8 : ird < 33 ? 32 : 64; }
std::uint8_t ird_code(std::uint32_t ird) { return ird == 2 ? 0 : ird == 8 ? 1 : ird == 32 ? 2 : 3; }

std::uint8_t port_selector(const MifhDeviceObj* d, std::uint32_t qp_id) {
  const std::uint32_t extra = d->PortMode == 3 ? 0 : d->PortMode == 0 ? qp_id % 4 : 2 * (qp_id % 2);
  return static_cast<std::uint8_t>(d->BasePort + 4 + extra);
}

// What a queue pair holds besides its adapter context, returned in reverse
// order of taking. The QP id goes back only when `id_held`.
void release(ZekIwarpAdapter* a, MifhQpObject* qp, bool id_held) {
  ZekQpVerbs* v = ZekQpOf(qp);
  if (id_held) {
    const ZekStatus status = L_FreeResource(a->Larmit, ZEK_RES_QP, qp->QpId);
    if (status != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("zek_qp_destroy_2():FreeQueuePair() returned error (0x%x)\n", status);
    }
  }
  if ((v->Flags & ZEK_QPV_IRD_HELD) != 0) {
    L_FreeResource(a->Larmit, ZEK_RES_IRD, v->IrdResource);
    v->Flags &= ~ZEK_QPV_IRD_HELD;
  }
  // What the adapter may still write (the terminate buffer) stays with a
  // queue pair whose destroy it never confirmed.
  const bool quarantined = (qp->QpFlags & MIFH_QPF_QUARANTINED) != 0;
  if (v->Terminate != nullptr && !quarantined) mifh_free_q2_buffer(v->Terminate);
  v->Terminate = nullptr;
  if (v->DmaArea != nullptr) OSPrimMemDMAFree(v->DmaArea);
  v->DmaArea = nullptr;
  // A loopback pair's other queue pair no longer names this one.
  if (auto* peer = static_cast<MifhQpObject*>(v->PeerQp); peer != nullptr && ZekQpOf(peer)->PeerQp == qp) {
    ZekQpOf(peer)->PeerQp = nullptr;
  }
  v->PeerQp = nullptr;
  // The streaming message's buffer, unless the adapter may still read it
  // (its region was never deallocated).
  if (v->StreamBuffer != nullptr && (v->Flags & ZEK_QPV_STREAM_STAG) == 0) OSPrimMemDMAFree(v->StreamBuffer);
  if ((v->Flags & ZEK_QPV_STREAM_INDEX) != 0 && (v->Flags & ZEK_QPV_STREAM_STAG) == 0) {
    L_FreeResource(a->Larmit, ZEK_RES_MR, v->StreamStag >> 8);
  }
  v->StreamBuffer = nullptr;
  v->Flags &= ~(ZEK_QPV_STREAM_INDEX | ZEK_QPV_STREAM_STAG);
  for (OSPrimSpinlockObject& l : qp->Locks) l.Signature = 0;
  // Waits on the queue pair end with it; what it mapped into its process
  // goes before its memory.
  ZpxQpNotificationsEnd(qp);
  ZpxReleaseUserPart(&v->UserPart);
  if (v->OwnRings != nullptr && !quarantined) {
    ZpxFreeMappablePages(qp->Sq);
    ZpxFreeMappablePages(qp->Rq);
    qp->Sq = qp->Rq = nullptr;
    v->OwnRings = nullptr;
  }
  // A queue pair whose destroy the adapter never confirmed keeps its
  // memory (the hardware layer refuses to return it).
  mifh_free_iwarp_virtual_sq(qp);
}

// Gives a new queue pair rings of pages of their own in place of the
// pools' (a user-access queue pair's, mapped into its process whole).
bool own_rings(MifhQpObject* qp, void** sq, void** rq, std::uint32_t sq_size, std::uint32_t rq_size) {
  void* s = ZpxAllocateMappablePages(sq_size * sizeof(zekhw::MifhWqe));
  void* r = s == nullptr ? nullptr : ZpxAllocateMappablePages(rq_size * sizeof(zekhw::MifhWqe));
  if (r == nullptr) {
    ZpxFreeMappablePages(s);
    return false;
  }
  mifh_free_iwarp_sq(qp->Sq, sq_size);
  mifh_free_iwarp_rq(qp->Rq, rq_size);
  qp->Sq = *sq = s;
  qp->Rq = *rq = r;
  ZekQpOf(qp)->OwnRings = s;
  qp->UserQp = 1;
  qp->QpFlags |= MIFH_QPF_OWN_RINGS;
  return true;
}

}  // namespace

void ZekQpContextAttributes(MifhQpObject* qp, std::uint32_t ord, MifhIwarpContextAttributes* c) {
  const ZekQpVerbs* v = ZekQpOf(qp);
  *c = MifhIwarpContextAttributes{};
  c->Offload = 0;
  c->CqIdsValid = 1;
  c->SqCqId = static_cast<std::uint16_t>(v->SendCq->CqId);
  c->RqCqId = static_cast<std::uint16_t>(v->RecvCq->CqId);
  c->Byte5 = v->FeatureBits & 1;
  c->Byte6 = (v->FeatureBits >> 1) & 1;
  c->Byte10 = static_cast<std::uint8_t>(port_selector(qp->Device, qp->QpId) & 7);
  c->Byte28 = static_cast<std::uint8_t>(ord);
  c->Byte29 = static_cast<std::uint8_t>(v->IrdResource);
  c->Byte30 = ird_code(v->Ird);
  c->Word32 = v->RdmaMode;
  c->Q2Pa = pa_of(v->Terminate);
  c->PdId = v->Pd->Hw.PdId;
}

ZekStatus zek_qp_create(void* adapter, const ZekQpCreateInput* in, ZekQpAttributes* out, std::uint64_t* handle) {
  return ZekQpCreateEx(adapter, in, out, handle, false);
}

ZekStatus ZekQpCreateEx(void* adapter, const ZekQpCreateInput* in, ZekQpAttributes* out, std::uint64_t* handle,
                        bool own_pages) {
  if (ZekIsBadPointer(adapter)) {
    ZEK_LOG_FAILURE("zek_qp_create(): pIwarpAdapter is NULL\n");
    return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  }
  if (ZekIsBadPointer(in) || ZekIsBadPointer(out) || ZekIsBadPointer(handle)) return ZEK_STATUS_BAD_PTR;
  ZekAdapterHold hold(adapter, "zek_qp_create: Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  ZekIwarpAdapter* a = hold.get();
  if (a->Base == nullptr || a->Device == nullptr) return ZEK_STATUS_FAIL;
  const MifhDeviceObj* d = a->Device;
  auto* pd = reinterpret_cast<ZekPd*>(in->Pd);
  auto* scq = reinterpret_cast<MifhCqObject*>(in->SendCq);
  auto* rcq = reinterpret_cast<MifhCqObject*>(in->RecvCq);
  if (ZekIsBadPointer(pd)) {
    ZEK_LOG_FAILURE("zek_qp_create(): pPdObj is NULL\n");
    return IWARP_STATUS_PD_INVALID_PD_ID;
  }
  if (ZekIsBadPointer(scq)) {
    ZEK_LOG_FAILURE("zek_qp_create(): pQPInputInfo->SendQueue is NULL\n");
    return ZEK_STATUS_FAIL;
  }
  if (ZekIsBadPointer(rcq)) return ZEK_STATUS_FAIL;
  if (FindPDObject(a, pd) != ZEK_STATUS_PASS) return IWARP_STATUS_PD_INVALID_PD_ID;
  // Completion queues are handles too: both must be this adapter's.
  if (FindCQObject(a, scq) != ZEK_STATUS_PASS || FindCQObject(a, rcq) != ZEK_STATUS_PASS) {
    return IWARP_STATUS_CQ_INVALID_HANDLE;
  }
  const struct {
    std::uint32_t count;
    const char* form;
  } sges[] = {{in->SqSges, "zek_qp_create(): SQ Fragment count (0x%x) is greater than supported (0x%x)\n"},
              {in->RqSges, "zek_qp_create(): RQ Fragment count (0x%x) is greater than supported (0x%x)\n"},
              {in->RdmaWSges, "zek_qp_create(): RDMA write Fragment count (0x%x) is greater than supported (0x%x)\n"}};
  for (const auto& s : sges) {
    if (s.count > ZEK_VERBS_MAX_SGES) {
      ZEK_LOG_FAILURE(s.form, s.count, ZEK_VERBS_MAX_SGES);
      return IWARP_STATUS_QP_INVALID_NUM_SGES;
    }
  }
  if (in->Ord > d->MaxOrd) return IWARP_STATUS_QP_INVALID_ORD;
  if (in->Ird > d->MaxIrd) return IWARP_STATUS_QP_INVALID_IRD;
  if (in->SqSize >= d->MaxSqWr) {
    ZEK_LOG_FAILURE("zek_qp_create(): send queue elements (0x%x) is greater than supported (0x%x)\n", in->SqSize,
                    d->MaxSqWr);
    return IWARP_STATUS_QP_INVALID_NUM_WORK_REQS;
  }
  if (in->RqSize >= d->MaxRqWr) {
    ZEK_LOG_FAILURE("zek_qp_create(): recv queue elements (0x%x) is greater than supported (0x%x)\n", in->RqSize,
                    d->MaxRqWr - 1);
    return IWARP_STATUS_QP_INVALID_NUM_WORK_REQS;
  }
  // Every request gets at least what it asked for: the smallest ring whose
  // usable part holds it.
  const std::uint32_t sq_size = mifh_iwarp_ring_size_for(in->SqSize);
  const std::uint32_t rq_size = mifh_iwarp_ring_size_for(in->RqSize);
  if (sq_size == 0 || rq_size == 0) return IWARP_STATUS_QP_INVALID_NUM_WORK_REQS;
  const std::uint32_t ird = round_ird(in->Ird);

  MifhQpObject* qp = nullptr;
  void* sq = nullptr;
  void* rq = nullptr;
  void* host_context = nullptr;
  if (mifh_iwarp_qp_allocate(&qp, a->Device, &sq, &rq, &host_context, sq_size, rq_size, 0) != ZEK_STATUS_PASS) {
    return ZEK_STATUS_FAIL;
  }
  ZekQpVerbs* v = ZekQpOf(qp);
  std::memset(static_cast<void*>(v), 0, sizeof *v);
  bool id_held = false;
  auto fail = [&](ZekStatus status) {
    release(a, qp, id_held);
    return status;
  };
  if (own_pages && !own_rings(qp, &sq, &rq, sq_size, rq_size)) return fail(ZEK_STATUS_RES_INSUFFICIENT_SW);
  if (mifh_iwarp_qp_init(qp, sq, rq, pa_of(sq), pa_of(rq), sq_size, rq_size, 0) != ZEK_STATUS_PASS) {
    return fail(ZEK_STATUS_FAIL);
  }
  if (OSPrimMemDMAAllocate(&v->DmaArea, kDmaAreaBytes) != ZEK_STATUS_PASS) {
    v->DmaArea = nullptr;
    return fail(ZEK_STATUS_FAIL);
  }
  v->Terminate = mifh_allocate_q2_buffer();
  if (v->Terminate == nullptr) {
    ZEK_LOG_FAILURE("zek_qp_create():Couldn't allocate memory for Q2\n");
    return fail(ZEK_STATUS_FAIL);
  }
  std::memset(v->Terminate, 0, kTerminateBytes);
  std::uint32_t id = 0;
  if (const ZekStatus got = L_GetResource(a->Larmit, ZEK_RES_QP, &id); got != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("zek_qp_create():GetQueuePair() returned error (0x%x)\n", got);
    return fail(ZEK_STATUS_FAIL);
  }
  qp->QpId = id;
  id_held = true;
  // A handle is an index of the adapter's table: an id beyond it could
  // never be used, so the queue pair is not made.
  if (id >= ZEK_VERBS_QP_TABLE_SIZE) {
    ZEK_LOG_FAILURE("zek_qp_create(): QP id (0x%x) is beyond the handle table\n", id);
    return fail(ZEK_STATUS_FAIL);
  }
  if (L_GetResource(a->Larmit, ZEK_RES_IRD, &v->IrdResource) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("zek_qp_create: GetIRD() failed\n");
    return fail(ZEK_STATUS_FAIL);
  }
  v->Flags |= ZEK_QPV_IRD_HELD;

  v->Pd = pd;
  v->SendCq = scq;
  v->RecvCq = rcq;
  v->Adapter = a;
  v->Ord = in->Ord;
  v->Ird = ird;
  v->CreateFlags = in->Flags;
  v->RdmaMode = in->RdmaMode;
  v->FeatureBits = static_cast<std::uint8_t>((in->Feature52 != 0 ? 1 : 0) | (in->Feature48 != 0 ? 2 : 0));
  v->State = ZEK_QP_STATE_IDLE;
  MifhIwarpContextAttributes context{};
  ZekQpContextAttributes(qp, in->Ord, &context);
  if (const ZekStatus s = mifh_iwarp_qp_setcontext(qp, &context); s != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("zek_qp_create():mifh_iwarp_qp_setcontext() returned error (0x%x)\n", s);
    return fail(ZEK_STATUS_FAIL);
  }
  auto* first = static_cast<zekhw::MifhWqe*>(sq);
  std::memset(first, 0, 64);
  first->tag = reinterpret_cast<std::uint64_t>(qp) | 1;
  for (OSPrimSpinlockObject& l : qp->Locks) {
    if (OSPrimSyncInitSpinlockObject(&l) != ZEK_STATUS_PASS) return fail(ZEK_STATUS_FAIL);
  }

  ZekCompContext* wait = nullptr;
  if (ZpxInitializeCompEventContext(&wait, a) != ZEK_STATUS_PASS) return fail(ZEK_STATUS_FAIL);
  MifhIwarpCreateAttributes create{};
  create.InitialState = ZEK_QP_STATE_IDLE;
  create.Byte33 = 1;
  create.Byte31 = in->Feature48 != 0 ? 1 : 0;
  if (mifh_iwarp_qp_create(qp, &create, id, &wait->Hw) != ZEK_STATUS_PASS) {
    ZpxDestroyCompEventContext(wait, a, 0);
    return fail(ZEK_STATUS_FAIL);
  }
  bool abandoned = false;
  if (ZekWaitCompContext(a, wait, "zek_qp_create", &abandoned) != ZEK_STATUS_PASS) {
    *handle = 0;
    // The adapter may hold the queue pair: its memory and id stay out of reach.
    if (abandoned) {
      qp->QpFlags |= MIFH_QPF_QUARANTINED;
      return ZEK_STATUS_FAIL;
    }
    ZEK_LOG_FAILURE("zek_qp_create: Major Error (%x) Minor Error (%x) QPId[%d]\n", 0, 0, id);
    return fail(ZEK_STATUS_FAIL);
  }
  if (InsertInQPList(a, qp) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("zek_qp_create():InsertInQPList() returned error \n");
    qp->QpFlags |= MIFH_QPF_QUARANTINED;
    return fail(ZEK_STATUS_FAIL);
  }
  std::memset(out, 0, sizeof *out);
  out->SendCq = reinterpret_cast<std::uint64_t>(ZekCqOf(scq)->ClientHandle);
  out->RecvCq = reinterpret_cast<std::uint64_t>(ZekCqOf(rcq)->ClientHandle);
  out->Pd = in->Pd;
  out->SqSize = sq_size - ZEK_VERBS_WQ_RESERVED;
  out->RqSize = rq_size - ZEK_VERBS_WQ_RESERVED;
  out->Flags = in->Flags;
  out->Feature48 = in->Feature48;
  out->Feature52 = in->Feature52;
  out->SqSges = out->RqSges = out->RdmaWSges = ZEK_VERBS_MAX_SGES;
  out->Ord = in->Ord;
  out->Ird = ird;
  out->State = ZEK_QP_STATE_IDLE;
  *handle = id;
  return ZEK_STATUS_PASS;
}

// ---- Destroy ----------------------------------------------------------------------------------------------
ZekStatus zek_qp_destroy_2(ZekIwarpAdapter* a, MifhQpObject* qp, std::uint32_t keep) {
  if (OSPrimSyncAcquireSpinlockObject(ZekQpDestroySpinlock()) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("zek_qp_destroy1: Acquire spinlock failed for QPDestroySpinlock \n");
    return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  }
  if (keep != 0) {
    OSPrimSyncReleaseSpinlockObject(ZekQpDestroySpinlock());
    OSPrimMemoryLogging("zek_qp_destroy_2: returning without freeing resources\n");
    return ZEK_STATUS_PASS;
  }
  const ZekStatus removed = RemoveFromQPList(a, qp);
  OSPrimSyncReleaseSpinlockObject(ZekQpDestroySpinlock());
  if (removed != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("zek_qp_destroy_2: QP Object not found \n");
    return IWARP_STATUS_QP_INVALID_HANDLE;
  }
  // The asynchronous-event processing may hold it still: it is done with
  // it before it goes (no new reference once it is off the list).
  while (ZekQpOf(qp)->EventRefs.load() != 0) OSPrimSleepDelay(nullptr, 1000);
  // No flush of it may be waiting on its completion queues' error rings.
  ZekErrorRingForget(ZekQpOf(qp)->SendCq, qp);
  ZekErrorRingForget(ZekQpOf(qp)->RecvCq, qp);
  // Fast registrations still in its ring end here (the adapter no longer
  // reads it), unless the adapter never confirmed the destroy.
  if ((qp->QpFlags & MIFH_QPF_QUARANTINED) == 0) ZekFastRegForgetQp(qp);
  release(a, qp, true);
  return ZEK_STATUS_PASS;
}

ZekStatus ZekQpDestroyHeld(ZekIwarpAdapter* a, MifhQpObject* qp) {
  ZekQpVerbs* v = ZekQpOf(qp);
  if ((v->Flags & ZEK_QPV_DESTROY_PENDING) != 0) return ZEK_STATUS_FAIL;
  // A queue pair in RTS is first moved to CLOSING (its connection ends with
  // a FIN); a refusal does not keep it from being destroyed.
  if (v->State == ZEK_QP_STATE_RTS) {
    ZekQpModifyInput closing{};
    closing.Mask = ZEK_QP_MODIFY_STATE;
    closing.State = ZEK_QP_STATE_CLOSING;
    ZekQpModifyOutput ignored{};
    ZekQpModifyHeld(a, qp, &closing, &ignored);
  }
  ZekQpDropStreamMessage(a, qp);
  ZekCompContext* wait = nullptr;
  if (ZpxInitializeCompEventContext(&wait, a) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  wait->Qp = qp;
  const bool tcp_context = (v->Flags & ZEK_QPV_TCP_CONTEXT_SET) != 0;
  v->Flags &= ~ZEK_QPV_TCP_CONTEXT_SET;
  if (mifh_iwarp_qp_destroy_1(qp, &wait->Hw, tcp_context ? 1 : 0) != ZEK_STATUS_PASS) {
    // Not posted: the adapter still has the queue pair; it stays as it is.
    ZpxDestroyCompEventContext(wait, a, 0);
    return ZEK_STATUS_FAIL;
  }
  bool abandoned = false;
  if (ZekWaitCompContext(a, wait, "zek_qp_destroy", &abandoned) != ZEK_STATUS_PASS) {
    if (abandoned) {
      // The adapter's close finishes it once the adapter is done with it.
      v->Flags |= ZEK_QPV_DESTROY_PENDING;
      return ZEK_STATUS_FAIL;
    }
    // The adapter refused the destroy: the queue pair stays in place.
    return ZEK_STATUS_FAIL;
  }
  return zek_qp_destroy_2(a, qp, 0);
}

ZekStatus zek_qp_destroy(void* adapter, std::uint64_t handle) {
  if (handle >= ZEK_VERBS_QP_TABLE_SIZE) {
    ZEK_LOG_FAILURE("zek_qp_destroy(): QPHandle is NULL\n");
    return IWARP_STATUS_QP_INVALID_HANDLE;
  }
  ZekAdapterHold hold(adapter, "zek_qp_destroy: Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  MifhQpObject* qp = ZekQpOfHandle(hold.get(), handle);
  if (qp == nullptr) {
    ZEK_LOG_FAILURE("zek_qp_destroy(): QPHandle is NULL\n");
    return IWARP_STATUS_QP_INVALID_HANDLE;
  }
  return ZekQpDestroyHeld(hold.get(), qp);
}

// ---- Query, flush, emptiness ----------------------------------------------------------------------------------------
ZekStatus zek_qp_query(void* adapter, std::uint64_t handle, ZekQpAttributes* info) {
  if (handle >= ZEK_VERBS_QP_TABLE_SIZE) {
    ZEK_LOG_FAILURE("zek_qp_query(): QPHandle is NULL\n");
    return IWARP_STATUS_QP_INVALID_HANDLE;
  }
  if (ZekIsBadPointer(adapter)) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  if (ZekIsBadPointer(info)) return ZEK_STATUS_BAD_PTR;
  ZekAdapterHold hold(adapter, "zek_qp_query: Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  MifhQpObject* qp = ZekQpOfHandle(hold.get(), handle);
  if (qp == nullptr) return IWARP_STATUS_QP_INVALID_HANDLE;
  const ZekQpVerbs* v = ZekQpOf(qp);
  info->SendCq = v->SendCq->CqId;
  info->RecvCq = v->RecvCq->CqId;
  info->Pd = reinterpret_cast<std::uint64_t>(v->Pd);
  info->SqSize = qp->SqRing.Size - ZEK_VERBS_WQ_RESERVED;
  info->RqSize = qp->RqRing.Size - ZEK_VERBS_WQ_RESERVED;
  info->Flags = v->CreateFlags;
  info->Feature48 = (v->FeatureBits >> 1) & 1;
  info->Feature52 = v->FeatureBits & 1;
  info->SqSges = info->RqSges = info->RdmaWSges = ZEK_VERBS_MAX_SGES;
  info->Ord = v->Ord;
  info->Ird = v->Ird;
  info->Zero72 = 0;
  info->Zero80 = info->Zero84 = 0;
  info->State = v->State;
  if (v->State == ZEK_QP_STATE_TERMINATE || v->State == ZEK_QP_STATE_ERROR) {
    info->Feature92 = (v->FeatureBits >> 2) & 1;
    std::memcpy(info->Terminate, v->Terminate, sizeof info->Terminate);
  }
  if (v->State != ZEK_QP_STATE_IDLE) info->Socket = v->Socket;
  return ZEK_STATUS_PASS;
}

ZekStatus zek_qp_rq_flush(void* adapter, std::uint64_t handle, void*, void*) {
  if (handle >= ZEK_VERBS_QP_TABLE_SIZE) return IWARP_STATUS_QP_INVALID_HANDLE;
  ZekAdapterHold hold(adapter, "zek_qp_rq_flush: Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  MifhQpObject* qp = ZekQpOfHandle(hold.get(), handle);
  if (qp == nullptr) return IWARP_STATUS_QP_INVALID_HANDLE;
  ZekCompContext* wait = nullptr;
  if (ZpxInitializeCompEventContext(&wait, hold.get()) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  if (mifh_iwarp_qp_flush_wqes(qp, false, true, &wait->Hw) != ZEK_STATUS_PASS) {
    ZpxDestroyCompEventContext(wait, hold.get(), 0);
    return ZEK_STATUS_FAIL;
  }
  if (ZekWaitCompContext(hold.get(), wait, "zek_qp_rq_flush") != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  // The adapter completes none of the flushed requests: they come back as
  // flushed completions from the receive CQ's error ring.
  return InsertInErrorQPList(ZekQpOf(qp)->RecvCq, qp, 0, 0);
}

ZekStatus zek_is_qp_rq_empty(void* adapter, std::uint64_t handle, std::uint8_t* empty) {
  if (handle >= ZEK_VERBS_QP_TABLE_SIZE) return IWARP_STATUS_QP_INVALID_HANDLE;
  if (ZekIsBadPointer(empty)) {
    ZEK_LOG_FAILURE("zek_is_qp_rq_empty(): mifh_iwarp_is_qp_rq_empty() pbEmpty is NULL\n");
    return ZEK_STATUS_BAD_PTR;
  }
  ZekAdapterHold hold(adapter, "zek_is_qp_rq_empty: Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  MifhQpObject* qp = ZekQpOfHandle(hold.get(), handle);
  if (qp == nullptr) return IWARP_STATUS_QP_INVALID_HANDLE;
  const ZEK_OSPRIM_RING& r = qp->RqRing;
  *empty = r.Size != 0 && (r.Size + r.Head - r.Tail) % r.Size == 0 ? 1 : 0;
  return ZEK_STATUS_PASS;
}
