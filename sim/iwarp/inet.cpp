#include "sim/iwarp/inet.h"

#include <cstring>

namespace zeksim::net {

namespace {

void put16(std::byte* p, std::uint16_t v) {
  p[0] = std::byte(v >> 8);
  p[1] = std::byte(v);
}
void put32(std::byte* p, std::uint32_t v) {
  p[0] = std::byte(v >> 24);
  p[1] = std::byte(v >> 16);
  p[2] = std::byte(v >> 8);
  p[3] = std::byte(v);
}
std::uint16_t get16(const std::byte* p) {
  return static_cast<std::uint16_t>(std::to_integer<unsigned>(p[0]) << 8 | std::to_integer<unsigned>(p[1]));
}
std::uint32_t get32(const std::byte* p) { return std::uint32_t{get16(p)} << 16 | get16(p + 2); }

// Sum of the IPv4 pseudo header for TCP.
std::uint64_t pseudo_sum(std::uint32_t src, std::uint32_t dst, std::size_t tcp_bytes) {
  return (src >> 16) + (src & 0xFFFF) + (dst >> 16) + (dst & 0xFFFF) + kIpProtoTcp + tcp_bytes;
}

}  // namespace

std::size_t tcp_header_bytes(const TcpOptions& o) {
  std::size_t n = kTcpHeaderBytes;
  if (o.mss != 0) n += 4;
  if (o.wscale >= 0) n += 4;  // NOP + 3
  if (o.timestamps) n += 12;  // NOP NOP + 10
  return n;
}

std::uint64_t ones_sum(std::span<const std::byte> bytes) {
  // Sums big-endian 16-bit words. 32-bit loads summed into 64 bits defer the
  // carries; the byte order inside each 16-bit word is fixed at the end.
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  std::uint64_t sum = 0;
  while (n >= 32) {
    std::uint32_t w[8];
    std::memcpy(w, p, 32);
    sum += std::uint64_t{w[0]} + w[1] + w[2] + w[3] + w[4] + w[5] + w[6] + w[7];
    p += 32;
    n -= 32;
  }
  while (n >= 4) {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    sum += w;
    p += 4;
    n -= 4;
  }
  std::uint64_t tail = 0;
  if (n >= 2) {
    std::uint16_t w;
    std::memcpy(&w, p, 2);
    tail += w;
    p += 2;
    n -= 2;
  }
  if (n == 1) tail += *p;  // little-endian: the lone byte is the high byte of its word
  sum += tail;
  // Fold to 16 bits in host (little-endian) order, then swap to network order.
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>((sum >> 8) | (sum << 8));
}

std::uint64_t copy_and_sum(std::byte* to, std::span<const std::byte> from) {
  if (from.empty()) return 0;
  std::memcpy(to, from.data(), from.size());
  return ones_sum(std::span<const std::byte>(to, from.size()));
}

std::uint16_t fold_checksum(std::uint64_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

void write_tcp_frame(std::span<std::byte> frame, const TcpFrameHeader& h, std::optional<std::uint64_t> payload_sum) {
  const std::size_t tcp_hdr = tcp_header_bytes(h.options);
  const std::size_t headers = kEthHeaderBytes + kIpv4HeaderBytes + tcp_hdr;
  const std::size_t payload_bytes = frame.size() - headers;
  std::byte* eth = frame.data();
  std::memcpy(eth, h.dst_mac.data(), 6);
  std::memcpy(eth + 6, h.src_mac.data(), 6);
  put16(eth + 12, kEtherTypeIpv4);

  std::byte* ip = eth + kEthHeaderBytes;
  const std::size_t ip_total = kIpv4HeaderBytes + tcp_hdr + payload_bytes;
  ip[0] = std::byte{0x45};
  ip[1] = std::byte{0};
  put16(ip + 2, static_cast<std::uint16_t>(ip_total));
  put16(ip + 4, h.ip_id);
  put16(ip + 6, 0x4000);  // don't fragment
  ip[8] = std::byte{h.ttl};
  ip[9] = std::byte{kIpProtoTcp};
  put16(ip + 10, 0);
  put32(ip + 12, h.src_ip);
  put32(ip + 16, h.dst_ip);
  put16(ip + 10, fold_checksum(ones_sum(std::span<const std::byte>(ip, kIpv4HeaderBytes))));

  std::byte* tcp = ip + kIpv4HeaderBytes;
  put16(tcp, h.src_port);
  put16(tcp + 2, h.dst_port);
  put32(tcp + 4, h.seq);
  put32(tcp + 8, h.ack);
  tcp[12] = std::byte(static_cast<std::uint8_t>((tcp_hdr / 4) << 4));
  tcp[13] = std::byte{h.flags};
  put16(tcp + 14, h.window);
  put16(tcp + 16, 0);
  put16(tcp + 18, 0);
  std::byte* o = tcp + kTcpHeaderBytes;
  if (h.options.mss != 0) {
    o[0] = std::byte{2};
    o[1] = std::byte{4};
    put16(o + 2, h.options.mss);
    o += 4;
  }
  if (h.options.wscale >= 0) {
    o[0] = std::byte{1};
    o[1] = std::byte{3};
    o[2] = std::byte{3};
    o[3] = std::byte(static_cast<std::uint8_t>(h.options.wscale));
    o += 4;
  }
  if (h.options.timestamps) {
    o[0] = std::byte{1};
    o[1] = std::byte{1};
    o[2] = std::byte{8};
    o[3] = std::byte{10};
    put32(o + 4, h.options.ts_val);
    put32(o + 8, h.options.ts_ecr);
  }
  const std::uint64_t psum = payload_sum ? *payload_sum : ones_sum(frame.subspan(headers));
  const std::uint64_t sum = pseudo_sum(h.src_ip, h.dst_ip, tcp_hdr + payload_bytes) +
                            ones_sum(std::span<const std::byte>(tcp, tcp_hdr)) + psum;
  put16(tcp + 16, fold_checksum(sum));
}

std::optional<FourTuple> peek_four_tuple(std::span<const std::byte> frame) {
  if (frame.size() < kEthHeaderBytes + kIpv4HeaderBytes + kTcpHeaderBytes) return std::nullopt;
  const std::byte* eth = frame.data();
  if (get16(eth + 12) != kEtherTypeIpv4) return std::nullopt;
  const std::byte* ip = eth + kEthHeaderBytes;
  const unsigned ihl = (std::to_integer<unsigned>(ip[0]) & 0xF) * 4;
  if ((std::to_integer<unsigned>(ip[0]) >> 4) != 4 || ihl < kIpv4HeaderBytes) return std::nullopt;
  if (std::to_integer<unsigned>(ip[9]) != kIpProtoTcp) return std::nullopt;
  if (frame.size() < kEthHeaderBytes + ihl + kTcpHeaderBytes) return std::nullopt;
  const std::byte* tcp = ip + ihl;
  return FourTuple{get32(ip + 12), get32(ip + 16), get16(tcp), get16(tcp + 2)};
}

ParseResult parse_tcp_frame(std::span<const std::byte> frame, ParsedTcpFrame* out) {
  if (frame.size() < kEthHeaderBytes + kIpv4HeaderBytes) return ParseResult::NotTcp;
  const std::byte* eth = frame.data();
  if (get16(eth + 12) != kEtherTypeIpv4) return ParseResult::NotTcp;
  const std::byte* ip = eth + kEthHeaderBytes;
  const unsigned version = std::to_integer<unsigned>(ip[0]) >> 4;
  const unsigned ihl = (std::to_integer<unsigned>(ip[0]) & 0xF) * 4;
  if (version != 4) return ParseResult::NotTcp;
  if (std::to_integer<unsigned>(ip[9]) != kIpProtoTcp) return ParseResult::NotTcp;
  const std::uint16_t frag = get16(ip + 6);
  if ((frag & 0x3FFF) != 0) return ParseResult::NotTcp;  // a fragment: not carried by the offload
  const std::size_t ip_total = get16(ip + 2);
  if (ihl < kIpv4HeaderBytes || ip_total < ihl + kTcpHeaderBytes || kEthHeaderBytes + ip_total > frame.size()) {
    return ParseResult::Malformed;
  }
  if (fold_checksum(ones_sum(std::span<const std::byte>(ip, ihl))) != 0) return ParseResult::BadChecksum;
  const std::byte* tcp = ip + ihl;
  const std::size_t tcp_bytes = ip_total - ihl;
  const std::size_t tcp_hdr = (std::to_integer<unsigned>(tcp[12]) >> 4) * 4u;
  if (tcp_hdr < kTcpHeaderBytes || tcp_hdr > tcp_bytes) return ParseResult::Malformed;
  TcpFrameHeader& h = out->header;
  h = TcpFrameHeader{};
  std::memcpy(h.dst_mac.data(), eth, 6);
  std::memcpy(h.src_mac.data(), eth + 6, 6);
  h.ip_id = get16(ip + 4);
  h.ttl = std::to_integer<std::uint8_t>(ip[8]);
  h.src_ip = get32(ip + 12);
  h.dst_ip = get32(ip + 16);
  const std::uint64_t sum =
      pseudo_sum(h.src_ip, h.dst_ip, tcp_bytes) + ones_sum(std::span<const std::byte>(tcp, tcp_bytes));
  if (fold_checksum(sum) != 0) return ParseResult::BadChecksum;
  h.src_port = get16(tcp);
  h.dst_port = get16(tcp + 2);
  h.seq = get32(tcp + 4);
  h.ack = get32(tcp + 8);
  h.flags = std::to_integer<std::uint8_t>(tcp[13]);
  h.window = get16(tcp + 14);
  // Options: kinds 0 (end), 1 (NOP), 2 (MSS), 3 (window scale), 8 (timestamps); others skipped by length.
  const std::byte* o = tcp + kTcpHeaderBytes;
  const std::byte* end = tcp + tcp_hdr;
  while (o < end) {
    const unsigned kind = std::to_integer<unsigned>(o[0]);
    if (kind == 0) break;
    if (kind == 1) {
      ++o;
      continue;
    }
    if (end - o < 2) return ParseResult::Malformed;
    const unsigned len = std::to_integer<unsigned>(o[1]);
    if (len < 2 || static_cast<std::ptrdiff_t>(len) > end - o) return ParseResult::Malformed;
    if (kind == 2 && len == 4) h.options.mss = get16(o + 2);
    if (kind == 3 && len == 3) h.options.wscale = std::to_integer<int>(o[2]);
    if (kind == 8 && len == 10) {
      h.options.timestamps = true;
      h.options.ts_val = get32(o + 2);
      h.options.ts_ecr = get32(o + 6);
    }
    o += len;
  }
  out->payload = std::span<const std::byte>(tcp + tcp_hdr, tcp_bytes - tcp_hdr);
  return ParseResult::Ok;
}

}  // namespace zeksim::net
