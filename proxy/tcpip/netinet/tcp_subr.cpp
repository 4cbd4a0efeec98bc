// TCP's start-up values, control-block creation, bare control segments,
// drop and close (with the route-metric bookkeeping), the reactions to
// ICMP notifications and the 4-tuple look-up of the offload bridge.
#include <cstring>

#include "proxy/tcpip/netinet/tcp_var.h"

namespace zektcp {

TcpTunables tcp_tun;
tcpstat g_tcpstat;
inpcb_table tcbinfo;

const std::uint32_t tcp_syn_rto_mult[TCP_MAX_BACKOFF_SHIFT + 1] = {1, 1, 1, 1, 1, 2, 4, 8, 16, 32, 64, 64, 64};
const std::uint32_t tcp_rto_mult[TCP_MAX_BACKOFF_SHIFT + 1] = {1, 2, 4, 8, 16, 32, 64, 64, 64, 64, 64, 64, 64};

namespace {

inpcb* g_tcb;
bool g_tcp_ready;

// The control block of a TCP socket; null for any other socket.
tcp_ctl_block* tcp_of(socket* so) {
  if (so == nullptr || so->so_proto == nullptr || so->so_proto->pr_domain != &inetdomain ||
      so->so_proto->pr_protocol != IPPROTO_TCP) {
    return nullptr;
  }
  return sototcpcb(so);
}
std::uint32_t* offload_state_word(socket* so) {
  tcp_ctl_block* tp = tcp_of(so);
  return tp != nullptr ? &tp->offload_state : nullptr;
}
std::uint32_t* tcp_state_word(socket* so) {
  tcp_ctl_block* tp = tcp_of(so);
  return tp != nullptr ? &tp->conn_state : nullptr;
}

}  // namespace

void tcp_init() {
  if (g_tcp_ready) return;
  const std::uint32_t hz = tick_rate();
  tcp_tun = TcpTunables{};
  tcp_tun.default_mss = 512;
  tcp_tun.min_rto = hz;
  tcp_tun.rto_margin = hz / 5;
  tcp_tun.delayed_ack_ticks = hz / 10;
  tcp_tun.connect_timeout = 75 * hz;
  tcp_tun.keepalive_idle = 7200 * hz;
  tcp_tun.keepalive_interval = 75 * hz;
  tcp_tun.idle_limit = 8 * tcp_tun.keepalive_interval;
  tcp_tun.persist_idle_limit = 7200 * hz;
  tcp_tun.max_seg_lifetime = 3 * hz;
  tcp_tun.send_reserve = 32768;
  tcp_tun.recv_reserve = 57344;
  std::memset(&g_tcpstat, 0, sizeof(g_tcpstat));
  inpcb_table_init(&tcbinfo, &g_tcb, 512);
  if (largest_proto_header < static_cast<std::int32_t>(sizeof(tcpiphdr))) {
    largest_proto_header = static_cast<std::int32_t>(sizeof(tcpiphdr));
  }
  largest_header = largest_link_header + largest_proto_header;
  if (largest_link_header + static_cast<std::int32_t>(sizeof(tcpiphdr)) > MHLEN) panic("tcp_init");
  static const SocketOffloadHooks hooks = {offload_state_word, tcp_state_word, nullptr};
  socket_set_offload_hooks(&hooks);
  syncache_init();
  g_tcp_ready = true;
}

void tcp_stop() {
  if (!g_tcp_ready) return;
  // Every connection goes without a word on the wire: the interfaces go next.
  while (inpcb* inp = *tcbinfo.listhead) {
    if (tcp_ctl_block* tp = intotcpcb(inp)) {
      tcp_close_conn(tp);
    } else {
      inpcb_free(inp);
    }
  }
  syncache_stop();
  inpcb_table_stop(&tcbinfo);
  socket_set_offload_hooks(nullptr);
  g_tcp_ready = false;
}

void tcp_slow_timer() { tcp_tun.idle_limit = 8 * tcp_tun.keepalive_interval; }

tcp_ctl_block* tcp_create_cb(inpcb* inp) {
  auto* rec = reinterpret_cast<tcp_pcb_record*>(inp);
  tcp_ctl_block* tp = &rec->tcb;
  std::memset(tp, 0, sizeof(*tp));
  tp->snd_mss = static_cast<std::int32_t>(tcp_tun.default_mss);
  tp->mss_with_opts = tcp_tun.default_mss;
  for (callout& c : rec->timers) callout_init(&c);
  tp->retransmit_timer = &rec->timers[TT_REXMT];
  tp->persist_timer = &rec->timers[TT_PERSIST];
  tp->keepalive_timer = &rec->timers[TT_KEEP];
  tp->two_msl_timer = &rec->timers[TT_2MSL];
  tp->delayed_ack_timer = &rec->timers[TT_DELACK];
  tp->owning_inpcb = inp;
  tp->conn_flags = TCPF_WANT_WSCALE;
  tp->srtt = 0;
  tp->rttvar = static_cast<std::int32_t>(12 * tick_rate());
  tp->min_rto = static_cast<std::int32_t>(tcp_tun.min_rto);
  tp->rto = static_cast<std::int32_t>(3 * tick_rate());
  tp->snd_cwnd = tp->bw_window = tp->ssthresh = TCP_INITIAL_WINDOW;
  tp->last_rcv_tick = tp->bw_start_tick = stack_ticks();
  inp->inp_ip_ttl = IPDEFTTL;
  inp->inp_ppcb = tp;
  return tp;
}

void tcp_build_template(tcp_ctl_block* tp, ip* iph, tcphdr* th) {
  inpcb* inp = tp->owning_inpcb;
  std::memset(iph, 0, sizeof(*iph));
  iph->ip_vhl = IP_VHL_BORING();
  iph->ip_p = IPPROTO_TCP;
  iph->ip_src = inp_laddr(inp);
  iph->ip_dst = inp_faddr(inp);
  std::memset(th, 0, sizeof(*th));
  th->th_sport = inp->inp_lport;
  th->th_dport = inp->inp_fport;
  th->th_x2off = 5 << 4;
}

// A bare segment (no data, no options) to the addresses of `hdr`, which
// are those of the segment to send (source first). A received chain that
// comes with it is freed: the segment is built afresh.
void tcp_send_control(tcp_ctl_block* tp, const tcpiphdr* hdr, mbuf* m, tcp_seq ack, tcp_seq seq, std::uint8_t flags) {
  if (m != nullptr) mbuf_free_chain(m);
  mbuf* n = nullptr;
  if (GetMBufHdr(&n, M_DONTWAIT, MT_HEADER) != 0 || n == nullptr) return;
  n->m_data += largest_link_header;
  auto* ti = mtod<tcpiphdr>(n);
  std::memset(ti, 0, sizeof(*ti));
  ti->ti_i.ip_vhl = IP_VHL_BORING();
  ti->ti_i.ip_p = IPPROTO_TCP;
  ti->ti_i.ip_src = hdr->ti_i.ip_src;
  ti->ti_i.ip_dst = hdr->ti_i.ip_dst;
  ti->ti_i.ip_len = sizeof(tcpiphdr);
  ti->ti_i.ip_ttl = tp != nullptr ? tp->owning_inpcb->inp_ip_ttl : IPDEFTTL;
  ti->ti_t.th_sport = hdr->ti_t.th_sport;
  ti->ti_t.th_dport = hdr->ti_t.th_dport;
  ti->ti_t.th_seq = htonl(seq);
  ti->ti_t.th_ack = htonl(ack);
  ti->ti_t.th_x2off = 5 << 4;
  ti->ti_t.th_flags = flags;
  std::uint32_t win = 0;
  if (tp != nullptr && !(flags & TH_RST)) {
    socket* so = tp_socket(tp);
    std::int64_t space = so != nullptr ? sbspace(&so->so_rcv) : 0;
    if (space < 0) space = 0;
    const std::int64_t cap = static_cast<std::int64_t>(TCP_MAXWIN) << tp->rcv_wnd_shift;
    if (space > cap) space = cap;
    win = static_cast<std::uint32_t>(space >> tp->rcv_wnd_shift);
  }
  ti->ti_t.th_win = htons(static_cast<std::uint16_t>(win));
  ti->ti_t.th_sum = in_pseudo(ti->ti_i.ip_src.s_addr, ti->ti_i.ip_dst.s_addr, htonl(sizeof(tcphdr) + IPPROTO_TCP));
  n->m_len = sizeof(tcpiphdr);
  n->mh.m_pkthdr.len = sizeof(tcpiphdr);
  n->mh.m_pkthdr.rcvif = nullptr;
  n->mh.m_pkthdr.csum_flags = CSUM_TCP;
  n->mh.m_pkthdr.csum_data = static_cast<std::int32_t>(offsetof(tcphdr, th_sum));
  ++g_tcpstat.sndtotal;
  ++g_tcpstat.sndctrl;
  ip_output(n, nullptr, tp != nullptr ? &tp->owning_inpcb->inp_route : nullptr, 0, nullptr);
}

tcp_ctl_block* tcp_drop_conn(tcp_ctl_block* tp, int error) {
  socket* so = tp_socket(tp);
  if (TCPS_HAVERCVDSYN(tp->conn_state)) {
    tp->conn_state = TCPS_CLOSED;
    tcp_output(tp, so);
    ++g_tcpstat.drops;
  } else {
    ++g_tcpstat.conndrops;
  }
  if (error == BSD_ETIMEDOUT && tp->soft_error != 0) error = tp->soft_error;
  if (so != nullptr) so->so_error = static_cast<std::uint16_t>(error);
  return tcp_close_conn(tp);
}

namespace {

// The round-trip values a connection learnt, kept in its route for the
// next connection to the same host (averaged with what is there).
void save_route_metrics(tcp_ctl_block* tp) {
  inpcb* inp = tp->owning_inpcb;
  rtentry* rt = inp->inp_route.ro_rt;
  if (tp->rtt_sample_count < 16 || rt == nullptr || !(rt->rt_flags & RTF_UP)) return;
  const std::uint32_t hz = tick_rate();
  auto avg = [](std::uint32_t old, std::uint32_t now) { return old != 0 ? (old + now) / 2 : now; };
  if (!(rt->rt_rmx.rmx_locks & 0x40)) {
    rt->rt_rmx.rmx_rtt = avg(rt->rt_rmx.rmx_rtt, static_cast<std::uint32_t>(tp->srtt) * (1000000 / (32 * hz)));
  }
  if (!(rt->rt_rmx.rmx_locks & 0x80)) {
    rt->rt_rmx.rmx_rttvar = avg(rt->rt_rmx.rmx_rttvar, static_cast<std::uint32_t>(tp->rttvar) * (1000000 / (16 * hz)));
  }
}

}  // namespace

tcp_ctl_block* tcp_close_conn(tcp_ctl_block* tp) {
  inpcb* inp = tp->owning_inpcb;
  socket* so = inp->inp_socket;
  tcp_stop_timers(tp);
  save_route_metrics(tp);
  {
    NetLockScope lock;
    while (tseg_qent* q = tp->reass_queue) {
      tp->reass_queue = q->next;
      mbuf_free_chain(q->m);
      OSPrimMemFreePtr(q);
    }
    tp->reass_bytes = 0;
    tp->reass_segments = 0;
  }
  if (tp->conn_state == TCPS_LISTEN) syncache_forget_listener(tp);
  inp->inp_ppcb = nullptr;
  if (so != nullptr) mark_socket_disconnected(so);
  ++g_tcpstat.closed;
  inpcb_free(inp);
  return nullptr;
}

void tcp_drain() {
  for (inpcb* inp = *tcbinfo.listhead; inp != nullptr; inp = inp->inp_list_next) {
    tcp_ctl_block* tp = intotcpcb(inp);
    if (tp == nullptr) continue;
    NetLockScope lock;
    while (tseg_qent* q = tp->reass_queue) {
      tp->reass_queue = q->next;
      mbuf_free_chain(q->m);
      OSPrimMemFreePtr(q);
    }
    tp->reass_bytes = 0;
    tp->reass_segments = 0;
  }
}

void tcp_notify(inpcb* inp, int error) {
  tcp_ctl_block* tp = intotcpcb(inp);
  if (tp == nullptr || tcp_offloaded(tp)) return;
  if (tp->conn_state == TCPS_ESTABLISHED &&
      (error == BSD_ENETUNREACH || error == BSD_EHOSTDOWN || error == BSD_EHOSTUNREACH)) {
    return;
  }
  if (tp->conn_state < TCPS_ESTABLISHED && tp->backoff_shift > 3 && tp->soft_error != 0) {
    tcp_drop_conn(tp, error);
    return;
  }
  tp->soft_error = error;
  if (socket* so = inp->inp_socket) {
    wake_socket_readers(so);
    wake_socket_writers(so);
  }
}

void tcp_quench(inpcb* inp, int) {
  if (tcp_ctl_block* tp = intotcpcb(inp)) tp->snd_cwnd = static_cast<std::uint32_t>(tp->snd_mss);
}

void tcp_drop_syn_sent(inpcb* inp, int error) {
  tcp_ctl_block* tp = intotcpcb(inp);
  if (tp != nullptr && tp->conn_state == TCPS_SYN_SENT) tcp_drop_conn(tp, error);
}

rtentry* tcp_route_lookup(inpcb* inp) {
  route_cache* ro = &inp->inp_route;
  if (ro->ro_rt != nullptr && (ro->ro_rt->rt_flags & RTF_UP)) return ro->ro_rt;
  if (inp_faddr(inp).s_addr == INADDR_ANY) return nullptr;
  if (ro->ro_rt != nullptr) {
    rtfree(ro->ro_rt);
    ro->ro_rt = nullptr;
  }
  sockaddr_in dst = make_sockaddr_in(0);
  dst.sin_addr = inp_faddr(inp);
  std::memcpy(&ro->ro_dst, &dst, sizeof(dst));
  ro->ro_rt = rtalloc1(&ro->ro_dst, 1, 0);
  return ro->ro_rt;
}

void tcp_mtudisc(inpcb* inp, int) {
  tcp_ctl_block* tp = intotcpcb(inp);
  if (tp == nullptr) return;
  rtentry* rt = tcp_route_lookup(inp);
  if (rt == nullptr || rt->rt_rmx.rmx_mtu == 0) {
    tp->snd_mss = static_cast<std::int32_t>(tcp_tun.default_mss);
    tp->mss_with_opts = tcp_tun.default_mss;
    return;
  }
  std::uint32_t mss = rt->rt_rmx.rmx_mtu - sizeof(tcpiphdr);
  if (tp->mss_with_opts <= mss) return;
  tp->mss_with_opts = mss;
  if ((tp->conn_flags & (TCPF_WANT_TSTAMP | TCPF_GOT_TSTAMP | TCPF_NO_OPTIONS)) ==
      (TCPF_WANT_TSTAMP | TCPF_GOT_TSTAMP)) {
    mss -= TCPOLEN_TSTAMP_APPA;
  }
  if (mss > MCLBYTES) mss = mss / MCLBYTES * MCLBYTES;
  socket* so = inp->inp_socket;
  if (so != nullptr && so->so_snd.sb_hiwat < mss) mss = so->so_snd.sb_hiwat;
  tp->snd_mss = static_cast<std::int32_t>(mss);
  ++g_tcpstat.mturesent;
  tp->rtt_start_tick = 0;
  tp->snd_nxt = tp->snd_una;
  tcp_output(tp, so);
}

void tcp_ctl_notify(int cmd, sockaddr* sa, void* extra) {
  if (sa == nullptr || sa->sa_family != AF_INET || cmd < 0 || cmd >= PRC_NCMDS) return;
  const std::uint32_t faddr = reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr;
  if (faddr == INADDR_ANY) return;
  const ip* quoted = static_cast<const ip*>(extra);
  void (*notify)(inpcb*, int) = tcp_notify;
  if (cmd == PRC_QUENCH) {
    notify = tcp_quench;
  } else if (cmd == PRC_MSGSIZE) {
    notify = tcp_mtudisc;
  } else if (quoted != nullptr &&
             (cmd == PRC_UNREACH_PORT || cmd == PRC_TIMXCEED_INTRANS || cmd == PRC_UNREACH_ADMIN_PROHIB)) {
    notify = tcp_drop_syn_sent;
  } else if (cmd >= PRC_REDIRECT_NET && cmd <= PRC_REDIRECT_TOSHOST) {
    notify = inpcb_route_changed;
    quoted = nullptr;
  } else if (cmd == PRC_HOSTDEAD) {
    quoted = nullptr;
  } else if (inetctlerr(cmd) == 0) {
    return;
  }
  const int error = inetctlerr(cmd);
  if (quoted == nullptr) {
    inpcb_notify_all(&tcbinfo, faddr, error, notify);
    return;
  }
  // The quote holds the IP header and at least 8 bytes of ours: ports and sequence.
  const auto* th = reinterpret_cast<const tcphdr*>(reinterpret_cast<const std::uint8_t*>(quoted) + ip_hlen(quoted));
  inpcb* inp = inpcb_lookup(&tcbinfo, faddr, th->th_dport, quoted->ip_src.s_addr, th->th_sport, false, nullptr);
  const tcp_seq seq = ntohl(th->th_seq);
  if (inp != nullptr && inp->inp_socket != nullptr) {
    tcp_ctl_block* tp = intotcpcb(inp);
    if (tp != nullptr && SEQ_GEQ(seq, tp->snd_una) && SEQ_LT(seq, tp->snd_max)) notify(inp, error);
    return;
  }
  syncache_endpoints ep{th->th_dport, th->th_sport, faddr, quoted->ip_src.s_addr};
  syncache_unreach(ep, seq);
}

void tcp_stop_timers(tcp_ctl_block* tp) {
  for (TcpTimer t : {TT_2MSL, TT_PERSIST, TT_KEEP, TT_REXMT, TT_DELACK}) tcp_timer_stop(tp, t);
}

std::int32_t tcp_rexmt_value(const tcp_ctl_block* tp) {
  const std::int32_t v = ((tp->srtt >> 3) + tp->rttvar) >> 2;
  return v > tp->min_rto ? v : tp->min_rto;
}

socket* QuadToSocket(std::uint16_t local_port, std::uint16_t foreign_port, std::uint32_t local_addr,
                     std::uint32_t foreign_addr) {
  inpcb* inp = inpcb_lookup(&tcbinfo, htonl(foreign_addr), htons(foreign_port), htonl(local_addr), htons(local_port),
                            false, nullptr);
  if (inp == nullptr) return nullptr;
  socket* so = inp->inp_socket;
  if (so == nullptr) {
    OSPrimDebugPrint("func[%s] Line[%d]: \n", "QuadToSocket", __LINE__);
    OSPrimDebugPrint("QuadToSocket:Invalid Socket Handle\n");
    return nullptr;
  }
  if (so->so_signature != SOCKET_SIGNATURE) {
    // A record that is not a live socket is never handed out.
    OSPrimDebugPrint("func[%s] Line[%d]: \n", "QuadToSocket", __LINE__);
    OSPrimDebugPrint("QuadToSocket:socket signature is BAD %x \n", so->so_signature);
    return nullptr;
  }
  if (inp->inp_ppcb == nullptr) OSPrimDebugPrint("Func[%s] line[%d] \n", "QuadToSocket", __LINE__);
  return so;
}

}  // namespace zektcp
