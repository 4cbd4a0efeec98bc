// The memory-region translation manager: the page-list layout chosen for a
// region against the budgets, and what a region takes and gives back.
#include "proxy/rdma/hw/pool_ops.h"
#include "proxy/rdma/hw/pools.h"
#include "tests/proxy/rdma/rm/rm_fixture.h"

namespace {

using Mrte = RmTest;

TEST_F(Mrte, PageListLayoutFollowsTheEntryCountAndTheBudgets) {
  struct Case {
    const char* name;
    std::uint32_t entries;
    std::int32_t free256, free4k, initial4k;
    ZekStatus status;
    ZekPblChoice choice;
  };
  const Case cases[] = {
      {"32 pages, one 256-byte chunk", 32, 10, 10, 10, 0, {1, 256, 1, 1, 0}},
      {"32 pages, no 256-byte chunk left", 32, 0, 10, 10, 0, {1, 4096, 1, 1, 0}},
      {"32 pages, a negative budget is none", 32, -3, 0, 10, 1, {}},
      {"512 pages, one 4 KB chunk", 512, 10, 10, 10, 0, {1, 4096, 1, 1, 0}},
      {"600 pages, two leaves and a root", 600, 100, 100, 100, 0, {2, 4096, 2, 3, 8192}},
      {"100 pages, 4 KB budget at half", 100, 100, 50, 100, 0, {2, 256, 4, 5, 512}},
      {"100 pages, 4 KB at half and too few 256", 100, 4, 50, 100, 0, {1, 4096, 1, 1, 0}},
      {"600 pages, too few of either", 600, 10, 2, 100, 1, {}},
      {"4096 pages, eight leaves and a root", 4096, 1000, 9, 100, 0, {2, 4096, 8, 9, 8192}},
      {"4096 pages, one chunk short", 4096, 1000, 8, 100, 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ZekPblChoice choice{9, 9, 9, 9, 9};
    EXPECT_EQ(MRTE_ChoosePbl(c.entries, false, c.free256, c.free4k, c.initial4k, &choice), c.status);
    EXPECT_EQ(choice.Levels, c.choice.Levels);
    EXPECT_EQ(choice.ChunkSize, c.choice.ChunkSize);
    EXPECT_EQ(choice.ChunkCount, c.choice.ChunkCount);
    EXPECT_EQ(choice.Taken, c.choice.Taken);
    EXPECT_EQ(choice.RootBytes, c.choice.RootBytes);
  }
  ZekPblChoice choice{};
  EXPECT_EQ(MRTE_ChoosePbl(1000, true, 0, 0, 0, &choice), ZEK_STATUS_PASS);
  EXPECT_EQ(choice.Levels, 0u) << "a contiguous region has no list";
}

class MrteRegions : public RmTest {
 protected:
  void SetUp() override {
    RmTest::SetUp();
    ASSERT_EQ(mifh_create_mem_resources(), 0u);
    ASSERT_EQ(Create_GIM(&gim_, device(0)), ZEK_STATUS_PASS);
    ASSERT_EQ(Create_MRTEM(&mrte_, &g_ZekGimTable, gim_, device(0)), ZEK_STATUS_PASS);
  }
  void TearDown() override {
    if (list_ != nullptr) OSPrimMemDMAFree(list_);
    EXPECT_EQ(Cleanup_MRTEM(mrte_), ZEK_STATUS_PASS);
    EXPECT_EQ(Cleanup_GIM(gim_), ZEK_STATUS_PASS);
    mifh_destroy_mem_resources();
    RmTest::TearDown();
  }

  // A page list in adapter-visible memory: `count` pages of `size`, every
  // other page skipped so that it is not contiguous unless asked.
  std::uint64_t* pages(std::uint32_t count, std::uint32_t size, bool contiguous) {
    if (list_ != nullptr) OSPrimMemDMAFree(list_);
    void* block = nullptr;
    EXPECT_EQ(OSPrimMemDMAAllocate(&block, count * 8), ZEK_STATUS_PASS);
    list_ = static_cast<std::uint64_t*>(block);
    for (std::uint32_t i = 0; i < count; ++i)
      list_[i] = 0x100000000ull + std::uint64_t{i} * size * (contiguous ? 1 : 2);
    return list_;
  }

  ZekMrteQuery query() {
    ZekMrteQuery q{};
    EXPECT_EQ(MRTE_Serf_QueryResourceAllocation(mrte_, &q), ZEK_STATUS_PASS);
    return q;
  }

  ZekGim* gim_ = nullptr;
  ZekMrte* mrte_ = nullptr;
  std::uint64_t* list_ = nullptr;
};

TEST_F(MrteRegions, ARegionTakesItsChunksAndTeardownGivesThemBack) {
  EXPECT_EQ(query().Initial4k, 50u) << "the adapter's 100 less 50 kept back";
  ZekMrDescription mr{};
  mr.PageList = pages(600, 4096, false);
  mr.PageCount = 600;
  mr.PageSize = 4096;
  mr.VirtualAddress = 0x7000'1234;
  ZekMrChunks chunks{};
  ZekMrAllocInfo info{};
  ASSERT_EQ(MRTE_Serf_Setup_MR_From_Verbs(mrte_, &mr, &chunks, &info), ZEK_STATUS_PASS);
  EXPECT_EQ(info.Levels, 2u);
  EXPECT_EQ(mr.ChunkSize, 4096u);
  EXPECT_EQ(mr.ChunkCount, 2u);
  EXPECT_EQ(mr.FirstByteOffset, 0x234u);
  EXPECT_EQ(mr.PageCount, 600u * 8);
  EXPECT_EQ(chunks.Chunks4k, 3u);
  EXPECT_EQ(query().Used4k, 3u);
  ASSERT_NE(info.Root, nullptr);
  EXPECT_EQ(info.AddressList, nullptr) << "the caller's 4 KB list serves as it is";
  ASSERT_EQ(MRTE_Serf_Create_Complete(mrte_, &info), ZEK_STATUS_PASS);
  ASSERT_EQ(MRTE_Serf_Teardown_MR(mrte_, &chunks), ZEK_STATUS_PASS);
  EXPECT_EQ(query().Used4k, 0u);
}

TEST_F(MrteRegions, ContiguousAndOversizedAndOddPageLists) {
  ZekMrChunks chunks{};
  ZekMrAllocInfo info{};
  ZekMrDescription mr{};
  mr.PageList = pages(8, 4096, true);
  mr.PageCount = 8;
  mr.PageSize = 4096;
  ASSERT_EQ(MRTE_Serf_Setup_MR_From_Verbs(mrte_, &mr, &chunks, &info), ZEK_STATUS_PASS);
  EXPECT_EQ(info.Levels, 0u);
  EXPECT_EQ(mr.PageListAddress, list_[0]) << "a contiguous region starts at its first page";
  EXPECT_EQ(chunks.Chunks256 + chunks.Chunks4k, 0u);

  // Pages of 8 KB are re-expressed as 4 KB pages: 1 page list of 2 x 4 entries.
  mr = ZekMrDescription{};
  mr.PageList = pages(4, 8192, false);
  mr.PageCount = 4;
  mr.PageSize = 8192;
  ASSERT_EQ(MRTE_Serf_Setup_MR_From_Verbs(mrte_, &mr, &chunks, &info), ZEK_STATUS_PASS);
  EXPECT_EQ(mr.PageSize, 4096u);
  ASSERT_NE(info.AddressList, nullptr);
  const auto* made = static_cast<const std::uint64_t*>(info.AddressList);
  EXPECT_EQ(made[0], list_[0]);
  EXPECT_EQ(made[1], list_[0] + 4096);
  EXPECT_EQ(made[2], list_[1]);
  EXPECT_EQ(chunks.Chunks256, 1u);
  ASSERT_EQ(MRTE_Serf_Create_Complete(mrte_, &info), ZEK_STATUS_PASS);
  ASSERT_EQ(MRTE_Serf_Teardown_MR(mrte_, &chunks), ZEK_STATUS_PASS);

  // 131,073 pages of 16 KB are 524,292 entries of 4 KB: refused, nothing kept.
  mr = ZekMrDescription{};
  mr.PageList = pages(131073, 16384, false);
  mr.PageCount = 131073;
  mr.PageSize = 16384;
  EXPECT_EQ(MRTE_Serf_Setup_MR_From_Verbs(mrte_, &mr, &chunks, &info), ZEK_STATUS_FAIL);
  EXPECT_TRUE(logged("is more than max supported 512 k entries"));

  mr.PageSize = 1000;
  EXPECT_EQ(MRTE_Serf_Setup_MR_From_Verbs(mrte_, &mr, &chunks, &info), ZEK_STATUS_FAIL);
  EXPECT_TRUE(logged("Page size smaller than 4K"));
  EXPECT_EQ(MRTE_Serf_Setup_MR_From_Verbs(mrte_, &mr, &chunks, nullptr), ZEK_STATUS_BAD_PTR);
  EXPECT_EQ(query().Used4k + query().Used256, 0u);
}

// A region refused for want of chunks gives back the address list made for it.
TEST_F(MrteRegions, ARefusedRegionReturnsItsAddressList) {
  for (int i = 0; i < 50; ++i) ASSERT_EQ(MRTE_Serf_AllocatePBLChunk(mrte_, 4096), ZEK_STATUS_PASS);
  for (int i = 0; i < 50; ++i) ASSERT_EQ(MRTE_Serf_AllocatePBLChunk(mrte_, 256), ZEK_STATUS_PASS);
  EXPECT_EQ(MRTE_Serf_AllocatePBLChunk(mrte_, 256), ZEK_STATUS_FAIL);
  EXPECT_EQ(MRTE_Serf_AllocatePBLChunk(mrte_, 512), ZEK_STATUS_FAIL);
  ASSERT_EQ(mifh_create_pbl_buffer_pool(mifh_pbl_class(256), 2), ZEK_STATUS_PASS);
  const std::uint32_t available = mifh_pool_available(MIFH_POOL_PBL, mifh_pbl_class(256));
  ASSERT_GE(available, 2u);
  ZekMrDescription mr{};
  mr.PageList = pages(16, 8192, false);
  mr.PageCount = 16;
  mr.PageSize = 8192;
  ZekMrChunks chunks{};
  ZekMrAllocInfo info{};
  EXPECT_EQ(MRTE_Serf_Setup_MR_From_Verbs(mrte_, &mr, &chunks, &info), ZEK_STATUS_FAIL);
  EXPECT_EQ(info.AddressList, nullptr);
  EXPECT_TRUE(logged("mrte: low pbl count, 4KByte 0x0 256 byte 0x0"));
  EXPECT_EQ(mifh_pool_available(MIFH_POOL_PBL, mifh_pbl_class(256)), available) << "the list went back";
  EXPECT_EQ(chunks.Chunks256 + chunks.Chunks4k, 0u);
  for (int i = 0; i < 50; ++i) MRTE_Serf_FreePBLChunk(mrte_, 4096);
  for (int i = 0; i < 50; ++i) MRTE_Serf_FreePBLChunk(mrte_, 256);
}

}  // namespace
