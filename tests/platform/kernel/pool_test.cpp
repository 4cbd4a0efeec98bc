// Tagged pool: accounting per tag, alignment, physical addresses, and the
// faults of bad frees.
#include "tests/support/kernel_fixture.h"

namespace {

class PoolTest : public KernelTest {};

constexpr ULONG kTagA = MAKEFOURCC_LE('T', 'a', 'g', 'A');
constexpr ULONG kTagB = MAKEFOURCC_LE('T', 'a', 'g', 'B');

TEST_F(PoolTest, AccountingPerTagShowsLeaks) {
  void* a1 = ExAllocatePoolWithTag(NonPagedPool, 100, kTagA);
  void* a2 = ExAllocatePoolWithTag(PagedPool, 5000, kTagA);
  void* b1 = ExAllocatePoolWithTag(NonPagedPool, 7, kTagB);
  ASSERT_TRUE(a1 && a2 && b1);
  auto a = kernel().pool().usage(kTagA);
  EXPECT_EQ(a.allocations, 2u);
  EXPECT_EQ(a.blocks_in_use(), 2u);
  EXPECT_EQ(a.bytes_in_use, 5100u);
  ExFreePoolWithTag(a1, kTagA);
  ExFreePool(a2);
  EXPECT_EQ(kernel().pool().usage(kTagA).blocks_in_use(), 0u);
  EXPECT_EQ(kernel().pool().leak_report(), "TagB: 1 blocks, 7 bytes\n");
  ExFreePoolWithTag(b1, kTagB);
  EXPECT_EQ(kernel().pool().leak_report(), "");
}

struct SizeCase {
  SIZE_T bytes;
  ULONG alignment;
};
// ctest lists a case by what it asks for, not by its bytes.
void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.bytes << " bytes"; }

class PoolSizeTest : public PoolTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(PoolSizeTest, BlocksAreAlignedUsableAndPhysicallyAddressed) {
  const SizeCase c = GetParam();
  auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, c.bytes, kTagA));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(block) % c.alignment, 0u);
  std::memset(block, 0x5A, c.bytes);
  EXPECT_EQ(kernel().pool().block_size(block), c.bytes);
  // Every byte has a physical address, and it reads back through DMA.
  for (SIZE_T off : {SIZE_T{0}, c.bytes / 2, c.bytes - 1}) {
    PHYSICAL_ADDRESS pa = MmGetPhysicalAddress(block + off);
    ASSERT_NE(pa.QuadPart, 0);
    UCHAR byte = 0;
    ASSERT_TRUE(kernel().memory().dma_read(static_cast<std::uint64_t>(pa.QuadPart), &byte, 1));
    EXPECT_EQ(byte, 0x5A);
  }
  ExFreePoolWithTag(block, kTagA);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PoolSizeTest,
                         ::testing::Values(SizeCase{1, 16}, SizeCase{16, 16}, SizeCase{2032, 16},
                                           SizeCase{2033, PAGE_SIZE}, SizeCase{PAGE_SIZE, PAGE_SIZE},
                                           SizeCase{3 * PAGE_SIZE + 5, PAGE_SIZE}),
                         [](const auto& info) { return "Bytes" + std::to_string(info.param.bytes); });

TEST_F(PoolTest, FreedBlocksAreReusedOnlyAfterOthers) {
  void* first = ExAllocatePoolWithTag(NonPagedPool, 40, kTagA);
  ExFreePool(first);
  void* second = ExAllocatePoolWithTag(NonPagedPool, 40, kTagA);
  EXPECT_NE(first, second) << "a just-freed block is handed out again at once";
  ExFreePool(second);
}

using PoolDeathTest = PoolTest;

TEST_F(PoolDeathTest, BadFreesStopWithThePlace) {
  EXPECT_DEATH(
      {
        void* p = ExAllocatePoolWithTag(NonPagedPool, 64, kTagA);
        ExFreePool(p);
        ExFreePool(p);
      },
      "block freed twice.*\n.*pool_test.cpp");
  EXPECT_DEATH(
      {
        void* p = ExAllocatePoolWithTag(NonPagedPool, 8000, kTagA);
        ExFreePool(p);
        ExFreePool(p);
      },
      "not a pool block");
  EXPECT_DEATH(
      {
        void* p = ExAllocatePoolWithTag(NonPagedPool, 64, kTagA);
        ExFreePoolWithTag(p, kTagB);
      },
      "block tag 'TagA', freed with 'TagB'");
  EXPECT_DEATH(
      {
        static int not_pool[16];
        ExFreePool(&not_pool[4]);
      },
      "not a pool block");
}

}  // namespace
