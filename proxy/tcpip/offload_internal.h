// What the bridge's two sources share: the socket of a handle, the export
// of a connection's TCP state, taking a connection from the stack and giving
// it back, and the link record of a TOE connection (kept in its CQ object).
#pragma once

#include <cstdint>

#include "proxy/rdma/hw/cq.h"
#include "proxy/rdma/hw/qp.h"
#include "proxy/tcpip/netinet/tcp_var.h"
#include "proxy/tcpip/offload.h"

namespace zektcp::offload {

// Under the socket-call lock: the socket of a descriptor and its open-file
// record, or null.
socket* socket_of(int handle, file** fp = nullptr);

// Under the socket-call lock: stops the timers and marks the connection the
// adapter's (170); fill_state then exports it.
void take_from_stack(tcp_ctl_block* tp);
// Under the socket-call lock: the connection is the stack's again (state 0,
// timers armed as a live connection needs them).
void give_back_to_stack(tcp_ctl_block* tp);
void fill_state(socket* so, tcp_ctl_block* tp, ZekToeStateBlock* block);

// The TOE connections' CQs, which the bottom half hands to
// OffloadToeCqEvent (OffloadIsToeCq): false when every place is taken.
bool register_toe_cq(MifhCqObject* cq);
void unregister_toe_cq(MifhCqObject* cq);

// The TOE connection's record, in the OwnerArea of its CQ object.
inline constexpr std::uint32_t TOE_LINK_SIGNATURE = 0x4C454F54;  // "TOEL"
struct ToeLink {
  std::uint32_t Signature;
  std::uint32_t QpId;
  std::uint32_t CqId;
  std::uint32_t Reserved;
  socket* So;
  MifhQpObject* Qp;
  MifhCqObject* Cq;
  ZekToeAdapter Adapter;
  // The request in flight in each direction (the caller serialises them).
  std::uint32_t SendWqes, RecvWqes;  // work requests not yet completed
  std::uint32_t SendBytes, RecvBytes;
  std::uint16_t SendStatus, RecvStatus;
  std::uint8_t PeerFinished;  // a receive completed with the end of the stream
  std::uint8_t FinSent;       // the empty send (FIN) was posted
  std::uint8_t Failed;        // a completion carried an error: the connection is gone
  std::uint8_t Reserved2;
};
static_assert(sizeof(ToeLink) <= sizeof(MifhCqObject::OwnerArea));

inline ToeLink* link_of(MifhCqObject* cq) {
  if (cq == nullptr) return nullptr;
  auto* l = reinterpret_cast<ToeLink*>(cq->OwnerArea);
  return l->Signature == TOE_LINK_SIGNATURE ? l : nullptr;
}

}  // namespace zektcp::offload
