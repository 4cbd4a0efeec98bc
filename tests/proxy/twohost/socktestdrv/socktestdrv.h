// The kernel socket client driver's control code ("\\.\zeksocktest"): a
// driver built only for tests that makes socket calls on its host's stack
// as kernel callers do, through the kernel socket-call table the proxy
// driver hands out (IOCTL_ZEK_GET_SOCKET_TABLE).
#pragma once

#include <cstdint>

#include "platform/common/ioctl.h"

namespace socktest {

inline constexpr ULONG code(ULONG function) {
  return CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
}

// Input: EchoRequest. Connects to a two-host server (twohost_peer serve)
// at the address, asks for an echo, sends Bytes of a pattern while reading
// the echo back, ends its side and reads to the server's end. Output: the
// report, "bytes SENT RECEIVED", "checksum SENT RECEIVED" (FNV-1a, 64 bits)
// and a last line "failures=N" (or "FAILED STEP error E" first).
// STATUS_DEVICE_NOT_READY while the proxy driver offers no socket table.
inline constexpr ULONG kEcho = code(0x920);
inline constexpr ULONG kReportBytes = 4096;

struct EchoRequest {
  std::uint32_t Address;  // network order
  std::uint16_t Port;     // host order
  std::uint16_t Reserved;
  std::uint32_t Bytes;
};
static_assert(sizeof(EchoRequest) == 12);

}  // namespace socktest
