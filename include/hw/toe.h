// TCP offload (TOE) queue pairs: a connection the host stack moved into the
// adapter whose bytes are posted and received through 128-byte TOE work
// requests, completing into an iWARP-form CQ with the 32-byte TOE CQE.
//
// Decisions (docs/hardware.md, "TOE queue pairs"):
// - Buffers are physical addresses (the requests are the kernel's own).
// - Every TOE request completes: a send when the peer has acknowledged its
//   last byte, a receive when its buffers are full or when the bytes at hand
//   are placed (as recv() returns what has arrived); a receive posted after
//   the peer's FIN, or taken by it, completes with its bytes and the
//   end-of-stream status bit.
// - A send with a byte count of 0 sends FIN (shutdown of the send side).
// - The flag bytes f0-f3 of a send are carried and not interpreted.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zekhw {

inline constexpr unsigned kToeMaxBuffers = 4;
inline constexpr std::uint32_t kToeQpType = 0;  // create/destroy type field (destroy 0x4002)
// Creation (a decision of the adapter: the host stack's allocation step is
// its own): op word 0x4000 (create, type 0, bit 14 as in the destroy), the
// object word the QP id (from the iWARP range), +16 the host context in the
// iWARP form: ring sizes in the flags word, the SQ and RQ CQ ids, the rings,
// the QP object (+8 of each WQE) and the offloaded connection (words 6-35).
// The TOE queue pair takes its connection when it is created; a context
// whose connection cannot be carried out refuses the creation.
inline constexpr std::uint32_t kOpWordCreateToeQp = 0x00004000;
inline constexpr std::uint32_t kToeQpBit = 1u << 14;

#pragma pack(push, 1)
struct MifhToeBuffer {
  std::uint64_t address;
  std::uint32_t length;
  std::uint32_t reserved;
};

struct alignas(8) MifhToeSendWqe {
  std::uint32_t flags;  // f0 bit 21, f1 bits 22-29, f2 bit 30, f3 bit 31
  std::uint32_t byte_count;
  std::uint64_t qp;       // the TOE QP's address, returned in the completion
  std::uint64_t context;  // the caller's context, returned in the completion
  std::uint8_t reserved24[40];
  MifhToeBuffer buffer[kToeMaxBuffers];
};

struct alignas(8) MifhToeRecvWqe {
  std::uint32_t reserved0;
  std::uint32_t byte_count;
  std::uint64_t qp;
  std::uint64_t context;
  std::uint64_t reserved24;
  MifhToeBuffer buffer[kToeMaxBuffers];
  std::uint8_t reserved96[32];
};

// Completion (32 bytes, in the CQ the queue's context names).
struct alignas(8) MifhToeCqe {
  std::uint32_t byte_count;
  std::uint32_t reserved4;
  std::uint64_t qp;       // WQE +8
  std::uint64_t context;  // WQE +16
  std::uint16_t status;   // 0, or kToeStatus* of a failed request
  std::uint16_t status2;  // receives: kToeEndOfStream
  std::uint32_t flags;    // kCqeValid, kCqeSendQueue, kCqeError (cqp.h)
};
#pragma pack(pop)
static_assert(sizeof(MifhToeBuffer) == 16);
static_assert(sizeof(MifhToeSendWqe) == 128);
static_assert(offsetof(MifhToeSendWqe, byte_count) == 4);
static_assert(offsetof(MifhToeSendWqe, qp) == 8);
static_assert(offsetof(MifhToeSendWqe, context) == 16);
static_assert(offsetof(MifhToeSendWqe, buffer) == 64);
static_assert(sizeof(MifhToeRecvWqe) == 128);
static_assert(offsetof(MifhToeRecvWqe, byte_count) == 4);
static_assert(offsetof(MifhToeRecvWqe, qp) == 8);
static_assert(offsetof(MifhToeRecvWqe, context) == 16);
static_assert(offsetof(MifhToeRecvWqe, buffer) == 32);
static_assert(sizeof(MifhToeCqe) == 32);
static_assert(offsetof(MifhToeCqe, qp) == 8);
static_assert(offsetof(MifhToeCqe, context) == 16);
static_assert(offsetof(MifhToeCqe, status) == 24);
static_assert(offsetof(MifhToeCqe, status2) == 26);
static_assert(offsetof(MifhToeCqe, flags) == 28);

inline constexpr std::uint16_t kToeEndOfStream = 1u << 0;  // status2 of a receive
inline constexpr std::uint16_t kToeStatusReset = 1;        // the connection was reset
inline constexpr std::uint16_t kToeStatusTimedOut = 2;     // the peer stopped answering
inline constexpr std::uint16_t kToeStatusBadRequest = 3;   // buffers out of reach or counts that do not add up

}  // namespace zekhw
