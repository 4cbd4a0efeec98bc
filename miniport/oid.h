// zekhnic's OID requests: the dispatcher NDIS calls, the query and set
// handlers with every OID the miniport serves, the statistics taken from the
// adapter's counters, the diagnostic OIDs (register, PHY, EEPROM and flash
// access, data-path stop and start, the per-adapter device's name) and the
// attributes the initialisation declares (general and offload).
//
// Every handler answers a ZekOidResult: the status, the bytes written (a
// query) or read (a set), and the bytes a refused request needs. Lengths
// are checked before any byte of the caller's buffer is touched, and length
// arithmetic never wraps (64-bit sums, counts bounded by the buffer).
//
// Where the adapter's own description gives an answer that would mislead
// the caller, the miniport answers soundly; each such choice is a named
// constant below and described in docs/drivers.md:
//  - a request the adapter's state refuses fails with
//    ZEK_OID_STATUS_NOT_READY, a failure code, not a success-class one;
//  - OID_GEN_MEDIA_CONNECT_STATUS answers 0 (connected) or 1
//    (disconnected), never a status code as the value;
//  - setting OID_GEN_LINK_PARAMETERS indicates the link as it is;
//  - OID_GEN_RCV_ERROR is computed from the counters' totals, so repeating
//    the query does not add the drops again;
//  - OID_GEN_LINK_SPEED with a short buffer fails with the bytes needed;
//  - the out-unicast count never goes below 0;
//  - register offsets of the diagnostics must be 4-byte aligned and inside
//    the 4096-byte register window (ZEK_DIAG_WINDOW_BYTES), else
//    NDIS_STATUS_INVALID_DATA and nothing reaches the hardware.
#pragma once

#include <cstdint>

#include "miniport/adapter.h"
#include "platform/ndis/oids.h"

inline constexpr NDIS_STATUS NDIS_STATUS_ADAPTER_NOT_READY = static_cast<NDIS_STATUS>(0xC0010011u);
inline constexpr NDIS_STATUS ZEK_OID_STATUS_NOT_READY = NDIS_STATUS_ADAPTER_NOT_READY;

// The miniport's private OIDs (OID_ZEK_NIC_PROXY_INTERFACE is in include/zek/nicproxy.h).
inline constexpr NDIS_OID OID_ZEK_WRITE_INDEXED = 0xFF0200CF;
inline constexpr NDIS_OID OID_ZEK_READ_INDEXED = 0xFF0200D0;
inline constexpr NDIS_OID OID_ZEK_WRITE_REGISTER = 0xFF0200D1;
inline constexpr NDIS_OID OID_ZEK_READ_REGISTER = 0xFF0200D2;
inline constexpr NDIS_OID OID_ZEK_READ_FLASH = 0xFF0200D4;
inline constexpr NDIS_OID OID_ZEK_WRITE_PHY = 0xFF0200D5;
inline constexpr NDIS_OID OID_ZEK_READ_PHY = 0xFF0200D6;
inline constexpr NDIS_OID OID_ZEK_READ_EEPROM = 0xFF0200D7;
inline constexpr NDIS_OID OID_ZEK_READ_EEPROM_DEVICE = 0xFF0200D8;
inline constexpr NDIS_OID OID_ZEK_DEVICE_NAME = 0xFF0201A9;
inline constexpr NDIS_OID OID_ZEK_START_DATA_PATH = 0xFF0201F5;
inline constexpr NDIS_OID OID_ZEK_STOP_DATA_PATH = 0xFF0201F6;
inline constexpr NDIS_OID ZEK_DIAG_OID_FIRST = 0xFF0200CF;
inline constexpr NDIS_OID ZEK_DIAG_OID_LAST = 0xFF0201F6;

inline constexpr std::uint32_t ZEK_DIAG_MAGIC = 0x8086;
inline constexpr std::uint32_t ZEK_DIAG_WINDOW_BYTES = 4096;  // offsets at or beyond it never reach the hardware
inline constexpr std::uint32_t ZEK_DIAG_FLASH_STATUS_POLLS = 100'000;
inline constexpr std::uint32_t ZEK_DIAG_PHY_DEVICE = 1;  // the 10G PHY's device of the PHY OIDs
inline constexpr std::uint32_t ZEK_DIAG_RECORD_BYTES = 12;
inline constexpr std::uint32_t ZEK_DIAG_EEPROM_MIN_BYTES = 14;

inline constexpr std::uint32_t ZEK_VENDOR_DRIVER_VERSION = 0x0001000E;
inline constexpr char ZEK_VENDOR_DESCRIPTION[] = "Quillmora";
inline constexpr std::uint32_t ZEK_PACKET_FILTERS = 0x2F;
inline constexpr std::uint32_t ZEK_SUPPORTED_STATISTICS = 0x3F87FF;
inline constexpr std::uint32_t ZEK_LSO_MAX_OFFLOAD = 64240;
inline constexpr std::uint32_t ZEK_LSO_MIN_SEGMENTS = 2;
inline constexpr std::uint32_t ZEK_JUMBO_BUFFER = 9014;
inline constexpr std::uint32_t ZEK_STANDARD_BUFFER = 1514;

inline constexpr std::size_t ZEK_SUPPORTED_OID_COUNT = 55;
extern const NDIS_OID ZekSupportedOids[ZEK_SUPPORTED_OID_COUNT];

struct ZekOidResult {
  NDIS_STATUS Status;
  ULONG Bytes;   // written (query) or read (set)
  ULONG Needed;  // what a refused request needs
};

// MiniportOidRequest: refused by the adapter's state (halted, initialising,
// halting, and shut down except for the packet filter), else by type.
// Requests complete at once.
NDIS_STATUS ZekOidRequest(NDIS_HANDLE MiniportAdapterContext, PNDIS_OID_REQUEST OidRequest);

ZekOidResult MPQueryInformation(ZEK_ADAPTER* adapter, NDIS_OID oid, void* buffer, ULONG length);
ZekOidResult MPSetInformation(ZEK_ADAPTER* adapter, NDIS_OID oid, const void* buffer, ULONG length);
// The diagnostic OIDs (queries whose records carry their input).
ZekOidResult GetNetDeviceName(ZEK_ADAPTER* adapter, NDIS_OID oid, void* buffer, ULONG length);
// OID_GEN_STATISTICS and the counter OIDs.
ZekOidResult ZekQueryStatistics(ZEK_ADAPTER* adapter, NDIS_OID oid, void* buffer, ULONG length);
bool ZekIsStatisticsOid(NDIS_OID oid);

// Indicates NDIS_STATUS_LINK_STATE: connected at the link speed with full
// duplex, or disconnected.
void ZekIndicateLink(ZEK_ADAPTER* adapter, bool up);

// The offload capabilities and configuration, from the chip revision and
// the registry (before the offload attributes are declared).
void ZekInitOffload(ZEK_ADAPTER* adapter);
// Declares the offload attributes (after the bring-up) and the general
// attributes with the supported-OID list; the NDIS status.
NDIS_STATUS ZekSetOffloadAttributes(ZEK_ADAPTER* adapter);
NDIS_STATUS ZekSetGeneralAttributes(ZEK_ADAPTER* adapter);

// The driver-wide parts, set up by DriverEntry and taken down by unload: the
// flash lock of the diagnostics.
void ZekOidDriverInit();
void ZekOidDriverFree();
// The adapter's parts: counters' accumulators (init) and their release (free).
NDIS_STATUS ZekOidAdapterInit(ZEK_ADAPTER* adapter);
void ZekOidAdapterFree(ZEK_ADAPTER* adapter);
