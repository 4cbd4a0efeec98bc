// Register-level configuration of one PCI function: capability queries, the
// MAC table and per-slot receive masks, the NIC bring-up of a slot, the
// connection hash, the port MAC block, the SerDes set-up, the 0x5000 field
// and the board scratchpad. Every indexed access runs under the
// index-register lock (reg_access.h).
#pragma once

#include <cstdint>

#include "include/zek/mifh.h"

struct MifhHwCaps {
  std::uint32_t Value1;                  // config word 0x1C >> 16
  std::uint32_t Value2;                  // ((W >> 2) & 0x3FFF) x multiplier[W & 3]
  std::uint32_t Value3, Value4, Value5;  // config word 0x20: bits 24-31, 16-24, 8-15
  std::uint32_t Flag[5];                 // bits 4, 3, 2, 1, 0 of 0x20
};

struct MifhHwLimits {
  std::uint32_t Fixed[6];  // 64, 1, 1, 64, 8, 0
  std::uint32_t BaseCount;
  std::uint32_t BaseAndPages;
  std::uint32_t ReadDepth;  // read-depth class / 2
};

struct MifhHwSizes {
  std::uint32_t Size218;      // (v & 0x7FE00) - 74, never below 0
  std::uint32_t Size260;      // (v & 0xFFC0) - 64, never below 0
  std::uint32_t Size278;      // 2^((v & 7) + 13) - 1
  std::uint32_t Size2B0;      // 2^(v & 0x1F) - 1
  std::uint32_t Size280Low;   // 2^(v & 0x1F)
  std::uint32_t Size280High;  // 2^((v >> 16) & 0x1F)
  std::uint32_t MaxSqWr;      // WQE class
  std::uint32_t MaxRqWr;
  std::uint32_t ReadDepth;
  std::uint32_t Size258;  // 2^(v & 0xF) - 10, never below 0
  std::uint32_t Pages;
  std::uint32_t Remaining;  // 32769 - base count - pages, never below 0
  std::uint32_t Reserved;
};

ZekStatus mifh_query_hw_caps(MifhDeviceObj* device, MifhHwCaps* caps);
ZekStatus mifh_query_hw_limits(MifhDeviceObj* device, MifhHwLimits* limits);
ZekStatus mifh_query_hw_sizes(MifhDeviceObj* device, MifhHwSizes* sizes);

ZekStatus mifh_write_mac_address(MifhDeviceObj* device, const std::uint8_t* mac, std::uint32_t slot);
ZekStatus mifh_zero_mac_address(MifhDeviceObj* device, std::uint32_t slot);
void mifh_set_nic_active(MifhDeviceObj* device, std::uint32_t slot);
void mifh_set_nic_rx_disable(MifhDeviceObj* device, std::uint32_t slot);
ZekStatus mifh_enable_multicast_all(MifhDeviceObj* device, std::uint32_t slot, std::uint32_t on);
ZekStatus mifh_enable_broadcast(MifhDeviceObj* device, std::uint32_t slot, std::uint32_t on);
ZekStatus mifh_hw_init_zek_nic(MifhDeviceObj* device, const std::uint8_t* mac, std::uint32_t slot);
// The detach path's undoing of mifh_hw_init_zek_nic.
ZekStatus mifh_hw_clear_zek_nic(MifhDeviceObj* device, std::uint32_t slot);
// The value bring-up writes to 0x6000 for a port mode and PHY type.
std::uint32_t mifh_port_map_value(std::uint32_t port_mode, std::uint32_t phy_type);

std::uint32_t mifh_conn_hash_index(MifhDeviceObj* device, std::uint32_t index, std::uint32_t remote_ipv4,
                                   std::uint16_t port_a, std::uint16_t port_b);
std::uint32_t mifh_crc32c(const std::uint8_t* bytes, std::uint32_t length);

void nic_config_mac(MifhDeviceObj* device, std::uint32_t value);
ZekStatus init_vorla1_serdes(MifhDeviceObj* device);
ZekStatus init_vorla2_serdes(MifhDeviceObj* device);
// The same set-ups for another function's port, through this device
// object's own index pair and lock: the indexed registers are the board's,
// whichever pair reaches them, so a function never works another's pair
// behind that function's lock (as a copy of the device object would).
void nic_config_mac_of(MifhDeviceObj* device, std::uint32_t function, std::uint32_t port, std::uint32_t value);
ZekStatus init_vorla1_serdes_of(MifhDeviceObj* device, std::uint32_t function);
ZekStatus init_vorla2_serdes_of(MifhDeviceObj* device, std::uint32_t function);
ZekStatus mifh_write_field_5000(MifhDeviceObj* device, std::uint32_t value);
ZekStatus mifh_get_hw_scratchpad(MifhDeviceObj* device, std::uint64_t* value);
ZekStatus mifh_set_hw_scratchpad(MifhDeviceObj* device, std::uint64_t value);
