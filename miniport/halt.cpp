// MiniportHaltEx and the freeing of an adapter, whole or partly built.
#include "miniport/adapter.h"
#include "miniport/hwobjects.h"

namespace {

constexpr ULONG kPollMs = 10;

}  // namespace

void MpDetachProxy(ZEK_ADAPTER* adapter) {
  NicProxyInterface& record = adapter->Proxy.Shared;
  if (record.Adapter == nullptr) return;  // the proxy driver never attached
  // An attach in progress ends with the progress word changed, also when it
  // fails; the wait is bounded all the same, so that a proxy driver that
  // never finishes cannot hang the halt.
  ULONG waited = 0;
  while (*reinterpret_cast<volatile std::uint32_t*>(&record.AttachProgress) == NIC_PROXY_PROGRESS_ATTACHING) {
    if (waited >= ZEK_ATTACH_WAIT_MS) {
      ZEK_LOG_FAILURE("MpFreeAdapter: the proxy driver's attach did not end within %u ms\n", ZEK_ATTACH_WAIT_MS);
      break;
    }
    NdisMSleep(kPollMs * 1000);
    waited += kPollMs;
  }
  // The DPC calls no proxy slot from now on; a pass already inside one is
  // waited for before the detach routine frees what the slots use.
  InterlockedExchange(&adapter->ProxySlotsClosed, 1);
  for (waited = 0; adapter->DpcRunning != 0 && waited < ZEK_DPC_WAIT_MS; waited += kPollMs) {
    OSPrimDebugPrint("MpFreeAdapter: waiting for the DPC\n");
    NdisMSleep(kPollMs * 1000);
  }
  if (adapter->DpcRunning != 0) ZEK_LOG_FAILURE("MpFreeAdapter: the DPC still runs after %u ms\n", ZEK_DPC_WAIT_MS);
  const auto detach = record.DetachSlot;
  if (record.ProxyDetached == 0 && detach != nullptr) detach(&record);
}

void MpFreeAdapter(ZEK_ADAPTER* adapter) {
  if (adapter == nullptr) return;
  NDIS_HANDLE handle = adapter->MiniportAdapterHandle;

  // 1. Halt in progress.
  NdisAcquireSpinLock(&adapter->AdapterLock);
  adapter->Flags |= ZEK_FLAG_HALT_IN_PROGRESS;
  NdisReleaseSpinLock(&adapter->AdapterLock);

  // 2-3. The proxy driver's detach, once its attach has ended and the DPC
  // has left its slots.
  MpDetachProxy(adapter);

  // 5. The per-board objects, in halt order.
  if (adapter->HwInfo != nullptr) ZekReleaseBoardObjects(adapter);

  // 6. Interrupt, register windows, DMA, work item.
  if ((adapter->Flags & ZEK_FLAG_INTERRUPT_REGISTERED) && adapter->InterruptHandle != nullptr) {
    NdisMDeregisterInterruptEx(adapter->InterruptHandle);
    adapter->InterruptHandle = nullptr;
    adapter->Flags &= ~ZEK_FLAG_INTERRUPT_REGISTERED;
  }
  for (auto& window : adapter->Window) {
    if (window.Va != nullptr) NdisMUnmapIoSpace(handle, const_cast<std::uint8_t*>(window.Va), window.Length);
    window.Va = nullptr;
  }
  if (adapter->DmaHandle != nullptr) NdisMDeregisterScatterGatherDma(adapter->DmaHandle);
  adapter->DmaHandle = nullptr;
  if (adapter->IoWorkItem != nullptr) NdisFreeIoWorkItem(adapter->IoWorkItem);
  adapter->IoWorkItem = nullptr;
  if (adapter->LinkTimer != nullptr) NdisFreeTimerObject(adapter->LinkTimer);
  adapter->LinkTimer = nullptr;

  // 8. The device object's buffers and the hardware information, then the block.
  if (adapter->HwInfo != nullptr) ZekFreeHwInfo(adapter->HwInfo);
  adapter->HwInfo = nullptr;
  NdisFreeSpinLock(&adapter->ResetLock);
  NdisFreeSpinLock(&adapter->SendLock);
  NdisFreeSpinLock(&adapter->AdapterLock);
  NdisFreeMemory(adapter, sizeof(ZEK_ADAPTER), 0);
}

void ZekHalt(NDIS_HANDLE context, NDIS_HALT_ACTION) {
  auto* adapter = static_cast<ZEK_ADAPTER*>(context);
  adapter->NdisState = ZEK_STATE_HALTING;
  NdisAcquireSpinLock(&adapter->AdapterLock);
  adapter->Flags |= ZEK_FLAG_HALT_IN_PROGRESS;
  adapter->NdisState = ZEK_STATE_HALTED;
  const bool link_dpc_running = adapter->LinkDpcRunning != 0;
  NdisReleaseSpinLock(&adapter->AdapterLock);
  if (adapter->LinkTimer != nullptr) NdisCancelTimerObject(adapter->LinkTimer);
  if (link_dpc_running && !NdisWaitEvent(&adapter->LinkDpcDone, 90'000)) {
    ZEK_LOG_FAILURE("ZekHalt: the link DPC did not finish\n");
  }
  ZekListRemove(adapter);
  MpFreeAdapter(adapter);
}
