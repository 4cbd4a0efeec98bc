// The user runtime's waitable objects, threads, heaps, time and completion
// ports without files.
#include <gtest/gtest.h>
#include <linux/futex.h>
#include <sys/syscall.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/user/win32.h"

namespace {

TEST(UserEvents, ManualEventsStaySignalledAndAutoEventsReleaseOneWaiter) {
  HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE automatic = CreateEventW(nullptr, FALSE, TRUE, nullptr);
  ASSERT_NE(manual, nullptr);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(CloseHandle(manual));
  EXPECT_TRUE(CloseHandle(automatic));
  EXPECT_FALSE(SetEvent(manual));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_FAILED);
}

TEST(UserEvents, AWaitEndsWhenAnotherThreadSignals) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    SetEvent(event);
  });
  EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
  setter.join();
  CloseHandle(event);
}

// How often a thread of this process has gone to sleep.
long sleeps_of(pid_t tid) {
  std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("voluntary_ctxt_switches:")) return std::stol(line.substr(24));
  }
  return -1;
}

// Whether a thread sleeps in a wait of its own: in a futex wait, and not on
// a contended lock (a lock's waiters sleep with the value 2).
bool waiting(pid_t tid) {
  std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/syscall");
  long number = -1;
  std::string address, op, value;
  file >> number >> address >> op >> value;
  if (number != SYS_futex) return false;
  const unsigned long operation = std::stoul(op, nullptr, 16) & FUTEX_CMD_MASK;
  return (operation == FUTEX_WAIT || operation == FUTEX_WAIT_BITSET) && std::stoul(value, nullptr, 16) != 2;
}

bool eventually(const std::function<bool()>& condition) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A change to one object wakes the threads waiting on it and no other: the
// threads waiting on other objects never wake (they would go to sleep again,
// which the system counts).
TEST(UserWaits, AChangeWakesOnlyTheThreadsWaitingOnThatObject) {
  struct Case {
    const char* what;
    std::function<DWORD(HANDLE own, HANDLE never)> wait;
    std::function<void(HANDLE own)> wake;
    bool port;
  };
  const Case cases[] = {
      {"one event", [](HANDLE own, HANDLE) { return WaitForSingleObject(own, INFINITE); },
       [](HANDLE own) { SetEvent(own); }, false},
      {"any of two events, one shared by all",
       [](HANDLE own, HANDLE never) {
         HANDLE both[2] = {never, own};
         return WaitForMultipleObjects(2, both, FALSE, INFINITE) - 1;
       },
       [](HANDLE own) { SetEvent(own); }, false},
      {"a semaphore, with a time-out", [](HANDLE own, HANDLE) { return WaitForSingleObject(own, 60000); },
       [](HANDLE own) { ReleaseSemaphore(own, 1, nullptr); }, false},
      {"a completion port",
       [](HANDLE own, HANDLE) {
         DWORD bytes = 0;
         ULONG_PTR key = 0;
         LPOVERLAPPED overlapped = nullptr;
         return GetQueuedCompletionStatus(own, &bytes, &key, &overlapped, INFINITE) ? WAIT_OBJECT_0 : WAIT_FAILED;
       },
       [](HANDLE own) { PostQueuedCompletionStatus(own, 1, 2, nullptr); }, true},
  };
  constexpr int kThreads = 4;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<HANDLE> own;
    for (int i = 0; i < kThreads; ++i) {
      if (c.port) {
        own.push_back(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0));
      } else if (std::string(c.what).starts_with("a semaphore")) {
        own.push_back(CreateSemaphoreA(nullptr, 0, 1, nullptr));
      } else {
        own.push_back(CreateEventA(nullptr, FALSE, FALSE, nullptr));
      }
    }
    std::vector<std::atomic<pid_t>> tids(kThreads);
    std::vector<std::atomic<DWORD>> results(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      results[i] = WAIT_TIMEOUT;
      threads.emplace_back([&, i] {
        tids[i] = static_cast<pid_t>(GetCurrentThreadId());
        results[i] = c.wait(own[i], never);
      });
    }
    ASSERT_TRUE(eventually([&] {
      for (auto& tid : tids) {
        if (tid == 0 || !waiting(tid)) return false;
      }
      return true;
    }));
    for (int woken = 0; woken < kThreads; ++woken) {
      std::vector<long> before;
      for (int i = woken + 1; i < kThreads; ++i) before.push_back(sleeps_of(tids[i]));
      c.wake(own[woken]);
      threads[woken].join();
      EXPECT_EQ(results[woken].load(), WAIT_OBJECT_0) << "thread " << woken;
      for (int i = woken + 1; i < kThreads; ++i) {
        EXPECT_EQ(sleeps_of(tids[i]), before[i - woken - 1]) << "thread " << i << " woke for thread " << woken;
      }
    }
    for (HANDLE h : own) CloseHandle(h);
    CloseHandle(never);
  }
}

TEST(UserSemaphores, ReleasePastTheMaximumFailsAndKeepsTheCount) {
  HANDLE semaphore = CreateSemaphoreA(nullptr, 1, 2, nullptr);
  LONG previous = -1;
  EXPECT_TRUE(ReleaseSemaphore(semaphore, 1, &previous));
  EXPECT_EQ(previous, 1);
  EXPECT_FALSE(ReleaseSemaphore(semaphore, 1, &previous));
  EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_POSTS);
  EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_TIMEOUT);
  EXPECT_EQ(CreateSemaphoreW(nullptr, 3, 2, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  CloseHandle(semaphore);
}

DWORD take_mutex_and_end(LPVOID mutex) {
  WaitForSingleObject(static_cast<HANDLE>(mutex), INFINITE);
  return 0;  // ends holding it
}

TEST(UserMutexes, AreRecursiveOwnedAndAbandonedWhenTheirThreadEnds) {
  HANDLE mutex = CreateMutexA(nullptr, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // again, by its owner
  EXPECT_TRUE(ReleaseMutex(mutex));
  std::atomic<DWORD> other_release{0};
  std::thread([&] { other_release = ReleaseMutex(mutex) ? 0 : GetLastError(); }).join();
  EXPECT_EQ(other_release.load(), ERROR_NOT_OWNER);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_FALSE(ReleaseMutex(mutex));

  HANDLE thread = CreateThread(nullptr, 0, &take_mutex_and_end, mutex, 0, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_ABANDONED_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(thread);
  CloseHandle(mutex);
}

TEST(UserWaits, AnyAllAndTimeOuts) {
  HANDLE a = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE b = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  HANDLE both[2] = {a, b};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 30), WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
  SetEvent(a);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(0, both, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  HANDLE bad[2] = {a, reinterpret_cast<HANDLE>(0x7FFFFF0)};
  EXPECT_EQ(WaitForMultipleObjects(2, bad, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  CloseHandle(a);
  CloseHandle(b);
}

TEST(UserWaits, WaitAllTakesNothingUntilEverythingIsReady) {
  HANDLE semaphore = CreateSemaphoreA(nullptr, 1, 1, nullptr);
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE both[2] = {semaphore, event};
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 10), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);  // still there
  CloseHandle(semaphore);
  CloseHandle(event);
}

DWORD returns_code(LPVOID value) { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(value)); }
DWORD exits_early(LPVOID) { ExitThread(77); }

TEST(UserThreads, HandlesAreWaitableUntilTheThreadEndsAndKeepItsCode) {
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, &returns_code, reinterpret_cast<LPVOID>(42), CREATE_SUSPENDED, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(GetThreadId(thread), id);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
  EXPECT_EQ(ResumeThread(thread), 1u);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 42u);
  CloseHandle(thread);

  HANDLE early = CreateThread(nullptr, 0, &exits_early, nullptr, 0, nullptr);
  EXPECT_EQ(WaitForSingleObject(early, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(early, &code));
  EXPECT_EQ(code, 77u);
  CloseHandle(early);
  EXPECT_EQ(WaitForSingleObject(GetCurrentThread(), 0), WAIT_FAILED);  // waiting for oneself
}

TEST(UserCriticalSections, AreRecursiveAndExclude) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);
  std::atomic<BOOL> got{TRUE};
  std::thread([&] { got = TryEnterCriticalSection(&cs); }).join();
  EXPECT_FALSE(got.load());
  LeaveCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  std::thread([&] {
    got = TryEnterCriticalSection(&cs);
    if (got) LeaveCriticalSection(&cs);
  }).join();
  EXPECT_TRUE(got.load());
  DeleteCriticalSection(&cs);
}

TEST(UserHeaps, ZeroFillRefuseForeignBlocksAndReleaseAllOnDestroy) {
  HANDLE heap = HeapCreate(0, 0, 0);
  auto* block = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 100));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(block[i], 0);
  EXPECT_EQ(HeapSize(heap, 0, block), 100u);
  void* other = HeapAlloc(GetProcessHeap(), 0, 10);
  EXPECT_FALSE(HeapFree(heap, 0, other));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, other));
  EXPECT_FALSE(HeapFree(GetProcessHeap(), 0, other));  // twice
  HeapAlloc(heap, 0, 1000);                            // left for the destroy
  EXPECT_TRUE(HeapDestroy(heap));
  EXPECT_EQ(HeapAlloc(heap, 0, 1), nullptr);
  EXPECT_FALSE(HeapDestroy(GetProcessHeap()));
}

TEST(UserTime, TicksAndThePerformanceCounterMoveForward) {
  LARGE_INTEGER frequency, first, second;
  EXPECT_TRUE(QueryPerformanceFrequency(&frequency));
  EXPECT_EQ(frequency.QuadPart, 10'000'000);
  QueryPerformanceCounter(&first);
  const ULONGLONG tick = GetTickCount64();
  Sleep(15);
  QueryPerformanceCounter(&second);
  EXPECT_GE(second.QuadPart - first.QuadPart, 150'000);
  EXPECT_GE(GetTickCount64() - tick, 15u);
  EXPECT_EQ(static_cast<DWORD>(GetTickCount64()) - GetTickCount() <= 1u, true);
}

TEST(UserTls, SlotsAreAllocatedAndPerThread) {
  DWORD slot = TlsAlloc();
  ASSERT_NE(slot, TLS_OUT_OF_INDEXES);
  EXPECT_TRUE(TlsSetValue(slot, reinterpret_cast<LPVOID>(5)));
  std::thread([&] { EXPECT_EQ(TlsGetValue(slot), nullptr); }).join();
  EXPECT_EQ(TlsGetValue(slot), reinterpret_cast<LPVOID>(5));
  EXPECT_TRUE(TlsFree(slot));
  EXPECT_FALSE(TlsFree(slot));
}

TEST(UserPorts, PostedPacketsComeBackInOrderAndEmptyPortsTimeOut) {
  HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
  ASSERT_NE(port, nullptr);
  OVERLAPPED marker{};
  EXPECT_TRUE(PostQueuedCompletionStatus(port, 10, 1, &marker));
  EXPECT_TRUE(PostQueuedCompletionStatus(port, 20, 2, nullptr));
  DWORD bytes = 0;
  ULONG_PTR key = 0;
  LPOVERLAPPED overlapped = nullptr;
  EXPECT_TRUE(GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, 0));
  EXPECT_EQ(bytes, 10u);
  EXPECT_EQ(key, 1u);
  EXPECT_EQ(overlapped, &marker);
  EXPECT_TRUE(GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, INFINITE));
  EXPECT_EQ(key, 2u);
  EXPECT_FALSE(GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, 20));
  EXPECT_EQ(GetLastError(), WAIT_TIMEOUT);
  EXPECT_EQ(overlapped, nullptr);
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    PostQueuedCompletionStatus(port, 3, 3, nullptr);
  });
  EXPECT_TRUE(GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, 5000));
  poster.join();
  EXPECT_TRUE(CloseHandle(port));
}

TEST(UserDevices, WithoutAHostOpeningADeviceFailsWithFileNotFound) {
  // ZEK_HOST names a directory where no host runs (or nothing at all).
  setenv("ZEK_HOST", "/nonexistent-zek-host", 1);
  EXPECT_EQ(CreateFileA("\\\\.\\zekproxy", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  unsetenv("ZEK_HOST");
  EXPECT_EQ(CreateFileW(u"\\\\.\\zekproxy", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(CreateFileA("C:\\file.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(DeviceIoControl(reinterpret_cast<HANDLE>(0x400), 0, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
