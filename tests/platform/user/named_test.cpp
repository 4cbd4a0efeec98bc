// Named events, semaphores and mutexes within one process (a process
// without a host has a table of its own): names, kinds, errors, lifetime.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/user/win32.h"

namespace {

struct NameCase {
  const char* what;
  std::u16string name;
  DWORD error;
};

TEST(NamedObjects, BadNamesGiveTheErrorsWindowsGives) {
  const NameCase cases[] = {
      {"backslash inside", u"Global\\a\\b", ERROR_PATH_NOT_FOUND},
      {"too long", std::u16string(300, u'x'), ERROR_FILENAME_EXCED_RANGE},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_EQ(CreateMutexW(nullptr, FALSE, c.name.c_str()), nullptr) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
    EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, c.name.c_str()), nullptr) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }
  EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(NamedObjects, CreatingANameTwiceGivesTheSameObjectAndSaysSo) {
  HANDLE first = CreateEventA(nullptr, TRUE, FALSE, "zek-test-same");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  HANDLE second = CreateEventA(nullptr, FALSE, TRUE, "Global\\zek-test-same");  // one namespace
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_TIMEOUT);  // the first one's state, not the second's arguments
  EXPECT_TRUE(SetEvent(first));
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);  // manual reset, as created
  HANDLE opened = OpenEventA(EVENT_ALL_ACCESS, FALSE, "Local\\zek-test-same");
  ASSERT_NE(opened, nullptr);
  EXPECT_TRUE(ResetEvent(opened));
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_TIMEOUT);
  // Names are case-sensitive.
  EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, "ZEK-TEST-SAME"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  for (HANDLE h : {first, second, opened}) EXPECT_TRUE(CloseHandle(h));
}

TEST(NamedObjects, ANameHeldByAnotherKindIsRefused) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, "zek-test-kind");
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, "zek-test-kind"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, "zek-test-kind"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(CloseHandle(mutex));
}

TEST(NamedObjects, TheObjectGoesWithItsLastHandle) {
  HANDLE a = CreateSemaphoreA(nullptr, 1, 3, "zek-test-life");
  HANDLE b = OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, "zek-test-life");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_TRUE(CloseHandle(a));
  HANDLE c = OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, "zek-test-life");
  EXPECT_NE(c, nullptr);
  EXPECT_TRUE(CloseHandle(b));
  EXPECT_TRUE(CloseHandle(c));
  EXPECT_EQ(OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, "zek-test-life"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  // A new object of the name starts afresh.
  HANDLE d = CreateSemaphoreA(nullptr, 0, 1, "zek-test-life");
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(d, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(CloseHandle(d));
}

TEST(NamedObjects, SemaphoresCountAndRefuseReleasesPastTheirMaximum) {
  HANDLE s = CreateSemaphoreW(nullptr, 1, 2, u"zek-test-sem");
  ASSERT_NE(s, nullptr);
  LONG previous = -1;
  EXPECT_TRUE(ReleaseSemaphore(s, 1, &previous));
  EXPECT_EQ(previous, 1);
  EXPECT_FALSE(ReleaseSemaphore(s, 1, &previous));
  EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_POSTS);
  EXPECT_FALSE(ReleaseSemaphore(s, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_TIMEOUT);
  EXPECT_EQ(CreateSemaphoreA(nullptr, 3, 2, "zek-test-bad"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(CloseHandle(s));
}

TEST(NamedObjects, MutexesAreOwnedRecursivelyAndAbandonedByTheirThread) {
  HANDLE m = CreateMutexA(nullptr, TRUE, "zek-test-mutex");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);  // recursive
  DWORD other = 0;
  std::thread([&] {
    other = WaitForSingleObject(m, 0);
    SetLastError(0);
    ReleaseMutex(m);
    other |= GetLastError() << 16;
  }).join();
  EXPECT_EQ(other, WAIT_TIMEOUT | (ERROR_NOT_OWNER << 16));
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_FALSE(ReleaseMutex(m));
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
  // A thread of the runtime that ends holding it leaves it abandoned.
  HANDLE t = CreateThread(
      nullptr, 0, [](LPVOID p) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(p), 0); }, m, 0, nullptr);
  EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(m, 1000), WAIT_ABANDONED_0);
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);  // ours now, no longer abandoned
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_TRUE(ReleaseMutex(m));
  CloseHandle(t);
  EXPECT_TRUE(CloseHandle(m));
}

TEST(NamedObjects, AWaitOnNamedAndUnnamedObjectsEndsWithTheOneSignalled) {
  HANDLE named = CreateEventA(nullptr, FALSE, FALSE, "zek-test-mixed");
  HANDLE plain = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE both[2] = {plain, named};
  std::thread setter([&] {
    HANDLE other = OpenEventA(EVENT_MODIFY_STATE, FALSE, "zek-test-mixed");
    SetEvent(other);
    CloseHandle(other);
  });
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 20000), WAIT_OBJECT_0 + 1);
  setter.join();
  EXPECT_EQ(WaitForSingleObject(named, 0), WAIT_TIMEOUT);  // auto reset
  SetEvent(named);
  SetEvent(plain);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(named, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(plain, 0), WAIT_TIMEOUT);
  CloseHandle(named);
  CloseHandle(plain);
}

}  // namespace
