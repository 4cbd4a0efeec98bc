// Register steps of the adapter attach.
#include "proxy/core/adapter_steps.h"

#include "include/hw/registers.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/hw/status.h"

ZekStatus mifh_usermode_access_init(MifhDeviceObj* device) {
  if (!MifhDeviceGuardsIntact(device)) return MIFH_STATUS_FAIL;
  if (device->DoorbellWindow == nullptr) {
    ZEK_LOG_FAILURE("mifh_usermode_access_init: pBaseAddr1 is NULL\n");
    return MIFH_STATUS_FAIL;
  }
  const std::uint32_t value =
      (device->PdCount << zekhw::kUserDbCountShift) | (device->FirstPdId & zekhw::kUserDbFirstMask);
  // The indexed write takes the index-register lock itself.
  return mifh_write_indexed(device, zekhw::idx_user_doorbell(device->PciFunction), value);
}
