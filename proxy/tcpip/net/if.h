// The interface layer: interface records, their address records (the
// link-level address here; each protocol adds its own, netinet/in.h the
// IPv4 ones), the index table, link-level multicast addresses, cloners, the
// interface control requests, and the address look-ups that routing, ARP
// and IP use. All of it runs under the socket-call lock; list surgery also
// takes the list lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "proxy/tcpip/kern/kern.h"
#include "proxy/tcpip/sockaddr.h"
#include "proxy/tcpip/socket/mbuf.h"

namespace zektcp {

struct ifnet;
struct ifaddr;
struct rtentry;
struct rt_addrinfo;
struct socket;
struct in_multi;

inline constexpr int IFNAMSIZ = 16;
inline constexpr int IF_MAX_INDEX = 64;
inline constexpr std::uint32_t IFNET_SIGNATURE = 0x49464E45;  // "IFNE"

// if_flags
inline constexpr std::uint16_t IFF_UP = 0x1;
inline constexpr std::uint16_t IFF_BROADCAST = 0x2;
inline constexpr std::uint16_t IFF_DEBUG = 0x4;
inline constexpr std::uint16_t IFF_LOOPBACK = 0x8;
inline constexpr std::uint16_t IFF_POINTOPOINT = 0x10;
inline constexpr std::uint16_t IFF_SMART = 0x20;
inline constexpr std::uint16_t IFF_RUNNING = 0x40;
inline constexpr std::uint16_t IFF_NOARP = 0x80;
inline constexpr std::uint16_t IFF_PROMISC = 0x100;
inline constexpr std::uint16_t IFF_ALLMULTI = 0x200;
inline constexpr std::uint16_t IFF_OACTIVE = 0x400;
inline constexpr std::uint16_t IFF_SIMPLEX = 0x800;
inline constexpr std::uint16_t IFF_MULTICAST = 0x8000;
inline constexpr std::uint16_t IFF_CANTCHANGE = 0x8E72;  // kept by a set-flags request
inline constexpr std::uint32_t IFF_PPROMISC = 0x20000;   // permanent promiscuous (extended flags)

// if_type
inline constexpr std::uint8_t IFT_ETHER = 6;
inline constexpr std::uint8_t IFT_ISO88023 = 7;
inline constexpr std::uint8_t IFT_ISO88025 = 9;
inline constexpr std::uint8_t IFT_FDDI = 15;
inline constexpr std::uint8_t IFT_LOOP = 24;
inline constexpr std::uint8_t IFT_L2VLAN = 135;
inline constexpr std::uint8_t IFT_ARCNET = 35;
inline constexpr std::uint8_t IFT_IEEE80211 = 71;
inline constexpr std::uint8_t IFT_GIF = 55;
inline constexpr std::uint8_t IFT_XETHER = 26;

// A queue of packets (linked by m_nextpkt), with its own short lock: the
// send queues and the soft-interrupt input queues are filled and emptied
// from different threads.
struct ifqueue {
  mbuf* ifq_head;
  mbuf* ifq_tail;
  std::int32_t ifq_len;
  std::int32_t ifq_maxlen;
  std::int32_t ifq_drops;
  QueueLock ifq_lock;
};

// Appends a packet; BSD_ENOBUFS (the drop counted, the packet left to the
// caller) when the queue is at its maximum.
int if_enqueue(ifqueue* q, mbuf* m);
// The oldest packet, or null.
mbuf* if_dequeue(ifqueue* q);
// Every queued packet, oldest first and linked by m_nextpkt (null when
// empty), under one hold of the queue's lock; the queue is left empty.
mbuf* if_dequeue_all(ifqueue* q);
// Puts packets linked by m_nextpkt back in front of the queue, in their
// order (what a handler took and leaves for the next round).
void if_requeue_front(ifqueue* q, mbuf* packets);
// Frees every queued packet.
void if_queue_flush(ifqueue* q);

// The soft-interrupt input queues: IP (bit NETISR_IP) and ARP (NETISR_ARP).
// The link layers fill them, the protocols' handlers empty them.
extern ifqueue ipintrq;
extern ifqueue arpintrq;
inline constexpr std::int32_t IFQ_MAXLEN = 2000;

struct if_data_block {
  std::uint8_t ifi_type;
  std::uint8_t ifi_physical;
  std::uint8_t ifi_addrlen;
  std::uint8_t ifi_hdrlen;
  std::uint8_t ifi_spare[2];
  std::uint32_t ifi_mtu;
  std::uint32_t ifi_metric;
  std::uint32_t ifi_baudrate;
  std::uint32_t ifi_ipackets;
  std::uint32_t ifi_ierrors;
  std::uint32_t ifi_opackets;
  std::uint32_t ifi_oerrors;
  std::uint32_t ifi_collisions;
  std::uint32_t ifi_ibytes;
  std::uint32_t ifi_obytes;
  std::uint32_t ifi_imcasts;
  std::uint32_t ifi_omcasts;
  std::uint32_t ifi_iqdrops;
  std::uint32_t ifi_noproto;
  timeval ifi_lastchange;
  std::uint32_t ifi_capabilities;
  std::uint32_t ifi_capenable;
};

struct ifmultiaddr {
  ifmultiaddr* ifma_next;
  sockaddr* ifma_addr;
  sockaddr* ifma_lladdr;
  ifnet* ifma_ifp;
  std::uint32_t ifma_refcount;
  void* ifma_protospec;  // the in_multi that uses it
};

struct ifnet {
  void* if_softc;  // the owner record (the adapter's record points to itself)
  const char* if_name;
  ifnet* if_next;
  ifnet** if_prevp;
  ifaddr* if_addrhead;
  ifaddr* if_addrtail;
  std::uint16_t if_index;
  std::uint16_t if_unit;
  std::uint16_t if_flags;
  std::uint32_t if_xflags;  // the flags, with the extended bits above 16
  std::int32_t if_pcount;   // promiscuous references
  if_data_block if_data;
  int (*if_output)(ifnet* ifp, mbuf* m, sockaddr* dst, rtentry* rt);
  // The driver's transmit routine: non-zero when it took the queue (or is
  // running already), 0 when it ran out of transmit buffers.
  int (*if_start)(ifnet* ifp);
  int (*if_ioctl)(ifnet* ifp, std::uint32_t cmd, void* data);
  void (*if_init)(void* softc);
  int (*if_resolvemulti)(ifnet* ifp, sockaddr** llsa, sockaddr* sa);
  ifmultiaddr* if_multiaddrs;
  ifqueue if_snd;
  ifaddr* if_addr;  // the link-level address
  std::uint32_t if_signature;
  std::uint8_t if_ethaddr[6];
};

struct ifaddr {
  sockaddr* ifa_addr;
  sockaddr* ifa_dstaddr;  // destination (point-to-point) or broadcast address
  sockaddr* ifa_netmask;
  std::uint32_t ifa_ipackets;
  std::uint32_t ifa_ibytes;
  ifnet* ifa_ifp;
  ifaddr* ifa_next;  // the interface's address list
  ifaddr** ifa_prevp;
  void (*ifa_rtrequest)(int req, rtentry* rt, rt_addrinfo* info);
  std::uint16_t ifa_flags;
  std::int32_t ifa_refcnt;
  std::int32_t ifa_metric;
  bool (*ifa_claim_addr)(ifaddr* ifa, sockaddr* addr);
  std::uint32_t ifa_kind;      // what the record was allocated as (below)
  std::uint32_t ifa_opackets;  // sent from the address
  std::uint32_t ifa_obytes;
};

inline constexpr std::uint16_t IFA_ROUTE = 0x1;  // the prefix route is installed
inline constexpr std::uint16_t RTF_CLONING_IFA = 0x100;
inline constexpr std::uint32_t IFA_KIND_LINK = 1;
inline constexpr std::uint32_t IFA_KIND_INET = 2;

// Protocol-control commands of interface changes (domain_ctl_broadcast).
inline constexpr int PRC_IFDOWN = 0;
inline constexpr int PRC_IFUP = 2;

// ---- Request records ------------------------------------------------------------
struct ifreq {
  char ifr_name[IFNAMSIZ];
  union {
    sockaddr ifru_addr;
    sockaddr ifru_dstaddr;
    sockaddr ifru_broadaddr;
    std::int16_t ifru_flags[2];
    std::int32_t ifru_metric;
    std::int32_t ifru_mtu;
    std::int32_t ifru_phys;
    std::int32_t ifru_cap[2];
    void* ifru_data;
  } ifr_ifru;
};
static_assert(sizeof(ifreq) == 32);

struct ifaliasreq {
  char ifra_name[IFNAMSIZ];
  sockaddr ifra_addr;
  sockaddr ifra_broadaddr;  // or destination
  sockaddr ifra_mask;
};
static_assert(sizeof(ifaliasreq) == 64);

struct ifconf {
  std::int32_t ifc_len;
  char* ifc_buf;
};
static_assert(sizeof(ifconf) == 16);

struct if_laddrreq {
  char iflr_name[IFNAMSIZ];
  std::uint32_t flags;
  std::uint32_t prefixlen;
  std::uint8_t addr[128];
  std::uint8_t dstaddr[128];
};
static_assert(offsetof(if_laddrreq, flags) == 16);
static_assert(offsetof(if_laddrreq, prefixlen) == 20);
static_assert(offsetof(if_laddrreq, addr) == 24);
static_assert(offsetof(if_laddrreq, dstaddr) == 152);
static_assert(sizeof(if_laddrreq) == 280);
inline constexpr std::uint32_t IFLR_PREFIX = 0x8000;

struct if_clonereq {
  std::int32_t ifcr_total;
  std::int32_t ifcr_count;
  char* ifcr_buffer;
};
static_assert(sizeof(if_clonereq) == 16);

struct if_cloner {
  if_cloner* ifc_next;
  const char* ifc_name;
  int (*ifc_create)(if_cloner* ifc, int* unit);  // unit -1: the cloner picks one and stores it
  int (*ifc_destroy)(ifnet* ifp);
};

// ---- Request codes ------------------------------------------------------------------
inline constexpr std::uint32_t FIONBIO = 0x8004667E;
inline constexpr std::uint32_t SIOCSIFADDR = 0x8020690C;
inline constexpr std::uint32_t SIOCSIFDSTADDR = 0x8020690E;
inline constexpr std::uint32_t SIOCSIFFLAGS = 0x80206910;
inline constexpr std::uint32_t SIOCGIFFLAGS = 0xC0206911;
inline constexpr std::uint32_t SIOCSIFBRDADDR = 0x80206913;
inline constexpr std::uint32_t SIOC_GET_IFACE_LIST_OLD = 0xC0106914;
inline constexpr std::uint32_t SIOCSIFNETMASK = 0x80206916;
inline constexpr std::uint32_t SIOCGIFMETRIC = 0xC0206917;
inline constexpr std::uint32_t SIOCSIFMETRIC = 0x80206918;
inline constexpr std::uint32_t SIOCDIFADDR = 0x80206919;
inline constexpr std::uint32_t SIOCAIFADDR = 0x8040691A;
inline constexpr std::uint32_t SIOCALIFADDR = 0x8118691B;
inline constexpr std::uint32_t SIOCGLIFADDR = 0xC118691C;
inline constexpr std::uint32_t SIOCDLIFADDR = 0x8118691D;
inline constexpr std::uint32_t SIOCSIFCAP = 0x8020691E;
inline constexpr std::uint32_t SIOCGIFCAP = 0xC020691F;
inline constexpr std::uint32_t SIOCGIFADDR = 0xC0206921;
inline constexpr std::uint32_t SIOCGIFDSTADDR = 0xC0206922;
inline constexpr std::uint32_t SIOCGIFBRDADDR = 0xC0206923;
inline constexpr std::uint32_t SIOC_GET_IFACE_LIST = 0xC0106924;
inline constexpr std::uint32_t SIOCGIFNETMASK = 0xC0206925;
inline constexpr std::uint32_t SIOCGIFSNDQLEN = 0xC0206928;
inline constexpr std::uint32_t SIOCSIFSNDQLEN = 0x80206929;
inline constexpr std::uint32_t SIOCADDMULTI = 0x80206931;
inline constexpr std::uint32_t SIOCDELMULTI = 0x80206932;
inline constexpr std::uint32_t SIOC_GET_IFACE_MTU = 0xC0206933;
inline constexpr std::uint32_t SIOCSIFMTU = 0x80206934;
inline constexpr std::uint32_t SIOCGIFPHYS = 0xC0206935;
inline constexpr std::uint32_t SIOCSIFLLADDR = 0x8020693C;
inline constexpr std::uint32_t SIOCIFGCLONERS = 0xC0106978;
inline constexpr std::uint32_t SIOCIFDESTROY = 0x80206979;
inline constexpr std::uint32_t SIOCIFCREATE = 0xC020697A;
inline constexpr std::uint32_t SIOCGMEDIA_STATUS = 0xC331693B;
inline constexpr std::uint32_t FIONREAD_DATA = 0x4004730A;

// The group byte of a request code ('i' interface, 'f' file, 's' socket).
inline constexpr char IOCGROUP(std::uint32_t cmd) { return static_cast<char>((cmd >> 8) & 0xFF); }

// ---- Hooks of protocols built on this layer ------------------------------------------
// ARP re-announces an address and resolves next hops for Ethernet output,
// IGMP joins and leaves groups, the protocol control blocks bound to a
// vanishing interface are purged, IP offers received packets to its flow
// cache. Unset hooks are skipped (an Ethernet interface without the
// resolver sends no IPv4).
struct InterfaceProtocolHooks {
  void (*arp_ifinit)(ifnet* ifp, ifaddr* ifa);
  void (*igmp_joingroup)(in_multi* inm);
  void (*igmp_leavegroup)(in_multi* inm);
  void (*in_pcbpurgeif0)(ifnet* ifp);
  // 1 with the next hop's hardware address, 0 when the packet was held or freed.
  int (*arpresolve)(ifnet* ifp, rtentry* rt, mbuf* m, sockaddr* dst, std::uint8_t* hw);
  // 1 when the packet was forwarded (and consumed).
  int (*ip_fastforward)(mbuf* m);
};
void iface_set_protocol_hooks(const InterfaceProtocolHooks* hooks);
const InterfaceProtocolHooks& iface_protocol_hooks();

// ---- Globals and look-ups ----------------------------------------------------------------
ifnet* iface_list();  // first interface
ifnet* ifindex2ifnet(int index);
ifaddr* iface_link_addr(int index);

// ---- Interfaces --------------------------------------------------------------------------
// Attaches the interface: an index (1..64), its link-level address and an
// arrival message. BSD_ENOBUFS when all 64 slots are taken.
int if_attach(ifnet* ifp);
void iface_detach(ifnet* ifp);
void iface_mark_down(ifnet* ifp);
void iface_mark_up(ifnet* ifp);
ifnet* iface_lookup_by_name(const char* name);
// Formats "<name><unit>" into IFNAMSIZ bytes; false when it does not fit.
bool iface_full_name(const ifnet* ifp, char* out);

ifaddr* ifaddr_find_exact(const sockaddr* addr);
ifaddr* ifaddr_find_by_dest(const sockaddr* addr);
ifaddr* ifaddr_find_by_net(const sockaddr* addr);
ifaddr* ifaddr_best_on_iface(const sockaddr* addr, ifnet* ifp);
void link_route_hook(int req, rtentry* rt, rt_addrinfo* info);
void ifa_ref(ifaddr* ifa);
void ifafree(ifaddr* ifa);
// A protocol's address record joins the end of the interface's address list
// and leaves it (under the list lock).
void ifa_list_append(ifnet* ifp, ifaddr* ifa);
void ifa_list_remove(ifnet* ifp, ifaddr* ifa);

int iface_ioctl(socket* so, std::uint32_t cmd, void* data, process* p);
int iface_set_link_addr(ifnet* ifp, const std::uint8_t* lladdr, int len);

int iface_add_multicast(ifnet* ifp, const sockaddr* sa, ifmultiaddr** out);
int iface_del_multicast(ifnet* ifp, const sockaddr* sa);
ifmultiaddr* iface_find_multicast(ifnet* ifp, const sockaddr* sa);

int if_clone_attach(if_cloner* ifc);
void if_clone_detach(if_cloner* ifc);
int if_clone_create(char* name, std::size_t len);
int if_clone_destroy(const char* name);
int if_clone_list(if_clonereq* req);

void iface_start();
void iface_stop();

}  // namespace zektcp
