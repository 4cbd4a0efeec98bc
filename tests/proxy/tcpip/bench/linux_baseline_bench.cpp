// The baselines of the stack's benchmarks, measured in the same run with
// Linux's own sockets: TCP bulk throughput over loopback (a thread reads
// everything), a 1-byte request and response over loopback TCP and over a
// Unix stream socket (a thread answers), loopback connections set up and
// torn down, and UDP datagrams over loopback.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "tests/proxy/tcpip/bench/linux_baseline.h"

namespace {

using namespace linuxbaseline;

void LinuxLoopbackTcpBulk(benchmark::State& state) {
  int fds[2];
  if (!loopback_pair(fds)) return state.SkipWithError("no loopback connection");
  std::thread reader([fd = fds[1]] {
    std::vector<std::uint8_t> sink(1 << 20);
    while (::read(fd, sink.data(), sink.size()) > 0) {
    }
  });
  const auto chunk = static_cast<std::size_t>(state.range(0));
  std::vector<std::uint8_t> buffer(chunk, 0x5A);
  constexpr std::size_t kPerIteration = std::size_t{1} << 20;
  for (auto _ : state) {
    for (std::size_t sent = 0; sent < kPerIteration; sent += chunk) write_all(fds[0], buffer.data(), chunk);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPerIteration));
  ::shutdown(fds[0], SHUT_WR);
  reader.join();
  ::close(fds[0]);
  ::close(fds[1]);
}
BENCHMARK(LinuxLoopbackTcpBulk)->Arg(16384)->Arg(65536)->UseRealTime();

void LinuxLoopbackTcpRoundTrip(benchmark::State& state) {
  int fds[2];
  if (!loopback_pair(fds)) return state.SkipWithError("no loopback connection");
  round_trips(state, fds[0], fds[1], 1);
}
BENCHMARK(LinuxLoopbackTcpRoundTrip)->UseRealTime();

void UnixSocketRoundTrip(benchmark::State& state) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return state.SkipWithError("no socket pair");
  round_trips(state, fds[0], fds[1], 1);
}
BENCHMARK(UnixSocketRoundTrip)->UseRealTime();

void LinuxLoopbackTcpConnection(benchmark::State& state) {
  sockaddr_in where{};
  const int head = loopback_listener(&where);
  if (head < 0) return state.SkipWithError("no loopback listener");
  for (auto _ : state) {
    const int c = ::socket(AF_INET, SOCK_STREAM, 0);
    if (c < 0 || ::connect(c, reinterpret_cast<sockaddr*>(&where), sizeof(where)) != 0) {
      if (c >= 0) ::close(c);
      state.SkipWithError("connect failed");
      break;
    }
    const int s = ::accept(head, nullptr, nullptr);
    ::close(c);
    if (s >= 0) ::close(s);
  }
  ::close(head);
}
BENCHMARK(LinuxLoopbackTcpConnection);

// Datagrams of the argument's size between two loopback sockets of one
// thread, 16 per round, as the stack's benchmark sends them.
void LinuxLoopbackUdpDatagrams(benchmark::State& state) {
  const int a = ::socket(AF_INET, SOCK_DGRAM, 0);
  const int b = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(to);
  const int big = 4 << 20;
  if (a < 0 || b < 0 || ::bind(b, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0 ||
      ::getsockname(b, reinterpret_cast<sockaddr*>(&to), &len) != 0) {
    if (a >= 0) ::close(a);
    if (b >= 0) ::close(b);
    return state.SkipWithError("no datagram sockets");
  }
  ::setsockopt(b, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
  const auto size = static_cast<std::size_t>(state.range(0));
  std::vector<std::uint8_t> buffer(2048, 0x33);
  constexpr int kBatch = 16;
  std::int64_t received = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      ::sendto(a, buffer.data(), size, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    }
    while (::recv(b, buffer.data(), buffer.size(), MSG_DONTWAIT) > 0) ++received;
  }
  state.SetItemsProcessed(received);
  state.SetBytesProcessed(received * static_cast<std::int64_t>(size));
  ::close(a);
  ::close(b);
}
BENCHMARK(LinuxLoopbackUdpDatagrams)->Arg(64)->Arg(1472);

}  // namespace
