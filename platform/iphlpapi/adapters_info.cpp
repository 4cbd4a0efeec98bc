// GetAdaptersInfo over the host's adapter list.
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/iphlpapi/adapterlist.h"
#include "platform/iphlpapi/iphlpapi.h"

namespace {

void put(IP_ADDR_STRING* entry, const std::string& ip, const std::string& mask) {
  std::memset(entry, 0, sizeof *entry);
  std::strncpy(entry->IpAddress.String, ip.c_str(), sizeof entry->IpAddress.String - 1);
  std::strncpy(entry->IpMask.String, mask.c_str(), sizeof entry->IpMask.String - 1);
}

}  // namespace

DWORD GetAdaptersInfo(PIP_ADAPTER_INFO pAdapterInfo, PULONG pOutBufLen) {
  if (pOutBufLen == nullptr) return ERROR_INVALID_PARAMETER;
  const auto adapters = plat::iphlp::host_adapters();
  if (adapters.empty()) return ERROR_NO_DATA;
  // The records first, then the second addresses they chain to.
  std::size_t extra = 0;
  for (const auto& a : adapters) extra += (a.native && a.san) ? 1 : 0;
  const std::size_t needed = adapters.size() * sizeof(IP_ADAPTER_INFO) + extra * sizeof(IP_ADDR_STRING);
  if (pAdapterInfo == nullptr || *pOutBufLen < needed) {
    *pOutBufLen = static_cast<ULONG>(needed);
    return ERROR_BUFFER_OVERFLOW;
  }
  std::memset(pAdapterInfo, 0, needed);
  auto* more = reinterpret_cast<IP_ADDR_STRING*>(pAdapterInfo + adapters.size());
  for (std::size_t i = 0; i < adapters.size(); ++i) {
    const auto& a = adapters[i];
    IP_ADAPTER_INFO& info = pAdapterInfo[i];
    info.Next = i + 1 < adapters.size() ? &pAdapterInfo[i + 1] : nullptr;
    info.ComboIndex = a.index;
    info.Index = a.index;
    std::strncpy(info.AdapterName, a.name.c_str(), sizeof info.AdapterName - 1);
    std::strncpy(info.Description, a.description.c_str(), sizeof info.Description - 1);
    info.AddressLength = static_cast<UINT>(std::min<std::size_t>(a.mac.size(), MAX_ADAPTER_ADDRESS_LENGTH));
    std::memcpy(info.Address, a.mac.data(), info.AddressLength);
    info.Type = MIB_IF_TYPE_ETHERNET;
    const auto* first = a.native ? &*a.native : a.san ? &*a.san : nullptr;
    if (first != nullptr) {
      put(&info.IpAddressList, first->ip, first->mask);
    } else {
      put(&info.IpAddressList, "0.0.0.0", "0.0.0.0");
    }
    if (a.native && a.san) {
      put(more, a.san->ip, a.san->mask);
      info.IpAddressList.Next = more++;
    }
    put(&info.GatewayList, "0.0.0.0", "0.0.0.0");
    put(&info.DhcpServer, "", "");
    put(&info.PrimaryWinsServer, "", "");
    put(&info.SecondaryWinsServer, "", "");
  }
  *pOutBufLen = static_cast<ULONG>(needed);
  return ERROR_SUCCESS;
}
