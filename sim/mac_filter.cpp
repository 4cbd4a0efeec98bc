#include "sim/mac_filter.h"

#include "include/hw/registers.h"

namespace zeksim {

using namespace zekhw;

FilterRegisters FilterRegisters::read(const std::function<std::uint32_t(std::uint32_t)>& read) {
  FilterRegisters r;
  for (unsigned s = 0; s < kMacSlots; ++s) {
    r.mac_low[s] = read(idx_mac_low(s));
    r.mac_high[s] = read(idx_mac_high(s));
  }
  r.rx_enable = read(kIdxRxEnable);
  r.all_unicast = read(kIdxAllUnicast);
  r.all_multicast = read(kIdxAllMulticast);
  r.hash_enable = read(kIdxMulticastHashEnable);
  r.broadcast = read(kIdxBroadcast);
  r.hash_low = read(kIdxMulticastHashLow);
  r.hash_high = read(kIdxMulticastHashHigh);
  return r;
}

FrameKind classify(const MacAddress& d) {
  bool all_ones = true;
  for (auto b : d) all_ones = all_ones && b == 0xFF;
  if (all_ones) return FrameKind::Broadcast;
  return (d[0] & 1) != 0 ? FrameKind::Multicast : FrameKind::Unicast;
}

unsigned multicast_hash_index(const MacAddress& d) {
  std::uint64_t a = 0;
  for (auto b : d) a = a << 8 | b;
  const std::uint64_t x = a ^ (a >> 6);
  const std::uint64_t t = x ^ (x >> 12);
  return static_cast<unsigned>((t ^ (t >> 24)) & 0x3F);
}

bool slot_mac(const FilterRegisters& regs, unsigned slot, MacAddress* mac) {
  if (slot >= kMacSlots) return false;
  const std::uint32_t low = regs.mac_low[slot];
  const std::uint32_t high = regs.mac_high[slot];
  *mac = {static_cast<std::uint8_t>(high >> 8), static_cast<std::uint8_t>(high),
          static_cast<std::uint8_t>(low >> 24), static_cast<std::uint8_t>(low >> 16),
          static_cast<std::uint8_t>(low >> 8),  static_cast<std::uint8_t>(low)};
  return (high & kMacValid) != 0;
}

bool local_unicast(const FilterRegisters& regs, const MacAddress& destination) {
  if (classify(destination) != FrameKind::Unicast) return false;
  for (unsigned s = 0; s < kMacSlots; ++s) {
    MacAddress mac;
    if (slot_mac(regs, s, &mac) && mac == destination) return true;
  }
  return false;
}

std::uint32_t accepting_slots(const FilterRegisters& regs, const MacAddress& destination) {
  const FrameKind kind = classify(destination);
  const unsigned hash = multicast_hash_index(destination);
  const bool hash_hit = ((hash < 32 ? regs.hash_low >> hash : regs.hash_high >> (hash - 32)) & 1) != 0;
  std::uint32_t accepted = 0;
  for (unsigned s = 0; s < kMacSlots; ++s) {
    const std::uint32_t bit = 1u << s;
    if ((regs.rx_enable & bit) == 0) continue;
    bool accept = false;
    switch (kind) {
      case FrameKind::Unicast: {
        MacAddress mac;
        accept = (slot_mac(regs, s, &mac) && mac == destination) || (regs.all_unicast & bit) != 0;
        break;
      }
      case FrameKind::Broadcast:
        accept = (regs.broadcast & bit) != 0;
        break;
      case FrameKind::Multicast:
        accept = (regs.all_multicast & bit) != 0 || (hash_hit && (regs.hash_enable & bit) != 0);
        break;
    }
    if (accept) accepted |= bit;
  }
  return accepted;
}

}  // namespace zeksim
