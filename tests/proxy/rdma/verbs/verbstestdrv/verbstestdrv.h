// The kernel verbs client driver's control code ("\\.\zekverbstest"): a
// driver built only for tests that uses the proxy driver's kernel verbs as a
// kernel client does, through the routine table the proxy driver hands to
// kernel callers, and reports what each verb answered.
#pragma once

#include <cstdint>

#include "platform/common/ioctl.h"

namespace verbstest {

inline constexpr ULONG code(ULONG function) {
  return CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
}

// Input: the adapter's SAN address (u32, host order). Output: the report,
// one line a check ("NAME got=0x.. want=0x.. ok" or "... FAIL") and a last
// line "failures=N". STATUS_DEVICE_NOT_READY while the proxy driver offers
// no verbs or no attached adapter has the address yet.
inline constexpr ULONG kRun = code(0x910);
inline constexpr ULONG kReportBytes = 16384;
// Input: the SAN address. Opens an adapter with a PD, a CQ and a queue pair
// and leaves them open, as a client that never closes does.
inline constexpr ULONG kLeaveOpen = code(0x911);

}  // namespace verbstest
