// CommonMifhIoctl: the hardware-object control requests (records and the
// decisions in include/zek/mifh_requests.h).
#include <cstring>

#include "include/hw/nic.h"
#include "include/hw/qp_context.h"
#include "include/zek/mifh_requests.h"
#include "platform/kernel/se.h"
#include "proxy/core/attach.h"
#include "proxy/core/attach_internal.h"
#include "proxy/core/mifh_context_dump.h"
#include "proxy/core/zpx.h"
#include "proxy/rdma/hw/control_qp.h"
#include "proxy/rdma/hw/cq.h"
#include "proxy/rdma/hw/nic_qp.h"
#include "proxy/rdma/hw/qp.h"
#include "proxy/rdma/hw/status.h"
#include "proxy/rdma/verbs/verbs.h"

namespace {

constexpr std::uint8_t kCqKindControl = 2;
static_assert(offsetof(MifhDeviceObj, Aeq) + sizeof(void*) <= MIFH_REQ_DEVICE_BYTES);
static_assert(sizeof(MifhAeqObject) <= MIFH_REQ_EQ_OBJECT_BYTES);
static_assert(sizeof(MifhCeqObject) <= MIFH_REQ_EQ_OBJECT_BYTES);
static_assert(sizeof(MifhCqObject) <= MIFH_REQ_CQ_OBJECT_BYTES);
static_assert(sizeof(MifhPdObject) <= MIFH_REQ_PD_OBJECT_BYTES);

// A range of the caller's memory seen by the kernel for one request: user
// callers' ranges are probed, locked and mapped; a kernel caller's pointers
// are kernel addresses already.
class Mapped {
 public:
  Mapped(bool user, const char* request) : user_(user), request_(request) {}
  ~Mapped() {
    if (mapped_) OSPrimUnMapIt(&record_);
  }
  Mapped(const Mapped&) = delete;
  Mapped& operator=(const Mapped&) = delete;

  // The kernel view of `length` bytes at `address`, or null (logged).
  template <typename T = void>
  T* map(std::uint64_t address, std::uint64_t length, const char* field) {
    if (address == 0 || ZekIsBadPointer(reinterpret_cast<void*>(address)) || length == 0 || length > UINT32_MAX) {
      ZEK_LOG_FAILURE("%s: %s mapping failue.\n", request_, field);
      return nullptr;
    }
    if (!user_) return reinterpret_cast<T*>(address);
    if (mapped_) return nullptr;  // one range a mapping
    if (OSPrimMapIt(reinterpret_cast<void*>(address), static_cast<std::uint32_t>(length), &record_, &system_) !=
        ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("%s: %s mapping failue.\n", request_, field);
      return nullptr;
    }
    mapped_ = true;
    return static_cast<T*>(system_);
  }

 private:
  bool user_;
  const char* request_;
  bool mapped_ = false;
  OSPrimMapRecord record_{};
  void* system_ = nullptr;
};

template <typename T>
T* as(std::uint64_t address) {
  return reinterpret_cast<T*>(address);
}

// AEQ_INIT and CEQ_INIT: the caller's event-queue object over its element
// array (the CEQ's zeroed), and the device's AEQ pointer.
std::uint32_t event_queue_init(bool user, MifhReqQueueInit* r, bool aeq) {
  const char* name = aeq ? "MIFH_AEQ_INIT" : "MIFH_CEQ_INIT";
  const std::uint32_t max = aeq ? MIFH_REQ_AEQ_MAX_ELEMENTS : MIFH_REQ_CEQ_MAX_ELEMENTS;
  if (r->Count == 0 || r->Count > max) {
    ZEK_LOG_FAILURE(aeq ? " mifh_aeq_init: AEQ element count (0x%x)is invalid\n"
                        : " mifh_ceq_init: CEQ element count (0x%x) is invalid\n",
                    r->Count);
    return MIFH_REQ_STATUS_BAD_COUNT;
  }
  Mapped device_map(user, name), object_map(user, name), elements_map(user, name);
  auto* device = device_map.map<MifhDeviceObj>(r->Device, MIFH_REQ_DEVICE_BYTES, "pPubDevObj");
  void* object = device == nullptr ? nullptr : object_map.map(r->Object, MIFH_REQ_EQ_OBJECT_BYTES, "pEqObj");
  const std::uint64_t element_bytes = std::uint64_t{r->Count} * (aeq ? MIFH_REQ_AEQE_BYTES : MIFH_REQ_CEQE_BYTES);
  void* elements = object == nullptr ? nullptr : elements_map.map(r->Elements, element_bytes, "pElements");
  if (elements == nullptr) return MIFH_REQ_STATUS_FAIL;
  std::memset(object, 0, MIFH_REQ_EQ_OBJECT_BYTES);
  const ZEK_OSPRIM_RING ring{0, 0, r->Count};
  if (aeq) {
    auto* q = static_cast<MifhAeqObject*>(object);
    q->Device = as<MifhDeviceObj>(r->Device);
    q->ElementCount = r->Count;
    q->RingPa = r->ElementsPa;
    q->Ring = as<void>(r->Elements);
    q->RingIndex = ring;
    device->Aeq = as<MifhAeqObject>(r->Object);
  } else {
    std::memset(elements, 0, element_bytes);
    auto* q = static_cast<MifhCeqObject*>(object);
    q->Device = as<MifhDeviceObj>(r->Device);
    q->ElementCount = r->Count;
    q->RingPa = r->ElementsPa;
    q->Ring = as<std::uint64_t>(r->Elements);
    q->RingIndex = ring;
  }
  return MIFH_REQ_STATUS_OK;
}

// CCQ_INIT: the caller's CQ object over its (zeroed) element array, of the
// control kind.
std::uint32_t ccq_init(bool user, MifhReqQueueInit* r) {
  if (r->Count == 0 || r->Count > MIFH_REQ_CQ_MAX_ELEMENTS) {
    ZEK_LOG_FAILURE("mifh_ccq_init: mifh_iwarp_cq_init: returned error (0x%x)\n", MIFH_STATUS_CQ_INIT_INVALID_COUNT);
    return MIFH_REQ_STATUS_BAD_COUNT;
  }
  Mapped device_map(user, "MIFH_CCQ_INIT"), object_map(user, "MIFH_CCQ_INIT"), elements_map(user, "MIFH_CCQ_INIT");
  void* device = device_map.map(r->Device, MIFH_REQ_DEVICE_BYTES, "pPubDevObj");
  auto* cq = device == nullptr ? nullptr : object_map.map<MifhCqObject>(r->Object, MIFH_REQ_CQ_OBJECT_BYTES, "pCQObj");
  void* elements =
      cq == nullptr ? nullptr : elements_map.map(r->Elements, std::uint64_t{r->Count} * MIFH_REQ_CQE_BYTES, "pCQE");
  if (elements == nullptr) return MIFH_REQ_STATUS_FAIL;
  const ZekStatus status = mifh_iwarp_cq_init(as<MifhDeviceObj>(r->Device), cq, elements, r->ElementsPa, r->Count, 0);
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("mifh_ccq_init: mifh_iwarp_cq_init: returned error (0x%x)\n", status);
    return MIFH_REQ_STATUS_FAIL;
  }
  cq->Ring = as<void>(r->Elements);  // the caller's address, never the kernel's view
  cq->Kind = kCqKindControl;
  return MIFH_REQ_STATUS_OK;
}

std::uint32_t pd_init(bool user, MifhReqPdInit* r) {
  if (r->PdId > MIFH_REQ_MAX_PD_ID) {
    ZEK_LOG_FAILURE("mifh_pd_init: invalid PdId (0x%x)\n", r->PdId);
    return MIFH_REQ_STATUS_BAD_PD;
  }
  Mapped device_map(user, "MIFH_PD_INIT"), pd_map(user, "MIFH_PD_INIT");
  void* device = device_map.map(r->Device, MIFH_REQ_DEVICE_BYTES, "pPubDevObj");
  auto* pd = device == nullptr ? nullptr : pd_map.map<MifhPdObject>(r->Pd, MIFH_REQ_PD_OBJECT_BYTES, "pPDObj");
  if (pd == nullptr) return MIFH_REQ_STATUS_FAIL;
  std::memset(pd, 0, sizeof *pd);
  pd->Device = as<MifhDeviceObj>(r->Device);
  pd->PdId = r->PdId;
  pd->Magic = MIFH_PD_MAGIC;
  return MIFH_REQ_STATUS_OK;
}

// The requests that would run the adapter's control path on the caller's
// copies: bounds first, then the refusal.
std::uint32_t refused(const char* request) {
  ZEK_LOG_FAILURE("%s: refused: the function's control objects are not built from a process's copies\n", request);
  return MIFH_REQ_STATUS_REFUSED;
}

// The attached adapter a management handle names, or null. Detach lock held.
ProxyAdapterInfo* adapter_of(std::uint64_t handle) {
  for (ZpxAdapterSlot& slot : g_ZpxAdapterSlots) {
    if (slot.Record.load() != nullptr && reinterpret_cast<std::uint64_t>(slot.Info) == handle &&
        slot.Info->Signature == ZPX_ADAPTER_INFO_SIGNATURE) {
      return slot.Info;
    }
  }
  return nullptr;
}

ProxyAdapterInfo* first_adapter() {
  for (ZpxAdapterSlot& slot : g_ZpxAdapterSlots) {
    if (slot.Record.load() != nullptr && slot.Info != nullptr) return slot.Info;
  }
  return nullptr;
}

// A DMA buffer of `length` bytes at a 64-byte boundary, kept when the
// adapter may still write it.
class DmaBuffer {
 public:
  explicit DmaBuffer(std::uint32_t length) {
    if (OSPrimMemDMAAllocate(&block_, length + MIFH_REQ_LMI_ALIGN) != ZEK_STATUS_PASS) block_ = nullptr;
    if (block_ == nullptr) return;
    const auto base = reinterpret_cast<std::uintptr_t>(block_);
    aligned_ =
        reinterpret_cast<std::uint8_t*>((base + MIFH_REQ_LMI_ALIGN - 1) & ~std::uintptr_t{MIFH_REQ_LMI_ALIGN - 1});
    std::memset(aligned_, 0, length);
    std::uint32_t low = 0, high = 0;
    if (OSPrimGetPaFromVa(aligned_, &low, &high) == ZEK_STATUS_PASS) pa_ = std::uint64_t{high} << 32 | low;
  }
  ~DmaBuffer() {
    if (block_ != nullptr && !kept_) OSPrimMemDMAFree(block_);
  }
  DmaBuffer(const DmaBuffer&) = delete;
  DmaBuffer& operator=(const DmaBuffer&) = delete;
  bool ok() const { return block_ != nullptr && pa_ != 0; }
  std::uint8_t* data() const { return aligned_; }
  std::uint64_t pa() const { return pa_; }
  void keep() { kept_ = true; }

 private:
  void* block_ = nullptr;
  std::uint8_t* aligned_ = nullptr;
  std::uint64_t pa_ = 0;
  bool kept_ = false;
};

// Posts one control request and waits for its answer (bounded). True when
// the adapter answered success; unanswered, the buffer is kept.
template <typename Post>
bool run(ProxyAdapterInfo* info, DmaBuffer& buffer, const char* request, Post post) {
  const MifhRequestOutcome outcome =
      mifh_run_control_request(info->Hw->HwInfo, info->Hw->Device->Cqp, request, MIFH_REQ_WAIT_MS, post);
  if (outcome == MifhRequestOutcome::Unanswered) buffer.keep();
  return outcome == MifhRequestOutcome::Done;
}

std::uint32_t lmi_access(bool user, MifhReqLmiAccess* r) {
  if (r->Length == 0 || r->Length > MIFH_REQ_LMI_MAX_BYTES ||
      std::uint64_t{r->Address} + r->Length > std::uint64_t{UINT32_MAX} + 1) {
    ZEK_LOG_FAILURE("MIFH_LMI_ACCESS: length 0x%x at 0x%x is out of bounds\n", r->Length, r->Address);
    return MIFH_REQ_STATUS_FAIL;
  }
  if (r->Kind != MIFH_REQ_LMI_WRITE && r->Kind != MIFH_REQ_LMI_READ) {
    ZEK_LOG_FAILURE("MIFH_LMI_ACCESS: access kind %u is not a read or a write\n", r->Kind);
    return MIFH_REQ_STATUS_FAIL;
  }
  Mapped cell_map(user, "MIFH_LMI_ACCESS"), data_map(user, "MIFH_LMI_ACCESS");
  const auto* cell = cell_map.map<const std::uint64_t>(r->HandleCell, sizeof(std::uint64_t), "pHandle");
  auto* data = cell == nullptr ? nullptr : data_map.map<std::uint8_t>(r->Data, r->Length, "pFrag");
  if (data == nullptr) return MIFH_REQ_STATUS_FAIL;
  const std::uint64_t handle = *cell;
  ZpxAcquireDetachLock();
  std::uint32_t status = MIFH_REQ_STATUS_FAIL;
  if (ProxyAdapterInfo* info = adapter_of(handle); info == nullptr) {
    ZEK_LOG_FAILURE("MIFH_LMI_ACCESS: Bad ZEK Proxy signature.\n");
  } else {
    DmaBuffer buffer(r->Length);
    if (!buffer.ok()) {
      ZEK_LOG_FAILURE("MIFH_LMI_ACCESS():Couldn't allocate memory \n");
    } else {
      if (r->Kind == MIFH_REQ_LMI_WRITE) std::memcpy(buffer.data(), data, r->Length);
      const bool ok = run(info, buffer, "MIFH_LMI_ACCESS: mifh_LMI_access", [&](MifhCqpCompletionContext* done) {
        return mifh_LMI_access(info->Hw->Device->Cqp, buffer.pa(), done, r->Address, r->Length, r->Kind,
                               r->Option & 1u);
      });
      if (ok) {
        if (r->Kind == MIFH_REQ_LMI_READ) std::memcpy(data, buffer.data(), r->Length);
        status = MIFH_REQ_STATUS_OK;
      }
    }
  }
  ZpxReleaseDetachLock();
  return status;
}

bool adapter_qp_id(std::uint32_t id) {
  return id == zekhw::kMcrqQpId || (id >= zekhw::kNicQpFirst && id <= zekhw::kIwarpQpLast);
}

std::uint32_t upload_context(bool user, MifhReqUpload* r) {
  if (!adapter_qp_id(r->QpId)) {
    ZEK_LOG_FAILURE("IOCTL_ZEK_MIFH_UPLOAD_TCP_CONTEXT: QP id %u is not one the adapter has\n", r->QpId);
    return MIFH_REQ_STATUS_BAD_ID;
  }
  const std::uint32_t bytes = r->Full != 0 ? MIFH_REQ_UPLOAD_FULL_BYTES : MIFH_REQ_UPLOAD_SHORT_BYTES;
  Mapped buffer_map(user, "IOCTL_ZEK_MIFH_UPLOAD_TCP_CONTEXT");
  auto* out = buffer_map.map<std::uint8_t>(r->Buffer, bytes, "pBuffer");
  if (out == nullptr) return MIFH_REQ_STATUS_FAIL;
  ZpxAcquireDetachLock();
  std::uint32_t status = MIFH_REQ_STATUS_FAIL;
  if (ProxyAdapterInfo* info = first_adapter(); info == nullptr) {
    ZEK_LOG_FAILURE("mifh_qp_upload_context1: pgCQPObj is NULL\n");
  } else {
    DmaBuffer buffer(MIFH_REQ_UPLOAD_FULL_BYTES);
    if (!buffer.ok()) {
      ZEK_LOG_FAILURE("IOCTL_ZEK_MIFH_UPLOAD_TCP_CONTEXT: pUploadContext is NULL\n");
    } else if (run(info, buffer, "IOCTL_ZEK_MIFH_UPLOAD_TCP_CONTEXT: mifh_qp_upload_context",
                   [&](MifhCqpCompletionContext* done) {
                     return mifh_qp_upload_context1(info->Hw->Device->Cqp, done, buffer.pa(), r->QpId, r->Option & 1u);
                   })) {
      std::memcpy(out, buffer.data(), bytes);
      status = MIFH_REQ_STATUS_OK;
    }
  }
  ZpxReleaseDetachLock();
  return status;
}

// The upload of every queue pair the verbs hold open: the ids (at most
// MIFH_REQ_UPLOAD_ALL_MAX) collected under the verbs' list locks, then each
// uploaded by its id through its own adapter's control queue pair (no lock
// held while it waits, every wait bounded, nothing of the queue pair object
// touched), and printed; a queue pair destroyed meanwhile is skipped. The
// status is the last failure's, else 0.
std::uint32_t upload_all() {
  std::uint32_t ids[MIFH_REQ_UPLOAD_ALL_MAX];
  MifhDeviceObj* devices[MIFH_REQ_UPLOAD_ALL_MAX];
  const std::uint32_t n = ZekCollectQpIds(ids, devices, MIFH_REQ_UPLOAD_ALL_MAX);
  std::uint32_t status = MIFH_REQ_STATUS_OK;
  for (std::uint32_t i = 0; i < n; ++i) {
    ZpxAcquireDetachLock();
    ProxyAdapterInfo* info = nullptr;
    for (ZpxAdapterSlot& slot : g_ZpxAdapterSlots) {
      if (slot.Record.load() != nullptr && slot.Info != nullptr && slot.Info->Hw != nullptr &&
          slot.Info->Hw->Device == devices[i]) {
        info = slot.Info;
      }
    }
    if (info == nullptr) {
      ZEK_LOG_FAILURE("IOCTL_ZEK_MIFH_UPLOAD_TCP_CONTEXT: for QP ID %d, pQPObj is NULL\n", static_cast<int>(ids[i]));
      ZpxReleaseDetachLock();
      continue;
    }
    DmaBuffer buffer(MIFH_REQ_UPLOAD_FULL_BYTES);
    bool uploaded = false;
    if (!buffer.ok()) {
      ZEK_LOG_FAILURE("IOCTL_ZEK_MIFH_UPLOAD_TCP_CONTEXT: pUploadContext is NULL\n");
    } else {
      uploaded = run(info, buffer, "IOCTL_ZEK_MIFH_UPLOAD_TCP_CONTEXT: mifh_qp_upload_context",
                     [&](MifhCqpCompletionContext* done) {
                       return mifh_qp_upload_context1(info->Hw->Device->Cqp, done, buffer.pa(), ids[i], 1);
                     });
    }
    if (!uploaded) {
      status = MIFH_REQ_STATUS_FAIL;
    } else if (GetQPObjectFromQPId(ids[i]) == nullptr) {
      OSPrimMemoryLogging("%s QP ID %d is destroyed\n", "IOCTL_ZEK_MIFH_UPLOAD_TCP_CONTEXT", static_cast<int>(ids[i]));
    } else {
      ZpxDumpQPContext(ids[i], buffer.data());
      std::uint32_t words[zekhw::kIwarpCtxBytes / 4];
      std::memcpy(words, buffer.data(), sizeof words);
      const bool offload = (words[0] & zekhw::kIwarpCtxOffloadBit) == 0;
      OSPrimMemoryLogging("UploadHashIndexTableEntry: QP ID %u, hash index 0x%x, from user request\n", ids[i],
                          offload ? words[35] : 0u);
    }
    ZpxReleaseDetachLock();
  }
  return status;
}

}  // namespace

ULONG CommonMifhIoctl(void* Record, ULONG Code, ULONG_PTR* Bytes, PIRP Irp) {
  const ZekIoctlInfo* info = ZekIoctlLookup(Code);
  if (info == nullptr || info->family != ZekIoctlFamily::HARDWARE_OBJECTS) {
    ZEK_LOG_FAILURE("CommonIoctl: bad function code (0x%x)\n", Code);
    return 1;
  }
  if (ZekIsBadPointer(Bytes) || ZekIsBadPointer(Irp)) return 1;
  const bool user = Irp->RequestorMode != KernelMode;
  if (!SeSinglePrivilegeCheck(SE_TCB_PRIVILEGE, Irp->RequestorMode)) {
    ZEK_LOG_FAILURE("CommonMifhIoctl: %s (0x%x) refused to a caller without the privilege\n", info->name, Code);
    return static_cast<ULONG>(STATUS_ACCESS_DENIED);
  }
  *Bytes = info->record_bytes;
  if (Code == IOCTL_ZEK_MIFH_210) return 0;  // nothing done, nothing returned
  if (ZekIsBadPointer(Record)) return 1;
  switch (Code) {
    case IOCTL_ZEK_MIFH_AEQ_INIT:
    case IOCTL_ZEK_MIFH_CEQ_INIT: {
      auto* r = static_cast<MifhReqQueueInit*>(Record);
      r->Status = event_queue_init(user, r, Code == IOCTL_ZEK_MIFH_AEQ_INIT);
      return 0;
    }
    case IOCTL_ZEK_MIFH_CCQ_INIT: {
      auto* r = static_cast<MifhReqQueueInit*>(Record);
      r->Status = ccq_init(user, r);
      return 0;
    }
    case IOCTL_ZEK_MIFH_PD_INIT: {
      auto* r = static_cast<MifhReqPdInit*>(Record);
      r->Status = pd_init(user, r);
      return 0;
    }
    case IOCTL_ZEK_MIFH_CQP_INIT: {
      static_cast<MifhReqCqpInit*>(Record)->Status = refused("MIFH_CQP_INIT");
      return 0;
    }
    case IOCTL_ZEK_MIFH_CQP_CREATE:
    case IOCTL_ZEK_MIFH_CQP_POST_SQ: {
      static_cast<MifhReqObjectWord*>(Record)->Status = refused(info->name);
      return 0;
    }
    case IOCTL_ZEK_MIFH_AEQ_CREATE:
    case IOCTL_ZEK_MIFH_CCEQ_CREATE: {
      auto* r = static_cast<MifhReqEqCreate*>(Record);
      if (Code == IOCTL_ZEK_MIFH_AEQ_CREATE && r->Id >= MIFH_REQ_AEQ_IDS) {
        ZEK_LOG_FAILURE("mifh_aeq_create: u32AEQId (0x%x) is invalid\n", r->Id);
        r->Status = MIFH_REQ_STATUS_BAD_ID;
      } else {
        r->Status = refused(info->name);
      }
      return 0;
    }
    case IOCTL_ZEK_MIFH_CCQ_CREATE: {
      static_cast<MifhReqCcqCreate*>(Record)->Status = refused(info->name);
      return 0;
    }
    case IOCTL_ZEK_MIFH_CQP_ALLOCATE: {
      static_cast<MifhReqCqpAllocate*>(Record)->Status = refused(info->name);
      return 0;
    }
    case IOCTL_ZEK_MIFH_CQP_DESTROY:
    case IOCTL_ZEK_MIFH_CQP_DEALLOCATE: {
      static_cast<MifhReqObject*>(Record)->Status = refused(info->name);
      return 0;
    }
    case IOCTL_ZEK_MIFH_LMI_ACCESS: {
      auto* r = static_cast<MifhReqLmiAccess*>(Record);
      r->Status = lmi_access(user, r);
      return 0;
    }
    case IOCTL_ZEK_MIFH_UPLOAD_TCP_CONTEXT: {
      auto* r = static_cast<MifhReqUpload*>(Record);
      r->Status = upload_context(user, r);
      return 0;
    }
    case IOCTL_ZEK_MIFH_UPLOAD_TCP_CONTEXT_BY_QP: {
      static_cast<MifhReqUploadAll*>(Record)->Status = upload_all();
      return 0;
    }
    default:
      ZEK_LOG_FAILURE("CommonIoctl: bad function code (0x%x)\n", Code);
      return 1;
  }
}
