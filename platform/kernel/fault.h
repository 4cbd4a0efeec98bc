// Stopping the host on a driver fault, as a kernel bug check does: the
// message, the caller's place and a backtrace go to standard error, then the
// process aborts.
#pragma once

#include "platform/common/srcloc.h"

namespace plat {

[[noreturn]] void fault(const SrcLoc& where, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace plat
