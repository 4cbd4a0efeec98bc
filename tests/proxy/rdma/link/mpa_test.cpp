// The MPA start-up frames: a table of built and read headers (valid frames,
// short buffers, bad keys, revisions, private-data limits, the M/C/R bits),
// then a request and a reply with private data sent between two endpoints
// of the host stack and read back by a protocol analyser.
#include "proxy/rdma/verbs/mpa.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/pcap.h"
#include "tests/proxy/tcpip/netinet/tcp_fixture.h"
#include "tests/support/run_command.h"

namespace {

using Frame = std::vector<std::uint8_t>;

Frame header(const char* key, std::uint32_t control) {
  Frame f(ZEK_MPA_HEADER_BYTES);
  std::memcpy(f.data(), key, ZEK_MPA_KEY_BYTES);
  for (int i = 0; i < 4; ++i) f[16 + i] = static_cast<std::uint8_t>(control >> (24 - 8 * i));
  return f;
}

// ---- Building ----------------------------------------------------------------------------------
struct BuildCase {
  const char* name;
  bool reply;
  ZekMpaParameters in;
  std::uint32_t buffer;
  ZekStatus status;
  std::uint32_t control;  // the big-endian word expected at bytes 16-19
};

class MpaBuild : public ::testing::TestWithParam<BuildCase> {};

TEST_P(MpaBuild, WritesTheHeaderOrNothing) {
  const BuildCase& c = GetParam();
  Frame buffer(600, 0xEE);
  const ZekStatus s = c.reply ? zek_ietf_create_response(&c.in, buffer.data(), c.buffer, nullptr)
                              : zek_ietf_create_request(&c.in, buffer.data(), c.buffer, nullptr);
  ASSERT_EQ(s, c.status);
  if (s != 0) {
    EXPECT_EQ(buffer, Frame(600, 0xEE)) << "a refused build writes nothing";
    return;
  }
  const Frame expected = header(c.reply ? "MPA ID Rep Frame" : "MPA ID Req Frame", c.control);
  EXPECT_EQ(Frame(buffer.begin(), buffer.begin() + 20), expected);
  EXPECT_EQ(buffer[20], 0xEE) << "nothing past the header";
}

INSTANTIATE_TEST_SUITE_P(
    Frames, MpaBuild,
    ::testing::Values(BuildCase{"PlainRequest", false, {0, 0, 0, 0, 0}, 20, 0, 0},
                      BuildCase{"MarkersAndCrc", false, {16, 0, 1, 1, 0}, 64, 0, 0xC0000010},
                      // A request never carries R, whatever the record says.
                      BuildCase{"RequestIgnoresReject", false, {0, 0, 0, 1, 1}, 20, 0, 0x40000000},
                      BuildCase{"ReplyRejects", true, {3, 0, 1, 0, 1}, 23, 0, 0xA0000003},
                      // The length lands big-endian: 0x1234 would be 0x12, 0x34, but it is
                      // above the limit; 0x0123 shows the order within the limit.
                      BuildCase{"LengthBigEndian", false, {0x0123, 0, 0, 0, 0}, 600, 0, 0x00000123},
                      BuildCase{"LargestPrivateData", true, {512, 0, 0, 1, 0}, 532, 0, 0x40000200},
                      BuildCase{"PrivateDataAboveLimit", false, {513, 0, 0, 0, 0}, 600, ZEK_MPA_STATUS_BAD_FRAME, 0},
                      BuildCase{"BufferShorterThanHeader", false, {0, 0, 0, 0, 0}, 19, ZEK_MPA_STATUS_BAD_ARGUMENT, 0},
                      BuildCase{
                          "BufferShorterThanPrivateData", true, {40, 0, 0, 0, 0}, 59, ZEK_MPA_STATUS_BAD_ARGUMENT, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MpaArguments, NullRecordsAreRefusedBothWays) {
  ZekMpaParameters p{};
  Frame f = header("MPA ID Req Frame", 0);
  const auto bad = reinterpret_cast<void*>(ZEK_UNINITIALISED_POINTER);
  EXPECT_EQ(zek_ietf_create_request(nullptr, f.data(), 20, nullptr), ZEK_MPA_STATUS_BAD_ARGUMENT);
  EXPECT_EQ(zek_ietf_create_response(&p, nullptr, 20, nullptr), ZEK_MPA_STATUS_BAD_ARGUMENT);
  EXPECT_EQ(zek_ietf_create_request(&p, bad, 20, nullptr), ZEK_MPA_STATUS_BAD_ARGUMENT);
  EXPECT_EQ(zek_ietf_parse_request(nullptr, f.data(), 20, nullptr), ZEK_MPA_STATUS_BAD_ARGUMENT);
  EXPECT_EQ(zek_ietf_parse_response(&p, nullptr, 20, nullptr), ZEK_MPA_STATUS_BAD_ARGUMENT);
}

// ---- Reading -----------------------------------------------------------------------------------
struct ParseCase {
  const char* name;
  bool reply;
  Frame frame;
  std::uint32_t bytes;  // 0: the frame's size
  ZekStatus status;
  ZekMpaParameters out;
};

class MpaParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(MpaParse, ReadsTheHeaderOrLeavesTheRecord) {
  const ParseCase& c = GetParam();
  const ZekMpaParameters untouched{0x7777, 0x7777, 7, 7, 7};
  ZekMpaParameters p = untouched;
  const std::uint32_t bytes = c.bytes != 0 ? c.bytes : static_cast<std::uint32_t>(c.frame.size());
  const ZekStatus s = c.reply ? zek_ietf_parse_response(&p, c.frame.data(), bytes, nullptr)
                              : zek_ietf_parse_request(&p, c.frame.data(), bytes, nullptr);
  ASSERT_EQ(s, c.status);
  const ZekMpaParameters& want = s == 0 ? c.out : untouched;
  EXPECT_EQ(p.PrivateDataLength, want.PrivateDataLength);
  EXPECT_EQ(p.Markers, want.Markers);
  EXPECT_EQ(p.Crc, want.Crc);
  EXPECT_EQ(p.Reject, want.Reject);
}

Frame with_byte(Frame f, std::size_t at, std::uint8_t value) {
  f[at] = value;
  return f;
}

INSTANTIATE_TEST_SUITE_P(
    Frames, MpaParse,
    ::testing::Values(
        ParseCase{"Request", false, header("MPA ID Req Frame", 0xC0000040), 0, 0, {64, 0x7777, 1, 1, 0}},
        // R is a reply's bit: a request that sets it is read without it.
        ParseCase{"RequestWithR", false, header("MPA ID Req Frame", 0x20000000), 0, 0, {0, 0x7777, 0, 0, 0}},
        ParseCase{"RejectingReply", true, header("MPA ID Rep Frame", 0xA0000200), 0, 0, {512, 0x7777, 1, 0, 1}},
        // Reserved bits 28-24 are ignored.
        ParseCase{"ReservedBitsIgnored", true, header("MPA ID Rep Frame", 0x1F000001), 0, 0, {1, 0x7777, 0, 0, 0}},
        ParseCase{"ReplyReadAsRequest", false, header("MPA ID Rep Frame", 0), 0, ZEK_MPA_STATUS_BAD_FRAME, {}},
        ParseCase{"RequestReadAsReply", true, header("MPA ID Req Frame", 0), 0, ZEK_MPA_STATUS_BAD_FRAME, {}},
        ParseCase{"KeyLastByteWrong",
                  false,
                  with_byte(header("MPA ID Req Frame", 0), 15, 'E'),
                  0,
                  ZEK_MPA_STATUS_BAD_FRAME,
                  {}},
        ParseCase{"RevisionOne", false, header("MPA ID Req Frame", 0x00010000), 0, ZEK_MPA_STATUS_BAD_FRAME, {}},
        ParseCase{
            "PrivateDataAboveLimit", true, header("MPA ID Rep Frame", 0x00000201), 0, ZEK_MPA_STATUS_BAD_FRAME, {}},
        ParseCase{"LargestLengthField", false, header("MPA ID Req Frame", 0x0000FFFF), 0, ZEK_MPA_STATUS_BAD_FRAME, {}},
        ParseCase{"ShortFrame", false, header("MPA ID Req Frame", 0), 19, ZEK_MPA_STATUS_BAD_FRAME, {}},
        // Reading needs the header only: the caller reads the private data after it.
        ParseCase{"HeaderBeforeItsData", true, header("MPA ID Rep Frame", 0x00000100), 20, 0, {256, 0x7777, 0, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MpaRoundTrip, WhatIsBuiltReadsBack) {
  for (std::uint16_t length : {0, 1, 0x123, 512}) {
    for (std::uint32_t bits = 0; bits < 8; ++bits) {
      const ZekMpaParameters in{length, 0, bits & 1, (bits >> 1) & 1, (bits >> 2) & 1};
      Frame f(20 + length);
      ASSERT_EQ(zek_ietf_create_response(&in, f.data(), static_cast<std::uint32_t>(f.size()), nullptr), 0u);
      ZekMpaParameters out{};
      ASSERT_EQ(zek_ietf_parse_response(&out, f.data(), 20, nullptr), 0u);
      EXPECT_EQ(out.PrivateDataLength, length);
      EXPECT_EQ(out.Markers, in.Markers);
      EXPECT_EQ(out.Crc, in.Crc);
      EXPECT_EQ(out.Reject, in.Reject);
    }
  }
}

// ---- On the wire -------------------------------------------------------------------------------
class MpaOnTheWire : public TcpPairTest {};

// The connecting side sends a request with markers and 30 bytes of private
// data, the accepting side reads and answers with a CRC-only reply of 7;
// the capture of the wire (each IP packet behind an Ethernet header) goes to
// the analyser, which must see one request and one reply with those fields
// and nothing malformed.
TEST_F(MpaOnTheWire, AnalyserReadsRequestAndReply) {
  if (zektest::run_command("command -v tshark").code != 0) GTEST_SKIP() << "tshark is not installed";
  const std::string path = ::testing::TempDir() + "mpa_startup.pcap";
  zeksim::PcapWriter cap;
  ASSERT_TRUE(cap.open(path));
  tap_ = [&](const WirePacket& p) {
    std::vector<std::byte> frame(14 + p.bytes.size());
    const std::uint8_t eth[14] = {
        2, 0, 0, 0, 0, std::uint8_t(p.to == 1 ? 2 : 1), 2, 0, 0, 0, 0, std::uint8_t(p.to == 1 ? 1 : 2), 0x08, 0x00};
    std::memcpy(frame.data(), eth, 14);
    std::memcpy(frame.data() + 14, p.bytes.data(), p.bytes.size());
    cap.write(frame);
  };
  zektcp::socket* l = listener(kHostB, 5000);
  zektcp::socket* a = make_socket();
  ASSERT_EQ(connect(a, kHostB, 5000), 0);
  zektcp::socket* b = accept_within(l);
  ASSERT_NE(b, nullptr);

  const ZekMpaParameters req{30, 0, 1, 0, 0};
  Frame request(20 + 30);
  ASSERT_EQ(zek_ietf_create_request(&req, request.data(), static_cast<std::uint32_t>(request.size()), nullptr), 0u);
  for (int i = 0; i < 30; ++i) request[20 + i] = static_cast<std::uint8_t>('a' + i % 26);
  ASSERT_EQ(send_some(a, request.data(), request.size()), request.size());
  Frame got;
  ASSERT_TRUE(run_until([&] {
    const Bytes r = receive_some(b);
    got.insert(got.end(), r.begin(), r.end());
    return got.size() >= 20;
  }));
  ZekMpaParameters seen{};
  ASSERT_EQ(zek_ietf_parse_request(&seen, got.data(), static_cast<std::uint32_t>(got.size()), nullptr), 0u);
  EXPECT_EQ(seen.PrivateDataLength, 30);
  EXPECT_EQ(seen.Markers, 1u);

  const ZekMpaParameters rep{7, 0, 0, 1, 0};
  Frame reply(20 + 7, 'z');
  ASSERT_EQ(zek_ietf_create_response(&rep, reply.data(), static_cast<std::uint32_t>(reply.size()), nullptr), 0u);
  ASSERT_EQ(send_some(b, reply.data(), reply.size()), reply.size());
  got.clear();
  ASSERT_TRUE(run_until([&] {
    const Bytes r = receive_some(a);
    got.insert(got.end(), r.begin(), r.end());
    return got.size() >= reply.size();
  }));
  ASSERT_EQ(zek_ietf_parse_response(&seen, got.data(), static_cast<std::uint32_t>(got.size()), nullptr), 0u);
  EXPECT_EQ(seen.Crc, 1u);
  EXPECT_EQ(seen.PrivateDataLength, 7);
  tap_ = nullptr;

  const std::string tshark = "tshark -n -r " + path + " -o tcp.check_checksum:TRUE -o ip.check_checksum:TRUE";
  const std::string bad =
      "_ws.malformed || _ws.expert.severity == error || tcp.checksum.status == 0 || "
      "ip.checksum.status == 0";
  EXPECT_EQ(zektest::run_command(tshark + " -Y '" + bad + "' -T fields -e frame.number 2>/dev/null").output, "")
      << zektest::run_command(tshark + " -V -Y '" + bad + "' 2>&1 | head -40").output;
  // One line per start-up frame: request, reply, length, M, C, R, revision.
  const std::string seen_frames =
      zektest::run_command(tshark + " -Y 'iwarp_mpa.req || iwarp_mpa.rep' -T fields -E separator=, -e iwarp_mpa.req" +
                           " -e iwarp_mpa.rep -e iwarp_mpa.pdlength -e iwarp_mpa.marker_flag -e iwarp_mpa.crc_flag" +
                           " -e iwarp_mpa.rej_flag -e iwarp_mpa.rev 2>/dev/null")
          .output;
  EXPECT_EQ(seen_frames, "1,,30,1,0,0,0\n,1,7,0,1,0,0\n");
}

}  // namespace
