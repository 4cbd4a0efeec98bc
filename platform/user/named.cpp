// Named events, semaphores and mutexes: the shared table and the waits on it.
#include "platform/user/named.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

#include "platform/common/procinfo.h"

namespace plat::user {
namespace {

constexpr std::uint32_t kMagic = 0x4A424F5A;  // "ZOBJ"
constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kSlots = 512;
constexpr std::uint32_t kProcesses = 256;
constexpr std::size_t kNameChars = 260;  // MAX_PATH

struct ProcessEntry {
  std::int32_t pid;  // 0: free
  std::uint32_t reserved;
  std::uint64_t start_time;
};

struct SlotEntry {
  std::uint32_t kind;  // NamedKind, 0 when free
  std::uint32_t serial;
  std::uint64_t openers[kProcesses / 64];  // processes holding a handle
  char16_t name[kNameChars + 1];
  // Event
  std::uint32_t manual;
  std::uint32_t state;
  // Semaphore
  std::int32_t count;
  std::int32_t maximum;
  // Mutex
  std::int32_t owner_process;  // -1: not owned
  std::int32_t owner_tid;
  std::uint32_t depth;
  std::uint32_t abandoned;
};

struct Table {
  std::uint32_t magic;
  std::uint32_t version;
  std::uint32_t slots;
  std::uint32_t processes;
  pthread_mutex_t lock;
  std::uint32_t generation;  // futex word: moves with every change
  std::uint32_t next_serial;
  ProcessEntry process[kProcesses];
  SlotEntry slot[kSlots];
};

std::atomic_ref<std::uint32_t> generation_of(Table* table) { return std::atomic_ref<std::uint32_t>(table->generation); }

bool alive(const ProcessEntry& entry) { return entry.pid != 0 && process_start_time(entry.pid) == entry.start_time; }

// The process's view of the table.
struct State {
  Table* table = nullptr;
  int index = -1;  // this process's entry
  std::mutex mu;   // guards `open` (handles per slot of this process)
  std::map<std::uint32_t, int> open;
};

State& state() {
  static auto* s = new State;
  return *s;
}

void wake_all(Table* table) {
  generation_of(table).fetch_add(1, std::memory_order_release);
  ::syscall(SYS_futex, &table->generation, FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0);
}

// This process's waiters look again.
void notify_local() {
  std::lock_guard lock(wait_mutex());
  notify();
}

class TableLock {
 public:
  explicit TableLock(Table* table) : table_(table) {
    if (pthread_mutex_lock(&table_->lock) == EOWNERDEAD) pthread_mutex_consistent(&table_->lock);
  }
  ~TableLock() { pthread_mutex_unlock(&table_->lock); }
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;

 private:
  Table* table_;
};

void init_table(Table* table) {
  std::memset(table, 0, sizeof *table);
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  // Recursive: one wait looks at several objects under one hold.
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&table->lock, &attributes);
  pthread_mutexattr_destroy(&attributes);
  for (auto& slot : table->slot) slot.owner_process = -1;
  table->slots = kSlots;
  table->processes = kProcesses;
  table->version = kVersion;
  std::atomic_ref<std::uint32_t>(table->magic).store(kMagic, std::memory_order_release);
}

// The table of the host ZEK_HOST names, or one for this process alone.
Table* map_table() {
  const char* dir = std::getenv("ZEK_HOST");
  if (dir == nullptr || *dir == '\0') {
    void* memory = mmap(nullptr, sizeof(Table), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return nullptr;
    init_table(static_cast<Table*>(memory));
    return static_cast<Table*>(memory);
  }
  const std::string path = std::string(dir) + "/objects.shm";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  // The first process to come lays the table out; the others wait for it.
  flock(fd, LOCK_EX);
  struct stat info {};
  fstat(fd, &info);
  bool fresh = static_cast<std::size_t>(info.st_size) != sizeof(Table);
  if (fresh && ftruncate(fd, sizeof(Table)) != 0) {
    flock(fd, LOCK_UN);
    ::close(fd);
    return nullptr;
  }
  void* memory = mmap(nullptr, sizeof(Table), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (memory == MAP_FAILED) {
    flock(fd, LOCK_UN);
    ::close(fd);
    return nullptr;
  }
  auto* table = static_cast<Table*>(memory);
  if (fresh || table->magic != kMagic || table->version != kVersion || table->slots != kSlots ||
      table->processes != kProcesses) {
    init_table(table);
  }
  flock(fd, LOCK_UN);
  ::close(fd);
  return table;
}

// What a process that has gone leaves behind: its handles and its mutexes.
// Under the table lock; true when something changed.
bool reap_dead(Table* table) {
  bool changed = false;
  for (std::uint32_t p = 0; p < kProcesses; ++p) {
    ProcessEntry& entry = table->process[p];
    if (entry.pid == 0 || alive(entry)) continue;
    for (auto& slot : table->slot) {
      if (slot.kind == 0) continue;
      slot.openers[p / 64] &= ~(std::uint64_t{1} << (p % 64));
      if (slot.kind == static_cast<std::uint32_t>(NamedKind::Mutex) && slot.owner_process == static_cast<int>(p)) {
        slot.owner_process = -1;
        slot.owner_tid = 0;
        slot.depth = 0;
        slot.abandoned = 1;
      }
      bool open = false;
      for (auto bits : slot.openers) open = open || bits != 0;
      if (!open) slot.kind = 0;
    }
    entry = ProcessEntry{};
    changed = true;
  }
  return changed;
}

// Wakes this process's waiters whenever another process changes the table,
// and now and then looks for processes that died holding mutexes.
void watch(Table* table) {
  for (;;) {
    const std::uint32_t seen = generation_of(table).load(std::memory_order_acquire);
    notify_local();
    timespec timeout{0, 500'000'000};
    const long r = ::syscall(SYS_futex, &table->generation, FUTEX_WAIT, seen, &timeout, nullptr, 0);
    if (r != 0 && errno == ETIMEDOUT) {
      bool changed;
      {
        TableLock lock(table);
        changed = reap_dead(table);
      }
      if (changed) wake_all(table);
    }
  }
}

// The table with this process registered in it; null when it cannot be had.
Table* attach(DWORD* error) {
  State& s = state();
  static std::once_flag once;
  std::call_once(once, [&] {
    Table* table = map_table();
    if (table == nullptr) return;
    {
      TableLock lock(table);
      reap_dead(table);
      const pid_t pid = getpid();
      for (std::uint32_t p = 0; p < kProcesses; ++p) {
        if (table->process[p].pid == 0) {
          table->process[p] = ProcessEntry{pid, 0, process_start_time(pid)};
          s.index = static_cast<int>(p);
          break;
        }
      }
    }
    if (s.index < 0) return;
    s.table = table;
    std::thread([table] { watch(table); }).detach();
  });
  if (s.table == nullptr) *error = ERROR_NO_SYSTEM_RESOURCES;
  return s.table;
}

bool self_is(const SlotEntry& slot, pid_t tid) { return slot.owner_process == state().index && slot.owner_tid == tid; }

SlotEntry* slot_of(const NamedObject& object) {
  Table* table = state().table;
  SlotEntry& slot = table->slot[object.slot];
  return slot.kind == static_cast<std::uint32_t>(object.kind) && slot.serial == object.serial ? &slot : nullptr;
}

bool signaled_locked(const SlotEntry& slot, NamedKind kind, pid_t tid) {
  switch (kind) {
    case NamedKind::Event:
      return slot.state != 0;
    case NamedKind::Semaphore:
      return slot.count > 0;
    case NamedKind::Mutex:
      return slot.owner_process < 0 || self_is(slot, tid);
  }
  return false;
}

bool take_locked(SlotEntry& slot, NamedKind kind, pid_t tid) {
  switch (kind) {
    case NamedKind::Event:
      if (slot.manual == 0) slot.state = 0;
      return false;
    case NamedKind::Semaphore:
      --slot.count;
      return false;
    case NamedKind::Mutex: {
      slot.owner_process = state().index;
      slot.owner_tid = tid;
      ++slot.depth;
      const bool was = slot.abandoned != 0;
      slot.abandoned = 0;
      return was;
    }
  }
  return false;
}

void changed(Table* table) {
  wake_all(table);
  notify_local();
}

}  // namespace

bool named_normalise(std::u16string* name, DWORD* error) {
  for (std::u16string_view prefix : {std::u16string_view(u"Global\\"), std::u16string_view(u"Local\\")}) {
    if (name->starts_with(prefix)) {
      name->erase(0, prefix.size());
      break;
    }
  }
  if (name->size() > kNameChars) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  if (name->find(u'\\') != std::u16string::npos || name->find(u'\0') != std::u16string::npos) {
    *error = ERROR_PATH_NOT_FOUND;  // no such directory of objects
    return false;
  }
  return true;
}

HANDLE named_create(NamedKind kind, const std::u16string& name, const NamedParams& params, bool create, DWORD* error) {
  Table* table = attach(error);
  if (table == nullptr) return nullptr;
  const int me = state().index;
  std::uint32_t index = kSlots;
  std::uint32_t serial = 0;
  bool existed = false;
  bool reaped = false;
  {
    TableLock lock(table);
    // What processes that have gone held is let go first: their names are free again.
    reaped = reap_dead(table);
    std::uint32_t free = kSlots;
    for (std::uint32_t i = 0; i < kSlots; ++i) {
      SlotEntry& slot = table->slot[i];
      if (slot.kind == 0) {
        if (free == kSlots) free = i;
        continue;
      }
      if (name == slot.name) {
        index = i;
        break;
      }
    }
    if (index != kSlots) {
      SlotEntry& slot = table->slot[index];
      if (slot.kind != static_cast<std::uint32_t>(kind)) {
        *error = ERROR_INVALID_HANDLE;  // the name belongs to an object of another kind
        return nullptr;
      }
      existed = true;
    } else {
      if (!create) {
        *error = ERROR_FILE_NOT_FOUND;
        return nullptr;
      }
      if (free == kSlots) {
        *error = ERROR_NO_SYSTEM_RESOURCES;
        return nullptr;
      }
      index = free;
      SlotEntry& slot = table->slot[index];
      slot = SlotEntry{};
      slot.kind = static_cast<std::uint32_t>(kind);
      slot.serial = ++table->next_serial;
      std::memcpy(slot.name, name.data(), name.size() * sizeof(char16_t));
      slot.name[name.size()] = u'\0';
      slot.owner_process = -1;
      slot.manual = params.manual ? 1 : 0;
      slot.state = params.initial_state ? 1 : 0;
      slot.count = params.initial_count;
      slot.maximum = params.maximum_count;
      if (kind == NamedKind::Mutex && params.initial_owner) take_locked(slot, kind, current_tid());
    }
    SlotEntry& slot = table->slot[index];
    slot.openers[me / 64] |= std::uint64_t{1} << (me % 64);
    serial = slot.serial;
    std::lock_guard count_lock(state().mu);
    ++state().open[index];
  }
  if (reaped) wake_all(table);
  *error = existed && create ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
  return handles().insert(std::make_shared<NamedObject>(kind, index, serial));
}

NamedObject::~NamedObject() {
  State& s = state();
  Table* table = s.table;
  TableLock lock(table);
  std::lock_guard count_lock(s.mu);
  if (--s.open[slot] > 0) return;
  s.open.erase(slot);
  SlotEntry* entry = slot_of(*this);
  if (entry == nullptr) return;
  entry->openers[s.index / 64] &= ~(std::uint64_t{1} << (s.index % 64));
  bool open = false;
  for (auto bits : entry->openers) open = open || bits != 0;
  if (!open) entry->kind = 0;
}

bool NamedObject::signaled(pid_t tid) const {
  TableLock lock(state().table);
  const SlotEntry* entry = slot_of(*this);
  return entry != nullptr && signaled_locked(*entry, kind, tid);
}

bool NamedObject::take(pid_t tid) {
  TableLock lock(state().table);
  SlotEntry* entry = slot_of(*this);
  return entry != nullptr && take_locked(*entry, kind, tid);
}

bool NamedObject::acquire(pid_t tid, bool* abandoned) {
  Table* table = state().table;
  TableLock lock(table);
  SlotEntry* entry = slot_of(*this);
  if (entry == nullptr || !signaled_locked(*entry, kind, tid)) return false;
  *abandoned = take_locked(*entry, kind, tid);
  return true;
}

DWORD named_set_event(NamedObject& object, bool state_value) {
  Table* table = state().table;
  {
    TableLock lock(table);
    SlotEntry* entry = slot_of(object);
    if (entry == nullptr || object.kind != NamedKind::Event) return ERROR_INVALID_HANDLE;
    entry->state = state_value ? 1 : 0;
  }
  if (state_value) changed(table);
  return ERROR_SUCCESS;
}

DWORD named_release_semaphore(NamedObject& object, LONG count, LONG* previous) {
  Table* table = state().table;
  {
    TableLock lock(table);
    SlotEntry* entry = slot_of(object);
    if (entry == nullptr || object.kind != NamedKind::Semaphore) return ERROR_INVALID_HANDLE;
    if (count <= 0) return ERROR_INVALID_PARAMETER;
    if (entry->count > entry->maximum - count) return ERROR_TOO_MANY_POSTS;
    if (previous != nullptr) *previous = entry->count;
    entry->count += count;
  }
  changed(table);
  return ERROR_SUCCESS;
}

DWORD named_release_mutex(NamedObject& object) {
  Table* table = state().table;
  bool released = false;
  {
    TableLock lock(table);
    SlotEntry* entry = slot_of(object);
    if (entry == nullptr || object.kind != NamedKind::Mutex) return ERROR_INVALID_HANDLE;
    if (!self_is(*entry, current_tid())) return ERROR_NOT_OWNER;
    if (--entry->depth == 0) {
      entry->owner_process = -1;
      entry->owner_tid = 0;
      released = true;
    }
  }
  if (released) changed(table);
  return ERROR_SUCCESS;
}

void named_abandon_thread(pid_t tid) {
  Table* table = state().table;
  if (table == nullptr) return;
  bool any = false;
  {
    TableLock lock(table);
    for (auto& slot : table->slot) {
      if (slot.kind == static_cast<std::uint32_t>(NamedKind::Mutex) && self_is(slot, tid)) {
        slot.owner_process = -1;
        slot.owner_tid = 0;
        slot.depth = 0;
        slot.abandoned = 1;
        any = true;
      }
    }
  }
  if (any) wake_all(table);
}

NamedRound::NamedRound(bool any_named) : held_(any_named && state().table != nullptr) {
  if (held_ && pthread_mutex_lock(&state().table->lock) == EOWNERDEAD) pthread_mutex_consistent(&state().table->lock);
}

NamedRound::~NamedRound() {
  if (held_) pthread_mutex_unlock(&state().table->lock);
}

}  // namespace plat::user
