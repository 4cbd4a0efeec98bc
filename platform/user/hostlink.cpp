// The connection to the host.
#include "platform/user/hostlink.h"

#include <pthread.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/common/lxsock.h"
#include "platform/user/usermaps.h"

namespace plat::user {
namespace {

std::mutex& link_mu() {
  static auto* mu = new std::mutex;
  return *mu;
}

std::shared_ptr<HostLink>& current_link() {
  static auto* link = new std::shared_ptr<HostLink>;
  return *link;
}

}  // namespace

std::shared_ptr<HostLink> HostLink::acquire() {
  std::lock_guard lock(link_mu());
  auto& link = current_link();
  const char* dir = std::getenv("ZEK_HOST");
  if (link && !link->broken() && dir != nullptr && link->dir_ == dir) return link;
  std::shared_ptr<HostLink> fresh(new HostLink);
  if (!fresh->connect()) return nullptr;
  link = fresh;
  return link;
}

HostLink::~HostLink() {
  // Links live until the process ends; the reader thread is never joined.
  if (reader_.joinable()) reader_.detach();
}

namespace {

// The process's pid without a system call per request; a child forked
// with fork() learns its own.
std::atomic<pid_t> cached_pid{0};

pid_t self_pid() {
  pid_t pid = cached_pid.load(std::memory_order_relaxed);
  if (pid != 0) return pid;
  static const bool registered = [] {
    pthread_atfork(nullptr, nullptr, [] { cached_pid.store(getpid(), std::memory_order_relaxed); });
    return true;
  }();
  (void)registered;
  pid = getpid();
  cached_pid.store(pid, std::memory_order_relaxed);
  return pid;
}

}  // namespace

bool HostLink::foreign() const { return owner_ != self_pid(); }

int HostLink::dial(bool direct) {
  std::string path = dir_ + "/" + proto::kSocketName;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  // Straight to Linux: in a process that uses WinSock, socket() is WinSock's.
  const int fd = lx::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  timeval limit{kHelloTimeoutSeconds, 0};
  lx::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  lx::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  auto fail = [fd] {
    ::close(fd);
    return -1;
  };
  if (lx::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return fail();
  ucred peer{};
  socklen_t peer_size = sizeof peer;
  if (lx::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peer_size) != 0) return fail();
  if (direct && peer.pid != host_pid_) return fail();  // another host took the directory
  host_pid_ = peer.pid;
  // The host reads and writes this process's buffers.
  if (!direct) prctl(PR_SET_PTRACER, static_cast<unsigned long>(host_pid_), 0, 0, 0);
  proto::Hello hello{proto::kVersion, direct ? proto::kHelloDirect : 0};
  if (!proto::send_message(fd, proto::Type::Hello, &hello, sizeof hello)) return fail();
  char buffer[sizeof(proto::MessageHeader) + sizeof(proto::HelloReply)];
  std::vector<int> fds;
  const long n = proto::receive_message(fd, buffer, &fds);
  for (int stray : fds) ::close(stray);
  if (n != static_cast<long>(sizeof buffer)) return fail();
  proto::MessageHeader header;
  std::memcpy(&header, buffer, sizeof header);
  proto::HelloReply reply;
  std::memcpy(&reply, buffer + sizeof header, sizeof reply);
  if (header.type != proto::Type::HelloReply || reply.status != 0) return fail();
  // Connected: waits for the host last as long as it serves.
  limit = timeval{0, 0};
  lx::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  lx::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
}

bool HostLink::connect() {
  const char* dir = std::getenv("ZEK_HOST");
  if (dir == nullptr || *dir == '\0') return false;
  dir_ = dir;
  owner_ = self_pid();
  fd_ = dial(false);
  if (fd_ < 0) return false;
  reader_ = std::thread([this] { reader(); });
  return true;
}

int HostLink::take_direct() {
  {
    std::lock_guard lock(direct_mu_);
    if (!idle_direct_.empty()) {
      const int fd = idle_direct_.back();
      idle_direct_.pop_back();
      return fd;
    }
    if (direct_refused_ || direct_count_ >= kMaxDirectLinks) return -1;
    ++direct_count_;
  }
  const int fd = dial(true);
  if (fd < 0) {
    std::lock_guard lock(direct_mu_);
    --direct_count_;
    direct_refused_ = true;
  }
  return fd;
}

namespace {

// Whether [address, address + length) lies in the calling thread's stack
// above its current frame: memory this thread may read and write, so its
// bytes can travel in the messages instead of the host reaching for them.
bool on_own_stack(const void* address, std::size_t length) {
  thread_local std::uintptr_t top = 0;
  if (top == 0) {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return false;
    void* base = nullptr;
    std::size_t size = 0;
    pthread_attr_getstack(&attributes, &base, &size);
    pthread_attr_destroy(&attributes);
    top = reinterpret_cast<std::uintptr_t>(base) + size;
  }
  const auto begin = reinterpret_cast<std::uintptr_t>(address);
  const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  return begin >= frame && length <= top - begin;
}

}  // namespace

bool HostLink::direct_ioctl(const std::shared_ptr<File>& file, DWORD code, LPVOID input, DWORD input_length,
                            LPVOID output, DWORD output_length, NTSTATUS* status, std::uint64_t* information) {
  if (broken()) return false;
  const int fd = take_direct();
  if (fd < 0) return false;
  proto::Ioctl request{};
  request.request = ++next_request_;
  request.file = file->id;
  request.thread_id = current_tid();
  request.code = code;
  request.input = reinterpret_cast<std::uint64_t>(input);
  request.output = reinterpret_cast<std::uint64_t>(output);
  request.input_length = input == nullptr ? 0 : input_length;
  request.output_length = output == nullptr ? 0 : output_length;
  // Buffered requests on this thread's stack carry their bytes themselves.
  char message[sizeof request + proto::kMaxInline];
  std::size_t message_size = sizeof request;
  const bool buffered = METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED;
  if (buffered && request.input_length <= proto::kMaxInline && on_own_stack(input, request.input_length)) {
    request.overlapped |= proto::kIoctlInlineInput;
    if (request.input_length != 0) std::memcpy(message + sizeof request, input, request.input_length);
    message_size += request.input_length;
  }
  const bool output_inline =
      buffered && request.output_length <= proto::kMaxInline && on_own_stack(output, request.output_length);
  if (output_inline) request.overlapped |= proto::kIoctlInlineOutput;
  std::memcpy(message, &request, sizeof request);
  bool done = false;
  if (proto::send_message(fd, proto::Type::Ioctl, message, message_size)) {
    // Only this request's completion comes on this connection.
    char buffer[sizeof(proto::MessageHeader) + sizeof(proto::Complete) + proto::kMaxInline];
    for (;;) {
      std::vector<int> fds;
      const long n = proto::receive_message(fd, buffer, &fds);
      for (int stray : fds) ::close(stray);
      if (n < static_cast<long>(sizeof(proto::MessageHeader) + sizeof(proto::Complete))) break;
      proto::MessageHeader header;
      std::memcpy(&header, buffer, sizeof header);
      proto::Complete complete;
      std::memcpy(&complete, buffer + sizeof header, sizeof complete);
      if (header.type != proto::Type::Complete || complete.request != request.request) continue;
      const std::size_t carried = static_cast<std::size_t>(n) - sizeof header - sizeof complete;
      *status = complete.status;
      *information = complete.information;
      if (output_inline) {
        // Exactly the bytes the host would have written, never past the buffer.
        const std::size_t bytes = std::min<std::size_t>({carried, complete.information, request.output_length});
        if (bytes != 0) std::memcpy(output, buffer + sizeof header + sizeof complete, bytes);
      }
      done = true;
      break;
    }
  }
  if (!done) {
    // The host has gone: the connection is not used again.
    ::close(fd);
    std::lock_guard lock(direct_mu_);
    --direct_count_;
    *status = STATUS_DEVICE_REMOVED;
    *information = 0;
    return true;
  }
  std::lock_guard lock(direct_mu_);
  idle_direct_.push_back(fd);
  return true;
}

bool HostLink::send(proto::Type type, const void* body, std::size_t size, int fd) {
  std::lock_guard lock(send_mu_);
  if (proto::send_message(fd_, type, body, size, fd)) return true;
  broken_ = true;  // the host has gone; the next open connects again
  return false;
}

NTSTATUS HostLink::call(proto::Type type, void* body, std::size_t size, std::uint64_t* request_field,
                        std::uint64_t* value) {
  if (foreign()) return STATUS_INVALID_HANDLE;  // the parent's handle, in a forked child
  auto inflight = std::make_shared<Inflight>();
  *request_field = ++next_request_;
  {
    std::lock_guard lock(wait_mutex());
    if (broken_) return STATUS_DEVICE_REMOVED;
    inflight_[*request_field] = inflight;
  }
  if (!send(type, body, size)) {
    std::lock_guard lock(wait_mutex());
    inflight_.erase(*request_field);
    return STATUS_DEVICE_REMOVED;
  }
  std::unique_lock lock(wait_mutex());
  inflight->done.wait(lock, [&] { return inflight->replied; });
  if (value != nullptr) *value = inflight->value;
  return inflight->status;
}

NTSTATUS HostLink::open(std::string_view name, DWORD access, DWORD share, bool overlapped, std::uint64_t* file) {
  proto::Open request{};
  request.thread_id = current_tid();
  request.desired_access = access;
  request.share_access = share;
  request.flags = overlapped ? proto::kOpenOverlapped : 0;
  if (name.size() >= sizeof request.name) return STATUS_OBJECT_NAME_INVALID;
  std::memcpy(request.name, name.data(), name.size());
  return call(proto::Type::Open, &request, sizeof request, &request.request, file);
}

NTSTATUS HostLink::cancel(std::uint64_t file) {
  proto::Cancel request{0, file, current_tid()};
  return call(proto::Type::Cancel, &request, sizeof request, &request.request, nullptr);
}

NTSTATUS HostLink::close(std::uint64_t file) {
  proto::Close request{0, file, current_tid()};
  return call(proto::Type::Close, &request, sizeof request, &request.request, nullptr);
}

std::shared_ptr<Inflight> HostLink::start_ioctl(const std::shared_ptr<File>& file, DWORD code, LPVOID input,
                                                DWORD input_length, LPVOID output, DWORD output_length,
                                                LPOVERLAPPED overlapped) {
  auto inflight = std::make_shared<Inflight>();
  inflight->ioctl = true;
  inflight->file = file;
  inflight->overlapped = overlapped;
  proto::Ioctl request{};
  request.request = ++next_request_;
  request.file = file->id;
  request.thread_id = current_tid();
  request.code = code;
  request.overlapped = file->overlapped ? 1 : 0;
  request.input = reinterpret_cast<std::uint64_t>(input);
  request.output = reinterpret_cast<std::uint64_t>(output);
  request.input_length = input == nullptr ? 0 : input_length;
  request.output_length = output == nullptr ? 0 : output_length;
  {
    std::lock_guard lock(wait_mutex());
    if (broken_ || foreign()) {
      inflight->completed = true;
      inflight->dispatched = true;
      inflight->status = inflight->returned = foreign() ? STATUS_INVALID_HANDLE : STATUS_DEVICE_REMOVED;
      return inflight;
    }
    inflight_[request.request] = inflight;
  }
  if (!send(proto::Type::Ioctl, &request, sizeof request)) {
    std::lock_guard lock(wait_mutex());
    inflight_.erase(request.request);
    inflight->completed = true;
    inflight->dispatched = true;
    inflight->status = inflight->returned = STATUS_DEVICE_REMOVED;
  }
  return inflight;
}

void HostLink::fail_all() {
  for (auto& [id, inflight] : inflight_) {
    inflight->done.notify_all();  // wakes after the caller releases wait_mutex
    if (!inflight->ioctl) {
      inflight->replied = true;
      inflight->status = STATUS_DEVICE_REMOVED;
      continue;
    }
    if (!inflight->completed) {
      inflight->completed = true;
      inflight->status = STATUS_DEVICE_REMOVED;
      inflight->information = 0;
      if (inflight->overlapped != nullptr && inflight->file->overlapped) {
        complete_overlapped(*inflight->file, inflight->overlapped, STATUS_DEVICE_REMOVED, 0,
                            inflight->dispatched && inflight->returned == STATUS_PENDING);
      }
    }
    if (!inflight->dispatched) {
      inflight->dispatched = true;
      inflight->returned = STATUS_DEVICE_REMOVED;
    }
  }
  inflight_.clear();
  notify();
}

void HostLink::reader() {
  std::vector<char> buffer(proto::kMaxMessage);
  for (;;) {
    std::vector<int> fds;
    const long n = proto::receive_message(fd_, buffer, &fds);
    if (n < static_cast<long>(sizeof(proto::MessageHeader))) {
      for (int stray : fds) ::close(stray);
      std::lock_guard lock(wait_mutex());
      broken_ = true;
      fail_all();
      return;
    }
    proto::MessageHeader header;
    std::memcpy(&header, buffer.data(), sizeof header);
    const char* body = buffer.data() + sizeof header;
    const std::size_t size = static_cast<std::size_t>(n) - sizeof header;
    switch (header.type) {
      case proto::Type::Reply: {
        if (size < sizeof(proto::Reply)) break;
        proto::Reply reply;
        std::memcpy(&reply, body, sizeof reply);
        std::shared_ptr<Inflight> waiter;
        {
          std::lock_guard lock(wait_mutex());
          auto it = inflight_.find(reply.request);
          if (it == inflight_.end()) break;
          waiter = it->second;
          waiter->replied = true;
          waiter->status = reply.status;
          waiter->value = reply.value;
          inflight_.erase(it);
        }
        waiter->done.notify_one();  // the caller alone, once the lock is free
        break;
      }
      case proto::Type::Complete: {
        if (size < sizeof(proto::Complete)) break;
        proto::Complete complete;
        std::memcpy(&complete, body, sizeof complete);
        WaitLock held;
        auto it = inflight_.find(complete.request);
        if (it == inflight_.end()) break;
        if (!it->second->file->overlapped) {
          // A synchronous caller waits for this request alone.
          const auto waiter = it->second;
          waiter->completed = true;
          waiter->status = complete.status;
          waiter->information = complete.information;
          waiter->pending_returned = complete.pending_returned != 0;
          inflight_.erase(it);
          held.unlock();
          waiter->done.notify_one();
          break;
        }
        Inflight& inflight = *it->second;
        inflight.completed = true;
        inflight.status = complete.status;
        inflight.information = complete.information;
        inflight.pending_returned = complete.pending_returned != 0;
        // A request that failed before being pended signals nothing, as on Windows.
        const bool signal = inflight.pending_returned || !NT_ERROR(complete.status);
        if (inflight.overlapped != nullptr) {
          complete_overlapped(*inflight.file, inflight.overlapped, complete.status, complete.information, signal);
        }
        notify_key(&inflight);
        if (inflight.dispatched || !inflight.pending_returned) inflight_.erase(it);
        break;
      }
      case proto::Type::Pending: {
        if (size < sizeof(proto::Pending)) break;
        proto::Pending pending;
        std::memcpy(&pending, body, sizeof pending);
        WaitLock lock;
        auto it = inflight_.find(pending.request);
        if (it == inflight_.end()) break;
        it->second->dispatched = true;
        it->second->returned = pending.returned;
        notify_key(it->second.get());
        if (it->second->completed) inflight_.erase(it);
        break;
      }
      case proto::Type::MapUpcall:
      case proto::Type::UnmapUpcall:
        serve_upcall(header.type, body, size, fds);
        fds.clear();
        break;
      default:
        break;
    }
    for (int stray : fds) ::close(stray);
  }
}

void HostLink::serve_upcall(proto::Type type, const char* body, std::size_t size, std::vector<int> fds) {
  proto::UpcallReply reply{};
  if (type == proto::Type::MapUpcall && size >= sizeof(proto::MapUpcall)) {
    proto::MapUpcall upcall;
    std::memcpy(&upcall, body, sizeof upcall);
    reply.upcall = upcall.upcall;
    if (upcall.kind == proto::MapKind::Memory && upcall.pages <= proto::kMaxMapPages && fds.size() == 1) {
      reply.address = map_memory(fds[0], upcall.pages);
      fds.clear();
    } else if (upcall.kind == proto::MapKind::Registers && fds.size() == 2) {
      reply.address = map_registers(fds[0], upcall.pages, upcall.ring_offset, upcall.ring_bytes, fds[1], host_pid_);
      fds.clear();
    }
    reply.status = reply.address != 0 ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
  } else if (type == proto::Type::UnmapUpcall && size >= sizeof(proto::UnmapUpcall)) {
    proto::UnmapUpcall upcall;
    std::memcpy(&upcall, body, sizeof upcall);
    reply.upcall = upcall.upcall;
    reply.status = unmap(upcall.address, upcall.pages) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
  } else {
    reply.status = STATUS_INVALID_PARAMETER;
  }
  for (int stray : fds) ::close(stray);
  send(proto::Type::UpcallReply, &reply, sizeof reply);
}

}  // namespace plat::user
