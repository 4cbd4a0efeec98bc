// Kernel memory mapped into user processes (proxy/core/user_mapping.h).
#include "proxy/core/user_mapping.h"

#include <cstring>

#include "include/zek/mifh.h"
#include "proxy/core/osprim/osprim_kernel.h"
#include "proxy/rdma/verbs/verbs.h"

namespace {

constexpr ULONG kPartTag = 0x50524155;  // "UARP"

// The PD's doorbell page in the adapter's window, or null (logged).
void* doorbell_page(void* object, ULONG size) {
  auto* pd = static_cast<ZekPd*>(object);
  if (ZekIsBadPointer(pd) || ZekIsBadPointer(pd->Hw.Device)) {
    ZEK_LOG_FAILURE("MapKernelMemToUserMode: no protection domain for the doorbell page\n");
    return nullptr;
  }
  const MifhDeviceObj* d = pd->Hw.Device;
  const std::uint64_t index = static_cast<std::uint64_t>(pd->Hw.PdId) - d->FirstPdId;
  if (d->DoorbellWindow == nullptr || pd->Hw.PdId < d->FirstPdId || index >= d->PdCount ||
      (index + 1) * size > d->DoorbellWindowLength) {
    ZEK_LOG_FAILURE("MapKernelMemToUserMode: PD (0x%x) has no page in the doorbell window\n", pd->Hw.PdId);
    return nullptr;
  }
  return const_cast<std::uint8_t*>(d->DoorbellWindow) + index * size;
}

}  // namespace

ULONG MapKernelMemoryToUserMode(void* object, void* kernel, ULONG size, std::uint64_t* user, ZpxUserMapping* record,
                                ULONG mode) {
  if (ZekIsBadPointer(user) || ZekIsBadPointer(record) || size == 0) return 1;
  *user = 0;
  if (record->Mdl != nullptr) {
    ZEK_LOG_FAILURE("MapKernelMemToUserMode: the record holds a mapping already; refused\n");
    return 1;
  }
  if (mode == ZPX_MAP_DOORBELL) kernel = doorbell_page(object, size);
  if (kernel == nullptr) return 1;
  PMDL mdl = IoAllocateMdl(kernel, size, FALSE, FALSE, nullptr);
  if (mdl == nullptr) {
    ZEK_LOG_FAILURE("MapKernelMemToUserMode: Couldn't create MDL for pMem (0x%x) size (0x%x)\n",
                    static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(kernel)), size);
    return 1;
  }
  MmBuildMdlForNonPagedPool(mdl);
  PVOID mapped = MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
  if (mapped == nullptr) {
    ZEK_LOG_FAILURE("MapKernelMemToUserMode: Couldn't Lock pages for pKernelAddr (0x%x) size (0x%x)\n",
                    static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(kernel)), size);
    IoFreeMdl(mdl);
    return 1;
  }
  record->Mdl = mdl;
  record->UserAddress = reinterpret_cast<std::uint64_t>(mapped);
  record->Process = PsGetCurrentProcessId();
  *user = record->UserAddress;
  return 0;
}

ULONG UnMapKernelMemToUserMode(ZpxUserMapping* record) {
  if (ZekIsBadPointer(record) || record->Mdl == nullptr) return 0;
  if (record->Process == PsGetCurrentProcessId()) {
    MmUnmapLockedPages(reinterpret_cast<PVOID>(record->UserAddress), record->Mdl);
  } else {
    // Only the process itself can drop its view: it goes with the process.
    OSPrimMemoryLogging("UnMapKernelMemToUserMode: mapping %llx of process %p left to its end\n",
                        static_cast<unsigned long long>(record->UserAddress), record->Process);
  }
  IoFreeMdl(record->Mdl);
  *record = ZpxUserMapping{};
  return 0;
}

void* ZpxAllocateMappablePages(std::uint32_t bytes) {
  if (bytes == 0) return nullptr;
  PHYSICAL_ADDRESS highest;
  highest.QuadPart = -1;
  void* pages = MmAllocateContiguousMemory(ZpxPageRound(bytes), highest);
  if (pages != nullptr) std::memset(pages, 0, ZpxPageRound(bytes));
  return pages;
}

void ZpxFreeMappablePages(void* pages) {
  if (pages != nullptr) MmFreeContiguousMemory(pages);
}

ZpxUserPart* ZpxAllocateUserPart() {
  auto* part = static_cast<ZpxUserPart*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ZpxUserPart), kPartTag));
  if (part != nullptr) std::memset(static_cast<void*>(part), 0, sizeof *part);
  return part;
}

void ZpxReleaseUserPart(void** pointer) {
  if (ZekIsBadPointer(pointer) || *pointer == nullptr) return;
  auto* part = static_cast<ZpxUserPart*>(*pointer);
  *pointer = nullptr;
  UnMapKernelMemToUserMode(&part->Page);
  UnMapKernelMemToUserMode(&part->Ring);
  UnMapKernelMemToUserMode(&part->Ring2);
  ZpxFreeMappablePages(part->PageMemory);
  ExFreePoolWithTag(part, kPartTag);
}
