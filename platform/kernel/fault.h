// Stopping the host on a driver fault, as a kernel bug check does: the
// message, the caller's place and a backtrace go to standard error (and to
// the host's log, once set_fault_log names it), then the process aborts.
#pragma once

#include "platform/common/srcloc.h"

namespace plat {

[[noreturn]] void fault(const SrcLoc& where, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A descriptor that faults are written to as well as standard error; -1 for
// none. zekhost gives its host.log.
void set_fault_log(int fd);

}  // namespace plat
