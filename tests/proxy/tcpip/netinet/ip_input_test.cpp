// IPv4 input: the table of malformed packets (each dropped and counted,
// nothing delivered), acceptance for this host, reassembly with its limits,
// and the options this host serves or refuses.
#include <numeric>

#include "tests/proxy/tcpip/wire_fixture.h"

namespace {

using namespace zektcp;

constexpr std::uint16_t kPort = 4000;

class IpInputTest : public WireTest {
 protected:
  void SetUp() override {
    WireTest::SetUp();
    if (HasFatalFailure()) return;
    peer_arp_reply();  // the peer is known, so answers go out at once
    take();
    rx_ = make_socket(SOCK_DGRAM);
    int size = 200000;
    ASSERT_EQ(set_option(rx_, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)), 0);
    ASSERT_EQ(bind(rx_, 0, kPort), 0);
  }

  // The UDP payload of a datagram to our port, as IP data.
  static Bytes udp_to_us(const Bytes& data) { return udp_datagram(kPeerIp, kOurIp, 5555, kPort, data); }

  struct Piece {
    int offset;  // bytes, a multiple of 8 except for tests of the rule
    int length;
    bool more;
  };

  // Fragments of one datagram, in the order given.
  void inject_fragments(const Bytes& ip_data, const std::vector<Piece>& pieces, std::uint16_t id = 77) {
    for (const Piece& p : pieces) {
      IpFields f;
      f.id = id;
      f.off = static_cast<std::uint16_t>((p.more ? IP_MF : 0) | (p.offset / 8));
      const Bytes part(ip_data.begin() + p.offset, ip_data.begin() + p.offset + p.length);
      inject_ip(f, part);
    }
  }

  // Cuts IP data into 8-byte aligned pieces of at most `size` bytes.
  static std::vector<Piece> cut(int total, int size) {
    std::vector<Piece> pieces;
    for (int off = 0; off < total; off += size) {
      const int len = std::min(size, total - off);
      pieces.push_back({off, len, off + len < total});
    }
    return pieces;
  }

  socket* rx_ = nullptr;
};

struct BadPacket {
  const char* name;
  std::function<Bytes()> frame;
  std::uint32_t ipstat::*counter;
};

TEST_F(IpInputTest, MalformedPacketsAreDroppedAndCounted) {
  const Bytes good = udp_to_us(text(16));
  auto with = [&](auto change, Bytes payload = {}) {
    if (payload.empty()) payload = good;
    return [=] {
      IpFields f;
      change(f);
      return ether(kOurMac, kPeerMac, 0x0800, ipv4_packet(f, payload));
    };
  };
  auto raw = [](Bytes ip) { return [=] { return ether(kOurMac, kPeerMac, 0x0800, ip); }; };
  Bytes tiny = ipv4_packet(IpFields{}, good);
  tiny.resize(19);
  Bytes long_header = ipv4_packet(IpFields{}, {});
  long_header[0] = 0x4F;  // 60 bytes of header in a packet of 20
  long_header[10] = long_header[11] = 0;
  put16(long_header, 10, cksum(long_header, 0, 20));
  const BadPacket cases[] = {
      {"shorter than a header", raw(tiny), &ipstat::ips_tooshort},
      {"version 6", with([](IpFields& f) { f.version = 6; }), &ipstat::ips_badvers},
      {"header of 16 bytes", with([](IpFields& f) { f.hlen_words = 4; }), &ipstat::ips_badhlen},
      {"header past the packet", raw(long_header), &ipstat::ips_badhlen},
      {"bad header checksum", with([](IpFields& f) { f.bad_sum = true; }), &ipstat::ips_badsum},
      {"total length below the header", with([](IpFields& f) { f.total_len = 12; }), &ipstat::ips_badlen},
      {"total length past the frame", with([](IpFields& f) { f.total_len = 1400; }), &ipstat::ips_tooshort},
      {"loopback source on the wire", with([](IpFields& f) { f.src = 0x7F000001; }), &ipstat::ips_badaddr},
      {"loopback destination on the wire", with([](IpFields& f) { f.dst = 0x7F000001; }), &ipstat::ips_badaddr},
      {"another host's datagram", with([](IpFields& f) { f.dst = ipv4(10, 9, 9, 9); }), &ipstat::ips_cantforward},
      {"a group we are not in", with([](IpFields& f) { f.dst = ipv4(239, 1, 1, 1); }), &ipstat::ips_notmember},
      {"option length 0", with([](IpFields& f) {
         f.options = {7, 0, 0, 0};
       }),
       &ipstat::ips_badoptions},
      {"option past the header", with([](IpFields& f) {
         f.options = {68, 12, 5, 0};
       }),
       &ipstat::ips_badoptions},
      {"option without its length", with([](IpFields& f) {
         f.options = {1, 1, 1, 130};
       }),
       &ipstat::ips_badoptions},
      {"record route pointer 2", with([](IpFields& f) { f.options = {7, 7, 2, 0, 0, 0, 0, 0}; }),
       &ipstat::ips_badoptions},
      {"timestamp with flag 9", with([](IpFields& f) { f.options = {68, 12, 5, 9, 0, 0, 0, 0, 0, 0, 0, 0}; }),
       &ipstat::ips_badoptions},
      {"finished loose source route", with([](IpFields& f) { f.options = {131, 7, 8, 10, 0, 0, 9, 0}; }),
       &ipstat::ips_badoptions},
      {"fragment of 12 bytes with more to come", with([](IpFields& f) { f.off = IP_MF; }, Bytes(12, 1)),
       &ipstat::ips_toosmall},
      {"empty fragment with more to come", raw(ipv4_packet(IpFields{.off = IP_MF | 3}, {})), &ipstat::ips_toosmall},
  };
  for (const BadPacket& c : cases) {
    SCOPED_TRACE(c.name);
    const ipstat before = g_ipstat;
    inject(c.frame());
    EXPECT_EQ(g_ipstat.*c.counter, before.*c.counter + 1);
    EXPECT_EQ(g_ipstat.ips_delivered, before.ips_delivered);
    EXPECT_EQ(receive(rx_).error, BSD_EWOULDBLOCK);
    // Only a refused option draws an answer: a parameter problem, or a
    // source route failure.
    for (const Frame& f : take()) {
      ASSERT_EQ(c.counter, &ipstat::ips_badoptions);
      ASSERT_TRUE(f.is_ip());
      EXPECT_EQ(f.proto(), 1);
      const Bytes icmp = f.l4_bytes();
      EXPECT_TRUE(icmp[0] == ICMP_PARAMPROB || (icmp[0] == ICMP_UNREACH && icmp[1] == ICMP_UNREACH_SRCFAIL));
    }
  }
  EXPECT_EQ(ip_reass_queue_count(), 0);
}

TEST_F(IpInputTest, AFrameLongerThanItsPacketIsTrimmed) {
  Bytes frame = ether(kOurMac, kPeerMac, 0x0800, ipv4_packet(IpFields{}, udp_to_us(text(10))));
  frame.resize(frame.size() + 30, 0xEE);  // padding on the wire
  inject(frame);
  const Received r = receive(rx_);
  ASSERT_EQ(r.error, 0);
  EXPECT_EQ(r.data, text(10));
}

TEST_F(IpInputTest, FragmentsAreReassembledInAnyOrder) {
  const Bytes data = text(3000, 7);
  const Bytes ip_data = udp_to_us(data);
  const int total = static_cast<int>(ip_data.size());
  std::vector<Piece> reversed = cut(total, 1480);
  std::reverse(reversed.begin(), reversed.end());
  const std::vector<std::pair<const char*, std::vector<Piece>>> cases = {
      {"in order", cut(total, 1480)},
      {"reversed", reversed},
      {"overlapping", {{0, 1480, true}, {1000, 1480, true}, {2400, total - 2400, false}}},
      {"duplicates",
       {{0, 1480, true}, {0, 1480, true}, {1480, 1480, true}, {1480, 1480, true}, {2960, total - 2960, false}}},
      {"a later piece covers earlier ones",
       {{8, 16, true}, {32, 16, true}, {0, 1480, true}, {1480, total - 1480, false}}},
      {"one piece trims the next", {{0, 800, true}, {1600, total - 1600, false}, {792, 808 + 8, true}}},
  };
  std::uint16_t id = 100;
  for (const auto& [name, pieces] : cases) {
    SCOPED_TRACE(name);
    inject_fragments(ip_data, pieces, ++id);
    const Received r = receive(rx_);
    ASSERT_EQ(r.error, 0);
    EXPECT_EQ(r.data, data);
    EXPECT_EQ(ip_reass_queue_count(), 0);
  }
}

TEST_F(IpInputTest, ReassemblyLimits) {
  const Bytes ip_data = udp_to_us(text(2000));
  // One piece more than a datagram may have waiting, of a datagram that
  // never completes: the whole datagram goes.
  std::vector<Piece> pieces;
  for (int i = 0; i <= IP_MAXFRAGSPERPACKET; ++i) pieces.push_back({8 + i * 16, 8, true});
  const std::uint32_t dropped = g_ipstat.ips_fragdropped;
  inject_fragments(ip_data, std::vector<Piece>(pieces.begin(), pieces.end() - 1), 1);
  EXPECT_EQ(ip_reass_queue_count(), 1);
  inject_fragments(ip_data, {pieces.back()}, 1);
  EXPECT_EQ(ip_reass_queue_count(), 0);
  EXPECT_EQ(g_ipstat.ips_fragdropped, dropped + IP_MAXFRAGSPERPACKET + 1);

  // Pieces that add up to more than 65535 bytes (large pieces, so that
  // fewer than 17 do it): the last one ends at 65544.
  IpFields f;
  f.id = 4;
  for (int off = 0; off < 57344; off += 8192) {
    f.off = static_cast<std::uint16_t>(IP_MF | (off / 8));
    inject_ip(f, Bytes(8192, 2));
  }
  f.off = static_cast<std::uint16_t>(IP_MF | (57344 / 8));
  inject_ip(f, Bytes(65528 - 57344, 2));
  EXPECT_EQ(g_ipstat.ips_toolong, 0u);
  f.off = static_cast<std::uint16_t>(65528 / 8);
  inject_ip(f, Bytes(16, 2));
  EXPECT_EQ(g_ipstat.ips_toolong, 1u);
  EXPECT_EQ(ip_reass_queue_count(), 0);
  EXPECT_EQ(receive(rx_).error, BSD_EWOULDBLOCK);

  // One piece of a datagram that never completes.
  inject_fragments(ip_data, {{0, 8, true}}, 5);
  // A datagram left incomplete goes after 30 seconds.
  const int queued = ip_reass_queue_count();
  ASSERT_GT(queued, 0);
  const std::uint32_t timed_out = g_ipstat.ips_fragtimeout;
  advance_seconds(31);
  EXPECT_EQ(ip_reass_queue_count(), 0);
  EXPECT_GT(g_ipstat.ips_fragtimeout, timed_out);
}

TEST_F(IpInputTest, The321stDatagramBeingReassembledEvictsTheOldest) {
  const Bytes part(8, 3);
  IpFields f;
  f.off = IP_MF;
  for (int i = 0; i < IP_MAXFRAGPACKETS; ++i) {
    f.id = static_cast<std::uint16_t>(i + 1);
    queue_frame(ether(kOurMac, kPeerMac, 0x0800, ipv4_packet(f, part)));
  }
  softint_round_now();
  ASSERT_EQ(ip_reass_queue_count(), IP_MAXFRAGPACKETS);
  // The first datagram (id 1) shares its bucket with ids 1 + 64k.
  const std::uint32_t dropped = g_ipstat.ips_fragdropped;
  f.id = 1 + 64;
  inject_ip(f, part);
  EXPECT_EQ(ip_reass_queue_count(), IP_MAXFRAGPACKETS);
  EXPECT_EQ(g_ipstat.ips_fragdropped, dropped + 1);
  // The evicted one is gone: its last piece makes nothing whole.
  const Bytes ip_data = udp_to_us(Bytes(8));
  IpFields rest;
  rest.id = 1;
  rest.off = 1;
  inject_ip(rest, Bytes(ip_data.begin() + 8, ip_data.end()));
  EXPECT_EQ(receive(rx_).error, BSD_EWOULDBLOCK);
  advance_seconds(31);
  EXPECT_EQ(ip_reass_queue_count(), 0);
}

TEST_F(IpInputTest, RecordRouteAndTimestampAreFilledIn) {
  // An echo request with both options: the reply carries them back with
  // this host's address and time.
  IpFields f;
  f.proto = 1;
  f.options = {7,  7,  4, 0, 0, 0, 0,                 // record route, one slot
               68, 12, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // timestamps only, two slots
               0};                                    // end of the list
  inject_ip(f, icmp_message(ICMP_ECHO, 0, 0x00010001, text(8)));
  const auto replies = take([](const Frame& fr) { return fr.is_ip() && fr.proto() == 1; });
  ASSERT_EQ(replies.size(), 1u);
  const Frame& r = replies[0];
  ASSERT_EQ(r.ip_hlen(), 20u + 20u);
  EXPECT_TRUE(r.ip_sum_ok());
  EXPECT_EQ(r.bytes[34], 7);
  EXPECT_EQ(r.bytes[36], 8);  // the pointer moved past our slot
  EXPECT_EQ(get32(r.bytes, 37), kOurIp);
  EXPECT_EQ(r.bytes[41], 68);
  EXPECT_EQ(r.bytes[43], 9);  // one stamp written
  EXPECT_LT(ntohl(get32(r.bytes, 45)), 86'400'000u);
  EXPECT_EQ(r.l4_bytes()[0], ICMP_ECHOREPLY);
}

TEST_F(IpInputTest, AFullTimestampCountsItsOverflowUntilTheCountWraps) {
  IpFields f;
  f.proto = 1;
  f.options = {68, 8, 9, 0xE0, 0, 0, 0, 0};  // one slot, already used; overflow 14
  inject_ip(f, icmp_message(ICMP_ECHO, 0, 1, {}));
  auto replies = take([](const Frame& fr) { return fr.is_ip() && fr.proto() == 1; });
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].bytes[37] >> 4, 15);
  f.options[3] = 0xF0;  // 15: one more wraps, which is a parameter problem
  const std::uint32_t bad = g_ipstat.ips_badoptions;
  inject_ip(f, icmp_message(ICMP_ECHO, 0, 2, {}));
  EXPECT_EQ(g_ipstat.ips_badoptions, bad + 1);
  replies = take([](const Frame& fr) { return fr.is_ip() && fr.proto() == 1; });
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].l4_bytes()[0], ICMP_PARAMPROB);
}

TEST_F(IpInputTest, SourceRoutesAreRefused) {
  // Strict, not at our address: refused with a source-route failure.
  IpFields strict;
  strict.dst = ipv4(10, 0, 0, 9);
  strict.options = {137, 7, 4, 192, 0, 2, 1, 0};
  inject_ip(strict, udp_to_us(text(4)));
  auto answers = take([](const Frame& f) { return f.is_ip() && f.proto() == 1; });
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].l4_bytes()[0], ICMP_UNREACH);
  EXPECT_EQ(answers[0].l4_bytes()[1], ICMP_UNREACH_SRCFAIL);
  // Loose, at our address and not finished: it would be forwarded, which
  // this host does not do; dropped without an answer.
  IpFields loose;
  loose.options = {131, 7, 4, 10, 0, 0, 9, 0};
  const std::uint32_t cant = g_ipstat.ips_cantforward;
  inject_ip(loose, udp_to_us(text(4)));
  EXPECT_EQ(g_ipstat.ips_cantforward, cant + 1);
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(receive(rx_).error, BSD_EWOULDBLOCK);
}

TEST_F(IpInputTest, BroadcastsOfOurNetworkAreTaken) {
  for (const std::uint32_t dst : {ipv4(192, 0, 2, 255), 0xFFFFFFFFu}) {
    IpFields f;
    f.dst = dst;
    inject(ether(kBroadcastMac, kPeerMac, 0x0800, ipv4_packet(f, udp_datagram(kPeerIp, dst, 1, kPort, text(5)))));
    const Received r = receive(rx_);
    EXPECT_EQ(r.error, 0) << std::hex << dst;
    EXPECT_EQ(r.data, text(5));
  }
}

// Until this host has an address of its own (a DHCP client waiting for its
// lease), unicast datagrams are taken whatever their destination; the
// loopback address does not count as one.
TEST_F(IpInputTest, WithoutAnAddressOfItsOwnUnicastIsTaken) {
  ifreq req{};
  iface_full_name(ifp(), req.ifr_name);
  const sockaddr_in ours = make_sockaddr_in(kOurIp);
  std::memcpy(&req.ifr_ifru.ifru_addr, &ours, sizeof(ours));
  {
    BdcLocked lock;
    ASSERT_EQ(in_control(nullptr, SIOCDIFADDR, &req, ifp(), nullptr), 0);
  }
  IpFields f;
  f.dst = ipv4(10, 1, 2, 3);
  inject_ip(f, udp_datagram(kPeerIp, f.dst, 68, kPort, text(6)));
  const Received r = receive(rx_);
  ASSERT_EQ(r.error, 0);
  EXPECT_EQ(r.data, text(6));
}

}  // namespace
