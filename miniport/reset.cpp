// The adapter reset: MiniportResetEx, the reset of the function's NIC, and
// the chain of control requests that destroys the NIC queue pair and its
// completion queue and creates both again, ending in OSResetComplete.
#include <cstring>

#include "include/hw/nic.h"
#include "include/hw/registers.h"
#include "miniport/adapter.h"
#include "miniport/bringup.h"
#include "miniport/datapath.h"
#include "miniport/hwobjects.h"
#include "miniport/phy_setup.h"
#include "platform/kernel/ke.h"
#include "proxy/rdma/hw/ccq.h"
#include "proxy/rdma/hw/config.h"
#include "proxy/rdma/hw/control_qp.h"
#include "proxy/rdma/hw/cq.h"
#include "proxy/rdma/hw/qp.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/hw/status.h"

namespace {

constexpr ULONG kErrorValueNonRecoverable = 1283;
constexpr ULONG kDpcPollMs = 10;
enum : LONG { kChainRunning = 0, kChainDone = 1, kChainFailed = 2 };
enum : unsigned { kQpDestroy, kCqDestroy, kCqCreate, kQpCreate };

MifhQpObject* nic_qp_of(ZEK_ADAPTER* adapter) { return reinterpret_cast<MifhQpObject*>(adapter->HwInfo->NicQp); }

MifhCqpCompletionContext* context_of(ZEK_ADAPTER* adapter, unsigned step, MifhCqpCompletionRoutine routine) {
  MifhCqpCompletionContext* c = &adapter->ResetContext[step];
  *c = MifhCqpCompletionContext{};
  c->CompletionRoutine = routine;
  c->Argument = adapter;
  return c;
}

bool refused(const MifhCqpCompletionContext& c) { return c.MajorCode != 0 || c.ErrorFlag != 0; }

void chain_failed(ZEK_ADAPTER* adapter) { InterlockedExchange(&adapter->ResetChainDone, kChainFailed); }

void NicQPCreateCallback(void* argument) {
  auto* adapter = static_cast<ZEK_ADAPTER*>(argument);
  if (refused(adapter->ResetContext[kQpCreate])) {
    ZEK_LOG_FAILURE("NicCQCreateCallback: mifh_nic_qp_create() failed, retcode (0x%x)\n",
                    adapter->ResetContext[kQpCreate].MajorCode);
    chain_failed(adapter);
    return;
  }
  InterlockedExchange(&adapter->ResetChainDone, kChainDone);
}

void NicCQCreateCallback(void* argument) {
  auto* adapter = static_cast<ZEK_ADAPTER*>(argument);
  if (refused(adapter->ResetContext[kCqCreate])) {
    ZEK_LOG_FAILURE("NicCQCreateCallback: mifh_nic_qp_create() failed, retcode (0x%x)\n",
                    adapter->ResetContext[kCqCreate].MajorCode);
    chain_failed(adapter);
    return;
  }
  // The queue pair starts again with empty rings.
  MifhQpObject* qp = nic_qp_of(adapter);
  qp->SqRing = {0, 0, qp->SqWqeCount};
  qp->RqRing = {0, 0, qp->RqWqeCount};
  const ZekStatus status = mifh_nic_qp_create(qp, nullptr, context_of(adapter, kQpCreate, NicQPCreateCallback));
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("NicCQCreateCallback: mifh_nic_qp_create() failed, retcode (0x%x)\n", status);
    chain_failed(adapter);
  }
}

void NicCQDestroyCallback(void* argument) {
  auto* adapter = static_cast<ZEK_ADAPTER*>(argument);
  if (refused(adapter->ResetContext[kCqDestroy])) {
    ZEK_LOG_FAILURE("NicCQDestroyCallback:failed FILE[%s] LINE[%d] u32RetCode %d \n", __FILE__, __LINE__,
                    adapter->ResetContext[kCqDestroy].MajorCode);
    chain_failed(adapter);
    return;
  }
  MifhCqObject& cq = adapter->HwInfo->NicCq;
  std::memset(cq.Ring, 0, std::size_t{cq.ElementCount} * MIFH_NIC_CQE_BYTES);
  cq.RingIndex = {cq.ElementCount - 1, 0, cq.ElementCount};
  const ZekStatus status =
      mifh_nic_cq_create(&cq, adapter->PciFunction, context_of(adapter, kCqCreate, NicCQCreateCallback));
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("NicCQDestroyCallback:failed FILE[%s] LINE[%d] u32RetCode %d \n", __FILE__, __LINE__, status);
    chain_failed(adapter);
  }
}

void NicQPDestroyCallback(void* argument) {
  auto* adapter = static_cast<ZEK_ADAPTER*>(argument);
  if (refused(adapter->ResetContext[kQpDestroy])) {
    ZEK_LOG_FAILURE("NicQPDestroyCallback: mifh_nic_qp_destroy() failed, retcode (0x%x)\n",
                    adapter->ResetContext[kQpDestroy].MajorCode);
    chain_failed(adapter);
    return;
  }
  const ZekStatus status =
      mifh_cq_destroy(&adapter->HwInfo->NicCq, context_of(adapter, kCqDestroy, NicCQDestroyCallback));
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("NicQPDestroyCallback: mifh_nic_qp_destroy() failed, retcode (0x%x)\n", status);
    chain_failed(adapter);
  }
}

// The control completions that drive the chain are retired by the DPC once
// interrupts run, and by the reset's work item itself before; it waits
// within the hardware interface's bound.
void drive_chain(PVOID context, NDIS_HANDLE) {
  auto* adapter = static_cast<ZEK_ADAPTER*>(context);
  for (std::uint32_t round = 0; round < MIFH_CONTROL_QUEUE_WAIT_ROUNDS; ++round) {
    if (!adapter->InterruptsEnabled) ZekProcessControlCompletions(adapter);
    if (adapter->ResetChainDone != kChainRunning) break;
    NdisMSleep(MIFH_CONTROL_QUEUE_WAIT_US);
  }
  const LONG outcome = adapter->ResetChainDone;
  if (outcome == kChainDone) {
    if (adapter->HwInfo->NicReinitialise != nullptr) adapter->HwInfo->NicReinitialise(adapter);
    OSResetComplete(adapter, NDIS_STATUS_SUCCESS);
    return;
  }
  if (outcome == kChainRunning) {
    ZEK_LOG_FAILURE("ZekAdapterReset: the NIC queue pair was not created again within %u ms\n",
                    MIFH_CONTROL_QUEUE_WAIT_ROUNDS);
    for (auto& c : adapter->ResetContext) mifh_cqp_forget_context(&adapter->HwInfo->Cqp, &c);
  }
  // The function's NIC is gone: NDIS hears of the failure and the hang check
  // asks for the adapter's removal.
  NdisAcquireSpinLock(&adapter->AdapterLock);
  adapter->Flags |= ZEK_FLAG_NON_RECOVERABLE;
  NdisReleaseSpinLock(&adapter->AdapterLock);
  OSResetComplete(adapter, NDIS_STATUS_HARD_ERRORS);
}

void reset_work_item(PVOID context, NDIS_HANDLE handle) {
  auto* adapter = static_cast<ZEK_ADAPTER*>(context);
  const NDIS_STATUS status = ZekAdapterReset(adapter);
  if (status == NDIS_STATUS_PENDING) {
    drive_chain(adapter, handle);
  } else {
    OSResetComplete(adapter, status);
  }
}

}  // namespace

NDIS_STATUS ZekAdapterReset(ZEK_ADAPTER* adapter) {
  MifhDeviceObj* device = &adapter->HwInfo->Device;
  const std::uint32_t f = adapter->PciFunction;
  // The SerDes maintenance rests while the NIC is rebuilt (chip revision 4).
  ZekSerdesTimerHold(adapter);
  ZekSerdesTimerWaitIdle(adapter);
  // Interrupts masked and reception off while the NIC is rebuilt.
  mifh_write_reg(device, zekhw::kRegIntrMask, mifh_read_reg(device, zekhw::kRegIntrMask) | device->InterruptWord);
  mifh_set_nic_rx_disable(device, f);
  NdisAcquireSpinLock(&adapter->AdapterLock);
  adapter->Flags &= ~ZEK_FLAG_HARDWARE_ERROR;
  NdisReleaseSpinLock(&adapter->AdapterLock);
  for (ULONG waited = 0; adapter->DpcRunning != 0 && waited < ZEK_DPC_WAIT_MS; waited += kDpcPollMs) {
    NdisMSleep(kDpcPollMs * 1000);
  }
  // The multicast hash starts empty again.
  adapter->MulticastCount = 0;
  CommonSetMulticastList(adapter);
  mifh_write_reg(device, zekhw::kRegIntrMask, mifh_read_reg(device, zekhw::kRegIntrMask) & ~device->InterruptWord);
  // A DPC that ran while the causes were masked left the master enable
  // off; the chain's completions need the interrupt.
  if (adapter->InterruptsEnabled) mifh_enable_interrupts(device);
  mifh_errata_5068(device);
  InterlockedExchange(&adapter->ResetChainDone, kChainRunning);
  const ZekStatus status = [&] {
    zekhw::MifhCqpWqe wqe{};
    wqe.op_word = zekhw::kOpWordDestroyNicQp;
    wqe.object_word = nic_qp_of(adapter)->QpId;
    wqe.completion_context = reinterpret_cast<std::uint64_t>(context_of(adapter, kQpDestroy, NicQPDestroyCallback));
    wqe.physical_address = nic_qp_of(adapter)->HostContextPa;
    return mifh_cqp_post(&adapter->HwInfo->Cqp, &wqe, MifhPostMode::Failing, "mifh_nic_qp_destroy");
  }();
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("NicQPDestroyCallback: mifh_nic_qp_destroy() failed, retcode (0x%x)\n", status);
    return NDIS_STATUS_FAILURE;
  }
  return NDIS_STATUS_PENDING;
}

NDIS_STATUS ZekReset(NDIS_HANDLE context, PBOOLEAN addressing_reset) {
  auto* adapter = static_cast<ZEK_ADAPTER*>(context);
  if (addressing_reset != nullptr) *addressing_reset = TRUE;
  NdisAcquireSpinLock(&adapter->ResetLock);
  NdisDprAcquireSpinLock(&adapter->AdapterLock);
  adapter->NdisState = ZEK_STATE_RESTARTING;
  const bool in_progress = (adapter->Flags & ZEK_FLAG_RESET_IN_PROGRESS) != 0;
  if (!in_progress) adapter->Flags |= ZEK_FLAG_RESET_IN_PROGRESS;
  const bool non_recoverable = (adapter->Flags & ZEK_FLAG_NON_RECOVERABLE) != 0;
  const bool first_removal = non_recoverable && (adapter->Flags & ZEK_FLAG_REMOVAL) == 0;
  if (non_recoverable) {
    adapter->Flags &= ~ZEK_FLAG_RESET_IN_PROGRESS;
    adapter->Flags |= ZEK_FLAG_REMOVAL;
  }
  NdisDprReleaseSpinLock(&adapter->AdapterLock);
  NdisReleaseSpinLock(&adapter->ResetLock);
  if (in_progress) {
    ZEK_LOG_FAILURE("Func[%s,%d] Adapter[%p] Reset already in progress \n", __func__, __LINE__,
                    static_cast<void*>(adapter));
    return NDIS_STATUS_RESET_IN_PROGRESS;
  }
  if (non_recoverable) {
    if (first_removal) {
      NdisWriteErrorLogEntry(adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_DRIVER_FAILURE, 1,
                             kErrorValueNonRecoverable);
      NdisMRemoveMiniport(adapter->MiniportAdapterHandle);
    }
    return NDIS_STATUS_HARD_ERRORS;
  }
  ZekSerdesTimerHold(adapter);
  // The chain runs in the work item, which may wait (its control
  // completions are retired there until the interrupt path does it).
  OSPrimDebugPrint("Calling NdisQueueIoWorkItem \n");
  NdisQueueIoWorkItem(adapter->IoWorkItem, reset_work_item, adapter);
  return NDIS_STATUS_PENDING;
}

bool ZekDataPathReset(ZEK_ADAPTER* adapter) {
  NdisAcquireSpinLock(&adapter->ResetLock);
  NdisDprAcquireSpinLock(&adapter->AdapterLock);
  const bool busy = (adapter->Flags & (ZEK_FLAG_RESET_IN_PROGRESS | ZEK_FLAG_NON_RECOVERABLE)) != 0;
  if (!busy) {
    adapter->Flags |= ZEK_FLAG_RESET_IN_PROGRESS;
    adapter->ResetForDataPath = TRUE;
  }
  NdisDprReleaseSpinLock(&adapter->AdapterLock);
  NdisReleaseSpinLock(&adapter->ResetLock);
  if (busy) return false;
  ZekSerdesTimerHold(adapter);
  NdisQueueIoWorkItem(adapter->IoWorkItem, reset_work_item, adapter);
  return true;
}

void OSResetComplete(ZEK_ADAPTER* adapter, NDIS_STATUS status) {
  NdisAcquireSpinLock(&adapter->AdapterLock);
  adapter->NdisState = ZEK_STATE_RUNNING;
  adapter->Flags &= ~ZEK_FLAG_RESET_IN_PROGRESS;
  const bool for_data_path = adapter->ResetForDataPath != FALSE;
  adapter->ResetForDataPath = FALSE;
  NdisReleaseSpinLock(&adapter->AdapterLock);
  ZekSerdesTimerResume(adapter);
  if (status == NDIS_STATUS_SUCCESS) ZekEnableNicReception(adapter);
  if (for_data_path) {
    // The data path's start: the link the stop indicated down is indicated as it is.
    ZekRefreshLink(adapter);
  } else {
    NdisMResetComplete(adapter->MiniportAdapterHandle, status, TRUE);
  }
  // NBLs that waited through the reset start now.
  if (status == NDIS_STATUS_SUCCESS) ZekStartPendingSends(adapter, false);
}
