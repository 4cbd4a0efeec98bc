#include "sim/iwarp/rdmap.h"

#include <gtest/gtest.h>

#include <vector>

namespace zeksim {
namespace {

TEST(Rdmap, HeadersRoundTrip) {
  const DdpHeader cases[] = {
      {.tagged = true, .last = true, .op = RdmapOp::RdmaWrite, .stag = 0x12345678, .to = 0x1122334455667788},
      {.tagged = true, .last = false, .op = RdmapOp::ReadResponse, .stag = 0xAB00, .to = 4096},
      {.tagged = false,
       .last = true,
       .op = RdmapOp::SendInvalidate,
       .invalidate_stag = 0x4201,
       .qn = 0,
       .msn = 7,
       .mo = 0},
      {.tagged = false, .last = false, .op = RdmapOp::Send, .qn = 0, .msn = 0xFFFFFFFF, .mo = 1452},
      {.tagged = false, .last = true, .op = RdmapOp::Terminate, .qn = 2, .msn = 1},
  };
  for (const DdpHeader& h : cases) {
    std::vector<std::byte> b(h.bytes() + 3, std::byte{0xEE});
    ASSERT_EQ(encode_ddp(h, b.data()), h.bytes());
    DdpHeader d;
    std::span<const std::byte> rest;
    ASSERT_EQ(decode_ddp(b, &d, &rest), DdpDecode::Ok);
    EXPECT_EQ(rest.size(), 3u);
    EXPECT_EQ(d.tagged, h.tagged);
    EXPECT_EQ(d.last, h.last);
    EXPECT_EQ(d.op, h.op);
    EXPECT_EQ(d.stag, h.stag);
    EXPECT_EQ(d.to, h.to);
    EXPECT_EQ(d.invalidate_stag, h.invalidate_stag);
    EXPECT_EQ(d.qn, h.qn);
    EXPECT_EQ(d.msn, h.msn);
    EXPECT_EQ(d.mo, h.mo);
  }
  // The control octets as RFC 5041/5040 lay them out: T L 0 0 0 0 0 1, RV=01 and the opcode.
  std::byte b[18];
  encode_ddp({.tagged = true, .last = true, .op = RdmapOp::RdmaWrite}, b);
  EXPECT_EQ(std::to_integer<int>(b[0]), 0xC1);
  EXPECT_EQ(std::to_integer<int>(b[1]), 0x40);
  encode_ddp({.tagged = false, .last = true, .op = RdmapOp::SendSolicited}, b);
  EXPECT_EQ(std::to_integer<int>(b[0]), 0x41);
  EXPECT_EQ(std::to_integer<int>(b[1]), 0x45);
}

TEST(Rdmap, BadHeadersAreNamed) {
  std::byte b[18] = {};
  DdpHeader d;
  std::span<const std::byte> rest;
  encode_ddp({.tagged = false, .op = RdmapOp::Send}, b);
  EXPECT_EQ(decode_ddp(std::span(b).first(17), &d, &rest), DdpDecode::Short);
  b[0] = std::byte{0x42};  // DV 2
  EXPECT_EQ(decode_ddp(b, &d, &rest), DdpDecode::BadDdpVersion);
  encode_ddp({.tagged = false, .op = RdmapOp::Send}, b);
  b[1] = std::byte{0x83};  // RV 2
  EXPECT_EQ(decode_ddp(b, &d, &rest), DdpDecode::BadRdmapVersion);
  b[1] = std::byte{0x49};  // opcode 9
  EXPECT_EQ(decode_ddp(b, &d, &rest), DdpDecode::BadOpcode);
  b[0] = std::byte{0xC1};  // tagged: 14 octets needed
  EXPECT_EQ(decode_ddp(std::span(b).first(13), &d, &rest), DdpDecode::Short);
}

TEST(Rdmap, ReadRequestAndTerminateBodies) {
  const ReadRequest r{0x100, 0xAAAABBBBCCCCDDDD, 1 << 20, 0x205, 0x7000};
  std::byte b[kReadRequestBytes];
  encode_read_request(r, b);
  const auto d = decode_read_request(b);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->sink_stag, r.sink_stag);
  EXPECT_EQ(d->sink_to, r.sink_to);
  EXPECT_EQ(d->size, r.size);
  EXPECT_EQ(d->source_stag, r.source_stag);
  EXPECT_EQ(d->source_to, r.source_to);
  EXPECT_FALSE(decode_read_request(std::span(b).first(27)));

  std::byte hdr[kDdpTaggedHeaderBytes] = {std::byte{0xC1}};
  const TerminateInfo t{.layer = TermLayer::Ddp,
                        .etype = term::kDdpTaggedBuffer,
                        .code = term::kDdpTagBaseBounds,
                        .ddp_length = 1200,
                        .ddp_header = hdr};
  std::vector<std::byte> out(terminate_body_bytes(t));
  ASSERT_EQ(encode_terminate(t, out.data()), out.size());
  EXPECT_EQ(out.size(), 4u + 4 + 14);
  const auto dt = decode_terminate(out);
  ASSERT_TRUE(dt);
  EXPECT_EQ(dt->layer, TermLayer::Ddp);
  EXPECT_EQ(dt->etype, term::kDdpTaggedBuffer);
  EXPECT_EQ(dt->code, term::kDdpTagBaseBounds);
  EXPECT_TRUE(dt->m && dt->d && !dt->r);
}

}  // namespace
}  // namespace zeksim
