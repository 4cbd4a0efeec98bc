// Simulated physical memory: translation both ways in linear and scattered
// modes, contiguity, guard pages, zeroing, DMA refusals, and the sealed
// segments handed to processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include <cstring>
#include <set>
#include <vector>

#include "platform/machine/physmem.h"

namespace {

using plat::PhysicalMemory;

class PhysicalMemoryTest : public ::testing::TestWithParam<bool> {
 protected:
  PhysicalMemory memory{PhysicalMemory::Options{std::size_t{8} << 20, GetParam()}};
  static std::vector<std::uint64_t> frames_of(PhysicalMemory& m, const void* va, std::size_t pages) {
    std::vector<std::uint64_t> frames;
    for (std::size_t i = 0; i < pages; ++i) {
      frames.push_back(m.physical_address(static_cast<const char*>(va) + i * 4096) / 4096);
    }
    return frames;
  }
};

TEST_P(PhysicalMemoryTest, TranslationRoundTripsForEveryByteOfAnAllocation) {
  auto* va = static_cast<char*>(memory.allocate(5 * 4096, PhysicalMemory::Layout::Any));
  ASSERT_NE(va, nullptr);
  for (std::size_t off : {0ul, 1ul, 4095ul, 4096ul, 12345ul, 5 * 4096ul - 1}) {
    const std::uint64_t pa = memory.physical_address(va + off);
    ASSERT_GE(pa, PhysicalMemory::kRamBase);
    EXPECT_EQ(pa % 4096, off % 4096);
    EXPECT_EQ(memory.kernel_address(pa), va + off);
  }
  EXPECT_TRUE(memory.free(va));
  EXPECT_EQ(memory.physical_address(va), 0u);
  EXPECT_FALSE(memory.free(va));
}

TEST_P(PhysicalMemoryTest, ContiguousAllocationsHaveConsecutiveFrames) {
  void* va = memory.allocate(16 * 4096, PhysicalMemory::Layout::Contiguous);
  ASSERT_NE(va, nullptr);
  auto frames = frames_of(memory, va, 16);
  for (std::size_t i = 1; i < frames.size(); ++i) EXPECT_EQ(frames[i], frames[0] + i);
  memory.free(va);
}

TEST_P(PhysicalMemoryTest, ScatteredModeSplitsNeighbouringPages) {
  void* va = memory.allocate(8 * 4096, PhysicalMemory::Layout::Any);
  ASSERT_NE(va, nullptr);
  auto frames = frames_of(memory, va, 8);
  std::size_t consecutive = 0;
  for (std::size_t i = 1; i < frames.size(); ++i) consecutive += frames[i] == frames[i - 1] + 1;
  if (GetParam()) {
    EXPECT_EQ(consecutive, 0u);
  } else {
    EXPECT_EQ(consecutive, 7u);
  }
  EXPECT_EQ(std::set<std::uint64_t>(frames.begin(), frames.end()).size(), 8u);
  memory.free(va);
}

TEST_P(PhysicalMemoryTest, HighestAddressAndBoundaryAreRespected) {
  const std::uint64_t highest = PhysicalMemory::kRamBase + (std::uint64_t{1} << 20) - 1;
  void* va = memory.allocate(3 * 4096, PhysicalMemory::Layout::Contiguous, highest, 0x4000);
  ASSERT_NE(va, nullptr);
  const std::uint64_t first = memory.physical_address(va);
  const std::uint64_t last = memory.physical_address(static_cast<char*>(va) + 3 * 4096 - 1);
  EXPECT_LE(last, highest);
  EXPECT_EQ(first / 0x4000, last / 0x4000);
  EXPECT_EQ(memory.allocate(4096, PhysicalMemory::Layout::Contiguous, PhysicalMemory::kRamBase - 1), nullptr);
  memory.free(va);
}

TEST_P(PhysicalMemoryTest, DmaReachesAllocatedFramesOnlyAndFreedFramesComeBackZeroed) {
  auto* va = static_cast<unsigned char*>(memory.allocate(2 * 4096, PhysicalMemory::Layout::Any));
  ASSERT_NE(va, nullptr);
  const std::uint64_t pa = memory.physical_address(va + 4000);
  const unsigned char data[200] = {1, 2, 3};
  // Crosses from the first page into the second, which in scattered mode
  // is elsewhere in physical memory: DMA is by physical address, so only
  // the first 96 bytes land behind va + 4000 here.
  ASSERT_TRUE(memory.dma_write(pa, data, 96));
  EXPECT_EQ(va[4000], 1);
  EXPECT_EQ(va[4002], 3);
  unsigned char back[96];
  ASSERT_TRUE(memory.dma_read(pa, back, sizeof back));
  EXPECT_EQ(back[1], 2);

  const std::uint64_t faults = memory.dma_faults();
  EXPECT_FALSE(memory.dma_read(0, back, 4));
  EXPECT_FALSE(memory.dma_write(PhysicalMemory::kRamBase + memory.frames_total() * 4096, data, 4));
  memory.free(va);
  EXPECT_FALSE(memory.dma_read(pa, back, 4)) << "DMA into a freed frame";
  EXPECT_EQ(memory.dma_faults(), faults + 3);

  // The same frames, allocated again, read as zeros.
  auto* again = static_cast<unsigned char*>(memory.allocate(2 * 4096, PhysicalMemory::Layout::Any));
  for (int i = 0; i < 2 * 4096; ++i) ASSERT_EQ(again[i], 0) << i;
  memory.free(again);
}

TEST_P(PhysicalMemoryTest, ForeignRangesResolveThroughTheirOwner) {
  struct Recorder : PhysicalMemory::ForeignRange {
    std::vector<unsigned char> bytes = std::vector<unsigned char>(2 * 4096);
    bool read(std::uint64_t offset, void* d, std::size_t n) override {
      std::memcpy(d, bytes.data() + offset, n);
      return true;
    }
    bool write(std::uint64_t offset, const void* s, std::size_t n) override {
      std::memcpy(bytes.data() + offset, s, n);
      return true;
    }
  };
  auto range = std::make_shared<Recorder>();
  const std::uint64_t base = memory.add_foreign_range(2, range);
  const std::uint64_t page1 = memory.foreign_page(base, 1);
  const char text[] = "hello";
  ASSERT_TRUE(memory.dma_write(page1 + 10, text, sizeof text));
  EXPECT_EQ(std::memcmp(range->bytes.data() + 4096 + 10, text, sizeof text), 0);
  if (GetParam()) {
    // Scattered: the two pages are not neighbours; the frame between them is no one's.
    EXPECT_EQ(page1, base + 2 * 4096);
    EXPECT_FALSE(memory.dma_write(base + 4096, text, 1));
    EXPECT_FALSE(memory.dma_write(base + 4094, text, sizeof text)) << "runs off its page";
  } else {
    EXPECT_EQ(page1, base + 4096);
    ASSERT_TRUE(memory.dma_write(base + 4094, text, sizeof text));
    EXPECT_EQ(std::memcmp(range->bytes.data() + 4094, text, sizeof text), 0);
  }
  EXPECT_FALSE(memory.dma_write(page1 + 4094, text, sizeof text)) << "runs past the range";
  memory.remove_foreign_range(base);
  EXPECT_FALSE(memory.dma_read(page1, nullptr, 1));
}

TEST_P(PhysicalMemoryTest, ExhaustionIsANullNotACrash) {
  std::vector<void*> blocks;
  while (void* b = memory.allocate(64 * 4096, PhysicalMemory::Layout::Any)) blocks.push_back(b);
  EXPECT_EQ(blocks.size(), memory.frames_total() / 64);
  EXPECT_EQ(memory.allocate(4096, PhysicalMemory::Layout::Any), nullptr);
  for (void* b : blocks) memory.free(b);
  EXPECT_EQ(memory.frames_in_use(), 0u);
}

// What a process is handed for a mapping is the allocation's own segment:
// its pages and nothing else, which it can neither cut nor grow. Each
// hostile use runs in a child, as a process would; the host's memory and
// the adapter's view of it are untouched after each.
TEST_P(PhysicalMemoryTest, ASegmentHoldsOneAllocationAndResistsItsHolder) {
  auto* before = static_cast<unsigned char*>(memory.allocate(4096, PhysicalMemory::Layout::Any));
  auto* given = static_cast<unsigned char*>(memory.allocate(3 * 4096, PhysicalMemory::Layout::Any));
  auto* after = static_cast<unsigned char*>(memory.allocate(4096, PhysicalMemory::Layout::Any));
  auto* slab = static_cast<unsigned char*>(
      memory.allocate(4096, PhysicalMemory::Layout::Any, UINT64_MAX, 0, PhysicalMemory::Sharing::Private));
  ASSERT_TRUE(before && given && after && slab);
  std::memset(before, 'b', 4096);
  std::memset(given, 'g', 3 * 4096);
  std::memset(after, 'a', 4096);
  EXPECT_FALSE(memory.segment_of(memory.physical_address(slab))) << "private memory has no segment";
  const auto segment = memory.segment_of(memory.physical_address(given + 2 * 4096 + 5));
  ASSERT_TRUE(segment);
  EXPECT_EQ(segment->offset, 2u * 4096);
  EXPECT_EQ(segment->pages, 3u);
  EXPECT_EQ(lseek(segment->fd, 0, SEEK_END), 3 * 4096) << "exactly the allocation's pages";
  const int fd = segment->fd;
  struct Case {
    const char* what;
    std::function<bool()> attempt;  // true when the holder got its way
    int signal;                     // the signal the attempt ends the holder with, or 0
  };
  const Case cases[] = {
      {"truncate", [fd] { return ftruncate(fd, 0) == 0; }, 0},
      {"grow", [fd] { return ftruncate(fd, 64 * 4096) == 0; }, 0},
      {"write past the end", [fd] { return pwrite(fd, "x", 1, 3 * 4096) == 1; }, 0},
      {"lift the seals", [fd] { return fcntl(fd, F_ADD_SEALS, F_SEAL_WRITE) == 0; }, 0},
      {"map beyond and touch",
       [fd] {
         void* p = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 3 * 4096);
         if (p == MAP_FAILED) return false;
         static_cast<volatile char*>(p)[0] = 1;
         return true;
       },
       SIGBUS},
  };
  for (const Case& c : cases) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      signal(SIGBUS, SIG_DFL);  // the holder dies of it, whatever a sanitizer would do
      _exit(c.attempt() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (c.signal != 0) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << c.what;
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.what;
    }
    EXPECT_EQ(lseek(fd, 0, SEEK_END), 3 * 4096) << c.what;
    unsigned char seen[3] = {};
    ASSERT_TRUE(memory.dma_read(memory.physical_address(given + 3 * 4096 - 1), &seen[1], 1)) << c.what;
    ASSERT_TRUE(memory.dma_read(memory.physical_address(before), &seen[0], 1)) << c.what;
    ASSERT_TRUE(memory.dma_read(memory.physical_address(after), &seen[2], 1)) << c.what;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(seen), 3), "bga") << c.what;
  }
  // A mapping of the segment is the allocation itself, both ways.
  auto* mapped = static_cast<unsigned char*>(mmap(nullptr, 3 * 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  ASSERT_NE(mapped, MAP_FAILED);
  mapped[4097] = 'p';
  EXPECT_EQ(given[4097], 'p');
  const unsigned char by_adapter = 'd';
  ASSERT_TRUE(memory.dma_write(memory.physical_address(given + 8000), &by_adapter, 1));
  EXPECT_EQ(mapped[8000], 'd');
  // Freed, the frames are reused; the process keeps the old pages to itself.
  memory.free(given);
  auto* reused = static_cast<unsigned char*>(memory.allocate(3 * 4096, PhysicalMemory::Layout::Any));
  ASSERT_NE(reused, nullptr);
  std::memset(reused, 'n', 3 * 4096);
  EXPECT_EQ(mapped[0], 'g') << "no later allocation shows through a kept mapping";
  munmap(mapped, 3 * 4096);
  for (void* block :
       {static_cast<void*>(before), static_cast<void*>(after), static_cast<void*>(slab), static_cast<void*>(reused)}) {
    memory.free(block);
  }
}

using PhysicalMemoryDeathTest = PhysicalMemoryTest;

TEST_P(PhysicalMemoryDeathTest, AGuardPageFollowsEachAllocation) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        auto* p = static_cast<volatile char*>(memory.allocate(4096, PhysicalMemory::Layout::Any));
        p[4096] = 1;
      },
      "");
}

INSTANTIATE_TEST_SUITE_P(Modes, PhysicalMemoryTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Scattered" : "Linear"; });
INSTANTIATE_TEST_SUITE_P(Modes, PhysicalMemoryDeathTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Scattered" : "Linear"; });

}  // namespace
