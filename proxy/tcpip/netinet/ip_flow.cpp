// The IP flow cache: forwarded flows by destination, source and type of
// service, so that input can forward without a route look-up. This stack
// is a host: both switches are off, so the fast path declines and no flow
// is ever made; the cache keeps its rules for the switches' sake.
#include <cstring>

#include "proxy/tcpip/netinet/in.h"
#include "proxy/tcpip/netinet/ip_var.h"

namespace zektcp {

std::uint32_t ip_forwarding_on;
std::uint32_t ip_flow_cache_on;

namespace {

constexpr int kBuckets = 64;
constexpr std::uint32_t kMaxFlows = 256;
constexpr std::uint32_t kFlowTimer = 10;

struct ipflow {
  ipflow* next;
  ipflow** prevp;
  std::uint32_t dst;  // network order
  std::uint32_t src;
  std::uint8_t tos;
  route_cache route;
  std::uint32_t timer;
  std::uint32_t uses;
  std::uint32_t errors;
  std::uint32_t drops;
  std::uint32_t last_uses;
};

ipflow* g_flows[kBuckets];
std::uint32_t g_flow_count;

int bucket_of(std::uint32_t dst, std::uint32_t src, std::uint8_t tos) {
  std::uint32_t h = tos;
  for (int shift = 0; shift < 32; shift += 6) h += (src >> shift) + (dst >> ((32 - shift) % 32));
  return static_cast<int>(h & (kBuckets - 1));
}

ipflow* lookup(std::uint32_t dst, std::uint32_t src, std::uint8_t tos) {
  for (ipflow* f = g_flows[bucket_of(dst, src, tos)]; f != nullptr; f = f->next) {
    if (f->dst == dst && f->src == src && f->tos == tos) return f;
  }
  return nullptr;
}

void unlink_flow(ipflow* f) {
  NetLockScope lock;
  *f->prevp = f->next;
  if (f->next != nullptr) f->next->prevp = f->prevp;
}

// Counts the flow's uses into its route and the statistics, and lets the
// route go.
void retire(ipflow* f) {
  if (f->route.ro_rt != nullptr) {
    f->route.ro_rt->rt_rmx.rmx_pksent += f->uses;
    rtfree(f->route.ro_rt);
    f->route.ro_rt = nullptr;
  }
  g_ipstat.ips_forward += f->uses;
  g_ipstat.ips_cantforward += f->errors;
  g_ipstat.ips_odropped += f->drops;
}

ipflow* evict() {
  ipflow* victim = nullptr;
  for (ipflow* head : g_flows) {
    for (ipflow* f = head; f != nullptr; f = f->next) {
      if (f->route.ro_rt == nullptr || !(f->route.ro_rt->rt_flags & RTF_UP)) {
        victim = f;
        goto found;
      }
      if (victim == nullptr || f->timer < victim->timer ||
          (f->timer == victim->timer && f->last_uses + f->uses < victim->last_uses + victim->uses)) {
        victim = f;
      }
    }
  }
found:
  if (victim != nullptr) {
    unlink_flow(victim);
    retire(victim);
  }
  return victim;
}

}  // namespace

int ip_flow_forward(mbuf* m) {
  if (!ip_forwarding_on || !ip_flow_cache_on) return 0;
  if (m->m_len < static_cast<int>(sizeof(ip))) return 0;
  ip* h = mtod<ip>(m);
  if (h->ip_vhl != IP_VHL_BORING() || m->mh.m_pkthdr.len < ntohs(h->ip_len)) return 0;
  ipflow* f = lookup(h->ip_dst.s_addr, h->ip_src.s_addr, h->ip_tos);
  if (f == nullptr) return 0;
  rtentry* rt = f->route.ro_rt;
  if (rt == nullptr || !(rt->rt_flags & RTF_UP) || rt->rt_ifp == nullptr || !(rt->rt_ifp->if_flags & IFF_UP) ||
      rt->rt_ifp->if_data.ifi_mtu < ntohs(h->ip_len) || h->ip_ttl <= 1) {
    return 0;
  }
  --h->ip_ttl;
  // The checksum follows the TTL by an incremental update.
  std::uint32_t sum = static_cast<std::uint32_t>(h->ip_sum) + htons(0x0100);
  h->ip_sum = static_cast<std::uint16_t>(sum + (sum >> 16));
  ++f->uses;
  f->timer = kFlowTimer;
  sockaddr* dst = (rt->rt_flags & RTF_GATEWAY) ? rt->rt_gateway : &f->route.ro_dst;
  const int error = rt->rt_ifp->if_output(rt->rt_ifp, m, dst, rt);
  if (error != 0) {
    if (error == BSD_ENOBUFS) {
      ++f->drops;
    } else {
      ++f->errors;
    }
  }
  return 1;
}

void ip_flow_add(rtentry* rt, mbuf* m) {
  if (!ip_flow_cache_on || rt == nullptr) return;
  const ip* h = mtod<ip>(m);
  if (h->ip_p == IPPROTO_ICMP) return;
  ipflow* f = lookup(h->ip_dst.s_addr, h->ip_src.s_addr, h->ip_tos);
  if (f != nullptr) {
    unlink_flow(f);
    retire(f);
  } else if (g_flow_count >= kMaxFlows) {
    f = evict();
  } else {
    f = static_cast<ipflow*>(OSPrimMemAllocPtr(sizeof(ipflow)));
    if (f == nullptr) return;
    ++g_flow_count;
  }
  if (f == nullptr) return;
  std::memset(f, 0, sizeof(*f));
  f->route.ro_rt = rt;
  ++rt->rt_refcnt;
  sockaddr_in dst = make_sockaddr_in(0);
  dst.sin_addr = h->ip_dst;
  std::memcpy(&f->route.ro_dst, &dst, sizeof(dst));
  f->dst = h->ip_dst.s_addr;
  f->src = h->ip_src.s_addr;
  f->tos = h->ip_tos;
  f->timer = kFlowTimer;
  ipflow** head = &g_flows[bucket_of(f->dst, f->src, f->tos)];
  NetLockScope lock;
  f->next = *head;
  f->prevp = head;
  if (*head != nullptr) (*head)->prevp = &f->next;
  *head = f;
}

void ip_flow_slow_timer() {
  for (ipflow*& head : g_flows) {
    for (ipflow* f = head; f != nullptr;) {
      ipflow* next = f->next;
      if (f->timer > 0 && --f->timer == 0) {
        unlink_flow(f);
        retire(f);
        OSPrimMemFreePtr(f);
        --g_flow_count;
      } else {
        f->last_uses = f->uses;
        if (f->route.ro_rt != nullptr) f->route.ro_rt->rt_rmx.rmx_pksent += f->uses;
        g_ipstat.ips_forward += f->uses;
        f->uses = 0;
      }
      f = next;
    }
  }
}

void ip_flow_stop() {
  for (ipflow*& head : g_flows) {
    while (ipflow* f = head) {
      unlink_flow(f);
      retire(f);
      OSPrimMemFreePtr(f);
    }
  }
  g_flow_count = 0;
}

std::uint32_t ip_flow_count() { return g_flow_count; }

}  // namespace zektcp
