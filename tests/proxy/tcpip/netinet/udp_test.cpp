// UDP: datagrams of every size between sockets of this host, the checks of
// received datagrams, port unreachable and its way back to the sender,
// broadcast and multicast fan-out, and what leaves on the wire.
#include "tests/proxy/tcpip/wire_fixture.h"

namespace {

using namespace zektcp;

class UdpTest : public WireTest {
 protected:
  void SetUp() override {
    WireTest::SetUp();
    if (HasFatalFailure()) return;
    peer_arp_reply();
    take();
  }

  socket* bound(std::uint16_t port, int buffer = 0) {
    socket* so = make_socket(SOCK_DGRAM);
    if (buffer > 0) {
      EXPECT_EQ(set_option(so, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer)), 0);
      EXPECT_EQ(set_option(so, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer)), 0);
    }
    EXPECT_EQ(bind(so, 0, port), 0);
    return so;
  }

  // A datagram from the peer to us.
  void from_peer(std::uint16_t sport, std::uint16_t dport, const Bytes& data, IpFields f = IpFields{},
                 const Mac& dst = kOurMac) {
    inject_ip(f, udp_datagram(f.src, f.dst, sport, dport, data), dst);
  }

  static std::vector<Frame> icmp_frames(std::vector<Frame> frames) {
    std::vector<Frame> out;
    for (Frame& f : frames) {
      if (f.is_ip() && f.proto() == 1) out.push_back(std::move(f));
    }
    return out;
  }
};

TEST_F(UdpTest, DatagramsOfEverySizeArriveWhole) {
  socket* rx = bound(5000, 200000);
  socket* tx = bound(5001, 200000);
  for (const std::size_t size :
       {std::size_t{1}, std::size_t{1472}, std::size_t{1473}, std::size_t{20000}, std::size_t{UDP_MAX_DATA}}) {
    SCOPED_TRACE(size);
    const Bytes data = text(size, static_cast<std::uint8_t>(size));
    for (const std::uint32_t to : {kOurIp, 0x7F000001u}) {
      ASSERT_EQ(send_to(tx, data, to, 5000), 0);
      softint_round_now();
      const Received r = receive(rx);
      ASSERT_EQ(r.error, 0);
      EXPECT_EQ(r.data, data);
      EXPECT_EQ(r.port, 5001);
    }
  }
  EXPECT_EQ(send_to(tx, text(UDP_MAX_DATA + 1), kOurIp, 5000), BSD_EMSGSIZE);
  EXPECT_EQ(ip_reass_queue_count(), 0);
}

TEST_F(UdpTest, ALargeDatagramLeavesInFragmentsOfTheMtu) {
  socket* tx = bound(5002, 70000);
  ASSERT_EQ(send_to(tx, text(UDP_MAX_DATA), kPeerIp, 9), 0);
  const auto frames = take();
  ASSERT_EQ(frames.size(), 45u);
  int expect_bytes = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const Frame& f = frames[i];
    EXPECT_LE(f.bytes.size(), 1514u);
    EXPECT_TRUE(f.ip_sum_ok());
    EXPECT_EQ((f.ip_off() & IP_OFFMASK) * 8, expect_bytes);
    EXPECT_EQ((f.ip_off() & IP_MF) != 0, i + 1 < frames.size());
    EXPECT_EQ(f.ip_id(), frames[0].ip_id());
    expect_bytes += f.ip_len() - 20;
  }
  EXPECT_EQ(expect_bytes, UDP_MAX_DATA + 8);
}

TEST_F(UdpTest, ReceivedDatagramsAreChecked) {
  socket* rx = bound(5003);
  struct Case {
    const char* name;
    std::function<Bytes()> udp;
    std::uint32_t udpstat::*counter;
    bool delivered;
  };
  const Case cases[] = {
      {"good",
       [] {
         return udp_datagram(kPeerIp, kOurIp, 1, 5003, {1, 2, 3});
       },
       &udpstat::udps_ipackets, true},
      {"no checksum",
       [] {
         return udp_datagram(kPeerIp, kOurIp, 1, 5003, {1, 2, 3}, false);
       },
       &udpstat::udps_nosum, true},
      {"bad checksum",
       [] {
         Bytes u = udp_datagram(kPeerIp, kOurIp, 1, 5003, {1, 2, 3});
         u[6] ^= 0x40;
         return u;
       },
       &udpstat::udps_badsum, false},
      {"UDP length 7",
       [] {
         Bytes u = udp_datagram(kPeerIp, kOurIp, 1, 5003, {1, 2, 3}, false);
         put16(u, 4, 7);
         return u;
       },
       &udpstat::udps_badlen, false},
      {"UDP length past the IP data",
       [] {
         Bytes u = udp_datagram(kPeerIp, kOurIp, 1, 5003, {1, 2, 3}, false);
         put16(u, 4, 40);
         return u;
       },
       &udpstat::udps_badlen, false},
      {"a header of 4 bytes",
       [] {
         return Bytes{0, 1, 0x13, 0x8B};
       },
       &udpstat::udps_hdrops, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const udpstat before = g_udpstat;
    inject_ip(IpFields{}, c.udp());
    EXPECT_EQ(g_udpstat.*c.counter, before.*c.counter + 1);
    EXPECT_EQ(receive(rx).error, c.delivered ? 0 : BSD_EWOULDBLOCK);
    EXPECT_TRUE(icmp_frames(take()).empty());
  }
  // A UDP length shorter than the IP data cuts the datagram to it.
  Bytes u = udp_datagram(kPeerIp, kOurIp, 1, 5003, {1, 2, 3, 4, 5, 6}, false);
  put16(u, 4, 8 + 2);
  inject_ip(IpFields{}, u);
  EXPECT_EQ(receive(rx).data, (Bytes{1, 2}));
}

TEST_F(UdpTest, PortUnreachableOnlyForUnicastAndNeverForPortZero) {
  from_peer(1234, 6000, text(30));
  auto answers = icmp_frames(take());
  ASSERT_EQ(answers.size(), 1u);
  const Frame& a = answers[0];
  EXPECT_EQ(a.ip_dst(), kPeerIp);
  EXPECT_EQ(a.ip_src(), kOurIp);
  EXPECT_EQ(a.ttl(), 64);
  const Bytes icmp = a.l4_bytes();
  EXPECT_EQ(icmp[0], ICMP_UNREACH);
  EXPECT_EQ(icmp[1], ICMP_UNREACH_PORT);
  EXPECT_EQ(cksum(icmp, 0, icmp.size()), 0);
  // The quote: the datagram's header as it came and 8 bytes of its data.
  ASSERT_EQ(icmp.size(), 8u + 20u + 8u);
  EXPECT_EQ(get16(icmp, 8 + 2), 20 + 8 + 30);
  EXPECT_EQ(get16(icmp, 28 + 2), 6000);

  IpFields broadcast;
  broadcast.dst = ipv4(192, 0, 2, 255);
  from_peer(1234, 6000, text(30), broadcast, kBroadcastMac);
  IpFields group;
  group.dst = ipv4(224, 0, 0, 1);
  from_peer(1234, 6000, text(30), group, Mac{{0x01, 0x00, 0x5E, 0, 0, 1}});
  from_peer(1234, 0, text(30));
  EXPECT_TRUE(icmp_frames(take()).empty());
  EXPECT_EQ(g_udpstat.udps_noportbcast, 2u);
}

TEST_F(UdpTest, APortUnreachableReachesTheConnectedSender) {
  socket* so = bound(5004);
  ASSERT_EQ(connect(so, kPeerIp, 7777), 0);
  ASSERT_EQ(send_to(so, text(12)), 0);
  const auto sent = take();
  ASSERT_EQ(sent.size(), 1u);
  // The peer answers with port unreachable, quoting what we sent.
  const Bytes quote(sent[0].bytes.begin() + 14, sent[0].bytes.begin() + 14 + 28);
  IpFields f;
  f.proto = 1;
  inject_ip(f, icmp_message(ICMP_UNREACH, ICMP_UNREACH_PORT, 0, quote));
  const Received r = receive(so);
  EXPECT_EQ(r.error, BSD_ECONNREFUSED);
  // The error is reported once.
  EXPECT_EQ(receive(so).error, BSD_EWOULDBLOCK);
  // An unconnected socket of the same port hears nothing of it.
  socket* other = bound(5005);
  ASSERT_EQ(send_to(other, text(12), kPeerIp, 7777), 0);
  const auto second = take();
  ASSERT_EQ(second.size(), 1u);
  inject_ip(f, icmp_message(ICMP_UNREACH, ICMP_UNREACH_PORT, 0,
                            Bytes(second[0].bytes.begin() + 14, second[0].bytes.begin() + 14 + 28)));
  EXPECT_EQ(receive(other).error, BSD_EWOULDBLOCK);
}

TEST_F(UdpTest, GroupDatagramsReachEverySocketThatSharesThePort) {
  const int on = 1;
  socket* a = make_socket(SOCK_DGRAM);
  socket* b = make_socket(SOCK_DGRAM);
  for (socket* so : {a, b}) {
    ASSERT_EQ(set_option(so, SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on)), 0);
    ASSERT_EQ(bind(so, 0, 5353), 0);
    ip_mreq mreq{{htonl(ipv4(239, 1, 2, 3))}, {htonl(kOurIp)}};
    ASSERT_EQ(set_option(so, IPPROTO_LEVEL_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)), 0);
  }
  IpFields group;
  group.dst = ipv4(239, 1, 2, 3);
  from_peer(1, 5353, text(9), group, Mac{{0x01, 0x00, 0x5E, 0x01, 0x02, 0x03}});
  EXPECT_EQ(receive(a).data, text(9));
  EXPECT_EQ(receive(b).data, text(9));
  // A socket that does not share its port takes the datagram alone.
  socket* c = make_socket(SOCK_DGRAM);
  ASSERT_EQ(bind(c, 0, 5354), 0);
  socket* d = make_socket(SOCK_DGRAM);
  EXPECT_EQ(bind(d, 0, 5354), BSD_EADDRINUSE);
}

TEST_F(UdpTest, TheHeadersOnTheWire) {
  socket* so = bound(5006);
  ASSERT_EQ(send_to(so, text(33), kPeerIp, 53), 0);
  const auto frames = take();
  ASSERT_EQ(frames.size(), 1u);
  const Frame& f = frames[0];
  EXPECT_EQ(f.dst(), kPeerMac);
  EXPECT_EQ(f.ip_src(), kOurIp);
  EXPECT_EQ(f.ip_dst(), kPeerIp);
  EXPECT_EQ(f.ttl(), 64);
  EXPECT_EQ(f.ip_len(), 20 + 8 + 33);
  EXPECT_TRUE(f.ip_sum_ok());
  const Bytes u = f.l4_bytes();
  EXPECT_EQ(get16(u, 0), 5006);
  EXPECT_EQ(get16(u, 2), 53);
  EXPECT_EQ(get16(u, 4), 8 + 33);
  const std::uint32_t pseudo =
      (kOurIp >> 16) + (kOurIp & 0xFFFF) + (kPeerIp >> 16) + (kPeerIp & 0xFFFF) + 17 + u.size();
  EXPECT_EQ(cksum(u, 0, u.size(), pseudo), 0);
  // The temporary connection of the send is undone.
  inpcb* inp = sotoinpcb(so);
  EXPECT_EQ(inp_faddr(inp).s_addr, 0u);
  EXPECT_EQ(inp_laddr(inp).s_addr, 0u);
  EXPECT_EQ(inp->inp_fport, 0);
}

TEST_F(UdpTest, RequestsOnASocketThatIsNotConnected) {
  socket* so = bound(5007);
  EXPECT_EQ(send_to(so, text(3)), BSD_EDESTADDRREQ);
  BdcLocked lock;
  EXPECT_EQ(so->so_proto->pr_usrreqs->pru_disconnect(so), BSD_ENOTCONN);
}

// A membership on an interface without an IPv4 address, through the
// interface's index: when the interface goes, the socket lets go of it
// before the interface layer frees it.
TEST_F(UdpTest, AnInterfaceThatGoesTakesItsMembershipsFromTheSockets) {
  TestAdapter second;
  attach(&second, Mac{{0x02, 0x5A, 0, 0, 1, 1}}, 1);
  second.ac.ac_if.if_flags |= IFF_UP;
  socket* so = bound(5008);
  ip_mreq mreq{{htonl(ipv4(239, 9, 9, 9))}, {htonl(second.ac.ac_if.if_index)}};
  ASSERT_EQ(set_option(so, IPPROTO_LEVEL_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)), 0);
  ASSERT_NE(sotoinpcb(so)->inp_moptions, nullptr);
  ASSERT_EQ(sotoinpcb(so)->inp_moptions->imo_num_memberships, 1);
  {
    BdcLocked lock;
    iface_detach(&second.ac.ac_if);
  }
  attached_.erase(std::find(attached_.begin(), attached_.end(), &second));
  ip_moptions* imo = sotoinpcb(so)->inp_moptions;
  EXPECT_TRUE(imo == nullptr || imo->imo_num_memberships == 0);
  close_socket(so);
}

}  // namespace
