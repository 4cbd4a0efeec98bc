#include "sim/iwarp/rdmap.h"

#include <cstring>

namespace zeksim {

namespace {

void put16(std::byte* p, std::uint32_t v) {
  p[0] = std::byte(v >> 8);
  p[1] = std::byte(v);
}
void put32(std::byte* p, std::uint32_t v) {
  p[0] = std::byte(v >> 24);
  p[1] = std::byte(v >> 16);
  p[2] = std::byte(v >> 8);
  p[3] = std::byte(v);
}
void put64(std::byte* p, std::uint64_t v) {
  put32(p, static_cast<std::uint32_t>(v >> 32));
  put32(p + 4, static_cast<std::uint32_t>(v));
}
std::uint32_t get32(const std::byte* p) {
  return std::to_integer<std::uint32_t>(p[0]) << 24 | std::to_integer<std::uint32_t>(p[1]) << 16 |
         std::to_integer<std::uint32_t>(p[2]) << 8 | std::to_integer<std::uint32_t>(p[3]);
}
std::uint64_t get64(const std::byte* p) { return std::uint64_t{get32(p)} << 32 | get32(p + 4); }

}  // namespace

std::size_t encode_ddp(const DdpHeader& h, std::byte* out) {
  // DDP control: T (bit 7), L (bit 6), reserved, DV (bits 0-1).
  out[0] = std::byte(static_cast<std::uint8_t>((h.tagged ? 0x80 : 0) | (h.last ? 0x40 : 0) | (h.ddp_version & 3)));
  // RDMAP control: RV (bits 6-7), reserved, opcode (bits 0-3).
  out[1] = std::byte(static_cast<std::uint8_t>((h.rdmap_version & 3) << 6 | (static_cast<std::uint8_t>(h.op) & 0xF)));
  if (h.tagged) {
    put32(out + 2, h.stag);
    put64(out + 6, h.to);
    return kDdpTaggedHeaderBytes;
  }
  put32(out + 2, h.invalidate_stag);
  put32(out + 6, h.qn);
  put32(out + 10, h.msn);
  put32(out + 14, h.mo);
  return kDdpUntaggedHeaderBytes;
}

DdpDecode decode_ddp(std::span<const std::byte> ulpdu, DdpHeader* h, std::span<const std::byte>* payload) {
  if (ulpdu.size() < 2) return DdpDecode::Short;
  const auto c0 = std::to_integer<std::uint8_t>(ulpdu[0]);
  const auto c1 = std::to_integer<std::uint8_t>(ulpdu[1]);
  h->tagged = (c0 & 0x80) != 0;
  h->last = (c0 & 0x40) != 0;
  h->ddp_version = c0 & 3;
  h->rdmap_version = c1 >> 6;
  const std::uint8_t op = c1 & 0xF;
  const std::size_t need = h->tagged ? kDdpTaggedHeaderBytes : kDdpUntaggedHeaderBytes;
  if (ulpdu.size() < need) return DdpDecode::Short;
  if (h->tagged) {
    h->stag = get32(ulpdu.data() + 2);
    h->to = get64(ulpdu.data() + 6);
  } else {
    h->invalidate_stag = get32(ulpdu.data() + 2);
    h->qn = get32(ulpdu.data() + 6);
    h->msn = get32(ulpdu.data() + 10);
    h->mo = get32(ulpdu.data() + 14);
  }
  *payload = ulpdu.subspan(need);
  if (h->ddp_version != kDdpVersion) return DdpDecode::BadDdpVersion;
  if (h->rdmap_version != kRdmapVersion) return DdpDecode::BadRdmapVersion;
  if (op > static_cast<std::uint8_t>(RdmapOp::Terminate)) return DdpDecode::BadOpcode;
  h->op = static_cast<RdmapOp>(op);
  return DdpDecode::Ok;
}

void encode_read_request(const ReadRequest& r, std::byte* out) {
  put32(out, r.sink_stag);
  put64(out + 4, r.sink_to);
  put32(out + 12, r.size);
  put32(out + 16, r.source_stag);
  put64(out + 20, r.source_to);
}

std::optional<ReadRequest> decode_read_request(std::span<const std::byte> body) {
  if (body.size() != kReadRequestBytes) return std::nullopt;
  ReadRequest r;
  r.sink_stag = get32(body.data());
  r.sink_to = get64(body.data() + 4);
  r.size = get32(body.data() + 12);
  r.source_stag = get32(body.data() + 16);
  r.source_to = get64(body.data() + 20);
  return r;
}

// Terminate body: control word {layer:4, etype:4, code:8, M, D, R, reserved:13},
// then the DDP segment length (2 octets) and 2 octets of padding when M is
// set, the DDP header when D is, the Read Request body when R is.
std::size_t terminate_body_bytes(const TerminateInfo& t) {
  return 4 + (t.ddp_length ? 4 : 0) + t.ddp_header.size() + t.rdmap_header.size();
}

std::size_t encode_terminate(const TerminateInfo& t, std::byte* out) {
  const std::uint32_t control = (static_cast<std::uint32_t>(t.layer) & 0xF) << 28 | (t.etype & 0xFu) << 24 |
                                std::uint32_t{t.code} << 16 | (t.ddp_length ? 1u << 15 : 0u) |
                                (!t.ddp_header.empty() ? 1u << 14 : 0u) | (!t.rdmap_header.empty() ? 1u << 13 : 0u);
  put32(out, control);
  std::size_t n = 4;
  if (t.ddp_length) {
    put16(out + n, *t.ddp_length);
    put16(out + n + 2, 0);
    n += 4;
  }
  if (!t.ddp_header.empty()) std::memcpy(out + n, t.ddp_header.data(), t.ddp_header.size());
  n += t.ddp_header.size();
  if (!t.rdmap_header.empty()) std::memcpy(out + n, t.rdmap_header.data(), t.rdmap_header.size());
  return n + t.rdmap_header.size();
}

std::optional<DecodedTerminate> decode_terminate(std::span<const std::byte> body) {
  if (body.size() < 4) return std::nullopt;
  const std::uint32_t c = get32(body.data());
  DecodedTerminate t;
  t.layer = static_cast<TermLayer>(c >> 28);
  t.etype = static_cast<std::uint8_t>((c >> 24) & 0xF);
  t.code = static_cast<std::uint8_t>(c >> 16);
  t.m = (c & (1u << 15)) != 0;
  t.d = (c & (1u << 14)) != 0;
  t.r = (c & (1u << 13)) != 0;
  return t;
}

}  // namespace zeksim
