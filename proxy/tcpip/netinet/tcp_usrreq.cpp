// TCP's user requests: the table through which the socket layer drives a
// TCP socket (attach, bind, listen, connect, accept, send, receive, urgent
// data, shutdown, disconnect, abort, detach), the active open, the user's
// close and the TCP socket options.
#include <cstring>

#include "proxy/tcpip/netinet/tcp_var.h"

namespace zektcp {

namespace {

bool multicast(const sockaddr* nam) {
  if (nam == nullptr || nam->sa_family != AF_INET) return false;
  return IN_MULTICAST(ntohl(reinterpret_cast<const sockaddr_in*>(nam)->sin_addr.s_addr));
}

int tcp_attach(socket* so, int, process*) {
  if (sotoinpcb(so) != nullptr) return BSD_EISCONN;
  if (so->so_snd.sb_hiwat == 0 || so->so_rcv.sb_hiwat == 0) {
    const int error = reserve_socket_buffers(so, tcp_tun.send_reserve, tcp_tun.recv_reserve);
    if (error != 0) return error;
  }
  const int error = inpcb_alloc(so, &tcbinfo);
  if (error != 0) return error;
  inpcb* inp = sotoinpcb(so);
  inp->inp_vflag |= INP_IPV4;
  tcp_ctl_block* tp = tcp_create_cb(inp);
  tp->conn_state = TCPS_CLOSED;
  if ((so->so_options & SO_LINGER) && so->so_linger == 0) so->so_linger = 120;
  return 0;
}

int tcp_detach(socket* so) {
  inpcb* inp = sotoinpcb(so);
  if (inp == nullptr) return BSD_EINVAL;
  tcp_ctl_block* tp = intotcpcb(inp);
  if (tp == nullptr) {
    inpcb_free(inp);
    return 0;
  }
  tcp_start_disconnect(tp);
  return 0;
}

int tcp_bind(socket* so, sockaddr* nam, process* p) {
  inpcb* inp = sotoinpcb(so);
  if (inp == nullptr) return BSD_EINVAL;
  if (multicast(nam)) return BSD_EAFNOSUPPORT;
  return inpcb_bind(inp, nam, p != nullptr ? p->p_ucred : nullptr);
}

int tcp_listen(socket* so, process* p) {
  inpcb* inp = sotoinpcb(so);
  if (inp == nullptr || intotcpcb(inp) == nullptr) return BSD_EINVAL;
  tcp_ctl_block* tp = intotcpcb(inp);
  if (tp->conn_state > TCPS_LISTEN) return BSD_EINVAL;
  if (inp->inp_lport == 0) {
    const int error = inpcb_bind(inp, nullptr, p != nullptr ? p->p_ucred : nullptr);
    if (error != 0) return error;
  }
  tp->conn_state = TCPS_LISTEN;
  return 0;
}

int tcp_connect(socket* so, sockaddr* nam, process* p) {
  inpcb* inp = sotoinpcb(so);
  if (inp == nullptr || intotcpcb(inp) == nullptr) return BSD_EINVAL;
  if (multicast(nam)) return BSD_EAFNOSUPPORT;
  tcp_ctl_block* tp = intotcpcb(inp);
  if (tp->conn_state != TCPS_CLOSED) return tp->conn_state == TCPS_LISTEN ? BSD_EOPNOTSUPP : BSD_EISCONN;
  const int error = tcp_active_open(tp, nam, p);
  if (error != 0) return error;
  return tcp_output(tp, so);
}

int tcp_disconnect(socket* so) {
  inpcb* inp = sotoinpcb(so);
  if (inp == nullptr || intotcpcb(inp) == nullptr) return BSD_EINVAL;
  tcp_ctl_block* tp = intotcpcb(inp);
  if (tcp_offloaded(tp)) {
    if (so->so_offload_qp != nullptr) tcp_close_conn(tp);
    return 0;
  }
  tcp_start_disconnect(tp);
  return 0;
}

int tcp_accept(socket* so, sockaddr** nam) {
  // A connection that went before it was accepted (reset, dropped) leaves
  // a socket that cannot send or receive and is not connected.
  constexpr std::int16_t kGone = SS_CANTRCVMORE | SS_CANTSENDMORE;
  if (sotoinpcb(so) == nullptr || ((so->so_state & kGone) == kGone && !(so->so_state & SS_ISCONNECTED))) {
    return BSD_ECONNABORTED;
  }
  return inpcb_peer_sockaddr(so, nam);
}

int tcp_shutdown(socket* so) {
  inpcb* inp = sotoinpcb(so);
  if (inp == nullptr || intotcpcb(inp) == nullptr) return BSD_EINVAL;
  socantsendmore(so);
  tcp_ctl_block* tp = tcp_close_by_user(intotcpcb(inp));
  if (tp != nullptr) return tcp_output(tp, so);
  return 0;
}

int tcp_rcvd(socket* so, int) {
  tcp_ctl_block* tp = sototcpcb(so);
  if (tp == nullptr) return BSD_EINVAL;
  return tcp_output(tp, so);
}

// A send on a socket not yet connected opens the connection (an implied
// connect); the data waits in the send buffer for the handshake.
int implied_open(tcp_ctl_block* tp, sockaddr* nam, process* p) {
  if (nam == nullptr || tp->conn_state >= TCPS_SYN_SENT) return 0;
  const int error = tcp_active_open(tp, nam, p);
  if (error != 0) return error;
  tp->snd_wnd = 4096;
  tcp_set_mss(tp, -1);
  return 0;
}

int tcp_send(socket* so, int flags, mbuf* m, sockaddr* nam, mbuf* control, process* p) {
  tcp_ctl_block* tp = sototcpcb(so);
  if (tp == nullptr) {
    mbuf_free_chain(m);
    mbuf_free_chain(control);
    return BSD_ECONNRESET;
  }
  if (control != nullptr) {
    const bool data = control->m_len > 0;
    mbuf_free_chain(control);
    if (data) {
      mbuf_free_chain(m);
      return BSD_EINVAL;
    }
  }
  if (flags & PRUS_OOB) {
    if (sbspace(&so->so_snd) < -512) {
      mbuf_free_chain(m);
      return BSD_ENOBUFS;
    }
    append_to_socket_buffer(&so->so_snd, m);
    const int error = implied_open(tp, nam, p);
    if (error != 0) return error;
    tp->snd_up = tp->snd_una + so->so_snd.sb_cc;
    tp->force_send = 1;
    const int out = tcp_output(tp, so);
    tp->force_send = 0;
    return out;
  }
  append_to_socket_buffer(&so->so_snd, m);
  const int error = implied_open(tp, nam, p);
  if (error != 0) return error;
  if (flags & PRUS_EOF) {
    socantsendmore(so);
    tp = tcp_close_by_user(tp);
    if (tp == nullptr) return 0;
  }
  if (flags & PRUS_MORETOCOME) tp->conn_flags |= TCPF_MORE_DATA;
  const int out = tcp_output(tp, so);
  tp->conn_flags &= ~TCPF_MORE_DATA;
  return out;
}

int tcp_abort(socket* so) {
  tcp_ctl_block* tp = sototcpcb(so);
  if (tp == nullptr) return BSD_EINVAL;
  tcp_drop_conn(tp, BSD_ECONNABORTED);
  return 0;
}

int tcp_rcvoob(socket* so, mbuf* m, int flags) {
  tcp_ctl_block* tp = sototcpcb(so);
  if (tp == nullptr) return BSD_EINVAL;
  if ((so->so_oobmark == 0 && !(so->so_state & SS_RCVATMARK)) || (so->so_options & SO_OOBINLINE) ||
      (tp->oob_flags & OOB_BYTE_TAKEN)) {
    return BSD_EINVAL;
  }
  if (!(tp->oob_flags & OOB_HAVE_BYTE)) return BSD_EWOULDBLOCK;
  m->m_len = 1;
  *mtod<std::uint8_t>(m) = tp->oob_byte;
  if (!(flags & MSG_PEEK)) tp->oob_flags ^= (OOB_HAVE_BYTE | OOB_BYTE_TAKEN);
  return 0;
}

int tcp_control(socket* so, std::uint32_t cmd, void* data, ifnet* ifp, process* p) {
  return in_control(so, cmd, data, ifp, p);
}

int tcp_sense(socket*, void*) { return 0; }

int tcp_poll(socket* so, int events, ucred* cred, process*) { return poll_socket(so, events, cred, nullptr); }

}  // namespace

user_req_table tcp_usrreqs = {
    tcp_abort,         tcp_accept, tcp_attach,     tcp_bind,     tcp_connect,          nullptr,
    tcp_control,       tcp_detach, tcp_disconnect, tcp_listen,   inpcb_peer_sockaddr,  tcp_rcvd,
    tcp_rcvoob,        tcp_send,   tcp_sense,      tcp_shutdown, inpcb_local_sockaddr, send_on_socket,
    receive_on_socket, tcp_poll,
};

int tcp_active_open(tcp_ctl_block* tp, sockaddr* nam, process* p) {
  inpcb* inp = tp->owning_inpcb;
  socket* so = inp->inp_socket;
  ucred* cred = p != nullptr ? p->p_ucred : nullptr;
  if (inp->inp_lport == 0) {
    const int error = inpcb_bind(inp, nullptr, cred);
    if (error != 0) return error;
  }
  if (nam == nullptr || nam->sa_len != sizeof(sockaddr_in)) return BSD_EINVAL;
  const auto* sin = reinterpret_cast<const sockaddr_in*>(nam);
  if (sin->sin_family != AF_INET) return BSD_EAFNOSUPPORT;
  if (sin->sin_port == 0) return BSD_EADDRNOTAVAIL;
  std::uint32_t laddr = 0;
  int error = inpcb_pick_local_addr(inp, nam, &laddr);
  if (error != 0) return error;
  const std::uint32_t use_laddr = inp_laddr(inp).s_addr != INADDR_ANY ? inp_laddr(inp).s_addr : laddr;
  if (inpcb_lookup(&tcbinfo, sin->sin_addr.s_addr, sin->sin_port, use_laddr, inp->inp_lport, false, nullptr) !=
      nullptr) {
    return BSD_EADDRINUSE;
  }
  if (inp_laddr(inp).s_addr == INADDR_ANY) inp_laddr(inp).s_addr = laddr;
  inp_faddr(inp) = sin->sin_addr;
  inp->inp_fport = sin->sin_port;
  inpcb_rehash(inp);
  while (tp->req_rcv_shift < TCP_MAX_WINSHIFT &&
         (static_cast<std::uint32_t>(TCP_MAXWIN) << tp->req_rcv_shift) < so->so_rcv.sb_hiwat) {
    ++tp->req_rcv_shift;
  }
  mark_socket_connecting(so);
  ++g_tcpstat.connattempt;
  tp->conn_state = TCPS_SYN_SENT;
  tcp_timer_arm(tp, TT_KEEP, static_cast<std::int32_t>(tcp_tun.connect_timeout));
  tp->iss = tcp_make_isn(inp);
  tp->snd_una = tp->snd_nxt = tp->snd_max = tp->snd_up = tp->recover = tp->rto_high_seq = tp->bw_seq = tp->iss;
  (void)error;
  return 0;
}

tcp_ctl_block* tcp_start_disconnect(tcp_ctl_block* tp) {
  socket* so = tp_socket(tp);
  if (tp->conn_state < TCPS_ESTABLISHED) return tcp_close_conn(tp);
  if ((so->so_options & SO_LINGER) && so->so_linger == 0) return tcp_drop_conn(tp, 0);
  mark_socket_disconnecting(so);
  sbflush(&so->so_rcv);
  tp = tcp_close_by_user(tp);
  if (tp != nullptr) tcp_output(tp, so);
  return tp;
}

tcp_ctl_block* tcp_close_by_user(tcp_ctl_block* tp) {
  switch (tp->conn_state) {
    case TCPS_CLOSED:
    case TCPS_LISTEN:
      tp->conn_state = TCPS_CLOSED;
      return tcp_close_conn(tp);
    case TCPS_SYN_SENT:
    case TCPS_SYN_RECEIVED:
      tp->conn_flags |= TCPF_SEND_FIN;
      break;
    case TCPS_ESTABLISHED:
      tp->conn_state = TCPS_FIN_WAIT_1;
      break;
    case TCPS_CLOSE_WAIT:
      tp->conn_state = TCPS_LAST_ACK;
      break;
    default:
      break;
  }
  if (tp->conn_state >= TCPS_FIN_WAIT_2) {
    mark_socket_disconnected(tp_socket(tp));
    if (tp->conn_state == TCPS_FIN_WAIT_2) tcp_timer_arm(tp, TT_2MSL, static_cast<std::int32_t>(tcp_tun.idle_limit));
  }
  return tp;
}

int tcp_sockopt(socket* so, sockopt* opt) {
  inpcb* inp = sotoinpcb(so);
  if (inp == nullptr) return BSD_ECONNRESET;
  if (opt->sopt_level != IPPROTO_TCP) return ip_sockopt(so, opt);
  tcp_ctl_block* tp = intotcpcb(inp);
  if (tp == nullptr) return BSD_ECONNRESET;
  if (opt->sopt_dir != SOPT_GET && opt->sopt_dir != SOPT_SET) return 0;
  std::uint32_t flag = 0;
  switch (opt->sopt_name) {
    case TCP_NODELAY:
      flag = TCPF_NO_DELAY;
      break;
    case TCP_HOLD_PUSH:
      flag = TCPF_NO_PUSH;
      break;
    case TCP_NO_OPTIONS:
      flag = TCPF_NO_OPTIONS;
      break;
    case TCP_MAXSEG:
      break;
    default:
      return BSD_ENOPROTOOPT;
  }
  if (opt->sopt_val == nullptr || opt->sopt_valsize < sizeof(std::int32_t)) return BSD_EINVAL;
  std::int32_t value = 0;
  if (opt->sopt_dir == SOPT_GET) {
    value = flag != 0 ? ((tp->conn_flags & flag) != 0 ? 1 : 0) : tp->snd_mss;
    std::memcpy(opt->sopt_val, &value, sizeof(value));
    opt->sopt_valsize = sizeof(value);
    return 0;
  }
  std::memcpy(&value, opt->sopt_val, sizeof(value));
  if (flag == 0) {
    if (value <= 0 || value > tp->snd_mss) return BSD_EINVAL;
    tp->snd_mss = value;
    return 0;
  }
  if (value != 0) {
    tp->conn_flags |= flag;
  } else {
    tp->conn_flags &= ~flag;
    if (flag == TCPF_NO_PUSH) tcp_output(tp, so);
  }
  return 0;
}

}  // namespace zektcp
