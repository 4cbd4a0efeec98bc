// Memory descriptor lists: pages of kernel memory or of a calling process,
// with their physical frames.
//
// - Kernel memory (pool, contiguous memory): MmBuildMdlForNonPagedPool fills
//   the frames; the system address is the memory itself.
// - Register windows (MmMapIoSpace addresses): MmBuildMdlForNonPagedPool
//   marks the list as I/O space; such a list can be mapped into a process
//   (doorbell pages) but has no RAM frames (its frame numbers are 0).
// - User pages of the calling process: MmProbeAndLockPages checks the range
//   in that process and gives the pages frames in a foreign range of
//   physical memory, so that the adapter's DMA by physical address reaches
//   that process's memory. In a user process's context every address outside
//   the kernel window (pool, contiguous memory) is taken as the process's.
//   A kernel address locked for a user-mode requestor (AccessMode UserMode)
//   raises STATUS_ACCESS_VIOLATION; the system process has no user pages.
//
// Memory the user runtime allocates (heaps, VirtualAlloc) is shared with
// the host: locking it maps the same pages into the host, which holds them
// until the unlock whatever the process does with its own mapping. The
// system address is then those pages, and the adapter's DMA is a plain copy
// into them: the process, the kernel and the adapter see one set of bytes
// at once.
//
// Other memory (stack, static data, C library heap) is reached by pid, one
// transfer at a time; its system address is a kernel copy of at most
// MM_COPIED_VIEW_LIMIT bytes, read when first asked for, whose changed bytes
// are written back at the unlock (unless locked for IoReadAccess). That copy
// does not see the adapter's writes before the unlock.
//
// Locked pages belong to the locking process's life (held by a pidfd): once
// it has exited, every DMA to them is refused and counted
// (PhysicalMemory::dma_after_exit), even when a new process has its pid.
//
// Probing and locking user pages runs at APC_LEVEL or below (kernel pages
// at DISPATCH_LEVEL or below); higher, the host stops naming the place.
#pragma once

#include "platform/kernel/ke.h"
#include "platform/kernel/nt.h"

using CCHAR = CHAR;
using CSHORT = SHORT;
using PFN_NUMBER = ULONG_PTR;
using PPFN_NUMBER = PFN_NUMBER*;

struct MDL {
  MDL* Next;
  CSHORT Size;
  CSHORT MdlFlags;
  PEPROCESS Process;
  PVOID MappedSystemVa;
  PVOID StartVa;  // page-aligned
  ULONG ByteCount;
  ULONG ByteOffset;
  void* Impl;  // the lock and mapping state
  // The frame numbers follow the list.
};
using PMDL = MDL*;

inline constexpr CSHORT MDL_MAPPED_TO_SYSTEM_VA = 0x0001;
inline constexpr CSHORT MDL_PAGES_LOCKED = 0x0002;
inline constexpr CSHORT MDL_SOURCE_IS_NONPAGED_POOL = 0x0004;
inline constexpr CSHORT MDL_PARTIAL = 0x0010;
inline constexpr CSHORT MDL_IO_SPACE = 0x0800;

enum LOCK_OPERATION { IoReadAccess = 0, IoWriteAccess = 1, IoModifyAccess = 2 };
enum MM_PAGE_PRIORITY { LowPagePriority = 0, NormalPagePriority = 16, HighPagePriority = 32 };
inline constexpr ULONG MdlMappingNoExecute = 0x40000000;

struct IRP;

inline PPFN_NUMBER MmGetMdlPfnArray(PMDL Mdl) { return reinterpret_cast<PPFN_NUMBER>(Mdl + 1); }
inline ULONG MmGetMdlByteCount(const MDL* Mdl) { return Mdl->ByteCount; }
inline ULONG MmGetMdlByteOffset(const MDL* Mdl) { return Mdl->ByteOffset; }
inline PVOID MmGetMdlVirtualAddress(const MDL* Mdl) { return static_cast<char*>(Mdl->StartVa) + Mdl->ByteOffset; }
inline PVOID MmGetMdlBaseVa(const MDL* Mdl) { return Mdl->StartVa; }
SIZE_T MmSizeOfMdl(PVOID Base, SIZE_T Length);

// With an IRP, the list becomes the IRP's MdlAddress or, when SecondaryBuffer
// is set, the tail of its chain; IoFreeIrp does not free it. Null when the
// length is 0 or above 2 GB, or pool is short.
PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, IRP* Irp);
// A list still locked or mapped into a process is unlocked and unmapped first.
void IoFreeMdl(PMDL Mdl);
void MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);
// Raises STATUS_ACCESS_VIOLATION (see usermem.h) when the range is not
// accessible in the calling process for the operation.
void MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation,
                         const SrcLoc& where = SrcLoc::current());
// The largest kernel copy made for locked pages the process does not share:
// enough for a control request's direct buffer on a caller's stack, while a
// registration of that kind of memory cannot take the host's memory.
inline constexpr ULONG MM_COPIED_VIEW_LIMIT = 1u << 20;
// At DISPATCH_LEVEL or below.
void MmUnlockPages(PMDL MemoryDescriptorList, const SrcLoc& where = SrcLoc::current());
PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority, const SrcLoc& where = SrcLoc::current());
// KernelMode: the system address. UserMode: maps the pages into the calling
// process (RAM pages shared, register pages inaccessible and written through
// the user register accessor) and returns the user address, or null.
PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, MEMORY_CACHING_TYPE CacheType,
                                   PVOID RequestedAddress, ULONG BugCheckOnFailure, ULONG Priority);
PVOID MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode);
// A user mapping is undone in the process that holds it; from another
// process it is refused (logged). A mapping of a process that has gone is
// simply forgotten.
// A user mapping is undone at APC_LEVEL or below.
void MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList, const SrcLoc& where = SrcLoc::current());

// Checks that [Address, Address + Size) is accessible user memory of the
// calling process (PAGE_READWRITE or PAGE_READONLY) and returns a handle
// for MmUnsecureVirtualMemory, or null. A Linux process cannot be stopped
// from unmapping its own memory; copies and DMA into a range unmapped since
// then fail safely.
inline constexpr ULONG PAGE_READONLY = 0x02;
inline constexpr ULONG PAGE_READWRITE = 0x04;
HANDLE MmSecureVirtualMemory(PVOID Address, SIZE_T Size, ULONG ProbeMode, const SrcLoc& where = SrcLoc::current());
void MmUnsecureVirtualMemory(HANDLE SecureHandle);
