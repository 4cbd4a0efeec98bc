// Device initialisation from the EEPROM's software section, the firmware
// check and the resets of the global control register.
#include "include/hw/registers.h"
#include "miniport/bringup.h"
#include "platform/kernel/ke.h"
#include "proxy/rdma/hw/config.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/hw/status.h"

namespace {

constexpr std::uint32_t kFirmwareStallUs = 49;
constexpr std::uint32_t kErrataStalls = 20;
constexpr std::uint32_t kSizeExponentMin = 9;
constexpr std::uint32_t kSizeExponentMax = 18;

std::uint32_t byte_of_function(std::uint32_t word, std::uint32_t function) {
  return function < 4 ? (word >> (24 - 8 * function)) & 0xFF : 0;
}

bool wait_reset_done(const MifhDeviceObj* device, std::uint32_t polls, std::uint32_t stall_us) {
  for (std::uint32_t poll = 0; poll < polls; ++poll) {
    if ((mifh_read_reg(device, zekhw::kRegGlobalControl) & zekhw::kGcResetDone) != 0) return true;
    if (stall_us != 0) KeStallExecutionProcessor(stall_us);
  }
  return false;
}

}  // namespace

bool ZekBadDevice(const MifhDeviceObj* device, const char* routine) {
  if (ZekIsBadPointer(device) || device->RegisterWindow == nullptr) {
    ZEK_LOG_FAILURE("%s: pBaseDeviceObj is not valid (0x%p)\n", routine, static_cast<const void*>(device));
    return true;
  }
  return false;
}

std::uint32_t ZekPortOfFunction(std::uint32_t function, std::uint32_t phy_type) {
  if (function == 1) return phy_type == 5 ? 2 : 1;
  if (function == 2) return phy_type == 5 ? 1 : 2;
  return function & 3;
}

ZekStatus mifh_device_init(MifhDeviceObj* device) {
  if (ZekBadDevice(device, "mifh_device_init")) return MIFH_STATUS_FAIL;
  ZekStatus status = mifh_eeprom_sw_read_device(device);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("mifh_device_init: failed line[%d]\n", __LINE__);
    return status;
  }
  return ZekDeviceInitFromImage(device);
}

ZekStatus ZekDeviceInitFromImage(MifhDeviceObj* device) {
  if (ZekBadDevice(device, "mifh_device_init") || device->EepromSection == nullptr) return MIFH_STATUS_FAIL;
  ZekStatus status = ZEK_STATUS_PASS;
  const std::uint32_t f = device->PciFunction;
  const std::uint32_t control = mifh_read_reg(device, zekhw::kRegGlobalControl);
  device->PortMode = (control >> zekhw::kGcPortModeShift) & 3;
  device->PortCountField = (control >> ((f & 1) != 0 ? 12 : 10)) & 3;
  device->PhyType = static_cast<std::uint8_t>(byte_of_function(ZekSwWord(device, 6), f));
  device->PhyMdioAddress = static_cast<std::uint8_t>(byte_of_function(ZekSwWord(device, 28), f));
  const std::uint32_t w2 = ZekSwWord(device, 2), w4 = ZekSwWord(device, 4);
  device->MacBlock1High = static_cast<std::uint16_t>(w2);
  device->MacBlock1Count = static_cast<std::uint8_t>((w2 >> 16) & 0x1F);
  device->MacBlock1Low = ZekSwWord(device, 3);
  device->MacBlock2High = static_cast<std::uint16_t>(w4);
  device->MacBlock2Count = static_cast<std::uint8_t>((w4 >> 16) & 0x1F);
  device->MacBlock2Low = ZekSwWord(device, 5);

  MifhHwSizes sizes{};
  status = mifh_query_hw_sizes(device, &sizes);
  if (status != ZEK_STATUS_PASS) return status;
  device->MaxSqWr = sizes.MaxSqWr;
  device->MaxRqWr = sizes.MaxRqWr;
  device->MaxOrd = sizes.ReadDepth;
  device->MaxIrd = sizes.ReadDepth;
  device->ArpEntryCount = sizes.Size258;
  device->IpEntryCount = ZEK_DEVICE_IP_ENTRIES;
  // The user doorbell window: one page per protection domain, for the
  // domains after the kernel's (1 to Size258), so that no page of a process
  // ever rings a kernel domain's queue pair.
  device->FirstPdId = sizes.Size258 + 1;
  device->PdCount = device->DoorbellWindow != nullptr ? device->DoorbellWindowLength / ZEK_DOORBELL_PAGE_BYTES : 0;

  device->Port = static_cast<std::uint8_t>(ZekPortOfFunction(f, device->PhyType));
  device->InterruptQueueBits = static_cast<std::uint16_t>(0x101u << f);
  device->InterruptFunctionBit = static_cast<std::uint8_t>(1u << f);
  device->InterruptPortBit = static_cast<std::uint8_t>(1u << device->Port);
  for (auto& flag : device->InterruptFlags) flag = 1;
  device->InterruptWord = (std::uint32_t{device->InterruptPortBit} | 0x30) << 24 |
                          std::uint32_t{device->InterruptFunctionBit} << 16 | device->InterruptQueueBits;

  const std::uint32_t w9 = ZekSwWord(device, 9);
  device->Limit15Low = (w9 & 0x7FFF) != 0 ? w9 & 0x7FFF : 1;
  device->Limit15High = (w9 >> 16) & 0x7FFF;
  if (device->ArpEntryCount != 0 && device->Limit15High > device->ArpEntryCount) {
    device->Limit15High = device->ArpEntryCount - 1;
  }
  std::uint32_t exponent = 0;
  mifh_read_indexed(device, zekhw::kIdxHashSize, &exponent);
  exponent &= 0x1F;
  exponent = exponent < kSizeExponentMin ? kSizeExponentMin : exponent > kSizeExponentMax ? kSizeExponentMax : exponent;
  device->SizePow2 = 1u << exponent;
  MifhHwLimits limits{};
  status = mifh_query_hw_limits(device, &limits);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("mifh_device_init: mifh_eeprom_sw_get_iwarp_knobs_table failed:\n");
    return status;
  }
  // The capability words are in the configuration window; a function
  // without one keeps the knobs at 0.
  MifhHwCaps caps{};
  status = device->ConfigWindow != nullptr ? mifh_query_hw_caps(device, &caps) : ZEK_STATUS_PASS;
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("mifh_device_init: mifh_eeprom_sw_get_iwarp_knobs failed:\n");
    return status;
  }
  for (unsigned i = 0; i < 5; ++i) device->IwarpKnobs[i] = static_cast<std::uint8_t>(caps.Flag[i]);

  ZekEepromVersions(static_cast<const std::uint8_t*>(device->EepromBuffer), device->EepromBufferSize,
                    device->VersionBytes);
  device->FlashVersion[0] = device->VersionBytes[0];
  device->FlashVersion[1] = device->VersionBytes[1];
  device->EepromVersion[0] = device->VersionBytes[2];
  device->EepromVersion[1] = device->VersionBytes[3];
  OSPrimDebugPrint("Firmware Version: %d.%d\n", device->VersionBytes[0], device->VersionBytes[1]);
  OSPrimDebugPrint("EEPROM Version: %d.%d\n", device->VersionBytes[2], device->VersionBytes[3]);
  return ZEK_STATUS_PASS;
}

ZekStatus mifh_hw_checkcqp_alive(MifhDeviceObj* device) {
  if (ZekBadDevice(device, "mifh_hw_checkcqp_alive")) return MIFH_STATUS_FAIL;
  KeStallExecutionProcessor(5);
  for (std::uint32_t poll = 0; poll < ZEK_FIRMWARE_POLLS; ++poll) {
    std::uint32_t value = 0;
    mifh_read_indexed(device, zekhw::kIdxFirmwareAlive, &value);
    if (value == zekhw::kFirmwareAliveValue) return ZEK_STATUS_PASS;
    KeStallExecutionProcessor(kFirmwareStallUs);
  }
  ZEK_LOG_FAILURE("\n Timeout attempting to talk to the firmware ... \n");
  return MIFH_STATUS_FAIL;
}

std::uint32_t ZekGlobalResetValue(std::uint32_t current) {
  const std::uint32_t mode = (current >> zekhw::kGcPortModeShift) & 3;
  const std::uint32_t low_mode = mode <= 1 ? 1 : 0;
  const std::uint32_t mode0 = mode == 0 ? 1 : 0;
  std::uint32_t value = current & 0xFF003F00;  // bits 24-31 and 8-13 kept
  value |= low_mode << 23 | low_mode << 22 | low_mode << 19 | low_mode << 18;
  value |= mode0 << 21 | mode0 << 17;
  value |= (mode != 0 ? 1u : 0u) << 5;
  value |= 0x1D;
  return value;
}

ZekStatus ZekGlobalReset(MifhDeviceObj* device) {
  if (ZekBadDevice(device, "ZekGlobalReset")) return MIFH_STATUS_FAIL;
  mifh_write_reg(device, zekhw::kRegGlobalControl,
                 ZekGlobalResetValue(mifh_read_reg(device, zekhw::kRegGlobalControl)));
  if (wait_reset_done(device, ZEK_GLOBAL_RESET_POLLS, 0)) return ZEK_STATUS_PASS;
  ZEK_LOG_FAILURE("ZekGlobalReset: the reset did not complete\n");
  return MIFH_STATUS_FAIL;
}

ZekStatus ZekPortReset(MifhDeviceObj* device) {
  if (ZekBadDevice(device, "ZekPortReset")) return MIFH_STATUS_FAIL;
  const std::uint32_t f = device->PciFunction & 3;
  const std::uint32_t current = mifh_read_reg(device, zekhw::kRegGlobalControl);
  std::uint32_t value = current & 0xFFFF3F00;  // bits 24-31, 16-23 and 8-13
  value &= ~((1u << (16 + f)) | (1u << (20 + f)));
  value |= ((f & 1) == 0 ? 1u << 4 : 1u << 5) | 0xD;
  mifh_write_reg(device, zekhw::kRegGlobalControl, value);
  if (wait_reset_done(device, ZEK_PORT_RESET_POLLS, 1)) return ZEK_STATUS_PASS;
  ZEK_LOG_FAILURE("ZekPortReset: the reset of function %u did not complete\n", f);
  return MIFH_STATUS_FAIL;
}

ZekStatus mifh_hardware_softreset(MifhDeviceObj* device, bool force) {
  if (ZekBadDevice(device, "mifh_hardware_softreset")) return MIFH_STATUS_FAIL;
  std::uint32_t status = 0;
  mifh_read_indexed(device, zekhw::idx_queue_status(device->PciFunction), &status);
  const std::uint32_t queues = zekhw::kStatusCqp | zekhw::kStatusCcq | zekhw::kStatusAeq | zekhw::kStatusCeq;
  if (force || (status & queues) != 0) ZekGlobalReset(device);
  if (mifh_acquire_indexreg_spinlock(device) == ZEK_STATUS_PASS) {
    for (unsigned n = 0; n < 2; ++n) {
      mifh_write_reg(device, zekhw::index_register(device->PciFunction), zekhw::idx_scratchpad(n));
      mifh_write_reg(device, zekhw::data_register(device->PciFunction), 0);
    }
    mifh_release_indexreg_spinlock(device);
  }
  return ZEK_STATUS_PASS;
}

void mifh_errata_5068(MifhDeviceObj* device) {
  if (ZekBadDevice(device, "mifh_errata_5068")) return;
  constexpr std::uint32_t kStall = 1u << zekhw::kIdxNicControlStallShift;
  std::uint32_t value = 0;
  mifh_read_indexed(device, zekhw::kIdxNicControl, &value);
  value &= zekhw::kIdxNicControlMask;
  mifh_write_indexed(device, zekhw::kIdxNicControl, value & ~kStall);
  for (std::uint32_t i = 0; i < kErrataStalls; ++i) KeStallExecutionProcessor(kFirmwareStallUs);
  if (device->Tuning == 7) mifh_write_indexed(device, zekhw::kIdxNicControl, value | kStall);
}
