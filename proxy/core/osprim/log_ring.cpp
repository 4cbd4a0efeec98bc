// The fast log ring: the driver's record of everything it logs, kept in the
// driver image and read out by the management requests.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "lib/common/log/log_record.h"
#include "proxy/core/osprim/osprim_kernel.h"

namespace {

struct LogRing {
  OSPrimSpinlockObject lock;
  std::uint32_t cursor;    // where the next record goes
  std::uint32_t sequence;  // of the last record written
};

// ZpxFastLogRing. Its lock is valid from load (a free kernel spin lock is
// zero), so the first records of the driver need no set-up.
constinit LogRing ZpxFastLogRing{{ZEK_SIG_SPINLOCK, {0}, 0}, 0, 0};
char g_ring_text[ZEK_LOG_RING_BYTES];  // zero-initialised, so it takes no room in the image file

}  // namespace

void OSPrimDebugPrint(const char*, ...) {}

void OSPrimMemoryLogging(const char* format, ...) {
  if (format == nullptr) return;
  // The message is formatted before the lock is taken; only the sequence
  // number and the copy need it.
  char message[ZEK_LOG_MESSAGE_MAX + 1];
  va_list args;
  va_start(args, format);
  const std::size_t message_length = ZekFormatLogMessage(message, sizeof(message), format, args);
  va_end(args);

  const auto pid = static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(PsGetCurrentProcessId()));
  const auto tid = static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(PsGetCurrentThreadId()));
  char record[ZEK_LOG_RECORD_PREFIX_MAX + ZEK_LOG_MESSAGE_MAX];

  OSPrimSyncAcquireSpinlockObject(&ZpxFastLogRing.lock);
  const std::size_t length = ZekComposeLogRecord(record, ++ZpxFastLogRing.sequence, pid, tid, message, message_length);
  ZpxFastLogRing.cursor = ZekLogRingPut(g_ring_text, ZEK_LOG_RING_BYTES, ZpxFastLogRing.cursor, record, length);
  OSPrimSyncReleaseSpinlockObject(&ZpxFastLogRing.lock);
}

std::uint32_t OSPrimLogRingSize() { return ZEK_LOG_RING_BYTES; }

std::uint32_t OSPrimLogRingRead(std::uint32_t offset, void* buffer, std::uint32_t length) {
  if (ZekIsBadPointer(buffer) || offset >= ZEK_LOG_RING_BYTES) return 0;
  const std::uint32_t count = std::min(length, ZEK_LOG_RING_BYTES - offset);
  OSPrimSyncAcquireSpinlockObject(&ZpxFastLogRing.lock);
  std::memcpy(buffer, g_ring_text + offset, count);
  OSPrimSyncReleaseSpinlockObject(&ZpxFastLogRing.lock);
  return count;
}

void OSPrimLogRingClear() {
  OSPrimSyncAcquireSpinlockObject(&ZpxFastLogRing.lock);
  ZpxFastLogRing.sequence = 0;
  ZpxFastLogRing.cursor = 0;
  std::memset(g_ring_text, 0, sizeof(g_ring_text));
  OSPrimSyncReleaseSpinlockObject(&ZpxFastLogRing.lock);
}
