// Basic types of the platform's C interface, shared by the kernel and the
// user-mode runtime. Widths are those of 64-bit Windows (LONG is 32 bits,
// WCHAR is 16 bits), whatever the Linux compiler's own widths are.
#pragma once

#include <cstddef>
#include <cstdint>

using VOID = void;
using CHAR = char;
using UCHAR = std::uint8_t;
using BYTE = std::uint8_t;
using BOOLEAN = std::uint8_t;
using SHORT = std::int16_t;
using USHORT = std::uint16_t;
using WORD = std::uint16_t;
using WCHAR = char16_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using DWORD = std::uint32_t;
using BOOL = std::int32_t;
using INT = std::int32_t;
using UINT = std::uint32_t;
using LONG64 = std::int64_t;
using ULONG64 = std::uint64_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using DWORD64 = std::uint64_t;
using LONG_PTR = std::intptr_t;
using ULONG_PTR = std::uintptr_t;
using DWORD_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using SSIZE_T = std::ptrdiff_t;
using PVOID = void*;
using LPVOID = void*;
using LPCVOID = const void*;
using HANDLE = void*;
using PHANDLE = HANDLE*;
using NTSTATUS = std::int32_t;
using KIRQL = UCHAR;
using PKIRQL = KIRQL*;
using KPRIORITY = LONG;
using ACCESS_MASK = ULONG;

using PCHAR = CHAR*;
using PSTR = CHAR*;
using PCSTR = const CHAR*;
using LPSTR = CHAR*;
using LPCSTR = const CHAR*;
using PWCHAR = WCHAR*;
using PWSTR = WCHAR*;
using PCWSTR = const WCHAR*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using PUCHAR = UCHAR*;
using PBYTE = BYTE*;
using PBOOLEAN = BOOLEAN*;
using PUSHORT = USHORT*;
using PLONG = LONG*;
using PULONG = ULONG*;
using LPDWORD = DWORD*;
using PULONG64 = ULONG64*;
using PLONG64 = LONG64*;
using PULONG_PTR = ULONG_PTR*;
using PSIZE_T = SIZE_T*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

union LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  };
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;

union ULARGE_INTEGER {
  struct {
    ULONG LowPart;
    ULONG HighPart;
  };
  struct {
    ULONG LowPart;
    ULONG HighPart;
  } u;
  ULONGLONG QuadPart;
};
using PULARGE_INTEGER = ULARGE_INTEGER*;

using PHYSICAL_ADDRESS = LARGE_INTEGER;
using PPHYSICAL_ADDRESS = PHYSICAL_ADDRESS*;

static_assert(sizeof(LARGE_INTEGER) == 8 && sizeof(ULONG) == 4 && sizeof(WCHAR) == 2);

// Doubly linked list entry and its helpers, as the system's code uses them.
struct LIST_ENTRY {
  LIST_ENTRY* Flink;
  LIST_ENTRY* Blink;
};
using PLIST_ENTRY = LIST_ENTRY*;

struct SINGLE_LIST_ENTRY {
  SINGLE_LIST_ENTRY* Next;
};
using PSINGLE_LIST_ENTRY = SINGLE_LIST_ENTRY*;

#define FIELD_OFFSET(type, field) (static_cast<LONG>(offsetof(type, field)))
#define CONTAINING_RECORD(address, type, field) \
  (reinterpret_cast<type*>(reinterpret_cast<char*>(address) - offsetof(type, field)))

#define MAKEFOURCC_LE(a, b, c, d)                                                                 \
  (static_cast<ULONG>(static_cast<UCHAR>(a)) | (static_cast<ULONG>(static_cast<UCHAR>(b)) << 8) | \
   (static_cast<ULONG>(static_cast<UCHAR>(c)) << 16) | (static_cast<ULONG>(static_cast<UCHAR>(d)) << 24))

inline void InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
inline bool IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }

inline bool RemoveEntryList(PLIST_ENTRY entry) {
  PLIST_ENTRY next = entry->Flink;
  PLIST_ENTRY prev = entry->Blink;
  prev->Flink = next;
  next->Blink = prev;
  return next == prev;
}

inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Flink;
  RemoveEntryList(entry);
  return entry;
}

inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Blink;
  RemoveEntryList(entry);
  return entry;
}

inline void InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY last = head->Blink;
  entry->Flink = head;
  entry->Blink = last;
  last->Flink = entry;
  head->Blink = entry;
}

inline void InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY first = head->Flink;
  entry->Flink = first;
  entry->Blink = head;
  first->Blink = entry;
  head->Flink = entry;
}

inline void PushEntryList(PSINGLE_LIST_ENTRY head, PSINGLE_LIST_ENTRY entry) {
  entry->Next = head->Next;
  head->Next = entry;
}

inline PSINGLE_LIST_ENTRY PopEntryList(PSINGLE_LIST_ENTRY head) {
  PSINGLE_LIST_ENTRY first = head->Next;
  if (first != nullptr) head->Next = first->Next;
  return first;
}
