// Three adapter-wide services on the owner/follower framework: the link
// manager's callback table, the flash and EEPROM locks (entries of the owner
// GIM's interface table) and the IP address manager's table slots.
#include <cstring>

#include "proxy/rdma/rm/rm_internal.h"

using namespace zekrm;

// ---- GLMI -------------------------------------------------------------------------------------------------
namespace {

ZekStatus glmi_king_register(ZekGlmi* owner, ZekGlmi* registrant, std::uint64_t a, std::uint64_t b) {
  if (acquire(&owner->TableLock) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("GLMI_King_Register_Callback: Acquire Spinlock Failed\n");
    return ZEK_STATUS_FAIL;
  }
  ZekStatus status = ZEK_STATUS_PASS;
  if (owner->CallbackCount >= ZEK_GLMI_MAX_CALLBACKS) {
    ZEK_LOG_FAILURE("GLMI_King_Register_Callback: Callback table full\n");
    status = ZEK_STATUS_FAIL;
  } else {
    owner->Callbacks[owner->CallbackCount++] = ZekGlmiCallback{a, registrant, b};
  }
  if (release(&owner->TableLock) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("GLMI_King_Register_Callback: Release Spinlock Failed\n");
    status = ZEK_STATUS_FAIL;
  }
  return status;
}

// Removes one entry of `registrant` (with `a`, or any with 0); with `all`
// every entry of it. Answers how many went.
std::uint32_t glmi_remove(ZekGlmi* owner, ZekGlmi* registrant, std::uint64_t a, bool all) {
  std::uint32_t removed = 0;
  for (std::uint32_t i = 0; i < owner->CallbackCount;) {
    const ZekGlmiCallback& entry = owner->Callbacks[i];
    if (entry.Registrant == registrant && (a == 0 || entry.ValueA == a)) {
      owner->Callbacks[i] = owner->Callbacks[--owner->CallbackCount];
      owner->Callbacks[owner->CallbackCount] = ZekGlmiCallback{};
      ++removed;
      if (!all) break;
    } else {
      ++i;
    }
  }
  return removed;
}

ZekStatus glmi_king_deregister(ZekGlmi* owner, ZekGlmi* registrant, std::uint64_t a, bool all) {
  if (acquire(&owner->TableLock) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("GLMI_King_DeRegister_Callback: Link Manager Unable to Acquire Spinlock (%s)\n",
                    ZEK_GetErrorMessage(ZEK_STATUS_FAIL));
    return ZEK_STATUS_FAIL;
  }
  glmi_remove(owner, registrant, a, all);
  release(&owner->TableLock);
  return ZEK_STATUS_PASS;
}

ZekStatus glmi_handoff(ZekExclusionObject* new_head, ZekExclusionObject* old_head) {
  const ZekStatus status = ExclusionIF_Handoff(new_head, old_head);
  if (status != ZEK_STATUS_PASS || old_head == nullptr) return status;
  auto* to = reinterpret_cast<ZekGlmi*>(new_head);
  const auto* from = reinterpret_cast<const ZekGlmi*>(old_head);
  to->CallbackCount = from->CallbackCount;
  std::memcpy(to->Callbacks, from->Callbacks, sizeof to->Callbacks);
  return ZEK_STATUS_PASS;
}

}  // namespace

ZekStatus Create_Glmi(ZekGlmi** out, const ZekGimTable* gim, void* gim_handle, MifhDeviceObj* device) {
  if (ZekIsBadPointer(device)) {
    ZEK_LOG_FAILURE("Error: Bad pDevObject pointer passed to Create_GIM\n");
    return ZEK_STATUS_RES_INSUFFICIENT_SW;
  }
  if (ZekIsBadPointer(out)) {
    ZEK_LOG_FAILURE("Error: Bad ppGLMIF pointer passed to Create_GIM\n");
    return ZEK_STATUS_RES_INSUFFICIENT_SW;
  }
  *out = nullptr;
  auto* glmi = allocate_zeroed<ZekGlmi>();
  if (glmi == nullptr) {
    ZEK_LOG_FAILURE("Error: Unable to allocate %d bytes for Create Glmi\n", static_cast<int>(sizeof(ZekGlmi)));
    return ZEK_STATUS_RES_INSUFFICIENT_SW;
  }
  glmi->Device = device;
  if (OSPrimSyncInitSpinlockObject(&glmi->TableLock) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("Create_Glmi: OSPrimSyncInitSpinlockObject failed\n");
    OSPrimMemFree(glmi);
    return ZEK_STATUS_FAIL;
  }
  glmi->Head.Handoff = &glmi_handoff;
  if (GIMUser_Init(&glmi->Head, gim, gim_handle, LINK_MNGR_INTERFACE) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("Create_Glmi: GIMUser_Init failed\n");
    OSPrimSyncDestroySpinlockObject(&glmi->TableLock);
    OSPrimMemFree(glmi);
    return ZEK_STATUS_FAIL;
  }
  *out = glmi;
  return ZEK_STATUS_PASS;
}

ZekStatus Cleanup_Glmi(ZekGlmi* glmi) {
  if (ZekIsBadPointer(glmi)) {
    ZEK_LOG_FAILURE("Cleanup_Glmi: NULL passed in\n");
    return ZEK_STATUS_FAIL;
  }
  // Every callback this function registered goes, not only the first.
  if (forward(glmi, "Cleanup_Glmi: DeRegister_Callback failed\n", "Cleanup_Glmi: DeRegister_Callback failed\n",
              [&](ZekGlmi* owner) { return glmi_king_deregister(owner, glmi, 0, true); }) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("Cleanup_Glmi: DeRegister_Callback failed\n");
  }
  if (GIMUser_Cleanup(&glmi->Head) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("Cleanup_Glmi: GIMUser_Cleanup failed\n");
    return ZEK_STATUS_FAIL;
  }
  OSPrimSyncDestroySpinlockObject(&glmi->TableLock);
  OSPrimMemFree(glmi);
  return ZEK_STATUS_PASS;
}

ZekStatus GLMI_Serf_Register_Callback(ZekGlmi* glmi, std::uint64_t value_a, std::uint64_t value_b) {
  return forward(glmi, "GLMI_Serf_Register_Callback: Acquire Spinlock Failed\n",
                 "GLMI_Serf_Register_Callback: Release Spinlock Failed\n",
                 [&](ZekGlmi* owner) { return glmi_king_register(owner, glmi, value_a, value_b); });
}

ZekStatus GLMI_Serf_DeRegister_Callback(ZekGlmi* glmi, std::uint64_t value_a) {
  return forward(glmi, "GLMI_Serf_DeRegister_Callback: Acquire Spinlock Failed\n",
                 "GLMI_Serf_DeRegister_Callback: Release Spinlock Failed\n",
                 [&](ZekGlmi* owner) { return glmi_king_deregister(owner, glmi, value_a, false); });
}

std::uint32_t ZekGlmiCallbackCount(ZekGlmi* glmi) {
  std::uint32_t count = 0;
  forward(glmi, "", "", [&](ZekGlmi* owner) {
    count = owner->CallbackCount;
    return ZEK_STATUS_PASS;
  });
  return count;
}

const ZekGlmiTable g_ZekGlmiTable = {
    table_header<ZekGlmiTable>(),   &Create_Glmi, &Cleanup_Glmi, &GLMI_Serf_Register_Callback,
    &GLMI_Serf_DeRegister_Callback,
};

// ---- Flash and EEPROM locks ----------------------------------------------------------------------------------
namespace {

struct DeviceLockTexts {
  std::uint32_t id;
  const char* bad;
  const char* lock_failed;
  const char* register_failed;
  const char* already;
  const char* release_bad;
  const char* release_lock_failed;
  const char* get_failed;
  const char* not_locked;
};

constexpr DeviceLockTexts kFlash = {
    FLASH_MNGR_INTERFACE,
    "ZEK_Lock_Flash: Bad GIM Table or Handle\n",
    "ZEK_Lock_Flash: GimTable->Lock Failed\n",
    "ZEK_Lock_Flash: GimTable->RegisterInterface Failed\n",
    "ZEK_Lock_Flash: Flash already Locked\n",
    "ZEK_Release_Flash: Bad GIM Table or Handle\n",
    "ZEK_Release_Flash: GimTable->Lock Failed\n",
    "ZEK_Release_Flash: GimTable->GetInterface Failed\n",
    "Flash Manager Was Unlocked without having been locked\n",
};
constexpr DeviceLockTexts kEeprom = {
    EEPROM_MNGR_INTERFACE,
    "ZEK_Lock_EEProm: Bad GIM Table or Handle\n",
    "ZEK_Lock_EEProm: GimTable->Lock Failed\n",
    "ZEK_Lock_EEProm: GimTable->RegisterInterface Failed\n",
    "ZEK_Lock_EEProm: EEProm already Locked\n",
    "ZEK_Release_EEProm: Bad GIM Table or Handle\n",
    "ZEK_Release_EEProm: GimTable->Lock Failed\n",
    "ZEK_Release_EEProm: GimTable->GetInterface Failed\n",
    "EEProm Manager Was Unlocked without having been locked\n",
};

ZekStatus lock_device(const DeviceLockTexts& t, const ZekGimTable* gim, void* handle) {
  if (ZekIsBadPointer(gim) || ZekIsBadPointer(handle)) {
    ZEK_LOG_FAILURE("%s", t.bad);
    return ZEK_STATUS_BAD_PTR;
  }
  if (gim->Lock(handle) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("%s", t.lock_failed);
    return ZEK_STATUS_FAIL;
  }
  ZekStatus status = ZEK_STATUS_PASS;
  std::uint64_t value = 0;
  if (gim->GetInterface(handle, t.id, &value) == ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("%s", t.already);
    status = ZEK_STATUS_FAIL;
  } else if (gim->RegisterInterface(handle, t.id, 1) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("%s", t.register_failed);
    status = ZEK_STATUS_FAIL;
  }
  if (gim->Release(handle) != ZEK_STATUS_PASS && status == ZEK_STATUS_PASS) status = ZEK_STATUS_FAIL;
  return status;
}

ZekStatus release_device(const DeviceLockTexts& t, const ZekGimTable* gim, void* handle) {
  if (ZekIsBadPointer(gim) || ZekIsBadPointer(handle)) {
    ZEK_LOG_FAILURE("%s", t.release_bad);
    return ZEK_STATUS_BAD_PTR;
  }
  if (gim->Lock(handle) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("%s", t.release_lock_failed);
    return ZEK_STATUS_FAIL;
  }
  ZekStatus status = ZEK_STATUS_PASS;
  std::uint64_t value = 0;
  if (gim->GetInterface(handle, t.id, &value) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("%s", t.get_failed);
    ZEK_LOG_FAILURE("%s", t.not_locked);
    status = ZEK_STATUS_FAIL;
  } else if (value != 1) {
    ZEK_LOG_FAILURE("%s", t.not_locked);
    status = ZEK_STATUS_FAIL;
  } else {
    status = gim->DeregisterInterface(handle, t.id);
  }
  if (gim->Release(handle) != ZEK_STATUS_PASS && status == ZEK_STATUS_PASS) status = ZEK_STATUS_FAIL;
  return status;
}

}  // namespace

ZekStatus ZEK_Lock_Flash(const ZekGimTable* gim, void* gim_handle) { return lock_device(kFlash, gim, gim_handle); }
ZekStatus ZEK_Release_Flash(const ZekGimTable* gim, void* gim_handle) {
  return release_device(kFlash, gim, gim_handle);
}
ZekStatus ZEK_Lock_EEProm(const ZekGimTable* gim, void* gim_handle) { return lock_device(kEeprom, gim, gim_handle); }
ZekStatus ZEK_Release_EEProm(const ZekGimTable* gim, void* gim_handle) {
  return release_device(kEeprom, gim, gim_handle);
}

const ZekDeviceLockTable g_ZekFlashTable = {table_header<ZekDeviceLockTable>(), &ZEK_Lock_Flash, &ZEK_Release_Flash};
const ZekDeviceLockTable g_ZekEepromTable = {table_header<ZekDeviceLockTable>(), &ZEK_Lock_EEProm, &ZEK_Release_EEProm};

// ---- IP address manager ----------------------------------------------------------------------------------------
namespace {

struct Table {
  std::uint32_t* slots;
  std::uint32_t size;
};
Table ip_table(ZekIpaddr* owner) { return {owner->IpTable, owner->IpTableSize}; }
Table arp_table(ZekIpaddr* owner) { return {owner->ArpTable, owner->ArpTableSize}; }

// First-fit operations on one table (owner's lock held).
ZekStatus table_add(Table t, std::uint32_t address) {
  if (address == 0) return ZEK_STATUS_FAIL;  // 0 marks a free slot
  for (std::uint32_t i = 0; i < t.size; ++i) {
    if (t.slots[i] == 0) {
      t.slots[i] = address;
      return ZEK_STATUS_PASS;
    }
  }
  return ZEK_STATUS_FAIL;
}
ZekStatus table_index(Table t, std::uint32_t address, std::uint32_t* index) {
  if (ZekIsBadPointer(index)) return ZEK_STATUS_BAD_PTR;
  for (std::uint32_t i = 0; i < t.size; ++i) {
    if (address != 0 && t.slots[i] == address) {
      *index = i;
      return ZEK_STATUS_PASS;
    }
  }
  return ZEK_STATUS_FAIL;
}
ZekStatus table_remove(Table t, std::uint32_t address) {
  for (std::uint32_t i = 0; i < t.size; ++i) {
    if (address != 0 && t.slots[i] == address) {
      t.slots[i] = 0;
      return ZEK_STATUS_PASS;
    }
  }
  return ZEK_STATUS_FAIL;
}

template <typename Op>
ZekStatus ipaddr_call(ZekIpaddr* ipaddr, const char* failure_format, Op op) {
  const ZekStatus status =
      forward(ipaddr, "IPADDR: Acquire Spinlock Failed\n", "IPADDR: Release Spinlock Failed\n", [&](ZekIpaddr* owner) {
        if (acquire(&owner->Lock) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
        const ZekStatus s = op(owner);
        release(&owner->Lock);
        return s;
      });
  if (status != ZEK_STATUS_PASS) ZEK_LOG_FAILURE(failure_format, ZEK_GetErrorMessage(status));
  return status;
}

// The new owner serves from tables that hold the old owner's slots, so no
// slot in use is handed out again.
ZekStatus ipaddr_handoff(ZekExclusionObject* new_head, ZekExclusionObject* old_head) {
  if (ZekIsBadPointer(new_head)) {
    ZEK_LOG_FAILURE("IPADDR_Handoff called with NULL this\n");
    return ZEK_STATUS_BAD_PTR;
  }
  if (ExclusionIF_Handoff(new_head, old_head) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("IPADDR_Handoff: ExclusionIF_Handoff Failed\n");
    return ZEK_STATUS_FAIL;
  }
  if (old_head == nullptr) return ZEK_STATUS_PASS;
  auto* to = reinterpret_cast<ZekIpaddr*>(new_head);
  const auto* from = reinterpret_cast<const ZekIpaddr*>(old_head);
  if (to->IpTableSize != from->IpTableSize || to->ArpTableSize != from->ArpTableSize) return ZEK_STATUS_FAIL;
  std::memcpy(to->IpTable, from->IpTable, to->IpTableSize * sizeof(std::uint32_t));
  std::memcpy(to->ArpTable, from->ArpTable, to->ArpTableSize * sizeof(std::uint32_t));
  return ZEK_STATUS_PASS;
}

void free_ipaddr(ZekIpaddr* ipaddr) {
  if (ipaddr->IpTable != nullptr) OSPrimMemFree(ipaddr->IpTable);
  if (ipaddr->ArpTable != nullptr) OSPrimMemFree(ipaddr->ArpTable);
  if (ipaddr->Lock.Signature != 0) OSPrimSyncDestroySpinlockObject(&ipaddr->Lock);
  OSPrimMemFree(ipaddr);
}

}  // namespace

ZekStatus Create_IPADDRM(ZekIpaddr** out, const ZekGimTable* gim, void* gim_handle, MifhDeviceObj* device) {
  if (ZekIsBadPointer(device)) {
    ZEK_LOG_FAILURE("Create_IPADDRM: Bad pDevObject pointer passed to Create_GIM\n");
    return ZEK_STATUS_BAD_PTR;
  }
  if (ZekIsBadPointer(out)) {
    ZEK_LOG_FAILURE("Create_IPADDRM: Bad pIPADDRIF_Handle pointer passed to Create_GIM\n");
    return ZEK_STATUS_BAD_PTR;
  }
  *out = nullptr;
  ZekRmHardwareInfo hw{};
  if (GetHardwareInfo(device, &hw) != ZEK_STATUS_PASS) return ZEK_STATUS_FAIL;
  auto* ipaddr = allocate_zeroed<ZekIpaddr>();
  if (ipaddr == nullptr) {
    ZEK_LOG_FAILURE("Create_IPADDRM: Unable to allocate %d bytes for Create_IPADDRM\n",
                    static_cast<int>(sizeof(ZekIpaddr)));
    return ZEK_STATUS_RES_INSUFFICIENT_SW;
  }
  if (OSPrimSyncInitSpinlockObject(&ipaddr->Lock) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("Create_IPADDRM: Failed to create spinlock object\n");
    free_ipaddr(ipaddr);
    return ZEK_STATUS_FAIL;
  }
  ipaddr->Device = device;
  ipaddr->IpTableSize = hw.IpTableSize;
  ipaddr->ArpTableSize = hw.ArpTableSize;
  ipaddr->IpTable = allocate_zeroed<std::uint32_t>(hw.IpTableSize * 4);
  if (ipaddr->IpTable == nullptr) {
    ZEK_LOG_FAILURE("Create_IPADDRM: Unable to allocate %d bytes for IPAddr Table\n",
                    static_cast<int>(hw.IpTableSize * 4));
    free_ipaddr(ipaddr);
    return ZEK_STATUS_RES_INSUFFICIENT_SW;
  }
  ipaddr->ArpTable = allocate_zeroed<std::uint32_t>(hw.ArpTableSize * 4);
  if (ipaddr->ArpTable == nullptr) {
    ZEK_LOG_FAILURE("Create_IPADDRM: Unable to allocate %d bytes for Arp Table\n",
                    static_cast<int>(hw.ArpTableSize * 4));
    free_ipaddr(ipaddr);
    return ZEK_STATUS_RES_INSUFFICIENT_SW;
  }
  ipaddr->Head.Handoff = &ipaddr_handoff;
  if (GIMUser_Init(&ipaddr->Head, gim, gim_handle, IPADDR_MNGR_INTERFACE) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("Create_IPADDRM: GIMUser_Init Failed\n");
    free_ipaddr(ipaddr);
    return ZEK_STATUS_FAIL;
  }
  *out = ipaddr;
  return ZEK_STATUS_PASS;
}

ZekStatus Cleanup_IPADDRM(ZekIpaddr* ipaddr) {
  if (ZekIsBadPointer(ipaddr) || !ZekExclusionValid(&ipaddr->Head)) return ZEK_STATUS_BAD_PTR;
  if (GIMUser_Cleanup(&ipaddr->Head) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("Cleanup_IPADDRM: GIMUser_Cleanup Failed\n");
    return ZEK_STATUS_FAIL;
  }
  free_ipaddr(ipaddr);
  return ZEK_STATUS_PASS;
}

ZekStatus IPADDR_Serf_Add_IPAddress(ZekIpaddr* ipaddr, std::uint32_t address) {
  return ipaddr_call(ipaddr, "IPADDR_Serf_Add_IPAddress: Create_Complete returned %s\n",
                     [&](ZekIpaddr* owner) { return table_add(ip_table(owner), address); });
}
ZekStatus IPADDR_Serf_GetIndexForIP(ZekIpaddr* ipaddr, std::uint32_t address, std::uint32_t* index) {
  return ipaddr_call(ipaddr, "IPADDR_Serf_GetIndexForIP: Create_Complete returned %s\n",
                     [&](ZekIpaddr* owner) { return table_index(ip_table(owner), address, index); });
}
ZekStatus IPADDR_Serf_Remove_IPAddress(ZekIpaddr* ipaddr, std::uint32_t address) {
  return ipaddr_call(ipaddr, "IPADDR_Serf_Remove_IPAddress: Create_Complete returned %s\n",
                     [&](ZekIpaddr* owner) { return table_remove(ip_table(owner), address); });
}
ZekStatus IPADDR_Serf_Add_Arp(ZekIpaddr* ipaddr, std::uint32_t address) {
  return ipaddr_call(ipaddr, "IPADDR_Serf_Add_Arp: Create_Complete returned %s\n",
                     [&](ZekIpaddr* owner) { return table_add(arp_table(owner), address); });
}
ZekStatus IPADDR_Serf_GetIndexForArp(ZekIpaddr* ipaddr, std::uint32_t address, std::uint32_t* index) {
  return ipaddr_call(ipaddr, "IPADDR_Serf_GetIndexForArp: Create_Complete returned %s\n",
                     [&](ZekIpaddr* owner) { return table_index(arp_table(owner), address, index); });
}
ZekStatus IPADDR_Serf_Remove_Arp(ZekIpaddr* ipaddr, std::uint32_t address) {
  return ipaddr_call(ipaddr, "IPADDR_Serf_Remove_Arp: Create_Complete returned %s\n",
                     [&](ZekIpaddr* owner) { return table_remove(arp_table(owner), address); });
}

const ZekIpaddrTable g_ZekIpaddrTable = {
    table_header<ZekIpaddrTable>(),
    &Create_IPADDRM,
    &Cleanup_IPADDRM,
    &IPADDR_Serf_Add_IPAddress,
    &IPADDR_Serf_GetIndexForIP,
    &IPADDR_Serf_Remove_IPAddress,
    &IPADDR_Serf_Add_Arp,
    &IPADDR_Serf_GetIndexForArp,
    &IPADDR_Serf_Remove_Arp,
};
