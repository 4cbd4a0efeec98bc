// The host stack's TCP against Linux's, a real peer, over a TAP device in
// a network namespace the test makes (192.0.2.0/24; nothing leaves it):
// Linux connects to a listener of the stack and the stack connects to a
// listener of Linux's, with bulk data both ways checked by SHA-256, again
// with Linux's own side losing, reordering and delaying (tc netem), and
// the capture read by a protocol analyser that finds no bad checksum and
// no unexpected TCP analysis flag. Skipped where the machine cannot make
// a namespace with a TAP device.
#include <openssl/sha.h>

#include <chrono>
#include <filesystem>
#include <random>

#include "tests/proxy/tcpip/linux/linux_peer.h"
#include "tests/proxy/tcpip/linux/tcp_linux_peer.h"
#include "tests/proxy/tcpip/netinet/tcp_fixture.h"
#include "tests/proxy/tcpip/netinet/tcp_peer_fixture.h"

namespace {

using namespace zektcp;
using linuxpeer::Peer;

constexpr std::uint16_t kStackPort = 5001;
constexpr std::uint16_t kLinuxPort = 5002;
// The analysis flags of plain flow control: a receiver whose buffer fills
// (the test reads only between bursts) advertises a zero window, the
// sender fills it exactly, and the window opens again.
constexpr const char* kFlowControl =
    "tcp.analysis.window_update || tcp.analysis.zero_window || tcp.analysis.window_full";

std::array<std::uint8_t, 32> sha256(const Bytes& b) {
  std::array<std::uint8_t, 32> d{};
  SHA256(b.data(), b.size(), d.data());
  return d;
}

class TcpLinuxTest : public TcpPeerTest {
 protected:
  void SetUp() override {
    WireTest::SetUp();  // no ARP of a make-believe peer: Linux answers for itself
    if (HasFatalFailure()) return;
    dir_ = linuxpeer::temp_dir("zektcp-linux");
    ASSERT_FALSE(dir_.empty());
    const std::string why = peer_.open(kPeerIp, 24, capture());
    if (!why.empty()) {
      GTEST_SKIP() << "no Linux peer on this machine: " << why
                   << " (the tests need root for a network namespace with a TAP device; CI runs them as root)";
    }
  }

  void TearDown() override {
    for (int fd : fds_) linuxpeer::tcp_close(fd);
    fds_.clear();
    WireTest::TearDown();
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }

  std::string capture() const { return dir_ + "/tap.pcap"; }

  int keep(int fd) {
    if (fd >= 0) fds_.push_back(fd);
    return fd;
  }

  bool pump() {
    bool moved = false;
    for (Frame& f : take()) {
      if (!lost()) to_linux(f.bytes);
      moved = true;
    }
    while (auto frame = peer_.read_frame()) {
      if (frame->size() >= 14 && !lost()) inject(*frame);
      moved = true;
    }
    return moved;
  }

  // The test's own impairment of the wire, seeded: frames each way are
  // lost by chance, and frames to Linux are now and then held back behind
  // the next one.
  bool lost() { return loss_ > 0 && std::uniform_real_distribution<double>(0, 1)(rng_) < loss_; }
  void to_linux(const Bytes& frame) {
    if (loss_ > 0 && held_.empty() && std::uniform_real_distribution<double>(0, 1)(rng_) < 0.1) {
      held_ = frame;
      return;
    }
    EXPECT_TRUE(peer_.write_frame(frame));
    if (!held_.empty()) {
      EXPECT_TRUE(peer_.write_frame(held_));
      held_.clear();
    }
  }

  // Moves frames until `done` holds. While nothing moves, the stack's
  // clock steps a tick each real millisecond, so its timers run. Bounded:
  // two minutes in all.
  template <typename F>
  bool until(F done) {
    using Clock = std::chrono::steady_clock;
    const auto cap = Clock::now() + std::chrono::seconds(120);
    while (!done()) {
      if (Clock::now() > cap) return false;
      if (pump()) continue;
      peer_.wait_frame(1);
      advance_ticks(1);
    }
    return true;
  }

  // Data both ways at once between a stack socket and a Linux socket.
  void bulk(socket* so, int fd, std::size_t bytes) {
    const Bytes up = text(bytes, 1), down = text(bytes / 2 + 7, 2);
    Bytes got_linux, got_stack;
    std::size_t sent_up = 0, sent_down = 0;
    ASSERT_TRUE(until([&] {
      if (sent_up < up.size()) sent_up += tcp_send_some(so, up.data() + sent_up, up.size() - sent_up);
      if (sent_down < down.size()) {
        const long n = linuxpeer::tcp_send(fd, down.data() + sent_down, down.size() - sent_down);
        if (n > 0) sent_down += static_cast<std::size_t>(n);
      }
      linuxpeer::tcp_receive(fd, &got_linux);
      const Bytes r = tcp_receive_some(so);
      got_stack.insert(got_stack.end(), r.begin(), r.end());
      return got_linux.size() >= up.size() && got_stack.size() >= down.size();
    })) << "linux got "
        << got_linux.size() << " of " << up.size() << ", the stack " << got_stack.size() << " of " << down.size();
    EXPECT_EQ(sha256(got_linux), sha256(up));
    EXPECT_EQ(sha256(got_stack), sha256(down));
  }

  // Both close; the stack's side ends in TIME-WAIT or closed.
  void close_both(socket* so, int fd) {
    shutdown_stack(so);
    linuxpeer::tcp_shutdown_write(fd);
    Bytes rest;
    EXPECT_TRUE(until([&] { return !linuxpeer::tcp_receive(fd, &rest) && (so->so_state & SS_CANTRCVMORE); }));
    EXPECT_TRUE(rest.empty());
    EXPECT_TRUE(until([&] {
      const std::uint32_t s = state_of(so);
      return s == TCPS_TIME_WAIT || s == TCPS_CLOSED;
    }));
  }

  static void shutdown_stack(socket* so) {
    BdcLocked lock;
    so->so_proto->pr_usrreqs->pru_shutdown(so);
  }

  socket* linux_connects_to_the_stack() {
    socket* head = listen_on(kStackPort);
    const int fd = keep(linuxpeer::tcp_connect(kOurIp, kStackPort));
    EXPECT_GE(fd, 0);
    socket* so = nullptr;
    EXPECT_TRUE(until(
        [&] { return (so = so != nullptr ? so : accept(head)) != nullptr && linuxpeer::tcp_connect_state(fd) == 0; }));
    linux_fd_ = fd;
    return so;
  }

  socket* the_stack_connects_to_linux() {
    const int lfd = keep(linuxpeer::tcp_listen(kPeerIp, kLinuxPort));
    EXPECT_GE(lfd, 0);
    socket* so = make_socket(SOCK_STREAM);
    EXPECT_EQ(connect(so, kPeerIp, kLinuxPort), 0);
    int fd = -1;
    EXPECT_TRUE(until([&] {
      if (fd < 0) fd = keep(linuxpeer::tcp_accept(lfd));
      return fd >= 0 && state_of(so) == TCPS_ESTABLISHED;
    }));
    linux_fd_ = fd;
    return so;
  }

  // The capture as a protocol analyser reads it: frames with a bad
  // checksum, malformed ones, and TCP analysis flags other than `allowed`.
  std::string analyser_complaints(const std::string& allowed) {
    std::string filter =
        "_ws.malformed || _ws.expert.severity >= error || ip.checksum.status == \"Bad\" || "
        "tcp.checksum.status == \"Bad\" || (tcp.analysis.flags";
    if (!allowed.empty()) filter += " && !(" + allowed + ")";
    filter += ")";
    const auto r =
        linuxpeer::run("tshark -n -r " + capture() + " -o ip.check_checksum:TRUE -o tcp.check_checksum:TRUE -Y '" +
                       filter + "' -T fields -e frame.number -e _ws.col.Info 2>/dev/null");
    return r.code == 0 ? r.text : "tshark failed: " + r.text;
  }

  bool have_tshark() { return linuxpeer::run("command -v tshark >/dev/null 2>&1").code == 0; }

  std::string dir_;
  Peer peer_;
  std::vector<int> fds_;
  int linux_fd_ = -1;
  double loss_ = 0;
  std::mt19937 rng_{7};
  Bytes held_;
};

TEST_F(TcpLinuxTest, LinuxConnectsToAStackListenerAndDataCrossesBothWays) {
  socket* so = linux_connects_to_the_stack();
  ASSERT_NE(so, nullptr);
  bulk(so, linux_fd_, 1 << 20);
  close_both(so, linux_fd_);
  if (!have_tshark()) GTEST_SKIP() << "tshark is not installed: the capture was not checked";
  EXPECT_EQ(analyser_complaints(kFlowControl), "");
}

TEST_F(TcpLinuxTest, TheStackConnectsToALinuxListenerAndDataCrossesBothWays) {
  socket* so = the_stack_connects_to_linux();
  ASSERT_NE(so, nullptr);
  bulk(so, linux_fd_, 1 << 20);
  close_both(so, linux_fd_);
  if (!have_tshark()) GTEST_SKIP() << "tshark is not installed: the capture was not checked";
  EXPECT_EQ(analyser_complaints(kFlowControl), "");
}

TEST_F(TcpLinuxTest, DataSurvivesAWireThatLosesAndReordersBothWays) {
  socket* so = linux_connects_to_the_stack();
  ASSERT_NE(so, nullptr);
  loss_ = 0.03;
  bulk(so, linux_fd_, 256 << 10);
  loss_ = 0;
  close_both(so, linux_fd_);
}

TEST_F(TcpLinuxTest, DataSurvivesLinuxLosingReorderingAndDelaying) {
  const auto tc = linuxpeer::run("tc qdisc add dev zektap0 root netem loss 3% delay 2ms reorder 20% 50% 2>&1");
  if (tc.code != 0) GTEST_SKIP() << "no netem on this machine: " << tc.text;
  socket* so = linux_connects_to_the_stack();
  ASSERT_NE(so, nullptr);
  bulk(so, linux_fd_, 256 << 10);
  close_both(so, linux_fd_);
}

TEST_F(TcpLinuxTest, ASynFloodFillsTheSynCacheWhileARealConnectStillSucceeds) {
  if (linuxpeer::run("command -v hping3 >/dev/null 2>&1").code != 0) {
    GTEST_SKIP() << "hping3 is not installed (scripts/install-deps installs it): no flood was sent";
  }
  socket* head = listen_on(kStackPort, 2);
  // From an address nobody answers for: the SYN-ACKs wait on ARP and no
  // reset from Linux clears the entries. Bounded in count and in time.
  const std::string done = dir_ + "/flood.done";
  linuxpeer::run("(timeout 30 hping3 --syn -q -p " + std::to_string(kStackPort) +
                 " -a 192.0.2.77 -c 6000 -i u200 192.0.2.1 >/dev/null 2>&1; echo $? > " + done + ") >/dev/null 2>&1 &");
  std::uint32_t added = 0;
  ASSERT_TRUE(until([&] {
    BdcLocked lock;
    added = g_tcpstat.sc_added;
    return added >= 500;
  })) << "the flood did not reach the stack";
  const int fd = keep(linuxpeer::tcp_connect(kOurIp, kStackPort));
  ASSERT_GE(fd, 0);
  socket* so = nullptr;
  EXPECT_TRUE(until([&] {
    if (so == nullptr) so = accept(head);
    return so != nullptr && linuxpeer::tcp_connect_state(fd) == 0;
  })) << "a real connect did not get through the flood";
  ASSERT_TRUE(until([&] { return std::filesystem::exists(done); }));
  BdcLocked lock;
  EXPECT_GT(g_tcpstat.sc_added, 1000u);
  EXPECT_LE(syncache_count(), SYNCACHE_CACHELIMIT);
}

}  // namespace
