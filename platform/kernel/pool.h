// Tagged kernel pool over simulated physical memory, so that pool blocks
// have physical addresses as real non-paged pool does. Small blocks come
// from page-sized slabs of power-of-two classes with a header in front;
// blocks of 2 KB and more are whole pages, page aligned, described out of
// line. Per-tag accounting lets tests see leaks.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/kernel/ex.h"
#include "platform/machine/physmem.h"

namespace plat {

class Pool {
 public:
  struct TagUsage {
    std::uint64_t allocations = 0;
    std::uint64_t frees = 0;
    std::uint64_t bytes_in_use = 0;
    std::uint64_t blocks_in_use() const { return allocations - frees; }
  };

  explicit Pool(PhysicalMemory& memory) : memory_(memory) {}
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  void* allocate(POOL_TYPE type, std::size_t bytes, ULONG tag);
  // expected_tag < 0: any tag. Stops the host on a bad or repeated free.
  void free(void* block, std::int64_t expected_tag, const SrcLoc& where);
  // The size the block was allocated with, or 0 if it is not a live block.
  std::size_t block_size(const void* block) const;

  TagUsage usage(ULONG tag) const;
  std::uint64_t blocks_in_use() const;
  std::uint64_t bytes_in_use() const;
  // One line per tag with blocks still allocated ("Tag1: 3 blocks, 96 bytes").
  std::string leak_report() const;

  static std::string tag_text(ULONG tag);

 private:
  struct Large {
    std::size_t bytes;
    ULONG tag;
    POOL_TYPE type;
  };
  static constexpr std::size_t kClasses = 7;  // 32 .. 2048 bytes with header

  void account(ULONG tag, std::int64_t bytes, bool allocation);

  PhysicalMemory& memory_;
  mutable std::mutex mu_;
  std::deque<void*> free_lists_[kClasses];  // FIFO: a freed block is reused last
  std::vector<void*> slabs_;
  std::unordered_map<const void*, Large> large_;
  std::map<ULONG, TagUsage> tags_;
  std::uint64_t blocks_ = 0;
  std::uint64_t bytes_ = 0;
};

}  // namespace plat
