// The Internet domain and its protocol switch.
#include "proxy/tcpip/netinet/in.h"

namespace zektcp {

namespace {

proto_switch g_inetsw[INETSW_MAX];
int g_inetsw_count;

}  // namespace

domain inetdomain = {AF_INET, "internet", nullptr, nullptr, nullptr, g_inetsw, g_inetsw, nullptr,
                     in_tree_create, 32, static_cast<std::int32_t>(sizeof(sockaddr_in))};

int inetdomain_add_entry(const proto_switch& entry) {
  if (g_inetsw_count >= INETSW_MAX) return BSD_ENOBUFS;
  g_inetsw[g_inetsw_count] = entry;
  g_inetsw[g_inetsw_count].pr_domain = &inetdomain;
  ++g_inetsw_count;
  inetdomain.dom_protoswNPROTOSW = g_inetsw + g_inetsw_count;
  return 0;
}

}  // namespace zektcp
