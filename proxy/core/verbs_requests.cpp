// CommonIwarpIoctl: the plain iWARP verbs control requests (records and the
// decisions in include/zek/verbs_requests.h).
#include "proxy/core/verbs_requests.h"

#include <cstring>

#include "include/zek/ioctl.h"
#include "include/zek/registry.h"
#include "include/zek/verbs_requests.h"
#include "proxy/core/notify.h"
#include "proxy/core/zpx.h"
#include "proxy/rdma/verbs/verbs.h"

namespace zpxverbs {

UserRanges::~UserRanges() {
  for (int i = 0; i < used_; ++i) OSPrimUnMapIt(&records_[i]);
}

void* UserRanges::map(std::uint64_t address, std::uint64_t length) {
  void* p = reinterpret_cast<void*>(address);
  if (ZekIsBadPointer(p) || length == 0 || length > UINT32_MAX || used_ == kMax) {
    ZEK_LOG_FAILURE("%s: mapping failure\n", request_);
    return nullptr;
  }
  if (!user_) return p;
  void* system = nullptr;
  if (OSPrimMapIt(p, static_cast<std::uint32_t>(length), &records_[used_], &system) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("%s: mapping failure\n", request_);
    return nullptr;
  }
  ++used_;
  return system;
}

OwnAdapter::OwnAdapter(std::uint64_t handle) : adapter_(ZekHoldOwnAdapter(handle, PsGetCurrentProcessId())) {}
OwnAdapter::~OwnAdapter() {
  if (adapter_ != nullptr) ZekAdapterRelease(adapter_);
}

void log_status(const char* name, std::uint32_t status) {
  if (status != ZEK_STATUS_PASS)
    ZEK_LOG_FAILURE("%s:  failed with the error '%s'\n", name, ZEK_GetErrorMessage(status));
}

}  // namespace zpxverbs

namespace {

using zpxverbs::log_status;
using zpxverbs::OwnAdapter;
using zpxverbs::UserRanges;

using zpxverbs::as;
using zpxverbs::kFailed;
using zpxverbs::kRefused;
using zpxverbs::kServed;
using zpxverbs::on_own;

// The user completion-handler address of one of the adapter's CQs (read
// under the CQ list's lock); false when the CQ is not the adapter's.
bool user_handler_of(ZekIwarpAdapter* a, std::uint64_t cq, std::uint64_t* handler) {
  if (OSPrimSyncAcquireSpinlockObject(&a->CQListSpinlock) != ZEK_STATUS_PASS) return false;
  const bool held = ZekVerbsListHolds(&a->CqList, as<void>(cq));
  if (held) *handler = ZekCqOf(as<MifhCqObject>(cq))->UserHandler;
  OSPrimSyncReleaseSpinlockObject(&a->CQListSpinlock);
  return held;
}

// A CQ made a user CQ: ZPX_CQCallbackFunc with the user handler's address
// (0: nothing goes into the notification ring) and the CQ handle as its
// identifier.
std::uint32_t install(ZekIwarpAdapter* a, std::uint64_t cq, std::uint64_t user_handler) {
  return ZpxNotifyInstallCq(a, as<void>(cq), user_handler, cq);
}

ULONG open(ZekVreqOpen* r, PIRP irp) {
  ZekVerbsAddress address{};
  std::memcpy(&address, r->Selector, sizeof r->Selector);
  // The process's verbs objects go with the handle: never left behind.
  if (irp->RequestorMode != KernelMode && !NT_SUCCESS(ZpxAllocCleanupContext(irp))) {
    ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_OPEN: no clean-up context for the handle\n");
    r->Status = ZEK_STATUS_RES_INSUFFICIENT_SW;
    return kServed;
  }
  void* adapter = nullptr;
  r->Status = zek_open_user(&adapter, &address);
  if (r->Status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_OPEN: zek_open_user failed with the error '%s'\n", ZEK_GetErrorMessage(r->Status));
    return kServed;
  }
  static_cast<ZekIwarpAdapter*>(adapter)->ClientContext = as<void>(r->ClientValue);
  r->Adapter = reinterpret_cast<std::uint64_t>(adapter);
  return kServed;
}

ULONG cq_create(ZekVreqCqCreate* r) {
  r->Status = on_own(r->Adapter, [&](ZekIwarpAdapter* a) -> std::uint32_t {
    void* cq = nullptr;
    std::uint32_t entries = 0;
    // The user handler is a user address: never the kernel's routine.
    ZekStatus s = zek_async_cq_create(a, &cq, &entries, nullptr, nullptr, r->Requested, 0, nullptr);
    if (s != ZEK_STATUS_PASS) return s;
    const auto handle = reinterpret_cast<std::uint64_t>(cq);
    s = install(a, handle, r->Handler);
    if (s == ZEK_STATUS_PASS) s = zek_set_context(a, handle, ZEK_CONTEXT_CQ, as<void>(r->ClientValue));
    if (s != ZEK_STATUS_PASS) {
      zek_cq_destroy(a, cq);
      return s;
    }
    r->Cq = handle;
    r->Size = entries;
    return ZEK_STATUS_PASS;
  });
  log_status("IOCTL_ZEK_IWARP_CQ_CREATE", r->Status);
  return kServed;
}

ULONG cq_query(ZekVreqCqQuery* r) {
  if (r->Cq == 0) {
    ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_CQ_QUERY: CQHandle is NULL\n");
    return kRefused;
  }
  r->Status = on_own(r->Adapter, [&](ZekIwarpAdapter* a) -> std::uint32_t {
    ZekVerbsCqHandler routine = nullptr;
    std::uint32_t entries = 0;
    const ZekStatus s = zek_cq_query(a, as<void>(r->Cq), &routine, &entries);
    std::uint64_t handler = 0;
    if (s != ZEK_STATUS_PASS) return s;
    // The user handler's address, never the kernel routine's.
    if (!user_handler_of(a, r->Cq, &handler)) return IWARP_STATUS_CQ_INVALID_HANDLE;
    r->Handler = handler;
    r->Entries = entries;
    return ZEK_STATUS_PASS;
  });
  log_status("IOCTL_ZEK_IWARP_CQ_QUERY", r->Status);
  return kServed;
}

ULONG cq_poll(ZekVreqCqPoll* r, bool user) {
  UserRanges ranges(user, "IOCTL_ZEK_IWARP_CQ_POLL_COMPLETION");
  ZekWorkCompletion* out = nullptr;
  if (r->Completion != 0) {
    out = static_cast<ZekWorkCompletion*>(ranges.map(r->Completion, ZEK_VREQ_COMPLETION_BYTES));
    if (out == nullptr) return kFailed;
  }
  r->Status = on_own(r->Adapter, [&](ZekIwarpAdapter* a) -> std::uint32_t {
    ZekWorkCompletion local{};
    const ZekStatus s = zek_cq_poll_completion(a, as<void>(r->Cq), out != nullptr ? &local : nullptr);
    if (out != nullptr) std::memcpy(out, &local, sizeof local);
    return s;
  });
  if (r->Status != IWARP_STATUS_CQ_EMPTY) log_status("IOCTL_ZEK_IWARP_CQ_POLL_COMPLETION", r->Status);
  return kServed;
}

ULONG set_compl_handler(ZekVreqSetComplHandler* r) {
  if (r->Cq == 0) {
    ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_SET_COMPL_HANDLER: CQHandle is NULL\n");
    return kRefused;
  }
  r->Status = on_own(r->Adapter, [&](ZekIwarpAdapter* a) { return install(a, r->Cq, r->Handler); });
  log_status("IOCTL_ZEK_IWARP_SET_COMPL_HANDLER", r->Status);
  return kServed;
}

// QP_CREATE: the creation attributes copied once from the caller, the
// attribute block and the handle written to the caller's memory.
ULONG qp_create(ZekVreqQpCreate* r, bool user) {
  UserRanges ranges(user, "IOCTL_ZEK_IWARP_QP_CREATE");
  const void* in = ranges.map(r->CreateAttributes, ZEK_VREQ_QP_CREATE_BYTES);
  void* attributes = in == nullptr ? nullptr : ranges.map(r->Attributes, ZEK_VREQ_QP_ATTRIBUTES_BYTES);
  auto* handle_out = attributes == nullptr ? nullptr : ranges.map<std::uint64_t>(r->HandleOut);
  if (handle_out == nullptr) return kFailed;
  ZekQpCreateInput create;
  std::memcpy(&create, in, sizeof create);
  if (create.Feature48 != 0) {
    ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_QP_CREATE: Stag0 access is not permitted for non privileged qp\n");
    return kFailed;
  }
  r->Status = on_own(r->Adapter, [&](ZekIwarpAdapter* a) -> std::uint32_t {
    ZekQpAttributes out{};
    std::uint64_t handle = 0;
    ZekStatus s = zek_qp_create(a, &create, &out, &handle);
    if (s != ZEK_STATUS_PASS) return s;
    s = zek_set_context(a, handle, ZEK_CONTEXT_QP, as<void>(r->ClientValue));
    if (s != ZEK_STATUS_PASS) {
      zek_qp_destroy(a, handle);
      return s;
    }
    std::memcpy(attributes, &out, sizeof out);
    *handle_out = handle;
    return ZEK_STATUS_PASS;
  });
  log_status("IOCTL_ZEK_IWARP_QP_CREATE", r->Status);
  return kServed;
}

ULONG qp_modify(ZekVreqQpModify* r, bool user) {
  UserRanges ranges(user, "IOCTL_ZEK_IWARP_QP_MODIFY");
  ZekQpModifyInput in = r->Input;
  if (in.MessageLength > ZEK_VREQ_MAX_STREAM_MESSAGE) {
    ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_QP_MODIFY: a last streaming message of %u bytes refused\n", in.MessageLength);
    return kFailed;
  }
  if (in.MessageLength != 0) {
    in.Message = ranges.map(reinterpret_cast<std::uint64_t>(in.Message), in.MessageLength);
    if (in.Message == nullptr) return kFailed;
  } else {
    in.Message = nullptr;
  }
  r->Status = on_own(r->Adapter, [&](ZekIwarpAdapter* a) -> std::uint32_t {
    ZekQpModifyOutput out{};
    const ZekStatus s = zek_qp_modify(a, r->Qp, &in, &out);
    if (s == ZEK_STATUS_PASS) r->Output = out;
    return s;
  });
  // A user-access queue pair's rings are never resized: nothing to map anew.
  r->RqResized = 0;
  r->SqResized = 0;
  log_status("IOCTL_ZEK_IWARP_QP_MODIFY", r->Status);
  return kServed;
}

ULONG qp_query(ZekVreqQpQuery* r, bool user) {
  UserRanges ranges(user, "IOCTL_ZEK_IWARP_QP_QUERY");
  void* attributes = ranges.map(r->Attributes, ZEK_VREQ_QP_ATTRIBUTES_BYTES);
  if (attributes == nullptr) return kFailed;
  r->Status = on_own(r->Adapter, [&](ZekIwarpAdapter* a) -> std::uint32_t {
    ZekQpAttributes out{};
    const ZekStatus s = zek_qp_query(a, r->Qp, &out);
    if (s == ZEK_STATUS_PASS) std::memcpy(attributes, &out, sizeof out);
    return s;
  });
  log_status("IOCTL_ZEK_IWARP_QP_QUERY", r->Status);
  return kServed;
}

ULONG adapter_addrs(ZekVreqAdapterAddrs* r, bool user) {
  if (r->Addresses == 0) {
    ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_ADAPTER_ADDRS: pAddrs is NULL\n");
    return kRefused;
  }
  if (r->Count == 0) {
    ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_ADAPTER_ADDRS: NumAdapters is zero\n");
    return kFailed;
  }
  if (r->Count > ZEK_VREQ_MAX_ADDRESSES) {
    ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_ADAPTER_ADDRS: NumAdapters is 256 < (0x%x)\n", r->Count);
    return kFailed;
  }
  UserRanges ranges(user, "IOCTL_ZEK_IWARP_ADAPTER_ADDRS");
  auto* addresses = static_cast<ZekVerbsAddress*>(ranges.map(r->Addresses, std::uint64_t{r->Count} * 16));
  if (addresses == nullptr) return kFailed;
  char text[ZEK_VREQ_MAX_ADDRESS_TEXT + 1] = {};
  const char* wanted = nullptr;
  if (r->AddressText != 0) {
    if (r->AddressTextLength == 0 || r->AddressTextLength > ZEK_VREQ_MAX_ADDRESS_TEXT) {
      ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_ADAPTER_ADDRS: address text of %u bytes refused\n", r->AddressTextLength);
      return kFailed;
    }
    const void* source = ranges.map(r->AddressText, r->AddressTextLength);
    if (source == nullptr) return kFailed;
    std::memcpy(text, source, r->AddressTextLength);
    wanted = text;
  }
  ZekVerbsAddress local[ZEK_VREQ_MAX_ADDRESSES];
  std::uint32_t count = r->Count;
  r->Status = zek_adapter_addrs(local, &count, wanted);
  if (r->Status == ZEK_STATUS_PASS) {
    if (count > r->Count) count = r->Count;
    std::memcpy(addresses, local, std::size_t{count} * sizeof local[0]);
    r->Count = count;
  } else {
    ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_ADAPTER_ADDRS: zek_adapter_addrs failed with the error '%s'\n",
                    ZEK_GetErrorMessage(r->Status));
  }
  return kServed;
}

// The shared receive queue is not supported: status 1 after the optional
// buffers are mapped.
ULONG srq(void* record, ULONG code, const char* name, bool user) {
  auto* bytes = static_cast<std::uint8_t*>(record);
  UserRanges ranges(user, name);
  std::uint32_t status_offset = ZEK_VREQ_SRQ_DESTROY_STATUS;
  switch (code) {
    case IOCTL_ZEK_IWARP_SRQ_CREATE:
      status_offset = ZEK_VREQ_SRQ_CREATE_STATUS;
      break;
    case IOCTL_ZEK_IWARP_SRQ_QUERY:
    case IOCTL_ZEK_IWARP_SRQ_MODIFY: {
      status_offset = code == IOCTL_ZEK_IWARP_SRQ_QUERY ? ZEK_VREQ_SRQ_QUERY_STATUS : ZEK_VREQ_SRQ_MODIFY_STATUS;
      for (std::uint32_t offset = 16; offset < status_offset; offset += 8) {
        std::uint64_t pointer;
        std::memcpy(&pointer, bytes + offset, sizeof pointer);
        if (pointer != 0 && ranges.map(pointer, ZEK_VREQ_SRQ_BUFFER_BYTES) == nullptr) return kFailed;
      }
      break;
    }
    default:
      break;
  }
  const std::uint32_t status = zek_srq_not_supported();
  std::memcpy(bytes + status_offset, &status, sizeof status);
  log_status(name, status);
  return kServed;
}

}  // namespace

NTSTATUS ZekIwarpNotifyDisconnect(PIRP Irp, void* Record) {
  if (ZekIsBadPointer(Record) || ZekIsBadPointer(Irp) || g_ZpxExtension == nullptr) {
    ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_NDI_NOTIFY_DISCONNECT: pParm is NULL\n");
    return STATUS_UNSUCCESSFUL;
  }
  const auto* r = static_cast<const ZekNdNotifyDisconnectRecord*>(Record);
  OwnAdapter own(r->Adapter);
  // Referenced while the wait goes in: its destroy (which cancels the waits
  // under it) cannot run in between.
  MifhQpObject* qp = own ? ZekQpReference(own.get(), r->QPIndex) : nullptr;
  if (qp == nullptr) {
    ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_NDI_NOTIFY_DISCONNECT: QP %u of adapter %llx is not the caller's\n", r->QPIndex,
                    static_cast<unsigned long long>(r->Adapter));
    return STATUS_INVALID_HANDLE;
  }
  Irp->IoStatus.Information = 0;
  ZpxQueueKey key{ZPX_QUEUE_CONTEXT, reinterpret_cast<ULONG64>(qp), ZpxCallerOwner()};
  const NTSTATUS status = IoCsqInsertIrpEx(&g_ZpxExtension->Csq, Irp, nullptr, &key);
  // A connection that ended before the wait went in completes it at once
  // (the end marks the queue pair before it completes the waits, so one of
  // the two sees the other).
  if (NT_SUCCESS(status) && ZekQpConnectionHasEnded(qp)) ZpxQpDisconnected(qp);
  ZekQpEventRelease(qp);
  return NT_SUCCESS(status) ? STATUS_PENDING : status;
}

void ZpxQpDisconnected(void* qp) {
  if (!ZekIsBadPointer(qp)) ZpxCompleteQueuedIrps(reinterpret_cast<ULONG64>(qp), ZPX_COMPLETE_SUCCESS, TRUE);
}

void ZpxQpNotificationsEnd(void* qp) {
  // Off the adapter's lists already: the key names no object, so every
  // wait under it (its owner's) is reached.
  if (!ZekIsBadPointer(qp) && g_ZpxExtension != nullptr) {
    ZpxCompleteQueuedIrpsOf(ZPX_ANY_OWNER, reinterpret_cast<ULONG64>(qp), 1, TRUE);
  }
}

ULONG CommonIwarpIoctl(void* Record, ULONG Code, ULONG_PTR* Bytes, PIRP Irp) {
  const ZekIoctlInfo* info = ZekIoctlLookup(Code);
  const char* name = info != nullptr ? info->name : "CommonIwarpIoctl";
  if (ZekIsBadPointer(Record)) {
    ZEK_LOG_FAILURE("%s: pParm is NULL\n", name);
    return kRefused;
  }
  if (ZekIsBadPointer(Bytes)) {
    ZEK_LOG_FAILURE("%s: pBytesReturned\n", name);
    return kRefused;
  }
  *Bytes = 0;
  if (info == nullptr || ZekIsBadPointer(Irp) ||
      (info->family != ZekIoctlFamily::VERBS && info->family != ZekIoctlFamily::VERBS_USER_ACCESS)) {
    return kFailed;
  }
  const bool user = Irp->RequestorMode != KernelMode;
  ULONG result = kFailed;
  switch (Code) {
    case IOCTL_ZEK_IWARP_OPEN:
      result = open(static_cast<ZekVreqOpen*>(Record), Irp);
      break;
    case IOCTL_ZEK_IWARP_CLOSE: {
      auto* r = static_cast<ZekVreqAdapter*>(Record);
      r->Status = ZekCloseOwn(as<void>(r->Adapter), PsGetCurrentProcessId());
      log_status(name, r->Status);
      result = kServed;
      break;
    }
    case IOCTL_ZEK_IWARP_QUERY: {
      auto* r = static_cast<ZekVreqQuery*>(Record);
      r->Status = on_own(r->Adapter, [&](ZekIwarpAdapter* a) { return zek_query(a, &r->Attributes); });
      log_status(name, r->Status);
      result = kServed;
      break;
    }
    case IOCTL_ZEK_IWARP_SET_ASYNC_HANDLER: {
      auto* r = static_cast<ZekVreqSetAsyncHandler*>(Record);
      if (r->Handler == 0) ZEK_LOG_FAILURE("zek_save_usermode_asyncfunction(): AsyncFunction is NULL\n");
      r->Status = on_own(r->Adapter, [&](ZekIwarpAdapter* a) {
        ZekVerbsAsyncHandler previous = nullptr;
        // Only handed back to the process by the event wait, never called.
        const ZekStatus s = zek_set_async_handler(a, as<void(void*, void*)>(r->Handler), &previous);
        if (s == ZEK_STATUS_PASS) r->Previous = reinterpret_cast<std::uint64_t>(previous);
        return s;
      });
      log_status(name, r->Status);
      result = kServed;
      break;
    }
    case IOCTL_ZEK_IWARP_PD_ALLOCATE: {
      auto* r = static_cast<ZekVreqPdAllocate*>(Record);
      r->Status = on_own(r->Adapter, [&](ZekIwarpAdapter* a) {
        void* pd = nullptr;
        const ZekStatus s = zek_pd_allocate(a, &pd);
        if (s == ZEK_STATUS_PASS) r->Pd = reinterpret_cast<std::uint64_t>(pd);
        return s;
      });
      log_status(name, r->Status);
      result = kServed;
      break;
    }
    case IOCTL_ZEK_IWARP_PD_DEALLOCATE:
    case IOCTL_ZEK_IWARP_CQ_DESTROY:
    case IOCTL_ZEK_IWARP_QP_DESTROY:
    case IOCTL_ZEK_IWARP_QP_FLUSH_RQ: {
      auto* r = static_cast<ZekVreqObject*>(Record);
      r->Status = on_own(r->Adapter, [&](ZekIwarpAdapter* a) -> std::uint32_t {
        switch (Code) {
          case IOCTL_ZEK_IWARP_PD_DEALLOCATE:
            return zek_pd_deallocate(a, as<void>(r->Object));
          case IOCTL_ZEK_IWARP_CQ_DESTROY:
            return zek_cq_destroy(a, as<void>(r->Object));
          case IOCTL_ZEK_IWARP_QP_DESTROY:
            return zek_qp_destroy(a, r->Object);
          default:
            return zek_qp_rq_flush(a, r->Object, nullptr, nullptr);
        }
      });
      log_status(name, r->Status);
      result = kServed;
      break;
    }
    case IOCTL_ZEK_IWARP_CQ_CREATE:
      result = cq_create(static_cast<ZekVreqCqCreate*>(Record));
      break;
    case IOCTL_ZEK_IWARP_CQ_QUERY:
      result = cq_query(static_cast<ZekVreqCqQuery*>(Record));
      break;
    case IOCTL_ZEK_IWARP_CQ_MODIFY: {
      auto* r = static_cast<ZekVreqCqModify*>(Record);
      r->Status = on_own(r->Adapter,
                         [&](ZekIwarpAdapter* a) { return zek_cq_modify(a, as<void>(r->Cq), &r->Size, r->Requested); });
      log_status(name, r->Status);
      result = kServed;
      break;
    }
    case IOCTL_ZEK_IWARP_CQ_POLL_COMPLETION:
      result = cq_poll(static_cast<ZekVreqCqPoll*>(Record), user);
      break;
    case IOCTL_ZEK_IWARP_SET_COMPL_HANDLER:
      result = set_compl_handler(static_cast<ZekVreqSetComplHandler*>(Record));
      break;
    case IOCTL_ZEK_IWARP_CQ_REQUEST_NOTIFICATION: {
      auto* r = static_cast<ZekVreqCqNotify*>(Record);
      r->Status = on_own(r->Adapter,
                         [&](ZekIwarpAdapter* a) { return zek_cq_request_notification(a, as<void>(r->Cq), r->Type); });
      log_status(name, r->Status);
      result = kServed;
      break;
    }
    case IOCTL_ZEK_IWARP_SRQ_CREATE:
    case IOCTL_ZEK_IWARP_SRQ_DESTROY:
    case IOCTL_ZEK_IWARP_SRQ_QUERY:
    case IOCTL_ZEK_IWARP_SRQ_MODIFY:
      result = srq(Record, Code, name, user);
      break;
    case IOCTL_ZEK_IWARP_QP_CREATE:
      result = qp_create(static_cast<ZekVreqQpCreate*>(Record), user);
      break;
    case IOCTL_ZEK_IWARP_QP_QUERY:
      result = qp_query(static_cast<ZekVreqQpQuery*>(Record), user);
      break;
    case IOCTL_ZEK_IWARP_QP_MODIFY:
      result = qp_modify(static_cast<ZekVreqQpModify*>(Record), user);
      break;
    case IOCTL_ZEK_IWARP_IS_QP_RQ_EMPTY: {
      auto* r = static_cast<ZekVreqRqEmpty*>(Record);
      r->Status = on_own(r->Adapter, [&](ZekIwarpAdapter* a) { return zek_is_qp_rq_empty(a, r->Qp, &r->Empty); });
      log_status(name, r->Status);
      result = kServed;
      break;
    }
    case IOCTL_ZEK_IWARP_ADAPTER_ADDRS:
      result = adapter_addrs(static_cast<ZekVreqAdapterAddrs*>(Record), user);
      break;
    case IOCTL_ZEK_IWARP_PD_ALLOCATE_W_USER_ACCESS:
      result = zpxverbs::PdAllocateUserAccess(Record, user);
      break;
    case IOCTL_ZEK_IWARP_PD_DEALLOCATE_W_USER_ACCESS:
      result = zpxverbs::PdDeallocateUserAccess(Record);
      break;
    case IOCTL_ZEK_IWARP_CQ_CREATE_W_USER_ACCESS:
      result = zpxverbs::CqCreateUserAccess(Record, user);
      break;
    case IOCTL_ZEK_IWARP_CQ_DESTROY_W_USER_ACCESS:
      result = zpxverbs::CqDestroyUserAccess(Record);
      break;
    case IOCTL_ZEK_IWARP_QP_CREATE_W_USER_ACCESS:
      result = zpxverbs::QpCreateUserAccess(Record, user);
      break;
    case IOCTL_ZEK_IWARP_QP_DESTROY_W_USER_ACCESS:
      result = zpxverbs::QpDestroyUserAccess(Record);
      break;
    case IOCTL_ZEK_IWARP_QP_POST_SQ:
      result = zpxverbs::PostSq(Record, user);
      break;
    case IOCTL_ZEK_IWARP_QP_POST_RQ:
      result = zpxverbs::PostRq(Record, user);
      break;
    case IOCTL_ZEK_IWARP_MR_ALLOC_NONSHARED_STAG:
      result = zpxverbs::MrAllocStag(Record, user);
      break;
    case IOCTL_ZEK_IWARP_MR_REGISTER_NON_SHARED:
      result = zpxverbs::MrRegister(Record);
      break;
    case IOCTL_ZEK_IWARP_MR_REREGISTER_NON_SHARED:
      result = zpxverbs::MrReregister(Record);
      break;
    case IOCTL_ZEK_IWARP_MR_REGISTER_SHARED:
      result = zpxverbs::MrRegisterShared(Record);
      break;
    case IOCTL_ZEK_IWARP_MR_QUERY:
    case IOCTL_ZEK_IWARP_MW_QUERY:
      result = zpxverbs::StagQuery(Record, user, Code == IOCTL_ZEK_IWARP_MR_QUERY);
      break;
    case IOCTL_ZEK_IWARP_MR_DEALLOC:
      result = zpxverbs::MrDealloc(Record);
      break;
    case IOCTL_ZEK_IWARP_MW_ALLOC:
      result = zpxverbs::MwAlloc(Record, user);
      break;
    default:
      // The duplicate-object codes come with their take-over; 0x12D2C0 is
      // not served.
      ZEK_LOG_FAILURE("CommonIwarpIoctl: %s (0x%x) is not served\n", name, Code);
      return kFailed;
  }
  if (result == kServed) *Bytes = info->record_bytes;
  return result;
}
