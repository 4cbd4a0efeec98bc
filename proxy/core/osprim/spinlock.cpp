// Spin-lock objects and blocking objects.
#include <atomic>

#include "proxy/core/osprim/osprim_kernel.h"

namespace {

std::atomic_ref<std::uint32_t> signature_of(std::uint32_t& field) { return std::atomic_ref<std::uint32_t>(field); }

bool valid_spinlock(OSPrimSpinlockObject* object) {
  return !ZekIsBadPointer(object) && signature_of(object->Signature).load() == ZEK_SIG_SPINLOCK;
}

bool valid_blocking(OSPrimBlockingObject* object) {
  return !ZekIsBadPointer(object) && signature_of(object->Signature).load() == ZEK_SIG_BLOCKING;
}

}  // namespace

ZekStatus OSPrimSyncInitSpinlockObject(OSPrimSpinlockObject* object) {
  if (ZekIsBadPointer(object)) return ZEK_OSPRIM_FAILURE;
  // An object that carries the signature already may be held by someone:
  // it is left as it is.
  if (signature_of(object->Signature).load() == ZEK_SIG_SPINLOCK) return ZEK_STATUS_PASS;
  KeInitializeSpinLock(&object->SpinLock);
  object->SavedIrql = PASSIVE_LEVEL;
  signature_of(object->Signature).store(ZEK_SIG_SPINLOCK);
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimSyncAcquireSpinlockObject(OSPrimSpinlockObject* object) {
  if (!valid_spinlock(object)) return ZEK_OSPRIM_FAILURE;
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    KeAcquireSpinLockAtDpcLevel(&object->SpinLock);
    object->SavedIrql = DISPATCH_LEVEL;
  } else {
    KIRQL old;
    KeAcquireSpinLock(&object->SpinLock, &old);
    object->SavedIrql = old;
  }
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimSyncReleaseSpinlockObject(OSPrimSpinlockObject* object) {
  if (!valid_spinlock(object)) return ZEK_OSPRIM_FAILURE;
  const KIRQL saved = object->SavedIrql;
  if (saved == DISPATCH_LEVEL) {
    KeReleaseSpinLockFromDpcLevel(&object->SpinLock);
  } else {
    KeReleaseSpinLock(&object->SpinLock, saved);
  }
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimSyncDestroySpinlockObject(OSPrimSpinlockObject* object) {
  if (!valid_spinlock(object)) return ZEK_OSPRIM_FAILURE;
  signature_of(object->Signature).store(0);
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimSyncInitBlockingObject(OSPrimBlockingObject* object) {
  if (ZekIsBadPointer(object)) return ZEK_OSPRIM_FAILURE;
  // Free when set up; each acquisition takes the one signal atomically.
  KeInitializeEvent(OSPrimKeEvent(&object->Event), SynchronizationEvent, TRUE);
  signature_of(object->Signature).store(ZEK_SIG_BLOCKING);
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimSyncAcquireBlockingObject(OSPrimBlockingObject* object) {
  if (!valid_blocking(object)) return ZEK_OSPRIM_FAILURE;
  // A user-mode, alertable wait: a caller process that dies ends it.
  const NTSTATUS status = KeWaitForSingleObject(OSPrimKeEvent(&object->Event), Executive, UserMode, TRUE, nullptr);
  if (status != STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("OSPrimSyncAcquireBlockingObject: KeWaitForSingleObject()  returned (0x%x)\n",
                    static_cast<unsigned>(status));
    return ZEK_OSPRIM_FAILURE;
  }
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimSyncReleaseBlockingObject(OSPrimBlockingObject* object) {
  if (!valid_blocking(object)) return ZEK_OSPRIM_FAILURE;
  KeSetEvent(OSPrimKeEvent(&object->Event), 1, FALSE);
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimSyncDestroyBlockingObject(OSPrimBlockingObject* object) {
  if (!valid_blocking(object)) return ZEK_OSPRIM_FAILURE;
  signature_of(object->Signature).store(0);
  return ZEK_STATUS_PASS;
}
