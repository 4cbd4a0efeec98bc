// The managers' routine tables in the interface manager. Tables with a use
// counter are registered by their first init and deregistered by their last
// cleanup; the link manager and the local resource manager have none, so
// each init registers and each cleanup deregisters one entry.
#include "include/zek/registry.h"
#include "proxy/rdma/rm/rm_internal.h"

namespace {

struct Registration {
  std::uint32_t id;
  const void* table;
  const char* name;
  std::uint32_t* counter;  // null: not use-counted
  const char* too_many;    // logged by a cleanup past the last init
};

std::uint32_t g_gromit_uses;
std::uint32_t g_gim_uses;
std::uint32_t g_mrte_uses;
std::uint32_t g_flash_uses;
std::uint32_t g_eeprom_uses;
std::uint32_t g_ipaddr_uses;

const Registration kGromit = {GRM_INTERFACE, &g_ZekGromitTable, "Global Resource Manager", &g_gromit_uses,
                              "ZEK_Cleanup_Gromit: GRoMiT being cleaned up more times than initialized"};
const Registration kGim = {GIM_INTERFACE, &g_ZekGimTable, "Global Interface Manager", &g_gim_uses,
                           "ZEK_Cleanup_GIM: GIM being cleaned up more times than initialized"};
const Registration kGlmi = {LINK_MNGR_INTERFACE, &g_ZekGlmiTable, "Global Link Manager", nullptr, nullptr};
const Registration kLrmi = {LRM_INTERFACE, &g_ZekLarmitTable, "Local Resource Manager", nullptr, nullptr};
const Registration kMrte = {MRTE_MNGR_INTERFACE, &g_ZekMrteTable, "Global Perfect Table Manager", &g_mrte_uses,
                            "ZEK_Cleanup_MRTE MRTE Manager being cleaned up more times than initialized"};
const Registration kFlash = {FLASH_MNGR_INTERFACE, &g_ZekFlashTable, "Flash Manager", &g_flash_uses,
                             "Flash Manager being cleaned up more times than initialized"};
const Registration kEeprom = {EEPROM_MNGR_INTERFACE, &g_ZekEepromTable, "EEProm Manager", &g_eeprom_uses,
                              "EEProm Manager being cleaned up more times than initialized"};
const Registration kIpaddr = {IPADDR_MNGR_INTERFACE, &g_ZekIpaddrTable, "Global IP Address Manager", &g_ipaddr_uses,
                              "ZEK_Cleanup_IPADDR IPADDR Manager being cleaned up more times than initialized"};

ZekStatus init(const Registration& r) {
  if (r.counter != nullptr && (*r.counter)++ > 0) return ZEK_STATUS_PASS;
  const ZekStatus status = ZEK_RegisterInterface(r.id, r.table, r.name);
  if (status != ZEK_STATUS_PASS && r.counter != nullptr) --*r.counter;
  return status;
}

ZekStatus cleanup(const Registration& r) {
  if (r.counter != nullptr) {
    if (*r.counter == 0) {
      ZEK_LOG_FAILURE("%s", r.too_many);
      return ZEK_STATUS_FAIL;
    }
    if (--*r.counter > 0) return ZEK_STATUS_PASS;
  }
  return ZEK_DeregisterInterface(r.id);
}

}  // namespace

ZekStatus ZEK_Init_Gromit() { return init(kGromit); }
ZekStatus ZEK_Cleanup_Gromit() { return cleanup(kGromit); }
ZekStatus ZEK_Init_GIM() { return init(kGim); }
ZekStatus ZEK_Cleanup_GIM() { return cleanup(kGim); }
ZekStatus ZEK_Init_GLMI() { return init(kGlmi); }
ZekStatus ZEK_Cleanup_GLMI() { return cleanup(kGlmi); }
ZekStatus ZEK_Init_LRMI() { return init(kLrmi); }
ZekStatus ZEK_Cleanup_LRMI() { return cleanup(kLrmi); }
ZekStatus ZEK_Init_MRTE() { return init(kMrte); }
ZekStatus ZEK_Cleanup_MRTE() { return cleanup(kMrte); }
ZekStatus ZEK_Init_Flash() { return init(kFlash); }
ZekStatus ZEK_Cleanup_Flash() { return cleanup(kFlash); }
ZekStatus ZEK_Init_EEProm() { return init(kEeprom); }
ZekStatus ZEK_Cleanup_EEProm() { return cleanup(kEeprom); }
ZekStatus ZEK_Init_IPADDR() { return init(kIpaddr); }
ZekStatus ZEK_Cleanup_IPADDR() { return cleanup(kIpaddr); }
