// zekhnic's control devices: "\Device\ZEKMINI" for the whole driver and one
// device per adapter named after its NetCfgInstanceId, both open to SYSTEM
// and administrators only, both served by ZekIoctl: register and PHY access,
// the adapter's counters and versions, port failover and, on the
// per-adapter device only, any query OID.
//
// Every request uses one buffered record for input and output. The
// miniport checks each record's size before it reads a byte: a shorter
// buffer fails with STATUS_BUFFER_TOO_SMALL, a longer one with
// STATUS_INFO_LENGTH_MISMATCH (ZEK_CONTROL_STATUS_OVERSIZED), and a
// failure returns no bytes; every byte returned was written by the request
// (the I/O manager hands the driver a zeroed buffer). Register offsets must
// be 4-byte aligned and below 4096, ring indices inside their ring, else
// STATUS_INVALID_PARAMETER.
//
// Where the adapter's own description would report a failure as success or
// leak bytes, the miniport answers soundly (docs/drivers.md):
//  - an OID query whose buffer cannot hold the 12-byte header fails with
//    STATUS_BUFFER_TOO_SMALL;
//  - an OID answer that does not fit returns the 12-byte header only, with
//    NDIS_STATUS_INVALID_LENGTH and the bytes needed;
//  - a failover request naming a function that is not there fails with
//    STATUS_NO_SUCH_DEVICE;
//  - failover clears only the other functions' link-down flag (0x02000000),
//    never their halt, reset or error flags.
#pragma once

#include <cstdint>

#include "miniport/adapter.h"

inline constexpr ULONG IOCTL_ZEKMINI_READ_INDEXED = 0x22A400;
inline constexpr ULONG IOCTL_ZEKMINI_WRITE_TABLE_ENTRY = 0x22A404;
inline constexpr ULONG IOCTL_ZEKMINI_READ_REG = 0x22A408;
inline constexpr ULONG IOCTL_ZEKMINI_WRITE_REG = 0x22A40C;
inline constexpr ULONG IOCTL_ZEKMINI_GET_ADAPTER_VERSIONS = 0x22A420;
inline constexpr ULONG IOCTL_ZEKMINI_GET_ADAPTER_INFO = 0x22A428;
inline constexpr ULONG IOCTL_ZEKMINI_A42C = 0x22A42C;
inline constexpr ULONG IOCTL_ZEKMINI_A430 = 0x22A430;
inline constexpr ULONG IOCTL_ZEKMINI_GET_RECORD_BY_INDEX = 0x22A434;
inline constexpr ULONG IOCTL_ZEKMINI_GET_FAILOVER = 0x22A438;
inline constexpr ULONG IOCTL_ZEKMINI_SET_FAILOVER = 0x22A43C;
inline constexpr ULONG IOCTL_ZEKMINI_READ_PHY_REG = 0x22A44C;
inline constexpr ULONG IOCTL_ZEKMINI_WRITE_PHY_REG = 0x22A450;
inline constexpr ULONG IOCTL_ZEKMINI_QUERY_OID = 0x172800;
inline constexpr ULONG IOCTL_ZEKMINI_NOP_6004 = 0x226004;
inline constexpr ULONG IOCTL_ZEKMINI_NOP_A0CB = 0x22A0CB;
inline constexpr ULONG IOCTL_ZEKMINI_NOP_A0CF = 0x22A0CF;

inline constexpr NTSTATUS ZEK_CONTROL_STATUS_OVERSIZED = STATUS_INFO_LENGTH_MISMATCH;
inline constexpr std::uint32_t ZEK_CONTROL_NO_ADAPTER = 0xFFFFFFFF;  // status word: no adapter has that number
inline constexpr ULONG ZEK_CONTROL_OID_HEADER = 12;
inline constexpr ULONG ZEK_CONTROL_OID_MAX_DATA = 64 * 1024;  // an OID query's data area at most

// The register and PHY record.
struct ZekControlRecord {
  std::uint32_t Reserved;
  std::uint32_t Adapter;  // PCI function + board key
  std::uint32_t Status;
  std::uint32_t Where;  // byte offset, indexed register, or entry index
  std::uint32_t Value;  // 8 bytes for the event-ring requests (with Value2)
  std::uint8_t PhyDevice;
  std::uint8_t Reserved21;
  std::uint16_t PhyRegister;
};
static_assert(sizeof(ZekControlRecord) == 24);
static_assert(offsetof(ZekControlRecord, Where) == 12);
static_assert(offsetof(ZekControlRecord, Value) == 16);
static_assert(offsetof(ZekControlRecord, PhyDevice) == 20);
static_assert(offsetof(ZekControlRecord, PhyRegister) == 22);

struct ZekVersionRecord {
  std::uint32_t Adapter;
  std::uint32_t Status;
  std::uint32_t Bits[3];  // indexed register 0x8E8 at bring-up: bit 0, bit 1, bits 2-3
};
static_assert(sizeof(ZekVersionRecord) == 20);

struct ZekInfoRecord {
  std::uint32_t Reserved;
  std::uint32_t Adapter;
  std::uint32_t Status;
  std::uint32_t DpcCalls;
  std::uint32_t InterruptsClaimed;
  std::uint32_t InterruptsNotClaimed;
  std::uint32_t DpcPassesCompleted;
  std::uint32_t Zero[9];
  std::uint32_t SendRing[2];  // the NIC send queue's head and tail
  std::uint32_t Unused72;
  std::uint32_t SendCompletions;
  std::uint32_t Receives;
};
static_assert(sizeof(ZekInfoRecord) == 84);
static_assert(offsetof(ZekInfoRecord, SendRing) == 64);
static_assert(offsetof(ZekInfoRecord, SendCompletions) == 76);

struct ZekEntryRecord {
  std::uint32_t Reserved;
  std::uint32_t Adapter;
  std::uint32_t Status;
  std::uint32_t Index;
  std::uint8_t Wqe[64];
};
static_assert(sizeof(ZekEntryRecord) == 80);

struct ZekFailoverRequest {
  std::uint32_t Mode;
  std::uint8_t Enable;
  std::uint8_t Reserved[3];
  std::uint32_t Status;
};
static_assert(sizeof(ZekFailoverRequest) == 12);

// The one dispatch routine of both devices.
NTSTATUS ZekIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// The driver's control device: registered by DriverEntry (a second call does
// nothing) and again by an adapter's initialisation when the last halt took
// it away; deregistered when the last adapter halts and at unload.
NDIS_STATUS ZekRegisterDevice();
void ZekDeregisterDevice();
// The per-adapter device, at the end of a successful initialisation (its
// failure only leaves it unregistered), and its removal at the start of the
// adapter's teardown, which waits for the requests running on the adapter.
void ZekRegisterAdapterDevice(ZEK_ADAPTER* adapter);
void ZekDeregisterAdapterDevice(ZEK_ADAPTER* adapter);
