// Work requests and completions: the iWARP send and receive builders, the
// doorbells, the CQ poller and arm, the NIC completion reader, the register
// MR control request, and the initialisation and resizing of an iWARP
// queue pair's rings. Formats are include/hw/wqe.h and include/hw/nic.h.
#pragma once

#include <cstdint>

#include "include/hw/nic.h"
#include "include/hw/wqe.h"
#include "include/zek/mifh.h"
#include "proxy/rdma/hw/qp.h"

// Verbs statuses of the data path.
inline constexpr ZekStatus IWARP_STATUS_CQ_EMPTY = 0x50033;
inline constexpr ZekStatus IWARP_STATUS_ORD_TOO_BIG = 0x50051;
inline constexpr ZekStatus IWARP_STATUS_IRD_TOO_BIG = 0x50052;
inline constexpr ZekStatus IWARP_STATUS_QUEUE_TOO_BIG = 0x50053;
inline constexpr ZekStatus IWARP_STATUS_TOO_MANY_SGES = 0x50054;
inline constexpr ZekStatus IWARP_STATUS_QP_TOOMANY_WRS_POSTED = 0x5005B;
inline constexpr ZekStatus IWARP_STATUS_QP_INVALID_MESSAGE_SIZE = 0x50060;

// A work request as the verbs hand it to the builders.
struct MifhWorkRequest {
  std::uint64_t WrId;
  std::uint8_t FlagA;             // signalled
  std::uint8_t FlagB;             // solicited / second flag
  std::uint8_t Reserved[2];
  std::uint32_t SgeCount;
  zekhw::MifhSge Sge[6];          // the caller's list (at most kMaxSges are accepted)
  std::uint64_t RemoteVa;
  std::uint32_t RemoteStag;
  std::uint32_t Length;           // RDMA read length
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

// The context a fast-register's work-request id names: its routine runs at completion.
struct MifhFastRegisterContext {
  void (*Routine)(void* context, void* again, std::uint32_t length, std::uint32_t stag);
  void* Context;
};

// A completion as the poller reports it (40 bytes).
struct MifhCompletion {
  std::uint64_t WrId;
  std::uint64_t Qp;
  std::uint32_t OpCode;
  std::uint32_t Length;
  std::uint32_t Status;       // 0 success, 1 error, IWARP_STATUS_CQ_EMPTY
  std::uint32_t ImmediateFlag;
  std::uint32_t Immediate;
  std::uint32_t Reserved;
};
static_assert(sizeof(MifhCompletion) == 40);
static_assert(offsetof(MifhCompletion, Qp) == 8);
static_assert(offsetof(MifhCompletion, OpCode) == 16);
static_assert(offsetof(MifhCompletion, Length) == 20);
static_assert(offsetof(MifhCompletion, Status) == 24);
static_assert(offsetof(MifhCompletion, ImmediateFlag) == 28);
static_assert(offsetof(MifhCompletion, Immediate) == 32);

// The smallest ring (4, 32, 128, 512) whose usable part (size - 2) holds
// `requested`; 0 when none does (more than 510).
std::uint32_t mifh_iwarp_ring_size_for(std::uint32_t requested);

ZekStatus mifh_iwarp_qp_init(MifhQpObject* qp, void* sq, void* rq, std::uint64_t sq_pa, std::uint64_t rq_pa,
                             std::uint32_t sq_size, std::uint32_t rq_size, std::uint32_t efb_count);

zekhw::MifhWqe* mifh_iwarp_qp_get_next_send_wqe(MifhQpObject* qp, std::uint32_t* index);
ZekStatus mifh_iwarp_rdma_read(MifhQpObject* qp, const MifhWorkRequest* wr, std::uint32_t local_invalidate_stag);
ZekStatus mifh_iwarp_send(MifhQpObject* qp, const MifhWorkRequest* wr, std::uint32_t invalidate_stag, std::uint8_t op);
ZekStatus mifh_iwarp_imm_rdma_write(MifhQpObject* qp, const MifhWorkRequest* wr);
ZekStatus mifh_iwarp_imm_send(MifhQpObject* qp, const MifhWorkRequest* wr);
ZekStatus mifh_iwarp_mr_fast_register(MifhQpObject* qp, const MifhFastRegisterRequest* mr, const MifhWorkRequest* wr,
                                      std::uint32_t access);
ZekStatus mifh_iwarp_post_receive(MifhQpObject* qp, const MifhWorkRequest* wr);
ZekStatus mifh_iwarp_sq_doorbell(MifhQpObject* qp, std::uint32_t count);
ZekStatus mifh_iwarp_rq_doorbell(MifhQpObject* qp, std::uint32_t count);

ZekStatus mifh_cq_poll_completion(MifhCqObject* cq, MifhCompletion* out);
void mifh_cq_arm(MifhCqObject* cq, bool solicited_only, bool through_register);
ZekStatus mifh_cq_release_cqes(MifhDeviceObj* device, MifhCqObject* cq, std::uint32_t n, bool arm);

// 0 with the entry (taken and cleared), or 1 when the CQ is empty. The
// entry is not given back: the caller does, with mifh_cq_release_cqes.
ZekStatus mifh_nic_cqe_read(MifhCqObject* cq, zekhw::MifhNicCqe* out);
// 0 with word 3's low half and the ring index, 2 for a null argument, 10
// when empty; gives the entry back.
ZekStatus mifh_nic_cq_poll_completion(MifhCqObject* cq, std::uint32_t* low_half, std::uint32_t* index);

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
ZekStatus mifh_mr_register_non_shared(MifhDeviceObj* device, const MifhMrDescription* mr,
                                      MifhCqpCompletionContext* context, std::uint32_t pd_id);

struct MifhQueueParams {
  std::uint32_t Ord, Ird, SqSize, RqSize;
};
ZekStatus mifh_modify_queue_params(MifhQpObject* qp, const MifhQueueParams* request, MifhQueueParams* result,
                                   bool change_ord, bool change_ird, bool change_sq, bool change_rq);
