// Run-time library: memory helpers and counted strings, and the host's own
// text helpers for names.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

#include "platform/common/text.h"
#include "platform/kernel/ke.h"

inline void RtlZeroMemory(void* Destination, SIZE_T Length) { std::memset(Destination, 0, Length); }
inline void RtlFillMemory(void* Destination, SIZE_T Length, UCHAR Fill) { std::memset(Destination, Fill, Length); }
inline void RtlCopyMemory(void* Destination, const void* Source, SIZE_T Length) {
  std::memcpy(Destination, Source, Length);
}
inline void RtlMoveMemory(void* Destination, const void* Source, SIZE_T Length) {
  std::memmove(Destination, Source, Length);
}
inline bool RtlEqualMemory(const void* a, const void* b, SIZE_T Length) { return std::memcmp(a, b, Length) == 0; }
// Number of leading bytes that are equal.
SIZE_T RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length);

// Counted strings: Length and MaximumLength are in bytes.
struct UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;
using PCUNICODE_STRING = const UNICODE_STRING*;

struct ANSI_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
};
using PANSI_STRING = ANSI_STRING*;
using PCANSI_STRING = const ANSI_STRING*;
using STRING = ANSI_STRING;
using PSTRING = ANSI_STRING*;

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
void RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);
void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
// Characters outside 7-bit ASCII become '?'. With AllocateDestinationString
// the buffer comes from paged pool and is released by RtlFree*String.
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString);
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString);
void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
void RtlFreeAnsiString(PANSI_STRING AnsiString);

namespace plat {

// The characters of a counted string (empty for a null string or buffer).
// UTF-8 to and from UTF-16 (to_u16, to_utf8) come from platform/common/text.h,
// which the user-mode libraries share.
std::u16string_view view_of(PCUNICODE_STRING s);

}  // namespace plat
