// The detach guard of an attached adapter. The bottom half (the miniport's
// DPC, DISPATCH_LEVEL) enters before it touches the adapter and leaves after;
// a detach closes the guard and waits, at PASSIVE_LEVEL, until every bottom
// half inside has left. After that no bottom half reaches the adapter, and
// the detach stops threads, waits for control requests and frees memory with
// no spin lock held.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/kernel/ke.h"

struct ZpxDetachGuard {
  std::atomic<std::uint32_t> State;  // bit 0: closed; the rest: twice the bottom halves inside
  KEVENT Drained;                    // set when the last one leaves a closed guard
};

void ZpxDetachGuardInit(ZpxDetachGuard* guard);
// False once the guard is closed: the bottom half leaves the adapter alone.
bool ZpxDetachGuardEnter(ZpxDetachGuard* guard);
void ZpxDetachGuardLeave(ZpxDetachGuard* guard);
// Closes the guard and waits until no bottom half is inside (PASSIVE_LEVEL).
void ZpxDetachGuardCloseAndWait(ZpxDetachGuard* guard);
