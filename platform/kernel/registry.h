// The host's registry: one store per host, kept in a text file in the host
// directory (docs/host.md gives its format). Key paths and value names are
// case-insensitive and keep the case they were written with. Drivers read
// it with RtlQueryRegistryValues and ZwOpenKey/ZwQueryValueKey.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/regstore.h"
#include "platform/kernel/nt.h"

inline constexpr ULONG RTL_REGISTRY_ABSOLUTE = 0;
inline constexpr ULONG RTL_REGISTRY_SERVICES = 1;
inline constexpr ULONG RTL_REGISTRY_CONTROL = 2;
inline constexpr ULONG RTL_REGISTRY_WINDOWS_NT = 3;
inline constexpr ULONG RTL_REGISTRY_DEVICEMAP = 4;
inline constexpr ULONG RTL_REGISTRY_HANDLE = 0x40000000;
inline constexpr ULONG RTL_REGISTRY_OPTIONAL = 0x80000000;

inline constexpr ULONG RTL_QUERY_REGISTRY_SUBKEY = 0x00000001;
inline constexpr ULONG RTL_QUERY_REGISTRY_TOPKEY = 0x00000002;
inline constexpr ULONG RTL_QUERY_REGISTRY_REQUIRED = 0x00000004;
inline constexpr ULONG RTL_QUERY_REGISTRY_NOVALUE = 0x00000008;
inline constexpr ULONG RTL_QUERY_REGISTRY_NOEXPAND = 0x00000010;
inline constexpr ULONG RTL_QUERY_REGISTRY_DIRECT = 0x00000020;

using PRTL_QUERY_REGISTRY_ROUTINE = NTSTATUS (*)(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength,
                                                 PVOID Context, PVOID EntryContext);

struct RTL_QUERY_REGISTRY_TABLE {
  PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
  ULONG Flags;
  PWSTR Name;
  PVOID EntryContext;
  ULONG DefaultType;
  PVOID DefaultData;
  ULONG DefaultLength;
};
using PRTL_QUERY_REGISTRY_TABLE = RTL_QUERY_REGISTRY_TABLE*;

// The table ends with an entry whose QueryRoutine and Name are both null.
// A missing key fails with STATUS_OBJECT_NAME_NOT_FOUND unless RelativeTo
// has RTL_REGISTRY_OPTIONAL, in which case the entries' defaults apply.
// Direct strings go into the entry's UNICODE_STRING: allocated from paged
// pool when its buffer is null (release with RtlFreeUnicodeString), else
// copied when they fit (STATUS_BUFFER_TOO_SMALL otherwise). A string
// default is read up to its terminator, never past DefaultLength.
NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                PVOID Environment);

enum KEY_VALUE_INFORMATION_CLASS {
  KeyValueBasicInformation = 0,
  KeyValueFullInformation = 1,
  KeyValuePartialInformation = 2,
};

struct KEY_VALUE_BASIC_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG NameLength;
  WCHAR Name[1];
};
struct KEY_VALUE_FULL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataOffset;
  ULONG DataLength;
  ULONG NameLength;
  WCHAR Name[1];
};
struct KEY_VALUE_PARTIAL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataLength;
  UCHAR Data[1];
};
using PKEY_VALUE_PARTIAL_INFORMATION = KEY_VALUE_PARTIAL_INFORMATION*;

inline constexpr ACCESS_MASK KEY_QUERY_VALUE = 0x0001;
inline constexpr ACCESS_MASK KEY_READ = 0x20019;

// A kernel handle to an existing key (ObjectName absolute, or relative to
// RootDirectory, another key handle); close it with ZwClose.
NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
// STATUS_BUFFER_TOO_SMALL when not even the fixed part fits, STATUS_BUFFER_OVERFLOW
// when only part of it does; *ResultLength is always the full size.
NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, KEY_VALUE_INFORMATION_CLASS Class,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);

namespace plat {

// The registry of the host this kernel runs: the store of
// platform/common/regstore.h, which the drivers' routines above read.
class Registry : public RegistryStore {
 public:
  // file: where the store lives; empty keeps it in memory only.
  explicit Registry(std::string file = {});
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  static Registry* try_current();
};

}  // namespace plat
