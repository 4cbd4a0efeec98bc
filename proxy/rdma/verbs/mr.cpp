// Memory regions: the STag records and their list, allocation of an STag
// for fast registration, registration from a buffer or a physical page list,
// re-registration, shared registration, deallocation (regions and windows)
// and the query; the check of a work request's local scatter-gather entries.
//
// What the adapter is told only changes the records after it confirmed:
// a registration is listed, a share counted and a source marked shared, a
// deallocation unmaps and drops its reference, only once the control request
// completed without an error. A wait that is given up leaves the record
// with the adapter's state unknown: the record stays (its pages mapped, its
// index and page lists held) until a later deallocation or the adapter's
// close settles it, or, for a deallocation, for good (quarantined).
#include <cstring>

#include "include/hw/stag.h"
#include "proxy/rdma/hw/pool_ops.h"
#include "proxy/rdma/hw/query_stag.h"
#include "proxy/rdma/hw/work_requests.h"
#include "proxy/rdma/verbs/verbs.h"

namespace {

bool lock(OSPrimSpinlockObject* l) { return OSPrimSyncAcquireSpinlockObject(l) == ZEK_STATUS_PASS; }
void unlock(OSPrimSpinlockObject* l) { OSPrimSyncReleaseSpinlockObject(l); }

ZekStagRecord* new_record(ZekIwarpAdapter* a, ZekPd* pd, std::uint32_t index, bool region) {
  auto* r = static_cast<ZekStagRecord*>(mifh_allocate_staginfo_buffer());
  if (r == nullptr) return nullptr;
  std::memset(static_cast<void*>(r), 0, sizeof *r);
  r->Adapter = a;
  r->Pd = pd;
  r->Index = index;
  r->IsRegion = region ? 1 : 0;
  r->NonShared = region ? 1 : 0;
  return r;
}

void link_record(ZekIwarpAdapter* a, ZekStagRecord* r) {
  if (!lock(&a->StagListSpinlock)) return;
  ZekVerbsListAppend(&a->StagList, &r->Link, r);
  unlock(&a->StagListSpinlock);
}

// Releases the page lists of a registration once the adapter has them.
void free_pages(ZekMrte* mrte, ZekPageList* pages, ZekMrAllocInfo* info) {
  if (info != nullptr) MRTE_Serf_Create_Complete(mrte, info);
  if (pages != nullptr && pages->Pages != nullptr) OSPrimMemDMAFree(pages->Pages);
  if (pages != nullptr) pages->Pages = nullptr;
}

void free_pending(ZekIwarpAdapter* a, ZekStagRecord* r) {
  free_pages(a->Mrte, r->PendingPages, r->PendingInfo);
  if (r->PendingPages != nullptr) OSPrimMemFreePtr(r->PendingPages);
  if (r->PendingInfo != nullptr) OSPrimMemFreePtr(r->PendingInfo);
  r->PendingPages = nullptr;
  r->PendingInfo = nullptr;
}

void release_mapping(ZekStagRecord* r) {
  if (r->Mapped == 0) return;
  ZekUnmapRegion(&r->Map, r->SecuredUser != 0 ? ZEK_MR_USER_BUFFER : ZEK_MR_KERNEL_BUFFER);
  r->Mapped = 0;
  r->SecuredUser = 0;
}

// Everything a record holds goes back: index, page-list chunks, mapping,
// the record itself (unlinked first when listed).
void destroy_record(ZekIwarpAdapter* a, ZekStagRecord* r, bool listed) {
  if (listed && lock(&a->StagListSpinlock)) {
    ZekVerbsListRemove(&a->StagList, &r->Link);
    unlock(&a->StagListSpinlock);
  }
  if (const ZekStatus s = L_FreeResource(a->Larmit, ZEK_RES_MR, r->Index); s != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("zek_complete_dealloc_stag():FreeMemoryRegion() FreeMemoryRegion error (0x%x)\n", s);
  }
  if (r->Chunks.Chunks256 != 0 || r->Chunks.Chunks4k != 0) {
    if (const ZekStatus s = MRTE_Serf_Teardown_MR(a->Mrte, &r->Chunks); s != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("zek_complete_dealloc_stag(): Teardown_MR() returned (0x%x)\n", s);
    }
  }
  free_pending(a, r);
  release_mapping(r);
  mifh_free_staginfo_buffer(r);
}

bool rights_valid(std::uint32_t access) {
  if ((access & (ZEK_ACCESS_LOCAL_READ | ZEK_ACCESS_LOCAL_WRITE)) == 0) {
    ZEK_LOG_FAILURE("zek_async_mr_register_nonshared():no local read or local write access rights set (0x%x)\n",
                    access);
    return false;
  }
  if ((access & ZEK_ACCESS_REMOTE_READ) != 0 && (access & ZEK_ACCESS_LOCAL_READ) == 0) {
    ZEK_LOG_FAILURE("zek_async_mr_register_nonshared():no local read access right but remote read is set(0x%x)\n",
                    access);
    return false;
  }
  if ((access & ZEK_ACCESS_REMOTE_WRITE) != 0 && (access & ZEK_ACCESS_LOCAL_WRITE) == 0) {
    ZEK_LOG_FAILURE("zek_async_mr_register_nonshared():no local write access right but remote write is set(0x%x)\n",
                    access);
    return false;
  }
  return true;
}

// The adapter and PD of a verb: 0, or the verb's status.
ZekStatus check_pd(ZekIwarpAdapter* a, void* pd) {
  if (ZekIsBadPointer(pd) || FindPDObject(a, pd) != ZEK_STATUS_PASS) return IWARP_STATUS_PD_INVALID_PD_ID;
  if (a->Base == nullptr || a->Device == nullptr || ZekIsBadPointer(a->Device->Cqp)) return ZEK_STATUS_FAIL;
  return ZEK_STATUS_PASS;
}

// Sends a control request built by `post` and waits for it (ZekRunControl).
template <typename Post>
ZekStatus run_control(ZekIwarpAdapter* a, const char* verb, Post post, bool* abandoned,
                      MifhCqpCompletionContext* codes = nullptr) {
  return ZekRunControl(
      a, verb, [](void* argument, MifhCqpCompletionContext* c) { return (*static_cast<Post*>(argument))(c); }, &post,
      abandoned, codes);
}

std::uint32_t page_list_capacity(std::uint64_t address, std::uint32_t length) {
  return static_cast<std::uint32_t>(((address & 0xFFF) + length + 0xFFF) >> 12);
}

}  // namespace

ZekStatus ZekTakeStagRecord(ZekIwarpAdapter* a, ZekPd* pd, bool region, const char* verb, ZekStagRecord** out) {
  *out = nullptr;
  std::uint32_t index = 0;
  if (const ZekStatus s = L_GetResource(a->Larmit, ZEK_RES_MR, &index); s != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("%s():GetMemoryRegion() returned error (0x%x) \n", verb, s);
    return ZEK_STATUS_FAIL;
  }
  *out = new_record(a, pd, index, region);
  if (*out == nullptr) {
    ZEK_LOG_FAILURE("%s(): couldn't allocate memfor staginfo\n", verb);
    L_FreeResource(a->Larmit, ZEK_RES_MR, index);
    return ZEK_STATUS_RES_INSUFFICIENT_SW;
  }
  return ZEK_STATUS_PASS;
}
void ZekLinkStagRecord(ZekIwarpAdapter* a, ZekStagRecord* r) { link_record(a, r); }
void ZekDestroyStagRecord(ZekIwarpAdapter* a, ZekStagRecord* r, bool listed) { destroy_record(a, r, listed); }

ZekStatus ZekRunControl(ZekIwarpAdapter* a, const char* verb, ZekControlPost post, void* argument, bool* abandoned,
                        MifhCqpCompletionContext* codes) {
  *abandoned = false;
  ZekCompContext* wait = nullptr;
  if (ZpxInitializeCompEventContext(&wait, a) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  if (const ZekStatus s = post(argument, &wait->Hw); s != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("%s: the control request returned error (0x%x)\n", verb, s);
    ZpxDestroyCompEventContext(wait, a, 0);
    return ZEK_STATUS_FAIL;
  }
  return ZekWaitCompContext(a, wait, verb, abandoned, codes);
}

// ---- The list and the checks ---------------------------------------------------------------------------
extern "C" ZekStatus InsertInMRList(ZekIwarpAdapter* adapter, ZekStagRecord* record) {
  if (ZekIsBadPointer(adapter) || ZekIsBadPointer(record)) return ZEK_STATUS_FAIL;
  link_record(adapter, record);
  return ZEK_STATUS_PASS;
}

extern "C" ZekStatus RemoveFromMRList(ZekIwarpAdapter* adapter, ZekStagRecord* record) {
  if (ZekIsBadPointer(adapter) || ZekIsBadPointer(record) || !lock(&adapter->StagListSpinlock)) {
    return ZEK_STATUS_FAIL;
  }
  const bool listed = ZekVerbsListHolds(&adapter->StagList, record);
  if (listed) ZekVerbsListRemove(&adapter->StagList, &record->Link);
  unlock(&adapter->StagListSpinlock);
  return listed ? ZEK_STATUS_PASS : ZEK_STATUS_FAIL;
}

ZekStagRecord* ZekFindStagLocked(ZekIwarpAdapter* a, std::uint32_t index, ZekStagKind kind) {
  for (ZekVerbsLink* l = a->StagList.First; l != nullptr; l = l->Next) {
    auto* r = static_cast<ZekStagRecord*>(l->Data);
    if (r->Index != index || r->Busy != 0) continue;
    if (kind == ZekStagKind::Region && r->IsRegion == 0) continue;
    if (kind == ZekStagKind::Window && r->IsRegion != 0) continue;
    return r;
  }
  return nullptr;
}

ZekStatus ZekCheckLocalSge(ZekIwarpAdapter* a, const ZekPd* pd, const ZekSge& sge, std::uint32_t access) {
  if (!lock(&a->StagListSpinlock)) return ZEK_STATUS_FAIL;
  ZekStatus status = IWARP_STATUS_MR_INVALID_STAG;
  const ZekStagRecord* r = ZekFindStagLocked(a, zekhw::stag_index(sge.Stag), ZekStagKind::Region);
  if (r != nullptr && r->Key == zekhw::stag_key(sge.Stag) && r->Valid != 0 && r->Pd == pd &&
      (r->Access & access) == access) {
    const std::uint64_t base = r->ZeroBased != 0 ? 0 : r->Address;
    const bool inside =
        sge.Address >= base && sge.Address - base <= r->Length && sge.Length <= r->Length - (sge.Address - base);
    status = inside ? ZEK_STATUS_PASS : IWARP_STATUS_QP_INVALID_SGL_LEN;
  }
  unlock(&a->StagListSpinlock);
  return status;
}

void ZekStagInvalidated(ZekIwarpAdapter* a, std::uint32_t stag) {
  if (!lock(&a->StagListSpinlock)) return;
  ZekStagRecord* r = ZekFindStagLocked(a, zekhw::stag_index(stag), ZekStagKind::Any);
  if (r != nullptr && r->Key == zekhw::stag_key(stag)) r->Valid = 0;
  unlock(&a->StagListSpinlock);
}

// ---- Mapping ---------------------------------------------------------------------------------------------
ZekStatus ZekMapRegion(std::uint64_t address, std::uint32_t length, std::uint32_t mode, OSPrimMapRecord* map,
                       ZekPageList* list) {
  *list = ZekPageList{};
  if (length == 0 || address == 0 || address + length < address) return IWARP_STATUS_MR_INVALID_LENGTH;
  void* system = nullptr;
  const ZekStatus mapped = mode == ZEK_MR_USER_BUFFER
                               ? OSPrimMapIt(reinterpret_cast<void*>(address), length, map, &system)
                               : OSPrimMapKernel(reinterpret_cast<void*>(address), length, map, &system);
  if (mapped != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("zek_async_mr_register_nonshared(): OSPrimMapIt() returned error (0x%x)\n", mapped);
    return IWARP_STATUS_MR_INVALID_VA;
  }
  // Room for the rounding to four entries the translation manager applies.
  const std::uint32_t capacity = (page_list_capacity(address, length) + 3) & ~3u;
  void* pages = nullptr;
  if (OSPrimMemDMAAllocate(&pages, capacity * 8) != ZEK_STATUS_PASS || pages == nullptr) {
    ZekUnmapRegion(map, mode);
    return ZEK_STATUS_RES_INSUFFICIENT_SW;
  }
  std::memset(pages, 0, capacity * 8);
  std::uint32_t first = 0;
  if (OSPrimGetPhysAddresses(map, nullptr, nullptr, static_cast<std::uint64_t*>(pages), capacity, nullptr, &first) !=
      ZEK_STATUS_PASS) {
    OSPrimMemDMAFree(pages);
    ZekUnmapRegion(map, mode);
    return ZEK_STATUS_FAIL;
  }
  list->Pages = static_cast<std::uint64_t*>(pages);
  list->Count = page_list_capacity(address, length);
  list->FirstOffset = first;
  return ZEK_STATUS_PASS;
}

ZekStatus ZekCopyPageList(const std::uint64_t* pages, std::uint32_t count, ZekPageList* list) {
  *list = ZekPageList{};
  if (ZekIsBadPointer(pages) || count == 0 || count > ZEK_MRTE_MAX_ENTRIES) return IWARP_STATUS_MR_INVALID_PBE;
  const std::uint32_t room = (count + 3) & ~3u;
  void* copy = nullptr;
  if (OSPrimMemDMAAllocate(&copy, room * 8) != ZEK_STATUS_PASS || copy == nullptr) {
    return ZEK_STATUS_RES_INSUFFICIENT_SW;
  }
  std::memset(copy, 0, room * 8);
  std::memcpy(copy, pages, std::size_t{count} * 8);
  list->Pages = static_cast<std::uint64_t*>(copy);
  list->Count = count;
  return ZEK_STATUS_PASS;
}

void ZekUnmapRegion(OSPrimMapRecord* map, std::uint32_t mode) {
  const ZekStatus s = mode == ZEK_MR_USER_BUFFER ? OSPrimUnMapIt(map) : OSPrimUnMapKernel(map);
  if (s != ZEK_STATUS_PASS) ZEK_LOG_FAILURE("zek_mr: unmapping the region's buffer returned (0x%x)\n", s);
}

// ---- Allocation for fast registration ----------------------------------------------------------------------------
ZekStatus zek_mr_alloc_nonshared_STag(void* adapter, void* pd, std::uint32_t entries, std::uint32_t access,
                                      std::uint32_t* stag, std::uint32_t* page_list_size) {
  if (ZekIsBadPointer(pd)) return IWARP_STATUS_PD_INVALID_PD_ID;
  if (ZekIsBadPointer(page_list_size) || ZekIsBadPointer(stag)) return ZEK_STATUS_BAD_PTR;
  ZekAdapterHold hold(adapter, "zek_mr_alloc_nonshared_STag: Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  ZekIwarpAdapter* a = hold.get();
  if (const ZekStatus s = check_pd(a, pd); s != ZEK_STATUS_PASS) return s;
  // The page list a later fast registration may give: at least one entry,
  // at most what the translation manager lists.
  if (entries == 0 || entries > ZEK_MRTE_MAX_ENTRIES) {
    ZEK_LOG_FAILURE("zek_mr_alloc_nonshared_STag(): page-list entries (0x%x) out of range\n", entries);
    return IWARP_STATUS_MR_INVALID_PBE;
  }
  auto* p = static_cast<ZekPd*>(pd);
  ZekStagRecord* r = nullptr;
  if (const ZekStatus s = ZekTakeStagRecord(a, p, true, "zek_mr_alloc_nonshared_STag", &r); s != ZEK_STATUS_PASS) {
    return s;
  }
  const std::uint32_t index = r->Index;
  r->PageEntries = entries;
  r->Mode = a->KernelClient != 0 ? ZEK_MR_KERNEL_BUFFER : ZEK_MR_USER_BUFFER;
  MifhAllocateStagRequest request{};
  request.StagIndex = index;
  request.PdId = p->Hw.PdId;
  request.ChunkSize = entries > 32 ? 4096 : 256;
  request.PageEntries = entries;
  request.Access = static_cast<std::uint8_t>(access);
  bool abandoned = false;
  const ZekStatus s = run_control(
      a, "zek_mr_alloc_nonshared_STag",
      [&](MifhCqpCompletionContext* c) { return mifh_allocate_stag(a->Device, &request, c); }, &abandoned);
  if (s != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("zek_mr_alloc_nonshared_STag(): mifh_allocate_stag() returned error (0x%x)\n", s);
    if (abandoned) {
      // The adapter may hold the entry: listed, invalid, for a deallocation to settle.
      link_record(a, r);
      p->NonSharedMrs.fetch_add(1);
    } else {
      destroy_record(a, r, false);
    }
    return ZEK_STATUS_FAIL;
  }
  link_record(a, r);
  p->NonSharedMrs.fetch_add(1);
  *stag = zekhw::make_stag(index, 0);
  *page_list_size = entries;
  return ZEK_STATUS_PASS;
}

// ---- Registration ------------------------------------------------------------------------------------------
namespace {

ZekStatus register_held(ZekIwarpAdapter* a, ZekPd* p, const ZekMrRegisterRequest* request, std::uint32_t* stag,
                        std::uint64_t* address, std::uint32_t mode, bool physical) {
  if (!rights_valid(request->Access)) return IWARP_STATUS_MR_INVALID_ACCESS_RIGHTS;
  if (request->Length == 0) return IWARP_STATUS_MR_INVALID_LENGTH;
  if (physical && request->PageList != nullptr) {
    if (request->PageCount == 0 || request->PageSize == 0 || request->PageSize % 4096 != 0) {
      return IWARP_STATUS_MR_INVALID_PBE;
    }
    // The pages must hold the region from its offset in the first page on.
    const std::uint64_t offset = request->Address % request->PageSize;
    if (offset + request->Length > std::uint64_t{request->PageCount} * request->PageSize) {
      return IWARP_STATUS_MR_INVALID_LENGTH;
    }
  }
  ZekStagRecord* r = nullptr;
  if (const ZekStatus s = ZekTakeStagRecord(a, p, true, "zek_async_mr_register_nonshared", &r); s != ZEK_STATUS_PASS) {
    return s;
  }
  const std::uint32_t index = r->Index;
  r->Valid = 1;
  r->Access = request->Access;
  r->Address = request->Address;
  r->Key = request->Key;
  r->Length = request->Length;
  r->Kept = request->Kept;
  r->Mode = static_cast<std::uint8_t>(mode);
  // The pages: a caller's buffer locked and secured, a kernel buffer
  // described, or the kernel caller's physical page list as given.
  ZekPageList pages{};
  ZekMrDescription mr{};
  mr.VirtualAddress = request->Address;
  mr.TotalLength = request->Length;
  if (physical && request->PageList != nullptr) {
    // The caller's list is copied where the adapter can read it.
    const ZekStatus copied = ZekCopyPageList(request->PageList, request->PageCount, &pages);
    if (copied != ZEK_STATUS_PASS) {
      destroy_record(a, r, false);
      return copied;
    }
    mr.PageList = pages.Pages;
    mr.PageCount = request->PageCount;
    mr.PageSize = request->PageSize;
  } else {
    const ZekStatus mapped = ZekMapRegion(request->Address, request->Length, mode, &r->Map, &pages);
    if (mapped != ZEK_STATUS_PASS) {
      destroy_record(a, r, false);
      return mapped;
    }
    r->Mapped = 1;
    r->SecuredUser = mode == ZEK_MR_USER_BUFFER ? 1 : 0;
    mr.PageList = pages.Pages;
    mr.PageCount = pages.Count;
    mr.PageSize = 4096;
  }
  ZekMrAllocInfo info{};
  if (const ZekStatus s = MRTE_Serf_Setup_MR_From_Verbs(a->Mrte, &mr, &r->Chunks, &info); s != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("zek_async_mr_register_nonshared(): Setup_MR_From_Verbs() returned error (0x%x)\n", s);
    free_pages(a->Mrte, &pages, nullptr);
    destroy_record(a, r, false);
    *stag = 0;
    return ZEK_STATUS_FAIL;
  }
  MifhMrDescription d{};
  d.PblPa = mr.PageListAddress;
  d.FirstByteOffset = mr.FirstByteOffset;
  d.Va = request->Address;
  d.PblBytes = mr.PageCount;
  d.Length = request->Length;
  d.PageSize = mr.PageSize;
  d.PblChunkSize = mr.ChunkSize;
  d.PblChunkCount = mr.ChunkCount;
  d.ZeroBased = 0;
  d.Access = static_cast<std::uint8_t>(request->Access);
  d.Key = request->Key;
  d.StagIndex = index;
  bool abandoned = false;
  const ZekStatus s = run_control(
      a, "zek_async_mr_register_nonshared",
      [&](MifhCqpCompletionContext* c) { return mifh_mr_register_non_shared(a->Device, &d, c, p->Hw.PdId); },
      &abandoned);
  if (s != ZEK_STATUS_PASS) {
    if (abandoned) {
      // The adapter may still read the page lists and hold the region: all
      // of it stays with the record, listed as invalid, for a deallocation.
      r->Valid = 0;
      r->PendingPages = static_cast<ZekPageList*>(OSPrimMemAllocPtr(sizeof(ZekPageList)));
      r->PendingInfo = static_cast<ZekMrAllocInfo*>(OSPrimMemAllocPtr(sizeof(ZekMrAllocInfo)));
      if (r->PendingPages != nullptr) *r->PendingPages = pages;
      if (r->PendingInfo != nullptr) *r->PendingInfo = info;
      link_record(a, r);
      p->NonSharedMrs.fetch_add(1);
    } else {
      free_pages(a->Mrte, &pages, &info);
      destroy_record(a, r, false);
    }
    *stag = 0;
    return ZEK_STATUS_FAIL;
  }
  if (const ZekStatus c = MRTE_Serf_Create_Complete(a->Mrte, &info); c != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("zek_async_mr_register_nonshared(): Create_Complete() returned error (0x%x)\n", c);
  }
  free_pages(a->Mrte, &pages, nullptr);
  link_record(a, r);
  p->NonSharedMrs.fetch_add(1);
  *stag = zekhw::make_stag(index, request->Key);
  if (address != nullptr) *address = request->Address;
  return ZEK_STATUS_PASS;
}

ZekStatus register_verb(void* adapter, void* pd, const ZekMrRegisterRequest* request, std::uint32_t* stag,
                        std::uint64_t* address, std::uint32_t mode, bool physical) {
  ZekAdapterHold hold(adapter, "zek_async_mr_register_nonshared(): Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  if (ZekIsBadPointer(request) || ZekIsBadPointer(stag)) return ZEK_STATUS_BAD_PTR;
  if (const ZekStatus s = check_pd(hold.get(), pd); s != ZEK_STATUS_PASS) return s;
  // A process registers its own memory; physical pages and kernel buffers
  // are a kernel client's only.
  if (hold.get()->KernelClient == 0 && (mode != ZEK_MR_USER_BUFFER || (physical && request->PageList != nullptr))) {
    ZEK_LOG_FAILURE("zek_async_mr_register_nonshared(): a user open registers its own buffers only\n");
    return ZEK_STATUS_FAIL;
  }
  return register_held(hold.get(), static_cast<ZekPd*>(pd), request, stag, address, mode, physical);
}

}  // namespace

ZekStatus zek_mr_register_nonshared(void* adapter, void* pd, const ZekMrRegisterRequest* request, std::uint32_t* stag,
                                    std::uint64_t* address, std::uint32_t mode) {
  if (ZekIsBadPointer(request)) return ZEK_STATUS_BAD_PTR;
  ZekMrRegisterRequest virtual_form = *request;
  virtual_form.PageList = nullptr;
  virtual_form.PageCount = 0;
  virtual_form.PageSize = 0;
  return register_verb(adapter, pd, &virtual_form, stag, address, mode, false);
}

ZekStatus zek_mr_register_nonshared_physical(void* adapter, void* pd, const ZekMrRegisterRequest* request,
                                             std::uint32_t* stag, std::uint64_t* address, std::uint32_t mode) {
  return register_verb(adapter, pd, request, stag, address, mode, true);
}

// ---- Deallocation ------------------------------------------------------------------------------------------
namespace {

ZekSharedRef* find_ref_locked(ZekPd* pd, std::uint32_t source_index) {
  for (ZekVerbsLink* l = pd->SharedRefs.First; l != nullptr; l = l->Next) {
    auto* ref = static_cast<ZekSharedRef*>(l->Data);
    if (ref->SourceIndex == source_index) return ref;
  }
  return nullptr;
}

// The region whose pages a region's are: a share's source, else its own.
std::uint32_t source_of(const ZekStagRecord* r) {
  return r->NonShared != 0 || r->SourceStag == 0 ? r->Index : zekhw::stag_index(r->SourceStag);
}

ZekStatus dealloc_held(ZekIwarpAdapter* a, std::uint32_t stag) {
  if (a->Base == nullptr || a->Device == nullptr) return ZEK_STATUS_FAIL;
  if (!lock(&a->StagListSpinlock)) return ZEK_STATUS_FAIL;
  ZekStagRecord* r = ZekFindStagLocked(a, zekhw::stag_index(stag), ZekStagKind::Any);
  if (r != nullptr) r->Busy = 1;
  // The page list goes with the last of a region and its shares.
  bool page_list = true;
  if (r != nullptr && r->IsRegion != 0 && r->Pd != nullptr) {
    const std::uint32_t source = source_of(r);
    const ZekSharedRef* ref = find_ref_locked(r->Pd, source);
    if (source == r->Index) {
      page_list = ref == nullptr;
    } else {
      page_list = (ref == nullptr || ref->Count <= 1) && ZekFindStagLocked(a, source, ZekStagKind::Region) == nullptr;
    }
  }
  unlock(&a->StagListSpinlock);
  if (r == nullptr) {
    ZEK_LOG_FAILURE("zek_mr_dealloc(): stag (0x%x) is not found\n", stag);
    return ZEK_STATUS_FAIL;
  }
  auto give_back = [&] {
    if (lock(&a->StagListSpinlock)) {
      r->Busy = 0;
      unlock(&a->StagListSpinlock);
    }
  };
  if (r->Pd == nullptr) {
    ZEK_LOG_FAILURE("zek_mr_dealloc(): pPdObj is NULL\n");
    give_back();
    return ZEK_STATUS_FAIL;
  }
  bool abandoned = false;
  const ZekStatus s = run_control(
      a, "zek_mr_dealloc",
      [&](MifhCqpCompletionContext* c) {
        return mifh_dealloc_stag(a->Device, r->Index, r->IsRegion != 0, r->IsRegion != 0 && page_list, c);
      },
      &abandoned);
  if (s != ZEK_STATUS_PASS) {
    // Refused: the record stays as it was. Given up: whether the adapter
    // still uses the entry is not known, so the record, its pages and its
    // index stay out of reach for good.
    if (!abandoned) give_back();
    return ZEK_STATUS_FAIL;
  }
  ZekPd* pd = r->Pd;
  if (r->IsRegion != 0) {
    if (lock(&a->StagListSpinlock)) {
      const std::uint32_t source = source_of(r);
      if (ZekSharedRef* ref = find_ref_locked(pd, source); ref != nullptr && r->Index != source) {
        // A share goes: its source's reference drops, and goes at zero.
        if (ref->Count > 0) --ref->Count;
        if (ref->Count == 0) {
          ZekVerbsListRemove(&pd->SharedRefs, &ref->Link);
          OSPrimMemFreePtr(ref);
        }
      }
      unlock(&a->StagListSpinlock);
    }
    if (r->NonShared != 0 || r->SourceStag == 0) {
      pd->NonSharedMrs.fetch_sub(1);
    } else {
      pd->SharedMrs.fetch_sub(1);
    }
  } else {
    pd->Mws.fetch_sub(1);
  }
  destroy_record(a, r, true);
  return ZEK_STATUS_PASS;
}

}  // namespace

ZekStatus zek_mr_dealloc(void* adapter, std::uint32_t stag) {
  if (ZekIsBadPointer(adapter)) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  ZekAdapterHold hold(adapter, "zek_mr_dealloc: Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  return dealloc_held(hold.get(), stag);
}

void ZekDeleteAllStags(ZekIwarpAdapter* a) {
  // Windows first (a region with windows bound cannot go), then regions.
  for (const ZekStagKind kind : {ZekStagKind::Window, ZekStagKind::Region}) {
    std::uint32_t failed = 0;
    for (;;) {
      std::uint32_t stag = 0;
      bool found = false;
      if (!lock(&a->StagListSpinlock)) return;
      std::uint32_t skip = failed;
      for (ZekVerbsLink* l = a->StagList.First; l != nullptr && !found; l = l->Next) {
        const auto* r = static_cast<const ZekStagRecord*>(l->Data);
        if (r->Busy != 0 || (kind == ZekStagKind::Window) != (r->IsRegion == 0)) continue;
        if (skip > 0) {
          --skip;
          continue;
        }
        stag = zekhw::make_stag(r->Index, r->Key);
        found = true;
      }
      unlock(&a->StagListSpinlock);
      if (!found) break;
      if (dealloc_held(a, stag) != ZEK_STATUS_PASS) {
        ZEK_LOG_FAILURE("DeleteAllMRObjects: zek_mr_dealloc (%x) failed\n", stag);
        ++failed;
      }
    }
  }
}

void ZekForgetAllStags(ZekIwarpAdapter* a) {
  for (;;) {
    if (!lock(&a->StagListSpinlock)) return;
    ZekVerbsLink* l = a->StagList.First;
    auto* r = l != nullptr ? static_cast<ZekStagRecord*>(l->Data) : nullptr;
    if (r != nullptr) ZekVerbsListRemove(&a->StagList, &r->Link);
    unlock(&a->StagListSpinlock);
    if (r == nullptr) return;
    L_FreeResource(a->Larmit, ZEK_RES_MR, r->Index);
    if (r->Chunks.Chunks256 != 0 || r->Chunks.Chunks4k != 0) MRTE_Serf_Teardown_MR(a->Mrte, &r->Chunks);
    if (r->Pd != nullptr) {
      std::atomic<std::uint32_t>& count =
          r->IsRegion == 0 ? r->Pd->Mws : (source_of(r) == r->Index ? r->Pd->NonSharedMrs : r->Pd->SharedMrs);
      count.fetch_sub(1);
    }
    // Its pages stay locked and its page lists held: the adapter may still
    // reach them.
    mifh_free_staginfo_buffer(r);
  }
}

// ---- Re-registration -------------------------------------------------------------------------------------------
namespace {

ZekStatus reregister(void* adapter, void* pd, const ZekMrRegisterRequest* request, std::uint64_t* address,
                     std::uint32_t* new_stag, std::uint32_t stag, std::uint32_t mode, bool physical) {
  if (ZekIsBadPointer(request) || ZekIsBadPointer(new_stag)) return ZEK_STATUS_BAD_PTR;
  ZekAdapterHold hold(adapter, "zek_async_mr_reregister_nonshared(): Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  ZekIwarpAdapter* a = hold.get();
  if (const ZekStatus s = check_pd(a, pd); s != ZEK_STATUS_PASS) return s;
  if (a->KernelClient == 0 && (mode != ZEK_MR_USER_BUFFER || (physical && request->PageList != nullptr))) {
    return ZEK_STATUS_FAIL;
  }
  if (!lock(&a->StagListSpinlock)) return ZEK_STATUS_FAIL;
  const ZekStagRecord* r = ZekFindStagLocked(a, zekhw::stag_index(stag), ZekStagKind::Region);
  const bool found = r != nullptr;
  const bool non_shared = found && r->NonShared != 0;
  unlock(&a->StagListSpinlock);
  if (!found) {
    ZEK_LOG_FAILURE("zek_async_mr_reregister_nonshared(): Stag is not found in stag list\n");
    return IWARP_STATUS_MR_INVALID_STAG;
  }
  if (!non_shared) return IWARP_STATUS_MR_INVALID_STAG;
  // Not atomic: the old region is gone before the new one is registered.
  const ZekMrRegisterRequest copy = *request;
  if (dealloc_held(a, stag) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  ZekMrRegisterRequest form = copy;
  if (!physical) form.PageList = nullptr;
  return register_held(a, static_cast<ZekPd*>(pd), &form, new_stag, address, mode, physical) == ZEK_STATUS_PASS
             ? ZEK_STATUS_PASS
             : ZEK_STATUS_FAIL;
}

}  // namespace

ZekStatus zek_mr_reregister_nonshared(void* adapter, void* pd, const ZekMrRegisterRequest* request,
                                      std::uint64_t* address, std::uint32_t* new_stag, std::uint32_t stag,
                                      std::uint32_t mode) {
  return reregister(adapter, pd, request, address, new_stag, stag, mode, false);
}

// ---- Shared registration -------------------------------------------------------------------------------------
ZekStatus zek_mr_register_shared(void* adapter, void* pd, const ZekMrSharedRequest* request, std::uint32_t* stag,
                                 std::uint32_t existing) {
  if (ZekIsBadPointer(adapter)) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  if (ZekIsBadPointer(pd)) return IWARP_STATUS_PD_INVALID_PD_ID;
  if (ZekIsBadPointer(request) || ZekIsBadPointer(stag)) return ZEK_STATUS_BAD_PTR;
  ZekAdapterHold hold(adapter, "zek_mr_register_shared: Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  ZekIwarpAdapter* a = hold.get();
  if (const ZekStatus s = check_pd(a, pd); s != ZEK_STATUS_PASS) return s;
  auto* p = static_cast<ZekPd*>(pd);
  // The source: a valid region of this adapter whose key the request repeats.
  if (!lock(&a->StagListSpinlock)) return ZEK_STATUS_FAIL;
  ZekStagRecord* source = ZekFindStagLocked(a, zekhw::stag_index(existing), ZekStagKind::Region);
  ZekStatus refused = ZEK_STATUS_PASS;
  ZekStagRecord copy{};
  if (source == nullptr) {
    ZEK_LOG_FAILURE("zek_mr_register_shared(): stagIndex (0x%x) is not found in mr list\n",
                    zekhw::stag_index(existing));
    refused = IWARP_STATUS_MR_INVALID_STAG;
  } else if (source->Key != request->Key) {
    ZEK_LOG_FAILURE("zek_mr_register_shared(): mr stag key (0x%x) doesn't match with input stag key (0x%x)\n",
                    source->Key, request->Key);
    refused = IWARP_STATUS_MR_INVALID_STAG;
  } else if (source->Valid == 0) {
    ZEK_LOG_FAILURE("zek_mr_register_shared(): stag is not in valid state\n");
    refused = IWARP_STATUS_MR_INVALID_STAG;
  } else {
    std::memcpy(static_cast<void*>(&copy), source, sizeof copy);
  }
  unlock(&a->StagListSpinlock);
  if (refused != ZEK_STATUS_PASS) return refused;
  ZekStagRecord* r = nullptr;
  if (const ZekStatus s = ZekTakeStagRecord(a, p, true, "zek_mr_register_shared", &r); s != ZEK_STATUS_PASS) return s;
  const std::uint32_t index = r->Index;
  r->Valid = 1;
  r->NonShared = 0;
  r->Access = request->Access;
  r->Key = request->Key;
  r->SourceStag = existing;
  r->ZeroBased = request->ZeroBased != 0 ? 1 : 0;
  r->Address = request->ZeroBased != 0 ? 0 : request->Address;
  r->Length = copy.Length;
  r->Mode = copy.Mode;
  MifhRegisterSharedRequest shared{};
  shared.Address = request->ZeroBased != 0 ? copy.Address : request->Address;
  shared.StagIndex = index;
  shared.SourceIndex = copy.Index;
  shared.PdId = p->Hw.PdId;
  shared.Access = request->Access;
  shared.Key = request->Key;
  shared.ZeroBased = request->ZeroBased != 0 ? 1 : 0;
  bool abandoned = false;
  const ZekStatus s = run_control(
      a, "zek_mr_register_shared",
      [&](MifhCqpCompletionContext* c) { return mifh_mr_register_shared(a->Device, &shared, c); }, &abandoned);
  if (s != ZEK_STATUS_PASS && !abandoned) {
    // Nothing changed: the source stays as it was, no reference was made.
    destroy_record(a, r, false);
    return ZEK_STATUS_FAIL;
  }
  // Done (or possibly done, when the wait was given up): the share is
  // counted against its source, which is no longer non-shared.
  if (lock(&a->StagListSpinlock)) {
    ZekSharedRef* ref = find_ref_locked(p, copy.Index);
    if (ref == nullptr) {
      ref = static_cast<ZekSharedRef*>(OSPrimMemAllocPtr(sizeof(ZekSharedRef)));
      if (ref != nullptr) {
        std::memset(static_cast<void*>(ref), 0, sizeof *ref);
        ref->SourceIndex = copy.Index;
        ZekVerbsListAppend(&p->SharedRefs, &ref->Link, ref);
      } else {
        ZEK_LOG_FAILURE(
            "zek_mr_register_shared(): OSPrimMemDMAAllocate() returned error (0x%x) for ref count element\n",
            ZEK_STATUS_RES_INSUFFICIENT_SW);
      }
    }
    if (ref != nullptr) ++ref->Count;
    if (ZekStagRecord* src = ZekFindStagLocked(a, copy.Index, ZekStagKind::Region)) src->NonShared = 0;
    if (abandoned) r->Valid = 0;
    ZekVerbsListAppend(&a->StagList, &r->Link, r);
    unlock(&a->StagListSpinlock);
  }
  p->SharedMrs.fetch_add(1);
  if (abandoned) return ZEK_STATUS_FAIL;
  *stag = zekhw::make_stag(index, request->Key);
  return ZEK_STATUS_PASS;
}

// ---- Query -----------------------------------------------------------------------------------------------
ZekStatus ZekAskAdapterAboutStag(ZekIwarpAdapter* a, std::uint32_t index, const char* verb, std::uint32_t* valid,
                                 std::uint8_t* key) {
  MifhCqpCompletionContext codes{};
  bool abandoned = false;
  const ZekStatus s = run_control(
      a, verb, [&](MifhCqpCompletionContext* c) { return mifh_query_stag(a->Device, index, c); }, &abandoned, &codes);
  if (abandoned) return ZEK_STATUS_FAIL;
  if (codes.MajorCode == zekhw::kStagQueryNone) return IWARP_STATUS_MR_INVALID_STAG;
  if (s != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  *valid = codes.MinorCode == 0 ? 1 : 0;
  *key = codes.ExtraByte;
  return ZEK_STATUS_PASS;
}

ZekStatus zek_mr_query(void* adapter, ZekMrQueryInfo* info, std::uint32_t stag) {
  if (ZekIsBadPointer(info)) {
    ZEK_LOG_FAILURE("zek_mr_query(): pMRQueryInfo is NULL\n");
    return ZEK_STATUS_BAD_PTR;
  }
  ZekAdapterHold hold(adapter, "zek_mr_query: Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  ZekIwarpAdapter* a = hold.get();
  if (a->Device == nullptr || ZekIsBadPointer(a->Device->Cqp)) return ZEK_STATUS_FAIL;
  const std::uint32_t index = zekhw::stag_index(stag);
  ZekMrQueryInfo out{};
  if (!lock(&a->StagListSpinlock)) return ZEK_STATUS_FAIL;
  const ZekStagRecord* r = ZekFindStagLocked(a, index, ZekStagKind::Region);
  if (r != nullptr) {
    out.Pd = reinterpret_cast<std::uint64_t>(r->Pd);
    out.Access = r->Access;
    out.Valid = r->Valid;
    out.NonShared = r->NonShared;
    out.Address = r->PageEntries != 0 && r->Valid == 0 ? r->PageEntries : r->Address;
    out.Key = r->Key;
  }
  unlock(&a->StagListSpinlock);
  if (r == nullptr) return IWARP_STATUS_MR_INVALID_STAG;
  const ZekStatus s = ZekAskAdapterAboutStag(a, index, "zek_mr_query", &out.Valid, &out.Key);
  if (s != ZEK_STATUS_PASS) {
    if (s == ZEK_STATUS_FAIL) ZEK_LOG_FAILURE("zek_mr_query(): mifh_stag_query() returned error (0x%x)\n", s);
    return s;
  }
  if (lock(&a->StagListSpinlock)) {
    if (ZekStagRecord* again = ZekFindStagLocked(a, index, ZekStagKind::Region)) again->Valid = out.Valid;
    unlock(&a->StagListSpinlock);
  }
  *info = out;
  return ZEK_STATUS_PASS;
}

// ---- The table forms -------------------------------------------------------------------------------------------
ZekStatus zek_mr_register_nonshared_user(void* adapter, void* pd, const ZekMrRegisterRequest* request,
                                         std::uint32_t* stag, std::uint64_t* address) {
  return zek_mr_register_nonshared(adapter, pd, request, stag, address, ZEK_MR_USER_BUFFER);
}
ZekStatus zek_mr_register_nonshared_kernel(void* adapter, void* pd, const ZekMrRegisterRequest* request,
                                           std::uint32_t* stag, std::uint64_t* address) {
  return zek_mr_register_nonshared(adapter, pd, request, stag, address, ZEK_MR_KERNEL_BUFFER);
}
ZekStatus zek_mr_register_physical_kernel(void* adapter, void* pd, const ZekMrRegisterRequest* request,
                                          std::uint32_t* stag, std::uint64_t* address) {
  return zek_mr_register_nonshared_physical(adapter, pd, request, stag, address, ZEK_MR_KERNEL_BUFFER);
}
ZekStatus zek_mr_register_physical_user(void*, void*, const ZekMrRegisterRequest*, std::uint32_t*, std::uint64_t*) {
  return ZEK_STATUS_FAIL;
}
ZekStatus zek_mr_reregister_nonshared_user(void* adapter, void* pd, const ZekMrRegisterRequest* request,
                                           std::uint64_t* address, std::uint32_t* new_stag, std::uint32_t stag) {
  return zek_mr_reregister_nonshared(adapter, pd, request, address, new_stag, stag, ZEK_MR_USER_BUFFER);
}
ZekStatus zek_mr_reregister_nonshared_kernel(void* adapter, void* pd, const ZekMrRegisterRequest* request,
                                             std::uint64_t* address, std::uint32_t* new_stag, std::uint32_t stag) {
  return zek_mr_reregister_nonshared(adapter, pd, request, address, new_stag, stag, ZEK_MR_KERNEL_BUFFER);
}
ZekStatus zek_mr_reregister_physical_kernel(void* adapter, void* pd, const ZekMrRegisterRequest* request,
                                            std::uint64_t* address, std::uint32_t* new_stag, std::uint32_t stag) {
  return reregister(adapter, pd, request, address, new_stag, stag, ZEK_MR_KERNEL_BUFFER, true);
}
ZekStatus zek_mr_reregister_physical_user(void*, void*, const ZekMrRegisterRequest*, std::uint64_t*, std::uint32_t*,
                                          std::uint32_t) {
  return ZEK_STATUS_FAIL;
}
