// Memory descriptor lists.
#include "platform/kernel/io/mdl.h"

#include <cstring>
#include <memory>

#include "platform/kernel/dbg.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/io/io.h"
#include "platform/kernel/io/mdl_internal.h"
#include "platform/kernel/io/procmem.h"
#include "platform/kernel/io/usermem.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/process.h"

namespace plat {
namespace {

constexpr ULONG kMdlTag = MAKEFOURCC_LE('M', 'd', 'l', ' ');
constexpr ULONG kSecureTag = MAKEFOURCC_LE('M', 'm', 'S', 'c');
constexpr std::size_t kPage = PAGE_SIZE;

// Locked pages of a user process, seen by physical address: the shared
// pages themselves (plain copies), or else the process's memory by pid.
// Nothing is reached once the process has gone, whoever has its pid now.
class UserPages final : public PhysicalMemory::ForeignRange {
 public:
  UserPages(std::shared_ptr<procmem::Life> life, std::uint64_t base, std::shared_ptr<procmem::SharedPages> pages)
      : life_(std::move(life)), base_(base), pages_(std::move(pages)) {}
  bool read(std::uint64_t offset, void* destination, std::size_t length) override {
    if (pages_) {
      if (offset + length > pages_->size()) return false;
      std::memcpy(destination, pages_->data() + offset, length);
      return true;
    }
    return procmem::read(life_->pid(), base_ + offset, destination, length);
  }
  bool write(std::uint64_t offset, const void* source, std::size_t length) override {
    if (pages_) {
      if (!pages_->writable() || offset + length > pages_->size()) return false;
      std::memcpy(pages_->data() + offset, source, length);
      return true;
    }
    return procmem::write(life_->pid(), base_ + offset, source, length);
  }
  // Pages the host maps take the watcher's word (a transfer just after the
  // exit reaches only the host's own mapping); transfers by pid ask the
  // kernel, since a pid may name a new process once the old one is reaped.
  bool gone() const override { return pages_ ? life_->seen_gone() : life_->gone(); }

 private:
  const std::shared_ptr<procmem::Life> life_;
  const std::uint64_t base_;
  // Kept here, so that a transfer in flight outlives the unlock.
  const std::shared_ptr<procmem::SharedPages> pages_;
};

std::size_t span_pages(const MDL* mdl) {
  return ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
}

// Writes back the runs of described bytes that the kernel changed in its copy.
void write_back(PMDL mdl, MdlState& state) {
  const auto* now = static_cast<const std::byte*>(state.view) + mdl->ByteOffset;
  const std::byte* before = state.snapshot.data();
  const std::uint64_t user = reinterpret_cast<std::uint64_t>(MmGetMdlVirtualAddress(mdl));
  std::size_t i = 0;
  const std::size_t n = state.snapshot.size();
  while (i < n) {
    if (now[i] == before[i]) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < n && now[j] != before[j]) ++j;
    if (!procmem::write(state.pid, user + i, now + i, j - i)) {
      DbgPrint("MmUnlockPages: process %d no longer has the pages at %p\n", static_cast<int>(state.pid),
               reinterpret_cast<void*>(user + i));
      return;
    }
    i = j;
  }
}

void release_view(MdlState& state) {
  if (state.view == nullptr) return;
  Kernel::current().memory().free(state.view);
  state.view = nullptr;
  state.snapshot.clear();
}

}  // namespace
}  // namespace plat

using plat::Kernel;
using plat::MdlState;

SIZE_T MmSizeOfMdl(PVOID Base, SIZE_T Length) {
  return sizeof(MDL) + ADDRESS_AND_SIZE_TO_SPAN_PAGES(Base, Length) * sizeof(PFN_NUMBER);
}

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN, IRP* Irp) {
  if (Length == 0 || Length > 0x7FFFFFFFu) return nullptr;
  const SIZE_T bytes = MmSizeOfMdl(VirtualAddress, Length);
  auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, bytes, plat::kMdlTag));
  if (mdl == nullptr) return nullptr;
  std::memset(mdl, 0, bytes);
  mdl->Size = static_cast<CSHORT>(bytes > 0x7FFF ? 0x7FFF : bytes);
  mdl->StartVa = PAGE_ALIGN(VirtualAddress);
  mdl->ByteOffset = static_cast<ULONG>(BYTE_OFFSET(VirtualAddress));
  mdl->ByteCount = Length;
  mdl->Impl = new MdlState;
  if (Irp != nullptr) {
    if (!SecondaryBuffer || Irp->MdlAddress == nullptr) {
      Irp->MdlAddress = mdl;
    } else {
      PMDL tail = Irp->MdlAddress;
      while (tail->Next != nullptr) tail = tail->Next;
      tail->Next = mdl;
    }
  }
  return mdl;
}

void IoFreeMdl(PMDL Mdl) {
  if (Mdl == nullptr) return;
  if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
    DbgPrint("IoFreeMdl(%p): the pages are still locked; unlocking them\n", static_cast<void*>(Mdl));
    MmUnlockPages(Mdl);
  }
  delete plat::mdl_state(Mdl);
  ExFreePoolWithTag(Mdl, plat::kMdlTag);
}

void MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  PMDL mdl = MemoryDescriptorList;
  MdlState* state = plat::mdl_state(mdl);
  auto& memory = Kernel::current().memory();
  PVOID va = MmGetMdlVirtualAddress(mdl);
  PPFN_NUMBER pfns = MmGetMdlPfnArray(mdl);
  const std::size_t pages = plat::span_pages(mdl);
  if (!memory.in_kernel_window(va) && Kernel::current().io_space().lookup(mdl->StartVa, 4)) {
    state->kind = MdlState::Kind::IoSpace;
    mdl->MdlFlags |= MDL_IO_SPACE;
    for (std::size_t i = 0; i < pages; ++i) pfns[i] = 0;
  } else {
    state->kind = MdlState::Kind::Kernel;
    for (std::size_t i = 0; i < pages; ++i) {
      pfns[i] = memory.physical_address(static_cast<char*>(mdl->StartVa) + i * plat::kPage) >> PAGE_SHIFT;
    }
  }
  mdl->MappedSystemVa = va;
  mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

void MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation,
                         const SrcLoc& where) {
  PMDL mdl = MemoryDescriptorList;
  MdlState* state = plat::mdl_state(mdl);
  if (mdl->MdlFlags & MDL_PAGES_LOCKED) {
    DbgPrint("MmProbeAndLockPages(%p): already locked\n", static_cast<void*>(mdl));
    ExRaiseStatus(STATUS_INVALID_PARAMETER);
  }
  auto& memory = Kernel::current().memory();
  PVOID va = MmGetMdlVirtualAddress(mdl);
  PPFN_NUMBER pfns = MmGetMdlPfnArray(mdl);
  const std::size_t pages = plat::span_pages(mdl);
  const pid_t pid = plat::procmem::current_pid();
  const KIRQL irql = KeGetCurrentIrql();
  if (memory.in_kernel_window(va)) {
    // Kernel memory: never on behalf of a user-mode requestor.
    if (irql > DISPATCH_LEVEL) plat::fault(where, "MmProbeAndLockPages of kernel memory at IRQL %u", irql);
    if (AccessMode == UserMode) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    state->kind = MdlState::Kind::Kernel;
    for (std::size_t i = 0; i < pages; ++i) {
      pfns[i] = memory.physical_address(static_cast<char*>(mdl->StartVa) + i * plat::kPage) >> PAGE_SHIFT;
    }
    mdl->MdlFlags |= MDL_PAGES_LOCKED;
    return;
  }
  plat::require_user_irql("MmProbeAndLockPages", where);
  // The system process has no user memory.
  if (pid == 0) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
  const auto address = reinterpret_cast<ULONG_PTR>(va);
  const bool write = Operation != IoReadAccess;
  if (address + mdl->ByteCount > MM_USER_PROBE_ADDRESS ||
      !plat::procmem::accessible(pid, address, mdl->ByteCount,
                                 write ? plat::procmem::Access::Write : plat::procmem::Access::Read)) {
    ExRaiseStatus(STATUS_ACCESS_VIOLATION);
  }
  std::shared_ptr<plat::procmem::Life> life = plat::procmem::Life::watch(pid);
  if (life == nullptr) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
  const auto start = reinterpret_cast<std::uint64_t>(mdl->StartVa);
  // Memory the process shares (its runtime's allocations) is pinned by the
  // host's own mapping; other memory is reached by pid.
  std::shared_ptr<plat::procmem::SharedPages> shared =
      plat::procmem::SharedPages::map(*life, start, pages * plat::kPage, write);
  const std::uint64_t base = memory.add_foreign_range(pages, std::make_shared<plat::UserPages>(life, start, shared));
  for (std::size_t i = 0; i < pages; ++i) pfns[i] = memory.foreign_page(base, i) >> PAGE_SHIFT;
  state->kind = MdlState::Kind::User;
  state->pid = pid;
  state->life = std::move(life);
  state->pages = std::move(shared);
  state->foreign_base = base;
  state->operation = Operation;
  mdl->Process = PsGetCurrentProcess();
  mdl->MdlFlags |= MDL_PAGES_LOCKED;
}

void MmUnlockPages(PMDL MemoryDescriptorList, const SrcLoc& where) {
  plat::require_irql_at_most("MmUnlockPages", DISPATCH_LEVEL, where);
  PMDL mdl = MemoryDescriptorList;
  MdlState* state = plat::mdl_state(mdl);
  if (!(mdl->MdlFlags & MDL_PAGES_LOCKED)) {
    DbgPrint("MmUnlockPages(%p): the pages are not locked\n", static_cast<void*>(mdl));
    return;
  }
  if (state->kind == MdlState::Kind::User) {
    if (state->view != nullptr && state->operation != IoReadAccess) plat::write_back(mdl, *state);
    plat::release_view(*state);
    Kernel::current().memory().remove_foreign_range(state->foreign_base);
    state->foreign_base = 0;
    state->pages.reset();
    state->life.reset();
    mdl->MdlFlags &= static_cast<CSHORT>(~MDL_MAPPED_TO_SYSTEM_VA);
    mdl->MappedSystemVa = nullptr;
    mdl->Process = nullptr;
  }
  mdl->MdlFlags &= static_cast<CSHORT>(~MDL_PAGES_LOCKED);
}

PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG, const SrcLoc& where) {
  plat::require_irql_at_most("MmGetSystemAddressForMdlSafe", DISPATCH_LEVEL, where);
  if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) return Mdl->MappedSystemVa;
  MdlState* state = plat::mdl_state(Mdl);
  if (!(Mdl->MdlFlags & MDL_PAGES_LOCKED)) {
    DbgPrint("MmGetSystemAddressForMdlSafe(%p): the pages are not locked\n", static_cast<void*>(Mdl));
    return nullptr;
  }
  if (state->kind == MdlState::Kind::Kernel) {
    Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
    Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return Mdl->MappedSystemVa;
  }
  if (state->pages) {
    // The shared pages themselves: the process, the kernel and the adapter
    // see one set of bytes.
    Mdl->MappedSystemVa = state->pages->data() + Mdl->ByteOffset;
    Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return Mdl->MappedSystemVa;
  }
  if (Mdl->ByteCount > MM_COPIED_VIEW_LIMIT) {
    DbgPrint(
        "MmGetSystemAddressForMdlSafe(%p): %lu bytes of memory the process does not share; a copied view is "
        "made of at most %lu\n",
        static_cast<void*>(Mdl), static_cast<unsigned long>(Mdl->ByteCount),
        static_cast<unsigned long>(MM_COPIED_VIEW_LIMIT));
    return nullptr;
  }
  const std::size_t pages = plat::span_pages(Mdl);
  void* view = Kernel::current().memory().allocate(pages * plat::kPage, plat::PhysicalMemory::Layout::Any, UINT64_MAX,
                                                   0, plat::PhysicalMemory::Sharing::Private);
  if (view == nullptr) return nullptr;
  auto* described = static_cast<std::byte*>(view) + Mdl->ByteOffset;
  if (!plat::procmem::read(state->pid, reinterpret_cast<std::uint64_t>(MmGetMdlVirtualAddress(Mdl)), described,
                           Mdl->ByteCount)) {
    Kernel::current().memory().free(view);
    return nullptr;
  }
  state->view = view;
  state->snapshot.assign(described, described + Mdl->ByteCount);
  Mdl->MappedSystemVa = described;
  Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return Mdl->MappedSystemVa;
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, MEMORY_CACHING_TYPE, PVOID,
                                   ULONG, ULONG Priority) {
  if (AccessMode == KernelMode) return MmGetSystemAddressForMdlSafe(MemoryDescriptorList, Priority);
  return plat::map_into_process(MemoryDescriptorList);
}

PVOID MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode) {
  return MmMapLockedPagesSpecifyCache(MemoryDescriptorList, AccessMode, MmCached, nullptr, FALSE, NormalPagePriority);
}

void MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList, const SrcLoc& where) {
  if (BaseAddress == nullptr) return;
  // The system address stays until the pages are unlocked or the list freed.
  if (BaseAddress == MemoryDescriptorList->MappedSystemVa) return;
  plat::require_user_irql("MmUnmapLockedPages(user mapping)", where);
  plat::unmap_from_process(BaseAddress);
}

namespace {
struct SecuredRange {
  pid_t pid;
  ULONG_PTR address;
  SIZE_T size;
};
}  // namespace

HANDLE MmSecureVirtualMemory(PVOID Address, SIZE_T Size, ULONG ProbeMode, const SrcLoc& where) {
  plat::require_user_irql("MmSecureVirtualMemory", where);
  const auto address = reinterpret_cast<ULONG_PTR>(Address);
  if (Size == 0 || address + Size < address || address + Size > MM_USER_PROBE_ADDRESS) return nullptr;
  const pid_t pid = plat::procmem::current_pid();
  if (pid == 0 || Kernel::current().memory().in_kernel_window(Address)) return nullptr;
  if (!plat::procmem::accessible(
          pid, address, Size,
          ProbeMode == PAGE_READONLY ? plat::procmem::Access::Read : plat::procmem::Access::Write)) {
    return nullptr;
  }
  auto* range = static_cast<SecuredRange*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(SecuredRange), plat::kSecureTag));
  if (range == nullptr) return nullptr;
  *range = SecuredRange{pid, address, Size};
  return range;
}

void MmUnsecureVirtualMemory(HANDLE SecureHandle) {
  if (SecureHandle != nullptr) ExFreePoolWithTag(SecureHandle, plat::kSecureTag);
}
