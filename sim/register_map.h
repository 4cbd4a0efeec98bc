// The adapter's registers as one declarative table: every register of the
// register window (BAR0), of a user doorbell page (BAR1), of the
// configuration window (BAR2) and of the indexed space behind the index/data
// pairs is one row, with its offset, name, access kind, value at reset and
// the board's hooks. docs/hardware.md lists the same rows; a test reads the
// page and checks that the two agree.
//
// Adding a register is adding a row to register_table() (register_map.cpp)
// and to the page. A row may stand for an array (count registers, stride
// bytes apart) or for a block of words kept as written; a row that lies
// inside a block takes precedence over the block, so a register with a
// meaning can be carved out of a block without splitting it.
//
// The RegisterFile applies the rows: it keeps the value of every register
// whose state is not the board's own, applies the access kind, calls the
// hooks, and logs and counts what no row allows.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim/board_config.h"
#include "sim/counters.h"
#include "sim/log.h"

namespace zeksim {

class Board;

// The windows of a PCI function, as the bus sees them.
enum class Window : unsigned { Registers = 0, Doorbells = 1, Config = 2 };

// Where a register lives: the three windows and the indexed space reached
// through the index/data pairs. Rows of the doorbell window describe one
// page; every page has the same layout.
enum class Space : unsigned { Registers = 0, Doorbells = 1, Config = 2, Indexed = 3 };
inline constexpr unsigned kSpaces = 4;

constexpr Space space_of(Window window) { return static_cast<Space>(window); }
const char* space_name(Space space);

enum class Access : std::uint8_t {
  ReadOnly,         // a write changes nothing and is logged and counted
  ReadWrite,        // a write sets the writable bits
  WriteOneToClear,  // a write clears the bits written as 1
  WriteOnly,        // a write is an event; a read returns 0
};
const char* access_name(Access access);

// One access as a hook sees it.
struct RegisterAccess {
  unsigned function;     // the function whose window was accessed
  std::uint32_t offset;  // the offset (or index) accessed
  unsigned instance;     // which register of the row ((offset - row offset) / stride); doorbell window: the page
  std::uint32_t value;   // a write: the value written
  // The value the register keeps (on a write: after the access rule); null
  // where the board keeps the state.
  std::uint32_t* kept;
};

using ReadHook = std::uint32_t (Board::*)(const RegisterAccess&);
using WriteHook = void (Board::*)(const RegisterAccess&);
using ConfiguredValue = std::uint32_t (*)(const BoardConfig&);

struct Register {
  Space space;
  std::uint32_t offset;
  const char* name;
  Access access;
  std::uint32_t reset = 0;
  // The value at reset comes from the board's configuration (reset unused).
  ConfiguredValue configured = nullptr;
  std::uint32_t count = 1;               // registers in the row
  std::uint32_t stride = 4;              // bytes between them
  std::uint32_t writable = 0xFFFF'FFFF;  // bits a write changes (read-write, write-one-to-clear)
  bool shared = false;                   // one register for the board, not one per function (indexed: always)
  // The value of a read where the board keeps the state (the register file
  // then keeps nothing), or where a read has effects.
  ReadHook on_read = nullptr;
  // Called after the access rule has been applied to the kept value.
  WriteHook on_write = nullptr;

  std::uint32_t reset_value(const BoardConfig& config) const { return configured ? configured(config) : reset; }
  std::uint32_t last() const { return offset + (count - 1) * stride; }
  bool is_shared() const { return shared || space == Space::Indexed; }
  // Whether the register file keeps the value.
  bool keeps_value() const { return on_read == nullptr && access != Access::WriteOnly; }
};

// Every register of the adapter.
std::span<const Register> register_table();

// Finds the row of an offset; built once from a table.
class RegisterMap {
 public:
  struct Slot {
    const Register* reg = nullptr;
    unsigned instance = 0;
    unsigned storage = 0;  // index of the kept value
  };

  explicit RegisterMap(std::span<const Register> table);
  // The map of register_table().
  static const RegisterMap& adapter();

  std::optional<Slot> find(Space space, std::uint32_t offset) const;
  unsigned storage_slots() const { return storage_slots_; }
  // Rows that are malformed or overlap without nesting; empty for a sound table.
  const std::vector<std::string>& problems() const { return problems_; }

 private:
  void check(std::span<const Register> table);

  std::array<std::unordered_map<std::uint32_t, Slot>, kSpaces> slots_;
  unsigned storage_slots_ = 0;
  std::vector<std::string> problems_;
};

// The registers of one board: the kept values, the access rules and the hooks.
// Not thread-safe by itself: the board calls it under its lock.
class RegisterFile {
 public:
  RegisterFile(Board& board, const BoardConfig& config, const Log& log, LiveFaultCounters& faults);

  // A bus access (offsets already checked against the window's size and
  // alignment). Hooks run on the board.
  std::uint32_t read(Space space, unsigned function, std::uint32_t offset);
  void write(Space space, unsigned function, std::uint32_t offset, std::uint32_t value);

  // The value a register keeps, for the engines: no access rule, no hook,
  // nothing counted (0 where nothing is kept).
  std::uint32_t kept(Space space, unsigned function, std::uint32_t offset) const;
  // Sets bits of a kept value as the adapter does (an event the board raises).
  void set_bits(Space space, unsigned function, std::uint32_t offset, std::uint32_t bits);

 private:
  std::uint32_t* storage(const RegisterMap::Slot& slot, unsigned function);

  Board& board_;
  const RegisterMap& map_;
  const Log& log_;
  LiveFaultCounters& faults_;
  unsigned functions_;
  std::vector<std::uint32_t> values_;  // per function, storage_slots() each; shared registers use function 0's
};

}  // namespace zeksim
