// Debugger output and assertions.
#pragma once

#include "platform/kernel/ke.h"

// Writes to the host's kernel debug output (the host log; tests can capture it).
ULONG DbgPrint(PCSTR Format, ...) __attribute__((format(printf, 1, 2)));
ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) __attribute__((format(printf, 3, 4)));

#define KdPrint(args) DbgPrint args

namespace plat {
[[noreturn]] void assertion_failed(const char* expression, const SrcLoc& where = SrcLoc::current());
}

#define ASSERT(expression) ((expression) ? static_cast<void>(0) : ::plat::assertion_failed(#expression))
#define NT_ASSERT(expression) ASSERT(expression)
