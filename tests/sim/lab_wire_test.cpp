// The lab wire's port against a peer that never reads: on a lossy wire (the
// default) the frames it cannot take are dropped and counted, and the port
// keeps going. The wire folder holds only the ports' sockets as far as the
// port is concerned, and a port whose socket file goes binds it again. With
// more peers the port switches: a learned MAC's frames go to its peer only.
// Frames beyond the port's maximum size are dropped both ways.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>

#include "sim/lab_wire.h"
#include "tests/support/sim_fixture.h"

namespace {

class LabWireTest : public SimTest {};

TEST_F(LabWireTest, APeerThatDoesNotReadLosesFramesOnALossyWire) {
  const std::string lab = ::testing::TempDir() + "labwire_" + std::to_string(::getpid());
  std::filesystem::create_directories(lab + "/wire");
  // The silent peer: a bound socket with a small queue that nobody reads.
  const int peer = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(peer, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = lab + "/wire/silent.sock";
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(peer, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  int small = 4096;
  setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);

  zeksim::LabWire::Settings settings{lab, "me"};  // the default wire: lossy
  zeksim::LabWire wire(board(), settings, [](std::string_view) {});
  std::string error;
  ASSERT_TRUE(wire.start(&error)) << error;
  std::vector<std::byte> frame(1000, std::byte{0x5A});
  constexpr std::uint64_t kFrames = 300;
  std::uint64_t queued = 0;
  auto last_progress = std::chrono::steady_clock::now();
  std::uint64_t last_seen = 0;
  while (wire.frames_sent() < kFrames) {
    while (queued < kFrames && wire.has_room()) {
      wire.transmit(frame);
      ++queued;
    }
    const std::uint64_t seen = wire.frames_sent();
    if (seen != last_seen) {
      last_seen = seen;
      last_progress = std::chrono::steady_clock::now();
    }
    ASSERT_LT(std::chrono::steady_clock::now() - last_progress, std::chrono::seconds(20)) << "the port stalled";
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // The silent peer's queue took a few; the rest were dropped, not waited for.
  EXPECT_GT(wire.frames_dropped(), kFrames / 2);
  EXPECT_LT(wire.frames_dropped(), kFrames);
  wire.stop();
  ::close(peer);
  std::filesystem::remove_all(lab);
}

// A peer socket of the test's own, bound in the wire folder.
class RawPort {
 public:
  explicit RawPort(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = to(path);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    timeval timeout{0, 50'000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  ~RawPort() {
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  static sockaddr_un to(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
  }
  bool send_to(const std::string& path, std::size_t bytes) {
    std::vector<std::byte> frame(bytes, std::byte{0xFF});  // broadcast
    sockaddr_un address = to(path);
    return ::sendto(fd_, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address) ==
           static_cast<ssize_t>(bytes);
  }
  bool received() {
    std::byte buffer[2048];
    return ::recv(fd_, buffer, sizeof buffer, 0) > 0;
  }
  // A frame of `bytes` to `to` from `from` (MACs), sent to the port at `path`.
  bool send_frame(const std::string& path, std::uint8_t to, std::uint8_t from, std::size_t bytes = 64) {
    return send_to(path, frame(to, from, bytes));
  }
  bool send_to(const std::string& path, const std::vector<std::byte>& frame) {
    sockaddr_un address = to(path);
    return ::sendto(fd_, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address) ==
           static_cast<ssize_t>(frame.size());
  }
  // The next datagram, waited for up to 20 s.
  std::optional<std::vector<std::byte>> next() {
    std::vector<std::byte> buffer(16384);
    for (int i = 0; i < 400; ++i) {
      const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
      if (n >= 0) {
        buffer.resize(static_cast<std::size_t>(n));
        return buffer;
      }
    }
    return std::nullopt;
  }
  // Destination MAC 02:..:to (0xFF: broadcast), source 02:..:from, then zeros.
  static std::vector<std::byte> frame(std::uint8_t to, std::uint8_t from, std::size_t bytes) {
    std::vector<std::byte> f(bytes);
    for (int i = 0; i < 6; ++i) f[i] = std::byte{to == 0xFF ? std::uint8_t{0xFF} : std::uint8_t{0}};
    if (to != 0xFF) {
      f[0] = std::byte{0x02};
      f[5] = std::byte{to};
    }
    f[6] = std::byte{0x02};
    f[11] = std::byte{from};
    return f;
  }

 private:
  std::string path_;
  int fd_ = -1;
};

template <typename F>
bool within(F condition, int milliseconds = 20000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

TEST_F(LabWireTest, FilesThatAreNotPortsAreLeftAloneAndARemovedSocketIsBoundAgain) {
  const std::string lab = ::testing::TempDir() + "labwire_files_" + std::to_string(::getpid());
  std::filesystem::create_directories(lab + "/wire/folder.sock");
  std::ofstream(lab + "/wire/notes.sock") << "the user's own file";
  RawPort peer(lab + "/wire/peer.sock");
  std::mutex mu;
  std::string logged;
  zeksim::LabWire wire(board(), zeksim::LabWire::Settings{lab, "me"}, [&](std::string_view line) {
    std::lock_guard lock(mu);
    logged += std::string(line) + "\n";
  });
  std::string error;
  ASSERT_TRUE(wire.start(&error)) << error;
  auto log = [&] {
    std::lock_guard lock(mu);
    return logged;
  };

  // Frames reach the one real peer, across several rescans, and nothing
  // else in the folder is touched or talked about.
  const std::vector<std::byte> frame(64, std::byte{0xFF});
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(within([&] { return wire.has_room(); }));
    wire.transmit(frame);
    EXPECT_TRUE(within([&] { return peer.received(); })) << log();
    std::this_thread::sleep_for(zeksim::LabWire::kRescan);
  }
  EXPECT_TRUE(std::filesystem::is_regular_file(lab + "/wire/notes.sock"));
  EXPECT_TRUE(std::filesystem::is_directory(lab + "/wire/folder.sock"));
  EXPECT_EQ(log().find("notes.sock"), std::string::npos) << log();
  EXPECT_EQ(log().find("folder.sock"), std::string::npos) << log();

  // The port's own socket file goes: the port binds it again and hears again.
  const std::string mine = wire.socket_path();
  const auto before = wire.frames_received();
  ASSERT_TRUE(peer.send_to(mine, 64));
  ASSERT_TRUE(within([&] { return wire.frames_received() > before; }));
  ::unlink(mine.c_str());
  EXPECT_TRUE(within([&] { return log().find("bound again") != std::string::npos; })) << log();
  const auto after = wire.frames_received();
  EXPECT_TRUE(within([&] { return peer.send_to(mine, 64) && wire.frames_received() > after; }));
  wire.stop();
  std::filesystem::remove_all(lab);
}

TEST_F(LabWireTest, ALearnedAddressIsSwitchedToItsPeerOnly) {
  const std::string lab = ::testing::TempDir() + "labwire_switch_" + std::to_string(::getpid());
  std::filesystem::create_directories(lab + "/wire");
  RawPort b(lab + "/wire/b.sock"), c(lab + "/wire/c.sock");
  zeksim::LabWire wire(board(), zeksim::LabWire::Settings{lab, "me", "", {}, true}, [](std::string_view) {});
  std::string error;
  ASSERT_TRUE(wire.start(&error)) << error;
  constexpr std::uint8_t kC = 0x0C, kMe = 0x01, kNobody = 0x0D;
  auto dst = [](const std::optional<std::vector<std::byte>>& f) { return f ? std::to_integer<int>((*f)[5]) : -1; };

  // Nothing learned yet: a unicast frame reaches every peer.
  wire.transmit(RawPort::frame(kC, kMe, 64));
  EXPECT_EQ(dst(b.next()), kC);
  EXPECT_EQ(dst(c.next()), kC);
  // C speaks: the port learns where C is. Its frames now go to C alone; a
  // broadcast still goes everywhere, and an unknown MAC is flooded.
  ASSERT_TRUE(c.send_frame(wire.socket_path(), kMe, kC));
  ASSERT_TRUE(within([&] { return wire.frames_received() == 1; }));
  wire.transmit(RawPort::frame(kC, kMe, 64));
  wire.transmit(RawPort::frame(kNobody, kMe, 64));
  wire.transmit(RawPort::frame(0xFF, kMe, 64));
  EXPECT_EQ(dst(b.next()), kNobody) << "B never sees C's frame";
  EXPECT_EQ(dst(b.next()), 0xFF);
  EXPECT_EQ(dst(c.next()), kC);
  EXPECT_EQ(dst(c.next()), kNobody);
  EXPECT_EQ(dst(c.next()), 0xFF);
  EXPECT_EQ(wire.frames_switched(), 1u);
  // C moves behind B's socket (a host restarted elsewhere): learned anew.
  ASSERT_TRUE(b.send_frame(wire.socket_path(), kMe, kC));
  ASSERT_TRUE(within([&] { return wire.frames_received() == 2; }));
  wire.transmit(RawPort::frame(kC, kMe, 64));
  wire.transmit(RawPort::frame(0xFF, kMe, 64));
  EXPECT_EQ(dst(c.next()), 0xFF);
  EXPECT_EQ(dst(b.next()), kC);
  wire.stop();
  std::filesystem::remove_all(lab);
}

TEST_F(LabWireTest, FramesBeyondThePortsMaximumAreDroppedBothWays) {
  const std::string lab = ::testing::TempDir() + "labwire_size_" + std::to_string(::getpid());
  std::filesystem::create_directories(lab + "/wire");
  RawPort peer(lab + "/wire/peer.sock");
  struct Case {
    const char* what;
    std::size_t max_frame, frame;
    bool carried;
  };
  const Case cases[] = {
      {"a standard frame on a standard port", zeksim::LabWire::kStandardFrame, 1514, true},
      {"a jumbo frame on a standard port", zeksim::LabWire::kStandardFrame, 9014, false},
      {"a jumbo frame on a jumbo port", zeksim::LabWire::kJumboFrame, 9014, true},
      {"beyond a jumbo port", zeksim::LabWire::kJumboFrame, 9100, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    zeksim::LabWire::Settings settings{lab, "me", "", {}, true};
    settings.max_frame = c.max_frame;
    zeksim::LabWire wire(board(), settings, [](std::string_view) {});
    std::string error;
    ASSERT_TRUE(wire.start(&error)) << error;
    // Out: the frame, then a small one; the peer's first is the frame only if carried.
    wire.transmit(RawPort::frame(0xFF, 1, c.frame));
    wire.transmit(RawPort::frame(0xFF, 1, 64));
    const auto first = peer.next();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->size(), c.carried ? c.frame : 64u);
    if (c.carried) {
      EXPECT_EQ(peer.next()->size(), 64u);
    }
    // In: the same.
    ASSERT_TRUE(peer.send_to(wire.socket_path(), RawPort::frame(0xFF, 2, c.frame)));
    ASSERT_TRUE(peer.send_to(wire.socket_path(), RawPort::frame(0xFF, 2, 64)));
    ASSERT_TRUE(within([&] { return wire.frames_received() == (c.carried ? 2u : 1u); }));
    EXPECT_EQ(wire.frames_oversize(), c.carried ? 0u : 2u);
    wire.stop();
  }
  std::filesystem::remove_all(lab);
}

// The board's link follows the wire: down while no other live port is
// there (a dead host's socket file does not count), up once a peer binds,
// down again when it goes.
TEST(LabWireLinkTest, TheLinkFollowsThePeersPresence) {
  const std::string lab = ::testing::TempDir() + "lablink_" + std::to_string(::getpid());
  std::filesystem::create_directories(lab + "/wire");
  plat::PhysicalMemory memory(plat::PhysicalMemory::Options{.bytes = std::size_t{16} << 20});
  zeksim::BoardConfig config;
  config.carrier = false;
  config.log = [](std::string_view) {};
  zeksim::Board board(memory, config);
  auto eventually = [&](bool up) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (board.link_up() != up && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return board.link_up() == up;
  };
  // A socket file nobody serves: what a host that died leaves behind.
  {
    const int dead = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = lab + "/wire/dead.sock";
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(dead, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(dead);
  }
  zeksim::LabWire wire(board, zeksim::LabWire::Settings{lab, "me", "", {}, true}, [](std::string_view) {});
  std::string error;
  ASSERT_TRUE(wire.start(&error)) << error;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // several looks at the wire
  EXPECT_FALSE(board.link_up()) << "alone on the wire (the dead socket is no peer)";

  zeksim::Board other_board(memory, zeksim::BoardConfig{.window_base = 0xE000'0000, .log = [](std::string_view) {}});
  auto peer = std::make_unique<zeksim::LabWire>(other_board, zeksim::LabWire::Settings{lab, "peer", "", {}, true},
                                                [](std::string_view) {});
  ASSERT_TRUE(peer->start(&error)) << error;
  EXPECT_TRUE(eventually(true)) << "a peer appeared";
  peer->stop();
  peer.reset();
  std::filesystem::remove(lab + "/wire/peer.sock");
  EXPECT_TRUE(eventually(false)) << "the peer left";
  wire.stop();
  std::filesystem::remove_all(lab);
}

}  // namespace
