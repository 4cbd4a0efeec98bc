// Control codes and their parts, shared by drivers and user programs.
#pragma once

#include "platform/common/wintypes.h"

using DEVICE_TYPE = ULONG;

inline constexpr ULONG METHOD_BUFFERED = 0;
inline constexpr ULONG METHOD_IN_DIRECT = 1;
inline constexpr ULONG METHOD_OUT_DIRECT = 2;
inline constexpr ULONG METHOD_NEITHER = 3;

inline constexpr ULONG FILE_ANY_ACCESS = 0;
inline constexpr ULONG FILE_READ_ACCESS = 1;
inline constexpr ULONG FILE_WRITE_ACCESS = 2;

inline constexpr DEVICE_TYPE FILE_DEVICE_NETWORK = 0x12;
inline constexpr DEVICE_TYPE FILE_DEVICE_NULL = 0x15;
inline constexpr DEVICE_TYPE FILE_DEVICE_PHYSICAL_NETCARD = 0x17;
inline constexpr DEVICE_TYPE FILE_DEVICE_TRANSPORT = 0x21;
inline constexpr DEVICE_TYPE FILE_DEVICE_UNKNOWN = 0x22;

inline constexpr ULONG CTL_CODE(DEVICE_TYPE device, ULONG function, ULONG method, ULONG access) {
  return (device << 16) | (access << 14) | (function << 2) | method;
}
inline constexpr ULONG METHOD_FROM_CTL_CODE(ULONG code) { return code & 3; }
inline constexpr DEVICE_TYPE DEVICE_TYPE_FROM_CTL_CODE(ULONG code) { return (code >> 16) & 0xFFFF; }
