// TOE queue pairs: context, control requests, posting and completions.
#include "proxy/rdma/hw/toe_post.h"

#include <atomic>
#include <cstring>

#include "include/hw/cqp.h"
#include "include/hw/nic.h"
#include "include/hw/wqe.h"
#include "proxy/rdma/hw/control_qp.h"
#include "proxy/rdma/hw/doorbell.h"
#include "proxy/rdma/hw/ring.h"
#include "proxy/rdma/hw/status.h"

namespace {

bool toe_qp_ok(const MifhQpObject* qp) {
  return !ZekIsBadPointer(qp) && !ZekIsBadPointer(qp->Device) && qp->Sq != nullptr && qp->Rq != nullptr &&
         qp->SqRing.Size != 0 && qp->RqRing.Size != 0;
}

// The words a receive shares with a send: byte count, QP, context, buffers.
struct Fill {
  std::uint32_t byte_count;
  std::uint64_t qp;
  std::uint64_t context;
  zekhw::MifhToeBuffer buffer[zekhw::kToeMaxBuffers];
};

// Posts `buffers` four to a work request: checks the room first, then for
// each group writes the request at the head, moves it and rings the
// doorbell for one.
template <class Writer>
ZekStatus post(MifhQpObject* qp, bool send, const MifhToeBufferEntry* buffers, std::uint32_t count, std::uint32_t total,
               std::uint64_t context, const char* who, Writer write) {
  if (!toe_qp_ok(qp) || (count != 0 && buffers == nullptr)) return MIFH_STATUS_FAIL;
  std::uint64_t sum = 0;
  for (std::uint32_t i = 0; i < count; ++i) sum += buffers[i].Length;
  if (sum != total) {
    ZEK_LOG_FAILURE("%s: buffer lengths (0x%llx) do not add up to the total (0x%x)\n", who,
                    static_cast<unsigned long long>(sum), total);
    return MIFH_STATUS_INVALID_COUNT;
  }
  ZEK_OSPRIM_RING& ring = send ? qp->SqRing : qp->RqRing;
  // A send of no buffers is one request of no bytes: the end of the stream.
  const std::uint32_t required = send && count == 0 ? 1 : mifh_toe_wqes_for(count);
  const std::uint32_t available = ZekRingFree(&ring);
  if (available < required) {
    ZEK_LOG_FAILURE("%s: not enough WQEs available. Available WQE (0x%x)  Required WQE (0x%x)\n", who, available,
                    required);
    return MIFH_STATUS_NO_WQE;
  }
  auto* slots = static_cast<std::uint8_t*>(send ? qp->Sq : qp->Rq);
  for (std::uint32_t first = 0, posted = 0; posted < required; first += zekhw::kToeMaxBuffers, ++posted) {
    const std::uint32_t n = count - first < zekhw::kToeMaxBuffers ? count - first : zekhw::kToeMaxBuffers;
    Fill f{};
    f.qp = reinterpret_cast<std::uint64_t>(qp);
    f.context = context;
    for (std::uint32_t i = 0; i < n; ++i) {
      f.buffer[i] = {buffers[first + i].Address, buffers[first + i].Length, 0};
      f.byte_count += buffers[first + i].Length;
    }
    if (required == 1) f.byte_count = total;
    write(slots + std::size_t{ring.Head} * sizeof(zekhw::MifhToeSendWqe), f);
    OSPRIM_RING_MOVE_HEAD(&ring);  // cannot fail: the room was checked and only this poster moves the head
    if (send) {
      mifh_toe_qp_post_sq(qp);
    } else {
      mifh_write_wqe_doorbell(qp->Device, nullptr, qp->QpId, 1, false);
    }
  }
  return MIFH_STATUS_SUCCESS;
}

}  // namespace

ZekStatus mifh_toe_send(MifhQpObject* qp, const MifhToeSendRequest* request, std::uint64_t context) {
  if (ZekIsBadPointer(request)) return MIFH_STATUS_FAIL;
  const std::uint32_t flags = (request->Flags[0] & 1u) << 21 | std::uint32_t{request->Flags[1]} << 22 |
                              (request->Flags[2] & 1u) << 30 | (request->Flags[3] & 1u) << 31;
  return post(qp, true, request->Buffers, request->BufferCount, request->TotalLength, context, "mifh_toe_send",
              [flags](std::uint8_t* slot, const Fill& f) {
                zekhw::MifhToeSendWqe w{};
                w.flags = flags;
                w.byte_count = f.byte_count;
                w.qp = f.qp;
                w.context = f.context;
                std::memcpy(w.buffer, f.buffer, sizeof w.buffer);
                std::memcpy(slot, &w, sizeof w);
              });
}

ZekStatus mifh_toe_recv(MifhQpObject* qp, const MifhToeBufferEntry* buffers, std::uint64_t context,
                        std::uint32_t buffer_count, std::uint32_t total_length) {
  return post(qp, false, buffers, buffer_count, total_length, context, "mifh_toe_recv",
              [](std::uint8_t* slot, const Fill& f) {
                zekhw::MifhToeRecvWqe w{};
                w.byte_count = f.byte_count;
                w.qp = f.qp;
                w.context = f.context;
                std::memcpy(w.buffer, f.buffer, sizeof w.buffer);
                std::memcpy(slot, &w, sizeof w);
              });
}

ZekStatus mifh_toe_qp_post_sq(MifhQpObject* qp) {
  if (ZekIsBadPointer(qp) || ZekIsBadPointer(qp->Device)) return MIFH_STATUS_FAIL;
  mifh_write_wqe_doorbell(qp->Device, nullptr, qp->QpId, 1, true);
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_toe_qp_setcontext(MifhQpObject* qp, ZekToeStateBlock* state, std::uint16_t cq_id,
                                 std::uint8_t local_address_index) {
  if (ZekIsBadPointer(qp) || ZekIsBadPointer(state)) return MIFH_STATUS_FAIL;
  MifhIwarpContextAttributes a{};
  a.Offload = 1;
  a.CqIdsValid = 1;
  a.SqCqId = cq_id;
  a.RqCqId = cq_id;
  a.Byte22 = local_address_index;
  a.TcpState = reinterpret_cast<std::uint8_t*>(state);
  return mifh_iwarp_qp_setcontext(qp, &a);
}

ZekStatus mifh_toe_qp_create(MifhQpObject* qp, std::uint32_t qp_id, MifhCqpCompletionContext* context) {
  if (ZekIsBadPointer(qp) || ZekIsBadPointer(qp->Device) || ZekIsBadPointer(qp->Device->Cqp)) return MIFH_STATUS_FAIL;
  if (qp_id < zekhw::kIwarpQpFirst || qp_id > zekhw::kIwarpQpLast) {
    ZEK_LOG_FAILURE("mifh_toe_qp_create: invalid toe qp id (0x%x)\n", qp_id);
    return MIFH_STATUS_INVALID_ID;
  }
  qp->QpId = qp_id;
  qp->Signature = MIFH_QP_SIGNATURE;
  qp->HwState = MIFH_QP_BEING_CREATED;
  zekhw::MifhCqpWqe wqe{};
  wqe.op_word = zekhw::kOpWordCreateToeQp;
  wqe.object_word = qp_id;
  wqe.completion_context = reinterpret_cast<std::uint64_t>(context);
  wqe.physical_address = qp->HostContextPa;
  return mifh_cqp_post(qp->Device->Cqp, &wqe, MifhPostMode::Queueing, "mifh_toe_qp_create");
}

ZekStatus mifh_toe_qp_destroy(MifhQpObject* qp, MifhCqpCompletionContext* context) {
  if (ZekIsBadPointer(qp) || ZekIsBadPointer(qp->Device) || ZekIsBadPointer(qp->Device->Cqp)) return MIFH_STATUS_FAIL;
  zekhw::MifhCqpWqe wqe{};
  wqe.op_word = zekhw::kOpWordDestroyToeQp;
  wqe.object_word = qp->QpId;
  wqe.completion_context = reinterpret_cast<std::uint64_t>(context);
  wqe.physical_address = qp->HostContextPa;
  const ZekStatus status = mifh_cqp_post(qp->Device->Cqp, &wqe, MifhPostMode::Queueing, "mifh_toe_qp_destroy");
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("mifh_toe_qp_destroy: mifh_cqp_post_sq() returned error (0x%x)\n", status);
  }
  return status;
}

ZekStatus mifh_toe_cq_poll(MifhCqObject* cq, MifhQpObject* qp, zekhw::MifhToeCqe* out) {
  if (ZekIsBadPointer(cq) || cq->Ring == nullptr || ZekIsBadPointer(qp) || ZekIsBadPointer(out)) {
    return MIFH_STATUS_CQ_ERROR;
  }
  for (;;) {
    auto* e = &static_cast<zekhw::MifhToeCqe*>(cq->Ring)[cq->RingIndex.Tail];
    std::atomic_ref<std::uint32_t> flags(e->flags);
    if ((flags.load(std::memory_order_acquire) & zekhw::kCqeValid) == 0) return IWARP_STATUS_CQ_EMPTY;
    const zekhw::MifhToeCqe cqe = *e;
    flags.store(0, std::memory_order_release);
    OSPRIM_RING_MOVE_TAIL(&cq->RingIndex);
    mifh_give_back_cqes(cq, 1, 0);
    if (OSPRIM_RING_MOVE_HEAD(&cq->RingIndex) != 0) {
      ZEK_LOG_FAILURE("mifh_toe_cq_poll: OSPRIM_RING_MOVE_HEAD u32RetCode (%x)\n", 0xFFFFFFFFu);
      return MIFH_STATUS_CQ_ERROR;
    }
    if (cqe.qp != reinterpret_cast<std::uint64_t>(qp)) {
      ZEK_LOG_FAILURE("mifh_toe_cq_poll: CQE names another QP (0x%llx)\n", static_cast<unsigned long long>(cqe.qp));
      continue;
    }
    ZEK_OSPRIM_RING& ring = (cqe.flags & zekhw::kCqeSendQueue) != 0 ? qp->SqRing : qp->RqRing;
    if (ZekRingIsEmpty(&ring)) {
      ZEK_LOG_FAILURE("mifh_toe_cq_poll: CQE for a queue with nothing in flight\n");
      continue;
    }
    OSPRIM_RING_MOVE_TAIL(&ring);
    *out = cqe;
    return MIFH_STATUS_SUCCESS;
  }
}
