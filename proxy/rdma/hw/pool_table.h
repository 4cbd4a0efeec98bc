// The pool table: one row per pool of pools.h. Private to the pools.
#pragma once

#include <cstdint>

#include "proxy/rdma/hw/pools.h"

enum class MifhSlabSource : std::uint8_t {
  Descriptor,  // the descriptor slabs (element descriptors only)
  Object,      // the object slabs (non-paged)
  Dma,         // the DMA slabs (physically contiguous)
  OwnBlock,    // one non-paged block per growth, kept for clean-up
};

inline constexpr unsigned MIFH_MAX_CLASSES = 8;
// Slab size "G": the growth size chosen at start.
inline constexpr std::uint32_t MIFH_SLAB_G = 0;

struct MifhPoolSpec {
  const char* Creator;           // names the pool in creation messages
  const char* Allocator;         // names the pool in allocation messages
  const char* Freer;             // names the pool in return messages
  const char* WrongClassFormat;  // "%s: wrong sq entry size (0x%x)\n" and the like (operation name, class)
  const char* AllocWrongFormat;  // the allocator's own form (class), or null for WrongClassFormat
  const char* FreeWrongFormat;   // the return's own form (class), or null for WrongClassFormat
  const char* EmptyFormat;       // never-growing pools: the "is empty" message (class); null: generic
  MifhSlabSource Source;
  std::uint32_t Align;       // 1 = none
  std::uint32_t ClassCount;  // 0: one class, numbered 0
  std::uint32_t Classes[MIFH_MAX_CLASSES];
  // Element bytes carved = (class + Addend) x Multiplier (a fixed-size pool
  // has class 0 and its size as Addend); Used bytes are what the caller sees.
  std::uint32_t Addend;
  std::uint32_t Multiplier;
  std::uint32_t Stride;               // own-block pools: distance between objects
  std::uint32_t BlockBytesPerObject;  // own-block pools: block bytes per object
  std::uint32_t BlockExtraBytes;      // own-block pools: bytes added to each block
  std::uint32_t StartSlab;            // slab size while created at start (MIFH_SLAB_G: G)
  std::uint32_t GrowthSlab;           // slab size when grown later (MIFH_SLAB_G: G)
  std::uint32_t GrowthCount;          // 0: never grows
  std::uint32_t ClearOnTake;          // bytes cleared when taken
  std::uint32_t ClearOnReturn;        // bytes cleared when returned
};

extern const MifhPoolSpec g_mifh_pool_table[MIFH_POOL_COUNT];
