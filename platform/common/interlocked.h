// Interlocked operations with the Windows names. Every operation is a full
// barrier (sequentially consistent), as on Windows.
#pragma once

#include <atomic>

#include "platform/common/wintypes.h"

namespace plat::detail {
template <typename T>
inline std::atomic_ref<T> atomic(volatile T* p) {
  return std::atomic_ref<T>(*const_cast<T*>(p));
}
}  // namespace plat::detail

inline LONG InterlockedIncrement(volatile LONG* p) { return plat::detail::atomic(p).fetch_add(1) + 1; }
inline LONG InterlockedDecrement(volatile LONG* p) { return plat::detail::atomic(p).fetch_sub(1) - 1; }
inline LONG InterlockedExchange(volatile LONG* p, LONG v) { return plat::detail::atomic(p).exchange(v); }
inline LONG InterlockedExchangeAdd(volatile LONG* p, LONG v) { return plat::detail::atomic(p).fetch_add(v); }
inline LONG InterlockedAdd(volatile LONG* p, LONG v) { return plat::detail::atomic(p).fetch_add(v) + v; }
inline LONG InterlockedOr(volatile LONG* p, LONG v) { return plat::detail::atomic(p).fetch_or(v); }
inline LONG InterlockedAnd(volatile LONG* p, LONG v) { return plat::detail::atomic(p).fetch_and(v); }
inline LONG InterlockedXor(volatile LONG* p, LONG v) { return plat::detail::atomic(p).fetch_xor(v); }
inline LONG InterlockedCompareExchange(volatile LONG* p, LONG exchange, LONG comparand) {
  plat::detail::atomic(p).compare_exchange_strong(comparand, exchange);
  return comparand;
}

inline LONG64 InterlockedIncrement64(volatile LONG64* p) { return plat::detail::atomic(p).fetch_add(1) + 1; }
inline LONG64 InterlockedDecrement64(volatile LONG64* p) { return plat::detail::atomic(p).fetch_sub(1) - 1; }
inline LONG64 InterlockedExchange64(volatile LONG64* p, LONG64 v) { return plat::detail::atomic(p).exchange(v); }
inline LONG64 InterlockedExchangeAdd64(volatile LONG64* p, LONG64 v) { return plat::detail::atomic(p).fetch_add(v); }
inline LONG64 InterlockedAdd64(volatile LONG64* p, LONG64 v) { return plat::detail::atomic(p).fetch_add(v) + v; }
inline LONG64 InterlockedOr64(volatile LONG64* p, LONG64 v) { return plat::detail::atomic(p).fetch_or(v); }
inline LONG64 InterlockedAnd64(volatile LONG64* p, LONG64 v) { return plat::detail::atomic(p).fetch_and(v); }
inline LONG64 InterlockedCompareExchange64(volatile LONG64* p, LONG64 exchange, LONG64 comparand) {
  plat::detail::atomic(p).compare_exchange_strong(comparand, exchange);
  return comparand;
}

inline PVOID InterlockedExchangePointer(PVOID volatile* p, PVOID v) { return plat::detail::atomic(p).exchange(v); }
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* p, PVOID exchange, PVOID comparand) {
  plat::detail::atomic(p).compare_exchange_strong(comparand, exchange);
  return comparand;
}

// A full memory barrier.
inline void MemoryBarrier() { std::atomic_thread_fence(std::memory_order_seq_cst); }
#define KeMemoryBarrier() MemoryBarrier()
