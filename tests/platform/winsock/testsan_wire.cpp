#include "tests/platform/winsock/testsan_wire.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/common/lxsock.h"

namespace testsan {
namespace {

sockaddr_un name_of(std::uint32_t address, std::uint16_t port, socklen_t* length) {
  sockaddr_un name{};
  name.sun_family = AF_UNIX;
  const int n = std::snprintf(name.sun_path + 1, sizeof name.sun_path - 1, "zektestsan-%08x-%u", address,
                              static_cast<unsigned>(__builtin_bswap16(port)));
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
  return name;
}

}  // namespace

int listen_on(std::uint32_t address, std::uint16_t port, int backlog, bool* in_use) {
  socklen_t length;
  sockaddr_un name = name_of(address, port, &length);
  const int fd = plat::lx::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (plat::lx::bind(fd, reinterpret_cast<sockaddr*>(&name), length) != 0 || plat::lx::listen(fd, backlog) != 0) {
    *in_use = errno == EADDRINUSE;
    ::close(fd);
    return -1;
  }
  return fd;
}

int accept_one(int listener) {
  for (;;) {
    const int fd = plat::lx::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

int connect_to(std::uint32_t address, std::uint16_t port) {
  socklen_t length;
  sockaddr_un name = name_of(address, port, &length);
  const int fd = plat::lx::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (plat::lx::connect(fd, reinterpret_cast<sockaddr*>(&name), length) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool read_all(int fd, void* data, std::size_t size) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool write_all(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = plat::lx::sendto(fd, p, size, MSG_NOSIGNAL, nullptr, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void shut(int fd) { plat::lx::shutdown(fd, SHUT_RDWR); }

}  // namespace testsan
