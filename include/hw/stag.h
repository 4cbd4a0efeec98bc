// Steering tags and access rights as the adapter checks them.
//
// An STag is index << 8 | key: the index names the entry of the adapter's
// STag table (memory regions and memory windows share the index space), the
// key is the owner's 8-bit value, which every use must repeat.
#pragma once

#include <cstdint>

namespace zekhw {

constexpr std::uint32_t stag_index(std::uint32_t stag) { return stag >> 8; }
constexpr std::uint8_t stag_key(std::uint32_t stag) { return static_cast<std::uint8_t>(stag); }
constexpr std::uint32_t make_stag(std::uint32_t index, std::uint8_t key) { return index << 8 | key; }

// Access rights (registration requests bits 16-19 of the op word, fast
// register and bind WQEs).
inline constexpr std::uint32_t kAccessLocalRead = 1u << 0;
inline constexpr std::uint32_t kAccessLocalWrite = 1u << 1;
inline constexpr std::uint32_t kAccessRemoteRead = 1u << 2;
inline constexpr std::uint32_t kAccessRemoteWrite = 1u << 3;
inline constexpr std::uint32_t kAccessMask = 0xF;

}  // namespace zekhw
