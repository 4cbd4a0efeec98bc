// The status-message registry and the function-name registry. Both tables
// are dense (a removal moves the last entry into the hole) and share one
// spin-lock object, whose signature is also the registries' mark of being
// initialised.
#include <cstring>

#include "include/zek/registry.h"
#include "lib/common/registry/registry_lock.h"
#include "lib/common/registry/registry_tables.h"

namespace {

OSPrimSpinlockObject g_lock;
ZekMessageGroup g_groups[ZEK_MAX_MESSAGE_GROUPS];
std::uint32_t g_group_count;
ZekFunctionNameGroup g_names[ZEK_MAX_FUNCTION_NAME_GROUPS];
std::uint32_t g_name_count;
std::uint32_t g_uses;  // module c_err_msgs

const char* safe(const char* text) { return text != nullptr ? text : ""; }

// Holding g_lock.
ZekMessageGroup* find_group(std::uint32_t key) {
  for (std::uint32_t i = 0; i < g_group_count; ++i) {
    if (g_groups[i].Key == key) return &g_groups[i];
  }
  return nullptr;
}

}  // namespace

#define MSGS "Status Messages"
#define NAMES "Error Messages"

ZekStatus ZEK_RegisterErrorMessages(std::uint32_t key, const char* const* texts, std::uint32_t count,
                                    const char* groupName) {
  if (!ZekRegistryLockValid(g_lock)) {
    ZEK_LOG_FAILURE("ZEK_RegisterErrMessages: Status Messages were not initialized before being used by %s\n",
                    safe(groupName));
    return ZEK_STATUS_LIB_NOT_INITIALIZED;
  }
  if (count != 0 && ZekIsBadPointer(texts)) {
    ZEK_LOG_FAILURE("ZEK_RegisterErrMessages: Status Messages of %s were NULL (0x%x)\n", safe(groupName),
                    ZEK_STATUS_BAD_PTR);
    return ZEK_STATUS_BAD_PTR;
  }
  ZEK_REGISTRY_ACQUIRE(g_lock, "ZEK_RegisterErrMessages", MSGS, ZekStandardStatusText, lock_status_);
  ZekStatus result = ZEK_STATUS_PASS;
  if (ZekMessageGroup* group = find_group(key)) {
    // Registered already: one more user of the same texts. This needs no new
    // slot, so it succeeds on a full table too.
    ++group->UseCount;
  } else if (g_group_count >= ZEK_MAX_MESSAGE_GROUPS) {
    ZEK_LOG_FAILURE("ZEK_RegisterErrMessages: Status Messages exceeded maximum number of registered libraries\n");
    result = ZEK_ERROR_TOO_MANY_MESSAGES_REGISTERED;
  } else {
    g_groups[g_group_count++] = ZekMessageGroup{texts, groupName, 1, key, count};
  }
  ZEK_REGISTRY_RELEASE(g_lock, "ZEK_RegisterErrMessages", MSGS, ZekStandardStatusText, result);
  return result;
}

ZekStatus ZEK_DeregisterErrorMessages(std::uint32_t key) {
  if (!ZekRegistryLockValid(g_lock)) {
    ZEK_LOG_FAILURE("ZEK_DeregisterErrorMessages: Status Messages were not initialized before being used by %08x\n",
                    key);
    return ZEK_STATUS_LIB_NOT_INITIALIZED;
  }
  ZEK_REGISTRY_ACQUIRE(g_lock, "ZEK_DeregisterErrMessages", MSGS, ZekStandardStatusText, lock_status_);
  ZekStatus result = ZEK_STATUS_PASS;
  ZekMessageGroup* group = find_group(key);
  if (group == nullptr) {
    result = ZEK_STATUS_LIB_NOT_FOUND;
  } else if (--group->UseCount == 0) {
    ZekMessageGroup* last = &g_groups[--g_group_count];
    *group = *last;
    *last = ZekMessageGroup{};
  }
  ZEK_REGISTRY_RELEASE(g_lock, "ZEK_DeregisterErrMessages", MSGS, ZekStandardStatusText, result);
  return result;
}

const char* ZEK_GetErrorMessage(ZekStatus code) {
  if (!ZekRegistryLockValid(g_lock)) return ZEK_TEXT_NOT_INITIALIZED;
  if (OSPrimSyncAcquireSpinlockObject(&g_lock) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("ZEK_GetErrMessage: Status Messages Unable to Acquire Spinlock\n");
    return ZEK_TEXT_LOCK_FAILURE;
  }
  const char* text = ZEK_TEXT_BAD_ERROR_CODE;
  const std::uint32_t key = ZekStatusKey(code);
  const std::uint32_t index = ZekStatusIndex(code);
  for (std::uint32_t i = 0; i < g_group_count; ++i) {
    // A shorter group with the same key does not hide a longer one behind it.
    if (g_groups[i].Key == key && g_groups[i].Count > index) {
      text = g_groups[i].Texts[index];
      break;
    }
  }
  ZekStatus ignored = ZEK_STATUS_PASS;
  ZEK_REGISTRY_RELEASE(g_lock, "ZEK_GetErrMessage", MSGS, ZekStandardStatusText, ignored);
  (void)ignored;
  return text != nullptr ? text : ZEK_TEXT_BAD_ERROR_CODE;
}

ZekStatus ZEK_RegisterFunctionNames(std::uint32_t key, const char* const* names, std::uint32_t count,
                                    const char* groupName) {
  if (!ZekRegistryLockValid(g_lock)) return ZEK_STATUS_LIB_NOT_INITIALIZED;
  if (count != 0 && ZekIsBadPointer(names)) {
    ZEK_LOG_FAILURE("ZEK_RegisterFunctionNames: Function Names of %s were NULL (0x%x)\n", safe(groupName),
                    ZEK_STATUS_BAD_PTR);
    return ZEK_STATUS_BAD_PTR;
  }
  ZEK_REGISTRY_ACQUIRE(g_lock, "ZEK_RegisterFunctionNames", NAMES, ZekStandardStatusText, lock_status_);
  ZekStatus result = ZEK_STATUS_PASS;
  if (g_name_count >= ZEK_MAX_FUNCTION_NAME_GROUPS) {
    ZEK_LOG_FAILURE("ZEK_RegisterFunctionNames: Error Messages exceeded maximum number of registered libraries\n");
    result = ZEK_ERROR_TOO_MANY_MESSAGES_REGISTERED;
  } else {
    // No duplicate check: a key registered twice has two groups.
    g_names[g_name_count++] = ZekFunctionNameGroup{names, groupName, key, count};
  }
  ZEK_REGISTRY_RELEASE(g_lock, "ZEK_RegisterFunctionNames", NAMES, ZekStandardStatusText, result);
  return result;
}

ZekStatus ZEK_DeregisterFunctionNames(std::uint32_t key) {
  if (!ZekRegistryLockValid(g_lock)) return ZEK_STATUS_LIB_NOT_INITIALIZED;
  ZEK_REGISTRY_ACQUIRE(g_lock, "ZEK_DeregisterFunctionNames", NAMES, ZekStandardStatusText, lock_status_);
  ZekStatus result = ZEK_STATUS_LIB_NOT_FOUND;
  for (std::uint32_t i = 0; i < g_name_count; ++i) {
    if (g_names[i].Key == key) {
      ZekFunctionNameGroup* last = &g_names[--g_name_count];
      g_names[i] = *last;
      *last = ZekFunctionNameGroup{};
      result = ZEK_STATUS_PASS;
      break;
    }
  }
  ZEK_REGISTRY_RELEASE(g_lock, "ZEK_DeregisterFunctionNames", NAMES, ZekStandardStatusText, result);
  return result;
}

const char* ZEK_GetFunctionName(std::uint32_t code) {
  if (!ZekRegistryLockValid(g_lock)) return ZEK_TEXT_NOT_INITIALIZED;
  ZEK_REGISTRY_ACQUIRE(g_lock, "ZEK_GetFunctionName", NAMES, ZekStandardStatusText, ZEK_TEXT_UNKNOWN_FUNCTION);
  const char* name = ZEK_TEXT_UNKNOWN_FUNCTION;
  const std::uint32_t key = ZekStatusKey(code);
  const std::uint32_t index = ZekFunctionNameIndex(code);
  for (std::uint32_t i = 0; i < g_name_count; ++i) {
    if (g_names[i].Key == key && g_names[i].Count > index) {
      name = g_names[i].Names[index];
      break;
    }
  }
  ZekStatus ignored = ZEK_STATUS_PASS;
  ZEK_REGISTRY_RELEASE(g_lock, "ZEK_GetFunctionName", NAMES, ZekStandardStatusText, ignored);
  (void)ignored;
  return name != nullptr ? name : ZEK_TEXT_UNKNOWN_FUNCTION;
}

ZekStatus ZEK_Init_c_err_msgs() {
  if (g_uses > 0) {
    ++g_uses;
    return ZEK_STATUS_PASS;
  }
  if (ZekRegistryLockValid(g_lock)) {
    ZEK_LOG_FAILURE("ZEK_Init_c_err_msgs: Status Messages not intialized, but Semaphore was nontheless valid\n");
    return ZEK_STATUS_FAIL;
  }
  std::memset(g_groups, 0, sizeof(g_groups));
  std::memset(g_names, 0, sizeof(g_names));
  g_group_count = 0;
  g_name_count = 0;
  ZekStatus status = OSPrimSyncInitSpinlockObject(&g_lock);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("ZEK_Init_c_err_msgs: Status Messages unable to create Semaphore (%s)\n",
                    ZekStandardStatusText(status));
    return status;
  }
  status = ZEK_RegisterErrorMessages(ZEK_GROUP_STANDARD_ERRORS, ZekStandardErrorTexts, ZEK_STANDARD_ERROR_COUNT,
                                     ZEK_GROUP_NAME_STANDARD_ERRORS);
  if (status == ZEK_STATUS_PASS) {
    status = ZEK_RegisterErrorMessages(ZEK_GROUP_ERROR_MESSAGES, ZekErrorMessageErrorTexts,
                                       ZEK_ERROR_MESSAGE_ERROR_COUNT, ZEK_GROUP_NAME_ERROR_MESSAGES);
  }
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("ZEK_Init_c_err_msgs: Status Messages Unable to Register Standard Error Names (%s)\n",
                    ZekStandardStatusText(status));
    // Leave nothing half set up: the next init starts afresh.
    OSPrimSyncDestroySpinlockObject(&g_lock);
    return status;
  }
  g_uses = 1;
  return ZEK_STATUS_PASS;
}

ZekStatus ZEK_Cleanup_c_err_msgs() {
  if (g_uses == 0) {
    ZEK_LOG_FAILURE("ZEK_Cleanup_c_err_msgs: Status Messages being cleaned up more times than initialized\n");
    return ZEK_STATUS_FAIL;
  }
  if (g_uses > 1) {
    --g_uses;
    return ZEK_STATUS_PASS;
  }
  if (!ZekRegistryLockValid(g_lock)) return ZEK_STATUS_FAIL;
  ZekStatus status = ZEK_DeregisterErrorMessages(ZEK_GROUP_ERROR_MESSAGES);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("ZEK_Cleanup_c_err_msgs: Status Messages unable to deregister Error Message Names (%s)\n",
                    ZEK_GetErrorMessage(status));
    return status;
  }
  status = ZEK_DeregisterErrorMessages(ZEK_GROUP_STANDARD_ERRORS);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("ZEK_Cleanup_c_err_msgs: Status Messages unable to deregister Standard Error Names (%s)\n",
                    ZEK_GetErrorMessage(status));
    return status;
  }
  if (g_group_count != 0) {
    ZEK_LOG_FAILURE("ZEK_Cleanup_c_err_msgs: Status Messages for library %s(0x%08x) is still registered\n",
                    safe(g_groups[0].Name), g_groups[0].Key);
  }
  status = OSPrimSyncDestroySpinlockObject(&g_lock);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("ZEK_Cleanup_c_err_msgs: Interface Manager unable to destory Semaphore properly(%s)\n",
                    ZekStandardStatusText(status));
    return ZEK_STATUS_FAIL;
  }
  g_uses = 0;
  return ZEK_STATUS_PASS;
}
