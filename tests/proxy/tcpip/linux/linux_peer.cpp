#include "tests/proxy/tcpip/linux/linux_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "sim/pcap.h"
#include "sim/tap_device.h"
#include "tests/support/private_network.h"

namespace linuxpeer {

namespace {

constexpr const char* kDevice = "zektap0";

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

sockaddr_in to_sockaddr(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(address);
  sin.sin_port = htons(port);
  return sin;
}

}  // namespace

struct Peer::Capture {
  zeksim::PcapWriter writer;
  void write(const Bytes& frame) {
    writer.write(std::as_bytes(std::span<const std::uint8_t>(frame.data(), frame.size())));
  }
};

std::string Peer::open(std::uint32_t address, int prefix, const std::string& capture) {
  address_ = address;
  if (std::string why = network_.open(); !why.empty()) return why;
  zeksim::TapDeviceSettings device;
  device.name = kDevice;
  device.address = address;
  device.prefix = prefix;
  std::string error;
  const zeksim::TapDevice tap = zeksim::open_tap_device(device, &error);
  if (tap.fd < 0) return error;
  tap_ = tap.fd;
  std::memcpy(mac_, tap.mac.data(), 6);

  if (!capture.empty()) {
    capture_ = std::make_unique<Capture>();
    if (!capture_->writer.open(capture)) return failure("cannot create " + capture);
  }
  return {};
}

Peer::Peer() = default;

Peer::~Peer() {
  for (const int fd : sockets_) ::close(fd);
  if (tap_ >= 0) ::close(tap_);
  capture_.reset();
  // The namespace goes with its last descriptor and the thread's return
  // (network_'s destructor, after this).
}

bool Peer::write_frame(const Bytes& frame) {
  if (capture_) capture_->write(frame);
  return ::write(tap_, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size());
}

std::optional<Bytes> Peer::read_frame() {
  Bytes frame(65536);
  const ssize_t n = ::read(tap_, frame.data(), frame.size());
  if (n <= 0) return std::nullopt;
  frame.resize(static_cast<std::size_t>(n));
  if (capture_) capture_->write(frame);
  return frame;
}

bool Peer::wait_frame(int milliseconds) {
  pollfd p{tap_, POLLIN, 0};
  return poll(&p, 1, milliseconds) == 1;
}

int Peer::udp_socket(std::uint32_t address, std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockets_.push_back(fd);
  const int big = 1 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  const int on = 1;
  setsockopt(fd, SOL_IP, IP_RECVERR, &on, sizeof on);
  const sockaddr_in sin = to_sockaddr(address, port);
  return bind(fd, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) == 0 ? fd : -1;
}

int Peer::icmp_socket() {
  const int fd = socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd >= 0) sockets_.push_back(fd);
  return fd;
}

bool Peer::join(int fd, std::uint32_t group) {
  ip_mreq mreq{};
  mreq.imr_multiaddr.s_addr = htonl(group);
  mreq.imr_interface.s_addr = htonl(address_);
  return setsockopt(fd, SOL_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) == 0;
}

bool Peer::multicast_via_device(int fd) {
  in_addr via{};
  via.s_addr = htonl(address_);
  const int no = 0;
  return setsockopt(fd, SOL_IP, IP_MULTICAST_IF, &via, sizeof via) == 0 &&
         setsockopt(fd, SOL_IP, IP_MULTICAST_LOOP, &no, sizeof no) == 0;
}

bool Peer::send_to(int fd, const Bytes& data, std::uint32_t address, std::uint16_t port) {
  const sockaddr_in sin = to_sockaddr(address, port);
  return sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) ==
         static_cast<ssize_t>(data.size());
}

std::optional<Peer::Datagram> Peer::receive(int fd) {
  Datagram d;
  d.data.resize(65536);
  sockaddr_in from{};
  socklen_t length = sizeof from;
  const ssize_t n =
      recvfrom(fd, d.data.data(), d.data.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &length);
  if (n < 0) return std::nullopt;
  d.data.resize(static_cast<std::size_t>(n));
  d.from = ntohl(from.sin_addr.s_addr);
  d.port = ntohs(from.sin_port);
  return d;
}

int Peer::pending_error(int fd) {
  int error = 0;
  socklen_t length = sizeof error;
  getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
  return error;
}

std::string temp_dir(const std::string& prefix) {
  // In $TMPDIR where ctest points it (one directory per build tree).
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
  return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

Output run(const std::string& command) {
  const zektest::CommandResult out = zektest::run_command(command);
  return Output{out.code, out.output};
}

}  // namespace linuxpeer
