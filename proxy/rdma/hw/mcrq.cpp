// The multicast receive queue service.
#include "proxy/rdma/hw/mcrq.h"

#include <atomic>
#include <cstring>

#include "include/hw/nic.h"
#include "include/zek/interfaces.h"
#include "include/zek/ioctl.h"
#include "include/zek/registry.h"
#include "proxy/core/osprim/osprim_kernel.h"
#include "proxy/rdma/hw/config.h"
#include "proxy/rdma/hw/control_qp.h"
#include "proxy/rdma/hw/cq.h"
#include "proxy/rdma/hw/nic_qp.h"
#include "proxy/rdma/hw/qp.h"
#include "proxy/rdma/hw/status.h"

namespace {

struct McrqQueue {
  FAST_MUTEX Lock;           // the queue's requests
  std::atomic<bool> Open;    // read by the arrival callback
  std::uint32_t Generation;  // counts opens and closes: a drain sees its queue go
  NIC_HW_INFO* Hw;           // the function's hardware while its adapter is attached
  // The client: a user client's process and handle, or a kernel client.
  bool User;
  HANDLE OwnerProcess;
  PFILE_OBJECT OwnerFile;
  ZekMcrqCallback Callback;
  void* CallbackContext;
  // The queues on the adapter, and the buffer area.
  std::atomic<MifhCqObject*> Cq;
  MifhQpObject* Qp;
  NIC_HW_INFO* OpenedOn;  // the hardware the queues were made on
  void* Area;
  std::uint64_t AreaPa;
  PMDL AreaMdl;
  void* AreaUser;
  std::uint32_t Outstanding;  // frames polled and not yet released
  // The completion-flag ring: the callback writes, the drain reads.
  std::uint32_t Flags[ZEK_MCRQ_FLAG_ENTRIES];
  std::atomic<std::uint32_t> Read;
  std::atomic<std::uint32_t> Write;
  std::atomic<std::uint64_t> Overflows;
  KEVENT Arrival;  // the blocking object: set by an arrival, a wake or a close
};

McrqQueue g_queues[ZEK_MCRQ_MAX_ADAPTERS];
std::atomic<bool> g_ready{false};

const ZekMcrqKernelVerbs g_table = {
    ZEK_k_mcrq_get_adapter,     ZEK_k_mcrq_open, ZEK_k_mcrq_close,          ZEK_k_mcrq_get_info, ZEK_k_mcrq_set_user,
    ZEK_k_mcrq_poll_completion, ZEK_k_mcrq_arm,  ZEK_k_mcrq_release_buffer,
};

constexpr std::uint32_t kMcrqCqEntries = MIFH_NIC_CQ_ENTRIES;
constexpr std::uint32_t kRingSlots = 512;  // the NIC QP's receive ring
static_assert(ZEK_MCRQ_BUFFERS == kRingSlots, "ring slot i holds buffer i");

std::uint64_t pa_of(const void* va) {
  std::uint32_t low = 0, high = 0;
  if (va == nullptr || OSPrimGetPaFromVa(va, &low, &high) != ZEK_STATUS_PASS) return 0;
  return (std::uint64_t{high} << 32) | low;
}

McrqQueue* queue_of(std::uint64_t handle) {
  return g_ready.load() && handle < ZEK_MCRQ_MAX_ADAPTERS ? &g_queues[handle] : nullptr;
}

std::uint32_t function_of(const McrqQueue& q) { return q.OpenedOn->Device.PciFunction; }
std::uint32_t proxy_slot_of(const McrqQueue& q) { return zekhw::proxy_mac_slot(function_of(q) % 4); }

// Takes the queues down on the adapter and returns to the pools what it
// confirmed gone (what it did not stays out of them). Lock held.
void destroy_on_adapter(McrqQueue& q) {
  NIC_HW_INFO* hw = q.OpenedOn;
  MifhCqObject* cq = q.Cq.exchange(nullptr);
  if (hw == nullptr) return;
  MifhDeviceObj* device = &hw->Device;
  // All multicast stays on for the slot: the host stack's interface takes
  // its group frames through it for as long as the driver is attached (the
  // detach turns it off).
  if (cq != nullptr) {
    // Entries left on the queue go back to the adapter.
    zekhw::MifhNicCqe e{};
    std::uint32_t left = 0;
    while (left < kMcrqCqEntries && mifh_nic_cqe_read(cq, &e) == MIFH_STATUS_SUCCESS) {
      ++left;
      if ((e.status & zekhw::kNicCqeSend) != 0) {
        ZEK_LOG_FAILURE("ZEK_k_mcrq_close: send completion 0x%x on the receive queue\n", e.status);
      }
      mifh_cq_release_cqes(device, cq, 1, false);
    }
  }
  if (q.Qp != nullptr) {
    if ((q.Qp->QpFlags & MIFH_QPF_QUARANTINED) == 0 && mifh_nic_qp_destroy_on_adapter(hw, q.Qp)) {
      mifh_free_nic_sq(q.Qp);
    }
    q.Qp = nullptr;
  }
  if (cq != nullptr && mifh_nic_cq_destroy_on_adapter(hw, cq)) mifh_free_nic_cq(cq);
  q.OpenedOn = nullptr;
}

// Unmaps the area from its client when this is the client's process, and
// frees it once nothing maps it. Lock held.
void release_area(McrqQueue& q) {
  if (q.AreaMdl != nullptr) {
    if (PsGetCurrentProcessId() != q.OwnerProcess) return;  // only the client's process undoes its mapping
    MmUnmapLockedPages(q.AreaUser, q.AreaMdl);
    IoFreeMdl(q.AreaMdl);
    q.AreaMdl = nullptr;
    q.AreaUser = nullptr;
  }
  if (q.Area != nullptr) {
    OSPrimMemDMAFree(q.Area);
    q.Area = nullptr;
    q.AreaPa = 0;
  }
}

void forget_client(McrqQueue& q) {
  q.User = false;
  q.OwnerProcess = nullptr;
  q.OwnerFile = nullptr;
  q.Callback = nullptr;
  q.CallbackContext = nullptr;
}

// Close: a drain waiting on the queue is woken first, then the queues go
// from the adapter and the area from the client. Lock held.
std::uint32_t close_locked(McrqQueue& q) {
  if (!q.Open.load() && q.Area == nullptr) return ZEK_MCRQ_STATUS_FAIL;
  q.Open.store(false);
  ++q.Generation;
  KeSetEvent(&q.Arrival, 0, FALSE);
  destroy_on_adapter(q);
  release_area(q);
  if (q.Area == nullptr) forget_client(q);
  q.Outstanding = 0;
  return ZEK_MCRQ_STATUS_OK;
}

// ResetMCRQ: the area, the CQ (F + 8) and QP 1 with every buffer but one
// posted, all multicast of the function's proxy slot. Lock held; the queue
// is closed and owns nothing.
std::uint32_t reset_locked(McrqQueue& q) {
  NIC_HW_INFO* hw = q.Hw;
  if (hw == nullptr) {
    ZEK_LOG_FAILURE("ZEK_k_mcrq_open: Reset Failed\n");
    return ZEK_MCRQ_STATUS_FAIL;
  }
  MifhDeviceObj* device = &hw->Device;
  const std::uint32_t f = device->PciFunction;
  q.Read.store(0);
  q.Write.store(0);
  q.Overflows.store(0);
  q.Outstanding = 0;
  KeClearEvent(&q.Arrival);
  if (OSPrimMemDMAAllocate(&q.Area, ZEK_MCRQ_AREA_BYTES) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("ResetMCRQ: Couldn't allocate the buffer area (0x%x)\n", ZEK_MCRQ_AREA_BYTES);
    q.Area = nullptr;
    return ZEK_MCRQ_STATUS_FAIL;
  }
  std::memset(q.Area, 0, ZEK_MCRQ_AREA_BYTES);
  q.AreaPa = pa_of(q.Area);
  q.OpenedOn = hw;

  MifhCqObject* cq = nullptr;
  void* ring = nullptr;
  if (const ZekStatus status = mifh_nic_cq_allocate(&cq, &ring); status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("ResetMCRQ: mifh_nic_cq_allocate() returned error (0x%x)\n", status);
    return ZEK_MCRQ_STATUS_FAIL;
  }
  mifh_nic_cq_prepare(cq, device, zekhw::mcrq_cq_id(f), ring);
  const MifhRequestOutcome created =
      mifh_run_control_request(hw, device->Cqp, "ResetMCRQ: mifh_nic_cq_create", ZEKNIC_CREATE_WAIT_MS,
                               [&](MifhCqpCompletionContext* done) { return mifh_nic_cq_create(cq, f + 8, done); });
  if (created != MifhRequestOutcome::Done) {
    // Unanswered, the adapter may yet take the ring: it is kept, never reused.
    if (created == MifhRequestOutcome::Failed) mifh_free_nic_cq(cq);
    return ZEK_MCRQ_STATUS_FAIL;
  }
  q.Cq.store(cq);
  mifh_cq_arm(cq, false, true);

  MifhQpObject* qp = nullptr;
  void *sq = nullptr, *rq = nullptr, *context = nullptr;
  if (const ZekStatus status = mifh_nic_qp_allocate(&qp, device, &sq, &rq, &context, 512, 512, 0);
      status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("ResetMCRQ: mifh_nic_qp_allocate() returned error (0x%x)\n", status);
    return ZEK_MCRQ_STATUS_FAIL;
  }
  mifh_nic_qp_init(device, qp, sq, rq, context, qp->SqPa, qp->RqPa, qp->HostContextPa, 512, 512, 0, zekhw::kMcrqQpId);
  const auto frame = static_cast<std::uint16_t>(ZEK_MCRQ_FRAME_BYTES + 28);
  const MifhNicContextAttributes attributes{1, 0, frame, frame, 0, 3, 1, static_cast<std::uint8_t>(f)};
  if (const ZekStatus status = mifh_nic_qp_setcontext(qp, &attributes); status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("McrqiSetQpContext returned error (0x%x)\n", status);
  }
  auto* wqes = static_cast<zekhw::MifhNicRqWqe*>(qp->Rq);
  for (std::uint32_t i = 0; i < kRingSlots; ++i) {
    std::memset(&wqes[i], 0, sizeof wqes[i]);
    wqes[i].buffer_length = ZEK_MCRQ_BUFFER_BYTES;
    wqes[i].buffer_pa = q.AreaPa + std::uint64_t{i} * ZEK_MCRQ_BUFFER_BYTES;
  }
  if (mifh_run_control_request(hw, device->Cqp, "ResetMCRQ: mifh_nic_qp_create", ZEKNIC_CREATE_WAIT_MS,
                               [&](MifhCqpCompletionContext* done) { return mifh_nic_qp_create(qp, nullptr, done); }) !=
      MifhRequestOutcome::Done) {
    // Unanswered, the QP may exist on the adapter: the close destroys it.
    q.Qp = qp;
    return ZEK_MCRQ_STATUS_FAIL;
  }
  q.Qp = qp;
  qp->HwState = MIFH_QP_CREATED;
  std::uint32_t posted = 0;
  mifh_nic_qp_post_rq(qp, ZEK_MCRQ_BUFFERS - 1, &posted);
  mifh_enable_multicast_all(device, proxy_slot_of(q), 1);
  return ZEK_MCRQ_STATUS_OK;
}

std::uint32_t open_locked(McrqQueue& q, std::uint32_t number) {
  if (q.Open.load() || q.Area != nullptr) {
    ZEK_LOG_FAILURE("Adapter %x in use\n", number);
    return ZEK_MCRQ_STATUS_FAIL;
  }
  const std::uint32_t status = reset_locked(q);
  if (status != ZEK_MCRQ_STATUS_OK) {
    destroy_on_adapter(q);
    release_area(q);
    return status;
  }
  ++q.Generation;
  q.Open.store(true);
  return ZEK_MCRQ_STATUS_OK;
}

// The user client's queue for a request: open, opened on this handle in
// this process.
bool is_callers(const McrqQueue& q, PFILE_OBJECT file) {
  return q.Open.load() && q.User && q.OwnerFile == file && q.OwnerProcess == PsGetCurrentProcessId();
}

std::uint32_t poll_locked(McrqQueue& q, std::uint32_t* offset, std::uint32_t* length) {
  MifhCqObject* cq = q.Cq.load();
  if (cq == nullptr || q.Qp == nullptr) return ZEK_MCRQ_STATUS_FAIL;
  zekhw::MifhNicCqe e{};
  for (;;) {
    if (mifh_nic_cqe_read(cq, &e) != MIFH_STATUS_SUCCESS) return ZEK_MCRQ_STATUS_CQ_EMPTY;
    mifh_cq_release_cqes(&q.OpenedOn->Device, cq, 1, false);
    if ((e.status & zekhw::kNicCqeSend) == 0) break;
    ZEK_LOG_FAILURE("ZEK_k_mcrq_poll_completion: send completion 0x%x on the receive queue\n", e.status);
  }
  const std::uint32_t slot = (e.index & zekhw::kNicCqeIndexMask) % kRingSlots;
  const bool good = (e.status & zekhw::kNicCqeErrorMask) == 0;
  *offset = slot * ZEK_MCRQ_BUFFER_BYTES;
  *length = good ? e.status & zekhw::kNicCqeLengthMask : 0;
  if (*length > ZEK_MCRQ_BUFFER_BYTES) *length = 0;
  ++q.Outstanding;
  return ZEK_MCRQ_STATUS_OK;
}

std::uint32_t release_locked(McrqQueue& q, std::uint32_t count) {
  if (count == 0) {
    ZEK_LOG_FAILURE("ZEK_u_mcrq_qp_post_rq_user(): NumberBuffersToRelease is 0\n");
    return ZEK_MCRQ_STATUS_BAD_COUNT;
  }
  if (count > q.Outstanding || q.Qp == nullptr) {
    ZEK_LOG_FAILURE("ZEK_u_mcrq_qp_post_rq_user(): %u buffers released, %u taken\n", count, q.Outstanding);
    return ZEK_MCRQ_STATUS_BAD_COUNT;
  }
  MifhQpObject* qp = q.Qp;
  qp->RqRing.Tail = (qp->RqRing.Tail + count) % qp->RqRing.Size;
  std::uint32_t posted = 0;
  const ZekStatus status = mifh_nic_qp_post_rq(qp, count, &posted);
  q.Outstanding -= count;
  return status == MIFH_STATUS_SUCCESS ? ZEK_MCRQ_STATUS_OK : ZEK_MCRQ_STATUS_FAIL;
}

// The drain: waits (bounded) unless flags wait already, then copies at most
// a record's worth and moves the read index past them.
std::uint32_t drain(McrqQueue& q, PFILE_OBJECT file, ZekMcrqDrainRecord* r) {
  r->Count = 0;
  ExAcquireFastMutex(&q.Lock);
  if (!is_callers(q, file)) {
    ExReleaseFastMutex(&q.Lock);
    return ZEK_MCRQ_STATUS_INVALID_HANDLE;
  }
  const std::uint32_t generation = q.Generation;
  ExReleaseFastMutex(&q.Lock);
  if (q.Read.load(std::memory_order_acquire) == q.Write.load(std::memory_order_acquire)) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(ZEK_MCRQ_DRAIN_WAIT_MS) * 10'000;
    KeWaitForSingleObject(&q.Arrival, Executive, KernelMode, FALSE, &timeout);
  }
  ExAcquireFastMutex(&q.Lock);
  std::uint32_t status = ZEK_MCRQ_STATUS_OK;
  if (!q.Open.load() || q.Generation != generation) {
    status = ZEK_MCRQ_STATUS_FAIL;  // closed while it waited
  } else {
    std::uint32_t read = q.Read.load(std::memory_order_relaxed);
    const std::uint32_t write = q.Write.load(std::memory_order_acquire);
    while (read != write && r->Count < ZEK_MCRQ_DRAIN_ENTRIES) {
      r->Flags[r->Count++] = q.Flags[read];
      read = (read + 1) % ZEK_MCRQ_FLAG_ENTRIES;
    }
    q.Read.store(read, std::memory_order_release);
  }
  ExReleaseFastMutex(&q.Lock);
  return status;
}

std::uint32_t open_user(PFILE_OBJECT file, ZekMcrqOpenRecord* r) {
  if (r->AdapterNumber >= ZEK_MCRQ_MAX_ADAPTERS) {
    ZEK_LOG_FAILURE("Open->AdapterNumber > MAX_HBA_COUNT\n");
    return ZEK_MCRQ_STATUS_FAIL;
  }
  if (r->MapDoorbell != 0) {
    ZEK_LOG_FAILURE("ZEK_uk_mcrq_open_user: the doorbell page is not mapped into a process\n");
    return ZEK_MCRQ_STATUS_FAIL;
  }
  McrqQueue& q = g_queues[r->AdapterNumber];
  ExAcquireFastMutex(&q.Lock);
  std::uint32_t status = open_locked(q, r->AdapterNumber);
  if (status == ZEK_MCRQ_STATUS_OK) {
    q.User = true;
    q.OwnerProcess = PsGetCurrentProcessId();
    q.OwnerFile = file;
    PMDL mdl = IoAllocateMdl(q.Area, ZEK_MCRQ_AREA_BYTES, FALSE, FALSE, nullptr);
    void* user = nullptr;
    if (mdl != nullptr) {
      MmBuildMdlForNonPagedPool(mdl);
      user = MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
    }
    if (user == nullptr) {
      ZEK_LOG_FAILURE("ZEK_uk_mcrq_open_user: MapKernelMemoryToUserMode() failed with the error '%x'\n", 1);
      if (mdl != nullptr) IoFreeMdl(mdl);
      close_locked(q);
      status = ZEK_MCRQ_STATUS_FAIL;
    } else {
      q.AreaMdl = mdl;
      q.AreaUser = user;
      r->Handle = r->AdapterNumber;
      r->QpId = zekhw::kMcrqQpId;
      r->CqId = q.Cq.load()->CqId;
      r->DoorbellAddress = 0;
      r->CompletionRing = 0;
      r->FlagRingEntries = ZEK_MCRQ_FLAG_ENTRIES;
      r->BufferArea = reinterpret_cast<std::uint64_t>(user);
      r->One = 1;
      r->Zero = 0;
      r->BufferCount = ZEK_MCRQ_BUFFERS;
      r->AdapterNumberOut = r->AdapterNumber;
      r->BufferSize = ZEK_MCRQ_BUFFER_BYTES;
      r->Zero88 = 0;
    }
  }
  ExReleaseFastMutex(&q.Lock);
  return status;
}

// A request on the caller's own queue, under its lock.
template <typename Work>
std::uint32_t on_callers_queue(std::uint64_t handle, PFILE_OBJECT file, Work work) {
  McrqQueue* q = queue_of(handle);
  if (q == nullptr) return ZEK_MCRQ_STATUS_INVALID_HANDLE;
  ExAcquireFastMutex(&q->Lock);
  const std::uint32_t status = is_callers(*q, file) ? work(*q) : ZEK_MCRQ_STATUS_INVALID_HANDLE;
  ExReleaseFastMutex(&q->Lock);
  return status;
}

// A kernel client's request on a queue it opened.
template <typename Work>
std::uint32_t on_kernel_queue(std::uint64_t handle, Work work) {
  McrqQueue* q = queue_of(handle);
  if (q == nullptr) return ZEK_MCRQ_STATUS_BAD_POINTER;
  ExAcquireFastMutex(&q->Lock);
  const std::uint32_t status = q->Open.load() && !q->User ? work(*q) : ZEK_MCRQ_STATUS_BAD_POINTER;
  ExReleaseFastMutex(&q->Lock);
  return status;
}

}  // namespace

// ---- Start and stop ---------------------------------------------------------------------------------
ZekStatus ZEK_Init_MCRQ() {
  if (g_ready.load()) return ZEK_STATUS_PASS;
  for (McrqQueue& q : g_queues) {
    ExInitializeFastMutex(&q.Lock);
    KeInitializeEvent(&q.Arrival, SynchronizationEvent, FALSE);
    q.Open.store(false);
    q.Generation = 0;
    q.Hw = nullptr;
    q.Cq.store(nullptr);
    q.Qp = nullptr;
    q.OpenedOn = nullptr;
    q.Area = nullptr;
    q.AreaMdl = nullptr;
    q.AreaUser = nullptr;
    q.Read.store(0);
    q.Write.store(0);
    forget_client(q);
  }
  const ZekStatus status = ZEK_RegisterInterface(MCRQ_KERNEL_VERBS_INTERFACE, &g_table, "MCRQ Kernel Verbs");
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("ZEK_Init_MCRQ: ZEK_RegisterInterface() returned error (0x%x)\n", status);
    return status;
  }
  g_ready.store(true);
  return ZEK_STATUS_PASS;
}

ZekStatus ZEK_Cleanup_MCRQ() {
  if (!g_ready.load()) return ZEK_STATUS_PASS;
  for (McrqQueue& q : g_queues) {
    ExAcquireFastMutex(&q.Lock);
    close_locked(q);
    if (q.AreaMdl != nullptr) {
      // The client's process still maps the area: the mapping is left to
      // its end, and the area with it.
      ZEK_LOG_FAILURE("ZEK_Cleanup_MCRQ: a buffer area is still mapped into process %p\n", q.OwnerProcess);
    }
    q.Hw = nullptr;
    ExReleaseFastMutex(&q.Lock);
  }
  g_ready.store(false);
  ZEK_DeregisterInterface(MCRQ_KERNEL_VERBS_INTERFACE);
  return ZEK_STATUS_PASS;
}

void ZEK_k_mcrq_attach_adapter(std::uint32_t number, NIC_HW_INFO* hw) {
  McrqQueue* q = queue_of(number);
  if (q == nullptr) return;
  ExAcquireFastMutex(&q->Lock);
  q->Hw = hw;
  ExReleaseFastMutex(&q->Lock);
}

void ZEK_k_mcrq_detach_adapter(std::uint32_t number, bool hardware_usable) {
  McrqQueue* q = queue_of(number);
  if (q == nullptr) return;
  ExAcquireFastMutex(&q->Lock);
  if (!hardware_usable && q->OpenedOn != nullptr) {
    // The adapter is gone: its queues are forgotten, their memory kept.
    ZEK_LOG_FAILURE("ZEK_k_mcrq_close: adapter %u is gone: its multicast queues stay allocated\n", number);
    q->Cq.store(nullptr);
    q->Qp = nullptr;
    q->OpenedOn = nullptr;
  }
  if (q->Open.load() || q->OpenedOn != nullptr) close_locked(*q);
  q->Hw = nullptr;
  ExReleaseFastMutex(&q->Lock);
}

bool McrqiCompletionCallback(MifhCqObject* cq) {
  if (cq == nullptr || !g_ready.load()) return false;
  for (std::uint32_t n = 0; n < ZEK_MCRQ_MAX_ADAPTERS; ++n) {
    McrqQueue& q = g_queues[n];
    if (q.Cq.load() != cq) continue;
    if (!q.Open.load()) return true;
    if (!q.User) {
      if (q.Callback != nullptr) q.Callback(q.CallbackContext, 1, n);
      return true;
    }
    const std::uint32_t write = q.Write.load(std::memory_order_relaxed);
    q.Flags[write] = 1;
    const std::uint32_t next = (write + 1) % ZEK_MCRQ_FLAG_ENTRIES;
    if (next == q.Read.load(std::memory_order_acquire)) {
      q.Overflows.fetch_add(1);
      OSPrimMemoryLogging("Error, MCRQ Completion Overflow\n");
    } else {
      q.Write.store(next, std::memory_order_release);
    }
    KeSetEvent(&q.Arrival, 0, FALSE);
    return true;
  }
  return false;
}

void ZEK_k_mcrq_close_file(PFILE_OBJECT File) {
  if (!g_ready.load() || File == nullptr) return;
  for (McrqQueue& q : g_queues) {
    ExAcquireFastMutex(&q.Lock);
    if (q.User && q.OwnerFile == File) close_locked(q);
    ExReleaseFastMutex(&q.Lock);
  }
}

// ---- The control requests ---------------------------------------------------------------------------
ULONG ZEK_k_mcrq_poll_completion_ioctl(void* Record, ULONG Code, ULONG_PTR* Bytes, PFILE_OBJECT File) {
  const ZekIoctlInfo* info = ZekIoctlLookup(Code);
  if (info == nullptr || info->family != ZekIoctlFamily::MCRQ || ZekIsBadPointer(Bytes)) return 1;
  *Bytes = info->record_bytes;
  if (ZekIsBadPointer(Record)) return 1;
  switch (Code) {
    case IOCTL_ZEK_MCRQ_GET_ADAPTER: {
      auto* r = static_cast<ZekMcrqGetAdapterRecord*>(Record);
      r->Host[sizeof r->Host - 1] = '\0';
      r->Status = ZEK_k_mcrq_get_adapter(&r->AdapterNumber, r->Host);
      return 0;
    }
    case IOCTL_ZEK_MCRQ_OPEN_USER: {
      auto* r = static_cast<ZekMcrqOpenRecord*>(Record);
      r->Status = open_user(File, r);
      return 0;
    }
    case IOCTL_ZEK_MCRQ_CLOSE: {
      auto* r = static_cast<ZekMcrqCloseRecord*>(Record);
      r->Status = on_callers_queue(r->Handle, File, [](McrqQueue& q) { return close_locked(q); });
      return 0;
    }
    case IOCTL_ZEK_MCRQ_POLL_COMPLETION: {
      auto* r = static_cast<ZekMcrqPollRecord*>(Record);
      r->Status =
          on_callers_queue(r->Handle, File, [&](McrqQueue& q) { return poll_locked(q, &r->Offset, &r->Length); });
      return 0;
    }
    case IOCTL_ZEK_MCRQ_ARM: {
      auto* r = static_cast<ZekMcrqHandleRecord*>(Record);
      r->Status = on_callers_queue(r->Handle, File, [](McrqQueue& q) {
        mifh_cq_arm(q.Cq.load(), false, true);
        return ZEK_MCRQ_STATUS_OK;
      });
      return 0;
    }
    case IOCTL_ZEK_MCRQ_DRAIN: {
      auto* r = static_cast<ZekMcrqDrainRecord*>(Record);
      McrqQueue* q = queue_of(r->Handle);
      r->Count = 0;
      r->Status = q == nullptr ? ZEK_MCRQ_STATUS_INVALID_HANDLE : drain(*q, File, r);
      return 0;
    }
    case IOCTL_ZEK_MCRQ_WAKE_DRAIN: {
      auto* r = static_cast<ZekMcrqHandleRecord*>(Record);
      r->Status = on_callers_queue(r->Handle, File, [](McrqQueue& q) {
        KeSetEvent(&q.Arrival, 0, FALSE);
        return ZEK_MCRQ_STATUS_OK;
      });
      return 0;
    }
    case IOCTL_ZEK_MCRQ_RELEASE_BUFFERS: {
      auto* r = static_cast<ZekMcrqReleaseRecord*>(Record);
      r->Status = on_callers_queue(r->Handle, File, [&](McrqQueue& q) { return release_locked(q, r->Count); });
      return 0;
    }
    default:
      return 1;
  }
}

// ---- The kernel table ---------------------------------------------------------------------------------
std::uint32_t ZEK_k_mcrq_get_adapter(std::uint32_t* adapter_number, const char* host) {
  if (ZekIsBadPointer(adapter_number)) {
    ZEK_LOG_FAILURE("ZEK_k_mcrq_get_adapter: Bad pAdapterNum \n");
    return ZEK_MCRQ_STATUS_BAD_POINTER;
  }
  if (ZekIsBadPointer(host)) {
    ZEK_LOG_FAILURE("ZEK_k_mcrq_get_adapter: Bad pHost \n");
    return ZEK_MCRQ_STATUS_BAD_POINTER;
  }
  *adapter_number = 0;
  return ZEK_MCRQ_STATUS_OK;
}

std::uint32_t ZEK_k_mcrq_open(std::uint32_t adapter_number, std::uint64_t* handle) {
  McrqQueue* q = queue_of(adapter_number);
  if (q == nullptr || ZekIsBadPointer(handle)) return ZEK_MCRQ_STATUS_FAIL;
  ExAcquireFastMutex(&q->Lock);
  const std::uint32_t status = open_locked(*q, adapter_number);
  if (status == ZEK_MCRQ_STATUS_OK) *handle = adapter_number;
  ExReleaseFastMutex(&q->Lock);
  return status;
}

std::uint32_t ZEK_k_mcrq_close(std::uint64_t handle) {
  McrqQueue* q = queue_of(handle);
  if (q == nullptr) {
    ZEK_LOG_FAILURE("Couldn't get handle for %p\n", reinterpret_cast<void*>(handle));
    return ZEK_MCRQ_STATUS_BAD_POINTER;
  }
  ExAcquireFastMutex(&q->Lock);
  const std::uint32_t status = q->Open.load() && !q->User ? close_locked(*q) : ZEK_MCRQ_STATUS_FAIL;
  ExReleaseFastMutex(&q->Lock);
  return status;
}

std::uint32_t ZEK_k_mcrq_get_info(std::uint64_t handle, ZekMcrqInfo* info) {
  if (ZekIsBadPointer(info)) return ZEK_MCRQ_STATUS_BAD_POINTER;
  return on_kernel_queue(handle, [&](McrqQueue& q) {
    *info = ZekMcrqInfo{1, 0, ZEK_MCRQ_BUFFERS, function_of(q)};
    return ZEK_MCRQ_STATUS_OK;
  });
}

std::uint32_t ZEK_k_mcrq_set_user(std::uint64_t handle, void* context, ZekMcrqCallback callback) {
  return on_kernel_queue(handle, [&](McrqQueue& q) {
    q.CallbackContext = context;
    q.Callback = callback;
    return ZEK_MCRQ_STATUS_OK;
  });
}

std::uint32_t ZEK_k_mcrq_poll_completion(std::uint64_t handle, ZekMcrqCompletion* out) {
  if (ZekIsBadPointer(out)) {
    ZEK_LOG_FAILURE("Error, Bad PTR (%p, %p/%p)\n", reinterpret_cast<void*>(handle), static_cast<void*>(out), nullptr);
    return ZEK_MCRQ_STATUS_BAD_POINTER;
  }
  return on_kernel_queue(handle, [&](McrqQueue& q) {
    std::uint32_t offset = 0, length = 0;
    const std::uint32_t status = poll_locked(q, &offset, &length);
    if (status == ZEK_MCRQ_STATUS_OK) {
      *out = ZekMcrqCompletion{reinterpret_cast<std::uint64_t>(static_cast<std::uint8_t*>(q.Area) + offset), length, 0};
    }
    return status;
  });
}

std::uint32_t ZEK_k_mcrq_arm(std::uint64_t handle) {
  return on_kernel_queue(handle, [](McrqQueue& q) {
    mifh_cq_arm(q.Cq.load(), false, true);
    return ZEK_MCRQ_STATUS_OK;
  });
}

std::uint32_t ZEK_k_mcrq_release_buffer(std::uint64_t handle, std::uint32_t count) {
  return on_kernel_queue(handle, [&](McrqQueue& q) { return release_locked(q, count); });
}
