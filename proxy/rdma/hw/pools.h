// DMA slabs and object pools: every hardware object of the driver (queue
// memory, host contexts, queue-pair and completion-queue objects, control
// requests held back, page lists and the verbs layer's small records) comes
// from one set of driver-wide pools, carved from a few large slabs made at
// start, so that physically contiguous memory is obtained once and objects
// can be taken and returned at DISPATCH_LEVEL without the system allocator.
//
// A pool is a locked list of 32-byte element descriptors, used as a stack.
// Most pools grow on demand; the NIC pools are filled at start and never
// grow. The pools, their element sizes, alignments, start counts and growth
// are one table (pool_table.cpp); the operations by which the rest of the
// driver takes and returns each kind of element are in pool_ops.h.
//
// Lock order, outermost first: a pool's own lock, the creation lock, the
// descriptor lock, the descriptor-growth lock, the slab lock; the locked
// lists' own locks are innermost.
#pragma once

#include <cstdint>

#include "include/zek/osprim.h"

// ---- Slabs ---------------------------------------------------------------------------------------
inline constexpr std::uint32_t MIFH_SLAB_NONPAGED = 1;    // tracked non-paged memory, zeroed
inline constexpr std::uint32_t MIFH_SLAB_CONTIGUOUS = 2;  // tracked physically contiguous memory, zeroed

struct MifhSlabList {
  ZekListHead List;         // slab descriptors
  std::uint32_t Remaining;  // bytes left in the current slab
  std::uint32_t Kind;       // MIFH_SLAB_*
  std::uint64_t Cursor;     // next free byte of the current slab
};

// 24-byte non-paged tracked record: list links, then the slab's address.
struct MifhSlabDescriptor {
  ZekListNode Links;
  std::uint64_t Address;
};
static_assert(sizeof(MifhSlabDescriptor) == 24);

// Element descriptor: 32 bytes carved from the descriptor slabs.
inline constexpr std::uint32_t MIFH_MBUF_FREE_CLASS = 32;  // class of a descriptor that is itself free
struct MifhMbuf {
  ZekListNode Links;
  std::uint64_t Address;
  std::uint32_t SizeClass;
  std::uint32_t Reserved;
};
static_assert(sizeof(MifhMbuf) == 32);

ZekStatus mifh_init_slab_list(MifhSlabList* list, std::uint32_t kind);
// Makes a new current slab of `size` bytes (or `smaller` when size cannot be
// had and smaller is not 0); returns its address or null.
void* mifh_allocate_slab(MifhSlabList* list, std::uint32_t size, std::uint32_t smaller);
ZekStatus mifh_free_slab_list(MifhSlabList* list);

// ---- Pools ---------------------------------------------------------------------------------------
enum MifhPoolId : std::uint32_t {
  MIFH_POOL_MBUF,                 // element descriptors
  MIFH_POOL_PD_OBJECT,            // protection-domain objects (own blocks)
  MIFH_POOL_CQ_OBJECT,            // completion-queue objects
  MIFH_POOL_IWARP_CQ,             // iWARP CQ memory by class
  MIFH_POOL_NIC_CQ,               // NIC CQ memory by class (never grows)
  MIFH_POOL_QP_OBJECT,            // queue-pair objects (own blocks)
  MIFH_POOL_IWARPTOE_QP_CONTEXT,  // iWARP/TOE QP host contexts
  MIFH_POOL_NIC_QP_CONTEXT,       // NIC QP host contexts (never grows)
  MIFH_POOL_IWARP_SQ,
  MIFH_POOL_IWARP_RQ,
  MIFH_POOL_NIC_SQ,  // never grows
  MIFH_POOL_NIC_RQ,  // never grows
  MIFH_POOL_TOE_SQ,  // never grows
  MIFH_POOL_TOE_RQ,  // never grows
  MIFH_POOL_Q2,
  MIFH_POOL_PBL,  // page-list buffers by byte class
  MIFH_POOL_FAST_REGISTER,
  MIFH_POOL_STAGINFO,
  MIFH_POOL_IWARP_ADAPTER,
  MIFH_POOL_IRP_CONTEXT,
  MIFH_POOL_ASYNC_CONTEXT,
  MIFH_POOL_STAGALLOC,
  MIFH_POOL_ERRORQP_QUEUE,
  MIFH_POOL_IFR,
  MIFH_POOL_CQP_PEND,
  MIFH_POOL_CLEANUP_CONTEXT,
  MIFH_POOL_ASYNC_EVENT_PENDING,
  MIFH_POOL_COUNT
};

// Builds the slabs and the start-up pools; ZEK_STATUS_PASS, or the failing
// step's status. Called once by library initialisation; a second call
// without clean-up is refused with ZEK_STATUS_FAIL.
ZekStatus mifh_create_mem_resources();
// Library clean-up: frees the object, DMA and descriptor slabs and the
// block pools' blocks, then re-initialises every pool list.
ZekStatus mifh_destroy_mem_resources();

// Adds count elements of a class to a pool (the per-pool creators); a class
// the pool does not have is refused with ZEK_STATUS_FAIL and adds nothing.
ZekStatus mifh_pool_create(MifhPoolId pool, std::uint32_t size_class, std::uint32_t count);
// Takes one element of the class (growing the pool where it grows), or null.
void* mifh_pool_allocate(MifhPoolId pool, std::uint32_t size_class);
// Returns an element to its pool and class.
void mifh_pool_free(MifhPoolId pool, void* element, std::uint32_t size_class);

// Observation: free elements of a class; bytes an element of a class takes.
std::uint32_t mifh_pool_available(MifhPoolId pool, std::uint32_t size_class);
std::uint32_t mifh_pool_element_bytes(MifhPoolId pool, std::uint32_t size_class);
// Whether [address, address + bytes) lies wholly inside one slab.
bool mifh_slab_holds(const void* address, std::uint32_t bytes);
// Whether [address, address + bytes) lies in one of an own-block pool's blocks.
bool mifh_pool_block_holds(MifhPoolId id, const void* address, std::uint32_t bytes);
// The growth size G chosen at start (0 before).
std::uint32_t mifh_pool_growth_size();

// Size-class selection.
std::uint32_t mifh_iwarp_cq_class(std::uint32_t entries);
std::uint32_t mifh_pbl_class(std::uint32_t bytes);
