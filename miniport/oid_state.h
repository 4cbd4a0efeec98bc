// The adapter's state that the OID requests, the statistics and the control
// devices keep: one record inside the adapter block (ZEK_ADAPTER::Oid).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ndis/ndis.h"

// The offload record the miniport declares and indicates: header type 0xA7,
// revision 1, 112 bytes. IPv4 checksum offload per direction, large send
// (version 1) for IPv4; IPv6 and large send version 2 stay zero, since the
// adapter offers neither.
struct ZekChecksumDirection {
  ULONG Encapsulation;  // NDIS_ENCAPSULATION_* bits
  ULONG IpOptions;      // 1 = supported
  ULONG TcpOptions;
  ULONG TcpChecksum;
  ULONG UdpChecksum;
  ULONG IpChecksum;
};
struct ZekOffloadRecord {
  NDIS_OBJECT_HEADER Header;
  ZekChecksumDirection Ipv4Transmit;
  ZekChecksumDirection Ipv4Receive;
  struct {
    ULONG Encapsulation;
    ULONG MaxOffLoadSize;
    ULONG MinSegmentCount;
    ULONG TcpOptions;
    ULONG IpOptions;
  } LsoV1;
  std::uint8_t Ipv6AndLsoV2[112 - 4 - 2 * 24 - 20];  // never offered
};
static_assert(sizeof(ZekOffloadRecord) == 112);
static_assert(offsetof(ZekOffloadRecord, Ipv4Transmit) == 4);
static_assert(offsetof(ZekOffloadRecord, Ipv4Receive) == 28);
static_assert(offsetof(ZekOffloadRecord, LsoV1) == 52);

struct ZekOidState {
  std::uint32_t VlanId;
  std::uint32_t EncapsulationType;  // 0 until set; 2, 4 or 8
  std::uint32_t EncapsulationHeaderSize;
  // Checksum offload in use per direction and large send, as the offload
  // parameters last set them.
  BOOLEAN TxChecksum;
  BOOLEAN RxChecksum;
  BOOLEAN LsoOn;
  ZekOffloadRecord HardwareOffload;  // the capabilities
  ZekOffloadRecord CurrentOffload;   // the configuration in use
  // The last link-detection pass in ms, rounded up (0 until the link timer
  // has run it once).
  std::uint32_t InitTimeMs;
  // The per-adapter device: the object that identifies the adapter to the
  // control dispatch, its NDIS handle, and the OID queries running on it.
  PDEVICE_OBJECT Device;
  NDIS_HANDLE DeviceHandle;
  volatile LONG QueriesRunning;
  // The SerDes maintenance timer (chip revision 4) and its saved counters.
  NDIS_HANDLE SerdesTimer;
  NDIS_HANDLE SerdesWork;          // the maintenance runs at PASSIVE_LEVEL on a work item
  volatile LONG SerdesWorkQueued;  // 1 from the timer's queueing to the maintenance's end
  volatile LONG SerdesHeld;        // a reset rests the maintenance
  std::uint32_t SerdesSaved;
  std::uint32_t SerdesReinitCount;
};
