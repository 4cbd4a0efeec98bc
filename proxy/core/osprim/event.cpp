// OSPrimEvent: an auto-reset event. The wait takes the signal atomically, so
// a set that arrives between two waits is never lost.
#include "proxy/core/osprim/osprim_kernel.h"

ZekStatus OSPrimInitEvent(OSPrimEvent* event) {
  if (ZekIsBadPointer(event)) {
    ZEK_LOG_FAILURE("OSPrimInitEvent: pEvent is Null File[%s] Line[%d]\n", __FILE__, __LINE__);
    return ZEK_OSPRIM_FAILURE;
  }
  KeInitializeEvent(OSPrimKeEvent(&event->Event), SynchronizationEvent, FALSE);
  event->Signature = ZEK_SIG_EVENT;
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimWaitForEvent(OSPrimEvent* event, BOOLEAN UserWait) {
  if (ZekIsBadPointer(event)) {
    ZEK_LOG_FAILURE("OSPrimWaitForEvent: pEvent is Null File[%s] Line[%d]\n", __FILE__, __LINE__);
    return ZEK_OSPRIM_FAILURE;
  }
  if (event->Signature != ZEK_SIG_EVENT) {
    ZEK_LOG_FAILURE("OSPrimWaitForEvent:pEvent[x%p] signature is bad found[%08X] should be [%08X] \n",
                    static_cast<void*>(event), event->Signature, ZEK_SIG_EVENT);
    return ZEK_OSPRIM_FAILURE;
  }
  // A user wait is alertable, so that the death of the waiting process ends it.
  const NTSTATUS status =
      UserWait ? KeWaitForSingleObject(OSPrimKeEvent(&event->Event), UserRequest, UserMode, TRUE, nullptr)
               : KeWaitForSingleObject(OSPrimKeEvent(&event->Event), Executive, KernelMode, FALSE, nullptr);
  if (status == STATUS_SUCCESS) return ZEK_STATUS_PASS;
  if (status == STATUS_USER_APC) {
    ZEK_LOG_FAILURE("STATUS_USER_APC\n");
  } else {
    ZEK_LOG_FAILURE("OSPrimWaitForEvent: KeWaitForSingleObject() returned (0x%x)\n", static_cast<unsigned>(status));
  }
  return ZEK_OSPRIM_FAILURE;
}

ZekStatus OSPrimSetEvent(OSPrimEvent* event) {
  if (ZekIsBadPointer(event)) {
    ZEK_LOG_FAILURE("OSPrimSetEvent: pEvent is Null File[%s] Line[%d]\n", __FILE__, __LINE__);
    return ZEK_OSPRIM_FAILURE;
  }
  if (event->Signature != ZEK_SIG_EVENT) {
    ZEK_LOG_FAILURE("OSPrimSetEvent:pEvent[x%p] signature is bad found[%08X] should be [%08X] \n",
                    static_cast<void*>(event), event->Signature, ZEK_SIG_EVENT);
    return ZEK_OSPRIM_FAILURE;
  }
  KeSetEvent(OSPrimKeEvent(&event->Event), 1, FALSE);
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimDestroyEvent(OSPrimEvent* event) {
  if (ZekIsBadPointer(event)) {
    ZEK_LOG_FAILURE("OSPrimDestroyEvent: pEvent is Null File[%s] Line[%d]\n", __FILE__, __LINE__);
    return ZEK_OSPRIM_FAILURE;
  }
  if (event->Signature != ZEK_SIG_EVENT) {
    ZEK_LOG_FAILURE("OSPrimDestroyEvent:pEvent[x%p] signature is bad found[%08X] should be [%08X] \n",
                    static_cast<void*>(event), event->Signature, ZEK_SIG_EVENT);
    return ZEK_OSPRIM_FAILURE;
  }
  event->Signature = 0;
  return ZEK_STATUS_PASS;
}
