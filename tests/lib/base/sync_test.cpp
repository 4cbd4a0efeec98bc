// Spin-lock and blocking objects, events and shared events of the user-mode
// build.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/user/win32.h"
#include "tests/lib/base/base_fixture.h"

namespace {

using namespace std::chrono_literals;

using SyncTest = LoggedTest;

// One table of routines per kind of lock object.
template <typename Object>
struct LockKind {
  std::uint32_t signature;
  ZekStatus (*init)(Object*);
  ZekStatus (*acquire)(Object*);
  ZekStatus (*release)(Object*);
  ZekStatus (*destroy)(Object*);
};
const LockKind<OSPrimSpinlockObject> kSpinlock{ZEK_SIG_SPINLOCK_USER, OSPrimSyncInitSpinlockObject,
                                               OSPrimSyncAcquireSpinlockObject, OSPrimSyncReleaseSpinlockObject,
                                               OSPrimSyncDestroySpinlockObject};
const LockKind<OSPrimBlockingObject> kBlocking{ZEK_SIG_BLOCKING_USER, OSPrimSyncInitBlockingObject,
                                               OSPrimSyncAcquireBlockingObject, OSPrimSyncReleaseBlockingObject,
                                               OSPrimSyncDestroyBlockingObject};

template <typename Object>
void check_lifecycle(const LockKind<Object>& kind) {
  Object object{};
  ASSERT_EQ(kind.init(&object), ZEK_STATUS_PASS);
  EXPECT_EQ(object.Signature, kind.signature);
  const HANDLE semaphore = object.Semaphore;
  // Set up again while valid: left as it is (it may be held).
  EXPECT_EQ(kind.init(&object), ZEK_STATUS_PASS);
  EXPECT_EQ(object.Semaphore, semaphore);
  EXPECT_EQ(kind.acquire(&object), ZEK_STATUS_PASS);
  EXPECT_EQ(kind.release(&object), ZEK_STATUS_PASS);
  EXPECT_EQ(kind.destroy(&object), ZEK_STATUS_PASS);
  EXPECT_EQ(object.Signature, 0u);
  EXPECT_FALSE(CloseHandle(semaphore));  // closed by the destruction
  // A destroyed object, a null one, the fill value and a foreign signature
  // are refused without being touched.
  EXPECT_EQ(kind.acquire(&object), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(kind.release(&object), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(kind.destroy(&object), ZEK_OSPRIM_FAILURE);
  Object* fill = reinterpret_cast<Object*>(ZEK_UNINITIALISED_POINTER);
  for (Object* bad : {static_cast<Object*>(nullptr), fill}) {
    EXPECT_EQ(kind.init(bad), ZEK_OSPRIM_FAILURE);
    EXPECT_EQ(kind.acquire(bad), ZEK_OSPRIM_FAILURE);
    EXPECT_EQ(kind.release(bad), ZEK_OSPRIM_FAILURE);
    EXPECT_EQ(kind.destroy(bad), ZEK_OSPRIM_FAILURE);
  }
  Object foreign{};
  foreign.Signature = ZEK_SIG_SPINLOCK_KERNEL;
  EXPECT_EQ(kind.acquire(&foreign), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(kind.destroy(&foreign), ZEK_OSPRIM_FAILURE);
}

TEST_F(SyncTest, LockObjectsCarryTheirSignatureUntilDestroyed) {
  {
    SCOPED_TRACE("spin-lock object");
    check_lifecycle(kSpinlock);
  }
  {
    SCOPED_TRACE("blocking object");
    check_lifecycle(kBlocking);
  }
}

TEST_F(SyncTest, ASpinlockObjectAdmitsOneHolderAtATime) {
  OSPrimSpinlockObject lock{};
  ASSERT_EQ(OSPrimSyncInitSpinlockObject(&lock), ZEK_STATUS_PASS);
  constexpr int kThreads = 6;
  constexpr int kRounds = 2000;
  long counter = 0;  // guarded by the lock only
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        ASSERT_EQ(OSPrimSyncAcquireSpinlockObject(&lock), ZEK_STATUS_PASS);
        if (inside.fetch_add(1) != 0) overlap = true;
        ++counter;
        inside.fetch_sub(1);
        ASSERT_EQ(OSPrimSyncReleaseSpinlockObject(&lock), ZEK_STATUS_PASS);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(overlap);
  EXPECT_EQ(counter, long{kThreads} * kRounds);
  EXPECT_EQ(OSPrimSyncDestroySpinlockObject(&lock), ZEK_STATUS_PASS);
}

TEST_F(SyncTest, ASpinlockObjectMayBeReleasedByAnotherThreadButNotWhenFree) {
  OSPrimSpinlockObject lock{};
  ASSERT_EQ(OSPrimSyncInitSpinlockObject(&lock), ZEK_STATUS_PASS);
  // Releasing a free lock would let two holders in: refused.
  EXPECT_EQ(OSPrimSyncReleaseSpinlockObject(&lock), ZEK_OSPRIM_FAILURE);
  ASSERT_EQ(OSPrimSyncAcquireSpinlockObject(&lock), ZEK_STATUS_PASS);
  EXPECT_EQ(WaitForSingleObject(lock.Semaphore, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // held
  ZekStatus released = ZEK_OSPRIM_FAILURE;
  std::thread([&] { released = OSPrimSyncReleaseSpinlockObject(&lock); }).join();
  EXPECT_EQ(released, ZEK_STATUS_PASS);
  EXPECT_EQ(OSPrimSyncAcquireSpinlockObject(&lock), ZEK_STATUS_PASS);
  EXPECT_EQ(OSPrimSyncReleaseSpinlockObject(&lock), ZEK_STATUS_PASS);
  EXPECT_EQ(OSPrimSyncDestroySpinlockObject(&lock), ZEK_STATUS_PASS);
}

TEST_F(SyncTest, BlockingObjectReleasesWithoutAcquisitionsNeverFail) {
  OSPrimBlockingObject object{};
  ASSERT_EQ(OSPrimSyncInitBlockingObject(&object), ZEK_STATUS_PASS);
  for (int i = 0; i < 70000; ++i) ASSERT_EQ(OSPrimSyncReleaseBlockingObject(&object), ZEK_STATUS_PASS) << i;
  // The count was pulled back once it passed 65334: far fewer than 70,001
  // acquisitions pass without waiting.
  int passed = 0;
  while (WaitForSingleObject(object.Semaphore, 0) == WAIT_OBJECT_0) ++passed;
  EXPECT_GE(passed, 1);
  EXPECT_LT(passed, 70000 - 65334 + 3);
  EXPECT_EQ(OSPrimSyncDestroyBlockingObject(&object), ZEK_STATUS_PASS);
}

TEST_F(SyncTest, ABlockingObjectHoldsAWaiterUntilReleased) {
  OSPrimBlockingObject object{};
  ASSERT_EQ(OSPrimSyncInitBlockingObject(&object), ZEK_STATUS_PASS);
  ASSERT_EQ(OSPrimSyncAcquireBlockingObject(&object), ZEK_STATUS_PASS);  // takes the initial unit
  std::atomic<bool> through{false};
  std::thread waiter([&] {
    EXPECT_EQ(OSPrimSyncAcquireBlockingObject(&object), ZEK_STATUS_PASS);
    through = true;
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(through);
  EXPECT_EQ(OSPrimSyncReleaseBlockingObject(&object), ZEK_STATUS_PASS);
  waiter.join();
  EXPECT_TRUE(through);
  EXPECT_EQ(OSPrimSyncDestroyBlockingObject(&object), ZEK_STATUS_PASS);
}

TEST_F(SyncTest, AnEventIsSignalledOnceAndWakesOneWait) {
  OSPrimEvent event = nullptr;
  ASSERT_EQ(OSPrimInitEvent(&event), ZEK_STATUS_PASS);
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // starts unsignalled
  EXPECT_EQ(OSPrimSetEvent(&event), ZEK_STATUS_PASS);
  EXPECT_EQ(OSPrimSetEvent(&event), ZEK_OSPRIM_FAILURE);  // signalled already
  EXPECT_EQ(OSPrimWaitForEvent(&event), ZEK_STATUS_PASS);
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // it was there once

  std::atomic<bool> woken{false};
  std::thread waiter([&] {
    EXPECT_EQ(OSPrimWaitForEvent(&event, TRUE), ZEK_STATUS_PASS);
    woken = true;
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(woken);
  EXPECT_EQ(OSPrimSetEvent(&event), ZEK_STATUS_PASS);
  waiter.join();
  EXPECT_TRUE(woken);
  EXPECT_EQ(OSPrimDestroyEvent(&event), ZEK_STATUS_PASS);
}

TEST_F(SyncTest, DestroyingAnEventClosesItsHandleOnce) {
  OSPrimEvent event = nullptr;
  ASSERT_EQ(OSPrimInitEvent(&event), ZEK_STATUS_PASS);
  const HANDLE handle = event;
  EXPECT_EQ(OSPrimDestroyEvent(&event), ZEK_STATUS_PASS);
  EXPECT_EQ(event, nullptr);
  EXPECT_FALSE(CloseHandle(handle));  // no handle leaked
  EXPECT_EQ(OSPrimDestroyEvent(&event), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(OSPrimSetEvent(&event), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(OSPrimWaitForEvent(&event), ZEK_OSPRIM_FAILURE);  // the failed wait's own code
  for (OSPrimEvent* bad :
       {static_cast<OSPrimEvent*>(nullptr), reinterpret_cast<OSPrimEvent*>(ZEK_UNINITIALISED_POINTER)}) {
    EXPECT_EQ(OSPrimInitEvent(bad), ZEK_OSPRIM_FAILURE);
    EXPECT_EQ(OSPrimWaitForEvent(bad), ZEK_OSPRIM_FAILURE);
    EXPECT_EQ(OSPrimSetEvent(bad), ZEK_OSPRIM_FAILURE);
    EXPECT_EQ(OSPrimDestroyEvent(bad), ZEK_OSPRIM_FAILURE);
  }
  EXPECT_TRUE(logged("OSPrimSetEvent: pEvent is Null File["));
}

TEST_F(SyncTest, SharedEventsAreAutoResetEventsOfTheProcess) {
  EXPECT_FALSE(OSPrimIsSharedEventSupported());
  HANDLE event = nullptr;
  ASSERT_EQ(OSPrimCreateSharedEvent(&event), ZEK_STATUS_PASS);
  EXPECT_EQ(OSPrimSetSharedEventInUserMode(event), ZEK_STATUS_PASS);
  EXPECT_EQ(OSPrimSetSharedEventInUserMode(event), ZEK_STATUS_PASS);  // sets collapse into one
  EXPECT_EQ(OSPrimWaitOnSharedUserEvent(event), ZEK_STATUS_PASS);
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  std::thread setter([&] {
    std::this_thread::sleep_for(10ms);
    OSPrimSetSharedEventInUserMode(event);
  });
  EXPECT_EQ(OSPrimWaitOnSharedUserEvent(event), ZEK_STATUS_PASS);
  setter.join();
  EXPECT_EQ(OSPrimDestroySharedEvent(event), ZEK_STATUS_PASS);
  EXPECT_EQ(OSPrimCreateSharedEvent(nullptr), ZEK_OSPRIM_FAILURE);
}

TEST_F(SyncTest, SharedEventFailuresAreReportedAndPrinted) {
  HANDLE event = nullptr;
  ASSERT_EQ(OSPrimCreateSharedEvent(&event), ZEK_STATUS_PASS);
  ASSERT_EQ(OSPrimDestroySharedEvent(event), ZEK_STATUS_PASS);
  ___ZEK_FAST_LOG_MASK = ZEK_LOG_MASK_DEBUGGER;
  testing::internal::CaptureStderr();
  EXPECT_EQ(OSPrimSetSharedEventInUserMode(event), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(OSPrimWaitOnSharedUserEvent(event), ZEK_OSPRIM_FAILURE);
  EXPECT_EQ(OSPrimDestroySharedEvent(event), ZEK_OSPRIM_FAILURE);
  const std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_NE(printed.find("OSPrimWaitOnSharedUserEvent: break out of while loop. WaitStatus (0xffffffff)\n"),
            std::string::npos);
  EXPECT_NE(printed.find("OSPrimWaitOnSharedUserEvent: WaitForSingleObject() returned error (0x6)\n"),
            std::string::npos);
  EXPECT_NE(printed.find("OSPrimDestroySharedEvent: CloseHandle failed error (0x6)\n"), std::string::npos);
}

}  // namespace
