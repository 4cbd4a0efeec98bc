// Spin-lock and blocking objects of the user-mode build: each is a semaphore
// of the user runtime behind a signature. Neither spins, and either may be
// released by another thread than the one that took it.
#include <atomic>

#include "lib/base/base_internal.h"

namespace {

// A spin-lock object admits one holder: its semaphore counts to 1 at most,
// so releasing a free lock fails instead of letting two holders in.
constexpr LONG kSpinlockMaximum = 1;
// A blocking object counts releases up to this maximum; a release that finds
// the count near it takes the surplus back, so that releases without
// acquisitions never fail.
constexpr LONG kBlockingMaximum = 65336;
constexpr LONG kBlockingPullBackAbove = 65334;

std::atomic_ref<std::uint32_t> signature_of(std::uint32_t& field) { return std::atomic_ref<std::uint32_t>(field); }

// A new semaphore (initial count 1) into *semaphore; false when none was created.
bool create(HANDLE* semaphore, LONG maximum) {
  HANDLE handle = CreateSemaphoreA(nullptr, 1, maximum, nullptr);
  if (handle == nullptr) return false;
  *semaphore = handle;
  return true;
}

ZekStatus wait(HANDLE semaphore, const char* routine) {
  const DWORD result = WaitForSingleObject(semaphore, INFINITE);
  if (result != WAIT_OBJECT_0) {
    ZEK_LOG_FAILURE("%s: WaitForSingleObject() returned (0x%x) error (0x%x)\n", routine, static_cast<unsigned>(result),
                    static_cast<unsigned>(GetLastError()));
    return ZEK_OSPRIM_FAILURE;
  }
  return ZEK_STATUS_PASS;
}

ZekStatus close(HANDLE semaphore, std::uint32_t& signature, const char* routine) {
  if (!CloseHandle(semaphore)) {
    ZEK_LOG_FAILURE("%s: CloseHandle failed error (0x%x)\n", routine, static_cast<unsigned>(GetLastError()));
    return ZEK_OSPRIM_FAILURE;
  }
  signature_of(signature).store(0, std::memory_order_release);
  return ZEK_STATUS_PASS;
}

}  // namespace

bool ZekBaseHasSignature(const std::uint32_t* field, std::uint32_t signature) {
  if (ZekIsBadPointer(field)) return false;
  return std::atomic_ref<std::uint32_t>(*const_cast<std::uint32_t*>(field)).load(std::memory_order_acquire) ==
         signature;
}

ZekStatus OSPrimSyncInitSpinlockObject(OSPrimSpinlockObject* object) {
  if (ZekIsBadPointer(object)) return ZEK_OSPRIM_FAILURE;
  // An object that carries the signature already may be held by someone:
  // it is left as it is.
  if (ZekBaseHasSignature(&object->Signature, ZEK_SIG_SPINLOCK)) return ZEK_STATUS_PASS;
  HANDLE semaphore = nullptr;
  if (!create(&semaphore, kSpinlockMaximum)) {
    ZEK_LOG_FAILURE("OSPrimSyncInitSpinlockObject: CreateSemaphore failed error (0x%x)\n",
                    static_cast<unsigned>(GetLastError()));
    return ZEK_OSPRIM_FAILURE;
  }
  object->Semaphore = semaphore;
  object->SavedIrql = 0;
  signature_of(object->Signature).store(ZEK_SIG_SPINLOCK, std::memory_order_release);
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimSyncAcquireSpinlockObject(OSPrimSpinlockObject* object) {
  if (ZekIsBadPointer(object) || !ZekBaseHasSignature(&object->Signature, ZEK_SIG_SPINLOCK)) {
    return ZEK_OSPRIM_FAILURE;
  }
  return wait(object->Semaphore, "OSPrimSyncAcquireSpinlockObject");
}

ZekStatus OSPrimSyncReleaseSpinlockObject(OSPrimSpinlockObject* object) {
  if (ZekIsBadPointer(object) || !ZekBaseHasSignature(&object->Signature, ZEK_SIG_SPINLOCK)) {
    return ZEK_OSPRIM_FAILURE;
  }
  if (!ReleaseSemaphore(object->Semaphore, 1, nullptr)) {
    ZEK_LOG_FAILURE("OSPrimSyncReleaseSpinlockObject: ReleaseSemaphore failed error (0x%x)\n",
                    static_cast<unsigned>(GetLastError()));
    return ZEK_OSPRIM_FAILURE;
  }
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimSyncDestroySpinlockObject(OSPrimSpinlockObject* object) {
  if (ZekIsBadPointer(object) || !ZekBaseHasSignature(&object->Signature, ZEK_SIG_SPINLOCK)) {
    return ZEK_OSPRIM_FAILURE;
  }
  return close(object->Semaphore, object->Signature, "OSPrimSyncDestroySpinlockObject");
}

ZekStatus OSPrimSyncInitBlockingObject(OSPrimBlockingObject* object) {
  if (ZekIsBadPointer(object)) return ZEK_OSPRIM_FAILURE;
  if (ZekBaseHasSignature(&object->Signature, ZEK_SIG_BLOCKING)) return ZEK_STATUS_PASS;
  HANDLE semaphore = nullptr;
  if (!create(&semaphore, kBlockingMaximum)) {
    ZEK_LOG_FAILURE("OSPrimSyncInitBlockingObject: CreateSemaphore failed error (0x%x)\n",
                    static_cast<unsigned>(GetLastError()));
    return ZEK_OSPRIM_FAILURE;
  }
  object->Semaphore = semaphore;
  signature_of(object->Signature).store(ZEK_SIG_BLOCKING, std::memory_order_release);
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimSyncAcquireBlockingObject(OSPrimBlockingObject* object) {
  if (ZekIsBadPointer(object) || !ZekBaseHasSignature(&object->Signature, ZEK_SIG_BLOCKING)) {
    return ZEK_OSPRIM_FAILURE;
  }
  return wait(object->Semaphore, "OSPrimSyncAcquireBlockingObject");
}

ZekStatus OSPrimSyncReleaseBlockingObject(OSPrimBlockingObject* object) {
  if (ZekIsBadPointer(object) || !ZekBaseHasSignature(&object->Signature, ZEK_SIG_BLOCKING)) {
    return ZEK_OSPRIM_FAILURE;
  }
  LONG before = 0;
  if (!ReleaseSemaphore(object->Semaphore, 1, &before)) {
    ZEK_LOG_FAILURE("OSPrimSyncReleaseBlockingObject: ReleaseSemaphore failed error (0x%x)\n",
                    static_cast<unsigned>(GetLastError()));
    return ZEK_OSPRIM_FAILURE;
  }
  if (before > kBlockingPullBackAbove) {
    // Take the surplus back without waiting; what others took meanwhile
    // simply is not there to take.
    for (LONG i = 0; i < before - 1; ++i) {
      if (WaitForSingleObject(object->Semaphore, 0) != WAIT_OBJECT_0) break;
    }
  }
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimSyncDestroyBlockingObject(OSPrimBlockingObject* object) {
  if (ZekIsBadPointer(object) || !ZekBaseHasSignature(&object->Signature, ZEK_SIG_BLOCKING)) {
    return ZEK_OSPRIM_FAILURE;
  }
  return close(object->Semaphore, object->Signature, "OSPrimSyncDestroyBlockingObject");
}
