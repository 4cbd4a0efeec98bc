// Completion queues (CQ): the CQ object and its ring from the pools, its
// creation, modification and destruction through the control queue pair,
// the return of its memory, and the reading of its entries: the poller that
// turns iWARP completions into verbs completions, the NIC completion reader,
// the giving back of entries and the arming.
//
// CQ objects come from the CQ object pool; CQ rings from the NIC CQ pool
// (exactly 512 or 1024 entries) or the iWARP CQ pools (by class). The
// control completion queue, which the CQP creates first, is in ccq.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/hw/nic.h"
#include "include/zek/mifh.h"
#include "proxy/rdma/hw/status.h"

inline constexpr std::uint32_t MIFH_NIC_CQ_ENTRIES = 1024;
inline constexpr std::uint32_t MIFH_NIC_CQE_BYTES = 16;
inline constexpr std::uint32_t MIFH_IWARP_CQE_BYTES = 32;
inline constexpr std::uint32_t MIFH_MAX_CQ_ENTRIES = 32768;

// A CQ object that carries its signature and names a device.
inline bool mifh_cq_is_valid(const MifhCqObject* cq) {
  return !ZekIsBadPointer(cq) && cq->Signature == MIFH_CQ_SIGNATURE && !ZekIsBadPointer(cq->Device);
}

// MIFH_STATUS_SUCCESS with the object and its ring; MIFH_STATUS_NO_OBJECT or
// MIFH_STATUS_NO_MEMORY when a pool is empty; the iWARP form refuses a count
// of 0 or above MIFH_MAX_CQ_ENTRIES with MIFH_STATUS_INVALID_COUNT.
ZekStatus mifh_nic_cq_allocate(MifhCqObject** cq, void** ring);
ZekStatus mifh_iwarp_cq_allocate(MifhCqObject** cq, void** ring, std::uint32_t count);
// A count out of range: MIFH_STATUS_CQ_INIT_INVALID_COUNT.
ZekStatus mifh_iwarp_cq_init(MifhDeviceObj* device, MifhCqObject* cq, void* ring, std::uint64_t ring_pa,
                             std::uint32_t count, std::uint32_t parameter_word);

// CQ requests. `context` is the requester's completion context (may be
// null). An id out of range: MIFH_STATUS_INVALID_ID; the NIC create and the
// modify fail with MIFH_STATUS_NO_WQE when the control ring has no slot, the
// iWARP/TOE create and the destroy queue instead.
ZekStatus mifh_nic_cq_create(MifhCqObject* cq, std::uint32_t ceq_id, MifhCqpCompletionContext* context);
ZekStatus mifh_iwarptoe_cq_create(MifhCqObject* cq, std::uint32_t cq_id, std::uint32_t ceq_id, std::uint8_t enable,
                                  std::uint8_t iwarp_flag, MifhCqpCompletionContext* context);
ZekStatus mifh_cq_modify(MifhCqObject* cq, std::uint32_t ceq_id, MifhCqpCompletionContext* context);
ZekStatus mifh_cq_destroy(MifhCqObject* cq, MifhCqpCompletionContext* context);

// Return the ring to its pool (by exact size or class) and the object last.
ZekStatus mifh_free_nic_cq(MifhCqObject* cq);
ZekStatus mifh_free_iwarp_cq(MifhCqObject* cq);

// ---- Reading entries -------------------------------------------------------------------------------
// A completion as the poller reports it (40 bytes).
struct MifhCompletion {
  std::uint64_t WrId;
  std::uint64_t Qp;
  std::uint32_t OpCode;
  std::uint32_t Length;
  std::uint32_t Status;  // 0 success, 1 error, IWARP_STATUS_CQ_EMPTY; a kernel-only request's own status
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

// The context a fast-register's work-request id names (kernel rings only):
// its routine runs at completion, with Status set (0 done, 1 failed), and
// may free the context. The completion reports the caller's WrId; one the
// caller did not ask for (Report 0) that succeeded is not reported (the
// kernel asks the adapter for every fast registration's completion, so
// that its page lists are released when the adapter has read them).
struct MifhFastRegisterContext {
  void (*Routine)(void* context, void* again, std::uint32_t length, std::uint32_t stag);
  void* Context;
  std::uint64_t WrId;
  std::uint32_t Status;
  std::uint8_t Report;
  std::uint8_t Reserved[3];
};

// The next completion of an iWARP CQ into *out: MIFH_STATUS_SUCCESS;
// IWARP_STATUS_CQ_EMPTY when no valid entry is left; MIFH_STATUS_CQ_ERROR
// for a bad argument or a CQ whose Head cannot move. Every entry taken is given back; the work
// requests up to the one reported are retired from their queue. In mode 0
// (parameter word 0) a successful zero-length read is not reported.
// Whether a completion tag's queue pair is a live queue-pair object (in the
// queue-pair pool's memory, 2048-aligned, initialised) of `device`.
struct MifhQpObject;
bool mifh_qp_object_live(const MifhQpObject* qp, const MifhDeviceObj* device);
ZekStatus mifh_cq_poll_completion(MifhCqObject* cq, MifhCompletion* out);
// Arms the CQ (for solicited and error completions only, when asked):
// through its doorbell page unless `through_register`, else register 0x44,
// read back.
void mifh_cq_arm(MifhCqObject* cq, bool solicited_only, bool through_register);
// Gives n entries back (arming with the last write when asked) and moves
// Head by n: MIFH_STATUS_SUCCESS, or MIFH_STATUS_CQ_ERROR for a bad CQ or
// when n and the entries in use would reach the ring's size (nothing is
// written).
ZekStatus mifh_cq_release_cqes(MifhDeviceObj* device, MifhCqObject* cq, std::uint32_t n, bool arm);

// MIFH_STATUS_SUCCESS with the entry (taken and cleared), or MIFH_STATUS_FAIL
// when the CQ is empty. The entry is not given back: the caller does, with
// mifh_cq_release_cqes.
ZekStatus mifh_nic_cqe_read(MifhCqObject* cq, zekhw::MifhNicCqe* out);
// MIFH_STATUS_SUCCESS with word 3's low half and the ring index;
// MIFH_STATUS_BAD_ARGUMENT for a null argument, MIFH_STATUS_NIC_CQ_EMPTY
// when empty. Gives the entry back.
ZekStatus mifh_nic_cq_poll_completion(MifhCqObject* cq, std::uint32_t* low_half, std::uint32_t* index);
