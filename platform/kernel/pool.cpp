#include "platform/kernel/pool.h"

#include <atomic>
#include <cstring>

#include "platform/kernel/fault.h"

namespace plat {
namespace {

constexpr std::uint32_t kLive = 0x4C4F4F50;   // "POOL"
constexpr std::uint32_t kFreed = 0x45455246;  // "FREE"
constexpr std::size_t kSmallestClass = 32;
constexpr std::size_t kPage = PhysicalMemory::kPageSize;

struct SmallHeader {
  std::uint32_t magic;
  std::uint32_t tag;
  std::uint32_t bytes;
  std::uint16_t size_class;
  std::uint16_t type;
};
static_assert(sizeof(SmallHeader) == 16);

SmallHeader* header_of_block(const void* block) {
  return reinterpret_cast<SmallHeader*>(const_cast<char*>(static_cast<const char*>(block)) - sizeof(SmallHeader));
}

int class_for(std::size_t bytes) {
  std::size_t total = bytes + sizeof(SmallHeader);
  std::size_t size = kSmallestClass;
  for (int c = 0; c < 7; ++c, size <<= 1) {
    if (total <= size) return c;
  }
  return -1;
}

}  // namespace

Pool::~Pool() {
  for (void* slab : slabs_) memory_.free(slab);
  for (auto& [block, large] : large_) memory_.free(const_cast<void*>(block));
}

std::string Pool::tag_text(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    text += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return text;
}

void Pool::account(ULONG tag, std::int64_t bytes, bool allocation) {
  TagUsage& usage = tags_[tag];
  if (allocation) {
    ++usage.allocations;
    ++blocks_;
  } else {
    ++usage.frees;
    --blocks_;
  }
  usage.bytes_in_use += static_cast<std::uint64_t>(bytes);
  bytes_ += static_cast<std::uint64_t>(bytes);
}

void* Pool::allocate(POOL_TYPE type, std::size_t bytes, ULONG tag) {
  if (bytes == 0) bytes = 1;
  const int size_class = class_for(bytes);
  std::unique_lock lock(mu_);
  if (size_class < 0) {
    void* block = memory_.allocate(bytes, PhysicalMemory::Layout::Any);
    if (block == nullptr) return nullptr;
    large_.emplace(block, Large{bytes, tag, type});
    account(tag, static_cast<std::int64_t>(bytes), true);
    return block;
  }
  auto& list = free_lists_[size_class];
  if (list.empty()) {
    // Slabs hold many callers' blocks: never mapped into a process.
    void* slab = memory_.allocate(kPage, PhysicalMemory::Layout::Any, UINT64_MAX, 0, PhysicalMemory::Sharing::Private);
    if (slab == nullptr) return nullptr;
    slabs_.push_back(slab);
    const std::size_t size = kSmallestClass << size_class;
    for (std::size_t offset = kPage; offset >= size; offset -= size) {
      list.push_back(static_cast<char*>(slab) + offset - size + sizeof(SmallHeader));
    }
  }
  void* block = list.front();
  list.pop_front();
  account(tag, static_cast<std::int64_t>(bytes), true);
  lock.unlock();
  // The block is the caller's from here: filled outside the lock.
  SmallHeader* header = header_of_block(block);
  *header = SmallHeader{kLive, tag, static_cast<std::uint32_t>(bytes), static_cast<std::uint16_t>(size_class),
                        static_cast<std::uint16_t>(type)};
  // Not zeroed, as pool is not: a pattern shows reads of uninitialised memory.
  std::memset(block, 0xCD, bytes);
  return block;
}

void Pool::free(void* block, std::int64_t expected_tag, const SrcLoc& where) {
  if (block == nullptr) fault(where, "ExFreePool of a null pointer");
  const auto address = reinterpret_cast<std::uintptr_t>(block);
  // Large blocks are whole pages; small ones never start a page.
  if (address % kPage == 0) {
    std::lock_guard lock(mu_);
    auto it = large_.find(block);
    if (it == large_.end()) fault(where, "ExFreePool(%p): not a pool block (freed twice?)", block);
    if (expected_tag >= 0 && it->second.tag != static_cast<ULONG>(expected_tag)) {
      fault(where, "ExFreePoolWithTag(%p): block tag '%s', freed with '%s'", block, tag_text(it->second.tag).c_str(),
            tag_text(static_cast<ULONG>(expected_tag)).c_str());
    }
    account(it->second.tag, -static_cast<std::int64_t>(it->second.bytes), false);
    memory_.free(block);
    large_.erase(it);
    return;
  }
  if (!memory_.in_kernel_window(block) || address % kPage < sizeof(SmallHeader) || !memory_.is_mapped(block)) {
    fault(where, "ExFreePool(%p): not a pool block (freed twice?)", block);
  }
  // The block's own header says whether it is live; taking it is one
  // atomic step, so two frees of one block cannot both pass.
  SmallHeader* header = header_of_block(block);
  const std::uint32_t was = std::atomic_ref<std::uint32_t>(header->magic).exchange(kFreed);
  if (was == kFreed) fault(where, "ExFreePool(%p): block freed twice", block);
  if (was != kLive) fault(where, "ExFreePool(%p): not a pool block, or its header is overwritten", block);
  if (expected_tag >= 0 && header->tag != static_cast<ULONG>(expected_tag)) {
    fault(where, "ExFreePoolWithTag(%p): block tag '%s', freed with '%s'", block, tag_text(header->tag).c_str(),
          tag_text(static_cast<ULONG>(expected_tag)).c_str());
  }
  std::memset(block, 0xDD, header->bytes);
  std::lock_guard lock(mu_);
  account(header->tag, -static_cast<std::int64_t>(header->bytes), false);
  free_lists_[header->size_class].push_back(block);
}

std::size_t Pool::block_size(const void* block) const {
  std::lock_guard lock(mu_);
  if (auto it = large_.find(block); it != large_.end()) return it->second.bytes;
  const auto address = reinterpret_cast<std::uintptr_t>(block);
  if (!memory_.in_kernel_window(block) || address % kPage < sizeof(SmallHeader) || !memory_.is_mapped(block)) return 0;
  const SmallHeader* header = header_of_block(block);
  return header->magic == kLive ? header->bytes : 0;
}

Pool::TagUsage Pool::usage(ULONG tag) const {
  std::lock_guard lock(mu_);
  auto it = tags_.find(tag);
  return it == tags_.end() ? TagUsage{} : it->second;
}

std::uint64_t Pool::blocks_in_use() const {
  std::lock_guard lock(mu_);
  return blocks_;
}

std::uint64_t Pool::bytes_in_use() const {
  std::lock_guard lock(mu_);
  return bytes_;
}

std::string Pool::leak_report() const {
  std::lock_guard lock(mu_);
  std::string report;
  for (const auto& [tag, usage] : tags_) {
    if (usage.blocks_in_use() == 0) continue;
    report += tag_text(tag) + ": " + std::to_string(usage.blocks_in_use()) + " blocks, " +
              std::to_string(usage.bytes_in_use) + " bytes\n";
  }
  return report;
}

}  // namespace plat
