// Linux's own stack on the lab wire through the TAP port: the adapter
// model's NIC engine (a board on the wire, its NIC queue pair driven as the
// host stack drives it) resolves Linux's address and pings it, and Linux
// pings the board's address, answered through the same queue pair; the port
// keeps the wire's rules (frames over its maximum dropped and counted, a
// peer that does not read never stalls Linux's side, short frames padded)
// and its captures read clean in a protocol analyser. Each test runs in a
// network namespace of its own and skips where the machine cannot make one.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <memory>

#include "sim/tap_device.h"
#include "sim/tap_port.h"
#include "tests/sim/iwarp_lab.h"
#include "tests/support/lab.h"
#include "tests/support/private_network.h"

namespace {

using iwarplab::Host;
using zeksim::net::Mac;
using Frame = std::vector<std::byte>;

constexpr std::uint32_t kLinuxIp = 0xC0000201;  // 192.0.2.1, the TAP device's
constexpr std::uint8_t kHostId = 0x0A;          // the board's host: 192.0.2.10
constexpr Mac kBroadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// ---- Frames, as a host stack writes and reads them -------------------------
void put16(Frame& f, std::size_t at, std::uint16_t v) {
  f[at] = std::byte(v >> 8);
  f[at + 1] = std::byte(v & 0xFF);
}
void put32(Frame& f, std::size_t at, std::uint32_t v) {
  put16(f, at, static_cast<std::uint16_t>(v >> 16));
  put16(f, at + 2, static_cast<std::uint16_t>(v));
}
std::uint16_t get16(const Frame& f, std::size_t at) {
  return static_cast<std::uint16_t>(std::to_integer<unsigned>(f[at]) << 8 | std::to_integer<unsigned>(f[at + 1]));
}
std::uint32_t get32(const Frame& f, std::size_t at) { return std::uint32_t{get16(f, at)} << 16 | get16(f, at + 2); }
Mac mac_at(const Frame& f, std::size_t at) {
  Mac m;
  for (std::size_t i = 0; i < 6; ++i) m[i] = std::to_integer<std::uint8_t>(f[at + i]);
  return m;
}
void put_mac(Frame& f, std::size_t at, const Mac& m) {
  for (std::size_t i = 0; i < 6; ++i) f[at + i] = std::byte{m[i]};
}
std::uint16_t checksum(const Frame& f, std::size_t from, std::size_t bytes) {
  return zeksim::net::fold_checksum(zeksim::net::ones_sum(std::span<const std::byte>(f).subspan(from, bytes)));
}

Frame ethernet(const Mac& to, const Mac& from, std::uint16_t type, std::size_t payload) {
  Frame f(14 + payload);
  put_mac(f, 0, to);
  put_mac(f, 6, from);
  put16(f, 12, type);
  return f;
}

// An ARP request (operation 1) or reply (2).
Frame arp(std::uint16_t operation, const Mac& to, const Mac& sender, std::uint32_t sender_ip, const Mac& target,
          std::uint32_t target_ip) {
  Frame f = ethernet(to, sender, 0x0806, 28);
  put16(f, 14, 1);
  put16(f, 16, 0x0800);
  f[18] = std::byte{6};
  f[19] = std::byte{4};
  put16(f, 20, operation);
  put_mac(f, 22, sender);
  put32(f, 28, sender_ip);
  put_mac(f, 32, target);
  put32(f, 38, target_ip);
  return f;
}

// An ICMP echo request (type 8) or reply (0) with `payload`.
Frame echo(std::uint8_t type, const Mac& to, const Mac& from, std::uint32_t src, std::uint32_t dst, std::uint16_t id,
           std::uint16_t seq, std::span<const std::byte> payload) {
  const std::size_t icmp = 8 + payload.size();
  Frame f = ethernet(to, from, 0x0800, 20 + icmp);
  f[14] = std::byte{0x45};
  put16(f, 16, static_cast<std::uint16_t>(20 + icmp));
  put16(f, 18, seq);
  put16(f, 20, 0x4000);  // don't fragment
  f[22] = std::byte{64};
  f[23] = std::byte{1};
  put32(f, 26, src);
  put32(f, 30, dst);
  put16(f, 24, checksum(f, 14, 20));
  f[34] = std::byte{type};
  put16(f, 38, id);
  put16(f, 40, seq);
  std::copy(payload.begin(), payload.end(), f.begin() + 42);
  put16(f, 36, checksum(f, 34, icmp));
  return f;
}

bool is_arp(const Frame& f, std::uint16_t operation) {
  return f.size() >= 42 && get16(f, 12) == 0x0806 && get16(f, 20) == operation;
}
bool is_icmp(const Frame& f, std::uint8_t type) {
  return f.size() >= 42 && get16(f, 12) == 0x0800 && f[23] == std::byte{1} && f[34] == std::byte{type};
}

// ---- The fixture ------------------------------------------------------------
// A board on the lab wire whose host (192.0.2.10) plays the host stack's
// part through the NIC queue pair, in a namespace of the test's own where
// Linux has 192.0.2.1/24 on a TAP device; the device joins the wire through
// a TapPort here, or through zekwiretap in a test that runs the program.
class TapPortTest : public SimTest {
 protected:
  zeksim::BoardConfig board_config() override {
    zeksim::BoardConfig c = SimTest::board_config();
    c.functions = 1;
    return c;
  }

  void SetUp() override {
    const std::string why = network_.open();
    if (!why.empty()) GTEST_SKIP() << "no network namespace on this machine, nothing was sent: " << why;
    SimTest::SetUp();
    if (HasFatalFailure()) return;
    lab_ = zeklab::make_temp_dir("taplab");
    ASSERT_FALSE(lab_.empty());
    host_ = std::make_unique<Host>(*this, 0, kHostId);
    host_->bring_up(Mac{2, 0, 0, 0, 0, 0x99});
    // The host stack hears broadcasts (ARP requests) on its MAC slot too.
    host_->mapped().idx_wr(0, zekhw::kIdxBroadcast, 1u << iwarplab::kNicSlot);
    if (HasFatalFailure()) return;
    wire_ = std::make_unique<zeksim::LabWire>(
        host_->board(), zeksim::LabWire::Settings{lab_, "host-nic0", capture("host")}, [this](std::string_view line) {
          std::lock_guard lock(board_log_mu_);
          board_log_ += std::string(line) + "\n";
        });
    std::string error;
    ASSERT_TRUE(wire_->start(&error)) << error;
    host_->board().start();
  }

  void TearDown() override {
    if (tap_) tap_->stop();
    tap_.reset();
    zeklab::kill_child(program_);
    if (wire_) {
      host_->board().stop();
      host_->board().stop_port();
      wire_->stop();
      host_->board().attach_port(nullptr);
    }
    wire_.reset();
    host_.reset();
    if (kernel_) SimTest::TearDown();
    std::error_code ec;
    if (!lab_.empty()) std::filesystem::remove_all(lab_, ec);
  }

  std::string capture(const std::string& name) const { return lab_ + "/" + name + ".pcap"; }

  // The TAP device with Linux's address, its port on the wire in this process.
  void start_tap_port(unsigned mtu = 1500, unsigned device_mtu = 1500) {
    std::string error;
    zeksim::TapDeviceSettings settings;
    settings.address = kLinuxIp;
    settings.mtu = device_mtu;
    const zeksim::TapDevice device = zeksim::open_tap_device(settings, &error);
    ASSERT_GE(device.fd, 0) << error;
    linux_mac_ = device.mac;
    tap_ = std::make_unique<zeksim::TapPort>(
        device.fd, zeksim::TapPort::Settings{lab_, "linux", capture("linux"), false, mtu}, [](std::string_view) {});
    ASSERT_TRUE(tap_->start(&error)) << error;
  }

  // Sends `frame` until a received frame passes `answer` (Linux may still be
  // bringing its device up); the frame that did.
  std::optional<Frame> exchange(const Frame& frame, const std::function<bool(const Frame&)>& answer) {
    std::optional<Frame> found;
    auto next_send = std::chrono::steady_clock::now();
    iwarplab::wait_for(
        [&] {
          if (std::chrono::steady_clock::now() >= next_send) {
            host_->send_frame(frame);
            next_send = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
          }
          for (auto& f : host_->received_frames()) {
            if (!found && answer(f)) found = std::move(f);
          }
          return found.has_value();
        },
        std::chrono::seconds(20), std::chrono::milliseconds(1));
    return found;
  }

  // The host stack's answers to Linux: ARP requests for its address and
  // ICMP echo requests to it; the number of echo requests answered.
  int answer_linux() {
    int answered = 0;
    for (const Frame& f : host_->received_frames()) {
      if (is_arp(f, 1) && get32(f, 38) == host_->ip()) {
        host_->send_frame(arp(2, mac_at(f, 22), host_->mac(), host_->ip(), mac_at(f, 22), get32(f, 28)));
      } else if (is_icmp(f, 8) && get32(f, 30) == host_->ip()) {
        const std::size_t length = 14 + get16(f, 16);
        const auto payload = std::span<const std::byte>(f).subspan(42, length - 42);
        host_->send_frame(
            echo(0, mac_at(f, 6), host_->mac(), host_->ip(), get32(f, 26), get16(f, 38), get16(f, 40), payload));
        ++answered;
      }
    }
    return answered;
  }

  // Resolves Linux's MAC and pings it with `payload` bytes; checks the reply.
  void ping_linux(std::size_t payload_bytes, std::uint16_t seq) {
    const auto arp_reply = exchange(arp(1, kBroadcast, host_->mac(), host_->ip(), Mac{}, kLinuxIp),
                                    [&](const Frame& f) { return is_arp(f, 2) && get32(f, 28) == kLinuxIp; });
    ASSERT_TRUE(arp_reply) << "Linux did not answer the ARP request\n" << board_log();
    EXPECT_EQ(mac_at(*arp_reply, 22), linux_mac_);
    const Frame payload = iwarplab::pattern(payload_bytes, seq);
    const auto reply = exchange(echo(8, linux_mac_, host_->mac(), host_->ip(), kLinuxIp, 0x77, seq, payload),
                                [&](const Frame& f) { return is_icmp(f, 0) && get16(f, 40) == seq; });
    ASSERT_TRUE(reply) << "Linux did not answer the echo request";
    EXPECT_EQ(checksum(*reply, 14, 20), 0) << "IPv4 header checksum";
    EXPECT_EQ(checksum(*reply, 34, reply->size() - 34), 0) << "ICMP checksum";
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), reply->begin() + 42)) << "the echo changed the data";
  }

  // Linux pings the host stack's address `count` times, each answered; the
  // ping's output.
  std::string linux_pings_host(int count) {
    const std::string out = lab_ + "/ping.out";
    pid_t ping = zeklab::spawn(
        {"/bin/sh", "-c",
         "ping -n -c " + std::to_string(count) + " -i 0.2 -W 5 -w 20 " + "192.0.2." + std::to_string(kHostId)},
        {}, out);
    int answered = 0;
    int status = 0;
    const bool ended = iwarplab::wait_for(
        [&] {
          answered += answer_linux();
          return waitpid(ping, &status, WNOHANG) == ping;
        },
        std::chrono::seconds(30), std::chrono::milliseconds(1));
    if (!ended) zeklab::kill_child(ping);
    EXPECT_TRUE(ended && WIFEXITED(status) && WEXITSTATUS(status) == 0) << zeklab::read_file(out);
    EXPECT_GE(answered, count);
    return zeklab::read_file(out);
  }

  // Linux sends `count` UDP datagrams of `bytes` to `address` (port 9)
  // from a socket of this thread's namespace; how many it took.
  int linux_sends_udp(std::uint32_t address, std::size_t bytes, int count) {
    const int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (udp < 0) return 0;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    to.sin_addr.s_addr = htonl(address);
    const Frame data(bytes, std::byte{0x42});
    int sent = 0;
    for (int i = 0; i < count; ++i) {
      if (::sendto(udp, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) > 0) ++sent;
    }
    ::close(udp);
    return sent;
  }

  std::string program_output() const { return zeklab::read_file(lab_ + "/zekwiretap.out"); }

  privatenet::PrivateNetwork network_;
  std::string lab_;
  std::unique_ptr<Host> host_;
  std::unique_ptr<zeksim::LabWire> wire_;
  std::unique_ptr<zeksim::TapPort> tap_;
  pid_t program_ = -1;
  Mac linux_mac_{};
};

TEST_F(TapPortTest, TheNicEngineAndLinuxResolveAndPingEachOther) {
  if (!privatenet::have_program("ping")) GTEST_SKIP() << "ping is not installed (scripts/install-deps installs it)";
  ASSERT_NO_FATAL_FAILURE(start_tap_port());
  // Both ways: the host stack's ARP and echo to Linux (a small and a
  // full-size one), then Linux's ping answered through the queue pair.
  ASSERT_NO_FATAL_FAILURE(ping_linux(56, 1));
  ASSERT_NO_FATAL_FAILURE(ping_linux(1472, 2));
  EXPECT_NE(linux_pings_host(3).find("3 received"), std::string::npos);
  EXPECT_GT(tap_->frames_padded(), 0u) << "Linux's ARP frames (42 bytes) leave padded to 60";
  EXPECT_EQ(tap_->frames_refused(), 0u);
  EXPECT_EQ(tap_->wire().frames_oversize(), 0u);

  if (!privatenet::have_program("tshark")) GTEST_SKIP() << "tshark is not installed: the captures were not checked";
  for (const std::string side : {"host", "linux"}) {
    const auto all = zektest::run_command("tshark -n -r " + capture(side) + " -T fields -e frame.protocols 2>&1");
    ASSERT_EQ(all.code, 0) << all.output;
    EXPECT_NE(all.output.find("eth:ethertype:arp"), std::string::npos) << side << ":\n" << all.output;
    EXPECT_NE(all.output.find("eth:ethertype:ip:icmp"), std::string::npos) << side << ":\n" << all.output;
    EXPECT_EQ(privatenet::analyser_complaints(capture(side)), "") << side;
  }
}

TEST_F(TapPortTest, FramesOverThePortsMaximumAreDroppedAndCountedBothWays) {
  // The device takes jumbo frames; the port carries standard ones (1518).
  ASSERT_NO_FATAL_FAILURE(start_tap_port(1500, 9000));
  // Linux sends a 3042-byte echo to a neighbour it knows, and a small one.
  ASSERT_EQ(zektest::run_command("ip neigh replace 192.0.2.77 lladdr 02:00:00:00:00:77 dev zektap0").code, 0);
  ASSERT_EQ(linux_sends_udp(0xC000024D, 3000, 1), 1);
  EXPECT_TRUE(zeklab::eventually([&] { return tap_->wire().frames_oversize() >= 1; }, 20000))
      << "a frame over the port's maximum from the device";
  const std::uint64_t over_from_linux = tap_->wire().frames_oversize();
  // From the wire: a 1519-byte frame for Linux is dropped before the device;
  // one of 1518 reaches it.
  const std::uint64_t before = tap_->frames_to_device();
  for (const std::size_t bytes : {std::size_t{1519}, std::size_t{1518}}) {
    Frame f = ethernet(linux_mac_, host_->mac(), 0x88B5, bytes - 14);  // a local experimental type
    host_->send_frame(f);
  }
  EXPECT_TRUE(zeklab::eventually([&] { return tap_->frames_to_device() >= before + 1; }, 20000));
  EXPECT_TRUE(zeklab::eventually([&] { return tap_->wire().frames_oversize() >= over_from_linux + 1; }, 20000));
  std::this_thread::sleep_for(zeksim::LabWire::kRescan);  // nothing more arrives late
  EXPECT_EQ(tap_->frames_to_device(), before + 1);
  EXPECT_EQ(tap_->wire().frames_oversize(), over_from_linux + 1);
}

// Linux takes its device down: what the wire brings meanwhile is refused
// by the device, dropped and counted (said once), and once the device is up
// again the port carries both ways as before.
TEST_F(TapPortTest, FramesADownDeviceRefusesAreDroppedAndThePortGoesOn) {
  ASSERT_NO_FATAL_FAILURE(start_tap_port());
  const Frame f = ethernet(linux_mac_, host_->mac(), 0x88B5, 100);  // a local experimental type
  auto delivered = [&](std::uint64_t to_device, std::uint64_t refused) {
    return zeklab::eventually(
        [&] { return tap_->frames_to_device() == to_device && tap_->frames_refused() == refused; }, 20000);
  };
  host_->send_frame(f);
  EXPECT_TRUE(delivered(1, 0));
  ASSERT_EQ(zektest::run_command("ip link set zektap0 down").code, 0);
  host_->send_frame(f);
  host_->send_frame(f);
  EXPECT_TRUE(delivered(1, 2)) << tap_->frames_to_device() << " delivered, " << tap_->frames_refused() << " refused";
  ASSERT_EQ(zektest::run_command("ip link set zektap0 up").code, 0);
  host_->send_frame(f);
  EXPECT_TRUE(delivered(2, 2));
  ASSERT_NO_FATAL_FAILURE(ping_linux(56, 3));
}

// A peer on the wire that never reads: Linux's frames still leave its
// device, the wire dropping (and counting) what the silent peer does not
// take, within the wire's grace for each.
TEST_F(TapPortTest, APeerThatDoesNotReadNeverHoldsLinuxsFrames) {
  ASSERT_NO_FATAL_FAILURE(start_tap_port());
  const std::string silent_path = lab_ + "/wire/silent.sock";
  const int silent = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(silent, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, silent_path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const int small = 4096;
  setsockopt(silent, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  std::this_thread::sleep_for(2 * zeksim::LabWire::kRescan);  // the port sees the new peer

  // Linux sends a bounded burst of datagrams to a neighbour nobody is
  // (flooded to every port: the silent one fills at once).
  ASSERT_EQ(zektest::run_command("ip neigh replace 192.0.2.88 lladdr 02:00:00:00:00:88 dev zektap0").code, 0);
  const std::uint64_t from_device = tap_->frames_from_device();
  constexpr int kBurst = 200;
  const int sent = linux_sends_udp(0xC0000258, 200, kBurst);
  ASSERT_GT(sent, kBurst / 2);
  EXPECT_TRUE(zeklab::eventually(
      [&] { return tap_->frames_from_device() >= from_device + static_cast<std::uint64_t>(sent); }, 30000))
      << "Linux's frames were held: " << tap_->frames_from_device() - from_device << " of " << sent << " read";
  EXPECT_TRUE(zeklab::eventually([&] { return tap_->wire().frames_dropped() > 0; }, 30000));
  ::close(silent);
  ::unlink(silent_path.c_str());
}

// The program: zekwiretap makes the device in the namespace it runs in,
// says when it is on the wire, carries ARP and ICMP both ways, and stops
// with 0 on SIGTERM, saying what it carried.
TEST_F(TapPortTest, ZekwiretapJoinsLinuxToTheWireUntilItIsStopped) {
  if (!privatenet::have_program("ping")) GTEST_SKIP() << "ping is not installed (scripts/install-deps installs it)";
  program_ = zeklab::spawn(
      {ZEK_WIRETAP_BINARY, "--lab", lab_, "--name", "linux", "--address=192.0.2.1/24", "--capture", capture("linux")},
      {}, lab_ + "/zekwiretap.out");
  ASSERT_TRUE(zeklab::eventually([&] { return program_output().find("is port") != std::string::npos; }, 20000))
      << program_output();
  const std::string said = program_output();
  const auto open = said.find('(');
  ASSERT_NE(open, std::string::npos) << said;
  unsigned m[6] = {};
  ASSERT_EQ(std::sscanf(said.c_str() + open, "(%x:%x:%x:%x:%x:%x)", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]), 6)
      << said;
  for (int i = 0; i < 6; ++i) linux_mac_[i] = static_cast<std::uint8_t>(m[i]);
  ASSERT_NO_FATAL_FAILURE(ping_linux(100, 7));
  EXPECT_NE(linux_pings_host(2).find("2 received"), std::string::npos);
  const int code = zeklab::terminate(program_);
  program_ = -1;
  EXPECT_EQ(code, 0) << program_output();
  EXPECT_NE(program_output().find("frames from the device"), std::string::npos) << program_output();
  EXPECT_FALSE(std::filesystem::exists(lab_ + "/wire/linux.sock")) << "the port's socket stays after it stopped";
  if (privatenet::have_program("tshark")) {
    EXPECT_EQ(privatenet::analyser_complaints(capture("linux")), "");
  }
}

TEST(ZekwiretapCommandLine, BadOptionsAreRefusedWithTheirReason) {
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* says;
  };
  const Case cases[] = {
      {{}, 2, "no lab directory"},
      {{"--lab", "/tmp/x", "--bogus"}, 2, "unknown option '--bogus'"},
      {{"--lab"}, 2, "missing value for '--lab'"},
      {{"--lab", "/tmp/x", "--address", "192.0.2.300/24"}, 2, "bad value '192.0.2.300/24' for --address"},
      {{"--lab", "/tmp/x", "--address", "192.0.2.1/33"}, 2, "bad value"},
      {{"--lab", "/tmp/x", "--mtu", "15x"}, 2, "bad value '15x' for --mtu"},
      {{"--lab", "/tmp/x", "--impair", "loss=2"}, 2, "bad value 'loss=2' for --impair"},
      {{"--lab", "/tmp/x", "--mtu", "20000"}, 1, "the MTU 20000 is outside 68 to 9000"},
      {{"--lab", "/tmp/x", "--device", "a-name-far-too-long"}, 1, "must have 1 to 15 characters"},
  };
  for (const Case& c : cases) {
    std::string command = ZEK_WIRETAP_BINARY;
    for (const std::string& a : c.args) command += " '" + a + "'";
    const auto r = zektest::run_command(command + " 2>&1");
    EXPECT_EQ(r.code, c.code) << command << "\n" << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << command << "\n" << r.output;
  }
}

}  // namespace
