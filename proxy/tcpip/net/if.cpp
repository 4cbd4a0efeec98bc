// Interface records: attach and detach, up and down, the index table, the
// address look-ups, multicast memberships and interface cloners.
#include <cstdio>
#include <cstring>

#include "proxy/tcpip/net/if_internal.h"
#include "proxy/tcpip/net/route.h"
#include "proxy/tcpip/netinet/in.h"
#include "proxy/tcpip/socket/domain.h"

namespace zektcp {

IfState g_if;
ifqueue ipintrq;
ifqueue arpintrq;

namespace {

std::uint32_t roundup8(std::uint32_t v) { return (v + 7) & ~7u; }

// Masked comparison of the family's bytes (after length and family).
bool masked_match(const sockaddr* addr, const sockaddr* ifa_addr, const sockaddr* mask) {
  const auto* a = reinterpret_cast<const std::uint8_t*>(addr);
  const auto* b = reinterpret_cast<const std::uint8_t*>(ifa_addr);
  const auto* m = reinterpret_cast<const std::uint8_t*>(mask);
  for (int i = 2; i < mask->sa_len; ++i) {
    if ((a[i] ^ b[i]) & m[i]) return false;
  }
  return true;
}

void free_multiaddr(ifmultiaddr* ifma) {
  if (ifma->ifma_addr != nullptr) OSPrimMemFreePtr(ifma->ifma_addr);
  OSPrimMemFreePtr(ifma);
}

void unlink_multiaddr(ifnet* ifp, ifmultiaddr* ifma) {
  AcquireListLock();
  for (ifmultiaddr** link = &ifp->if_multiaddrs; *link != nullptr; link = &(*link)->ifma_next) {
    if (*link == ifma) {
      *link = ifma->ifma_next;
      break;
    }
  }
  ReleaseListLock();
}

sockaddr* copy_sockaddr(const sockaddr* sa) {
  auto* copy = static_cast<sockaddr*>(OSPrimMemAllocPtr(sa->sa_len > sizeof(sockaddr) ? sa->sa_len : sizeof(sockaddr)));
  if (copy != nullptr) std::memcpy(copy, sa, sa->sa_len);
  return copy;
}

}  // namespace

// ---- Small helpers ------------------------------------------------------------------------
bool iface_full_name(const ifnet* ifp, char* out) {
  const int n = std::snprintf(out, IFNAMSIZ, "%s%d", ifp->if_name, ifp->if_unit);
  return n > 0 && n < IFNAMSIZ;
}

void stamp_change(ifnet* ifp) {
  timeval tv;
  tv.tv_sec = stack_time_seconds();
  tv.tv_usec = 0;
  ifp->if_data.ifi_lastchange = tv;
}

void ifa_list_append(ifnet* ifp, ifaddr* ifa) {
  AcquireListLock();
  ifa->ifa_next = nullptr;
  if (ifp->if_addrtail != nullptr) {
    ifp->if_addrtail->ifa_next = ifa;
    ifa->ifa_prevp = &ifp->if_addrtail->ifa_next;
  } else {
    ifp->if_addrhead = ifa;
    ifa->ifa_prevp = &ifp->if_addrhead;
  }
  ifp->if_addrtail = ifa;
  ReleaseListLock();
}

void ifa_list_insert_head(ifnet* ifp, ifaddr* ifa) {
  AcquireListLock();
  ifa->ifa_next = ifp->if_addrhead;
  ifa->ifa_prevp = &ifp->if_addrhead;
  if (ifp->if_addrhead != nullptr) {
    ifp->if_addrhead->ifa_prevp = &ifa->ifa_next;
  } else {
    ifp->if_addrtail = ifa;
  }
  ifp->if_addrhead = ifa;
  ReleaseListLock();
}

void ifa_list_remove(ifnet* ifp, ifaddr* ifa) {
  if (ifa->ifa_prevp == nullptr) return;
  AcquireListLock();
  *ifa->ifa_prevp = ifa->ifa_next;
  if (ifa->ifa_next != nullptr) {
    ifa->ifa_next->ifa_prevp = ifa->ifa_prevp;
  } else {
    // The new tail is the record whose next link was ifa_prevp (or none).
    ifp->if_addrtail =
        ifa->ifa_prevp == &ifp->if_addrhead
            ? nullptr
            : reinterpret_cast<ifaddr*>(reinterpret_cast<char*>(ifa->ifa_prevp) - offsetof(ifaddr, ifa_next));
  }
  ifa->ifa_next = nullptr;
  ifa->ifa_prevp = nullptr;
  ReleaseListLock();
}

// ---- Packet queues ------------------------------------------------------------------------
int if_enqueue(ifqueue* q, mbuf* m) {
  AcquireQueueLock(&q->ifq_lock);
  if (q->ifq_len >= q->ifq_maxlen) {
    ++q->ifq_drops;
    ReleaseQueueLock(&q->ifq_lock);
    return BSD_ENOBUFS;
  }
  m->m_nextpkt = nullptr;
  if (q->ifq_tail != nullptr) {
    q->ifq_tail->m_nextpkt = m;
  } else {
    q->ifq_head = m;
  }
  q->ifq_tail = m;
  ++q->ifq_len;
  ReleaseQueueLock(&q->ifq_lock);
  return 0;
}

mbuf* if_dequeue(ifqueue* q) {
  AcquireQueueLock(&q->ifq_lock);
  mbuf* m = q->ifq_head;
  if (m != nullptr) {
    q->ifq_head = m->m_nextpkt;
    if (q->ifq_head == nullptr) q->ifq_tail = nullptr;
    m->m_nextpkt = nullptr;
    --q->ifq_len;
  }
  ReleaseQueueLock(&q->ifq_lock);
  return m;
}

mbuf* if_dequeue_all(ifqueue* q) {
  AcquireQueueLock(&q->ifq_lock);
  mbuf* m = q->ifq_head;
  q->ifq_head = nullptr;
  q->ifq_tail = nullptr;
  q->ifq_len = 0;
  ReleaseQueueLock(&q->ifq_lock);
  return m;
}

void if_requeue_front(ifqueue* q, mbuf* packets) {
  if (packets == nullptr) return;
  std::int32_t n = 1;
  mbuf* last = packets;
  for (; last->m_nextpkt != nullptr; last = last->m_nextpkt) ++n;
  AcquireQueueLock(&q->ifq_lock);
  last->m_nextpkt = q->ifq_head;
  if (q->ifq_head == nullptr) q->ifq_tail = last;
  q->ifq_head = packets;
  q->ifq_len += n;
  ReleaseQueueLock(&q->ifq_lock);
}

void if_queue_flush(ifqueue* q) {
  AcquireQueueLock(&q->ifq_lock);
  mbuf* m = q->ifq_head;
  q->ifq_head = nullptr;
  q->ifq_tail = nullptr;
  q->ifq_len = 0;
  ReleaseQueueLock(&q->ifq_lock);
  mbuf_free_packets(m);
}

// ---- Globals ------------------------------------------------------------------------------
void iface_set_protocol_hooks(const InterfaceProtocolHooks* hooks) {
  g_if.hooks = hooks != nullptr ? *hooks : InterfaceProtocolHooks{};
}

const InterfaceProtocolHooks& iface_protocol_hooks() { return g_if.hooks; }

ifnet* iface_list() { return g_if.ifnet_head; }
ifnet* ifindex2ifnet(int index) { return index >= 1 && index <= IF_MAX_INDEX ? g_if.index_table[index - 1] : nullptr; }
ifaddr* iface_link_addr(int index) {
  return index >= 1 && index <= IF_MAX_INDEX ? g_if.link_addrs[index - 1] : nullptr;
}

void ifa_ref(ifaddr* ifa) {
  if (ifa != nullptr) ++ifa->ifa_refcnt;
}

void ifafree(ifaddr* ifa) {
  if (ifa == nullptr) {
    OSPrimDebugPrint("ifafree");
    return;
  }
  if (ifa->ifa_refcnt <= 0) {
    OSPrimMemFreePtr(ifa);
  } else {
    --ifa->ifa_refcnt;
  }
}

// ---- Attach and detach -----------------------------------------------------------------------
int if_attach(ifnet* ifp) {
  int slot = -1;
  for (int i = 0; i < IF_MAX_INDEX; ++i) {
    if (g_if.index_table[i] == nullptr) {
      slot = i;
      break;
    }
  }
  if (slot < 0) {
    // Every index is taken; there is no index 0 to hand out.
    ZEK_LOG_FAILURE("if_attach: no free interface index\n");
    return BSD_ENOBUFS;
  }
  OSPrimMemoryLogging("func[%s] found index[%d] \n", "get_ifnet_index", slot + 1);
  AcquireListLock();
  ifp->if_next = nullptr;
  ifp->if_prevp = g_if.ifnet_tail;
  *g_if.ifnet_tail = ifp;
  g_if.ifnet_tail = &ifp->if_next;
  ReleaseListLock();
  ifp->if_addrhead = nullptr;
  ifp->if_addrtail = nullptr;
  ifp->if_multiaddrs = nullptr;
  ifp->if_index = static_cast<std::uint16_t>(slot + 1);
  ifp->if_xflags = (ifp->if_xflags & ~0xFFFFu) | ifp->if_flags;
  stamp_change(ifp);
  g_if.index_table[slot] = ifp;

  // The link-level address and its mask, behind the common record.
  char name[IFNAMSIZ];
  if (iface_full_name(ifp, name)) {
    const std::uint32_t namelen = static_cast<std::uint32_t>(std::strlen(name));
    const std::uint32_t addrlen = ifp->if_data.ifi_addrlen;
    const std::uint32_t masklen = 8 + namelen;
    std::uint32_t socksize = masklen + addrlen;
    if (socksize < sizeof(sockaddr_dl)) socksize = sizeof(sockaddr_dl);
    socksize = roundup8(socksize);
    auto* ifa = static_cast<ifaddr*>(OSPrimMemAllocPtr(static_cast<std::uint32_t>(sizeof(ifaddr)) + 2 * socksize));
    if (ifa != nullptr) {
      auto* sdl = reinterpret_cast<sockaddr_dl*>(ifa + 1);
      sdl->sdl_len = static_cast<std::uint8_t>(socksize);
      sdl->sdl_family = AF_LINK;
      sdl->sdl_index = ifp->if_index;
      sdl->sdl_type = ifp->if_data.ifi_type;
      sdl->sdl_nlen = static_cast<std::uint8_t>(namelen);
      sdl->sdl_alen = static_cast<std::uint8_t>(addrlen);
      std::memcpy(sdl->sdl_data, name, namelen);
      if (addrlen > 0 && addrlen <= sizeof(ifp->if_ethaddr)) std::memcpy(LLADDR(sdl), ifp->if_ethaddr, addrlen);
      auto* mask = reinterpret_cast<sockaddr_dl*>(reinterpret_cast<std::uint8_t*>(sdl) + socksize);
      mask->sdl_len = static_cast<std::uint8_t>(masklen);
      std::memset(mask->sdl_data, 0xFF, namelen);
      ifa->ifa_addr = reinterpret_cast<sockaddr*>(sdl);
      ifa->ifa_netmask = reinterpret_cast<sockaddr*>(mask);
      ifa->ifa_ifp = ifp;
      ifa->ifa_rtrequest = link_route_hook;
      ifa->ifa_kind = IFA_KIND_LINK;
      ifp->if_addr = ifa;
      g_if.link_addrs[slot] = ifa;
      ifa_list_insert_head(ifp, ifa);
      OSPrimMemoryLogging("func[%s,%d] if_index[%d] ,g_if_index[%d] ifa[%p] \n", "if_attach", __LINE__, ifp->if_index,
                          slot, static_cast<void*>(ifa));
    }
  }
  rt_ifannouncemsg(ifp, IFAN_ARRIVAL);
  return 0;
}

void iface_detach(ifnet* ifp) {
  if (ifp->if_prevp == nullptr) return;  // not attached
  iface_mark_down(ifp);
  if (ifp->if_index >= 1 && ifp->if_index <= IF_MAX_INDEX && g_if.index_table[ifp->if_index - 1] == ifp) {
    g_if.index_table[ifp->if_index - 1] = nullptr;
    g_if.link_addrs[ifp->if_index - 1] = nullptr;
  }
  ifp->if_addr = nullptr;

  while (ifaddr* ifa = ifp->if_addrhead) {
    if (ifa->ifa_addr != nullptr && ifa->ifa_addr->sa_family == AF_INET) {
      ifreq request{};
      iface_full_name(ifp, request.ifr_name);
      std::memcpy(&request.ifr_ifru.ifru_addr, ifa->ifa_addr, sizeof(sockaddr));
      if (in_control(nullptr, SIOCDIFADDR, &request, ifp, nullptr) == 0) continue;
    }
    ifa_list_remove(ifp, ifa);
    if (ifa->ifa_kind == IFA_KIND_INET) {
      auto* ia = reinterpret_cast<ipv4_ifaddr*>(ifa);
      in_hash_remove(ia);
    }
    ifafree(ifa);
  }
  route_delete_for_iface(ifp);

  // Memberships left behind go with the interface; the control blocks that
  // hold them let go first.
  if (g_if.hooks.in_pcbpurgeif0 != nullptr) g_if.hooks.in_pcbpurgeif0(ifp);
  in_multi_purge(ifp);
  while (ifmultiaddr* ifma = ifp->if_multiaddrs) {
    ifp->if_multiaddrs = ifma->ifma_next;
    free_multiaddr(ifma);
  }

  rt_ifannouncemsg(ifp, IFAN_DEPARTURE);
  AcquireListLock();
  *ifp->if_prevp = ifp->if_next;
  if (ifp->if_next != nullptr) {
    ifp->if_next->if_prevp = ifp->if_prevp;
  } else {
    g_if.ifnet_tail = ifp->if_prevp;
  }
  ifp->if_next = nullptr;
  ifp->if_prevp = nullptr;
  ReleaseListLock();
  ifp->if_index = 0;
}

void iface_mark_down(ifnet* ifp) {
  ifp->if_flags &= static_cast<std::uint16_t>(~IFF_UP);
  ifp->if_xflags &= ~static_cast<std::uint32_t>(IFF_UP);
  stamp_change(ifp);
  for (ifaddr* ifa = ifp->if_addrhead; ifa != nullptr; ifa = ifa->ifa_next)
    domain_ctl_broadcast(PRC_IFDOWN, ifa->ifa_addr);
  if_queue_flush(&ifp->if_snd);
  rt_ifmsg(ifp);
}

void iface_mark_up(ifnet* ifp) {
  ifp->if_flags |= IFF_UP;
  ifp->if_xflags |= IFF_UP;
  stamp_change(ifp);
  for (ifaddr* ifa = ifp->if_addrhead; ifa != nullptr; ifa = ifa->ifa_next)
    domain_ctl_broadcast(PRC_IFUP, ifa->ifa_addr);
  rt_ifmsg(ifp);
}

ifnet* iface_lookup_by_name(const char* name) {
  if (name == nullptr) return nullptr;
  const std::size_t len = strnlen(name, IFNAMSIZ + 1);
  if (len < 2 || len > IFNAMSIZ) return nullptr;
  std::size_t digits = len;
  while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') --digits;
  if (digits == len || digits == 0) return nullptr;
  long unit = 0;
  for (std::size_t i = digits; i < len; ++i) {
    unit = unit * 10 + (name[i] - '0');
    if (unit > 1'000'000) return nullptr;
  }
  for (ifnet* ifp = g_if.ifnet_head; ifp != nullptr; ifp = ifp->if_next) {
    if (ifp->if_unit == unit && std::strlen(ifp->if_name) == digits && std::strncmp(ifp->if_name, name, digits) == 0) {
      return ifp;
    }
  }
  return nullptr;
}

// ---- Address look-ups ---------------------------------------------------------------------------
ifaddr* ifaddr_find_exact(const sockaddr* addr) {
  for (ifnet* ifp = g_if.ifnet_head; ifp != nullptr; ifp = ifp->if_next) {
    for (ifaddr* ifa = ifp->if_addrhead; ifa != nullptr; ifa = ifa->ifa_next) {
      if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != addr->sa_family) continue;
      if (sa_equal(addr, ifa->ifa_addr)) return ifa;
      if ((ifp->if_flags & IFF_BROADCAST) && ifa->ifa_dstaddr != nullptr && ifa->ifa_dstaddr->sa_len != 0 &&
          sa_equal(ifa->ifa_dstaddr, addr)) {
        return ifa;
      }
    }
  }
  return nullptr;
}

ifaddr* ifaddr_find_by_dest(const sockaddr* addr) {
  for (ifnet* ifp = g_if.ifnet_head; ifp != nullptr; ifp = ifp->if_next) {
    if (!(ifp->if_flags & IFF_POINTOPOINT)) continue;
    for (ifaddr* ifa = ifp->if_addrhead; ifa != nullptr; ifa = ifa->ifa_next) {
      if (ifa->ifa_addr != nullptr && ifa->ifa_addr->sa_family == addr->sa_family && sa_equal(addr, ifa->ifa_dstaddr)) {
        return ifa;
      }
    }
  }
  return nullptr;
}

ifaddr* ifaddr_find_by_net(const sockaddr* addr) {
  if (addr->sa_family == AF_LINK) {
    const auto* sdl = reinterpret_cast<const sockaddr_dl*>(addr);
    if (sdl->sdl_index >= 1 && sdl->sdl_index <= IF_MAX_INDEX) return g_if.link_addrs[sdl->sdl_index - 1];
  }
  ifaddr* best = nullptr;
  for (ifnet* ifp = g_if.ifnet_head; ifp != nullptr; ifp = ifp->if_next) {
    for (ifaddr* ifa = ifp->if_addrhead; ifa != nullptr; ifa = ifa->ifa_next) {
      if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != addr->sa_family) continue;
      if (addr->sa_family == AF_INET && (ifp->if_flags & IFF_POINTOPOINT)) {
        if (ifa->ifa_dstaddr != nullptr && sa_equal(addr, ifa->ifa_dstaddr)) return ifa;
        continue;
      }
      if (ifa->ifa_claim_addr != nullptr) {
        if (ifa->ifa_claim_addr(ifa, const_cast<sockaddr*>(addr))) return ifa;
        continue;
      }
      if (ifa->ifa_netmask == nullptr || !masked_match(addr, ifa->ifa_addr, ifa->ifa_netmask)) continue;
      if (best == nullptr || radix_mask_refines(ifa->ifa_netmask, best->ifa_netmask)) best = ifa;
    }
  }
  return best;
}

ifaddr* ifaddr_best_on_iface(const sockaddr* addr, ifnet* ifp) {
  if (ifp == nullptr || addr->sa_family > AF_MAX) return nullptr;
  ifaddr* first = nullptr;
  for (ifaddr* ifa = ifp->if_addrhead; ifa != nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != addr->sa_family) continue;
    if (first == nullptr) first = ifa;
    if (ifa->ifa_netmask == nullptr) {
      if (sa_equal(addr, ifa->ifa_addr) || (ifa->ifa_dstaddr != nullptr && sa_equal(addr, ifa->ifa_dstaddr)))
        return ifa;
      continue;
    }
    if (ifp->if_flags & IFF_POINTOPOINT) {
      if (ifa->ifa_dstaddr != nullptr && sa_equal(addr, ifa->ifa_dstaddr)) return ifa;
    } else if (masked_match(addr, ifa->ifa_addr, ifa->ifa_netmask)) {
      return ifa;
    }
  }
  return first;
}

void link_route_hook(int req, rtentry* rt, rt_addrinfo* info) {
  if (req != RTM_ADD || rt->rt_ifa == nullptr || rt->rt_ifa->ifa_ifp == nullptr || rt_key(rt) == nullptr) return;
  ifaddr* ifa = ifaddr_best_on_iface(rt_key(rt), rt->rt_ifa->ifa_ifp);
  if (ifa == nullptr) return;
  ifaddr* old = rt->rt_ifa;
  ifa_ref(ifa);
  rt->rt_ifa = ifa;
  ifafree(old);
  if (ifa->ifa_rtrequest != nullptr && ifa->ifa_rtrequest != link_route_hook) ifa->ifa_rtrequest(req, rt, info);
}

// ---- Multicast ------------------------------------------------------------------------------------
ifmultiaddr* iface_find_multicast(ifnet* ifp, const sockaddr* sa) {
  for (ifmultiaddr* ifma = ifp->if_multiaddrs; ifma != nullptr; ifma = ifma->ifma_next) {
    if (sa_equal(sa, ifma->ifma_addr)) return ifma;
  }
  return nullptr;
}

int iface_add_multicast(ifnet* ifp, const sockaddr* sa, ifmultiaddr** out) {
  if (out != nullptr) *out = nullptr;
  if (ifmultiaddr* existing = iface_find_multicast(ifp, sa)) {
    ++existing->ifma_refcount;
    if (out != nullptr) *out = existing;
    return 0;
  }
  sockaddr* llsa = nullptr;
  if (ifp->if_resolvemulti != nullptr) {
    const int error = ifp->if_resolvemulti(ifp, &llsa, const_cast<sockaddr*>(sa));
    if (error != 0) return error;
  }
  auto* ifma = static_cast<ifmultiaddr*>(OSPrimMemAllocPtr(sizeof(ifmultiaddr)));
  if (ifma == nullptr) {
    ZEK_LOG_FAILURE("Failed to allocate ifmultiaddr Memory");
    if (llsa != nullptr) OSPrimMemFreePtr(llsa);
    return BSD_ENOBUFS;
  }
  ifma->ifma_addr = copy_sockaddr(sa);
  if (ifma->ifma_addr == nullptr) {
    ZEK_LOG_FAILURE("Failed to allocate sockaddr Memory");
    OSPrimMemFreePtr(ifma);
    if (llsa != nullptr) OSPrimMemFreePtr(llsa);
    return BSD_ENOBUFS;
  }
  ifma->ifma_ifp = ifp;
  ifma->ifma_refcount = 1;
  rt_newmaddrmsg(RTM_NEWMADDR, ifma);
  AcquireListLock();
  ifma->ifma_next = ifp->if_multiaddrs;
  ifp->if_multiaddrs = ifma;
  ReleaseListLock();
  if (llsa != nullptr) {
    if (ifmultiaddr* ll = iface_find_multicast(ifp, llsa)) {
      ++ll->ifma_refcount;
      ifma->ifma_lladdr = ll->ifma_addr;
      OSPrimMemFreePtr(llsa);
    } else {
      auto* llma = static_cast<ifmultiaddr*>(OSPrimMemAllocPtr(sizeof(ifmultiaddr)));
      if (llma == nullptr) {
        ZEK_LOG_FAILURE("Failed to allocate ifmultiaddr Memory");
        OSPrimMemFreePtr(llsa);
      } else {
        llma->ifma_addr = llsa;
        llma->ifma_ifp = ifp;
        llma->ifma_refcount = 1;
        AcquireListLock();
        llma->ifma_next = ifp->if_multiaddrs;
        ifp->if_multiaddrs = llma;
        ReleaseListLock();
        ifma->ifma_lladdr = llsa;
        rt_newmaddrmsg(RTM_NEWMADDR, llma);
      }
    }
  }
  if (out != nullptr) *out = ifma;
  if (ifp->if_ioctl != nullptr) ifp->if_ioctl(ifp, SIOCADDMULTI, nullptr);
  return 0;
}

int iface_del_multicast(ifnet* ifp, const sockaddr* sa) {
  ifmultiaddr* ifma = iface_find_multicast(ifp, sa);
  if (ifma == nullptr) return BSD_ENOENT;
  if (ifma->ifma_refcount > 1) {
    --ifma->ifma_refcount;
    return 0;
  }
  rt_newmaddrmsg(RTM_DELMADDR, ifma);
  sockaddr* lladdr = ifma->ifma_lladdr;
  const bool is_link = ifma->ifma_addr->sa_family == AF_LINK;
  unlink_multiaddr(ifp, ifma);
  if (is_link && ifp->if_ioctl != nullptr) ifp->if_ioctl(ifp, SIOCDELMULTI, nullptr);
  free_multiaddr(ifma);
  if (lladdr != nullptr) {
    ifmultiaddr* ll = iface_find_multicast(ifp, lladdr);
    if (ll != nullptr) {
      if (ll->ifma_refcount > 1) {
        --ll->ifma_refcount;
      } else {
        rt_newmaddrmsg(RTM_DELMADDR, ll);
        unlink_multiaddr(ifp, ll);
        if (ifp->if_ioctl != nullptr) ifp->if_ioctl(ifp, SIOCDELMULTI, nullptr);
        free_multiaddr(ll);
      }
    }
  }
  return 0;
}

// ---- Cloners ---------------------------------------------------------------------------------------
int if_clone_attach(if_cloner* ifc) {
  ifc->ifc_next = g_if.cloners;
  g_if.cloners = ifc;
  ++g_if.cloner_count;
  return 0;
}

void if_clone_detach(if_cloner* ifc) {
  for (if_cloner** link = &g_if.cloners; *link != nullptr; link = &(*link)->ifc_next) {
    if (*link == ifc) {
      *link = ifc->ifc_next;
      --g_if.cloner_count;
      return;
    }
  }
}

namespace {

if_cloner* clone_lookup(const char* name, int* unit) {
  for (if_cloner* ifc = g_if.cloners; ifc != nullptr; ifc = ifc->ifc_next) {
    const std::size_t n = std::strlen(ifc->ifc_name);
    if (std::strncmp(name, ifc->ifc_name, n) != 0) continue;
    const char* rest = name + n;
    if (*rest == '\0') {
      *unit = -1;
      return ifc;
    }
    long value = 0;
    const char* p = rest;
    for (; *p >= '0' && *p <= '9'; ++p) {
      value = value * 10 + (*p - '0');
      if (value > 1'000'000) return nullptr;
    }
    if (*p != '\0') continue;
    *unit = static_cast<int>(value);
    return ifc;
  }
  return nullptr;
}

}  // namespace

int if_clone_create(char* name, std::size_t len) {
  int unit = 0;
  if (strnlen(name, len) >= len) return BSD_EINVAL;
  if_cloner* ifc = clone_lookup(name, &unit);
  if (ifc == nullptr) return BSD_EINVAL;
  if (iface_lookup_by_name(name) != nullptr) return BSD_EEXIST;
  const bool wildcard = unit < 0;
  const int error = ifc->ifc_create(ifc, &unit);
  if (error != 0) return error;
  if (wildcard) {
    char full[IFNAMSIZ + 16];
    const int n = std::snprintf(full, sizeof(full), "%s%d", ifc->ifc_name, unit);
    if (n < 0 || static_cast<std::size_t>(n) >= len || n >= IFNAMSIZ) {
      // The caller could not be told the new name: the interface goes again.
      if (ifnet* ifp = iface_lookup_by_name(full); ifp != nullptr && ifc->ifc_destroy != nullptr) ifc->ifc_destroy(ifp);
      return BSD_ENAMETOOLONG;
    }
    std::memcpy(name, full, static_cast<std::size_t>(n) + 1);
  }
  return 0;
}

int if_clone_destroy(const char* name) {
  int unit = 0;
  if_cloner* ifc = clone_lookup(name, &unit);
  if (ifc == nullptr) return BSD_EINVAL;
  ifnet* ifp = iface_lookup_by_name(name);
  if (ifp == nullptr) return BSD_ENXIO;
  if (ifc->ifc_destroy == nullptr) return BSD_EOPNOTSUPP;
  return ifc->ifc_destroy(ifp);
}

int if_clone_list(if_clonereq* req) {
  if (req->ifcr_count < 0) return BSD_EINVAL;
  req->ifcr_total = static_cast<std::int32_t>(g_if.cloner_count);
  if (req->ifcr_count == 0 || req->ifcr_buffer == nullptr) return 0;
  int count = req->ifcr_count < req->ifcr_total ? req->ifcr_count : req->ifcr_total;
  char* out = req->ifcr_buffer;
  for (if_cloner* ifc = g_if.cloners; ifc != nullptr && count > 0; ifc = ifc->ifc_next, --count, out += IFNAMSIZ) {
    std::memset(out, 0, IFNAMSIZ);
    std::memcpy(out, ifc->ifc_name, strnlen(ifc->ifc_name, IFNAMSIZ - 1));
  }
  return 0;
}

// ---- Start and stop ---------------------------------------------------------------------------------
void iface_start() {
  g_if = IfState{};
  g_if.ifnet_tail = &g_if.ifnet_head;
  ipintrq = ifqueue{};
  arpintrq = ifqueue{};
  ipintrq.ifq_maxlen = IFQ_MAXLEN;
  arpintrq.ifq_maxlen = IFQ_MAXLEN;
}

void iface_stop() {
  while (g_if.ifnet_head != nullptr) iface_detach(g_if.ifnet_head);
  if_queue_flush(&ipintrq);
  if_queue_flush(&arpintrq);
  g_if = IfState{};
  g_if.ifnet_tail = &g_if.ifnet_head;
}

}  // namespace zektcp
