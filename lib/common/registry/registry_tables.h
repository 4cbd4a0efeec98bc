// The registries' own tables: the texts of the standard errors (key 0), of
// the registry errors (key 0x40000) and the interface manager's function
// names (key 0x30000).
#pragma once

#include <cstdint>

#include "include/zek/status.h"

extern const char* const ZekStandardErrorTexts[ZEK_STANDARD_ERROR_COUNT];
extern const char* const ZekErrorMessageErrorTexts[ZEK_ERROR_MESSAGE_ERROR_COUNT];
inline constexpr std::uint32_t ZEK_IF_MNGR_FUNCTION_COUNT = 6;
extern const char* const ZekInterfaceManagerFunctionNames[ZEK_IF_MNGR_FUNCTION_COUNT];

inline constexpr const char* ZEK_GROUP_NAME_STANDARD_ERRORS = "Standard Errors";
inline constexpr const char* ZEK_GROUP_NAME_ERROR_MESSAGES = "Error Messages Errors";
inline constexpr const char* ZEK_GROUP_NAME_IF_MNGR = "Interface Manager Functions";

// Text of a status from the standard table alone, without the registry's
// lock: for reporting a failure of that lock itself.
const char* ZekStandardStatusText(ZekStatus status);
