// The control completion queue (CCQ): the first CQ a control queue pair
// creates, into which the adapter completes that CQP's requests, and the
// processing of its entries. Each valid entry retires the oldest outstanding
// CQP request (the adapter completes them strictly in ring order), whose
// completion context is found in the driver's own ring slot.
#pragma once

#include <cstdint>

#include "include/zek/mifh.h"

// The CQP's first CQ: posted like an iWARP/TOE CQ, then a bounded wait
// (MIFH_CONTROL_QUEUE_WAIT_ROUNDS x 1 ms) for status bit 9 (MIFH_STATUS_FAIL when it does not come); no
// CCQ entry reports it, so the CQP tail moves on by one here. PASSIVE_LEVEL.
// The CCQ is read from its first slot on (its Head is the reading index),
// whatever its initialisation set.
ZekStatus mifh_ccq_create(MifhCqObject* cq, std::uint32_t cq_id, std::uint32_t ceq_id);

// Retires control completions of the device's CQP from its CCQ: at most 430
// per call, each calling its request's completion context; gives the entries
// back, moves the CQP tail and re-arms the CCQ. MIFH_STATUS_FAIL for a bad
// CCQ or a device without a CQP.
ZekStatus mifh_process_ccq(MifhCqObject* ccq);
