// Socket buffers: reservation, appends (under the network lock, because the
// receive path appends from the soft-interrupt thread), compression, drops,
// the buffer lock and the waits and wake-ups.
#include <cstring>

#include "proxy/tcpip/socket/mbuf_internal.h"
#include "proxy/tcpip/socket/socket.h"

namespace zektcp {

namespace {

void sballoc(sockbuf* sb, mbuf* m) {
  sb->sb_cc += static_cast<std::uint32_t>(m->m_len);
  sb->sb_mbcnt += MSIZE;
  if (m->m_flags & M_EXT) sb->sb_mbcnt += m->mh.m_ext.ext_size;
}

void sbfree(sockbuf* sb, mbuf* m) {
  sb->sb_cc -= static_cast<std::uint32_t>(m->m_len);
  sb->sb_mbcnt -= MSIZE;
  if (m->m_flags & M_EXT) sb->sb_mbcnt -= m->mh.m_ext.ext_size;
}

bool writable(const mbuf* m) { return !mbuf_is_shared(m); }

int sbreserve_common(sockbuf* sb, std::uint32_t cc, socket* so, const char* routine) {
  if (cc > SB_MAX) {
    ZEK_LOG_FAILURE("Func[%s] Line[%d] cc[%d] sb_max_adj[%d] \n", routine, __LINE__, cc, SB_MAX);
    return 0;
  }
  if (so != nullptr && so->so_cred != nullptr && so->so_cred->cr_uidinfo != nullptr) {
    charge_user_sbsize(so->so_cred->cr_uidinfo, &sb->sb_hiwat, cc, SB_MAX);
  } else {
    sb->sb_hiwat = cc;
  }
  const std::uint64_t mbmax = static_cast<std::uint64_t>(cc) * 8;
  sb->sb_mbmax = mbmax > SB_MAX ? SB_MAX : static_cast<std::uint32_t>(mbmax);
  if (sb->sb_lowat > static_cast<std::int32_t>(sb->sb_hiwat)) sb->sb_lowat = static_cast<std::int32_t>(sb->sb_hiwat);
  return 1;
}

}  // namespace

int recv_sbreserve(sockbuf* sb, std::uint32_t cc, socket* so) { return sbreserve_common(sb, cc, so, "recv_sbreserve"); }
int send_sbreserve(sockbuf* sb, std::uint32_t cc, socket* so) { return sbreserve_common(sb, cc, so, "send_sbreserve"); }

int reserve_socket_buffers(socket* so, std::uint32_t sndcc, std::uint32_t rcvcc) {
  if (!send_sbreserve(&so->so_snd, sndcc, so)) return BSD_ENOBUFS;
  if (!recv_sbreserve(&so->so_rcv, rcvcc, so)) {
    sbrelease(&so->so_snd, so);
    return BSD_ENOBUFS;
  }
  if (so->so_rcv.sb_lowat == 0) so->so_rcv.sb_lowat = 1;
  if (so->so_snd.sb_lowat == 0) so->so_snd.sb_lowat = MCLBYTES;
  if (so->so_snd.sb_lowat > static_cast<std::int32_t>(so->so_snd.sb_hiwat)) {
    so->so_snd.sb_lowat = static_cast<std::int32_t>(so->so_snd.sb_hiwat);
  }
  return 0;
}

void sbrelease(sockbuf* sb, socket* so) {
  sbflush(sb);
  if (so != nullptr && so->so_cred != nullptr && so->so_cred->cr_uidinfo != nullptr) {
    charge_user_sbsize(so->so_cred->cr_uidinfo, &sb->sb_hiwat, 0, 0);
  }
  sb->sb_hiwat = 0;
  sb->sb_mbmax = 0;
}

std::int64_t sbspace(const sockbuf* sb) {
  const std::int64_t bytes = static_cast<std::int64_t>(sb->sb_hiwat) - sb->sb_cc;
  const std::int64_t storage = static_cast<std::int64_t>(sb->sb_mbmax) - sb->sb_mbcnt;
  return bytes < storage ? bytes : storage;
}

void append_to_socket_buffer(sockbuf* sb, mbuf* m) {
  if (m == nullptr) return;
  NetLockScope lock;
  mbuf* n = sb->sb_mb;
  if (n != nullptr) {
    while (n->m_nextpkt != nullptr) n = n->m_nextpkt;
    for (;;) {
      if (n->m_flags & M_EOR) {
        sbappendrecord(sb, m);  // the last record is complete: a new one starts
        return;
      }
      if (n->m_next == nullptr) break;
      n = n->m_next;
    }
  }
  sbcompress(sb, m, n);
}

void sbappendrecord(sockbuf* sb, mbuf* m0) {
  if (m0 == nullptr) return;
  NetLockScope lock;
  mbuf* last = sb->sb_mb;
  if (last != nullptr) {
    while (last->m_nextpkt != nullptr) last = last->m_nextpkt;
  }
  sballoc(sb, m0);
  if (last != nullptr) {
    last->m_nextpkt = m0;
  } else {
    sb->sb_mb = m0;
  }
  mbuf* m = m0->m_next;
  m0->m_next = nullptr;
  if (m != nullptr && (m0->m_flags & M_EOR)) {
    m0->m_flags &= ~M_EOR;
    m->m_flags |= M_EOR;
  }
  sbcompress(sb, m, m0);
}

void sbcompress(sockbuf* sb, mbuf* m, mbuf* n) {
  NetLockScope lock;
  std::int16_t eor = 0;
  while (m != nullptr) {
    eor |= m->m_flags & M_EOR;
    if (m->m_len == 0) {
      mbuf* o = m->m_next != nullptr ? m->m_next : n;
      if (eor == 0 || (o != nullptr && o->m_type == m->m_type)) {
        m = mbuf_free_one_locked(m);
        continue;
      }
    }
    if (n != nullptr && !(n->m_flags & M_EOR) && writable(n) && m->m_len <= 512 && m->m_len <= M_TRAILINGSPACE(n) &&
        n->m_type == m->m_type) {
      std::memcpy(n->m_data + n->m_len, m->m_data, static_cast<std::size_t>(m->m_len));
      n->m_len += m->m_len;
      sb->sb_cc += static_cast<std::uint32_t>(m->m_len);
      m = mbuf_free_one_locked(m);
      continue;
    }
    if (n != nullptr) {
      n->m_next = m;
    } else {
      sb->sb_mb = m;
    }
    sballoc(sb, m);
    n = m;
    m->m_flags &= ~M_EOR;
    m = m->m_next;
    n->m_next = nullptr;
  }
  if (eor != 0) {
    if (n != nullptr) {
      n->m_flags |= eor;
    } else {
      OSPrimDebugPrint("semi-OSPrimPanic: sbcompress\n");
    }
  }
}

int sbappendaddr(sockbuf* sb, const sockaddr* asa, mbuf* m0, mbuf* control) {
  if (m0 != nullptr && !(m0->m_flags & M_PKTHDR)) {
    OSPrimDebugPrint("sbappendaddr");
    return 0;
  }
  std::int64_t space = asa->sa_len;
  if (m0 != nullptr) space += m0->mh.m_pkthdr.len;
  mbuf* n = nullptr;
  for (n = control; n != nullptr; n = n->m_next) {
    space += n->m_len;
    if (n->m_next == nullptr) break;
  }
  if (space > sbspace(sb)) return 0;
  if (asa->sa_len > MAX_SONAME) return 0;
  mbuf* m = nullptr;
  if (GetMBuf(&m, M_DONTWAIT, MT_SONAME) != 0) return 0;
  m->m_len = asa->sa_len;
  std::memcpy(m->m_data, asa, asa->sa_len);
  if (n != nullptr) {
    n->m_next = m0;
  } else {
    control = m0;
  }
  m->m_next = control;
  NetLockScope lock;
  for (n = m; n != nullptr; n = n->m_next) sballoc(sb, n);
  mbuf* last = sb->sb_mb;
  if (last != nullptr) {
    while (last->m_nextpkt != nullptr) last = last->m_nextpkt;
    last->m_nextpkt = m;
  } else {
    sb->sb_mb = m;
  }
  return 1;
}

int sbappendcontrol(sockbuf* sb, mbuf* m0, mbuf* control) {
  if (control == nullptr) return 0;
  std::int64_t space = 0;
  mbuf* m = control;
  for (;; m = m->m_next) {
    space += m->m_len;
    if (m->m_next == nullptr) break;
  }
  mbuf* last_control = m;
  for (m = m0; m != nullptr; m = m->m_next) space += m->m_len;
  if (space > sbspace(sb)) return 0;
  last_control->m_next = m0;
  NetLockScope lock;
  for (m = control; m != nullptr; m = m->m_next) sballoc(sb, m);
  mbuf* last = sb->sb_mb;
  if (last != nullptr) {
    while (last->m_nextpkt != nullptr) last = last->m_nextpkt;
    last->m_nextpkt = control;
  } else {
    sb->sb_mb = control;
  }
  return 1;
}

void sbflush(sockbuf* sb) {
  NetLockScope lock;
  if (sb->sb_flags & SB_LOCK) ZEK_LOG_FAILURE("sbflush: locked\n");
  mbuf* record = sb->sb_mb;
  sb->sb_mb = nullptr;
  while (record != nullptr) {
    mbuf* next = record->m_nextpkt;
    record->m_nextpkt = nullptr;
    for (mbuf* m = record; m != nullptr;) {
      sbfree(sb, m);
      m = mbuf_free_one_locked(m);
    }
    record = next;
  }
  if (sb->sb_cc != 0 || sb->sb_mbcnt != 0) {
    ZEK_LOG_FAILURE("sbflush: cc %ld || mb %p || mbcnt %ld", static_cast<long>(sb->sb_cc),
                    static_cast<void*>(sb->sb_mb), static_cast<long>(sb->sb_mbcnt));
    sb->sb_cc = 0;
    sb->sb_mbcnt = 0;
  }
}

void sbdrop(sockbuf* sb, int len) {
  NetLockScope lock;
  mbuf* m = sb->sb_mb;
  mbuf* next = m != nullptr ? m->m_nextpkt : nullptr;
  while (len > 0) {
    if (m == nullptr) {
      if (next == nullptr) {
        // More asked than the buffer holds: drop what there is.
        ZEK_LOG_FAILURE("sbdrop\n");
        break;
      }
      m = next;
      next = m->m_nextpkt;
      continue;
    }
    if (m->m_len > len) {
      m->m_len -= len;
      m->m_data += len;
      sb->sb_cc -= static_cast<std::uint32_t>(len);
      break;
    }
    len -= m->m_len;
    sbfree(sb, m);
    m->m_nextpkt = nullptr;
    m = mbuf_free_one_locked(m);
  }
  while (m != nullptr && m->m_len == 0) {
    sbfree(sb, m);
    m->m_nextpkt = nullptr;
    m = mbuf_free_one_locked(m);
  }
  if (m != nullptr) {
    sb->sb_mb = m;
    m->m_nextpkt = next;
  } else {
    sb->sb_mb = next;
  }
}

void sbdroprecord(sockbuf* sb) {
  NetLockScope lock;
  mbuf* m = sb->sb_mb;
  if (m == nullptr) return;
  sb->sb_mb = m->m_nextpkt;
  m->m_nextpkt = nullptr;
  while (m != nullptr) {
    sbfree(sb, m);
    m = mbuf_free_one_locked(m);
  }
}

mbuf* make_control_mbuf(const void* p, int size, int type, int level) {
  constexpr int kHeader = 12;
  if (size < 0 || size >= 2037) return nullptr;
  mbuf* m = nullptr;
  if (GetMBuf(&m, M_DONTWAIT, MT_CONTROL) != 0) return nullptr;
  if (size > MLEN - kHeader) {
    MclAlloc(m, M_DONTWAIT);
    if (!(m->m_flags & M_EXT)) {
      mbuf_free_one(m);
      return nullptr;
    }
  }
  const std::int32_t header[3] = {size + kHeader, level, type};
  std::memcpy(m->m_data, header, sizeof(header));
  if (size > 0) std::memcpy(m->m_data + kHeader, p, static_cast<std::size_t>(size));
  m->m_len = kHeader + ((size + 3) & ~3);
  return m;
}

int sblock(sockbuf* sb, int wait) {
  while (sb->sb_flags & SB_LOCK) {
    if (!wait) return BSD_EWOULDBLOCK;
    sb->sb_flags |= SB_WANT;
    if (OSPrimTSleep(0, &sb->sb_sleep) != 0) return 1;
  }
  sb->sb_flags |= SB_LOCK;
  return 0;
}

void sbunlock(sockbuf* sb) {
  sb->sb_flags &= ~SB_LOCK;
  if (sb->sb_flags & SB_WANT) {
    sb->sb_flags &= ~SB_WANT;
    OSPrimWakeup(&sb->sb_sleep);
  }
}

int wait_socket_buffer(sockbuf* sb) {
  sb->sb_flags |= SB_WAIT;
  return OSPrimTSleep(sb->sb_timeo, &sb->sb_sleep) != 0 ? BSD_EWOULDBLOCK : 0;
}

void wake_socket_buffer(socket* so, sockbuf* sb) {
  if (sb->sb_flags & SB_SEL) {
    if (sb->sb_poller != nullptr) OSPrimWakeup(sb->sb_poller);
    sb->sb_poller = nullptr;
    sb->sb_flags &= ~SB_SEL;
  }
  if (sb->sb_flags & SB_WAIT) {
    sb->sb_flags &= ~SB_WAIT;
    OSPrimWakeup(&sb->sb_sleep);
  }
  if ((sb->sb_flags & SB_UPCALL) && so->so_upcall != nullptr) so->so_upcall(so, so->so_upcallarg, 1);
}

void wake_socket_readers(socket* so) {
  if (so->so_rcv.sb_flags & 0x1BC) wake_socket_buffer(so, &so->so_rcv);
  if (so->so_owner_recv_hook != nullptr) so->so_owner_recv_hook(so->so_owner_context, 0);
}

void wake_socket_writers(socket* so) {
  if (so->so_snd.sb_flags & 0x1BC) wake_socket_buffer(so, &so->so_snd);
  if (so->so_owner_send_hook != nullptr) so->so_owner_send_hook(so->so_owner_context, 0);
}

}  // namespace zektcp
