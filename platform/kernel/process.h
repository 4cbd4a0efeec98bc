// The process object. The kernel knows the system process; the I/O manager
// adds one per user process that opens a device.
#pragma once

#include "platform/kernel/ps.h"

struct _EPROCESS {
  HANDLE UniqueProcessId;
  void* Impl;  // the I/O manager's per-process record, null for the system process
};

namespace plat {
PEPROCESS system_process();
}
