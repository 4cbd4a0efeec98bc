// Raw IP sockets: who receives an unclaimed datagram, the ICMP type filter,
// sending with the stack's header, and the raw options and requests.
#include "tests/proxy/tcpip/wire_fixture.h"

namespace {

using namespace zektcp;

class RawIpTest : public WireTest {
 protected:
  void SetUp() override {
    WireTest::SetUp();
    if (HasFatalFailure()) return;
    peer_arp_reply();
    take();
  }
};

TEST_F(RawIpTest, EveryRawSocketOfTheProtocolReceivesAnUnclaimedDatagram) {
  socket* any1 = make_socket(SOCK_RAW, 0);
  socket* any2 = make_socket(SOCK_RAW, 0);
  socket* p99 = make_socket(SOCK_RAW, 99);
  socket* p98 = make_socket(SOCK_RAW, 98);
  IpFields f;
  f.proto = 99;
  inject_ip(f, text(12));
  for (socket* so : {any1, any2, p99}) {
    const Received r = receive(so);
    ASSERT_EQ(r.error, 0);
    ASSERT_EQ(r.data.size(), 20u + 12u);  // the header comes with it
    EXPECT_EQ(Bytes(r.data.begin() + 20, r.data.end()), text(12));
    EXPECT_EQ(r.from, kPeerIp);
  }
  EXPECT_EQ(receive(p98).error, BSD_EWOULDBLOCK);
  // Without any receiver the datagram is counted as having no protocol.
  close_socket(any1);
  close_socket(any2);
  close_socket(p99);
  const std::uint32_t noproto = g_ipstat.ips_noproto;
  inject_ip(f, text(12));
  EXPECT_EQ(g_ipstat.ips_noproto, noproto + 1);
}

TEST_F(RawIpTest, TheIcmpFilterKeepsOutTheTypesItNames) {
  socket* all = make_socket(SOCK_RAW, IPPROTO_ICMP);
  socket* no_replies = make_socket(SOCK_RAW, IPPROTO_ICMP);
  const std::uint32_t filter = 1u << ICMP_ECHOREPLY;
  ASSERT_EQ(set_option(no_replies, IPPROTO_RAW, ICMP_FILTER, &filter, sizeof(filter)), 0);
  IpFields f;
  f.proto = 1;
  inject_ip(f, icmp_message(ICMP_ECHOREPLY, 0, 1, text(4)));
  EXPECT_EQ(receive(all).error, 0);
  EXPECT_EQ(receive(no_replies).error, BSD_EWOULDBLOCK);
  // Other types pass (an echo request would be answered by ICMP itself
  // and not handed on).
  inject_ip(f, icmp_message(ICMP_ROUTERADVERT, 0, 1, text(4)));
  EXPECT_EQ(receive(all).error, 0);
  EXPECT_EQ(receive(no_replies).error, 0);
  // The filter word reads back; a short one is refused.
  std::uint32_t got = 0;
  sockopt opt{SOPT_GET, IPPROTO_RAW, ICMP_FILTER, &got, sizeof(got), stack_process()};
  {
    BdcLocked lock;
    ASSERT_EQ(get_socket_option(no_replies, &opt), 0);
  }
  EXPECT_EQ(got, filter);
  EXPECT_EQ(set_option(no_replies, IPPROTO_RAW, ICMP_FILTER, &filter, 2), BSD_EINVAL);
}

TEST_F(RawIpTest, ARawSocketSendsWithTheStacksHeader) {
  socket* so = make_socket(SOCK_RAW, 99);
  ASSERT_EQ(send_to(so, text(40), kPeerIp), 0);
  const auto frames = take();
  ASSERT_EQ(frames.size(), 1u);
  const Frame& f = frames[0];
  EXPECT_EQ(f.proto(), 99);
  EXPECT_EQ(f.ip_src(), kOurIp);
  EXPECT_EQ(f.ip_dst(), kPeerIp);
  EXPECT_EQ(f.ip_len(), 60);
  EXPECT_EQ(f.ttl(), 64);
  EXPECT_TRUE(f.ip_sum_ok());
  EXPECT_EQ(f.l4_bytes(), text(40));
  // Connected, it sends without an address and refuses one.
  ASSERT_EQ(connect(so, kPeerIp, 0), 0);
  EXPECT_EQ(send_to(so, text(4)), 0);
  EXPECT_EQ(send_to(so, text(4), kPeerIp), BSD_EISCONN);
  socket* unconnected = make_socket(SOCK_RAW, 99);
  EXPECT_EQ(send_to(unconnected, text(4)), BSD_EDESTADDRREQ);
}

TEST_F(RawIpTest, RawOptionsAndAddressRequests) {
  socket* so = make_socket(SOCK_RAW, 99);
  const int on = 1;
  ASSERT_EQ(set_option(so, IPPROTO_LEVEL_IP, IP_HDRINCL, &on, sizeof(on)), 0);
  std::int32_t got = 0;
  sockopt opt{SOPT_GET, IPPROTO_LEVEL_IP, IP_HDRINCL, &got, sizeof(got), stack_process()};
  {
    BdcLocked lock;
    ASSERT_EQ(get_socket_option(so, &opt), 0);
  }
  EXPECT_EQ(got, 8);
  // The single reservation-protocol socket: raw, protocol 46 only.
  EXPECT_EQ(set_option(so, IPPROTO_LEVEL_IP, IP_RSVP_ON, &on, sizeof(on)), BSD_EOPNOTSUPP);
  socket* rsvp = make_socket(SOCK_RAW, IPPROTO_RSVP);
  socket* rsvp2 = make_socket(SOCK_RAW, IPPROTO_RSVP);
  EXPECT_EQ(set_option(rsvp, IPPROTO_LEVEL_IP, IP_RSVP_ON, &on, sizeof(on)), 0);
  EXPECT_EQ(set_option(rsvp2, IPPROTO_LEVEL_IP, IP_RSVP_ON, &on, sizeof(on)), BSD_EADDRINUSE);
  EXPECT_EQ(set_option(so, IPPROTO_LEVEL_IP, 100, &on, sizeof(on)), BSD_EOPNOTSUPP);
  EXPECT_EQ(set_option(so, IPPROTO_LEVEL_IP, 50, &on, sizeof(on)), BSD_ENOPROTOOPT);
  EXPECT_EQ(set_option(so, IPPROTO_RAW, 7, &on, sizeof(on)), BSD_EINVAL);
  // Binding: only an address of this host.
  EXPECT_EQ(bind(so, ipv4(10, 9, 9, 9), 0), BSD_EADDRNOTAVAIL);
  EXPECT_EQ(bind(so, kOurIp, 0), 0);
  // A raw socket for an unknown protocol is served by the wildcard entry.
  EXPECT_EQ(domain_find_proto(AF_INET, 123, SOCK_RAW)->pr_protocol, 0);
  EXPECT_EQ(domain_find_proto(AF_INET, IPPROTO_ICMP, SOCK_RAW)->pr_protocol, IPPROTO_ICMP);
}

}  // namespace
