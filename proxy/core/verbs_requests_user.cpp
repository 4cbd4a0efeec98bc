// The user-access verbs requests: PD, CQ and QP create and destroy with the
// object's doorbell page, rings and page mapped into the calling process
// (records and decisions in include/zek/verbs_requests.h).
//
// What an object maps lives in its user part (proxy/core/user_mapping.h),
// which the verbs release with the object: a destroy, the adapter's close or
// the process's clean-up undo the mappings and free the pages, on every
// path. A create that fails after the object was made releases the part and
// destroys the object again.
#include <cstring>

#include "include/hw/wqe.h"
#include "include/zek/verbs_requests.h"
#include "proxy/core/notify.h"
#include "proxy/core/user_mapping.h"
#include "proxy/core/verbs_requests.h"
#include "proxy/rdma/verbs/verbs.h"

namespace zpxverbs {

namespace {

bool bad_handle(std::uint64_t handle) { return handle == 0 || handle == ZEK_UNINITIALISED_POINTER; }

// Hands the part to the object when it is still on its list (under the
// list's lock); false when the object went meanwhile (the part is then the
// caller's to release).
bool attach(OSPrimSpinlockObject* lock, const ZekVerbsList* list, const void* object, void** slot, ZpxUserPart* part) {
  if (OSPrimSyncAcquireSpinlockObject(lock) != ZEK_STATUS_PASS) return false;
  const bool held = ZekVerbsListHolds(list, object);
  if (held) *slot = part;
  OSPrimSyncReleaseSpinlockObject(lock);
  return held;
}

// Maps `bytes` of kernel memory into `mapping`: the user address, or 0.
std::uint64_t map(void* kernel, std::uint32_t bytes, ZpxUserMapping* mapping, const char* request) {
  std::uint64_t user = 0;
  if (MapKernelMemoryToUserMode(nullptr, kernel, bytes, &user, mapping, ZPX_MAP_MEMORY) != 0) {
    ZEK_LOG_FAILURE("%s: MapKernelMemoryToUserMode failed\n", request);
    return 0;
  }
  return user;
}

template <typename T>
void put(void* page, std::uint32_t offset, T value) {
  std::memcpy(static_cast<std::uint8_t*>(page) + offset, &value, sizeof value);
}

// False (the status set and logged) when the handle is not the caller's open.
bool own_or_refused(const OwnAdapter& own, std::uint32_t* status, const char* request) {
  if (own) return true;
  *status = IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  log_status(request, *status);
  return false;
}

}  // namespace

ULONG PdAllocateUserAccess(void* record, bool) {
  auto* r = static_cast<ZekVreqPdAllocateUser*>(record);
  OwnAdapter own(r->Adapter);
  if (!own_or_refused(own, &r->Status, "IOCTL_ZEK_IWARP_PD_ALLOCATE_W_USER_ACCESS")) return kServed;
  ZekIwarpAdapter* a = own.get();
  void* object = nullptr;
  r->Status = zek_pd_allocate_u_k_access(a, &object, 1);
  if (r->Status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("zek_pd_allocate_u_access: zek_pd_allocate_u_k_access() failed with the error '%x'\n", r->Status);
    return kServed;
  }
  auto* pd = static_cast<ZekPd*>(object);
  const std::uint32_t number = pd->Hw.PdId;
  ZpxUserPart* part = ZpxAllocateUserPart();
  std::uint64_t doorbell = 0;
  if (part == nullptr ||
      MapKernelMemoryToUserMode(pd, nullptr, ZEK_VREQ_PAGE_BYTES, &doorbell, &part->Page, ZPX_MAP_DOORBELL) != 0 ||
      !attach(&a->PDListSpinlock, &a->PdList, pd, &pd->UserPart, part)) {
    ZEK_LOG_FAILURE("zek_pd_allocate_u_access: the doorbell page could not be mapped\n");
    void* undo = part;
    ZpxReleaseUserPart(&undo);
    zek_pd_deallocate(a, pd);
    r->Status = ZEK_STATUS_FAIL;
    return kServed;
  }
  r->Pd = reinterpret_cast<std::uint64_t>(pd);
  r->PdNumber = number;
  r->Doorbell = doorbell;
  return kServed;
}

ULONG PdDeallocateUserAccess(void* record) {
  auto* r = static_cast<ZekVreqObject*>(record);
  if (bad_handle(r->Object)) {
    ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_PD_DEALLOCATE_W_USER_ACCESS: Bad PDIdentifier\n");
    return kRefused;
  }
  OwnAdapter own(r->Adapter);
  // The doorbell page goes with the domain (its release), only when the
  // deallocation succeeds.
  r->Status =
      own ? zek_pd_deallocate(own.get(), reinterpret_cast<void*>(r->Object)) : IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  log_status("IOCTL_ZEK_IWARP_PD_DEALLOCATE_W_USER_ACCESS", r->Status);
  return kServed;
}

ULONG CqCreateUserAccess(void* record, bool) {
  constexpr const char* kName = "IOCTL_ZEK_IWARP_CQ_CREATE_W_USER_ACCESS";
  auto* r = static_cast<ZekVreqCqCreateUser*>(record);
  OwnAdapter own(r->Adapter);
  if (!own_or_refused(own, &r->Status, kName)) return kServed;
  ZekIwarpAdapter* a = own.get();
  void* object = nullptr;
  std::uint32_t entries = 0;
  // The user handler is a user address: the CQ's callback is the driver's.
  r->Status = ZekCqCreateEx(a, &object, &entries, nullptr, nullptr, r->Requested, r->Mode,
                            reinterpret_cast<void*>(r->Page), true);
  if (r->Status != ZEK_STATUS_PASS) {
    log_status(kName, r->Status);
    return kServed;
  }
  auto* cq = static_cast<MifhCqObject*>(object);
  const auto handle = reinterpret_cast<std::uint64_t>(cq);
  ZpxUserPart* part = ZpxAllocateUserPart();
  void* page = part == nullptr ? nullptr : ZpxAllocateMappablePages(ZEK_VREQ_PAGE_BYTES);
  std::uint64_t ring = 0, user_page = 0;
  if (page != nullptr) {
    part->PageMemory = page;
    ring = map(cq->Ring, ZpxPageRound((entries + 1) * 32), &part->Ring, kName);
  }
  if (ring != 0) user_page = map(page, ZEK_VREQ_PAGE_BYTES, &part->Page, kName);
  ZekStatus status = user_page == 0 ? ZEK_STATUS_FAIL : ZpxNotifyInstallCq(a, cq, r->Handler, handle);
  if (status == ZEK_STATUS_PASS && !attach(&a->CQListSpinlock, &a->CqList, cq, &ZekCqOf(cq)->UserPart, part)) {
    status = IWARP_STATUS_CQ_INVALID_HANDLE;
  }
  if (status != ZEK_STATUS_PASS) {
    void* undo = part;
    ZpxReleaseUserPart(&undo);
    if (zek_cq_destroy(a, cq) != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_CQ_CREATE_W_USER_ACCESS: CQ Create Failed, tried to cleanup cq but couldn't");
    }
    r->Status = status;
    log_status(kName, r->Status);
    return kServed;
  }
  r->Cq = handle;
  r->Size = entries;
  r->CqId = cq->CqId;
  r->Ring = ring;
  r->Page = user_page;
  r->RingSlots = entries + 1;
  return kServed;
}

ULONG CqDestroyUserAccess(void* record) {
  auto* r = static_cast<ZekVreqObject*>(record);
  if (r->Object == 0) {
    ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_CQ_DESTROY_W_USER_ACCESS: CQHandle\n");
    return kRefused;
  }
  OwnAdapter own(r->Adapter);
  // Destroyed first: the ring and page leave the process with the CQ, so a
  // destroy the verb refuses leaves the CQ whole.
  r->Status = own ? zek_cq_destroy(own.get(), reinterpret_cast<void*>(r->Object)) : IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  log_status("IOCTL_ZEK_IWARP_CQ_DESTROY_W_USER_ACCESS", r->Status);
  return kServed;
}

ULONG QpCreateUserAccess(void* record, bool) {
  constexpr const char* kName = "IOCTL_ZEK_IWARP_QP_CREATE_W_USER_ACCESS";
  auto* r = static_cast<ZekVreqQpCreateUser*>(record);
  const ZekQpCreateInput create = r->Create;
  if (create.Feature48 != 0) {
    ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_QP_CREATE_W_USER_ACCESS: Stag0 access is not permitted for non privileged qp\n");
    return 1;
  }
  OwnAdapter own(r->Adapter);
  if (!own_or_refused(own, &r->Status, kName)) return kServed;
  ZekIwarpAdapter* a = own.get();
  ZekQpAttributes attributes{};
  std::uint64_t handle = 0;
  r->Status = ZekQpCreateEx(a, &create, &attributes, &handle, true);
  if (r->Status != ZEK_STATUS_PASS) {
    log_status(kName, r->Status);
    return kServed;
  }
  MifhQpObject* qp = ZekQpOfHandle(a, handle);
  ZpxUserPart* part = qp == nullptr ? nullptr : ZpxAllocateUserPart();
  void* page = part == nullptr ? nullptr : ZpxAllocateMappablePages(ZEK_VREQ_PAGE_BYTES);
  std::uint64_t sq = 0, rq = 0, user_page = 0;
  if (page != nullptr) {
    part->PageMemory = page;
    sq = map(qp->Sq, ZpxPageRound(qp->SqWqeCount * sizeof(zekhw::MifhWqe)), &part->Ring, kName);
  }
  if (sq != 0) rq = map(qp->Rq, ZpxPageRound(qp->RqWqeCount * sizeof(zekhw::MifhWqe)), &part->Ring2, kName);
  if (rq != 0) {
    put(page, ZEK_QP_PAGE_SQ_RING, sq);
    put(page, ZEK_QP_PAGE_RQ_RING, rq);
    put(page, ZEK_QP_PAGE_SQ_BASE, sq);
    put(page, ZEK_QP_PAGE_SQ_ENTRIES, qp->SqWqeCount);
    put(page, ZEK_QP_PAGE_RQ_BASE, rq);
    put(page, ZEK_QP_PAGE_RQ_ENTRIES, qp->RqWqeCount);
    user_page = map(page, ZEK_VREQ_PAGE_BYTES, &part->Page, kName);
  }
  ZekStatus status =
      user_page == 0 ? ZEK_STATUS_FAIL : zek_set_context(a, handle, ZEK_CONTEXT_QP, reinterpret_cast<void*>(r->Page));
  if (status == ZEK_STATUS_PASS && !attach(&a->QPListSpinlock, &a->QpList, qp, &ZekQpOf(qp)->UserPart, part)) {
    status = IWARP_STATUS_QP_INVALID_HANDLE;
  }
  if (status != ZEK_STATUS_PASS) {
    void* undo = part;
    ZpxReleaseUserPart(&undo);
    zek_qp_destroy(a, handle);
    r->Status = status;
    log_status(kName, r->Status);
    return kServed;
  }
  r->Attributes = attributes;
  r->Qp = handle;
  r->Page = user_page;
  r->SqRing = sq;
  r->RqRing = rq;
  r->SqSize = qp->SqWqeCount;
  r->RqSize = qp->RqWqeCount;
  r->SqTail = 0;
  r->QpId = static_cast<std::uint32_t>(handle);
  return kServed;
}

ULONG QpDestroyUserAccess(void* record) {
  auto* r = static_cast<ZekVreqObject*>(record);
  OwnAdapter own(r->Adapter);
  r->Status = own ? zek_qp_destroy(own.get(), r->Object) : IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  log_status("IOCTL_ZEK_IWARP_QP_DESTROY_W_USER_ACCESS", r->Status);
  return kServed;
}

}  // namespace zpxverbs
