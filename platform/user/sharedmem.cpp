// Memory a process shares with its host.
#include "platform/user/sharedmem.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <unordered_map>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
// Free blocks are poisoned, so that the sanitizer catches a use after free
// here as it does in the C library's heap.
#define ZEK_POISON(address, bytes) ASAN_POISON_MEMORY_REGION(address, bytes)
#define ZEK_UNPOISON(address, bytes) ASAN_UNPOISON_MEMORY_REGION(address, bytes)
#else
#define ZEK_POISON(address, bytes) ((void)(address), (void)(bytes))
#define ZEK_UNPOISON(address, bytes) ((void)(address), (void)(bytes))
#endif

namespace plat::user::shared {
namespace {

constexpr std::size_t kPage = 4096;
constexpr std::size_t kPages = kArenaBytes / kPage;
constexpr std::size_t kSmallest = 16;
constexpr int kClasses = 8;  // 16 .. kLargestSmallBlock bytes
static_assert(kSmallest << (kClasses - 1) == kLargestSmallBlock);
constexpr std::size_t kChunkPages = 16;  // small blocks are carved 64 KiB at a time

// What each page of the file holds.
enum : std::uint8_t { kUnused = 0, kLargeHead = 0xF0, kLargeTail = 0xF1 };  // 1..kClasses: small blocks

struct FreeBlock {
  FreeBlock* next;
};

class Arena {
 public:
  Arena() {
    fd_ = memfd_create("zek-user-memory", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd_ < 0) return;
    void* kinds = mmap(nullptr, kPages, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    // Sealed, the file cannot be cut under the host's mapping of locked pages.
    if (kinds == MAP_FAILED || ftruncate(fd_, static_cast<off_t>(kArenaBytes)) != 0 ||
        fcntl(fd_, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
      if (kinds != MAP_FAILED) munmap(kinds, kPages);
      close(fd_);
      fd_ = -1;
      return;
    }
    void* base = mmap(nullptr, kArenaBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE, fd_, 0);
    if (base == MAP_FAILED) {
      munmap(kinds, kPages);
      close(fd_);
      fd_ = -1;
      return;
    }
    base_ = static_cast<std::byte*>(base);
    kinds_ = static_cast<std::uint8_t*>(kinds);
  }

  bool ready() const { return base_ != nullptr; }
  bool contains(const void* address) const {
    auto* p = static_cast<const std::byte*>(address);
    return base_ != nullptr && p >= base_ && p < base_ + kArenaBytes;
  }

  void* allocate(std::size_t bytes, bool zero) {
    if (bytes == 0) bytes = 1;
    std::lock_guard lock(mu_);
    if (bytes > kLargestSmallBlock) {
      if (bytes > kArenaBytes) return nullptr;
      const std::size_t pages = (bytes + kPage - 1) / kPage;
      const std::size_t first = take_pages(pages);
      if (first == kPages) return nullptr;
      kinds_[first] = kLargeHead;
      if (pages > 1) std::memset(kinds_ + first + 1, kLargeTail, pages - 1);
      large_[first] = pages;
      ZEK_UNPOISON(base_ + first * kPage, pages * kPage);
      return base_ + first * kPage;  // fresh or punched pages: zero
    }
    int size_class = 0;
    while ((kSmallest << size_class) < bytes) ++size_class;
    if (lists_[size_class] == nullptr && !carve(size_class)) return nullptr;
    FreeBlock* block = lists_[size_class];
    ZEK_UNPOISON(block, kSmallest << size_class);
    lists_[size_class] = block->next;
    if (zero) std::memset(block, 0, kSmallest << size_class);
    return block;
  }

  bool release(void* block) {
    if (!contains(block)) return false;
    const auto offset = static_cast<std::size_t>(static_cast<std::byte*>(block) - base_);
    const std::size_t page = offset / kPage;
    std::lock_guard lock(mu_);
    const std::uint8_t kind = kinds_[page];
    if (kind >= 1 && kind <= kClasses) {
      const std::size_t size = kSmallest << (kind - 1);
      if (offset % size != 0) return false;
      auto* free_block = static_cast<FreeBlock*>(block);
      free_block->next = lists_[kind - 1];
      lists_[kind - 1] = free_block;
      ZEK_POISON(block, size);
      return true;
    }
    if (kind != kLargeHead || offset % kPage != 0) return false;
    auto it = large_.find(page);
    if (it == large_.end()) return false;
    const std::size_t pages = it->second;
    large_.erase(it);
    std::memset(kinds_ + page, kUnused, pages);
    ZEK_POISON(block, pages * kPage);
    give_pages(page, pages);
    return true;
  }

 private:
  bool carve(int size_class) {
    const std::size_t first = take_pages(kChunkPages);
    if (first == kPages) return false;
    std::memset(kinds_ + first, size_class + 1, kChunkPages);
    const std::size_t size = kSmallest << size_class;
    std::byte* chunk = base_ + first * kPage;
    ZEK_UNPOISON(chunk, kChunkPages * kPage);  // pages a freed large block may have left poisoned
    for (std::size_t at = kChunkPages * kPage; at >= size; at -= size) {
      auto* block = reinterpret_cast<FreeBlock*>(chunk + at - size);
      block->next = lists_[size_class];
      lists_[size_class] = block;
      ZEK_POISON(block, size);
    }
    return true;
  }

  // First fit among freed runs, else from the top; kPages when full.
  std::size_t take_pages(std::size_t pages) {
    for (auto it = free_.begin(); it != free_.end(); ++it) {
      if (it->second < pages) continue;
      const std::size_t first = it->first;
      const std::size_t left = it->second - pages;
      free_.erase(it);
      if (left != 0) free_.emplace(first + pages, left);
      return first;
    }
    if (kPages - top_ < pages) return kPages;
    top_ += pages;
    return top_ - pages;
  }

  void give_pages(std::size_t first, std::size_t pages) {
    fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(first * kPage),
              static_cast<off_t>(pages * kPage));
    auto next = free_.lower_bound(first);
    if (next != free_.end() && next->first == first + pages) {
      pages += next->second;
      next = free_.erase(next);
    }
    if (next != free_.begin()) {
      auto previous = std::prev(next);
      if (previous->first + previous->second == first) {
        first = previous->first;
        pages += previous->second;
        free_.erase(previous);
      }
    }
    if (first + pages == top_) {
      top_ = first;
    } else {
      free_.emplace(first, pages);
    }
  }

  int fd_ = -1;
  std::byte* base_ = nullptr;
  std::uint8_t* kinds_ = nullptr;
  std::mutex mu_;
  std::size_t top_ = 0;
  std::map<std::size_t, std::size_t> free_;             // first page -> pages
  std::unordered_map<std::size_t, std::size_t> large_;  // first page -> pages
  FreeBlock* lists_[kClasses] = {};
};

// Never destroyed: blocks may be freed by other static destructors.
Arena& arena() {
  static auto* instance = new Arena;
  return *instance;
}

}  // namespace

void* allocate(std::size_t bytes, bool zero) {
  Arena& a = arena();
  if (a.ready()) return a.allocate(bytes, zero);
  return zero ? std::calloc(1, bytes == 0 ? 1 : bytes) : std::malloc(bytes == 0 ? 1 : bytes);
}

bool release(void* block) {
  Arena& a = arena();
  if (a.ready()) return a.release(block);
  std::free(block);
  return true;
}

bool contains(const void* address) { return arena().contains(address); }

}  // namespace plat::user::shared
