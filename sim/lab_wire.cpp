#include "sim/lab_wire.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "include/hw/nic.h"
#include "sim/board.h"

namespace zeksim {

namespace {

bool make_address(const std::string& path, sockaddr_un* address) {
  if (path.size() >= sizeof address->sun_path) return false;
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

bool is_socket(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

}  // namespace

LabWire::LabWire(Board& board, Settings settings, std::function<void(std::string_view)> log)
    : board_(board), settings_(std::move(settings)), log_(std::move(log)) {}

LabWire::~LabWire() { stop(); }

std::string LabWire::socket_path() const { return settings_.lab_dir + "/wire/" + settings_.port_name + ".sock"; }

bool LabWire::start(std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(settings_.lab_dir + "/wire", ec);
  if (ec) {
    *error = "cannot create " + settings_.lab_dir + "/wire: " + ec.message();
    return false;
  }
  sockaddr_un address;
  const std::string path = socket_path();
  if (!make_address(path, &address)) {
    *error = "the wire socket path " + path + " is too long";
    return false;
  }
  // A socket file left by a port that is gone is taken over; a live one is not.
  if (std::filesystem::exists(path)) {
    int probe = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool alive = probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (probe >= 0) ::close(probe);
    if (alive) {
      *error = "another port of the lab is bound at " + path;
      return false;
    }
    if (!is_socket(path)) {
      *error = path + " is in the way of the port's socket and is not one";
      return false;
    }
    ::unlink(path.c_str());
  }
  socket_ = bind_socket(error);
  if (socket_ < 0) return false;
  if (!settings_.capture.empty() && !capture_.open(settings_.capture)) {
    *error = "cannot write the capture " + settings_.capture + ": " + std::strerror(errno);
    ::close(socket_);
    ::unlink(path.c_str());
    socket_ = -1;
    return false;
  }
  stopping_ = false;
  if (settings_.impair.any()) impairment_ = std::make_unique<Impairment>(settings_.impair);
  board_.attach_port(this);
  sender_ = std::thread([this] { sender_loop(); });
  receiver_ = std::thread([this] { receiver_loop(); });
  return true;
}

int LabWire::bind_socket(std::string* error) {
  sockaddr_un address;
  const std::string path = socket_path();
  make_address(path, &address);
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    *error = "bind " + path + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  struct stat status {};
  bound_inode_ = ::lstat(path.c_str(), &status) == 0 ? status.st_ino : 0;
  // The receiver wakes now and then to see whether the port is stopping.
  timeval timeout{0, 100'000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  // Sends wait while a receiver is full only on a lossless wire; the limit
  // lets a stopping port leave (and a lossy wire give up on a peer).
  timeval send_timeout = settings_.lossless ? timeval{1, 0} : timeval{0, 20'000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
  return fd;
}

// A port whose socket file was removed (or replaced) hears nothing: it binds
// a new socket at its path and puts it in the old one's place.
void LabWire::keep_bound() {
  const auto now = std::chrono::steady_clock::now();
  if (now - last_bound_check_ < kRescan) return;
  last_bound_check_ = now;
  struct stat status {};
  const std::string path = socket_path();
  if (::lstat(path.c_str(), &status) == 0) {
    if (S_ISSOCK(status.st_mode) && status.st_ino == bound_inode_) return;
    // Something else holds the path now: not ours to remove.
    if (!displaced_) log_("lab wire: " + path + " is no longer the port's socket; the port hears nothing");
    displaced_ = true;
    return;
  }
  std::string error;
  const int fresh = bind_socket(&error);
  if (fresh < 0) {
    log_("lab wire: the port's socket file " + path + " was removed and cannot be bound again: " + error);
    return;
  }
  displaced_ = false;
  ::dup2(fresh, socket_);  // the sender and the receiver use the new socket from now on
  ::close(fresh);
  log_("lab wire: the port's socket file " + path + " was removed; bound again");
}

void LabWire::stop() {
  if (socket_ < 0) return;
  board_.attach_port(nullptr);
  stopping_ = true;
  board_.stop_port();
  cv_.notify_all();
  if (sender_.joinable()) sender_.join();
  if (receiver_.joinable()) receiver_.join();
  ::close(socket_);
  ::unlink(socket_path().c_str());
  socket_ = -1;
}

bool LabWire::has_room() {
  std::lock_guard lock(mu_);
  if (outbound_.size() < kOutboundLimit) return true;
  was_full_ = true;
  return false;
}

void LabWire::transmit(std::span<const std::byte> frame) {
  capture_.write(frame);
  {
    std::lock_guard lock(mu_);
    outbound_.emplace_back(frame.begin(), frame.end());
  }
  cv_.notify_one();
}

void LabWire::rescan() {
  last_scan_ = std::chrono::steady_clock::now();
  peers_.clear();
  std::error_code ec;
  const std::string own = socket_path();
  for (const auto& entry : std::filesystem::directory_iterator(settings_.lab_dir + "/wire", ec)) {
    const std::string path = entry.path().string();
    std::error_code type_error;
    // Only sockets are ports: any other file there is not the wire's.
    if (entry.path().extension() == ".sock" && path != own &&
        entry.symlink_status(type_error).type() == std::filesystem::file_type::socket) {
      peers_.push_back(path);
    }
  }
}

void LabWire::send_to_peers(const std::vector<std::byte>& frame) {
  if (std::chrono::steady_clock::now() - last_scan_ >= kRescan) rescan();
  for (auto it = peers_.begin(); it != peers_.end();) {
    sockaddr_un address;
    if (!make_address(*it, &address)) {
      it = peers_.erase(it);
      continue;
    }
    bool gone = false;
    const auto give_up = std::chrono::steady_clock::now() + kDropGrace;
    // A peer already found not reading is not waited for again until it takes a frame.
    const bool stalled = !settings_.lossless && stalled_.contains(*it);
    for (;;) {
      // Blocking: a full receiver holds this sender back; on a lossless wire nothing is dropped.
      if (::sendto(socket_, frame.data(), frame.size(), stalled ? MSG_DONTWAIT : 0,
                   reinterpret_cast<sockaddr*>(&address), sizeof address) >= 0) {
        stalled_.erase(*it);
        break;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (stopping_) break;  // a peer that reads nothing only holds us until the port stops
        if (!settings_.lossless && (stalled || std::chrono::steady_clock::now() >= give_up)) {
          ++dropped_;
          stalled_.insert(*it);
          break;
        }
        continue;
      }
      if (errno == ECONNREFUSED || errno == ENOENT) {
        gone = true;
      } else {
        log_(std::string("lab wire: sending to ") + *it + " failed: " + std::strerror(errno));
      }
      break;
    }
    if (gone) {
      log_("lab wire: the port at " + *it + " has gone");
      if (is_socket(*it)) ::unlink(it->c_str());
      it = peers_.erase(it);
    } else {
      ++it;
    }
  }
}

void LabWire::sender_loop() {
  const auto now = [] {
    return std::chrono::duration_cast<Nanos>(std::chrono::steady_clock::now().time_since_epoch());
  };
  for (;;) {
    std::vector<std::byte> frame;
    bool room = false;
    bool have = false;
    {
      std::unique_lock lock(mu_);
      const auto ready = [&] { return stopping_.load() || !outbound_.empty(); };
      if (impairment_ && impairment_->next_release()) {
        cv_.wait_for(lock, std::max(Nanos{0}, *impairment_->next_release() - now()), ready);
      } else {
        cv_.wait(lock, ready);
      }
      if (stopping_) return;
      if (!outbound_.empty()) {
        frame = std::move(outbound_.front());
        outbound_.pop_front();
        have = true;
        if (was_full_ && outbound_.size() < kOutboundLimit / 2) {
          was_full_ = false;
          room = true;
        }
      }
    }
    if (room) board_.port_room();  // never with the port's lock held
    if (!impairment_) {
      send_to_peers(frame);
      ++sent_;
      continue;
    }
    if (have) impairment_->submit(std::move(frame), now());
    for (const auto& f : impairment_->release(now())) {
      send_to_peers(f);
      ++sent_;
    }
    std::lock_guard lock(mu_);
    impaired_ = impairment_->counters();
  }
}

ImpairmentCounters LabWire::impairment_counters() {
  std::lock_guard lock(mu_);
  return impaired_;
}

bool LabWire::peer_present() const {
  std::error_code ec;
  const std::string own = socket_path();
  for (const auto& entry : std::filesystem::directory_iterator(settings_.lab_dir + "/wire", ec)) {
    const std::string path = entry.path().string();
    sockaddr_un address;
    if (entry.path().extension() != ".sock" || path == own || !make_address(path, &address)) continue;
    const int probe = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) continue;
    const bool live = ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    if (live) return true;
  }
  return false;
}

void LabWire::receiver_loop() {
  std::vector<std::byte> buffer(zekhw::kNicMaxFrame + 64);
  auto last_look = std::chrono::steady_clock::now() - kRescan;
  while (!stopping_) {
    if (std::chrono::steady_clock::now() - last_look >= kRescan) {
      last_look = std::chrono::steady_clock::now();
      board_.set_carrier(peer_present());
    }
    const ssize_t n = ::recv(socket_, buffer.data(), buffer.size(), 0);
    if (n < 0) {  // time-out (checks stopping and the socket file) or interruption
      keep_bound();
      continue;
    }
    if (n < static_cast<ssize_t>(zekhw::kNicMinFrame) || n > static_cast<ssize_t>(zekhw::kNicMaxFrame)) {
      log_("lab wire: a datagram of " + std::to_string(n) + " bytes is not a frame; dropped");
      continue;
    }
    const std::span<const std::byte> frame(buffer.data(), static_cast<std::size_t>(n));
    capture_.write(frame);
    ++received_;
    // Waits while the board's inbound queue is full: the socket fills and
    // the senders wait in turn.
    if (!board_.receive_frame(frame)) return;
  }
}

}  // namespace zeksim
