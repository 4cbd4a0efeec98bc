// Named events, semaphores and mutexes, shared by the processes of one host.
//
// Their state lives in a table in shared memory, the file "objects.shm" of
// the host directory (an in-process table when there is no host). A
// process-shared robust mutex guards the table; a futex word in it counts
// changes, and one thread per process that uses named objects wakes the
// process's waiters when it moves. Private to the runtime's files.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/user/runtime.h"

namespace plat::user {

enum class NamedKind : std::uint32_t { Event = 1, Semaphore = 2, Mutex = 3 };

// A handle's view of one named object. Closing the last handle of every
// process removes the object, as on Windows.
struct NamedObject final : Waitable {
  NamedObject(NamedKind kind, std::uint32_t slot, std::uint32_t serial) : kind(kind), slot(slot), serial(serial) {}
  ~NamedObject() override;
  bool named() const override { return true; }
  bool signaled(pid_t tid) const override;
  bool take(pid_t tid) override;
  bool acquire(pid_t tid, bool* abandoned) override;

  const NamedKind kind;
  const std::uint32_t slot;
  const std::uint32_t serial;
};

struct NamedParams {
  bool manual = false, initial_state = false;  // events
  LONG initial_count = 0, maximum_count = 0;   // semaphores
  bool initial_owner = false;                  // mutexes
};

// Create (or, with create false, open) the object called `name`. Null with
// the Win32 error in *error otherwise; *error is ERROR_ALREADY_EXISTS when
// Create found the object there already (the handle is valid then).
HANDLE named_create(NamedKind kind, const std::u16string& name, const NamedParams& params, bool create, DWORD* error);

// The state changes; each returns a Win32 error (ERROR_SUCCESS).
DWORD named_set_event(NamedObject& object, bool state);
DWORD named_release_semaphore(NamedObject& object, LONG count, LONG* previous);
DWORD named_release_mutex(NamedObject& object);

// The named mutexes that thread `tid` of this process owns become abandoned.
void named_abandon_thread(pid_t tid);

// Holds the table's lock for one look at a set of objects (a wait that
// checks several objects sees and takes them in one step). Does nothing
// when no named object is in the set.
class NamedRound {
 public:
  explicit NamedRound(bool any_named);
  ~NamedRound();
  NamedRound(const NamedRound&) = delete;
  NamedRound& operator=(const NamedRound&) = delete;

 private:
  bool held_;
};

// A name as Windows takes it: UTF-16, the prefix "Global\" or "Local\"
// removed. False, with the error, for a name too long or with a backslash.
bool named_normalise(std::u16string* name, DWORD* error);

}  // namespace plat::user
