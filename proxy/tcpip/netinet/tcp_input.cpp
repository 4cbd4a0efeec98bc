// TCP input: the checks of a received segment, the connection look-up,
// SYNs and completing ACKs of listening sockets through the SYN cache,
// header prediction, and the RFC 9293 state machine with RFC 5961's
// defences, RFC 5681 / RFC 6582 congestion control (slow start,
// congestion avoidance, fast retransmit, NewReno recovery), RFC 7323
// window scaling and timestamps (PAWS), urgent data, reassembly of
// out-of-order data, FIN handling and TIME-WAIT. Beside it: the option
// parser, the round-trip estimator (RFC 6298) and the MSS and buffer sizing.
#include <cstring>

#include "proxy/tcpip/netinet/tcp_var.h"

namespace zektcp {

namespace {

bool checksum_good(mbuf* m, const ip* h, int len) {
  const std::uint16_t pseudo =
      in_pseudo(h->ip_src.s_addr, h->ip_dst.s_addr, htonl(static_cast<std::uint32_t>(len) + IPPROTO_TCP));
  const std::int32_t flags = m->mh.m_pkthdr.csum_flags;
  if (flags & CSUM_DATA_VALID) {
    std::uint32_t sum = static_cast<std::uint32_t>(m->mh.m_pkthdr.csum_data);
    if (!(flags & CSUM_PSEUDO_HDR)) sum += ntohs(pseudo);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return sum == 0xFFFF;
  }
  return in_cksum_range(m, static_cast<int>(sizeof(ip)), len, pseudo) == 0;
}

bool ts_lt(std::uint32_t a, std::uint32_t b) { return static_cast<std::int32_t>(a - b) < 0; }

// What tcp_input keeps of a segment once its headers left the chain.
struct Segment {
  tcpiphdr reply;  // addresses and ports of an answer (source = us)
  tcp_seq seq;
  tcp_seq ack;
  std::uint32_t win;
  std::uint16_t urp;
  std::uint8_t flags;
  std::int32_t tlen;  // data bytes
  bool link_group;    // arrived as a link broadcast or multicast
  bool dst_group;     // sent to a multicast or broadcast address
};

void log_unmatched(const Segment& s) {
  const int level = static_cast<int>(tcp_tun.log_unmatched_level);
  if (level == 0 || (level == 1 && !(s.flags & TH_SYN))) return;
  char local[20];
  std::strncpy(local, inet_ntoa(s.reply.ti_i.ip_src.s_addr), sizeof(local) - 1);
  local[sizeof(local) - 1] = 0;
  if (level == 1) {
    OSPrimDebugPrint("Connection attempt to TCP %s:%d from %s:%d\n", local, ntohs(s.reply.ti_t.th_sport),
                     inet_ntoa(s.reply.ti_i.ip_dst.s_addr), ntohs(s.reply.ti_t.th_dport));
  } else {
    OSPrimDebugPrint("Connection attempt to TCP %s:%d from %s:%d flags:0x%x\n", local, ntohs(s.reply.ti_t.th_sport),
                     inet_ntoa(s.reply.ti_i.ip_dst.s_addr), ntohs(s.reply.ti_t.th_dport), s.flags);
  }
}

// The answer to a segment nobody wants: never to a RST, nor to a group.
void drop_with_reset(tcp_ctl_block* tp, const Segment& s, mbuf* m) {
  if (m != nullptr) mbuf_free_chain(m);
  if ((s.flags & TH_RST) || s.link_group || s.dst_group) return;
  if (s.flags & TH_ACK) {
    tcp_send_control(tp, &s.reply, nullptr, 0, s.ack, TH_RST);
  } else {
    std::uint32_t len = static_cast<std::uint32_t>(s.tlen);
    if (s.flags & TH_SYN) ++len;
    if (s.flags & TH_FIN) ++len;
    tcp_send_control(tp, &s.reply, nullptr, s.seq + len, 0, TH_RST | TH_ACK);
  }
}

// RFC 5961: an ACK that tells a blind attacker nothing, at a bounded rate.
void challenge_ack(tcp_ctl_block* tp, socket* so) {
  const std::uint32_t second = stack_ticks() / tick_rate();
  if (second != tp->challenge_second) {
    tp->challenge_second = second;
    tp->challenge_count = 0;
  }
  if (++tp->challenge_count > TCP_CHALLENGE_ACKS_PER_SECOND) return;
  ++g_tcpstat.challenge_acks;
  tp->conn_flags |= TCPF_ACK_NOW;
  tcp_output(tp, so);
}

void enter_time_wait(tcp_ctl_block* tp, socket* so) {
  tp->conn_state = TCPS_TIME_WAIT;
  tcp_stop_timers(tp);
  tcp_timer_arm(tp, TT_2MSL, static_cast<std::int32_t>(2 * tcp_tun.max_seg_lifetime));
  mark_socket_disconnected(so);
}

void deliver(socket* so, mbuf* m) {
  if (m == nullptr) return;
  if (so->so_state & SS_CANTRCVMORE) {
    mbuf_free_chain(m);
  } else {
    append_to_socket_buffer(&so->so_rcv, m);
  }
}

// Queues an out-of-order segment (with `m`) or, with m null, only hands
// over what has become in order. Returns TH_FIN when the last segment
// delivered carried the FIN.
std::uint8_t reassemble(tcp_ctl_block* tp, socket* so, tcp_seq seq, std::int32_t len, bool fin, mbuf* m) {
  if (m != nullptr || fin) {
    // Out-of-order data is held only within the receive buffer's free space
    // and in a bounded number of pieces; the segment that fills the hole
    // at the front is always taken.
    const std::int64_t space = sbspace(&so->so_rcv);
    if (seq != tp->rcv_nxt &&
        (static_cast<std::int64_t>(tp->reass_bytes) + len > space || tp->reass_segments >= TCP_REASS_MAX_SEGMENTS)) {
      ++g_tcpstat.reassfull;
      mbuf_free_chain(m);
      return 0;
    }
    auto* te = static_cast<tseg_qent*>(OSPrimMemAllocPtr(sizeof(tseg_qent)));
    if (te == nullptr) {
      ++g_tcpstat.reassfull;
      mbuf_free_chain(m);
      return 0;
    }
    NetLockScope lock;
    tseg_qent* prev = nullptr;
    tseg_qent* q = tp->reass_queue;
    while (q != nullptr && SEQ_LEQ(q->seq, seq)) {
      prev = q;
      q = q->next;
    }
    if (prev != nullptr) {
      const std::int32_t i = static_cast<std::int32_t>(prev->seq + static_cast<std::uint32_t>(prev->len) - seq);
      if (i > 0) {
        if (i >= len && !(fin && !prev->fin)) {
          ++g_tcpstat.rcvduppack;
          g_tcpstat.rcvdupbyte += static_cast<std::uint32_t>(len);
          mbuf_free_chain(m);
          OSPrimMemFreePtr(te);
          return 0;
        }
        const std::int32_t cut = i < len ? i : len;
        if (m != nullptr) mbuf_trim(m, cut);
        seq += static_cast<std::uint32_t>(cut);
        len -= cut;
      }
    }
    ++g_tcpstat.rcvoopack;
    g_tcpstat.rcvoobyte += static_cast<std::uint32_t>(len);
    while (q != nullptr && SEQ_GT(seq + static_cast<std::uint32_t>(len), q->seq)) {
      const std::int32_t i = static_cast<std::int32_t>(seq + static_cast<std::uint32_t>(len) - q->seq);
      if (i < q->len) {
        mbuf_trim(q->m, i);
        q->seq += static_cast<std::uint32_t>(i);
        q->len -= i;
        tp->reass_bytes -= static_cast<std::uint32_t>(i);
        break;
      }
      tseg_qent* nq = q->next;
      if (q->fin) fin = true;
      if (q->prev != nullptr)
        q->prev->next = nq;
      else
        tp->reass_queue = nq;
      if (nq != nullptr) nq->prev = q->prev;
      tp->reass_bytes -= static_cast<std::uint32_t>(q->len);
      --tp->reass_segments;
      mbuf_free_chain(q->m);
      OSPrimMemFreePtr(q);
      q = nq;
    }
    te->seq = seq;
    te->len = len;
    te->fin = fin ? 1 : 0;
    te->m = m;
    te->prev = prev;
    te->next = q;
    if (prev != nullptr)
      prev->next = te;
    else
      tp->reass_queue = te;
    if (q != nullptr) q->prev = te;
    tp->reass_bytes += static_cast<std::uint32_t>(len);
    ++tp->reass_segments;
  }
  if (!TCPS_HAVEESTABLISHED(tp->conn_state)) return 0;
  std::uint8_t flags = 0;
  bool delivered = false;
  NetLockScope lock;
  while (tseg_qent* q = tp->reass_queue) {
    if (q->seq != tp->rcv_nxt) break;
    tp->rcv_nxt += static_cast<std::uint32_t>(q->len);
    tp->reass_queue = q->next;
    if (q->next != nullptr) q->next->prev = nullptr;
    tp->reass_bytes -= static_cast<std::uint32_t>(q->len);
    --tp->reass_segments;
    flags = q->fin ? TH_FIN : 0;
    deliver(so, q->m);
    OSPrimMemFreePtr(q);
    delivered = true;
    if (flags & TH_FIN) break;
  }
  if (delivered) wake_socket_readers(so);
  return flags;
}

void take_rtt(tcp_ctl_block* tp, const tcpopt& to, tcp_seq ack) {
  if ((to.opt_flags & OPTF_TSTAMP) && to.opt_tsecr != 0 && (tp->conn_flags & TCPF_GOT_TSTAMP)) {
    tcp_rtt_sample(tp, static_cast<std::int32_t>(stack_ticks() - to.opt_tsecr + 1));
  } else if (tp->rtt_start_tick != 0 && SEQ_GT(ack, tp->rtt_seq)) {
    tcp_rtt_sample(tp, static_cast<std::int32_t>(stack_ticks() - tp->rtt_start_tick));
  }
}

// A retransmission time-out that an ACK shows to have been spurious gives
// back the window it took.
void undo_bad_rexmit(tcp_ctl_block* tp) {
  if (tp->backoff_shift == 1 && SEQ_LT(stack_ticks(), tp->bad_rexmit_deadline)) {
    tp->snd_cwnd = tp->saved_cwnd;
    tp->ssthresh = tp->saved_ssthresh;
    tp->rto_high_seq = tp->saved_rto_high_seq;
    tp->snd_nxt = tp->snd_max;
  }
}

void take_syn_options(tcp_ctl_block* tp, const tcpopt& to) {
  if ((to.opt_flags & OPTF_WSCALE) && (tp->conn_flags & TCPF_WANT_WSCALE)) {
    tp->conn_flags |= TCPF_GOT_WSCALE;
    tp->peer_snd_shift = to.opt_wscale;
  }
  if (to.opt_flags & OPTF_TSTAMP) {
    tp->conn_flags |= TCPF_GOT_TSTAMP;
    tp->ts_recent = to.opt_tsval;
    tp->ts_recent_age = stack_ticks();
  }
  tcp_set_mss(tp, (to.opt_flags & OPTF_MSS) ? to.opt_mss : 0);
}

void agree_window_scale(tcp_ctl_block* tp) {
  if ((tp->conn_flags & (TCPF_WANT_WSCALE | TCPF_GOT_WSCALE)) == (TCPF_WANT_WSCALE | TCPF_GOT_WSCALE)) {
    tp->snd_wnd_shift = tp->peer_snd_shift;
    tp->rcv_wnd_shift = tp->req_rcv_shift;
  }
}

void established(tcp_ctl_block* tp, socket* so) {
  ++g_tcpstat.connects;
  mark_socket_connected(so);
  tp->start_tick = stack_ticks();
  tp->conn_state = TCPS_ESTABLISHED;
  if (tp->conn_flags & TCPF_SEND_FIN) {
    tp->conn_flags &= ~TCPF_SEND_FIN;
    tp->conn_state = TCPS_FIN_WAIT_1;
  }
  tcp_timer_arm(tp, TT_KEEP, static_cast<std::int32_t>(tcp_tun.keepalive_idle));
}

bool group_address(std::uint32_t a, ifnet* ifp) {
  return IN_MULTICAST(ntohl(a)) || a == INADDR_BROADCAST || in_is_broadcast(a, ifp);
}

}  // namespace

void tcp_parse_options(tcpopt* to, const std::uint8_t* cp, int cnt, bool syn) {
  int optlen = 0;
  for (; cnt > 0; cnt -= optlen, cp += optlen) {
    const int opt = cp[0];
    if (opt == TCPOPT_EOL) break;
    if (opt == TCPOPT_NOP) {
      optlen = 1;
      continue;
    }
    if (cnt < 2) {
      to->opt_flags |= OPTF_BAD;
      break;
    }
    optlen = cp[1];
    if (optlen < 2 || optlen > cnt) {
      to->opt_flags |= OPTF_BAD;
      break;
    }
    auto get32 = [](const std::uint8_t* p) {
      return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
             (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
    };
    switch (opt) {
      case TCPOPT_MAXSEG:
        if (optlen != TCPOLEN_MAXSEG || !syn) continue;
        to->opt_flags |= OPTF_MSS;
        to->opt_mss = static_cast<std::uint16_t>((cp[2] << 8) | cp[3]);
        break;
      case TCPOPT_WINDOW:
        if (optlen != TCPOLEN_WINDOW || !syn) continue;
        to->opt_flags |= OPTF_WSCALE;
        to->opt_wscale = static_cast<std::uint8_t>(cp[2] > TCP_MAX_WINSHIFT ? TCP_MAX_WINSHIFT : cp[2]);
        break;
      case TCPOPT_TIMESTAMP:
        if (optlen != TCPOLEN_TIMESTAMP) continue;
        to->opt_flags |= OPTF_TSTAMP;
        to->opt_tsval = get32(cp + 2);
        to->opt_tsecr = get32(cp + 6);
        break;
      case TCPOPT_CC:
        if (optlen != TCPOLEN_CC) continue;
        to->opt_flags |= OPTF_CC;
        to->opt_cc = get32(cp + 2);
        break;
      case TCPOPT_CCNEW:
      case TCPOPT_CCECHO:
        if (optlen != TCPOLEN_CC || !syn) continue;
        if (opt == TCPOPT_CCNEW) {
          to->opt_flags |= OPTF_CCNEW;
          to->opt_cc = get32(cp + 2);
        } else {
          to->opt_flags |= OPTF_CCECHO;
          to->opt_ccecho = get32(cp + 2);
        }
        break;
      default:
        break;
    }
  }
}

void tcp_rtt_sample(tcp_ctl_block* tp, std::int32_t rtt) {
  if (rtt < 1) rtt = 1;
  ++g_tcpstat.rttupdated;
  ++tp->rtt_sample_count;
  if (tp->srtt != 0) {
    std::int32_t delta = 4 * (rtt - 1) - (tp->srtt >> 3);
    tp->srtt += delta;
    if (tp->srtt <= 0) tp->srtt = 1;
    if (delta < 0) delta = -delta;
    tp->rttvar += delta - (tp->rttvar >> 2);
    if (tp->rttvar <= 0) tp->rttvar = 1;
    if (tp->srtt + tp->rttvar < tp->best_rtt) tp->best_rtt = tp->srtt + tp->rttvar;
  } else {
    tp->srtt = rtt * 32;
    tp->rttvar = rtt * 8;
    tp->best_rtt = rtt * 40;
  }
  tp->rtt_start_tick = 0;
  tp->backoff_shift = 0;
  std::int32_t rto = static_cast<std::int32_t>(tcp_tun.rto_margin) + tcp_rexmt_value(tp);
  const std::int32_t floor = tp->min_rto > rtt + 2 ? tp->min_rto : rtt + 2;
  const std::int32_t ceiling = static_cast<std::int32_t>(TCP_MAX_RTO_SECONDS * tick_rate());
  if (rto < floor) rto = floor;
  if (rto > ceiling) rto = ceiling;
  tp->rto = rto;
  tp->soft_error = 0;
}

void tcp_set_mss(tcp_ctl_block* tp, int offer) {
  inpcb* inp = tp->owning_inpcb;
  socket* so = inp->inp_socket;
  rtentry* rt = tcp_route_lookup(inp);
  if (rt == nullptr || rt->rt_ifp == nullptr) {
    tp->snd_mss = static_cast<std::int32_t>(tcp_tun.default_mss);
    tp->mss_with_opts = tcp_tun.default_mss;
    return;
  }
  ifnet* ifp = rt->rt_ifp;
  const std::uint32_t hz = tick_rate();
  if (offer == -1) offer = 0;  // the route keeps no peer MSS
  offer = offer == 0 ? static_cast<int>(tcp_tun.default_mss) : (offer < 64 ? 64 : offer);
  if (tp->srtt == 0 && rt->rt_rmx.rmx_rtt != 0) {
    tp->srtt = static_cast<std::int32_t>(rt->rt_rmx.rmx_rtt / (1000000 / (32 * hz)));
    tp->best_rtt = tp->srtt + 32;
    tp->rttvar = rt->rt_rmx.rmx_rttvar != 0 ? static_cast<std::int32_t>(rt->rt_rmx.rmx_rttvar / (1000000 / (16 * hz)))
                                            : tp->srtt / 2;
    std::int32_t rto = static_cast<std::int32_t>(tcp_tun.rto_margin) + (((tp->srtt >> 2) + tp->rttvar) >> 1);
    if (rto < tp->min_rto) rto = tp->min_rto;
    if (rto > static_cast<std::int32_t>(TCP_MAX_RTO_SECONDS * hz))
      rto = static_cast<std::int32_t>(TCP_MAX_RTO_SECONDS * hz);
    tp->rto = rto;
  }
  const bool local = in_is_local_subnet(inp_faddr(inp).s_addr) || (ifp->if_flags & (IFF_LOOPBACK | IFF_POINTOPOINT));
  std::uint32_t mss;
  if (rt->rt_rmx.rmx_mtu != 0) {
    mss = rt->rt_rmx.rmx_mtu - sizeof(tcpiphdr);
  } else if (local) {
    mss = ifp->if_data.ifi_mtu - sizeof(tcpiphdr);
  } else {
    mss = ifp->if_data.ifi_mtu - sizeof(tcpiphdr);
    if (mss > 512) mss = 512;
  }
  if (static_cast<std::uint32_t>(offer) < mss) mss = static_cast<std::uint32_t>(offer);
  tp->mss_with_opts = mss;
  if ((tp->conn_flags & (TCPF_WANT_TSTAMP | TCPF_GOT_TSTAMP | TCPF_NO_OPTIONS)) ==
      (TCPF_WANT_TSTAMP | TCPF_GOT_TSTAMP)) {
    mss -= TCPOLEN_TSTAMP_APPA;
  }
  if (mss > MCLBYTES) mss = mss / MCLBYTES * MCLBYTES;
  std::uint32_t bufsize = rt->rt_rmx.rmx_sendpipe != 0 ? rt->rt_rmx.rmx_sendpipe : so->so_snd.sb_hiwat;
  if (bufsize < mss) {
    mss = bufsize;
  } else {
    bufsize = (bufsize + mss - 1) / mss * mss;
    if (bufsize > SB_MAX) bufsize = SB_MAX;
    if (bufsize > so->so_snd.sb_hiwat) send_sbreserve(&so->so_snd, bufsize, so);
  }
  tp->snd_mss = static_cast<std::int32_t>(mss);
  bufsize = rt->rt_rmx.rmx_recvpipe != 0 ? rt->rt_rmx.rmx_recvpipe : so->so_rcv.sb_hiwat;
  if (bufsize > mss) {
    bufsize = (bufsize + mss - 1) / mss * mss;
    if (bufsize > SB_MAX) bufsize = SB_MAX;
    if (bufsize > so->so_rcv.sb_hiwat) recv_sbreserve(&so->so_rcv, bufsize, so);
  }
  tp->snd_cwnd = local ? 4 * mss : mss;
  if (rt->rt_rmx.rmx_ssthresh != 0) {
    tp->ssthresh = rt->rt_rmx.rmx_ssthresh > 2 * mss ? rt->rt_rmx.rmx_ssthresh : 2 * mss;
  }
}

void tcp_input(mbuf* m, int iphlen) {
  ++g_tcpstat.rcvtotal;
  if (iphlen > static_cast<int>(sizeof(ip))) {
    ip_remove_options(m);
    iphlen = static_cast<int>(sizeof(ip));
  }
  if (m->m_len < static_cast<int>(sizeof(tcpiphdr))) {
    m = m_pullup(m, sizeof(tcpiphdr));
    if (m == nullptr) {
      ++g_tcpstat.rcvshort;
      OSPrimDebugPrint("tcp_input: rcv short\n");
      return;
    }
  }
  ip* h = mtod<ip>(m);
  const int seglen = h->ip_len;  // TCP header and data
  if (seglen < static_cast<int>(sizeof(tcphdr)) || m->mh.m_pkthdr.len < iphlen + seglen) {
    ++g_tcpstat.rcvshort;
    mbuf_free_chain(m);
    return;
  }
  if (!checksum_good(m, h, seglen)) {
    ++g_tcpstat.rcvbadsum;
    OSPrimDebugPrint("tcp_input: bad rcvbadsum\n");
    mbuf_free_chain(m);
    return;
  }
  auto* th = reinterpret_cast<tcphdr*>(m->m_data + iphlen);
  const int off = th_off(th) << 2;
  if (off < static_cast<int>(sizeof(tcphdr)) || off > seglen) {
    ++g_tcpstat.rcvbadoff;
    OSPrimDebugPrint("tcp_input: rcvbadoff \n");
    mbuf_free_chain(m);
    return;
  }
  if (m->m_len < iphlen + off) {
    m = m_pullup(m, iphlen + off);
    if (m == nullptr) {
      ++g_tcpstat.rcvshort;
      OSPrimDebugPrint("tcp_input: rcvshort\n");
      return;
    }
    h = mtod<ip>(m);
    th = reinterpret_cast<tcphdr*>(m->m_data + iphlen);
  }
  Segment s{};
  s.reply.ti_i.ip_src = h->ip_dst;
  s.reply.ti_i.ip_dst = h->ip_src;
  s.reply.ti_t.th_sport = th->th_dport;
  s.reply.ti_t.th_dport = th->th_sport;
  s.seq = ntohl(th->th_seq);
  s.ack = ntohl(th->th_ack);
  s.win = ntohs(th->th_win);
  s.urp = ntohs(th->th_urp);
  s.flags = th->th_flags & TH_FLAGS;
  s.tlen = seglen - off;
  ifnet* rcvif = m->mh.m_pkthdr.rcvif;
  s.link_group = (m->m_flags & (M_BCAST | M_MCAST)) != 0;
  s.dst_group = group_address(h->ip_dst.s_addr, rcvif);
  std::uint8_t optbuf[TCP_MAXOLEN];
  const int optlen = off - static_cast<int>(sizeof(tcphdr));
  if (optlen > 0) std::memcpy(optbuf, th + 1, static_cast<std::size_t>(optlen));
  const syncache_endpoints ep{th->th_sport, th->th_dport, h->ip_src.s_addr, h->ip_dst.s_addr};
  const bool same_ends = h->ip_src.s_addr == h->ip_dst.s_addr && th->th_sport == th->th_dport;
  const bool src_group = IN_MULTICAST(ntohl(h->ip_src.s_addr)) || h->ip_src.s_addr == INADDR_BROADCAST;

  inpcb* inp = inpcb_lookup(&tcbinfo, h->ip_src.s_addr, th->th_sport, h->ip_dst.s_addr, th->th_dport, true, rcvif);
  // From here on the chain holds the data alone.
  mbuf_trim(m, iphlen + off);
  if (inp == nullptr) {
    ++g_tcpstat.noport;
    log_unmatched(s);
    if (tcp_tun.silent_drop) {
      mbuf_free_chain(m);
    } else {
      drop_with_reset(nullptr, s, m);
    }
    return;
  }
  socket* so = inp->inp_socket;
  tcp_ctl_block* tp = intotcpcb(inp);
  if (tp != nullptr && tcp_offloaded(tp)) {
    mbuf_free_chain(m);  // the adapter owns the connection
    return;
  }
  if (tp == nullptr || so == nullptr) {
    if (so == nullptr) OSPrimDebugPrint("so is NULL file[%s] line[%d]\n", __FILE__, __LINE__);
    mbuf_free_chain(m);
    return;
  }
  if (tp->conn_state == TCPS_CLOSED) {
    // A socket that is bound but neither listening nor connected is a
    // closed port to the peer.
    ++g_tcpstat.rcvafterclose;
    drop_with_reset(nullptr, s, m);
    return;
  }
  std::uint32_t tiwin = s.win;
  if (!(s.flags & TH_SYN)) tiwin <<= tp->snd_wnd_shift;

  if (so->so_options & SO_ACCEPTCONN) {
    const std::uint8_t kind = s.flags & (TH_SYN | TH_RST | TH_ACK);
    if (kind == TH_SYN) {
      if (same_ends || s.link_group || s.dst_group || src_group || so->so_qlen > so->so_qlimit) {
        if (so->so_qlen > so->so_qlimit) ++g_tcpstat.listendrop;
        ++g_tcpstat.badsyn;
        mbuf_free_chain(m);
        return;
      }
      tcpopt to{};
      tcp_parse_options(&to, optbuf, optlen, true);
      if (to.opt_flags & OPTF_BAD) ++g_tcpstat.rcvbadopt;
      tcphdr hdr{};
      hdr.th_seq = s.seq;
      hdr.th_win = static_cast<std::uint16_t>(s.win);
      if (!syncache_enter_syn(ep, to, &hdr, so, m)) mbuf_free_chain(m);
      return;
    }
    if (kind == TH_ACK) {
      tcphdr hdr{};
      hdr.th_seq = s.seq;
      hdr.th_ack = s.ack;
      bool reset = false;
      socket* nso = syncache_complete(ep, &hdr, so, &reset);
      if (nso == nullptr) {
        if (reset) {
          drop_with_reset(nullptr, s, m);
        } else {
          mbuf_free_chain(m);
        }
        return;
      }
      so = nso;
      inp = sotoinpcb(so);
      tp = intotcpcb(inp);
      tiwin = static_cast<std::uint32_t>(s.win) << tp->snd_wnd_shift;
      tp->snd_wnd = tiwin;
      tp->snd_wl1 = s.seq - 1;
      tp->rcv_up = tp->last_ack_sent = tp->rcv_nxt;
    } else if (s.flags & TH_RST) {
      tcphdr hdr{};
      hdr.th_seq = s.seq;
      syncache_reset(ep, &hdr);
      mbuf_free_chain(m);
      return;
    } else {
      ++g_tcpstat.badsyn;
      drop_with_reset(nullptr, s, m);
      return;
    }
  }
  if (tp->conn_state == TCPS_LISTEN) panic("tcp_input: TCPS_LISTEN");

  tp->last_rcv_tick = stack_ticks();
  if (TCPS_HAVEESTABLISHED(tp->conn_state)) {
    tcp_timer_arm(tp, TT_KEEP, static_cast<std::int32_t>(tcp_tun.keepalive_idle));
  }
  tcpopt to{};
  tcp_parse_options(&to, optbuf, optlen, (s.flags & TH_SYN) != 0);
  if (to.opt_flags & OPTF_BAD) ++g_tcpstat.rcvbadopt;

  // ---- Header prediction ----
  if (tp->conn_state == TCPS_ESTABLISHED && (s.flags & (TH_SYN | TH_FIN | TH_RST | TH_URG | TH_ACK)) == TH_ACK &&
      !(tp->conn_flags & (TCPF_SEND_SYN | TCPF_SEND_FIN)) &&
      (!(to.opt_flags & OPTF_TSTAMP) || !(tp->conn_flags & TCPF_GOT_TSTAMP) || !ts_lt(to.opt_tsval, tp->ts_recent)) &&
      s.seq == tp->rcv_nxt && tiwin != 0 && tiwin == tp->snd_wnd && tp->snd_nxt == tp->snd_max) {
    if ((to.opt_flags & OPTF_TSTAMP) && SEQ_LEQ(s.seq, tp->last_ack_sent)) {
      tp->ts_recent_age = stack_ticks();
      tp->ts_recent = to.opt_tsval;
    }
    if (s.tlen == 0) {
      if (SEQ_GT(s.ack, tp->snd_una) && SEQ_LEQ(s.ack, tp->snd_max) && tp->snd_cwnd >= tp->snd_wnd &&
          tp->dup_ack_count < 3) {
        ++g_tcpstat.predack;
        undo_bad_rexmit(tp);
        take_rtt(tp, to, s.ack);
        const std::uint32_t acked = s.ack - tp->snd_una;
        ++g_tcpstat.rcvackpack;
        g_tcpstat.rcvackbyte += acked;
        sbdrop(&so->so_snd, static_cast<int>(acked));
        tp->snd_una = s.ack;
        tp->dup_ack_count = 0;
        if (tp->snd_una == tp->snd_max) {
          tcp_timer_stop(tp, TT_REXMT);
        } else if (!tcp_timer_active(tp, TT_PERSIST)) {
          tcp_timer_arm(tp, TT_REXMT, tp->rto);
        }
        wake_socket_writers(so);
        if (so->so_snd.sb_cc > 0) tcp_output(tp, so);
        mbuf_free_chain(m);
        return;
      }
    } else if (s.ack == tp->snd_una && tp->reass_queue == nullptr && s.tlen <= sbspace(&so->so_rcv)) {
      ++g_tcpstat.preddat;
      ++g_tcpstat.rcvpack;
      g_tcpstat.rcvbyte += static_cast<std::uint32_t>(s.tlen);
      tp->rcv_nxt += static_cast<std::uint32_t>(s.tlen);
      deliver(so, m);
      wake_socket_readers(so);
      tp->conn_flags |= TCPF_ACK_NOW;
      tcp_output(tp, so);
      return;
    }
  }

  // ---- The full processing ----
  std::int64_t rcv_wnd = sbspace(&so->so_rcv);
  if (rcv_wnd < 0) rcv_wnd = 0;
  if (rcv_wnd < static_cast<std::int32_t>(tp->rcv_right_edge - tp->rcv_nxt)) {
    rcv_wnd = static_cast<std::int32_t>(tp->rcv_right_edge - tp->rcv_nxt);
  }
  tp->rcv_wnd = static_cast<std::uint32_t>(rcv_wnd);
  bool needoutput = false;
  bool skip_ack = false;

  if (tp->conn_state == TCPS_SYN_SENT) {
    if ((s.flags & TH_ACK) && (SEQ_LEQ(s.ack, tp->iss) || SEQ_GT(s.ack, tp->snd_max))) {
      drop_with_reset(tp, s, m);
      return;
    }
    if (s.flags & TH_RST) {
      if (s.flags & TH_ACK) tcp_drop_conn(tp, BSD_ECONNREFUSED);
      mbuf_free_chain(m);
      return;
    }
    if (!(s.flags & TH_SYN)) {
      mbuf_free_chain(m);
      return;
    }
    tp->irs = s.seq;
    tp->rcv_nxt = tp->rcv_up = tp->irs + 1;
    tp->conn_flags |= TCPF_ACK_NOW;
    take_syn_options(tp, to);
    if (s.flags & TH_ACK) {
      tp->snd_una = s.ack;
      if (SEQ_LT(tp->snd_nxt, tp->snd_una)) tp->snd_nxt = tp->snd_una;
      tcp_timer_stop(tp, TT_REXMT);
      agree_window_scale(tp);
      if (tp->rtt_start_tick != 0) tcp_rtt_sample(tp, static_cast<std::int32_t>(stack_ticks() - tp->rtt_start_tick));
      established(tp, so);
    } else {
      // Both ends opened at once: our SYN stays under the retransmission timer.
      tp->conn_state = TCPS_SYN_RECEIVED;
    }
    tp->rcv_right_edge = tp->rcv_nxt + static_cast<std::uint32_t>(rcv_wnd);
    ++s.seq;  // the SYN
    if (s.tlen > rcv_wnd) {
      mbuf_trim(m, -static_cast<int>(s.tlen - rcv_wnd));
      s.tlen = static_cast<std::int32_t>(rcv_wnd);
      s.flags &= ~TH_FIN;
    }
    tp->snd_wl1 = s.seq - 1;
    tp->rcv_up = s.seq;
    tp->snd_wnd = s.win;  // a SYN's window is never scaled
    tp->snd_wl2 = s.ack;
    if (tp->snd_wnd > tp->max_snd_window) tp->max_snd_window = tp->snd_wnd;
    skip_ack = true;
  } else {
    // ---- RST (RFC 5961): only the exact next sequence resets ----
    if (s.flags & TH_RST) {
      const std::uint32_t wnd = rcv_wnd > 0 ? static_cast<std::uint32_t>(rcv_wnd) : 1;
      if (s.seq == tp->rcv_nxt) {
        switch (tp->conn_state) {
          case TCPS_SYN_RECEIVED:
            so->so_error = BSD_ECONNREFUSED;
            tp->conn_state = TCPS_CLOSED;
            ++g_tcpstat.drops;
            tcp_close_conn(tp);
            break;
          case TCPS_ESTABLISHED:
          case TCPS_FIN_WAIT_1:
          case TCPS_FIN_WAIT_2:
          case TCPS_CLOSE_WAIT:
            so->so_error = BSD_ECONNRESET;
            tp->conn_state = TCPS_CLOSED;
            ++g_tcpstat.drops;
            tcp_close_conn(tp);
            break;
          case TCPS_CLOSING:
          case TCPS_LAST_ACK:
            tcp_close_conn(tp);
            break;
          default:
            break;
        }
      } else if (SEQ_GT(s.seq, tp->rcv_nxt) && SEQ_LT(s.seq, tp->rcv_nxt + wnd)) {
        ++g_tcpstat.badrst;
        challenge_ack(tp, so);
      } else {
        ++g_tcpstat.badrst;
      }
      mbuf_free_chain(m);
      return;
    }
    // ---- PAWS (RFC 7323) ----
    if ((to.opt_flags & OPTF_TSTAMP) && (tp->conn_flags & TCPF_GOT_TSTAMP) && tp->ts_recent != 0 &&
        ts_lt(to.opt_tsval, tp->ts_recent)) {
      if (stack_ticks() - tp->ts_recent_age > 24u * 24 * 60 * 60 * tick_rate()) {
        tp->ts_recent = 0;  // idle for 24 days: the stamp is stale
      } else {
        ++g_tcpstat.pawsdrop;
        ++g_tcpstat.rcvduppack;
        mbuf_free_chain(m);
        tp->conn_flags |= TCPF_ACK_NOW;
        tcp_output(tp, so);
        return;
      }
    }
    // ---- Trim to the window ----
    std::int32_t todrop = static_cast<std::int32_t>(tp->rcv_nxt - s.seq);
    if (todrop > 0) {
      if (s.flags & TH_SYN) {
        s.flags &= ~TH_SYN;
        ++s.seq;
        if (s.urp > 1) {
          --s.urp;
        } else {
          s.flags &= ~TH_URG;
        }
        --todrop;
      }
      if (todrop > s.tlen || (todrop == s.tlen && !(s.flags & TH_FIN))) {
        s.flags &= ~TH_FIN;
        tp->conn_flags |= TCPF_ACK_NOW;
        todrop = s.tlen;
        ++g_tcpstat.rcvduppack;
        g_tcpstat.rcvdupbyte += static_cast<std::uint32_t>(todrop);
      } else {
        ++g_tcpstat.rcvpartduppack;
      }
      if (todrop > 0) mbuf_trim(m, todrop);
      s.seq += static_cast<std::uint32_t>(todrop);
      s.tlen -= todrop;
      if (s.urp > todrop) {
        s.urp = static_cast<std::uint16_t>(s.urp - todrop);
      } else {
        s.flags &= ~TH_URG;
        s.urp = 0;
      }
    }
    // Data for a socket that has gone: the peer learns with a reset.
    if ((so->so_state & SS_NOFDREF) && tp->conn_state > TCPS_CLOSE_WAIT && s.tlen > 0) {
      tcp_close_conn(tp);
      ++g_tcpstat.rcvafterclose;
      drop_with_reset(nullptr, s, m);
      return;
    }
    todrop = static_cast<std::int32_t>(s.seq + static_cast<std::uint32_t>(s.tlen) -
                                       (tp->rcv_nxt + static_cast<std::uint32_t>(rcv_wnd)));
    if (todrop > 0) {
      ++g_tcpstat.rcvpackafterwin;
      if (todrop >= s.tlen) {
        g_tcpstat.rcvbyteafterwin += static_cast<std::uint32_t>(s.tlen);
        if (rcv_wnd == 0 && s.seq == tp->rcv_nxt) {
          tp->conn_flags |= TCPF_ACK_NOW;
          ++g_tcpstat.rcvwinprobe;
        } else {
          mbuf_free_chain(m);
          tp->conn_flags |= TCPF_ACK_NOW;
          tcp_output(tp, so);
          return;
        }
      } else {
        g_tcpstat.rcvbyteafterwin += static_cast<std::uint32_t>(todrop);
      }
      mbuf_trim(m, -todrop);
      s.tlen -= todrop > s.tlen ? s.tlen : todrop;
      s.flags &= ~(TH_PUSH | TH_FIN);
    }
    if ((to.opt_flags & OPTF_TSTAMP) && SEQ_LEQ(s.seq, tp->last_ack_sent) &&
        SEQ_LEQ(tp->last_ack_sent, s.seq + static_cast<std::uint32_t>(s.tlen) + ((s.flags & TH_FIN) ? 1 : 0))) {
      tp->ts_recent_age = stack_ticks();
      tp->ts_recent = to.opt_tsval;
    }
    // ---- SYN on a synchronised connection (RFC 5961): a challenge ACK ----
    if (s.flags & TH_SYN) {
      ++g_tcpstat.badsyn;
      mbuf_free_chain(m);
      challenge_ack(tp, so);
      return;
    }
    if (!(s.flags & TH_ACK)) {
      mbuf_free_chain(m);
      if (tp->conn_flags & TCPF_ACK_NOW) tcp_output(tp, so);
      return;
    }
  }

  // ---- ACK processing ----
  if (!skip_ack) {
    if (tp->conn_state == TCPS_SYN_RECEIVED) {
      if (SEQ_GT(tp->snd_una, s.ack) || SEQ_GT(s.ack, tp->snd_max)) {
        drop_with_reset(tp, s, m);
        return;
      }
      agree_window_scale(tp);
      tiwin = s.win << tp->snd_wnd_shift;
      established(tp, so);
      tp->snd_wl1 = s.seq - 1;
    }
    if (SEQ_LEQ(s.ack, tp->snd_una)) {
      if (s.tlen == 0 && tiwin == tp->snd_wnd && !(s.flags & TH_FIN)) {
        ++g_tcpstat.rcvdupack;
        if (!tcp_timer_active(tp, TT_REXMT) || s.ack != tp->snd_una) {
          tp->dup_ack_count = 0;
        } else if (++tp->dup_ack_count > 3) {
          tp->snd_cwnd += static_cast<std::uint32_t>(tp->snd_mss);
          tcp_output(tp, so);
          mbuf_free_chain(m);
          return;
        } else if (tp->dup_ack_count == 3) {
          if (SEQ_GT(s.ack, tp->rto_high_seq) || tp->rto_high_seq == tp->iss) {
            // Fast retransmit, then recovery with the window inflated by
            // the segments that have left the network.
            const std::uint32_t mss = static_cast<std::uint32_t>(tp->snd_mss);
            std::uint32_t win = (tp->snd_wnd < tp->snd_cwnd ? tp->snd_wnd : tp->snd_cwnd) / 2 / mss;
            if (win < 2) win = 2;
            tp->ssthresh = win * mss;
            tp->recover = tp->snd_max;
            tcp_timer_stop(tp, TT_REXMT);
            tp->rtt_start_tick = 0;
            const tcp_seq onxt = tp->snd_nxt;
            tp->snd_nxt = s.ack;
            tp->snd_cwnd = mss;
            tcp_output(tp, so);
            tp->snd_cwnd = tp->ssthresh + mss * tp->dup_ack_count;
            if (SEQ_GT(onxt, tp->snd_nxt)) tp->snd_nxt = onxt;
            mbuf_free_chain(m);
            return;
          }
          tp->dup_ack_count = 0;
        }
        // A duplicate of data already taken still owes its sender an ACK.
        mbuf_free_chain(m);
        if (tp->conn_flags & TCPF_ACK_NOW) tcp_output(tp, so);
        return;
      }
      tp->dup_ack_count = 0;
    } else {
      if (SEQ_GT(s.ack, tp->snd_max)) {
        ++g_tcpstat.rcvacktoomuch;
        mbuf_free_chain(m);
        tp->conn_flags |= TCPF_ACK_NOW;
        tcp_output(tp, so);
        return;
      }
      const std::uint32_t acked = s.ack - tp->snd_una;
      const std::uint32_t mss = static_cast<std::uint32_t>(tp->snd_mss);
      bool in_recovery = tp->dup_ack_count >= 3;
      if (in_recovery && SEQ_LT(s.ack, tp->recover)) {
        // A partial ACK: the next hole goes out at once (RFC 6582).
        const tcp_seq onxt = tp->snd_nxt;
        tcp_timer_stop(tp, TT_REXMT);
        tp->rtt_start_tick = 0;
        tp->snd_nxt = s.ack;
        tp->snd_cwnd = mss;
        tp->snd_una = s.ack;
        sbdrop(&so->so_snd, static_cast<int>(acked));
        tcp_output(tp, so);
        tp->snd_cwnd = tp->ssthresh > acked ? tp->ssthresh - acked + mss : mss;
        if (SEQ_GT(onxt, tp->snd_nxt)) tp->snd_nxt = onxt;
        ++g_tcpstat.rcvackpack;
        g_tcpstat.rcvackbyte += acked;
        wake_socket_writers(so);
        mbuf_free_chain(m);
        return;
      }
      if (in_recovery) {
        const std::uint32_t flight = tp->snd_max - s.ack + mss;
        tp->snd_cwnd = tp->ssthresh < flight ? tp->ssthresh : flight;
      }
      tp->dup_ack_count = 0;
      ++g_tcpstat.rcvackpack;
      g_tcpstat.rcvackbyte += acked;
      undo_bad_rexmit(tp);
      take_rtt(tp, to, s.ack);
      if (s.ack == tp->snd_max) {
        tcp_timer_stop(tp, TT_REXMT);
        needoutput = true;
      } else if (!tcp_timer_active(tp, TT_PERSIST)) {
        tcp_timer_arm(tp, TT_REXMT, tp->rto);
      }
      if (!in_recovery) {
        std::uint32_t incr = mss;
        if (tp->snd_cwnd > tp->ssthresh) incr = incr * incr / (tp->snd_cwnd != 0 ? tp->snd_cwnd : 1);
        const std::uint64_t grown = static_cast<std::uint64_t>(tp->snd_cwnd) + incr;
        const std::uint64_t cap = static_cast<std::uint64_t>(TCP_MAXWIN) << tp->snd_wnd_shift;
        tp->snd_cwnd = static_cast<std::uint32_t>(grown < cap ? grown : cap);
      }
      bool ourfinisacked = false;
      if (acked > so->so_snd.sb_cc) {
        tp->snd_wnd -= tp->snd_wnd > so->so_snd.sb_cc ? so->so_snd.sb_cc : tp->snd_wnd;
        sbdrop(&so->so_snd, static_cast<int>(so->so_snd.sb_cc));
        ourfinisacked = true;
      } else {
        sbdrop(&so->so_snd, static_cast<int>(acked));
        tp->snd_wnd -= tp->snd_wnd > acked ? acked : tp->snd_wnd;
      }
      wake_socket_writers(so);
      tp->snd_una = s.ack;
      if (SEQ_LT(tp->snd_nxt, tp->snd_una)) tp->snd_nxt = tp->snd_una;
      switch (tp->conn_state) {
        case TCPS_FIN_WAIT_1:
          if (ourfinisacked) {
            if (so->so_state & SS_CANTRCVMORE) {
              mark_socket_disconnected(so);
              tcp_timer_arm(tp, TT_2MSL, static_cast<std::int32_t>(tcp_tun.idle_limit));
            }
            tp->conn_state = TCPS_FIN_WAIT_2;
          }
          break;
        case TCPS_CLOSING:
          if (ourfinisacked) enter_time_wait(tp, so);
          break;
        case TCPS_LAST_ACK:
          if (ourfinisacked) {
            tcp_close_conn(tp);
            mbuf_free_chain(m);
            return;
          }
          break;
        case TCPS_TIME_WAIT:
          tcp_timer_arm(tp, TT_2MSL, static_cast<std::int32_t>(2 * tcp_tun.max_seg_lifetime));
          mbuf_free_chain(m);
          tp->conn_flags |= TCPF_ACK_NOW;
          tcp_output(tp, so);
          return;
        default:
          break;
      }
    }
  }

  // ---- Window update ----
  // RFC 9293: a segment no older than the last update sets the window,
  // which may also shrink it (a peer closing its window to zero).
  if ((s.flags & TH_ACK) && (SEQ_LT(tp->snd_wl1, s.seq) || (tp->snd_wl1 == s.seq && SEQ_LEQ(tp->snd_wl2, s.ack)))) {
    if (s.tlen == 0 && tp->snd_wl2 == s.ack && tiwin > tp->snd_wnd) ++g_tcpstat.rcvwinupd;
    tp->snd_wnd = tiwin;
    tp->snd_wl1 = s.seq;
    tp->snd_wl2 = s.ack;
    if (tp->snd_wnd > tp->max_snd_window) tp->max_snd_window = tp->snd_wnd;
    needoutput = true;
  }

  // ---- Urgent data ----
  if ((s.flags & TH_URG) && s.urp != 0 && !TCPS_HAVERCVDFIN(tp->conn_state)) {
    if (static_cast<std::uint64_t>(s.urp) + so->so_rcv.sb_cc > SB_MAX) {
      ++g_tcpstat.urgbad;  // a pointer that would carry the buffer past its limit
      s.urp = 0;
      s.flags &= ~TH_URG;
    } else {
      if (SEQ_GT(s.seq + s.urp, tp->rcv_up)) {
        tp->rcv_up = s.seq + s.urp;
        so->so_oobmark = static_cast<std::int32_t>(so->so_rcv.sb_cc + (tp->rcv_up - tp->rcv_nxt) - 1);
        if (so->so_oobmark == 0) so->so_state |= SS_RCVATMARK;
        tp->oob_flags &= ~(OOB_HAVE_BYTE | OOB_BYTE_TAKEN);
        wake_socket_readers(so);
      }
      // The urgent byte leaves the stream unless it is read in line; a
      // pointer past this segment's data marks a later byte.
      if (s.urp <= s.tlen && !(so->so_options & SO_OOBINLINE) && m != nullptr) {
        const int at = s.urp - 1;
        std::uint8_t byte = 0;
        m_copydata(m, at, 1, &byte);
        {
          tp->oob_byte = byte;
          tp->oob_flags |= OOB_HAVE_BYTE;
          // Splice the byte out: the rest follows the bytes before it.
          mbuf* tail = m_copym(m, at + 1, M_COPYALL, M_DONTWAIT);
          mbuf_trim(m, -(s.tlen - at));
          if (tail != nullptr) m = mbuf_join_chains(m, tail);
          if (m->m_flags & M_PKTHDR) m->mh.m_pkthdr.len = m_length(m);
          --s.tlen;
        }
      }
    }
  } else if (SEQ_GT(tp->rcv_nxt, tp->rcv_up)) {
    tp->rcv_up = tp->rcv_nxt;
  }

  // ---- Data and FIN ----
  std::uint8_t fin = s.flags & TH_FIN;
  if ((s.tlen > 0 || fin) && !TCPS_HAVERCVDFIN(tp->conn_state)) {
    if (s.seq == tp->rcv_nxt && tp->reass_queue == nullptr && tp->conn_state == TCPS_ESTABLISHED) {
      tp->conn_flags |= TCPF_ACK_NOW;
      tp->rcv_nxt += static_cast<std::uint32_t>(s.tlen);
      ++g_tcpstat.rcvpack;
      g_tcpstat.rcvbyte += static_cast<std::uint32_t>(s.tlen);
      deliver(so, s.tlen > 0 ? m : nullptr);
      if (s.tlen == 0) mbuf_free_chain(m);
      wake_socket_readers(so);
    } else {
      tp->conn_flags |= TCPF_ACK_NOW;
      fin = reassemble(tp, so, s.seq, s.tlen, fin != 0, s.tlen > 0 ? m : nullptr);
      if (s.tlen == 0) mbuf_free_chain(m);
    }
    m = nullptr;
  } else {
    mbuf_free_chain(m);
    m = nullptr;
    fin = 0;
  }
  if (fin) {
    if (!TCPS_HAVERCVDFIN(tp->conn_state)) {
      socantrcvmore(so);
      tp->conn_flags |= TCPF_ACK_NOW;
      ++tp->rcv_nxt;
    }
    switch (tp->conn_state) {
      case TCPS_SYN_RECEIVED:
      case TCPS_ESTABLISHED:
        tp->conn_state = TCPS_CLOSE_WAIT;
        break;
      case TCPS_FIN_WAIT_1:
        tp->conn_state = TCPS_CLOSING;
        break;
      case TCPS_FIN_WAIT_2:
        enter_time_wait(tp, so);
        break;
      case TCPS_TIME_WAIT:
        tcp_timer_arm(tp, TT_2MSL, static_cast<std::int32_t>(2 * tcp_tun.max_seg_lifetime));
        break;
      default:
        break;
    }
  }
  if (needoutput || (tp->conn_flags & TCPF_ACK_NOW)) tcp_output(tp, so);
}

}  // namespace zektcp
