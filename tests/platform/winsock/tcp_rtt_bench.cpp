// A 64-byte TCP round trip through the WinSock stand-in, beside the same
// exchange on plain Linux sockets in the same run: a thread echoes, the
// benchmark thread sends 64 bytes and waits for them to come back.
//
// In this program socket(), send() and the others are WinSock's; the plain
// Linux calls are taken from the C library itself.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <thread>

#include "platform/winsock/winsock2.h"

namespace {

constexpr int kMessage = 64;

// The C library's own socket calls (Linux's numbers and layouts).
struct Libc {
  int (*socket)(int, int, int);
  int (*bind)(int, const void*, unsigned);
  int (*listen)(int, int);
  int (*accept)(int, void*, unsigned*);
  int (*connect)(int, const void*, unsigned);
  long (*send)(int, const void*, std::size_t, int);
  long (*recv)(int, void*, std::size_t, int);
  int (*getsockname)(int, void*, unsigned*);
  int (*setsockopt)(int, int, int, const void*, unsigned);
  int (*close)(int);
};

Libc libc() {
  void* c = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
  Libc l;
  l.socket = reinterpret_cast<decltype(l.socket)>(dlsym(c, "socket"));
  l.bind = reinterpret_cast<decltype(l.bind)>(dlsym(c, "bind"));
  l.listen = reinterpret_cast<decltype(l.listen)>(dlsym(c, "listen"));
  l.accept = reinterpret_cast<decltype(l.accept)>(dlsym(c, "accept"));
  l.connect = reinterpret_cast<decltype(l.connect)>(dlsym(c, "connect"));
  l.send = reinterpret_cast<decltype(l.send)>(dlsym(c, "send"));
  l.recv = reinterpret_cast<decltype(l.recv)>(dlsym(c, "recv"));
  l.getsockname = reinterpret_cast<decltype(l.getsockname)>(dlsym(c, "getsockname"));
  l.setsockopt = reinterpret_cast<decltype(l.setsockopt)>(dlsym(c, "setsockopt"));
  l.close = reinterpret_cast<decltype(l.close)>(dlsym(c, "close"));
  return l;
}

template <typename Recv>
bool receive_all(Recv recv_some, char* buffer, int size) {
  int got = 0;
  while (got < size) {
    const long n = recv_some(buffer + got, size - got);
    if (n <= 0) return false;
    got += static_cast<int>(n);
  }
  return true;
}

void LinuxSockets(benchmark::State& state) {
  const Libc c = libc();
  constexpr int kLinuxSolTcp = 6, kLinuxNoDelay = 1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int listener = c.socket(AF_INET, SOCK_STREAM, 0);
  c.bind(listener, &address, sizeof address);
  c.listen(listener, 1);
  unsigned length = sizeof address;
  c.getsockname(listener, &address, &length);
  std::thread echo([&] {
    const int s = c.accept(listener, nullptr, nullptr);
    int one = 1;
    c.setsockopt(s, kLinuxSolTcp, kLinuxNoDelay, &one, sizeof one);
    char buffer[kMessage];
    while (
        receive_all([&](char* p, int n) { return c.recv(s, p, static_cast<std::size_t>(n), 0); }, buffer, kMessage)) {
      c.send(s, buffer, kMessage, 0);
    }
    c.close(s);
  });
  const int s = c.socket(AF_INET, SOCK_STREAM, 0);
  c.connect(s, &address, sizeof address);
  int one = 1;
  c.setsockopt(s, kLinuxSolTcp, kLinuxNoDelay, &one, sizeof one);
  char buffer[kMessage] = {};
  for (auto _ : state) {
    c.send(s, buffer, kMessage, 0);
    if (!receive_all([&](char* p, int n) { return c.recv(s, p, static_cast<std::size_t>(n), 0); }, buffer, kMessage)) {
      state.SkipWithError("the echo stopped");
      break;
    }
  }
  c.close(s);
  echo.join();
  c.close(listener);
}

void WinSockStandIn(benchmark::State& state) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(listener, 1);
  int length = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  const BOOL on = TRUE;
  std::thread echo([&] {
    SOCKET s = accept(listener, nullptr, nullptr);
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    char buffer[kMessage];
    while (receive_all([&](char* p, int n) { return static_cast<long>(recv(s, p, n, 0)); }, buffer, kMessage)) {
      send(s, buffer, kMessage, 0);
    }
    closesocket(s);
  });
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  char buffer[kMessage] = {};
  for (auto _ : state) {
    send(s, buffer, kMessage, 0);
    if (!receive_all([&](char* p, int n) { return static_cast<long>(recv(s, p, n, 0)); }, buffer, kMessage)) {
      state.SkipWithError("the echo stopped");
      break;
    }
  }
  closesocket(s);
  echo.join();
  closesocket(listener);
  WSACleanup();
}

BENCHMARK(LinuxSockets)->UseRealTime();
BENCHMARK(WinSockStandIn)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
