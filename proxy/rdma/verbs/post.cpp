// Posting work requests: each of the caller's send or receive requests is
// checked and written into the queue pair's ring, then one doorbell
// announces the batch.
//
// Every request of a batch is converted on its own (its own operation, its
// own scatter-gather list). A request is checked whole before its slot is
// taken: the number of entries, the total length, and every local entry's
// STag (a valid region of this adapter, with the queue pair's PD, the right
// the operation needs, the range inside the region). A refused request ends
// the batch; the requests before it are posted and counted.
//
// Fast registration: the kernel asks the adapter for the completion of
// every fast registration (the page lists it reads are released then); the
// poster sees it only when it asked (MifhFastRegisterContext).
#include <cstring>

#include "include/hw/stag.h"
#include "platform/kernel/io/usermem.h"
#include "proxy/rdma/hw/cq.h"
#include "proxy/rdma/hw/pools.h"
#include "proxy/rdma/hw/work_requests.h"
#include "proxy/rdma/verbs/verbs.h"

namespace {

bool lock(OSPrimSpinlockObject* l) { return OSPrimSyncAcquireSpinlockObject(l) == ZEK_STATUS_PASS; }
void unlock(OSPrimSpinlockObject* l) { OSPrimSyncReleaseSpinlockObject(l); }

bool can_send(const ZekQpVerbs* v) { return v->State == ZEK_QP_STATE_RTS || v->State == ZEK_QP_STATE_IDLE; }
bool can_receive(const ZekQpVerbs* v) { return v->State != ZEK_QP_STATE_TERMINATE && v->State != ZEK_QP_STATE_ERROR; }

// A request's scatter-gather list into `wr`, every entry checked.
ZekStatus take_sgl(ZekIwarpAdapter* a, const ZekPd* pd, const ZekSge* sgl, std::uint32_t count, std::uint32_t max,
                   std::uint32_t access, MifhWorkRequest* wr, const char* caller) {
  if (count > max) {
    ZEK_LOG_FAILURE("%s: SGE Count (%d) is more than supported (%d)\n", caller, count, max);
    return IWARP_STATUS_QP_INVALID_NUM_SGES;
  }
  if (count > 0 && ZekIsBadPointer(sgl)) return ZEK_STATUS_BAD_PTR;
  std::uint64_t total = 0;
  for (std::uint32_t i = 0; i < count; ++i) total += sgl[i].Length;
  if (total > ZEK_VERBS_MAX_MESSAGE) {
    ZEK_LOG_FAILURE("%s: Max message size  (0x%llx) is more than supported (0x%x)\n", caller,
                    static_cast<unsigned long long>(total), ZEK_VERBS_MAX_MESSAGE);
    return IWARP_STATUS_QP_INVALID_MESSAGE_SIZE;
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    if (const ZekStatus s = ZekCheckLocalSge(a, pd, sgl[i], access); s != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("%s: SGE %d (STag 0x%x) refused (0x%x)\n", caller, i, sgl[i].Stag, s);
      return s;
    }
    wr->Sge[i] = {sgl[i].Address, sgl[i].Length, sgl[i].Stag};
  }
  wr->SgeCount = count;
  return ZEK_STATUS_PASS;
}

// The inline data of a request gathered from its entries (a kernel
// client's memory, or the calling process's, copied without trusting it).
ZekStatus take_inline(const ZekIwarpAdapter* a, const ZekSendWr& r, std::uint8_t (&data)[ZEK_VERBS_MAX_INLINE],
                      std::uint32_t* length) {
  if (r.SgeCount > ZEK_VERBS_MAX_SGES) return IWARP_STATUS_QP_INVALID_NUM_SGES;
  if (r.SgeCount > 0 && ZekIsBadPointer(r.Sgl)) return ZEK_STATUS_BAD_PTR;
  std::uint64_t total = 0;
  for (std::uint32_t i = 0; i < r.SgeCount; ++i) total += r.Sgl[i].Length;
  if (total > ZEK_VERBS_MAX_INLINE) {
    ZEK_LOG_FAILURE("mifh_iwarp_imm_send: Max message size  (0x%llx) is more than supported (0x%x)\n",
                    static_cast<unsigned long long>(total), ZEK_VERBS_MAX_INLINE);
    return IWARP_STATUS_QP_INVALID_MESSAGE_SIZE;
  }
  std::uint32_t at = 0;
  for (std::uint32_t i = 0; i < r.SgeCount; ++i) {
    const ZekSge& e = r.Sgl[i];
    if (e.Length == 0) continue;
    const void* from = reinterpret_cast<const void*>(e.Address);
    if (a->KernelClient != 0) {
      if (ZekIsBadPointer(from)) return ZEK_STATUS_BAD_PTR;
      std::memcpy(data + at, from, e.Length);
    } else if (PlatCopyFromUser(data + at, from, e.Length) != STATUS_SUCCESS) {
      return ZEK_STATUS_BAD_PTR;
    }
    at += e.Length;
  }
  *length = at;
  return ZEK_STATUS_PASS;
}

// ---- Fast registration -----------------------------------------------------------------------------------
struct FastRegContext {
  MifhFastRegisterContext Hw;  // the work request's id names it
  ZekIwarpAdapter* Adapter;
  ZekPageList* Pages;  // released once the adapter has read them
  ZekMrAllocInfo* Info;
};

void release_pages(ZekIwarpAdapter* a, ZekPageList* pages, ZekMrAllocInfo* info) {
  if (info != nullptr) {
    MRTE_Serf_Create_Complete(a->Mrte, info);
    OSPrimMemFreePtr(info);
  }
  if (pages != nullptr) {
    if (pages->Pages != nullptr) OSPrimMemDMAFree(pages->Pages);
    OSPrimMemFreePtr(pages);
  }
}

// The adapter is done with a fast registration (done, failed or flushed).
void fast_register_done(void* context, void*, std::uint32_t, std::uint32_t stag) {
  auto* c = static_cast<FastRegContext*>(context);
  ZekIwarpAdapter* a = c->Adapter;
  if (c->Hw.Status != 0) {
    // Not registered: the record says so again.
    ZekStagInvalidated(a, stag);
  }
  release_pages(a, c->Pages, c->Info);
  mifh_pool_free(MIFH_POOL_FAST_REGISTER, c, 0);
}

ZekStatus post_fast_register(ZekIwarpAdapter* a, MifhQpObject* qp, const ZekFastRegisterWr& r) {
  const ZekQpVerbs* v = ZekQpOf(qp);
  const std::uint32_t index = zekhw::stag_index(r.Stag);
  const std::uint32_t stag = zekhw::make_stag(index, r.Key);
  const bool page_list = r.Buffer == 0;
  // The region record: an allocated region of this adapter on the QP's PD,
  // not valid now. It is marked busy while this request is built.
  if (!lock(&a->StagListSpinlock)) return ZEK_STATUS_FAIL;
  ZekStagRecord* record = ZekFindStagLocked(a, index, ZekStagKind::Region);
  ZekStatus refused = ZEK_STATUS_PASS;
  if (record == nullptr || record->Pd != v->Pd) {
    ZEK_LOG_FAILURE("PostFastRegMRWR(): MW Info is not found in the linked list\n");
    refused = IWARP_STATUS_MR_INVALID_STAG;
  } else if (record->Valid != 0) {
    ZEK_LOG_FAILURE("PostFastRegMRWR(): stag state is invalid\n");
    refused = ZEK_STATUS_FAIL;
  } else {
    record->Busy = 1;
  }
  unlock(&a->StagListSpinlock);
  if (refused != ZEK_STATUS_PASS) return refused;
  auto done = [&](ZekStatus status) {
    if (lock(&a->StagListSpinlock)) {
      record->Busy = 0;
      unlock(&a->StagListSpinlock);
    }
    return status;
  };
  const std::uint32_t access = r.Access & 0xF;
  if ((access & (ZEK_ACCESS_LOCAL_READ | ZEK_ACCESS_LOCAL_WRITE)) == 0 ||
      ((access & ZEK_ACCESS_REMOTE_READ) != 0 && (access & ZEK_ACCESS_LOCAL_READ) == 0) ||
      ((access & ZEK_ACCESS_REMOTE_WRITE) != 0 && (access & ZEK_ACCESS_LOCAL_WRITE) == 0)) {
    return done(IWARP_STATUS_MR_INVALID_ACCESS_RIGHTS);
  }
  if (r.Length == 0) return done(IWARP_STATUS_MR_INVALID_LENGTH);
  // A page list is a kernel client's only, and must hold the region.
  if (page_list && (a->KernelClient == 0 || ZekIsBadPointer(r.PageList) || r.PageCount == 0 || r.PageSize == 0 ||
                    r.PageSize % 4096 != 0 || r.Va % r.PageSize + r.Length > std::uint64_t{r.PageCount} * r.PageSize)) {
    return done(IWARP_STATUS_MR_INVALID_PBE);
  }
  auto* context = static_cast<FastRegContext*>(mifh_pool_allocate(MIFH_POOL_FAST_REGISTER, 0));
  auto* pages = static_cast<ZekPageList*>(OSPrimMemAllocPtr(sizeof(ZekPageList)));
  auto* info = static_cast<ZekMrAllocInfo*>(OSPrimMemAllocPtr(sizeof(ZekMrAllocInfo)));
  OSPrimMapRecord map{};
  bool mapped = false;
  const std::uint32_t mode = a->KernelClient != 0 ? ZEK_MR_KERNEL_BUFFER : ZEK_MR_USER_BUFFER;
  ZekMrChunks chunks{};
  auto undo = [&](ZekStatus status) {
    if (chunks.Chunks256 != 0 || chunks.Chunks4k != 0) MRTE_Serf_Teardown_MR(a->Mrte, &chunks);
    if (info != nullptr && info->Levels != 0) MRTE_Serf_Create_Complete(a->Mrte, info);
    if (info != nullptr) OSPrimMemFreePtr(info);
    if (pages != nullptr) {
      if (pages->Pages != nullptr) OSPrimMemDMAFree(pages->Pages);
      OSPrimMemFreePtr(pages);
    }
    if (mapped) ZekUnmapRegion(&map, mode);
    if (context != nullptr) mifh_pool_free(MIFH_POOL_FAST_REGISTER, context, 0);
    return done(status);
  };
  if (context == nullptr || pages == nullptr || info == nullptr) {
    ZEK_LOG_FAILURE("PostFastRegMRWR: mifh_allocate_fast_register_swcontext_pool() returned (0x%x)\n", 1);
    return undo(ZEK_STATUS_FAIL);
  }
  std::memset(static_cast<void*>(context), 0, sizeof *context);
  *pages = ZekPageList{};
  *info = ZekMrAllocInfo{};
  std::uint64_t va = r.Va;
  if (page_list) {
    // The caller's list is copied: the adapter reads the copy.
    if (ZekCopyPageList(r.PageList, r.PageCount, pages) != ZEK_STATUS_PASS) return undo(IWARP_STATUS_MR_INVALID_PBE);
  } else {
    va = r.Buffer;
    if (const ZekStatus s = ZekMapRegion(r.Buffer, r.Length, mode, &map, pages); s != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("PostFastRegMRWR(): OSPrimMapIt() returned error (0x%x)\n", s);
      return undo(ZEK_STATUS_FAIL);
    }
    mapped = true;
  }
  const std::uint32_t page_size = page_list ? r.PageSize : 4096;
  ZekMrDescription mr{};
  mr.VirtualAddress = va;
  mr.TotalLength = r.Length;
  mr.PageList = pages->Pages;
  mr.PageCount = pages->Count;
  mr.PageSize = page_size;
  if (const ZekStatus s = MRTE_Serf_Setup_MR_From_Verbs(a->Mrte, &mr, &chunks, info); s != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("zek_async_mr_register_nonshared(): Setup_MR_From_Verbs() returned error (0x%x)\n", s);
    return undo(ZEK_STATUS_FAIL);
  }
  MifhFastRegisterRequest request{};
  request.Stag = stag;
  request.Length = r.Length;
  request.VaOrFbo = r.ZeroBased != 0 ? mr.FirstByteOffset : va;
  request.ZeroBased = r.ZeroBased != 0 ? 1 : 0;
  // The adapter reads a fast registration's page list flat from its
  // address, as many entries as the size names, and refuses more entries
  // than the STag was allocated for. The list is the region's pages (in the
  // page size the translation manager settled on), one level even where a
  // registration would take two; its size is those pages, never the
  // rounding of the list's buffer.
  const std::uint32_t used = mr.PageSize != 0 && page_size % mr.PageSize == 0 ? mr.PageSize : page_size;
  const std::uint32_t entries = pages->Count * (page_size / used);
  if (record->PageEntries != 0 && entries > record->PageEntries) return undo(IWARP_STATUS_MR_INVALID_PBE);
  const void* flat = info->AddressList != nullptr ? info->AddressList : pages->Pages;
  std::uint32_t low = 0, high = 0;
  if (OSPrimGetPaFromVa(flat, &low, &high) != ZEK_STATUS_PASS) return undo(ZEK_STATUS_FAIL);
  request.PblPa = std::uint64_t{high} << 32 | low;
  request.PblBytes = entries * 8;
  request.PageSize = used;
  context->Hw.Routine = &fast_register_done;
  context->Hw.Context = context;
  context->Hw.WrId = r.WrId;
  context->Hw.Report = r.Signalled != 0 ? 1 : 0;
  context->Adapter = a;
  context->Pages = pages;
  context->Info = info;
  MifhWorkRequest wr{};
  wr.WrId = reinterpret_cast<std::uint64_t>(context);
  wr.FlagA = 1;
  if (mifh_iwarp_mr_fast_register(qp, &request, &wr, access) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("PostFastRegMRWR(): mifh_iwarp_mr_fast_register() returned error (0x%x)\n",
                    IWARP_STATUS_QP_TOOMANY_WRS_POSTED);
    return undo(IWARP_STATUS_QP_TOOMANY_WRS_POSTED);
  }
  // Posted: the record describes the new registration. What an earlier
  // registration of the STag held goes back (the adapter copied its list
  // when it carried it out).
  OSPrimMapRecord old_map{};
  bool old_mapped = false;
  std::uint32_t old_mode = ZEK_MR_KERNEL_BUFFER;
  ZekMrChunks old_chunks{};
  if (lock(&a->StagListSpinlock)) {
    old_mapped = record->Mapped != 0;
    old_map = record->Map;
    old_mode = record->SecuredUser != 0 ? ZEK_MR_USER_BUFFER : ZEK_MR_KERNEL_BUFFER;
    old_chunks = record->Chunks;
    record->Map = map;
    record->Mapped = mapped ? 1 : 0;
    record->SecuredUser = mapped && mode == ZEK_MR_USER_BUFFER ? 1 : 0;
    record->Chunks = chunks;
    record->Access = access;
    record->Key = r.Key;
    record->Address = r.ZeroBased != 0 ? 0 : va;
    record->ZeroBased = r.ZeroBased != 0 ? 1 : 0;
    record->Length = r.Length;
    record->Valid = 1;
    record->Busy = 0;
    unlock(&a->StagListSpinlock);
  }
  if (old_mapped) ZekUnmapRegion(&old_map, old_mode);
  if (old_chunks.Chunks256 != 0 || old_chunks.Chunks4k != 0) MRTE_Serf_Teardown_MR(a->Mrte, &old_chunks);
  return ZEK_STATUS_PASS;
}

// ---- Bind and local invalidation ----------------------------------------------------------------------------
ZekStatus post_bind(ZekIwarpAdapter* a, MifhQpObject* qp, const ZekBindWr& b) {
  const ZekQpVerbs* v = ZekQpOf(qp);
  const std::uint32_t window_index = zekhw::stag_index(b.WindowStag);
  if (!lock(&a->StagListSpinlock)) return ZEK_STATUS_FAIL;
  const ZekStagRecord* window = ZekFindStagLocked(a, window_index, ZekStagKind::Window);
  const ZekStagRecord* region = ZekFindStagLocked(a, zekhw::stag_index(b.RegionStag), ZekStagKind::Region);
  ZekStatus status = ZEK_STATUS_PASS;
  if (window == nullptr || window->Pd != v->Pd || region == nullptr || region->Pd != v->Pd ||
      region->Key != zekhw::stag_key(b.RegionStag) || region->Valid == 0) {
    status = IWARP_STATUS_MR_INVALID_STAG;
  } else {
    const std::uint64_t base = region->ZeroBased != 0 ? 0 : region->Address;
    if (b.Va < base || b.Va - base > region->Length || b.Length > region->Length - (b.Va - base)) {
      status = IWARP_STATUS_MR_INVALID_VA;
    }
  }
  unlock(&a->StagListSpinlock);
  if (status != ZEK_STATUS_PASS) return status;
  MifhBindRequest request{};
  request.WrId = b.WrId;
  request.RegionStag = b.RegionStag;
  request.WindowStag = zekhw::make_stag(window_index, b.Key);
  request.Length = b.Length;
  request.Va = b.Va;
  request.Mode = b.Mode;
  request.RemoteRead = b.RemoteRead != 0 ? 1 : 0;
  request.RemoteWrite = b.RemoteWrite != 0 ? 1 : 0;
  request.Signalled = b.Signalled != 0 ? 1 : 0;
  if (const ZekStatus s = mifh_iwarp_mw_bind(qp, &request); s != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("PostBindMWWR(): mifh_iwarp_mw_bind() returned error (0x%x)\n", s);
    return s;
  }
  if (lock(&a->StagListSpinlock)) {
    if (ZekStagRecord* w = ZekFindStagLocked(a, window_index, ZekStagKind::Window)) {
      w->Valid = 1;
      w->Key = b.Key;
      w->Access = (request.RemoteRead != 0 ? ZEK_ACCESS_REMOTE_READ : 0u) |
                  (request.RemoteWrite != 0 ? ZEK_ACCESS_REMOTE_WRITE : 0u);
      w->Address = b.Va;
      w->Length = b.Length;
    }
    unlock(&a->StagListSpinlock);
  }
  return ZEK_STATUS_PASS;
}

ZekStatus post_local_invalidate(ZekIwarpAdapter* a, MifhQpObject* qp, const ZekLocalInvalidateWr& r) {
  // The STag is looked up before anything is written: an unknown one
  // leaves no request behind.
  if (!lock(&a->StagListSpinlock)) return ZEK_STATUS_FAIL;
  const ZekStagRecord* record = ZekFindStagLocked(a, zekhw::stag_index(r.Stag), ZekStagKind::Any);
  const bool known = record != nullptr && record->Key == zekhw::stag_key(r.Stag) && record->Pd == ZekQpOf(qp)->Pd;
  unlock(&a->StagListSpinlock);
  if (!known) {
    ZEK_LOG_FAILURE("PostInvStagWR(): stag Info is not found in the linked list of mr and mw\n");
    return IWARP_STATUS_MR_INVALID_STAG;
  }
  if (const ZekStatus s = mifh_iwarp_stag_local_invalidate(qp, r.WrId, r.Stag, r.Signalled != 0);
      s != ZEK_STATUS_PASS) {
    return s;
  }
  ZekStagInvalidated(a, r.Stag);
  return ZEK_STATUS_PASS;
}

// ---- One send request ---------------------------------------------------------------------------------
const char* failure_text(std::int32_t op) {
  switch (op) {
    case ZEK_WR_RDMA_WRITE:
      return "zek_qp_post_sq(): PostRdmaWriteWR() returned error (0x%x)\n";
    case ZEK_WR_RDMA_READ:
    case ZEK_WR_RDMA_READ_INVALIDATE:
      return "zek_qp_post_sq(): PostRdmaReadWR() returned error (0x%x)\n";
    case ZEK_WR_SEND:
      return "zek_qp_post_sq(): PostSendWR() returned error (0x%x)\n";
    case ZEK_WR_SEND_INVALIDATE:
      return "zek_qp_post_sq(): PostSendInvWR() returned error (0x%x)\n";
    case ZEK_WR_SEND_SOLICITED:
      return "zek_qp_post_sq(): PostSendSolWR() returned error (0x%x)\n";
    case ZEK_WR_SEND_SOLICITED_INVALIDATE:
      return "zek_qp_post_sq(): PostSendSolInvWR() returned error (0x%x)\n";
    case ZEK_WR_BIND:
      return "zek_qp_post_sq(): PostBindMWWR() returned error (0x%x)\n";
    case ZEK_WR_FAST_REGISTER:
      return "zek_qp_post_sq(): PostFastRegMRWR() returned error (0x%x)\n";
    case ZEK_WR_LOCAL_INVALIDATE:
      return "zek_qp_post_sq(): PostInvStagWR() returned error (0x%x)\n";
    case ZEK_WR_RDMA_WRITE_INLINE:
      return "zek_qp_post_sq(): mifh_iwarp_rdma_write() returned error (0x%x)\n";
    default:
      return "zek_qp_post_sq(): mifh_iwarp_send returned error (0x%x)\n";
  }
}

ZekStatus post_one(ZekIwarpAdapter* a, MifhQpObject* qp, const ZekSendWr& r) {
  const ZekPd* pd = ZekQpOf(qp)->Pd;
  MifhWorkRequest wr{};
  wr.WrId = r.WrId;
  wr.FlagA = r.Signalled != 0 ? 1 : 0;
  wr.FlagB = r.Flags;
  wr.RemoteVa = r.Remote;
  wr.RemoteStag = r.RemoteStag;
  switch (r.Op) {
    case ZEK_WR_RDMA_WRITE: {
      ZekStatus s =
          take_sgl(a, pd, r.Sgl, r.SgeCount, ZEK_VERBS_MAX_SGES, ZEK_ACCESS_LOCAL_READ, &wr, "mifh_iwarp_rdma_write");
      if (s == ZEK_STATUS_PASS) s = mifh_iwarp_rdma_write(qp, &wr);
      if (s != ZEK_STATUS_PASS)
        ZEK_LOG_FAILURE("PostRdmaWriteWR(): mifh_iwarp_rdma_write() returned error (0x%x)\n", s);
      return s;
    }
    case ZEK_WR_RDMA_READ:
    case ZEK_WR_RDMA_READ_INVALIDATE: {
      // The data lands in one local entry (the adapter's read names one).
      if (r.SgeCount != ZEK_VERBS_MAX_READ_SGES) {
        ZEK_LOG_FAILURE("mifh_iwarp_rdma_read: SGE Count (%d) is not supported\n", r.SgeCount);
        return IWARP_STATUS_QP_INVALID_NUM_SGES;
      }
      ZekStatus s = take_sgl(a, pd, r.Sgl, r.SgeCount, ZEK_VERBS_MAX_READ_SGES, ZEK_ACCESS_LOCAL_WRITE, &wr,
                             "mifh_iwarp_rdma_read");
      if (s != ZEK_STATUS_PASS) return s;
      wr.Length = wr.Sge[0].length;
      const bool invalidate = r.Op == ZEK_WR_RDMA_READ_INVALIDATE;
      s = mifh_iwarp_rdma_read(qp, &wr, invalidate ? r.LocalStag : 0);
      if (s == ZEK_STATUS_PASS && invalidate) ZekStagInvalidated(a, r.LocalStag);
      return s;
    }
    case ZEK_WR_SEND:
    case ZEK_WR_SEND_INVALIDATE:
    case ZEK_WR_SEND_SOLICITED:
    case ZEK_WR_SEND_SOLICITED_INVALIDATE: {
      const ZekStatus s =
          take_sgl(a, pd, r.Sgl, r.SgeCount, ZEK_VERBS_MAX_SGES, ZEK_ACCESS_LOCAL_READ, &wr, "mifh_iwarp_send");
      if (s != ZEK_STATUS_PASS) return s;
      const bool invalidate = r.Op == ZEK_WR_SEND_INVALIDATE || r.Op == ZEK_WR_SEND_SOLICITED_INVALIDATE;
      return mifh_iwarp_send(qp, &wr, invalidate ? static_cast<std::uint32_t>(r.Remote) : 0,
                             static_cast<std::uint8_t>(r.Op));
    }
    case ZEK_WR_BIND: {
      ZekBindWr b;
      std::memcpy(&b, &r, sizeof b);
      return post_bind(a, qp, b);
    }
    case ZEK_WR_FAST_REGISTER: {
      ZekFastRegisterWr f;
      std::memcpy(&f, &r, sizeof f);
      return post_fast_register(a, qp, f);
    }
    case ZEK_WR_LOCAL_INVALIDATE: {
      ZekLocalInvalidateWr l;
      std::memcpy(&l, &r, sizeof l);
      return post_local_invalidate(a, qp, l);
    }
    case ZEK_WR_RDMA_WRITE_INLINE:
    case ZEK_WR_SEND_INLINE: {
      std::uint8_t data[ZEK_VERBS_MAX_INLINE];
      std::uint32_t length = 0;
      if (const ZekStatus s = take_inline(a, r, data, &length); s != ZEK_STATUS_PASS) return s;
      wr.InlineData = data;
      wr.InlineLength = length;
      return r.Op == ZEK_WR_RDMA_WRITE_INLINE ? mifh_iwarp_imm_rdma_write(qp, &wr) : mifh_iwarp_imm_send(qp, &wr);
    }
    default:
      ZEK_LOG_FAILURE("zek_qp_post_sq(): Illegal operation type\n");
      return ZEK_STATUS_FAIL;
  }
}

}  // namespace

// ---- The verbs ---------------------------------------------------------------------------------------------
namespace {

// The queue pair a posting verb names, on its held adapter, in a state
// that takes the requests: 0, or the verb's refusal.
ZekStatus posting_target(const ZekAdapterHold& hold, std::uint64_t handle, bool send, MifhQpObject** qp) {
  *qp = nullptr;
  if (handle < ZEK_VERBS_QP_TABLE_SIZE) {
    if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
    *qp = ZekQpOfHandle(hold.get(), handle);
  }
  if (*qp == nullptr) {
    ZEK_LOG_FAILURE(send ? "zek_qp_post_sq(): QPHandle is NULL\n" : "zek_qp_post_rq(): QPHandle is NULL\n");
    return IWARP_STATUS_QP_INVALID_HANDLE;
  }
  const ZekQpVerbs* v = ZekQpOf(*qp);
  if (send ? !can_send(v) : !can_receive(v)) {
    ZEK_LOG_FAILURE(send ? "zek_qp_post_sq: QP Object is already in error or terminate state \n"
                         : "zek_qp_post_rq: QP Object is already in error or terminate state \n");
    return IWARP_STATUS_QP_INVALID_QP_STATE;
  }
  return ZEK_STATUS_PASS;
}

// The end of a posting verb: nothing written answers the loop's result;
// otherwise one doorbell for the n requests, their count, and 0.
ZekStatus announce(MifhQpObject* qp, bool send, std::uint32_t n, ZekStatus result, std::uint32_t* posted) {
  if (n == 0) return result;
  const ZekStatus rung = send ? mifh_iwarp_sq_doorbell(qp, n) : mifh_iwarp_rq_doorbell(qp, n);
  if (rung != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE(send ? "zek_qp_post_sq(): mifh_iwarp_qp_post_sq() returned error (0x%x)\n"
                         : "zek_qp_post_rq(): mifh_iwarp_qp_post_rq() returned error (0x%x)\n",
                    rung);
    return ZEK_STATUS_FAIL;
  }
  if (!ZekIsBadPointer(posted)) *posted = n;
  return ZEK_STATUS_PASS;
}

}  // namespace

ZekStatus zek_qp_post_sq(void* adapter, std::uint64_t handle, const ZekSendWr* requests, std::uint32_t* posted,
                         std::uint32_t count) {
  if (!ZekIsBadPointer(posted)) *posted = 0;
  ZekAdapterHold hold(adapter, "zek_qp_post_sq: Adapter not found \n");
  MifhQpObject* qp = nullptr;
  if (const ZekStatus s = posting_target(hold, handle, true, &qp); s != ZEK_STATUS_PASS) return s;
  if (count == 0) return ZEK_STATUS_PASS;
  if (ZekIsBadPointer(requests)) return ZEK_STATUS_BAD_PTR;
  ZekStatus result = ZEK_STATUS_PASS;
  std::uint32_t n = 0;
  for (; n < count; ++n) {
    const ZekSendWr& r = requests[n];
    result = post_one(hold.get(), qp, r);
    if (result != ZEK_STATUS_PASS) {
      if (r.Op >= 0 && r.Op <= ZEK_WR_SEND_INLINE && r.Op != 7) ZEK_LOG_FAILURE(failure_text(r.Op), result);
      break;
    }
    if (!can_send(ZekQpOf(qp))) {
      ZEK_LOG_FAILURE("zek_qp_post_sq: QP Object is not in RTS or IDLE state. \n");
      result = IWARP_STATUS_QP_INVALID_QP_STATE;
      ++n;
      break;
    }
  }
  return announce(qp, true, n, result, posted);
}

ZekStatus zek_qp_post_rq(void* adapter, std::uint64_t handle, const ZekRecvWr* requests, void*, std::uint32_t* posted,
                         std::uint32_t count) {
  if (!ZekIsBadPointer(posted)) *posted = 0;
  ZekAdapterHold hold(adapter, "zek_qp_post_rq: Adapter not found \n");
  MifhQpObject* qp = nullptr;
  if (const ZekStatus s = posting_target(hold, handle, false, &qp); s != ZEK_STATUS_PASS) return s;
  if (count == 0) return ZEK_STATUS_PASS;
  if (ZekIsBadPointer(requests)) return ZEK_STATUS_BAD_PTR;
  ZekStatus result = ZEK_STATUS_PASS;
  std::uint32_t n = 0;
  for (; n < count; ++n) {
    const ZekRecvWr& r = requests[n];
    MifhWorkRequest wr{};
    wr.WrId = r.WrId;
    result = take_sgl(hold.get(), ZekQpOf(qp)->Pd, r.Sgl, r.SgeCount, ZEK_VERBS_MAX_SGES, ZEK_ACCESS_LOCAL_WRITE, &wr,
                      "mifh_iwarp_post_receive");
    if (result == ZEK_STATUS_PASS) result = mifh_iwarp_post_receive(qp, &wr);
    if (result != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("zek_qp_post_rq(): mifh_iwarp_post_receive() returned error (0x%x)\n", result);
      break;
    }
  }
  return announce(qp, false, n, result, posted);
}

// ---- Fast registrations that never complete ----------------------------------------------------------------
void ZekFastRegFlushed(MifhQpObject* qp, std::uint32_t index, ZekWorkCompletion* completion) {
  if (qp->UserQp != 0 || qp->Sq == nullptr) return;
  const auto& w = static_cast<const zekhw::MifhFastRegWqe*>(qp->Sq)[index];
  if ((w.op_word & zekhw::kWqeOpMask) != zekhw::kWqeFastRegister || w.wr_id == 0) return;
  auto* c = reinterpret_cast<FastRegContext*>(w.wr_id);
  completion->WrId = c->Hw.WrId;
  c->Hw.Status = 1;
  c->Hw.Routine(c, c, 0, w.stag);
}

void ZekFastRegForgetQp(MifhQpObject* qp) {
  if (qp->UserQp != 0 || qp->Sq == nullptr) return;
  ZEK_OSPRIM_RING& ring = qp->SqRing;
  if (ring.Size == 0) return;
  for (std::uint32_t i = ring.Tail; i != ring.Head; i = (i + 1) % ring.Size) {
    const auto& w = static_cast<const zekhw::MifhFastRegWqe*>(qp->Sq)[i];
    if ((w.op_word & zekhw::kWqeOpMask) != zekhw::kWqeFastRegister || w.wr_id == 0) continue;
    auto* c = reinterpret_cast<FastRegContext*>(w.wr_id);
    c->Hw.Status = 1;
    c->Hw.Routine(c, c, 0, w.stag);
  }
  ring.Tail = ring.Head;
}
