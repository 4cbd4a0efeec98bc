// The engine's own cost, both queue pairs on one thread over an in-process
// wire: 1 MiB RDMA Writes with the MPA CRC on and off, beside one core's
// memcpy of the same size. Segment sizes: the lab's 1500-byte frames and
// jumbo frames.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "tests/sim/iwarp/qp_pair.h"

namespace {

using namespace zeksim;
using namespace zeksim::qp_pair;

constexpr std::uint32_t kMessage = 1u << 20;

void BM_Memcpy(benchmark::State& state) {
  std::vector<std::byte> a(kMessage, std::byte{1}), b(kMessage);
  for (auto _ : state) {
    std::memcpy(b.data(), a.data(), kMessage);
    benchmark::DoNotOptimize(b.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kMessage);
}
BENCHMARK(BM_Memcpy);

void BM_RdmaWrite(benchmark::State& state) {
  const bool crc = state.range(0) != 0;
  const std::uint16_t mss = static_cast<std::uint16_t>(state.range(1));
  Pair p({.crc = crc}, 8, 8, mss);
  const std::uint32_t la = p.a.region(1, 1, 0x10000000, 260, kLocal, kPages);
  const std::uint32_t rb = p.b.region(2, 2, 0x20000000, 260, kAll, kPages + 4096);
  std::size_t done = 0;
  for (auto _ : state) {
    p.a.post_sq(write_wqe(kMessage, 0x20000000, rb, {0x10000000, kMessage, la}));
    const std::size_t want = done + 1;
    p.run([&] { return p.a.host.completions.size() >= want; });
    if (p.a.host.completions.size() < want) state.SkipWithError("the write did not complete");
    done = want;
    if (p.a.host.completions.size() > 1000) {
      p.a.host.completions.clear();
      done = 0;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kMessage);
  state.counters["Gbit/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kMessage * 8 / 1e9, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RdmaWrite)->ArgNames({"crc", "mss"})->Args({1, 1460})->Args({0, 1460})->Args({1, 8960})->Args({0, 8960});

}  // namespace

BENCHMARK_MAIN();
