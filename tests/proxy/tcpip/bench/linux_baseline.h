// Linux's own sockets as the benchmarks' baselines use them: loopback TCP
// connections and a request-and-answer exchange over a connected pair.
#pragma once

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <thread>
#include <vector>

namespace linuxbaseline {

// A listening loopback TCP socket on a port of the kernel's choosing.
inline int loopback_listener(sockaddr_in* where) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || ::listen(fd, 64) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  *where = a;
  return fd;
}

// A connected loopback TCP pair, Nagle off on both: {client, server}.
inline bool loopback_pair(int fds[2]) {
  sockaddr_in where{};
  const int head = loopback_listener(&where);
  if (head < 0) return false;
  fds[0] = ::socket(AF_INET, SOCK_STREAM, 0);
  const bool ok = fds[0] >= 0 && ::connect(fds[0], reinterpret_cast<sockaddr*>(&where), sizeof(where)) == 0 &&
                  (fds[1] = ::accept(head, nullptr, nullptr)) >= 0;
  ::close(head);
  const int one = 1;
  if (ok) {
    ::setsockopt(fds[0], IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    ::setsockopt(fds[1], IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  }
  return ok;
}

inline bool write_all(int fd, const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t k = ::write(fd, p, n);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<std::size_t>(k);
  }
  return true;
}

inline bool read_all(int fd, std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t k = ::read(fd, p, n);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<std::size_t>(k);
  }
  return true;
}

// Requests of `size` bytes from `client`, each answered with its own bytes
// by a thread on `server`; both ends are closed afterwards.
inline void round_trips(benchmark::State& state, int client, int server, std::size_t size) {
  std::thread echo([server, size] {
    std::vector<std::uint8_t> b(size);
    while (read_all(server, b.data(), size) && write_all(server, b.data(), size)) {
    }
  });
  std::vector<std::uint8_t> b(size, 1);
  for (auto _ : state) {
    if (!write_all(client, b.data(), size) || !read_all(client, b.data(), size)) {
      state.SkipWithError("the exchange failed");
      break;
    }
  }
  ::shutdown(client, SHUT_WR);
  echo.join();
  ::close(client);
  ::close(server);
}

}  // namespace linuxbaseline
