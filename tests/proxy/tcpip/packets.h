// Frames and packets as the tests and fuzz targets of the stack write and
// read them: Ethernet, IPv4, UDP, ICMP and ARP built field by field (host
// order in, network order out), and a sent frame read back. Plain data and
// functions only, so programs without a test framework can use them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

// An IPv4 address in host order.
inline constexpr std::uint32_t ipv4(int a, int b, int c, int d) {
  return (static_cast<std::uint32_t>(a) << 24) | (static_cast<std::uint32_t>(b) << 16) |
         (static_cast<std::uint32_t>(c) << 8) | static_cast<std::uint32_t>(d);
}

using Bytes = std::vector<std::uint8_t>;

struct Mac {
  std::uint8_t b[6];
  bool operator==(const Mac& o) const { return std::memcmp(b, o.b, 6) == 0; }
};

inline constexpr Mac kOurMac = {{0x02, 0x5A, 0x00, 0x00, 0x00, 0x01}};
inline constexpr Mac kPeerMac = {{0x02, 0x5A, 0x00, 0x00, 0x00, 0x02}};
inline constexpr Mac kBroadcastMac = {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
inline constexpr std::uint32_t kOurIp = ipv4(192, 0, 2, 1);
inline constexpr std::uint32_t kPeerIp = ipv4(192, 0, 2, 2);
inline constexpr std::uint32_t kNetmask = ipv4(255, 255, 255, 0);

// ---- Building packets (all fields given in host order) -------------------------------------------
inline void put16(Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v >> 8);
  b[at + 1] = static_cast<std::uint8_t>(v);
}
inline void put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}
inline std::uint16_t get16(const Bytes& b, std::size_t at) {
  return static_cast<std::uint16_t>((b.at(at) << 8) | b.at(at + 1));
}
inline std::uint32_t get32(const Bytes& b, std::size_t at) {
  return (static_cast<std::uint32_t>(get16(b, at)) << 16) | get16(b, at + 2);
}

// The Internet checksum of bytes, as the 16-bit value to write big-endian.
inline std::uint16_t cksum(const Bytes& b, std::size_t from, std::size_t len, std::uint32_t seed = 0) {
  std::uint64_t sum = seed;
  for (std::size_t i = 0; i < len; i += 2) {
    sum += static_cast<std::uint32_t>(b[from + i] << 8) | (i + 1 < len ? b[from + i + 1] : 0);
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

inline Bytes ether(const Mac& dst, const Mac& src, std::uint16_t type, const Bytes& payload) {
  Bytes f(14);
  std::memcpy(f.data(), dst.b, 6);
  std::memcpy(f.data() + 6, src.b, 6);
  put16(f, 12, type);
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}

struct IpFields {
  std::uint32_t src = kPeerIp;
  std::uint32_t dst = kOurIp;
  std::uint8_t proto = 17;
  std::uint8_t ttl = 64;
  std::uint16_t id = 1;
  std::uint16_t off = 0;  // flags and fragment offset (in 8-byte units)
  std::uint8_t tos = 0;
  Bytes options;       // padded by the caller to a multiple of 4
  int total_len = -1;  // -1: the real length
  int version = 4;
  int hlen_words = -1;  // -1: from the options
  bool bad_sum = false;
};

inline Bytes ipv4_packet(const IpFields& f, const Bytes& payload) {
  const std::size_t hlen = 20 + f.options.size();
  Bytes p(hlen);
  const int hwords = f.hlen_words >= 0 ? f.hlen_words : static_cast<int>(hlen / 4);
  p[0] = static_cast<std::uint8_t>((f.version << 4) | (hwords & 0xF));
  p[1] = f.tos;
  put16(p, 2, static_cast<std::uint16_t>(f.total_len >= 0 ? f.total_len : static_cast<int>(hlen + payload.size())));
  put16(p, 4, f.id);
  put16(p, 6, f.off);
  p[8] = f.ttl;
  p[9] = f.proto;
  put32(p, 12, f.src);
  put32(p, 16, f.dst);
  std::copy(f.options.begin(), f.options.end(), p.begin() + 20);
  std::uint16_t sum = cksum(p, 0, hlen);
  if (f.bad_sum) sum ^= 0x5555;
  put16(p, 10, sum);
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

inline Bytes udp_datagram(std::uint32_t src, std::uint32_t dst, std::uint16_t sport, std::uint16_t dport,
                          const Bytes& data, bool with_sum = true) {
  Bytes u(8);
  put16(u, 0, sport);
  put16(u, 2, dport);
  put16(u, 4, static_cast<std::uint16_t>(8 + data.size()));
  u.insert(u.end(), data.begin(), data.end());
  if (with_sum) {
    const std::uint32_t pseudo = (src >> 16) + (src & 0xFFFF) + (dst >> 16) + (dst & 0xFFFF) + 17 + u.size();
    std::uint16_t sum = cksum(u, 0, u.size(), pseudo);
    if (sum == 0) sum = 0xFFFF;
    put16(u, 6, sum);
  }
  return u;
}

inline Bytes icmp_message(std::uint8_t type, std::uint8_t code, std::uint32_t rest, const Bytes& data) {
  Bytes m(8 + data.size());
  m[0] = type;
  m[1] = code;
  put32(m, 4, rest);
  std::copy(data.begin(), data.end(), m.begin() + 8);
  put16(m, 2, cksum(m, 0, m.size()));
  return m;
}

inline Bytes arp_packet(std::uint16_t op, const Mac& sha, std::uint32_t spa, const Mac& tha, std::uint32_t tpa,
                        std::uint16_t hrd = 1) {
  Bytes a(28);
  put16(a, 0, hrd);
  put16(a, 2, 0x0800);
  a[4] = 6;
  a[5] = 4;
  put16(a, 6, op);
  std::memcpy(a.data() + 8, sha.b, 6);
  put32(a, 14, spa);
  std::memcpy(a.data() + 18, tha.b, 6);
  put32(a, 24, tpa);
  return a;
}

// ---- Reading frames -----------------------------------------------------------------------------
struct Frame {
  Bytes bytes;
  Mac dst() const {
    Mac m;
    std::memcpy(m.b, bytes.data(), 6);
    return m;
  }
  Mac src() const {
    Mac m;
    std::memcpy(m.b, bytes.data() + 6, 6);
    return m;
  }
  std::uint16_t type() const { return get16(bytes, 12); }
  bool is_ip() const { return type() == 0x0800; }
  bool is_arp() const { return type() == 0x0806; }
  // IPv4 fields (the IP header starts at 14).
  std::size_t ip_hlen() const { return (bytes.at(14) & 0xF) * 4u; }
  std::uint8_t proto() const { return bytes.at(23); }
  std::uint32_t ip_src() const { return get32(bytes, 26); }
  std::uint32_t ip_dst() const { return get32(bytes, 30); }
  std::uint16_t ip_len() const { return get16(bytes, 16); }
  std::uint16_t ip_id() const { return get16(bytes, 18); }
  std::uint16_t ip_off() const { return get16(bytes, 20); }
  std::uint8_t ttl() const { return bytes.at(22); }
  std::size_t l4() const { return 14 + ip_hlen(); }
  bool ip_sum_ok() const { return cksum(bytes, 14, ip_hlen()) == 0; }
  Bytes l4_bytes() const { return Bytes(bytes.begin() + static_cast<long>(l4()), bytes.begin() + 14 + ip_len()); }
  // ARP fields.
  std::uint16_t arp_op() const { return get16(bytes, 20); }
  std::uint32_t arp_spa() const { return get32(bytes, 28); }
  std::uint32_t arp_tpa() const { return get32(bytes, 38); }
  Mac arp_sha() const {
    Mac m;
    std::memcpy(m.b, bytes.data() + 22, 6);
    return m;
  }
  Mac arp_tha() const {
    Mac m;
    std::memcpy(m.b, bytes.data() + 32, 6);
    return m;
  }
};
