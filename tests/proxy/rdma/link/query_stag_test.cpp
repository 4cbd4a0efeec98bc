// The query-STag request against the adapter model: a registered region
// answers with its key and valid, an index naming nothing with major code
// 0xFFFF, and an index too large for an STag is refused before it is built.
#include "proxy/rdma/hw/query_stag.h"

#include <gtest/gtest.h>

#include "proxy/rdma/hw/work_requests.h"
#include "tests/proxy/rdma/hw/hwif_fixture.h"

namespace {

class QueryStagTest : public HwifTest {};

TEST_F(QueryStagTest, AnswersKeyAndValidOrNoSuchEntry) {
  HwFunction& fn = bring_up(0);
  void* page = nullptr;
  ASSERT_EQ(OSPrimMemDMAAllocate(&page, 4096), 0u);
  MifhMrDescription mr{};
  mr.PblPa = pa_of(page);  // contiguous: the first page
  mr.Length = 4096;
  mr.PageSize = 4096;
  mr.Access = 0x3;
  mr.Key = 0x5A;
  mr.StagIndex = 0x1234;
  TestContext registered;
  ASSERT_EQ(mifh_mr_register_non_shared(&fn.device, &mr, registered.get(), 1), 0u);
  TestContext known, unknown;
  ASSERT_EQ(mifh_query_stag(&fn.device, 0x1234, known.get()), 0u);
  ASSERT_EQ(mifh_query_stag(&fn.device, 0x4321, unknown.get()), 0u);
  drain(fn);
  ASSERT_EQ(registered.completions, 1);
  EXPECT_EQ(registered.context.ErrorFlag, 0);
  ASSERT_EQ(known.completions, 1);
  EXPECT_EQ(known.context.MajorCode, 0);
  EXPECT_EQ(known.context.MinorCode, 0) << "valid";
  EXPECT_EQ(known.context.ExtraByte, 0x5A) << "the key";
  ASSERT_EQ(unknown.completions, 1);
  EXPECT_EQ(unknown.context.MajorCode, 0xFFFF);
  OSPrimMemDMAFree(page);
}

TEST_F(QueryStagTest, IndexBeyondTwentyFourBitsIsRefused) {
  HwFunction& fn = bring_up(0);
  const std::uint32_t head = fn.cqp->RingIndex.Head;
  TestContext c;
  EXPECT_EQ(mifh_query_stag(&fn.device, MIFH_MAX_STAG_INDEX + 1, c.get()), MIFH_STATUS_FAIL);
  EXPECT_EQ(fn.cqp->RingIndex.Head, head) << "nothing built";
  EXPECT_EQ(mifh_query_stag(nullptr, 1, c.get()), MIFH_STATUS_FAIL);
  ASSERT_EQ(mifh_query_stag(&fn.device, MIFH_MAX_STAG_INDEX, c.get()), 0u);
  const auto& w = fn.cqp_ring[head];
  EXPECT_EQ(w.op_word, 0x0Bu);
  EXPECT_EQ(w.object_word, 0u);
  EXPECT_EQ(w.physical_address, 0u);
  EXPECT_EQ(w.operation_word, std::uint64_t{MIFH_MAX_STAG_INDEX} << 8);
  drain(fn);
  EXPECT_EQ(c.completions, 1);
}

}  // namespace
