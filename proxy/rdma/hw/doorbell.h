// Doorbells: the words by which the driver tells the adapter about its
// rings. The WQE-allocate word (register 0x40, or +0 of a doorbell page)
// announces requests written to a work queue or to the control queue pair;
// the CQE-allocate word (register 0x44, or +16 of a doorbell page) gives
// completion-queue entries back and arms a CQ. A word carries a count of at
// most 255, so larger counts take several writes.
//
// A queue with a doorbell address of its own (a user queue pair or CQ,
// whose doorbell page the process also writes, or the driver's NIC queue
// pair, whose address is the register itself) is rung there; any other
// through the device's register window.
#pragma once

#include <cstdint>

#include "include/zek/mifh.h"

// Announces `count` requests of queue `queue_id` (count << 24 | send << 23 |
// id, at most 255 a write) at `page_word`, the queue's own doorbell address,
// when it is not null, else through register 0x40. The requests written before the call are visible
// to the adapter before the first write.
void mifh_write_wqe_doorbell(const MifhDeviceObj* device, volatile std::uint32_t* page_word, std::uint32_t queue_id,
                             std::uint32_t count, bool send);

// Writes one CQE-allocate word for the CQ: through its doorbell page when it
// has one, else register 0x44.
void mifh_write_cq_doorbell(const MifhCqObject* cq, std::uint32_t value);
// Gives `count` entries of the CQ back, at most 255 a write; `last_bits`
// (the arm bits, or 0) go with the last write. Nothing is written for 0.
void mifh_give_back_cqes(const MifhCqObject* cq, std::uint32_t count, std::uint32_t last_bits);
