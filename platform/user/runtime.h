// The user runtime's process-wide state: the handle table and the objects
// behind handles. Every waitable object's state is guarded by one mutex
// (wait_mutex). A thread that waits registers what it waits for (objects,
// or any other key: a request, an OVERLAPPED, a port) and sleeps on a word
// of its own; a change to an object wakes exactly the threads registered
// on it, once the changing thread has let go of the mutex (WaitLock), and
// they look again at what they wait for. Private to the runtime's files.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "platform/user/win32.h"

namespace plat::user {

std::mutex& wait_mutex();

// wait_mutex, held for a scope; the threads that notify_key() picked while
// it was held are woken after it is released, so that they do not wake
// only to wait for the mutex.
class WaitLock {
 public:
  WaitLock();
  ~WaitLock();
  WaitLock(const WaitLock&) = delete;
  WaitLock& operator=(const WaitLock&) = delete;
  std::unique_lock<std::mutex>& lock() { return lock_; }
  void unlock();  // early: wakes the picked threads at once

 private:
  std::unique_lock<std::mutex> lock_;
};

// With wait_mutex held, after changing what `key` stands for: wakes the
// threads waiting on it (after the WaitLock's release, or at once under a
// plain lock).
void notify_key(const void* key);
// With wait_mutex held: every waiting thread looks again (a change whose
// waiters cannot be named, such as one made by another process).
void notify();

// With `lock` (on wait_mutex) held: sleeps until one of `keys` is notified,
// notify() is called, or the deadline passes (false then). The caller
// looks again at what it waits for either way.
bool wait_keys(std::unique_lock<std::mutex>& lock, std::span<const void* const> keys,
               std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);
inline bool wait_key(std::unique_lock<std::mutex>& lock, const void* key,
                     std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt) {
  return wait_keys(lock, std::span<const void* const>(&key, 1), deadline);
}

pid_t current_tid();

struct Waitable;
struct Semaphore;

struct Object {
  virtual ~Object() = default;
  // What the waits and releases ask of every object, without a
  // dynamic_cast (which compares type names across libraries).
  virtual Waitable* as_waitable() { return nullptr; }
  virtual Semaphore* as_semaphore() { return nullptr; }
  virtual bool named() const { return false; }  // shared with other processes
};

struct Waitable : Object {
  Waitable* as_waitable() override { return this; }
  // Under wait_mutex.
  virtual bool signaled(pid_t tid) const = 0;
  // Takes the object for a satisfied wait; true when it was abandoned.
  virtual bool take(pid_t) { return false; }
  // Takes the object if it is signalled, in one step; false when it is not.
  virtual bool acquire(pid_t tid, bool* abandoned) {
    if (!signaled(tid)) return false;
    *abandoned = take(tid);
    return true;
  }
};

struct Event final : Waitable {
  Event(bool manual, bool state) : manual(manual), state(state) {}
  bool signaled(pid_t) const override { return state; }
  bool take(pid_t) override {
    if (!manual) state = false;
    return false;
  }
  bool manual;
  bool state;
};

struct Semaphore final : Waitable {
  Semaphore(LONG count, LONG maximum) : count(count), maximum(maximum) {}
  Semaphore* as_semaphore() override { return this; }
  bool signaled(pid_t) const override { return count > 0; }
  bool take(pid_t) override {
    --count;
    return false;
  }
  LONG count;
  LONG maximum;
};

struct Mutex final : Waitable {
  bool signaled(pid_t tid) const override { return owner == 0 || owner == tid; }
  bool take(pid_t tid) override;
  pid_t owner = 0;
  int depth = 0;
  bool abandoned = false;
};

struct Thread final : Waitable {
  bool signaled(pid_t) const override { return done; }
  bool done = false;
  bool started = false;  // false while created suspended
  DWORD exit_code = STILL_ACTIVE;
  pid_t tid = 0;
};

struct Port;
class HostLink;

// What overlapped requests complete on: a device handle, or a socket of the
// WinSock stand-in. A completion fills the OVERLAPPED, sets its event (or,
// without one, the object) and posts a packet to the object's port.
struct IoObject : Waitable {
  // Signalled when one of its requests completes without an event.
  bool signaled(pid_t) const override { return completion_signal; }
  // CloseHandle took the object's handle away.
  virtual void handle_closed() {}
  bool overlapped = false;
  bool completion_signal = false;  // under wait_mutex
  std::shared_ptr<Port> port;      // under wait_mutex
  ULONG_PTR key = 0;
};

// A device handle: one file object in the host.
struct File final : IoObject {
  std::shared_ptr<HostLink> link;
  std::uint64_t id = 0;
  std::mutex sync;  // serialises the synchronous requests of the handle
};

struct Packet {
  DWORD bytes;
  ULONG_PTR key;
  LPOVERLAPPED overlapped;
  NTSTATUS status;
};

struct Port final : Object {
  std::deque<Packet> packets;  // under wait_mutex
  bool closed = false;
};

class HandleTable {
 public:
  HANDLE insert(std::shared_ptr<Object> object);
  std::shared_ptr<Object> get(HANDLE handle) const;
  template <typename T>
  std::shared_ptr<T> get_as(HANDLE handle) const {
    return std::dynamic_pointer_cast<T>(get(handle));
  }
  std::shared_ptr<Object> remove(HANDLE handle);

 private:
  mutable std::mutex mu_;
  std::vector<std::shared_ptr<Object>> slots_;
  std::vector<std::size_t> free_;
};

HandleTable& handles();

// Thread exit: mutexes the thread still owns become abandoned.
void abandon_mutexes_of(pid_t tid);

// Completion of an overlapped request: fills the OVERLAPPED, sets its event
// (or the file), posts the packet. Under wait_mutex.
void complete_overlapped(IoObject& file, LPOVERLAPPED overlapped, NTSTATUS status, ULONG_PTR information, bool signal);

}  // namespace plat::user
