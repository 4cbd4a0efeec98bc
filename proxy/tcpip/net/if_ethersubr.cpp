// Ethernet: output with next-hop resolution and the simplex loop-back, the
// hand-off to the send queue, input onto the soft-interrupt queues, the
// interface control request and the IPv4 group mapping.
#include <cstring>

#include "proxy/tcpip/net/if_ether.h"
#include "proxy/tcpip/net/if_internal.h"
#include "proxy/tcpip/net/route.h"

namespace zektcp {

namespace {

constexpr std::int32_t CSUM_IP = 0x1;
constexpr std::int32_t CSUM_DELAY_DATA = 0x6;
constexpr std::int32_t CSUM_IP_CHECKED = 0x100;
constexpr std::int32_t CSUM_IP_VALID = 0x200;
constexpr std::int32_t CSUM_DATA_VALID = 0x400;
constexpr std::int32_t CSUM_PSEUDO_HDR = 0x800;

// The drop of a full queue, in the fast log under the hand-off's name.
void log_drop(const char* handoff, int line, mbuf* m, std::int32_t drops) {
  OSPrimMemoryLogging("func[%s] Line[%d]: \n", handoff, line);
  OSPrimMemoryLogging("Func[%s] Line[%d] m[x%p] dropping packet ifq_drops[x%x] \n", handoff, line,
                      static_cast<void*>(m), static_cast<unsigned>(drops));
}

// A copy of the frame for this host: its checksums count as done.
void loop_copy(ifnet* ifp, mbuf* m, int family) {
  mbuf* n = m_copym(m, 0, M_COPYALL, M_DONTWAIT);
  if (n == nullptr) return;
  std::int32_t& flags = n->mh.m_pkthdr.csum_flags;
  if (flags & CSUM_IP) flags |= CSUM_IP_CHECKED | CSUM_IP_VALID;
  if (flags & CSUM_DELAY_DATA) {
    flags |= CSUM_DATA_VALID | CSUM_PSEUDO_HDR;
    n->mh.m_pkthdr.csum_data = 0xFFFF;
  }
  if_simloop(ifp, n, family, ETHER_HDR_LEN);
}

// The route whose next hop the frame goes to (the gateway's route for a
// gateway route), revalidated; the error when it is unusable.
int revalidate(sockaddr* dst, rtentry** rtp) {
  rtentry* rt0 = *rtp;
  rtentry* rt = rt0;
  if (rt == nullptr) return 0;
  if (!(rt->rt_flags & RTF_UP)) {
    rt0 = rt = rtalloc1(dst, 1, 0);
    if (rt == nullptr) return BSD_EHOSTUNREACH;
    --rt->rt_refcnt;  // the caller's route record holds none for it
  }
  if (rt->rt_flags & RTF_GATEWAY) {
    rtentry* gw = rt->rt_gwroute;
    if (gw == nullptr || !(gw->rt_flags & RTF_UP)) {
      if (gw != nullptr) {
        rt->rt_gwroute = nullptr;
        rtfree(gw);
      }
      rt->rt_gwroute = rtalloc1(rt->rt_gateway, 1, 0);
      if (rt->rt_gwroute == nullptr) return BSD_EHOSTUNREACH;
    }
    rt = rt->rt_gwroute;
  }
  if (rt->rt_flags & RTF_REJECT) {
    if (rt->rt_rmx.rmx_expire == 0 || stack_time_seconds() < rt->rt_rmx.rmx_expire) {
      return rt == rt0 ? BSD_EHOSTDOWN : BSD_EHOSTUNREACH;
    }
  }
  *rtp = rt;
  return 0;
}

}  // namespace

void ether_map_group(std::uint32_t group, std::uint8_t* out) {
  const auto* g = reinterpret_cast<const std::uint8_t*>(&group);
  out[0] = 0x01;
  out[1] = 0x00;
  out[2] = 0x5E;
  out[3] = g[1] & 0x7F;
  out[4] = g[2];
  out[5] = g[3];
}

bool iface_is_ether(const ifnet* ifp) { return ifp != nullptr && ifp->if_output == ether_if_output; }

int ether_ifattach(arpcom* ac, const std::uint8_t* mac) {
  ifnet* ifp = &ac->ac_if;
  ifp->if_data.ifi_type = IFT_ETHER;
  ifp->if_data.ifi_addrlen = ETHER_ADDR_LEN;
  ifp->if_data.ifi_hdrlen = ETHER_HDR_LEN;
  if (ifp->if_data.ifi_mtu == 0) ifp->if_data.ifi_mtu = ETHERMTU;
  ifp->if_flags |= IFF_BROADCAST | IFF_SIMPLEX | IFF_MULTICAST;
  if (ifp->if_snd.ifq_maxlen == 0) ifp->if_snd.ifq_maxlen = IFQ_MAXLEN;
  ifp->if_output = ether_if_output;
  if (ifp->if_ioctl == nullptr) ifp->if_ioctl = ether_if_ioctl;
  ifp->if_resolvemulti = ether_map_multicast;
  ifp->if_signature = IFNET_SIGNATURE;
  std::memcpy(ifp->if_ethaddr, mac, ETHER_ADDR_LEN);
  const int error = if_attach(ifp);
  if (error == 0 && ifp->if_addr == nullptr) OSPrimDebugPrint("no lladdr!\n");
  return error;
}

int ether_if_output(ifnet* ifp, mbuf* m, sockaddr* dst, rtentry* rt) {
  int error = 0;
  std::uint8_t edst[ETHER_ADDR_LEN];
  std::uint8_t esrc[ETHER_ADDR_LEN];
  std::memcpy(esrc, ifp->if_ethaddr, ETHER_ADDR_LEN);
  std::uint16_t type = 0;  // network order
  bool may_loop = true;
  if ((ifp->if_flags & (IFF_UP | IFF_RUNNING)) != (IFF_UP | IFF_RUNNING)) {
    error = BSD_ENETDOWN;
    goto bad;
  }
  error = revalidate(dst, &rt);
  if (error != 0) goto bad;
  switch (dst->sa_family) {
    case AF_INET: {
      const InterfaceProtocolHooks& hooks = iface_protocol_hooks();
      if (hooks.arpresolve == nullptr) {
        error = BSD_EAFNOSUPPORT;
        goto bad;
      }
      // 0: the packet waits for the resolution (or was dropped).
      if (!hooks.arpresolve(ifp, rt, m, dst, edst)) return 0;
      type = htons(ETHERTYPE_IP);
      break;
    }
    case pseudo_AF_HDRCMPLT:
    case AF_UNSPEC: {
      const auto* eh = reinterpret_cast<const ether_header*>(dst->sa_data);
      if (dst->sa_family == pseudo_AF_HDRCMPLT) std::memcpy(esrc, eh->ether_shost, ETHER_ADDR_LEN);
      std::memcpy(edst, eh->ether_dhost, ETHER_ADDR_LEN);
      type = eh->ether_type;
      may_loop = false;
      break;
    }
    default:
      OSPrimDebugPrint("%s%d: can't handle af%d\n", ifp->if_name, ifp->if_unit, dst->sa_family);
      error = BSD_EAFNOSUPPORT;
      goto bad;
  }
  m = m_prepend(m, ETHER_HDR_LEN, M_DONTWAIT);
  if (m == nullptr) return BSD_ENOBUFS;
  {
    auto* eh = mtod<ether_header>(m);
    std::memcpy(eh->ether_dhost, edst, ETHER_ADDR_LEN);
    std::memcpy(eh->ether_shost, esrc, ETHER_ADDR_LEN);
    eh->ether_type = type;
  }
  if ((ifp->if_flags & IFF_SIMPLEX) && may_loop) {
    // A simplex interface does not hear itself: what this host must also
    // receive is looped back here.
    if (m->m_flags & M_BCAST) {
      loop_copy(ifp, m, dst->sa_family);
    } else if (std::memcmp(edst, esrc, ETHER_ADDR_LEN) == 0) {
      if_simloop(ifp, m, dst->sa_family, ETHER_HDR_LEN);
      return 0;
    }
  }
  return ether_if_output_frame(ifp, m);
bad:
  mbuf_free_chain(m);
  return error;
}

int ether_if_output_frame(ifnet* ifp, mbuf* m) {
  const std::int32_t length = m->mh.m_pkthdr.len;
  const bool multicast = (m->m_flags & M_MCAST) != 0;
  if (if_enqueue(&ifp->if_snd, m) != 0) {
    log_drop("if_handoff_tx", __LINE__, m, ifp->if_snd.ifq_drops);
    mbuf_free_chain(m);
    return BSD_ENOBUFS;
  }
  ifp->if_data.ifi_obytes += static_cast<std::uint32_t>(length);
  if (multicast) ++ifp->if_data.ifi_omcasts;
  // Queued is sent: a driver that is busy, or out of transmit buffers, takes
  // the frame when it can, so the caller is not told of a failure.
  if (!(ifp->if_flags & IFF_OACTIVE) && ifp->if_start != nullptr) ifp->if_start(ifp);
  return 0;
}

void ether_if_input(ifnet* ifp, const ether_header* eh, mbuf* m) {
  if (!(ifp->if_flags & IFF_UP)) {
    mbuf_free_chain(m);
    return;
  }
  if (eh->ether_dhost[0] & 1) {
    m->m_flags |= std::memcmp(eh->ether_dhost, etherbroadcastaddr, ETHER_ADDR_LEN) == 0 ? M_BCAST : M_MCAST;
    ++ifp->if_data.ifi_imcasts;
  }
  ifqueue* q = nullptr;
  std::uint32_t isr = 0;
  switch (ntohs(eh->ether_type)) {
    case ETHERTYPE_IP: {
      const InterfaceProtocolHooks& hooks = iface_protocol_hooks();
      if (hooks.ip_fastforward != nullptr && hooks.ip_fastforward(m)) return;
      q = &ipintrq;
      isr = NETISR_IP;
      break;
    }
    case ETHERTYPE_ARP:
      if (ifp->if_flags & IFF_NOARP) {
        mbuf_free_chain(m);
        return;
      }
      q = &arpintrq;
      isr = NETISR_ARP;
      break;
    default:
      // Tagged frames and protocols this stack does not speak.
      ++ifp->if_data.ifi_noproto;
      mbuf_free_chain(m);
      return;
  }
  if (!(m->m_flags & M_PKTHDR) || m->mh.m_pkthdr.rcvif == nullptr) {
    mbuf_free_chain(m);
    return;
  }
  if (if_enqueue(q, m) != 0) {
    log_drop("if_handoff_rx", __LINE__, m, q->ifq_drops);
    mbuf_free_chain(m);
    return;
  }
  schednetisr(isr);
}

int ether_if_ioctl(ifnet* ifp, std::uint32_t cmd, void* data) {
  switch (cmd) {
    case SIOCSIFADDR: {
      auto* ifa = static_cast<ifaddr*>(data);
      ifp->if_flags |= IFF_UP;
      ifp->if_xflags |= IFF_UP;
      if (ifp->if_init != nullptr) ifp->if_init(ifp->if_softc);
      const InterfaceProtocolHooks& hooks = iface_protocol_hooks();
      if (ifa != nullptr && ifa->ifa_addr != nullptr && ifa->ifa_addr->sa_family == AF_INET &&
          hooks.arp_ifinit != nullptr) {
        hooks.arp_ifinit(ifp, ifa);
      }
      return 0;
    }
    case SIOCSIFMTU: {
      const auto* ifr = static_cast<ifreq*>(data);
      if (ifr->ifr_ifru.ifru_mtu > ETHERMTU) return BSD_EINVAL;
      ifp->if_data.ifi_mtu = static_cast<std::uint32_t>(ifr->ifr_ifru.ifru_mtu);
      return 0;
    }
    case 0xC0206920:
    case SIOCGIFADDR: {
      auto* sa = &static_cast<ifreq*>(data)->ifr_ifru.ifru_addr;
      sa->sa_len = ETHER_ADDR_LEN;
      sa->sa_family = AF_LOCAL;
      std::memcpy(sa->sa_data, ifp->if_ethaddr, ETHER_ADDR_LEN);
      return 0;
    }
    default:
      return 0;
  }
}

int ether_map_multicast(ifnet* ifp, sockaddr** llsa, sockaddr* sa) {
  *llsa = nullptr;
  switch (sa->sa_family) {
    case AF_LINK: {
      const auto* sdl = reinterpret_cast<sockaddr_dl*>(sa);
      // A group link address stands for itself.
      if (sdl->sdl_alen == ETHER_ADDR_LEN && (LLADDR(const_cast<sockaddr_dl*>(sdl))[0] & 1)) return 0;
      return BSD_EADDRNOTAVAIL;
    }
    case AF_INET: {
      const auto* sin = reinterpret_cast<const sockaddr_in*>(sa);
      if (!IN_MULTICAST(ntohl(sin->sin_addr.s_addr))) return BSD_EADDRNOTAVAIL;
      auto* sdl = static_cast<sockaddr_dl*>(OSPrimMemAllocPtr(sizeof(sockaddr_dl)));
      if (sdl == nullptr) {
        ZEK_LOG_FAILURE("Failed to allocate sockaddr_dl Memory");
        return BSD_ENOMEM;
      }
      std::memset(sdl, 0, sizeof(*sdl));
      sdl->sdl_len = sizeof(sockaddr_dl);
      sdl->sdl_family = AF_LINK;
      sdl->sdl_index = ifp->if_index;
      sdl->sdl_type = IFT_ETHER;
      sdl->sdl_alen = ETHER_ADDR_LEN;
      ether_map_group(sin->sin_addr.s_addr, LLADDR(sdl));
      *llsa = reinterpret_cast<sockaddr*>(sdl);
      return 0;
    }
    default:
      return BSD_EAFNOSUPPORT;
  }
}

}  // namespace zektcp
