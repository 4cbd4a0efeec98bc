// The adapter attach: ProxyAddNic and ZpxInitThread, and the routine slots
// the miniport calls afterwards.
#include "proxy/core/attach.h"

#include <atomic>
#include <cstring>

#include "include/hw/nic.h"
#include "include/hw/registers.h"
#include "platform/kernel/ex.h"
#include "proxy/core/adapter_steps.h"
#include "proxy/core/async_events.h"
#include "proxy/core/attach_internal.h"
#include "proxy/core/bottom_half.h"
#include "proxy/core/zpx.h"
#include "proxy/rdma/hw/config.h"
#include "proxy/rdma/hw/control_qp.h"
#include "proxy/rdma/hw/cq.h"
#include "proxy/rdma/hw/mcrq.h"
#include "proxy/rdma/hw/nic_qp.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/hw/status.h"

ZpxAttachStep g_ZpxAttachFault = ZPX_ATTACH_NONE;
ZpxAdapterSlot g_ZpxAdapterSlots[ZPX_MAX_ADAPTERS];

namespace {

// A kernel mutex, not a fast mutex: its holder stays at PASSIVE_LEVEL, and
// an attach starts (and a detach joins) the adapter's DHCP client thread.
KMUTEX g_detach_lock;
std::atomic<bool> g_detach_lock_ready{false};
OSPrimSpinlockObject g_slot_lock;
std::atomic<bool> g_slot_lock_ready{false};

std::atomic<ZpxReceiveHook> g_hook{nullptr};
std::atomic<void*> g_hook_context{nullptr};

bool fault_at(ZpxAttachStep step) { return g_ZpxAttachFault == step; }

// The driver-wide locks come into being on first use; the first attach runs
// at PASSIVE_LEVEL on a TDI delivery, which are one at a time.
void init_locks() {
  if (!g_slot_lock_ready.exchange(true)) OSPrimSyncInitSpinlockObject(&g_slot_lock);
  if (!g_detach_lock_ready.exchange(true)) KeInitializeMutex(&g_detach_lock, 0);
}

ZekStatus take_slot(std::uint32_t* index) {
  ZekStatus status = ZEK_STATUS_FAIL;
  OSPrimSyncAcquireSpinlockObject(&g_slot_lock);
  for (std::uint32_t i = 0; i < ZPX_MAX_ADAPTERS; ++i) {
    if (g_ZpxAdapterSlots[i].Used) continue;
    g_ZpxAdapterSlots[i].Used = 1;
    *index = i;
    status = ZEK_STATUS_PASS;
    break;
  }
  OSPrimSyncReleaseSpinlockObject(&g_slot_lock);
  return status;
}

ZpxManagerTables manager_tables() {
  return ZpxManagerTables{g_ZpxGimTable, g_ZpxGlmiTable, g_ZpxGromitTable, g_ZpxLrmTable, g_ZpxMrteTable};
}

// The adapter's NIC step of the bottom half.
void nic_step(void* context, MifhCqObject* cq) {
  auto* info = static_cast<ProxyAdapterInfo*>(context);
  ProxyHwAdapterInfo* hw = info->Hw;
  if (McrqiCompletionCallback(cq)) return;  // the multicast receive queue's
  if (cq != hw->NicCq) {
    ZEK_LOG_FAILURE("ZEK_common_bh_routine(): pCqObj is invalid(0x%p)\n", static_cast<void*>(cq));
    return;
  }
  ZpxReceiveHook hook = g_hook.load();
  void* hook_context = g_hook_context.load();
  const bool stack_route = hook == nullptr;
  if (stack_route) ZpxStackReceiveRoute(info, &hook, &hook_context);
  const bool pass_locked = stack_route && hook != nullptr;
  const std::uint64_t sent = hw->Counters.Sent;
  if (pass_locked) ZpxStackReceivePass(true);
  ZpxProcessNicCQ(hw->Device, cq, hw->NicQp, &hw->Rx, hook, hook_context, &hw->Counters);
  if (pass_locked) ZpxStackReceivePass(false);
  if (hw->Counters.Sent != sent) ZpxStackTransmitDone(info);
}

void queue_aeq(MifhDeviceObj* device, const ZekAsyncEvent* event) { ZpxQueueAEQ(device, event); }
void upload_slot(void* qp) { ZpxUploadNicContextCallback(static_cast<MifhQpObject*>(qp)); }

ZekStatus write_indexed_step(ZpxAttachStep step, MifhDeviceObj* device, std::uint32_t index, std::uint32_t value) {
  if (fault_at(step)) return MIFH_STATUS_FAIL;
  return mifh_write_indexed(device, index, value);
}

}  // namespace

// ---- Locks and slots ------------------------------------------------------------------------------------
void ZpxAcquireDetachLock() {
  init_locks();
  KeWaitForSingleObject(&g_detach_lock, Executive, KernelMode, FALSE, nullptr);
}
void ZpxReleaseDetachLock() { KeReleaseMutex(&g_detach_lock, FALSE); }

void ZpxFreeAdapterSlot(std::uint32_t index) {
  if (index >= ZPX_MAX_ADAPTERS) return;
  OSPrimSyncAcquireSpinlockObject(&g_slot_lock);
  g_ZpxAdapterSlots[index].Record.store(nullptr);
  g_ZpxAdapterSlots[index].Used = 0;
  g_ZpxAdapterSlots[index].Info = nullptr;
  OSPrimSyncReleaseSpinlockObject(&g_slot_lock);
}

void ZpxSetReceiveHook(ZpxReceiveHook hook, void* context) {
  g_hook_context.store(context);
  g_hook.store(hook);
}

bool ZpxRecordAttached(const NicProxyInterface* record) {
  if (record == nullptr) return false;
  for (const ZpxAdapterSlot& slot : g_ZpxAdapterSlots) {
    if (slot.Record.load() == record) return true;
  }
  return false;
}

// ---- The slots --------------------------------------------------------------------------------------------
void ZEK_common_bh_routine(NicProxyInterface* record, std::uint32_t) {
  if (record == nullptr) {
    OSPrimDebugPrint("Func[%s,%d] pNicProxy is null \n", __func__, __LINE__);
    return;
  }
  if (record->u32ProxySignature != ZPX_CUSTOM_OID_RESPONSE) {
    OSPrimDebugPrint("Func[%s,%d] u32ProxySignature != ZPX_CUSTOM_OID_RESPONSE \n", __func__, __LINE__);
    return;
  }
  // The adapter is found through the driver's own slots, which outlive
  // every adapter: a detach that took it out of its slot has shut the
  // bottom half out before it frees anything.
  for (ZpxAdapterSlot& slot : g_ZpxAdapterSlots) {
    if (slot.Record.load() != record) continue;
    if (!ZpxDetachGuardEnter(&slot.Guard)) return;
    ProxyAdapterInfo* info = slot.Record.load() == record ? slot.Info : nullptr;
    if (info == nullptr || info->Signature != ZPX_ADAPTER_INFO_SIGNATURE) {
      OSPrimDebugPrint("Func[%s,%d] pAdapterInfo signature mismatch \n", __func__, __LINE__);
    } else if (info->Size != sizeof(ProxyAdapterInfo)) {
      OSPrimDebugPrint("Func[%s,%d] pAdapterInfo size mismatch \n", __func__, __LINE__);
    } else {
      ProxyHwAdapterInfo* hw = info->Hw;
      const ZpxBottomHalfRoutines routines{nic_step, nullptr, info};
      bool yielded = false;
      ZpxBottomHalfCeqPass(hw->Device, hw->Base->Ceq1, hw->Device->Cqp, &routines, &yielded);
    }
    ZpxDetachGuardLeave(&slot.Guard);
    return;
  }
}

void ZpxFreeCQPPendQBufferCallback(MifhCqpObject* cqp) {
  if (!ZekIsBadPointer(cqp)) mifh_free_CQPPendQ_buffer(cqp);
}

// ---- Attach ----------------------------------------------------------------------------------------------
ZekStatus ZpxPublishHardwareInfo(MifhDeviceObj* device) {
  MifhHwSizes sizes{};
  if (mifh_query_hw_sizes(device, &sizes) != MIFH_STATUS_SUCCESS) return ZEK_STATUS_FAIL;
  ZekRmHardwareInfo info{};
  info.Count[ZEK_RES_QP] = sizes.Size2B0 + 1;
  info.First[ZEK_RES_QP] = zekhw::kIwarpQpFirst;
  info.Count[ZEK_RES_CQ] = sizes.Size278 + 1;
  info.First[ZEK_RES_CQ] = zekhw::kIwarpQpFirst;
  info.Count[ZEK_RES_MR] = sizes.Size218;
  info.Count[ZEK_RES_PD] = sizes.Size258;
  info.First[ZEK_RES_PD] = ZPX_FIRST_KERNEL_PD;
  info.Count[ZEK_RES_USERPD] = device->PdCount;
  info.First[ZEK_RES_USERPD] = device->FirstPdId;
  info.Count[ZEK_RES_IRD] = sizes.Size260;
  info.PciFunctions = ZPX_BOARD_FUNCTIONS;
  info.Pbl4kChunks = sizes.Size280Low;
  info.Pbl256Chunks = sizes.Size280High;
  info.ArpTableSize = device->ArpEntryCount;
  return ZekRmPublishHardwareInfo(device, &info);
}

// ---- Attach (the steps)
// -------------------------------------------------------------------------------------------------
ZekStatus ZpxInitThread(ProxyAdapterInfo* info) {
  if (ZekIsBadPointer(info) || ZekIsBadPointer(info->Hw)) {
    ZEK_LOG_FAILURE("Func[%s] Line[%d] \n", __func__, __LINE__);
    return ZEK_STATUS_FAIL;
  }
  ProxyHwAdapterInfo* hw = info->Hw;
  MifhDeviceObj* device = hw->Device;
  const std::uint32_t f = device->PciFunction;

  // 1. The NIC queues on the shared control queue pair.
  ZekStatus status =
      fault_at(ZPX_ATTACH_NIC_QUEUES) ? MIFH_STATUS_FAIL : Zek_Init_k_zeknic(info, hw->HwInfo, &hw->NicQp, &hw->NicCq);
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("ZpxCommonAddDeviceCallback: KZekNicInitialize() returned error (0x%x)\n", status);
    hw->NicQp = nullptr;
    hw->NicCq = nullptr;
    return ZEK_STATUS_FAIL;
  }
  // 2. The driver's MAC address in its slot.
  status = fault_at(ZPX_ATTACH_MAC_SLOT) ? MIFH_STATUS_FAIL
                                         : mifh_hw_init_zek_nic(device, info->SanMac, f + ZPX_MAC_SLOT_OFFSET);
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("ZpxCommonAddDeviceCallback:mifh_hw_init_zek_nic returned error(0x%x)\n", status);
    return ZEK_STATUS_FAIL;
  }
  // The slot takes every multicast frame: the host stack's group joins
  // never reach the adapter's filter, so its IP input (which keeps only the
  // groups the interface is a member of) sees every group frame and picks.
  status =
      fault_at(ZPX_ATTACH_MAC_SLOT) ? MIFH_STATUS_FAIL : mifh_enable_multicast_all(device, f + ZPX_MAC_SLOT_OFFSET, 1);
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("ZpxCommonAddDeviceCallback:mifh_enable_multicast_all returned error(0x%x)\n", status);
    return ZEK_STATUS_FAIL;
  }
  // 3. The receive buffers.
  if (fault_at(ZPX_ATTACH_RX_BUFFERS)) {
    status = MIFH_STATUS_FAIL;
  } else {
    status = ZpxInitializeNicRQ(hw->NicQp, &hw->Rx);
  }
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("ZpxCommonAddDeviceCallback: ZpxInitializeNicRQ() returned error (0x%x)\n", status);
    return ZEK_STATUS_FAIL;
  }
  // 4. TCP offload.
  status = write_indexed_step(ZPX_ATTACH_TOE, device, zekhw::kIdxToeEnable, ZPX_TOE_ENABLE_VALUE);
  if (status == MIFH_STATUS_SUCCESS) status = mifh_write_indexed(device, zekhw::kIdxToeControl, ZPX_TOE_CONTROL_VALUE);
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("mifh_toe_hw_init: pBaseDeviceObj is not valid (0x%p)\n", static_cast<void*>(device));
    return ZEK_STATUS_FAIL;
  }
  // 5. The host stack's interface.
  if (ZpxCommonTcpInitAtAddDeviceTime(info, info->SanMac) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("ZpxCommonAddDeviceCallback: ZpxCommonTcpInitAtAddDeviceTime() returned error (0x%x)\n",
                    ZEK_STATUS_FAIL);
    return ZEK_STATUS_FAIL;
  }
  // 6. iWARP.
  const std::uint32_t knobs = std::uint32_t{device->IwarpKnobs[0]} | std::uint32_t{device->IwarpKnobs[1]} << 8;
  status = write_indexed_step(ZPX_ATTACH_IWARP, device, zekhw::kIdxIwarpEnable, knobs);
  if (status == MIFH_STATUS_SUCCESS) {
    status = mifh_write_indexed(device, zekhw::kIdxIwarpControl, device->IwarpKnobs[2] & zekhw::kIwarpControlMask);
  }
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("ZpxCommonAddDeviceCallback: mifh_iwarp_hw_init() returned error (0x%x)\n", status);
    return ZEK_STATUS_FAIL;
  }
  info->IwarpEnabled = 1;
  return ZEK_STATUS_PASS;
}

ZekStatus ProxyAddNic(NicProxyInterface* record) {
  if (ZekIsBadPointer(record)) return ZEK_STATUS_FAIL;
  init_locks();
  ZpxAcquireDetachLock();
  __atomic_store_n(&record->ProxyAttached, 0, __ATOMIC_RELEASE);
  record->ProxyAdapterInfo = nullptr;

  // 1. The two blocks.
  void* block = nullptr;
  ProxyAdapterInfo* info = nullptr;
  ZekStatus status = ZEK_STATUS_FAIL;
  if (!fault_at(ZPX_ATTACH_ALLOCATE) && OSPrimMemAllocate(&block, sizeof(ProxyAdapterInfo)) == ZEK_STATUS_PASS) {
    info = static_cast<ProxyAdapterInfo*>(block);
    std::memset(info, 0, sizeof *info);
    info->AdapterIndex = ZPX_MAX_ADAPTERS;
    block = nullptr;
    if (OSPrimMemAllocate(&block, sizeof(ProxyHwAdapterInfo)) == ZEK_STATUS_PASS) {
      info->Hw = static_cast<ProxyHwAdapterInfo*>(block);
      std::memset(info->Hw, 0, sizeof *info->Hw);
      status = ZEK_STATUS_PASS;
    } else {
      ZEK_LOG_FAILURE("func[%s,%d]: Couldn't allocate memory for Hw Adapter Info\n", __func__, __LINE__);
    }
  } else {
    ZEK_LOG_FAILURE("func[%s,%d]: Couldn't allocate memory for Adapter Info\n", __func__, __LINE__);
  }
  if (info != nullptr) ZekInsertTailList(&g_ZpxAddedAdapters, &info->Links);

  // 2. The slot.
  if (status == ZEK_STATUS_PASS) {
    status = fault_at(ZPX_ATTACH_SLOT) ? ZEK_STATUS_FAIL : take_slot(&info->AdapterIndex);
    if (status != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("func[%s,%d]: all %u adapter slots are taken\n", __func__, __LINE__, ZPX_MAX_ADAPTERS);
    }
  }

  // 3-4. The record's objects.
  MifhDeviceObj* device = record->Device;
  if (status == ZEK_STATUS_PASS) {
    info->Signature = ZPX_ADAPTER_INFO_SIGNATURE;
    info->Size = sizeof(ProxyAdapterInfo);
    info->Port = record->Port;
    if (fault_at(ZPX_ATTACH_DEVICE) || !MifhDeviceGuardsIntact(device) || ZekIsBadPointer(record->HwInfo)) {
      ZEK_LOG_FAILURE("func[%s,%d]: pBaseDeviceObj is not valid (0x%p)\n", __func__, __LINE__,
                      static_cast<void*>(device));
      status = ZEK_STATUS_FAIL;
    }
  }
  if (status == ZEK_STATUS_PASS) {
    device->ChipRevision = record->ChipRevision;
    record->BottomHalfSlot = nullptr;
    record->AsyncEventSlot = nullptr;
    record->CqpRefillSlot = nullptr;
    record->UploadSlot = nullptr;
    ProxyHwAdapterInfo* hw = info->Hw;
    hw->Base = record->Base;
    hw->ChipRevision = record->ChipRevision;
    hw->HwInfo = record->HwInfo;
    hw->Device = device;
    info->Progress = ZPX_ADAPTER_BUILDING;
    std::memcpy(info->SanMac, record->SanMacAddress, sizeof info->SanMac);
    std::memcpy(info->BaseMac, record->BaseMacAddress, sizeof info->BaseMac);
    // 5. The user doorbell pages.
    status = fault_at(ZPX_ATTACH_USER_ACCESS) ? MIFH_STATUS_FAIL : mifh_usermode_access_init(device);
    if (status != MIFH_STATUS_SUCCESS) {
      ZEK_LOG_FAILURE("func[%s,%d] : mifh_usermode_access_init() returned error (0x%x)\n", __func__, __LINE__, status);
    }
  }
  // 6. The managers (a failure cleans up what it made).
  if (status == ZEK_STATUS_PASS) {
    const ZpxManagerTables tables = manager_tables();
    status = fault_at(ZPX_ATTACH_MANAGERS) ? ZEK_STATUS_FAIL : ZpxPublishHardwareInfo(device);
    if (status == ZEK_STATUS_PASS) {
      status = ZpxCreateAdapterManagers(&tables, device, device->PciFunction, &info->Hw->Managers);
    } else {
      ZEK_LOG_FAILURE("func[%s,%d]: GetHardwareInfo() returned error (0x%x)\n", __func__, __LINE__, status);
    }
  }
  // 7-9. The stack's interface record, then the bring-up.
  if (status == ZEK_STATUS_PASS) {
    info->Record = record;
    info->Extension = g_ZpxExtension;
    status = ZpxCommonAllocateTcpBuffer(info);
  }
  if (status == ZEK_STATUS_PASS) {
    info->Progress = ZPX_ADAPTER_BUILT;
    record->ProxyAdapterInfo = info;
    status = ZpxInitThread(info);
    if (status != ZEK_STATUS_PASS) ZEK_LOG_FAILURE("func[%s,%d] InitThread returned error\n", __func__, __LINE__);
  }
  // 10. The slots, then the record's words; the attach ends with its hold.
  if (status == ZEK_STATUS_PASS) {
    ZpxAdapterSlot& slot = g_ZpxAdapterSlots[info->AdapterIndex];
    ZpxDetachGuardInit(&slot.Guard);
    slot.Info = info;
    slot.Record.store(record);
    record->ProxyAdapterInfo2 = info;
    __atomic_store_n(&record->ProxyAttached, 1, __ATOMIC_RELEASE);
    __atomic_store_n(&record->BottomHalfSlot, &ZEK_common_bh_routine, __ATOMIC_RELEASE);
    __atomic_store_n(&record->AsyncEventSlot, &queue_aeq, __ATOMIC_RELEASE);
    __atomic_store_n(&record->CqpRefillSlot, &ZpxFreeCQPPendQBufferCallback, __ATOMIC_RELEASE);
    __atomic_store_n(&record->DetachSlot, &ProxyRemoveNicCallback, __ATOMIC_RELEASE);
    __atomic_store_n(&record->UploadSlot, &upload_slot, __ATOMIC_RELEASE);
    mifh_cq_arm(info->Hw->NicCq, false, false);
    __atomic_store_n(&record->AttachProgress, NIC_PROXY_PROGRESS_ATTACHED, __ATOMIC_RELEASE);
    __atomic_store_n(&record->u32ProxySignature, ZPX_CUSTOM_OID_RESPONSE, __ATOMIC_RELEASE);
    if (NicProxyGateCommit(&record->Gate)) {
      ZEK_k_mcrq_attach_adapter(info->AdapterIndex, info->Hw->HwInfo);
      ZpxOffloadAttach(info, true);
      OSPrimMemoryLogging("ProxyAddNic: adapter %u attached (PCI function %u)\n", info->AdapterIndex, info->Port);
      ZpxReleaseDetachLock();
      return ZEK_STATUS_PASS;
    }
    // The halt came first: its adapter's objects are not to be touched
    // beyond the record; the attach is void.
    ZEK_LOG_FAILURE("func[%s,%d]: the adapter halted during the attach\n", __func__, __LINE__);
    status = ZEK_STATUS_FAIL;
    ZpxWithdrawAttach(info);
    __atomic_store_n(&record->u32ProxySignature, 0, __ATOMIC_RELEASE);
    __atomic_store_n(&record->DetachSlot, nullptr, __ATOMIC_RELEASE);
    __atomic_store_n(&record->UploadSlot, nullptr, __ATOMIC_RELEASE);
    ZpxUndoAttach(info, /*adapter_gone=*/true);
  } else if (info != nullptr) {
    ZpxUndoAttach(info, NicProxyGateIsClosed(&record->Gate));
  }
  // Never left at 0x555555: the miniport's halt waits while it reads so.
  __atomic_store_n(&record->AttachProgress, 0, __ATOMIC_RELEASE);
  record->ProxyAdapterInfo = nullptr;
  record->ProxyAdapterInfo2 = nullptr;
  NicProxyGateLeave(&record->Gate);
  ZpxReleaseDetachLock();
  return status;
}
