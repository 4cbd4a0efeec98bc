// A record of a memory log, as both builds of the OS-primitive contract write
// it (the kernel build's fast log ring in the drivers, zekbase's memory log):
// "[N] pid[PPPP,TTTT] " and the message clipped to the build's longest, with
// no terminating zero. Each build keeps its own ring, lock and sequence.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// The longest prefix a record keeps; a record needs room for this and the
// message.
inline constexpr std::size_t ZEK_LOG_RECORD_PREFIX_MAX = 63;

// Formats the message into `message` (`capacity` bytes); its length, clipped
// to capacity - 1, 0 when the format fails.
std::size_t ZekFormatLogMessage(char* message, std::size_t capacity, const char* format, va_list args);

// Writes the prefix of record number `sequence` of thread `tid` of process
// `pid` into `record`, then the message; the record's length.
std::size_t ZekComposeLogRecord(char* record, std::uint64_t sequence, unsigned pid, unsigned tid, const char* message,
                                std::size_t message_length);

// Copies the record into the ring at `cursor`, or at the ring's start when it
// would not fit there (a cursor past the end counts as not fitting); the
// cursor after the record.
std::uint32_t ZekLogRingPut(char* ring, std::uint32_t ring_bytes, std::uint32_t cursor, const char* record,
                            std::size_t length);
