// The adapter's DMA into locked user memory, in bytes per second, beside a
// plain memcpy of the same sizes measured in the same run: the runtime's
// shared memory (the host's own mapping of the process's pages) and other
// memory (reached by pid), each locked as a driver locks a registration.
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/kernel/io/iomgr.h"
#include "platform/kernel/io/mdl.h"
#include "platform/kernel/io/usermem.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/thread.h"
#include "platform/user/sharedmem.h"
#include "sim/dma.h"

namespace {

constexpr std::size_t kRegion = std::size_t{64} << 20;

// This process stands in for the user process; nothing is mapped into it.
class QuietLink final : public plat::ProcessLink {
 public:
  void send_pending(std::uint64_t, NTSTATUS) override {}
  void send_complete(std::uint64_t, NTSTATUS, std::uint64_t, bool) override {}
  std::uint64_t map_memory(int, std::size_t) override { return 0; }
  std::uint64_t map_registers(std::size_t, int, std::uint64_t, std::uint64_t, int) override { return 0; }
  bool unmap(std::uint64_t, std::size_t) override { return false; }
};

// A kernel, this process attached as a user process, and `region` locked
// for the adapter's writes.
class Locked {
 public:
  explicit Locked(void* region) {
    plat::KernelOptions options;
    options.debug_output = [](std::string_view) {};
    kernel_ = std::make_unique<plat::Kernel>(options);
    io_ = std::make_unique<plat::IoManager>(*kernel_);
    process_ = io_->attach_process(getpid(), std::make_shared<QuietLink>());
    plat::ClientContext as(reinterpret_cast<HANDLE>(static_cast<intptr_t>(getpid())),
                           reinterpret_cast<HANDLE>(syscall(SYS_gettid)), process_->eprocess());
    mdl_ = IoAllocateMdl(region, kRegion, FALSE, FALSE, nullptr);
    try {
      MmProbeAndLockPages(mdl_, UserMode, IoWriteAccess);
    } catch (const plat::SehException&) {
      IoFreeMdl(mdl_);
      mdl_ = nullptr;
    }
  }
  ~Locked() {
    if (mdl_ != nullptr) {
      MmUnlockPages(mdl_);
      IoFreeMdl(mdl_);
    }
    io_->detach_process(*process_);
    process_.reset();
    io_.reset();
    kernel_.reset();
  }
  bool ok() const { return mdl_ != nullptr; }
  std::uint64_t physical(std::size_t offset) const {
    return (static_cast<std::uint64_t>(MmGetMdlPfnArray(mdl_)[offset / PAGE_SIZE]) << PAGE_SHIFT) + offset % PAGE_SIZE;
  }
  plat::PhysicalMemory& memory() { return kernel_->memory(); }

 private:
  std::unique_ptr<plat::Kernel> kernel_;
  std::unique_ptr<plat::IoManager> io_;
  std::shared_ptr<plat::UserProcess> process_;
  PMDL mdl_ = nullptr;
};

void dma_into(benchmark::State& state, void* region) {
  const auto chunk = static_cast<std::size_t>(state.range(0));
  Locked locked(region);
  if (!locked.ok()) {
    state.SkipWithError("the region could not be locked");
    return;
  }
  zeksim::Log log([](std::string_view) {});
  zeksim::LiveFaultCounters faults;
  zeksim::DmaPort port(locked.memory(), log, faults);
  std::vector<std::byte> source(chunk, std::byte{0x5A});
  std::size_t offset = 0;
  for (auto _ : state) {
    if (!port.write(locked.physical(offset), source, "benchmark")) {
      state.SkipWithError("DMA refused");
      return;
    }
    offset = (offset + chunk) % kRegion;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * chunk));
}

// Baseline: the same bytes copied by the CPU into the same kind of memory.
void BM_Memcpy(benchmark::State& state) {
  const auto chunk = static_cast<std::size_t>(state.range(0));
  auto* region = static_cast<std::byte*>(plat::user::shared::allocate(kRegion, true));
  std::vector<std::byte> source(chunk, std::byte{0x5A});
  std::size_t offset = 0;
  for (auto _ : state) {
    std::memcpy(region + offset, source.data(), chunk);
    benchmark::ClobberMemory();
    offset = (offset + chunk) % kRegion;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * chunk));
  plat::user::shared::release(region);
}

void BM_DmaIntoSharedUserMemory(benchmark::State& state) {
  void* region = plat::user::shared::allocate(kRegion, true);
  dma_into(state, region);
  plat::user::shared::release(region);
}

// Memory the process does not share (here an anonymous private mapping):
// each transfer goes through the kernel by pid.
void BM_DmaIntoOtherUserMemory(benchmark::State& state) {
  void* region = mmap(nullptr, kRegion, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  std::memset(region, 0, kRegion);
  dma_into(state, region);
  munmap(region, kRegion);
}

BENCHMARK(BM_Memcpy)->Arg(4096)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_DmaIntoSharedUserMemory)->Arg(4096)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_DmaIntoOtherUserMemory)->Arg(4096)->Arg(64 << 10)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
