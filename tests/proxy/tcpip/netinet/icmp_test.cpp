// ICMP: echo and timestamp answers, when no error may be sent, the path
// MTU from fragmentation-needed errors, redirects, and raw ICMP sockets
// (a ping of our own loopback address).
#include "tests/proxy/tcpip/wire_fixture.h"

namespace {

using namespace zektcp;

class IcmpTest : public WireTest {
 protected:
  void SetUp() override {
    WireTest::SetUp();
    if (HasFatalFailure()) return;
    peer_arp_reply();
    take();
  }

  std::vector<Frame> icmp_sent() {
    return take([](const Frame& f) { return f.is_ip() && f.proto() == 1; });
  }

  void echo_request(const IpFields& base, const Bytes& data, const Mac& dst = kOurMac) {
    IpFields f = base;
    f.proto = 1;
    inject_ip(f, icmp_message(ICMP_ECHO, 0, 0x12340001, data), dst);
  }

  // The host route to an address, cloned from its network route.
  rtentry* host_route(std::uint32_t address) {
    sockaddr_in dst = make_sockaddr_in(address);
    BdcLocked lock;
    rtentry* rt = rtalloc1(reinterpret_cast<sockaddr*>(&dst), 1, 0);
    if (rt != nullptr) rtfree(rt);
    return rt;
  }

  void frag_needed_for(std::uint32_t dst, std::uint16_t next_mtu) {
    IpFields quoted;
    quoted.src = kOurIp;
    quoted.dst = dst;
    const Bytes quote = ipv4_packet(quoted, udp_datagram(kOurIp, dst, 1, 2, {}));
    IpFields f;
    f.proto = 1;
    inject_ip(f, icmp_message(ICMP_UNREACH, ICMP_UNREACH_NEEDFRAG, next_mtu, Bytes(quote.begin(), quote.begin() + 28)));
  }
};

TEST_F(IcmpTest, AnEchoIsAnsweredFromOurAddressWithTtl64) {
  echo_request(IpFields{}, text(56));
  const auto replies = icmp_sent();
  ASSERT_EQ(replies.size(), 1u);
  const Frame& r = replies[0];
  EXPECT_EQ(r.dst(), kPeerMac);
  EXPECT_EQ(r.ip_src(), kOurIp);
  EXPECT_EQ(r.ip_dst(), kPeerIp);
  EXPECT_EQ(r.ttl(), 64);
  EXPECT_TRUE(r.ip_sum_ok());
  const Bytes icmp = r.l4_bytes();
  EXPECT_EQ(icmp[0], ICMP_ECHOREPLY);
  EXPECT_EQ(get32(icmp, 4), 0x12340001u);
  EXPECT_EQ(Bytes(icmp.begin() + 8, icmp.end()), text(56));
  EXPECT_EQ(cksum(icmp, 0, icmp.size()), 0);
}

TEST_F(IcmpTest, BroadcastAndGroupEchoesAreNotAnswered) {
  IpFields f;
  f.dst = ipv4(192, 0, 2, 255);
  echo_request(f, text(8), kBroadcastMac);
  f.dst = ipv4(224, 0, 0, 1);
  echo_request(f, text(8), Mac{{0x01, 0x00, 0x5E, 0, 0, 1}});
  EXPECT_TRUE(icmp_sent().empty());
  EXPECT_EQ(g_icmpstat.icps_bmcastecho, 2u);
}

TEST_F(IcmpTest, ATimestampIsAnswered) {
  IpFields f;
  f.proto = 1;
  inject_ip(f, icmp_message(ICMP_TSTAMP, 0, 7, Bytes(12, 0)));
  const auto replies = icmp_sent();
  ASSERT_EQ(replies.size(), 1u);
  const Bytes icmp = replies[0].l4_bytes();
  EXPECT_EQ(icmp[0], ICMP_TSTAMPREPLY);
  EXPECT_EQ(get32(icmp, 12), get32(icmp, 16));  // received and transmitted
  EXPECT_LT(get32(icmp, 12), 86'400'000u);
  // A timestamp request too short for its times is not.
  inject_ip(f, icmp_message(ICMP_TSTAMP, 0, 7, Bytes(4, 0)));
  EXPECT_TRUE(icmp_sent().empty());
}

TEST_F(IcmpTest, NoErrorAboutAnErrorAFragmentOrAPacketNotForOneHost) {
  // An error message is never answered with an error, even when it is bad.
  IpFields f;
  f.proto = 1;
  f.options = {68, 3, 5, 0};  // a bad option draws a parameter problem, except here
  inject_ip(f, icmp_message(ICMP_UNREACH, ICMP_UNREACH_HOST, 0, Bytes(28, 0)));
  EXPECT_TRUE(icmp_sent().empty());
  EXPECT_EQ(g_icmpstat.icps_oldicmp, 1u);
  // Nor about a packet to an IP broadcast address that came as link unicast,
  // or from a source that names no single host.
  IpFields to_broadcast;
  to_broadcast.dst = ipv4(192, 0, 2, 255);
  to_broadcast.options = {68, 3, 5, 0};
  inject_ip(to_broadcast, udp_datagram(kPeerIp, to_broadcast.dst, 1, 2, {}));
  IpFields from_broadcast;
  from_broadcast.src = ipv4(192, 0, 2, 255);
  from_broadcast.options = {68, 3, 5, 0};
  inject_ip(from_broadcast, udp_datagram(from_broadcast.src, kOurIp, 1, 2, {}));
  EXPECT_TRUE(icmp_sent().empty());
  EXPECT_EQ(g_icmpstat.icps_notunicast, 2u);
  // A non-first fragment draws none either.
  IpFields fragment;
  fragment.off = 1;
  fragment.options = {68, 3, 5, 0};
  inject_ip(fragment, Bytes(8, 0));
  EXPECT_TRUE(icmp_sent().empty());
  // The same bad option in an ordinary datagram does.
  IpFields plain;
  plain.options = {68, 3, 5, 0};
  inject_ip(plain, udp_datagram(kPeerIp, kOurIp, 1, 2, {}));
  ASSERT_EQ(icmp_sent().size(), 1u);
}

TEST_F(IcmpTest, FragmentationNeededLowersTheHostRoutesMtu) {
  const std::uint32_t far = ipv4(192, 0, 2, 40);
  rtentry* rt = host_route(far);
  ASSERT_NE(rt, nullptr);
  ASSERT_EQ(rt->rt_rmx.rmx_mtu, 1500u);
  frag_needed_for(far, 0);  // no MTU in the message: the next lower plateau
  EXPECT_EQ(rt->rt_rmx.rmx_mtu, 1492u);
  frag_needed_for(far, 0);
  EXPECT_EQ(rt->rt_rmx.rmx_mtu, 1006u);
  frag_needed_for(far, 1300);
  EXPECT_EQ(rt->rt_rmx.rmx_mtu, 1300u);
  // Below 296 the route's MTU is locked instead of lowered.
  frag_needed_for(far, 100);
  EXPECT_EQ(rt->rt_rmx.rmx_mtu, 1300u);
  EXPECT_TRUE(rt->rt_rmx.rmx_locks & RTV_MTU);
  frag_needed_for(far, 800);
  EXPECT_EQ(rt->rt_rmx.rmx_mtu, 1300u);
}

TEST_F(IcmpTest, ErrorsThatAreTooShortAreDroppedAndCounted) {
  IpFields f;
  f.proto = 1;
  struct Case {
    const char* name;
    Bytes icmp;
    std::uint32_t icmpstat::*counter;
  };
  Bytes bad_sum = icmp_message(ICMP_ECHO, 0, 1, text(4));
  bad_sum[2] ^= 1;
  const Case cases[] = {
      {"shorter than its header", Bytes{8, 0, 0, 0}, &icmpstat::icps_tooshort},
      {"bad checksum", bad_sum, &icmpstat::icps_checksum},
      {"an error without its quote", icmp_message(ICMP_UNREACH, ICMP_UNREACH_PORT, 0, Bytes(10, 0)),
       &icmpstat::icps_badlen},
      {"an error quoting a 12-byte header",
       icmp_message(ICMP_UNREACH, ICMP_UNREACH_PORT, 0,
                    [] {
                      Bytes q = ipv4_packet(IpFields{}, Bytes(8, 0));
                      q[0] = 0x43;
                      return q;
                    }()),
       &icmpstat::icps_badlen},
      {"an unknown unreachable code", icmp_message(ICMP_UNREACH, 77, 0, Bytes(28, 0)), &icmpstat::icps_badcode},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const icmpstat before = g_icmpstat;
    inject_ip(f, c.icmp);
    EXPECT_EQ(g_icmpstat.*c.counter, before.*c.counter + 1);
    EXPECT_TRUE(icmp_sent().empty());
  }
}

TEST_F(IcmpTest, ARedirectFromTheCurrentRouterMakesAHostRoute) {
  // A default route through 192.0.2.254.
  sockaddr_in any = make_sockaddr_in(0);
  sockaddr_in mask = make_sockaddr_in(0);
  sockaddr_in router = make_sockaddr_in(ipv4(192, 0, 2, 254));
  {
    BdcLocked lock;
    ASSERT_EQ(
        rtrequest_by_addrs(RTM_ADD, reinterpret_cast<sockaddr*>(&any), reinterpret_cast<sockaddr*>(&router),
                           reinterpret_cast<sockaddr*>(&mask), static_cast<int>(RTF_GATEWAY | RTF_STATIC), nullptr),
        0);
  }
  const std::uint32_t far = ipv4(198, 51, 100, 7);
  IpFields quoted;
  quoted.src = kOurIp;
  quoted.dst = far;
  const Bytes quote = ipv4_packet(quoted, Bytes(8, 0));
  IpFields f;
  f.proto = 1;
  f.src = ipv4(192, 0, 2, 254);
  inject_ip(f, icmp_message(ICMP_REDIRECT, 1, ipv4(192, 0, 2, 253), quote));
  sockaddr_in dst = make_sockaddr_in(far);
  BdcLocked lock;
  rtentry* rt = rtalloc1(reinterpret_cast<sockaddr*>(&dst), 0, 0);
  ASSERT_NE(rt, nullptr);
  EXPECT_TRUE(rt->rt_flags & RTF_HOST);
  EXPECT_TRUE(rt->rt_flags & RTF_DYNAMIC);
  EXPECT_EQ(ntohl(reinterpret_cast<sockaddr_in*>(rt->rt_gateway)->sin_addr.s_addr), ipv4(192, 0, 2, 253));
  rtfree(rt);
}

// A raw ICMP socket pings this host's own loopback address: the echo from
// 127.0.0.1 is answered over the loopback interface.
TEST_F(IcmpTest, APingOfTheLoopbackAddressIsAnswered) {
  socket* so = make_socket(SOCK_RAW, IPPROTO_ICMP);
  ASSERT_EQ(send_to(so, icmp_message(ICMP_ECHO, 0, 0x00770001, text(16)), 0x7F000001), 0);
  softint_round_now();
  // The raw socket hears its request, then the reply.
  bool replied = false;
  for (int i = 0; i < 4 && !replied; ++i) {
    const Received r = receive(so);
    if (r.error != 0) break;
    ASSERT_GE(r.data.size(), 28u);
    const std::size_t hlen = (r.data[0] & 0xF) * 4u;
    replied = r.data[hlen] == ICMP_ECHOREPLY && get32(r.data, hlen + 4) == 0x00770001u;
  }
  EXPECT_TRUE(replied);
  EXPECT_TRUE(take().empty());
}

}  // namespace
