// Kernel threads: the thread object, the per-thread execution state (IRQL,
// spin locks held, the process and thread ids a request runs under) and the
// registry of system threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/kernel/ke.h"
#include "platform/kernel/object.h"
#include "platform/kernel/ps.h"

namespace plat {

// What a thread blocked in the dispatcher needs. Guarded by the dispatcher lock.
struct Waiter {
  std::condition_variable cv;
  NTSTATUS status = STATUS_SUCCESS;
  bool waiting = false;
  bool alertable = false;
  KPROCESSOR_MODE mode = KernelMode;
  bool kernel_alert_pending = false;
  bool user_apc_pending = false;
  WAIT_TYPE type = WaitAny;
  KWAIT_BLOCK* blocks = nullptr;
  ULONG count = 0;
  // Virtual clock: link in the dispatcher's list of waits with a deadline.
  LIST_ENTRY timed_link{};
  std::int64_t deadline = 0;
};

}  // namespace plat

// The kernel thread object. The dispatcher header comes first: a thread is
// waitable and signalled when it has ended.
struct _KTHREAD {
  DISPATCHER_HEADER Header;
  plat::Waiter Waiter;
  HANDLE ProcessId;
  HANDLE ThreadId;
  BOOLEAN SystemThread;
  KPRIORITY Priority;
  NTSTATUS ExitStatus;
};

namespace plat {

extern const OBJECT_TYPE kThreadType;

// The calling thread's execution state.
struct ThreadState {
  KTHREAD* thread = nullptr;  // holds a reference
  KIRQL irql = PASSIVE_LEVEL;
  int spin_locks_held = 0;
  int cpu = -1;                 // the processor of a DPC thread
  HANDLE process_id = nullptr;  // ids of the request being served, when set
  HANDLE thread_id = nullptr;
  PEPROCESS process = nullptr;
  // Called once, outside the kernel's locks, when the thread is about to
  // block in a wait (see BlockingNotice).
  void (*on_block)(void* context) = nullptr;
  void* on_block_context = nullptr;
  ~ThreadState();
};

ThreadState& this_thread();

// Lets the host know when a thread serving a request is about to block: the
// host serves a process's request on the thread that read it, and hands the
// connection to another thread once the request has to wait. The notice is
// given at most once per scope, before the thread sleeps (a wait that is
// satisfied at once gives none); the scope restores what was set before.
class BlockingNotice {
 public:
  BlockingNotice(void (*on_block)(void*), void* context);
  ~BlockingNotice();
  BlockingNotice(const BlockingNotice&) = delete;
  BlockingNotice& operator=(const BlockingNotice&) = delete;

 private:
  void (*saved_)(void*);
  void* saved_context_;
};

// Gives the calling thread's notice, if it has one, and clears it. The
// dispatcher calls it before a wait sleeps; the host calls it before it
// waits for a process's answer.
void notify_blocking();
// The calling thread's object, created on first use for threads that the
// kernel did not start (a test's main thread, a DPC thread).
KTHREAD* current_kthread();

// Runs the rest of a scope under a caller's process and thread ids (the I/O
// manager serves a user request this way).
class ClientContext {
 public:
  ClientContext(HANDLE process_id, HANDLE thread_id, PEPROCESS process = nullptr);
  ~ClientContext();
  ClientContext(const ClientContext&) = delete;
  ClientContext& operator=(const ClientContext&) = delete;

 private:
  HANDLE saved_pid_, saved_tid_;
  PEPROCESS saved_process_;
};

inline constexpr std::uintptr_t kSystemProcessId = 4;
HANDLE next_thread_id();

// The system threads a host started: joins them at shutdown.
class Dispatcher;

class SystemThreads {
 public:
  SystemThreads(Dispatcher& dispatcher, HandleTable& handles) : dispatcher_(dispatcher), handles_(handles) {}
  ~SystemThreads();
  SystemThreads(const SystemThreads&) = delete;
  SystemThreads& operator=(const SystemThreads&) = delete;

  NTSTATUS create(PHANDLE handle, PKSTART_ROUTINE routine, PVOID context);
  std::size_t running() const { return running_.load(); }
  // Waits (real time) for every system thread to end; stops the host if
  // one is still running after the grace period.
  void join_all();

 private:
  void reap_finished();
  Dispatcher& dispatcher_;
  HandleTable& handles_;
  std::mutex mu_;
  std::vector<std::pair<std::thread, std::shared_ptr<std::atomic<bool>>>> threads_;
  std::atomic<std::size_t> running_{0};
};

// Thrown by PsTerminateSystemThread and caught at the thread's root.
struct ThreadTermination {
  NTSTATUS status;
};

}  // namespace plat
