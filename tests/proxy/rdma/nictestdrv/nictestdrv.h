// The NIC test driver's control codes and records ("\\.\zeknictest"): a
// driver built only for tests that brings one adapter function up with the
// hardware-interface module and sends and receives Ethernet frames through
// the driver NIC queue pair, before the proxy driver's attach exists.
#pragma once

#include <cstdint>

#include "platform/common/ioctl.h"

namespace nictest {

inline constexpr ULONG code(ULONG function) {
  return CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
}

// Input: one Ethernet frame (14 to 1514 bytes). STATUS_INSUFFICIENT_RESOURCES when
// no transmit buffer is free, STATUS_UNSUCCESSFUL when the queue pair refused it.
inline constexpr ULONG kSend = code(0x900);
// Output: the oldest received frame (Information = its length), or nothing
// (Information 0) when none is waiting.
inline constexpr ULONG kReceive = code(0x901);
// Output: Counters.
inline constexpr ULONG kCounters = code(0x902);
// Input: u32 1 to hold the NIC completions (nothing is taken or posted again
// until 0 releases them), as a driver that is not scheduled would.
inline constexpr ULONG kHold = code(0x903);

struct Counters {
  std::uint8_t mac[6];
  std::uint16_t slot;
  std::uint64_t tx_queued;     // frames DoWriteProc queued
  std::uint64_t tx_refused;    // frames it refused
  std::uint64_t tx_completed;  // send completions
  std::int64_t tx_outstanding;
  std::uint64_t rx_frames;  // frames received
  std::uint64_t rx_bytes;
  std::uint64_t rx_errors;   // receive completions in error
  std::uint64_t rx_dropped;  // received while the driver's frame queue was full
  std::uint64_t up;          // 1 once the queue pair runs
  std::uint64_t cq_waiting;  // NIC completions the adapter wrote that are not taken yet
};

}  // namespace nictest
