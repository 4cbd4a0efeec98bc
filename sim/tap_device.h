// A Linux TAP device: an Ethernet interface of Linux's own stack whose
// frames a process reads and writes through a descriptor. It is made in the
// network namespace of the calling thread (a test moves a thread into a
// namespace of its own; a user runs the program with `ip netns exec`), so
// that Linux's traffic on it stays inside that namespace, and it goes when
// its descriptor is closed.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace zeksim {

struct TapDeviceSettings {
  std::string name = "zektap0";  // at most 15 characters
  std::uint32_t address = 0;     // IPv4, host order; 0: the device gets none
  int prefix = 24;               // of the address, 0 to 32
  unsigned mtu = 1500;           // 68 to 9000 (the NIC engine's jumbo frames)
  bool ipv6 = false;             // off: only what Linux is asked to send over IPv4 crosses
};

inline constexpr unsigned kTapMinMtu = 68;
inline constexpr unsigned kTapMaxMtu = 9000;

struct TapDevice {
  int fd = -1;  // non-blocking, close-on-exec; the caller closes it
  std::array<std::uint8_t, 6> mac{};
};

// Makes the device (Ethernet frames, no packet information), sets its MTU,
// its address when one is given, IPv6 as asked, and brings it up. On
// failure the descriptor is -1 and `error` says why (no privilege, no
// /dev/net/tun, a name in use).
TapDevice open_tap_device(const TapDeviceSettings& settings, std::string* error);

}  // namespace zeksim
