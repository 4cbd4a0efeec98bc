// The chain routines: copy (sharing clusters), copy-out, pull-up, packet
// header moves, tags, clone, join, trim, store and push-front. Impossible
// arguments are reported through the debug print and fail; they never run on.
#include <algorithm>
#include <cstring>

#include "proxy/tcpip/socket/mbuf_internal.h"

namespace zektcp {

namespace {

bool has_cluster(const mbuf* m) { return (m->m_flags & M_EXT) && m->mh.m_ext.ext_free == nullptr; }

std::uint8_t* storage_start(mbuf* m) {
  if (m->m_flags & M_EXT) return m->mh.m_ext.ext_buf;
  return (m->m_flags & M_PKTHDR) ? m->mh.m_pktdat : m->m_dat;
}

std::uint8_t* storage_end(mbuf* m) {
  if (m->m_flags & M_EXT) return m->mh.m_ext.ext_buf + m->mh.m_ext.ext_size;
  return mbuf_internal_end(m);
}

}  // namespace

bool mbuf_is_shared(const mbuf* m) {
  if (!(m->m_flags & M_EXT)) return false;
  if (m->mh.m_ext.ext_free != nullptr) return true;
  return cluster_slot_of(m->mh.m_ext.ext_buf)->refcount > 1;
}

int M_LEADINGSPACE(const mbuf* m) {
  auto* mm = const_cast<mbuf*>(m);
  if ((m->m_flags & M_EXT) && mbuf_is_shared(m)) return 0;
  return static_cast<int>(m->m_data - storage_start(mm));
}

int M_TRAILINGSPACE(const mbuf* m) {
  auto* mm = const_cast<mbuf*>(m);
  if ((m->m_flags & M_EXT) && mbuf_is_shared(m)) return 0;
  return static_cast<int>(storage_end(mm) - (m->m_data + m->m_len));
}

void M_ALIGN_END(mbuf* m, int len) {
  const int room = static_cast<int>(storage_end(m) - storage_start(m));
  m->m_data = storage_start(m) + ((room - len) & ~3);
}

int m_length(const mbuf* m) {
  int total = 0;
  for (; m != nullptr; m = m->m_next) total += m->m_len;
  return total;
}

mbuf* m_copym(mbuf* m, int off, int len, int how) {
  if (off < 0) {
    OSPrimDebugPrint("m_copym, negative off));  // %d", off);
    return nullptr;
  }
  if (len < 0) {
    OSPrimDebugPrint("m_copym, negative len));  // %d", len);
    return nullptr;
  }
  const int off0 = off;
  bool copyhdr = off == 0 && m != nullptr && (m->m_flags & M_PKTHDR);
  NetLockScope lock;  // once for the whole copy
  while (off > 0) {
    if (m == nullptr) {
      OSPrimDebugPrint("m_copym, offset > size of mbuf chain");
      return nullptr;
    }
    if (off < m->m_len) break;
    off -= m->m_len;
    m = m->m_next;
  }
  mbuf* top = nullptr;
  mbuf** np = &top;
  while (len > 0) {
    if (m == nullptr) {
      if (len != M_COPYALL) {
        OSPrimDebugPrint("m_copym, length > size of mbuf chain");
        mbuf_free_chain(top);
        return nullptr;
      }
      break;
    }
    mbuf* n = nullptr;
    if (mbuf_get_locked(&n, how, m->m_type, copyhdr) != 0) {
      mbuf_free_chain(top);
      return nullptr;
    }
    *np = n;
    np = &n->m_next;
    if (copyhdr) {
      if (m_dup_pkthdr(n, m, how) != 0) {
        mbuf_free_chain(top);
        return nullptr;
      }
      if (len == M_COPYALL) {
        n->mh.m_pkthdr.len -= off0;
      } else {
        n->mh.m_pkthdr.len = len;
      }
      copyhdr = false;
    }
    const int avail = m->m_len - off;
    int chunk = len == M_COPYALL ? avail : std::min(len, avail);
    if (has_cluster(m)) {
      // A cluster is shared by reference, never copied.
      mcl_add_ref_locked(m->mh.m_ext.ext_buf);
      n->mh.m_ext = m->mh.m_ext;
      n->m_flags |= M_EXT;
      n->m_data = m->m_data + off;
    } else {
      // Storage with a free routine of its own has no reference count: its
      // bytes are copied (into a cluster when they do not fit).
      if ((m->m_flags & M_EXT) && chunk > M_TRAILINGSPACE(n)) mbuf_cluster_locked(n, how);
      chunk = std::min(chunk, M_TRAILINGSPACE(n));
      std::memcpy(n->m_data, m->m_data + off, static_cast<std::size_t>(chunk));
    }
    n->m_len = chunk;
    if (len != M_COPYALL) len -= chunk;
    off += chunk;
    if (off >= m->m_len) {
      off = 0;
      m = m->m_next;
    }
  }
  return top;
}

int m_copydata(const mbuf* m, int off, int len, void* cp) {
  if (off < 0) {
    OSPrimDebugPrint("m_copydata, negative off));  //  %d", off);
    return BSD_EINVAL;
  }
  if (len < 0) {
    OSPrimDebugPrint("m_copydata, negative len));  /   %d", len);
    return BSD_EINVAL;
  }
  if (m_length(m) - off < len) {
    // Checked before anything is copied: the caller's buffer is left as is.
    OSPrimDebugPrint("Panic in m_copydata\n");
    return BSD_EINVAL;
  }
  while (off > 0 && m != nullptr && off >= m->m_len) {
    off -= m->m_len;
    m = m->m_next;
  }
  auto* out = static_cast<std::uint8_t*>(cp);
  while (len > 0) {
    const int count = std::min(m->m_len - off, len);
    std::memcpy(out, m->m_data + off, static_cast<std::size_t>(count));
    out += count;
    len -= count;
    off = 0;
    m = m->m_next;
  }
  return 0;
}

mbuf* m_pullup(mbuf* n, int len) {
  if (n == nullptr) return nullptr;
  if (n->m_len >= len) return n;
  if (len > MHLEN || len < 0 || m_length(n) < len) {
    mbuf_free_chain(n);
    return nullptr;
  }
  mbuf* m = nullptr;
  if (!(n->m_flags & M_EXT) && n->m_data + len <= mbuf_internal_end(n) && n->m_next != nullptr) {
    // The first mbuf has room behind its data: pull the rest into it.
    m = n;
    n = n->m_next;
    len -= m->m_len;
  } else {
    if (GetMBuf(&m, M_DONTWAIT, n->m_type) != 0) {
      mbuf_free_chain(n);
      return nullptr;
    }
    if (n->m_flags & M_PKTHDR) {
      m_move_pkthdr(m, n);
    }
  }
  while (len > 0 && n != nullptr) {
    const int space = static_cast<int>(mbuf_internal_end(m) - (m->m_data + m->m_len));
    const int count = std::min({len, space, n->m_len});
    std::memcpy(m->m_data + m->m_len, n->m_data, static_cast<std::size_t>(count));
    len -= count;
    m->m_len += count;
    n->m_len -= count;
    if (n->m_len > 0) {
      n->m_data += count;
    } else {
      n = mbuf_free_one(n);
    }
  }
  m->m_next = n;
  return m;
}

int m_move_pkthdr(mbuf* to, mbuf* from) {
  if (to->m_flags & M_EXT) {
    OSPrimDebugPrint("m_move_pkthdr: to has cluster");
    return BSD_EINVAL;
  }
  to->m_flags = static_cast<std::int16_t>((from->m_flags & M_COPYFLAGS) | (to->m_flags & M_EXT));
  to->m_data = to->mh.m_pktdat;
  to->mh.m_pkthdr = from->mh.m_pkthdr;
  from->mh.m_pkthdr.tags = nullptr;
  from->m_flags &= ~M_PKTHDR;
  return 0;
}

int m_dup_pkthdr(mbuf* to, mbuf* from, int) {
  if (to->m_flags & M_EXT) {
    OSPrimDebugPrint("m_dup_pkthdr: to has cluster");
    return BSD_EINVAL;
  }
  to->m_flags = static_cast<std::int16_t>((from->m_flags & M_COPYFLAGS) | (to->m_flags & M_EXT));
  to->m_data = to->mh.m_pktdat;
  to->mh.m_pkthdr = from->mh.m_pkthdr;
  to->mh.m_pkthdr.tags = nullptr;
  m_tag** tail = &to->mh.m_pkthdr.tags;
  for (m_tag* t = from->mh.m_pkthdr.tags; t != nullptr; t = t->m_tag_next) {
    m_tag* copy = m_tag_alloc(t->m_tag_cookie, t->m_tag_id, t->m_tag_len);
    if (copy == nullptr) {
      m_tag_delete_chain(to, nullptr);
      return BSD_ENOBUFS;
    }
    std::memcpy(copy + 1, t + 1, t->m_tag_len);
    *tail = copy;
    tail = &copy->m_tag_next;
  }
  return 0;
}

m_tag* m_tag_alloc(std::uint32_t cookie, int id, int len) {
  if (len < 0 || len > 0xFFFF) return nullptr;
  auto* t = static_cast<m_tag*>(OSPrimMemAllocPtr(static_cast<std::uint32_t>(sizeof(m_tag) + len)));
  if (t == nullptr) return nullptr;
  t->m_tag_next = nullptr;
  t->m_tag_id = static_cast<std::uint16_t>(id);
  t->m_tag_len = static_cast<std::uint16_t>(len);
  t->m_tag_cookie = cookie;
  return t;
}

void m_tag_prepend(mbuf* m, m_tag* t) {
  t->m_tag_next = m->mh.m_pkthdr.tags;
  m->mh.m_pkthdr.tags = t;
}

void m_tag_delete(mbuf* m, m_tag* t) {
  if (m == nullptr || t == nullptr) {
    OSPrimDebugPrint("m_tag_delete: null argument));   //, m %p t %p", static_cast<void*>(m), static_cast<void*>(t));
    return;
  }
  for (m_tag** link = &m->mh.m_pkthdr.tags; *link != nullptr; link = &(*link)->m_tag_next) {
    if (*link == t) {
      *link = t->m_tag_next;
      OSPrimMemFreePtr(t);
      return;
    }
  }
  OSPrimDebugPrint("m_tag_unlink: null argument));   // , m %p t %p", static_cast<void*>(m), static_cast<void*>(t));
}

void m_tag_delete_chain(mbuf* m, m_tag* t) {
  if (m == nullptr) {
    OSPrimDebugPrint("m_tag_delete_chain: null mbuf");
    return;
  }
  m_tag** link = t != nullptr ? &t->m_tag_next : &m->mh.m_pkthdr.tags;
  while (m_tag* victim = *link) {
    *link = victim->m_tag_next;
    OSPrimMemFreePtr(victim);
  }
}

mbuf* mbuf_clone_packet(mbuf* m) { return m_copym(m, 0, M_COPYALL, M_DONTWAIT); }

mbuf* mbuf_join_chains(mbuf* first, mbuf* second) {
  if (first == nullptr) return second;
  mbuf* last = first;
  while (last->m_next != nullptr) last = last->m_next;
  while (second != nullptr) {
    if ((last->m_flags & M_EXT) ||
        second->m_len > static_cast<int>(mbuf_internal_end(last) - (last->m_data + last->m_len))) {
      last->m_next = second;
      break;
    }
    std::memcpy(last->m_data + last->m_len, second->m_data, static_cast<std::size_t>(second->m_len));
    last->m_len += second->m_len;
    second = mbuf_free_one(second);
  }
  return first;
}

void mbuf_trim(mbuf* mp, int count) {
  if (mp == nullptr) return;
  if (count >= 0) {
    int left = count;
    for (mbuf* m = mp; m != nullptr && left > 0; m = m->m_next) {
      if (m->m_len <= left) {
        left -= m->m_len;
        m->m_data += m->m_len;
        m->m_len = 0;
      } else {
        m->m_len -= left;
        m->m_data += left;
        left = 0;
      }
    }
    if (mp->m_flags & M_PKTHDR) mp->mh.m_pkthdr.len -= count - left;
    return;
  }
  // From the tail: keep the first (total - |count|) bytes.
  const int total = m_length(mp);
  int keep = total + count;
  if (keep < 0) keep = 0;
  if (mp->m_flags & M_PKTHDR) mp->mh.m_pkthdr.len = keep;
  for (mbuf* m = mp; m != nullptr; m = m->m_next) {
    if (m->m_len >= keep) {
      m->m_len = keep;
      keep = 0;
    } else {
      keep -= m->m_len;
    }
  }
}

int mbuf_store_data(mbuf* m0, int off, int len, const void* data) {
  if (m0 == nullptr || off < 0 || len < 0) return BSD_EINVAL;
  const auto* cp = static_cast<const std::uint8_t*>(data);
  mbuf* m = m0;
  int total = 0;
  int error = 0;
  while (off > m->m_len) {
    off -= m->m_len;
    total += m->m_len;
    if (m->m_next == nullptr) {
      // The gap before the offset is filled with zeroed mbufs.
      mbuf* n = nullptr;
      if (GetMBuf(&n, M_DONTWAIT, m->m_type) != 0) {
        error = BSD_ENOBUFS;
        len = 0;
        break;
      }
      std::memset(n->m_data, 0, MLEN);
      n->m_len = std::min(MLEN, len + off);
      m->m_next = n;
    }
    m = m->m_next;
  }
  while (len > 0) {
    const int count = std::min(m->m_len - off, len);
    std::memcpy(m->m_data + off, cp, static_cast<std::size_t>(count));
    cp += count;
    len -= count;
    total += count + off;
    off = 0;
    if (len == 0) break;
    if (m->m_next == nullptr) {
      mbuf* n = nullptr;
      if (GetMBuf(&n, M_DONTWAIT, m->m_type) != 0) {
        error = BSD_ENOBUFS;
        break;
      }
      n->m_len = std::min(MLEN, len);
      m->m_next = n;
    }
    m = m->m_next;
  }
  if ((m0->m_flags & M_PKTHDR) && m0->mh.m_pkthdr.len < total) m0->mh.m_pkthdr.len = total;
  return error;
}

mbuf* mbuf_push_front(mbuf* m, int len, int how) {
  if (m == nullptr) return nullptr;
  const bool header = (m->m_flags & M_PKTHDR) != 0;
  if (len < 0 || len > (header ? MHLEN : MLEN)) {
    mbuf_free_chain(m);
    return nullptr;
  }
  mbuf* n = nullptr;
  if ((header ? GetMBufHdr(&n, how, m->m_type) : GetMBuf(&n, how, m->m_type)) != 0) {
    mbuf_free_chain(m);
    return nullptr;
  }
  if (header) {
    m_move_pkthdr(n, m);
    n->mh.m_pkthdr.len += len;
  }
  M_ALIGN_END(n, len);
  n->m_len = len;
  n->m_next = m;
  return n;
}

mbuf* m_prepend(mbuf* m, int len, int how) {
  if (m == nullptr) return nullptr;
  if (len >= 0 && M_LEADINGSPACE(m) >= len) {
    m->m_data -= len;
    m->m_len += len;
    if (m->m_flags & M_PKTHDR) m->mh.m_pkthdr.len += len;
    return m;
  }
  mbuf* n = mbuf_push_front(m, len, how);
  return n;
}

mbuf* mbuf_from_bytes(const void* data, int len, ifnet* rcvif, int how) {
  if (len < 0) return nullptr;
  NetLockScope lock;  // once for the whole packet
  mbuf* top = nullptr;
  if (mbuf_get_locked(&top, how, MT_DATA, true) != 0) return nullptr;
  top->mh.m_pkthdr.rcvif = rcvif;
  top->mh.m_pkthdr.len = len;
  const auto* cp = static_cast<const std::uint8_t*>(data);
  mbuf* m = top;
  int room = MHLEN;
  if (len > MHLEN) {
    mbuf_cluster_locked(m, how);
    if (m->m_flags & M_EXT) room = MCLBYTES;
  }
  for (;;) {
    const int count = std::min(len, room);
    std::memcpy(m->m_data, cp, static_cast<std::size_t>(count));
    m->m_len = count;
    cp += count;
    len -= count;
    if (len == 0) return top;
    mbuf* n = nullptr;
    if (mbuf_get_locked(&n, how, MT_DATA, false) != 0) {
      mbuf_free_chain(top);
      return nullptr;
    }
    room = MLEN;
    if (len > MLEN) {
      mbuf_cluster_locked(n, how);
      if (n->m_flags & M_EXT) room = MCLBYTES;
    }
    m->m_next = n;
    m = n;
  }
}

}  // namespace zektcp
