// The port's PHY set-up by the PHY type the EEPROM gives it (a 1G copper PHY
// over clause-22 MDIO, 10G PHYs over clause 45, SFP+ PHYs whose firmware
// must be running), the link-status bits, and the SerDes maintenance that a
// one-second timer runs on chip revision 4.
//
// The set-up runs once, at PASSIVE_LEVEL from the initialisation, not from
// the link timer's DPC: an SFP+ PHY's firmware load waits for seconds
// (690 ms, then up to 151 ms and 2 x 3 s of polls), which a DPC, or a
// processor held under a spin lock, must never do. Each MDIO frame still
// holds the board's MDIO lock, and nothing else.
#pragma once

#include <cstdint>

#include "miniport/adapter.h"

// The MAC control values by PHY type (written as MAC pause | value).
inline constexpr std::uint32_t ZEK_MAC_CONTROL_10G = 0x14;
inline constexpr std::uint32_t ZEK_MAC_CONTROL_1G = 0x4;
inline constexpr std::uint32_t ZEK_1G_RESET_POLLS = 102;       // 4 us apart
inline constexpr std::uint32_t ZEK_SFP_HEARTBEAT_POLLS = 151;  // 1 ms apart
inline constexpr std::uint32_t ZEK_SFP_READY_POLLS = 302;      // 10 ms apart
inline constexpr std::uint32_t ZEK_SFP_READY_WAIT_MS = 690;    // after the load
inline constexpr std::uint32_t ZEK_SFP_RESET_DONE_POLLS = 3000;
inline constexpr std::uint32_t ZEK_SERDES_PERIOD_MS = 1000;

// The PHY set-up of the function's port: 0, or 1 when a bad device object
// was given. PHY type 0 is probed (type 3, or 1 when no clause-45 PHY
// answers at device 1); a port-count field of 0 makes the type 2 unless it
// is 5; a type above 9 becomes 0. The type and MDIO addresses it settles
// stay in the device object.
ZekStatus ZekPhySetup(MifhDeviceObj* device);
ZekStatus mifh_config_1G_vitesse_phy_device(MifhDeviceObj* device);
ZekStatus mifh_sfp_init(MifhDeviceObj* device);
// Register 0x14's bit of the function and bit function + 8: whether either is set.
bool ZekLinkStatusBits(MifhDeviceObj* device, std::uint32_t* link, std::uint32_t* second);

// The SerDes maintenance (chip revision 4): nothing while the device is not
// initialised or a port failover mode is set; a port whose error counter
// grew and whose MAC shows no traffic and no SerDes progress has its port
// reset and its SerDes and MAC set up again. Answers 1 when it set a port up
// again (or the function is not 0 or 1), else 0.
std::uint32_t ZekSerdesMaintenance(ZEK_ADAPTER* adapter);
// The maintenance timer (every 1000 ms, chip revision 4 only): started by
// the initialisation, stopped and freed before the adapter's teardown.
NDIS_STATUS ZekSerdesTimerStart(ZEK_ADAPTER* adapter);
void ZekSerdesTimerStop(ZEK_ADAPTER* adapter);
// A reset rests the timer while it rebuilds the NIC: the hold cancels the
// timer, and a routine or maintenance already under way does nothing once it
// is set (so the reset never fails for a timer that was firing); the wait
// (PASSIVE_LEVEL) lets a maintenance already running finish, within
// ZEK_SERDES_IDLE_WAIT_MS; the resume arms the timer again.
inline constexpr ULONG ZEK_SERDES_IDLE_WAIT_MS = 1000;
void ZekSerdesTimerHold(ZEK_ADAPTER* adapter);
void ZekSerdesTimerWaitIdle(ZEK_ADAPTER* adapter);
void ZekSerdesTimerResume(ZEK_ADAPTER* adapter);
