// Driver entry and unload, the driver's globals and its adapter list.
#include <cstring>

#include "miniport/adapter.h"
#include "miniport/bringup.h"
#include "miniport/control.h"
#include "miniport/datapath.h"
#include "miniport/hwobjects.h"
#include "miniport/nic_proxy.h"
#include "miniport/oid.h"

ZekDriverGlobals g_Zek;

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject,
                                                                       PUNICODE_STRING RegistryPath) {
  NDIS_MINIPORT_DRIVER_CHARACTERISTICS characteristics{};
  characteristics.Header = {NDIS_OBJECT_TYPE_MINIPORT_DRIVER_CHARACTERISTICS, 1, 136};
  characteristics.MajorNdisVersion = 6;
  characteristics.MinorNdisVersion = 0;
  characteristics.MajorDriverVersion = 1;
  characteristics.MinorDriverVersion = 14;
  characteristics.Flags = 0;
  characteristics.InitializeHandlerEx = ZekInitialize;
  characteristics.HaltHandlerEx = ZekHalt;
  characteristics.UnloadHandler = ZekUnload;
  characteristics.PauseHandler = ZekPause;
  characteristics.RestartHandler = ZekRestart;
  characteristics.DevicePnPEventNotifyHandler = MPPnPEventNotify;
  characteristics.ShutdownHandlerEx = ZekShutdown;
  characteristics.CancelOidRequestHandler = ZekCancelOidRequest;
  characteristics.OidRequestHandler = ZekOidRequest;
  characteristics.CheckForHangHandlerEx = MPCheckForHang;
  characteristics.ResetHandlerEx = ZekReset;
  characteristics.SendNetBufferListsHandler = ZekSendNetBufferLists;
  characteristics.ReturnNetBufferListsHandler = ZekReturnNetBufferLists;
  characteristics.CancelSendHandler = ZekCancelSend;

  NDIS_HANDLE handle = nullptr;
  const NDIS_STATUS status =
      NdisMRegisterMiniportDriver(DriverObject, RegistryPath, nullptr, &characteristics, &handle);
  if (status != NDIS_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("DriverEntry: NdisMRegisterMiniportDriver failed (0x%x)\n", static_cast<unsigned>(status));
    return status;
  }
  std::memset(&g_ZekBoards, 0, sizeof g_ZekBoards);
  g_Zek.ListHead = nullptr;
  g_Zek.ListTail = nullptr;
  g_Zek.AdapterCount = 0;
  OSPrimSyncInitSpinlockObject(&g_Zek.ListLock);
  OSPrimSyncInitSpinlockObject(&g_Zek.SharedResourceLock);
  OSPrimSyncInitSpinlockObject(&g_Zek.ThirdLock);
  std::memset(g_Zek.Boards, 0, sizeof g_Zek.Boards);
  ZekEepromLockInit();
  ZekBringUpLockInit();
  ZekOidDriverInit();
  g_Zek.DriverHandle = handle;
  const NDIS_STATUS device = ZekRegisterDevice();
  if (device != NDIS_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("DriverEntry: ZekRegisterDevice failed (0x%x)\n", static_cast<unsigned>(device));
    ZekUnload(DriverObject);
    return device;
  }
  return NDIS_STATUS_SUCCESS;
}

void ZekUnload(PDRIVER_OBJECT) {
  ZekDeregisterDevice();
  if (g_Zek.DriverHandle != nullptr) NdisMDeregisterMiniportDriver(g_Zek.DriverHandle);
  g_Zek.DriverHandle = nullptr;
  ZekFreeReleasedAdapterBlocks(TRUE);
  g_Zek.ListHead = nullptr;
  g_Zek.ListTail = nullptr;
  g_Zek.AdapterCount = 0;
  OSPrimSyncDestroySpinlockObject(&g_Zek.ListLock);
  OSPrimSyncDestroySpinlockObject(&g_Zek.SharedResourceLock);
  OSPrimSyncDestroySpinlockObject(&g_Zek.ThirdLock);
  ZekEepromLockFree();
  ZekBringUpLockFree();
  ZekOidDriverFree();
}

void ZekListAppend(ZEK_ADAPTER* adapter) {
  OSPrimSyncAcquireSpinlockObject(&g_Zek.ListLock);
  adapter->Next = nullptr;
  adapter->Prev = g_Zek.ListTail;
  if (g_Zek.ListTail != nullptr) {
    g_Zek.ListTail->Next = adapter;
  } else {
    g_Zek.ListHead = adapter;
  }
  g_Zek.ListTail = adapter;
  ++g_Zek.AdapterCount;
  adapter->ListLinked = TRUE;
  OSPrimSyncReleaseSpinlockObject(&g_Zek.ListLock);
}

void ZekListRemove(ZEK_ADAPTER* adapter) {
  OSPrimSyncAcquireSpinlockObject(&g_Zek.ListLock);
  if (adapter->ListLinked) {
    if (adapter->Prev != nullptr) {
      adapter->Prev->Next = adapter->Next;
    } else {
      g_Zek.ListHead = adapter->Next;
    }
    if (adapter->Next != nullptr) {
      adapter->Next->Prev = adapter->Prev;
    } else {
      g_Zek.ListTail = adapter->Prev;
    }
    adapter->Next = adapter->Prev = nullptr;
    adapter->ListLinked = FALSE;
    --g_Zek.AdapterCount;
  }
  OSPrimSyncReleaseSpinlockObject(&g_Zek.ListLock);
}

ZEK_ADAPTER* ZekFindAdapterByFunction(std::uint32_t function) {
  OSPrimSyncAcquireSpinlockObject(&g_Zek.ListLock);
  ZEK_ADAPTER* found = nullptr;
  for (ZEK_ADAPTER* a = g_Zek.ListHead; a != nullptr; a = a->Next) {
    if (a->PciFunction == function) {
      found = a;
      break;
    }
  }
  OSPrimSyncReleaseSpinlockObject(&g_Zek.ListLock);
  return found;
}
