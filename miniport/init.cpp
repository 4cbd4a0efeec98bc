// MiniportInitializeEx and the PCI side of it (MpFindAdapter).
#include <cstring>

#include "miniport/adapter.h"
#include "miniport/bringup.h"
#include "miniport/control.h"
#include "miniport/datapath.h"
#include "miniport/hwobjects.h"
#include "miniport/oid.h"
#include "miniport/phy_setup.h"
#include "proxy/rdma/hw/config.h"

namespace {

constexpr ULONG kErrorValueMapFailed = 1537;
constexpr ULONG kErrorValueNoInterrupt = 1540;
constexpr ULONG kErrorValueNoMemory = 1541;
constexpr ULONG kErrorValueConfigRead = 1;
constexpr ULONG kErrorValueIdMismatch = 2;
constexpr ULONG kErrorValueCommand = 3;
constexpr std::uint32_t kMinEepromMajor = 4;
constexpr std::uint32_t kTuningOldEeprom = 6;

struct PciHeader {
  std::uint16_t VendorId;
  std::uint16_t DeviceId;
  std::uint16_t Command;
  std::uint16_t Status;
  std::uint8_t RevisionId;
  std::uint8_t ClassCode[3];
  std::uint8_t Other[0x2C - 0x0C];
  std::uint16_t SubsystemVendorId;
  std::uint16_t SubsystemId;
};
static_assert(offsetof(PciHeader, RevisionId) == 8);
static_assert(offsetof(PciHeader, SubsystemVendorId) == 0x2C);

}  // namespace

ZEK_ADAPTER* MpAllocateAdapter(NDIS_HANDLE handle) {
  auto* adapter = static_cast<ZEK_ADAPTER*>(
      NdisAllocateMemoryWithTagPriority(handle, sizeof(ZEK_ADAPTER), ZEK_POOL_TAG, NormalPoolPriority));
  if (adapter == nullptr) return nullptr;
  NdisZeroMemory(adapter, sizeof(ZEK_ADAPTER));
  adapter->MiniportAdapterHandle = handle;
  adapter->HwInfo = ZekAllocateHwInfo();
  if (adapter->HwInfo == nullptr) {
    NdisFreeMemory(adapter, sizeof(ZEK_ADAPTER), 0);
    return nullptr;
  }
  adapter->HwInfo->Device.MiniportAdapterHandle = handle;
  NdisAllocateSpinLock(&adapter->ResetLock);
  NdisAllocateSpinLock(&adapter->SendLock);
  NdisAllocateSpinLock(&adapter->AdapterLock);
  NdisAllocateSpinLock(&adapter->CcqLock);
  adapter->DpcBudgetMs = ZEK_DPC_BUDGET_MS;
  NdisInitializeEvent(&adapter->LinkDpcDone);
  NdisInitializeEvent(&adapter->RxReturnEvent);
  NdisInitializeEvent(&adapter->ResetDoneEvent);
  adapter->IoWorkItem = NdisAllocateIoWorkItem(handle);
  if (adapter->IoWorkItem == nullptr) {
    MpFreeAdapter(adapter);
    return nullptr;
  }
  return adapter;
}

NDIS_STATUS MpFindAdapter(ZEK_ADAPTER* adapter, PNDIS_RESOURCE_LIST resources) {
  NDIS_HANDLE handle = adapter->MiniportAdapterHandle;
  PciHeader header{};
  if (NdisMGetBusData(handle, PCI_WHICHSPACE_CONFIG, 0, &header, sizeof header) != sizeof header) {
    ZEK_LOG_FAILURE("MpFindAdapter: reading the PCI configuration failed\n");
    NdisWriteErrorLogEntry(handle, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, 1, kErrorValueConfigRead);
    return NDIS_STATUS_ADAPTER_NOT_FOUND;
  }
  // Both identifiers must be the adapter's.
  if (header.VendorId != ZEK_VENDOR_ID || header.DeviceId != ZEK_DEVICE_ID) {
    ZEK_LOG_FAILURE("VendorID/DeviceID don't match - %x/%x\n", header.VendorId, header.DeviceId);
    NdisWriteErrorLogEntry(handle, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, 1, kErrorValueIdMismatch);
    return NDIS_STATUS_ADAPTER_NOT_FOUND;
  }
  constexpr std::uint16_t kMemorySpace = 0x2, kBusMaster = 0x4;
  if ((header.Command & (kMemorySpace | kBusMaster)) != (kMemorySpace | kBusMaster)) {
    ZEK_LOG_FAILURE("Mem space / or bus master not enabled - %x/%x command[%x] \n", header.VendorId, header.DeviceId,
                    header.Command);
    NdisWriteErrorLogEntry(handle, NDIS_ERROR_CODE_ADAPTER_NOT_FOUND, 1, kErrorValueCommand);
    return NDIS_STATUS_ADAPTER_NOT_FOUND;
  }
  if (header.Command != ZEK_PCI_COMMAND_WANTED) {
    std::uint16_t command = static_cast<std::uint16_t>((header.Command & 0xFEFF) | ZEK_PCI_COMMAND_WANTED);
    if (NdisMSetBusData(handle, PCI_WHICHSPACE_CONFIG, 4, &command, sizeof command) != sizeof command ||
        NdisMGetBusData(handle, PCI_WHICHSPACE_CONFIG, 4, &command, sizeof command) != sizeof command) {
      ZEK_LOG_FAILURE("MpFindAdapter: rewriting the command register failed\n");
    }
  }
  std::uint32_t function_register = 0;
  if (NdisMGetBusData(handle, PCI_WHICHSPACE_CONFIG, ZEK_PCI_FUNCTION_REGISTER, &function_register,
                      sizeof function_register) != sizeof function_register) {
    ZEK_LOG_FAILURE("MpFindAdapter: reading the function register failed\n");
  }
  adapter->FunctionRegister = function_register;
  adapter->PciFunction = function_register & 0x7;
  adapter->FunctionBits3to7 = (function_register >> 3) & 0x1F;
  adapter->FunctionBits8to15 = (function_register >> 8) & 0xFF;
  adapter->ChipRevision = header.RevisionId;
  adapter->SubsystemVendorId = header.SubsystemVendorId;
  adapter->SubsystemId = header.SubsystemId;
  adapter->HwInfo->Device.PciFunction = adapter->PciFunction;

  bool interrupt = false;
  bool window0 = false, window1 = false;
  for (ULONG i = 0; resources != nullptr && i < resources->Count; ++i) {
    const CM_PARTIAL_RESOURCE_DESCRIPTOR& d = resources->PartialDescriptors[i];
    if (d.Type == CmResourceTypeInterrupt) {
      interrupt = true;
      adapter->InterruptLevel = d.u.Interrupt.Level;
      adapter->InterruptVector = d.u.Interrupt.Vector;
      adapter->InterruptAffinity = d.u.Interrupt.Affinity;
      adapter->MessageInterruptsPossible = TRUE;
    } else if (d.Type == CmResourceTypeMemory && d.u.Memory.Length != 0) {
      if (!window0 && d.u.Memory.Length == ZEK_REGISTER_WINDOW_BYTES) {
        adapter->Window[0].Pa = d.u.Memory.Start;
        adapter->Window[0].Length = d.u.Memory.Length;
        window0 = true;
      } else if (!window1) {
        adapter->Window[1].Pa = d.u.Memory.Start;
        adapter->Window[1].Length = d.u.Memory.Length;
        window1 = true;
      } else if (adapter->Window[ZEK_CONFIG_WINDOW].Length == 0) {
        adapter->Window[ZEK_CONFIG_WINDOW].Pa = d.u.Memory.Start;
        adapter->Window[ZEK_CONFIG_WINDOW].Length = d.u.Memory.Length;
      } else {
        OSPrimDebugPrint("MpFindAdapter: Bar2 is enabled but not used\n");
      }
    }
  }
  if (!interrupt || !window0 || !window1) {
    ZEK_LOG_FAILURE("MpFindAdapter: resources missing (interrupt %d, windows %d/%d)\n", interrupt, window0, window1);
    NdisWriteErrorLogEntry(handle, NDIS_ERROR_CODE_RESOURCE_CONFLICT, 1,
                           interrupt ? kErrorValueNoMemory : kErrorValueNoInterrupt);
    return NDIS_STATUS_RESOURCE_CONFLICT;
  }
  return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS MpMapWindows(ZEK_ADAPTER* adapter) {
  for (auto& window : adapter->Window) {
    if (window.Length == 0) continue;  // no configuration window
    PVOID va = nullptr;
    const NDIS_STATUS status = NdisMMapIoSpace(&va, adapter->MiniportAdapterHandle, window.Pa, window.Length);
    if (status != NDIS_STATUS_SUCCESS) {
      ZEK_LOG_FAILURE("ZekInitialize: NdisMMapIoSpace failed (0x%x)\n", static_cast<unsigned>(status));
      NdisWriteErrorLogEntry(adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_RESOURCE_CONFLICT, 1,
                             kErrorValueMapFailed);
      return status;
    }
    window.Va = static_cast<volatile std::uint8_t*>(va);
  }
  return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS ZekInitialize(NDIS_HANDLE handle, NDIS_HANDLE, PNDIS_MINIPORT_INIT_PARAMETERS parameters) {
  // 1. The adapter block and its hardware information.
  ZEK_ADAPTER* adapter = MpAllocateAdapter(handle);
  if (adapter == nullptr) {
    ZEK_LOG_FAILURE("func[%s,%d] failed to allocate memory for the adapter \n", __func__, __LINE__);
    return NDIS_STATUS_FAILURE;
  }
  adapter->NdisState = ZEK_STATE_INITIALIZING;
  NDIS_STATUS status = NDIS_STATUS_SUCCESS;

  do {
    // 2. Registration attributes.
    NDIS_MINIPORT_ADAPTER_REGISTRATION_ATTRIBUTES registration{};
    registration.Header = {NDIS_OBJECT_TYPE_MINIPORT_ADAPTER_REGISTRATION_ATTRIBUTES, 1, 28};
    registration.MiniportAdapterContext = adapter;
    registration.AttributeFlags = NDIS_MINIPORT_ATTRIBUTES_HARDWARE_DEVICE | NDIS_MINIPORT_ATTRIBUTES_BUS_MASTER;
    registration.CheckForHangTimeInSeconds = 1;
    registration.InterfaceType = NdisInterfacePci;
    status = NdisMSetMiniportAttributes(handle, reinterpret_cast<PNDIS_MINIPORT_ADAPTER_ATTRIBUTES>(&registration));
    if (status != NDIS_STATUS_SUCCESS) break;

    // 3. The registry.
    NDIS_CONFIGURATION_OBJECT object{};
    object.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof object};
    object.NdisHandle = handle;
    NDIS_HANDLE configuration = nullptr;
    status = NdisOpenConfigurationEx(&object, &configuration);
    if (status != NDIS_STATUS_SUCCESS) {
      ZEK_LOG_FAILURE("ZekInitialize: NdisOpenConfigurationEx failed (0x%x)\n", static_cast<unsigned>(status));
      break;
    }
    status = ZekReadRegParameters(adapter, configuration);
    if (status != NDIS_STATUS_SUCCESS) break;

    // 4. PCI configuration and resources.
    status = MpFindAdapter(adapter, parameters != nullptr ? parameters->AllocatedResources : nullptr);
    if (status != NDIS_STATUS_SUCCESS) break;

    // 5. The register windows.
    status = MpMapWindows(adapter);
    if (status != NDIS_STATUS_SUCCESS) break;

    // 6. Link speed and frame sizes.
    adapter->LinkSpeed = 10'000'000'000ull;
    adapter->MaxFrameSize = adapter->Proxy.JumboFrames ? 9000 : 1500;
    adapter->LookaheadSize = adapter->MaxFrameSize;
    adapter->MtuSize = adapter->Proxy.VlanEnabled != 0 ? adapter->MaxFrameSize - 4 : adapter->MaxFrameSize;
    // The counters' totals and the offload configuration.
    status = ZekOidAdapterInit(adapter);
    if (status != NDIS_STATUS_SUCCESS) break;

    // 7. The data path's memory (DMA, send slots, receive buffers), then
    // the base object and the per-board objects.
    status = NICAllocAdapterMemory(adapter);
    if (status != NDIS_STATUS_SUCCESS) break;
    if (CommonInitBaseObject(adapter) != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("ZekInitialize: CommonInitBaseObject failed\n");
      status = NDIS_STATUS_FAILURE;
      break;
    }
    // 8. An EEPROM older than major version 4 is refused unless Tuning is 6.
    if (adapter->EepromMajor < kMinEepromMajor && adapter->Proxy.Tuning != kTuningOldEeprom) {
      ZEK_LOG_FAILURE("Function[%s] LINE[%d] Forcing Unload EEMajorNumber[x%x] Tuning[x%x] \n", __func__, __LINE__,
                      adapter->EepromMajor, adapter->Proxy.Tuning);
      NdisWriteErrorLogEntry(handle, NDIS_ERROR_CODE_DRIVER_FAILURE, 2, adapter->EepromMajor,
                             static_cast<ULONG>(__LINE__));
      status = NDIS_STATUS_FAILURE;
      break;
    }
    // 9. The queues.
    if (mifh_hw_init(adapter) != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("ZekInitialize: mifh_hw_init failed\n");
      status = NDIS_STATUS_FAILURE;
      break;
    }
    adapter->HwInfo->ControlDrain = ZekControlDrain;
    adapter->HwInfo->ControlDrainContext = adapter;
    // The PHY, here at PASSIVE_LEVEL rather than in the link timer's DPC (an
    // SFP+ PHY's firmware load waits for seconds); then the offload attributes.
    ZekPhySetup(&adapter->HwInfo->Device);
    status = ZekSetOffloadAttributes(adapter);
    if (status != NDIS_STATUS_SUCCESS) break;
    // 10. The link is down until the adapter reports it up.
    adapter->LinkDown = 1;
    adapter->LinkChanged = 1;
    adapter->LinkIndicated = ZEK_LINK_INDICATED_DOWN;
    // 11. The interrupt; the hardware's post-initialisation enables it.
    status = ZekRegisterInterrupt(adapter);
    if (status != NDIS_STATUS_SUCCESS) break;
    // 12. General attributes with the supported-OID list.
    status = ZekSetGeneralAttributes(adapter);
    if (status != NDIS_STATUS_SUCCESS) break;
    // 13. The NIC up with the current address.
    if (mifh_hw_init_zek_nic(&adapter->HwInfo->Device, adapter->CurrentMac, adapter->PciFunction) != ZEK_STATUS_PASS) {
      status = NDIS_STATUS_FAILURE;
      break;
    }
    // The NIC is up: the proxy driver's link test may report the port's link.
    ZekSetLinkAllowed(&adapter->HwInfo->Device, true);
    // The receive ring filled (one slot stays empty).
    CommonRePostRcvBuffers(adapter, adapter->Proxy.RecvQueueSize);
    // 14. The SerDes maintenance (chip revision 4).
    status = ZekSerdesTimerStart(adapter);
    if (status != NDIS_STATUS_SUCCESS) break;
    // 15. Paused; the link timer finishes the bring-up a second from now.
    adapter->DataPath = ZEK_DATAPATH_PAUSED;
    adapter->NdisState = ZEK_STATE_PAUSED;
    NDIS_TIMER_CHARACTERISTICS timer{};
    timer.Header = {NDIS_OBJECT_TYPE_TIMER_CHARACTERISTICS, 1, 24};
    timer.AllocationTag = ZEK_POOL_TAG;
    timer.TimerFunction = LinkDetectionDpc;
    timer.FunctionContext = adapter;
    status = NdisAllocateTimerObject(handle, &timer, &adapter->LinkTimer);
    if (status != NDIS_STATUS_SUCCESS) break;
    LARGE_INTEGER due{};
    due.QuadPart = -10'000'000LL;  // 1 s, relative
    NdisSetTimerObject(adapter->LinkTimer, due, 0, nullptr);
  } while (false);

  if (status != NDIS_STATUS_SUCCESS) {
    MpFreeAdapter(adapter);
    return status;
  }
  ZekListAppend(adapter);
  ZekRegisterDevice();  // again, when the last halt took it away
  ZekRegisterAdapterDevice(adapter);
  return NDIS_STATUS_SUCCESS;
}
