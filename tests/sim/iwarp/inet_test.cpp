#include "sim/iwarp/inet.h"

#include <gtest/gtest.h>

#include <vector>

namespace zeksim::net {
namespace {

// Textbook RFC 1071 sum over big-endian 16-bit words, for comparison.
std::uint16_t reference_checksum(const std::vector<std::uint8_t>& b) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < b.size(); i += 2) sum += (b[i] << 8) | b[i + 1];
  if (b.size() % 2) sum += b.back() << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

TcpFrameHeader sample_header() {
  TcpFrameHeader h;
  h.src_mac = {0x02, 0, 0, 0, 0, 1};
  h.dst_mac = {0x02, 0, 0, 0, 0, 2};
  h.src_ip = 0xC0000201;  // 192.0.2.1
  h.dst_ip = 0xC0000202;
  h.src_port = 40000;
  h.dst_port = 3260;
  h.seq = 0xFFFFFF00;
  h.ack = 12345;
  h.flags = kAck | kPsh;
  h.window = 0x1234;
  h.ip_id = 77;
  return h;
}

std::vector<std::byte> make_frame(const TcpFrameHeader& h, std::size_t payload) {
  std::vector<std::byte> f(frame_header_bytes(h.options) + payload);
  for (std::size_t i = 0; i < payload; ++i) f[frame_header_bytes(h.options) + i] = std::byte((i * 7 + 3) & 0xFF);
  write_tcp_frame(f, h);
  return f;
}

TEST(Inet, FramesRoundTripWithChecksumsOfEveryLength) {
  const TcpOptions option_sets[] = {{}, {1460, 7, true, 0xAABBCCDD, 0x11223344}, {0, -1, true, 1, 2}};
  for (const TcpOptions& options : option_sets) {
    for (std::size_t payload : {0u, 1u, 2u, 3u, 5u, 33u, 1459u, 1460u, 8960u}) {
      TcpFrameHeader h = sample_header();
      h.options = options;
      const std::vector<std::byte> f = make_frame(h, payload);
      ParsedTcpFrame p;
      ASSERT_EQ(parse_tcp_frame(f, &p), ParseResult::Ok) << payload;
      EXPECT_EQ(p.header.seq, h.seq);
      EXPECT_EQ(p.header.ack, h.ack);
      EXPECT_EQ(p.header.src_ip, h.src_ip);
      EXPECT_EQ(p.header.dst_port, h.dst_port);
      EXPECT_EQ(p.header.window, h.window);
      EXPECT_EQ(p.header.options, options);
      EXPECT_EQ(p.payload.size(), payload);
      // The TCP checksum matches a byte-wise computation over pseudo header + segment.
      const std::size_t ip = kEthHeaderBytes;
      std::vector<std::uint8_t> pseudo;
      for (int i = 12; i < 20; ++i) pseudo.push_back(std::to_integer<std::uint8_t>(f[ip + i]));
      const std::size_t tcp_len = f.size() - ip - kIpv4HeaderBytes;
      pseudo.insert(pseudo.end(),
                    {0, kIpProtoTcp, static_cast<std::uint8_t>(tcp_len >> 8), static_cast<std::uint8_t>(tcp_len)});
      for (std::size_t i = ip + kIpv4HeaderBytes; i < f.size(); ++i)
        pseudo.push_back(std::to_integer<std::uint8_t>(f[i]));
      const std::size_t csum_at = 16 + 8 + 4;  // pseudo header is 12 bytes; checksum at TCP +16
      pseudo[csum_at] = pseudo[csum_at + 1] = 0;
      const std::uint16_t expect = reference_checksum(pseudo);
      const std::uint16_t got = static_cast<std::uint16_t>(std::to_integer<unsigned>(f[ip + 20 + 16]) << 8 |
                                                           std::to_integer<unsigned>(f[ip + 20 + 17]));
      EXPECT_EQ(got, expect) << payload;
    }
  }
}

TEST(Inet, DamagedOrForeignFramesAreRefused) {
  const std::vector<std::byte> good = make_frame(sample_header(), 100);
  ParsedTcpFrame p;
  struct Case {
    const char* what;
    std::size_t at;
    std::byte value;
    ParseResult expect;
  } cases[] = {
      {"payload bit", good.size() - 1, good.back() ^ std::byte{1}, ParseResult::BadChecksum},
      {"ip header bit", kEthHeaderBytes + 8, std::byte{1}, ParseResult::BadChecksum},
      {"udp", kEthHeaderBytes + 9, std::byte{17}, ParseResult::NotTcp},
      {"ipv6 ethertype", 12, std::byte{0x86}, ParseResult::NotTcp},
      {"total length beyond the frame", kEthHeaderBytes + 2, std::byte{0x7F}, ParseResult::Malformed},
      {"tcp header length beyond", kEthHeaderBytes + 20 + 12, std::byte{0xF0}, ParseResult::BadChecksum},
  };
  for (const auto& c : cases) {
    std::vector<std::byte> f = good;
    f[c.at] = c.value;
    EXPECT_EQ(parse_tcp_frame(f, &p), c.expect) << c.what;
  }
  EXPECT_EQ(parse_tcp_frame(std::span(good).first(50), &p), ParseResult::Malformed);
}

TEST(Inet, PeekSeesTheFourTuple) {
  const std::vector<std::byte> f = make_frame(sample_header(), 4);
  const auto t = peek_four_tuple(f);
  ASSERT_TRUE(t);
  EXPECT_EQ(*t, (FourTuple{0xC0000201, 0xC0000202, 40000, 3260}));
}

}  // namespace
}  // namespace zeksim::net
