// The dispatcher: waits on and signals of events, semaphores, mutexes,
// timers and threads, and the kernel timer queue. One lock guards all
// dispatcher state, as the dispatcher database lock of a real kernel does.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/kernel/thread.h"
#include "platform/machine/clock.h"

namespace plat {

enum class ObjectKind : UCHAR {
  NotificationEvent = 0,
  SynchronizationEvent = 1,
  Mutant = 2,
  Semaphore = 5,
  Thread = 6,
  NotificationTimer = 8,
  SynchronizationTimer = 9,
};

class Dispatcher {
 public:
  using DpcSink = std::function<void(KDPC* dpc, std::int64_t due)>;

  Dispatcher(Clock& clock, DpcSink dpc_sink);
  ~Dispatcher();
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  static void init_header(DISPATCHER_HEADER* header, ObjectKind kind, LONG state);

  // Sets the state of an event, semaphore count or thread and wakes the
  // waiters it satisfies. Returns the previous state.
  LONG set_state(DISPATCHER_HEADER* header, LONG state);
  LONG read_state(DISPATCHER_HEADER* header);
  LONG pulse_event(KEVENT* event);
  LONG release_semaphore(KSEMAPHORE* semaphore, LONG adjustment, const SrcLoc& where);
  LONG release_mutex(KMUTEX* mutex, KTHREAD* self, const SrcLoc& where);

  // deadline: interrupt time, or nullopt to wait forever.
  NTSTATUS wait(KTHREAD* self, ULONG count, PVOID objects[], WAIT_TYPE type, KPROCESSOR_MODE mode, bool alertable,
                std::optional<std::int64_t> deadline, KWAIT_BLOCK* blocks);
  bool alert(KTHREAD* thread, KPROCESSOR_MODE mode);

  // Timers. due: interrupt time of the first expiry; period in ms.
  bool set_timer(KTIMER* timer, std::int64_t due, LONG period, KDPC* dpc);
  bool cancel_timer(KTIMER* timer);
  std::size_t timers_queued();

  // Converts a Windows time-out (negative relative, positive absolute system
  // time) to an interrupt-time deadline.
  std::int64_t deadline_from(LONGLONG timeout) const;

  Clock& clock() { return clock_; }
  // Stops timer expiry (the host is going down); waits keep working.
  void shutdown();

 private:
  bool is_signalled(DISPATCHER_HEADER* header, KTHREAD* thread) const;
  NTSTATUS acquire(DISPATCHER_HEADER* header, KTHREAD* thread, ULONG key);
  void wake_waiters(DISPATCHER_HEADER* header);
  void end_wait(KTHREAD* thread, NTSTATUS status);
  void expire_timers();
  void update_next_wake();
  void timer_thread_main();

  Clock& clock_;
  DpcSink dpc_sink_;
  std::mutex mu_;
  LIST_ENTRY timers_;         // sorted by due time
  LIST_ENTRY timed_waiters_;  // virtual clock: threads in a wait with a deadline
  std::condition_variable timer_cv_;
  bool stopping_ = false;
  std::thread timer_thread_;  // real clock only
};

}  // namespace plat
