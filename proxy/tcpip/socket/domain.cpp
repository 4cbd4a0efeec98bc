// Protocol domains: registration, protocol look-up, control broadcasts and
// the two periodic protocol ticks.
#include "proxy/tcpip/socket/domain.h"

namespace zektcp {

namespace {

domain* g_domains;
callout g_slow_callout;
callout g_fast_callout;
bool g_ticks_running;

}  // namespace

std::int32_t largest_link_header;
std::int32_t largest_proto_header;
std::int32_t largest_header;
std::int32_t header_mbuf_data_room = MHLEN;

domain* domain_list() { return g_domains; }

int domaininit(domain* dp) {
  for (proto_switch* pr = dp->dom_protosw; pr < dp->dom_protoswNPROTOSW; ++pr) {
    if (pr->pr_usrreqs == nullptr) {
      // A switch entry without user requests is a build fault of the
      // protocol; the domain is not added.
      OSPrimDebugPrint("domaininit: %ssw[%d] has no usrreqs!", dp->dom_name, static_cast<int>(pr - dp->dom_protosw));
      return BSD_EINVAL;
    }
  }
  dp->dom_next = g_domains;
  g_domains = dp;
  if (dp->dom_init != nullptr) dp->dom_init();
  for (proto_switch* pr = dp->dom_protosw; pr < dp->dom_protoswNPROTOSW; ++pr) {
    pr->pr_domain = dp;
    if (pr->pr_init != nullptr) pr->pr_init();
  }
  largest_header = largest_link_header + largest_proto_header;
  header_mbuf_data_room = MHLEN - largest_header;
  return 0;
}

void domain_remove(domain* dp) {
  for (domain** link = &g_domains; *link != nullptr; link = &(*link)->dom_next) {
    if (*link == dp) {
      *link = dp->dom_next;
      dp->dom_next = nullptr;
      return;
    }
  }
}

domain* domain_find(int family) {
  for (domain* dp = g_domains; dp != nullptr; dp = dp->dom_next) {
    if (dp->dom_family == family) return dp;
  }
  return nullptr;
}

proto_switch* domain_find_proto(int family, int protocol, int type) {
  domain* dp = domain_find(family);
  if (dp == nullptr) return nullptr;
  proto_switch* raw_fallback = nullptr;
  for (proto_switch* pr = dp->dom_protosw; pr < dp->dom_protoswNPROTOSW; ++pr) {
    if (pr->pr_protocol == protocol && pr->pr_type == type) return pr;
    if (type == SOCK_RAW && pr->pr_type == SOCK_RAW && pr->pr_protocol == 0 && raw_fallback == nullptr) {
      raw_fallback = pr;
    }
  }
  return raw_fallback;
}

proto_switch* domain_find_type(int family, int type) {
  domain* dp = domain_find(family);
  if (dp == nullptr) return nullptr;
  for (proto_switch* pr = dp->dom_protosw; pr < dp->dom_protoswNPROTOSW; ++pr) {
    if (pr->pr_type != 0 && pr->pr_type == type) return pr;
  }
  return nullptr;
}

void domain_ctl_broadcast(int command, sockaddr* addr) {
  for (domain* dp = g_domains; dp != nullptr; dp = dp->dom_next) {
    for (proto_switch* pr = dp->dom_protosw; pr < dp->dom_protoswNPROTOSW; ++pr) {
      if (pr->pr_ctlinput != nullptr) pr->pr_ctlinput(command, addr, nullptr);
    }
  }
}

void domain_drain_all() {
  for (domain* dp = g_domains; dp != nullptr; dp = dp->dom_next) {
    for (proto_switch* pr = dp->dom_protosw; pr < dp->dom_protoswNPROTOSW; ++pr) {
      if (pr->pr_drain != nullptr) pr->pr_drain();
    }
  }
}

void domain_slow_timer(void*) {
  for (domain* dp = g_domains; dp != nullptr; dp = dp->dom_next) {
    for (proto_switch* pr = dp->dom_protosw; pr < dp->dom_protoswNPROTOSW; ++pr) {
      if (pr->pr_slowtimo != nullptr) pr->pr_slowtimo();
    }
  }
  if (g_ticks_running)
    callout_arm(&g_slow_callout, static_cast<std::int32_t>(tick_rate() / 2), domain_slow_timer, nullptr);
}

void domain_fast_timer(void*) {
  for (domain* dp = g_domains; dp != nullptr; dp = dp->dom_next) {
    for (proto_switch* pr = dp->dom_protosw; pr < dp->dom_protoswNPROTOSW; ++pr) {
      if (pr->pr_fasttimo != nullptr) pr->pr_fasttimo();
    }
  }
  if (g_ticks_running)
    callout_arm(&g_fast_callout, static_cast<std::int32_t>(tick_rate() / 5), domain_fast_timer, nullptr);
}

void domain_start() {
  callout_init(&g_slow_callout);
  callout_init(&g_fast_callout);
  g_ticks_running = true;
  AcquireBdcLock();
  callout_arm(&g_slow_callout, static_cast<std::int32_t>(tick_rate() / 2), domain_slow_timer, nullptr);
  callout_arm(&g_fast_callout, static_cast<std::int32_t>(tick_rate() / 5), domain_fast_timer, nullptr);
  ReleaseBdcLock();
}

void domain_stop() {
  AcquireBdcLock();
  g_ticks_running = false;
  callout_disarm(&g_slow_callout);
  callout_disarm(&g_fast_callout);
  ReleaseBdcLock();
  g_domains = nullptr;
  largest_header = largest_link_header + largest_proto_header;
  header_mbuf_data_room = MHLEN - largest_header;
}

}  // namespace zektcp
