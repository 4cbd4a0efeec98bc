// The detach guard of an attached adapter.
#include "proxy/core/rundown.h"

namespace {
constexpr std::uint32_t kClosed = 1;
constexpr std::uint32_t kOne = 2;
}  // namespace

void ZpxDetachGuardInit(ZpxDetachGuard* guard) {
  guard->State.store(0);
  KeInitializeEvent(&guard->Drained, NotificationEvent, FALSE);
}

bool ZpxDetachGuardEnter(ZpxDetachGuard* guard) {
  std::uint32_t state = guard->State.load();
  do {
    if ((state & kClosed) != 0) return false;
  } while (!guard->State.compare_exchange_weak(state, state + kOne));
  return true;
}

void ZpxDetachGuardLeave(ZpxDetachGuard* guard) {
  const std::uint32_t before = guard->State.fetch_sub(kOne);
  if (before == (kClosed | kOne)) KeSetEvent(&guard->Drained, 0, FALSE);
}

void ZpxDetachGuardCloseAndWait(ZpxDetachGuard* guard) {
  const std::uint32_t before = guard->State.fetch_or(kClosed);
  if ((before & ~kClosed) == 0) return;  // nobody inside
  KeWaitForSingleObject(&guard->Drained, Executive, KernelMode, FALSE, nullptr);
}
