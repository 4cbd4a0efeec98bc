// The network soft-interrupt thread: protocol input scheduled by setting a
// bit and waking the thread, which runs ARP input before IP input under the
// stack input lock and the socket-call lock.
//
// The thread is woken only when it sleeps: it announces its sleep, looks at
// the pending word once more and only then waits, while a scheduler sets
// its bit before it looks at the announcement. Either the thread sees the
// bit or the scheduler sees the sleep, so no input is left waiting; a
// thread that is at work is not signalled again for every packet.
//
// Input scheduled by a thread that holds the socket-call lock (the loopback
// interface's output inside a socket call, a protocol answering) or the
// stack input lock (the receive path, a DHCP step) waits for that lock's
// release; the thread could not start its round before it anyway. The
// releasing thread then runs the round itself where it may: the holder of
// the socket-call lock when the input lock is free at that moment (it may
// only try it, as the input lock comes first), the holder of the input lock
// (the receive path's DPC at the end of its NIC pass, a DHCP step); in
// every other case (the clock DPC) it wakes the thread. The round is the
// same either way (the input lock, then the socket-call lock, ARP before
// IP, at DISPATCH_LEVEL as the thread runs it); only the thread differs, so
// neither a local exchange nor a frame from the adapter pays a thread
// switch for every segment.
#include "proxy/tcpip/kern/kern_internal.h"

namespace zektcp {

namespace {

bool pending() { return InterlockedOr(&g_kern.netisr, 0) != 0; }

void wake_if_sleeping() {
  if (InterlockedCompareExchange(&g_kern.softint_sleeping, 0, 1) == 1) KeSetEvent(&g_kern.softint_event, 0, FALSE);
}

void run_bit(std::uint32_t bit) {
  const LONG mask = static_cast<LONG>(1u << bit);
  if ((InterlockedAnd(&g_kern.netisr, ~mask) & mask) == 0) return;
  if (g_kern.isr[bit] != nullptr) g_kern.isr[bit]();
}

bool nothing_pending() { return !pending() && g_kern.softint_exit == 0; }

void run_pending_bits() {
  g_kern.softint_in_progress = true;
  run_bit(NETISR_ARP);
  run_bit(NETISR_IP);
  for (std::uint32_t bit = 0; bit < 32; ++bit) {
    if (bit != NETISR_ARP && bit != NETISR_IP) run_bit(bit);
  }
  g_kern.softint_in_progress = false;
}

void SoftIntThread(PVOID) {
  g_kern.softint_thread_id = KeGetCurrentThread();
  for (;;) {
    if (nothing_pending()) {
      InterlockedExchange(&g_kern.softint_sleeping, 1);
      if (nothing_pending()) {
        KeWaitForSingleObject(&g_kern.softint_event, Executive, KernelMode, FALSE, nullptr);
      }
      InterlockedExchange(&g_kern.softint_sleeping, 0);
    }
    if (g_kern.softint_exit != 0) {
      OSPrimDebugPrint("SoftIntThread exit\n");
      PsTerminateSystemThread(STATUS_SUCCESS);
    }
    // Input another thread took meanwhile leaves nothing to do.
    if (pending()) softint_round();
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
  // A holder of either lock runs or hands on the round when it releases it.
  if (!BdcLockHeldByCaller() && g_kern.input_owner != KeGetCurrentThread()) wake_if_sleeping();
}

void softint_kick() {
  if (pending()) wake_if_sleeping();
}

namespace {

// Runs rounds while input is pending, a bounded number of times (each
// round's own output over the loopback is the next round's input); the
// caller holds the input lock and the socket-call lock.
void run_rounds_here() {
  for (std::uint32_t round = 0; round < SOFTINT_DIRECT_ROUNDS && pending(); ++round) run_pending_bits();
}

}  // namespace

void softint_before_release() {
  if (!pending()) return;
  // A caller holding the input lock too runs the round when it releases
  // that lock.
  if (g_kern.input_owner == KeGetCurrentThread()) return;
  // A holder that goes back to DISPATCH_LEVEL (a DPC) leaves protocol
  // input to the thread, as the receive path does.
  if (g_kern.softint_in_progress || KeGetCurrentIrql() < DISPATCH_LEVEL ||
      g_kern.bdc.Object.SavedIrql >= DISPATCH_LEVEL || !KeTryToAcquireSpinLockAtDpcLevel(&g_kern.input_lock.SpinLock)) {
    wake_if_sleeping();
    return;
  }
  g_kern.input_owner = KeGetCurrentThread();
  run_rounds_here();
  g_kern.input_owner = nullptr;
  KeReleaseSpinLockFromDpcLevel(&g_kern.input_lock.SpinLock);
  softint_kick();
}

void softint_before_input_release(KIRQL level_after) {
  if (!pending()) return;
  // The thread's own round: its loop takes what was added.
  if (KeGetCurrentThread() == g_kern.softint_thread_id) return;
  // Not a caller that holds the socket-call lock already.
  if (g_kern.softint_in_progress || BdcLockHeldByCaller()) {
    wake_if_sleeping();
    return;
  }
  if (AcquireBdcLock() != 0) {
    wake_if_sleeping();
    return;
  }
  run_rounds_here();
  ReleaseBdcLock();
  softint_kick();
}

void softint_round() {
  AcquireInputLock();
  AcquireBdcLock();
  if (g_kern.softint_in_progress) {
    OSPrimDebugPrint("IntInProgress:\n");
  } else {
    run_pending_bits();
  }
  ReleaseBdcLock();
  ReleaseInputLock();
}

int softint_start() {
  KeInitializeEvent(&g_kern.softint_event, SynchronizationEvent, FALSE);
  g_kern.softint_exit = 0;
  g_kern.softint_sleeping = 0;
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
  g_kern.softint_thread_id = nullptr;
}

}  // namespace zektcp
