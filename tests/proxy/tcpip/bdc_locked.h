// The socket-call lock held for a scope, as every protocol routine runs;
// for tests and benchmarks that call into the stack directly.
#pragma once

#include "proxy/tcpip/kern/kern.h"

// Holds the socket-call lock for a scope, as every protocol routine runs.
class BdcLocked {
 public:
  BdcLocked() { zektcp::AcquireBdcLock(); }
  ~BdcLocked() { zektcp::ReleaseBdcLock(); }
  BdcLocked(const BdcLocked&) = delete;
  BdcLocked& operator=(const BdcLocked&) = delete;
};
