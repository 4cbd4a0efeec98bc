// Register pages mapped into user processes: each mapping has a
// posted-write ring (platform/common/postring.h) in host physical memory
// and a wake-up eventfd. A device that drains rings itself (the simulated
// adapter, on its engine thread) is offered each ring of its pages and
// applies the writes with no host thread in between; the others' rings are
// served by one host thread, which applies their writes, in each ring's
// order, through the register accessors.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/kernel/rtl.h"
#include "platform/machine/mmio.h"
#include "platform/machine/physmem.h"

namespace plat {

class RegisterRings {
 public:
  explicit RegisterRings(PhysicalMemory& memory);
  ~RegisterRings();
  RegisterRings(const RegisterRings&) = delete;
  RegisterRings& operator=(const RegisterRings&) = delete;

  struct Created {
    std::uint64_t id;
    void* page;            // the ring, in kernel memory
    int segment_fd;        // the ring page's sealed segment (the host's descriptor)
    std::uint64_t offset;  // of the ring in the segment
    std::uint64_t bytes;
    int wake_fd;  // the host's descriptor; the process gets its own copy
  };
  // pages: kernel addresses (MmMapIoSpace) of the mapped register pages, in order.
  std::optional<Created> create(std::vector<PUCHAR> pages);
  // Applies what the ring still holds, then releases it.
  void remove(std::uint64_t id);
  std::size_t rings() const;
  // Of those, the rings a device drains itself.
  std::size_t adopted_rings() const;
  std::uint64_t writes_applied() const { return applied_.load(); }
  std::uint64_t writes_refused() const { return refused_.load(); }

 private:
  struct Ring;
  void run();

  PhysicalMemory& memory_;
  int epoll_fd_ = -1;
  int stop_fd_ = -1;
  mutable std::mutex mu_;
  std::map<std::uint64_t, std::unique_ptr<Ring>> rings_;
  std::uint64_t next_id_ = 0;
  std::atomic<std::uint64_t> applied_{0};
  std::atomic<std::uint64_t> refused_{0};
  std::thread thread_;
};

}  // namespace plat
