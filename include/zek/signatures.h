// Signatures that the system's objects begin with. Every routine that takes
// such an object checks its signature first and refuses a wrong one.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t ZEK_SIG_LIST_HEAD = 0x4C495354;         // "LIST" locked list head
inline constexpr std::uint32_t ZEK_SIG_SPINLOCK_KERNEL = 0x44444444;   // spin-lock object, kernel build
inline constexpr std::uint32_t ZEK_SIG_SPINLOCK_USER = 0x544A424F;     // spin-lock object, user-mode build
inline constexpr std::uint32_t ZEK_SIG_BLOCKING_KERNEL = 0x11111111;   // blocking object, kernel build
inline constexpr std::uint32_t ZEK_SIG_BLOCKING_USER = 0x4F424A54;     // blocking object, user-mode build
inline constexpr std::uint32_t ZEK_SIG_EVENT = 0x55534556;             // OSPrimEvent (kernel build)
inline constexpr std::uint32_t ZEK_SIG_MEM_HEADER = 0x484D454D;        // "MEMH" live tracked allocation
inline constexpr std::uint32_t ZEK_SIG_MEM_HEADER_FREED = 0x40404040;  // tracked allocation once freed
inline constexpr std::uint32_t ZEK_SIG_MAP_RECORD = 0x4F50414D;        // "MAPO" map record
inline constexpr std::uint32_t ZEK_SIG_INTERFACE_TABLE = 0x57524F55;   // interface (routine) table header

// Pointers handed in by callers are refused when null or this fill value.
inline constexpr std::uintptr_t ZEK_UNINITIALISED_POINTER = 0xCCCCCCCC;

inline bool ZekIsBadPointer(const void* p) {
  return p == nullptr || reinterpret_cast<std::uintptr_t>(p) == ZEK_UNINITIALISED_POINTER;
}
