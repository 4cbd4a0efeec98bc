// The process object. The kernel knows the system process; the I/O manager
// adds one per user process that opens a device.
#pragma once

#include "platform/kernel/ps.h"

struct _EPROCESS {
  HANDLE UniqueProcessId;
  void* Impl;              // the I/O manager's per-process record, null for the system process
  CHAR ImageFileName[16];  // the program's name, for logs
  BOOLEAN Terminating;     // set once the process has gone: cleanup runs for a dead process
};

namespace plat {
PEPROCESS system_process();
}
