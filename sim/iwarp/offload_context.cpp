#include "sim/iwarp/offload_context.h"

namespace zeksim {

std::optional<IwarpOffload> decode_offload_context(const zekhw::MifhIwarpQpContext& ctx,
                                                   const AdapterAddressTables& tables, std::string* why) {
  const zekhw::MifhOffloadTcpState s = zekhw::unpack_offload_connection(ctx.conn);
  IwarpOffload o;
  const auto local = tables.local_address ? tables.local_address(s.local_address_index) : std::nullopt;
  if (!local) {
    *why = "local address index " + std::to_string(s.local_address_index) + " has no address";
    return std::nullopt;
  }
  const auto next_hop = tables.arp ? tables.arp(s.arp_index) : std::nullopt;
  if (!next_hop) {
    *why = "ARP cache entry " + std::to_string(s.arp_index) + " is empty";
    return std::nullopt;
  }
  o.endpoints.local_mac = tables.local_mac;
  o.endpoints.remote_mac = *next_hop;
  o.endpoints.local_ip = *local;
  o.endpoints.remote_ip = s.remote_address;
  o.endpoints.local_port = s.local_port;
  o.endpoints.remote_port = s.remote_port;

  TcpState& t = o.tcp;
  t.snd_una = s.snd_una;
  t.snd_nxt = s.snd_nxt;
  t.snd_max = s.snd_max;
  t.snd_wnd = s.snd_wnd;
  t.snd_wl1 = s.snd_wl1;
  t.snd_wl2 = s.snd_wl2;
  t.rcv_nxt = s.rcv_nxt;
  t.rcv_wnd = s.rcv_wnd;
  t.mss = s.snd_mss != 0 ? s.snd_mss : 536;
  if ((ctx.flags & zekhw::kIwarpCtxWindowScaling) != 0) {
    t.snd_scale = s.snd_wnd_shift;
    t.rcv_scale = s.rcv_wnd_shift;
  }
  t.timestamps = (ctx.flags & zekhw::kIwarpCtxTimestamps) != 0;
  t.ts_recent = s.ts_recent;
  t.cwnd = s.snd_cwnd;
  t.ssthresh = s.ssthresh;
  const std::uint64_t ticks_per_second = s.twelve_seconds >= 12 ? s.twelve_seconds / 12 : 100;
  t.srtt = Nanos(std::uint64_t{s.srtt} * 1'000'000'000 / 8 / ticks_per_second);
  t.rto = std::chrono::seconds(s.rto_seconds);

  o.mpa.crc = (ctx.word41 & zekhw::kMpaModeCrc) != 0;
  o.mpa.send_markers = (ctx.word41 & zekhw::kMpaModeSendMarkers) != 0;
  o.mpa.receive_markers = (ctx.word41 & zekhw::kMpaModeReceiveMarkers) != 0;
  return o;
}

}  // namespace zeksim
