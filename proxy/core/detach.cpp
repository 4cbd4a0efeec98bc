// The adapter detach: address removal, the miniport's halt and the driver's
// unload.
#include <cstring>

#include "proxy/core/attach.h"
#include "proxy/core/attach_internal.h"
#include "proxy/core/zpx.h"
#include "proxy/rdma/hw/config.h"
#include "proxy/rdma/hw/eq.h"
#include "proxy/rdma/hw/mcrq.h"
#include "proxy/rdma/hw/status.h"
#include "proxy/rdma/verbs/verbs.h"

namespace {

ProxyAdapterInfo* attached_info(const NicProxyInterface* record) {
  if (record == nullptr) return nullptr;
  for (ZpxAdapterSlot& slot : g_ZpxAdapterSlots) {
    if (slot.Record.load() == record) return slot.Info;
  }
  return nullptr;
}

// ZpxCommonRemoveDeviceCallback: the record's event slots closed first, the
// bottom half shut out and waited for, then the undo.
void remove_device(ProxyAdapterInfo* info) {
  ZpxWithdrawAttach(info);
  ZpxUndoAttach(info, false);
}

}  // namespace

void ZpxWithdrawAttach(ProxyAdapterInfo* info) {
  NicProxyInterface* record = info->Record;
  __atomic_store_n(&record->ProxyAttached, 0, __ATOMIC_RELEASE);
  __atomic_store_n(&record->BottomHalfSlot, nullptr, __ATOMIC_RELEASE);
  __atomic_store_n(&record->AsyncEventSlot, nullptr, __ATOMIC_RELEASE);
  __atomic_store_n(&record->CqpRefillSlot, nullptr, __ATOMIC_RELEASE);
  ZpxAdapterSlot& slot = g_ZpxAdapterSlots[info->AdapterIndex];
  slot.Record.store(nullptr);
  ZpxDetachGuardCloseAndWait(&slot.Guard);
}

void ZpxUndoAttach(ProxyAdapterInfo* info, bool adapter_gone) {
  ProxyHwAdapterInfo* hw = info->Hw;
  // No connection moves onto the adapter any more.
  ZpxOffloadAttach(info, false);
  // Verbs adapters still open on it go first: they name its stack
  // interface and its managers.
  if (hw != nullptr && hw->Device != nullptr) ZekDetachAdaptersOf(hw->Device);
  // Then the stack's interface: nothing is sent through the queues once
  // they are being taken down.
  ZpxFreeTcpBuffer(info, adapter_gone);
  // Then the adapter's multicast receive queue (from the adapter too while
  // it is there).
  if (info->AdapterIndex < ZPX_MAX_ADAPTERS)
    ZEK_k_mcrq_detach_adapter(info->AdapterIndex, hw != nullptr && !adapter_gone);
  if (hw != nullptr && adapter_gone) {
    if (hw->NicQp != nullptr || hw->Managers.Gim != nullptr) {
      ZEK_LOG_FAILURE(
          "ZpxCommonRemoveDeviceCallback(): the adapter is gone: its NIC queues, receive buffers and managers stay "
          "allocated\n");
    }
  } else if (hw != nullptr) {
    MifhDeviceObj* device = hw->Device;
    if (hw->NicQp != nullptr) {
      const std::uint32_t slot = device->PciFunction + ZPX_MAC_SLOT_OFFSET;
      if (mifh_hw_clear_zek_nic(device, slot) != MIFH_STATUS_SUCCESS) {
        ZEK_LOG_FAILURE("mifh_hw_init_zek_nic: mifh_write_mac_address failed\n");
      }
      mifh_enable_multicast_all(device, slot, 0);  // the attach's, for the host stack
      // What the driver's event queue still names goes unprocessed.
      if (!ZekIsBadPointer(hw->Base) && !ZekIsBadPointer(hw->Base->Ceq1)) {
        while (mifh_nic_process_next_ceq(device, hw->Base->Ceq1) != nullptr) {
        }
      }
      // The queues first, then the buffers they wrote into.
      if (ZpxDestroyNicQueues(info, hw->NicQp, hw->NicCq, &hw->Rx) == MIFH_STATUS_SUCCESS) {
        hw->NicQp = nullptr;
        hw->NicCq = nullptr;
      }
    }
    const ZpxManagerTables tables{g_ZpxGimTable, g_ZpxGlmiTable, g_ZpxGromitTable, g_ZpxLrmTable, g_ZpxMrteTable};
    ZpxCleanupAdapterManagers(&tables, &hw->Managers);
    ZekRmWithdrawHardwareInfo(device);
  }
  if (info->AdapterIndex < ZPX_MAX_ADAPTERS) ZpxFreeAdapterSlot(info->AdapterIndex);
  ZekRemoveEntryList(&g_ZpxAddedAdapters, &info->Links);
  info->Signature = 0;
  if (hw != nullptr) OSPrimMemFree(hw);
  OSPrimMemFree(info);
}

ZekStatus ProxyRemoveNic(NicProxyInterface* record) {
  ZpxAcquireDetachLock();
  ProxyAdapterInfo* info = attached_info(record);
  if (info == nullptr) {
    ZpxReleaseDetachLock();
    return ZEK_STATUS_FAIL;
  }
  const std::uint32_t index = info->AdapterIndex;
  remove_device(info);
  OSPrimMemoryLogging("ProxyRemoveNic: adapter %u detached\n", index);
  record->Adapter = nullptr;
  __atomic_store_n(&record->DetachSlot, nullptr, __ATOMIC_RELEASE);
  __atomic_store_n(&record->UploadSlot, nullptr, __ATOMIC_RELEASE);
  __atomic_store_n(&record->AttachProgress, 0, __ATOMIC_RELEASE);
  record->ProxyAdapterInfo = nullptr;
  record->ProxyAdapterInfo2 = nullptr;
  __atomic_store_n(&record->u32ProxySignature, 0, __ATOMIC_RELEASE);
  __atomic_store_n(&record->ProxyDetached, 1, __ATOMIC_RELEASE);
  ZpxReleaseDetachLock();
  return ZEK_STATUS_PASS;
}

void ProxyRemoveNicCallback(NicProxyInterface* record) {
  if (record == nullptr) return;
  const std::uint32_t key = record->AddressKey;
  ProxyDisableInterface(record);
  ProxyRemoveNic(record);
  ZpxDropAddressEntry(key);
}

void ZpxRemoveAllNics() {
  for (ZpxAdapterSlot& slot : g_ZpxAdapterSlots) {
    if (NicProxyInterface* record = slot.Record.load()) {
      ProxyDisableInterface(record);
      ProxyRemoveNic(record);
    }
  }
}
