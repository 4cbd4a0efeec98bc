// The completion path every engine shares: CQ credits and overruns, arming
// (normal and solicited-only) and the CEQEs it produces, interrupt cause
// and mask, and the asynchronous event queue with its credits.
#include "include/zek/aeq_event.h"
#include "tests/support/sim_fixture.h"

namespace {

using namespace zekhw;

class CompletionTest : public SimTest {
 protected:
  static constexpr std::uint32_t kCq = 100;
  static constexpr std::uint32_t kCeq = 8;  // the proxy's CEQ of function 0
  static constexpr std::uint64_t kCqObject = 0xFFFF'9000'0000'2000ull;

  void SetUp() override {
    SimTest::SetUp();
    host_ = std::make_unique<HostQueues>(*this, 0);
    host_->bring_up();
    board().connect_interrupts(&sink_);
  }
  void TearDown() override {
    board().connect_interrupts(nullptr);
    host_.reset();
    SimTest::TearDown();
  }

  // A CQ of `entries` on a CEQ of `ceq_entries`, both created through the CQP.
  void make_cq(std::uint32_t entries, std::uint32_t ceq_entries = 16) {
    cq_ring_ = &alloc(entries * sizeof(MifhCqe));
    ceq_ring_ = &alloc(ceq_entries * sizeof(MifhCeqe));
    host_->post(HostQueues::request(create_ceq_word(kCeq), ceq_entries, ceq_ring_->pa()));
    host_->post(HostQueues::create_cq(kCq, kCeq, entries, cq_ring_->pa(), kCqObject));
    board().run_until_idle();
    for (const MifhCqe* e; (e = host_->next_ccqe()) != nullptr;) ASSERT_EQ(e->flags & kCqeError, 0u);
    host_->release_ccq();
    // Those control completions raised CEQ 0's cause: start the test clean.
    wr(0, kRegIntrCause, kIntrCauseBits);
  }

  zeksim::PostResult complete(std::uint32_t tag, bool solicited = false) {
    MifhCqe e{};
    e.tag = tag;
    e.flags = kCqeValid | kCqeSendQueue;
    return board().post_completion(kCq, std::as_bytes(std::span(&e, 1)), solicited);
  }
  MifhCqe* cqe(std::size_t slot) { return cq_ring_->at<MifhCqe>(slot); }
  std::uint64_t ceqe(std::size_t slot) { return ceq_ring_->at<MifhCeqe>(slot)->value; }
  MifhAeqe* aeqe(std::size_t slot) { return host_->aeq().at<MifhAeqe>(slot); }
  void arm(bool solicited_only = false) { wr(0, kRegCqAllocate, cq_arm(kCq, solicited_only)); }
  void give_back(std::uint32_t n) { wr(0, kRegCqAllocate, cq_give_back(kCq, n)); }

  std::unique_ptr<HostQueues> host_;
  DmaBuffer* cq_ring_ = nullptr;
  DmaBuffer* ceq_ring_ = nullptr;
  RecordingSink sink_;
};

TEST_F(CompletionTest, CreditsAreSizeLessOneAndOverrunIsReportedOnce) {
  make_cq(4);
  for (std::uint32_t i = 0; i < 3; ++i) ASSERT_EQ(complete(i), zeksim::PostResult::Written);
  for (std::uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(cqe(i)->tag, i);
    EXPECT_EQ(cqe(i)->flags, kCqeValid | kCqeSendQueue);
  }
  EXPECT_EQ(complete(3), zeksim::PostResult::Overrun);
  EXPECT_EQ(cqe(3)->flags, 0u) << "the overrun completion is dropped";
  EXPECT_EQ(complete(4), zeksim::PostResult::Overrun);
  EXPECT_EQ(board().faults().cq_overruns, 2u);

  // One asynchronous CQ error for the episode.
  EXPECT_EQ(aeqe(0)->info, kAeqeValid | kAeqeCq | kAeCqError);
  EXPECT_EQ(aeqe(0)->object_word, kCq);
  EXPECT_EQ(aeqe(0)->context, kCqObject);
  EXPECT_EQ(aeqe(1)->info, 0u);

  // The host reads two and gives them back: two more fit, then a new episode.
  cqe(0)->flags = 0;
  cqe(1)->flags = 0;
  give_back(2);
  EXPECT_EQ(complete(10), zeksim::PostResult::Written);
  EXPECT_EQ(complete(11), zeksim::PostResult::Written);
  EXPECT_EQ(cqe(3)->tag, 10u);
  EXPECT_EQ(cqe(0)->tag, 11u) << "the ring wraps";
  EXPECT_EQ(complete(12), zeksim::PostResult::Overrun);
  EXPECT_EQ(aeqe(1)->info, kAeqeValid | kAeqeCq | kAeCqError);
}

TEST_F(CompletionTest, GiveBackBeyondTheRingNeverExposesUnreadEntries) {
  make_cq(4);
  ASSERT_EQ(complete(0), zeksim::PostResult::Written);
  give_back(200);  // the host claims far more than it was given
  EXPECT_EQ(board().faults().bad_give_backs, 1u);
  for (std::uint32_t i = 1; i <= 3; ++i) EXPECT_EQ(complete(i), zeksim::PostResult::Written);
  EXPECT_EQ(complete(4), zeksim::PostResult::Overrun) << "credits never exceed size - 1";
}

TEST_F(CompletionTest, AnArmedCqWritesOneCeqeAndDisarms) {
  make_cq(16);
  unmask_all(0);
  ASSERT_EQ(complete(0), zeksim::PostResult::Written);
  EXPECT_EQ(ceqe(0), 0u) << "not armed: no event";
  EXPECT_EQ(sink_.count(), 0u);

  arm();
  EXPECT_EQ(ceqe(0), ceqe_value(kCqObject >> 1)) << "arming with an entry outstanding reports it";
  EXPECT_EQ((ceqe(0) & kCeqeObjectMask) << 1, kCqObject);
  EXPECT_EQ(rd(0, kRegIntrCause) & intr_ceq_bit(kCeq), intr_ceq_bit(kCeq));
  EXPECT_EQ(sink_.lines(), std::vector<unsigned>{0});

  ASSERT_EQ(complete(1), zeksim::PostResult::Written);
  EXPECT_EQ(ceqe(1), 0u) << "disarmed after one event";

  // The ISR's pattern: master enable off, causes acknowledged; the DPC
  // consumes, gives back, re-arms, then enables again.
  wr(0, kRegIntrMask, 0);
  wr(0, kRegIntrCause, intr_ceq_bit(kCeq));
  EXPECT_FALSE(board().interrupt_line(0));
  give_back(2);
  arm();
  ASSERT_EQ(complete(2), zeksim::PostResult::Written);
  EXPECT_EQ(ceqe(1), ceqe_value(kCqObject >> 1));
  EXPECT_EQ(sink_.count(), 1u) << "master enable off: the line stays low";
  unmask_all(0);
  EXPECT_TRUE(board().interrupt_line(0));
  EXPECT_EQ(sink_.count(), 2u) << "enabling with a cause pending interrupts";
}

TEST_F(CompletionTest, AMaskedCeqHoldsItsInterruptUntilUnmasked) {
  make_cq(16);
  wr(0, kRegIntrMask, kIntrMasterEnable | intr_ceq_bit(kCeq));
  arm();
  ASSERT_EQ(complete(0), zeksim::PostResult::Written);
  EXPECT_EQ(rd(0, kRegIntrCause) & intr_ceq_bit(kCeq), intr_ceq_bit(kCeq));
  EXPECT_FALSE(board().interrupt_line(0));
  EXPECT_EQ(sink_.count(), 0u);
  wr(0, kRegIntrMask, kIntrMasterEnable);
  EXPECT_TRUE(board().interrupt_line(0));
  EXPECT_EQ(sink_.lines(), std::vector<unsigned>{0});
}

TEST_F(CompletionTest, SolicitedOnlyArmingWaitsForASolicitedCompletion) {
  make_cq(16);
  arm(/*solicited_only=*/true);
  ASSERT_EQ(complete(0, false), zeksim::PostResult::Written);
  EXPECT_EQ(ceqe(0), 0u);
  ASSERT_EQ(complete(1, true), zeksim::PostResult::Written);
  EXPECT_EQ(ceqe(0), ceqe_value(kCqObject >> 1));

  // Re-arming solicited-only with only unsolicited entries outstanding
  // stays quiet; a normal arm reports them.
  give_back(2);
  ASSERT_EQ(complete(2, false), zeksim::PostResult::Written);
  arm(true);
  EXPECT_EQ(ceqe(1), 0u);
  arm(false);
  EXPECT_EQ(ceqe(1), ceqe_value(kCqObject >> 1));
}

TEST_F(CompletionTest, RearmingWithEntriesLeftNotifiesAgain) {
  // The control completion processing stops after a bounded batch, gives
  // back what it took and re-arms: the rest must bring a new event.
  make_cq(16);
  for (std::uint32_t i = 0; i < 3; ++i) ASSERT_EQ(complete(i), zeksim::PostResult::Written);
  wr(0, kRegCqAllocate, cq_give_back(kCq, 2) | kCqArm);
  EXPECT_EQ(ceqe(0), ceqe_value(kCqObject >> 1));
  wr(0, kRegCqAllocate, cq_give_back(kCq, 1) | kCqArm);
  EXPECT_EQ(ceqe(1), 0u) << "nothing left: armed and quiet";
  ASSERT_EQ(complete(3), zeksim::PostResult::Written);
  EXPECT_EQ(ceqe(1), ceqe_value(kCqObject >> 1));
}

TEST_F(CompletionTest, AFullCeqKeepsTheCqArmedUntilTheHostDrainsIt) {
  make_cq(16, /*ceq_entries=*/1);
  arm();
  ASSERT_EQ(complete(0), zeksim::PostResult::Written);
  ASSERT_EQ(ceqe(0), ceqe_value(kCqObject >> 1));
  give_back(1);
  arm();
  ASSERT_EQ(complete(1), zeksim::PostResult::Written);
  EXPECT_EQ(board().faults().ceq_overflows, 1u) << "the only slot is still valid";
  ceq_ring_->at<MifhCeqe>(0)->value = 0;  // the host consumes the event
  ASSERT_EQ(complete(2), zeksim::PostResult::Written);
  EXPECT_EQ(ceqe(0), ceqe_value(kCqObject >> 1)) << "the CQ stayed armed";
}

TEST_F(CompletionTest, CompletionsForMissingQueuesAreDropped) {
  EXPECT_EQ(complete(0), zeksim::PostResult::NoQueue);
  // A CQ whose ring vanished: the write fails, the host hears of it.
  make_cq(4);
  cq_ring_->release();
  EXPECT_EQ(complete(0), zeksim::PostResult::DmaFault);
  EXPECT_EQ(aeqe(0)->info, kAeqeValid | kAeqeCq | kAeCqError);
  zeksim::FaultCounters faults = board().faults();
  EXPECT_EQ(faults.lost_completions, 1u);
  EXPECT_EQ(faults.dma_faults, 1u);
  // Give-back and arm of a CQ that does not exist.
  wr(0, kRegCqAllocate, cq_give_back(999, 1) | kCqArm);
  EXPECT_EQ(board().faults().stray_doorbells, 2u);
}

TEST_F(CompletionTest, AsynchronousEventsTakeCreditsAndRaiseTheFunctionsAeqBit) {
  unmask_all(0);
  zeksim::AsyncEvent event;
  event.context = 0xFFFF'A000'0000'0800ull | 0x1F;  // QP object | reason
  event.object_id = 0x2ABCD;
  event.fields = AeqeFields{1290, true, false, true, true, 2, 10, 1};
  for (std::uint32_t i = 0; i < HostQueues::kAeqEntries; ++i) ASSERT_TRUE(board().post_async_event(0, event));
  EXPECT_FALSE(board().post_async_event(0, event)) << "no credit left";
  EXPECT_EQ(board().faults().aeq_overflows, 1u);
  EXPECT_EQ(rd(0, kRegIntrCause) & kIntrAeqMask, intr_aeq_bit(0));
  EXPECT_EQ(sink_.count(), 1u);

  // The miniport's decode of one entry.
  const MifhAeqe& e = *aeqe(0);
  ZekAsyncEvent d = zek_decode_async_event(e.context, e.object_word, e.info);
  EXPECT_EQ(d.context, event.context);
  EXPECT_EQ(d.context & kAeqeReasonMask, 0x1Fu);
  EXPECT_EQ(d.object_id, 0x2ABCDu);
  EXPECT_EQ(d.event_id, 1290);
  EXPECT_EQ(d.tcp_state, 10);
  EXPECT_EQ(d.iwarp_state, 2);
  EXPECT_EQ(d.qp, 1);
  EXPECT_EQ(d.cq, 0);
  EXPECT_EQ(d.sq, 1);
  EXPECT_EQ(d.inbound_rdma, 1);
  EXPECT_EQ(d.aux, 1);

  // Acknowledged without clearing the valid bits: still refused.
  wr(0, kRegAeqAcknowledge, aeq_acknowledge(2));
  EXPECT_FALSE(board().post_async_event(0, event));
  // Consumed and acknowledged: two more fit.
  aeqe(0)->info = 0;
  aeqe(1)->info = 0;
  EXPECT_TRUE(board().post_async_event(0, event));
  EXPECT_TRUE(board().post_async_event(0, event));
  EXPECT_FALSE(board().post_async_event(0, event));
  // Function 1 has no AEQ: the event is lost, counted.
  EXPECT_FALSE(board().post_async_event(1, event));
  EXPECT_EQ(board().faults().lost_events, 1u);
}

TEST_F(CompletionTest, InterruptCauseIsWriteOneToClear) {
  make_cq(16);
  unmask_all(0);
  arm();
  ASSERT_EQ(complete(0), zeksim::PostResult::Written);
  ASSERT_TRUE(board().post_async_event(0, zeksim::AsyncEvent{}));
  std::uint32_t both = intr_ceq_bit(kCeq) | intr_aeq_bit(0);
  ASSERT_EQ(rd(0, kRegIntrCause), both);
  wr(0, kRegIntrCause, 0);
  EXPECT_EQ(rd(0, kRegIntrCause), both) << "writing 0 clears nothing";
  wr(0, kRegIntrCause, intr_ceq_bit(kCeq));
  EXPECT_EQ(rd(0, kRegIntrCause), intr_aeq_bit(0));
  EXPECT_TRUE(board().interrupt_line(0));
  wr(0, kRegIntrCause, intr_aeq_bit(0));
  EXPECT_EQ(rd(0, kRegIntrCause), 0u);
  EXPECT_FALSE(board().interrupt_line(0));
  EXPECT_EQ(rd(1, kRegIntrCause), 0u) << "function 1's cause is its own";
}

TEST_F(CompletionTest, ControlCompletionsInterruptThroughTheControlCeq) {
  // The miniport's path: CCQ armed at bring-up, a no-op's completion writes a
  // CEQE into CEQ 0 and raises cause bit 0.
  unmask_all(0);
  host_->post(HostQueues::request(kOpNop));
  board().run_until_idle();
  EXPECT_EQ(host_->ceq().at<MifhCeqe>(0)->value, ceqe_value(HostQueues::kCqpObject >> 1));
  EXPECT_EQ(rd(0, kRegIntrCause) & kIntrCeqMask, intr_ceq_bit(0));
  EXPECT_EQ(sink_.lines(), std::vector<unsigned>{0});
}

}  // namespace
