// The register table: that it is sound (rows nest or stay apart), and that the
// board applies it: reset values, read-only and kept registers, per-function
// and board-wide registers, and unknown accesses refused, logged and counted.
#include <algorithm>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "sim/register_map.h"
#include "tests/sim/sim_fixture.h"

namespace {

using namespace zekhw;
using zeksim::Access;
using zeksim::Register;
using zeksim::RegisterMap;
using zeksim::Space;
using zeksim::Window;

// ---------------------------------------------------------------------------
// The table

std::string lines(const std::vector<std::string>& rows) {
  std::string out;
  for (const auto& r : rows) out += "\n  " + r;
  return out;
}

TEST(RegisterTable, IsSound) {
  const RegisterMap& map = RegisterMap::adapter();
  EXPECT_TRUE(map.problems().empty()) << lines(map.problems());
}

TEST(RegisterTable, RowsInsideABlockTakePrecedenceAndOverlapsAreFound) {
  const Register rows[] = {
      {.space = Space::Indexed, .offset = 0x2000, .name = "block", .access = Access::ReadWrite, .count = 0x80},
      {.space = Space::Indexed, .offset = 0x2084, .name = "inside", .access = Access::WriteOnly},
      {.space = Space::Indexed, .offset = 0x6200, .name = "low", .access = Access::ReadWrite, .count = 4, .stride = 8},
      {.space = Space::Indexed, .offset = 0x6204, .name = "high", .access = Access::ReadWrite, .count = 4, .stride = 8},
  };
  RegisterMap map(rows);
  EXPECT_TRUE(map.problems().empty()) << lines(map.problems());
  EXPECT_EQ(map.find(Space::Indexed, 0x2084)->reg, &rows[1]);
  EXPECT_EQ(map.find(Space::Indexed, 0x2080)->reg, &rows[0]);
  EXPECT_EQ(map.find(Space::Indexed, 0x2080)->instance, 0x20u);
  EXPECT_EQ(map.find(Space::Indexed, 0x6214)->reg, &rows[3]);
  EXPECT_EQ(map.find(Space::Indexed, 0x6214)->instance, 2u);
  EXPECT_FALSE(map.find(Space::Indexed, 0x6220));
  EXPECT_FALSE(map.find(Space::Registers, 0x2000)) << "spaces are apart";
  EXPECT_EQ(map.storage_slots(), 0x80u - 1 + 8) << "the write-only register inside the block keeps nothing";

  const struct {
    const char* what;
    Register a, b;
  } bad[] = {
      {"an array register shared with a single one",
       {.space = Space::Indexed, .offset = 0x100, .name = "a", .access = Access::ReadWrite, .count = 4, .stride = 8},
       {.space = Space::Indexed, .offset = 0x108, .name = "b", .access = Access::ReadWrite}},
      {"one offset twice",
       {.space = Space::Registers, .offset = 0x10, .name = "a", .access = Access::ReadWrite},
       {.space = Space::Registers, .offset = 0x10, .name = "b", .access = Access::ReadOnly}},
      {"blocks that cross",
       {.space = Space::Indexed, .offset = 0x100, .name = "a", .access = Access::ReadWrite, .count = 8},
       {.space = Space::Indexed, .offset = 0x110, .name = "b", .access = Access::ReadWrite, .count = 8}},
      {"misaligned",
       {.space = Space::Registers, .offset = 0x02, .name = "a", .access = Access::ReadWrite},
       {.space = Space::Registers, .offset = 0x40, .name = "b", .access = Access::ReadWrite}},
      {"beyond the window",
       {.space = Space::Registers, .offset = 0xFF8, .name = "a", .access = Access::ReadWrite, .count = 4},
       {.space = Space::Registers, .offset = 0x40, .name = "b", .access = Access::ReadWrite}},
      {"an array in a doorbell page",
       {.space = Space::Doorbells, .offset = 0x00, .name = "a", .access = Access::WriteOnly, .count = 2, .stride = 8},
       {.space = Space::Doorbells, .offset = 0x40, .name = "b", .access = Access::WriteOnly}},
  };
  for (const auto& c : bad) {
    const Register pair[] = {c.a, c.b};
    EXPECT_FALSE(RegisterMap(pair).problems().empty()) << c.what;
  }
}

// ---------------------------------------------------------------------------
// The board applies the table

class RegisterFileTest : public SimTest {
 public:
  // Bus access to register n of a row, through function f's window (the
  // indexed space through f's own pair).
  std::uint32_t read(unsigned f, const Register& r, std::uint32_t n) {
    std::uint32_t offset = r.offset + n * r.stride;
    if (r.space == Space::Indexed) return idx_rd(f, offset);
    if (r.space == Space::Doorbells) offset += n * kDoorbellPageBytes;
    return rd(f, offset, static_cast<Window>(r.space));
  }
  void write(unsigned f, const Register& r, std::uint32_t n, std::uint32_t value) {
    std::uint32_t offset = r.offset + n * r.stride;
    if (r.space == Space::Indexed) return idx_wr(f, offset, value);
    wr(f, offset, value, static_cast<Window>(r.space));
  }
  // The first and the last register of a row.
  static std::vector<std::uint32_t> ends(const Register& r) {
    return r.count == 1 ? std::vector<std::uint32_t>{0} : std::vector<std::uint32_t>{0, r.count - 1};
  }
  std::vector<const Register*> rows(Space space) {
    std::vector<const Register*> out;
    for (const Register& r : zeksim::register_table()) {
      if (r.space == space) out.push_back(&r);
    }
    return out;
  }
};

TEST_F(RegisterFileTest, EveryRegisterReadsItsResetValueOnEveryFunction) {
  // The windows first: an indexed read moves the index registers.
  for (Space space : {Space::Registers, Space::Doorbells, Space::Config, Space::Indexed}) {
    for (const Register* r : rows(space)) {
      for (unsigned f = 0; f < board().functions(); ++f) {
        for (std::uint32_t n : ends(*r)) {
          std::uint32_t expected = r->access == Access::WriteOnly ? 0 : r->reset_value(board().config());
          EXPECT_EQ(read(f, *r, n), expected) << r->name << " " << n << " of function " << f;
        }
      }
    }
  }
  zeksim::FaultCounters faults = board().faults();
  EXPECT_EQ(faults.unknown_accesses + faults.read_only_writes + faults.bad_accesses + faults.index_races, 0u);
}

TEST_F(RegisterFileTest, ReadOnlyRegistersIgnoreWritesAndCountThem) {
  std::uint64_t writes = 0;
  for (const Register& r : zeksim::register_table()) {
    if (r.access != Access::ReadOnly) continue;
    for (std::uint32_t n : ends(r)) {
      std::uint32_t before = read(0, r, n);
      write(0, r, n, ~before);
      EXPECT_EQ(read(0, r, n), before) << r.name;
      ++writes;
    }
  }
  ASSERT_GT(writes, 0u);
  EXPECT_EQ(board().faults().read_only_writes, writes);
  EXPECT_NE(board_log().find("to the read-only queue classes"), std::string::npos);
}

TEST_F(RegisterFileTest, KeptRegistersHoldWhatIsWrittenPerFunctionOrForTheBoard) {
  // Registers without hooks: what one function writes, the same function
  // reads back; the other function sees its own copy, or the same one for a
  // register of the board.
  std::uint32_t value = 0x10000;
  for (const Register& r : zeksim::register_table()) {
    if (r.access != Access::ReadWrite || r.on_read != nullptr || r.on_write != nullptr) continue;
    for (std::uint32_t n : ends(r)) {
      SCOPED_TRACE(r.name);
      const std::uint32_t a = ++value & r.writable;
      const std::uint32_t b = ++value & r.writable;
      write(0, r, n, a);
      if (!r.is_shared()) write(1, r, n, b);
      EXPECT_EQ(read(0, r, n), a);
      EXPECT_EQ(read(1, r, n), r.is_shared() ? a : b);
    }
  }
  EXPECT_EQ(board().faults().unknown_accesses, 0u);
}

TEST_F(RegisterFileTest, UnknownAccessesAreRefusedLoggedAndCounted) {
  const struct {
    Space space;
    std::uint32_t offset;
  } unknown[] = {
      {Space::Registers, 0x1C},   {Space::Registers, 0x38},  {Space::Registers, 0x4C},
      {Space::Registers, 0x90},   {Space::Registers, 0xFFC}, {Space::Doorbells, 0x04},
      {Space::Doorbells, 0x1FFC}, {Space::Config, 0x00},     {Space::Config, 0x24},
      {Space::Indexed, 0x44},     {Space::Indexed, 0x60},    {Space::Indexed, 0x1058},
      {Space::Indexed, 0x3000},   {Space::Indexed, 0x7774},  {Space::Indexed, 0xFFFF'FFFC},
  };
  // Open the user doorbell pages, so that only the unknown offset refuses.
  idx_wr(0, idx_user_doorbell(0), 4u << kUserDbCountShift);
  std::uint64_t count = 0;
  for (const auto& c : unknown) {
    SCOPED_TRACE(testing::Message() << zeksim::space_name(c.space) << " 0x" << std::hex << c.offset);
    std::uint32_t read = 0;
    if (c.space == Space::Indexed) {
      idx_wr(0, c.offset, 0x5A5A5A5A);
      read = idx_rd(1, c.offset);
    } else {
      wr(0, c.offset, 0x5A5A5A5A, static_cast<Window>(c.space));
      read = rd(0, c.offset, static_cast<Window>(c.space));
    }
    EXPECT_EQ(read, 0u) << "nothing stored";
    count += 2;
    EXPECT_EQ(board().faults().unknown_accesses, count);
    std::ostringstream at;
    at << zeksim::space_name(c.space) << " 0x" << std::hex << c.offset;
    EXPECT_NE(board_log().find("write of 0x5a5a5a5a at " + at.str()), std::string::npos);
    EXPECT_NE(board_log().find("read at " + at.str()), std::string::npos);
  }
  zeksim::FaultCounters faults = board().faults();
  EXPECT_EQ(faults.bad_accesses + faults.read_only_writes + faults.stray_doorbells, 0u);
}

}  // namespace
