// The offload-aware socket calls: receive, send, shutdown and ioctl choose
// between the stack's call and the offloaded connection's, and the kernel
// socket-call table that carries them in its slots 8, 11, 14 and 22. The
// TOE-state request (0xC00469C8) is served here: the stack itself has no
// adapter to offload to.
#include <atomic>
#include <cstring>

#include "proxy/tcpip/bsd_errno.h"
#include "proxy/tcpip/kern/kern.h"
#include "proxy/tcpip/offload.h"
#include "proxy/tcpip/offload_internal.h"
#include "proxy/tcpip/socket_calls.h"

namespace zektcp {

namespace {

// The CQs of the TOE connections (the bottom half's test of a CQ event).
constexpr std::size_t kToeCqSlots = 256;
std::atomic<MifhCqObject*> g_toe_cqs[kToeCqSlots];

bool taken_over(int handle) {
  AcquireBdcLock();
  socket* so = offload::socket_of(handle);
  const bool yes = so != nullptr && so->so_taken_over == SOCKET_TAKEN_OVER;
  ReleaseBdcLock();
  return yes;
}

}  // namespace

namespace offload {

bool register_toe_cq(MifhCqObject* cq) {
  for (auto& slot : g_toe_cqs) {
    MifhCqObject* empty = nullptr;
    if (slot.compare_exchange_strong(empty, cq)) return true;
  }
  return false;
}

void unregister_toe_cq(MifhCqObject* cq) {
  for (auto& slot : g_toe_cqs) {
    MifhCqObject* mine = cq;
    if (slot.compare_exchange_strong(mine, nullptr)) return;
  }
}

}  // namespace offload

bool OffloadIsToeCq(const MifhCqObject* cq) {
  if (cq == nullptr) return false;
  for (const auto& slot : g_toe_cqs) {
    if (slot.load(std::memory_order_acquire) == cq) return true;
  }
  return false;
}

int RecvOrOffLoadRecv(int s, void* buffer, int length, int flags) {
  if (IsSocketOffloaded(s) == 0) return sys_recv(s, buffer, length, flags);
  if (length < 0) return -BSD_EINVAL;
  return OffLoadRecv(s, buffer, static_cast<std::uint32_t>(length), flags, 0);
}

int SendOrOffLoadSend(int s, const void* buffer, int length, int flags) {
  if (IsSocketOffloaded(s) == 0) return sys_send(s, buffer, length, flags);
  if (length < 0) return -BSD_EINVAL;
  return OffLoadSend(s, buffer, static_cast<std::uint32_t>(length), flags, 0);
}

int ShutdownOrOffLoadShutdown(int s, int how) {
  // A connection an iWARP queue pair took over shuts down as the stack's.
  if (IsSocketOffloaded(s) == 0 || taken_over(s)) return sys_shutdown(s, how);
  return OffLoadShutdown(s, how, 0, s);
}

int IoctlOrToeState(int s, std::uint32_t request, void* argument) {
  if (request != SET_TOE_STATE_REQUEST) return sys_ioctl(s, request, argument);
  const int result = ZekSetToeState(s, argument);
  return result > 0 ? -result : result;
}

const ZekKernelSocketTable* OffloadKernelSocketTable() {
  static const ZekKernelSocketTable kTable = [] {
    ZekKernelSocketTable t = *kernel_socket_table();
    t.recv = RecvOrOffLoadRecv;
    t.send = SendOrOffLoadSend;
    t.shutdown = ShutdownOrOffLoadShutdown;
    t.ioctl = IoctlOrToeState;
    return t;
  }();
  return &kTable;
}

}  // namespace zektcp
