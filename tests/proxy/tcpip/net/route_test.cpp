// The routing table: longest-prefix match, masks, gateways, redirects and
// the routing messages. The IPv4 tree's cloning and expiry are tested with
// the Internet layer.
#include "tests/proxy/tcpip/net_fixture.h"

namespace {

using namespace zektcp;

class RouteTest : public RoutedNetTest {};

TEST_F(RouteTest, TheLongestPrefixWinsAndDeletionsRestoreLookups) {
  ASSERT_EQ(add_route(0, 0, ipv4(10, 0, 0, 254), RTF_GATEWAY | RTF_STATIC), 0);
  ASSERT_EQ(add_route(ipv4(10, 1, 0, 0), ipv4(255, 255, 0, 0), ipv4(10, 0, 0, 2), RTF_GATEWAY), 0);
  ASSERT_EQ(add_route(ipv4(10, 1, 2, 0), ipv4(255, 255, 255, 0), ipv4(10, 0, 0, 3), RTF_GATEWAY), 0);
  ASSERT_EQ(add_route(ipv4(10, 1, 2, 3), 0, ipv4(10, 0, 0, 4), RTF_GATEWAY | RTF_HOST), 0);
  struct Case {
    std::uint32_t dst;
    std::uint32_t gateway;  // 0: the interface route (gateway = our address)
  };
  const Case cases[] = {
      {ipv4(10, 1, 2, 3), ipv4(10, 0, 0, 4)},      {ipv4(10, 1, 2, 9), ipv4(10, 0, 0, 3)},
      {ipv4(10, 1, 9, 9), ipv4(10, 0, 0, 2)},      {ipv4(10, 9, 9, 9), ipv4(10, 0, 0, 1)},
      {ipv4(192, 168, 1, 1), ipv4(10, 0, 0, 254)}, {ipv4(0, 0, 0, 1), ipv4(10, 0, 0, 254)},
  };
  for (const Case& c : cases) EXPECT_EQ(gateway_of(lookup(c.dst)), c.gateway) << std::hex << c.dst;

  EXPECT_EQ(delete_route(ipv4(10, 1, 2, 0), ipv4(255, 255, 255, 0)), 0);
  EXPECT_EQ(gateway_of(lookup(ipv4(10, 1, 2, 9))), ipv4(10, 0, 0, 2));
  EXPECT_EQ(gateway_of(lookup(ipv4(10, 1, 2, 3))), ipv4(10, 0, 0, 4));  // the host route stays
  EXPECT_EQ(delete_route(ipv4(10, 1, 2, 0), ipv4(255, 255, 255, 0)), BSD_ESRCH);
  EXPECT_EQ(add_route(ipv4(10, 1, 0, 0), ipv4(255, 255, 0, 0), ipv4(10, 0, 0, 7), RTF_GATEWAY), BSD_EEXIST);

  EXPECT_EQ(delete_route(0, 0), 0);
  messages().clear();
  const std::uint32_t misses = route_stats().rts_unreach;
  EXPECT_EQ(lookup(ipv4(192, 168, 1, 1), 1), nullptr);
  EXPECT_EQ(route_stats().rts_unreach, misses + 1);
  EXPECT_EQ(count(RTM_MISS), 1);
}

TEST_F(RouteTest, MasksWithHolesMatchOnEveryMaskBit) {
  ASSERT_EQ(add_route(ipv4(10, 0, 5, 0), ipv4(255, 0, 255, 0), ipv4(10, 0, 0, 9), RTF_GATEWAY), 0);
  EXPECT_EQ(gateway_of(lookup(ipv4(10, 77, 5, 1))), ipv4(10, 0, 0, 9));
  EXPECT_EQ(gateway_of(lookup(ipv4(10, 77, 6, 1))), ipv4(10, 0, 0, 1));
  EXPECT_EQ(delete_route(ipv4(10, 0, 5, 0), ipv4(255, 0, 255, 0)), 0);
  EXPECT_EQ(gateway_of(lookup(ipv4(10, 77, 5, 1))), ipv4(10, 0, 0, 1));
}

TEST_F(RouteTest, GatewaysThatLoopAreRefused) {
  // A host route through itself.
  EXPECT_EQ(add_route(ipv4(10, 5, 5, 5), 0, ipv4(10, 5, 5, 5), RTF_GATEWAY | RTF_HOST), BSD_EADDRNOTAVAIL);
  EXPECT_EQ(exact(ipv4(10, 5, 5, 5), 0, true), nullptr);
  // A gateway that resolves through the route it is set on.
  ASSERT_EQ(add_route(ipv4(30, 7, 0, 0), ipv4(255, 255, 0, 0), ipv4(10, 0, 0, 9), RTF_GATEWAY), 0);
  rtentry* rt = exact(ipv4(30, 7, 0, 0), ipv4(255, 255, 0, 0));
  ASSERT_NE(rt, nullptr);
  sockaddr gateway = sa(ipv4(30, 7, 0, 1));
  BdcLocked lock;
  EXPECT_EQ(route_set_gateway(rt, rt_key(rt), &gateway), BSD_EROUTELOOP);
  EXPECT_EQ(rt->rt_gwroute, nullptr);
}

TEST_F(RouteTest, RedirectsAreTakenOnlyFromTheCurrentRouter) {
  ASSERT_EQ(add_route(ipv4(40, 1, 0, 0), ipv4(255, 255, 0, 0), ipv4(10, 0, 0, 2), RTF_GATEWAY), 0);
  sockaddr dst = sa(ipv4(40, 1, 3, 3));
  sockaddr gateway = sa(ipv4(10, 0, 0, 5));
  sockaddr stranger = sa(ipv4(10, 0, 0, 77));
  sockaddr router = sa(ipv4(10, 0, 0, 2));
  sockaddr ours = sa(ipv4(10, 0, 0, 1));
  const rtstat before = route_stats();
  {
    BdcLocked lock;
    EXPECT_EQ(route_apply_redirect(&dst, &gateway, nullptr, RTF_HOST, &stranger, nullptr), BSD_EINVAL);
    EXPECT_EQ(route_apply_redirect(&dst, &ours, nullptr, RTF_HOST, &router, nullptr), BSD_EHOSTUNREACH);
    EXPECT_EQ(route_apply_redirect(&dst, &gateway, nullptr, RTF_HOST, &router, nullptr), 0);
  }
  EXPECT_EQ(route_stats().rts_badredirect, before.rts_badredirect + 2);
  EXPECT_EQ(route_stats().rts_dynamic, before.rts_dynamic + 1);
  rtentry* host = exact(ipv4(40, 1, 3, 3), 0, true);
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(host->rt_flags & (RTF_GATEWAY | RTF_HOST | RTF_DYNAMIC), RTF_GATEWAY | RTF_HOST | RTF_DYNAMIC);
  EXPECT_EQ(gateway_of(lookup(ipv4(40, 1, 3, 3))), ipv4(10, 0, 0, 5));
  EXPECT_EQ(gateway_of(lookup(ipv4(40, 1, 3, 4))), ipv4(10, 0, 0, 2));
  EXPECT_EQ(count(RTM_REDIRECT), 3);
}

TEST_F(RouteTest, AnAddWithoutAReachableInterfaceFails) {
  EXPECT_EQ(add_route(ipv4(50, 0, 0, 0), ipv4(255, 0, 0, 0), ipv4(99, 0, 0, 1), RTF_GATEWAY), BSD_ENETUNREACH);
}

}  // namespace
