// DDP segment headers (RFC 5041) and RDMAP messages (RFC 5040) as they ride
// in MPA ULPDUs: the tagged header {DDP control, RDMAP control, STag, TO}
// (14 octets) and the untagged header {DDP control, RDMAP control,
// invalidate STag or reserved, QN, MSN, MO} (18 octets); the RDMA Read
// Request body and the Terminate message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace zeksim {

inline constexpr std::size_t kDdpTaggedHeaderBytes = 14;
inline constexpr std::size_t kDdpUntaggedHeaderBytes = 18;
inline constexpr std::size_t kReadRequestBytes = 28;
inline constexpr std::uint8_t kDdpVersion = 1;
inline constexpr std::uint8_t kRdmapVersion = 1;

enum class RdmapOp : std::uint8_t {
  RdmaWrite = 0,
  ReadRequest = 1,
  ReadResponse = 2,
  Send = 3,
  SendInvalidate = 4,
  SendSolicited = 5,
  SendSolicitedInvalidate = 6,
  Terminate = 7,
};

// Untagged queue numbers.
enum DdpQueue : std::uint32_t { kQueueSend = 0, kQueueReadRequest = 1, kQueueTerminate = 2 };

struct DdpHeader {
  bool tagged = false;
  bool last = true;
  std::uint8_t ddp_version = kDdpVersion;
  std::uint8_t rdmap_version = kRdmapVersion;
  RdmapOp op = RdmapOp::Send;
  // Tagged.
  std::uint32_t stag = 0;
  std::uint64_t to = 0;
  // Untagged.
  std::uint32_t invalidate_stag = 0;  // Send with Invalidate; else 0
  std::uint32_t qn = 0, msn = 0, mo = 0;

  std::size_t bytes() const { return tagged ? kDdpTaggedHeaderBytes : kDdpUntaggedHeaderBytes; }
};

// Writes the header; returns its length. `out` holds at least bytes().
std::size_t encode_ddp(const DdpHeader& h, std::byte* out);

enum class DdpDecode {
  Ok,
  Short,  // shorter than the header its T bit announces
  BadDdpVersion,
  BadRdmapVersion,
  BadOpcode,  // 8-15
};

// Decodes a ULPDU's header; `payload` is the rest.
DdpDecode decode_ddp(std::span<const std::byte> ulpdu, DdpHeader* h, std::span<const std::byte>* payload);

struct ReadRequest {
  std::uint32_t sink_stag = 0;
  std::uint64_t sink_to = 0;
  std::uint32_t size = 0;
  std::uint32_t source_stag = 0;
  std::uint64_t source_to = 0;
};
void encode_read_request(const ReadRequest& r, std::byte* out);  // kReadRequestBytes
std::optional<ReadRequest> decode_read_request(std::span<const std::byte> body);

// Terminate (RFC 5040 section 4.8): layer, error type and code, then the
// header of the offending segment when one is known.
enum class TermLayer : std::uint8_t { Rdmap = 0, Ddp = 1, Llp = 2 };
struct TerminateInfo {
  TermLayer layer = TermLayer::Rdmap;
  std::uint8_t etype = 0;
  std::uint8_t code = 0;
  std::optional<std::uint16_t> ddp_length;  // M: the ULPDU length of the offending segment
  std::span<const std::byte> ddp_header;    // D: its DDP header (14 or 18 octets), or empty
  std::span<const std::byte> rdmap_header;  // R: its RDMA Read Request body (28 octets), or empty
};
// Terminate body length for these parts.
std::size_t terminate_body_bytes(const TerminateInfo& t);
std::size_t encode_terminate(const TerminateInfo& t, std::byte* out);
struct DecodedTerminate {
  TermLayer layer;
  std::uint8_t etype, code;
  bool m, d, r;
};
std::optional<DecodedTerminate> decode_terminate(std::span<const std::byte> body);

// Error types and codes (RFC 5040 section 7, RFC 5041 section 7, RFC 5044 section 8).
namespace term {
// RDMAP layer.
inline constexpr std::uint8_t kRdmapLocalCatastrophic = 0;
inline constexpr std::uint8_t kRdmapRemoteProtection = 1;
inline constexpr std::uint8_t kRdmapRemoteOperation = 2;
inline constexpr std::uint8_t kInvalidStag = 0x00;
inline constexpr std::uint8_t kBaseBounds = 0x01;
inline constexpr std::uint8_t kAccessRights = 0x02;
inline constexpr std::uint8_t kStagNotInStream = 0x03;
inline constexpr std::uint8_t kToWrap = 0x04;
inline constexpr std::uint8_t kInvalidRdmapVersion = 0x05;
inline constexpr std::uint8_t kUnexpectedOpcode = 0x06;
inline constexpr std::uint8_t kCatastrophicStream = 0x07;
inline constexpr std::uint8_t kCatastrophicGlobal = 0x08;
inline constexpr std::uint8_t kCannotInvalidate = 0x09;
inline constexpr std::uint8_t kUnspecified = 0xFF;
// DDP layer.
inline constexpr std::uint8_t kDdpLocalCatastrophic = 0;
inline constexpr std::uint8_t kDdpTaggedBuffer = 1;
inline constexpr std::uint8_t kDdpUntaggedBuffer = 2;
inline constexpr std::uint8_t kDdpTagInvalidStag = 0x00;
inline constexpr std::uint8_t kDdpTagBaseBounds = 0x01;
inline constexpr std::uint8_t kDdpTagStagNotInStream = 0x02;
inline constexpr std::uint8_t kDdpTagToWrap = 0x03;
inline constexpr std::uint8_t kDdpTagBadVersion = 0x04;
inline constexpr std::uint8_t kDdpUntagInvalidQn = 0x01;
inline constexpr std::uint8_t kDdpUntagNoBuffer = 0x02;
inline constexpr std::uint8_t kDdpUntagMsnRange = 0x03;
inline constexpr std::uint8_t kDdpUntagInvalidMo = 0x04;
inline constexpr std::uint8_t kDdpUntagTooLong = 0x05;
inline constexpr std::uint8_t kDdpUntagBadVersion = 0x06;
// LLP (MPA) layer, error type 0.
inline constexpr std::uint8_t kMpaClosed = 0x01;
inline constexpr std::uint8_t kMpaCrc = 0x02;
inline constexpr std::uint8_t kMpaMarker = 0x03;
inline constexpr std::uint8_t kMpaBadFrame = 0x04;
}  // namespace term

}  // namespace zeksim
