// The index/data register pairs of a board (0x50 + 8k / 0x54 + 8k). Each
// pair keeps the index last written to it. The pairs also watch for the
// fault the index-register lock exists to prevent: one thread writing the
// index between another thread's index write and its data access, or a
// thread accessing data through an index that another thread wrote.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include "include/hw/registers.h"
#include "sim/board_config.h"

namespace zeksim {

struct IndexRace {
  enum class Kind {
    IndexOverwritten,  // another thread wrote the index before the first thread's data access
    ForeignIndex,      // a data access through an index another thread wrote
  };
  Kind kind;
  unsigned pair;
  std::uint32_t first_index;   // the index the first thread had selected
  std::uint32_t second_index;  // the index in force at the faulty access
};

class IndexPairs {
 public:
  explicit IndexPairs(IndexRaceCheck check) : check_(check) {}

  // Record the access; return the race seen, if the detector is on and one happened.
  std::optional<IndexRace> write_index(unsigned pair, std::uint32_t index);
  std::optional<IndexRace> data_access(unsigned pair);

  std::uint32_t index(unsigned pair) const { return pairs_[pair].index; }
  IndexRaceCheck check() const { return check_; }

 private:
  struct Pair {
    std::uint32_t index = 0;
    std::thread::id writer{};  // thread of the last index write
    bool consumed = true;      // the writer has made its data access
  };

  IndexRaceCheck check_;
  std::array<Pair, zekhw::kIndexPairs> pairs_{};
};

}  // namespace zeksim
