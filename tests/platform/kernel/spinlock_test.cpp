// Spin locks: mutual exclusion under concurrency, the IRQL they raise to,
// their owner, and the faults of misuse.
#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/kernel_fixture.h"

namespace {

class SpinLockTest : public KernelTest {};

TEST_F(SpinLockTest, AllFormsExcludeEachOtherUnderContention) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;  // deliberately not atomic: the lock must protect it
  constexpr int kPerThread = 20000;
  auto classic = [&] {
    for (int i = 0; i < kPerThread; ++i) {
      KIRQL old;
      KeAcquireSpinLock(&lock, &old);
      EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
      ++counter;
      KeReleaseSpinLock(&lock, old);
    }
  };
  auto queued = [&] {
    for (int i = 0; i < kPerThread; ++i) {
      KLOCK_QUEUE_HANDLE h;
      KeAcquireInStackQueuedSpinLock(&lock, &h);
      ++counter;
      KeReleaseInStackQueuedSpinLock(&h);
    }
  };
  auto at_dpc = [&] {
    KIRQL old = KeRaiseIrqlToDpcLevel();
    for (int i = 0; i < kPerThread; ++i) {
      if (i % 2 == 0) {
        KeAcquireSpinLockAtDpcLevel(&lock);
      } else {
        while (!KeTryToAcquireSpinLockAtDpcLevel(&lock)) {
        }
      }
      ++counter;
      KeReleaseSpinLockFromDpcLevel(&lock);
    }
    KeLowerIrql(old);
  };
  std::vector<std::thread> threads;
  threads.emplace_back(classic);
  threads.emplace_back(classic);
  threads.emplace_back(queued);
  threads.emplace_back(at_dpc);
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 4L * kPerThread);
  EXPECT_TRUE(KeTestSpinLock(&lock));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLockTest, ReleaseRestoresTheCallersIrqlAndTheLockNamesItsOwner) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL apc;
  KeRaiseIrql(APC_LEVEL, &apc);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(old, APC_LEVEL);
  EXPECT_EQ(lock, reinterpret_cast<KSPIN_LOCK>(KeGetCurrentThread()));
  EXPECT_FALSE(KeTestSpinLock(&lock));
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
  EXPECT_EQ(lock, 0u);
  KeLowerIrql(apc);
}

TEST_F(SpinLockTest, TryFailsWhileAnotherThreadHoldsTheLock) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  std::atomic<bool> held{false}, release{false};
  std::thread holder([&] {
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    held = true;
    while (!release) std::this_thread::yield();
    KeReleaseSpinLock(&lock, old);
  });
  while (!held) std::this_thread::yield();
  KIRQL old = KeRaiseIrqlToDpcLevel();
  EXPECT_FALSE(KeTryToAcquireSpinLockAtDpcLevel(&lock));
  KeLowerIrql(old);
  release = true;
  holder.join();
}

using SpinLockDeathTest = SpinLockTest;

TEST_F(SpinLockDeathTest, RecursiveAcquireIsADeadlock) {
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL a;
        KIRQL b;
        KeAcquireSpinLock(&lock, &a);
        KeAcquireSpinLock(&lock, &b);
      },
      "acquired again by the thread that holds it");
}

TEST_F(SpinLockDeathTest, ReleaseByANonOwnerStops) {
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        std::thread([&] { KeAcquireSpinLock(&lock, &old); }).join();
        KeRaiseIrqlToDpcLevel();
        KeReleaseSpinLockFromDpcLevel(&lock);
      },
      "released by a thread that does not hold it");
}

TEST_F(SpinLockDeathTest, AtDpcLevelFormBelowDispatchStops) {
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KeAcquireSpinLockAtDpcLevel(&lock);
      },
      "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL");
}

TEST_F(SpinLockDeathTest, LoweringBelowDispatchWhileHoldingStops) {
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        KeLowerIrql(PASSIVE_LEVEL);
      },
      "while 1 spin lock\\(s\\) are held");
}

}  // namespace
