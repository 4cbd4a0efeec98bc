// Engine-thread mode: the board's own thread carries out what doorbells
// announce, with no step() from the test; interrupts reach the sink from
// that thread.
#include "tests/support/sim_fixture.h"

namespace {

using namespace zekhw;

class EngineThreadTest : public SimTest {
 protected:
  void TearDown() override {
    if (!boards_.empty() && boards_[0].board_) {
      board().stop();
      board().connect_interrupts(nullptr);
    }
    SimTest::TearDown();
  }
  RecordingSink sink;
};

// Generous: the engine thread may be slow to get a processor on a loaded
// machine under the sanitizers; the waits end as soon as the work is done.
constexpr int kPatienceMs = 30000;

TEST_F(EngineThreadTest, DoorbellsFromAnotherThreadAreCarriedOut) {
  board().connect_interrupts(&sink);
  board().start();
  EXPECT_FALSE(board().step()) << "step mode is off while the thread runs";

  HostQueues host(*this, 0);
  // The driver's bring-up: each creation polled through the status word.
  host.start_cqp(0);
  ASSERT_TRUE(eventually([&] { return (host.status() & kStatusCqp) != 0; }, kPatienceMs));
  host.create_ccq(0);
  ASSERT_TRUE(eventually([&] { return (host.status() & kStatusCcq) != 0; }, kPatienceMs));
  host.post(HostQueues::request(create_ceq_word(0), HostQueues::kCeqEntries, host.ceq().pa()));
  ASSERT_TRUE(eventually([&] { return (host.status() & kStatusCeq) != 0; }, kPatienceMs));
  host.release_ccq();
  unmask_all(0);

  // Requests rung from a thread of their own.
  constexpr int kRequests = 20;
  std::thread poster([&] {
    for (int i = 0; i < kRequests; ++i) host.post(HostQueues::request(kOpNop));
  });
  poster.join();
  int seen = 0;  // the CEQ creation's entry is among them
  ASSERT_TRUE(eventually(
      [&] {
        while (host.next_ccqe() != nullptr) ++seen;
        return seen == kRequests + 1;
      },
      kPatienceMs));
  EXPECT_TRUE(eventually([&] { return sink.count() > 0; }, kPatienceMs))
      << "the CCQ is armed: the completions interrupt";
  EXPECT_EQ(board().faults().refused_requests, 0u);
}

TEST_F(EngineThreadTest, StopLeavesUnfinishedWorkForStepMode) {
  board().start();
  board().stop();
  HostQueues host(*this, 0);
  host.start_cqp(0);
  EXPECT_EQ(host.status(), 0u);
  EXPECT_TRUE(board().step());
  EXPECT_EQ(host.status(), kStatusCqp);
}

}  // namespace
