// Completion contexts: the wait of a verb for its control request.
//
// A context names its hardware part in the request; the control-completion
// processing calls ZpxCompleteSynchVerbs with it at DISPATCH_LEVEL. The
// waiter and the completion meet in one atomic state byte (waiting,
// completed, abandoned), so a waiter that gives up and a completion that
// arrives at the same time agree on who owns the context. A waiter that
// gives up first makes the context unreachable for the control queue pair
// (mifh_cqp_forget_context), so no completion can touch it afterwards; it
// stays on the adapter's list until the adapter's close frees it.
#include <cstring>

#include "platform/kernel/ke.h"
#include "proxy/rdma/hw/control_qp.h"
#include "proxy/rdma/hw/pool_ops.h"
#include "proxy/rdma/verbs/verbs.h"

std::atomic<int> g_ZekVerbsInterruptNextWait{0};

namespace {

void trace(const zekhw::MifhCqe* entry, std::uint32_t slot, std::uint32_t codes, std::uint32_t) {
  OSPrimMemoryLogging("CQP Completion: pContCqe %p tail %d opcode %x\n", static_cast<const void*>(entry), slot,
                      codes & 0xFF);
}

void unlink(ZekIwarpAdapter* a, ZekCompContext* c) {
  if (c->Prev != nullptr) {
    c->Prev->Next = c->Next;
  } else {
    a->CompFirst = c->Next;
  }
  if (c->Next != nullptr) {
    c->Next->Prev = c->Prev;
  } else {
    a->CompLast = c->Prev;
  }
  c->Next = c->Prev = nullptr;
  c->Signature = 0;
}

}  // namespace

ZekStatus ZpxInitializeCompEventContext(ZekCompContext** out, ZekIwarpAdapter* adapter) {
  auto* c = static_cast<ZekCompContext*>(mifh_allocate_aynccontext_buffer());
  if (c == nullptr) {
    ZEK_LOG_FAILURE("ZpxInitializeCompEventContext: Couldn't allocate mem for async param\n");
    return ZEK_STATUS_FAIL;
  }
  std::memset(static_cast<void*>(c), 0, sizeof *c);
  if (ZekIsBadPointer(out)) {
    ZEK_LOG_FAILURE("ZpxInitializeCompEventContext: ppAsyncCompParam is NULL\n");
    mifh_free_aynccontext_buffer(c);
    return ZEK_STATUS_FAIL;
  }
  if (OSPrimInitEvent(&c->Event) != ZEK_STATUS_PASS) {
    mifh_free_aynccontext_buffer(c);
    return ZEK_STATUS_FAIL;
  }
  c->Adapter = adapter;
  c->Hw.Argument = c;
  c->Hw.CompletionRoutine = &ZpxCompleteSynchVerbs;
  c->Hw.EarlyRoutine = &trace;
  c->State.store(ZEK_COMP_WAITING);
  if (OSPrimSyncAcquireSpinlockObject(&adapter->CompContextSpinLock) != ZEK_STATUS_PASS) {
    OSPrimDestroyEvent(&c->Event);
    mifh_free_aynccontext_buffer(c);
    return ZEK_STATUS_FAIL;
  }
  c->Signature = ZEK_COMP_CONTEXT_SIGNATURE;
  c->Prev = adapter->CompLast;
  if (adapter->CompLast != nullptr) {
    adapter->CompLast->Next = c;
  } else {
    adapter->CompFirst = c;
  }
  adapter->CompLast = c;
  OSPrimSyncReleaseSpinlockObject(&adapter->CompContextSpinLock);
  *out = c;
  return ZEK_STATUS_PASS;
}

ZekStatus ZpxDestroyCompEventContext(ZekCompContext* c, ZekIwarpAdapter* adapter, std::uint32_t keep) {
  if (keep != 0) return ZEK_STATUS_PASS;
  if (ZekIsBadPointer(c) || ZekIsBadPointer(adapter)) return ZEK_STATUS_FAIL;
  if (OSPrimSyncAcquireSpinlockObject(&adapter->CompContextSpinLock) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  const bool listed = c->Signature == ZEK_COMP_CONTEXT_SIGNATURE;
  if (listed) unlink(adapter, c);
  OSPrimSyncReleaseSpinlockObject(&adapter->CompContextSpinLock);
  if (!listed) {
    ZEK_LOG_FAILURE("Func[%s] :Line[%d]\n", "ZpxDestroyCompEventContext", __LINE__);
    return ZEK_STATUS_FAIL;
  }
  OSPrimDestroyEvent(&c->Event);
  mifh_free_aynccontext_buffer(c);
  return ZEK_STATUS_PASS;
}

void ZpxCompleteSynchVerbs(void* argument) {
  auto* c = static_cast<ZekCompContext*>(argument);
  if (c == nullptr) return;
  // Requests left pending by a control request (asynchronous registration)
  // come with the registration verbs; every context of this build has a
  // waiting thread.
  std::uint8_t expected = ZEK_COMP_WAITING;
  if (c->State.compare_exchange_strong(expected, ZEK_COMP_COMPLETED)) OSPrimSetEvent(&c->Event);
}

ZekStatus ZekWaitCompContext(ZekIwarpAdapter* adapter, ZekCompContext* c, const char* verb, bool* abandoned,
                             MifhCqpCompletionContext* codes) {
  if (abandoned != nullptr) *abandoned = false;
  const bool interrupted_by_test = g_ZekVerbsInterruptNextWait.exchange(0) != 0;
  const bool user_wait = adapter->KernelClient == 0;
  const bool woke = !interrupted_by_test && OSPrimWaitForEvent(&c->Event, user_wait ? TRUE : FALSE) == ZEK_STATUS_PASS;
  if (!woke) {
    std::uint8_t expected = ZEK_COMP_WAITING;
    if (c->State.compare_exchange_strong(expected, ZEK_COMP_ABANDONED)) {
      // The adapter still owns the request: the context stays listed, and
      // the control queue pair forgets it so no completion touches it.
      mifh_cqp_forget_context(adapter->Device->Cqp, &c->Hw);
      ZEK_LOG_FAILURE("%s: Crtl-C is pressed\n", verb);
      if (abandoned != nullptr) *abandoned = true;
      return ZEK_STATUS_FAIL;
    }
    // The completion came first: the event is set, or about to be.
    OSPrimWaitForEvent(&c->Event, FALSE);
  }
  const bool error = c->Hw.ErrorFlag != 0;
  if (codes != nullptr) *codes = c->Hw;
  if (error) ZEK_LOG_FAILURE("%s: Major Error (%x) Minor Error (%x)\n", verb, c->Hw.MajorCode, c->Hw.MinorCode);
  ZpxDestroyCompEventContext(c, adapter, 0);
  return error ? ZEK_STATUS_FAIL : ZEK_STATUS_PASS;
}

void ZekFinishDeferredContexts(ZekIwarpAdapter* adapter) {
  for (;;) {
    if (OSPrimSyncAcquireSpinlockObject(&adapter->CompContextSpinLock) != ZEK_STATUS_PASS) return;
    ZekCompContext* c = adapter->CompFirst;
    if (c != nullptr) unlink(adapter, c);
    OSPrimSyncReleaseSpinlockObject(&adapter->CompContextSpinLock);
    if (c == nullptr) return;
    // Unreachable for the control queue pair before it is freed (an
    // abandoned context was forgotten already; forgetting again is harmless).
    mifh_cqp_forget_context(adapter->Device->Cqp, &c->Hw);
    MifhQpObject* qp = c->Qp;
    if (qp != nullptr && (ZekQpOf(qp)->Flags & ZEK_QPV_DESTROY_PENDING) != 0) {
      ZekQpOf(qp)->Flags &= ~ZEK_QPV_DESTROY_PENDING;
      // Whether the adapter finished the destroy is not known: its memory is kept.
      if (c->State.load() != ZEK_COMP_COMPLETED) qp->QpFlags |= MIFH_QPF_QUARANTINED;
      zek_qp_destroy_2(adapter, qp, 0);
    }
    OSPrimDestroyEvent(&c->Event);
    mifh_free_aynccontext_buffer(c);
  }
}
