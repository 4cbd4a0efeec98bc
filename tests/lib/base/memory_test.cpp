// Memory of the user-mode build and its answers to the kernel-only
// operations.
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "tests/lib/base/base_fixture.h"

namespace {

using MemoryTest = LoggedTest;

using Allocate = ZekStatus (*)(void**, std::uint32_t);
using Free = ZekStatus (*)(void*);

struct Allocator {
  const char* name;
  Allocate allocate;
  Free free;
};
const Allocator kAllocators[] = {{"plain", OSPrimMemAllocate, OSPrimMemFree},
                                 {"dma", OSPrimMemDMAAllocate, OSPrimMemDMAFree}};

TEST_F(MemoryTest, BlocksAreZeroedDistinctAndFreedOnce) {
  for (const Allocator& a : kAllocators) {
    SCOPED_TRACE(a.name);
    std::vector<std::uint8_t*> blocks;
    for (std::uint32_t size : {1u, 24u, 4096u, 100000u}) {
      void* block = reinterpret_cast<void*>(1);
      ASSERT_EQ(a.allocate(&block, size), ZEK_STATUS_PASS);
      ASSERT_NE(block, nullptr);
      auto* bytes = static_cast<std::uint8_t*>(block);
      for (std::uint32_t i = 0; i < size; ++i) ASSERT_EQ(bytes[i], 0) << i;
      std::memset(bytes, 0xA5, size);
      blocks.push_back(bytes);
    }
    EXPECT_EQ(std::set<std::uint8_t*>(blocks.begin(), blocks.end()).size(), blocks.size());
    for (std::uint8_t* block : blocks) EXPECT_EQ(a.free(block), ZEK_STATUS_PASS);
    // A second free of the same block is refused, not done twice.
    EXPECT_EQ(a.free(blocks.front()), ZEK_OSPRIM_FAILURE);
  }
}

TEST_F(MemoryTest, RefusesMissingOutPointersZeroSizesAndForeignBlocks) {
  for (const Allocator& a : kAllocators) {
    SCOPED_TRACE(a.name);
    // No place for the address: nothing is allocated and nothing claims success.
    EXPECT_EQ(a.allocate(nullptr, 16), ZEK_OSPRIM_FAILURE);
    EXPECT_EQ(a.allocate(reinterpret_cast<void**>(ZEK_UNINITIALISED_POINTER), 16), ZEK_OSPRIM_FAILURE);
    void* block = reinterpret_cast<void*>(1);
    EXPECT_EQ(a.allocate(&block, 0), ZEK_OSPRIM_FAILURE);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(a.free(nullptr), ZEK_OSPRIM_FAILURE);
    EXPECT_EQ(a.free(reinterpret_cast<void*>(ZEK_UNINITIALISED_POINTER)), ZEK_OSPRIM_FAILURE);
    int on_stack = 0;
    EXPECT_EQ(a.free(&on_stack), ZEK_OSPRIM_FAILURE);
    std::vector<int> elsewhere(4);
    EXPECT_EQ(a.free(elsewhere.data()), ZEK_OSPRIM_FAILURE);
  }
  EXPECT_TRUE(logged("OSPrimMemAllocate: size is zero (0xffffffff)\n"));
}

TEST_F(MemoryTest, BlocksMoveBetweenThreads) {
  // One thread's block may be freed by another: the heap is the process's.
  void* block = nullptr;
  ASSERT_EQ(OSPrimMemAllocate(&block, 64), ZEK_STATUS_PASS);
  ZekStatus freed = ZEK_OSPRIM_FAILURE;
  std::thread([&] { freed = OSPrimMemFree(block); }).join();
  EXPECT_EQ(freed, ZEK_STATUS_PASS);
}

TEST(MemAlign, RoundsUpToThePowerOfTwo) {
  struct Case {
    std::uint64_t in;
    std::uint64_t alignment;
    ZekStatus status;
    std::uint64_t out;
  };
  for (const Case c : {
           Case{0x1001, 0x1000, ZEK_STATUS_PASS, 0x2000}, Case{0x2000, 0x1000, ZEK_STATUS_PASS, 0x2000},
           Case{0x2001, 0x10, ZEK_STATUS_PASS, 0x2010}, Case{0x7, 1, ZEK_STATUS_PASS, 0x7},
           Case{0xFFFFFFFFFFFFF000, 0x1000, ZEK_STATUS_PASS, 0xFFFFFFFFFFFFF000},
           Case{0, 0x1000, ZEK_OSPRIM_FAILURE, 0}, Case{0x1001, 0, ZEK_OSPRIM_FAILURE, 0},  // no alignment
           Case{0x1001, 0x1800, ZEK_OSPRIM_FAILURE, 0},                                     // not a power of two
           Case{0xFFFFFFFFFFFFF001, 0x1000, ZEK_OSPRIM_FAILURE, 0},                         // would wrap past the top
       }) {
    std::uint64_t out = 0;
    EXPECT_EQ(OSPrimMemAlign(&out, &c.in, c.alignment), c.status) << std::hex << c.in << " " << c.alignment;
    EXPECT_EQ(out, c.out) << std::hex << c.in << " " << c.alignment;
  }
  const std::uint64_t in = 0x1001;
  std::uint64_t out = 0;
  EXPECT_EQ(OSPrimMemAlign(&out, nullptr, 0x1000), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(OSPrimMemAlign(nullptr, &in, 0x1000), ZEK_OSPRIM_FAILURE);
}

TEST(MemCopyAndClear, WorkOnRealPointersAndIgnoreNullOnes) {
  char buffer[16] = "abcdefghijklmno";
  OSPrimMemCopy(buffer + 2, buffer, 8);  // overlapping ranges copy as if through a temporary
  EXPECT_STREQ(buffer, "ababcdefghklmno");
  OSPrimMemCopy(nullptr, buffer, 8);
  OSPrimMemCopy(buffer, nullptr, 8);
  OSPrimMemClear(nullptr, 8);
  OSPrimMemClear(buffer + 4, 4);
  EXPECT_EQ(std::memcmp(buffer, "abab\0\0\0\0ghklmno", 16), 0);
}

TEST(KernelOnlyOperations, HaveFixedAnswersInUserMode) {
  int object = 0;
  std::uint32_t low = 7;
  std::uint32_t high = 9;
  EXPECT_EQ(OSPrimGetPaFromVa(&object, &low, &high), ZEK_OSPRIM_FAILURE);
  OSPrimFlushDataCacheVa(&object, sizeof(object));
  OSPrimInvalidateDataCacheVa(&object, sizeof(object));
  void* system = nullptr;
  EXPECT_EQ(OSPrimMapIt(&object, sizeof(object), nullptr, &system), ZEK_STATUS_PASS);
  EXPECT_EQ(system, &object);  // the process's own address serves
  EXPECT_EQ(OSPrimMapIt(&object, sizeof(object), nullptr, nullptr), ZEK_STATUS_PASS);
  EXPECT_EQ(OSPrimUnMapIt(nullptr), ZEK_STATUS_PASS);
  EXPECT_EQ(OSPrimUserMLock(&object, sizeof(object)), ZEK_STATUS_PASS);
  EXPECT_EQ(OSPrimUserMUnLock(&object, sizeof(object)), ZEK_STATUS_PASS);
  EXPECT_EQ(OSPrimSleepLibInit(), ZEK_STATUS_PASS);
}

}  // namespace
