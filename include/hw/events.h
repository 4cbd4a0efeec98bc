// Event formats the adapter writes: the 8-byte completion event entry (CEQE)
// and the 16-byte asynchronous event entry (AEQE), with the asynchronous
// event ids the adapter raises.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zekhw {

// ---------------------------------------------------------------------------
// CEQE: one u64 = CQ object address >> 1 (as given at +32 of the CQ create),
// bit 63 valid. The host rebuilds the object as (value << 1) and clears bytes
// 4-7 to give the slot back.
inline constexpr std::uint64_t kCeqeValid = 1ull << 63;
inline constexpr std::uint64_t kCeqeObjectMask = ~kCeqeValid;
constexpr std::uint64_t ceqe_value(std::uint64_t cq_object_shifted) { return (cq_object_shifted & kCeqeObjectMask) | kCeqeValid; }

#pragma pack(push, 1)
struct alignas(8) MifhCeqe {
  std::uint64_t value;
};
#pragma pack(pop)
static_assert(alignof(MifhCeqe) == 8);
static_assert(sizeof(MifhCeqe) == 8);
static_assert(offsetof(MifhCeqe, value) == 0);

// ---------------------------------------------------------------------------
// AEQE (16 bytes).
//   bytes 0-7   context: for a QP event the QP object address (host context
//               bytes 168-175) ORed with the reason code in bits 0-8; for a
//               CQ event the CQ object address (CQ create +32, shifted back).
//   word 2      bits 0-17: QP or CQ id.
//   word 3      bits 0-15 event id; 16 QP, 17 CQ, 18 SQ, 19 inbound RDMA;
//               20-22 iWARP state; 24-27 TCP state; 28-29 auxiliary field;
//               31 valid.
#pragma pack(push, 1)
struct alignas(8) MifhAeqe {
  std::uint64_t context;
  std::uint32_t object_word;
  std::uint32_t info;
};
#pragma pack(pop)
static_assert(alignof(MifhAeqe) == 8);
static_assert(sizeof(MifhAeqe) == 16);
static_assert(offsetof(MifhAeqe, context) == 0);
static_assert(offsetof(MifhAeqe, object_word) == 8);
static_assert(offsetof(MifhAeqe, info) == 12);

inline constexpr std::uint32_t kAeqeObjectMask = 0x3FFFF;
inline constexpr std::uint32_t kAeqeEventIdMask = 0xFFFF;
inline constexpr std::uint32_t kAeqeQp = 1u << 16;
inline constexpr std::uint32_t kAeqeCq = 1u << 17;
inline constexpr std::uint32_t kAeqeSq = 1u << 18;
inline constexpr std::uint32_t kAeqeInboundRdma = 1u << 19;
inline constexpr unsigned kAeqeIwarpStateShift = 20;
inline constexpr std::uint32_t kAeqeIwarpStateMask = 0x7;  // bits 20-22
inline constexpr unsigned kAeqeTcpStateShift = 24;
inline constexpr std::uint32_t kAeqeTcpStateMask = 0xF;    // bits 24-27
inline constexpr unsigned kAeqeAuxShift = 28;
inline constexpr std::uint32_t kAeqeAuxMask = 0x3;         // bits 28-29
inline constexpr std::uint32_t kAeqeValid = 1u << 31;
inline constexpr std::uint64_t kAeqeReasonMask = 0x1FF;    // low bits of a QP event's context

struct AeqeFields {
  std::uint16_t event_id = 0;
  bool qp = false, cq = false, sq = false, inbound_rdma = false;
  std::uint8_t iwarp_state = 0;
  std::uint8_t tcp_state = 0;
  std::uint8_t aux = 0;
};

constexpr std::uint32_t aeqe_info(const AeqeFields& f) {
  return f.event_id | (f.qp ? kAeqeQp : 0u) | (f.cq ? kAeqeCq : 0u) | (f.sq ? kAeqeSq : 0u) |
         (f.inbound_rdma ? kAeqeInboundRdma : 0u) |
         (static_cast<std::uint32_t>(f.iwarp_state & kAeqeIwarpStateMask) << kAeqeIwarpStateShift) |
         (static_cast<std::uint32_t>(f.tcp_state & kAeqeTcpStateMask) << kAeqeTcpStateShift) |
         (static_cast<std::uint32_t>(f.aux & kAeqeAuxMask) << kAeqeAuxShift) | kAeqeValid;
}

// Asynchronous event ids the adapter raises.
inline constexpr std::uint16_t kAeCqError = 515;  // CQ overrun (no credit) or CQ memory unreachable

}  // namespace zekhw
