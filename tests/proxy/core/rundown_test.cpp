// The detach guard: a detach waits at PASSIVE_LEVEL for the bottom halves
// inside, and none enters after it closed the guard.
#include <atomic>
#include <thread>

#include "proxy/core/rundown.h"
#include "tests/support/kernel_fixture.h"

namespace {

using DetachGuard = KernelTest;

TEST_F(DetachGuard, ADetachWaitsForTheBottomHalfInsideAndNoneEntersAfter) {
  ZpxDetachGuard guard;
  ZpxDetachGuardInit(&guard);
  ASSERT_TRUE(ZpxDetachGuardEnter(&guard));
  std::atomic<bool> closed{false};
  std::thread detach([&] {
    ZpxDetachGuardCloseAndWait(&guard);  // PASSIVE_LEVEL: a real wait
    closed = true;
  });
  ASSERT_TRUE(eventually([&] { return (guard.State.load() & 1) != 0; })) << "closed while one is inside";
  EXPECT_FALSE(ZpxDetachGuardEnter(&guard));
  EXPECT_FALSE(closed.load());
  // The bottom half leaves, at DISPATCH_LEVEL as in the DPC.
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ZpxDetachGuardLeave(&guard);
  KeLowerIrql(old);
  detach.join();
  EXPECT_TRUE(closed.load());
  EXPECT_FALSE(ZpxDetachGuardEnter(&guard));
}

TEST_F(DetachGuard, ADetachWithNobodyInsideDoesNotWait) {
  ZpxDetachGuard guard;
  ZpxDetachGuardInit(&guard);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(ZpxDetachGuardEnter(&guard));
    ZpxDetachGuardLeave(&guard);
  }
  ZpxDetachGuardCloseAndWait(&guard);
  EXPECT_FALSE(ZpxDetachGuardEnter(&guard));
}

}  // namespace
