#include "platform/kernel/thread.h"

#include <chrono>

#include "platform/kernel/dispatcher.h"
#include "platform/kernel/fault.h"

namespace plat {
namespace {

thread_local ThreadState tls_state;
std::atomic<std::uintptr_t> thread_ids{4};

KTHREAD* new_thread_object(bool system) {
  KTHREAD* thread = create_object<KTHREAD>(kThreadType);
  Dispatcher::init_header(&thread->Header, ObjectKind::Thread, 0);
  thread->ProcessId = reinterpret_cast<HANDLE>(kSystemProcessId);
  thread->ThreadId = next_thread_id();
  thread->SystemThread = system ? TRUE : FALSE;
  thread->Priority = 8;
  return thread;
}

}  // namespace

const OBJECT_TYPE kThreadType{"Thread", &destroy_object<KTHREAD>};

HANDLE next_thread_id() { return reinterpret_cast<HANDLE>(thread_ids.fetch_add(4) + 4); }

ThreadState& this_thread() { return tls_state; }

BlockingNotice::BlockingNotice(void (*on_block)(void*), void* context) {
  ThreadState& state = this_thread();
  saved_ = state.on_block;
  saved_context_ = state.on_block_context;
  state.on_block = on_block;
  state.on_block_context = context;
}

BlockingNotice::~BlockingNotice() {
  ThreadState& state = this_thread();
  state.on_block = saved_;
  state.on_block_context = saved_context_;
}

void notify_blocking() {
  ThreadState& state = this_thread();
  if (state.on_block == nullptr) return;
  auto* on_block = state.on_block;
  state.on_block = nullptr;
  on_block(state.on_block_context);
}

ThreadState::~ThreadState() {
  if (thread != nullptr) dereference(thread);
}

KTHREAD* current_kthread() {
  ThreadState& state = tls_state;
  if (state.thread == nullptr) state.thread = new_thread_object(false);
  return state.thread;
}

ClientContext::ClientContext(HANDLE process_id, HANDLE thread_id, PEPROCESS process) {
  ThreadState& state = tls_state;
  saved_pid_ = state.process_id;
  saved_tid_ = state.thread_id;
  saved_process_ = state.process;
  state.process_id = process_id;
  state.thread_id = thread_id;
  state.process = process;
}

ClientContext::~ClientContext() {
  ThreadState& state = tls_state;
  state.process_id = saved_pid_;
  state.thread_id = saved_tid_;
  state.process = saved_process_;
}

SystemThreads::~SystemThreads() { join_all(); }

void SystemThreads::reap_finished() {
  for (auto it = threads_.begin(); it != threads_.end();) {
    if (it->second->load()) {
      it->first.join();
      it = threads_.erase(it);
    } else {
      ++it;
    }
  }
}

NTSTATUS SystemThreads::create(PHANDLE handle, PKSTART_ROUTINE routine, PVOID context) {
  KTHREAD* thread = new_thread_object(true);  // this reference belongs to the running thread
  HANDLE h = handles_.insert(thread);
  auto finished = std::make_shared<std::atomic<bool>>(false);
  std::lock_guard lock(mu_);
  reap_finished();
  running_.fetch_add(1);
  threads_.emplace_back(std::thread([this, thread, routine, context, finished] {
                          ThreadState& state = this_thread();
                          state.thread = thread;
                          NTSTATUS status = STATUS_SUCCESS;
                          try {
                            routine(context);
                          } catch (const ThreadTermination& end) {
                            status = end.status;
                          }
                          if (state.irql != PASSIVE_LEVEL || state.spin_locks_held != 0) {
                            fault(SrcLoc::current(), "system thread %p ended at IRQL %u holding %d spin lock(s)",
                                  reinterpret_cast<void*>(routine), state.irql, state.spin_locks_held);
                          }
                          thread->ExitStatus = status;
                          dispatcher_.set_state(&thread->Header, 1);
                          running_.fetch_sub(1);
                          finished->store(true);
                        }),
                        finished);
  *handle = h;
  return STATUS_SUCCESS;
}

void SystemThreads::join_all() {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (running_.load() != 0) {
    if (std::chrono::steady_clock::now() > give_up) {
      fault(SrcLoc::current(), "%zu system thread(s) still running when the host stopped", running_.load());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::lock_guard lock(mu_);
  for (auto& [t, finished] : threads_) t.join();
  threads_.clear();
}

}  // namespace plat
