// The resource managers of one attached PCI function.
#include "proxy/core/adapter_managers.h"

#include "proxy/core/fault_injection.h"

ZekStatus ZpxCreateAdapterManagers(const ZpxManagerTables* t, MifhDeviceObj* device, std::uint32_t tag,
                                   ZpxAdapterManagers* m) {
  *m = ZpxAdapterManagers{};
  struct Step {
    ZpxFaultStep fault;
    const char* name;
    ZekStatus (*create)(const ZpxManagerTables*, MifhDeviceObj*, std::uint32_t, ZpxAdapterManagers*);
  };
  static constexpr Step kSteps[] = {
      {ZpxFaultStep::CreateGim, "Create_GIM",
       [](const ZpxManagerTables* t, MifhDeviceObj* d, std::uint32_t, ZpxAdapterManagers* m) {
         return t->Gim->Create_GIM(&m->Gim, d);
       }},
      {ZpxFaultStep::CreateGlmi, "Create_Glmi",
       [](const ZpxManagerTables* t, MifhDeviceObj* d, std::uint32_t, ZpxAdapterManagers* m) {
         return t->Glmi->Create_Glmi(&m->Glmi, t->Gim, m->Gim, d);
       }},
      {ZpxFaultStep::CreateGromit, "Create_Gromit",
       [](const ZpxManagerTables* t, MifhDeviceObj* d, std::uint32_t tag, ZpxAdapterManagers* m) {
         return t->Gromit->CreateGromit(&m->Gromit, t->Gim, m->Gim, d, tag);
       }},
      {ZpxFaultStep::CreateLarmit, "Create_Larmit",
       [](const ZpxManagerTables* t, MifhDeviceObj*, std::uint32_t, ZpxAdapterManagers* m) {
         return t->Larmit->L_Initialize(&m->Larmit, t->Gromit, m->Gromit);
       }},
      {ZpxFaultStep::CreateMrte, "Create_Mrte",
       [](const ZpxManagerTables* t, MifhDeviceObj* d, std::uint32_t, ZpxAdapterManagers* m) {
         return t->Mrte->Create_MRTEM(&m->Mrte, t->Gim, m->Gim, d);
       }},
  };
  for (const Step& step : kSteps) {
    const ZekStatus status = ZpxFaultAt(step.fault) ? ZEK_STATUS_FAIL : step.create(t, device, tag, m);
    if (status == ZEK_STATUS_PASS) continue;
    ZEK_LOG_FAILURE("func[%s,%d]: %s() returned error (0x%x)\n", __func__, __LINE__, step.name, status);
    ZpxCleanupAdapterManagers(t, m);
    return status;
  }
  return ZEK_STATUS_PASS;
}

ZekStatus ZpxCleanupAdapterManagers(const ZpxManagerTables* t, ZpxAdapterManagers* m) {
  ZekStatus result = ZEK_STATUS_PASS;
  auto step = [&](bool present, ZekStatus status, const char* text) {
    if (present && status != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("%s", text);
      result = ZEK_STATUS_FAIL;
    }
  };
  step(m->Mrte != nullptr, m->Mrte != nullptr ? t->Mrte->Cleanup_MRTEM(m->Mrte) : ZEK_STATUS_PASS,
       "ZpxCommonRemoveDeviceCallback(): Cleanup_Mrte failed.\n");
  step(m->Larmit != nullptr, m->Larmit != nullptr ? t->Larmit->L_Free(m->Larmit) : ZEK_STATUS_PASS,
       "ZpxCommonRemoveDeviceCallback(): Cleanup_Larmit failed.\n");
  step(m->Gromit != nullptr, m->Gromit != nullptr ? t->Gromit->Cleanup_Gromit(m->Gromit) : ZEK_STATUS_PASS,
       "ZpxCommonRemoveDeviceCallback(): Cleanup_Gromit failed.\n");
  step(m->Glmi != nullptr, m->Glmi != nullptr ? t->Glmi->Cleanup_Glmi(m->Glmi) : ZEK_STATUS_PASS,
       "ZpxCommonRemoveDeviceCallback(): Cleanup_Glmi failed.\n");
  step(m->Gim != nullptr, m->Gim != nullptr ? t->Gim->Cleanup_GIM(m->Gim) : ZEK_STATUS_PASS,
       "ZpxCommonRemoveDeviceCallback(): Cleanup_GIM failed.\n");
  *m = ZpxAdapterManagers{};
  return result;
}
