#include "sim/tap_port.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace zeksim {

namespace {

// Spent buffers kept for the port's receiver to reuse.
constexpr std::size_t kSpentKept = 2 * LabWire::kBatch;
// The largest frame the device can hand over (a read never truncates one;
// the port drops what is over its maximum and counts it).
constexpr std::size_t kReadBuffer = 65536;

}  // namespace

TapPort::TapPort(int tap_fd, Settings settings, std::function<void(std::string_view)> log)
    : tap_(tap_fd), settings_(std::move(settings)), log_(std::move(log)) {}

TapPort::~TapPort() {
  stop();
  if (tap_ >= 0) ::close(tap_);
  if (wake_ >= 0) ::close(wake_);
}

bool TapPort::start(std::string* error) {
  if (tap_ < 0) {
    *error = "the port has no TAP device";
    return false;
  }
  if (wake_ < 0) wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_ < 0) {
    *error = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  LabWire::Settings wire{settings_.lab_dir, settings_.port_name, settings_.capture,
                         settings_.impair,  settings_.lossless,  max_frame_for(settings_.mtu)};
  wire_ = std::make_unique<LabWire>(*this, wire, log_);
  if (!wire_->start(error)) {
    wire_.reset();
    return false;
  }
  stopping_ = false;
  reader_ = std::thread([this] { reader_loop(); });
  return true;
}

void TapPort::stop() {
  if (!wire_) return;
  stopping_ = true;
  const std::uint64_t one = 1;
  (void)!::write(wake_, &one, sizeof one);
  {
    std::lock_guard lock(mu_);
    room_cv_.notify_all();
  }
  if (reader_.joinable()) reader_.join();
  wire_->stop();
}

void TapPort::attach_port(FramePort* port) {
  port_ = port;
  std::lock_guard lock(mu_);
  if (port != nullptr) port_stopped_ = false;
}

bool TapPort::receive_frames(std::vector<std::vector<std::byte>>& frames) {
  {
    std::lock_guard lock(mu_);
    if (port_stopped_) return false;
  }
  for (const auto& frame : frames) {
    ssize_t written;
    do {
      written = ::write(tap_, frame.data(), frame.size());
    } while (written < 0 && errno == EINTR);
    if (written == static_cast<ssize_t>(frame.size())) {
      ++to_device_;
      continue;
    }
    ++refused_;
    if (!refusal_said_) {
      refusal_said_ = true;
      log_(std::string("TAP port: the device refused a frame of ") + std::to_string(frame.size()) +
           " bytes (dropped, and counted from now on): " + (written < 0 ? std::strerror(errno) : "written in part"));
    }
  }
  std::lock_guard lock(mu_);
  for (auto& frame : frames) {
    if (spent_.size() >= kSpentKept) break;
    spent_.push_back(std::move(frame));
  }
  frames.clear();
  return true;
}

std::vector<std::byte> TapPort::recycle_buffer() {
  std::lock_guard lock(mu_);
  if (spent_.empty()) return {};
  std::vector<std::byte> buffer = std::move(spent_.back());
  spent_.pop_back();
  return buffer;
}

void TapPort::port_room() {
  std::lock_guard lock(mu_);
  room_ = true;
  room_cv_.notify_all();
}

void TapPort::stop_port() {
  std::lock_guard lock(mu_);
  port_stopped_ = true;
  room_cv_.notify_all();
}

void TapPort::set_carrier(bool peer_present) { peer_present_ = peer_present; }

bool TapPort::wait_for_room(FramePort& port) {
  if (port.has_room()) return true;
  port.flush();  // what this batch handed over leaves first
  for (;;) {
    {
      std::lock_guard lock(mu_);
      room_ = false;
    }
    if (port.has_room()) return true;
    std::unique_lock lock(mu_);
    // The port says when it has room; the bound only guards against a missed word.
    room_cv_.wait_for(lock, LabWire::kRescan, [&] { return room_ || stopping_.load(); });
    if (stopping_) return false;
  }
}

void TapPort::reader_loop() {
  std::vector<std::byte> buffer(kReadBuffer);
  pollfd waits[2] = {{tap_, POLLIN, 0}, {wake_, POLLIN, 0}};
  while (!stopping_) {
    if (::poll(waits, 2, -1) < 0) {
      if (errno == EINTR) continue;
      log_(std::string("TAP port: poll failed: ") + std::strerror(errno));
      return;
    }
    if (stopping_) return;
    if ((waits[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      log_("TAP port: the device has gone; the port no longer hears Linux");
      return;
    }
    FramePort* port = port_.load();
    if (port == nullptr) continue;
    bool handed = false;
    for (unsigned n = 0; n < LabWire::kBatch; ++n) {
      const ssize_t got = ::read(tap_, buffer.data(), buffer.size());
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;  // nothing more now (EAGAIN)
      std::size_t length = static_cast<std::size_t>(got);
      if (length < kMinEthernetFrame) {
        std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(length),
                  buffer.begin() + static_cast<std::ptrdiff_t>(kMinEthernetFrame), std::byte{0});
        length = kMinEthernetFrame;
        ++padded_;
      }
      ++from_device_;
      if (!wait_for_room(*port)) return;
      port->transmit_later(std::span<const std::byte>(buffer.data(), length));
      handed = true;
    }
    if (handed) port->flush();
  }
}

}  // namespace zeksim
