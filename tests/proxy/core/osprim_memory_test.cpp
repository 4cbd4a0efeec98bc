// Tracked allocations, pages, contiguous DMA memory and physical addresses.
#include <cstring>
#include <thread>
#include <vector>

#include "tests/proxy/core/osprim_fixture.h"

namespace {

class MemoryTest : public OsprimTest {
 protected:
  std::uint64_t tracked_blocks() { return kernel().pool().usage(ZEK_OSPRIM_POOL_TAG).blocks_in_use(); }
};

bool all_zero(const void* p, std::size_t n) {
  const auto* bytes = static_cast<const unsigned char*>(p);
  for (std::size_t i = 0; i < n; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

struct Allocator {
  const char* name;
  ZekStatus (*allocate)(void**, std::uint32_t);
  std::uint32_t kind;
};

ZekStatus alloc_ptr(void** out, std::uint32_t size) {
  *out = OSPrimMemAllocPtr(size);
  return *out != nullptr ? ZEK_STATUS_PASS : ZEK_OSPRIM_FAILURE;
}

const Allocator kAllocators[] = {
    {"OSPrimMemAllocate", OSPrimMemAllocate, OSPRIM_MEM_NONPAGED},
    {"OSPrimMemAllocatePaged", OSPrimMemAllocatePaged, OSPRIM_MEM_PAGED},
    {"OSPrimMemAllocPtr", alloc_ptr, OSPRIM_MEM_NONPAGED},
    {"OSPrimMemDMAAllocate", OSPrimMemDMAAllocate, OSPRIM_MEM_CONTIGUOUS},
};

TEST_F(MemoryTest, TrackedBlocksAreZeroedHeadedAndReturned) {
  for (const Allocator& a : kAllocators) {
    SCOPED_TRACE(a.name);
    for (std::uint32_t size : {1u, 100u, 4096u, 3 * 4096u + 5}) {
      void* block = nullptr;
      ASSERT_EQ(a.allocate(&block, size), ZEK_STATUS_PASS);
      ASSERT_NE(block, nullptr);
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 16, 0u);
      EXPECT_TRUE(all_zero(block, size));
      const auto* header = static_cast<const OSPrimMemHeader*>(block) - 1;
      EXPECT_EQ(header->Signature, ZEK_SIG_MEM_HEADER);
      EXPECT_EQ(header->Kind, a.kind);
      EXPECT_EQ(header->Size, size + sizeof(OSPrimMemHeader));
      std::memset(block, 0x5A, size);
      const bool pooled = a.kind != OSPRIM_MEM_CONTIGUOUS;
      EXPECT_EQ(tracked_blocks(), pooled ? 1u : 0u);
      EXPECT_EQ(kernel().contiguous().bytes_in_use() != 0, !pooled);
      // Any of the frees releases a block the way it was allocated.
      EXPECT_EQ(OSPrimMemFree(block), ZEK_STATUS_PASS);
      EXPECT_EQ(tracked_blocks(), 0u);
      EXPECT_EQ(kernel().contiguous().bytes_in_use(), 0u);
    }
  }
}

TEST_F(MemoryTest, RefusesSizeZeroAndBadOutPointers) {
  void* block = reinterpret_cast<void*>(0x1);
  for (const Allocator& a : kAllocators) {
    SCOPED_TRACE(a.name);
    if (a.allocate != alloc_ptr) {
      EXPECT_EQ(a.allocate(nullptr, 16), ZEK_OSPRIM_FAILURE);
      EXPECT_EQ(a.allocate(reinterpret_cast<void**>(ZEK_UNINITIALISED_POINTER), 16), ZEK_OSPRIM_FAILURE);
    }
    EXPECT_EQ(a.allocate(&block, 0), ZEK_OSPRIM_FAILURE);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(a.allocate(&block, UINT32_MAX), ZEK_OSPRIM_FAILURE);
  }
  EXPECT_EQ(OSPrimMemFree(nullptr), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(tracked_blocks(), 0u);
}

TEST_F(MemoryTest, ADoubleFreeIsReportedAndNothingIsFreedTwice) {
  void* block = nullptr;
  ASSERT_EQ(OSPrimMemAllocate(&block, 200), ZEK_STATUS_PASS);
  void* dma = nullptr;
  ASSERT_EQ(OSPrimMemDMAAllocate(&dma, 8192), ZEK_STATUS_PASS);
  ASSERT_EQ(OSPrimMemFree(block), ZEK_STATUS_PASS);
  ASSERT_EQ(OSPrimMemDMAFree(dma), ZEK_STATUS_PASS);
  // Without the tracking list this would reach the pool or the contiguous
  // allocator a second time, which stops the host.
  EXPECT_EQ(OSPrimMemFree(block), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(OSPrimMemFreePtr(block), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(OSPrimMemDMAFree(dma), ZEK_OSPRIM_FAILURE);
  const std::string log = ring_text();
  EXPECT_NE(log.find("OSPrimFreeMemElement:Line["), std::string::npos);
  EXPECT_NE(log.find("should be [x484D454D] \n"), std::string::npos);
  EXPECT_NE(log.find("Allocated at ["), std::string::npos);
  EXPECT_NE(log.find("Freed     at ["), std::string::npos);
  EXPECT_EQ(kernel().pool().usage(ZEK_OSPRIM_POOL_TAG).frees, 1u);
}

TEST_F(MemoryTest, ABlockThatIsNotTrackedStaysAllocated) {
  constexpr ULONG kOtherTag = MAKEFOURCC_LE('t', 'e', 's', 't');
  void* foreign = ExAllocatePoolWithTag(NonPagedPool, 256, kOtherTag);
  ASSERT_NE(foreign, nullptr);
  std::memset(foreign, 0, 256);
  void* tracked = nullptr;
  ASSERT_EQ(OSPrimMemAllocate(&tracked, 512), ZEK_STATUS_PASS);

  EXPECT_EQ(OSPrimMemFree(static_cast<char*>(foreign) + 64), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(OSPrimMemFree(static_cast<char*>(tracked) + 128), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(kernel().pool().usage(kOtherTag).blocks_in_use(), 1u);
  EXPECT_EQ(tracked_blocks(), 1u);

  EXPECT_EQ(OSPrimMemFree(tracked), ZEK_STATUS_PASS);
  ExFreePoolWithTag(foreign, kOtherTag);
}

TEST_F(MemoryTest, ManyThreadsAllocateAndFreeWithoutLosingTrack) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      std::vector<void*> blocks;
      for (int round = 0; round < 5; ++round) {
        for (int i = 0; i < 200; ++i) {
          void* block = nullptr;
          ASSERT_EQ(OSPrimMemAllocate(&block, 24 + i), ZEK_STATUS_PASS);
          blocks.push_back(block);
        }
        // Free every other block, oldest first, then the rest newest first.
        for (std::size_t i = 0; i < blocks.size(); i += 2) ASSERT_EQ(OSPrimMemFree(blocks[i]), ZEK_STATUS_PASS);
        for (std::size_t i = blocks.size(); i-- > 0;) {
          if (i % 2 == 1) {
            ASSERT_EQ(OSPrimMemFree(blocks[i]), ZEK_STATUS_PASS);
          }
        }
        blocks.clear();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(tracked_blocks(), 0u);
}

TEST_F(MemoryTest, LastCleanupFreesWhatIsStillTracked) {
  ASSERT_EQ(ZEK_Init_c_osprims(4096), ZEK_STATUS_PASS);
  ASSERT_EQ(ZEK_Init_c_osprims(0), ZEK_STATUS_PASS);
  void* a = nullptr;
  void* b = nullptr;
  void* c = nullptr;
  ASSERT_EQ(OSPrimMemAllocate(&a, 100), ZEK_STATUS_PASS);
  ASSERT_EQ(OSPrimMemAllocatePaged(&b, 5000), ZEK_STATUS_PASS);
  ASSERT_EQ(OSPrimMemDMAAllocate(&c, 3 * 4096), ZEK_STATUS_PASS);
  EXPECT_EQ(ZEK_Cleanup_c_osprims(), ZEK_STATUS_PASS);
  EXPECT_EQ(tracked_blocks(), 2u);  // not the last use yet
  EXPECT_EQ(ZEK_Cleanup_c_osprims(), ZEK_STATUS_PASS);
  EXPECT_EQ(tracked_blocks(), 0u);
  EXPECT_EQ(kernel().contiguous().bytes_in_use(), 0u);
  // The blocks are gone from the list too: freeing one is a double free.
  EXPECT_EQ(OSPrimMemFree(a), ZEK_OSPRIM_FAILURE);

  EXPECT_EQ(ZEK_Cleanup_c_osprims(), ZEK_OSPRIM_FAILURE);
  EXPECT_NE(ring_text().find("OSPrims uninitialized too many times\n"), std::string::npos);
}

TEST_F(MemoryTest, DmaMemoryIsPhysicallyContiguousAndTranslates) {
  void* block = nullptr;
  constexpr std::uint32_t kBytes = 5 * 4096;
  ASSERT_EQ(OSPrimMemDMAAllocate(&block, kBytes), ZEK_STATUS_PASS);
  std::uint32_t low = 0, high = 0;
  ASSERT_EQ(OSPrimGetPaFromVa(block, &low, &high), ZEK_STATUS_PASS);
  const std::uint64_t base = (std::uint64_t{high} << 32) | low;
  EXPECT_EQ(base, static_cast<std::uint64_t>(MmGetPhysicalAddress(block).QuadPart));
  EXPECT_EQ(high, 1u);  // simulated RAM begins at 4 GB: both halves matter
  for (std::uint32_t offset = 0; offset < kBytes; offset += 1000) {
    ASSERT_EQ(OSPrimGetPaFromVa(static_cast<char*>(block) + offset, &low, &high), ZEK_STATUS_PASS);
    EXPECT_EQ((std::uint64_t{high} << 32) | low, base + offset);
  }
  // The adapter sees what the driver wrote at those addresses.
  std::memcpy(static_cast<char*>(block) + kBytes - 4, "ring", 4);
  char seen[4];
  ASSERT_TRUE(kernel().memory().dma_read(base + kBytes - 4, seen, 4));
  EXPECT_EQ(std::memcmp(seen, "ring", 4), 0);
  EXPECT_EQ(OSPrimMemDMAFree(block), ZEK_STATUS_PASS);
}

TEST_F(MemoryTest, PaOfMemoryWithoutAFrameIsRefused) {
  int on_the_stack = 0;
  std::uint32_t low = 7, high = 7;
  EXPECT_EQ(OSPrimGetPaFromVa(&on_the_stack, &low, &high), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(low, 0u);
  EXPECT_EQ(high, 0u);
  EXPECT_EQ(OSPrimGetPaFromVa(&on_the_stack, nullptr, &high), ZEK_OSPRIM_FAILURE);
}

TEST_F(MemoryTest, PageAllocateGivesAZeroedAlignedUntrackedPage) {
  void* page = nullptr;
  ASSERT_EQ(OSPrimPageAllocate(&page), ZEK_STATUS_PASS);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(page) % PAGE_SIZE, 0u);
  EXPECT_TRUE(all_zero(page, PAGE_SIZE));
  EXPECT_NE(MmGetPhysicalAddress(page).QuadPart, 0);
  // Untracked: not a block the tracked free accepts.
  EXPECT_EQ(OSPrimMemFree(static_cast<char*>(page) + sizeof(OSPrimMemHeader)), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(tracked_blocks(), 1u);
  ExFreePoolWithTag(page, ZEK_OSPRIM_POOL_TAG);
  EXPECT_EQ(OSPrimPageAllocate(nullptr), ZEK_STATUS_FAIL);
}

}  // namespace
