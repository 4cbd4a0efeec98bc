// The host stack's costs between two of its endpoints, each behind its own
// interface, with packets handed from one interface to the other on the
// benchmark's thread (tcp_pair.h): TCP bulk throughput, a 1-byte TCP
// request and response, connections set up and torn down, UDP datagrams of
// 64 and 1472 bytes, and an ICMP echo. The stack does all of both ends'
// work on one core, so the figures are the stack's own cost per byte,
// segment and datagram, without an adapter or a wire. The baselines
// (Linux's loopback and Unix sockets) are in linux_baseline_bench.cpp of the
// same program.
#include <benchmark/benchmark.h>

#include <memory>

#include "platform/kernel/kernel.h"
#include "proxy/tcpip/netinet/ip.h"
#include "proxy/tcpip/socket/domain.h"
#include "tests/proxy/tcpip/netinet/tcp_pair.h"

namespace {

using namespace zektcp;

// A kernel on the virtual clock with the stack started on the pair's pools
// and both interfaces up; kept for the whole program.
class BenchPair : public TcpPair {
 public:
  BenchPair() {
    plat::KernelOptions o;
    o.clock = plat::Clock::Mode::Virtual;
    o.memory.bytes = std::size_t{512} << 20;
    kernel_ = std::make_unique<plat::Kernel>(o);
    TcpipConfig c;
    c.tick_ms = 10;
    config_ = pair_config(c);
    ok_ = ZEK_Init_c_tcpip(&config_) == ZEK_STATUS_PASS && open_pair();
  }

  ~BenchPair() override {
    if (ok_) close_pair();
    ZEK_Cleanup_c_tcpip();
  }

  static BenchPair& get() {
    static BenchPair pair;
    return pair;
  }

  bool ok() const { return ok_ && failure_.empty(); }
  const std::string& failure() const { return failure_; }

  // A connected pair of TCP sockets: {client on A, server on B}.
  std::pair<socket*, socket*> connection(std::uint16_t port) {
    socket* head = listener(kHostB, port);
    socket* client = make_socket();
    if (head == nullptr || client == nullptr) return {nullptr, nullptr};
    if (const int e = connect(client, kHostB, port); e != 0) {
      pair_failure("connect: error " + std::to_string(e));
      return {nullptr, nullptr};
    }
    socket* server = accept_within(head);
    if (server == nullptr) pair_failure("no connection accepted");
    close(head);
    return {client, server};
  }

  // Sends `n` bytes from `from` and takes them at `to`, `chunk` bytes at a
  // time; false if they do not all arrive within a minute of virtual time.
  bool stream(socket* from, socket* to, std::size_t n, std::uint8_t* buffer, std::size_t chunk) {
    std::size_t sent = 0, got = 0;
    return run_until(
        [&] {
          while (sent < n) {
            const std::size_t k = socket_send_some(from, buffer, std::min(chunk, n - sent));
            if (k == 0) break;
            sent += k;
          }
          pump();
          for (std::size_t k; (k = socket_receive_into(to, buffer, chunk)) > 0;) got += k;
          return got >= n;
        },
        60 * 100);
  }

  // Closes both ends and lets the close handshake and TIME-WAIT pass.
  void finish(socket* a, socket* b) {
    close(a);
    close(b);
    run_ticks(700);
  }

  // A port no earlier run has used.
  std::uint16_t fresh_port() { return next_port_++; }

  bool datagram_socket(socket** so, std::uint32_t address, std::uint16_t port) {
    *so = make_socket(SOCK_DGRAM);
    return *so != nullptr && bind(*so, address, port) == 0;
  }

  using TcpPair::accept_within;
  using TcpPair::close;
  using TcpPair::make_socket;
  using TcpPair::pump;
  using TcpPair::run_ticks;
  using TcpPair::run_until;

  // Moves the virtual clock and runs the stack's callouts that fell due.
  void tick_clock(std::int64_t ticks) override {
    kernel_->clock().advance(ticks * config_.tick_ms * plat::Clock::kUnitsPerMs);
    KeFlushQueuedDpcs();
    BdcLocked lock;
    SoftClock();
  }

 protected:
  void pair_failure(const std::string& what) override {
    if (failure_.empty()) failure_ = what;
  }

 private:
  std::unique_ptr<plat::Kernel> kernel_;
  TcpipConfig config_;
  bool ok_ = false;
  std::uint16_t next_port_ = 5001;
  std::string failure_;
};

bool ready(benchmark::State& state, BenchPair& pair) {
  if (pair.ok()) return true;
  state.SkipWithError(pair.failure().empty() ? "the stack did not start" : pair.failure().c_str());
  return false;
}

// Bulk transfer in one direction, in pieces of the argument's size.
void StackTcpBulk(benchmark::State& state) {
  BenchPair& pair = BenchPair::get();
  if (!ready(state, pair)) return;
  auto [a, b] = pair.connection(pair.fresh_port());
  if (a == nullptr || b == nullptr) return state.SkipWithError("no connection");
  const auto chunk = static_cast<std::size_t>(state.range(0));
  std::vector<std::uint8_t> buffer(chunk, 0x5A);
  constexpr std::size_t kPerIteration = std::size_t{1} << 20;
  for (auto _ : state) {
    if (!pair.stream(a, b, kPerIteration, buffer.data(), chunk)) {
      state.SkipWithError("the stream stalled");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPerIteration));
  pair.finish(a, b);
}
BENCHMARK(StackTcpBulk)->Arg(16384)->Arg(65536)->UseRealTime();

// One byte to the server and one back, as a request and its response.
void StackTcpRoundTrip(benchmark::State& state) {
  BenchPair& pair = BenchPair::get();
  if (!ready(state, pair)) return;
  auto [a, b] = pair.connection(pair.fresh_port());
  if (a == nullptr || b == nullptr) return state.SkipWithError("no connection");
  std::uint8_t byte = 1;
  for (auto _ : state) {
    if (!pair.stream(a, b, 1, &byte, 1) || !pair.stream(b, a, 1, &byte, 1)) {
      state.SkipWithError("the exchange stalled");
      break;
    }
  }
  pair.finish(a, b);
}
BENCHMARK(StackTcpRoundTrip)->UseRealTime();

// Connect, accept, and both ends closed; TIME-WAIT is let pass (virtual
// time) every few connections so the socket table never fills.
void StackTcpConnection(benchmark::State& state) {
  BenchPair& pair = BenchPair::get();
  if (!ready(state, pair)) return;
  int since_reap = 0;
  for (auto _ : state) {
    auto [a, b] = pair.connection(pair.fresh_port());
    if (a == nullptr || b == nullptr) {
      state.SkipWithError("no connection");
      break;
    }
    pair.close(a);
    pair.close(b);
    pair.pump();
    if (++since_reap == 16) {
      state.PauseTiming();
      pair.run_ticks(700);
      since_reap = 0;
      state.ResumeTiming();
    }
  }
  pair.run_ticks(700);
}
BENCHMARK(StackTcpConnection);

// Datagrams of the argument's size from A to B, 16 per round.
void StackUdpDatagrams(benchmark::State& state) {
  BenchPair& pair = BenchPair::get();
  if (!ready(state, pair)) return;
  socket* a = nullptr;
  socket* b = nullptr;
  if (!pair.datagram_socket(&a, kHostA, 6001) || !pair.datagram_socket(&b, kHostB, 6002)) {
    return state.SkipWithError("no datagram sockets");
  }
  const auto size = static_cast<std::size_t>(state.range(0));
  std::vector<std::uint8_t> buffer(2048, 0x33);
  const sockaddr_in to = make_sockaddr_in(kHostB, 6002);
  constexpr int kBatch = 16;
  std::int64_t received = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) socket_send_some(a, buffer.data(), size, 0, &to);
    pair.pump();
    while (socket_receive_into(b, buffer.data(), buffer.size()) > 0) ++received;
  }
  state.SetItemsProcessed(received);
  state.SetBytesProcessed(received * static_cast<std::int64_t>(size));
  if (received < static_cast<std::int64_t>(state.iterations()) * kBatch) {
    state.counters["lost"] = static_cast<double>(static_cast<std::int64_t>(state.iterations()) * kBatch - received);
  }
  pair.close(a);
  pair.close(b);
}
BENCHMARK(StackUdpDatagrams)->Arg(64)->Arg(1472);

// An ICMP echo request from a raw socket on A, answered by B's stack.
void StackPing(benchmark::State& state) {
  BenchPair& pair = BenchPair::get();
  if (!ready(state, pair)) return;
  socket* so = pair.make_socket(SOCK_RAW, IPPROTO_ICMP);
  if (so == nullptr) return state.SkipWithError("no raw socket");
  const sockaddr_in to = make_sockaddr_in(kHostB);
  std::vector<std::uint8_t> reply(2048);
  std::uint16_t sequence = 0;
  for (auto _ : state) {
    const Bytes echo = icmp_message(8, 0, (0x5A5Au << 16) | ++sequence, Bytes(56, 0x11));
    socket_send_some(so, echo.data(), echo.size(), 0, &to);
    pair.pump();
    // The raw socket sees its own request go out too on some paths; wait
    // for the reply (type 0).
    bool answered = false;
    for (std::size_t n; !answered && (n = socket_receive_into(so, reply.data(), reply.size())) > 0;) {
      const std::size_t hl = (reply[0] & 0xF) * 4u;
      answered = n > hl && reply[hl] == 0;
    }
    if (!answered) {
      state.SkipWithError("no echo reply");
      break;
    }
  }
  pair.close(so);
}
BENCHMARK(StackPing);

}  // namespace

BENCHMARK_MAIN();
