// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78, initial value ~0,
// final complement): the checksum of MPA FPDUs (RFC 5044) and of the
// connection-hash key. The processor's crc32 instruction does the work where
// it has one (8 bytes a step, three neighbouring blocks side by side),
// slicing-by-8 tables elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zeksim {

// Running form: start with kCrc32cInit, feed the pieces in order, finish with
// crc32c_final. The bytes of one CRC may come in any number of pieces.
inline constexpr std::uint32_t kCrc32cInit = 0xFFFFFFFFu;
std::uint32_t crc32c_update(std::uint32_t state, std::span<const std::byte> bytes);
constexpr std::uint32_t crc32c_final(std::uint32_t state) { return ~state; }

inline std::uint32_t crc32c(std::span<const std::byte> bytes) {
  return crc32c_final(crc32c_update(kCrc32cInit, bytes));
}
inline std::uint32_t crc32c(std::span<const std::uint8_t> bytes) { return crc32c(std::as_bytes(bytes)); }

// The table path alone (the tests hold both paths to the same results).
std::uint32_t crc32c_update_portable(std::uint32_t state, std::span<const std::byte> bytes);

// Whether the instruction path is in use (for the benchmarks' labels).
bool crc32c_accelerated();

}  // namespace zeksim
