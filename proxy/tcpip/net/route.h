// The network layer (net/) below the protocols, whole through this header:
// interfaces and their address records (if.h), the radix tree (radix.h),
// and here the routing table: one tree per address family, reference-counted
// route records, look-up with cloning of host routes, add/delete/resolve
// requests, interface-address routes and redirects. A family's tree may
// install hooks of its own (the IPv4 ones, in netinet/in.h, mark, age and
// expire cloned host routes). Route changes are reported to the routing
// sockets through the reporter they install. Ethernet, loopback and the
// routing socket join this folder as they are built.
#pragma once

#include <cstdint>

#include "proxy/tcpip/net/if.h"
#include "proxy/tcpip/net/radix.h"

namespace zektcp {

// rt_flags
inline constexpr std::uint32_t RTF_UP = 0x1;
inline constexpr std::uint32_t RTF_GATEWAY = 0x2;
inline constexpr std::uint32_t RTF_HOST = 0x4;
inline constexpr std::uint32_t RTF_REJECT = 0x8;
inline constexpr std::uint32_t RTF_DYNAMIC = 0x10;
inline constexpr std::uint32_t RTF_MODIFIED = 0x20;
inline constexpr std::uint32_t RTF_DONE = 0x40;
inline constexpr std::uint32_t RTF_CLONING = 0x100;
inline constexpr std::uint32_t RTF_XRESOLVE = 0x200;
inline constexpr std::uint32_t RTF_LLINFO = 0x400;
inline constexpr std::uint32_t RTF_STATIC = 0x800;
inline constexpr std::uint32_t RTF_BLACKHOLE = 0x1000;
inline constexpr std::uint32_t RTF_PROTO2 = 0x4000;  // announce
inline constexpr std::uint32_t RTF_PRCLONING = 0x10000;
inline constexpr std::uint32_t RTF_WASCLONED = 0x20000;
inline constexpr std::uint32_t RTF_RTQ_EXPIRE = 0x40000;  // marked for expiry (IPv4 trees)
inline constexpr std::uint32_t RTF_PINNED = 0x100000;
inline constexpr std::uint32_t RTF_LOCAL = 0x200000;
inline constexpr std::uint32_t RTF_BROADCAST = 0x400000;
inline constexpr std::uint32_t RTF_MULTICAST = 0x800000;

// Requests and routing-socket message types.
inline constexpr int RTM_ADD = 1;
inline constexpr int RTM_DELETE = 2;
inline constexpr int RTM_CHANGE = 3;
inline constexpr int RTM_GET = 4;
inline constexpr int RTM_LOSING = 5;
inline constexpr int RTM_REDIRECT = 6;
inline constexpr int RTM_MISS = 7;
inline constexpr int RTM_RESOLVE = 11;
inline constexpr int RTM_NEWADDR = 12;
inline constexpr int RTM_DELADDR = 13;
inline constexpr int RTM_IFINFO = 14;
inline constexpr int RTM_NEWMADDR = 15;
inline constexpr int RTM_DELMADDR = 16;
inline constexpr int RTM_IFANNOUNCE = 17;
inline constexpr int IFAN_ARRIVAL = 0;
inline constexpr int IFAN_DEPARTURE = 1;

// Lock bits of the metrics.
inline constexpr std::uint32_t RTV_MTU = 0x1;

struct rt_metrics {
  std::uint32_t rmx_locks;
  std::uint32_t rmx_mtu;
  std::uint32_t rmx_hopcount;
  std::uint32_t rmx_expire;  // seconds of the stack clock; 0 = none
  std::uint32_t rmx_recvpipe;
  std::uint32_t rmx_sendpipe;
  std::uint32_t rmx_ssthresh;
  std::uint32_t rmx_rtt;
  std::uint32_t rmx_rttvar;
  std::uint32_t rmx_pksent;
};

struct rtentry {
  radix_node rt_node;  // the leaf; first, so a leaf is its route
  sockaddr* rt_gateway;
  std::int32_t rt_refcnt;
  std::uint32_t rt_flags;
  ifnet* rt_ifp;
  ifaddr* rt_ifa;  // referenced
  sockaddr* rt_genmask;
  void* rt_llinfo;
  rt_metrics rt_rmx;
  rtentry* rt_gwroute;
  rtentry* rt_parent;  // the route it was cloned from (referenced)
  // The key block: key, gateway and mask share one allocation.
  std::uint8_t* rt_keyblock;
  std::uint32_t rt_gwspace;  // bytes reserved for the gateway
  std::uint32_t rt_pins;     // walks holding the record
  bool rt_free_pending;
};

inline sockaddr* rt_key(const rtentry* rt) {
  return reinterpret_cast<sockaddr*>(const_cast<std::uint8_t*>(rt->rt_node.rn_key));
}
inline sockaddr* rt_mask(const rtentry* rt) {
  return reinterpret_cast<sockaddr*>(const_cast<std::uint8_t*>(rt->rt_node.rn_mask));
}

enum : int {
  RTAX_DST = 0,
  RTAX_GATEWAY = 1,
  RTAX_NETMASK = 2,
  RTAX_GENMASK = 3,
  RTAX_IFP = 4,
  RTAX_IFA = 5,
  RTAX_AUTHOR = 6,
  RTAX_BRD = 7,
  RTAX_MAX = 8,
};

struct rt_addrinfo {
  int rti_flags;
  sockaddr* rti_info[RTAX_MAX];
  ifaddr* rti_ifa;
  ifnet* rti_ifp;
};

struct route_cache {
  rtentry* ro_rt;
  sockaddr ro_dst;
};

struct rtstat {
  std::uint32_t rts_badredirect;
  std::uint32_t rts_dynamic;
  std::uint32_t rts_newgateway;
  std::uint32_t rts_unreach;
  std::uint32_t rts_wildcard;
  std::uint32_t rts_trash;  // deleted but still referenced
};

// What the routing sockets receive. Installed by the routing socket; while
// none is installed (or none listens) nothing is reported.
struct RouteReporter {
  bool (*listening)();
  void (*missmsg)(int type, rt_addrinfo* info, int flags, int error);
  void (*newaddrmsg)(int cmd, ifaddr* ifa, int error, rtentry* rt);
  void (*ifmsg)(ifnet* ifp);
  void (*ifannouncemsg)(ifnet* ifp, int what);
  void (*newmaddrmsg)(int cmd, ifmultiaddr* ifma);
  void (*redirectmsg)(rt_addrinfo* info, int flags, int error);
};
void route_set_reporter(const RouteReporter* reporter);
void rt_missmsg(int type, rt_addrinfo* info, int flags, int error);
void rt_newaddrmsg(int cmd, ifaddr* ifa, int error, rtentry* rt);
void rt_ifmsg(ifnet* ifp);
void rt_ifannouncemsg(ifnet* ifp, int what);
void rt_newmaddrmsg(int cmd, ifmultiaddr* ifma);

const rtstat& route_stats();
radix_node_head* rt_tree(int family);

void rn_init();
void route_stop();

rtentry* rtalloc1(sockaddr* dst, int report, std::uint32_t ignore_flags);
void route_cache_refresh(route_cache* ro, std::uint32_t ignore_flags);
void rtfree(rtentry* rt);
int rtrequest_by_addrs(int req, sockaddr* dst, sockaddr* gateway, sockaddr* netmask, int flags, rtentry** ret);
int rtrequest(int req, rt_addrinfo* info, rtentry** ret, radix_node_head* tree = nullptr);
int route_apply_redirect(sockaddr* dst, sockaddr* gateway, sockaddr* netmask, int flags, sockaddr* src, rtentry** ret);
ifaddr* ifaddr_find_for_route(int flags, sockaddr* dst, sockaddr* gateway);
int route_pick_ifaddr(rt_addrinfo* info);
int route_set_gateway(rtentry* rt, sockaddr* dst, sockaddr* gateway);
void route_masked_copy(const sockaddr* src, sockaddr* dst, const sockaddr* mask);
int ifaddr_route_request(ifaddr* ifa, int req, int flags);
// Deletes, through the interface, every route whose interface it is.
void route_delete_for_iface(ifnet* ifp);

}  // namespace zektcp
