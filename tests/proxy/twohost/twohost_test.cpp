// Two zekhost hosts on one lab wire, each with the miniport and the proxy
// driver on a one-function adapter with a SAN address: the proxy driver
// puts the host stack on the adapter at attach, and user programs of each
// host (twohost_peer, through zeksock) reach the other host's stack: ping
// both ways (ARP resolves the first, and again once the entry's life ended
// on a host whose clock is stepped forward), UDP datagrams of 1 to 65507 bytes
// (fragmented and reassembled) both ways, a 10 MB TCP stream echoed with
// its SHA-256 checked, and connections closed in every order; the protocols
// below TCP each way a user program reaches them (a port unreachable as the
// UDP sender's error, raw sockets, group membership with its IGMP report on
// the wire, the routing socket's messages); a kernel caller's echo through
// the kernel socket-call table; the socket calls a program of
// several sockets makes. The hosts stop leaving nothing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
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
  // Frames of HOSTA's capture (written as they pass) that tshark's display
  // `filter` selects; -1 without tshark.
  static int captured(const std::string& filter) {
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) return -1;
    const auto count = lab_->dir(0) / "filtered.txt";
    const std::string command = "tshark -r " + (lab_->dir(0) / "wire.pcap").string() + " -Y '" + filter +
                                "' 2>/dev/null | wc -l > " + count.string();
    if (std::system(command.c_str()) != 0) return -1;
    return std::atoi(zeklab::read_file(count).c_str());
  }

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

// A kernel caller (the test driver zeksocktest inside HOSTA) makes the same
// echo through the kernel socket-call table.
TEST_F(TwoHosts, AKernelCallerEchoesTenMegabytesThroughTheKernelSocketTable) {
  server(1, {"serve", "5202"}, "serve-kernel.txt");
  ASSERT_EQ(client(0, {"kernel-echo", kAddress[1], "5202", "10485760"}, "kernel-echo.txt"), 0)
      << output("kernel-echo.txt");
  EXPECT_NE(output("kernel-echo.txt").find("bytes 10485760 10485760\n"), std::string::npos)
      << output("kernel-echo.txt");
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

// The protocols below TCP as user programs reach them, one row each: a
// program on one host (a server when it has arguments) and one on the other,
// with what each prints when the exchange held.
TEST_F(TwoHosts, EachProtocolBelowTcpReachesTheOtherHostsPrograms) {
  struct Case {
    const char* name;
    std::vector<std::string> server;  // on HOSTB, started first when not empty
    std::vector<std::string> client;  // on HOSTA
    const char* server_says;
    const char* client_says;
  };
  const Case cases[] = {
      {"a port nobody serves answers the UDP sender's socket with an error, once",
       {},
       {"refused", kAddress[1], "5999"},
       "",
       "refused seen\n"},
      {"a raw socket's datagram reaches the other host's raw socket of its protocol",
       {"raw-serve", "253"},
       {"raw-send", kAddress[1], "253"},
       "raw from 10.77.0.1 100 ok",
       ""},
      {"a member joins and leaves a group while the other host sends to it",
       {"group-serve", "239.1.2.3", "5600", kAddress[1]},
       {"group-send", "239.1.2.3", "5600", kAddress[0]},
       "group from 10.77.0.1 14\nleft\n",
       ""},
      {"the routing socket answers a get and hears an address and its route come and go",
       {},
       {"routes", kAddress[1], "10.78.0.1"},
       "",
       "rtm get error 0 done 1\nrtm get 10.77.0.2\n"},
  };
  int row = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string tag = std::to_string(row++);
    const std::string server_out = "below-server" + tag + ".txt", client_out = "below-client" + tag + ".txt";
    if (!c.server.empty()) server(1, c.server, server_out);
    EXPECT_EQ(client(0, c.client, client_out, 60'000), 0) << output(client_out);
    EXPECT_NE(output(client_out).find(c.client_says), std::string::npos) << output(client_out);
    EXPECT_TRUE(zeklab::eventually([&] { return output(server_out).find(c.server_says) != std::string::npos; }, 20'000))
        << output(server_out);
  }
  // The routing messages of the address's life, in order (the route goes
  // before its address).
  const std::string routes = output("below-client3.txt");
  std::size_t at = 0;
  for (const char* line :
       {"rtm newaddr 10.78.0.1", "rtm add 10.78.0.0", "rtm delete 10.78.0.0", "rtm deladdr 10.78.0.1"}) {
    const std::size_t found = routes.find(line, at);
    EXPECT_NE(found, std::string::npos) << line << " after byte " << at << ":\n" << routes;
    if (found != std::string::npos) at = found;
  }
  // The member's report of its group crossed the wire, and so did the
  // datagram to the group.
  const int reports = captured("igmp && ip.src == 10.77.0.2 && igmp.maddr == 239.1.2.3");
  if (reports < 0) GTEST_SKIP() << "tshark is not installed: the wire's IGMP was not read";
  EXPECT_GE(reports, 1) << "no IGMP report of 239.1.2.3 from HOSTB on the wire";
  EXPECT_GE(captured("udp && ip.src == 10.77.0.1 && ip.dst == 239.1.2.3 && eth.dst == 01:00:5e:01:02:03"), 1)
      << "HOSTA's datagram to the group is not on the wire";
}

// Group datagrams from the other host reach a socket of their port while
// its host is a member of the group, and only then: before the join and
// after the leave the socket gets none (a unicast marker sent after each
// group datagram shows that it would have come by then). Each way.
TEST_F(TwoHosts, AGroupMemberHearsTheOtherHostsGroupDatagramsAndANonMemberDoesNot) {
  for (int from = 0; from < 2; ++from) {
    const int to = 1 - from;
    const std::string port = std::to_string(5611 + from), tag = std::to_string(from);
    const std::string listen = "group-listen" + tag + ".txt";
    server(to, {"group-listen", "239.1.2.4", port, kAddress[to]}, listen);
    for (const char* phase : {"outside", "member", "left"}) {
      SCOPED_TRACE(phase);
      ASSERT_TRUE(zeklab::eventually(
          [&] { return output(listen).find(std::string(phase) + " ready") != std::string::npos; }, 20'000))
          << output(listen);
      const std::string send = "group-send" + tag + phase + ".txt";
      EXPECT_EQ(client(from, {"group-send", "239.1.2.4", port, kAddress[from], kAddress[to]}, send, 20'000), 0)
          << output(send);
    }
    ASSERT_TRUE(zeklab::eventually([&] { return output(listen).find("left group") != std::string::npos; }, 20'000))
        << output(listen);
    const std::string heard = output(listen);
    EXPECT_NE(heard.find("outside group 0\n"), std::string::npos) << heard;
    EXPECT_NE(heard.find(std::string("member group 1 from ") + kAddress[from] + "\n"), std::string::npos) << heard;
    EXPECT_NE(heard.find("left group 0\n"), std::string::npos) << heard;
    EXPECT_EQ(heard.find("no marker"), std::string::npos) << heard;
  }
}

// poll and select over several connections, options, the sockets' names,
// the TCP statistics and the interface list, from a program on each host
// against a server on the other.
TEST_F(TwoHosts, AProgramOfSeveralSocketsWorksAgainstTheOtherHost) {
  for (int from = 0; from < 2; ++from) {
    const int to = 1 - from;
    const std::string port = std::to_string(5701 + from), tag = std::to_string(from);
    server(to, {"serve", port}, "features-serve" + tag + ".txt");
    EXPECT_EQ(client(from, {"features", kAddress[to], port}, "features" + tag + ".txt"), 0)
        << output("features" + tag + ".txt");
  }
}

// A wire that reorders and duplicates what each port sends: datagrams of
// many fragments still come back whole, their fragments having arrived out
// of order (HOSTB's capture shows the order they came in).
TEST(TwoHostsOnAReorderingWire, FragmentsArrivingOutOfOrderOrTwiceAreReassembled) {
  twohost::Lab lab(/*capture=*/true, /*drivers=*/{}, "reorder=0.3,duplicate=0.05,seed=11");
  const std::string why = lab.start();
  ASSERT_EQ(why, "");
  ASSERT_TRUE(lab.server(1, {"udp-serve", "5801"}, "serve.txt")) << lab.output("serve.txt");
  EXPECT_EQ(lab.client(0, {"udp", kAddress[1], "5801", "8000", "65507", "30000", "65507", "1473"}, "udp.txt"), 0)
      << lab.output("udp.txt");
  if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
  // The fragments HOSTB received from HOSTA, in arrival order: IP id and
  // offset.
  const auto fields = lab.dir(1) / "fragments.txt";
  const std::string command = "tshark -r " + (lab.dir(1) / "wire.pcap").string() +
                              " -o ip.defragment:FALSE -Y 'ip.src == 10.77.0.1 && (ip.flags.mf == 1 || "
                              "ip.frag_offset > 0)' -T fields -e ip.id -e ip.frag_offset > " +
                              fields.string() + " 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::istringstream in(zeklab::read_file(fields));
  std::map<std::string, long> last;
  int fragments = 0, backwards = 0;
  std::string id;
  long offset = 0;
  while (in >> id >> offset) {
    ++fragments;
    if (last.count(id) != 0 && offset <= last[id]) ++backwards;
    last[id] = offset;
  }
  EXPECT_GT(fragments, 100);
  EXPECT_GT(backwards, 0) << "no fragment arrived out of order or twice: the wire did not impair";
}

// An ARP entry that traffic resolved lives 1200 s: HOSTA's clock stepped
// forward 1000 s finds it still good (no request before the ping), then
// 300 s more finds it expired, and the next ping resolves HOSTB again: a
// second request on the wire.
TEST(TwoHostsOverTime, AnArpEntryExpiresAfterItsLifetimeAndTheNextSendResolvesItAgain) {
  if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
  twohost::Lab lab(/*capture=*/true);
  const std::string why = lab.start();
  ASSERT_EQ(why, "");
  // HOSTA's requests for HOSTB's address in HOSTA's capture.
  const auto requests = [&] {
    const auto count = lab.dir(0) / "requests.txt";
    const std::string command = "tshark -r " + (lab.dir(0) / "wire.pcap").string() +
                                " -Y 'arp.opcode == 1 && arp.src.proto_ipv4 == 10.77.0.1 && arp.dst.proto_ipv4 == "
                                "10.77.0.2' 2>/dev/null | wc -l > " +
                                count.string();
    return std::system(command.c_str()) == 0 ? std::atoi(zeklab::read_file(count).c_str()) : -1;
  };
  const auto ping = [&](const char* out) {
    EXPECT_EQ(lab.client(0, {"ping", kAddress[1], "1"}, out, 30'000), 0) << lab.output(out);
  };
  ping("ping-resolves.txt");
  EXPECT_TRUE(zeklab::eventually([&] { return requests() == 1; }, 5'000)) << requests() << " requests";
  ASSERT_TRUE(lab.step_clock(0, 1000)) << lab.host_log(0);
  ping("ping-at-1000s.txt");
  ping("ping-at-1000s-again.txt");
  EXPECT_EQ(requests(), 1) << "the entry was asked for again before its lifetime ended";
  ASSERT_TRUE(lab.step_clock(0, 300)) << lab.host_log(0);
  ping("ping-at-1300s.txt");
  EXPECT_TRUE(zeklab::eventually([&] { return requests() == 2; }, 5'000))
      << requests() << " requests: the expired entry was not resolved again";
  ping("ping-resolved-again.txt");
  EXPECT_EQ(requests(), 2);
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
