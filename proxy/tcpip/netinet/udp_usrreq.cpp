// UDP (RFC 768): input with its length and checksum checks, delivery to
// one socket or (broadcast and multicast) to every socket of the port,
// port unreachable for unicast datagrams nobody wants, errors from ICMP,
// output with both headers built at once, and the user requests.
#include <cstring>

#include "proxy/tcpip/netinet/in.h"
#include "proxy/tcpip/netinet/raw_ip.h"

namespace zektcp {

udpstat g_udpstat;
inpcb_table udbinfo;

namespace {

inpcb* g_udb;
bool g_udp_ready;
constexpr int kUdpIpLen = static_cast<int>(sizeof(udpiphdr));

bool checksum_good(mbuf* m, const ip* h, const udphdr* uh, int len) {
  const std::uint16_t pseudo =
      in_pseudo(h->ip_src.s_addr, h->ip_dst.s_addr, htonl(static_cast<std::uint32_t>(len) + IPPROTO_UDP));
  const std::int32_t flags = m->mh.m_pkthdr.csum_flags;
  if (flags & CSUM_DATA_VALID) {
    std::uint32_t sum = static_cast<std::uint32_t>(m->mh.m_pkthdr.csum_data);
    if (!(flags & CSUM_PSEUDO_HDR)) sum += ntohs(pseudo);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return sum == 0xFFFF;
  }
  (void)uh;
  return in_cksum_range(m, static_cast<int>(sizeof(ip)), len, pseudo) == 0;
}

// Hands a datagram to a socket: the headers go, the source goes with it.
void udp_append(inpcb* inp, const ip* h, const udphdr* uh, mbuf* m) {
  socket* so = inp->inp_socket;
  mbuf* opts = nullptr;
  if ((inp->inp_flags & PCBF_CONTROLOPTS) || (so->so_options & SO_TIMESTAMP)) ip_make_control(inp, &opts, h, m);
  sockaddr_in from = make_sockaddr_in(0);
  from.sin_addr = h->ip_src;
  from.sin_port = uh->uh_sport;
  mbuf_trim(m, kUdpIpLen);
  if (!sbappendaddr(&so->so_rcv, reinterpret_cast<const sockaddr*>(&from), m, opts)) {
    mbuf_free_chain(m);
    mbuf_free_chain(opts);
    ++g_udpstat.udps_fullsock;
    return;
  }
  wake_socket_readers(so);
}

bool wants_group_datagram(inpcb* inp, const ip* h, const udphdr* uh) {
  if (inp->inp_socket == nullptr || inp->inp_lport != uh->uh_dport) return false;
  if (inp_laddr(inp).s_addr != INADDR_ANY && inp_laddr(inp).s_addr != h->ip_dst.s_addr) return false;
  if (inp_faddr(inp).s_addr != INADDR_ANY &&
      (inp_faddr(inp).s_addr != h->ip_src.s_addr || inp->inp_fport != uh->uh_sport)) {
    return false;
  }
  return true;
}

int udp_attach(socket* so, int, process*) {
  if (sotoinpcb(so) != nullptr) return BSD_EINVAL;
  int error = reserve_socket_buffers(so, UDP_SENDSPACE, UDP_RECVSPACE);
  if (error != 0) return error;
  error = inpcb_alloc(so, &udbinfo);
  if (error != 0) return error;
  inpcb* inp = sotoinpcb(so);
  inp->inp_vflag |= INP_IPV4;
  inp->inp_ip_ttl = IPDEFTTL;
  return 0;
}

int udp_bind(socket* so, sockaddr* nam, process* p) {
  inpcb* inp = sotoinpcb(so);
  if (inp == nullptr) return BSD_EINVAL;
  return inpcb_bind(inp, nam, p != nullptr ? p->p_ucred : nullptr);
}

int udp_connect(socket* so, sockaddr* nam, process* p) {
  inpcb* inp = sotoinpcb(so);
  if (inp == nullptr) return BSD_EINVAL;
  if (inp_faddr(inp).s_addr != INADDR_ANY) return BSD_EISCONN;
  const int error = inpcb_connect(inp, nam, p != nullptr ? p->p_ucred : nullptr);
  if (error == 0) mark_socket_connected(so);
  return error;
}

int udp_detach(socket* so) {
  inpcb* inp = sotoinpcb(so);
  if (inp == nullptr) return BSD_EINVAL;
  inpcb_free(inp);
  return 0;
}

int udp_abort(socket* so) {
  inpcb* inp = sotoinpcb(so);
  if (inp == nullptr) return BSD_EINVAL;
  mark_socket_disconnected(so);
  inpcb_free(inp);
  return 0;
}

int udp_disconnect(socket* so) {
  inpcb* inp = sotoinpcb(so);
  if (inp == nullptr) return BSD_EINVAL;
  if (inp_faddr(inp).s_addr == INADDR_ANY) return BSD_ENOTCONN;
  inp_laddr(inp).s_addr = INADDR_ANY;
  inpcb_disconnect(inp);
  so->so_state &= ~SS_ISCONNECTED;
  if (so->so_state & SS_NOFDREF) inpcb_free(inp);
  return 0;
}

int udp_send(socket* so, int, mbuf* m, sockaddr* addr, mbuf* control, process* p) {
  inpcb* inp = sotoinpcb(so);
  if (inp == nullptr) {
    mbuf_free_chain(m);
    mbuf_free_chain(control);
    return BSD_EINVAL;
  }
  return udp_send_datagram(inp, m, addr, control, p);
}

int udp_shutdown(socket* so) {
  if (sotoinpcb(so) == nullptr) return BSD_EINVAL;
  socantsendmore(so);
  return 0;
}

int udp_control(socket* so, std::uint32_t cmd, void* data, ifnet* ifp, process* p) {
  return in_control(so, cmd, data, ifp, p);
}

int udp_poll(socket* so, int events, ucred* cred, process*) { return poll_socket(so, events, cred, nullptr); }

}  // namespace

user_req_table udp_usrreqs = {
    udp_abort,         nullptr,    udp_attach,     udp_bind,     udp_connect,          nullptr,
    udp_control,       udp_detach, udp_disconnect, nullptr,      inpcb_peer_sockaddr,  nullptr,
    nullptr,           udp_send,   nullptr,        udp_shutdown, inpcb_local_sockaddr, send_on_socket,
    receive_on_socket, udp_poll,
};

void udp_setup() {
  if (g_udp_ready) return;
  std::memset(&g_udpstat, 0, sizeof(g_udpstat));
  inpcb_table_init(&udbinfo, &g_udb, 16);
  g_udp_ready = true;
}

void udp_stop() {
  if (!g_udp_ready) return;
  inpcb_table_stop(&udbinfo);
  g_udp_ready = false;
}

void udp_receive(mbuf* m, int iphlen) {
  ++g_udpstat.udps_ipackets;
  if (iphlen > static_cast<int>(sizeof(ip))) {
    ip_remove_options(m);
    iphlen = static_cast<int>(sizeof(ip));
  }
  if (m->m_len < kUdpIpLen) {
    m = m_pullup(m, kUdpIpLen);
    if (m == nullptr) {
      ++g_udpstat.udps_hdrops;
      return;
    }
  }
  ip* h = mtod<ip>(m);
  auto* uh = reinterpret_cast<udphdr*>(m->m_data + iphlen);
  if (h->ip_len < sizeof(udphdr)) {
    ++g_udpstat.udps_hdrops;
    mbuf_free_chain(m);
    return;
  }
  if (uh->uh_dport == 0) {
    mbuf_free_chain(m);
    return;
  }
  const int len = ntohs(uh->uh_ulen);
  if (len != h->ip_len) {
    if (len > h->ip_len || len < static_cast<int>(sizeof(udphdr))) {
      ++g_udpstat.udps_badlen;
      mbuf_free_chain(m);
      return;
    }
    mbuf_trim(m, len - h->ip_len);  // the IP data beyond the UDP length goes
  }
  if (uh->uh_sum != 0) {
    if (!checksum_good(m, h, uh, len)) {
      ++g_udpstat.udps_badsum;
      mbuf_free_chain(m);
      return;
    }
  } else {
    ++g_udpstat.udps_nosum;
  }

  ifnet* rcvif = m->mh.m_pkthdr.rcvif;
  if (IN_MULTICAST(ntohl(h->ip_dst.s_addr)) || in_is_broadcast(h->ip_dst.s_addr, rcvif)) {
    // Every socket of the port that takes it gets a copy; one that does not
    // share its port ends the search.
    inpcb* last = nullptr;
    for (inpcb* inp = *udbinfo.listhead; inp != nullptr; inp = inp->inp_list_next) {
      if (!wants_group_datagram(inp, h, uh)) continue;
      if (last != nullptr) {
        if (mbuf* copy = m_copym(m, 0, M_COPYALL, M_DONTWAIT)) udp_append(last, h, uh, copy);
      }
      last = inp;
      if (!(last->inp_socket->so_options & (SO_REUSEPORT | SO_REUSEADDR))) break;
    }
    if (last == nullptr) {
      ++g_udpstat.udps_noportbcast;
      mbuf_free_chain(m);
      return;
    }
    udp_append(last, h, uh, m);
    return;
  }

  inpcb* inp = inpcb_lookup(&udbinfo, h->ip_src.s_addr, uh->uh_sport, h->ip_dst.s_addr, uh->uh_dport, true, rcvif);
  if (inp == nullptr || inp->inp_socket == nullptr) {
    ++g_udpstat.udps_noport;
    if (m->m_flags & (M_BCAST | M_MCAST)) {
      ++g_udpstat.udps_noportbcast;
      mbuf_free_chain(m);
      return;
    }
    h->ip_len = static_cast<std::uint16_t>(h->ip_len + iphlen);  // the header as it came, for the quote
    icmp_error(m, ICMP_UNREACH, ICMP_UNREACH_PORT, 0, nullptr);
    return;
  }
  udp_append(inp, h, uh, m);
}

void udp_ctl_notify(int cmd, sockaddr* sa, void* extra) {
  if (sa == nullptr || sa->sa_family != AF_INET || cmd < 0 || cmd >= PRC_NCMDS) return;
  const std::uint32_t faddr = reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr;
  if (faddr == INADDR_ANY) return;
  const int error = inetctlerr(cmd);
  void (*notify)(inpcb*, int) = inpcb_socket_notify;
  const ip* quoted = static_cast<const ip*>(extra);
  if (cmd >= PRC_REDIRECT_NET && cmd <= PRC_REDIRECT_TOSHOST) {
    notify = inpcb_route_changed;
    quoted = nullptr;
  } else if (cmd == PRC_HOSTDEAD) {
    quoted = nullptr;
  } else if (error == 0) {
    return;
  }
  if (quoted != nullptr) {
    const auto* uh = reinterpret_cast<const udphdr*>(reinterpret_cast<const std::uint8_t*>(quoted) + ip_hlen(quoted));
    inpcb* inp = inpcb_lookup(&udbinfo, faddr, uh->uh_dport, quoted->ip_src.s_addr, uh->uh_sport, false, nullptr);
    if (inp != nullptr && inp->inp_socket != nullptr) notify(inp, error);
  } else {
    inpcb_notify_all(&udbinfo, faddr, error, notify);
  }
}

int udp_send_datagram(inpcb* inp, mbuf* m, sockaddr* addr, mbuf* control, process* p) {
  mbuf_free_chain(control);
  socket* so = inp->inp_socket;
  const int len = m->mh.m_pkthdr.len;
  if (len + kUdpIpLen > IP_MAXPACKET) {
    mbuf_free_chain(m);
    return BSD_EMSGSIZE;
  }
  bool temporary = false;
  const in_addr saved_laddr = inp_laddr(inp);
  int error = 0;
  if (addr != nullptr) {
    if (inp_faddr(inp).s_addr != INADDR_ANY) {
      mbuf_free_chain(m);
      return BSD_EISCONN;
    }
    error = inpcb_connect(inp, addr, p != nullptr ? p->p_ucred : nullptr);
    if (error != 0) {
      mbuf_free_chain(m);
      return error;
    }
    temporary = true;
  } else if (inp_faddr(inp).s_addr == INADDR_ANY) {
    mbuf_free_chain(m);
    return BSD_ENOTCONN;
  }
  m = m_prepend(m, kUdpIpLen, M_DONTWAIT);
  if (m == nullptr) {
    error = BSD_ENOBUFS;
  } else {
    auto* ui = mtod<udpiphdr>(m);
    std::memset(ui, 0, sizeof(*ui));
    ui->ui_i.ip_len = static_cast<std::uint16_t>(len + kUdpIpLen);
    ui->ui_i.ip_tos = inp->inp_ip_tos;
    ui->ui_i.ip_ttl = inp->inp_ip_ttl;
    ui->ui_i.ip_p = IPPROTO_UDP;
    ui->ui_i.ip_src = inp_laddr(inp);
    ui->ui_i.ip_dst = inp_faddr(inp);
    ui->ui_u.uh_sport = inp->inp_lport;
    ui->ui_u.uh_dport = inp->inp_fport;
    ui->ui_u.uh_ulen = htons(static_cast<std::uint16_t>(len + sizeof(udphdr)));
    // The pseudo header's sum; IP output (or the adapter) completes it.
    ui->ui_u.uh_sum = in_pseudo(ui->ui_i.ip_src.s_addr, ui->ui_i.ip_dst.s_addr,
                                htonl(static_cast<std::uint32_t>(len + sizeof(udphdr)) + IPPROTO_UDP));
    m->mh.m_pkthdr.csum_flags = CSUM_UDP;
    m->mh.m_pkthdr.csum_data = static_cast<std::int32_t>(offsetof(udphdr, uh_sum));
    ++g_udpstat.udps_opackets;
    error = ip_output(m, inp->inp_options, &inp->inp_route, so->so_options & (SO_DONTROUTE | SO_BROADCAST),
                      inp->inp_moptions);
  }
  if (temporary) {
    inp_faddr(inp).s_addr = INADDR_ANY;
    inp->inp_fport = 0;
    inp_laddr(inp) = saved_laddr;
    inpcb_rehash(inp);
    if (so->so_state & SS_NOFDREF) inpcb_free(inp);
  }
  return error;
}

}  // namespace zektcp
