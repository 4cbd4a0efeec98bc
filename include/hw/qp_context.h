// The iWARP queue-pair host context (the first 176 bytes of the QP's 8 KB
// page-aligned host context) that the adapter reads at create and modify, in
// its two forms: without offload (the connection named by ports and the
// connection-hash index) and with offload (the exported TCP state). The NIC
// context is in nic.h. Little-endian u32 words.
//
// Decisions both sides keep (docs/hardware.md, "Queue-pair contexts"):
// - Bytes 4-7 hold the two CQ ids of the queue pair: the send queue's in
//   bits 0-15, the receive queue's in bits 16-31 (0 unless the context
//   attributes say they are valid).
// - Word 40 keeps the two attribute values the verbs give (bits 0-15 and
//   16-24) and the flag bits 25-31; the adapter does not read CQ ids there.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zekhw {

inline constexpr std::uint32_t kIwarpCtxFlagsNoOffload = 0x80008018;
inline constexpr std::uint32_t kIwarpCtxFlagsOffload = 0x80008010;
inline constexpr std::uint32_t kIwarpCtxBytes = 176;
inline constexpr std::uint32_t kQpHostContextBytes = 8192;

#pragma pack(push, 1)
struct alignas(8) MifhIwarpQpContext {
  std::uint32_t flags;     // word 0
  std::uint16_t sq_cq_id;  // bytes 4-5
  std::uint16_t rq_cq_id;  // bytes 6-7
  std::uint64_t sq_pa;     // bytes 8-15
  std::uint64_t rq_pa;     // bytes 16-23
  std::uint32_t conn[30];  // words 6-35: connection state (form by the flags)
  std::uint64_t q2_pa;     // bytes 144-151
  std::uint32_t word38;
  std::uint32_t word39;
  std::uint32_t word40;
  std::uint32_t word41;
  std::uint64_t qp_object;  // bytes 168-175
};
#pragma pack(pop)
static_assert(alignof(MifhIwarpQpContext) == 8);
static_assert(sizeof(MifhIwarpQpContext) == kIwarpCtxBytes);
static_assert(offsetof(MifhIwarpQpContext, flags) == 0);
static_assert(offsetof(MifhIwarpQpContext, sq_cq_id) == 4);
static_assert(offsetof(MifhIwarpQpContext, rq_cq_id) == 6);
static_assert(offsetof(MifhIwarpQpContext, sq_pa) == 8);
static_assert(offsetof(MifhIwarpQpContext, rq_pa) == 16);
static_assert(offsetof(MifhIwarpQpContext, conn) == 24);
static_assert(offsetof(MifhIwarpQpContext, q2_pa) == 144);
static_assert(offsetof(MifhIwarpQpContext, word38) == 152);
static_assert(offsetof(MifhIwarpQpContext, word39) == 156);
static_assert(offsetof(MifhIwarpQpContext, word40) == 160);
static_assert(offsetof(MifhIwarpQpContext, word41) == 164);
static_assert(offsetof(MifhIwarpQpContext, qp_object) == 168);

// Word n of the context (n = 6..35) is conn[n - 6].
constexpr unsigned ctx_conn(unsigned word) { return word - 6; }

// Flag word fields shared by both forms.
inline constexpr unsigned kIwarpCtxEfbShift = 6;
inline constexpr unsigned kIwarpCtxRqSizeShift = 8;
inline constexpr unsigned kIwarpCtxSqSizeShift = 10;
inline constexpr unsigned kIwarpCtxDeviceShift = 12;
inline constexpr std::uint32_t kIwarpCtxOffloadBit = 1u << 3;  // clear in the offload constant

// Queue-pair states of the modify request (bits 28-30).
inline constexpr unsigned kQpStateShift = 28;
inline constexpr std::uint32_t kQpStateMask = 7;
enum QpState : std::uint8_t {
  kQpIdle = 1,
  kQpRts = 2,
  kQpClosing = 3,
  kQpTerminate = 5,
  kQpError = 6,
};

// ---------------------------------------------------------------------------
// The offload form of words 6-35: the TCP connection the host hands over,
// word by word as the context writer packs the exported TCP state. Addresses
// and ports are host-order values (192.0.2.1 is 0xC0000201); sequence
// numbers, windows, cwnd and ssthresh are bytes; srtt is in host-stack ticks
// scaled by 8; the tick rate is word 30 / 12 (word 30 holds 12 seconds in
// ticks).
//
// Flags the adapter reads in word 0 of the offload form: bit 19 window
// scaling in use (set by the writer when either shift is non-zero), bit 20
// timestamps in use. Word 41 is the MPA mode of the connection
// (kMpaMode* below): the outcome of the start-up frames.
inline constexpr std::uint32_t kIwarpCtxWindowScaling = 1u << 19;
inline constexpr std::uint32_t kIwarpCtxTimestamps = 1u << 20;

inline constexpr std::uint32_t kMpaModeRdma = 1u << 0;            // FPDUs (else the stream stays raw)
inline constexpr std::uint32_t kMpaModeCrc = 1u << 1;             // CRC in both directions
inline constexpr std::uint32_t kMpaModeSendMarkers = 1u << 2;     // the peer asked for markers
inline constexpr std::uint32_t kMpaModeReceiveMarkers = 1u << 3;  // this side asked for markers

struct MifhOffloadTcpState {
  std::uint8_t local_address_index = 0;  // the adapter's destination-IP entry (idx 0x400 + 16 n)
  std::uint16_t arp_index = 0;           // the adapter's ARP cache entry of the next hop
  std::uint32_t remote_address = 0;
  std::uint16_t local_port = 0, remote_port = 0;
  std::uint16_t snd_mss = 0;
  std::uint8_t conn_state = 0;  // the stack's state + 1 (4 bits)
  std::uint8_t snd_wnd_shift = 0, rcv_wnd_shift = 0;
  std::uint8_t device_value = 0;
  std::uint16_t keepalive_interval = 0;  // ticks
  std::uint8_t keepalive_probes = 0;
  std::uint32_t ts_recent = 0, ts_recent_age = 0;
  std::uint32_t snd_nxt = 0, snd_wnd = 0, rcv_nxt = 0, rcv_wnd = 0, snd_max = 0, snd_una = 0;
  std::uint32_t srtt = 0;            // ticks x 8
  std::uint32_t twelve_seconds = 0;  // 12 x ticks per second
  std::uint32_t ssthresh = 0, snd_cwnd = 0, snd_wl1 = 0, snd_wl2 = 0, max_snd_window = 0;
  std::uint16_t rto_count = 0, rto_seconds = 0;
  std::uint32_t hash_index = 0;
};

// Words 6-35 (conn[0..29]) from the state, as the context writer lays them out.
constexpr void pack_offload_connection(const MifhOffloadTcpState& s, std::uint32_t (&conn)[30]) {
  for (auto& w : conn) w = 0;
  conn[ctx_conn(6)] = (std::uint32_t{s.local_address_index} & 0x3F) << 10 | (std::uint32_t{s.arp_index} & 0xFF) << 16;
  conn[ctx_conn(7)] = std::uint32_t{s.remote_port} << 16 | s.local_port;
  conn[ctx_conn(8)] = s.remote_address;
  conn[ctx_conn(12)] = std::uint32_t{s.snd_mss} << 16;
  conn[ctx_conn(13)] = std::uint32_t{s.arp_index} << 16;
  conn[ctx_conn(14)] = std::uint32_t{s.conn_state} << 28;
  conn[ctx_conn(15)] =
      std::uint32_t{s.rcv_wnd_shift} | std::uint32_t{s.snd_wnd_shift} << 8 | std::uint32_t{s.device_value} << 16;
  conn[ctx_conn(16)] = s.keepalive_interval | std::uint32_t{s.keepalive_probes} << 16;
  const std::uint32_t run[] = {s.ts_recent, s.ts_recent_age, s.snd_nxt, s.snd_wnd, s.rcv_nxt,
                               s.rcv_wnd,   s.snd_max,       s.snd_una, s.srtt,    s.twelve_seconds,
                               s.ssthresh,  s.snd_cwnd,      s.snd_wl1, s.snd_wl2, s.max_snd_window};
  for (unsigned i = 0; i < 15; ++i) conn[ctx_conn(17) + i] = run[i];
  conn[ctx_conn(33)] = std::uint32_t{s.rto_count} << 16 | s.rto_seconds;
  conn[ctx_conn(35)] = s.hash_index;
}

constexpr MifhOffloadTcpState unpack_offload_connection(const std::uint32_t (&conn)[30]) {
  MifhOffloadTcpState s;
  s.local_address_index = static_cast<std::uint8_t>((conn[ctx_conn(6)] >> 10) & 0x3F);
  s.remote_port = static_cast<std::uint16_t>(conn[ctx_conn(7)] >> 16);
  s.local_port = static_cast<std::uint16_t>(conn[ctx_conn(7)]);
  s.remote_address = conn[ctx_conn(8)];
  s.snd_mss = static_cast<std::uint16_t>(conn[ctx_conn(12)] >> 16);
  s.arp_index = static_cast<std::uint16_t>(conn[ctx_conn(13)] >> 16);
  s.conn_state = static_cast<std::uint8_t>(conn[ctx_conn(14)] >> 28);
  s.rcv_wnd_shift = static_cast<std::uint8_t>(conn[ctx_conn(15)]);
  s.snd_wnd_shift = static_cast<std::uint8_t>(conn[ctx_conn(15)] >> 8);
  s.device_value = static_cast<std::uint8_t>(conn[ctx_conn(15)] >> 16);
  s.keepalive_interval = static_cast<std::uint16_t>(conn[ctx_conn(16)]);
  s.keepalive_probes = static_cast<std::uint8_t>(conn[ctx_conn(16)] >> 16);
  std::uint32_t* run[] = {&s.ts_recent, &s.ts_recent_age, &s.snd_nxt, &s.snd_wnd, &s.rcv_nxt,
                          &s.rcv_wnd,   &s.snd_max,       &s.snd_una, &s.srtt,    &s.twelve_seconds,
                          &s.ssthresh,  &s.snd_cwnd,      &s.snd_wl1, &s.snd_wl2, &s.max_snd_window};
  for (unsigned i = 0; i < 15; ++i) *run[i] = conn[ctx_conn(17) + i];
  s.rto_count = static_cast<std::uint16_t>(conn[ctx_conn(33)] >> 16);
  s.rto_seconds = static_cast<std::uint16_t>(conn[ctx_conn(33)]);
  s.hash_index = conn[ctx_conn(35)];
  return s;
}

}  // namespace zekhw
