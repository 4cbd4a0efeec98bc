// IP Helper for the processes of a simulated host (library zekiphlpapi):
// GetAdaptersInfo lists the host's network adapters from the list that
// zekhost keeps in the host directory (platform/iphlpapi/adapterlist.h).
#pragma once

#include <ctime>

#include "platform/common/win32error.h"
#include "platform/common/wintypes.h"

inline constexpr UINT MAX_ADAPTER_NAME_LENGTH = 256;
inline constexpr UINT MAX_ADAPTER_DESCRIPTION_LENGTH = 128;
inline constexpr UINT MAX_ADAPTER_ADDRESS_LENGTH = 8;
inline constexpr UINT MIB_IF_TYPE_ETHERNET = 6;

struct IP_ADDRESS_STRING {
  char String[16];
};
using IP_MASK_STRING = IP_ADDRESS_STRING;

struct IP_ADDR_STRING {
  IP_ADDR_STRING* Next;
  IP_ADDRESS_STRING IpAddress;
  IP_MASK_STRING IpMask;
  DWORD Context;
};
using PIP_ADDR_STRING = IP_ADDR_STRING*;

struct IP_ADAPTER_INFO {
  IP_ADAPTER_INFO* Next;
  DWORD ComboIndex;
  char AdapterName[MAX_ADAPTER_NAME_LENGTH + 4];
  char Description[MAX_ADAPTER_DESCRIPTION_LENGTH + 4];
  UINT AddressLength;
  BYTE Address[MAX_ADAPTER_ADDRESS_LENGTH];
  DWORD Index;
  UINT Type;
  UINT DhcpEnabled;
  PIP_ADDR_STRING CurrentIpAddress;
  IP_ADDR_STRING IpAddressList;
  IP_ADDR_STRING GatewayList;
  IP_ADDR_STRING DhcpServer;
  BOOL HaveWins;
  IP_ADDR_STRING PrimaryWinsServer;
  IP_ADDR_STRING SecondaryWinsServer;
  std::time_t LeaseObtained;
  std::time_t LeaseExpires;
};
using PIP_ADAPTER_INFO = IP_ADAPTER_INFO*;

static_assert(sizeof(IP_ADDR_STRING) == 48);
static_assert(sizeof(IP_ADAPTER_INFO) == 704);
static_assert(offsetof(IP_ADAPTER_INFO, Address) == 408 && offsetof(IP_ADAPTER_INFO, IpAddressList) == 440);

extern "C" {

// One record per adapter, chained by Next, in the buffer the caller gives;
// an adapter's first address is its native one, the second (when it has
// one) its SAN address, chained from IpAddressList in the same buffer.
// ERROR_BUFFER_OVERFLOW with the size needed in *pOutBufLen when the
// buffer is missing or short; ERROR_NO_DATA when the host has no adapter;
// ERROR_INVALID_PARAMETER without pOutBufLen.
DWORD GetAdaptersInfo(PIP_ADAPTER_INFO pAdapterInfo, PULONG pOutBufLen);

}  // extern "C"
