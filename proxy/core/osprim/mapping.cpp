// Mapping caller and kernel buffers: descriptor lists, locked pages, system
// addresses, scatter-gather lists and physical page addresses.
//
// A caller's buffer is reached only through its descriptor list: the pages
// are probed and locked in the calling process and the kernel works on the
// system address. Probes raise on a bad range; the routines here catch that
// and undo what they did, so a caller sees a failure status and nothing stays
// locked.
#include <cstring>

#include "platform/kernel/io/usermem.h"
#include "proxy/core/osprim/osprim_kernel.h"

namespace {

constexpr std::uint32_t kPage = PAGE_SIZE;

std::uint32_t span_pages(std::uintptr_t address, std::uint32_t length) {
  return static_cast<std::uint32_t>(((address & (kPage - 1)) + length + kPage - 1) / kPage);
}

void clear_record(OSPrimMapRecord* map) { std::memset(map, 0, sizeof *map); }

// Calls `step` and reports whether it raised.
template <typename F>
bool raises(F step, NTSTATUS* code) {
  try {
    step();
  } catch (const plat::SehException& e) {
    *code = e.code;
    return true;
  }
  return false;
}

ZekStatus unlock_and_free(PMDL mdl) {
  if (mdl == nullptr) return ZEK_STATUS_PASS;
  if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
  IoFreeMdl(mdl);
  return ZEK_STATUS_PASS;
}

}  // namespace

ZekStatus OSPrimMapIt(void* address, std::uint32_t length, OSPrimMapRecord* map, void** systemAddress) {
  if (ZekIsBadPointer(map) || ZekIsBadPointer(systemAddress)) return ZEK_OSPRIM_FAILURE;
  *systemAddress = nullptr;
  clear_record(map);
  if (length == 0) {
    ZEK_LOG_FAILURE("OSPrimMapIt: ulLength is zero \n");
    return ZEK_OSPRIM_FAILURE;
  }
  NTSTATUS code = STATUS_SUCCESS;
  if (raises(
          [&] {
            ProbeForRead(address, length, 1);
            ProbeForWrite(address, length, 1);
          },
          &code)) {
    ZEK_LOG_FAILURE("OSPrimMapIt: probe of [x%p, %u bytes] raised (0x%x)\n", address, length,
                    static_cast<unsigned>(code));
    return ZEK_OSPRIM_FAILURE;
  }
  PMDL mdl = IoAllocateMdl(address, length, FALSE, FALSE, nullptr);
  if (mdl == nullptr) {
    ZEK_LOG_FAILURE("OSPrimMapIt: FILE[%s] LINE[%d]\n", __FILE__, __LINE__);
    return ZEK_OSPRIM_FAILURE;
  }
  if (raises([&] { MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess); }, &code)) {
    IoFreeMdl(mdl);
    ZEK_LOG_FAILURE("OSPrimMapIt: MmProbeAndLockPages raised (0x%x)\n", static_cast<unsigned>(code));
    return ZEK_OSPRIM_FAILURE;
  }
  void* system = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
  if (system == nullptr) {
    unlock_and_free(mdl);
    ZEK_LOG_FAILURE("OSPrimMapIt: Unable to GetSystemAddress\n");
    return ZEK_OSPRIM_FAILURE;
  }
  HANDLE secured = MmSecureVirtualMemory(address, length, PAGE_READWRITE);
  if (secured == nullptr) {
    unlock_and_free(mdl);
    ZEK_LOG_FAILURE("OSPrimMapIt: Unable to MmSecureVirtualMemory\n");
    return ZEK_OSPRIM_FAILURE;
  }
  map->Signature = ZEK_SIG_MAP_RECORD;
  map->CallerAddress = address;
  map->SystemAddress = system;
  map->Mdl = mdl;
  map->SecureHandle = secured;
  *systemAddress = system;
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimUnMapIt(OSPrimMapRecord* map) {
  if (ZekIsBadPointer(map) || map->Signature != ZEK_SIG_MAP_RECORD) return ZEK_OSPRIM_FAILURE;
  map->Signature = 0;
  map->SystemAddress = nullptr;
  unlock_and_free(map->Mdl);
  map->Mdl = nullptr;
  map->PageCount = 0;
  if (map->SecureHandle != nullptr) {
    if (KeGetCurrentIrql() > APC_LEVEL) {
      ZEK_LOG_FAILURE("OSPrimUnMapIt: IRQL %d too high to release the secured range\n",
                      static_cast<int>(KeGetCurrentIrql()));
      return ZEK_OSPRIM_FAILURE;
    }
    MmUnsecureVirtualMemory(map->SecureHandle);
    map->SecureHandle = nullptr;
  }
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimMapUserSgl(void* address, std::uint32_t length, OSPrimMapRecord* map, void** systemAddress) {
  if (OSPrimMapIt(address, length, map, systemAddress) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("OSPrimMapUserSgl: FILE[%s] LINE[%d]\n", __FILE__, __LINE__);
    return ZEK_OSPRIM_FAILURE;
  }
  const ZekStatus status = CreateSGLList(map);
  if (status != ZEK_STATUS_PASS) {
    OSPrimUnMapIt(map);
    *systemAddress = nullptr;
    ZEK_LOG_FAILURE("OSPrimMapUserSgl: CreateSGLList() returned error (0x%x)\n", status);
    return ZEK_OSPRIM_FAILURE;
  }
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimUnMapUserSgl(OSPrimMapRecord* map) { return OSPrimUnMapIt(map); }

ZekStatus OSPrimMapKernel(void* address, std::uint32_t length, OSPrimMapRecord* map, void** systemAddress) {
  if (ZekIsBadPointer(map) || ZekIsBadPointer(systemAddress) || ZekIsBadPointer(address)) return ZEK_OSPRIM_FAILURE;
  *systemAddress = nullptr;
  clear_record(map);
  if (length == 0) {
    ZEK_LOG_FAILURE("OSPrimMapKernel: ulLength is zero \n");
    return ZEK_OSPRIM_FAILURE;
  }
  PMDL mdl = IoAllocateMdl(address, length, FALSE, FALSE, nullptr);
  if (mdl == nullptr) {
    ZEK_LOG_FAILURE("OSPrimMapKernel: FILE[%s] LINE[%d]\n", __FILE__, __LINE__);
    return ZEK_OSPRIM_FAILURE;
  }
  MmBuildMdlForNonPagedPool(mdl);
  map->Signature = ZEK_SIG_MAP_RECORD;
  map->CallerAddress = address;
  map->SystemAddress = address;
  map->Mdl = mdl;
  *systemAddress = address;
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimUnMapKernel(OSPrimMapRecord* map) {
  if (ZekIsBadPointer(map) || map->Signature != ZEK_SIG_MAP_RECORD) return ZEK_OSPRIM_FAILURE;
  IoFreeMdl(map->Mdl);
  clear_record(map);
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimMapKernelSgl(void* address, std::uint32_t length, OSPrimMapRecord* map, void** systemAddress) {
  if (OSPrimMapKernel(address, length, map, systemAddress) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("OSPrimMapKernelSgl: FILE[%s] LINE[%d]\n", __FILE__, __LINE__);
    return ZEK_OSPRIM_FAILURE;
  }
  const ZekStatus status = CreateSGLList(map);
  if (status != ZEK_STATUS_PASS) {
    OSPrimUnMapKernel(map);
    *systemAddress = nullptr;
    ZEK_LOG_FAILURE("OSPrimMapKernelSgl: CreateSGLList() returned error (0x%x)\n", status);
    return ZEK_OSPRIM_FAILURE;
  }
  return ZEK_STATUS_PASS;
}

ZekStatus GetPhysicalPageCount(PMDL mdl, const void* address, std::uint32_t* count) {
  if (ZekIsBadPointer(mdl) || ZekIsBadPointer(count)) return ZEK_OSPRIM_FAILURE;
  std::uint32_t pages = span_pages(reinterpret_cast<std::uintptr_t>(address), MmGetMdlByteCount(mdl));
  for (PMDL next = mdl->Next; next != nullptr; next = next->Next) {
    pages += span_pages(MmGetMdlByteOffset(next), MmGetMdlByteCount(next));
  }
  *count = pages;
  return ZEK_STATUS_PASS;
}

namespace {

// Calls `visit(physical address of the page, first byte used in it, bytes
// used)` for every page of the chain, in order.
template <typename F>
void for_each_page(PMDL mdl, F visit) {
  for (; mdl != nullptr; mdl = mdl->Next) {
    const PPFN_NUMBER pfns = MmGetMdlPfnArray(mdl);
    std::uint32_t offset = MmGetMdlByteOffset(mdl);
    std::uint32_t left = MmGetMdlByteCount(mdl);
    for (std::uint32_t i = 0; left != 0; ++i) {
      const std::uint32_t used = left < kPage - offset ? left : kPage - offset;
      visit(static_cast<std::uint64_t>(pfns[i]) << PAGE_SHIFT, offset, used);
      left -= used;
      offset = 0;
    }
  }
}

bool is_mapped(const OSPrimMapRecord* map) {
  return !ZekIsBadPointer(map) && map->Signature == ZEK_SIG_MAP_RECORD && map->Mdl != nullptr;
}

}  // namespace

ZekStatus CreateSGLList(OSPrimMapRecord* map) {
  if (!is_mapped(map)) return ZEK_OSPRIM_FAILURE;
  std::uint32_t pages = 0;
  GetPhysicalPageCount(map->Mdl, MmGetMdlVirtualAddress(map->Mdl), &pages);
  if (pages > ZEK_MAP_MAX_SGL) {
    ZEK_LOG_FAILURE("CreateSGLList: FILE[%s] LINE[%d]\n", __FILE__, __LINE__);
    return ZEK_OSPRIM_FAILURE;
  }
  std::uint32_t entry = 0;
  for_each_page(map->Mdl, [&](std::uint64_t page, std::uint32_t offset, std::uint32_t used) {
    map->Sgl[entry++] = OSPrimSglEntry{page + offset, used};
  });
  map->PageCount = entry;
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimGetPageSizeAndNum(OSPrimMapRecord* map, void*, void*, std::uint64_t* pageSize, std::uint64_t mode,
                                  std::uint32_t* count) {
  if (ZekIsBadPointer(pageSize) || ZekIsBadPointer(count)) return ZEK_OSPRIM_FAILURE;
  if (!is_mapped(map)) {
    ZEK_LOG_FAILURE("OSPrimGetPagsSizeAndNum: mdl not mapped\n");
    return ZEK_OSPRIM_FAILURE;
  }
  std::uint32_t pages = 0;
  bool contiguous = true;
  std::uint64_t previous = 0;
  for_each_page(map->Mdl, [&](std::uint64_t page, std::uint32_t, std::uint32_t) {
    if (pages != 0 && page != previous + kPage) contiguous = false;
    previous = page;
    ++pages;
  });
  if (pages > 1 && contiguous) pages = 1;
  *count = pages;
  *pageSize = pages == 1 && (mode & ZEK_PAGE_SIZE_CONTIGUOUS) != 0 ? ZEK_PAGE_SIZE_CONTIGUOUS : kPage;
  return ZEK_STATUS_PASS;
}

ZekStatus OSPrimGetPhysAddresses(OSPrimMapRecord* map, void*, void*, std::uint64_t* addresses, std::uint32_t capacity,
                                 void*, std::uint32_t* firstOffset) {
  if (ZekIsBadPointer(addresses) || ZekIsBadPointer(firstOffset) || !is_mapped(map)) return ZEK_OSPRIM_FAILURE;
  std::uint32_t pages = 0;
  GetPhysicalPageCount(map->Mdl, MmGetMdlVirtualAddress(map->Mdl), &pages);
  if (pages > capacity) {
    ZEK_LOG_FAILURE("OSPrimGetPhysAddresses: %u pages do not fit in %u entries\n", pages, capacity);
    return ZEK_OSPRIM_FAILURE;
  }
  *firstOffset = MmGetMdlByteOffset(map->Mdl);
  std::uint32_t index = 0;
  for_each_page(map->Mdl, [&](std::uint64_t page, std::uint32_t, std::uint32_t) { addresses[index++] = page; });
  return ZEK_STATUS_PASS;
}
