// The five timers of a TCP connection: retransmission (RFC 6298 with the
// stack's back-off tables), persist (zero-window probes), keepalive (also
// the connection-establishment limit), 2MSL (TIME-WAIT and the FIN-WAIT-2
// idle limit) and delayed ACK. Each runs from the clock with the
// socket-call lock held, and leaves an offloaded connection alone.
#include "proxy/tcpip/netinet/tcp_var.h"

namespace zektcp {

namespace {

callout* timer_of(const tcp_ctl_block* tp, TcpTimer which) {
  switch (which) {
    case TT_REXMT:
      return tp->retransmit_timer;
    case TT_PERSIST:
      return tp->persist_timer;
    case TT_KEEP:
      return tp->keepalive_timer;
    case TT_2MSL:
      return tp->two_msl_timer;
    case TT_DELACK:
      return tp->delayed_ack_timer;
  }
  return nullptr;
}

constexpr callout_handler kHandlers[5] = {tcp_timer_rexmt, tcp_timer_persist, tcp_timer_keep, tcp_timer_2msl,
                                          tcp_timer_delack};

// The checks every timer makes first: a live, stack-owned connection whose
// callout was not re-armed or stopped while this call was on its way.
tcp_ctl_block* timer_entry(void* arg, TcpTimer which) {
  auto* tp = static_cast<tcp_ctl_block*>(arg);
  if (tp == nullptr || tcp_offloaded(tp)) return nullptr;
  callout* c = timer_of(tp, which);
  if (callout_pending(c) || !(c->c_flags & CALLOUT_ACTIVE)) return nullptr;
  c->c_flags &= ~CALLOUT_ACTIVE;
  return tp;
}

std::uint32_t idle_ticks(const tcp_ctl_block* tp) { return stack_ticks() - tp->last_rcv_tick; }

}  // namespace

// A connection's timers are armed, stopped and run only under the
// socket-call lock, so a timer due at the tick asked for already, or one
// neither pending nor active, is left as it is without the callout lock:
// the keepalive and retransmission timers are re-armed, and the delayed-ACK
// timer stopped, for nearly every segment.
void tcp_timer_arm(tcp_ctl_block* tp, TcpTimer which, std::int32_t ticks) {
  if (ticks < 1) ticks = 1;
  callout* c = timer_of(tp, which);
  if (callout_due_after(c, ticks, kHandlers[which], tp)) return;
  callout_arm(c, ticks, kHandlers[which], tp);
}

void tcp_timer_stop(tcp_ctl_block* tp, TcpTimer which) {
  callout* c = timer_of(tp, which);
  if (c != nullptr && (c->c_flags & (CALLOUT_PENDING | CALLOUT_ACTIVE)) != 0) callout_disarm(c);
}

bool tcp_timer_active(const tcp_ctl_block* tp, TcpTimer which) { return callout_pending(timer_of(tp, which)); }

void tcp_timer_delack(void* arg) {
  tcp_ctl_block* tp = timer_entry(arg, TT_DELACK);
  if (tp == nullptr) return;
  tp->conn_flags |= TCPF_ACK_NOW;
  ++g_tcpstat.delack;
  tcp_output(tp, tp_socket(tp));
}

void tcp_timer_2msl(void* arg) {
  tcp_ctl_block* tp = timer_entry(arg, TT_2MSL);
  if (tp == nullptr) return;
  if (tp->conn_state != TCPS_TIME_WAIT && idle_ticks(tp) <= tcp_tun.idle_limit) {
    tcp_timer_arm(tp, TT_2MSL, static_cast<std::int32_t>(tcp_tun.keepalive_interval));
    return;
  }
  tcp_close_conn(tp);
}

void tcp_timer_keep(void* arg) {
  tcp_ctl_block* tp = timer_entry(arg, TT_KEEP);
  if (tp == nullptr) return;
  ++g_tcpstat.keeptimeo;
  if (tp->conn_state < TCPS_ESTABLISHED) {
    ++g_tcpstat.keepdrops;
    tcp_drop_conn(tp, BSD_ETIMEDOUT);
    return;
  }
  if (tp->conn_state <= TCPS_CLOSING) {
    if (idle_ticks(tp) >= tcp_tun.keepalive_idle + tcp_tun.idle_limit) {
      ++g_tcpstat.keepdrops;
      tcp_drop_conn(tp, BSD_ETIMEDOUT);
      return;
    }
    // The probe: one byte below what the peer has acknowledged, so that it
    // answers with an ACK.
    ++g_tcpstat.keepprobe;
    tcpiphdr hdr;
    tcp_build_template(tp, &hdr.ti_i, &hdr.ti_t);
    tcp_send_control(tp, &hdr, nullptr, tp->rcv_nxt, tp->snd_una - 1, TH_ACK);
    tcp_timer_arm(tp, TT_KEEP, static_cast<std::int32_t>(tcp_tun.keepalive_interval));
    return;
  }
  tcp_timer_arm(tp, TT_KEEP, static_cast<std::int32_t>(tcp_tun.keepalive_idle));
}

void tcp_timer_persist(void* arg) {
  tcp_ctl_block* tp = timer_entry(arg, TT_PERSIST);
  if (tp == nullptr) return;
  ++g_tcpstat.persisttimeo;
  if (tp->backoff_shift == TCP_MAX_BACKOFF_SHIFT &&
      (idle_ticks(tp) >= tcp_tun.persist_idle_limit ||
       idle_ticks(tp) >= TCP_RTO_MULT_SUM * static_cast<std::uint32_t>(tcp_rexmt_value(tp)))) {
    ++g_tcpstat.persistdrop;
    tcp_drop_conn(tp, BSD_ETIMEDOUT);
    return;
  }
  tcp_setpersist(tp);
  tp->force_send = 1;
  tcp_output(tp, tp_socket(tp));
  tp->force_send = 0;
}

void tcp_timer_rexmt(void* arg) {
  tcp_ctl_block* tp = timer_entry(arg, TT_REXMT);
  if (tp == nullptr || tp->owning_inpcb == nullptr) return;
  if (++tp->backoff_shift > TCP_MAX_BACKOFF_SHIFT) {
    tp->backoff_shift = TCP_MAX_BACKOFF_SHIFT;
    ++g_tcpstat.timeoutdrop;
    tcp_drop_conn(tp, tp->soft_error != 0 ? tp->soft_error : BSD_ETIMEDOUT);
    return;
  }
  if (tp->backoff_shift == 1) {
    tp->saved_cwnd = tp->snd_cwnd;
    tp->saved_ssthresh = tp->ssthresh;
    tp->saved_rto_high_seq = tp->rto_high_seq;
    tp->bad_rexmit_deadline = stack_ticks() + static_cast<std::uint32_t>(tp->srtt >> 6);
  }
  ++g_tcpstat.rexmttimeo;
  ++tp->rto_count;
  const std::uint32_t* mult = tp->conn_state == TCPS_SYN_SENT ? tcp_syn_rto_mult : tcp_rto_mult;
  std::int64_t rto = static_cast<std::int64_t>(tcp_tun.rto_margin) +
                     static_cast<std::int64_t>(mult[tp->backoff_shift]) * tcp_rexmt_value(tp);
  const std::int64_t max_rto = static_cast<std::int64_t>(TCP_MAX_RTO_SECONDS) * tick_rate();
  if (rto < tp->min_rto) rto = tp->min_rto;
  if (rto > max_rto) rto = max_rto;
  tp->rto = static_cast<std::int32_t>(rto);
  // A SYN that goes unanswered three times goes on without options, for
  // peers that drop what they do not understand.
  if (tp->conn_state == TCPS_SYN_SENT && tp->backoff_shift == 3) {
    tp->conn_flags &= ~(TCPF_WANT_WSCALE | TCPF_WANT_TSTAMP | 0x2000u);
  }
  if (tp->backoff_shift > 3) {
    inpcb_route_losing(tp->owning_inpcb);
    tp->rttvar += tp->srtt >> 5;
    tp->srtt = 0;
  }
  tp->snd_nxt = tp->snd_una;
  tp->rto_high_seq = tp->snd_max;
  tp->conn_flags |= TCPF_ACK_NOW;
  tp->rtt_start_tick = 0;
  const std::uint32_t mss = static_cast<std::uint32_t>(tp->snd_mss);
  std::uint32_t win = (tp->snd_wnd < tp->snd_cwnd ? tp->snd_wnd : tp->snd_cwnd) / 2 / mss;
  if (win < 2) win = 2;
  tp->snd_cwnd = mss;
  tp->ssthresh = win * mss;
  tp->dup_ack_count = 0;
  tcp_output(tp, tp_socket(tp));
}

}  // namespace zektcp
