// IPv4 itself and the protocols that live beside it without sockets of
// their own: IP input (checks, acceptance, reassembly, options), IP output
// (routing, multicast, checksums, fragmentation), the IP socket options and
// multicast options, the Internet checksum, ICMP, IGMP and the flow cache.
// Everything runs under the socket-call lock.
#pragma once

#include <cstdint>

#include "proxy/tcpip/net/if_ether.h"
#include "proxy/tcpip/net/route.h"
#include "proxy/tcpip/netinet/ip.h"
#include "proxy/tcpip/socket/socket.h"

namespace zektcp {

struct inpcb;
struct in_multi;

// ---- Checksum flags of a packet (pkthdr.csum_flags) ---------------------------------------------
inline constexpr std::int32_t CSUM_IP = 0x1;
inline constexpr std::int32_t CSUM_TCP = 0x2;
inline constexpr std::int32_t CSUM_UDP = 0x4;
inline constexpr std::int32_t CSUM_DELAY_DATA = CSUM_TCP | CSUM_UDP;
inline constexpr std::int32_t CSUM_IP_FRAGS = 0x10;
inline constexpr std::int32_t CSUM_IP_CHECKED = 0x100;
inline constexpr std::int32_t CSUM_IP_VALID = 0x200;
inline constexpr std::int32_t CSUM_DATA_VALID = 0x400;
inline constexpr std::int32_t CSUM_PSEUDO_HDR = 0x800;

// ---- The Internet checksum (RFC 1071) -------------------------------------------------------------
// The one's-complement checksum of the first `len` bytes of a chain (0 on
// success means a correct sum over data that carries its checksum).
std::uint16_t in_cksum_chain(const mbuf* m, int len);
std::uint16_t in_cksum_iphdr(const ip* h);  // a 20-byte header
std::uint16_t in_cksum_bytes(const void* data, int len);
// The checksum of `len` bytes of a chain from `off`, starting from a
// partial sum (in packet byte order, as in_pseudo gives it).
std::uint16_t in_cksum_range(const mbuf* m, int off, int len, std::uint16_t seed);
// The sum of the pseudo header's words, folded (no complement): addresses
// and the protocol and length word, all in network order.
std::uint16_t in_pseudo(std::uint32_t a, std::uint32_t b, std::uint32_t c);
// Completes a delayed TCP or UDP checksum of a packet with its IP header
// (header fields in host order).
void in_cksum_skip(mbuf* m);

// ---- Statistics ----------------------------------------------------------------------------------
struct ipstat {
  std::uint32_t ips_total;
  std::uint32_t ips_badsum;
  std::uint32_t ips_tooshort;
  std::uint32_t ips_toosmall;
  std::uint32_t ips_badhlen;
  std::uint32_t ips_badlen;
  std::uint32_t ips_badvers;
  std::uint32_t ips_badaddr;
  std::uint32_t ips_fragments;
  std::uint32_t ips_fragdropped;
  std::uint32_t ips_fragtimeout;
  std::uint32_t ips_reassembled;
  std::uint32_t ips_delivered;
  std::uint32_t ips_notmember;
  std::uint32_t ips_cantforward;
  std::uint32_t ips_badoptions;
  std::uint32_t ips_toolong;
  std::uint32_t ips_noproto;
  std::uint32_t ips_localout;
  std::uint32_t ips_odropped;
  std::uint32_t ips_noroute;
  std::uint32_t ips_fragmented;
  std::uint32_t ips_ofragments;
  std::uint32_t ips_cantfrag;
  std::uint32_t ips_rawout;
  std::uint32_t ips_forward;
  std::uint32_t ips_badaddr_out;  // 127/8 leaving through an adapter
};
extern ipstat g_ipstat;

// ---- Multicast options of a socket ------------------------------------------------------------------
inline constexpr int IP_MAX_MEMBERSHIPS = 20;
inline constexpr std::uint8_t IP_DEFAULT_MULTICAST_TTL = 1;
inline constexpr std::uint8_t IP_DEFAULT_MULTICAST_LOOP = 1;

struct ip_moptions {
  ifnet* imo_multicast_ifp;
  std::uint8_t imo_multicast_ttl;
  std::uint8_t imo_multicast_loop;
  std::uint16_t imo_num_memberships;
  in_multi* imo_membership[IP_MAX_MEMBERSHIPS];
  std::int32_t imo_multicast_vif;
};

// ---- IP output -------------------------------------------------------------------------------------
inline constexpr int IPOUT_FORWARDED = 0x1;
inline constexpr int IPOUT_RAW = 0x2;
inline constexpr int IPOUT_ROUTE_TO_IF = 0x10;  // the value of SO_DONTROUTE
inline constexpr int IPOUT_ALLOW_BCAST = 0x20;  // the value of SO_BROADCAST

// Sends a packet whose IPv4 header (fields in host order) is at its front.
// `opt` is a socket's options record (first hop, then options), `ro` a
// route cache (null: a temporary one), `imo` multicast options.
int ip_output(mbuf* m, mbuf* opt, route_cache* ro, int flags, ip_moptions* imo);
int ip_optcopy(const ip* from, ip* to);
std::uint16_t ip_next_id();
// Seeds the identification counter from the stack clock (IP start).
void ip_id_init();

// IP-level socket options (level 0).
inline constexpr int IP_OPTIONS = 1;
inline constexpr int IP_HDRINCL = 2;
inline constexpr int IP_TOS = 3;
inline constexpr int IP_TTL = 4;
inline constexpr int IP_RECVOPTS = 5;
inline constexpr int IP_RECVRETOPTS = 6;
inline constexpr int IP_RECVDSTADDR = 7;
inline constexpr int IP_MULTICAST_IF = 9;
inline constexpr int IP_MULTICAST_TTL = 10;
inline constexpr int IP_MULTICAST_LOOP = 11;
inline constexpr int IP_ADD_MEMBERSHIP = 12;
inline constexpr int IP_DROP_MEMBERSHIP = 13;
inline constexpr int IP_MULTICAST_VIF = 14;
inline constexpr int IP_PORTRANGE = 19;
inline constexpr int IP_RECVIF = 20;
inline constexpr int IP_FAITH = 22;
inline constexpr int IP_PORTRANGE_DEFAULT = 0;
inline constexpr int IP_PORTRANGE_HIGH = 1;
inline constexpr int IP_PORTRANGE_LOW = 2;
inline constexpr int IPPROTO_LEVEL_IP = 0;

struct ip_mreq {
  in_addr imr_multiaddr;
  in_addr imr_interface;
};

int ip_sockopt(socket* so, sockopt* opt);
int ip_install_options(int option, mbuf** pcb_opts, mbuf* m);
ifnet* ip_mcast_find_if(std::uint32_t address_network_order, int* ifindex);
int ip_mcast_set_option(sockopt* opt, ip_moptions** imop);
int ip_mcast_get_option(sockopt* opt, ip_moptions* imo);
void ip_mcast_free(ip_moptions* imo);

// ---- IP input ---------------------------------------------------------------------------------------
inline constexpr int IPREASS_NHASH = 64;
inline constexpr int IP_MAXFRAGPACKETS = 320;
// Fragments one datagram may have waiting. Sixteen cannot carry a datagram
// that this stack itself sends and accepts: 65,507 bytes of UDP take 45
// fragments on Ethernet. 64 carries the largest datagram at any MTU from
// 1,044 bytes up and still bounds what one datagram can pin.
inline constexpr int IP_MAXFRAGSPERPACKET = 64;
inline constexpr int IPFRAGTTL = 60;  // slow ticks (30 s)

void ip_init();
void ip_queue_handler();
void ip_input(mbuf* m);
// The Internet protocol-switch entry that receives a protocol's datagrams
// (raw IP for protocols without their own).
proto_switch* ip_proto_entry(int protocol);
void ip_slow_timer();
void ip_drain_queues();
int ip_process_options(mbuf* m);
ifaddr* ip_route_ifaddr(std::uint32_t dst_network_order);
void ip_route_cache_release();
void ip_remove_options(mbuf* m);
void ip_make_control(inpcb* inp, mbuf** mp, const ip* h, mbuf* m);
void proto46_input(mbuf* m, int off);
// Reassembly queues and fragments waiting (for tests and the drain).
int ip_reass_queue_count();
// Frees what IP keeps between packets (stack stop).
void ip_stop();

// Control messages of received datagrams.
inline constexpr int SCM_TIMESTAMP = 2;

// The stack's control-error table: a protocol-control command (ICMP's
// translation of an error) to an error number; 0 when it carries none.
inline constexpr int PRC_ROUTEDEAD = 1;
inline constexpr int PRC_QUENCH = 4;
inline constexpr int PRC_MSGSIZE = 5;
inline constexpr int PRC_HOSTDEAD = 6;
inline constexpr int PRC_UNREACH_NET = 8;
inline constexpr int PRC_UNREACH_PORT = 11;
inline constexpr int PRC_REDIRECT_NET = 14;
inline constexpr int PRC_REDIRECT_HOST = 15;
inline constexpr int PRC_REDIRECT_TOSHOST = 17;
inline constexpr int PRC_TIMXCEED_INTRANS = 18;
inline constexpr int PRC_PARAMPROB = 20;
inline constexpr int PRC_UNREACH_ADMIN_PROHIB = 21;
inline constexpr int PRC_NCMDS = 22;
int inetctlerr(int cmd);

// ---- ICMP ------------------------------------------------------------------------------------------
struct icmpstat {
  std::uint32_t icps_error;       // errors asked for
  std::uint32_t icps_oldshort;    // offending packet too short to quote
  std::uint32_t icps_oldicmp;     // no error about an error
  std::uint32_t icps_notunicast;  // no error about a packet not for one host
  std::uint32_t icps_outhist[ICMP_MAXTYPE + 1];
  std::uint32_t icps_badcode;
  std::uint32_t icps_tooshort;
  std::uint32_t icps_checksum;
  std::uint32_t icps_badlen;
  std::uint32_t icps_reflect;
  std::uint32_t icps_bmcastecho;  // echo or timestamp to a broadcast, refused
  std::uint32_t icps_inhist[ICMP_MAXTYPE + 1];
};
extern icmpstat g_icmpstat;

// Switches (all 0 in this system; see the data model of ICMP).
extern std::uint32_t icmp_answer_mask;
extern std::uint32_t icmp_ignore_redirects;
extern std::uint32_t icmp_log_redirects;
extern std::uint32_t icmp_echo_bcast;

void icmp_error(mbuf* n, int type, int code, std::uint32_t dest_network_order, ifnet* ifp);
void icmp_receive(mbuf* m, int off);
void icmp_send_back(mbuf* m);
std::uint32_t ip_time_ms();

// ---- IGMP -----------------------------------------------------------------------------------------
struct igmpstat {
  std::uint32_t igps_rcv_total;
  std::uint32_t igps_rcv_tooshort;
  std::uint32_t igps_rcv_badsum;
  std::uint32_t igps_rcv_queries;
  std::uint32_t igps_rcv_badqueries;
  std::uint32_t igps_rcv_reports;
  std::uint32_t igps_rcv_badreports;
  std::uint32_t igps_rcv_ourreports;
  std::uint32_t igps_snd_reports;
};
extern igmpstat g_igmpstat;

inline constexpr std::uint32_t IGMP_V1_ROUTER = 18;
inline constexpr std::uint32_t IGMP_V2_ROUTER = 22;
inline constexpr std::uint32_t IGMP_MAX_HOST_REPORT_DELAY = 50;  // fast ticks (10 s)
inline constexpr std::uint32_t IGMP_AGE_THRESHOLD = 540;         // slow ticks
inline constexpr std::uint32_t IGMP_DELAYING_MEMBER = 1;         // state: this host reported last
inline constexpr std::uint32_t IGMP_IDLE_MEMBER = 0;

void igmp_setup();
void igmp_receive(mbuf* m, int off);
void igmp_start_membership(in_multi* inm);
void igmp_send_leave(in_multi* inm);
void igmp_fast_timer();
void igmp_slow_timer();
void igmp_stop();
// The router type IGMP keeps for an interface (22 when it has no record).
std::uint32_t igmp_router_type(const ifnet* ifp);

// ---- IP flow cache --------------------------------------------------------------------------------
extern std::uint32_t ip_forwarding_on;
extern std::uint32_t ip_flow_cache_on;
int ip_flow_forward(mbuf* m);
void ip_flow_add(rtentry* rt, mbuf* m);
void ip_flow_slow_timer();
void ip_flow_stop();
std::uint32_t ip_flow_count();

}  // namespace zektcp
