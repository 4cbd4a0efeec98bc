// IGMP: reports on joining, answers to queries after a random delay,
// suppression by other members, version-1 routers and their ageing, and
// leaves.
#include "tests/proxy/tcpip/wire_fixture.h"

namespace {

using namespace zektcp;

constexpr std::uint32_t kGroup = ipv4(239, 4, 5, 6);
constexpr std::uint32_t kAllHosts = ipv4(224, 0, 0, 1);

class IgmpTest : public WireTest {
 protected:
  std::vector<Frame> igmp_sent() {
    return take([](const Frame& f) { return f.is_ip() && f.proto() == 2; });
  }

  socket* join(std::uint32_t group) {
    socket* so = make_socket(SOCK_DGRAM);
    ip_mreq mreq{{htonl(group)}, {htonl(kOurIp)}};
    EXPECT_EQ(set_option(so, IPPROTO_LEVEL_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)), 0);
    return so;
  }

  void query(std::uint8_t max_time, std::uint32_t group, std::uint32_t dst = kAllHosts) {
    Bytes m(8);
    m[0] = IGMP_MEMBERSHIP_QUERY;
    m[1] = max_time;
    put32(m, 4, group);
    put16(m, 2, cksum(m, 0, 8));
    IpFields f;
    f.proto = 2;
    f.dst = dst;
    f.ttl = 1;
    Mac mac = {{0x01, 0x00, 0x5E, 0, 0, 0}};
    ether_map_group(htonl(dst), mac.b);
    inject_ip(f, m, mac);
  }

  void report_from_peer(std::uint8_t type, std::uint32_t group) {
    Bytes m(8);
    m[0] = type;
    put32(m, 4, group);
    put16(m, 2, cksum(m, 0, 8));
    IpFields f;
    f.proto = 2;
    f.dst = group;
    f.ttl = 1;
    Mac mac;
    ether_map_group(htonl(group), mac.b);
    inject_ip(f, m, mac);
  }

  // Advances fast ticks (200 ms) until a report goes out; how many it took.
  int ticks_until_report() {
    for (int tick = 1; tick <= 60; ++tick) {
      advance_ticks(tick_rate() / 5);
      if (!igmp_sent().empty()) return tick;
    }
    return -1;
  }
};

TEST_F(IgmpTest, JoiningAGroupReportsItAtOnceWithTheRouterAlert) {
  join(kGroup);
  const auto reports = igmp_sent();
  ASSERT_EQ(reports.size(), 1u);
  const Frame& r = reports[0];
  EXPECT_EQ(r.dst(), (Mac{{0x01, 0x00, 0x5E, 0x04, 0x05, 0x06}}));
  EXPECT_EQ(r.ip_dst(), kGroup);
  EXPECT_EQ(r.ip_src(), kOurIp);
  EXPECT_EQ(r.ttl(), 1);
  EXPECT_TRUE(r.ip_sum_ok());
  // Router alert as RFC 2113 writes it: 148, length 4.
  ASSERT_EQ(r.ip_hlen(), 24u);
  EXPECT_EQ(r.bytes[34], 0x94);
  EXPECT_EQ(r.bytes[35], 4);
  const Bytes igmp = r.l4_bytes();
  ASSERT_EQ(igmp.size(), 8u);
  EXPECT_EQ(igmp[0], IGMP_V2_MEMBERSHIP_REPORT);
  EXPECT_EQ(get32(igmp, 4), kGroup);
  EXPECT_EQ(cksum(igmp, 0, 8), 0);
  // And once more, unsolicited, within 10 s.
  const int ticks = ticks_until_report();
  EXPECT_GE(ticks, 1);
  EXPECT_LE(ticks, 50);
}

TEST_F(IgmpTest, JoiningAllHostsReportsNothing) {
  join(kAllHosts);
  advance_seconds(11);
  EXPECT_TRUE(igmp_sent().empty());
}

TEST_F(IgmpTest, AQueryIsAnsweredWithinItsTimeUnlessAnotherMemberAnswersFirst) {
  join(kGroup);
  igmp_sent();
  advance_seconds(11);  // the unsolicited repeat
  igmp_sent();
  query(20, 0);  // two seconds: ten fast ticks
  const int ticks = ticks_until_report();
  EXPECT_GE(ticks, 1);
  EXPECT_LE(ticks, 10);
  // Another member's report stops ours.
  query(100, kGroup);
  report_from_peer(IGMP_V2_MEMBERSHIP_REPORT, kGroup);
  EXPECT_EQ(ticks_until_report(), -1);
  EXPECT_EQ(g_igmpstat.igps_rcv_ourreports, 1u);
}

TEST_F(IgmpTest, VersionOneRoutersAndTheirAgeing) {
  join(kGroup);
  igmp_sent();
  advance_seconds(11);
  igmp_sent();
  // A version-1 query about one group only is bad.
  query(0, kGroup, kGroup);
  EXPECT_EQ(g_igmpstat.igps_rcv_badqueries, 1u);
  query(0, 0);
  ASSERT_GT(ticks_until_report(), 0);
  EXPECT_EQ(igmp_router_type(ifp()), IGMP_V1_ROUTER);
  // Reports are of version 1 now; a leave is never sent to a version-1 router.
  socket* second = join(ipv4(239, 7, 7, 7));
  auto reports = igmp_sent();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].l4_bytes()[0], IGMP_V1_MEMBERSHIP_REPORT);
  close_socket(second);
  EXPECT_TRUE(igmp_sent().empty());
  // 540 slow ticks (270 s) without a version-1 query: version 2 again.
  advance_seconds(271);
  igmp_sent();
  EXPECT_EQ(igmp_router_type(ifp()), IGMP_V2_ROUTER);
}

TEST_F(IgmpTest, LeavingSendsALeaveWhenWeReportedLast) {
  socket* so = join(kGroup);
  igmp_sent();
  close_socket(so);
  const auto leaves = igmp_sent();
  ASSERT_EQ(leaves.size(), 1u);
  EXPECT_EQ(leaves[0].ip_dst(), ipv4(224, 0, 0, 2));
  EXPECT_EQ(leaves[0].l4_bytes()[0], IGMP_V2_LEAVE_GROUP);
  // After another member's report we were not the last to report: no leave.
  so = join(kGroup);
  igmp_sent();
  report_from_peer(IGMP_V2_MEMBERSHIP_REPORT, kGroup);
  close_socket(so);
  EXPECT_TRUE(igmp_sent().empty());
}

TEST_F(IgmpTest, MalformedMessagesAreDroppedAndCounted) {
  IpFields f;
  f.proto = 2;
  f.dst = kAllHosts;
  const Mac all_hosts = {{0x01, 0x00, 0x5E, 0, 0, 1}};
  Bytes bad_sum(8, 0);
  bad_sum[0] = IGMP_MEMBERSHIP_QUERY;
  bad_sum[2] = 0x12;
  inject_ip(f, bad_sum, all_hosts);
  inject_ip(f, Bytes{0x11, 0, 0xEE, 0xFF}, all_hosts);
  Bytes bad_group(8, 0);
  bad_group[0] = IGMP_V2_MEMBERSHIP_REPORT;
  put32(bad_group, 4, ipv4(10, 0, 0, 1));
  put16(bad_group, 2, cksum(bad_group, 0, 8));
  inject_ip(f, bad_group, all_hosts);
  EXPECT_EQ(g_igmpstat.igps_rcv_badsum, 1u);
  EXPECT_EQ(g_igmpstat.igps_rcv_tooshort, 1u);
  EXPECT_EQ(g_igmpstat.igps_rcv_badreports, 1u);
  EXPECT_TRUE(igmp_sent().empty());
}

}  // namespace
