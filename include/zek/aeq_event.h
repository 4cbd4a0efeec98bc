// The decoded asynchronous event that the miniport hands to the proxy
// driver's asynchronous-event slot (ZpxQueueAEQ), one per AEQ entry (see
// include/hw/events.h for the entry). Both drivers use this one record.
//
// The context is kept whole (64 bits): the proxy's "context word" is its low
// 32 bits, which sit at the same bytes, and the reason code is its low 9 bits.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct alignas(8) ZekAsyncEvent {
  std::uint64_t context;      // AEQE bytes 0-7
  std::uint32_t object_id;    // AEQE word 2 bits 0-17: QP or CQ id
  std::uint16_t event_id;     // AEQE word 3 bits 0-15
  std::uint8_t tcp_state;     // word 3 bits 24-27
  std::uint8_t iwarp_state;   // word 3 bits 20-22
  std::uint8_t qp;            // word 3 bit 16
  std::uint8_t cq;            // word 3 bit 17
  std::uint8_t sq;            // word 3 bit 18
  std::uint8_t inbound_rdma;  // word 3 bit 19
  std::uint8_t aux;           // word 3 bits 28-29
  std::uint8_t reserved[3];   // zero
};
#pragma pack(pop)
static_assert(alignof(ZekAsyncEvent) == 8);
static_assert(sizeof(ZekAsyncEvent) == 24);
static_assert(offsetof(ZekAsyncEvent, context) == 0);
static_assert(offsetof(ZekAsyncEvent, object_id) == 8);
static_assert(offsetof(ZekAsyncEvent, event_id) == 12);
static_assert(offsetof(ZekAsyncEvent, tcp_state) == 14);
static_assert(offsetof(ZekAsyncEvent, iwarp_state) == 15);
static_assert(offsetof(ZekAsyncEvent, qp) == 16);
static_assert(offsetof(ZekAsyncEvent, cq) == 17);
static_assert(offsetof(ZekAsyncEvent, sq) == 18);
static_assert(offsetof(ZekAsyncEvent, inbound_rdma) == 19);
static_assert(offsetof(ZekAsyncEvent, aux) == 20);

// Decodes one AEQ entry (context, word 2, word 3) into the record.
constexpr ZekAsyncEvent zek_decode_async_event(std::uint64_t context, std::uint32_t word2, std::uint32_t word3) {
  ZekAsyncEvent e{};
  e.context = context;
  e.object_id = word2 & 0x3FFFF;
  e.event_id = static_cast<std::uint16_t>(word3 & 0xFFFF);
  e.tcp_state = static_cast<std::uint8_t>((word3 >> 24) & 0xF);
  e.iwarp_state = static_cast<std::uint8_t>((word3 >> 20) & 0x7);
  e.qp = static_cast<std::uint8_t>((word3 >> 16) & 1);
  e.cq = static_cast<std::uint8_t>((word3 >> 17) & 1);
  e.sq = static_cast<std::uint8_t>((word3 >> 18) & 1);
  e.inbound_rdma = static_cast<std::uint8_t>((word3 >> 19) & 1);
  e.aux = static_cast<std::uint8_t>((word3 >> 28) & 0x3);
  return e;
}
