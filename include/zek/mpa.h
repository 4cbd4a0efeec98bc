// The MPA start-up frames (RFC 5044) that the two ends of an iWARP
// connection exchange over TCP before both queue pairs move to RTS: the
// request of the connecting side and the reply of the accepting side. The
// kernel verbs (proxy/rdma/verbs/mpa.h) and the user-mode verbs library
// build and read the same 20-byte header; the private data that follows it
// belongs to the caller.
//
// Header on the wire:
//   bytes 0-15   key, no terminating zero ("MPA ID Req Frame" / "MPA ID Rep Frame")
//   bytes 16-19  big-endian control word: bit 31 M (markers), bit 30 C (CRC),
//                bit 29 R (reject, replies only), bits 28-24 zero, bits 23-16
//                revision, bits 15-0 private-data length
//
// Decisions where the frame's description leaves room:
// - Private data is at most ZEK_MPA_MAX_PRIVATE_DATA (512) bytes, RFC
//   5044's limit: a frame that announces more is refused when built and when
//   read, so a peer cannot make the reader wait for (or copy) up to 64 KB.
// - The revision written and accepted is 0 (ZEK_MPA_REVISION), the one the
//   system's verbs speak on both ends; any other is refused.
// - The reserved bits 28-24 are written as zero and ignored when read, as
//   RFC 5044 asks of reserved bits.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::uint32_t ZEK_MPA_KEY_BYTES = 16;
inline constexpr std::uint32_t ZEK_MPA_HEADER_BYTES = 20;
inline constexpr std::uint32_t ZEK_MPA_MAX_PRIVATE_DATA = 512;
inline constexpr std::uint8_t ZEK_MPA_REVISION = 0;
inline constexpr char ZEK_MPA_REQUEST_KEY[] = "MPA ID Req Frame";
inline constexpr char ZEK_MPA_REPLY_KEY[] = "MPA ID Rep Frame";
static_assert(sizeof(ZEK_MPA_REQUEST_KEY) == ZEK_MPA_KEY_BYTES + 1);
static_assert(sizeof(ZEK_MPA_REPLY_KEY) == ZEK_MPA_KEY_BYTES + 1);

// A frame that is not a start-up frame of the kind expected, or one that
// does not fit its buffer (IWARP_STATUS_IETF_PARSE_BUFFER_INVALID).
inline constexpr std::uint32_t ZEK_MPA_STATUS_BAD_FRAME = 0x50083;
// A null frame or parameter record, or a buffer too short for the header.
inline constexpr std::uint32_t ZEK_MPA_STATUS_BAD_ARGUMENT = 2;

// Control-word bits (host order, before the big-endian store).
inline constexpr std::uint32_t ZEK_MPA_MARKERS = 1u << 31;
inline constexpr std::uint32_t ZEK_MPA_CRC = 1u << 30;
inline constexpr std::uint32_t ZEK_MPA_REJECT = 1u << 29;
inline constexpr unsigned ZEK_MPA_REVISION_SHIFT = 16;
inline constexpr std::uint32_t ZEK_MPA_LENGTH_MASK = 0xFFFF;

// The header as it lies in a frame buffer (the control word stays big-endian).
#pragma pack(push, 1)
struct ZekMpaHeader {
  char Key[ZEK_MPA_KEY_BYTES];
  std::uint8_t Control[4];  // big-endian control word
};
#pragma pack(pop)
static_assert(sizeof(ZekMpaHeader) == ZEK_MPA_HEADER_BYTES);
static_assert(offsetof(ZekMpaHeader, Control) == 16);

// The caller's view of a frame.
struct ZekMpaParameters {
  std::uint16_t PrivateDataLength;
  std::uint16_t Reserved;
  std::uint32_t Markers;  // 0 or 1
  std::uint32_t Crc;      // 0 or 1
  std::uint32_t Reject;   // 0 or 1; replies only
};
static_assert(sizeof(ZekMpaParameters) == 16);
static_assert(offsetof(ZekMpaParameters, PrivateDataLength) == 0);
static_assert(offsetof(ZekMpaParameters, Markers) == 4);
static_assert(offsetof(ZekMpaParameters, Crc) == 8);
static_assert(offsetof(ZekMpaParameters, Reject) == 12);
