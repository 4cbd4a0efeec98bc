// NIC data-path formats: the 64-byte NIC send and receive work requests, the
// 16-byte NIC completion entry, the 24-byte NIC queue-pair host context and
// the NIC ids. Little-endian throughout; records are packed and 8-byte
// aligned, as their rings are.
//
// Decisions the drivers and the adapter share (docs/hardware.md, "NIC engine"):
// - A NIC queue pair completes into the NIC completion queue of the same id
//   (the miniport's 16 + 2F, the proxy driver's F + 24). Sends and receives
//   complete into it, each work queue in posting order.
// - Word 0 of a NIC completion carries the ring index of the work request it
//   completes; the frame length is in word 3.
// - MAC slot s feeds one NIC queue pair: slots 4-7 (s = F + 4) the proxy
//   driver's NIC QP F + 24, every other slot the miniport's NIC QP 16 + 2F,
//   with F = s mod 4.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zekhw {

// ---------------------------------------------------------------------------
// Ids
inline constexpr std::uint32_t kNicQpFirst = 16;  // NIC queue pairs 16..39
inline constexpr std::uint32_t kNicQpLast = 39;
inline constexpr std::uint32_t kMcrqQpId = 1;  // the multicast receive queue's NIC QP
inline constexpr std::uint32_t kIwarpQpFirst = 40;
inline constexpr std::uint32_t kIwarpQpLast = 262143;
inline constexpr unsigned kMacSlots = 20;
constexpr std::uint32_t miniport_nic_qp_id(unsigned function) { return 16 + 2 * function; }
constexpr std::uint32_t proxy_nic_qp_id(unsigned function) { return 24 + function; }
constexpr unsigned proxy_mac_slot(unsigned function) { return function + 4; }
// The NIC queue pair that MAC slot s feeds.
constexpr std::uint32_t nic_qp_of_slot(unsigned slot) {
  return slot / 4 == 1 ? proxy_nic_qp_id(slot % 4) : miniport_nic_qp_id(slot % 4);
}
// The NIC completion queue a NIC queue pair completes into.
constexpr std::uint32_t nic_cq_of_qp(std::uint32_t qp_id) { return qp_id; }
// The multicast receive queue: NIC QP kMcrqQpId completes into CQ F + 8 of
// the function whose control queue pair created it, and receives a copy of
// every multicast frame that the proxy driver's MAC slot of that function
// (F + 4) accepts. Its id is one for the board, so one function of a board
// has it at a time.
constexpr std::uint32_t mcrq_cq_id(unsigned function) { return function + 8; }

// Largest frame the NIC engine sends or receives (jumbo, with a VLAN tag).
inline constexpr std::uint32_t kNicMaxFrame = 9018 + 4;
inline constexpr std::uint32_t kNicMinFrame = 14;
inline constexpr unsigned kNicMaxFragments = 5;

// ---------------------------------------------------------------------------
// NIC send work request (64 bytes).
//   word 0  flags: bit 22 (kept), bit 23 VLAN tag in word 3, bits 24-29 (kept),
//           bit 30 no checksum offload, bit 31 insert the VLAN tag
//   word 1  total frame length
//   word 2  0, or MSS | 0x220 for a large send
//   word 3  fragment 0 length << 16 | VLAN tag
//   word 4  fragment 2 length << 16 | fragment 1 length
//   word 5  fragment 4 length << 16 | fragment 3 length
//   +24     five u64 fragment physical addresses
// The fragment count is not written: the adapter takes fragments in order
// while their lengths are non-zero, until the total length is reached.
inline constexpr std::uint32_t kNicSqFlag22 = 1u << 22;
inline constexpr std::uint32_t kNicSqVlanTag = 1u << 23;
inline constexpr std::uint32_t kNicSqNoChecksum = 1u << 30;
inline constexpr std::uint32_t kNicSqVlanInsert = 1u << 31;
inline constexpr std::uint32_t kNicLsoFlags = 0x220;

#pragma pack(push, 1)
struct alignas(8) MifhNicSqWqe {
  std::uint32_t flags;
  std::uint32_t total_length;
  std::uint32_t lso;
  std::uint32_t frag0_vlan;   // fragment 0 length << 16 | VLAN tag
  std::uint32_t frag2_frag1;  // fragment 2 length << 16 | fragment 1 length
  std::uint32_t frag4_frag3;  // fragment 4 length << 16 | fragment 3 length
  std::uint64_t fragment[kNicMaxFragments];
};
#pragma pack(pop)
static_assert(alignof(MifhNicSqWqe) == 8);
static_assert(sizeof(MifhNicSqWqe) == 64);
static_assert(offsetof(MifhNicSqWqe, flags) == 0);
static_assert(offsetof(MifhNicSqWqe, total_length) == 4);
static_assert(offsetof(MifhNicSqWqe, lso) == 8);
static_assert(offsetof(MifhNicSqWqe, frag0_vlan) == 12);
static_assert(offsetof(MifhNicSqWqe, frag2_frag1) == 16);
static_assert(offsetof(MifhNicSqWqe, frag4_frag3) == 20);
static_assert(offsetof(MifhNicSqWqe, fragment) == 24);

constexpr std::uint32_t nic_fragment_length(const MifhNicSqWqe& w, unsigned i) {
  switch (i) {
    case 0:
      return w.frag0_vlan >> 16;
    case 1:
      return w.frag2_frag1 & 0xFFFF;
    case 2:
      return w.frag2_frag1 >> 16;
    case 3:
      return w.frag4_frag3 & 0xFFFF;
    case 4:
      return w.frag4_frag3 >> 16;
    default:
      return 0;
  }
}

// NIC receive work request (64 bytes): buffer length at 0, buffer address at 8.
#pragma pack(push, 1)
struct alignas(8) MifhNicRqWqe {
  std::uint32_t buffer_length;
  std::uint32_t reserved4;
  std::uint64_t buffer_pa;
  std::uint8_t reserved16[48];
};
#pragma pack(pop)
static_assert(alignof(MifhNicRqWqe) == 8);
static_assert(sizeof(MifhNicRqWqe) == 64);
static_assert(offsetof(MifhNicRqWqe, buffer_length) == 0);
static_assert(offsetof(MifhNicRqWqe, buffer_pa) == 8);

// ---------------------------------------------------------------------------
// NIC completion entry (16 bytes).
//   word 0  bits 0-17 ring index of the completed work request
//   word 1  0
//   word 2  bits 0-15 frame flags, bits 16-31 the received VLAN tag
//   word 3  bits 0-15 frame length, bits 16-23 error bits, bit 24 send,
//           bit 30 VLAN tag stripped, bit 31 valid
#pragma pack(push, 1)
struct alignas(8) MifhNicCqe {
  std::uint32_t index;
  std::uint32_t reserved4;
  std::uint32_t frame_flags;
  std::uint32_t status;
};
#pragma pack(pop)
static_assert(alignof(MifhNicCqe) == 8);
static_assert(sizeof(MifhNicCqe) == 16);
static_assert(offsetof(MifhNicCqe, index) == 0);
static_assert(offsetof(MifhNicCqe, frame_flags) == 8);
static_assert(offsetof(MifhNicCqe, status) == 12);

inline constexpr std::uint32_t kNicCqeIndexMask = 0x3FFFF;
// Frame flags (word 2).
inline constexpr std::uint32_t kNicFrameUnicast = 1u << 1;
inline constexpr std::uint32_t kNicFrameBroadcast = 1u << 2;  // neither: multicast
inline constexpr std::uint32_t kNicFrameChecksumNotChecked = 1u << 13;
inline constexpr unsigned kNicFrameVlanShift = 16;
// Status word (word 3).
inline constexpr std::uint32_t kNicCqeLengthMask = 0xFFFF;
inline constexpr unsigned kNicCqeErrorShift = 16;
inline constexpr std::uint32_t kNicCqeErrorMask = 0x00FF0000;
inline constexpr std::uint32_t kNicCqeSend = 1u << 24;
inline constexpr std::uint32_t kNicCqeVlanStripped = 1u << 30;
inline constexpr std::uint32_t kNicCqeValid = 1u << 31;
// Error bits (bits 16-23 of word 3, numbered from 0).
inline constexpr std::uint32_t kNicErrorDma = 1u << 0;        // a buffer or fragment could not be reached
inline constexpr std::uint32_t kNicErrorLength = 1u << 4;     // the frame does not fit / lengths do not add up
inline constexpr std::uint32_t kNicErrorMalformed = 1u << 3;  // a work request the adapter refuses

// ---------------------------------------------------------------------------
// NIC queue-pair host context (the first 24 bytes of the 8 KB context).
//   word 0  bits 0-5 attribute byte 6, 6-7 EFB code, 8-9 RQ size code,
//           10-11 SQ size code, 12-14 PCI function (attribute byte 9),
//           15 attribute byte 8, 16-17 attribute byte 7, 18-31 attribute byte 0
//   word 1  0
//   +8      SQ ring physical address
//   +16     RQ ring physical address
#pragma pack(push, 1)
struct alignas(8) MifhNicQpContext {
  std::uint32_t word0;
  std::uint32_t word1;
  std::uint64_t sq_pa;
  std::uint64_t rq_pa;
};
#pragma pack(pop)
static_assert(alignof(MifhNicQpContext) == 8);
static_assert(sizeof(MifhNicQpContext) == 24);
static_assert(offsetof(MifhNicQpContext, word0) == 0);
static_assert(offsetof(MifhNicQpContext, word1) == 4);
static_assert(offsetof(MifhNicQpContext, sq_pa) == 8);
static_assert(offsetof(MifhNicQpContext, rq_pa) == 16);

inline constexpr unsigned kCtxEfbShift = 6;
inline constexpr unsigned kCtxRqSizeShift = 8;
inline constexpr unsigned kCtxSqSizeShift = 10;
inline constexpr unsigned kCtxFunctionShift = 12;
constexpr std::uint32_t nic_context_word0(std::uint8_t byte6, std::uint8_t efb_code, std::uint8_t rq_code,
                                          std::uint8_t sq_code, std::uint8_t byte9, std::uint8_t byte8,
                                          std::uint8_t byte7, std::uint8_t byte0) {
  return (std::uint32_t{byte6} & 0x3F) | (std::uint32_t{efb_code} & 3) << kCtxEfbShift |
         (std::uint32_t{rq_code} & 3) << kCtxRqSizeShift | (std::uint32_t{sq_code} & 3) << kCtxSqSizeShift |
         (std::uint32_t{byte9} & 7) << kCtxFunctionShift | (std::uint32_t{byte8} & 1) << 15 |
         (std::uint32_t{byte7} & 3) << 16 | std::uint32_t{byte0} << 18;
}
// Ring sizes by size code (4, 32, 128, 512 work requests).
inline constexpr std::uint32_t kQpRingSizes[4] = {4, 32, 128, 512};

}  // namespace zekhw
