// TCP output: whether a connection has something to send (data, SYN, FIN,
// RST, a window update or an acknowledgement) under the congestion window,
// Nagle's rule and silly-window avoidance (RFC 9293, RFC 1122, RFC 5681),
// the segment with its options (MSS and window scale on a SYN, timestamps
// per RFC 7323), and the persist timer for a zero window.
#include <cstring>

#include "proxy/tcpip/netinet/tcp_var.h"

namespace zektcp {

const std::uint8_t tcp_state_out_flags[TCP_NSTATES] = {
    TH_RST | TH_ACK, 0,      TH_SYN, TH_SYN | TH_ACK, TH_ACK, TH_ACK, TH_FIN | TH_ACK, TH_FIN | TH_ACK,
    TH_FIN | TH_ACK, TH_ACK, TH_ACK,
};

namespace {

// The FIN went out once (this stack's own bit of the connection flags).
constexpr std::uint32_t kSentFin = 0x200;

bool local_destination(inpcb* inp) { return in_is_local_subnet(inp_faddr(inp).s_addr); }

int put_options(tcp_ctl_block* tp, std::uint8_t flags, std::uint8_t* opt) {
  int optlen = 0;
  const bool options_ok = !(tp->conn_flags & TCPF_NO_OPTIONS);
  if ((flags & TH_SYN) && options_ok) {
    const std::uint32_t mss = tcp_mss_to_offer(tp->owning_inpcb);
    opt[0] = TCPOPT_MAXSEG;
    opt[1] = TCPOLEN_MAXSEG;
    opt[2] = static_cast<std::uint8_t>(mss >> 8);
    opt[3] = static_cast<std::uint8_t>(mss);
    optlen = 4;
    if ((tp->conn_flags & TCPF_WANT_WSCALE) && (!(flags & TH_ACK) || (tp->conn_flags & TCPF_GOT_WSCALE))) {
      opt[optlen++] = TCPOPT_NOP;
      opt[optlen++] = TCPOPT_WINDOW;
      opt[optlen++] = TCPOLEN_WINDOW;
      opt[optlen++] = tp->req_rcv_shift;
    }
  }
  if ((tp->conn_flags & TCPF_WANT_TSTAMP) && options_ok && !(flags & TH_RST) &&
      (!(flags & TH_ACK) || (tp->conn_flags & TCPF_GOT_TSTAMP))) {
    opt[optlen++] = TCPOPT_NOP;
    opt[optlen++] = TCPOPT_NOP;
    opt[optlen++] = TCPOPT_TIMESTAMP;
    opt[optlen++] = TCPOLEN_TIMESTAMP;
    const std::uint32_t tsval = htonl(stack_ticks());
    const std::uint32_t tsecr = htonl(tp->ts_recent);
    std::memcpy(opt + optlen, &tsval, 4);
    std::memcpy(opt + optlen + 4, &tsecr, 4);
    optlen += 8;
  }
  return optlen;
}

}  // namespace

std::uint32_t tcp_mss_to_offer(inpcb* inp) {
  rtentry* rt = tcp_route_lookup(inp);
  if (rt == nullptr || rt->rt_ifp == nullptr) return 512;
  std::uint32_t mtu = rt->rt_rmx.rmx_mtu != 0 ? rt->rt_rmx.rmx_mtu : rt->rt_ifp->if_data.ifi_mtu;
  if (mtu > rt->rt_ifp->if_data.ifi_mtu && rt->rt_ifp->if_data.ifi_mtu != 0) mtu = rt->rt_ifp->if_data.ifi_mtu;
  if (mtu <= sizeof(tcpiphdr) + 64) return 512;
  const std::uint32_t mss = mtu - sizeof(tcpiphdr);
  return mss > 65535 ? 65535 : mss;
}

void tcp_setpersist(tcp_ctl_block* tp) {
  if (tcp_timer_active(tp, TT_REXMT)) {
    // The retransmission timer covers the connection already.
    OSPrimDebugPrint("tcp_setpersist: retransmit pending\n");
    return;
  }
  const std::int64_t hz = tick_rate();
  std::int64_t t = static_cast<std::int64_t>(tcp_tun.rto_margin) +
                   static_cast<std::int64_t>(((tp->srtt >> 2) + tp->rttvar) >> 1) * tcp_rto_mult[tp->backoff_shift];
  if (t < 5 * hz) t = 5 * hz;
  if (t > 60 * hz) t = 60 * hz;
  tcp_timer_arm(tp, TT_PERSIST, static_cast<std::int32_t>(t));
  if (tp->backoff_shift < TCP_MAX_BACKOFF_SHIFT) ++tp->backoff_shift;
}

int tcp_output(tcp_ctl_block* tp, socket* so) {
  if (tp == nullptr || tp->owning_inpcb == nullptr || tp->owning_inpcb->inp_socket == nullptr) {
    OSPrimDebugPrint("func[%s] Line[%d]: \n", "tcp_output", __LINE__);
    OSPrimDebugPrint("Func[%s] line[%d] \n", "tcp_output", __LINE__);
    return 0;
  }
  if (tcp_offloaded(tp)) return 0;
  inpcb* inp = tp->owning_inpcb;
  so = inp->inp_socket;
  const std::uint32_t mss = static_cast<std::uint32_t>(tp->snd_mss);

  bool idle = tp->snd_max == tp->snd_una || (tp->conn_flags & TCPF_WAS_IDLE);
  if (idle && stack_ticks() - tp->last_rcv_tick >= static_cast<std::uint32_t>(tp->rto)) {
    tp->snd_cwnd = local_destination(inp) ? 4 * mss : mss;
  }
  tp->conn_flags &= ~TCPF_WAS_IDLE;
  if (idle && (tp->conn_flags & TCPF_MORE_DATA)) tp->conn_flags |= TCPF_WAS_IDLE;

  for (;;) {
    bool sendalot = false;
    std::int32_t off = static_cast<std::int32_t>(tp->snd_nxt - tp->snd_una);
    std::uint32_t win = tp->snd_wnd;
    if (tp->snd_cwnd < win) win = tp->snd_cwnd;
    if (tp->bw_window < win) win = tp->bw_window;
    std::uint8_t flags = tcp_state_out_flags[tp->conn_state];
    if (tp->conn_flags & TCPF_SEND_SYN) flags |= TH_SYN;
    const std::int32_t cc = static_cast<std::int32_t>(so->so_snd.sb_cc);
    if (tp->force_send) {
      if (win == 0) {
        if (off < cc) flags &= ~TH_FIN;
        win = 1;
      } else {
        tcp_timer_stop(tp, TT_PERSIST);
        tp->backoff_shift = 0;
      }
    }
    std::int32_t len = static_cast<std::int32_t>(static_cast<std::uint32_t>(cc) < win ? cc : win) - off;
    if ((flags & TH_SYN) && SEQ_GT(tp->snd_nxt, tp->snd_una)) {
      flags &= ~TH_SYN;
      --off;
      ++len;
      if (len > 0 && tp->conn_state == TCPS_SYN_SENT) return 0;
    }
    if (flags & TH_SYN) {
      len = 0;
      flags &= ~TH_FIN;
    }
    if (len < 0) {
      len = 0;
      if (win == 0) {
        tcp_timer_stop(tp, TT_REXMT);
        tp->backoff_shift = 0;
        tp->snd_nxt = tp->snd_una;
        if (!tcp_timer_active(tp, TT_PERSIST)) tcp_setpersist(tp);
      }
    }
    if (static_cast<std::uint32_t>(len) > mss) {
      len = static_cast<std::int32_t>(mss);
      sendalot = true;
    }
    if (SEQ_LT(tp->snd_nxt + static_cast<std::uint32_t>(len), tp->snd_una + static_cast<std::uint32_t>(cc))) {
      flags &= ~TH_FIN;
    }
    std::int64_t recwin = sbspace(&so->so_rcv);
    if (recwin < 0) recwin = 0;
    const std::int64_t maxwin = static_cast<std::int64_t>(TCP_MAXWIN) << tp->rcv_wnd_shift;
    if (recwin > maxwin) recwin = maxwin;

    bool send = false;
    if (len > 0) {
      if (static_cast<std::uint32_t>(len) == mss) send = true;
      if ((idle || (tp->conn_flags & TCPF_NO_DELAY)) && !(tp->conn_flags & (TCPF_MORE_DATA | TCPF_NO_PUSH)) &&
          len + off >= cc) {
        send = true;
      }
      if (tp->force_send) send = true;
      if (tp->max_snd_window > 0 && static_cast<std::uint32_t>(len) >= tp->max_snd_window / 2) send = true;
      if (SEQ_LT(tp->snd_nxt, tp->snd_max)) send = true;
    }
    if (!send && recwin > 0 && TCPS_HAVERCVDSYN(tp->conn_state)) {
      const std::int64_t adv = recwin - static_cast<std::int32_t>(tp->rcv_right_edge - tp->rcv_nxt);
      if (adv >= 2 * static_cast<std::int64_t>(mss)) send = true;
      if (2 * adv >= static_cast<std::int64_t>(so->so_rcv.sb_hiwat)) send = true;
    }
    if (tp->conn_flags & TCPF_ACK_NOW) send = true;
    if (flags & (TH_SYN | TH_RST)) send = true;
    if (SEQ_GT(tp->snd_up, tp->snd_una)) send = true;
    if ((flags & TH_FIN) && (!(tp->conn_flags & kSentFin) || tp->snd_nxt == tp->snd_una)) send = true;
    if (!send) {
      if (cc > 0 && !tcp_timer_active(tp, TT_REXMT) && !tcp_timer_active(tp, TT_PERSIST)) {
        tp->backoff_shift = 0;
        tcp_setpersist(tp);
      }
      return 0;
    }

    // ---- Build the segment ----
    std::uint8_t opt[TCP_MAXOLEN];
    if (flags & TH_SYN) tp->snd_nxt = tp->iss;
    const int optlen = put_options(tp, flags, opt);
    const int ipoptlen = inp->inp_options != nullptr ? inp->inp_options->m_len - 4 : 0;
    const std::int32_t room = static_cast<std::int32_t>(tp->mss_with_opts) - optlen - (ipoptlen > 0 ? ipoptlen : 0);
    if (len > room) {
      len = room > 0 ? room : 0;
      flags &= ~TH_FIN;
      sendalot = true;
    }
    const int hdrlen = static_cast<int>(sizeof(tcpiphdr)) + optlen;
    if (largest_link_header + hdrlen > MHLEN) panic("tcphdr too big");
    mbuf* m = nullptr;
    {
      // The header mbuf and the copy of the data under one hold of the
      // network lock.
      NetLockScope mbuf_lock;
      if (GetMBufHdr(&m, M_DONTWAIT, MT_HEADER) != 0 || m == nullptr) return BSD_ENOBUFS;
      m->m_data += largest_link_header;
      if (len > 0) {
        if (SEQ_LT(tp->snd_nxt, tp->snd_max) && !tp->force_send) {
          ++g_tcpstat.sndrexmitpack;
          g_tcpstat.sndrexmitbyte += static_cast<std::uint32_t>(len);
        } else if (tp->force_send && len == 1 && tp->snd_wnd == 0) {
          ++g_tcpstat.sndprobe;
        } else {
          ++g_tcpstat.sndpack;
          g_tcpstat.sndbyte += static_cast<std::uint32_t>(len);
        }
        if (len <= MHLEN - largest_link_header - hdrlen) {
          m_copydata(so->so_snd.sb_mb, off, len, m->m_data + hdrlen);
          m->m_len = hdrlen + len;
        } else {
          m->m_len = hdrlen;
          m->m_next = m_copym(so->so_snd.sb_mb, off, len, M_DONTWAIT);
          if (m->m_next == nullptr) {
            mbuf_free_chain(m);
            return BSD_ENOBUFS;
          }
        }
        if (off + len == cc) flags |= TH_PUSH;
      } else {
        if (tp->conn_flags & TCPF_ACK_NOW) {
          ++g_tcpstat.sndacks;
        } else if (flags & (TH_SYN | TH_FIN | TH_RST)) {
          ++g_tcpstat.sndctrl;
        } else if (SEQ_GT(tp->snd_up, tp->snd_una)) {
          ++g_tcpstat.sndurg;
        } else {
          ++g_tcpstat.sndwinup;
        }
        m->m_len = hdrlen;
      }
    }
    m->mh.m_pkthdr.len = hdrlen + len;
    m->mh.m_pkthdr.rcvif = nullptr;
    auto* ti = mtod<tcpiphdr>(m);
    tcp_build_template(tp, &ti->ti_i, &ti->ti_t);
    if (optlen > 0) std::memcpy(m->m_data + sizeof(tcpiphdr), opt, static_cast<std::size_t>(optlen));
    // A FIN sent again takes the sequence number it had.
    if ((flags & TH_FIN) && (tp->conn_flags & kSentFin) && tp->snd_nxt == tp->snd_max) --tp->snd_nxt;
    const bool timing_seq = len > 0 || (flags & (TH_SYN | TH_FIN)) || tcp_timer_active(tp, TT_PERSIST);
    ti->ti_t.th_seq = htonl(timing_seq ? tp->snd_nxt : tp->snd_max);
    ti->ti_t.th_ack = htonl(tp->rcv_nxt);
    ti->ti_t.th_x2off = static_cast<std::uint8_t>(((sizeof(tcphdr) + optlen) / 4) << 4);
    // The window never shrinks below what was advertised; a SYN's is never scaled.
    if (recwin < static_cast<std::int32_t>(tp->rcv_right_edge - tp->rcv_nxt)) {
      recwin = static_cast<std::int32_t>(tp->rcv_right_edge - tp->rcv_nxt);
    }
    std::uint32_t wfield;
    if (flags & TH_SYN) {
      wfield = static_cast<std::uint32_t>(recwin > TCP_MAXWIN ? TCP_MAXWIN : recwin);
    } else {
      wfield = static_cast<std::uint32_t>(recwin >> tp->rcv_wnd_shift);
      if (wfield > TCP_MAXWIN) wfield = TCP_MAXWIN;
    }
    ti->ti_t.th_win = htons(static_cast<std::uint16_t>(wfield));
    if (SEQ_GT(tp->snd_up, tp->snd_nxt)) {
      const std::uint32_t urp = tp->snd_up - tp->snd_nxt;
      ti->ti_t.th_urp = htons(static_cast<std::uint16_t>(urp > 65535 ? 65535 : urp));
      flags |= TH_URG;
    } else {
      tp->snd_up = tp->snd_una;  // drags along, so no urgent pointer wraps
    }
    ti->ti_t.th_flags = flags;
    const std::uint32_t tcplen = static_cast<std::uint32_t>(hdrlen - static_cast<int>(sizeof(ip)) + len);
    ti->ti_t.th_sum = in_pseudo(ti->ti_i.ip_src.s_addr, ti->ti_i.ip_dst.s_addr, htonl(tcplen + IPPROTO_TCP));
    m->mh.m_pkthdr.csum_flags = CSUM_TCP;
    m->mh.m_pkthdr.csum_data = static_cast<std::int32_t>(offsetof(tcphdr, th_sum));

    // ---- Sequence bookkeeping ----
    if (!tp->force_send || !tcp_timer_active(tp, TT_PERSIST)) {
      const tcp_seq startseq = tp->snd_nxt;
      if (flags & TH_SYN) ++tp->snd_nxt;
      if (flags & TH_FIN) {
        ++tp->snd_nxt;
        tp->conn_flags |= kSentFin;
      }
      tp->snd_nxt += static_cast<std::uint32_t>(len);
      if (SEQ_GT(tp->snd_nxt, tp->snd_max)) {
        tp->snd_max = tp->snd_nxt;
        if (tp->rtt_start_tick == 0) {
          const std::uint32_t now = stack_ticks();
          tp->rtt_start_tick = now != 0 ? now : 1;
          tp->rtt_seq = startseq;
          ++g_tcpstat.segstimed;
        }
      }
      if (!tcp_timer_active(tp, TT_REXMT) && tp->snd_nxt != tp->snd_una) {
        if (tcp_timer_active(tp, TT_PERSIST)) {
          tcp_timer_stop(tp, TT_PERSIST);
          tp->backoff_shift = 0;
        }
        tcp_timer_arm(tp, TT_REXMT, tp->rto);
      }
    } else if (SEQ_GT(tp->snd_nxt + static_cast<std::uint32_t>(len), tp->snd_max)) {
      tp->snd_max = tp->snd_nxt + static_cast<std::uint32_t>(len);
    }

    ti->ti_i.ip_len = static_cast<std::uint16_t>(m->mh.m_pkthdr.len);
    ti->ti_i.ip_ttl = inp->inp_ip_ttl;
    ti->ti_i.ip_tos = inp->inp_ip_tos;
    ++g_tcpstat.sndtotal;
    const int error = ip_output(m, inp->inp_options, &inp->inp_route, so->so_options & SO_DONTROUTE, nullptr);
    if (error != 0) {
      if (error == BSD_ENOBUFS) {
        tcp_quench(inp, 0);
        return 0;
      }
      if (error == BSD_EMSGSIZE) {
        tcp_mtudisc(inp, 0);
        return 0;
      }
      if ((error == BSD_EHOSTDOWN || error == BSD_EHOSTUNREACH || error == BSD_ENETDOWN || error == BSD_ENETUNREACH) &&
          TCPS_HAVERCVDSYN(tp->conn_state)) {
        tp->soft_error = error;
        return 0;
      }
      return error;
    }
    const std::uint32_t advertised = (flags & TH_SYN) ? wfield : wfield << tp->rcv_wnd_shift;
    if (advertised > 0 && SEQ_GT(tp->rcv_nxt + advertised, tp->rcv_right_edge)) {
      tp->rcv_right_edge = tp->rcv_nxt + advertised;
    }
    tp->last_ack_sent = tp->rcv_nxt;
    tp->conn_flags &= ~(TCPF_ACK_NOW | TCPF_DELACK);
    tcp_timer_stop(tp, TT_DELACK);
    if (advertised == 0) {
      tp->conn_flags |= TCPF_ZERO_WND_SENT;
    } else {
      tp->conn_flags &= ~TCPF_ZERO_WND_SENT;
    }
    if (!sendalot) return 0;
  }
}

}  // namespace zektcp
