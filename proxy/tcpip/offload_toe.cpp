// The TOE road of the offload bridge: moving a connection into a TOE queue
// pair (SetSocketState), its sends, receives and shutdown through TOE work
// requests, the completions that end them, and the release of the queue
// pair and its CQ.
#include <atomic>
#include <cstring>

#include "proxy/core/osprim/osprim_kernel.h"
#include "proxy/rdma/hw/config.h"
#include "proxy/rdma/hw/control_qp.h"
#include "proxy/rdma/hw/toe_post.h"
#include "proxy/tcpip/bsd_errno.h"
#include "proxy/tcpip/kern/kern.h"
#include "proxy/tcpip/netinet/in_pcb.h"
#include "proxy/tcpip/offload.h"
#include "proxy/tcpip/offload_internal.h"

namespace zektcp {

namespace offload {
bool adapter_of(socket* so, ZekToeAdapter* out);
}

namespace {

using offload::link_of;
using offload::socket_of;
using offload::ToeLink;

// A control request the bridge waits for, bounded: the adapter answers
// within microseconds; OFFLOAD_WAIT_MS only ends the wait on one that never
// will. A context given up on is made unreachable before its frame goes.
struct ControlWait {
  MifhCqpCompletionContext Context{};
  std::atomic<std::uint32_t> Done{0};
  ControlWait() {
    Context.CompletionRoutine = [](void* a) { static_cast<ControlWait*>(a)->Done.store(1, std::memory_order_release); };
    Context.Argument = this;
  }
  // 1 answered, 0 refused by the adapter, -1 no answer.
  int wait(const ZekToeAdapter& adapter) {
    for (std::uint32_t ms = 0; ms <= OFFLOAD_WAIT_MS; ++ms) {
      if (adapter.ControlDrain != nullptr) adapter.ControlDrain(adapter.Context);
      if (Done.load(std::memory_order_acquire) != 0) return Context.ErrorFlag == 0 ? 1 : 0;
      OSPrimSleepDelay(nullptr, 1000);
    }
    mifh_cqp_forget_context(adapter.Device->Cqp, &Context);
    return Done.load(std::memory_order_acquire) != 0 ? (Context.ErrorFlag == 0 ? 1 : 0) : -1;
  }
};

// The connection goes back to the stack (nothing of it reached the adapter).
int roll_back(socket* so, tcp_ctl_block* tp, int handle, int line, int result) {
  AcquireBdcLock();
  if (socket_is_live(so) && sototcpcb(so) == tp) offload::give_back_to_stack(tp);
  ReleaseBdcLock();
  OSPrimMemoryLogging("SetSocketState:Socket[x%08X] FUNCTION[%s] LINE[%d] result %d \n", static_cast<unsigned>(handle),
                      "SetSocketState", line, result);
  return result;
}

// Destroys a CQ that the adapter created, and frees it once confirmed.
void destroy_cq(MifhCqObject* cq, const ZekToeAdapter& adapter) {
  offload::unregister_toe_cq(cq);
  ControlWait w;
  if (mifh_cq_destroy(cq, &w.Context) == MIFH_STATUS_SUCCESS && w.wait(adapter) == 1) {
    mifh_free_iwarp_cq(cq);
  } else {
    OSPrimMemoryLogging("SetSocketState: the TOE CQ (%u) stays with the adapter\n", cq->CqId);
  }
}

// The bytes the stack received before the offload, up to `length`.
std::uint32_t take_received(socket* so, void* to, std::uint32_t length) {
  const std::uint32_t n = so->so_rcv.sb_cc < length ? so->so_rcv.sb_cc : length;
  if (n == 0) return 0;
  m_copydata(so->so_rcv.sb_mb, 0, static_cast<int>(n), to);
  sbdrop(&so->so_rcv, static_cast<int>(n));
  return n;
}

// The checks of an offloaded send or receive, under the socket-call lock:
// the link, or null with the (negated) code in *error.
ToeLink* offloaded_link(int handle, socket** out, int* error) {
  socket* so = socket_of(handle);
  if (so == nullptr) {
    *error = -OFFLOAD_BAD_SOCKET;
    return nullptr;
  }
  if (so->so_taken_over == SOCKET_TAKEN_OVER) {
    *error = -OFFLOAD_TAKEN_OVER_ERROR;
    return nullptr;
  }
  ToeLink* link = link_of(static_cast<MifhCqObject*>(so->so_offload_cq));
  if (so->so_offload_qp == nullptr || link == nullptr) {
    *error = -1;
    return nullptr;
  }
  *out = so;
  return link;
}

// Maps a caller's buffer of at most OFFLOAD_MAX_BUFFERS pages (the length is
// cut to what they hold) into TOE buffer entries.
bool map_buffer(void* buffer, std::uint32_t* length, bool user, OSPrimMapRecord* map, void** system,
                MifhToeBufferEntry (&entries)[OFFLOAD_MAX_BUFFERS], std::uint32_t* count) {
  const std::uint32_t in_first = 4096 - static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(buffer) % 4096);
  const std::uint32_t most = in_first + (OFFLOAD_MAX_BUFFERS - 1) * 4096;
  if (*length > most) *length = most;
  std::memset(map, 0, sizeof *map);
  const ZekStatus s =
      user ? OSPrimMapUserSgl(buffer, *length, map, system) : OSPrimMapKernelSgl(buffer, *length, map, system);
  if (s != 0) return false;
  *count = map->PageCount;
  for (std::uint32_t i = 0; i < *count; ++i) entries[i] = {map->Sgl[i].PhysicalAddress, map->Sgl[i].Length, 0, 0};
  return true;
}

void unmap_buffer(OSPrimMapRecord* map, bool user) {
  if (user) {
    OSPrimUnMapUserSgl(map);
  } else {
    OSPrimUnMapKernel(map);
  }
}

// Posts a send of `count` entries (0: the end of the stream) and sleeps
// until its completions are in: the bytes sent, or a negated code. Called
// and returns with the socket-call lock held.
int send_and_wait(socket* so, ToeLink* link, const MifhToeBufferEntry* entries, std::uint32_t count,
                  std::uint32_t length) {
  const MifhToeSendRequest request{entries, count, length, {}};
  link->SendWqes = count == 0 ? 1 : mifh_toe_wqes_for(count);
  link->SendBytes = 0;
  link->SendStatus = 0;
  if (mifh_toe_send(link->Qp, &request, reinterpret_cast<std::uint64_t>(link)) != MIFH_STATUS_SUCCESS) {
    link->SendWqes = 0;
    return -1;
  }
  while (link->SendWqes != 0) {
    if (OSPrimTSleep(0, &so->so_offload_send_sleep) != 0) return -BSD_EINTR;
  }
  if (link->SendStatus != 0) return -(link->SendStatus == zekhw::kToeStatusTimedOut ? BSD_ETIMEDOUT : BSD_ECONNRESET);
  so->so_offload_sent = link->SendBytes;
  return static_cast<int>(link->SendBytes);
}

// The TOE CQ's completion processing and the clean-up callback.
void AsyncToeCloseSocketCallback(void* argument);

struct CloseRecord {
  MifhCqpCompletionContext Context;
  MifhQpObject* Qp;
  MifhCqObject* Cq;
  ZekToeAdapter Adapter;
  std::uint32_t QpId, CqId;
  std::uint32_t Phase;  // 0: the QP's destroy is posted; 1: the CQ's
};

void AsyncToeCloseSocketCallback(void* argument) {
  auto* r = static_cast<CloseRecord*>(argument);
  if (r->Phase == 0) {
    if (r->Context.ErrorFlag != 0) {
      // The adapter did not let go: its rings stay out of the pools.
      r->Qp->QpFlags |= MIFH_QPF_QUARANTINED;
      OSPrimMemoryLogging(
          "AsyncToeCloseSocketCallback: mifh_toe_qp_deallocate() failed error (0x%x) FUNCTION[%s] line[%d]\n",
          r->Context.MinorCode, "AsyncToeCloseSocketCallback", __LINE__);
    }
    mifh_free_toe_sq(r->Qp);
    r->Phase = 1;
    r->Context.ErrorFlag = 0;
    const ZekStatus s = mifh_cq_destroy(r->Cq, &r->Context);
    if (s == MIFH_STATUS_SUCCESS) return;
    OSPrimMemoryLogging("AsyncToeCloseSocketCallback: mifh_cq_destroy() failed error (0x%x) FUNCTION[%s] line[%d]\n", s,
                        "AsyncToeCloseSocketCallback", __LINE__);
  } else if (r->Context.ErrorFlag == 0) {
    if (mifh_free_iwarp_cq(r->Cq) != MIFH_STATUS_SUCCESS) {
      OSPrimMemoryLogging(
          "AsyncToeCloseSocketCallback: mifh_iwarp_cq_deallocate() failed error (0x%x) FUNCTION[%s] line[%d]\n", 1u,
          "AsyncToeCloseSocketCallback", __LINE__);
    }
    if (r->Adapter.GiveIds != nullptr) r->Adapter.GiveIds(r->Adapter.Context, r->QpId, r->CqId);
  }
  OSPrimMemFree(r);
}

}  // namespace

int SetSocketState(int handle, std::uint32_t, std::uint32_t, void*) {
  // ---- The checks, and the connection taken from the stack (state 170,
  // timers stopped: nothing of the stack touches it from here) ----
  AcquireBdcLock();
  socket* so = socket_of(handle);
  if (so == nullptr) {
    ReleaseBdcLock();
    OSPrimMemoryLogging("SetSocketState: Socket[x%08X] FUNCTION[%s] line[%d]\n", static_cast<unsigned>(handle),
                        "SetSocketState", __LINE__);
    return OFFLOAD_BAD_SOCKET;
  }
  ZekToeAdapter adapter{};
  if (!offload::adapter_of(so, &adapter) || ZekIsBadPointer(adapter.Device) || adapter.TakeIds == nullptr ||
      adapter.ArpIndex == nullptr) {
    ReleaseBdcLock();
    OSPrimMemoryLogging("Func[%s] pIwarpAdapter is NULL \n", "SetSocketState");
    return BSD_ENXIO;
  }
  if ((so->so_state & SS_ISCONNECTED) == 0) {
    ReleaseBdcLock();
    OSPrimMemoryLogging("SetSocketState: Socket[x%08X] FUNCTION[%s] LINE[%d]  \n", static_cast<unsigned>(handle),
                        "SetSocketState", __LINE__);
    return OFFLOAD_NOT_CONNECTED;
  }
  if ((so->so_state & (SS_ISCONNECTING | SS_ISDISCONNECTING | SS_CANTSENDMORE | SS_CANTRCVMORE)) != 0) {
    ReleaseBdcLock();
    OSPrimMemoryLogging("SetSocketState:Socket[x%08X] Bad tcp socket state (0x%x) FUNCTION[%s] LINE[%d]  \n",
                        static_cast<unsigned>(handle), static_cast<unsigned>(so->so_state), "SetSocketState", __LINE__);
    return OFFLOAD_BAD_SOCKET;
  }
  tcp_ctl_block* tp = sototcpcb(so);
  if (tp == nullptr || tcp_offloaded(tp) || so->so_taken_over == SOCKET_TAKEN_OVER) {
    ReleaseBdcLock();
    OSPrimMemoryLogging("SetSocketState:Socket[x%08X] Bad tp (0x%x) FUNCTION[%s] LINE[%d]  \n",
                        static_cast<unsigned>(handle), 0u, "SetSocketState", __LINE__);
    return tp != nullptr ? OFFLOAD_ALREADY : OFFLOAD_BAD_SOCKET;
  }
  if (so->so_snd.sb_cc != 0 || tp->snd_una != tp->snd_max) {
    ReleaseBdcLock();
    return BSD_EWOULDBLOCK;
  }
  inpcb* inp = sotoinpcb(so);
  const std::uint32_t remote = ntohl(inp_faddr(inp).s_addr);
  std::uint16_t arp = 0;
  if (!adapter.ArpIndex(adapter.Context, remote, &arp)) {
    ReleaseBdcLock();
    OSPrimMemoryLogging("Func[%s] line[%d] ipaddr[%x] \n", "SetSocketState", __LINE__, remote);
    return BSD_EHOSTUNREACH;
  }
  // The connection's own address's entry in the adapter's table.
  std::uint8_t local_index = adapter.LocalAddressIndex;
  if (adapter.AddressIndex != nullptr &&
      !adapter.AddressIndex(adapter.Context, ntohl(inp_laddr(inp).s_addr), &local_index)) {
    ReleaseBdcLock();
    OSPrimMemoryLogging("Func[%s] line[%d] ipaddr[%x] \n", "SetSocketState", __LINE__, ntohl(inp_laddr(inp).s_addr));
    return BSD_EHOSTUNREACH;
  }
  offload::take_from_stack(tp);
  ZekToeStateBlock state;
  std::memcpy(&state, &so->so_offload, sizeof state);
  offload::fill_state(so, tp, &state);
  state.ArpIndex = arp;
  state.AdapterArpIndex = arp;
  state.HashIndex =
      mifh_conn_hash_index(adapter.Device, local_index, remote, static_cast<std::uint16_t>(state.LocalPort),
                           static_cast<std::uint16_t>(state.RemotePort));
  ReleaseBdcLock();

  // ---- The adapter's objects; any failure before the adapter took the
  // connection gives it back to the stack ----
  std::uint32_t qp_id = 0, cq_id = 0;
  if (!adapter.TakeIds(adapter.Context, &qp_id, &cq_id)) return roll_back(so, tp, handle, __LINE__, BSD_ENOBUFS);
  auto give_ids = [&] {
    if (adapter.GiveIds != nullptr) adapter.GiveIds(adapter.Context, qp_id, cq_id);
  };
  MifhCqObject* cq = nullptr;
  void* ring = nullptr;
  if (ZekStatus s = mifh_iwarp_cq_allocate(&cq, &ring, MIFH_TOE_CQ_ENTRIES); s != MIFH_STATUS_SUCCESS) {
    OSPrimMemoryLogging(s == MIFH_STATUS_NO_OBJECT ? "mifh_toe_cq_allocate: Couldn't allocate buf for CQ Object\n"
                                                   : "mifh_toe_cq_allocate: Couldn't allocate buf for CQ elements\n");
    give_ids();
    return roll_back(so, tp, handle, __LINE__, BSD_ENOBUFS);
  }
  std::uint32_t low = 0, high = 0;
  OSPrimGetPaFromVa(ring, &low, &high);
  if (!offload::register_toe_cq(cq)) {
    OSPrimMemoryLogging("SetSocketState: every TOE CQ place is taken\n");
    mifh_free_iwarp_cq(cq);
    give_ids();
    return roll_back(so, tp, handle, __LINE__, BSD_ENOBUFS);
  }
  mifh_iwarp_cq_init(adapter.Device, cq, ring, std::uint64_t{high} << 32 | low, MIFH_TOE_CQ_ENTRIES, 0);
  cq->CqId = cq_id;
  cq->CeqId = adapter.CeqId;
  {
    ControlWait w;
    const ZekStatus posted = mifh_iwarptoe_cq_create(cq, cq_id, adapter.CeqId, 1, 0, &w.Context);
    const int answer = posted == MIFH_STATUS_SUCCESS ? w.wait(adapter) : 0;
    if (answer != 1) {
      if (answer == 0) {
        OSPrimMemoryLogging("SetSocketState: Hw returned error Major(0x%x) minor (0x%x)for toe_cq_create().  \n",
                            w.Context.MajorCode, w.Context.MinorCode);
        offload::unregister_toe_cq(cq);
        mifh_free_iwarp_cq(cq);
        give_ids();
      } else {
        offload::unregister_toe_cq(cq);
        // No answer: the adapter may yet create it, so its memory stays.
        OSPrimMemoryLogging("SetSocketState: OSPrimWait Event return error\n");
      }
      return roll_back(so, tp, handle, __LINE__, answer == 0 ? OFFLOAD_ADAPTER_REFUSED : BSD_ETIMEDOUT);
    }
  }
  mifh_cq_arm(cq, false, true);

  MifhQpObject* qp = nullptr;
  if (mifh_toe_qp_allocate(&qp, adapter.Device, MIFH_TOE_QP_WQES, MIFH_TOE_QP_WQES) != MIFH_STATUS_SUCCESS) {
    destroy_cq(cq, adapter);
    give_ids();
    return roll_back(so, tp, handle, __LINE__, BSD_ENOBUFS);
  }
  auto* link = reinterpret_cast<ToeLink*>(cq->OwnerArea);
  *link = ToeLink{};
  link->QpId = qp_id;
  link->CqId = cq_id;
  link->So = so;
  link->Qp = qp;
  link->Cq = cq;
  link->Adapter = adapter;
  mifh_toe_qp_setcontext(qp, &state, static_cast<std::uint16_t>(cq_id), local_index);
  ControlWait w;
  const ZekStatus posted = mifh_toe_qp_create(qp, qp_id, &w.Context);
  const int answer = posted == MIFH_STATUS_SUCCESS ? w.wait(adapter) : 0;
  if (answer == 0) {
    // Refused: the adapter never took the connection.
    OSPrimMemoryLogging("mifh_toe_qp_allocate: the adapter refused the TOE QP (0x%x)\n", w.Context.MinorCode);
    mifh_free_toe_sq(qp);
    destroy_cq(cq, adapter);
    give_ids();
    return roll_back(so, tp, handle, __LINE__, OFFLOAD_ADAPTER_REFUSED);
  }
  if (answer < 0) {
    // The adapter may have taken the connection: neither side may go on
    // with it. Its objects stay out of the pools; the connection is dropped.
    qp->QpFlags |= MIFH_QPF_QUARANTINED;
    mifh_toe_qp_destroy(qp, nullptr);
    offload::unregister_toe_cq(cq);
    mifh_cq_destroy(cq, nullptr);  // its memory stays out of the pools too
    AcquireBdcLock();
    if (socket_is_live(so) && sototcpcb(so) == tp) {
      tp->offload_state = 0;
      tcp_drop_conn(tp, BSD_ETIMEDOUT);
    }
    ReleaseBdcLock();
    OSPrimMemoryLogging("SetSocketState:Socket[x%08X] FUNCTION[%s] LINE[%d] result %d \n",
                        static_cast<unsigned>(handle), "SetSocketState", __LINE__, BSD_ETIMEDOUT);
    return BSD_ETIMEDOUT;
  }

  // ---- The adapter carries the connection ----
  AcquireBdcLock();
  std::memcpy(&so->so_offload, &state, sizeof state);
  link->Signature = offload::TOE_LINK_SIGNATURE;
  so->so_offload_qp = qp;
  so->so_offload_cq = cq;
  ReleaseBdcLock();
  return 0;
}

void OffloadToeCqEvent(MifhCqObject* cq) {
  ToeLink* link = link_of(cq);
  if (link == nullptr) return;
  zekhw::MifhToeCqe c;
  while (mifh_toe_cq_poll(cq, link->Qp, &c) == MIFH_STATUS_SUCCESS) {
    auto* target = reinterpret_cast<ToeLink*>(c.context);
    if (target != link) {
      OSPrimDebugPrint("pCqeParam is NULL");
      continue;
    }
    AcquireBdcLock();
    socket* so = link->So;
    if (so == nullptr) {
      OSPrimDebugPrint("so is NULL");
    } else if ((c.flags & zekhw::kCqeSendQueue) != 0) {
      link->SendBytes += c.byte_count;
      if (c.status != 0) {
        link->SendStatus = c.status;
        link->Failed = 1;
      }
      so->so_offload_send_status[0] = c.status;
      so->so_offload_send_status[1] = c.status2;
      if (link->SendWqes > 0 && --link->SendWqes == 0) OSPrimWakeup(&so->so_offload_send_sleep);
    } else {
      link->RecvBytes += c.byte_count;
      if (c.status != 0) {
        link->RecvStatus = c.status;
        link->Failed = 1;
      }
      so->so_offload_recv_status[0] = c.status;
      so->so_offload_recv_status[1] = c.status2;
      if ((c.status2 & zekhw::kToeEndOfStream) != 0) {
        link->PeerFinished = 1;
        socantrcvmore(so);
      }
      if (link->RecvWqes > 0 && --link->RecvWqes == 0) OSPrimWakeup(&so->so_offload_recv_sleep);
    }
    ReleaseBdcLock();
  }
  mifh_cq_arm(cq, false, true);
}

int OffLoadSend(int handle, const void* buffer, std::uint32_t length, int flags, int user_buffer) {
  if ((flags & 3) != 0) {
    OSPrimMemoryLogging("OffLoadSend: FUNCTION[%s] line[%d]\n", "OffLoadSend", __LINE__);
    return -BSD_EOPNOTSUPP;
  }
  if (buffer == nullptr && length != 0) return -BSD_EFAULT;
  AcquireBdcLock();
  socket* so = nullptr;
  int error = 0;
  ToeLink* link = offloaded_link(handle, &so, &error);
  if (link == nullptr || (so->so_state & SS_CANTSENDMORE) != 0 || link->Failed != 0) {
    ReleaseBdcLock();
    return link == nullptr ? error : link->Failed != 0 ? -BSD_ECONNRESET : -BSD_EPIPE;
  }
  ReleaseBdcLock();
  if (length == 0) return 0;
  OSPrimMapRecord map;
  void* system = nullptr;
  MifhToeBufferEntry entries[OFFLOAD_MAX_BUFFERS];
  std::uint32_t count = 0;
  if (!map_buffer(const_cast<void*>(buffer), &length, user_buffer == 1, &map, &system, entries, &count)) {
    return -BSD_EFAULT;
  }
  AcquireBdcLock();
  const int result = socket_is_live(so) && link_of(static_cast<MifhCqObject*>(so->so_offload_cq)) == link
                         ? send_and_wait(so, link, entries, count, length)
                         : -BSD_ECONNRESET;
  ReleaseBdcLock();
  unmap_buffer(&map, user_buffer == 1);
  if (result >= 0) OSPrimMemoryLogging("OffLoadSend: Send %d bytes \n", result);
  return result;
}

int OffLoadRecv(int handle, void* buffer, std::uint32_t length, int flags, int user_buffer) {
  if ((flags & 3) != 0) {
    OSPrimMemoryLogging("OffLoadRecv: FUNCTION[%s] line[%d]\n", "OffLoadRecv", __LINE__);
    return -BSD_EOPNOTSUPP;
  }
  if (buffer == nullptr && length != 0) return -BSD_EFAULT;
  AcquireBdcLock();
  socket* so = nullptr;
  int error = 0;
  ToeLink* link = offloaded_link(handle, &so, &error);
  if (link == nullptr) {
    ReleaseBdcLock();
    return error;
  }
  ReleaseBdcLock();
  if (length == 0) return 0;
  OSPrimMapRecord map;
  void* system = nullptr;
  MifhToeBufferEntry entries[OFFLOAD_MAX_BUFFERS];
  std::uint32_t count = 0;
  if (!map_buffer(buffer, &length, user_buffer == 1, &map, &system, entries, &count)) return -BSD_EFAULT;
  int result;
  AcquireBdcLock();
  if (!socket_is_live(so) || link_of(static_cast<MifhCqObject*>(so->so_offload_cq)) != link) {
    result = -BSD_ECONNRESET;
  } else if (so->so_rcv.sb_cc != 0) {
    // What the stack received before the offload comes first.
    result = static_cast<int>(take_received(so, system, length));
  } else if (link->PeerFinished != 0) {
    result = 0;
  } else if (link->Failed != 0) {
    result = -BSD_ECONNRESET;
  } else {
    link->RecvWqes = mifh_toe_wqes_for(count);
    link->RecvBytes = 0;
    link->RecvStatus = 0;
    result = 0;
    if (mifh_toe_recv(link->Qp, entries, reinterpret_cast<std::uint64_t>(link), count, length) != MIFH_STATUS_SUCCESS) {
      link->RecvWqes = 0;
      result = -1;
    }
    while (result == 0 && link->RecvWqes != 0) {
      if (OSPrimTSleep(0, &so->so_offload_recv_sleep) != 0) result = -BSD_EINTR;
    }
    if (result == 0) {
      result = link->RecvStatus != 0 ? -BSD_ECONNRESET : static_cast<int>(link->RecvBytes);
      so->so_offload_received = link->RecvBytes;
    }
  }
  ReleaseBdcLock();
  unmap_buffer(&map, user_buffer == 1);
  if (result >= 0) OSPrimMemoryLogging("OffLoadRecv: Received %d bytes \n", result);
  return result;
}

int OffLoadShutdown(int handle, int how, int, int) {
  AcquireBdcLock();
  socket* so = socket_of(handle);
  int result = 0;
  if (so == nullptr) {
    result = -OFFLOAD_BAD_SOCKET;
  } else if (so->so_taken_over == SOCKET_TAKEN_OVER) {
    result = -OFFLOAD_TAKEN_OVER_ERROR;
  } else if (how == 0) {
    socantrcvmore(so);
  } else if (how == 1 || how == 2) {
    socantsendmore(so);
    if (how == 2) socantrcvmore(so);
    ToeLink* link = link_of(static_cast<MifhCqObject*>(so->so_offload_cq));
    if (so->so_offload_qp == nullptr || link == nullptr) {
      result = -1;
    } else if (link->FinSent == 0 && link->Failed == 0) {
      OSPrimMemoryLogging("OffLoadShutdown: wait for completion \n");
      const int sent = send_and_wait(so, link, nullptr, 0, 0);
      link->FinSent = 1;
      OSPrimMemoryLogging("OffLoadShutdown: Send %d bytes \n", sent < 0 ? 0 : sent);
      result = sent < 0 ? sent : 0;
    }
  } else {
    OSPrimMemoryLogging("OffLoadShutdown: invalid i32How val (%d)FUNCTION[%s] line[%d]\n", how, "OffLoadShutdown",
                        __LINE__);
    result = -1;
  }
  ReleaseBdcLock();
  return result;
}

int OffloadFreeToeSocket(socket* so) {
  if (so == nullptr) {
    OSPrimMemoryLogging("OffloadCleanupToeSocket: so is NULL  FUNCTION[%s] line[%d]\n", "OffloadFreeToeSocket",
                        __LINE__);
    return 1;
  }
  auto* cq = static_cast<MifhCqObject*>(so->so_offload_cq);
  ToeLink* link = link_of(cq);
  if (so->so_offload_qp == nullptr || link == nullptr) return 1;
  void* memory = nullptr;
  if (OSPrimMemAllocate(&memory, sizeof(CloseRecord)) != 0 || memory == nullptr) {
    OSPrimMemoryLogging("OffloadFreeToeSocket: OSPrimMemDmaAllocate failed  FUNCTION[%s] line[%d]\n",
                        "OffloadFreeToeSocket", __LINE__);
    return 1;
  }
  auto* r = static_cast<CloseRecord*>(memory);
  *r = CloseRecord{};
  r->Context.CompletionRoutine = AsyncToeCloseSocketCallback;
  r->Context.Argument = r;
  r->Qp = link->Qp;
  r->Cq = cq;
  r->Adapter = link->Adapter;
  r->QpId = link->QpId;
  r->CqId = link->CqId;
  // No completion reaches the socket from here on.
  link->So = nullptr;
  offload::unregister_toe_cq(cq);
  const ZekStatus s = mifh_toe_qp_destroy(link->Qp, &r->Context);
  if (s != MIFH_STATUS_SUCCESS) {
    OSPrimMemoryLogging("OffloadCleanupToeSocket: mifh_toe_qp_destroy() failed error (0x%x) FUNCTION[%s] line[%d]\n", s,
                        "OffloadFreeToeSocket", __LINE__);
    OSPrimMemFree(r);
    return static_cast<int>(s);
  }
  so->so_offload_qp = nullptr;
  so->so_offload_cq = nullptr;
  return 0;
}

}  // namespace zektcp
