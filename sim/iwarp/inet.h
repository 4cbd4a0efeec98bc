// Ethernet II, IPv4 and TCP headers as the adapter writes and reads them for
// offloaded connections: real frames with correct IPv4 and TCP checksums.
// Addresses, ports and sequence numbers are host-order values here; the
// frame holds them in network order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace zeksim::net {

using Mac = std::array<std::uint8_t, 6>;

inline constexpr std::size_t kEthHeaderBytes = 14;
inline constexpr std::size_t kIpv4HeaderBytes = 20;
inline constexpr std::size_t kTcpHeaderBytes = 20;
inline constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
inline constexpr std::uint8_t kIpProtoTcp = 6;

// TCP flag bits (byte 13 of the header).
enum TcpFlag : std::uint8_t {
  kFin = 0x01,
  kSyn = 0x02,
  kRst = 0x04,
  kPsh = 0x08,
  kAck = 0x10,
  kUrg = 0x20,
};

// The options the adapter writes and understands; others are skipped.
struct TcpOptions {
  std::uint16_t mss = 0;  // 0: absent
  int wscale = -1;        // -1: absent
  bool timestamps = false;
  std::uint32_t ts_val = 0, ts_ecr = 0;
  bool operator==(const TcpOptions&) const = default;
};

struct TcpFrameHeader {
  Mac src_mac{}, dst_mac{};
  std::uint32_t src_ip = 0, dst_ip = 0;
  std::uint16_t src_port = 0, dst_port = 0;
  std::uint32_t seq = 0, ack = 0;
  std::uint8_t flags = 0;
  std::uint16_t window = 0;  // as carried (before scaling)
  TcpOptions options{};
  std::uint16_t ip_id = 0;
  std::uint8_t ttl = 64;
};

// Bytes of the TCP header with these options (padded to 4).
std::size_t tcp_header_bytes(const TcpOptions& options);
// Ethernet + IPv4 + TCP header bytes.
inline std::size_t frame_header_bytes(const TcpOptions& options) {
  return kEthHeaderBytes + kIpv4HeaderBytes + tcp_header_bytes(options);
}

// One's-complement sum of a byte range (RFC 1071), unfolded; pieces of even
// length may be summed apart and added.
std::uint64_t ones_sum(std::span<const std::byte> bytes);
std::uint16_t fold_checksum(std::uint64_t sum);  // folded and complemented

// Writes the headers of a frame whose payload already sits right after them
// in `frame` (frame.size() = headers + payload) and fills both checksums.
// `payload_sum` is ones_sum of the payload when the caller has it (for
// instance from a combined copy), else nullopt and it is computed here.
void write_tcp_frame(std::span<std::byte> frame, const TcpFrameHeader& header,
                     std::optional<std::uint64_t> payload_sum = std::nullopt);

// Copies `from` to `to` and returns ones_sum of the bytes copied, in one pass.
std::uint64_t copy_and_sum(std::byte* to, std::span<const std::byte> from);

enum class ParseResult {
  Ok,
  NotTcp,       // not IPv4/TCP (or a fragment): the NIC path's
  Malformed,    // lengths or header fields that do not hold together
  BadChecksum,  // IPv4 header or TCP checksum wrong
};

struct ParsedTcpFrame {
  TcpFrameHeader header;
  std::span<const std::byte> payload;
};

// Parses and checks a frame; VLAN tags are not expected on this path.
ParseResult parse_tcp_frame(std::span<const std::byte> frame, ParsedTcpFrame* out);

// Quick look at the 4-tuple of an IPv4/TCP frame without checking it (for
// steering to a connection before the full parse).
struct FourTuple {
  std::uint32_t src_ip = 0, dst_ip = 0;
  std::uint16_t src_port = 0, dst_port = 0;
  bool operator==(const FourTuple&) const = default;
};
std::optional<FourTuple> peek_four_tuple(std::span<const std::byte> frame);

}  // namespace zeksim::net
