// Sleep and wake-up. Each sleeper waits on an event of its own, linked on
// the sleep object, so a wake-up reaches every sleeper present at that time
// and none is lost between the sleeper's release of the socket-call lock and
// its wait.
#include <algorithm>

#include "proxy/tcpip/kern/kern_internal.h"

namespace zektcp {

void OSPrimInitSleepObject(OSPrimSleepObject* object) {
  KeInitializeSpinLock(&object->WaitLock);
  object->Waiters = nullptr;
  object->Abort = 0;
  object->Sleepers = 0;
  object->Signature = OSPRIM_SLEEP_SIGNATURE;
}

bool OSPrimSleepObjectAlive(const OSPrimSleepObject* object) {
  return object != nullptr && object->Signature == OSPRIM_SLEEP_SIGNATURE;
}

std::uint32_t OSPrimWakeup(OSPrimSleepObject* object) {
  if (object == nullptr) return 0;
  std::uint32_t woken = 0;
  KIRQL old;
  KeAcquireSpinLock(&object->WaitLock, &old);
  // The sleeper takes WaitLock before it leaves, so its waiter record stays
  // valid until the lock is released here.
  const bool dead = object->Signature != OSPRIM_SLEEP_SIGNATURE;
  while (SleepWaiter* waiter = object->Waiters) {
    object->Waiters = waiter->Next;
    waiter->Next = nullptr;
    waiter->Woken = true;
    waiter->Dead = dead;
    object->Sleepers = object->Sleepers - 1;
    KeSetEvent(&waiter->Event, 0, FALSE);
    ++woken;
  }
  KeReleaseSpinLock(&object->WaitLock, old);
  return woken;
}

void OSPrimKillSleepObject(OSPrimSleepObject* object) {
  object->Signature = 0;
  OSPrimWakeup(object);
}

namespace {

// A thread at DISPATCH_LEVEL cannot wait: a callout handler (the clock DPC
// runs them), or a caller holding another spin lock. The socket-call lock
// raises its holder's IRQL itself; what counts then is the level the holder
// goes back to when the sleep gives the lock up, and that the lock is held
// once (the clock DPC adds a hold of its own).
bool may_sleep() {
  if (g_kern.softclock_thread == KeGetCurrentThread()) return false;
  if (BdcLockHeldByCaller()) return g_kern.bdc.Held == 1 && g_kern.bdc.Object.SavedIrql < DISPATCH_LEVEL;
  return KeGetCurrentIrql() < DISPATCH_LEVEL;
}

// Sleeps for at most `limit_100ns` (0: no limit): 0 woken, 1 failed, 2 timed
// out.
int sleep_on(std::int64_t limit_100ns, OSPrimSleepObject* object) {
  if (!OSPrimSleepObjectAlive(object)) return 1;
  if (!may_sleep()) {
    OSPrimDebugPrint("OSPrimTSleep: no sleep at DISPATCH_LEVEL\n");
    return 1;
  }

  SleepWaiter waiter;
  KeInitializeEvent(&waiter.Event, NotificationEvent, FALSE);
  waiter.Woken = false;
  waiter.Dead = false;
  KIRQL old;
  KeAcquireSpinLock(&object->WaitLock, &old);
  waiter.Next = object->Waiters;
  object->Waiters = &waiter;
  // Counted once a wake-up can reach it; whoever unlinks the waiter (the
  // waker, or the sleeper on a time-out) takes it off the count.
  object->Sleepers = object->Sleepers + 1;
  KeReleaseSpinLock(&object->WaitLock, old);

  // Only the holder gives the lock up; a caller that does not hold it (or a
  // thread that merely sees it held by another) leaves it alone.
  const bool released = BdcLockHeldByCaller();
  if (released) ReleaseBdcLock();

  LARGE_INTEGER limit;
  limit.QuadPart = -static_cast<LONGLONG>(limit_100ns);
  const NTSTATUS status =
      KeWaitForSingleObject(&waiter.Event, UserRequest, UserMode, TRUE, limit_100ns > 0 ? &limit : nullptr);

  int failed = 0;
  switch (status) {
    case STATUS_SUCCESS:
      break;
    case STATUS_TIMEOUT:
      failed = 1;
      break;
    case STATUS_USER_APC:
      OSPrimDebugPrint("STATUS_USER_APC:\n");
      failed = 1;
      break;
    case STATUS_ALERTED:
      OSPrimDebugPrint("STATUS_ALERTED:\n");
      failed = 1;
      break;
    default:
      OSPrimDebugPrint("default:\n");
      failed = 1;
      break;
  }

  KeAcquireSpinLock(&object->WaitLock, &old);
  if (waiter.Woken) {
    // A wake-up that raced with the time-out still counts as a wake-up.
    if (status == STATUS_TIMEOUT) failed = 0;
  } else {
    for (SleepWaiter** link = &object->Waiters; *link != nullptr; link = &(*link)->Next) {
      if (*link == &waiter) {
        *link = waiter.Next;
        object->Sleepers = object->Sleepers - 1;
        break;
      }
    }
  }
  KeReleaseSpinLock(&object->WaitLock, old);

  // A dead object may already serve a new owner: it is not read again.
  const bool dead = waiter.Dead || object->Signature != OSPRIM_SLEEP_SIGNATURE;
  bool object_aborted = false;
  if (!dead && object->Abort != 0) {
    object->Abort = 0;
    object_aborted = true;
  }
  if (released) AcquireBdcLock();
  if (dead || object_aborted) return 1;
  if (failed == 0) return 0;
  return status == STATUS_TIMEOUT ? 2 : 1;
}

}  // namespace

int OSPrimTSleep(std::int32_t ticks, OSPrimSleepObject* object) {
  return sleep_on(ticks > 0 ? static_cast<std::int64_t>(ticks) * g_kern.tick_ms * 10'000 : 0, object) != 0 ? 1 : 0;
}

int OSPrimSleepFor(std::int64_t microseconds, OSPrimSleepObject* object) {
  return sleep_on(std::max<std::int64_t>(microseconds, 1) * 10, object);
}

}  // namespace zektcp
