// The generic raw-socket layer: control blocks keyed by family and
// protocol, fan-out input, and the user requests the routing socket uses.
#include <cstring>

#include "proxy/tcpip/net/rtsock.h"

namespace zektcp {

namespace {

raw_cb* g_rawcb;

sockaddr* copy_addr(const sockaddr* sa) {
  auto* copy = static_cast<sockaddr*>(OSPrimMemAllocPtr(sa->sa_len > 0 ? sa->sa_len : 1));
  if (copy != nullptr) std::memcpy(copy, sa, sa->sa_len);
  return copy;
}

int raw_abort(socket* so) {
  raw_cb* rp = sotorawcb(so);
  if (rp == nullptr) return BSD_EINVAL;
  mark_socket_disconnected(so);
  // The protocol's own detach keeps its books (the routing socket counts
  // its listeners); the socket may go with it.
  if (so->so_proto != nullptr && so->so_proto->pr_usrreqs != nullptr &&
      so->so_proto->pr_usrreqs->pru_detach != nullptr) {
    so->so_proto->pr_usrreqs->pru_detach(so);
  } else {
    rawsock_detach(rp);
  }
  return 0;
}

int raw_attach(socket* so, int proto, process*) {
  if (sotorawcb(so) == nullptr) return BSD_EINVAL;
  return rawsock_attach(so, proto);
}

int raw_bind(socket*, sockaddr*, process*) { return BSD_EINVAL; }
int raw_connect(socket*, sockaddr*, process*) { return BSD_EINVAL; }

int raw_detach(socket* so) {
  raw_cb* rp = sotorawcb(so);
  if (rp == nullptr) return BSD_EINVAL;
  rawsock_detach(rp);
  return 0;
}

int raw_disconnect(socket* so) {
  if (sotorawcb(so) == nullptr) return BSD_EINVAL;
  if (!(so->so_state & SS_ISCONNECTED)) return BSD_ENOTCONN;
  return raw_abort(so);
}

int raw_peeraddr(socket* so, sockaddr** nam) {
  raw_cb* rp = sotorawcb(so);
  if (rp == nullptr) return BSD_EINVAL;
  if (rp->rcb_faddr == nullptr) return BSD_ENOTCONN;
  *nam = copy_addr(rp->rcb_faddr);
  return *nam != nullptr ? 0 : BSD_ENOMEM;
}

int raw_sockaddr(socket* so, sockaddr** nam) {
  raw_cb* rp = sotorawcb(so);
  if (rp == nullptr) return BSD_EINVAL;
  if (rp->rcb_laddr == nullptr) return BSD_EINVAL;
  *nam = copy_addr(rp->rcb_laddr);
  return *nam != nullptr ? 0 : BSD_ENOMEM;
}

int raw_send(socket* so, int flags, mbuf* m, sockaddr* nam, mbuf* control, process*) {
  raw_cb* rp = sotorawcb(so);
  int error = 0;
  if (rp == nullptr) {
    error = BSD_EINVAL;
  } else if ((flags & PRUS_OOB) || (control != nullptr && control->m_len != 0)) {
    error = BSD_EOPNOTSUPP;
  } else if (nam != nullptr && (so->so_state & SS_ISCONNECTED)) {
    error = BSD_EISCONN;
  } else if (nam == nullptr && !(so->so_state & SS_ISCONNECTED)) {
    error = BSD_ENOTCONN;
  }
  mbuf_free_chain(control);
  if (error != 0) {
    mbuf_free_chain(m);
    return error;
  }
  // The foreign address holds for this packet only.
  sockaddr* saved = rp->rcb_faddr;
  if (nam != nullptr) rp->rcb_faddr = nam;
  if (so->so_proto->pr_output != nullptr) {
    error = so->so_proto->pr_output(m, so);
  } else {
    mbuf_free_chain(m);
    error = BSD_EOPNOTSUPP;
  }
  if (nam != nullptr) rp->rcb_faddr = saved;
  return error;
}

int raw_shutdown(socket* so) {
  if (sotorawcb(so) == nullptr) return BSD_EINVAL;
  socantsendmore(so);
  return 0;
}

int raw_poll(socket* so, int events, ucred* cred, process*) { return poll_socket(so, events, cred, nullptr); }

}  // namespace

user_req_table raw_usrreqs = {
    raw_abort,  nullptr,        raw_attach,   raw_bind,       raw_connect,       nullptr,  nullptr,
    raw_detach, raw_disconnect, nullptr,      raw_peeraddr,   nullptr,           nullptr,  raw_send,
    nullptr,    raw_shutdown,   raw_sockaddr, send_on_socket, receive_on_socket, raw_poll,
};

void rawsock_init() { g_rawcb = nullptr; }

void rawsock_stop() {
  while (raw_cb* rp = g_rawcb) {
    if (rp->rcb_socket != nullptr) rp->rcb_socket->so_pcb = nullptr;
    rp->rcb_socket = nullptr;
    rawsock_detach(rp);
  }
}

void rawsock_input(mbuf* m, const sockproto* proto, const sockaddr* src, const sockaddr* dst, socket* skip) {
  socket* last = nullptr;
  for (raw_cb* rp = g_rawcb; rp != nullptr; rp = rp->rcb_next) {
    socket* so = rp->rcb_socket;
    if (so == nullptr || so == skip) continue;
    if (rp->rcb_proto.sp_family != proto->sp_family) continue;
    if (rp->rcb_proto.sp_protocol != 0 && rp->rcb_proto.sp_protocol != proto->sp_protocol) continue;
    if (rp->rcb_laddr != nullptr && !sa_equal(rp->rcb_laddr, dst)) continue;
    if (rp->rcb_faddr != nullptr && !sa_equal(rp->rcb_faddr, src)) continue;
    if (last != nullptr) {
      if (mbuf* copy = m_copym(m, 0, M_COPYALL, M_DONTWAIT)) {
        if (sbappendaddr(&last->so_rcv, src, copy, nullptr)) {
          wake_socket_readers(last);
        } else {
          mbuf_free_chain(copy);
        }
      }
    }
    last = so;
  }
  if (last != nullptr && sbappendaddr(&last->so_rcv, src, m, nullptr)) {
    wake_socket_readers(last);
    return;
  }
  mbuf_free_chain(m);
}

void rawsock_ctlinput(int, sockaddr*, void*) {}

int rawsock_attach(socket* so, int proto) {
  raw_cb* rp = sotorawcb(so);
  if (rp == nullptr) return BSD_ENOBUFS;
  const int error = reserve_socket_buffers(so, RAWSNDQ, RAWRCVQ);
  if (error != 0) return error;
  rp->rcb_socket = so;
  rp->rcb_proto.sp_family = static_cast<std::uint16_t>(so->so_proto->pr_domain->dom_family);
  rp->rcb_proto.sp_protocol = static_cast<std::uint16_t>(proto);
  rp->rcb_next = g_rawcb;
  rp->rcb_prevp = &g_rawcb;
  if (g_rawcb != nullptr) g_rawcb->rcb_prevp = &rp->rcb_next;
  g_rawcb = rp;
  return 0;
}

void rawsock_detach(raw_cb* rp) {
  socket* so = rp->rcb_socket;
  if (rp->rcb_prevp != nullptr) {
    *rp->rcb_prevp = rp->rcb_next;
    if (rp->rcb_next != nullptr) rp->rcb_next->rcb_prevp = rp->rcb_prevp;
  }
  if (rp->rcb_faddr != nullptr) OSPrimMemFreePtr(rp->rcb_faddr);
  if (rp->rcb_laddr != nullptr) OSPrimMemFreePtr(rp->rcb_laddr);
  OSPrimMemFreePtr(rp);
  if (so != nullptr) {
    so->so_pcb = nullptr;
    sofree(so);
  }
}

}  // namespace zektcp
