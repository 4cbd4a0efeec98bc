// Device register windows. A device (the simulated adapter) claims ranges of
// physical address space with a handler; drivers map them with MmMapIoSpace
// and reach them only through the register accessors, which call the
// handler synchronously on the caller's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <shared_mutex>
#include <vector>

namespace plat {

// The posted-write ring of register pages mapped into a user process, as a
// device that drains it on its own thread sees it (the I/O manager's rings
// implement it). The process appends writes and wakes the device through
// wake_fd() only while the device said it sleeps, so a device that is awake
// takes the writes without a system call on either side.
class PostedWrites {
 public:
  virtual ~PostedWrites() = default;
  // Readable when the process woke the device; the device reads it empty.
  virtual int wake_fd() const = 0;
  // Applies the writes published so far, in order, through the register
  // accessors; how many were taken.
  virtual std::size_t drain() = 0;
  // Whether a published write waits.
  virtual bool pending() const = 0;
  // true before the device sleeps (it checks pending() again after), false
  // once it is awake: writers wake it only in between.
  virtual void set_sleeping(bool sleeping) = 0;
};

class MmioHandler {
 public:
  virtual ~MmioHandler() = default;
  // size is 1, 2, 4 or 8 bytes; offset is from the start of the claimed range.
  virtual std::uint64_t mmio_read(std::uint64_t offset, unsigned size) = 0;
  virtual void mmio_write(std::uint64_t offset, std::uint64_t value, unsigned size) = 0;
  // A ring of posted writes to pages of this range: true when the device
  // drains it itself from now on, until release(), which returns only once
  // the device no longer touches it. The default leaves rings to the host's
  // ring thread.
  virtual bool adopt(PostedWrites* ring) { return false; }
  virtual void release(PostedWrites* ring) {}
};

class IoSpace {
 public:
  struct Target {
    MmioHandler* handler;
    std::uint64_t offset;
  };

  IoSpace() = default;
  ~IoSpace();
  IoSpace(const IoSpace&) = delete;
  IoSpace& operator=(const IoSpace&) = delete;

  // Claims [base, base + length). Overlapping an existing range is refused.
  bool add_range(std::uint64_t base, std::uint64_t length, MmioHandler* handler);
  // Releases a range; false while a mapping of it exists.
  bool remove_range(std::uint64_t base);

  // Maps [pa, pa + length) of one claimed range at an inaccessible address.
  void* map(std::uint64_t pa, std::uint64_t length);
  bool unmap(void* va);
  std::size_t mappings() const;

  // The handler and offset behind a mapped address, for an access of `size` bytes.
  std::optional<Target> lookup(const volatile void* va, unsigned size) const;

 private:
  struct Range {
    std::uint64_t base, length;
    MmioHandler* handler;
  };
  struct Mapping {
    std::uintptr_t va;
    std::uint64_t length, reserved;
    MmioHandler* handler;
    std::uint64_t offset;  // of va within the range
    std::uint64_t range_base;
  };

  mutable std::shared_mutex mu_;
  std::vector<Range> ranges_;
  std::vector<Mapping> mappings_;
};

}  // namespace plat
