// ZEK_common_init and ZEK_common_cleanup: the driver's libraries, brought up
// once at entry and taken down at unload.
//
// The steps run in a fixed order; each is use-counted by its module. When a
// step fails, the steps already done are undone in reverse order before the
// failure is returned, so a driver whose initialisation failed holds no
// registration and no tracked memory. The resource managers, the verbs and
// multicast-receive-queue tables, the tick calibration, the host stack and
// the hardware-object pools join the order after the interface manager as
// they come into the driver.
#include "include/zek/registry.h"
#include "proxy/core/fault_injection.h"
#include "proxy/core/zpx.h"

namespace {

struct Step {
  const char* name;
  ZpxFaultStep fault;
  ZekStatus (*init)();
  ZekStatus (*cleanup)();
};

ZekStatus init_tracking() { return ZEK_Init_c_osprims(0); }

constexpr Step kSteps[] = {
    {"OSPrims init", ZpxFaultStep::InitMemoryTracking, &init_tracking, &ZEK_Cleanup_c_osprims},
    {"ZEK_Init_c_err_msgs", ZpxFaultStep::InitStatusMessages, &ZEK_Init_c_err_msgs, &ZEK_Cleanup_c_err_msgs},
    {"ZEK_Init_c_if_mngr", ZpxFaultStep::InitInterfaceManager, &ZEK_Init_c_if_mngr, &ZEK_Cleanup_c_if_mngr},
};
constexpr std::size_t kStepCount = sizeof(kSteps) / sizeof(kSteps[0]);

}  // namespace

ZekStatus ZEK_common_init() {
  for (std::size_t i = 0; i < kStepCount; ++i) {
    const ZekStatus status = ZpxFaultAt(kSteps[i].fault) ? ZEK_STATUS_FAIL : kSteps[i].init();
    if (status == ZEK_STATUS_PASS) continue;
    ZEK_LOG_FAILURE("%s: ZEK_common_init(): %s failed.\n", ZPX_MODULE_NAME, kSteps[i].name);
    while (i-- > 0) kSteps[i].cleanup();
    return status;
  }
  return ZEK_STATUS_PASS;
}

void ZEK_common_cleanup(const char* ModuleName) {
  for (std::size_t i = kStepCount; i-- > 0;) {
    const ZekStatus status = kSteps[i].cleanup();
    if (status != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("%s: ZEK_common_cleanup(): %s cleanup failed (0x%x).\n", ModuleName, kSteps[i].name, status);
    }
  }
}
