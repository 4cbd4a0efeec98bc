// IPv4 output: fragments and the options they copy, don't-fragment and the
// route MTU, addresses that may not leave, broadcast rules, the IP
// socket options and memberships, and the Internet checksum.
#include "tests/proxy/tcpip/wire_fixture.h"

namespace {

using namespace zektcp;

class IpOutputTest : public WireTest {
 protected:
  void SetUp() override {
    WireTest::SetUp();
    if (HasFatalFailure()) return;
    peer_arp_reply();
    take();
  }

  // A raw socket that builds its own headers (fields in host order).
  socket* header_socket() {
    socket* so = make_socket(SOCK_RAW, IPPROTO_RAW);
    const int on = 1;
    EXPECT_EQ(set_option(so, IPPROTO_LEVEL_IP, IP_HDRINCL, &on, sizeof(on)), 0);
    return so;
  }

  static Bytes host_order_header(std::uint32_t src, std::uint32_t dst, std::uint16_t off, std::size_t data,
                                 std::uint16_t id = 0) {
    Bytes p(20 + data, 0x5A);
    p[0] = 0x45;
    p[1] = 0;
    const auto total = static_cast<std::uint16_t>(20 + data);
    std::memcpy(&p[2], &total, 2);  // this host's order, as a header-building socket gives it
    std::memcpy(&p[4], &id, 2);
    std::memcpy(&p[6], &off, 2);
    p[8] = 33;
    p[9] = 99;
    put32(p, 12, src);
    put32(p, 16, dst);
    return p;
  }
};

TEST_F(IpOutputTest, FragmentsCarryTheirOffsetsAndTheCopiedOptions) {
  socket* so = make_socket(SOCK_DGRAM);
  int size = 8000;
  ASSERT_EQ(set_option(so, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size)), 0);
  // Router alert (copied into every fragment), then record route (first
  // fragment only), then the end of the list.
  const Bytes options = {148, 4, 0, 0, 7, 7, 4, 0, 0, 0, 0, 0};
  ASSERT_EQ(set_option(so, IPPROTO_LEVEL_IP, IP_OPTIONS, options.data(), options.size()), 0);
  ASSERT_EQ(send_to(so, text(3000), kPeerIp, 9), 0);
  const auto frames = take();
  ASSERT_EQ(frames.size(), 3u);
  struct Expect {
    std::size_t hlen;
    int offset;  // 8-byte units
    bool more;
  };
  const int first_payload = (1500 - 32) & ~7;
  const Expect expect[] = {{32, 0, true}, {24, first_payload / 8, true}, {24, 2 * ((1500 - 24) & ~7) / 8, false}};
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const Frame& f = frames[i];
    EXPECT_EQ(f.ip_hlen(), expect[i].hlen);
    EXPECT_TRUE(f.ip_sum_ok());
    EXPECT_EQ(f.bytes[34], 148);  // the router alert everywhere, record route only first
    EXPECT_LE(f.ip_len(), 1500);
    EXPECT_EQ((f.ip_off() & IP_MF) != 0, expect[i].more);
    if (i < 2) {
      EXPECT_EQ((f.ip_len() - f.ip_hlen()) % 8, 0u);
    }
  }
  EXPECT_EQ(frames[0].ip_off() & IP_OFFMASK, 0);
  EXPECT_EQ(frames[1].ip_off() & IP_OFFMASK, (frames[0].ip_len() - 32) / 8);
  EXPECT_EQ(frames[2].ip_off() & IP_OFFMASK, (frames[0].ip_len() - 32 + frames[1].ip_len() - 24) / 8);
  EXPECT_EQ(frames[0].ip_len() - 32 + frames[1].ip_len() - 24 + frames[2].ip_len() - 24, 3000 + 8);
  (void)first_payload;
}

TEST_F(IpOutputTest, OptionCopyKeepsCopiedOptionsAndNops) {
  struct Case {
    Bytes options;
    Bytes copied;
  };
  const Case cases[] = {
      {{1, 148, 4, 0, 0, 7, 7, 4, 0, 0, 0, 0}, {1, 148, 4, 0, 0, 0, 0, 0}},
      {{7, 3, 4, 0}, {}},
      {{131, 7, 4, 1, 2, 3, 4, 0}, {131, 7, 4, 1, 2, 3, 4, 0}},
      {{130, 0, 0, 0}, {}},  // malformed: nothing after it is copied
  };
  for (const Case& c : cases) {
    Bytes header(20 + c.options.size());
    header[0] = static_cast<std::uint8_t>(0x40 | (header.size() / 4));
    std::copy(c.options.begin(), c.options.end(), header.begin() + 20);
    Bytes out(60, 0xEE);
    const int len = ip_optcopy(reinterpret_cast<const ip*>(header.data()), reinterpret_cast<ip*>(out.data()));
    EXPECT_EQ(Bytes(out.begin() + 20, out.begin() + 20 + len), c.copied);
    EXPECT_EQ(len % 4, 0);
  }
}

TEST_F(IpOutputTest, DontFragmentRefusesAndLowersTheHostRouteMtu) {
  socket* so = header_socket();
  sockaddr_in dst = make_sockaddr_in(kPeerIp);
  {
    BdcLocked lock;
    rtentry* rt = rtalloc1(reinterpret_cast<sockaddr*>(&dst), 1, 0);
    ASSERT_NE(rt, nullptr);
    rt->rt_rmx.rmx_mtu = 9000;
    rtfree(rt);
  }
  EXPECT_EQ(send_to(so, host_order_header(kOurIp, kPeerIp, IP_DF, 3000), kPeerIp), BSD_EMSGSIZE);
  EXPECT_TRUE(take().empty());
  BdcLocked lock;
  rtentry* rt = rtalloc1(reinterpret_cast<sockaddr*>(&dst), 0, 0);
  ASSERT_NE(rt, nullptr);
  EXPECT_EQ(rt->rt_rmx.rmx_mtu, 1500u);
  rtfree(rt);
}

TEST_F(IpOutputTest, AHeaderWithIdZeroGetsTheNextIdentification) {
  socket* so = header_socket();
  ASSERT_EQ(send_to(so, host_order_header(kOurIp, kPeerIp, 0, 10), kPeerIp), 0);
  ASSERT_EQ(send_to(so, host_order_header(kOurIp, kPeerIp, 0, 10, 0x0102), kPeerIp), 0);
  ASSERT_EQ(send_to(so, host_order_header(kOurIp, kPeerIp, 0, 10), kPeerIp), 0);
  const auto frames = take();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[1].ip_id(), 0x0201);  // given: kept as it came
  EXPECT_EQ(static_cast<std::uint16_t>(frames[2].ip_id() - frames[0].ip_id()), 1);
  for (const Frame& f : frames) {
    EXPECT_TRUE(f.ip_sum_ok());
    EXPECT_EQ(f.ttl(), 33);
  }
  // Lengths that do not fit the packet are refused.
  Bytes bad = host_order_header(kOurIp, kPeerIp, 0, 10);
  const std::uint16_t too_long = 100;
  std::memcpy(&bad[2], &too_long, 2);
  EXPECT_EQ(send_to(so, bad, kPeerIp), BSD_EINVAL);
  const std::uint16_t too_short = 12;
  std::memcpy(&bad[2], &too_short, 2);
  EXPECT_EQ(send_to(so, bad, kPeerIp), BSD_EINVAL);
}

TEST_F(IpOutputTest, LoopbackAddressesNeverLeaveThroughTheAdapter) {
  socket* so = header_socket();
  EXPECT_EQ(send_to(so, host_order_header(0x7F000001, kPeerIp, 0, 10), kPeerIp), BSD_EADDRNOTAVAIL);
  EXPECT_EQ(g_ipstat.ips_badaddr_out, 1u);
  EXPECT_TRUE(take().empty());
}

TEST_F(IpOutputTest, BroadcastNeedsPermissionAndMustFit) {
  socket* so = make_socket(SOCK_DGRAM);
  int size = 8000;
  ASSERT_EQ(set_option(so, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size)), 0);
  EXPECT_EQ(send_to(so, text(10), ipv4(192, 0, 2, 255), 9), BSD_EACCES);
  const int on = 1;
  ASSERT_EQ(set_option(so, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)), 0);
  EXPECT_EQ(send_to(so, text(3000), ipv4(192, 0, 2, 255), 9), BSD_EMSGSIZE);
  EXPECT_EQ(send_to(so, text(10), ipv4(192, 0, 2, 255), 9), 0);
  EXPECT_EQ(take([](const Frame& f) { return f.dst() == kBroadcastMac; }).size(), 1u);
}

TEST_F(IpOutputTest, SocketOptionsOfIp) {
  socket* so = make_socket(SOCK_DGRAM);
  auto get_int = [&](int name) {
    std::int32_t v = -1;
    sockopt opt{SOPT_GET, IPPROTO_LEVEL_IP, name, &v, sizeof(v), stack_process()};
    BdcLocked lock;
    EXPECT_EQ(get_socket_option(so, &opt), 0);
    return v;
  };
  const int ttl = 9;
  ASSERT_EQ(set_option(so, IPPROTO_LEVEL_IP, IP_TTL, &ttl, sizeof(ttl)), 0);
  EXPECT_EQ(get_int(IP_TTL), 9);
  const int high = IP_PORTRANGE_HIGH;
  ASSERT_EQ(set_option(so, IPPROTO_LEVEL_IP, IP_PORTRANGE, &high, sizeof(high)), 0);
  EXPECT_EQ(get_int(IP_PORTRANGE), IP_PORTRANGE_HIGH);
  const int bad_range = 3;
  EXPECT_EQ(set_option(so, IPPROTO_LEVEL_IP, IP_PORTRANGE, &bad_range, sizeof(bad_range)), BSD_EINVAL);
  const std::uint8_t one_byte = 1;
  EXPECT_EQ(set_option(so, IPPROTO_LEVEL_IP, IP_TTL, &one_byte, 1), BSD_EINVAL);
  EXPECT_EQ(set_option(so, IPPROTO_LEVEL_IP, 99, &ttl, sizeof(ttl)), BSD_ENOPROTOOPT);
  // Options longer than one buffer, and options that are malformed.
  const Bytes huge(300, 1);
  EXPECT_EQ(set_option(so, IPPROTO_LEVEL_IP, IP_OPTIONS, huge.data(), huge.size()), BSD_EMSGSIZE);
  const Bytes malformed = {7, 9, 4, 0};
  EXPECT_EQ(set_option(so, IPPROTO_LEVEL_IP, IP_OPTIONS, malformed.data(), malformed.size()), BSD_EINVAL);
  // A loose source route: its first address becomes the first hop.
  const Bytes route = {1, 131, 11, 4, 10, 0, 0, 1, 10, 0, 0, 2};
  ASSERT_EQ(set_option(so, IPPROTO_LEVEL_IP, IP_OPTIONS, route.data(), route.size()), 0);
  Bytes stored(64);
  sockopt opt{SOPT_GET, IPPROTO_LEVEL_IP, IP_OPTIONS, stored.data(), stored.size(), stack_process()};
  {
    BdcLocked lock;
    ASSERT_EQ(get_socket_option(so, &opt), 0);
  }
  stored.resize(opt.sopt_valsize);
  EXPECT_EQ(stored, (Bytes{10, 0, 0, 1, 1, 131, 7, 4, 10, 0, 0, 2}));
}

TEST_F(IpOutputTest, MembershipsOfASocket) {
  socket* so = make_socket(SOCK_DGRAM);
  auto join = [&](std::uint32_t group, std::uint32_t iface = kOurIp) {
    ip_mreq mreq{{htonl(group)}, {htonl(iface)}};
    return set_option(so, IPPROTO_LEVEL_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq));
  };
  for (int i = 0; i < IP_MAX_MEMBERSHIPS; ++i) ASSERT_EQ(join(ipv4(239, 0, 0, i + 1)), 0);
  EXPECT_EQ(join(ipv4(239, 0, 0, 100)), BSD_ETOOMANYREFS);
  EXPECT_EQ(join(ipv4(239, 0, 0, 1)), BSD_EADDRINUSE);
  EXPECT_EQ(join(ipv4(10, 0, 0, 1)), BSD_EINVAL);
  EXPECT_EQ(join(ipv4(239, 0, 0, 101), ipv4(10, 9, 9, 9)), BSD_EADDRNOTAVAIL);
  ip_mreq drop{{htonl(ipv4(239, 0, 0, 5))}, {htonl(kOurIp)}};
  ASSERT_EQ(set_option(so, IPPROTO_LEVEL_IP, IP_DROP_MEMBERSHIP, &drop, sizeof(drop)), 0);
  EXPECT_EQ(set_option(so, IPPROTO_LEVEL_IP, IP_DROP_MEMBERSHIP, &drop, sizeof(drop)), BSD_EADDRNOTAVAIL);
  EXPECT_EQ(join(ipv4(239, 0, 0, 100)), 0);
  // The multicast interface, TTL and loop.
  in_addr iface{htonl(kOurIp)};
  ASSERT_EQ(set_option(so, IPPROTO_LEVEL_IP, IP_MULTICAST_IF, &iface, sizeof(iface)), 0);
  const std::uint8_t ttl = 7;
  ASSERT_EQ(set_option(so, IPPROTO_LEVEL_IP, IP_MULTICAST_TTL, &ttl, 1), 0);
  const int too_big = 256;
  EXPECT_EQ(set_option(so, IPPROTO_LEVEL_IP, IP_MULTICAST_TTL, &too_big, sizeof(too_big)), BSD_EINVAL);
  ASSERT_EQ(send_to(so, text(4), ipv4(239, 1, 1, 1), 9), 0);
  const auto frames = take([](const Frame& f) { return f.is_ip() && f.proto() == 17; });
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].ttl(), 7);
  EXPECT_EQ(frames[0].dst(), (Mac{{0x01, 0x00, 0x5E, 0x01, 0x01, 0x01}}));
  EXPECT_EQ(frames[0].ip_src(), kOurIp);
}

// RFC 1071 sums over chains cut at every byte boundary, odd ones too,
// against a sum over the flat bytes.
TEST_F(IpOutputTest, TheChecksumOfAChainCutAnywhere) {
  const Bytes data = text(301, 9);
  const std::uint16_t flat = in_cksum_bytes(data.data(), static_cast<int>(data.size()));
  EXPECT_EQ(ntohs(flat), cksum(data, 0, data.size()));
  for (const int first : {0, 1, 2, 3, 57, 150, 183, 184, 300}) {
    mbuf* head = mbuf_from_bytes(data.data(), first, nullptr, M_DONTWAIT);
    ASSERT_NE(head, nullptr);
    mbuf* rest = mbuf_from_bytes(data.data() + first, static_cast<int>(data.size()) - first, nullptr, M_DONTWAIT);
    ASSERT_NE(rest, nullptr);
    rest->m_flags &= ~M_PKTHDR;
    head->m_next = rest;
    EXPECT_EQ(in_cksum_chain(head, static_cast<int>(data.size())), flat) << first;
    mbuf_free_chain(head);
  }
  // Lengths around the sizes the sum takes at once, and bytes that carry.
  for (const std::size_t length : {1, 2, 3, 4, 5, 7, 15, 16, 17, 31, 33, 1499, 1500}) {
    for (const std::uint8_t fill : {0x00, 0x5A, 0xFF}) {
      Bytes bytes = text(length, fill);
      if (fill != 0x5A) std::fill(bytes.begin(), bytes.end(), fill);
      EXPECT_EQ(ntohs(in_cksum_bytes(bytes.data(), static_cast<int>(length))), cksum(bytes, 0, length))
          << length << " of " << int{fill};
    }
  }
  // A datagram that carries its correct sum sums to 0.
  Bytes header = ipv4_packet(IpFields{}, {});
  EXPECT_EQ(in_cksum_iphdr(reinterpret_cast<const ip*>(header.data())), 0);
}

}  // namespace
