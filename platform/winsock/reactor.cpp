// Overlapped transfers on native sockets: tried at once, and otherwise
// carried out in order by one thread per process that waits on every
// socket with a transfer outstanding (epoll). Completion goes through the
// user runtime, as a device's: the OVERLAPPED, its event (or the socket),
// the completion port.
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <thread>
#include <vector>

#include "platform/common/win32error.h"
#include "platform/winsock/internal.h"

namespace plat::ws {

struct PendingIo {
  bool send = false;
  std::vector<iovec> buffers;  // what is still to go (sends) or the buffers to fill (receives)
  int flags = 0;
  LPOVERLAPPED overlapped = nullptr;
  std::size_t done = 0;
};

namespace {

int linux_flags(int flags) {
  int f = 0;
  if (flags & 0x1) f |= MSG_OOB;
  if (flags & 0x2) f |= MSG_PEEK;
  if (flags & 0x4) f |= MSG_DONTROUTE;
  return f;
}

class Reactor {
 public:
  static Reactor& get() {
    static auto* reactor = new Reactor;
    return *reactor;
  }

  // The socket has transfers outstanding (or no longer): watch it accordingly. Under s.mu.
  void update(const std::shared_ptr<Socket>& s) {
    std::uint32_t events = 0;
    if (!s->reads.empty()) events |= EPOLLIN;
    if (!s->writes.empty()) events |= EPOLLOUT;
    epoll_event e{};
    e.events = events;
    e.data.fd = s->fd;
    std::lock_guard lock(mu_);
    if (events == 0) {
      if (s->registered) epoll_ctl(epoll_, EPOLL_CTL_DEL, s->fd, nullptr);
      s->registered = false;
      sockets_.erase(s->fd);
      return;
    }
    sockets_[s->fd] = s;
    epoll_ctl(epoll_, s->registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, s->fd, &e);
    s->registered = true;
  }

  // The socket closes: no more watching. Under s.mu.
  void forget(Socket& s) {
    std::lock_guard lock(mu_);
    if (s.registered && s.fd >= 0) epoll_ctl(epoll_, EPOLL_CTL_DEL, s.fd, nullptr);
    s.registered = false;
    auto it = sockets_.find(s.fd);
    if (it != sockets_.end() && it->second.lock().get() == &s) sockets_.erase(it);
  }

 private:
  Reactor() {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    std::thread([this] { run(); }).detach();
  }

  void run() {
    epoll_event events[64];
    for (;;) {
      const int n = epoll_wait(epoll_, events, 64, -1);
      for (int i = 0; i < n; ++i) {
        std::shared_ptr<Socket> s;
        {
          std::lock_guard lock(mu_);
          auto it = sockets_.find(events[i].data.fd);
          if (it != sockets_.end()) s = it->second.lock();
        }
        if (s) serve(s);
      }
    }
  }

  // Carries out what the socket's readiness allows, in order.
  void serve(const std::shared_ptr<Socket>& s) {
    std::lock_guard lock(s->mu);
    if (s->fd < 0) return;
    while (!s->reads.empty()) {
      auto& io = *s->reads.front();
      msghdr m{};
      m.msg_iov = io.buffers.data();
      m.msg_iovlen = io.buffers.size();
      const ssize_t n = ::recvmsg(s->fd, &m, io.flags | MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
      const int error = n < 0 ? from_errno(errno) : (m.msg_flags & MSG_TRUNC) ? kEmsgsize : kOk;
      complete(*s, io.overlapped, error, n < 0 ? 0 : static_cast<std::size_t>(n));
      s->reads.pop_front();
    }
    while (!s->writes.empty()) {
      auto& io = *s->writes.front();
      msghdr m{};
      m.msg_iov = io.buffers.data();
      m.msg_iovlen = io.buffers.size();
      const ssize_t n = ::sendmsg(s->fd, &m, io.flags | MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
      if (n < 0) {
        complete(*s, io.overlapped, from_errno(errno), io.done);
        s->writes.pop_front();
        continue;
      }
      io.done += static_cast<std::size_t>(n);
      std::size_t skip = static_cast<std::size_t>(n);
      while (!io.buffers.empty() && skip >= io.buffers.front().iov_len) {
        skip -= io.buffers.front().iov_len;
        io.buffers.erase(io.buffers.begin());
      }
      if (!io.buffers.empty()) {
        io.buffers.front().iov_base = static_cast<std::byte*>(io.buffers.front().iov_base) + skip;
        io.buffers.front().iov_len -= skip;
        continue;  // the rest, when the socket takes more
      }
      complete(*s, io.overlapped, kOk, io.done);
      s->writes.pop_front();
    }
    update(s);
  }

  int epoll_ = -1;
  std::mutex mu_;
  std::map<int, std::weak_ptr<Socket>> sockets_;
};

void mark_pending(LPOVERLAPPED overlapped) {
  std::atomic_ref<ULONG_PTR>(overlapped->InternalHigh).store(0, std::memory_order_relaxed);
  std::atomic_ref<ULONG_PTR>(overlapped->Internal)
      .store(static_cast<ULONG_PTR>(static_cast<ULONG>(STATUS_PENDING)), std::memory_order_release);
  overlapped->Offset = 0;
  overlapped->OffsetHigh = 0;
  if (HANDLE event = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~ULONG_PTR{1})) {
    ResetEvent(event);
  }
}

}  // namespace

void complete(Socket& s, LPOVERLAPPED overlapped, int error, std::size_t bytes) {
  overlapped->OffsetHigh = static_cast<DWORD>(error);  // published by the completion's release of Internal
  zek_user_complete_overlapped(&s, overlapped, error == kOk ? STATUS_SUCCESS : plat_status_of_win32(error), bytes,
                               TRUE);
}

int overlapped_error(LPOVERLAPPED overlapped) {
  const auto status = static_cast<NTSTATUS>(std::atomic_ref<ULONG_PTR>(overlapped->Internal).load());
  if (status == STATUS_PENDING) return kIncomplete;
  if (status == STATUS_SUCCESS) return kOk;
  return static_cast<int>(plat_nt_status_to_win32(status));
}

int overlapped_recv(const std::shared_ptr<Socket>& s, std::span<const std::span<std::byte>> buffers, int flags,
                    LPOVERLAPPED overlapped, std::size_t* received) {
  *received = 0;
  auto io = std::make_shared<PendingIo>();
  io->overlapped = overlapped;
  io->flags = linux_flags(flags);
  for (const auto& b : buffers) io->buffers.push_back(iovec{b.data(), b.size()});
  std::lock_guard lock(s->mu);
  if (s->reads.empty()) {
    msghdr m{};
    m.msg_iov = io->buffers.data();
    m.msg_iovlen = io->buffers.size();
    const ssize_t n = ::recvmsg(s->fd, &m, io->flags | MSG_DONTWAIT);
    if (n >= 0) {
      mark_pending(overlapped);
      *received = static_cast<std::size_t>(n);
      const int error = (m.msg_flags & MSG_TRUNC) ? kEmsgsize : kOk;
      complete(*s, overlapped, error, *received);  // done at once: its completion is still reported
      return error;
    }
    if (errno != EAGAIN && errno != EINTR) return from_errno(errno);
  }
  mark_pending(overlapped);
  s->reads.push_back(io);
  Reactor::get().update(s);
  return kPending;
}

int overlapped_send(const std::shared_ptr<Socket>& s, std::span<const std::span<const std::byte>> buffers, int flags,
                    LPOVERLAPPED overlapped, std::size_t* sent) {
  *sent = 0;
  auto io = std::make_shared<PendingIo>();
  io->send = true;
  io->overlapped = overlapped;
  io->flags = linux_flags(flags);
  std::size_t total = 0;
  for (const auto& b : buffers) {
    io->buffers.push_back(iovec{const_cast<std::byte*>(b.data()), b.size()});
    total += b.size();
  }
  std::lock_guard lock(s->mu);
  if (s->writes.empty()) {
    msghdr m{};
    m.msg_iov = io->buffers.data();
    m.msg_iovlen = io->buffers.size();
    const ssize_t n = total == 0 ? 0 : ::sendmsg(s->fd, &m, io->flags | MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return errno == EPIPE ? (s->sending_shut.load() ? kEshutdown : kEconnreset) : from_errno(errno);
    }
    if (n >= 0 && static_cast<std::size_t>(n) == total) {
      mark_pending(overlapped);
      *sent = total;
      complete(*s, overlapped, kOk, total);
      return kOk;
    }
    if (n > 0) {
      io->done = static_cast<std::size_t>(n);
      std::size_t skip = io->done;
      while (!io->buffers.empty() && skip >= io->buffers.front().iov_len) {
        skip -= io->buffers.front().iov_len;
        io->buffers.erase(io->buffers.begin());
      }
      io->buffers.front().iov_base = static_cast<std::byte*>(io->buffers.front().iov_base) + skip;
      io->buffers.front().iov_len -= skip;
    }
  }
  mark_pending(overlapped);
  s->writes.push_back(io);
  Reactor::get().update(s);
  return kPending;
}

void abort_pending(Socket& s) {
  std::lock_guard lock(s.mu);
  for (auto* queue : {&s.reads, &s.writes}) {
    for (auto& io : *queue) complete(s, io->overlapped, kAborted, io->done);
    queue->clear();
  }
  if (s.registered) Reactor::get().forget(s);
}

}  // namespace plat::ws
