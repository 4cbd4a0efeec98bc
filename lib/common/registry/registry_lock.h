// Taking and releasing a registry's spin-lock object with the failure
// records every registry operation writes when that fails. Macros, so that
// the records name the operation itself.
#pragma once

#include <atomic>

#include "include/zek/osprim.h"
#include "include/zek/status.h"

// A registry counts as initialised while its lock object carries the
// spin-lock signature of this build.
inline bool ZekRegistryLockValid(OSPrimSpinlockObject& lock) {
  return std::atomic_ref<std::uint32_t>(lock.Signature).load(std::memory_order_acquire) == ZEK_SIG_SPINLOCK;
}

// Takes `lock`; on failure logs "<op>: <area> Unable to Acquire Spinlock (<status text>)"
// and returns `on_failure`, in which `lock_status_` names the failing status.
#define ZEK_REGISTRY_ACQUIRE(lock, op, area, text_of, on_failure)                              \
  ZekStatus lock_status_ = OSPrimSyncAcquireSpinlockObject(&(lock));                           \
  if (lock_status_ != ZEK_STATUS_PASS) {                                                       \
    ZEK_LOG_FAILURE(op ": " area " Unable to Acquire Spinlock (%s)\n", text_of(lock_status_)); \
    return on_failure;                                                                         \
  }

// Releases `lock`; on failure logs the matching record and stores the
// failing status in `result`.
#define ZEK_REGISTRY_RELEASE(lock, op, area, text_of, result)                                       \
  do {                                                                                              \
    ZekStatus release_status_ = OSPrimSyncReleaseSpinlockObject(&(lock));                           \
    if (release_status_ != ZEK_STATUS_PASS) {                                                       \
      ZEK_LOG_FAILURE(op ": " area " Unable to Release Spinlock (%s)\n", text_of(release_status_)); \
      result = release_status_;                                                                     \
    }                                                                                               \
  } while (0)
