// Stack time and the callout wheel. The wheel is driven by a periodic
// kernel timer whose DPC runs SoftClock under the socket-call lock every 33
// tick intervals; SoftClock then processes every tick up to the current one.
#include <climits>

#include "proxy/tcpip/kern/kern_internal.h"

namespace zektcp {

namespace {

constexpr std::uint32_t kClockPeriodTicks = 33;
constexpr std::int64_t kSoftClockBudget = 700 * 10'000;  // 700 ms in 100 ns units

void bucket_append(callout_bucket* bucket, callout* c) {
  c->c_next = nullptr;
  c->c_prev = bucket->last;
  *bucket->last = c;
  bucket->last = &c->c_next;
}

void bucket_remove(callout_bucket* bucket, callout* c) {
  if (c->c_next != nullptr) {
    c->c_next->c_prev = c->c_prev;
  } else {
    bucket->last = c->c_prev;
  }
  *c->c_prev = c->c_next;
  c->c_next = nullptr;
  c->c_prev = nullptr;
}

callout_bucket* bucket_of(std::uint32_t tick) { return &g_kern.wheel[tick & CALLOUT_MASK]; }

void push_free(callout* c) {
  c->c_flags = CALLOUT_LOCAL_ALLOC;
  c->c_func = nullptr;
  c->c_arg = nullptr;
  c->c_next = g_kern.free_list;
  c->c_prev = nullptr;
  g_kern.free_list = c;
  ++g_kern.free_count;
}

// Unlinks a pending record; the callout lock is held.
void stop_locked(callout* c) {
  c->c_flags &= ~(CALLOUT_ACTIVE | CALLOUT_PENDING);
  if (g_kern.next_visit == c) g_kern.next_visit = c->c_next;
  AcquireListLock();
  bucket_remove(bucket_of(static_cast<std::uint32_t>(c->c_time)), c);
  c->c_func = nullptr;
  if (c->c_flags & CALLOUT_LOCAL_ALLOC) push_free(c);
  ReleaseListLock();
}

// The tick a callout armed now with `ticks` falls due at. A callout armed
// with 0 or fewer ticks is due at the next tick. A handler that re-arms
// from SoftClock counts from the tick being processed, so a periodic
// callout keeps its period however late SoftClock runs.
std::int32_t due_tick(std::int32_t ticks) {
  const bool from_handler = g_kern.softclock_thread != nullptr && g_kern.softclock_thread == KeGetCurrentThread();
  const std::uint32_t base = from_handler ? g_kern.softticks : stack_ticks();
  return static_cast<std::int32_t>(base + static_cast<std::uint32_t>(ticks > 0 ? ticks : 1));
}

bool due_already(const callout* c, std::int32_t due, callout_handler handler, void* argument) {
  return (c->c_flags & CALLOUT_PENDING) && c->c_time == due && c->c_func == handler && c->c_arg == argument;
}

void arm_locked(callout* c, std::int32_t ticks, callout_handler handler, void* argument) {
  const std::int32_t due = due_tick(ticks);
  // Armed again for the tick it is due at already (a connection's timers
  // are re-armed for every segment, many to a tick): it stays where it is.
  if (due_already(c, due, handler, argument)) {
    c->c_flags |= CALLOUT_ACTIVE;
    return;
  }
  if (c->c_flags & CALLOUT_PENDING) stop_locked(c);
  c->c_flags |= CALLOUT_ACTIVE | CALLOUT_PENDING;
  c->c_func = handler;
  c->c_arg = argument;
  c->c_time = due;
  AcquireListLock();
  bucket_append(bucket_of(static_cast<std::uint32_t>(c->c_time)), c);
  ReleaseListLock();
}

}  // namespace

// ---- Time -------------------------------------------------------------------------
std::uint32_t stack_tick_ms() { return g_kern.tick_ms; }
std::uint32_t tick_rate() { return 1000 / g_kern.tick_ms; }

std::uint32_t stack_ticks() {
  return static_cast<std::uint32_t>(KeQueryInterruptTime() / (static_cast<ULONGLONG>(g_kern.tick_ms) * 10'000));
}

std::uint32_t soft_ticks() { return g_kern.softticks; }

// Counted from 1: route and ARP expiry times use 0 for "never".
std::int64_t stack_time_seconds() { return static_cast<std::int64_t>(KeQueryInterruptTime() / 10'000'000) + 1; }

void perf_counter_timeval(timeval* tv) {
  LARGE_INTEGER frequency;
  const LARGE_INTEGER count = KeQueryPerformanceCounter(&frequency);
  tv->tv_sec = count.QuadPart / frequency.QuadPart;
  tv->tv_usec = (count.QuadPart % frequency.QuadPart) * 1'000'000 / frequency.QuadPart;
}

void stack_time_of_day(timeval* tv) {
  constexpr std::int64_t kEpochShift = 11'644'473'600;  // seconds from 1601 to 1970
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  tv->tv_sec = now.QuadPart / 10'000'000 - kEpochShift;
  tv->tv_usec = (now.QuadPart % 10'000'000) / 10;
}

// The tick is the calibrated interval, whatever it is, and the result is
// rounded up and one more, so that a sleep lasts at least the time asked.
int timeval_to_ticks(const timeval* tv) {
  std::int64_t sec = tv->tv_sec;
  std::int64_t usec = tv->tv_usec;
  if (usec < 0) {
    sec -= 1;
    usec += 1'000'000;
  }
  if (sec < 0) return 1;
  const std::int64_t tick_us = static_cast<std::int64_t>(g_kern.tick_ms) * 1000;
  if (sec > (static_cast<std::int64_t>(INT_MAX) * tick_us) / 1'000'000 + 1) return INT_MAX;
  const std::int64_t ticks = (sec * 1'000'000 + usec + tick_us - 1) / tick_us + 1;
  return ticks > INT_MAX ? INT_MAX : static_cast<int>(ticks);
}

// ---- Callouts -----------------------------------------------------------------------
void callout_init(callout* c) { *c = callout{}; }

bool callout_pending(const callout* c) { return (c->c_flags & CALLOUT_PENDING) != 0; }

bool callout_due_after(const callout* c, std::int32_t ticks, callout_handler handler, void* argument) {
  return due_already(c, due_tick(ticks), handler, argument);
}

std::uint32_t callout_free_count() { return g_kern.free_count; }

callout* timeout(callout_handler handler, void* argument, std::int32_t ticks) {
  OSPrimSyncAcquireSpinlockObject(&g_kern.callout_lock);
  AcquireListLock();
  callout* c = g_kern.free_list;
  if (c != nullptr) {
    g_kern.free_list = c->c_next;
    --g_kern.free_count;
    c->c_next = nullptr;
  }
  ReleaseListLock();
  if (c == nullptr) {
    OSPrimSyncReleaseSpinlockObject(&g_kern.callout_lock);
    OSPrimDebugPrint("timeout table full \n");
    return nullptr;
  }
  c->c_flags = CALLOUT_LOCAL_ALLOC;
  arm_locked(c, ticks, handler, argument);
  OSPrimSyncReleaseSpinlockObject(&g_kern.callout_lock);
  return c;
}

void callout_arm(callout* c, std::int32_t ticks, callout_handler handler, void* argument) {
  OSPrimSyncAcquireSpinlockObject(&g_kern.callout_lock);
  arm_locked(c, ticks, handler, argument);
  OSPrimSyncReleaseSpinlockObject(&g_kern.callout_lock);
}

int callout_disarm(callout* c) {
  OSPrimSyncAcquireSpinlockObject(&g_kern.callout_lock);
  int was_pending = 0;
  if (c->c_flags & CALLOUT_PENDING) {
    stop_locked(c);
    was_pending = 1;
  } else {
    c->c_flags &= ~CALLOUT_ACTIVE;
  }
  OSPrimSyncReleaseSpinlockObject(&g_kern.callout_lock);
  return was_pending;
}

void callout_init_table() {
  g_kern.free_list = nullptr;
  g_kern.free_count = 0;
  g_kern.next_visit = nullptr;
  for (std::uint32_t i = CALLOUT_RECORDS; i > 0; --i) push_free(&g_kern.records[i - 1]);
  for (std::uint32_t i = 0; i < CALLOUT_BUCKETS; ++i) {
    g_kern.wheel[i].first = nullptr;
    g_kern.wheel[i].last = &g_kern.wheel[i].first;
  }
}

void SoftClock() {
  std::uint32_t now = stack_ticks();
  LARGE_INTEGER started;
  KeQuerySystemTime(&started);
  while (g_kern.softticks != now) {
    const std::uint32_t tick = ++g_kern.softticks;
    callout_bucket* bucket = bucket_of(tick);
    if (bucket < g_kern.wheel || bucket >= g_kern.wheel + CALLOUT_BUCKETS) {
      ZEK_LOG_FAILURE("bucket[x%p] out of range \n", static_cast<void*>(bucket));
      return;
    }
    callout* c = bucket->first;
    while (c != nullptr) {
      if (static_cast<std::uint32_t>(c->c_time) != tick) {
        c = c->c_next;
        continue;
      }
      // Saved before the handler runs: a handler that stops the record we
      // would visit next moves this pointer past it (callout_disarm).
      g_kern.next_visit = c->c_next;
      OSPrimSyncAcquireSpinlockObject(&g_kern.callout_lock);
      AcquireListLock();
      bucket_remove(bucket, c);
      const callout_handler handler = c->c_func;
      void* argument = c->c_arg;
      c->c_func = nullptr;
      if (c->c_flags & CALLOUT_LOCAL_ALLOC) {
        push_free(c);
      } else {
        c->c_flags &= ~CALLOUT_PENDING;
      }
      ReleaseListLock();
      OSPrimSyncReleaseSpinlockObject(&g_kern.callout_lock);
      if (handler != nullptr) {
        g_kern.softclock_thread = KeGetCurrentThread();
        handler(argument);
        g_kern.softclock_thread = nullptr;
      } else {
        OSPrimDebugPrint("c_func is 0 \n");
      }
      c = g_kern.next_visit;
    }
    g_kern.next_visit = nullptr;
    LARGE_INTEGER current;
    KeQuerySystemTime(&current);
    if (current.QuadPart - started.QuadPart > kSoftClockBudget) break;  // the rest at the next expiry
    now = stack_ticks();
  }
}

void softclock_dpc(KDPC*, PVOID, PVOID, PVOID) {
  StackLock& bdc = g_kern.bdc;
  KeAcquireSpinLockAtDpcLevel(&bdc.Object.SpinLock);
  PKTHREAD previous_owner = bdc.Owner;
  bdc.Held = bdc.Held + 1;
  bdc.Owner = KeGetCurrentThread();
  SoftClock();
  bdc.Owner = previous_owner;
  bdc.Held = bdc.Held - 1;
  KeReleaseSpinLockFromDpcLevel(&bdc.Object.SpinLock);
  // Input a callout scheduled (a retransmission over the loopback) waits
  // for the soft-interrupt thread.
  softint_kick();
}

int callout_start() {
  const std::uint32_t bytes = CALLOUT_RECORDS * sizeof(callout) + CALLOUT_BUCKETS * sizeof(callout_bucket);
  void* block = OSPrimMemAllocPtr(bytes);
  if (block == nullptr) {
    OSPrimDebugPrint("callout table: no memory\n");
    return BSD_ENOMEM;
  }
  g_kern.records = static_cast<callout*>(block);
  g_kern.wheel = reinterpret_cast<callout_bucket*>(g_kern.records + CALLOUT_RECORDS);
  g_kern.softticks = stack_ticks();
  callout_init_table();
  KeInitializeDpc(&g_kern.clock_dpc, softclock_dpc, nullptr);
  KeInitializeTimer(&g_kern.clock_timer);
  g_kern.clock_armed = false;
  return 0;
}

void kern_start_clock() {
  LARGE_INTEGER first;
  first.QuadPart = -static_cast<LONGLONG>(g_kern.tick_ms) * 10'000;
  KeSetTimerEx(&g_kern.clock_timer, first, static_cast<LONG>(kClockPeriodTicks * g_kern.tick_ms), &g_kern.clock_dpc);
  g_kern.clock_armed = true;
}

void callout_stop() {
  if (g_kern.clock_armed) {
    KeCancelTimer(&g_kern.clock_timer);
    g_kern.clock_armed = false;
  }
  // A clock DPC queued before the cancel may still run: wait for it before
  // the wheel goes away.
  KeFlushQueuedDpcs();
  if (g_kern.records != nullptr) OSPrimMemFreePtr(g_kern.records);
  g_kern.records = nullptr;
  g_kern.wheel = nullptr;
  g_kern.free_list = nullptr;
  g_kern.free_count = 0;
}

}  // namespace zektcp
