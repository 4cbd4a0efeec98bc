// Mappings made by the host's upcalls, and the user register accessor.
#include "platform/user/usermaps.h"

#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <shared_mutex>

#include "platform/common/postring.h"
#include "platform/user/regaccess.h"

namespace plat::user {
namespace {

constexpr std::size_t kPage = 4096;

struct Mapping {
  std::size_t pages;
  // Register mappings only.
  postring::Header* ring = nullptr;
  std::size_t ring_bytes = 0;
  int wake_fd = -1;
  pid_t host_pid = 0;
};

std::shared_mutex& maps_mu() {
  static auto* mu = new std::shared_mutex;
  return *mu;
}

std::map<std::uint64_t, Mapping>& maps() {
  static auto* table = new std::map<std::uint64_t, Mapping>;
  return *table;
}

void* reserve(std::size_t pages) {
  void* va = mmap(nullptr, pages * kPage, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return va == MAP_FAILED ? nullptr : va;
}

[[noreturn]] void bad_register_write(const volatile void* address) {
  std::fprintf(stderr, "user register write to %p: not a mapped register page\n", const_cast<void*>(address));
  std::abort();
}

void post(const volatile void* address, std::uint64_t value, std::uint32_t size) {
  const auto where = reinterpret_cast<std::uint64_t>(address);
  std::shared_lock lock(maps_mu());
  auto it = maps().upper_bound(where);
  if (it == maps().begin()) bad_register_write(address);
  --it;
  Mapping& mapping = it->second;
  if (mapping.ring == nullptr || where >= it->first + mapping.pages * kPage) bad_register_write(address);
  postring::Header* header = mapping.ring;
  postring::Slot* slots = postring::slots_of(header);
  const std::uint32_t capacity = postring::slot_capacity(mapping.ring_bytes);
  // Everything this thread stored before (ring entries) is released with the slot.
  const std::uint64_t n = postring::atomic(header->reserved).fetch_add(1, std::memory_order_acq_rel);
  for (unsigned spins = 1; n - postring::atomic(header->consumed).load(std::memory_order_acquire) >= capacity;
       ++spins) {
    std::uint64_t one = 1;
    (void)!::write(mapping.wake_fd, &one, sizeof one);
    sched_yield();
    // A host that has gone drains nothing: the write is lost with the device.
    if (spins % 4096 == 0 && kill(mapping.host_pid, 0) != 0 && errno == ESRCH) return;
  }
  postring::Slot& slot = slots[n % capacity];
  slot.offset = where - it->first;
  slot.value = value;
  slot.size = size;
  postring::atomic(slot.sequence).store(n + 1, std::memory_order_release);
  // A host that is awake sees the slot without being woken.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (postring::atomic(header->sleeping).load(std::memory_order_relaxed) == 0) return;
  std::uint64_t one = 1;
  (void)!::write(mapping.wake_fd, &one, sizeof one);
}

}  // namespace

std::uint64_t map_memory(int segment_fd, std::size_t pages) {
  struct stat st {};
  void* base = MAP_FAILED;
  if (pages != 0 && fstat(segment_fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) == pages * kPage) {
    base = mmap(nullptr, pages * kPage, PROT_READ | PROT_WRITE, MAP_SHARED, segment_fd, 0);
  }
  close(segment_fd);
  if (base == MAP_FAILED) return 0;
  std::unique_lock lock(maps_mu());
  maps()[reinterpret_cast<std::uint64_t>(base)] = Mapping{pages};
  return reinterpret_cast<std::uint64_t>(base);
}

std::uint64_t map_registers(int ring_fd, std::size_t pages, std::uint64_t ring_offset, std::uint64_t ring_bytes,
                            int wake_fd, pid_t host_pid) {
  if (pages == 0 || ring_bytes < sizeof(postring::Header) + sizeof(postring::Slot)) {
    close(ring_fd);
    close(wake_fd);
    return 0;
  }
  void* ring = mmap(nullptr, ring_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, ring_fd, static_cast<off_t>(ring_offset));
  close(ring_fd);
  void* base = reserve(pages);
  if (ring == MAP_FAILED || base == nullptr) {
    if (ring != MAP_FAILED) munmap(ring, ring_bytes);
    if (base != nullptr) munmap(base, pages * kPage);
    close(wake_fd);
    return 0;
  }
  std::unique_lock lock(maps_mu());
  maps()[reinterpret_cast<std::uint64_t>(base)] =
      Mapping{pages, static_cast<postring::Header*>(ring), static_cast<std::size_t>(ring_bytes), wake_fd, host_pid};
  return reinterpret_cast<std::uint64_t>(base);
}

bool unmap(std::uint64_t address, std::size_t pages) {
  std::unique_lock lock(maps_mu());
  auto it = maps().find(address);
  if (it == maps().end() || it->second.pages != pages) return false;
  Mapping mapping = it->second;
  maps().erase(it);
  munmap(reinterpret_cast<void*>(address), pages * kPage);
  if (mapping.ring != nullptr) {
    munmap(mapping.ring, mapping.ring_bytes);
    close(mapping.wake_fd);
  }
  return true;
}

}  // namespace plat::user

void WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value) { plat::user::post(Register, Value, 1); }
void WRITE_REGISTER_USHORT(volatile USHORT* Register, USHORT Value) { plat::user::post(Register, Value, 2); }
void WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value) { plat::user::post(Register, Value, 4); }
void WRITE_REGISTER_ULONG64(volatile ULONG64* Register, ULONG64 Value) { plat::user::post(Register, Value, 8); }
