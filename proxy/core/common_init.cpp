// ZEK_common_init and ZEK_common_cleanup: the driver's libraries, brought up
// once at entry and taken down at unload.
//
// The steps run in a fixed order; each is use-counted by its module. When a
// step fails, the steps already done are undone in reverse order before the
// failure is returned, so a driver whose initialisation failed holds no
// registration, no thread and no tracked memory. Cleanup runs the same
// table backwards. The host stack starts after the hardware-object pools,
// so that at unload it is stopped (its thread joined, its clock cancelled)
// before anything it might touch is freed; the kernel verbs start after the
// stack. The multicast receive queue table and the socket that keeps handle
// 0 join the order as they come into the driver.
#include <cstring>

#include "include/zek/interfaces.h"
#include "include/zek/registry.h"
#include "platform/kernel/ke.h"
#include "proxy/core/fault_injection.h"
#include "proxy/core/zpx.h"
#include "proxy/rdma/hw/mcrq.h"
#include "proxy/rdma/hw/pools.h"
#include "proxy/rdma/rm/rm.h"
#include "proxy/rdma/verbs/verbs.h"
#include "proxy/tcpip/stack.h"

const ZekGimTable* g_ZpxGimTable;
const ZekGlmiTable* g_ZpxGlmiTable;
const ZekGromitTable* g_ZpxGromitTable;
const ZekLarmitTable* g_ZpxLrmTable;
const ZekMrteTable* g_ZpxMrteTable;
const ZekDeviceLockTable* g_ZpxFlashTable;
const ZekDeviceLockTable* g_ZpxEepromTable;
const ZekIpaddrTable* g_ZpxIpaddrTable;
ZekListHead g_ZpxAddedAdapters;
ULONG g_ZpxTickMs = 10;
ULONG g_ZpxTicksPerSecond = 100;
void* g_ZpxXmitBlock;
ZpxXmitDescriptor g_ZpxXmitDescriptors[ZPX_XMIT_BUFFERS];
std::uint32_t g_ZpxCrc32Table[256];
std::uint32_t g_ZpxCrc32cTable[256];

ULONG ZpxTickFromDifference(std::uint64_t difference) {
  // A tick count that did not move is no measurement: the 10 ms tick.
  if (difference == 0) return 10;
  const std::uint64_t ratio = 100 / difference;
  return ratio >= 11 && ratio <= 16 ? 15 : 10;
}

void ZpxCalibrateTick() {
  LARGE_INTEGER before{};
  LARGE_INTEGER after{};
  KeQueryTickCount(&before);
  KeStallExecutionProcessor(100'000);
  KeQueryTickCount(&after);
  KeStallExecutionProcessor(100'000);
  const std::uint64_t difference =
      after.QuadPart > before.QuadPart ? static_cast<std::uint64_t>(after.QuadPart - before.QuadPart) : 0;
  g_ZpxTickMs = ZpxTickFromDifference(difference);
  g_ZpxTicksPerSecond = 1000 / g_ZpxTickMs;
}

namespace {

void build_crc_table(std::uint32_t* table, std::uint32_t reflected_polynomial) {
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ reflected_polynomial : c >> 1;
    table[i] = c;
  }
}

struct Step {
  const char* name;
  ZpxFaultStep fault;
  ZekStatus (*init)();
  ZekStatus (*cleanup)();  // null: nothing to undo
};

ZekStatus init_tracking() { return ZEK_Init_c_osprims(0); }

template <typename Table>
ZekStatus fetch(std::uint32_t id, const char* name, const Table** out) {
  void* table = nullptr;
  if (ZEK_GetInterface(id, &table) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("%s: ZEK_common_init(): ZEK_GetInterface( %s ) failed.\n", ZPX_MODULE_NAME, name);
    return ZEK_STATUS_FAIL;
  }
  if (table == nullptr) {
    ZEK_LOG_FAILURE("%s: ZEK_common_init(): ZEK_GetInterface( %s ) returned NULL.\n", ZPX_MODULE_NAME, name);
    return ZEK_STATUS_FAIL;
  }
  *out = static_cast<const Table*>(table);
  return ZEK_STATUS_PASS;
}

ZekStatus fetch_managers() {
  if (ZpxFaultAt(ZpxFaultStep::FetchManagerTables)) return ZEK_STATUS_FAIL;
  ZekStatus status = fetch(GIM_INTERFACE, "GIM_INTERFACE", &g_ZpxGimTable);
  if (status == ZEK_STATUS_PASS) status = fetch(LINK_MNGR_INTERFACE, "LINK_MNGR_INTERFACE", &g_ZpxGlmiTable);
  if (status == ZEK_STATUS_PASS) status = fetch(GRM_INTERFACE, "GRM_INTERFACE", &g_ZpxGromitTable);
  if (status == ZEK_STATUS_PASS) status = fetch(LRM_INTERFACE, "LRM_INTERFACE", &g_ZpxLrmTable);
  if (status == ZEK_STATUS_PASS) status = fetch(MRTE_MNGR_INTERFACE, "MRTE_MNGR_INTERFACE", &g_ZpxMrteTable);
  return status;
}

ZekStatus forget_managers() {
  g_ZpxGimTable = nullptr;
  g_ZpxGlmiTable = nullptr;
  g_ZpxGromitTable = nullptr;
  g_ZpxLrmTable = nullptr;
  g_ZpxMrteTable = nullptr;
  return ZEK_STATUS_PASS;
}

// Registers one of the three services and fetches its table.
// A table that cannot be fetched is deregistered again, so that the step
// leaves nothing behind.
template <typename Table>
ZekStatus register_service(ZekStatus (*init)(), ZekStatus (*cleanup)(), std::uint32_t id, const char* name,
                           const Table** out) {
  ZekStatus status = init();
  if (status != ZEK_STATUS_PASS) return status;
  status = fetch(id, name, out);
  if (status != ZEK_STATUS_PASS) cleanup();
  return status;
}
ZekStatus init_flash() {
  return register_service(&ZEK_Init_Flash, &ZEK_Cleanup_Flash, FLASH_MNGR_INTERFACE, "FLASH_MNGR_INTERFACE",
                          &g_ZpxFlashTable);
}
ZekStatus cleanup_flash() {
  g_ZpxFlashTable = nullptr;
  return ZEK_Cleanup_Flash();
}
ZekStatus init_eeprom() {
  return register_service(&ZEK_Init_EEProm, &ZEK_Cleanup_EEProm, EEPROM_MNGR_INTERFACE, "EEPROM_MNGR_INTERFACE",
                          &g_ZpxEepromTable);
}
ZekStatus cleanup_eeprom() {
  g_ZpxEepromTable = nullptr;
  return ZEK_Cleanup_EEProm();
}
ZekStatus init_ipaddr() {
  return register_service(&ZEK_Init_IPADDR, &ZEK_Cleanup_IPADDR, IPADDR_MNGR_INTERFACE, "IPADDR_MNGR_INTERFACE",
                          &g_ZpxIpaddrTable);
}
ZekStatus cleanup_ipaddr() {
  g_ZpxIpaddrTable = nullptr;
  return ZEK_Cleanup_IPADDR();
}

ZekStatus init_added_adapters() { return ZekInitializeListHead(&g_ZpxAddedAdapters); }

ZekStatus calibrate() {
  ZpxCalibrateTick();
  return ZEK_STATUS_PASS;
}

ZekStatus init_pools() {
  const ZekStatus status = mifh_create_mem_resources();
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("ZEK_common_init: mifh_create_mem_resources() returned error (0x%x)\n", status);
  }
  return status;
}

// The transmit buffers: 512 of 1520 bytes from the first 64-byte boundary
// of one tracked block. A failure is only logged.
void init_xmit_buffers() {
  void* block = nullptr;
  if (ZpxFaultAt(ZpxFaultStep::InitXmitBuffers) || OSPrimMemAllocate(&block, ZPX_XMIT_BLOCK_BYTES) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("ZpxCommonTcpInitAtInitTime: init_xmit_buffers returned error \n");
    return;
  }
  g_ZpxXmitBlock = block;
  const auto base = (reinterpret_cast<std::uintptr_t>(block) + 63) & ~std::uintptr_t{63};
  for (std::uint32_t i = 0; i < ZPX_XMIT_BUFFERS; ++i) {
    g_ZpxXmitDescriptors[i].InUse = 0;
    g_ZpxXmitDescriptors[i].Buffer = base + std::uint64_t{i} * ZPX_XMIT_BUFFER_BYTES;
  }
}

ZekStatus init_stack() {
  zektcp::TcpipConfig config;
  config.tick_ms = g_ZpxTickMs;
  const ZekStatus status = ZpxFaultAt(ZpxFaultStep::InitTcpStack) ? ZEK_STATUS_FAIL : ZEK_Init_c_tcpip(&config);
  if (status != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("ZpxCommonTcpInitAtInitTime: ZekTcpStackInit() returned error (0x%x)\n", status);
    ZEK_LOG_FAILURE("ZEK_common_init: ZpxCommonTcpInitAtInitTime() returned error (0x%x)\n", status);
    return status;
  }
  init_xmit_buffers();
  ZpxSetProcessCleanupRoutine(ZPX_PROCESS_SOCKETS, &ZpxReleaseProcessSockets);
  return ZEK_STATUS_PASS;
}

// Stops the stack (its thread joined, its clock cancelled), then frees the
// transmit buffers.
ZekStatus cleanup_stack() {
  ZpxSetProcessCleanupRoutine(ZPX_PROCESS_SOCKETS, nullptr);
  const ZekStatus status = ZEK_Cleanup_c_tcpip();
  ZpxReleaseTransferBuffers();
  if (g_ZpxXmitBlock != nullptr) {
    OSPrimMemFree(g_ZpxXmitBlock);
    g_ZpxXmitBlock = nullptr;
    std::memset(g_ZpxXmitDescriptors, 0, sizeof g_ZpxXmitDescriptors);
  }
  return status;
}

ZekStatus init_crc() {
  build_crc_table(g_ZpxCrc32Table, 0xEDB88320);   // CRC-32, 0x04C11DB7 reflected
  build_crc_table(g_ZpxCrc32cTable, 0x82F63B78);  // CRC-32C, 0x1EDC6F41 reflected
  return ZEK_STATUS_PASS;
}

constexpr Step kSteps[] = {
    {"OSPrims init", ZpxFaultStep::InitMemoryTracking, &init_tracking, &ZEK_Cleanup_c_osprims},
    {"ZEK_Init_c_err_msgs", ZpxFaultStep::InitStatusMessages, &ZEK_Init_c_err_msgs, &ZEK_Cleanup_c_err_msgs},
    {"ZEK_Init_c_if_mngr", ZpxFaultStep::InitInterfaceManager, &ZEK_Init_c_if_mngr, &ZEK_Cleanup_c_if_mngr},
    {"ZEK_Init_Gromit", ZpxFaultStep::InitGromit, &ZEK_Init_Gromit, &ZEK_Cleanup_Gromit},
    {"ZEK_Init_GIM", ZpxFaultStep::InitGim, &ZEK_Init_GIM, &ZEK_Cleanup_GIM},
    {"ZEK_Init_GLMI", ZpxFaultStep::InitGlmi, &ZEK_Init_GLMI, &ZEK_Cleanup_GLMI},
    {"ZEK_Init_LRMI", ZpxFaultStep::InitLrmi, &ZEK_Init_LRMI, &ZEK_Cleanup_LRMI},
    {"ZEK_Init_MRTE", ZpxFaultStep::InitMrte, &ZEK_Init_MRTE, &ZEK_Cleanup_MRTE},
    {"ZEK_GetInterface", ZpxFaultStep::FetchManagerTables, &fetch_managers, &forget_managers},
    {"ZEK_Init_Flash", ZpxFaultStep::InitFlash, &init_flash, &cleanup_flash},
    {"ZEK_Init_EEProm", ZpxFaultStep::InitEeprom, &init_eeprom, &cleanup_eeprom},
    {"ZEK_Init_IPADDR", ZpxFaultStep::InitIpaddr, &init_ipaddr, &cleanup_ipaddr},
    {"added adapters", ZpxFaultStep::None, &init_added_adapters, nullptr},
    {"ZEK_Init_MCRQ", ZpxFaultStep::None, &ZEK_Init_MCRQ, &ZEK_Cleanup_MCRQ},
    {"tick calibration", ZpxFaultStep::None, &calibrate, nullptr},
    {"mifh_create_mem_resources", ZpxFaultStep::InitPools, &init_pools, &mifh_destroy_mem_resources},
    // The stack step injects its own failure.
    {"ZpxCommonTcpInitAtInitTime", ZpxFaultStep::None, &init_stack, &cleanup_stack},
    // The kernel verbs start after the pools and the stack they use, so that
    // their stop (which closes the adapters clients left open) runs first.
    {"ZEK_Init_Verbs", ZpxFaultStep::None, &ZEK_Init_Verbs, &ZEK_Cleanup_Verbs},
    {"CRC tables", ZpxFaultStep::None, &init_crc, nullptr},
};
constexpr std::size_t kStepCount = sizeof(kSteps) / sizeof(kSteps[0]);

}  // namespace

ZekStatus ZEK_common_init() {
  for (std::size_t i = 0; i < kStepCount; ++i) {
    const Step& step = kSteps[i];
    const bool injected = step.fault != ZpxFaultStep::None && ZpxFaultAt(step.fault);
    const ZekStatus status = injected ? ZEK_STATUS_FAIL : step.init();
    if (status == ZEK_STATUS_PASS) continue;
    ZEK_LOG_FAILURE("%s: ZEK_common_init(): %s failed.\n", ZPX_MODULE_NAME, step.name);
    while (i-- > 0) {
      if (kSteps[i].cleanup != nullptr) kSteps[i].cleanup();
    }
    return status;
  }
  return ZEK_STATUS_PASS;
}

void ZEK_common_cleanup(const char* ModuleName) {
  for (std::size_t i = kStepCount; i-- > 0;) {
    if (kSteps[i].cleanup == nullptr) continue;
    const ZekStatus status = kSteps[i].cleanup();
    if (status != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("%s: ZEK_common_cleanup(): %s cleanup failed (0x%x).\n", ModuleName, kSteps[i].name, status);
    }
  }
}
