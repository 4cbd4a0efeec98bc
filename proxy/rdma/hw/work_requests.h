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

// ---- The send-queue builders of the posting verbs --------------------------------------------------------
// RDMA write of up to four elements: op word (signalled << 2 | flag) << 29
// with the flag's two low bits (bits 29-30); +4 and +40 the total length,
// +32 the remote address, +44 the remote STag, the elements from +64.
// IWARP_STATUS_TOO_MANY_SGES for more than four elements,
// IWARP_STATUS_QP_INVALID_MESSAGE_SIZE above 0x7FC00000 bytes,
// IWARP_STATUS_QP_TOOMANY_WRS_POSTED when the queue has no slot.
ZekStatus mifh_iwarp_rdma_write(MifhQpObject* qp, const MifhWorkRequest* wr);

// A memory-window bind, written in the one bind layout (MifhBindWqe).
struct MifhBindRequest {
  std::uint64_t WrId;
  std::uint32_t RegionStag;
  std::uint32_t WindowStag;  // index << 8 | the window's new key
  std::uint64_t Length;
  std::uint64_t Va;
  std::uint32_t Mode;  // bits 6-17 of the op word
  std::uint8_t RemoteRead;
  std::uint8_t RemoteWrite;
  std::uint8_t Signalled;
  std::uint8_t Reserved;
};
// Op word 0x40000008 | mode << 6 | remote read << 18 | remote write << 19 |
// signalled << 31; +48 the window's rights (remote read, remote write).
ZekStatus mifh_iwarp_mw_bind(MifhQpObject* qp, const MifhBindRequest* bind);
// Local invalidate: op word 0x4000000A | signalled << 31, +16 the id, +24 the STag.
ZekStatus mifh_iwarp_stag_local_invalidate(MifhQpObject* qp, std::uint64_t wr_id, std::uint32_t stag, bool signalled);

// ---- The STag control requests -----------------------------------------------------------------------------
// Each is queued when the control ring has no slot; what the post answers,
// or MIFH_STATUS_FAIL for a bad device or an index above 0xFFFFFF.
struct MifhAllocateStagRequest {
  std::uint32_t StagIndex;
  std::uint32_t PdId;
  std::uint32_t ChunkCount;  // from the region's set-up
  std::uint32_t ChunkSize;   // 4096 or 256
  std::uint32_t PageEntries;
  std::uint8_t Access;
  std::uint8_t Reserved[3];
};
ZekStatus mifh_allocate_stag(MifhDeviceObj* device, const MifhAllocateStagRequest* request,
                             MifhCqpCompletionContext* context);
struct MifhRegisterSharedRequest {
  std::uint64_t Address;  // the first-byte offset is taken from it when zero-based
  std::uint32_t StagIndex;
  std::uint32_t SourceIndex;
  std::uint32_t PdId;
  std::uint32_t Access;
  std::uint8_t Key;
  std::uint8_t ZeroBased;
  std::uint8_t Reserved[2];
};
ZekStatus mifh_mr_register_shared(MifhDeviceObj* device, const MifhRegisterSharedRequest* request,
                                  MifhCqpCompletionContext* context);
ZekStatus mifh_dealloc_stag(MifhDeviceObj* device, std::uint32_t stag_index, bool region, bool page_list,
                            MifhCqpCompletionContext* context);
ZekStatus mifh_mw_alloc(MifhDeviceObj* device, std::uint32_t stag_index, std::uint32_t pd_id,
                        MifhCqpCompletionContext* context);
