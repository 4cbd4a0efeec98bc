// The control-queue-pair lock routines. The miniport stores their addresses
// in the device object and the CQP object copies them, so both drivers
// serialise their control requests on the same spin-lock object.
#include "include/zek/mifh.h"

ZekStatus CommonNicAcquireSpinlockFunction(OSPrimSpinlockObject* lock) {
  const ZekStatus status = OSPrimSyncAcquireSpinlockObject(lock);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("CommonNicAcquireSpinlockFunction: OSPrimSyncAcquireSpinlockObject return error (0x%x) for object (0x%p)\n",
                    status, static_cast<void*>(lock));
  }
  return status;
}

ZekStatus CommonNicReleaseSpinlockFunction(OSPrimSpinlockObject* lock) {
  const ZekStatus status = OSPrimSyncReleaseSpinlockObject(lock);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("CommonNicReleaseSpinlockFunction: OSPrimSyncReleaseSpinlockObject return error (0x%x) for object (0x%p)\n",
                    status, static_cast<void*>(lock));
  }
  return status;
}
