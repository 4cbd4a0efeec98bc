// The connection hash by which the adapter finds an offloaded connection:
// the CRC-32C (Castagnoli, reflected, initial value ~0, final complement) of
// a 16-byte key {7 zero bytes, the hash index & 0x1F, the remote IPv4
// address, port B, port A, each most significant byte first}, byte-reversed
// and masked to 2^(n+1) entries, n = idx 0x6148 bits 0-4. Entry i is the
// 128 bytes at local-memory address 128 i.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "sim/iwarp/crc32c.h"

namespace zeksim {

inline constexpr std::uint32_t kHashEntryBytes = 128;

std::uint32_t connection_hash(std::uint32_t hash_size_register, std::uint32_t index, std::uint32_t remote_ipv4,
                              std::uint16_t port_a, std::uint16_t port_b);

}  // namespace zeksim
