// Register access of the hardware-interface module. Direct registers are
// reached through the device object's register window with the platform's
// register accessors. Every indexed access (index write, then data access)
// runs under the index-register lock that both drivers share, so that
// neither driver's index write falls between the other's index write and
// data access on the same pair.
#pragma once

#include <cstdint>

#include "include/zek/mifh.h"

std::uint32_t mifh_read_reg(const MifhDeviceObj* device, std::uint32_t offset);
void mifh_write_reg(const MifhDeviceObj* device, std::uint32_t offset, std::uint32_t value);

// The index-register lock: through the device's routine pair, or the device's
// own lock object when no routine is set. ZEK_STATUS_PASS, or the failing
// status of the lock; a bad device answers MIFH_STATUS_FAIL.
ZekStatus mifh_acquire_indexreg_spinlock(MifhDeviceObj* device);
ZekStatus mifh_release_indexreg_spinlock(MifhDeviceObj* device);

// One indexed access of the device's own pair, under the index-register lock.
ZekStatus mifh_read_indexed(MifhDeviceObj* device, std::uint32_t index, std::uint32_t* value);
ZekStatus mifh_write_indexed(MifhDeviceObj* device, std::uint32_t index, std::uint32_t value);
