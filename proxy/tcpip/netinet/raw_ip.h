// Raw IP sockets, and UDP: the two datagram protocols of the Internet
// domain with sockets of their own. Raw IP also receives every protocol
// that has no input routine of its own, and what ICMP and IGMP have
// processed.
#pragma once

#include <cstdint>

#include "proxy/tcpip/netinet/in_pcb.h"

namespace zektcp {

// ---- Raw IP ------------------------------------------------------------------------------------
inline constexpr std::uint32_t RIP_SNDQ = 65536;
inline constexpr std::uint32_t RIP_RCVQ = 65536;
inline constexpr int ICMP_FILTER = 1;  // level IPPROTO_RAW: the ICMP type filter word
inline constexpr int IP_RSVP_ON = 15;
inline constexpr int IP_RSVP_OFF = 16;
inline constexpr int IP_RSVP_VIF_ON = 17;
inline constexpr int IP_RSVP_VIF_OFF = 18;

extern inpcb_table ripcbinfo;
extern user_req_table rip_usrreqs;

void rip_setup();
void rip_stop();
// Delivers a datagram (its header in front) to every raw socket that wants
// it; `off` is the header length.
void rip_deliver(mbuf* m, int off, int proto);
void rip_input(mbuf* m, int off);
int rip_send_datagram(mbuf* m, socket* so, std::uint32_t dst_network_order);
int rip_sockopt(socket* so, sockopt* opt);
void rip_ctl_notify(int cmd, sockaddr* sa, void* extra);
void encap_table_init();
void encap_ipv4_input(mbuf* m, int off);

// ---- UDP --------------------------------------------------------------------------------------
struct udpstat {
  std::uint32_t udps_ipackets;
  std::uint32_t udps_hdrops;
  std::uint32_t udps_badsum;
  std::uint32_t udps_nosum;
  std::uint32_t udps_badlen;
  std::uint32_t udps_noport;
  std::uint32_t udps_noportbcast;
  std::uint32_t udps_fullsock;
  std::uint32_t udps_opackets;
};
extern udpstat g_udpstat;

inline constexpr std::uint32_t UDP_SENDSPACE = 9216;
inline constexpr std::uint32_t UDP_RECVSPACE = 41600;
inline constexpr int UDP_MAX_DATA = IP_MAXPACKET - static_cast<int>(sizeof(udpiphdr));  // 65507

extern inpcb_table udbinfo;
extern user_req_table udp_usrreqs;

void udp_setup();
void udp_stop();
void udp_receive(mbuf* m, int iphlen);
void udp_ctl_notify(int cmd, sockaddr* sa, void* extra);
int udp_send_datagram(inpcb* inp, mbuf* m, sockaddr* addr, mbuf* control, process* p);

}  // namespace zektcp
