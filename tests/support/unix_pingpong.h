// The benchmarks' common baseline: a ping-pong over a Unix stream socket
// between this process and a forked echo process. Each exchange writes a
// message and reads its echo, so one exchange is one round trip through two
// wake-ups, the cheapest a message between two processes gets on Linux.
#pragma once

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <vector>

namespace zekbench {

class UnixPingPong {
 public:
  // Starts the echo process; ok() says whether it runs.
  explicit UnixPingPong(std::size_t message_bytes) : message_(message_bytes) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
    child_ = ::fork();
    if (child_ == 0) {
      ::close(fds[0]);
      std::vector<char> buf(message_bytes);
      while (exchange_whole(fds[1], buf.data(), buf.size(), /*read_first=*/true)) {
      }
      ::_exit(0);
    }
    ::close(fds[1]);
    if (child_ < 0) {
      ::close(fds[0]);
      return;
    }
    fd_ = fds[0];
  }
  ~UnixPingPong() {
    if (fd_ >= 0) ::close(fd_);  // the echo process reads end of file and leaves
    if (child_ > 0) ::waitpid(child_, nullptr, 0);
  }
  UnixPingPong(const UnixPingPong&) = delete;
  UnixPingPong& operator=(const UnixPingPong&) = delete;

  bool ok() const { return fd_ >= 0; }

  // One round trip: the message out and its echo back.
  bool round_trip() { return fd_ >= 0 && exchange_whole(fd_, message_.data(), message_.size(), false); }

 private:
  // Writes then reads (or reads then writes) the whole buffer.
  static bool exchange_whole(int fd, char* buf, std::size_t n, bool read_first) {
    return read_first ? (transfer(fd, buf, n, true) && transfer(fd, buf, n, false))
                      : (transfer(fd, buf, n, false) && transfer(fd, buf, n, true));
  }
  static bool transfer(int fd, char* buf, std::size_t n, bool reading) {
    for (std::size_t done = 0; done < n;) {
      const ssize_t r = reading ? ::read(fd, buf + done, n - done) : ::write(fd, buf + done, n - done);
      if (r <= 0) return false;
      done += static_cast<std::size_t>(r);
    }
    return true;
  }

  std::vector<char> message_;
  int fd_ = -1;
  pid_t child_ = -1;
};

}  // namespace zekbench
