// The proxy driver's own NIC queue pair: one NIC CQ of 1024 entries and one
// NIC QP of 512 send and 512 receive requests (ids F + 24, CEQ F + 8, MAC
// slot F + 4), created on the shared CQP at attach and destroyed at removal;
// frames leave through DoWriteProc and their slots are retired by the send
// completions of the bottom half.
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/hw/nic.h"
#include "include/zek/mifh.h"
#include "proxy/rdma/hw/control_qp.h"
#include "proxy/rdma/hw/qp.h"
#include "proxy/rdma/hw/status.h"

inline constexpr std::uint32_t ZEKNIC_TX_SLOTS = 512;
inline constexpr std::uint32_t ZEKNIC_TX_SLOT_BYTES = 192;
inline constexpr std::uint32_t ZEKNIC_TX_BLOCK_BYTES = ZEKNIC_TX_SLOTS * ZEKNIC_TX_SLOT_BYTES;  // 0x18000
inline constexpr std::uint32_t ZEKNIC_FULL_CHECKS = 99;
inline constexpr std::uint32_t ZEKNIC_FULL_DELAY_US = 5000;
// Bound of the creation waits (the adapter answers in microseconds).
inline constexpr std::uint32_t ZEKNIC_CREATE_WAIT_MS = 5000;
inline constexpr std::uint32_t ZEKNIC_DESTROY_ROUNDS = 1000;
inline constexpr std::uint32_t ZEKNIC_DESTROY_STALL_US = 49;

using ZekNicTxRoutine = void (*)(std::uint32_t* completion_word);

// One transmit slot (192 bytes): the frame's mapping and scatter/gather list
// in the first 152 bytes (bytes 32-151 zeroed before each use), the fragment
// count, 20 bytes of mapping data, the completion routine and its argument.
struct ZekNicTxSlot {
  const void* Frame;
  std::uint32_t Length;
  std::uint8_t Reserved12[20];
  MifhSglElement Sgl[7];
  std::uint8_t Reserved144[8];
  std::uint32_t FragmentCount;
  std::uint8_t MappingData[20];
  ZekNicTxRoutine Routine;
  std::uint32_t* Argument;
};
static_assert(sizeof(ZekNicTxSlot) == ZEKNIC_TX_SLOT_BYTES);
static_assert(offsetof(ZekNicTxSlot, Sgl) == 32);
static_assert(offsetof(ZekNicTxSlot, FragmentCount) == 152);
static_assert(offsetof(ZekNicTxSlot, MappingData) == 156);
static_assert(offsetof(ZekNicTxSlot, Routine) == 176);
static_assert(offsetof(ZekNicTxSlot, Argument) == 184);
// The part of a slot cleared before each use: the scatter/gather list.
inline constexpr std::size_t ZEKNIC_TX_SLOT_CLEAR_FIRST = offsetof(ZekNicTxSlot, Sgl);
inline constexpr std::size_t ZEKNIC_TX_SLOT_CLEAR_END = offsetof(ZekNicTxSlot, FragmentCount);

// Frame lengths the adapter sends (an Ethernet header up to a jumbo frame
// with a VLAN tag); anything else it refuses, stopping its send queue.
inline constexpr std::uint32_t ZEKNIC_MIN_FRAME = zekhw::kNicMinFrame;  // 14
inline constexpr std::uint32_t ZEKNIC_MAX_FRAME = zekhw::kNicMaxFrame;  // 9022

// The transmit ring, kept in the NIC CQ object's owner area.
struct ZekNicTransmit {
  ZEK_OSPRIM_RING Ring;   // Size 512: at most 511 frames in flight
  std::uint32_t Stopped;  // 1 once the adapter refused a frame: its send queue takes no more
  ZekNicTxSlot* Slots;
  OSPrimSpinlockObject Lock;
  MifhQpObject* Qp;
  NIC_HW_INFO* HwInfo;
};
static_assert(sizeof(ZekNicTransmit) <= sizeof(MifhCqObject::OwnerArea));
ZekNicTransmit* ZekNicTransmitOf(MifhCqObject* cq);

ZekStatus mifh_nic_qp_init(MifhDeviceObj* device, MifhQpObject* qp, void* sq, void* rq, void* host_context,
                           std::uint64_t sq_pa, std::uint64_t rq_pa, std::uint64_t host_context_pa,
                           std::uint32_t sq_wqes, std::uint32_t rq_wqes, std::uint32_t efb_count, std::uint32_t qp_id);

// Creates the NIC CQ and QP; waits (bounded) for each creation. Call at
// PASSIVE_LEVEL with the function's control completions being processed.
// MIFH_STATUS_SUCCESS, or the failing step's status (MIFH_STATUS_FAIL for a
// creation that did not complete in time).
ZekStatus Zek_Init_k_zeknic(void* proxy_adapter, NIC_HW_INFO* hw, MifhQpObject** nic_qp, MifhCqObject** nic_cq);

// Queues one frame (a non-paged buffer the caller keeps until the completion
// routine clears *completion_word) of ZEKNIC_MIN_FRAME..ZEKNIC_MAX_FRAME
// bytes. True when queued; false at once for a length outside those bounds
// or once the send queue has stopped. The caller raised the outstanding
// count (ZekNicTxBegin) before the call.
bool DoWriteProc(NIC_HW_INFO* hw, void* interface, const void* frame, std::uint32_t length,
                 std::uint32_t* completion_word);
void ZekNicTxComplete(std::uint32_t* completion_word);
// Retires the oldest transmit slot for one send completion (the NIC CQE's
// status word) and runs its routine. A completion with error bits means the
// adapter refused the frame and stopped its send queue: every frame still in
// flight is completed too, all counted as failures, and later transmits fail.
void ZekNicSendComplete(MifhCqObject* cq, std::uint32_t cqe_status);

void ZekNicTxBegin();
std::int32_t ZekNicTxOutstanding();
std::uint64_t ZekNicTxSuccesses();
std::uint64_t ZekNicTxFailures();

// Destroys the QP and the CQ; frames still in flight complete as failures;
// memory the adapter did not release in time is quarantined, never returned. MIFH_STATUS_SUCCESS, or MIFH_STATUS_FAIL
// when a destroy was not confirmed.
ZekStatus mifh_nic_qp_destroy(void* proxy_adapter, MifhQpObject* qp, MifhCqObject* cq);

// The creation and destruction waits of a NIC queue pair, for the other NIC
// queue pairs of the driver (the multicast receive queue): a completion
// routine that sets an OS-primitive event, the bounded wait for it (the
// control completions drained every millisecond when the hardware
// information offers it), and the destroys of a NIC QP and of a NIC CQ on
// the adapter, true when the adapter confirmed (else the request's context
// is forgotten and the memory must not be reused).
void mifh_nic_signal_event(void* event);
// A NIC CQ object of MIFH_NIC_CQ_ENTRIES entries with id `id` over its
// (zeroed) ring, ready for mifh_nic_cq_create.
void mifh_nic_cq_prepare(MifhCqObject* cq, MifhDeviceObj* device, std::uint32_t id, void* ring);
bool mifh_nic_wait_event(NIC_HW_INFO* hw, OSPrimEvent* event, std::uint32_t milliseconds);
bool mifh_nic_qp_destroy_on_adapter(NIC_HW_INFO* hw, MifhQpObject* qp);
bool mifh_nic_cq_destroy_on_adapter(NIC_HW_INFO* hw, MifhCqObject* cq);

// One control request of the driver, posted by `post(context)`, and the
// bounded wait for its answer: Done (answered success), Failed (not posted,
// or answered with an error) or Unanswered (the context is forgotten: the
// adapter may still act on the request, so its memory must not be reused).
enum class MifhRequestOutcome { Done, Failed, Unanswered };
template <typename Post>
MifhRequestOutcome mifh_run_control_request(NIC_HW_INFO* hw, MifhCqpObject* cqp, const char* name,
                                            std::uint32_t milliseconds, Post post) {
  OSPrimEvent event{};
  OSPrimInitEvent(&event);
  MifhCqpCompletionContext done{};
  done.CompletionRoutine = mifh_nic_signal_event;
  done.Argument = &event;
  MifhRequestOutcome outcome = MifhRequestOutcome::Failed;
  if (const ZekStatus status = post(&done); status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("%s() returned error (0x%x)\n", name, status);
  } else if (!mifh_nic_wait_event(hw, &event, milliseconds)) {
    ZEK_LOG_FAILURE("%s() was not answered in time\n", name);
    mifh_cqp_forget_context(cqp, &done);
    outcome = MifhRequestOutcome::Unanswered;
  } else if (done.MajorCode != 0) {
    ZEK_LOG_FAILURE("%s() completed with major 0x%x minor 0x%x\n", name, done.MajorCode, done.MinorCode);
  } else {
    outcome = MifhRequestOutcome::Done;
  }
  OSPrimDestroyEvent(&event);
  return outcome;
}

// Advances the receive head for `count` requests the caller wrote and rings
// the receive doorbell through the QP's doorbell address, 255 at most a write.
// MIFH_STATUS_SUCCESS; MIFH_STATUS_FAIL without a doorbell address;
// MIFH_STATUS_NO_WQE when the ring took fewer than `count` (*posted says
// how many).
ZekStatus mifh_nic_qp_post_rq_to_doorbell(MifhQpObject* qp, std::uint32_t count, std::uint32_t* posted);
