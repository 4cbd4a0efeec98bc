// The record of a memory log, one source for both builds.
#include "lib/common/log/log_record.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

std::size_t ZekFormatLogMessage(char* message, std::size_t capacity, const char* format, va_list args) {
  const int formatted = std::vsnprintf(message, capacity, format, args);
  return formatted < 0 ? 0 : std::min(static_cast<std::size_t>(formatted), capacity - 1);
}

std::size_t ZekComposeLogRecord(char* record, std::uint64_t sequence, unsigned pid, unsigned tid, const char* message,
                                std::size_t message_length) {
  const int prefix = std::snprintf(record, ZEK_LOG_RECORD_PREFIX_MAX + 1, "[%llu] pid[%04x,%04x] ",
                                   static_cast<unsigned long long>(sequence), pid, tid);
  const std::size_t prefix_length =
      prefix < 0 ? 0 : std::min(static_cast<std::size_t>(prefix), ZEK_LOG_RECORD_PREFIX_MAX);
  std::memcpy(record + prefix_length, message, message_length);
  return prefix_length + message_length;
}

std::uint32_t ZekLogRingPut(char* ring, std::uint32_t ring_bytes, std::uint32_t cursor, const char* record,
                            std::size_t length) {
  std::size_t at = cursor;
  if (at > ring_bytes || length > ring_bytes - at) at = 0;
  std::memcpy(ring + at, record, length);
  return static_cast<std::uint32_t>(at + length);
}
