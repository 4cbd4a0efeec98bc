// Delays and joining a system thread.
#include "proxy/core/osprim/osprim_kernel.h"

namespace {
constexpr LONGLONG kJoinPollMs = 10;
}  // namespace

// Short delays busy-wait. Longer ones put the thread to sleep for the whole
// time where the caller's IRQL allows a wait (APC_LEVEL and below); above
// it a thread must not wait, so the delay becomes a busy stall of
// ZEK_SLEEP_STALL_MAX_US: a caller at DISPATCH_LEVEL never stops the host,
// and a caller that needs the whole time waits at PASSIVE_LEVEL.
ZekStatus OSPrimSleepDelay(void*, std::uint32_t microseconds) {
  if (microseconds < ZEK_SLEEP_STALL_MAX_US) {
    KeStallExecutionProcessor(microseconds);
    return ZEK_STATUS_PASS;
  }
  if (KeGetCurrentIrql() > APC_LEVEL) {
    KeStallExecutionProcessor(ZEK_SLEEP_STALL_MAX_US);
    return ZEK_STATUS_PASS;
  }
  LARGE_INTEGER interval;
  interval.QuadPart = -static_cast<LONGLONG>(microseconds) * 10;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
  return ZEK_STATUS_PASS;
}

// Waits for the thread behind the handle to end, in 10 ms rounds that each
// reference the thread afresh, so a handle closed meanwhile ends the join.
ZekStatus OsPrimJoinThread(HANDLE thread) {
  if (thread == nullptr) {
    OSPrimMemoryLogging(" returning from beginning\n");
    return ZEK_STATUS_PASS;
  }
  for (;;) {
    PVOID object = nullptr;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr))) {
      break;
    }
    if (object == KeGetCurrentThread()) {
      // A thread that waits for its own end never returns.
      ObDereferenceObject(object);
      ZEK_LOG_FAILURE("OsPrimJoinThread: JOIN for itself, return from here\n");
      return ZEK_OSPRIM_FAILURE;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -kJoinPollMs * 10'000;
    const NTSTATUS status = KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &timeout);
    ObDereferenceObject(object);
    if (status != STATUS_TIMEOUT) break;
  }
  return ZEK_STATUS_PASS;
}
