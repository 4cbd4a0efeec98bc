#include "platform/kernel/fault.h"

#include <execinfo.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform/kernel/dbg.h"

namespace plat {
namespace {
std::atomic<int> fault_log{-1};
}

void set_fault_log(int fd) { fault_log.store(fd); }

void fault(const SrcLoc& where, const char* format, ...) {
  char message[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  char text[2048];
  const int length = std::snprintf(text, sizeof text, "*** KERNEL FAULT: %s\n    at %s:%u in %s\n", message,
                                   where.file_name(), static_cast<unsigned>(where.line()), where.function_name());
  const std::size_t size = std::min(static_cast<std::size_t>(std::max(length, 0)), sizeof text - 1);
  std::fflush(stderr);
  void* frames[64];
  int count = backtrace(frames, 64);
  for (const int fd : {static_cast<int>(STDERR_FILENO), fault_log.load()}) {
    if (fd < 0) continue;
    if (::write(fd, text, size) < 0) continue;
    backtrace_symbols_fd(frames, count, fd);
  }
  std::abort();
}

void assertion_failed(const char* expression, const SrcLoc& where) { fault(where, "assertion failed: %s", expression); }

}  // namespace plat

void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4, const SrcLoc& where) {
  plat::fault(where, "bug check 0x%08X (0x%lx, 0x%lx, 0x%lx, 0x%lx)", BugCheckCode, static_cast<unsigned long>(P1),
              static_cast<unsigned long>(P2), static_cast<unsigned long>(P3), static_cast<unsigned long>(P4));
}
