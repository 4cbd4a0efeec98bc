// iWARP data-path formats shared by the kernel verbs, the user-mode verbs
// library and the adapter: the 128-byte send and receive work requests
// (MifhWqe and its forms), their op words, and the completion entry flags
// (the 32-byte entry itself, MifhCqe, is in cqp.h). Little-endian; records
// packed and 8-byte aligned.
//
// Decisions both sides keep (docs/hardware.md, "iWARP work requests"):
// - The completion tag is (QP object | ring index): QP objects are 512-byte
//   aligned, the index takes bits 0-8.
// - The send ring starts at index 1 when the queue pair is created, and at 0
//   after a modify that gives it a new ring (the adapter restarts its consumer
//   there). The ring is used modulo its size: after the first wrap slot 0 is
//   an ordinary slot; the adapter never reads the word that creation put in
//   slot 0 once the consumer has passed it.
// - Memory-window bind has one layout (MifhBindWqe): the user library's, with
//   the region STag at +24, the window STag | key at +28, the length at +32
//   and the virtual address at +40; the access rights are at +48.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zekhw {

// Op codes (bits 0-5 of the op word).
enum WqeOp : std::uint8_t {
  kWqeRdmaWrite = 0,
  kWqeRdmaRead = 1,
  kWqeSend = 3,
  kWqeSendInvalidate = 4,
  kWqeSendSolicited = 5,
  kWqeSendSolicitedInvalidate = 6,
  kWqeReceive = 7,  // reported for receive completions; never in a WQE
  kWqeBind = 8,
  kWqeFastRegister = 9,
  kWqeLocalInvalidate = 10,
  kWqeKernelOnly = 12,
};
inline constexpr std::uint32_t kWqeOpMask = 0x3F;
inline constexpr std::uint32_t kWqeInline = 1u << 28;        // inline data (write, send); also set on reads
inline constexpr std::uint32_t kWqeFlagB = 1u << 29;         // solicited / second flag
inline constexpr std::uint32_t kWqeFence = 1u << 30;         // reads, bind, fast register
inline constexpr std::uint32_t kWqeSignalled = 1u << 31;     // produce a completion
inline constexpr std::uint32_t kWqeReadLength = 0xDEADBEEF;  // total-length word of an RDMA read
inline constexpr std::uint32_t kWqeFastRegNotZeroBased = 1u << 6;
inline constexpr std::uint32_t kWqeFastRegNot4K = 1u << 7;
inline constexpr unsigned kWqeFastRegAccessShift = 16;

inline constexpr std::uint32_t kMaxMessageBytes = 0x7FC00000;
inline constexpr std::uint32_t kReadFenceBytes = 0x7FE00000;
inline constexpr std::uint32_t kMaxInlineBytes = 64;
inline constexpr unsigned kMaxSges = 4;
inline constexpr std::uint64_t kTagIndexMask = 0x1FF;  // bits 0-8 of a completion tag

constexpr std::uint64_t wqe_tag(std::uint64_t qp_object, std::uint32_t index) {
  return qp_object | (index & kTagIndexMask);
}

#pragma pack(push, 1)
struct MifhSge {
  std::uint64_t address;
  std::uint32_t length;
  std::uint32_t stag;
};
#pragma pack(pop)
static_assert(sizeof(MifhSge) == 16);
static_assert(offsetof(MifhSge, address) == 0);
static_assert(offsetof(MifhSge, length) == 8);
static_assert(offsetof(MifhSge, stag) == 12);

// Send-queue work request (128 bytes): sends, RDMA write and read.
#pragma pack(push, 1)
struct alignas(8) MifhWqe {
  std::uint32_t op_word;
  std::uint32_t total_length;  // sends and writes; kWqeReadLength for a read
  std::uint64_t tag;           // QP object | ring index, echoed in the CQE
  std::uint64_t wr_id;
  std::uint32_t reserved24;
  std::uint32_t invalidate_stag;  // send with invalidate; the local STag again for a read with invalidate
  std::uint64_t remote_va;        // RDMA read / write
  std::uint32_t length;           // RDMA read / write
  std::uint32_t remote_stag;      // RDMA read / write
  std::uint8_t inline_data[16];   // inline data runs from here on through the SGE area (64 bytes at most)
  MifhSge sge[kMaxSges];          // from +64; the count is implicit (lengths add up to the total)
};
#pragma pack(pop)
static_assert(alignof(MifhWqe) == 8);
static_assert(sizeof(MifhWqe) == 128);
static_assert(offsetof(MifhWqe, op_word) == 0);
static_assert(offsetof(MifhWqe, total_length) == 4);
static_assert(offsetof(MifhWqe, tag) == 8);
static_assert(offsetof(MifhWqe, wr_id) == 16);
static_assert(offsetof(MifhWqe, reserved24) == 24);
static_assert(offsetof(MifhWqe, invalidate_stag) == 28);
static_assert(offsetof(MifhWqe, remote_va) == 32);
static_assert(offsetof(MifhWqe, length) == 40);
static_assert(offsetof(MifhWqe, remote_stag) == 44);
static_assert(offsetof(MifhWqe, inline_data) == 48);
static_assert(offsetof(MifhWqe, sge) == 64);
inline constexpr std::uint32_t kWqeInlineOffset = offsetof(MifhWqe, inline_data);
// A kernel-only request (op 12) carries the status that the poller reports
// as op 9's in word 23: the STag word of the second element.
inline constexpr std::uint32_t kWqeKernelStatusOffset =
    offsetof(MifhWqe, sge) + sizeof(MifhSge) + offsetof(MifhSge, stag);
static_assert(kWqeKernelStatusOffset == 92);

// Receive-queue work request (128 bytes): elements from +32.
inline constexpr unsigned kMaxRqSgesInWqe = 6;  // what fits; the drivers post at most kMaxSges
#pragma pack(push, 1)
struct alignas(8) MifhRqWqe {
  std::uint32_t reserved0;
  std::uint32_t total_length;
  std::uint64_t tag;
  std::uint64_t wr_id;
  std::uint64_t reserved24;
  MifhSge sge[kMaxRqSgesInWqe];
};
#pragma pack(pop)
static_assert(alignof(MifhRqWqe) == 8);
static_assert(sizeof(MifhRqWqe) == 128);
static_assert(offsetof(MifhRqWqe, total_length) == 4);
static_assert(offsetof(MifhRqWqe, tag) == 8);
static_assert(offsetof(MifhRqWqe, wr_id) == 16);
static_assert(offsetof(MifhRqWqe, reserved24) == 24);
static_assert(offsetof(MifhRqWqe, sge) == 32);

// Fast-register work request (send queue).
#pragma pack(push, 1)
struct alignas(8) MifhFastRegWqe {
  std::uint32_t op_word;  // 0x40000009 | flags
  std::uint32_t reserved4;
  std::uint64_t tag;
  std::uint64_t wr_id;
  std::uint32_t reserved24;
  std::uint32_t stag;
  std::uint64_t total_length;
  std::uint64_t va_or_fbo;  // the virtual address, or the first-byte offset when zero-based
  std::uint64_t pbl_pa;
  std::uint32_t pbl_bytes;
  std::uint32_t reserved60;
  std::uint8_t reserved64[64];
};
#pragma pack(pop)
static_assert(sizeof(MifhFastRegWqe) == 128);
static_assert(offsetof(MifhFastRegWqe, stag) == 28);
static_assert(offsetof(MifhFastRegWqe, total_length) == 32);
static_assert(offsetof(MifhFastRegWqe, va_or_fbo) == 40);
static_assert(offsetof(MifhFastRegWqe, pbl_pa) == 48);
static_assert(offsetof(MifhFastRegWqe, pbl_bytes) == 56);

// Memory-window bind work request (send queue): the one layout both builders use.
#pragma pack(push, 1)
struct alignas(8) MifhBindWqe {
  std::uint32_t op_word;  // kWqeBind | fence | signalled
  std::uint32_t reserved4;
  std::uint64_t tag;
  std::uint64_t wr_id;
  std::uint32_t region_stag;  // the memory region the window is bound in
  std::uint32_t window_stag;  // the window's STag (index << 8 | key)
  std::uint64_t length;
  std::uint64_t va;
  std::uint32_t access;  // access rights, bits 0-3
  std::uint8_t reserved52[76];
};
#pragma pack(pop)
static_assert(sizeof(MifhBindWqe) == 128);
static_assert(offsetof(MifhBindWqe, region_stag) == 24);
static_assert(offsetof(MifhBindWqe, window_stag) == 28);
static_assert(offsetof(MifhBindWqe, length) == 32);
static_assert(offsetof(MifhBindWqe, va) == 40);
static_assert(offsetof(MifhBindWqe, access) == 48);

// Op words of the builders.
constexpr std::uint32_t rdma_write_inline_op(bool flag_b, bool signalled) {
  return kWqeInline | (flag_b ? kWqeFlagB : 0u) | (signalled ? kWqeSignalled : 0u) | kWqeRdmaWrite;
}
constexpr std::uint32_t rdma_read_op(bool fence, bool signalled) {
  return kWqeInline | (fence ? kWqeFence : 0u) | (signalled ? kWqeSignalled : 0u) | kWqeRdmaRead;
}
constexpr std::uint32_t send_op(std::uint8_t op, bool flag_b, bool signalled) {
  return (op & kWqeOpMask) | (flag_b ? kWqeFlagB : 0u) | (signalled ? kWqeSignalled : 0u);
}
constexpr std::uint32_t send_inline_op(bool flag_b, bool signalled) {
  return kWqeInline | (flag_b ? kWqeFlagB : 0u) | (signalled ? kWqeSignalled : 0u) | kWqeSend;
}
constexpr std::uint32_t fast_register_op(bool not_zero_based, bool not_4k, std::uint32_t access, bool signalled) {
  return 0x40000000u | kWqeFastRegister | (not_zero_based ? kWqeFastRegNotZeroBased : 0u) |
         (not_4k ? kWqeFastRegNot4K : 0u) | (access << kWqeFastRegAccessShift) | (signalled ? kWqeSignalled : 0u);
}

// The stream-mode message request that sends raw bytes before RDMA mode:
// op word exactly 0x808000, +4 the length, one SGE at +64. Never signalled.
inline constexpr std::uint32_t kWqeStreamMessageOp = 0x808000;

// Local invalidate: the STag at +24.
inline constexpr std::uint32_t kWqeLocalInvalidateStagOffset = 24;
// Fast register: 2 MB pages when kWqeFastRegNot4K is set.
inline constexpr std::uint64_t kLargePageBytes = 2u << 20;

}  // namespace zekhw
