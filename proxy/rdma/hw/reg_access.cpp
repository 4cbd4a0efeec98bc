#include "proxy/rdma/hw/reg_access.h"

#include "include/hw/registers.h"
#include "platform/kernel/hal.h"
#include "proxy/rdma/hw/status.h"

namespace {

volatile ULONG* reg(const MifhDeviceObj* device, std::uint32_t offset) {
  return reinterpret_cast<volatile ULONG*>(device->RegisterWindow + offset);
}

}  // namespace

std::uint32_t mifh_read_reg(const MifhDeviceObj* device, std::uint32_t offset) {
  return READ_REGISTER_ULONG(reg(device, offset));
}

void mifh_write_reg(const MifhDeviceObj* device, std::uint32_t offset, std::uint32_t value) {
  WRITE_REGISTER_ULONG(reg(device, offset), value);
}

ZekStatus mifh_acquire_indexreg_spinlock(MifhDeviceObj* device) {
  if (ZekIsBadPointer(device)) {
    OSPrimMemoryLogging("func[%s,%d] \n", __func__, __LINE__);
    return MIFH_STATUS_FAIL;
  }
  const ZekStatus status = device->IndexRegAcquire != nullptr ? device->IndexRegAcquire(&device->IndexRegLock)
                                                              : OSPrimSyncAcquireSpinlockObject(&device->IndexRegLock);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("mifh_acquire_indexreg_spinlock: Acquire Spinlock failed\n");
  }
  return status;
}

ZekStatus mifh_release_indexreg_spinlock(MifhDeviceObj* device) {
  if (ZekIsBadPointer(device)) {
    OSPrimMemoryLogging("func[%s,%d] \n", __func__, __LINE__);
    return MIFH_STATUS_FAIL;
  }
  const ZekStatus status = device->IndexRegRelease != nullptr ? device->IndexRegRelease(&device->IndexRegLock)
                                                              : OSPrimSyncReleaseSpinlockObject(&device->IndexRegLock);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("mifh_release_indexreg_spinlock: Release Spinlock failed\n");
  }
  return status;
}

ZekStatus mifh_read_indexed(MifhDeviceObj* device, std::uint32_t index, std::uint32_t* value) {
  const ZekStatus status = mifh_acquire_indexreg_spinlock(device);
  if (status != ZEK_STATUS_PASS) return status;
  mifh_write_reg(device, zekhw::index_register(device->PciFunction), index);
  *value = mifh_read_reg(device, zekhw::data_register(device->PciFunction));
  return mifh_release_indexreg_spinlock(device);
}

ZekStatus mifh_write_indexed(MifhDeviceObj* device, std::uint32_t index, std::uint32_t value) {
  const ZekStatus status = mifh_acquire_indexreg_spinlock(device);
  if (status != ZEK_STATUS_PASS) return status;
  mifh_write_reg(device, zekhw::index_register(device->PciFunction), index);
  mifh_write_reg(device, zekhw::data_register(device->PciFunction), value);
  return mifh_release_indexreg_spinlock(device);
}
