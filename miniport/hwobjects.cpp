#include "miniport/hwobjects.h"

#include <cstring>

#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/hw/status.h"

ZekBoardTables g_ZekBoards;

namespace {

constexpr std::uint32_t kEepromBufferBytes = 2048;
constexpr std::uint32_t kStatisticsEntries = 216;
constexpr std::uint32_t kPerNodeStride = 512;
constexpr std::uint32_t kScratchpadIndexBase = 0x800;
constexpr ZekStatus kStatusBadFunction = 14;  // a PCI function of 8 or more

ZekStatus all_ones() { return static_cast<ZekStatus>(0xFFFFFFFFu); }

// What distinguishes the kinds: how to tell a table entry is this board's,
// and how to set up a new one.
template <typename T>
bool carries(const T* object, std::uint32_t signature, std::uint32_t board_key) {
  return object != nullptr && (signature == 0 || object->Signature == signature) && object->BoardKey == board_key;
}
template <>
bool carries(const ZekSharedTimer* object, std::uint32_t, std::uint32_t board_key) {
  return object != nullptr && object->BoardKey == board_key;
}

template <typename T>
T* scan(T** table, std::uint32_t count, std::uint32_t signature, std::uint32_t board_key) {
  for (std::uint32_t i = 0; i < count; ++i) {
    if (carries(table[i], signature, board_key)) return table[i];
  }
  return nullptr;
}

// Find-or-create under the shared-resource lock. The allocation runs with
// the lock dropped; the table is scanned again once it is re-taken, so two
// functions of one board initialising at once end with one object.
// `setup` fills a fresh zeroed object (its signature, key and count
// included); `bytes` is its size.
template <typename T, typename Setup>
ZekStatus find_or_create(T** table, std::uint32_t* count, std::uint32_t signature, std::uint32_t board_key,
                         std::uint32_t bytes, T** out, Setup setup) {
  OSPrimSyncAcquireSpinlockObject(&g_Zek.SharedResourceLock);
  if (T* found = scan(table, *count, signature, board_key)) {
    ++found->ReferenceCount;
    *out = found;
    OSPrimSyncReleaseSpinlockObject(&g_Zek.SharedResourceLock);
    return ZEK_STATUS_PASS;
  }
  OSPrimSyncReleaseSpinlockObject(&g_Zek.SharedResourceLock);

  void* memory = nullptr;
  const ZekStatus status = OSPrimMemAllocate(&memory, bytes);
  if (status != ZEK_STATUS_PASS || memory == nullptr) {
    ZEK_LOG_FAILURE("Func[%s]: OSPrimMemAllocate() returned error (0x%x)\n", __func__, status);
    return all_ones();
  }
  T* fresh = static_cast<T*>(memory);
  setup(fresh);

  OSPrimSyncAcquireSpinlockObject(&g_Zek.SharedResourceLock);
  if (T* found = scan(table, *count, signature, board_key)) {
    ++found->ReferenceCount;
    *out = found;
    OSPrimSyncReleaseSpinlockObject(&g_Zek.SharedResourceLock);
    OSPrimSyncDestroySpinlockObject(&fresh->Lock);
    OSPrimMemFree(fresh);
    return ZEK_STATUS_PASS;
  }
  // A slot freed by a board that has gone is used again; a full table
  // refuses the board rather than writing past its end.
  std::uint32_t slot = *count;
  for (std::uint32_t i = 0; i < *count; ++i) {
    if (table[i] == nullptr) {
      slot = i;
      break;
    }
  }
  if (slot >= ZEK_BOARD_TABLE_SLOTS) {
    OSPrimSyncReleaseSpinlockObject(&g_Zek.SharedResourceLock);
    ZEK_LOG_FAILURE("%s: no room for board 0x%x: %u boards already\n", __func__, board_key, ZEK_BOARD_TABLE_SLOTS);
    OSPrimSyncDestroySpinlockObject(&fresh->Lock);
    OSPrimMemFree(fresh);
    return MIFH_STATUS_FAIL;
  }
  table[slot] = fresh;
  if (slot == *count) ++*count;
  *out = fresh;
  OSPrimSyncReleaseSpinlockObject(&g_Zek.SharedResourceLock);
  return ZEK_STATUS_PASS;
}

// Drops one reference; the last one takes the object out of its table and
// returns it for the caller to free (outside the lock), else null.
template <typename T>
T* drop(T** table, std::uint32_t count, T* object) {
  if (object == nullptr) return nullptr;
  OSPrimSyncAcquireSpinlockObject(&g_Zek.SharedResourceLock);
  T* last = nullptr;
  if (object->ReferenceCount > 0 && --object->ReferenceCount == 0) {
    for (std::uint32_t i = 0; i < count; ++i) {
      if (table[i] == object) table[i] = nullptr;
    }
    last = object;
  }
  OSPrimSyncReleaseSpinlockObject(&g_Zek.SharedResourceLock);
  return last;
}

template <typename T>
void free_object(T* object) {
  if (object == nullptr) return;
  OSPrimSyncDestroySpinlockObject(&object->Lock);
  OSPrimMemFree(object);
}

MifhDeviceObj* device_of(ZEK_ADAPTER* adapter) { return &adapter->HwInfo->Device; }

bool bad_device(const MifhDeviceObj* device, const char* routine) {
  if (ZekIsBadPointer(device)) {
    ZEK_LOG_FAILURE("%s: pBaseDeviceObj is not valid (0x%p)\n", routine, static_cast<const void*>(device));
    return true;
  }
  return false;
}

}  // namespace

// ---- NIC_HW_INFO -------------------------------------------------------------------------------------
NIC_HW_INFO* ZekAllocateHwInfo() {
  void* memory = nullptr;
  if (OSPrimMemAllocate(&memory, sizeof(NIC_HW_INFO)) != ZEK_STATUS_PASS || memory == nullptr) {
    ZEK_LOG_FAILURE("Func[%s]: OSPrimMemAllocate() returned error (0x%x)\n", __func__, 1u);
    return nullptr;
  }
  auto* info = static_cast<NIC_HW_INFO*>(memory);
  info->Signature = NIC_HW_INFO_SIGNATURE;
  info->Version = NIC_HW_INFO_VERSION;
  BaseDeviceObj& base = info->Base;
  base.Signature = MIFH_BASE_SIGNATURE;
  base.Version = MIFH_BASE_VERSION;
  base.Ceq0 = &info->Ceq0;
  base.Ceq1 = &info->Ceq1;
  base.Ceq2 = &info->Ceq2;
  base.Aeq = &info->Aeq;
  base.Cqp = &info->Cqp;
  base.Ccq = &info->Ccq;
  base.Pd = &info->Pd;
  base.Device = &info->Device;
  return info;
}

void ZekFreeHwInfo(NIC_HW_INFO* info) {
  if (info == nullptr) return;
  mifh_dev_object_free(&info->Device);
  info->Signature = 0;
  info->Version = 0;
  info->Base.Signature = 0;
  OSPrimMemFree(info);
}

// ---- Device object -------------------------------------------------------------------------------------
ZekStatus mifh_dev_object_init(MifhDeviceObj* device, std::uint32_t bits8to15, std::uint32_t bits3to7,
                               std::uint32_t chip_revision, std::uint32_t pci_function, void* register_window,
                               void* second_window, std::uint32_t second_window_length, std::uint64_t second_window_pa,
                               MifhLockRoutine acquire, MifhLockRoutine release) {
  if (bad_device(device, "mifh_dev_object_init")) return MIFH_STATUS_FAIL;
  device->Initialised = 1;
  if (pci_function >= 8) {
    ZEK_LOG_FAILURE("mifh_dev_object_init: invalid PciFunc number (0x%x)\n", pci_function);
    return kStatusBadFunction;
  }
  if (device->IndexRegLock.Signature == ZEK_SIG_SPINLOCK) {
    ZEK_LOG_FAILURE("mifh_dev_object_init: InitSpinLock failed for indexRegSpinlock\n");
    return MIFH_STATUS_FAIL;
  }
  device->GuardStart = MIFH_DEVICE_GUARD;
  device->GuardEnd = MIFH_DEVICE_GUARD;
  device->Zero = 0;
  device->PciFunction = pci_function;
  device->FunctionRegisterBits8to15 = bits8to15;
  device->FunctionRegisterBits3to7 = bits3to7;
  device->ChipRevision = chip_revision;
  device->RegisterWindow = static_cast<volatile std::uint8_t*>(register_window);
  device->DoorbellWindow = static_cast<volatile std::uint8_t*>(second_window);
  device->DoorbellWindowLength = second_window_length;
  device->DoorbellWindowPa = second_window_pa;
  device->CqpAcquire = acquire;
  device->CqpRelease = release;
  device->IndexRegAcquire = nullptr;  // the device's own lock object
  device->IndexRegRelease = nullptr;
  if (OSPrimSyncInitSpinlockObject(&device->IndexRegLock) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("mifh_dev_object_init: InitSpinLock failed for indexRegSpinlock\n");
    return MIFH_STATUS_FAIL;
  }
  if (device->EepromBuffer == nullptr) {
    void* eeprom = nullptr;
    if (OSPrimMemDMAAllocate(&eeprom, kEepromBufferBytes) != ZEK_STATUS_PASS || eeprom == nullptr) {
      ZEK_LOG_FAILURE("mifh_dev_object_init: mifh_eeprom_alloc failed\n");
      return MIFH_STATUS_FAIL;
    }
    device->EepromBuffer = eeprom;
    device->EepromBufferSize = kEepromBufferBytes;
  }
  if (device->StatisticsBuffer == nullptr) {
    void* stats = nullptr;
    if (OSPrimMemAllocate(&stats, kStatisticsEntries * sizeof(std::uint32_t)) != ZEK_STATUS_PASS || stats == nullptr) {
      ZEK_LOG_FAILURE("mifh_dev_object_init: mifh_stats_alloc failed\n");
      return MIFH_STATUS_FAIL;
    }
    device->StatisticsBuffer = static_cast<std::uint32_t*>(stats);
    device->StatisticsEntries = kStatisticsEntries;
  }
  device->PerNodeStride = kPerNodeStride;
  device->InitFlags[0] = 1;
  device->InitFlags[1] = 0;
  return ZEK_STATUS_PASS;
}

void mifh_dev_object_free(MifhDeviceObj* device) {
  if (device == nullptr) return;
  if (device->EepromBuffer != nullptr) OSPrimMemDMAFree(device->EepromBuffer);
  if (device->StatisticsBuffer != nullptr) OSPrimMemFree(device->StatisticsBuffer);
  device->EepromBuffer = nullptr;
  device->EepromSection = nullptr;
  device->StatisticsBuffer = nullptr;
  if (device->IndexRegLock.Signature == ZEK_SIG_SPINLOCK) OSPrimSyncDestroySpinlockObject(&device->IndexRegLock);
  device->GuardStart = 0;
  device->GuardEnd = 0;
}

// ---- Per-board objects ------------------------------------------------------------------------------------
ZekStatus AllocateSharedTimer(ZEK_ADAPTER* adapter) {
  MifhDeviceObj* device = device_of(adapter);
  const bool jumbo = adapter->Proxy.JumboFrames != 0;
  const std::uint32_t interval = jumbo ? 100 : 55;
  ZekStatus status = find_or_create(g_ZekBoards.Timers, &g_ZekBoards.TimerCount, 0, adapter->BoardKey,
                                    sizeof(ZekSharedTimer), &adapter->SharedTimer, [&](ZekSharedTimer* timer) {
                                      OSPrimSyncInitSpinlockObject(&timer->Lock);
                                      timer->ReferenceCount = 1;
                                      timer->BoardKey = adapter->BoardKey;
                                      timer->Interval = interval;
                                      timer->Constants[0] = 1;
                                      timer->Constants[1] = 128;
                                      timer->Constants[2] = 6;
                                      timer->Constants[3] = 18;
                                    });
  if (status != ZEK_STATUS_PASS) return status;
  // Every function of the board programs the timer from the image.
  device->TimerInterval10 = interval * 10;
  mifh_write_reg(device, ZEK_REG_INTERRUPT_TIMER, interval * 10);
  device->TimerCleared = 0;
  const std::uint32_t control = mifh_read_reg(device, ZEK_REG_TIMER_CONTROL);
  std::uint8_t* image = adapter->HwInfo->SharedTimerImage;
  static constexpr std::uint8_t kImageBits[] = {0, 2, 3, 13, 14, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27};
  std::memset(image, 0, sizeof adapter->HwInfo->SharedTimerImage);
  for (std::size_t i = 0; i < sizeof kImageBits; ++i) image[i] = (control >> kImageBits[i]) & 1;
  image[1] = 1;  // bit 2: the timer runs
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < sizeof kImageBits; ++i)
    value |= static_cast<std::uint32_t>(image[i] & 1) << kImageBits[i];
  mifh_write_reg(device, ZEK_REG_TIMER_CONTROL, value);
  return ZEK_STATUS_PASS;
}

ZekStatus CardTablesAlloc(ZEK_ADAPTER* adapter) {
  MifhDeviceObj* device = device_of(adapter);
  const std::uint32_t arp_limit = device->ArpEntryCount;
  const std::uint32_t ip_limit = device->IpEntryCount;
  if (arp_limit == 0 || ip_limit == 0) {
    ZEK_LOG_FAILURE("CardTablesAlloc: no ARP (%u) or IP (%u) entries\n", arp_limit, ip_limit);
    return MIFH_STATUS_FAIL;
  }
  const std::uint32_t arp = arp_limit > ZEK_MIN_ARP_ENTRIES ? arp_limit : ZEK_MIN_ARP_ENTRIES;
  const std::uint32_t ip = ZEK_IP_ENTRIES;
  const std::uint32_t bytes =
      static_cast<std::uint32_t>(sizeof(CardTables) + arp * sizeof(ZekArpEntry) + ip * sizeof(ZekIpEntry));
  ZekStatus status = find_or_create(g_ZekBoards.Tables, &g_ZekBoards.TablesCount, ZEK_CARD_TABLES_SIGNATURE,
                                    adapter->BoardKey, bytes, &adapter->Tables, [&](CardTables* tables) {
                                      OSPrimSyncInitSpinlockObject(&tables->Lock);
                                      tables->Signature = ZEK_CARD_TABLES_SIGNATURE;
                                      tables->ByteSize = bytes;
                                      tables->ReferenceCount = 1;
                                      tables->BoardKey = adapter->BoardKey;
                                      tables->ArpEntries = arp;
                                      tables->IpEntries = ip;
                                      tables->Flag = 0;
                                      tables->Arp = reinterpret_cast<ZekArpEntry*>(tables + 1);
                                      tables->Ip = reinterpret_cast<ZekIpEntry*>(tables->Arp + arp);
                                    });
  if (status == ZEK_STATUS_PASS) adapter->HwInfo->CardTables = adapter->Tables;
  return status;
}

ZekStatus AllocateMdioSharedLock(ZEK_ADAPTER* adapter) {
  ZekStatus status = find_or_create(g_ZekBoards.MdioLocks, &g_ZekBoards.MdioCount, ZEK_MDIO_LOCK_SIGNATURE,
                                    adapter->BoardKey, sizeof(ZekMdioLock), &adapter->MdioLock, [&](ZekMdioLock* lock) {
                                      lock->Signature = ZEK_MDIO_LOCK_SIGNATURE;
                                      lock->ReferenceCount = 1;
                                      lock->BoardKey = adapter->BoardKey;
                                      OSPrimSyncInitSpinlockObject(&lock->Lock);
                                    });
  if (status == ZEK_STATUS_PASS) device_of(adapter)->MdioLock = &adapter->MdioLock->Lock;
  return status;
}

ZekStatus AllocateSharedLinkLock(ZEK_ADAPTER* adapter) {
  ZekStatus status = find_or_create(g_ZekBoards.LinkLocks, &g_ZekBoards.LinkCount, ZEK_LINK_LOCK_SIGNATURE,
                                    adapter->BoardKey, sizeof(ZekLinkLock), &adapter->LinkLock, [&](ZekLinkLock* lock) {
                                      lock->Signature = ZEK_LINK_LOCK_SIGNATURE;
                                      lock->ReferenceCount = 1;
                                      lock->BoardKey = adapter->BoardKey;
                                      OSPrimSyncInitSpinlockObject(&lock->Lock);
                                    });
  if (status == ZEK_STATUS_PASS) device_of(adapter)->PhyLock = &adapter->LinkLock->Lock;
  return status;
}

ZekStatus AllocateMulticastResources(ZEK_ADAPTER* adapter) {
  const std::uint32_t ports = ((mifh_read_reg(device_of(adapter), ZEK_REG_GLOBAL_CONTROL) >> 8) & 3) + 1;
  return find_or_create(g_ZekBoards.Multicast, &g_ZekBoards.MulticastCount, ZEK_MULTICAST_SIGNATURE, adapter->BoardKey,
                        sizeof(ZekMulticastResources), &adapter->Multicast, [&](ZekMulticastResources* multicast) {
                          multicast->Signature = ZEK_MULTICAST_SIGNATURE;
                          multicast->ReferenceCount = 1;
                          multicast->BoardKey = adapter->BoardKey;
                          multicast->PortCount = ports;
                          OSPrimSyncInitSpinlockObject(&multicast->Lock);
                        });
}

ZekStatus AllocateScratchPadResources(ZEK_ADAPTER* adapter) {
  ZekStatus status = find_or_create(g_ZekBoards.Scratchpads, &g_ZekBoards.ScratchpadCount, MIFH_SCRATCHPAD_SIGNATURE,
                                    adapter->BoardKey, sizeof(HwScratchpadObj), &adapter->Scratchpad,
                                    [&](HwScratchpadObj* scratchpad) {
                                      scratchpad->Signature = MIFH_SCRATCHPAD_SIGNATURE;
                                      scratchpad->ReferenceCount = 1;
                                      scratchpad->BoardKey = adapter->BoardKey;
                                      OSPrimSyncInitSpinlockObject(&scratchpad->Lock);
                                    });
  if (status == ZEK_STATUS_PASS) device_of(adapter)->Scratchpad = adapter->Scratchpad;
  return status;
}

ZekStatus ZekAllocateBoardObjects(ZEK_ADAPTER* adapter) {
  ZekStatus (*const steps[])(ZEK_ADAPTER*) = {AllocateSharedTimer,        CardTablesAlloc,
                                              AllocateMdioSharedLock,     AllocateSharedLinkLock,
                                              AllocateMulticastResources, AllocateScratchPadResources};
  for (auto step : steps) {
    const ZekStatus status = step(adapter);
    if (status != ZEK_STATUS_PASS) return status;
  }
  return ZEK_STATUS_PASS;
}

void ZekReleaseBoardObjects(ZEK_ADAPTER* adapter) {
  MifhDeviceObj* device = adapter->HwInfo != nullptr ? device_of(adapter) : nullptr;
  free_object(drop(g_ZekBoards.Timers, g_ZekBoards.TimerCount, adapter->SharedTimer));
  adapter->SharedTimer = nullptr;
  free_object(drop(g_ZekBoards.Tables, g_ZekBoards.TablesCount, adapter->Tables));
  adapter->Tables = nullptr;
  if (adapter->HwInfo != nullptr) adapter->HwInfo->CardTables = nullptr;
  free_object(drop(g_ZekBoards.LinkLocks, g_ZekBoards.LinkCount, adapter->LinkLock));
  adapter->LinkLock = nullptr;
  free_object(drop(g_ZekBoards.MdioLocks, g_ZekBoards.MdioCount, adapter->MdioLock));
  adapter->MdioLock = nullptr;
  free_object(drop(g_ZekBoards.Multicast, g_ZekBoards.MulticastCount, adapter->Multicast));
  adapter->Multicast = nullptr;
  free_object(drop(g_ZekBoards.Scratchpads, g_ZekBoards.ScratchpadCount, adapter->Scratchpad));
  adapter->Scratchpad = nullptr;
  if (device != nullptr) {
    device->MdioLock = nullptr;
    device->PhyLock = nullptr;
    device->Scratchpad = nullptr;
  }
}

// ---- Scratchpad registers ---------------------------------------------------------------------------
ZekStatus mifh_get_hw_scratchpad_index(MifhDeviceObj* device, std::uint32_t index, std::uint32_t* value) {
  if (bad_device(device, __func__) || value == nullptr) return MIFH_STATUS_FAIL;
  return mifh_read_indexed(device, kScratchpadIndexBase + 8 * index, value);
}

ZekStatus mifh_set_hw_scratchpad_index(MifhDeviceObj* device, std::uint32_t index, std::uint32_t value) {
  if (bad_device(device, __func__)) return MIFH_STATUS_FAIL;
  return mifh_write_indexed(device, kScratchpadIndexBase + 8 * index, value);
}
