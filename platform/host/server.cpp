#include "platform/host/server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <system_error>

#include "platform/common/ioctl.h"
#include "platform/kernel/fault.h"

namespace plat::host {

// ---- Connection -----------------------------------------------------------------

Connection::Connection(int fd, pid_t pid, IoManager& io, Log& log, Server& server)
    : fd_(fd), pid_(pid), io_(io), log_(log), server_(server) {
  wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

Connection::~Connection() {
  for (auto& t : helpers_) {
    if (t.joinable()) t.join();
  }
  for (auto& message : outbox_) {
    for (int fd : message.fds) ::close(fd);
  }
  if (wake_ >= 0) ::close(wake_);
  ::close(fd_);
}

// Sent at once when the socket has room and nothing is queued before it;
// queued otherwise, for the reader thread to send in order.
bool Connection::send(proto::Type type, const void* body, std::size_t size, std::span<const int> fds) {
  std::lock_guard lock(send_mu_);
  if (gone_) return false;
  if (outbox_.empty()) {
    switch (proto::send_message_nowait(fd_, type, body, size, fds)) {
      case proto::SendResult::Sent:
        return true;
      case proto::SendResult::Gone:
        gone_ = true;  // the process has gone: there is nothing to tell it
        return false;
      case proto::SendResult::Full:
        if (kind() != Kind::Direct) break;
        // One request at a time goes on a direct connection, and its
        // thread reads the completion: a full socket is a process that
        // sends without reading. That connection ends; nothing is queued.
        gone_ = true;
        log_.line("process %d does not read its direct connection; that connection closed", static_cast<int>(pid_));
        shutdown(fd_, SHUT_RDWR);
        return false;
    }
  }
  if (outbox_bytes_ + size > kMaxQueuedBytes || outbox_.size() >= kMaxQueuedMessages) {
    gone_ = true;
    log_.line("process %d does not read its connection (%zu bytes waiting); disconnected", static_cast<int>(pid_),
              outbox_bytes_);
    shutdown(fd_, SHUT_RDWR);
    return false;
  }
  Outgoing message{type, std::vector<char>(static_cast<const char*>(body), static_cast<const char*>(body) + size), {}};
  for (int fd : fds) {
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {  // no descriptor: this message fails, the connection stays
      for (int taken : message.fds) ::close(taken);
      return false;
    }
    message.fds.push_back(copy);
  }
  outbox_bytes_ += size;
  outbox_.push_back(std::move(message));
  if (outbox_.size() == 1 && wake_ >= 0) eventfd_write(wake_, 1);
  return true;
}

void Connection::flush() {
  std::lock_guard lock(send_mu_);
  while (!outbox_.empty() && !gone_) {
    Outgoing& front = outbox_.front();
    const auto result = proto::send_message_nowait(fd_, front.type, front.body.data(), front.body.size(), front.fds);
    if (result == proto::SendResult::Full) return;
    if (result == proto::SendResult::Gone) gone_ = true;
    for (int fd : front.fds) ::close(fd);
    outbox_bytes_ -= front.body.size();
    outbox_.pop_front();
  }
}

void Connection::disconnect(const char* why) {
  {
    std::lock_guard lock(send_mu_);
    if (gone_) return;
    gone_ = true;
  }
  log_.line("process %d %s; disconnected", static_cast<int>(pid_), why);
  shutdown(fd_, SHUT_RDWR);
}

void Connection::send_pending(std::uint64_t request, NTSTATUS returned) {
  proto::Pending pending{request, returned, 0};
  send(proto::Type::Pending, &pending, sizeof pending);
}

void Connection::release_buffered(std::uint64_t request) {
  std::lock_guard lock(quota_mu_);
  if (auto it = buffered_.find(request); it != buffered_.end()) {
    quota().buffered_bytes_.fetch_sub(it->second, std::memory_order_relaxed);
    buffered_.erase(it);
  }
}

void Connection::send_complete(std::uint64_t request, NTSTATUS status, std::uint64_t information,
                               bool pending_returned) {
  release_buffered(request);
  proto::Complete complete{request, status, pending_returned ? 1u : 0u, information};
  send(proto::Type::Complete, &complete, sizeof complete);
}

// The Complete record, then the output bytes.
void Connection::send_complete_inline(std::uint64_t request, NTSTATUS status, std::span<const std::byte> output,
                                      bool pending_returned) {
  release_buffered(request);
  std::vector<char> body(sizeof(proto::Complete) + output.size());
  const proto::Complete complete{request, status, pending_returned ? 1u : 0u, output.size()};
  std::memcpy(body.data(), &complete, sizeof complete);
  if (!output.empty()) std::memcpy(body.data() + sizeof complete, output.data(), output.size());
  send(proto::Type::Complete, body.data(), body.size());
}

// Sends an upcall and waits for the process's answer, at most
// kUpcallDeadline: a process that does not answer in time is disconnected.
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
  // The answer comes on this connection: a thread that reads it must not wait here.
  notify_blocking();
  std::unique_lock lock(mu_);
  const bool done = cv_.wait_for(lock, kUpcallDeadline, [&] { return upcalls_[id].first || closing_; });
  auto [answered, reply] = upcalls_[id];
  upcalls_.erase(id);
  if (!done) {
    lock.unlock();
    disconnect("did not answer a mapping request in time");
    return 0;
  }
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

// A control request, within the process's bound on buffered bytes.
void Connection::ioctl(const proto::Ioctl& request, std::span<const std::byte> inline_input) {
  if (METHOD_FROM_CTL_CODE(request.code) == METHOD_BUFFERED) {
    const std::uint64_t bytes = std::max(request.input_length, request.output_length);
    const std::uint64_t bound =
        io_.kernel().memory().frames_total() * PhysicalMemory::kPageSize / kBufferedShareOfMemory;
    // Each connection keeps its own requests; the process's sum is one
    // counter that all its connections share (the main connection's).
    std::atomic<std::uint64_t>& total = quota().buffered_bytes_;
    std::lock_guard lock(quota_mu_);
    bool fits = !buffered_.contains(request.request);
    if (fits) {
      std::uint64_t before = total.load(std::memory_order_relaxed);
      do {
        if (before + bytes > bound) {
          fits = false;
          break;
        }
      } while (!total.compare_exchange_weak(before, before + bytes, std::memory_order_relaxed));
    }
    if (!fits) {
      log_.line("process %d: its buffered requests would pass %llu bytes; request refused", static_cast<int>(pid_),
                static_cast<unsigned long long>(bound));
      proto::Complete refused{request.request, STATUS_INSUFFICIENT_RESOURCES, 0, 0};
      send(proto::Type::Complete, &refused, sizeof refused);
      return;
    }
    buffered_[request.request] = bytes;
  }
  // Inline input stays with the request (the message buffer is reused).
  std::vector<std::byte> input(inline_input.begin(), inline_input.end());
  if (!start([this, request, input = std::move(input)] {
        io_.user_ioctl(Caller{process_, request.thread_id, reply_link_}, request, input);
      })) {
    send_complete(request.request, STATUS_INSUFFICIENT_RESOURCES, 0, false);
  }
}

void Connection::handle(proto::Type type, const char* body, std::size_t size) {
  auto reply = [this](std::uint64_t request, NTSTATUS status, std::uint64_t value) {
    proto::Reply r{request, status, 0, value};
    send(proto::Type::Reply, &r, sizeof r);
  };
  if (kind() == Kind::Direct && type != proto::Type::Ioctl) {
    log_.line("process %d sent a message of type %u on a direct connection; ignored", static_cast<int>(pid_),
              static_cast<unsigned>(type));
    return;
  }
  switch (type) {
    case proto::Type::Open: {
      if (size < sizeof(proto::Open)) return;
      proto::Open open;
      std::memcpy(&open, body, sizeof open);
      open.name[proto::kMaxName - 1] = '\0';
      {
        std::lock_guard lock(mu_);
        if (files_.size() + opening_ >= kMaxFilesPerProcess) {
          reply(open.request, STATUS_INSUFFICIENT_RESOURCES, 0);
          return;
        }
        ++opening_;
      }
      const bool queued = start([this, open, reply] {
        std::uint64_t file = 0;
        NTSTATUS status = io_.user_open(Caller{process_, open.thread_id}, open.name, open.desired_access,
                                        open.share_access, (open.flags & proto::kOpenOverlapped) != 0, &file);
        {
          std::lock_guard lock(mu_);
          --opening_;
          if (NT_SUCCESS(status)) files_.insert(file);
        }
        reply(open.request, status, file);
      });
      if (!queued) {
        std::lock_guard lock(mu_);
        --opening_;
      }
      if (!queued) reply(open.request, STATUS_INSUFFICIENT_RESOURCES, 0);
      return;
    }
    case proto::Type::Ioctl: {
      if (size < sizeof(proto::Ioctl)) return;
      proto::Ioctl request;
      std::memcpy(&request, body, sizeof request);
      std::span<const std::byte> input;
      if ((request.overlapped & proto::kIoctlInlineInput) != 0) {
        // The bytes must all be there; otherwise the request is read from the caller's memory.
        const std::size_t tail = size - sizeof request;
        if (tail == request.input_length && tail <= proto::kMaxInline) {
          input = std::span<const std::byte>(reinterpret_cast<const std::byte*>(body) + sizeof request, tail);
        } else {
          request.overlapped &= ~proto::kIoctlInlineInput;
        }
      }
      ioctl(request, input);
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
      const bool queued = start([this, close, reply] {
        const NTSTATUS status = io_.user_close(Caller{process_, close.thread_id}, close.file);
        if (NT_SUCCESS(status)) {
          std::lock_guard lock(mu_);
          files_.erase(close.file);
        }
        reply(close.request, status, 0);
      });
      if (!queued) reply(close.request, STATUS_INSUFFICIENT_RESOURCES, 0);
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

// Runs a request on this thread; while every thread the connection may
// block is blocked, the request waits for one of them to return.
bool Connection::start(std::function<void()> work) {
  {
    std::lock_guard lock(mu_);
    if (closing_) return false;
    if (blocked_ >= max_blocked()) {
      deferred_.push_back(std::move(work));
      return true;
    }
  }
  work();
  return true;
}

// The serving thread is about to wait: the reader's turn goes to a standby
// thread (one is started when none waits), so the connection is still read.
void Connection::on_block(void* context) {
  Turn& turn = *static_cast<Turn*>(context);
  Connection& c = *turn.connection;
  std::lock_guard lock(c.mu_);
  turn.handed = true;
  ++c.blocked_;
  c.reading_ = false;
  if (c.ended_) return;
  if (c.standby_ > 0) {
    c.turn_cv_.notify_one();
    return;
  }
  // A thread on its way (started, or back from its request) takes the turn;
  // past the bound, the next thread back from its request takes it.
  if (c.threads_ > c.blocked_ || c.threads_ > c.max_blocked()) return;
  try {
    c.helpers_.emplace_back([&c] { c.helper(); });
    ++c.threads_;
  } catch (const std::system_error& e) {
    // The connection is read again when a request returns.
    c.log_.line("process %d: no thread to read its connection while a request waits (%s)", static_cast<int>(c.pid_),
                e.what());
  }
}

void Connection::helper() {
  std::vector<char> buffer(proto::kMaxMessage);
  serve(buffer);
}

void Connection::serve(std::vector<char>& buffer) {
  std::unique_lock lock(mu_);
  for (;;) {
    ++standby_;
    turn_cv_.wait(lock, [&] { return ended_ || !reading_; });
    --standby_;
    if (ended_) return;
    reading_ = true;
    lock.unlock();
    Turn turn{this};
    bool more = true;
    while (more && !turn.handed) more = read_and_serve(buffer, turn);
    if (!more) {
      end();
      return;
    }
    lock.lock();
    // The request this thread served waited and has returned; it serves
    // requests that waited for a thread, then stands by.
    --blocked_;
    while (!deferred_.empty() && !closing_) {
      auto work = std::move(deferred_.front());
      deferred_.pop_front();
      ++blocked_;
      lock.unlock();
      work();
      lock.lock();
      --blocked_;
    }
  }
}

// Reads one message (or sends what the socket has room for) and serves it.
bool Connection::read_and_serve(std::vector<char>& buffer, Turn& turn) {
  // A direct connection never queues (see send()): its reader only reads.
  if (kind() != Kind::Direct) {
    bool waiting;
    {
      std::lock_guard lock(send_mu_);
      waiting = !outbox_.empty();
    }
    pollfd fds[2] = {{fd_, static_cast<short>(POLLIN | (waiting ? POLLOUT : 0)), 0}, {wake_, POLLIN, 0}};
    if (poll(fds, wake_ >= 0 ? 2 : 1, -1) < 0) return errno == EINTR;
    if (wake_ >= 0 && (fds[1].revents & POLLIN) != 0) {
      eventfd_t ignored;
      eventfd_read(wake_, &ignored);
    }
    if ((fds[0].revents & POLLOUT) != 0) flush();
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) return true;
  }
  std::vector<int> received;
  int sender = 0;
  const long n = proto::receive_message(fd_, buffer, &received, &sender);
  // A process sends no descriptors: any that came are closed.
  for (int stray : received) ::close(stray);
  if (n < static_cast<long>(sizeof(proto::MessageHeader))) return false;
  proto::MessageHeader header;
  std::memcpy(&header, buffer.data(), sizeof header);
  const char* body = buffer.data() + sizeof header;
  const std::size_t size = static_cast<std::size_t>(n) - sizeof header;
  // A child that inherited the connection is not the process it belongs to.
  if (sender != 0 && sender != pid_) {
    log_.line("process %d: a message from process %d on its connection (a child it forked?); ignored",
              static_cast<int>(pid_), sender);
    return true;
  }
  if (kind() == Kind::Unknown) return greet(header, body, size);
  BlockingNotice notice(&Connection::on_block, &turn);
  handle(header.type, body, size);
  return true;
}

bool Connection::greet(const proto::MessageHeader& header, const char* body, std::size_t size) {
  proto::Hello hello{};
  if (header.type != proto::Type::Hello || size < sizeof hello) return false;
  std::memcpy(&hello, body, sizeof hello);
  proto::HelloReply answer{proto::kVersion, hello.version == proto::kVersion ? 0 : -1,
                           static_cast<std::int64_t>(getpid()), 0};
  if (hello.version != proto::kVersion) {
    send(proto::Type::HelloReply, &answer, sizeof answer);
    return false;
  }
  const bool direct = (hello.flags & proto::kHelloDirect) != 0;
  std::shared_ptr<Connection> main;
  std::shared_ptr<UserProcess> process = direct ? io_.find_process(pid_) : nullptr;
  if ((direct && process == nullptr) || !server_.admit(*this, direct ? Kind::Direct : Kind::Main, &main)) {
    // A direct connection needs its process's main one; past the bounds, refused.
    answer.status = -1;
    send(proto::Type::HelloReply, &answer, sizeof answer);
    return false;
  }
  if (direct) {
    main_ = std::move(main);
    process_ = std::move(process);
    reply_link_ = shared_from_this();
  } else {
    process_ = io_.attach_process(pid_, shared_from_this());
  }
  send(proto::Type::HelloReply, &answer, sizeof answer);
  if (!direct) log_.line("process %d connected", static_cast<int>(pid_));
  return true;
}

// By the thread that saw the end: no thread reads any more, upcalls in
// progress fail, and the main connection's process is detached.
void Connection::end() {
  {
    std::lock_guard lock(mu_);
    ended_ = true;
    closing_ = true;
    deferred_.clear();
    cv_.notify_all();
    turn_cv_.notify_all();
  }
  if (process_ && kind() == Kind::Main) {
    io_.detach_process(*process_);
    log_.line("process %d disconnected", static_cast<int>(pid_));
  }
  std::lock_guard lock(mu_);
  cleaned_ = true;
  done_cv_.notify_all();
}

void Connection::run() {
  std::vector<char> buffer(proto::kMaxMessage);
  const int on = 1;
  setsockopt(fd_, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
  serve(buffer);
  std::vector<std::thread> helpers;
  {
    std::unique_lock lock(mu_);
    done_cv_.wait(lock, [&] { return cleaned_; });
    helpers.swap(helpers_);
  }
  for (auto& t : helpers) t.join();
  flush();  // what still fits: the completions of the cancelled requests
  process_.reset();
  reply_link_.reset();  // main_ stays: a late completion still counts against the process's bounds
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
  bool out_of_descriptors = false;
  for (;;) {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (stopping_) {
      if (fd >= 0) ::close(fd);
      return;
    }
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // The connection waits in the backlog until a descriptor is free.
        if (!out_of_descriptors) log_.line("cannot accept a process: %s; accepting again shortly", strerror(errno));
        out_of_descriptors = true;
        poll(nullptr, 0, 100);
        continue;
      }
      log_.line("the kernel socket failed: %s; no new process is served", strerror(errno));
      return;
    }
    out_of_descriptors = false;
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
      ::close(fd);
      continue;
    }
    std::lock_guard lock(mu_);
    for (auto& t : finished_) t.join();
    finished_.clear();
    std::size_t same = 0;
    for (const auto& [key, entry] : connections_) same += entry.first->pid() == peer.pid ? 1 : 0;
    if (same >= kMaxConnectionsPerProcess + kMaxDirectConnectionsPerProcess) {
      log_.line("process %d already holds %zu connections; another refused", static_cast<int>(peer.pid), same);
      ::close(fd);
      continue;
    }
    auto connection = std::make_shared<Connection>(fd, peer.pid, io_, log_, *this);
    Connection* key = connection.get();
    try {
      std::thread reader([this, connection, key] {
        connection->run();
        std::lock_guard inner(mu_);
        if (connection->kind() == Connection::Kind::Main) {
          // The process's direct connections end with its main one.
          for (auto& [other, entry] : connections_) {
            if (entry.first->pid() == connection->pid() && entry.first->kind() == Connection::Kind::Direct) {
              entry.first->stop();
            }
          }
        }
        auto it = connections_.find(key);
        if (it != connections_.end()) {
          finished_.push_back(std::move(it->second.second));
          connections_.erase(it);
        }
      });
      connections_[key] = {connection, std::move(reader)};
    } catch (const std::system_error& e) {
      log_.line("process %d: no thread for its connection (%s); refused", static_cast<int>(peer.pid), e.what());
      // The connection's destructor closes the socket: the process sees its host go.
    }
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

bool Server::admit(Connection& connection, Connection::Kind kind, std::shared_ptr<Connection>* main) {
  std::lock_guard lock(mu_);
  std::size_t same = 0;
  for (const auto& [key, entry] : connections_) {
    const Connection& other = *entry.first;
    if (other.pid() != connection.pid() || &other == &connection) continue;
    if (other.kind() == kind) ++same;
    if (other.kind() == Connection::Kind::Main && main != nullptr) *main = entry.first;
  }
  const std::size_t bound =
      kind == Connection::Kind::Main ? kMaxConnectionsPerProcess : kMaxDirectConnectionsPerProcess;
  if (same >= bound) {
    log_.line("process %d already holds %zu %s connections; another refused", static_cast<int>(connection.pid()), same,
              kind == Connection::Kind::Main ? "main" : "direct");
    return false;
  }
  if (kind == Connection::Kind::Direct && (main == nullptr || *main == nullptr)) return false;
  connection.kind_ = kind;
  return true;
}

std::size_t Server::connections() const {
  std::lock_guard lock(mu_);
  return connections_.size();
}

}  // namespace plat::host
