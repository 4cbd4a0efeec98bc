// ARP (RFC 826) for IPv4 over Ethernet. Neighbours are cloned host routes
// with link information: their gateway is the neighbour's hardware
// address. Every learned neighbour is mirrored into the adapter's own ARP
// table through the miniport's routines, a duplicate use of this host's
// address raises the adapter's conflict flag for its DHCP client, and
// GetIpIndex gives the adapter's index of a local address.
#pragma once

#include <cstdint>

#include "proxy/tcpip/net/if_ether.h"
#include "proxy/tcpip/net/route.h"

namespace zektcp {

struct llinfo_arp {
  llinfo_arp* la_next;
  llinfo_arp** la_prevp;
  rtentry* la_rt;
  mbuf* la_hold;  // one packet waiting for the resolution
  std::uint16_t la_refreshed;
  std::uint16_t la_asked;
  std::uint16_t la_mirrored;  // non-zero once the adapter holds the entry
};

struct arpstat {
  std::uint32_t received;
  std::uint32_t runts;         // shorter than a header, or than its addresses
  std::uint32_t bad_hardware;  // hardware type other than 1, 6, 7
  std::uint32_t bad_protocol;  // not IPv4, or address lengths that do not fit
  std::uint32_t own_sender;    // our own frames heard back
  std::uint32_t broadcast_sender;
  std::uint32_t not_for_us;  // no address on the interface, or a foreign target nobody publishes
  std::uint32_t duplicates;  // another host uses our address
  std::uint32_t requests_sent;
  std::uint32_t replies_sent;
  std::uint32_t entries_in_use;
  std::uint32_t entries_allocated;
  std::uint32_t mirror_refused;  // the adapter did not take an entry
};
extern arpstat g_arpstat;

inline constexpr std::uint32_t ARPT_KILL = 1200;  // seconds a resolved entry lives
inline constexpr std::uint32_t ARPT_DOWN = 20;    // seconds a host stays rejected
inline constexpr std::uint32_t ARPT_PRUNE = 300;  // seconds between expiry walks
inline constexpr std::uint16_t ARP_MAXTRIES = 5;
inline constexpr std::uint32_t ARP_HW_VALUE = 300;  // passed to the adapter's add routine
inline constexpr std::uint8_t ARP_MARKER = 100;

void arp_init();
void arp_stop();
void arp_rtrequest(int req, rtentry* rt, rt_addrinfo* info);
void arp_send_request(ifnet* ifp, std::uint32_t sender_ip, std::uint32_t target_ip, const std::uint8_t* sender_hw);
int arpresolve(ifnet* ifp, rtentry* rt, mbuf* m, sockaddr* dst, std::uint8_t* desten);
void arpintr();
void in_arp(mbuf* m);
llinfo_arp* arplookup(std::uint32_t address_network_order, bool create, bool proxy);
void arp_ifinit(ifnet* ifp, ifaddr* ifa);
void arp_expiry_timer(void* unused);
// 0 with the adapter's index of a local address; non-zero without one.
int GetIpIndex(arpcom* record, std::uint32_t ipaddr, std::uint32_t* out);
llinfo_arp* arp_entries();

}  // namespace zektcp
