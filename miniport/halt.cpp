// MiniportHaltEx and the freeing of an adapter, whole or partly built.
#include "miniport/adapter.h"
#include "miniport/bringup.h"
#include "miniport/control.h"
#include "miniport/datapath.h"
#include "miniport/hwobjects.h"
#include "miniport/oid.h"
#include "miniport/phy_setup.h"

namespace {

constexpr ULONG kPollMs = 10;

}  // namespace

void MpDetachProxy(ZEK_ADAPTER* adapter) {
  NicProxyInterface& record = adapter->Proxy.Shared;
  NicProxyGate* gate = &record.Gate;
  if (record.Adapter == nullptr) {  // the proxy driver never asked for the adapter
    NicProxyGateClose(gate);
    return;
  }
  // An attach in progress ends with the progress word changed, also when it
  // fails, and gives its hold on the record back; the wait is bounded all
  // the same, so that a proxy driver that never finishes cannot hang the
  // halt.
  ULONG waited = 0;
  while (*reinterpret_cast<volatile std::uint32_t*>(&record.AttachProgress) == NIC_PROXY_PROGRESS_ATTACHING ||
         NicProxyGateHolds(gate) != 0) {
    if (waited >= ZEK_ATTACH_WAIT_MS) {
      ZEK_LOG_FAILURE("MpFreeAdapter: the proxy driver's attach did not end within %u ms\n", ZEK_ATTACH_WAIT_MS);
      break;
    }
    NdisMSleep(kPollMs * 1000);
    waited += kPollMs;
  }
  // From here on no attach can complete: one still holding the record finds
  // the gate closed, undoes itself and lets go of the record.
  const std::uint32_t holds = NicProxyGateClose(gate);
  // The DPC calls no proxy slot from now on; a pass already inside one is
  // waited for before the detach routine frees what the slots use.
  InterlockedExchange(&adapter->ProxySlotsClosed, 1);
  __atomic_store_n(&record.ProxyAttached, 0, __ATOMIC_RELEASE);
  for (waited = 0; adapter->DpcRunning != 0 && waited < ZEK_DPC_WAIT_MS; waited += kPollMs) {
    OSPrimDebugPrint("MpFreeAdapter: waiting for the DPC\n");
    NdisMSleep(kPollMs * 1000);
  }
  if (adapter->DpcRunning != 0) ZEK_LOG_FAILURE("MpFreeAdapter: the DPC still runs after %u ms\n", ZEK_DPC_WAIT_MS);
  if (holds != 0) {
    ZEK_LOG_FAILURE(
        "MpFreeAdapter: an attach still holds the NIC-proxy record: no detach, the adapter stays "
        "allocated until it lets go\n");
    return;
  }
  const auto detach = record.DetachSlot;
  if (record.ProxyDetached == 0 && detach != nullptr) detach(&record);
}

namespace {

// Adapter blocks whose halt ended while an attach still held their
// NIC-proxy record, linked through Next under the adapter-list lock; each is
// freed once its last hold is given back.
ZEK_ADAPTER* g_held_blocks = nullptr;

void free_block(ZEK_ADAPTER* adapter) {
  ZekOidAdapterFree(adapter);
  if (adapter->HwInfo != nullptr) ZekFreeHwInfo(adapter->HwInfo);
  adapter->HwInfo = nullptr;
  NdisFreeSpinLock(&adapter->ResetLock);
  NdisFreeSpinLock(&adapter->SendLock);
  NdisFreeSpinLock(&adapter->AdapterLock);
  NdisFreeMemory(adapter, sizeof(ZEK_ADAPTER), 0);
}

// The blocks whose holds are all back, taken off the list.
ZEK_ADAPTER* take_released_blocks() {
  ZEK_ADAPTER* released = nullptr;
  OSPrimSyncAcquireSpinlockObject(&g_Zek.ListLock);
  for (ZEK_ADAPTER** link = &g_held_blocks; *link != nullptr;) {
    ZEK_ADAPTER* block = *link;
    if (NicProxyGateHolds(&block->Proxy.Shared.Gate) == 0) {
      *link = block->Next;
      block->Next = released;
      released = block;
    } else {
      link = &block->Next;
    }
  }
  OSPrimSyncReleaseSpinlockObject(&g_Zek.ListLock);
  return released;
}

}  // namespace

std::uint32_t ZekFreeReleasedAdapterBlocks(BOOLEAN unloading) {
  for (ZEK_ADAPTER* block = take_released_blocks(); block != nullptr;) {
    ZEK_ADAPTER* next = block->Next;
    free_block(block);
    block = next;
  }
  std::uint32_t held = 0;
  OSPrimSyncAcquireSpinlockObject(&g_Zek.ListLock);
  for (ZEK_ADAPTER* block = g_held_blocks; block != nullptr; block = block->Next) ++held;
  // A driver that goes cannot free a block later, and freeing one that is
  // held would let the attach write into freed memory: it stays allocated.
  if (unloading) g_held_blocks = nullptr;
  OSPrimSyncReleaseSpinlockObject(&g_Zek.ListLock);
  if (unloading && held != 0) {
    ZEK_LOG_FAILURE("ZekUnload: %u adapter blocks are still held by an attach and stay allocated\n", held);
  }
  return held;
}

void MpFreeAdapter(ZEK_ADAPTER* adapter) {
  if (adapter == nullptr) return;
  NDIS_HANDLE handle = adapter->MiniportAdapterHandle;

  // 1. Halt in progress.
  NdisAcquireSpinLock(&adapter->AdapterLock);
  adapter->Flags |= ZEK_FLAG_HALT_IN_PROGRESS;
  NdisReleaseSpinLock(&adapter->AdapterLock);
  // The NIC goes down: from here the proxy driver's link test reads down.
  if (adapter->HwInfo != nullptr) ZekSetLinkAllowed(&adapter->HwInfo->Device, false);
  // The per-adapter device (its requests end first) and the SerDes timer.
  ZekDeregisterAdapterDevice(adapter);
  ZekSerdesTimerStop(adapter);

  // 2-3. The proxy driver's detach, once its attach has ended and the DPC
  // has left its slots.
  MpDetachProxy(adapter);

  // The interrupt goes (no service routine or DPC runs after this), then
  // every send still out completes, once.
  if (adapter->HwInfo != nullptr) ZekDisableInterrupts(adapter);
  if ((adapter->Flags & ZEK_FLAG_INTERRUPT_REGISTERED) && adapter->InterruptHandle != nullptr) {
    NdisMDeregisterInterruptEx(adapter->InterruptHandle);
    adapter->InterruptHandle = nullptr;
    adapter->Flags &= ~ZEK_FLAG_INTERRUPT_REGISTERED;
  }
  ZekCompletePendingSends(adapter, NDIS_STATUS_REQUEST_ABORTED);

  // 4. The queues, their memory and the function's MAC slot; the load count.
  if (adapter->HwInfo != nullptr) {
    CommonFreeMifResources(adapter);
    ZekReleaseLoad(adapter);
  }

  // 5. The per-board objects, in halt order.
  if (adapter->HwInfo != nullptr) ZekReleaseBoardObjects(adapter);
  ZekReleaseBoard(adapter);

  // 6. The data path's memory, register windows, DMA, work item.
  NICFreeAdapterMemory(adapter);
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

  // 8. The device object's buffers and the hardware information, then the
  // block; both wait for an attach that still holds the record (the device
  // object, the hardware information and the block are what it reaches).
  if (NicProxyGateHolds(&adapter->Proxy.Shared.Gate) == 0) {
    free_block(adapter);
  } else {
    OSPrimSyncAcquireSpinlockObject(&g_Zek.ListLock);
    adapter->Next = g_held_blocks;
    g_held_blocks = adapter;
    OSPrimSyncReleaseSpinlockObject(&g_Zek.ListLock);
  }
  ZekFreeReleasedAdapterBlocks(FALSE);
}

void ZekHalt(NDIS_HANDLE context, NDIS_HALT_ACTION) {
  auto* adapter = static_cast<ZEK_ADAPTER*>(context);
  adapter->NdisState = ZEK_STATE_HALTING;
  NdisAcquireSpinLock(&adapter->AdapterLock);
  adapter->Flags |= ZEK_FLAG_HALT_IN_PROGRESS;
  adapter->NdisState = ZEK_STATE_HALTED;
  const bool link_dpc_running = adapter->LinkDpcRunning != 0;
  NdisReleaseSpinLock(&adapter->AdapterLock);
  // A link timer that could not be cancelled has fired: its DPC has run or
  // is running (it may have started after the look above), and it is waited
  // for before anything it touches goes.
  const bool timer_fired = adapter->LinkTimer != nullptr && !NdisCancelTimerObject(adapter->LinkTimer);
  if ((link_dpc_running || timer_fired) && !NdisWaitEvent(&adapter->LinkDpcDone, 90'000)) {
    ZEK_LOG_FAILURE("ZekHalt: the link DPC did not finish\n");
  }
  if (adapter->HwInfo != nullptr) ZekDisableInterrupts(adapter);
  if (!WaitForRxReturnPackets(adapter, ZEK_RX_RETURN_WAIT_MS)) {
    ZEK_LOG_FAILURE("ZekHalt: NDIS did not return every receive buffer\n");
  }
  ZekListRemove(adapter);
  if (g_Zek.AdapterCount == 0) ZekDeregisterDevice();
  MpFreeAdapter(adapter);
}
