// The socket pool and the socket lifecycle: creation, the listeners'
// connection queues, connect and disconnect notifications, close and free.
#include <cstring>

#include "proxy/tcpip/socket/socket.h"

namespace zektcp {

namespace {

struct SocketPoolEntry {
  SocketPoolEntry* next;
  socket so;
};

struct SocketPool {
  OSPrimSpinlockObject lock;
  SocketPoolEntry* entries;
  std::uint32_t size;
  SocketPoolEntry* head;
  SocketPoolEntry* tail;
  std::uint32_t free_count;
  std::uint32_t gencnt;
  SocketOffloadHooks offload;
};

SocketPool g_pool;

// Puts an entry at the end of the free list, so records are reused oldest
// first (under the pool lock once the pool is running).
void free_list_append(SocketPoolEntry* e) {
  e->next = nullptr;
  if (g_pool.tail != nullptr) {
    g_pool.tail->next = e;
  } else {
    g_pool.head = e;
  }
  g_pool.tail = e;
}

SocketPoolEntry* entry_of(socket* so) {
  return reinterpret_cast<SocketPoolEntry*>(reinterpret_cast<char*>(so) - offsetof(SocketPoolEntry, so));
}

void init_offload_block(OffloadStateBlock* block) {
  static constexpr std::uint8_t kFlags[9] = {1, 1, 0, 1, 0, 0, 0, 1, 0};
  std::memcpy(block->flags, kFlags, sizeof(kFlags));
  block->words[OFFLOAD_WORD_CONN_STATE - 1] = 1;
  block->words[OFFLOAD_WORD_KEEPALIVE - 1] = 75 * tick_rate();
  block->words[OFFLOAD_WORD_FLAG - 1] = 1;
}

std::uint32_t* offload_word(socket* so) {
  return g_pool.offload.offload_state_word != nullptr ? g_pool.offload.offload_state_word(so) : nullptr;
}

}  // namespace

void socket_set_offload_hooks(const SocketOffloadHooks* hooks) {
  int (*offload_free)(socket*) = g_pool.offload.offload_free;
  g_pool.offload = hooks != nullptr ? *hooks : SocketOffloadHooks{};
  if (g_pool.offload.offload_free == nullptr) g_pool.offload.offload_free = offload_free;
}

void socket_set_offload_free(int (*offload_free)(socket* so)) { g_pool.offload.offload_free = offload_free; }

int socket_pool_start(std::uint32_t sockets) {
  g_pool = SocketPool{};
  OSPrimSyncInitSpinlockObject(&g_pool.lock);
  if (sockets == 0 || sockets > SOCKET_POOL_SIZE) sockets = SOCKET_POOL_SIZE;
  const std::uint64_t bytes = static_cast<std::uint64_t>(sockets) * sizeof(SocketPoolEntry);
  g_pool.entries = static_cast<SocketPoolEntry*>(OSPrimMemAllocPtr(static_cast<std::uint32_t>(bytes)));
  if (g_pool.entries == nullptr) return BSD_ENOBUFS;
  g_pool.size = sockets;
  for (std::uint32_t i = 0; i < sockets; ++i) free_list_append(&g_pool.entries[i]);
  g_pool.free_count = sockets;
  return 0;
}

void socket_pool_stop() {
  // The pool is kept for the whole life of the stack, so a sleeper that
  // reads a dead sleep object's signature reads valid memory.
  if (g_pool.entries != nullptr) OSPrimMemFreePtr(g_pool.entries);
  OSPrimSyncDestroySpinlockObject(&g_pool.lock);
  g_pool = SocketPool{};
}

std::uint32_t socket_pool_free_count() { return g_pool.free_count; }

bool socket_is_live(const socket* so) {
  return so != nullptr && so->so_signature == SOCKET_SIGNATURE && so->so_inuse == 1;
}

socket* get_socket() {
  OSPrimSyncAcquireSpinlockObject(&g_pool.lock);
  SocketPoolEntry* e = g_pool.head;
  if (e != nullptr) {
    g_pool.head = e->next;
    if (g_pool.head == nullptr) g_pool.tail = nullptr;
    e->next = nullptr;
    --g_pool.free_count;
  }
  const std::uint32_t generation = ++g_pool.gencnt;
  OSPrimSyncReleaseSpinlockObject(&g_pool.lock);
  if (e == nullptr) {
    OSPrimDebugPrint("get_socket\n");
    return nullptr;
  }
  socket* so = &e->so;
  std::memset(static_cast<void*>(so), 0, sizeof(*so));
  so->so_signature = SOCKET_SIGNATURE;
  so->so_inuse = 1;
  so->so_gencnt = generation;
  so->so_pid = reinterpret_cast<std::uintptr_t>(PsGetCurrentProcessId());
  so->so_tid = reinterpret_cast<std::uintptr_t>(PsGetCurrentThreadId());
  OSPrimInitSleepObject(&so->so_sleep);
  OSPrimInitSleepObject(&so->so_rcv.sb_sleep);
  OSPrimInitSleepObject(&so->so_snd.sb_sleep);
  OSPrimInitSleepObject(&so->so_offload_send_sleep);
  OSPrimInitSleepObject(&so->so_offload_recv_sleep);
  OSPrimInitSleepObject(&so->so_offload_spare_sleep);
  OSPrimInitEvent(&so->so_lb_event);
  init_offload_block(&so->so_offload);
  return so;
}

void put_socket(socket* so) {
  OSPrimSyncAcquireSpinlockObject(&g_pool.lock);
  so->so_gencnt = ++g_pool.gencnt;
  OSPrimSyncReleaseSpinlockObject(&g_pool.lock);
  if (so->so_cred != nullptr && so->so_cred->cr_uidinfo != nullptr) {
    charge_user_sbsize(so->so_cred->cr_uidinfo, &so->so_rcv.sb_hiwat, 0, 0);
    charge_user_sbsize(so->so_cred->cr_uidinfo, &so->so_snd.sb_hiwat, 0, 0);
  }
  accept_filter_release(so);
  if (so->so_cred != nullptr) {
    crfree(so->so_cred);
    so->so_cred = nullptr;
  }
  if (so->so_owner_release_hook != nullptr && so->so_owner_context != nullptr) {
    so->so_owner_release_hook(so->so_owner_context);
  }
  // By the time the socket goes its control block is detached, so the
  // offload queue pair itself says whether adapter objects are left.
  std::uint32_t* state = offload_word(so);
  if (((state != nullptr && *state == OFFLOAD_STATE_ADAPTER) || so->so_offload_qp != nullptr) &&
      so->so_taken_over != SOCKET_TAKEN_OVER && g_pool.offload.offload_free != nullptr) {
    g_pool.offload.offload_free(so);
  }
  so->so_signature = 0;
  so->so_inuse = 0;
  // Every sleeper wakes and finds the object dead.
  OSPrimKillSleepObject(&so->so_sleep);
  OSPrimKillSleepObject(&so->so_rcv.sb_sleep);
  OSPrimKillSleepObject(&so->so_snd.sb_sleep);
  OSPrimKillSleepObject(&so->so_offload_send_sleep);
  OSPrimKillSleepObject(&so->so_offload_recv_sleep);
  OSPrimKillSleepObject(&so->so_offload_spare_sleep);
  OSPrimDestroyEvent(&so->so_lb_event);
  SocketPoolEntry* e = entry_of(so);
  OSPrimSyncAcquireSpinlockObject(&g_pool.lock);
  free_list_append(e);
  if (++g_pool.free_count > g_pool.size) {
    OSPrimDebugPrint("put_socket 1: socket_handle_count(%x)\n", g_pool.free_count);
    g_pool.free_count = g_pool.size;
  }
  OSPrimSyncReleaseSpinlockObject(&g_pool.lock);
}

int create_socket(int dom, socket** aso, int type, int proto, process* p) {
  *aso = nullptr;
  proto_switch* prp = nullptr;
  if (proto != 0) {
    prp = dom != 0 ? domain_find_proto(dom, proto, type) : nullptr;
  } else {
    prp = domain_find_type(dom, type);
  }
  if (prp == nullptr || prp->pr_usrreqs == nullptr || prp->pr_usrreqs->pru_attach == nullptr)
    return BSD_EPROTONOSUPPORT;
  if (p->p_ucred != nullptr && p->p_ucred->cr_restricted_addr != 0 && dom != AF_LOCAL && dom != AF_INET &&
      dom != AF_ROUTE) {
    return BSD_EPROTONOSUPPORT;
  }
  if (prp->pr_type != type) return BSD_EPROTOTYPE;
  socket* so = get_socket();
  if (so == nullptr) return BSD_ENOBUFS;
  so->so_type = static_cast<std::int16_t>(type);
  so->so_cred = p->p_ucred;
  crhold(so->so_cred);
  so->so_proto = prp;
  const int error = prp->pr_usrreqs->pru_attach(so, proto, p);
  if (error != 0) {
    so->so_state |= SS_NOFDREF;
    sofree(so);
    return error;
  }
  *aso = so;
  return 0;
}

void soqinsque(socket* head, socket* so, int complete) {
  AcquireListLock();
  so->so_head = head;
  socket** queue = complete ? &head->so_comp : &head->so_incomp;
  so->so_list_next = nullptr;
  while (*queue != nullptr) queue = &(*queue)->so_list_next;
  so->so_list_prevp = queue;
  *queue = so;
  if (complete) {
    so->so_state |= SS_COMP;
    ++head->so_qlen;
  } else {
    so->so_state |= SS_INCOMP;
    ++head->so_incqlen;
  }
  ReleaseListLock();
}

void soqremque(socket* so, int complete) {
  socket* head = so->so_head;
  AcquireListLock();
  if (so->so_list_prevp != nullptr) {
    *so->so_list_prevp = so->so_list_next;
    if (so->so_list_next != nullptr) so->so_list_next->so_list_prevp = so->so_list_prevp;
  }
  so->so_list_next = nullptr;
  so->so_list_prevp = nullptr;
  if (complete) {
    so->so_state &= ~SS_COMP;
    --head->so_qlen;
  } else {
    so->so_state &= ~SS_INCOMP;
    --head->so_incqlen;
  }
  so->so_head = nullptr;
  ReleaseListLock();
}

socket* sonewconn(socket* head, int connstatus) {
  if (head->so_qlen + head->so_incqlen > 3 * head->so_qlimit / 2) return nullptr;
  socket* so = get_socket();
  if (so == nullptr) return nullptr;
  so->so_type = head->so_type;
  so->so_options = static_cast<std::int16_t>(head->so_options & ~SO_ACCEPTCONN);
  so->so_linger = head->so_linger;
  so->so_state = static_cast<std::int16_t>(head->so_state | SS_NOFDREF);
  so->so_proto = head->so_proto;
  so->so_timeo = head->so_timeo;
  so->so_cred = head->so_cred;
  crhold(so->so_cred);
  if (reserve_socket_buffers(so, head->so_snd.sb_hiwat, head->so_rcv.sb_hiwat) != 0 ||
      so->so_proto->pr_usrreqs->pru_attach(so, 0, nullptr) != 0) {
    // Nothing is queued for a socket that could not be made.
    sofree(so);
    return nullptr;
  }
  so->so_rcv.sb_lowat = head->so_rcv.sb_lowat;
  so->so_snd.sb_lowat = head->so_snd.sb_lowat;
  so->so_rcv.sb_timeo = head->so_rcv.sb_timeo;
  so->so_snd.sb_timeo = head->so_snd.sb_timeo;
  // It keeps SS_NOFDREF while queued: no descriptor refers to it until it
  // is accepted, so a protocol that drops it, or the listener's close,
  // frees it.
  soqinsque(head, so, connstatus ? 1 : 0);
  if (connstatus) {
    wake_socket_readers(head);
    OSPrimWakeup(&head->so_sleep);
    so->so_state |= static_cast<std::int16_t>(connstatus);
  }
  return so;
}

void socket_set_nbio(socket* so, bool on) {
  if (on) {
    so->so_state |= SS_NBIO;
  } else {
    so->so_state &= ~SS_NBIO;
  }
}

void mark_socket_connecting(socket* so) {
  so->so_state &= ~(SS_ISCONNECTED | SS_ISDISCONNECTING);
  so->so_state |= SS_ISCONNECTING;
}

void mark_socket_connected(socket* so) {
  so->so_state &= ~(SS_ISCONNECTING | SS_ISDISCONNECTING | SS_ISCONFIRMING);
  so->so_state |= SS_ISCONNECTED;
  socket* head = so->so_head;
  if (head != nullptr && (so->so_state & SS_INCOMP)) {
    if (head->so_accf != nullptr && head->so_accf->so_accept_filter != nullptr) {
      so->so_upcall = head->so_accf->so_accept_filter->accf_callback;
      so->so_upcallarg = head->so_accf->so_accept_filter_arg;
      so->so_rcv.sb_flags |= SB_UPCALL;
      if (so->so_upcall != nullptr) so->so_upcall(so, so->so_upcallarg, 0);
      return;
    }
    soqremque(so, 0);
    soqinsque(head, so, 1);
    wake_socket_readers(head);
    OSPrimWakeup(&head->so_sleep);
  } else {
    OSPrimWakeup(&so->so_sleep);
    wake_socket_readers(so);
    wake_socket_writers(so);
  }
}

void mark_socket_disconnecting(socket* so) {
  so->so_state &= ~SS_ISCONNECTING;
  so->so_state |= SS_ISDISCONNECTING | SS_CANTRCVMORE | SS_CANTSENDMORE;
  OSPrimWakeup(&so->so_sleep);
  wake_socket_writers(so);
  wake_socket_readers(so);
}

void mark_socket_disconnected(socket* so) {
  so->so_state &= ~(SS_ISCONNECTING | SS_ISCONNECTED | SS_ISDISCONNECTING);
  so->so_state |= SS_CANTRCVMORE | SS_CANTSENDMORE;
  OSPrimWakeup(&so->so_sleep);
  sbdrop(&so->so_snd, static_cast<int>(so->so_snd.sb_cc));
  wake_socket_writers(so);
  wake_socket_readers(so);
}

void socantsendmore(socket* so) {
  so->so_state |= SS_CANTSENDMORE;
  wake_socket_writers(so);
}

void socantrcvmore(socket* so) {
  so->so_state |= SS_CANTRCVMORE;
  wake_socket_readers(so);
}

int abort_socket(socket* so) {
  if (so->so_proto != nullptr && so->so_proto->pr_usrreqs->pru_abort != nullptr) {
    return so->so_proto->pr_usrreqs->pru_abort(so);
  }
  return 0;
}

void sofree(socket* so) {
  if (so->so_pcb != nullptr || !(so->so_state & SS_NOFDREF)) return;
  if (socket* head = so->so_head) {
    (void)head;
    if (so->so_state & SS_INCOMP) {
      soqremque(so, 0);
    } else if (so->so_state & SS_COMP) {
      return;  // stays on the complete queue until accepted or aborted
    } else {
      ZEK_LOG_FAILURE("sofree: not queued\n");
      so->so_head = nullptr;
    }
  }
  sbrelease(&so->so_snd, so);
  flush_socket_receive(so);
  put_socket(so);
}

void flush_socket_receive(socket* so) {
  sockbuf* sb = &so->so_rcv;
  sb->sb_flags |= SB_NOINTR;
  // Reached from a protocol timer the lock cannot be waited for; the buffer
  // is flushed all the same (a reader that holds it re-reads the buffer when
  // it wakes), but only a lock taken here is given back here.
  const bool locked = sblock(sb, 1) == 0;
  socantrcvmore(so);
  if (locked) sbunlock(sb);
  mbuf* m = sb->sb_mb;
  sb->sb_mb = nullptr;
  sb->sb_cc = 0;
  sb->sb_mbcnt = 0;
  if (m != nullptr && so->so_proto != nullptr && (so->so_proto->pr_flags & PR_RIGHTS) &&
      so->so_proto->pr_domain != nullptr && so->so_proto->pr_domain->dom_dispose != nullptr) {
    so->so_proto->pr_domain->dom_dispose(m);
  }
  mbuf_free_packets(m);
  if (so->so_cred != nullptr && so->so_cred->cr_uidinfo != nullptr) {
    charge_user_sbsize(so->so_cred->cr_uidinfo, &sb->sb_hiwat, 0, 0);
  }
  sb->sb_hiwat = 0;
  sb->sb_mbmax = 0;
}

int soclose(socket* so) {
  int error = 0;
  if (so->so_options & SO_ACCEPTCONN) {
    while (socket* sp = so->so_incomp) {
      const int aborted = abort_socket(sp);
      if (so->so_incomp == sp) {
        // The protocol left it queued: take it off and free it here.
        (void)aborted;
        soqremque(sp, 0);
        sp->so_pcb = nullptr;
        sp->so_state |= SS_NOFDREF;
        sofree(sp);
      }
    }
    while (socket* sp = so->so_comp) {
      soqremque(sp, 1);
      abort_socket(sp);
      if (sp->so_signature == SOCKET_SIGNATURE && sp->so_pcb == nullptr && (sp->so_state & SS_NOFDREF)) sofree(sp);
    }
  }
  if (so->so_pcb != nullptr) {
    if (so->so_state & SS_ISCONNECTED) {
      if (!(so->so_state & SS_ISDISCONNECTING) && so->so_proto->pr_usrreqs->pru_disconnect != nullptr) {
        error = so->so_proto->pr_usrreqs->pru_disconnect(so);
      }
      if (error == 0 && (so->so_options & SO_LINGER) &&
          !((so->so_state & SS_ISDISCONNECTING) && (so->so_state & SS_NBIO))) {
        while (so->so_state & SS_ISCONNECTED) {
          if (!OSPrimSleepObjectAlive(&so->so_sleep)) break;
          if (OSPrimTSleep(static_cast<std::int32_t>(so->so_linger * tick_rate()), &so->so_sleep) != 0) {
            error = BSD_EWOULDBLOCK;
            break;
          }
        }
      }
    }
    if (so->so_pcb != nullptr) {
      if (std::uint32_t* state = offload_word(so); state != nullptr && *state == OFFLOAD_STATE_ADAPTER) {
        if (std::uint32_t* tcp_state =
                g_pool.offload.tcp_state_word != nullptr ? g_pool.offload.tcp_state_word(so) : nullptr) {
          *tcp_state = 0;  // closed: the adapter owns the connection
        }
      }
      const int detach_error =
          so->so_proto->pr_usrreqs->pru_detach != nullptr ? so->so_proto->pr_usrreqs->pru_detach(so) : 0;
      if (error == 0) error = detach_error;
    }
  }
  if (so->so_state & SS_NOFDREF) {
    // Closed twice: the socket is not touched again.
    ZEK_LOG_FAILURE("soclose: NOFDREF\n");
    return BSD_EINVAL;
  }
  so->so_state |= SS_NOFDREF;
  sofree(so);
  return error;
}

}  // namespace zektcp
