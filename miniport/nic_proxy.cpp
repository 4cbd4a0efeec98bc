// The miniport's answer to the private OID: the NIC-proxy record.
#include "miniport/nic_proxy.h"

#include <cstring>

#include "miniport/hwobjects.h"
#include "proxy/rdma/hw/status.h"

NDIS_STATUS BuildNicProxyInterface(ZEK_ADAPTER* adapter, NicProxyInterfaceRequest* request) {
  NIC_HW_INFO* hw = adapter != nullptr ? adapter->HwInfo : nullptr;
  if (hw == nullptr || hw->Signature != NIC_HW_INFO_SIGNATURE || hw->Version != NIC_HW_INFO_VERSION) {
    ZEK_LOG_FAILURE("func[%s,%d] Signature Mismatch \n", __func__, __LINE__);
    return NDIS_STATUS_FAILURE;
  }
  if (request == nullptr || request->Signature != NIC_PROXY_REQUEST_SIGNATURE) return NDIS_STATUS_FAILURE;
  BaseDeviceObj* base = &hw->Base;
  if (base->Signature != MIFH_BASE_SIGNATURE || base->Version != MIFH_BASE_VERSION) {
    ZEK_LOG_FAILURE("func[%s,%d] Signature Mismatch \n", __func__, __LINE__);
    return NDIS_STATUS_FAILURE;
  }
  NicProxyInterface& record = adapter->Proxy.Shared;
  // The attach takes its hold before the record is handed out: a halt that
  // closed the gate has the adapter on its way out.
  if (request->Command == NIC_PROXY_COMMAND_ADD && !NicProxyGateEnter(&record.Gate)) {
    ZEK_LOG_FAILURE("func[%s,%d] the adapter is halting: attach refused\n", __func__, __LINE__);
    return NDIS_STATUS_FAILURE;
  }
  record.Base = base;
  request->Signature = NIC_PROXY_ANSWER_SIGNATURE;
  request->Length = sizeof(NicProxyInterfaceRequest);
  request->Interface = &record;
  std::memcpy(record.InterfaceBytes, ZEK_PROXY_INTERFACE_BYTES, sizeof record.InterfaceBytes);
  record.LinkUp = adapter->LinkDown != 0 ? 0 : 1;
  switch (request->Command) {
    case NIC_PROXY_COMMAND_ADD: {
      record.Device = &hw->Device;
      record.HwInfo = hw;
      record.Adapter = adapter;
      record.Adapter2 = adapter;
      record.CardTables = adapter->Tables;
      // IPADDRESS0 and NetMask0 are where the registry read put them.
      record.Dhcp = adapter->Proxy.Dhcp0;
      record.AlignHeaders = adapter->Proxy.AlignHeaders;
      record.Port = adapter->PciFunction;
      record.RdmaOoo = adapter->Proxy.RdmaOoo;
      record.ChipRevision = adapter->ChipRevision;
      std::memcpy(record.SanMacAddress, adapter->SanMac, sizeof record.SanMacAddress);
      std::memcpy(record.BaseMacAddress, adapter->BaseMac, sizeof record.BaseMacAddress);
      record.AttachedByMiniport = 1;
      record.ProxyDetached = 0;
      record.AddArpEntryCallback = AddArpEntryCallback;
      record.DelArpEntryCallback = DelArpEntryCallback;
      record.FlushArpEntriesCallback = FlushArpEntriesCallback;
      record.GetIpToArpIndex = GetIpToArpIndex;
      record.AddIpaddrEntryCallback = AddIpaddrEntryCallback;
      record.DelIpaddrEntryProxy = DelIpaddrEntryProxy;
      record.GetIpaddrIndexCallback = GetIpaddrIndexCallback;
      break;
    }
    case NIC_PROXY_COMMAND_DELETE:
    case NIC_PROXY_COMMAND_QUERY:
      break;
    default:
      ZEK_LOG_FAILURE("func[%s,%d] DEFAULT \n", __func__, __LINE__);
      break;
  }
  return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS MpQueryNicProxyInterface(ZEK_ADAPTER* adapter, PNDIS_OID_REQUEST request) {
  auto& query = request->DATA.QUERY_INFORMATION;
  query.BytesWritten = 0;
  query.BytesNeeded = 0;
  if (query.InformationBuffer == nullptr || query.InformationBufferLength < sizeof(NicProxyInterfaceRequest)) {
    query.BytesNeeded = sizeof(NicProxyInterfaceRequest);
    return NDIS_STATUS_BUFFER_TOO_SHORT;
  }
  // The buffer may lie anywhere: the request is worked on in a copy.
  NicProxyInterfaceRequest copy;
  std::memcpy(&copy, query.InformationBuffer, sizeof copy);
  const NDIS_STATUS status = BuildNicProxyInterface(adapter, &copy);
  if (status != NDIS_STATUS_SUCCESS) return status;
  std::memcpy(query.InformationBuffer, &copy, sizeof copy);
  query.BytesWritten = sizeof copy;
  return NDIS_STATUS_SUCCESS;
}
