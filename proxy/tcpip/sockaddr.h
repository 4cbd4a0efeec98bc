// Socket addresses in the BSD layout: a length byte, a family byte, then the
// family's bytes. IPv4 addresses and ports are kept in network order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zektcp {

inline constexpr std::uint8_t AF_UNSPEC = 0;
inline constexpr std::uint8_t AF_LOCAL = 1;
inline constexpr std::uint8_t AF_INET = 2;
inline constexpr std::uint8_t AF_ROUTE = 17;
inline constexpr std::uint8_t AF_LINK = 18;
inline constexpr int AF_MAX = 33;

struct sockaddr {
  std::uint8_t sa_len;
  std::uint8_t sa_family;
  char sa_data[14];
};
static_assert(sizeof(sockaddr) == 16);

struct in_addr {
  std::uint32_t s_addr;  // network order
};

struct sockaddr_in {
  std::uint8_t sin_len;
  std::uint8_t sin_family;
  std::uint16_t sin_port;  // network order
  in_addr sin_addr;
  std::uint8_t sin_zero[8];
};
static_assert(sizeof(sockaddr_in) == 16);
static_assert(offsetof(sockaddr_in, sin_addr) == 4);

// A link-level address: the interface name, then the hardware address.
struct sockaddr_dl {
  std::uint8_t sdl_len;
  std::uint8_t sdl_family;
  std::uint16_t sdl_index;
  std::uint8_t sdl_type;
  std::uint8_t sdl_nlen;
  std::uint8_t sdl_alen;
  std::uint8_t sdl_slen;
  char sdl_data[46];
};
static_assert(sizeof(sockaddr_dl) == 54);
static_assert(offsetof(sockaddr_dl, sdl_data) == 8);

// The same address: both present, the same length and the same bytes.
inline bool sa_equal(const sockaddr* a, const sockaddr* b) {
  return a != nullptr && b != nullptr && a->sa_len == b->sa_len && std::memcmp(a, b, a->sa_len) == 0;
}

inline std::uint8_t* LLADDR(sockaddr_dl* s) { return reinterpret_cast<std::uint8_t*>(s->sdl_data) + s->sdl_nlen; }

inline constexpr std::uint32_t htonl(std::uint32_t v) { return __builtin_bswap32(v); }
inline constexpr std::uint32_t ntohl(std::uint32_t v) { return __builtin_bswap32(v); }
inline constexpr std::uint16_t htons(std::uint16_t v) { return __builtin_bswap16(v); }
inline constexpr std::uint16_t ntohs(std::uint16_t v) { return __builtin_bswap16(v); }

inline constexpr std::uint32_t INADDR_ANY = 0;
inline constexpr std::uint32_t INADDR_BROADCAST = 0xFFFFFFFF;

inline sockaddr_in make_sockaddr_in(std::uint32_t address_host_order, std::uint16_t port_host_order = 0) {
  sockaddr_in sin{};
  sin.sin_len = sizeof(sockaddr_in);
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port_host_order);
  sin.sin_addr.s_addr = htonl(address_host_order);
  return sin;
}

inline bool IN_MULTICAST(std::uint32_t host_order) { return (host_order & 0xF0000000u) == 0xE0000000u; }
inline bool IN_CLASSA(std::uint32_t host_order) { return (host_order & 0x80000000u) == 0; }
inline bool IN_CLASSB(std::uint32_t host_order) { return (host_order & 0xC0000000u) == 0x80000000u; }

}  // namespace zektcp
