// The host stack's error numbers. Inside the stack routines return these
// BSD values (0 = success); the socket calls return them negated. They are
// the stack's own numbers and do not follow the host C library's errno.
#pragma once

namespace zektcp {

inline constexpr int BSD_EPERM = 1;
inline constexpr int BSD_ENOENT = 2;
inline constexpr int BSD_ESRCH = 3;
inline constexpr int BSD_EINTR = 4;
inline constexpr int BSD_ENXIO = 6;
inline constexpr int BSD_EBADF = 9;
inline constexpr int BSD_ENOMEM = 12;
inline constexpr int BSD_EACCES = 13;
inline constexpr int BSD_EFAULT = 14;
inline constexpr int BSD_EEXIST = 17;
inline constexpr int BSD_ENODEV = 19;
inline constexpr int BSD_EINVAL = 22;
inline constexpr int BSD_ENFILE = 23;
inline constexpr int BSD_EMFILE = 24;
inline constexpr int BSD_ENOSPC = 28;
inline constexpr int BSD_EPIPE = 32;
inline constexpr int BSD_EDOM = 33;
inline constexpr int BSD_EWOULDBLOCK = 35;
inline constexpr int BSD_EAGAIN = 35;
inline constexpr int BSD_EINPROGRESS = 36;
inline constexpr int BSD_EALREADY = 37;
inline constexpr int BSD_ENOTSOCK = 38;
inline constexpr int BSD_EDESTADDRREQ = 39;
inline constexpr int BSD_EMSGSIZE = 40;
inline constexpr int BSD_EPROTOTYPE = 41;
inline constexpr int BSD_ENOPROTOOPT = 42;
inline constexpr int BSD_EPROTONOSUPPORT = 43;
inline constexpr int BSD_EOPNOTSUPP = 45;
inline constexpr int BSD_EAFNOSUPPORT = 47;
inline constexpr int BSD_EADDRINUSE = 48;
inline constexpr int BSD_EADDRNOTAVAIL = 49;
inline constexpr int BSD_ENETDOWN = 50;
inline constexpr int BSD_ENETUNREACH = 51;
inline constexpr int BSD_ECONNABORTED = 53;
inline constexpr int BSD_ECONNRESET = 54;
inline constexpr int BSD_ENOBUFS = 55;
inline constexpr int BSD_EISCONN = 56;
inline constexpr int BSD_ENOTCONN = 57;
inline constexpr int BSD_ETOOMANYREFS = 59;
inline constexpr int BSD_ETIMEDOUT = 60;
inline constexpr int BSD_ECONNREFUSED = 61;
inline constexpr int BSD_ENAMETOOLONG = 63;
inline constexpr int BSD_EHOSTDOWN = 64;
inline constexpr int BSD_EHOSTUNREACH = 65;
// The number the routing table gives for a gateway that resolves through the
// route being set up (BSD numbers it like a quota error).
inline constexpr int BSD_EROUTELOOP = 69;

}  // namespace zektcp
