#include "tests/proxy/tcpip/linux/tcp_linux_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace linuxpeer {

namespace {

sockaddr_in to_sockaddr(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(address);
  sin.sin_port = htons(port);
  return sin;
}

int stream_socket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }

}  // namespace

int tcp_listen(std::uint32_t address, std::uint16_t port) {
  const int fd = stream_socket();
  if (fd < 0) return -1;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  const sockaddr_in sin = to_sockaddr(address, port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&sin), sizeof(sin)) != 0 || ::listen(fd, 8) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int tcp_connect(std::uint32_t address, std::uint16_t port) {
  const int fd = stream_socket();
  if (fd < 0) return -1;
  const sockaddr_in sin = to_sockaddr(address, port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&sin), sizeof(sin)) != 0 && errno != EINPROGRESS) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int tcp_accept(int listener) { return ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC); }

int tcp_connect_state(int fd) {
  int error = 0;
  socklen_t len = sizeof(error);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) return -1;
  sockaddr_in peer{};
  socklen_t plen = sizeof(peer);
  return ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &plen) == 0 ? 0 : 1;
}

long tcp_send(int fd, const std::uint8_t* data, std::size_t len) {
  const ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n >= 0) return n;
  return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
}

bool tcp_receive(int fd, std::vector<std::uint8_t>* out) {
  std::uint8_t buffer[65536];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n > 0) {
      out->insert(out->end(), buffer, buffer + n);
      continue;
    }
    if (n == 0) return false;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
}

void tcp_shutdown_write(int fd) { ::shutdown(fd, SHUT_WR); }

void tcp_close(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace linuxpeer
