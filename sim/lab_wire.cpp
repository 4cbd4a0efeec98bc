#include "sim/lab_wire.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>

#include "include/hw/nic.h"

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

LabWire::LabWire(WireStation& station, Settings settings, std::function<void(std::string_view)> log)
    : board_(station), settings_(std::move(settings)), log_(std::move(log)) {}

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
  // Room for bursts of jumbo frames (the system's bounds apply).
  const int buffer_bytes = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer_bytes, sizeof buffer_bytes);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer_bytes, sizeof buffer_bytes);
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
  if (outbound_.size() + batch_.size() < kOutboundLimit) return true;
  was_full_ = true;
  return false;
}

void LabWire::transmit_later(std::span<const std::byte> frame) {
  capture_.write(frame);
  std::lock_guard lock(mu_);
  batch_.push_back(std::make_shared<const std::vector<std::byte>>(frame.begin(), frame.end()));
}

void LabWire::transmit(std::span<const std::byte> frame) {
  transmit_later(frame);
  flush();
}

void LabWire::flush() {
  std::vector<Frame> batch;
  {
    std::lock_guard lock(mu_);
    if (batch_.empty()) return;
    batch.swap(batch_);
    // Behind frames already waiting (or through the impairment) they wait too.
    if (impairment_ || sending_ || !outbound_.empty()) {
      for (Frame& f : batch) outbound_.push_back(Outgoing{std::move(f), {}});
      cv_.notify_one();
      return;
    }
    sending_ = true;
  }
  std::deque<Outgoing> rest = send_now(batch);
  bool room = false;
  {
    std::lock_guard lock(mu_);
    sending_ = false;
    for (auto it = rest.rbegin(); it != rest.rend(); ++it) outbound_.push_front(std::move(*it));
    if (!outbound_.empty()) cv_.notify_one();
    if (was_full_ && outbound_.size() + batch_.size() < kOutboundLimit / 2) {
      was_full_ = false;
      room = true;
    }
  }
  if (room) board_.port_room();
}

void LabWire::rescan_locked() {
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

namespace {

std::uint64_t mac_at(std::span<const std::byte> frame, std::size_t offset) {
  std::uint64_t mac = 0;
  for (std::size_t i = 0; i < 6; ++i) mac = mac << 8 | std::to_integer<std::uint64_t>(frame[offset + i]);
  return mac;
}

constexpr std::uint64_t kGroupBit = std::uint64_t{1} << 40;  // the I/G bit of the first byte

}  // namespace

std::vector<std::string> LabWire::destinations_locked(std::span<const std::byte> frame) {
  if (std::chrono::steady_clock::now() - last_scan_ >= kRescan) rescan_locked();
  const std::uint64_t destination = mac_at(frame, 0);
  if ((destination & kGroupBit) == 0) {
    auto it = learned_.find(destination);
    if (it != learned_.end()) {
      const bool fresh = std::chrono::steady_clock::now() - it->second.seen < kLearnedFor;
      if (fresh && std::find(peers_.begin(), peers_.end(), it->second.peer) != peers_.end()) {
        if (peers_.size() > 1) ++switched_;
        return {it->second.peer};
      }
      learned_.erase(it);
    }
  }
  return peers_;
}

void LabWire::learn(std::span<const std::byte> frame, const std::string& peer) {
  const std::uint64_t source = mac_at(frame, 6);
  if ((source & kGroupBit) != 0 || peer.empty()) return;
  std::lock_guard lock(mu_);
  Learned& l = learned_[source];
  l.peer = peer;
  l.seen = std::chrono::steady_clock::now();
}

void LabWire::peer_gone(const std::string& path) {
  log_("lab wire: the port at " + path + " has gone");
  if (is_socket(path)) ::unlink(path.c_str());
  std::lock_guard lock(mu_);
  std::erase(peers_, path);
  std::erase_if(learned_, [&](const auto& entry) { return entry.second.peer == path; });
}

std::deque<LabWire::Outgoing> LabWire::send_now(std::vector<Frame>& batch) {
  // Every (frame, peer) pair as one message, in order.
  struct Pair {
    std::size_t frame;
    std::string peer;
  };
  std::vector<Pair> pairs;
  {
    std::lock_guard lock(mu_);
    for (std::size_t i = 0; i < batch.size(); ++i) {
      if (batch[i]->size() > settings_.max_frame) {
        ++oversize_;
        continue;
      }
      for (std::string& peer : destinations_locked(*batch[i])) pairs.push_back(Pair{i, std::move(peer)});
    }
  }
  std::vector<sockaddr_un> names(pairs.size());
  std::vector<iovec> iov(pairs.size());
  std::vector<mmsghdr> messages(pairs.size());
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    make_address(pairs[k].peer, &names[k]);
    const auto& frame = *batch[pairs[k].frame];
    iov[k] = iovec{const_cast<std::byte*>(frame.data()), frame.size()};
    messages[k] = mmsghdr{};
    messages[k].msg_hdr.msg_name = &names[k];
    messages[k].msg_hdr.msg_namelen = sizeof names[k];
    messages[k].msg_hdr.msg_iov = &iov[k];
    messages[k].msg_hdr.msg_iovlen = 1;
  }
  std::size_t at = 0;
  while (at < pairs.size()) {
    const unsigned n = static_cast<unsigned>(std::min<std::size_t>(pairs.size() - at, kBatch));
    const int done = ::sendmmsg(socket_, &messages[at], n, MSG_DONTWAIT);
    if (done > 0) {
      at += static_cast<std::size_t>(done);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) break;  // the rest waits for the sender thread
    if (errno == ECONNREFUSED || errno == ENOENT) {
      peer_gone(pairs[at].peer);
    } else {
      log_(std::string("lab wire: sending to ") + pairs[at].peer + " failed: " + std::strerror(errno));
    }
    ++at;  // that peer does not get this frame
  }
  // Frames wholly sent count as sent; the rest go to the sender thread with
  // the peers they are still for (and the frames with no pair at all count too).
  std::deque<Outgoing> rest;
  const std::size_t first_left = at < pairs.size() ? pairs[at].frame : batch.size();
  sent_ += first_left;
  direct_ += first_left;
  for (std::size_t k = at; k < pairs.size(); ++k) {
    if (rest.empty() || rest.back().frame != batch[pairs[k].frame]) rest.push_back(Outgoing{batch[pairs[k].frame], {}});
    rest.back().to.push_back(pairs[k].peer);
  }
  // Frames after the first unsent one that had no pair (no peers) go along, in order.
  for (std::size_t i = first_left; i < batch.size(); ++i) {
    const bool listed = std::any_of(rest.begin(), rest.end(), [&](const Outgoing& o) { return o.frame == batch[i]; });
    if (!listed) ++sent_;
  }
  return rest;
}

void LabWire::send_waiting(const std::deque<Outgoing>& items) {
  // Consecutive frames for the same one peer go as one run (sendmmsg);
  // a frame for several peers goes to each in turn.
  std::string run_peer;
  std::vector<const std::vector<std::byte>*> run;
  auto flush_run = [&] {
    if (!run.empty()) send_run(run_peer, run);
    run.clear();
  };
  for (const Outgoing& item : items) {
    std::vector<std::string> peers = item.to;
    if (peers.empty()) {
      if (item.frame->size() > settings_.max_frame) {
        ++oversize_;
        continue;
      }
      std::lock_guard lock(mu_);
      peers = destinations_locked(*item.frame);
    }
    if (peers.size() == 1 && (run.empty() || peers[0] == run_peer)) {
      run_peer = peers[0];
      run.push_back(item.frame.get());
      continue;
    }
    flush_run();
    if (peers.size() == 1) {
      run_peer = peers[0];
      run.push_back(item.frame.get());
      continue;
    }
    for (const std::string& peer : peers) {
      run_peer = peer;
      run.push_back(item.frame.get());
      flush_run();
    }
  }
  flush_run();
}

void LabWire::send_run(const std::string& peer, std::span<const std::vector<std::byte>* const> frames) {
  sockaddr_un address;
  if (!make_address(peer, &address)) return;
  std::vector<iovec> iov(frames.size());
  std::vector<mmsghdr> messages(frames.size());
  for (std::size_t k = 0; k < frames.size(); ++k) {
    iov[k] = iovec{const_cast<std::byte*>(frames[k]->data()), frames[k]->size()};
    messages[k] = mmsghdr{};
    messages[k].msg_hdr.msg_name = &address;
    messages[k].msg_hdr.msg_namelen = sizeof address;
    messages[k].msg_hdr.msg_iov = &iov[k];
    messages[k].msg_hdr.msg_iovlen = 1;
  }
  std::size_t at = 0;
  auto give_up = std::chrono::steady_clock::now() + kDropGrace;
  while (at < frames.size()) {
    // A peer already found not reading is not waited for again until it takes a frame.
    const bool stalled = !settings_.lossless && stalled_.contains(peer);
    // Blocking: a full receiver holds this sender back; on a lossless wire nothing is dropped.
    const unsigned n = static_cast<unsigned>(std::min<std::size_t>(frames.size() - at, kBatch));
    const int done = ::sendmmsg(socket_, &messages[at], n, stalled ? MSG_DONTWAIT : 0);
    if (done > 0) {
      at += static_cast<std::size_t>(done);
      stalled_.erase(peer);
      give_up = std::chrono::steady_clock::now() + kDropGrace;
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (stopping_) return;  // a peer that reads nothing only holds us until the port stops
      if (!settings_.lossless && (stalled || std::chrono::steady_clock::now() >= give_up)) {
        ++dropped_;
        stalled_.insert(peer);
        ++at;
        give_up = std::chrono::steady_clock::now() + kDropGrace;
      }
      continue;
    }
    if (errno == ECONNREFUSED || errno == ENOENT) {
      peer_gone(peer);
      return;
    }
    log_(std::string("lab wire: sending to ") + peer + " failed: " + std::strerror(errno));
    ++at;
  }
}

void LabWire::sender_loop() {
  const auto now = [] {
    return std::chrono::duration_cast<Nanos>(std::chrono::steady_clock::now().time_since_epoch());
  };
  for (;;) {
    std::deque<Outgoing> work;
    bool room = false;
    {
      std::unique_lock lock(mu_);
      const auto ready = [&] { return stopping_.load() || (!outbound_.empty() && !sending_); };
      if (impairment_ && impairment_->next_release()) {
        cv_.wait_for(lock, std::max(Nanos{0}, *impairment_->next_release() - now()), ready);
      } else {
        cv_.wait(lock, ready);
      }
      if (stopping_) return;
      if (!sending_) {
        work.swap(outbound_);
        sending_ = true;
      }
      if (was_full_ && outbound_.size() + batch_.size() < kOutboundLimit / 2) {
        was_full_ = false;
        room = true;
      }
    }
    if (room) board_.port_room();  // never with the port's lock held
    if (!impairment_) {
      send_waiting(work);
      sent_ += work.size();
    } else {
      for (Outgoing& item : work) impairment_->submit(*item.frame, now());
      std::deque<Outgoing> released;
      for (auto& f : impairment_->release(now())) {
        released.push_back(Outgoing{std::make_shared<const std::vector<std::byte>>(std::move(f)), {}});
      }
      send_waiting(released);
      sent_ += released.size();
    }
    std::lock_guard lock(mu_);
    sending_ = false;
    if (impairment_) impaired_ = impairment_->counters();
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
  // Buffers of the largest datagram the port takes (a larger one shows as
  // truncated); the board hands spent ones back.
  const std::size_t capacity = settings_.max_frame + 64;
  std::vector<std::vector<std::byte>> buffers(kBatch);
  std::vector<sockaddr_un> names(kBatch);
  std::vector<iovec> iov(kBatch);
  std::vector<mmsghdr> messages(kBatch);
  std::vector<std::vector<std::byte>> frames;
  auto last_look = std::chrono::steady_clock::now() - kRescan;
  while (!stopping_) {
    if (std::chrono::steady_clock::now() - last_look >= kRescan) {
      last_look = std::chrono::steady_clock::now();
      board_.set_carrier(peer_present());
    }
    for (unsigned i = 0; i < kBatch; ++i) {
      if (buffers[i].size() != capacity) {
        if (buffers[i].capacity() < capacity) buffers[i] = board_.recycle_buffer();
        buffers[i].resize(capacity);
      }
      iov[i] = iovec{buffers[i].data(), capacity};
      messages[i] = mmsghdr{};
      messages[i].msg_hdr.msg_name = &names[i];
      messages[i].msg_hdr.msg_namelen = sizeof names[i];
      messages[i].msg_hdr.msg_iov = &iov[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    // Waits for the first datagram (up to the socket's time-out), then takes what is there.
    const int n = ::recvmmsg(socket_, messages.data(), kBatch, MSG_WAITFORONE, nullptr);
    if (n <= 0) {  // time-out (checks stopping and the socket file) or interruption
      keep_bound();
      continue;
    }
    for (int i = 0; i < n; ++i) {
      const std::size_t length = messages[i].msg_len;
      if ((messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0 || length > settings_.max_frame) {
        ++oversize_;
        continue;
      }
      if (length < zekhw::kNicMinFrame) {
        log_("lab wire: a datagram of " + std::to_string(length) + " bytes is not a frame; dropped");
        continue;
      }
      buffers[i].resize(length);
      capture_.write(buffers[i]);
      ++received_;
      const socklen_t name_length = messages[i].msg_hdr.msg_namelen;
      if (name_length > offsetof(sockaddr_un, sun_path) && names[i].sun_path[0] != '\0') {
        learn(buffers[i], std::string(names[i].sun_path, ::strnlen(names[i].sun_path, sizeof names[i].sun_path)));
      }
      frames.push_back(std::move(buffers[i]));
      buffers[i] = {};
    }
    // Waits while the board's inbound queue is full: the socket fills and
    // the senders wait in turn.
    if (!frames.empty() && !board_.receive_frames(frames)) return;
    frames.clear();
  }
}

}  // namespace zeksim
