// Event queues: the creation of the asynchronous event queue (AEQ) and of
// completion event queues (CEQ) through the control queue pair, and the
// reading of CEQ entries.
#pragma once

#include <cstdint>

#include "include/zek/mifh.h"

// AEQ and CEQ objects carry their device, ring, physical address and element
// count when they are created. MIFH_STATUS_SUCCESS; MIFH_STATUS_INVALID_ID
// for an id out of range (an AEQ id other than the function's);
// MIFH_STATUS_VIRTUAL for a virtually mapped queue; MIFH_STATUS_NO_WQE when
// the control ring has no slot.
ZekStatus mifh_aeq_create(MifhAeqObject* aeq, std::uint32_t aeq_id, std::uint8_t virtual_flag);
// Creating the function's control CEQ (id F) also waits (MIFH_CONTROL_QUEUE_WAIT_ROUNDS x 1 ms) for its
// status bit; MIFH_STATUS_FAIL when it does not come. The waits delay the
// thread: call at PASSIVE_LEVEL (bring-up and the hardware-object requests
// do).
ZekStatus mifh_ceq_create(MifhCeqObject* ceq, std::uint32_t ceq_id, std::uint8_t virtual_flag);

// The CQ named by the next valid CEQ entry (the entry is given back), or null
// when there is none. Entries naming no CQ object are logged and skipped.
MifhCqObject* mifh_nic_process_next_ceq(MifhDeviceObj* device, MifhCeqObject* ceq);
