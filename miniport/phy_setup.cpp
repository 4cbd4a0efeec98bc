// PHY set-up by type, the 1G copper PHY's set-up, the SFP+ firmware load,
// the link-status bits and the SerDes maintenance with its timer.
#include "miniport/phy_setup.h"

#include "include/hw/phy.h"
#include "include/hw/registers.h"
#include "miniport/bringup.h"
#include "miniport/oid.h"
#include "proxy/rdma/hw/config.h"
#include "proxy/rdma/hw/failover.h"
#include "proxy/rdma/hw/phy.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/hw/status.h"

using namespace zekhw;

namespace {

constexpr std::uint32_t kRegLinkStatus = 0x14;
constexpr std::uint32_t kProbeRegister = 0xD006;
constexpr std::uint32_t kProbeRegister2 = 0xD007;
constexpr std::uint32_t kIdxSerdesBracket = 0xA40;
constexpr std::uint32_t kSerdesBracketMask = 0x66FFF;
constexpr std::uint32_t kSerdesBracketBit = 0x1000;

struct PhyWrite {
  std::uint8_t device;
  std::uint16_t reg;
  std::uint16_t value;
};

// The SFP+ PHYs' firmware load lists, in order.
constexpr PhyWrite kLoad4[] = {{1, 0x0000, 0x8000}, {1, 0xC300, 0},  {1, 0xC316, 10}, {1, 0xC318, 0x52},
                               {1, 0xC302, 0xC},    {1, 0xC319, 8},  {3, 0x0027, 1},  {1, 0xC31A, 0x98},
                               {1, 0xD006, 7},      {1, 0xD007, 10}, {1, 0xD008, 9},  {3, 0x0028, 0xA528},
                               {1, 0xC300, 2}};
constexpr PhyWrite kLoad8[] = {{1, 0x0000, 0x8000}, {1, 0xC300, 0},    {1, 0xC316, 10},   {1, 0xC318, 0x52},
                               {1, 0xC302, 4},      {1, 0xC319, 0x38}, {3, 0x0027, 0x13}, {1, 0xC31A, 0x98},
                               {3, 0x0026, 0xE00},  {1, 0xD006, 7},    {1, 0xD007, 10},   {1, 0xD008, 9},
                               {3, 0x0028, 0xA528}, {1, 0xC300, 2}};
constexpr PhyWrite kLoad9[] = {{1, 0x0000, 0x8000}, {1, 0xC300, 0},    {1, 0xC302, 0xC},    {1, 0xC316, 10},
                               {1, 0xC318, 0x52},   {1, 0xC31A, 0x80}, {3, 0x0026, 0xE00},  {1, 0xC319, 0x10},
                               {3, 0x0027, 1},      {1, 0xD006, 7},    {1, 0xD007, 10},     {1, 0xD008, 9},
                               {3, 0x0022, 0x406D}, {3, 0x0023, 0x20}, {3, 0x0028, 0xA528}, {1, 0xC300, 2},
                               {1, 0xD006, 0xB},    {1, 0xD007, 3},    {1, 0xD008, 4}};

void write_mac_control(MifhDeviceObj* d, std::uint32_t port, std::uint32_t value) {
  mifh_write_indexed(d, idx_port_mac(port, 0x04), d->MacPause | value);
}

std::uint16_t read22(MifhDeviceObj* d, std::uint32_t reg) {
  std::uint16_t v = 0xFFFF;
  if (mifh_mdio_read(d, reg, &v) != 0) v = 0xFFFF;  // a failed read counts as all ones
  return v;
}

std::uint16_t read45(MifhDeviceObj* d, std::uint32_t device, std::uint32_t reg) {
  std::uint16_t v = 0xFFFF;
  mdio_read_c45(d, device, reg, &v);
  return v;
}

void sleep_ms(std::uint32_t ms) { NdisMSleep(ms * 1000); }

// Step 6 of the SFP+ load: one series of ready polls; true when ready.
bool sfp_ready_series(MifhDeviceObj* d, std::uint16_t* last) {
  for (std::uint32_t i = 0; i < ZEK_SFP_READY_POLLS; ++i) {
    *last = read45(d, 3, c45::kFirmwareState);
    if ((*last & 0xFF) >= c45::kFirmwareReady) return true;
    if (i + 1 < ZEK_SFP_READY_POLLS) sleep_ms(10);
  }
  return false;
}

// The port of a function set up again: port reset, SerDes, MAC, MAC interrupt word.
void reinitialise_port(MifhDeviceObj* d, std::uint32_t jumbo) {
  ZekPortReset(d);
  init_vorla1_serdes(d);
  nic_config_mac(d, jumbo);
  mifh_write_indexed(d, idx_port_mac(d->PciFunction, 0x1F4), 0xFF9);
}

void serdes_timer(PVOID, PVOID context, PVOID, PVOID);

void serdes_work(PVOID context, NDIS_HANDLE) {
  auto* adapter = static_cast<ZEK_ADAPTER*>(context);
  if (adapter->Oid.SerdesHeld == 0) ZekSerdesMaintenance(adapter);
  InterlockedExchange(&adapter->Oid.SerdesWorkQueued, 0);
}

void serdes_timer(PVOID, PVOID context, PVOID, PVOID) {
  auto* adapter = static_cast<ZEK_ADAPTER*>(context);
  // The maintenance polls the adapter: it runs at PASSIVE_LEVEL, one at a time.
  if (adapter->Oid.SerdesHeld != 0) return;
  if (adapter->Oid.SerdesWork != nullptr && InterlockedCompareExchange(&adapter->Oid.SerdesWorkQueued, 1, 0) == 0) {
    NdisQueueIoWorkItem(adapter->Oid.SerdesWork, serdes_work, adapter);
  }
}

}  // namespace

ZekStatus mifh_config_1G_vitesse_phy_device(MifhDeviceObj* d) {
  if (ZekBadDevice(d, "mifh_config_1G_vitesse_phy_device")) return MIFH_STATUS_FAIL;
  mifh_mdio_write(d, 23, 0xB000);
  mifh_mdio_write(d, 0, 0x8000);
  std::uint16_t control = 0xFFFF;
  bool reset = false;
  for (std::uint32_t i = 0; i < ZEK_1G_RESET_POLLS && !reset; ++i) {
    NdisStallExecution(4);
    control = read22(d, 0);
    reset = (control & 0x8000) == 0;
  }
  OSPrimDebugPrint(reset ? "Successfully reset PHY.\n" : "Failed to reset PHY.\n");
  mifh_mdio_write(d, 0, static_cast<std::uint16_t>((control & 0xBFFF) | 0x1140));
  read22(d, 25);
  mifh_mdio_write(d, 25, 0xFFEE);
  mifh_mdio_write(d, 4, static_cast<std::uint16_t>((read22(d, 4) & 0xFC1F) | 0x0C00));
  mifh_mdio_write(d, 9, static_cast<std::uint16_t>(read22(d, 9) & 0xFEFF));
  mifh_mdio_write(d, 0, static_cast<std::uint16_t>(read22(d, 0) | 0x0300));
  return ZEK_STATUS_PASS;
}

ZekStatus mifh_sfp_init(MifhDeviceObj* d) {
  if (ZekBadDevice(d, "mifh_sfp_init")) return MIFH_STATUS_FAIL;
  // 1. The MAC control of the first port block.
  write_mac_control(d, 0, ZEK_MAC_CONTROL_10G);
  // 2. A running firmware moves its heartbeat and reports a status above 32.
  const std::uint16_t beat = read45(d, 3, c45::kHeartbeat);
  for (int i = 0; i < 30; ++i) NdisStallExecution(50);
  if (read45(d, 3, c45::kHeartbeat) != beat && (read45(d, 3, c45::kFirmwareState) & 0xFF) > 32) {
    OSPrimDebugPrint("Func[%s,%d] firmware running \n", __func__, __LINE__);
    return ZEK_STATUS_PASS;
  }
  // 3. Load the PHY by type.
  const PhyWrite* list = kLoad4;
  std::size_t count = sizeof kLoad4 / sizeof kLoad4[0];
  if (d->PhyType == kPhySfp8) {
    list = kLoad8;
    count = sizeof kLoad8 / sizeof kLoad8[0];
  } else if (d->PhyType == kPhySfp9) {
    list = kLoad9;
    count = sizeof kLoad9 / sizeof kLoad9[0];
  }
  for (std::size_t i = 0; i < count; ++i) mifh_write_10G_phy_reg(d, list[i].device, list[i].reg, list[i].value);
  // 4. The firmware starts.
  sleep_ms(ZEK_SFP_READY_WAIT_MS);
  // 5. Its heartbeat moves.
  const std::uint16_t first = read45(d, 3, c45::kHeartbeat);
  bool moved = false;
  for (std::uint32_t i = 1; i < ZEK_SFP_HEARTBEAT_POLLS && !moved; ++i) {
    sleep_ms(1);
    moved = read45(d, 3, c45::kHeartbeat) != first;
  }
  if (!moved) OSPrimDebugPrint("Func[%s,%d] No HeartBeat counter[%x] \n", __func__, __LINE__, first);
  // 6. It reports ready; a status of 0 after the first series gets a restart and one more series.
  std::uint16_t status = 0;
  if (!sfp_ready_series(d, &status) && (status & 0xFF) == 0) {
    mifh_write_10G_phy_reg(d, 3, 0xE854, 0xC0);
    mifh_write_10G_phy_reg(d, 3, 0xE854, 0x40);
    sfp_ready_series(d, &status);
  }
  // 7. The PHY's settings.
  mifh_write_10G_phy_reg(d, 1, 0xD003, 0);
  mifh_write_10G_phy_reg(d, 1, 0xF00D, 0xFE);
  mifh_write_10G_phy_reg(d, 1, 0xF00E, 0x32);
  mifh_write_10G_phy_reg(d, 1, 0xF00F, d->PhyType == kPhySfp9 ? 12 : 2);
  if (d->PhyType != kPhySfp9) mifh_write_10G_phy_reg(d, 1, 0xC314, 0x63);
  // 8. Pulse the SerDes and wait for the reset-done bit.
  const std::uint32_t serdes = idx_serdes(0, 0x08) + kPortBlockBytes * d->PciFunction;
  std::uint32_t value = 0;
  mifh_read_indexed(d, serdes, &value);
  value &= ~(0x400u | 0xF00000u);
  mifh_write_indexed(d, serdes, value | 1);
  mifh_write_indexed(d, serdes, value & ~1u);
  for (std::uint32_t i = 0; i < ZEK_SFP_RESET_DONE_POLLS; ++i) {
    if ((mifh_read_reg(d, kRegGlobalControl) & kGcResetDone) != 0) break;
  }
  return ZEK_STATUS_PASS;
}

ZekStatus ZekPhySetup(MifhDeviceObj* d) {
  if (ZekBadDevice(d, "ZekPhySetup")) return MIFH_STATUS_FAIL;
  if (d->PortCountField == 0 && d->PhyType != kPhySerdes) d->PhyType = kPhyCopper1G;
  if (d->PhyType > kPhySfp9) d->PhyType = kPhyUnprobed;
  const std::uint32_t port = d->Port;
  switch (d->PhyType) {
    case kPhyUnprobed: {
      write_mac_control(d, port, ZEK_MAC_CONTROL_10G);
      d->MdioDevice = 1;
      d->PhyMdioAddress = 0;
      if (mifh_mdio_write(d, kProbeRegister, 2) != 0 && mifh_mdio_write(d, kProbeRegister, 2) != 0) {
        d->PhyType = 1;
        d->MdioDevice = 0;
      } else {
        if (mifh_mdio_write(d, kProbeRegister2, 10) != 0) mifh_mdio_write(d, kProbeRegister2, 10);
        d->PhyType = kPhyClause45;
      }
      break;
    }
    case 1:
    case 7:
      write_mac_control(d, port, ZEK_MAC_CONTROL_10G);
      d->MdioDevice = 0;
      d->PhyMdioAddress = 0;
      break;
    case kPhyCopper1G: {
      write_mac_control(d, port, ZEK_MAC_CONTROL_1G);
      d->MdioDevice = static_cast<std::uint8_t>(4 + d->PciFunction);
      d->PhyMdioAddress = 0;
      const std::uint32_t lanes = idx_lane_status(port);
      std::uint32_t value = 0;
      mifh_read_indexed(d, lanes, &value);
      mifh_write_indexed(d, lanes, (value & 0x400000) | 0x200000);
      mifh_config_1G_vitesse_phy_device(d);
      break;
    }
    case kPhyClause45:
      write_mac_control(d, port, ZEK_MAC_CONTROL_10G);
      d->MdioDevice = 1;
      d->PhyMdioAddress = 0;
      break;
    case kPhySfp:
    case kPhySfp8:
    case kPhySfp9:
      mifh_sfp_init(d);
      break;
    case kPhySerdes:
      write_mac_control(d, port, ZEK_MAC_CONTROL_1G);
      break;
    default:  // 6
      write_mac_control(d, port, ZEK_MAC_CONTROL_10G);
      break;
  }
  return ZEK_STATUS_PASS;
}

bool ZekLinkStatusBits(MifhDeviceObj* d, std::uint32_t* link, std::uint32_t* second) {
  const std::uint32_t value = mifh_read_reg(d, kRegLinkStatus);
  *link = (value >> d->PciFunction) & 1;
  *second = (value >> (d->PciFunction + 8)) & 1;
  return *link != 0 || *second != 0;
}

std::uint32_t ZekSerdesMaintenance(ZEK_ADAPTER* adapter) {
  MifhDeviceObj* d = &adapter->HwInfo->Device;
  if (d->Initialised == 0 || d->RegisterWindow == nullptr || mifh_failover_mode() != 0) return 0;
  const std::uint32_t f = d->PciFunction;
  std::uint32_t counters = 0;
  mifh_read_indexed(d, kIdxSerdesErrors, &counters);
  const auto grew = [&](std::uint32_t port) {
    const std::uint32_t now = (counters >> (8 * port)) & 0xFF, saved = (adapter->Oid.SerdesSaved >> (8 * port)) & 0xFF;
    return now != 0 && now >= saved;
  };
  bool check = false;
  if (f == 0) check = grew(0) || (d->PortMode == 1 && grew(2));
  if (f == 1) check = grew(1) || (d->PortMode == 1 && grew(3));
  bool reinit = false;
  if (check) {
    std::uint32_t sent = 0, sent_high = 0, progress = 0;
    mifh_read_indexed(d, idx_port_mac(f, 0x100), &sent);
    mifh_read_indexed(d, idx_port_mac(f, 0x104), &sent_high);
    if (sent == 0 && (sent_high & 0x1FFF) == 0) {
      mifh_read_indexed(d, idx_port_mac(f, 0x118), &progress);
      mifh_write_indexed(d, idx_port_mac(f, 0x000), 5);
      if (d->PortCountField == 0) NdisStallExecution(100);
      mifh_read_indexed(d, idx_port_mac(f, 0x118), &progress);
      reinit = (progress & 0xFFFF) == 0;
    }
  }
  adapter->Oid.SerdesSaved = counters;
  if (!reinit) return f > 1 ? 1 : 0;
  ++adapter->Oid.SerdesReinitCount;
  std::uint32_t jumbo = 0;
  mifh_read_indexed(d, idx_port_mac(f, 0x10), &jumbo);
  jumbo = (jumbo >> 7) & 1;
  if (f == 1) {
    reinitialise_port(d, jumbo);
    return 1;
  }
  std::uint32_t bracket = 0;
  if (d->PortMode != 0) {
    mifh_read_indexed(d, kIdxSerdesBracket, &bracket);
    mifh_write_indexed(d, kIdxSerdesBracket, (bracket & kSerdesBracketMask) | kSerdesBracketBit);
  }
  reinitialise_port(d, jumbo);
  if (d->PortMode != 0) {
    // Function 1's port through function 1's own device object when the
    // driver runs it; else through this function's own index pair and lock,
    // naming function 1's port (never a copy of the device object, whose
    // lock would not be function 1's).
    ZEK_ADAPTER* mate = ZekFindAdapterByFunction(1);
    if (mate != nullptr && mate->HwInfo != nullptr) {
      MifhDeviceObj* other = &mate->HwInfo->Device;
      init_vorla1_serdes(other);
      nic_config_mac(other, jumbo);
      mifh_write_indexed(other, idx_port_mac(1, 0x1F4), 0xFF9);
    } else {
      init_vorla1_serdes_of(d, 1);
      nic_config_mac_of(d, 1, ZekPortOfFunction(1, d->PhyType), jumbo);
      mifh_write_indexed(d, idx_port_mac(1, 0x1F4), 0xFF9);
    }
    mifh_read_indexed(d, kIdxSerdesBracket, &bracket);
    mifh_write_indexed(d, kIdxSerdesBracket, bracket & kSerdesBracketMask);
  }
  return 1;
}

NDIS_STATUS ZekSerdesTimerStart(ZEK_ADAPTER* adapter) {
  if (adapter->ChipRevision != 4 || adapter->Oid.SerdesTimer != nullptr) return NDIS_STATUS_SUCCESS;
  adapter->Oid.SerdesWork = NdisAllocateIoWorkItem(adapter->MiniportAdapterHandle);
  if (adapter->Oid.SerdesWork == nullptr) return NDIS_STATUS_RESOURCES;
  NDIS_TIMER_CHARACTERISTICS timer{};
  timer.Header = {NDIS_OBJECT_TYPE_TIMER_CHARACTERISTICS, 1, 24};
  timer.AllocationTag = ZEK_POOL_TAG;
  timer.TimerFunction = serdes_timer;
  timer.FunctionContext = adapter;
  const NDIS_STATUS status = NdisAllocateTimerObject(adapter->MiniportAdapterHandle, &timer, &adapter->Oid.SerdesTimer);
  if (status != NDIS_STATUS_SUCCESS) {
    adapter->Oid.SerdesTimer = nullptr;
    return status;
  }
  ZekSerdesTimerResume(adapter);
  return NDIS_STATUS_SUCCESS;
}

void ZekSerdesTimerHold(ZEK_ADAPTER* adapter) {
  if (adapter->Oid.SerdesTimer == nullptr) return;
  InterlockedExchange(&adapter->Oid.SerdesHeld, 1);
  NdisCancelTimerObject(adapter->Oid.SerdesTimer);
}

void ZekSerdesTimerWaitIdle(ZEK_ADAPTER* adapter) {
  constexpr ULONG kPollMs = 1;
  for (ULONG waited = 0; adapter->Oid.SerdesWorkQueued != 0 && waited < ZEK_SERDES_IDLE_WAIT_MS; waited += kPollMs) {
    NdisMSleep(kPollMs * 1000);
  }
}

void ZekSerdesTimerResume(ZEK_ADAPTER* adapter) {
  if (adapter->Oid.SerdesTimer == nullptr) return;
  InterlockedExchange(&adapter->Oid.SerdesHeld, 0);
  LARGE_INTEGER due{};
  due.QuadPart = -10'000LL * ZEK_SERDES_PERIOD_MS;
  NdisSetTimerObject(adapter->Oid.SerdesTimer, due, ZEK_SERDES_PERIOD_MS, nullptr);
}

void ZekSerdesTimerStop(ZEK_ADAPTER* adapter) {
  if (adapter->Oid.SerdesTimer != nullptr) {
    NdisFreeTimerObject(adapter->Oid.SerdesTimer);  // cancels and waits for a running routine
    adapter->Oid.SerdesTimer = nullptr;
  }
  if (adapter->Oid.SerdesWork != nullptr) {
    // A maintenance already queued ends first (it polls for milliseconds at most).
    while (adapter->Oid.SerdesWorkQueued != 0) NdisMSleep(1000);
    NdisFreeIoWorkItem(adapter->Oid.SerdesWork);
    adapter->Oid.SerdesWork = nullptr;
  }
}
