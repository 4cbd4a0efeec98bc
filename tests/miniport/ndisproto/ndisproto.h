// The NDIS protocol test driver's control codes and records ("\\.\zekndisproto"):
// a driver built only for tests that zekhost loads after zekhnic. It plays
// the protocol above the host's miniport adapters through the NDIS
// stand-in's protocol side, so that a process can make a host's miniport
// send frames and count those it received: two zekhost processes' miniports
// then exchange frames over the lab wire.
#pragma once

#include <cstdint>

#include "platform/common/ioctl.h"

namespace ndisproto {

inline constexpr ULONG code(ULONG function) {
  return CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
}

// Input: u32 adapter (the host's n-th miniport adapter). Sets the packet
// filter (directed, multicast, broadcast). Output: Opened.
inline constexpr ULONG kOpen = code(0x910);
// Input: Send. Sends `count` frames as one chain and waits (bounded) for
// their completions. Output: Sent. STATUS_IO_TIMEOUT when not every list
// completed within kSendWaitMs (their memory then stays with the driver).
inline constexpr ULONG kSend = code(0x911);
// Input: Match. Output: Received.
inline constexpr ULONG kCount = code(0x912);

inline constexpr std::uint32_t kMaxFrames = 1024;
inline constexpr std::uint32_t kSendWaitMs = 30'000;
inline constexpr std::uint16_t kEtherType = 0x88B5;

struct Opened {
  std::uint8_t mac[6];
  std::uint8_t running;  // the adapter runs
  std::uint8_t link_up;  // its last link indication said connected
};

// Frames of `length` bytes (60 to 9014): destination, the adapter's own
// address, kEtherType, then byte i = seed + i.
struct Send {
  std::uint32_t adapter;
  std::uint32_t count;  // 1 to kMaxFrames
  std::uint32_t length;
  std::uint8_t destination[6];
  std::uint8_t seed;
  std::uint8_t pad;
};
struct Sent {
  std::uint32_t completed;
  std::uint32_t succeeded;
};

struct Match {
  std::uint32_t adapter;
  std::uint32_t length;
  std::uint8_t seed;
  std::uint8_t pad[3];
};
struct Received {
  std::uint64_t frames;    // every frame the adapter indicated
  std::uint64_t matching;  // those of the length whose payload follows the seed
};

}  // namespace ndisproto
