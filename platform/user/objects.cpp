// Handles, events, semaphores, mutexes and waits.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/user/named.h"
#include "platform/user/runtime.h"

namespace plat::user {
namespace {

thread_local DWORD last_error = 0;
constexpr std::uintptr_t kHandleStep = 4;

}  // namespace

std::mutex& wait_mutex() {
  static auto* mu = new std::mutex;
  return *mu;
}

namespace {

// A thread in wait_keys: linked into the list of waiters under wait_mutex;
// `word` goes from 0 to 1 when the thread is picked, and the thread sleeps
// on it alone (a futex of its own).
struct WaitEntry {
  std::atomic<std::uint32_t> word{0};
  std::span<const void* const> keys;
  WaitEntry* next = nullptr;
  WaitEntry* prev = nullptr;
};

// The calling thread's part in the waits, in one thread-local object (one
// look-up of the thread's storage per call).
struct WaitState {
  WaitEntry entry;
  int deferring = 0;                                // WaitLocks held by this thread
  std::vector<std::atomic<std::uint32_t>*> picked;  // to wake once the lock is free
};
thread_local WaitState this_thread_waits;
WaitEntry* waiters = nullptr;  // under wait_mutex

void futex_wake(std::atomic<std::uint32_t>* word) {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// Words live as long as their threads: a late wake of a thread that has
// stopped waiting only makes its next wait look again.
void wake_picked(WaitState& state) {
  for (auto* word : state.picked) futex_wake(word);
  state.picked.clear();
}

void pick(WaitEntry* entry, WaitState& state) {
  if (entry->word.load(std::memory_order_relaxed) != 0) return;
  entry->word.store(1, std::memory_order_release);
  if (state.deferring > 0) {
    state.picked.push_back(&entry->word);
  } else {
    futex_wake(&entry->word);
  }
}

}  // namespace

WaitLock::WaitLock() : lock_(wait_mutex()) { ++this_thread_waits.deferring; }

WaitLock::~WaitLock() {
  if (lock_.owns_lock()) unlock();
}

void WaitLock::unlock() {
  lock_.unlock();
  WaitState& state = this_thread_waits;
  if (--state.deferring == 0 && !state.picked.empty()) wake_picked(state);
}

void notify_key(const void* key) {
  if (waiters == nullptr) return;
  WaitState& state = this_thread_waits;
  for (WaitEntry* entry = waiters; entry != nullptr; entry = entry->next) {
    for (const void* k : entry->keys) {
      if (k == key) {
        pick(entry, state);
        break;
      }
    }
  }
}

void notify() {
  WaitState& state = this_thread_waits;
  for (WaitEntry* entry = waiters; entry != nullptr; entry = entry->next) pick(entry, state);
}

bool wait_keys(std::unique_lock<std::mutex>& lock, std::span<const void* const> keys,
               std::optional<std::chrono::steady_clock::time_point> deadline) {
  WaitState& state = this_thread_waits;
  WaitEntry& entry = state.entry;
  entry.keys = keys;
  entry.word.store(0, std::memory_order_relaxed);
  entry.prev = nullptr;
  entry.next = waiters;
  if (waiters != nullptr) waiters->prev = &entry;
  waiters = &entry;
  lock.unlock();
  wake_picked(state);  // what this thread picked before it sleeps
  bool in_time = true;
  while (entry.word.load(std::memory_order_acquire) == 0) {
    timespec* limit = nullptr;
    timespec left{};
    if (deadline) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= *deadline) {
        in_time = false;
        break;
      }
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*deadline - now).count();
      left.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
      left.tv_nsec = static_cast<long>(ns % 1'000'000'000);
      limit = &left;
    }
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&entry.word), FUTEX_WAIT_PRIVATE, 0u, limit, nullptr, 0);
  }
  lock.lock();
  if (entry.prev != nullptr) {
    entry.prev->next = entry.next;
  } else {
    waiters = entry.next;
  }
  if (entry.next != nullptr) entry.next->prev = entry.prev;
  entry.next = entry.prev = nullptr;
  return in_time;
}

pid_t current_tid() {
  thread_local pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
  return tid;
}

HandleTable& handles() {
  static auto* table = new HandleTable;
  return *table;
}

HANDLE HandleTable::insert(std::shared_ptr<Object> object) {
  std::lock_guard lock(mu_);
  std::size_t index;
  if (!free_.empty()) {
    index = free_.back();
    free_.pop_back();
    slots_[index] = std::move(object);
  } else {
    index = slots_.size();
    slots_.push_back(std::move(object));
  }
  return reinterpret_cast<HANDLE>((index + 1) * kHandleStep);
}

std::shared_ptr<Object> HandleTable::get(HANDLE handle) const {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (value == 0 || value % kHandleStep != 0) return nullptr;
  const std::size_t index = value / kHandleStep - 1;
  std::lock_guard lock(mu_);
  return index < slots_.size() ? slots_[index] : nullptr;
}

std::shared_ptr<Object> HandleTable::remove(HANDLE handle) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (value == 0 || value % kHandleStep != 0) return nullptr;
  const std::size_t index = value / kHandleStep - 1;
  std::lock_guard lock(mu_);
  if (index >= slots_.size() || !slots_[index]) return nullptr;
  auto object = std::move(slots_[index]);
  slots_[index].reset();
  free_.push_back(index);
  return object;
}

bool Mutex::take(pid_t tid) {
  owner = tid;
  ++depth;
  const bool was = abandoned;
  abandoned = false;
  return was;
}

namespace {

std::vector<std::weak_ptr<Mutex>>& all_mutexes() {
  static auto* list = new std::vector<std::weak_ptr<Mutex>>;
  return *list;
}

std::shared_ptr<Waitable> waitable(HANDLE handle) {
  if (handle == GetCurrentThread()) return nullptr;  // waiting on oneself never ends: refused
  auto object = handles().get(handle);
  Waitable* waitable = object ? object->as_waitable() : nullptr;
  return waitable != nullptr ? std::shared_ptr<Waitable>(std::move(object), waitable) : nullptr;
}

std::chrono::steady_clock::time_point deadline_of(DWORD ms) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

}  // namespace

void abandon_mutexes_of(pid_t tid) {
  std::lock_guard lock(wait_mutex());
  auto& list = all_mutexes();
  for (auto it = list.begin(); it != list.end();) {
    auto mutex = it->lock();
    if (!mutex) {
      it = list.erase(it);
      continue;
    }
    if (mutex->owner == tid) {
      mutex->owner = 0;
      mutex->depth = 0;
      mutex->abandoned = true;
    }
    ++it;
  }
  named_abandon_thread(tid);
  notify();
}

}  // namespace plat::user

using namespace plat::user;

DWORD GetLastError() { return last_error; }
void SetLastError(DWORD dwErrCode) { last_error = dwErrCode; }
DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }
DWORD GetCurrentThreadId() { return static_cast<DWORD>(current_tid()); }
HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }
HANDLE GetCurrentThread() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)); }

namespace {

std::u16string wide_of(LPCSTR text) {
  std::u16string out;
  for (; *text != 0; ++text) out.push_back(static_cast<unsigned char>(*text));
  return out;
}

// A named object's handle; null with the last error set. A name that is
// there already gives its object with ERROR_ALREADY_EXISTS (Create) or
// ERROR_SUCCESS (Open).
HANDLE named(NamedKind kind, std::u16string name, const NamedParams& params, bool create) {
  DWORD error = ERROR_SUCCESS;
  if (!named_normalise(&name, &error)) {
    SetLastError(error);
    return nullptr;
  }
  HANDLE handle = named_create(kind, name, params, create, &error);
  SetLastError(error);
  return handle;
}

HANDLE open_named(NamedKind kind, std::u16string name) { return named(kind, std::move(name), NamedParams{}, false); }

}  // namespace

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
  if (lpName != nullptr && *lpName != 0) {
    NamedParams params;
    params.manual = bManualReset != FALSE;
    params.initial_state = bInitialState != FALSE;
    return named(NamedKind::Event, lpName, params, true);
  }
  SetLastError(ERROR_SUCCESS);
  return handles().insert(std::make_shared<Event>(bManualReset != FALSE, bInitialState != FALSE));
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES a, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
  if (lpName == nullptr) return CreateEventW(a, bManualReset, bInitialState, nullptr);
  return CreateEventW(a, bManualReset, bInitialState, wide_of(lpName).c_str());
}

HANDLE OpenEventW(DWORD, BOOL, LPCWSTR lpName) {
  if (lpName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return open_named(NamedKind::Event, lpName);
}

HANDLE OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName) {
  if (lpName == nullptr) return OpenEventW(dwDesiredAccess, bInheritHandle, nullptr);
  return OpenEventW(dwDesiredAccess, bInheritHandle, wide_of(lpName).c_str());
}

namespace {
BOOL set_event_state(HANDLE hEvent, bool state) {
  if (auto object = handles().get_as<NamedObject>(hEvent)) {
    const DWORD error = named_set_event(*object, state);
    if (error == ERROR_SUCCESS) return TRUE;
    SetLastError(error);
    return FALSE;
  }
  auto event = handles().get_as<Event>(hEvent);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  WaitLock lock;
  event->state = state;
  if (state) notify_key(event.get());
  return TRUE;
}
}  // namespace

BOOL SetEvent(HANDLE hEvent) { return set_event_state(hEvent, true); }
BOOL ResetEvent(HANDLE hEvent) { return set_event_state(hEvent, false); }

HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES, LONG lInitialCount, LONG lMaximumCount, LPCWSTR lpName) {
  if (lMaximumCount <= 0 || lInitialCount < 0 || lInitialCount > lMaximumCount) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (lpName != nullptr && *lpName != 0) {
    NamedParams params;
    params.initial_count = lInitialCount;
    params.maximum_count = lMaximumCount;
    return named(NamedKind::Semaphore, lpName, params, true);
  }
  SetLastError(ERROR_SUCCESS);
  return handles().insert(std::make_shared<Semaphore>(lInitialCount, lMaximumCount));
}

HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES a, LONG lInitialCount, LONG lMaximumCount, LPCSTR lpName) {
  if (lpName == nullptr) return CreateSemaphoreW(a, lInitialCount, lMaximumCount, nullptr);
  return CreateSemaphoreW(a, lInitialCount, lMaximumCount, wide_of(lpName).c_str());
}

HANDLE OpenSemaphoreW(DWORD, BOOL, LPCWSTR lpName) {
  if (lpName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return open_named(NamedKind::Semaphore, lpName);
}

HANDLE OpenSemaphoreA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName) {
  if (lpName == nullptr) return OpenSemaphoreW(dwDesiredAccess, bInheritHandle, nullptr);
  return OpenSemaphoreW(dwDesiredAccess, bInheritHandle, wide_of(lpName).c_str());
}

BOOL ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount) {
  const auto object = handles().get(hSemaphore);
  if (object && object->named()) {
    const DWORD error =
        named_release_semaphore(*static_cast<NamedObject*>(object->as_waitable()), lReleaseCount, lpPreviousCount);
    if (error == ERROR_SUCCESS) return TRUE;
    SetLastError(error);
    return FALSE;
  }
  Semaphore* semaphore = object ? object->as_semaphore() : nullptr;
  if (!semaphore) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (lReleaseCount <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  WaitLock lock;
  if (semaphore->count > semaphore->maximum - lReleaseCount) {
    SetLastError(ERROR_TOO_MANY_POSTS);
    return FALSE;
  }
  if (lpPreviousCount != nullptr) *lpPreviousCount = semaphore->count;
  semaphore->count += lReleaseCount;
  notify_key(semaphore);
  return TRUE;
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR lpName) {
  if (lpName != nullptr && *lpName != 0) {
    NamedParams params;
    params.initial_owner = bInitialOwner != FALSE;
    return named(NamedKind::Mutex, lpName, params, true);
  }
  auto mutex = std::make_shared<Mutex>();
  std::lock_guard lock(wait_mutex());
  if (bInitialOwner) mutex->take(current_tid());
  all_mutexes().push_back(mutex);
  SetLastError(ERROR_SUCCESS);
  return handles().insert(mutex);
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES a, BOOL bInitialOwner, LPCSTR lpName) {
  if (lpName == nullptr) return CreateMutexW(a, bInitialOwner, nullptr);
  return CreateMutexW(a, bInitialOwner, wide_of(lpName).c_str());
}

HANDLE OpenMutexW(DWORD, BOOL, LPCWSTR lpName) {
  if (lpName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return open_named(NamedKind::Mutex, lpName);
}

HANDLE OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName) {
  if (lpName == nullptr) return OpenMutexW(dwDesiredAccess, bInheritHandle, nullptr);
  return OpenMutexW(dwDesiredAccess, bInheritHandle, wide_of(lpName).c_str());
}

BOOL ReleaseMutex(HANDLE hMutex) {
  if (auto object = handles().get_as<NamedObject>(hMutex)) {
    const DWORD error = named_release_mutex(*object);
    if (error == ERROR_SUCCESS) return TRUE;
    SetLastError(error);
    return FALSE;
  }
  auto mutex = handles().get_as<Mutex>(hMutex);
  if (!mutex) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  WaitLock lock;
  if (mutex->owner != current_tid()) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  if (--mutex->depth == 0) {
    mutex->owner = 0;
    notify_key(mutex.get());
  }
  return TRUE;
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
  if (nCount == 0 || nCount > 64 || lpHandles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<Waitable>> objects;
  bool any_named = false;
  for (DWORD i = 0; i < nCount; ++i) {
    auto object = waitable(lpHandles[i]);
    if (!object) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    any_named = any_named || object->named();
    objects.push_back(std::move(object));
  }
  const pid_t tid = current_tid();
  const auto deadline = deadline_of(dwMilliseconds);
  std::vector<const void*> keys;
  for (auto& object : objects) keys.push_back(object.get());
  WaitLock held;
  auto& lock = held.lock();
  for (;;) {
    {
      // Named objects change in other processes too: one look sees and takes them together.
      NamedRound round(any_named);
      if (bWaitAll) {
        bool all = true;
        for (auto& object : objects) all = all && object->signaled(tid);
        if (all) {
          bool abandoned = false;
          for (auto& object : objects) abandoned = object->take(tid) || abandoned;
          return abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0;
        }
      } else {
        for (DWORD i = 0; i < nCount; ++i) {
          bool abandoned = false;
          if (objects[i]->acquire(tid, &abandoned)) return (abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + i;
        }
      }
    }
    if (dwMilliseconds == 0) return WAIT_TIMEOUT;
    if (dwMilliseconds == INFINITE) {
      wait_keys(lock, keys);
    } else if (!wait_keys(lock, keys, deadline)) {
      // One last look: the state may have changed with the time-out.
      dwMilliseconds = 0;
    }
  }
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  auto object = waitable(hHandle);
  if (!object || object->named()) return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
  // One object of this process: no list to build, one key to wait on.
  const pid_t tid = current_tid();
  const auto deadline = dwMilliseconds == 0 || dwMilliseconds == INFINITE ? std::chrono::steady_clock::time_point{}
                                                                          : deadline_of(dwMilliseconds);
  WaitLock held;
  for (;;) {
    bool abandoned = false;
    if (object->acquire(tid, &abandoned)) return abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0;
    if (dwMilliseconds == 0) return WAIT_TIMEOUT;
    if (dwMilliseconds == INFINITE) {
      wait_key(held.lock(), object.get());
    } else if (!wait_key(held.lock(), object.get(), deadline)) {
      dwMilliseconds = 0;  // one last look
    }
  }
}

DWORD WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL) {
  return WaitForSingleObject(hHandle, dwMilliseconds);
}

DWORD SleepEx(DWORD dwMilliseconds, BOOL) {
  if (dwMilliseconds == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
  return 0;
}

void Sleep(DWORD dwMilliseconds) { SleepEx(dwMilliseconds, FALSE); }
