// The IPv4 tree's hooks: flags on insertion, re-use of cloned host routes,
// their expiry after their last reference is gone, the periodic expiry walk
// with its crowding cut, and the removal of an address's routes.
#include <cstring>

#include "proxy/tcpip/netinet/in.h"

namespace zektcp {

namespace {

struct InRouteState {
  std::uint32_t reallyold;  // expiry time of unreferenced clones, seconds
  std::int64_t last_adjusted;
  callout walk_callout;
  radix_node_head* head;
  bool draining;
};

InRouteState g_in;

struct RtqKillArg {
  radix_node_head* rnh;
  bool draining;
  bool updating;
  std::uint32_t found;
  std::uint32_t killed;
  std::int64_t nextstop;
};

std::uint32_t sin_addr_of(const sockaddr* sa) { return reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr; }

radix_node* in_addroute(const void* key, const void* mask, radix_node_head* head, radix_node* nodes) {
  nodes->rn_key = static_cast<const std::uint8_t*>(key);
  nodes->rn_mask = static_cast<const std::uint8_t*>(mask);
  rtentry* rt = in_route_add_hook(reinterpret_cast<rtentry*>(nodes), head);
  return rt != nullptr ? &rt->rt_node : nullptr;
}

radix_node* in_matroute(const void* key, radix_node_head* head) {
  rtentry* rt = in_route_match_hook(static_cast<const sockaddr*>(key), head);
  return rt != nullptr ? &rt->rt_node : nullptr;
}

int rtqkill(radix_node* rn, void* rock) {
  auto* ap = static_cast<RtqKillArg*>(rock);
  auto* rt = reinterpret_cast<rtentry*>(rn);
  if (!(rt->rt_flags & RTF_RTQ_EXPIRE)) return 0;
  ++ap->found;
  const std::int64_t now = stack_time_seconds();
  if (ap->draining || rt->rt_rmx.rmx_expire <= now) {
    if (rt->rt_refcnt > 0) {
      // Marked yet referenced: never expired from under its holder.
      ZEK_LOG_FAILURE("rtqkill route really not free\n");
      rt->rt_flags &= ~RTF_RTQ_EXPIRE;
      rt->rt_rmx.rmx_expire = 0;
      return 0;
    }
    const int error = rtrequest_by_addrs(RTM_DELETE, rt_key(rt), rt->rt_gateway, rt_mask(rt),
                                         static_cast<int>(rt->rt_flags), nullptr);
    if (error != 0) {
      ZEK_LOG_FAILURE("in_rtqkill: error %d\n", error);
    } else {
      ++ap->killed;
    }
  } else {
    if (ap->updating && rt->rt_rmx.rmx_expire - now > g_in.reallyold) {
      rt->rt_rmx.rmx_expire = static_cast<std::uint32_t>(now + g_in.reallyold);
    }
    if (rt->rt_rmx.rmx_expire < ap->nextstop) ap->nextstop = rt->rt_rmx.rmx_expire;
  }
  return 0;
}

struct IfaDownArg {
  ifaddr* ifa;
  bool deleting;
};

int ifadownkill(radix_node* rn, void* rock) {
  auto* ap = static_cast<IfaDownArg*>(rock);
  auto* rt = reinterpret_cast<rtentry*>(rn);
  if (rt->rt_ifa != ap->ifa || (!ap->deleting && (rt->rt_flags & RTF_STATIC))) return 0;
  // No clone may grow from a route that is going away.
  rt->rt_flags &= ~(RTF_CLONING | RTF_PRCLONING);
  const int error =
      rtrequest_by_addrs(RTM_DELETE, rt_key(rt), rt->rt_gateway, rt_mask(rt), static_cast<int>(rt->rt_flags), nullptr);
  if (error != 0) ZEK_LOG_FAILURE("in_ifadownkill: error %d\n", error);
  return 0;
}

}  // namespace

std::uint32_t in_route_expire_secs() { return g_in.reallyold; }

rtentry* in_route_add_hook(rtentry* rt, radix_node_head* head) {
  const sockaddr* key = rt_key(rt);
  const std::uint32_t address = ntohl(sin_addr_of(key));
  if (IN_MULTICAST(address)) rt->rt_flags |= RTF_MULTICAST;
  if (!(rt->rt_flags & (RTF_HOST | RTF_CLONING | RTF_MULTICAST))) rt->rt_flags |= RTF_PRCLONING;
  if (rt->rt_flags & RTF_HOST) {
    if (in_is_broadcast(sin_addr_of(key), rt->rt_ifp)) {
      rt->rt_flags |= RTF_BROADCAST;
    } else if (rt->rt_ifa != nullptr && rt->rt_ifa->ifa_addr != nullptr && rt->rt_ifa->ifa_addr->sa_family == AF_INET &&
               sin_addr_of(rt->rt_ifa->ifa_addr) == sin_addr_of(key)) {
      rt->rt_flags |= RTF_LOCAL;
    }
  }
  if (rt->rt_rmx.rmx_mtu == 0 && !(rt->rt_rmx.rmx_locks & RTV_MTU) && rt->rt_ifp != nullptr) {
    rt->rt_rmx.rmx_mtu = rt->rt_ifp->if_data.ifi_mtu;
  }
  radix_node* rn = radix_add_route(rt->rt_node.rn_key, rt->rt_node.rn_mask, head, &rt->rt_node);
  if (rn == nullptr && (rt->rt_flags & RTF_HOST)) {
    // A neighbour entry (a host route with link information) is replaced.
    rtentry* rt2 = rtalloc1(const_cast<sockaddr*>(key), 0, RTF_CLONING | RTF_PRCLONING);
    if (rt2 != nullptr) {
      if ((rt2->rt_flags & RTF_LLINFO) && (rt2->rt_flags & RTF_HOST) && rt2->rt_gateway != nullptr &&
          rt2->rt_gateway->sa_family == AF_LINK) {
        rtrequest_by_addrs(RTM_DELETE, rt_key(rt2), rt2->rt_gateway, rt_mask(rt2), static_cast<int>(rt2->rt_flags),
                           nullptr);
        rn = radix_add_route(rt->rt_node.rn_key, rt->rt_node.rn_mask, head, &rt->rt_node);
      }
      rtfree(rt2);
    }
  }
  return rn != nullptr ? rt : nullptr;
}

rtentry* in_route_match_hook(const sockaddr* dst, radix_node_head* head) {
  radix_node* rn = radix_match(dst, head);
  if (rn == nullptr) return nullptr;
  auto* rt = reinterpret_cast<rtentry*>(rn);
  if (rt->rt_refcnt == 0 && (rt->rt_flags & RTF_RTQ_EXPIRE)) {
    // Used again before it expired: it stays.
    rt->rt_flags &= ~RTF_RTQ_EXPIRE;
    rt->rt_rmx.rmx_expire = 0;
  }
  return rt;
}

void in_route_close_hook(radix_node* rn, radix_node_head*) {
  auto* rt = reinterpret_cast<rtentry*>(rn);
  if (!(rt->rt_flags & RTF_UP)) return;
  if ((rt->rt_flags & (RTF_LLINFO | RTF_HOST)) != RTF_HOST) return;
  if ((rt->rt_flags & (RTF_WASCLONED | RTF_RTQ_EXPIRE)) != RTF_WASCLONED) return;
  if (g_in.reallyold == 0) {
    // Deleted at once; the release in progress frees the record.
    rtentry* deleted = nullptr;
    rtrequest_by_addrs(RTM_DELETE, rt_key(rt), rt->rt_gateway, rt_mask(rt), static_cast<int>(rt->rt_flags), &deleted);
  } else {
    rt->rt_flags |= RTF_RTQ_EXPIRE;
    rt->rt_rmx.rmx_expire = static_cast<std::uint32_t>(stack_time_seconds() + g_in.reallyold);
  }
}

void in_route_expiry_walk(void* rock) {
  auto* rnh = static_cast<radix_node_head*>(rock);
  if (rnh == nullptr || rnh != g_in.head) return;
  const std::int64_t now = stack_time_seconds();
  RtqKillArg arg{};
  arg.rnh = rnh;
  arg.nextstop = now + RTQ_TIMEOUT;
  arg.draining = g_in.draining;
  rnh->rnh_walktree(rnh, rtqkill, &arg);
  if (arg.found - arg.killed > RTQ_TOOMANY && now - g_in.last_adjusted >= RTQ_TIMEOUT &&
      g_in.reallyold > RTQ_EXPIRE_MIN) {
    // Crowded: cut the expiry time to two thirds and bring the others forward.
    g_in.reallyold = 2 * g_in.reallyold / 3;
    if (g_in.reallyold < RTQ_EXPIRE_MIN) g_in.reallyold = RTQ_EXPIRE_MIN;
    g_in.last_adjusted = now;
    arg.found = arg.killed = 0;
    arg.updating = true;
    rnh->rnh_walktree(rnh, rtqkill, &arg);
  }
  std::int64_t seconds = arg.nextstop - now;
  if (seconds < 0) seconds = 0;
  const std::int64_t ticks = seconds * 1000 / stack_tick_ms();
  callout_arm(&g_in.walk_callout, static_cast<std::int32_t>(ticks), in_route_expiry_walk, rnh);
}

void in_rtqdrain() {
  if (g_in.head == nullptr) return;
  RtqKillArg arg{};
  arg.rnh = g_in.head;
  arg.nextstop = 0;
  arg.draining = true;
  g_in.head->rnh_walktree(g_in.head, rtqkill, &arg);
}

int in_tree_create(void** head, int offset) {
  if (*head != nullptr) return 1;
  if (!rn_inithead(head, offset)) return 0;
  auto* rnh = static_cast<radix_node_head*>(*head);
  rnh->rnh_addaddr = in_addroute;
  rnh->rnh_matchaddr = in_matroute;
  rnh->rnh_close = in_route_close_hook;
  g_in = InRouteState{};
  g_in.reallyold = RTQ_EXPIRE_DEFAULT;
  g_in.last_adjusted = stack_time_seconds();
  g_in.head = rnh;
  callout_init(&g_in.walk_callout);
  in_route_expiry_walk(rnh);
  return 1;
}

void in_tree_stop() {
  callout_disarm(&g_in.walk_callout);
  g_in.head = nullptr;
}

void in_addr_routes_down(ifaddr* ifa, bool deleting) {
  if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET) return;
  radix_node_head* rnh = rt_tree(AF_INET);
  if (rnh != nullptr) {
    IfaDownArg arg{ifa, deleting};
    rnh->rnh_walktree(rnh, ifadownkill, &arg);
  }
  ifa->ifa_flags &= ~IFA_ROUTE;
}

}  // namespace zektcp
