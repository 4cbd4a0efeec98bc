// Tracked allocations, pages, contiguous DMA memory and physical addresses.
//
// Every tracked block has an OSPrimMemHeader in front and is on one
// driver-wide list. A free first looks the header up on that list (through an
// address index, so a free costs the same however many blocks are live) and
// touches the header only when it is there: a block freed twice, or a
// pointer that never came from here, is reported and left alone, and freed
// memory is never read.
#include <cstring>

#include "proxy/core/osprim/osprim_kernel.h"

namespace {

constexpr std::uint32_t kHeaderBytes = sizeof(OSPrimMemHeader);
constexpr std::size_t kIndexBuckets = 4096;

struct Tracking {
  OSPrimSpinlockObject lock;
  OSPrimMemHeader* oldest;
  OSPrimMemHeader* newest;
  std::uint32_t uses;  // module c_osprims
};

// Valid from load: a free kernel spin lock is zero.
constinit Tracking g_tracking{{ZEK_SIG_SPINLOCK, {0}, 0}, nullptr, nullptr, 0};
// Address index of the live headers, chained through HashNext.
OSPrimMemHeader* g_index[kIndexBuckets];

std::size_t bucket_of(const OSPrimMemHeader* header) {
  auto value = reinterpret_cast<std::uintptr_t>(header) >> 6;
  value *= 0x9E3779B97F4A7C15ull;
  return static_cast<std::size_t>(value >> 52) % kIndexBuckets;
}

// The functions below run holding g_tracking.lock.
void track(OSPrimMemHeader* header) {
  header->Next = nullptr;
  header->Prev = g_tracking.newest;
  if (g_tracking.newest != nullptr) {
    g_tracking.newest->Next = header;
  } else {
    g_tracking.oldest = header;
  }
  g_tracking.newest = header;
  OSPrimMemHeader*& bucket = g_index[bucket_of(header)];
  header->HashNext = bucket;
  bucket = header;
}

// Compares addresses only; dereferences nothing but live headers.
bool is_tracked(const OSPrimMemHeader* candidate) {
  for (OSPrimMemHeader* h = g_index[bucket_of(candidate)]; h != nullptr; h = h->HashNext) {
    if (h == candidate) return true;
  }
  return false;
}

void untrack(OSPrimMemHeader* header) {
  if (header->Prev != nullptr) {
    header->Prev->Next = header->Next;
  } else {
    g_tracking.oldest = header->Next;
  }
  if (header->Next != nullptr) {
    header->Next->Prev = header->Prev;
  } else {
    g_tracking.newest = header->Prev;
  }
  for (OSPrimMemHeader** link = &g_index[bucket_of(header)]; *link != nullptr; link = &(*link)->HashNext) {
    if (*link == header) {
      *link = header->HashNext;
      break;
    }
  }
  header->Next = header->Prev = header->HashNext = nullptr;
}

void release_block(OSPrimMemHeader* header) {
  if (header->Kind == OSPRIM_MEM_CONTIGUOUS) {
    MmFreeContiguousMemory(header);
  } else {
    ExFreePoolWithTag(header, ZEK_OSPRIM_POOL_TAG);
  }
}

ZekStatus allocate_tracked(void** out, std::uint32_t size, std::uint32_t kind) {
  if (ZekIsBadPointer(out)) return ZEK_OSPRIM_FAILURE;
  *out = nullptr;
  if (size == 0 || size > UINT32_MAX - kHeaderBytes) return ZEK_OSPRIM_FAILURE;
  const std::uint32_t total = size + kHeaderBytes;
  void* block = nullptr;
  switch (kind) {
    case OSPRIM_MEM_PAGED:
      block = ExAllocatePoolWithTag(PagedPool, total, ZEK_OSPRIM_POOL_TAG);
      break;
    case OSPRIM_MEM_NONPAGED:
      block = ExAllocatePoolWithTag(NonPagedPool, total, ZEK_OSPRIM_POOL_TAG);
      break;
    default: {
      PHYSICAL_ADDRESS highest;
      highest.QuadPart = -1;  // any physical address
      block = MmAllocateContiguousMemory(total, highest);
      break;
    }
  }
  if (block == nullptr) return ZEK_OSPRIM_FAILURE;
  std::memset(block, 0, total);
  auto* header = static_cast<OSPrimMemHeader*>(block);
  header->Signature = ZEK_SIG_MEM_HEADER;
  header->Kind = kind;
  header->Size = total;
  OSPrimSyncAcquireSpinlockObject(&g_tracking.lock);
  track(header);
  OSPrimSyncReleaseSpinlockObject(&g_tracking.lock);
  *out = header + 1;
  return ZEK_STATUS_PASS;
}

ZekStatus free_tracked(void* block) {
  if (ZekIsBadPointer(block)) return ZEK_OSPRIM_FAILURE;
  // Address arithmetic only: the header is not read before it is found.
  auto* header = reinterpret_cast<OSPrimMemHeader*>(static_cast<char*>(block) - kHeaderBytes);
  OSPrimSyncAcquireSpinlockObject(&g_tracking.lock);
  const bool live = is_tracked(header) && header->Signature == ZEK_SIG_MEM_HEADER;
  if (live) {
    header->Signature = ZEK_SIG_MEM_HEADER_FREED;
    header->FreeFile = nullptr;
    header->FreeLine = 0;
    untrack(header);
  }
  OSPrimSyncReleaseSpinlockObject(&g_tracking.lock);
  if (!live) {
    // Not a live tracked block: freed already, or never allocated here. Its
    // header is not read, so what it held is unknown.
    ZEK_LOG_FAILURE("OSPrimFreeMemElement:Line[%d] pMem[x%p] size[%d] signature found[x%08X] should be [x%08X] \n",
                    __LINE__, block, 0, 0u, ZEK_SIG_MEM_HEADER);
    OSPrimMemoryLogging("Allocated at [%s] Line[%d]  \n", "", 0);
    OSPrimMemoryLogging("Freed     at [%s] Line[%d]  \n", "", 0);
    return ZEK_OSPRIM_FAILURE;
  }
  release_block(header);
  return ZEK_STATUS_PASS;
}

}  // namespace

ZekStatus ZEK_Init_c_osprims(std::uint32_t) {
  OSPrimSyncAcquireSpinlockObject(&g_tracking.lock);
  ++g_tracking.uses;
  OSPrimSyncReleaseSpinlockObject(&g_tracking.lock);
  return ZEK_STATUS_PASS;
}

ZekStatus ZEK_Cleanup_c_osprims() {
  OSPrimSyncAcquireSpinlockObject(&g_tracking.lock);
  if (g_tracking.uses == 0) {
    OSPrimSyncReleaseSpinlockObject(&g_tracking.lock);
    ZEK_LOG_FAILURE("OSPrims uninitialized too many times\n");
    return ZEK_OSPRIM_FAILURE;
  }
  OSPrimMemHeader* left = nullptr;
  if (--g_tracking.uses == 0) {
    // Last use: take every block still allocated off the list and free them
    // once the lock is released (contiguous memory is freed at PASSIVE_LEVEL).
    left = g_tracking.oldest;
    g_tracking.oldest = g_tracking.newest = nullptr;
    std::memset(g_index, 0, sizeof(g_index));
  }
  OSPrimSyncReleaseSpinlockObject(&g_tracking.lock);
  while (left != nullptr) {
    OSPrimMemHeader* next = left->Next;
    left->Signature = ZEK_SIG_MEM_HEADER_FREED;
    release_block(left);
    left = next;
  }
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimMemAllocatePaged(void** out, std::uint32_t size) {
  return allocate_tracked(out, size, OSPRIM_MEM_PAGED);
}
ZekStatus OSPrimMemAllocate(void** out, std::uint32_t size) { return allocate_tracked(out, size, OSPRIM_MEM_NONPAGED); }
ZekStatus OSPrimMemDMAAllocate(void** out, std::uint32_t size) {
  return allocate_tracked(out, size, OSPRIM_MEM_CONTIGUOUS);
}

void* OSPrimMemAllocPtr(std::uint32_t size) {
  void* block = nullptr;
  return allocate_tracked(&block, size, OSPRIM_MEM_NONPAGED) == ZEK_STATUS_PASS ? block : nullptr;
}

// Each free releases the block the way its header says it was allocated, so
// a contiguous block handed to OSPrimMemFree is not given to the pool.
ZekStatus OSPrimMemFree(void* block) { return free_tracked(block); }
ZekStatus OSPrimMemFreePtr(void* block) { return free_tracked(block); }
ZekStatus OSPrimMemDMAFree(void* block) { return free_tracked(block); }

ZekStatus OSPrimPageAllocate(void** out) {
  if (ZekIsBadPointer(out)) return ZEK_STATUS_FAIL;
  void* page = ExAllocatePoolWithTag(NonPagedPool, PAGE_SIZE, ZEK_OSPRIM_POOL_TAG);
  *out = page;
  if (page == nullptr) return ZEK_STATUS_FAIL;
  std::memset(page, 0, PAGE_SIZE);
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimGetPaFromVa(const void* address, std::uint32_t* low, std::uint32_t* high) {
  if (ZekIsBadPointer(low) || ZekIsBadPointer(high)) return ZEK_OSPRIM_FAILURE;
  const PHYSICAL_ADDRESS pa = MmGetPhysicalAddress(const_cast<void*>(address));
  const auto value = static_cast<std::uint64_t>(pa.QuadPart);
  *low = static_cast<std::uint32_t>(value);
  *high = static_cast<std::uint32_t>(value >> 32);
  return value != 0 ? ZEK_STATUS_PASS : ZEK_OSPRIM_FAILURE;
}
