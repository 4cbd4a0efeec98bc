// The loopback interface "lo0": output loops every packet back into IP
// input, and if_simloop serves the Ethernet layer's copies for this host.
#include <cstring>

#include "proxy/tcpip/net/if_ether.h"
#include "proxy/tcpip/net/route.h"

namespace zektcp {

namespace {

ifnet g_loif;
bool g_lo_attached;

// A short chained packet becomes one cluster, so IP input reads it whole.
mbuf* compact(mbuf* m) {
  if (m->m_next == nullptr || m->mh.m_pkthdr.len >= MCLBYTES) return m;
  mbuf* n = nullptr;
  if (GetMBufHdr(&n, M_DONTWAIT, MT_HEADER) == 0) {
    MclAlloc(n, M_DONTWAIT);
    if (n->m_flags & M_EXT) {
      m_copydata(m, 0, m->mh.m_pkthdr.len, n->m_data);
      n->m_len = m->mh.m_pkthdr.len;
      n->mh.m_pkthdr = m->mh.m_pkthdr;
      n->m_flags |= m->m_flags & M_COPYFLAGS;
      m->mh.m_pkthdr.tags = nullptr;
      mbuf_free_chain(m);
      return n;
    }
    mbuf_free_one(n);
  }
  OSPrimDebugPrint("looutput: mbuf allocation failed\n");
  return m;
}

}  // namespace

ifnet* loif() { return g_lo_attached ? &g_loif : nullptr; }

ifnet* loop_attach() {
  if (g_lo_attached) return &g_loif;
  g_loif = ifnet{};
  g_loif.if_softc = &g_loif;
  g_loif.if_name = "lo";
  g_loif.if_unit = 0;
  g_loif.if_flags = IFF_LOOPBACK | IFF_MULTICAST;
  g_loif.if_data.ifi_type = IFT_LOOP;
  g_loif.if_data.ifi_mtu = LOMTU;
  g_loif.if_snd.ifq_maxlen = IFQ_MAXLEN;
  g_loif.if_output = looutput;
  g_loif.if_ioctl = loioctl;
  g_loif.if_signature = IFNET_SIGNATURE;
  if (if_attach(&g_loif) != 0) return nullptr;
  g_lo_attached = true;
  return &g_loif;
}

void loop_detach() {
  if (!g_lo_attached) return;
  iface_detach(&g_loif);
  g_lo_attached = false;
}

int looutput(ifnet* ifp, mbuf* m, sockaddr* dst, rtentry* rt) {
  if (!(m->m_flags & M_PKTHDR)) panic("looutput no HDR");
  if (rt != nullptr && (rt->rt_flags & (RTF_REJECT | RTF_BLACKHOLE))) {
    mbuf_free_chain(m);
    if (rt->rt_flags & RTF_BLACKHOLE) return 0;
    return (rt->rt_flags & RTF_HOST) ? BSD_EHOSTUNREACH : BSD_ENETUNREACH;
  }
  m = compact(m);
  ++ifp->if_data.ifi_opackets;
  ifp->if_data.ifi_obytes += static_cast<std::uint32_t>(m->mh.m_pkthdr.len);
  switch (dst->sa_family) {
    case AF_INET:
    case 6:
    case 16:
    case 23:
    case 28:
      return if_simloop(ifp, m, dst->sa_family, 0);
    default:
      OSPrimDebugPrint("looutput: af=%d unexpected\n", dst->sa_family);
      mbuf_free_chain(m);
      return BSD_EAFNOSUPPORT;
  }
}

int if_simloop(ifnet* ifp, mbuf* m, int af, int hlen) {
  if (!(m->m_flags & M_PKTHDR)) panic("if_simloop: no HDR");
  m->mh.m_pkthdr.rcvif = ifp;
  if (af == AF_UNSPEC) {
    if (m->m_len < 4) panic("if_simloop: m_len");
    std::uint32_t family = 0;
    std::memcpy(&family, m->m_data, sizeof(family));
    af = static_cast<int>(family);
    mbuf_trim(m, 4);
  }
  if (hlen > 0) mbuf_trim(m, hlen);
  if (af != AF_INET) {
    OSPrimDebugPrint("if_simloop: can't handle af=%d\n", af);
    mbuf_free_chain(m);
    return BSD_EAFNOSUPPORT;
  }
  const std::int32_t length = m->mh.m_pkthdr.len;
  if (if_enqueue(&ipintrq, m) != 0) {
    mbuf_free_chain(m);
    return BSD_ENOBUFS;
  }
  ++ifp->if_data.ifi_ipackets;
  ifp->if_data.ifi_ibytes += static_cast<std::uint32_t>(length);
  schednetisr(NETISR_IP);
  return 0;
}

void lortrequest(int, rtentry* rt, rt_addrinfo*) {
  if (rt == nullptr) return;
  if (rt->rt_ifp != nullptr) rt->rt_rmx.rmx_mtu = rt->rt_ifp->if_data.ifi_mtu;
  rt->rt_rmx.rmx_recvpipe = LO_PIPE_SIZE;
  rt->rt_rmx.rmx_sendpipe = LO_PIPE_SIZE;
}

int loioctl(ifnet* ifp, std::uint32_t cmd, void* data) {
  switch (cmd) {
    case SIOCSIFADDR: {
      ifp->if_flags |= IFF_UP | IFF_RUNNING;
      ifp->if_xflags |= IFF_UP | IFF_RUNNING;
      if (auto* ifa = static_cast<ifaddr*>(data)) ifa->ifa_rtrequest = lortrequest;
      return 0;
    }
    case SIOCSIFFLAGS:
      return 0;
    case SIOCADDMULTI:
    case SIOCDELMULTI: {
      // The interface layer reports a change of its list without naming
      // the address; a request that names one must name an IPv4 group.
      const auto* ifr = static_cast<ifreq*>(data);
      if (ifr == nullptr) return 0;
      return ifr->ifr_ifru.ifru_addr.sa_family == AF_INET ? 0 : BSD_EAFNOSUPPORT;
    }
    case SIOCSIFMTU:
      ifp->if_data.ifi_mtu = static_cast<std::uint32_t>(static_cast<ifreq*>(data)->ifr_ifru.ifru_mtu);
      return 0;
    case 0xC0206920: {
      auto* ifr = static_cast<ifreq*>(data);
      std::memset(&ifr->ifr_ifru.ifru_addr, 0, sizeof(ifr->ifr_ifru.ifru_addr));
      return 0;
    }
    default:
      return BSD_EINVAL;
  }
}

}  // namespace zektcp
