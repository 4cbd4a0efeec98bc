// The library's log: the memory log (a text ring behind ___ZEK_FAST_LOG) and
// the debug print, each let through by its bit of ___ZEK_FAST_LOG_MASK. The
// mask starts at 0, so by default every log line of the library is dropped.
#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "lib/base/base_internal.h"
#include "lib/common/log/log_record.h"

namespace {

char g_ring[ZEK_FAST_LOG_BYTES];
std::mutex g_ring_mu;  // orders the records and guards the write position
std::uint64_t g_sequence;

bool enabled(std::uint32_t bit) {
  return (std::atomic_ref<std::uint32_t>(___ZEK_FAST_LOG_MASK).load(std::memory_order_relaxed) & bit) != 0;
}

}  // namespace

char* ___ZEK_FAST_LOG = g_ring;
std::uint32_t ___ZEK_FAST_LOG_INDEX = 0;
std::uint32_t ___ZEK_FAST_LOG_MASK = 0;

void OSPrimMemoryLogging(const char* format, ...) {
  if (format == nullptr || !enabled(ZEK_LOG_MASK_MEMORY)) return;
  char message[ZEK_FAST_LOG_MESSAGE_MAX + 1];
  va_list args;
  va_start(args, format);
  const std::size_t message_length = ZekFormatLogMessage(message, sizeof(message), format, args);
  va_end(args);

  const unsigned pid = GetCurrentProcessId();
  const unsigned tid = GetCurrentThreadId();
  std::lock_guard lock(g_ring_mu);
  char record[ZEK_LOG_RECORD_PREFIX_MAX + ZEK_FAST_LOG_MESSAGE_MAX];
  const std::size_t length = ZekComposeLogRecord(record, ++g_sequence, pid, tid, message, message_length);
  // The exported write position may have been moved by hand: the ring never
  // trusts it past its end.
  std::atomic_ref<std::uint32_t> index(___ZEK_FAST_LOG_INDEX);
  index.store(ZekLogRingPut(g_ring, ZEK_FAST_LOG_BYTES, index.load(std::memory_order_relaxed), record, length),
              std::memory_order_release);
}

void OSPrimDebugPrint(const char* format, ...) {
  if (format == nullptr || !enabled(ZEK_LOG_MASK_DEBUGGER)) return;
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  OutputDebugStringA(line);
}

void OSPrimDebugPrintRawData(const char* title, std::uint32_t count, const std::uint8_t* data) {
  if (!enabled(ZEK_LOG_MASK_DEBUGGER)) return;
  const std::uint32_t shown = std::min(count, ZEK_RAW_DATA_MAX);
  OSPrimDebugPrint("ZEK_PRINT_RAW_DATA: **************************************************\n");
  OSPrimDebugPrint("%s Data size = %d\n", title != nullptr ? title : "", static_cast<int>(shown));
  if (data != nullptr) {
    for (std::uint32_t start = 0; start < shown; start += 16) {
      // Eight "%02X " groups, "- ", eight more; the last line may be shorter.
      char line[16 * 3 + 2 + 1];
      std::size_t used = 0;
      for (std::uint32_t i = start; i < std::min(start + 16, shown); ++i) {
        if (i - start == 8) used += static_cast<std::size_t>(std::snprintf(line + used, sizeof(line) - used, "- "));
        used += static_cast<std::size_t>(std::snprintf(line + used, sizeof(line) - used, "%02X ", data[i]));
      }
      OSPrimDebugPrint(" %s\n", line);
    }
  }
  OSPrimDebugPrint("**********************************************************************\n");
}
