// Threads, thread-local storage and critical sections.
#include <pthread.h>

#include <array>
#include <thread>

#include "platform/user/runtime.h"

namespace plat::user {
namespace {

struct ThreadExit {
  DWORD code;
};

thread_local Thread* self_thread = nullptr;  // set for threads started by CreateThread

constexpr DWORD kTlsSlots = 1088;
std::mutex tls_mu;
std::array<bool, kTlsSlots> tls_used{};
thread_local std::array<LPVOID, kTlsSlots> tls_values{};

void finish(const std::shared_ptr<Thread>& thread, DWORD code) {
  abandon_mutexes_of(current_tid());
  WaitLock lock;
  thread->exit_code = code;
  thread->done = true;
  notify_key(thread.get());
}

}  // namespace
}  // namespace plat::user

using namespace plat::user;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId) {
  if (lpStartAddress == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto thread = std::make_shared<Thread>();
  thread->started = (dwCreationFlags & CREATE_SUSPENDED) == 0;
  try {
    std::thread([thread, lpStartAddress, lpParameter] {
      {
        WaitLock lock;
        thread->tid = current_tid();
        notify_key(thread.get());
        while (!thread->started) wait_key(lock.lock(), thread.get());
      }
      self_thread = thread.get();
      DWORD code = 0;
      try {
        code = lpStartAddress(lpParameter);
      } catch (const ThreadExit& exit) {
        code = exit.code;
      }
      finish(thread, code);
    }).detach();
  } catch (const std::system_error&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  {
    WaitLock lock;
    while (thread->tid == 0) wait_key(lock.lock(), thread.get());
  }
  if (lpThreadId != nullptr) *lpThreadId = static_cast<DWORD>(thread->tid);
  return handles().insert(thread);
}

DWORD ResumeThread(HANDLE hThread) {
  auto thread = handles().get_as<Thread>(hThread);
  if (!thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
  }
  WaitLock lock;
  const DWORD before = thread->started ? 0 : 1;
  thread->started = true;
  notify_key(thread.get());
  return before;
}

void ExitThread(DWORD dwExitCode) {
  if (self_thread != nullptr) throw ThreadExit{dwExitCode};
  // A thread the runtime did not start ends here.
  abandon_mutexes_of(current_tid());
  pthread_exit(nullptr);
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  auto thread = handles().get_as<Thread>(hThread);
  if (!thread || lpExitCode == nullptr) {
    SetLastError(thread ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard lock(wait_mutex());
  *lpExitCode = thread->exit_code;
  return TRUE;
}

DWORD GetThreadId(HANDLE Thread) {
  if (Thread == GetCurrentThread()) return GetCurrentThreadId();
  auto thread = handles().get_as<plat::user::Thread>(Thread);
  if (!thread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return static_cast<DWORD>(thread->tid);
}

DWORD TlsAlloc() {
  std::lock_guard lock(tls_mu);
  for (DWORD i = 0; i < kTlsSlots; ++i) {
    if (!tls_used[i]) {
      tls_used[i] = true;
      return i;
    }
  }
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return TLS_OUT_OF_INDEXES;
}

BOOL TlsFree(DWORD dwTlsIndex) {
  std::lock_guard lock(tls_mu);
  if (dwTlsIndex >= kTlsSlots || !tls_used[dwTlsIndex]) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  tls_used[dwTlsIndex] = false;
  return TRUE;
}

LPVOID TlsGetValue(DWORD dwTlsIndex) {
  if (dwTlsIndex >= kTlsSlots) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return tls_values[dwTlsIndex];
}

BOOL TlsSetValue(DWORD dwTlsIndex, LPVOID lpTlsValue) {
  if (dwTlsIndex >= kTlsSlots) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  tls_values[dwTlsIndex] = lpTlsValue;
  return TRUE;
}

// ---- Critical sections: a recursive mutex behind the record ----------------------

namespace {
std::recursive_mutex* lock_of(LPCRITICAL_SECTION cs) { return static_cast<std::recursive_mutex*>(cs->LockSemaphore); }
}  // namespace

void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  *lpCriticalSection = CRITICAL_SECTION{};
  lpCriticalSection->LockCount = -1;
  lpCriticalSection->LockSemaphore = new std::recursive_mutex;
}

BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount) {
  InitializeCriticalSection(lpCriticalSection);
  lpCriticalSection->SpinCount = dwSpinCount;
  return TRUE;
}

void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  lock_of(lpCriticalSection)->lock();
  lpCriticalSection->OwningThread = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(current_tid()));
  ++lpCriticalSection->RecursionCount;
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (!lock_of(lpCriticalSection)->try_lock()) return FALSE;
  lpCriticalSection->OwningThread = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(current_tid()));
  ++lpCriticalSection->RecursionCount;
  return TRUE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (--lpCriticalSection->RecursionCount == 0) lpCriticalSection->OwningThread = nullptr;
  lock_of(lpCriticalSection)->unlock();
}

void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  delete lock_of(lpCriticalSection);
  lpCriticalSection->LockSemaphore = nullptr;
}
