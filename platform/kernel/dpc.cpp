#include "platform/kernel/dpc.h"

#include <functional>

#include "platform/kernel/fault.h"
#include "platform/kernel/thread.h"

namespace plat {

namespace {

// The interrupt being serviced on this thread, and the DPC it kept.
struct InterruptDpc {
  DpcEngine* engine = nullptr;
  KDPC* dpc = nullptr;
  unsigned cpu = 0;
};
thread_local InterruptDpc tl_interrupt;

}  // namespace

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
  if (tl_interrupt.engine == this && tl_interrupt.dpc == nullptr && IsListEmpty(&cpu.queue) &&
      cpu.running_sequence == 0 && !cpu.borrowed) {
    // Kept for the interrupt's thread; the entry links to itself, so a
    // removal before it runs is harmless.
    InitializeListHead(&dpc->DpcListEntry);
    cpu.borrowed = true;
    cpu.running_sequence = dpc->QueueSequence;
    tl_interrupt.dpc = dpc;
    tl_interrupt.cpu = target_of(dpc);
    return true;
  }
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

void DpcEngine::begin_interrupt() { tl_interrupt = InterruptDpc{this, nullptr, 0}; }

void DpcEngine::end_interrupt() {
  const InterruptDpc kept = tl_interrupt;
  tl_interrupt = InterruptDpc{};
  if (kept.engine != this || kept.dpc == nullptr) return;
  Cpu& cpu = *cpus_[kept.cpu];
  std::unique_lock lock(mu_);
  KDPC* dpc = kept.dpc;
  const bool still_queued = dpc->DpcData == &cpu;  // not removed meanwhile
  PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
  PVOID context = dpc->DeferredContext;
  PVOID argument1 = dpc->SystemArgument1;
  PVOID argument2 = dpc->SystemArgument2;
  if (still_queued) dpc->DpcData = nullptr;
  lock.unlock();
  if (still_queued) {
    ThreadState& state = this_thread();
    const int saved_cpu = state.cpu;
    const KIRQL saved_irql = state.irql;
    state.cpu = static_cast<int>(kept.cpu);
    state.irql = DISPATCH_LEVEL;
    routine(dpc, context, argument1, argument2);
    if (state.irql != DISPATCH_LEVEL || state.spin_locks_held != 0) {
      fault(SrcLoc::current(), "DPC routine %p returned at IRQL %u holding %d spin lock(s)",
            reinterpret_cast<void*>(routine), state.irql, state.spin_locks_held);
    }
    state.irql = saved_irql;
    state.cpu = saved_cpu;
  }
  lock.lock();
  cpu.running_sequence = 0;
  cpu.borrowed = false;
  if (still_queued) ++runs_;
  progress_cv_.notify_all();
  if (!IsListEmpty(&cpu.queue)) cpu.cv.notify_one();
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
    cpu.cv.wait(lock, [&] { return !cpu.borrowed && (stopping_ || !IsListEmpty(&cpu.queue)); });
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
