// Engine-thread mode: the board's own thread carries out what doorbells
// announce, with no step() from the test; interrupts reach the sink from
// that thread, as the interrupt timer lets them; the posted-write ring of a
// user doorbell page is drained by that thread itself.
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>

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

// A doorbell rung on one thread while another starts the engine thread is
// carried out, whichever comes first: the doorbell either finds the board
// stopped and leaves its request where the new thread looks first, or finds
// it running and wakes the thread. Each round rings one control request as
// the thread starts and stops the board again; a request the engine slept
// through never completes.
TEST_F(EngineThreadTest, ADoorbellRungWhileTheEngineStartsIsCarriedOut) {
  HostQueues host(*this, 0);
  host.bring_up();
  constexpr int kRounds = 300;
  for (int round = 0; round < kRounds; ++round) {
    std::atomic<int> ready{0};
    auto together = [&] {
      ready.fetch_add(1);
      while (ready.load() < 2) {
      }
    };
    std::thread starter([&] {
      together();
      board().start();
    });
    together();
    host.post(HostQueues::request(kOpNop));
    starter.join();
    ASSERT_TRUE(eventually([&] { return host.next_ccqe() != nullptr; }, kPatienceMs))
        << "round " << round << ": the request rung while the engine started was never carried out";
    host.release_ccq();
    board().stop();
  }
  EXPECT_EQ(board().faults().refused_requests, 0u);
}

// The interrupt timer: an interrupt within the interval after the last one
// is held, with the line up, until the interval has passed (here: until the
// timer is switched off, the interval being minutes).
TEST_F(EngineThreadTest, TheInterruptTimerHoldsAnInterruptThatComesTooSoon) {
  board().connect_interrupts(&sink);
  board().start();
  unmask_all(0);
  struct Case {
    const char* what;
    std::uint32_t timer_control, interval;
    bool held;
  };
  const Case cases[] = {
      {"an interval of minutes", kTimerControlRuns, 0xFFFF'FFFF, true},
      {"no interval", kTimerControlRuns, 0, false},
      {"the timer stopped", 0, 0xFFFF'FFFF, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    wr(0, kRegTimerControl, c.timer_control);
    wr(0, kRegIntrTimer, c.interval);
    const std::size_t before = sink.count();
    board().inject_interrupt(0, kIntrOther);
    ASSERT_TRUE(eventually([&] { return sink.count() == before + 1; }, kPatienceMs)) << "the first comes at once";
    wr(0, kRegIntrCause, kIntrOther);  // the ISR's acknowledgement: the line falls
    board().inject_interrupt(0, kIntrOther);
    EXPECT_TRUE(board().interrupt_line(0));
    if (c.held) {
      EXPECT_EQ(sink.count(), before + 1) << "the second waits for the interval";
      wr(0, kRegIntrTimer, 0);  // the timer off: what was held goes now
    }
    EXPECT_TRUE(eventually([&] { return sink.count() == before + 2; }, kPatienceMs));
    wr(0, kRegIntrCause, kIntrOther);
  }
  EXPECT_EQ(board().engine_activity().interrupts_held, 1u);
}

// A user process's posted-write ring, as the board sees it: writes the
// test publishes, an eventfd that wakes the engine only while it sleeps.
class TestRing final : public plat::PostedWrites {
 public:
  explicit TestRing(zeksim::Board& board) : board_(board), fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~TestRing() override { ::close(fd_); }
  int wake_fd() const override { return fd_; }
  std::size_t drain() override {
    std::deque<std::pair<std::uint32_t, std::uint32_t>> writes;
    {
      std::lock_guard lock(mu_);
      writes.swap(writes_);
    }
    for (auto [offset, value] : writes) {
      board_.window_handler(0, zeksim::Window::Doorbells).mmio_write(offset, value, 4);
    }
    return writes.size();
  }
  bool pending() const override {
    std::lock_guard lock(mu_);
    return !writes_.empty();
  }
  void set_sleeping(bool sleeping) override { sleeping_ = sleeping; }
  // Publishes a write; wakes the engine only if it said it sleeps.
  void post(std::uint32_t offset, std::uint32_t value) {
    {
      std::lock_guard lock(mu_);
      writes_.emplace_back(offset, value);
    }
    if (sleeping_.load()) {
      const std::uint64_t one = 1;
      (void)!::write(fd_, &one, sizeof one);
      ++wakes;
    }
  }
  std::atomic<int> wakes{0};

 private:
  zeksim::Board& board_;
  int fd_;
  mutable std::mutex mu_;
  std::deque<std::pair<std::uint32_t, std::uint32_t>> writes_;
  std::atomic<bool> sleeping_{false};
};

TEST_F(EngineThreadTest, AnAdoptedDoorbellRingIsDrainedByTheEngineThread) {
  TestRing ring(board());
  board().start();
  plat::MmioHandler& doorbells = board().window_handler(0, zeksim::Window::Doorbells);
  EXPECT_FALSE(board().window_handler(0, zeksim::Window::Registers).adopt(&ring)) << "only doorbell pages";
  ASSERT_TRUE(doorbells.adopt(&ring));
  EXPECT_EQ(board().adopted_rings(), 1u);
  // A write to a page that is not open: refused and counted, which shows it
  // reached the registers, with the engine woken through the ring's eventfd.
  ASSERT_TRUE(eventually([&] { return board().engine_activity().sleeps > 0; }, kPatienceMs));
  ring.post(5 * kDoorbellPageBytes + kUserDbWqeAllocate, wqe_doorbell(40, 1, true));
  ASSERT_TRUE(
      eventually([&] { return board().faults().stray_doorbells == 1 && board().engine_activity().ring_writes == 1; },
                 kPatienceMs));
  EXPECT_GE(ring.wakes.load(), 1);
  // Released: the board no longer touches it.
  doorbells.release(&ring);
  EXPECT_EQ(board().adopted_rings(), 0u);
  ring.post(5 * kDoorbellPageBytes + kUserDbWqeAllocate, wqe_doorbell(40, 1, true));
  board().stop();
  EXPECT_TRUE(ring.pending());
  EXPECT_EQ(board().faults().stray_doorbells, 1u);
}

// Rings come and go with processes: a new ring whose eventfd has the number
// of a released one's still wakes the engine.
TEST_F(EngineThreadTest, ARingAdoptedAfterAnotherWentIsWokenToo) {
  board().start();
  plat::MmioHandler& doorbells = board().window_handler(0, zeksim::Window::Doorbells);
  for (int round = 1; round <= 3; ++round) {
    SCOPED_TRACE(round);
    TestRing ring(board());
    ASSERT_TRUE(doorbells.adopt(&ring));
    ASSERT_TRUE(eventually([&] { return board().engine_activity().asleep; }, kPatienceMs));
    ring.post(5 * kDoorbellPageBytes + kUserDbWqeAllocate, wqe_doorbell(40, 1, true));
    EXPECT_TRUE(eventually([&] { return !ring.pending(); }, kPatienceMs)) << "the engine never woke for the ring";
    doorbells.release(&ring);
  }
  board().stop();
}

}  // namespace
