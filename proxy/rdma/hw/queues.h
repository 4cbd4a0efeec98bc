// Completion queues (CQ), completion event queues (CEQ) and the asynchronous
// event queue (AEQ): their creation, modification and destruction through
// the control queue pair, the CQ object, and the reading of CEQ entries.
//
// CQ objects come from the CQ object pool; CQ rings from the NIC CQ pool
// (exactly 512 or 1024 entries) or the iWARP CQ pools (by class).
#pragma once

#include <cstdint>

#include "include/zek/mifh.h"

inline constexpr std::uint32_t MIFH_NIC_CQ_ENTRIES = 1024;
inline constexpr std::uint32_t MIFH_NIC_CQE_BYTES = 16;
inline constexpr std::uint32_t MIFH_IWARP_CQE_BYTES = 32;
inline constexpr std::uint32_t MIFH_MAX_CQ_ENTRIES = 32768;

// AEQ and CEQ objects carry their device, ring, physical address and element
// count when they are created. 0, 7 bad id, 8 virtually mapped, 3 no slot.
ZekStatus mifh_aeq_create(MifhAeqObject* aeq, std::uint32_t aeq_id, std::uint8_t virtual_flag);
// Creating the function's control CEQ (id F) also waits (10 x 1 ms) for its
// status bit; 1 when it does not come. The waits delay the thread: call at
// PASSIVE_LEVEL (bring-up and the hardware-object requests do).
ZekStatus mifh_ceq_create(MifhCeqObject* ceq, std::uint32_t ceq_id, std::uint8_t virtual_flag);

ZekStatus mifh_nic_cq_allocate(MifhCqObject** cq, void** ring);
ZekStatus mifh_iwarp_cq_allocate(MifhCqObject** cq, void** ring, std::uint32_t count);
ZekStatus mifh_iwarp_cq_init(MifhDeviceObj* device, MifhCqObject* cq, void* ring, std::uint64_t ring_pa,
                             std::uint32_t count, std::uint32_t parameter_word);

// CQ requests. `context` is the requester's completion context (may be null).
ZekStatus mifh_nic_cq_create(MifhCqObject* cq, std::uint32_t ceq_id, MifhCqpCompletionContext* context);
ZekStatus mifh_iwarptoe_cq_create(MifhCqObject* cq, std::uint32_t cq_id, std::uint32_t ceq_id, std::uint8_t enable,
                                  std::uint8_t iwarp_flag, MifhCqpCompletionContext* context);
// The CQP's first CQ: posted like an iWARP/TOE CQ, then a bounded wait
// (10 x 1 ms) for status bit 9; no CCQ entry reports it, so the CQP tail
// moves on by one here. PASSIVE_LEVEL. The CCQ is read from its first slot
// on (its Head is the reading index), whatever its initialisation set.
ZekStatus mifh_ccq_create(MifhCqObject* cq, std::uint32_t cq_id, std::uint32_t ceq_id);
ZekStatus mifh_cq_modify(MifhCqObject* cq, std::uint32_t ceq_id, MifhCqpCompletionContext* context);
ZekStatus mifh_cq_destroy(MifhCqObject* cq, MifhCqpCompletionContext* context);

// Return the ring to its pool (by exact size or class) and the object last.
ZekStatus mifh_free_nic_cq(MifhCqObject* cq);
ZekStatus mifh_free_iwarp_cq(MifhCqObject* cq);

// The CQ named by the next valid CEQ entry (the entry is given back), or null
// when there is none. Entries naming no CQ object are logged and skipped.
MifhCqObject* mifh_nic_process_next_ceq(MifhDeviceObj* device, MifhCeqObject* ceq);
