// The status-message registry, the function-name registry and the interface
// manager.
//
// One source (lib/common/registry) serves the kernel build (both drivers)
// and the user-mode build (zekbase); it calls only the OS-primitive contract
// (include/zek/osprim.h). Modules publish their texts, names and routine
// tables at initialisation; consumers look them up by code or interface id
// instead of linking to each other. Every operation takes its registry's
// spin-lock object and may run at DISPATCH_LEVEL in the kernel.
//
// For the user-mode build (zekbase): compile lib/common/registry without
// ZEK_KERNEL_BUILD (zek_add_shared_registry_sources in lib/common/ZekShared.cmake) against the
// user-mode OS primitives. The builds differ only in what ZEK_KERNEL_BUILD
// selects:
//   - the spin-lock signature that marks a registry as initialised
//     (0x44444444 kernel, 0x544A424F user-mode), through ZEK_SIG_SPINLOCK;
//   - the getter of ZEK_RegisterInterfaceFunction: the kernel passes the entry
//     table as a third argument, the user-mode build calls getter(id, out).
// The registries need OSPrimSyncInit/Acquire/Release/DestroySpinlockObject,
// OSPrimMemoryLogging and OSPrimDebugPrint from the OS-primitive layer.
#pragma once

#include <cstdint>

#include "include/zek/osprim.h"
#include "include/zek/status.h"

inline constexpr std::uint32_t ZEK_MAX_INTERFACES = 4096;
inline constexpr std::uint32_t ZEK_MAX_MESSAGE_GROUPS = 256;
inline constexpr std::uint32_t ZEK_MAX_FUNCTION_NAME_GROUPS = 256;

struct ZekInterfaceEntry;
#if ZEK_OSPRIM_KERNEL
using ZekInterfaceGetter = ZekStatus (*)(std::uint32_t id, void** table, ZekInterfaceEntry* entries);
#else
using ZekInterfaceGetter = ZekStatus (*)(std::uint32_t id, void** table);
#endif

struct ZekInterfaceEntry {
  std::uint32_t InterfaceId;
  const void* Routines;       // null for an entry with a getter
  ZekInterfaceGetter Getter;  // null for an entry with a table
  const char* Name;           // for diagnostics
};

struct ZekMessageGroup {
  const char* const* Texts;
  const char* Name;
  std::uint32_t UseCount;
  std::uint32_t Key;
  std::uint32_t Count;
};

struct ZekFunctionNameGroup {
  const char* const* Names;
  const char* Name;
  std::uint32_t Key;
  std::uint32_t Count;
};

// Fixed answers of ZEK_GetErrorMessage and ZEK_GetFunctionName.
inline constexpr const char* ZEK_TEXT_BAD_ERROR_CODE = "Bad Error Code Error";
inline constexpr const char* ZEK_TEXT_NOT_INITIALIZED = "Error Library Not Initialized";
inline constexpr const char* ZEK_TEXT_LOCK_FAILURE = "BAD ERROR CODE";
inline constexpr const char* ZEK_TEXT_UNKNOWN_FUNCTION = "Unknown Function Name";

// ---- Status messages and function names ---------------------------------------------
// Use-counted; the first init registers "Standard Errors" (key 0) and
// "Error Messages Errors" (key 0x40000).
ZEK_EXPORT ZekStatus ZEK_Init_c_err_msgs();
ZEK_EXPORT ZekStatus ZEK_Cleanup_c_err_msgs();

// A key already registered only gains a use; its texts stay. The registry
// keeps the caller's pointers: they must outlive the registration.
ZEK_EXPORT ZekStatus ZEK_RegisterErrorMessages(std::uint32_t key, const char* const* texts, std::uint32_t count,
                                               const char* groupName);
ZEK_EXPORT ZekStatus ZEK_DeregisterErrorMessages(std::uint32_t key);
ZEK_EXPORT const char* ZEK_GetErrorMessage(ZekStatus code);

ZEK_EXPORT ZekStatus ZEK_RegisterFunctionNames(std::uint32_t key, const char* const* names, std::uint32_t count,
                                               const char* groupName);
ZEK_EXPORT ZekStatus ZEK_DeregisterFunctionNames(std::uint32_t key);
// The name index is bits 15-8 of the code.
ZEK_EXPORT const char* ZEK_GetFunctionName(std::uint32_t code);

// ---- Interface manager --------------------------------------------------------------------
// Use-counted; the first init registers "Interface Manager Functions" (key
// 0x30000). Cleanup with interfaces still registered reports them, answers
// ZEK_STATUS_FAIL and leaves the manager initialised.
ZEK_EXPORT ZekStatus ZEK_Init_c_if_mngr();
ZEK_EXPORT ZekStatus ZEK_Cleanup_c_if_mngr();

// Duplicate ids are kept in registration order: the first answers lookups.
ZEK_EXPORT ZekStatus ZEK_RegisterInterface(std::uint32_t id, const void* routines, const char* name);
ZekStatus ZEK_RegisterInterfaceFunction(std::uint32_t id, ZekInterfaceGetter getter, const char* name);
// Removes the first entry with the id.
ZEK_EXPORT ZekStatus ZEK_DeregisterInterface(std::uint32_t id);
ZEK_EXPORT ZekStatus ZEK_GetInterface(std::uint32_t id, void** table);
