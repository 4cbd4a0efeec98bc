// The SYN cache and SYN cookies (RFC 4987): a SYN to a listening socket
// makes a small entry, not a socket; the SYN-ACK comes from the entry and
// its initial sequence number is a cookie, so that the ACK completing the
// handshake can make the socket even after the entry was evicted. Entries
// sit in a hash of buckets and in four timer queues (SYN-ACK resent after
// 3, 9 and 21 seconds; gone 45 seconds after the SYN).
#include <cstring>

#include "proxy/tcpip/netinet/tcp_var.h"

namespace zektcp {

const std::uint16_t tcp_syncookie_mss_table[4] = {0, 536, 1460, 8960};

namespace {

struct Bucket {
  syncache* head;
  std::uint32_t count;
};

struct TimerQueue {
  syncache* head;
  syncache** tailp;
  callout timer;
};

struct CookieSecret {
  std::uint32_t words[4];
  std::uint32_t expiry;
  bool drawn;
};

struct SynCache {
  Bucket buckets[SYNCACHE_HASHSIZE];
  TimerQueue queues[SYNCACHE_TIMER_SLOTS];
  CookieSecret secrets[SYNCOOKIE_SECRET_SLOTS];
  std::uint32_t secret;
  std::uint32_t count;
  bool ready;
};

SynCache g_sc;

bool tick_reached(std::uint32_t when) { return static_cast<std::int32_t>(stack_ticks() - when) >= 0; }

std::uint32_t bucket_of(const syncache_endpoints& ep) {
  return (ep.faddr ^ (ep.faddr >> 16) ^ ep.fport ^ ep.lport ^ g_sc.secret) & (SYNCACHE_HASHSIZE - 1);
}

bool same_ends(const syncache_endpoints& a, const syncache_endpoints& b) {
  return a.fport == b.fport && a.lport == b.lport && a.faddr == b.faddr && a.laddr == b.laddr;
}

syncache* find(const syncache_endpoints& ep) {
  for (syncache* sc = g_sc.buckets[bucket_of(ep)].head; sc != nullptr; sc = sc->bucket_next) {
    if (same_ends(sc->ep, ep)) return sc;
  }
  return nullptr;
}

void timer_unlink(syncache* sc) {
  TimerQueue& q = g_sc.queues[sc->timer_slot];
  *sc->timer_prevp = sc->timer_next;
  if (sc->timer_next != nullptr) {
    sc->timer_next->timer_prevp = sc->timer_prevp;
  } else {
    q.tailp = sc->timer_prevp;
  }
  sc->timer_next = nullptr;
  sc->timer_prevp = nullptr;
  if (q.head == nullptr) callout_disarm(&q.timer);
}

void syncache_timer(void* arg);

void arm(syncache* sc, int slot) {
  sc->timer_slot = static_cast<std::uint16_t>(slot);
  const std::uint32_t interval = 3 * tick_rate() * tcp_rto_mult[slot];
  sc->rexmit_due = stack_ticks() + interval;
  TimerQueue& q = g_sc.queues[slot];
  {
    NetLockScope lock;
    sc->timer_next = nullptr;
    sc->timer_prevp = q.tailp;
    *q.tailp = sc;
    q.tailp = &sc->timer_next;
  }
  if (!callout_pending(&q.timer)) {
    callout_arm(&q.timer, static_cast<std::int32_t>(interval), syncache_timer,
                reinterpret_cast<void*>(static_cast<std::uintptr_t>(slot)));
  }
}

void remove(syncache* sc) {
  Bucket& b = g_sc.buckets[bucket_of(sc->ep)];
  {
    NetLockScope lock;
    *sc->bucket_prevp = sc->bucket_next;
    if (sc->bucket_next != nullptr) sc->bucket_next->bucket_prevp = sc->bucket_prevp;
    if (sc->timer_prevp != nullptr) timer_unlink(sc);
  }
  --b.count;
  --g_sc.count;
  OSPrimMemFreePtr(sc);
}

// The cache overflowed: cookies are honoured for a while on this listener.
void note_overflow(syncache* sc) {
  sc->listen_cb->ts_recent = stack_ticks();
  sc->listen_cb->ts_recent_age = 1;
}

void drop_oldest() {
  for (int slot = SYNCACHE_TIMER_SLOTS - 1; slot >= 0; --slot) {
    if (syncache* sc = g_sc.queues[slot].head) {
      ++g_tcpstat.sc_cacheoverflow;
      note_overflow(sc);
      remove(sc);
      return;
    }
  }
}

void link(syncache* sc) {
  Bucket& b = g_sc.buckets[bucket_of(sc->ep)];
  if (b.count >= SYNCACHE_BUCKETLIMIT) {
    ++g_tcpstat.sc_bucketoverflow;
    syncache* oldest = b.head;
    note_overflow(oldest);
    remove(oldest);
  } else if (g_sc.count >= SYNCACHE_CACHELIMIT) {
    drop_oldest();
  }
  arm(sc, 0);
  {
    NetLockScope lock;
    syncache** pp = &b.head;
    while (*pp != nullptr) pp = &(*pp)->bucket_next;  // the oldest stays first
    sc->bucket_next = nullptr;
    sc->bucket_prevp = pp;
    *pp = sc;
  }
  ++b.count;
  ++g_sc.count;
  ++g_tcpstat.sc_added;
}

std::uint32_t cookie_digest(const syncache_endpoints& ep, const CookieSecret& s) {
  std::uint8_t buf[28];
  std::memcpy(buf, &ep.laddr, 4);
  std::memcpy(buf + 4, &ep.faddr, 4);
  std::memcpy(buf + 8, s.words, 16);
  std::memcpy(buf + 24, &ep.lport, 2);
  std::memcpy(buf + 26, &ep.fport, 2);
  md5_ctx ctx;
  md5_init(&ctx);
  md5_add_bytes(&ctx, buf, sizeof(buf));
  std::uint8_t digest[16];
  md5_get_digest(digest, &ctx);
  std::uint32_t word;
  std::memcpy(&word, digest, 4);
  return word;
}

// The secret slot of the current half second. The slot number is taken
// from the tick count in 64 bits, so it does not jump when ticks x 2
// passes 2^32.
std::uint32_t current_slot() {
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(stack_ticks()) * 2 / tick_rate()) &
         (SYNCOOKIE_SECRET_SLOTS - 1);
}

std::uint8_t wscale_for(const socket* so) {
  std::uint8_t shift = 0;
  while (shift < TCP_MAX_WINSHIFT && (static_cast<std::uint32_t>(TCP_MAXWIN) << shift) < so->so_rcv.sb_hiwat) ++shift;
  return shift;
}

std::uint16_t window_of(socket* so) {
  std::int64_t space = sbspace(&so->so_rcv);
  if (space < 0) space = 0;
  if (space > TCP_MAXWIN) space = TCP_MAXWIN;
  return static_cast<std::uint16_t>(space);
}

int send_synack(syncache* sc) {
  inpcb* linp = sc->listen_cb->owning_inpcb;
  std::uint32_t mss = 512;
  sockaddr_in dst = make_sockaddr_in(0);
  dst.sin_addr.s_addr = sc->ep.faddr;
  if (rtentry* rt = rtalloc1(reinterpret_cast<sockaddr*>(&dst), 0, 0)) {
    if (rt->rt_ifp != nullptr && rt->rt_ifp->if_data.ifi_mtu > sizeof(tcpiphdr) + 64) {
      mss = rt->rt_ifp->if_data.ifi_mtu - sizeof(tcpiphdr);
      if (mss > 65535) mss = 65535;
    }
    rtfree(rt);
  }
  std::uint8_t opt[TCP_MAXOLEN];
  int optlen = 0;
  if (!(sc->entry_flags & SYNF_NO_OPTIONS)) {
    opt[optlen++] = TCPOPT_MAXSEG;
    opt[optlen++] = TCPOLEN_MAXSEG;
    opt[optlen++] = static_cast<std::uint8_t>(mss >> 8);
    opt[optlen++] = static_cast<std::uint8_t>(mss);
    if (sc->entry_flags & SYNF_WSCALE) {
      opt[optlen++] = TCPOPT_NOP;
      opt[optlen++] = TCPOPT_WINDOW;
      opt[optlen++] = TCPOLEN_WINDOW;
      opt[optlen++] = sc->local_wscale;
    }
    if (sc->entry_flags & SYNF_TSTAMP) {
      opt[optlen++] = TCPOPT_NOP;
      opt[optlen++] = TCPOPT_NOP;
      opt[optlen++] = TCPOPT_TIMESTAMP;
      opt[optlen++] = TCPOLEN_TIMESTAMP;
      const std::uint32_t tsval = htonl(stack_ticks());
      const std::uint32_t tsecr = htonl(sc->peer_tstamp);
      std::memcpy(opt + optlen, &tsval, 4);
      std::memcpy(opt + optlen + 4, &tsecr, 4);
      optlen += 8;
    }
  }
  const int total = static_cast<int>(sizeof(tcpiphdr)) + optlen;
  if (largest_link_header + total > MHLEN) {
    OSPrimDebugPrint("syncache: mbuf too small\n");
    return BSD_ENOBUFS;
  }
  mbuf* m = nullptr;
  if (GetMBufHdr(&m, M_DONTWAIT, MT_HEADER) != 0 || m == nullptr) return BSD_ENOBUFS;
  m->m_data += largest_link_header;
  m->m_len = total;
  m->mh.m_pkthdr.len = total;
  m->mh.m_pkthdr.rcvif = nullptr;
  auto* ti = mtod<tcpiphdr>(m);
  std::memset(ti, 0, sizeof(*ti));
  ti->ti_i.ip_vhl = IP_VHL_BORING();
  ti->ti_i.ip_len = static_cast<std::uint16_t>(total);
  ti->ti_i.ip_ttl = linp->inp_ip_ttl;
  ti->ti_i.ip_tos = linp->inp_ip_tos;
  ti->ti_i.ip_p = IPPROTO_TCP;
  ti->ti_i.ip_src.s_addr = sc->ep.laddr;
  ti->ti_i.ip_dst.s_addr = sc->ep.faddr;
  ti->ti_i.ip_off = (sc->entry_flags & SYNF_UNREACHABLE) ? 0 : IP_DF;
  ti->ti_t.th_sport = sc->ep.lport;
  ti->ti_t.th_dport = sc->ep.fport;
  ti->ti_t.th_seq = htonl(sc->local_isn);
  ti->ti_t.th_ack = htonl(sc->peer_isn + 1);
  ti->ti_t.th_x2off = static_cast<std::uint8_t>(((sizeof(tcphdr) + optlen) / 4) << 4);
  ti->ti_t.th_flags = TH_SYN | TH_ACK;
  ti->ti_t.th_win = htons(sc->offered_window);
  if (optlen > 0) std::memcpy(m->m_data + sizeof(tcpiphdr), opt, static_cast<std::size_t>(optlen));
  ti->ti_t.th_sum =
      in_pseudo(sc->ep.laddr, sc->ep.faddr, htonl(static_cast<std::uint32_t>(sizeof(tcphdr) + optlen) + IPPROTO_TCP));
  m->mh.m_pkthdr.csum_flags = CSUM_TCP;
  m->mh.m_pkthdr.csum_data = static_cast<std::int32_t>(offsetof(tcphdr, th_sum));
  ++g_tcpstat.sndtotal;
  return ip_output(m, nullptr, nullptr, 0, nullptr);
}

void syncache_timer(void* arg) {
  const auto slot = static_cast<int>(reinterpret_cast<std::uintptr_t>(arg));
  if (slot < 0 || slot >= SYNCACHE_TIMER_SLOTS) {
    OSPrimDebugPrint("func[%s] Line[%d]: \n", "syncache_timer", 513);
    OSPrimDebugPrint("Slot is Out of bound %d \n", slot);
    return;
  }
  TimerQueue& q = g_sc.queues[slot];
  if (callout_pending(&q.timer) || !(q.timer.c_flags & CALLOUT_ACTIVE)) return;
  q.timer.c_flags &= ~CALLOUT_ACTIVE;
  while (syncache* sc = q.head) {
    if (!tick_reached(sc->rexmit_due)) break;
    const bool live_listener = sc->listen_cb->owning_inpcb->inp_gencnt == sc->listen_gen;
    if (slot < SYNCACHE_TIMER_SLOTS - 1 && sc->rexmits < SYNCACHE_MAXREXMTS && live_listener) {
      send_synack(sc);
      ++sc->rexmits;
      ++g_tcpstat.sc_retransmitted;
      {
        NetLockScope lock;
        timer_unlink(sc);
      }
      arm(sc, slot + 1);
    } else {
      ++g_tcpstat.sc_stale;
      remove(sc);
    }
  }
  if (syncache* first = q.head) {
    const std::int32_t left = static_cast<std::int32_t>(first->rexmit_due - stack_ticks());
    callout_arm(&q.timer, left > 0 ? left : 1, syncache_timer, arg);
  }
}

syncache* cookie_entry(const syncache_endpoints& ep, const tcphdr* th, socket* lso) {
  tcp_ctl_block* ltp = sototcpcb(lso);
  const std::uint32_t data = (th->th_seq - 1) ^ (th->th_ack - 1);
  const CookieSecret& secret = g_sc.secrets[data & (SYNCOOKIE_SECRET_SLOTS - 1)];
  if (!secret.drawn || tick_reached(secret.expiry)) return nullptr;
  // Cookies count only shortly after the cache last overflowed.
  if (ltp == nullptr || ltp->ts_recent_age == 0 || tick_reached(ltp->ts_recent + 16 * tick_rate())) return nullptr;
  const std::uint32_t word = cookie_digest(ep, secret);
  if (((data ^ word) & ~0x7Fu) != 0) return nullptr;
  auto* sc = static_cast<syncache*>(OSPrimMemAllocPtr(sizeof(syncache)));
  if (sc == nullptr) return nullptr;
  std::memset(sc, 0, sizeof(*sc));
  sc->ep = ep;
  sc->listen_cb = ltp;
  sc->listen_gen = ltp->owning_inpcb->inp_gencnt;
  sc->peer_isn = th->th_seq - 1;
  sc->local_isn = th->th_ack - 1;
  sc->offered_window = window_of(lso);
  sc->peer_mss = tcp_syncookie_mss_table[((data ^ word) >> 5) & 3];
  return sc;
}

socket* make_socket(syncache* sc, socket* lso) {
  if (lso->so_qlen + lso->so_incqlen > 3 * lso->so_qlimit / 2) {
    ++g_tcpstat.listendrop;
    return nullptr;
  }
  // The new socket copies the listener and has its buffers and control
  // block, or it is not made at all.
  socket* so = sonewconn(lso, 0);
  if (so == nullptr) {
    ++g_tcpstat.listendrop;
    return nullptr;
  }
  inpcb* inp = sotoinpcb(so);
  tcp_ctl_block* tp = intotcpcb(inp);
  tcp_ctl_block* ltp = sc->listen_cb;
  inp_laddr(inp).s_addr = sc->ep.laddr;
  inp->inp_lport = sc->ep.lport;
  inp->inp_ip_ttl = ltp->owning_inpcb->inp_ip_ttl;
  inp->inp_ip_tos = ltp->owning_inpcb->inp_ip_tos;
  if (inpcb_insert_hash(inp) != 0) {
    inp_laddr(inp).s_addr = INADDR_ANY;
    inp->inp_lport = 0;
    abort_socket(so);
    return nullptr;
  }
  sockaddr_in peer = make_sockaddr_in(0);
  peer.sin_addr.s_addr = sc->ep.faddr;
  peer.sin_port = sc->ep.fport;
  if (inpcb_connect(inp, reinterpret_cast<sockaddr*>(&peer), nullptr) != 0) {
    abort_socket(so);
    return nullptr;
  }
  tp->conn_state = TCPS_SYN_RECEIVED;
  tp->iss = sc->local_isn;
  tp->irs = sc->peer_isn;
  tp->snd_una = tp->snd_up = tp->recover = tp->rto_high_seq = tp->bw_seq = tp->iss;
  tp->snd_nxt = tp->snd_max = tp->iss + 1;  // the SYN-ACK went out
  tp->rcv_nxt = tp->rcv_up = tp->irs + 1;
  tp->rcv_right_edge = tp->rcv_nxt + sc->offered_window;
  tp->rcv_wnd = sc->offered_window;
  tp->snd_wl1 = tp->irs;
  tp->conn_flags = ltp->conn_flags & (TCPF_NO_PUSH | TCPF_NO_DELAY);
  if (sc->entry_flags & SYNF_NO_OPTIONS) tp->conn_flags |= TCPF_NO_OPTIONS;
  if (sc->entry_flags & SYNF_WSCALE) {
    tp->conn_flags |= TCPF_WANT_WSCALE | TCPF_GOT_WSCALE;
    tp->peer_snd_shift = sc->peer_wscale;
    tp->req_rcv_shift = sc->local_wscale;
    tp->snd_wnd_shift = sc->peer_wscale;
    tp->rcv_wnd_shift = sc->local_wscale;
  }
  if (sc->entry_flags & SYNF_TSTAMP) {
    tp->conn_flags |= TCPF_WANT_TSTAMP | TCPF_GOT_TSTAMP;
    tp->ts_recent = sc->peer_tstamp;
    tp->ts_recent_age = stack_ticks();
  }
  tcp_set_mss(tp, sc->peer_mss);
  if (sc->rexmits > 0) tp->snd_cwnd = static_cast<std::uint32_t>(tp->snd_mss);
  tcp_timer_arm(tp, TT_KEEP, static_cast<std::int32_t>(tcp_tun.connect_timeout));
  ++g_tcpstat.accepts;
  return so;
}

}  // namespace

void syncache_init() {
  std::memset(&g_sc, 0, sizeof(g_sc));
  for (TimerQueue& q : g_sc.queues) {
    q.tailp = &q.head;
    callout_init(&q.timer);
  }
  g_sc.secret = rc4rand_u32();
  g_sc.ready = true;
}

void syncache_stop() {
  if (!g_sc.ready) return;
  for (TimerQueue& q : g_sc.queues) callout_disarm(&q.timer);
  for (Bucket& b : g_sc.buckets) {
    while (b.head != nullptr) remove(b.head);
  }
  g_sc.ready = false;
}

std::uint32_t syncache_count() { return g_sc.count; }

std::uint32_t syncookie_make(const syncache* sc) {
  const std::uint32_t slot = current_slot();
  CookieSecret& s = g_sc.secrets[slot];
  if (!s.drawn || tick_reached(s.expiry)) {
    for (std::uint32_t& w : s.words) w = rc4rand_u32();
    s.expiry = stack_ticks() + 16 * tick_rate();
    s.drawn = true;
  }
  std::uint32_t mss_index = 0;
  for (std::uint32_t i = 3; i >= 1; --i) {
    if (sc->peer_mss >= tcp_syncookie_mss_table[i]) {
      mss_index = i;
      break;
    }
  }
  ++g_tcpstat.sc_sendcookie;
  return ((mss_index << 5) | slot) ^ sc->peer_isn ^ (cookie_digest(sc->ep, s) & ~0x1Fu);
}

int syncache_enter_syn(const syncache_endpoints& ep, const tcpopt& to, const tcphdr* th, socket* lso, mbuf* m) {
  tcp_ctl_block* ltp = sototcpcb(lso);
  if (ltp == nullptr) return 0;
  if (syncache* sc = find(ep)) {
    // The SYN again: the same SYN-ACK again.
    ++g_tcpstat.sc_dupsyn;
    if ((sc->entry_flags & SYNF_TSTAMP) && (to.opt_flags & OPTF_TSTAMP)) sc->peer_tstamp = to.opt_tsval;
    sc->listen_cb = ltp;
    sc->listen_gen = ltp->owning_inpcb->inp_gencnt;
    if (send_synack(sc) == 0) {
      {
        NetLockScope lock;
        timer_unlink(sc);
      }
      arm(sc, sc->timer_slot);
    }
    mbuf_free_chain(m);
    return 1;
  }
  auto* sc = static_cast<syncache*>(OSPrimMemAllocPtr(sizeof(syncache)));
  if (sc == nullptr) {
    drop_oldest();
    sc = static_cast<syncache*>(OSPrimMemAllocPtr(sizeof(syncache)));
    if (sc == nullptr) return 0;
  }
  std::memset(sc, 0, sizeof(*sc));
  sc->listen_cb = ltp;
  sc->listen_gen = ltp->owning_inpcb->inp_gencnt;
  sc->ep = ep;
  sc->peer_isn = th->th_seq;
  sc->peer_mss = (to.opt_flags & OPTF_MSS) ? to.opt_mss : 0;
  sc->offered_window = window_of(lso);
  if (to.opt_flags & OPTF_TSTAMP) {
    sc->entry_flags |= SYNF_TSTAMP;
    sc->peer_tstamp = to.opt_tsval;
  }
  if (to.opt_flags & OPTF_WSCALE) {
    sc->entry_flags |= SYNF_WSCALE;
    sc->peer_wscale = to.opt_wscale;
    sc->local_wscale = wscale_for(lso);
  }
  if (ltp->conn_flags & TCPF_NO_OPTIONS) sc->entry_flags = SYNF_NO_OPTIONS;
  sc->local_isn = syncookie_make(sc);
  mbuf_free_chain(m);
  if (send_synack(sc) != 0) {
    ++g_tcpstat.sc_dropped;
    OSPrimMemFreePtr(sc);
    return 1;
  }
  link(sc);
  return 1;
}

socket* syncache_complete(const syncache_endpoints& ep, const tcphdr* th, socket* lso, bool* reset) {
  *reset = false;
  syncache* sc = find(ep);
  bool from_cookie = false;
  if (sc == nullptr) {
    sc = cookie_entry(ep, th, lso);
    if (sc == nullptr) {
      ++g_tcpstat.sc_badack;
      *reset = true;
      return nullptr;
    }
    from_cookie = true;
    ++g_tcpstat.sc_recvcookie;
  }
  if (th->th_ack != sc->local_isn + 1 || SEQ_LEQ(th->th_seq, sc->peer_isn) ||
      SEQ_GT(th->th_seq, sc->peer_isn + 1 + sc->offered_window)) {
    ++g_tcpstat.sc_badack;
    if (from_cookie) OSPrimMemFreePtr(sc);
    *reset = true;
    return nullptr;
  }
  socket* so = make_socket(sc, lso);
  if (from_cookie) {
    OSPrimMemFreePtr(sc);
  } else {
    remove(sc);
  }
  if (so == nullptr) {
    ++g_tcpstat.sc_aborted;
    OSPrimDebugPrint("tcp_input: unable to complete 3 way handshake \n");
    return nullptr;
  }
  ++g_tcpstat.sc_completed;
  return so;
}

void syncache_reset(const syncache_endpoints& ep, const tcphdr* th) {
  syncache* sc = find(ep);
  if (sc == nullptr) return;
  if (SEQ_GEQ(th->th_seq, sc->peer_isn + 1) && SEQ_LEQ(th->th_seq, sc->peer_isn + 1 + sc->offered_window)) {
    ++g_tcpstat.sc_reset;
    remove(sc);
  }
}

void syncache_unreach(const syncache_endpoints& ep, tcp_seq quoted_seq) {
  syncache* sc = find(ep);
  if (sc == nullptr || quoted_seq != sc->local_isn) return;
  if ((sc->entry_flags & SYNF_UNREACHABLE) && sc->rexmits > 2) {
    ++g_tcpstat.sc_unreach;
    remove(sc);
    return;
  }
  sc->entry_flags |= SYNF_UNREACHABLE;
}

void syncache_forget_listener(tcp_ctl_block* listener) {
  if (!g_sc.ready) return;
  for (Bucket& b : g_sc.buckets) {
    syncache* sc = b.head;
    while (sc != nullptr) {
      syncache* next = sc->bucket_next;
      if (sc->listen_cb == listener) remove(sc);
      sc = next;
    }
  }
}

}  // namespace zektcp
