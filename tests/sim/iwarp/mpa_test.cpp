#include "sim/iwarp/mpa.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sim/iwarp/crc32c.h"

namespace zeksim {
namespace {

std::vector<std::byte> payload(std::size_t n, int seed) {
  std::vector<std::byte> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = std::byte((i * 17 + static_cast<std::size_t>(seed)) & 0xFF);
  return v;
}

std::vector<std::byte> fpdu(const MpaSender& tx, std::uint32_t seq, std::span<const std::byte> header,
                            const std::vector<std::byte>& data) {
  const Bytes f = tx.build(seq, header, data.size(), [&](std::span<std::byte> dest, std::size_t off) {
    std::memcpy(dest.data(), data.data() + off, dest.size());
    return true;
  });
  return std::vector<std::byte>(f.begin(), f.end());
}

TEST(Mpa, MaxUlpduFitsTheSegmentWhereverItStarts) {
  for (bool markers : {false, true}) {
    for (std::uint32_t emss : {536u, 1448u, 1460u, 8948u, 8960u}) {
      const std::uint32_t m = mpa_max_ulpdu(emss, markers);
      EXPECT_EQ(m % 4, 0u);
      for (std::uint32_t pos = 0; pos < 1024; pos += 4) EXPECT_LE(mpa_fpdu_stream_bytes(m, pos, markers), emss);
      EXPECT_GT(mpa_fpdu_stream_bytes(m + 4, 0, markers), emss - 8) << emss;  // nothing much left over
    }
  }
  EXPECT_EQ(mpa_max_ulpdu(1460, false), 1452u);
}

TEST(Mpa, FramesWithoutMarkersCarryLengthPadAndCrc) {
  MpaSender tx({.crc = true}, 1000);
  const std::byte header[3] = {std::byte{1}, std::byte{2}, std::byte{3}};
  const auto data = payload(4, 1);
  const auto f = fpdu(tx, 1000, header, data);
  ASSERT_EQ(f.size(), 2u + 7 + 3 + 4);  // length, ULPDU, pad to 12, CRC
  EXPECT_EQ(std::to_integer<int>(f[0]), 0);
  EXPECT_EQ(std::to_integer<int>(f[1]), 7);
  EXPECT_EQ(std::to_integer<int>(f[9]) | std::to_integer<int>(f[10]) | std::to_integer<int>(f[11]), 0);
  const std::uint32_t crc = crc32c(std::span(f).first(12));
  EXPECT_EQ(std::to_integer<std::uint32_t>(f[12]) << 24 | std::to_integer<std::uint32_t>(f[13]) << 16 |
                std::to_integer<std::uint32_t>(f[14]) << 8 | std::to_integer<std::uint32_t>(f[15]),
            crc);
  MpaSender no_crc({.crc = false}, 1000);
  const auto g = fpdu(no_crc, 1000, header, data);
  EXPECT_EQ(std::to_integer<int>(g[12]) | std::to_integer<int>(g[15]), 0);
}

struct StreamCase {
  bool markers, crc;
  std::uint32_t base;  // marker base; the stream starts there
  std::size_t chunk;   // how the receiver is fed
};
// ctest lists a case by what it sets, not by its bytes.
std::string case_name(const StreamCase& c) {
  return std::string(c.markers ? "markers" : "no_markers") + (c.crc ? "_crc" : "") + "_base" + std::to_string(c.base) +
         "_chunk" + std::to_string(c.chunk);
}
void PrintTo(const StreamCase& c, std::ostream* os) { *os << case_name(c); }

class MpaStream : public ::testing::TestWithParam<StreamCase> {};

TEST_P(MpaStream, ReceiverReturnsEveryUlpduWhateverTheChunks) {
  const StreamCase c = GetParam();
  const MpaSettings settings{.crc = c.crc, .send_markers = c.markers, .receive_markers = c.markers};
  MpaSender tx(settings, c.base);
  std::vector<std::byte> stream;
  std::vector<std::vector<std::byte>> ulpdus;
  std::uint32_t seq = c.base;
  for (int i = 0; i < 60; ++i) {
    const std::size_t n = static_cast<std::size_t>((i * 389) % 2100);
    const std::byte header[14] = {std::byte(i)};
    auto data = payload(n, i);
    auto f = fpdu(tx, seq, header, data);
    std::vector<std::byte> u(header, header + 14);
    u.insert(u.end(), data.begin(), data.end());
    ulpdus.push_back(u);
    stream.insert(stream.end(), f.begin(), f.end());
    seq += static_cast<std::uint32_t>(f.size());
    EXPECT_EQ(f.size(), mpa_fpdu_stream_bytes(static_cast<std::uint32_t>(u.size()),
                                              seq - c.base - static_cast<std::uint32_t>(f.size()), c.markers));
  }
  MpaReceiver rx(settings, c.base, c.base);
  std::vector<std::vector<std::byte>> got;
  for (std::size_t at = 0; at < stream.size(); at += c.chunk) {
    const auto piece = std::span(stream).subspan(at, std::min(c.chunk, stream.size() - at));
    ASSERT_EQ(rx.feed(piece, [&](std::span<const std::byte> u) { got.emplace_back(u.begin(), u.end()); }),
              MpaError::None);
  }
  EXPECT_EQ(got, ulpdus);
}

INSTANTIATE_TEST_SUITE_P(Streams, MpaStream,
                         ::testing::Values(StreamCase{false, true, 0, 100000}, StreamCase{false, true, 5, 1},
                                           StreamCase{false, false, 9, 1460}, StreamCase{true, true, 0, 100000},
                                           StreamCase{true, true, 0xFFFFFF00u, 1}, StreamCase{true, true, 3, 7},
                                           StreamCase{true, false, 12, 513}),
                         [](const auto& info) { return case_name(info.param); });

TEST(Mpa, MarkersPointBackToTheFpduStart) {
  MpaSender tx({.crc = true, .send_markers = true}, 0);
  const std::byte header[14] = {};
  // Starting at position 0: the marker opens the FPDU with FPDUPTR 0.
  auto f = fpdu(tx, 0, header, payload(1000, 1));
  EXPECT_EQ(std::to_integer<int>(f[2]) << 8 | std::to_integer<int>(f[3]), 0);
  EXPECT_EQ(std::to_integer<int>(f[4]) << 8 | std::to_integer<int>(f[5]), 1014);  // the length follows
  // The next marker is 512 octets on, pointing 512 back.
  EXPECT_EQ(std::to_integer<int>(f[514]) << 8 | std::to_integer<int>(f[515]), 512);
  // Starting at position 100: the first marker comes at 512, 412 octets in.
  auto g = fpdu(tx, 100, header, payload(1000, 1));
  EXPECT_EQ(std::to_integer<int>(g[414]) << 8 | std::to_integer<int>(g[415]), 412);
}

TEST(Mpa, DamageIsReportedAndStopsTheReceiver) {
  const MpaSettings settings{.crc = true, .send_markers = true, .receive_markers = true};
  MpaSender tx(settings, 0);
  const std::byte header[14] = {};
  const auto f = fpdu(tx, 0, header, payload(1500, 2));
  struct Case {
    const char* what;
    std::size_t at;
    MpaError expect;
  } cases[] = {
      {"payload", 700, MpaError::Crc}, {"crc", f.size() - 1, MpaError::Crc}, {"marker", 515, MpaError::Marker}};
  for (const auto& c : cases) {
    auto bad = f;
    bad[c.at] ^= std::byte{0x04};
    MpaReceiver rx(settings, 0, 0);
    int delivered = 0;
    EXPECT_EQ(rx.feed(bad, [&](auto) { ++delivered; }), c.expect) << c.what;
    EXPECT_EQ(delivered, 0);
    EXPECT_TRUE(rx.failed());
    EXPECT_EQ(rx.feed(f, [&](auto) { ++delivered; }), c.expect);  // nothing more after an error
  }
  // Without CRC checking the same damage to the payload passes.
  MpaSettings no_crc{.crc = false};
  MpaSender tx2(no_crc, 0);
  auto g = fpdu(tx2, 0, header, payload(100, 3));
  g[50] ^= std::byte{1};
  MpaReceiver rx2(no_crc, 0, 0);
  int delivered = 0;
  EXPECT_EQ(rx2.feed(g, [&](auto) { ++delivered; }), MpaError::None);
  EXPECT_EQ(delivered, 1);
}

}  // namespace
}  // namespace zeksim
