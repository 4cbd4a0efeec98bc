#include "sim/iwarp/stag_table.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace zeksim {
namespace {

using namespace zekhw;

constexpr std::uint32_t kRead = kAccessLocalRead | kAccessRemoteRead;
constexpr std::uint32_t kAll = kAccessLocalRead | kAccessLocalWrite | kAccessRemoteRead | kAccessRemoteWrite;

// A region of 3 scattered 4 KB pages at VA 0x10000100 (first byte 256 into the first page).
struct Fixture {
  StagTable t;
  std::uint32_t stag = make_stag(5, 0x3C);
  Fixture() {
    MemoryEntry e;
    e.pd = 9;
    e.key = 0x3C;
    e.access = kAll;
    e.va = 0x10000100;
    e.length = 3 * 4096 - 256;
    e.pages = {0x9000, 0x3000, 0x7000};
    e.fbo = 256;
    EXPECT_TRUE(t.register_region(5, e));
  }
  std::vector<std::pair<std::uint64_t, std::uint64_t>> runs(std::uint32_t s, std::uint64_t to, std::uint64_t len) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> r;
    t.for_each_run(s, to, len, [&](std::uint64_t pa, std::uint64_t n) { r.emplace_back(pa, n); });
    return r;
  }
};

TEST(StagTable, ChecksKeyPdRightsAndBounds) {
  Fixture f;
  const std::uint64_t end = 0x10000100 + 3 * 4096 - 256;
  struct Case {
    const char* what;
    std::uint32_t stag, pd, access;
    std::uint64_t to, len;
    StagError expect;
  } cases[] = {
      {"whole region", f.stag, 9, kRead, 0x10000100, end - 0x10000100, StagError::None},
      {"empty at the end", f.stag, 9, kRead, end, 0, StagError::None},
      {"other key", make_stag(5, 0x3D), 9, kRead, 0x10000100, 1, StagError::Invalid},
      {"no such index", make_stag(6, 0x3C), 9, kRead, 0x10000100, 1, StagError::Invalid},
      {"other pd", f.stag, 8, kRead, 0x10000100, 1, StagError::PdMismatch},
      {"before", f.stag, 9, kRead, 0x100000FF, 1, StagError::Bounds},
      {"past the end", f.stag, 9, kRead, end - 1, 2, StagError::Bounds},
      {"wrapping length", f.stag, 9, kRead, 0x10000100, ~0ull, StagError::Bounds},
  };
  for (const auto& c : cases) EXPECT_EQ(f.t.check(c.stag, c.pd, c.access, c.to, c.len), c.expect) << c.what;
  f.t.find(5)->access = kAccessLocalRead;
  EXPECT_EQ(f.t.check(f.stag, 9, kAccessRemoteRead, 0x10000100, 1), StagError::Access);
}

TEST(StagTable, RunsFollowThePageList) {
  Fixture f;
  using R = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
  EXPECT_EQ(f.runs(f.stag, 0x10000100, 10), (R{{0x9100, 10}}));
  EXPECT_EQ(f.runs(f.stag, 0x10000F00, 0x300), (R{{0x9F00, 0x100}, {0x3000, 0x200}}));
  EXPECT_EQ(f.runs(f.stag, 0x10000100, 3 * 4096 - 256), (R{{0x9100, 0xF00}, {0x3000, 0x1000}, {0x7000, 0x1000}}));
  // Zero-based: the tagged offset counts from the first byte.
  f.t.find(5)->zero_based = true;
  EXPECT_EQ(f.runs(f.stag, 0xF00, 0x200), (R{{0x3000, 0x200}}));
  // Two-MB pages.
  MemoryEntry big;
  big.pd = 1;
  big.key = 0;
  big.access = kAll;
  big.zero_based = true;
  big.length = 3u << 20;
  big.page_bytes = 2u << 20;
  big.pages = {0x40000000, 0x80000000};
  ASSERT_TRUE(f.t.register_region(7, big));
  EXPECT_EQ(f.runs(make_stag(7, 0), (2u << 20) - 16, 32), (R{{0x40000000 + (2u << 20) - 16, 16}, {0x80000000, 16}}));
}

TEST(StagTable, WindowsBindInsideTheirRegionAndTranslateThroughIt) {
  Fixture f;
  ASSERT_TRUE(f.t.allocate(20, 9, true, 0));
  const std::uint32_t w = make_stag(20, 0x77);
  EXPECT_EQ(f.t.check(w, 9, kAccessRemoteWrite, 0x10001000, 1), StagError::Invalid);  // not bound yet
  EXPECT_EQ(f.t.bind(w, f.stag, 8, 0x10001000, 0x100, kAccessRemoteWrite), StagError::PdMismatch);
  EXPECT_EQ(f.t.bind(w, f.stag, 9, 0x10002F00, 0x200, kAccessRemoteWrite), StagError::Bounds);
  ASSERT_EQ(f.t.bind(w, f.stag, 9, 0x10000F80, 0x100, kAccessRemoteWrite), StagError::None);
  EXPECT_EQ(f.t.check(w, 9, kAccessRemoteWrite, 0x10000F80, 0x100), StagError::None);
  EXPECT_EQ(f.t.check(w, 9, kAccessRemoteRead, 0x10000F80, 1), StagError::Access);
  EXPECT_EQ(f.t.check(w, 9, kAccessRemoteWrite, 0x10000F80, 0x101), StagError::Bounds);
  EXPECT_EQ(f.runs(w, 0x10000F80, 0x100),
            (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{0x9F80, 0x80}, {0x3000, 0x80}}));
  // The region stays while a window is bound into it.
  EXPECT_FALSE(f.t.deallocate(5));
  EXPECT_EQ(f.t.invalidate(f.stag, 9), StagError::Access);
  EXPECT_EQ(f.t.invalidate(make_stag(20, 0x76), 9), StagError::Invalid);
  ASSERT_EQ(f.t.invalidate(w, 9), StagError::None);
  EXPECT_EQ(f.t.check(w, 9, kAccessRemoteWrite, 0x10000F80, 1), StagError::Invalid);
  EXPECT_TRUE(f.t.deallocate(5));
}

TEST(StagTable, WindowsGiveNoRightTheRegionLacks) {
  Fixture f;
  f.t.find(5)->access = kAccessLocalRead;
  ASSERT_TRUE(f.t.allocate(21, 9, true, 0));
  EXPECT_EQ(f.t.bind(make_stag(21, 1), f.stag, 9, 0x10000100, 16, kAccessRemoteWrite), StagError::Access);
  EXPECT_EQ(f.t.bind(make_stag(21, 1), f.stag, 9, 0x10000100, 16, kAccessRemoteRead), StagError::None);
}

}  // namespace
}  // namespace zeksim
