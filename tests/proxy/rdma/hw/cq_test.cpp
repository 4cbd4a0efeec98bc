// Completion queues: CQ objects and their limits, the CQ requests against
// the simulated adapter, and freeing by size.
#include "proxy/rdma/hw/cq.h"

#include "tests/proxy/rdma/hw/hwif_fixture.h"

namespace {

using namespace zekhw;

class CqTest : public HwifTest {};

TEST_F(CqTest, AFreshIwarpCqGivesAllButOneSlotToTheAdapter) {
  HwFunction& fn = device(0);
  for (std::uint32_t count : {1u, 100u, 32768u}) {
    MifhCqObject* cq = nullptr;
    void* ring = nullptr;
    ASSERT_EQ(mifh_iwarp_cq_allocate(&cq, &ring, count), 0u) << count;
    std::memset(ring, 0xAB, std::size_t{count} * 32);
    ASSERT_EQ(mifh_iwarp_cq_init(&fn.device, cq, ring, pa_of(ring), count, 7), 0u);
    EXPECT_EQ(cq->RingIndex.Head, count - 1);
    EXPECT_EQ(cq->RingIndex.Tail, 0u);
    EXPECT_EQ(cq->RingIndex.Size, count);
    EXPECT_EQ(cq->Kind, MIFH_CQ_KIND_IWARP);
    EXPECT_EQ(cq->Signature, MIFH_CQ_SIGNATURE);
    EXPECT_EQ(cq->Enable, 1);
    EXPECT_EQ(cq->ParameterWord, 7u);
    EXPECT_EQ(static_cast<std::uint8_t*>(ring)[std::size_t{count} * 32 - 1], 0) << "the ring is zeroed";
    mifh_free_iwarp_cq(cq);
  }
}

TEST_F(CqTest, CountsAndIdsOutsideTheirRangesAreRefused) {
  HwFunction& fn = bring_up(0);
  MifhCqObject* cq = nullptr;
  void* ring = nullptr;
  EXPECT_EQ(mifh_iwarp_cq_allocate(&cq, &ring, 0), MIFH_STATUS_INVALID_COUNT);
  EXPECT_EQ(mifh_iwarp_cq_allocate(&cq, &ring, 32769), MIFH_STATUS_INVALID_COUNT);
  EXPECT_EQ(cq, nullptr);
  ASSERT_EQ(mifh_iwarp_cq_allocate(&cq, &ring, 64), 0u);
  EXPECT_EQ(mifh_iwarp_cq_init(&fn.device, cq, ring, pa_of(ring), 32769, 0), MIFH_STATUS_CQ_INIT_INVALID_COUNT);
  ASSERT_EQ(mifh_iwarp_cq_init(&fn.device, cq, ring, pa_of(ring), 64, 0), 0u);
  EXPECT_EQ(mifh_iwarptoe_cq_create(cq, 32769, 8, 1, 1, nullptr), MIFH_STATUS_INVALID_ID);
  EXPECT_EQ(mifh_iwarptoe_cq_create(cq, 20, 16, 1, 1, nullptr), MIFH_STATUS_INVALID_ID);
  EXPECT_EQ(mifh_nic_cq_create(cq, 16, nullptr), MIFH_STATUS_INVALID_ID);
  EXPECT_EQ(mifh_cq_modify(cq, 16, nullptr), MIFH_STATUS_INVALID_ID);
  EXPECT_EQ(fn.cqp->RingIndex.Head, mifh_cqp_tail(fn.cqp)) << "nothing was posted";
  // The largest id is accepted, and the adapter creates it.
  TestContext created;
  ASSERT_EQ(mifh_iwarptoe_cq_create(cq, 32768, 8, 1, 1, created.get()), 0u);
  drain(fn);
  EXPECT_EQ(created.completions, 1);
  EXPECT_EQ(created.context.ErrorFlag, 0);
  TestContext destroyed;
  ASSERT_EQ(mifh_cq_destroy(cq, destroyed.get()), 0u);
  drain(fn);
  EXPECT_EQ(destroyed.context.ErrorFlag, 0);
  mifh_free_iwarp_cq(cq);
  EXPECT_TRUE(logged(" mifh_iwarp_cq_allocate: CQ element count (0x8001)is invalid"));
  EXPECT_TRUE(logged(" mifh_iwarp_cq_init: CQ element count (0x8001) is invalid"));
  EXPECT_TRUE(logged("mifh_iwarptoe_cq_create: u32CQId (0x8001) is invalid"));
  EXPECT_TRUE(logged("mifh_iwarptoe_cq_create: u32CEQId (0x10) is invalid"));
  EXPECT_TRUE(logged("mifh_nic_cq_create: u32CEQId (0x10) is invalid"));
}

TEST_F(CqTest, NicCqCreateAndModifyRoundTripAndFailWhenTheRingIsFull) {
  HwFunction& fn = bring_up(0, 4);
  MifhCqObject* cq = nullptr;
  void* ring = nullptr;
  ASSERT_EQ(mifh_nic_cq_allocate(&cq, &ring), 0u);
  EXPECT_EQ(mifh_pool_available(MIFH_POOL_NIC_CQ, 1024), 15u);
  // The NIC queue pair's completion queue, as the proxy driver fills it.
  cq->Device = &fn.device;
  cq->CqId = 24;
  cq->Ring = ring;
  cq->RingPa = pa_of(ring);
  cq->ElementCount = MIFH_NIC_CQ_ENTRIES;
  cq->RingIndex = {MIFH_NIC_CQ_ENTRIES - 1, 0, MIFH_NIC_CQ_ENTRIES};
  cq->Kind = MIFH_CQ_KIND_NIC;
  cq->Enable = 1;
  cq->Signature = MIFH_CQ_SIGNATURE;
  TestContext created, modified;
  ASSERT_EQ(mifh_nic_cq_create(cq, 8, created.get()), 0u);
  const MifhCqpWqe& wqe = fn.cqp_ring[(fn.cqp->RingIndex.Head + 3) % 4];
  EXPECT_EQ(wqe.op_word, create_cq_word(1024, false));
  EXPECT_EQ(wqe.object_word, cq_object_word(24, 8));
  ASSERT_EQ(mifh_cq_modify(cq, 8, modified.get()), 0u);
  EXPECT_EQ(fn.cqp_ring[(fn.cqp->RingIndex.Head + 3) % 4].op_word, modify_cq_word(1024));
  EXPECT_EQ(fn.cqp_ring[(fn.cqp->RingIndex.Head + 3) % 4].physical_address, pa_of(ring));
  // The third fills the ring; the fourth of these "failing" requests is refused.
  ASSERT_EQ(mifh_cqp_nop(fn.cqp), 0u);
  EXPECT_EQ(mifh_cq_modify(cq, 8, nullptr), MIFH_STATUS_NO_WQE);
  EXPECT_EQ(mifh_nic_cq_create(cq, 8, nullptr), MIFH_STATUS_NO_WQE);
  EXPECT_TRUE(logged("mifh_cq_modify: mifh_cqp_get_next_send_wqe returned NULL"));
  EXPECT_TRUE(ZekIsListEmpty(&fn.cqp->PendingQueue));
  drain(fn);
  EXPECT_EQ(created.context.ErrorFlag, 0);
  EXPECT_EQ(modified.context.OpCode, kOpModifyCq);
  EXPECT_EQ(modified.context.ErrorFlag, 0);
  TestContext destroyed;
  ASSERT_EQ(mifh_cq_destroy(cq, destroyed.get()), 0u);
  drain(fn);
  EXPECT_EQ(destroyed.completions, 1);
  ASSERT_EQ(mifh_free_nic_cq(cq), 0u);
  EXPECT_EQ(mifh_pool_available(MIFH_POOL_NIC_CQ, 1024), 16u);
}

TEST_F(CqTest, ANicCqOfAnotherSizeIsNotReturnedToAPool) {
  MifhCqObject* cq = nullptr;
  void* ring = nullptr;
  ASSERT_EQ(mifh_nic_cq_allocate(&cq, &ring), 0u);
  cq->Ring = ring;
  cq->ElementCount = 100;
  const std::uint32_t objects = mifh_pool_available(MIFH_POOL_CQ_OBJECT, 0);
  ASSERT_EQ(mifh_free_nic_cq(cq), 0u);
  EXPECT_TRUE(logged("mifh_free_nic_cq: wrong CQ entry size (0x64)"));
  EXPECT_EQ(mifh_pool_available(MIFH_POOL_NIC_CQ, 1024), 15u);
  EXPECT_EQ(mifh_pool_available(MIFH_POOL_CQ_OBJECT, 0), objects + 1) << "the object still goes back";
}

TEST_F(CqTest, IwarpCqRingsGoBackToTheClassThatHoldsTheirCount) {
  HwFunction& fn = device(0);
  MifhCqObject* cq = nullptr;
  void* ring = nullptr;
  ASSERT_EQ(mifh_iwarp_cq_allocate(&cq, &ring, 33), 0u);
  ASSERT_EQ(mifh_iwarp_cq_init(&fn.device, cq, ring, pa_of(ring), 33, 0), 0u);
  EXPECT_EQ(mifh_pool_available(MIFH_POOL_IWARP_CQ, 64), 0u);
  ASSERT_EQ(mifh_free_iwarp_cq(cq), 0u);
  EXPECT_EQ(mifh_pool_available(MIFH_POOL_IWARP_CQ, 64), 1u);
  EXPECT_EQ(cq->Signature, 0u) << "a returned CQ object is cleared";
}

}  // namespace
