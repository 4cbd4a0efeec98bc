// poll and select over the socket calls' descriptors, and the kernel
// socket-call table.
//
// Both calls hold every socket they watch for their whole length and record
// one sleep object of their own on the buffers of the sockets that are not
// ready yet; a wake-up on any of them rescans them all. A time-out shorter
// than ZEK_MIN_WAIT_MS is raised to it; the wait ends when the time-out has
// passed on the host clock (no earlier, and not at the next stack tick),
// and a time-out of 0 never sleeps.
#include <algorithm>
#include <cstring>

#include "proxy/tcpip/socket/socket.h"
#include "proxy/tcpip/socket_calls.h"

namespace zektcp {

namespace {

std::uintptr_t current_pid() { return reinterpret_cast<std::uintptr_t>(PsGetCurrentProcessId()); }

struct Watch {
  int fd;
  int events;
  int revents;
  file* fp;  // held, or null for a bad descriptor
};

constexpr int kReadEvents = POLLIN | POLLRDNORM;
constexpr int kWriteEvents = POLLOUT;
constexpr int kExceptEvents = POLLPRI | POLLRDBAND;

// A sleep of more than a day is taken a day at a time.
constexpr std::int64_t kLongestSleepUs = 86'400LL * 1'000'000;

std::int64_t now_us() {
  timeval tv{};
  perf_counter_timeval(&tv);
  return tv.tv_sec * 1'000'000 + tv.tv_usec;
}

// Holds the descriptors' sockets (the caller holds the socket-call lock).
void hold_all(Watch* watches, int count) {
  filedesc* fdp = stack_process()->p_fd;
  for (int i = 0; i < count; ++i) {
    Watch& w = watches[i];
    w.fp = nullptr;
    if (w.fd < 0 || fdp == nullptr || w.fd >= fdp->fd_nfiles) continue;
    file* fp = fdp->fd_ofiles[w.fd];
    if (fp == nullptr || fp->f_type != DTYPE_SOCKET || fp->f_data == nullptr || fp->f_owner_pid != current_pid()) {
      continue;
    }
    ++fp->f_count;
    w.fp = fp;
  }
}

void release_all(Watch* watches, int count, OSPrimSleepObject* poller) {
  for (int i = 0; i < count; ++i) {
    if (watches[i].fp == nullptr) continue;
    if (auto* so = static_cast<socket*>(watches[i].fp->f_data)) poll_socket_forget(so, poller);
    fdrop(watches[i].fp, stack_process());
    watches[i].fp = nullptr;
  }
}

int scan(Watch* watches, int count, OSPrimSleepObject* poller) {
  int ready = 0;
  for (int i = 0; i < count; ++i) {
    Watch& w = watches[i];
    w.revents = 0;
    if (w.fd < 0) continue;  // an entry to be ignored
    auto* so = w.fp != nullptr ? static_cast<socket*>(w.fp->f_data) : nullptr;
    w.revents = so != nullptr ? poll_socket(so, w.events, so->so_cred, poller) : POLLNVAL;
    if (w.revents != 0) ++ready;
  }
  return ready;
}

// Waits until a watched descriptor is ready or the time-out (ms, -1 for
// none) passes: the number of ready entries, or a negated error.
int wait_for(Watch* watches, int count, std::int64_t timeout_ms) {
  if (AcquireBdcLock() != 0) {
    OSPrimDebugPrint("Function[%s] Line[%d]\n", __func__, __LINE__);
    return -1;
  }
  if (timeout_ms > 0 && timeout_ms < ZEK_MIN_WAIT_MS) timeout_ms = ZEK_MIN_WAIT_MS;
  const std::int64_t deadline = timeout_ms >= 0 ? now_us() + timeout_ms * 1000 : 0;
  hold_all(watches, count);
  OSPrimSleepObject poller;
  OSPrimInitSleepObject(&poller);
  int ready = 0;
  for (;;) {
    ready = scan(watches, count, &poller);
    if (ready > 0 || timeout_ms == 0) break;
    // The sleep lasts what is left of the caller's time-out, to the
    // microsecond (not whole stack ticks, which would run past it).
    int slept = 0;
    if (timeout_ms > 0) {
      const std::int64_t left_us = deadline - now_us();
      if (left_us <= 0) break;
      slept = OSPrimSleepFor(std::min<std::int64_t>(left_us, kLongestSleepUs), &poller);
    } else {
      slept = OSPrimTSleep(0, &poller);
    }
    // Woken, or a time-out (the deadline is looked at again): scan again.
    // Anything else is an interrupted wait (the caller's process ending).
    if (slept != 0 && slept != 2) {
      ready = -BSD_EINTR;
      break;
    }
  }
  release_all(watches, count, &poller);
  OSPrimKillSleepObject(&poller);
  ReleaseBdcLock();
  return ready;
}

bool bit(const std::uint8_t* set, int n) { return set != nullptr && (set[n / 8] & (1u << (n % 8))) != 0; }
void set_bit(std::uint8_t* set, int n) { set[n / 8] = static_cast<std::uint8_t>(set[n / 8] | (1u << (n % 8))); }

}  // namespace

int sys_poll(ZekPollFd* entries, int count, int timeout_ms) {
  if (count < 0 || count > ZEK_POLL_MAX) return -BSD_EINVAL;
  if (count > 0 && entries == nullptr) return -BSD_EFAULT;
  auto* watches = static_cast<Watch*>(OSPrimMemAllocPtr(sizeof(Watch) * static_cast<std::size_t>(std::max(count, 1))));
  if (watches == nullptr) return -BSD_ENOBUFS;
  for (int i = 0; i < count; ++i) watches[i] = Watch{entries[i].Fd, entries[i].Events, 0, nullptr};
  const int ready = wait_for(watches, count, timeout_ms < 0 ? -1 : timeout_ms);
  if (ready >= 0) {
    for (int i = 0; i < count; ++i) entries[i].Revents = static_cast<std::int16_t>(watches[i].revents);
  }
  OSPrimMemFreePtr(watches);
  return ready;
}

int sys_select(int count, std::uint8_t* read_set, std::uint8_t* write_set, std::uint8_t* except_set,
               const ZekTimeval* timeout) {
  if (count < 0 || count > ZEK_SELECT_MAX) return -BSD_EINVAL;
  std::int64_t timeout_ms = -1;
  if (timeout != nullptr) {
    if (timeout->Seconds < 0 || timeout->Seconds > 100'000'000 || timeout->Microseconds < 0 ||
        timeout->Microseconds > 999'999) {
      return -BSD_EINVAL;
    }
    timeout_ms = static_cast<std::int64_t>(timeout->Seconds) * 1000 + (timeout->Microseconds + 999) / 1000;
  }
  int watched = 0;
  for (int n = 0; n < count; ++n) {
    if (bit(read_set, n) || bit(write_set, n) || bit(except_set, n)) ++watched;
  }
  auto* watches =
      static_cast<Watch*>(OSPrimMemAllocPtr(sizeof(Watch) * static_cast<std::size_t>(std::max(watched, 1))));
  if (watches == nullptr) return -BSD_ENOBUFS;
  int w = 0;
  for (int n = 0; n < count; ++n) {
    int events = 0;
    if (bit(read_set, n)) events |= kReadEvents;
    if (bit(write_set, n)) events |= kWriteEvents;
    if (bit(except_set, n)) events |= kExceptEvents;
    if (events != 0) watches[w++] = Watch{n, events, 0, nullptr};
  }
  int ready = wait_for(watches, watched, timeout_ms);
  if (ready >= 0) {
    const std::size_t bytes = ZekSelectSetBytes(count);
    for (std::uint8_t* set : {read_set, write_set, except_set}) {
      if (set != nullptr) std::memset(set, 0, bytes);
    }
    ready = 0;
    for (int i = 0; i < watched; ++i) {
      const Watch& x = watches[i];
      if (x.revents & POLLNVAL) {
        ready = -BSD_EBADF;
        break;
      }
      if (read_set != nullptr && (x.revents & kReadEvents)) set_bit(read_set, x.fd), ++ready;
      if (write_set != nullptr && (x.revents & kWriteEvents)) set_bit(write_set, x.fd), ++ready;
      if (except_set != nullptr && (x.revents & kExceptEvents)) set_bit(except_set, x.fd), ++ready;
    }
  }
  OSPrimMemFreePtr(watches);
  return ready;
}

const ZekKernelSocketTable* kernel_socket_table() {
  static constexpr ZekKernelSocketTable kTable = {
      sys_socketpair,  sys_socket,     sys_bind,         sys_connect,   sys_listen,        sys_accept, sys_getsockname,
      sys_getpeername, sys_recv,       sys_recvfrom,     sys_recvmsg,   sys_send,          sys_sendto, sys_sendmsg,
      sys_shutdown,    sys_getsockopt, sys_setsocketopt, sys_inet_addr, sys_poll,          sys_close,  sys_read,
      sys_write,       sys_ioctl,      sys_fcntl_com,    sys_select,    sys_inet_ntoa_buf, sys_dup,    sys_dup2,
  };
  return &kTable;
}

}  // namespace zektcp
