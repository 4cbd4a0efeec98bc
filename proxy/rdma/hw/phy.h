// PHY access and the link test: clause-22 and clause-45 management frames
// through the adapter's MDIO frame register (idx 0x2084, completion idx
// 0x21F0 bit 0), and the per-PHY-type test the link manager makes for each
// function. Frames and PHY types are in include/hw/phy.h.
//
// Locking: a frame sequence holds the board's MDIO lock (the device's
// MdioLock, the PHY lock when the board has none), the same lock the
// miniport's MDIO writes hold, so the two drivers' frames never interleave;
// and every indexed access inside it also takes the index-register lock
// (MDIO lock outermost), so neither driver's index write falls between the
// other's index write and data access.
#pragma once

#include <cstdint>

#include "include/zek/mifh.h"

inline constexpr std::uint32_t MIFH_MDIO_DONE_POLLS = 200;
inline constexpr std::uint32_t MIFH_MDIO_DONE_STALL_US = 20;
inline constexpr std::uint32_t MIFH_PHY_READS = 101;          // bound of the link test's repeated reads
inline constexpr std::uint32_t MIFH_LANE_RETRIES = 11;        // the lane control gets both bits at this test
inline constexpr std::uint32_t MIFH_LINK_FAULT_REG = 0x9003;  // device 1: 0 with the link up
inline constexpr std::uint32_t MIFH_LINK_STATE_REG = 0x21;    // device 3: 0x8000 with the link up

// Waits for the last frame's completion and clears it: 0, or 1 after the bound.
extern "C" std::uint32_t mdio_wait_done(MifhDeviceObj* device);
// A clause-45 read of (deviceAddress, reg) at the device's MDIO port address.
// Always 0; the value is 0xFFFF when a frame did not complete.
extern "C" std::uint32_t mdio_read_c45(MifhDeviceObj* device, std::uint32_t deviceAddress, std::uint32_t reg,
                                       std::uint16_t* value);
// A read of the port's PHY: clause 22 for PHY type 2 (PHY address = MDIO port
// address + MDIO device byte), else clause 45 with the MDIO device byte as
// the device. 0, or 1 on failure (value 0xFFFF).
extern "C" std::uint32_t mifh_mdio_read(MifhDeviceObj* device, std::uint32_t reg, std::uint16_t* value);
// A write to the port's PHY, framed as the read above: 0, or 1 when a frame
// did not complete (logged).
extern "C" std::uint32_t mifh_mdio_write(MifhDeviceObj* device, std::uint32_t reg, std::uint16_t value);
// A clause-45 write of (deviceAddress, reg) at the device's MDIO port address: 0 or 1.
extern "C" std::uint32_t mifh_write_10G_phy_reg(MifhDeviceObj* device, std::uint32_t deviceAddress, std::uint32_t reg,
                                                std::uint16_t value);
// Whether the function's link is up (1) or down (0), by PHY type, after the
// port fail-over steering, and only while the device's LinkAllowed byte is
// set. The result is also stored in the device (LinkResult).
extern "C" std::uint32_t phy_link_is_up(MifhDeviceObj* device);
