// Interfaces: attach and detach, names, the interface requests (MTU, flags,
// link address, the interface list) and cloners.
#include <memory>

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
  ASSERT_EQ(add_address(t, ipv4(10, 1, 2, 3), ipv4(255, 255, 0, 0)), 0);
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
  EXPECT_EQ(sin_host(inet), ipv4(10, 1, 2, 3));
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

// Requests carry their addresses and names in fixed fields: lengths that
// run past the field are refused, never read (each record is allocated to
// its exact size, so an over-read shows under the address sanitizer).
TEST_F(IfTest, RequestFieldsAreBoundByTheirSize) {
  TestIface& t = attach("ZEK", 0);
  auto multi = std::make_unique<ifreq>();
  iface_full_name(&t.ifp, multi->ifr_name);
  auto* sdl = reinterpret_cast<sockaddr_dl*>(&multi->ifr_ifru.ifru_addr);
  sdl->sdl_family = AF_LINK;
  sdl->sdl_alen = 6;
  std::memset(sdl->sdl_data, 0x01, 6);
  struct Case {
    std::uint8_t len;
    std::uint8_t nlen;
    int error;
  };
  for (const Case c : {Case{255, 0, BSD_EINVAL}, Case{17, 0, BSD_EINVAL}, Case{7, 0, BSD_EINVAL},
                       Case{16, 3, BSD_EINVAL}, Case{14, 0, 0}}) {
    SCOPED_TRACE(static_cast<int>(c.len));
    sdl->sdl_len = c.len;
    sdl->sdl_nlen = c.nlen;
    BdcLocked lock;
    EXPECT_EQ(iface_ioctl(nullptr, SIOCADDMULTI, multi.get(), nullptr), c.error);
    if (c.error == 0) {
      EXPECT_EQ(iface_ioctl(nullptr, SIOCDELMULTI, multi.get(), nullptr), 0);
    }
  }
  EXPECT_EQ(t.ifp.if_multiaddrs, nullptr);

  // A cloner whose name takes all 16 bytes: a request name that does not end
  // within its field is refused, not read on into the rest of the record.
  if_cloner cloner{nullptr, "abcdefghijklmnop", clone_create, [](ifnet*) { return 0; }};
  auto destroy = std::make_unique<ifreq>();
  std::memcpy(destroy->ifr_name, "abcdefghijklmnop", IFNAMSIZ);
  std::memcpy(&destroy->ifr_ifru, "7", 2);
  BdcLocked lock;
  if_clone_attach(&cloner);
  EXPECT_EQ(iface_ioctl(nullptr, SIOCIFDESTROY, destroy.get(), nullptr), BSD_EINVAL);
  if_clone_detach(&cloner);
}

}  // namespace
