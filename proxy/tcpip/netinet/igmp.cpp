// IGMP, host side, versions 1 and 2 (RFC 1112, RFC 2236): a report when a
// group is joined, answers to queries after a random delay, suppression by
// other members' reports, leaves, and per-interface tracking of version-1
// routers.
#include <cstring>

#include "proxy/tcpip/netinet/in.h"
#include "proxy/tcpip/netinet/raw_ip.h"

namespace zektcp {

igmpstat g_igmpstat;

namespace {

constexpr std::uint32_t kAllHosts = 0xE0000001;    // 224.0.0.1
constexpr std::uint32_t kAllRouters = 0xE0000002;  // 224.0.0.2

// What IGMP knows of an interface's router.
struct router_info {
  router_info* next;
  ifnet* ifp;
  std::uint32_t type;  // IGMP_V1_ROUTER or IGMP_V2_ROUTER
  std::uint32_t age;   // slow ticks since the last version-1 query
};

struct IgmpState {
  router_info* routers;
  bool timers_running;
  std::uint32_t seed;
  route_cache route;
};

IgmpState g_igmp;

// The minimal standard generator (multiplier 16807, modulus 2^31 - 1).
std::uint32_t next_random() {
  g_igmp.seed = static_cast<std::uint32_t>((static_cast<std::uint64_t>(g_igmp.seed) * 16807) % 2147483647u);
  return g_igmp.seed;
}

std::uint32_t random_delay(std::uint32_t limit) { return next_random() % (limit > 0 ? limit : 1) + 1; }

router_info* find_router(ifnet* ifp, bool create) {
  for (router_info* rti = g_igmp.routers; rti != nullptr; rti = rti->next) {
    if (rti->ifp == ifp) return rti;
  }
  if (!create) return nullptr;
  auto* rti = static_cast<router_info*>(OSPrimMemAllocPtr(sizeof(router_info)));
  if (rti == nullptr) return nullptr;
  rti->ifp = ifp;
  rti->type = IGMP_V2_ROUTER;
  rti->age = 0;
  rti->next = g_igmp.routers;
  g_igmp.routers = rti;
  return rti;
}

std::uint32_t router_type_of(const in_multi* inm) {
  const auto* rti = static_cast<const router_info*>(inm->inm_rti);
  return rti != nullptr ? rti->type : IGMP_V2_ROUTER;
}

std::uint8_t report_type(const in_multi* inm) {
  return router_type_of(inm) == IGMP_V1_ROUTER ? IGMP_V1_MEMBERSHIP_REPORT : IGMP_V2_MEMBERSHIP_REPORT;
}

ipv4_ifaddr* first_inet_of(ifnet* ifp) {
  for (ifaddr* ifa = ifp->if_addrhead; ifa != nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr != nullptr && ifa->ifa_addr->sa_family == AF_INET) return reinterpret_cast<ipv4_ifaddr*>(ifa);
  }
  return nullptr;
}

// The options record of every message: no first hop, then the router-alert
// option (RFC 2113: 148, length 4).
mbuf* router_alert() {
  mbuf* m = nullptr;
  if (GetMBuf(&m, M_DONTWAIT, MT_SOOPTS) != 0) return nullptr;
  static constexpr std::uint8_t kBlock[8] = {0, 0, 0, 0, IPOPT_RA, 4, 0, 0};
  std::memcpy(m->m_data, kBlock, sizeof(kBlock));
  m->m_len = sizeof(kBlock);
  return m;
}

// An 8-byte message behind a 20-byte header, to the group on its own
// interface, TTL 1, never looped back, with the router-alert option.
void send_message(in_multi* inm, std::uint8_t type, std::uint32_t dst) {
  mbuf* m = nullptr;
  if (GetMBufHdr(&m, M_DONTWAIT, MT_HEADER) != 0) return;
  constexpr int kLen = static_cast<int>(sizeof(ip) + sizeof(igmp));
  M_ALIGN_END(m, kLen);
  m->m_len = kLen;
  m->mh.m_pkthdr.len = kLen;
  m->mh.m_pkthdr.rcvif = loif();
  ip* h = mtod<ip>(m);
  std::memset(h, 0, kLen);
  h->ip_len = kLen;
  h->ip_p = IPPROTO_IGMP;
  h->ip_dst.s_addr = dst != 0 ? dst : inm->inm_addr;
  auto* ig = reinterpret_cast<igmp*>(h + 1);
  ig->igmp_type = type;
  ig->igmp_group.s_addr = inm->inm_addr;
  ig->igmp_cksum = in_cksum_bytes(ig, sizeof(igmp));
  ip_moptions imo{};
  imo.imo_multicast_ifp = inm->inm_ifp;
  imo.imo_multicast_ttl = 1;
  imo.imo_multicast_loop = 0;
  imo.imo_multicast_vif = -1;
  mbuf* options = router_alert();
  ip_output(m, options, &g_igmp.route, 0, &imo);
  mbuf_free_chain(options);
  ++g_igmpstat.igps_snd_reports;
}

}  // namespace

void igmp_setup() {
  std::memset(&g_igmpstat, 0, sizeof(g_igmpstat));
  g_igmp.routers = nullptr;
  g_igmp.timers_running = false;
  g_igmp.seed = stack_ticks() % 2147483646u + 1;
  g_igmp.route = route_cache{};
}

void igmp_stop() {
  while (router_info* rti = g_igmp.routers) {
    g_igmp.routers = rti->next;
    OSPrimMemFreePtr(rti);
  }
  if (g_igmp.route.ro_rt != nullptr) rtfree(g_igmp.route.ro_rt);
  g_igmp.route = route_cache{};
  g_igmp.timers_running = false;
}

std::uint32_t igmp_router_type(const ifnet* ifp) {
  router_info* rti = find_router(const_cast<ifnet*>(ifp), false);
  return rti != nullptr ? rti->type : IGMP_V2_ROUTER;
}

void igmp_receive(mbuf* m, int off) {
  ++g_igmpstat.igps_rcv_total;
  ip* h = mtod<ip>(m);
  const int igmplen = h->ip_len;
  if (igmplen < IGMP_MINLEN) {
    ++g_igmpstat.igps_rcv_tooshort;
    mbuf_free_chain(m);
    return;
  }
  if (m->m_len < off + IGMP_MINLEN) {
    m = m_pullup(m, off + IGMP_MINLEN);
    if (m == nullptr) {
      ++g_igmpstat.igps_rcv_tooshort;
      return;
    }
    h = mtod<ip>(m);
  }
  if (in_cksum_range(m, off, igmplen, 0) != 0) {
    ++g_igmpstat.igps_rcv_badsum;
    mbuf_free_chain(m);
    return;
  }
  auto* ig = reinterpret_cast<igmp*>(m->m_data + off);
  ifnet* ifp = m->mh.m_pkthdr.rcvif;
  const bool loopback = ifp == nullptr || (ifp->if_flags & IFF_LOOPBACK);
  const std::uint32_t group = ig->igmp_group.s_addr;
  switch (ig->igmp_type) {
    case IGMP_MEMBERSHIP_QUERY: {
      ++g_igmpstat.igps_rcv_queries;
      if (loopback) break;
      std::uint32_t limit;
      if (ig->igmp_code == 0) {
        // Version 1: only to all hosts, about all groups.
        if (router_info* rti = find_router(ifp, true)) {
          rti->type = IGMP_V1_ROUTER;
          rti->age = 0;
        }
        if (h->ip_dst.s_addr != htonl(kAllHosts) || group != INADDR_ANY) {
          ++g_igmpstat.igps_rcv_badqueries;
          mbuf_free_chain(m);
          return;
        }
        limit = IGMP_MAX_HOST_REPORT_DELAY;
      } else {
        limit = ig->igmp_code / 2;  // tenths of a second in fast ticks of 200 ms
        if (limit == 0) limit = 1;
        if (group != INADDR_ANY && !IN_MULTICAST(ntohl(group))) {
          ++g_igmpstat.igps_rcv_badqueries;
          mbuf_free_chain(m);
          return;
        }
      }
      for (in_multi* inm = in_multi_list(); inm != nullptr; inm = inm->inm_next) {
        if (inm->inm_ifp != ifp || inm->inm_addr == htonl(kAllHosts)) continue;
        if (group != INADDR_ANY && group != inm->inm_addr) continue;
        if (inm->inm_timer == 0 || inm->inm_timer > limit) {
          inm->inm_timer = random_delay(limit);
          g_igmp.timers_running = true;
        }
      }
      break;
    }
    case IGMP_V1_MEMBERSHIP_REPORT:
    case IGMP_V2_MEMBERSHIP_REPORT: {
      ipv4_ifaddr* ia = ifp != nullptr ? first_inet_of(ifp) : nullptr;
      if (ia != nullptr && h->ip_src.s_addr == IA_SIN_ADDR(ia)) break;  // our own
      ++g_igmpstat.igps_rcv_reports;
      if (loopback) break;
      if (!IN_MULTICAST(ntohl(group))) {
        ++g_igmpstat.igps_rcv_badreports;
        mbuf_free_chain(m);
        return;
      }
      // A report from an unaddressed host counts as from our subnet.
      if ((ntohl(h->ip_src.s_addr) >> 24) == 0 && ia != nullptr) h->ip_src.s_addr = htonl(ia->ia_subnet);
      for (in_multi* inm = in_multi_list(); inm != nullptr; inm = inm->inm_next) {
        if (inm->inm_ifp == ifp && inm->inm_addr == group) {
          inm->inm_timer = 0;
          inm->inm_state = IGMP_IDLE_MEMBER;
          ++g_igmpstat.igps_rcv_ourreports;
          break;
        }
      }
      break;
    }
    default:
      break;
  }
  rip_deliver(m, off, IPPROTO_IGMP);
}

void igmp_start_membership(in_multi* inm) {
  if (inm->inm_addr == htonl(kAllHosts) || inm->inm_ifp == nullptr || (inm->inm_ifp->if_flags & IFF_LOOPBACK)) {
    inm->inm_timer = 0;
    inm->inm_state = IGMP_IDLE_MEMBER;
    return;
  }
  // Without a record (no memory) the report goes out as version 2.
  inm->inm_rti = find_router(inm->inm_ifp, true);
  send_message(inm, report_type(inm), 0);
  inm->inm_timer = random_delay(IGMP_MAX_HOST_REPORT_DELAY);
  inm->inm_state = IGMP_DELAYING_MEMBER;
  g_igmp.timers_running = true;
}

void igmp_send_leave(in_multi* inm) {
  if (inm->inm_state != IGMP_DELAYING_MEMBER || inm->inm_addr == htonl(kAllHosts) || inm->inm_ifp == nullptr ||
      (inm->inm_ifp->if_flags & IFF_LOOPBACK) || router_type_of(inm) == IGMP_V1_ROUTER) {
    return;
  }
  send_message(inm, IGMP_V2_LEAVE_GROUP, htonl(kAllRouters));
}

void igmp_fast_timer() {
  if (!g_igmp.timers_running) return;
  g_igmp.timers_running = false;
  for (in_multi* inm = in_multi_list(); inm != nullptr; inm = inm->inm_next) {
    if (inm->inm_timer == 0) continue;
    if (--inm->inm_timer == 0) {
      send_message(inm, report_type(inm), 0);
      inm->inm_state = IGMP_DELAYING_MEMBER;
    } else {
      g_igmp.timers_running = true;
    }
  }
}

void igmp_slow_timer() {
  for (router_info* rti = g_igmp.routers; rti != nullptr; rti = rti->next) {
    if (rti->type == IGMP_V1_ROUTER && ++rti->age >= IGMP_AGE_THRESHOLD) {
      rti->type = IGMP_V2_ROUTER;
      rti->age = 0;
    }
  }
}

}  // namespace zektcp
