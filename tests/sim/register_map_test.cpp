// The register table: that it agrees with the register tables of
// docs/hardware.md, that it is sound (rows nest or stay apart), and that the
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
#include "tests/support/sim_fixture.h"

namespace {

using namespace zekhw;
using zeksim::Access;
using zeksim::Register;
using zeksim::RegisterMap;
using zeksim::Space;
using zeksim::Window;

// ---------------------------------------------------------------------------
// The table and the page

// One register row in words both sides can give.
std::string row_text(Space space, std::uint32_t offset, std::uint32_t count, std::uint32_t stride,
                     const std::string& name, const std::string& access, const std::string& reset) {
  std::ostringstream out;
  out << zeksim::space_name(space) << " 0x" << std::hex << std::uppercase << offset;
  if (count > 1) out << " + 0x" << stride << " x " << std::dec << count;
  out << ": " << name << ", " << access << ", reset " << reset;
  return out.str();
}

std::string reset_text(std::uint32_t value, bool configured) {
  std::ostringstream out;
  out << "0x" << std::hex << std::uppercase << value << (configured ? " *" : "");
  return out.str();
}

std::vector<std::string> table_rows() {
  std::vector<std::string> rows;
  const zeksim::BoardConfig defaults;
  for (const Register& r : zeksim::register_table()) {
    std::string reset =
        r.access == Access::WriteOnly ? "-" : reset_text(r.reset_value(defaults), r.configured != nullptr);
    rows.push_back(
        row_text(r.space, r.offset, r.count, r.count > 1 ? r.stride : 4, r.name, access_name(r.access), reset));
  }
  return rows;
}

// Splits a Markdown table line into its cells ("\|" is a pipe inside a cell).
std::vector<std::string> cells(const std::string& line) {
  std::vector<std::string> out;
  std::string cell;
  for (std::size_t i = 1; i < line.size(); ++i) {
    if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '|') {
      cell += '|';
      ++i;
    } else if (line[i] == '|') {
      out.push_back(cell);
      cell.clear();
    } else {
      cell += line[i];
    }
  }
  for (auto& c : out) {
    c.erase(0, c.find_first_not_of(' '));
    c.erase(c.find_last_not_of(' ') + 1);
  }
  return out;
}

struct PageRows {
  std::vector<std::string> rows;
  std::vector<std::string> errors;
  std::map<Space, int> per_space;
};

// The register tables of the page: one per window section and one for the
// indexed registers, with the columns offset, register, access, reset.
PageRows page_rows(std::istream& page) {
  const std::map<std::string, Space> sections = {
      {"## Register window (BAR0)", Space::Registers},
      {"## User doorbell window (BAR1)", Space::Doorbells},
      {"## Configuration window (BAR2)", Space::Config},
      {"## Indexed registers", Space::Indexed},
  };
  const std::regex single(R"(^(0x[0-9A-F]+)$)");
  const std::regex block(R"(^(0x[0-9A-F]+)-(0x[0-9A-F]+)$)");
  const std::regex array(R"(^(0x[0-9A-F]+) \+ (0x[0-9A-F]+|[0-9]+)([A-Za-z]), \3 = 0-([0-9]+)$)");
  PageRows out;
  std::optional<Space> space;
  bool in_table = false;
  for (std::string line; std::getline(page, line);) {
    if (line.rfind("## ", 0) == 0) {
      auto it = sections.find(line);
      space = it == sections.end() ? std::nullopt : std::optional(it->second);
      in_table = false;
      continue;
    }
    if (!space) continue;
    if (line.rfind("|", 0) != 0) {
      in_table = false;
      continue;
    }
    std::vector<std::string> c = cells(line);
    if (c.size() >= 4 && (c[0] == "offset" || c[0] == "index") && c[1] == "register" && c[2] == "access" &&
        c[3] == "reset") {
      in_table = true;
      continue;
    }
    if (!in_table || c.empty() || c[0].rfind("---", 0) == 0) continue;
    if (c.size() < 4) {
      out.errors.push_back("short row: " + line);
      continue;
    }
    std::smatch m;
    std::uint32_t offset = 0, count = 1, stride = 4;
    if (std::regex_match(c[0], m, single)) {
      offset = std::stoul(m[1].str(), nullptr, 0);
    } else if (std::regex_match(c[0], m, block)) {
      offset = std::stoul(m[1].str(), nullptr, 0);
      count = (static_cast<std::uint32_t>(std::stoul(m[2].str(), nullptr, 0)) - offset) / 4 + 1;
    } else if (std::regex_match(c[0], m, array)) {
      offset = std::stoul(m[1].str(), nullptr, 0);
      stride = std::stoul(m[2].str(), nullptr, 0);
      count = std::stoul(m[4].str()) + 1;
    } else {
      out.errors.push_back("offset not understood: " + line);
      continue;
    }
    std::string reset = c[3];
    if (reset != "-") {
      std::size_t used = 0;
      std::uint32_t value = std::stoul(reset, &used, 0);
      std::string rest = reset.substr(used);
      rest.erase(0, rest.find_first_not_of(' '));
      if (!rest.empty() && rest != "*") out.errors.push_back("reset not understood: " + line);
      reset = reset_text(value, rest == "*");
    }
    out.rows.push_back(row_text(*space, offset, count, count > 1 ? stride : 4, c[1], c[2], reset));
    ++out.per_space[*space];
  }
  return out;
}

std::vector<std::string> missing(std::vector<std::string> from, std::vector<std::string> in) {
  std::sort(from.begin(), from.end());
  std::sort(in.begin(), in.end());
  std::vector<std::string> out;
  std::set_difference(from.begin(), from.end(), in.begin(), in.end(), std::back_inserter(out));
  return out;
}

std::string lines(const std::vector<std::string>& rows) {
  std::string out;
  for (const auto& r : rows) out += "\n  " + r;
  return out;
}

TEST(RegisterTable, AgreesWithTheHardwarePage) {
  std::ifstream page(ZEK_HARDWARE_PAGE);
  ASSERT_TRUE(page) << "cannot read " << ZEK_HARDWARE_PAGE;
  PageRows doc = page_rows(page);
  EXPECT_TRUE(doc.errors.empty()) << lines(doc.errors);
  for (Space s : {Space::Registers, Space::Doorbells, Space::Config, Space::Indexed}) {
    EXPECT_GT(doc.per_space[s], 0) << "no register table for " << zeksim::space_name(s);
  }
  std::vector<std::string> table = table_rows();
  EXPECT_TRUE(missing(table, doc.rows).empty()) << "in the table, not on the page:" << lines(missing(table, doc.rows));
  EXPECT_TRUE(missing(doc.rows, table).empty()) << "on the page, not in the table:" << lines(missing(doc.rows, table));
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
  // The first and the last register of a row (those a row inside a block has
  // not taken over).
  static std::vector<std::uint32_t> ends(const Register& r) {
    std::vector<std::uint32_t> out;
    for (std::uint32_t n : r.count == 1 ? std::vector<std::uint32_t>{0} : std::vector<std::uint32_t>{0, r.count - 1}) {
      auto slot = RegisterMap::adapter().find(r.space, r.offset + n * r.stride);
      if (slot && slot->reg == &r) out.push_back(n);
    }
    return out;
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
      {Space::Registers, 0x1C},  {Space::Registers, 0x38}, {Space::Registers, 0x4C},      {Space::Registers, 0x90},
      {Space::Registers, 0xFFC}, {Space::Doorbells, 0x04}, {Space::Doorbells, 0x1FFC},    {Space::Config, 0x00},
      {Space::Config, 0x24},     {Space::Indexed, 0x44},   {Space::Indexed, 0x60},        {Space::Indexed, 0x1058},
      {Space::Indexed, 0x4000},  {Space::Indexed, 0x8774}, {Space::Indexed, 0xFFFF'FFFC},
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
