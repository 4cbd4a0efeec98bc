// Port fail-over: the steering of the port map (idx 0x6000) on a link change
// in the three fail-over modes, and the drains of a port's outstanding
// transmit reads before its traffic moves, with the SerDes and MAC
// re-initialisation after them. The fail-over settings are driver-wide and
// stay off in the proxy driver: the steering runs in the miniport only.
#pragma once

#include <cstdint>

#include "include/zek/mifh.h"

inline constexpr std::uint32_t MIFH_DRAIN_COUNTER_POLLS = 1000;
inline constexpr std::uint32_t MIFH_DRAIN_STATUS_POLLS = 10000;

// Driver-wide fail-over settings (the miniport's fail-over request sets them).
void mifh_set_failover(bool enabled, std::uint32_t mode);
bool mifh_failover_enabled();
std::uint32_t mifh_failover_mode();

// The new 0x6000 value of each mode (pure; the routines below apply it).
std::uint32_t mifh_failover_mode0_value(std::uint32_t function, bool link_up, std::uint32_t port_mode,
                                        std::uint32_t phy_type, std::uint32_t current);
std::uint32_t mifh_failover_mode2_value(std::uint32_t function, bool link_up, std::uint32_t phy_type,
                                        std::uint32_t current);

void mifh_failover_mode0(MifhDeviceObj* device, bool link_up);
void mifh_failover_mode1(MifhDeviceObj* device, bool link_up);
void mifh_failover_mode2(MifhDeviceObj* device, bool link_up);
void mifh_drain_tx_rd_num(MifhDeviceObj* device);
void mifh_drain_tx_rd_num_port(MifhDeviceObj* device, std::uint32_t port);
