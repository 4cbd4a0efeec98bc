// The OID request dispatcher, the query and set handlers, the offload
// configuration and the attributes the initialisation declares.
#include "miniport/oid.h"

#include <cstring>

#include "miniport/bringup.h"
#include "miniport/nic_proxy.h"
#include "proxy/rdma/hw/config.h"
#include "proxy/rdma/hw/counters.h"
#include "proxy/rdma/hw/status.h"

namespace {

constexpr ULONG kMacOptions = 0x0D;       // copy lookahead, transfers not pended, no loopback
constexpr ULONG kMacOptionsVlan = 0x24D;  // ... and 802.1Q priority and VLAN
constexpr ULONG kAutoNegotiationFlags = 0x0F;
constexpr ULONG kIfTypeEthernet = 6;
constexpr std::uint32_t kMaxVlanId = 0xFFF;

ZekOidResult ok(ULONG bytes) { return {NDIS_STATUS_SUCCESS, bytes, 0}; }
ZekOidResult refuse(NDIS_STATUS status, ULONG needed = 0) { return {status, 0, needed}; }

// Copies an answer of `size` bytes, or refuses a shorter buffer with the bytes needed.
ZekOidResult answer(void* buffer, ULONG length, const void* value, ULONG size) {
  if (buffer == nullptr || length < size) return refuse(NDIS_STATUS_BUFFER_TOO_SHORT, size);
  std::memcpy(buffer, value, size);
  return ok(size);
}
ZekOidResult answer_u32(void* buffer, ULONG length, std::uint32_t value) {
  return answer(buffer, length, &value, sizeof value);
}

std::uint32_t read_u32(const void* buffer) {
  std::uint32_t v;
  std::memcpy(&v, buffer, sizeof v);
  return v;
}

std::uint32_t frame_buffer(const ZEK_ADAPTER* adapter) {
  return adapter->Proxy.JumboFrames ? ZEK_JUMBO_BUFFER : ZEK_STANDARD_BUFFER;
}

// The encapsulation header size of a type, or 0 for a type the adapter does not carry.
std::uint32_t header_size_of(std::uint32_t type) {
  if (type == NDIS_ENCAPSULATION_IEEE_802_3) return 14;
  if (type == NDIS_ENCAPSULATION_IEEE_802_3_P_AND_Q || type == NDIS_ENCAPSULATION_IEEE_802_3_P_AND_Q_IN_OOB) return 18;
  return 0;
}

void indicate(ZEK_ADAPTER* adapter, NDIS_STATUS code, void* record, ULONG size) {
  NDIS_STATUS_INDICATION indication{};
  indication.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof indication};
  indication.SourceHandle = adapter->MiniportAdapterHandle;
  indication.StatusCode = code;
  indication.StatusBuffer = record;
  indication.StatusBufferSize = size;
  NdisMIndicateStatusEx(adapter->MiniportAdapterHandle, &indication);
}

// ---- Queries --------------------------------------------------------------------------------------
ZekOidResult query_lookahead(ZEK_ADAPTER* adapter, void* buffer, ULONG length) {
  if (adapter->LookaheadSize == 0) adapter->LookaheadSize = adapter->Proxy.JumboFrames ? 9000 : 1500;
  return answer_u32(buffer, length, adapter->LookaheadSize);
}

ZekOidResult query_connect_status(ZEK_ADAPTER* adapter, void* buffer, ULONG length) {
  if (buffer == nullptr || length < sizeof(std::uint32_t)) return refuse(NDIS_STATUS_BUFFER_TOO_SHORT, 4);
  // A change since the last look is read again from the PHY and indicated.
  if (adapter->LinkChanged != 0) ZekRefreshLink(adapter);
  return answer_u32(buffer, length, adapter->LinkDown != 0 ? 1u : 0u);
}

ZekOidResult query_interrupt_moderation(void* buffer, ULONG length) {
  if (buffer == nullptr || length < sizeof(NDIS_INTERRUPT_MODERATION_PARAMETERS)) {
    return refuse(NDIS_STATUS_BUFFER_TOO_SHORT, sizeof(NDIS_INTERRUPT_MODERATION_PARAMETERS));
  }
  const std::uint32_t not_supported = 1;
  std::memcpy(static_cast<std::uint8_t*>(buffer) + offsetof(NDIS_INTERRUPT_MODERATION_PARAMETERS, InterruptModeration),
              &not_supported, sizeof not_supported);
  return ok(sizeof(NDIS_INTERRUPT_MODERATION_PARAMETERS));
}

ZekOidResult query_link_parameters(ZEK_ADAPTER* adapter, void* buffer, ULONG length) {
  NDIS_LINK_PARAMETERS p{};
  p.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof p};
  p.MediaDuplexState = MediaDuplexStateFull;
  p.XmitLinkSpeed = adapter->LinkSpeed;
  p.RcvLinkSpeed = adapter->LinkSpeed;
  p.PauseFunctions = NDIS_PAUSE_SEND_AND_RECEIVE;
  p.AutoNegotiationFlags = kAutoNegotiationFlags;
  return answer(buffer, length, &p, sizeof p);
}

ZekOidResult query_encapsulation(ZEK_ADAPTER* adapter, void* buffer, ULONG length) {
  NDIS_OFFLOAD_ENCAPSULATION e{};
  e.Header = {NDIS_OBJECT_TYPE_OFFLOAD_ENCAPSULATION, 1, sizeof e};
  e.IPv4.Enabled = NDIS_OFFLOAD_SET_OFF;
  e.IPv6.Enabled = NDIS_OFFLOAD_SET_OFF;
  const std::uint32_t type = adapter->Oid.EncapsulationType;
  if (type != 0) {
    const std::uint32_t header = header_size_of(type);
    if (header == 0) return refuse(NDIS_STATUS_NOT_SUPPORTED);
    e.IPv4.Enabled = NDIS_OFFLOAD_SET_ON;
    e.IPv4.EncapsulationType = type;
    e.IPv4.HeaderSize = header;
  }
  return answer(buffer, length, &e, sizeof e);
}

// ---- Sets --------------------------------------------------------------------------------------------
// Programs the receive masks of the function's slot for a packet filter:
// 0, or 1 when a mask could not be written.
ZekStatus program_filter(ZEK_ADAPTER* adapter, std::uint32_t filter) {
  MifhDeviceObj* device = &adapter->HwInfo->Device;
  const std::uint32_t slot = adapter->PciFunction;
  const bool promiscuous = (filter & NDIS_PACKET_TYPE_PROMISCUOUS) != 0;
  ZekStatus s = mifh_enable_broadcast(device, slot, promiscuous || (filter & NDIS_PACKET_TYPE_BROADCAST) != 0);
  s |= mifh_enable_multicast(device, slot, promiscuous || (filter & NDIS_PACKET_TYPE_MULTICAST) != 0);
  s |= mifh_enable_multicast_all(device, slot, promiscuous || (filter & NDIS_PACKET_TYPE_ALL_MULTICAST) != 0);
  s |= mifh_enable_unicast_all(device, slot, promiscuous);
  return s;
}

ZekOidResult set_packet_filter(ZEK_ADAPTER* adapter, const void* buffer, ULONG length) {
  if (buffer == nullptr || length != sizeof(std::uint32_t)) return refuse(NDIS_STATUS_INVALID_LENGTH, 4);
  const std::uint32_t filter = read_u32(buffer);
  if ((filter & ~ZEK_PACKET_FILTERS) != 0) return refuse(NDIS_STATUS_NOT_SUPPORTED);
  if (filter == adapter->PacketFilter) return ok(4);
  NdisAcquireSpinLock(&adapter->ResetLock);
  NdisAcquireSpinLock(&adapter->AdapterLock);
  const ZekStatus status = adapter->HwInfo != nullptr ? program_filter(adapter, filter) : MIFH_STATUS_FAIL;
  if (status == ZEK_STATUS_PASS) adapter->PacketFilter = filter;
  NdisReleaseSpinLock(&adapter->AdapterLock);
  NdisReleaseSpinLock(&adapter->ResetLock);
  return status == ZEK_STATUS_PASS ? ok(4) : refuse(NDIS_STATUS_FAILURE);
}

ZekOidResult set_multicast_list(ZEK_ADAPTER* adapter, const void* buffer, ULONG length) {
  if (length % 6 != 0 || length > 6 * ZEK_MAX_MULTICAST || (buffer == nullptr && length != 0)) {
    return refuse(NDIS_STATUS_INVALID_LENGTH);
  }
  NdisAcquireSpinLock(&adapter->ResetLock);
  NdisAcquireSpinLock(&adapter->AdapterLock);
  if (length != 0) std::memcpy(adapter->MulticastList, buffer, length);
  adapter->MulticastCount = length / 6;
  const ZekStatus status = CommonSetMulticastList(adapter);
  NdisReleaseSpinLock(&adapter->AdapterLock);
  NdisReleaseSpinLock(&adapter->ResetLock);
  return status == ZEK_STATUS_PASS ? ok(length) : refuse(NDIS_STATUS_FAILURE);
}

ZekOidResult set_link_parameters(ZEK_ADAPTER* adapter, const void* buffer, ULONG length) {
  if (buffer == nullptr || length < sizeof(NDIS_OBJECT_HEADER)) {
    return refuse(NDIS_STATUS_INVALID_LENGTH, sizeof(NDIS_LINK_PARAMETERS));
  }
  NDIS_OBJECT_HEADER header;
  std::memcpy(&header, buffer, sizeof header);
  if (header.Type != NDIS_OBJECT_TYPE_DEFAULT || header.Revision != 1) return refuse(NDIS_STATUS_NOT_SUPPORTED);
  if (header.Size != sizeof(NDIS_LINK_PARAMETERS) || length < sizeof(NDIS_LINK_PARAMETERS)) {
    return refuse(NDIS_STATUS_INVALID_LENGTH, sizeof(NDIS_LINK_PARAMETERS));
  }
  // Nothing changes in the hardware; NDIS hears the link as it is.
  ZekIndicateLink(adapter, adapter->LinkDown == 0);
  return ok(sizeof(NDIS_LINK_PARAMETERS));
}

ZekOidResult set_encapsulation(ZEK_ADAPTER* adapter, const void* buffer, ULONG length) {
  if (buffer == nullptr || length < sizeof(NDIS_OFFLOAD_ENCAPSULATION)) {
    return refuse(NDIS_STATUS_INVALID_LENGTH, sizeof(NDIS_OFFLOAD_ENCAPSULATION));
  }
  NDIS_OFFLOAD_ENCAPSULATION e;
  std::memcpy(&e, buffer, sizeof e);
  if (e.IPv6.Enabled == NDIS_OFFLOAD_SET_ON) return refuse(NDIS_STATUS_NOT_SUPPORTED);
  if (e.IPv4.Enabled == NDIS_OFFLOAD_SET_ON) {
    const std::uint32_t header = header_size_of(e.IPv4.EncapsulationType);
    if (header == 0) return refuse(NDIS_STATUS_NOT_SUPPORTED);
    adapter->Oid.EncapsulationType = e.IPv4.EncapsulationType;
    adapter->Oid.EncapsulationHeaderSize = header;
  }
  return ok(sizeof e);
}

// One checksum setting: 0 leaves, 1 both off, 2 transmit only, 3 receive only, 4 both on.
bool checksum_setting(UCHAR value, bool* tx, bool* rx) {
  switch (value) {
    case 0:
      return true;
    case 1:
      *tx = false;
      *rx = false;
      return true;
    case 2:
      *tx = true;
      *rx = false;
      return true;
    case 3:
      *tx = false;
      *rx = true;
      return true;
    case 4:
      *tx = true;
      *rx = true;
      return true;
    default:
      return false;
  }
}

ZekOidResult set_offload_parameters(ZEK_ADAPTER* adapter, const void* buffer, ULONG length) {
  if (buffer == nullptr || length < sizeof(NDIS_OBJECT_HEADER)) {
    return refuse(NDIS_STATUS_INVALID_LENGTH, sizeof(NDIS_OFFLOAD_PARAMETERS));
  }
  NDIS_OBJECT_HEADER header;
  std::memcpy(&header, buffer, sizeof header);
  if (header.Type != NDIS_OBJECT_TYPE_DEFAULT || header.Revision != 1) return refuse(NDIS_STATUS_INVALID_DATA);
  if (header.Size != sizeof(NDIS_OFFLOAD_PARAMETERS) || length < sizeof(NDIS_OFFLOAD_PARAMETERS)) {
    return refuse(NDIS_STATUS_INVALID_LENGTH, sizeof(NDIS_OFFLOAD_PARAMETERS));
  }
  NDIS_OFFLOAD_PARAMETERS p;
  std::memcpy(&p, buffer, sizeof p);
  ZekOffloadRecord current = adapter->Oid.CurrentOffload;
  const ZekOffloadRecord& caps = adapter->Oid.HardwareOffload;
  struct Field {
    UCHAR value;
    ULONG ZekChecksumDirection::*member;
  } const fields[] = {{p.IPv4Checksum, &ZekChecksumDirection::IpChecksum},
                      {p.TCPIPv4Checksum, &ZekChecksumDirection::TcpChecksum},
                      {p.UDPIPv4Checksum, &ZekChecksumDirection::UdpChecksum}};
  // Everything is checked before anything changes.
  for (const Field& f : fields) {
    bool tx = current.Ipv4Transmit.*f.member != 0, rx = current.Ipv4Receive.*f.member != 0;
    if (!checksum_setting(f.value, &tx, &rx)) return refuse(NDIS_STATUS_INVALID_DATA);
    current.Ipv4Transmit.*f.member = tx ? caps.Ipv4Transmit.*f.member : 0;
    current.Ipv4Receive.*f.member = rx ? caps.Ipv4Receive.*f.member : 0;
  }
  if (p.TCPIPv6Checksum != 0 || p.UDPIPv6Checksum != 0 || p.LsoV2IPv4 != 0 || p.LsoV2IPv6 != 0) {
    return refuse(NDIS_STATUS_INVALID_DATA);
  }
  bool lso = adapter->Oid.LsoOn != 0;
  if (p.LsoV1 == 2 && adapter->Proxy.Lso == 1) {
    lso = true;
    current.LsoV1.Encapsulation =
        adapter->Oid.EncapsulationType != 0 ? adapter->Oid.EncapsulationType : NDIS_ENCAPSULATION_IEEE_802_3;
    current.LsoV1.MaxOffLoadSize = ZEK_LSO_MAX_OFFLOAD;
    current.LsoV1.MinSegmentCount = ZEK_LSO_MIN_SEGMENTS;
  } else if (p.LsoV1 == 1 || p.LsoV1 == 2) {
    lso = false;
    current.LsoV1 = {};
  } else if (p.LsoV1 != 0) {
    return refuse(NDIS_STATUS_INVALID_DATA);
  }
  const auto any = [](const ZekChecksumDirection& d) { return d.IpChecksum | d.TcpChecksum | d.UdpChecksum; };
  NdisAcquireSpinLock(&adapter->AdapterLock);
  adapter->Oid.CurrentOffload = current;
  adapter->Oid.TxChecksum = any(current.Ipv4Transmit) != 0;
  adapter->Oid.RxChecksum = any(current.Ipv4Receive) != 0;
  adapter->Oid.LsoOn = lso;
  NdisReleaseSpinLock(&adapter->AdapterLock);
  indicate(adapter, NDIS_STATUS_TASK_OFFLOAD_CURRENT_CONFIG, &current, sizeof current);
  return ok(sizeof p);
}

bool diagnostic(NDIS_OID oid) {
  switch (oid) {
    case OID_ZEK_WRITE_INDEXED:
    case OID_ZEK_READ_INDEXED:
    case OID_ZEK_WRITE_REGISTER:
    case OID_ZEK_READ_REGISTER:
    case OID_ZEK_READ_FLASH:
    case OID_ZEK_WRITE_PHY:
    case OID_ZEK_READ_PHY:
    case OID_ZEK_READ_EEPROM:
    case OID_ZEK_READ_EEPROM_DEVICE:
    case OID_ZEK_DEVICE_NAME:
    case OID_ZEK_START_DATA_PATH:
    case OID_ZEK_STOP_DATA_PATH:
      return true;
    default:
      return false;
  }
}

}  // namespace

const NDIS_OID ZekSupportedOids[ZEK_SUPPORTED_OID_COUNT] = {
    OID_GEN_SUPPORTED_LIST,
    OID_PNP_QUERY_POWER,
    OID_PNP_SET_POWER,
    OID_GEN_HARDWARE_STATUS,
    OID_GEN_MEDIA_SUPPORTED,
    OID_GEN_MEDIA_IN_USE,
    OID_GEN_MAXIMUM_LOOKAHEAD,
    OID_GEN_MAXIMUM_FRAME_SIZE,
    OID_GEN_LINK_SPEED,
    OID_GEN_TRANSMIT_BUFFER_SPACE,
    OID_GEN_RECEIVE_BUFFER_SPACE,
    OID_GEN_TRANSMIT_BLOCK_SIZE,
    OID_GEN_RECEIVE_BLOCK_SIZE,
    OID_GEN_VENDOR_ID,
    OID_GEN_VENDOR_DESCRIPTION,
    OID_GEN_VENDOR_DRIVER_VERSION,
    OID_GEN_CURRENT_PACKET_FILTER,
    OID_GEN_CURRENT_LOOKAHEAD,
    OID_GEN_DRIVER_VERSION,
    OID_GEN_MAXIMUM_TOTAL_SIZE,
    OID_GEN_VLAN_ID,
    OID_GEN_MEDIA_CONNECT_STATUS,
    OID_GEN_MAXIMUM_SEND_PACKETS,
    OID_GEN_XMIT_OK,
    OID_GEN_RCV_OK,
    OID_GEN_XMIT_ERROR,
    OID_GEN_RCV_ERROR,
    OID_GEN_RCV_NO_BUFFER,
    OID_TCP_OFFLOAD_PARAMETERS,
    OID_GEN_STATISTICS,
    OID_GEN_INTERRUPT_MODERATION,
    OID_OFFLOAD_ENCAPSULATION,
    OID_GEN_LINK_PARAMETERS,
    OID_GEN_INIT_TIME_MS,
    OID_GEN_MEDIA_SENSE_COUNTS,
    OID_GEN_RESET_COUNTS,
    OID_GEN_RCV_CRC_ERROR,
    OID_GEN_TRANSMIT_QUEUE_LENGTH,
    OID_802_3_PERMANENT_ADDRESS,
    OID_802_3_CURRENT_ADDRESS,
    OID_802_3_MULTICAST_LIST,
    OID_802_3_MAXIMUM_LIST_SIZE,
    OID_802_3_RCV_ERROR_ALIGNMENT,
    OID_802_3_XMIT_ONE_COLLISION,
    OID_802_3_XMIT_MORE_COLLISIONS,
    OID_802_3_XMIT_DEFERRED,
    OID_802_3_XMIT_MAX_COLLISIONS,
    OID_802_3_RCV_OVERRUN,
    OID_802_3_XMIT_UNDERRUN,
    OID_802_3_XMIT_HEARTBEAT_FAILURE,
    OID_802_3_XMIT_TIMES_CRS_LOST,
    OID_802_3_XMIT_LATE_COLLISIONS,
    OID_TCP_TASK_OFFLOAD,
    OID_ZEK_DEVICE_NAME,
    OID_ZEK_NIC_PROXY_INTERFACE,
};

void ZekIndicateLink(ZEK_ADAPTER* adapter, bool up) {
  NDIS_LINK_STATE link{};
  link.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof link};
  link.MediaConnectState = up ? MediaConnectStateConnected : MediaConnectStateDisconnected;
  link.MediaDuplexState = up ? MediaDuplexStateFull : MediaDuplexStateUnknown;
  link.XmitLinkSpeed = up ? adapter->LinkSpeed : 0;
  link.RcvLinkSpeed = link.XmitLinkSpeed;
  link.PauseFunctions = NDIS_PAUSE_SEND_AND_RECEIVE;
  link.AutoNegotiationFlags = kAutoNegotiationFlags;
  indicate(adapter, NDIS_STATUS_LINK_STATE, &link, sizeof link);
}

NDIS_STATUS ZekOidRequest(NDIS_HANDLE context, PNDIS_OID_REQUEST request) {
  auto* adapter = static_cast<ZEK_ADAPTER*>(context);
  if (adapter == nullptr || request == nullptr) return NDIS_STATUS_INVALID_PARAMETER;
  const std::uint32_t state = adapter->NdisState;
  const bool filter = request->RequestType == NdisRequestSetInformation &&
                      request->DATA.SET_INFORMATION.Oid == OID_GEN_CURRENT_PACKET_FILTER;
  if (state == ZEK_STATE_HALTED || state == ZEK_STATE_INITIALIZING || state == ZEK_STATE_HALTING ||
      (state == ZEK_STATE_SHUTDOWN && !filter)) {
    return ZEK_OID_STATUS_NOT_READY;
  }
  switch (request->RequestType) {
    case NdisRequestQueryInformation:
    case NdisRequestQueryStatistics: {
      auto& q = request->DATA.QUERY_INFORMATION;
      // The NIC-proxy record goes to kernel callers through NDIS only.
      if (q.Oid == OID_ZEK_NIC_PROXY_INTERFACE) return MpQueryNicProxyInterface(adapter, request);
      const ZekOidResult r = MPQueryInformation(adapter, q.Oid, q.InformationBuffer, q.InformationBufferLength);
      q.BytesWritten = r.Bytes;
      q.BytesNeeded = r.Needed;
      return r.Status;
    }
    case NdisRequestSetInformation: {
      auto& s = request->DATA.SET_INFORMATION;
      const ZekOidResult r = MPSetInformation(adapter, s.Oid, s.InformationBuffer, s.InformationBufferLength);
      s.BytesRead = r.Bytes;
      s.BytesNeeded = r.Needed;
      return r.Status;
    }
    case NdisRequestMethod:
      OSPrimDebugPrint("Func[%s,%d] NdisRequestMethod\n", __func__, __LINE__);
      return NDIS_STATUS_SUCCESS;
    default:
      OSPrimDebugPrint("Func[%s,%d] default \n", __func__, __LINE__);
      return NDIS_STATUS_FAILURE;
  }
}

ZekOidResult MPQueryInformation(ZEK_ADAPTER* adapter, NDIS_OID oid, void* buffer, ULONG length) {
  if (ZekIsStatisticsOid(oid)) return ZekQueryStatistics(adapter, oid, buffer, length);
  if (diagnostic(oid)) return GetNetDeviceName(adapter, oid, buffer, length);
  switch (oid) {
    case OID_GEN_SUPPORTED_LIST:
      return answer(buffer, length, ZekSupportedOids, sizeof ZekSupportedOids);
    case OID_GEN_HARDWARE_STATUS:
      return answer_u32(buffer, length, 0);  // ready
    case OID_GEN_MEDIA_SUPPORTED:
    case OID_GEN_MEDIA_IN_USE:
      return answer_u32(buffer, length, NdisMedium802_3);
    case OID_GEN_MAXIMUM_LOOKAHEAD:
    case OID_GEN_CURRENT_LOOKAHEAD:
      return query_lookahead(adapter, buffer, length);
    case OID_GEN_MAXIMUM_FRAME_SIZE:
      return answer_u32(buffer, length, adapter->MtuSize);
    case OID_GEN_LINK_SPEED:
      return answer_u32(buffer, length, static_cast<std::uint32_t>(adapter->LinkSpeed / 100));
    case OID_GEN_TRANSMIT_BUFFER_SPACE:
      return answer_u32(buffer, length, adapter->Proxy.SendQueueSize * frame_buffer(adapter));
    case OID_GEN_RECEIVE_BUFFER_SPACE:
      return answer_u32(buffer, length, adapter->Proxy.RecvQueueSize * frame_buffer(adapter));
    case OID_GEN_TRANSMIT_BLOCK_SIZE:
    case OID_GEN_RECEIVE_BLOCK_SIZE:
    case OID_GEN_MAXIMUM_TOTAL_SIZE:
      return answer_u32(buffer, length, adapter->MtuSize + 14);
    case OID_GEN_VENDOR_ID: {
      std::uint32_t oui = 0;
      std::memcpy(&oui, adapter->BaseMac, 3);
      return answer_u32(buffer, length, oui);
    }
    case OID_GEN_VENDOR_DESCRIPTION:
      return answer(buffer, length, ZEK_VENDOR_DESCRIPTION, sizeof ZEK_VENDOR_DESCRIPTION);
    case OID_GEN_VENDOR_DRIVER_VERSION:
      return answer_u32(buffer, length, ZEK_VENDOR_DRIVER_VERSION);
    case OID_GEN_DRIVER_VERSION: {
      const std::uint16_t version = 0x0600;
      return answer(buffer, length, &version, sizeof version);
    }
    case OID_GEN_CURRENT_PACKET_FILTER:
      return answer_u32(buffer, length, adapter->PacketFilter);
    case OID_GEN_VLAN_ID:
      return answer_u32(buffer, length, adapter->Oid.VlanId);
    case OID_GEN_MEDIA_CONNECT_STATUS:
      return query_connect_status(adapter, buffer, length);
    case OID_GEN_MAXIMUM_SEND_PACKETS:
      return answer_u32(buffer, length, adapter->Proxy.SendQueueSize);
    case OID_GEN_INTERRUPT_MODERATION:
      return query_interrupt_moderation(buffer, length);
    case OID_GEN_LINK_PARAMETERS:
      return query_link_parameters(adapter, buffer, length);
    case OID_OFFLOAD_ENCAPSULATION:
      return query_encapsulation(adapter, buffer, length);
    case OID_TCP_OFFLOAD_PARAMETERS:
      if (buffer == nullptr || length < sizeof(NDIS_OFFLOAD_PARAMETERS)) {
        return refuse(NDIS_STATUS_BUFFER_TOO_SHORT, sizeof(NDIS_OFFLOAD_PARAMETERS));
      }
      return answer_u32(buffer, length, 0);
    case OID_TCP_TASK_OFFLOAD:
    case OID_PNP_QUERY_POWER:
      return refuse(NDIS_STATUS_NOT_SUPPORTED);
    case OID_802_3_PERMANENT_ADDRESS:
      return answer(buffer, length, adapter->PermanentMac, 6);
    case OID_802_3_CURRENT_ADDRESS:
      return answer(buffer, length, adapter->CurrentMac, 6);
    case OID_802_3_MAXIMUM_LIST_SIZE:
      return answer_u32(buffer, length, ZEK_MAX_MULTICAST);
    case OID_GEN_INIT_TIME_MS:
      return answer_u32(buffer, length, adapter->Oid.InitTimeMs);
    case OID_GEN_RESET_COUNTS:
      return answer_u32(buffer, length, adapter->LinkUpCount);
    case OID_GEN_MEDIA_SENSE_COUNTS:
      return answer_u32(buffer, length, static_cast<std::uint32_t>(adapter->LinkDownEvents + adapter->LinkUpEvents));
    case OID_ZEK_NIC_PROXY_INTERFACE:
      // The NIC-proxy record holds kernel addresses: NDIS's requests get it
      // (ZekOidRequest), the per-adapter device's queries do not.
      return refuse(NDIS_STATUS_NOT_SUPPORTED);
    default:
      return refuse(NDIS_STATUS_NOT_SUPPORTED);
  }
}

ZekOidResult MPSetInformation(ZEK_ADAPTER* adapter, NDIS_OID oid, const void* buffer, ULONG length) {
  switch (oid) {
    case OID_GEN_CURRENT_PACKET_FILTER:
      return set_packet_filter(adapter, buffer, length);
    case OID_GEN_CURRENT_LOOKAHEAD:
      if (buffer == nullptr || length < sizeof(std::uint32_t)) return refuse(NDIS_STATUS_INVALID_LENGTH, 4);
      adapter->LookaheadSize = read_u32(buffer);
      return ok(4);
    case OID_GEN_LINK_PARAMETERS:
      return set_link_parameters(adapter, buffer, length);
    case OID_GEN_VLAN_ID: {
      if (buffer == nullptr || length < sizeof(std::uint32_t)) return refuse(NDIS_STATUS_INVALID_LENGTH, 4);
      const std::uint32_t vlan = read_u32(buffer);
      if (vlan > kMaxVlanId) return refuse(NDIS_STATUS_INVALID_DATA);
      adapter->Oid.VlanId = vlan;
      return ok(4);
    }
    case OID_802_3_MULTICAST_LIST:
      return set_multicast_list(adapter, buffer, length);
    case OID_OFFLOAD_ENCAPSULATION:
      return set_encapsulation(adapter, buffer, length);
    case OID_TCP_OFFLOAD_PARAMETERS:
      return set_offload_parameters(adapter, buffer, length);
    case OID_PNP_SET_POWER: {
      const std::uint32_t state = buffer != nullptr && length >= 4 ? read_u32(buffer) : 0;
      OSPrimDebugPrint("func[%s,%d] OID_PNP_SET_POWER POWER_STATE[x%08X] \n", __func__, __LINE__, state);
      return ok(length >= 4 ? 4 : 0);
    }
    case OID_GEN_INTERRUPT_MODERATION:
    default:
      return refuse(NDIS_STATUS_NOT_SUPPORTED);
  }
}

void ZekInitOffload(ZEK_ADAPTER* adapter) {
  ZekOidState& o = adapter->Oid;
  ZekOffloadRecord caps{};
  caps.Header = {NDIS_OBJECT_TYPE_OFFLOAD, 1, sizeof caps};
  const bool modern = adapter->ChipRevision >= 4;
  for (ZekChecksumDirection* d : {&caps.Ipv4Transmit, &caps.Ipv4Receive}) {
    d->Encapsulation = modern ? NDIS_ENCAPSULATION_IEEE_802_3 | NDIS_ENCAPSULATION_IEEE_802_3_P_AND_Q |
                                    NDIS_ENCAPSULATION_IEEE_802_3_P_AND_Q_IN_OOB
                              : 0;
    d->IpOptions = 0;
    d->TcpOptions = 1;
    d->TcpChecksum = 1;
    d->UdpChecksum = 1;
    d->IpChecksum = 1;
  }
  if (modern) adapter->Proxy.Lso = 0;  // no large send on these revisions
  o.HardwareOffload = caps;
  o.CurrentOffload = caps;
  const bool checksums = adapter->Proxy.OffloadEnable == 1 && modern;
  if (!checksums) {
    const ZekChecksumDirection off{o.CurrentOffload.Ipv4Transmit.Encapsulation, 0, 0, 0, 0, 0};
    o.CurrentOffload.Ipv4Transmit = off;
    o.CurrentOffload.Ipv4Receive = off;
  }
  o.TxChecksum = checksums;
  o.RxChecksum = checksums;
  o.LsoOn = adapter->Proxy.Lso == 1 && modern;
  o.VlanId = adapter->Proxy.VlanEnabled;
}

NDIS_STATUS ZekSetOffloadAttributes(ZEK_ADAPTER* adapter) {
  NDIS_MINIPORT_ADAPTER_OFFLOAD_ATTRIBUTES offload{};
  offload.Header = {NDIS_OBJECT_TYPE_MINIPORT_ADAPTER_OFFLOAD_ATTRIBUTES, 1, 40};
  offload.DefaultOffloadConfiguration = &adapter->Oid.CurrentOffload.Header;
  offload.HardwareOffloadCapabilities = &adapter->Oid.HardwareOffload.Header;
  NDIS_MINIPORT_ADAPTER_ATTRIBUTES attributes{};
  attributes.OffloadAttributes = offload;
  const NDIS_STATUS status = NdisMSetMiniportAttributes(adapter->MiniportAdapterHandle, &attributes);
  return status == NDIS_STATUS_SUCCESS ? status : NDIS_STATUS_FAILURE;
}

NDIS_STATUS ZekSetGeneralAttributes(ZEK_ADAPTER* adapter) {
  NDIS_MINIPORT_ADAPTER_GENERAL_ATTRIBUTES g{};
  g.Header = {NDIS_OBJECT_TYPE_MINIPORT_ADAPTER_GENERAL_ATTRIBUTES, 1, 216};
  g.MediaType = NdisMedium802_3;
  g.PhysicalMediumType = NdisPhysicalMedium802_3;
  g.MtuSize = adapter->MtuSize;
  g.MaxXmitLinkSpeed = g.XmitLinkSpeed = g.MaxRcvLinkSpeed = g.RcvLinkSpeed = adapter->LinkSpeed;
  g.MediaConnectState = MediaConnectStateUnknown;
  g.MediaDuplexState = MediaDuplexStateFull;
  g.LookaheadSize = adapter->LookaheadSize;
  g.MacOptions = kMacOptions;
  if (adapter->Proxy.VlanEnabled != 0) {
    OSPrimDebugPrint("Enabling VLAN Support \n");
    g.MacOptions = kMacOptionsVlan;
  }
  g.SupportedPacketFilters = ZEK_PACKET_FILTERS;
  g.MaxMulticastListSize = ZEK_MAX_MULTICAST;
  g.MacAddressLength = 6;
  std::memcpy(g.PermanentMacAddress, adapter->PermanentMac, 6);
  std::memcpy(g.CurrentMacAddress, adapter->CurrentMac, 6);
  g.AccessType = 1;      // broadcast
  g.DirectionType = 0;   // send and receive
  g.ConnectionType = 1;  // dedicated
  g.IfType = kIfTypeEthernet;
  g.IfConnectorPresent = TRUE;
  g.SupportedStatistics = ZEK_SUPPORTED_STATISTICS;
  g.SupportedPauseFunctions = NDIS_PAUSE_SEND_AND_RECEIVE;
  g.SupportedOidList = const_cast<NDIS_OID*>(ZekSupportedOids);
  g.SupportedOidListLength = sizeof ZekSupportedOids;
  g.AutoNegotiationFlags = kAutoNegotiationFlags;
  NDIS_MINIPORT_ADAPTER_ATTRIBUTES attributes{};
  attributes.GeneralAttributes = g;
  return NdisMSetMiniportAttributes(adapter->MiniportAdapterHandle, &attributes);
}

NDIS_STATUS ZekOidAdapterInit(ZEK_ADAPTER* adapter) {
  if (adapter->HwInfo == nullptr || mifh_stat_accumulators_alloc(&adapter->HwInfo->Device) != ZEK_STATUS_PASS) {
    return NDIS_STATUS_RESOURCES;
  }
  ZekInitOffload(adapter);
  return NDIS_STATUS_SUCCESS;
}

void ZekOidAdapterFree(ZEK_ADAPTER* adapter) {
  if (adapter->HwInfo != nullptr) mifh_stat_accumulators_free(&adapter->HwInfo->Device);
}
