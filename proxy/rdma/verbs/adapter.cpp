// The verbs adapter: the list of opened adapters, open, close, query,
// client contexts, the asynchronous-event handler slot, the per-process
// clean-up and the adapter's lists.
#include <cstring>

#include "platform/kernel/ke.h"
#include "proxy/core/attach.h"
#include "proxy/core/notify.h"
#include "proxy/core/zpx.h"
#include "proxy/rdma/hw/config.h"
#include "proxy/rdma/hw/pools.h"
#include "proxy/rdma/verbs/verbs.h"

namespace {

// The opened adapters and their lock; the QP-destroy lock.
ZekVerbsList g_opened;
OSPrimSpinlockObject g_opened_lock;
OSPrimSpinlockObject g_qp_destroy_lock;
// The verbs have started (the list and its lock exist).
std::atomic<bool> g_started{false};

// A close waits for the verbs running on its adapter in steps of this.
constexpr std::uint32_t kCloseWaitUs = 1000;

bool lock(OSPrimSpinlockObject* l, const char* message) {
  const ZekStatus status = OSPrimSyncAcquireSpinlockObject(l);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE(message, status);
    return false;
  }
  return true;
}
void unlock(OSPrimSpinlockObject* l) { OSPrimSyncReleaseSpinlockObject(l); }

bool on_opened_list(const void* adapter) { return ZekVerbsListHolds(&g_opened, adapter); }

}  // namespace

// ---- Lists ----------------------------------------------------------------------------------------------------------
void ZekVerbsListAppend(ZekVerbsList* list, ZekVerbsLink* link, void* data) {
  link->Data = data;
  link->Next = nullptr;
  link->Prev = list->Last;
  if (list->Last != nullptr) {
    list->Last->Next = link;
  } else {
    list->First = link;
  }
  list->Last = link;
}

void ZekVerbsListRemove(ZekVerbsList* list, ZekVerbsLink* link) {
  if (link->Prev != nullptr) {
    link->Prev->Next = link->Next;
  } else {
    list->First = link->Next;
  }
  if (link->Next != nullptr) {
    link->Next->Prev = link->Prev;
  } else {
    list->Last = link->Prev;
  }
  link->Next = link->Prev = nullptr;
}

bool ZekVerbsListHolds(const ZekVerbsList* list, const void* data) {
  if (data == nullptr) return false;
  for (const ZekVerbsLink* l = list->First; l != nullptr; l = l->Next) {
    if (l->Data == data) return true;
  }
  return false;
}

ZekStatus ZekVerbsGlobalsInit() {
  g_opened = {};
  if (OSPrimSyncInitSpinlockObject(&g_opened_lock) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  if (OSPrimSyncInitSpinlockObject(&g_qp_destroy_lock) != ZEK_STATUS_PASS) {
    OSPrimSyncDestroySpinlockObject(&g_opened_lock);
    return ZEK_STATUS_FAIL;
  }
  g_started = true;
  // Waits keyed by the verbs' objects belong to the objects' processes.
  ZpxSetQueueKeyOwnerRoutine(&ZekVerbsKeyOwner);
  return ZEK_STATUS_PASS;
}

void ZekVerbsGlobalsCleanup() {
  ZpxSetQueueKeyOwnerRoutine(nullptr);
  g_started = false;
  OSPrimSyncDestroySpinlockObject(&g_qp_destroy_lock);
  OSPrimSyncDestroySpinlockObject(&g_opened_lock);
}

OSPrimSpinlockObject* ZekQpDestroySpinlock() { return &g_qp_destroy_lock; }

// ---- Finding and holding adapters -------------------------------------------------------------------------
ZekStatus FindIwarpAdapter(void* adapter) {
  const ZekStatus status = OSPrimSyncAcquireSpinlockObject(&g_opened_lock);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("FindIwarpAdapter: OSPrimSyncAcquireSpinlockObject returned error (0x%x)\n", status);
    return status;
  }
  const bool found = on_opened_list(adapter);
  unlock(&g_opened_lock);
  return found ? ZEK_STATUS_PASS : ZEK_STATUS_FAIL;
}

bool ZekAdapterAcquire(void* adapter, const char* message) {
  if (ZekIsBadPointer(adapter)) {
    if (message != nullptr) ZEK_LOG_FAILURE("%s", message);
    return false;
  }
  if (!lock(&g_opened_lock, "FindIwarpAdapter: OSPrimSyncAcquireSpinlockObject returned error (0x%x)\n")) {
    return false;
  }
  auto* a = static_cast<ZekIwarpAdapter*>(adapter);
  const bool ok = on_opened_list(adapter) && a->Closing == 0;
  if (ok) ++a->Users;
  unlock(&g_opened_lock);
  if (!ok && message != nullptr) ZEK_LOG_FAILURE("%s", message);
  return ok;
}

void ZekAdapterRelease(ZekIwarpAdapter* adapter) {
  if (!lock(&g_opened_lock, "ZekAdapterRelease: OSPrimSyncAcquireSpinlockObject returned error (0x%x)\n")) return;
  --adapter->Users;
  unlock(&g_opened_lock);
}

MifhQpObject* GetQPObjectFromQPId(std::uint32_t qp_id) {
  if (qp_id >= ZEK_VERBS_QP_TABLE_SIZE) return nullptr;
  if (OSPrimSyncAcquireSpinlockObject(&g_opened_lock) != ZEK_STATUS_PASS) return nullptr;
  MifhQpObject* found = nullptr;
  for (ZekVerbsLink* l = g_opened.First; l != nullptr && found == nullptr; l = l->Next) {
    auto* a = static_cast<ZekIwarpAdapter*>(l->Data);
    if (OSPrimSyncAcquireSpinlockObject(&a->QPListSpinlock) != ZEK_STATUS_PASS) break;
    MifhQpObject* qp = a->QpTable[qp_id];
    if (qp != nullptr && ZekVerbsListHolds(&a->QpList, qp)) found = qp;
    unlock(&a->QPListSpinlock);
  }
  unlock(&g_opened_lock);
  return found;
}

MifhQpObject* ZekQpEventReference(const MifhDeviceObj* device, std::uint32_t qp_id) {
  if (qp_id >= ZEK_VERBS_QP_TABLE_SIZE) return nullptr;
  if (OSPrimSyncAcquireSpinlockObject(&g_opened_lock) != ZEK_STATUS_PASS) return nullptr;
  MifhQpObject* found = nullptr;
  for (ZekVerbsLink* l = g_opened.First; l != nullptr && found == nullptr; l = l->Next) {
    auto* a = static_cast<ZekIwarpAdapter*>(l->Data);
    if (a->Device != device) continue;
    if (OSPrimSyncAcquireSpinlockObject(&a->QPListSpinlock) != ZEK_STATUS_PASS) break;
    MifhQpObject* qp = a->QpTable[qp_id];
    if (qp != nullptr && ZekVerbsListHolds(&a->QpList, qp)) {
      found = qp;
      ZekQpOf(qp)->EventRefs.fetch_add(1);
    }
    unlock(&a->QPListSpinlock);
  }
  unlock(&g_opened_lock);
  return found;
}

void ZekQpEventRelease(MifhQpObject* qp) {
  if (qp != nullptr) ZekQpOf(qp)->EventRefs.fetch_sub(1);
}

MifhCqObject* ZekHoldCqOfId(const MifhDeviceObj* device, std::uint32_t cq_id, ZekIwarpAdapter** adapter) {
  if (OSPrimSyncAcquireSpinlockObject(&g_opened_lock) != ZEK_STATUS_PASS) return nullptr;
  MifhCqObject* found = nullptr;
  for (ZekVerbsLink* l = g_opened.First; l != nullptr && found == nullptr; l = l->Next) {
    auto* a = static_cast<ZekIwarpAdapter*>(l->Data);
    if (a->Device != device || a->Closing != 0 ||
        OSPrimSyncAcquireSpinlockObject(&a->CQListSpinlock) != ZEK_STATUS_PASS) {
      continue;
    }
    for (ZekVerbsLink* c = a->CqList.First; c != nullptr; c = c->Next) {
      auto* cq = static_cast<MifhCqObject*>(c->Data);
      if (cq->CqId == cq_id) {
        found = cq;
        ++a->Users;
        *adapter = a;
        break;
      }
    }
    unlock(&a->CQListSpinlock);
  }
  unlock(&g_opened_lock);
  return found;
}

std::uint32_t ZekCollectQpIds(std::uint32_t* ids, MifhDeviceObj** devices, std::uint32_t max) {
  if (ids == nullptr || devices == nullptr || max == 0 || !g_started) return 0;
  if (!lock(&g_opened_lock,
            "IOCTL_ZEK_MIFH_UPLOAD_TCP_CONTEXT: OSPrimSyncAcquireSpinlockObject returned error (0x%x)\n")) {
    return 0;
  }
  std::uint32_t n = 0;
  for (ZekVerbsLink* l = g_opened.First; l != nullptr && n < max; l = l->Next) {
    auto* a = static_cast<ZekIwarpAdapter*>(l->Data);
    if (!lock(&a->QPListSpinlock,
              "IOCTL_ZEK_MIFH_UPLOAD_TCP_CONTEXT: OSPrimSyncAcquireSpinlockObject on QPList returned error (0x%x)\n")) {
      break;
    }
    for (ZekVerbsLink* q = a->QpList.First; q != nullptr && n < max; q = q->Next) {
      const auto* qp = static_cast<const MifhQpObject*>(q->Data);
      ids[n] = qp->QpId;
      devices[n] = a->Device;
      ++n;
    }
    unlock(&a->QPListSpinlock);
  }
  unlock(&g_opened_lock);
  return n;
}

MifhQpObject* ZekQpOfHandle(ZekIwarpAdapter* adapter, std::uint64_t handle) {
  if (handle >= ZEK_VERBS_QP_TABLE_SIZE) return nullptr;
  if (!lock(&adapter->QPListSpinlock, "FindQPObject: OSPrimSyncAcquireSpinlockObject() returned (0x%x)\n")) {
    return nullptr;
  }
  MifhQpObject* qp = adapter->QpTable[handle];
  if (qp != nullptr && !ZekVerbsListHolds(&adapter->QpList, qp)) qp = nullptr;
  unlock(&adapter->QPListSpinlock);
  return qp;
}

MifhQpObject* ZekQpReference(ZekIwarpAdapter* adapter, std::uint64_t handle) {
  if (handle >= ZEK_VERBS_QP_TABLE_SIZE) return nullptr;
  if (!lock(&adapter->QPListSpinlock, "FindQPObject: OSPrimSyncAcquireSpinlockObject() returned (0x%x)\n")) {
    return nullptr;
  }
  MifhQpObject* qp = adapter->QpTable[handle];
  if (qp != nullptr && !ZekVerbsListHolds(&adapter->QpList, qp)) qp = nullptr;
  if (qp != nullptr) ZekQpOf(qp)->EventRefs.fetch_add(1);
  unlock(&adapter->QPListSpinlock);
  return qp;
}

MifhCqObject* ZekHoldOwnCq(std::uint64_t handle, HANDLE process, ZekIwarpAdapter** adapter) {
  void* cq = reinterpret_cast<void*>(handle);
  if (ZekIsBadPointer(cq) || process == nullptr || !g_started) return nullptr;
  if (!lock(&g_opened_lock, "ZekHoldOwnCq: OSPrimSyncAcquireSpinlockObject returned error (0x%x)\n")) return nullptr;
  MifhCqObject* found = nullptr;
  for (ZekVerbsLink* l = g_opened.First; l != nullptr && found == nullptr; l = l->Next) {
    auto* a = static_cast<ZekIwarpAdapter*>(l->Data);
    if (a->Closing != 0 || a->KernelClient != 0 || a->OwningProcess != process) continue;
    if (OSPrimSyncAcquireSpinlockObject(&a->CQListSpinlock) != ZEK_STATUS_PASS) continue;
    if (ZekVerbsListHolds(&a->CqList, cq)) {
      found = static_cast<MifhCqObject*>(cq);
      ++a->Users;
      *adapter = a;
    }
    unlock(&a->CQListSpinlock);
  }
  unlock(&g_opened_lock);
  return found;
}

std::uint64_t ZekVerbsKeyOwner(std::uint64_t key) {
  void* object = reinterpret_cast<void*>(key);
  if (ZekIsBadPointer(object) || !g_started) return ZPX_ANY_OWNER;
  if (OSPrimSyncAcquireSpinlockObject(&g_opened_lock) != ZEK_STATUS_PASS) return ZPX_ANY_OWNER;
  std::uint64_t owner = ZPX_ANY_OWNER;
  for (ZekVerbsLink* l = g_opened.First; l != nullptr && owner == ZPX_ANY_OWNER; l = l->Next) {
    auto* a = static_cast<ZekIwarpAdapter*>(l->Data);
    bool named = object == a;
    if (!named && OSPrimSyncAcquireSpinlockObject(&a->CQListSpinlock) == ZEK_STATUS_PASS) {
      named = ZekVerbsListHolds(&a->CqList, object);
      unlock(&a->CQListSpinlock);
    }
    if (!named && OSPrimSyncAcquireSpinlockObject(&a->QPListSpinlock) == ZEK_STATUS_PASS) {
      named = ZekVerbsListHolds(&a->QpList, object);
      unlock(&a->QPListSpinlock);
    }
    if (named) owner = reinterpret_cast<std::uint64_t>(a->OwningProcess);
  }
  unlock(&g_opened_lock);
  return owner;
}

// ---- The adapter's lists ----------------------------------------------------------------------------------
namespace {

template <typename Object>
ZekStatus insert(OSPrimSpinlockObject* l, ZekVerbsList* list, ZekVerbsLink* link, Object* object, const char* name) {
  if (OSPrimSyncAcquireSpinlockObject(l) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("%s: OSPrimSyncAcquireSpinlockObject() returned (0x%x)\n", name, ZEK_OSPRIM_FAILURE);
    return ZEK_STATUS_FAIL;
  }
  ZekVerbsListAppend(list, link, object);
  unlock(l);
  return ZEK_STATUS_PASS;
}

// Removes the element when the list holds it: 0, or 1 when it does not.
template <typename Object>
ZekStatus remove(OSPrimSpinlockObject* l, ZekVerbsList* list, ZekVerbsLink* link, Object* object, const char* name) {
  if (OSPrimSyncAcquireSpinlockObject(l) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("%s: OSPrimSyncAcquireSpinlockObject() returned (0x%x)\n", name, ZEK_OSPRIM_FAILURE);
    return ZEK_STATUS_FAIL;
  }
  const bool held = ZekVerbsListHolds(list, object);
  if (held) ZekVerbsListRemove(list, link);
  unlock(l);
  return held ? ZEK_STATUS_PASS : ZEK_STATUS_FAIL;
}

ZekStatus find(OSPrimSpinlockObject* l, const ZekVerbsList* list, const void* object, const char* name) {
  if (ZekIsBadPointer(object)) return ZEK_STATUS_FAIL;
  if (OSPrimSyncAcquireSpinlockObject(l) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("%s: OSPrimSyncAcquireSpinlockObject() returned (0x%x)\n", name, ZEK_OSPRIM_FAILURE);
    return ZEK_STATUS_FAIL;
  }
  const bool held = ZekVerbsListHolds(list, object);
  unlock(l);
  return held ? ZEK_STATUS_PASS : ZEK_STATUS_FAIL;
}

}  // namespace

ZekStatus InsertInPdList(ZekIwarpAdapter* adapter, ZekPd* pd) {
  if (reinterpret_cast<std::uintptr_t>(pd) == ZEK_UNINITIALISED_POINTER || pd == nullptr) {
    ZEK_LOG_FAILURE("InsertInPdList(): pPdObj is invalid\n");
    return IWARP_STATUS_PD_INVALID_PD_ID;
  }
  return insert(&adapter->PDListSpinlock, &adapter->PdList, &pd->Link, pd, "InsertInPdList");
}
ZekStatus RemoveFromPdList(ZekIwarpAdapter* adapter, ZekPd* pd) {
  return remove(&adapter->PDListSpinlock, &adapter->PdList, &pd->Link, pd, "RemoveFromPdList");
}
ZekStatus FindPDObject(ZekIwarpAdapter* adapter, const void* pd) {
  return find(&adapter->PDListSpinlock, &adapter->PdList, pd, "FindPDObject");
}
ZekStatus InsertInCQList(ZekIwarpAdapter* adapter, MifhCqObject* cq) {
  return insert(&adapter->CQListSpinlock, &adapter->CqList, &ZekCqOf(cq)->Link, cq, "InsertInCQList");
}
ZekStatus RemoveFromCQList(ZekIwarpAdapter* adapter, MifhCqObject* cq) {
  return remove(&adapter->CQListSpinlock, &adapter->CqList, &ZekCqOf(cq)->Link, cq, "RemoveFromCQList");
}
ZekStatus FindCQObject(ZekIwarpAdapter* adapter, const void* cq) {
  return find(&adapter->CQListSpinlock, &adapter->CqList, cq, "FindCQObject");
}

ZekStatus InsertInQPList(ZekIwarpAdapter* adapter, MifhQpObject* qp) {
  ZekQpVerbs* v = ZekQpOf(qp);
  if (v->Pd == nullptr) return IWARP_STATUS_PD_INVALID_PD_ID;
  if (v->SendCq == nullptr || v->RecvCq == nullptr) return IWARP_STATUS_CQ_INVALID_HANDLE;
  if (!lock(&adapter->QPListSpinlock, "InsertInQPList: OSPrimSyncAcquireSpinlockObject() returned (0x%x)\n")) {
    return ZEK_STATUS_FAIL;
  }
  ZekVerbsListAppend(&adapter->QpList, &v->Link, qp);
  if (qp->QpId < ZEK_VERBS_QP_TABLE_SIZE) adapter->QpTable[qp->QpId] = qp;
  unlock(&adapter->QPListSpinlock);
  v->Pd->Qps.fetch_add(1);
  ZekCqOf(v->SendCq)->AttachedQueues.fetch_add(1);
  ZekCqOf(v->RecvCq)->AttachedQueues.fetch_add(1);
  return ZEK_STATUS_PASS;
}

ZekStatus RemoveFromQPList(ZekIwarpAdapter* adapter, MifhQpObject* qp) {
  ZekQpVerbs* v = ZekQpOf(qp);
  if (!lock(&adapter->QPListSpinlock, "RemoveFromQPList: OSPrimSyncAcquireSpinlockObject() returned (0x%x)\n")) {
    return ZEK_STATUS_FAIL;
  }
  const bool held = ZekVerbsListHolds(&adapter->QpList, qp);
  if (held) {
    ZekVerbsListRemove(&adapter->QpList, &v->Link);
    // The table entry goes on every path that frees the queue pair.
    if (qp->QpId < ZEK_VERBS_QP_TABLE_SIZE && adapter->QpTable[qp->QpId] == qp) adapter->QpTable[qp->QpId] = nullptr;
  }
  unlock(&adapter->QPListSpinlock);
  if (!held) return ZEK_STATUS_FAIL;
  v->Pd->Qps.fetch_sub(1);
  ZekCqOf(v->SendCq)->AttachedQueues.fetch_sub(1);
  ZekCqOf(v->RecvCq)->AttachedQueues.fetch_sub(1);
  return ZEK_STATUS_PASS;
}

ZekStatus FindQPObject(ZekIwarpAdapter* adapter, const void* qp) {
  return find(&adapter->QPListSpinlock, &adapter->QpList, qp, "FindQPObject");
}

// ---- Open -------------------------------------------------------------------------------------------------
namespace {

// The attached adapter whose SAN address (network order) is `ipv4`.
ProxyAdapterInfo* attached_adapter(std::uint32_t ipv4) {
  ProxyAdapterInfo* found = nullptr;
  if (OSPrimSyncAcquireSpinlockObject(&g_ZpxAddedAdapters.Lock) != ZEK_STATUS_PASS) return nullptr;
  for (ZekListNode* n = g_ZpxAddedAdapters.Head; n != nullptr && found == nullptr; n = n->Next) {
    auto* info = reinterpret_cast<ProxyAdapterInfo*>(n);
    if (info->Signature != ZPX_ADAPTER_INFO_SIGNATURE || info->Progress != ZPX_ADAPTER_BUILT) continue;
    if (info->Record == nullptr || info->Hw == nullptr) continue;
    if (__builtin_bswap32(info->Record->SanIpv4Address) == ipv4) found = info;
  }
  OSPrimSyncReleaseSpinlockObject(&g_ZpxAddedAdapters.Lock);
  return found;
}

OSPrimSpinlockObject* named_locks(ZekIwarpAdapter* a, std::size_t i) {
  OSPrimSpinlockObject* locks[] = {&a->QPListSpinlock,   &a->CQListSpinlock,           &a->PDListSpinlock,
                                   &a->StagListSpinlock, &a->SecureHandleListSpinlock, &a->SixthSpinlock};
  return locks[i];
}
constexpr const char* kLockNames[] = {"QPListSpinlock",   "CQListSpinlock",           "PDListSpinlock",
                                      "StagListSpinlock", "SecureHandleListSpinlock", "SixthSpinlock"};
constexpr std::size_t kNamedLocks = 6;

// Undoes what the open set up, and frees the object.
void free_adapter(ZekIwarpAdapter* a) {
  if (a->BlockingEventValid) OSPrimDestroyEvent(&a->BlockingEvent);
  ZpxNotifyStateDestroy(&a->Notify);
  for (std::size_t i = 0; i < kNamedLocks; ++i) named_locks(a, i)->Signature = 0;
  a->AsyncEvents.AsyncEventSpinlock.Signature = 0;
  a->CompContextSpinLock.Signature = 0;
  a->Magic = 0;
  std::memset(a->QpTable, 0, sizeof a->QpTable);
  mifh_pool_free(MIFH_POOL_IWARP_ADAPTER, a, 0);
}

}  // namespace

ZekStatus zek_open(void** adapter, const ZekVerbsAddress* address, std::uint32_t kernel) {
  if (ZekIsBadPointer(adapter) || ZekIsBadPointer(address)) return ZEK_STATUS_BAD_PTR;
  ZekVerbsAddress list[ZEK_VERBS_OPEN_ADDRESSES] = {};
  std::uint32_t count = ZEK_VERBS_OPEN_ADDRESSES;
  const ZekStatus looked = zek_adapter_addrs(list, &count, nullptr);
  if (looked != ZEK_STATUS_PASS || count == 0) {
    ZEK_LOG_FAILURE("zek_open(): zek_adapter_addrs returned error (0x%x) NumAdapter (%d)\n", looked, count);
    return looked != ZEK_STATUS_PASS ? looked : IWARP_STATUS_A_INVALID_ADAPTER_ADDRESS;
  }
  bool known = false;
  for (std::uint32_t i = 0; i < count && !known; ++i) {
    known = list[i].Family == address->Family && list[i].Ipv4 == address->Ipv4;
  }
  if (!known) return IWARP_STATUS_A_INVALID_ADAPTER_ADDRESS;

  auto* a = static_cast<ZekIwarpAdapter*>(mifh_pool_allocate(MIFH_POOL_IWARP_ADAPTER, 0));
  if (a == nullptr) {
    ZEK_LOG_FAILURE("zek_open(): Couldn't allocate mem  for iwarpAdapter() returned error \n");
    return ZEK_STATUS_RES_INSUFFICIENT_SW;
  }
  std::memset(static_cast<void*>(a), 0, sizeof *a);
  ProxyAdapterInfo* info = attached_adapter(address->Ipv4);
  const char* missing = nullptr;
  if (info == nullptr) {
    missing = "zek_open(): no attached adapter has the address\n";
  } else if (info->Hw->Base == nullptr) {
    missing = "zek_open(): pBaseObj is NULL\n";
  } else if (info->Hw->Device == nullptr) {
    missing = "zek_open(): pDevObj is NULL\n";
  } else if (info->Hw->Managers.Larmit == nullptr) {
    missing = "zek_open(): larmit is NULL\n";
  } else if (info->Hw->Managers.Mrte == nullptr) {
    missing = "zek_open(): hMrte is NULL\n";
  }
  if (missing != nullptr) {
    ZEK_LOG_FAILURE("%s", missing);
    free_adapter(a);
    return ZEK_STATUS_FAIL;
  }
  a->Base = info->Hw->Base;
  a->Device = info->Hw->Device;
  a->Larmit = info->Hw->Managers.Larmit;
  a->Mrte = info->Hw->Managers.Mrte;
  a->ThirdHandle = info->Hw->Managers.Gim;
  a->StackInterface = info->Hw->StackInterface;
  a->Magic = ZEK_IWARP_ADAPTER_MAGIC;
  a->KernelClient = kernel != 0 ? 1 : 0;
  a->ErrorPosition = 0;
  a->ErrorLast = ZEK_VERBS_ERROR_RING_SLOTS - 1;
  a->Self = a;
  // A user open belongs to the calling process (the per-process clean-up
  // finds it by this); a kernel client's belongs to no process.
  a->OwningProcess = kernel != 0 ? nullptr : PsGetCurrentProcessId();
  if (mifh_async_event_ring_init(&a->AsyncEvents) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("zek_open(): OSPrimSyncInitSpinlockObject() for AsyncEventSpinlock returned failure \n");
    free_adapter(a);
    return ZEK_STATUS_FAIL;
  }
  if (kernel == 0) {
    if (OSPrimInitEvent(&a->BlockingEvent) != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("zek_open(): OSPrimInitEvent() for EventBlocking returned failure \n");
      free_adapter(a);
      return ZEK_STATUS_FAIL;
    }
    a->BlockingEventValid = 1;
    if (ZpxNotifyStateInit(&a->Notify) != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("zek_open(): the notification lock could not be set up\n");
      free_adapter(a);
      return ZEK_STATUS_FAIL;
    }
  }
  if (OSPrimSyncInitSpinlockObject(&a->CompContextSpinLock) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("zek_open(): OSPrimSyncInitSpinlockObject() for CompContextSpinLock returned failure \n");
    free_adapter(a);
    return ZEK_STATUS_FAIL;
  }
  for (std::size_t i = 0; i < kNamedLocks; ++i) {
    if (OSPrimSyncInitSpinlockObject(named_locks(a, i)) != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("zek_open(): OSPrimSyncInitSpinlockObject() for %s returned failure \n", kLockNames[i]);
      free_adapter(a);
      return ZEK_STATUS_FAIL;
    }
  }
  const ZekStatus status = OSPrimSyncAcquireSpinlockObject(&g_opened_lock);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("zek_add_adapter_into_list: OSPrimSyncAcquireSpinlockObject returned error (0x%x)\n", status);
    free_adapter(a);
    return ZEK_STATUS_FAIL;
  }
  ZekVerbsListAppend(&g_opened, &a->Link, a);
  unlock(&g_opened_lock);
  *adapter = a;
  return ZEK_STATUS_PASS;
}

ZekStatus zek_open_user(void** adapter, const ZekVerbsAddress* address) { return zek_open(adapter, address, 0); }
ZekStatus zek_open_kernel(void** adapter, const ZekVerbsAddress* address) { return zek_open(adapter, address, 1); }

// ---- Close ------------------------------------------------------------------------------------------------
namespace {

// Takes the first element of a list under its lock (null when empty);
// `skip` elements already tried are passed over.
void* first_of(OSPrimSpinlockObject* l, ZekVerbsList* list, std::uint32_t skip) {
  if (OSPrimSyncAcquireSpinlockObject(l) != ZEK_STATUS_PASS) return nullptr;
  ZekVerbsLink* link = list->First;
  for (std::uint32_t i = 0; i < skip && link != nullptr; ++i) link = link->Next;
  void* data = link != nullptr ? link->Data : nullptr;
  if (link != nullptr && data == nullptr) ZEK_LOG_FAILURE("QP List Element had NULL data\n");
  unlock(l);
  return data;
}

void DeleteAllQPObjects(ZekIwarpAdapter* a) {
  std::uint32_t failed = 0;
  while (auto* qp = static_cast<MifhQpObject*>(first_of(&a->QPListSpinlock, &a->QpList, failed))) {
    const ZekStatus status = ZekQpDestroyHeld(a, qp);
    if (status != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("DeleteAllQPObjects: zek_qp_destroy (%x) failed\n", status);
      ++failed;
    }
  }
}

void DeleteAllCQObjects(ZekIwarpAdapter* a) {
  std::uint32_t failed = 0;
  while (auto* cq = static_cast<MifhCqObject*>(first_of(&a->CQListSpinlock, &a->CqList, failed))) {
    const ZekStatus status = ZekCqDestroyHeld(a, cq);
    if (status != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("DeleteAllCQObjects: zek_cq_destroy (%x) failed\n", status);
      ++failed;
    }
  }
}

void DeleteAllPDObjects(ZekIwarpAdapter* a) {
  std::uint32_t failed = 0;
  while (auto* pd = static_cast<ZekPd*>(first_of(&a->PDListSpinlock, &a->PdList, failed))) {
    if (ZekPdDeallocateHeld(a, pd) != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("DeleteAllPDObjects:zek_pd_deallocate failed pPdObj[x%p] \n", static_cast<void*>(pd));
      ++failed;
    }
  }
}

// Every queue pair still connected (RTS) leaves RTS for CLOSING: the adapter
// stops taking its work (what is outstanding comes back flushed) before any
// region it could place data in goes. A refused move is logged; the region's
// own deallocation still keeps the adapter from its pages.
void CloseConnectedQPs(ZekIwarpAdapter* a) {
  for (std::uint32_t i = 0;; ++i) {
    auto* qp = static_cast<MifhQpObject*>(first_of(&a->QPListSpinlock, &a->QpList, i));
    if (qp == nullptr) return;
    if (ZekQpOf(qp)->State != ZEK_QP_STATE_RTS) continue;
    ZekQpModifyInput closing{};
    closing.Mask = ZEK_QP_MODIFY_STATE;
    closing.State = ZEK_QP_STATE_CLOSING;
    ZekQpModifyOutput ignored{};
    if (const ZekStatus s = ZekQpModifyHeld(a, qp, &closing, &ignored); s != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("zek_close: QP(%d) stays in RTS (0x%x)\n", qp->QpId, s);
    }
  }
}

// Closes an adapter that is off every caller's reach (Closing set, no verb
// running on it), in this order: connected queue pairs to CLOSING, memory
// windows, regions (their pages unlocked only once the adapter let them
// go), queue pairs, CQs, PDs. The adapter never places data in memory that
// was given back.
void close_held(ZekIwarpAdapter* a) {
  a->OwningProcess = nullptr;
  CloseConnectedQPs(a);
  ZekDeleteAllStags(a);
  DeleteAllQPObjects(a);
  // Destructions whose wait was interrupted end here, before the CQs and
  // PDs they hold are destroyed.
  ZekFinishDeferredContexts(a);
  DeleteAllCQObjects(a);
  DeleteAllPDObjects(a);
  if (a->BlockingEventValid) OSPrimSetEvent(&a->BlockingEvent);
  ZpxNotifyAdapterClosing(a);  // a waiting event wait returns now
  ZekFinishDeferredContexts(a);
  if (lock(&g_opened_lock, "zek_remove_adapter_from_list: OSPrimSyncAcquireSpinlockObject returned error (0x%x)\n")) {
    ZekVerbsListRemove(&g_opened, &a->Link);
    unlock(&g_opened_lock);
  }
  free_adapter(a);
}

// Marks an open adapter closing and waits until no verb runs on it: true
// when this caller now owns its close. With `owner`, only that process's
// user open is closed.
bool start_close(ZekIwarpAdapter* a, HANDLE owner = nullptr) {
  if (!lock(&g_opened_lock, "FindIwarpAdapter: OSPrimSyncAcquireSpinlockObject returned error (0x%x)\n")) {
    return false;
  }
  const bool ok =
      on_opened_list(a) && a->Closing == 0 && (owner == nullptr || (a->KernelClient == 0 && a->OwningProcess == owner));
  if (ok) a->Closing = 1;
  unlock(&g_opened_lock);
  if (!ok) return false;
  for (;;) {
    if (!lock(&g_opened_lock, "zek_close: OSPrimSyncAcquireSpinlockObject returned error (0x%x)\n")) return true;
    const std::uint32_t users = a->Users;
    unlock(&g_opened_lock);
    if (users == 0) return true;
    OSPrimSleepDelay(nullptr, kCloseWaitUs);
  }
}

}  // namespace

ZekStatus zek_close(void* adapter) {
  if (ZekIsBadPointer(adapter) || !start_close(static_cast<ZekIwarpAdapter*>(adapter))) {
    ZEK_LOG_FAILURE("zek_close: Adapter not found \n");
    return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  }
  close_held(static_cast<ZekIwarpAdapter*>(adapter));
  return ZEK_STATUS_PASS;
}

ZekStatus ZekCloseOwn(void* adapter, HANDLE process) {
  if (ZekIsBadPointer(adapter) || process == nullptr || !start_close(static_cast<ZekIwarpAdapter*>(adapter), process)) {
    ZEK_LOG_FAILURE("zek_close: Adapter not found \n");
    return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  }
  close_held(static_cast<ZekIwarpAdapter*>(adapter));
  return ZEK_STATUS_PASS;
}

ZekIwarpAdapter* ZekHoldOwnAdapter(std::uint64_t handle, HANDLE process) {
  void* p = reinterpret_cast<void*>(handle);
  if (ZekIsBadPointer(p) || process == nullptr || !ZekAdapterAcquire(p, nullptr)) return nullptr;
  auto* a = static_cast<ZekIwarpAdapter*>(p);
  if (a->KernelClient != 0 || a->OwningProcess != process) {
    ZekAdapterRelease(a);
    return nullptr;
  }
  return a;
}

void zek_cleanup_iwarp_resources(HANDLE process_id) {
  // Under the list's lock the process's adapters are marked closing (no new
  // verb reaches them) and collected; they are closed without the lock.
  constexpr std::uint32_t kBatch = 64;
  for (;;) {
    ZekIwarpAdapter* batch[kBatch];
    std::uint32_t n = 0;
    const ZekStatus status = OSPrimSyncAcquireSpinlockObject(&g_opened_lock);
    if (status != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("zek_cleanup_iwarp_resources: OSPrimSyncAcquireSpinlockObject returned error (0x%x)\n", status);
      return;
    }
    for (ZekVerbsLink* l = g_opened.First; l != nullptr && n < kBatch; l = l->Next) {
      auto* a = static_cast<ZekIwarpAdapter*>(l->Data);
      if (a->Closing == 0 && a->OwningProcess != nullptr && a->OwningProcess == process_id) {
        a->Closing = 1;
        batch[n++] = a;
      }
    }
    unlock(&g_opened_lock);
    if (n == 0) return;
    for (std::uint32_t i = 0; i < n; ++i) {
      for (;;) {
        if (!lock(&g_opened_lock, "zek_cleanup_iwarp_resources: lock (0x%x)\n")) break;
        const std::uint32_t users = batch[i]->Users;
        unlock(&g_opened_lock);
        if (users == 0) break;
        OSPrimSleepDelay(nullptr, kCloseWaitUs);
      }
      close_held(batch[i]);
    }
  }
}

void ZekCloseAllAdapters() {
  for (;;) {
    if (!lock(&g_opened_lock, "ZekCloseAllAdapters: OSPrimSyncAcquireSpinlockObject returned error (0x%x)\n")) return;
    ZekIwarpAdapter* a = nullptr;
    for (ZekVerbsLink* l = g_opened.First; l != nullptr && a == nullptr; l = l->Next) {
      auto* candidate = static_cast<ZekIwarpAdapter*>(l->Data);
      if (candidate->Closing == 0) a = candidate;
    }
    unlock(&g_opened_lock);
    if (a == nullptr || !start_close(a)) return;
    close_held(a);
  }
}

namespace {

// The software side of a close, for an adapter that is being detached: no
// request goes to the adapter (its control path may no longer be served),
// so the memory the adapter may still write (queue pairs, CQ rings) is
// kept, never reused; numbers go back to the managers, which still exist.
void orphan_close(ZekIwarpAdapter* a) {
  while (auto* qp = static_cast<MifhQpObject*>(first_of(&a->QPListSpinlock, &a->QpList, 0))) {
    qp->QpFlags |= MIFH_QPF_QUARANTINED;
    ZekQpOf(qp)->Flags &= ~ZEK_QPV_DESTROY_PENDING;
    if (zek_qp_destroy_2(a, qp, 0) != ZEK_STATUS_PASS) break;
  }
  ZekFinishDeferredContexts(a);
  ZekForgetAllStags(a);
  while (auto* cq = static_cast<MifhCqObject*>(first_of(&a->CQListSpinlock, &a->CqList, 0))) {
    if (RemoveFromCQList(a, cq) != ZEK_STATUS_PASS) break;
    ZekCqForget(a, cq);
  }
  std::uint32_t failed = 0;
  while (auto* pd = static_cast<ZekPd*>(first_of(&a->PDListSpinlock, &a->PdList, failed))) {
    if (ZekPdDeallocateHeld(a, pd) != ZEK_STATUS_PASS) ++failed;
  }
  if (a->BlockingEventValid) OSPrimSetEvent(&a->BlockingEvent);
  ZpxNotifyAdapterClosing(a);  // a waiting event wait returns now
  if (lock(&g_opened_lock, "zek_remove_adapter_from_list: OSPrimSyncAcquireSpinlockObject returned error (0x%x)\n")) {
    ZekVerbsListRemove(&g_opened, &a->Link);
    unlock(&g_opened_lock);
  }
  free_adapter(a);
}

}  // namespace

void ZekDetachAdaptersOf(const MifhDeviceObj* device) {
  if (!g_started) return;  // no verbs: no adapter can be open
  for (;;) {
    if (!lock(&g_opened_lock, "ZekDetachAdaptersOf: OSPrimSyncAcquireSpinlockObject returned error (0x%x)\n")) {
      return;
    }
    ZekIwarpAdapter* a = nullptr;
    for (ZekVerbsLink* l = g_opened.First; l != nullptr && a == nullptr; l = l->Next) {
      auto* candidate = static_cast<ZekIwarpAdapter*>(l->Data);
      if (candidate->Closing == 0 && candidate->Device == device) a = candidate;
    }
    unlock(&g_opened_lock);
    if (a == nullptr || !start_close(a)) return;
    ZEK_LOG_FAILURE("ZekDetachAdaptersOf: verbs adapter %p was open on the detached adapter: closed\n",
                    static_cast<void*>(a));
    orphan_close(a);
  }
}

// ---- Query, contexts, handler -----------------------------------------------------------------------------
ZekStatus zek_query_old(void* adapter, ZekAdapterAttributes* attributes) {
  if (ZekIsBadPointer(attributes)) return ZEK_STATUS_BAD_PTR;
  ZekAdapterHold hold(adapter, "zek_query: Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  ZekIwarpAdapter* a = hold.get();
  if (a->Base == nullptr || a->Device == nullptr) return ZEK_STATUS_FAIL;
  const MifhDeviceObj* d = a->Device;
  std::memset(attributes, 0, sizeof *attributes);
  std::memcpy(attributes->Identity, d, sizeof attributes->Identity);
  MifhHwSizes sizes{};
  if (mifh_query_hw_sizes(a->Device, &sizes) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  attributes->MaxQps = sizes.Size2B0 + 1;
  attributes->MaxCqs = sizes.Size278 + 1;
  attributes->MaxCqEntries = ZEK_VERBS_MAX_CQ_ENTRIES;
  attributes->MaxMrs = sizes.Size218;
  attributes->MaxMws = sizes.Size218;
  attributes->MaxPds = sizes.Size258;
  attributes->MaxSges = ZEK_VERBS_MAX_SGES;
  attributes->MaxOrd = d->MaxOrd;
  attributes->MaxIrd = d->MaxIrd;
  attributes->MaxSqWr = d->MaxSqWr >= ZEK_VERBS_WQ_RESERVED ? d->MaxSqWr - ZEK_VERBS_WQ_RESERVED : 0;
  attributes->MaxRqWr = d->MaxRqWr >= ZEK_VERBS_WQ_RESERVED ? d->MaxRqWr - ZEK_VERBS_WQ_RESERVED : 0;
  attributes->MaxStreamMessage = d->MaxStreamMessage;
  attributes->PortMode = d->PortMode == 1 ? 2 : d->PortMode == 3 ? 4 : 1;
  attributes->Fifteen204 = 15;
  attributes->Value1024 = 1024;
  attributes->PageSizes = 0x4000;
  attributes->Four140 = 4;
  attributes->BasePort = d->BasePort;
  attributes->PhyType = d->PhyType;
  return ZEK_STATUS_PASS;
}

ZekStatus zek_query(void* adapter, ZekAdapterAttributes* attributes) {
  const ZekStatus status = zek_query_old(adapter, attributes);
  if (status != ZEK_STATUS_PASS) return status;
  attributes->MaxStreamMessage2 = 64;
  std::memset(attributes->Zero236, 0, sizeof attributes->Zero236);
  return ZEK_STATUS_PASS;
}

ZekStatus zek_set_async_handler(void* adapter, ZekVerbsAsyncHandler handler, ZekVerbsAsyncHandler* previous) {
  ZekAdapterHold hold(adapter, "zek_set_async_handler: Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  if (handler == nullptr) ZEK_LOG_FAILURE("zek_set_async_handler(): AsyncFunction is NULL\n");
  if (!ZekIsBadPointer(previous)) *previous = hold.get()->AsyncHandler;
  hold.get()->AsyncHandler = handler;
  return ZEK_STATUS_PASS;
}

namespace {

// The context word of an object of `kind`; null with the status when the
// object is not the adapter's.
void** context_slot(ZekIwarpAdapter* a, std::uint64_t object, std::uint32_t kind, const char* qp_message,
                    ZekStatus* status) {
  switch (kind) {
    case ZEK_CONTEXT_ADAPTER:
      if (object != reinterpret_cast<std::uint64_t>(a)) {
        *status = IWARP_STATUS_A_INVALID_RNIC_HANDLE;
        return nullptr;
      }
      return &a->ClientContext;
    case ZEK_CONTEXT_CQ: {
      auto* cq = reinterpret_cast<MifhCqObject*>(object);
      if (ZekIsBadPointer(cq) || FindCQObject(a, cq) != ZEK_STATUS_PASS) {
        *status = IWARP_STATUS_CQ_INVALID_HANDLE;
        return nullptr;
      }
      return &ZekCqOf(cq)->ClientContext;
    }
    case ZEK_CONTEXT_QP: {
      MifhQpObject* qp = ZekQpOfHandle(a, object);
      if (qp == nullptr) {
        ZEK_LOG_FAILURE("%s", qp_message);
        *status = IWARP_STATUS_QP_INVALID_HANDLE;
        return nullptr;
      }
      return &ZekQpOf(qp)->ClientContext;
    }
    default:
      *status = ZEK_STATUS_FAIL;
      return nullptr;
  }
}

}  // namespace

ZekStatus zek_set_context(void* adapter, std::uint64_t object, std::uint32_t kind, void* value) {
  ZekAdapterHold hold(adapter, "zek_set_context: Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  ZekStatus status = ZEK_STATUS_PASS;
  void** slot = context_slot(hold.get(), object, kind, "zek_set_context(): QPHandle is NULL\n", &status);
  if (slot == nullptr) return status;
  *slot = value;
  return ZEK_STATUS_PASS;
}

ZekStatus zek_get_context(void* adapter, std::uint64_t object, std::uint32_t kind, void** value) {
  if (ZekIsBadPointer(value)) return ZEK_STATUS_BAD_PTR;
  ZekAdapterHold hold(adapter, "zek_get_context: Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  ZekStatus status = ZEK_STATUS_PASS;
  void** slot = context_slot(hold.get(), object, kind, "zek_get_context(): QPHandle is NULL\n", &status);
  if (slot == nullptr) return status;
  *value = *slot;
  return ZEK_STATUS_PASS;
}
