// Resource numbering: blocks lent by the owner GRoMiT, numbers handed out by
// each function's LaRMiT, and what happens to both when a function leaves or
// the owner changes.
#include <algorithm>
#include <set>
#include <vector>

#include "tests/proxy/rdma/rm/rm_fixture.h"

namespace {

class Numbering : public RmTest {
 protected:
  struct Function {
    ZekGim* gim = nullptr;
    ZekGromit* gromit = nullptr;
    ZekLarmit* larmit = nullptr;
  };

  void join(std::uint32_t f) {
    Function& fn = functions_[f];
    ASSERT_EQ(Create_GIM(&fn.gim, device(f)), ZEK_STATUS_PASS);
    ASSERT_EQ(CreateGromit(&fn.gromit, &g_ZekGimTable, fn.gim, device(f), f), ZEK_STATUS_PASS);
    ASSERT_EQ(L_Initialize(&fn.larmit, &g_ZekGromitTable, fn.gromit), ZEK_STATUS_PASS);
  }

  // The function's managers go in the attach's reverse order.
  void leave(std::uint32_t f) {
    Function& fn = functions_[f];
    if (fn.larmit != nullptr) {
      EXPECT_EQ(L_Free(fn.larmit), ZEK_STATUS_PASS);
    }
    if (fn.gromit != nullptr) {
      EXPECT_EQ(Cleanup_Gromit(fn.gromit), ZEK_STATUS_PASS);
    }
    if (fn.gim != nullptr) {
      EXPECT_EQ(Cleanup_GIM(fn.gim), ZEK_STATUS_PASS);
    }
    fn = Function{};
  }

  std::uint32_t get(std::uint32_t f, std::uint32_t type) {
    std::uint32_t number = ~0u;
    EXPECT_EQ(L_GetResource(functions_[f].larmit, type, &number), ZEK_STATUS_PASS);
    return number;
  }

  ZekLarmit* larmit(std::uint32_t f) { return functions_[f].larmit; }
  ZekGromit* gromit(std::uint32_t f) { return functions_[f].gromit; }

  Function functions_[kFunctions];
};

// For each type: the first number is the range's base, numbers within a
// block come in order, and the number after a block's last one borrows the
// next block.
TEST_F(Numbering, NumbersComeFromBorrowedBlocksInOrder) {
  join(0);
  struct Case {
    std::uint32_t type;
    std::uint32_t block_size;
    std::uint32_t base;
  };
  const Case cases[] = {
      {ZEK_RES_QP, 8, 0}, {ZEK_RES_CQ, 8, 8}, {ZEK_RES_MR, 1, 0}, {ZEK_RES_PD, 8, 0}, {ZEK_RES_USERPD, 8, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ZekResourceTypeName(c.type));
    for (std::uint32_t i = 0; i <= c.block_size; ++i) EXPECT_EQ(get(0, c.type), c.base + i);
    ZekAllocationRecord local{}, global{};
    ASSERT_EQ(L_QueryResourceAllocation(larmit(0), &local, &global), ZEK_STATUS_PASS);
    EXPECT_EQ(local.Words[c.type], 2 * c.block_size) << "two blocks borrowed";
    EXPECT_EQ(local.Words[8 + c.type], c.block_size + 1);
    EXPECT_EQ(global.Words[8 + c.type], 2 * c.block_size);
  }
  leave(0);
}

// Frees that are not this manager's to take fail (and say why); the number
// stays usable.
TEST_F(Numbering, BadFreesAreRefused) {
  join(0);
  const std::uint32_t qp = get(0, ZEK_RES_QP);
  ASSERT_EQ(L_FreeResource(larmit(0), ZEK_RES_QP, qp), ZEK_STATUS_PASS);
  struct Case {
    std::uint32_t type;
    std::uint32_t number;
    const char* logged;
  };
  const Case cases[] = {
      {ZEK_RES_QP, qp, "was freed twice"},
      {ZEK_RES_CQ, 3, "was less than the Base offset"},
      {ZEK_RES_QP, 64, "Invalid Resource Number (QP 40)"},
      {ZEK_RES_QP, 17, "Freed which was not allocated"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logged);
    OSPrimLogRingClear();
    EXPECT_EQ(L_FreeResource(larmit(0), c.type, c.number), ZEK_STATUS_FAIL);
    EXPECT_TRUE(logged(c.logged)) << ring_text();
  }
  EXPECT_EQ(get(0, ZEK_RES_QP), qp);
  EXPECT_EQ(L_GetResource(nullptr, ZEK_RES_QP, nullptr), ZEK_STATUS_FAIL);
  EXPECT_TRUE(logged("L_GetQueuePair::pLaRMiT was NULL"));
  EXPECT_EQ(L_GetResource(larmit(0), ZEK_RES_QP, nullptr), ZEK_STATUS_BAD_PTR);
  leave(0);
}

// All blocks lent, one given back: exactly one more block can be lent.
TEST_F(Numbering, AGivenBackBlockIsLentOnceMore) {
  join(0);
  std::uint32_t first = 0, size = 0;
  std::vector<std::uint32_t> lent;
  while (GRomit_Serf_AllocBlock(gromit(0), ZEK_RES_CQ, &first, &size) == ZEK_STATUS_PASS) lent.push_back(first);
  EXPECT_EQ(lent.size(), 4u);
  EXPECT_EQ(GRomit_Serf_AllocBlock(gromit(0), ZEK_RES_CQ, &first, &size), ZEK_GROMIT_NO_BLOCK);
  ASSERT_EQ(GRomit_Serf_FreeBlock(gromit(0), ZEK_RES_CQ, lent[2], 8), ZEK_STATUS_PASS);
  EXPECT_EQ(GRomit_Serf_FreeBlock(gromit(0), ZEK_RES_CQ, lent[2], 8), ZEK_STATUS_FAIL) << "not lent any more";
  EXPECT_EQ(GRomit_Serf_FreeBlock(gromit(0), ZEK_RES_CQ, lent[1] + 1, 8), ZEK_STATUS_FAIL) << "not a block start";
  EXPECT_EQ(GRomit_Serf_FreeBlock(gromit(0), ZEK_RES_CQ, 8 + 4 * 8, 8), ZEK_STATUS_FAIL) << "past the pool";
  ASSERT_EQ(GRomit_Serf_AllocBlock(gromit(0), ZEK_RES_CQ, &first, &size), ZEK_STATUS_PASS);
  EXPECT_EQ(first, lent[2]);
  EXPECT_EQ(GRomit_Serf_AllocBlock(gromit(0), ZEK_RES_CQ, &first, &size), ZEK_GROMIT_NO_BLOCK);
  EXPECT_EQ(GRomit_Serf_AllocBlock(gromit(0), 6, &first, &size), ZEK_GROMIT_BAD_TYPE);
  for (std::uint32_t block : lent) GRomit_Serf_FreeBlock(gromit(0), ZEK_RES_CQ, block, 8);
  leave(0);
}

// A function that leaves holding blocks: they are reported, and they go back
// to the ring so that the others can borrow them.
TEST_F(Numbering, BlocksOfAFunctionThatLeftCanBeBorrowedAgain) {
  join(0);
  join(1);
  // Function 1 borrows every CQ block and leaves without giving them back.
  std::uint32_t first = 0, size = 0;
  for (int i = 0; i < 4; ++i) ASSERT_EQ(GRomit_Serf_AllocBlock(gromit(1), ZEK_RES_CQ, &first, &size), ZEK_STATUS_PASS);
  std::uint32_t number = 0;
  EXPECT_EQ(L_GetResource(larmit(0), ZEK_RES_CQ, &number), ZEK_STATUS_FAIL);
  EXPECT_TRUE(logged("CreateBlock: Out of CQs"));
  leave(1);
  EXPECT_TRUE(logged("A Block of Resources was never freed"));
  for (std::uint32_t i = 0; i < 40 - 8; ++i) EXPECT_EQ(get(0, ZEK_RES_CQ), 8 + i);
  leave(0);
}

// The owner leaves while a follower holds blocks: the new owner never lends
// a block that is still out, and every free block can still be had.
TEST_F(Numbering, ANewOwnerLendsOnlyFreeBlocks) {
  join(0);
  join(1);
  std::set<std::uint32_t> held;
  for (std::uint32_t i = 0; i < 16; ++i) held.insert(get(1, ZEK_RES_QP));  // two blocks of eight
  leave(0);
  ASSERT_EQ(gromit(1)->Head.Owner, &gromit(1)->Head);
  std::uint32_t first = 0, size = 0;
  std::set<std::uint32_t> blocks;
  while (GRomit_Serf_AllocBlock(gromit(1), ZEK_RES_QP, &first, &size) == ZEK_STATUS_PASS) {
    EXPECT_FALSE(held.count(first)) << "block " << first << " lent twice";
    blocks.insert(first);
  }
  EXPECT_EQ(blocks.size(), 8u - 2u);
  for (std::uint32_t block : blocks) ASSERT_EQ(GRomit_Serf_FreeBlock(gromit(1), ZEK_RES_QP, block, 8), ZEK_STATUS_PASS);
  for (std::uint32_t qp : held) ASSERT_EQ(L_FreeResource(larmit(1), ZEK_RES_QP, qp), ZEK_STATUS_PASS);
  leave(1);
}

// A block borrowed into a lower slot after a higher one must not hide the
// higher one: a number freed there is handed out again before any new block
// is borrowed.
TEST_F(Numbering, ALowerBlockDoesNotHideAHigherOne) {
  join(0);
  join(1);
  get(1, ZEK_RES_CQ);  // function 1 takes CQ block 0 (numbers 8-15)
  std::vector<std::uint32_t> mine;
  for (std::uint32_t i = 0; i < 8; ++i) mine.push_back(get(0, ZEK_RES_CQ));  // block 1: 16-23
  EXPECT_EQ(mine.front(), 16u);
  ASSERT_EQ(L_Free(larmit(1)), ZEK_STATUS_PASS);  // block 0 goes back
  functions_[1].larmit = nullptr;
  // Function 1 holds block 2 (24-31), so the ring lends block 3, then block 0.
  std::uint32_t block2 = 0, size = 0;
  ASSERT_EQ(GRomit_Serf_AllocBlock(gromit(1), ZEK_RES_CQ, &block2, &size), ZEK_STATUS_PASS);
  EXPECT_EQ(block2, 24u);
  for (std::uint32_t i = 0; i < 8; ++i) get(0, ZEK_RES_CQ);  // block 3
  EXPECT_EQ(get(0, ZEK_RES_CQ), 8u) << "block 0, in slot 0";
  ASSERT_EQ(L_FreeResource(larmit(0), ZEK_RES_CQ, 20), ZEK_STATUS_PASS);
  EXPECT_EQ(get(0, ZEK_RES_CQ), 9u) << "block 0 still has room";
  for (std::uint32_t i = 10; i < 16; ++i) get(0, ZEK_RES_CQ);
  EXPECT_EQ(get(0, ZEK_RES_CQ), 20u) << "the freed number in slot 1 is found";
  ASSERT_EQ(GRomit_Serf_FreeBlock(gromit(1), ZEK_RES_CQ, block2, 8), ZEK_STATUS_PASS);
  leave(1);
  leave(0);
}

}  // namespace
