// The verbs requests of posting, memory regions and memory windows (records
// and decisions in include/zek/verbs_requests.h): every request of a posting
// array is copied from the caller with its scatter-gather list and handed to
// the verb as kernel memory; the region requests register the caller's own
// buffers and answer through pointers mapped for exactly their length.
#include <cstring>

#include "include/hw/stag.h"
#include "include/zek/ioctl.h"
#include "include/zek/verbs_requests.h"
#include "platform/kernel/io/usermem.h"
#include "proxy/core/verbs_requests.h"
#include "proxy/rdma/verbs/verbs.h"

namespace zpxverbs {

namespace {

// Requests converted and posted per verb call.
constexpr std::uint32_t kBatch = 16;

// Bytes of the caller's (a user process's, or a kernel requestor's own) at
// `from` into `to`: false when any byte is not the caller's.
bool copy_in(bool user, void* to, std::uint64_t from, std::size_t bytes) {
  if (bytes == 0) return true;
  if (from == 0 || ZekIsBadPointer(as<void>(from))) return false;
  if (!user) {
    std::memcpy(to, as<const void>(from), bytes);
    return true;
  }
  return NT_SUCCESS(PlatCopyFromUser(to, as<const void>(from), bytes));
}

// A queue pair the process writes through its own mapped rings (read under
// the QP list's lock).
bool user_access_qp(ZekIwarpAdapter* a, std::uint64_t handle) {
  if (handle >= ZEK_VERBS_QP_TABLE_SIZE) return false;
  if (OSPrimSyncAcquireSpinlockObject(&a->QPListSpinlock) != ZEK_STATUS_PASS) return false;
  const MifhQpObject* qp = a->QpTable[handle];
  const bool user = qp != nullptr && ZekVerbsListHolds(&a->QpList, qp) && qp->UserQp != 0;
  OSPrimSyncReleaseSpinlockObject(&a->QPListSpinlock);
  return user;
}

// One scatter-gather list of the caller's into `to`: 0, or the refusal.
ZekStatus take_list(bool user, std::uint64_t list, std::uint32_t count, ZekSge (&to)[ZEK_VERBS_MAX_SGES]) {
  if (count > ZEK_VERBS_MAX_SGES) return IWARP_STATUS_QP_INVALID_NUM_SGES;
  if (!copy_in(user, to, list, std::size_t{count} * sizeof(ZekSge))) return ZEK_STATUS_BAD_PTR;
  return ZEK_STATUS_PASS;
}

// A send request made the kernel's: its list (the operations that have one)
// copied into `sges`; other pointers cleared.
ZekStatus convert(bool user, ZekSendWr* r, ZekSge (&sges)[ZEK_VERBS_MAX_SGES]) {
  switch (r->Op) {
    case ZEK_WR_RDMA_WRITE:
    case ZEK_WR_RDMA_READ:
    case ZEK_WR_RDMA_READ_INVALIDATE:
    case ZEK_WR_SEND:
    case ZEK_WR_SEND_INVALIDATE:
    case ZEK_WR_SEND_SOLICITED:
    case ZEK_WR_SEND_SOLICITED_INVALIDATE:
    case ZEK_WR_RDMA_WRITE_INLINE:
    case ZEK_WR_SEND_INLINE: {
      const ZekStatus s = take_list(user, reinterpret_cast<std::uint64_t>(r->Sgl), r->SgeCount, sges);
      r->Sgl = s == ZEK_STATUS_PASS && r->SgeCount > 0 ? sges : nullptr;
      return s;
    }
    case ZEK_WR_FAST_REGISTER:
      // A physical page list is a kernel client's only: never followed here.
      if (user) reinterpret_cast<ZekFastRegisterWr*>(r)->PageList = nullptr;
      return ZEK_STATUS_PASS;
    case ZEK_WR_BIND:
    case ZEK_WR_LOCAL_INVALIDATE:
      return ZEK_STATUS_PASS;  // no pointer
    default:
      r->Sgl = nullptr;  // the verb refuses the operation
      return ZEK_STATUS_PASS;
  }
}

ZekStatus convert(bool user, ZekRecvWr* r, ZekSge (&sges)[ZEK_VERBS_MAX_SGES]) {
  const ZekStatus s = take_list(user, reinterpret_cast<std::uint64_t>(r->Sgl), r->SgeCount, sges);
  r->Sgl = s == ZEK_STATUS_PASS && r->SgeCount > 0 ? sges : nullptr;
  return s;
}

// Posts `count` requests of `Wr` from the caller's array (mapped at
// `requests`) in batches: each request converted, then the verb for the
// batch. Stops at the first refusal; *posted counts what went.
template <typename Wr, typename Post>
ZekStatus post_all(bool user, const std::uint8_t* requests, std::uint32_t count, std::uint32_t* posted, Post post) {
  *posted = 0;
  if (count == 0) {
    std::uint32_t none = 0;
    return post(static_cast<const Wr*>(nullptr), 0u, &none);
  }
  Wr batch[kBatch];
  ZekSge sges[kBatch][ZEK_VERBS_MAX_SGES];
  for (std::uint32_t at = 0; at < count;) {
    const std::uint32_t want = count - at < kBatch ? count - at : kBatch;
    std::memcpy(static_cast<void*>(batch), requests + std::size_t{at} * sizeof(Wr), std::size_t{want} * sizeof(Wr));
    std::uint32_t ready = 0;
    ZekStatus refused = ZEK_STATUS_PASS;
    for (; ready < want; ++ready) {
      refused = convert(user, &batch[ready], sges[ready]);
      if (refused != ZEK_STATUS_PASS) break;
    }
    std::uint32_t n = 0;
    const ZekStatus s = ready > 0 ? post(batch, ready, &n) : ZEK_STATUS_PASS;
    *posted += n;
    if (s != ZEK_STATUS_PASS) return s;
    if (refused != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("posting: request %u of the caller's refused (0x%x)\n", at + ready, refused);
      return refused;
    }
    at += want;
  }
  return ZEK_STATUS_PASS;
}

template <typename Record, typename Wr, typename Verb>
ULONG post_request(Record* r, bool user, const char* name, const char* null_text, Verb verb) {
  if (r->Requests == 0) {
    ZEK_LOG_FAILURE("%s", null_text);
    return kRefused;
  }
  if (r->Count > ZEK_VREQ_MAX_POST) {
    ZEK_LOG_FAILURE("%s: %u work requests refused (at most %u)\n", name, r->Count, ZEK_VREQ_MAX_POST);
    return kFailed;
  }
  UserRanges ranges(user, name);
  const std::uint8_t* requests = nullptr;
  if (r->Count > 0) {
    requests = static_cast<const std::uint8_t*>(ranges.map(r->Requests, std::uint64_t{r->Count} * sizeof(Wr)));
    if (requests == nullptr) return kFailed;
  }
  std::uint32_t* posted_out = nullptr;
  if (r->Posted != 0 && (posted_out = ranges.map<std::uint32_t>(r->Posted)) == nullptr) return kFailed;
  std::uint32_t posted = 0;
  r->Status = on_own(r->Adapter, [&](ZekIwarpAdapter* a) -> std::uint32_t {
    if (user_access_qp(a, r->Qp)) {
      ZEK_LOG_FAILURE("%s: QP %llu is a user-access queue pair: posted through its own rings\n", name,
                      static_cast<unsigned long long>(r->Qp));
      return IWARP_STATUS_QP_INVALID_HANDLE;
    }
    return post_all<Wr>(user, requests, r->Count, &posted,
                        [&](const Wr* batch, std::uint32_t n, std::uint32_t* done) { return verb(a, batch, n, done); });
  });
  if (posted_out != nullptr) *posted_out = posted;
  log_status(name, r->Status);
  return kServed;
}

// The address and length of an STag's record on the adapter: false when
// the adapter has none (regions and windows).
bool stag_values(ZekIwarpAdapter* a, std::uint32_t stag, std::uint64_t* address, std::uint32_t* length) {
  if (OSPrimSyncAcquireSpinlockObject(&a->StagListSpinlock) != ZEK_STATUS_PASS) return false;
  const ZekStagRecord* record = ZekFindStagLocked(a, zekhw::stag_index(stag), ZekStagKind::Any);
  if (record != nullptr) {
    *address = record->Address;
    *length = record->Length;
  }
  OSPrimSyncReleaseSpinlockObject(&a->StagListSpinlock);
  return record != nullptr;
}

ZekMrRegisterRequest region_request(const ZekVreqRegion& region) {
  ZekMrRegisterRequest request{};
  request.Address = region.Address;
  request.Length = region.Length;
  request.Kept = region.Kept;
  request.Access = region.Access;
  request.Key = region.Key;
  return request;
}

}  // namespace

ULONG PostSq(void* record, bool user) {
  return post_request<ZekVreqPostSq, ZekSendWr>(
      static_cast<ZekVreqPostSq*>(record), user, "IOCTL_ZEK_IWARP_QP_POST_SQ",
      "IOCTL_ZEK_IWARP_QP_POST_SQ: pQPPostSQInputInfo\n",
      [&](ZekIwarpAdapter* a, const ZekSendWr* batch, std::uint32_t n, std::uint32_t* done) {
        return zek_qp_post_sq(a, static_cast<ZekVreqPostSq*>(record)->Qp, batch, done, n);
      });
}

ULONG PostRq(void* record, bool user) {
  return post_request<ZekVreqPostRq, ZekRecvWr>(
      static_cast<ZekVreqPostRq*>(record), user, "IOCTL_ZEK_IWARP_QP_POST_RQ",
      "IOCTL_ZEK_IWARP_QP_POST_RQ: pQPPostRQInputInfo \n",
      [&](ZekIwarpAdapter* a, const ZekRecvWr* batch, std::uint32_t n, std::uint32_t* done) {
        return zek_qp_post_rq(a, static_cast<ZekVreqPostRq*>(record)->Qp, batch, nullptr, done, n);
      });
}

ULONG MrAllocStag(void* record, bool user) {
  constexpr const char* kName = "IOCTL_ZEK_IWARP_MR_ALLOC_NONSHARED_STAG";
  auto* r = static_cast<ZekVreqMrAllocStag*>(record);
  UserRanges ranges(user, kName);
  std::uint32_t* stag_out = r->Stag == 0 ? nullptr : ranges.map<std::uint32_t>(r->Stag);
  if (r->Stag != 0 && stag_out == nullptr) return kFailed;
  std::uint32_t* size_out = nullptr;
  if (r->PageListSize != 0 && (size_out = ranges.map<std::uint32_t>(r->PageListSize)) == nullptr) return kFailed;
  if (stag_out == nullptr) {
    // An STag the caller could not name would stay until the close.
    r->Status = ZEK_STATUS_BAD_PTR;
  } else {
    r->Status = on_own(r->Adapter, [&](ZekIwarpAdapter* a) -> std::uint32_t {
      std::uint32_t stag = 0, size = 0;
      const ZekStatus s = zek_mr_alloc_nonshared_STag(a, as<void>(r->Pd), r->Entries, r->Access, &stag, &size);
      if (s == ZEK_STATUS_PASS) {
        *stag_out = stag;
        if (size_out != nullptr) *size_out = size;
      }
      return s;
    });
  }
  log_status(kName, r->Status);
  return kServed;
}

ULONG MrRegister(void* record) {
  auto* r = static_cast<ZekVreqMrRegister*>(record);
  const ZekMrRegisterRequest request = region_request(r->Region);
  r->Status = on_own(r->Adapter, [&](ZekIwarpAdapter* a) -> std::uint32_t {
    std::uint32_t stag = 0;
    std::uint64_t address = 0;
    // The caller's own buffer: probed, locked and secured by the verb.
    const ZekStatus s = zek_mr_register_nonshared(a, as<void>(r->Pd), &request, &stag, &address, ZEK_MR_USER_BUFFER);
    if (s == ZEK_STATUS_PASS) {
      r->Stag = stag;
      r->Written44 = 0;
    }
    return s;
  });
  log_status("IOCTL_ZEK_IWARP_MR_REGISTER_NON_SHARED", r->Status);
  return kServed;
}

ULONG MrReregister(void* record) {
  constexpr const char* kName = "IOCTL_ZEK_IWARP_MR_REREGISTER_NON_SHARED";
  auto* r = static_cast<ZekVreqMrReregister*>(record);
  const ZekMrRegisterRequest request = region_request(r->Region);
  OwnAdapter own(r->Adapter);
  if (!own) {
    r->Status = IWARP_STATUS_A_INVALID_RNIC_HANDLE;
    log_status(kName, r->Status);
    return kServed;
  }
  std::uint64_t old_address = 0;
  std::uint32_t old_length = 0;
  if (!stag_values(own.get(), r->Stag, &old_address, &old_length)) {
    ZEK_LOG_FAILURE("%s: pMRStagInfo is NULL\n", kName);
    return kRefused;
  }
  std::uint64_t address = 0;
  std::uint32_t new_stag = 0;
  r->Status = zek_mr_reregister_nonshared(own.get(), as<void>(r->Pd), &request, &address, &new_stag, r->Stag,
                                          ZEK_MR_USER_BUFFER);
  r->OldAddress = old_address;
  r->OldLength = old_length;
  if (r->Status == ZEK_STATUS_PASS) {
    r->NewStag = new_stag;
    r->Written44 = 0;
  }
  log_status(kName, r->Status);
  return kServed;
}

ULONG MrRegisterShared(void* record) {
  auto* r = static_cast<ZekVreqMrShared*>(record);
  const ZekMrSharedRequest request = r->Request;
  r->Status = on_own(r->Adapter, [&](ZekIwarpAdapter* a) -> std::uint32_t {
    std::uint32_t stag = 0;
    const ZekStatus s = zek_mr_register_shared(a, as<void>(r->Pd), &request, &stag, r->Existing);
    if (s == ZEK_STATUS_PASS) r->Stag = stag;
    return s;
  });
  log_status("IOCTL_ZEK_IWARP_MR_REGISTER_SHARED", r->Status);
  return kServed;
}

ULONG StagQuery(void* record, bool user, bool region) {
  const char* name = region ? "IOCTL_ZEK_IWARP_MR_QUERY" : "IOCTL_ZEK_IWARP_MW_QUERY";
  auto* r = static_cast<ZekVreqStagQuery*>(record);
  UserRanges ranges(user, name);
  void* out = ranges.map(r->Info, region ? sizeof(ZekMrQueryInfo) : sizeof(ZekMwQueryInfo));
  if (out == nullptr) return kFailed;
  r->Status = on_own(r->Adapter, [&](ZekIwarpAdapter* a) -> std::uint32_t {
    if (region) {
      ZekMrQueryInfo info{};
      const ZekStatus s = zek_mr_query(a, &info, r->Stag);
      if (s == ZEK_STATUS_PASS) std::memcpy(out, &info, sizeof info);
      return s;
    }
    ZekMwQueryInfo info{};
    const ZekStatus s = zek_mw_query(a, &info, r->Stag);
    if (s == ZEK_STATUS_PASS) std::memcpy(out, &info, sizeof info);
    return s;
  });
  log_status(name, r->Status);
  return kServed;
}

ULONG MrDealloc(void* record) {
  constexpr const char* kName = "IOCTL_ZEK_IWARP_MR_DEALLOC";
  auto* r = static_cast<ZekVreqMrDealloc*>(record);
  OwnAdapter own(r->Adapter);
  if (!own) {
    r->Status = IWARP_STATUS_A_INVALID_RNIC_HANDLE;
    log_status(kName, r->Status);
    return kServed;
  }
  std::uint64_t address = 0;
  std::uint32_t length = 0;
  if (!stag_values(own.get(), r->Stag, &address, &length)) {
    ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_MR_DEALLOC: pMRStagInfo is NULL\n");
    return kRefused;
  }
  r->OldAddress = address;
  r->OldLength = length;
  r->Status = zek_mr_dealloc(own.get(), r->Stag);
  log_status(kName, r->Status);
  return kServed;
}

ULONG MwAlloc(void* record, bool user) {
  constexpr const char* kName = "IOCTL_ZEK_IWARP_MW_ALLOC";
  auto* r = static_cast<ZekVreqMwAlloc*>(record);
  if (r->Stag == 0) return kServed;  // no verb; the status as it was sent
  UserRanges ranges(user, kName);
  auto* out = ranges.map<std::uint32_t>(r->Stag);
  if (out == nullptr) return kFailed;
  r->Status = on_own(r->Adapter, [&](ZekIwarpAdapter* a) -> std::uint32_t {
    std::uint32_t stag = 0;
    const ZekStatus s = zek_mw_alloc(a, as<void>(r->Pd), &stag);
    if (s == ZEK_STATUS_PASS) *out = stag;
    return s;
  });
  log_status(kName, r->Status);
  return kServed;
}

}  // namespace zpxverbs
