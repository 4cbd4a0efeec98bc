// The stack's DHCP client against a real DHCP server: dnsmasq on the TAP
// device of a network namespace the test makes (192.0.2.0/24; nothing leaves
// it). The client gets its address and renews it, declines an address
// another host answers for (arping from Linux), starts again after a NAK,
// and falls back to its link-local address when no server answers. The
// stack's clock is virtual and runs ahead while nothing crosses the wire.
// Skipped where the machine cannot make a namespace or has no dnsmasq.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>

#include "proxy/tcpip/dhcp_client.h"
#include "tests/proxy/tcpip/linux/linux_peer.h"
#include "tests/proxy/tcpip/tcpip_fixture.h"
#include "tests/proxy/tcpip/test_adapter.h"

namespace {

using namespace zektcp;

constexpr std::uint32_t kLinuxIp = ipv4(192, 0, 2, 1);
constexpr Mac kClientMac{{0x02, 0x00, 0x00, 0x00, 0x12, 0x34}};

std::uint32_t net(std::uint32_t host_order) { return htonl(host_order); }

class DhcpLinuxTest : public TcpipTest {
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
    if (linuxpeer::run("command -v dnsmasq").code != 0) GTEST_SKIP() << "no dnsmasq on this machine";
    dir_ = linuxpeer::temp_dir("zektcp-dhcp");
    ASSERT_FALSE(dir_.empty());
    const std::string why = peer_.open(kLinuxIp, 24);
    if (!why.empty()) {
      GTEST_SKIP() << "no Linux peer on this machine: " << why
                   << " (the tests need root for a network namespace with a TAP device; CI runs them as root)";
    }
    {
      BdcLocked lock;
      ASSERT_EQ(testwire::attach(&adapter_, kClientMac, 0), 0);
    }
    attached_ = true;
    client_.ac = &adapter_.ac;
    client_.xid = 0x5A5A0001;
  }

  void TearDown() override {
    if (started_client_) {
      // The release goes out while the wire still runs.
      std::thread stopper([&] { dhcp_stop(&client_); });
      pump_until([&] { return client_.phase.load() == DhcpPhase::Stopped; }, 1);
      stopper.join();
      EXPECT_EQ(dhcp_clients_running(), 0u) << "a stopped client gives its place back";
    }
    stop_server();
    if (attached_) {
      {
        BdcLocked lock;
        iface_detach(&adapter_.ac.ac_if);
      }
      softint_round();
    }
    TcpipTest::TearDown();
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }

  // dnsmasq serving the range (the last octets) with a lease of `lease` s.
  void start_server(int first, int last, int lease) {
    stop_server();
    const std::string range = "192.0.2." + std::to_string(first) + ",192.0.2." + std::to_string(last) +
                              ",255.255.255.0," + std::to_string(lease);
    const std::string leases = dir_ + "/leases-" + std::to_string(first);
    server_ = fork();
    if (server_ == 0) {
      execlp("dnsmasq", "dnsmasq", "--no-daemon", "--conf-file=/dev/null", "--interface=zektap0", "--bind-interfaces",
             "--port=0", "--no-ping", "--dhcp-authoritative", "--user=root", "--group=root",
             ("--dhcp-range=" + range).c_str(), ("--dhcp-leasefile=" + leases).c_str(), "--pid-file",
             static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  void stop_server() {
    if (server_ > 0) {
      kill(server_, SIGTERM);
      waitpid(server_, nullptr, 0);
    }
    server_ = -1;
  }

  void start_client() {
    ASSERT_EQ(dhcp_start(&client_), 0);
    started_client_ = true;
  }

  // Moves frames between the stack and Linux until `done` holds; while
  // nothing moves, the stack's clock steps `ticks` each real millisecond.
  // Bounded: two minutes of real time.
  template <typename F>
  bool pump_until(F done, int ticks = 10) {
    const auto cap = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!done()) {
      if (std::chrono::steady_clock::now() > cap) return false;
      if (pump()) continue;
      peer_.wait_frame(1);
      if (!hold_clock_) advance_ticks(ticks);
    }
    return true;
  }

  bool pump() {
    bool moved = false;
    std::deque<Frame> out;
    {
      BdcLocked lock;
      out.swap(adapter_.sent);
    }
    for (const Frame& f : out) {
      peer_.write_frame(f.bytes);
      moved = true;
    }
    while (auto frame = peer_.read_frame()) {
      testwire::queue_frame(&adapter_, frame->data(), frame->size());
      moved = true;
    }
    if (moved) softint_round();
    return moved;
  }

  bool bound_at(std::uint32_t address) {
    return client_.phase.load() == DhcpPhase::Bound && client_.address.load() == net(address);
  }

  linuxpeer::Peer peer_;
  std::string dir_;
  TestAdapter adapter_{};
  DhcpClient client_;
  pid_t server_ = -1;
  bool attached_ = false;
  bool started_client_ = false;
  bool hold_clock_ = false;
};

TEST_F(DhcpLinuxTest, TheClientGetsItsAddressAndRenewsItAtTheRenewalTime) {
  start_server(50, 50, 120);
  start_client();
  EXPECT_EQ(dhcp_clients_running(), 1u);
  ASSERT_TRUE(pump_until([&] { return bound_at(ipv4(192, 0, 2, 50)); }));
  EXPECT_EQ(client_.mask.load(), net(0xFFFFFF00));
  EXPECT_EQ(client_.lease.lease, 120u);
  ASSERT_TRUE(pump_until([&] { return client_.renewals.load() >= 1; }));
  EXPECT_TRUE(bound_at(ipv4(192, 0, 2, 50)));
  EXPECT_EQ(client_.naks.load(), 0);
}

TEST_F(DhcpLinuxTest, AnAddressAnotherHostAnswersForIsDeclined) {
  start_server(50, 51, 120);
  start_client();
  ASSERT_TRUE(pump_until([&] {
    return client_.phase.load() == DhcpPhase::Probing && client_.address.load() == net(ipv4(192, 0, 2, 50));
  }));
  // Linux takes the address too and says so while the client watches it.
  hold_clock_ = true;
  ASSERT_EQ(linuxpeer::run("ip addr add 192.0.2.50/32 dev zektap0").code, 0);
  const auto arping = linuxpeer::run("arping -q -c 2 -w 2000000 -U -i zektap0 -S 192.0.2.50 192.0.2.50 2>&1");
  hold_clock_ = false;
  ASSERT_TRUE(pump_until([&] { return bound_at(ipv4(192, 0, 2, 51)); })) << arping.text;
  EXPECT_EQ(client_.declines.load(), 1);
}

TEST_F(DhcpLinuxTest, ANakSendsTheClientBackToDiscover) {
  start_server(50, 50, 120);
  start_client();
  ASSERT_TRUE(pump_until([&] { return bound_at(ipv4(192, 0, 2, 50)); }));
  // A new server that knows nothing of the lease and serves another range.
  start_server(60, 60, 120);
  ASSERT_TRUE(pump_until([&] { return bound_at(ipv4(192, 0, 2, 60)); }));
  EXPECT_GE(client_.naks.load(), 1);
}

TEST_F(DhcpLinuxTest, WithoutAServerTheClientFallsBackToItsLinkLocalAddress) {
  start_client();
  ASSERT_TRUE(pump_until([&] { return client_.phase.load() == DhcpPhase::FallBack; }, 50));
  EXPECT_EQ(client_.address.load(), net(ipv4(169, 254, 0x12, 0x34)));
  EXPECT_EQ(client_.mask.load(), net(0xFFFF0000));
}

}  // namespace
