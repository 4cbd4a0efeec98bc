// zeksock's speed over the host stack's loopback interface in one zekhost,
// beside the same program over Linux's loopback TCP in the same run: a
// 64-byte send-and-receive round trip, and a 100 MB one-way transfer.
//
// The program starts its own zekhost with the proxy driver.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "include/zek/ioctl.h"
#include "include/zek/zekbase.h"
#include "include/zek/zeksock.h"
#include "tests/support/lab.h"

namespace {

const ZekUserSocketTable* g_table = nullptr;

// The same calls through zeksock and through Linux.
struct Zeksock {
  static std::pair<std::int64_t, std::int64_t> pair() {
    const auto* t = g_table;
    const std::int64_t l = t->socket(2, 1, 0);
    ZekSanAddress a{};
    a.Family = static_cast<std::uint16_t>(16 | (2 << 8));
    a.Address = 0x0100007F;
    t->bind(l, &a, sizeof(a));
    t->listen(l, 4);
    std::uint32_t length = sizeof(a);
    t->getsockname(l, &a, &length);
    const std::int64_t c = t->socket(2, 1, 0);
    t->connect(c, &a, sizeof(a));
    const std::int64_t s = t->accept(l, nullptr, nullptr);
    t->close(l);
    const std::int32_t one = 1;
    t->setsockopt(c, 6, 1, &one, sizeof(one));
    t->setsockopt(s, 6, 1, &one, sizeof(one));
    return {c, s};
  }
  static long send(std::int64_t s, const void* p, std::size_t n) { return g_table->send(s, p, static_cast<int>(n), 0); }
  static long recv(std::int64_t s, void* p, std::size_t n) { return g_table->recv(s, p, static_cast<int>(n), 0); }
  static void close(std::int64_t s) { g_table->close(s); }
};

struct LinuxLoopback {
  static std::pair<std::int64_t, std::int64_t> pair() {
    const int l = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    ::listen(l, 4);
    socklen_t length = sizeof(a);
    ::getsockname(l, reinterpret_cast<sockaddr*>(&a), &length);
    const int c = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    const int s = ::accept(l, nullptr, nullptr);
    ::close(l);
    const int one = 1;
    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return {c, s};
  }
  static long send(std::int64_t s, const void* p, std::size_t n) { return ::send(static_cast<int>(s), p, n, 0); }
  static long recv(std::int64_t s, void* p, std::size_t n) { return ::recv(static_cast<int>(s), p, n, 0); }
  static void close(std::int64_t s) { ::close(static_cast<int>(s)); }
};

template <typename Api>
bool exactly(std::int64_t s, std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    const long got = Api::recv(s, p, n);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

template <typename Api>
bool send_all(std::int64_t s, const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    const long sent = Api::send(s, p, n);
    if (sent <= 0) return false;
    p += sent;
    n -= static_cast<std::size_t>(sent);
  }
  return true;
}

template <typename Api>
void RoundTrip64(benchmark::State& state) {
  if (std::is_same_v<Api, Zeksock> && g_table == nullptr) {
    state.SkipWithError("no zekhost with the proxy driver");
    return;
  }
  auto [c, s] = Api::pair();
  std::thread echo([s = s] {
    std::uint8_t buffer[64];
    while (exactly<Api>(s, buffer, sizeof(buffer)) && send_all<Api>(s, buffer, sizeof(buffer))) {
    }
  });
  std::uint8_t message[64] = {1, 2, 3};
  for (auto _ : state) {
    if (!send_all<Api>(c, message, sizeof(message)) || !exactly<Api>(c, message, sizeof(message))) {
      state.SkipWithError("the echo stopped");
      break;
    }
  }
  Api::close(c);
  echo.join();
  Api::close(s);
}

template <typename Api>
void Bulk(benchmark::State& state) {
  if (std::is_same_v<Api, Zeksock> && g_table == nullptr) {
    state.SkipWithError("no zekhost with the proxy driver");
    return;
  }
  const auto bytes = static_cast<std::size_t>(state.range(0));
  std::vector<std::uint8_t> chunk(256 << 10, 0x5A);
  std::vector<std::uint8_t> in(256 << 10);
  for (auto _ : state) {
    auto [c, s] = Api::pair();
    std::thread sender([c = c, bytes, &chunk] {
      for (std::size_t sent = 0; sent < bytes;) {
        const std::size_t n = std::min(chunk.size(), bytes - sent);
        if (!send_all<Api>(c, chunk.data(), n)) return;
        sent += n;
      }
    });
    std::size_t received = 0;
    while (received < bytes) {
      const long got = Api::recv(s, in.data(), in.size());
      if (got <= 0) break;
      received += static_cast<std::size_t>(got);
    }
    sender.join();
    Api::close(c);
    Api::close(s);
    if (received != bytes) {
      state.SkipWithError("the transfer stopped short");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

constexpr std::int64_t k100MB = 100 << 20;

BENCHMARK_TEMPLATE(RoundTrip64, LinuxLoopback)->UseRealTime();
BENCHMARK_TEMPLATE(RoundTrip64, Zeksock)->UseRealTime();
BENCHMARK_TEMPLATE(Bulk, LinuxLoopback)->Arg(k100MB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_TEMPLATE(Bulk, Zeksock)->Arg(k100MB)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const std::filesystem::path dir = zeklab::make_temp_dir("zeksock-bench");
  const std::filesystem::path host_dir = dir / "host";
  std::filesystem::create_directories(host_dir);
  {
    std::ofstream conf(host_dir / "host.conf");
    conf << "[host]\nname = BENCH\nmemory_mb = 256\n\n[driver zekproxy]\npath = " << ZEK_PROXY_DRIVER << "\n";
  }
  const pid_t host = zeklab::spawn_host(host_dir);
  bool initialised = false;
  if (zeklab::eventually([&] { return zeklab::host_ready(host_dir); })) {
    setenv("ZEK_HOST", host_dir.c_str(), 1);
    ZekSocketsInitParams params{0, 0};
    void* table = nullptr;
    initialised = ZEK_InitLib_Sockets(&params, ZEK_ABI_COOKIE) == ZEK_STATUS_PASS;
    if (initialised && ZEK_GetInterface(ZEK_SOCKETS_INTERFACE, &table) == ZEK_STATUS_PASS) {
      g_table = static_cast<const ZekUserSocketTable*>(table);
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (initialised) ZEK_CleanupLib_Sockets();
  zeklab::terminate(host);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
