#include "platform/common/sharedfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <thread>

namespace plat {

bool read_whole_file(const std::string& path, std::string* text) {
  text->clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    text->append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return true;
}

SharedFile::SharedFile(std::string path) : path_(std::move(path)) {
  lock_fd_ = ::open((path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
}

SharedFile::~SharedFile() {
  if (lock_fd_ >= 0) ::close(lock_fd_);
}

bool SharedFile::read(std::string* text) const { return read_whole_file(path_, text); }

std::uint64_t SharedFile::version() const {
  std::uint64_t value = 0;
  if (lock_fd_ < 0 || ::pread(lock_fd_, &value, sizeof value, 0) != sizeof value) return 0;
  return value;
}

bool SharedFile::update(const std::function<bool(std::string& text)>& change) {
  bool locked = false;
  if (lock_fd_ >= 0) {
    const auto deadline = std::chrono::steady_clock::now() + kLockPatience;
    auto pause = std::chrono::microseconds(50);
    for (;;) {
      if (flock(lock_fd_, LOCK_EX | LOCK_NB) == 0) {
        locked = true;
        break;
      }
      if (errno != EWOULDBLOCK && errno != EINTR) break;
      if (std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(pause);
      if (pause < std::chrono::milliseconds(10)) pause *= 2;
    }
  }
  std::string text;
  bool ok = read(&text);
  if (ok && change(text)) {
    // A name of its own per writer: one that went on without the lock never
    // writes into another's new file.
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".new.%d.%ld", static_cast<int>(getpid()),
                  static_cast<long>(::syscall(SYS_gettid)));
    const std::string temp = path_ + suffix;
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ok = fd >= 0;
    std::size_t done = 0;
    while (ok && done < text.size()) {
      const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      ok = n > 0;
      if (ok) done += static_cast<std::size_t>(n);
    }
    if (fd >= 0) ok = (::close(fd) == 0) && ok;
    ok = ok && std::rename(temp.c_str(), path_.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    if (ok && lock_fd_ >= 0) {
      const std::uint64_t next = version() + 1;
      ok = ::pwrite(lock_fd_, &next, sizeof next, 0) == sizeof next;
    }
  }
  if (locked) flock(lock_fd_, LOCK_UN);
  return ok;
}

}  // namespace plat
