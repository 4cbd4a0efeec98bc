// A miniport that does nothing but come up: each adapter reports the MAC
// address its "NetworkAddress" keyword gives (02-00-00-00-00-0F without
// one), so that a host has adapters to list.
#include <cstring>

#include "platform/ndis/ndis.h"

namespace {

NDIS_HANDLE g_driver = nullptr;

struct Adapter {
  NDIS_HANDLE handle;
};

NDIS_STATUS initialize(NDIS_HANDLE handle, NDIS_HANDLE, PNDIS_MINIPORT_INIT_PARAMETERS) {
  auto* adapter =
      static_cast<Adapter*>(NdisAllocateMemoryWithTagPriority(handle, sizeof(Adapter), 0x704D7354, NormalPoolPriority));
  if (adapter == nullptr) return NDIS_STATUS_RESOURCES;
  adapter->handle = handle;
  NDIS_MINIPORT_ADAPTER_REGISTRATION_ATTRIBUTES registration{};
  registration.Header = {NDIS_OBJECT_TYPE_MINIPORT_ADAPTER_REGISTRATION_ATTRIBUTES, 1, 28};
  registration.MiniportAdapterContext = adapter;
  registration.AttributeFlags = NDIS_MINIPORT_ATTRIBUTES_HARDWARE_DEVICE;
  registration.InterfaceType = NdisInterfacePci;
  NDIS_STATUS status =
      NdisMSetMiniportAttributes(handle, reinterpret_cast<PNDIS_MINIPORT_ADAPTER_ATTRIBUTES>(&registration));
  if (status != NDIS_STATUS_SUCCESS) {
    NdisFreeMemory(adapter, sizeof *adapter, 0);
    return status;
  }

  UCHAR mac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0F};
  NDIS_CONFIGURATION_OBJECT object{{NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof(NDIS_CONFIGURATION_OBJECT)}, handle, 0};
  NDIS_HANDLE config = nullptr;
  if (NdisOpenConfigurationEx(&object, &config) == NDIS_STATUS_SUCCESS) {
    PVOID address = nullptr;
    UINT length = 0;
    NdisReadNetworkAddress(&status, &address, &length, config);
    if (status == NDIS_STATUS_SUCCESS && length == sizeof mac) std::memcpy(mac, address, sizeof mac);
    NdisCloseConfiguration(config);
  }
  NDIS_MINIPORT_ADAPTER_GENERAL_ATTRIBUTES general{};
  general.Header = {NDIS_OBJECT_TYPE_MINIPORT_ADAPTER_GENERAL_ATTRIBUTES, 1, sizeof general};
  general.MtuSize = 1500;
  general.MacAddressLength = sizeof mac;
  std::memcpy(general.PermanentMacAddress, mac, sizeof mac);
  std::memcpy(general.CurrentMacAddress, mac, sizeof mac);
  status = NdisMSetMiniportAttributes(handle, reinterpret_cast<PNDIS_MINIPORT_ADAPTER_ATTRIBUTES>(&general));
  if (status != NDIS_STATUS_SUCCESS) NdisFreeMemory(adapter, sizeof *adapter, 0);
  return status;
}

void halt(NDIS_HANDLE context, NDIS_HALT_ACTION) { NdisFreeMemory(context, sizeof(Adapter), 0); }
NDIS_STATUS restart(NDIS_HANDLE, PNDIS_MINIPORT_RESTART_PARAMETERS) { return NDIS_STATUS_SUCCESS; }
NDIS_STATUS pause(NDIS_HANDLE, PNDIS_MINIPORT_PAUSE_PARAMETERS) { return NDIS_STATUS_SUCCESS; }
NDIS_STATUS oid(NDIS_HANDLE, PNDIS_OID_REQUEST) { return NDIS_STATUS_NOT_SUPPORTED; }
void unload(PDRIVER_OBJECT) { NdisMDeregisterMiniportDriver(g_driver); }

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  NDIS_MINIPORT_DRIVER_CHARACTERISTICS c{};
  c.Header = {NDIS_OBJECT_TYPE_MINIPORT_DRIVER_CHARACTERISTICS, 1, 136};
  c.MajorNdisVersion = 6;
  c.InitializeHandlerEx = initialize;
  c.HaltHandlerEx = halt;
  c.UnloadHandler = unload;
  c.PauseHandler = pause;
  c.RestartHandler = restart;
  c.OidRequestHandler = oid;
  return NdisMRegisterMiniportDriver(driver, path, nullptr, &c, &g_driver);
}
