// The NIC's receive filter: which MAC slots accept an Ethernet frame, from
// the MAC table (idx 0x6200 + 8s / 0x6204 + 8s) and the per-slot masks
// (0x6010 receive enable, 0x6018 all unicast, 0x6020 all multicast, 0x6028
// multicast hash, 0x6030 broadcast) with the board's 64-bit multicast hash
// (0x6070 low, 0x6078 high).
//
// A slot accepts a frame when its receive-enable bit is set and
//   - unicast: the destination is the slot's valid MAC, or all-unicast is on;
//   - broadcast: the slot's broadcast bit is on;
//   - multicast: all-multicast is on, or the hash bit of the destination is
//     set and the slot's hash-enable bit is on.
// A broadcast reaches every accepting slot.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "include/hw/nic.h"

namespace zeksim {

using MacAddress = std::array<std::uint8_t, 6>;

enum class FrameKind { Unicast, Broadcast, Multicast };

struct FilterRegisters {
  std::array<std::uint32_t, zekhw::kMacSlots> mac_low{};
  std::array<std::uint32_t, zekhw::kMacSlots> mac_high{};
  std::uint32_t rx_enable = 0;
  std::uint32_t all_unicast = 0;
  std::uint32_t all_multicast = 0;
  std::uint32_t hash_enable = 0;
  std::uint32_t broadcast = 0;
  std::uint32_t hash_low = 0;
  std::uint32_t hash_high = 0;

  // Reads every filter register through `read(index)`.
  static FilterRegisters read(const std::function<std::uint32_t(std::uint32_t)>& read);
};

FrameKind classify(const MacAddress& destination);
// The bit of the multicast hash a destination selects (0..63).
unsigned multicast_hash_index(const MacAddress& destination);
// The slot's MAC and whether the entry is valid.
bool slot_mac(const FilterRegisters& regs, unsigned slot, MacAddress* mac);
// Bit s set: slot s accepts a frame with this destination.
std::uint32_t accepting_slots(const FilterRegisters& regs, const MacAddress& destination);
// True when the destination is the valid MAC of some slot (the frame stays on the board).
bool local_unicast(const FilterRegisters& regs, const MacAddress& destination);

inline MacAddress destination_of(std::span<const std::byte> frame) {
  MacAddress mac{};
  for (unsigned i = 0; i < 6 && i < frame.size(); ++i) mac[i] = static_cast<std::uint8_t>(frame[i]);
  return mac;
}

}  // namespace zeksim
