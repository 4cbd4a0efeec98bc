// One Ethernet adapter of the stack on a test wire, the driver side only: the
// stack's transmit routine captures each frame it sends, the adapter's own
// ARP table is a small table here, and a frame "arrives" through Ethernet
// input as the driver's receive path hands it over. No test framework: the
// GoogleTest fixtures and the fuzz targets both drive it.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include "proxy/tcpip/kern/kern.h"
#include "proxy/tcpip/net/if.h"
#include "proxy/tcpip/net/if_ether.h"
#include "proxy/tcpip/netinet/in.h"
#include "proxy/tcpip/socket/mbuf.h"
#include "tests/proxy/tcpip/packets.h"

struct TestAdapter {
  zektcp::arpcom ac{};
  std::deque<Frame> sent;
  bool refuse_transmit = false;  // the driver has no transmit buffer
  bool capture = true;           // false: sent frames are counted and dropped
  int start_calls = 0;
  // The adapter's ARP table: address (host order), MAC; capacity and refusals.
  struct ArpSlot {
    std::uint32_t ip;
    Mac mac;
  };
  std::vector<ArpSlot> arp_table;
  std::size_t arp_capacity = 16;
  bool refuse_add = false;
  int adds = 0;
  int deletes = 0;
  std::vector<std::uint32_t> deleted;
};

namespace testwire {

inline TestAdapter* adapter_of(zektcp::ifnet* ifp) { return reinterpret_cast<TestAdapter*>(ifp); }

// The interface's transmit routine: takes every queued frame off.
inline int start(zektcp::ifnet* ifp) {
  TestAdapter* a = adapter_of(ifp);
  ++a->start_calls;
  if (a->refuse_transmit) return 0;
  while (zektcp::mbuf* m = zektcp::if_dequeue(&ifp->if_snd)) {
    if (a->capture) {
      Frame f;
      f.bytes.resize(static_cast<std::size_t>(m->mh.m_pkthdr.len));
      zektcp::m_copydata(m, 0, m->mh.m_pkthdr.len, f.bytes.data());
      a->sent.push_back(std::move(f));
    }
    zektcp::mbuf_free_chain(m);
    ++ifp->if_data.ifi_opackets;
  }
  return 1;
}

inline std::uint32_t add_arp(void* ctx, const std::uint8_t* mac, std::uint32_t ip, std::uint32_t, std::uint8_t) {
  auto* a = static_cast<TestAdapter*>(ctx);
  ++a->adds;
  if (a->refuse_add) return 0xFFFFFFFF;
  for (const auto& s : a->arp_table) {
    if (s.ip == ip) return 0xFFFFFFFF;
  }
  // The miniport's rule: a full table answers 0, as does index 0.
  if (a->arp_table.size() >= a->arp_capacity) return 0;
  Mac m;
  std::memcpy(m.b, mac, 6);
  a->arp_table.push_back({ip, m});
  return static_cast<std::uint32_t>(a->arp_table.size() - 1);
}

inline std::uint32_t del_arp(void* ctx, std::uint32_t ip) {
  auto* a = static_cast<TestAdapter*>(ctx);
  ++a->deletes;
  a->deleted.push_back(ip);
  for (auto it = a->arp_table.begin(); it != a->arp_table.end(); ++it) {
    if (it->ip == ip) {
      a->arp_table.erase(it);
      return 1;
    }
  }
  return 0;
}

inline std::uint32_t arp_index(void* ctx, std::uint32_t ip, std::uint32_t* index) {
  auto* a = static_cast<TestAdapter*>(ctx);
  for (std::size_t i = 0; i < a->arp_table.size(); ++i) {
    if (a->arp_table[i].ip == ip) {
      *index = static_cast<std::uint32_t>(i);
      return 0;
    }
  }
  return 1;
}

// Attaches the adapter as Ethernet interface "ZEK<unit>". The caller holds
// the socket-call lock. Returns Ethernet attach's error.
inline int attach(TestAdapter* a, const Mac& mac, std::uint16_t unit) {
  a->ac.ac_if.if_softc = &a->ac.ac_if;
  a->ac.ac_if.if_name = "ZEK";
  a->ac.ac_if.if_unit = unit;
  a->ac.ac_if.if_start = start;
  a->ac.ac_if.if_flags = zektcp::IFF_RUNNING;
  a->ac.ac_context = a;
  a->ac.ac_add_arp = add_arp;
  a->ac.ac_del_arp = del_arp;
  a->ac.ac_arp_index = arp_index;
  return zektcp::ether_ifattach(&a->ac, mac.b);
}

// Gives the interface an address (SIOCAIFADDR). The caller holds the
// socket-call lock.
inline int add_address(TestAdapter* a, std::uint32_t address, std::uint32_t mask) {
  zektcp::ifaliasreq req{};
  zektcp::iface_full_name(&a->ac.ac_if, req.ifra_name);
  const zektcp::sockaddr_in sin = zektcp::make_sockaddr_in(address);
  const zektcp::sockaddr_in m = zektcp::make_sockaddr_in(mask);
  std::memcpy(&req.ifra_addr, &sin, sizeof(sin));
  std::memcpy(&req.ifra_mask, &m, sizeof(m));
  return zektcp::in_control(nullptr, zektcp::SIOCAIFADDR, &req, &a->ac.ac_if, nullptr);
}

// A frame of at least an Ethernet header arrives through Ethernet input (to
// be processed at the next soft-interrupt round). False when the frame is
// too short or no mbuf is left.
inline bool queue_frame(TestAdapter* a, const std::uint8_t* frame, std::size_t size) {
  if (size < zektcp::ETHER_HDR_LEN) return false;
  zektcp::mbuf* m = zektcp::mbuf_from_bytes(frame, static_cast<int>(size), &a->ac.ac_if, zektcp::M_DONTWAIT);
  if (m == nullptr) return false;
  zektcp::ether_header eh;
  std::memcpy(&eh, frame, sizeof(eh));
  zektcp::mbuf_trim(m, zektcp::ETHER_HDR_LEN);
  zektcp::AcquireInputLock();
  zektcp::ether_if_input(&a->ac.ac_if, &eh, m);
  zektcp::ReleaseInputLock();
  return true;
}

}  // namespace testwire
