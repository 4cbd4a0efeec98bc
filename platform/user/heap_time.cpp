// Heaps and time.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <unordered_map>

#include "platform/user/runtime.h"
#include "platform/user/sharedmem.h"

namespace plat::user {
namespace {

// A heap knows its blocks, so that a foreign or repeated free is refused
// and destroying the heap releases what is left. Blocks are memory the
// host can share (sharedmem.h), so that a driver locking them for the
// adapter pins the process's own pages.
struct Heap {
  std::mutex mu;
  std::unordered_map<void*, std::size_t> blocks;
};

std::mutex heaps_mu;
std::set<Heap*>& live_heaps() {
  static auto* heaps = new std::set<Heap*>;
  return *heaps;
}

Heap* heap_of(HANDLE handle) {
  auto* heap = static_cast<Heap*>(handle);
  std::lock_guard lock(heaps_mu);
  return live_heaps().count(heap) != 0 ? heap : nullptr;
}

}  // namespace
}  // namespace plat::user

using namespace plat::user;

HANDLE HeapCreate(DWORD, SIZE_T, SIZE_T) {
  auto* heap = new Heap;
  std::lock_guard lock(heaps_mu);
  live_heaps().insert(heap);
  return heap;
}

BOOL HeapDestroy(HANDLE hHeap) {
  Heap* heap = heap_of(hHeap);
  if (heap == nullptr || hHeap == GetProcessHeap()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  {
    std::lock_guard lock(heaps_mu);
    live_heaps().erase(heap);
  }
  for (auto& [block, size] : heap->blocks) shared::release(block);
  delete heap;
  return TRUE;
}

HANDLE GetProcessHeap() {
  static HANDLE heap = HeapCreate(0, 0, 0);
  return heap;
}

LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
  Heap* heap = heap_of(hHeap);
  if (heap == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  void* block = shared::allocate(dwBytes, (dwFlags & HEAP_ZERO_MEMORY) != 0);
  if (block == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::lock_guard lock(heap->mu);
  heap->blocks.emplace(block, dwBytes);
  return block;
}

LPVOID HeapReAlloc(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem, SIZE_T dwBytes) {
  Heap* heap = heap_of(hHeap);
  if (heap == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  std::lock_guard lock(heap->mu);
  auto it = heap->blocks.find(lpMem);
  if (it == heap->blocks.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::size_t old = it->second;
  void* block = shared::allocate(dwBytes, false);
  if (block == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::memcpy(block, lpMem, std::min<std::size_t>(old, dwBytes));
  shared::release(lpMem);
  heap->blocks.erase(it);
  heap->blocks.emplace(block, dwBytes);
  if ((dwFlags & HEAP_ZERO_MEMORY) && dwBytes > old) std::memset(static_cast<char*>(block) + old, 0, dwBytes - old);
  return block;
}

BOOL HeapFree(HANDLE hHeap, DWORD, LPVOID lpMem) {
  if (lpMem == nullptr) return TRUE;
  Heap* heap = heap_of(hHeap);
  if (heap == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard lock(heap->mu);
  if (heap->blocks.erase(lpMem) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  shared::release(lpMem);
  return TRUE;
}

SIZE_T HeapSize(HANDLE hHeap, DWORD, LPCVOID lpMem) {
  Heap* heap = heap_of(hHeap);
  if (heap == nullptr) return static_cast<SIZE_T>(-1);
  std::lock_guard lock(heap->mu);
  auto it = heap->blocks.find(const_cast<void*>(lpMem));
  return it == heap->blocks.end() ? static_cast<SIZE_T>(-1) : it->second;
}

// Local memory is the process heap's, so that a foreign or repeated free is refused.
HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  return HeapAlloc(GetProcessHeap(), (uFlags & LMEM_ZEROINIT) ? HEAP_ZERO_MEMORY : 0, uBytes);
}

HLOCAL LocalFree(HLOCAL hMem) {
  if (hMem == nullptr) return nullptr;
  if (!HeapFree(GetProcessHeap(), 0, hMem)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return hMem;
  }
  return nullptr;
}

namespace {
std::int64_t monotonic_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }
ULONGLONG GetTickCount64() { return static_cast<ULONGLONG>(monotonic_ns() / 1'000'000); }

BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
  if (lpPerformanceCount == nullptr) return FALSE;
  lpPerformanceCount->QuadPart = monotonic_ns() / 100;
  return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
  if (lpFrequency == nullptr) return FALSE;
  lpFrequency->QuadPart = 10'000'000;
  return TRUE;
}
