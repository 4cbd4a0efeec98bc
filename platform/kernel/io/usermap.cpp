// Mapping kernel pages into user processes, and the posted-write rings of
// mapped register pages.
#include "platform/kernel/io/usermap.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>

#include "platform/common/postring.h"
#include "platform/kernel/dbg.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/hal.h"
#include "platform/kernel/io/io_internal.h"
#include "platform/kernel/io/mdl_internal.h"
#include "platform/kernel/kernel.h"

namespace plat {

struct RegisterRings::Ring final : PostedWrites {
  Ring(RegisterRings& owner, std::uint64_t id, void* page, int wake_fd, std::vector<PUCHAR> registers)
      : owner(owner), id(id), page(page), wake(wake_fd), registers(std::move(registers)) {}

  int wake_fd() const override { return wake; }
  std::size_t drain() override;
  bool pending() const override;
  void set_sleeping(bool sleeping) override {
    auto* header = static_cast<postring::Header*>(page);
    postring::atomic(header->sleeping).store(sleeping ? 1 : 0, std::memory_order_relaxed);
    // Pairs with the writer's fence between its slot and its look at the flag.
    std::atomic_thread_fence(std::memory_order_seq_cst);
  }

  RegisterRings& owner;
  std::uint64_t id;
  void* page;  // the ring, in kernel memory
  int wake;
  std::vector<PUCHAR> registers;
  MmioHandler* adopted_by = nullptr;  // the device that drains it, or null (the ring thread)
};

RegisterRings::RegisterRings(PhysicalMemory& memory) : memory_(memory) {
  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = 0;  // ring ids start at 1
  epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, stop_fd_, &ev);
  thread_ = std::thread([this] { run(); });
}

RegisterRings::~RegisterRings() {
  std::uint64_t one = 1;
  (void)!::write(stop_fd_, &one, sizeof one);
  thread_.join();
  std::vector<std::uint64_t> ids;
  {
    std::lock_guard lock(mu_);
    for (auto& [id, ring] : rings_) ids.push_back(id);
  }
  for (auto id : ids) remove(id);
  close(stop_fd_);
  close(epoll_fd_);
}

std::optional<RegisterRings::Created> RegisterRings::create(std::vector<PUCHAR> pages) {
  // A page of its own: the process that writes the ring sees nothing else.
  void* page = memory_.allocate(PhysicalMemory::kPageSize, PhysicalMemory::Layout::Contiguous);
  if (page == nullptr) return std::nullopt;
  const auto segment = memory_.segment_of(memory_.physical_address(page));
  if (!segment) {
    memory_.free(page);
    return std::nullopt;
  }
  int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    memory_.free(page);
    return std::nullopt;
  }
  auto* header = static_cast<postring::Header*>(page);
  header->slots = postring::slot_capacity(PhysicalMemory::kPageSize);
  header->sleeping = 1;  // the ring thread is woken for every write
  // The device behind the pages may drain the ring itself: offered when all
  // the pages are one device's.
  MmioHandler* device = nullptr;
  for (PUCHAR p : pages) {
    const auto target = Kernel::current().io_space().lookup(p, 4);
    MmioHandler* handler = target ? target->handler : nullptr;
    if (handler == nullptr || (device != nullptr && handler != device)) {
      device = nullptr;
      break;
    }
    device = handler;
  }
  std::lock_guard lock(mu_);
  const std::uint64_t id = ++next_id_;
  auto ring = std::make_unique<Ring>(*this, id, page, fd, std::move(pages));
  if (device != nullptr && device->adopt(ring.get())) {
    ring->adopted_by = device;
  } else {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = id;
    epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev);
  }
  rings_.emplace(id, std::move(ring));
  return Created{id, page, segment->fd, segment->offset, PhysicalMemory::kPageSize, fd};
}

void RegisterRings::remove(std::uint64_t id) {
  std::lock_guard lock(mu_);
  auto it = rings_.find(id);
  if (it == rings_.end()) return;
  Ring& ring = *it->second;
  if (ring.adopted_by != nullptr) {
    ring.adopted_by->release(&ring);
  } else {
    epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, ring.wake, nullptr);
  }
  ring.drain();
  close(ring.wake);
  memory_.free(ring.page);
  rings_.erase(it);
}

std::size_t RegisterRings::rings() const {
  std::lock_guard lock(mu_);
  return rings_.size();
}

std::size_t RegisterRings::adopted_rings() const {
  std::lock_guard lock(mu_);
  std::size_t n = 0;
  for (const auto& [id, ring] : rings_) n += ring->adopted_by != nullptr ? 1 : 0;
  return n;
}

bool RegisterRings::Ring::pending() const {
  auto* header = static_cast<postring::Header*>(page);
  const std::uint32_t capacity = postring::slot_capacity(PhysicalMemory::kPageSize);
  const std::uint64_t consumed = postring::atomic(header->consumed).load(std::memory_order_relaxed);
  return postring::atomic(postring::slots_of(header)[consumed % capacity].sequence).load(std::memory_order_acquire) ==
         consumed + 1;
}

std::size_t RegisterRings::Ring::drain() {
  auto* header = static_cast<postring::Header*>(page);
  postring::Slot* slots = postring::slots_of(header);
  const std::uint32_t capacity = postring::slot_capacity(PhysicalMemory::kPageSize);
  std::uint64_t consumed = postring::atomic(header->consumed).load(std::memory_order_relaxed);
  const std::uint64_t limit = registers.size() * PhysicalMemory::kPageSize;
  std::size_t taken = 0;
  for (;;) {
    postring::Slot& slot = slots[consumed % capacity];
    if (postring::atomic(slot.sequence).load(std::memory_order_acquire) != consumed + 1) break;
    const std::uint64_t offset = slot.offset;
    const std::uint64_t value = slot.value;
    const std::uint32_t size = slot.size;
    postring::atomic(header->consumed).store(++consumed, std::memory_order_release);
    ++taken;
    // The process wrote the slot: nothing of it is trusted.
    const bool sized = size == 1 || size == 2 || size == 4 || size == 8;
    PUCHAR target = nullptr;
    if (sized && offset < limit && offset % size == 0) {
      target = registers[offset / PhysicalMemory::kPageSize] + offset % PhysicalMemory::kPageSize;
    }
    if (target == nullptr || !Kernel::current().io_space().lookup(target, size)) {
      owner.refused_.fetch_add(1);
      continue;
    }
    switch (size) {
      case 1:
        WRITE_REGISTER_UCHAR(target, static_cast<UCHAR>(value));
        break;
      case 2:
        WRITE_REGISTER_USHORT(reinterpret_cast<volatile USHORT*>(target), static_cast<USHORT>(value));
        break;
      case 4:
        WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(target), static_cast<ULONG>(value));
        break;
      default:
        WRITE_REGISTER_ULONG64(reinterpret_cast<volatile ULONG64*>(target), value);
        break;
    }
    owner.applied_.fetch_add(1);
  }
  return taken;
}

void RegisterRings::run() {
  epoll_event events[16];
  for (;;) {
    int n = epoll_wait(epoll_fd_, events, 16, -1);
    if (n < 0) continue;
    for (int i = 0; i < n; ++i) {
      if (events[i].data.u64 == 0) return;
      std::lock_guard lock(mu_);
      auto it = rings_.find(events[i].data.u64);
      if (it == rings_.end()) continue;
      std::uint64_t count;
      while (::read(it->second->wake, &count, sizeof count) > 0) {
      }
      it->second->drain();
    }
  }
}

void UserMaps::forget_all(UserProcess& process) {
  std::map<std::uint64_t, UserMapping> mappings;
  {
    std::lock_guard lock(process.mu_);
    mappings.swap(process.mappings_);
  }
  for (auto& [address, mapping] : mappings) {
    if (mapping.ring != 0) IoManager::current().register_rings().remove(mapping.ring);
  }
}

namespace {

// The segment whose pages the list describes, whole and in order, or -1
// (logged) when it describes anything else.
int whole_segment(PMDL mdl, std::size_t pages) {
  PhysicalMemory& memory = Kernel::current().memory();
  PPFN_NUMBER pfns = MmGetMdlPfnArray(mdl);
  int fd = -1;
  for (std::size_t i = 0; i < pages; ++i) {
    const auto segment = memory.segment_of(static_cast<std::uint64_t>(pfns[i]) << PAGE_SHIFT);
    if (!segment) {
      DbgPrint("MmMapLockedPagesSpecifyCache(UserMode): page %zu is not in memory that may be mapped into a process\n",
               i);
      return -1;
    }
    if ((i != 0 && segment->fd != fd) || segment->offset != i * PAGE_SIZE || segment->pages != pages) {
      DbgPrint(
          "MmMapLockedPagesSpecifyCache(UserMode): the list does not describe one whole allocation; a process "
          "would see pages it was not given\n");
      return -1;
    }
    fd = segment->fd;
  }
  return fd;
}

}  // namespace

// Maps the list's pages into the calling process; the user address of the
// list's first byte, or null.
PVOID map_into_process(PMDL mdl) {
  if (KeGetCurrentIrql() > APC_LEVEL) {
    fault(SrcLoc::current(), "MmMapLockedPagesSpecifyCache(UserMode) at IRQL %u", KeGetCurrentIrql());
  }
  IoManager& io = IoManager::current();
  std::shared_ptr<UserProcess> process = io.process_of(PsGetCurrentProcess());
  if (process == nullptr || !process->alive()) {
    DbgPrint("MmMapLockedPagesSpecifyCache(UserMode): not in a user process's request\n");
    return nullptr;
  }
  MdlState* state = mdl_state(mdl);
  const std::size_t pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
  UserMapping mapping;
  mapping.pages = pages;
  if (state->kind == MdlState::Kind::IoSpace) {
    std::vector<PUCHAR> registers;
    for (std::size_t i = 0; i < pages; ++i) registers.push_back(static_cast<PUCHAR>(mdl->StartVa) + i * PAGE_SIZE);
    auto ring = io.register_rings().create(std::move(registers));
    if (!ring) return nullptr;
    mapping.ring = ring->id;
    mapping.address = process->link().map_registers(pages, ring->segment_fd, ring->offset, ring->bytes, ring->wake_fd);
    if (mapping.address == 0) {
      io.register_rings().remove(ring->id);
      return nullptr;
    }
  } else if (state->kind == MdlState::Kind::Kernel) {
    // A process is handed a whole segment: the list must describe every
    // page of one mappable allocation, in order, and nothing else.
    const int segment = whole_segment(mdl, pages);
    if (segment < 0) return nullptr;
    mapping.address = process->link().map_memory(segment, pages);
    if (mapping.address == 0) return nullptr;
  } else {
    DbgPrint("MmMapLockedPagesSpecifyCache(UserMode): user pages cannot be mapped into a process\n");
    return nullptr;
  }
  {
    std::lock_guard lock(process->mu_);
    process->mappings_[mapping.address] = mapping;
  }
  return reinterpret_cast<PVOID>(mapping.address + mdl->ByteOffset);
}

void unmap_from_process(PVOID base) {
  IoManager& io = IoManager::current();
  const std::uint64_t page = reinterpret_cast<std::uint64_t>(PAGE_ALIGN(base));
  std::shared_ptr<UserProcess> process = io.process_of(PsGetCurrentProcess());
  UserMapping mapping;
  bool found = false;
  if (process != nullptr) {
    std::lock_guard lock(process->mu_);
    auto it = process->mappings_.find(page);
    if (it != process->mappings_.end()) {
      mapping = it->second;
      process->mappings_.erase(it);
      found = true;
    }
  }
  if (!found) {
    DbgPrint("MmUnmapLockedPages(%p): not a mapping of the calling process; refused\n", base);
    return;
  }
  if (process->alive()) process->link().unmap(mapping.address, mapping.pages);
  if (mapping.ring != 0) io.register_rings().remove(mapping.ring);
}

}  // namespace plat
