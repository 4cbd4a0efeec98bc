// PCI identity and configuration-space registers of the adapter's functions.
#pragma once

#include <cstdint>

namespace zekhw {

inline constexpr std::uint16_t kPciVendorId = 0x1678;
inline constexpr std::uint16_t kPciDeviceId = 0x0100;
inline constexpr std::uint32_t kPciClassEthernet = 0x020000;  // network controller, Ethernet

// Configuration-space offsets.
inline constexpr std::uint32_t kPciCfgVendorDevice = 0x00;
inline constexpr std::uint32_t kPciCfgCommandStatus = 0x04;
inline constexpr std::uint32_t kPciCfgRevisionClass = 0x08;
inline constexpr std::uint32_t kPciCfgHeaderType = 0x0C;  // byte 0x0E
inline constexpr std::uint32_t kPciCfgBar0 = 0x10;        // register window, 4 KB
inline constexpr std::uint32_t kPciCfgBar1 = 0x14;        // user doorbell window
inline constexpr std::uint32_t kPciCfgBar2 = 0x18;        // configuration window, 4 KB
inline constexpr std::uint32_t kPciCfgSubsystem = 0x2C;
inline constexpr std::uint32_t kPciCfgCapabilities = 0x34;
inline constexpr std::uint32_t kPciCfgInterrupt = 0x3C;         // line, pin
inline constexpr std::uint32_t kPciCfgFunctionRegister = 0x4C;  // bits 0-2 function number
inline constexpr std::uint32_t kPciCfgExpressCap = 0x60;        // PCI Express capability
inline constexpr std::uint32_t kPciCfgDeviceControl = 0x68;     // bits 12-14 max read request size
inline constexpr std::uint32_t kPciCfgEepromAddress = 0xF4;
inline constexpr std::uint32_t kPciCfgEepromData = 0xF8;

inline constexpr std::uint16_t kPciCommandMemory = 0x0002;
inline constexpr std::uint16_t kPciCommandBusMaster = 0x0004;
inline constexpr std::uint32_t kPciMaxReadRequestMask = 0x7000;

}  // namespace zekhw
