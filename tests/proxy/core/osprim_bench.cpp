// Costs of the OS-primitive layer's hot paths: a tracked allocation and
// free, with many blocks live (the free check must not grow with them), and
// one log record.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "platform/kernel/kernel.h"
#include "proxy/core/osprim/osprim_kernel.h"

namespace {

plat::Kernel& kernel() {
  static std::unique_ptr<plat::Kernel> k = [] {
    plat::KernelOptions o;
    o.clock = plat::Clock::Mode::Virtual;
    o.memory.bytes = std::size_t{512} << 20;
    return std::make_unique<plat::Kernel>(o);
  }();
  return *k;
}

void TrackedAllocateAndFree(benchmark::State& state) {
  kernel();
  std::vector<void*> live(static_cast<std::size_t>(state.range(0)));
  for (void*& block : live) OSPrimMemAllocate(&block, 64);
  for (auto _ : state) {
    void* block = nullptr;
    OSPrimMemAllocate(&block, 64);
    benchmark::DoNotOptimize(block);
    OSPrimMemFree(block);
  }
  for (void* block : live) OSPrimMemFree(block);
}
BENCHMARK(TrackedAllocateAndFree)->Arg(0)->Arg(1000)->Arg(20000);

void LogRecord(benchmark::State& state) {
  kernel();
  for (auto _ : state) OSPrimMemoryLogging("ZpxSomething: queue %u is full (0x%x)\n", 7u, 0x50001u);
}
BENCHMARK(LogRecord);

}  // namespace

BENCHMARK_MAIN();
