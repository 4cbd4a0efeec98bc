// Memory of the user-mode build: zeroed blocks of one private heap, and the
// answers to the kernel-only memory operations.
#include <atomic>
#include <cstring>
#include <mutex>

#include "lib/base/base_internal.h"

namespace {

std::atomic<HANDLE> g_heap{nullptr};
std::mutex g_heap_mu;  // serialises the lazy creation and the destruction

}  // namespace

HANDLE ZekBaseHeap(bool create) {
  HANDLE heap = g_heap.load(std::memory_order_acquire);
  if (heap != nullptr || !create) return heap;
  // Two first allocations at once must not make two heaps.
  std::lock_guard lock(g_heap_mu);
  heap = g_heap.load(std::memory_order_acquire);
  if (heap == nullptr) {
    heap = HeapCreate(0, 0, 0);
    g_heap.store(heap, std::memory_order_release);
  }
  return heap;
}

void ZekBaseDestroyHeap() {
  std::lock_guard lock(g_heap_mu);
  HANDLE heap = g_heap.exchange(nullptr, std::memory_order_acq_rel);
  if (heap != nullptr) HeapDestroy(heap);
}

ZekStatus OSPrimMemAllocate(void** out, std::uint32_t size) {
  if (ZekIsBadPointer(out)) {
    ZEK_LOG_FAILURE("OSPrimMemAllocate: no place for the block's address (0x%x)\n", ZEK_OSPRIM_FAILURE);
    return ZEK_OSPRIM_FAILURE;
  }
  *out = nullptr;
  if (size == 0) {
    ZEK_LOG_FAILURE("OSPrimMemAllocate: size is zero (0x%x)\n", ZEK_OSPRIM_FAILURE);
    return ZEK_OSPRIM_FAILURE;
  }
  HANDLE heap = ZekBaseHeap(true);
  if (heap == nullptr) {
    ZEK_LOG_FAILURE("OSPrimMemAllocate: HeapCreate failed error (0x%x)\n", static_cast<unsigned>(GetLastError()));
    return ZEK_OSPRIM_FAILURE;
  }
  void* block = HeapAlloc(heap, HEAP_ZERO_MEMORY, size);
  if (block == nullptr) {
    ZEK_LOG_FAILURE("OSPrimMemAllocate: HeapAlloc of %u bytes failed error (0x%x)\n", size,
                    static_cast<unsigned>(GetLastError()));
    return ZEK_OSPRIM_FAILURE;
  }
  *out = block;
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimMemFree(void* block) {
  if (ZekIsBadPointer(block)) return ZEK_OSPRIM_FAILURE;
  HANDLE heap = ZekBaseHeap(false);
  // A block that is not the heap's (never allocated, freed already, or from
  // before the heap was destroyed) is refused, not freed.
  if (heap == nullptr || !HeapFree(heap, 0, block)) {
    ZEK_LOG_FAILURE("OSPrimMemFree: HeapFree of [x%p] failed error (0x%x)\n", block,
                    static_cast<unsigned>(GetLastError()));
    return ZEK_OSPRIM_FAILURE;
  }
  return ZEK_STATUS_PASS;
}

// No physical address exists in user mode: "DMA" memory is ordinary memory.
ZekStatus OSPrimMemDMAAllocate(void** out, std::uint32_t size) { return OSPrimMemAllocate(out, size); }
ZekStatus OSPrimMemDMAFree(void* block) { return OSPrimMemFree(block); }

void OSPrimMemCopy(void* destination, const void* source, std::uint32_t bytes) {
  if (destination != nullptr && source != nullptr && bytes != 0) std::memmove(destination, source, bytes);
}

void OSPrimMemClear(void* block, std::uint32_t bytes) {
  if (block != nullptr && bytes != 0) std::memset(block, 0, bytes);
}

ZekStatus OSPrimMemAlign(std::uint64_t* out, const std::uint64_t* in, std::uint64_t alignment) {
  if (ZekIsBadPointer(out) || ZekIsBadPointer(in) || *in == 0) return ZEK_OSPRIM_FAILURE;
  if (alignment == 0 || (alignment & (alignment - 1)) != 0) return ZEK_OSPRIM_FAILURE;
  const std::uint64_t value = *in;
  const std::uint64_t mask = alignment - 1;
  if (value > UINT64_MAX - mask) return ZEK_OSPRIM_FAILURE;  // rounding up would wrap to a low address
  *out = (value + mask) & ~mask;
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimGetPaFromVa(const void*, std::uint32_t*, std::uint32_t*) { return ZEK_OSPRIM_FAILURE; }
void OSPrimFlushDataCacheVa(void*, std::uint32_t) {}
void OSPrimInvalidateDataCacheVa(void*, std::uint32_t) {}

ZekStatus OSPrimMapIt(void* address, std::uint32_t, void*, void** systemAddress) {
  if (!ZekIsBadPointer(systemAddress)) *systemAddress = address;
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimUnMapIt(void*) { return ZEK_STATUS_PASS; }
ZekStatus OSPrimUserMLock(void*, std::uint64_t) { return ZEK_STATUS_PASS; }
ZekStatus OSPrimUserMUnLock(void*, std::uint64_t) { return ZEK_STATUS_PASS; }
ZekStatus OSPrimSleepLibInit() { return ZEK_STATUS_PASS; }
