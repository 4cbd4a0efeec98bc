// System worker threads: run queued work items at PASSIVE_LEVEL, in order.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/kernel/ex.h"

namespace plat {

class WorkerPool {
 public:
  explicit WorkerPool(unsigned threads);
  ~WorkerPool();  // runs what is queued, then stops
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void queue(WORK_QUEUE_ITEM* item);
  // Waits until the queue is empty and no item is running.
  void drain();

 private:
  void run();
  std::mutex mu_;
  std::condition_variable cv_;
  std::condition_variable idle_cv_;
  LIST_ENTRY queue_;
  unsigned busy_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace plat
