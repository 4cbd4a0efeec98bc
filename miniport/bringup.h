// zekhnic's hardware bring-up: the adapter's addresses and receive filters,
// its EEPROM, the device-level routines (the firmware check, the resets) and
// the building and taking down of the queues that make a mapped PCI function
// a working adapter.
//
// What the routines do where the adapter's description leaves it open, or
// where following it word for word would lose data or hang the host, is
// named here as a constant and described in docs/drivers.md.
#pragma once

#include <cstdint>

#include "miniport/adapter.h"

// A device object that is null, 0xCCCCCCCC or without its register window
// (logged with the routine's name): the routines refuse it with 1.
bool ZekBadDevice(const MifhDeviceObj* device, const char* routine);

// ---- Addresses, filters and the multicast hash --------------------------------------------------------
inline constexpr std::uint32_t ZEK_MAX_MULTICAST = 32;  // addresses in the adapter's multicast list
inline constexpr std::uint32_t ZEK_MAC_SLOTS = 20;      // MAC slots of the receive filters
inline constexpr std::uint32_t ZEK_HASH_WORDS = 4;      // one multicast hash word per PCI function of a board

// `mac` with `add` added to its last two bytes taken as one big-endian 16-bit
// number; no carry into byte 3.
void ZekMacAddLow16(const std::uint8_t mac[6], std::uint32_t add, std::uint8_t out[6]);
// The board, permanent and SAN addresses from the device object's first MAC
// block: 0, or 1 for a bad device object or an erased block.
ZekStatus mifh_read_mac_address(ZEK_ADAPTER* adapter);
// 0 when `mac` may be a permanent address; 1 (logged) for a multicast or
// broadcast address.
ZekStatus ZekCheckPermanentAddress(const std::uint8_t mac[6]);
ZekStatus mifh_calculate_mchash_index(const std::uint8_t mac[6], std::uint32_t* index);
ZekStatus mifh_set_mchash_reg(MifhDeviceObj* device, std::uint64_t hash);
// Per-slot masks: 0, or 1 for a bad device object or a slot of 20 or more.
ZekStatus mifh_enable_unicast_all(MifhDeviceObj* device, std::uint32_t slot, std::uint32_t on);
ZekStatus mifh_enable_multicast(MifhDeviceObj* device, std::uint32_t slot, std::uint32_t on);
// Rebuilds this function's hash word from the adapter's multicast list and
// writes the OR of the board's words: 0, or 1 for more than 32 addresses
// (nothing changes) or a function without a hash word.
ZekStatus CommonSetMulticastList(ZEK_ADAPTER* adapter);
// Destination-IP entry n (0-31) and its 2-bit type: 0, or 1.
ZekStatus mifh_set_dst_ip_addr(MifhDeviceObj* device, std::uint32_t entry, std::uint32_t ipv4);
ZekStatus mifh_set_dst_ip_addr_type(MifhDeviceObj* device, std::uint32_t entry, std::uint32_t type);

// ---- EEPROM ----------------------------------------------------------------------------------------------
inline constexpr std::uint32_t ZEK_EEPROM_WORDS = 1024;
inline constexpr std::uint32_t ZEK_EEPROM_BYTES = 2 * ZEK_EEPROM_WORDS;
inline constexpr ZekStatus ZEK_EEPROM_TIMEOUT = 0xFFFFFFFF;
inline constexpr std::uint16_t ZEK_SW_TAG = 0x5753;  // "SW"
inline constexpr std::uint16_t ZEK_NF_TAG = 0x464E;  // "NF"
// Device object BufferFlags bit: the EEPROM buffer holds the swapped image.
inline constexpr std::uint8_t ZEK_BUFFER_EEPROM_SWAPPED = 0x08;

// The driver-wide EEPROM lock, a blocking lock set up once by DriverEntry and
// taken by every EEPROM access, reads and writes alike, so that no command
// and data of two accesses interleave. EEPROM access runs at PASSIVE_LEVEL.
void ZekEepromLockInit();
void ZekEepromLockFree();
// Word read and write through the EEPROM registers (the hardware interface's
// sequences) under the EEPROM lock: 0, or ZEK_EEPROM_TIMEOUT when the EEPROM
// stays busy or the range does not fit.
ZekStatus ZekEepromReadWords(MifhDeviceObj* device, std::uint32_t first, std::uint16_t* out, std::uint32_t count);
ZekStatus ZekEepromWriteWords(MifhDeviceObj* device, std::uint32_t first, const std::uint16_t* words,
                              std::uint32_t count);
// The software section of an EEPROM buffer in the driver's (swapped) order:
// its byte offset, or 1 when there is none. `second_used` tells which copy.
ZekStatus ZekEepromFindSwSection(const std::uint8_t* buffer, std::uint32_t bytes, std::uint32_t* offset,
                                 bool* second_used);
// Puts an EEPROM image (1024 words in the EEPROM's order) into the device
// object's buffer in the driver's order and finds its software section: 0,
// or 1.
ZekStatus ZekEepromLoadImage(MifhDeviceObj* device, const std::uint16_t* image);
// Reads the EEPROM into the device object's buffer and finds the software
// section: 0, or 1. A test may give the image instead (ZekInjectEepromImage,
// null to read the EEPROM again).
void ZekInjectEepromImage(const std::uint16_t* image);
ZekStatus mifh_eeprom_sw_read_device(MifhDeviceObj* device);
// Software-section u32 word n (0 past the buffer's end).
std::uint32_t ZekSwWord(const MifhDeviceObj* device, std::uint32_t n);
// Firmware and EEPROM versions from the "NF" section: true when found.
bool ZekEepromVersions(const std::uint8_t* buffer, std::uint32_t bytes, std::uint8_t versions[4]);

// ---- Device initialisation and resets ---------------------------------------------------------------
inline constexpr std::uint32_t ZEK_FIRMWARE_POLLS = 10'000;  // 49 us apart
inline constexpr std::uint32_t ZEK_GLOBAL_RESET_POLLS = 10'000;
inline constexpr std::uint32_t ZEK_PORT_RESET_POLLS = 5000;  // 1 us apart
inline constexpr std::uint32_t ZEK_LOAD_MARKER = 0x4C495645;
inline constexpr std::uint32_t ZEK_SCRATCHPAD_LOADS = 8;
inline constexpr std::uint32_t ZEK_SCRATCHPAD_MARKER = 9;
// The IP entries of the board's tables: the adapter's destination-IP table.
inline constexpr std::uint32_t ZEK_DEVICE_IP_ENTRIES = 32;

// Reads the EEPROM, then ZekDeviceInitFromImage.
ZekStatus mifh_device_init(MifhDeviceObj* device);
// The device object's configuration from the image in its EEPROM buffer
// (port mode, PHY, MAC blocks, limits, interrupt words, versions).
ZekStatus ZekDeviceInitFromImage(MifhDeviceObj* device);
ZekStatus mifh_hw_checkcqp_alive(MifhDeviceObj* device);
ZekStatus mifh_hardware_softreset(MifhDeviceObj* device, bool force);
// The value the global reset writes to register 0x30, from the current one.
std::uint32_t ZekGlobalResetValue(std::uint32_t current);
ZekStatus ZekGlobalReset(MifhDeviceObj* device);
ZekStatus ZekPortReset(MifhDeviceObj* device);
void mifh_errata_5068(MifhDeviceObj* device);
// The port of a function by its PHY type.
std::uint32_t ZekPortOfFunction(std::uint32_t function, std::uint32_t phy_type);

// ---- Bring-up and teardown ---------------------------------------------------------------------------
// The shared-memory blocks of one function, in allocation order.
enum ZekBlock : std::uint32_t {
  ZEK_BLOCK_AEQ,
  ZEK_BLOCK_CEQ0,
  ZEK_BLOCK_CEQ1,
  ZEK_BLOCK_CCQ,
  ZEK_BLOCK_CQP_RING,
  ZEK_BLOCK_NIC_CQ,
  ZEK_BLOCK_NIC_SQ,
  ZEK_BLOCK_NIC_RQ,
  ZEK_BLOCK_NIC_QP_CONTEXT,
  ZEK_BLOCK_CQP_CONTEXT,
  ZEK_BLOCK_COUNT
};
// Bytes of each block for the adapter's registry values.
std::uint32_t ZekBlockBytes(const ZEK_ADAPTER* adapter, ZekBlock block);

// The steps of the bring-up, in order; a test may make one fail
// (ZekInjectBringUpFault) to see the bring-up unwind exactly what it built.
enum ZekBringUpStep : std::uint32_t {
  ZEK_STEP_NONE,
  ZEK_STEP_DEVICE_OBJECT,
  ZEK_STEP_DEVICE_INIT,
  ZEK_STEP_BOARD_OBJECTS,
  ZEK_STEP_ALLOCATE_BLOCKS,  // fails the allocation of block (ZekInjectBringUpFault's `detail`)
  ZEK_STEP_INIT_OBJECTS,
  ZEK_STEP_CREATE_CQP,
  ZEK_STEP_CREATE_CCQ,
  ZEK_STEP_CREATE_CEQ0,
  ZEK_STEP_CREATE_AEQ,
  ZEK_STEP_CREATE_CEQ1,
  ZEK_STEP_CREATE_NIC_CQ,
  ZEK_STEP_CREATE_NIC_QP,
  ZEK_STEP_MAC_ADDRESS,
};
void ZekInjectBringUpFault(ZekBringUpStep step, std::uint32_t detail = 0);

// The board-level part of initialisation: 0, or 1 on any failure.
ZekStatus CommonInitBaseObject(ZEK_ADAPTER* adapter);
// The queues: 0, or the failing step's status. What it built stays for
// CommonFreeMifResources, which takes down exactly that.
ZekStatus mifh_hw_init(ZEK_ADAPTER* adapter);
ZekStatus mifh_post_hw_init(ZEK_ADAPTER* adapter);
void CommonFreeMifResources(ZEK_ADAPTER* adapter);
// The rest of a function's teardown, whatever step its bring-up reached: the
// load count (never below 0; the last function's port hold written back)
// and the function's place in the driver's table of boards.
void ZekReleaseLoad(ZEK_ADAPTER* adapter);
void ZekReleaseBoard(ZEK_ADAPTER* adapter);
// Counts the function in the driver's table of boards (16 boards): true when
// another function of its board is already in bring-up or running, so that
// only the first function of a board resets it, also when functions
// initialise at the same time. *full when the table has no room.
bool ZekRegisterBoard(ZEK_ADAPTER* adapter, bool* full);
// The driver-wide lock of the load marker, set up by DriverEntry.
void ZekBringUpLockInit();
void ZekBringUpLockFree();
// The device's link-allowed byte: set once the NIC is up (the end of the
// initialisation), cleared when the halt begins. The proxy driver's link
// test reports up only while it is set. Written and read without a lock.
void ZekSetLinkAllowed(MifhDeviceObj* device, bool allowed);
// The port's link as its lane words report it: all four lanes in sync and
// the port's status bit set.
bool ZekLinkIsUp(MifhDeviceObj* device);
// The link timer's routine: the end of the bring-up, then the link state.
void LinkDetectionDpc(PVOID system1, PVOID context, PVOID system2, PVOID system3);
