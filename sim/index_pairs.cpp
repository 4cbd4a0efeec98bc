#include "sim/index_pairs.h"

namespace zeksim {

std::optional<IndexRace> IndexPairs::write_index(unsigned pair, std::uint32_t index) {
  Pair& p = pairs_[pair];
  std::optional<IndexRace> race;
  auto self = std::this_thread::get_id();
  if (check_ != IndexRaceCheck::Off && !p.consumed && p.writer != self) {
    race = IndexRace{IndexRace::Kind::IndexOverwritten, pair, p.index, index};
  }
  p.index = index;
  p.writer = self;
  p.consumed = false;
  return race;
}

std::optional<IndexRace> IndexPairs::data_access(unsigned pair) {
  Pair& p = pairs_[pair];
  auto self = std::this_thread::get_id();
  if (p.writer == self) {
    p.consumed = true;
    return std::nullopt;
  }
  // Nobody has selected an index yet: the reset index 0 is as good as any.
  if (check_ == IndexRaceCheck::Off || p.writer == std::thread::id{}) return std::nullopt;
  return IndexRace{IndexRace::Kind::ForeignIndex, pair, p.index, p.index};
}

}  // namespace zeksim
