// The control queue pair (CQP): the command ring of one PCI function through
// which the driver asks the adapter to create, modify and destroy queues. The
// miniport normally creates it; the proxy driver posts on the same CQP
// between the miniport's lock routines, and offers its own create and
// destroy to the hardware-object requests.
//
// Posting: a request takes the slot at the ring's head unless the ring is
// full or requests are pending (so no request passes an older one). Without
// a slot, a "queueing" request is held on the pending queue and reported
// successful (the refill issues it later, in order); a "failing" request is
// refused with MIFH_STATUS_NO_WQE.
#pragma once

#include <cstdint>

#include "include/zek/mifh.h"

enum class MifhPostMode { Queueing, Failing };

// Builds the CQP from the pools: the object from the queue-pair object pool,
// the ring from the iWARP send-queue pool of the same size, the host context
// from the iWARP/TOE host-context pool. MIFH_STATUS_INVALID_WQE_COUNT for
// a ring size other than 4, 32, 128, 512; MIFH_STATUS_NO_OBJECT without an
// object; MIFH_STATUS_NO_MEMORY without a ring or context.
ZekStatus mifh_cqp_allocate(MifhDeviceObj* device, MifhCqpObject** cqp, zekhw::MifhCqpWqe** ring,
                            zekhw::MifhCqpHostContext** host_context, std::uint32_t wqe_count);
ZekStatus mifh_cqp_init(MifhDeviceObj* device, MifhCqpObject* cqp, void* device_holder, zekhw::MifhCqpWqe* ring,
                        zekhw::MifhCqpHostContext* host_context, std::uint64_t ring_pa, std::uint64_t host_context_pa,
                        std::uint32_t wqe_count);
// Hands the host context to the adapter and waits (bounded) for status bit 8.
// MIFH_STATUS_SUCCESS; MIFH_STATUS_INVALID_ID for an id that is not F or
// F + 8; MIFH_STATUS_FAIL when the adapter does not answer.
ZekStatus mifh_cqp_create(MifhCqpObject* cqp, std::uint32_t cqp_id);
// Posts the destroy request and waits (bounded) for status bit 8 to clear.
// MIFH_STATUS_SUCCESS; MIFH_STATUS_NO_WQE when the ring has no slot;
// MIFH_STATUS_FAIL when the adapter does not answer.
ZekStatus mifh_cqp_destroy(MifhCqpObject* cqp);
// Returns the ring, the host context and the object to their pools (a CQP
// that mifh_cqp_allocate built); frees the lock block and any pending
// request still held.
ZekStatus mifh_free_cqp_object(MifhCqpObject* cqp);

// The slot at the head (the head moves on), or null when the ring is full or
// requests are pending. Call between the CQP's lock routines.
zekhw::MifhCqpWqe* mifh_cqp_get_next_send_wqe(MifhCqpObject* cqp);
// Announces count requests through register 0x40 (doorbell.h), at most 255
// a write; always MIFH_STATUS_SUCCESS.
ZekStatus mifh_wqe_doorbell(MifhCqpObject* cqp, std::uint32_t count);

// Posts one request (its CQP-object field is filled here) with the protocol
// above; the CQP's release routine runs exactly once. `caller` names the
// operation in the messages. MIFH_STATUS_SUCCESS when on the ring or held;
// MIFH_STATUS_NO_WQE (failing, no slot); MIFH_STATUS_NO_MEMORY (queueing,
// no pending buffer: the request is refused, never written); or the
// status of the CQP's acquire routine when the lock cannot be taken.
ZekStatus mifh_cqp_post(MifhCqpObject* cqp, const zekhw::MifhCqpWqe* wqe, MifhPostMode mode, const char* caller);
// The no-op request (failing when no slot).
ZekStatus mifh_cqp_nop(MifhCqpObject* cqp);

// Moves pending requests onto the ring while it has room, oldest first;
// returns the release routine's status.
ZekStatus mifh_free_CQPPendQ_buffer(MifhCqpObject* cqp);

// Tail of the CQP ring as the CCQ processing last left it.
std::uint32_t mifh_cqp_tail(const MifhCqpObject* cqp);
void mifh_cqp_advance_tail(MifhCqpObject* cqp, std::uint32_t count);

// Makes a completion context that its owner gives up on (a wait that timed
// out, a context on a returning stack frame) unreachable: every ring slot
// and every pending request that names it forgets it, and a completion
// already running on it is waited for. Takes the CQP lock.
void mifh_cqp_forget_context(MifhCqpObject* cqp, const MifhCqpCompletionContext* context);
// For the CCQ processing, under the CQP lock: takes the context of ring
// slot `slot` (clearing the slot) and names it as completing; null when the
// slot has none. mifh_cqp_context_done ends the completion.
MifhCqpCompletionContext* mifh_cqp_take_context(MifhCqpObject* cqp, std::uint32_t slot);
void mifh_cqp_context_done(MifhCqpObject* cqp);

// The bring-up waits of the control queues for their status bits (the CCQ's
// bit 9, the control CEQ's bit 11): rounds of a 1 ms delay. A board answers
// within microseconds; the bound only ends the wait on one that never will.
// It is 5 s, not 10 ms: ten 1 ms rounds fail the bring-up whenever the
// adapter's work is not scheduled within 10 ms (a simulated adapter's engine
// thread on a loaded machine), though nothing is wrong.
inline constexpr std::uint32_t MIFH_CONTROL_QUEUE_WAIT_ROUNDS = 5000;
inline constexpr std::uint32_t MIFH_CONTROL_QUEUE_WAIT_US = 1000;
