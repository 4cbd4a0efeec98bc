// The routing socket: the routing domain, the "get" request, and the
// messages that report interface, address, multicast and route changes to
// every listening routing socket.
#include "proxy/tcpip/net/rtsock.h"

#include <cstring>

#include "proxy/tcpip/socket/domain.h"

namespace zektcp {

namespace {

route_listeners g_listeners;
user_req_table g_route_usrreqs;
const sockaddr kRouteAddr = {2, AF_ROUTE, {}};  // source and destination of every message

int roundup4(int len) { return len > 0 ? 1 + ((len - 1) | 3) : 4; }

int header_size(int type) {
  switch (type) {
    case RTM_NEWADDR:
    case RTM_DELADDR:
      return sizeof(ifa_msghdr);
    case RTM_IFINFO:
      return sizeof(if_msghdr);
    case RTM_NEWMADDR:
    case RTM_DELMADDR:
      return sizeof(ifma_msghdr);
    case RTM_IFANNOUNCE:
      return sizeof(if_announcemsghdr);
    default:
      return sizeof(rt_msghdr);
  }
}

// Where a message type keeps its address bits (none for announcements).
std::int32_t* addrs_field(int type, std::uint8_t* header) {
  switch (type) {
    case RTM_IFANNOUNCE:
      return nullptr;
    case RTM_NEWADDR:
    case RTM_DELADDR:
    case RTM_IFINFO:
    case RTM_NEWMADDR:
    case RTM_DELMADDR:
      return reinterpret_cast<std::int32_t*>(header + 4);
    default:
      return reinterpret_cast<std::int32_t*>(header + offsetof(rt_msghdr, rtm_addrs));
  }
}

// The per-family listener count of a routing socket's protocol.
std::uint32_t* counter_for(std::uint16_t protocol) {
  switch (protocol) {
    case AF_INET:
      return &g_listeners.ip;
    case 6:
      return &g_listeners.ns;
    case 23:
      return &g_listeners.iso;
    case 28:
      return &g_listeners.ip6;
    default:
      return nullptr;
  }
}

void deliver(mbuf* m, std::uint16_t family, socket* skip = nullptr) {
  const sockproto proto{AF_ROUTE, family};
  rawsock_input(m, &proto, &kRouteAddr, &kRouteAddr, skip);
}

bool listening() { return g_listeners.any > 0; }

void to_message_data(const if_data_block& d, if_msg_data* out) {
  std::memset(out, 0, sizeof(*out));
  out->ifi_type = d.ifi_type;
  out->ifi_physical = d.ifi_physical;
  out->ifi_addrlen = d.ifi_addrlen;
  out->ifi_hdrlen = d.ifi_hdrlen;
  out->ifi_mtu = d.ifi_mtu;
  out->ifi_metric = d.ifi_metric;
  out->ifi_baudrate = d.ifi_baudrate;
  const std::uint32_t counters[11] = {d.ifi_ipackets,   d.ifi_ierrors, d.ifi_opackets, d.ifi_oerrors,
                                      d.ifi_collisions, d.ifi_ibytes,  d.ifi_obytes,   d.ifi_imcasts,
                                      d.ifi_omcasts,    d.ifi_iqdrops, d.ifi_noproto};
  std::memcpy(out->ifi_counters, counters, sizeof(counters));
  out->ifi_lastchange_sec = static_cast<std::uint32_t>(d.ifi_lastchange.tv_sec);
  out->ifi_lastchange_usec = static_cast<std::uint32_t>(d.ifi_lastchange.tv_usec);
  out->ifi_capabilities = d.ifi_capabilities;
  out->ifi_capenable = d.ifi_capenable;
}

// ---- The routing domain's user requests ---------------------------------------------------------
int route_attach(socket* so, int proto, process*) {
  if (sotorawcb(so) != nullptr) return BSD_EISCONN;
  auto* rp = static_cast<raw_cb*>(OSPrimMemAllocPtr(sizeof(raw_cb)));
  if (rp == nullptr) return BSD_ENOBUFS;
  std::memset(rp, 0, sizeof(*rp));
  so->so_pcb = rp;
  const int error = rawsock_attach(so, proto);
  if (error != 0) {
    so->so_pcb = nullptr;
    OSPrimMemFreePtr(rp);
    return error;
  }
  rp->rcb_faddr = static_cast<sockaddr*>(OSPrimMemAllocPtr(sizeof(sockaddr)));
  if (rp->rcb_faddr != nullptr) std::memcpy(rp->rcb_faddr, &kRouteAddr, sizeof(kRouteAddr));
  if (std::uint32_t* count = counter_for(rp->rcb_proto.sp_protocol)) ++*count;
  ++g_listeners.any;
  mark_socket_connected(so);
  so->so_options |= SO_USELOOPBACK;
  return 0;
}

int route_detach(socket* so) {
  raw_cb* rp = sotorawcb(so);
  if (rp == nullptr) return BSD_EINVAL;
  if (std::uint32_t* count = counter_for(rp->rcb_proto.sp_protocol)) --*count;
  --g_listeners.any;
  rawsock_detach(rp);
  return 0;
}

void route_init() {
  g_listeners = route_listeners{};
  g_route_usrreqs = raw_usrreqs;
  g_route_usrreqs.pru_attach = route_attach;
  g_route_usrreqs.pru_detach = route_detach;
  rawsock_init();
  static const RouteReporter reporter = {
      listening,
      rtsock_miss_msg,
      rtsock_newaddr_msg,
      rtsock_if_msg,
      rtsock_ifannounce_msg,
      rtsock_newmaddr_msg,
      [](rt_addrinfo* info, int flags, int error) { rtsock_miss_msg(RTM_REDIRECT, info, flags, error); },
  };
  route_set_reporter(&reporter);
}

proto_switch g_routesw[] = {
    {SOCK_RAW, &routedomain, 0, PR_ATOMIC | PR_ADDR, nullptr, route_output, rawsock_ctlinput, nullptr, nullptr, nullptr,
     nullptr, nullptr, nullptr, &g_route_usrreqs},
};

}  // namespace

domain routedomain = {AF_ROUTE,      "route", route_init, nullptr, nullptr, g_routesw,
                      g_routesw + 1, nullptr, nullptr,    0,       0};

const route_listeners& route_listener_counts() { return g_listeners; }

int rtsock_msg_copy(int type, rt_addrinfo* info, void* buf, int len) {
  const int hlen = header_size(type);
  auto* out = static_cast<std::uint8_t*>(buf);
  int total = hlen;
  std::int32_t addrs = 0;
  if (info != nullptr) {
    for (int i = 0; i < RTAX_MAX; ++i) {
      const sockaddr* sa = info->rti_info[i];
      if (sa == nullptr) continue;
      addrs |= 1 << i;
      const int room = roundup4(sa->sa_len);
      if (out != nullptr && total + room <= len) {
        std::memset(out + total, 0, static_cast<std::size_t>(room));
        std::memcpy(out + total, sa, sa->sa_len);
      }
      total += room;
    }
  }
  if (out != nullptr && len >= hlen) {
    auto* msglen = reinterpret_cast<std::uint16_t*>(out);
    *msglen = static_cast<std::uint16_t>(total);
    out[2] = RTM_VERSION;
    out[3] = static_cast<std::uint8_t>(type);
    if (std::int32_t* field = addrs_field(type, out)) *field = addrs;
  }
  return total;
}

mbuf* rtsock_msg_build(int type, rt_addrinfo* info) {
  const int len = rtsock_msg_copy(type, info, nullptr, 0);
  if (len > MCLBYTES) return nullptr;
  auto* buf = static_cast<std::uint8_t*>(OSPrimMemAllocPtr(static_cast<std::uint32_t>(len)));
  if (buf == nullptr) return nullptr;
  std::memset(buf, 0, static_cast<std::size_t>(len));
  rtsock_msg_copy(type, info, buf, len);
  mbuf* m = mbuf_from_bytes(buf, len, nullptr, M_DONTWAIT);
  OSPrimMemFreePtr(buf);
  if (m != nullptr && m->m_len < header_size(type)) {
    // The header must be contiguous for the caller to fill in.
    mbuf_free_chain(m);
    return nullptr;
  }
  return m;
}

void rtsock_set_metrics(std::uint32_t bits, const rt_metrics* in, rt_metrics* out) {
  if (bits & RTV_MTU) out->rmx_mtu = in->rmx_mtu;
  if (bits & RTV_HOPCOUNT) out->rmx_hopcount = in->rmx_hopcount;
  if (bits & RTV_EXPIRE) out->rmx_expire = in->rmx_expire;
  if (bits & RTV_RPIPE) out->rmx_recvpipe = in->rmx_recvpipe;
  if (bits & RTV_SPIPE) out->rmx_sendpipe = in->rmx_sendpipe;
  if (bits & RTV_SSTHRESH) out->rmx_ssthresh = in->rmx_ssthresh;
  if (bits & RTV_RTT) out->rmx_rtt = in->rmx_rtt;
  if (bits & RTV_RTTVAR) out->rmx_rttvar = in->rmx_rttvar;
}

void rtsock_miss_msg(int type, rt_addrinfo* info, int flags, int error) {
  if (!listening()) return;
  mbuf* m = rtsock_msg_build(type, info);
  if (m == nullptr) return;
  auto* rtm = mtod<rt_msghdr>(m);
  rtm->rtm_flags = static_cast<std::int32_t>(RTF_DONE) | flags;
  rtm->rtm_errno = error;
  const sockaddr* dst = info != nullptr ? info->rti_info[RTAX_DST] : nullptr;
  deliver(m, dst != nullptr ? dst->sa_family : 0);
}

void rtsock_if_msg(ifnet* ifp) {
  if (!listening()) return;
  mbuf* m = rtsock_msg_build(RTM_IFINFO, nullptr);
  if (m == nullptr) return;
  auto* ifm = mtod<if_msghdr>(m);
  ifm->ifm_index = ifp->if_index;
  ifm->ifm_flags = ifp->if_flags;
  to_message_data(ifp->if_data, &ifm->ifm_data);
  deliver(m, 0);
}

void rtsock_newaddr_msg(int cmd, ifaddr* ifa, int error, rtentry* rt) {
  if (!listening() || ifa == nullptr) return;
  ifnet* ifp = ifa->ifa_ifp;
  for (int pass = 1; pass <= 2; ++pass) {
    const bool address_message = (cmd == RTM_ADD && pass == 1) || (cmd == RTM_DELETE && pass == 2);
    if (address_message) {
      rt_addrinfo info{};
      info.rti_info[RTAX_IFA] = ifa->ifa_addr;
      info.rti_info[RTAX_IFP] = ifp != nullptr && ifp->if_addr != nullptr ? ifp->if_addr->ifa_addr : nullptr;
      info.rti_info[RTAX_NETMASK] = ifa->ifa_netmask;
      info.rti_info[RTAX_BRD] = ifa->ifa_dstaddr;
      const int type = cmd == RTM_ADD ? RTM_NEWADDR : RTM_DELADDR;
      mbuf* m = rtsock_msg_build(type, &info);
      if (m == nullptr) continue;
      auto* ifam = mtod<ifa_msghdr>(m);
      ifam->ifam_index = ifp != nullptr ? ifp->if_index : 0;
      ifam->ifam_metric = ifa->ifa_metric;
      ifam->ifam_flags = ifa->ifa_flags;
      deliver(m, ifa->ifa_addr != nullptr ? ifa->ifa_addr->sa_family : 0);
    } else if (rt != nullptr) {
      rt_addrinfo info{};
      info.rti_info[RTAX_NETMASK] = rt_mask(rt);
      info.rti_info[RTAX_DST] = rt_key(rt);
      info.rti_info[RTAX_GATEWAY] = rt->rt_gateway;
      mbuf* m = rtsock_msg_build(cmd, &info);
      if (m == nullptr) continue;
      auto* rtm = mtod<rt_msghdr>(m);
      rtm->rtm_index = ifp != nullptr ? ifp->if_index : 0;
      rtm->rtm_flags = static_cast<std::int32_t>(rt->rt_flags);
      rtm->rtm_errno = error;
      deliver(m, rt_key(rt)->sa_family);
    }
  }
}

void rtsock_newmaddr_msg(int cmd, ifmultiaddr* ifma) {
  if (!listening() || ifma == nullptr) return;
  ifnet* ifp = ifma->ifma_ifp;
  rt_addrinfo info{};
  info.rti_info[RTAX_IFA] = ifma->ifma_addr;
  info.rti_info[RTAX_IFP] = ifp != nullptr && ifp->if_addr != nullptr ? ifp->if_addr->ifa_addr : nullptr;
  info.rti_info[RTAX_GATEWAY] = ifma->ifma_lladdr;
  mbuf* m = rtsock_msg_build(cmd, &info);
  if (m == nullptr) return;
  auto* ifmam = mtod<ifma_msghdr>(m);
  ifmam->ifmam_index = ifp != nullptr ? ifp->if_index : 0;
  deliver(m, ifma->ifma_addr != nullptr ? ifma->ifma_addr->sa_family : 0);
}

void rtsock_ifannounce_msg(ifnet* ifp, int what) {
  if (!listening()) return;
  mbuf* m = rtsock_msg_build(RTM_IFANNOUNCE, nullptr);
  if (m == nullptr) return;
  auto* ifan = mtod<if_announcemsghdr>(m);
  ifan->ifan_index = ifp->if_index;
  char name[IFNAMSIZ] = {};
  iface_full_name(ifp, name);
  std::memcpy(ifan->ifan_name, name, sizeof(ifan->ifan_name));
  ifan->ifan_what = static_cast<std::uint16_t>(what);
  deliver(m, 0);
}

int route_output(mbuf* m, socket* so) {
  if (m == nullptr) return BSD_ENOBUFS;
  if (m->m_len < 4) {
    m = m_pullup(m, 4);
    if (m == nullptr) return BSD_ENOBUFS;
  }
  if (!(m->m_flags & M_PKTHDR)) panic("route_output");
  const int len = m->mh.m_pkthdr.len;
  std::uint16_t msglen = 0;
  std::memcpy(&msglen, m->m_data, sizeof(msglen));
  if (len < static_cast<int>(sizeof(rt_msghdr)) || len != msglen) {
    mbuf_free_chain(m);
    return BSD_EINVAL;
  }
  int error = 0;
  rtentry* rt = nullptr;
  std::uint16_t family = 0;
  rt_addrinfo info{};
  auto* rtm = static_cast<rt_msghdr*>(OSPrimMemAllocPtr(static_cast<std::uint32_t>(len)));
  if (rtm == nullptr) {
    mbuf_free_chain(m);
    return BSD_ENOBUFS;
  }
  m_copydata(m, 0, len, rtm);
  if (rtm->rtm_version != RTM_VERSION) {
    error = BSD_EPROTONOSUPPORT;
    goto flush;
  }
  {
    // The addresses, in bit order, each padded to 4 bytes.
    auto* cp = reinterpret_cast<std::uint8_t*>(rtm + 1);
    const std::uint8_t* limit = reinterpret_cast<std::uint8_t*>(rtm) + len;
    for (int i = 0; i < RTAX_MAX; ++i) {
      if (!(rtm->rtm_addrs & (1 << i))) continue;
      // Bits without addresses behind them ask for information (the
      // interface of a get).
      if (cp >= limit) break;
      auto* sa = reinterpret_cast<sockaddr*>(cp);
      if (sa->sa_len == 0) break;  // this one and the rest are empty
      if (sa->sa_len < 2 || cp + sa->sa_len > limit) {
        error = BSD_EINVAL;
        goto flush;
      }
      info.rti_info[i] = sa;
      cp += roundup4(sa->sa_len);
    }
  }
  {
    sockaddr* dst = info.rti_info[RTAX_DST];
    sockaddr* gateway = info.rti_info[RTAX_GATEWAY];
    if (dst == nullptr || dst->sa_family > AF_MAX - 1 || (gateway != nullptr && gateway->sa_family > AF_MAX - 1)) {
      error = BSD_EINVAL;
      goto flush;
    }
    family = dst->sa_family;
    // Generating masks are not looked up: the tree keeps no mask tree, and
    // "get", the one request served, does not use them.
    if (rtm->rtm_type != RTM_GET) {
      error = BSD_EPERM;
      goto flush;
    }
    radix_node_head* rnh = rt_tree(dst->sa_family);
    if (rnh == nullptr) {
      error = BSD_EAFNOSUPPORT;
      goto flush;
    }
    radix_node* rn = rnh->rnh_lookup(dst, info.rti_info[RTAX_NETMASK], rnh);
    if (rn == nullptr || (rn->rn_flags & RNF_ROOT)) {
      error = BSD_ESRCH;
      goto flush;
    }
    rt = reinterpret_cast<rtentry*>(rn);
    ++rt->rt_refcnt;
    rt_addrinfo reply{};
    reply.rti_info[RTAX_DST] = rt_key(rt);
    reply.rti_info[RTAX_GATEWAY] = rt->rt_gateway;
    reply.rti_info[RTAX_NETMASK] = rt_mask(rt);
    reply.rti_info[RTAX_GENMASK] = rt->rt_genmask;
    std::uint16_t index = 0;
    if ((rtm->rtm_addrs & (RTA_IFP | RTA_IFA)) && rt->rt_ifp != nullptr) {
      ifnet* ifp = rt->rt_ifp;
      reply.rti_info[RTAX_IFP] = ifp->if_addr != nullptr ? ifp->if_addr->ifa_addr : nullptr;
      reply.rti_info[RTAX_IFA] = rt->rt_ifa != nullptr ? rt->rt_ifa->ifa_addr : nullptr;
      if ((ifp->if_flags & IFF_POINTOPOINT) && rt->rt_ifa != nullptr)
        reply.rti_info[RTAX_BRD] = rt->rt_ifa->ifa_dstaddr;
      index = ifp->if_index;
    }
    const int need = rtsock_msg_copy(RTM_GET, &reply, nullptr, 0);
    if (need > rtm->rtm_msglen) {
      auto* bigger = static_cast<rt_msghdr*>(OSPrimMemAllocPtr(static_cast<std::uint32_t>(need)));
      if (bigger == nullptr) {
        error = BSD_ENOBUFS;
        goto flush;
      }
      std::memcpy(bigger, rtm, sizeof(rt_msghdr));
      OSPrimMemFreePtr(rtm);
      rtm = bigger;
    }
    const rt_msghdr request = *rtm;
    rtsock_msg_copy(RTM_GET, &reply, rtm, need);
    rtm->rtm_index = index;
    rtm->rtm_pid = request.rtm_pid;
    rtm->rtm_seq = request.rtm_seq;
    rtm->rtm_flags = static_cast<std::int32_t>(rt->rt_flags);
    rtm->rtm_use = static_cast<std::int32_t>(rt->rt_rmx.rmx_pksent);
    static_assert(sizeof(rt_metrics) <= sizeof(rt_msg_metrics));
    std::memset(&rtm->rtm_rmx, 0, sizeof(rtm->rtm_rmx));
    std::memcpy(&rtm->rtm_rmx, &rt->rt_rmx, sizeof(rt_metrics));
  }
flush:
  if (error != 0) {
    rtm->rtm_errno = error;
  } else {
    rtm->rtm_flags |= static_cast<std::int32_t>(RTF_DONE);
  }
  if (rt != nullptr) rtfree(rt);
  // A sender that does not want its own messages gets no copy; when it is
  // the only listener, nobody does.
  socket* skip = nullptr;
  if (!(so->so_options & SO_USELOOPBACK)) {
    if (g_listeners.any <= 1) {
      OSPrimMemFreePtr(rtm);
      mbuf_free_chain(m);
      return error;
    }
    skip = so;
  }
  const int out_len = rtm->rtm_msglen;
  if (out_len < len) mbuf_trim(m, out_len - len);
  if (mbuf_store_data(m, 0, out_len, rtm) != 0) {
    OSPrimMemFreePtr(rtm);
    mbuf_free_chain(m);
    return error != 0 ? error : BSD_ENOBUFS;
  }
  OSPrimMemFreePtr(rtm);
  deliver(m, family, skip);
  return error;
}

}  // namespace zektcp
