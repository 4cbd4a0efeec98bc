#include "sim/iwarp/crc32c.h"

#include <array>
#include <cstring>

namespace zeksim {

namespace {

constexpr std::uint32_t kPoly = 0x82F63B78u;

// Slicing-by-8: table k maps a byte that is k positions from the end of an
// 8-byte step to its contribution.
constexpr std::array<std::array<std::uint32_t, 256>, 8> make_tables() {
  std::array<std::array<std::uint32_t, 256>, 8> t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? (c >> 1) ^ kPoly : c >> 1;
    t[0][i] = c;
  }
  for (std::uint32_t i = 0; i < 256; ++i) {
    for (int k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  }
  return t;
}
constexpr auto kTables = make_tables();

std::uint32_t update_tables(std::uint32_t c, const unsigned char* p, std::size_t n) {
  while (n >= 8) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    v ^= c;
    c = kTables[7][v & 0xFF] ^ kTables[6][(v >> 8) & 0xFF] ^ kTables[5][(v >> 16) & 0xFF] ^
        kTables[4][(v >> 24) & 0xFF] ^ kTables[3][(v >> 32) & 0xFF] ^ kTables[2][(v >> 40) & 0xFF] ^
        kTables[1][(v >> 48) & 0xFF] ^ kTables[0][v >> 56];
    p += 8;
    n -= 8;
  }
  while (n-- > 0) c = kTables[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
  return c;
}

#if defined(__x86_64__)
// Three streams at once: the instruction takes three cycles but can start
// one a cycle, so three neighbouring blocks of kStream bytes are summed side
// by side and joined. The CRC is linear: for blocks A, B, C of one round,
// crc(s, ABC) = shift2(crc(s, A)) ^ shift1(crc(0, B)) ^ crc(0, C), where
// shiftN is what N blocks of zeros do to a state; each shift is four tables
// of 256 entries, one per byte of the state.
constexpr std::size_t kStream = 128;
using ShiftTables = std::array<std::array<std::uint32_t, 256>, 4>;

ShiftTables make_shift(std::size_t zeros) {
  ShiftTables t{};
  const std::array<unsigned char, 2 * kStream> none{};
  for (unsigned byte = 0; byte < 4; ++byte) {
    for (std::uint32_t v = 0; v < 256; ++v) t[byte][v] = update_tables(v << (8 * byte), none.data(), zeros);
  }
  return t;
}
const ShiftTables kShift1 = make_shift(kStream), kShift2 = make_shift(2 * kStream);

std::uint32_t shift(const ShiftTables& t, std::uint32_t c) {
  return t[0][c & 0xFF] ^ t[1][(c >> 8) & 0xFF] ^ t[2][(c >> 16) & 0xFF] ^ t[3][c >> 24];
}

__attribute__((target("sse4.2"))) std::uint32_t update_instruction(std::uint32_t c, const unsigned char* p,
                                                                   std::size_t n) {
  while (n >= 3 * kStream) {
    std::uint64_t a = c, b = 0, d = 0;
    for (std::size_t i = 0; i < kStream; i += 8) {
      std::uint64_t va, vb, vd;
      std::memcpy(&va, p + i, 8);
      std::memcpy(&vb, p + kStream + i, 8);
      std::memcpy(&vd, p + 2 * kStream + i, 8);
      a = __builtin_ia32_crc32di(a, va);
      b = __builtin_ia32_crc32di(b, vb);
      d = __builtin_ia32_crc32di(d, vd);
    }
    c = shift(kShift2, static_cast<std::uint32_t>(a)) ^ shift(kShift1, static_cast<std::uint32_t>(b)) ^
        static_cast<std::uint32_t>(d);
    p += 3 * kStream;
    n -= 3 * kStream;
  }
  std::uint64_t c64 = c;
  while (n >= 8) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    c64 = __builtin_ia32_crc32di(c64, v);
    p += 8;
    n -= 8;
  }
  c = static_cast<std::uint32_t>(c64);
  while (n-- > 0) c = __builtin_ia32_crc32qi(c, *p++);
  return c;
}
const bool kHaveInstruction = __builtin_cpu_supports("sse4.2");
#else
const bool kHaveInstruction = false;
#endif

}  // namespace

std::uint32_t crc32c_update(std::uint32_t state, std::span<const std::byte> bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
#if defined(__x86_64__)
  if (kHaveInstruction) return update_instruction(state, p, bytes.size());
#endif
  return update_tables(state, p, bytes.size());
}

std::uint32_t crc32c_update_portable(std::uint32_t state, std::span<const std::byte> bytes) {
  return update_tables(state, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

bool crc32c_accelerated() { return kHaveInstruction; }

}  // namespace zeksim
