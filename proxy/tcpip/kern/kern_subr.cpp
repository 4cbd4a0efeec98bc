// Library routines of the stack's kernel emulation, and its start and stop.
#include <cstdio>
#include <cstring>

#include "proxy/tcpip/kern/kern_internal.h"

namespace zektcp {

KernState g_kern;

namespace {

constexpr ULONG kStackPanicBugCheck = 0x5A4B5450;  // the stack stopped on an internal inconsistency
thread_local std::uint32_t t_thread_flags;
char g_panic_text[512];
char g_ntoa_text[16];

}  // namespace

void panic(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(g_panic_text, sizeof(g_panic_text), format, args);
  va_end(args);
  DbgPrint("panic: %s\n", g_panic_text);
  KeBugCheckEx(kStackPanicBugCheck, reinterpret_cast<ULONG_PTR>(g_panic_text), 0, 0, 0);
}

void* alloc_hash_table(int elements, std::uint32_t* mask) {
  if (elements <= 0) return nullptr;
  std::uint32_t size = 1;
  while (size * 2 <= static_cast<std::uint32_t>(elements)) size *= 2;
  void* table = OSPrimMemAllocPtr(size * sizeof(list_head_entry));
  if (table == nullptr) return nullptr;
  *mask = size - 1;
  return table;
}

void free_hash_table(void* table) {
  if (table != nullptr) OSPrimMemFreePtr(table);
}

int uiomove(void* buffer, int count, uio* u) {
  if (u->uio_rw != UIO_READ && u->uio_rw != UIO_WRITE) panic("uiomove: mode");
  if (u->uio_segflg == UIO_USERSPACE) {
    if (u->uio_td != nullptr && u->uio_td != KeGetCurrentThread()) panic("uiomove proc");
    return BSD_EFAULT;
  }
  const std::uint32_t saved = t_thread_flags;
  t_thread_flags |= TDP_NODEADLOCK;
  auto* cp = static_cast<std::uint8_t*>(buffer);
  int error = 0;
  while (count > 0 && u->uio_resid > 0) {
    if (u->uio_iovcnt <= 0) {
      error = BSD_EINVAL;
      break;
    }
    iovec* iov = u->uio_iov;
    std::size_t cnt = iov->iov_len;
    if (cnt == 0) {
      ++u->uio_iov;
      --u->uio_iovcnt;
      continue;
    }
    if (cnt > static_cast<std::size_t>(count)) cnt = static_cast<std::size_t>(count);
    if (u->uio_segflg == UIO_SYSSPACE) {
      if (u->uio_rw == UIO_READ) {
        std::memcpy(iov->iov_base, cp, cnt);
      } else {
        std::memcpy(cp, iov->iov_base, cnt);
      }
    }
    iov->iov_base = static_cast<std::uint8_t*>(iov->iov_base) + cnt;
    iov->iov_len -= cnt;
    u->uio_resid -= static_cast<std::int64_t>(cnt);
    u->uio_offset += static_cast<std::int64_t>(cnt);
    cp += cnt;
    count -= static_cast<int>(cnt);
  }
  t_thread_flags = saved;
  return error;
}

int charge_user_sbsize(uidinfo* ui, std::uint32_t* hiwat, std::uint32_t to, std::uint32_t) {
  ui->ui_sbsize += static_cast<std::int64_t>(to) - static_cast<std::int64_t>(*hiwat);
  *hiwat = to;
  if (ui->ui_sbsize < 0) OSPrimDebugPrint("negative sbsize for uid = %d\n", ui->ui_uid);
  return 1;
}

int check_credential_address(const ucred* cred, int, std::uint32_t* address) {
  if (cred == nullptr || cred->cr_restricted_addr == 0) return 0;
  const std::uint32_t loopback = 0x0100007F;  // 127.0.0.1 in network order
  if (*address == 0 || *address == loopback) {
    *address = cred->cr_restricted_addr;
    return 0;
  }
  return *address == cred->cr_restricted_addr ? 0 : 1;
}

const char* inet_ntoa(std::uint32_t address) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(&address);
  std::snprintf(g_ntoa_text, sizeof(g_ntoa_text), "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
  return g_ntoa_text;
}

int bcmp_bytes(const void* a, const void* b, std::size_t length) {
  if (a == nullptr || b == nullptr || length == 0) return 0;
  return std::memcmp(a, b, length) == 0 ? 0 : 1;
}

int kern_start(std::uint32_t tick_ms) {
  std::memset(static_cast<void*>(&g_kern), 0, sizeof(g_kern));
  g_kern.tick_ms = tick_ms;
  OSPrimSyncInitSpinlockObject(&g_kern.bdc.Object);
  OSPrimSyncInitSpinlockObject(&g_kern.net.Object);
  OSPrimSyncInitSpinlockObject(&g_kern.list_lock);
  OSPrimSyncInitSpinlockObject(&g_kern.callout_lock);
  OSPrimSyncInitSpinlockObject(&g_kern.input_lock);
  int error = callout_start();
  if (error == 0) error = descrip_start();
  if (error == 0) error = softint_start();
  if (error != 0) kern_stop();
  return error;
}

void kern_stop() {
  softint_stop();
  callout_stop();
  descrip_stop();
  OSPrimSyncDestroySpinlockObject(&g_kern.bdc.Object);
  OSPrimSyncDestroySpinlockObject(&g_kern.net.Object);
  OSPrimSyncDestroySpinlockObject(&g_kern.list_lock);
  OSPrimSyncDestroySpinlockObject(&g_kern.callout_lock);
  OSPrimSyncDestroySpinlockObject(&g_kern.input_lock);
}

}  // namespace zektcp
