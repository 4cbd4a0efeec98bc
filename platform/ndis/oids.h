// OID numbers, packet-filter and encapsulation bits, and the records of the
// OID requests a miniport answers: the Windows values, so that a protocol
// and a miniport built here agree with the real ones.
#pragma once

#include <cstddef>

#include "platform/ndis/ndis.h"

// ---- General OIDs ------------------------------------------------------------------------------
inline constexpr NDIS_OID OID_GEN_SUPPORTED_LIST = 0x00010101;
inline constexpr NDIS_OID OID_GEN_HARDWARE_STATUS = 0x00010102;
inline constexpr NDIS_OID OID_GEN_MEDIA_SUPPORTED = 0x00010103;
inline constexpr NDIS_OID OID_GEN_MEDIA_IN_USE = 0x00010104;
inline constexpr NDIS_OID OID_GEN_MAXIMUM_LOOKAHEAD = 0x00010105;
inline constexpr NDIS_OID OID_GEN_MAXIMUM_FRAME_SIZE = 0x00010106;
inline constexpr NDIS_OID OID_GEN_LINK_SPEED = 0x00010107;
inline constexpr NDIS_OID OID_GEN_TRANSMIT_BUFFER_SPACE = 0x00010108;
inline constexpr NDIS_OID OID_GEN_RECEIVE_BUFFER_SPACE = 0x00010109;
inline constexpr NDIS_OID OID_GEN_TRANSMIT_BLOCK_SIZE = 0x0001010A;
inline constexpr NDIS_OID OID_GEN_RECEIVE_BLOCK_SIZE = 0x0001010B;
inline constexpr NDIS_OID OID_GEN_VENDOR_ID = 0x0001010C;
inline constexpr NDIS_OID OID_GEN_VENDOR_DESCRIPTION = 0x0001010D;
inline constexpr NDIS_OID OID_GEN_CURRENT_PACKET_FILTER = 0x0001010E;
inline constexpr NDIS_OID OID_GEN_CURRENT_LOOKAHEAD = 0x0001010F;
inline constexpr NDIS_OID OID_GEN_DRIVER_VERSION = 0x00010110;
inline constexpr NDIS_OID OID_GEN_MAXIMUM_TOTAL_SIZE = 0x00010111;
inline constexpr NDIS_OID OID_GEN_MEDIA_CONNECT_STATUS = 0x00010114;
inline constexpr NDIS_OID OID_GEN_MAXIMUM_SEND_PACKETS = 0x00010115;
inline constexpr NDIS_OID OID_GEN_VENDOR_DRIVER_VERSION = 0x00010116;
inline constexpr NDIS_OID OID_GEN_LINK_PARAMETERS = 0x00010208;
inline constexpr NDIS_OID OID_GEN_INTERRUPT_MODERATION = 0x00010209;
inline constexpr NDIS_OID OID_GEN_VLAN_ID = 0x0001021C;
inline constexpr NDIS_OID OID_GEN_XMIT_OK = 0x00020101;
inline constexpr NDIS_OID OID_GEN_RCV_OK = 0x00020102;
inline constexpr NDIS_OID OID_GEN_XMIT_ERROR = 0x00020103;
inline constexpr NDIS_OID OID_GEN_RCV_ERROR = 0x00020104;
inline constexpr NDIS_OID OID_GEN_RCV_NO_BUFFER = 0x00020105;
inline constexpr NDIS_OID OID_GEN_STATISTICS = 0x00020106;
inline constexpr NDIS_OID OID_GEN_RCV_CRC_ERROR = 0x0002020D;
inline constexpr NDIS_OID OID_GEN_TRANSMIT_QUEUE_LENGTH = 0x0002020E;
inline constexpr NDIS_OID OID_GEN_INIT_TIME_MS = 0x00020213;
inline constexpr NDIS_OID OID_GEN_RESET_COUNTS = 0x00020214;
inline constexpr NDIS_OID OID_GEN_MEDIA_SENSE_COUNTS = 0x00020215;

// ---- 802.3 OIDs -----------------------------------------------------------------------------------
inline constexpr NDIS_OID OID_802_3_PERMANENT_ADDRESS = 0x01010101;
inline constexpr NDIS_OID OID_802_3_CURRENT_ADDRESS = 0x01010102;
inline constexpr NDIS_OID OID_802_3_MULTICAST_LIST = 0x01010103;
inline constexpr NDIS_OID OID_802_3_MAXIMUM_LIST_SIZE = 0x01010104;
inline constexpr NDIS_OID OID_OFFLOAD_ENCAPSULATION = 0x0101010A;
inline constexpr NDIS_OID OID_802_3_RCV_ERROR_ALIGNMENT = 0x01020101;
inline constexpr NDIS_OID OID_802_3_XMIT_ONE_COLLISION = 0x01020102;
inline constexpr NDIS_OID OID_802_3_XMIT_MORE_COLLISIONS = 0x01020103;
inline constexpr NDIS_OID OID_802_3_XMIT_DEFERRED = 0x01020201;
inline constexpr NDIS_OID OID_802_3_XMIT_MAX_COLLISIONS = 0x01020202;
inline constexpr NDIS_OID OID_802_3_RCV_OVERRUN = 0x01020203;
inline constexpr NDIS_OID OID_802_3_XMIT_UNDERRUN = 0x01020204;
inline constexpr NDIS_OID OID_802_3_XMIT_HEARTBEAT_FAILURE = 0x01020205;
inline constexpr NDIS_OID OID_802_3_XMIT_TIMES_CRS_LOST = 0x01020206;
inline constexpr NDIS_OID OID_802_3_XMIT_LATE_COLLISIONS = 0x01020207;

// ---- Power management and offload ---------------------------------------------------------------
inline constexpr NDIS_OID OID_PNP_SET_POWER = 0xFD010101;
inline constexpr NDIS_OID OID_PNP_QUERY_POWER = 0xFD010103;
inline constexpr NDIS_OID OID_TCP_TASK_OFFLOAD = 0xFC010201;
inline constexpr NDIS_OID OID_TCP_OFFLOAD_PARAMETERS = 0xFC01020C;

inline constexpr NDIS_STATUS NDIS_STATUS_TASK_OFFLOAD_CURRENT_CONFIG = static_cast<NDIS_STATUS>(0x40020006u);

// ---- Packet filter (the other bits are in ndis.h) and encapsulation
// ----------------------------------------------------------------
inline constexpr ULONG NDIS_PACKET_TYPE_SOURCE_ROUTING = 0x10;

inline constexpr ULONG NDIS_ENCAPSULATION_IEEE_802_3 = 0x02;
inline constexpr ULONG NDIS_ENCAPSULATION_IEEE_802_3_P_AND_Q = 0x04;
inline constexpr ULONG NDIS_ENCAPSULATION_IEEE_802_3_P_AND_Q_IN_OOB = 0x08;

// ---- Records ----------------------------------------------------------------------------------------------
inline constexpr UCHAR NDIS_OBJECT_TYPE_OFFLOAD = 0xA7;
inline constexpr UCHAR NDIS_OBJECT_TYPE_OFFLOAD_ENCAPSULATION = 0xA8;

struct NDIS_INTERRUPT_MODERATION_PARAMETERS {
  NDIS_OBJECT_HEADER Header;
  ULONG Flags;
  ULONG InterruptModeration;  // 1: not supported
};
static_assert(sizeof(NDIS_INTERRUPT_MODERATION_PARAMETERS) == 12);

struct NDIS_LINK_PARAMETERS {
  NDIS_OBJECT_HEADER Header;
  NET_IF_MEDIA_DUPLEX_STATE MediaDuplexState;
  ULONG64 XmitLinkSpeed;
  ULONG64 RcvLinkSpeed;
  ULONG PauseFunctions;
  ULONG AutoNegotiationFlags;
};
static_assert(sizeof(NDIS_LINK_PARAMETERS) == 32);

struct NDIS_OFFLOAD_ENCAPSULATION {
  NDIS_OBJECT_HEADER Header;
  struct {
    ULONG Enabled;  // 1 = off, 2 = on
    ULONG EncapsulationType;
    ULONG HeaderSize;
  } IPv4, IPv6;
};
static_assert(sizeof(NDIS_OFFLOAD_ENCAPSULATION) == 28);
inline constexpr ULONG NDIS_OFFLOAD_SET_ON = 2;
inline constexpr ULONG NDIS_OFFLOAD_SET_OFF = 1;

struct NDIS_OFFLOAD_PARAMETERS {
  NDIS_OBJECT_HEADER Header;
  UCHAR IPv4Checksum;
  UCHAR TCPIPv4Checksum;
  UCHAR UDPIPv4Checksum;
  UCHAR TCPIPv6Checksum;
  UCHAR UDPIPv6Checksum;
  UCHAR LsoV1;
  UCHAR IPsecV1;
  UCHAR LsoV2IPv4;
  UCHAR LsoV2IPv6;
  UCHAR TcpConnectionIPv4;
  UCHAR TcpConnectionIPv6;
  ULONG Flags;
};
static_assert(sizeof(NDIS_OFFLOAD_PARAMETERS) == 20);

struct NDIS_STATISTICS_INFO {
  NDIS_OBJECT_HEADER Header;
  ULONG SupportedStatistics;
  ULONG64 ifInDiscards;
  ULONG64 ifInErrors;
  ULONG64 ifHCInOctets;
  ULONG64 ifHCInUcastPkts;
  ULONG64 ifHCInMulticastPkts;
  ULONG64 ifHCInBroadcastPkts;
  ULONG64 ifHCOutOctets;
  ULONG64 ifHCOutUcastPkts;
  ULONG64 ifHCOutMulticastPkts;
  ULONG64 ifHCOutBroadcastPkts;
  ULONG64 ifOutErrors;
  ULONG64 ifOutDiscards;
  ULONG64 ifHCInUcastOctets;
  ULONG64 ifHCInMulticastOctets;
  ULONG64 ifHCInBroadcastOctets;
  ULONG64 ifHCOutUcastOctets;
  ULONG64 ifHCOutMulticastOctets;
  ULONG64 ifHCOutBroadcastOctets;
};
static_assert(sizeof(NDIS_STATISTICS_INFO) == 152);
