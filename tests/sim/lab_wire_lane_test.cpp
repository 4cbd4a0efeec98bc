// The lab wire's lanes: the ring itself (frames in order across many wraps,
// a full ring and the room a reader makes, indices and records a peer
// forged, memory that is not a lane), and two ports that open lanes to each
// other, carry frames through them, drop what a reader that stalls does not
// take on a lossy wire, and end the lane when the peer goes.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "sim/lab_wire.h"
#include "sim/lab_wire_lane.h"
#include "tests/support/sim_fixture.h"

namespace {

using zeksim::LaneRing;
using Result = LaneRing::Result;

std::vector<std::byte> frame_of(std::size_t bytes, unsigned seed) {
  std::vector<std::byte> f(bytes);
  for (std::size_t i = 0; i < bytes; ++i) f[i] = std::byte((i * 7 + seed * 13) & 0xFF);
  return f;
}

// A sender's ring and the receiver's view of it (a second mapping, as a peer has).
struct RingPair {
  RingPair() {
    std::string error;
    sender = LaneRing::create(&error);
    EXPECT_NE(sender, nullptr) << error;
    if (sender) receiver = LaneRing::adopt(::dup(sender->fd()), &error);
    EXPECT_NE(receiver, nullptr) << error;
    if (sender) {
      void* m = ::mmap(nullptr, LaneRing::kMapBytes, PROT_READ | PROT_WRITE, MAP_SHARED, sender->fd(), 0);
      EXPECT_NE(m, MAP_FAILED);
      raw = static_cast<std::byte*>(m);
    }
  }
  ~RingPair() {
    if (raw != nullptr) ::munmap(raw, LaneRing::kMapBytes);
  }
  LaneRing::Header& header() { return *reinterpret_cast<LaneRing::Header*>(raw); }
  std::byte* data() { return raw + LaneRing::kHeaderBytes; }
  std::unique_ptr<LaneRing> sender, receiver;
  std::byte* raw = nullptr;  // what a peer could write anywhere
};

TEST(LaneRingTest, FramesArriveWholeAndInOrderAcrossManyWraps) {
  RingPair p;
  ASSERT_TRUE(p.sender && p.receiver);
  // Sizes that do not divide the ring: the records end short of the end in
  // every way, so skips come at every kind of place.
  const std::size_t sizes[] = {60, 1514, 9014, 333, 8191, 64, 4097};
  std::uint64_t put = 0, taken = 0;
  std::vector<std::byte> out;
  const std::uint64_t total = 5 * LaneRing::kDataBytes / 1000;  // frames enough for several wraps
  while (taken < total) {
    while (put < total) {
      const auto f = frame_of(sizes[put % std::size(sizes)], static_cast<unsigned>(put));
      const Result r = p.sender->put(f);
      if (r == Result::Full) break;
      ASSERT_EQ(r, Result::Ok);
      ++put;
    }
    for (int k = 0; k < 100 && taken < put; ++k) {
      ASSERT_EQ(p.receiver->take(out, zeksim::LabWire::kJumboFrame), Result::Ok) << "frame " << taken;
      ASSERT_EQ(out, frame_of(sizes[taken % std::size(sizes)], static_cast<unsigned>(taken))) << "frame " << taken;
      ++taken;
    }
    p.receiver->release();
  }
  EXPECT_GT(p.header().head.load(), 4 * LaneRing::kDataBytes);
  EXPECT_EQ(p.receiver->take(out, zeksim::LabWire::kJumboFrame), Result::Empty);
}

TEST(LaneRingTest, AFullRingWaitsForItsReaderAndFramesOverTheReadersMaximumAreSkipped) {
  RingPair p;
  ASSERT_TRUE(p.sender && p.receiver);
  const auto big = frame_of(9014, 1);
  std::uint64_t put = 0;
  while (p.sender->put(big) == Result::Ok) ++put;
  EXPECT_EQ(put, LaneRing::kDataBytes / (LaneRing::kRecordHeader + 9016));
  EXPECT_EQ(p.sender->put(big), Result::Full);
  EXPECT_FALSE(p.sender->wait_room(big.size(), std::chrono::milliseconds(20))) << "nobody read";
  // A reader that takes and gives back room wakes the waiting sender.
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<std::byte> out;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(p.receiver->take(out, 9014), Result::Ok);
    p.receiver->release();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(p.sender->wait_room(big.size(), std::chrono::seconds(20)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  reader.join();
  EXPECT_EQ(p.sender->put(big), Result::Ok);
  // A reader with a smaller maximum skips the frame (counted by the port) and goes on.
  std::vector<std::byte> out;
  EXPECT_EQ(p.receiver->take(out, 1518), Result::Oversize);
  EXPECT_EQ(p.receiver->take(out, 9014), Result::Ok);
  // A reader that gave the lane up takes nothing more.
  p.receiver->close();
  EXPECT_EQ(p.sender->put(big), Result::Closed);
}

// What a peer may write into the shared memory: the receiver reads nothing
// outside the ring and no frame from it, the sender writes nothing.
TEST(LaneRingTest, ForgedIndicesAndRecordsBreakTheLane) {
  constexpr std::uint64_t kRing = LaneRing::kDataBytes;
  struct Case {
    const char* what;
    std::function<void(RingPair&)> forge;
    bool receiver_side;  // the receiver finds it (else the sender)
  };
  const Case cases[] = {
      {"a head more than a ring ahead", [](RingPair& p) { p.header().head = kRing + 64; }, true},
      {"a head behind the tail", [](RingPair& p) { p.header().head = ~std::uint64_t{0} - 8; }, true},
      {"a head inside a record header", [](RingPair& p) { p.header().head = 4; }, true},
      {"a record longer than what was written",
       [](RingPair& p) {
         const std::uint32_t rec[2] = {4000, 1};
         std::memcpy(p.data(), rec, sizeof rec);
         p.header().head = 64;
       },
       true},
      {"a record across the ring's end",
       [](RingPair& p) {
         const std::uint32_t rec[2] = {static_cast<std::uint32_t>(kRing), 1};
         std::memcpy(p.data(), rec, sizeof rec);
         p.header().head = kRing;
       },
       true},
      {"a length that wraps the sum",
       [](RingPair& p) {
         const std::uint32_t rec[2] = {0xFFFFFFF9u, 1};
         std::memcpy(p.data(), rec, sizeof rec);
         p.header().head = 64;
       },
       true},
      {"a skip that stops short of the end",
       [](RingPair& p) {
         const std::uint32_t rec[2] = {64, 2};
         std::memcpy(p.data(), rec, sizeof rec);
         p.header().head = 64;
       },
       true},
      {"a record of no known kind",
       [](RingPair& p) {
         const std::uint32_t rec[2] = {60, 7};
         std::memcpy(p.data(), rec, sizeof rec);
         p.header().head = 72;
       },
       true},
      {"a tail beyond the head", [](RingPair& p) { p.header().tail = 4096; }, false},
      {"a tail more than a ring behind",
       [](RingPair& p) {
         // The sender has written a ring and a half; the tail claims nothing was read.
         p.header().tail = ~std::uint64_t{0} - kRing;
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RingPair p;
    ASSERT_TRUE(p.sender && p.receiver);
    c.forge(p);
    std::vector<std::byte> out;
    if (c.receiver_side) {
      EXPECT_EQ(p.receiver->take(out, 16384), Result::Broken);
      EXPECT_TRUE(out.empty()) << "nothing was taken from a broken lane";
    } else {
      EXPECT_EQ(p.sender->put(frame_of(100, 1)), Result::Broken);
      EXPECT_EQ(p.header().head.load(), 0u) << "nothing was written into a broken lane";
    }
  }
}

TEST(LaneRingTest, MemoryThatIsNotALaneIsRefused) {
  struct Case {
    const char* what;
    std::function<int()> make;
  };
  const Case cases[] = {
      {"an unsealed memory file",
       [] {
         const int fd = ::memfd_create("t", MFD_CLOEXEC);
         (void)!::ftruncate(fd, LaneRing::kMapBytes);
         return fd;
       }},
      {"a sealed memory file of another size",
       [] {
         const int fd = ::memfd_create("t", MFD_CLOEXEC | MFD_ALLOW_SEALING);
         (void)!::ftruncate(fd, 4096);
         ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW);
         return fd;
       }},
      {"a sealed memory file without the lane's header",
       [] {
         const int fd = ::memfd_create("t", MFD_CLOEXEC | MFD_ALLOW_SEALING);
         (void)!::ftruncate(fd, LaneRing::kMapBytes);
         ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW);
         return fd;
       }},
      {"a pipe",
       [] {
         int fds[2];
         (void)!::pipe(fds);
         ::close(fds[1]);
         return fds[0];
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string error;
    EXPECT_EQ(LaneRing::adopt(c.make(), &error), nullptr);
    EXPECT_FALSE(error.empty());
  }
}

// A station that keeps what it is given, and can stop taking frames (its
// receiver then waits, as a board's does while its inbound queue is full).
class Station : public zeksim::WireStation {
 public:
  void attach_port(zeksim::FramePort* port) override {}
  bool receive_frames(std::vector<std::vector<std::byte>>& frames) override {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return stopped_ || !hold_; });
    if (stopped_) return false;
    for (auto& f : frames) got_.push_back(std::move(f));
    frames.clear();
    return true;
  }
  std::vector<std::byte> recycle_buffer() override { return {}; }
  void port_room() override {}
  void stop_port() override {
    std::lock_guard lock(mu_);
    stopped_ = true;
    cv_.notify_all();
  }
  void set_carrier(bool) override {}
  void hold(bool on) {
    std::lock_guard lock(mu_);
    hold_ = on;
    cv_.notify_all();
  }
  std::vector<std::vector<std::byte>> got() {
    std::lock_guard lock(mu_);
    return got_;
  }
  std::size_t count() {
    std::lock_guard lock(mu_);
    return got_.size();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool hold_ = false, stopped_ = false;
  std::vector<std::vector<std::byte>> got_;
};

template <typename F>
bool within(F condition, int milliseconds = 20000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return condition();
}

// A unicast frame from MAC ..:from to MAC ..:to, numbered.
std::vector<std::byte> numbered(std::uint8_t to, std::uint8_t from, std::uint32_t n, std::size_t bytes) {
  std::vector<std::byte> f = frame_of(bytes, n);
  const std::byte head[12] = {std::byte{2}, {}, {}, {}, {}, std::byte{to},
                              std::byte{2}, {}, {}, {}, {}, std::byte{from}};
  std::memcpy(f.data(), head, sizeof head);
  std::memcpy(f.data() + 12, &n, sizeof n);
  return f;
}

class LabLaneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int labs = 0;
    lab_ = ::testing::TempDir() + "lane_" + std::to_string(::getpid()) + "_" + std::to_string(labs++);
    std::filesystem::remove_all(lab_);
    std::filesystem::create_directories(lab_ + "/wire");
  }
  void TearDown() override { std::filesystem::remove_all(lab_); }
  std::unique_ptr<zeksim::LabWire> port(Station& s, const char* name, bool lossless) {
    auto w = std::make_unique<zeksim::LabWire>(s, zeksim::LabWire::Settings{lab_, name, "", {}, lossless},
                                               [this](std::string_view line) {
                                                 std::lock_guard lock(log_mu_);
                                                 log_ += std::string(line) + "\n";
                                               });
    std::string error;
    EXPECT_TRUE(w->start(&error)) << error;
    return w;
  }
  // Sends frames until both ports have an open lane to the other.
  bool open_lanes(zeksim::LabWire& a, zeksim::LabWire& b) {
    return within([&] {
      a.transmit(numbered(0xFF, 1, 0, 64));
      b.transmit(numbered(0xFF, 2, 0, 64));
      return a.lanes_out() == 1 && b.lanes_out() == 1;
    });
  }
  std::string log() {
    std::lock_guard lock(log_mu_);
    return log_;
  }
  std::string lab_;
  std::mutex log_mu_;
  std::string log_;
};

TEST_F(LabLaneTest, TwoPortsCarryFramesThroughLanesInOrderAndTheLaneEndsWithItsPeer) {
  Station sa, sb;
  auto a = port(sa, "a", true);
  auto b = port(sb, "b", true);
  ASSERT_TRUE(std::filesystem::exists(a->lane_marker_path()));
  ASSERT_TRUE(open_lanes(*a, *b)) << log();
  EXPECT_EQ(a->lanes_in(), 1u);
  // A lossless wire: many frames, more than the ring holds, all in order.
  const std::uint64_t through = a->frames_through_lanes();
  constexpr std::uint32_t kFrames = 3000;
  for (std::uint32_t n = 1; n <= kFrames; ++n) {
    ASSERT_TRUE(within([&] { return a->has_room(); }));
    a->transmit(numbered(2, 1, n, 1514 + n % 7));
  }
  // The frames for B's MAC (the ones that opened the lanes went to another).
  auto for_b = [&] {
    std::vector<std::vector<std::byte>> v;
    for (auto& f : sb.got())
      if (f[5] == std::byte{2}) v.push_back(f);
    return v;
  };
  ASSERT_TRUE(within([&] { return for_b().size() >= kFrames; })) << for_b().size();
  const auto got = for_b();
  ASSERT_EQ(got.size(), kFrames);
  for (std::uint32_t n = 1; n <= kFrames; ++n) {
    ASSERT_EQ(got[n - 1], numbered(2, 1, n, 1514 + n % 7)) << "frame " << n;
  }
  EXPECT_GE(a->frames_through_lanes() - through, kFrames);
  EXPECT_EQ(a->lanes_broken() + b->lanes_broken(), 0u);

  // B goes: A's lane to it ends, and A's sending does not wait for it.
  b->stop();
  b.reset();
  EXPECT_TRUE(within([&] {
    a->transmit(numbered(2, 1, 0, 64));
    return a->lanes_out() == 0 && a->lanes_in() == 0;
  })) << log();
  // B comes back under the same name: a new lane.
  Station sb2;
  b = port(sb2, "b", true);
  ASSERT_TRUE(open_lanes(*a, *b)) << log();
  a->transmit(numbered(2, 1, 77, 100));
  EXPECT_TRUE(within([&] {
    for (const auto& f : sb2.got())
      if (f == numbered(2, 1, 77, 100)) return true;
    return false;
  }));
  b->stop();
  a->stop();
  EXPECT_FALSE(std::filesystem::exists(a->lane_marker_path()));
}

TEST_F(LabLaneTest, AReaderThatStallsLosesFramesOnALossyWireAndNothingWaits) {
  Station sa, sb;
  auto a = port(sa, "a", false);
  auto b = port(sb, "b", false);
  ASSERT_TRUE(open_lanes(*a, *b)) << log();
  sb.hold(true);                           // B's receiver stops taking frames: its lane fills
  constexpr std::uint32_t kFrames = 1500;  // more than the ring holds
  const auto start = std::chrono::steady_clock::now();
  for (std::uint32_t n = 1; n <= kFrames; ++n) {
    ASSERT_TRUE(within([&] { return a->has_room(); })) << "the port stalled";
    a->transmit(numbered(2, 1, n, 9014));
  }
  EXPECT_TRUE(within([&] { return a->frames_dropped() > 0 && a->frames_sent() >= kFrames; }, 30000))
      << a->frames_dropped() << " " << a->frames_sent();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(25));
  sb.hold(false);
  a->stop();
  b->stop();
}

}  // namespace
