// Interface ids under which modules publish their routine tables in the
// interface manager, and the header that interface tables carry.
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/zek/signatures.h"

// Resource managers of the proxy driver.
inline constexpr std::uint32_t GRM_INTERFACE = 0x324A7246;          // "Global Resource Manager" (GRoMiT)
inline constexpr std::uint32_t GIM_INTERFACE = 0xD678AE81;          // "Global Interface Manager"
inline constexpr std::uint32_t LINK_MNGR_INTERFACE = 0x5918463F;    // "Global Link Manager" (GLMI)
inline constexpr std::uint32_t LRM_INTERFACE = 0x9AD20EEA;          // "Local Resource Manager"
inline constexpr std::uint32_t MRTE_MNGR_INTERFACE = 0x45B161F4;    // "Global Perfect Table Manager"
inline constexpr std::uint32_t FLASH_MNGR_INTERFACE = 0xAB8B01D2;   // "Flash Manager"
inline constexpr std::uint32_t EEPROM_MNGR_INTERFACE = 0xC09BC5CC;  // "EEProm Manager"
inline constexpr std::uint32_t IPADDR_MNGR_INTERFACE = 0x869414EC;  // "Global IP Address Manager"

// Kernel verbs and the multicast receive queue.
inline constexpr std::uint32_t IWARP_VERBS_INTERFACE = 0x120000;          // "IWarp Verbs"
inline constexpr std::uint32_t IWARP_KERNEL_VERBS_INTERFACE = 0x130000;   // "IWarp Kernel Verbs"
inline constexpr std::uint32_t MCRQ_KERNEL_VERBS_INTERFACE = 0x28495AF0;  // "MCRQ Kernel Verbs"

// Tables that carry a header begin with it, followed by their routine slots
// in fixed order. The interface manager does not inspect tables; consumers
// check the signature and the byte size before they call through a table.
struct ZekInterfaceHeader {
  std::uint32_t Signature;  // ZEK_SIG_INTERFACE_TABLE
  std::uint32_t ByteSize;   // of the whole table, header included
};
static_assert(offsetof(ZekInterfaceHeader, Signature) == 0);
static_assert(offsetof(ZekInterfaceHeader, ByteSize) == 4);
static_assert(sizeof(ZekInterfaceHeader) == 8);
