// Kernel debug output.
#include "platform/kernel/dbg.h"

#include <cstdarg>
#include <cstdio>

#include "platform/kernel/kernel.h"

namespace {

ULONG print(PCSTR format, va_list args) {
  char text[1024];
  int n = std::vsnprintf(text, sizeof text, format, args);
  if (n < 0) return 0;
  std::string_view out(text, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof text - 1));
  if (plat::Kernel* kernel = plat::Kernel::try_current()) {
    kernel->debug_print(out);
  } else {
    std::fwrite(out.data(), 1, out.size(), stderr);
  }
  return 0;
}

}  // namespace

ULONG DbgPrint(PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  ULONG result = print(Format, args);
  va_end(args);
  return result;
}

ULONG DbgPrintEx(ULONG, ULONG, PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  ULONG result = print(Format, args);
  va_end(args);
  return result;
}
