// IPv4 interface addresses: the address requests and their routes, masks
// and broadcast addresses, the prefix-length requests, the broadcast, subnet
// and forwarding tests, and multicast memberships.
#include <memory>

#include "tests/proxy/tcpip/net_fixture.h"

namespace {

using namespace zektcp;

class InTest : public NetTest {};

TEST_F(InTest, AddingChangingAndDeletingAnAddressMovesItsRoutes) {
  TestIface& t = attach("ZEK", 0);
  messages().clear();
  ASSERT_EQ(add_address(t, ipv4(10, 1, 2, 3), ipv4(255, 255, 0, 0)), 0);
  ipv4_ifaddr* ia = in_ifaddr_list();
  ASSERT_NE(ia, nullptr);
  EXPECT_EQ(ia->ia_subnet, ipv4(10, 1, 0, 0));
  EXPECT_EQ(ia->ia_subnetmask, ipv4(255, 255, 0, 0));
  EXPECT_EQ(ia->ia_netmask, ipv4(255, 0, 0, 0));  // the natural mask of class A
  EXPECT_EQ(ia->ia_net, ipv4(10, 0, 0, 0));
  EXPECT_EQ(ntohl(ia->ia_dstaddr.sin_addr.s_addr), ipv4(10, 1, 255, 255));
  EXPECT_EQ(ia->ia_netbroadcast, ipv4(10, 255, 255, 255));
  EXPECT_EQ(in_nonloopback_addresses(), 1u);
  EXPECT_EQ(in_ifaddr_hash_chain(htonl(ipv4(10, 1, 2, 3))), ia);
  rtentry* prefix = exact(ipv4(10, 1, 0, 0), ipv4(255, 255, 0, 0));
  ASSERT_NE(prefix, nullptr);
  EXPECT_EQ(prefix->rt_ifa, &ia->ia_ifa);
  EXPECT_TRUE(ia->ia_ifa.ifa_flags & IFA_ROUTE);
  EXPECT_EQ(count(100 + RTM_ADD), 1);
  EXPECT_EQ(t.last_cmd, SIOCADDMULTI);  // 224.0.0.1 joined on a multicast interface
  ASSERT_NE(in_multi_list(), nullptr);
  EXPECT_EQ(ntohl(in_multi_list()->inm_addr), ipv4(224, 0, 0, 1));

  ifreq got{};
  ASSERT_EQ(address_request(t, SIOCGIFADDR, ipv4(10, 1, 2, 3), &got), 0);
  EXPECT_EQ(sin_host(&got.ifr_ifru.ifru_addr), ipv4(10, 1, 2, 3));
  ASSERT_EQ(address_request(t, SIOCGIFNETMASK, ipv4(10, 1, 2, 3), &got), 0);
  EXPECT_EQ(sin_host(&got.ifr_ifru.ifru_addr), ipv4(255, 255, 0, 0));
  EXPECT_EQ(got.ifr_ifru.ifru_addr.sa_len, 6);  // trimmed after the last mask byte
  ASSERT_EQ(address_request(t, SIOCGIFBRDADDR, ipv4(10, 1, 2, 3), &got), 0);
  EXPECT_EQ(sin_host(&got.ifr_ifru.ifru_broadaddr), ipv4(10, 1, 255, 255));
  EXPECT_EQ(address_request(t, SIOCGIFDSTADDR, ipv4(10, 1, 2, 3)), BSD_EINVAL);  // not point-to-point

  // Change: the hash follows; the prefix route is made again.
  messages().clear();
  ASSERT_EQ(address_request(t, SIOCSIFADDR, ipv4(10, 1, 7, 7)), 0);
  EXPECT_EQ(IA_SIN_ADDR(ia), htonl(ipv4(10, 1, 7, 7)));
  EXPECT_EQ(in_ifaddr_hash_chain(htonl(ipv4(10, 1, 2, 3))), nullptr);
  EXPECT_EQ(in_ifaddr_hash_chain(htonl(ipv4(10, 1, 7, 7))), ia);
  EXPECT_NE(exact(ipv4(10, 1, 0, 0), ipv4(255, 255, 0, 0)), nullptr);
  EXPECT_EQ(count(100 + RTM_DELETE), 1);
  EXPECT_EQ(count(100 + RTM_ADD), 1);

  // Delete: the record and its routes go.
  messages().clear();
  ASSERT_EQ(address_request(t, SIOCDIFADDR, ipv4(10, 1, 7, 7)), 0);
  EXPECT_EQ(in_ifaddr_list(), nullptr);
  EXPECT_EQ(exact(ipv4(10, 1, 0, 0), ipv4(255, 255, 0, 0)), nullptr);
  EXPECT_EQ(in_nonloopback_addresses(), 0u);
  EXPECT_EQ(count(100 + RTM_DELETE), 1);
  EXPECT_EQ(address_request(t, SIOCDIFADDR, ipv4(10, 1, 7, 7)), BSD_EADDRNOTAVAIL);
  EXPECT_EQ(address_request(t, SIOCGIFADDR, ipv4(10, 1, 7, 7)), BSD_EADDRNOTAVAIL);
}

TEST_F(InTest, AnAddressWithoutMaskGetsItsNaturalMask) {
  TestIface& t = attach("ZEK", 0);
  struct Case {
    std::uint32_t address, mask, broadcast;
  };
  for (const Case c : {Case{ipv4(10, 9, 8, 7), ipv4(255, 0, 0, 0), ipv4(10, 255, 255, 255)},
                       Case{ipv4(172, 16, 5, 5), ipv4(255, 255, 0, 0), ipv4(172, 16, 255, 255)},
                       Case{ipv4(192, 168, 1, 7), ipv4(255, 255, 255, 0), ipv4(192, 168, 1, 255)}}) {
    SCOPED_TRACE(testing::Message() << std::hex << c.address);
    ASSERT_EQ(address_request(t, SIOCSIFADDR, c.address), 0);
    ipv4_ifaddr* ia = in_ifaddr_list();
    EXPECT_EQ(ia->ia_subnetmask, c.mask);
    EXPECT_EQ(ntohl(ia->ia_dstaddr.sin_addr.s_addr), c.broadcast);
    EXPECT_NE(exact(c.address & c.mask, c.mask), nullptr);
    ASSERT_EQ(address_request(t, SIOCDIFADDR, c.address), 0);
  }
}

TEST_F(InTest, ANetmaskRequestTakesEffectWithTheNextAddress) {
  TestIface& t = attach("ZEK", 0);
  ASSERT_EQ(address_request(t, SIOCSIFADDR, ipv4(10, 2, 3, 4)), 0);
  ASSERT_EQ(address_request(t, SIOCSIFNETMASK, ipv4(255, 255, 255, 0)), 0);
  ASSERT_EQ(address_request(t, SIOCSIFADDR, ipv4(10, 2, 3, 4)), 0);
  ipv4_ifaddr* ia = in_ifaddr_list();
  EXPECT_EQ(ia->ia_subnetmask, ipv4(255, 255, 255, 0));
  EXPECT_EQ(ntohl(ia->ia_dstaddr.sin_addr.s_addr), ipv4(10, 2, 3, 255));
  EXPECT_NE(exact(ipv4(10, 2, 3, 0), ipv4(255, 255, 255, 0)), nullptr);
  EXPECT_EQ(exact(ipv4(10, 0, 0, 0), ipv4(255, 0, 0, 0)), nullptr);
  // A broadcast address of one's own choosing.
  ifreq req{};
  iface_full_name(&t.ifp, req.ifr_name);
  req.ifr_ifru.ifru_broadaddr = sa(ipv4(10, 2, 3, 250));
  {
    BdcLocked lock;
    EXPECT_EQ(in_control(nullptr, SIOCSIFBRDADDR, &req, &t.ifp, nullptr), 0);
  }
  EXPECT_EQ(ntohl(ia->ia_dstaddr.sin_addr.s_addr), ipv4(10, 2, 3, 250));
}

TEST_F(InTest, ARefusedAddressLeavesNoRecord) {
  TestIface& t = attach("ZEK", 0);
  t.refuse_cmd = static_cast<int>(SIOCSIFADDR);
  EXPECT_EQ(add_address(t, ipv4(10, 1, 2, 3), ipv4(255, 255, 0, 0)), BSD_EINVAL);
  EXPECT_EQ(in_ifaddr_list(), nullptr);
  EXPECT_EQ(in_nonloopback_addresses(), 0u);
  EXPECT_EQ(exact(ipv4(10, 1, 0, 0), ipv4(255, 255, 0, 0)), nullptr);
}

TEST_F(InTest, TheSamePrefixOnTwoInterfacesHasOneRoute) {
  TestIface& a = attach("ZEK", 0);
  TestIface& b = attach("ZEK", 1);
  ASSERT_EQ(add_address(a, ipv4(10, 1, 0, 1), ipv4(255, 255, 0, 0)), 0);
  messages().clear();
  ASSERT_EQ(add_address(b, ipv4(10, 1, 0, 2), ipv4(255, 255, 0, 0)), 0);
  EXPECT_EQ(count(100 + RTM_ADD), 0);
  ipv4_ifaddr* second = in_ifaddr_list()->ia_next;
  ASSERT_NE(second, nullptr);
  EXPECT_FALSE(second->ia_ifa.ifa_flags & IFA_ROUTE);
  rtentry* prefix = exact(ipv4(10, 1, 0, 0), ipv4(255, 255, 0, 0));
  ASSERT_NE(prefix, nullptr);
  EXPECT_EQ(prefix->rt_ifp, &a.ifp);
}

TEST_F(InTest, BroadcastLocalAndForwardableAddresses) {
  TestIface& t = attach("ZEK", 0);
  ASSERT_EQ(add_address(t, ipv4(10, 1, 2, 3), ipv4(255, 255, 0, 0)), 0);
  struct Case {
    std::uint32_t address;
    bool broadcast;
  };
  for (const Case c :
       {Case{0xFFFFFFFF, true}, Case{0, true}, Case{ipv4(10, 1, 255, 255), true}, Case{ipv4(10, 255, 255, 255), true},
        Case{ipv4(10, 1, 0, 0), true}, Case{ipv4(10, 0, 0, 0), true}, Case{ipv4(10, 1, 2, 3), false},
        Case{ipv4(10, 2, 255, 255), false}}) {
    EXPECT_EQ(in_is_broadcast(htonl(c.address), &t.ifp), c.broadcast) << std::hex << c.address;
  }
  EXPECT_TRUE(in_is_local_subnet(htonl(ipv4(10, 1, 77, 1))));
  EXPECT_FALSE(in_is_local_subnet(htonl(ipv4(10, 2, 0, 1))));
  EXPECT_TRUE(in_is_forwardable(htonl(ipv4(10, 1, 77, 1))));
  EXPECT_FALSE(in_is_forwardable(htonl(ipv4(127, 0, 0, 1))));
  EXPECT_FALSE(in_is_forwardable(htonl(ipv4(0, 1, 2, 3))));
  EXPECT_FALSE(in_is_forwardable(htonl(ipv4(224, 0, 0, 1))));
  EXPECT_FALSE(in_is_forwardable(htonl(ipv4(240, 0, 0, 1))));
}

TEST_F(InTest, PrefixLengthRequests) {
  TestIface& t = attach("ZEK", 0);
  if_laddrreq req{};
  iface_full_name(&t.ifp, req.iflr_name);
  sockaddr address = sa(ipv4(10, 4, 5, 6));
  std::memcpy(req.addr, &address, sizeof(address));
  req.prefixlen = 24;
  BdcLocked lock;
  EXPECT_EQ(in_control(nullptr, SIOCALIFADDR, &req, &t.ifp, nullptr), 0);
  EXPECT_NE(exact(ipv4(10, 4, 5, 0), ipv4(255, 255, 255, 0)), nullptr);
  if_laddrreq get{};
  EXPECT_EQ(in_control(nullptr, SIOCGLIFADDR, &get, &t.ifp, nullptr), 0);
  EXPECT_EQ(get.prefixlen, 24u);
  EXPECT_EQ(sin_host(reinterpret_cast<sockaddr*>(get.addr)), ipv4(10, 4, 5, 6));
  if_laddrreq too_long = req;
  too_long.prefixlen = 33;
  EXPECT_EQ(in_control(nullptr, SIOCALIFADDR, &too_long, &t.ifp, nullptr), BSD_EINVAL);
  // Missing arguments are an error, never a stop.
  EXPECT_EQ(in_lifaddr_ioctl(nullptr, SIOCGLIFADDR, nullptr, &t.ifp, nullptr), BSD_EINVAL);
  EXPECT_EQ(in_lifaddr_ioctl(nullptr, SIOCGLIFADDR, &get, nullptr, nullptr), BSD_EINVAL);
  EXPECT_EQ(in_control(nullptr, SIOCDLIFADDR, &req, &t.ifp, nullptr), 0);
  EXPECT_EQ(in_ifaddr_list(), nullptr);
}

TEST_F(InTest, MulticastMembershipsAreCounted) {
  TestIface& t = attach("ZEK", 0);
  in_multi* first = nullptr;
  {
    BdcLocked lock;
    first = in_multi_join(htonl(ipv4(239, 1, 1, 1)), &t.ifp);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(in_multi_join(htonl(ipv4(239, 1, 1, 1)), &t.ifp), first);
    EXPECT_EQ(first->inm_ifma->ifma_refcount, 2u);
    in_multi_leave(first);
    EXPECT_EQ(in_multi_list(), first);  // one member left
    in_multi_leave(first);
  }
  EXPECT_EQ(in_multi_list(), nullptr);
  EXPECT_EQ(t.ifp.if_multiaddrs, nullptr);
  EXPECT_EQ(count(400 + RTM_NEWMADDR), 1);
  EXPECT_EQ(count(400 + RTM_DELMADDR), 1);
  sockaddr group = sa(ipv4(239, 9, 9, 9));
  BdcLocked lock;
  EXPECT_EQ(iface_del_multicast(&t.ifp, &group), BSD_ENOENT);
}

// Addresses that a request stores as given must have the family's length:
// the length is later trusted by every comparison and copy.
TEST_F(InTest, StoredAddressesMustHaveTheFamilysLength) {
  TestIface& t = attach("ZEK", 0);
  ASSERT_EQ(add_address(t, ipv4(10, 1, 2, 3), ipv4(255, 255, 0, 0)), 0);
  auto req = std::make_unique<ifreq>();
  iface_full_name(&t.ifp, req->ifr_name);
  req->ifr_ifru.ifru_broadaddr = sa(ipv4(10, 1, 255, 254));
  {
    BdcLocked lock;
    req->ifr_ifru.ifru_broadaddr.sa_len = 255;
    EXPECT_EQ(in_control(nullptr, SIOCSIFBRDADDR, req.get(), &t.ifp, nullptr), BSD_EINVAL);
    req->ifr_ifru.ifru_broadaddr.sa_len = sizeof(sockaddr_in);
    req->ifr_ifru.ifru_broadaddr.sa_family = AF_LINK;
    EXPECT_EQ(in_control(nullptr, SIOCSIFBRDADDR, req.get(), &t.ifp, nullptr), BSD_EINVAL);
    // A destination needs a point-to-point interface, whatever it says.
    req->ifr_ifru.ifru_dstaddr = sa(ipv4(10, 1, 9, 9));
    EXPECT_EQ(in_control(nullptr, SIOCSIFDSTADDR, req.get(), &t.ifp, nullptr), BSD_EINVAL);
  }
  ipv4_ifaddr* ia = in_ifaddr_list();
  EXPECT_EQ(ia->ia_dstaddr.sin_len, sizeof(sockaddr_in));
  EXPECT_EQ(ntohl(ia->ia_dstaddr.sin_addr.s_addr), ipv4(10, 1, 255, 255));

  // An alias whose broadcast address is too long makes no record; a mask
  // that claims 255 bytes is trimmed to its own.
  TestIface& u = attach("ZEK", 1);
  auto alias = std::make_unique<ifaliasreq>();
  iface_full_name(&u.ifp, alias->ifra_name);
  alias->ifra_addr = sa(ipv4(10, 7, 0, 1));
  alias->ifra_mask = sa(ipv4(255, 255, 0, 0));
  alias->ifra_broadaddr = sa(ipv4(10, 7, 255, 255));
  alias->ifra_broadaddr.sa_len = 200;
  BdcLocked lock;
  EXPECT_EQ(in_control(nullptr, SIOCAIFADDR, alias.get(), &u.ifp, nullptr), BSD_EINVAL);
  EXPECT_EQ(in_ifaddr_list()->ia_next, nullptr);
  alias->ifra_broadaddr.sa_len = sizeof(sockaddr_in);
  alias->ifra_mask.sa_len = 255;
  ASSERT_EQ(in_control(nullptr, SIOCAIFADDR, alias.get(), &u.ifp, nullptr), 0);
  ipv4_ifaddr* added = in_ifaddr_list()->ia_next;
  ASSERT_NE(added, nullptr);
  EXPECT_LE(added->ia_sockmask.sin_len, 8);
  EXPECT_NE(exact(ipv4(10, 7, 0, 0), ipv4(255, 255, 0, 0)), nullptr);
}

// Two addresses with one prefix share one route; when the address that
// holds it goes, the other takes the route over.
TEST_F(InTest, ASharedPrefixRouteIsHandedOverWhenItsAddressGoes) {
  TestIface& a = attach("ZEK", 0);
  TestIface& b = attach("ZEK", 1);
  ASSERT_EQ(add_address(a, ipv4(10, 1, 0, 1), ipv4(255, 255, 0, 0)), 0);
  ASSERT_EQ(add_address(b, ipv4(10, 1, 0, 2), ipv4(255, 255, 0, 0)), 0);
  ASSERT_EQ(address_request(a, SIOCDIFADDR, ipv4(10, 1, 0, 1)), 0);
  rtentry* prefix = exact(ipv4(10, 1, 0, 0), ipv4(255, 255, 0, 0));
  ASSERT_NE(prefix, nullptr);
  EXPECT_EQ(prefix->rt_ifp, &b.ifp);
  ipv4_ifaddr* remaining = in_ifaddr_list();
  ASSERT_NE(remaining, nullptr);
  EXPECT_TRUE(remaining->ia_ifa.ifa_flags & IFA_ROUTE);
  // And it goes with the last address.
  ASSERT_EQ(address_request(b, SIOCDIFADDR, ipv4(10, 1, 0, 2)), 0);
  EXPECT_EQ(exact(ipv4(10, 1, 0, 0), ipv4(255, 255, 0, 0)), nullptr);
}

}  // namespace
