// The types of registry values, as Windows numbers them.
#pragma once

#include "platform/common/wintypes.h"

inline constexpr ULONG REG_NONE = 0;
inline constexpr ULONG REG_SZ = 1;
inline constexpr ULONG REG_EXPAND_SZ = 2;
inline constexpr ULONG REG_BINARY = 3;
inline constexpr ULONG REG_DWORD = 4;
inline constexpr ULONG REG_DWORD_BIG_ENDIAN = 5;
inline constexpr ULONG REG_LINK = 6;
inline constexpr ULONG REG_MULTI_SZ = 7;
inline constexpr ULONG REG_QWORD = 11;
