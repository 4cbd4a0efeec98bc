// The routing table: longest-prefix match, masks, gateways, redirects and
// the routing messages. The IPv4 tree's cloning and expiry are tested with
// the Internet layer.
#include "tests/proxy/tcpip/net_fixture.h"

namespace {

using namespace zektcp;

class RouteTest : public RoutedNetTest {};

TEST_F(RouteTest, TheLongestPrefixWinsAndDeletionsRestoreLookups) {
  ASSERT_EQ(add_route(0, 0, ip(10, 0, 0, 254), RTF_GATEWAY | RTF_STATIC), 0);
  ASSERT_EQ(add_route(ip(10, 1, 0, 0), ip(255, 255, 0, 0), ip(10, 0, 0, 2), RTF_GATEWAY), 0);
  ASSERT_EQ(add_route(ip(10, 1, 2, 0), ip(255, 255, 255, 0), ip(10, 0, 0, 3), RTF_GATEWAY), 0);
  ASSERT_EQ(add_route(ip(10, 1, 2, 3), 0, ip(10, 0, 0, 4), RTF_GATEWAY | RTF_HOST), 0);
  struct Case {
    std::uint32_t dst;
    std::uint32_t gateway;  // 0: the interface route (gateway = our address)
  };
  const Case cases[] = {
      {ip(10, 1, 2, 3), ip(10, 0, 0, 4)},    {ip(10, 1, 2, 9), ip(10, 0, 0, 3)},
      {ip(10, 1, 9, 9), ip(10, 0, 0, 2)},    {ip(10, 9, 9, 9), ip(10, 0, 0, 1)},
      {ip(192, 168, 1, 1), ip(10, 0, 0, 254)}, {ip(0, 0, 0, 1), ip(10, 0, 0, 254)},
  };
  for (const Case& c : cases) EXPECT_EQ(gateway_of(lookup(c.dst)), c.gateway) << std::hex << c.dst;

  EXPECT_EQ(delete_route(ip(10, 1, 2, 0), ip(255, 255, 255, 0)), 0);
  EXPECT_EQ(gateway_of(lookup(ip(10, 1, 2, 9))), ip(10, 0, 0, 2));
  EXPECT_EQ(gateway_of(lookup(ip(10, 1, 2, 3))), ip(10, 0, 0, 4));  // the host route stays
  EXPECT_EQ(delete_route(ip(10, 1, 2, 0), ip(255, 255, 255, 0)), BSD_ESRCH);
  EXPECT_EQ(add_route(ip(10, 1, 0, 0), ip(255, 255, 0, 0), ip(10, 0, 0, 7), RTF_GATEWAY), BSD_EEXIST);

  EXPECT_EQ(delete_route(0, 0), 0);
  messages().clear();
  const std::uint32_t misses = route_stats().rts_unreach;
  EXPECT_EQ(lookup(ip(192, 168, 1, 1), 1), nullptr);
  EXPECT_EQ(route_stats().rts_unreach, misses + 1);
  EXPECT_EQ(count(RTM_MISS), 1);
}

TEST_F(RouteTest, MasksWithHolesMatchOnEveryMaskBit) {
  ASSERT_EQ(add_route(ip(10, 0, 5, 0), ip(255, 0, 255, 0), ip(10, 0, 0, 9), RTF_GATEWAY), 0);
  EXPECT_EQ(gateway_of(lookup(ip(10, 77, 5, 1))), ip(10, 0, 0, 9));
  EXPECT_EQ(gateway_of(lookup(ip(10, 77, 6, 1))), ip(10, 0, 0, 1));
  EXPECT_EQ(delete_route(ip(10, 0, 5, 0), ip(255, 0, 255, 0)), 0);
  EXPECT_EQ(gateway_of(lookup(ip(10, 77, 5, 1))), ip(10, 0, 0, 1));
}

TEST_F(RouteTest, GatewaysThatLoopAreRefused) {
  // A host route through itself.
  EXPECT_EQ(add_route(ip(10, 5, 5, 5), 0, ip(10, 5, 5, 5), RTF_GATEWAY | RTF_HOST), BSD_EADDRNOTAVAIL);
  EXPECT_EQ(exact(ip(10, 5, 5, 5), 0, true), nullptr);
  // A gateway that resolves through the route it is set on.
  ASSERT_EQ(add_route(ip(30, 7, 0, 0), ip(255, 255, 0, 0), ip(10, 0, 0, 9), RTF_GATEWAY), 0);
  rtentry* rt = exact(ip(30, 7, 0, 0), ip(255, 255, 0, 0));
  ASSERT_NE(rt, nullptr);
  sockaddr gateway = sa(ip(30, 7, 0, 1));
  BdcLocked lock;
  EXPECT_EQ(route_set_gateway(rt, rt_key(rt), &gateway), BSD_EROUTELOOP);
  EXPECT_EQ(rt->rt_gwroute, nullptr);
}

TEST_F(RouteTest, RedirectsAreTakenOnlyFromTheCurrentRouter) {
  ASSERT_EQ(add_route(ip(40, 1, 0, 0), ip(255, 255, 0, 0), ip(10, 0, 0, 2), RTF_GATEWAY), 0);
  sockaddr dst = sa(ip(40, 1, 3, 3));
  sockaddr gateway = sa(ip(10, 0, 0, 5));
  sockaddr stranger = sa(ip(10, 0, 0, 77));
  sockaddr router = sa(ip(10, 0, 0, 2));
  sockaddr ours = sa(ip(10, 0, 0, 1));
  const rtstat before = route_stats();
  {
    BdcLocked lock;
    EXPECT_EQ(route_apply_redirect(&dst, &gateway, nullptr, RTF_HOST, &stranger, nullptr), BSD_EINVAL);
    EXPECT_EQ(route_apply_redirect(&dst, &ours, nullptr, RTF_HOST, &router, nullptr), BSD_EHOSTUNREACH);
    EXPECT_EQ(route_apply_redirect(&dst, &gateway, nullptr, RTF_HOST, &router, nullptr), 0);
  }
  EXPECT_EQ(route_stats().rts_badredirect, before.rts_badredirect + 2);
  EXPECT_EQ(route_stats().rts_dynamic, before.rts_dynamic + 1);
  rtentry* host = exact(ip(40, 1, 3, 3), 0, true);
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(host->rt_flags & (RTF_GATEWAY | RTF_HOST | RTF_DYNAMIC), RTF_GATEWAY | RTF_HOST | RTF_DYNAMIC);
  EXPECT_EQ(gateway_of(lookup(ip(40, 1, 3, 3))), ip(10, 0, 0, 5));
  EXPECT_EQ(gateway_of(lookup(ip(40, 1, 3, 4))), ip(10, 0, 0, 2));
  EXPECT_EQ(count(RTM_REDIRECT), 3);
}

TEST_F(RouteTest, AnAddWithoutAReachableInterfaceFails) {
  EXPECT_EQ(add_route(ip(50, 0, 0, 0), ip(255, 0, 0, 0), ip(99, 0, 0, 1), RTF_GATEWAY), BSD_ENETUNREACH);
}

}  // namespace
