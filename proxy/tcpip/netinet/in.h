// The Internet (IPv4) layer (netinet/), whole through this header: the
// Internet domain and its protocol switch; IPv4 interface addresses (their
// records, the global list and hash, the address requests and the prefix
// routes that go with them, the broadcast, subnet and forwarding tests);
// IPv4 multicast memberships; the IPv4 routing tree, whose hooks clone host
// routes, mark the unused ones and expire them; and, in their own headers
// included at the end, the wire formats (ip.h), IP with ICMP, IGMP and the
// flow cache (ip_var.h), the protocol control blocks (in_pcb.h), UDP and
// raw IP (raw_ip.h) and ARP (if_ether.h). TCP joins this folder when it is
// built.
//
// All of it runs under the socket-call lock; list surgery also takes the
// list lock. The interface layer calls back here only through the hooks
// the domain installs at its start, and when an interface goes: its IPv4
// addresses are deleted and its memberships forgotten.
#pragma once

#include <cstdint>

#include "proxy/tcpip/net/if.h"
#include "proxy/tcpip/net/route.h"
#include "proxy/tcpip/socket/domain.h"

namespace zektcp {

// ---- The Internet domain ---------------------------------------------------------------
// Its protocol switch holds IP, UDP, raw IP, ICMP, IGMP, RSVP, the three
// encapsulations and the raw wildcard; TCP's entry comes with TCP. Adding
// the domain starts them all. At the stack's stop the sockets' control
// blocks go first (udp_stop, rip_stop), then the interfaces, then what IP,
// ARP and IGMP keep (in_domain_stop).
extern domain inetdomain;
void in_domain_stop();

// ---- IPv4 interface addresses ------------------------------------------------------------
struct ipv4_ifaddr {
  ifaddr ia_ifa;
  std::uint32_t ia_net;  // host order
  std::uint32_t ia_netmask;
  std::uint32_t ia_subnet;
  std::uint32_t ia_subnetmask;
  std::uint32_t ia_netbroadcast;
  ipv4_ifaddr* ia_next;  // global IPv4 list
  ipv4_ifaddr** ia_prevp;
  ipv4_ifaddr* ia_hash_next;
  ipv4_ifaddr** ia_hash_prevp;
  sockaddr_in ia_addr;
  sockaddr_in ia_dstaddr;  // also the broadcast address
  sockaddr_in ia_sockmask;
};

inline std::uint32_t IA_SIN_ADDR(const ipv4_ifaddr* ia) { return ia->ia_addr.sin_addr.s_addr; }

ipv4_ifaddr* in_ifaddr_list();
std::uint32_t in_ifaddr_hash(std::uint32_t address_network_order);  // FNV-1 over the 4 bytes
ipv4_ifaddr* in_ifaddr_hash_chain(std::uint32_t address_network_order);
std::uint32_t in_nonloopback_addresses();
// A record joins and leaves the address hash (by its address).
void in_hash_insert(ipv4_ifaddr* ia);
void in_hash_remove(ipv4_ifaddr* ia);

int in_control(socket* so, std::uint32_t cmd, void* data, ifnet* ifp, process* p);
int in_lifaddr_ioctl(socket* so, std::uint32_t cmd, void* data, ifnet* ifp, process* p);
int in_set_iface_addr(ifnet* ifp, ipv4_ifaddr* ia, const sockaddr_in* sin, bool scrub);
int in_prefix_install(ipv4_ifaddr* ia, int flags);
void in_prefix_remove(ipv4_ifaddr* ia);
bool in_is_broadcast(std::uint32_t address_network_order, ifnet* ifp);
bool in_is_local_subnet(std::uint32_t address_network_order);
bool in_is_forwardable(std::uint32_t address_network_order);

// ---- Multicast memberships -----------------------------------------------------------------
struct in_multi {
  in_multi* inm_next;
  std::uint32_t inm_addr;  // network order
  ifnet* inm_ifp;
  ifmultiaddr* inm_ifma;
  std::uint32_t inm_timer;  // IGMP report timer, fast ticks (0: stopped)
  std::uint32_t inm_state;  // 1: this host reported last
  void* inm_rti;            // IGMP's record of the interface's router
};

in_multi* in_multi_list();
in_multi* in_multi_join(std::uint32_t group_network_order, ifnet* ifp);
void in_multi_leave(in_multi* inm);
// Frees the memberships left on an interface that goes.
void in_multi_purge(ifnet* ifp);

// Empties the address list, the hash and the memberships (stack start, and
// stop once every interface is gone).
void in_ifaddr_reset();

// ---- The IPv4 routing tree -------------------------------------------------------------------
inline constexpr std::uint32_t RTQ_EXPIRE_DEFAULT = 3600;
inline constexpr std::uint32_t RTQ_EXPIRE_MIN = 10;
inline constexpr std::uint32_t RTQ_TOOMANY = 128;
inline constexpr std::uint32_t RTQ_TIMEOUT = 600;

int in_tree_create(void** head, int offset);
rtentry* in_route_add_hook(rtentry* rt, radix_node_head* head);
rtentry* in_route_match_hook(const sockaddr* dst, radix_node_head* head);
void in_route_close_hook(radix_node* rn, radix_node_head* head);
void in_route_expiry_walk(void* head);
void in_rtqdrain();
void in_tree_stop();  // cancels the expiry walk before the tree goes
void in_addr_routes_down(ifaddr* ifa, bool deleting);
std::uint32_t in_route_expire_secs();  // the current expiry time of cloned routes

}  // namespace zektcp

#include "proxy/tcpip/netinet/if_ether.h"
#include "proxy/tcpip/netinet/in_pcb.h"
#include "proxy/tcpip/netinet/ip.h"
#include "proxy/tcpip/netinet/ip_var.h"
#include "proxy/tcpip/netinet/raw_ip.h"
