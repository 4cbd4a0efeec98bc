// Completion queues: objects, rings, their control requests, and the
// reading of their entries.
#include "proxy/rdma/hw/cq.h"

#include <atomic>
#include <cstring>

#include "include/hw/cqp.h"
#include "include/hw/registers.h"
#include "include/hw/wqe.h"
#include "proxy/rdma/hw/control_qp.h"
#include "proxy/rdma/hw/doorbell.h"
#include "proxy/rdma/hw/pool_ops.h"
#include "proxy/rdma/hw/pools.h"
#include "proxy/rdma/hw/qp.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/hw/ring.h"
#include "proxy/rdma/hw/status.h"

namespace {

// The physical address the CQ requests carry: the page list of a virtually
// mapped CQ, else the ring, taken anew from its virtual address.
std::uint64_t ring_address(const MifhCqObject* cq) {
  const void* memory = cq->FlagV != 0 ? cq->PageList : cq->Ring;
  std::uint32_t low = 0;
  std::uint32_t high = 0;
  if (memory == nullptr || OSPrimGetPaFromVa(memory, &low, &high) != ZEK_STATUS_PASS) return cq->RingPa;
  return (std::uint64_t{high} << 32) | low;
}

zekhw::MifhCqpWqe cq_request(const MifhCqObject* cq, std::uint32_t op_word, std::uint64_t address,
                             MifhCqpCompletionContext* context) {
  zekhw::MifhCqpWqe wqe{};
  wqe.op_word = op_word;
  wqe.object_word = zekhw::cq_object_word(cq->CqId, cq->CeqId);
  wqe.completion_context = reinterpret_cast<std::uint64_t>(context);
  wqe.physical_address = address;
  wqe.operation_word = reinterpret_cast<std::uint64_t>(cq) >> 1;
  return wqe;
}

}  // namespace

ZekStatus mifh_nic_cq_allocate(MifhCqObject** cq, void** ring) {
  if (ZekIsBadPointer(cq) || ZekIsBadPointer(ring)) return MIFH_STATUS_FAIL;
  *cq = static_cast<MifhCqObject*>(mifh_allocate_cq_object());
  if (*cq == nullptr) {
    ZEK_LOG_FAILURE("mifh_nic_cq_allocate: Couldn't allocate buf for CQ Object\n");
    return MIFH_STATUS_NO_OBJECT;
  }
  *ring = mifh_pool_allocate(MIFH_POOL_NIC_CQ, MIFH_NIC_CQ_ENTRIES);
  if (*ring == nullptr) {
    ZEK_LOG_FAILURE("mifh_nic_cq_allocate: Couldn't allocate buf for %x CQElements\n", MIFH_NIC_CQ_ENTRIES);
    mifh_free_cq_object(*cq);
    *cq = nullptr;
    return MIFH_STATUS_NO_MEMORY;
  }
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_iwarp_cq_allocate(MifhCqObject** cq, void** ring, std::uint32_t count) {
  if (ZekIsBadPointer(cq) || ZekIsBadPointer(ring)) return MIFH_STATUS_FAIL;
  *cq = nullptr;
  *ring = nullptr;
  if (count == 0 || count > MIFH_MAX_CQ_ENTRIES) {
    ZEK_LOG_FAILURE(" mifh_iwarp_cq_allocate: CQ element count (0x%x)is invalid\n", count);
    return MIFH_STATUS_INVALID_COUNT;
  }
  *cq = static_cast<MifhCqObject*>(mifh_allocate_cq_object());
  if (*cq == nullptr) {
    ZEK_LOG_FAILURE("mifh_iwarp_cq_allocate: Couldn't allocate buf for CQ Object\n");
    return MIFH_STATUS_NO_OBJECT;
  }
  *ring = mifh_allocate_iwarp_cq(count);
  if (*ring == nullptr) {
    ZEK_LOG_FAILURE("mifh_iwarp_cq_allocate: Couldn't allocate buf for %x CQElements\n", count);
    mifh_free_cq_object(*cq);
    *cq = nullptr;
    return MIFH_STATUS_NO_MEMORY;
  }
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_iwarp_cq_init(MifhDeviceObj* device, MifhCqObject* cq, void* ring, std::uint64_t ring_pa,
                             std::uint32_t count, std::uint32_t parameter_word) {
  if (ZekIsBadPointer(cq) || ZekIsBadPointer(ring)) return MIFH_STATUS_FAIL;
  if (count == 0 || count > MIFH_MAX_CQ_ENTRIES) {
    ZEK_LOG_FAILURE(" mifh_iwarp_cq_init: CQ element count (0x%x) is invalid\n", count);
    return MIFH_STATUS_CQ_INIT_INVALID_COUNT;
  }
  std::memset(ring, 0, std::size_t{count} * MIFH_IWARP_CQE_BYTES);
  cq->Device = device;
  cq->CqId = 0;
  cq->Ring = ring;
  cq->RingPa = ring_pa;
  cq->FlagV = 0;
  cq->FlagP = 0;
  cq->PageList = nullptr;
  cq->ElementCount = count;
  cq->ParameterWord = parameter_word;
  cq->RingIndex.Size = count;
  cq->RingIndex.Head = count - 1;  // every slot but one is the adapter's to fill
  cq->RingIndex.Tail = 0;
  cq->Kind = MIFH_CQ_KIND_IWARP;
  cq->Enable = 1;
  cq->Signature = MIFH_CQ_SIGNATURE;
  cq->UserDoorbell = nullptr;
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_nic_cq_create(MifhCqObject* cq, std::uint32_t ceq_id, MifhCqpCompletionContext* context) {
  if (!mifh_cq_is_valid(cq)) return MIFH_STATUS_FAIL;
  if (ceq_id > 15) {
    ZEK_LOG_FAILURE("mifh_nic_cq_create: u32CEQId (0x%x) is invalid\n", ceq_id);
    return MIFH_STATUS_INVALID_ID;
  }
  cq->CeqId = ceq_id;
  zekhw::MifhCqpWqe wqe = cq_request(cq, zekhw::create_cq_word(cq->ElementCount, false, cq->FlagP != 0, cq->FlagV != 0),
                                     cq->FlagV != 0 ? ring_address(cq) : cq->RingPa, context);
  wqe.parameter_word = cq->ParameterWord;
  return mifh_cqp_post(cq->Device->Cqp, &wqe, MifhPostMode::Failing, "mifh_nic_cq_create");
}

ZekStatus mifh_iwarptoe_cq_create(MifhCqObject* cq, std::uint32_t cq_id, std::uint32_t ceq_id, std::uint8_t enable,
                                  std::uint8_t iwarp_flag, MifhCqpCompletionContext* context) {
  if (!mifh_cq_is_valid(cq)) return MIFH_STATUS_FAIL;
  if (cq_id > zekhw::kMaxCqId) {
    ZEK_LOG_FAILURE("mifh_iwarptoe_cq_create: u32CQId (0x%x) is invalid\n", cq_id);
    return MIFH_STATUS_INVALID_ID;
  }
  if (ceq_id >= zekhw::kMaxCeqs) {
    ZEK_LOG_FAILURE("mifh_iwarptoe_cq_create: u32CEQId (0x%x) is invalid\n", ceq_id);
    return MIFH_STATUS_INVALID_ID;
  }
  cq->CqId = cq_id;
  cq->CeqId = ceq_id;
  cq->Enable = enable;
  const bool v = cq->FlagV != 0;
  zekhw::MifhCqpWqe wqe =
      cq_request(cq, zekhw::create_cq_word(cq->ElementCount, iwarp_flag != 0, v && cq->FlagP != 0, v),
                 v ? ring_address(cq) : cq->RingPa, context);
  wqe.parameter_word = cq->ParameterWord;
  OSPrimMemoryLogging("Iwarp/TOE CQ Create Wqe\n");
  return mifh_cqp_post(cq->Device->Cqp, &wqe, MifhPostMode::Queueing, "mifh_iwarptoe_cq_create");
}

ZekStatus mifh_cq_modify(MifhCqObject* cq, std::uint32_t ceq_id, MifhCqpCompletionContext* context) {
  if (!mifh_cq_is_valid(cq)) return MIFH_STATUS_FAIL;
  if (ceq_id > 15) {
    ZEK_LOG_FAILURE("mifh_cq_modify: u32CEQId (0x%x) is invalid\n", ceq_id);
    return MIFH_STATUS_INVALID_ID;
  }
  cq->CeqId = ceq_id;
  zekhw::MifhCqpWqe wqe = cq_request(cq, zekhw::modify_cq_word(cq->ElementCount, cq->FlagP != 0, cq->FlagV != 0),
                                     ring_address(cq), context);
  wqe.parameter_word = cq->ParameterWord;
  return mifh_cqp_post(cq->Device->Cqp, &wqe, MifhPostMode::Failing, "mifh_cq_modify");
}

ZekStatus mifh_cq_destroy(MifhCqObject* cq, MifhCqpCompletionContext* context) {
  if (!mifh_cq_is_valid(cq)) return MIFH_STATUS_FAIL;
  const bool v = cq->FlagV != 0;
  const zekhw::MifhCqpWqe wqe =
      cq_request(cq, zekhw::destroy_cq_word(cq->ElementCount, v && cq->FlagP != 0, v), 0, context);
  return mifh_cqp_post(cq->Device->Cqp, &wqe, MifhPostMode::Queueing, "mifh_cq_destroy");
}

ZekStatus mifh_free_nic_cq(MifhCqObject* cq) {
  if (ZekIsBadPointer(cq)) return MIFH_STATUS_FAIL;
  const std::uint32_t count = cq->ElementCount;
  if (cq->Ring != nullptr) {
    if (mifh_pool_element_bytes(MIFH_POOL_NIC_CQ, count) == 0) {
      // Only the pool's own sizes go back; any other ring is not returned.
      ZEK_LOG_FAILURE("mifh_free_nic_cq: wrong CQ entry size (0x%x)\n", count);
    } else {
      std::memset(cq->Ring, 0, std::size_t{count} * MIFH_NIC_CQE_BYTES);
      mifh_pool_free(MIFH_POOL_NIC_CQ, cq->Ring, count);
    }
  }
  mifh_free_cq_object(cq);
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_free_iwarp_cq(MifhCqObject* cq) {
  if (ZekIsBadPointer(cq)) return MIFH_STATUS_FAIL;
  const std::uint32_t size_class = mifh_iwarp_cq_class(cq->ElementCount);
  if (cq->Ring != nullptr) {
    if (cq->FlagV != 0) std::memset(cq->Ring, 0, std::size_t{size_class} * MIFH_IWARP_CQE_BYTES);
    mifh_pool_free(MIFH_POOL_IWARP_CQ, cq->Ring, size_class);
  }
  mifh_free_cq_object(cq);
  return MIFH_STATUS_SUCCESS;
}

// ---- Polling, giving back and arming ----------------------------------------------------------------

void mifh_cq_arm(MifhCqObject* cq, bool solicited_only, bool through_register) {
  if (ZekIsBadPointer(cq)) return;
  const std::uint32_t value = zekhw::cq_arm(cq->CqId, solicited_only);
  if (!through_register && cq->UserDoorbell != nullptr) {
    mifh_write_cq_doorbell(cq, value);
    return;
  }
  mifh_write_reg(cq->Device, zekhw::kRegCqAllocate, value);
  mifh_read_reg(cq->Device, zekhw::kRegCqAllocate);
}

ZekStatus mifh_cq_release_cqes(MifhDeviceObj* device, MifhCqObject* cq, std::uint32_t n, bool arm) {
  if (ZekIsBadPointer(cq)) return MIFH_STATUS_CQ_ERROR;
  if (n + ZekRingUsed(&cq->RingIndex) >= cq->RingIndex.Size) return MIFH_STATUS_CQ_ERROR;
  mifh_give_back_cqes(cq, n, arm ? zekhw::kCqArm : 0u);
  if (n == 0 && arm) mifh_write_cq_doorbell(cq, zekhw::cq_arm(cq->CqId, false));
  cq->RingIndex.Head = (cq->RingIndex.Head + n) % cq->RingIndex.Size;
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_nic_cqe_read(MifhCqObject* cq, zekhw::MifhNicCqe* out) {
  // A CQ whose ring has gone (freed, or never set up) has nothing to read.
  if (ZekIsBadPointer(cq) || ZekIsBadPointer(out) || cq->Ring == nullptr || cq->RingIndex.Size == 0) {
    return MIFH_STATUS_FAIL;
  }
  auto* e = &static_cast<zekhw::MifhNicCqe*>(cq->Ring)[cq->RingIndex.Tail];
  std::atomic_ref<std::uint32_t> status(e->status);
  if ((status.load(std::memory_order_acquire) & zekhw::kNicCqeValid) == 0) return MIFH_STATUS_FAIL;
  *out = *e;
  status.store(0, std::memory_order_release);
  OSPRIM_RING_MOVE_TAIL(&cq->RingIndex);
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_nic_cq_poll_completion(MifhCqObject* cq, std::uint32_t* low_half, std::uint32_t* index) {
  if (ZekIsBadPointer(cq) || ZekIsBadPointer(low_half) || ZekIsBadPointer(index)) return MIFH_STATUS_BAD_ARGUMENT;
  const std::uint32_t tail = cq->RingIndex.Tail;
  zekhw::MifhNicCqe e;
  if (mifh_nic_cqe_read(cq, &e) != MIFH_STATUS_SUCCESS) return MIFH_STATUS_NIC_CQ_EMPTY;
  *low_half = e.status & 0xFFFF;
  *index = tail;
  mifh_give_back_cqes(cq, 1, 0);
  cq->RingIndex.Head = (cq->RingIndex.Head + 1) % cq->RingIndex.Size;
  return MIFH_STATUS_SUCCESS;
}

bool mifh_qp_object_live(const MifhQpObject* qp, const MifhDeviceObj* device) {
  const auto address = reinterpret_cast<std::uintptr_t>(qp);
  if (ZekIsBadPointer(qp) || address % 2048 != 0) return false;
  if (!mifh_pool_block_holds(MIFH_POOL_QP_OBJECT, qp, sizeof(MifhQpObject))) return false;
  return qp->Signature == MIFH_QP_SIGNATURE && qp->Device == device;
}

ZekStatus mifh_cq_poll_completion(MifhCqObject* cq, MifhCompletion* out) {
  if (ZekIsBadPointer(cq) || ZekIsBadPointer(out) || cq->Ring == nullptr) return MIFH_STATUS_CQ_ERROR;
  for (;;) {
    auto* e = &static_cast<zekhw::MifhCqe*>(cq->Ring)[cq->RingIndex.Tail];
    std::atomic_ref<std::uint32_t> flags(e->flags);
    if ((flags.load(std::memory_order_acquire) & zekhw::kCqeValid) == 0) {
      out->Status = IWARP_STATUS_CQ_EMPTY;
      return IWARP_STATUS_CQ_EMPTY;
    }
    const zekhw::MifhCqe cqe = *e;
    flags.store(0, std::memory_order_release);
    OSPRIM_RING_MOVE_TAIL(&cq->RingIndex);
    // Every entry taken is given back, whatever it holds.
    mifh_give_back_cqes(cq, 1, 0);
    if (OSPRIM_RING_MOVE_HEAD(&cq->RingIndex) != 0) {
      ZEK_LOG_FAILURE("mifh_cq_poll_completion: OSPRIM_RING_MOVE_HEAD u32RetCode (%x)\n", 0xFFFFFFFFu);
      return MIFH_STATUS_CQ_ERROR;
    }
    if (cqe.tag < 512) {
      // Names no queue pair: logged and skipped, the entries behind it still count.
      ZEK_LOG_FAILURE("mifh_cq_poll_completion: CQE with tag (0x%llx) names no QP\n",
                      static_cast<unsigned long long>(cqe.tag));
      continue;
    }
    auto* qp = reinterpret_cast<MifhQpObject*>(cqe.tag & ~zekhw::kTagIndexMask);
    const std::uint32_t index = static_cast<std::uint32_t>(cqe.tag & zekhw::kTagIndexMask);
    // A tag is whatever the request's poster wrote (a process writes its
    // own rings): only a live queue-pair object of this CQ's device is read.
    if (!mifh_qp_object_live(qp, cq->Device)) {
      ZEK_LOG_FAILURE("mifh_cq_poll_completion: CQE names a bad QP object (0x%p)\n", static_cast<void*>(qp));
      continue;
    }
    const bool send = (cqe.flags & zekhw::kCqeSendQueue) != 0;
    ZEK_OSPRIM_RING& ring = send ? qp->SqRing : qp->RqRing;
    if (index >= ring.Size) {
      ZEK_LOG_FAILURE("mifh_cq_poll_completion: CQE index (%d) beyond the ring (%d)\n", index, ring.Size);
      continue;
    }
    // On a ring the kernel posts to, the index must name a request still in
    // flight (Tail up to Head): an older or never-posted index would move
    // Tail backwards or past Head and hand out a stale work-request id. A
    // user ring's head lives in the process, so only the bound holds there.
    if (qp->UserQp == 0 && !mifh_ring_index_in_flight(&ring, index)) {
      ZEK_LOG_FAILURE("mifh_cq_poll_completion: CQE index (%d) outside the requests in flight (T %d H %d)\n", index,
                      ring.Tail, ring.Head);
      continue;
    }
    // Requests before the reported one completed without a CQE (unsignalled).
    ring.Tail = index;
    const bool error = (cqe.flags & zekhw::kCqeError) != 0;
    bool unasked = false;  // a fast registration's completion its poster did not ask for
    std::memset(out, 0, sizeof *out);
    out->Status = error ? 1 : 0;
    out->Qp = qp->QpId;
    if (send) {
      const auto& w = static_cast<const zekhw::MifhWqe*>(qp->Sq)[index];
      std::uint32_t op = w.op_word & zekhw::kWqeOpMask;
      out->WrId = w.wr_id;
      if (op == zekhw::kWqeRdmaRead) {
        out->Length = w.length;
      } else if (op == zekhw::kWqeRdmaWrite || (op >= zekhw::kWqeSend && op <= zekhw::kWqeSendSolicitedInvalidate)) {
        out->Length = w.total_length;
      }
      if (op == zekhw::kWqeFastRegister && qp->UserQp == 0 && w.wr_id != 0) {
        // A routine taken from a work-request id is only trusted on a ring the kernel owns.
        auto* context = reinterpret_cast<MifhFastRegisterContext*>(w.wr_id);
        out->WrId = context->WrId;
        context->Status = out->Status;
        unasked = context->Report == 0 && out->Status == 0;
        if (context->Routine != nullptr)
          context->Routine(context->Context, context->Context, w.length, w.invalidate_stag);
      } else if (op == zekhw::kWqeKernelOnly) {
        std::uint32_t status;
        std::memcpy(&status, reinterpret_cast<const std::uint8_t*>(&w) + zekhw::kWqeKernelStatusOffset, 4);
        op = zekhw::kWqeFastRegister;
        out->Status = status;
      }
      out->OpCode = op;
      if (error) {
        qp->ErrorFlags |= MIFH_QP_SQ_ERROR;
        qp->FailedSqIndex = index;
      }
    } else {
      const auto& w = static_cast<const zekhw::MifhRqWqe*>(qp->Rq)[index];
      out->OpCode = zekhw::kWqeReceive;
      out->WrId = w.wr_id;
      out->Length = cqe.bytes_received;
      out->ImmediateFlag = (cqe.flags & zekhw::kCqeImmediate) != 0 ? 1 : 0;
      out->Immediate = cqe.immediate;
      if (error) {
        qp->ErrorFlags |= MIFH_QP_RQ_ERROR;
        qp->FailedRqIndex = index;
      }
    }
    if ((cqe.flags & zekhw::kCqeQpFlag) != 0) qp->TerminateSeen = 1;
    OSPRIM_RING_MOVE_TAIL(&ring);
    if (unasked) continue;
    if (cq->ParameterWord == 0 && send && out->OpCode == zekhw::kWqeRdmaRead && out->Status == 0) {
      const auto& w = static_cast<const zekhw::MifhWqe*>(qp->Sq)[index];
      if (w.total_length == 0) {
        // In mode 0 a read whose poster marked it with a zero length word
        // (bytes 4-7) is not reported; the CQ is armed again. The kernel's
        // read builder writes its marker there, so every read it builds,
        // of whatever length, is reported.
        mifh_write_reg(cq->Device, zekhw::kRegCqAllocate, zekhw::cq_arm(cq->CqId, false));
        continue;
      }
    }
    return MIFH_STATUS_SUCCESS;
  }
}
