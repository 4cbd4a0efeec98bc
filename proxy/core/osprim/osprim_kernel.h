// The kernel build of the OS-primitive layer: what the drivers have beyond
// the contract shared with the user-mode build (include/zek/osprim.h).
//
// Both drivers compile this layer in (static library zekosprim), so each
// driver image has its own tracking list and its own fast log ring.
//
// Not in this build yet: OSPrimWritePciConfigDword, which needs the
// adapter's bus interface.
#pragma once

#include <cstdint>

#include "include/zek/osprim.h"
#include "platform/kernel/io/mdl.h"
#include "platform/kernel/ke.h"
#include "platform/kernel/nt.h"

// ---- Kernel objects behind the contract's objects -----------------------------------------
// The contract keeps room for a kernel event in its events and blocking
// objects; this build keeps a KEVENT there.
static_assert(sizeof(KEVENT) == sizeof(OSPrimKernelEvent));
static_assert(alignof(KEVENT) <= alignof(OSPrimKernelEvent));
inline KEVENT* OSPrimKeEvent(OSPrimKernelEvent* event) { return reinterpret_cast<KEVENT*>(event->Storage); }

// Pool tag of every allocation of the layer ("prxy" in memory order).
inline constexpr ULONG ZEK_OSPRIM_POOL_TAG = MAKEFOURCC_LE('p', 'r', 'x', 'y');

// ---- Memory ---------------------------------------------------------------------------
// Tracked, zeroed paged pool (PASSIVE_LEVEL or APC_LEVEL only).
ZekStatus OSPrimMemAllocatePaged(void** out, std::uint32_t size);
// Tracked, zeroed non-paged pool, or null; the host stack's allocator.
void* OSPrimMemAllocPtr(std::uint32_t size);
ZekStatus OSPrimMemFreePtr(void* block);
// One zeroed, untracked, page-aligned non-paged page: 0, or 1 when none is
// left. Free it with ExFreePoolWithTag(page, ZEK_OSPRIM_POOL_TAG).
ZekStatus OSPrimPageAllocate(void** out);

// ---- The fast log ring -------------------------------------------------------------------
// A 4 MB text ring in the driver image. Each OSPrimMemoryLogging call writes
// one record "[<sequence>] pid[<pid>,<tid>] <message>" with the message cut to
// 512 characters and no terminating zero; the sequence starts at 1. A record
// that does not fit before the ring's end goes to its start; older text
// behind it stays until overwritten.
inline constexpr std::uint32_t ZEK_LOG_RING_BYTES = 4u * 1024 * 1024;
inline constexpr std::uint32_t ZEK_LOG_MESSAGE_MAX = 512;

std::uint32_t OSPrimLogRingSize();
// Copies ring bytes [offset, offset + length) into buffer, never beyond the
// ring's end; returns the number of bytes copied (0 for an offset outside the
// ring or a null buffer).
std::uint32_t OSPrimLogRingRead(std::uint32_t offset, void* buffer, std::uint32_t length);
// Zeroes the ring and restarts the sequence and the write position.
void OSPrimLogRingClear();

// ---- Mapping caller and kernel buffers ----------------------------------------------
// A map record describes one buffer while the kernel uses it: the caller's
// address, the system address the kernel reads and writes, the descriptor
// list with the buffer's pages, and, once CreateSGLList has run, up to four
// scatter-gather entries of physical addresses. A record is valid while it
// carries ZEK_SIG_MAP_RECORD.
inline constexpr std::uint32_t ZEK_MAP_MAX_SGL = 4;

struct OSPrimSglEntry {
  std::uint64_t PhysicalAddress;
  std::uint32_t Length;
};

struct OSPrimMapRecord {
  std::uint32_t Signature;  // ZEK_SIG_MAP_RECORD while mapped
  void* CallerAddress;
  void* SystemAddress;
  PMDL Mdl;
  OSPrimSglEntry Sgl[ZEK_MAP_MAX_SGL];
  std::uint32_t PageCount;  // entries of Sgl in use
  HANDLE SecureHandle;      // the secured caller range (caller buffers only)
};

// Maps `length` bytes of the calling process at `address` for the kernel:
// probes the range for reading and writing, locks its pages for modify
// access, takes a system address and secures the range. 0, or
// ZEK_OSPRIM_FAILURE with nothing left locked, allocated or secured (a bad
// caller range fails here; it never raises to the caller).
ZekStatus OSPrimMapIt(void* address, std::uint32_t length, OSPrimMapRecord* map, void** systemAddress);
// Undoes OSPrimMapIt. Above APC_LEVEL the secured range cannot be released:
// the pages are unlocked and the list freed, and ZEK_OSPRIM_FAILURE says the
// range stays secured.
ZekStatus OSPrimUnMapIt(OSPrimMapRecord* map);
// OSPrimMapIt, then CreateSGLList; a buffer of more than four pages fails
// and is unmapped again.
ZekStatus OSPrimMapUserSgl(void* address, std::uint32_t length, OSPrimMapRecord* map, void** systemAddress);
ZekStatus OSPrimUnMapUserSgl(OSPrimMapRecord* map);

// Describes non-paged kernel memory (pool or contiguous memory): the system
// address is the memory itself; nothing is locked.
ZekStatus OSPrimMapKernel(void* address, std::uint32_t length, OSPrimMapRecord* map, void** systemAddress);
ZekStatus OSPrimUnMapKernel(OSPrimMapRecord* map);
// OSPrimMapKernel, then CreateSGLList; undone on failure.
ZekStatus OSPrimMapKernelSgl(void* address, std::uint32_t length, OSPrimMapRecord* map, void** systemAddress);

// Pages spanned by every descriptor list of the chain, each counted from its
// own byte offset and byte count. `address` is the first list's buffer
// address (its offset in the page counts).
ZekStatus GetPhysicalPageCount(PMDL mdl, const void* address, std::uint32_t* count);
// Fills the record's scatter-gather entries, one per page: the first starts
// at the buffer's offset in its page, the others at page starts, lengths
// up to the page end and the buffer's end. More than four pages fail.
ZekStatus CreateSGLList(OSPrimMapRecord* map);
// The buffer's page count and page size. When every page of the chain
// follows the previous one physically, the buffer counts as one page: the
// memory-region code then registers it as one contiguous range of its whole
// length. With one page the size is 0x8000000000000000 when `mode` has its
// top bit set, else 4096; with several, 4096.
ZekStatus OSPrimGetPageSizeAndNum(OSPrimMapRecord* map, void* reserved1, void* reserved2, std::uint64_t* pageSize,
                                  std::uint64_t mode, std::uint32_t* count);
inline constexpr std::uint64_t ZEK_PAGE_SIZE_CONTIGUOUS = 0x8000000000000000ull;
// Writes the byte offset of the buffer in its first page and the physical
// address of every page, in chain order, into `addresses`, which holds
// `capacity` entries; a chain of more pages fails and writes nothing.
ZekStatus OSPrimGetPhysAddresses(OSPrimMapRecord* map, void* reserved1, void* reserved2, std::uint64_t* addresses,
                                 std::uint32_t capacity, void* reserved3, std::uint32_t* firstOffset);
