// Native sockets: Linux sockets behind WinSock's rules. A connected or
// datagram socket's transfers block in Linux itself (the fast way); when
// closesocket comes while another thread is inside a call, it shuts the
// Linux socket down to end that call. Listening sockets are non-blocking
// and their waits watch the socket's wake-up too.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "platform/common/lxsock.h"
#include "platform/winsock/internal.h"

namespace plat::ws {
namespace {

// Steps past `done` bytes of the vectors from `first` on: the first vector
// with bytes left (trimmed at its front), or the end.
std::size_t advance_iovecs(std::vector<iovec>& iov, std::size_t first, std::size_t done) {
  while (first < iov.size() && done >= iov[first].iov_len) {
    done -= iov[first].iov_len;
    ++first;
  }
  if (first < iov.size()) {
    iov[first].iov_base = static_cast<std::byte*>(iov[first].iov_base) + done;
    iov[first].iov_len -= done;
  }
  return first;
}

constexpr int kWinSolSocket = 0xffff;
constexpr int kWinIpprotoIp = 0;

int linux_family(int family) {
  switch (family) {
    case kAfInet:
      return AF_INET;
    case kAfInet6:
      return AF_INET6;
    case kAfUnix:
      return AF_UNIX;
    default:
      return -1;
  }
}

// Windows' transfer flags as Linux's; false for a flag Linux has no match for.
bool linux_flags(int flags, int* out) {
  int f = 0;
  if (flags & 0x1) f |= MSG_OOB;
  if (flags & 0x2) f |= MSG_PEEK;
  if (flags & 0x4) f |= MSG_DONTROUTE;
  if (flags & 0x8) f |= MSG_WAITALL;
  *out = f;
  return (flags & ~0xF) == 0;
}

void set_blocking(int fd, bool blocking) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

std::uint32_t remaining(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() <= 0 ? 1 : static_cast<std::uint32_t>(left.count());
}

// Binds an unbound socket to the host's native address (port 0) before it
// connects or sends, so its peers see the host's address.
int bind_implicitly(Socket& s) {
  if (s.bound.load() || s.family != kAfInet || !native_address()) return kOk;
  return native_bind(s, Address::ipv4(0, 0));
}

}  // namespace

int wait_ready(Socket& s, short events, std::uint32_t timeout_ms, int extra_fd) {
  pollfd p[3] = {{s.fd, events, 0}, {s.wake, POLLIN, 0}, {extra_fd, POLLIN, 0}};
  const nfds_t n = extra_fd >= 0 ? 3 : 2;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (s.closing.load()) return kEintr;
    const int r = ::poll(p, n, timeout_ms == 0 ? -1 : static_cast<int>(remaining(deadline)));
    if (r < 0 && errno == EINTR) continue;
    if (s.closing.load()) return kEintr;
    if (r == 0) return kEtimedout;
    return kOk;
  }
}

int native_create(int family, int type, int protocol, std::shared_ptr<Socket>* out) {
  const int lf = linux_family(family);
  if (lf < 0) return kEafnosupport;
  int ltype;
  switch (type) {
    case kSockStream:
      ltype = SOCK_STREAM;
      break;
    case kSockDgram:
      ltype = SOCK_DGRAM;
      break;
    default:
      return kEsocktnosupport;
  }
  if (protocol != 0 && !(type == kSockStream && protocol == kIpprotoTcp) &&
      !(type == kSockDgram && protocol == kIpprotoUdp)) {
    return protocol == kIpprotoTcp || protocol == kIpprotoUdp ? kEprototype : kEprotonosupport;
  }
  const int fd = lx::socket(lf, ltype | SOCK_CLOEXEC, 0);
  if (fd < 0) return from_errno(errno);
  *out = native_wrap(fd, family, type, protocol != 0 ? protocol : (type == kSockStream ? kIpprotoTcp : kIpprotoUdp));
  if (!*out) {
    ::close(fd);
    return kEmfile;
  }
  return kOk;
}

std::shared_ptr<Socket> native_wrap(int fd, int family, int type, int protocol) {
  auto s = std::make_shared<Socket>();
  s->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (s->wake < 0) return nullptr;
  set_blocking(fd, true);
  s->fd = fd;
  s->family = family;
  s->type = type;
  s->protocol = protocol;
  s->overlapped = true;  // sockets are overlapped, as socket() makes them on Windows
  s->catalog_entry = type == kSockStream ? 1001 : 1002;
  return s;
}

int native_bind(Socket& s, Address address) {
  if (s.fd < 0) return kEinval;
  if (s.bound.load()) return kEinval;
  if (const int error = local_address_for_bind(&address); error != kOk) return error;
  std::array<std::uint8_t, 128> linux_address;
  unsigned length = 0;
  if (!to_linux(address, &linux_address, &length)) return kEafnosupport;
  if (lx::bind(s.fd, reinterpret_cast<const sockaddr*>(linux_address.data()), length) != 0) return from_errno(errno);
  s.bound = true;
  return kOk;
}

int native_listen(Socket& s, int backlog) {
  if (s.type != kSockStream) return kEopnotsupp;
  if (!s.bound.load()) return kEinval;  // Windows does not bind a listening socket itself
  if (lx::listen(s.fd, backlog < 0 ? 0 : (backlog > SOMAXCONN ? SOMAXCONN : backlog)) != 0) return from_errno(errno);
  set_blocking(s.fd, false);  // accept waits in poll, with the socket's wake-up
  s.listening = true;
  return kOk;
}

int native_accept_once(Socket& s, std::shared_ptr<Socket>* out, Address* peer) {
  for (;;) {
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    const int fd = lx::accept4(s.fd, reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC);
    if (fd >= 0) {
      auto accepted = native_wrap(fd, s.family, s.type, s.protocol);
      if (!accepted) {
        ::close(fd);
        return kEmfile;
      }
      accepted->bound = true;
      accepted->nonblocking = s.nonblocking.load();  // the accepted socket takes the listening one's mode
      if (peer != nullptr) *peer = from_linux(&from, length);
      *out = accepted;
      return kOk;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    return errno == EAGAIN ? kEwouldblock : from_errno(errno);
  }
}

int native_accept(Socket& s, std::shared_ptr<Socket>* out, Address* peer) {
  if (!s.listening.load()) return kEinval;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(s.receive_timeout.load());
  for (;;) {
    const int error = native_accept_once(s, out, peer);
    if (error != kEwouldblock) return error;
    if (s.nonblocking.load()) return kEwouldblock;
    const std::uint32_t timeout = s.receive_timeout.load();
    if (const int error = wait_ready(s, POLLIN, timeout == 0 ? 0 : remaining(deadline)); error != kOk) return error;
  }
}

int native_connect(Socket& s, Address address) {
  if (s.listening.load()) return kEinval;
  remote_address_for_connect(&address);
  if (const int error = bind_implicitly(s); error != kOk) return error;
  std::array<std::uint8_t, 128> linux_address;
  unsigned length = 0;
  if (!to_linux(address, &linux_address, &length)) return kEafnosupport;
  // The connect itself goes non-blocking, so that it waits with the wake-up.
  set_blocking(s.fd, false);
  const int r = lx::connect(s.fd, reinterpret_cast<const sockaddr*>(linux_address.data()), length);
  const int error = errno;
  s.bound = true;  // Linux has bound it now
  if (r == 0) {
    set_blocking(s.fd, true);
    return kOk;
  }
  if (error != EINPROGRESS) {
    set_blocking(s.fd, true);
    return from_errno(error);
  }
  if (s.nonblocking.load()) return kEwouldblock;  // it goes on; transfers wait by themselves
  for (;;) {
    if (const int wait = wait_ready(s, POLLOUT, 0); wait != kOk) return wait;
    int result = 0;
    socklen_t size = sizeof result;
    if (lx::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &result, &size) != 0) return from_errno(errno);
    if (result == EINPROGRESS || result == EALREADY) continue;
    if (result != 0) {
      set_blocking(s.fd, true);
      return from_errno(result);
    }
    pollfd p{s.fd, POLLOUT, 0};
    if (::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT)) {
      set_blocking(s.fd, true);
      return kOk;
    }
  }
}

int native_send(Socket& s, std::span<const std::span<const std::byte>> buffers, int flags, const Address* to,
                std::size_t* sent) {
  *sent = 0;
  int lflags;
  if (!linux_flags(flags, &lflags) || (lflags & MSG_WAITALL)) return kEopnotsupp;
  std::array<std::uint8_t, 128> linux_to;
  unsigned to_length = 0;
  if (to != nullptr) {
    Address target = *to;
    remote_address_for_connect(&target);
    if (!to_linux(target, &linux_to, &to_length)) return kEafnosupport;
    if (const int error = bind_implicitly(s); error != kOk) return error;
  }
  std::vector<iovec> iov;
  std::size_t total = 0;
  for (const auto& b : buffers) {
    iov.push_back(iovec{const_cast<std::byte*>(b.data()), b.size()});
    total += b.size();
  }
  const bool nonblocking = s.nonblocking.load();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(s.send_timeout.load());
  std::size_t first = 0;
  for (;;) {
    msghdr m{};
    m.msg_name = to != nullptr ? linux_to.data() : nullptr;
    m.msg_namelen = to_length;
    m.msg_iov = iov.data() + first;
    m.msg_iovlen = iov.size() - first;
    const ssize_t n = ::sendmsg(s.fd, &m, lflags | MSG_NOSIGNAL | (nonblocking ? MSG_DONTWAIT : 0));
    if (s.closing.load()) return kEintr;
    if (n >= 0) {
      *sent += static_cast<std::size_t>(n);
      // A blocking stream send hands over every byte, as Windows' does.
      if (*sent >= total || s.type != kSockStream || nonblocking) return kOk;
      first = advance_iovecs(iov, first, static_cast<std::size_t>(n));
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) {
      if (*sent > 0) return kOk;
      if (errno == EPIPE) return s.sending_shut.load() ? kEshutdown : kEconnreset;
      return from_errno(errno);
    }
    if (nonblocking) return *sent > 0 ? kOk : kEwouldblock;
    // A time-out, or a Linux socket left non-blocking: wait for room.
    const std::uint32_t timeout = s.send_timeout.load();
    if (timeout != 0 && std::chrono::steady_clock::now() >= deadline) return *sent > 0 ? kOk : kEtimedout;
    if (const int error = wait_ready(s, POLLOUT, timeout == 0 ? 0 : remaining(deadline)); error != kOk) {
      return *sent > 0 ? kOk : error;
    }
  }
}

int native_recv(Socket& s, std::span<const std::span<std::byte>> buffers, int flags, Address* from,
                std::size_t* received) {
  *received = 0;
  int lflags;
  if (!linux_flags(flags, &lflags)) return kEopnotsupp;
  if (s.listening.load()) return kEnotconn;
  if (s.type == kSockDgram && !s.bound.load()) return kEinval;  // Windows: receive on an unbound datagram socket
  std::vector<iovec> iov;
  std::size_t total = 0;
  for (const auto& b : buffers) {
    iov.push_back(iovec{b.data(), b.size()});
    total += b.size();
  }
  const bool wait_all = (lflags & MSG_WAITALL) != 0 && s.type == kSockStream;
  lflags &= ~MSG_WAITALL;
  const bool nonblocking = s.nonblocking.load();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(s.receive_timeout.load());
  std::size_t first = 0;
  for (;;) {
    sockaddr_storage source{};
    msghdr m{};
    m.msg_name = &source;
    m.msg_namelen = sizeof source;
    m.msg_iov = iov.data() + first;
    m.msg_iovlen = iov.size() - first;
    const ssize_t n = ::recvmsg(s.fd, &m, lflags | (nonblocking ? MSG_DONTWAIT : 0));
    if (s.closing.load()) return kEintr;
    if (n >= 0) {
      *received += static_cast<std::size_t>(n);
      if (from != nullptr && m.msg_namelen > 0) *from = from_linux(&source, m.msg_namelen);
      if (m.msg_flags & MSG_TRUNC) return kEmsgsize;  // the rest of the datagram is lost, as on Windows
      if (!wait_all || n == 0 || *received >= total) return kOk;
      first = advance_iovecs(iov, first, static_cast<std::size_t>(n));
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return *received > 0 ? kOk : from_errno(errno);
    if (nonblocking) return *received > 0 ? kOk : kEwouldblock;
    const std::uint32_t timeout = s.receive_timeout.load();
    if (timeout != 0 && std::chrono::steady_clock::now() >= deadline) return *received > 0 ? kOk : kEtimedout;
    if (const int error = wait_ready(s, POLLIN, timeout == 0 ? 0 : remaining(deadline)); error != kOk) {
      return *received > 0 ? kOk : error;
    }
  }
}

void native_interrupt(Socket& s) {
  if (s.fd >= 0) lx::shutdown(s.fd, SHUT_RDWR);
}

int native_shutdown(Socket& s, int how) {
  if (how < 0 || how > 2) return kEinval;
  if (lx::shutdown(s.fd, how) != 0) return from_errno(errno);
  if (how != 0) s.sending_shut = true;
  return kOk;
}

int native_name(Socket& s, bool peer, Address* out) {
  if (!peer && !s.bound.load()) return kEinval;
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  const int r = peer ? lx::getpeername(s.fd, reinterpret_cast<sockaddr*>(&address), &length)
                     : lx::getsockname(s.fd, reinterpret_cast<sockaddr*>(&address), &length);
  if (r != 0) return from_errno(errno);
  *out = from_linux(&address, length);
  return kOk;
}

namespace {

// The Linux level and name of a WinSock option, for those passed through as an int.
bool linux_option(int level, int name, int* llevel, int* lname) {
  if (level == kWinSolSocket) {
    *llevel = SOL_SOCKET;
    switch (name) {
      case 0x0004:
        *lname = SO_REUSEADDR;
        return true;
      case 0x0008:
        *lname = SO_KEEPALIVE;
        return true;
      case 0x0010:
        *lname = SO_DONTROUTE;
        return true;
      case 0x0020:
        *lname = SO_BROADCAST;
        return true;
      case 0x0100:
        *lname = SO_OOBINLINE;
        return true;
      case 0x1001:
        *lname = SO_SNDBUF;
        return true;
      case 0x1002:
        *lname = SO_RCVBUF;
        return true;
      default:
        return false;
    }
  }
  if (level == kIpprotoTcp && name == 0x0001) {
    *llevel = IPPROTO_TCP;
    *lname = TCP_NODELAY;
    return true;
  }
  if (level == kWinIpprotoIp && name == 4) {
    *llevel = IPPROTO_IP;
    *lname = IP_TTL;
    return true;
  }
  return false;
}

std::uint32_t read_u32(std::span<const std::byte> value) {
  std::uint32_t v = 0;
  std::memcpy(&v, value.data(), std::min<std::size_t>(4, value.size()));
  return v;
}

void write_u32(std::span<std::byte> value, std::uint32_t v, int* length) {
  std::memcpy(value.data(), &v, 4);
  *length = 4;
}

}  // namespace

int native_get_option(Socket& s, int level, int name, std::span<std::byte> value, int* length) {
  if (value.size() < 4) return kEfault;
  int llevel, lname;
  if (linux_option(level, name, &llevel, &lname)) {
    int v = 0;
    socklen_t size = sizeof v;
    if (lx::getsockopt(s.fd, llevel, lname, &v, &size) != 0) return from_errno(errno);
    // Linux reports twice the buffer sizes it was given; Windows reports what was set.
    if (llevel == SOL_SOCKET && (lname == SO_SNDBUF || lname == SO_RCVBUF)) v /= 2;
    write_u32(value, static_cast<std::uint32_t>(v), length);
    return kOk;
  }
  if (level != kWinSolSocket) return kEnoprotoopt;
  switch (name) {
    case 0x0001:
      write_u32(value, s.debug_option.load(), length);
      return kOk;  // SO_DEBUG
    case 0x0002:
      write_u32(value, s.listening.load() ? 1 : 0, length);
      return kOk;  // SO_ACCEPTCONN
    case 0x1005:
      write_u32(value, s.send_timeout.load(), length);
      return kOk;  // SO_SNDTIMEO
    case 0x1006:
      write_u32(value, s.receive_timeout.load(), length);
      return kOk;  // SO_RCVTIMEO
    case 0x1008:
      write_u32(value, static_cast<std::uint32_t>(s.type), length);
      return kOk;   // SO_TYPE
    case 0x1007: {  // SO_ERROR
      int v = 0;
      socklen_t size = sizeof v;
      if (lx::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &v, &size) != 0) return from_errno(errno);
      write_u32(value, static_cast<std::uint32_t>(v == 0 ? 0 : from_errno(v)), length);
      return kOk;
    }
    case 0x0080: {  // SO_LINGER: two u_shorts on Windows
      linger l{};
      socklen_t size = sizeof l;
      if (lx::getsockopt(s.fd, SOL_SOCKET, SO_LINGER, &l, &size) != 0) return from_errno(errno);
      const std::uint16_t parts[2] = {static_cast<std::uint16_t>(l.l_onoff != 0),
                                      static_cast<std::uint16_t>(l.l_linger)};
      std::memcpy(value.data(), parts, 4);
      *length = 4;
      return kOk;
    }
    case ~0x0080: {  // SO_DONTLINGER
      linger l{};
      socklen_t size = sizeof l;
      if (lx::getsockopt(s.fd, SOL_SOCKET, SO_LINGER, &l, &size) != 0) return from_errno(errno);
      write_u32(value, l.l_onoff == 0 ? 1 : 0, length);
      return kOk;
    }
    case ~0x0004:
      write_u32(value, 0, length);
      return kOk;  // SO_EXCLUSIVEADDRUSE
    default:
      return kEnoprotoopt;
  }
}

int native_set_option(Socket& s, int level, int name, std::span<const std::byte> value) {
  if (value.size() < 4) return kEfault;
  int llevel, lname;
  if (linux_option(level, name, &llevel, &lname)) {
    int v = static_cast<int>(read_u32(value));
    const bool boolean = !(llevel == SOL_SOCKET && (lname == SO_SNDBUF || lname == SO_RCVBUF)) &&
                         !(llevel == IPPROTO_IP && lname == IP_TTL);
    if (boolean) v = v != 0 ? 1 : 0;  // any non-zero value switches it on
    if (lx::setsockopt(s.fd, llevel, lname, &v, sizeof v) != 0) return from_errno(errno);
    return kOk;
  }
  if (level != kWinSolSocket) return kEnoprotoopt;
  switch (name) {
    case 0x0001:
      s.debug_option = read_u32(value);
      return kOk;   // SO_DEBUG
    case 0x1005:    // SO_SNDTIMEO: milliseconds; Linux's blocking calls end with it too
    case 0x1006: {  // SO_RCVTIMEO
      const std::uint32_t ms = read_u32(value);
      (name == 0x1005 ? s.send_timeout : s.receive_timeout) = ms;
      timeval t{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
      lx::setsockopt(s.fd, SOL_SOCKET, name == 0x1005 ? SO_SNDTIMEO : SO_RCVTIMEO, &t, sizeof t);
      return kOk;
    }
    case 0x700B:    // SO_UPDATE_ACCEPT_CONTEXT
    case 0x700F:    // (the number some programs give it)
    case 0x7010:    // SO_UPDATE_CONNECT_CONTEXT
    case ~0x0004:   // SO_EXCLUSIVEADDRUSE
      return kOk;   // nothing to do here
    case 0x0080: {  // SO_LINGER
      std::uint16_t parts[2];
      std::memcpy(parts, value.data(), 4);
      linger l{parts[0] != 0 ? 1 : 0, parts[1]};
      if (lx::setsockopt(s.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) return from_errno(errno);
      return kOk;
    }
    case ~0x0080: {  // SO_DONTLINGER
      linger l{read_u32(value) != 0 ? 0 : 1, 0};
      if (lx::setsockopt(s.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) return from_errno(errno);
      return kOk;
    }
    default:
      return kEnoprotoopt;
  }
}

int native_available(Socket& s, std::uint32_t* bytes) {
  int n = 0;
  if (::ioctl(s.fd, FIONREAD, &n) != 0) return from_errno(errno);
  *bytes = static_cast<std::uint32_t>(n);
  return kOk;
}

void native_close(Socket& s) {
  if (s.fd >= 0) ::close(s.fd);
  s.fd = -1;
}

}  // namespace plat::ws
