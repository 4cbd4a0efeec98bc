// Two zekhost hosts on one lab wire, each with the miniport and the proxy
// driver on a one-function adapter with a SAN address: the proxy driver
// puts the host stack on the adapter at attach, and user programs of each
// host (twohost_peer, through zeksock) reach the other host's stack: ping
// both ways (ARP resolves the first), UDP datagrams of 1 to 65507 bytes
// (fragmented and reassembled) both ways, a 10 MB TCP stream echoed with
// its SHA-256 checked, and connections closed in every order. The hosts
// stop leaving nothing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/proxy/twohost/twohost_lab.h"

namespace {

using twohost::kAddress;

class TwoHosts : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    lab_ = std::make_unique<twohost::Lab>(/*capture=*/true);
    why_ = lab_->start();
  }
  static void TearDownTestSuite() { lab_.reset(); }
  void SetUp() override { ASSERT_EQ(why_, ""); }
  void TearDown() override {
    if (HasFailure()) {
      for (int i = 0; i < 2; ++i) std::fprintf(stderr, "host %d:\n%s\n", i, lab_->host_log(i).c_str());
    }
  }
  void server(int i, std::vector<std::string> args, const std::string& out) {
    ASSERT_TRUE(lab_->server(i, std::move(args), out)) << lab_->output(out);
  }
  int client(int i, std::vector<std::string> args, const std::string& out, int ms = 120'000) {
    return lab_->client(i, std::move(args), out, ms);
  }
  static std::string output(const std::string& out) { return lab_->output(out); }

  static std::unique_ptr<twohost::Lab> lab_;
  static std::string why_;
};

std::unique_ptr<twohost::Lab> TwoHosts::lab_;
std::string TwoHosts::why_;

TEST_F(TwoHosts, EachHostPingsTheOtherAfterResolvingItsAddress) {
  EXPECT_EQ(client(0, {"ping", kAddress[1], "5"}, "ping-ab.txt"), 0) << output("ping-ab.txt");
  EXPECT_EQ(client(1, {"ping", kAddress[0], "5"}, "ping-ba.txt"), 0) << output("ping-ba.txt");
}

TEST_F(TwoHosts, DatagramsOfOneTo65507BytesGoBothWays) {
  const std::vector<std::string> sizes = {"1", "1472", "1473", "8000", "65507"};
  for (int from = 0; from < 2; ++from) {
    const int to = 1 - from;
    const std::string port = std::to_string(5101 + from);
    const std::string tag = std::to_string(from);
    server(to, {"udp-serve", port}, "udp-serve" + tag + ".txt");
    std::vector<std::string> args = {"udp", kAddress[to], port};
    args.insert(args.end(), sizes.begin(), sizes.end());
    EXPECT_EQ(client(from, args, "udp" + tag + ".txt"), 0) << output("udp" + tag + ".txt");
  }
}

TEST_F(TwoHosts, ATenMegabyteStreamIsEchoedIntact) {
  server(1, {"serve", "5201"}, "serve-echo.txt");
  ASSERT_EQ(client(0, {"echo", kAddress[1], "5201", "10485760"}, "echo.txt"), 0) << output("echo.txt");
  const std::string out = output("echo.txt");
  EXPECT_NE(out.find("bytes 10485760 10485760"), std::string::npos) << out;
  EXPECT_NE(output("serve-echo.txt").find(std::string("peer ") + kAddress[0]), std::string::npos)
      << "accept gives the peer's address: " << output("serve-echo.txt");
}

TEST_F(TwoHosts, ConnectionsCloseInEveryOrder) {
  server(0, {"serve", "5301"}, "serve-closes.txt");
  EXPECT_EQ(client(1, {"closes", kAddress[0], "5301"}, "closes.txt", 60'000), 0) << output("closes.txt");
  const std::string out = output("closes.txt");
  for (const char* order : {"active", "passive", "half", "simultaneous", "reset"}) {
    EXPECT_NE(out.find(std::string("close ") + order + " ok"), std::string::npos) << order << "\n" << out;
  }
  EXPECT_TRUE(
      zeklab::eventually([&] { return output("serve-closes.txt").find("reset seen") != std::string::npos; }, 10'000))
      << output("serve-closes.txt");
}

// Last (it stops the hosts): after traffic of every kind, both hosts stop on
// SIGTERM, their drivers detaching the stack's interfaces and leaving
// nothing; a protocol analyser reads everything HOSTA's port carried
// without a malformed frame or a bad checksum.
TEST_F(TwoHosts, AfterTrafficBothHostsStopLeavingNothingAndTheWireIsWellFormed) {
  EXPECT_EQ(client(0, {"ping", kAddress[1], "2"}, "last-ping.txt"), 0) << output("last-ping.txt");
  server(1, {"udp-serve", "5401"}, "last-udp-serve.txt");
  EXPECT_EQ(client(0, {"udp", kAddress[1], "5401", "64", "20000"}, "last-udp.txt"), 0) << output("last-udp.txt");
  server(1, {"serve", "5402"}, "last-serve.txt");
  EXPECT_EQ(client(0, {"echo", kAddress[1], "5402", "1048576"}, "last-echo.txt"), 0) << output("last-echo.txt");
  EXPECT_TRUE(lab_->terminate());
  why_ = "the hosts were stopped by an earlier test";
  for (int i = 0; i < 2; ++i) {
    const std::string log = lab_->host_log(i);
    EXPECT_NE(log.find("driver zekproxy unloaded"), std::string::npos) << log;
    EXPECT_EQ(log.find("still allocated"), std::string::npos) << log;
    EXPECT_EQ(log.find("left behind"), std::string::npos) << log;
    EXPECT_EQ(log.find("fault"), std::string::npos) << log;
  }
  if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
  const auto capture = lab_->dir(0) / "wire.pcap";
  const auto out = lab_->dir(0) / "tshark.txt";
  const std::string command =
      "tshark -r " + capture.string() +
      " -o ip.check_checksum:TRUE -o tcp.check_checksum:TRUE -o udp.check_checksum:TRUE -Y '_ws.malformed || "
      "ip.checksum.status == 0 || tcp.checksum.status == 0 || udp.checksum.status == 0 || icmp.checksum.status == "
      "0' > " +
      out.string() + " 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(zeklab::read_file(out), "") << "frames tshark finds malformed or with a bad checksum";
  const std::string all = "tshark -r " + capture.string() + " -Y 'tcp || udp || icmp' 2>/dev/null | wc -l > " +
                          (lab_->dir(0) / "count.txt").string();
  ASSERT_EQ(std::system(all.c_str()), 0);
  EXPECT_GT(std::atoi(zeklab::read_file(lab_->dir(0) / "count.txt").c_str()), 500) << "the capture holds the traffic";
}

}  // namespace
