// Work requests: the builders, their doorbells, the register-MR request and
// the rings of an iWARP queue pair.
#include "proxy/rdma/hw/work_requests.h"

#include <atomic>
#include <bit>
#include <cstring>

#include "include/hw/cqp.h"
#include "include/hw/nic.h"
#include "include/hw/stag.h"
#include "proxy/rdma/hw/control_qp.h"
#include "proxy/rdma/hw/doorbell.h"
#include "proxy/rdma/hw/pool_ops.h"
#include "proxy/rdma/hw/ring.h"
#include "proxy/rdma/hw/status.h"

namespace {

using zekhw::MifhWqe;

bool valid_ring(std::uint32_t size) { return size == 4 || size == 32 || size == 128 || size == 512; }

// The send queue keeps two slots free (the adapter's look-ahead needs one more).
bool send_full(const ZEK_OSPRIM_RING& r) { return r.Size == 0 || ZekRingUsed(&r) + 2 >= r.Size; }

struct SqLock {
  explicit SqLock(MifhQpObject* qp) : lock(&qp->SqLock) { OSPrimSyncAcquireSpinlockObject(lock); }
  ~SqLock() { OSPrimSyncReleaseSpinlockObject(lock); }
  OSPrimSpinlockObject* lock;
};

std::uint64_t tag_of(const MifhQpObject* qp, std::uint32_t index) {
  return zekhw::wqe_tag(reinterpret_cast<std::uint64_t>(qp), index);
}

}  // namespace

std::uint32_t mifh_iwarp_ring_size_for(std::uint32_t requested) {
  for (std::uint32_t size : zekhw::kQpRingSizes) {
    if (size - 2 >= requested) return size;
  }
  return 0;
}

ZekStatus mifh_iwarp_qp_init(MifhQpObject* qp, void* sq, void* rq, std::uint64_t sq_pa, std::uint64_t rq_pa,
                             std::uint32_t sq_size, std::uint32_t rq_size, std::uint32_t efb_count) {
  if (ZekIsBadPointer(qp)) return MIFH_STATUS_FAIL;
  if (!valid_ring(sq_size)) {
    ZEK_LOG_FAILURE("mifh_iwarp_qp_init: invalid nic sq wqe size (0x%x)\n", sq_size);
    return MIFH_STATUS_INVALID_WQE_COUNT;
  }
  if (!valid_ring(rq_size)) {
    ZEK_LOG_FAILURE("mifh_iwarp_qp_init: invalid nic rq wqe size (0x%x)\n", rq_size);
    return MIFH_STATUS_INVALID_WQE_COUNT;
  }
  if (efb_count != 0) {
    ZEK_LOG_FAILURE("mifh_iwarp_qp_init: invalid efb count (0x%x)\n", efb_count);
    return MIFH_STATUS_EFB;
  }
  qp->Sq = sq;
  qp->Rq = rq;
  qp->SqPa = sq_pa;
  qp->RqPa = rq_pa;
  qp->SqWqeCount = sq_size;
  qp->RqWqeCount = rq_size;
  qp->Signature = MIFH_QP_SIGNATURE;
  qp->HwState = MIFH_QP_BEING_CREATED;
  qp->QueueKind = MIFH_QP_TYPE_IWARP;
  qp->ReadBytes = 0;
  qp->ErrorFlags = 0;
  qp->TerminateSeen = 0;
  OSPrimSyncInitSpinlockObject(&qp->QpLock);
  OSPrimSyncInitSpinlockObject(&qp->SqLock);
  OSPrimSyncInitSpinlockObject(&qp->RqLock);
  for (auto& l : qp->Locks) OSPrimSyncInitSpinlockObject(&l);
  // Slot 0 holds what creation writes there; the adapter starts at 1.
  qp->SqRing = {1, 1, sq_size};
  qp->RqRing = {0, 0, rq_size};
  return MIFH_STATUS_SUCCESS;
}

zekhw::MifhWqe* mifh_iwarp_qp_get_next_send_wqe(MifhQpObject* qp, std::uint32_t* index) {
  if (send_full(qp->SqRing)) return nullptr;
  const std::uint32_t head = qp->SqRing.Head;
  const std::uint32_t moved = OSPRIM_RING_MOVE_HEAD(&qp->SqRing);
  if (moved != 0) {
    ZEK_LOG_FAILURE("mifh_iwarp_qp_get_next_send_wqe: OSPRIM_RING_MOVE_HEAD u32RetCode (%x)\n", moved);
    return nullptr;
  }
  *index = head;
  return &static_cast<MifhWqe*>(qp->Sq)[head];
}

namespace {

MifhWqe* take_slot(MifhQpObject* qp, const char* caller, std::uint32_t* index) {
  MifhWqe* w = mifh_iwarp_qp_get_next_send_wqe(qp, index);
  if (w == nullptr) {
    ZEK_LOG_FAILURE("%s: mifh_iwarp_qp_get_next_send_wqe() returned NULL\n", caller);
    return nullptr;
  }
  std::memset(w, 0, sizeof *w);
  return w;
}

}  // namespace

ZekStatus mifh_iwarp_rdma_read(MifhQpObject* qp, const MifhWorkRequest* wr, std::uint32_t local_invalidate_stag) {
  if (ZekIsBadPointer(qp) || ZekIsBadPointer(wr)) return MIFH_STATUS_FAIL;
  if (wr->Length > zekhw::kMaxMessageBytes) {
    ZEK_LOG_FAILURE("mifh_iwarp_rdma_read: Max message size  (0x%x) is more than supported (0x%x)\n", wr->Length,
                    zekhw::kMaxMessageBytes);
    return IWARP_STATUS_QP_INVALID_MESSAGE_SIZE;
  }
  SqLock lock(qp);
  std::uint32_t index;
  MifhWqe* w = take_slot(qp, "mifh_iwarp_rdma_read", &index);
  if (w == nullptr) return IWARP_STATUS_QP_TOOMANY_WRS_POSTED;
  // The read fence: once the running read bytes reach 0x7FE00000 the count
  // restarts with this read, and this read is fenced.
  bool fence = false;
  qp->ReadBytes += wr->Length;
  if (qp->ReadBytes >= zekhw::kReadFenceBytes) {
    qp->ReadBytes = wr->Length;
    fence = true;
  }
  const bool signalled = qp->SignallingWord == 0 || wr->FlagA != 0;
  w->total_length = zekhw::kWqeReadLength;
  w->tag = tag_of(qp, index);
  w->wr_id = wr->WrId;
  w->invalidate_stag = local_invalidate_stag;
  w->remote_va = wr->RemoteVa;
  w->length = wr->Length;
  w->remote_stag = wr->RemoteStag;
  if (wr->SgeCount > 0) {
    w->sge[0].address = wr->Sge[0].address;
    w->sge[0].stag = wr->Sge[0].stag;
  }
  std::atomic_ref<std::uint32_t>(w->op_word).store(zekhw::rdma_read_op(fence, signalled), std::memory_order_release);
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_iwarp_send(MifhQpObject* qp, const MifhWorkRequest* wr, std::uint32_t invalidate_stag, std::uint8_t op) {
  if (ZekIsBadPointer(qp) || ZekIsBadPointer(wr)) return MIFH_STATUS_FAIL;
  if (wr->SgeCount > zekhw::kMaxSges) {
    ZEK_LOG_FAILURE("mifh_iwarp_send: fragcount (%d) is more than supported (%d)\n", wr->SgeCount, zekhw::kMaxSges);
    return IWARP_STATUS_TOO_MANY_SGES;
  }
  std::uint64_t total = 0;
  for (std::uint32_t i = 0; i < wr->SgeCount; ++i) total += wr->Sge[i].length;
  if (total > zekhw::kMaxMessageBytes) {
    ZEK_LOG_FAILURE("mifh_iwarp_send: Max message size  (0x%x) is more than supported (0x%x)\n",
                    static_cast<std::uint32_t>(total), zekhw::kMaxMessageBytes);
    return IWARP_STATUS_QP_INVALID_MESSAGE_SIZE;
  }
  SqLock lock(qp);
  std::uint32_t index;
  MifhWqe* w = take_slot(qp, "mifh_iwarp_send", &index);
  if (w == nullptr) return IWARP_STATUS_QP_TOOMANY_WRS_POSTED;
  w->total_length = static_cast<std::uint32_t>(total);
  w->tag = tag_of(qp, index);
  w->wr_id = wr->WrId;
  w->invalidate_stag = invalidate_stag;
  for (std::uint32_t i = 0; i < wr->SgeCount; ++i) w->sge[i] = wr->Sge[i];
  std::atomic_ref<std::uint32_t>(w->op_word)
      .store(zekhw::send_op(op, wr->FlagB != 0, wr->FlagA != 0), std::memory_order_release);
  return MIFH_STATUS_SUCCESS;
}

namespace {

ZekStatus inline_request(MifhQpObject* qp, const MifhWorkRequest* wr, bool write, const char* caller) {
  if (ZekIsBadPointer(qp) || ZekIsBadPointer(wr)) return MIFH_STATUS_FAIL;
  if (wr->InlineLength > zekhw::kMaxInlineBytes) {
    ZEK_LOG_FAILURE(write ? "mifh_iwarp_rdma_write: Max message size  (0x%x) is more than supported (0x%x)\n"
                          : "mifh_iwarp_imm_send: Max message size  (0x%x) is more than supported (0x%x)\n",
                    wr->InlineLength, zekhw::kMaxInlineBytes);
    return IWARP_STATUS_QP_INVALID_MESSAGE_SIZE;
  }
  if (wr->InlineLength > 0 && ZekIsBadPointer(wr->InlineData)) return MIFH_STATUS_FAIL;
  SqLock lock(qp);
  std::uint32_t index;
  MifhWqe* w = take_slot(qp, caller, &index);
  if (w == nullptr) return IWARP_STATUS_QP_TOOMANY_WRS_POSTED;
  w->total_length = wr->InlineLength;
  w->tag = tag_of(qp, index);
  w->wr_id = wr->WrId;
  if (write) {
    w->remote_va = wr->RemoteVa;
    w->length = wr->InlineLength;
    w->remote_stag = wr->RemoteStag;
  }
  if (wr->InlineLength > 0) {
    std::memcpy(reinterpret_cast<std::uint8_t*>(w) + zekhw::kWqeInlineOffset, wr->InlineData, wr->InlineLength);
  }
  const std::uint32_t op = write ? zekhw::rdma_write_inline_op(wr->FlagB != 0, wr->FlagA != 0)
                                 : zekhw::send_inline_op(wr->FlagB != 0, wr->FlagA != 0);
  std::atomic_ref<std::uint32_t>(w->op_word).store(op, std::memory_order_release);
  return MIFH_STATUS_SUCCESS;
}

}  // namespace

ZekStatus mifh_iwarp_imm_rdma_write(MifhQpObject* qp, const MifhWorkRequest* wr) {
  return inline_request(qp, wr, true, "mifh_iwarp_rdma_write");
}
ZekStatus mifh_iwarp_imm_send(MifhQpObject* qp, const MifhWorkRequest* wr) {
  return inline_request(qp, wr, false, "mifh_iwarp_imm_send");
}

ZekStatus mifh_iwarp_mr_fast_register(MifhQpObject* qp, const MifhFastRegisterRequest* mr, const MifhWorkRequest* wr,
                                      std::uint32_t access) {
  if (ZekIsBadPointer(qp) || ZekIsBadPointer(mr) || ZekIsBadPointer(wr)) return MIFH_STATUS_FAIL;
  SqLock lock(qp);
  std::uint32_t index;
  auto* w = reinterpret_cast<zekhw::MifhFastRegWqe*>(take_slot(qp, "mifh_iwarp_mr_fast_register", &index));
  if (w == nullptr) return MIFH_STATUS_NO_WQE;
  w->tag = tag_of(qp, index);
  w->wr_id = wr->WrId;
  w->stag = mr->Stag;
  w->total_length = mr->Length;
  w->va_or_fbo = mr->VaOrFbo;
  w->pbl_pa = mr->PblPa;
  w->pbl_bytes = mr->PblBytes;
  OSPrimMemoryLogging("Fast Register  Wqe\n");
  std::atomic_ref<std::uint32_t>(w->op_word)
      .store(zekhw::fast_register_op(mr->ZeroBased == 0, mr->PageSize != 4096, access & 0xFFFF, wr->FlagA != 0),
             std::memory_order_release);
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_iwarp_post_receive(MifhQpObject* qp, const MifhWorkRequest* wr) {
  if (ZekIsBadPointer(qp) || ZekIsBadPointer(wr)) return MIFH_STATUS_FAIL;
  // Elements from offset 32: more than four are refused, never written past the request.
  if (wr->SgeCount > zekhw::kMaxSges) {
    ZEK_LOG_FAILURE("mifh_iwarp_post_receive: fragcount (%d) is more than supported (%d)\n", wr->SgeCount,
                    zekhw::kMaxSges);
    return IWARP_STATUS_TOO_MANY_SGES;
  }
  std::uint64_t total = 0;
  for (std::uint32_t i = 0; i < wr->SgeCount; ++i) total += wr->Sge[i].length;
  if (total > zekhw::kMaxMessageBytes) {
    ZEK_LOG_FAILURE("mifh_iwarp_post_receive: Max message size  (0x%x) is more than supported (0x%x)\n",
                    static_cast<std::uint32_t>(total), zekhw::kMaxMessageBytes);
    return IWARP_STATUS_QP_INVALID_MESSAGE_SIZE;
  }
  OSPrimSyncAcquireSpinlockObject(&qp->RqLock);
  if (ZekRingIsFull(&qp->RqRing)) {
    OSPrimSyncReleaseSpinlockObject(&qp->RqLock);
    ZEK_LOG_FAILURE("mifh_iwarp_qp_get_next_recv_wqe: QP RQ is full\n");
    ZEK_LOG_FAILURE("mifh_iwarp_post_receive: mifh_iwarp_qp_get_next_recv_wqe returned NULL\n");
    return IWARP_STATUS_QP_TOOMANY_WRS_POSTED;
  }
  const std::uint32_t index = qp->RqRing.Head;
  auto* w = &static_cast<zekhw::MifhRqWqe*>(qp->Rq)[index];
  std::memset(w, 0, sizeof *w);
  w->total_length = static_cast<std::uint32_t>(total);
  w->tag = tag_of(qp, index);
  w->wr_id = wr->WrId;
  for (std::uint32_t i = 0; i < wr->SgeCount; ++i) w->sge[i] = wr->Sge[i];
  OSPRIM_RING_MOVE_HEAD(&qp->RqRing);
  OSPrimSyncReleaseSpinlockObject(&qp->RqLock);
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_iwarp_sq_doorbell(MifhQpObject* qp, std::uint32_t count) {
  if (ZekIsBadPointer(qp)) return MIFH_STATUS_FAIL;
  mifh_write_wqe_doorbell(qp->Device, qp->Doorbell, qp->QpId, count, true);
  return MIFH_STATUS_SUCCESS;
}
ZekStatus mifh_iwarp_rq_doorbell(MifhQpObject* qp, std::uint32_t count) {
  if (ZekIsBadPointer(qp)) return MIFH_STATUS_FAIL;
  mifh_write_wqe_doorbell(qp->Device, qp->Doorbell, qp->QpId, count, false);
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_mr_register_non_shared(MifhDeviceObj* device, const MifhMrDescription* mr,
                                      MifhCqpCompletionContext* context, std::uint32_t pd_id) {
  if (ZekIsBadPointer(device) || ZekIsBadPointer(mr) || ZekIsBadPointer(device->Cqp)) return MIFH_STATUS_FAIL;
  zekhw::MifhCqpRegisterMrWqe request{};
  request.op_word = zekhw::kOpRegisterNonSharedMr | 0x2000u | std::uint32_t{mr->ZeroBased == 0} << 9 |
                    std::uint32_t{mr->PblChunkSize == 4096} << 11 | std::uint32_t{mr->PageSize != 4096} << 14 |
                    std::uint32_t{mr->Access} << 16 | std::uint32_t{(mr->Access & 0xF) != 0} << 21;
  request.pbl_chunk_count = mr->PblChunkCount;
  request.completion_context = reinterpret_cast<std::uint64_t>(context);
  request.pd_id = pd_id & 0xFFFF;
  request.total_length = mr->Length;
  request.stag = mr->StagIndex << 8 | mr->Key;
  request.va_or_fbo = mr->ZeroBased != 0 ? mr->FirstByteOffset : mr->Va;
  request.pbl_pa = mr->PblPa;
  request.pbl_bytes = mr->PblBytes;
  const auto wqe = std::bit_cast<zekhw::MifhCqpWqe>(request);
  OSPrimMemoryLogging("Register Non Shared MR Stag  Wqe\n");
  return mifh_cqp_post(device->Cqp, &wqe, MifhPostMode::Queueing, "mifh_mr_register_non_shared");
}

ZekStatus mifh_modify_queue_params(MifhQpObject* qp, const MifhQueueParams* request, MifhQueueParams* result,
                                   bool change_ord, bool change_ird, bool change_sq, bool change_rq) {
  if (ZekIsBadPointer(qp) || ZekIsBadPointer(request) || ZekIsBadPointer(result) || ZekIsBadPointer(qp->Device)) {
    return MIFH_STATUS_FAIL;
  }
  MifhDeviceObj* d = qp->Device;
  *result = *request;
  if (change_ord && request->Ord > d->MaxOrd) {
    ZEK_LOG_FAILURE("mifh_modfiy_queue_params(): ORD (0x%x) is greater than supported (0x%x)\n", request->Ord,
                    d->MaxOrd);
    return IWARP_STATUS_ORD_TOO_BIG;
  }
  if (change_ird) {
    if (request->Ird > d->MaxIrd) {
      ZEK_LOG_FAILURE("mifh_modfiy_queue_params(): IRD (0x%x) is greater than supported (0x%x)\n", request->Ird,
                      d->MaxIrd);
      return IWARP_STATUS_IRD_TOO_BIG;
    }
    result->Ird = request->Ird <= 2 ? 2 : request->Ird <= 8 ? 8 : request->Ird <= 32 ? 32 : 64;
  }
  struct Side {
    bool change;
    std::uint32_t asked, max;
    std::uint32_t* out;
    ZEK_OSPRIM_RING* ring;
    void** memory;
    std::uint64_t* pa;
    std::uint32_t* count;
    std::uint32_t remap;
    bool send;
  } sides[2] = {
      {change_sq, request->SqSize, d->MaxSqWr, &result->SqSize, &qp->SqRing, &qp->Sq, &qp->SqPa, &qp->SqWqeCount,
       MIFH_QP_REMAP_SQ, true},
      {change_rq, request->RqSize, d->MaxRqWr, &result->RqSize, &qp->RqRing, &qp->Rq, &qp->RqPa, &qp->RqWqeCount,
       MIFH_QP_REMAP_RQ, false},
  };
  for (Side& s : sides) {
    if (!s.change) continue;
    if (s.asked >= s.max) {
      ZEK_LOG_FAILURE(s.send
                          ? "mifh_modfiy_queue_params(): send queue elements (0x%x) is greater than supported (0x%x)\n"
                          : "mifh_modfiy_queue_params(): recv queue elements (0x%x) is greater than supported (0x%x)\n",
                      s.asked, s.max);
      return IWARP_STATUS_QUEUE_TOO_BIG;
    }
    // Never less than asked: the smallest ring whose usable part holds the request.
    const std::uint32_t size = mifh_iwarp_ring_size_for(s.asked);
    if (size == 0) return IWARP_STATUS_QUEUE_TOO_BIG;
    *s.out = size;
    if (size == *s.count) continue;
    if ((qp->QpFlags & MIFH_QPF_OWN_RINGS) != 0) {
      // Its rings are pages of their own, mapped into its process for its
      // life: never swapped for the pools' (nor freed into them).
      ZEK_LOG_FAILURE(s.send ? "mifh_verify_qp_modify_params(): a user queue pair's SQ is not resized\n"
                             : "mifh_verify_qp_modify_params(): a user queue pair's RQ is not resized\n");
      return MIFH_STATUS_FAIL;
    }
    if (!ZekRingIsEmpty(s.ring)) {
      ZEK_LOG_FAILURE(qp->UserQp != 0
                          ? (s.send ? "mifh_verify_qp_modify_params(): SQ usermode  is not empty, return error\n"
                                    : "mifh_verify_qp_modify_params(): RQ usermode  is not empty, return error\n")
                          : (s.send ? "mifh_verify_qp_modify_params(): SQ  ioctl path is not empty, return error\n"
                                    : "mifh_verify_qp_modify_params(): RQ  ioctl path is not empty, return error\n"));
      return MIFH_STATUS_FAIL;
    }
    void* fresh = s.send ? mifh_allocate_iwarp_sq(size) : mifh_allocate_iwarp_rq(size);
    if (fresh == nullptr) {
      ZEK_LOG_FAILURE(s.send ? "mifh_iwarp_qp_modify_sq: Couldn't allocate buf for QP SQ\n"
                             : "mifh_iwarp_qp_modify_rq: Couldn't allocate buf for QP RQ\n");
      return MIFH_STATUS_FAIL;
    }
    if (s.send) {
      mifh_free_iwarp_sq(*s.memory, *s.count);
    } else {
      mifh_free_iwarp_rq(*s.memory, *s.count);
    }
    std::memset(fresh, 0, std::size_t{size} * sizeof(zekhw::MifhWqe));
    *s.memory = fresh;
    std::uint32_t low = 0, high = 0;
    OSPrimGetPaFromVa(fresh, &low, &high);
    *s.pa = std::uint64_t{high} << 32 | low;
    *s.count = size;
    // A resized ring starts at 0; the adapter restarts there when the modify
    // shows it the new ring.
    *s.ring = {0, 0, size};
    if (qp->UserQp != 0) qp->UserFlags |= s.remap;
  }
  return MIFH_STATUS_SUCCESS;
}

// ---- The send-queue builders of the posting verbs --------------------------------------------------------
ZekStatus mifh_iwarp_rdma_write(MifhQpObject* qp, const MifhWorkRequest* wr) {
  if (ZekIsBadPointer(qp) || ZekIsBadPointer(wr)) return MIFH_STATUS_FAIL;
  if (wr->SgeCount > zekhw::kMaxSges) {
    ZEK_LOG_FAILURE("mifh_iwarp_rdma_write: SGE Count (%d) is more than supported (%d)\n", wr->SgeCount,
                    zekhw::kMaxSges);
    return IWARP_STATUS_TOO_MANY_SGES;
  }
  std::uint64_t total = 0;
  for (std::uint32_t i = 0; i < wr->SgeCount; ++i) total += wr->Sge[i].length;
  if (total > zekhw::kMaxMessageBytes) {
    ZEK_LOG_FAILURE("mifh_iwarp_rdma_write: Max message size  (0x%x) is more than supported (0x%x)\n",
                    static_cast<std::uint32_t>(total), zekhw::kMaxMessageBytes);
    return IWARP_STATUS_QP_INVALID_MESSAGE_SIZE;
  }
  SqLock lock(qp);
  std::uint32_t index;
  MifhWqe* w = take_slot(qp, "mifh_iwarp_rdma_write", &index);
  if (w == nullptr) return IWARP_STATUS_QP_TOOMANY_WRS_POSTED;
  w->total_length = static_cast<std::uint32_t>(total);
  w->tag = tag_of(qp, index);
  w->wr_id = wr->WrId;
  w->remote_va = wr->RemoteVa;
  w->length = static_cast<std::uint32_t>(total);
  w->remote_stag = wr->RemoteStag;
  for (std::uint32_t i = 0; i < wr->SgeCount; ++i) w->sge[i] = wr->Sge[i];
  const std::uint32_t op = (std::uint32_t{wr->FlagA != 0} << 2 | (wr->FlagB & 3u)) << 29 | zekhw::kWqeRdmaWrite;
  std::atomic_ref<std::uint32_t>(w->op_word).store(op, std::memory_order_release);
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_iwarp_mw_bind(MifhQpObject* qp, const MifhBindRequest* bind) {
  if (ZekIsBadPointer(qp) || ZekIsBadPointer(bind)) return MIFH_STATUS_FAIL;
  SqLock lock(qp);
  std::uint32_t index;
  auto* w = reinterpret_cast<zekhw::MifhBindWqe*>(take_slot(qp, "mifh_iwarp_mw_bind", &index));
  if (w == nullptr) return IWARP_STATUS_QP_TOOMANY_WRS_POSTED;
  w->tag = tag_of(qp, index);
  w->wr_id = bind->WrId;
  w->region_stag = bind->RegionStag;
  w->window_stag = bind->WindowStag;
  w->length = bind->Length;
  w->va = bind->Va;
  w->access = (bind->RemoteRead != 0 ? zekhw::kAccessRemoteRead : 0u) |
              (bind->RemoteWrite != 0 ? zekhw::kAccessRemoteWrite : 0u);
  const std::uint32_t op = 0x40000000u | zekhw::kWqeBind | (bind->Mode & 0xFFFu) << 6 |
                           std::uint32_t{bind->RemoteRead != 0} << 18 | std::uint32_t{bind->RemoteWrite != 0} << 19 |
                           (bind->Signalled != 0 ? zekhw::kWqeSignalled : 0u);
  std::atomic_ref<std::uint32_t>(w->op_word).store(op, std::memory_order_release);
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_iwarp_stag_local_invalidate(MifhQpObject* qp, std::uint64_t wr_id, std::uint32_t stag, bool signalled) {
  if (ZekIsBadPointer(qp)) return MIFH_STATUS_FAIL;
  SqLock lock(qp);
  std::uint32_t index;
  MifhWqe* w = take_slot(qp, "mifh_iwarp_stag_local_invalidate", &index);
  if (w == nullptr) return IWARP_STATUS_QP_TOOMANY_WRS_POSTED;
  w->tag = tag_of(qp, index);
  w->wr_id = wr_id;
  std::memcpy(reinterpret_cast<std::uint8_t*>(w) + zekhw::kWqeLocalInvalidateStagOffset, &stag, 4);
  const std::uint32_t op = 0x40000000u | zekhw::kWqeLocalInvalidate | (signalled ? zekhw::kWqeSignalled : 0u);
  std::atomic_ref<std::uint32_t>(w->op_word).store(op, std::memory_order_release);
  return MIFH_STATUS_SUCCESS;
}

// ---- The STag control requests -----------------------------------------------------------------------------
namespace {

ZekStatus post_stag_request(MifhDeviceObj* device, std::uint32_t index, zekhw::MifhStagWqe& request,
                            MifhCqpCompletionContext* context, const char* caller, const char* trace) {
  if (ZekIsBadPointer(device) || ZekIsBadPointer(device->Cqp)) return MIFH_STATUS_FAIL;
  if (index > 0xFFFFFFu) {
    ZEK_LOG_FAILURE("%s: STag index (0x%x) is more than supported (0x%x)\n", caller, index, 0xFFFFFFu);
    return MIFH_STATUS_FAIL;
  }
  request.completion_context = reinterpret_cast<std::uint64_t>(context);
  const auto wqe = std::bit_cast<zekhw::MifhCqpWqe>(request);
  OSPrimMemoryLogging(trace);
  const ZekStatus status = mifh_cqp_post(device->Cqp, &wqe, MifhPostMode::Queueing, caller);
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("%s:mifh_cqp_post_sq returned error (0x%x)\n", caller, status);
  }
  return status;
}

}  // namespace

ZekStatus mifh_allocate_stag(MifhDeviceObj* device, const MifhAllocateStagRequest* r,
                             MifhCqpCompletionContext* context) {
  if (ZekIsBadPointer(r)) return MIFH_STATUS_FAIL;
  zekhw::MifhStagWqe w{};
  w.op_word = zekhw::kOpAllocateStag | zekhw::kStagRegion | std::uint32_t{r->ChunkSize == 4096} << 11 |
              std::uint32_t{r->Access} << 21;
  w.chunk_count = r->ChunkCount;
  w.pd = r->PdId;
  w.stag = r->StagIndex << 8;
  w.pbl_bytes = r->PageEntries * 8;
  return post_stag_request(device, r->StagIndex, w, context, "mifh_allocate_stag", "Allocate Stag  Wqe\n");
}

ZekStatus mifh_mr_register_shared(MifhDeviceObj* device, const MifhRegisterSharedRequest* r,
                                  MifhCqpCompletionContext* context) {
  if (ZekIsBadPointer(r)) return MIFH_STATUS_FAIL;
  const std::uint32_t rights = r->Access & zekhw::kAccessMask;
  zekhw::MifhStagWqe w{};
  w.op_word = zekhw::kOpRegisterSharedMr | std::uint32_t{r->ZeroBased == 0} << 9 |
              (rights | (rights != 0 ? 32u : 0u)) << zekhw::kStagAccessShift;
  w.pd = r->PdId;
  w.stag = r->StagIndex << 8 | r->Key;
  w.source_index = r->SourceIndex;
  w.va_or_fbo = r->ZeroBased != 0 ? (r->Address & 0xFFF) : r->Address;
  return post_stag_request(device, r->StagIndex, w, context, "mifh_mr_register_shared",
                           "Register Shared MR Stag  Wqe\n");
}

ZekStatus mifh_dealloc_stag(MifhDeviceObj* device, std::uint32_t stag_index, bool region, bool page_list,
                            MifhCqpCompletionContext* context) {
  zekhw::MifhStagWqe w{};
  w.op_word = zekhw::kOpDeallocateStag | std::uint32_t{page_list} << 10 | std::uint32_t{region} << 13;
  w.stag = stag_index << 8;
  return post_stag_request(device, stag_index, w, context, "mifh_dealloc_stag", "Dealloc Stag  Wqe\n");
}

ZekStatus mifh_mw_alloc(MifhDeviceObj* device, std::uint32_t stag_index, std::uint32_t pd_id,
                        MifhCqpCompletionContext* context) {
  zekhw::MifhStagWqe w{};
  w.op_word = zekhw::kOpAllocateStag;
  w.pd = pd_id;
  w.stag = stag_index << 8;
  return post_stag_request(device, stag_index, w, context, "mifh_mw_alloc", "MW Alloc  Wqe\n");
}
