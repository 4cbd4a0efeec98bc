// Memory manager: pages, physically contiguous memory, physical addresses and
// the mapping of device register windows.
#pragma once

#include "platform/kernel/ke.h"

inline constexpr ULONG PAGE_SIZE = 4096;
inline constexpr ULONG PAGE_SHIFT = 12;

inline ULONG_PTR BYTE_OFFSET(const void* va) { return reinterpret_cast<ULONG_PTR>(va) & (PAGE_SIZE - 1); }
inline PVOID PAGE_ALIGN(const void* va) {
  return reinterpret_cast<PVOID>(reinterpret_cast<ULONG_PTR>(va) & ~static_cast<ULONG_PTR>(PAGE_SIZE - 1));
}
inline constexpr SIZE_T ROUND_TO_PAGES(SIZE_T size) {
  return (size + PAGE_SIZE - 1) & ~static_cast<SIZE_T>(PAGE_SIZE - 1);
}
inline constexpr ULONG BYTES_TO_PAGES(SIZE_T size) { return static_cast<ULONG>((size + PAGE_SIZE - 1) >> PAGE_SHIFT); }
inline ULONG ADDRESS_AND_SIZE_TO_SPAN_PAGES(const void* va, SIZE_T size) {
  return static_cast<ULONG>((BYTE_OFFSET(va) + size + PAGE_SIZE - 1) >> PAGE_SHIFT);
}

enum MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 };

// Physically contiguous, page-aligned memory below HighestAcceptableAddress.
// Returns null when no run of free frames is large enough.
PVOID MmAllocateContiguousMemory(SIZE_T NumberOfBytes, PHYSICAL_ADDRESS HighestAcceptableAddress,
                                 const SrcLoc& where = SrcLoc::current());
PVOID MmAllocateContiguousMemorySpecifyCache(SIZE_T NumberOfBytes, PHYSICAL_ADDRESS LowestAcceptableAddress,
                                             PHYSICAL_ADDRESS HighestAcceptableAddress,
                                             PHYSICAL_ADDRESS BoundaryAddressMultiple, MEMORY_CACHING_TYPE CacheType,
                                             const SrcLoc& where = SrcLoc::current());
void MmFreeContiguousMemory(PVOID BaseAddress, const SrcLoc& where = SrcLoc::current());
void MmFreeContiguousMemorySpecifyCache(PVOID BaseAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType,
                                        const SrcLoc& where = SrcLoc::current());

// Physical address of a kernel address backed by simulated physical memory
// (pool, contiguous memory); 0 for any other address.
PHYSICAL_ADDRESS MmGetPhysicalAddress(PVOID BaseAddress);
// Kernel address of a physical address, or null.
PVOID MmGetVirtualForPhysical(PHYSICAL_ADDRESS PhysicalAddress);
BOOLEAN MmIsAddressValid(PVOID VirtualAddress);

// Maps a device register range. The address returned is never dereferenced:
// it is reserved inaccessible memory that the register accessors (hal.h)
// route to the device. Returns null when no device claims the range.
PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE CacheType);
void MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes, const SrcLoc& where = SrcLoc::current());
