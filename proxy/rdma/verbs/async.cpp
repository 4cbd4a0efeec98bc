// The verbs' side of the asynchronous events: the queue pair or CQ an event
// names, and what its decision asks of it (a move to error, the flushed
// completions, a software state) and the event delivered to the client: a
// user adapter's event ring and waiting event request (ZpxPostAsyncEvent),
// a kernel client's asynchronous handler (with the event record).
//
// Decisions where the event processing's description leaves room:
// - A queue pair's "further state" is its software state: a connection's
//   end moves an RTS queue pair to error, not one the host is closing.
// - An event code of 0 (the close the host asked for has finished) changes
//   the state and signals nothing.
// - A CQ event's object is the CQ's notification identifier for a user
//   adapter (what its event wait names it by), the CQ object for a kernel
//   client.
// - The connection ends (the disconnect notifications complete) with every
//   event that moves the queue pair out of RTS or reports its connection
//   gone: a fault, reset or termination (to error), the peer's FIN, reset or
//   time-out, and the end of a close the host asked for (its code 0 is
//   still signalled to no one). Events that leave the state alone (codes 1
//   and 22, the CQ's) do not end it.
#include "proxy/core/async_events.h"
#include "proxy/core/notify.h"
#include "proxy/core/verbs_requests.h"
#include "proxy/rdma/verbs/verbs.h"

namespace {

// The event delivered to the adapter's client.
void signal(ZekIwarpAdapter* a, MifhAsyncEventRecord* record, std::uint64_t object, std::uint32_t code) {
  if (a->KernelClient == 0) {
    ZpxPostAsyncEvent(a, record, object, code);
    return;
  }
  record->EventCode = code;
  record->Kind = MIFH_ASYNC_EVENT_KIND;
  record->ObjectId = object;
  const ZekVerbsAsyncHandler handler = a->AsyncHandler;
  if (handler != nullptr) handler(a, record);
}

void* reference_qp(MifhDeviceObj* device, std::uint32_t qp_id, ZpxAeqQpState** state) {
  MifhQpObject* qp = ZekQpEventReference(device, qp_id);
  if (qp == nullptr) return nullptr;
  ZekQpVerbs* v = ZekQpOf(qp);
  v->AeqState.Type = 1;
  v->AeqState.HasUploadContext = 1;
  v->AeqState.FurtherState = v->State;
  *state = &v->AeqState;
  return qp;
}

void dereference_qp(void* qp) { ZekQpEventRelease(static_cast<MifhQpObject*>(qp)); }

bool cq_event(MifhDeviceObj* device, std::uint32_t cq_id, bool post) {
  ZekIwarpAdapter* a = nullptr;
  MifhCqObject* cq = ZekHoldCqOfId(device, cq_id, &a);
  if (cq == nullptr) return false;
  if (post) {
    const ZekCqVerbs* v = ZekCqOf(cq);
    const std::uint64_t object =
        a->KernelClient == 0 && v->NotifyId != 0 ? v->NotifyId : reinterpret_cast<std::uint64_t>(cq);
    signal(a, &cq->AsyncEvent, object, 32);
  }
  ZekAdapterRelease(a);
  return true;
}

// The queue pair to `state` through the modify (its rings' outstanding
// requests come back flushed), its adapter held for the call.
bool move_to(ZekIwarpAdapter* a, MifhQpObject* qp, std::uint8_t state) {
  ZekQpModifyInput in{};
  in.Mask = ZEK_QP_MODIFY_STATE;
  in.State = state;
  ZekQpModifyOutput out{};
  const ZekStatus s = ZekQpModifyHeld(a, qp, &in, &out);
  if (s != ZEK_STATUS_PASS)
    OSPrimMemoryLogging("ZpxProcessAEQ: QP(%d) stays in state 0x%x (0x%x)\n", qp->QpId, ZekQpOf(qp)->State, s);
  return s == ZEK_STATUS_PASS;
}

void act(MifhDeviceObj*, void* object, const ZekAsyncEvent* event, const ZpxAeDecision* decision) {
  auto* qp = static_cast<MifhQpObject*>(object);
  ZekQpVerbs* v = ZekQpOf(qp);
  ZekAdapterHold hold(v->Adapter, "pIwarpAdapter is NULL\n");
  if (!hold) return;
  ZekIwarpAdapter* a = hold.get();
  std::uint32_t code = decision->Code;
  switch (decision->Action) {
    case ZPX_AE_ERROR:
      move_to(a, qp, ZEK_QP_STATE_ERROR);
      break;
    case ZPX_AE_TERMINATE:
      if (code == 0) {
        // The queue pair's own termination: its flushed completions carry
        // the termination code, and its CQ's client is told to poll.
        v->TerminateStatus = ZpxMapAeToTerminationCode(event->event_id);
        if (event->sq != 0) v->Flags |= ZEK_QPV_SEND_SIDE_FLUSH;
      }
      move_to(a, qp, ZEK_QP_STATE_ERROR);
      if (code == 0) ZpxIwarpCqEvent(event->sq != 0 ? v->SendCq : v->RecvCq);
      break;
    case ZPX_AE_CLOSE_FLUSH:
      // The connection ended: an RTS queue pair is moved to error; any
      // other stops in software; the outstanding requests come back flushed.
      if (event->iwarp_state == ZEK_QP_STATE_RTS && v->State == ZEK_QP_STATE_RTS) {
        move_to(a, qp, ZEK_QP_STATE_ERROR);
      } else if (v->State != ZEK_QP_STATE_ERROR) {
        v->State = ZEK_QP_STATE_ERROR;
        InsertInErrorQPList(v->SendCq, qp, 1, 0);
        InsertInErrorQPList(v->RecvCq, qp, 0, 0);
      }
      break;
    case ZPX_AE_IDLE:
      v->State = ZEK_QP_STATE_IDLE;
      break;
    case ZPX_AE_SOFTWARE_ERROR:
      if (v->State != ZEK_QP_STATE_ERROR) move_to(a, qp, ZEK_QP_STATE_ERROR);
      break;
    default:
      break;
  }
  switch (decision->Action) {
    case ZPX_AE_ERROR:
    case ZPX_AE_TERMINATE:
    case ZPX_AE_CLOSE_FLUSH:
    case ZPX_AE_IDLE:
    case ZPX_AE_SOFTWARE_ERROR:
      ZekQpConnectionEnded(a, qp);
      break;
    default:
      break;
  }
  if (code != 0) signal(a, &v->AsyncEvent, qp->QpId, code);
}

constexpr ZpxAsyncEventHooks kHooks = {&reference_qp, &dereference_qp, &cq_event, &act};

}  // namespace

void ZekQpConnectionEnded(ZekIwarpAdapter* adapter, MifhQpObject* qp) {
  // Marked before the waits are completed: a notification that arrives
  // meanwhile either finds the mark or is among the waits completed.
  ZekQpOf(qp)->ConnectionEnded.store(1);
  if (adapter->KernelClient == 0) ZpxQpDisconnected(qp);
}

bool ZekQpConnectionHasEnded(MifhQpObject* qp) { return ZekQpOf(qp)->ConnectionEnded.load() != 0; }

void ZekVerbsAsyncEvents(bool install) { ZpxSetAsyncEventHooks(install ? &kHooks : nullptr); }
