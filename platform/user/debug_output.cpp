// The debugger output of a process: standard error.
#include <cstdio>
#include <cstring>

#include "platform/user/win32.h"

void OutputDebugStringA(LPCSTR lpOutputString) {
  if (lpOutputString == nullptr) return;
  // One write per string, so that lines of two threads do not interleave
  // inside a line.
  std::fwrite(lpOutputString, 1, std::strlen(lpOutputString), stderr);
  std::fflush(stderr);
}
