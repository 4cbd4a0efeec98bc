// Spin-lock objects, blocking objects and events.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/proxy/core/osprim_fixture.h"

namespace {

class SyncTest : public OsprimTest {};

TEST_F(SyncTest, SpinlockObjectKeepsTheCallersIrqlAndRestoresIt) {
  struct Case {
    KIRQL caller;
    KIRQL saved;
  };
  for (const Case c :
       {Case{PASSIVE_LEVEL, PASSIVE_LEVEL}, Case{APC_LEVEL, APC_LEVEL}, Case{DISPATCH_LEVEL, DISPATCH_LEVEL}}) {
    OSPrimSpinlockObject lock{};
    ASSERT_EQ(OSPrimSyncInitSpinlockObject(&lock), ZEK_STATUS_PASS);
    EXPECT_EQ(lock.Signature, ZEK_SIG_SPINLOCK_KERNEL);
    KIRQL old;
    KeRaiseIrql(c.caller, &old);
    ASSERT_EQ(OSPrimSyncAcquireSpinlockObject(&lock), ZEK_STATUS_PASS);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(lock.SavedIrql, c.saved);
    EXPECT_FALSE(KeTestSpinLock(&lock.SpinLock));
    ASSERT_EQ(OSPrimSyncReleaseSpinlockObject(&lock), ZEK_STATUS_PASS);
    EXPECT_EQ(KeGetCurrentIrql(), c.caller);
    EXPECT_TRUE(KeTestSpinLock(&lock.SpinLock));
    KeLowerIrql(old);
  }
}

TEST_F(SyncTest, SpinlockObjectExcludesOtherThreads) {
  OSPrimSpinlockObject lock{};
  OSPrimSyncInitSpinlockObject(&lock);
  long counter = 0;  // deliberately not atomic: the lock protects it
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        OSPrimSyncAcquireSpinlockObject(&lock);
        ++counter;
        OSPrimSyncReleaseSpinlockObject(&lock);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, 4 * 20000);
}

TEST_F(SyncTest, SpinlockObjectRefusesNullBadAndDestroyedObjects) {
  OSPrimSpinlockObject destroyed{};
  OSPrimSyncInitSpinlockObject(&destroyed);
  ASSERT_EQ(OSPrimSyncDestroySpinlockObject(&destroyed), ZEK_STATUS_PASS);
  EXPECT_EQ(destroyed.Signature, 0u);
  OSPrimSpinlockObject garbage{};
  garbage.Signature = 0x12345678;
  auto* fill = reinterpret_cast<OSPrimSpinlockObject*>(ZEK_UNINITIALISED_POINTER);
  for (OSPrimSpinlockObject* object : {static_cast<OSPrimSpinlockObject*>(nullptr), fill, &destroyed, &garbage}) {
    EXPECT_EQ(OSPrimSyncAcquireSpinlockObject(object), ZEK_OSPRIM_FAILURE);
    EXPECT_EQ(OSPrimSyncReleaseSpinlockObject(object), ZEK_OSPRIM_FAILURE);
    EXPECT_EQ(OSPrimSyncDestroySpinlockObject(object), ZEK_OSPRIM_FAILURE);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  }
  EXPECT_EQ(OSPrimSyncInitSpinlockObject(nullptr), ZEK_OSPRIM_FAILURE);
}

TEST_F(SyncTest, InitialisingAHeldSpinlockObjectAgainDoesNotFreeIt) {
  OSPrimSpinlockObject lock{};
  OSPrimSyncInitSpinlockObject(&lock);
  ASSERT_EQ(OSPrimSyncAcquireSpinlockObject(&lock), ZEK_STATUS_PASS);
  EXPECT_EQ(OSPrimSyncInitSpinlockObject(&lock), ZEK_STATUS_PASS);
  EXPECT_FALSE(KeTestSpinLock(&lock.SpinLock));
  EXPECT_EQ(OSPrimSyncReleaseSpinlockObject(&lock), ZEK_STATUS_PASS);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SyncTest, BlockingObjectAdmitsOneHolderAtATime) {
  OSPrimBlockingObject object{};
  ASSERT_EQ(OSPrimSyncInitBlockingObject(&object), ZEK_STATUS_PASS);
  ASSERT_EQ(OSPrimSyncAcquireBlockingObject(&object), ZEK_STATUS_PASS);
  std::atomic<bool> second_in{false};
  std::thread second([&] {
    EXPECT_EQ(OSPrimSyncAcquireBlockingObject(&object), ZEK_STATUS_PASS);
    second_in = true;
    OSPrimSyncReleaseBlockingObject(&object);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(second_in.load());
  EXPECT_EQ(OSPrimSyncReleaseBlockingObject(&object), ZEK_STATUS_PASS);
  EXPECT_TRUE(eventually([&] { return second_in.load(); }));
  second.join();
  EXPECT_EQ(OSPrimSyncDestroyBlockingObject(&object), ZEK_STATUS_PASS);
  EXPECT_EQ(OSPrimSyncAcquireBlockingObject(&object), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(OSPrimSyncReleaseBlockingObject(&object), ZEK_OSPRIM_FAILURE);
}

TEST_F(SyncTest, EventSetBeforeTheWaitIsKeptForIt) {
  OSPrimEvent event;
  ASSERT_EQ(OSPrimInitEvent(&event), ZEK_STATUS_PASS);
  EXPECT_EQ(event.Signature, ZEK_SIG_EVENT);
  // Two sets before a wait are one signal: the wait takes it and the event
  // is clear again.
  EXPECT_EQ(OSPrimSetEvent(&event), ZEK_STATUS_PASS);
  EXPECT_EQ(OSPrimSetEvent(&event), ZEK_STATUS_PASS);
  EXPECT_EQ(OSPrimWaitForEvent(&event, FALSE), ZEK_STATUS_PASS);
  EXPECT_EQ(KeReadStateEvent(OSPrimKeEvent(&event.Event)), 0);
  EXPECT_EQ(OSPrimSetEvent(&event), ZEK_STATUS_PASS);
  EXPECT_EQ(OSPrimWaitForEvent(&event, TRUE), ZEK_STATUS_PASS);
  EXPECT_EQ(OSPrimDestroyEvent(&event), ZEK_STATUS_PASS);
  EXPECT_EQ(event.Signature, 0u);
}

// Each set wakes one waiter, and a set that finds no waiter stays for the
// next wait: no set is lost between two waits, and none wakes two waiters.
TEST_F(SyncTest, EachSetWakesExactlyOneWait) {
  OSPrimEvent event;
  OSPrimInitEvent(&event);
  constexpr int kWaiters = 3, kWaitsEach = 200;
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int w = 0; w < kWaiters; ++w) {
    waiters.emplace_back([&] {
      for (int i = 0; i < kWaitsEach; ++i) {
        ASSERT_EQ(OSPrimWaitForEvent(&event, FALSE), ZEK_STATUS_PASS);
        woken.fetch_add(1);
      }
    });
  }
  for (int s = 1; s <= kWaiters * kWaitsEach; ++s) {
    OSPrimSetEvent(&event);
    // The next set comes only once this one has been taken, so each set is
    // taken by exactly one wait.
    ASSERT_TRUE(eventually([&] { return woken.load() >= s; })) << "set " << s << " was lost";
    EXPECT_EQ(woken.load(), s) << "set " << s << " woke more than one wait";
  }
  for (auto& waiter : waiters) waiter.join();
  OSPrimDestroyEvent(&event);
}

TEST_F(SyncTest, AUserWaitEndsWhenTheCallerProcessIsInterrupted) {
  OSPrimEvent event;
  OSPrimInitEvent(&event);
  std::atomic<PKTHREAD> waiter_thread{nullptr};
  std::atomic<ZekStatus> result{ZEK_STATUS_PASS};
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    waiter_thread = KeGetCurrentThread();
    result = OSPrimWaitForEvent(&event, TRUE);
    done = true;
  });
  ASSERT_TRUE(eventually([&] { return waiter_thread.load() != nullptr; }));
  // Alerting for user mode stands for the process dying; alerts that come
  // before the wait starts stay pending, so this cannot miss it.
  KeAlertThread(waiter_thread.load(), UserMode);
  ASSERT_TRUE(eventually([&] { return done.load(); }));
  waiter.join();
  EXPECT_EQ(result.load(), ZEK_OSPRIM_FAILURE);
  EXPECT_NE(ring_text().find("STATUS_USER_APC\n"), std::string::npos);
  OSPrimDestroyEvent(&event);
}

TEST_F(SyncTest, EventRoutinesRefuseNullAndBadEvents) {
  OSPrimEvent destroyed;
  OSPrimInitEvent(&destroyed);
  OSPrimDestroyEvent(&destroyed);
  EXPECT_EQ(OSPrimInitEvent(nullptr), ZEK_OSPRIM_FAILURE);
  for (OSPrimEvent* event : {static_cast<OSPrimEvent*>(nullptr), &destroyed}) {
    EXPECT_EQ(OSPrimWaitForEvent(event, FALSE), ZEK_OSPRIM_FAILURE);
    EXPECT_EQ(OSPrimSetEvent(event), ZEK_OSPRIM_FAILURE);
    EXPECT_EQ(OSPrimDestroyEvent(event), ZEK_OSPRIM_FAILURE);
  }
  const std::string log = ring_text();
  EXPECT_NE(log.find("OSPrimInitEvent: pEvent is Null File["), std::string::npos);
  EXPECT_NE(log.find("OSPrimWaitForEvent: pEvent is Null File["), std::string::npos);
  EXPECT_NE(log.find("signature is bad found[00000000] should be [55534556] \n"), std::string::npos);
  EXPECT_NE(log.find("OSPrimSetEvent:pEvent[x"), std::string::npos);
  EXPECT_NE(log.find("OSPrimDestroyEvent:pEvent[x"), std::string::npos);
}

}  // namespace
