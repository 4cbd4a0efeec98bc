#include "sim/iwarp/stag_table.h"

#include <algorithm>

namespace zeksim {

bool StagTable::allocate(std::uint32_t index, std::uint32_t pd, bool window, std::uint32_t max_pages) {
  if (entries_.contains(index)) return false;
  MemoryEntry e;
  e.window = window;
  e.pd = pd;
  e.max_pages = max_pages;
  entries_.emplace(index, std::move(e));
  return true;
}

bool StagTable::register_region(std::uint32_t index, MemoryEntry entry) {
  entry.window = false;
  entry.valid = true;
  auto it = entries_.find(index);
  if (it == entries_.end()) {
    entries_.emplace(index, std::move(entry));
    return true;
  }
  if (it->second.window || it->second.bound_windows != 0) return false;
  entry.max_pages = it->second.max_pages;
  it->second = std::move(entry);
  return true;
}

bool StagTable::deallocate(std::uint32_t index) {
  auto it = entries_.find(index);
  if (it == entries_.end()) return false;
  if (!it->second.window && it->second.bound_windows != 0) return false;
  if (it->second.window && it->second.valid) {
    if (MemoryEntry* region = find(it->second.region_index)) region->bound_windows -= region->bound_windows > 0;
  }
  entries_.erase(it);
  return true;
}

MemoryEntry* StagTable::find(std::uint32_t index) {
  auto it = entries_.find(index);
  return it == entries_.end() ? nullptr : &it->second;
}

StagError StagTable::resolve(std::uint32_t stag, std::uint64_t to, std::uint64_t length, const MemoryEntry** region,
                             std::uint64_t* offset) {
  const MemoryEntry* e = find(zekhw::stag_index(stag));
  if (e == nullptr || !e->valid || e->key != zekhw::stag_key(stag)) return StagError::Invalid;
  const std::uint64_t base = e->zero_based ? 0 : e->va;
  if (to < base || to - base > e->length || length > e->length - (to - base)) return StagError::Bounds;
  std::uint64_t off = to - base;
  if (e->window) {
    const MemoryEntry* r = find(e->region_index);
    if (r == nullptr || !r->valid) return StagError::Invalid;
    off += e->region_offset;
    if (off > r->length || length > r->length - off) return StagError::Bounds;
    e = r;
  }
  *region = e;
  *offset = off;
  return StagError::None;
}

StagError StagTable::check(std::uint32_t stag, std::uint32_t pd, std::uint32_t access, std::uint64_t to,
                           std::uint64_t length) {
  const MemoryEntry* e = find(zekhw::stag_index(stag));
  if (e == nullptr || !e->valid || e->key != zekhw::stag_key(stag)) return StagError::Invalid;
  if (e->pd != pd) return StagError::PdMismatch;
  if ((e->access & access) != access) return StagError::Access;
  const MemoryEntry* region = nullptr;
  std::uint64_t offset = 0;
  return resolve(stag, to, length, &region, &offset);
}

void StagTable::for_each_run(std::uint32_t stag, std::uint64_t to, std::uint64_t length,
                             const std::function<void(std::uint64_t, std::uint64_t)>& run) {
  const MemoryEntry* r = nullptr;
  std::uint64_t off = 0;
  if (resolve(stag, to, length, &r, &off) != StagError::None) return;
  std::uint64_t b = r->fbo + off;
  while (length > 0) {
    const std::uint64_t page = b / r->page_bytes;
    const std::uint64_t in_page = b % r->page_bytes;
    if (page >= r->pages.size()) return;  // registration guarantees the list covers the length
    const std::uint64_t n = std::min(length, r->page_bytes - in_page);
    run(r->pages[page] + in_page, n);
    b += n;
    length -= n;
  }
}

StagError StagTable::bind(std::uint32_t window_stag, std::uint32_t region_stag, std::uint32_t pd, std::uint64_t va,
                          std::uint64_t length, std::uint32_t access) {
  MemoryEntry* w = find(zekhw::stag_index(window_stag));
  if (w == nullptr || !w->window) return StagError::Invalid;
  if (w->pd != pd) return StagError::PdMismatch;
  MemoryEntry* r = find(zekhw::stag_index(region_stag));
  if (r == nullptr || r->window || !r->valid || r->key != zekhw::stag_key(region_stag)) return StagError::Invalid;
  if (r->pd != pd) return StagError::PdMismatch;
  // A window may not give remote rights the region does not have locally.
  if ((access & zekhw::kAccessRemoteRead) != 0 && (r->access & zekhw::kAccessLocalRead) == 0) return StagError::Access;
  if ((access & zekhw::kAccessRemoteWrite) != 0 && (r->access & zekhw::kAccessLocalWrite) == 0)
    return StagError::Access;
  const std::uint64_t base = r->zero_based ? 0 : r->va;
  if (va < base || va - base > r->length || length > r->length - (va - base)) return StagError::Bounds;
  if (w->valid) {
    if (MemoryEntry* old = find(w->region_index)) old->bound_windows -= old->bound_windows > 0;
  }
  w->valid = true;
  w->key = zekhw::stag_key(window_stag);
  w->access = access & zekhw::kAccessMask;
  w->zero_based = false;
  w->va = va;
  w->length = length;
  w->region_index = zekhw::stag_index(region_stag);
  w->region_offset = va - base;
  ++r->bound_windows;
  return StagError::None;
}

StagError StagTable::invalidate(std::uint32_t stag, std::uint32_t pd) {
  MemoryEntry* e = find(zekhw::stag_index(stag));
  if (e == nullptr || !e->valid || e->key != zekhw::stag_key(stag)) return StagError::Invalid;
  if (e->pd != pd) return StagError::PdMismatch;
  // A region with windows bound into it cannot be invalidated.
  if (!e->window && e->bound_windows != 0) return StagError::Access;
  if (e->window) {
    if (MemoryEntry* r = find(e->region_index)) r->bound_windows -= r->bound_windows > 0;
  }
  e->valid = false;
  return StagError::None;
}

}  // namespace zeksim
