// The iWARP queue-pair host context (the first 176 bytes of the QP's 8 KB
// page-aligned host context) that the adapter reads at create and modify, in
// its two forms: without offload (the connection named by ports and the
// connection-hash index) and with offload (the exported TCP state). The NIC
// context is in nic.h. Little-endian u32 words.
//
// Decisions both sides keep (docs/hardware.md, "Queue-pair contexts"):
// - Bytes 4-7 hold the two CQ ids of the queue pair: the send queue's in
//   bits 0-15, the receive queue's in bits 16-31 (0 unless the context
//   attributes say they are valid).
// - Word 40 keeps the two attribute values the verbs give (bits 0-15 and
//   16-24) and the flag bits 25-31; the adapter does not read CQ ids there.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zekhw {

inline constexpr std::uint32_t kIwarpCtxFlagsNoOffload = 0x80008018;
inline constexpr std::uint32_t kIwarpCtxFlagsOffload = 0x80008010;
inline constexpr std::uint32_t kIwarpCtxBytes = 176;
inline constexpr std::uint32_t kQpHostContextBytes = 8192;

#pragma pack(push, 1)
struct alignas(8) MifhIwarpQpContext {
  std::uint32_t flags;         // word 0
  std::uint16_t sq_cq_id;      // bytes 4-5
  std::uint16_t rq_cq_id;      // bytes 6-7
  std::uint64_t sq_pa;         // bytes 8-15
  std::uint64_t rq_pa;         // bytes 16-23
  std::uint32_t conn[30];      // words 6-35: connection state (form by the flags)
  std::uint64_t q2_pa;         // bytes 144-151
  std::uint32_t word38;
  std::uint32_t word39;
  std::uint32_t word40;
  std::uint32_t word41;
  std::uint64_t qp_object;     // bytes 168-175
};
#pragma pack(pop)
static_assert(alignof(MifhIwarpQpContext) == 8);
static_assert(sizeof(MifhIwarpQpContext) == kIwarpCtxBytes);
static_assert(offsetof(MifhIwarpQpContext, flags) == 0);
static_assert(offsetof(MifhIwarpQpContext, sq_cq_id) == 4);
static_assert(offsetof(MifhIwarpQpContext, rq_cq_id) == 6);
static_assert(offsetof(MifhIwarpQpContext, sq_pa) == 8);
static_assert(offsetof(MifhIwarpQpContext, rq_pa) == 16);
static_assert(offsetof(MifhIwarpQpContext, conn) == 24);
static_assert(offsetof(MifhIwarpQpContext, q2_pa) == 144);
static_assert(offsetof(MifhIwarpQpContext, word38) == 152);
static_assert(offsetof(MifhIwarpQpContext, word39) == 156);
static_assert(offsetof(MifhIwarpQpContext, word40) == 160);
static_assert(offsetof(MifhIwarpQpContext, word41) == 164);
static_assert(offsetof(MifhIwarpQpContext, qp_object) == 168);

// Word n of the context (n = 6..35) is conn[n - 6].
constexpr unsigned ctx_conn(unsigned word) { return word - 6; }

// Flag word fields shared by both forms.
inline constexpr unsigned kIwarpCtxEfbShift = 6;
inline constexpr unsigned kIwarpCtxRqSizeShift = 8;
inline constexpr unsigned kIwarpCtxSqSizeShift = 10;
inline constexpr unsigned kIwarpCtxDeviceShift = 12;
inline constexpr std::uint32_t kIwarpCtxOffloadBit = 1u << 3;  // clear in the offload constant

// Queue-pair states of the modify request (bits 28-30).
inline constexpr unsigned kQpStateShift = 28;
inline constexpr std::uint32_t kQpStateMask = 7;
enum QpState : std::uint8_t {
  kQpIdle = 1,
  kQpRts = 2,
  kQpClosing = 3,
  kQpTerminate = 5,
  kQpError = 6,
};

}  // namespace zekhw
