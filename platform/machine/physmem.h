// Simulated physical memory of one host.
//
// RAM is a memfd: frame n is the file's page n and has the physical address
// kRamBase + n * 4096. Kernel allocations map their frames at consecutive
// addresses in a reserved kernel window; in scattered mode consecutive pages
// of a non-contiguous allocation get frames that are not consecutive, so page
// lists and chunking really run. Each allocation is followed by an
// inaccessible guard page. Freed frames are returned to the file system
// zeroed (hole punching).
//
// The RAM memfd never leaves the host. An allocation that may be mapped
// into a user process (Sharing::Mappable) lives in a memfd segment of its
// own, sealed against shrinking and growing, which stands in for its frames
// (in the kernel window and for DMA alike); a process is handed only that
// segment, so it sees exactly the pages of that allocation and can neither
// truncate nor grow what it received. Pool slabs and other private memory
// stay in the RAM memfd. When the host frees a segment's allocation, a
// process that still maps it keeps the old pages to itself: the frames are
// reused with a new segment.
//
// The simulated adapter reaches memory only by physical address, through
// dma_read/dma_write, which refuse (and count) any access outside allocated
// frames and registered foreign ranges instead of faulting the host.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace plat {

class PhysicalMemory {
 public:
  static constexpr std::uint64_t kPageSize = 4096;
  static constexpr std::uint64_t kRamBase = 0x1'0000'0000ull;        // frame 0
  static constexpr std::uint64_t kForeignBase = 0x100'0000'0000ull;  // first foreign range

  struct Options {
    std::size_t bytes = std::size_t{256} << 20;
    bool scattered = false;
  };

  enum class Layout { Contiguous, Any };
  // Private memory is never mapped into a process; a mappable allocation
  // gets a sealed segment of its own (see above). When the host cannot make
  // a segment (out of descriptors), the allocation is private and a later
  // mapping of it is refused.
  enum class Sharing { Private, Mappable };

  // The sealed segment behind a mappable allocation.
  struct Segment {
    int fd;                // the host's descriptor, valid while the allocation lives
    std::uint64_t offset;  // of the page asked about, in the segment
    std::size_t pages;     // the whole allocation (= the segment's size in pages)
  };

  // A range of physical addresses whose bytes live elsewhere (for example the
  // locked pages of a user process). Offsets are from the range's base.
  class ForeignRange {
   public:
    virtual ~ForeignRange() = default;
    virtual bool read(std::uint64_t offset, void* destination, std::size_t length) = 0;
    virtual bool write(std::uint64_t offset, const void* source, std::size_t length) = 0;
    // True once the owner of the bytes has gone: every transfer is refused.
    virtual bool gone() const { return false; }
  };

  explicit PhysicalMemory(Options options);
  ~PhysicalMemory();
  PhysicalMemory(const PhysicalMemory&) = delete;
  PhysicalMemory& operator=(const PhysicalMemory&) = delete;

  // Whole zeroed pages at consecutive kernel addresses. Contiguous layout
  // also makes the frames consecutive, ending at or below highest and not
  // crossing a multiple of boundary (0: no boundary). Null when out of frames.
  void* allocate(std::size_t bytes, Layout layout, std::uint64_t highest = UINT64_MAX, std::uint64_t boundary = 0,
                 Sharing sharing = Sharing::Mappable);
  // Frees by base address; false when va is not the base of an allocation.
  bool free(void* va);
  // Size in bytes (whole pages) of the allocation based at va, or 0.
  std::size_t allocation_size(const void* va) const;

  // The segment of the mappable allocation that holds physical address pa;
  // empty for private memory and addresses outside allocated RAM.
  std::optional<Segment> segment_of(std::uint64_t pa) const;

  // Translation both ways; 0 / null when there is no backing frame.
  std::uint64_t physical_address(const void* va) const;
  void* kernel_address(std::uint64_t pa) const;
  bool in_kernel_window(const void* va) const;
  bool is_mapped(const void* va) const { return physical_address(va) != 0; }

  // DMA. False (and a counted fault) for any byte outside allocated frames
  // or a foreign range.
  bool dma_read(std::uint64_t pa, void* destination, std::size_t length);
  bool dma_write(std::uint64_t pa, const void* source, std::size_t length);
  // Direct access to allocated RAM for atomic accesses (valid bits); an
  // empty span when [pa, pa + length) is not wholly in allocated RAM.
  std::span<std::byte> ram_span(std::uint64_t pa, std::size_t length);
  std::uint64_t dma_faults() const { return dma_faults_.load(); }
  // Of those, the transfers refused because the process whose locked pages
  // the address led to has exited (see ForeignRange::gone).
  std::uint64_t dma_after_exit() const { return dma_after_exit_.load(); }

  // Registers `pages` pages whose bytes the range resolves; returns the
  // base. Page i of the range has the physical address
  // foreign_page(base, i): consecutive in linear mode, every other page in
  // scattered mode (so neighbouring locked pages are not physically
  // neighbours there either). The pages in between belong to no one.
  std::uint64_t add_foreign_range(std::size_t pages, std::shared_ptr<ForeignRange> range);
  std::uint64_t foreign_page(std::uint64_t base, std::size_t index) const {
    return base + index * (scattered_ ? 2 : 1) * kPageSize;
  }
  void remove_foreign_range(std::uint64_t base);

  std::uint64_t frame_of(std::uint64_t pa) const { return (pa - kRamBase) / kPageSize; }
  std::size_t frames_total() const { return frames_; }
  std::size_t frames_in_use() const;
  bool scattered() const { return scattered_; }

 private:
  struct Allocation {
    std::size_t pages;
    std::vector<std::uint32_t> frames;
    int segment = -1;  // the sealed memfd of a mappable allocation
  };

  int make_segment(std::size_t pages) const;
  void map_frames(std::byte* at, int fd, std::uint64_t first_offset, const std::vector<std::uint32_t>& frames,
                  bool by_frame);
  bool foreign_transfer(std::uint64_t pa, void* bytes, std::size_t length, bool write);
  bool ram_allocated(std::uint64_t pa, std::size_t length) const;
  std::shared_ptr<ForeignRange> foreign_at(std::uint64_t pa, std::size_t length, std::uint64_t* offset) const;
  bool find_contiguous(std::size_t pages, std::uint64_t highest, std::uint64_t boundary,
                       std::vector<std::uint32_t>& out);
  bool find_any(std::size_t pages, std::vector<std::uint32_t>& out);
  std::int64_t reserve_vpages(std::size_t count);

  const std::size_t bytes_;
  const std::size_t frames_;
  const bool scattered_;
  int fd_ = -1;
  std::byte* ram_ = nullptr;     // the whole memfd, mapped once, for DMA
  std::byte* window_ = nullptr;  // kernel window, reserved inaccessible
  std::size_t window_pages_ = 0;

  mutable std::mutex mu_;
  std::vector<std::uint8_t> frame_used_;
  std::vector<std::uint8_t> vpage_used_;
  std::unique_ptr<std::atomic<std::uint32_t>[]> vpage_frame_;  // frame + 1, 0 = none
  std::unique_ptr<std::atomic<std::uint32_t>[]> frame_vpage_;  // vpage + 1, 0 = free
  std::map<std::uintptr_t, Allocation> allocations_;
  std::size_t frames_in_use_ = 0;
  std::size_t frame_cursor_ = 0;
  std::size_t vpage_cursor_ = 0;

  struct Foreign {
    std::size_t pages;
    std::shared_ptr<ForeignRange> range;
  };
  std::map<std::uint64_t, Foreign> foreign_;
  std::uint64_t next_foreign_ = kForeignBase;
  std::atomic<std::uint64_t> dma_faults_{0};
  std::atomic<std::uint64_t> dma_after_exit_{0};
};

}  // namespace plat
