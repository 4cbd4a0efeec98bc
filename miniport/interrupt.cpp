// The function's interrupt: registration, the service routines that claim
// it, and the DPC that services its causes (asynchronous events, the
// miniport's completion event queue with the NIC and control completions,
// link changes) and hands the proxy driver's share to its slots.
#include <atomic>

#include "include/hw/events.h"
#include "include/hw/phy.h"
#include "include/hw/registers.h"
#include "miniport/bringup.h"
#include "miniport/datapath.h"
#include "proxy/rdma/hw/ccq.h"
#include "proxy/rdma/hw/control_qp.h"
#include "proxy/rdma/hw/eq.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/hw/status.h"

namespace {

constexpr ULONG kErrorValueInterrupt = 0x0B;
constexpr std::uint32_t kMacInterruptStatus = 0x1F0;  // in the port's MAC block
constexpr std::uint32_t kMacInterruptMore = 1u << 11;
constexpr std::uint32_t kMacLinkBits = 0x6;  // bits 1 and 2
// The MAC interrupt status bits that are acknowledged: the low twelve but
// bit 0, the MDIO-done bit, which belongs to an MDIO frame in flight.
constexpr std::uint32_t kMacAckBits = 0xFFE;
constexpr std::uint32_t kPortCounterMore = 0x2B2C;

ZEK_ADAPTER* adapter_of(NDIS_HANDLE context) { return static_cast<ZEK_ADAPTER*>(context); }

LONGLONG now_100ns() {
  LARGE_INTEGER t;
  NdisGetCurrentSystemTime(&t);
  return t.QuadPart;
}

bool over_budget(const ZEK_ADAPTER* adapter) {
  return now_100ns() - adapter->DpcStartTime > LONGLONG{adapter->DpcBudgetMs} * 10'000;
}

// The proxy driver's slots are called only while it is attached and the
// halt has not closed them (the halt sets the flag, then waits for a DPC
// that is running; the DPC sets its running flag before it looks).
bool proxy_slots_open(ZEK_ADAPTER* adapter) {
  const NicProxyInterface& record = adapter->Proxy.Shared;
  return __atomic_load_n(&record.ProxyAttached, __ATOMIC_ACQUIRE) != 0 &&
         __atomic_load_n(&adapter->ProxySlotsClosed, __ATOMIC_SEQ_CST) == 0;
}

// Step 4: the asynchronous events, acknowledged in writes of at most 255.
void service_async_events(ZEK_ADAPTER* adapter) {
  NIC_HW_INFO* hw = adapter->HwInfo;
  MifhAeqObject& aeq = hw->Aeq;
  if (aeq.Ring == nullptr || aeq.RingIndex.Size == 0) return;
  auto* ring = static_cast<zekhw::MifhAeqe*>(aeq.Ring);
  std::uint32_t taken = 0;
  for (;;) {
    zekhw::MifhAeqe* slot = &ring[aeq.RingIndex.Tail];
    std::atomic_ref<std::uint32_t> info(slot->info);
    const std::uint32_t word3 = info.load(std::memory_order_acquire);
    if ((word3 & zekhw::kAeqeValid) == 0) break;
    const zekhw::MifhAeqe entry = *slot;
    info.store(0, std::memory_order_release);
    aeq.RingIndex.Tail = (aeq.RingIndex.Tail + 1) % aeq.RingIndex.Size;
    ++taken;
    const ZekAsyncEvent event = zek_decode_async_event(entry.context, entry.object_word, word3);
    const auto slot_routine = adapter->Proxy.Shared.AsyncEventSlot;
    if (proxy_slots_open(adapter) && slot_routine != nullptr) slot_routine(&hw->Device, &event);
    if (taken == aeq.RingIndex.Size) break;  // a whole ring: the rest waits for the next pass
  }
  adapter->AsyncEvents += taken;
  for (std::uint32_t left = taken; left > 0;) {
    const std::uint32_t n = left < ZEK_CREDITS_PER_WRITE ? left : ZEK_CREDITS_PER_WRITE;
    mifh_write_reg(&hw->Device, zekhw::kRegAeqAcknowledge, zekhw::aeq_acknowledge(n));
    left -= n;
  }
}

// Step 5: the miniport's completion event queue. Answers whether the NIC
// completion queue was serviced; *no_op when the budget ran out.
bool service_completion_events(ZEK_ADAPTER* adapter, bool* no_op) {
  NIC_HW_INFO* hw = adapter->HwInfo;
  bool nic_serviced = false;
  for (;;) {
    MifhCqObject* cq = mifh_nic_process_next_ceq(&hw->Device, &hw->Ceq0);
    if (cq == nullptr) break;
    if (cq == &hw->NicCq) {
      ZekProcessNicCompletions(adapter);
      nic_serviced = true;
    } else if (cq == &hw->Ccq) {
      ZekProcessControlCompletions(adapter);
      const auto refill = adapter->Proxy.Shared.CqpRefillSlot;
      if (proxy_slots_open(adapter) && refill != nullptr) refill(&hw->Cqp);
    } else if (cq->Kind == MIFH_CQ_KIND_IWARP) {
      mifh_write_reg(&hw->Device, zekhw::kRegServicedCq, cq->CqId);
    } else {
      ZEK_LOG_FAILURE("How did I get here \n");
    }
    if (over_budget(adapter)) {
      OSPrimDebugPrint("func[%s,%d]  bPostNoOp is TRUE \n", __func__, __LINE__);
      *no_op = true;
      break;
    }
  }
  return nic_serviced;
}

// Step 6: a link change of the function's port.
void service_link(ZEK_ADAPTER* adapter) {
  MifhDeviceObj* device = &adapter->HwInfo->Device;
  const std::uint32_t port = device->Port & 3;
  std::uint32_t status = 0;
  if (mifh_read_indexed(device, zekhw::idx_port_mac(port, kMacInterruptStatus), &status) != ZEK_STATUS_PASS) return;
  if ((status & kMacInterruptMore) != 0) {
    std::uint32_t more = 0;
    mifh_read_indexed(device, kPortCounterMore + 0x40 * port, &more);
  }
  if ((status & kMacAckBits) != 0) {
    mifh_write_indexed(device, zekhw::idx_port_mac(port, kMacInterruptStatus), status & kMacAckBits);
  }
  if ((status & kMacLinkBits) != 0 && device->HardwareReady != 0) {
    // Each change the MAC recorded is a link-down or link-up event (the
    // media-sense count), also when both came before this pass.
    ZekRefreshLink(adapter);
    if ((status & zekhw::kMacStatusLinkDown) != 0) ++adapter->LinkDownEvents;
    if ((status & zekhw::kMacStatusLinkUp) != 0) ++adapter->LinkUpEvents;
  }
}

}  // namespace

void ZekProcessControlCompletions(ZEK_ADAPTER* adapter) {
  NdisAcquireSpinLock(&adapter->CcqLock);
  mifh_process_ccq(&adapter->HwInfo->Ccq);
  NdisReleaseSpinLock(&adapter->CcqLock);
}

void ZekControlDrain(void* context) { ZekProcessControlCompletions(static_cast<ZEK_ADAPTER*>(context)); }

BOOLEAN mifh_check_interrupt(MifhDeviceObj* device) {
  const std::uint32_t mask = mifh_read_reg(device, zekhw::kRegIntrMask);
  if (device->ChipRevision == 5) {
    if ((mifh_read_reg(device, zekhw::kRegIntrAltStatus) & 1) == 0) return FALSE;
  } else {
    if ((mask & zekhw::kIntrMasterEnable) == 0) return FALSE;
    const std::uint32_t cause = mifh_read_reg(device, zekhw::kRegIntrCause);
    if ((cause & device->EnabledInterruptMask) == 0) return FALSE;
    device->LastInterruptStatus = cause;
  }
  // The line stays quiet until the DPC enables the interrupt again.
  mifh_write_reg(device, zekhw::kRegIntrMask, mask & ~zekhw::kIntrMasterEnable);
  return TRUE;
}

void mifh_enable_interrupts(MifhDeviceObj* device) {
  const std::uint32_t own_ceq = zekhw::intr_ceq_bit(device->PciFunction);
  const std::uint32_t mask = mifh_read_reg(device, zekhw::kRegIntrMask);
  mifh_write_reg(device, zekhw::kRegIntrMask, (mask & ~own_ceq) | zekhw::kIntrMasterEnable);
}

void ZekDisableInterrupts(ZEK_ADAPTER* adapter) {
  MifhDeviceObj* device = &adapter->HwInfo->Device;
  if (device->RegisterWindow == nullptr) return;
  mifh_check_interrupt(device);  // drops a pending claim
  adapter->InterruptsEnabled = FALSE;
  const std::uint32_t mask = mifh_read_reg(device, zekhw::kRegIntrMask);
  mifh_write_reg(device, zekhw::kRegIntrMask,
                 (mask | zekhw::intr_ceq_bit(device->PciFunction)) & ~zekhw::kIntrMasterEnable);
}

void ZekEnableInterrupts(ZEK_ADAPTER* adapter) {
  adapter->InterruptsEnabled = TRUE;
  mifh_enable_interrupts(&adapter->HwInfo->Device);
}

BOOLEAN NicIsOurInterrupt(NDIS_HANDLE context, PBOOLEAN queue_dpc, PULONG) {
  ZEK_ADAPTER* adapter = adapter_of(context);
  if (adapter->HwInfo == nullptr) {
    ZEK_LOG_FAILURE("NicIsOurInterrupt: pNicHwInfo == NULL \n");
    return FALSE;
  }
  if (!mifh_check_interrupt(&adapter->HwInfo->Device)) {
    ++adapter->IsrForeign;
    return FALSE;
  }
  ++adapter->IsrOurs;
  *queue_dpc = TRUE;
  return TRUE;
}

BOOLEAN ZekMessageInterrupt(NDIS_HANDLE context, ULONG, PBOOLEAN queue_dpc, PULONG) {
  ZEK_ADAPTER* adapter = adapter_of(context);
  // A message is always the function's; the master enable goes off so that
  // no further message comes before the DPC has run.
  if (adapter->HwInfo != nullptr) mifh_check_interrupt(&adapter->HwInfo->Device);
  ++adapter->IsrOurs;
  *queue_dpc = TRUE;
  return TRUE;
}

void ZekInterruptDpc(NDIS_HANDLE context, PVOID, PVOID, PVOID) { CommonHandleInterrupt(adapter_of(context)); }

void ZekMessageInterruptDpc(NDIS_HANDLE context, ULONG, PVOID, PVOID, PVOID) {
  CommonHandleInterrupt(adapter_of(context));
}

NDIS_STATUS ZekRegisterInterrupt(ZEK_ADAPTER* adapter) {
  NDIS_MINIPORT_INTERRUPT_CHARACTERISTICS interrupt{};
  interrupt.Header = {NDIS_OBJECT_TYPE_MINIPORT_INTERRUPT, 1, sizeof interrupt};
  interrupt.InterruptHandler = NicIsOurInterrupt;
  interrupt.InterruptDpcHandler = ZekInterruptDpc;
  interrupt.MsiSupported = adapter->MessageInterruptsPossible;
  interrupt.MsiSyncWithAllMessages = TRUE;
  interrupt.MessageInterruptHandler = ZekMessageInterrupt;
  interrupt.MessageInterruptDpcHandler = ZekMessageInterruptDpc;
  const NDIS_STATUS status =
      NdisMRegisterInterruptEx(adapter->MiniportAdapterHandle, adapter, &interrupt, &adapter->InterruptHandle);
  if (status != NDIS_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("NdisMRegisterInterruptEx failed 0x%x\n", static_cast<unsigned>(status));
    NdisWriteErrorLogEntry(adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_INTERRUPT_CONNECT, 1, kErrorValueInterrupt);
    adapter->InterruptHandle = nullptr;
    return status;
  }
  adapter->InterruptType = interrupt.InterruptType;
  NdisAcquireSpinLock(&adapter->AdapterLock);
  adapter->Flags |= ZEK_FLAG_INTERRUPT_REGISTERED;
  NdisReleaseSpinLock(&adapter->AdapterLock);
  return NDIS_STATUS_SUCCESS;
}

void CommonHandleInterrupt(ZEK_ADAPTER* adapter) {
  NIC_HW_INFO* hw = adapter->HwInfo;
  if (hw == nullptr) return;
  MifhDeviceObj* device = &hw->Device;
  const std::uint32_t f = device->PciFunction;
  // 1. The start of the pass.
  adapter->DpcStartTime = now_100ns();
  // 2. A masked completion event queue (after a disable): asynchronous
  // events and link changes still pass, but nothing is enabled again.
  const std::uint32_t mask = mifh_read_reg(device, zekhw::kRegIntrMask);
  const bool masked = (mask & zekhw::intr_ceq_bit(f)) != 0;
  if (masked) {
    OSPrimDebugPrint("Why is completion bit set[x%08X] func[%d] u8MasterEnable[x%08X] \n", mask & zekhw::kIntrCeqMask,
                     f, mask & zekhw::kIntrMasterEnable);
  }
  // 3. The causes, acknowledged. The running flag is set before the proxy
  // slots are looked at (see proxy_slots_open).
  ++adapter->DpcCount;
  InterlockedExchange(&adapter->DpcRunning, 1);
  const std::uint32_t cause = mifh_read_reg(device, zekhw::kRegIntrCause);
  const std::uint32_t acknowledged = cause & device->EnabledInterruptMask;
  if (acknowledged != 0) mifh_write_reg(device, zekhw::kRegIntrCause, acknowledged);
  if ((cause & zekhw::kIntrFunctionFlags) != 0) mifh_read_reg(device, zekhw::kRegFunctionFlags);

  bool no_op = false;
  bool nic_serviced = false;
  // 4. Asynchronous events.
  if ((cause & zekhw::intr_aeq_bit(f)) != 0) service_async_events(adapter);
  // 5. The miniport's own completion event queue.
  if (!masked && (cause & zekhw::intr_ceq_bit(f)) != 0) nic_serviced = service_completion_events(adapter, &no_op);
  // 6. Link changes of the port.
  if ((cause & zekhw::kIntrLinkMask) != 0) service_link(adapter);
  // 7. TSW and function flags. Every path goes through the exit below, so
  // the running flag is never left set.
  if ((cause & zekhw::kIntrTsw) != 0) OSPrimDebugPrint("Got TSW Interrupt \n");
  if ((cause & zekhw::kIntrFunctionFlags) != 0) mifh_write_reg(device, zekhw::kRegFunctionFlags, 0xFF);
  // 8. The proxy driver's bottom half, with the completion-queue bits.
  const std::uint32_t ceq_bits = cause & zekhw::kIntrCeqMask;
  if (ceq_bits != 0 && proxy_slots_open(adapter)) {
    const auto bottom_half = adapter->Proxy.Shared.BottomHalfSlot;
    if (bottom_half != nullptr) bottom_half(&adapter->Proxy.Shared, ceq_bits);
  }
  // 9. The budget.
  if (!no_op && over_budget(adapter)) {
    OSPrimDebugPrint("func[%s,%d]  bPostNoOp is TRUE \n", __func__, __LINE__);
    no_op = true;
  }
  // 10. One pass; leaving.
  if (adapter->DpcLoopMax < 1) adapter->DpcLoopMax = 1;
  if (no_op) {
    OSPrimDebugPrint("func[%s,%d]  PostNop WR \n", __func__, __LINE__);
    if (mifh_cqp_nop(&hw->Cqp) == MIFH_STATUS_SUCCESS) ++adapter->NoOpsPosted;
  }
  if (!masked) {
    ++adapter->DpcPasses;
    if (nic_serviced) mifh_write_reg(device, zekhw::kRegCqAllocate, zekhw::cq_arm(hw->NicCq.CqId, false));
    if (adapter->InterruptsEnabled) mifh_enable_interrupts(device);
  }
  InterlockedExchange(&adapter->DpcRunning, 0);
}
