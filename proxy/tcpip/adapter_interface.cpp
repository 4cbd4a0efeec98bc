// Adapters as the stack's Ethernet interfaces (see adapter_interface.h).
#include "proxy/tcpip/adapter_interface.h"

#include <cstring>

#include "proxy/tcpip/net/if.h"
#include "proxy/tcpip/netinet/if_ether.h"
#include "proxy/tcpip/netinet/in.h"
#include "proxy/tcpip/socket/mbuf.h"

namespace zektcp {

namespace {

// The unit table: one entry per unit, set while an interface holds it.
// Guarded by the socket-call lock, which every caller holds.
bool g_units[ADAPTER_UNITS];

AdapterInterface* adapter_of(ifnet* ifp) { return reinterpret_cast<AdapterInterface*>(ifp); }

// A packet back at the head of the send queue.
void requeue_first(ifqueue* q, mbuf* m) {
  AcquireQueueLock(&q->ifq_lock);
  m->m_nextpkt = q->ifq_head;
  q->ifq_head = m;
  if (q->ifq_tail == nullptr) q->ifq_tail = m;
  ++q->ifq_len;
  ReleaseQueueLock(&q->ifq_lock);
}

// Takes the frames received on `ifp` out of an input queue and frees them.
void drop_frames_of(ifqueue* q, ifnet* ifp) {
  mbuf* gone = nullptr;
  AcquireQueueLock(&q->ifq_lock);
  mbuf** link = &q->ifq_head;
  q->ifq_tail = nullptr;
  while (mbuf* m = *link) {
    if (m->mh.m_pkthdr.rcvif == ifp) {
      *link = m->m_nextpkt;
      m->m_nextpkt = gone;
      gone = m;
      --q->ifq_len;
    } else {
      q->ifq_tail = m;
      link = &m->m_nextpkt;
    }
  }
  ReleaseQueueLock(&q->ifq_lock);
  mbuf_free_packets(gone);
}

int address_request(AdapterInterface* a, std::uint32_t cmd, std::uint32_t address, std::uint32_t mask,
                    std::uint32_t broadcast) {
  ifaliasreq req{};
  iface_full_name(&a->ac.ac_if, req.ifra_name);
  sockaddr_in s = make_sockaddr_in(0);
  s.sin_addr.s_addr = address;
  std::memcpy(&req.ifra_addr, &s, sizeof(s));
  if (cmd == SIOCAIFADDR) {
    s.sin_addr.s_addr = mask;
    std::memcpy(&req.ifra_mask, &s, sizeof(s));
    s.sin_addr.s_addr = broadcast;
    std::memcpy(&req.ifra_broadaddr, &s, sizeof(s));
  }
  return in_control(nullptr, cmd, &req, &a->ac.ac_if, nullptr);
}

}  // namespace

std::uint32_t adapter_units_in_use() {
  std::uint32_t n = 0;
  for (bool used : g_units) n += used ? 1 : 0;
  return n;
}

int adapter_interface_add(AdapterInterface* a) {
  AcquireBdcLock();
  int unit = -1;
  for (std::uint32_t i = 0; i < ADAPTER_UNITS; ++i) {
    if (!g_units[i]) {
      unit = static_cast<int>(i);
      break;
    }
  }
  if (unit < 0) {
    ReleaseBdcLock();
    ZEK_LOG_FAILURE("ndis_add_interface: all %u interface units are in use\n", ADAPTER_UNITS);
    return BSD_ENOSPC;
  }
  ifnet* ifp = &a->ac.ac_if;
  ifp->if_softc = ifp;
  ifp->if_name = "ZEK";
  ifp->if_unit = static_cast<std::uint16_t>(unit);
  ifp->if_start = adapter_interface_start;
  ifp->if_flags = IFF_RUNNING;
  a->ac.ac_context = a->proxy_context;
  const int error = ether_ifattach(&a->ac, a->mac);
  if (error == 0) {
    g_units[unit] = true;
    a->unit = unit;
  }
  ReleaseBdcLock();
  return error;
}

void adapter_interface_remove(AdapterInterface* a) {
  AcquireBdcLock();
  a->present = 0;
  drop_frames_of(&ipintrq, &a->ac.ac_if);
  drop_frames_of(&arpintrq, &a->ac.ac_if);
  iface_detach(&a->ac.ac_if);
  if (a->unit >= 0 && a->unit < static_cast<int>(ADAPTER_UNITS)) g_units[a->unit] = false;
  a->unit = -1;
  ReleaseBdcLock();
}

int adapter_interface_start(ifnet* ifp) {
  AdapterInterface* a = adapter_of(ifp);
  if (ifp->if_flags & IFF_OACTIVE) return 1;
  ifp->if_flags |= IFF_OACTIVE;
  std::uint8_t frame[ADAPTER_FRAME_MAX];
  int result = 1;
  std::uint32_t freed = a->tx_freed.load();
  while (mbuf* m = if_dequeue(&ifp->if_snd)) {
    const int length = m->mh.m_pkthdr.len;
    if (length <= 0 || length > static_cast<int>(sizeof(frame)) || !(ifp->if_flags & IFF_UP) ||
        a->transmit == nullptr) {
      // Too long for a transmit buffer, or nowhere to go: dropped.
      ++ifp->if_data.ifi_oerrors;
      mbuf_free_chain(m);
      continue;
    }
    m_copydata(m, 0, length, frame);
    const TransmitResult sent = a->transmit(a->transmit_context, frame, static_cast<std::uint32_t>(length));
    if (sent == TransmitResult::NoBuffer) {
      requeue_first(&ifp->if_snd, m);
      // Waiting for a buffer; one freed while this start was at it is not
      // waited for.
      a->tx_waiting.store(true);
      const std::uint32_t now = a->tx_freed.load();
      if (now != freed && a->tx_waiting.exchange(false)) {
        freed = now;
        continue;
      }
      OSPrimDebugPrint("GetXmitBuf: out of Xmit resources \n");
      result = 0;
      break;
    }
    if (sent == TransmitResult::Sent) {
      ++ifp->if_data.ifi_opackets;
    } else {
      ++ifp->if_data.ifi_oerrors;
    }
    mbuf_free_chain(m);
  }
  ifp->if_flags &= ~IFF_OACTIVE;
  return result;
}

void adapter_interface_transmit_done(AdapterInterface* a) {
  a->tx_freed.fetch_add(1);
  if (!a->tx_waiting.exchange(false)) return;
  AcquireBdcLock();
  if (a->ac.ac_if.if_snd.ifq_head != nullptr) adapter_interface_start(&a->ac.ac_if);
  ReleaseBdcLock();
}

void adapter_interface_input(AdapterInterface* a, const std::uint8_t* header, const std::uint8_t* payload,
                             std::uint32_t payload_length) {
  AcquireInputLock();
  adapter_interface_input_locked(a, header, payload, payload_length);
  ReleaseInputLock();
}

void adapter_interface_input_locked(AdapterInterface* a, const std::uint8_t* header, const std::uint8_t* payload,
                                    std::uint32_t payload_length) {
  ifnet* ifp = &a->ac.ac_if;
  if (a->present != 0 && a->unit >= 0) {
    mbuf* m = mbuf_from_bytes(payload, static_cast<int>(payload_length), ifp, M_DONTWAIT);
    if (m != nullptr) {
      ether_header eh;
      std::memcpy(&eh, header, sizeof(eh));
      ++ifp->if_data.ifi_ipackets;
      ifp->if_data.ifi_ibytes += payload_length + ETHER_HDR_LEN;
      ether_if_input(ifp, &eh, m);
    } else {
      ++ifp->if_data.ifi_ierrors;
    }
  }
}

int SetZekInterface(AdapterInterface* a, std::uint32_t address, std::uint32_t mask, std::uint32_t broadcast,
                    int operation) {
  AcquireBdcLock();
  int error = 0;
  switch (operation) {
    case ZEK_INTERFACE_ADD:
      error = address_request(a, SIOCAIFADDR, address, mask, broadcast);
      if (error != 0) {
        OSPrimDebugPrint("set_interface:in_control failed SIOCAIFADDR\n");
        break;
      }
      if (a->add_ip == nullptr || address == 0) {
        OSPrimDebugPrint("Func[%s] line[%d] ipaddr[%x]\n", "SetZekInterface", __LINE__, ntohl(address));
      } else if (a->add_ip(a->proxy_context, ntohl(address)) == 0xFFFFFFFF) {
        ZEK_LOG_FAILURE("func[%s,%d] AddIpaddrEntryProxy failed \n", "SetZekInterface", __LINE__);
      }
      if (a->ac.ac_add_arp == nullptr) {
        OSPrimDebugPrint("Func[%s] line[%d] ip[x%08X] \n", "SetZekInterface", __LINE__, ntohl(address));
      } else if (a->ac.ac_add_arp(a->proxy_context, a->mac, ntohl(address), ARP_HW_VALUE, ARP_MARKER) == 0xFFFFFFFF) {
        ZEK_LOG_FAILURE("func[%s] AddArpEntryProxy return -1  \n", "SetZekInterface");
      }
      break;
    case ZEK_INTERFACE_SET: {
      ifreq req{};
      iface_full_name(&a->ac.ac_if, req.ifr_name);
      sockaddr_in s = make_sockaddr_in(0);
      s.sin_addr.s_addr = address;
      std::memcpy(&req.ifr_ifru.ifru_addr, &s, sizeof(s));
      error = in_control(nullptr, SIOCSIFADDR, &req, &a->ac.ac_if, nullptr);
      if (error != 0) OSPrimDebugPrint("set_interface:in_control failed SIOCSIFADDR\n");
      break;
    }
    case ZEK_INTERFACE_DELETE:
      // The unit stays the interface's: only the detach gives it back.
      error = address_request(a, SIOCDIFADDR, address, 0, 0);
      if (error != 0) OSPrimDebugPrint("set_interface:in_control failed SIOCDIFADDR \n");
      if (a->del_ip != nullptr && a->del_ip(a->proxy_context, ntohl(address)) == 0xFFFFFFFF) {
        ZEK_LOG_FAILURE("func[%s,%d] DelIpaddrProxy failed \n", "SetZekInterface", __LINE__);
      }
      if (a->ac.ac_del_arp != nullptr) a->ac.ac_del_arp(a->proxy_context, ntohl(address));
      break;
    default:
      OSPrimDebugPrint("set_interface:in_control failed default\n");
      error = BSD_EINVAL;
      break;
  }
  ReleaseBdcLock();
  return error;
}

}  // namespace zektcp
