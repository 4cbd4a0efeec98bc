// The control-queue-pair lock routines.
#include "proxy/rdma/hw/locks.h"

ZekStatus CommonNicAcquireSpinlockFunction(OSPrimSpinlockObject* lock) {
  const ZekStatus status = OSPrimSyncAcquireSpinlockObject(lock);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE(
        "CommonNicAcquireSpinlockFunction: OSPrimSyncAcquireSpinlockObject return error (0x%x) for object (0x%p)\n",
        status, static_cast<void*>(lock));
  }
  return status;
}

ZekStatus CommonNicReleaseSpinlockFunction(OSPrimSpinlockObject* lock) {
  const ZekStatus status = OSPrimSyncReleaseSpinlockObject(lock);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE(
        "CommonNicReleaseSpinlockFunction: OSPrimSyncReleaseSpinlockObject return error (0x%x) for object (0x%p)\n",
        status, static_cast<void*>(lock));
  }
  return status;
}
