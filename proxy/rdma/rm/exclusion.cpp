// The exclusion head, the Global Interface Manager, joining and leaving an
// owner, the hardware semaphore and the published hardware information.
#include <cstring>

#include "platform/kernel/ke.h"
#include "proxy/rdma/hw/config.h"
#include "proxy/rdma/rm/rm_internal.h"

using namespace zekrm;

// ---- Exclusion head -----------------------------------------------------------------------------------
bool ZekExclusionValid(const ZekExclusionObject* object) {
  return !ZekIsBadPointer(object) && object->Signature == ZEK_EXCLUSION_SIGNATURE;
}

ZekStatus ExclusionIF_Register(ZekExclusionObject* owner, ZekExclusionObject* follower) {
  if (!ZekExclusionValid(owner) || ZekIsBadPointer(follower)) return ZEK_STATUS_BAD_PTR;
  if (acquire(&owner->Lock) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  ZekStatus status = ZEK_STATUS_PASS;
  if (owner->Owner != owner) {
    ZEK_LOG_FAILURE("ExclusionIF_Register: Sanity Failed");
    status = ZEK_STATUS_FAIL;
  } else if (owner->FollowerCount >= ZEK_EXCLUSION_MAX_FOLLOWERS) {
    ZEK_LOG_FAILURE("ExclusionIF_Register: Follower list full\n");
    status = ZEK_STATUS_FAIL;
  } else {
    owner->Followers[owner->FollowerCount++] = follower;
  }
  release(&owner->Lock);
  return status;
}

ZekStatus ExclusionIF_Deregister(ZekExclusionObject* owner, ZekExclusionObject* follower) {
  if (!ZekExclusionValid(owner) || ZekIsBadPointer(follower)) return ZEK_STATUS_BAD_PTR;
  if (acquire(&owner->Lock) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  ZekStatus status = ZEK_STATUS_FAIL;
  if (owner->Owner != owner) {
    ZEK_LOG_FAILURE("ExclusionIF_Deregister: Sanity Failed");
  } else {
    for (std::uint32_t i = 0; i < owner->FollowerCount; ++i) {
      if (owner->Followers[i] != follower) continue;
      owner->Followers[i] = owner->Followers[--owner->FollowerCount];
      owner->Followers[owner->FollowerCount] = nullptr;
      status = ZEK_STATUS_PASS;
      break;
    }
    if (status != ZEK_STATUS_PASS) ZEK_LOG_FAILURE("ExclusionIF_Deregister: Object Not Found\n");
  }
  release(&owner->Lock);
  return status;
}

ZekStatus ExclusionIF_Handoff(ZekExclusionObject* new_owner, ZekExclusionObject* old_owner) {
  if (ZekIsBadPointer(new_owner)) return ZEK_STATUS_BAD_PTR;
  if (old_owner == nullptr) return ZEK_STATUS_PASS;  // the first owner starts empty
  new_owner->FollowerCount = old_owner->FollowerCount;
  std::memcpy(new_owner->Followers, old_owner->Followers, sizeof new_owner->Followers);
  return ZEK_STATUS_PASS;
}

ZekStatus ExclusionIF_HoldForNewOwner(ZekExclusionObject* object) {
  if (!ZekExclusionValid(object)) {
    ZEK_LOG_FAILURE("ExclusionIF_HoldForNewOwner: Bad Exclusion Object\n");
    return ZEK_STATUS_BAD_PTR;
  }
  return acquire(&object->Lock);
}

ZekStatus ExclusionIF_NewOwner(ZekExclusionObject* object, ZekExclusionObject* owner) {
  if (!ZekExclusionValid(object)) return ZEK_STATUS_BAD_PTR;
  object->Owner = owner;
  return release(&object->Lock);
}

namespace {

void set_head(ZekExclusionObject* head, std::uint32_t id) {
  head->InterfaceId = id;
  if (head->Handoff == nullptr) head->Handoff = &ExclusionIF_Handoff;
  if (head->HoldForNewOwner == nullptr) head->HoldForNewOwner = &ExclusionIF_HoldForNewOwner;
  if (head->NewOwner == nullptr) head->NewOwner = &ExclusionIF_NewOwner;
  if (head->Register == nullptr) head->Register = &ExclusionIF_Register;
  if (head->Deregister == nullptr) head->Deregister = &ExclusionIF_Deregister;
  head->Owner = nullptr;
  head->FollowerCount = 0;
  head->Signature = ZEK_EXCLUSION_SIGNATURE;
}

// An owner that leaves (already out of its own follower list): every
// remaining follower is held, takes the state over, and the last one whose
// hand-off succeeded becomes the owner. When every hand-off fails the last
// follower is chosen anyway, so that no follower is left with a null owner.
// Answers the new owner (null without followers); the followers stay held
// until hand_over_finish.
struct HandOver {
  ZekExclusionObject* followers[ZEK_EXCLUSION_MAX_FOLLOWERS];
  std::uint32_t count;
  ZekExclusionObject* new_owner;
};

void hand_over_begin(ZekExclusionObject* leaving, HandOver* h) {
  h->count = leaving->FollowerCount;
  std::memcpy(h->followers, leaving->Followers, sizeof h->followers);
  h->new_owner = nullptr;
  for (std::uint32_t i = 0; i < h->count; ++i) h->followers[i]->HoldForNewOwner(h->followers[i]);
  for (std::uint32_t i = 0; i < h->count; ++i) {
    if (h->followers[i]->Handoff(h->followers[i], leaving) == ZEK_STATUS_PASS) h->new_owner = h->followers[i];
  }
  if (h->new_owner == nullptr && h->count > 0) {
    ZEK_LOG_FAILURE("Exclusion hand-off: no follower took the state over; the last one owns\n");
    h->new_owner = h->followers[h->count - 1];
  }
}

ZekStatus hand_over_finish(HandOver* h, const char* failure_text) {
  ZekStatus status = ZEK_STATUS_PASS;
  for (std::uint32_t i = h->count; i-- > 0;) {
    if (h->followers[i]->NewOwner(h->followers[i], h->new_owner) != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE(failure_text, i, h->count);
      status = ZEK_STATUS_FAIL;
    }
  }
  return status;
}

}  // namespace

// ---- Hardware semaphore -------------------------------------------------------------------------------
ZekStatus ZekHwSemaphoreAcquire(MifhDeviceObj* device) {
  for (std::uint32_t tries = 1; tries <= ZEK_HW_SEMAPHORE_TRIES; ++tries) {
    HwScratchpadObj* pad = MifhDeviceGuardsIntact(device) ? device->Scratchpad : nullptr;
    if (!ZekIsBadPointer(pad) && pad->Signature == MIFH_SCRATCHPAD_SIGNATURE &&
        acquire(&pad->Lock) == ZEK_STATUS_PASS) {
      return ZEK_STATUS_PASS;
    }
    if (tries % ZEK_HW_SEMAPHORE_BACKOFF_EVERY == 0) OSPrimSleepDelay(nullptr, ZEK_HW_SEMAPHORE_BACKOFF_US);
  }
  ZEK_LOG_FAILURE("myGIMExcIF_RegisterSelf: Failed to obtain HW semaphore\n");
  return ZEK_STATUS_FAIL;
}

void ZekHwSemaphoreRelease(MifhDeviceObj* device) { release(&device->Scratchpad->Lock); }

// ---- Global Interface Manager ---------------------------------------------------------------------------
namespace {

ZekGim* gim_of(void* handle) {
  auto* gim = static_cast<ZekGim*>(handle);
  if (ZekIsBadPointer(gim) || !ZekExclusionValid(&gim->Head)) return nullptr;
  return gim;
}

ZekGim* owner_of(ZekGim* gim) {
  ZekExclusionObject* owner = gim->Head.Owner;
  return ZekExclusionValid(owner) ? reinterpret_cast<ZekGim*>(owner) : nullptr;
}

ZekStatus owner_get(ZekGim* owner, std::uint32_t key, std::uint64_t* value) {
  for (std::uint32_t i = 0; i < owner->InterfaceCount; ++i) {
    if (owner->Interfaces[i].Key == key) {
      *value = owner->Interfaces[i].Value;
      return ZEK_STATUS_PASS;
    }
  }
  *value = 0;
  return ZEK_STATUS_FAIL;
}

ZekStatus owner_register(ZekGim* owner, std::uint32_t key, std::uint64_t value) {
  if (owner->InterfaceCount >= ZEK_GIM_MAX_INTERFACES) {
    ZEK_LOG_FAILURE("myGIMExcIF_Owner_RegisterInterface: Interface table full\n");
    return ZEK_STATUS_FAIL;
  }
  owner->Interfaces[owner->InterfaceCount++] = ZekGimInterfaceEntry{value, key, 0};
  return ZEK_STATUS_PASS;
}

ZekStatus owner_reregister(ZekGim* owner, std::uint32_t key, std::uint64_t value) {
  for (std::uint32_t i = 0; i < owner->InterfaceCount; ++i) {
    if (owner->Interfaces[i].Key == key) {
      owner->Interfaces[i].Value = value;
      return ZEK_STATUS_PASS;
    }
  }
  return ZEK_STATUS_FAIL;
}

ZekStatus owner_deregister(ZekGim* owner, std::uint32_t key) {
  for (std::uint32_t i = 0; i < owner->InterfaceCount; ++i) {
    if (owner->Interfaces[i].Key != key) continue;
    owner->Interfaces[i] = owner->Interfaces[--owner->InterfaceCount];
    owner->Interfaces[owner->InterfaceCount] = ZekGimInterfaceEntry{};
    return ZEK_STATUS_PASS;
  }
  return ZEK_STATUS_FAIL;
}

// Follower routines: the caller's own GIM and its owner's signature checked,
// then the owner's routine. Lock and Release bracket the others.
template <typename Call>
ZekStatus gim_call(void* handle, const char* bad_text, const char* signature_text, Call call) {
  ZekGim* gim = gim_of(handle);
  if (gim == nullptr) {
    if (bad_text != nullptr) ZEK_LOG_FAILURE("%s", bad_text);
    return ZEK_STATUS_BAD_PTR;
  }
  ZekGim* owner = owner_of(gim);
  if (owner == nullptr) {
    if (signature_text != nullptr) ZEK_LOG_FAILURE("%s", signature_text);
    return ZEK_STATUS_FAIL;
  }
  return call(gim, owner);
}

ZekStatus gim_lock(void* handle) {
  return gim_call(handle, "myGIMExcIF_Slave_Lock: Bad Pointer passed in\n",
                  "myGIMExcIF_Slave_Lock: Signature Check Fails\n", [](ZekGim* gim, ZekGim* owner) {
                    if (acquire(&gim->Head.Lock) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
                    if (acquire(&owner->OwnerLock) != ZEK_STATUS_PASS) {
                      release(&gim->Head.Lock);
                      return ZEK_STATUS_FAIL;
                    }
                    return ZEK_STATUS_PASS;
                  });
}

ZekStatus gim_release(void* handle) {
  return gim_call(handle, "myGIMExcIF_Slave_Release: Bad Pointer passed in\n",
                  "myGIMExcIF_Slave_Release: Signature Check Fails\n", [](ZekGim* gim, ZekGim* owner) {
                    const ZekStatus a = release(&owner->OwnerLock);
                    const ZekStatus b = release(&gim->Head.Lock);
                    return a != ZEK_STATUS_PASS ? a : b;
                  });
}

ZekStatus gim_get(void* handle, std::uint32_t key, std::uint64_t* value) {
  if (ZekIsBadPointer(value)) return ZEK_STATUS_BAD_PTR;
  return gim_call(handle, nullptr, nullptr, [&](ZekGim*, ZekGim* owner) { return owner_get(owner, key, value); });
}

ZekStatus gim_register(void* handle, std::uint32_t key, std::uint64_t value) {
  return gim_call(handle, "myGIMExcIF_Slave_RegisterInterface: Bad Pointer passed in\n",
                  "myGIMExcIF_Slave_RegisterInterface: Signature Check Fails\n", [&](ZekGim* gim, ZekGim* owner) {
                    const ZekStatus status = owner_register(owner, key, value);
                    if (status == ZEK_STATUS_PASS) ++gim->RegisteredByThis;
                    return status;
                  });
}

ZekStatus gim_reregister(void* handle, std::uint32_t key, std::uint64_t value) {
  return gim_call(handle, "myGIMExcIF_Slave_ReregisterInterface: Bad Pointer passed in\n",
                  "myGIMExcIF_Slave_ReregisterInterface: Signature Check Fails\n",
                  [&](ZekGim*, ZekGim* owner) { return owner_reregister(owner, key, value); });
}

ZekStatus gim_deregister(void* handle, std::uint32_t key) {
  return gim_call(handle, "myGIMExcIF_Slave_DeregisterInterface: Bad Pointer passed in\n",
                  "myGIMExcIF_Slave_DeregisterInterface: Signature Check Fails\n", [&](ZekGim* gim, ZekGim* owner) {
                    const ZekStatus status = owner_deregister(owner, key);
                    if (status == ZEK_STATUS_PASS && gim->RegisteredByThis > 0) --gim->RegisteredByThis;
                    return status;
                  });
}

// The GIM's hand-off: the follower list and the interface table.
ZekStatus gim_handoff(ZekExclusionObject* new_owner, ZekExclusionObject* old_owner) {
  const ZekStatus status = ExclusionIF_Handoff(new_owner, old_owner);
  if (status != ZEK_STATUS_PASS || old_owner == nullptr) return status;
  auto* to = reinterpret_cast<ZekGim*>(new_owner);
  const auto* from = reinterpret_cast<const ZekGim*>(old_owner);
  to->InterfaceCount = from->InterfaceCount;
  std::memcpy(to->Interfaces, from->Interfaces, sizeof to->Interfaces);
  return ZEK_STATUS_PASS;
}

void free_gim(ZekGim* gim) {
  OSPrimSyncDestroySpinlockObject(&gim->Head.Lock);
  OSPrimSyncDestroySpinlockObject(&gim->OwnerLock);
  gim->Head.Signature = 0;
  OSPrimMemFree(gim);
}

ZekStatus gim_register_self(ZekGim* gim) {
  if (ZekHwSemaphoreAcquire(gim->Device) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("myGIMExcIF_RegisterSelf: Could not get HW Semaphore\n");
    return ZEK_STATUS_FAIL;
  }
  std::uint64_t value = 0;
  ZekStatus status = mifh_get_hw_scratchpad(gim->Device, &value);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("myGIMExcIF_RegisterSelf: Could not get HW Scratchpad\n");
  } else {
    ZekExclusionObject* owner = reinterpret_cast<ZekExclusionObject*>(value);
    bool wrote = false;
    if (owner == nullptr) {
      status = mifh_set_hw_scratchpad(gim->Device, reinterpret_cast<std::uint64_t>(&gim->Head));
      if (status != ZEK_STATUS_PASS) ZEK_LOG_FAILURE("myGIMExcIF_RegisterSelf: Could not set HW Scratchpad\n");
      owner = &gim->Head;
      wrote = true;
    }
    if (status == ZEK_STATUS_PASS) {
      gim->Head.Owner = owner;
      status = owner->Register(owner, &gim->Head);
      if (status != ZEK_STATUS_PASS && wrote) mifh_set_hw_scratchpad(gim->Device, 0);
    }
  }
  ZekHwSemaphoreRelease(gim->Device);
  return status;
}

ZekStatus gim_deregister_self(ZekGim* gim) {
  if (ZekHwSemaphoreAcquire(gim->Device) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("myGIMExcIF_DeregisterSelf: Could not get HW Semaphore\n");
    return ZEK_STATUS_FAIL;
  }
  ZekExclusionObject* owner = gim->Head.Owner;
  ZekStatus status = ZekExclusionValid(owner) ? owner->Deregister(owner, &gim->Head) : ZEK_STATUS_FAIL;
  if (status == ZEK_STATUS_PASS && owner == &gim->Head) {
    HandOver h{};
    hand_over_begin(&gim->Head, &h);
    mifh_set_hw_scratchpad(gim->Device, reinterpret_cast<std::uint64_t>(h.new_owner));
    status = hand_over_finish(&h, "myGIMExcIF_DeregisterSelf: NewOwner(%d/%d) Failed\n");
  }
  ZekHwSemaphoreRelease(gim->Device);
  return status;
}

}  // namespace

ZekStatus Create_GIM(ZekGim** out, MifhDeviceObj* device) {
  if (ZekIsBadPointer(out)) return ZEK_STATUS_BAD_PTR;
  *out = nullptr;
  if (!MifhDeviceGuardsIntact(device)) return ZEK_STATUS_BAD_PTR;
  auto* gim = allocate_zeroed<ZekGim>();
  if (gim == nullptr) {
    ZEK_LOG_FAILURE("Error: Unable to allocate %d bytes for ResourceBlockList::BlocksWithFreeResources\n",
                    static_cast<int>(sizeof(ZekGim)));
    return ZEK_STATUS_RES_INSUFFICIENT_SW;
  }
  gim->Device = device;
  gim->Head.Handoff = &gim_handoff;
  set_head(&gim->Head, GIM_INTERFACE);
  gim->Head.Gim = &g_ZekGimTable;
  gim->Head.GimHandle = gim;
  if (OSPrimSyncInitSpinlockObject(&gim->Head.Lock) != ZEK_STATUS_PASS ||
      OSPrimSyncInitSpinlockObject(&gim->OwnerLock) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("Create_GIM: Failed to Create Spinlock Object\n");
    free_gim(gim);
    return ZEK_STATUS_FAIL;
  }
  if (gim_register_self(gim) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("Error: myGIMExcIF_RegisterSelf failed\n");
    free_gim(gim);
    return ZEK_STATUS_FAIL;
  }
  *out = gim;
  return ZEK_STATUS_PASS;
}

ZekStatus Cleanup_GIM(ZekGim* gim) {
  if (ZekIsBadPointer(gim) || !ZekExclusionValid(&gim->Head)) return ZEK_STATUS_BAD_PTR;
  if (gim_deregister_self(gim) != ZEK_STATUS_PASS) {
    // Still named by the scratchpad or an owner's follower list: kept.
    ZEK_LOG_FAILURE("Cleanup_GIM: myGIMExcIF_DeregisterSelf failed\n");
    return ZEK_STATUS_FAIL;
  }
  free_gim(gim);
  return ZEK_STATUS_PASS;
}

const ZekGimTable g_ZekGimTable = {
    table_header<ZekGimTable>(),
    &Create_GIM,
    &Cleanup_GIM,
    &gim_lock,
    &gim_release,
    &gim_get,
    &gim_register,
    &gim_reregister,
    &gim_deregister,
};

// ---- Joining and leaving ------------------------------------------------------------------------------
ZekStatus GIMUser_Init(ZekExclusionObject* object, const ZekGimTable* gim, void* gim_handle, std::uint32_t id) {
  if (ZekIsBadPointer(object) || ZekIsBadPointer(gim) || ZekIsBadPointer(gim_handle)) return ZEK_STATUS_BAD_PTR;
  set_head(object, id);
  object->Gim = gim;
  object->GimHandle = gim_handle;
  if (OSPrimSyncInitSpinlockObject(&object->Lock) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("GIMUser_Init: OSPrimSyncInitSpinlockObject Failed\n");
    object->Signature = 0;
    return ZEK_STATUS_FAIL;
  }
  ZekStatus status = gim->Lock(gim_handle);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("GIMUser_RegisterSelf: Lock Failed\n");
  } else {
    std::uint64_t value = 0;
    bool registered = false;
    ZekExclusionObject* owner = nullptr;
    if (gim->GetInterface(gim_handle, id, &value) == ZEK_STATUS_PASS && value != 0) {
      owner = reinterpret_cast<ZekExclusionObject*>(value);
    } else {
      status = gim->RegisterInterface(gim_handle, id, reinterpret_cast<std::uint64_t>(object));
      if (status != ZEK_STATUS_PASS) {
        ZEK_LOG_FAILURE("GIMUser_RegisterSelf: RegisterInterface Failed\n");
      } else {
        registered = true;
        owner = object;
        object->Owner = object;
        object->Handoff(object, nullptr);
      }
    }
    if (status == ZEK_STATUS_PASS) {
      status = ZekExclusionValid(owner) ? owner->Register(owner, object) : ZEK_STATUS_FAIL;
      if (status != ZEK_STATUS_PASS) {
        ZEK_LOG_FAILURE("GIMUser_RegisterSelf: Register Failed\n");
        if (registered) gim->DeregisterInterface(gim_handle, id);
      } else {
        object->Owner = owner;
      }
    }
    if (gim->Release(gim_handle) != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("GIMUser_RegisterSelf: Release Failed\n");
      if (status == ZEK_STATUS_PASS) status = ZEK_STATUS_FAIL;
    }
  }
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("GIMUser_Init: GIMUser_RegisterSelf Failed\n");
    OSPrimSyncDestroySpinlockObject(&object->Lock);
    object->Signature = 0;
  }
  return status;
}

ZekStatus GIMUser_Cleanup(ZekExclusionObject* object) {
  if (!ZekExclusionValid(object)) return ZEK_STATUS_BAD_PTR;
  const ZekGimTable* gim = object->Gim;
  void* handle = object->GimHandle;
  if (gim->Lock(handle) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("GIMUser_DeregisterSelf: Locking Failed\n");
    return ZEK_STATUS_FAIL;
  }
  ZekExclusionObject* owner = object->Owner;
  ZekStatus status = ZekExclusionValid(owner) ? owner->Deregister(owner, object) : ZEK_STATUS_FAIL;
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("GIMUser_DeregisterSelf: Deregister Failed\n");
  } else if (owner == object) {
    HandOver h{};
    hand_over_begin(object, &h);
    std::uint64_t value = 0;
    if (gim->GetInterface(handle, object->InterfaceId, &value) != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("GIMUser_DeregisterSelf: GetInterface Failed\n");
    }
    if (h.new_owner != nullptr) {
      if (gim->ReregisterInterface(handle, object->InterfaceId, reinterpret_cast<std::uint64_t>(h.new_owner)) !=
          ZEK_STATUS_PASS) {
        ZEK_LOG_FAILURE("GIMUser_DeregisterSelf: ReregisterInterface Failed\n");
      }
    } else if (gim->DeregisterInterface(handle, object->InterfaceId) != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("GIMUser_DeregisterSelf: DeregisterInterface Failed\n");
    }
    status = hand_over_finish(&h, "GIMUser_DeregisterSelf: NewOwner(%d/%d) Failed\n");
  }
  if (gim->Release(handle) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("GIMUser_DeregisterSelf: Release Failed\n");
    if (status == ZEK_STATUS_PASS) status = ZEK_STATUS_FAIL;
  }
  if (status != ZEK_STATUS_PASS) return status;
  if (OSPrimSyncDestroySpinlockObject(&object->Lock) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("GIMUser_Cleanup: OSPrimSyncDestroySpinlockObject Failed\n");
  }
  object->Signature = 0;
  return ZEK_STATUS_PASS;
}

// ---- Hardware information -------------------------------------------------------------------------------
namespace {

constexpr std::uint32_t kPublishedDevices = 16;
struct Published {
  MifhDeviceObj* device;
  ZekRmHardwareInfo info;
};
Published g_published[kPublishedDevices];
KSPIN_LOCK g_published_lock;

}  // namespace

ZekStatus ZekRmPublishHardwareInfo(MifhDeviceObj* device, const ZekRmHardwareInfo* info) {
  if (ZekIsBadPointer(device) || ZekIsBadPointer(info)) return ZEK_STATUS_BAD_PTR;
  KIRQL irql;
  KeAcquireSpinLock(&g_published_lock, &irql);
  Published* slot = nullptr;
  for (Published& p : g_published) {
    if (p.device == device) slot = &p;
  }
  for (Published& p : g_published) {
    if (slot == nullptr && p.device == nullptr) slot = &p;
  }
  if (slot != nullptr) {
    slot->device = device;
    slot->info = *info;
    slot->info.IpTableSize = ZEK_IP_TABLE_SIZE;
    if (slot->info.ArpTableSize < ZEK_MIN_ARP_TABLE_SIZE) slot->info.ArpTableSize = ZEK_MIN_ARP_TABLE_SIZE;
  }
  KeReleaseSpinLock(&g_published_lock, irql);
  return slot != nullptr ? ZEK_STATUS_PASS : ZEK_STATUS_FAIL;
}

void ZekRmWithdrawHardwareInfo(MifhDeviceObj* device) {
  KIRQL irql;
  KeAcquireSpinLock(&g_published_lock, &irql);
  for (Published& p : g_published) {
    if (p.device == device) p = Published{};
  }
  KeReleaseSpinLock(&g_published_lock, irql);
}

ZekStatus GetHardwareInfo(MifhDeviceObj* device, ZekRmHardwareInfo* info) {
  if (ZekIsBadPointer(device) || ZekIsBadPointer(info)) return ZEK_STATUS_BAD_PTR;
  ZekStatus status = ZEK_STATUS_FAIL;
  KIRQL irql;
  KeAcquireSpinLock(&g_published_lock, &irql);
  for (const Published& p : g_published) {
    if (p.device == device) {
      *info = p.info;
      status = ZEK_STATUS_PASS;
    }
  }
  KeReleaseSpinLock(&g_published_lock, irql);
  return status;
}

std::uint32_t GromitBlockSize(std::uint32_t count) {
  if (count <= 16) return 1;
  if (count <= 256) return 8;
  if (count <= 1024) return 32;
  if (count <= 8192) return 64;
  if (count <= 32768) return 128;
  return 256;
}

const char* ZekResourceTypeName(std::uint32_t type) {
  static const char* const kNames[ZEK_RES_TYPES] = {"QP", "CQ", "MR", "PD", "USERPD", "IRD"};
  return type < ZEK_RES_TYPES ? kNames[type] : "?";
}
