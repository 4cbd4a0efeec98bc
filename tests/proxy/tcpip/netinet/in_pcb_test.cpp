// Protocol control blocks: the ephemeral port ranges, binding with and
// without reuse, connecting, the look-ups; and the initial sequence numbers
// with the MD5 digest under them.
#include <cstdio>

#include "tests/proxy/tcpip/wire_fixture.h"

namespace {

using namespace zektcp;

class InPcbTest : public WireTest {
 protected:
  zektcp::TcpipConfig config() override {
    zektcp::TcpipConfig c = WireTest::config();
    c.sockets = 4200;
    return c;
  }

  static std::uint16_t local_port(socket* so) { return ntohs(sotoinpcb(so)->inp_lport); }

  // Binds a block of the UDP table to an anonymous port without a socket
  // layer round trip per port (thousands of them).
  std::uint16_t anonymous(socket* so) {
    BdcLocked lock;
    const int error = inpcb_bind(sotoinpcb(so), nullptr, nullptr);
    return error == 0 ? local_port(so) : static_cast<std::uint16_t>(0);
  }
};

TEST_F(InPcbTest, AnonymousPortsCountUpFromTheirRange) {
  socket* a = make_socket(SOCK_DGRAM);
  socket* b = make_socket(SOCK_DGRAM);
  EXPECT_EQ(anonymous(a), 1024);
  EXPECT_EQ(anonymous(b), 1025);
  socket* high = make_socket(SOCK_DGRAM);
  const int range = IP_PORTRANGE_HIGH;
  ASSERT_EQ(set_option(high, IPPROTO_LEVEL_IP, IP_PORTRANGE, &range, sizeof(range)), 0);
  EXPECT_EQ(anonymous(high), 49152);
}

TEST_F(InPcbTest, TheLowRangeCountsDownAndWraps) {
  const int range = IP_PORTRANGE_LOW;
  std::vector<std::uint16_t> ports;
  for (int i = 0; i < 1023 - 600 + 3; ++i) {
    socket* so = make_socket(SOCK_DGRAM);
    ASSERT_EQ(set_option(so, IPPROTO_LEVEL_IP, IP_PORTRANGE, &range, sizeof(range)), 0);
    ports.push_back(anonymous(so));
    if (i == 0 || i == 423) close_socket(so);  // 1023 and 600 are free again
  }
  EXPECT_EQ(ports.front(), 1023);
  EXPECT_EQ(ports[1], 1022);
  EXPECT_EQ(ports[423], 600);
  EXPECT_EQ(ports[424], 1023);  // wrapped
  EXPECT_EQ(ports[425], 600);   // the next free one, found after 1022..601 are taken
}

TEST_F(InPcbTest, TheDefaultRangeRunsOut) {
  const int width = IPPORT_USERRESERVED_LAST - IPPORT_USERRESERVED_FIRST + 1;  // 3977
  for (int i = 0; i < width; ++i) ASSERT_NE(anonymous(make_socket(SOCK_DGRAM)), 0) << i;
  socket* one_more = make_socket(SOCK_DGRAM);
  BdcLocked lock;
  EXPECT_EQ(inpcb_bind(sotoinpcb(one_more), nullptr, nullptr), BSD_EADDRNOTAVAIL);
}

TEST_F(InPcbTest, BindingAPortTwiceNeedsReuseOnBoth) {
  const int on = 1;
  struct Case {
    bool first_reuse;
    bool second_reuse;
    std::uint32_t second_address;
    int error;
  };
  std::uint16_t port = 6000;
  for (const Case c : {Case{false, false, 0, BSD_EADDRINUSE}, Case{true, false, 0, BSD_EADDRINUSE},
                       Case{false, true, 0, BSD_EADDRINUSE}, Case{true, true, 0, 0},
                       Case{false, false, kOurIp, BSD_EADDRINUSE}, Case{true, true, kOurIp, 0}}) {
    SCOPED_TRACE(port);
    socket* first = make_socket(SOCK_DGRAM);
    socket* second = make_socket(SOCK_DGRAM);
    if (c.first_reuse) {
      ASSERT_EQ(set_option(first, SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on)), 0);
    }
    if (c.second_reuse) {
      ASSERT_EQ(set_option(second, SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on)), 0);
    }
    ASSERT_EQ(bind(first, 0, port), 0);
    EXPECT_EQ(bind(second, c.second_address, port), c.error);
    ++port;
  }
  socket* bound_twice = make_socket(SOCK_DGRAM);
  ASSERT_EQ(bind(bound_twice, 0, 6100), 0);
  EXPECT_EQ(bind(bound_twice, 0, 6101), BSD_EINVAL);
  socket* stranger = make_socket(SOCK_DGRAM);
  EXPECT_EQ(bind(stranger, ipv4(10, 1, 1, 1), 6102), BSD_EADDRNOTAVAIL);
}

TEST_F(InPcbTest, AFourTupleIsTakenOnce) {
  socket* a = make_socket(SOCK_DGRAM);
  socket* b = make_socket(SOCK_DGRAM);
  const int on = 1;
  for (socket* so : {a, b}) {
    ASSERT_EQ(set_option(so, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)), 0);
    ASSERT_EQ(bind(so, kOurIp, 6200), 0);
  }
  ASSERT_EQ(connect(a, kPeerIp, 53), 0);
  EXPECT_EQ(connect(b, kPeerIp, 53), BSD_EADDRINUSE);
  EXPECT_EQ(connect(b, kPeerIp, 54), 0);
  EXPECT_EQ(connect(a, kPeerIp, 55), BSD_EISCONN);
}

TEST_F(InPcbTest, TheExactMatchIsPreferredToTheWildcard) {
  socket* wild = make_socket(SOCK_DGRAM);
  socket* exact = make_socket(SOCK_DGRAM);
  socket* connected = make_socket(SOCK_DGRAM);
  const int on = 1;
  for (socket* so : {wild, exact, connected}) ASSERT_EQ(set_option(so, SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on)), 0);
  ASSERT_EQ(bind(wild, 0, 6300), 0);
  ASSERT_EQ(bind(exact, kOurIp, 6300), 0);
  ASSERT_EQ(bind(connected, kOurIp, 6300), 0);
  ASSERT_EQ(connect(connected, kPeerIp, 7), 0);
  BdcLocked lock;
  const auto look = [](std::uint32_t faddr, std::uint16_t fport, std::uint32_t laddr) {
    return inpcb_lookup(&udbinfo, htonl(faddr), htons(fport), htonl(laddr), htons(6300), true, nullptr);
  };
  EXPECT_EQ(look(kPeerIp, 7, kOurIp), sotoinpcb(connected));
  EXPECT_EQ(look(kPeerIp, 8, kOurIp), sotoinpcb(exact));
  EXPECT_EQ(look(kPeerIp, 8, 0x7F000001), sotoinpcb(wild));
  EXPECT_EQ(inpcb_lookup_local(&udbinfo, htonl(kOurIp), htons(6300), false), sotoinpcb(exact));
  EXPECT_EQ(inpcb_lookup_local(&udbinfo, 0, htons(6300), false), sotoinpcb(wild));
}

TEST_F(InPcbTest, SocketAddressesOfABlock) {
  socket* so = make_socket(SOCK_DGRAM);
  ASSERT_EQ(bind(so, kOurIp, 6400), 0);
  ASSERT_EQ(connect(so, kPeerIp, 99), 0);
  sockaddr* local = nullptr;
  sockaddr* peer = nullptr;
  {
    BdcLocked lock;
    ASSERT_EQ(inpcb_local_sockaddr(so, &local), 0);
    ASSERT_EQ(inpcb_peer_sockaddr(so, &peer), 0);
  }
  const auto* l = reinterpret_cast<sockaddr_in*>(local);
  const auto* p = reinterpret_cast<sockaddr_in*>(peer);
  EXPECT_EQ(l->sin_len, sizeof(sockaddr_in));
  EXPECT_EQ(ntohl(l->sin_addr.s_addr), kOurIp);
  EXPECT_EQ(ntohs(l->sin_port), 6400);
  EXPECT_EQ(ntohl(p->sin_addr.s_addr), kPeerIp);
  EXPECT_EQ(ntohs(p->sin_port), 99);
  OSPrimMemFreePtr(local);
  OSPrimMemFreePtr(peer);
}

// RFC 1321's test suite.
TEST(InRandTest, Md5MatchesItsReference) {
  struct Case {
    const char* text;
    const char* digest;
  };
  const Case cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const Case& c : cases) {
    md5_ctx ctx;
    md5_init(&ctx);
    // In pieces, so the buffering across blocks is exercised too.
    const std::string text = c.text;
    for (std::size_t at = 0; at < text.size(); at += 7) {
      md5_add_bytes(&ctx, text.data() + at, static_cast<std::uint32_t>(std::min<std::size_t>(7, text.size() - at)));
    }
    std::uint8_t digest[16];
    md5_get_digest(digest, &ctx);
    char hex[33];
    for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    EXPECT_STREQ(hex, c.digest) << c.text;
  }
}

TEST_F(InPcbTest, InitialSequenceNumbersDependOnTheFourTuple) {
  inpcb a{};
  inpcb b{};
  inp_faddr(&a).s_addr = inp_faddr(&b).s_addr = htonl(kPeerIp);
  inp_laddr(&a).s_addr = inp_laddr(&b).s_addr = htonl(kOurIp);
  a.inp_fport = b.inp_fport = htons(80);
  a.inp_lport = htons(1024);
  b.inp_lport = htons(1025);
  BdcLocked lock;
  const std::uint32_t isn_a = tcp_make_isn(&a);
  const std::uint32_t isn_b = tcp_make_isn(&b);
  EXPECT_NE(isn_a, isn_b);
  EXPECT_EQ(tcp_make_isn(&a), isn_a);  // the same tick, the same number
  // The generator gives distinct words.
  const std::uint32_t r1 = rc4rand_u32();
  const std::uint32_t r2 = rc4rand_u32();
  EXPECT_NE(r1, r2);
}

}  // namespace
