// The routing socket (family 17) and the generic raw-socket layer under it.
// Routing sockets hear of interface, address and route changes; of the
// requests, only "get" is served. Every message starts with its length,
// version 5 and type; the addresses follow the header, each padded to 4
// bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "proxy/tcpip/net/route.h"
#include "proxy/tcpip/socket/socket.h"

namespace zektcp {

inline constexpr std::uint8_t RTM_VERSION = 5;

// Address bits of a message (1 << RTAX_*).
inline constexpr int RTA_DST = 0x1;
inline constexpr int RTA_GATEWAY = 0x2;
inline constexpr int RTA_NETMASK = 0x4;
inline constexpr int RTA_GENMASK = 0x8;
inline constexpr int RTA_IFP = 0x10;
inline constexpr int RTA_IFA = 0x20;
inline constexpr int RTA_AUTHOR = 0x40;
inline constexpr int RTA_BRD = 0x80;

// Metric bits.
inline constexpr std::uint32_t RTV_HOPCOUNT = 0x2;
inline constexpr std::uint32_t RTV_EXPIRE = 0x4;
inline constexpr std::uint32_t RTV_RPIPE = 0x8;
inline constexpr std::uint32_t RTV_SPIPE = 0x10;
inline constexpr std::uint32_t RTV_SSTHRESH = 0x20;
inline constexpr std::uint32_t RTV_RTT = 0x40;
inline constexpr std::uint32_t RTV_RTTVAR = 0x80;

struct rt_msg_metrics {
  std::uint32_t rmx_locks;
  std::uint32_t rmx_mtu;
  std::uint32_t rmx_hopcount;
  std::uint32_t rmx_expire;
  std::uint32_t rmx_recvpipe;
  std::uint32_t rmx_sendpipe;
  std::uint32_t rmx_ssthresh;
  std::uint32_t rmx_rtt;
  std::uint32_t rmx_rttvar;
  std::uint32_t rmx_pksent;
  std::uint32_t rmx_filler[4];
};
static_assert(sizeof(rt_msg_metrics) == 56);

struct rt_msghdr {
  std::uint16_t rtm_msglen;
  std::uint8_t rtm_version;
  std::uint8_t rtm_type;
  std::uint16_t rtm_index;
  std::uint16_t rtm_pad;
  std::int32_t rtm_flags;
  std::int32_t rtm_addrs;
  std::int32_t rtm_pid;
  std::int32_t rtm_seq;
  std::int32_t rtm_errno;
  std::int32_t rtm_use;
  std::uint32_t rtm_inits;
  rt_msg_metrics rtm_rmx;
};
static_assert(sizeof(rt_msghdr) == 92);
static_assert(offsetof(rt_msghdr, rtm_rmx) == 36);

struct ifa_msghdr {
  std::uint16_t ifam_msglen;
  std::uint8_t ifam_version;
  std::uint8_t ifam_type;
  std::int32_t ifam_addrs;
  std::int32_t ifam_flags;
  std::uint16_t ifam_index;
  std::uint16_t ifam_pad;
  std::int32_t ifam_metric;
};
static_assert(sizeof(ifa_msghdr) == 20);

// The interface data block as a message carries it (80 bytes).
struct if_msg_data {
  std::uint8_t ifi_type;
  std::uint8_t ifi_physical;
  std::uint8_t ifi_addrlen;
  std::uint8_t ifi_hdrlen;
  std::uint8_t ifi_spare[4];
  std::uint32_t ifi_mtu;
  std::uint32_t ifi_metric;
  std::uint32_t ifi_baudrate;
  std::uint32_t ifi_counters[11];  // input packets ... unknown protocol, in the record's order
  std::uint32_t ifi_lastchange_sec;
  std::uint32_t ifi_lastchange_usec;
  std::uint32_t ifi_capabilities;
  std::uint32_t ifi_capenable;
};
static_assert(sizeof(if_msg_data) == 80);

struct if_msghdr {
  std::uint16_t ifm_msglen;
  std::uint8_t ifm_version;
  std::uint8_t ifm_type;
  std::int32_t ifm_addrs;
  std::int32_t ifm_flags;
  std::uint16_t ifm_index;
  std::uint16_t ifm_pad;
  if_msg_data ifm_data;
};
static_assert(sizeof(if_msghdr) == 96);
static_assert(offsetof(if_msghdr, ifm_data) == 16);

struct ifma_msghdr {
  std::uint16_t ifmam_msglen;
  std::uint8_t ifmam_version;
  std::uint8_t ifmam_type;
  std::int32_t ifmam_addrs;
  std::int32_t ifmam_flags;
  std::uint16_t ifmam_index;
  std::uint16_t ifmam_pad;
};
static_assert(sizeof(ifma_msghdr) == 16);

struct if_announcemsghdr {
  std::uint16_t ifan_msglen;
  std::uint8_t ifan_version;
  std::uint8_t ifan_type;
  std::uint16_t ifan_index;
  char ifan_name[16];
  std::uint16_t ifan_what;
};
static_assert(sizeof(if_announcemsghdr) == 24);
static_assert(offsetof(if_announcemsghdr, ifan_name) == 6);
static_assert(offsetof(if_announcemsghdr, ifan_what) == 22);

// ---- The generic raw-socket layer --------------------------------------------------------------
struct sockproto {
  std::uint16_t sp_family;
  std::uint16_t sp_protocol;  // 0: any
};

struct raw_cb {
  raw_cb* rcb_next;
  raw_cb** rcb_prevp;
  socket* rcb_socket;
  sockaddr* rcb_faddr;
  sockaddr* rcb_laddr;
  sockproto rcb_proto;
  std::uint32_t rcb_pad;
};
static_assert(sizeof(raw_cb) == 48);

inline constexpr std::uint32_t RAWSNDQ = 8192;
inline constexpr std::uint32_t RAWRCVQ = 8192;

void rawsock_init();
void rawsock_stop();
// Delivers a copy to every raw socket of the family that takes the
// protocol, except `skip`; the packet is consumed.
void rawsock_input(mbuf* m, const sockproto* proto, const sockaddr* src, const sockaddr* dst, socket* skip = nullptr);
void rawsock_ctlinput(int cmd, sockaddr* sa, void* extra);
int rawsock_attach(socket* so, int proto);
void rawsock_detach(raw_cb* rp);
inline raw_cb* sotorawcb(socket* so) { return static_cast<raw_cb*>(so->so_pcb); }
extern user_req_table raw_usrreqs;

// ---- The routing socket ----------------------------------------------------------------------------
extern domain routedomain;

struct route_listeners {
  std::uint32_t any;
  std::uint32_t ip;   // family 2
  std::uint32_t ns;   // family 6
  std::uint32_t iso;  // family 23
  std::uint32_t ip6;  // family 28
};
const route_listeners& route_listener_counts();

int route_output(mbuf* m, socket* so);
// A message built in a chain; null when none could be made.
mbuf* rtsock_msg_build(int type, rt_addrinfo* info);
// The message's length; with a buffer of that many bytes, the message.
int rtsock_msg_copy(int type, rt_addrinfo* info, void* buf, int len);
void rtsock_set_metrics(std::uint32_t bits, const rt_metrics* in, rt_metrics* out);
void rtsock_miss_msg(int type, rt_addrinfo* info, int flags, int error);
void rtsock_if_msg(ifnet* ifp);
void rtsock_newaddr_msg(int cmd, ifaddr* ifa, int error, rtentry* rt);
void rtsock_newmaddr_msg(int cmd, ifmultiaddr* ifma);
void rtsock_ifannounce_msg(ifnet* ifp, int what);

}  // namespace zektcp
