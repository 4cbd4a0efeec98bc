// The Internet domain: its protocol switch, filled before the domain
// starts, and the domain's own start, which gives the interface layer the
// routines of the protocols above it and starts ARP.
#include "proxy/tcpip/netinet/if_ether.h"
#include "proxy/tcpip/netinet/in.h"
#include "proxy/tcpip/netinet/raw_ip.h"
#include "proxy/tcpip/netinet/tcp_var.h"

namespace zektcp {

namespace {

// IP itself has no sockets: every request is refused.
user_req_table g_ip_usrreqs = {};

void purge_pcbs(ifnet* ifp) {
  inpcb_purge_mcast_if(&udbinfo, ifp);
  inpcb_purge_mcast_if(&ripcbinfo, ifp);
}

void in_domain_init() {
  static const InterfaceProtocolHooks hooks = {
      arp_ifinit, igmp_start_membership, igmp_send_leave, purge_pcbs, arpresolve, ip_flow_forward,
  };
  iface_set_protocol_hooks(&hooks);
  arp_init();
}

constexpr std::int16_t kDgram = PR_ATOMIC | PR_ADDR;
constexpr std::int16_t kRawLast = PR_ATOMIC | PR_ADDR | PR_LASTHDR;
constexpr std::int16_t kStream = PR_CONNREQUIRED | PR_IMPLOPCL | PR_WANTRCVD;

// The entries in order: IP, UDP, TCP, raw IP,
// ICMP, IGMP, RSVP, IP-in-IP, protocol 55, GRE, and the raw wildcard.
proto_switch g_inetsw[] = {
    {0, &inetdomain, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, ip_init, nullptr, ip_slow_timer,
     ip_drain_queues, &g_ip_usrreqs},
    {SOCK_DGRAM, &inetdomain, IPPROTO_UDP, kDgram, udp_receive, nullptr, udp_ctl_notify, ip_sockopt, nullptr, udp_setup,
     nullptr, nullptr, nullptr, &udp_usrreqs},
    {SOCK_STREAM, &inetdomain, IPPROTO_TCP, kStream, tcp_input, nullptr, tcp_ctl_notify, tcp_sockopt, nullptr, tcp_init,
     nullptr, tcp_slow_timer, tcp_drain, &tcp_usrreqs},
    {SOCK_RAW, &inetdomain, IPPROTO_RAW, kDgram, rip_input, nullptr, rip_ctl_notify, rip_sockopt, nullptr, rip_setup,
     nullptr, nullptr, nullptr, &rip_usrreqs},
    {SOCK_RAW, &inetdomain, IPPROTO_ICMP, kRawLast, icmp_receive, nullptr, nullptr, rip_sockopt, nullptr, nullptr,
     nullptr, nullptr, nullptr, &rip_usrreqs},
    {SOCK_RAW, &inetdomain, IPPROTO_IGMP, kRawLast, igmp_receive, nullptr, nullptr, rip_sockopt, nullptr, igmp_setup,
     igmp_fast_timer, igmp_slow_timer, nullptr, &rip_usrreqs},
    {SOCK_RAW, &inetdomain, IPPROTO_RSVP, kRawLast, proto46_input, nullptr, nullptr, rip_sockopt, nullptr, nullptr,
     nullptr, nullptr, nullptr, &rip_usrreqs},
    {SOCK_RAW, &inetdomain, IPPROTO_IPIP, kRawLast, encap_ipv4_input, nullptr, nullptr, rip_sockopt, nullptr,
     encap_table_init, nullptr, nullptr, nullptr, &rip_usrreqs},
    {SOCK_RAW, &inetdomain, IPPROTO_MOBILE, kRawLast, encap_ipv4_input, nullptr, nullptr, rip_sockopt, nullptr,
     encap_table_init, nullptr, nullptr, nullptr, &rip_usrreqs},
    {SOCK_RAW, &inetdomain, IPPROTO_GRE, kRawLast, encap_ipv4_input, nullptr, nullptr, rip_sockopt, nullptr,
     encap_table_init, nullptr, nullptr, nullptr, &rip_usrreqs},
    {SOCK_RAW, &inetdomain, 0, kDgram, rip_input, nullptr, nullptr, rip_sockopt, nullptr, rip_setup, nullptr, nullptr,
     nullptr, &rip_usrreqs},
};

}  // namespace

domain inetdomain = {AF_INET,
                     "internet",
                     in_domain_init,
                     nullptr,
                     nullptr,
                     g_inetsw,
                     g_inetsw + sizeof(g_inetsw) / sizeof(g_inetsw[0]),
                     nullptr,
                     in_tree_create,
                     32,
                     static_cast<std::int32_t>(sizeof(sockaddr_in))};

void in_domain_stop() {
  arp_stop();
  igmp_stop();
  ip_stop();
  iface_set_protocol_hooks(nullptr);
}

}  // namespace zektcp
