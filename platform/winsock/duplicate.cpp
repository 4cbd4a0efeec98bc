// Sockets handed to another process (WSADuplicateSocket): the Linux socket
// travels as a descriptor to the target's inbox, an abstract Unix datagram
// socket named after its pid that every process opens when it starts
// WinSock; the target's WSASocket picks it up by the token that the
// protocol information carries.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>

#include "platform/common/lxsock.h"
#include "platform/winsock/internal.h"

namespace plat::ws {
namespace {

struct Message {
  std::uint32_t magic;
  std::uint32_t token;
};
constexpr std::uint32_t kMagic = 0x5550445A;  // "ZDUP"

sockaddr_un inbox_of(std::uint32_t pid, socklen_t* length) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const int n = std::snprintf(address.sun_path + 1, sizeof address.sun_path - 1, "zekws-dup-%u", pid);
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
  return address;
}

struct Inbox {
  std::mutex mu;
  int fd = -1;
  std::map<std::uint32_t, int> waiting;  // token -> descriptor received before it was asked for
};

Inbox& inbox() {
  static auto* i = new Inbox;
  return *i;
}

}  // namespace

void duplicate_open_inbox() {
  Inbox& box = inbox();
  std::lock_guard lock(box.mu);
  if (box.fd >= 0) return;
  const int fd = lx::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return;
  socklen_t length;
  sockaddr_un address = inbox_of(static_cast<std::uint32_t>(getpid()), &length);
  if (lx::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    ::close(fd);
    return;
  }
  box.fd = fd;
}

int duplicate_send(Socket& s, std::uint32_t pid, std::uint32_t* token) {
  if (s.fd < 0) return kEopnotsupp;
  static std::mutex random_mu;
  static std::mt19937 random{std::random_device{}()};
  {
    std::lock_guard lock(random_mu);
    *token = random() | 1;
  }
  const int fd = lx::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return from_errno(errno);
  socklen_t length;
  sockaddr_un target = inbox_of(pid, &length);
  Message message{kMagic, *token};
  iovec iov{&message, sizeof message};
  char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr m{};
  m.msg_name = &target;
  m.msg_namelen = length;
  m.msg_iov = &iov;
  m.msg_iovlen = 1;
  m.msg_control = control;
  m.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&m);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &s.fd, sizeof(int));
  const ssize_t n = ::sendmsg(fd, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
  const int error = errno;
  ::close(fd);
  // No inbox: the process does not exist or has not started WinSock.
  if (n != sizeof message) return error == ECONNREFUSED || error == ENOENT ? kEinval : from_errno(error);
  return kOk;
}

int duplicate_receive(std::uint32_t token) {
  Inbox& box = inbox();
  std::lock_guard lock(box.mu);
  if (auto it = box.waiting.find(token); it != box.waiting.end()) {
    const int fd = it->second;
    box.waiting.erase(it);
    return fd;
  }
  if (box.fd < 0) return -1;
  for (;;) {
    Message message{};
    iovec iov{&message, sizeof message};
    char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(box.fd, &m, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0) return -1;  // nothing more has come
    int fd = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
    }
    if (fd < 0) continue;
    if (n != sizeof message || message.magic != kMagic) {
      ::close(fd);
      continue;
    }
    if (message.token == token) return fd;
    box.waiting[message.token] = fd;
  }
}

}  // namespace plat::ws
