// Queue-pair modify: the state machine, the attributes, and the hand-over of
// a host-stack TCP connection to the adapter (IDLE to RTS with a socket).
//
// The hand-over never leaves a connection half offloaded. Everything that
// can fail without the adapter (the socket's addresses, the adapter's
// address and ARP indexes, unread bytes, the last streaming message's
// region) is done before the connection is taken from the stack; once it is
// taken, any failure before the adapter confirmed the modify gives it back
// (ReleaseTOeSocketState: a host-stack connection again, timers running).
// Only a wait that is interrupted leaves it with the queue pair, since the
// adapter may have taken it: the queue pair keeps the socket and the
// connection goes with the queue pair's destruction.
//
// Decisions where the verb's description leaves room or is unsound:
// - The hand-over waits (at most ZEK_HANDOVER_ACK_WAIT_MS) for the peer to
//   acknowledge what the stack sent, rather than failing at once; bytes the
//   stack received and the owner has not read refuse the hand-over (status
//   1, nothing changed), since the queue pair would never deliver them.
// - A loopback pair's last message goes through the socket before the
//   connection is exported (afterwards the stack no longer carries it).
// - The streaming message of a connection with a peer elsewhere is posted
//   in the send ring before the modify and announced with the doorbell once
//   the adapter confirmed the move to RTS.
// - A device that names no stream-message maximum takes
//   ZEK_STREAM_MESSAGE_DEFAULT_MAX.
// - One modify at a time per queue pair: a second one meanwhile answers
//   IWARP_STATUS_QP_ALREADY_IN_USE. A socket must be the calling process's.
// - A full send ring answers IWARP_STATUS_QP_TOOMANY_WRS_POSTED, not 3.
// - The adapter resets a connection by itself when its queue pair moves to
//   TERMINATE or ERROR; its TCP context goes with the queue pair's destroy.
//   No event follows such a move, so the modify itself ends the connection
//   for its disconnect notifications (ZekQpConnectionEnded).
#include <bit>
#include <climits>
#include <cstring>

#include "include/hw/cqp.h"
#include "include/hw/wqe.h"
#include "proxy/rdma/hw/config.h"
#include "proxy/rdma/hw/control_qp.h"
#include "proxy/rdma/hw/work_requests.h"
#include "proxy/rdma/verbs/verbs.h"
#include "proxy/tcpip/bsd_errno.h"
#include "proxy/tcpip/netinet/if_ether.h"
#include "proxy/tcpip/offload.h"
#include "proxy/tcpip/socket_calls.h"

namespace {

constexpr std::uint32_t kAllAttributes = ZEK_QP_MODIFY_STATE | ZEK_QP_MODIFY_ORD | ZEK_QP_MODIFY_IRD |
                                         ZEK_QP_MODIFY_SQ_SIZE | ZEK_QP_MODIFY_RQ_SIZE | ZEK_QP_MODIFY_RDMA_MODE;
constexpr std::uint8_t kStreamAccess = 0x3;  // local read and write

ZekStatus failed(ZekStatus status) {
  OSPrimMemoryLogging("zek_qp_modify: returns with status %x\n", status);
  return status;
}

std::uint64_t pa_of(const void* va) {
  std::uint32_t low = 0, high = 0;
  if (va == nullptr || OSPrimGetPaFromVa(va, &low, &high) != ZEK_STATUS_PASS) return 0;
  return (std::uint64_t{high} << 32) | low;
}

// The transition table: 0 when allowed.
ZekStatus transition(std::uint8_t from, std::int32_t to) {
  auto any = [to](std::initializer_list<std::int32_t> states) {
    for (std::int32_t s : states) {
      if (s == to) return true;
    }
    return false;
  };
  switch (from) {
    case ZEK_QP_STATE_IDLE:
      return any({1, 2, 3, 6}) ? 0 : IWARP_STATUS_QP_UNABLE_TO_CHANGE_STATE;
    case ZEK_QP_STATE_RTS:
      return any({2, 3, 5, 6}) ? 0 : IWARP_STATUS_QP_UNABLE_TO_CHANGE_STATE;
    case ZEK_QP_STATE_CLOSING:
    case ZEK_QP_STATE_ERROR:
      return any({1, 6}) ? 0 : IWARP_STATUS_QP_UNABLE_TO_CHANGE_STATE;
    case ZEK_QP_STATE_TERMINATE:
      return to == 6 ? 0 : IWARP_STATUS_QP_UNABLE_TO_CHANGE_STATE;
    default:
      return IWARP_STATUS_QP_INVALID_STATE;
  }
}

bool stopping(std::uint8_t state) {
  return state == ZEK_QP_STATE_CLOSING || state == ZEK_QP_STATE_TERMINATE || state == ZEK_QP_STATE_ERROR;
}

bool ring_empty(const ZEK_OSPRIM_RING& r) { return r.Size == 0 || (r.Size + r.Head - r.Tail) % r.Size == 0; }

int ird_code(std::uint32_t ird) { return ird == 2 ? 0 : ird == 8 ? 1 : ird == 32 ? 2 : ird == 64 ? 3 : -1; }

// A control request of the modify's and its wait: true when the adapter
// confirmed it; *abandoned when the wait was interrupted.
bool post_and_wait(ZekIwarpAdapter* a, ZekCompContext* wait, const zekhw::MifhCqpWqe& wqe, const char* what,
                   bool* abandoned) {
  *abandoned = false;
  const ZekStatus s = mifh_cqp_post(a->Device->Cqp, &wqe, MifhPostMode::Queueing, what);
  if (s != MIFH_STATUS_SUCCESS) {
    ZpxDestroyCompEventContext(wait, a, 0);
    return false;
  }
  return ZekWaitCompContext(a, wait, what, abandoned) == ZEK_STATUS_PASS;
}

// The last streaming message's region: deallocated with the adapter (its
// index and buffer go back once the adapter confirmed), or, without a
// region, its buffer freed. A region the adapter did not let go keeps its
// buffer and index out of reach.
void drop_stream(ZekIwarpAdapter* a, MifhQpObject* qp) {
  ZekQpVerbs* v = ZekQpOf(qp);
  if ((v->Flags & ZEK_QPV_STREAM_STAG) != 0) {
    ZekCompContext* wait = nullptr;
    bool released = false;
    if (ZpxInitializeCompEventContext(&wait, a) == ZEK_STATUS_PASS) {
      zekhw::MifhStagWqe w{};
      w.op_word = zekhw::kOpDeallocateStag | zekhw::kStagRegion;
      w.completion_context = reinterpret_cast<std::uint64_t>(&wait->Hw);
      w.pd = v->Pd->Hw.PdId;
      w.stag = v->StreamStag;
      bool abandoned = false;
      released = post_and_wait(a, wait, std::bit_cast<zekhw::MifhCqpWqe>(w), "zek_qp_modify", &abandoned);
    }
    if (!released) {
      OSPrimMemoryLogging("zek_qp_modify: the stream message's STag (0x%x) stays with the adapter\n", v->StreamStag);
      v->StreamBuffer = nullptr;
      v->Flags &= ~(ZEK_QPV_STREAM_STAG | ZEK_QPV_STREAM_INDEX);
      return;
    }
    v->Flags &= ~ZEK_QPV_STREAM_STAG;
  }
  if ((v->Flags & ZEK_QPV_STREAM_INDEX) != 0) {
    L_FreeResource(a->Larmit, ZEK_RES_MR, v->StreamStag >> 8);
    v->Flags &= ~ZEK_QPV_STREAM_INDEX;
  }
  if (v->StreamBuffer != nullptr) OSPrimMemDMAFree(v->StreamBuffer);
  v->StreamBuffer = nullptr;
  v->StreamStag = 0;
  v->StreamLength = 0;
}

// Copies the message into DMA memory and registers it as a kernel region of
// one contiguous run with local read and write rights: 0, or the verb's
// status (4).
ZekStatus register_stream(ZekIwarpAdapter* a, MifhQpObject* qp, const void* message, std::uint32_t length) {
  ZekQpVerbs* v = ZekQpOf(qp);
  drop_stream(a, qp);
  if (OSPrimMemDMAAllocate(&v->StreamBuffer, length) != ZEK_STATUS_PASS || v->StreamBuffer == nullptr) {
    v->StreamBuffer = nullptr;
    ZEK_LOG_FAILURE("zek_qp_modify():Couldn't allocate memory for last stream mode msg\n");
    return ZEK_STATUS_RES_INSUFFICIENT_SW;
  }
  std::memcpy(v->StreamBuffer, message, length);
  v->StreamLength = length;
  std::uint32_t index = 0;
  ZekCompContext* wait = nullptr;
  bool registered = false;
  bool abandoned = false;
  if (L_GetResource(a->Larmit, ZEK_RES_MR, &index) == ZEK_STATUS_PASS) {
    v->StreamStag = index << 8;
    v->Flags |= ZEK_QPV_STREAM_INDEX;
    if (ZpxInitializeCompEventContext(&wait, a) == ZEK_STATUS_PASS) {
      MifhMrDescription mr{};
      mr.PblPa = pa_of(v->StreamBuffer) & ~std::uint64_t{4095};  // contiguous: the first page
      mr.Length = length;
      mr.PageSize = 4096;
      mr.ZeroBased = 0;
      mr.Va = reinterpret_cast<std::uint64_t>(v->StreamBuffer);
      mr.Access = kStreamAccess;
      mr.StagIndex = index;
      const ZekStatus s = mifh_mr_register_non_shared(a->Device, &mr, &wait->Hw, v->Pd->Hw.PdId);
      if (s != MIFH_STATUS_SUCCESS) {
        ZpxDestroyCompEventContext(wait, a, 0);
      } else {
        registered = ZekWaitCompContext(a, wait, "zek_qp_modify", &abandoned) == ZEK_STATUS_PASS;
      }
    }
  }
  if (registered || abandoned) v->Flags |= ZEK_QPV_STREAM_STAG;  // an unanswered one is deallocated too
  if (!registered) {
    ZEK_LOG_FAILURE("zek_qp_modify():Couldn't register memory for last stream mode msg\n");
    drop_stream(a, qp);
    return ZEK_STATUS_RES_INSUFFICIENT_SW;
  }
  return ZEK_STATUS_PASS;
}

// The streaming message's send request at the send ring's head.
ZekStatus write_stream_wqe(MifhQpObject* qp) {
  const ZekQpVerbs* v = ZekQpOf(qp);
  if (OSPrimSyncAcquireSpinlockObject(&qp->SqLock) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  std::uint32_t index = 0;
  zekhw::MifhWqe* w = mifh_iwarp_qp_get_next_send_wqe(qp, &index);
  if (w != nullptr) {
    std::memset(w, 0, sizeof *w);
    w->op_word = zekhw::kWqeStreamMessageOp;
    w->total_length = v->StreamLength;
    w->tag = reinterpret_cast<std::uint64_t>(qp) | index;
    w->sge[0] = {reinterpret_cast<std::uint64_t>(v->StreamBuffer), v->StreamLength, v->StreamStag};
    OSPrimMemoryLogging("Send Stream Message  Wqe\n");
  }
  OSPrimSyncReleaseSpinlockObject(&qp->SqLock);
  if (w == nullptr) {
    ZEK_LOG_FAILURE("mifh_iwarp_send_stream_mode_msg_using_stag: mifh_iwarp_qp_get_next_send_wqe() returned NULL\n");
    ZEK_LOG_FAILURE("zek_qp_modify: mifh_iwarp_send_stream_mode_msg() returned error (0x%x)\n",
                    IWARP_STATUS_QP_TOOMANY_WRS_POSTED);
    return IWARP_STATUS_QP_TOOMANY_WRS_POSTED;
  }
  return ZEK_STATUS_PASS;
}

// What the hand-over found and took; undone by give_back until the adapter
// confirmed.
struct Handover {
  int socket = -1;
  bool exported = false;
  bool loopback = false;
  bool stream_posted = false;
  MifhQpObject* peer = nullptr;
  std::uint32_t local = 0, remote = 0;
  std::uint16_t local_port = 0, remote_port = 0;
  std::uint32_t ip_index = 0, arp_index = 0, hash = 0;
  ZekToeStateBlock* block = nullptr;
};

void give_back(ZekIwarpAdapter* a, MifhQpObject* qp, Handover& h) {
  if (h.exported) zektcp::ReleaseTOeSocketState(h.socket);
  h.exported = false;
  if (h.stream_posted) {
    // The request never reached the adapter (no doorbell): the slot goes back.
    OSPrimSyncAcquireSpinlockObject(&qp->SqLock);
    qp->SqRing.Head = (qp->SqRing.Head + qp->SqRing.Size - 1) % qp->SqRing.Size;
    OSPrimSyncReleaseSpinlockObject(&qp->SqLock);
    h.stream_posted = false;
  }
  drop_stream(a, qp);
}

int lookup_failed(int line, int result) {
  OSPrimMemoryLogging("zek_qp_modify: FILE[%s] LINE[%d] result %d \n", __FILE__, line, result);
  return 1;
}

// Steps of the hand-over that change nothing: the socket's addresses, the
// loopback peer, the adapter's indexes and the connection hash. 0, or the
// verb's status.
ZekStatus find_connection(ZekIwarpAdapter* a, MifhQpObject* qp, const ZekQpModifyInput* in, Handover& h) {
  if (in->Socket > static_cast<std::uint64_t>(INT_MAX)) return ZEK_STATUS_FAIL;
  h.socket = static_cast<int>(in->Socket);
  const int unread = zektcp::OffloadUnreadBytes(h.socket);
  if (unread < 0) {
    ZEK_LOG_FAILURE("zek_qp_modify(): GetTOeSocketState() returned error (0x%x)\n", zektcp::OFFLOAD_BAD_SOCKET);
    return ZEK_STATUS_FAIL;
  }
  if (unread > 0) {
    ZEK_LOG_FAILURE("zek_qp_modify(): the connection holds %d received bytes not read yet\n", unread);
    return ZEK_STATUS_FAIL;
  }
  if (zektcp::get_socket_quad(h.socket, &h.local, &h.remote, &h.local_port, &h.remote_port) != 0 || h.local == 0 ||
      h.remote == 0) {
    ZEK_LOG_FAILURE("zek_qp_modify(): GetTOeSocketState() returned error (0x%x)\n", zektcp::OFFLOAD_BAD_SOCKET);
    return ZEK_STATUS_FAIL;
  }
  if (h.local == h.remote) {
    // Both ends on this host: the other end's queue pair, when its own
    // hand-over was done and it is still a queue pair of an open adapter.
    h.loopback = true;
    auto* peer = static_cast<MifhQpObject*>(zektcp::OffloadLoopbackPeer(h.socket));
    if (peer != nullptr && peer != qp && GetQPObjectFromQPId(peer->QpId) == peer) h.peer = peer;
  }
  auto* ac = static_cast<zektcp::arpcom*>(a->StackInterface);
  if (zektcp::GetIpIndex(ac, h.local, &h.ip_index) != 0) return lookup_failed(__LINE__, 1);
  if (ac->ac_arp_index == nullptr || h.remote == 0) {
    OSPrimMemoryLogging("Func[%s] line[%d] ipaddr[%x] \n", "zek_qp_modify", __LINE__, h.remote);
    return lookup_failed(__LINE__, 1);
  }
  if (const std::uint32_t r = ac->ac_arp_index(ac->ac_context, h.remote, &h.arp_index); r != 0) {
    OSPrimMemoryLogging("Func[%s] line[%d] ipaddr[%x] \n", "zek_qp_modify", __LINE__, h.remote);
    return lookup_failed(__LINE__, static_cast<int>(r));
  }
  h.hash = mifh_conn_hash_index(a->Device, h.ip_index, h.remote, h.local_port, h.remote_port);
  return ZEK_STATUS_PASS;
}

// Takes the connection from the stack (after the peer acknowledged what it
// was sent, waiting a bounded time) and completes its exported state.
ZekStatus export_connection(MifhQpObject* qp, Handover& h) {
  int r = 0;
  for (std::uint32_t waited = 0;; ++waited) {
    r = zektcp::GetTOeSocketState(h.socket, &h.block, qp, 0);
    if (r != zektcp::BSD_EWOULDBLOCK || waited >= ZEK_HANDOVER_ACK_WAIT_MS) break;
    OSPrimSleepDelay(nullptr, 1000);
  }
  if (r != 0) {
    ZEK_LOG_FAILURE("zek_qp_modify(): GetTOeSocketState() returned error (0x%x)\n", r);
    return ZEK_STATUS_FAIL;
  }
  h.exported = true;
  h.block->RemoteAddress = h.remote;
  h.block->LocalPort = h.local_port;
  h.block->RemotePort = h.remote_port;
  h.block->ArpIndex = h.arp_index;
  h.block->AdapterArpIndex = h.arp_index;
  h.block->HashIndex = h.hash;
  OSPrimMemoryLogging("qp id 0x%x : l_ip=0x%x  r_ip=0x%x, l_port=%x  r_port=%x\n", qp->QpId, h.local, h.remote,
                      h.local_port, h.remote_port);
  return ZEK_STATUS_PASS;
}

}  // namespace

ZekStatus ZekQpModifyHeld(ZekIwarpAdapter* a, MifhQpObject* qp, const ZekQpModifyInput* in, ZekQpModifyOutput* out) {
  ZekQpVerbs* v = ZekQpOf(qp);
  MifhDeviceObj* d = a->Device;
  const std::uint32_t mask = in->Mask == 0 ? kAllAttributes : in->Mask;
  // ---- The attributes against the device's maxima ----
  if ((mask & ZEK_QP_MODIFY_ORD) != 0 && in->Ord > d->MaxOrd) return failed(IWARP_STATUS_QP_INVALID_ORD);
  if ((mask & ZEK_QP_MODIFY_IRD) != 0 && in->Ird > d->MaxIrd) return failed(IWARP_STATUS_QP_INVALID_IRD);
  if ((mask & ZEK_QP_MODIFY_SQ_SIZE) != 0 && in->SqSize >= d->MaxSqWr) {
    ZEK_LOG_FAILURE("zek_qp_modify(): send queue elements (0x%x) is greater than supported (0x%x)\n", in->SqSize,
                    d->MaxSqWr - 1);
    return failed(IWARP_STATUS_QP_INVALID_NUM_WORK_REQS);
  }
  if ((mask & ZEK_QP_MODIFY_RQ_SIZE) != 0 && in->RqSize >= d->MaxRqWr) {
    ZEK_LOG_FAILURE("zek_qp_modify(): recv queue elements (0x%x) is greater than supported (0x%x)\n", in->RqSize,
                    d->MaxRqWr - 1);
    return failed(IWARP_STATUS_QP_INVALID_NUM_WORK_REQS);
  }
  // ---- One modify at a time ----
  if (OSPrimSyncAcquireSpinlockObject(&qp->Locks[0]) != ZEK_STATUS_PASS) return failed(IWARP_STATUS_QP_INVALID_HANDLE);
  const bool busy = (v->Flags & ZEK_QPV_MODIFYING) != 0;
  v->Flags |= ZEK_QPV_MODIFYING;
  const std::uint8_t current = v->State;
  OSPrimSyncReleaseSpinlockObject(&qp->Locks[0]);
  if (busy) return failed(IWARP_STATUS_QP_ALREADY_IN_USE);
  auto done = [&](ZekStatus status) {
    OSPrimSyncAcquireSpinlockObject(&qp->Locks[0]);
    v->Flags &= ~ZEK_QPV_MODIFYING;
    OSPrimSyncReleaseSpinlockObject(&qp->Locks[0]);
    return status == ZEK_STATUS_PASS ? status : failed(status);
  };

  // ---- The state ----
  const bool state_change = (mask & ZEK_QP_MODIFY_STATE) != 0;
  const std::uint8_t next = state_change ? static_cast<std::uint8_t>(in->State) : current;
  if (state_change) {
    if (const ZekStatus s = transition(current, in->State); s != 0) {
      ZEK_LOG_FAILURE("zek_qp_modify: invalid state change from 0x%x to 0x%x\n", current,
                      static_cast<std::uint32_t>(in->State));
      return done(s);
    }
  }
  std::uint32_t rdma_mode = v->RdmaMode;
  if ((mask & ZEK_QP_MODIFY_RDMA_MODE) != 0) {
    if (current == ZEK_QP_STATE_IDLE) {
      rdma_mode = in->RdmaMode;
    } else {
      OSPrimMemoryLogging(
          "zek_qp_modify: RDMA mode chnages is not supported in current state (0x%x) signature(x%x) QP(x%x)  "
          "CurrentQPState(x%x) \n",
          current, qp->Signature, qp->QpId, current);
    }
  }
  if (current == ZEK_QP_STATE_ERROR && next == ZEK_QP_STATE_IDLE &&
      (!ring_empty(qp->SqRing) || !ring_empty(qp->RqRing))) {
    ZEK_LOG_FAILURE("zek_qp_modify:Send queue or Receive queue not empty \n");
    return done(IWARP_STATUS_QP_CANNOT_MODIFY_ATTRIBUTE);
  }

  // ---- The hand-over's preparation (nothing of the connection changes on a failure) ----
  const bool handover = current == ZEK_QP_STATE_IDLE && next == ZEK_QP_STATE_RTS;
  Handover h;
  if (handover) {
    const std::uint32_t most = d->MaxStreamMessage != 0 ? d->MaxStreamMessage : ZEK_STREAM_MESSAGE_DEFAULT_MAX;
    if (in->MessageLength > most) {
      ZEK_LOG_FAILURE("zek_qp_modify: Stream mode message size (0x%x) is more than supported\n", in->MessageLength);
      return done(IWARP_STATUS_STREAM_MESSAGE_TOO_LARGE);
    }
    if (in->MessageLength != 0 && ZekIsBadPointer(in->Message)) return done(ZEK_STATUS_BAD_PTR);
    if (a->StackInterface == nullptr) return done(lookup_failed(__LINE__, 1));
    if (const ZekStatus s = find_connection(a, qp, in, h); s != ZEK_STATUS_PASS) return done(s);
    if (h.loopback && in->MessageLength != 0) {
      // The stack still carries the connection: the message goes as stream bytes.
      const int sent = zektcp::sys_send(h.socket, in->Message, static_cast<int>(in->MessageLength), 0);
      if (sent < static_cast<int>(in->MessageLength)) {
        ZEK_LOG_FAILURE("zek_qp_modify: send for last stream mode message failed\n");
        return done(ZEK_STATUS_FAIL);
      }
    }
    if (const ZekStatus s = export_connection(qp, h); s != ZEK_STATUS_PASS) return done(s);
    if (!h.loopback && in->MessageLength != 0) {
      ZekStatus s = register_stream(a, qp, in->Message, in->MessageLength);
      if (s == ZEK_STATUS_PASS) s = write_stream_wqe(qp);
      if (s != ZEK_STATUS_PASS) {
        give_back(a, qp, h);
        return done(s);
      }
      h.stream_posted = true;
    }
  }

  // ---- The queue attributes ----
  MifhQueueParams request{v->Ord, v->Ird, qp->SqRing.Size - ZEK_VERBS_WQ_RESERVED,
                          qp->RqRing.Size - ZEK_VERBS_WQ_RESERVED};
  if ((mask & ZEK_QP_MODIFY_ORD) != 0) request.Ord = in->Ord;
  if ((mask & ZEK_QP_MODIFY_IRD) != 0) request.Ird = in->Ird;
  if ((mask & ZEK_QP_MODIFY_SQ_SIZE) != 0) request.SqSize = in->SqSize;
  if ((mask & ZEK_QP_MODIFY_RQ_SIZE) != 0) request.RqSize = in->RqSize;
  MifhQueueParams result{};
  if (const ZekStatus s = mifh_modify_queue_params(qp, &request, &result, (mask & ZEK_QP_MODIFY_ORD) != 0,
                                                   (mask & ZEK_QP_MODIFY_IRD) != 0, (mask & ZEK_QP_MODIFY_SQ_SIZE) != 0,
                                                   (mask & ZEK_QP_MODIFY_RQ_SIZE) != 0);
      s != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("zek_qp_modify(): mifh_verify_qp_modify_params() returned error (0x%x)\n", s);
    give_back(a, qp, h);
    return done(s);
  }
  const int code = ird_code(result.Ird);
  if (code < 0) {
    ZEK_LOG_FAILURE("zek_qp_modify: mifh_map_ird_size_to_hw() failed for MaxIncRDMAReads (0x%x) \n", result.Ird);
    give_back(a, qp, h);
    return done(ZEK_STATUS_FAIL);
  }

  // ---- The context and the modify request ----
  ZekCompContext* wait = nullptr;
  if (ZpxInitializeCompEventContext(&wait, a) != ZEK_STATUS_PASS) {
    give_back(a, qp, h);
    return done(ZEK_STATUS_FAIL);
  }
  const std::uint32_t saved_mode = v->RdmaMode;
  v->RdmaMode = rdma_mode;
  MifhIwarpContextAttributes context{};
  ZekQpContextAttributes(qp, result.Ord != 0 ? result.Ord : v->Ord, &context);
  v->RdmaMode = saved_mode;
  context.Byte30 = static_cast<std::uint8_t>(code);
  if (handover) {
    context.Offload = 1;
    context.TcpState = reinterpret_cast<std::uint8_t*>(h.block);
    context.Byte22 = static_cast<std::uint8_t>(h.ip_index);
  }
  MifhIwarpModifyAttributes modify{};
  modify.NextState = next;
  modify.Byte48 = 1;
  modify.Byte47 = h.stream_posted ? 1 : 0;  // a streaming message follows
  ZekStatus s = mifh_iwarp_qp_setcontext(qp, &context);
  if (s != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("zek_qp_modify(): mifh_iwarp_qp_setcontext() returned error (0x%x)\n", s);
  } else if (s = mifh_iwarp_qp_modify(qp, &modify, &wait->Hw); s != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("zek_qp_modify(): mifh_iwarp_qp_modify() returned error (0x%x)\n", s);
  }
  if (s != MIFH_STATUS_SUCCESS) {
    ZpxDestroyCompEventContext(wait, a, 0);
    give_back(a, qp, h);
    return done(ZEK_STATUS_FAIL);
  }
  bool abandoned = false;
  if (ZekWaitCompContext(a, wait, "zek_qp_modify", &abandoned) != ZEK_STATUS_PASS) {
    if (abandoned && h.exported) {
      // The adapter may have taken the connection: it stays the queue pair's
      // and goes with its destruction.
      v->Socket = static_cast<std::uint64_t>(h.socket);
      v->Flags |= ZEK_QPV_TCP_CONTEXT_SET;
      return done(ZEK_STATUS_FAIL);
    }
    give_back(a, qp, h);
    return done(ZEK_STATUS_FAIL);
  }

  // ---- Committed ----
  if (h.stream_posted) mifh_iwarp_sq_doorbell(qp, 1);
  OSPrimSyncAcquireSpinlockObject(&qp->Locks[0]);
  v->State = next;
  v->RdmaMode = rdma_mode;
  if ((mask & ZEK_QP_MODIFY_ORD) != 0) v->Ord = result.Ord;
  if ((mask & ZEK_QP_MODIFY_IRD) != 0) v->Ird = result.Ird;
  if (handover) {
    v->Socket = static_cast<std::uint64_t>(h.socket);
    v->Flags |= ZEK_QPV_TCP_CONTEXT_SET;
    v->ConnectionState = ZEK_QP_CONNECTION_RUNNING;
    v->ConnectionEnded.store(0);
    qp->LocalAddress = h.local;
    qp->RemoteAddress = h.remote;
    qp->LocalPort = h.local_port;
    qp->RemotePort = h.remote_port;
    qp->HashIndex = h.hash;
    qp->Word6Byte = static_cast<std::uint8_t>(h.arp_index);
    if (h.loopback) {
      v->Flags |= ZEK_QPV_LOOPBACK;
      v->PeerQp = h.peer;
    }
  }
  OSPrimSyncReleaseSpinlockObject(&qp->Locks[0]);
  if (h.peer != nullptr) ZekQpOf(h.peer)->PeerQp = qp;
  if ((next == ZEK_QP_STATE_ERROR || next == ZEK_QP_STATE_TERMINATE) &&
      (current == ZEK_QP_STATE_RTS || current == ZEK_QP_STATE_CLOSING)) {
    ZekQpConnectionEnded(a, qp);
  }
  if (stopping(next) && !stopping(current)) {
    // The adapter completes none of the outstanding requests of a stopped
    // queue pair: they come back flushed from the CQs' error rings.
    InsertInErrorQPList(v->SendCq, qp, 1, 0);
    InsertInErrorQPList(v->RecvCq, qp, 0, 0);
  }
  out->SqSize = in->SqSize;
  out->RqSize = in->RqSize;
  out->Ord = in->Ord;
  out->Ird = in->Ird;
  return done(ZEK_STATUS_PASS);
}

ZekStatus zek_qp_modify(void* adapter, std::uint64_t handle, const ZekQpModifyInput* in, ZekQpModifyOutput* out) {
  if (handle >= ZEK_VERBS_QP_TABLE_SIZE) {
    ZEK_LOG_FAILURE("zek_qp_modify(): QPHandle is NULL\n");
    return failed(IWARP_STATUS_QP_INVALID_HANDLE);
  }
  if (ZekIsBadPointer(adapter)) return failed(IWARP_STATUS_A_INVALID_RNIC_HANDLE);
  if (ZekIsBadPointer(in)) {
    ZEK_LOG_FAILURE("zek_qp_modify(): pQPInputInfo is NULL\n");
    return failed(ZEK_STATUS_BAD_PTR);
  }
  if (ZekIsBadPointer(out)) return failed(ZEK_STATUS_BAD_PTR);
  ZekAdapterHold hold(adapter, "zek_qp_modify: Adapter not found \n");
  if (!hold) return failed(IWARP_STATUS_A_INVALID_RNIC_HANDLE);
  MifhQpObject* qp = ZekQpOfHandle(hold.get(), handle);
  if (qp == nullptr) {
    ZEK_LOG_FAILURE("zek_qp_modify: QP Object not found \n");
    return failed(IWARP_STATUS_QP_INVALID_HANDLE);
  }
  return ZekQpModifyHeld(hold.get(), qp, in, out);
}

void ZekQpDropStreamMessage(ZekIwarpAdapter* adapter, MifhQpObject* qp) { drop_stream(adapter, qp); }
