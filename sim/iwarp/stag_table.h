// The adapter's STag table: memory regions and memory windows by STag
// (index << 8 | key), each with its protection domain, access rights,
// address range and page list (copied into the adapter when registered).
// Every local scatter/gather element and every remote access is checked
// here before any byte moves: the STag must name a valid entry with the
// same key, the PD must be the queue pair's, the rights must allow the
// access and the range must lie inside the entry. A window translates
// through the region it is bound to.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "include/hw/stag.h"

namespace zeksim {

enum class StagError {
  None,
  Invalid,     // no such index, the key differs, or the entry is not valid
  PdMismatch,  // the entry belongs to another protection domain
  Access,      // the rights do not allow the access
  Bounds,      // the range leaves the entry (or wraps)
};

struct MemoryEntry {
  bool window = false;
  bool valid = false;
  std::uint32_t pd = 0;
  std::uint8_t key = 0;
  std::uint32_t access = 0;  // zekhw::kAccess* bits
  bool zero_based = false;
  std::uint64_t va = 0;  // first virtual address (not zero-based), or 0
  std::uint64_t length = 0;
  std::uint32_t max_pages = 0;  // page-list room of an entry allocated for fast registration
  // Translation (regions): byte b of the region lies at pages[(fbo + b) / page_bytes] + (fbo + b) % page_bytes.
  std::vector<std::uint64_t> pages;
  std::uint64_t page_bytes = 4096;
  std::uint64_t fbo = 0;  // offset of the first byte in the first page
  // Windows: the region they are bound to and the offset of their first byte in it.
  std::uint32_t region_index = 0;
  std::uint64_t region_offset = 0;
  std::uint32_t bound_windows = 0;  // regions: windows bound into them
  bool shared = false;              // a region registered as a share of another
};

class StagTable {
 public:
  // Allocation (invalid entries waiting for registration, or windows).
  bool allocate(std::uint32_t index, std::uint32_t pd, bool window, std::uint32_t max_pages);
  // Registers (or fast-registers) a region at an index; the entry is valid afterwards.
  bool register_region(std::uint32_t index, MemoryEntry entry);
  bool deallocate(std::uint32_t index);  // false: none, or windows still bound
  MemoryEntry* find(std::uint32_t index);

  // Checks an access of [to, to + length) through `stag` by the queue pair of `pd`.
  // Remote accesses give `to` as a tagged offset (a virtual address, or an offset
  // for zero-based entries); local SGEs give the element's address.
  StagError check(std::uint32_t stag, std::uint32_t pd, std::uint32_t access, std::uint64_t to, std::uint64_t length);
  // Calls `run(pa, bytes)` for the physical runs of a range that check() passed.
  void for_each_run(std::uint32_t stag, std::uint64_t to, std::uint64_t length,
                    const std::function<void(std::uint64_t pa, std::uint64_t bytes)>& run);

  // Window bind: binds window `window_stag` (key included: the new key) to
  // [va, va + length) of the region `region_stag` with `access`. The caller
  // has checked the QP's PD against both.
  StagError bind(std::uint32_t window_stag, std::uint32_t region_stag, std::uint32_t pd, std::uint64_t va,
                 std::uint64_t length, std::uint32_t access);
  // Local or remote invalidation (makes the entry invalid; a window is unbound).
  StagError invalidate(std::uint32_t stag, std::uint32_t pd);

  std::size_t size() const { return entries_.size(); }

 private:
  StagError resolve(std::uint32_t stag, std::uint64_t to, std::uint64_t length, const MemoryEntry** region,
                    std::uint64_t* offset);

  std::map<std::uint32_t, MemoryEntry> entries_;
};

}  // namespace zeksim
