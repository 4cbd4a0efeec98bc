// Privilege checks for drivers. The host has no tokens: a kernel-mode caller
// holds every privilege, and a user process holds the administrators'
// privileges when it runs as the machine's administrator (uid 0), as the
// control devices that admit administrators only decide too.
#pragma once

#include "platform/kernel/ps.h"

struct LUID {
  ULONG LowPart;
  LONG HighPart;
};

// The privileges the drivers ask for.
inline constexpr LUID SE_TCB_PRIVILEGE = {7, 0};
inline constexpr LUID SE_LOAD_DRIVER_PRIVILEGE = {10, 0};

// Whether the caller (the current process for a user-mode request) holds
// the privilege.
BOOLEAN SeSinglePrivilegeCheck(LUID PrivilegeValue, KPROCESSOR_MODE PreviousMode);
