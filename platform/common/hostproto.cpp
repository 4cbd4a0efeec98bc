#include "platform/common/hostproto.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace plat::proto {

bool send_message(int socket, Type type, const void* body, std::size_t size, int fd) {
  return fd >= 0 ? send_message(socket, type, body, size, std::span<const int>(&fd, 1))
                 : send_message(socket, type, body, size, std::span<const int>());
}

bool send_message(int socket, Type type, const void* body, std::size_t size, std::span<const int> fds) {
  if (fds.size() > kMaxFds) return false;
  MessageHeader header{type, 0};
  iovec iov[2] = {{&header, sizeof header}, {const_cast<void*>(body), size}};
  msghdr message{};
  message.msg_iov = iov;
  message.msg_iovlen = 2;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds)];
  if (!fds.empty()) {
    message.msg_control = control;
    message.msg_controllen = CMSG_SPACE(fds.size_bytes());
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(fds.size_bytes());
    std::memcpy(CMSG_DATA(c), fds.data(), fds.size_bytes());
  }
  for (;;) {
    if (sendmsg(socket, &message, MSG_NOSIGNAL) >= 0) return true;
    if (errno != EINTR) return false;
  }
}

long receive_message(int socket, std::span<char> buffer, std::vector<int>* fds) {
  for (;;) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds)];
    iovec iov{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == EINTR) continue;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
      const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (std::size_t i = 0; i < count; ++i) {
        int fd;
        std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
        fds->push_back(fd);
      }
    }
    return static_cast<long>(n);
  }
}

}  // namespace plat::proto
