// What the managers' sources share: allocation, the follower forwarding and
// the table header. Not for callers outside the resource managers.
#pragma once

#include <cstring>

#include "include/zek/registry.h"
#include "proxy/rdma/rm/rm.h"

namespace zekrm {

// A zeroed tracked block, or null.
template <typename T>
T* allocate_zeroed(std::uint32_t bytes = sizeof(T)) {
  void* block = nullptr;
  if (OSPrimMemAllocate(&block, bytes) != ZEK_STATUS_PASS || block == nullptr) return nullptr;
  std::memset(block, 0, bytes);
  return static_cast<T*>(block);
}

inline ZekStatus acquire(OSPrimSpinlockObject* lock) {
  return OSPrimSyncAcquireSpinlockObject(lock) == ZEK_STATUS_PASS ? ZEK_STATUS_PASS : ZEK_STATUS_FAIL;
}
inline ZekStatus release(OSPrimSpinlockObject* lock) {
  return OSPrimSyncReleaseSpinlockObject(lock) == ZEK_STATUS_PASS ? ZEK_STATUS_PASS : ZEK_STATUS_FAIL;
}

// A follower routine: the follower's exclusion lock around the owner's
// routine of the same operation. A bad follower answers 2, a lock that cannot
// be taken 1 (with `acquire_text` logged), an owner whose head is not valid
// 1; a release that fails turns success into 1.
template <typename Object, typename Call>
ZekStatus forward(Object* follower, const char* acquire_text, const char* release_text, Call call) {
  if (ZekIsBadPointer(follower) || !ZekExclusionValid(&follower->Head)) return ZEK_STATUS_BAD_PTR;
  if (acquire(&follower->Head.Lock) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("%s", acquire_text);
    return ZEK_STATUS_FAIL;
  }
  ZekExclusionObject* owner = follower->Head.Owner;
  ZekStatus status = ZekExclusionValid(owner) ? call(reinterpret_cast<Object*>(owner)) : ZEK_STATUS_FAIL;
  if (release(&follower->Head.Lock) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("%s", release_text);
    if (status == ZEK_STATUS_PASS) status = ZEK_STATUS_FAIL;
  }
  return status;
}

template <typename Table>
constexpr ZekInterfaceHeader table_header() {
  return ZekInterfaceHeader{ZEK_SIG_INTERFACE_TABLE, static_cast<std::uint32_t>(sizeof(Table))};
}

}  // namespace zekrm
