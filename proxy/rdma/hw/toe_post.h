// TCP-offload (TOE) queue pairs on the driver's side: the queue pair's
// memory, its host context (the offload form, built from the exported TCP
// state), its creation and destruction through the control queue pair, the
// posting of send and receive buffers as 128-byte TOE work requests
// (include/hw/toe.h), and the reading of their completions.
//
// Posting: a request's buffers go four to a work request, in order; each
// work request gets its own doorbell write (sends (1 << 24) | 0x800000 | QP
// id, receives (1 << 24) | QP id, register 0x40). The rings keep one slot
// free. The free count is checked before anything is written and only the
// poster moves a ring's head, so a request is posted whole or not at all:
// never a part of its buffers with the rest lost.
//
// Completions: the adapter completes every TOE work request with one 32-byte
// entry in the queue pair's CQ (the send and the receive queue share one);
// the entries of one queue come in posting order, so reading one moves that
// queue's tail by one.
#pragma once

#include <cstdint>

#include "include/hw/toe.h"
#include "include/zek/mifh.h"
#include "include/zek/toe_state.h"
#include "proxy/rdma/hw/qp.h"

// One buffer of a TOE request (24 bytes): its physical address and length.
struct MifhToeBufferEntry {
  std::uint64_t Address;
  std::uint32_t Length;
  std::uint32_t Reserved12;
  std::uint64_t Reserved16;
};
static_assert(sizeof(MifhToeBufferEntry) == 24);
static_assert(offsetof(MifhToeBufferEntry, Length) == 8);

// A send request: the buffers, their count and total length, and four flag
// bytes carried into word 0 (f0 bit 21, f1 bits 22-29, f2 bit 30, f3 bit 31).
struct MifhToeSendRequest {
  const MifhToeBufferEntry* Buffers;
  std::uint32_t BufferCount;
  std::uint32_t TotalLength;
  std::uint8_t Flags[4];
};

// Work requests a request of `buffers` buffers takes.
constexpr std::uint32_t mifh_toe_wqes_for(std::uint32_t buffers) {
  return (buffers + zekhw::kToeMaxBuffers - 1) / zekhw::kToeMaxBuffers;
}

// A send of no buffers posts one request of byte count 0, which the adapter
// takes as the end of the stream (the shutdown of the send side); a receive
// of no buffers posts nothing.
//
// MIFH_STATUS_SUCCESS; MIFH_STATUS_NO_WQE
// when the ring has fewer free slots than the request needs (nothing
// posted); MIFH_STATUS_FAIL for a bad queue pair or a missing buffer list;
// MIFH_STATUS_INVALID_COUNT when the buffer lengths do not add up to the
// total length (the adapter would refuse the request).
ZekStatus mifh_toe_send(MifhQpObject* qp, const MifhToeSendRequest* request, std::uint64_t context);
ZekStatus mifh_toe_recv(MifhQpObject* qp, const MifhToeBufferEntry* buffers, std::uint64_t context,
                        std::uint32_t buffer_count, std::uint32_t total_length);
// Announces one send work request: (1 << 24) | 0x800000 | QP id to register
// 0x40. MIFH_STATUS_SUCCESS.
ZekStatus mifh_toe_qp_post_sq(MifhQpObject* qp);

// The queue pair's memory: mifh_toe_qp_allocate and mifh_free_toe_sq (qp.h).
// Writes the host context in its offload form from the exported state; both
// queues complete into `cq_id`; `local_address_index` names the adapter's
// destination-IP entry of the connection's local address.
ZekStatus mifh_toe_qp_setcontext(MifhQpObject* qp, ZekToeStateBlock* state, std::uint16_t cq_id,
                                 std::uint8_t local_address_index);
// Control requests (queueing when the ring has no slot). Create: the QP id
// from the iWARP range, else MIFH_STATUS_INVALID_ID. Destroy: op word 0x4002.
ZekStatus mifh_toe_qp_create(MifhQpObject* qp, std::uint32_t qp_id, MifhCqpCompletionContext* context);
ZekStatus mifh_toe_qp_destroy(MifhQpObject* qp, MifhCqpCompletionContext* context);

// The next completion of a TOE queue pair's CQ into *out, given back to the
// adapter: MIFH_STATUS_SUCCESS; IWARP_STATUS_CQ_EMPTY when none is waiting;
// MIFH_STATUS_CQ_ERROR for a bad argument. An entry that names another
// queue pair, or a queue with nothing in flight, is logged and skipped.
ZekStatus mifh_toe_cq_poll(MifhCqObject* cq, MifhQpObject* qp, zekhw::MifhToeCqe* out);
