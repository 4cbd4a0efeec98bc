// Two boards on the lab wire, as the lab tests drive them, with each board
// on its own engine thread and the wire's sockets between them:
// - 8-byte RDMA Write ping-pong (each side polls its memory for the peer's
//   write and answers with one of its own): the half round trip, beside a
//   ping-pong of 8 bytes over a Unix stream socket between two processes;
// - 1 MiB RDMA Writes with the MPA CRC on and off, on a standard wire
//   (1460-byte segments) and with jumbo frames (8960), beside one core's
//   memcpy of the same size.
// - the wire's own floor: frames of the same sizes between two threads over
//   the AF_UNIX datagram sockets a port uses for peers without lanes
//   (blocking sends, batched receives), and through a lane's ring, with
//   nothing else done, in Gbit/s.
// Each lab figure carries its baseline measured in the same benchmark, just
// before the lab comes up (memcpy_Gbit/s, unix_half_rtt_us), and where the
// time goes: the process's CPU time per message (all threads, the polling
// ones included), the engines' batches and sleeps, the frames per message
// and the share of them that went through lanes.
// Completions are polled without a pause; the ping-pong's two sides yield
// between looks, so that on a busy machine they leave the engines the CPU.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "sim/lab_wire_lane.h"
#include "tests/sim/iwarp_lab.h"
#include "tests/support/unix_pingpong.h"

namespace {

using namespace iwarplab;

// The lab fixture outside a test run: set up and torn down by hand.
class BenchLab : public IwarpLabTest {
 public:
  void TestBody() override {}
  // No capture: a benchmark measures the wire, not the pcap file.
  std::string capture_path() const override { return ""; }
  // The adapter's own TCP timers, not the tests' short ones.
  zeksim::BoardConfig board_config() override {
    zeksim::BoardConfig c = IwarpLabTest::board_config();
    c.tcp = zeksim::TcpTuning{};
    return c;
  }
  bool open(std::uint32_t mpa_mode, std::uint16_t mss = 1460) {
    SetUp();
    if (HasFatalFailure()) return false;
    connect(mpa_mode, mss);
    a_->set_poll(0us);
    b_->set_poll(0us);
    return !HasFatalFailure();
  }
  void close() { TearDown(); }
  Host& a() { return *a_; }
  Host& b() { return *b_; }
  // Where the time goes: per message, the engine threads' batches and
  // sleeps (both boards) and the frames that left straight from an engine
  // thread rather than through a port's sender thread.
  void account(benchmark::State& state, std::uint64_t messages) {
    const double n = static_cast<double>(std::max<std::uint64_t>(messages, 1));
    state.counters["cpu_ms_per_msg"] = (cpu_seconds() - cpu_at_open_) * 1e3 / n;
    const double lanes = static_cast<double>(wires_[0]->frames_through_lanes());
    const auto ea = a_->board().engine_activity(), eb = b_->board().engine_activity();
    state.counters["batches_per_msg"] = static_cast<double>(ea.batches + eb.batches) / n;
    state.counters["sleeps_per_msg"] = static_cast<double>(ea.sleeps + eb.sleeps) / n;
    const double sent = static_cast<double>(wires_[0]->frames_sent() + wires_[1]->frames_sent());
    const double direct = static_cast<double>(wires_[0]->frames_sent_directly() + wires_[1]->frames_sent_directly());
    state.counters["frames_per_msg"] = sent / n;
    state.counters["direct_pct"] = sent > 0 ? 100 * direct / sent : 0;
    // Port A's frames through lanes, sent and received, of all it carried.
    const double carried = static_cast<double>(wires_[0]->frames_sent() + wires_[0]->frames_received());
    state.counters["lane_pct"] = carried > 0 ? 100 * lanes / carried : 0;
  }
  // The process's CPU time (every thread) from here on counts for account().
  void start_clock() { cpu_at_open_ = cpu_seconds(); }
  static double cpu_seconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
  }

 private:
  double cpu_at_open_ = 0;
};

// The baselines, measured in the benchmark that reports beside them.
double unix_half_rtt_us() {
  zekbench::UnixPingPong pingpong(8);
  if (!pingpong.ok()) return 0;
  constexpr int kRounds = 2000;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kRounds; ++i) {
    if (!pingpong.round_trip()) return 0;
  }
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / kRounds / 2;
}

double memcpy_gbit_s(std::size_t bytes) {
  std::vector<std::byte> from(bytes, std::byte{1}), to(bytes);
  constexpr int kCopies = 200;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCopies; ++i) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return static_cast<double>(bytes) * kCopies * 8 / 1e9 / seconds;
}

std::uint64_t load64(const std::byte* p) {
  return __atomic_load_n(reinterpret_cast<const std::uint64_t*>(p), __ATOMIC_ACQUIRE);
}

void BM_UnixSocketPingPong(benchmark::State& state) {
  zekbench::UnixPingPong pingpong(8);
  if (!pingpong.ok()) return state.SkipWithError("no echo process");
  for (auto _ : state) {
    if (!pingpong.round_trip()) {
      state.SkipWithError("the echo process failed");
      break;
    }
  }
  state.counters["half_rtt_us"] = benchmark::Counter(static_cast<double>(state.iterations()) * 2e-6,
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_UnixSocketPingPong)->UseRealTime();

void BM_LabRdmaWritePingPong(benchmark::State& state) {
  const double baseline = unix_half_rtt_us();
  BenchLab lab;
  if (!lab.open(kMpaModeRdma | kMpaModeCrc)) {
    state.SkipWithError("the lab did not come up");
    lab.close();
    return;
  }
  Host& a = lab.a();
  Host& b = lab.b();
  lab.start_clock();
  // A's ping lands at B's region start, B's pong at A's; each carries the round's number.
  std::atomic<bool> stop{false};
  std::atomic<bool> failed{false};
  std::thread responder([&] {
    for (std::uint64_t round = 1; !stop.load(); ++round) {
      while (load64(b.at(b.va())) < round) {
        if (stop.load()) return;
        std::this_thread::yield();
      }
      std::memcpy(b.at(b.va() + 64), &round, 8);
      b.post_send(write_wqe(b.va() + 64, 8, b.region_stag(), a.va(), a.region_stag()));
      auto c = b.completion(true, std::chrono::seconds(10));
      if (!c || (c->flags & kCqeError) != 0) {
        failed = true;
        return;
      }
    }
  });
  std::uint64_t round = 0;
  for (auto _ : state) {
    ++round;
    std::memcpy(a.at(a.va() + 64), &round, 8);
    a.post_send(write_wqe(a.va() + 64, 8, a.region_stag(), b.va(), b.region_stag()));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (load64(a.at(a.va())) < round && std::chrono::steady_clock::now() < end) {
      std::this_thread::yield();
    }
    auto c = a.completion(true, std::chrono::seconds(10));
    if (load64(a.at(a.va())) < round || !c || (c->flags & kCqeError) != 0 || failed.load()) {
      state.SkipWithError("a ping-pong round did not complete");
      break;
    }
  }
  stop = true;
  responder.join();
  lab.account(state, state.iterations());
  lab.close();
  state.counters["half_rtt_us"] = benchmark::Counter(static_cast<double>(state.iterations()) * 2e-6,
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["unix_half_rtt_us"] = baseline;
}
BENCHMARK(BM_LabRdmaWritePingPong)->UseRealTime();

constexpr std::uint32_t kMessage = 1u << 20;

void BM_Memcpy(benchmark::State& state) {
  std::vector<std::byte> from(kMessage, std::byte{1}), to(kMessage);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kMessage);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kMessage);
  state.counters["Gbit/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kMessage * 8 / 1e9, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Memcpy);

// Frames of range(0) bytes from one thread to another over a datagram socket
// bound in a directory, as the lab wire's ports send them.
void BM_DatagramWire(benchmark::State& state) {
  const auto bytes = static_cast<std::size_t>(state.range(0));
  const std::string dir = ::testing::TempDir() + "dgram_" + std::to_string(::getpid());
  std::filesystem::create_directories(dir);
  const std::string path = dir + "/rx.sock";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const int rx = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int tx = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (::bind(rx, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    state.SkipWithError("bind");
    return;
  }
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> received{0};
  std::thread receiver([&] {
    std::vector<std::vector<std::byte>> buffers(64, std::vector<std::byte>(bytes + 64));
    std::vector<iovec> iov(64);
    std::vector<mmsghdr> messages(64);
    timeval timeout{0, 50'000};
    setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    while (!stop.load()) {
      for (int i = 0; i < 64; ++i) {
        iov[i] = iovec{buffers[i].data(), buffers[i].size()};
        messages[i] = mmsghdr{};
        messages[i].msg_hdr.msg_iov = &iov[i];
        messages[i].msg_hdr.msg_iovlen = 1;
      }
      const int n = ::recvmmsg(rx, messages.data(), 64, MSG_WAITFORONE, nullptr);
      if (n > 0) received += static_cast<std::uint64_t>(n);
    }
  });
  std::vector<std::byte> frame(bytes, std::byte{0x42});
  std::uint64_t sent = 0;
  for (auto _ : state) {
    for (int i = 0; i < 64; ++i) {
      if (::sendto(tx, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        state.SkipWithError("sendto");
        break;
      }
      ++sent;
    }
  }
  while (received.load() < sent) std::this_thread::yield();
  stop = true;
  receiver.join();
  ::close(rx);
  ::close(tx);
  std::filesystem::remove_all(dir);
  state.counters["Gbit/s"] =
      benchmark::Counter(static_cast<double>(sent) * static_cast<double>(bytes) * 8 / 1e9, benchmark::Counter::kIsRate);
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(sent), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DatagramWire)->ArgName("bytes")->Arg(1514)->Arg(9014)->UseRealTime();

// Frames of range(0) bytes from one thread to another through a lane's ring,
// as two ports with lanes carry them (the reader sleeps on the bell when the
// ring is empty, the writer on the ring's futex when it is full).
void BM_LaneWire(benchmark::State& state) {
  const auto bytes = static_cast<std::size_t>(state.range(0));
  std::string error;
  auto tx = zeksim::LaneRing::create(&error);
  auto rx = tx ? zeksim::LaneRing::adopt(::dup(tx->fd()), &error) : nullptr;
  const int bell = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (!rx || bell < 0) return state.SkipWithError(error.c_str());
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> received{0};
  std::thread receiver([&] {
    std::vector<std::byte> frame;
    while (!stop.load()) {
      unsigned n = 0;
      while (n < 64 && rx->take(frame, bytes) == zeksim::LaneRing::Result::Ok) ++n;
      rx->release();
      received += n;
      if (n > 0) continue;
      rx->set_sleeping(true);
      if (!rx->readable()) {
        pollfd p{bell, POLLIN, 0};
        ::poll(&p, 1, 50);
        std::uint64_t count;
        (void)!::read(bell, &count, sizeof count);
      }
      rx->set_sleeping(false);
    }
  });
  std::vector<std::byte> frame(bytes, std::byte{0x42});
  std::uint64_t sent = 0;
  const std::uint64_t one = 1;
  for (auto _ : state) {
    for (int i = 0; i < 64; ++i) {
      while (tx->put(frame) == zeksim::LaneRing::Result::Full) {
        if (tx->take_sleeping()) (void)!::write(bell, &one, sizeof one);
        tx->wait_room(bytes, std::chrono::milliseconds(10));
      }
      ++sent;
    }
    if (tx->take_sleeping()) (void)!::write(bell, &one, sizeof one);
  }
  while (received.load() < sent) std::this_thread::yield();
  stop = true;
  receiver.join();
  ::close(bell);
  state.counters["Gbit/s"] =
      benchmark::Counter(static_cast<double>(sent) * static_cast<double>(bytes) * 8 / 1e9, benchmark::Counter::kIsRate);
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(sent), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LaneWire)->ArgName("bytes")->Arg(1514)->Arg(9014)->UseRealTime();

void BM_LabRdmaWrite1MiB(benchmark::State& state) {
  const bool crc = state.range(0) != 0;
  const bool jumbo = state.range(1) != 0;
  const double baseline = memcpy_gbit_s(kMessage);
  BenchLab lab;
  if (!lab.open(kMpaModeRdma | (crc ? kMpaModeCrc : 0u), jumbo ? 8960 : 1460)) {
    state.SkipWithError("the lab did not come up");
    lab.close();
    return;
  }
  Host& a = lab.a();
  Host& b = lab.b();
  // A message takes milliseconds: looking every 20 µs costs little of that
  // and leaves the CPU time per message to the engines and the wire.
  a.set_poll(20us);
  lab.start_clock();
  for (auto _ : state) {
    a.post_send(write_wqe(a.va(), kMessage, a.region_stag(), b.va(), b.region_stag()));
    auto c = a.completion(true, std::chrono::seconds(30));
    if (!c || (c->flags & kCqeError) != 0) {
      state.SkipWithError("the write did not complete");
      break;
    }
  }
  lab.account(state, state.iterations());
  lab.close();
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kMessage);
  state.counters["Gbit/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kMessage * 8 / 1e9, benchmark::Counter::kIsRate);
  state.counters["memcpy_Gbit/s"] = baseline;
}
BENCHMARK(BM_LabRdmaWrite1MiB)
    ->ArgNames({"crc", "jumbo"})
    ->Args({1, 0})
    ->Args({0, 0})
    ->Args({1, 1})
    ->Args({0, 1})
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
