// CQP creation, destruction, posting and the pending refill.
#include "proxy/rdma/hw/control_qp.h"

#include <atomic>
#include <cstring>

#include "include/hw/registers.h"
#include "platform/kernel/ke.h"
#include "proxy/rdma/hw/doorbell.h"
#include "proxy/rdma/hw/pool_ops.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/hw/ring.h"
#include "proxy/rdma/hw/status.h"

namespace {

constexpr std::uint32_t kCreatePolls = 1'000'000;
constexpr ULONG kCreateStallUs = 10;
constexpr std::uint32_t kDestroyPolls = 1'000'000;
constexpr ULONG kDestroyStallUs = 49;

int size_code_of(std::uint32_t wqe_count) {
  for (int code = 0; code < 4; ++code) {
    if (zekhw::kCqpRingSizes[code] == wqe_count) return code;
  }
  return -1;
}

bool cqp_is_valid(const MifhCqpObject* cqp) {
  return !ZekIsBadPointer(cqp) && !ZekIsBadPointer(cqp->Device) && cqp->Ring != nullptr && cqp->RingIndex.Size != 0;
}

// The CCQ processing moves the tail without the CQP lock; posters read it.
ZEK_OSPRIM_RING ring_snapshot(const MifhCqpObject* cqp) {
  ZEK_OSPRIM_RING ring = cqp->RingIndex;
  ring.Tail = mifh_cqp_tail(cqp);
  return ring;
}

ZekStatus acquire(MifhCqpObject* cqp) { return cqp->Acquire != nullptr ? cqp->Acquire(cqp->Lock) : ZEK_STATUS_PASS; }
ZekStatus release(MifhCqpObject* cqp) { return cqp->Release != nullptr ? cqp->Release(cqp->Lock) : ZEK_STATUS_PASS; }

std::uint32_t read_status(MifhDeviceObj* device) {
  std::uint32_t value = 0;
  mifh_read_indexed(device, zekhw::idx_queue_status(device->PciFunction), &value);
  return value;
}

void free_lock_block(MifhCqpObject* cqp, const char* caller) {
  if (cqp->Lock == nullptr) return;
  OSPrimSyncDestroySpinlockObject(cqp->Lock);
  if (OSPrimMemFree(cqp->Lock) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("%s: Couldn't Free mem for spinlock\n", caller);
  }
  cqp->Lock = nullptr;
}

}  // namespace

std::uint32_t mifh_cqp_tail(const MifhCqpObject* cqp) {
  return std::atomic_ref<const std::uint32_t>(cqp->RingIndex.Tail).load(std::memory_order_acquire);
}

void mifh_cqp_advance_tail(MifhCqpObject* cqp, std::uint32_t count) {
  if (cqp->RingIndex.Size == 0) return;
  std::atomic_ref<std::uint32_t> tail(cqp->RingIndex.Tail);
  const std::uint32_t next =
      static_cast<std::uint32_t>((std::uint64_t{tail.load(std::memory_order_relaxed)} + count) % cqp->RingIndex.Size);
  tail.store(next, std::memory_order_release);
}

ZekStatus mifh_cqp_allocate(MifhDeviceObj* device, MifhCqpObject** cqp, zekhw::MifhCqpWqe** ring,
                            zekhw::MifhCqpHostContext** host_context, std::uint32_t wqe_count) {
  if (ZekIsBadPointer(cqp) || ZekIsBadPointer(ring) || ZekIsBadPointer(host_context)) return MIFH_STATUS_FAIL;
  *cqp = nullptr;
  *ring = nullptr;
  *host_context = nullptr;
  if (size_code_of(wqe_count) < 0) {
    ZEK_LOG_FAILURE("mifh_cqp_allocate: SQWQESize (0x%x) is invalid\n", wqe_count);
    return MIFH_STATUS_INVALID_WQE_COUNT;
  }
  auto* object = static_cast<MifhCqpObject*>(mifh_allocate_qp_object());
  if (object == nullptr) {
    ZEK_LOG_FAILURE("mifh_cqp_allocate: Couldn't allocate mem for CQP object\n");
    return MIFH_STATUS_NO_OBJECT;
  }
  auto* slots = static_cast<zekhw::MifhCqpWqe*>(mifh_allocate_iwarp_sq(wqe_count));
  if (slots == nullptr) {
    ZEK_LOG_FAILURE("mifh_cqp_allocate: Couldn't allocate mem for CQP sq\n");
    mifh_free_qp_object(object);
    return MIFH_STATUS_NO_MEMORY;
  }
  auto* context = static_cast<zekhw::MifhCqpHostContext*>(mifh_allocate_iwarptoe_qp_host_context());
  if (context == nullptr) {
    ZEK_LOG_FAILURE("mifh_cqp_allocate: Couldn't allocate mem for CQP host context\n");
    mifh_free_iwarp_sq(slots, wqe_count);
    mifh_free_qp_object(object);
    return MIFH_STATUS_NO_MEMORY;
  }
  std::memset(slots, 0, std::size_t{wqe_count} * sizeof(zekhw::MifhCqpWqe));
  std::memset(context, 0, sizeof(*context));
  object->FromPools = 1;
  *cqp = object;
  *ring = slots;
  *host_context = context;
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_cqp_init(MifhDeviceObj* device, MifhCqpObject* cqp, void* device_holder, zekhw::MifhCqpWqe* ring,
                        zekhw::MifhCqpHostContext* host_context, std::uint64_t ring_pa, std::uint64_t host_context_pa,
                        std::uint32_t wqe_count) {
  if (ZekIsBadPointer(device) || ZekIsBadPointer(cqp) || ZekIsBadPointer(ring)) return MIFH_STATUS_FAIL;
  const int code = size_code_of(wqe_count);
  if (code < 0) {
    ZEK_LOG_FAILURE("mifh_cqp_init: SQWQESize (0x%x) is invalid\n", wqe_count);
    return MIFH_STATUS_INVALID_WQE_COUNT;
  }
  cqp->Device = device;
  cqp->DeviceHolder = device_holder;
  cqp->Ring = ring;
  cqp->HostContext = host_context;
  cqp->RingPa = ring_pa;
  cqp->HostContextPa = host_context_pa;
  cqp->SizeCode = static_cast<std::uint8_t>(code);
  cqp->RingIndex.Head = 0;
  cqp->RingIndex.Tail = 0;
  cqp->RingIndex.Size = wqe_count;
  cqp->Four = 4;
  void* block = nullptr;
  const ZekStatus status = OSPrimMemAllocate(&block, MIFH_CQP_LOCK_BLOCK_BYTES);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("mifh_cqp_init: Couldn't allocate mem for spinlock\n");
    return status;
  }
  cqp->Lock = static_cast<OSPrimSpinlockObject*>(block);
  OSPrimSyncInitSpinlockObject(cqp->Lock);
  cqp->Acquire = device->CqpAcquire;
  cqp->Release = device->CqpRelease;
  ZekInitializeListHead(&cqp->PendingQueue);
  device->Cqp = cqp;
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_cqp_create(MifhCqpObject* cqp, std::uint32_t cqp_id) {
  if (!cqp_is_valid(cqp)) return MIFH_STATUS_FAIL;
  MifhDeviceObj* device = cqp->Device;
  if (cqp_id > zekhw::kMaxCqpId) {
    ZEK_LOG_FAILURE("mifh_cqp_create: u32CQPId (0x%x) is invalid\n", cqp_id);
    return MIFH_STATUS_INVALID_ID;
  }
  if (cqp_id != device->PciFunction && cqp_id != device->PciFunction + 8) {
    ZEK_LOG_FAILURE("mifh_cqp_create: u32CQPId (0x%x)does not match pcifunId (0x%x)in device object\n", cqp_id,
                    device->PciFunction);
    return MIFH_STATUS_INVALID_ID;
  }
  cqp->CqpId = cqp_id;
  cqp->HostContext->word0 = zekhw::cqp_context_word0(cqp_id, cqp->SizeCode);
  cqp->HostContext->ring_pa = cqp->RingPa;
  std::atomic_thread_fence(std::memory_order_release);
  // High half first: writing the low half starts the creation.
  const unsigned f = device->PciFunction;
  mifh_write_indexed(device, zekhw::idx_cqp_context_high(f), static_cast<std::uint32_t>(cqp->HostContextPa >> 32));
  mifh_write_indexed(device, zekhw::idx_cqp_context_low(f), static_cast<std::uint32_t>(cqp->HostContextPa));
  for (std::uint32_t poll = 0; poll < kCreatePolls; ++poll) {
    if ((read_status(device) & zekhw::kStatusCqp) != 0) return MIFH_STATUS_SUCCESS;
    KeStallExecutionProcessor(kCreateStallUs);
  }
  ZEK_LOG_FAILURE("mifh_cqp_create failed FILE[%s] LINE[%d]\n", __FILE__, __LINE__);
  return MIFH_STATUS_FAIL;
}

ZekStatus mifh_cqp_destroy(MifhCqpObject* cqp) {
  if (!cqp_is_valid(cqp)) return MIFH_STATUS_FAIL;
  zekhw::MifhCqpWqe wqe{};
  wqe.op_word = zekhw::kOpWordDestroyCqp;
  wqe.object_word = cqp->CqpId;
  wqe.physical_address = cqp->HostContextPa;
  const ZekStatus status = mifh_cqp_post(cqp, &wqe, MifhPostMode::Failing, "mifh_cqp_destroy");
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("mifh_cqp_destroy: mifh_qp_destroy() returned error (0x%x)\n", status);
    return status;
  }
  // The wait runs after the post has released the CQP lock.
  std::uint32_t polls = 0;
  while ((read_status(cqp->Device) & zekhw::kStatusCqp) != 0) {
    if (++polls > kDestroyPolls) {
      ZEK_LOG_FAILURE("mifh_cqp_destroy failed FILE[%s] LINE[%d]\n", __FILE__, __LINE__);
      return MIFH_STATUS_FAIL;
    }
    KeStallExecutionProcessor(kDestroyStallUs);
  }
  free_lock_block(cqp, "mifh_cqp_destroy");
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_free_cqp_object(MifhCqpObject* cqp) {
  if (ZekIsBadPointer(cqp)) return MIFH_STATUS_FAIL;
  // Requests still held are given back rather than lost with the CQP.
  if (cqp->PendingQueue.Signature == ZEK_SIG_LIST_HEAD) {
    while (ZekListNode* node = ZekRemoveHeadList(&cqp->PendingQueue)) mifh_free_cqp_pend_q(node);
  }
  free_lock_block(cqp, "mifh_free_cqp_object");
  if (cqp->Device != nullptr && cqp->Device->Cqp == cqp) cqp->Device->Cqp = nullptr;
  if (!cqp->FromPools) return MIFH_STATUS_SUCCESS;
  if (cqp->Ring != nullptr) mifh_free_iwarp_sq(cqp->Ring, cqp->RingIndex.Size);
  if (cqp->HostContext != nullptr) {
    mifh_free_iwarptoe_qp_host_context(cqp->HostContext);
  } else {
    ZEK_LOG_FAILURE("pCQPHostContext is NULL  \n");
  }
  std::memset(static_cast<void*>(cqp), 0, sizeof(*cqp));
  mifh_free_qp_object(cqp);
  return MIFH_STATUS_SUCCESS;
}

zekhw::MifhCqpWqe* mifh_cqp_get_next_send_wqe(MifhCqpObject* cqp) {
  OSPrimMemoryLogging("cqp_post_sq head %d \n", cqp->RingIndex.Head);
  ZEK_OSPRIM_RING ring = ring_snapshot(cqp);
  if (ZekRingIsFull(&ring) || !ZekIsListEmpty(&cqp->PendingQueue)) return nullptr;
  zekhw::MifhCqpWqe* slot = &cqp->Ring[cqp->RingIndex.Head];
  const std::uint32_t moved = OSPRIM_RING_MOVE_HEAD(&ring);
  if (moved != 0) {
    ZEK_LOG_FAILURE("mifh_cqp_get_next_send_wqe: OSPRIM_RING_MOVE_HEAD u32RetCode (%x)\n", moved);
    return nullptr;
  }
  cqp->RingIndex.Head = ring.Head;
  return slot;
}

ZekStatus mifh_wqe_doorbell(MifhCqpObject* cqp, std::uint32_t count) {
  mifh_write_wqe_doorbell(cqp->Device, nullptr, cqp->CqpId, count, true);
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_cqp_post(MifhCqpObject* cqp, const zekhw::MifhCqpWqe* wqe, MifhPostMode mode, const char* caller) {
  if (!cqp_is_valid(cqp) || wqe == nullptr) return MIFH_STATUS_FAIL;
  const ZekStatus locked = acquire(cqp);
  if (locked != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("%s: CQP acquire routine returned (0x%x)\n", caller, locked);
    return locked;
  }
  ZekStatus status = MIFH_STATUS_SUCCESS;
  if (zekhw::MifhCqpWqe* slot = mifh_cqp_get_next_send_wqe(cqp)) {
    *slot = *wqe;
    slot->cqp_object = reinterpret_cast<std::uint64_t>(cqp);
    status = mifh_wqe_doorbell(cqp, 1);
  } else if (mode == MifhPostMode::Queueing) {
    auto* pending = static_cast<MifhCqpPendingRequest*>(mifh_allocate_cqp_pend_q());
    if (pending == nullptr) {
      // Without a pending buffer the request is refused, never written.
      ZEK_LOG_FAILURE("%s: Couldn't allocate a pending buffer for the request\n", caller);
      status = MIFH_STATUS_NO_MEMORY;
    } else {
      pending->Wqe = *wqe;
      pending->Wqe.cqp_object = reinterpret_cast<std::uint64_t>(cqp);
      ZekInsertTailList(&cqp->PendingQueue, &pending->Links);
    }
  } else {
    ZEK_LOG_FAILURE("%s: mifh_cqp_get_next_send_wqe returned NULL\n", caller);
    status = MIFH_STATUS_NO_WQE;
  }
  release(cqp);
  return status;
}

ZekStatus mifh_cqp_nop(MifhCqpObject* cqp) {
  zekhw::MifhCqpWqe wqe{};
  wqe.op_word = zekhw::kOpNop;
  return mifh_cqp_post(cqp, &wqe, MifhPostMode::Failing, "mifh_cqp_nop");
}

ZekStatus mifh_free_CQPPendQ_buffer(MifhCqpObject* cqp) {
  if (!cqp_is_valid(cqp)) return MIFH_STATUS_FAIL;
  const ZekStatus locked = acquire(cqp);
  if (locked != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("mifh_free_CQPPendQ_buffer: CQP acquire routine returned (0x%x)\n", locked);
    return locked;
  }
  for (;;) {
    ZEK_OSPRIM_RING ring = ring_snapshot(cqp);
    if (ZekRingIsFull(&ring)) break;
    auto* pending = reinterpret_cast<MifhCqpPendingRequest*>(ZekRemoveHeadList(&cqp->PendingQueue));
    if (pending == nullptr) break;
    cqp->Ring[cqp->RingIndex.Head] = pending->Wqe;
    OSPRIM_RING_MOVE_HEAD(&ring);
    cqp->RingIndex.Head = ring.Head;
    mifh_wqe_doorbell(cqp, 1);
    // The pool zeroes the 88-byte element as it takes it back.
    mifh_free_cqp_pend_q(pending);
  }
  return release(cqp);
}

MifhCqpCompletionContext* mifh_cqp_take_context(MifhCqpObject* cqp, std::uint32_t slot) {
  if (!cqp_is_valid(cqp) || slot >= cqp->RingIndex.Size || acquire(cqp) != ZEK_STATUS_PASS) return nullptr;
  const std::uint64_t value = cqp->Ring[slot].completion_context;
  cqp->Ring[slot].completion_context = 0;
  std::atomic_ref<std::uint64_t>(cqp->Completing).store(value, std::memory_order_release);
  release(cqp);
  return reinterpret_cast<MifhCqpCompletionContext*>(value);
}

void mifh_cqp_context_done(MifhCqpObject* cqp) {
  std::atomic_ref<std::uint64_t>(cqp->Completing).store(0, std::memory_order_release);
}

void mifh_cqp_forget_context(MifhCqpObject* cqp, const MifhCqpCompletionContext* context) {
  if (!cqp_is_valid(cqp) || context == nullptr) return;
  const auto value = reinterpret_cast<std::uint64_t>(context);
  for (;;) {
    if (acquire(cqp) != ZEK_STATUS_PASS) return;
    for (std::uint32_t i = 0; i < cqp->RingIndex.Size; ++i) {
      if (cqp->Ring[i].completion_context == value) cqp->Ring[i].completion_context = 0;
    }
    // Requests still pending are copied to the ring later with their context.
    ZekListHead* pending = &cqp->PendingQueue;
    if (pending->Signature == ZEK_SIG_LIST_HEAD && OSPrimSyncAcquireSpinlockObject(&pending->Lock) == ZEK_STATUS_PASS) {
      for (ZekListNode* node = pending->Head; node != nullptr; node = node->Next) {
        auto* request = reinterpret_cast<MifhCqpPendingRequest*>(node);
        if (request->Wqe.completion_context == value) request->Wqe.completion_context = 0;
      }
      OSPrimSyncReleaseSpinlockObject(&pending->Lock);
    }
    const bool running = std::atomic_ref<std::uint64_t>(cqp->Completing).load(std::memory_order_acquire) == value;
    release(cqp);
    if (!running) return;
    // Its routine is running in the CCQ processing: a short wait.
    KeStallExecutionProcessor(1);
  }
}
