// Contiguous memory through the memory manager's routines: translation both
// ways, accounting, and a free of pool as contiguous memory.
#include "tests/support/kernel_fixture.h"

namespace {

class ContiguousMemoryTest : public KernelTest {};

TEST_F(ContiguousMemoryTest, MmRoutinesTranslateAndAccount) {
  PHYSICAL_ADDRESS highest;
  highest.QuadPart = -1;
  auto* va = static_cast<char*>(MmAllocateContiguousMemory(3 * PAGE_SIZE + 1, highest));
  ASSERT_NE(va, nullptr);
  EXPECT_EQ(kernel().contiguous().bytes_in_use(), 4u * PAGE_SIZE);
  PHYSICAL_ADDRESS pa = MmGetPhysicalAddress(va + 2 * PAGE_SIZE + 7);
  EXPECT_EQ(pa.QuadPart, MmGetPhysicalAddress(va).QuadPart + 2 * PAGE_SIZE + 7);
  EXPECT_EQ(MmGetVirtualForPhysical(pa), va + 2 * PAGE_SIZE + 7);
  EXPECT_TRUE(MmIsAddressValid(va));
  MmFreeContiguousMemory(va);
  EXPECT_FALSE(MmIsAddressValid(va));
}

using ContiguousMemoryDeathTest = ContiguousMemoryTest;

TEST_F(ContiguousMemoryDeathTest, FreeingPoolAsContiguousStops) {
  EXPECT_DEATH(
      {
        void* p = ExAllocatePoolWithTag(NonPagedPool, 2 * PAGE_SIZE, MAKEFOURCC_LE('P', 'o', 'o', 'l'));
        MmFreeContiguousMemory(p);
      },
      "not a contiguous block");
}

}  // namespace
