// The MPA start-up frame header: build and read.
#include "proxy/rdma/verbs/mpa.h"

#include <cstring>

#include "include/zek/osprim.h"
#include "include/zek/signatures.h"

namespace {

enum class Kind { Request, Reply };

const char* key_of(Kind kind) { return kind == Kind::Request ? ZEK_MPA_REQUEST_KEY : ZEK_MPA_REPLY_KEY; }

ZekStatus build(const char* who, Kind kind, const ZekMpaParameters* p, void* frame, std::uint32_t frame_bytes) {
  if (ZekIsBadPointer(frame)) {
    OSPrimMemoryLogging("ZEK_tdwk_%s(): pBuffer == NULL\n", who);
    return ZEK_MPA_STATUS_BAD_ARGUMENT;
  }
  if (ZekIsBadPointer(p)) {
    OSPrimMemoryLogging("ZEK_tdwk_%s(): pReqRes == NULL\n", who);
    return ZEK_MPA_STATUS_BAD_ARGUMENT;
  }
  if (p->PrivateDataLength > ZEK_MPA_MAX_PRIVATE_DATA) {
    ZEK_LOG_FAILURE("ZEK_tdwk_%s(): private data (%u bytes) is more than %u\n", who, p->PrivateDataLength,
                    ZEK_MPA_MAX_PRIVATE_DATA);
    return ZEK_MPA_STATUS_BAD_FRAME;
  }
  if (frame_bytes < ZEK_MPA_HEADER_BYTES + p->PrivateDataLength) {
    ZEK_LOG_FAILURE("ZEK_tdwk_%s(): buffer of %u bytes cannot hold the frame\n", who, frame_bytes);
    return ZEK_MPA_STATUS_BAD_ARGUMENT;
  }
  std::uint32_t word = std::uint32_t{ZEK_MPA_REVISION} << ZEK_MPA_REVISION_SHIFT | p->PrivateDataLength;
  if (p->Markers != 0) word |= ZEK_MPA_MARKERS;
  if (p->Crc != 0) word |= ZEK_MPA_CRC;
  if (kind == Kind::Reply && p->Reject != 0) word |= ZEK_MPA_REJECT;
  ZekMpaHeader h;
  std::memcpy(h.Key, key_of(kind), ZEK_MPA_KEY_BYTES);
  for (unsigned i = 0; i < 4; ++i) h.Control[i] = static_cast<std::uint8_t>(word >> (24 - 8 * i));
  std::memcpy(frame, &h, sizeof h);
  return 0;
}

ZekStatus parse(const char* who, Kind kind, ZekMpaParameters* p, const void* frame, std::uint32_t frame_bytes) {
  if (ZekIsBadPointer(frame)) {
    OSPrimMemoryLogging("%s(): pBuffer == NULL\n", who);
    return ZEK_MPA_STATUS_BAD_ARGUMENT;
  }
  if (ZekIsBadPointer(p)) {
    OSPrimMemoryLogging("%s():pReqRes == NULL", who);
    return ZEK_MPA_STATUS_BAD_ARGUMENT;
  }
  if (frame_bytes < ZEK_MPA_HEADER_BYTES) {
    ZEK_LOG_FAILURE("ZEK_tdwk_ietf_parse_packet(): frame of %u bytes is shorter than its header\n", frame_bytes);
    return ZEK_MPA_STATUS_BAD_FRAME;
  }
  ZekMpaHeader h;
  std::memcpy(&h, frame, sizeof h);
  if (std::memcmp(h.Key, key_of(kind), ZEK_MPA_KEY_BYTES) != 0) {
    ZEK_LOG_FAILURE("ZEK_tdwk_ietf_parse_packet(): Bad request/response frame\n");
    return ZEK_MPA_STATUS_BAD_FRAME;
  }
  std::uint32_t word = 0;
  for (unsigned i = 0; i < 4; ++i) word = word << 8 | h.Control[i];
  if (((word >> ZEK_MPA_REVISION_SHIFT) & 0xFF) != ZEK_MPA_REVISION) {
    ZEK_LOG_FAILURE("ZEK_tdwk_ietf_parse_packet(): MPA version invalid.\n");
    return ZEK_MPA_STATUS_BAD_FRAME;
  }
  const std::uint32_t length = word & ZEK_MPA_LENGTH_MASK;
  if (length > ZEK_MPA_MAX_PRIVATE_DATA) {
    ZEK_LOG_FAILURE("ZEK_tdwk_ietf_parse_packet(): private data (%u bytes) is more than %u\n", length,
                    ZEK_MPA_MAX_PRIVATE_DATA);
    return ZEK_MPA_STATUS_BAD_FRAME;
  }
  p->PrivateDataLength = static_cast<std::uint16_t>(length);
  p->Markers = (word & ZEK_MPA_MARKERS) != 0 ? 1 : 0;
  p->Crc = (word & ZEK_MPA_CRC) != 0 ? 1 : 0;
  p->Reject = kind == Kind::Reply && (word & ZEK_MPA_REJECT) != 0 ? 1 : 0;
  return 0;
}

}  // namespace

ZekStatus zek_ietf_create_request(const ZekMpaParameters* parameters, void* frame, std::uint32_t frame_bytes, void*) {
  return build("ietf_create_request", Kind::Request, parameters, frame, frame_bytes);
}

ZekStatus zek_ietf_create_response(const ZekMpaParameters* parameters, void* frame, std::uint32_t frame_bytes, void*) {
  return build("ietf_create_request", Kind::Reply, parameters, frame, frame_bytes);
}

ZekStatus zek_ietf_parse_request(ZekMpaParameters* parameters, const void* frame, std::uint32_t frame_bytes, void*) {
  return parse("ZEK_tdwk_ietf_parse_request", Kind::Request, parameters, frame, frame_bytes);
}

ZekStatus zek_ietf_parse_response(ZekMpaParameters* parameters, const void* frame, std::uint32_t frame_bytes, void*) {
  return parse("ZEK_tdwk_ietf_parse_packet", Kind::Reply, parameters, frame, frame_bytes);
}
