// zekhnic's data path: the interrupt and its DPC (the event loop of the
// function), the send path (net buffer lists to NIC send requests and back)
// and the receive path (receive buffers, NIC completions to indicated lists
// and their return).
//
// Where the adapter's description leaves a choice open, or where following
// it word for word would lose a list, hang NDIS or read past a buffer, the
// choice is a named constant here and a paragraph of docs/drivers.md
// ("The miniport's data path").
#pragma once

#include <cstdint>

#include "include/hw/nic.h"
#include "miniport/adapter.h"

// ---- Choices ----------------------------------------------------------------------------------------------
// The DPC's time budget: after it, the rest of the work goes to a new
// interrupt (a no-op control request). A field of the adapter block
// (ZEK_ADAPTER::DpcBudgetMs) that starts from this value.
inline constexpr ULONG ZEK_DPC_BUDGET_MS = 3000;
// NIC completion entries one DPC pass takes at most.
inline constexpr std::uint32_t ZEK_NIC_CQES_PER_PASS = 1024;
// Completion-queue credits and AEQ acknowledgements go back in writes of at most this many.
inline constexpr std::uint32_t ZEK_CREDITS_PER_WRITE = 255;
// Send slots kept free: an NBL waits unless its NBs fit beside this reserve.
inline constexpr std::uint32_t ZEK_SEND_RESERVE = 8;
// Frames up to this length are copied whole into the slot's header buffer
// and padded to the Ethernet minimum.
inline constexpr std::uint32_t ZEK_SMALL_FRAME = 256;
inline constexpr std::uint32_t ZEK_MIN_FRAME = 60;
// The header bytes copied from a larger frame (at least).
inline constexpr std::uint32_t ZEK_MIN_HEADER_COPY = 54;
// Hang checks without send progress, frames in the ring, before the hang
// check asks for a reset.
inline constexpr std::uint32_t ZEK_SEND_STALL_CHECKS = 20;
// A received frame shorter than an Ethernet header, or longer than its
// buffer, is not indicated: the adapter's length is not trusted.
inline constexpr std::uint32_t ZEK_ETHERNET_HEADER = 14;
// Receive buffer sizes: standard and jumbo frames.
inline constexpr std::uint32_t ZEK_RX_BUFFER_BYTES = 1520;
inline constexpr std::uint32_t ZEK_RX_BUFFER_JUMBO_BYTES = 9054;
// The send path's refusals are failure statuses, never the success-class
// NDIS_STATUS_NOT_ACCEPTED: a link that is down refuses with
// NDIS_STATUS_MEDIA_DISCONNECTED, a halting or failed adapter with
// NDIS_STATUS_FAILURE.
inline constexpr NDIS_STATUS ZEK_SEND_LINK_DOWN = NDIS_STATUS_MEDIA_DISCONNECTED;
inline constexpr NDIS_STATUS ZEK_SEND_REFUSED = NDIS_STATUS_FAILURE;
// How long the halt waits for NDIS to return the receive buffers, and the
// pause for the frames in the send ring to complete.
inline constexpr ULONG ZEK_RX_RETURN_WAIT_MS = 90'000;
inline constexpr ULONG ZEK_PAUSE_SEND_WAIT_MS = 2'000;
// The cancel ID of all ones, which the miniport itself uses: every list.
inline constexpr ULONG_PTR ZEK_CANCEL_ALL = ~ULONG_PTR{0};
// The hang check that finds the link down for the sixth time in a row
// (after it was up) completes the lists waiting to be sent with
// NDIS_STATUS_MEDIA_DISCONNECTED. Frames already in the send ring belong to
// the adapter, which may still read them: when some are still there, the
// check asks NDIS for a reset, whose chain takes the queue pair away and
// then completes them, each once.
inline constexpr std::uint32_t ZEK_LINK_DOWN_CHECKS = 6;

// ---- Send state ---------------------------------------------------------------------------------------------
struct ZekTxSlot {
  NET_BUFFER_LIST* Nbl;
  NET_BUFFER* Nb;
  PSCATTER_GATHER_LIST Sgl;
  BOOLEAN Busy;
  std::uint8_t* Header;  // the slot's header buffer (shared memory)
  std::uint64_t HeaderPa;
  void* SglBuffer;  // ScatterGatherListSize bytes
};

struct ZekTxContext {
  ZEK_ADAPTER* Adapter;
  NET_BUFFER_LIST* Nbl;
  NET_BUFFER* Nb;
};

struct ZekSendPath {
  ZekTxSlot* Slots;  // SendQueueSize
  ZekTxContext* Contexts;
  std::uint32_t Size;  // SendQueueSize, a power of two
  std::uint32_t Tail;  // next slot to fill
  std::uint32_t Head;  // next slot to complete
  std::uint32_t ContextIndex;
  std::uint32_t Busy;  // frames in the hardware ring
  // Batches of completed lists taken from the ring or the queue and not yet
  // handed to NDIS (the hand-over runs after the send lock is released);
  // a pause waits for them too. Atomic access only.
  std::uint32_t Indicating;
  NET_BUFFER_LIST* Mapping;  // the NBL being mapped (at most one)
  NET_BUFFER_LIST* PendingHead;
  NET_BUFFER_LIST* PendingTail;
  std::uint32_t PendingCount;
  std::uint32_t HeaderBytes;  // of one slot's header buffer
  ZekSharedBlock HeaderBlock;
  std::uint8_t* SglBuffers;
  ULONG SglBytes;
  // Counters.
  std::uint64_t FramesPosted, BytesPosted;
  std::uint64_t UnicastFrames, UnicastBytes, MulticastFrames, MulticastBytes, BroadcastFrames, BroadcastBytes;
  std::uint64_t Completions;  // send completions taken
  std::uint64_t CompletedNbls;
  std::uint64_t LargestBatch;
  // The hang check's view of send progress, and its checks in a row that
  // found the link down after it had been up.
  std::uint32_t LastHead;
  std::uint32_t StallChecks;
  std::uint32_t LinkDownChecks;
};

// ---- Receive state ------------------------------------------------------------------------------------------
inline constexpr std::uint32_t ZEK_RX_HELD_BY_NDIS = 0x2;

struct ZekRxDesc {
  ZekRxDesc* Next;
  std::uint64_t Pa;
  PMDL Mdl;
  NET_BUFFER_LIST* Nbl;
  std::uint8_t* Va;
  std::uint32_t Flags;  // ZEK_RX_HELD_BY_NDIS
  std::uint32_t Index;
  NDIS_PHYSICAL_ADDRESS SharedPa;
};

struct ZekRecvPath {
  ZekRxDesc* Descs;  // 2 x RecvQueueSize + 1
  std::uint32_t DescCount;
  std::uint32_t BufferBytes;
  NDIS_HANDLE NblPool;
  ZekRxDesc* FreeHead;
  ZekRxDesc* FreeTail;
  ZekRxDesc** PostedAt;     // by RQ ring slot: the buffer posted there
  std::uint32_t Posted;     // buffers in the ring
  std::uint32_t PostLimit;  // RecvQueueSize - 1: the ring keeps one slot empty
  std::uint32_t Held;       // held by NDIS
  std::uint32_t Outstanding;
  std::uint32_t LowResources;  // RecvQueueSize x 4 / 3
  NET_BUFFER_LIST* IndicateHead;
  NET_BUFFER_LIST* IndicateTail;
  std::uint32_t IndicateCount;
  // Counters.
  std::uint64_t Frames, Bytes;
  std::uint64_t UnicastFrames, UnicastBytes, MulticastFrames, MulticastBytes, BroadcastFrames, BroadcastBytes;
  std::uint64_t Dropped;            // not indicated: error, bad length, filtered, stray index
  std::uint64_t BadLength;          // of those: a length the buffer cannot hold
  std::uint64_t StrayIndex;         // of those: a completion naming no posted buffer
  std::uint64_t FilteredMulticast;  // of those: a group not in the list
  std::uint64_t LargestBatch;
};

// ---- Interrupts and the DPC -----------------------------------------------------------------------------------
// Registers the line and message interrupts (initialisation).
NDIS_STATUS ZekRegisterInterrupt(ZEK_ADAPTER* adapter);
BOOLEAN NicIsOurInterrupt(NDIS_HANDLE context, PBOOLEAN queue_dpc, PULONG target_processors);
BOOLEAN ZekMessageInterrupt(NDIS_HANDLE context, ULONG message, PBOOLEAN queue_dpc, PULONG target_processors);
void ZekInterruptDpc(NDIS_HANDLE context, PVOID dpc_context, PVOID, PVOID);
void ZekMessageInterruptDpc(NDIS_HANDLE context, ULONG message, PVOID dpc_context, PVOID, PVOID);
// The test-and-claim of the device object: TRUE when the interrupt is the function's.
BOOLEAN mifh_check_interrupt(MifhDeviceObj* device);
void mifh_enable_interrupts(MifhDeviceObj* device);
void ZekDisableInterrupts(ZEK_ADAPTER* adapter);
// Interrupts on (after the bring-up), and the interrupts-enabled flag the DPC honours.
void ZekEnableInterrupts(ZEK_ADAPTER* adapter);
// The function's control completions, one processor at a time (the DPC,
// the bring-up and teardown waits, the reset chain before interrupts run,
// and the proxy driver's drain through NIC_HW_INFO::ControlDrain).
void ZekProcessControlCompletions(ZEK_ADAPTER* adapter);
void ZekControlDrain(void* adapter);
// The DPC's body: one pass over the causes.
void CommonHandleInterrupt(ZEK_ADAPTER* adapter);

// ---- Send path --------------------------------------------------------------------------------------------------
void ZekSendNetBufferLists(NDIS_HANDLE context, PNET_BUFFER_LIST lists, NDIS_PORT_NUMBER port, ULONG flags);
void ZekCancelSend(NDIS_HANDLE context, PVOID cancel_id);
void ZekProcessSGList(PDEVICE_OBJECT, PVOID, PSCATTER_GATHER_LIST list, PVOID context);
// Send completions taken from the NIC completion queue (DPC).
void HandleSendInterrupt(ZEK_ADAPTER* adapter, std::uint32_t completions);
// Completes every frame in the hardware ring with `status` (all of them, or
// those whose NBL carries `cancel_id`).
void zek_free_busy_packets_with_id(ZEK_ADAPTER* adapter, ULONG_PTR cancel_id, NDIS_STATUS status);
// The frames in the ring, then the pending NBLs, each NBL completed once.
void ZekCompletePendingSends(ZEK_ADAPTER* adapter, NDIS_STATUS status);
// Starts pending NBLs; from the DPC (`from_dpc`) only within its budget.
void ZekStartPendingSends(ZEK_ADAPTER* adapter, bool from_dpc);
// Hang check: TRUE when frames sat in the ring without a completion for
// more than ZEK_SEND_STALL_CHECKS checks.
BOOLEAN ZekSendStalled(ZEK_ADAPTER* adapter);
// Hang check with the link down: counts the checks in a row; the
// ZEK_LINK_DOWN_CHECKS-th completes the waiting lists and answers TRUE (a
// reset) when frames are still in the ring. Link up: the count starts again.
BOOLEAN ZekSendLinkDownCheck(ZEK_ADAPTER* adapter, bool link_down);
// Completes the lists that wait to be sent (none of them reached the adapter)
// with `status`: all of them, or those that carry `cancel_id`.
void ZekCompleteWaitingSends(ZEK_ADAPTER* adapter, ULONG_PTR cancel_id, NDIS_STATUS status);
// The send ring starts empty again (reset completion).
void ZekResetSendRing(ZEK_ADAPTER* adapter);

// ---- Receive path and memory ------------------------------------------------------------------------------------
// The DMA registration, the send slots and the receive buffers (initialisation).
NDIS_STATUS NICAllocAdapterMemory(ZEK_ADAPTER* adapter);
void NICFreeAdapterMemory(ZEK_ADAPTER* adapter);
// What the receive path makes of one receive completion before the
// multicast filter: indicated only with a length from an Ethernet header
// up to the buffer (BadLength otherwise) and no error but a checksum's; and
// the checksum information the indicated list carries.
struct ZekRxVerdict {
  bool Indicate;
  bool BadLength;
  NDIS_TCP_IP_CHECKSUM_NET_BUFFER_LIST_INFO Checksum;
};
ZekRxVerdict ZekJudgeReceive(const zekhw::MifhNicCqe& cqe, std::uint32_t buffer_bytes, bool checksum_offload);
// Posts up to `count` free buffers, never more than the ring takes.
void CommonRePostRcvBuffers(ZEK_ADAPTER* adapter, std::uint32_t count);
// The NIC completion queue's entries (DPC): receives and send completions.
void ZekProcessNicCompletions(ZEK_ADAPTER* adapter);
void ZekReturnNetBufferLists(NDIS_HANDLE context, PNET_BUFFER_LIST lists, ULONG flags);
// The receive ring after the NIC queue pair was made again (reset): the
// buffers NDIS does not hold are posted anew.
void ZekRepostAfterReset(ZEK_ADAPTER* adapter);
// Waits (PASSIVE_LEVEL, bounded) until NDIS has returned every buffer.
bool WaitForRxReturnPackets(ZEK_ADAPTER* adapter, ULONG milliseconds);
