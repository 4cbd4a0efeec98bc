// The lab wire's port against a peer that never reads: on a lossy wire the
// frames it cannot take are dropped and counted, and the port keeps going.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
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

  zeksim::LabWire wire(board(), zeksim::LabWire::Settings{lab, "me", "", {}, /*lossless=*/false},
                       [](std::string_view) {});
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

}  // namespace
