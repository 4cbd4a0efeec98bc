// The driver NIC queue pair against the simulated adapter: creation with
// its bounded waits, transmit and its full-ring rule, send completion,
// receive, and destruction with and without the adapter's answer.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <thread>

#include "tests/proxy/rdma/hw/hwif_fixture.h"

namespace {

class NicQpTest : public HwifTest {
 protected:
  void SetUp() override {
    HwifTest::SetUp();
    fn_ = &bring_up(0, 128);
    hw_ = std::make_unique<NIC_HW_INFO>();
    std::memcpy(static_cast<void*>(&hw_->Device), &fn_->device, sizeof fn_->device);
    hw_->ControlDrain = [](void* self) { static_cast<NicQpTest*>(self)->process_control(); };
    hw_->ControlDrainContext = this;
    start_helper();
  }
  void TearDown() override {
    stop_helper();
    if (qp_ != nullptr && cq_ != nullptr) {
      start_helper();
      mifh_nic_qp_destroy(nullptr, qp_, cq_);
      stop_helper();
    }
    if (frames_ != nullptr) OSPrimMemDMAFree(frames_);
    HwifTest::TearDown();
  }
  // The miniport's part: control completions are retired as they come.
  void process_control() {
    std::lock_guard lock(mu_);
    mifh_process_ccq(fn_->ccq);
    mifh_free_CQPPendQ_buffer(fn_->cqp);
  }
  void start_helper() {
    helper_.start([this] { process_control(); });
  }
  void stop_helper() { helper_.stop(); }
  void create() {
    ASSERT_EQ(Zek_Init_k_zeknic(nullptr, hw_.get(), &qp_, &cq_), 0u);
    ASSERT_EQ(mifh_hw_init_zek_nic(&hw_->Device, mac_, zekhw::proxy_mac_slot(0)), 0u);
    ASSERT_EQ(OSPrimMemDMAAllocate(reinterpret_cast<void**>(&frames_), 64 * 2048), 0u);
  }
  std::uint8_t* frame(unsigned i) { return frames_ + i * 2048; }
  // Takes the NIC completions: sends retire their slots.
  std::vector<zekhw::MifhNicCqe> take_completions() {
    settle();
    std::vector<zekhw::MifhNicCqe> out;
    zekhw::MifhNicCqe e;
    while (mifh_nic_cqe_read(cq_, &e) == 0) {
      out.push_back(e);
      if ((e.status & zekhw::kNicCqeSend) != 0) ZekNicSendComplete(cq_, e.status);
    }
    if (!out.empty()) mifh_cq_release_cqes(&hw_->Device, cq_, static_cast<std::uint32_t>(out.size()), false);
    return out;
  }

  HwFunction* fn_ = nullptr;
  std::unique_ptr<NIC_HW_INFO> hw_;
  MifhQpObject* qp_ = nullptr;
  MifhCqObject* cq_ = nullptr;
  std::uint8_t* frames_ = nullptr;
  const std::uint8_t mac_[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
  std::mutex mu_;
  PeriodicHelper helper_;
};

TEST_F(NicQpTest, CreatesWithTheDriversIdsAndExchangesFrames) {
  create();
  EXPECT_EQ(qp_->QpId, 24u);
  EXPECT_EQ(cq_->CqId, 24u);
  EXPECT_EQ(cq_->CeqId, 8u);
  EXPECT_EQ(cq_->RingIndex.Head, 1023u);
  EXPECT_EQ(hw_->ProxyNicCq, cq_);
  EXPECT_EQ(board().queue_pair_count(), 1u);
  // A receive buffer, then a frame for our MAC from the wire.
  auto* rq = static_cast<zekhw::MifhNicRqWqe*>(qp_->Rq);
  rq[0].buffer_length = 2048;
  rq[0].buffer_pa = pa_of(frame(10));
  std::uint32_t posted = 0;
  ASSERT_EQ(mifh_nic_qp_post_rq_to_doorbell(qp_, 1, &posted), 0u);
  std::byte in[60] = {};
  std::memcpy(in, mac_, 6);
  in[12] = std::byte{0x08};
  ASSERT_TRUE(board().receive_frame(in));
  // A frame out: its send completion clears the caller's word.
  std::memset(frame(0), 0xFF, 6);
  std::memcpy(frame(0) + 6, mac_, 6);
  std::uint32_t word = 1;
  ZekNicTxBegin();
  ASSERT_TRUE(DoWriteProc(hw_.get(), nullptr, frame(0), 100, &word));
  auto completions = take_completions();
  ASSERT_EQ(completions.size(), 2u);
  bool saw_send = false, saw_receive = false;
  for (const auto& e : completions) {
    if ((e.status & zekhw::kNicCqeSend) != 0) {
      saw_send = true;
      EXPECT_EQ(e.index, 0u);
    } else {
      saw_receive = true;
      EXPECT_EQ(e.status & zekhw::kNicCqeLengthMask, 60u);
      EXPECT_EQ(e.frame_flags & zekhw::kNicFrameUnicast, zekhw::kNicFrameUnicast);
    }
  }
  EXPECT_TRUE(saw_send && saw_receive);
  EXPECT_EQ(word, 0u);
  EXPECT_EQ(ZekNicTxOutstanding(), 0);
  EXPECT_EQ(std::memcmp(frame(10), in, 60), 0);
}

TEST_F(NicQpTest, FullTransmitRingFailsAfterTheLastCheckWithNothingChanged) {
  create();
  set_auto_step(false);  // nothing completes
  static std::uint32_t words[512];
  std::memset(frame(0), 0xFF, 6);
  for (int i = 0; i < 511; ++i) {
    words[i] = 1;
    ZekNicTxBegin();
    ASSERT_TRUE(DoWriteProc(hw_.get(), nullptr, frame(0), 64, &words[i])) << i;
  }
  ZekNicTransmit* tx = ZekNicTransmitOf(cq_);
  const std::uint32_t head = tx->Ring.Head;
  const std::int32_t outstanding = ZekNicTxOutstanding();
  words[511] = 1;
  ZekNicTxBegin();
  EXPECT_FALSE(DoWriteProc(hw_.get(), nullptr, frame(0), 64, &words[511]));
  EXPECT_EQ(tx->Ring.Head, head);
  EXPECT_EQ(ZekNicTxOutstanding(), outstanding);
  EXPECT_EQ(words[511], 0u);
  set_auto_step(true);
  while (ZekNicTxOutstanding() > 0) take_completions();
}

TEST_F(NicQpTest, AFrameThatCannotBeMappedLeavesTheRingAsItWas) {
  create();
  void* big = nullptr;
  ASSERT_EQ(OSPrimMemDMAAllocate(&big, 7 * 4096), 0u);
  ZekNicTransmit* tx = ZekNicTransmitOf(cq_);
  const std::uint32_t head = tx->Ring.Head;
  const std::int32_t outstanding = ZekNicTxOutstanding();
  std::uint32_t word = 1;
  ZekNicTxBegin();
  EXPECT_FALSE(DoWriteProc(hw_.get(), nullptr, static_cast<std::uint8_t*>(big) + 100, 6 * 4096, &word));
  EXPECT_EQ(tx->Ring.Head, head);
  EXPECT_EQ(qp_->SqRing.Head, 0u);
  EXPECT_EQ(ZekNicTxOutstanding(), outstanding);
  EXPECT_EQ(tx->Slots[head].FragmentCount, 0u) << "the mapping was given up";
  OSPrimMemDMAFree(big);
}

TEST_F(NicQpTest, AFrameOfABadLengthIsRefusedAndTheQueueGoesOn) {
  create();
  const std::uint64_t failures = ZekNicTxFailures();
  std::memset(frame(0), 0xFF, 6);
  for (const std::uint32_t length : {0u, 10u, 13u, 9023u}) {
    SCOPED_TRACE(length);
    std::uint32_t word = 1;
    ZekNicTxBegin();
    EXPECT_FALSE(DoWriteProc(hw_.get(), nullptr, frame(0), length, &word));
    EXPECT_EQ(word, 0u);
  }
  EXPECT_EQ(ZekNicTxFailures(), failures + 4);
  EXPECT_EQ(qp_->SqRing.Head, 0u) << "nothing reached the adapter";
  // The shortest and the longest frames still go.
  void* big = nullptr;
  ASSERT_EQ(OSPrimMemDMAAllocate(&big, 3 * 4096), 0u);
  std::memset(big, 0xFF, 6);
  std::uint32_t words[2] = {1, 1};
  ZekNicTxBegin();
  ASSERT_TRUE(DoWriteProc(hw_.get(), nullptr, frame(0), 14, &words[0]));
  ZekNicTxBegin();
  ASSERT_TRUE(DoWriteProc(hw_.get(), nullptr, big, 9022, &words[1]));
  while (ZekNicTxOutstanding() > 0) take_completions();
  EXPECT_EQ(words[0] | words[1], 0u);
  OSPrimMemDMAFree(big);
}

TEST_F(NicQpTest, AFrameTheAdapterRefusesFailsWithEveryFrameBehindIt) {
  create();
  set_auto_step(false);
  std::memset(frame(0), 0xFF, 6);
  std::uint32_t words[3] = {1, 1, 1};
  const std::uint64_t failures = ZekNicTxFailures();
  for (std::uint32_t& word : words) {
    ZekNicTxBegin();
    ASSERT_TRUE(DoWriteProc(hw_.get(), nullptr, frame(0), 64, &word));
  }
  // The first request goes bad before the adapter reads it: it refuses it
  // and stops the send queue, so the two behind it are never taken.
  static_cast<zekhw::MifhNicSqWqe*>(qp_->Sq)[0].total_length = 5;
  set_auto_step(true);
  take_completions();
  EXPECT_EQ(words[0] | words[1] | words[2], 0u) << "every frame completed";
  EXPECT_EQ(ZekNicTxOutstanding(), 0);
  EXPECT_EQ(ZekNicTxFailures(), failures + 3);
  EXPECT_TRUE(ZekRingIsEmpty(&ZekNicTransmitOf(cq_)->Ring));
  // Later frames fail at once instead of waiting on a queue that is gone.
  std::uint32_t word = 1;
  ZekNicTxBegin();
  EXPECT_FALSE(DoWriteProc(hw_.get(), nullptr, frame(0), 64, &word));
  EXPECT_EQ(word, 0u);
  EXPECT_EQ(ZekNicTxOutstanding(), 0);
}

TEST_F(NicQpTest, FramesInFlightAtDestroyComplete) {
  create();
  std::memset(frame(0), 0xFF, 6);
  std::uint32_t words[3] = {1, 1, 1};
  for (std::uint32_t& word : words) {
    ZekNicTxBegin();
    ASSERT_TRUE(DoWriteProc(hw_.get(), nullptr, frame(0), 64, &word));
  }
  // Nobody takes the send completions before the queue pair goes.
  EXPECT_EQ(mifh_nic_qp_destroy(nullptr, qp_, cq_), 0u);
  qp_ = nullptr;
  cq_ = nullptr;
  EXPECT_EQ(words[0] | words[1] | words[2], 0u);
  EXPECT_EQ(ZekNicTxOutstanding(), 0);
}

TEST_F(NicQpTest, ACreationThatFailsAfterItsCqCanBeRetried) {
  // No NIC send queue to be had: the creation fails after the CQ exists on
  // the adapter, which must not keep it.
  std::vector<void*> held;
  while (void* sq = mifh_allocate_nic_sq(512)) held.push_back(sq);
  ASSERT_FALSE(held.empty());
  const std::uint32_t cq_rings = mifh_pool_available(MIFH_POOL_NIC_CQ, 1024);
  EXPECT_NE(Zek_Init_k_zeknic(nullptr, hw_.get(), &qp_, &cq_), 0u);
  EXPECT_EQ(qp_, nullptr);
  EXPECT_EQ(mifh_pool_available(MIFH_POOL_NIC_CQ, 1024), cq_rings) << "the CQ ring went back to its pool";
  for (void* sq : held) mifh_pool_free(MIFH_POOL_NIC_SQ, sq, 512);
  create();
  EXPECT_EQ(board().queue_pair_count(), 1u);
  EXPECT_FALSE(logged("Invalid QP State Error"));
}

TEST_F(NicQpTest, ACqWhoseRingHasGoneHasNothingToRead) {
  // A poller that runs on while the NIC queue pair is taken down sees the
  // CQ object without its ring: nothing to read, no read through null.
  create();
  MifhCqObject gone{};
  std::memcpy(static_cast<void*>(&gone), cq_, sizeof gone);
  gone.Ring = nullptr;
  zekhw::MifhNicCqe e{};
  EXPECT_EQ(mifh_nic_cqe_read(&gone, &e), MIFH_STATUS_FAIL);
  gone.Ring = cq_->Ring;
  gone.RingIndex.Size = 0;
  EXPECT_EQ(mifh_nic_cqe_read(&gone, &e), MIFH_STATUS_FAIL);
}

TEST_F(NicQpTest, DestroyReleasesEverythingWhenTheAdapterAnswers) {
  create();
  EXPECT_EQ(mifh_nic_qp_destroy(nullptr, qp_, cq_), 0u);
  qp_ = nullptr;
  cq_ = nullptr;
  EXPECT_EQ(board().queue_pair_count(), 0u);
  EXPECT_EQ(hw_->ProxyNicCq, nullptr);
}

TEST_F(NicQpTest, DestroyWithoutAnAnswerReturnsAndQuarantines) {
  create();
  stop_helper();
  set_auto_step(false);
  hw_->ControlDrain = nullptr;
  MifhQpObject* qp = qp_;
  EXPECT_EQ(mifh_nic_qp_destroy(nullptr, qp_, cq_), MIFH_STATUS_FAIL);
  EXPECT_TRUE(logged("its memory is quarantined"));
  EXPECT_NE(qp->QpFlags & MIFH_QPF_QUARANTINED, 0u);
  qp_ = nullptr;
  cq_ = nullptr;
  set_auto_step(true);
}

TEST_F(NicQpTest, ADestroyQueuedBehindAFullRingLeavesNoContextOfItsFrame) {
  create();
  stop_helper();
  set_auto_step(false);
  hw_->ControlDrain = nullptr;
  // The CQP ring is full of requests the adapter has not taken yet: both
  // destroys wait in the pending queue, and time out there.
  while (mifh_cqp_nop(fn_->cqp) == MIFH_STATUS_SUCCESS) {
  }
  EXPECT_EQ(mifh_nic_qp_destroy(nullptr, qp_, cq_), MIFH_STATUS_FAIL);
  qp_ = nullptr;
  cq_ = nullptr;
  ASSERT_FALSE(ZekIsListEmpty(&fn_->cqp->PendingQueue));
  for (ZekListNode* node = fn_->cqp->PendingQueue.Head; node != nullptr; node = node->Next) {
    EXPECT_EQ(reinterpret_cast<MifhCqpPendingRequest*>(node)->Wqe.completion_context, 0u)
        << "a pending request still names a context on the destroy's returned frame";
  }
  // The refill issues them later and their completions run no routine.
  set_auto_step(true);
  for (int round = 0;
       round < 100 && !(ZekIsListEmpty(&fn_->cqp->PendingQueue) && mifh_cqp_tail(fn_->cqp) == fn_->cqp->RingIndex.Head);
       ++round) {
    settle();
    process_control();
  }
  EXPECT_TRUE(ZekIsListEmpty(&fn_->cqp->PendingQueue));
}

TEST_F(NicQpTest, ForgettingAContextWaitsForItsRunningCompletion) {
  // The CCQ processing has taken a context and runs its routine; the owner
  // that gives up on it meanwhile must not return (and free it) until the
  // routine is done.
  MifhCqpObject* cqp = fn_->cqp;
  stop_helper();
  MifhCqpCompletionContext context{};
  const std::uint32_t slot = cqp->RingIndex.Head;
  cqp->Ring[slot].completion_context = reinterpret_cast<std::uint64_t>(&context);
  ASSERT_EQ(mifh_cqp_take_context(cqp, slot), &context);
  EXPECT_EQ(cqp->Ring[slot].completion_context, 0u) << "the slot gave its context up";
  std::atomic<bool> forgotten{false};
  std::thread owner([&] {
    mifh_cqp_forget_context(cqp, &context);
    forgotten = true;
  });
  // However long the routine runs, the owner is still waiting for it.
  for (int i = 0; i < 1000; ++i) {
    std::this_thread::yield();
    ASSERT_FALSE(forgotten.load());
  }
  mifh_cqp_context_done(cqp);
  owner.join();
  EXPECT_TRUE(forgotten.load());
}

}  // namespace
