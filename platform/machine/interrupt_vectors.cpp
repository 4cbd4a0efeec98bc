#include "platform/machine/interrupt_vectors.h"

#include <condition_variable>
#include <thread>
#include <utility>

namespace plat {

// One connected vector and its delivery thread.
struct InterruptVectors::Line {
  Handler handler;
  std::mutex mu;
  std::condition_variable cv;
  std::uint64_t pending = 0;
  std::uint64_t calls = 0;
  bool stopping = false;
  std::thread thread;
};

InterruptVectors::InterruptVectors() = default;

InterruptVectors::~InterruptVectors() {
  while (true) {
    std::uint32_t vector;
    {
      std::lock_guard lock(mu_);
      if (connected_.empty()) break;
      vector = connected_.begin()->first;
    }
    disconnect(vector);
  }
}

bool InterruptVectors::connect(std::uint32_t vector, Handler handler) {
  auto line = std::make_unique<Line>();
  line->handler = std::move(handler);
  Line* raw = line.get();
  {
    std::lock_guard lock(mu_);
    if (!connected_.try_emplace(vector, std::move(line)).second) return false;
    // Started under the lock, so that a disconnect never sees a line without its thread.
    raw->thread = std::thread([raw] { deliver(raw); });
  }
  return true;
}

bool InterruptVectors::disconnect(std::uint32_t vector) {
  std::unique_ptr<Line> line;
  {
    std::lock_guard lock(mu_);
    auto it = connected_.find(vector);
    if (it == connected_.end()) return false;
    line = std::move(it->second);
    connected_.erase(it);
  }
  {
    std::lock_guard lock(line->mu);
    line->stopping = true;
  }
  line->cv.notify_one();
  line->thread.join();
  return true;
}

void InterruptVectors::raise(std::uint32_t vector) {
  std::lock_guard lock(mu_);
  auto it = connected_.find(vector);
  if (it == connected_.end()) {
    ++dropped_;
    return;
  }
  Line& line = *it->second;
  {
    std::lock_guard line_lock(line.mu);
    ++line.pending;
  }
  line.cv.notify_one();
}

std::uint64_t InterruptVectors::dropped() const {
  std::lock_guard lock(mu_);
  return dropped_;
}

std::uint64_t InterruptVectors::serviced(std::uint32_t vector) const {
  std::lock_guard lock(mu_);
  auto it = connected_.find(vector);
  if (it == connected_.end()) return 0;
  std::lock_guard line_lock(it->second->mu);
  return it->second->calls;
}

void InterruptVectors::deliver(Line* line) {
  std::unique_lock lock(line->mu);
  for (;;) {
    line->cv.wait(lock, [&] { return line->stopping || line->pending != 0; });
    if (line->stopping) return;
    --line->pending;
    lock.unlock();
    line->handler();
    lock.lock();
    ++line->calls;
  }
}

}  // namespace plat
