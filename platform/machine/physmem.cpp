#include "platform/machine/physmem.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace plat {
namespace {

constexpr std::size_t kPage = PhysicalMemory::kPageSize;

[[noreturn]] void fail(const char* what) {
  throw std::runtime_error(std::string("physical memory: ") + what + ": " + std::strerror(errno));
}

}  // namespace

PhysicalMemory::PhysicalMemory(Options options)
    : bytes_((options.bytes + kPage - 1) / kPage * kPage),
      frames_(bytes_ / kPage),
      scattered_(options.scattered),
      frame_used_(frames_, 0),
      vpage_frame_(new std::atomic<std::uint32_t>[2 * frames_]()),
      frame_vpage_(new std::atomic<std::uint32_t>[frames_]()) {
  fd_ = memfd_create("zek-physical-memory", MFD_CLOEXEC);
  if (fd_ < 0) fail("memfd_create");
  if (ftruncate(fd_, static_cast<off_t>(bytes_)) != 0) fail("ftruncate");
  void* ram = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (ram == MAP_FAILED) fail("mmap of RAM");
  ram_ = static_cast<std::byte*>(ram);
  // The kernel window has twice as many pages as RAM: room for guard pages.
  window_pages_ = 2 * frames_;
  vpage_used_.assign(window_pages_, 0);
  void* window = mmap(nullptr, window_pages_ * kPage, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (window == MAP_FAILED) fail("mmap of the kernel window");
  window_ = static_cast<std::byte*>(window);
  frame_cursor_ = scattered_ ? frames_ / 2 : 0;
}

PhysicalMemory::~PhysicalMemory() {
  if (window_ != nullptr) munmap(window_, window_pages_ * kPage);
  if (ram_ != nullptr) munmap(ram_, bytes_);
  if (fd_ >= 0) close(fd_);
}

std::int64_t PhysicalMemory::reserve_vpages(std::size_t count) {
  for (std::size_t tried = 0; tried < window_pages_;) {
    std::size_t start = vpage_cursor_ % window_pages_;
    if (start + count > window_pages_) {
      tried += window_pages_ - start;
      vpage_cursor_ = 0;
      continue;
    }
    std::size_t run = 0;
    while (run < count && vpage_used_[start + run] == 0) ++run;
    if (run == count) {
      for (std::size_t i = 0; i < count; ++i) vpage_used_[start + i] = 1;
      vpage_cursor_ = start + count;
      return static_cast<std::int64_t>(start);
    }
    vpage_cursor_ = start + run + 1;
    tried += run + 1;
  }
  return -1;
}

bool PhysicalMemory::find_contiguous(std::size_t pages, std::uint64_t highest, std::uint64_t boundary,
                                     std::vector<std::uint32_t>& out) {
  std::size_t limit = frames_;
  if (highest != UINT64_MAX) {
    if (highest < kRamBase) return false;
    limit = std::min<std::size_t>(frames_, static_cast<std::size_t>((highest - kRamBase + 1) / kPage));
  }
  const std::size_t boundary_pages = boundary == 0 ? 0 : static_cast<std::size_t>(boundary / kPage);
  if (boundary_pages != 0 && pages > boundary_pages) return false;
  for (std::size_t start = 0; start + pages <= limit;) {
    if (boundary_pages != 0) {
      const std::uint64_t first = (kRamBase / kPage) + start;
      if (first / boundary_pages != (first + pages - 1) / boundary_pages) {
        start = static_cast<std::size_t>((first / boundary_pages + 1) * boundary_pages - kRamBase / kPage);
        continue;
      }
    }
    std::size_t run = 0;
    while (run < pages && frame_used_[start + run] == 0) ++run;
    if (run == pages) {
      for (std::size_t i = 0; i < pages; ++i) out.push_back(static_cast<std::uint32_t>(start + i));
      return true;
    }
    start += run + 1;
  }
  return false;
}

bool PhysicalMemory::find_any(std::size_t pages, std::vector<std::uint32_t>& out) {
  if (frames_ - frames_in_use_ < pages) return false;
  if (!scattered_ && find_contiguous(pages, UINT64_MAX, 0, out)) return true;
  // Frame by frame from a moving cursor; in scattered mode a frame next to
  // the one picked before is skipped, so neighbouring pages never get
  // neighbouring frames while any other frame is free.
  std::int64_t previous = -2;
  while (out.size() < pages) {
    std::size_t picked = frames_;
    std::size_t fallback = frames_;
    for (std::size_t scanned = 0; scanned < frames_; ++scanned) {
      const std::size_t f = (frame_cursor_ + scanned) % frames_;
      if (frame_used_[f] != 0) continue;
      bool adjacent = static_cast<std::int64_t>(f) == previous + 1 || static_cast<std::int64_t>(f) == previous - 1;
      if (scattered_ && adjacent) {
        if (fallback == frames_) fallback = f;
        continue;
      }
      picked = f;
      break;
    }
    if (picked == frames_) picked = fallback;
    if (picked == frames_) return false;
    frame_used_[picked] = 1;  // provisional; undone by the caller on failure
    out.push_back(static_cast<std::uint32_t>(picked));
    previous = static_cast<std::int64_t>(picked);
    frame_cursor_ = (picked + (scattered_ ? 3 : 1)) % frames_;
  }
  for (std::uint32_t f : out) frame_used_[f] = 0;
  return true;
}

int PhysicalMemory::make_segment(std::size_t pages) const {
  int fd = memfd_create("zek-segment", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return -1;
  if (ftruncate(fd, static_cast<off_t>(pages * kPage)) != 0 ||
      fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Maps `frames.size()` pages of fd: at consecutive addresses from `at`
// (by_frame false), or each page at ram_ + its frame (by_frame true), with
// one call per run of consecutive frames. Page i of the run comes from
// fd offset first_offset + i pages, or from the frame's own offset when
// first_offset is UINT64_MAX (the RAM memfd).
void PhysicalMemory::map_frames(std::byte* at, int fd, std::uint64_t first_offset,
                                const std::vector<std::uint32_t>& frames, bool by_frame) {
  for (std::size_t i = 0; i < frames.size();) {
    std::size_t run = 1;
    while (i + run < frames.size() && frames[i + run] == frames[i] + run) ++run;
    std::byte* where = by_frame ? ram_ + static_cast<std::size_t>(frames[i]) * kPage : at + i * kPage;
    const std::uint64_t offset =
        first_offset == UINT64_MAX ? static_cast<std::uint64_t>(frames[i]) * kPage : first_offset + i * kPage;
    if (mmap(where, run * kPage, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, static_cast<off_t>(offset)) ==
        MAP_FAILED) {
      fail("mmap of frames");
    }
    i += run;
  }
}

void* PhysicalMemory::allocate(std::size_t bytes, Layout layout, std::uint64_t highest, std::uint64_t boundary,
                               Sharing sharing) {
  if (bytes == 0) return nullptr;
  const std::size_t pages = (bytes + kPage - 1) / kPage;
  const int segment = sharing == Sharing::Mappable ? make_segment(pages) : -1;
  std::lock_guard lock(mu_);
  std::vector<std::uint32_t> frames;
  frames.reserve(pages);
  bool found =
      layout == Layout::Contiguous ? find_contiguous(pages, highest, boundary, frames) : find_any(pages, frames);
  const std::int64_t first_vpage = found ? reserve_vpages(pages + 1) : -1;  // + guard page
  if (first_vpage < 0) {
    if (segment >= 0) close(segment);
    return nullptr;
  }
  vpage_used_[static_cast<std::size_t>(first_vpage) + pages] = 1;
  std::byte* va = window_ + static_cast<std::size_t>(first_vpage) * kPage;
  if (segment >= 0) {
    // The segment stands in for the frames, for the kernel and for DMA alike.
    if (mmap(va, pages * kPage, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, segment, 0) == MAP_FAILED) {
      fail("mmap of a segment");
    }
    map_frames(nullptr, segment, 0, frames, true);
  } else {
    map_frames(va, fd_, UINT64_MAX, frames, false);
  }
  for (std::size_t i = 0; i < pages; ++i) {
    const std::size_t vpage = static_cast<std::size_t>(first_vpage) + i;
    frame_used_[frames[i]] = 1;
    vpage_frame_[vpage].store(frames[i] + 1, std::memory_order_release);
    frame_vpage_[frames[i]].store(static_cast<std::uint32_t>(vpage + 1), std::memory_order_release);
  }
  frames_in_use_ += pages;
  allocations_.emplace(reinterpret_cast<std::uintptr_t>(va), Allocation{pages, std::move(frames), segment});
  return va;
}

bool PhysicalMemory::free(void* va) {
  std::lock_guard lock(mu_);
  auto it = allocations_.find(reinterpret_cast<std::uintptr_t>(va));
  if (it == allocations_.end()) return false;
  const Allocation& a = it->second;
  const std::size_t first_vpage = static_cast<std::size_t>(static_cast<std::byte*>(va) - window_) / kPage;
  void* at = mmap(va, a.pages * kPage, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0);
  if (at == MAP_FAILED) fail("unmap of frames");
  if (a.segment >= 0) {
    // The frames go back to the RAM memfd (untouched there, so zero); a
    // process still mapping the segment keeps its pages to itself.
    map_frames(nullptr, fd_, UINT64_MAX, a.frames, true);
    close(a.segment);
  } else {
    for (std::size_t i = 0; i < a.pages;) {
      std::size_t run = 1;
      while (i + run < a.pages && a.frames[i + run] == a.frames[i] + run) ++run;
      fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                static_cast<off_t>(a.frames[i]) * static_cast<off_t>(kPage), static_cast<off_t>(run * kPage));
      i += run;
    }
  }
  for (std::size_t i = 0; i < a.pages; ++i) {
    frame_vpage_[a.frames[i]].store(0, std::memory_order_release);
    frame_used_[a.frames[i]] = 0;
    vpage_frame_[first_vpage + i].store(0, std::memory_order_release);
    vpage_used_[first_vpage + i] = 0;
  }
  vpage_used_[first_vpage + a.pages] = 0;
  frames_in_use_ -= a.pages;
  allocations_.erase(it);
  return true;
}

std::optional<PhysicalMemory::Segment> PhysicalMemory::segment_of(std::uint64_t pa) const {
  auto* va = static_cast<const std::byte*>(kernel_address(pa));
  if (va == nullptr) return std::nullopt;
  std::lock_guard lock(mu_);
  auto it = allocations_.upper_bound(reinterpret_cast<std::uintptr_t>(va));
  if (it == allocations_.begin()) return std::nullopt;
  --it;
  const auto offset = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(va) - it->first);
  if (offset >= it->second.pages * kPage || it->second.segment < 0) return std::nullopt;
  return Segment{it->second.segment, offset / kPage * kPage, it->second.pages};
}

std::size_t PhysicalMemory::allocation_size(const void* va) const {
  std::lock_guard lock(mu_);
  auto it = allocations_.find(reinterpret_cast<std::uintptr_t>(va));
  return it == allocations_.end() ? 0 : it->second.pages * kPage;
}

bool PhysicalMemory::in_kernel_window(const void* va) const {
  auto p = static_cast<const std::byte*>(va);
  return p >= window_ && p < window_ + window_pages_ * kPage;
}

std::uint64_t PhysicalMemory::physical_address(const void* va) const {
  if (!in_kernel_window(va)) return 0;
  const auto offset = static_cast<std::size_t>(static_cast<const std::byte*>(va) - window_);
  const std::uint32_t frame = vpage_frame_[offset / kPage].load(std::memory_order_acquire);
  if (frame == 0) return 0;
  return kRamBase + static_cast<std::uint64_t>(frame - 1) * kPage + offset % kPage;
}

void* PhysicalMemory::kernel_address(std::uint64_t pa) const {
  if (pa < kRamBase || pa >= kRamBase + bytes_) return nullptr;
  const std::uint64_t frame = (pa - kRamBase) / kPage;
  const std::uint32_t vpage = frame_vpage_[frame].load(std::memory_order_acquire);
  if (vpage == 0) return nullptr;
  return window_ + static_cast<std::size_t>(vpage - 1) * kPage + (pa % kPage);
}

bool PhysicalMemory::ram_allocated(std::uint64_t pa, std::size_t length) const {
  if (pa < kRamBase || length > bytes_ || pa - kRamBase > bytes_ - length) return false;
  const std::uint64_t first = (pa - kRamBase) / kPage;
  const std::uint64_t last = (pa - kRamBase + length - 1) / kPage;
  for (std::uint64_t f = first; f <= last; ++f) {
    if (frame_vpage_[f].load(std::memory_order_acquire) == 0) return false;
  }
  return true;
}

std::span<std::byte> PhysicalMemory::ram_span(std::uint64_t pa, std::size_t length) {
  if (length == 0 || !ram_allocated(pa, length)) return {};
  return {ram_ + (pa - kRamBase), length};
}

std::shared_ptr<PhysicalMemory::ForeignRange> PhysicalMemory::foreign_at(std::uint64_t pa, std::size_t length,
                                                                         std::uint64_t* offset) const {
  std::lock_guard lock(mu_);
  auto it = foreign_.upper_bound(pa);
  if (it == foreign_.begin()) return nullptr;
  --it;
  const std::uint64_t stride = scattered_ ? 2 : 1;
  const std::uint64_t at = pa - it->first;
  const std::uint64_t page = at / kPage;
  if (page % stride != 0 || page / stride >= it->second.pages) return nullptr;
  // In scattered mode each page stands alone: an access may not run into
  // the gap behind it.
  const std::uint64_t room = stride == 1 ? (it->second.pages - page) * kPage - at % kPage : kPage - at % kPage;
  if (length > room) return nullptr;
  *offset = (page / stride) * kPage + at % kPage;
  return it->second.range;
}

// Outside the lock: a transfer into a process's pages holds nothing that
// another transfer, an allocation or a registration needs.
bool PhysicalMemory::foreign_transfer(std::uint64_t pa, void* bytes, std::size_t length, bool write) {
  std::uint64_t offset = 0;
  std::shared_ptr<ForeignRange> range = foreign_at(pa, length, &offset);
  if (range && range->gone()) {
    dma_after_exit_.fetch_add(1);
  } else if (range && (write ? range->write(offset, bytes, length) : range->read(offset, bytes, length))) {
    return true;
  }
  dma_faults_.fetch_add(1);
  return false;
}

bool PhysicalMemory::dma_read(std::uint64_t pa, void* destination, std::size_t length) {
  if (length == 0) return true;
  if (ram_allocated(pa, length)) {
    std::memcpy(destination, ram_ + (pa - kRamBase), length);
    return true;
  }
  return foreign_transfer(pa, destination, length, false);
}

bool PhysicalMemory::dma_write(std::uint64_t pa, const void* source, std::size_t length) {
  if (length == 0) return true;
  if (ram_allocated(pa, length)) {
    std::memcpy(ram_ + (pa - kRamBase), source, length);
    return true;
  }
  return foreign_transfer(pa, const_cast<void*>(source), length, true);
}

std::uint64_t PhysicalMemory::add_foreign_range(std::size_t pages, std::shared_ptr<ForeignRange> range) {
  std::lock_guard lock(mu_);
  const std::uint64_t base = next_foreign_;
  // A page of distance between ranges keeps an overrun from reaching the next one.
  next_foreign_ += (pages * (scattered_ ? 2 : 1) + 1) * kPage;
  foreign_.emplace(base, Foreign{pages, std::move(range)});
  return base;
}

void PhysicalMemory::remove_foreign_range(std::uint64_t base) {
  std::lock_guard lock(mu_);
  foreign_.erase(base);
}

std::size_t PhysicalMemory::frames_in_use() const {
  std::lock_guard lock(mu_);
  return frames_in_use_;
}

}  // namespace plat
