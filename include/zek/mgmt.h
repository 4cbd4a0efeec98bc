// The records of the proxy driver's management requests (codes in
// include/zek/ioctl.h, family MANAGEMENT): adapters and their management
// handles, ports and nodes, the adapter's statistics counters, the debug
// table, the SPI flash and the configuration EEPROM, the reset pulse, the
// versions, a port's link state and the review tables.
//
// Every record is one buffer for input and output. User pointers in a
// record are addresses of the calling process; the driver maps each for
// exactly the length the request states and writes nothing outside it.
// The driver answers in the record's status word: 0 success, 1 failure
// (ZEK_MGMT_STATUS_*). The request itself fails only when the record is
// shorter than its code's size (STATUS_BUFFER_TOO_SMALL) or the driver is
// not ready; everything else, a forged or stale handle included, is
// answered with status 1 and the whole record returned, so that a client
// never takes an untouched record for a success.
//
// A management handle is the opaque 64-bit value OPEN_ADAPTER returns. The
// driver accepts it only while it names an adapter it has attached; it
// never reads through a handle it has not found among its adapters.
//
// Where the adapter's own description is silent the driver decides as
// follows (docs/drivers.md, "Management requests"):
//   - writes to the flash or the EEPROM, their erases and the reset pulse
//     are served to privileged callers only (kernel-mode callers and
//     processes whose effective user id is the administrator's, by the
//     platform's privilege check); others get ZEK_MGMT_STATUS_FAILURE and
//     the hardware is not touched. Reads, counters, versions, link state
//     and the tables are open to any caller;
//   - a flash write holds the EEPROM lock as well as the flash lock (it
//     reads the EEPROM's software section first); either refused, the
//     refusal's status is answered and the hardware is not touched;
//   - the link state is the port's link while the miniport allows it (from
//     the NIC's bring-up to its halt), down otherwise;
//   - the per-port counters of port n are node n of the handle's function
//     (the adapter's counter block function + n);
//   - a flash range must be word-aligned and inside the 16 MB; an EEPROM
//     range inside the 1024 words; anything else is refused before the
//     hardware is touched;
//   - a port index names the port of the function with that port number
//     on the same board (the handle's board), below GET_NUM_PORTS' count;
//   - the EEPROM's PCI-configuration path (path 0) is not reachable from
//     the proxy driver (it has no bus interface of its own): it answers 1;
//   - REVIEW_GET's second set carries the region table manager's four
//     counts in words 6, 7, 14 and 15 (the words the resource managers leave
//     free), never over the resource counts in words 0-5 and 8-13;
//   - SET_DEBUG writes an entry's second word, GET_DEBUG reads its first:
//     kept as the adapter's tools expect (a GET after a SET reads 0).
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Status words ----------------------------------------------------------------------------
inline constexpr std::uint32_t ZEK_MGMT_STATUS_SUCCESS = 0;
inline constexpr std::uint32_t ZEK_MGMT_STATUS_FAILURE = 1;

// ---- Constants ---------------------------------------------------------------------------------
// The debug table: 272 entries of two u32 words, indexes 0x120000-0x12010F.
// Indexes below ZEK_MGMT_DEBUG_ZERO_BELOW read 0 with success.
inline constexpr std::uint32_t ZEK_MGMT_DEBUG_FIRST = 0x120000;
inline constexpr std::uint32_t ZEK_MGMT_DEBUG_ENTRIES = 272;
inline constexpr std::uint32_t ZEK_MGMT_DEBUG_ZERO_BELOW = 0x10000;

// GET_PCTRL's link state.
inline constexpr std::uint32_t ZEK_MGMT_LINK_UP = 1;
inline constexpr std::uint32_t ZEK_MGMT_LINK_DOWN = 2;

// GET_NUM_PORTS by the device's port mode: 1 -> 2 ports, 3 -> 4, else 1.
inline constexpr std::uint32_t ZekMgmtPortsOfMode(std::uint32_t portMode) {
  return portMode == 1 ? 2 : portMode == 3 ? 4 : 1;
}
// GET_NUM_NODES answers one node per adapter.
inline constexpr std::uint32_t ZEK_MGMT_NODES = 1;

// FLASH_ERASE's sector number is shifted to the sector's byte address.
inline constexpr std::uint32_t ZEK_MGMT_FLASH_SECTOR_SHIFT = 16;
inline constexpr std::uint32_t ZEK_MGMT_FLASH_BYTES = 16u << 20;
inline constexpr std::uint32_t ZEK_MGMT_FLASH_SECTORS = ZEK_MGMT_FLASH_BYTES >> ZEK_MGMT_FLASH_SECTOR_SHIFT;
inline constexpr std::uint32_t ZEK_MGMT_EEPROM_WORDS = 1024;

// EEPROM path byte: non-zero the adapter's registers, 0 PCI configuration space.
inline constexpr std::uint8_t ZEK_MGMT_EEPROM_PATH_PCI = 0;
inline constexpr std::uint8_t ZEK_MGMT_EEPROM_PATH_REGISTERS = 1;

// RESET_WAIT: the adapter register written, the pulse, and the waits around
// it (full waits, at PASSIVE_LEVEL, no spin lock held).
inline constexpr std::uint32_t ZEK_MGMT_RESET_REGISTER = 0x30;
inline constexpr std::uint32_t ZEK_MGMT_RESET_PULSE = 0xD;
inline constexpr std::uint32_t ZEK_MGMT_RESET_WAIT_US = 1000000;

// REVIEW_GET: the words of the second set that carry the region table
// manager's counts.
inline constexpr std::uint32_t ZEK_REVIEW_WORDS = 16;
inline constexpr std::uint32_t ZEK_REVIEW_MRTE_INITIAL_256 = 6;
inline constexpr std::uint32_t ZEK_REVIEW_MRTE_INITIAL_4K = 7;
inline constexpr std::uint32_t ZEK_REVIEW_MRTE_USED_256 = 14;
inline constexpr std::uint32_t ZEK_REVIEW_MRTE_USED_4K = 15;

// ---- Records -----------------------------------------------------------------------------------

// IOCTL_ZEK_MGMT_GET_NUM_ADAPTERS.
struct ZekMgmtNumAdaptersRecord {
  std::uint64_t CountAddress;  // user pointer to a u32: the number of attached adapters (out)
  std::uint32_t Status;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekMgmtNumAdaptersRecord, CountAddress) == 0);
static_assert(offsetof(ZekMgmtNumAdaptersRecord, Status) == 8);
static_assert(sizeof(ZekMgmtNumAdaptersRecord) == 16);

// IOCTL_ZEK_MGMT_OPEN_ADAPTER.
struct ZekMgmtOpenAdapterRecord {
  std::uint64_t HandleAddress;      // user pointer to a u64: the management handle (out)
  std::uint32_t AdapterNumber;      // in
  std::uint32_t Identification[2];  // out: the device's two identification words
  std::uint32_t PciFunction;        // out
  std::uint32_t Status;             // 1: no such adapter
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekMgmtOpenAdapterRecord, AdapterNumber) == 8);
static_assert(offsetof(ZekMgmtOpenAdapterRecord, Identification) == 12);
static_assert(offsetof(ZekMgmtOpenAdapterRecord, PciFunction) == 20);
static_assert(offsetof(ZekMgmtOpenAdapterRecord, Status) == 24);
static_assert(sizeof(ZekMgmtOpenAdapterRecord) == 32);

// IOCTL_ZEK_MGMT_CLOSE_ADAPTER, IOCTL_ZEK_MGMT_RESET_WAIT.
struct ZekMgmtHandleRecord {
  std::uint64_t Handle;
  std::uint32_t Status;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekMgmtHandleRecord, Status) == 8);
static_assert(sizeof(ZekMgmtHandleRecord) == 16);

// IOCTL_ZEK_MGMT_GET_NUM_PORTS, IOCTL_ZEK_MGMT_GET_NUM_NODES.
struct ZekMgmtCountRecord {
  std::uint64_t Handle;
  std::uint64_t CountAddress;  // user pointer to a u32 (out)
  std::uint32_t Status;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekMgmtCountRecord, CountAddress) == 8);
static_assert(offsetof(ZekMgmtCountRecord, Status) == 16);
static_assert(sizeof(ZekMgmtCountRecord) == 24);

// IOCTL_ZEK_MGMT_GET_PSTAT / SET_PSTAT (adapter counters 0x1000-0x1019) and
// GET_NSTAT / SET_NSTAT (per-port counters 0x2000-0x203E, port below 16).
// The value is the counter's running total; the SET codes always answer 1.
struct ZekStatsRequest {
  std::uint64_t Handle;
  std::uint64_t Value;  // out
  std::uint32_t Port;
  std::uint32_t CounterId;
  std::uint32_t Status;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekStatsRequest, Value) == 8);
static_assert(offsetof(ZekStatsRequest, Port) == 16);
static_assert(offsetof(ZekStatsRequest, CounterId) == 20);
static_assert(offsetof(ZekStatsRequest, Status) == 24);
static_assert(sizeof(ZekStatsRequest) == 32);

// IOCTL_ZEK_MGMT_GET_DEBUG (Value out, zero-extended) and SET_DEBUG (the
// low 32 bits of Value in).
struct ZekMgmtDebugRecord {
  std::uint64_t Handle;
  std::uint64_t Value;
  std::uint32_t Reserved1;
  std::uint32_t Index;
  std::uint32_t Status;
  std::uint32_t Reserved2;
};
static_assert(offsetof(ZekMgmtDebugRecord, Value) == 8);
static_assert(offsetof(ZekMgmtDebugRecord, Index) == 20);
static_assert(offsetof(ZekMgmtDebugRecord, Status) == 24);
static_assert(sizeof(ZekMgmtDebugRecord) == 32);

// IOCTL_ZEK_MGMT_FLASH_WRITE (words in) and FLASH_READ (words out).
struct ZekFlashRequest {
  std::uint64_t Handle;
  std::uint32_t Address;  // flash byte address, a multiple of 4
  std::uint32_t Reserved1;
  std::uint64_t Data;   // user pointer to Count u32 words
  std::uint32_t Count;  // 32-bit words
  std::uint32_t Status;
};
static_assert(offsetof(ZekFlashRequest, Address) == 8);
static_assert(offsetof(ZekFlashRequest, Data) == 16);
static_assert(offsetof(ZekFlashRequest, Count) == 24);
static_assert(offsetof(ZekFlashRequest, Status) == 28);
static_assert(sizeof(ZekFlashRequest) == 32);

// IOCTL_ZEK_MGMT_FLASH_ERASE: the 64 KB sector at Sector << 16.
struct ZekFlashEraseRecord {
  std::uint64_t Handle;
  std::uint32_t Sector;
  std::uint32_t Status;
};
static_assert(offsetof(ZekFlashEraseRecord, Sector) == 8);
static_assert(offsetof(ZekFlashEraseRecord, Status) == 12);
static_assert(sizeof(ZekFlashEraseRecord) == 16);

// IOCTL_ZEK_MGMT_EEPROM_WRITE (words in) and EEPROM_READ (words out).
struct ZekEepromRequest {
  std::uint64_t Handle;
  std::uint16_t Address;  // first word
  std::uint16_t Reserved1[3];
  std::uint64_t Data;  // user pointer to Count u16 words
  std::uint16_t Count;
  std::uint8_t Path;  // ZEK_MGMT_EEPROM_PATH_*
  std::uint8_t Reserved2;
  std::uint32_t Status;
};
static_assert(offsetof(ZekEepromRequest, Address) == 8);
static_assert(offsetof(ZekEepromRequest, Data) == 16);
static_assert(offsetof(ZekEepromRequest, Count) == 24);
static_assert(offsetof(ZekEepromRequest, Path) == 26);
static_assert(offsetof(ZekEepromRequest, Status) == 28);
static_assert(sizeof(ZekEepromRequest) == 32);

// IOCTL_ZEK_MGMT_EEPROM_ERASE: 0xFFFF into Count words from Address.
struct ZekEepromEraseRecord {
  std::uint64_t Handle;
  std::uint16_t Address;
  std::uint16_t Count;
  std::uint8_t Path;
  std::uint8_t Reserved1[3];
  std::uint32_t Status;
  std::uint32_t Reserved2;
};
static_assert(offsetof(ZekEepromEraseRecord, Address) == 8);
static_assert(offsetof(ZekEepromEraseRecord, Count) == 10);
static_assert(offsetof(ZekEepromEraseRecord, Path) == 12);
static_assert(offsetof(ZekEepromEraseRecord, Status) == 16);
static_assert(sizeof(ZekEepromEraseRecord) == 24);

// IOCTL_ZEK_MGMT_FLASH_GET_VERSION, IOCTL_ZEK_MGMT_EEPROM_GET_VERSION.
struct ZekMgmtVersionRecord {
  std::uint64_t Handle;
  std::uint8_t Version[2];  // out
  std::uint8_t Reserved[2];
  std::uint32_t Status;
};
static_assert(offsetof(ZekMgmtVersionRecord, Version) == 8);
static_assert(offsetof(ZekMgmtVersionRecord, Status) == 12);
static_assert(sizeof(ZekMgmtVersionRecord) == 16);

// IOCTL_ZEK_MGMT_GET_PCTRL.
struct ZekMgmtPortControlRecord {
  std::uint64_t Handle;
  std::uint32_t Port;
  std::uint32_t LinkState;  // out: ZEK_MGMT_LINK_UP or ZEK_MGMT_LINK_DOWN
  std::uint32_t Status;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekMgmtPortControlRecord, Port) == 8);
static_assert(offsetof(ZekMgmtPortControlRecord, LinkState) == 12);
static_assert(offsetof(ZekMgmtPortControlRecord, Status) == 16);
static_assert(sizeof(ZekMgmtPortControlRecord) == 24);

// IOCTL_ZEK_MGMT_REVIEW_GET: the adapter's resource counts. First set
// (this function's numbers): words 0-5 numbers held per type (QP, CQ, MR,
// PD, user PD, IRD), words 8-13 numbers in use. Second set (the adapter's):
// words 0-5 numbers per type, words 8-13 numbers lent to the functions, and
// the region table manager's page-list chunks in words 6, 7 (256-byte and
// 4 KB chunks at start) and 14, 15 (in use).
struct ZekReviewRequest {
  std::uint64_t Handle;
  std::uint32_t First[ZEK_REVIEW_WORDS];
  std::uint32_t Second[ZEK_REVIEW_WORDS];
  std::uint32_t Status;
  std::uint32_t Reserved;
};
static_assert(offsetof(ZekReviewRequest, First) == 8);
static_assert(offsetof(ZekReviewRequest, Second) == 72);
static_assert(offsetof(ZekReviewRequest, Status) == 136);
static_assert(sizeof(ZekReviewRequest) == 144);
