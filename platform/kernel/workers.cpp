#include "platform/kernel/workers.h"

#include "platform/kernel/fault.h"
#include "platform/kernel/thread.h"

namespace plat {

WorkerPool::WorkerPool(unsigned threads) {
  InitializeListHead(&queue_);
  if (threads == 0) threads = 1;
  for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { run(); });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  cv_.notify_all();
  for (auto& t : threads_) t.join();
}

void WorkerPool::queue(WORK_QUEUE_ITEM* item) {
  std::lock_guard lock(mu_);
  InsertTailList(&queue_, &item->List);
  cv_.notify_one();
}

void WorkerPool::drain() {
  std::unique_lock lock(mu_);
  idle_cv_.wait(lock, [&] { return IsListEmpty(&queue_) && busy_ == 0; });
}

void WorkerPool::run() {
  ThreadState& state = this_thread();
  std::unique_lock lock(mu_);
  for (;;) {
    cv_.wait(lock, [&] { return stopping_ || !IsListEmpty(&queue_); });
    if (IsListEmpty(&queue_)) return;
    auto* item = CONTAINING_RECORD(RemoveHeadList(&queue_), WORK_QUEUE_ITEM, List);
    PWORKER_THREAD_ROUTINE routine = item->WorkerRoutine;
    PVOID parameter = item->Parameter;
    ++busy_;
    lock.unlock();
    // The item may be freed by its routine: nothing of it is touched after the call.
    routine(parameter);
    if (state.irql != PASSIVE_LEVEL || state.spin_locks_held != 0) {
      fault(SrcLoc::current(), "work item %p returned at IRQL %u holding %d spin lock(s)",
            reinterpret_cast<void*>(routine), state.irql, state.spin_locks_held);
    }
    lock.lock();
    --busy_;
    idle_cv_.notify_all();
  }
}

}  // namespace plat
