// The mapping routines: caller buffers mapped for the kernel, kernel buffers
// described, scatter-gather lists, page counts and physical addresses.
#include <sys/mman.h>

#include "tests/proxy/core/proxy_fixture.h"

namespace {

constexpr std::uint32_t kPage = 4096;
constexpr ULONG kTestTag = MAKEFOURCC_LE('T', 'e', 's', 't');

class Mapping : public ProxyTest {
 protected:
  void TearDown() override {
    if (user_ != nullptr) munmap(user_, 8 * kPage);
    ProxyTest::TearDown();
  }
  // Eight pages of this "process", filled with a pattern.
  char* user_pages() {
    user_ = static_cast<char*>(mmap(nullptr, 8 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    for (std::uint32_t i = 0; i < 8 * kPage; ++i) user_[i] = static_cast<char>(i % 251);
    return user_;
  }
  static std::uint64_t pa(const void* address) {
    return static_cast<std::uint64_t>(MmGetPhysicalAddress(const_cast<void*>(address)).QuadPart);
  }
  char* user_ = nullptr;
};

// Scatter-gather entries of a kernel buffer, in scattered physical memory:
// one per page, the first from the buffer's offset, each up to its page's
// end or the buffer's end; five pages are refused.
TEST_F(Mapping, ScatterGatherListOfKernelBuffers) {
  auto* pool = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 6 * kPage, kTestTag));
  ASSERT_NE(pool, nullptr);
  struct Case {
    std::uint32_t offset, length;
    std::vector<std::uint32_t> lengths;  // empty: refused
  };
  const Case cases[] = {
      {0, 1, {1}},
      {0, kPage, {kPage}},
      {100, kPage, {kPage - 100, 100}},
      {4000, 200, {96, 104}},
      {0, 4 * kPage, {kPage, kPage, kPage, kPage}},
      {8, 3 * kPage + 8, {kPage - 8, kPage, kPage, 16}},
      {1, 4 * kPage, {}},
      {0, 5 * kPage, {}},
  };
  const std::uint64_t blocks = kernel().pool().blocks_in_use();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.offset << "+" << c.length);
    OSPrimMapRecord map;
    void* system = nullptr;
    const ZekStatus status = OSPrimMapKernelSgl(pool + c.offset, c.length, &map, &system);
    if (c.lengths.empty()) {
      EXPECT_EQ(status, ZEK_OSPRIM_FAILURE);
      EXPECT_EQ(system, nullptr);
      EXPECT_EQ(kernel().pool().blocks_in_use(), blocks) << "the list is freed again";
      continue;
    }
    ASSERT_EQ(status, ZEK_STATUS_PASS);
    EXPECT_EQ(system, pool + c.offset);
    ASSERT_EQ(map.PageCount, c.lengths.size());
    std::uint32_t at = c.offset;
    for (std::size_t i = 0; i < c.lengths.size(); ++i) {
      EXPECT_EQ(map.Sgl[i].Length, c.lengths[i]) << i;
      EXPECT_EQ(map.Sgl[i].PhysicalAddress, pa(pool + at)) << i;
      at += c.lengths[i];
    }
    std::uint32_t pages = 0;
    EXPECT_EQ(GetPhysicalPageCount(map.Mdl, pool + c.offset, &pages), ZEK_STATUS_PASS);
    EXPECT_EQ(pages, c.lengths.size());
    EXPECT_EQ(OSPrimUnMapKernel(&map), ZEK_STATUS_PASS);
  }
  EXPECT_EQ(kernel().pool().blocks_in_use(), blocks);
  ExFreePoolWithTag(pool, kTestTag);
}

// A buffer whose pages follow each other physically counts as one page (the
// memory-region code registers it as one range); a scattered one does not.
TEST_F(Mapping, PhysicallyContiguousBuffersCollapseToOnePage) {
  PHYSICAL_ADDRESS any;
  any.QuadPart = -1;
  void* contiguous = MmAllocateContiguousMemory(3 * kPage, any);
  auto* scattered = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 3 * kPage, kTestTag));
  ASSERT_NE(contiguous, nullptr);
  ASSERT_NE(pa(scattered + kPage), pa(scattered) + kPage) << "the test needs scattered frames";
  struct Case {
    const char* what;
    void* buffer;
    std::uint32_t length;
    std::uint64_t mode;
    std::uint32_t count;
    std::uint64_t page_size;
  };
  const Case cases[] = {
      {"contiguous, three pages", contiguous, 3 * kPage, 0, 1, kPage},
      {"contiguous, mode with top bit", contiguous, 3 * kPage, ZEK_PAGE_SIZE_CONTIGUOUS | 1, 1,
       ZEK_PAGE_SIZE_CONTIGUOUS},
      {"scattered, three pages", scattered, 3 * kPage, ZEK_PAGE_SIZE_CONTIGUOUS, 3, kPage},
      {"one page", scattered, kPage, 0, 1, kPage},
      {"one page, mode with top bit", scattered + 8, 100, ZEK_PAGE_SIZE_CONTIGUOUS, 1, ZEK_PAGE_SIZE_CONTIGUOUS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OSPrimMapRecord map;
    void* system = nullptr;
    ASSERT_EQ(OSPrimMapKernel(c.buffer, c.length, &map, &system), ZEK_STATUS_PASS);
    std::uint64_t page_size = 0;
    std::uint32_t count = 0;
    EXPECT_EQ(OSPrimGetPageSizeAndNum(&map, nullptr, nullptr, &page_size, c.mode, &count), ZEK_STATUS_PASS);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(page_size, c.page_size);
    OSPrimUnMapKernel(&map);
  }
  OSPrimMapRecord unmapped{};
  std::uint64_t page_size = 0;
  std::uint32_t count = 0;
  EXPECT_EQ(OSPrimGetPageSizeAndNum(&unmapped, nullptr, nullptr, &page_size, 0, &count), ZEK_OSPRIM_FAILURE);
  EXPECT_NE(ring_text().find("OSPrimGetPagsSizeAndNum: mdl not mapped"), std::string::npos);
  MmFreeContiguousMemory(contiguous);
  ExFreePoolWithTag(scattered, kTestTag);
}

TEST_F(Mapping, PhysicalAddressesOfEveryPageWithinTheCallersCapacity) {
  auto* pool = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 4 * kPage, kTestTag));
  OSPrimMapRecord map;
  void* system = nullptr;
  ASSERT_EQ(OSPrimMapKernel(pool + 40, 2 * kPage, &map, &system), ZEK_STATUS_PASS);
  std::uint64_t addresses[3] = {};
  std::uint32_t offset = 0;
  EXPECT_EQ(OSPrimGetPhysAddresses(&map, nullptr, nullptr, addresses, 2, nullptr, &offset), ZEK_OSPRIM_FAILURE)
      << "three pages do not fit in two entries";
  EXPECT_EQ(addresses[0], 0u);
  EXPECT_EQ(OSPrimGetPhysAddresses(&map, nullptr, nullptr, addresses, 3, nullptr, &offset), ZEK_STATUS_PASS);
  EXPECT_EQ(offset, 40u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(addresses[i], pa(pool + i * kPage)) << i;
  OSPrimUnMapKernel(&map);
  ExFreePoolWithTag(pool, kTestTag);
}

// A caller's buffer: the kernel reads and writes it through the system
// address, and what it wrote reaches the caller at the unmap.
TEST_F(Mapping, CallerBufferIsMappedLockedAndWrittenBack) {
  char* user = user_pages();
  AsCaller as(*process_);
  const std::uint64_t blocks = kernel().pool().blocks_in_use();
  OSPrimMapRecord map;
  void* system = nullptr;
  ASSERT_EQ(OSPrimMapIt(user + 10, 2 * kPage, &map, &system), ZEK_STATUS_PASS);
  EXPECT_EQ(map.Signature, ZEK_SIG_MAP_RECORD);
  EXPECT_EQ(map.CallerAddress, user + 10);
  EXPECT_NE(system, static_cast<void*>(user + 10));
  EXPECT_EQ(std::memcmp(system, user + 10, 2 * kPage), 0);
  std::memcpy(system, "kernel wrote", 12);
  EXPECT_EQ(OSPrimUnMapIt(&map), ZEK_STATUS_PASS);
  EXPECT_EQ(map.Signature, 0u);
  EXPECT_EQ(std::memcmp(user + 10, "kernel wrote", 12), 0);
  EXPECT_EQ(kernel().pool().blocks_in_use(), blocks) << kernel().pool().leak_report();
  EXPECT_EQ(OSPrimUnMapIt(&map), ZEK_OSPRIM_FAILURE) << "a record is unmapped once";

  // With its scatter-gather list: four pages at most.
  ASSERT_EQ(OSPrimMapUserSgl(user, 4 * kPage, &map, &system), ZEK_STATUS_PASS);
  EXPECT_EQ(map.PageCount, 4u);
  EXPECT_EQ(OSPrimUnMapUserSgl(&map), ZEK_STATUS_PASS);
  EXPECT_EQ(OSPrimMapUserSgl(user + 1, 4 * kPage, &map, &system), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(system, nullptr);
  EXPECT_EQ(kernel().pool().blocks_in_use(), blocks) << kernel().pool().leak_report();
}

// A bad caller range fails with everything undone, and never raises.
TEST_F(Mapping, BadCallerRangesFailCleanly) {
  char* user = user_pages();
  mprotect(user + 2 * kPage, kPage, PROT_READ);
  mprotect(user + 3 * kPage, kPage, PROT_NONE);
  AsCaller as(*process_);
  const std::uint64_t blocks = kernel().pool().blocks_in_use();
  struct Case {
    const char* what;
    void* address;
    std::uint32_t length;
  };
  const Case cases[] = {
      {"length 0", user, 0},
      {"read-only page", user + 2 * kPage, 16},
      {"inaccessible page", user + 3 * kPage, 16},
      {"good page running into a read-only one", user + kPage, 2 * kPage},
      {"kernel address", reinterpret_cast<void*>(0xFFFF800000001000ull), 16},
      {"null", nullptr, 16},
      {"wrapping", user, 0xFFFFFFFFu},
  };
  for (const Case& c : cases) {
    OSPrimMapRecord map;
    void* system = reinterpret_cast<void*>(1);
    EXPECT_EQ(OSPrimMapIt(c.address, c.length, &map, &system), ZEK_OSPRIM_FAILURE) << c.what;
    EXPECT_EQ(system, nullptr) << c.what;
    EXPECT_NE(map.Signature, ZEK_SIG_MAP_RECORD) << c.what;
    EXPECT_EQ(kernel().pool().blocks_in_use(), blocks) << c.what << ": " << kernel().pool().leak_report();
  }
  EXPECT_EQ(user[kPage], static_cast<char>(kPage % 251)) << "the good page is untouched";
}

}  // namespace
