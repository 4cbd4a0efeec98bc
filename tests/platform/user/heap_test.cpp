// The runtime's heaps: blocks in memory the host can share, zeroed when
// asked even when reused, kept apart, and refused when freed twice.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/user/win32.h"

namespace {

// Whether [block, block + bytes) lies in one mapping of the runtime's shared
// memory file.
bool in_shared_memory(const void* block, std::size_t bytes) {
  const auto at = reinterpret_cast<std::uintptr_t>(block);
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    unsigned long lo = 0, hi = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx", &lo, &hi) != 2 || at < lo || at + bytes > hi) continue;
    return line.find("rw-s") != std::string::npos && line.find("zek-user-memory") != std::string::npos;
  }
  return false;
}

TEST(Heap, BlocksAreSharedMemoryZeroedWhenAskedAndKeptApart) {
  const std::size_t sizes[] = {1, 16, 17, 2048, 2049, 4096, 4097, std::size_t{1} << 20};
  HANDLE heap = GetProcessHeap();
  for (int round = 0; round < 2; ++round) {  // the second round reuses what the first freed
    std::vector<unsigned char*> blocks;
    for (std::size_t size : sizes) {
      auto* block = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, size));
      ASSERT_NE(block, nullptr) << size;
      EXPECT_TRUE(in_shared_memory(block, size)) << size;
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 16, 0u) << size;
      for (std::size_t i = 0; i < size; ++i) {
        ASSERT_EQ(block[i], 0) << "round " << round << ", size " << size << ", byte " << i;
      }
      std::memset(block, static_cast<int>(blocks.size() + 1), size);
      blocks.push_back(block);
    }
    for (std::size_t b = 0; b < blocks.size(); ++b) {
      for (std::size_t i = 0; i < sizes[b]; ++i) {
        ASSERT_EQ(blocks[b][i], b + 1) << "size " << sizes[b] << " overwritten at " << i;
      }
    }
    for (unsigned char* block : blocks) EXPECT_TRUE(HeapFree(heap, 0, block));
  }
}

TEST(Heap, ReallocationKeepsTheBytesAndAFreeIsTakenOnce) {
  HANDLE heap = GetProcessHeap();
  struct Case {
    std::size_t from, to;
  };
  const Case cases[] = {{8, 3000}, {3000, 100000}, {100000, 24}, {24, 24}};
  for (const Case& c : cases) {
    auto* block = static_cast<unsigned char*>(HeapAlloc(heap, 0, c.from));
    ASSERT_NE(block, nullptr);
    for (std::size_t i = 0; i < c.from; ++i) block[i] = static_cast<unsigned char>(i * 13);
    auto* moved = static_cast<unsigned char*>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, block, c.to));
    ASSERT_NE(moved, nullptr) << c.from << " -> " << c.to;
    EXPECT_EQ(HeapSize(heap, 0, moved), c.to);
    for (std::size_t i = 0; i < std::min(c.from, c.to); ++i) {
      ASSERT_EQ(moved[i], static_cast<unsigned char>(i * 13)) << c.from << " -> " << c.to << " at " << i;
    }
    for (std::size_t i = c.from; i < c.to; ++i) ASSERT_EQ(moved[i], 0) << c.from << " -> " << c.to << " at " << i;
    EXPECT_TRUE(HeapFree(heap, 0, moved));
    EXPECT_FALSE(HeapFree(heap, 0, moved)) << "freed twice";
  }
}

}  // namespace
