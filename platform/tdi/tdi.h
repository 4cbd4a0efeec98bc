// The TDI stand-in as a transport client sees it: PnP client registration
// (version 2.0 handlers) and the address records it is told about.
//
// A client registers its handlers once; it is then told, at PASSIVE_LEVEL on
// the announcing thread, of every IPv4 address that an adapter's interface
// has (those present at registration first) and of every address that goes.
// The interface is named "\Device\Tcpip_" followed by the adapter's name.
// Deregistration waits for a delivery in progress, so no handler runs once
// it has returned; it fails for a handle it does not know.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/kernel/driver.h"

#pragma pack(push, 1)
struct TDI_ADDRESS_IP {
  USHORT sin_port;
  ULONG in_addr;  // network byte order
  UCHAR sin_zero[8];
};
struct TA_ADDRESS {
  USHORT AddressLength;  // bytes of Address: 14 for IPv4
  USHORT AddressType;    // TDI_ADDRESS_TYPE_IP
  UCHAR Address[14];
};
#pragma pack(pop)
static_assert(sizeof(TDI_ADDRESS_IP) == 14);
static_assert(offsetof(TA_ADDRESS, Address) == 4);
using PTA_ADDRESS = TA_ADDRESS*;

inline constexpr USHORT TDI_ADDRESS_TYPE_IP = 2;
inline constexpr USHORT TDI_ADDRESS_LENGTH_IP = 14;
inline constexpr const WCHAR* TDI_TCPIP_DEVICE_PREFIX = u"\\Device\\Tcpip_";
inline constexpr std::size_t TDI_TCPIP_DEVICE_PREFIX_CHARS = 14;

struct TDI_PNP_CONTEXT {
  USHORT ContextSize;
  USHORT ContextType;
  UCHAR ContextData[1];
};
using PTDI_PNP_CONTEXT = TDI_PNP_CONTEXT*;

// Power events: 0 set power, 1 query power, others (3 to 7, 13...) informational.
struct NET_PNP_EVENT {
  ULONG NetEvent;
  PVOID Buffer;
  ULONG BufferLength;
};
using PNET_PNP_EVENT = NET_PNP_EVENT*;

using TDI_PNP_POWER_HANDLER = NTSTATUS (*)(PUNICODE_STRING DeviceName, PNET_PNP_EVENT PowerEvent,
                                           PTDI_PNP_CONTEXT Context1, PTDI_PNP_CONTEXT Context2);
using TDI_ADD_ADDRESS_HANDLER_V2 = void (*)(PTA_ADDRESS Address, PUNICODE_STRING DeviceName, PTDI_PNP_CONTEXT Context);
using TDI_DEL_ADDRESS_HANDLER_V2 = void (*)(PTA_ADDRESS Address, PUNICODE_STRING DeviceName, PTDI_PNP_CONTEXT Context);

struct TDI_CLIENT_INTERFACE_INFO {
  UCHAR MajorTdiVersion;  // 2
  UCHAR MinorTdiVersion;  // 0
  USHORT Unused;
  PUNICODE_STRING ClientName;
  TDI_PNP_POWER_HANDLER PnPPowerHandler;
  PVOID BindingHandler;  // not used by version 2 clients here: must be null
  TDI_ADD_ADDRESS_HANDLER_V2 AddAddressHandlerV2;
  TDI_DEL_ADDRESS_HANDLER_V2 DelAddressHandlerV2;
};
using PTDI_CLIENT_INTERFACE_INFO = TDI_CLIENT_INTERFACE_INFO*;

// The client routines have C linkage: a driver finds them by name.
extern "C" {
// STATUS_INVALID_PARAMETER for a record that is not version 2.0 with both
// address handlers; STATUS_DEVICE_NOT_READY when the host has no TDI.
NTSTATUS TdiRegisterPnPHandlers(PTDI_CLIENT_INTERFACE_INFO ClientInterfaceInfo, ULONG InterfaceInfoSize,
                                HANDLE* BindingHandle);
NTSTATUS TdiDeregisterPnPHandlers(HANDLE BindingHandle);
}  // extern "C"
