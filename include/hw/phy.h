// The adapter's management (MDIO) interface, its PHYs and the SerDes lane
// words the link test reads. Shared by the drivers and the simulated
// adapter; described in docs/hardware.md ("PHYs, MDIO and the link").
#pragma once

#include <cstdint>

namespace zekhw {

// Indexed registers.
inline constexpr std::uint32_t kIdxMdioFrame = 0x2084;  // a management frame; read: data in bits 0-15
inline constexpr std::uint32_t kIdxMdioDone = 0x21F0;   // bit 0: the last frame completed (write 1 to clear)
inline constexpr std::uint32_t kMdioDoneBit = 1u << 0;
// Port p's MAC interrupt status is kIdxMdioDone + 0x200p (port 0's holds
// the MDIO done bit too): a link change sets bit 1 (the link went down) or
// bit 2 (it came up), cleared by writing 1, as the link cause is raised.
inline constexpr std::uint32_t kMacStatusLinkDown = 1u << 1;
inline constexpr std::uint32_t kMacStatusLinkUp = 1u << 2;
inline constexpr std::uint32_t kIdxLaneStatus0 = 0x2800;  // lane status and control, ports with bit 0 clear
inline constexpr std::uint32_t kIdxLaneStatus1 = 0x2A00;  // ports with bit 0 set
inline constexpr std::uint32_t kIdxLaneReady0 = 0x280C;   // bits 0-3: the lanes are ready
inline constexpr std::uint32_t kIdxLaneReady1 = 0x2A0C;
constexpr std::uint32_t idx_lane_status(unsigned port) { return (port & 1u) != 0 ? kIdxLaneStatus1 : kIdxLaneStatus0; }
constexpr std::uint32_t idx_lane_ready(unsigned port) { return (port & 1u) != 0 ? kIdxLaneReady1 : kIdxLaneReady0; }
inline constexpr std::uint32_t kLaneSyncBits = 0x0F000000;     // bits 24-27: the four lanes in sync
inline constexpr std::uint32_t kLaneStatusLow = 0x00010000;    // bit 16 (with 24): ports 0 and 1 up
inline constexpr std::uint32_t kLaneStatusHigh = 0x00020000;   // bit 17 (with 25): ports 2 and 3 up
inline constexpr std::uint32_t kLaneControlMask = 0x00600000;  // bits 21-22: lane control, kept as written
inline constexpr std::uint32_t kLaneReadyBits = 0xF;

// Management frames (IEEE 802.3 layout): bits 30-31 start code (0 clause 45,
// 1 clause 22), bits 28-29 operation, bits 23-27 port (PHY) address, bits
// 18-22 device (clause 45) or register (clause 22), bits 16-17 turnaround
// (written as 2), bits 0-15 data or register address.
inline constexpr unsigned kMdioStartShift = 30;
inline constexpr unsigned kMdioOpShift = 28;
inline constexpr unsigned kMdioPortShift = 23;
inline constexpr unsigned kMdioDeviceShift = 18;
inline constexpr std::uint32_t kMdioTurnaround = 0x20000;
inline constexpr std::uint32_t kMdioFieldMask = 0x1F;
inline constexpr std::uint32_t kMdioDataMask = 0xFFFF;
enum MdioOp : std::uint32_t { kMdioAddress = 0, kMdioWrite = 1, kMdioRead22 = 2, kMdioRead45 = 3 };

constexpr std::uint32_t mdio_c45_address(unsigned port, unsigned device, std::uint32_t reg) {
  return (port & kMdioFieldMask) << kMdioPortShift | (device & kMdioFieldMask) << kMdioDeviceShift | kMdioTurnaround |
         (reg & kMdioDataMask);
}
constexpr std::uint32_t mdio_c45_write(unsigned port, unsigned device, std::uint32_t value) {
  return kMdioWrite << kMdioOpShift | mdio_c45_address(port, device, value);
}
constexpr std::uint32_t mdio_c45_read(unsigned port, unsigned device) {
  return kMdioRead45 << kMdioOpShift | mdio_c45_address(port, device, 0);
}
constexpr std::uint32_t mdio_c22_read(unsigned phy, unsigned reg) {
  return 1u << kMdioStartShift | kMdioRead22 << kMdioOpShift | (phy & kMdioFieldMask) << kMdioPortShift |
         (reg & kMdioFieldMask) << kMdioDeviceShift | kMdioTurnaround;
}
constexpr std::uint32_t mdio_c22_write(unsigned phy, unsigned reg, std::uint32_t value) {
  return 1u << kMdioStartShift | kMdioWrite << kMdioOpShift | (phy & kMdioFieldMask) << kMdioPortShift |
         (reg & kMdioFieldMask) << kMdioDeviceShift | kMdioTurnaround | (value & kMdioDataMask);
}
static_assert(mdio_c22_read(5, 26) == (0x60020000u | 5u << 23 | 26u << 18));
static_assert(mdio_c45_read(3, 1) == ((3u << 5 | 1u) << 18 | 0x30020000u));

// PHY types the EEPROM assigns to a function's port.
enum PhyType : std::uint8_t {
  kPhyUnprobed = 0,  // probed at bring-up: a clause-45 PHY at address 0 makes it type 3
  kPhyCopper1G = 2,  // clause 22, PHY address = 4 + function
  kPhyClause45 = 3,  // clause 45, device 1, address 0
  kPhySfp = 4,       // 4, 8, 9: SFP+ with their own firmware, clause 45 at the EEPROM's MDIO address
  kPhySerdes = 5,    // no MDIO: the link is the SerDes status
  kPhyDirect = 6,    // no MDIO: the link is the lane words (the model's default)
  kPhySfp8 = 8,
  kPhySfp9 = 9,
};
constexpr bool phy_is_sfp(unsigned type) { return type == kPhySfp || type == kPhySfp8 || type == kPhySfp9; }

// Registers of the PHY models the link test and the set-up use.
namespace c22 {
inline constexpr unsigned kControl = 0;     // bit 15 reset (self-clearing)
inline constexpr unsigned kStatus = 1;      // bit 2 link
inline constexpr unsigned kAuxStatus = 17;  // bit 12 link
inline constexpr unsigned kBusy = 26;       // bit 15 busy
inline constexpr std::uint16_t kLinkStatus = 0x0004;
inline constexpr std::uint16_t kAuxLink = 0x1000;
}  // namespace c22
namespace c45 {
inline constexpr std::uint32_t kStatus = 1;                // device 1 register 1: bit 2 link
inline constexpr std::uint32_t kLinkFault = 0x9003;        // device 1: 0 with the link up
inline constexpr std::uint32_t kLinkState = 0x21;          // device 3: 0x8000 with the link up
inline constexpr std::uint32_t kHeartbeat = 0xD7EE;        // device 3: moves while the PHY firmware runs
inline constexpr std::uint32_t kFirmwareState = 0xD7FD;    // device 3: low byte >= 0x30 when ready
inline constexpr std::uint32_t kFirmwareControl = 0xC300;  // device 1: 2 starts the loaded firmware
inline constexpr std::uint16_t kLinkUp3 = 0x8000;
inline constexpr std::uint16_t kFirmwareReady = 0x30;
}  // namespace c45

}  // namespace zekhw
