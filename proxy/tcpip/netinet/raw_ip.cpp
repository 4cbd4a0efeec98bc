// Raw IP sockets: delivery of whole datagrams (with an ICMP type filter),
// sending with or without a caller-built header, their options and user
// requests; and the encapsulation input, which hands every packet to them.
#include <cstring>

#include "proxy/tcpip/netinet/in.h"
#include "proxy/tcpip/netinet/raw_ip.h"

namespace zektcp {

inpcb_table ripcbinfo;

namespace {

inpcb* g_ripcb;
bool g_rip_ready;
bool g_encap_ready;
socket* g_rsvp_socket;  // the one reservation-protocol socket
int g_rsvp_on;

constexpr int AF_IMPLINK = 3;

// An ICMP message whose type the receiver's filter word keeps out.
bool filtered(const inpcb* inp, const mbuf* m, int off) {
  std::uint8_t type = 0;
  if (m_copydata(m, off, 1, &type) != 0) return false;
  // One bit per type: types 32 and above have none and always pass.
  return type < 32 && (inp->inp_icmp_filter & (1u << type)) != 0;
}

bool deliver_to(inpcb* inp, mbuf* m, const ip* h, const sockaddr_in* from) {
  socket* so = inp->inp_socket;
  mbuf* opts = nullptr;
  if ((inp->inp_flags & PCBF_CONTROLOPTS) || (so->so_options & SO_TIMESTAMP)) ip_make_control(inp, &opts, h, m);
  if (!sbappendaddr(&so->so_rcv, reinterpret_cast<const sockaddr*>(from), m, opts)) {
    mbuf_free_chain(m);
    mbuf_free_chain(opts);
    return false;
  }
  wake_socket_readers(so);
  return true;
}

int rip_attach(socket* so, int proto, process*) {
  if (sotoinpcb(so) != nullptr) panic("rip_attach");
  int error = reserve_socket_buffers(so, RIP_SNDQ, RIP_RCVQ);
  if (error != 0) return error;
  error = inpcb_alloc(so, &ripcbinfo);
  if (error != 0) return error;
  inpcb* inp = sotoinpcb(so);
  inp->inp_vflag |= INP_IPV4;
  inp->inp_ip_p = static_cast<std::uint8_t>(proto);
  inp->inp_ip_ttl = IPDEFTTL;
  return 0;
}

int rip_detach(socket* so) {
  inpcb* inp = sotoinpcb(so);
  if (inp == nullptr) panic("rip_detach");
  if (so == g_rsvp_socket) {
    g_rsvp_socket = nullptr;
    --g_rsvp_on;
  }
  inpcb_free(inp);
  return 0;
}

int rip_abort(socket* so) {
  mark_socket_disconnected(so);
  if (so->so_state & SS_NOFDREF) return rip_detach(so);
  return 0;
}

int rip_disconnect(socket* so) {
  if (!(so->so_state & SS_ISCONNECTED)) return BSD_ENOTCONN;
  return rip_abort(so);
}

int rip_bind(socket* so, sockaddr* nam, process*) {
  inpcb* inp = sotoinpcb(so);
  if (inp == nullptr || nam == nullptr || nam->sa_len != sizeof(sockaddr_in)) return BSD_EINVAL;
  if (in_ifaddr_list() == nullptr) return BSD_EADDRNOTAVAIL;
  sockaddr_in sin;
  std::memcpy(&sin, nam, sizeof(sin));
  if (sin.sin_family != AF_INET && sin.sin_family != AF_IMPLINK) return BSD_EADDRNOTAVAIL;
  if (sin.sin_addr.s_addr != INADDR_ANY) {
    sockaddr_in probe = make_sockaddr_in(0);
    probe.sin_addr = sin.sin_addr;
    if (ifaddr_find_exact(reinterpret_cast<sockaddr*>(&probe)) == nullptr) return BSD_EADDRNOTAVAIL;
  }
  inp_laddr(inp) = sin.sin_addr;
  return 0;
}

int rip_connect(socket* so, sockaddr* nam, process*) {
  inpcb* inp = sotoinpcb(so);
  if (inp == nullptr || nam == nullptr || nam->sa_len != sizeof(sockaddr_in)) return BSD_EINVAL;
  if (in_ifaddr_list() == nullptr) return BSD_EADDRNOTAVAIL;
  sockaddr_in sin;
  std::memcpy(&sin, nam, sizeof(sin));
  if (sin.sin_family != AF_INET && sin.sin_family != AF_IMPLINK) return BSD_EAFNOSUPPORT;
  inp_faddr(inp) = sin.sin_addr;
  mark_socket_connected(so);
  return 0;
}

int rip_shutdown(socket* so) {
  socantsendmore(so);
  return 0;
}

int rip_send(socket* so, int, mbuf* m, sockaddr* nam, mbuf* control, process*) {
  mbuf_free_chain(control);
  inpcb* inp = sotoinpcb(so);
  std::uint32_t dst;
  if (so->so_state & SS_ISCONNECTED) {
    if (nam != nullptr) {
      mbuf_free_chain(m);
      return BSD_EISCONN;
    }
    dst = inp_faddr(inp).s_addr;
  } else {
    if (nam == nullptr) {
      mbuf_free_chain(m);
      return BSD_ENOTCONN;
    }
    dst = reinterpret_cast<const sockaddr_in*>(nam)->sin_addr.s_addr;
  }
  return rip_send_datagram(m, so, dst);
}

int rip_control(socket* so, std::uint32_t cmd, void* data, ifnet* ifp, process* p) {
  return in_control(so, cmd, data, ifp, p);
}

int rip_poll(socket* so, int events, ucred* cred, process*) { return poll_socket(so, events, cred, nullptr); }

}  // namespace

user_req_table rip_usrreqs = {
    rip_abort,         nullptr,    rip_attach,     rip_bind,     rip_connect,          nullptr,
    rip_control,       rip_detach, rip_disconnect, nullptr,      inpcb_peer_sockaddr,  nullptr,
    nullptr,           rip_send,   nullptr,        rip_shutdown, inpcb_local_sockaddr, send_on_socket,
    receive_on_socket, rip_poll,
};

void rip_setup() {
  if (g_rip_ready) return;
  inpcb_table_init(&ripcbinfo, &g_ripcb, 1);
  g_rsvp_socket = nullptr;
  g_rsvp_on = 0;
  g_rip_ready = true;
}

void rip_stop() {
  if (!g_rip_ready) return;
  inpcb_table_stop(&ripcbinfo);
  g_rip_ready = false;
  g_encap_ready = false;
}

void rip_deliver(mbuf* m, int off, int proto) {
  const ip* h = mtod<ip>(m);
  sockaddr_in from = make_sockaddr_in(0);
  from.sin_addr = h->ip_src;
  inpcb* last = nullptr;
  for (inpcb* inp = *ripcbinfo.listhead; inp != nullptr; inp = inp->inp_list_next) {
    if (inp->inp_socket == nullptr) continue;
    if (inp->inp_ip_p != 0 && inp->inp_ip_p != proto) continue;
    if (inp_laddr(inp).s_addr != INADDR_ANY && inp_laddr(inp).s_addr != h->ip_dst.s_addr) continue;
    if (inp_faddr(inp).s_addr != INADDR_ANY && inp_faddr(inp).s_addr != h->ip_src.s_addr) continue;
    if (proto == IPPROTO_ICMP && filtered(inp, m, off)) continue;
    if (last != nullptr) {
      if (mbuf* copy = m_copym(m, 0, M_COPYALL, M_DONTWAIT)) deliver_to(last, copy, h, &from);
    }
    last = inp;
  }
  if (last != nullptr) {
    deliver_to(last, m, h, &from);
    return;
  }
  mbuf_free_chain(m);
  ++g_ipstat.ips_noproto;
  --g_ipstat.ips_delivered;
}

void rip_input(mbuf* m, int off) { rip_deliver(m, off, mtod<ip>(m)->ip_p); }

int rip_send_datagram(mbuf* m, socket* so, std::uint32_t dst) {
  inpcb* inp = sotoinpcb(so);
  const int flags = (so->so_options & SO_DONTROUTE) | IPOUT_ALLOW_BCAST;
  if (!(inp->inp_flags & PCBF_HDRINCL)) {
    if (m->mh.m_pkthdr.len + static_cast<int>(sizeof(ip)) > IP_MAXPACKET) {
      mbuf_free_chain(m);
      return BSD_EMSGSIZE;
    }
    m = m_prepend(m, sizeof(ip), M_DONTWAIT);
    if (m == nullptr) return BSD_ENOBUFS;
    ip* h = mtod<ip>(m);
    h->ip_tos = inp->inp_ip_tos;
    h->ip_off = 0;
    h->ip_p = inp->inp_ip_p;
    h->ip_len = static_cast<std::uint16_t>(m->mh.m_pkthdr.len);
    h->ip_src = inp_laddr(inp);
    h->ip_dst.s_addr = dst;
    h->ip_ttl = inp->inp_ip_ttl;
    h->ip_sum = 0;
    return ip_output(m, inp->inp_options, &inp->inp_route, flags, inp->inp_moptions);
  }
  // The caller built the header (its lengths in host order).
  if (m->mh.m_pkthdr.len > IP_MAXPACKET) {
    mbuf_free_chain(m);
    return BSD_EMSGSIZE;
  }
  if (m->m_len < static_cast<int>(sizeof(ip))) {
    m = m_pullup(m, sizeof(ip));
    if (m == nullptr) return BSD_EINVAL;
  }
  ip* h = mtod<ip>(m);
  const int hlen = ip_hlen(h);
  if ((hlen != static_cast<int>(sizeof(ip)) && inp->inp_options != nullptr) || hlen < static_cast<int>(sizeof(ip)) ||
      h->ip_len > m->mh.m_pkthdr.len || h->ip_len < hlen) {
    mbuf_free_chain(m);
    return BSD_EINVAL;
  }
  if (h->ip_id == 0) h->ip_id = htons(ip_next_id());
  ++g_ipstat.ips_rawout;
  return ip_output(m, inp->inp_options, &inp->inp_route, flags | IPOUT_RAW, inp->inp_moptions);
}

int rip_sockopt(socket* so, sockopt* opt) {
  inpcb* inp = sotoinpcb(so);
  if (inp == nullptr) return BSD_EINVAL;
  if (opt->sopt_level == IPPROTO_RAW) {
    if (opt->sopt_name != ICMP_FILTER) return BSD_EINVAL;
    if (opt->sopt_dir == SOPT_SET) {
      if (opt->sopt_val == nullptr || opt->sopt_valsize < sizeof(std::uint32_t)) return BSD_EINVAL;
      std::memcpy(&inp->inp_icmp_filter, opt->sopt_val, sizeof(std::uint32_t));
      return 0;
    }
    if (opt->sopt_val == nullptr || opt->sopt_valsize < sizeof(std::uint32_t)) return BSD_EINVAL;
    std::memcpy(opt->sopt_val, &inp->inp_icmp_filter, sizeof(std::uint32_t));
    opt->sopt_valsize = sizeof(std::uint32_t);
    return 0;
  }
  if (opt->sopt_level != IPPROTO_LEVEL_IP) return BSD_EINVAL;
  const int name = opt->sopt_name;
  if (name >= 100 && name <= 107) return BSD_EOPNOTSUPP;  // multicast routing
  if (opt->sopt_dir == SOPT_SET) {
    switch (name) {
      case IP_HDRINCL: {
        if (opt->sopt_val == nullptr || opt->sopt_valsize < sizeof(std::int32_t)) return BSD_EINVAL;
        std::int32_t on = 0;
        std::memcpy(&on, opt->sopt_val, sizeof(on));
        if (on != 0) {
          inp->inp_flags |= PCBF_HDRINCL;
        } else {
          inp->inp_flags &= ~PCBF_HDRINCL;
        }
        return 0;
      }
      case IP_RSVP_ON:
        if (so->so_type != SOCK_RAW || inp->inp_ip_p != IPPROTO_RSVP) return BSD_EOPNOTSUPP;
        if (g_rsvp_socket != nullptr) return BSD_EADDRINUSE;
        g_rsvp_socket = so;
        ++g_rsvp_on;
        return 0;
      case IP_RSVP_OFF:
        if (so->so_type != SOCK_RAW || inp->inp_ip_p != IPPROTO_RSVP) return BSD_EOPNOTSUPP;
        if (g_rsvp_socket == so) {
          g_rsvp_socket = nullptr;
          --g_rsvp_on;
        }
        return 0;
      case IP_RSVP_VIF_ON:
      case IP_RSVP_VIF_OFF:
        return BSD_EINVAL;
      default:
        if ((name >= 50 && name <= 55) || (name >= 60 && name <= 62)) return BSD_ENOPROTOOPT;
        return ip_sockopt(so, opt);
    }
  }
  switch (name) {
    case IP_HDRINCL: {
      if (opt->sopt_val == nullptr || opt->sopt_valsize < sizeof(std::int32_t)) return BSD_EINVAL;
      const std::int32_t on = (inp->inp_flags & PCBF_HDRINCL) ? 8 : 0;
      std::memcpy(opt->sopt_val, &on, sizeof(on));
      opt->sopt_valsize = sizeof(on);
      return 0;
    }
    case 50:
    case 54:
    case 64:
      return BSD_ENOPROTOOPT;
    default:
      return ip_sockopt(so, opt);
  }
}

void rip_ctl_notify(int cmd, sockaddr* sa, void*) {
  if (sa == nullptr || sa->sa_family != AF_INET) return;
  const std::uint32_t address = reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr;
  ipv4_ifaddr* ia = nullptr;
  for (ipv4_ifaddr* p = in_ifaddr_list(); p != nullptr; p = p->ia_next) {
    if (IA_SIN_ADDR(p) == address) {
      ia = p;
      break;
    }
  }
  if (ia == nullptr) return;
  if (cmd == PRC_IFDOWN && (ia->ia_ifa.ifa_flags & IFA_ROUTE)) {
    in_prefix_remove(ia);
    in_addr_routes_down(&ia->ia_ifa, false);
  } else if (cmd == PRC_IFUP && !(ia->ia_ifa.ifa_flags & IFA_ROUTE)) {
    const bool host = (ia->ia_ifa.ifa_ifp->if_flags & (IFF_LOOPBACK | IFF_POINTOPOINT)) != 0;
    const int flags = static_cast<int>(RTF_UP) | (host ? static_cast<int>(RTF_HOST) : 0);
    if (ifaddr_route_request(&ia->ia_ifa, RTM_ADD, flags) == 0) ia->ia_ifa.ifa_flags |= IFA_ROUTE;
  }
}

void encap_table_init() { g_encap_ready = true; }

void encap_ipv4_input(mbuf* m, int off) {
  // Nothing registers in the encapsulation table: every packet is raw IP's.
  rip_deliver(m, off, mtod<ip>(m)->ip_p);
}

}  // namespace zektcp
