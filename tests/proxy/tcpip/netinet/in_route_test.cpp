// The IPv4 routing tree: host routes cloned by a reporting look-up, marked
// when unused and expired under the virtual clock, the crowding cut and the
// drain.
#include "tests/proxy/tcpip/net_fixture.h"

namespace {

using namespace zektcp;

class InRouteTest : public RoutedNetTest {};

TEST_F(InRouteTest, ALookupWithReportClonesAHostRouteThatExpiresUnused) {
  ASSERT_EQ(add_route(ipv4(20, 0, 0, 0), ipv4(255, 0, 0, 0), ipv4(10, 0, 0, 2), RTF_GATEWAY), 0);
  rtentry* network = exact(ipv4(20, 0, 0, 0), ipv4(255, 0, 0, 0));
  ASSERT_NE(network, nullptr);
  EXPECT_TRUE(network->rt_flags & RTF_PRCLONING);
  messages().clear();
  rtentry* clone = nullptr;
  {
    sockaddr dst = sa(ipv4(20, 1, 2, 3));
    BdcLocked lock;
    clone = rtalloc1(&dst, 1, 0);
  }
  ASSERT_NE(clone, nullptr);
  EXPECT_NE(clone, network);
  EXPECT_EQ(clone->rt_flags & (RTF_HOST | RTF_WASCLONED | RTF_GATEWAY), RTF_HOST | RTF_WASCLONED | RTF_GATEWAY);
  EXPECT_EQ(clone->rt_parent, network);
  EXPECT_EQ(gateway_of(clone), ipv4(10, 0, 0, 2));
  EXPECT_EQ(count(RTM_ADD), 1);
  {
    BdcLocked lock;
    rtfree(clone);  // last reference: marked for expiry
  }
  EXPECT_TRUE(clone->rt_flags & RTF_RTQ_EXPIRE);
  EXPECT_EQ(exact(ipv4(20, 1, 2, 3), 0, true), clone);

  advance_seconds(3599);
  EXPECT_EQ(exact(ipv4(20, 1, 2, 3), 0, true), clone);
  advance_seconds(2);
  EXPECT_EQ(exact(ipv4(20, 1, 2, 3), 0, true), nullptr);
}

TEST_F(InRouteTest, AReusedCloneIsUnmarkedAndDeletingItsParentDeletesIt) {
  ASSERT_EQ(add_route(ipv4(20, 0, 0, 0), ipv4(255, 0, 0, 0), ipv4(10, 0, 0, 2), RTF_GATEWAY), 0);
  lookup(ipv4(20, 1, 2, 3), 1);
  rtentry* clone = exact(ipv4(20, 1, 2, 3), 0, true);
  ASSERT_NE(clone, nullptr);
  advance_seconds(3000);
  {
    sockaddr dst = sa(ipv4(20, 1, 2, 3));
    BdcLocked lock;
    rtentry* again = rtalloc1(&dst, 1, 0);
    EXPECT_EQ(again, clone);  // the clone itself, not a new one
    EXPECT_FALSE(clone->rt_flags & RTF_RTQ_EXPIRE);
    rtfree(again);  // marked afresh from now
  }
  advance_seconds(1000);
  EXPECT_EQ(exact(ipv4(20, 1, 2, 3), 0, true), clone);
  EXPECT_EQ(delete_route(ipv4(20, 0, 0, 0), ipv4(255, 0, 0, 0)), 0);
  EXPECT_EQ(exact(ipv4(20, 1, 2, 3), 0, true), nullptr);
}

TEST_F(InRouteTest, CrowdedClonesExpireSooner) {
  ASSERT_EQ(add_route(ipv4(20, 0, 0, 0), ipv4(255, 0, 0, 0), ipv4(10, 0, 0, 2), RTF_GATEWAY), 0);
  for (int i = 1; i <= 130; ++i) lookup(ipv4(20, 0, 1, i), 1);
  EXPECT_EQ(in_route_expire_secs(), RTQ_EXPIRE_DEFAULT);
  advance_seconds(600);  // the walk finds 130 marked routes
  EXPECT_EQ(in_route_expire_secs(), 2400u);
  advance_seconds(2399);  // until 2999 s: 600 + 2400 is the new expiry
  EXPECT_NE(exact(ipv4(20, 0, 1, 1), 0, true), nullptr);
  advance_seconds(2);
  EXPECT_EQ(exact(ipv4(20, 0, 1, 1), 0, true), nullptr);
  EXPECT_EQ(exact(ipv4(20, 0, 1, 130), 0, true), nullptr);
}

TEST_F(InRouteTest, DrainingRemovesEveryUnusedCloneAtOnce) {
  ASSERT_EQ(add_route(ipv4(20, 0, 0, 0), ipv4(255, 0, 0, 0), ipv4(10, 0, 0, 2), RTF_GATEWAY), 0);
  for (int i = 1; i <= 3; ++i) lookup(ipv4(20, 0, 2, i), 1);
  rtentry* held = nullptr;
  {
    sockaddr dst = sa(ipv4(20, 0, 2, 9));
    BdcLocked lock;
    held = rtalloc1(&dst, 1, 0);  // still referenced: not marked
  }
  ASSERT_NE(held, nullptr);
  {
    BdcLocked lock;
    in_rtqdrain();
  }
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(exact(ipv4(20, 0, 2, i), 0, true), nullptr) << i;
  EXPECT_EQ(exact(ipv4(20, 0, 2, 9), 0, true), held);
  BdcLocked lock;
  rtfree(held);
}

}  // namespace
