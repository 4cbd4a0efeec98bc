// Interfaces of a test "driver" and a recording routing-socket reporter, on
// top of the stack fixture; and a fixture with one addressed interface for
// the routing tests.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/proxy/tcpip/tcpip_fixture.h"

struct TestIface {
  zektcp::ifnet ifp{};
  int driver_calls = 0;
  std::uint32_t last_cmd = 0;
  int refuse_cmd = 0;  // a request code the driver refuses with EINVAL
};

inline int test_driver_ioctl(zektcp::ifnet* ifp, std::uint32_t cmd, void* data) {
  auto* t = reinterpret_cast<TestIface*>(ifp);  // ifp is the first member
  ++t->driver_calls;
  t->last_cmd = cmd;
  if (static_cast<int>(cmd) == t->refuse_cmd) return zektcp::BSD_EINVAL;
  if (cmd == zektcp::SIOCSIFMTU)
    ifp->if_data.ifi_mtu = static_cast<std::uint32_t>(static_cast<zektcp::ifreq*>(data)->ifr_ifru.ifru_mtu);
  return 0;
}

class NetTest : public TcpipTest {
 protected:
  // The interface layer's tests start without the loopback interface, so
  // their interfaces and addresses are the only ones.
  zektcp::TcpipConfig config() override {
    zektcp::TcpipConfig c = TcpipTest::config();
    c.loopback = false;
    return c;
  }

  void SetUp() override {
    TcpipTest::SetUp();
    messages().clear();
    static const zektcp::RouteReporter reporter = {
        [] { return true; },
        [](int type, zektcp::rt_addrinfo*, int, int) { messages().push_back(type); },
        [](int cmd, zektcp::ifaddr*, int, zektcp::rtentry*) { messages().push_back(100 + cmd); },
        [](zektcp::ifnet*) { messages().push_back(200); },
        [](zektcp::ifnet*, int what) { messages().push_back(300 + what); },
        [](int cmd, zektcp::ifmultiaddr*) { messages().push_back(400 + cmd); },
        [](zektcp::rt_addrinfo*, int, int) { messages().push_back(zektcp::RTM_REDIRECT); },
    };
    zektcp::route_set_reporter(&reporter);
  }

  void TearDown() override {
    if (started_) {
      BdcLocked lock;
      for (auto& t : ifaces_) zektcp::iface_detach(&t->ifp);
    }
    zektcp::route_set_reporter(nullptr);
    ifaces_.clear();
    TcpipTest::TearDown();
  }

  static std::vector<int>& messages() {
    static std::vector<int> m;
    return m;
  }

  // Messages of routing sockets: 1 add, 2 delete, 7 miss, 112/113 address
  // added/deleted (100 + type), 200 interface information, 300/301 arrival
  // and departure, 415/416 multicast.
  static int count(int type) {
    int n = 0;
    for (int m : messages()) n += m == type;
    return n;
  }

  TestIface& attach(const char* name, std::uint16_t unit,
                    std::uint16_t flags = zektcp::IFF_UP | zektcp::IFF_BROADCAST | zektcp::IFF_RUNNING |
                                          zektcp::IFF_SIMPLEX | zektcp::IFF_MULTICAST,
                    std::uint8_t type = zektcp::IFT_ETHER) {
    auto t = std::make_unique<TestIface>();
    t->ifp.if_softc = &t->ifp;
    t->ifp.if_name = name;
    t->ifp.if_unit = unit;
    t->ifp.if_flags = flags;
    t->ifp.if_data.ifi_type = type;
    t->ifp.if_data.ifi_addrlen = type == zektcp::IFT_ETHER ? 6 : 0;
    t->ifp.if_data.ifi_mtu = 1500;
    t->ifp.if_ioctl = test_driver_ioctl;
    t->ifp.if_snd.ifq_maxlen = 2000;
    const std::uint8_t mac[6] = {0x02, 0x00, 0x5A, 0x4B, 0x00, static_cast<std::uint8_t>(unit)};
    std::memcpy(t->ifp.if_ethaddr, mac, 6);
    {
      BdcLocked lock;
      EXPECT_EQ(zektcp::if_attach(&t->ifp), 0);
    }
    ifaces_.push_back(std::move(t));
    return *ifaces_.back();
  }

  static zektcp::sockaddr sa(std::uint32_t address) {
    zektcp::sockaddr_in sin = zektcp::make_sockaddr_in(address);
    zektcp::sockaddr out;
    std::memcpy(&out, &sin, sizeof(out));
    return out;
  }

  // SIOCAIFADDR with address and mask (host order; mask 0 = none).
  static int add_address(TestIface& t, std::uint32_t address, std::uint32_t mask, std::uint32_t broadcast = 0) {
    zektcp::ifaliasreq req{};
    zektcp::iface_full_name(&t.ifp, req.ifra_name);
    req.ifra_addr = sa(address);
    if (mask != 0) req.ifra_mask = sa(mask);
    if (broadcast != 0) req.ifra_broadaddr = sa(broadcast);
    BdcLocked lock;
    return zektcp::in_control(nullptr, zektcp::SIOCAIFADDR, &req, &t.ifp, nullptr);
  }

  static int address_request(TestIface& t, std::uint32_t cmd, std::uint32_t address, zektcp::ifreq* out = nullptr) {
    zektcp::ifreq req{};
    zektcp::iface_full_name(&t.ifp, req.ifr_name);
    req.ifr_ifru.ifru_addr = sa(address);
    BdcLocked lock;
    const int error = zektcp::in_control(nullptr, cmd, &req, &t.ifp, nullptr);
    if (out != nullptr) *out = req;
    return error;
  }

  static std::uint32_t sin_host(const zektcp::sockaddr* s) {
    return zektcp::ntohl(reinterpret_cast<const zektcp::sockaddr_in*>(s)->sin_addr.s_addr);
  }

  // The route that a look-up without cloning finds, its key in host order
  // (0 when none). The reference is dropped again.
  static zektcp::rtentry* lookup(std::uint32_t address, int report = 0) {
    zektcp::sockaddr dst = sa(address);
    BdcLocked lock;
    zektcp::rtentry* rt = zektcp::rtalloc1(&dst, report, 0);
    if (rt != nullptr) zektcp::rtfree(rt);
    return rt;
  }

  static zektcp::rtentry* exact(std::uint32_t address, std::uint32_t mask, bool host = false) {
    zektcp::sockaddr key = sa(address);
    zektcp::sockaddr m = sa(mask);
    zektcp::radix_node_head* head = zektcp::rt_tree(zektcp::AF_INET);
    return reinterpret_cast<zektcp::rtentry*>(zektcp::radix_lookup(&key, host ? nullptr : &m, head));
  }

  static int add_route(std::uint32_t dst, std::uint32_t mask, std::uint32_t gateway, std::uint32_t flags) {
    zektcp::sockaddr d = sa(dst);
    zektcp::sockaddr g = sa(gateway);
    zektcp::sockaddr m = sa(mask);
    BdcLocked lock;
    return zektcp::rtrequest_by_addrs(zektcp::RTM_ADD, &d, &g, (flags & zektcp::RTF_HOST) ? nullptr : &m,
                                      static_cast<int>(flags), nullptr);
  }

  static int delete_route(std::uint32_t dst, std::uint32_t mask, bool host = false) {
    zektcp::sockaddr d = sa(dst);
    zektcp::sockaddr m = sa(mask);
    BdcLocked lock;
    return zektcp::rtrequest_by_addrs(zektcp::RTM_DELETE, &d, nullptr, host ? nullptr : &m,
                                      host ? static_cast<int>(zektcp::RTF_HOST) : 0, nullptr);
  }

  std::vector<std::unique_ptr<TestIface>> ifaces_;
};

// One interface, ZEK0 with 10.0.0.1/8, so that routes through gateways in
// 10/8 resolve.
class RoutedNetTest : public NetTest {
 protected:
  void SetUp() override {
    NetTest::SetUp();
    zek0_ = &attach("ZEK", 0);
    ASSERT_EQ(add_address(*zek0_, ipv4(10, 0, 0, 1), ipv4(255, 0, 0, 0)), 0);
  }

  static std::uint32_t gateway_of(const zektcp::rtentry* rt) {
    return rt != nullptr && rt->rt_gateway != nullptr ? sin_host(rt->rt_gateway) : 0;
  }

  TestIface* zek0_ = nullptr;
};
