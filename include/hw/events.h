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
constexpr std::uint64_t ceqe_value(std::uint64_t cq_object_shifted) {
  return (cq_object_shifted & kCeqeObjectMask) | kCeqeValid;
}

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
inline constexpr std::uint32_t kAeqeTcpStateMask = 0xF;  // bits 24-27
inline constexpr unsigned kAeqeAuxShift = 28;
inline constexpr std::uint32_t kAeqeAuxMask = 0x3;  // bits 28-29
inline constexpr std::uint32_t kAeqeValid = 1u << 31;
inline constexpr std::uint64_t kAeqeReasonMask = 0x1FF;  // low bits of a QP event's context

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

// Asynchronous event ids the adapter raises. QP events carry the QP object
// with a reason code in the context's low 9 bits: for the terminate family
// (258-283) the Terminate's error code, with bit 8 set when the peer sent it.
// Remote faults that the adapter detects on inbound traffic carry the
// inbound-RDMA flag; faults of the queue pair's own work requests carry the
// SQ flag when they concern the send queue.
inline constexpr std::uint16_t kAeTerminateReceived = 258;       // the peer sent a Terminate
inline constexpr std::uint16_t kAeInvalidStag = 260;             // inbound: no such STag, or its key differs
inline constexpr std::uint16_t kAeBaseBounds = 261;              // inbound: the access leaves the region or window
inline constexpr std::uint16_t kAeAccessRights = 262;            // inbound: the STag lacks the right
inline constexpr std::uint16_t kAeStagPd = 263;                  // inbound: the STag belongs to another PD
inline constexpr std::uint16_t kAeNoReceiveBuffer = 265;         // inbound Send with no receive posted
inline constexpr std::uint16_t kAeInvalidMsn = 266;              // inbound untagged message out of sequence
inline constexpr std::uint16_t kAeInvalidQn = 268;               // inbound untagged queue number not 0, 1 or 2
inline constexpr std::uint16_t kAeMessageTooLong = 270;          // inbound Send longer than the receive
inline constexpr std::uint16_t kAeBadVersion = 271;              // inbound DDP or RDMAP version not 1
inline constexpr std::uint16_t kAeUnexpectedOpcode = 272;        // inbound opcode unknown or not allowed here
inline constexpr std::uint16_t kAeInvalidMo = 274;               // inbound message offset out of order
inline constexpr std::uint16_t kAeMpaCrc = 275;                  // an FPDU's CRC does not match
inline constexpr std::uint16_t kAeMpaMarker = 276;               // a marker does not point at its FPDU
inline constexpr std::uint16_t kAeMpaLength = 277;               // an FPDU too short for its DDP header
inline constexpr std::uint16_t kAeIrdExceeded = 280;             // more RDMA Read Requests than the IRD
inline constexpr std::uint16_t kAeUnexpectedReadResponse = 281;  // a Read Response with no read outstanding
inline constexpr std::uint16_t kAeCannotInvalidate = 283;        // Send with Invalidate of an STag that cannot be
inline constexpr std::uint16_t kAeQpCatastrophic = 513;          // the queue pair's rings or buffers unreachable
inline constexpr std::uint16_t kAeCqError = 515;                 // CQ overrun (no credit) or CQ memory unreachable
inline constexpr std::uint16_t kAeLocalAccess = 769;             // a local SGE with a bad STag, PD, right or range
inline constexpr std::uint16_t kAeLocalLength = 772;             // SGE lengths that do not make the total length
inline constexpr std::uint16_t kAeBadWqe = 773;                  // a send work request with an unknown op code
inline constexpr std::uint16_t kAeBindError = 775;               // a memory-window bind refused
inline constexpr std::uint16_t kAeFastRegisterError = 776;       // a fast register refused
inline constexpr std::uint16_t kAePeerClosed = 1025;             // the peer closed its side (FIN) while in RTS
inline constexpr std::uint16_t kAeClosed = 1281;                 // a close asked by the host finished (both FINs)
inline constexpr std::uint16_t kAePeerReset = 1288;              // the peer reset the connection
inline constexpr std::uint16_t kAeConnectionTimeout = 1290;      // retransmissions gave up: the peer is gone

// TCP states reported in AEQE bits 24-27 (the host stack's numbering).
enum TcpStateCode : std::uint8_t {
  kTcpClosed = 0,
  kTcpEstablished = 4,
  kTcpCloseWait = 5,
  kTcpFinWait1 = 6,
  kTcpClosing = 7,
  kTcpLastAck = 8,
  kTcpFinWait2 = 9,
  kTcpTimeWait = 10,
};

}  // namespace zekhw
