#include "platform/machine/mmio.h"

#include <sys/mman.h>

#include <mutex>

namespace plat {
namespace {
constexpr std::uint64_t kPage = 4096;
}

IoSpace::~IoSpace() {
  for (const Mapping& m : mappings_) munmap(reinterpret_cast<void*>(m.va), m.reserved);
}

bool IoSpace::add_range(std::uint64_t base, std::uint64_t length, MmioHandler* handler) {
  std::unique_lock lock(mu_);
  for (const Range& r : ranges_) {
    if (base < r.base + r.length && r.base < base + length) return false;
  }
  ranges_.push_back({base, length, handler});
  return true;
}

bool IoSpace::remove_range(std::uint64_t base) {
  std::unique_lock lock(mu_);
  for (const Mapping& m : mappings_) {
    if (m.range_base == base) return false;
  }
  std::erase_if(ranges_, [&](const Range& r) { return r.base == base; });
  return true;
}

void* IoSpace::map(std::uint64_t pa, std::uint64_t length) {
  if (length == 0) return nullptr;
  std::unique_lock lock(mu_);
  for (const Range& r : ranges_) {
    if (pa < r.base || pa - r.base >= r.length || length > r.length - (pa - r.base)) continue;
    // Reserve whole pages, keeping the byte offset within the page, so that
    // the driver's arithmetic on the address stays what it would be.
    const std::uint64_t in_page = pa % kPage;
    const std::uint64_t reserved = (in_page + length + kPage - 1) / kPage * kPage;
    void* at = mmap(nullptr, reserved, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (at == MAP_FAILED) return nullptr;
    const auto va = reinterpret_cast<std::uintptr_t>(at) + in_page;
    mappings_.push_back({va, length, reserved, r.handler, pa - r.base, r.base});
    return reinterpret_cast<void*>(va);
  }
  return nullptr;
}

bool IoSpace::unmap(void* va) {
  std::unique_lock lock(mu_);
  for (auto it = mappings_.begin(); it != mappings_.end(); ++it) {
    if (it->va != reinterpret_cast<std::uintptr_t>(va)) continue;
    munmap(reinterpret_cast<void*>(it->va - it->va % kPage), it->reserved);
    mappings_.erase(it);
    return true;
  }
  return false;
}

std::size_t IoSpace::mappings() const {
  std::shared_lock lock(mu_);
  return mappings_.size();
}

std::optional<IoSpace::Target> IoSpace::lookup(const volatile void* va, unsigned size) const {
  const auto address = reinterpret_cast<std::uintptr_t>(va);
  std::shared_lock lock(mu_);
  for (const Mapping& m : mappings_) {
    if (address >= m.va && address - m.va < m.length && size <= m.length - (address - m.va)) {
      return Target{m.handler, m.offset + (address - m.va)};
    }
  }
  return std::nullopt;
}

}  // namespace plat
