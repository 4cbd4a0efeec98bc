#include "platform/kernel/dispatcher.h"

#include <algorithm>

#include "platform/kernel/fault.h"

namespace plat {
namespace {

ObjectKind kind_of(const DISPATCHER_HEADER* header) { return static_cast<ObjectKind>(header->Type); }

DISPATCHER_HEADER* header_of_object(PVOID object) { return static_cast<DISPATCHER_HEADER*>(object); }

KTIMER* timer_of(PLIST_ENTRY entry) { return CONTAINING_RECORD(entry, KTIMER, TimerListEntry); }

}  // namespace

Dispatcher::Dispatcher(Clock& clock, DpcSink dpc_sink) : clock_(clock), dpc_sink_(std::move(dpc_sink)) {
  InitializeListHead(&timers_);
  InitializeListHead(&timed_waiters_);
  if (clock_.is_virtual()) {
    clock_.set_wake_listener([this] {
      std::lock_guard lock(mu_);
      expire_timers();
      const std::int64_t now = clock_.now();
      for (PLIST_ENTRY e = timed_waiters_.Flink; e != &timed_waiters_; e = e->Flink) {
        Waiter* w = CONTAINING_RECORD(e, Waiter, timed_link);
        if (w->deadline <= now) w->cv.notify_one();
      }
      update_next_wake();
    });
  } else {
    timer_thread_ = std::thread([this] { timer_thread_main(); });
    // A step of the real clock: the timer thread looks at the due times again.
    clock_.set_wake_listener([this] {
      std::lock_guard lock(mu_);
      timer_cv_.notify_all();
    });
  }
}

Dispatcher::~Dispatcher() { shutdown(); }

void Dispatcher::shutdown() {
  clock_.set_wake_listener(nullptr);
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  timer_cv_.notify_all();
  if (timer_thread_.joinable()) timer_thread_.join();
}

void Dispatcher::init_header(DISPATCHER_HEADER* header, ObjectKind kind, LONG state) {
  header->Type = static_cast<UCHAR>(kind);
  header->SignalState = state;
  InitializeListHead(&header->WaitListHead);
}

bool Dispatcher::is_signalled(DISPATCHER_HEADER* header, KTHREAD* thread) const {
  if (kind_of(header) == ObjectKind::Mutant) {
    return header->SignalState > 0 || reinterpret_cast<KMUTEX*>(header)->OwnerThread == thread;
  }
  return header->SignalState > 0;
}

NTSTATUS Dispatcher::acquire(DISPATCHER_HEADER* header, KTHREAD* thread, ULONG key) {
  switch (kind_of(header)) {
    case ObjectKind::SynchronizationEvent:
    case ObjectKind::SynchronizationTimer:
      header->SignalState = 0;
      break;
    case ObjectKind::Semaphore:
      header->SignalState--;
      break;
    case ObjectKind::Mutant: {
      auto* mutex = reinterpret_cast<KMUTEX*>(header);
      if (header->SignalState == 1) mutex->OwnerThread = thread;
      header->SignalState--;
      if (mutex->Abandoned) {
        mutex->Abandoned = FALSE;
        return STATUS_ABANDONED_WAIT_0 + static_cast<NTSTATUS>(key);
      }
      break;
    }
    default:
      break;
  }
  return STATUS_WAIT_0 + static_cast<NTSTATUS>(key);
}

void Dispatcher::end_wait(KTHREAD* thread, NTSTATUS status) {
  Waiter& w = thread->Waiter;
  for (ULONG i = 0; i < w.count; ++i) RemoveEntryList(&w.blocks[i].WaitListEntry);
  w.count = 0;
  w.blocks = nullptr;
  w.waiting = false;
  w.status = status;
  w.cv.notify_one();
}

void Dispatcher::wake_waiters(DISPATCHER_HEADER* header) {
  PLIST_ENTRY e = header->WaitListHead.Flink;
  while (e != &header->WaitListHead && header->SignalState > 0) {
    KWAIT_BLOCK* block = CONTAINING_RECORD(e, KWAIT_BLOCK, WaitListEntry);
    KTHREAD* thread = block->Thread;
    Waiter& w = thread->Waiter;
    bool woken = false;
    if (block->WaitType == WaitAny) {
      if (is_signalled(header, thread)) {
        end_wait(thread, acquire(header, thread, block->WaitKey));
        woken = true;
      }
    } else {
      bool all = true;
      for (ULONG i = 0; i < w.count && all; ++i) all = is_signalled(header_of_object(w.blocks[i].Object), thread);
      if (all) {
        NTSTATUS status = STATUS_WAIT_0;
        for (ULONG i = 0; i < w.count; ++i) {
          NTSTATUS s = acquire(header_of_object(w.blocks[i].Object), thread, 0);
          if (s != STATUS_WAIT_0) status = s;
        }
        end_wait(thread, status);
        woken = true;
      }
    }
    // A wake-up unlinks every block of that thread, possibly the next one
    // here too: start again from the head.
    e = woken ? header->WaitListHead.Flink : e->Flink;
  }
}

LONG Dispatcher::set_state(DISPATCHER_HEADER* header, LONG state) {
  std::lock_guard lock(mu_);
  LONG previous = header->SignalState;
  header->SignalState = state;
  if (state > 0) wake_waiters(header);
  return previous;
}

LONG Dispatcher::read_state(DISPATCHER_HEADER* header) {
  std::lock_guard lock(mu_);
  return header->SignalState;
}

LONG Dispatcher::pulse_event(KEVENT* event) {
  std::lock_guard lock(mu_);
  LONG previous = event->Header.SignalState;
  event->Header.SignalState = 1;
  wake_waiters(&event->Header);
  event->Header.SignalState = 0;
  return previous;
}

LONG Dispatcher::release_semaphore(KSEMAPHORE* semaphore, LONG adjustment, const SrcLoc& where) {
  std::lock_guard lock(mu_);
  LONG previous = semaphore->Header.SignalState;
  if (adjustment <= 0 || previous > semaphore->Limit - adjustment) {
    fault(where, "KeReleaseSemaphore: count %d + %d exceeds the limit %d", previous, adjustment, semaphore->Limit);
  }
  semaphore->Header.SignalState = previous + adjustment;
  wake_waiters(&semaphore->Header);
  return previous;
}

LONG Dispatcher::release_mutex(KMUTEX* mutex, KTHREAD* self, const SrcLoc& where) {
  std::lock_guard lock(mu_);
  if (mutex->OwnerThread != self || mutex->Header.SignalState > 0) {
    fault(where, "KeReleaseMutex: mutex %p is not owned by the calling thread", static_cast<void*>(mutex));
  }
  LONG previous = mutex->Header.SignalState;
  if (++mutex->Header.SignalState == 1) {
    mutex->OwnerThread = nullptr;
    wake_waiters(&mutex->Header);
  }
  return previous;
}

NTSTATUS Dispatcher::wait(KTHREAD* self, ULONG count, PVOID objects[], WAIT_TYPE type, KPROCESSOR_MODE mode,
                          bool alertable, std::optional<std::int64_t> deadline, KWAIT_BLOCK* blocks) {
  std::unique_lock lock(mu_);
  Waiter& w = self->Waiter;

  if (type == WaitAny) {
    for (ULONG i = 0; i < count; ++i) {
      DISPATCHER_HEADER* header = header_of_object(objects[i]);
      if (is_signalled(header, self)) return acquire(header, self, i);
    }
  } else {
    bool all = true;
    for (ULONG i = 0; i < count && all; ++i) all = is_signalled(header_of_object(objects[i]), self);
    if (all) {
      NTSTATUS status = STATUS_WAIT_0;
      for (ULONG i = 0; i < count; ++i) {
        NTSTATUS s = acquire(header_of_object(objects[i]), self, 0);
        if (s != STATUS_WAIT_0) status = s;
      }
      return status;
    }
  }

  if (alertable) {
    if (w.kernel_alert_pending) {
      w.kernel_alert_pending = false;
      return STATUS_ALERTED;
    }
    if (mode == UserMode && w.user_apc_pending) {
      w.user_apc_pending = false;
      return STATUS_USER_APC;
    }
  }
  if (deadline && *deadline <= clock_.now()) return STATUS_TIMEOUT;

  for (ULONG i = 0; i < count; ++i) {
    blocks[i].Thread = self;
    blocks[i].Object = objects[i];
    blocks[i].WaitKey = static_cast<USHORT>(i);
    blocks[i].WaitType = static_cast<UCHAR>(type);
    InsertTailList(&header_of_object(objects[i])->WaitListHead, &blocks[i].WaitListEntry);
  }
  w.blocks = blocks;
  w.count = count;
  w.type = type;
  w.mode = mode;
  w.alertable = alertable;
  w.waiting = true;
  w.status = STATUS_PENDING;

  if (this_thread().on_block != nullptr) {
    // The wait is registered: a signal from now on ends it, so the lock
    // may be let go while the host hands the thread's connection on.
    lock.unlock();
    notify_blocking();
    lock.lock();
  }
  const bool timed_virtual = deadline && clock_.is_virtual();
  if (timed_virtual) {
    w.deadline = *deadline;
    InsertTailList(&timed_waiters_, &w.timed_link);
  }
  while (w.status == STATUS_PENDING) {
    if (deadline) {
      if (timed_virtual) clock_.request_wake(*deadline);
      if (clock_.now() >= *deadline) {
        end_wait(self, STATUS_TIMEOUT);
        break;
      }
      clock_.wait_until(lock, w.cv, *deadline);
    } else {
      w.cv.wait(lock);
    }
  }
  if (timed_virtual) RemoveEntryList(&w.timed_link);
  return w.status;
}

bool Dispatcher::alert(KTHREAD* thread, KPROCESSOR_MODE mode) {
  std::lock_guard lock(mu_);
  Waiter& w = thread->Waiter;
  if (mode == KernelMode) {
    bool was = w.kernel_alert_pending;
    if (w.waiting && w.alertable) {
      end_wait(thread, STATUS_ALERTED);
    } else {
      w.kernel_alert_pending = true;
    }
    return was;
  }
  bool was = w.user_apc_pending;
  if (w.waiting && w.alertable && w.mode == UserMode) {
    end_wait(thread, STATUS_USER_APC);
  } else {
    w.user_apc_pending = true;
  }
  return was;
}

std::int64_t Dispatcher::deadline_from(LONGLONG timeout) const {
  if (timeout <= 0) return clock_.now() - timeout;
  return clock_.now() + (timeout - clock_.system_time());
}

bool Dispatcher::set_timer(KTIMER* timer, std::int64_t due, LONG period, KDPC* dpc) {
  std::lock_guard lock(mu_);
  const bool was_queued = timer->Inserted;
  if (was_queued) RemoveEntryList(&timer->TimerListEntry);
  timer->Header.SignalState = 0;
  timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
  timer->Period = period;
  timer->Dpc = dpc;
  // Keep the queue sorted by due time; new timers usually go last.
  PLIST_ENTRY after = timers_.Blink;
  while (after != &timers_ && static_cast<std::int64_t>(timer_of(after)->DueTime.QuadPart) > due) after = after->Blink;
  InsertHeadList(after, &timer->TimerListEntry);
  timer->Inserted = TRUE;
  if (due <= clock_.now()) {
    expire_timers();
  } else if (clock_.is_virtual()) {
    clock_.request_wake(due);
  } else {
    timer_cv_.notify_one();
  }
  return was_queued;
}

bool Dispatcher::cancel_timer(KTIMER* timer) {
  std::lock_guard lock(mu_);
  if (!timer->Inserted) return false;
  RemoveEntryList(&timer->TimerListEntry);
  timer->Inserted = FALSE;
  return true;
}

std::size_t Dispatcher::timers_queued() {
  std::lock_guard lock(mu_);
  std::size_t n = 0;
  for (PLIST_ENTRY e = timers_.Flink; e != &timers_; e = e->Flink) ++n;
  return n;
}

void Dispatcher::expire_timers() {
  if (stopping_) return;
  const std::int64_t now = clock_.now();
  while (!IsListEmpty(&timers_)) {
    KTIMER* timer = timer_of(timers_.Flink);
    const auto due = static_cast<std::int64_t>(timer->DueTime.QuadPart);
    if (due > now) break;
    RemoveEntryList(&timer->TimerListEntry);
    timer->Inserted = FALSE;
    timer->Header.SignalState = 1;
    wake_waiters(&timer->Header);
    if (timer->Period > 0) {
      // A periodic timer that fell behind fires once and then keeps its period.
      const std::int64_t period = static_cast<std::int64_t>(timer->Period) * Clock::kUnitsPerMs;
      std::int64_t next = due + period;
      if (next <= now) next = now + period;
      timer->DueTime.QuadPart = static_cast<ULONGLONG>(next);
      PLIST_ENTRY after = timers_.Blink;
      while (after != &timers_ && static_cast<std::int64_t>(timer_of(after)->DueTime.QuadPart) > next) {
        after = after->Blink;
      }
      InsertHeadList(after, &timer->TimerListEntry);
      timer->Inserted = TRUE;
    }
    if (timer->Dpc != nullptr) dpc_sink_(timer->Dpc, due);
  }
}

void Dispatcher::update_next_wake() {
  std::int64_t next = Clock::kForever;
  if (!IsListEmpty(&timers_)) next = static_cast<std::int64_t>(timer_of(timers_.Flink)->DueTime.QuadPart);
  for (PLIST_ENTRY e = timed_waiters_.Flink; e != &timed_waiters_; e = e->Flink) {
    next = std::min(next, CONTAINING_RECORD(e, Waiter, timed_link)->deadline);
  }
  clock_.set_next_wake(next);
}

void Dispatcher::timer_thread_main() {
  std::unique_lock lock(mu_);
  while (!stopping_) {
    if (IsListEmpty(&timers_)) {
      timer_cv_.wait(lock);
      continue;
    }
    const auto due = static_cast<std::int64_t>(timer_of(timers_.Flink)->DueTime.QuadPart);
    if (due <= clock_.now()) {
      expire_timers();
    } else {
      timer_cv_.wait_until(lock, clock_.to_steady(due));
    }
  }
}

}  // namespace plat
