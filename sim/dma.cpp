#include "sim/dma.h"

#include <atomic>
#include <cstring>

namespace zeksim {

namespace {

template <typename T>
T* aligned_ram(plat::PhysicalMemory& memory, std::uint64_t pa) {
  if (pa % alignof(T) != 0) return nullptr;
  auto span = memory.ram_span(pa, sizeof(T));
  return span.empty() ? nullptr : reinterpret_cast<T*>(span.data());
}

}  // namespace

void DmaPort::fault(std::uint64_t pa, std::size_t bytes, const char* direction, const char* what) {
  ++faults_.dma_faults;
  log_("DMA %s of %zu bytes at 0x%llx refused (%s)", direction, bytes, static_cast<unsigned long long>(pa), what);
}

bool DmaPort::read(std::uint64_t pa, std::span<std::byte> out, const char* what) {
  if (pa + out.size() < pa || !memory_.dma_read(pa, out.data(), out.size())) {
    fault(pa, out.size(), "read", what);
    return false;
  }
  return true;
}

bool DmaPort::write(std::uint64_t pa, std::span<const std::byte> in, const char* what) {
  if (pa + in.size() < pa || !memory_.dma_write(pa, in.data(), in.size())) {
    fault(pa, in.size(), "write", what);
    return false;
  }
  return true;
}

bool DmaPort::write_entry(std::uint64_t pa, std::span<const std::byte> entry, const char* what) {
  if (entry.size() < 4 || entry.size() % 4 != 0) return write(pa, entry, what);
  std::uint64_t last = pa + entry.size() - 4;
  auto* word = aligned_ram<std::uint32_t>(memory_, last);
  if (word == nullptr || !reachable(pa, entry.size())) return write(pa, entry, what);
  if (!write(pa, entry.first(entry.size() - 4), what)) return false;
  std::uint32_t value;
  std::memcpy(&value, entry.data() + entry.size() - 4, 4);
  std::atomic_ref<std::uint32_t>(*word).store(value, std::memory_order_release);
  return true;
}

bool DmaPort::write_u64(std::uint64_t pa, std::uint64_t value, const char* what) {
  if (auto* word = aligned_ram<std::uint64_t>(memory_, pa)) {
    std::atomic_ref<std::uint64_t>(*word).store(value, std::memory_order_release);
    return true;
  }
  return write(pa, std::as_bytes(std::span(&value, 1)), what);
}

std::optional<std::uint32_t> DmaPort::read_u32(std::uint64_t pa, const char* what) {
  if (auto* word = aligned_ram<std::uint32_t>(memory_, pa)) {
    return std::atomic_ref<std::uint32_t>(*word).load(std::memory_order_acquire);
  }
  std::uint32_t value;
  if (!read_object(pa, value, what)) return std::nullopt;
  return value;
}

std::optional<std::uint64_t> DmaPort::read_u64(std::uint64_t pa, const char* what) {
  if (auto* word = aligned_ram<std::uint64_t>(memory_, pa)) {
    return std::atomic_ref<std::uint64_t>(*word).load(std::memory_order_acquire);
  }
  std::uint64_t value;
  if (!read_object(pa, value, what)) return std::nullopt;
  return value;
}

bool DmaPort::reachable(std::uint64_t pa, std::uint64_t bytes) const {
  if (pa == 0 || bytes == 0 || pa + bytes < pa) return false;
  return !memory_.ram_span(pa, bytes).empty();
}

}  // namespace zeksim
