#include "sim/iwarp/crc32c.h"

#include <gtest/gtest.h>

#include <random>
#include <string_view>
#include <vector>

namespace zeksim {
namespace {

std::vector<std::byte> bytes_of(std::string_view s) {
  std::vector<std::byte> v(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) v[i] = std::byte(static_cast<unsigned char>(s[i]));
  return v;
}

// RFC 3720 appendix B.4 and the usual check value.
TEST(Crc32c, KnownVectors) {
  std::vector<std::byte> zeros(32, std::byte{0}), ones(32, std::byte{0xFF}), up(32), down(32);
  for (int i = 0; i < 32; ++i) {
    up[i] = std::byte(i);
    down[i] = std::byte(31 - i);
  }
  struct Case {
    std::vector<std::byte> data;
    std::uint32_t crc;
  } cases[] = {
      {bytes_of("123456789"), 0xE3069283u},
      {zeros, 0x8A9136AAu},
      {ones, 0x62A8AB43u},
      {up, 0x46DD794Eu},
      {down, 0x113FDB5Cu},
      {{}, 0u},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(crc32c(c.data), c.crc);
    EXPECT_EQ(crc32c_final(crc32c_update_portable(kCrc32cInit, c.data)), c.crc);
  }
}

TEST(Crc32c, PiecesAndPathsAgree) {
  std::mt19937 rng(5);
  std::vector<std::byte> data(70001);
  for (auto& b : data) b = std::byte(rng());
  const std::uint32_t whole = crc32c(data);
  EXPECT_EQ(crc32c_final(crc32c_update_portable(kCrc32cInit, data)), whole);
  // Odd-sized pieces at odd offsets.
  std::uint32_t state = kCrc32cInit;
  std::size_t at = 0;
  for (std::size_t piece = 1; at < data.size(); piece = piece * 3 % 1013 + 1) {
    const std::size_t n = std::min(piece, data.size() - at);
    state = crc32c_update(state, std::span(data).subspan(at, n));
    at += n;
  }
  EXPECT_EQ(crc32c_final(state), whole);
  // Lengths around the instruction path's rounds of three 128-byte blocks,
  // from every alignment, against the table path.
  for (std::size_t length : {383u, 384u, 385u, 767u, 768u, 776u, 1460u, 8960u}) {
    for (std::size_t offset : {0u, 1u, 5u}) {
      const auto piece = std::span(data).subspan(offset, length);
      EXPECT_EQ(crc32c_update(0x12345678u, piece), crc32c_update_portable(0x12345678u, piece))
          << length << " bytes at " << offset;
    }
  }
}

}  // namespace
}  // namespace zeksim
