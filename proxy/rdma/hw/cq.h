// Completion queues (CQ): the CQ object and its ring from the pools, its
// creation, modification and destruction through the control queue pair,
// and the return of its memory.
//
// CQ objects come from the CQ object pool; CQ rings from the NIC CQ pool
// (exactly 512 or 1024 entries) or the iWARP CQ pools (by class). The
// control completion queue, which the CQP creates first, is in ccq.h.
#pragma once

#include <cstdint>

#include "include/zek/mifh.h"

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
