// Memory windows: allocation and the query. A window is bound by a work
// request (post.cpp) and deallocated as any STag (zek_mr_dealloc).
#include "include/hw/stag.h"
#include "proxy/rdma/hw/work_requests.h"
#include "proxy/rdma/verbs/verbs.h"

ZekStatus zek_mw_alloc(void* adapter, void* pd, std::uint32_t* stag) {
  if (ZekIsBadPointer(pd)) return IWARP_STATUS_PD_INVALID_PD_ID;
  if (ZekIsBadPointer(stag)) {
    ZEK_LOG_FAILURE("zek_mw_alloc(): pStag is NULL\n");
    return ZEK_STATUS_BAD_PTR;
  }
  ZekAdapterHold hold(adapter, "zek_mw_alloc: Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  ZekIwarpAdapter* a = hold.get();
  if (FindPDObject(a, pd) != ZEK_STATUS_PASS) return IWARP_STATUS_PD_INVALID_PD_ID;
  if (a->Base == nullptr || a->Device == nullptr || ZekIsBadPointer(a->Device->Cqp)) {
    ZEK_LOG_FAILURE("zek_mw_alloc(): pPubCQPObj is NULL\n");
    return ZEK_STATUS_FAIL;
  }
  auto* p = static_cast<ZekPd*>(pd);
  ZekStagRecord* r = nullptr;
  if (const ZekStatus s = ZekTakeStagRecord(a, p, false, "zek_mw_alloc", &r); s != ZEK_STATUS_PASS) return s;
  const std::uint32_t index = r->Index;
  struct Request {
    MifhDeviceObj* device;
    std::uint32_t index, pd_id;
  } request{a->Device, index, p->Hw.PdId};
  bool abandoned = false;
  const ZekStatus s = ZekRunControl(
      a, "zek_mw_alloc",
      [](void* argument, MifhCqpCompletionContext* c) {
        const auto* q = static_cast<const Request*>(argument);
        return mifh_mw_alloc(q->device, q->index, q->pd_id, c);
      },
      &request, &abandoned);
  if (s != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("zek_mw_alloc(): mifh_mw_alloc() returned error (0x%x)\n", s);
    if (!abandoned) {
      ZekDestroyStagRecord(a, r, false);
      return ZEK_STATUS_FAIL;
    }
    // The adapter may hold the window: listed, for a deallocation to settle.
  }
  ZekLinkStagRecord(a, r);
  p->Mws.fetch_add(1);
  if (s != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  *stag = zekhw::make_stag(index, 0);
  return ZEK_STATUS_PASS;
}

ZekStatus zek_mw_query(void* adapter, ZekMwQueryInfo* info, std::uint32_t stag) {
  if (ZekIsBadPointer(info)) {
    ZEK_LOG_FAILURE("zek_mw_query(): pMWQueryInfo is NULL\n");
    return ZEK_STATUS_BAD_PTR;
  }
  ZekAdapterHold hold(adapter, "zek_mw_query: Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  ZekIwarpAdapter* a = hold.get();
  if (a->Device == nullptr || ZekIsBadPointer(a->Device->Cqp)) return ZEK_STATUS_FAIL;
  const std::uint32_t index = zekhw::stag_index(stag);
  ZekMwQueryInfo out{};
  if (OSPrimSyncAcquireSpinlockObject(&a->StagListSpinlock) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  const ZekStagRecord* r = ZekFindStagLocked(a, index, ZekStagKind::Window);
  if (r != nullptr) {
    out.Pd = reinterpret_cast<std::uint64_t>(r->Pd);
    out.Access = r->Access;
    out.Valid = r->Valid;
    out.Key = r->Key;
  }
  OSPrimSyncReleaseSpinlockObject(&a->StagListSpinlock);
  if (r == nullptr) return IWARP_STATUS_MR_INVALID_STAG;
  const ZekStatus s = ZekAskAdapterAboutStag(a, index, "zek_mw_query", &out.Valid, &out.Key);
  if (s != ZEK_STATUS_PASS) {
    if (s == ZEK_STATUS_FAIL) ZEK_LOG_FAILURE("zek_mw_query(): mifh_stag_query() returned error (0x%x)\n", s);
    return s;
  }
  *info = out;
  return ZEK_STATUS_PASS;
}
