#include "tests/proxy/linuxpeer/host_stats.h"

#include "include/zek/ioctl.h"
#include "include/zek/sockets.h"
#include "platform/user/win32.h"

namespace linuxpeer {

std::optional<SynCacheCounts> host_syn_cache() {
  HANDLE device = CreateFileA("\\\\.\\zekproxy", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) return std::nullopt;
  std::uint32_t block[ZEK_TCP_STATS_BYTES / 4] = {};
  ZekTcpStatsRecord r{};
  r.Buffer = reinterpret_cast<std::uint64_t>(block);
  r.BufferLength = sizeof(block);
  DWORD returned = 0;
  const bool read = DeviceIoControl(device, IOCTL_TCP_GET_STATS, &r, sizeof(r), &r, sizeof(r), &returned, nullptr);
  CloseHandle(device);
  if (!read) return std::nullopt;
  return SynCacheCounts{block[kSynCacheWords.added], block[kSynCacheWords.cache_overflow],
                        block[kSynCacheWords.cookies_sent]};
}

}  // namespace linuxpeer
