// Events of the user-mode build. An OSPrimEvent is the handle of a semaphore
// that counts from 0 to 1: a set wakes one waiter or stays until the next
// wait, and a second set before that wait is refused. A shared event is an
// auto-reset Win32 event.
#include "lib/base/base_internal.h"

ZekStatus OSPrimInitEvent(OSPrimEvent* event) {
  if (ZekIsBadPointer(event)) {
    ZEK_LOG_FAILURE("OSPrimInitEvent: pEvent is Null File[%s] Line[%d]\n", __FILE__, __LINE__);
    return ZEK_OSPRIM_FAILURE;
  }
  HANDLE semaphore = CreateSemaphoreA(nullptr, 0, 1, nullptr);
  if (semaphore == nullptr) {
    ZEK_LOG_FAILURE("OSPrimInitEvent: CreateSemaphore failed error (0x%x)\n", static_cast<unsigned>(GetLastError()));
    return ZEK_OSPRIM_FAILURE;
  }
  *event = semaphore;
  return ZEK_STATUS_PASS;
}

// The user-mode wait is the only kind here: the flag changes nothing.
ZekStatus OSPrimWaitForEvent(OSPrimEvent* event, BOOLEAN) {
  if (ZekIsBadPointer(event)) {
    ZEK_LOG_FAILURE("OSPrimWaitForEvent: pEvent is Null File[%s] Line[%d]\n", __FILE__, __LINE__);
    return ZEK_OSPRIM_FAILURE;
  }
  // The wait's own result: 0 when signalled, WAIT_FAILED (all ones) for a
  // handle that is no event.
  return WaitForSingleObject(*event, INFINITE);
}

ZekStatus OSPrimSetEvent(OSPrimEvent* event) {
  if (ZekIsBadPointer(event)) {
    ZEK_LOG_FAILURE("OSPrimSetEvent: pEvent is Null File[%s] Line[%d]\n", __FILE__, __LINE__);
    return ZEK_OSPRIM_FAILURE;
  }
  // Fails when the event is signalled already; it stays signalled once.
  return ReleaseSemaphore(*event, 1, nullptr) ? ZEK_STATUS_PASS : ZEK_OSPRIM_FAILURE;
}

ZekStatus OSPrimDestroyEvent(OSPrimEvent* event) {
  if (ZekIsBadPointer(event)) {
    ZEK_LOG_FAILURE("OSPrimDestroyEvent: pEvent is Null File[%s] Line[%d]\n", __FILE__, __LINE__);
    return ZEK_OSPRIM_FAILURE;
  }
  // The handle is closed and forgotten, so that an event destroyed twice
  // closes nothing the second time (its handle value may be another
  // object's by then).
  HANDLE semaphore = *event;
  *event = nullptr;
  if (semaphore == nullptr || !CloseHandle(semaphore)) {
    ZEK_LOG_FAILURE("OSPrimDestroyEvent: CloseHandle failed error (0x%x)\n", static_cast<unsigned>(GetLastError()));
    return ZEK_OSPRIM_FAILURE;
  }
  return ZEK_STATUS_PASS;
}

BOOLEAN OSPrimIsSharedEventSupported() { return FALSE; }

ZekStatus OSPrimCreateSharedEvent(HANDLE* event) {
  if (ZekIsBadPointer(event)) return ZEK_OSPRIM_FAILURE;
  HANDLE handle = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (handle == nullptr) {
    OSPrimDebugPrint("OSPrimCreateSharedEvent: CreateEvent failed error (0x%x)\n",
                     static_cast<unsigned>(GetLastError()));
    return ZEK_OSPRIM_FAILURE;
  }
  *event = handle;
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimSetSharedEventInUserMode(HANDLE event) {
  if (!SetEvent(event)) {
    OSPrimDebugPrint("OSPrimSetSharedEventInUserMode: SetEvent failed error (0x%x)\n",
                     static_cast<unsigned>(GetLastError()));
    return ZEK_OSPRIM_FAILURE;
  }
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimWaitOnSharedUserEvent(HANDLE event) {
  const DWORD status = WaitForSingleObject(event, INFINITE);
  if (status == WAIT_OBJECT_0) return ZEK_STATUS_PASS;
  OSPrimDebugPrint("OSPrimWaitOnSharedUserEvent: break out of while loop. WaitStatus (0x%x)\n",
                   static_cast<unsigned>(status));
  if (status == WAIT_FAILED) {
    OSPrimDebugPrint("OSPrimWaitOnSharedUserEvent: WaitForSingleObject() returned error (0x%x)\n",
                     static_cast<unsigned>(GetLastError()));
  }
  return ZEK_OSPRIM_FAILURE;
}

ZekStatus OSPrimDestroySharedEvent(HANDLE event) {
  if (!CloseHandle(event)) {
    OSPrimDebugPrint("OSPrimDestroySharedEvent: CloseHandle failed error (0x%x)\n",
                     static_cast<unsigned>(GetLastError()));
    return ZEK_OSPRIM_FAILURE;
  }
  return ZEK_STATUS_PASS;
}
