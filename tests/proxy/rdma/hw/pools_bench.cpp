// The pools exist so that hardware objects are taken and returned without
// the system allocator: the cost of one take and return, for a fixed-size
// object and for a page-aligned queue class, once the pool holds elements.
#include <benchmark/benchmark.h>

#include <memory>

#include "platform/kernel/kernel.h"
#include "proxy/core/osprim/osprim_kernel.h"
#include "proxy/rdma/hw/pools.h"

namespace {

void ensure_pools() {
  static std::unique_ptr<plat::Kernel> k = [] {
    plat::KernelOptions o;
    o.clock = plat::Clock::Mode::Virtual;
    o.memory.bytes = std::size_t{128} << 20;
    auto kernel = std::make_unique<plat::Kernel>(o);
    mifh_create_mem_resources();
    return kernel;
  }();
}

void TakeAndReturn(benchmark::State& state) {
  ensure_pools();
  const auto pool = static_cast<MifhPoolId>(state.range(0));
  const auto size_class = static_cast<std::uint32_t>(state.range(1));
  for (auto _ : state) {
    void* element = mifh_pool_allocate(pool, size_class);
    benchmark::DoNotOptimize(element);
    mifh_pool_free(pool, element, size_class);
  }
}
BENCHMARK(TakeAndReturn)
    ->Args({MIFH_POOL_CQ_OBJECT, 0})
    ->Args({MIFH_POOL_QP_OBJECT, 0})
    ->Args({MIFH_POOL_IWARP_SQ, 128})
    ->Args({MIFH_POOL_CQP_PEND, 0});

}  // namespace

BENCHMARK_MAIN();
