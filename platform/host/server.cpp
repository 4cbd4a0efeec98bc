#include "platform/host/server.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

namespace plat::host {

// ---- Log ------------------------------------------------------------------------

Log::Log(const std::string& path) {
  file_ = std::fopen(path.c_str(), "ae");
  if (file_ != nullptr) setvbuf(file_, nullptr, _IOLBF, 0);
}

Log::~Log() {
  if (file_ != nullptr) std::fclose(file_);
}

void Log::line(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::time_t now = std::time(nullptr);
  char stamp[32];
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &utc);
  std::lock_guard lock(mu_);
  if (file_ != nullptr) std::fprintf(file_, "%s zekhost: %s\n", stamp, text);
}

void Log::raw(std::string_view text) {
  std::lock_guard lock(mu_);
  if (file_ != nullptr) std::fwrite(text.data(), 1, text.size(), file_);
}

// ---- Connection -----------------------------------------------------------------

namespace {
constexpr std::size_t kMaxWorkers = 64;
}

Connection::Connection(int fd, pid_t pid, IoManager& io, Log& log) : fd_(fd), pid_(pid), io_(io), log_(log) {}

Connection::~Connection() { ::close(fd_); }

bool Connection::send(proto::Type type, const void* body, std::size_t size, std::span<const int> fds) {
  std::lock_guard lock(send_mu_);
  // A failure means the process has gone: there is nothing to tell it.
  return proto::send_message(fd_, type, body, size, fds);
}

void Connection::send_pending(std::uint64_t request, NTSTATUS returned) {
  proto::Pending pending{request, returned, 0};
  send(proto::Type::Pending, &pending, sizeof pending);
}

void Connection::send_complete(std::uint64_t request, NTSTATUS status, std::uint64_t information,
                               bool pending_returned) {
  proto::Complete complete{request, status, pending_returned ? 1u : 0u, information};
  send(proto::Type::Complete, &complete, sizeof complete);
}

std::uint64_t Connection::upcall(proto::Type type, const void* body, std::size_t size, std::span<const int> fds,
                                 NTSTATUS* status) {
  std::uint64_t id;
  {
    std::lock_guard lock(mu_);
    if (closing_) return 0;
    id = ++next_upcall_;
    upcalls_[id] = {false, {}};
  }
  // The upcall id is the record's first field.
  std::vector<char> message(static_cast<const char*>(body), static_cast<const char*>(body) + size);
  std::memcpy(message.data(), &id, sizeof id);
  if (!send(type, message.data(), message.size(), fds)) {
    std::lock_guard lock(mu_);
    upcalls_.erase(id);
    return 0;
  }
  std::unique_lock lock(mu_);
  cv_.wait(lock, [&] { return upcalls_[id].first || closing_; });
  auto [answered, reply] = upcalls_[id];
  upcalls_.erase(id);
  if (!answered) return 0;
  *status = reply.status;
  return reply.address;
}

std::uint64_t Connection::map_memory(int segment_fd, std::size_t pages) {
  if (pages == 0 || pages > proto::kMaxMapPages) return 0;
  proto::MapUpcall head{0, proto::MapKind::Memory, static_cast<std::uint32_t>(pages), 0, 0};
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::uint64_t address =
      upcall(proto::Type::MapUpcall, &head, sizeof head, std::span<const int>(&segment_fd, 1), &status);
  return NT_SUCCESS(status) ? address : 0;
}

std::uint64_t Connection::map_registers(std::size_t pages, int ring_fd, std::uint64_t ring_offset,
                                        std::uint64_t ring_bytes, int wake_fd) {
  proto::MapUpcall head{0, proto::MapKind::Registers, static_cast<std::uint32_t>(pages), ring_offset, ring_bytes};
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  const int fds[2] = {ring_fd, wake_fd};
  std::uint64_t address = upcall(proto::Type::MapUpcall, &head, sizeof head, fds, &status);
  return NT_SUCCESS(status) ? address : 0;
}

bool Connection::unmap(std::uint64_t address, std::size_t pages) {
  proto::UnmapUpcall body{0, address, pages};
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  upcall(proto::Type::UnmapUpcall, &body, sizeof body, {}, &status);
  return NT_SUCCESS(status);
}

void Connection::submit(std::function<void()> work) {
  std::lock_guard lock(mu_);
  work_.push_back(std::move(work));
  // A new worker only when every worker is busy: a request blocked in a
  // driver must not hold up the process's other requests.
  if (busy_ + work_.size() > workers_ && workers_ < kMaxWorkers) {
    ++workers_;
    threads_.emplace_back([this] { worker(); });
  } else {
    work_cv_.notify_one();
  }
}

void Connection::worker() {
  std::unique_lock lock(mu_);
  for (;;) {
    work_cv_.wait(lock, [&] { return !work_.empty() || closing_; });
    if (work_.empty()) return;
    auto work = std::move(work_.front());
    work_.pop_front();
    ++busy_;
    lock.unlock();
    work();
    lock.lock();
    --busy_;
  }
}

void Connection::handle(proto::Type type, const char* body, std::size_t size) {
  auto reply = [this](std::uint64_t request, NTSTATUS status, std::uint64_t value) {
    proto::Reply r{request, status, 0, value};
    send(proto::Type::Reply, &r, sizeof r);
  };
  switch (type) {
    case proto::Type::Open: {
      if (size < sizeof(proto::Open)) return;
      proto::Open open;
      std::memcpy(&open, body, sizeof open);
      open.name[proto::kMaxName - 1] = '\0';
      submit([this, open, reply] {
        std::uint64_t file = 0;
        NTSTATUS status = io_.user_open(Caller{process_, open.thread_id}, open.name, open.desired_access,
                                        open.share_access, (open.flags & proto::kOpenOverlapped) != 0, &file);
        reply(open.request, status, file);
      });
      return;
    }
    case proto::Type::Ioctl: {
      if (size < sizeof(proto::Ioctl)) return;
      proto::Ioctl ioctl;
      std::memcpy(&ioctl, body, sizeof ioctl);
      submit([this, ioctl] { io_.user_ioctl(Caller{process_, ioctl.thread_id}, ioctl); });
      return;
    }
    case proto::Type::Cancel: {
      if (size < sizeof(proto::Cancel)) return;
      proto::Cancel cancel;
      std::memcpy(&cancel, body, sizeof cancel);
      // Cancel routines do not block: CancelIo is served here, so that it
      // works even when every worker is held by a request in a driver.
      reply(cancel.request, io_.user_cancel(Caller{process_, cancel.thread_id}, cancel.file), 0);
      return;
    }
    case proto::Type::Close: {
      if (size < sizeof(proto::Close)) return;
      proto::Close close;
      std::memcpy(&close, body, sizeof close);
      submit([this, close, reply] {
        reply(close.request, io_.user_close(Caller{process_, close.thread_id}, close.file), 0);
      });
      return;
    }
    case proto::Type::UpcallReply: {
      if (size < sizeof(proto::UpcallReply)) return;
      proto::UpcallReply answer;
      std::memcpy(&answer, body, sizeof answer);
      std::lock_guard lock(mu_);
      auto it = upcalls_.find(answer.upcall);
      if (it == upcalls_.end()) return;
      it->second = {true, answer};
      cv_.notify_all();
      return;
    }
    default:
      log_.line("process %d sent a message of unknown type %u; ignored", static_cast<int>(pid_),
                static_cast<unsigned>(type));
      return;
  }
}

void Connection::run() {
  std::vector<char> buffer(proto::kMaxMessage);
  bool greeted = false;
  for (;;) {
    std::vector<int> fds;
    const long n = proto::receive_message(fd_, buffer, &fds);
    // A process sends no descriptors: any that came are closed.
    for (int stray : fds) ::close(stray);
    if (n < static_cast<long>(sizeof(proto::MessageHeader))) break;
    proto::MessageHeader header;
    std::memcpy(&header, buffer.data(), sizeof header);
    const char* body = buffer.data() + sizeof header;
    const std::size_t size = static_cast<std::size_t>(n) - sizeof header;
    if (!greeted) {
      proto::Hello hello{};
      if (header.type != proto::Type::Hello || size < sizeof hello) break;
      std::memcpy(&hello, body, sizeof hello);
      proto::HelloReply answer{proto::kVersion, hello.version == proto::kVersion ? 0 : -1,
                               static_cast<std::int64_t>(getpid()), 0};
      if (hello.version != proto::kVersion) {
        send(proto::Type::HelloReply, &answer, sizeof answer);
        break;
      }
      process_ = io_.attach_process(pid_, shared_from_this());
      send(proto::Type::HelloReply, &answer, sizeof answer);
      greeted = true;
      log_.line("process %d connected", static_cast<int>(pid_));
      continue;
    }
    handle(header.type, body, size);
  }
  // The process has gone (or the host stops): upcalls in progress fail.
  {
    std::lock_guard lock(mu_);
    closing_ = true;
    cv_.notify_all();
    work_cv_.notify_all();
  }
  if (process_) {
    io_.detach_process(*process_);
    log_.line("process %d disconnected", static_cast<int>(pid_));
  }
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mu_);
    threads.swap(threads_);
  }
  for (auto& t : threads) t.join();
  process_.reset();
}

// Reading stops; completions of the cancelled requests still reach the process.
void Connection::stop() { shutdown(fd_, SHUT_RD); }

// ---- Server ------------------------------------------------------------------------

Server::~Server() { stop(); }

bool Server::listen(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  listen_fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return false;
  ::unlink(path.c_str());  // a stale socket of a host that did not stop cleanly
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listen_fd_, 64) != 0) {
    ::close(listen_fd_);
    listen_fd_ = -1;
    return false;
  }
  path_ = path;
  acceptor_ = std::thread([this] { accept_loop(); });
  return true;
}

void Server::accept_loop() {
  for (;;) {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (stopping_) {
      if (fd >= 0) ::close(fd);
      return;
    }
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
      ::close(fd);
      continue;
    }
    auto connection = std::make_shared<Connection>(fd, peer.pid, io_, log_);
    std::lock_guard lock(mu_);
    for (auto& t : finished_) t.join();
    finished_.clear();
    Connection* key = connection.get();
    connections_[key].first = connection;
    connections_[key].second = std::thread([this, connection, key] {
      connection->run();
      std::lock_guard inner(mu_);
      auto it = connections_.find(key);
      if (it != connections_.end()) {
        finished_.push_back(std::move(it->second.second));
        connections_.erase(it);
      }
    });
  }
}

void Server::stop() {
  if (listen_fd_ < 0) return;
  stopping_ = true;
  shutdown(listen_fd_, SHUT_RDWR);
  // Wake the acceptor with a connection of our own, whatever shutdown did.
  int wake = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
  if (wake >= 0) {
    ::connect(wake, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::close(wake);
  }
  acceptor_.join();
  ::close(listen_fd_);
  listen_fd_ = -1;
  ::unlink(path_.c_str());
  {
    std::lock_guard lock(mu_);
    for (auto& [key, entry] : connections_) entry.first->stop();
  }
  // Each connection ends as if its process had gone.
  for (;;) {
    std::vector<std::thread> done;
    bool empty;
    {
      std::lock_guard lock(mu_);
      done.swap(finished_);
      empty = connections_.empty();
    }
    for (auto& t : done) t.join();
    if (empty) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::size_t Server::connections() const {
  std::lock_guard lock(mu_);
  return connections_.size();
}

}  // namespace plat::host
