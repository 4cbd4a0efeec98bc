// The host stack's TCP statistics block as a user program of the host reads
// it: IOCTL_TCP_GET_STATS on the proxy driver's device (ZEK_HOST names the
// host).
#pragma once

#include <cstdint>

#include "include/zek/ioctl.h"
#include "include/zek/sockets.h"
#include "platform/user/win32.h"

namespace twohost {

using TcpStatsBlock = std::uint32_t[ZEK_TCP_STATS_BYTES / 4];

// False when the device cannot be reached or refuses.
inline bool read_tcp_stats(TcpStatsBlock& block) {
  HANDLE device = CreateFileA("\\\\.\\zekproxy", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) return false;
  ZekTcpStatsRecord r{};
  r.Buffer = reinterpret_cast<std::uint64_t>(&block[0]);
  r.BufferLength = sizeof(block);
  DWORD returned = 0;
  const bool read = DeviceIoControl(device, IOCTL_TCP_GET_STATS, &r, sizeof(r), &r, sizeof(r), &returned, nullptr);
  CloseHandle(device);
  return read;
}

}  // namespace twohost
