// The control queue pair: creation through the indexed registers, requests
// carried out in ring order with one CCQ entry each (none for the CCQ
// create/destroy and the CQP destroy), and the error codes of refused
// requests.
#include "tests/support/sim_fixture.h"

namespace {

using namespace zekhw;

class CqpTest : public SimTest {};

TEST_F(CqpTest, BringUpSetsStatusBitsOnlyWhenTheEngineRuns) {
  HostQueues host(*this, 1);
  host.start_cqp(1);
  EXPECT_EQ(host.status(), 0u) << "nothing happens before the engine steps";
  board().run_until_idle();
  EXPECT_EQ(host.status(), kStatusCqp);

  host.create_ccq(1);
  board().run_until_idle();
  EXPECT_EQ(host.status(), kStatusCqp | kStatusCcq);
  EXPECT_EQ(host.next_ccqe(), nullptr) << "the CCQ create is never reported";

  host.post(HostQueues::request(create_ceq_word(1), 64, host.ceq().pa()));
  host.post(HostQueues::request(create_ceq_word(9), 64, alloc(4096).pa()));
  host.post(HostQueues::request(create_aeq_word(1), 16, host.aeq().pa()));
  host.post(HostQueues::request(kOpNop));
  board().run_until_idle();
  EXPECT_EQ(host.status(), kStatusCqp | kStatusCcq | kStatusCeq | kStatusAeq)
      << "CEQ 9 (function + 8) has no status bit";
  for (std::uint32_t op : {kOpCreateCeq, kOpCreateCeq, kOpCreateAeq, kOpNop}) {
    const MifhCqe* e = host.next_ccqe();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->flags, kCqeValid | op);
    EXPECT_EQ(e->tag, HostQueues::kCqpObject);
    EXPECT_EQ(e->codes, 0u);
  }
  EXPECT_EQ(host.next_ccqe(), nullptr);
  // Function 0 saw none of it.
  EXPECT_EQ(idx_rd(0, idx_queue_status(0)), 0u);
}

TEST_F(CqpTest, TeardownClearsStatusBitsAndReportsOnlyTheQueueDestroys) {
  HostQueues host(*this, 0);
  host.bring_up();
  ASSERT_EQ(host.status(), kStatusCqp | kStatusCcq | kStatusCeq | kStatusAeq);
  host.post(HostQueues::request(destroy_aeq_word(0)));
  host.post(HostQueues::request(destroy_ceq_word(0)));
  board().run_until_idle();
  EXPECT_EQ(host.status(), kStatusCqp | kStatusCcq);
  EXPECT_EQ(host.next_ccqe()->flags, kCqeValid | kOpDestroyAeq);
  EXPECT_EQ(host.next_ccqe()->flags, kCqeValid | kOpDestroyCeq);

  host.post(HostQueues::request(destroy_cq_word(), host.ccq_id()));
  board().run_until_idle();
  EXPECT_EQ(host.status(), kStatusCqp);
  EXPECT_EQ(host.next_ccqe(), nullptr) << "the CCQ destroy is never reported";

  host.post(HostQueues::request(kOpWordDestroyCqp, 0));
  board().run_until_idle();
  EXPECT_EQ(host.status(), 0u);
  EXPECT_EQ(host.next_ccqe(), nullptr);
  EXPECT_EQ(board().faults().lost_completions, 0u);

  // The CQP is gone: its doorbell reaches nothing.
  host.doorbell(1);
  EXPECT_EQ(board().faults().stray_doorbells, 1u);
}

TEST_F(CqpTest, DestroyingTheCqpTakesItsCcqAlongAndAllowsANewBringUp) {
  HostQueues host(*this, 0);
  host.bring_up();
  host.post(HostQueues::request(kOpWordDestroyCqp, 0));
  board().run_until_idle();
  EXPECT_EQ(host.status(), kStatusCeq | kStatusAeq) << "CQP and CCQ are gone; the event queues stay";
  // The driver loads again: the same CQP and CCQ ids come back.
  HostQueues again(*this, 0);
  again.start_cqp(0);
  board().run_until_idle();
  again.create_ccq(0);
  board().run_until_idle();
  EXPECT_EQ(again.status(), kStatusCqp | kStatusCcq | kStatusCeq | kStatusAeq);
  again.post(HostQueues::request(kOpNop));
  board().run_until_idle();
  ASSERT_NE(again.next_ccqe(), nullptr);
}

TEST_F(CqpTest, RefusedRequestsCompleteWithTheirErrorCodes) {
  HostQueues host(*this, 0);
  host.bring_up();
  DmaBuffer& ring = alloc(4096);
  // A CQ and a CEQ that exist, for the "already exists" rows.
  host.post(HostQueues::create_cq(100, 0, 32, ring.pa()));
  host.post(HostQueues::request(create_ceq_word(8), 16, alloc(4096).pa()));
  board().run_until_idle();
  ASSERT_EQ(host.next_ccqe()->flags, kCqeValid | kOpCreateCq);
  ASSERT_EQ(host.next_ccqe()->flags, kCqeValid | kOpCreateCeq);
  DmaBuffer& freed = alloc(4096);
  std::uint64_t freed_pa = freed.pa();
  freed.release();

  struct Row {
    const char* what;
    MifhCqpWqe wqe;
    std::uint16_t minor;
  };
  const Row rows[] = {
      {"CQ id above 32768", HostQueues::create_cq(kMaxCqId + 1, 0, 32, ring.pa()), kCcqIdTooBig},
      {"CQ on CEQ 16", HostQueues::create_cq(101, 16, 32, ring.pa()), kCcqIdTooBig},
      {"CQ of 0 entries", HostQueues::create_cq(101, 0, 0, ring.pa()), kCcqInvalidQueueSize},
      {"CQ of 32769 entries", HostQueues::create_cq(101, 0, kMaxCqEntries + 1, ring.pa()), kCcqInvalidQueueSize},
      {"CQ that exists", HostQueues::create_cq(100, 0, 32, ring.pa()), kCcqInvalidState},
      {"CQ ring not in memory", HostQueues::create_cq(101, 0, 32, freed_pa), kCcqBackingState},
      {"CQ ring at 0", HostQueues::create_cq(101, 0, 32, 0), kCcqBackingState},
      {"page-list CQ", HostQueues::request(create_cq_word(32, true, false, true), cq_object_word(101, 0), ring.pa()),
       kCcqUnsupported},
      {"modify a CQ never created", HostQueues::request(modify_cq_word(32), cq_object_word(102, 0), ring.pa()),
       kCcqInvalidState},
      {"destroy a CQ never created", HostQueues::request(destroy_cq_word(), 102), kCcqInvalidState},
      {"CEQ 16", HostQueues::request(create_ceq_word(16), 16, ring.pa()), kCcqIdTooBig},
      {"CEQ of 0 entries", HostQueues::request(create_ceq_word(3), 0, ring.pa()), kCcqInvalidQueueSize},
      {"CEQ that exists", HostQueues::request(create_ceq_word(8), 16, ring.pa()), kCcqInvalidState},
      {"destroy a CEQ never created", HostQueues::request(destroy_ceq_word(5)), kCcqInvalidState},
      {"AEQ of a function the board lacks", HostQueues::request(create_aeq_word(2), 16, ring.pa()), kCcqIdTooBig},
      {"AEQ that exists", HostQueues::request(create_aeq_word(0), 16, ring.pa()), kCcqInvalidState},
      {"AEQ of 0x20001 entries", HostQueues::request(create_aeq_word(1), kMaxAeqEntries + 1, ring.pa()),
       kCcqInvalidQueueSize},
      {"destroy an AEQ never created", HostQueues::request(destroy_aeq_word(1)), kCcqInvalidState},
      {"destroy another CQP", HostQueues::request(kOpWordDestroyCqp, 8), kCcqInvalidState},
      {"NIC QP whose context is not in memory", HostQueues::request(0x258000, 16), kCcqBackingState},
      {"QP of an unknown type", HostQueues::request(0x00030000, 16), kCcqInvalidQpType},
      {"unknown op code", HostQueues::request(0x3F), kCcqUnsupported},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    host.post(row.wqe);
    board().run_until_idle();
    const MifhCqe* e = host.next_ccqe();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->flags, kCqeValid | kCqeError | (row.wqe.op_word & kCqeOpMask));
    EXPECT_EQ(e->codes, (std::uint32_t{kCcqMajorRefused} << 16) | row.minor);
    EXPECT_EQ(e->tag, HostQueues::kCqpObject);
    EXPECT_EQ(host.next_ccqe(), nullptr) << "exactly one entry";
    host.release_ccq();
  }
  EXPECT_EQ(board().faults().refused_requests, std::size(rows));
  // Nothing the host sent changed what exists.
  EXPECT_EQ(host.status(), kStatusCqp | kStatusCcq | kStatusCeq | kStatusAeq);
}

TEST_F(CqpTest, RequestsCompleteInRingOrderOnePerStep) {
  HostQueues host(*this, 0, /*size_code=*/0);  // a ring of 4: three requests in flight
  host.bring_up();
  DmaBuffer& ring = alloc(4096);
  // Wrap the ring twice with a mix of good and refused requests, each batch
  // announced by one doorbell.
  const MifhCqpWqe batch[] = {
      HostQueues::request(kOpNop),
      HostQueues::create_cq(7, 0, 16, ring.pa()),
      HostQueues::request(destroy_cq_word(), 8),  // refused: no CQ 8
      HostQueues::request(destroy_cq_word(), 7),
      HostQueues::request(kOpNop),
      HostQueues::request(0x3F),
  };
  for (std::size_t first = 0; first < std::size(batch); first += 3) {
    for (std::size_t i = first; i < first + 3; ++i) host.post(batch[i], false);
    host.doorbell(3);
    EXPECT_EQ(host.next_ccqe(), nullptr) << "the doorbell alone does nothing in step mode";
    for (std::size_t i = first; i < first + 3; ++i) {
      ASSERT_TRUE(board().step());
      const MifhCqe* e = host.next_ccqe();
      ASSERT_NE(e, nullptr) << "request " << i;
      EXPECT_EQ(e->flags & kCqeOpMask, batch[i].op_word & kCqeOpMask) << "request " << i;
      EXPECT_EQ(host.next_ccqe(), nullptr) << "one entry per step";
    }
    EXPECT_FALSE(board().step());
    host.release_ccq();
  }
}

TEST_F(CqpTest, ControlQueuePairsOfTwoFunctionsAreIndependent) {
  HostQueues f0(*this, 0), f1(*this, 1);
  f0.bring_up();
  f1.bring_up();
  f0.post(HostQueues::request(kOpNop));
  f1.post(HostQueues::request(kOpNop));
  f1.post(HostQueues::request(kOpNop));
  board().run_until_idle();
  EXPECT_NE(f0.next_ccqe(), nullptr);
  EXPECT_EQ(f0.next_ccqe(), nullptr);
  EXPECT_NE(f1.next_ccqe(), nullptr);
  EXPECT_NE(f1.next_ccqe(), nullptr);
  EXPECT_EQ(f1.next_ccqe(), nullptr);
}

TEST_F(CqpTest, CreationChecksTheIdAgainstTheFunction) {
  struct Row {
    unsigned function, id;
    bool created;
  };
  for (Row row : {Row{1, 1, true}, Row{1, 9, true}, Row{1, 2, false}, Row{0, 1, false}}) {
    SCOPED_TRACE(testing::Message() << "function " << row.function << " id " << row.id);
    HostQueues host(*this, row.function);
    host.start_cqp(row.id);
    board().run_until_idle();
    EXPECT_EQ(host.status() & kStatusCqp, row.created ? kStatusCqp : 0u);
    if (row.created) {
      host.post(HostQueues::request(kOpWordDestroyCqp, row.id));
      board().run_until_idle();
      EXPECT_EQ(host.status(), 0u);
    }
  }
}

TEST_F(CqpTest, BadAddressesAreCountedNotFatal) {
  // A host context that is not in memory: no CQP.
  HostQueues host(*this, 0);
  DmaBuffer& gone = alloc(4096);
  std::uint64_t gone_pa = gone.pa();
  gone.release();
  host.start_cqp(0, gone_pa);
  board().run_until_idle();
  EXPECT_EQ(host.status(), 0u);
  EXPECT_EQ(board().faults().dma_faults, 1u);
  EXPECT_GE(board().platform_dma_faults(), 1u);

  // A working CQP whose ring is freed under it: the request it cannot read
  // still completes, with the backing-state error.
  host.bring_up();
  host.ring().release();
  host.doorbell(1);
  board().run_until_idle();
  const MifhCqe* e = host.next_ccqe();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->flags & kCqeError, kCqeError);
  EXPECT_EQ(e->codes & kCqeMinorMask, kCcqBackingState);
  EXPECT_EQ(board().faults().dma_faults, 2u);
}

TEST_F(CqpTest, DoorbellsBeyondTheRingAreClamped) {
  HostQueues host(*this, 0, 0);  // 4 slots: at most 3 announced
  host.bring_up();
  for (int i = 0; i < 3; ++i) host.post(HostQueues::request(kOpNop), false);
  host.doorbell(200);
  EXPECT_EQ(board().run_until_idle(), 3u);
  EXPECT_EQ(board().faults().stray_doorbells, 1u);
}

}  // namespace
