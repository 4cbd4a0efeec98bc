#include "sim/conn_hash.h"

#include <array>

namespace zeksim {

std::uint32_t connection_hash(std::uint32_t hash_size_register, std::uint32_t index, std::uint32_t remote_ipv4,
                              std::uint16_t port_a, std::uint16_t port_b) {
  std::array<std::uint8_t, 16> key{};
  key[7] = static_cast<std::uint8_t>(index & 0x1F);
  key[8] = static_cast<std::uint8_t>(remote_ipv4 >> 24);
  key[9] = static_cast<std::uint8_t>(remote_ipv4 >> 16);
  key[10] = static_cast<std::uint8_t>(remote_ipv4 >> 8);
  key[11] = static_cast<std::uint8_t>(remote_ipv4);
  key[12] = static_cast<std::uint8_t>(port_b >> 8);
  key[13] = static_cast<std::uint8_t>(port_b);
  key[14] = static_cast<std::uint8_t>(port_a >> 8);
  key[15] = static_cast<std::uint8_t>(port_a);
  const std::uint32_t crc = crc32c(key);
  const std::uint32_t reversed = __builtin_bswap32(crc);
  const unsigned n = hash_size_register & 0x1F;
  const std::uint64_t mask = (std::uint64_t{1} << (n + 1)) - 1;
  return static_cast<std::uint32_t>(reversed & mask);
}

}  // namespace zeksim
