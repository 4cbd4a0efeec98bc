// Threads and sleeps of the user-mode build.
#include "lib/base/base_internal.h"

ZekStatus OSPrimCreateThread(HANDLE* thread, OSPrimThreadRoutine start, void* argument) {
  if (ZekIsBadPointer(thread) || start == nullptr) {
    ZEK_LOG_FAILURE("OSPrimCreateThread: no place for the handle or no start routine (0x%x)\n", ZEK_OSPRIM_FAILURE);
    return ZEK_OSPRIM_FAILURE;
  }
  HANDLE handle = CreateThread(nullptr, 0, start, argument, 0, nullptr);
  if (handle == nullptr) {
    ZEK_LOG_FAILURE("OSPrimCreateThread: CreateThread failed error (0x%x)\n", static_cast<unsigned>(GetLastError()));
    return ZEK_OSPRIM_FAILURE;
  }
  *thread = handle;
  return ZEK_STATUS_PASS;
}

ZekStatus OsPrimJoinThread(HANDLE thread) {
  // A thread that waits for its own end waits for ever.
  if (thread == GetCurrentThread() || (thread != nullptr && GetThreadId(thread) == GetCurrentThreadId())) {
    OSPrimDebugPrint("OsPrimJoinThread: JOIN for itself, return from here\n");
    return ZEK_OSPRIM_FAILURE;
  }
  if (WaitForSingleObject(thread, INFINITE) != WAIT_OBJECT_0) {
    ZEK_LOG_FAILURE("OsPrimJoinThread: WaitForSingleObject() failed error (0x%x)\n",
                    static_cast<unsigned>(GetLastError()));
    return ZEK_OSPRIM_FAILURE;
  }
  return ZEK_STATUS_PASS;
}

// Sleeps in whole milliseconds, at least one, and never less than asked:
// callers that poll rely on the time having passed.
ZekStatus OSPrimSleepDelay(void*, std::uint32_t microseconds) {
  const std::uint64_t milliseconds = (static_cast<std::uint64_t>(microseconds) + 999) / 1000;
  Sleep(static_cast<DWORD>(milliseconds == 0 ? 1 : milliseconds));
  return ZEK_STATUS_PASS;
}
