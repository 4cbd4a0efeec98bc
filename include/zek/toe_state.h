// The offload state block: the TCP state of a host-stack connection that
// the offload bridge exports (proxy/tcpip/offload.h) when the adapter takes
// the connection over, and that the queue-pair context writer
// (mifh_iwarp_qp_setcontext, proxy/rdma/hw/qp.h) packs into words 6-35 of
// the offload form of a queue pair's host context. It lives inside the
// socket (224 bytes): nine flag bytes, three padding bytes, then 53 u32
// words. Word n (1-53) is at byte 12 + 4 (n - 1); the context writer names
// each value by that byte offset.
//
// Who writes what: the bridge fills the TCP values from the connection's
// control block; the hand-over of an iWARP queue pair writes the addresses,
// ports, ARP indexes and the connection-hash index; the TOE road writes
// them from the connection itself.
//
// Decisions where the block's description leaves room:
// - Flag byte 4 (context flag bit 20, "timestamps") is set when the
//   connection carries RFC 7323 timestamps, so that the adapter goes on
//   sending and checking them; the other flag bytes keep their initial
//   values (1, 1, 0, 1, 0, 0, 0, 1, 0).
// - Values are host-order numbers: sequence numbers, windows (bytes),
//   cwnd and ssthresh as the control block holds them; srtt in stack ticks
//   x 8; the retransmission time-out in whole seconds.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::uint32_t ZEK_TOE_STATE_BYTES = 224;
inline constexpr std::uint8_t ZEK_TOE_INITIAL_FLAGS[9] = {1, 1, 0, 1, 0, 0, 0, 1, 0};
inline constexpr unsigned ZEK_TOE_FLAG_TIMESTAMPS = 4;  // flag byte index

struct ZekToeStateBlock {
  std::uint8_t Flags[9];
  std::uint8_t Pad[3];
  std::uint32_t DupAckCount;        // word 1
  std::uint32_t Reserved2[2];       // words 2-3
  std::uint32_t ArpIndex;           // word 4: the peer's ARP index (context word 6 bits 16-23)
  std::uint32_t LocalPort;          // word 5
  std::uint32_t RemotePort;         // word 6
  std::uint32_t RemoteAddress;      // word 7
  std::uint32_t Reserved8[3];       // words 8-10
  std::uint32_t SndMss;             // word 11
  std::uint32_t Reserved12;         // word 12
  std::uint32_t AdapterArpIndex;    // word 13: the peer's entry in the adapter's ARP table
  std::uint32_t ConnState;          // word 14: the TCP state + 1 (1 at creation)
  std::uint32_t Zero15;             // word 15
  std::uint32_t SndWndShift;        // word 16
  std::uint32_t RcvWndShift;        // word 17
  std::uint32_t KeepaliveProbes;    // word 18
  std::uint32_t KeepaliveInterval;  // word 19: ticks (75 s at creation)
  std::uint32_t Reserved20;         // word 20
  std::uint32_t TsRecent;           // word 21
  std::uint32_t TsRecentAge;        // word 22
  std::uint32_t SndNxt;             // word 23
  std::uint32_t SndWnd;             // word 24
  std::uint32_t RcvNxt;             // word 25
  std::uint32_t RcvWnd;             // word 26
  std::uint32_t SndMax;             // word 27
  std::uint32_t SndUna;             // word 28
  std::uint32_t Srtt;               // word 29
  std::uint32_t TwelveSeconds;      // word 30: 12 x ticks per second
  std::uint32_t Ssthresh;           // word 31
  std::uint32_t SndCwnd;            // word 32
  std::uint32_t SndWl1;             // word 33
  std::uint32_t SndWl2;             // word 34
  std::uint32_t MaxSndWindow;       // word 35
  std::uint32_t Reserved36;         // word 36
  std::uint32_t RtoCount;           // word 37: retransmission time-outs & 0x3F
  std::uint32_t RtoSeconds;         // word 38
  std::uint32_t Reserved39[2];      // words 39-40
  std::uint32_t HashIndex;          // word 41: connection-hash index
  std::uint32_t Reserved42;         // word 42
  std::uint32_t FlagWord;           // word 43: 1 at creation
  std::uint32_t Reserved44[10];     // words 44-53
};

// Byte offset of word n (1-53).
constexpr std::size_t ZekToeWordOffset(unsigned n) { return 12 + 4 * (n - 1); }

static_assert(sizeof(ZekToeStateBlock) == ZEK_TOE_STATE_BYTES);
static_assert(offsetof(ZekToeStateBlock, DupAckCount) == ZekToeWordOffset(1));
static_assert(offsetof(ZekToeStateBlock, ArpIndex) == ZekToeWordOffset(4));
static_assert(offsetof(ZekToeStateBlock, LocalPort) == ZekToeWordOffset(5));
static_assert(offsetof(ZekToeStateBlock, RemotePort) == ZekToeWordOffset(6));
static_assert(offsetof(ZekToeStateBlock, RemoteAddress) == ZekToeWordOffset(7));
static_assert(offsetof(ZekToeStateBlock, SndMss) == ZekToeWordOffset(11));
static_assert(offsetof(ZekToeStateBlock, AdapterArpIndex) == ZekToeWordOffset(13));
static_assert(offsetof(ZekToeStateBlock, ConnState) == ZekToeWordOffset(14));
static_assert(offsetof(ZekToeStateBlock, SndWndShift) == ZekToeWordOffset(16));
static_assert(offsetof(ZekToeStateBlock, RcvWndShift) == ZekToeWordOffset(17));
static_assert(offsetof(ZekToeStateBlock, KeepaliveProbes) == ZekToeWordOffset(18));
static_assert(offsetof(ZekToeStateBlock, KeepaliveInterval) == ZekToeWordOffset(19));
static_assert(offsetof(ZekToeStateBlock, TsRecent) == ZekToeWordOffset(21));
static_assert(offsetof(ZekToeStateBlock, SndNxt) == ZekToeWordOffset(23));
static_assert(offsetof(ZekToeStateBlock, RcvWnd) == ZekToeWordOffset(26));
static_assert(offsetof(ZekToeStateBlock, SndUna) == ZekToeWordOffset(28));
static_assert(offsetof(ZekToeStateBlock, Srtt) == ZekToeWordOffset(29));
static_assert(offsetof(ZekToeStateBlock, TwelveSeconds) == ZekToeWordOffset(30));
static_assert(offsetof(ZekToeStateBlock, MaxSndWindow) == ZekToeWordOffset(35));
static_assert(offsetof(ZekToeStateBlock, RtoCount) == ZekToeWordOffset(37));
static_assert(offsetof(ZekToeStateBlock, RtoSeconds) == ZekToeWordOffset(38));
static_assert(offsetof(ZekToeStateBlock, HashIndex) == ZekToeWordOffset(41));
static_assert(offsetof(ZekToeStateBlock, FlagWord) == ZekToeWordOffset(43));
static_assert(offsetof(ZekToeStateBlock, Reserved44) + sizeof(ZekToeStateBlock::Reserved44) == ZEK_TOE_STATE_BYTES);
