// The driver-wide pools: start-up counts and fall-backs, every class of every
// pool carved and returned with its alignment, the size-class rules, pools
// that never grow, and a start-up and clean-up that leave nothing behind.
#include <cstring>

#include "proxy/rdma/hw/pool_ops.h"
#include "tests/proxy/rdma/hw/hwif_fixture.h"

namespace {

// Pools only: no board is needed beyond the fixture's.
class PoolsTest : public HwifTest {};

struct PoolClass {
  MifhPoolId pool;
  std::uint32_t size_class;
  std::uint32_t align;
  std::uint32_t used;  // bytes the caller may use
};

// Every class of every pool, with its alignment.
const PoolClass kEveryClass[] = {
    {MIFH_POOL_MBUF, 0, 8, 32},
    {MIFH_POOL_PD_OBJECT, 0, 8, 272},
    {MIFH_POOL_CQ_OBJECT, 0, 8, 488},
    {MIFH_POOL_IWARP_CQ, 32, 4096, (32 + 128) * 32},
    {MIFH_POOL_IWARP_CQ, 64, 4096, (64 + 128) * 32},
    {MIFH_POOL_IWARP_CQ, 512, 4096, (512 + 128) * 32},
    {MIFH_POOL_IWARP_CQ, 1024, 4096, (1024 + 128) * 32},
    {MIFH_POOL_IWARP_CQ, 4096, 4096, (4096 + 128) * 32},
    {MIFH_POOL_IWARP_CQ, 8192, 4096, (8192 + 128) * 32},
    {MIFH_POOL_IWARP_CQ, 16384, 4096, (16384 + 128) * 32},
    {MIFH_POOL_NIC_CQ, 512, 4096, (512 + 256) * 16},
    {MIFH_POOL_NIC_CQ, 1024, 4096, (1024 + 256) * 16},
    {MIFH_POOL_QP_OBJECT, 0, 2048, 1232},
    {MIFH_POOL_IWARPTOE_QP_CONTEXT, 0, 4096, 8192},
    {MIFH_POOL_NIC_QP_CONTEXT, 0, 4096, 8192},
    {MIFH_POOL_IWARP_SQ, 4, 4096, (4 + 32) * 128},
    {MIFH_POOL_IWARP_SQ, 32, 4096, (32 + 32) * 128},
    {MIFH_POOL_IWARP_SQ, 128, 4096, (128 + 32) * 128},
    {MIFH_POOL_IWARP_SQ, 512, 4096, (512 + 32) * 128},
    {MIFH_POOL_IWARP_RQ, 4, 4096, (4 + 32) * 128},
    {MIFH_POOL_IWARP_RQ, 512, 4096, (512 + 32) * 128},
    {MIFH_POOL_NIC_SQ, 4, 4096, (4 + 64) * 64},
    {MIFH_POOL_NIC_SQ, 32, 4096, (32 + 64) * 64},
    {MIFH_POOL_NIC_SQ, 128, 4096, (128 + 64) * 64},
    {MIFH_POOL_NIC_SQ, 512, 4096, (512 + 64) * 64},
    {MIFH_POOL_NIC_RQ, 4, 4096, (4 + 64) * 64},
    {MIFH_POOL_NIC_RQ, 512, 4096, (512 + 64) * 64},
    {MIFH_POOL_TOE_SQ, 4, 4096, (4 + 32) * 128},
    {MIFH_POOL_TOE_SQ, 512, 4096, (512 + 32) * 128},
    {MIFH_POOL_TOE_RQ, 32, 4096, (32 + 32) * 128},
    {MIFH_POOL_TOE_RQ, 128, 4096, (128 + 32) * 128},
    {MIFH_POOL_Q2, 0, 128, 1024},
    {MIFH_POOL_PBL, 1024, 8, 1024},
    {MIFH_POOL_PBL, 4096, 8, 4096},
    {MIFH_POOL_PBL, 8192, 8, 8192},
    {MIFH_POOL_PBL, 65536, 8, 65536},
    {MIFH_POOL_PBL, 0x100000, 8, 0x100000},
    {MIFH_POOL_PBL, 0x400000, 8, 0x400000},
    {MIFH_POOL_FAST_REGISTER, 0, 1, 56},
    {MIFH_POOL_STAGINFO, 0, 1, 312},
    {MIFH_POOL_IWARP_ADAPTER, 0, 1, 157536},
    {MIFH_POOL_IRP_CONTEXT, 0, 1, 24},
    {MIFH_POOL_ASYNC_CONTEXT, 0, 1, 144},
    {MIFH_POOL_STAGALLOC, 0, 1, 32},
    {MIFH_POOL_ERRORQP_QUEUE, 0, 1, 8000},
    {MIFH_POOL_IFR, 0, 1, 2496},
    {MIFH_POOL_CQP_PEND, 0, 1, 88},
    {MIFH_POOL_CLEANUP_CONTEXT, 0, 1, 16},
    {MIFH_POOL_ASYNC_EVENT_PENDING, 0, 1, 56},
};

bool is_dma_pool(MifhPoolId pool) {
  switch (pool) {
    case MIFH_POOL_IWARP_CQ:
    case MIFH_POOL_NIC_CQ:
    case MIFH_POOL_IWARPTOE_QP_CONTEXT:
    case MIFH_POOL_NIC_QP_CONTEXT:
    case MIFH_POOL_IWARP_SQ:
    case MIFH_POOL_IWARP_RQ:
    case MIFH_POOL_NIC_SQ:
    case MIFH_POOL_NIC_RQ:
    case MIFH_POOL_TOE_SQ:
    case MIFH_POOL_TOE_RQ:
    case MIFH_POOL_Q2:
    case MIFH_POOL_PBL:
      return true;
    default:
      return false;
  }
}

TEST_F(PoolsTest, StartUpCreatesTheCountsOfTheTable) {
  EXPECT_EQ(mifh_pool_growth_size(), 0x801000u);
  struct Count {
    MifhPoolId pool;
    std::uint32_t size_class;
    std::uint32_t count;
  };
  for (const Count& c :
       {Count{MIFH_POOL_PD_OBJECT, 0, 32}, Count{MIFH_POOL_CQ_OBJECT, 0, 32}, Count{MIFH_POOL_NIC_CQ, 512, 16},
        Count{MIFH_POOL_NIC_CQ, 1024, 16}, Count{MIFH_POOL_QP_OBJECT, 0, 128},
        Count{MIFH_POOL_IWARPTOE_QP_CONTEXT, 0, 32}, Count{MIFH_POOL_NIC_QP_CONTEXT, 0, 16},
        Count{MIFH_POOL_NIC_SQ, 4, 16}, Count{MIFH_POOL_NIC_SQ, 512, 16}, Count{MIFH_POOL_NIC_RQ, 32, 16},
        Count{MIFH_POOL_NIC_RQ, 128, 16}, Count{MIFH_POOL_TOE_SQ, 4, 1}, Count{MIFH_POOL_TOE_SQ, 512, 1},
        Count{MIFH_POOL_TOE_RQ, 128, 1}, Count{MIFH_POOL_IWARP_CQ, 512, 0}, Count{MIFH_POOL_IWARP_SQ, 4, 0},
        Count{MIFH_POOL_Q2, 0, 0}, Count{MIFH_POOL_PBL, 1024, 0}, Count{MIFH_POOL_CQP_PEND, 0, 0}}) {
    EXPECT_EQ(mifh_pool_available(c.pool, c.size_class), c.count) << "pool " << c.pool << " class " << c.size_class;
  }
  // 1000 descriptors made, one held by each element created at start.
  const std::uint32_t held = 32 + 32 + 32 + 128 + 32 + 16 + 8 * 16 + 8;
  EXPECT_GE(mifh_pool_available(MIFH_POOL_MBUF, 0) + held, 1000u);
  // A second start-up without clean-up is refused.
  EXPECT_EQ(mifh_create_mem_resources(), 1u);
}

TEST_F(PoolsTest, EveryClassIsCarvedAlignedAndReturnedToItsPool) {
  for (const PoolClass& c : kEveryClass) {
    SCOPED_TRACE(testing::Message() << "pool " << c.pool << " class " << c.size_class);
    const std::uint32_t before = mifh_pool_available(c.pool, c.size_class);
    void* a = mifh_pool_allocate(c.pool, c.size_class);
    ASSERT_NE(a, nullptr);
    // A second one where the pool has or makes one (the TOE pools hold one per class).
    const bool grows = !(c.pool >= MIFH_POOL_NIC_SQ && c.pool <= MIFH_POOL_TOE_RQ) && c.pool != MIFH_POOL_NIC_CQ &&
                       c.pool != MIFH_POOL_NIC_QP_CONTEXT;
    void* b = (grows || mifh_pool_available(c.pool, c.size_class) > 0) ? mifh_pool_allocate(c.pool, c.size_class) : a;
    ASSERT_NE(b, nullptr);
    for (void* e : {a, b}) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(e) % c.align, 0u);
      // The whole element is ours: writing it all touches nothing else.
      std::memset(e, 0x5A, c.used);
      if (is_dma_pool(c.pool)) {
        const std::uint64_t first = pa_of(e);
        const std::uint64_t last = pa_of(static_cast<std::uint8_t*>(e) + c.used - 1);
        EXPECT_EQ(last - first, c.used - 1u) << "physically contiguous";
      }
    }
    if (b != a) mifh_pool_free(c.pool, b, c.size_class);
    mifh_pool_free(c.pool, a, c.size_class);
    // Last in, first out.
    EXPECT_EQ(mifh_pool_allocate(c.pool, c.size_class), a);
    mifh_pool_free(c.pool, a, c.size_class);
    if (c.pool != MIFH_POOL_MBUF) {
      EXPECT_GE(mifh_pool_available(c.pool, c.size_class), before);
    }
  }
}

TEST_F(PoolsTest, ObjectsAreClearedWhereTheTableSays) {
  struct Clear {
    MifhPoolId pool;
    std::uint32_t bytes;
  };
  for (const Clear& c : {Clear{MIFH_POOL_QP_OBJECT, 1232}, Clear{MIFH_POOL_PD_OBJECT, 272},
                         Clear{MIFH_POOL_CQ_OBJECT, 488}, Clear{MIFH_POOL_ASYNC_CONTEXT, 144},
                         Clear{MIFH_POOL_IRP_CONTEXT, 24}, Clear{MIFH_POOL_IFR, 2496}, Clear{MIFH_POOL_CQP_PEND, 88}}) {
    auto* e = static_cast<std::uint8_t*>(mifh_pool_allocate(c.pool, 0));
    ASSERT_NE(e, nullptr);
    std::memset(e, 0xEE, c.bytes);
    mifh_pool_free(c.pool, e, 0);
    auto* again = static_cast<std::uint8_t*>(mifh_pool_allocate(c.pool, 0));
    ASSERT_EQ(again, e);
    for (std::uint32_t i = 0; i < c.bytes; ++i) ASSERT_EQ(again[i], 0) << "pool " << c.pool << " byte " << i;
    mifh_pool_free(c.pool, again, 0);
  }
}

TEST_F(PoolsTest, SizeClassesFollowTheRequestedCountOrLength) {
  struct IwarpCase {
    std::uint32_t entries, size_class;
  };
  for (const IwarpCase& c : {IwarpCase{1, 32}, IwarpCase{32, 32}, IwarpCase{33, 64}, IwarpCase{64, 64},
                             IwarpCase{65, 512}, IwarpCase{100, 512}, IwarpCase{513, 1024}, IwarpCase{1025, 4096},
                             IwarpCase{4097, 8192}, IwarpCase{8193, 16384}, IwarpCase{16385, 65536}}) {
    EXPECT_EQ(mifh_iwarp_cq_class(c.entries), c.size_class) << c.entries;
  }
  EXPECT_EQ(mifh_pool_element_bytes(MIFH_POOL_IWARP_CQ, mifh_iwarp_cq_class(100)), 20480u);
  struct PblCase {
    std::uint32_t bytes, size_class;
  };
  for (const PblCase& c : {PblCase{1, 1024}, PblCase{1024, 1024}, PblCase{1025, 4096}, PblCase{5000, 8192},
                           PblCase{65536, 65536}, PblCase{0x100000, 0x100000}, PblCase{0x100001, 0x400000}}) {
    EXPECT_EQ(mifh_pbl_class(c.bytes), c.size_class) << c.bytes;
  }
  void* out = nullptr;
  void* pbl = mifh_allocate_pbl_buffer(0x100001, &out);
  ASSERT_NE(pbl, nullptr);
  EXPECT_EQ(out, pbl);
  std::memset(pbl, 1, 0x400000);
  mifh_free_pbl_buffer(pbl, 0x100001);
  EXPECT_EQ(mifh_pool_available(MIFH_POOL_PBL, 0x400000), 1u);
}

TEST_F(PoolsTest, AWrongClassAddsNothingAndTakesNothing) {
  std::uint32_t before[4];
  const std::uint32_t classes[4] = {4, 32, 128, 512};
  for (int i = 0; i < 4; ++i) before[i] = mifh_pool_available(MIFH_POOL_IWARP_SQ, classes[i]);
  EXPECT_NE(mifh_create_iwarp_sq_pool(16, 4), 0u);
  EXPECT_EQ(mifh_allocate_iwarp_sq(16), nullptr);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(mifh_pool_available(MIFH_POOL_IWARP_SQ, classes[i]), before[i]);
  EXPECT_NE(mifh_create_nic_cq_pool(100, 1), 0u);
  EXPECT_NE(mifh_create_iwarp_cq_pool(128, 1), 0u);
  EXPECT_NE(mifh_create_pbl_buffer_pool(2048, 1), 0u);
  EXPECT_TRUE(logged("mifh_create_iwarp_sq_pool: wrong sq entry size (0x10)"));
  EXPECT_TRUE(logged("mifh_allocate_iwarp_sq: wrong SQ entry size (0x10)"));
  EXPECT_TRUE(logged("mifh_create_nic_cq_pool: wrong CQ entry size (0x64)"));
  EXPECT_TRUE(logged("mifh_create_iwarp_cq_pool: wrong CQ entry size (0x80)"));
  EXPECT_TRUE(logged("mifh_create_pbl_buffer_pool: wrong pbl buffer size(0x800)"));
}

TEST_F(PoolsTest, PoolsThatNeverGrowFailWhenEmpty) {
  std::vector<void*> taken;
  for (int i = 0; i < 16; ++i) {
    void* context = mifh_allocate_nic_qp_host_context();
    ASSERT_NE(context, nullptr);
    taken.push_back(context);
  }
  EXPECT_EQ(mifh_allocate_nic_qp_host_context(), nullptr) << "the 17th, though DMA memory remains";
  EXPECT_TRUE(logged("mifh_allocate_nic_qp_host_context: nic qp host context pool is empty"));
  for (int i = 0; i < 16; ++i) ASSERT_NE(mifh_allocate_nic_sq(512), nullptr);
  EXPECT_EQ(mifh_allocate_nic_sq(512), nullptr);
  EXPECT_TRUE(logged("mifh_allocate_nic_sq: nic sq pool wqe count (512)is empty"));
  for (void* context : taken) mifh_pool_free(MIFH_POOL_NIC_QP_CONTEXT, context, 0);
  EXPECT_NE(mifh_allocate_nic_qp_host_context(), nullptr) << "a returned element can be taken again";
}

TEST_F(PoolsTest, GrowingPoolsGrowByTheirGrowthCount) {
  ASSERT_NE(mifh_allocate_iwarp_sq(128), nullptr);
  EXPECT_EQ(mifh_pool_available(MIFH_POOL_IWARP_SQ, 128), 15u);
  ASSERT_NE(mifh_allocate_IrpContext_buffer(), nullptr);
  EXPECT_EQ(mifh_pool_available(MIFH_POOL_IRP_CONTEXT, 0), 19u);
  // Protection domains grow one at a time, each in a block of its own.
  void* pd = nullptr;
  for (int i = 0; i < 34; ++i) ASSERT_EQ(mifh_allocate_pd_object(&pd), 0u);
  EXPECT_EQ(mifh_pool_available(MIFH_POOL_PD_OBJECT, 0), 0u);
}

TEST_F(PoolsTest, AlignedElementsNeverRunPastTheirSlab) {
  // Page-aligned queue memory carved between 8-aligned page lists leaves
  // alignment gaps of every size; growing both through several DMA slabs,
  // every element lies wholly inside its slab, the bytes skipped for its
  // alignment counted.
  const std::uint32_t cq_bytes = mifh_pool_element_bytes(MIFH_POOL_IWARP_CQ, 32);
  const std::uint32_t lengths[3] = {1000, 3000, 6000};  // classes 1024, 4096, 8192
  std::uint32_t seed = 12345;
  std::uint64_t carved = 0;
  for (int i = 0; carved < (std::uint64_t{8} << 20); ++i) {
    seed = seed * 1103515245u + 12345u;  // a fixed mix of page-list sizes
    const std::uint32_t length = lengths[(seed >> 16) % 3];
    const std::uint32_t pbl_bytes = mifh_pool_element_bytes(MIFH_POOL_PBL, mifh_pbl_class(length));
    void* pbl = mifh_allocate_pbl_buffer(length, nullptr);
    void* cq = mifh_allocate_iwarp_cq(32);
    ASSERT_NE(pbl, nullptr) << i;
    ASSERT_NE(cq, nullptr) << i;
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(cq) % 4096, 0u);
    ASSERT_TRUE(mifh_slab_holds(pbl, pbl_bytes)) << "page list #" << i;
    ASSERT_TRUE(mifh_slab_holds(cq, cq_bytes)) << "CQ ring #" << i;
    carved += pbl_bytes + cq_bytes;
  }
}

TEST_F(PoolsTest, TheSixteenThousandEntryCqClassGrowsBeyondTheStartSlab) {
  // (16384 + 128) x 32 bytes is exactly a growth slab; aligned to a page it
  // needs a slab of its own. An 8192-entry CQ (one more entry asked of the
  // pool) lands in this class, so many of them must be possible.
  std::vector<void*> rings;
  for (int i = 0; i < 24; ++i) {
    void* ring = mifh_allocate_iwarp_cq(8193);
    ASSERT_NE(ring, nullptr) << "CQ ring #" << i;
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(ring) % 4096, 0u);
    ASSERT_TRUE(mifh_slab_holds(ring, (16384 + 128) * 32)) << i;
    rings.push_back(ring);
  }
  for (void* ring : rings) mifh_pool_free(MIFH_POOL_IWARP_CQ, ring, 16384);
}

TEST_F(PoolsTest, TheLargestIwarpCqClassFailsCleanlyOnceTheCurrentSlabCannotHoldIt) {
  // (65536 + 128) x 32 bytes never fit a growth slab of 0x81000: they come
  // only from what is left of the current slab.
  std::vector<void*> rings;
  for (int i = 0; i < 8; ++i) {
    void* ring = mifh_allocate_iwarp_cq(20000);
    if (ring == nullptr) break;
    std::memset(ring, 0, (65536 + 128) * 32);
    rings.push_back(ring);
  }
  EXPECT_LT(rings.size(), 8u);
  EXPECT_TRUE(logged("mifh_create_iwarp_cq_pool: Couldn't allocate mem for a slab"));
  // The space left in the current slab still serves smaller elements.
  const std::uint32_t contiguous_before = static_cast<std::uint32_t>(kernel().contiguous().bytes_in_use());
  void* small = mifh_allocate_iwarp_cq(32);
  EXPECT_NE(small, nullptr);
  EXPECT_EQ(kernel().contiguous().bytes_in_use(), contiguous_before) << "no new slab for it";
  mifh_pool_free(MIFH_POOL_IWARP_CQ, small, 32);
  for (void* ring : rings) mifh_pool_free(MIFH_POOL_IWARP_CQ, ring, 65536);
}

class PoolLifetimeTest : public HwifTest {
 public:
  bool build_pools() override { return false; }
};

TEST_F(PoolLifetimeTest, StartUpAndCleanUpLeaveNothingAllocated) {
  const std::size_t blocks = kernel().pool().blocks_in_use();
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(mifh_create_mem_resources(), 0u);
    EXPECT_GT(kernel().contiguous().bytes_in_use(), 0x801000u);
    // Use the pools a little, growing some, and give everything back.
    void* sq = mifh_allocate_iwarp_sq(32);
    void* pd = nullptr;
    ASSERT_EQ(mifh_allocate_pd_object(&pd), 0u);
    mifh_free_iwarp_sq(sq, 32);
    mifh_free_iwarp_pd_object(pd);
    ASSERT_EQ(mifh_destroy_mem_resources(), 0u);
    EXPECT_EQ(kernel().contiguous().bytes_in_use(), 0u);
    EXPECT_EQ(kernel().pool().blocks_in_use(), blocks);
    EXPECT_EQ(mifh_pool_available(MIFH_POOL_QP_OBJECT, 0), 0u);
  }
}

TEST_F(PoolLifetimeTest, PoolsBeforeStartUpRefuseWork) {
  EXPECT_EQ(mifh_allocate_qp_object(), nullptr);
  EXPECT_EQ(mifh_create_q2_buffer_pool(1), 1u);
}

}  // namespace

namespace {

// A host with little memory: the first slabs fall back to smaller sizes.
class PoolFallbackTest : public HwifTest {
 public:
  bool build_pools() override { return false; }
  plat::KernelOptions options() override {
    plat::KernelOptions o = HwifTest::options();
    o.memory.bytes = std::size_t{6} << 20;
    return o;
  }
};

TEST_F(PoolFallbackTest, SlabsFallBackInOrderAndAFailedStartUpStillCleansUp) {
  const std::size_t blocks = kernel().pool().blocks_in_use();
  const ZekStatus status = mifh_create_mem_resources();
  const std::string log = log_text();
  // The object slab's second try, then the DMA slab tried at the full size
  // first all the same, then at half, then at the small size, which becomes G.
  const std::string object_second = "Failed to allocate size[x801000] trying again with size[x400800]";
  const std::string dma_third = "Failed to allocate size[x801000] trying again with size[x81000]";
  const std::size_t first = log.find(object_second);
  ASSERT_NE(first, std::string::npos) << log;
  const std::size_t second = log.find(object_second, first + 1);
  ASSERT_NE(second, std::string::npos) << "the DMA slab is tried at 0x801000 first";
  EXPECT_NE(log.find(dma_third, second), std::string::npos);
  EXPECT_NE(log.find("mifh_allocate_slab: Couldn't allocate continious memory for a slab size (801000h)"),
            std::string::npos);
  EXPECT_EQ(mifh_pool_growth_size(), 0x81000u);
  if (status != 0) {
    // Too little memory for every start-up pool: the failing creator is named.
    EXPECT_NE(log.find("mifh_create_mem_resources: mifh_create_"), std::string::npos);
  }
  ASSERT_EQ(mifh_destroy_mem_resources(), 0u);
  EXPECT_EQ(kernel().contiguous().bytes_in_use(), 0u);
  EXPECT_EQ(kernel().pool().blocks_in_use(), blocks);
}

}  // namespace
