#include "platform/kernel/dpc.h"

#include <functional>

#include "platform/kernel/fault.h"
#include "platform/kernel/thread.h"

namespace plat {

DpcEngine::DpcEngine(unsigned processors) {
  if (processors == 0) processors = 1;
  for (unsigned i = 0; i < processors; ++i) {
    auto cpu = std::make_unique<Cpu>();
    InitializeListHead(&cpu->queue);
    cpus_.push_back(std::move(cpu));
  }
  for (unsigned i = 0; i < processors; ++i) cpus_[i]->thread = std::thread([this, i] { run(i); });
}

DpcEngine::~DpcEngine() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  for (auto& cpu : cpus_) cpu->cv.notify_all();
  for (auto& cpu : cpus_) cpu->thread.join();
}

unsigned DpcEngine::target_of(const KDPC* dpc) const {
  if (dpc->Number != 0xFFFF) return dpc->Number % cpus_.size();
  return static_cast<unsigned>(std::hash<const void*>{}(dpc) % cpus_.size());
}

bool DpcEngine::insert(KDPC* dpc, PVOID argument1, PVOID argument2) {
  std::lock_guard lock(mu_);
  if (dpc->DpcData != nullptr) return false;
  Cpu& cpu = *cpus_[target_of(dpc)];
  dpc->SystemArgument1 = argument1;
  dpc->SystemArgument2 = argument2;
  dpc->DpcData = &cpu;
  dpc->QueueSequence = ++sequence_;
  if (dpc->Importance == HighImportance) {
    InsertHeadList(&cpu.queue, &dpc->DpcListEntry);
  } else {
    InsertTailList(&cpu.queue, &dpc->DpcListEntry);
  }
  cpu.cv.notify_one();
  return true;
}

bool DpcEngine::remove(KDPC* dpc) {
  std::lock_guard lock(mu_);
  if (dpc->DpcData == nullptr) return false;
  RemoveEntryList(&dpc->DpcListEntry);
  dpc->DpcData = nullptr;
  progress_cv_.notify_all();
  return true;
}

void DpcEngine::flush() {
  std::unique_lock lock(mu_);
  const std::uint64_t mark = sequence_;
  auto pending = [&] {
    for (auto& cpu : cpus_) {
      if (cpu->running_sequence != 0 && cpu->running_sequence <= mark) return true;
      for (PLIST_ENTRY e = cpu->queue.Flink; e != &cpu->queue; e = e->Flink) {
        if (CONTAINING_RECORD(e, KDPC, DpcListEntry)->QueueSequence <= mark) return true;
      }
    }
    return false;
  };
  progress_cv_.wait(lock, [&] { return !pending(); });
}

std::uint64_t DpcEngine::runs() const {
  std::lock_guard lock(mu_);
  return runs_;
}

void DpcEngine::run(unsigned index) {
  ThreadState& state = this_thread();
  state.irql = DISPATCH_LEVEL;
  state.cpu = static_cast<int>(index);
  Cpu& cpu = *cpus_[index];
  std::unique_lock lock(mu_);
  for (;;) {
    cpu.cv.wait(lock, [&] { return stopping_ || !IsListEmpty(&cpu.queue); });
    if (IsListEmpty(&cpu.queue)) return;  // stopping, and nothing left to run
    KDPC* dpc = CONTAINING_RECORD(RemoveHeadList(&cpu.queue), KDPC, DpcListEntry);
    // Cleared before the routine runs, so that the routine may queue itself again.
    dpc->DpcData = nullptr;
    cpu.running_sequence = dpc->QueueSequence;
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext;
    PVOID argument1 = dpc->SystemArgument1;
    PVOID argument2 = dpc->SystemArgument2;
    lock.unlock();
    routine(dpc, context, argument1, argument2);
    if (state.irql != DISPATCH_LEVEL || state.spin_locks_held != 0) {
      fault(SrcLoc::current(), "DPC routine %p returned at IRQL %u holding %d spin lock(s)",
            reinterpret_cast<void*>(routine), state.irql, state.spin_locks_held);
    }
    lock.lock();
    cpu.running_sequence = 0;
    ++runs_;
    progress_cv_.notify_all();
  }
}

}  // namespace plat
