// The host stacks of two hosts on the lab wire (twohost_lab.h), driven
// through zeksock by this program as a process of HOSTA against servers of
// HOSTB (twohost_peer): a 64-byte send-and-receive round trip, bulk TCP of
// 1 MB and 100 MB, UDP datagrams of 64 and 1472 bytes echoed in windows of
// 16, an ICMP echo, and TCP connections set up and closed; then bulk TCP in
// writes of 16 and 64 KiB and a 1-byte request and answer, as the stack's
// own benchmark measures them. The baselines of
// the same run: the same 64-byte exchange over Linux loopback TCP here, and
// Linux's loopback TCP bulk, connections and UDP and a Unix-socket
// ping-pong from linux_baseline_bench.cpp, and the datagram echo between
// two Linux processes over loopback.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "include/zek/ioctl.h"
#include "include/zek/zekbase.h"
#include "include/zek/zeksock.h"
#include "tests/proxy/tcpip/bench/linux_baseline.h"
#include "tests/proxy/twohost/tcp_stats.h"
#include "tests/proxy/twohost/twohost_lab.h"
#include "tests/proxy/twohost/zeksock_calls.h"

namespace {

constexpr std::uint16_t kTcpPort = 5401, kUdpPort = 5402;
constexpr int kStream = 1, kDgram = 2, kRaw = 3, kShutWrite = 1;
// Socket buffers of both ends of the TCP connections (the stack's defaults,
// as BSD's, are 32 and 56 KiB; Linux's loopback grows its own to megabytes):
// a window of 256 KiB, scaled. Not more: the proxy driver's receive ring
// holds 511 frames, and a window of more segments than that (with their
// acknowledgements) overruns it whenever the receiving host is slow to run,
// so the adapter drops frames and TCP retransmits.
constexpr std::int32_t kTcpBuffer = 1 << 18;
constexpr int kSolSocket = 0xFFFF, kSoSndBuf = 0x1001, kSoRcvBuf = 0x1002;

std::unique_ptr<twohost::Lab> g_lab;
const ZekUserSocketTable* t = nullptr;
std::string g_why = "not started";

// The hosts, HOSTB's servers and zeksock in this process, once.
bool ready(benchmark::State& state) {
  if (g_lab == nullptr) {
    g_lab = std::make_unique<twohost::Lab>();
    g_why = g_lab->start();
    if (g_why.empty() &&
        (!g_lab->server(1, {"serve", std::to_string(kTcpPort), std::to_string(kTcpBuffer)}, "serve.txt") ||
         !g_lab->server(1, {"udp-serve", std::to_string(kUdpPort)}, "udp.txt"))) {
      g_why = "HOSTB's servers did not start";
    }
    if (g_why.empty()) {
      setenv("ZEK_HOST", g_lab->dir(0).c_str(), 1);
      if (twohost::start_sockets(&t) != 0) g_why = "zeksock did not start";
    }
  }
  if (!g_why.empty()) state.SkipWithError(g_why.c_str());
  return g_why.empty();
}

ZekSanAddress peer_address(std::uint16_t port) { return twohost::address_of(t->inet_addr(twohost::kAddress[1]), port); }
bool wait_for(std::int64_t s, std::int16_t events, int ms) { return twohost::wait_for(t, s, events, ms); }
bool send_all(std::int64_t s, const void* p, std::size_t n) { return twohost::send_all(t, s, p, n); }
bool recv_all(std::int64_t s, void* p, std::size_t n) { return twohost::recv_all(t, s, p, n); }

// A connection to HOSTB's server with its first byte, the request.
std::int64_t connection(char request) {
  const std::int64_t s = t->socket(2, kStream, 0);
  const ZekSanAddress a = peer_address(kTcpPort);
  if (s < 0) return -1;
  if (t->setsockopt(s, kSolSocket, kSoSndBuf, &kTcpBuffer, sizeof(kTcpBuffer)) != 0 ||
      t->setsockopt(s, kSolSocket, kSoRcvBuf, &kTcpBuffer, sizeof(kTcpBuffer)) != 0 ||
      t->connect(s, &a, sizeof(a)) != 0 || t->send(s, &request, 1, 0) != 1) {
    t->close(s);
    return -1;
  }
  return s;
}

void TwoHostZeksockRoundTrip64(benchmark::State& state) {
  if (!ready(state)) return;
  const std::int64_t s = connection('E');
  if (s < 0) return state.SkipWithError("no connection");
  const std::int32_t one = 1;
  t->setsockopt(s, 6, 1, &one, sizeof(one));  // TCP_NODELAY
  std::uint8_t b[64] = {1};
  for (auto _ : state) {
    if (!send_all(s, b, sizeof b) || !recv_all(s, b, sizeof b)) {
      state.SkipWithError("the exchange failed");
      break;
    }
  }
  t->close(s);
}
BENCHMARK(TwoHostZeksockRoundTrip64)->UseRealTime();

// One connection's transfer of `bytes` in writes of `write_size`, ended by
// the server's "done" once it read everything.
bool transfer(std::size_t bytes, std::size_t write_size) {
  static const std::vector<std::uint8_t> data(1 << 18, 0x5A);
  const std::int64_t s = connection('H');
  bool ok = s >= 0;
  for (std::size_t left = bytes; ok && left > 0;) {
    const std::size_t n = std::min({left, write_size, data.size()});
    ok = send_all(s, data.data(), n);
    left -= n;
  }
  std::uint8_t done[4];
  ok = ok && t->shutdown(s, kShutWrite) == 0 && recv_all(s, done, sizeof done);
  if (s >= 0) t->close(s);
  return ok;
}

// HOSTA's (the sender's) TCP counters over a benchmark: data segments sent,
// those sent again, and retransmission time-outs, per iteration, so that a
// slow figure shows whether the wire lost frames.
class SenderCounters {
 public:
  SenderCounters() { read_ = twohost::read_tcp_stats(before_); }

  void report(benchmark::State& state) {
    twohost::TcpStatsBlock after = {};
    if (!read_ || !twohost::read_tcp_stats(after)) return;
    const auto per = [&](std::size_t word) {
      return benchmark::Counter(static_cast<double>(after[word] - before_[word]), benchmark::Counter::kAvgIterations);
    };
    state.counters["segments"] = per(kSent);
    state.counters["resent"] = per(kResent);
    state.counters["timeouts"] = per(kTimeouts);
  }

 private:
  // Words of the statistics block.
  static constexpr std::size_t kTimeouts = 10, kSent = 16, kResent = 18;
  twohost::TcpStatsBlock before_ = {};
  bool read_ = false;
};

void TwoHostZeksockBulk(benchmark::State& state) {
  if (!ready(state)) return;
  const auto bytes = static_cast<std::size_t>(state.range(0));
  SenderCounters counters;
  for (auto _ : state) {
    if (!transfer(bytes, 1 << 18)) {
      state.SkipWithError("the transfer failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  counters.report(state);
}
BENCHMARK(TwoHostZeksockBulk)->Arg(1 << 20)->Arg(100 << 20)->Iterations(1)->UseRealTime();

void TwoHostUdpDatagrams(benchmark::State& state) {
  if (!ready(state)) return;
  const int size = static_cast<int>(state.range(0));
  constexpr int kWindow = 16;
  const std::int64_t s = t->socket(2, kDgram, 0);
  const ZekSanAddress to = peer_address(kUdpPort);
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(size), 0x33);
  std::int64_t echoed = 0, lost = 0;
  for (auto _ : state) {
    for (int i = 0; i < kWindow; ++i) t->sendto(s, buffer.data(), size, 0, &to, sizeof(to));
    for (int i = 0; i < kWindow; ++i) {
      if (!wait_for(s, ZEK_POLLIN, 1000)) {
        lost += kWindow - i;
        break;
      }
      if (t->recv(s, buffer.data(), size, 0) == size) ++echoed;
    }
  }
  t->close(s);
  state.SetItemsProcessed(echoed);
  state.counters["lost"] = static_cast<double>(lost);
}
BENCHMARK(TwoHostUdpDatagrams)->Arg(64)->Arg(1472)->UseRealTime();

void TwoHostPing(benchmark::State& state) {
  if (!ready(state)) return;
  const std::int64_t s = t->socket(2, kRaw, 1);
  const ZekSanAddress to = peer_address(0);
  std::uint8_t request[64] = {8, 0, 0, 0, 0x42, 0x42};
  std::uint8_t reply[256];
  std::uint16_t seq = 0;
  for (auto _ : state) {
    ++seq;
    request[2] = request[3] = 0;
    request[6] = static_cast<std::uint8_t>(seq >> 8);
    request[7] = static_cast<std::uint8_t>(seq);
    std::uint32_t sum = 0;
    for (int i = 0; i < 64; i += 2) sum += static_cast<std::uint32_t>(request[i] << 8 | request[i + 1]);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    request[2] = static_cast<std::uint8_t>(~sum >> 8);
    request[3] = static_cast<std::uint8_t>(~sum);
    t->sendto(s, request, sizeof request, 0, &to, sizeof(to));
    bool answered = false;
    while (!answered && wait_for(s, ZEK_POLLIN, 2000)) {
      const int n = t->recv(s, reply, sizeof reply, 0);
      const int ihl = (reply[0] & 0xF) * 4;
      answered = n >= ihl + 8 && reply[ihl] == 0 && reply[ihl + 7] == request[7] && reply[ihl + 6] == request[6];
    }
    if (!answered) {
      state.SkipWithError("no echo reply");
      break;
    }
  }
  t->close(s);
}
BENCHMARK(TwoHostPing)->UseRealTime();

void TwoHostTcpConnections(benchmark::State& state) {
  if (!ready(state)) return;
  for (auto _ : state) {
    const std::int64_t s = connection('C');
    std::uint8_t b;
    const bool ok = s >= 0 && t->recv(s, &b, 1, 0) == 0;
    if (s >= 0) t->close(s);
    if (!ok) {
      state.SkipWithError("the connection failed");
      break;
    }
  }
}
BENCHMARK(TwoHostTcpConnections)->UseRealTime();

// Bulk TCP in writes of the argument's size (16 and 64 KiB, as the Linux
// loopback baseline's LinuxLoopbackTcpBulk), 8 MiB a connection.
void TwoHostZeksockBulkWrites(benchmark::State& state) {
  if (!ready(state)) return;
  constexpr std::size_t kBytes = std::size_t{8} << 20;
  SenderCounters counters;
  for (auto _ : state) {
    if (!transfer(kBytes, static_cast<std::size_t>(state.range(0)))) {
      state.SkipWithError("the transfer failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytes));
  counters.report(state);
}
BENCHMARK(TwoHostZeksockBulkWrites)->Arg(16384)->Arg(65536)->UseRealTime();

// A 1-byte request and its 1-byte answer (beside LinuxLoopbackTcpRoundTrip
// and UnixSocketRoundTrip).
void TwoHostZeksockRoundTrip1(benchmark::State& state) {
  if (!ready(state)) return;
  const std::int64_t s = connection('E');
  if (s < 0) return state.SkipWithError("no connection");
  const std::int32_t one = 1;
  t->setsockopt(s, 6, 1, &one, sizeof(one));  // TCP_NODELAY
  std::uint8_t b = 1;
  for (auto _ : state) {
    if (t->send(s, &b, 1, 0) != 1 || t->recv(s, &b, 1, 0) != 1) {
      state.SkipWithError("the exchange failed");
      break;
    }
  }
  t->close(s);
}
BENCHMARK(TwoHostZeksockRoundTrip1)->UseRealTime();

// The 64-byte exchange over Linux loopback TCP (a thread echoes).
void LinuxLoopbackTcpRoundTrip64(benchmark::State& state) {
  int fds[2];
  if (!linuxbaseline::loopback_pair(fds)) return state.SkipWithError("no loopback connection");
  linuxbaseline::round_trips(state, fds[0], fds[1], 64);
}
BENCHMARK(LinuxLoopbackTcpRoundTrip64)->UseRealTime();

// The baseline of TwoHostUdpDatagrams: the same echo in windows of 16
// between two Linux processes over loopback UDP (a child process echoes
// each datagram back to its sender).
void LinuxProcessesUdpEcho(benchmark::State& state) {
  const int size = static_cast<int>(state.range(0));
  constexpr int kWindow = 16;
  const int echo = ::socket(AF_INET, SOCK_DGRAM, 0);
  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(to);
  if (echo < 0 || s < 0 || ::bind(echo, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0 ||
      ::getsockname(echo, reinterpret_cast<sockaddr*>(&to), &len) != 0) {
    if (echo >= 0) ::close(echo);
    if (s >= 0) ::close(s);
    return state.SkipWithError("no datagram sockets");
  }
  const int big = 1 << 20;
  ::setsockopt(echo, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
  ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
  const pid_t child = fork();
  if (child == 0) {
    std::uint8_t b[2048];
    for (;;) {
      sockaddr_in from{};
      socklen_t from_len = sizeof(from);
      const ssize_t n = ::recvfrom(echo, b, sizeof b, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
      if (n <= 0) _exit(0);
      if (n == 1 && b[0] == 0xFF) _exit(0);  // the parent is done
      ::sendto(echo, b, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), from_len);
    }
  }
  ::close(echo);
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(size), 0x33);
  std::int64_t echoed = 0, lost = 0;
  for (auto _ : state) {
    for (int i = 0; i < kWindow; ++i) {
      ::sendto(s, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    }
    for (int i = 0; i < kWindow; ++i) {
      pollfd p{s, POLLIN, 0};
      if (::poll(&p, 1, 1000) != 1) {
        lost += kWindow - i;
        break;
      }
      if (::recv(s, buffer.data(), buffer.size(), 0) == size) ++echoed;
    }
  }
  const std::uint8_t done = 0xFF;
  ::sendto(s, &done, 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  int status = 0;
  waitpid(child, &status, 0);
  ::close(s);
  state.SetItemsProcessed(echoed);
  state.counters["lost"] = static_cast<double>(lost);
}
BENCHMARK(LinuxProcessesUdpEcho)->Arg(64)->Arg(1472)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (t != nullptr) ZEK_CleanupLib_Sockets();
  g_lab.reset();
  return 0;
}
