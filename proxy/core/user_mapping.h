// Kernel memory mapped into a user process: the mapping routines of the
// verbs' user-access requests, the page-aligned memory they map (rings and
// object pages of their own, so that a process gets exactly the pages of its
// object and nothing beside them), and the record of what one verbs object
// has mapped into its process.
//
// A mapping record holds one mapping at a time: mapping into a record that
// holds one is refused (the first is never lost). A mapping is undone in the
// process it was made for; undone from another context (an object released
// by a detach or the driver's stop), the view is left to that process's end
// and only the descriptor list is freed.
#pragma once

#include <cstdint>

#include "platform/kernel/driver.h"

struct ZpxUserMapping {
  PMDL Mdl;                   // null: the record holds no mapping
  std::uint64_t UserAddress;  // the first byte's address in the process
  HANDLE Process;             // the process it was made for
};

// Mapping modes.
inline constexpr ULONG ZPX_MAP_MEMORY = 0;
// The kernel address is replaced by the protection domain's doorbell page
// (`object` is the verbs PD): the doorbell window's base + size x (PD id -
// the adapter's first user PD id). A domain outside the window is refused.
inline constexpr ULONG ZPX_MAP_DOORBELL = 1;

// Maps `size` bytes at `kernel` (non-paged memory, or with ZPX_MAP_DOORBELL
// the PD's doorbell page) into the calling process, cached: 0 with
// *user and *record filled; 1 (logged) when the record already holds a
// mapping, the memory cannot be described or mapped, or the caller is not a
// user process.
extern "C" ULONG MapKernelMemoryToUserMode(void* object, void* kernel, ULONG size, std::uint64_t* user,
                                           ZpxUserMapping* record, ULONG mode);
// Undoes the record's mapping (see above) and clears it; a null or empty
// record does nothing. Always 0.
extern "C" ULONG UnMapKernelMemToUserMode(ZpxUserMapping* record);

// Zeroed whole pages of their own (contiguous, so that the adapter reaches
// them by one physical address), which may be mapped into a process whole:
// `bytes` rounded up to pages. Null when there is no memory.
void* ZpxAllocateMappablePages(std::uint32_t bytes);
void ZpxFreeMappablePages(void* pages);
inline std::uint32_t ZpxPageRound(std::uint32_t bytes) { return (bytes + 4095u) & ~4095u; }

// What one verbs object has in its process: its page (the QP or CQ page, or
// the PD's doorbell page) and up to two rings, mapped; the object page's
// memory. The verbs hold it in the object and release it with the object.
struct ZpxUserPart {
  ZpxUserMapping Page;
  ZpxUserMapping Ring;
  ZpxUserMapping Ring2;
  void* PageMemory;  // one zeroed page (QP, CQ), or null
};
// A zeroed part; null when there is no memory.
ZpxUserPart* ZpxAllocateUserPart();
// Undoes the part's mappings, frees its page and the part, and clears the
// pointer; a null pointer or part does nothing. The verbs call it when the
// object goes (before its rings are freed).
extern "C" void ZpxReleaseUserPart(void** part);
