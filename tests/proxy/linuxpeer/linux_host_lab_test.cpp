// Linux's own stack as the peer of a host's stack: a zekhost with the
// miniport and the proxy driver on a lab wire whose other port is a TAP
// device (zekwiretap) in a network namespace of the test's own, Linux at
// 192.0.2.1 and the host stack on its adapter at 192.0.2.10 (or what
// dnsmasq leases it). Pings both ways, UDP both ways (fragmented up to the
// largest datagram), TCP both ways with the data's SHA-256 compared, Linux
// losing and reordering with netem, a bounded SYN flood against a small
// backlog while a real connect gets through, DHCP from dnsmasq; every
// capture read clean by tshark. The host's side is the two-host tests' user
// program (twohost_peer: zeksock's socket calls on the host's stack).
// Skipped where the machine cannot make a namespace.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/sha.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/proxy/linuxpeer/host_stats.h"
#include "tests/support/lab.h"
#include "tests/support/private_network.h"

namespace {

namespace fs = std::filesystem;
using zektest::run_command;

constexpr const char* kLinux = "192.0.2.1";
constexpr const char* kHost = "192.0.2.10";
// A SYN-flood's source that nobody answers ARP for: the stack's SYN-ACKs
// wait and no reset clears its entries.
constexpr const char* kNobody = "192.0.2.77";
// What a clean wire legitimately shows: flow control, and the stack's FIN
// sent again with every segment while it is unacknowledged (its output
// sets FIN in FIN-WAIT-1, CLOSING and LAST-ACK and resends it at snd_max),
// which the analyser calls a retransmission and Linux answers with a
// duplicate ACK.
constexpr const char* kFlowControl =
    "tcp.analysis.window_update || tcp.analysis.zero_window || tcp.analysis.window_full || "
    "(tcp.analysis.retransmission && tcp.flags.fin == 1 && tcp.len == 0 && ip.src == 192.0.2.10) || "
    "(tcp.analysis.duplicate_ack && tcp.len == 0 && ip.src == 192.0.2.1)";
// What Linux's netem loss and reordering legitimately shows.
constexpr const char* kRepair =
    "tcp.analysis.window_update || tcp.analysis.zero_window || tcp.analysis.window_full || "
    "tcp.analysis.retransmission || tcp.analysis.fast_retransmission || tcp.analysis.spurious_retransmission || "
    "tcp.analysis.out_of_order || tcp.analysis.lost_segment || tcp.analysis.ack_lost_segment || "
    "tcp.analysis.duplicate_ack || tcp.analysis.reused_ports";

std::uint32_t ip_of(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

std::vector<std::uint8_t> pattern(std::size_t bytes, std::uint32_t seed) {
  std::vector<std::uint8_t> v(bytes);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  return v;
}

std::string sha256(const std::vector<std::uint8_t>& data) {
  std::uint8_t digest[SHA256_DIGEST_LENGTH];
  SHA256(data.data(), data.size(), digest);
  std::string text;
  char hex[3];
  for (std::uint8_t b : digest) {
    std::snprintf(hex, sizeof hex, "%02x", b);
    text += hex;
  }
  return text;
}

class LinuxHostLab : public ::testing::Test {
 protected:
  // The adapter's address settings in host.conf (a static SAN address here).
  // More of zekwiretap's options.
  virtual std::vector<std::string> wiretap_options() { return {}; }
  virtual std::string address_settings() {
    return std::string("IPADDRESS0 = ") + kHost + "\nNetMask0 = 255.255.255.0\n";
  }

  void SetUp() override {
    const std::string why = network_.open();
    if (!why.empty()) GTEST_SKIP() << "no network namespace on this machine, nothing was sent: " << why;
    if (!privatenet::have_program("ping")) GTEST_SKIP() << "ping is not installed (scripts/install-deps installs it)";
    dir_ = zeklab::make_temp_dir("linuxpeer");
    ASSERT_FALSE(dir_.empty());
    const fs::path lab = dir_ / "lab";
    host_dir_ = dir_ / "hosta";
    fs::create_directories(lab);
    fs::create_directories(host_dir_);
    std::vector<std::string> wiretap{
        ZEK_WIRETAP_BINARY,          "--lab",     lab.string(),    "--name", "linux", "--address",
        std::string(kLinux) + "/24", "--capture", capture("linux")};
    for (const std::string& option : wiretap_options()) wiretap.push_back(option);
    wiretap_ = zeklab::spawn(wiretap, {}, dir_ / "wiretap.out");
    ASSERT_TRUE(zeklab::eventually(
        [&] { return zeklab::read_file(dir_ / "wiretap.out").find("is port") != std::string::npos; }, 20000))
        << zeklab::read_file(dir_ / "wiretap.out");
    std::ofstream conf(host_dir_ / "host.conf");
    conf << "[host]\nname = HOSTA\nmemory_mb = 256\nlab = " << lab.string() << "\n\n[adapter nic0]\n"
         << address_settings() << "capture = " << capture("hosta") << "\n\n[driver zekhnic]\npath = " << ZEK_HNIC_DRIVER
         << "\n\n[driver zekproxy]\npath = " << ZEK_PROXY_DRIVER << "\n";
    conf.close();
    host_ = zeklab::spawn_host(host_dir_);
    ASSERT_TRUE(zeklab::eventually([&] { return zeklab::host_ready(host_dir_); }, 30000)) << host_log();
  }

  void TearDown() override {
    for (pid_t& p : helpers_) zeklab::kill_child(p);
    if (host_ > 0) {
      const int code = zeklab::terminate(host_);
      EXPECT_EQ(code, 0) << host_log();
    }
    if (wiretap_ > 0) {
      EXPECT_EQ(zeklab::terminate(wiretap_), 0) << zeklab::read_file(dir_ / "wiretap.out");
    }
    if (HasFailure() && !dir_.empty()) std::fprintf(stderr, "host.log:\n%s\n", host_log().c_str());
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }

  std::string capture(const std::string& name) const { return (dir_ / (name + ".pcap")).string(); }
  std::string host_log() const { return zeklab::read_file(host_dir_ / "host.log"); }

  // Waits (bounded) until Linux's ping of `address` is answered: the host
  // stack runs on the adapter.
  bool stack_answers(const std::string& address, int seconds = 30) {
    return zeklab::eventually(
        [&] { return run_command("ping -n -c 1 -W 1 " + address + " >/dev/null 2>&1").code == 0; }, seconds * 1000,
        100);
  }

  // twohost_peer on the host with `args`; its output goes to OUT.out.
  pid_t on_host(const std::vector<std::string>& args, const std::string& out) {
    std::vector<std::string> all{ZEK_TWOHOST_PEER};
    all.insert(all.end(), args.begin(), args.end());
    const pid_t pid = zeklab::spawn(all, host_dir_, dir_ / (out + ".out"));
    helpers_.push_back(pid);
    return pid;
  }
  std::string output(const std::string& out) const { return zeklab::read_file(dir_ / (out + ".out")); }
  // Runs twohost_peer on the host to its end; its exit code.
  int run_on_host(const std::vector<std::string>& args, const std::string& out) {
    const pid_t pid = on_host(args, out);
    const int code = zeklab::exit_code(pid);
    std::erase(helpers_, pid);
    return code;
  }
  // A program in the namespace (socat, dnsmasq, hping3) in the background.
  pid_t in_namespace(const std::string& command, const std::string& out) {
    const pid_t pid = zeklab::spawn({"/bin/sh", "-c", "exec " + command}, {}, dir_ / (out + ".out"));
    helpers_.push_back(pid);
    return pid;
  }

  // Linux's UDP socket (non-blocking), bound to an ephemeral port.
  int linux_udp() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int big = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    return fd;
  }
  sockaddr_in to(const char* address, std::uint16_t port) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = ip_of(address);
    return sin;
  }
  static bool readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
  }

  // Linux connects to the host stack's server at `port`, asks for an echo
  // ('E'), sends `bytes` while reading it back, ends its side, and compares
  // the SHA-256 of what came back with what went.
  void linux_bulk_to_host(std::uint16_t port, std::size_t bytes) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    const sockaddr_in address = to(kHost, port);
    timeval patience{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
    const auto data = pattern(bytes, 11);
    ASSERT_EQ(::send(fd, "E", 1, MSG_NOSIGNAL), 1);
    std::thread sender([&] {
      for (std::size_t at = 0; at < bytes;) {
        const ssize_t n = ::send(fd, data.data() + at, bytes - at, MSG_NOSIGNAL);
        if (n <= 0) break;
        at += static_cast<std::size_t>(n);
      }
      ::shutdown(fd, SHUT_WR);
    });
    std::vector<std::uint8_t> back;
    std::vector<std::uint8_t> buffer(65536);
    for (;;) {
      const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
      if (n <= 0) break;
      back.insert(back.end(), buffer.begin(), buffer.begin() + n);
    }
    sender.join();
    ::close(fd);
    EXPECT_EQ(back.size(), bytes);
    EXPECT_EQ(sha256(back), sha256(data));
  }

  // Linux's side of the host program's requests (the first byte of each
  // connection), served on Linux's own sockets for `connections`
  // connections: 'E' echo to the peer's end, then end; 'C' close at once;
  // 'H' read to the peer's end, answer "done", close; 'R' read until the
  // peer's reset. What each connection saw, one line each, once all ended.
  std::thread linux_server(std::uint16_t port, int connections, std::string* seen) {
    const int l = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in any = to("0.0.0.0", port);
    EXPECT_EQ(::bind(l, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0) << std::strerror(errno);
    EXPECT_EQ(::listen(l, 8), 0);
    return std::thread([l, connections, seen] {
      for (int i = 0; i < connections && readable(l, 30000); ++i) {
        const int c = ::accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) break;
        timeval patience{20, 0};
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        char request = 0;
        std::vector<char> buffer(65536);
        ssize_t n = ::recv(c, &request, 1, 0);
        if (request == 'E') {
          while ((n = ::recv(c, buffer.data(), buffer.size(), 0)) > 0) ::send(c, buffer.data(), n, MSG_NOSIGNAL);
          *seen += "echo\n";
        } else if (request == 'H') {
          while ((n = ::recv(c, buffer.data(), buffer.size(), 0)) > 0) {
          }
          *seen += n == 0 && ::send(c, "done", 4, MSG_NOSIGNAL) == 4 ? "half done\n" : "half FAILED\n";
        } else if (request == 'R') {
          while ((n = ::recv(c, buffer.data(), buffer.size(), 0)) > 0) {
          }
          *seen += n < 0 && errno == ECONNRESET ? "reset seen\n" : "reset missed\n";
        } else {
          *seen += std::string("close ") + request + "\n";
        }
        ::close(c);
      }
      ::close(l);
    });
  }

  std::string complaints(const std::string& side, const std::string& allowed = {}) {
    return privatenet::analyser_complaints(capture(side), allowed,
                                           "-d udp.port==7000,data -d udp.port==7001,data -d tcp.port==5001,data "
                                           "-d tcp.port==5002,data",
                                           "tcp.checksum.ffff && ip.src == 192.0.2.1");
  }
  void expect_clean_captures(const std::string& allowed = kFlowControl) {
    if (!privatenet::have_program("tshark")) return;
    for (const char* side : {"hosta", "linux"}) EXPECT_EQ(complaints(side, allowed), "") << side;
  }

  privatenet::PrivateNetwork network_;
  fs::path dir_, host_dir_;
  pid_t wiretap_ = -1, host_ = -1;
  std::vector<pid_t> helpers_;
};

TEST_F(LinuxHostLab, LinuxAndTheHostStackPingEachOther) {
  ASSERT_TRUE(stack_answers(kHost)) << "the host stack never answered Linux's ping\n" << host_log();
  // Fragmented both ways: 4000 bytes of ICMP data in three frames.
  const auto big = run_command(std::string("ping -n -c 3 -i 0.2 -W 5 -s 4000 ") + kHost + " 2>&1");
  EXPECT_EQ(big.code, 0) << big.output;
  EXPECT_EQ(run_on_host({"ping", kLinux, "3"}, "ping"), 0) << output("ping");
  EXPECT_NE(output("ping").find("ping 3 of 3 answered"), std::string::npos) << output("ping");
  expect_clean_captures();
}

TEST_F(LinuxHostLab, UdpCrossesBothWaysUpToTheLargestDatagram) {
  ASSERT_TRUE(stack_answers(kHost)) << host_log();
  const std::vector<std::size_t> sizes{1, 1472, 1473, 8000, 65507};
  // Linux to the host stack's echo.
  on_host({"udp-serve", "7000"}, "udpecho");
  ASSERT_TRUE(zeklab::eventually([&] { return output("udpecho").find("ready") != std::string::npos; }, 20000));
  const int fd = linux_udp();
  ASSERT_GE(fd, 0);
  const sockaddr_in host = to(kHost, 7000);
  std::vector<std::uint8_t> buffer(65536);
  for (const std::size_t size : sizes) {
    const auto data = pattern(size, static_cast<std::uint32_t>(size));
    ASSERT_EQ(::sendto(fd, data.data(), size, 0, reinterpret_cast<const sockaddr*>(&host), sizeof host),
              static_cast<ssize_t>(size));
    ASSERT_TRUE(readable(fd, 20000)) << "no echo of " << size << " bytes\n" << output("udpecho") << host_log();
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    ASSERT_EQ(n, static_cast<ssize_t>(size));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer.begin())) << size;
  }
  ::close(fd);
  // The host stack to Linux's echo (socat, one process per datagram's peer).
  in_namespace("socat -b 65536 -T 20 UDP4-RECVFROM:7001,reuseaddr,fork PIPE", "socat");
  std::vector<std::string> ask{"udp", kLinux, "7001"};
  for (const std::size_t size : sizes) ask.push_back(std::to_string(size));
  EXPECT_EQ(run_on_host(ask, "udpask"), 0) << output("udpask");
  expect_clean_captures();
}

TEST_F(LinuxHostLab, TcpBulkCrossesBothWaysWithTheDataIntact) {
  ASSERT_TRUE(stack_answers(kHost)) << host_log();
  // Linux connects to a listener of the host stack.
  on_host({"serve", "5001"}, "serve");
  ASSERT_TRUE(zeklab::eventually([&] { return output("serve").find("ready") != std::string::npos; }, 20000));
  ASSERT_NO_FATAL_FAILURE(linux_bulk_to_host(5001, 4 << 20));
  EXPECT_NE(output("serve").find("peer 192.0.2.1\n"), std::string::npos)
      << "accept did not give Linux's address: " << output("serve");
  // The host stack connects to Linux's listener, an echo that takes the
  // program's one-byte request off first.
  in_namespace("socat -T 30 TCP4-LISTEN:5002,reuseaddr SYSTEM:'head -c 1 >/dev/null; exec cat'", "socat");
  ASSERT_TRUE(zeklab::eventually([&] { return run_command("ss -ltn | grep -q ':5002 '").code == 0; }, 20000));
  EXPECT_EQ(run_on_host({"echo", kLinux, "5002", std::to_string(4 << 20)}, "echo"), 0) << output("echo");
  expect_clean_captures();
}

// The two-host tests' program of several sockets against Linux: poll and
// select over several connections (a socat echo per connection), options,
// the sockets' names, the TCP statistics and the interface list; and a
// connected UDP socket to a port of Linux that nobody serves gets Linux's
// port unreachable as its error.
TEST_F(LinuxHostLab, AProgramOfSeveralSocketsWorksAgainstLinux) {
  ASSERT_TRUE(stack_answers(kHost)) << host_log();
  in_namespace("socat -T 30 TCP4-LISTEN:5005,reuseaddr,fork SYSTEM:'head -c 1 >/dev/null; exec cat'", "socat");
  ASSERT_TRUE(zeklab::eventually([&] { return run_command("ss -ltn | grep -q ':5005 '").code == 0; }, 20000));
  EXPECT_EQ(run_on_host({"features", kLinux, "5005"}, "features"), 0) << output("features");
  EXPECT_EQ(run_on_host({"refused", kLinux, "5999"}, "refused"), 0) << output("refused");
  EXPECT_NE(output("refused").find("refused seen\n"), std::string::npos) << output("refused");
  expect_clean_captures();
}

// The user program's connections against Linux in every close order: the
// host stack's end first, Linux's first, a half close answered, both at
// once, and a reset (linger 0).
TEST_F(LinuxHostLab, ConnectionsToLinuxCloseInEveryOrder) {
  ASSERT_TRUE(stack_answers(kHost)) << host_log();
  std::string seen;
  std::thread server = linux_server(5003, 5, &seen);
  const int code = run_on_host({"closes", kLinux, "5003"}, "closes");
  server.join();
  EXPECT_EQ(code, 0) << output("closes");
  for (const char* order : {"active", "passive", "half", "simultaneous", "reset"}) {
    EXPECT_NE(output("closes").find(std::string("close ") + order + " ok"), std::string::npos) << order << "\n"
                                                                                               << output("closes");
  }
  EXPECT_EQ(seen, "echo\nclose C\nhalf done\nclose C\nreset seen\n");
  expect_clean_captures(std::string(kFlowControl) + " || tcp.analysis.reused_ports");
}

TEST_F(LinuxHostLab, TcpSurvivesLinuxLosingAndReordering) {
  const auto tc = run_command("tc qdisc add dev zektap0 root netem loss 3% delay 2ms reorder 20% 50% 2>&1");
  if (tc.code != 0) GTEST_SKIP() << "no netem on this machine (the kernel lacks it), nothing was sent: " << tc.output;
  ASSERT_TRUE(stack_answers(kHost)) << host_log();
  on_host({"serve", "5001"}, "serve");
  ASSERT_TRUE(zeklab::eventually([&] { return output("serve").find("ready") != std::string::npos; }, 20000));
  ASSERT_NO_FATAL_FAILURE(linux_bulk_to_host(5001, 1 << 20));
  expect_clean_captures(kRepair);
}

// Where the kernel has no netem: the TAP port loses, duplicates and
// reorders Linux's frames on their way to the host (seeded, so each run is
// the same wire), and the host's ACKs and Linux's retransmissions repair it.
class LinuxHostImpairedLab : public LinuxHostLab {
 protected:
  std::vector<std::string> wiretap_options() override {
    return {"--impair", "loss=0.03,duplicate=0.01,reorder=0.05,seed=7"};
  }
};

TEST_F(LinuxHostImpairedLab, TcpSurvivesAWireThatLosesAndReordersLinuxsFrames) {
  ASSERT_TRUE(stack_answers(kHost)) << host_log();
  on_host({"serve", "5001"}, "serve");
  ASSERT_TRUE(zeklab::eventually([&] { return output("serve").find("ready") != std::string::npos; }, 20000));
  ASSERT_NO_FATAL_FAILURE(linux_bulk_to_host(5001, 1 << 20));
  // The host's capture shows what reached it: only the repair's flags, and
  // nothing malformed.
  if (privatenet::have_program("tshark")) {
    EXPECT_EQ(complaints("hosta", kRepair), "");
  }
}

TEST_F(LinuxHostLab, ASynFloodAgainstASmallBacklogLetsARealConnectThrough) {
  if (!privatenet::have_program("hping3")) {
    GTEST_SKIP() << "hping3 is not installed (scripts/install-deps installs it): no flood was sent";
  }
  ASSERT_TRUE(stack_answers(kHost)) << host_log();
  on_host({"serve", "5001"}, "serve");  // a backlog of 8
  ASSERT_TRUE(zeklab::eventually([&] { return output("serve").find("ready") != std::string::npos; }, 20000));
  setenv("ZEK_HOST", host_dir_.c_str(), 1);  // this process reads the stack's statistics
  const auto before = linuxpeer::host_syn_cache();
  ASSERT_TRUE(before) << "the host's statistics cannot be read";
  // Bounded in count (3000 SYNs) and in time (20 s), inside the namespace.
  const pid_t flood = in_namespace(
      std::string("timeout 20 hping3 --syn -q -p 5001 -a ") + kNobody + " -c 3000 -i u300 " + kHost, "flood");
  ASSERT_NO_FATAL_FAILURE(linux_bulk_to_host(5001, 64 << 10));
  zeklab::exit_code(flood);
  std::erase(helpers_, flood);
  // The flood went through the SYN cache, each SYN an entry answered with a
  // cookie (the SYN-ACKs wait on ARP for a source nobody answers for).
  const auto after = linuxpeer::host_syn_cache();
  ASSERT_TRUE(after);
  EXPECT_GT(after->added - before->added, 1000u) << "overflowed " << after->cache_overflow - before->cache_overflow;
  EXPECT_GT(after->cookies_sent - before->cookies_sent, 1000u);
  if (!privatenet::have_program("tshark")) return;
  const auto syns = run_command("tshark -n -r " + capture("hosta") + " -Y 'tcp.flags.syn==1 && ip.src==" + kNobody +
                                "' 2>/dev/null | wc -l");
  EXPECT_GT(std::atoi(syns.output.c_str()), 1000) << "the flood did not reach the host stack";
  expect_clean_captures();
}

// The host's adapter without a configured address gets one from dnsmasq
// on Linux's side of the wire.
class LinuxHostDhcpLab : public LinuxHostLab {
 protected:
  // The configured address only announces the adapter; DHCP0 gives it its own.
  std::string address_settings() override { return std::string("IPADDRESS0 = ") + kHost + "\nDHCP0 = 1\n"; }
  void SetUp() override {
    if (!privatenet::have_program("dnsmasq")) GTEST_SKIP() << "dnsmasq is not installed: no DHCP server to ask";
    LinuxHostLab::SetUp();
  }

  // dnsmasq serving 192.0.2.FIRST-LAST with leases of 300 s, its lease file
  // LEASES and its log in OUT.out; `more` adds options.
  pid_t dnsmasq(int first, int last, const std::string& leases, const std::string& out, const std::string& more = {}) {
    return in_namespace(
        "dnsmasq --no-daemon --conf-file=/dev/null --interface=zektap0 --bind-interfaces --port=0 --no-ping "
        "--dhcp-authoritative --user=root --group=root --log-dhcp --log-facility=- --dhcp-range=192.0.2." +
            std::to_string(first) + ",192.0.2." + std::to_string(last) +
            ",255.255.255.0,300 --dhcp-leasefile=" + leases + " " + more + " 2>&1",
        out);
  }
  // The address the lease file gives the host (within 192.0.2.PREFIX*), once
  // there is one; "" after a minute without.
  std::string leased(const std::string& leases, const std::string& prefix) {
    std::string address;
    zeklab::eventually(
        [&] {
          const std::string text = zeklab::read_file(leases);
          const auto at = text.find(prefix);
          if (at == std::string::npos) return false;
          address = text.substr(at, text.find(' ', at) - at);
          return true;
        },
        60000);
    return address;
  }
  // dnsmasq's log lines of `what` (DHCPREQUEST, DHCPNAK, DHCPDECLINE, ...).
  int logged(const std::string& out, const std::string& what) {
    const std::string log = output(out);
    int n = 0;
    for (auto at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) ++n;
    return n;
  }
};

TEST_F(LinuxHostDhcpLab, TheAdapterGetsItsAddressFromDnsmasq) {
  const std::string leases = (dir_ / "leases").string();
  dnsmasq(50, 59, leases, "dnsmasq");
  const std::string address = leased(leases, "192.0.2.5");
  ASSERT_NE(address, "") << "no lease was taken\n" << output("dnsmasq");
  EXPECT_TRUE(stack_answers(address)) << "the leased address " << address << " does not answer\n"
                                      << zeklab::read_file(leases);
  expect_clean_captures();
}

// The lease is renewed at the server's renewal time (4 s here), unicast to
// the server, and kept; a new server that does not know the lease answers
// the next renewal with a NAK, and the adapter starts again and takes an
// address of the new server's range.
TEST_F(LinuxHostDhcpLab, TheLeaseIsRenewedAtItsRenewalTimeAndANakStartsAgain) {
  const std::string leases = (dir_ / "leases").string();
  const std::string times = "--dhcp-option=option:T1,4 --dhcp-option=option:T2,7";
  pid_t first = dnsmasq(50, 50, leases, "dnsmasq", times);
  ASSERT_EQ(leased(leases, "192.0.2.50"), "192.0.2.50") << output("dnsmasq");
  ASSERT_TRUE(stack_answers("192.0.2.50"));
  // Two renewals (a request and an acknowledgement each, after the first).
  EXPECT_TRUE(zeklab::eventually([&] { return logged("dnsmasq", "DHCPACK") >= 3; }, 30000)) << output("dnsmasq");
  EXPECT_TRUE(stack_answers("192.0.2.50")) << "the renewed address was lost";
  EXPECT_EQ(logged("dnsmasq", "DHCPNAK"), 0) << output("dnsmasq");

  std::erase(helpers_, first);
  zeklab::kill_child(first);
  const std::string other = (dir_ / "leases2").string();
  dnsmasq(60, 60, other, "dnsmasq2", times);
  EXPECT_TRUE(zeklab::eventually([&] { return logged("dnsmasq2", "DHCPNAK") >= 1; }, 30000)) << output("dnsmasq2");
  ASSERT_EQ(leased(other, "192.0.2.60"), "192.0.2.60") << output("dnsmasq2");
  EXPECT_TRUE(stack_answers("192.0.2.60")) << output("dnsmasq2");
  expect_clean_captures();
}

// An offered address that Linux already uses is declined when ARP sees
// Linux claim it (an unsolicited ARP five times a second, 100 at most);
// the adapter takes the next one.
TEST_F(LinuxHostDhcpLab, AnAddressLinuxAlreadyUsesIsDeclined) {
  ASSERT_EQ(run_command("ip addr add 192.0.2.50/32 dev zektap0").code, 0);
  in_namespace("arping -q -c 100 -W 0.2 -U -i zektap0 -S 192.0.2.50 192.0.2.50", "arping");
  const std::string leases = (dir_ / "leases").string();
  dnsmasq(50, 51, leases, "dnsmasq");
  EXPECT_TRUE(zeklab::eventually([&] { return logged("dnsmasq", "DHCPDECLINE") >= 1; }, 60000)) << output("dnsmasq");
  ASSERT_EQ(leased(leases, "192.0.2.51"), "192.0.2.51") << output("dnsmasq");
  EXPECT_TRUE(stack_answers("192.0.2.51")) << output("dnsmasq");
}

}  // namespace
