// What the two-host programs (twohost_peer, toe_peer, twohost_bench) do
// with zeksock: its start in the process, socket addresses, whole sends and
// receives, a bounded wait for one socket, and a failed step's report.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "include/zek/ioctl.h"
#include "include/zek/zekbase.h"
#include "include/zek/zeksock.h"

namespace twohost {

// Starts zeksock in this process (ZEK_HOST names the host) and sets
// `*table` to its routine table: 0, or the exit code of a program that
// could not: 3 when zeksock does not start, 4 without its socket table.
inline int start_sockets(const ZekUserSocketTable** table) {
  ZekSocketsInitParams params{0, 0};
  if (ZEK_InitLib_Sockets(&params, ZEK_ABI_COOKIE) != ZEK_STATUS_PASS) return 3;
  void* found = nullptr;
  if (ZEK_GetInterface(ZEK_SOCKETS_INTERFACE, &found) != ZEK_STATUS_PASS) return 4;
  *table = static_cast<const ZekUserSocketTable*>(found);
  return 0;
}

// A program's step that failed: its name and zeksock's error number on
// standard output, and the program ends with 10.
[[noreturn]] inline void fail(const char* step) {
  std::printf("FAILED %s errno %d\n", step, zek_errno);
  std::fflush(stdout);
  std::exit(10);
}

// A BSD IPv4 socket address (address in network order, port in host order).
inline ZekSanAddress address_of(std::uint32_t network, std::uint16_t port) {
  ZekSanAddress a{};
  a.Family = static_cast<std::uint16_t>(16 | (2 << 8));
  a.Port = __builtin_bswap16(port);
  a.Address = network;
  return a;
}

// Sends all `n` bytes (a stream send may take fewer); false on an error.
inline bool send_all(const ZekUserSocketTable* t, std::int64_t s, const void* data, std::size_t n) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (n > 0) {
    const int sent = t->send(s, p, static_cast<int>(std::min<std::size_t>(n, 1 << 18)), 0);
    if (sent <= 0) return false;
    p += sent;
    n -= static_cast<std::size_t>(sent);
  }
  return true;
}

// Receives exactly `n` bytes; false on an error or the peer's end.
inline bool recv_all(const ZekUserSocketTable* t, std::int64_t s, void* data, std::size_t n) {
  auto* p = static_cast<std::uint8_t*>(data);
  while (n > 0) {
    const int got = t->recv(s, p, static_cast<int>(n), 0);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

// Waits (poll) until `s` is ready for `events`; false after `ms`.
inline bool wait_for(const ZekUserSocketTable* t, std::int64_t s, std::int16_t events, int ms) {
  ZekPollFd entry{static_cast<std::int32_t>(s), events, 0};
  return t->poll(&entry, 1, ms) == 1 && (entry.Revents & events) != 0;
}

}  // namespace twohost
