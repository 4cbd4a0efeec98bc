// The offload bridge: the offload state word, the export of a connection's
// TCP state for an iWARP queue pair, the TOE-state request, and the
// registry of the adapters behind the stack's interfaces.
#include "proxy/tcpip/offload.h"

#include <cstring>

#include "proxy/tcpip/bsd_errno.h"
#include "proxy/tcpip/kern/kern.h"
#include "proxy/tcpip/netinet/in_pcb.h"
#include "proxy/tcpip/offload_internal.h"

namespace zektcp {

namespace offload {

socket* socket_of(int handle, file** out) {
  filedesc* fdp = stack_process()->p_fd;
  if (fdp == nullptr || handle < 0 || handle >= fdp->fd_nfiles) return nullptr;
  file* fp = fdp->fd_ofiles[handle];
  if (fp == nullptr || fp->f_type != DTYPE_SOCKET || fp->f_data == nullptr) return nullptr;
  // A process reaches its own sockets only (the driver's own callers run
  // in the process that made them).
  if (fp->f_owner_pid != reinterpret_cast<std::uintptr_t>(PsGetCurrentProcessId())) return nullptr;
  auto* so = static_cast<socket*>(fp->f_data);
  if (!socket_is_live(so)) return nullptr;
  if (out != nullptr) *out = fp;
  return so;
}

void take_from_stack(tcp_ctl_block* tp) {
  tcp_stop_timers(tp);
  tp->offload_state = OFFLOAD_STATE_ADAPTER;
}

void give_back_to_stack(tcp_ctl_block* tp) {
  tp->offload_state = 0;
  // A live connection keeps its keepalive; bytes in flight their retransmission.
  tcp_timer_arm(tp, TT_KEEP, static_cast<std::int32_t>(tcp_tun.keepalive_idle));
  if (tp->snd_max != tp->snd_una) tcp_timer_arm(tp, TT_REXMT, tcp_rexmt_value(tp));
}

void fill_state(socket* so, tcp_ctl_block* tp, ZekToeStateBlock* b) {
  b->Flags[ZEK_TOE_FLAG_TIMESTAMPS] =
      (tp->conn_flags & (TCPF_GOT_TSTAMP | TCPF_WANT_TSTAMP)) == (TCPF_GOT_TSTAMP | TCPF_WANT_TSTAMP) ? 1 : 0;
  b->DupAckCount = tp->dup_ack_count;
  b->SndMss = static_cast<std::uint32_t>(tp->snd_mss);
  b->ConnState = tp->conn_state + 1;
  b->Zero15 = 0;
  b->SndWndShift = tp->snd_wnd_shift;
  b->RcvWndShift = tp->rcv_wnd_shift;
  b->KeepaliveProbes = g_tcpstat.keepprobe;
  b->TsRecent = tp->ts_recent;
  b->TsRecentAge = tp->ts_recent_age;
  b->SndNxt = tp->snd_nxt;
  b->SndWnd = tp->snd_wnd;
  b->RcvNxt = tp->rcv_nxt;
  b->RcvWnd = tp->rcv_wnd;
  b->SndMax = tp->snd_max;
  b->SndUna = tp->snd_una;
  b->Srtt = static_cast<std::uint32_t>(tp->srtt);
  b->TwelveSeconds = 12 * tick_rate();
  b->Ssthresh = tp->ssthresh;
  b->SndCwnd = tp->snd_cwnd;
  b->SndWl1 = tp->snd_wl1;
  b->SndWl2 = tp->snd_wl2;
  b->MaxSndWindow = tp->max_snd_window;
  b->RtoCount = tp->rto_count & 0x3F;
  b->RtoSeconds = static_cast<std::uint32_t>(tp->rto) / tick_rate();
  inpcb* inp = sotoinpcb(so);
  b->LocalPort = ntohs(inp->inp_lport);
  b->RemotePort = ntohs(inp->inp_fport);
  b->RemoteAddress = ntohl(inp_faddr(inp).s_addr);
}

}  // namespace offload

namespace {

using offload::socket_of;

struct AdapterSlot {
  ifnet* Interface;
  ZekToeAdapter Adapter;
};
AdapterSlot g_adapters[16];

// The checks every road shares: a connected TCP socket with its control
// block. 0, or the BSD error with the message logged.
int connected_tcp(int handle, const char* who, socket** out_so, tcp_ctl_block** out_tp, file** fp = nullptr) {
  socket* so = socket_of(handle, fp);
  if (so == nullptr) {
    OSPrimMemoryLogging("%s: Socket[x%08X] FUNCTION[%s] line[%d]\n", who, static_cast<unsigned>(handle), who, __LINE__);
    return OFFLOAD_BAD_SOCKET;
  }
  if ((so->so_state & SS_ISCONNECTED) == 0 || so->so_type != SOCK_STREAM) {
    OSPrimMemoryLogging("%s: Socket[x%08X] FUNCTION[%s] LINE[%d]  \n", who, static_cast<unsigned>(handle), who,
                        __LINE__);
    return OFFLOAD_BAD_SOCKET;
  }
  tcp_ctl_block* tp = sototcpcb(so);
  if (tp == nullptr) return OFFLOAD_BAD_SOCKET;
  *out_so = so;
  *out_tp = tp;
  return 0;
}

}  // namespace

bool OffloadAttachAdapter(ifnet* ifp, const ZekToeAdapter* adapter) {
  if (ifp == nullptr) return false;
  AcquireBdcLock();
  // A socket that goes releases the TOE objects it holds.
  socket_set_offload_free(OffloadFreeToeSocket);
  AdapterSlot* free_slot = nullptr;
  bool done = false;
  for (AdapterSlot& s : g_adapters) {
    if (s.Interface == ifp) {
      if (adapter != nullptr) {
        s.Adapter = *adapter;
      } else {
        s = AdapterSlot{};
      }
      done = true;
      break;
    }
    if (s.Interface == nullptr && free_slot == nullptr) free_slot = &s;
  }
  if (!done && adapter != nullptr && free_slot != nullptr) {
    free_slot->Interface = ifp;
    free_slot->Adapter = *adapter;
    done = true;
  }
  ReleaseBdcLock();
  return done || adapter == nullptr;
}

namespace offload {
// Under the socket-call lock: the adapter behind the interface the
// connection's route leaves by, or false.
bool adapter_of(socket* so, ZekToeAdapter* out) {
  inpcb* inp = sotoinpcb(so);
  rtentry* rt = inp != nullptr ? inp->inp_route.ro_rt : nullptr;
  if (rt == nullptr) rt = inp != nullptr ? tcp_route_lookup(inp) : nullptr;
  if (rt == nullptr || rt->rt_ifp == nullptr) return false;
  for (const AdapterSlot& s : g_adapters) {
    if (s.Interface == rt->rt_ifp) {
      *out = s.Adapter;
      return true;
    }
  }
  return false;
}
}  // namespace offload

int GetTOeSocketState(int handle, ZekToeStateBlock** block, void* queue_pair, int) {
  if (block == nullptr) return OFFLOAD_BAD_SOCKET;
  AcquireBdcLock();
  socket* so = nullptr;
  tcp_ctl_block* tp = nullptr;
  file* fp = nullptr;
  int error = connected_tcp(handle, "GetTOeSocketState", &so, &tp, &fp);
  if (error == 0 && fp->f_count != 1) {
    OSPrimMemoryLogging("GetTOeSocketState: ref count is not correct (0x%x) Socket[x%08X] FUNCTION[%s] LINE[%d]  \n",
                        static_cast<unsigned>(fp->f_count), static_cast<unsigned>(handle), "GetTOeSocketState",
                        __LINE__);
    error = OFFLOAD_BAD_SOCKET;
  }
  if (error == 0 && tcp_offloaded(tp)) {
    OSPrimMemoryLogging("GetTOeSocketState:socket already accelerated Socket[x%08X] state(0x%x)FUNCTION[%s] LINE[%d]\n",
                        static_cast<unsigned>(handle), tp->offload_state, "GetTOeSocketState", __LINE__);
    error = OFFLOAD_BAD_SOCKET;
  }
  if (error == 0 && (so->so_snd.sb_cc != 0 || tp->snd_una != tp->snd_max)) {
    // Bytes the peer has not acknowledged: the adapter could not send them again.
    error = BSD_EWOULDBLOCK;
  }
  if (error == 0) {
    offload::take_from_stack(tp);
    so->so_offload_qp = queue_pair;
    so->so_taken_over = SOCKET_TAKEN_OVER;
    auto* b = reinterpret_cast<ZekToeStateBlock*>(&so->so_offload);
    offload::fill_state(so, tp, b);
    *block = b;
  }
  ReleaseBdcLock();
  return error;
}

int ReleaseTOeSocketState(int handle) {
  AcquireBdcLock();
  socket* so = socket_of(handle);
  tcp_ctl_block* tp = so != nullptr ? sototcpcb(so) : nullptr;
  int error = OFFLOAD_BAD_SOCKET;
  if (tp != nullptr && tcp_offloaded(tp) && so->so_taken_over == SOCKET_TAKEN_OVER) {
    offload::give_back_to_stack(tp);
    so->so_taken_over = 0;
    so->so_offload_qp = nullptr;
    error = 0;
  }
  ReleaseBdcLock();
  return error;
}

void* OffloadLoopbackPeer(int handle) {
  AcquireBdcLock();
  socket* so = socket_of(handle);
  inpcb* inp = so != nullptr ? sotoinpcb(so) : nullptr;
  void* peer = nullptr;
  inpcb* other = inp != nullptr ? inpcb_lookup(&tcbinfo, inp_laddr(inp).s_addr, inp->inp_lport, inp_faddr(inp).s_addr,
                                               inp->inp_fport, false, nullptr)
                                : nullptr;
  if (other == nullptr) {
    OSPrimMemoryLogging("QuadToQP:inp is NULL \n");
  } else if (other->inp_socket == nullptr) {
    OSPrimMemoryLogging("QuadToQP:Invalid Socket Handle\n");
  } else if (other->inp_socket->so_signature != SOCKET_SIGNATURE) {
    OSPrimMemoryLogging("QuadToQP:socket signature is BAD %x \n", other->inp_socket->so_signature);
  } else if (other->inp_socket->so_taken_over == SOCKET_TAKEN_OVER) {
    peer = other->inp_socket->so_offload_qp;
  }
  ReleaseBdcLock();
  return peer;
}

int OffloadUnreadBytes(int handle) {
  AcquireBdcLock();
  socket* so = socket_of(handle);
  const int bytes = so != nullptr ? static_cast<int>(so->so_rcv.sb_cc) : -1;
  ReleaseBdcLock();
  return bytes;
}

int IsSocketOffloaded(int handle) {
  AcquireBdcLock();
  socket* so = socket_of(handle);
  tcp_ctl_block* tp = so != nullptr ? sototcpcb(so) : nullptr;
  const int yes =
      tp != nullptr && so->so_type == SOCK_STREAM && (so->so_state & SS_ISCONNECTED) != 0 && tcp_offloaded(tp);
  ReleaseBdcLock();
  return yes ? 1 : 0;
}

int ZekSetToeState(int handle, const void* argument) {
  if (argument == nullptr) return BSD_EINVAL;
  std::uint8_t want;
  std::memcpy(&want, argument, 1);
  AcquireBdcLock();
  socket* so = socket_of(handle);
  if (so == nullptr || so->so_pcb == nullptr) {
    ReleaseBdcLock();
    OSPrimDebugPrint("ZekSetToeState: FILE[%s] line[%d]\n", __FILE__, __LINE__);
    return OFFLOAD_BAD_SOCKET;
  }
  if (so->so_type != SOCK_STREAM) {
    ReleaseBdcLock();
    OSPrimDebugPrint("ZekSetToeState: FILE[%s] Line[%d]\n", __FILE__, __LINE__);
    return BSD_EOPNOTSUPP;
  }
  tcp_ctl_block* tp = sototcpcb(so);
  if (tp == nullptr) {
    ReleaseBdcLock();
    return 0;
  }
  int result;
  if ((so->so_state & SS_ISCONNECTED) == 0) {
    result = OFFLOAD_NOT_CONNECTED;
  } else if (tcp_offloaded(tp)) {
    result = OFFLOAD_ALREADY;
  } else if (want == OFFLOAD_STATE_OFF) {
    tp->offload_state = OFFLOAD_STATE_OFF;
    result = 0;
  } else if (want == OFFLOAD_STATE_ADAPTER) {
    ReleaseBdcLock();
    return SetSocketState(handle, OFFLOAD_STATE_ADAPTER, 0, nullptr);
  } else {
    result = 1;
  }
  ReleaseBdcLock();
  return result;
}

}  // namespace zektcp
