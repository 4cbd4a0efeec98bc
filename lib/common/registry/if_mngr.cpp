// The interface manager: routine tables published under 32-bit interface
// ids. Entries are kept dense in registration order; a removal moves the last
// entry into the hole. The lock object's signature is the manager's mark of
// being initialised.
#include <cstring>

#include "include/zek/registry.h"
#include "lib/common/registry/registry_lock.h"
#include "lib/common/registry/registry_tables.h"

namespace {

OSPrimSpinlockObject g_lock;
ZekInterfaceEntry g_entries[ZEK_MAX_INTERFACES];
std::uint32_t g_count;
std::uint32_t g_uses;  // module c_if_mngr

const char* safe(const char* text) { return text != nullptr ? text : ""; }

ZekStatus append(std::uint32_t id, const void* routines, ZekInterfaceGetter getter, const char* name) {
  if (g_count >= ZEK_MAX_INTERFACES) return ZEK_STATUS_IF_MNGR_ERROR;
  g_entries[g_count++] = ZekInterfaceEntry{id, routines, getter, name};
  return ZEK_STATUS_PASS;
}

}  // namespace

#define IFM "Interface Manager"

ZekStatus ZEK_RegisterInterface(std::uint32_t id, const void* routines, const char* name) {
  if (!ZekRegistryLockValid(g_lock)) {
    ZEK_LOG_FAILURE("ZEK_RegisterInterface: Interface Manager was not initialized before using\n");
    return ZEK_STATUS_LIB_NOT_INITIALIZED;
  }
  ZEK_REGISTRY_ACQUIRE(g_lock, "ZEK_RegisterInterface", IFM, ZEK_GetErrorMessage, lock_status_);
  ZekStatus result;
  if (ZekIsBadPointer(routines)) {
    ZEK_LOG_FAILURE("ZEK_RegisterInterface: Routines were NULL!\n");
    result = ZEK_STATUS_BAD_PTR;
  } else {
    // No check for an id already present: a second entry goes behind the
    // first, which keeps answering lookups.
    result = append(id, routines, nullptr, name);
    if (result != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("ZEK_RegisterInterface: Interface Manager exceeded maximum number of registered libraries\n");
    }
  }
  ZEK_REGISTRY_RELEASE(g_lock, "ZEK_RegisterInterface", IFM, ZEK_GetErrorMessage, result);
  return result;
}

ZekStatus ZEK_RegisterInterfaceFunction(std::uint32_t id, ZekInterfaceGetter getter, const char* name) {
  if (!ZekRegistryLockValid(g_lock)) {
    ZEK_LOG_FAILURE("ZEK_RegisterInterfaceFunction: Interface Manager was not initialized before using\n");
    return ZEK_STATUS_LIB_NOT_INITIALIZED;
  }
  ZEK_REGISTRY_ACQUIRE(g_lock, "ZEK_RegisterInterfaceFunction", IFM, ZEK_GetErrorMessage, lock_status_);
  ZekStatus result = append(id, nullptr, getter, name);
  if (result != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE(
        "ZEK_RegisterInterfaceFunction: Interface Manager exceeded maximum number of registered libraries\n");
  }
  ZEK_REGISTRY_RELEASE(g_lock, "ZEK_RegisterInterfaceFunction", IFM, ZEK_GetErrorMessage, result);
  return result;
}

ZekStatus ZEK_DeregisterInterface(std::uint32_t id) {
  if (!ZekRegistryLockValid(g_lock)) {
    ZEK_LOG_FAILURE("ZEK_DeregisterInterface: Interface Manager was not initialized before using\n");
    return ZEK_STATUS_IF_MNGR_ERROR;
  }
  ZEK_REGISTRY_ACQUIRE(g_lock, "ZEK_DeregisterInterface", IFM, ZEK_GetErrorMessage, lock_status_);
  ZekStatus result = ZEK_STATUS_IF_NOT_FOUND;
  for (std::uint32_t i = 0; i < g_count; ++i) {
    if (g_entries[i].InterfaceId == id) {
      ZekInterfaceEntry* last = &g_entries[--g_count];
      g_entries[i] = *last;
      *last = ZekInterfaceEntry{};
      result = ZEK_STATUS_PASS;
      break;
    }
  }
  ZEK_REGISTRY_RELEASE(g_lock, "ZEK_DeregisterInterface", IFM, ZEK_GetErrorMessage, result);
  return result;
}

ZekStatus ZEK_GetInterface(std::uint32_t id, void** table) {
  if (!ZekRegistryLockValid(g_lock)) {
    ZEK_LOG_FAILURE("ZEK_GetInterface: Interface Manager was not initialized before using\n");
    return ZEK_STATUS_IF_MNGR_ERROR;
  }
  if (ZekIsBadPointer(table)) {
    ZEK_LOG_FAILURE("ZEK_GetInterface: Interface Manager was given no place for the table (0x%x)\n",
                    ZEK_STATUS_BAD_PTR);
    return ZEK_STATUS_BAD_PTR;
  }
  ZEK_REGISTRY_ACQUIRE(g_lock, "ZEK_GetInterface", IFM, ZEK_GetErrorMessage, lock_status_);
  ZekStatus result = ZEK_STATUS_IF_NOT_FOUND;
  bool answered = false;
  for (std::uint32_t i = 0; i < g_count && !answered; ++i) {
    const ZekInterfaceEntry& entry = g_entries[i];
    if (entry.InterfaceId != id) continue;
    if (entry.Routines != nullptr) {
      *table = const_cast<void*>(entry.Routines);
      result = ZEK_STATUS_PASS;
      answered = true;
    } else if (entry.Getter != nullptr) {
      // The getter runs under the manager's lock and must not call it. Its
      // answer stands, "not found" included: later entries are not tried.
#if ZEK_OSPRIM_KERNEL
      result = entry.Getter(id, table, g_entries);
#else
      result = entry.Getter(id, table);
#endif
      answered = true;
    } else {
      ZEK_LOG_FAILURE("ZEK_GetInterface: Interface and Interface Functions were NULL\n");
    }
  }
  if (!answered) ZEK_LOG_FAILURE("ZEK_GetInterface: Interface Manager unable to find interface (%08x)\n", id);
  ZEK_REGISTRY_RELEASE(g_lock, "ZEK_GetInterface", IFM, ZEK_GetErrorMessage, result);
  return result;
}

ZekStatus ZEK_Init_c_if_mngr() {
  if (g_uses > 0) {
    ++g_uses;
    return ZEK_STATUS_PASS;
  }
  // The lock is checked before anything is registered, so that a refused
  // init leaves nothing behind.
  if (ZekRegistryLockValid(g_lock)) {
    ZEK_LOG_FAILURE("ZEK_Init_c_if_mngr: Interface Manager not intialized, but Semaphore was nontheless valid\n");
    return ZEK_STATUS_FAIL;
  }
  ZekStatus status = ZEK_RegisterFunctionNames(ZEK_GROUP_INTERFACE_MANAGER, ZekInterfaceManagerFunctionNames,
                                               ZEK_IF_MNGR_FUNCTION_COUNT, ZEK_GROUP_NAME_IF_MNGR);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("ZEK_Init_c_if_mngr: Interface Manager Unable to Register Function Names (%s)\n",
                    ZEK_GetErrorMessage(status));
    return status;
  }
  std::memset(g_entries, 0, sizeof(g_entries));
  g_count = 0;
  status = OSPrimSyncInitSpinlockObject(&g_lock);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("ZEK_Init_c_if_mngr: Interface Manager unable to create Semaphore (%s)\n",
                    ZEK_GetErrorMessage(status));
    ZEK_DeregisterFunctionNames(ZEK_GROUP_INTERFACE_MANAGER);
    return status;
  }
  g_uses = 1;
  return ZEK_STATUS_PASS;
}

ZekStatus ZEK_Cleanup_c_if_mngr() {
  if (g_uses == 0) {
    ZEK_LOG_FAILURE("ZEK_Cleanup_c_if_mngr Interface Manager being cleaned up more times than it was initialized");
    return ZEK_STATUS_FAIL;
  }
  if (g_uses > 1) {
    --g_uses;
    return ZEK_STATUS_PASS;
  }
  if (!ZekRegistryLockValid(g_lock)) {
    ZEK_LOG_FAILURE("ZEK_Cleanup_c_if_mngr Interface Manager has Invalid Blocking Object");
    return ZEK_STATUS_FAIL;
  }
  ZEK_REGISTRY_ACQUIRE(g_lock, "ZEK_Cleanup_c_if_mngr", IFM, ZEK_GetErrorMessage, lock_status_);
  const std::uint32_t remaining = g_count;
  for (std::uint32_t i = 0; i < remaining; ++i) {
    OSPrimDebugPrint("ZEK_Cleanup_c_if_mngr Interface %s(x%08X) is still registered on If_Mngr_Cleanup\n",
                     safe(g_entries[i].Name), g_entries[i].InterfaceId);
  }
  ZekStatus result = ZEK_STATUS_PASS;
  ZEK_REGISTRY_RELEASE(g_lock, "ZEK_Cleanup_c_if_mngr", IFM, ZEK_GetErrorMessage, result);
  if (result != ZEK_STATUS_PASS) return result;
  // Interfaces still registered: the manager stays initialised and usable,
  // and this use stays counted, so a later cleanup can finish the work.
  if (remaining != 0) return ZEK_STATUS_FAIL;

  ZekStatus status = OSPrimSyncDestroySpinlockObject(&g_lock);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("ZEK_Cleanup_c_if_mngr Interface Manager unable to destory Semaphore properly(%s)\n",
                    ZEK_GetErrorMessage(status));
    return ZEK_STATUS_FAIL;
  }
  g_uses = 0;
  status = ZEK_DeregisterFunctionNames(ZEK_GROUP_INTERFACE_MANAGER);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("ZEK_Cleanup_c_if_mngr Interface Manager Unable to Deregister Function Names (%s)\n",
                    ZEK_GetErrorMessage(status));
    return status;
  }
  return ZEK_STATUS_PASS;
}
