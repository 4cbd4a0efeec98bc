#include "sim/lab_wire.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
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
#include <fstream>
#include <thread>

#include "include/hw/nic.h"
#include "sim/spin.h"

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

// The inode of the socket file at `path` (0: none there).
ino_t socket_inode(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode) ? status.st_ino : 0;
}

// The lane marker beside a port's socket: PATH.sock -> PATH.lane.
std::string marker_of(const std::string& socket) { return socket.substr(0, socket.size() - 5) + ".lane"; }

// Control messages between ports: 12 bytes, shorter than any frame.
constexpr std::uint32_t kControlMagic = 0x7A656B57;  // "zekW"
constexpr std::uint32_t kOffer = 1, kAccept = 2;
constexpr std::size_t kControlBytes = 12;
constexpr unsigned kMaxFds = 4;  // descriptors a message may carry; more are cut off

bool is_eventfd(int fd) {
  char link[64];
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(path.c_str(), link, sizeof link - 1);
  return n > 0 && std::string_view(link, static_cast<std::size_t>(n)) == "anon_inode:[eventfd]";
}

void ring_bell(int fd) {
  const std::uint64_t one = 1;
  (void)!::write(fd, &one, sizeof one);
}

}  // namespace

LabWire::LabWire(WireStation& station, Settings settings, std::function<void(std::string_view)> log)
    : board_(station), settings_(std::move(settings)), log_(std::move(log)) {}

LabWire::~LabWire() { stop(); }

LabWire::OutLane::~OutLane() {
  if (bell >= 0) ::close(bell);
}

std::string LabWire::socket_path() const { return settings_.lab_dir + "/wire/" + settings_.port_name + ".sock"; }

std::string LabWire::lane_marker_path() const { return marker_of(socket_path()); }

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
  // The bell peers ring when frames wait in their lanes, and the mark that
  // says the port takes lanes (without them, datagrams only).
  bell_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (bell_ >= 0) std::ofstream(lane_marker_path()) << "lanes\n";
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
  ::unlink(lane_marker_path().c_str());
  for (InLane& lane : lanes_in_) lane.ring->close();
  lanes_in_.clear();
  lanes_in_count_ = 0;
  {
    std::lock_guard lock(mu_);
    lanes_.clear();
    to_ring_.clear();
    no_lanes_.clear();
  }
  if (bell_ >= 0) ::close(bell_);
  bell_ = -1;
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
  // Nothing waits before it and its one peer has a lane: into the lane at
  // once, its only copy (the bell at the flush).
  if (!impairment_ && !sending_ && outbound_.empty() && batch_.empty() && !lanes_.empty() &&
      frame.size() <= settings_.max_frame) {
    const std::vector<std::string> peers = destinations_locked(frame, false);
    if (peers.size() == 1) {
      if (Lane lane = lane_locked(peers[0])) {
        const LaneRing::Result r = lane->ring->put(frame);
        if (r == LaneRing::Result::Ok) {
          if (peers_.size() > 1) ++switched_;  // one of several: its learned peer
          ++sent_;
          ++direct_;
          lane_sent_.fetch_add(1, std::memory_order_relaxed);
          if (!lane->rung) {
            lane->rung = true;
            to_ring_.push_back(lane);
          }
          return;
        }
        if (r != LaneRing::Result::Full) {
          lanes_.erase(peers[0]);
          no_lanes_[peers[0]] = lane->peer_inode;
          if (r == LaneRing::Result::Broken) {
            ++lanes_broken_;
            log_("lab wire: the lane to " + peers[0] + " is broken (its reader's index is not sound); closed");
          }
        }
      }
    }
  }
  batch_.push_back(std::make_shared<const std::vector<std::byte>>(frame.begin(), frame.end()));
}

void LabWire::transmit(std::span<const std::byte> frame) {
  transmit_later(frame);
  flush();
}

void LabWire::flush() {
  std::vector<Frame> batch;
  std::vector<Lane> ring;
  {
    std::lock_guard lock(mu_);
    ring.swap(to_ring_);
    for (Lane& l : ring) l->rung = false;
  }
  ring_bells(ring);
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
  // Lanes whose peer went or was replaced by another port end; the peers
  // that take lanes and have none are offered one.
  // An offer not answered within a second is made again.
  const auto now = std::chrono::steady_clock::now();
  for (auto it = lanes_.begin(); it != lanes_.end();) {
    if (socket_inode(it->first) != it->second->peer_inode ||
        (!it->second->open && now - it->second->offered > std::chrono::seconds(1))) {
      it = lanes_.erase(it);
    } else {
      ++it;
    }
  }
  std::erase_if(no_lanes_, [](const auto& entry) { return socket_inode(entry.first) != entry.second; });
  offer_lanes_locked();
}

void LabWire::offer_lanes_locked() {
  if (bell_ < 0) return;
  for (const std::string& peer : peers_) {
    if (lanes_.contains(peer) || no_lanes_.contains(peer)) continue;
    struct stat marker {};
    if (::lstat(marker_of(peer).c_str(), &marker) != 0 || !S_ISREG(marker.st_mode)) continue;
    std::string error;
    auto lane = std::make_shared<OutLane>();
    lane->ring = LaneRing::create(&error);
    if (!lane->ring) {
      log_("lab wire: no lane to " + peer + ": " + error);
      no_lanes_[peer] = socket_inode(peer);
      continue;
    }
    lane->id = next_lane_id_++;
    lane->peer_inode = socket_inode(peer);
    lane->offered = std::chrono::steady_clock::now();
    // A peer that does not take the offer now is offered again at the next rescan.
    if (send_control(peer, kOffer, lane->id, lane->ring->fd())) lanes_[peer] = std::move(lane);
  }
}

bool LabWire::send_control(const std::string& peer, std::uint32_t kind, std::uint32_t id, int fd) {
  sockaddr_un address;
  if (!make_address(peer, &address)) return false;
  std::uint32_t body[3] = {kControlMagic, kind, id};
  iovec iov{body, sizeof body};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr m{};
  m.msg_name = &address;
  m.msg_namelen = sizeof address;
  m.msg_iov = &iov;
  m.msg_iovlen = 1;
  m.msg_control = control;
  m.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&m);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
  return ::sendmsg(socket_, &m, MSG_DONTWAIT) == static_cast<ssize_t>(sizeof body);
}

LabWire::Lane LabWire::lane_locked(const std::string& peer) {
  auto it = lanes_.find(peer);
  return it != lanes_.end() && it->second->open ? it->second : nullptr;
}

LaneRing::Result LabWire::lane_put(const Lane& lane, const std::string& peer, std::span<const std::byte> frame) {
  const LaneRing::Result r = lane->ring->put(frame);
  if (r == LaneRing::Result::Ok) {
    lane_sent_.fetch_add(1, std::memory_order_relaxed);
  } else if (r != LaneRing::Result::Full) {
    close_lane(peer, lane, r == LaneRing::Result::Broken ? "its reader's index is not sound" : nullptr);
  }
  return r;
}

void LabWire::close_lane(const std::string& peer, const Lane& lane, const char* why) {
  if (why != nullptr) {
    ++lanes_broken_;
    log_("lab wire: the lane to " + peer + " is broken (" + why + "); closed, datagrams from now on");
  }
  std::lock_guard lock(mu_);
  auto it = lanes_.find(peer);
  if (it != lanes_.end() && it->second == lane) {
    no_lanes_[peer] = lane->peer_inode;
    lanes_.erase(it);
  }
}

void LabWire::ring_bells(std::vector<Lane>& lanes) {
  for (const Lane& lane : lanes) {
    if (lane->bell >= 0 && lane->ring->take_sleeping()) ring_bell(lane->bell);
  }
  lanes.clear();
}

namespace {

std::uint64_t mac_at(std::span<const std::byte> frame, std::size_t offset) {
  std::uint64_t mac = 0;
  for (std::size_t i = 0; i < 6; ++i) mac = mac << 8 | std::to_integer<std::uint64_t>(frame[offset + i]);
  return mac;
}

constexpr std::uint64_t kGroupBit = std::uint64_t{1} << 40;  // the I/G bit of the first byte

}  // namespace

std::vector<std::string> LabWire::destinations_locked(std::span<const std::byte> frame, bool count) {
  const auto now = std::chrono::steady_clock::now();
  if (now - last_scan_ >= kRescan) rescan_locked();
  const std::uint64_t destination = mac_at(frame, 0);
  if ((destination & kGroupBit) == 0) {
    auto it = learned_.find(destination);
    if (it != learned_.end()) {
      const bool fresh = now - it->second.seen < kLearnedFor;
      if (fresh && std::find(peers_.begin(), peers_.end(), it->second.peer) != peers_.end()) {
        if (count && peers_.size() > 1) ++switched_;
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
  const std::string marker = marker_of(path);
  struct stat status {};
  if (::lstat(marker.c_str(), &status) == 0 && S_ISREG(status.st_mode) && !is_socket(path)) ::unlink(marker.c_str());
  std::lock_guard lock(mu_);
  std::erase(peers_, path);
  std::erase_if(learned_, [&](const auto& entry) { return entry.second.peer == path; });
  lanes_.erase(path);
}

std::deque<LabWire::Outgoing> LabWire::send_now(std::vector<Frame>& batch) {
  // Every (frame, peer) pair as one message, in order.
  struct Pair {
    std::size_t frame;
    std::string peer;
    Lane lane;  // the peer's open lane, or null: a datagram
  };
  std::vector<Pair> pairs;
  {
    std::lock_guard lock(mu_);
    for (std::size_t i = 0; i < batch.size(); ++i) {
      if (batch[i]->size() > settings_.max_frame) {
        ++oversize_;
        continue;
      }
      for (std::string& peer : destinations_locked(*batch[i])) {
        Lane lane = lane_locked(peer);
        pairs.push_back(Pair{i, std::move(peer), std::move(lane)});
      }
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
  std::vector<Lane> rung;
  while (at < pairs.size()) {
    if (pairs[at].lane) {
      const LaneRing::Result r = lane_put(pairs[at].lane, pairs[at].peer, *batch[pairs[at].frame]);
      if (r == LaneRing::Result::Full) break;  // the rest waits for the sender thread
      if (r == LaneRing::Result::Ok) {
        if (std::find(rung.begin(), rung.end(), pairs[at].lane) == rung.end()) rung.push_back(pairs[at].lane);
        ++at;
        continue;
      }
      pairs[at].lane = nullptr;  // the lane closed: a datagram
    }
    // A run of datagrams.
    std::size_t end = at;
    while (end < pairs.size() && !pairs[end].lane && end - at < kBatch) ++end;
    const int done = ::sendmmsg(socket_, &messages[at], static_cast<unsigned>(end - at), MSG_DONTWAIT);
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
  ring_bells(rung);
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
  Lane lane;
  {
    std::lock_guard lock(mu_);
    lane = lane_locked(peer);
  }
  std::size_t at = 0;
  auto give_up = std::chrono::steady_clock::now() + kDropGrace;
  auto next_look = std::chrono::steady_clock::now() + kRescan;
  while (lane && at < frames.size()) {
    // A peer already found not reading is not waited for again until it takes a frame.
    const bool stalled = !settings_.lossless && stalled_.contains(peer);
    const LaneRing::Result r = lane_put(lane, peer, *frames[at]);
    if (r == LaneRing::Result::Ok) {
      ++at;
      stalled_.erase(peer);
      give_up = std::chrono::steady_clock::now() + kDropGrace;
      continue;
    }
    if (r != LaneRing::Result::Full) {
      lane = nullptr;  // closed: the rest go as datagrams
      break;
    }
    // Full: its reader must be awake to make room.
    if (lane->ring->take_sleeping()) ring_bell(lane->bell);
    if (stopping_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!settings_.lossless && (stalled || now >= give_up)) {
      ++dropped_;
      stalled_.insert(peer);
      ++at;
      give_up = now + kDropGrace;
      continue;
    }
    const auto limit = settings_.lossless ? kRescan : std::min<std::chrono::nanoseconds>(give_up - now, kRescan);
    if (lane->ring->wait_room(frames[at]->size(), limit) || std::chrono::steady_clock::now() < next_look) continue;
    // A long wait: is the reader still there, and still the port the lane was made for?
    next_look = std::chrono::steady_clock::now() + kRescan;
    if (socket_inode(peer) != lane->peer_inode) {
      close_lane(peer, lane, nullptr);
      lane = nullptr;
      break;
    }
    sockaddr_un address;
    const int probe = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool live = probe < 0 || !make_address(peer, &address) ||
                      ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (probe >= 0) ::close(probe);
    if (!live) {
      peer_gone(peer);
      return;
    }
  }
  if (lane) {
    if (lane->ring->take_sleeping()) ring_bell(lane->bell);
    return;
  }
  frames = frames.subspan(at);
  at = 0;
  give_up = std::chrono::steady_clock::now() + kDropGrace;
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
  struct Control {
    alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(int) * kMaxFds)];
  };
  std::vector<std::vector<std::byte>> buffers(kBatch);
  std::vector<sockaddr_un> names(kBatch);
  std::vector<iovec> iov(kBatch);
  std::vector<mmsghdr> messages(kBatch);
  std::vector<Control> controls(kBatch);
  std::vector<std::vector<std::byte>> frames;
  std::vector<int> fds;
  auto last_look = std::chrono::steady_clock::now() - kRescan;
  auto last_frame = last_look;
  constexpr unsigned kSocketEvery = 8;
  unsigned rounds = 0;
  bool lanes_busy = false;
  while (!stopping_) {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_look >= kRescan) {
      last_look = now;
      board_.set_carrier(peer_present());
      check_lanes_in();
      keep_bound();
    }
    // What is there now, without waiting; while lanes keep bringing frames,
    // the socket (offers, peers without lanes) is looked at every few rounds.
    const bool look = lanes_in_.empty() || !lanes_busy || ++rounds % kSocketEvery == 0;
    for (unsigned i = 0; look && i < kBatch; ++i) {
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
      messages[i].msg_hdr.msg_control = controls[i].bytes;
      messages[i].msg_hdr.msg_controllen = sizeof controls[i].bytes;
    }
    const int n = look ? ::recvmmsg(socket_, messages.data(), kBatch, MSG_DONTWAIT | MSG_CMSG_CLOEXEC, nullptr) : 0;
    for (int i = 0; i < n; ++i) {
      // Descriptors come only with control messages; any other is closed.
      fds.clear();
      for (cmsghdr* c = CMSG_FIRSTHDR(&messages[i].msg_hdr); c != nullptr; c = CMSG_NXTHDR(&messages[i].msg_hdr, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t k = 0; k < count; ++k) {
          int fd;
          std::memcpy(&fd, CMSG_DATA(c) + k * sizeof(int), sizeof fd);
          fds.push_back(fd);
        }
      }
      const std::size_t length = messages[i].msg_len;
      const socklen_t name_length = messages[i].msg_hdr.msg_namelen;
      const std::string peer =
          name_length > offsetof(sockaddr_un, sun_path) && names[i].sun_path[0] != '\0'
              ? std::string(names[i].sun_path, ::strnlen(names[i].sun_path, sizeof names[i].sun_path))
              : std::string();
      if (length == kControlBytes && (messages[i].msg_hdr.msg_flags & MSG_TRUNC) == 0) {
        on_control(peer, std::span<const std::byte>(buffers[i].data(), length), fds);
      } else if ((messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0 || length > settings_.max_frame) {
        ++oversize_;
      } else if (length < zekhw::kNicMinFrame) {
        log_("lab wire: a datagram of " + std::to_string(length) + " bytes is not a frame; dropped");
      } else {
        buffers[i].resize(length);
        capture_.write(buffers[i]);
        ++received_;
        learn(buffers[i], peer);
        frames.push_back(std::move(buffers[i]));
        buffers[i] = {};
      }
      for (int fd : fds) ::close(fd);
    }
    const bool from_lanes = read_lanes(frames);
    lanes_busy = from_lanes;
    if (n > 0 || from_lanes) last_frame = std::chrono::steady_clock::now();
    // Waits while the board's inbound queue is full: the socket and the
    // lanes fill and the senders wait in turn.
    if (!frames.empty() && !board_.receive_frames(frames)) return;
    frames.clear();
    if (n > 0 || from_lanes) continue;
    // Nothing came: with lanes, a short while of looking before sleeping.
    if (!lanes_in_.empty() && std::chrono::steady_clock::now() - last_frame < kSpin) {
      for (int k = 0; k < 64; ++k) cpu_pause();
      continue;
    }
    // Going to sleep: the lanes' senders ring the bell from now on; a look
    // after saying so closes the race with them.
    bool waiting = false;
    for (InLane& lane : lanes_in_) lane.ring->set_sleeping(true);
    for (InLane& lane : lanes_in_) waiting = waiting || lane.ring->readable();
    if (!waiting) {
      pollfd wait[2] = {{socket_, POLLIN, 0}, {bell_, POLLIN, 0}};
      ::poll(wait, bell_ >= 0 ? 2 : 1, static_cast<int>(kRescan.count()));
      std::uint64_t count;
      while (bell_ >= 0 && ::read(bell_, &count, sizeof count) > 0) {
      }
    }
    for (InLane& lane : lanes_in_) lane.ring->set_sleeping(false);
  }
}

void LabWire::on_control(const std::string& peer, std::span<const std::byte> message, std::vector<int>& fds) {
  std::uint32_t body[3];
  std::memcpy(body, message.data(), sizeof body);
  if (body[0] != kControlMagic || peer.empty() || fds.size() != 1) return;
  if (body[1] == kOffer) {
    // A peer's lane for this port (a new one replaces the last from the same peer).
    auto old = std::find_if(lanes_in_.begin(), lanes_in_.end(), [&](const InLane& l) { return l.peer == peer; });
    if (old == lanes_in_.end() && lanes_in_.size() >= kMaxLanes) {
      log_("lab wire: a lane offered by " + peer + " is refused: the port takes " + std::to_string(kMaxLanes) +
           " lanes");
      return;
    }
    std::string error;
    std::unique_ptr<LaneRing> ring = LaneRing::adopt(fds[0], &error);
    fds.clear();  // adopt() took it over
    if (!ring) {
      log_("lab wire: a lane offered by " + peer + " is refused: " + error);
      return;
    }
    if (old != lanes_in_.end()) {
      old->ring->close();
      lanes_in_.erase(old);
    }
    if (!send_control(peer, kAccept, body[2], bell_)) {
      ring->close();
      return;
    }
    lanes_in_.push_back(InLane{peer, std::move(ring), socket_inode(peer)});
    lanes_in_count_ = lanes_in_.size();
    return;
  }
  if (body[1] == kAccept) {
    // The peer took a lane of ours: its bell, which must be an eventfd
    // (writing to it must never block).
    if (!is_eventfd(fds[0])) return;
    std::lock_guard lock(mu_);
    auto it = lanes_.find(peer);
    if (it == lanes_.end() || it->second->id != body[2] || it->second->open) return;
    const int flags = ::fcntl(fds[0], F_GETFL);
    if (flags < 0 || ::fcntl(fds[0], F_SETFL, flags | O_NONBLOCK) != 0) return;
    it->second->bell = fds[0];
    it->second->open = true;
    fds.clear();
  }
}

bool LabWire::read_lanes(std::vector<std::vector<std::byte>>& frames) {
  bool any = false;
  for (auto it = lanes_in_.begin(); it != lanes_in_.end();) {
    std::uint64_t learned_source = ~std::uint64_t{0};
    LaneRing::Result r = LaneRing::Result::Empty;
    std::vector<std::byte> buffer;
    for (unsigned k = 0; k < kBatch; ++k) {
      if (buffer.capacity() == 0) buffer = board_.recycle_buffer();
      r = it->ring->take(buffer, settings_.max_frame);
      if (r == LaneRing::Result::Oversize) {
        ++oversize_;
        any = true;
        continue;
      }
      if (r != LaneRing::Result::Ok) break;
      any = true;
      if (buffer.size() < zekhw::kNicMinFrame) continue;
      capture_.write(buffer);
      received_.fetch_add(1, std::memory_order_relaxed);
      lane_received_.fetch_add(1, std::memory_order_relaxed);
      const std::uint64_t source = mac_at(buffer, 6);
      if (source != learned_source) {
        learned_source = source;
        learn(buffer, it->peer);
      }
      frames.push_back(std::move(buffer));
      buffer = {};
    }
    it->ring->release();
    if (r == LaneRing::Result::Broken) {
      ++lanes_broken_;
      log_("lab wire: the lane from " + it->peer + " is broken (an index or record is not sound); closed");
      it->ring->close();
      it = lanes_in_.erase(it);
      lanes_in_count_ = lanes_in_.size();
      continue;
    }
    ++it;
  }
  return any;
}

// Lanes from peers that have gone, or whose socket another port holds now, end.
void LabWire::check_lanes_in() {
  const std::size_t before = lanes_in_.size();
  std::erase_if(lanes_in_, [](const InLane& l) {
    if (socket_inode(l.peer) == l.peer_inode) return false;
    l.ring->close();
    return true;
  });
  if (lanes_in_.size() != before) lanes_in_count_ = lanes_in_.size();
}

std::size_t LabWire::lanes_out() {
  std::lock_guard lock(mu_);
  return static_cast<std::size_t>(
      std::count_if(lanes_.begin(), lanes_.end(), [](const auto& entry) { return entry.second->open; }));
}

}  // namespace zeksim
