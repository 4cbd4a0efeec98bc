// What the user processes of the proxy driver's lab tests share: a handle of
// "\\.\zekproxy", a request sent on it with one record as input and output,
// and checks that print each failure and count it.
#pragma once

#include <cstdio>
#include <string>

#include "platform/user/win32.h"

namespace proxyclient {

inline int g_failures = 0;
inline HANDLE g_proxy = INVALID_HANDLE_VALUE;

inline void check(bool ok, const std::string& what) {
  if (!ok) {
    std::printf("FAILED: %s\n", what.c_str());
    std::fflush(stdout);
    ++g_failures;
  }
}

// The request with `size` bytes of the record (its whole size unless told).
template <typename T>
bool send(DWORD code, T* record, DWORD size = sizeof(T)) {
  DWORD bytes = 0;
  return DeviceIoControl(g_proxy, code, record, size, record, size, &bytes, nullptr) != FALSE;
}

}  // namespace proxyclient
