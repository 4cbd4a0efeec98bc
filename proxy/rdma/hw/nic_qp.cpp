// The proxy driver's NIC queue pair.
#include "proxy/rdma/hw/nic_qp.h"

#include <atomic>
#include <cstring>

#include "include/hw/cqp.h"
#include "include/hw/registers.h"
#include "platform/kernel/ke.h"
#include "proxy/core/osprim/osprim_kernel.h"
#include "proxy/rdma/hw/config.h"
#include "proxy/rdma/hw/control_qp.h"
#include "proxy/rdma/hw/cq.h"
#include "proxy/rdma/hw/doorbell.h"
#include "proxy/rdma/hw/pools.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/hw/ring.h"
#include "proxy/rdma/hw/status.h"

namespace {

constexpr ULONG kStallUs = 49;
constexpr std::uint64_t kPage = 4096;

// Driver-wide transmit counters.
std::atomic<std::int32_t> g_outstanding{0};
std::atomic<std::uint64_t> g_tx_success{0};
std::atomic<std::uint64_t> g_tx_failure{0};

std::uint64_t pa_of(const void* va) {
  std::uint32_t low = 0, high = 0;
  if (va == nullptr || OSPrimGetPaFromVa(va, &low, &high) != ZEK_STATUS_PASS) return 0;
  return (std::uint64_t{high} << 32) | low;
}

// A bounded wait for a creation: a lost completion fails the attach instead
// of hanging it. When the CCQ's owner offers to drain the control
// completions, the wait does so every millisecond.
bool wait_event(NIC_HW_INFO* hw, OSPrimEvent* event, std::uint32_t milliseconds) {
  const bool drain = hw != nullptr && hw->ControlDrain != nullptr;
  const std::uint32_t slice = drain ? 1 : milliseconds;
  for (std::uint32_t waited = 0; waited < milliseconds; waited += slice) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(slice) * 10'000;
    if (KeWaitForSingleObject(OSPrimKeEvent(&event->Event), Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS)
      return true;
    if (drain) hw->ControlDrain(hw->ControlDrainContext);
  }
  return false;
}

void signal_event(void* argument) { OSPrimSetEvent(static_cast<OSPrimEvent*>(argument)); }
void set_done(void* argument) {
  std::atomic_ref<std::uint32_t>(*static_cast<std::uint32_t*>(argument)).store(1, std::memory_order_release);
}

// Waits, stalling, for a destroy's completion; the CCQ's owner drains the
// control completions between stalls when it offers to.
bool wait_done(NIC_HW_INFO* hw, std::uint32_t* done) {
  for (std::uint32_t round = 0; round < ZEKNIC_DESTROY_ROUNDS; ++round) {
    if (std::atomic_ref<std::uint32_t>(*done).load(std::memory_order_acquire) != 0) return true;
    KeStallExecutionProcessor(ZEKNIC_DESTROY_STALL_US);
    if (hw != nullptr && hw->ControlDrain != nullptr) hw->ControlDrain(hw->ControlDrainContext);
  }
  return std::atomic_ref<std::uint32_t>(*done).load(std::memory_order_acquire) != 0;
}

// Destroys the NIC QP on the adapter and waits for its word. True when the
// adapter confirmed; otherwise the request's context is forgotten.
bool destroy_qp_on_adapter(NIC_HW_INFO* hw, MifhQpObject* qp) {
  MifhDeviceObj* device = qp->Device;
  std::uint32_t done = 0;
  MifhCqpCompletionContext context{};
  context.CompletionRoutine = set_done;
  context.Argument = &done;
  zekhw::MifhCqpWqe wqe{};
  wqe.op_word = zekhw::kOpWordDestroyNicQp;
  wqe.object_word = qp->QpId;
  wqe.completion_context = reinterpret_cast<std::uint64_t>(&context);
  wqe.physical_address = qp->HostContextPa;
  // Queued when the ring is full: the destroy is always sent.
  const ZekStatus status = mifh_cqp_post(device->Cqp, &wqe, MifhPostMode::Queueing, "mifh_nic_qp_destroy");
  const bool gone = status == MIFH_STATUS_SUCCESS && wait_done(hw, &done);
  if (!gone) {
    ZEK_LOG_FAILURE("mifh_nic_qp_destroy: NIC QP %u not destroyed (0x%x); its memory is quarantined\n", qp->QpId,
                    status);
    mifh_cqp_forget_context(device->Cqp, &context);
  }
  return gone;
}

// Destroys the NIC CQ on the adapter and waits for its word (a context of
// its own: a late answer to another request cannot pass for this one).
bool destroy_cq_on_adapter(NIC_HW_INFO* hw, MifhCqObject* cq) {
  std::uint32_t done = 0;
  MifhCqpCompletionContext context{};
  context.CompletionRoutine = set_done;
  context.Argument = &done;
  const ZekStatus status = mifh_cq_destroy(cq, &context);
  const bool gone = status == MIFH_STATUS_SUCCESS && wait_done(hw, &done);
  if (!gone) {
    ZEK_LOG_FAILURE("mifh_nic_qp_destroy: NIC CQ %u not destroyed (0x%x); its ring is quarantined\n", cq->CqId, status);
    mifh_cqp_forget_context(cq->Device->Cqp, &context);
  }
  return gone;
}

// Undoes a creation that failed after the NIC CQ was made: the QP (when it
// may exist on the adapter) and the CQ are destroyed there, and what the
// adapter confirmed gone goes back to the pools, so that a later attach can
// create them again. What it did not confirm stays out of the pools.
void unwind_creation(NIC_HW_INFO* hw, MifhCqObject* cq, MifhQpObject* qp, bool qp_on_adapter) {
  if (qp != nullptr) {
    if (!qp_on_adapter || destroy_qp_on_adapter(hw, qp)) {
      mifh_free_nic_sq(qp);
    } else {
      qp->QpFlags |= MIFH_QPF_QUARANTINED;
    }
  }
  if (destroy_cq_on_adapter(hw, cq)) mifh_free_nic_cq(cq);
}

// Retires the oldest frame in flight under the ring lock; null routine and
// false when none is left.
bool retire_oldest(ZekNicTransmit* tx, ZekNicTxRoutine* routine, std::uint32_t** argument);

// Completes, as failures, every frame in flight: the adapter will never send
// them (its send queue stopped, or the queue pair is going away).
void fail_in_flight(ZekNicTransmit* tx, const char* caller) {
  if (tx->Slots == nullptr) return;
  std::uint32_t failed = 0;
  ZekNicTxRoutine routine = nullptr;
  std::uint32_t* argument = nullptr;
  while (retire_oldest(tx, &routine, &argument)) {
    ++failed;
    g_tx_failure.fetch_add(1);
    if (routine != nullptr) routine(argument);
  }
  if (failed != 0) ZEK_LOG_FAILURE("%s: %u frames in flight completed as failures\n", caller, failed);
}

// The frame's kernel scatter/gather list: one element per page it touches.
bool map_frame(ZekNicTxSlot* slot, const void* frame, std::uint32_t length) {
  std::uint32_t count = 0;
  auto address = reinterpret_cast<std::uintptr_t>(frame);
  std::uint32_t left = length;
  while (left > 0) {
    if (count == MIFH_NIC_MAX_FRAGMENTS) return false;
    const std::uint32_t in_page = static_cast<std::uint32_t>(kPage - address % kPage);
    const std::uint32_t chunk = left < in_page ? left : in_page;
    const std::uint64_t pa = pa_of(reinterpret_cast<const void*>(address));
    if (pa == 0) return false;
    slot->Sgl[count++] = MifhSglElement{pa, chunk, 0};
    address += chunk;
    left -= chunk;
  }
  slot->Frame = frame;
  slot->Length = length;
  slot->FragmentCount = count;
  return true;
}

void unmap_frame(ZekNicTxSlot* slot) {
  slot->Frame = nullptr;
  slot->Length = 0;
  slot->FragmentCount = 0;
  std::memset(slot->Sgl, 0, sizeof slot->Sgl);
}

}  // namespace

ZekNicTransmit* ZekNicTransmitOf(MifhCqObject* cq) { return reinterpret_cast<ZekNicTransmit*>(cq->OwnerArea); }

void ZekNicTxBegin() { g_outstanding.fetch_add(1); }
std::int32_t ZekNicTxOutstanding() { return g_outstanding.load(); }
std::uint64_t ZekNicTxSuccesses() { return g_tx_success.load(); }
std::uint64_t ZekNicTxFailures() { return g_tx_failure.load(); }

void ZekNicTxComplete(std::uint32_t* completion_word) {
  g_outstanding.fetch_sub(1);
  if (completion_word != nullptr) {
    std::atomic_ref<std::uint32_t>(*completion_word).store(0, std::memory_order_release);
  }
}

ZekStatus mifh_nic_qp_init(MifhDeviceObj* device, MifhQpObject* qp, void* sq, void* rq, void* host_context,
                           std::uint64_t sq_pa, std::uint64_t rq_pa, std::uint64_t host_context_pa, std::uint32_t,
                           std::uint32_t, std::uint32_t efb_count, std::uint32_t qp_id) {
  if (ZekIsBadPointer(device) || ZekIsBadPointer(qp)) return MIFH_STATUS_FAIL;
  if (efb_count != 0) {
    ZEK_LOG_FAILURE("mifh_nic_qp_init: invalid efb count (0x%x)\n", efb_count);
    return MIFH_STATUS_EFB;
  }
  qp->Device = device;
  qp->Sq = sq;
  qp->Rq = rq;
  qp->HostContext = host_context;
  qp->SqPa = sq_pa;
  qp->RqPa = rq_pa;
  qp->HostContextPa = host_context_pa;
  // Whatever was asked, the NIC queue pair has 512 requests a queue.
  qp->SqWqeCount = 512;
  qp->RqWqeCount = 512;
  qp->SqRing = {0, 0, 512};
  qp->RqRing = {0, 0, 512};
  qp->QueueKind = MIFH_QP_TYPE_NIC;
  qp->QpType = MIFH_QP_TYPE_NIC;
  qp->QpId = qp_id;
  qp->Doorbell = reinterpret_cast<volatile std::uint32_t*>(device->RegisterWindow + zekhw::kRegWqeDoorbell);
  return MIFH_STATUS_SUCCESS;
}

ZekStatus Zek_Init_k_zeknic(void*, NIC_HW_INFO* hw, MifhQpObject** nic_qp, MifhCqObject** nic_cq) {
  if (ZekIsBadPointer(hw) || ZekIsBadPointer(nic_qp) || ZekIsBadPointer(nic_cq)) return MIFH_STATUS_FAIL;
  MifhDeviceObj* device = &hw->Device;
  const std::uint32_t f = device->PciFunction;
  const std::uint32_t id = zekhw::proxy_nic_qp_id(f);
  hw->ProxyNicQpId = id;
  hw->ProxyNicCqId = id;
  OSPrimEvent* events[2] = {};
  for (auto& e : events) {
    void* block = nullptr;
    if (OSPrimMemAllocate(&block, sizeof(OSPrimEvent)) != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE(&e == &events[0] ? "Zek_Init_k_zeknic: Couldn't allocate mem for event object\n"
                                       : "Zek_Init_k_zeknic: Couldn't allocate mem for event 2 object\n");
      if (events[0] != nullptr) OSPrimMemFree(events[0]);
      return MIFH_STATUS_FAIL;
    }
    e = static_cast<OSPrimEvent*>(block);
  }
  auto free_events = [&] {
    for (auto* e : events) {
      OSPrimDestroyEvent(e);
      OSPrimMemFree(e);
    }
  };

  MifhCqObject* cq = nullptr;
  void* ring = nullptr;
  ZekStatus status = mifh_nic_cq_allocate(&cq, &ring);
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("Zek_Init_k_zeknic: mifh_nic_cq_allocate() returned error (0x%x)\n", status);
    free_events();
    return status;
  }
  mifh_nic_cq_prepare(cq, device, id, ring);

  OSPrimInitEvent(events[0]);
  MifhCqpCompletionContext cq_done{};
  cq_done.CompletionRoutine = signal_event;
  cq_done.Argument = events[0];
  KeStallExecutionProcessor(kStallUs);
  status = mifh_nic_cq_create(cq, f + 8, &cq_done);
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("Zek_Init_k_zeknic: mifh_nic_cq_create() returned error (0x%x)\n", status);
    mifh_free_nic_cq(cq);
    free_events();
    return status;
  }
  const bool cq_answered = wait_event(hw, events[0], ZEKNIC_CREATE_WAIT_MS);
  if (!cq_answered || cq_done.MajorCode != 0) {
    ZEK_LOG_FAILURE("Zek_Init_k_zeknic: NIC CQ %u was not created (major 0x%x minor 0x%x)\n", id, cq_done.MajorCode,
                    cq_done.MinorCode);
    mifh_cqp_forget_context(device->Cqp, &cq_done);
    // Refused, the CQ does not exist; unanswered, the adapter may yet take
    // the ring: it is kept, never reused.
    if (cq_answered) mifh_free_nic_cq(cq);
    free_events();
    return MIFH_STATUS_FAIL;
  }
  KeStallExecutionProcessor(kStallUs);
  KeStallExecutionProcessor(kStallUs);

  MifhQpObject* qp = nullptr;
  void *sq = nullptr, *rq = nullptr, *context = nullptr;
  status = mifh_nic_qp_allocate(&qp, device, &sq, &rq, &context, 512, 512, 0);
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("Zek_Init_k_zeknic: mifh_nic_qp_allocate() returned error (0x%x)\n", status);
    unwind_creation(hw, cq, nullptr, false);
    free_events();
    return status;
  }
  KeStallExecutionProcessor(kStallUs);
  status = mifh_nic_qp_init(device, qp, sq, rq, context, qp->SqPa, qp->RqPa, qp->HostContextPa, 512, 512, 0, id);
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("Zek_Init_k_zeknic: mifh_nic_qp_init() returned error (0x%x)\n", status);
    unwind_creation(hw, cq, qp, false);
    free_events();
    return status;
  }
  const MifhNicContextAttributes attributes{0, 0, static_cast<std::uint16_t>(id), static_cast<std::uint16_t>(id), 0,
                                            0, 0, static_cast<std::uint8_t>(f)};
  status = mifh_nic_qp_setcontext(qp, &attributes);
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("Zek_Init_k_zeknic: mifh_nic_qp_setcontext() returned error (0x%x)\n", status);
    unwind_creation(hw, cq, qp, false);
    free_events();
    return status;
  }
  KeStallExecutionProcessor(kStallUs);
  OSPrimInitEvent(events[1]);
  MifhCqpCompletionContext qp_done{};
  qp_done.CompletionRoutine = signal_event;
  qp_done.Argument = events[1];
  KeStallExecutionProcessor(kStallUs);
  status = mifh_nic_qp_create(qp, nullptr, &qp_done);
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("Zek_Init_k_zeknic: mifh_nic_qp_create() returned error (0x%x)\n", status);
    unwind_creation(hw, cq, qp, false);
    free_events();
    return status;
  }
  const bool qp_answered = wait_event(hw, events[1], ZEKNIC_CREATE_WAIT_MS);
  if (!qp_answered || qp_done.MajorCode != 0) {
    ZEK_LOG_FAILURE("Zek_Init_k_zeknic: NIC QP %u was not created (major 0x%x minor 0x%x)\n", id, qp_done.MajorCode,
                    qp_done.MinorCode);
    mifh_cqp_forget_context(device->Cqp, &qp_done);
    // Unanswered, the QP may exist: it is destroyed before the CQ it uses.
    unwind_creation(hw, cq, qp, !qp_answered);
    free_events();
    return MIFH_STATUS_FAIL;
  }
  qp->HwState = MIFH_QP_CREATED;

  void* slots = nullptr;
  if (OSPrimMemDMAAllocate(&slots, ZEKNIC_TX_BLOCK_BYTES) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("Zek_Init_k_zeknic: Couldn't allocate mem for zeknic sq context(0x%x)\n", ZEKNIC_TX_BLOCK_BYTES);
    unwind_creation(hw, cq, qp, true);
    free_events();
    return MIFH_STATUS_NO_MEMORY;
  }
  ZekNicTransmit* tx = ZekNicTransmitOf(cq);
  std::memset(tx, 0, sizeof *tx);
  tx->Qp = qp;
  tx->HwInfo = hw;
  tx->Slots = static_cast<ZekNicTxSlot*>(slots);
  tx->Ring = {0, 0, ZEKNIC_TX_SLOTS};
  hw->ProxyNicQp = qp;
  hw->ProxyNicCq = cq;
  free_events();
  OSPrimSyncInitSpinlockObject(&tx->Lock);
  *nic_qp = qp;
  *nic_cq = cq;
  return MIFH_STATUS_SUCCESS;
}

bool DoWriteProc(NIC_HW_INFO* hw, void*, const void* frame, std::uint32_t length, std::uint32_t* completion_word) {
  MifhCqObject* cq = ZekIsBadPointer(hw) ? nullptr : hw->ProxyNicCq;
  bool queued = false;
  if (cq == nullptr || ZekIsBadPointer(frame)) {
    OSPrimMemoryLogging("DoWriteProc: FILE[%s] line[%d] \n", __FILE__, __LINE__);
  } else if (length < ZEKNIC_MIN_FRAME || length > ZEKNIC_MAX_FRAME) {
    // The adapter refuses such a frame and stops its send queue: never posted.
    ZEK_LOG_FAILURE("DoWriteProc: frame length %u outside %u..%u\n", length, ZEKNIC_MIN_FRAME, ZEKNIC_MAX_FRAME);
  } else if (std::atomic_ref<std::uint32_t>(ZekNicTransmitOf(cq)->Stopped).load(std::memory_order_acquire) != 0) {
    // Nothing posted now would ever be sent: fail at once, never wait.
    ZEK_LOG_FAILURE("DoWriteProc: the NIC send queue has stopped\n");
  } else {
    ZekNicTransmit* tx = ZekNicTransmitOf(cq);
    OSPrimSyncAcquireSpinlockObject(&tx->Lock);
    // A full ring is checked again after a delay, with the lock released so
    // that the send completions which free slots can take it.
    for (std::uint32_t check = 1; ZekRingIsFull(&tx->Ring) && check < ZEKNIC_FULL_CHECKS && tx->Stopped == 0; ++check) {
      OSPrimSyncReleaseSpinlockObject(&tx->Lock);
      OSPrimSleepDelay(nullptr, ZEKNIC_FULL_DELAY_US);
      OSPrimSyncAcquireSpinlockObject(&tx->Lock);
    }
    if (!ZekRingIsFull(&tx->Ring) && tx->Stopped == 0) {
      ZekNicTxSlot* slot = &tx->Slots[tx->Ring.Head];
      std::memset(reinterpret_cast<std::uint8_t*>(slot) + ZEKNIC_TX_SLOT_CLEAR_FIRST, 0,
                  ZEKNIC_TX_SLOT_CLEAR_END - ZEKNIC_TX_SLOT_CLEAR_FIRST);
      if (map_frame(slot, frame, length)) {
        MifhNicSendRequest request{};
        request.Fragments = slot->Sgl;
        request.FragmentCount = slot->FragmentCount;
        request.TotalLength = length;
        // The transmit's two flag bytes: bit 22, and no checksum offload
        // (the stack computes its own checksums).
        request.Flag22 = 1;
        request.NoChecksum = 1;
        slot->Routine = ZekNicTxComplete;
        slot->Argument = completion_word;
        if (mifh_nic_qp_post_sq(tx->Qp, &request) == MIFH_STATUS_SUCCESS) {
          OSPRIM_RING_MOVE_HEAD(&tx->Ring);
          queued = true;
        } else {
          // The slot stays free, and so does its mapping.
          unmap_frame(slot);
          slot->Routine = nullptr;
          slot->Argument = nullptr;
        }
      } else {
        unmap_frame(slot);
      }
    }
    OSPrimSyncReleaseSpinlockObject(&tx->Lock);
  }
  if (queued) {
    g_tx_success.fetch_add(1);
  } else {
    g_tx_failure.fetch_add(1);
    ZekNicTxComplete(completion_word);
  }
  return queued;
}

namespace {

bool retire_oldest(ZekNicTransmit* tx, ZekNicTxRoutine* routine, std::uint32_t** argument) {
  OSPrimSyncAcquireSpinlockObject(&tx->Lock);
  if (tx->Slots == nullptr || ZekRingIsEmpty(&tx->Ring)) {
    OSPrimSyncReleaseSpinlockObject(&tx->Lock);
    return false;
  }
  ZekNicTxSlot* slot = &tx->Slots[tx->Ring.Tail];
  OSPRIM_RING_MOVE_TAIL(&tx->Ring);
  *routine = slot->Routine;
  *argument = slot->Argument;
  unmap_frame(slot);
  slot->Routine = nullptr;
  slot->Argument = nullptr;
  OSPRIM_RING_MOVE_TAIL(&tx->Qp->SqRing);
  OSPrimSyncReleaseSpinlockObject(&tx->Lock);
  return true;
}

}  // namespace

void ZekNicSendComplete(MifhCqObject* cq, std::uint32_t cqe_status) {
  if (ZekIsBadPointer(cq)) return;
  ZekNicTransmit* tx = ZekNicTransmitOf(cq);
  ZekNicTxRoutine routine = nullptr;
  std::uint32_t* argument = nullptr;
  if (!retire_oldest(tx, &routine, &argument)) {
    ZEK_LOG_FAILURE("ZekNicSendComplete: a send completion with no frame in flight\n");
    return;
  }
  const std::uint32_t errors = (cqe_status & zekhw::kNicCqeErrorMask) >> zekhw::kNicCqeErrorShift;
  if (errors != 0) {
    // The adapter refused the frame and stopped its send queue: the frame
    // failed, and so does every frame behind it, which it will never take.
    ZEK_LOG_FAILURE("ZekNicSendComplete: the adapter refused a frame (0x%x); the send queue has stopped\n", errors);
    std::atomic_ref<std::uint32_t>(tx->Stopped).store(1, std::memory_order_release);
    g_tx_failure.fetch_add(1);
    if (routine != nullptr) routine(argument);
    fail_in_flight(tx, "ZekNicSendComplete");
    return;
  }
  if (routine != nullptr) routine(argument);
}

ZekStatus mifh_nic_qp_destroy(void*, MifhQpObject* qp, MifhCqObject* cq) {
  if (ZekIsBadPointer(qp) || ZekIsBadPointer(cq) || ZekIsBadPointer(qp->Device)) return MIFH_STATUS_FAIL;
  MifhDeviceObj* device = qp->Device;
  ZekNicTransmit* tx = ZekNicTransmitOf(cq);
  NIC_HW_INFO* hw = tx->HwInfo;
  mifh_write_field_5000(device, 0);
  for (int i = 0; i < 20; ++i) KeStallExecutionProcessor(kStallUs);
  if (device->StateWord == 7) mifh_write_field_5000(device, 1);

  ZekStatus result = MIFH_STATUS_SUCCESS;
  // Without the adapter's word that the QP is gone, its rings and context
  // may still be read and written: they are kept out of the pools for good.
  if (destroy_qp_on_adapter(hw, qp)) {
    mifh_free_nic_sq(qp);
  } else {
    qp->QpFlags |= MIFH_QPF_QUARANTINED;
    result = MIFH_STATUS_FAIL;
  }
  const bool cq_gone = destroy_cq_on_adapter(hw, cq);
  if (!cq_gone) result = MIFH_STATUS_FAIL;
  // Frames the adapter will never send now complete, as failures.
  fail_in_flight(tx, "mifh_nic_qp_destroy");
  tx->Lock.Signature = 0;
  if (tx->Slots != nullptr) OSPrimMemDMAFree(tx->Slots);
  tx->Slots = nullptr;
  if (cq_gone) mifh_free_nic_cq(cq);
  if (hw != nullptr) {
    hw->ProxyNicCq = nullptr;
    hw->ProxyNicQp = nullptr;
  }
  return result;
}

ZekStatus mifh_nic_qp_post_rq_to_doorbell(MifhQpObject* qp, std::uint32_t count, std::uint32_t* posted) {
  if (ZekIsBadPointer(qp) || ZekIsBadPointer(posted)) return MIFH_STATUS_FAIL;
  if (qp->Doorbell == nullptr) return MIFH_STATUS_FAIL;
  std::uint32_t n = 0;
  for (; n < count; ++n) {
    if (ZekRingIsFull(&qp->RqRing)) {
      ZEK_LOG_FAILURE("mifh_nic_qp_post_rq: QP RQ is full H[%d] T[%d] Size[%d], work %d\n", qp->RqRing.Head,
                      qp->RqRing.Tail, qp->RqRing.Size, count);
      break;
    }
    OSPRIM_RING_MOVE_HEAD(&qp->RqRing);
  }
  *posted = n;
  mifh_write_wqe_doorbell(qp->Device, qp->Doorbell, qp->QpId, n, false);
  return n == count ? MIFH_STATUS_SUCCESS : MIFH_STATUS_NO_WQE;
}

void mifh_nic_signal_event(void* event) { signal_event(event); }
bool mifh_nic_wait_event(NIC_HW_INFO* hw, OSPrimEvent* event, std::uint32_t milliseconds) {
  return wait_event(hw, event, milliseconds);
}
bool mifh_nic_qp_destroy_on_adapter(NIC_HW_INFO* hw, MifhQpObject* qp) { return destroy_qp_on_adapter(hw, qp); }
bool mifh_nic_cq_destroy_on_adapter(NIC_HW_INFO* hw, MifhCqObject* cq) { return destroy_cq_on_adapter(hw, cq); }

void mifh_nic_cq_prepare(MifhCqObject* cq, MifhDeviceObj* device, std::uint32_t id, void* ring) {
  std::memset(ring, 0, MIFH_NIC_CQ_ENTRIES * MIFH_NIC_CQE_BYTES);
  cq->Device = device;
  cq->CqId = id;
  cq->FlagV = 0;
  cq->FlagP = 0;
  cq->PageList = nullptr;
  cq->ElementCount = MIFH_NIC_CQ_ENTRIES;
  cq->ParameterWord = 0;
  cq->Kind = MIFH_CQ_KIND_NIC;
  cq->Enable = 1;
  cq->Signature = MIFH_CQ_SIGNATURE;
  cq->UserDoorbell = nullptr;
  cq->Ring = ring;
  cq->RingIndex = {MIFH_NIC_CQ_ENTRIES - 1, 0, MIFH_NIC_CQ_ENTRIES};
  cq->RingPa = pa_of(ring);
}
