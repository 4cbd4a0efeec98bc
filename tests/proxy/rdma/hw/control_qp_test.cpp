// The control queue pair against the simulated adapter: creation and
// destruction with bounded polls, requests round-tripping through the CCQ to
// their completion contexts, the pending queue taking over when the ring is
// full, doorbell chunking and the CCQ processing limits.
#include "proxy/rdma/hw/control_qp.h"

#include <deque>

#include "proxy/rdma/hw/ccq.h"
#include "tests/proxy/rdma/hw/hwif_fixture.h"

namespace {

using namespace zekhw;

class CqpTest : public HwifTest {};

ZekStatus post_nop(MifhCqpObject* cqp, TestContext& context, MifhPostMode mode = MifhPostMode::Failing) {
  MifhCqpWqe wqe{};
  wqe.op_word = kOpNop;
  wqe.completion_context = reinterpret_cast<std::uint64_t>(context.get());
  return mifh_cqp_post(cqp, &wqe, mode, "test");
}

TEST_F(CqpTest, CreateAcceptsFunctionAndFunctionPlusEightAndRefusesOtherIds) {
  struct Case {
    unsigned function;
    std::uint32_t id;
    ZekStatus status;
  };
  for (const Case& c : {Case{1, 1, 0}, Case{1, 9, 0}, Case{1, 2, MIFH_STATUS_INVALID_ID},
                        Case{1, 16, MIFH_STATUS_INVALID_ID}, Case{0, 1, MIFH_STATUS_INVALID_ID}}) {
    HwFunction& fn = device(c.function);
    MifhCqpObject* cqp = nullptr;
    MifhCqpWqe* ring = nullptr;
    MifhCqpHostContext* context = nullptr;
    ASSERT_EQ(mifh_cqp_allocate(&fn.device, &cqp, &ring, &context, 4), 0u);
    fn.cqp = cqp;
    ASSERT_EQ(mifh_cqp_init(&fn.device, cqp, nullptr, ring, context, pa_of(ring), pa_of(context), 4), 0u);
    EXPECT_EQ(mifh_cqp_create(cqp, c.id), c.status) << "function " << c.function << " id " << c.id;
    if (c.status == 0) {
      EXPECT_EQ(context->word0, cqp_context_word0(c.id, 0));
      EXPECT_EQ(context->ring_pa, pa_of(ring));
      EXPECT_NE(board().queue_status(c.function) & kStatusCqp, 0u);
      EXPECT_EQ(mifh_cqp_destroy(cqp), 0u);
      EXPECT_EQ(board().queue_status(c.function) & kStatusCqp, 0u);
    }
    release_function(fn);
  }
  EXPECT_TRUE(logged("mifh_cqp_create: u32CQPId (0x2)does not match pcifunId (0x1)in device object"));
  EXPECT_TRUE(logged("mifh_cqp_create: u32CQPId (0x10) is invalid"));
}

TEST_F(CqpTest, RingSizesOtherThanTheFourAreRefused) {
  HwFunction& fn = device(0);
  for (std::uint32_t size : {0u, 5u, 64u, 256u, 1024u}) {
    EXPECT_EQ(mifh_cqp_allocate(&fn.device, &fn.cqp, &fn.cqp_ring, &fn.cqp_context, size),
              MIFH_STATUS_INVALID_WQE_COUNT);
    EXPECT_EQ(fn.cqp, nullptr);
  }
  MifhCqpObject cqp{};
  DmaRing ring = dma(fn, 4096);
  EXPECT_EQ(mifh_cqp_init(&fn.device, &cqp, nullptr, static_cast<MifhCqpWqe*>(ring.va), nullptr, ring.pa, 0, 64),
            MIFH_STATUS_INVALID_WQE_COUNT);
  EXPECT_TRUE(logged("mifh_cqp_allocate: SQWQESize (0x40) is invalid"));
  EXPECT_TRUE(logged("mifh_cqp_init: SQWQESize (0x40) is invalid"));
}

TEST_F(CqpTest, CreateGivesUpAfterItsBoundedPollWhenTheAdapterNeverAnswers) {
  set_auto_step(false);  // the adapter never runs
  HwFunction& fn = device(0);
  ASSERT_EQ(mifh_cqp_allocate(&fn.device, &fn.cqp, &fn.cqp_ring, &fn.cqp_context, 4), 0u);
  ASSERT_EQ(mifh_cqp_init(&fn.device, fn.cqp, nullptr, fn.cqp_ring, fn.cqp_context, pa_of(fn.cqp_ring),
                          pa_of(fn.cqp_context), 4),
            0u);
  const auto before = clock().now();
  EXPECT_EQ(mifh_cqp_create(fn.cqp, 0), MIFH_STATUS_FAIL);
  // A million polls 10 us apart, on the virtual clock.
  EXPECT_GE(clock().now() - before, 10 * plat::Clock::kUnitsPerSecond);
  EXPECT_TRUE(logged("mifh_cqp_create failed FILE["));
  set_auto_step(true);
}

TEST_F(CqpTest, RequestsRoundTripToTheirCompletionContexts) {
  HwFunction& fn = bring_up(0);
  std::vector<int> order;
  TestContext nop(&order, 1), create(&order, 2), destroy(&order, 3), bad(&order, 4);
  ASSERT_EQ(post_nop(fn.cqp, nop, MifhPostMode::Failing), 0u);

  MifhCqObject* cq = nullptr;
  void* ring = nullptr;
  ASSERT_EQ(mifh_iwarp_cq_allocate(&cq, &ring, 100), 0u);
  ASSERT_EQ(mifh_iwarp_cq_init(&fn.device, cq, ring, pa_of(ring), 100, 0), 0u);
  ASSERT_EQ(mifh_iwarptoe_cq_create(cq, 40, 8, 1, 1, create.get()), 0u);
  // The same id again: the adapter refuses it as an object that exists.
  MifhCqObject* twin = nullptr;
  void* twin_ring = nullptr;
  ASSERT_EQ(mifh_iwarp_cq_allocate(&twin, &twin_ring, 32), 0u);
  ASSERT_EQ(mifh_iwarp_cq_init(&fn.device, twin, twin_ring, pa_of(twin_ring), 32, 0), 0u);
  ASSERT_EQ(mifh_iwarptoe_cq_create(twin, 40, 8, 1, 1, bad.get()), 0u);
  ASSERT_EQ(mifh_cq_destroy(cq, destroy.get()), 0u);

  // The request words are the adapter's.
  const MifhCqpWqe& create_wqe = fn.cqp_ring[(fn.cqp->RingIndex.Head + fn.cqp->RingIndex.Size - 3) % 32];
  EXPECT_EQ(create_wqe.op_word, create_cq_word(100, true));
  EXPECT_EQ(create_wqe.object_word, cq_object_word(40, 8));
  EXPECT_EQ(create_wqe.cqp_object, reinterpret_cast<std::uint64_t>(fn.cqp));
  EXPECT_EQ(create_wqe.physical_address, pa_of(ring));
  EXPECT_EQ(create_wqe.operation_word, reinterpret_cast<std::uint64_t>(cq) >> 1);

  settle();
  EXPECT_EQ(mifh_process_ccq(fn.ccq), 0u);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 4, 3}));
  EXPECT_EQ(nop.context.OpCode, kOpNop);
  EXPECT_EQ(create.context.ErrorFlag, 0);
  EXPECT_EQ(create.context.OpCode, kOpCreateCq);
  EXPECT_EQ(bad.context.ErrorFlag, 1);
  EXPECT_EQ(bad.context.MajorCode, kCcqMajorRefused);
  EXPECT_EQ(bad.context.MinorCode, kCcqInvalidState);
  EXPECT_EQ(destroy.context.OpCode, kOpDestroyCq);
  EXPECT_EQ(destroy.context.ErrorFlag, 0);
  EXPECT_TRUE(logged("mifh_process_ccq: Invalid QP State Error (0x8002)"));
  EXPECT_EQ(mifh_cqp_tail(fn.cqp), fn.cqp->RingIndex.Head);
  mifh_free_iwarp_cq(cq);
  mifh_free_iwarp_cq(twin);
}

TEST_F(CqpTest, FullRingQueuesQueueingRequestsAndFailsFailingOnesUntilTheRefill) {
  HwFunction& fn = bring_up(0, 4);
  std::deque<TestContext> contexts;
  std::vector<int> order;
  // A 4-slot ring holds 3 requests.
  for (int i = 0; i < 3; ++i) {
    contexts.emplace_back(&order, i);
    ASSERT_EQ(post_nop(fn.cqp, contexts.back(), MifhPostMode::Queueing), 0u);
  }
  EXPECT_TRUE(ZekIsListEmpty(&fn.cqp->PendingQueue));
  // The 4th queueing request waits on the pending queue; a failing one is refused.
  contexts.emplace_back(&order, 3);
  ASSERT_EQ(post_nop(fn.cqp, contexts.back(), MifhPostMode::Queueing), 0u);
  EXPECT_FALSE(ZekIsListEmpty(&fn.cqp->PendingQueue));
  EXPECT_EQ(mifh_cqp_nop(fn.cqp), MIFH_STATUS_NO_WQE);
  EXPECT_TRUE(logged("mifh_cqp_nop: mifh_cqp_get_next_send_wqe returned NULL"));

  // The adapter completes the three; the ring has room again, but requests
  // are pending, so a new one queues behind them rather than passing them.
  settle();
  ASSERT_EQ(mifh_process_ccq(fn.ccq), 0u);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  contexts.emplace_back(&order, 4);
  ASSERT_EQ(post_nop(fn.cqp, contexts.back(), MifhPostMode::Queueing), 0u);
  EXPECT_EQ(mifh_cqp_nop(fn.cqp), MIFH_STATUS_NO_WQE) << "a failing request does not pass pending ones either";
  EXPECT_EQ(mifh_pool_available(MIFH_POOL_CQP_PEND, 0), 0u);

  // The refill issues them in the order they were built and returns the buffers.
  EXPECT_EQ(mifh_free_CQPPendQ_buffer(fn.cqp), 0u);
  EXPECT_TRUE(ZekIsListEmpty(&fn.cqp->PendingQueue));
  EXPECT_EQ(mifh_pool_available(MIFH_POOL_CQP_PEND, 0), 2u);
  settle();
  ASSERT_EQ(mifh_process_ccq(fn.ccq), 0u);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(board().faults().refused_requests, 0u);
}

TEST_F(CqpTest, AQueueingRequestWithoutAPendingBufferIsRefusedNotWritten) {
  HwFunction& fn = bring_up(0, 4);
  std::deque<TestContext> contexts;
  for (int i = 0; i < 3; ++i) {
    contexts.emplace_back();
    ASSERT_EQ(post_nop(fn.cqp, contexts.back(), MifhPostMode::Queueing), 0u);
  }
  // Use up the host's memory: the object slabs, then every pending buffer.
  while (mifh_pool_allocate(MIFH_POOL_IWARP_ADAPTER, 0) != nullptr) {
  }
  while (mifh_allocate_cqp_pend_q() != nullptr) {
  }
  contexts.emplace_back();
  EXPECT_EQ(post_nop(fn.cqp, contexts.back(), MifhPostMode::Queueing), MIFH_STATUS_NO_MEMORY);
  EXPECT_TRUE(ZekIsListEmpty(&fn.cqp->PendingQueue));
  drain(fn);
  EXPECT_EQ(contexts[2].completions, 1);
  EXPECT_EQ(contexts[3].completions, 0);
}

TEST_F(CqpTest, RefillStopsWhenTheRingIsFullAndKeepsTheRestInOrder) {
  HwFunction& fn = bring_up(0, 4);
  std::deque<TestContext> contexts;
  std::vector<int> order;
  for (int i = 0; i < 8; ++i) {
    contexts.emplace_back(&order, i);
    ASSERT_EQ(post_nop(fn.cqp, contexts.back(), MifhPostMode::Queueing), 0u);
  }
  for (int round = 0; round < 3 && order.size() < 8; ++round) {
    settle();
    ASSERT_EQ(mifh_process_ccq(fn.ccq), 0u);
    ASSERT_EQ(mifh_free_CQPPendQ_buffer(fn.cqp), 0u);
  }
  settle();
  ASSERT_EQ(mifh_process_ccq(fn.ccq), 0u);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST_F(CqpTest, DoorbellsAnnounceAtMost255RequestsPerWrite) {
  HwFunction& fn = device(0);
  struct Case {
    std::uint32_t count;
    std::vector<std::uint32_t> chunks;
  };
  for (const Case& c : {Case{1, {1}}, Case{255, {255}}, Case{256, {255, 1}}, Case{600, {255, 255, 90}}}) {
    take_writes(0);
    // Queue 40 is no queue of this adapter: the doorbells are only counted.
    mifh_write_wqe_doorbell(&fn.device, nullptr, 40, c.count, true);
    std::vector<std::uint32_t> seen;
    for (const RegisterWrite& w : take_writes(0)) {
      ASSERT_EQ(w.offset, kRegWqeDoorbell);
      EXPECT_EQ(w.value & kDbQueueIdMask, 40u);
      EXPECT_NE(w.value & kDbSendQueue, 0u);
      seen.push_back(w.value >> kDbCountShift);
    }
    EXPECT_EQ(seen, c.chunks) << c.count;
  }
}

TEST_F(CqpTest, ProcessCcqStopsAfter430AndGivesBackInChunks) {
  HwFunction& fn = bring_up(0, 512, 1024);
  std::deque<TestContext> contexts;
  std::vector<int> order;
  for (int i = 0; i < 431; ++i) {
    contexts.emplace_back(&order, i);
    ASSERT_EQ(post_nop(fn.cqp, contexts.back(), MifhPostMode::Failing), 0u);
  }
  settle();
  const std::uint32_t tail_before = mifh_cqp_tail(fn.cqp);
  take_writes(0);
  ASSERT_EQ(mifh_process_ccq(fn.ccq), 0u);
  EXPECT_EQ(order.size(), 430u);
  EXPECT_EQ(mifh_cqp_tail(fn.cqp), (tail_before + 430) % 512);
  EXPECT_TRUE(logged("mifh_process_ccq: u32NumberOfCompletionsThisEvent 1ae > 429, break out of loop"));
  const std::vector<RegisterWrite> writes = take_writes(0);
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[0].value, cq_give_back(0, 255));
  EXPECT_EQ(writes[1].value, cq_give_back(0, 175));
  EXPECT_EQ(writes[2].value, cq_arm(0, false));

  // The last entry waits for the next call; re-arming with it outstanding
  // made the adapter notify again.
  EXPECT_NE(mifh_nic_process_next_ceq(&fn.device, &fn.ceq0), nullptr);
  ASSERT_EQ(mifh_process_ccq(fn.ccq), 0u);
  EXPECT_EQ(order.size(), 431u);
  EXPECT_EQ(mifh_cqp_tail(fn.cqp), fn.cqp->RingIndex.Head);
  EXPECT_EQ(board().faults().bad_give_backs, 0u);
}

TEST_F(CqpTest, WithNoValidEntryNothingIsGivenBackAndTheCcqIsRearmed) {
  HwFunction& fn = bring_up(1);
  const std::uint32_t tail = mifh_cqp_tail(fn.cqp);
  take_writes(1);
  ASSERT_EQ(mifh_process_ccq(fn.ccq), 0u);
  const std::vector<RegisterWrite> writes = take_writes(1);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].value, cq_arm(1, false));
  EXPECT_EQ(mifh_cqp_tail(fn.cqp), tail);
}

TEST_F(CqpTest, CompletionsRaiseCompletionEventsAndInterruptsThroughTheArmedCcq) {
  RecordingSink sink;
  board().connect_interrupts(&sink);
  HwFunction& fn = bring_up(1);
  // Unmask the control CEQ and turn on the master enable, as the miniport does.
  mifh_write_reg(&fn.device, kRegIntrMask, kIntrMasterEnable | (kIntrCauseBits & ~intr_ceq_bit(1)));
  const std::size_t before = sink.count();
  TestContext nop;
  ASSERT_EQ(post_nop(fn.cqp, nop, MifhPostMode::Failing), 0u);
  settle();
  EXPECT_EQ(sink.count(), before + 1) << "the armed CCQ's completion interrupts once";
  EXPECT_NE(mifh_read_reg(&fn.device, kRegIntrCause) & intr_ceq_bit(1), 0u);
  // The CEQE names the CCQ object; an iWARP-form CQ's id goes to 0x34.
  EXPECT_EQ(mifh_nic_process_next_ceq(&fn.device, &fn.ceq0), fn.ccq);
  EXPECT_EQ(mifh_nic_process_next_ceq(&fn.device, &fn.ceq0), nullptr);
  EXPECT_EQ(board().mmio_read(1, zeksim::Window::Registers, kRegServicedCq, 4), 1u);
  ASSERT_EQ(mifh_process_ccq(fn.ccq), 0u);
  EXPECT_EQ(nop.completions, 1);
  // Disarmed until the processing re-armed it: a second request notifies again.
  TestContext second;
  ASSERT_EQ(post_nop(fn.cqp, second, MifhPostMode::Failing), 0u);
  mifh_write_reg(&fn.device, kRegIntrCause, intr_ceq_bit(1));
  settle();
  EXPECT_EQ(sink.count(), before + 2);
  EXPECT_EQ(mifh_nic_process_next_ceq(&fn.device, &fn.ceq0), fn.ccq);
  ASSERT_EQ(mifh_process_ccq(fn.ccq), 0u);
  EXPECT_EQ(second.completions, 1);
  board().connect_interrupts(nullptr);
}

TEST_F(CqpTest, OnTheEngineThreadRequestsCompleteAndTheIndexRegistersStayApart) {
  // Bring-up waits with timed delays, which take no real time on the virtual
  // clock: it runs in step mode, and the engine thread takes over after.
  HwFunction& f0 = bring_up(0);
  HwFunction& f1 = bring_up(1);
  board().start();
  std::atomic<int> done{0};
  auto worker = [&](HwFunction& fn) {
    for (int i = 0; i < 200; ++i) {
      std::uint32_t value = 0;
      mifh_read_indexed(&fn.device, idx_queue_status(fn.device.PciFunction), &value);
      EXPECT_EQ(value & (kStatusCqp | kStatusCcq), kStatusCqp | kStatusCcq);
      mifh_write_indexed(&fn.device, idx_scratchpad(fn.device.PciFunction), static_cast<std::uint32_t>(i));
    }
    ++done;
  };
  // Two threads on one function's pair: the two drivers of one PCI function.
  std::thread a(worker, std::ref(f0));
  std::thread b(worker, std::ref(f0));
  a.join();
  b.join();
  EXPECT_EQ(done.load(), 2);
  // A request on each function completes on the engine thread.
  TestContext n0, n1;
  ASSERT_EQ(post_nop(f0.cqp, n0, MifhPostMode::Failing), 0u);
  ASSERT_EQ(post_nop(f1.cqp, n1, MifhPostMode::Failing), 0u);
  EXPECT_TRUE(eventually([&] {
    mifh_process_ccq(f0.ccq);
    mifh_process_ccq(f1.ccq);
    return n0.completions == 1 && n1.completions == 1;
  }));
}

}  // namespace
