// RDMA between two hosts' kernel clients, timed, beside baselines measured
// in the same run:
//   KernelRdmaWrite1MiB       RDMA Writes of 1 MiB from HOSTA's kernel client
//                             into HOSTB's memory, up to 16 in flight (time:
//                             the client's clock from the first post to the
//                             last completion)     vs  MemcpyOneCore1MiB
//   KernelRdmaWritePingPong8  half the round trip of an 8-byte RDMA Write
//                             each way, each end polling its own memory
//                                                   vs  UnixSocketPingPong8
//                             (8 bytes each way between two processes)
// Each iteration of a kernel benchmark is one session of the kernel verbs
// client driver on both hosts (a new connection, its start-up frames and
// hand-over untimed).
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/proxy/twohost/twohost_lab.h"

namespace {

using twohost::kAddress;

twohost::Lab* lab() {
  static std::unique_ptr<twohost::Lab> lab;
  static std::string why = "not started";
  if (!lab) {
    lab = std::make_unique<twohost::Lab>(
        false, std::vector<std::pair<std::string, std::string>>{{"zekverbstest", ZEK_VERBS_DRIVER}});
    why = lab->start();
  }
  return why.empty() ? lab.get() : nullptr;
}

// What the connecting end's report of one session says.
struct Timed {
  std::uint64_t bytes = 0;
  std::uint64_t trips = 0;
  std::uint64_t write_ns = 0;
  std::uint64_t trip_ns = 0;
};
// One session with the timed runs (a port of its own); false with the
// reason when it failed.
bool session(int writes, int trips, Timed* out, std::string* why) {
  static int port = 7100;
  twohost::Lab* l = lab();
  if (l == nullptr) {
    *why = "the hosts did not start";
    return false;
  }
  const std::string p = std::to_string(++port);
  const std::string w = std::to_string(writes), t = std::to_string(trips);
  const pid_t b =
      l->program(1, {ZEK_VERBS_CLIENT, "rdma", "accept", kAddress[1], p, "crc", "bench", w, t}, "bench-b.txt");
  const pid_t a = l->program(
      0, {ZEK_VERBS_CLIENT, "rdma", "connect", kAddress[0], kAddress[1], p, "crc", "bench", w, t}, "bench-a.txt");
  const int ca = l->wait(a);
  const int cb = l->wait(b);
  const std::string report = l->output("bench-a.txt");
  if (ca != 0 || cb != 0) {
    *why = "the session failed:\n" + report + l->output("bench-b.txt");
    return false;
  }
  unsigned long long bytes = 0, write_ns = 0, trip_ns = 0;
  unsigned n = 0;
  const auto at = report.find("bench write ");
  const auto tp = report.find("bench pingpong ");
  if (at == std::string::npos || tp == std::string::npos ||
      std::sscanf(report.c_str() + at, "bench write bytes=%llu ns=%llu", &bytes, &write_ns) != 2 ||
      std::sscanf(report.c_str() + tp, "bench pingpong trips=%u ns=%llu", &n, &trip_ns) != 2) {
    *why = "no timings in the report:\n" + report;
    return false;
  }
  *out = {bytes, n, write_ns, trip_ns};
  return true;
}

void KernelRdmaWrite1MiB(benchmark::State& state) {
  constexpr int kWrites = 256;
  std::uint64_t bytes = 0;
  for (auto _ : state) {
    Timed t;
    std::string why;
    if (!session(kWrites, 0, &t, &why)) return state.SkipWithError(why.c_str());
    state.SetIterationTime(static_cast<double>(t.write_ns) / 1e9);
    bytes += t.bytes;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.counters["Gbit/s"] = benchmark::Counter(static_cast<double>(bytes) * 8 / 1e9, benchmark::Counter::kIsRate);
}
BENCHMARK(KernelRdmaWrite1MiB)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

void MemcpyOneCore1MiB(benchmark::State& state) {
  std::vector<char> from(1 << 20, 0x5A), to(1 << 20);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), from.size());
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * (1 << 20));
  state.counters["Gbit/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * (1 << 20) * 8 / 1e9, benchmark::Counter::kIsRate);
}
BENCHMARK(MemcpyOneCore1MiB);

// Manual time of one half round trip per iteration.
void KernelRdmaWritePingPong8(benchmark::State& state) {
  constexpr int kTrips = 2000;
  for (auto _ : state) {
    Timed t;
    std::string why;
    if (!session(0, kTrips, &t, &why)) return state.SkipWithError(why.c_str());
    state.SetIterationTime(static_cast<double>(t.trip_ns) / 1e9 / (2.0 * static_cast<double>(t.trips)));
  }
}
BENCHMARK(KernelRdmaWritePingPong8)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(3);

// 8 bytes each way between this process and a child over a Unix stream
// socket; one iteration is half a round trip.
void UnixSocketPingPong8(benchmark::State& state) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return state.SkipWithError("no socket pair");
  const pid_t child = fork();
  if (child == 0) {
    ::close(fds[0]);
    std::uint64_t v;
    while (::read(fds[1], &v, sizeof v) == sizeof v && ::write(fds[1], &v, sizeof v) == sizeof v) {
    }
    _exit(0);
  }
  ::close(fds[1]);
  std::uint64_t v = 0;
  bool half = false;
  for (auto _ : state) {
    // Two iterations make one round trip: the send, then the answer.
    if (!half) {
      ++v;
      if (::write(fds[0], &v, sizeof v) != sizeof v) state.SkipWithError("write failed");
    } else if (::read(fds[0], &v, sizeof v) != sizeof v) {
      state.SkipWithError("read failed");
    }
    half = !half;
  }
  if (half) (void)!::read(fds[0], &v, sizeof v);
  ::close(fds[0]);
  waitpid(child, nullptr, 0);
}
BENCHMARK(UnixSocketPingPong8)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
