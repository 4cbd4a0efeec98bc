// The adapter's registry configuration: the keyword table, the network
// address override, the SAN address and mask, and the device names.
#include <cstddef>
#include <cstring>

#include "miniport/adapter.h"

#define ZEK_KW(text) NDIS_STRING_CONST(text)
// The offset and size of a value's field in the NIC-proxy record.
#define ZEK_KW_FIELD(field) offsetof(ZekProxyRecord, field), sizeof(ZekProxyRecord::field)

const ZekKeyword ZekKeywordTable[ZEK_KEYWORD_COUNT] = {
    {ZEK_KW("AeqElem"), 0, ZEK_KW_FIELD(AeqElem), 0x2000, 0x20, 0x20000},
    {ZEK_KW("CeqElem"), 0, ZEK_KW_FIELD(CeqElem), 0x400, 0x20, 0x8000},
    {ZEK_KW("Ceq2Elem"), 0, ZEK_KW_FIELD(Ceq2Elem), 0x400, 0x20, 0x8000},
    {ZEK_KW("CeqRssElem"), 0, ZEK_KW_FIELD(CeqRssElem), 0x400, 0x20, 0x8000},
    {ZEK_KW("ControlCompQElem"), 0, ZEK_KW_FIELD(ControlCompQElem), 0x200, 0x20, 0x200},
    {ZEK_KW("ContrlQpElem"), 0, ZEK_KW_FIELD(ContrlQpElem), 0x200, 0x20, 0x200},
    {ZEK_KW("SendQueueSize"), 0, ZEK_KW_FIELD(SendQueueSize), 0x200, 0x20, 0x200},
    {ZEK_KW("RecvQueueSize"), 0, ZEK_KW_FIELD(RecvQueueSize), 0x200, 0x20, 0x200},
    {ZEK_KW("OffloadEnable"), 0, ZEK_KW_FIELD(OffloadEnable), 1, 0, 1},
    {ZEK_KW("DebugLevel"), 0, ZEK_KW_FIELD(DebugLevel), 0, 0, 0xFFFFFFFF},
    {ZEK_KW("Tuning"), 0, ZEK_KW_FIELD(Tuning), 4, 0, 9},
    {ZEK_KW("LimitMaxReadReqSize"), 0, ZEK_KW_FIELD(LimitMaxReadReqSize), 0, 0, 1},
    {ZEK_KW("JumboFrames"), 0, ZEK_KW_FIELD(JumboFrames), 0, 0, 1},
    {ZEK_KW("LSO"), 0, ZEK_KW_FIELD(Lso), 0, 0, 1},
    {ZEK_KW("MACPause"), 0, ZEK_KW_FIELD(MacPause), 0, 0, 1},
    {ZEK_KW("VlanEnabled"), 0, ZEK_KW_FIELD(VlanEnabled), 0, 0, 0xFFF},
    {ZEK_KW("DHCP0"), 0, ZEK_KW_FIELD(Dhcp0), 0, 0, 1},
    {ZEK_KW("DHCP1"), 0, ZEK_KW_FIELD(Dhcp1), 0, 0, 1},
    {ZEK_KW("AlignHeaders"), 0, ZEK_KW_FIELD(AlignHeaders), 1, 0, 1},
    {ZEK_KW("RDMAOOO"), 0, ZEK_KW_FIELD(RdmaOoo), 0, 0, 1},
    {ZEK_KW("ToeSendQueueSize"), 0, ZEK_KW_FIELD(ToeSendQueueSize), 3, 0, 3},
    {ZEK_KW("ToeRecvQueueSize"), 0, ZEK_KW_FIELD(ToeRecvQueueSize), 3, 0, 3},
    {ZEK_KW("ToeImmediateAck"), 0, ZEK_KW_FIELD(ToeImmediateAck), 0, 0, 1},
    {ZEK_KW("ToeWindowUpdateFrequency"), 0, ZEK_KW_FIELD(ToeWindowUpdateFrequency), 0, 0, 3},
};

namespace {

constexpr std::uint32_t kAllOnes = 0xFFFFFFFF;

// Stores a value into its field, whose place and size the entry took from
// the record.
void store(ZEK_ADAPTER* adapter, const ZekKeyword& entry, std::uint32_t value) {
  std::uint8_t* at = reinterpret_cast<std::uint8_t*>(&adapter->Proxy) + entry.Offset;
  switch (entry.Size) {
    case 1:
      *at = static_cast<std::uint8_t>(value);
      break;
    case 2: {
      const auto v = static_cast<std::uint16_t>(value);
      std::memcpy(at, &v, 2);
      break;
    }
    default:
      std::memcpy(at, &value, 4);
      break;
  }
}

// Ring sizes that the queues built from them accept; any other value in
// the keyword's range would fail the bring-up, so it falls back to the
// default instead. The NIC rings take 32 or 512 slots (their slot indices
// are masked with size - 1); the control queue pair 32, 128 or 512.
bool ring_size_usable(std::uint32_t offset, std::uint32_t value) {
  switch (offset) {
    case offsetof(ZekProxyRecord, SendQueueSize):
    case offsetof(ZekProxyRecord, RecvQueueSize):
      return value == 32 || value == 512;
    case offsetof(ZekProxyRecord, ContrlQpElem):
      return value == 32 || value == 128 || value == 512;
    default:
      return true;
  }
}

// Reads a string keyword into an 8-bit buffer; false when absent, not a
// string, or `limit` bytes or longer (in UTF-16).
bool read_short_string(NDIS_HANDLE configuration, NDIS_STRING keyword, std::uint32_t limit, char* out,
                       std::size_t out_size) {
  NDIS_STATUS status;
  PNDIS_CONFIGURATION_PARAMETER parameter = nullptr;
  NdisReadConfiguration(&status, &parameter, configuration, &keyword, NdisParameterString);
  if (status != NDIS_STATUS_SUCCESS || parameter == nullptr || parameter->ParameterType != NdisParameterString) {
    return false;
  }
  const NDIS_STRING& text = parameter->ParameterData.StringData;
  if (text.Length >= limit) return false;
  const std::size_t chars = text.Length / 2;
  if (chars + 1 > out_size) return false;
  for (std::size_t i = 0; i < chars; ++i) {
    const WCHAR c = text.Buffer[i];
    out[i] = c < 0x80 ? static_cast<char>(c) : '?';
  }
  out[chars] = 0;
  return true;
}

// A string keyword as UTF-16 into out (with its terminator); false when
// absent, not a string, or too long.
bool read_wide_string(NDIS_HANDLE configuration, NDIS_STRING keyword, WCHAR* out, std::size_t out_chars) {
  NDIS_STATUS status;
  PNDIS_CONFIGURATION_PARAMETER parameter = nullptr;
  NdisReadConfiguration(&status, &parameter, configuration, &keyword, NdisParameterString);
  if (status != NDIS_STATUS_SUCCESS || parameter == nullptr || parameter->ParameterType != NdisParameterString) {
    return false;
  }
  const std::size_t chars = parameter->ParameterData.StringData.Length / 2;
  if (chars + 1 > out_chars) return false;
  std::memcpy(out, parameter->ParameterData.StringData.Buffer, chars * 2);
  out[chars] = 0;
  return true;
}

bool append(WCHAR* out, std::size_t out_chars, std::size_t* at, const WCHAR* text) {
  for (; *text != 0; ++text) {
    if (*at + 1 >= out_chars) return false;
    out[(*at)++] = *text;
  }
  out[*at] = 0;
  return true;
}

// The per-adapter device's names: "\Device\" and "\DosDevices\" followed by
// NameDevPrefix (or "VELMORIK_") and NetCfgInstanceId.
void prepare_device_names(ZEK_ADAPTER* adapter, NDIS_HANDLE configuration) {
  adapter->DeviceNamesSet = FALSE;
  if (!read_wide_string(configuration, NDIS_STRING_CONST("NetCfgInstanceId"), adapter->InstanceId,
                        sizeof adapter->InstanceId / sizeof(WCHAR)) ||
      adapter->InstanceId[0] == 0) {
    ZEK_LOG_FAILURE("ZekReadRegParameters: NetCfgInstanceId is missing or not a string\n");
    return;
  }
  WCHAR prefix[32];
  if (!read_wide_string(configuration, NDIS_STRING_CONST("NameDevPrefix"), prefix, sizeof prefix / sizeof(WCHAR))) {
    std::memcpy(prefix, u"VELMORIK_", sizeof(u"VELMORIK_"));
  }
  std::size_t device = 0, symbolic = 0;
  const std::size_t room = sizeof adapter->DeviceName / sizeof(WCHAR);
  if (append(adapter->DeviceName, room, &device, u"\\Device\\") && append(adapter->DeviceName, room, &device, prefix) &&
      append(adapter->DeviceName, room, &device, adapter->InstanceId) &&
      append(adapter->SymbolicName, room, &symbolic, u"\\DosDevices\\") &&
      append(adapter->SymbolicName, room, &symbolic, prefix) &&
      append(adapter->SymbolicName, room, &symbolic, adapter->InstanceId)) {
    adapter->DeviceNamesSet = TRUE;
  } else {
    ZEK_LOG_FAILURE("ZekReadRegParameters: the device names do not fit\n");
    adapter->DeviceName[0] = 0;
    adapter->SymbolicName[0] = 0;
  }
}

}  // namespace

std::uint32_t ZekInetAddr(const char* text) {
  if (text == nullptr) return kAllOnes;
  std::uint32_t parts[4] = {};
  unsigned count = 0;
  const char* p = text;
  for (;;) {
    std::uint64_t value = 0;
    while (*p >= '0' && *p <= '9') {
      value = value * 10 + static_cast<unsigned>(*p - '0');
      // A number that does not fit 32 bits is refused, not wrapped.
      if (value > 0xFFFFFFFFull) return kAllOnes;
      ++p;
    }
    if (*p == '.') {
      if (count >= 3 || value > 255) return kAllOnes;
      parts[count++] = static_cast<std::uint32_t>(value);
      ++p;
      continue;
    }
    if (*p != 0) return kAllOnes;
    parts[count++] = static_cast<std::uint32_t>(value);
    break;
  }
  switch (count) {
    case 1:
      return parts[0];
    case 2:
      return parts[1] > 0xFFFFFF ? kAllOnes : parts[0] << 24 | parts[1];
    case 3:
      return parts[2] > 0xFFFF ? kAllOnes : parts[0] << 24 | parts[1] << 16 | parts[2];
    default:
      return parts[3] > 255 ? kAllOnes : parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | parts[3];
  }
}

NDIS_STATUS ZekReadRegParameters(ZEK_ADAPTER* adapter, NDIS_HANDLE configuration) {
  NDIS_STATUS result = NDIS_STATUS_SUCCESS;
  // 1. The keyword table: missing or out-of-range values take the default.
  for (const ZekKeyword& entry : ZekKeywordTable) {
    NDIS_STATUS status;
    PNDIS_CONFIGURATION_PARAMETER parameter = nullptr;
    NDIS_STRING keyword = entry.Keyword;
    NdisReadConfiguration(&status, &parameter, configuration, &keyword, NdisParameterInteger);
    std::uint32_t value = entry.Default;
    if (status != NDIS_STATUS_SUCCESS || parameter == nullptr ||
        (parameter->ParameterType != NdisParameterInteger && parameter->ParameterType != NdisParameterHexInteger)) {
      if (entry.Required) {
        ZEK_LOG_FAILURE("ZekReadRegParameters: required keyword missing\n");
        result = NDIS_STATUS_FAILURE;
        break;
      }
    } else {
      const std::uint32_t read = parameter->ParameterData.IntegerData;
      if (read >= entry.Minimum && read <= entry.Maximum && ring_size_usable(entry.Offset, read)) value = read;
    }
    store(adapter, entry, value);
  }

  if (result == NDIS_STATUS_SUCCESS) {
    // 2. NetworkAddress. A refused override is logged and the read goes on.
    NDIS_STATUS status;
    PVOID address = nullptr;
    UINT length = 0;
    NdisReadNetworkAddress(&status, &address, &length, configuration);
    if (status == NDIS_STATUS_SUCCESS && length == 6 && address != nullptr) {
      const auto* mac = static_cast<const std::uint8_t*>(address);
      if (mac[0] & 0x01) {
        ZEK_LOG_FAILURE("Overriding NetworkAddress can't be Multicast - %02x-%02x-%02x-%02x-%02x-%02x\n", mac[0],
                        mac[1], mac[2], mac[3], mac[4], mac[5]);
      } else if (!(mac[0] & 0x02)) {
        ZEK_LOG_FAILURE("Overriding NetworkAddress is not Locally Administered - %02x-%02x-%02x-%02x-%02x-%02x\n",
                        mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
      } else {
        std::memcpy(adapter->CurrentMac, mac, 6);
        adapter->NetworkAddressOverride = TRUE;
      }
    }

    // 3. The SAN address and mask. Text that does not parse leaves 0 (no
    // address) rather than the broadcast address.
    struct {
      NDIS_STRING keyword;
      std::uint32_t* target;
    } addresses[] = {{NDIS_STRING_CONST("IPADDRESS0"), &adapter->Proxy.Shared.SanIpv4Address},
                     {NDIS_STRING_CONST("NetMask0"), &adapter->Proxy.Shared.SanNetMask}};
    for (auto& a : addresses) {
      *a.target = 0;
      char text[16];
      if (!read_short_string(configuration, a.keyword, 31, text, sizeof text)) continue;
      const std::uint32_t value = ZekInetAddr(text);
      if (value == kAllOnes) {
        ZEK_LOG_FAILURE("ZekReadRegParameters: address '%s' does not parse\n", text);
        continue;
      }
      *a.target = value;
    }

    // 4. The per-adapter device's names; their failure does not fail the read.
    prepare_device_names(adapter, configuration);
  }

  // 5. Close, then what follows from the values read.
  NdisCloseConfiguration(configuration);
  g_Zek.DebugLevel = adapter->Proxy.DebugLevel;
  adapter->RxBufferSize = adapter->Proxy.JumboFrames ? 9054 : 1520;
  if (adapter->Proxy.Dhcp0) {
    adapter->Proxy.Shared.SanIpv4Address = 0;
    adapter->Proxy.Shared.SanNetMask = 0;
  }
  return result;
}
