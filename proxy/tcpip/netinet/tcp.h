// The TCP header and its options as they travel (RFC 9293, RFC 7323), the
// sequence-number comparisons (modulo 2^32) and the connection states.
// Inside the stack, once TCP input has checked a segment, its sequence,
// acknowledgement, window and urgent fields are in host order.
#pragma once

#include <cstdint>

#include "proxy/tcpip/netinet/ip.h"

namespace zektcp {

using tcp_seq = std::uint32_t;

struct __attribute__((packed)) tcphdr {
  std::uint16_t th_sport;
  std::uint16_t th_dport;
  tcp_seq th_seq;
  tcp_seq th_ack;
  std::uint8_t th_x2off;  // data offset in 32-bit words (high four bits)
  std::uint8_t th_flags;
  std::uint16_t th_win;
  std::uint16_t th_sum;
  std::uint16_t th_urp;
};
static_assert(sizeof(tcphdr) == 20);

inline int th_off(const tcphdr* th) { return th->th_x2off >> 4; }

// The IP and TCP headers of a segment without IP options, back to back.
struct __attribute__((packed)) tcpiphdr {
  ip ti_i;
  tcphdr ti_t;
};
static_assert(sizeof(tcpiphdr) == 40);

inline constexpr std::uint8_t TH_FIN = 0x01;
inline constexpr std::uint8_t TH_SYN = 0x02;
inline constexpr std::uint8_t TH_RST = 0x04;
inline constexpr std::uint8_t TH_PUSH = 0x08;
inline constexpr std::uint8_t TH_ACK = 0x10;
inline constexpr std::uint8_t TH_URG = 0x20;
inline constexpr std::uint8_t TH_FLAGS = 0x3F;

// Options.
inline constexpr int TCPOPT_EOL = 0;
inline constexpr int TCPOPT_NOP = 1;
inline constexpr int TCPOPT_MAXSEG = 2;
inline constexpr int TCPOLEN_MAXSEG = 4;
inline constexpr int TCPOPT_WINDOW = 3;
inline constexpr int TCPOLEN_WINDOW = 3;
inline constexpr int TCPOPT_TIMESTAMP = 8;
inline constexpr int TCPOLEN_TIMESTAMP = 10;
inline constexpr int TCPOLEN_TSTAMP_APPA = 12;  // with two NOPs in front
inline constexpr int TCPOPT_CC = 11;
inline constexpr int TCPOPT_CCNEW = 12;
inline constexpr int TCPOPT_CCECHO = 13;
inline constexpr int TCPOLEN_CC = 6;
inline constexpr int TCP_MAX_WINSHIFT = 14;
inline constexpr int TCP_MAXOLEN = 40;
inline constexpr std::uint32_t TCP_MAXWIN = 65535;

// ---- Sequence numbers ----------------------------------------------------------------------
inline bool SEQ_LT(tcp_seq a, tcp_seq b) { return static_cast<std::int32_t>(a - b) < 0; }
inline bool SEQ_LEQ(tcp_seq a, tcp_seq b) { return static_cast<std::int32_t>(a - b) <= 0; }
inline bool SEQ_GT(tcp_seq a, tcp_seq b) { return static_cast<std::int32_t>(a - b) > 0; }
inline bool SEQ_GEQ(tcp_seq a, tcp_seq b) { return static_cast<std::int32_t>(a - b) >= 0; }
inline tcp_seq SEQ_MAX(tcp_seq a, tcp_seq b) { return SEQ_GT(a, b) ? a : b; }
inline tcp_seq SEQ_MIN(tcp_seq a, tcp_seq b) { return SEQ_LT(a, b) ? a : b; }

// ---- Connection states -------------------------------------------------------------------------
enum : std::uint32_t {
  TCPS_CLOSED = 0,
  TCPS_LISTEN = 1,
  TCPS_SYN_SENT = 2,
  TCPS_SYN_RECEIVED = 3,
  TCPS_ESTABLISHED = 4,
  TCPS_CLOSE_WAIT = 5,
  TCPS_FIN_WAIT_1 = 6,
  TCPS_CLOSING = 7,
  TCPS_LAST_ACK = 8,
  TCPS_FIN_WAIT_2 = 9,
  TCPS_TIME_WAIT = 10,
};
inline constexpr int TCP_NSTATES = 11;
inline bool TCPS_HAVERCVDSYN(std::uint32_t s) { return s >= TCPS_SYN_RECEIVED; }
inline bool TCPS_HAVEESTABLISHED(std::uint32_t s) { return s >= TCPS_ESTABLISHED; }
inline bool TCPS_HAVERCVDFIN(std::uint32_t s) {
  return s == TCPS_CLOSE_WAIT || s == TCPS_CLOSING || s == TCPS_LAST_ACK || s == TCPS_TIME_WAIT;
}

}  // namespace zektcp
