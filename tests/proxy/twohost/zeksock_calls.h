// What the two-host programs (twohost_peer, twohost_bench) do with
// zeksock's routine table: socket addresses, whole sends and receives, and
// a bounded wait for one socket.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "include/zek/zeksock.h"

namespace twohost {

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
