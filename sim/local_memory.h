// The adapter's local memory, reached by the host only through the LMI
// access request of the control queue pair (kind 1 writes host memory into
// it, kind 2 reads it back). The connection hash lives here: 128-byte
// entries from address 0, one per hash index (conn_hash.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zeksim {

class LocalMemory {
 public:
  static constexpr std::uint32_t kBytes = 2u << 20;
  LocalMemory() : bytes_(kBytes) {}

  bool contains(std::uint64_t address, std::uint64_t length) const {
    return length <= bytes_.size() && address <= bytes_.size() - length;
  }
  std::span<std::byte> range(std::uint32_t address, std::uint32_t length) {
    return std::span(bytes_).subspan(address, length);
  }

 private:
  std::vector<std::byte> bytes_;
};

}  // namespace zeksim
