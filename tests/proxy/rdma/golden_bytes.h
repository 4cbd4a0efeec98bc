// Work requests written out by hand from the hardware's format, and the
// difference of two byte images as a readable message.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace golden {

using Wqe = std::array<std::uint8_t, 128>;

// A request's bytes as the hardware's format lays them out.
struct Golden {
  Wqe bytes{};
  Golden& u32(std::size_t at, std::uint32_t v) {
    std::memcpy(bytes.data() + at, &v, 4);
    return *this;
  }
  Golden& u64(std::size_t at, std::uint64_t v) {
    std::memcpy(bytes.data() + at, &v, 8);
    return *this;
  }
  Golden& data(std::size_t at, const void* p, std::size_t n) {
    std::memcpy(bytes.data() + at, p, n);
    return *this;
  }
};

inline std::string diff(const std::uint8_t* got, const std::uint8_t* want, std::size_t n) {
  std::string out;
  char line[64];
  for (std::size_t i = 0; i < n; ++i) {
    if (got[i] != want[i]) {
      std::snprintf(line, sizeof line, " byte %zu: %02x, want %02x;", i, got[i], want[i]);
      out += line;
    }
  }
  return out;
}

}  // namespace golden
