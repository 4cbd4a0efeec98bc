// Completion notification and the event wait.
#include "proxy/core/notify.h"

#include <cstring>

#include "proxy/core/async_events.h"
#include "proxy/core/zpx.h"
#include "proxy/rdma/hw/async_events.h"
#include "proxy/rdma/hw/qp.h"
#include "proxy/rdma/hw/ring.h"
#include "proxy/rdma/verbs/verbs.h"

namespace {

PIO_CSQ queue() { return g_ZpxExtension != nullptr ? &g_ZpxExtension->Csq : nullptr; }

bool lock(ZpxNotifyState* s) { return s->Valid != 0 && OSPrimSyncAcquireSpinlockObject(&s->Lock) == ZEK_STATUS_PASS; }
void unlock(ZpxNotifyState* s) { OSPrimSyncReleaseSpinlockObject(&s->Lock); }

// Under the asynchronous-event ring's own lock.
bool async_event_queued(MifhAsyncEventRing* ring) {
  if (OSPrimSyncAcquireSpinlockObject(&ring->AsyncEventSpinlock) != ZEK_STATUS_PASS) return false;
  const bool queued = !ZekRingIsEmpty(&ring->Ring);
  OSPrimSyncReleaseSpinlockObject(&ring->AsyncEventSpinlock);
  return queued;
}

void set_waiter_present(MifhAsyncEventRing* ring) {
  if (OSPrimSyncAcquireSpinlockObject(&ring->AsyncEventSpinlock) != ZEK_STATUS_PASS) return;
  ring->WaiterPresent = 1;
  OSPrimSyncReleaseSpinlockObject(&ring->AsyncEventSpinlock);
}

// Takes the oldest queued asynchronous event into `out` (16 bytes). An event
// whose object is gone is dropped and logged.
enum class Taken { None, Event, Broken };
Taken take_event(ZekIwarpAdapter* a, std::uint8_t* out) {
  MifhAsyncEventSlot event{};
  if (RemoveAsyncEvent(&a->AsyncEvents, &event) == nullptr) return Taken::None;
  if (event.ObjectId == 0) {
    ZEK_LOG_FAILURE("zek_query_async_error(): We Have a Problem Here \n");
    return Taken::Broken;
  }
  std::memcpy(out, &event, sizeof event);
  return Taken::Event;
}

// Under the notification lock, with the ring drained: the identifiers of
// CQs whose notification found the ring full, each once.
std::uint32_t take_missed(ZekIwarpAdapter* a, std::uint64_t* out, std::uint32_t room) {
  a->Notify.Overflow = 0;
  if (OSPrimSyncAcquireSpinlockObject(&a->CQListSpinlock) != ZEK_STATUS_PASS) {
    a->Notify.Overflow = 1;
    return 0;
  }
  std::uint32_t taken = 0;
  for (ZekVerbsLink* l = a->CqList.First; l != nullptr; l = l->Next) {
    ZekCqVerbs* v = ZekCqOf(static_cast<MifhCqObject*>(l->Data));
    if (v->NotifyMissed == 0) continue;
    if (taken == room) {
      a->Notify.Overflow = 1;  // the next wait takes the rest
      break;
    }
    v->NotifyMissed = 0;
    out[taken++] = v->NotifyId;
  }
  OSPrimSyncReleaseSpinlockObject(&a->CQListSpinlock);
  return taken;
}

// Under the notification lock: what a wait returns. `closing`: the adapter
// is closing, which fails the wait unless an event is queued.
void fill(ZekIwarpAdapter* a, ZekAsyncEventRecord* r, bool closing) {
  ZekStatus status = ZEK_STATUS_PASS;
  if (closing && !async_event_queued(&a->AsyncEvents)) {
    OSPrimMemoryLogging("Func[%s]: pIwarpAdapter=x%p is closing\n", "zek_wait_on_event", static_cast<void*>(a));
    status = ZEK_STATUS_FAIL;
  }
  const std::uint32_t none = ZEK_NOTIFY_NO_EVENT;
  std::memcpy(r->Event, &none, sizeof none);
  r->AsyncHandler = reinterpret_cast<std::uint64_t>(a->AsyncHandler);
  if (take_event(a, r->Event) == Taken::Broken) status = ZEK_STATUS_FAIL;
  std::uint32_t n = ZpxNotifyRingTake(&a->Notify.Ring, r->Ids, ZEK_NOTIFY_MAX_IDS);
  if (n < ZEK_NOTIFY_MAX_IDS && a->Notify.Overflow != 0 && ZpxNotifyRingEmpty(&a->Notify.Ring)) {
    n += take_missed(a, r->Ids + n, ZEK_NOTIFY_MAX_IDS - n);
  }
  if (n != 0) r->Count = n;
  r->Status = status;
  a->Notify.Signalled = 0;
}

// Under the notification lock: the adapter's pended wait, taken out of the
// queue (null when none waits).
PIRP take_waiter(ZekIwarpAdapter* a) {
  PIO_CSQ q = queue();
  if (q == nullptr) return nullptr;
  ZpxQueueKey key{ZPX_QUEUE_NOTIFY, reinterpret_cast<ULONG64>(a), ZPX_ANY_OWNER};
  return IoCsqRemoveNextIrp(q, &key);
}

void complete(PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = sizeof(ZekAsyncEventRecord);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Something arrived: the waiter, when one waits, takes it now; otherwise the
// next wait returns at once. `arrive` runs under the lock first.
template <typename Arrive>
void signal(ZekIwarpAdapter* a, Arrive arrive) {
  if (!lock(&a->Notify)) return;
  arrive();
  a->Notify.Signalled = 1;
  PIRP waiter = take_waiter(a);
  if (waiter != nullptr) fill(a, static_cast<ZekAsyncEventRecord*>(waiter->AssociatedIrp.SystemBuffer), false);
  unlock(&a->Notify);
  if (waiter != nullptr) complete(waiter);
}

// The oldest live queue pair of a CQ's error ring, taken off it (entries of
// queue pairs destroyed since are passed over); false when there is none.
bool take_error_qp(MifhCqObject* cq, MifhQpObject** qp, bool* send) {
  ZekCqVerbs* v = ZekCqOf(cq);
  if (v->ErrorRing == nullptr || OSPrimSyncAcquireSpinlockObject(&v->ErrorLock) != ZEK_STATUS_PASS) return false;
  bool taken = false;
  for (std::uint32_t slot = (v->ErrorLast + 1) % ZEK_VERBS_ERROR_RING_SLOTS; slot != v->ErrorPosition && !taken;
       slot = (slot + 1) % ZEK_VERBS_ERROR_RING_SLOTS) {
    const std::uint64_t entry = v->ErrorRing[slot];
    auto* q = reinterpret_cast<MifhQpObject*>(entry & ~std::uint64_t{ZEK_ERROR_ENTRY_SEND | ZEK_ERROR_ENTRY_CHECK});
    v->ErrorRing[slot] = 0;
    v->ErrorLast = slot;
    if (q == nullptr || q->Signature != MIFH_QP_SIGNATURE) continue;
    *qp = q;
    *send = (entry & ZEK_ERROR_ENTRY_SEND) != 0;
    taken = true;
  }
  OSPrimSyncReleaseSpinlockObject(&v->ErrorLock);
  return taken;
}

// The caller's own user open: 0 with the adapter held, 1 when it is closing,
// IWARP_STATUS_A_INVALID_RNIC_HANDLE otherwise (unknown, closed, a kernel
// client's, another process's).
ZekStatus hold_own(std::uint64_t handle, ZekIwarpAdapter** out, const char* who) {
  void* p = reinterpret_cast<void*>(handle);
  if (ZekIsBadPointer(p)) {
    ZEK_LOG_FAILURE("Func[%s] : pIwarpAdapter is NULL\n", who);
    return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  }
  if (!ZekAdapterAcquire(p, nullptr)) {
    if (FindIwarpAdapter(p) == ZEK_STATUS_PASS) {
      OSPrimMemoryLogging("Func[%s]: pIwarpAdapter=x%p is closing\n", who, p);
      return ZEK_STATUS_FAIL;
    }
    ZEK_LOG_FAILURE("Func[%s]: Adapter not found \n", who);
    return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  }
  auto* a = static_cast<ZekIwarpAdapter*>(p);
  if (a->KernelClient != 0 || a->Notify.Valid == 0 || a->OwningProcess != PsGetCurrentProcessId()) {
    ZekAdapterRelease(a);
    ZEK_LOG_FAILURE("Func[%s]: adapter %p is not the caller's\n", who, p);
    return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  }
  *out = a;
  return ZEK_STATUS_PASS;
}

// A request's CQ handle: false (logged) when it is null or the
// uninitialised pointer, which fails the request; otherwise *cq is the CQ
// of one of the caller's own adapters, held in *adapter, or null.
bool hold_own_cq(std::uint64_t handle, const char* request, MifhCqObject** cq, ZekIwarpAdapter** adapter) {
  if (handle == 0 || handle == ZEK_UNINITIALISED_POINTER) {
    ZEK_LOG_FAILURE("%s: CQHandle is NULL\n", request);
    return false;
  }
  *cq = ZekHoldOwnCq(handle, PsGetCurrentProcessId(), adapter);
  if (*cq == nullptr)
    ZEK_LOG_FAILURE("%s: CQ %llx is not the caller's\n", request, static_cast<unsigned long long>(handle));
  return true;
}

}  // namespace

// ---- State -----------------------------------------------------------------------------------------------
ZekStatus ZpxNotifyStateInit(ZpxNotifyState* s) {
  std::memset(static_cast<void*>(s), 0, sizeof *s);
  ZpxNotifyRingInit(&s->Ring);
  if (OSPrimSyncInitSpinlockObject(&s->Lock) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  s->Valid = 1;
  return ZEK_STATUS_PASS;
}

void ZpxNotifyStateDestroy(ZpxNotifyState* s) {
  if (s->Valid == 0) return;
  s->Valid = 0;
  OSPrimSyncDestroySpinlockObject(&s->Lock);
}

// ---- Producers ---------------------------------------------------------------------------------------------
void ZPX_CQCallbackFunc(void* context, void* handle) {
  auto* cq = static_cast<MifhCqObject*>(handle);
  {
    ZekAdapterHold hold(context, nullptr);
    if (!hold || FindCQObject(hold.get(), cq) != ZEK_STATUS_PASS) return;
    ZekIwarpAdapter* a = hold.get();
    ZekCqVerbs* v = ZekCqOf(cq);
    if (v->UserHandler != 0) {
      signal(a, [&] {
        if (!ZpxNotifyRingPush(&a->Notify.Ring, v->NotifyId)) {
          ZEK_LOG_FAILURE("ZPX_CQCallbackFunc: Queue is full Head (0x%x) Tail (0x%x)\n", a->Notify.Ring.Write,
                          a->Notify.Ring.Read);
          // Not lost: the CQ is named by the wait that finds the ring drained.
          v->NotifyMissed = 1;
          a->Notify.Overflow = 1;
        }
      });
    }
  }
  ZpxCompleteQueuedIrps(reinterpret_cast<ULONG64>(cq), ZPX_COMPLETE_SUCCESS, FALSE);
}

ZekStatus ZpxNotifyInstallCq(void* adapter, void* handle, std::uint64_t user_handler, std::uint64_t identifier) {
  ZekAdapterHold hold(adapter, "ZpxNotifyInstallCq: Adapter not found \n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  auto* cq = static_cast<MifhCqObject*>(handle);
  if (ZekIsBadPointer(cq) || FindCQObject(hold.get(), cq) != ZEK_STATUS_PASS) return IWARP_STATUS_CQ_INVALID_HANDLE;
  ZekCqVerbs* v = ZekCqOf(cq);
  v->NotifyId = identifier;
  v->UserHandler = user_handler;
  v->HandlerContext = hold.get();
  v->Handler = &ZPX_CQCallbackFunc;
  return ZEK_STATUS_PASS;
}

void ZpxIwarpCqEvent(MifhCqObject* cq) {
  ZekCqVerbs* v = ZekCqOf(cq);
  // Only a CQ on an open adapter's list is the verbs': its callback is read
  // while the adapter is held.
  ZekAdapterHold hold(v->Adapter, nullptr);
  if (!hold || FindCQObject(hold.get(), cq) != ZEK_STATUS_PASS) return;
  const ZekVerbsCqHandler handler = v->Handler;
  if (handler != nullptr) handler(v->HandlerContext, cq);
}

void ZpxNotifyAsyncEvent(void* adapter) {
  ZekAdapterHold hold(adapter, nullptr);
  if (!hold) return;
  signal(hold.get(), [] {});
}

ZekStatus ZpxPostAsyncEvent(void* adapter, MifhAsyncEventRecord* record, std::uint64_t object_id,
                            std::uint32_t event_code) {
  ZekAdapterHold hold(adapter, "pIwarpAdapter is NULL\n");
  if (!hold) return IWARP_STATUS_A_INVALID_RNIC_HANDLE;
  AsyncEventPost(&hold.get()->AsyncEvents, record, object_id, event_code);
  signal(hold.get(), [] {});
  return ZEK_STATUS_PASS;
}

void ZpxNotifyAdapterClosing(ZekIwarpAdapter* a) {
  if (!lock(&a->Notify)) return;
  PIRP waiter = take_waiter(a);
  if (waiter != nullptr) fill(a, static_cast<ZekAsyncEventRecord*>(waiter->AssociatedIrp.SystemBuffer), true);
  unlock(&a->Notify);
  if (waiter != nullptr) complete(waiter);
}

// ---- Requests ----------------------------------------------------------------------------------------------
bool ZpxIsNotifyRequest(ULONG code) {
  switch (code) {
    case IOCTL_ZEK_IWARP_WAIT_ON_ASYNC_FUNCTION_CALL:
    case IOCTL_ZEK_IWARP_QUERY_ASYNC_ERROR:
    case IOCTL_IWARP_TERMINATE_CQ_POLL_THREAD:
    case IOCTL_ZEK_IWARP_GET_ERROR_QP_INFO:
    case IOCTL_ZEK_IWARP_FORCE_PROCESS_AEQ:
      return true;
    default:
      return false;
  }
}

NTSTATUS ZpxNotifyRequest(PIRP irp, ULONG code, void* record, ULONG_PTR* bytes) {
  switch (code) {
    case IOCTL_ZEK_IWARP_WAIT_ON_ASYNC_FUNCTION_CALL:
      return CommonIoctliWARPEventCallback(irp, record, bytes);
    case IOCTL_ZEK_IWARP_QUERY_ASYNC_ERROR:
      return CommonIoctliWARPAsyncError(record, bytes);
    case IOCTL_IWARP_TERMINATE_CQ_POLL_THREAD:
      return CommonIoctliWARPTerminateCQPollThread(record, bytes);
    case IOCTL_ZEK_IWARP_GET_ERROR_QP_INFO:
      return CommonIoctlGetErrorQPInfo(record, bytes);
    case IOCTL_ZEK_IWARP_FORCE_PROCESS_AEQ:
      return CommonIoctlForceProcessAeq(record, bytes);
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

NTSTATUS CommonIoctliWARPEventCallback(PIRP irp, void* record, ULONG_PTR* bytes) {
  if (ZekIsBadPointer(record)) {
    ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_WAIT_ON_ASYNC_FUNCTION_CALL: pParm is NULL\n");
    return STATUS_NOT_SUPPORTED;
  }
  if (ZekIsBadPointer(bytes)) {
    ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_WAIT_ON_ASYNC_FUNCTION_CALL: pBytesReturned\n");
    return STATUS_NOT_SUPPORTED;
  }
  auto* r = static_cast<ZekAsyncEventRecord*>(record);
  *bytes = sizeof *r;
  ZekIwarpAdapter* a = nullptr;
  const ZekStatus held = hold_own(r->Adapter, &a, "zek_wait_on_event");
  if (held != ZEK_STATUS_PASS) {
    if (held == ZEK_STATUS_FAIL) {
      const std::uint32_t none = ZEK_NOTIFY_NO_EVENT;
      std::memcpy(r->Event, &none, sizeof none);
    }
    r->Status = held;
    return STATUS_SUCCESS;
  }
  NTSTATUS status = STATUS_SUCCESS;
  if (lock(&a->Notify)) {
    set_waiter_present(&a->AsyncEvents);
    const bool ready = a->Notify.Signalled != 0 || a->Notify.Overflow != 0 || !ZpxNotifyRingEmpty(&a->Notify.Ring) ||
                       a->Closing != 0 || async_event_queued(&a->AsyncEvents);
    if (ready) {
      fill(a, r, a->Closing != 0);
    } else {
      PIO_CSQ q = queue();
      ZpxQueueKey key{ZPX_QUEUE_NOTIFY, reinterpret_cast<ULONG64>(a), ZpxCallerOwner()};
      irp->IoStatus.Information = sizeof *r;
      status = q != nullptr ? IoCsqInsertIrpEx(q, irp, nullptr, &key) : STATUS_DEVICE_NOT_READY;
      if (NT_SUCCESS(status)) {
        status = STATUS_PENDING;
      } else {
        ZEK_LOG_FAILURE("IOCTL_ZEK_IWARP_WAIT_ON_ASYNC_FUNCTION_CALL: adapter %p already has a waiter\n",
                        static_cast<void*>(a));
        *bytes = 0;
      }
    }
    unlock(&a->Notify);
  } else {
    r->Status = ZEK_STATUS_FAIL;
  }
  ZekAdapterRelease(a);
  return status;
}

NTSTATUS CommonIoctliWARPAsyncError(void* record, ULONG_PTR* bytes) {
  auto* r = static_cast<ZekQueryAsyncErrorRecord*>(record);
  *bytes = sizeof *r;
  ZekIwarpAdapter* a = nullptr;
  const ZekStatus held = hold_own(r->Adapter, &a, "zek_query_async_error");
  if (held != ZEK_STATUS_PASS) {
    r->Status = held;
    return STATUS_SUCCESS;
  }
  r->AsyncHandler = reinterpret_cast<std::uint64_t>(a->AsyncHandler);
  r->Status = take_event(a, r->Event) == Taken::Event ? ZEK_STATUS_PASS : ZEK_STATUS_FAIL;
  ZekAdapterRelease(a);
  return STATUS_SUCCESS;
}

NTSTATUS CommonIoctliWARPTerminateCQPollThread(void* record, ULONG_PTR* bytes) {
  auto* r = static_cast<ZekTerminateWaitRecord*>(record);
  *bytes = sizeof *r;
  ZekIwarpAdapter* a = nullptr;
  const ZekStatus held = hold_own(r->Adapter, &a, "zek_terminate_cq_poll_thread");
  if (held != ZEK_STATUS_PASS) {
    r->Status = IWARP_STATUS_A_INVALID_RNIC_HANDLE;
    return STATUS_SUCCESS;
  }
  signal(a, [] {});
  r->Status = ZEK_STATUS_PASS;
  ZekAdapterRelease(a);
  return STATUS_SUCCESS;
}

NTSTATUS CommonIoctlGetErrorQPInfo(void* record, ULONG_PTR* bytes) {
  auto* r = static_cast<ZekErrorQpInfoRecord*>(record);
  ZekIwarpAdapter* a = nullptr;
  MifhCqObject* cq = nullptr;
  if (!hold_own_cq(r->Cq, "IOCTL_ZEK_IWARP_GET_ERROR_QP_INFO", &cq, &a)) return STATUS_NOT_SUPPORTED;
  *bytes = sizeof *r;
  r->Empty = 1;
  if (cq == nullptr) return STATUS_SUCCESS;
  MifhQpObject* qp = nullptr;
  bool send = false;
  if (take_error_qp(cq, &qp, &send)) {
    r->QpClient = reinterpret_cast<std::uint64_t>(ZekQpOf(qp)->ClientContext);
    r->SendInError = (r->SendInError & 0xFFFFFF00u) | (send ? 1u : 0u);
    r->Empty = 0;
  }
  ZekAdapterRelease(a);
  return STATUS_SUCCESS;
}

NTSTATUS CommonIoctlForceProcessAeq(void* record, ULONG_PTR* bytes) {
  auto* r = static_cast<ZekForceProcessAeqRecord*>(record);
  ZekIwarpAdapter* a = nullptr;
  MifhCqObject* cq = nullptr;
  if (!hold_own_cq(r->Cq, "ZEK_IWARP_FORCE_PROCESS_AEQ_PARAMS", &cq, &a)) return STATUS_NOT_SUPPORTED;
  *bytes = sizeof *r;
  if (cq == nullptr || ZekIsBadPointer(cq->Device)) {
    ZEK_LOG_FAILURE("zek_force_process_aeq(): pDevObj is invalid\n");
    ZEK_LOG_FAILURE("ZEK_IWARP_FORCE_PROCESS_AEQ_PARAMS:  failed with the error '%s'\n", "pDevObj is invalid");
    r->Status = ZEK_STATUS_FAIL;
  } else {
    // The driver's event thread processes what is queued; the caller's
    // thread never reads the adapter's event queue beside the miniport.
    ZpxWakeAsyncEvents();
    r->Status = ZEK_STATUS_PASS;
  }
  if (a != nullptr) ZekAdapterRelease(a);
  return STATUS_SUCCESS;
}
