// Linux's own socket calls, made straight to the kernel.
//
// The WinSock stand-in (platform/winsock) exports socket, connect, send,
// getsockopt and the other WinSock names with C linkage, as the real
// library does, so in a process that links it those names are WinSock's
// and take SOCKET handles. Platform code that needs a Linux socket (the
// connection to the host, the WinSock stand-in itself) calls these instead.
#pragma once

#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace plat::lx {

inline int socket(int domain, int type, int protocol) {
  return static_cast<int>(::syscall(SYS_socket, domain, type, protocol));
}
inline int connect(int fd, const sockaddr* address, socklen_t length) {
  return static_cast<int>(::syscall(SYS_connect, fd, address, length));
}
inline int bind(int fd, const sockaddr* address, socklen_t length) {
  return static_cast<int>(::syscall(SYS_bind, fd, address, length));
}
inline int listen(int fd, int backlog) { return static_cast<int>(::syscall(SYS_listen, fd, backlog)); }
inline int accept4(int fd, sockaddr* address, socklen_t* length, int flags) {
  return static_cast<int>(::syscall(SYS_accept4, fd, address, length, flags));
}
inline ssize_t sendto(int fd, const void* data, size_t size, int flags, const sockaddr* to, socklen_t to_length) {
  return ::syscall(SYS_sendto, fd, data, size, flags, to, to_length);
}
inline ssize_t recvfrom(int fd, void* data, size_t size, int flags, sockaddr* from, socklen_t* from_length) {
  return ::syscall(SYS_recvfrom, fd, data, size, flags, from, from_length);
}
inline int shutdown(int fd, int how) { return static_cast<int>(::syscall(SYS_shutdown, fd, how)); }
inline int getsockname(int fd, sockaddr* address, socklen_t* length) {
  return static_cast<int>(::syscall(SYS_getsockname, fd, address, length));
}
inline int getpeername(int fd, sockaddr* address, socklen_t* length) {
  return static_cast<int>(::syscall(SYS_getpeername, fd, address, length));
}
inline int getsockopt(int fd, int level, int name, void* value, socklen_t* length) {
  return static_cast<int>(::syscall(SYS_getsockopt, fd, level, name, value, length));
}
inline int setsockopt(int fd, int level, int name, const void* value, socklen_t length) {
  return static_cast<int>(::syscall(SYS_setsockopt, fd, level, name, value, length));
}

}  // namespace plat::lx
