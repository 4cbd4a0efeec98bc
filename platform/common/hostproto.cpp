#include "platform/common/hostproto.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace plat::proto {

namespace {

// Sends one message with `flags`; errno tells why when it fails.
bool send_with(int socket, Type type, const void* body, std::size_t size, std::span<const int> fds, int flags) {
  if (fds.size() > kMaxFds) {
    errno = EINVAL;
    return false;
  }
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
    if (sendmsg(socket, &message, MSG_NOSIGNAL | flags) >= 0) return true;
    if (errno != EINTR) return false;
  }
}

std::span<const int> one_fd(const int& fd) { return fd >= 0 ? std::span<const int>(&fd, 1) : std::span<const int>(); }

}  // namespace

bool send_message(int socket, Type type, const void* body, std::size_t size, int fd) {
  return send_with(socket, type, body, size, one_fd(fd), 0);
}

bool send_message(int socket, Type type, const void* body, std::size_t size, std::span<const int> fds) {
  return send_with(socket, type, body, size, fds, 0);
}

SendResult send_message_nowait(int socket, Type type, const void* body, std::size_t size, int fd) {
  return send_message_nowait(socket, type, body, size, one_fd(fd));
}

SendResult send_message_nowait(int socket, Type type, const void* body, std::size_t size, std::span<const int> fds) {
  if (send_with(socket, type, body, size, fds, MSG_DONTWAIT)) return SendResult::Sent;
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS ? SendResult::Full : SendResult::Gone;
}

long receive_message(int socket, std::span<char> buffer, std::vector<int>* fds) {
  return receive_message(socket, buffer, fds, nullptr);
}

long receive_message(int socket, std::span<char> buffer, std::vector<int>* fds, int* sender) {
  if (sender != nullptr) *sender = 0;
  for (;;) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds) + CMSG_SPACE(sizeof(ucred))];
    iovec iov{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == EINTR) continue;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS && sender != nullptr) {
        ucred credentials{};
        std::memcpy(&credentials, CMSG_DATA(c), sizeof credentials);
        *sender = credentials.pid;
        continue;
      }
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
