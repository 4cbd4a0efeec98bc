// Contiguous memory, physical addresses and register-window mapping.
#include "platform/kernel/mm.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/kernel.h"

using plat::fault;
using plat::Kernel;

PVOID MmAllocateContiguousMemorySpecifyCache(SIZE_T NumberOfBytes, PHYSICAL_ADDRESS,
                                             PHYSICAL_ADDRESS HighestAcceptableAddress,
                                             PHYSICAL_ADDRESS BoundaryAddressMultiple, MEMORY_CACHING_TYPE,
                                             const SrcLoc& where) {
  if (plat::this_thread().irql > DISPATCH_LEVEL) {
    fault(where, "contiguous memory allocated at IRQL %u", plat::this_thread().irql);
  }
  Kernel& k = Kernel::current();
  void* block = k.memory().allocate(NumberOfBytes, plat::PhysicalMemory::Layout::Contiguous,
                                    static_cast<std::uint64_t>(HighestAcceptableAddress.QuadPart),
                                    static_cast<std::uint64_t>(BoundaryAddressMultiple.QuadPart));
  if (block != nullptr) k.contiguous().add(block, ROUND_TO_PAGES(NumberOfBytes));
  return block;
}

PVOID MmAllocateContiguousMemory(SIZE_T NumberOfBytes, PHYSICAL_ADDRESS HighestAcceptableAddress, const SrcLoc& where) {
  PHYSICAL_ADDRESS zero{};
  return MmAllocateContiguousMemorySpecifyCache(NumberOfBytes, zero, HighestAcceptableAddress, zero, MmCached, where);
}

void MmFreeContiguousMemory(PVOID BaseAddress, const SrcLoc& where) {
  Kernel& k = Kernel::current();
  if (!k.contiguous().remove(BaseAddress)) {
    fault(where, "MmFreeContiguousMemory(%p): not a contiguous block (freed twice?)", BaseAddress);
  }
  k.memory().free(BaseAddress);
}

void MmFreeContiguousMemorySpecifyCache(PVOID BaseAddress, SIZE_T, MEMORY_CACHING_TYPE, const SrcLoc& where) {
  MmFreeContiguousMemory(BaseAddress, where);
}

PHYSICAL_ADDRESS MmGetPhysicalAddress(PVOID BaseAddress) {
  PHYSICAL_ADDRESS pa;
  pa.QuadPart = static_cast<LONGLONG>(Kernel::current().memory().physical_address(BaseAddress));
  return pa;
}

PVOID MmGetVirtualForPhysical(PHYSICAL_ADDRESS PhysicalAddress) {
  return Kernel::current().memory().kernel_address(static_cast<std::uint64_t>(PhysicalAddress.QuadPart));
}

BOOLEAN MmIsAddressValid(PVOID VirtualAddress) {
  return Kernel::current().memory().is_mapped(VirtualAddress) ? TRUE : FALSE;
}

PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes, MEMORY_CACHING_TYPE) {
  return Kernel::current().io_space().map(static_cast<std::uint64_t>(PhysicalAddress.QuadPart), NumberOfBytes);
}

void MmUnmapIoSpace(PVOID BaseAddress, SIZE_T, const SrcLoc& where) {
  if (!Kernel::current().io_space().unmap(BaseAddress)) {
    fault(where, "MmUnmapIoSpace(%p): not a mapped register window", BaseAddress);
  }
}
