// The TCP offload bridge: the host stack's side of a connection that leaves
// the host. Either an iWARP queue pair takes the connection over (the
// queue-pair hand-over exports its TCP state with GetTOeSocketState), or
// the connection moves into a TOE queue pair of the adapter
// (ZekSetToeState 170 -> SetSocketState) and the socket's bytes then go
// through TOE work requests (OffLoadSend, OffLoadRecv, OffLoadShutdown).
//
// The offload state word of the TCP control block: OFFLOAD_STATE_ADAPTER
// (170) while the adapter carries the connection (input, output and every
// timer of the stack leave it alone), OFFLOAD_STATE_OFF (85) for a
// connection that must not be offloaded, anything else a plain connection.
//
// Never half offloaded: every road either completes or leaves the
// connection as it was (a host-stack connection, timers running), except
// where the adapter may already have taken it (a creation the adapter did
// not answer in time): then the adapter's objects are destroyed and the
// connection is dropped, so neither side carries a connection the other
// believes in.
//
// Decisions where the bridge's description leaves room or is unsound:
// - The adapter of a connection is the adapter registered for the interface
//   its route leaves by (OffloadAttachAdapter), with the interface's local
//   address index on the adapter and the adapter's ARP index of the peer.
// - A connection whose send buffer still holds bytes the peer has not
//   acknowledged is not handed over (BSD_EWOULDBLOCK, nothing changed): the
//   adapter could not send them again if they were lost. The caller tries
//   again once they are acknowledged.
// - GetTOeSocketState commits the hand-over; the hand-over undoes it with
//   ReleaseTOeSocketState when a later step fails (state 0, mark cleared,
//   timers armed again). The queue pair's adapter use count is the hand-over's
//   own (the bridge does not know that object).
// - SetSocketState's failures return a status (not 0); the TOE queue pair is
//   built here: rings of MIFH_TOE_QP_WQES, its context from the exported
//   state, created and waited for (bounded, OFFLOAD_WAIT_MS).
// - An offloaded send takes what four pages hold (the scatter-gather bound
//   of the mapping) and returns the bytes sent, as a socket send may; a
//   receive first hands over the bytes the stack had already received.
// - A bad handle gives the negated code (-38), not its complement.
// - Waits for the adapter never block forever: a send or receive whose
//   connection is reset, or whose socket is closed, ends with the
//   completion's error; the control waits are bounded.
#pragma once

#include <cstdint>

#include "include/zek/mifh.h"
#include "include/zek/sockets.h"
#include "include/zek/toe_state.h"
#include "proxy/tcpip/socket/socket.h"

namespace zektcp {

struct ifnet;

inline constexpr int OFFLOAD_TAKEN_OVER_ERROR = 39;  // negated: the socket belongs to an iWARP queue pair
inline constexpr int OFFLOAD_BAD_SOCKET = 38;
inline constexpr int OFFLOAD_NOT_CONNECTED = 44;
inline constexpr int OFFLOAD_ALREADY = 70;
inline constexpr int OFFLOAD_ADAPTER_REFUSED = 5;  // EIO: the adapter refused one of the requests
inline constexpr std::uint32_t SET_TOE_STATE_REQUEST = 0xC00469C8;
inline constexpr std::uint32_t MIFH_TOE_QP_WQES = 32;
inline constexpr std::uint32_t MIFH_TOE_CQ_ENTRIES = 64;
inline constexpr std::uint32_t OFFLOAD_WAIT_MS = 5000;
inline constexpr std::uint32_t OFFLOAD_MAX_BUFFERS = 4;  // pages of one offloaded send or receive

// What the bridge needs of an adapter to put a connection on it: the
// device (its CQP, registers, pools), the CEQ the TOE CQ reports to, the
// interface address's entry in the adapter's destination-IP table, and its
// routines for the peer's ARP index and for queue-pair and CQ numbers (the
// local resource manager's). Each routine gets `Context`.
struct ZekToeAdapter {
  MifhDeviceObj* Device;
  std::uint32_t CeqId;
  std::uint8_t LocalAddressIndex;
  void* Context;
  // The adapter's ARP-cache index of `remote` (host order); false when it has none.
  bool (*ArpIndex)(void* context, std::uint32_t remote, std::uint16_t* index);
  bool (*TakeIds)(void* context, std::uint32_t* qp_id, std::uint32_t* cq_id);
  void (*GiveIds)(void* context, std::uint32_t qp_id, std::uint32_t cq_id);
  // Processes the function's control completions while the bridge waits
  // (the miniport's DPC in a host; may be null).
  void (*ControlDrain)(void* context);
  // The adapter's destination-IP index of a local address (host order);
  // false when it has none. Null: LocalAddressIndex serves every connection.
  bool (*AddressIndex)(void* context, std::uint32_t local, std::uint8_t* index);
};

// Registers (or with null, removes) the adapter of an interface; false when
// the table of 16 is full. Takes the socket-call lock. Also makes the socket
// layer release a socket's TOE objects when the socket goes.
bool OffloadAttachAdapter(ifnet* ifp, const ZekToeAdapter* adapter);

// Exports the connection's TCP state for an iWARP queue pair: 0 and the
// block (inside the socket), or a BSD error: OFFLOAD_BAD_SOCKET for a
// handle that is no socket, not connected, shared by two descriptors, or
// already offloaded; BSD_EWOULDBLOCK while unacknowledged bytes wait.
int GetTOeSocketState(int handle, ZekToeStateBlock** block, void* queue_pair, int flag);
// Undoes GetTOeSocketState on a connection the adapter never took: 0, or
// OFFLOAD_BAD_SOCKET when the handle's connection is not one it exported.
int ReleaseTOeSocketState(int handle);
// A connection whose two ends are on this host: the queue pair that took the
// other end over (the socket of the other end, found with the ends swapped,
// names it once its own hand-over exported it), or null. Failures are
// logged only ("QuadToQP:...").
void* OffloadLoopbackPeer(int handle);
// Bytes the stack received on the connection that its owner has not read
// yet (a hand-over would lose them); -1 when the handle is no socket.
int OffloadUnreadBytes(int handle);
// 1 for a connected stream socket in state 170, else 0.
int IsSocketOffloaded(int handle);
// The TOE-state socket request: argument byte 170 (offload: SetSocketState's
// result) or 85 (never: 0); another byte 1; not connected
// OFFLOAD_NOT_CONNECTED; already offloaded OFFLOAD_ALREADY; no socket
// OFFLOAD_BAD_SOCKET; a socket that is not a stream socket BSD_EOPNOTSUPP.
int ZekSetToeState(int handle, const void* argument);
// Moves a connected socket into a TOE queue pair: 0, or a BSD error with
// the connection as it was (see above).
int SetSocketState(int handle, std::uint32_t state, std::uint32_t unused, void* unused_pointer);
// The offload-aware data calls: bytes, or a negated code.
int OffLoadSend(int handle, const void* buffer, std::uint32_t length, int flags, int user_buffer);
int OffLoadRecv(int handle, void* buffer, std::uint32_t length, int flags, int user_buffer);
int OffLoadShutdown(int handle, int how, int unused, int handle_again);
// Destroys the socket's TOE queue pair and then its CQ (the completion
// routine AsyncToeCloseSocketCallback frees them): 0, or 1 without one.
int OffloadFreeToeSocket(socket* so);
// Reads the TOE CQ's completions and completes the requests they end: the
// completion processing calls it for the CQ's event; safe at DISPATCH_LEVEL.
void OffloadToeCqEvent(MifhCqObject* cq);
// Whether a CQ is a live TOE connection's (the bottom half's choice between
// OffloadToeCqEvent and the verbs CQ's callback).
bool OffloadIsToeCq(const MifhCqObject* cq);

// The offload-aware socket calls (the kernel socket-call table's slots 8,
// 11, 14 and 22, and the socket requests): the offloaded connection's call
// for a socket IsSocketOffloaded names, the stack's otherwise. The shutdown
// of a connection an iWARP queue pair took over is the stack's. The ioctl
// serves the TOE-state request (ZekSetToeState, its code negated).
int RecvOrOffLoadRecv(int s, void* buffer, int length, int flags);
int SendOrOffLoadSend(int s, const void* buffer, int length, int flags);
int ShutdownOrOffLoadShutdown(int s, int how);
int IoctlOrToeState(int s, std::uint32_t request, void* argument);
// The stack's kernel socket-call table with the offload-aware slots.
const ZekKernelSocketTable* OffloadKernelSocketTable();

}  // namespace zektcp
