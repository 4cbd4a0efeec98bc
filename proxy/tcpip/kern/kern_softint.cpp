// The network soft-interrupt thread: protocol input scheduled by setting a
// bit and waking the thread, which runs ARP input before IP input under the
// stack input lock and the socket-call lock.
#include "proxy/tcpip/kern/kern_internal.h"

namespace zektcp {

namespace {

void run_bit(std::uint32_t bit) {
  const LONG mask = static_cast<LONG>(1u << bit);
  if ((InterlockedAnd(&g_kern.netisr, ~mask) & mask) == 0) return;
  if (g_kern.isr[bit] != nullptr) g_kern.isr[bit]();
}

void SoftIntThread(PVOID) {
  for (;;) {
    KeWaitForSingleObject(&g_kern.softint_event, Executive, KernelMode, FALSE, nullptr);
    if (g_kern.softint_exit != 0) {
      OSPrimDebugPrint("SoftIntThread exit\n");
      PsTerminateSystemThread(STATUS_SUCCESS);
    }
    softint_round();
  }
}

}  // namespace

int register_netisr(std::uint32_t bit, netisr_handler handler) {
  if (bit >= 32 || handler == nullptr) return BSD_EINVAL;
  g_kern.isr[bit] = handler;
  return 0;
}

void unregister_netisr(std::uint32_t bit) {
  if (bit < 32) g_kern.isr[bit] = nullptr;
}

void schednetisr(std::uint32_t bit) {
  if (bit >= 32) return;
  InterlockedOr(&g_kern.netisr, static_cast<LONG>(1u << bit));
  KeSetEvent(&g_kern.softint_event, 0, FALSE);
}

void softint_round() {
  AcquireInputLock();
  AcquireBdcLock();
  if (g_kern.softint_in_progress) {
    OSPrimDebugPrint("IntInProgress:\n");
  } else {
    g_kern.softint_in_progress = true;
    run_bit(NETISR_ARP);
    run_bit(NETISR_IP);
    for (std::uint32_t bit = 0; bit < 32; ++bit) {
      if (bit != NETISR_ARP && bit != NETISR_IP) run_bit(bit);
    }
    g_kern.softint_in_progress = false;
  }
  ReleaseBdcLock();
  ReleaseInputLock();
}

int softint_start() {
  KeInitializeEvent(&g_kern.softint_event, SynchronizationEvent, FALSE);
  g_kern.softint_exit = 0;
  g_kern.netisr = 0;
  g_kern.softint_in_progress = false;
  for (auto& handler : g_kern.isr) handler = nullptr;
  const NTSTATUS status =
      PsCreateSystemThread(&g_kern.softint_thread, 0, nullptr, nullptr, nullptr, SoftIntThread, nullptr);
  if (!NT_SUCCESS(status)) {
    ZEK_LOG_FAILURE("SoftIntThread: PsCreateSystemThread failed (0x%x)\n", static_cast<unsigned>(status));
    g_kern.softint_thread = nullptr;
    return BSD_ENOMEM;
  }
  return 0;
}

void softint_stop() {
  if (g_kern.softint_thread == nullptr) return;
  g_kern.softint_exit = 1;
  KeSetEvent(&g_kern.softint_event, 0, FALSE);
  OsPrimJoinThread(g_kern.softint_thread);
  ZwClose(g_kern.softint_thread);
  g_kern.softint_thread = nullptr;
}

}  // namespace zektcp
