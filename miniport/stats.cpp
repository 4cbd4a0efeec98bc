// The statistics OIDs: each counter is read from the adapter (the hardware
// interface adds what the adapter counted since the last read to the
// counter's total) before it is used; a read failure fails the request.
#include <cstring>

#include "miniport/datapath.h"
#include "miniport/oid.h"
#include "proxy/rdma/hw/counters.h"

namespace {

// The per-node counter of the function's node (its receive drops).
constexpr std::uint32_t kNodeDropCounter = 0x201D;
constexpr std::uint32_t kNodeDropPort = 0;

// Totals of the counters named, or false when one could not be read.
bool totals(ZEK_ADAPTER* adapter, std::initializer_list<std::uint32_t> ids, std::uint64_t* out) {
  MifhDeviceObj* device = adapter->HwInfo != nullptr ? &adapter->HwInfo->Device : nullptr;
  std::size_t i = 0;
  for (std::uint32_t id : ids) {
    if (mifh_get_adapter_stat(device, &out[i++], id) != 0) return false;
  }
  return true;
}

// A 64-bit answer; a buffer of 4 to 7 bytes gets the low half.
ZekOidResult answer64(void* buffer, ULONG length, std::uint64_t value) {
  if (buffer == nullptr || length < 4) return {NDIS_STATUS_BUFFER_TOO_SHORT, 0, 8};
  const ULONG size = length >= 8 ? 8 : 4;
  std::memcpy(buffer, &value, size);  // little-endian: the low half first
  return {NDIS_STATUS_SUCCESS, size, 0};
}

ZekOidResult one(ZEK_ADAPTER* adapter, std::uint32_t id, void* buffer, ULONG length) {
  std::uint64_t v = 0;
  if (!totals(adapter, {id}, &v)) return {NDIS_STATUS_FAILURE, 0, 0};
  return answer64(buffer, length, v);
}

ZekOidResult receive_errors(ZEK_ADAPTER* adapter, void* buffer, ULONG length) {
  std::uint64_t v[7] = {};
  if (!totals(adapter, {0x1001, 0x1004, 0x1007, 0x1009, 0x100A, 0x1003, 0x1012}, v)) {
    return {NDIS_STATUS_FAILURE, 0, 0};
  }
  std::uint64_t node = 0;
  if (mifh_get_port_stat(&adapter->HwInfo->Device, &node, kNodeDropPort, kNodeDropCounter) != 0) {
    return {NDIS_STATUS_FAILURE, 0, 0};
  }
  std::uint64_t sum = node;
  for (std::uint64_t x : v) sum += x;
  return answer64(buffer, length, sum);
}

ZekOidResult statistics(ZEK_ADAPTER* adapter, void* buffer, ULONG length) {
  if (buffer == nullptr || length < sizeof(NDIS_STATISTICS_INFO)) {
    return {NDIS_STATUS_BUFFER_TOO_SHORT, 0, sizeof(NDIS_STATISTICS_INFO)};
  }
  enum {
    kDiscards,
    kCrc,
    k1004,
    k1007,
    k1009,
    k100A,
    kRxFrames,
    k1000,
    k1005,
    kTxOctets,
    kRxOctets,
    kTxMulticast,
    kTxBroadcast,
    kTxFrames,
    kTxErrors,
    kCount
  };
  std::uint64_t v[kCount] = {};
  if (!totals(adapter,
              {0x1012, 0x1001, 0x1004, 0x1007, 0x1009, 0x100A, 0x1002, 0x1000, 0x1005, 0x100F, 0x1006, 0x100E, 0x100B,
               0x100D, 0x100C},
              v)) {
    return {NDIS_STATUS_FAILURE, 0, 0};
  }
  // The software counts of the send and receive paths.
  const ZekSendPath* tx = adapter->Send;
  const ZekRecvPath* rx = adapter->Recv;
  NDIS_STATISTICS_INFO s{};
  s.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof s};
  s.SupportedStatistics = ZEK_SUPPORTED_STATISTICS;
  s.ifInDiscards = v[kDiscards];
  s.ifInErrors = v[kCrc];
  s.ifHCInOctets = v[kRxOctets];
  s.ifHCInUcastPkts = v[kRxFrames];
  s.ifHCInMulticastPkts = rx != nullptr ? rx->MulticastFrames : 0;
  s.ifHCInBroadcastPkts = rx != nullptr ? rx->BroadcastFrames : 0;
  s.ifHCOutOctets = v[kTxOctets];
  // Frames sent less the broadcast and multicast ones; never below 0.
  const std::uint64_t group = v[kTxBroadcast] + v[kTxMulticast];
  s.ifHCOutUcastPkts = v[kTxFrames] > group ? v[kTxFrames] - group : 0;
  s.ifHCOutMulticastPkts = v[kTxMulticast];
  s.ifHCOutBroadcastPkts = v[kTxBroadcast];
  s.ifOutErrors = v[kTxErrors];
  s.ifOutDiscards = v[kTxErrors];
  if (rx != nullptr) {
    s.ifHCInUcastOctets = rx->UnicastBytes;
    s.ifHCInMulticastOctets = rx->MulticastBytes;
    s.ifHCInBroadcastOctets = rx->BroadcastBytes;
  }
  if (tx != nullptr) {
    s.ifHCOutUcastOctets = tx->UnicastBytes;
    s.ifHCOutMulticastOctets = tx->MulticastBytes;
    s.ifHCOutBroadcastOctets = tx->BroadcastBytes;
  }
  std::memcpy(buffer, &s, sizeof s);
  return {NDIS_STATUS_SUCCESS, sizeof s, 0};
}

}  // namespace

bool ZekIsStatisticsOid(NDIS_OID oid) {
  switch (oid) {
    case OID_GEN_STATISTICS:
    case OID_GEN_XMIT_OK:
    case OID_GEN_RCV_OK:
    case OID_GEN_XMIT_ERROR:
    case OID_GEN_RCV_ERROR:
    case OID_GEN_RCV_NO_BUFFER:
    case OID_GEN_RCV_CRC_ERROR:
    case OID_GEN_TRANSMIT_QUEUE_LENGTH:
    case OID_802_3_RCV_ERROR_ALIGNMENT:
    case OID_802_3_XMIT_ONE_COLLISION:
    case OID_802_3_XMIT_MORE_COLLISIONS:
    case OID_802_3_XMIT_DEFERRED:
    case OID_802_3_XMIT_MAX_COLLISIONS:
    case OID_802_3_RCV_OVERRUN:
    case OID_802_3_XMIT_UNDERRUN:
    case OID_802_3_XMIT_HEARTBEAT_FAILURE:
    case OID_802_3_XMIT_TIMES_CRS_LOST:
    case OID_802_3_XMIT_LATE_COLLISIONS:
      return true;
    default:
      return false;
  }
}

ZekOidResult ZekQueryStatistics(ZEK_ADAPTER* adapter, NDIS_OID oid, void* buffer, ULONG length) {
  switch (oid) {
    case OID_GEN_STATISTICS:
      return statistics(adapter, buffer, length);
    case OID_GEN_XMIT_OK:
      return one(adapter, 0x100D, buffer, length);
    case OID_GEN_RCV_OK:
      return one(adapter, 0x1002, buffer, length);
    case OID_GEN_XMIT_ERROR:
      return one(adapter, 0x100C, buffer, length);
    case OID_GEN_RCV_NO_BUFFER:
      return one(adapter, 0x1012, buffer, length);
    case OID_GEN_RCV_CRC_ERROR:
      return one(adapter, 0x1001, buffer, length);
    case OID_GEN_RCV_ERROR:
      return receive_errors(adapter, buffer, length);
    case OID_GEN_TRANSMIT_QUEUE_LENGTH:
      return answer64(buffer, length,
                      adapter->Send != nullptr ? adapter->Send->FramesPosted - adapter->Send->Completions : 0);
    default:  // the 802.3 collision, deferral, overrun, underrun, heartbeat and carrier counts
      return answer64(buffer, length, 0);
  }
}
