// Ethernet and loopback interfaces: what is looped back instead of sent,
// the send queue and the input queues with their limits, the Ethernet
// requests and the IPv4 group mapping.
#include "tests/proxy/tcpip/wire_fixture.h"

namespace {

using namespace zektcp;

class EtherTest : public WireTest {};

TEST_F(EtherTest, UnicastToOurOwnAddressGoesRoundTheLoopbackNeverOnTheWire) {
  socket* rx = make_socket(SOCK_DGRAM);
  ASSERT_EQ(bind(rx, 0, 7000), 0);
  socket* tx = make_socket(SOCK_DGRAM);
  ASSERT_EQ(send_to(tx, text(100), kOurIp, 7000), 0);
  softint_round_now();
  EXPECT_TRUE(take().empty());
  const Received r = receive(rx);
  ASSERT_EQ(r.error, 0);
  EXPECT_EQ(r.data, text(100));
  EXPECT_EQ(r.from, kOurIp);
}

TEST_F(EtherTest, AFrameToOurOwnMacIsLoopedNotSent) {
  socket* rx = make_socket(SOCK_DGRAM);
  ASSERT_EQ(bind(rx, 0, 7001), 0);
  // Straight to Ethernet output for our own address: ARP gives our own MAC,
  // and the simplex interface hands the frame to its own input.
  Bytes datagram = ipv4_packet(IpFields{kOurIp, kOurIp, 17}, udp_datagram(kOurIp, kOurIp, 5, 7001, text(8)));
  mbuf* m = mbuf_from_bytes(datagram.data(), static_cast<int>(datagram.size()), nullptr, M_DONTWAIT);
  sockaddr_in dst = make_sockaddr_in(kOurIp);
  {
    BdcLocked lock;
    EXPECT_EQ(ether_if_output(ifp(), m, reinterpret_cast<sockaddr*>(&dst), nullptr), 0);
  }
  softint_round_now();
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(receive(rx).data, text(8));
  // A complete header given with the frame (family 0) is sent as it is.
  m = mbuf_from_bytes(datagram.data(), static_cast<int>(datagram.size()), nullptr, M_DONTWAIT);
  sockaddr sa{};
  sa.sa_len = sizeof(sa);
  sa.sa_family = AF_UNSPEC;
  auto* eh = reinterpret_cast<ether_header*>(sa.sa_data);
  std::memcpy(eh->ether_dhost, kOurMac.b, 6);
  eh->ether_type = htons(ETHERTYPE_IP);
  {
    BdcLocked lock;
    EXPECT_EQ(ether_if_output(ifp(), m, &sa, nullptr), 0);
  }
  EXPECT_EQ(take().size(), 1u);
}

TEST_F(EtherTest, BroadcastsAreSentAndHeardByThisHostToo) {
  socket* rx = make_socket(SOCK_DGRAM);
  ASSERT_EQ(bind(rx, 0, 7002), 0);
  socket* tx = make_socket(SOCK_DGRAM);
  const int on = 1;
  ASSERT_EQ(set_option(tx, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)), 0);
  ASSERT_EQ(send_to(tx, text(20), ipv4(192, 0, 2, 255), 7002), 0);
  softint_round_now();
  const auto sent = take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].dst(), kBroadcastMac);
  EXPECT_EQ(receive(rx).data, text(20));
}

TEST_F(EtherTest, TheInputQueueHoldsTwoThousandFramesAndCountsTheRest) {
  const Bytes frame =
      ether(kOurMac, kPeerMac, 0x0800, ipv4_packet(IpFields{}, udp_datagram(kPeerIp, kOurIp, 1, 9, {})));
  const std::int32_t drops = ipintrq.ifq_drops;
  // The soft-interrupt thread takes the input lock for its rounds, so
  // holding it keeps the queue filling.
  AcquireInputLock();
  for (int i = 0; i < IFQ_MAXLEN + 1; ++i) {
    mbuf* m = mbuf_from_bytes(frame.data() + 14, static_cast<int>(frame.size() - 14), ifp(), M_WAIT);
    ASSERT_NE(m, nullptr);
    ether_header eh;
    std::memcpy(&eh, frame.data(), sizeof(eh));
    ether_if_input(ifp(), &eh, m);
  }
  EXPECT_EQ(ipintrq.ifq_len, IFQ_MAXLEN);
  EXPECT_EQ(ipintrq.ifq_drops, drops + 1);
  ReleaseInputLock();
  softint_round_now();
  EXPECT_EQ(ipintrq.ifq_len, 0);
}

TEST_F(EtherTest, TaggedAndUnknownFramesAreCountedAndDropped) {
  const std::uint32_t before = ifp()->if_data.ifi_noproto;
  inject(ether(kOurMac, kPeerMac, 0x8100, Bytes(46)));
  inject(ether(kOurMac, kPeerMac, 0x86DD, Bytes(46)));
  EXPECT_EQ(ifp()->if_data.ifi_noproto, before + 2);
  EXPECT_EQ(ipintrq.ifq_len, 0);
  // A frame on an interface that is down is not taken at all.
  ifp()->if_flags &= ~IFF_UP;
  inject(ether(kOurMac, kPeerMac, 0x0800, Bytes(46)));
  EXPECT_EQ(g_ipstat.ips_total, 0u);
  ifp()->if_flags |= IFF_UP;
}

TEST_F(EtherTest, AFullSendQueueDropsButAQueuedFrameIsNotAnError) {
  peer_arp_reply();
  take();
  socket* tx = make_socket(SOCK_DGRAM);
  // The driver is out of transmit buffers: frames wait in the queue and the
  // sender is not told of an error (a TCP sender would slow down for nothing).
  adapter_.refuse_transmit = true;
  EXPECT_EQ(send_to(tx, text(10), kPeerIp, 9), 0);
  EXPECT_EQ(ifp()->if_snd.ifq_len, 1);
  ifp()->if_flags |= IFF_OACTIVE;
  EXPECT_EQ(send_to(tx, text(10), kPeerIp, 9), 0);
  EXPECT_EQ(ifp()->if_snd.ifq_len, 2);
  ifp()->if_flags &= ~IFF_OACTIVE;
  // IP refuses what the queue cannot take.
  ifp()->if_snd.ifq_maxlen = 3;
  EXPECT_EQ(send_to(tx, text(10), kPeerIp, 9), BSD_ENOBUFS);
  EXPECT_EQ(g_ipstat.ips_odropped, 1u);
  // Frames handed straight to the queue beyond its limit are dropped and counted.
  ifp()->if_snd.ifq_maxlen = 2;
  mbuf* m = mbuf_from_bytes(text(60).data(), 60, nullptr, M_DONTWAIT);
  {
    BdcLocked lock;
    EXPECT_EQ(ether_if_output_frame(ifp(), m), BSD_ENOBUFS);
  }
  EXPECT_EQ(ifp()->if_snd.ifq_drops, 1);
  // The driver has room again: the queue drains.
  adapter_.refuse_transmit = false;
  ifp()->if_snd.ifq_maxlen = IFQ_MAXLEN;
  EXPECT_EQ(send_to(tx, text(10), kPeerIp, 9), 0);
  EXPECT_EQ(take().size(), 3u);
  EXPECT_EQ(ifp()->if_snd.ifq_len, 0);
}

TEST_F(EtherTest, RequestsAndTheMtuLimit) {
  ifreq req{};
  iface_full_name(ifp(), req.ifr_name);
  BdcLocked lock;
  req.ifr_ifru.ifru_mtu = 1501;
  EXPECT_EQ(iface_ioctl(nullptr, SIOCSIFMTU, &req, nullptr), BSD_EINVAL);
  req.ifr_ifru.ifru_mtu = 1500;
  EXPECT_EQ(iface_ioctl(nullptr, SIOCSIFMTU, &req, nullptr), 0);
  req.ifr_ifru.ifru_mtu = 576;
  EXPECT_EQ(iface_ioctl(nullptr, SIOCSIFMTU, &req, nullptr), 0);
  EXPECT_EQ(ifp()->if_data.ifi_mtu, 576u);
  req = ifreq{};
  iface_full_name(ifp(), req.ifr_name);
  EXPECT_EQ(ether_if_ioctl(ifp(), SIOCGIFADDR, &req), 0);
  EXPECT_EQ(req.ifr_ifru.ifru_addr.sa_len, 6);
  EXPECT_EQ(std::memcmp(req.ifr_ifru.ifru_addr.sa_data, kOurMac.b, 6), 0);
}

TEST_F(EtherTest, GroupsMapToTheirEthernetAddresses) {
  struct Case {
    std::uint32_t group;
    Mac mac;
  };
  for (const Case c : {Case{ipv4(224, 0, 0, 1), {{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01}}},
                       Case{ipv4(239, 255, 1, 2), {{0x01, 0x00, 0x5E, 0x7F, 0x01, 0x02}}},
                       Case{ipv4(224, 129, 2, 3), {{0x01, 0x00, 0x5E, 0x01, 0x02, 0x03}}}}) {
    Mac out;
    ether_map_group(htonl(c.group), out.b);
    EXPECT_EQ(out, c.mac) << std::hex << c.group;
  }
  sockaddr_in unicast = make_sockaddr_in(kPeerIp);
  sockaddr* llsa = nullptr;
  BdcLocked lock;
  EXPECT_EQ(ether_map_multicast(ifp(), &llsa, reinterpret_cast<sockaddr*>(&unicast)), BSD_EADDRNOTAVAIL);
  sockaddr_in group = make_sockaddr_in(ipv4(239, 1, 2, 3));
  ASSERT_EQ(ether_map_multicast(ifp(), &llsa, reinterpret_cast<sockaddr*>(&group)), 0);
  ASSERT_NE(llsa, nullptr);
  auto* sdl = reinterpret_cast<sockaddr_dl*>(llsa);
  EXPECT_EQ(sdl->sdl_alen, 6);
  EXPECT_EQ(LLADDR(sdl)[3], 1);
  OSPrimMemFreePtr(llsa);
}

TEST_F(EtherTest, TheLoopbackInterfaceAndItsAddress) {
  ifnet* lo = loif();
  ASSERT_NE(lo, nullptr);
  EXPECT_STREQ(lo->if_name, "lo");
  EXPECT_EQ(lo->if_data.ifi_mtu, LOMTU);
  EXPECT_TRUE(lo->if_flags & IFF_LOOPBACK);
  EXPECT_TRUE(lo->if_flags & IFF_UP);
  // 127.0.0.1 has a host route through "lo" with the loopback's pipe sizes.
  sockaddr_in local = make_sockaddr_in(0x7F000001);
  BdcLocked lock;
  rtentry* rt = rtalloc1(reinterpret_cast<sockaddr*>(&local), 0, 0);
  ASSERT_NE(rt, nullptr);
  EXPECT_EQ(rt->rt_ifp, lo);
  EXPECT_TRUE(rt->rt_flags & RTF_HOST);
  EXPECT_EQ(rt->rt_rmx.rmx_sendpipe, LO_PIPE_SIZE);
  EXPECT_EQ(rt->rt_rmx.rmx_mtu, LOMTU);
  rtfree(rt);
  // Families other than IPv4 are refused.
  mbuf* m = mbuf_from_bytes(text(10).data(), 10, nullptr, M_DONTWAIT);
  sockaddr other{};
  other.sa_len = 2;
  other.sa_family = 30;
  EXPECT_EQ(looutput(lo, m, &other, nullptr), BSD_EAFNOSUPPORT);
}

}  // namespace
