// The adapter's configuration EEPROM and its serial (SPI) flash: the
// controller registers both drivers program, the EEPROM's second path
// through PCI configuration space, the flash command set, and the layout of
// the EEPROM image (control word, base regions, the paired sections, the
// software and version sections). Shared by the hardware-interface module,
// the miniport, the tools and the simulated adapter; described in
// docs/hardware.md ("EEPROM" and "SPI flash").
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/hw/registers.h"

namespace zekhw {

// ---------------------------------------------------------------------------
// EEPROM: 1024 words of 16 bits.
inline constexpr unsigned kEepromWords = 1024;
inline constexpr std::uint32_t kEepromAddressMask = 0x3FF;

// Register path: kRegEepromCommand (0x20) and kRegEepromData (0x24).
inline constexpr std::uint32_t kEepromRead = 1u << 16;   // command: read; status: read busy
inline constexpr std::uint32_t kEepromWrite = 1u << 17;  // command: write; status: write busy
inline constexpr std::uint32_t kEepromDataMask = 0xFFFF;

// PCI-configuration path: kPciCfgEepromAddress (0xF4) and kPciCfgEepromData
// (0xF8). A command is taken only while the enable key (bits 21 and 23) is
// in the word; the driver writes the key alone first and 0 at the end.
inline constexpr std::uint32_t kPciEepromEnable = 0xA00000;
inline constexpr std::uint32_t kPciEepromRead = kPciEepromEnable | kEepromRead;    // 0xA10000
inline constexpr std::uint32_t kPciEepromWrite = kPciEepromEnable | kEepromWrite;  // 0xA20000

// ---------------------------------------------------------------------------
// The EEPROM image (word offsets).
//
// Word 0, the control word: bits 0-6 the base-region length B in units of 4
// words; bit 7 a flag; bits 8-15 have odd parity (bit 8 is the parity bit);
// bit 9 which base-region record is filled first; bit 10 which copy of each
// section pair the software takes (set: the second); bit 11 cleared by the
// flash tool after a burn; bits 12-15 a value.
// Words 1..4B and 4B+1..8B: the two base regions. From word 8B+1 the
// sections follow back to back in a fixed order; a section that starts at
// word t holds its length (units of 4 words) in the low byte of word t+1 and
// its tag in word t+2.
inline constexpr std::uint16_t kEepromBaseMask = 0x7F;
inline constexpr std::uint16_t kEepromParityBit = 1u << 8;
inline constexpr std::uint16_t kEepromSecondCopy = 1u << 10;
inline constexpr std::uint16_t kEepromBurnFlag = 1u << 11;
inline constexpr unsigned kEepromSectionLength = 1;  // word t + 1, low byte
inline constexpr unsigned kEepromSectionTag = 2;     // word t + 2

inline constexpr std::uint16_t kTagFw = 0x5746;  // "FW"
inline constexpr std::uint16_t kTagSw = 0x5753;  // "SW"
inline constexpr std::uint16_t kTagMa = 0x414D;  // "MA"
inline constexpr std::uint16_t kTagRo = 0x4F52;  // "RO"
inline constexpr std::uint16_t kTagNf = 0x464E;  // "NF"
// The sections in image order; the version section ("NF") is optional.
inline constexpr std::uint16_t kEepromSectionOrder[] = {kTagFw, kTagFw, kTagSw, kTagSw, kTagMa, kTagMa,
                                                        kTagRo, kTagFw, kTagSw, kTagMa, kTagNf};
inline constexpr unsigned kEepromSections = sizeof kEepromSectionOrder / sizeof kEepromSectionOrder[0];

// Whether bits 8-15 of a control word have odd parity.
constexpr bool eeprom_control_parity_ok(std::uint16_t word) {
  unsigned ones = 0;
  for (unsigned b = 8; b < 16; ++b) ones += (word >> b) & 1u;
  return (ones & 1u) == 1u;
}
// The control word with bit 8 set or cleared so that bits 8-15 have odd parity.
constexpr std::uint16_t eeprom_control_with_parity(std::uint16_t word) {
  std::uint16_t w = static_cast<std::uint16_t>(word & ~kEepromParityBit);
  return eeprom_control_parity_ok(w) ? w : static_cast<std::uint16_t>(w | kEepromParityBit);
}

// The software section read as 32-bit words: word N holds the section's
// EEPROM word 2N in bits 16-31 and word 2N + 1 in bits 0-15.
namespace sw {
inline constexpr unsigned kTag = 1;           // bits 16-31: kTagSw; bits 8-15 zero
inline constexpr unsigned kMacBlock1 = 2;     // bits 0-15 MAC bytes 0-1, bits 16-20 the address count
inline constexpr unsigned kMacBlock1Low = 3;  // MAC bytes 2-5, byte 2 in bits 24-31
inline constexpr unsigned kMacBlock2 = 4;
inline constexpr unsigned kMacBlock2Low = 5;
inline constexpr unsigned kPhyTypes = 6;        // one byte per function, function 0 in bits 24-31
inline constexpr unsigned kLimits = 9;          // bits 0-14 and 16-30
inline constexpr unsigned kMdioAddresses = 28;  // one byte per function, function 0 in bits 24-31
inline constexpr unsigned kMinWords = 30;       // the section holds at least words 0-29 (60 EEPROM words)
}  // namespace sw

// The version section read as 32-bit words (as the software section): word 1
// holds kTagNf in bits 16-31, word 2 firmware major (bits 24-31), firmware
// minor (16-23), EEPROM major (8-15) and EEPROM minor (0-7). The drivers
// refuse an EEPROM whose major version is below kEepromMinMajor.
namespace nf {
inline constexpr unsigned kVersions = 2;
}  // namespace nf
inline constexpr std::uint8_t kEepromMinMajor = 4;

// The image the adapter model carries when it has none of its own: section
// lengths (units of 4 words) and the values it fills in. Paired copies have
// equal lengths, as the section search assumes.
namespace image {
inline constexpr std::uint16_t kBase = 2;  // base regions of 8 words: sections from word 17
inline constexpr std::uint8_t kLengths[kEepromSections] = {2, 2, 16, 16, 2, 2, 2, 2, 16, 2, 8};
inline constexpr std::uint8_t kFirmwareMajor = 4;
inline constexpr std::uint8_t kFirmwareMinor = 1;
inline constexpr std::uint8_t kEepromMajor = 4;
inline constexpr std::uint8_t kEepromMinor = 2;
inline constexpr unsigned kMacCount = 8;  // addresses of each MAC block
}  // namespace image

// ---------------------------------------------------------------------------
// SPI flash: 16 MB, 64 KB sectors, 256-byte pages, programmed in 32-bit words.
inline constexpr std::uint32_t kFlashBytes = 16u << 20;
inline constexpr std::uint32_t kFlashSectorBytes = 64u << 10;
inline constexpr unsigned kFlashSectorShift = 16;
inline constexpr std::uint32_t kFlashPageBytes = 256;
inline constexpr std::uint32_t kFlashAddressMask = 0xFFFFFF;
inline constexpr unsigned kFlashBufferWords = 8;  // words of one buffered program

// kRegFlashCommand (0x28): written as opcode << 24 | byte address.
inline constexpr unsigned kFlashOpcodeShift = 24;
inline constexpr std::uint32_t kFlashBusy = 1u << 0;         // read: the controller is busy
inline constexpr std::uint32_t kFlashUnprotected = 1u << 1;  // read: no block-protect bit is set

// kRegFlashData (0x2C): words to program; after a status read the flash's
// status register (bit 0 write in progress, bit 1 write enabled, bits 2-4
// block protect); after a read the word read.
inline constexpr std::uint32_t kFlashStatusWip = 1u << 0;
inline constexpr std::uint32_t kFlashStatusWel = 1u << 1;
inline constexpr std::uint32_t kFlashStatusProtect = 0x1C;

// How the controller programs: it buffers 8 words per program unless EEPROM
// word flash_mode_word(word 0) has bit 8 set and idx 0x8E8 does not have
// both bits 2 and 3 set; then it programs one word per command.
inline constexpr std::uint32_t kFlashModeBuffered = 0xC;
inline constexpr std::uint16_t kEepromFlashModeSelect = 1u << 8;
inline constexpr std::uint16_t kEepromBaseUnit8 = 1u << 7;  // control word bit 7: s counts in 8 words
// The word that selects the programming mode: s + 1, where s is the base
// length (bits 0-6 of the control word) times 8 when bit 7 is set, else times 4.
constexpr unsigned flash_mode_word(std::uint16_t control) {
  const unsigned base = control & kEepromBaseMask;
  return ((control & kEepromBaseUnit8) != 0 ? base * 8 : base * 4) + 1;
}

enum FlashOpcode : std::uint8_t {
  kFlashWriteStatus = 0x01,
  kFlashPageProgram = 0x02,
  kFlashReadStatus = 0x05,
  kFlashWriteEnable = 0x06,
  kFlashRead = 0x0B,
  kFlashChipErase = 0xC7,
  kFlashSectorErase = 0xD8,
};
// Whether a command carries the byte address.
constexpr bool flash_opcode_addressed(std::uint8_t opcode) {
  return opcode == kFlashPageProgram || opcode == kFlashRead || opcode == kFlashSectorErase;
}
constexpr bool flash_opcode_known(std::uint8_t opcode) {
  return flash_opcode_addressed(opcode) || opcode == kFlashWriteStatus || opcode == kFlashReadStatus ||
         opcode == kFlashWriteEnable || opcode == kFlashChipErase;
}

}  // namespace zekhw
