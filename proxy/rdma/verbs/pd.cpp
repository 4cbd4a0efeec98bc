// Protection domains: an object from its pool, an id from the adapter's
// local resource manager (user-access domains from the doorbell window's
// range), the hardware set-up, the adapter's PD list.
#include <cstring>

#include "proxy/core/user_mapping.h"
#include "proxy/rdma/hw/pool_ops.h"
#include "proxy/rdma/verbs/verbs.h"

namespace {

ZekStatus free_id(ZekIwarpAdapter* a, std::uint32_t id, bool user) {
  return user ? L_FreeResource(a->Larmit, ZEK_RES_USERPD, id) : L_FreeResource(a->Larmit, ZEK_RES_PD, id);
}

}  // namespace

ZekStatus zek_pd_allocate_u_k_access(void* adapter, void** out, std::uint32_t user_access) {
  if (ZekIsBadPointer(out)) return ZEK_STATUS_BAD_PTR;
  ZekAdapterHold hold(adapter, "zek_pd_allocate: Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  ZekIwarpAdapter* a = hold.get();
  void* object = nullptr;
  if (mifh_allocate_pd_object(&object) != ZEK_STATUS_PASS || object == nullptr) return ZEK_STATUS_FAIL;
  auto* pd = static_cast<ZekPd*>(object);
  std::memset(static_cast<void*>(pd), 0, sizeof *pd);
  const bool user = user_access != 0;
  std::uint32_t id = 0;
  const ZekStatus got = L_GetResource(a->Larmit, user ? ZEK_RES_USERPD : ZEK_RES_PD, &id);
  if (got != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("zek_pd_allocate_u_k_access(): GetProtectionDomain() returned error (0x%x)\n", got);
    mifh_free_iwarp_pd_object(pd);
    return ZEK_STATUS_FAIL;
  }
  if (mifh_pd_init(a->Device, &pd->Hw, id) != ZEK_STATUS_PASS) {
    free_id(a, id, user);
    mifh_free_iwarp_pd_object(pd);
    return ZEK_STATUS_FAIL;
  }
  pd->Self = pd;
  pd->Flags = user ? ZEK_PD_USER_ACCESS : 0;
  if (InsertInPdList(a, pd) != ZEK_STATUS_PASS) {
    free_id(a, id, user);
    mifh_free_iwarp_pd_object(pd);
    return ZEK_STATUS_FAIL;
  }
  *out = pd;
  return ZEK_STATUS_PASS;
}

ZekStatus zek_pd_allocate(void* adapter, void** pd) { return zek_pd_allocate_u_k_access(adapter, pd, 0); }

// The in-use check comes before the PD leaves the list, so a PD in use
// stays allocated and listed (the caller may free it once it is idle, and
// the adapter's close finds it).
ZekStatus ZekPdDeallocateHeld(ZekIwarpAdapter* a, ZekPd* pd) {
  if (FindPDObject(a, pd) != ZEK_STATUS_PASS) return IWARP_STATUS_PD_INVALID_PD_ID;
  const std::uint32_t qps = pd->Qps.load();
  const std::uint32_t nsmr = pd->NonSharedMrs.load();
  const std::uint32_t smr = pd->SharedMrs.load();
  const std::uint32_t mw = pd->Mws.load();
  if ((qps | nsmr | smr | mw) != 0) {
    ZEK_LOG_FAILURE("zek_pd_deallocate(): QP (0x%x) NSMR (0x%x) SMR(0x%x) MW(0x%x) \n", qps, nsmr, smr, mw);
    return IWARP_STATUS_PD_PD_IN_USE;
  }
  if (RemoveFromPdList(a, pd) != ZEK_STATUS_PASS) return IWARP_STATUS_PD_INVALID_PD_ID;
  // Reference elements of regions whose shares are all gone.
  while (ZekVerbsLink* l = pd->SharedRefs.First) {
    ZekVerbsListRemove(&pd->SharedRefs, l);
    OSPrimMemFreePtr(l->Data);
  }
  const bool user = (pd->Flags & ZEK_PD_USER_ACCESS) != 0;
  // The doorbell page leaves the process before the domain's id goes back.
  ZpxReleaseUserPart(&pd->UserPart);
  const ZekStatus freed = free_id(a, pd->Hw.PdId, user);
  pd->Self = nullptr;
  pd->Hw.Magic = 0;
  mifh_free_iwarp_pd_object(pd);
  if (freed != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("zek_pd_deallocate(): FreeProtectionDomain() returned error (0x%x)\n", freed);
    return ZEK_STATUS_FAIL;
  }
  return ZEK_STATUS_PASS;
}

ZekStatus zek_pd_deallocate(void* adapter, void* pd) {
  if (ZekIsBadPointer(pd)) {
    ZEK_LOG_FAILURE("zek_pd_deallocate(): pPdObj is NULL\n");
    return IWARP_STATUS_PD_INVALID_PD_ID;
  }
  ZekAdapterHold hold(adapter, "zek_pd_deallocate: Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  return ZekPdDeallocateHeld(hold.get(), static_cast<ZekPd*>(pd));
}
