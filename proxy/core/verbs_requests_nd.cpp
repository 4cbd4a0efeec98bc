// The NetworkDirect provider's region requests (records in include/zek/ioctl.h,
// decisions in include/zek/verbs_requests.h): a registration of the caller's
// own buffer and a deallocation, each on the caller's own adapter. Both are
// carried out while the request is served and complete it at once: the
// caller's overlapped request is answered when the region is made or gone.
#include <cstring>

#include "include/hw/stag.h"
#include "include/zek/ioctl.h"
#include "include/zek/verbs_requests.h"
#include "proxy/core/verbs_requests.h"
#include "proxy/rdma/verbs/verbs.h"

namespace {

bool bad_context(std::uint64_t context) { return context == 0 || context == ZEK_UNINITIALISED_POINTER; }

}  // namespace

NTSTATUS ZekAsyncIwarpAsyncMrNonshared(void* Record, ULONG_PTR* Bytes) {
  constexpr const char* kName = "IOCTL_ZEK_IWARP_NDI_ASYNC_MR_NONSHARED";
  if (ZekIsBadPointer(Record) || ZekIsBadPointer(Bytes)) {
    ZEK_LOG_FAILURE("%s: pParm is NULL\n", kName);
    return STATUS_UNSUCCESSFUL;
  }
  *Bytes = 0;
  auto* r = static_cast<ZekNdAsyncMrRecord*>(Record);
  if (bad_context(r->MRContext)) {
    ZEK_LOG_FAILURE("%s: MRContext\n", kName);
    return STATUS_UNSUCCESSFUL;
  }
  zpxverbs::OwnAdapter own(r->Handle1);
  if (!own) {
    ZEK_LOG_FAILURE("%s: adapter %llx is not one the caller opened\n", kName,
                    static_cast<unsigned long long>(r->Handle1));
    return STATUS_UNSUCCESSFUL;
  }
  ZekMrRegisterRequest request{};
  request.Address = r->Address;
  request.Length = r->Value1;
  request.Access = r->Value3 & ZEK_VREQ_ND_ACCESS_MASK;
  request.Key = r->Flag;
  std::uint32_t stag = 0;
  std::uint64_t address = 0;
  // The caller's own buffer, locked for the region's life.
  const ZekStatus s = zek_mr_register_nonshared(own.get(), reinterpret_cast<void*>(r->Handle2), &request, &stag,
                                                &address, ZEK_MR_USER_BUFFER);
  if (s != ZEK_STATUS_PASS) {
    zpxverbs::log_status(kName, s);
    return STATUS_UNSUCCESSFUL;
  }
  r->Result = static_cast<std::int32_t>(stag);
  r->Reserved1 = 0;
  *Bytes = sizeof(ZekNdAsyncMrRecord);
  return STATUS_SUCCESS;
}

NTSTATUS ZekAsyncIwarpAsyncMrDealloc(void* Record, ULONG_PTR* Bytes) {
  constexpr const char* kName = "IOCTL_ZEK_IWARP_NDI_ASYNC_MR_DEALLOC";
  if (ZekIsBadPointer(Record) || ZekIsBadPointer(Bytes)) {
    ZEK_LOG_FAILURE("%s: pParm is NULL\n", kName);
    return STATUS_UNSUCCESSFUL;
  }
  *Bytes = 0;
  const auto* r = static_cast<const ZekNdAsyncDeallocRecord*>(Record);
  if (bad_context(r->MRContext)) {
    ZEK_LOG_FAILURE("%s: MRContext\n", kName);
    return STATUS_UNSUCCESSFUL;
  }
  zpxverbs::OwnAdapter own(r->Adapter);
  if (!own) {
    ZEK_LOG_FAILURE("%s: adapter %llx is not one the caller opened\n", kName,
                    static_cast<unsigned long long>(r->Adapter));
    return STATUS_UNSUCCESSFUL;
  }
  ZekIwarpAdapter* a = own.get();
  bool found = false;
  if (OSPrimSyncAcquireSpinlockObject(&a->StagListSpinlock) == ZEK_STATUS_PASS) {
    found = ZekFindStagLocked(a, zekhw::stag_index(r->STag), ZekStagKind::Region) != nullptr;
    OSPrimSyncReleaseSpinlockObject(&a->StagListSpinlock);
  }
  if (!found) {
    ZEK_LOG_FAILURE("%s: pMRStagInfo is NULL\n", kName);
    return STATUS_UNSUCCESSFUL;
  }
  if (const ZekStatus s = zek_mr_dealloc(a, r->STag); s != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("%s: zek_mr_dealloc_ndi() failed \n", kName);
    return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}
