// Work requests: the iWARP send and receive builders and their doorbells,
// the register-MR control request, and the initialisation and resizing of
// an iWARP queue pair's rings. The formats are include/hw/wqe.h; the
// completions these requests end in are read by the CQ poller (cq.h).
#pragma once

#include <cstdint>

#include "include/hw/wqe.h"
#include "include/zek/mifh.h"
#include "proxy/rdma/hw/qp.h"
#include "proxy/rdma/hw/status.h"

// A work request as the verbs hand it to the builders.
struct MifhWorkRequest {
  std::uint64_t WrId;
  std::uint8_t FlagA;  // signalled
  std::uint8_t FlagB;  // solicited / second flag
  std::uint8_t Reserved[2];
  std::uint32_t SgeCount;
  zekhw::MifhSge Sge[6];  // the caller's list (at most kMaxSges are accepted)
  std::uint64_t RemoteVa;
  std::uint32_t RemoteStag;
  std::uint32_t Length;  // RDMA read length
  const void* InlineData;
  std::uint32_t InlineLength;
  std::uint32_t Reserved2;
};

// The fast-register description (from the memory-region translation manager).
struct MifhFastRegisterRequest {
  std::uint32_t Stag;
  std::uint32_t Reserved;
  std::uint64_t Length;
  std::uint64_t VaOrFbo;
  std::uint64_t PblPa;
  std::uint32_t PblBytes;
  std::uint32_t PageSize;
  std::uint8_t ZeroBased;
  std::uint8_t Reserved2[7];
};

// The smallest ring (4, 32, 128, 512) whose usable part (size - 2) holds
// `requested`; 0 when none does (more than 510).
std::uint32_t mifh_iwarp_ring_size_for(std::uint32_t requested);

// Records the rings; the send queue starts at slot 1, the receive queue at
// 0. MIFH_STATUS_INVALID_WQE_COUNT for a ring size other than 4, 32, 128,
// 512; MIFH_STATUS_EFB for an EFB count other than 0.
ZekStatus mifh_iwarp_qp_init(MifhQpObject* qp, void* sq, void* rq, std::uint64_t sq_pa, std::uint64_t rq_pa,
                             std::uint32_t sq_size, std::uint32_t rq_size, std::uint32_t efb_count);

// The send slot at the head (the head moves on), or null when only two
// slots are free.
zekhw::MifhWqe* mifh_iwarp_qp_get_next_send_wqe(MifhQpObject* qp, std::uint32_t* index);
// The builders fill one request under the send-queue lock (the receive-queue
// lock for post_receive); the caller rings the doorbell for the number
// posted. MIFH_STATUS_SUCCESS; IWARP_STATUS_QP_INVALID_MESSAGE_SIZE for a
// message above 0x7FC00000 bytes or inline data above 64;
// IWARP_STATUS_TOO_MANY_SGES for more than four elements;
// IWARP_STATUS_QP_TOOMANY_WRS_POSTED when the queue has no slot (the fast
// register: MIFH_STATUS_NO_WQE); MIFH_STATUS_FAIL for a null argument.
ZekStatus mifh_iwarp_rdma_read(MifhQpObject* qp, const MifhWorkRequest* wr, std::uint32_t local_invalidate_stag);
ZekStatus mifh_iwarp_send(MifhQpObject* qp, const MifhWorkRequest* wr, std::uint32_t invalidate_stag, std::uint8_t op);
ZekStatus mifh_iwarp_imm_rdma_write(MifhQpObject* qp, const MifhWorkRequest* wr);
ZekStatus mifh_iwarp_imm_send(MifhQpObject* qp, const MifhWorkRequest* wr);
ZekStatus mifh_iwarp_mr_fast_register(MifhQpObject* qp, const MifhFastRegisterRequest* mr, const MifhWorkRequest* wr,
                                      std::uint32_t access);
ZekStatus mifh_iwarp_post_receive(MifhQpObject* qp, const MifhWorkRequest* wr);
// Announce `count` requests through the QP's doorbell address (the register
// or the user's page). MIFH_STATUS_SUCCESS, or MIFH_STATUS_FAIL for a null QP.
ZekStatus mifh_iwarp_sq_doorbell(MifhQpObject* qp, std::uint32_t count);
ZekStatus mifh_iwarp_rq_doorbell(MifhQpObject* qp, std::uint32_t count);

struct MifhMrDescription {
  std::uint64_t PblPa;
  std::uint64_t FirstByteOffset;
  std::uint64_t Va;
  std::uint32_t PblBytes;
  std::uint32_t Length;
  std::uint32_t PageSize;
  std::uint32_t PblChunkSize;
  std::uint32_t PblChunkCount;
  std::uint8_t ZeroBased;
  std::uint8_t Access;
  std::uint8_t Key;
  std::uint8_t Reserved;
  std::uint32_t StagIndex;
};
// Posts the register-MR control request (queueing when the ring has no
// slot); what the post answers (control_qp.h), or MIFH_STATUS_FAIL for a null
// argument or a device without a CQP.
ZekStatus mifh_mr_register_non_shared(MifhDeviceObj* device, const MifhMrDescription* mr,
                                      MifhCqpCompletionContext* context, std::uint32_t pd_id);

struct MifhQueueParams {
  std::uint32_t Ord, Ird, SqSize, RqSize;
};
// Checks and applies a resize, each step only when asked:
// IWARP_STATUS_ORD_TOO_BIG, IWARP_STATUS_IRD_TOO_BIG,
// IWARP_STATUS_QUEUE_TOO_BIG beyond the adapter's maxima; MIFH_STATUS_FAIL
// when a ring to resize is not empty or no new ring can be had. A resized
// ring starts at slot 0; a user QP is told to map it anew.
ZekStatus mifh_modify_queue_params(MifhQpObject* qp, const MifhQueueParams* request, MifhQueueParams* result,
                                   bool change_ord, bool change_ird, bool change_sq, bool change_rq);
