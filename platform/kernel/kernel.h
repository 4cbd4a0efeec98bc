// The host kernel (platform/kernel/, library zekkrnl): one shared image per
// host, loaded once and shared by every driver in it.
//
//   nt.h          what a driver includes from the core, by the Windows names:
//                 ke.h (IRQL, spin locks, dispatcher objects and waits, DPCs,
//                 timers, time), ex.h (pool, fast mutexes, work items), mm.h
//                 (pages, contiguous memory, register-window mapping), hal.h
//                 (register accessors), ob.h and ps.h (handles, object
//                 references, processes and threads), rtl.h (memory helpers,
//                 counted strings), dbg.h (debug output, assertions)
//   driver.h      nt.h with the I/O manager, MDLs, caller memory and the
//                 registry: what a driver of this system includes
//   interrupt.h   interrupt objects on the machine's vectors
//   registry.h    the host's registry
//   kernel.h      this object, which the routines above act on
//   dispatcher.h, dpc.h, thread.h, object.h, pool.h, workers.h, process.h,
//   fault.h       the engines behind those routines
//   io/           the I/O manager (io/io.h says what it holds)
//
// Below the kernel is the machine (platform/machine/machine.h); above it,
// NDIS (platform/ndis/) and the host program (platform/host/host.h).
//
// Kernel is the kernel of one simulated host: its machine (clock, physical
// memory, register space, PCI bus, interrupt vectors), pool, dispatcher, DPC
// processors, worker threads, system threads, handles and interrupt objects.
// One exists per process at a time (a zekhost process, or a test); the
// driver-facing routines (Ke*, Ex*, Mm*, ...) act on it.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "platform/kernel/dispatcher.h"
#include "platform/kernel/dpc.h"
#include "platform/kernel/interrupt.h"
#include "platform/kernel/object.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/thread.h"
#include "platform/kernel/workers.h"
#include "platform/machine/machine.h"

namespace plat {

struct KernelOptions {
  Clock::Mode clock = Clock::Mode::Real;
  std::uint32_t time_increment = 156'250;  // 15.625 ms ticks
  unsigned processors = 2;
  unsigned worker_threads = 2;
  PhysicalMemory::Options memory{};
  // Receives the kernel debug output (DbgPrint); standard error when empty.
  std::function<void(std::string_view)> debug_output;
};

// Physically contiguous blocks handed out by MmAllocateContiguousMemory.
class ContiguousBlocks {
 public:
  void add(void* block, std::size_t bytes);
  bool remove(void* block);
  std::size_t bytes_in_use() const;

 private:
  mutable std::mutex mu_;
  std::unordered_map<void*, std::size_t> blocks_;
  std::size_t bytes_ = 0;
};

class Kernel {
 public:
  // Every simulated device interrupts at one device level.
  static constexpr KIRQL kDeviceIrql = DEVICE_LEVEL_BASE + 5;

  explicit Kernel(KernelOptions options = {});
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  // The host's kernel; stops the process when there is none.
  static Kernel& current();
  static Kernel* try_current();

  Machine& machine() { return *machine_; }
  Clock& clock() { return machine_->clock(); }
  PhysicalMemory& memory() { return machine_->memory(); }
  Pool& pool() { return *pool_; }
  ContiguousBlocks& contiguous() { return contiguous_; }
  IoSpace& io_space() { return machine_->io_space(); }
  HandleTable& handles() { return *handles_; }
  Dispatcher& dispatcher() { return *dispatcher_; }
  DpcEngine& dpcs() { return *dpcs_; }
  WorkerPool& workers() { return *workers_; }
  SystemThreads& threads() { return *threads_; }
  PciBus& pci() { return machine_->pci(); }
  // The interrupt objects drivers connect (the vectors are the machine's).
  InterruptDispatcher& interrupts() { return *interrupts_; }

  void debug_print(std::string_view text);

 private:
  KernelOptions options_;
  std::mutex debug_mu_;
  std::unique_ptr<Machine> machine_;
  std::unique_ptr<Pool> pool_;
  ContiguousBlocks contiguous_;
  std::unique_ptr<HandleTable> handles_;
  std::unique_ptr<Dispatcher> dispatcher_;
  std::unique_ptr<DpcEngine> dpcs_;
  std::unique_ptr<WorkerPool> workers_;
  std::unique_ptr<SystemThreads> threads_;
  std::unique_ptr<InterruptDispatcher> interrupts_;
};

}  // namespace plat
