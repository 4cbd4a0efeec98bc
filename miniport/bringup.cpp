// The bring-up of one PCI function (the base object and the per-board
// objects, the queue memory, the control queue pair and the queues created
// through it) and its teardown, which takes down exactly what was built.
#include "miniport/bringup.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "include/hw/cqp.h"
#include "include/hw/nic.h"
#include "include/hw/phy.h"
#include "include/hw/registers.h"
#include "miniport/datapath.h"
#include "miniport/hwobjects.h"
#include "platform/kernel/ke.h"
#include "proxy/rdma/hw/ccq.h"
#include "proxy/rdma/hw/config.h"
#include "proxy/rdma/hw/control_qp.h"
#include "proxy/rdma/hw/cq.h"
#include "proxy/rdma/hw/eq.h"
#include "proxy/rdma/hw/locks.h"
#include "proxy/rdma/hw/nic_qp.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/hw/status.h"

namespace {

// What of the function exists on the adapter (ZEK_ADAPTER::Built).
enum : std::uint32_t {
  kBuiltCqp = 1u << 0,
  kBuiltCcq = 1u << 1,
  kBuiltCeq0 = 1u << 2,
  kBuiltAeq = 1u << 3,
  kBuiltCeq1 = 1u << 4,
  kBuiltNicCq = 1u << 5,
  kBuiltNicQp = 1u << 6,
  kBuiltCqpObject = 1u << 7,  // the CQP object holds its lock block
};

constexpr std::uint32_t kBlockAlign = 4096;
constexpr std::uint32_t kArmCq = 0x20000000;

ZekBringUpStep g_fault_step = ZEK_STEP_NONE;
std::uint32_t g_fault_detail = 0;

bool injected(ZekBringUpStep step, std::uint32_t detail = 0) {
  if (g_fault_step != step || g_fault_detail != detail) return false;
  ZEK_LOG_FAILURE("bring-up: injected failure at step %u (%u)\n", step, detail);
  return true;
}

MifhDeviceObj* device_of(ZEK_ADAPTER* adapter) { return &adapter->HwInfo->Device; }
MifhQpObject* nic_qp_of(ZEK_ADAPTER* adapter) { return reinterpret_cast<MifhQpObject*>(adapter->HwInfo->NicQp); }

std::uint32_t size_code(std::uint32_t entries) {
  for (std::uint32_t code = 0; code < 4; ++code) {
    if (zekhw::kQpRingSizes[code] == entries) return code;
  }
  return 4;
}

// ---- Completion of the control requests at bring-up and teardown ----------------------------------------
// Before the interrupt path runs, the bring-up itself retires the control
// completions of its requests (at PASSIVE_LEVEL) and waits, bounded, for the
// one it needs.
struct Completion {
  MifhCqpCompletionContext context{};
  volatile LONG done = 0;
};

void completion_routine(void* argument) { InterlockedExchange(&static_cast<Completion*>(argument)->done, 1); }

void arm(Completion& c) {
  c.context = {};
  c.context.CompletionRoutine = completion_routine;
  c.context.Argument = &c;
  c.done = 0;
}

// Retires control completions until `c` has run: true when it ran without
// an error code.
bool await(ZEK_ADAPTER* adapter, Completion& c, const char* what) {
  NIC_HW_INFO* hw = adapter->HwInfo;
  for (std::uint32_t round = 0; round < MIFH_CONTROL_QUEUE_WAIT_ROUNDS; ++round) {
    ZekProcessControlCompletions(adapter);
    if (c.done != 0) {
      if (c.context.MajorCode == 0 && c.context.ErrorFlag == 0) return true;
      ZEK_LOG_FAILURE("%s: the adapter refused it (major 0x%x minor 0x%x)\n", what, c.context.MajorCode,
                      c.context.MinorCode);
      return false;
    }
    NdisMSleep(MIFH_CONTROL_QUEUE_WAIT_US);
  }
  ZEK_LOG_FAILURE("%s: no completion within %u ms\n", what, MIFH_CONTROL_QUEUE_WAIT_ROUNDS);
  mifh_cqp_forget_context(&hw->Cqp, &c.context);
  return false;
}

bool wait_status_bit(MifhDeviceObj* device, std::uint32_t bit, bool set) {
  for (std::uint32_t round = 0; round < MIFH_CONTROL_QUEUE_WAIT_ROUNDS; ++round) {
    std::uint32_t value = 0;
    mifh_read_indexed(device, zekhw::idx_queue_status(device->PciFunction), &value);
    if (((value & bit) != 0) == set) return true;
    NdisMSleep(MIFH_CONTROL_QUEUE_WAIT_US);
  }
  return false;
}

// Posts an event-queue destroy request with a completion.
ZekStatus destroy_event_queue(ZEK_ADAPTER* adapter, std::uint32_t op_word, const char* what) {
  Completion c;
  arm(c);
  zekhw::MifhCqpWqe wqe{};
  wqe.op_word = op_word;
  wqe.completion_context = reinterpret_cast<std::uint64_t>(&c.context);
  const ZekStatus status = mifh_cqp_post(&adapter->HwInfo->Cqp, &wqe, MifhPostMode::Failing, what);
  if (status != MIFH_STATUS_SUCCESS) return status;
  return await(adapter, c, what) ? MIFH_STATUS_SUCCESS : MIFH_STATUS_FAIL;
}

// ---- The queue blocks -------------------------------------------------------------------------------
bool allocate_block(ZEK_ADAPTER* adapter, ZekBlock block) {
  ZekSharedBlock& b = adapter->Blocks[block];
  const ULONG length = ZekBlockBytes(adapter, block);
  PVOID va = nullptr;
  NDIS_PHYSICAL_ADDRESS pa{};
  if (!injected(ZEK_STEP_ALLOCATE_BLOCKS, block)) {
    NdisMAllocateSharedMemory(adapter->MiniportAdapterHandle, length, FALSE, &va, &pa);
  }
  if (va == nullptr) {
    ZEK_LOG_FAILURE("AllocateSharedMemory:failed file[%s] line[%d]\n", __FILE__, __LINE__);
    return false;
  }
  std::memset(va, 0, length);
  b.Va = va;
  b.Pa = pa;
  b.Length = length;
  // The physical address is moved up to the boundary and the virtual one
  // by the same amount: both name the same byte.
  const std::uint64_t physical = static_cast<std::uint64_t>(pa.QuadPart);
  const std::uint64_t shift = ((physical + kBlockAlign - 1) & ~std::uint64_t{kBlockAlign - 1}) - physical;
  b.AlignedPa = physical + shift;
  b.Aligned = static_cast<std::uint8_t*>(va) + shift;
  return true;
}

void free_blocks(ZEK_ADAPTER* adapter) {
  for (ZekSharedBlock& b : adapter->Blocks) {
    if (b.Va != nullptr) NdisMFreeSharedMemory(adapter->MiniportAdapterHandle, b.Length, FALSE, b.Va, b.Pa);
    b = ZekSharedBlock{};
  }
}

// ---- Board registration -------------------------------------------------------------------------------
// Counts the function in the driver's table of boards: true when it is not
// the first function of its board to start. False with *full when the
// table has no room.
}  // namespace

bool ZekRegisterBoard(ZEK_ADAPTER* adapter, bool* full) {
  *full = false;
  OSPrimSyncAcquireSpinlockObject(&g_Zek.SharedResourceLock);
  int free_slot = -1;
  bool other = false;
  for (int i = 0; i < 16; ++i) {
    auto& entry = g_Zek.Boards[i];
    if (entry.Functions != 0 && entry.BoardKey == adapter->BoardKey) {
      ++entry.Functions;
      other = true;
      free_slot = -2;
      break;
    }
    if (entry.Functions == 0 && free_slot == -1) free_slot = i;
  }
  if (free_slot >= 0) {
    g_Zek.Boards[free_slot].BoardKey = adapter->BoardKey;
    g_Zek.Boards[free_slot].Functions = 1;
  } else if (free_slot == -1) {
    *full = true;
  }
  adapter->BoardRegistered = *full ? FALSE : TRUE;
  OSPrimSyncReleaseSpinlockObject(&g_Zek.SharedResourceLock);
  return other;
}

void ZekReleaseBoard(ZEK_ADAPTER* adapter) {
  if (!adapter->BoardRegistered) return;
  OSPrimSyncAcquireSpinlockObject(&g_Zek.SharedResourceLock);
  for (auto& entry : g_Zek.Boards) {
    if (entry.Functions != 0 && entry.BoardKey == adapter->BoardKey) {
      --entry.Functions;
      break;
    }
  }
  adapter->BoardRegistered = FALSE;
  OSPrimSyncReleaseSpinlockObject(&g_Zek.SharedResourceLock);
}

namespace {

// The load marker and the load count, under a driver-wide lock so that two
// functions loading at once neither both reset nor lose a count.
OSPrimBlockingObject g_marker_lock;
bool g_marker_lock_ready = false;

void load_marker(ZEK_ADAPTER* adapter, MifhDeviceObj* device) {
  if (g_marker_lock_ready) OSPrimSyncAcquireBlockingObject(&g_marker_lock);
  std::uint32_t marker = 0, loads = 0;
  mifh_get_hw_scratchpad_index(device, ZEK_SCRATCHPAD_MARKER, &marker);
  if (marker == ZEK_LOAD_MARKER) {
    mifh_get_hw_scratchpad_index(device, ZEK_SCRATCHPAD_LOADS, &loads);
    mifh_set_hw_scratchpad_index(device, ZEK_SCRATCHPAD_LOADS, loads + 1);
  } else {
    mifh_set_hw_scratchpad_index(device, ZEK_SCRATCHPAD_LOADS, 1);
    mifh_set_hw_scratchpad_index(device, ZEK_SCRATCHPAD_MARKER, ZEK_LOAD_MARKER);
    mifh_hardware_softreset(device, true);
  }
  adapter->LoadCounted = TRUE;
  if (g_marker_lock_ready) OSPrimSyncReleaseBlockingObject(&g_marker_lock);
}

// The load count drops by one at teardown, never below 0; answers the new count.
std::uint32_t unload_marker(MifhDeviceObj* device) {
  if (g_marker_lock_ready) OSPrimSyncAcquireBlockingObject(&g_marker_lock);
  std::uint32_t loads = 0;
  mifh_get_hw_scratchpad_index(device, ZEK_SCRATCHPAD_LOADS, &loads);
  if (loads != 0) mifh_set_hw_scratchpad_index(device, ZEK_SCRATCHPAD_LOADS, --loads);
  if (g_marker_lock_ready) OSPrimSyncReleaseBlockingObject(&g_marker_lock);
  return loads;
}

void write_indexed_group(MifhDeviceObj* device, const std::uint32_t (*pairs)[2], std::size_t count) {
  if (mifh_acquire_indexreg_spinlock(device) != ZEK_STATUS_PASS) return;
  for (std::size_t i = 0; i < count; ++i) {
    mifh_write_reg(device, zekhw::index_register(device->PciFunction), pairs[i][0]);
    mifh_write_reg(device, zekhw::data_register(device->PciFunction), pairs[i][1]);
  }
  mifh_release_indexreg_spinlock(device);
}

// The NIC re-initialisation after the reset chain's re-creation: the
// frames of the old send ring complete (as aborted) and the ring starts
// empty, the NIC completion queue is armed, the reset bits of the flags
// word cleared and the receive ring filled again.
void nic_reinitialise(void* context) {
  auto* adapter = static_cast<ZEK_ADAPTER*>(context);
  MifhDeviceObj* device = device_of(adapter);
  ZekResetSendRing(adapter);
  mifh_write_reg(device, zekhw::kRegCqAllocate, zekhw::miniport_nic_qp_id(device->PciFunction) | kArmCq);
  NdisAcquireSpinLock(&adapter->AdapterLock);
  adapter->Flags &= ~0x3FF00000u;
  NdisReleaseSpinLock(&adapter->AdapterLock);
  ZekRepostAfterReset(adapter);
}

// ---- The objects before their creation -----------------------------------------------------------------
ZekStatus init_objects(ZEK_ADAPTER* adapter) {
  NIC_HW_INFO* hw = adapter->HwInfo;
  MifhDeviceObj* device = &hw->Device;
  const ZekProxyRecord& r = adapter->Proxy;
  const std::uint32_t f = device->PciFunction;
  if (injected(ZEK_STEP_INIT_OBJECTS)) return MIFH_STATUS_FAIL;
  device->EnabledInterruptMask = device->InterruptWord;
  device->EnabledInterruptMaskComplement = ~device->InterruptWord;
  hw->Pd.Device = device;
  hw->Pd.PdId = 0;
  hw->Pd.Magic = MIFH_PD_MAGIC;

  const ZekSharedBlock* b = adapter->Blocks;
  ZekStatus status =
      mifh_cqp_init(device, &hw->Cqp, hw, reinterpret_cast<zekhw::MifhCqpWqe*>(b[ZEK_BLOCK_CQP_RING].Aligned),
                    reinterpret_cast<zekhw::MifhCqpHostContext*>(b[ZEK_BLOCK_CQP_CONTEXT].Aligned),
                    b[ZEK_BLOCK_CQP_RING].AlignedPa, b[ZEK_BLOCK_CQP_CONTEXT].AlignedPa, r.ContrlQpElem);
  if (status != MIFH_STATUS_SUCCESS) return status;
  adapter->Built |= kBuiltCqpObject;
  device->CqpHostContext = b[ZEK_BLOCK_CQP_CONTEXT].Aligned;

  const struct {
    MifhCeqObject* ceq;
    ZekBlock block;
    std::uint32_t count;
  } ceqs[2] = {{&hw->Ceq0, ZEK_BLOCK_CEQ0, r.CeqElem}, {&hw->Ceq1, ZEK_BLOCK_CEQ1, r.Ceq2Elem}};
  for (const auto& c : ceqs) {
    if (c.count < 1 || c.count > zekhw::kMaxCeqEntries) {
      ZEK_LOG_FAILURE(" mifh_ceq_init: CEQ element count (0x%x) is invalid\n", c.count);
      return MIFH_STATUS_INVALID_COUNT;
    }
    c.ceq->Device = device;
    c.ceq->ElementCount = c.count;
    c.ceq->Ring = reinterpret_cast<std::uint64_t*>(b[c.block].Aligned);
    c.ceq->RingPa = b[c.block].AlignedPa;
    c.ceq->RingIndex = {0, 0, c.count};
  }
  if (r.AeqElem < 1 || r.AeqElem > zekhw::kMaxAeqEntries) {
    ZEK_LOG_FAILURE(" mifh_aeq_init: AEQ element count (0x%x)is invalid\n", r.AeqElem);
    return MIFH_STATUS_INVALID_COUNT;
  }
  hw->Aeq.Device = device;
  hw->Aeq.ElementCount = r.AeqElem;
  hw->Aeq.Ring = b[ZEK_BLOCK_AEQ].Aligned;
  hw->Aeq.RingPa = b[ZEK_BLOCK_AEQ].AlignedPa;
  hw->Aeq.RingIndex = {0, 0, r.AeqElem};
  device->Aeq = &hw->Aeq;

  status =
      mifh_iwarp_cq_init(device, &hw->Ccq, b[ZEK_BLOCK_CCQ].Aligned, b[ZEK_BLOCK_CCQ].AlignedPa, r.ControlCompQElem, 0);
  if (status != MIFH_STATUS_SUCCESS) return status;

  // The NIC queue pair: 32 or 512 requests a queue.
  if (size_code(r.SendQueueSize) != 1 && size_code(r.SendQueueSize) != 3) {
    ZEK_LOG_FAILURE("mifh_nic_qp_init: invalid nic sq wqe size (0x%x)\n", r.SendQueueSize);
    return MIFH_STATUS_INVALID_WQE_COUNT;
  }
  if (size_code(r.RecvQueueSize) != 1 && size_code(r.RecvQueueSize) != 3) {
    ZEK_LOG_FAILURE("mifh_nic_qp_init: invalid nic rq wqe size (0x%x)\n", r.RecvQueueSize);
    return MIFH_STATUS_INVALID_WQE_COUNT;
  }
  const std::uint32_t id = zekhw::miniport_nic_qp_id(f);
  MifhQpObject* qp = nic_qp_of(adapter);
  status = mifh_nic_qp_init(device, qp, b[ZEK_BLOCK_NIC_SQ].Aligned, b[ZEK_BLOCK_NIC_RQ].Aligned,
                            b[ZEK_BLOCK_NIC_QP_CONTEXT].Aligned, b[ZEK_BLOCK_NIC_SQ].AlignedPa,
                            b[ZEK_BLOCK_NIC_RQ].AlignedPa, b[ZEK_BLOCK_NIC_QP_CONTEXT].AlignedPa, r.SendQueueSize,
                            r.RecvQueueSize, 0, id);
  if (status != MIFH_STATUS_SUCCESS) return status;
  qp->SqWqeCount = r.SendQueueSize;
  qp->RqWqeCount = r.RecvQueueSize;
  qp->SqRing = {0, 0, r.SendQueueSize};
  qp->RqRing = {0, 0, r.RecvQueueSize};
  const MifhNicContextAttributes attributes{0, 0, static_cast<std::uint16_t>(id), static_cast<std::uint16_t>(id), 0,
                                            0, 0, static_cast<std::uint8_t>(f)};
  status = mifh_nic_qp_setcontext(qp, &attributes);
  if (status != MIFH_STATUS_SUCCESS) return status;

  const std::uint32_t entries = r.SendQueueSize + r.RecvQueueSize;
  MifhCqObject& cq = hw->NicCq;
  cq.Device = device;
  cq.CqId = id;
  cq.Ring = b[ZEK_BLOCK_NIC_CQ].Aligned;
  cq.RingPa = b[ZEK_BLOCK_NIC_CQ].AlignedPa;
  cq.ElementCount = entries;
  cq.RingIndex = {entries - 1, 0, entries};
  cq.Kind = MIFH_CQ_KIND_NIC;
  cq.Enable = 1;
  cq.Signature = MIFH_CQ_SIGNATURE;
  return MIFH_STATUS_SUCCESS;
}

// ---- Creation on the adapter --------------------------------------------------------------------------
ZekStatus create_queues(ZEK_ADAPTER* adapter) {
  NIC_HW_INFO* hw = adapter->HwInfo;
  MifhDeviceObj* device = &hw->Device;
  const std::uint32_t f = device->PciFunction;
  hw->NicReinitialise = nic_reinitialise;
  hw->Adapter = adapter;

  if (injected(ZEK_STEP_CREATE_CQP)) return MIFH_STATUS_FAIL;
  ZekStatus status = mifh_cqp_create(&hw->Cqp, f);
  if (status != MIFH_STATUS_SUCCESS) return status;
  adapter->Built |= kBuiltCqp;

  if (injected(ZEK_STEP_CREATE_CCQ)) return MIFH_STATUS_FAIL;
  status = mifh_ccq_create(&hw->Ccq, f, f);
  if (status != MIFH_STATUS_SUCCESS) return status;
  adapter->Built |= kBuiltCcq;

  if (injected(ZEK_STEP_CREATE_CEQ0)) return MIFH_STATUS_FAIL;
  status = mifh_ceq_create(&hw->Ceq0, f, 0);
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("mifh_cceq_create failed: FILE[%s] LINE[%d]\n", __FILE__, __LINE__);
    return status;
  }
  adapter->Built |= kBuiltCeq0;

  if (injected(ZEK_STEP_CREATE_AEQ)) return MIFH_STATUS_FAIL;
  status = mifh_aeq_create(&hw->Aeq, f, 0);
  if (status != MIFH_STATUS_SUCCESS) return status;
  adapter->Built |= kBuiltAeq;
  if (!wait_status_bit(device, zekhw::kStatusAeq, true)) {
    ZEK_LOG_FAILURE("mifh_aeq_done: the asynchronous event queue was not created\n");
    return MIFH_STATUS_FAIL;
  }
  mifh_write_reg(device, zekhw::kRegCqAllocate, hw->Ccq.CqId | kArmCq);

  if (injected(ZEK_STEP_CREATE_CEQ1)) return MIFH_STATUS_FAIL;
  status = mifh_ceq_create(&hw->Ceq1, f + 8, 0);
  if (status != MIFH_STATUS_SUCCESS) return status;
  adapter->Built |= kBuiltCeq1;

  if (injected(ZEK_STEP_CREATE_NIC_CQ)) return MIFH_STATUS_FAIL;
  Completion cq_done;
  arm(cq_done);
  status = mifh_nic_cq_create(&hw->NicCq, f, &cq_done.context);
  if (status != MIFH_STATUS_SUCCESS) return status;
  if (!await(adapter, cq_done, "mifh_nic_cq_create")) return MIFH_STATUS_FAIL;
  adapter->Built |= kBuiltNicCq;

  if (injected(ZEK_STEP_CREATE_NIC_QP)) return MIFH_STATUS_FAIL;
  Completion qp_done;
  arm(qp_done);
  status = mifh_nic_qp_create(nic_qp_of(adapter), nullptr, &qp_done.context);
  if (status != MIFH_STATUS_SUCCESS) return status;
  if (!await(adapter, qp_done, "mifh_nic_qp_create")) return MIFH_STATUS_FAIL;
  adapter->Built |= kBuiltNicQp;
  return MIFH_STATUS_SUCCESS;
}

void nic_hardware_setup(ZEK_ADAPTER* adapter) {
  MifhDeviceObj* device = device_of(adapter);
  if (device->AnotherFunctionRunning == 0) {
    ZekGlobalReset(device);
    mifh_write_indexed(device, 0x5004, 0x10001);
  }
  // The port's serial link: chip revision 5 has its own port set-up.
  if (device->ChipRevision == 5) {
    init_vorla2_serdes(device);
  } else {
    init_vorla1_serdes(device);
  }
  nic_config_mac(device, adapter->Proxy.JumboFrames);
  if (device->ChipRevision == 5) {
    std::uint32_t value = 0;
    mifh_read_indexed(device, zekhw::kIdxFlashMode, &value);
    mifh_write_indexed(device, zekhw::kIdxFlashMode, (value & ~0x200F3FFu) | 0x80000000u);
  }
  // Presets from the software section (u32 words by byte offset / 4).
  const std::uint32_t w26 = ZekSwWord(device, 104 / 4);
  const std::uint32_t presets[][2] = {{0x5008, w26},
                                      {0x5010, w26},
                                      {0x5018, w26},
                                      {0x5020, w26},
                                      {0x10C8, ZekSwWord(device, 68 / 4)},
                                      {0x60C0, ZekSwWord(device, 72 / 4)},
                                      {0x60B8, (ZekSwWord(device, 76 / 4) & 0xF8) | 3},
                                      {0x60C8, ZekSwWord(device, 80 / 4) & 0x333}};
  write_indexed_group(device, presets, std::size(presets));
}

}  // namespace

void ZekInjectBringUpFault(ZekBringUpStep step, std::uint32_t detail) {
  g_fault_step = step;
  g_fault_detail = detail;
}

void ZekBringUpLockInit() {
  if (!g_marker_lock_ready && OSPrimSyncInitBlockingObject(&g_marker_lock) == ZEK_STATUS_PASS) {
    g_marker_lock_ready = true;
  }
}

void ZekBringUpLockFree() {
  if (g_marker_lock_ready) OSPrimSyncDestroyBlockingObject(&g_marker_lock);
  g_marker_lock_ready = false;
}

std::uint32_t ZekBlockBytes(const ZEK_ADAPTER* adapter, ZekBlock block) {
  const ZekProxyRecord& r = adapter->Proxy;
  switch (block) {
    case ZEK_BLOCK_AEQ:
      return (r.AeqElem + 256) * 16;
    case ZEK_BLOCK_CEQ0:
      return r.CeqElem * 8 + 4096;
    case ZEK_BLOCK_CEQ1:
      return r.Ceq2Elem * 8 + 4096;
    case ZEK_BLOCK_CCQ:
      return (r.ControlCompQElem + 128) * 32;
    case ZEK_BLOCK_CQP_RING:
      return (r.ContrlQpElem + 64) * 64;
    case ZEK_BLOCK_NIC_CQ:
      return (r.SendQueueSize + r.RecvQueueSize + 256) * 16;
    case ZEK_BLOCK_NIC_SQ:
      return (r.SendQueueSize + 64) * 64;
    case ZEK_BLOCK_NIC_RQ:
      return (r.RecvQueueSize + 64) * 64;
    case ZEK_BLOCK_NIC_QP_CONTEXT:
    case ZEK_BLOCK_CQP_CONTEXT:
      return 8192;
    case ZEK_BLOCK_COUNT:
      break;
  }
  return 0;
}

ZekStatus CommonInitBaseObject(ZEK_ADAPTER* adapter) {
  NIC_HW_INFO* hw = adapter->HwInfo;
  MifhDeviceObj* device = &hw->Device;
  device->MiniportAdapterHandle = adapter->MiniportAdapterHandle;
  if (injected(ZEK_STEP_DEVICE_OBJECT) ||
      mifh_dev_object_init(device, adapter->FunctionBits8to15, adapter->FunctionBits3to7, adapter->ChipRevision,
                           adapter->PciFunction, const_cast<std::uint8_t*>(adapter->Window[0].Va),
                           const_cast<std::uint8_t*>(adapter->Window[1].Va), adapter->Window[1].Length,
                           static_cast<std::uint64_t>(adapter->Window[1].Pa.QuadPart), CommonNicAcquireSpinlockFunction,
                           CommonNicReleaseSpinlockFunction) != ZEK_STATUS_PASS) {
    return MIFH_STATUS_FAIL;
  }
  device->ConfigWindow = adapter->Window[ZEK_CONFIG_WINDOW].Va;
  hw->DeviceObjectInitialised = 1;
  load_marker(adapter, device);
  mifh_write_indexed(device, 0x1058, 0xFF0000);
  device->Tuning = adapter->Proxy.Tuning;
  std::uint32_t control = 0;
  mifh_read_indexed(device, zekhw::kIdxNicControl, &control);
  mifh_write_indexed(device, zekhw::kIdxNicControl,
                     (control & zekhw::kIdxNicControlMask) | (device->Tuning == 7 ? 1u << 15 : 0u));

  if (injected(ZEK_STEP_DEVICE_INIT) || mifh_device_init(device) != ZEK_STATUS_PASS) return MIFH_STATUS_FAIL;
  adapter->EepromMajor = device->VersionBytes[2];
  adapter->PhyType = device->PhyType;

  if (adapter->Proxy.LimitMaxReadReqSize != 0 || (device->ChipRevision == 5 && device->PhyType == 7)) {
    std::uint32_t value = 0;
    NDIS_HANDLE handle = adapter->MiniportAdapterHandle;
    if (NdisMGetBusData(handle, PCI_WHICHSPACE_CONFIG, 0x68, &value, 4) != 4) {
      OSPrimDebugPrint("Read PCI_E registers data 0x68[x%04X]\n", value);
    } else if (((value >> 12) & 7) > 1) {
      value = (value & 0x8FFF) | 0x1000;
      if (NdisMSetBusData(handle, PCI_WHICHSPACE_CONFIG, 0x68, &value, 4) != 4 ||
          NdisMGetBusData(handle, PCI_WHICHSPACE_CONFIG, 0x68, &value, 4) != 4) {
        OSPrimDebugPrint("PCI_E registers data 0x68[x%04X]\n", value);
      }
    }
  }

  std::uint32_t flags = 0;
  mifh_read_indexed(device, zekhw::kIdxFlashMode, &flags);
  adapter->Flags8E8[0] = flags & 1;
  adapter->Flags8E8[1] = (flags >> 1) & 1;
  adapter->Flags8E8[2] = (flags >> 2) & 3;
  device->MacPause = adapter->Proxy.MacPause;
  adapter->BoardKey = device->MacBlock1Low;
  adapter->BoardMacHigh = device->MacBlock1High;
  bool full = false;
  device->AnotherFunctionRunning = ZekRegisterBoard(adapter, &full) ? 1 : 0;
  if (full) {
    ZEK_LOG_FAILURE("CommonInitBaseObject: no room for board 0x%x\n", adapter->BoardKey);
    return MIFH_STATUS_FAIL;
  }

  if (injected(ZEK_STEP_BOARD_OBJECTS) || ZekAllocateBoardObjects(adapter) != ZEK_STATUS_PASS) {
    return MIFH_STATUS_FAIL;
  }
  if (device->ChipRevision == 5) {
    std::uint32_t value = 0;
    mifh_read_indexed(device, 0x5800, &value);
    if ((value & (1u << 20)) != 0) {
      adapter->MemFreeNic = 1;
      OSPrimDebugPrint("u32MemFreeNic is TRUE \n");
    }
  }
  return ZEK_STATUS_PASS;
}

ZekStatus mifh_hw_init(ZEK_ADAPTER* adapter) {
  MifhDeviceObj* device = device_of(adapter);
  adapter->ResourcesAllocated = TRUE;
  for (std::uint32_t block = 0; block < ZEK_BLOCK_COUNT; ++block) {
    if (!allocate_block(adapter, static_cast<ZekBlock>(block))) {
      ZEK_LOG_FAILURE("NicAllocMifResources:failed FILE[%s] LINE[%d] \n", __FILE__, __LINE__);
      return MIFH_STATUS_FAIL;
    }
  }
  ZekStatus status = init_objects(adapter);
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("NicInitializeMifBaseObjects:failed FILE[%s] LINE[%d] \n", __FILE__, __LINE__);
    return status;
  }
  bool alive = mifh_hw_checkcqp_alive(device) == ZEK_STATUS_PASS;
  if (!alive) {
    ZEK_LOG_FAILURE("\n mifh_hw_checkcqp_alive - failure ... \n");
    mifh_hardware_softreset(device, false);
    alive = mifh_hw_checkcqp_alive(device) == ZEK_STATUS_PASS;
    if (!alive) ZEK_LOG_FAILURE("\n** mifh_hw_init - Fatal Error - Very bad - reload Flash and EEProm! **\n");
  }
  if (alive) nic_hardware_setup(adapter);
  status = create_queues(adapter);
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("NicCreateMifObjects:failed FILE[%s] LINE[%d] \n", __FILE__, __LINE__);
    return status;
  }

  if (injected(ZEK_STEP_MAC_ADDRESS) || mifh_read_mac_address(adapter) != ZEK_STATUS_PASS ||
      ZekCheckPermanentAddress(adapter->PermanentMac) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("NICReadAdapterInfo failed file[%s] line[%d] \n", __FILE__, __LINE__);
    return MIFH_STATUS_FAIL;
  }
  // A configured NetworkAddress is the current address; the permanent
  // address stays the adapter's own.
  if (!adapter->NetworkAddressOverride) std::memcpy(adapter->CurrentMac, adapter->PermanentMac, 6);

  const std::uint32_t w25 = ZekSwWord(device, 25);
  const std::uint32_t presets[][2] = {{0x1EC, (ZekSwWord(device, 21) & 0xFFFFFF) | 0x5B000000},
                                      {0x1FC, ZekSwWord(device, 24)},
                                      {0x1E8, (w25 & ~0x80u) | 0x40},
                                      {0x1D8, 0x48002}};
  write_indexed_group(device, presets, std::size(presets));
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_post_hw_init(ZEK_ADAPTER* adapter) {
  MifhDeviceObj* device = device_of(adapter);
  adapter->HardwareReady = 0;
  device->HardwareReady = 0;
  const std::uint32_t port_bit = device->InterruptPortBit, function_bit = device->InterruptFunctionBit;
  const std::uint32_t queue_bits = device->InterruptQueueBits;
  mifh_write_reg(device, zekhw::kRegIntrMask,
                 (((~port_bit & 0xF) | 0x10) << 24) | ((~function_bit & 0xFF) << 16) | (~queue_bits & 0xFFFF));
  if (device->ChipRevision == 5 && device->AnotherFunctionRunning == 0) {
    const std::uint32_t value = mifh_read_reg(device, zekhw::kRegIntrSource);
    mifh_write_reg(device, zekhw::kRegIntrSource, (value & 0x00FF2001) | 0x0F000000);
  }
  mifh_write_indexed(device, zekhw::idx_port_mac(device->Port & 3, 0x1F4), 0xFF9);
  device->HardwareReady = 1;
  // The interrupt path takes over: the NIC completion queue armed and the
  // function's interrupts on.
  if ((adapter->Flags & ZEK_FLAG_INTERRUPT_REGISTERED) != 0) {
    mifh_write_reg(device, zekhw::kRegCqAllocate, zekhw::cq_arm(adapter->HwInfo->NicCq.CqId, false));
    ZekEnableInterrupts(adapter);
  }
  bool restart = false;
  NdisAcquireSpinLock(&adapter->AdapterLock);
  if (adapter->NdisState == ZEK_STATE_RESTARTING) {
    adapter->NdisState = ZEK_STATE_RUNNING;
    adapter->DataPath = ZEK_DATAPATH_RUNNING;
    restart = true;
  }
  NdisReleaseSpinLock(&adapter->AdapterLock);
  if (restart) NdisMRestartComplete(adapter->MiniportAdapterHandle, NDIS_STATUS_SUCCESS);
  InterlockedExchange(&adapter->HardwareReady, 1);
  return ZEK_STATUS_PASS;
}

void CommonFreeMifResources(ZEK_ADAPTER* adapter) {
  NIC_HW_INFO* hw = adapter->HwInfo;
  if (hw == nullptr || !hw->DeviceObjectInitialised || !adapter->ResourcesAllocated) {
    OSPrimDebugPrint("CommonFreeMifResources: Already freed up\n");
    return;
  }
  adapter->ResourcesAllocated = FALSE;
  MifhDeviceObj* device = &hw->Device;
  const std::uint32_t f = device->PciFunction;
  if (device->RegisterWindow != nullptr) {
    // This function's interrupts masked.
    const std::uint32_t mask = mifh_read_reg(device, zekhw::kRegIntrMask);
    mifh_write_reg(device, zekhw::kRegIntrMask, mask | device->InterruptWord);
    mifh_errata_5068(device);
  }
  const std::uint32_t built = adapter->Built;
  // Each queue is destroyed only when it exists on the adapter; the control
  // queue pair and its completion queue are needed for all of them.
  const bool cqp = (built & kBuiltCqp) != 0 && (built & kBuiltCcq) != 0;
  if (cqp && (built & kBuiltNicQp) != 0) {
    Completion c;
    arm(c);
    zekhw::MifhCqpWqe wqe{};
    wqe.op_word = zekhw::kOpWordDestroyNicQp;
    wqe.object_word = nic_qp_of(adapter)->QpId;
    wqe.completion_context = reinterpret_cast<std::uint64_t>(&c.context);
    wqe.physical_address = nic_qp_of(adapter)->HostContextPa;
    if (mifh_cqp_post(&hw->Cqp, &wqe, MifhPostMode::Failing, "mifh_nic_qp_destroy") == MIFH_STATUS_SUCCESS) {
      await(adapter, c, "mifh_nic_qp_destroy");
    }
  }
  if (cqp && (built & kBuiltNicCq) != 0) {
    Completion c;
    arm(c);
    if (mifh_cq_destroy(&hw->NicCq, &c.context) == MIFH_STATUS_SUCCESS) await(adapter, c, "mifh_nic_cq_destroy");
  }
  if (cqp && (built & kBuiltCeq1) != 0)
    destroy_event_queue(adapter, zekhw::destroy_ceq_word(f + 8), "mifh_ceq_destroy");
  if (cqp && (built & kBuiltAeq) != 0) destroy_event_queue(adapter, zekhw::destroy_aeq_word(f), "mifh_aeq_destroy");
  if (cqp && (built & kBuiltCeq0) != 0) {
    const ZekStatus status = destroy_event_queue(adapter, zekhw::destroy_ceq_word(f), "mifh_destroy_cceq");
    if (status != MIFH_STATUS_SUCCESS)
      ZEK_LOG_FAILURE("mifh_destroy_cceq: mifh_ceq_destroy returned error (0x%x)\n", status);
  }
  if (cqp) {
    // No control completion reports the control completion queue's destroy.
    ZekProcessControlCompletions(adapter);
    if (mifh_cq_destroy(&hw->Ccq, nullptr) == MIFH_STATUS_SUCCESS) mifh_cqp_advance_tail(&hw->Cqp, 1);
    wait_status_bit(device, zekhw::kStatusCcq, false);
  }
  if ((built & kBuiltCqp) != 0) mifh_cqp_destroy(&hw->Cqp);
  if ((built & kBuiltCqpObject) != 0) mifh_free_cqp_object(&hw->Cqp);
  adapter->Built = 0;
  device->Aeq = nullptr;
  device->CqpHostContext = nullptr;
  free_blocks(adapter);

  if (device->RegisterWindow != nullptr) mifh_hw_clear_zek_nic(device, f);
}

void ZekReleaseLoad(ZEK_ADAPTER* adapter) {
  if (!adapter->LoadCounted || adapter->HwInfo == nullptr) return;
  adapter->LoadCounted = FALSE;
  MifhDeviceObj* device = device_of(adapter);
  if (unload_marker(device) == 0) {
    const std::uint32_t value = mifh_read_reg(device, zekhw::kRegGlobalControl);
    mifh_write_reg(device, zekhw::kRegGlobalControl, (value & ~0xC0F2u) | 0x0D);
  }
}

void ZekSetLinkAllowed(MifhDeviceObj* device, bool allowed) {
  std::atomic_ref<std::uint8_t>(device->LinkAllowed).store(allowed ? 1 : 0, std::memory_order_release);
}

bool ZekLinkIsUp(MifhDeviceObj* device) {
  const std::uint32_t port = device->Port & 3;
  std::uint32_t lanes = 0;
  if (mifh_read_indexed(device, zekhw::idx_lane_status(port), &lanes) != ZEK_STATUS_PASS) return false;
  const std::uint32_t status = port < 2 ? zekhw::kLaneStatusLow : zekhw::kLaneStatusHigh;
  return (lanes & zekhw::kLaneSyncBits) == zekhw::kLaneSyncBits && (lanes & status) != 0;
}

void LinkDetectionDpc(PVOID, PVOID context, PVOID, PVOID) {
  auto* adapter = static_cast<ZEK_ADAPTER*>(context);
  InterlockedExchange(&adapter->LinkDpcRunning, 1);
  NdisResetEvent(&adapter->LinkDpcDone);
  if ((adapter->Flags & ZEK_FLAG_RESET_IN_PROGRESS) != 0) {
    OSPrimDebugPrint("func[%s,%d] Reset in progress exit thread\n", __func__, __LINE__);
  } else {
    // The pass's duration is what OID_GEN_INIT_TIME_MS answers: whole
    // milliseconds, rounded up, so a pass that ran never reads 0.
    const ULONGLONG start = KeQueryInterruptTime();
    mifh_post_hw_init(adapter);
    const ULONGLONG took = KeQueryInterruptTime() - start;
    adapter->Oid.InitTimeMs = static_cast<std::uint32_t>(std::max<ULONGLONG>(1, (took + 9'999) / 10'000));
  }
  InterlockedExchange(&adapter->LinkDpcRunning, 0);
  ZekSetLinkState(adapter, ZekLinkIsUp(device_of(adapter)) ? FALSE : TRUE);
  NdisSetEvent(&adapter->LinkDpcDone);
}
