// Run-time library strings and memory helpers.
#include "platform/kernel/rtl.h"

#include <algorithm>

#include "platform/kernel/ex.h"

namespace {

constexpr ULONG kStringTag = MAKEFOURCC_LE('S', 't', 'r', 'g');

SIZE_T wide_length(PCWSTR s) {
  SIZE_T n = 0;
  while (s[n] != 0) ++n;
  return n;
}

WCHAR upcase(WCHAR c) { return (c >= u'a' && c <= u'z') ? static_cast<WCHAR>(c - 32) : c; }

}  // namespace

SIZE_T RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length) {
  auto a = static_cast<const UCHAR*>(Source1);
  auto b = static_cast<const UCHAR*>(Source2);
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) ++i;
  return i;
}

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  if (SourceString == nullptr) {
    *DestinationString = UNICODE_STRING{0, 0, nullptr};
    return;
  }
  const SIZE_T bytes = std::min<SIZE_T>(wide_length(SourceString) * sizeof(WCHAR), 0xFFFC);
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

void RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
  if (SourceString == nullptr) {
    *DestinationString = ANSI_STRING{0, 0, nullptr};
    return;
  }
  const SIZE_T bytes = std::min<SIZE_T>(std::strlen(SourceString), 0xFFFE);
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  const USHORT bytes = std::min(SourceString->Length, DestinationString->MaximumLength);
  std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  if (Source == nullptr || Source->Length == 0) return STATUS_SUCCESS;
  if (Destination->Length + Source->Length > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  std::memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer, Source->Length);
  Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
  if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength) {
    Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
  }
  return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, Source);
  return RtlAppendUnicodeStringToString(Destination, &s);
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  const SIZE_T n1 = String1->Length / sizeof(WCHAR);
  const SIZE_T n2 = String2->Length / sizeof(WCHAR);
  for (SIZE_T i = 0; i < std::min(n1, n2); ++i) {
    WCHAR a = String1->Buffer[i];
    WCHAR b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = upcase(a);
      b = upcase(b);
    }
    if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
  }
  return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  return String1->Length == String2->Length && RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
  const SIZE_T chars = SourceString->Length / sizeof(WCHAR);
  if (chars > 0xFFFE) return STATUS_INVALID_PARAMETER_2;
  if (AllocateDestinationString) {
    auto* buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, chars + 1, kStringTag));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(chars + 1);
  } else if (chars >= DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (SIZE_T i = 0; i < chars; ++i) {
    const WCHAR c = SourceString->Buffer[i];
    DestinationString->Buffer[i] = c < 0x80 ? static_cast<CHAR>(c) : '?';
  }
  DestinationString->Buffer[chars] = 0;
  DestinationString->Length = static_cast<USHORT>(chars);
  return STATUS_SUCCESS;
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
  const SIZE_T chars = SourceString->Length;
  const SIZE_T bytes = chars * sizeof(WCHAR);
  if (bytes > 0xFFFC) return STATUS_INVALID_PARAMETER_2;
  if (AllocateDestinationString) {
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kStringTag));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  } else if (bytes + sizeof(WCHAR) > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (SIZE_T i = 0; i < chars; ++i) DestinationString->Buffer[i] = static_cast<UCHAR>(SourceString->Buffer[i]);
  DestinationString->Buffer[chars] = 0;
  DestinationString->Length = static_cast<USHORT>(bytes);
  return STATUS_SUCCESS;
}

void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer != nullptr) ExFreePoolWithTag(UnicodeString->Buffer, kStringTag);
  *UnicodeString = UNICODE_STRING{0, 0, nullptr};
}

void RtlFreeAnsiString(PANSI_STRING AnsiString) {
  if (AnsiString->Buffer != nullptr) ExFreePoolWithTag(AnsiString->Buffer, kStringTag);
  *AnsiString = ANSI_STRING{0, 0, nullptr};
}

namespace plat {

std::u16string_view view_of(PCUNICODE_STRING s) {
  if (s == nullptr || s->Buffer == nullptr) return {};
  return std::u16string_view(s->Buffer, s->Length / sizeof(WCHAR));
}

}  // namespace plat
