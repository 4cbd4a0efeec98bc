#include "platform/kernel/kernel.h"

#include <cstdio>

#include "platform/kernel/fault.h"

namespace plat {
namespace {
std::atomic<Kernel*> current_kernel{nullptr};
}

void ContiguousBlocks::add(void* block, std::size_t bytes) {
  std::lock_guard lock(mu_);
  blocks_.emplace(block, bytes);
  bytes_ += bytes;
}

bool ContiguousBlocks::remove(void* block) {
  std::lock_guard lock(mu_);
  auto it = blocks_.find(block);
  if (it == blocks_.end()) return false;
  bytes_ -= it->second;
  blocks_.erase(it);
  return true;
}

std::size_t ContiguousBlocks::bytes_in_use() const {
  std::lock_guard lock(mu_);
  return bytes_;
}

Kernel::Kernel(KernelOptions options) : options_(std::move(options)) {
  Kernel* expected = nullptr;
  if (!current_kernel.compare_exchange_strong(expected, this)) {
    fault(SrcLoc::current(), "a second kernel started in one process");
  }
  machine_ = std::make_unique<Machine>(MachineOptions{.clock = options_.clock,
                                                      .time_increment = options_.time_increment,
                                                      .memory = options_.memory,
                                                      .device_irql = kDeviceIrql});
  pool_ = std::make_unique<Pool>(machine_->memory());
  handles_ = std::make_unique<HandleTable>();
  dpcs_ = std::make_unique<DpcEngine>(options_.processors);
  dispatcher_ = std::make_unique<Dispatcher>(machine_->clock(), [this](KDPC* dpc, std::int64_t due) {
    // A timer's DPC receives the expiry's system time, low part then high part.
    const Clock& clock = machine_->clock();
    ULARGE_INTEGER at;
    at.QuadPart = static_cast<ULONGLONG>(clock.system_time() - clock.now() + due);
    dpcs_->insert(dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(at.LowPart)),
                  reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(at.HighPart)));
  });
  workers_ = std::make_unique<WorkerPool>(options_.worker_threads);
  threads_ = std::make_unique<SystemThreads>(*dispatcher_, *handles_);
  interrupts_ = std::make_unique<InterruptDispatcher>(machine_->interrupts());
}

Kernel::~Kernel() {
  // Drivers have stopped their threads; what remains drains in this order:
  // system threads, work items, interrupts, timers, DPCs; then the machine
  // goes with the memory the pool stood on.
  threads_.reset();
  workers_.reset();
  interrupts_.reset();
  dispatcher_->shutdown();
  dpcs_.reset();
  dispatcher_.reset();
  handles_.reset();
  pool_.reset();
  machine_.reset();
  current_kernel.store(nullptr);
}

Kernel& Kernel::current() {
  Kernel* kernel = current_kernel.load(std::memory_order_acquire);
  if (kernel == nullptr) fault(SrcLoc::current(), "no kernel is running in this process");
  return *kernel;
}

Kernel* Kernel::try_current() { return current_kernel.load(std::memory_order_acquire); }

void Kernel::debug_print(std::string_view text) {
  std::lock_guard lock(debug_mu_);
  if (options_.debug_output) {
    options_.debug_output(text);
  } else {
    std::fwrite(text.data(), 1, text.size(), stderr);
  }
}

}  // namespace plat
