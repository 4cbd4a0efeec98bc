// The receive buffers of the driver's own NIC queue pair: 512 contiguous
// buffers of 1520 bytes, written into the receive ring at attach and freed
// at detach only once the queue pair is gone, so that the adapter never
// writes a frame into memory that was given back.
#pragma once

#include <cstdint>

#include "include/zek/mifh.h"
#include "proxy/rdma/hw/nic_qp.h"

inline constexpr std::uint32_t ZPX_RX_BUFFERS = 512;
inline constexpr std::uint32_t ZPX_RX_BUFFER_BYTES = 1520;

struct ZpxRxDescriptor {
  std::uint32_t PaLow;
  std::uint32_t PaHigh;
  void* Va;
  std::uint32_t Length;  // ZPX_RX_BUFFER_BYTES
  std::uint32_t Reserved;
};

struct ZpxNicRx {
  ZpxRxDescriptor Desc[ZPX_RX_BUFFERS];
  std::uint32_t Filled;                      // descriptors with a buffer (from 0)
  std::uint32_t Index;                       // receive completions taken, modulo 512
  std::uint16_t SlotBuffer[ZPX_RX_BUFFERS];  // the descriptor whose buffer each ring slot holds
};

// Puts up to 512 buffers into the receive ring from its head, then posts
// every filled one but the slot the ring keeps free. The first buffer that
// cannot be had ends the filling: only the buffers filled are posted, never
// a request without a buffer. MIFH_STATUS_SUCCESS with at least one buffer
// posted; MIFH_STATUS_FAIL with none (nothing is left allocated).
ZekStatus ZpxInitializeNicRQ(MifhQpObject* qp, ZpxNicRx* rx);
// One pass over the NIC completion queue (the bottom half's NIC step). A
// receive hands the frame to the hook (its 14-byte Ethernet header and the
// rest), then gives the buffer back to the ring; a frame shorter than a header,
// longer than a buffer or with error bits is dropped and counted. A send
// retires its transmit slot. More than ZPX_NIC_CQ_PASS_LIMIT entries end the
// pass (the rest waits for the next interrupt); the queue is re-armed at the
// end. Answers the entries taken.
inline constexpr std::uint32_t ZPX_NIC_CQ_PASS_LIMIT = 428;
inline constexpr std::uint32_t ZPX_RX_REPOST_BATCH = 16;
inline constexpr std::uint32_t ZPX_ETHER_HEADER_BYTES = 14;
using ZpxReceiveHook = void (*)(void* context, const std::uint8_t* header, const std::uint8_t* payload,
                                std::uint32_t payload_length);
struct ZpxNicCqCounters {
  std::uint64_t Received;
  std::uint64_t Dropped;
  std::uint64_t Sent;
};
std::uint32_t ZpxProcessNicCQ(MifhDeviceObj* device, MifhCqObject* cq, MifhQpObject* qp, ZpxNicRx* rx,
                              ZpxReceiveHook hook, void* context, ZpxNicCqCounters* counters);

// The context-upload slot of the NIC-proxy record: uploads a queue pair's
// context (320 bytes of adapter-visible memory) without waiting. The
// completion prints the context's arrival and frees the buffer and its
// completion context, so nothing stays behind; a request that cannot be
// posted frees them at once. Answers the post's status.
inline constexpr std::uint32_t ZPX_UPLOAD_CONTEXT_BYTES = 320;
ZekStatus ZpxUploadNicContextCallback(MifhQpObject* qp);

// Frees the buffers (the queue pair must be gone).
void ZpxFreeNicRQ(ZpxNicRx* rx);
// Detach of the NIC queues: the queue pair and its completion queue are
// destroyed first, then the buffers freed. When the adapter does not confirm
// the destroy the buffers stay allocated, as the queues' own memory does:
// the adapter may still write them.
ZekStatus ZpxDestroyNicQueues(void* proxy_adapter, MifhQpObject* qp, MifhCqObject* cq, ZpxNicRx* rx);
