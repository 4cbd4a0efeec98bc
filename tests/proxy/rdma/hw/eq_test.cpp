// Event queues: the AEQ and CEQ creation rules, the bounded wait for the
// control CEQ, and the reading of CEQ entries.
#include "proxy/rdma/hw/eq.h"

#include "tests/proxy/rdma/hw/hwif_fixture.h"

namespace {

using namespace zekhw;

class EqTest : public HwifTest {};

TEST_F(EqTest, EventQueueCreationRules) {
  HwFunction& fn = bring_up(1);
  MifhAeqObject aeq{};
  aeq.Device = &fn.device;
  aeq.ElementCount = 16;
  EXPECT_EQ(mifh_aeq_create(&aeq, 8, 0), MIFH_STATUS_INVALID_ID);
  EXPECT_EQ(mifh_aeq_create(&aeq, 0, 0), MIFH_STATUS_INVALID_ID) << "only the function's own AEQ";
  EXPECT_EQ(mifh_aeq_create(&aeq, 1, 1), MIFH_STATUS_VIRTUAL);
  MifhCeqObject ceq{};
  ceq.Device = &fn.device;
  ceq.ElementCount = 16;
  EXPECT_EQ(mifh_ceq_create(&ceq, 16, 0), MIFH_STATUS_INVALID_ID);
  EXPECT_EQ(mifh_ceq_create(&ceq, 3, 1), MIFH_STATUS_VIRTUAL);
  EXPECT_TRUE(logged("mifh_aeq_create: u32AEQId (0x8) is invalid"));
  EXPECT_TRUE(logged(" mifh_aeq_create: AEQ ID is not equal to pciFuncId in device object"));
  EXPECT_TRUE(logged("mifh_aeq_create: virtually mapped AEQ is not supported yet"));
  EXPECT_TRUE(logged("mifh_ceq_create: u32CEQId (0x10) is invalid"));
  EXPECT_TRUE(logged("mifh_ceq_create: virtually mapped CEQ is not supported yet"));
  EXPECT_EQ(board().queue_status(1), kStatusCqp | kStatusCcq | kStatusCeq | kStatusAeq);
}

TEST_F(EqTest, TheCcqWaitGivesUpOnlyAfterItsBound) {
  HwFunction& fn = device(0);
  make_cqp(fn, 32, 0);
  void* ring = nullptr;
  ASSERT_EQ(mifh_iwarp_cq_allocate(&fn.ccq, &ring, 64), 0u);
  ASSERT_EQ(mifh_iwarp_cq_init(&fn.device, fn.ccq, ring, pa_of(ring), 64, 0), 0u);
  set_auto_step(false);  // an adapter that never gets to the request
  const auto before = clock().now();
  EXPECT_EQ(mifh_ccq_create(fn.ccq, 0, 0), MIFH_STATUS_FAIL);
  EXPECT_GE(clock().now() - before, MIFH_CONTROL_QUEUE_WAIT_ROUNDS * plat::Clock::kUnitsPerMs)
      << "ten milliseconds are not enough for an adapter that is merely slow to be scheduled";
  EXPECT_TRUE(logged("mifh_ccq_create failed FILE["));
  set_auto_step(true);
}

TEST_F(EqTest, TheControlCeqWaitGivesUpAfterItsBound) {
  HwFunction& fn = device(0);
  make_cqp(fn, 32, 0);
  set_auto_step(false);  // the CEQ create is never carried out
  init_ceq(fn, fn.ceq0, dma(fn, 64 * 8), 64);
  const auto before = clock().now();
  EXPECT_EQ(mifh_ceq_create(&fn.ceq0, 0, 0), MIFH_STATUS_FAIL);
  // 5000 rounds of 1 ms: long enough for an adapter that is merely slow to
  // be scheduled, bounded for one that never answers.
  EXPECT_GE(clock().now() - before, MIFH_CONTROL_QUEUE_WAIT_ROUNDS * plat::Clock::kUnitsPerMs);
  EXPECT_LT(clock().now() - before, (MIFH_CONTROL_QUEUE_WAIT_ROUNDS + 10) * plat::Clock::kUnitsPerMs);
  EXPECT_TRUE(logged("mifh_cceq_create failed: FILE["));
  // Another CEQ of the function does not wait for the control CEQ's bit.
  MifhCeqObject other{};
  init_ceq(fn, other, dma(fn, 64 * 8), 64);
  EXPECT_EQ(mifh_ceq_create(&other, 8, 0), 0u);
  set_auto_step(true);
}

TEST_F(EqTest, CeqReadingSkipsEntriesThatNameNoCqAndStopsAtAnEmptySlot) {
  HwFunction& fn = device(0);
  MifhCeqObject ceq{};
  init_ceq(fn, ceq, dma(fn, 8 * 8), 8);
  MifhCqObject* cq = nullptr;
  void* ring = nullptr;
  ASSERT_EQ(mifh_iwarp_cq_allocate(&cq, &ring, 32), 0u);
  ASSERT_EQ(mifh_iwarp_cq_init(&fn.device, cq, ring, pa_of(ring), 32, 0), 0u);
  cq->CqId = 77;
  MifhCqObject not_a_cq{};  // no signature
  ceq.Ring[0] = ceqe_value(0xCCCCCCCCull >> 1);
  ceq.Ring[1] = ceqe_value(reinterpret_cast<std::uint64_t>(&not_a_cq) >> 1);
  ceq.Ring[2] = ceqe_value(reinterpret_cast<std::uint64_t>(cq) >> 1);
  ceq.Ring[3] = ceqe_value(0);  // valid, but names nothing: the end
  EXPECT_EQ(mifh_nic_process_next_ceq(&fn.device, &ceq), cq);
  EXPECT_EQ(ceq.RingIndex.Tail, 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ceq.Ring[i] >> 32, 0u) << "slot " << i << " given back";
  EXPECT_EQ(board().mmio_read(0, zeksim::Window::Registers, kRegServicedCq, 4), 77u);
  EXPECT_EQ(mifh_nic_process_next_ceq(&fn.device, &ceq), nullptr);
  EXPECT_EQ(ceq.RingIndex.Tail, 3u);
  EXPECT_TRUE(logged("mifh_nic_process_next_ceq: hw returned bad cq object pointer"));
  mifh_free_iwarp_cq(cq);
}

}  // namespace
