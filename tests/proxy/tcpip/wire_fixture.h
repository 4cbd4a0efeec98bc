// One Ethernet adapter interface of the stack on a test wire: what the
// stack sends is captured frame by frame, and the test plays the other
// hosts by putting frames on the wire (through Ethernet input and a round
// of the soft-interrupt thread). The adapter's own ARP table is a small
// table of the fixture's. Helpers build and read the frames.
#pragma once

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "proxy/tcpip/net/if_ether.h"
#include "proxy/tcpip/net/rtsock.h"
#include "proxy/tcpip/netinet/in.h"
#include "tests/proxy/tcpip/tcpip_fixture.h"
#include "tests/proxy/tcpip/test_adapter.h"

class WireTest : public TcpipTest {
 protected:
  zektcp::TcpipConfig config() override {
    zektcp::TcpipConfig c = TcpipTest::config();
    c.mbufs.mbufs = 1024;
    c.mbufs.clusters = 256;
    c.sockets = 32;
    return c;
  }

  void SetUp() override {
    TcpipTest::SetUp();
    if (HasFatalFailure()) return;
    attach(&adapter_, kOurMac, 0);
    ASSERT_EQ(add_address(&adapter_, kOurIp, kNetmask), 0);
    adapter_.sent.clear();  // the announcement of the address
  }

  void TearDown() override {
    if (started_) {
      {
        BdcLocked lock;
        for (zektcp::socket* so : sockets_) {
          if (zektcp::socket_is_live(so) && !(so->so_state & zektcp::SS_NOFDREF)) zektcp::soclose(so);
        }
        for (TestAdapter* a : attached_) zektcp::iface_detach(&a->ac.ac_if);
      }
      softint_round_now();
    }
    sockets_.clear();
    TcpipTest::TearDown();
  }

  // ---- The driver side ---------------------------------------------------------------------------
  static TestAdapter* adapter_of(zektcp::ifnet* ifp) { return testwire::adapter_of(ifp); }

  void attach(TestAdapter* a, const Mac& mac, std::uint16_t unit) {
    BdcLocked lock;
    ASSERT_EQ(testwire::attach(a, mac, unit), 0);
    attached_.push_back(a);
  }

  static int add_address(TestAdapter* a, std::uint32_t address, std::uint32_t mask) {
    BdcLocked lock;
    return testwire::add_address(a, address, mask);
  }

  zektcp::ifnet* ifp() { return &adapter_.ac.ac_if; }

  // ---- The wire ----------------------------------------------------------------------------------
  static void softint_round_now() { zektcp::softint_round(); }

  // A frame arrives (through Ethernet input, as the driver's receive path
  // hands it over) and the stack processes it.
  void inject(const Bytes& frame, TestAdapter* a = nullptr) {
    queue_frame(frame, a);
    softint_round_now();
  }

  void queue_frame(const Bytes& frame, TestAdapter* a = nullptr) {
    if (a == nullptr) a = &adapter_;
    ASSERT_GE(frame.size(), 14u);
    ASSERT_TRUE(testwire::queue_frame(a, frame.data(), frame.size()));
  }

  void inject_ip(const IpFields& f, const Bytes& payload, const Mac& dst = kOurMac) {
    inject(ether(dst, kPeerMac, 0x0800, ipv4_packet(f, payload)));
  }

  // The peer answers our ARP request (or announces itself).
  void peer_arp_reply(const Mac& mac = kPeerMac, std::uint32_t ip = kPeerIp) {
    inject(ether(kOurMac, mac, 0x0806, arp_packet(2, mac, ip, kOurMac, kOurIp)));
  }

  // The frames sent so far that match, taken off the capture.
  std::vector<Frame> take(const std::function<bool(const Frame&)>& match = nullptr, TestAdapter* a = nullptr) {
    if (a == nullptr) a = &adapter_;
    std::vector<Frame> out;
    for (auto it = a->sent.begin(); it != a->sent.end();) {
      if (!match || match(*it)) {
        out.push_back(*it);
        it = a->sent.erase(it);
      } else {
        ++it;
      }
    }
    return out;
  }

  static bool arp_request_for(const Frame& f, std::uint32_t target) {
    return f.is_arp() && f.arp_op() == 1 && f.arp_tpa() == target;
  }

  // ---- Sockets -----------------------------------------------------------------------------------
  zektcp::socket* make_socket(int type, int proto = 0) {
    zektcp::socket* so = nullptr;
    BdcLocked lock;
    EXPECT_EQ(zektcp::create_socket(zektcp::AF_INET, &so, type, proto, zektcp::stack_process()), 0);
    if (so != nullptr) sockets_.push_back(so);
    return so;
  }

  void close_socket(zektcp::socket* so) {
    BdcLocked lock;
    zektcp::soclose(so);
  }

  static int bind(zektcp::socket* so, std::uint32_t address, std::uint16_t port) {
    zektcp::sockaddr_in sin = zektcp::make_sockaddr_in(address, port);
    BdcLocked lock;
    return so->so_proto->pr_usrreqs->pru_bind(so, reinterpret_cast<zektcp::sockaddr*>(&sin), zektcp::stack_process());
  }

  static int connect(zektcp::socket* so, std::uint32_t address, std::uint16_t port) {
    zektcp::sockaddr_in sin = zektcp::make_sockaddr_in(address, port);
    BdcLocked lock;
    return so->so_proto->pr_usrreqs->pru_connect(so, reinterpret_cast<zektcp::sockaddr*>(&sin),
                                                 zektcp::stack_process());
  }

  static int set_option(zektcp::socket* so, int level, int name, const void* value, std::size_t size) {
    zektcp::sockopt opt{zektcp::SOPT_SET, level, name, const_cast<void*>(value), size, zektcp::stack_process()};
    BdcLocked lock;
    return zektcp::set_socket_option(so, &opt);
  }

  static int send_to(zektcp::socket* so, const Bytes& data, std::uint32_t address = 0, std::uint16_t port = 0) {
    Bytes copy = data;
    zektcp::iovec iov{copy.data(), copy.size()};
    zektcp::uio u{&iov, 1, 0, static_cast<std::int64_t>(copy.size()), zektcp::UIO_SYSSPACE, zektcp::UIO_WRITE, nullptr};
    zektcp::sockaddr_in sin = zektcp::make_sockaddr_in(address, port);
    BdcLocked lock;
    return zektcp::send_on_socket(so, address != 0 ? reinterpret_cast<zektcp::sockaddr*>(&sin) : nullptr, &u, nullptr,
                                  nullptr, 0, zektcp::stack_process());
  }

  struct Received {
    int error = 0;
    Bytes data;
    std::uint32_t from = 0;
    std::uint16_t port = 0;
    int flags = 0;
  };

  // A non-blocking receive.
  static Received receive(zektcp::socket* so, std::size_t max = 70000) {
    Received r;
    r.data.resize(max);
    zektcp::iovec iov{r.data.data(), r.data.size()};
    zektcp::uio u{&iov, 1, 0, static_cast<std::int64_t>(max), zektcp::UIO_SYSSPACE, zektcp::UIO_READ, nullptr};
    zektcp::sockaddr* from = nullptr;
    int flags = zektcp::MSG_DONTWAIT;
    {
      BdcLocked lock;
      r.error = zektcp::receive_on_socket(so, &from, &u, nullptr, nullptr, &flags);
    }
    r.flags = flags;
    r.data.resize(max - static_cast<std::size_t>(u.uio_resid));
    if (from != nullptr) {
      const auto* sin = reinterpret_cast<const zektcp::sockaddr_in*>(from);
      r.from = zektcp::ntohl(sin->sin_addr.s_addr);
      r.port = zektcp::ntohs(sin->sin_port);
      OSPrimMemFreePtr(from);
    }
    return r;
  }

  static Bytes text(std::size_t n, std::uint8_t seed = 0) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i * 31 + seed) & 0xFF);
    return b;
  }

  TestAdapter adapter_;
  std::vector<TestAdapter*> attached_;
  std::vector<zektcp::socket*> sockets_;
};
