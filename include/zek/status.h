// Status codes of the system's libraries and drivers (ZekStatus).
//
// A status is a u32; 0 is success. The upper 16 bits select a message group
// (its key), the lower 16 bits index the group's text table in the
// status-message registry. Function-name codes use bits 15-8 as the name
// index within their group. Both the kernel build (the drivers) and the
// user-mode build (zekbase) use these values.
#pragma once

#include <cstdint>

using ZekStatus = std::uint32_t;

// ---- Message-group and function-name keys -----------------------------------
inline constexpr ZekStatus ZEK_STATUS_KEY_MASK = 0xFFFF0000u;
inline constexpr ZekStatus ZEK_STATUS_INDEX_MASK = 0x0000FFFFu;

inline constexpr ZekStatus ZEK_GROUP_STANDARD_ERRORS = 0x00000;    // "Standard Errors"
inline constexpr ZekStatus ZEK_GROUP_INTERFACE_MANAGER = 0x30000;  // "Interface Manager Functions" (names only)
inline constexpr ZekStatus ZEK_GROUP_ERROR_MESSAGES = 0x40000;     // "Error Messages Errors"
inline constexpr ZekStatus ZEK_GROUP_IWARP_VERBS = 0x50000;        // "Iwarp Verbs (silicon)"
inline constexpr ZekStatus ZEK_GROUP_IWARP_FUNCTIONS = 0x120000;   // "IWarp Functions" (names)
inline constexpr ZekStatus ZEK_GROUP_MCRQ = 0x28495AF0;            // "MCRQ" (no texts, no names)

inline constexpr ZekStatus ZekStatusKey(ZekStatus code) { return code & ZEK_STATUS_KEY_MASK; }
inline constexpr ZekStatus ZekStatusIndex(ZekStatus code) { return code & ZEK_STATUS_INDEX_MASK; }
inline constexpr ZekStatus ZekFunctionNameIndex(ZekStatus code) { return (code >> 8) & 0xFFu; }

// ---- Standard errors (key 0) --------------------------------------------------
inline constexpr ZekStatus ZEK_STATUS_PASS = 0;
inline constexpr ZekStatus ZEK_STATUS_FAIL = 1;
inline constexpr ZekStatus ZEK_STATUS_BAD_PTR = 2;
inline constexpr ZekStatus ZEK_STATUS_RES_INSUFFICIENT_HW = 3;
inline constexpr ZekStatus ZEK_STATUS_RES_INSUFFICIENT_SW = 4;
inline constexpr ZekStatus ZEK_STATUS_LIB_ALREADY_INITIALIZED = 5;
inline constexpr ZekStatus ZEK_STATUS_LIB_NOT_INITIALIZED = 6;
inline constexpr ZekStatus ZEK_STATUS_A_INVALID_IDENTIFIER = 12;
inline constexpr ZekStatus ZEK_STATUS_A_INVALID_HANDLE = 13;
inline constexpr ZekStatus ZEK_STATUS_A_INVALID_MTU = 14;
inline constexpr ZekStatus ZEK_STATUS_A_INVALID_PORT = 15;
inline constexpr ZekStatus ZEK_STATUS_A_INVALID_COUNTER = 16;
inline constexpr ZekStatus ZEK_STATUS_A_INVALID_COUNTER_VALUE = 17;
inline constexpr ZekStatus ZEK_STATUS_ADDR_INVALID_HANDLE = 18;
inline constexpr std::uint32_t ZEK_STANDARD_ERROR_COUNT = 19;

// ---- Interface manager (key 0x30000; no texts are registered for it) -------------
// Not initialised (on deregister and lookup), or the table is full.
inline constexpr ZekStatus ZEK_STATUS_IF_MNGR_ERROR = 0x30000;
inline constexpr ZekStatus ZEK_STATUS_IF_NOT_FOUND = 0x30001;

// ---- Status-message and function-name registries (key 0x40000) ----------------------
inline constexpr ZekStatus ZEK_ERROR_BAD_ERROR_CODE = 0x40000;
inline constexpr ZekStatus ZEK_ERROR_TOO_MANY_MESSAGES_REGISTERED = 0x40001;
inline constexpr ZekStatus ZEK_STATUS_ERROR_MSGS_ALREADY_REGISTERED = 0x40002;
inline constexpr ZekStatus ZEK_STATUS_LIB_NOT_FOUND = 0x40003;
inline constexpr ZekStatus ZEK_STATUS_ERROR_MSGS_STILL_REGISTERED = 0x40004;
inline constexpr std::uint32_t ZEK_ERROR_MESSAGE_ERROR_COUNT = 5;

// ---- OS-primitive layer ---------------------------------------------------------------
// The OS primitives answer 0 or all ones ("-1"); a few answer 1 where noted.
inline constexpr ZekStatus ZEK_OSPRIM_FAILURE = 0xFFFFFFFFu;
