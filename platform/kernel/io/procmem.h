// Reaching the memory of another Linux process by pid: the primitives under
// the caller-memory routines, MDLs and DMA to locked user pages.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace plat::procmem {

// Whole transfers only: false when any byte could not be moved.
bool read(pid_t pid, std::uint64_t address, void* destination, std::size_t length);
bool write(pid_t pid, std::uint64_t address, const void* source, std::size_t length);

enum class Access { Read, Write };
// Whether every page of the range is mapped in the process with that access.
bool accessible(pid_t pid, std::uint64_t address, std::size_t length, Access access);

// The user process the calling thread serves, or 0 in the system process.
pid_t current_pid();

// A process's life, held by a pidfd: tells that process apart from a later
// one that reuses its pid.
class Life {
 public:
  // Null when the process has already gone.
  static std::shared_ptr<Life> watch(pid_t pid);
  ~Life();
  Life(const Life&) = delete;
  Life& operator=(const Life&) = delete;
  pid_t pid() const { return pid_; }
  int pidfd() const { return pidfd_; }
  // Exact: asks the kernel (a system call).
  bool gone() const;
  // Cheap: what a watcher thread has seen, a few microseconds behind the
  // exit. For transfers into pages the host itself maps, where a late
  // transfer reaches no one.
  bool seen_gone() const { return gone_.load(std::memory_order_acquire); }

 private:
  Life(pid_t pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}
  const pid_t pid_;
  const int pidfd_;
  mutable std::atomic<bool> gone_{false};
};

// The host's own mapping of pages of a process's memory that the process
// keeps in a shared memory file sealed against shrinking (the user
// runtime's memory): the same pages, seen by both at once. Unmapped when
// the last holder lets go.
class SharedPages {
 public:
  // Maps [address, address + bytes) (page-aligned) when the whole range lies
  // in one such mapping of the process (writable there when `write`); null
  // otherwise, for any reason: the caller falls back to process_vm.
  static std::shared_ptr<SharedPages> map(const Life& life, std::uint64_t address, std::size_t bytes, bool write);
  ~SharedPages();
  SharedPages(const SharedPages&) = delete;
  SharedPages& operator=(const SharedPages&) = delete;
  std::byte* data() const { return data_; }
  std::size_t size() const { return bytes_; }
  bool writable() const { return writable_; }

 private:
  SharedPages(std::byte* data, std::size_t bytes, bool writable) : data_(data), bytes_(bytes), writable_(writable) {}
  std::byte* const data_;
  const std::size_t bytes_;
  const bool writable_;
};

}  // namespace plat::procmem
