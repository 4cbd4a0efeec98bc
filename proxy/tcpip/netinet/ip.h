// The wire formats of the Internet protocols below TCP: the IPv4 header and
// its options (RFC 791), ICMP (RFC 792), UDP (RFC 768), IGMP versions 1 and
// 2 (RFC 1112, RFC 2236) and ARP for IPv4 over Ethernet (RFC 826).
//
// The records are packed: a header may sit at any byte of a buffer (behind
// a 14-byte Ethernet header, inside an ICMP quote).
//
// Inside the stack, once IP input has checked a received header, its total
// length holds the length of the data behind the header and the fragment
// field the byte offset, both in host order; IP output takes them in host
// order too and turns them to network order when the packet leaves.
#pragma once

#include <cstddef>
#include <cstdint>

#include "proxy/tcpip/sockaddr.h"

namespace zektcp {

// ---- IPv4 -------------------------------------------------------------------------------------
struct __attribute__((packed)) ip {
  std::uint8_t ip_vhl;  // version (4) and header length in 32-bit words
  std::uint8_t ip_tos;
  std::uint16_t ip_len;
  std::uint16_t ip_id;
  std::uint16_t ip_off;
  std::uint8_t ip_ttl;
  std::uint8_t ip_p;
  std::uint16_t ip_sum;
  in_addr ip_src;
  in_addr ip_dst;
};
static_assert(sizeof(ip) == 20);

inline constexpr int IPVERSION = 4;
inline constexpr int IP_MAXPACKET = 65535;
inline constexpr std::uint8_t IPDEFTTL = 64;
inline constexpr std::uint16_t IP_RF = 0x8000;
inline constexpr std::uint16_t IP_DF = 0x4000;
inline constexpr std::uint16_t IP_MF = 0x2000;
inline constexpr std::uint16_t IP_OFFMASK = 0x1FFF;

inline int IP_VHL_HL(std::uint8_t vhl) { return vhl & 0x0F; }
inline int IP_VHL_V(std::uint8_t vhl) { return vhl >> 4; }
inline std::uint8_t IP_VHL_BORING() { return 0x45; }
inline int ip_hlen(const ip* h) { return IP_VHL_HL(h->ip_vhl) << 2; }

// Protocol numbers.
inline constexpr int IPPROTO_IP = 0;
inline constexpr int IPPROTO_ICMP = 1;
inline constexpr int IPPROTO_IGMP = 2;
inline constexpr int IPPROTO_IPIP = 4;
inline constexpr int IPPROTO_TCP = 6;
inline constexpr int IPPROTO_UDP = 17;
inline constexpr int IPPROTO_RSVP = 46;
inline constexpr int IPPROTO_GRE = 47;
inline constexpr int IPPROTO_MOBILE = 55;
inline constexpr int IPPROTO_RAW = 255;
inline constexpr int IPPROTO_MAX = 256;

// Options (RFC 791).
inline constexpr int IPOPT_EOL = 0;
inline constexpr int IPOPT_NOP = 1;
inline constexpr int IPOPT_RR = 7;
inline constexpr int IPOPT_TS = 68;
inline constexpr int IPOPT_SECURITY = 130;
inline constexpr int IPOPT_LSRR = 131;
inline constexpr int IPOPT_SSRR = 137;
inline constexpr int IPOPT_RA = 148;  // router alert (RFC 2113)
inline constexpr int IPOPT_OPTVAL = 0;
inline constexpr int IPOPT_OLEN = 1;
inline constexpr int IPOPT_OFFSET = 2;
inline constexpr int IPOPT_MINOFF = 4;
inline constexpr int MAX_IPOPTLEN = 40;
inline bool IPOPT_COPIED(int o) { return (o & 0x80) != 0; }
// Timestamp option flags.
inline constexpr int IPOPT_TS_TSONLY = 0;
inline constexpr int IPOPT_TS_TSANDADDR = 1;
inline constexpr int IPOPT_TS_PRESPEC = 3;

// ---- UDP --------------------------------------------------------------------------------------
struct __attribute__((packed)) udphdr {
  std::uint16_t uh_sport;
  std::uint16_t uh_dport;
  std::uint16_t uh_ulen;
  std::uint16_t uh_sum;
};
static_assert(sizeof(udphdr) == 8);

// The IP and UDP headers as one block (the UDP output builds both at once).
struct __attribute__((packed)) udpiphdr {
  ip ui_i;
  udphdr ui_u;
};
static_assert(sizeof(udpiphdr) == 28);

// ---- ICMP -------------------------------------------------------------------------------------
inline constexpr std::uint8_t ICMP_ECHOREPLY = 0;
inline constexpr std::uint8_t ICMP_UNREACH = 3;
inline constexpr std::uint8_t ICMP_SOURCEQUENCH = 4;
inline constexpr std::uint8_t ICMP_REDIRECT = 5;
inline constexpr std::uint8_t ICMP_ECHO = 8;
inline constexpr std::uint8_t ICMP_ROUTERADVERT = 9;
inline constexpr std::uint8_t ICMP_ROUTERSOLICIT = 10;
inline constexpr std::uint8_t ICMP_TIMXCEED = 11;
inline constexpr std::uint8_t ICMP_PARAMPROB = 12;
inline constexpr std::uint8_t ICMP_TSTAMP = 13;
inline constexpr std::uint8_t ICMP_TSTAMPREPLY = 14;
inline constexpr std::uint8_t ICMP_IREQ = 15;
inline constexpr std::uint8_t ICMP_IREQREPLY = 16;
inline constexpr std::uint8_t ICMP_MASKREQ = 17;
inline constexpr std::uint8_t ICMP_MASKREPLY = 18;
inline constexpr std::uint8_t ICMP_MAXTYPE = 18;

inline constexpr std::uint8_t ICMP_UNREACH_NET = 0;
inline constexpr std::uint8_t ICMP_UNREACH_HOST = 1;
inline constexpr std::uint8_t ICMP_UNREACH_PROTOCOL = 2;
inline constexpr std::uint8_t ICMP_UNREACH_PORT = 3;
inline constexpr std::uint8_t ICMP_UNREACH_NEEDFRAG = 4;
inline constexpr std::uint8_t ICMP_UNREACH_SRCFAIL = 5;

inline constexpr int ICMP_MINLEN = 8;         // the fixed part
inline constexpr int ICMP_TSLEN = 8 + 3 * 4;  // a timestamp message
inline constexpr int ICMP_MASKLEN = 12;
inline constexpr int ICMP_ADVLENMIN = 8 + 20 + 8;  // an error with its smallest quote

// The ICMP header and the type-dependent words that this stack reads and
// writes; the quoted header of an error follows the first 8 bytes.
struct __attribute__((packed)) icmp {
  std::uint8_t icmp_type;
  std::uint8_t icmp_code;
  std::uint16_t icmp_cksum;
  union __attribute__((packed)) {
    std::uint8_t ih_pptr;  // parameter problem: the offending byte
    in_addr ih_gwaddr;     // redirect: the new gateway
    struct __attribute__((packed)) {
      std::uint16_t icd_id;
      std::uint16_t icd_seq;
    } ih_idseq;  // echo and timestamp
    struct __attribute__((packed)) {
      std::uint16_t ipm_void;
      std::uint16_t ipm_nextmtu;
    } ih_pmtu;  // fragmentation needed (RFC 1191)
    std::uint32_t ih_void;
  } icmp_hun;
  union __attribute__((packed)) {
    struct __attribute__((packed)) {
      std::uint32_t its_otime;
      std::uint32_t its_rtime;
      std::uint32_t its_ttime;
    } id_ts;
    ip id_ip;  // the quoted header of an error
    std::uint32_t id_mask;
    std::uint8_t id_data[1];
  } icmp_dun;
};
inline constexpr std::size_t ICMP_QUOTE_OFFSET = 8;
static_assert(offsetof(icmp, icmp_dun) == ICMP_QUOTE_OFFSET);

// ---- IGMP -------------------------------------------------------------------------------------
struct __attribute__((packed)) igmp {
  std::uint8_t igmp_type;
  std::uint8_t igmp_code;  // the maximum response time, in tenths of a second
  std::uint16_t igmp_cksum;
  in_addr igmp_group;
};
static_assert(sizeof(igmp) == 8);
inline constexpr int IGMP_MINLEN = 8;
inline constexpr std::uint8_t IGMP_MEMBERSHIP_QUERY = 0x11;
inline constexpr std::uint8_t IGMP_V1_MEMBERSHIP_REPORT = 0x12;
inline constexpr std::uint8_t IGMP_V2_MEMBERSHIP_REPORT = 0x16;
inline constexpr std::uint8_t IGMP_V2_LEAVE_GROUP = 0x17;

// ---- ARP for IPv4 over Ethernet ---------------------------------------------------------------
inline constexpr std::uint16_t ARPHRD_ETHER = 1;
inline constexpr std::uint16_t ARPHRD_IEEE802 = 6;
inline constexpr std::uint16_t ARPHRD_ARCNET = 7;
inline constexpr std::uint16_t ARPOP_REQUEST = 1;
inline constexpr std::uint16_t ARPOP_REPLY = 2;

struct __attribute__((packed)) arphdr {
  std::uint16_t ar_hrd;
  std::uint16_t ar_pro;
  std::uint8_t ar_hln;
  std::uint8_t ar_pln;
  std::uint16_t ar_op;
};
static_assert(sizeof(arphdr) == 8);

// The 28-byte request or reply (hardware length 6, protocol length 4).
struct __attribute__((packed)) ether_arp {
  arphdr ea_hdr;
  std::uint8_t arp_sha[6];
  std::uint8_t arp_spa[4];
  std::uint8_t arp_tha[6];
  std::uint8_t arp_tpa[4];
};
static_assert(sizeof(ether_arp) == 28);

}  // namespace zektcp
