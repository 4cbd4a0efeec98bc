// Route records, look-up with cloning, and the add/delete/resolve requests.
#include "proxy/tcpip/net/route.h"

#include <cstring>

#include "proxy/tcpip/socket/domain.h"

namespace zektcp {

namespace {

radix_node_head* g_rt_tables[AF_MAX + 1];
rtstat g_rtstat;
const RouteReporter* g_reporter;

std::uint32_t roundup4(std::uint32_t len) { return len > 0 ? 1 + ((len - 1) | 3) : 4; }

bool reporting() { return g_reporter != nullptr && (g_reporter->listening == nullptr || g_reporter->listening()); }

void free_route_record(rtentry* rt) {
  if (rt->rt_ifa != nullptr) ifafree(rt->rt_ifa);
  rtentry* parent = rt->rt_parent;
  if (rt->rt_keyblock != nullptr) OSPrimMemFreePtr(rt->rt_keyblock);
  OSPrimMemFreePtr(rt);
  if (parent != nullptr) rtfree(parent);
}

// Deletes clones of a cloning route that is going away.
int fixdelete(radix_node* rn, void* vp) {
  auto* rt = reinterpret_cast<rtentry*>(rn);
  auto* rt0 = static_cast<rtentry*>(vp);
  if (rt->rt_parent == rt0 && !(rt->rt_flags & (RTF_PINNED | RTF_CLONING | RTF_PRCLONING))) {
    return rtrequest_by_addrs(RTM_DELETE, rt_key(rt), nullptr, rt_mask(rt), static_cast<int>(rt->rt_flags), nullptr);
  }
  return 0;
}

// A network route was added or changed: clones taken from a less specific
// route that it now covers are deleted (the next look-up clones from the
// new route), and cached gateway routes it covers are dropped.
int fixchange(radix_node* rn, void* vp) {
  auto* rt = reinterpret_cast<rtentry*>(rn);
  auto* rt0 = static_cast<rtentry*>(vp);
  if (rt == rt0) return 0;
  if (rt->rt_gwroute != nullptr) {
    rtentry* gw = rt->rt_gwroute;
    rt->rt_gwroute = nullptr;
    rtfree(gw);
  }
  if (rt->rt_parent == nullptr || (rt->rt_flags & RTF_PINNED)) return 0;
  if (rt->rt_parent == rt0) return 0;
  const sockaddr* parent_mask = rt_mask(rt->rt_parent);
  const sockaddr* new_mask = rt_mask(rt0);
  if (parent_mask != nullptr && new_mask != nullptr && !radix_mask_refines(new_mask, parent_mask)) return 0;
  return rtrequest_by_addrs(RTM_DELETE, rt_key(rt), nullptr, rt_mask(rt), static_cast<int>(rt->rt_flags), nullptr);
}

}  // namespace

// ---- Reporting ------------------------------------------------------------------------
void route_set_reporter(const RouteReporter* reporter) { g_reporter = reporter; }

void rt_missmsg(int type, rt_addrinfo* info, int flags, int error) {
  if (reporting() && g_reporter->missmsg != nullptr) g_reporter->missmsg(type, info, flags, error);
}
void rt_newaddrmsg(int cmd, ifaddr* ifa, int error, rtentry* rt) {
  if (reporting() && g_reporter->newaddrmsg != nullptr) g_reporter->newaddrmsg(cmd, ifa, error, rt);
}
void rt_ifmsg(ifnet* ifp) {
  if (reporting() && g_reporter->ifmsg != nullptr) g_reporter->ifmsg(ifp);
}
void rt_ifannouncemsg(ifnet* ifp, int what) {
  if (reporting() && g_reporter->ifannouncemsg != nullptr) g_reporter->ifannouncemsg(ifp, what);
}
void rt_newmaddrmsg(int cmd, ifmultiaddr* ifma) {
  if (reporting() && g_reporter->newmaddrmsg != nullptr) g_reporter->newmaddrmsg(cmd, ifma);
}

const rtstat& route_stats() { return g_rtstat; }

radix_node_head* rt_tree(int family) { return family >= 0 && family <= AF_MAX ? g_rt_tables[family] : nullptr; }

// ---- The trees' memory and the pins held by tree walks ------------------------------------------
namespace {

void* tree_alloc(std::size_t bytes) { return OSPrimMemAllocPtr(static_cast<std::uint32_t>(bytes)); }
void tree_release(void* block) { OSPrimMemFreePtr(block); }

void walk_pin(radix_node* rn) { ++reinterpret_cast<rtentry*>(rn)->rt_pins; }

// A deleted route that a walk still held goes with the last unpin.
void walk_unpin(radix_node* rn) {
  auto* rt = reinterpret_cast<rtentry*>(rn);
  if (--rt->rt_pins == 0 && rt->rt_free_pending) free_route_record(rt);
}

constexpr radix_hooks kTreeHooks = {tree_alloc, tree_release, walk_pin, walk_unpin};

}  // namespace

// ---- Start and stop ---------------------------------------------------------------------------
void rn_init() {
  radix_set_hooks(&kTreeHooks);
  for (domain* dp = domain_list(); dp != nullptr; dp = dp->dom_next) {
    if (dp->dom_rtattach == nullptr) continue;
    if (dp->dom_maxrtkey <= 0 || dp->dom_maxrtkey > RADIX_MAX_KEY) {
      OSPrimDebugPrint("rn_init: radix functions require max_keylen be set\n");
      continue;
    }
    if (dp->dom_family < 0 || dp->dom_family > AF_MAX) continue;
    void* head = g_rt_tables[dp->dom_family];
    if (!dp->dom_rtattach(&head, dp->dom_rtoffset)) {
      ZEK_LOG_FAILURE("rn_init 2\n");
      continue;
    }
    g_rt_tables[dp->dom_family] = static_cast<radix_node_head*>(head);
  }
}

namespace {
int force_delete(radix_node* rn, void* arg) {
  auto* head = static_cast<radix_node_head*>(arg);
  auto* rt = reinterpret_cast<rtentry*>(rn);
  head->rnh_deladdr(rt_key(rt), rt_mask(rt), head);
  if (rt->rt_gwroute != nullptr) {
    rtentry* gw = rt->rt_gwroute;
    rt->rt_gwroute = nullptr;
    --gw->rt_refcnt;
  }
  rt->rt_flags &= ~RTF_UP;
  rt->rt_refcnt = 0;
  rtentry* parent = rt->rt_parent;
  rt->rt_parent = nullptr;
  if (parent != nullptr) --parent->rt_refcnt;
  rt->rt_free_pending = true;  // freed when the walk releases it
  return 0;
}
}  // namespace

void route_stop() {
  for (radix_node_head*& head : g_rt_tables) {
    if (head == nullptr) continue;
    head->rnh_close = nullptr;
    rn_walktree(head, force_delete, head);
    rn_freehead(head);
    head = nullptr;
  }
  radix_set_hooks(nullptr);
  std::memset(&g_rtstat, 0, sizeof(g_rtstat));
}

// ---- Look-up and release -------------------------------------------------------------------------
rtentry* rtalloc1(sockaddr* dst, int report, std::uint32_t ignore_flags) {
  radix_node_head* rnh = rt_tree(dst->sa_family);
  rtentry* newrt = nullptr;
  rt_addrinfo info{};
  int error = 0;
  int msgtype = RTM_MISS;
  radix_node* rn = rnh != nullptr ? rnh->rnh_matchaddr(dst, rnh) : nullptr;
  if (rn != nullptr && !(rn->rn_flags & RNF_ROOT)) {
    rtentry* rt = reinterpret_cast<rtentry*>(rn);
    newrt = rt;
    const std::uint32_t nflags = rt->rt_flags & ~ignore_flags;
    if (report && (nflags & (RTF_CLONING | RTF_PRCLONING))) {
      rtentry* clone = rt;
      error = rtrequest_by_addrs(RTM_RESOLVE, dst, nullptr, nullptr, 0, &clone);
      if (error != 0) {
        // The parent serves instead, and the failure is reported.
        newrt = rt;
        ++rt->rt_refcnt;
      } else {
        newrt = clone;
        if (clone->rt_flags & RTF_XRESOLVE) {
          msgtype = RTM_RESOLVE;
        } else {
          info.rti_info[RTAX_DST] = rt_key(clone);
          info.rti_info[RTAX_NETMASK] = rt_mask(clone);
          info.rti_info[RTAX_GENMASK] = clone->rt_genmask;
          if (clone->rt_ifp != nullptr && clone->rt_ifp->if_addr != nullptr) {
            info.rti_info[RTAX_IFP] = clone->rt_ifp->if_addr->ifa_addr;
          }
          if (clone->rt_ifa != nullptr) info.rti_info[RTAX_IFA] = clone->rt_ifa->ifa_addr;
          rt_missmsg(RTM_ADD, &info, static_cast<int>(clone->rt_flags), 0);
          return newrt;
        }
      }
    } else {
      ++rt->rt_refcnt;
      return newrt;
    }
  } else {
    ++g_rtstat.rts_unreach;
  }
  if (report) {
    info = rt_addrinfo{};
    info.rti_info[RTAX_DST] = dst;
    rt_missmsg(msgtype, &info, 0, error);
  }
  return newrt;
}

void route_cache_refresh(route_cache* ro, std::uint32_t ignore_flags) {
  if (ro->ro_rt != nullptr && ro->ro_rt->rt_ifp != nullptr && (ro->ro_rt->rt_flags & RTF_UP)) return;
  if (ro->ro_rt != nullptr) {
    rtfree(ro->ro_rt);
    ro->ro_rt = nullptr;
  }
  ro->ro_rt = rtalloc1(&ro->ro_dst, 1, ignore_flags);
}

void rtfree(rtentry* rt) {
  radix_node_head* rnh = rt_tree(rt_key(rt)->sa_family);
  if (rnh == nullptr) panic("rtfree");
  --rt->rt_refcnt;
  if (rnh->rnh_close != nullptr && rt->rt_refcnt == 0) rnh->rnh_close(&rt->rt_node, rnh);
  if (rt->rt_refcnt > 0 || (rt->rt_flags & RTF_UP)) return;
  if (rt->rt_node.rn_flags & (RNF_ACTIVE | RNF_ROOT)) panic("rtfree 2");
  if (rt->rt_free_pending) return;  // freed already, or by the walk holding it
  --g_rtstat.rts_trash;
  if (rt->rt_refcnt < 0) {
    OSPrimDebugPrint("rtfree: %p not freed (neg refs)\n", static_cast<void*>(rt));
    return;
  }
  if (rt->rt_pins > 0) {
    rt->rt_free_pending = true;
    return;
  }
  rt->rt_free_pending = true;
  free_route_record(rt);
}

// ---- Requests ----------------------------------------------------------------------------------------
int rtrequest_by_addrs(int req, sockaddr* dst, sockaddr* gateway, sockaddr* netmask, int flags, rtentry** ret) {
  rt_addrinfo info{};
  info.rti_flags = flags;
  info.rti_info[RTAX_DST] = dst;
  info.rti_info[RTAX_GATEWAY] = gateway;
  info.rti_info[RTAX_NETMASK] = netmask;
  return rtrequest(req, &info, ret);
}

void route_masked_copy(const sockaddr* src, sockaddr* dst, const sockaddr* netmask) {
  const auto* cp1 = reinterpret_cast<const std::uint8_t*>(src);
  auto* cp2 = reinterpret_cast<std::uint8_t*>(dst);
  const int len = src->sa_len;
  const auto* mask = reinterpret_cast<const std::uint8_t*>(netmask);
  cp2[0] = static_cast<std::uint8_t>(len);
  cp2[1] = cp1[1];
  // The address family's bytes before the key offset (IPv4: the port) are
  // not part of the key and come out zero, as do bytes past the mask.
  for (int i = 2; i < len; ++i) {
    const std::uint8_t m = i < netmask->sa_len ? mask[i] : 0;
    cp2[i] = static_cast<std::uint8_t>(cp1[i] & m);
  }
}

int route_set_gateway(rtentry* rt, sockaddr* dst, sockaddr* gate) {
  const std::uint32_t dlen = roundup4(dst->sa_len);
  const std::uint32_t glen = roundup4(gate->sa_len);
  if ((rt->rt_flags & (RTF_HOST | RTF_GATEWAY | RTF_LLINFO)) == (RTF_HOST | RTF_GATEWAY) && sa_equal(dst, gate)) {
    // A host route through itself: refused, and removed when it exists.
    if (rt->rt_node.rn_flags & RNF_ACTIVE) {
      rtrequest_by_addrs(RTM_DELETE, rt_key(rt), rt->rt_gateway, rt_mask(rt), static_cast<int>(rt->rt_flags), nullptr);
    }
    return BSD_EADDRNOTAVAIL;
  }
  if (rt->rt_keyblock == nullptr || glen > rt->rt_gwspace) {
    // Key, gateway and mask share one block: a larger gateway moves all.
    const std::uint32_t mlen = RADIX_MAX_KEY;
    auto* block = static_cast<std::uint8_t*>(OSPrimMemAllocPtr(dlen + glen + mlen));
    if (block == nullptr) return BSD_ENOBUFS;
    const auto* old_key = rt->rt_node.rn_key;
    const auto* old_mask = rt->rt_node.rn_mask;
    std::memcpy(block, old_key != nullptr ? old_key : reinterpret_cast<const std::uint8_t*>(dst),
                old_key != nullptr ? old_key[0] : dst->sa_len);
    std::uint8_t* mask_copy = block + dlen + glen;
    if (old_mask != nullptr) std::memcpy(mask_copy, old_mask, old_mask[0]);
    if (rt->rt_keyblock != nullptr) {
      rt->rt_node.rn_key = block;
      if (old_mask != nullptr) rt->rt_node.rn_mask = mask_copy;
      OSPrimMemFreePtr(rt->rt_keyblock);
    } else {
      rt->rt_node.rn_key = block;
    }
    rt->rt_keyblock = block;
    rt->rt_gwspace = glen;
    rt->rt_gateway = reinterpret_cast<sockaddr*>(block + dlen);
  }
  std::memset(rt->rt_gateway, 0, rt->rt_gwspace);
  std::memcpy(rt->rt_gateway, gate, gate->sa_len);
  if (rt->rt_gwroute != nullptr) {
    rtentry* old = rt->rt_gwroute;
    rt->rt_gwroute = nullptr;
    rtfree(old);
  }
  if (rt->rt_flags & RTF_GATEWAY) {
    rt->rt_gwroute = rtalloc1(gate, 1, RTF_PRCLONING);
    if (rt->rt_gwroute == rt) {
      // The gateway resolves through this very route.
      rtentry* self = rt->rt_gwroute;
      rt->rt_gwroute = nullptr;
      rtfree(self);
      return BSD_EROUTELOOP;
    }
  }
  radix_node_head* rnh = rt_tree(dst->sa_family);
  if (rnh != nullptr && rt_mask(rt) != nullptr && (rt->rt_node.rn_flags & RNF_ACTIVE)) {
    rnh->rnh_walktree_from(rnh, rt_key(rt), rt_mask(rt), fixchange, rt);
  }
  return 0;
}

int rtrequest(int req, rt_addrinfo* info, rtentry** ret, radix_node_head* tree) {
  sockaddr* dst = info->rti_info[RTAX_DST];
  sockaddr* gateway = info->rti_info[RTAX_GATEWAY];
  sockaddr* netmask = info->rti_info[RTAX_NETMASK];
  auto flags = static_cast<std::uint32_t>(info->rti_flags);
  if (dst == nullptr) return BSD_EINVAL;
  radix_node_head* rnh = tree != nullptr ? tree : rt_tree(dst->sa_family);
  if (rnh == nullptr) return BSD_EAFNOSUPPORT;
  if (flags & RTF_HOST) {
    netmask = nullptr;
    flags &= ~(RTF_CLONING | RTF_PRCLONING);
  }
  rtentry* parent = nullptr;
  ifaddr* ifa = nullptr;
  switch (req) {
    case RTM_DELETE: {
      radix_node* rn = rnh->rnh_deladdr(dst, netmask, rnh);
      if (rn == nullptr) return BSD_ESRCH;
      if (rn->rn_flags & (RNF_ACTIVE | RNF_ROOT)) panic("rtrequest delete");
      auto* rt = reinterpret_cast<rtentry*>(rn);
      if (rt_mask(rt) != nullptr && (rt->rt_flags & (RTF_CLONING | RTF_PRCLONING))) {
        rnh->rnh_walktree_from(rnh, dst, rt_mask(rt), fixdelete, rt);
      }
      if (rt->rt_gwroute != nullptr) {
        rtentry* gw = rt->rt_gwroute;
        rt->rt_gwroute = nullptr;
        rtfree(gw);
      }
      rt->rt_flags &= ~RTF_UP;
      if (rt->rt_ifa != nullptr && rt->rt_ifa->ifa_rtrequest != nullptr)
        rt->rt_ifa->ifa_rtrequest(RTM_DELETE, rt, info);
      ++g_rtstat.rts_trash;
      if (ret != nullptr) {
        *ret = rt;
      } else if (rt->rt_refcnt <= 0) {
        ++rt->rt_refcnt;
        rtfree(rt);
      }
      return 0;
    }
    case RTM_RESOLVE: {
      if (ret == nullptr || *ret == nullptr) return BSD_EINVAL;
      parent = *ret;
      ifa = parent->rt_ifa;
      flags = (parent->rt_flags & ~(RTF_CLONING | RTF_PRCLONING | RTF_STATIC)) | RTF_WASCLONED;
      gateway = parent->rt_gateway;
      netmask = parent->rt_genmask;
      if (netmask == nullptr) flags |= RTF_HOST;
      break;
    }
    case RTM_ADD: {
      if ((flags & RTF_GATEWAY) && gateway == nullptr) {
        OSPrimDebugPrint("rtrequest: GATEWAY but no gateway");
        return BSD_EINVAL;
      }
      if (gateway == nullptr) return BSD_EINVAL;
      if (info->rti_ifa == nullptr) {
        const int error = route_pick_ifaddr(info);
        if (error != 0) return error;
      }
      ifa = info->rti_ifa;
      break;
    }
    default:
      return BSD_EOPNOTSUPP;
  }

  auto* rt = static_cast<rtentry*>(OSPrimMemAllocPtr(sizeof(rtentry)));
  if (rt == nullptr) return BSD_ENOBUFS;
  rt->rt_flags = RTF_UP | flags;
  int error = route_set_gateway(rt, dst, gateway);
  if (error != 0) {
    if (rt->rt_keyblock != nullptr) OSPrimMemFreePtr(rt->rt_keyblock);
    OSPrimMemFreePtr(rt);
    return error;
  }
  auto* ndst = reinterpret_cast<sockaddr*>(rt->rt_keyblock);
  sockaddr* nmask = nullptr;
  if (netmask != nullptr) {
    route_masked_copy(dst, ndst, netmask);
    nmask = reinterpret_cast<sockaddr*>(rt->rt_keyblock + roundup4(dst->sa_len) + rt->rt_gwspace);
    std::memcpy(nmask, netmask, netmask->sa_len);
  } else {
    std::memcpy(ndst, dst, dst->sa_len);
  }
  ifa_ref(ifa);
  rt->rt_ifa = ifa;
  rt->rt_ifp = ifa->ifa_ifp;
  radix_node* rn = rnh->rnh_addaddr(ndst, nmask, rnh, &rt->rt_node);
  if (rn == nullptr) {
    // A clone of the same key stands in the way: delete it and retry once.
    rtentry* rt2 = rtalloc1(dst, 0, RTF_PRCLONING);
    if (rt2 != nullptr && rt2->rt_parent != nullptr) {
      rtrequest_by_addrs(RTM_DELETE, rt_key(rt2), rt2->rt_gateway, rt_mask(rt2), static_cast<int>(rt2->rt_flags),
                         nullptr);
      rtfree(rt2);
      rn = rnh->rnh_addaddr(ndst, nmask, rnh, &rt->rt_node);
    } else if (rt2 != nullptr) {
      rtfree(rt2);
    }
  }
  if (rn == nullptr) {
    if (rt->rt_gwroute != nullptr) rtfree(rt->rt_gwroute);
    ifafree(ifa);
    OSPrimMemFreePtr(rt->rt_keyblock);
    OSPrimMemFreePtr(rt);
    return BSD_EEXIST;
  }
  if (req == RTM_RESOLVE) {
    rt->rt_rmx = parent->rt_rmx;
    rt->rt_rmx.rmx_pksent = 0;
    if (parent->rt_flags & (RTF_CLONING | RTF_PRCLONING)) {
      rt->rt_parent = parent;
      ++parent->rt_refcnt;
    }
  }
  if (ifa->ifa_rtrequest != nullptr) ifa->ifa_rtrequest(req, rt, info);
  if (!(rt->rt_flags & RTF_HOST) && rt_mask(rt) != nullptr) {
    rnh->rnh_walktree_from(rnh, rt_key(rt), rt_mask(rt), fixchange, rt);
  }
  if (ret != nullptr) {
    *ret = rt;
    ++rt->rt_refcnt;
  }
  return 0;
}

// ---- Interface addresses and routes --------------------------------------------------------------
ifaddr* ifaddr_find_for_route(int flags, sockaddr* dst, sockaddr* gateway) {
  ifaddr* ifa = nullptr;
  if (!(flags & static_cast<int>(RTF_GATEWAY))) {
    if (flags & static_cast<int>(RTF_HOST)) ifa = ifaddr_find_by_dest(dst);
    if (ifa == nullptr) ifa = ifaddr_find_exact(gateway);
  } else {
    ifa = ifaddr_find_by_dest(gateway);
  }
  if (ifa == nullptr) ifa = ifaddr_find_by_net(gateway);
  if (ifa == nullptr) {
    rtentry* rt = rtalloc1(gateway, 0, 0);
    if (rt == nullptr) return nullptr;
    ifa = rt->rt_ifa;
    rtfree(rt);
    if (ifa == nullptr) return nullptr;
  }
  if (ifa->ifa_addr->sa_family != dst->sa_family) {
    ifaddr* other = ifaddr_best_on_iface(dst, ifa->ifa_ifp);
    if (other != nullptr) ifa = other;
  }
  return ifa;
}

int route_pick_ifaddr(rt_addrinfo* info) {
  sockaddr* dst = info->rti_info[RTAX_DST];
  sockaddr* gateway = info->rti_info[RTAX_GATEWAY];
  sockaddr* ifpaddr = info->rti_info[RTAX_IFP];
  sockaddr* ifaaddr = info->rti_info[RTAX_IFA];
  if (info->rti_ifp == nullptr && ifpaddr != nullptr && ifpaddr->sa_family == AF_LINK) {
    ifaddr* ifa = ifaddr_find_by_net(ifpaddr);
    if (ifa != nullptr) info->rti_ifp = ifa->ifa_ifp;
  }
  if (info->rti_ifa == nullptr && ifaaddr != nullptr) info->rti_ifa = ifaddr_find_exact(ifaaddr);
  if (info->rti_ifa == nullptr) {
    sockaddr* sa = ifaaddr != nullptr ? ifaaddr : (gateway != nullptr ? gateway : dst);
    if (sa != nullptr && info->rti_ifp != nullptr) {
      info->rti_ifa = ifaddr_best_on_iface(sa, info->rti_ifp);
    } else if (dst != nullptr && gateway != nullptr) {
      info->rti_ifa = ifaddr_find_for_route(info->rti_flags, dst, gateway);
    } else if (sa != nullptr) {
      info->rti_ifa = ifaddr_find_for_route(info->rti_flags, sa, sa);
    }
  }
  if (info->rti_ifa == nullptr) return BSD_ENETUNREACH;
  if (info->rti_ifp == nullptr) info->rti_ifp = info->rti_ifa->ifa_ifp;
  return 0;
}

int route_apply_redirect(sockaddr* dst, sockaddr* gateway, sockaddr* netmask, int flags, sockaddr* src, rtentry** ret) {
  int error = 0;
  std::uint32_t* stat = nullptr;
  rtentry* rt = nullptr;
  ifaddr* ifa = ifaddr_find_by_net(gateway);
  if (ifa == nullptr) {
    error = BSD_ENETUNREACH;
  } else {
    rt = rtalloc1(dst, 0, 0);
    if (!(flags & static_cast<int>(RTF_DONE)) && rt != nullptr &&
        (!sa_equal(src, rt->rt_gateway) || rt->rt_ifa != ifa)) {
      error = BSD_EINVAL;  // only the current router may redirect
    } else if (ifaddr_find_exact(gateway) != nullptr) {
      error = BSD_EHOSTUNREACH;  // the new gateway is one of our addresses
    }
    if (error == 0) {
      if (rt == nullptr || (rt_mask(rt) != nullptr && rt_mask(rt)->sa_len < 2) ||
          ((rt->rt_flags & RTF_GATEWAY) && !(rt->rt_flags & RTF_HOST))) {
        if (rt != nullptr) rtfree(rt);
        rt = nullptr;
        flags |= static_cast<int>(RTF_GATEWAY | RTF_HOST | RTF_DYNAMIC);
        rt_addrinfo info{};
        info.rti_flags = flags;
        info.rti_info[RTAX_DST] = dst;
        info.rti_info[RTAX_GATEWAY] = gateway;
        info.rti_info[RTAX_NETMASK] = netmask;
        info.rti_ifa = ifa;
        error = rtrequest(RTM_ADD, &info, &rt);
        if (rt != nullptr) flags = static_cast<int>(rt->rt_flags);
        stat = &g_rtstat.rts_dynamic;
      } else if (rt->rt_flags & RTF_GATEWAY) {
        rt->rt_flags |= RTF_MODIFIED;
        flags |= static_cast<int>(RTF_MODIFIED);
        stat = &g_rtstat.rts_newgateway;
        error = route_set_gateway(rt, rt_key(rt), gateway);
      } else {
        error = BSD_EHOSTUNREACH;
      }
    }
    if (rt != nullptr) {
      if (ret != nullptr && error == 0) {
        *ret = rt;
      } else {
        rtfree(rt);
      }
    }
  }
  if (error != 0) {
    ++g_rtstat.rts_badredirect;
  } else if (stat != nullptr) {
    ++*stat;
  }
  rt_addrinfo info{};
  info.rti_info[RTAX_DST] = dst;
  info.rti_info[RTAX_GATEWAY] = gateway;
  info.rti_info[RTAX_NETMASK] = netmask;
  info.rti_info[RTAX_AUTHOR] = src;
  if (reporting() && g_reporter->redirectmsg != nullptr) g_reporter->redirectmsg(&info, flags, error);
  return error;
}

int ifaddr_route_request(ifaddr* ifa, int req, int flags) {
  sockaddr* dst = (flags & static_cast<int>(RTF_HOST)) ? ifa->ifa_dstaddr : ifa->ifa_addr;
  if (dst == nullptr) return BSD_EINVAL;
  sockaddr_in masked{};
  if (req == RTM_DELETE) {
    sockaddr* lookup_mask = nullptr;
    if (!(flags & static_cast<int>(RTF_HOST)) && ifa->ifa_netmask != nullptr) {
      if (dst->sa_len > sizeof(masked)) return BSD_ENOBUFS;
      route_masked_copy(dst, reinterpret_cast<sockaddr*>(&masked), ifa->ifa_netmask);
      dst = reinterpret_cast<sockaddr*>(&masked);
      lookup_mask = ifa->ifa_netmask;
    }
    radix_node_head* rnh = rt_tree(dst->sa_family);
    radix_node* rn = rnh != nullptr ? rnh->rnh_lookup(dst, lookup_mask, rnh) : nullptr;
    if (rn == nullptr || (rn->rn_flags & RNF_ROOT) || reinterpret_cast<rtentry*>(rn)->rt_ifa != ifa) {
      return (flags & static_cast<int>(RTF_HOST)) ? BSD_EHOSTUNREACH : BSD_ENETUNREACH;
    }
  }
  rt_addrinfo info{};
  info.rti_ifa = ifa;
  info.rti_flags = flags | ifa->ifa_flags;
  info.rti_info[RTAX_DST] = dst;
  info.rti_info[RTAX_GATEWAY] = ifa->ifa_addr;
  info.rti_info[RTAX_NETMASK] = ifa->ifa_netmask;
  rtentry* nrt = nullptr;
  const int error = rtrequest(req, &info, &nrt);
  if (error == 0 && nrt != nullptr) {
    rt_newaddrmsg(req, ifa, error, nrt);
    if (req == RTM_DELETE) {
      if (nrt->rt_refcnt <= 0) {
        ++nrt->rt_refcnt;
        rtfree(nrt);
      }
    } else if (req == RTM_ADD) {
      --nrt->rt_refcnt;  // the tree keeps the route
    }
  }
  return error;
}

namespace {
int delete_if_iface(radix_node* rn, void* arg) {
  auto* rt = reinterpret_cast<rtentry*>(rn);
  auto* ifp = static_cast<ifnet*>(arg);
  if (rt->rt_ifp != ifp || !(rt->rt_flags & RTF_UP)) return 0;
  const int error =
      rtrequest_by_addrs(RTM_DELETE, rt_key(rt), rt->rt_gateway, rt_mask(rt), static_cast<int>(rt->rt_flags), nullptr);
  if (error != 0) ZEK_LOG_FAILURE("if_rtdel: error %d\n", error);
  return 0;
}
}  // namespace

void route_delete_for_iface(ifnet* ifp) {
  for (radix_node_head* head : g_rt_tables) {
    if (head != nullptr) head->rnh_walktree(head, delete_if_iface, ifp);
  }
}

}  // namespace zektcp
