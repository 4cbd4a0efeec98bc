// Deferred procedure calls: one DPC thread per simulated processor, running
// queued DPCs in order at DISPATCH_LEVEL. A DPC without a target processor
// always runs on the same processor, so one DPC object never runs twice at once.
//
// A DPC that an interrupt's service routine queues for a processor with
// nothing queued and nothing running runs on the interrupt's own thread
// once the service routine has returned, as a processor that takes an
// interrupt while idle drains its DPC queue on the way back: no hand-off to
// the DPC thread and no thread switch. While it runs the processor counts
// as busy, so its DPC thread runs nothing else meanwhile (DPCs queued for it
// then wait, as they would behind any running DPC) and a flush waits for it.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/kernel/ke.h"

namespace plat {

class DpcEngine {
 public:
  explicit DpcEngine(unsigned processors);
  ~DpcEngine();
  DpcEngine(const DpcEngine&) = delete;
  DpcEngine& operator=(const DpcEngine&) = delete;

  bool insert(KDPC* dpc, PVOID argument1, PVOID argument2);
  // Around an interrupt's service routine on its delivery thread: a DPC the
  // routine queues for an idle processor is kept, and end_interrupt runs it
  // there at DISPATCH_LEVEL.
  void begin_interrupt();
  void end_interrupt();
  bool remove(KDPC* dpc);
  // Waits until every DPC queued before the call has run.
  void flush();
  unsigned processors() const { return static_cast<unsigned>(cpus_.size()); }
  std::uint64_t runs() const;

 private:
  struct Cpu {
    LIST_ENTRY queue;
    std::condition_variable cv;
    std::uint64_t running_sequence = 0;  // 0 when idle
    bool borrowed = false;               // an interrupt's thread runs a DPC of this processor
    std::thread thread;
  };
  unsigned target_of(const KDPC* dpc) const;
  void run(unsigned index);

  mutable std::mutex mu_;
  std::condition_variable progress_cv_;
  std::vector<std::unique_ptr<Cpu>> cpus_;
  std::uint64_t sequence_ = 0;
  std::uint64_t runs_ = 0;
  bool stopping_ = false;
};

}  // namespace plat
