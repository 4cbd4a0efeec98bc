#include "tests/proxy/tcpip/linux/linux_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <span>

#include "sim/pcap.h"

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
  home_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (home_ < 0) return failure("cannot open this thread's network namespace");
  if (unshare(CLONE_NEWNET) != 0) return failure("cannot create a network namespace (it needs CAP_SYS_ADMIN)");
  moved_ = true;
  tap_ = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (tap_ < 0) return failure("cannot open /dev/net/tun");
  ifreq req{};
  std::strncpy(req.ifr_name, kDevice, IFNAMSIZ - 1);
  req.ifr_flags = IFF_TAP | IFF_NO_PI;
  if (ioctl(tap_, TUNSETIFF, &req) != 0) return failure("cannot create a TAP device");
  // Only IPv4 on the device: Linux's IPv6 (router solicitations, listener
  // reports) would be dropped by the host stack anyway. Best effort.
  std::ofstream(std::string("/proc/sys/net/ipv6/conf/") + kDevice + "/disable_ipv6") << "1\n";

  const int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (control < 0) return failure("socket");
  std::string error;
  auto request = [&](unsigned long code, const char* what) {
    if (error.empty() && ioctl(control, code, &req) != 0) error = failure(what);
  };
  std::memset(&req, 0, sizeof req);
  std::strncpy(req.ifr_name, kDevice, IFNAMSIZ - 1);
  const sockaddr_in sin = to_sockaddr(address, 0);
  std::memcpy(&req.ifr_addr, &sin, sizeof sin);
  request(SIOCSIFADDR, "cannot give the TAP device its address");
  const sockaddr_in mask = to_sockaddr(prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix), 0);
  std::memcpy(&req.ifr_netmask, &mask, sizeof mask);
  request(SIOCSIFNETMASK, "cannot set the TAP device's mask");
  request(SIOCGIFFLAGS, "cannot read the TAP device's flags");
  req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
  request(SIOCSIFFLAGS, "cannot bring the TAP device up");
  request(SIOCGIFHWADDR, "cannot read the TAP device's MAC");
  if (error.empty()) std::memcpy(mac_, req.ifr_hwaddr.sa_data, 6);
  ::close(control);
  if (!error.empty()) return error;

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
  // The namespace goes with its last descriptor and the thread's return.
  if (moved_) setns(home_, CLONE_NEWNET);
  if (home_ >= 0) ::close(home_);
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
  Output out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out.text += buffer;
  const int status = pclose(pipe);
  out.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return out;
}

}  // namespace linuxpeer
