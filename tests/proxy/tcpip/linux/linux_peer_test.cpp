// The host stack against Linux's own stack, a real peer: the stack's
// Ethernet interface is wired to a TAP device in a network namespace the
// test makes (192.0.2.0/24; nothing leaves it). Pings both ways, UDP both
// ways from 1 byte to the largest datagram (fragmented and reassembled by
// each side), port unreachable reaching either sender, a bounded flood each
// way, and a capture that a protocol analyser reads without complaint.
// Where the machine cannot make a namespace or a TAP device the tests skip.
#include "tests/proxy/tcpip/linux/linux_peer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>

#include "tests/proxy/tcpip/wire_fixture.h"

namespace {

using namespace zektcp;
using linuxpeer::Peer;

constexpr std::uint16_t kLinuxPort = 40000;
constexpr std::uint16_t kStackPort = 40001;

class LinuxPeerTest : public WireTest {
 protected:
  void SetUp() override {
    WireTest::SetUp();
    if (HasFatalFailure()) return;
    dir_ = linuxpeer::temp_dir("zektcpip-linux");
    ASSERT_FALSE(dir_.empty());
    const std::string why = peer_.open(kPeerIp, 24, capture());
    if (!why.empty()) {
      GTEST_SKIP() << "no Linux peer on this machine: " << why
                   << " (the tests need root for a network namespace with a TAP device; CI runs them as root)";
    }
  }

  void TearDown() override {
    WireTest::TearDown();
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }

  std::string capture() const { return dir_ + "/tap.pcap"; }

  // Moves what is waiting each way once: the stack's frames to Linux,
  // Linux's frames into the stack. Whether anything moved.
  bool pump() {
    bool moved = false;
    for (Frame& f : take()) {
      EXPECT_TRUE(peer_.write_frame(f.bytes));
      moved = true;
    }
    while (auto frame = peer_.read_frame()) {
      if (frame->size() >= 14) inject(*frame);
      moved = true;
    }
    return moved;
  }

  // Pumps frames until `done` holds; false when nothing moved for
  // `idle_ms` of real time, or after a minute in all (a bound for floods).
  template <typename F>
  bool until(F done, int idle_ms = 10000) {
    using Clock = std::chrono::steady_clock;
    const auto cap = Clock::now() + std::chrono::seconds(60);
    auto idle_end = Clock::now() + std::chrono::milliseconds(idle_ms);
    while (!done()) {
      const auto now = Clock::now();
      if (now > cap) return false;
      if (pump()) {
        idle_end = now + std::chrono::milliseconds(idle_ms);
        continue;
      }
      if (now > idle_end) return false;
      peer_.wait_frame(20);
    }
    return true;
  }

  // The stack's socket: bound to kStackPort, room for the largest datagram.
  socket* stack_udp() {
    socket* so = make_socket(SOCK_DGRAM);
    const int buffer = 200000;
    EXPECT_EQ(set_option(so, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer)), 0);
    EXPECT_EQ(set_option(so, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer)), 0);
    EXPECT_EQ(bind(so, 0, kStackPort), 0);
    return so;
  }

  // An ICMP echo message and, in a received IP datagram, whether it is
  // the reply to it with its data intact.
  static Bytes echo(std::uint16_t id, std::uint16_t seq, const Bytes& data) {
    return icmp_message(ICMP_ECHO, 0, (std::uint32_t{id} << 16) | seq, data);
  }
  static bool is_reply(const Bytes& datagram, std::uint16_t id, std::uint16_t seq, const Bytes& data) {
    if (datagram.size() < 20) return false;
    const std::size_t hlen = (datagram[0] & 0xFu) * 4u;
    if (datagram.size() < hlen + 8 || datagram[hlen] != ICMP_ECHOREPLY) return false;
    return get32(datagram, hlen + 4) == ((std::uint32_t{id} << 16) | seq) &&
           cksum(datagram, hlen, datagram.size() - hlen) == 0 &&
           Bytes(datagram.begin() + static_cast<long>(hlen) + 8, datagram.end()) == data;
  }

  // The stack pings Linux.
  bool stack_pings(socket* so, std::uint16_t seq, const Bytes& data) {
    if (send_to(so, echo(0x4321, seq, data), kPeerIp) != 0) return false;
    return until([&] {
      const Received r = receive(so);
      return r.error == 0 && r.from == kPeerIp && is_reply(r.data, 0x4321, seq, data);
    });
  }

  // Linux pings the stack.
  bool linux_pings(int fd, std::uint16_t seq, const Bytes& data) {
    if (!peer_.send_to(fd, echo(0x1234, seq, data), kOurIp)) return false;
    return until([&] {
      const auto d = peer_.receive(fd);
      return d && d->from == kOurIp && is_reply(d->data, 0x1234, seq, data);
    });
  }

  // One datagram each way between the stack's socket and Linux's.
  void udp_both_ways(socket* so, int fd, const Bytes& data) {
    ASSERT_TRUE(peer_.send_to(fd, data, kOurIp, kStackPort));
    Received in;
    ASSERT_TRUE(until([&] { return (in = receive(so)).error == 0; })) << "the stack received nothing";
    EXPECT_EQ(in.data, data);
    EXPECT_EQ(in.from, kPeerIp);
    EXPECT_EQ(in.port, kLinuxPort);

    ASSERT_EQ(send_to(so, data, kPeerIp, kLinuxPort), 0);
    std::optional<Peer::Datagram> out;
    ASSERT_TRUE(until([&] { return (out = peer_.receive(fd)).has_value(); })) << "Linux received nothing";
    EXPECT_EQ(out->data, data);
    EXPECT_EQ(out->from, kOurIp);
    EXPECT_EQ(out->port, kStackPort);
  }

  std::string dir_;
  Peer peer_;
};

TEST_F(LinuxPeerTest, LinuxAndTheStackPingEachOther) {
  const int fd = peer_.icmp_socket();
  ASSERT_GE(fd, 0);
  socket* so = make_socket(SOCK_RAW, IPPROTO_ICMP);
  // 4000 bytes of data go in three fragments each way, reassembled by the
  // other side before it answers.
  std::uint16_t seq = 1;
  for (const std::size_t size : {std::size_t{56}, std::size_t{4000}, std::size_t{0}}) {
    SCOPED_TRACE(size);
    EXPECT_TRUE(linux_pings(fd, seq, text(size, static_cast<std::uint8_t>(seq)))) << "no echo reply from the stack";
    ++seq;
    EXPECT_TRUE(stack_pings(so, seq, text(size, static_cast<std::uint8_t>(seq)))) << "no echo reply from Linux";
    ++seq;
  }
  EXPECT_GE(g_ipstat.ips_reassembled, 2u);
  EXPECT_GE(g_ipstat.ips_fragmented, 2u);
  EXPECT_EQ(g_ipstat.ips_badsum + g_ipstat.ips_badlen + g_ipstat.ips_badhlen + g_ipstat.ips_tooshort, 0u);
}

TEST_F(LinuxPeerTest, UdpDatagramsOfEverySizeCrossBothWays) {
  socket* so = stack_udp();
  const int fd = peer_.udp_socket(kPeerIp, kLinuxPort);
  ASSERT_GE(fd, 0);
  // The first, small datagram resolves both ARP caches; the largest is 45
  // fragments each way.
  for (const std::size_t size :
       {std::size_t{1}, std::size_t{1472}, std::size_t{1473}, std::size_t{8000}, std::size_t{UDP_MAX_DATA}}) {
    SCOPED_TRACE(size);
    udp_both_ways(so, fd, text(size, static_cast<std::uint8_t>(size)));
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(ip_reass_queue_count(), 0);
}

TEST_F(LinuxPeerTest, PortUnreachableReachesEitherSender) {
  socket* so = stack_udp();
  const int fd = peer_.udp_socket(kPeerIp, kLinuxPort);
  ASSERT_GE(fd, 0);
  udp_both_ways(so, fd, text(8));  // both sides know each other
  ASSERT_FALSE(HasFatalFailure());

  // Linux sends to a port of the stack with no socket: the stack's port
  // unreachable comes back to Linux's socket as its error.
  ASSERT_TRUE(peer_.send_to(fd, text(8), kOurIp, kStackPort + 1));
  int error = 0;
  EXPECT_TRUE(until([&] { return (error = peer_.pending_error(fd)) != 0; })) << "Linux's socket heard nothing";
  EXPECT_EQ(error, ECONNREFUSED);

  // The stack's connected socket sends to a port of Linux with no socket:
  // Linux's port unreachable reaches it as ECONNREFUSED, once.
  socket* connected = make_socket(SOCK_DGRAM);
  ASSERT_EQ(connect(connected, kPeerIp, kLinuxPort + 1), 0);
  ASSERT_EQ(send_to(connected, text(8)), 0);
  Received r;
  EXPECT_TRUE(until([&] { return (r = receive(connected)).error != BSD_EWOULDBLOCK; }));
  EXPECT_EQ(r.error, BSD_ECONNREFUSED);
  EXPECT_EQ(receive(connected).error, BSD_EWOULDBLOCK);
}

TEST_F(LinuxPeerTest, ABoundedFloodEachWayLosesNothing) {
  socket* so = stack_udp();
  const int fd = peer_.udp_socket(kPeerIp, kLinuxPort);
  ASSERT_GE(fd, 0);
  udp_both_ways(so, fd, text(1));
  ASSERT_FALSE(HasFatalFailure());
  // 2000 datagrams each way in windows of 50, each window read before the
  // next is sent (the socket buffers hold a window, not the flood).
  constexpr int kCount = 2000;
  constexpr int kWindow = 50;
  for (const std::size_t size : {std::size_t{64}, std::size_t{1472}}) {
    SCOPED_TRACE(size);
    int to_stack = 0;
    int to_linux = 0;
    for (int sent = 0; sent < kCount; sent += kWindow) {
      for (int i = 0; i < kWindow; ++i) {
        const Bytes data = text(size, static_cast<std::uint8_t>(sent + i));
        ASSERT_TRUE(peer_.send_to(fd, data, kOurIp, kStackPort));
        ASSERT_EQ(send_to(so, data, kPeerIp, kLinuxPort), 0);
      }
      const int window_end = sent + kWindow;
      ASSERT_TRUE(until([&] {
        while (receive(so).error == 0) ++to_stack;
        while (peer_.receive(fd)) ++to_linux;
        return to_stack == window_end && to_linux == window_end;
      })) << to_stack
          << " reached the stack and " << to_linux << " reached Linux of " << window_end;
    }
    EXPECT_EQ(to_stack, kCount);
    EXPECT_EQ(to_linux, kCount);
  }
  EXPECT_EQ(g_udpstat.udps_fullsock, 0u);
}

// The stack's neighbour entry for Linux expires after twenty minutes and
// leaves the adapter; the next datagram asks for Linux again, and Linux's
// answer resolves it anew.
TEST_F(LinuxPeerTest, AnExpiredNeighbourIsAskedForAgain) {
  socket* so = stack_udp();
  const int fd = peer_.udp_socket(kPeerIp, kLinuxPort);
  ASSERT_GE(fd, 0);
  udp_both_ways(so, fd, text(16));
  ASSERT_FALSE(HasFatalFailure());
  auto mirrored = [&] {
    return std::any_of(adapter_.arp_table.begin(), adapter_.arp_table.end(),
                       [](const TestAdapter::ArpSlot& s) { return s.ip == kPeerIp; });
  };
  ASSERT_TRUE(mirrored());
  advance_seconds(1500);  // past the entry's 1200 s, with a 300 s walk
  EXPECT_FALSE(mirrored());

  ASSERT_EQ(send_to(so, text(16, 1), kPeerIp, kLinuxPort), 0);
  EXPECT_EQ(std::count_if(adapter_.sent.begin(), adapter_.sent.end(),
                          [](const Frame& f) { return arp_request_for(f, kPeerIp); }),
            1);
  std::optional<Peer::Datagram> out;
  ASSERT_TRUE(until([&] { return (out = peer_.receive(fd)).has_value(); })) << "Linux received nothing";
  EXPECT_EQ(out->data, text(16, 1));
  EXPECT_TRUE(mirrored());
}

// Group datagrams both ways: the stack's join is reported on the wire, and
// each side hears the other's datagrams to a group it joined.
TEST_F(LinuxPeerTest, GroupDatagramsCrossBothWays) {
  constexpr std::uint32_t kStackGroup = ipv4(239, 1, 2, 4);
  constexpr std::uint32_t kLinuxGroup = ipv4(239, 1, 2, 3);
  constexpr std::uint16_t kGroupPort = kLinuxPort + 2;
  socket* so = stack_udp();
  const ip_mreq mreq{{htonl(kStackGroup)}, {htonl(kOurIp)}};
  ASSERT_EQ(set_option(so, IPPROTO_LEVEL_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)), 0);
  const auto reports = std::count_if(adapter_.sent.begin(), adapter_.sent.end(), [](const Frame& f) {
    return f.is_ip() && f.proto() == IPPROTO_IGMP && f.ip_dst() == kStackGroup;
  });
  EXPECT_EQ(reports, 1) << "no report of the stack's group on the wire";

  const int sender = peer_.udp_socket(kPeerIp, kLinuxPort);
  ASSERT_GE(sender, 0);
  ASSERT_TRUE(peer_.multicast_via_device(sender));
  ASSERT_TRUE(peer_.send_to(sender, text(100), kStackGroup, kStackPort));
  Received in;
  ASSERT_TRUE(until([&] { return (in = receive(so)).error == 0; })) << "the stack heard nothing of its group";
  EXPECT_EQ(in.data, text(100));
  EXPECT_EQ(in.from, kPeerIp);

  const int listener = peer_.udp_socket(0, kGroupPort);
  ASSERT_GE(listener, 0);
  ASSERT_TRUE(peer_.join(listener, kLinuxGroup));
  const in_addr via{htonl(kOurIp)};
  ASSERT_EQ(set_option(so, IPPROTO_LEVEL_IP, IP_MULTICAST_IF, &via, sizeof(via)), 0);
  ASSERT_EQ(send_to(so, text(200), kLinuxGroup, kGroupPort), 0);
  std::optional<Peer::Datagram> out;
  ASSERT_TRUE(until([&] { return (out = peer_.receive(listener)).has_value(); })) << "Linux heard nothing";
  EXPECT_EQ(out->data, text(200));
  EXPECT_EQ(out->from, kOurIp);
  EXPECT_EQ(out->port, kStackPort);
}

TEST_F(LinuxPeerTest, TheCaptureReadsInAProtocolAnalyserWithoutMalformedPackets) {
  socket* raw = make_socket(SOCK_RAW, IPPROTO_ICMP);
  const int icmp = peer_.icmp_socket();
  ASSERT_GE(icmp, 0);
  EXPECT_TRUE(stack_pings(raw, 1, text(56)));
  EXPECT_TRUE(linux_pings(icmp, 2, text(3000)));
  socket* so = stack_udp();
  const int fd = peer_.udp_socket(kPeerIp, kLinuxPort);
  ASSERT_GE(fd, 0);
  udp_both_ways(so, fd, text(5000));
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_TRUE(peer_.send_to(fd, text(8), kOurIp, kStackPort + 1));  // a port unreachable
  int error = 0;
  EXPECT_TRUE(until([&] { return (error = peer_.pending_error(fd)) != 0; }));

  if (linuxpeer::run("command -v tshark >/dev/null 2>&1").code != 0) {
    GTEST_SKIP() << "tshark is not installed (scripts/install-deps installs it): the capture was not checked";
  }
  // The data of the test's ports is plain data, not some protocol that
  // happens to use them.
  const std::string read = "tshark -n -r " + capture() + " -d udp.port==" + std::to_string(kLinuxPort) +
                           ",data -d udp.port==" + std::to_string(kStackPort) + ",data";
  const auto all = linuxpeer::run(read + " -T fields -e frame.protocols 2>/dev/null");
  ASSERT_EQ(all.code, 0) << all.text;
  for (const char* protocol : {"eth:ethertype:arp", "ip:icmp", "ip:udp"}) {
    EXPECT_NE(all.text.find(protocol), std::string::npos) << protocol << " missing in\n" << all.text;
  }
  const auto bad = linuxpeer::run(read + " -o ip.check_checksum:TRUE -o udp.check_checksum:TRUE" +
                                  " -Y '_ws.malformed || _ws.expert.severity >= error' 2>/dev/null");
  EXPECT_EQ(bad.code, 0);
  EXPECT_EQ(bad.text, "") << "frames the analyser flags";
}

}  // namespace
