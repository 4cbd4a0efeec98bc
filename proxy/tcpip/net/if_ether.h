// The link layers: Ethernet interfaces (one per attached adapter) and the
// loopback interface "lo". Ethernet output resolves the next hop (through
// the resolver the IPv4 layer installs, ARP), writes the 14-byte header and
// hands the frame to the interface's send queue and the driver's transmit
// routine; Ethernet input sorts received frames onto the IP and ARP input
// queues and wakes the soft-interrupt thread. The loopback interface loops
// its packets back into IP input.
#pragma once

#include <cstdint>

#include "include/zek/nicproxy.h"
#include "proxy/tcpip/net/if.h"

namespace zektcp {

inline constexpr int ETHER_ADDR_LEN = 6;
inline constexpr int ETHER_HDR_LEN = 14;
inline constexpr int ETHERMTU = 1500;
inline constexpr std::uint16_t ETHERTYPE_IP = 0x0800;
inline constexpr std::uint16_t ETHERTYPE_ARP = 0x0806;
inline constexpr std::uint16_t ETHERTYPE_VLAN = 0x8100;

struct __attribute__((packed)) ether_header {
  std::uint8_t ether_dhost[ETHER_ADDR_LEN];
  std::uint8_t ether_shost[ETHER_ADDR_LEN];
  std::uint16_t ether_type;  // network order
};
static_assert(sizeof(ether_header) == ETHER_HDR_LEN);

inline constexpr std::uint8_t etherbroadcastaddr[ETHER_ADDR_LEN] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// An IPv4 group's Ethernet address: 01:00:5e and the low 23 bits of the group.
void ether_map_group(std::uint32_t group_network_order, std::uint8_t* out);

// The family of a destination whose sa_data holds a complete Ethernet
// header (source included).
inline constexpr std::uint8_t pseudo_AF_HDRCMPLT = 31;

// The adapter's stack-interface record: the interface, then what ARP reads
// of the adapter (its DHCP client's flags and the miniport's table
// routines, which keep the adapter's own ARP table in step). Every
// Ethernet interface of the stack is one of these.
struct arpcom {
  ifnet ac_if;
  std::uint32_t ac_dhcp_enabled;
  volatile std::uint32_t ac_addr_conflict;  // set by ARP under the DHCP lock
  OSPrimSpinlockObject* ac_dhcp_lock;       // null: no DHCP client
  void* ac_context;                         // the first argument of the routines
  AddArpEntryCallbackFn ac_add_arp;
  DelArpEntryCallbackFn ac_del_arp;
  GetIpToArpIndexFn ac_arp_index;
  GetIpaddrIndexCallbackFn ac_ip_index;
};

inline arpcom* ifp_to_arpcom(ifnet* ifp) { return reinterpret_cast<arpcom*>(ifp); }
bool iface_is_ether(const ifnet* ifp);

// Sets up and attaches an adapter interface whose name, unit and transmit
// routine are filled: type 6, address length 6, header length 14, MTU 1500,
// flags broadcast, simplex and multicast, a send queue of 2000, the
// Ethernet output, control and multicast routines, the interface
// signature and the adapter's MAC address. Returns if_attach's result.
int ether_ifattach(arpcom* ac, const std::uint8_t* mac);

int ether_if_output(ifnet* ifp, mbuf* m, sockaddr* dst, rtentry* rt);
// Hands a complete frame to the send queue and starts the driver: 0 once
// the frame is queued (it leaves when the driver has room), BSD_ENOBUFS
// when the queue is full (the frame is freed and the drop counted).
int ether_if_output_frame(ifnet* ifp, mbuf* m);
// A received frame: `eh` is its header, `m` the payload behind it. The
// caller holds the stack input lock.
void ether_if_input(ifnet* ifp, const ether_header* eh, mbuf* m);
int ether_if_ioctl(ifnet* ifp, std::uint32_t cmd, void* data);
int ether_map_multicast(ifnet* ifp, sockaddr** llsa, sockaddr* sa);

// ---- Loopback ---------------------------------------------------------------------------------
inline constexpr std::uint32_t LOMTU = 1536;
inline constexpr std::uint32_t LO_PIPE_SIZE = 4608;

// Attaches "lo0" (once; later calls return the same interface).
ifnet* loop_attach();
void loop_detach();
ifnet* loif();
int looutput(ifnet* ifp, mbuf* m, sockaddr* dst, rtentry* rt);
// Puts a packet of family `af` (0: its first 4 bytes name it) on the IP
// input queue as received on `ifp`, after dropping `hlen` bytes of link
// header. 0, BSD_EAFNOSUPPORT or BSD_ENOBUFS (the packet is freed).
int if_simloop(ifnet* ifp, mbuf* m, int af, int hlen);
int loioctl(ifnet* ifp, std::uint32_t cmd, void* data);
void lortrequest(int req, rtentry* rt, rt_addrinfo* info);

}  // namespace zektcp
