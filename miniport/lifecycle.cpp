// Pause, restart, shutdown, PnP events and the link indication.
#include "include/hw/registers.h"
#include "miniport/adapter.h"
#include "miniport/bringup.h"
#include "miniport/datapath.h"
#include "miniport/hwobjects.h"
#include "proxy/rdma/hw/reg_access.h"

namespace {

constexpr std::uint32_t kRxEnableRegister = 0x6010;
constexpr std::uint32_t kRxEnableKeptBits = 0x000FFFFF;

}  // namespace

NDIS_STATUS ZekPause(NDIS_HANDLE context, PNDIS_MINIPORT_PAUSE_PARAMETERS) {
  auto* adapter = static_cast<ZEK_ADAPTER*>(context);
  NdisAcquireSpinLock(&adapter->AdapterLock);
  NdisDprAcquireSpinLock(&adapter->SendLock);
  adapter->DataPath = ZEK_DATAPATH_PAUSING;
  adapter->NdisState = ZEK_STATE_PAUSING;
  NdisDprReleaseSpinLock(&adapter->SendLock);
  NdisReleaseSpinLock(&adapter->AdapterLock);
  // The data path's part: the NBLs that never started are cancelled; the
  // frames in the ring get their time to complete (bounded), and those
  // that did not are completed as aborted; the receive buffers come back.
  ZekCancelSend(adapter, reinterpret_cast<PVOID>(ZEK_CANCEL_ALL));
  constexpr ULONG kPollMs = 1;
  for (ULONG waited = 0; adapter->Send != nullptr && adapter->Send->Busy != 0 && waited < ZEK_PAUSE_SEND_WAIT_MS;
       waited += kPollMs) {
    NdisMSleep(kPollMs * 1000);
  }
  ZekCompletePendingSends(adapter, NDIS_STATUS_REQUEST_ABORTED);
  // Every list is back only once the batches already taken from the ring
  // have reached NDIS: the completing thread hands them over after it has
  // released the send lock.
  for (ULONG waited = 0;
       adapter->Send != nullptr && __atomic_load_n(&adapter->Send->Indicating, __ATOMIC_ACQUIRE) != 0 &&
       waited < ZEK_PAUSE_SEND_WAIT_MS;
       waited += kPollMs) {
    NdisMSleep(kPollMs * 1000);
  }
  if (!WaitForRxReturnPackets(adapter, ZEK_RX_RETURN_WAIT_MS)) {
    ZEK_LOG_FAILURE("ZekPause: NDIS did not return every receive buffer\n");
  }
  NdisAcquireSpinLock(&adapter->AdapterLock);
  adapter->DataPath = ZEK_DATAPATH_PAUSED;
  adapter->NdisState = ZEK_STATE_PAUSED;
  NdisReleaseSpinLock(&adapter->AdapterLock);
  return NDIS_STATUS_SUCCESS;
}

void ZekEnableNicReception(ZEK_ADAPTER* adapter) {
  MifhDeviceObj* device = &adapter->HwInfo->Device;
  if (device->RegisterWindow == nullptr) return;
  if (mifh_acquire_indexreg_spinlock(device) != ZEK_STATUS_PASS) return;
  mifh_write_reg(device, zekhw::index_register(device->PciFunction), kRxEnableRegister);
  const std::uint32_t value = mifh_read_reg(device, zekhw::data_register(device->PciFunction));
  mifh_write_reg(device, zekhw::data_register(device->PciFunction),
                 (value & kRxEnableKeptBits) | (1u << adapter->PciFunction));
  mifh_release_indexreg_spinlock(device);
}

NDIS_STATUS ZekRestart(NDIS_HANDLE context, PNDIS_MINIPORT_RESTART_PARAMETERS) {
  auto* adapter = static_cast<ZEK_ADAPTER*>(context);
  NdisAcquireSpinLock(&adapter->AdapterLock);
  adapter->NdisState = ZEK_STATE_RESTARTING;
  adapter->RxReturnCount = 1;
  NdisReleaseSpinLock(&adapter->AdapterLock);
  ZekEnableNicReception(adapter);
  NdisAcquireSpinLock(&adapter->AdapterLock);
  const bool ready = adapter->HardwareReady != 0;
  if (ready) {
    adapter->DataPath = ZEK_DATAPATH_RUNNING;
    adapter->NdisState = ZEK_STATE_RUNNING;
  }
  NdisReleaseSpinLock(&adapter->AdapterLock);
  if (ready) {
    // Buffers that came back while paused go into the ring again.
    if (adapter->Recv != nullptr) CommonRePostRcvBuffers(adapter, adapter->Recv->PostLimit);
    ZekStartPendingSends(adapter, false);
  }
  // Not ready yet: the hardware's post-initialisation completes the restart.
  return ready ? NDIS_STATUS_SUCCESS : NDIS_STATUS_PENDING;
}

void ZekShutdown(NDIS_HANDLE context, NDIS_SHUTDOWN_ACTION) {
  auto* adapter = static_cast<ZEK_ADAPTER*>(context);
  adapter->NdisState = ZEK_STATE_SHUTDOWN;
}

void MPPnPEventNotify(NDIS_HANDLE context, PNET_DEVICE_PNP_EVENT event) {
  auto* adapter = static_cast<ZEK_ADAPTER*>(context);
  switch (event->DevicePnPEvent) {
    case NdisDevicePnPEventSurpriseRemoved:
      adapter->NdisState = ZEK_STATE_HALTING;
      break;
    case NdisDevicePnPEventQueryRemoved:
    case NdisDevicePnPEventRemoved:
    case NdisDevicePnPEventQueryStopped:
    case NdisDevicePnPEventStopped:
    case NdisDevicePnPEventPowerProfileChanged:
    case NdisDevicePnPEventFilterListChanged:
      break;
    default:
      OSPrimDebugPrint("MPPnPEventNotify: unknown PnP event %x \n", static_cast<unsigned>(event->DevicePnPEvent));
      break;
  }
}

void ZekCancelOidRequest(NDIS_HANDLE, PVOID) {}

void ZekSetLinkState(ZEK_ADAPTER* adapter, BOOLEAN link_down) {
  adapter->PreviousLinkDown = adapter->LinkDown;
  adapter->LinkDown = link_down ? 1 : 0;
  if (adapter->LinkDown != adapter->PreviousLinkDown) adapter->LinkChanged = 1;
  if (!adapter->LinkChanged) return;
  if (adapter->LinkDown) {
    adapter->Flags |= ZEK_FLAG_LINK_DOWN;
  } else {
    adapter->Flags &= ~ZEK_FLAG_LINK_DOWN;
  }
  if (adapter->LinkDpcRunning != 0 || adapter->NdisState == ZEK_STATE_RESTARTING) return;
  NET_IF_MEDIA_CONNECT_STATE state;
  if (!adapter->LinkDown && adapter->LinkIndicated == ZEK_LINK_INDICATED_DOWN) {
    adapter->LinkIndicated = ZEK_LINK_INDICATED_UP;
    ++adapter->LinkUpCount;
    state = MediaConnectStateConnected;
    OSPrimDebugPrint("pAdapter[%p] Tell Ndis Link is UP  on port[%d] phi_type[%d] \n", static_cast<void*>(adapter),
                     adapter->HwInfo->Device.Port, adapter->HwInfo->Device.PhyType);
  } else if (adapter->LinkDown && adapter->LinkIndicated == ZEK_LINK_INDICATED_UP) {
    adapter->LinkIndicated = ZEK_LINK_INDICATED_DOWN;
    state = MediaConnectStateDisconnected;
    OSPrimDebugPrint("pAdapter[%p] Tell Ndis Link is DOWN on port[%d] phi_type[%d] \n", static_cast<void*>(adapter),
                     adapter->HwInfo->Device.Port, adapter->HwInfo->Device.PhyType);
  } else {
    return;
  }
  adapter->LinkChanged = 0;
  NDIS_LINK_STATE link{};
  link.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof link};
  link.MediaConnectState = state;
  link.MediaDuplexState = MediaDuplexStateFull;
  link.XmitLinkSpeed = link.RcvLinkSpeed = 10'000'000'000ull;
  link.PauseFunctions = NDIS_PAUSE_SEND_AND_RECEIVE;
  link.AutoNegotiationFlags = 0x0F;
  NDIS_STATUS_INDICATION indication{};
  indication.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof indication};
  indication.SourceHandle = adapter->MiniportAdapterHandle;
  indication.StatusCode = NDIS_STATUS_LINK_STATE;
  indication.StatusBuffer = &link;
  indication.StatusBufferSize = sizeof link;
  NdisMIndicateStatusEx(adapter->MiniportAdapterHandle, &indication);
}

void ZekRefreshLink(ZEK_ADAPTER* adapter) {
  if (adapter->HwInfo == nullptr || adapter->LinkLock == nullptr || adapter->HardwareReady == 0) return;
  OSPrimSyncAcquireSpinlockObject(&adapter->LinkLock->Lock);
  ZekSetLinkState(adapter, ZekLinkIsUp(&adapter->HwInfo->Device) ? FALSE : TRUE);
  OSPrimSyncReleaseSpinlockObject(&adapter->LinkLock->Lock);
}

BOOLEAN MPCheckForHang(NDIS_HANDLE context) {
  auto* adapter = static_cast<ZEK_ADAPTER*>(context);
  const std::uint32_t flags = adapter->Flags;
  if ((flags & ZEK_FLAG_RESET_IN_PROGRESS) != 0) {
    OSPrimDebugPrint("func[%s,%d] reset in progress \n", __func__, __LINE__);
    return FALSE;
  }
  if (adapter->HardwareReady != 0 && (flags & ZEK_FLAG_HALT_IN_PROGRESS) == 0) {
    if ((flags & ZEK_FLAG_NON_RECOVERABLE) != 0) {
      ZEK_LOG_FAILURE("Non recoverable error - remove\n");
      return TRUE;
    }
    if ((flags & ZEK_FLAG_HARDWARE_ERROR) != 0) {
      ZEK_LOG_FAILURE("hardware error - reset\n");
      return TRUE;
    }
    // Frames sat in the send ring without a completion for too long.
    if (ZekSendStalled(adapter)) return TRUE;
  }
  if (adapter->LinkDpcRunning != 0) return FALSE;
  // The link as the port's lane words report it now; a change is indicated.
  ZekRefreshLink(adapter);
  // Down after having been up: the sixth such check completes the waiting
  // sends, and asks for a reset when the adapter still holds frames.
  const bool down_after_up = adapter->LinkDown != 0 && adapter->LinkUpCount != 0;
  const bool reset = ZekSendLinkDownCheck(adapter, down_after_up) != FALSE;
  return reset && adapter->HardwareReady != 0 && (adapter->Flags & ZEK_FLAG_HALT_IN_PROGRESS) == 0 ? TRUE : FALSE;
}
