// The kernel build of the OS-primitive layer: what the drivers have beyond
// the contract shared with the user-mode build (include/zek/osprim.h).
//
// Both drivers compile this layer in (static library zekosprim), so each
// driver image has its own tracking list and its own fast log ring.
//
// Not in this build yet: the mapping routines (OSPrimMapIt, OSPrimMapUserSgl,
// OSPrimMapKernel, CreateSGLList, GetPhysicalPageCount,
// OSPrimGetPageSizeAndNum, OSPrimGetPhysAddresses) and
// OSPrimWritePciConfigDword.
#pragma once

#include <cstdint>

#include "include/zek/osprim.h"
#include "platform/kernel/nt.h"

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
