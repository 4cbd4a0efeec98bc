#include "sim/iwarp/offload_context.h"

#include <gtest/gtest.h>

namespace zeksim {
namespace {

using namespace zekhw;

MifhOffloadTcpState sample() {
  MifhOffloadTcpState s;
  s.local_address_index = 3;
  s.arp_index = 0x1234;
  s.remote_address = 0xC0000202;
  s.local_port = 41000;
  s.remote_port = 42000;
  s.snd_mss = 1460;
  s.conn_state = 5;
  s.snd_wnd_shift = 7;
  s.rcv_wnd_shift = 6;
  s.ts_recent = 99;
  s.snd_nxt = 0x1000;
  s.snd_una = 0x1000;
  s.snd_max = 0x1000;
  s.snd_wnd = 0x40000;
  s.rcv_nxt = 0x9000;
  s.rcv_wnd = 0x20000;
  s.srtt = 8 * 5;               // 5 ticks
  s.twelve_seconds = 12 * 100;  // 100 ticks a second
  s.ssthresh = 0xFFFF;
  s.snd_cwnd = 14600;
  s.snd_wl1 = 0x8FFF;
  s.snd_wl2 = 0x1000;
  s.rto_seconds = 2;
  s.hash_index = 0x7AB;
  return s;
}

TEST(OffloadContext, WordsRoundTripInTheirPlaces) {
  std::uint32_t conn[30];
  const MifhOffloadTcpState s = sample();
  pack_offload_connection(s, conn);
  EXPECT_EQ(conn[ctx_conn(7)], (42000u << 16) | 41000u);
  EXPECT_EQ(conn[ctx_conn(8)], 0xC0000202u);
  EXPECT_EQ(conn[ctx_conn(12)], 1460u << 16);
  EXPECT_EQ(conn[ctx_conn(13)], 0x1234u << 16);
  EXPECT_EQ(conn[ctx_conn(15)], 6u | 7u << 8);
  EXPECT_EQ(conn[ctx_conn(19)], 0x1000u);  // snd_nxt
  EXPECT_EQ(conn[ctx_conn(21)], 0x9000u);  // rcv_nxt
  EXPECT_EQ(conn[ctx_conn(35)], 0x7ABu);
  const MifhOffloadTcpState back = unpack_offload_connection(conn);
  EXPECT_EQ(back.arp_index, s.arp_index);
  EXPECT_EQ(back.local_address_index, s.local_address_index);
  EXPECT_EQ(back.snd_wl1, s.snd_wl1);
  EXPECT_EQ(back.max_snd_window, s.max_snd_window);
  EXPECT_EQ(back.rto_seconds, s.rto_seconds);
}

TEST(OffloadContext, DecodesIntoTheEnginesTerms) {
  MifhIwarpQpContext ctx{};
  ctx.flags = kIwarpCtxFlagsOffload | kIwarpCtxWindowScaling | kIwarpCtxTimestamps;
  pack_offload_connection(sample(), ctx.conn);
  ctx.word41 = kMpaModeRdma | kMpaModeCrc | kMpaModeReceiveMarkers;
  AdapterAddressTables tables;
  tables.local_mac = {2, 0, 0, 0, 0, 9};
  tables.arp = [](std::uint16_t i) -> std::optional<net::Mac> {
    if (i == 0x1234) return net::Mac{2, 0, 0, 0, 0, 7};
    return std::nullopt;
  };
  tables.local_address = [](std::uint8_t i) -> std::optional<std::uint32_t> {
    if (i == 3) return 0xC0000201;
    return std::nullopt;
  };
  std::string why;
  const auto o = decode_offload_context(ctx, tables, &why);
  ASSERT_TRUE(o) << why;
  EXPECT_EQ(o->endpoints.local_ip, 0xC0000201u);
  EXPECT_EQ(o->endpoints.remote_mac, (net::Mac{2, 0, 0, 0, 0, 7}));
  EXPECT_EQ(o->endpoints.local_port, 41000);
  EXPECT_EQ(o->tcp.snd_scale, 7);
  EXPECT_EQ(o->tcp.rcv_scale, 6);
  EXPECT_TRUE(o->tcp.timestamps);
  EXPECT_EQ(o->tcp.srtt, std::chrono::milliseconds(50));
  EXPECT_EQ(o->tcp.rto, std::chrono::seconds(2));
  EXPECT_TRUE(o->mpa.crc && o->mpa.receive_markers && !o->mpa.send_markers);
  // Without the scaling flag the shifts are not applied.
  ctx.flags &= ~kIwarpCtxWindowScaling;
  EXPECT_EQ(decode_offload_context(ctx, tables, &why)->tcp.snd_scale, 0);
  // Unknown addresses are refused with the reason.
  MifhOffloadTcpState other = sample();
  other.arp_index = 5;
  pack_offload_connection(other, ctx.conn);
  EXPECT_FALSE(decode_offload_context(ctx, tables, &why));
  EXPECT_NE(why.find("ARP cache entry 5"), std::string::npos);
  other = sample();
  other.local_address_index = 4;
  pack_offload_connection(other, ctx.conn);
  EXPECT_FALSE(decode_offload_context(ctx, tables, &why));
  EXPECT_NE(why.find("local address index 4"), std::string::npos);
}

}  // namespace
}  // namespace zeksim
