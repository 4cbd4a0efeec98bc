// The adapter's configuration EEPROM (16-bit words) and SPI flash (32-bit
// words) through their controller registers, for the management requests
// that read, write and erase them. Layouts and register bits are in
// include/hw/storage.h.
//
// The routines run at passive level with the caller's EEPROM or flash
// manager lock held, never under a spin lock: their busy polls and stalls
// (10 us per look, 100 us between status reads while an erase runs) would
// otherwise hold a processor. The one indexed read (idx 0x8E8) takes the
// index-register lock around that access only.
//
// Beyond the controller sequences they refuse what would wrap or corrupt:
// an EEPROM range past word 1023, a flash address that is not word-aligned
// or a range past the 16 MB, and they split a buffered program at a
// 256-byte page boundary (the flash would wrap within the page). A command
// that delivers a word (status read, read) is followed by a poll for "not
// busy" before the data register is taken, and an erase clears the block
// protection first, as a program does.
#pragma once

#include <cstdint>

#include "include/zek/mifh.h"

// Poll bounds and stalls of the sequences.
inline constexpr std::uint32_t MIFH_FLASH_POLLS = 100000;
inline constexpr std::uint32_t MIFH_EEPROM_POLLS = 1000000;
inline constexpr std::uint32_t MIFH_STORAGE_STALL_US = 10;
inline constexpr std::uint32_t MIFH_FLASH_ERASE_DELAY_US = 100;
inline constexpr std::uint32_t MIFH_FLASH_PAGE_REPEAT = 10;  // a single-word program writes the word ten times

// `path` of the EEPROM routines.
inline constexpr std::uint32_t MIFH_EEPROM_PATH_PCI = 0;       // PCI configuration dwords 0xF4 / 0xF8
inline constexpr std::uint32_t MIFH_EEPROM_PATH_REGISTER = 1;  // any non-zero value: registers 0x20 / 0x24

// PCI configuration access for the EEPROM's second path, set by the driver
// that owns the bus interface (statuses: ZEK_STATUS_PASS or a failure). Not
// set: the PCI path fails.
using MifhPciConfigRead = ZekStatus (*)(MifhDeviceObj* device, std::uint32_t offset, std::uint32_t* value);
using MifhPciConfigWrite = ZekStatus (*)(MifhDeviceObj* device, std::uint32_t offset, std::uint32_t value);
extern "C" void mifh_set_pci_config_access(MifhPciConfigRead read, MifhPciConfigWrite write);

// One flash command once the controller is idle: 0, or 1 when it stays busy
// (before or after) or the opcode is not one of the set.
extern "C" std::uint32_t mifh_flash_command(MifhDeviceObj* device, std::uint8_t opcode, std::uint32_t address);
// The flash's write-in-progress bit (0 or 1), or -1 when the command failed.
extern "C" int mifh_flash_read_status(MifhDeviceObj* device);
// Programs `count` words from `byteAddress` (word-aligned): 8-word groups, or
// one word per program where the EEPROM and idx 0x8E8 choose it. 0 or -1.
extern "C" int mifh_flash_write(MifhDeviceObj* device, const std::uint32_t* words, std::uint32_t byteAddress,
                                std::uint32_t count);
extern "C" int mifh_flash_write_page(MifhDeviceObj* device, const std::uint32_t* words, std::uint32_t byteAddress,
                                     std::uint32_t count);
// Reads `count` words from `byteAddress`. 0 or -1.
extern "C" int mifh_flash_read(MifhDeviceObj* device, std::uint32_t* words, std::uint32_t byteAddress,
                               std::uint32_t count);
// Erases 64 KB sector `sector` (0-255). 0 or -1.
extern "C" int mifh_flash_erase_sector(MifhDeviceObj* device, std::uint32_t sector);

// EEPROM words [address, address + count) of 1024. 0 or -1.
extern "C" int mifh_eeprom_write_words(MifhDeviceObj* device, const std::uint16_t* words, std::uint32_t address,
                                       std::uint32_t count, std::uint32_t path);
extern "C" int mifh_eeprom_read_words(MifhDeviceObj* device, std::uint32_t address, std::uint16_t* words,
                                      std::uint32_t count, std::uint32_t path);
// Writes 0xFFFF into `count` words from `address`.
extern "C" int mifh_eeprom_write_word(MifhDeviceObj* device, std::uint32_t address, std::uint32_t count,
                                      std::uint32_t path);
