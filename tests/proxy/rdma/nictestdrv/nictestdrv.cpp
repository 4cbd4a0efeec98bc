// A test driver that plays a miniport's part for one adapter function: it
// finds the function on the host's PCI bus, maps its windows, brings up the
// CQP, CCQ, control CEQ, AEQ and the proxy CEQ with the hardware-interface
// module, creates the driver NIC queue pair on MAC slot F + 4, fills its
// receive queue and takes the control and NIC completions when the adapter
// interrupts for them (a 1 ms timer DPC backs the interrupt up). Each
// received frame's buffer is posted again as its completion is taken, so the
// receive queue holds all it can between two runs of the processing.
#include <unistd.h>

#include <cstring>
#include <deque>
#include <utility>
#include <vector>

#include "include/hw/events.h"
#include "include/hw/pci.h"
#include "include/hw/registers.h"
#include "platform/kernel/driver.h"
#include "platform/kernel/hal.h"
#include "platform/kernel/io/iomgr.h"
#include "platform/kernel/kernel.h"
#include "proxy/rdma/hw/hwif.h"
#include "tests/proxy/rdma/nictestdrv/nictestdrv.h"
#include "tests/support/adapter_bringup.h"
#include "tests/support/test_device.h"

namespace {

// One buffer per receive slot; the ring takes one fewer than its size.
constexpr std::uint32_t kRxBuffers = 512;
constexpr std::uint32_t kRxPosted = kRxBuffers - 1;
constexpr std::uint32_t kBufferBytes = 2048;
constexpr std::uint32_t kTxBuffers = 512;
constexpr std::size_t kQueueLimit = 4096;
constexpr std::uint32_t kCcqEntries = 128;
constexpr std::uint32_t kEqEntries = 256;

struct Driver {
  PDEVICE_OBJECT device = nullptr;
  NIC_HW_INFO* hw = nullptr;
  PVOID windows[3] = {};
  ULONG window_bytes[3] = {};
  bringup::ControlPath control;  // the CQP, the CCQ and the event queues' memory
  MifhQpObject* qp = nullptr;
  MifhCqObject* cq = nullptr;
  std::uint8_t* rx = nullptr;  // kRxBuffers x kBufferBytes, contiguous
  std::uint8_t* tx = nullptr;  // kTxBuffers x kBufferBytes, contiguous
  std::uint32_t tx_words[kTxBuffers] = {};
  KTIMER timer;
  KDPC dpc;
  KDPC interrupt_dpc;
  PKINTERRUPT interrupt = nullptr;
  KSPIN_LOCK lock;  // completion processing and the frame queue
  std::deque<std::vector<std::uint8_t>> frames;
  nictest::Counters counters{};
  bool polling = false;
  bool events_up = false;  // the completion event queues exist (under the lock)
  bool hold = false;       // NIC completions are left where they are (kHold)
};

Driver* g;

using bringup::pa_of;

void log_line(const char* text) { DbgPrint("zeknictest: %s\n", text); }

// The completion event queues that interrupt: the control CEQ (id F, the
// CCQ's) and the proxy CEQ (id F + 8, the NIC CQ's).
std::uint32_t event_bits() {
  const unsigned f = g->hw->Device.PciFunction;
  return zekhw::intr_ceq_bit(f) | zekhw::intr_ceq_bit(f + 8);
}

// Control completions and NIC completions, under the driver's lock.
void process_locked() {
  // The completion events name CQs that are taken below in any case.
  while (g->events_up && mifh_nic_process_next_ceq(&g->hw->Device, &g->hw->Ceq0) != nullptr) {
  }
  while (g->events_up && mifh_nic_process_next_ceq(&g->hw->Device, &g->hw->Ceq1) != nullptr) {
  }
  if (g->control.ccq != nullptr) {
    mifh_process_ccq(g->control.ccq);
    mifh_free_CQPPendQ_buffer(g->control.cqp);
  }
  if (g->cq == nullptr || g->hold) return;
  std::uint32_t taken = 0;
  zekhw::MifhNicCqe e;
  while (mifh_nic_cqe_read(g->cq, &e) == MIFH_STATUS_SUCCESS) {
    ++taken;
    if ((e.status & zekhw::kNicCqeSend) != 0) {
      ++g->counters.tx_completed;
      ZekNicSendComplete(g->cq, e.status);
      continue;
    }
    const std::uint32_t index = e.index & zekhw::kNicCqeIndexMask;
    const std::uint32_t length = e.status & zekhw::kNicCqeLengthMask;
    OSPRIM_RING_MOVE_TAIL(&g->qp->RqRing);
    if ((e.status & zekhw::kNicCqeErrorMask) != 0) {
      ++g->counters.rx_errors;
      continue;  // the receive queue has stopped
    }
    const std::uint8_t* buffer = g->rx + index * kBufferBytes;
    ++g->counters.rx_frames;
    g->counters.rx_bytes += length;
    if (g->frames.size() < kQueueLimit) {
      g->frames.emplace_back(buffer, buffer + length);
    } else {
      ++g->counters.rx_dropped;
    }
    // A buffer goes back at once, at the head: the slot's own buffer, which
    // no posted request holds.
    const std::uint32_t head = g->qp->RqRing.Head;
    auto* wqe = &static_cast<zekhw::MifhNicRqWqe*>(g->qp->Rq)[head];
    std::memset(wqe, 0, sizeof *wqe);
    wqe->buffer_length = kBufferBytes;
    wqe->buffer_pa = pa_of(g->rx + head * kBufferBytes);
    std::uint32_t posted = 0;
    mifh_nic_qp_post_rq_to_doorbell(g->qp, 1, &posted);
  }
  if (taken > 0) mifh_cq_release_cqes(&g->hw->Device, g->cq, taken, false);
  // The next NIC completion interrupts again.
  mifh_cq_arm(g->cq, false, true);
}

// The adapter interrupts for a completion event: acknowledged here, taken in
// the DPC.
BOOLEAN isr(PKINTERRUPT, PVOID) {
  const std::uint32_t cause = mifh_read_reg(&g->hw->Device, zekhw::kRegIntrCause) & event_bits();
  if (cause == 0) return FALSE;
  mifh_write_reg(&g->hw->Device, zekhw::kRegIntrCause, cause);
  KeInsertQueueDpc(&g->interrupt_dpc, nullptr, nullptr);
  return TRUE;
}

// Interrupts for the two completion event queues only, or none.
void set_interrupt_mask(bool on) {
  const std::uint32_t masked =
      on ? zekhw::kIntrMasterEnable | (zekhw::kIntrCauseBits & ~event_bits()) : zekhw::kIntrCauseBits;
  mifh_write_reg(&g->hw->Device, zekhw::kRegIntrMask, masked);
}

void poll_dpc(KDPC*, PVOID, PVOID, PVOID) {
  KeAcquireSpinLockAtDpcLevel(&g->lock);
  process_locked();
  KeReleaseSpinLockFromDpcLevel(&g->lock);
}

void control_drain(void*) {
  KIRQL irql;
  KeAcquireSpinLock(&g->lock, &irql);
  process_locked();
  KeReleaseSpinLock(&g->lock, irql);
}

using zektest::complete_irp;
using zektest::pass_irp;

NTSTATUS device_control(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  auto* buffer = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case nictest::kSend: {
      if (g->cq == nullptr) return complete_irp(irp, STATUS_DEVICE_NOT_READY, 0);
      if (in < zekhw::kNicMinFrame || in > 1514) return complete_irp(irp, STATUS_INVALID_PARAMETER, 0);
      // A free transmit buffer: its word is 0 until its frame is queued, and
      // the send completion clears it again.
      for (std::uint32_t i = 0; i < kTxBuffers; ++i) {
        std::atomic_ref<std::uint32_t> word(g->tx_words[i]);
        std::uint32_t expected = 0;
        if (!word.compare_exchange_strong(expected, 1)) continue;
        std::uint8_t* frame = g->tx + i * kBufferBytes;
        std::memcpy(frame, buffer, in);
        ZekNicTxBegin();
        if (DoWriteProc(g->hw, nullptr, frame, in, &g->tx_words[i])) {
          InterlockedIncrement64(reinterpret_cast<LONG64*>(&g->counters.tx_queued));
          return complete_irp(irp, STATUS_SUCCESS, 0);
        }
        InterlockedIncrement64(reinterpret_cast<LONG64*>(&g->counters.tx_refused));
        return complete_irp(irp, STATUS_UNSUCCESSFUL, 0);
      }
      return complete_irp(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    case nictest::kReceive: {
      KIRQL irql;
      KeAcquireSpinLock(&g->lock, &irql);
      if (g->frames.empty()) {
        KeReleaseSpinLock(&g->lock, irql);
        return complete_irp(irp, STATUS_SUCCESS, 0);
      }
      std::vector<std::uint8_t> frame = std::move(g->frames.front());
      if (out < frame.size()) {
        g->frames.front() = std::move(frame);
        KeReleaseSpinLock(&g->lock, irql);
        return complete_irp(irp, STATUS_BUFFER_TOO_SMALL, 0);
      }
      g->frames.pop_front();
      KeReleaseSpinLock(&g->lock, irql);
      std::memcpy(buffer, frame.data(), frame.size());
      return complete_irp(irp, STATUS_SUCCESS, frame.size());
    }
    case nictest::kHold: {
      if (in < sizeof(std::uint32_t)) return complete_irp(irp, STATUS_INVALID_PARAMETER, 0);
      std::uint32_t on = 0;
      std::memcpy(&on, buffer, sizeof on);
      KIRQL irql;
      KeAcquireSpinLock(&g->lock, &irql);
      g->hold = on != 0;
      if (!g->hold) process_locked();
      KeReleaseSpinLock(&g->lock, irql);
      return complete_irp(irp, STATUS_SUCCESS, 0);
    }
    case nictest::kCounters: {
      if (out < sizeof(nictest::Counters)) return complete_irp(irp, STATUS_BUFFER_TOO_SMALL, 0);
      KIRQL irql;
      KeAcquireSpinLock(&g->lock, &irql);
      nictest::Counters c = g->counters;
      if (g->cq != nullptr) {
        // Valid entries from the reading index on, without taking them.
        const auto* ring = static_cast<const zekhw::MifhNicCqe*>(g->cq->Ring);
        const std::uint32_t size = g->cq->RingIndex.Size;
        for (std::uint32_t i = 0; i < size; ++i) {
          const auto& e = ring[(g->cq->RingIndex.Tail + i) % size];
          if ((std::atomic_ref<const std::uint32_t>(e.status).load() & zekhw::kNicCqeValid) == 0) break;
          ++c.cq_waiting;
        }
      }
      KeReleaseSpinLock(&g->lock, irql);
      c.tx_outstanding = ZekNicTxOutstanding();
      std::memcpy(buffer, &c, sizeof c);
      return complete_irp(irp, STATUS_SUCCESS, sizeof c);
    }
    default:
      return complete_irp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

void* dma_block(std::uint32_t bytes) {
  void* block = nullptr;
  return OSPrimMemDMAAllocate(&block, bytes) == ZEK_STATUS_PASS ? block : nullptr;
}

bool bring_up(const plat::PciFunction& function) {
  MifhDeviceObj& d = g->hw->Device;
  const unsigned f = function.function;
  // Memory space and bus master on.
  function.config->config_write(zekhw::kPciCfgCommandStatus, zekhw::kPciCommandMemory | zekhw::kPciCommandBusMaster);
  for (unsigned w = 0; w < 3 && w < function.memory.size(); ++w) {
    PHYSICAL_ADDRESS pa;
    pa.QuadPart = static_cast<LONGLONG>(function.memory[w].start);
    g->window_bytes[w] = static_cast<ULONG>(function.memory[w].length);
    g->windows[w] = MmMapIoSpace(pa, g->window_bytes[w], MmNonCached);
    if (g->windows[w] == nullptr) return false;
  }
  g->hw->Signature = NIC_HW_INFO_SIGNATURE;
  g->hw->Version = NIC_HW_INFO_VERSION;
  bringup::init_device(d, f, static_cast<volatile std::uint8_t*>(g->windows[0]),
                       static_cast<volatile std::uint8_t*>(g->windows[1]),
                       static_cast<volatile std::uint8_t*>(g->windows[2]));
  // A locally administered address unique to this host process.
  const auto pid = static_cast<std::uint32_t>(getpid());
  const std::uint8_t mac[6] = {0x02,
                               0x5A,
                               static_cast<std::uint8_t>(pid >> 16),
                               static_cast<std::uint8_t>(pid >> 8),
                               static_cast<std::uint8_t>(pid),
                               static_cast<std::uint8_t>(f)};
  std::memcpy(d.MacAddress, mac, 6);
  std::memcpy(g->counters.mac, mac, 6);
  g->counters.slot = static_cast<std::uint16_t>(zekhw::proxy_mac_slot(f));
  g->hw->ControlDrain = control_drain;

  if (const bringup::Failure failed = bringup::create_control_queues(d, g->control, g->hw, 128, kCcqEntries)) {
    log_line(failed.step);
    return false;
  }
  // From here on the timer DPC retires completions.
  LARGE_INTEGER due;
  due.QuadPart = -10'000;
  KeSetTimerEx(&g->timer, due, 1, &g->dpc);
  g->polling = true;
  if (const bringup::Failure failed = bringup::create_event_queues(
          d, g->control, {&g->hw->Ceq0, &g->hw->Aeq, &g->hw->Ceq1}, kEqEntries, kEqEntries)) {
    log_line(failed.step);
    return false;
  }
  // And the adapter's interrupts for completion events, ahead of the timer.
  KIRQL irql;
  KeAcquireSpinLock(&g->lock, &irql);
  g->events_up = true;
  KeReleaseSpinLock(&g->lock, irql);
  if (IoConnectInterrupt(&g->interrupt, isr, nullptr, nullptr, function.interrupt_vector, function.interrupt_irql,
                         function.interrupt_irql, LevelSensitive, FALSE, 1, FALSE) == STATUS_SUCCESS) {
    set_interrupt_mask(true);
  } else {
    g->interrupt = nullptr;
    log_line("no interrupt: completions are taken by the timer alone");
  }

  if (Zek_Init_k_zeknic(nullptr, g->hw, &g->qp, &g->cq) != 0) {
    log_line("the NIC queue pair was not created");
    return false;
  }
  if (mifh_hw_init_zek_nic(&d, mac, zekhw::proxy_mac_slot(f)) != 0) return false;
  g->rx = static_cast<std::uint8_t*>(dma_block(kRxBuffers * kBufferBytes));
  g->tx = static_cast<std::uint8_t*>(dma_block(kTxBuffers * kBufferBytes));
  if (g->rx == nullptr || g->tx == nullptr) return false;
  KeAcquireSpinLock(&g->lock, &irql);
  for (std::uint32_t i = 0; i < kRxPosted; ++i) {
    const std::uint32_t slot = (g->qp->RqRing.Head + i) % g->qp->RqRing.Size;
    auto* wqe = &static_cast<zekhw::MifhNicRqWqe*>(g->qp->Rq)[slot];
    wqe->buffer_length = kBufferBytes;
    wqe->buffer_pa = pa_of(g->rx + slot * kBufferBytes);
  }
  std::uint32_t posted = 0;
  mifh_nic_qp_post_rq_to_doorbell(g->qp, kRxPosted, &posted);
  mifh_cq_arm(g->cq, false, true);
  g->counters.up = 1;
  KeReleaseSpinLock(&g->lock, irql);
  log_line("up");
  return true;
}

void take_down() {
  if (g->qp != nullptr && g->cq != nullptr) {
    mifh_hw_clear_zek_nic(&g->hw->Device, zekhw::proxy_mac_slot(g->hw->Device.PciFunction));
    // The completion processing lets go of the queue pair before it is
    // destroyed (and its CQ ring freed); it still retires the control
    // completions the destruction waits for.
    KIRQL irql;
    KeAcquireSpinLock(&g->lock, &irql);
    MifhQpObject* qp = std::exchange(g->qp, nullptr);
    MifhCqObject* cq = std::exchange(g->cq, nullptr);
    KeReleaseSpinLock(&g->lock, irql);
    if (mifh_nic_qp_destroy(nullptr, qp, cq) != 0) log_line("the NIC queue pair was not destroyed in time");
  }
  if (g->interrupt != nullptr) {
    set_interrupt_mask(false);
    IoDisconnectInterrupt(g->interrupt);
    g->interrupt = nullptr;
  }
  if (g->polling) {
    KeCancelTimer(&g->timer);
    KeFlushQueuedDpcs();
    g->polling = false;
  }
  g->events_up = false;
  if (g->hw != nullptr) bringup::take_down(g->hw->Device, g->control);
  if (g->rx != nullptr) OSPrimMemDMAFree(g->rx);
  if (g->tx != nullptr) OSPrimMemDMAFree(g->tx);
  for (unsigned w = 0; w < 3; ++w) {
    if (g->windows[w] != nullptr) MmUnmapIoSpace(g->windows[w], g->window_bytes[w]);
  }
}

void unload(PDRIVER_OBJECT) {
  take_down();
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, u"\\DosDevices\\zeknictest");
  IoDeleteSymbolicLink(&link);
  if (g->hw != nullptr) OSPrimMemFree(g->hw);
  IoDeleteDevice(g->device);
  mifh_destroy_mem_resources();
  ZEK_Cleanup_c_osprims();
  delete g;
  g = nullptr;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  g = new Driver;
  KeInitializeSpinLock(&g->lock);
  KeInitializeTimerEx(&g->timer, NotificationTimer);
  KeInitializeDpc(&g->dpc, poll_dpc, nullptr);
  KeInitializeDpc(&g->interrupt_dpc, poll_dpc, nullptr);
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, u"\\Device\\zeknictest");
  RtlInitUnicodeString(&link, u"\\DosDevices\\zeknictest");
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &g->device);
  if (!NT_SUCCESS(status)) return status;
  IoCreateSymbolicLink(&link, &name);
  driver->MajorFunction[IRP_MJ_CREATE] = &pass_irp;
  driver->MajorFunction[IRP_MJ_CLEANUP] = &pass_irp;
  driver->MajorFunction[IRP_MJ_CLOSE] = &pass_irp;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = &device_control;
  driver->DriverUnload = &unload;
  g->device->Flags &= ~DO_DEVICE_INITIALIZING;

  ZEK_Init_c_osprims(0);
  void* hw = nullptr;
  if (mifh_create_mem_resources() != 0 || OSPrimMemAllocate(&hw, sizeof(NIC_HW_INFO)) != ZEK_STATUS_PASS) {
    log_line("no memory for the hardware objects");
    return STATUS_SUCCESS;  // loaded, without a NIC: kSend answers not ready
  }
  g->hw = static_cast<NIC_HW_INFO*>(hw);
  // The first function of the first adapter on the bus.
  auto functions = plat::Kernel::current().pci().functions();
  if (functions.empty() || !bring_up(functions.front())) log_line("no NIC: bring-up failed");
  return STATUS_SUCCESS;
}
