// IRQL rules: raising and lowering, and the faults of blocking at or above
// DISPATCH_LEVEL, which stop the host with the caller's place.
#include "tests/support/kernel_fixture.h"

namespace {

class IrqlTest : public KernelTest {};

TEST_F(IrqlTest, RaiseAndLowerTrackThePerThreadLevel) {
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  KIRQL old2 = KeRaiseIrqlToDpcLevel();
  EXPECT_EQ(old2, APC_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  // Another thread is unaffected.
  KIRQL other = HIGH_LEVEL;
  std::thread([&] { other = KeGetCurrentIrql(); }).join();
  EXPECT_EQ(other, PASSIVE_LEVEL);
  KeLowerIrql(old2);
  KeLowerIrql(old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(IrqlTest, ZeroTimeoutPollIsAllowedAtDispatchLevel) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER zero{};
  KIRQL old = KeRaiseIrqlToDpcLevel();
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  KeSetEvent(&event, 0, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  KeLowerIrql(old);
}

using IrqlDeathTest = IrqlTest;

TEST_F(IrqlDeathTest, BlockingWaitAtDispatchStopsWithThePlace) {
  EXPECT_DEATH(
      {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KeRaiseIrqlToDpcLevel();
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      },
      "KeWaitForSingleObject at IRQL 2 would block.*\n.*irql_test.cpp");
}

TEST_F(IrqlDeathTest, DelayUnderSpinLockStops) {
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        LARGE_INTEGER ms = relative_ms(1);
        KeDelayExecutionThread(KernelMode, FALSE, &ms);
      },
      "KeDelayExecutionThread at IRQL 2");
}

TEST_F(IrqlDeathTest, TimedWaitAtDeviceLevelStops) {
  EXPECT_DEATH(
      {
        KSEMAPHORE sem;
        KeInitializeSemaphore(&sem, 0, 1);
        KIRQL old;
        KeRaiseIrql(DEVICE_LEVEL_BASE + 2, &old);
        LARGE_INTEGER ms = relative_ms(1);
        KeWaitForSingleObject(&sem, Executive, KernelMode, FALSE, &ms);
      },
      "at IRQL 5 would block");
}

TEST_F(IrqlDeathTest, FastMutexAtDispatchStops) {
  EXPECT_DEATH(
      {
        FAST_MUTEX m;
        ExInitializeFastMutex(&m);
        KeRaiseIrqlToDpcLevel();
        ExAcquireFastMutex(&m);
      },
      "ExAcquireFastMutex at IRQL 2");
}

TEST_F(IrqlDeathTest, WrongDirectionChangesStop) {
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeRaiseIrql(APC_LEVEL, &old);
      },
      "KeRaiseIrql to IRQL 1 from the higher IRQL 2");
  EXPECT_DEATH(KeLowerIrql(APC_LEVEL), "KeLowerIrql to IRQL 1 from the lower IRQL 0");
}

TEST_F(IrqlDeathTest, PagedPoolAboveApcStops) {
  EXPECT_DEATH(
      {
        KeRaiseIrqlToDpcLevel();
        ExAllocatePoolWithTag(PagedPool, 16, MAKEFOURCC_LE('T', 'e', 's', 't'));
      },
      "paged pool allocated at IRQL 2");
}

}  // namespace
