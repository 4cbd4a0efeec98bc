// Linux's errors and addresses in WinSock's terms.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

#include "platform/winsock/internal.h"

namespace plat::ws {

int from_errno(int error) {
  switch (error) {
    case 0:
      return kOk;
    case EINTR:
      return kEintr;
    case EACCES:
    case EPERM:
      return kEacces;
    case EFAULT:
      return kEfault;
    case EINVAL:
      return kEinval;
    case EMFILE:
    case ENFILE:
      return kEmfile;
    case EAGAIN:
    case EINPROGRESS:
      return kEwouldblock;
    case EALREADY:
      return kEalready;
    case ENOTSOCK:
    case EBADF:
      return kEnotsock;
    case EDESTADDRREQ:
      return 10039;
    case EMSGSIZE:
      return kEmsgsize;
    case EPROTOTYPE:
      return kEprototype;
    case ENOPROTOOPT:
      return kEnoprotoopt;
    case EPROTONOSUPPORT:
      return kEprotonosupport;
    case ESOCKTNOSUPPORT:
      return kEsocktnosupport;
    case EOPNOTSUPP:
      return kEopnotsupp;
    case EAFNOSUPPORT:
    case EPFNOSUPPORT:
      return kEafnosupport;
    case EADDRINUSE:
      return kEaddrinuse;
    case EADDRNOTAVAIL:
      return kEaddrnotavail;
    case ENETDOWN:
      return kEnetdown;
    case ENETUNREACH:
      return 10051;
    case ENETRESET:
      return 10052;
    case ECONNABORTED:
      return kEconnaborted;
    case ECONNRESET:
    case EPIPE:
      return kEconnreset;
    case ENOBUFS:
    case ENOMEM:
      return kEnobufs;
    case EISCONN:
      return kEisconn;
    case ENOTCONN:
      return kEnotconn;
    case ESHUTDOWN:
      return kEshutdown;
    case ETIMEDOUT:
      return kEtimedout;
    case ECONNREFUSED:
      return kEconnrefused;
    case EHOSTDOWN:
      return 10064;
    case EHOSTUNREACH:
      return 10065;
    default:
      return kEinval;
  }
}

std::uint32_t Address::ipv4() const {
  std::uint32_t v;
  std::memcpy(&v, bytes.data() + 4, 4);
  return v;
}

std::uint16_t Address::port() const {
  std::uint16_t v;
  std::memcpy(&v, bytes.data() + 2, 2);
  return v;
}

Address Address::ipv4(std::uint32_t address_network, std::uint16_t port_network) {
  Address a;
  a.bytes[0] = kAfInet;
  std::memcpy(a.bytes.data() + 2, &port_network, 2);
  std::memcpy(a.bytes.data() + 4, &address_network, 4);
  a.length = 16;
  return a;
}

// The layouts are the same; only the family numbers differ (AF_INET6 is 23
// on Windows, 10 on Linux).
bool to_linux(const Address& address, std::array<std::uint8_t, 128>* out, unsigned* length) {
  *out = address.bytes;
  *length = static_cast<unsigned>(address.length);
  sa_family_t family;
  switch (address.family()) {
    case kAfInet:
      family = AF_INET;
      break;
    case kAfInet6:
      family = AF_INET6;
      break;
    case kAfUnix:
      family = AF_UNIX;
      break;
    default:
      return false;
  }
  std::memcpy(out->data(), &family, sizeof family);
  return true;
}

Address from_linux(const void* address, unsigned length) {
  Address a;
  a.length = static_cast<int>(std::min<unsigned>(length, a.bytes.size()));
  std::memcpy(a.bytes.data(), address, static_cast<std::size_t>(a.length));
  sa_family_t family;
  std::memcpy(&family, a.bytes.data(), sizeof family);
  const std::uint16_t windows = family == AF_INET6 ? kAfInet6 : family == AF_UNIX ? kAfUnix : family;
  std::memcpy(a.bytes.data(), &windows, 2);
  return a;
}

}  // namespace plat::ws
