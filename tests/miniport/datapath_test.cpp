// zekhnic's data path between two boards on the lab wire, driven through
// the NDIS stand-in's protocol side: frames of every kind and size, VLAN
// and checksum information, back-pressure, cancel, pause and restart, a
// reset in the middle of traffic, and the interrupt path (claim, budget,
// the proxy driver's slots). Every NBL sent must complete exactly once.
#include <map>
#include <set>

#include "include/hw/registers.h"
#include "miniport/bringup.h"
#include "proxy/rdma/hw/reg_access.h"
#include "tests/miniport/datapath_fixture.h"
#include "tests/support/kernel_fixture.h"

namespace {

using datapath::frame;
using datapath::Sender;
using datapath::wait_until;

constexpr int kWaitMs = 60000;
const std::uint8_t kBroadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

class DataPathTest : public KernelTest {
 protected:
  plat::KernelOptions options() override {
    plat::KernelOptions o = KernelTest::options();
    o.clock = plat::Clock::Mode::Real;
    o.memory.bytes = std::size_t{160} << 20;
    return o;
  }
  void TearDown() override {
    sender_.reset();
    boards_.reset();
    KernelTest::TearDown();
  }
  void start(const datapath::Entries& a = {}, const datapath::Entries& b = {}) {
    boards_ = std::make_unique<datapath::TwoBoards>(kernel(), [this](std::string_view line) {
      std::lock_guard lock(log_mu_);
      log_ += std::string(line) + "\n";
    });
    std::string error;
    ASSERT_TRUE(boards_->start(a, b, &error)) << error << "\n" << log();
    sender_ = std::make_unique<Sender>();
  }
  std::string log() {
    std::lock_guard lock(log_mu_);
    return log_;
  }
  plat::ndis::Adapter& ndis(int i) { return boards_->ndis(i); }
  ZEK_ADAPTER* zek(int i) { return boards_->zek(i); }
  // Sends the lists as one chain from adapter `from`.
  void send(int from, const std::vector<NET_BUFFER_LIST*>& lists) {
    boards_->host().send(ndis(from), Sender::chain(lists));
  }
  // Each list completed exactly once: answers list -> status.
  std::map<NET_BUFFER_LIST*, NDIS_STATUS> completed_once(int from, const std::vector<NET_BUFFER_LIST*>& lists) {
    const std::set<NET_BUFFER_LIST*> sent(lists.begin(), lists.end());
    EXPECT_TRUE(wait_until(
        [&] {
          std::size_t n = 0;
          for (const auto& [l, s] : ndis(from).send_completions()) n += sent.count(l);
          return n >= lists.size();
        },
        kWaitMs))
        << "not every list completed";
    std::map<NET_BUFFER_LIST*, NDIS_STATUS> status;
    for (const auto& [l, s] : ndis(from).send_completions()) {
      if (sent.count(l) == 0) continue;
      EXPECT_TRUE(status.emplace(l, s).second) << "a list completed twice";
    }
    return status;
  }
  std::size_t received_with(int at, const std::vector<std::uint8_t>& bytes) {
    std::size_t n = 0;
    for (const auto& f : ndis(at).received_frames()) n += f == bytes;
    return n;
  }

  std::unique_ptr<datapath::TwoBoards> boards_;
  std::unique_ptr<Sender> sender_;
  std::mutex log_mu_;
  std::string log_;
};

// Unicast both ways, broadcast, and a short frame padded to the minimum;
// every list completes once with success and the receive ring stays full.
TEST_F(DataPathTest, FramesCrossTheWireBothWays) {
  start();
  struct Case {
    const char* name;
    int from;
    bool broadcast;
    std::size_t length;
    std::size_t received;  // as the peer sees it
  };
  const Case cases[] = {
      {"1514 bytes A to B", 0, false, 1514, 1514},
      {"1514 bytes B to A", 1, false, 1514, 1514},
      {"broadcast", 0, true, 100, 100},
      {"42 bytes, padded to 60", 1, false, 42, 60},
      {"257 bytes, headers copied", 0, false, 257, 257},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int to = 1 - c.from;
    const auto bytes = frame(c.broadcast ? kBroadcast : boards_->mac(to), boards_->mac(c.from), 0x88B5, c.length,
                             static_cast<std::uint8_t>(c.length));
    std::vector<NET_BUFFER_LIST*> lists = {sender_->make(bytes, 3)};
    send(c.from, lists);
    for (const auto& [l, s] : completed_once(c.from, lists)) EXPECT_EQ(s, NDIS_STATUS_SUCCESS);
    auto expected = bytes;
    expected.resize(c.received, 0);
    EXPECT_TRUE(wait_until([&] { return received_with(to, expected) == 1; }, kWaitMs)) << log();
  }
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(zek(i)->Recv->Posted, zek(i)->Recv->PostLimit);
    EXPECT_EQ(zek(i)->DpcRunning, 0);
    EXPECT_GT(zek(i)->DpcCount, 0u);
  }
}

}  // namespace
