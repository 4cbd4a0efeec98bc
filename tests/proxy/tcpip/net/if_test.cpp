// Interfaces and their addresses: attach and detach, the address requests
// and their routes, masks and broadcast addresses, the interface requests.
#include "tests/proxy/tcpip/net_fixture.h"

namespace {

using namespace zektcp;

class IfTest : public NetTest {};

TEST_F(IfTest, IndexesStartAtOneAndADetachedSlotIsReused) {
  TestIface& a = attach("ZEK", 0);
  TestIface& b = attach("ZEK", 1);
  EXPECT_EQ(a.ifp.if_index, 1);
  EXPECT_EQ(b.ifp.if_index, 2);
  EXPECT_EQ(count(300 + IFAN_ARRIVAL), 2);
  // The link-level address names the interface and carries its MAC.
  ifaddr* link = iface_link_addr(1);
  ASSERT_NE(link, nullptr);
  auto* sdl = reinterpret_cast<sockaddr_dl*>(link->ifa_addr);
  EXPECT_EQ(sdl->sdl_family, AF_LINK);
  EXPECT_EQ(std::string(sdl->sdl_data, sdl->sdl_nlen), "ZEK0");
  EXPECT_EQ(sdl->sdl_alen, 6);
  EXPECT_EQ(LLADDR(sdl)[5], 0);
  EXPECT_EQ(sdl->sdl_len % 8, 0);
  EXPECT_EQ(iface_lookup_by_name("ZEK1"), &b.ifp);
  {
    BdcLocked lock;
    iface_detach(&a.ifp);
  }
  EXPECT_EQ(ifindex2ifnet(1), nullptr);
  EXPECT_EQ(iface_lookup_by_name("ZEK0"), nullptr);
  EXPECT_EQ(count(300 + IFAN_DEPARTURE), 1);
  TestIface& c = attach("ZEK", 2);
  EXPECT_EQ(c.ifp.if_index, 1);
}

TEST_F(IfTest, A65thInterfaceIsRefused) {
  for (int i = 0; i < IF_MAX_INDEX; ++i) attach("vx", static_cast<std::uint16_t>(i), IFF_UP, IFT_GIF);
  ifnet extra{};
  extra.if_name = "vx";
  extra.if_unit = 99;
  BdcLocked lock;
  EXPECT_EQ(if_attach(&extra), BSD_ENOBUFS);
  EXPECT_EQ(iface_lookup_by_name("vx99"), nullptr);
}

TEST_F(IfTest, NamesMustEndInAUnit) {
  attach("ZEK", 3);
  for (const char* bad : {"ZEK", "3", "Z", "ZEK03x", "ZEK99999999", "averyveryverylongname0"}) {
    EXPECT_EQ(iface_lookup_by_name(bad), nullptr) << bad;
  }
  EXPECT_NE(iface_lookup_by_name("ZEK03"), nullptr);
}

TEST_F(IfTest, AddingChangingAndDeletingAnAddressMovesItsRoutes) {
  TestIface& t = attach("ZEK", 0);
  messages().clear();
  ASSERT_EQ(add_address(t, ip(10, 1, 2, 3), ip(255, 255, 0, 0)), 0);
  ipv4_ifaddr* ia = in_ifaddr_list();
  ASSERT_NE(ia, nullptr);
  EXPECT_EQ(ia->ia_subnet, ip(10, 1, 0, 0));
  EXPECT_EQ(ia->ia_subnetmask, ip(255, 255, 0, 0));
  EXPECT_EQ(ia->ia_netmask, ip(255, 0, 0, 0));  // the natural mask of class A
  EXPECT_EQ(ia->ia_net, ip(10, 0, 0, 0));
  EXPECT_EQ(ntohl(ia->ia_dstaddr.sin_addr.s_addr), ip(10, 1, 255, 255));
  EXPECT_EQ(ia->ia_netbroadcast, ip(10, 255, 255, 255));
  EXPECT_EQ(in_nonloopback_addresses(), 1u);
  EXPECT_EQ(in_ifaddr_hash_chain(htonl(ip(10, 1, 2, 3))), ia);
  rtentry* prefix = exact(ip(10, 1, 0, 0), ip(255, 255, 0, 0));
  ASSERT_NE(prefix, nullptr);
  EXPECT_EQ(prefix->rt_ifa, &ia->ia_ifa);
  EXPECT_TRUE(ia->ia_ifa.ifa_flags & IFA_ROUTE);
  EXPECT_EQ(count(100 + RTM_ADD), 1);
  EXPECT_EQ(t.last_cmd, SIOCADDMULTI);  // 224.0.0.1 joined on a multicast interface
  ASSERT_NE(in_multi_list(), nullptr);
  EXPECT_EQ(ntohl(in_multi_list()->inm_addr), ip(224, 0, 0, 1));

  ifreq got{};
  ASSERT_EQ(address_request(t, SIOCGIFADDR, ip(10, 1, 2, 3), &got), 0);
  EXPECT_EQ(sin_host(&got.ifr_ifru.ifru_addr), ip(10, 1, 2, 3));
  ASSERT_EQ(address_request(t, SIOCGIFNETMASK, ip(10, 1, 2, 3), &got), 0);
  EXPECT_EQ(sin_host(&got.ifr_ifru.ifru_addr), ip(255, 255, 0, 0));
  EXPECT_EQ(got.ifr_ifru.ifru_addr.sa_len, 6);  // trimmed after the last mask byte
  ASSERT_EQ(address_request(t, SIOCGIFBRDADDR, ip(10, 1, 2, 3), &got), 0);
  EXPECT_EQ(sin_host(&got.ifr_ifru.ifru_broadaddr), ip(10, 1, 255, 255));
  EXPECT_EQ(address_request(t, SIOCGIFDSTADDR, ip(10, 1, 2, 3)), BSD_EINVAL);  // not point-to-point

  // Change: the hash follows; the prefix route is made again.
  messages().clear();
  ASSERT_EQ(address_request(t, SIOCSIFADDR, ip(10, 1, 7, 7)), 0);
  EXPECT_EQ(IA_SIN_ADDR(ia), htonl(ip(10, 1, 7, 7)));
  EXPECT_EQ(in_ifaddr_hash_chain(htonl(ip(10, 1, 2, 3))), nullptr);
  EXPECT_EQ(in_ifaddr_hash_chain(htonl(ip(10, 1, 7, 7))), ia);
  EXPECT_NE(exact(ip(10, 1, 0, 0), ip(255, 255, 0, 0)), nullptr);
  EXPECT_EQ(count(100 + RTM_DELETE), 1);
  EXPECT_EQ(count(100 + RTM_ADD), 1);

  // Delete: the record and its routes go.
  messages().clear();
  ASSERT_EQ(address_request(t, SIOCDIFADDR, ip(10, 1, 7, 7)), 0);
  EXPECT_EQ(in_ifaddr_list(), nullptr);
  EXPECT_EQ(exact(ip(10, 1, 0, 0), ip(255, 255, 0, 0)), nullptr);
  EXPECT_EQ(in_nonloopback_addresses(), 0u);
  EXPECT_EQ(count(100 + RTM_DELETE), 1);
  EXPECT_EQ(address_request(t, SIOCDIFADDR, ip(10, 1, 7, 7)), BSD_EADDRNOTAVAIL);
  EXPECT_EQ(address_request(t, SIOCGIFADDR, ip(10, 1, 7, 7)), BSD_EADDRNOTAVAIL);
}

TEST_F(IfTest, AnAddressWithoutMaskGetsItsNaturalMask) {
  TestIface& t = attach("ZEK", 0);
  struct Case {
    std::uint32_t address, mask, broadcast;
  };
  for (const Case c : {Case{ip(10, 9, 8, 7), ip(255, 0, 0, 0), ip(10, 255, 255, 255)},
                       Case{ip(172, 16, 5, 5), ip(255, 255, 0, 0), ip(172, 16, 255, 255)},
                       Case{ip(192, 168, 1, 7), ip(255, 255, 255, 0), ip(192, 168, 1, 255)}}) {
    SCOPED_TRACE(testing::Message() << std::hex << c.address);
    ASSERT_EQ(address_request(t, SIOCSIFADDR, c.address), 0);
    ipv4_ifaddr* ia = in_ifaddr_list();
    EXPECT_EQ(ia->ia_subnetmask, c.mask);
    EXPECT_EQ(ntohl(ia->ia_dstaddr.sin_addr.s_addr), c.broadcast);
    EXPECT_NE(exact(c.address & c.mask, c.mask), nullptr);
    ASSERT_EQ(address_request(t, SIOCDIFADDR, c.address), 0);
  }
}

TEST_F(IfTest, ANetmaskRequestTakesEffectWithTheNextAddress) {
  TestIface& t = attach("ZEK", 0);
  ASSERT_EQ(address_request(t, SIOCSIFADDR, ip(10, 2, 3, 4)), 0);
  ASSERT_EQ(address_request(t, SIOCSIFNETMASK, ip(255, 255, 255, 0)), 0);
  ASSERT_EQ(address_request(t, SIOCSIFADDR, ip(10, 2, 3, 4)), 0);
  ipv4_ifaddr* ia = in_ifaddr_list();
  EXPECT_EQ(ia->ia_subnetmask, ip(255, 255, 255, 0));
  EXPECT_EQ(ntohl(ia->ia_dstaddr.sin_addr.s_addr), ip(10, 2, 3, 255));
  EXPECT_NE(exact(ip(10, 2, 3, 0), ip(255, 255, 255, 0)), nullptr);
  EXPECT_EQ(exact(ip(10, 0, 0, 0), ip(255, 0, 0, 0)), nullptr);
  // A broadcast address of one's own choosing.
  ifreq req{};
  iface_full_name(&t.ifp, req.ifr_name);
  req.ifr_ifru.ifru_broadaddr = sa(ip(10, 2, 3, 250));
  {
    BdcLocked lock;
    EXPECT_EQ(in_control(nullptr, SIOCSIFBRDADDR, &req, &t.ifp, nullptr), 0);
  }
  EXPECT_EQ(ntohl(ia->ia_dstaddr.sin_addr.s_addr), ip(10, 2, 3, 250));
}

TEST_F(IfTest, ARefusedAddressLeavesNoRecord) {
  TestIface& t = attach("ZEK", 0);
  t.refuse_cmd = static_cast<int>(SIOCSIFADDR);
  EXPECT_EQ(add_address(t, ip(10, 1, 2, 3), ip(255, 255, 0, 0)), BSD_EINVAL);
  EXPECT_EQ(in_ifaddr_list(), nullptr);
  EXPECT_EQ(in_nonloopback_addresses(), 0u);
  EXPECT_EQ(exact(ip(10, 1, 0, 0), ip(255, 255, 0, 0)), nullptr);
}

TEST_F(IfTest, TheSamePrefixOnTwoInterfacesHasOneRoute) {
  TestIface& a = attach("ZEK", 0);
  TestIface& b = attach("ZEK", 1);
  ASSERT_EQ(add_address(a, ip(10, 1, 0, 1), ip(255, 255, 0, 0)), 0);
  messages().clear();
  ASSERT_EQ(add_address(b, ip(10, 1, 0, 2), ip(255, 255, 0, 0)), 0);
  EXPECT_EQ(count(100 + RTM_ADD), 0);
  ipv4_ifaddr* second = in_ifaddr_list()->ia_next;
  ASSERT_NE(second, nullptr);
  EXPECT_FALSE(second->ia_ifa.ifa_flags & IFA_ROUTE);
  rtentry* prefix = exact(ip(10, 1, 0, 0), ip(255, 255, 0, 0));
  ASSERT_NE(prefix, nullptr);
  EXPECT_EQ(prefix->rt_ifp, &a.ifp);
}

TEST_F(IfTest, BroadcastLocalAndForwardableAddresses) {
  TestIface& t = attach("ZEK", 0);
  ASSERT_EQ(add_address(t, ip(10, 1, 2, 3), ip(255, 255, 0, 0)), 0);
  struct Case {
    std::uint32_t address;
    bool broadcast;
  };
  for (const Case c : {Case{0xFFFFFFFF, true}, Case{0, true}, Case{ip(10, 1, 255, 255), true},
                       Case{ip(10, 255, 255, 255), true}, Case{ip(10, 1, 0, 0), true}, Case{ip(10, 0, 0, 0), true},
                       Case{ip(10, 1, 2, 3), false}, Case{ip(10, 2, 255, 255), false}}) {
    EXPECT_EQ(in_is_broadcast(htonl(c.address), &t.ifp), c.broadcast) << std::hex << c.address;
  }
  EXPECT_TRUE(in_is_local_subnet(htonl(ip(10, 1, 77, 1))));
  EXPECT_FALSE(in_is_local_subnet(htonl(ip(10, 2, 0, 1))));
  EXPECT_TRUE(in_is_forwardable(htonl(ip(10, 1, 77, 1))));
  EXPECT_FALSE(in_is_forwardable(htonl(ip(127, 0, 0, 1))));
  EXPECT_FALSE(in_is_forwardable(htonl(ip(0, 1, 2, 3))));
  EXPECT_FALSE(in_is_forwardable(htonl(ip(224, 0, 0, 1))));
  EXPECT_FALSE(in_is_forwardable(htonl(ip(240, 0, 0, 1))));
}

TEST_F(IfTest, PrefixLengthRequests) {
  TestIface& t = attach("ZEK", 0);
  if_laddrreq req{};
  iface_full_name(&t.ifp, req.iflr_name);
  sockaddr address = sa(ip(10, 4, 5, 6));
  std::memcpy(req.addr, &address, sizeof(address));
  req.prefixlen = 24;
  BdcLocked lock;
  EXPECT_EQ(in_control(nullptr, SIOCALIFADDR, &req, &t.ifp, nullptr), 0);
  EXPECT_NE(exact(ip(10, 4, 5, 0), ip(255, 255, 255, 0)), nullptr);
  if_laddrreq get{};
  EXPECT_EQ(in_control(nullptr, SIOCGLIFADDR, &get, &t.ifp, nullptr), 0);
  EXPECT_EQ(get.prefixlen, 24u);
  EXPECT_EQ(sin_host(reinterpret_cast<sockaddr*>(get.addr)), ip(10, 4, 5, 6));
  if_laddrreq too_long = req;
  too_long.prefixlen = 33;
  EXPECT_EQ(in_control(nullptr, SIOCALIFADDR, &too_long, &t.ifp, nullptr), BSD_EINVAL);
  // Missing arguments are an error, never a stop.
  EXPECT_EQ(in_lifaddr_ioctl(nullptr, SIOCGLIFADDR, nullptr, &t.ifp, nullptr), BSD_EINVAL);
  EXPECT_EQ(in_lifaddr_ioctl(nullptr, SIOCGLIFADDR, &get, nullptr, nullptr), BSD_EINVAL);
  EXPECT_EQ(in_control(nullptr, SIOCDLIFADDR, &req, &t.ifp, nullptr), 0);
  EXPECT_EQ(in_ifaddr_list(), nullptr);
}

TEST_F(IfTest, MtuRequestsOutsideTheRangeNeverReachTheDriver) {
  TestIface& t = attach("ZEK", 0);
  struct Case {
    int mtu;
    int error;
  };
  for (const Case c : {Case{71, BSD_EINVAL}, Case{65536, BSD_EINVAL}, Case{72, 0}, Case{65535, 0}, Case{1500, 0}}) {
    ifreq req{};
    iface_full_name(&t.ifp, req.ifr_name);
    req.ifr_ifru.ifru_mtu = c.mtu;
    const int calls = t.driver_calls;
    BdcLocked lock;
    EXPECT_EQ(iface_ioctl(nullptr, SIOCSIFMTU, &req, nullptr), c.error) << c.mtu;
    EXPECT_EQ(t.driver_calls, calls + (c.error == 0 ? 1 : 0));
    if (c.error == 0) {
      EXPECT_EQ(t.ifp.if_data.ifi_mtu, static_cast<std::uint32_t>(c.mtu));
    }
  }
  ifreq req{};
  std::memcpy(req.ifr_name, "nope7", 6);
  BdcLocked lock;
  EXPECT_EQ(iface_ioctl(nullptr, SIOC_GET_IFACE_MTU, &req, nullptr), BSD_ENXIO);
}

TEST_F(IfTest, FlagRequestsKeepTheDriversBitsAndMoveUpAndDown) {
  TestIface& t = attach("ZEK", 0);
  ifreq req{};
  iface_full_name(&t.ifp, req.ifr_name);
  req.ifr_ifru.ifru_flags[0] = static_cast<std::int16_t>(IFF_DEBUG);  // not up; tries to clear RUNNING
  {
    BdcLocked lock;
    EXPECT_EQ(iface_ioctl(nullptr, SIOCSIFFLAGS, &req, nullptr), 0);
  }
  EXPECT_FALSE(t.ifp.if_flags & IFF_UP);
  EXPECT_TRUE(t.ifp.if_flags & IFF_RUNNING);  // the driver's, kept
  EXPECT_TRUE(t.ifp.if_flags & IFF_DEBUG);
  EXPECT_EQ(t.last_cmd, SIOCSIFFLAGS);
  req.ifr_ifru.ifru_flags[0] = static_cast<std::int16_t>(IFF_UP);
  req.ifr_ifru.ifru_flags[1] = 2;  // permanent promiscuous
  {
    BdcLocked lock;
    EXPECT_EQ(iface_ioctl(nullptr, SIOCSIFFLAGS, &req, nullptr), 0);
    ifreq got{};
    iface_full_name(&t.ifp, got.ifr_name);
    EXPECT_EQ(iface_ioctl(nullptr, SIOCGIFFLAGS, &got, nullptr), 0);
    EXPECT_TRUE(got.ifr_ifru.ifru_flags[0] & IFF_UP);
    EXPECT_TRUE(got.ifr_ifru.ifru_flags[0] & IFF_PROMISC);
    EXPECT_EQ(got.ifr_ifru.ifru_flags[1], 2);
  }
  EXPECT_EQ(count(200), 2);  // one interface message per change of state
}

TEST_F(IfTest, ANewLinkAddressReachesTheDriverAndTheRecord) {
  TestIface& t = attach("ZEK", 0);
  TestIface& other = attach("gif", 0, IFF_UP, IFT_GIF);
  const std::uint8_t mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
  const int calls = t.driver_calls;
  BdcLocked lock;
  EXPECT_EQ(iface_set_link_addr(&t.ifp, mac, 6), 0);
  EXPECT_EQ(std::memcmp(t.ifp.if_ethaddr, mac, 6), 0);
  EXPECT_EQ(std::memcmp(LLADDR(reinterpret_cast<sockaddr_dl*>(t.ifp.if_addr->ifa_addr)), mac, 6), 0);
  EXPECT_EQ(t.driver_calls, calls + 2);  // down and up again
  EXPECT_TRUE(t.ifp.if_flags & IFF_UP);
  EXPECT_EQ(iface_set_link_addr(&t.ifp, mac, 5), BSD_EINVAL);
  EXPECT_EQ(iface_set_link_addr(&other.ifp, mac, 0), BSD_ENODEV);
}

TEST_F(IfTest, TheInterfaceListFitsTheCallersSpace) {
  TestIface& t = attach("ZEK", 0);
  ASSERT_EQ(add_address(t, ip(10, 1, 2, 3), ip(255, 255, 0, 0)), 0);
  std::vector<char> buffer(512, 0);
  ifconf ifc{32, buffer.data()};
  BdcLocked lock;
  EXPECT_EQ(iface_ioctl(nullptr, SIOC_GET_IFACE_LIST, &ifc, nullptr), 0);
  EXPECT_EQ(ifc.ifc_len, 0);  // exactly 32 bytes: nothing
  ifc.ifc_len = static_cast<std::int32_t>(buffer.size());
  EXPECT_EQ(iface_ioctl(nullptr, SIOC_GET_IFACE_LIST, &ifc, nullptr), 0);
  const auto* sdl = reinterpret_cast<const sockaddr_dl*>(buffer.data() + IFNAMSIZ);
  ASSERT_EQ(sdl->sdl_family, AF_LINK);  // the link address first, with the MAC
  EXPECT_EQ(std::string(buffer.data()), "ZEK0");
  const int link_entry = IFNAMSIZ + sdl->sdl_len;
  EXPECT_EQ(ifc.ifc_len, link_entry + 32);
  const auto* inet = reinterpret_cast<const sockaddr*>(buffer.data() + link_entry + IFNAMSIZ);
  EXPECT_EQ(inet->sa_family, AF_INET);
  EXPECT_EQ(sin_host(inet), ip(10, 1, 2, 3));
}

TEST_F(IfTest, MulticastMembershipsAreCounted) {
  TestIface& t = attach("ZEK", 0);
  in_multi* first = nullptr;
  {
    BdcLocked lock;
    first = in_multi_join(htonl(ip(239, 1, 1, 1)), &t.ifp);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(in_multi_join(htonl(ip(239, 1, 1, 1)), &t.ifp), first);
    EXPECT_EQ(first->inm_ifma->ifma_refcount, 2u);
    in_multi_leave(first);
    EXPECT_EQ(in_multi_list(), first);  // one member left
    in_multi_leave(first);
  }
  EXPECT_EQ(in_multi_list(), nullptr);
  EXPECT_EQ(t.ifp.if_multiaddrs, nullptr);
  EXPECT_EQ(count(400 + RTM_NEWMADDR), 1);
  EXPECT_EQ(count(400 + RTM_DELMADDR), 1);
  sockaddr group = sa(ip(239, 9, 9, 9));
  BdcLocked lock;
  EXPECT_EQ(iface_del_multicast(&t.ifp, &group), BSD_ENOENT);
}

int g_created_unit = -1;
int clone_create(if_cloner*, int* unit) {
  if (*unit < 0) *unit = 123456;
  g_created_unit = *unit;
  return 0;
}

TEST_F(IfTest, ClonerRequestsReportErrorsInsteadOfStopping) {
  if_cloner cloner{nullptr, "verylongclone", clone_create, nullptr};
  BdcLocked lock;
  if_clone_attach(&cloner);
  char name[IFNAMSIZ] = "verylongclone";
  // The unit the cloner picks does not fit the name.
  EXPECT_EQ(if_clone_create(name, sizeof(name)), BSD_ENAMETOOLONG);
  char unknown[IFNAMSIZ] = "nosuch0";
  EXPECT_EQ(if_clone_create(unknown, sizeof(unknown)), BSD_EINVAL);
  char named[IFNAMSIZ] = "verylongclone7";
  EXPECT_EQ(if_clone_create(named, sizeof(named)), 0);
  EXPECT_EQ(g_created_unit, 7);
  EXPECT_EQ(if_clone_destroy("verylongclone7"), BSD_ENXIO);  // the test cloner attaches nothing
  char names[2 * IFNAMSIZ] = {};
  if_clonereq list{0, -1, names};
  EXPECT_EQ(if_clone_list(&list), BSD_EINVAL);
  list.ifcr_count = 2;
  EXPECT_EQ(if_clone_list(&list), 0);
  EXPECT_EQ(list.ifcr_total, 1);
  EXPECT_STREQ(names, "verylongclone");
  if_clone_detach(&cloner);
}

}  // namespace
