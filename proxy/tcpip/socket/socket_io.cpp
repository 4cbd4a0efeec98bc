// Generic send and receive over the socket buffers.
#include <algorithm>
#include <cstring>

#include "proxy/tcpip/socket/mbuf_internal.h"
#include "proxy/tcpip/socket/socket.h"

namespace zektcp {

namespace {

void sbfree_one(sockbuf* sb, mbuf* m) {
  sb->sb_cc -= static_cast<std::uint32_t>(m->m_len);
  sb->sb_mbcnt -= MSIZE;
  if (m->m_flags & M_EXT) sb->sb_mbcnt -= m->mh.m_ext.ext_size;
}

sockaddr* dup_sockaddr(const sockaddr* sa) {
  auto* copy = static_cast<sockaddr*>(OSPrimMemAllocPtr(sa->sa_len > 0 ? sa->sa_len : 1));
  if (copy != nullptr) std::memcpy(copy, sa, sa->sa_len);
  return copy;
}

// The mbufs a receive took off its buffer, freed together under one hold of
// the network lock rather than one by one.
class TakenMbufs {
 public:
  TakenMbufs() = default;
  TakenMbufs(const TakenMbufs&) = delete;
  TakenMbufs& operator=(const TakenMbufs&) = delete;
  ~TakenMbufs() { free(); }

  void add(mbuf* m) {
    m->m_next = nullptr;
    *tail_ = m;
    tail_ = &m->m_next;
  }

  void free() {
    mbuf_free_chain(head_);
    head_ = nullptr;
    tail_ = &head_;
  }

 private:
  mbuf* head_ = nullptr;
  mbuf** tail_ = &head_;
};

int send_flags_for(socket* so, int flags, std::int64_t resid, std::int64_t space) {
  if (flags & MSG_OOB) return PRUS_OOB;
  if ((flags & MSG_EOF) && (so->so_proto->pr_flags & PR_IMPLOPCL) && resid <= 0) return PRUS_EOF;
  if (resid > 0 && space > 0) return PRUS_MORETOCOME;
  return 0;
}

}  // namespace

int send_on_socket(socket* so, sockaddr* addr, uio* u, mbuf* top, mbuf* control, int flags, process* p) {
  const bool atomic = (so->so_proto->pr_flags & PR_ATOMIC) || top != nullptr;
  std::int64_t resid = u != nullptr ? u->uio_resid : (top != nullptr ? top->mh.m_pkthdr.len : 0);
  std::int64_t clen = control != nullptr ? control->m_len : 0;
  int error = 0;
  if (resid < 0 || (so->so_type == SOCK_STREAM && (flags & MSG_EOR))) {
    error = BSD_EINVAL;
    goto out;
  }
  for (;;) {  // restart after a wait for space
    error = sblock(&so->so_snd, (flags & MSG_DONTWAIT) ? 0 : 1);
    if (error != 0) goto out;
    bool waited = false;
    do {
      if (so->so_state & SS_CANTSENDMORE) {
        error = BSD_EPIPE;
        goto release;
      }
      if (so->so_error != 0) {
        error = so->so_error;
        so->so_error = 0;
        goto release;
      }
      if (!(so->so_state & SS_ISCONNECTED)) {
        if ((so->so_proto->pr_flags & PR_CONNREQUIRED) && !(so->so_proto->pr_flags & PR_IMPLOPCL)) {
          if (!(so->so_state & SS_ISCONFIRMING) && !(resid == 0 && clen != 0)) {
            error = BSD_ENOTCONN;
            goto release;
          }
        } else if (addr == nullptr && !(flags & MSG_EOF)) {
          error = (so->so_proto->pr_flags & PR_CONNREQUIRED) ? BSD_ENOTCONN : BSD_EDESTADDRREQ;
          goto release;
        }
      }
      std::int64_t space = sbspace(&so->so_snd);
      if (flags & MSG_OOB) space += OOB_ALLOWANCE;
      if ((atomic && resid > so->so_snd.sb_hiwat) || clen > so->so_snd.sb_hiwat) {
        error = BSD_EMSGSIZE;
        goto release;
      }
      if (space < resid + clen && (atomic || space < so->so_snd.sb_lowat || space < clen)) {
        if ((so->so_state & SS_NBIO) || (flags & MSG_DONTWAIT)) {
          error = BSD_EWOULDBLOCK;
          goto release;
        }
        sbunlock(&so->so_snd);
        error = wait_socket_buffer(&so->so_snd);
        if (error != 0) goto out;
        waited = true;
        break;
      }
      mbuf** mp = &top;
      space -= clen;
      do {
        if (u == nullptr) {
          resid = 0;
          if ((flags & MSG_EOR) && top != nullptr) top->m_flags |= M_EOR;
        } else {
          do {
            mbuf* m = nullptr;
            int mlen = top == nullptr ? MHLEN : MLEN;
            {
              // The mbuf and its cluster under one hold of the network lock.
              NetLockScope lock;
              if (mbuf_get_locked(&m, M_WAIT, MT_DATA, top == nullptr) != 0) m = nullptr;
              if (m != nullptr && resid >= MINCLSIZE) {
                mbuf_cluster_locked(m, M_WAIT);
                if (m->m_flags & M_EXT) mlen = MCLBYTES;
              }
            }
            if (m == nullptr) {
              error = BSD_ENOBUFS;
              goto release;
            }
            std::int64_t len = 0;
            len = std::min<std::int64_t>(std::min<std::int64_t>(mlen, resid), space);
            if (!(m->m_flags & M_EXT) && atomic && top == nullptr && len < mlen) M_ALIGN_END(m, static_cast<int>(len));
            space -= len;
            error = uiomove(m->m_data, static_cast<int>(len), u);
            resid = u->uio_resid;
            m->m_len = static_cast<std::int32_t>(len);
            *mp = m;
            top->mh.m_pkthdr.len += static_cast<std::int32_t>(len);
            if (error != 0) goto release;
            mp = &m->m_next;
            if (resid <= 0) {
              if (flags & MSG_EOR) top->m_flags |= M_EOR;
              break;
            }
          } while (space > 0 && atomic);
        }
        const bool dontroute =
            (flags & MSG_DONTROUTE) && !(so->so_options & SO_DONTROUTE) && (so->so_proto->pr_flags & PR_ATOMIC);
        if (dontroute) so->so_options |= SO_DONTROUTE;
        error = so->so_proto->pr_usrreqs->pru_send(so, send_flags_for(so, flags, resid, space), top, addr, control, p);
        if (dontroute) so->so_options &= ~SO_DONTROUTE;
        clen = 0;
        control = nullptr;
        top = nullptr;
        mp = &top;
        if (error != 0) goto release;
      } while (resid > 0 && space > 0);
    } while (resid > 0);
    if (!waited) break;
  }
release:
  sbunlock(&so->so_snd);
out:
  if (top != nullptr) mbuf_free_chain(top);
  if (control != nullptr) mbuf_free_chain(control);
  return error;
}

int receive_on_socket(socket* so, sockaddr** psa, uio* u, mbuf** mp0, mbuf** controlp, int* flagsp) {
  proto_switch* pr = so->so_proto;
  mbuf** mp = mp0;
  if (psa != nullptr) *psa = nullptr;
  if (controlp != nullptr) *controlp = nullptr;
  int flags = flagsp != nullptr ? (*flagsp & ~MSG_EOR) : 0;
  int error = 0;
  if (flags & MSG_OOB) {
    mbuf* m = nullptr;
    if (GetMBuf(&m, M_WAIT, MT_DATA) != 0) return BSD_ENOBUFS;
    error =
        pr->pr_usrreqs->pru_rcvoob != nullptr ? pr->pr_usrreqs->pru_rcvoob(so, m, flags & MSG_PEEK) : BSD_EOPNOTSUPP;
    while (error == 0 && m != nullptr && u->uio_resid > 0) {
      error = uiomove(m->m_data, static_cast<int>(std::min<std::int64_t>(u->uio_resid, m->m_len)), u);
      m = mbuf_free_one(m);
    }
    mbuf_free_chain(m);
    return error;
  }
  if (mp != nullptr) *mp = nullptr;
  if ((so->so_state & SS_ISCONFIRMING) && u->uio_resid > 0 && pr->pr_usrreqs->pru_rcvd != nullptr) {
    pr->pr_usrreqs->pru_rcvd(so, 0);
  }
  for (;;) {  // restart
    error = sblock(&so->so_rcv, (flags & MSG_DONTWAIT) ? 0 : 1);
    if (error != 0) return error;
    mbuf* m = so->so_rcv.sb_mb;
    const bool short_of_data = m == nullptr || (!(flags & MSG_DONTWAIT) && so->so_rcv.sb_cc < u->uio_resid &&
                                                (static_cast<std::int32_t>(so->so_rcv.sb_cc) < so->so_rcv.sb_lowat ||
                                                 ((flags & MSG_WAITALL) && u->uio_resid <= so->so_rcv.sb_hiwat)) &&
                                                m->m_nextpkt == nullptr && !(pr->pr_flags & PR_ATOMIC));
    if (short_of_data) {
      if (m == nullptr && so->so_rcv.sb_cc != 0) OSPrimDebugPrint("receive 1");
      bool take = false;
      if (so->so_error != 0) {
        if (m != nullptr) {
          take = true;
        } else {
          error = so->so_error;
          if (!(flags & MSG_PEEK)) so->so_error = 0;
          goto release;
        }
      } else if (so->so_state & SS_CANTRCVMORE) {
        if (m == nullptr) goto release;
        take = true;
      } else {
        for (mbuf* n = m; n != nullptr; n = n->m_next) {
          if (n->m_type == MT_OOBDATA || (n->m_flags & M_EOR)) {
            take = true;
            break;
          }
        }
      }
      if (!take) {
        if (!(so->so_state & (SS_ISCONNECTED | SS_ISCONNECTING)) && (pr->pr_flags & PR_CONNREQUIRED)) {
          error = BSD_ENOTCONN;
          goto release;
        }
        if (u->uio_resid == 0) goto release;
        if ((so->so_state & SS_NBIO) || (flags & MSG_DONTWAIT)) {
          error = BSD_EWOULDBLOCK;
          goto release;
        }
        sbunlock(&so->so_rcv);
        error = wait_socket_buffer(&so->so_rcv);
        if (error != 0) return error;
        continue;
      }
      m = so->so_rcv.sb_mb;
    }

    // A record (or stream data) is there.
    std::int64_t orig_resid = u->uio_resid;
    mbuf* nextrecord = m->m_nextpkt;
    if (pr->pr_flags & PR_ADDR) {
      if (m->m_type != MT_SONAME) OSPrimDebugPrint("receive 1a");
      orig_resid = 0;
      if (psa != nullptr) *psa = dup_sockaddr(mtod<sockaddr>(m));
      if (flags & MSG_PEEK) {
        m = m->m_next;
      } else {
        sbfree_one(&so->so_rcv, m);
        so->so_rcv.sb_mb = mbuf_free_one(m);
        m = so->so_rcv.sb_mb;
      }
    }
    while (m != nullptr && m->m_type == MT_CONTROL && error == 0) {
      if (flags & MSG_PEEK) {
        if (controlp != nullptr) *controlp = m_copym(m, 0, m->m_len, M_DONTWAIT);
        m = m->m_next;
      } else {
        sbfree_one(&so->so_rcv, m);
        so->so_rcv.sb_mb = m->m_next;
        m->m_next = nullptr;
        if (controlp != nullptr) {
          *controlp = m;
        } else {
          mbuf_free_one(m);
        }
        m = so->so_rcv.sb_mb;
      }
      if (controlp != nullptr) {
        orig_resid = 0;
        while (*controlp != nullptr) controlp = &(*controlp)->m_next;
      }
    }
    std::int16_t type = 0;
    if (m != nullptr) {
      if (!(flags & MSG_PEEK)) m->m_nextpkt = nextrecord;
      type = m->m_type;
      if (type == MT_OOBDATA) flags |= MSG_OOB;
    }
    int moff = 0;
    std::int64_t offset = 0;
    TakenMbufs taken;
    while (m != nullptr && u->uio_resid > 0 && error == 0) {
      if (m->m_type == MT_OOBDATA) {
        if (type != MT_OOBDATA) break;
      } else if (type == MT_OOBDATA) {
        break;
      } else if (m->m_type != MT_DATA && m->m_type != MT_HEADER) {
        OSPrimDebugPrint("receive 3");
      }
      so->so_state &= ~SS_RCVATMARK;
      std::int64_t len = u->uio_resid;
      if (so->so_oobmark != 0 && len > so->so_oobmark - offset) len = so->so_oobmark - offset;
      if (len > m->m_len - moff) len = m->m_len - moff;
      if (mp == nullptr) {
        error = uiomove(m->m_data + moff, static_cast<int>(len), u);
      } else {
        u->uio_resid -= len;
      }
      if (len == m->m_len - moff) {
        if (m->m_flags & M_EOR) flags |= MSG_EOR;
        if (flags & MSG_PEEK) {
          m = m->m_next;
          moff = 0;
        } else {
          nextrecord = m->m_nextpkt;
          sbfree_one(&so->so_rcv, m);
          if (mp != nullptr) {
            *mp = m;
            mp = &m->m_next;
            so->so_rcv.sb_mb = m = m->m_next;
            *mp = nullptr;
          } else {
            m->m_nextpkt = nullptr;
            mbuf* next = m->m_next;
            taken.add(m);
            so->so_rcv.sb_mb = m = next;
          }
          if (m != nullptr) m->m_nextpkt = nextrecord;
        }
      } else if (flags & MSG_PEEK) {
        moff += static_cast<int>(len);
      } else {
        if (mp != nullptr) *mp = m_copym(m, 0, static_cast<int>(len), M_WAIT);
        m->m_data += len;
        m->m_len -= static_cast<std::int32_t>(len);
        so->so_rcv.sb_cc -= static_cast<std::uint32_t>(len);
      }
      if (so->so_oobmark != 0) {
        if (!(flags & MSG_PEEK)) {
          so->so_oobmark -= static_cast<std::int32_t>(len);
          if (so->so_oobmark == 0) {
            so->so_state |= SS_RCVATMARK;
            break;
          }
        } else {
          offset += len;
          if (offset == so->so_oobmark) break;
        }
      }
      if (flags & MSG_EOR) break;
      while ((flags & MSG_WAITALL) && m == nullptr && u->uio_resid > 0 && !(pr->pr_flags & PR_ATOMIC) &&
             nextrecord == nullptr) {
        if (so->so_error != 0 || (so->so_state & SS_CANTRCVMORE)) break;
        if ((pr->pr_flags & PR_WANTRCVD) && so->so_pcb != nullptr && pr->pr_usrreqs->pru_rcvd != nullptr) {
          pr->pr_usrreqs->pru_rcvd(so, flags);
        }
        taken.free();
        if (wait_socket_buffer(&so->so_rcv) != 0) {
          // What was moved so far is the result.
          sbunlock(&so->so_rcv);
          return 0;
        }
        m = so->so_rcv.sb_mb;
        if (m != nullptr) nextrecord = m->m_nextpkt;
      }
    }
    taken.free();
    if (m != nullptr && (pr->pr_flags & PR_ATOMIC)) {
      flags |= MSG_TRUNC;
      if (!(flags & MSG_PEEK)) sbdroprecord(&so->so_rcv);
    }
    if (!(flags & MSG_PEEK)) {
      if (m == nullptr) so->so_rcv.sb_mb = nextrecord;
      if ((pr->pr_flags & PR_WANTRCVD) && so->so_pcb != nullptr && pr->pr_usrreqs->pru_rcvd != nullptr) {
        pr->pr_usrreqs->pru_rcvd(so, flags);
      }
    }
    if (orig_resid == u->uio_resid && orig_resid != 0 && !(flags & MSG_EOR) && !(so->so_state & SS_CANTRCVMORE)) {
      sbunlock(&so->so_rcv);
      continue;  // nothing taken (an empty record): look again
    }
    if (flagsp != nullptr) *flagsp |= flags;
    break;
  }
release:
  sbunlock(&so->so_rcv);
  return error;
}

}  // namespace zektcp
