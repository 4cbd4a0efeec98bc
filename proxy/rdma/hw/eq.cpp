// Event queues: AEQ and CEQ creation, and the reading of CEQ entries.
#include "proxy/rdma/hw/eq.h"

#include <atomic>

#include "include/hw/events.h"
#include "include/hw/registers.h"
#include "proxy/rdma/hw/control_qp.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/hw/status.h"

ZekStatus mifh_aeq_create(MifhAeqObject* aeq, std::uint32_t aeq_id, std::uint8_t virtual_flag) {
  if (ZekIsBadPointer(aeq) || ZekIsBadPointer(aeq->Device)) return MIFH_STATUS_FAIL;
  if (aeq_id >= zekhw::kMaxAeqs) {
    ZEK_LOG_FAILURE("mifh_aeq_create: u32AEQId (0x%x) is invalid\n", aeq_id);
    return MIFH_STATUS_INVALID_ID;
  }
  if (aeq_id != aeq->Device->PciFunction) {
    ZEK_LOG_FAILURE(" mifh_aeq_create: AEQ ID is not equal to pciFuncId in device object\n");
    return MIFH_STATUS_INVALID_ID;
  }
  if (virtual_flag != 0) {
    ZEK_LOG_FAILURE("mifh_aeq_create: virtually mapped AEQ is not supported yet\n");
    return MIFH_STATUS_VIRTUAL;
  }
  aeq->AeqId = aeq_id;
  zekhw::MifhCqpWqe wqe{};
  wqe.op_word = zekhw::create_aeq_word(aeq_id);
  wqe.object_word = aeq->ElementCount;
  wqe.physical_address = aeq->RingPa;
  return mifh_cqp_post(aeq->Device->Cqp, &wqe, MifhPostMode::Failing, "mifh_aeq_create");
}

ZekStatus mifh_ceq_create(MifhCeqObject* ceq, std::uint32_t ceq_id, std::uint8_t virtual_flag) {
  if (ZekIsBadPointer(ceq) || ZekIsBadPointer(ceq->Device)) return MIFH_STATUS_FAIL;
  MifhDeviceObj* device = ceq->Device;
  if (ceq_id >= zekhw::kMaxCeqs) {
    ZEK_LOG_FAILURE("mifh_ceq_create: u32CEQId (0x%x) is invalid\n", ceq_id);
    return MIFH_STATUS_INVALID_ID;
  }
  if (virtual_flag != 0) {
    ZEK_LOG_FAILURE("mifh_ceq_create: virtually mapped CEQ is not supported yet\n");
    return MIFH_STATUS_VIRTUAL;
  }
  ceq->CeqId = ceq_id;
  zekhw::MifhCqpWqe wqe{};
  wqe.op_word = zekhw::create_ceq_word(ceq_id);
  wqe.object_word = ceq->ElementCount;
  wqe.physical_address = ceq->RingPa;
  const ZekStatus status = mifh_cqp_post(device->Cqp, &wqe, MifhPostMode::Failing, "mifh_ceq_create");
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("mifh_ceq_create: mifh_ceq_create returned error(0x%x)\n", status);
    return status;
  }
  // Only the function's control CEQ has a status bit to wait for; another
  // CEQ's creation is not a reason to wait for (or fail on) that one.
  if (ceq_id != device->PciFunction) return MIFH_STATUS_SUCCESS;
  std::uint32_t value = 0;
  mifh_read_indexed(device, zekhw::idx_queue_status(device->PciFunction), &value);
  for (std::uint32_t round = 0; (value & zekhw::kStatusCeq) == 0; ++round) {
    if (round == MIFH_CONTROL_QUEUE_WAIT_ROUNDS) {
      ZEK_LOG_FAILURE("mifh_cceq_create failed: FILE[%s] LINE[%d]\n", __FILE__, __LINE__);
      return MIFH_STATUS_FAIL;
    }
    OSPrimSleepDelay(nullptr, MIFH_CONTROL_QUEUE_WAIT_US);
    mifh_read_indexed(device, zekhw::idx_queue_status(device->PciFunction), &value);
  }
  return MIFH_STATUS_SUCCESS;
}

MifhCqObject* mifh_nic_process_next_ceq(MifhDeviceObj* device, MifhCeqObject* ceq) {
  if (ZekIsBadPointer(device) || ZekIsBadPointer(ceq) || ceq->Ring == nullptr || ceq->RingIndex.Size == 0) {
    return nullptr;
  }
  for (;;) {
    std::uint64_t* entry = &ceq->Ring[ceq->RingIndex.Tail];
    const std::uint64_t value = std::atomic_ref<std::uint64_t>(*entry).load(std::memory_order_acquire);
    const std::uint64_t address = value << 1;  // bit 63 (valid) drops out
    if ((value & zekhw::kCeqeValid) == 0 || address == 0) return nullptr;
    // Clearing bytes 4-7 (the valid bit among them) gives the slot back.
    std::atomic_ref<std::uint64_t>(*entry).store(value & 0xFFFFFFFFull, std::memory_order_release);
    ceq->RingIndex.Tail = (ceq->RingIndex.Tail + 1) % ceq->RingIndex.Size;
    auto* cq = reinterpret_cast<MifhCqObject*>(address);
    if (ZekIsBadPointer(cq) || cq->Signature != MIFH_CQ_SIGNATURE) {
      ZEK_LOG_FAILURE("mifh_nic_process_next_ceq: hw returned bad cq object pointer (0x%p) signature %d\n",
                      static_cast<void*>(cq), ZekIsBadPointer(cq) ? 0 : static_cast<int>(cq->Signature));
      OSPrimMemoryLogging("mifh_nic_process_next_ceq: head %d tail %d base %p\n", ceq->RingIndex.Head,
                          ceq->RingIndex.Tail, static_cast<void*>(ceq->Ring));
      continue;
    }
    if (cq->Kind == MIFH_CQ_KIND_IWARP) mifh_write_reg(device, zekhw::kRegServicedCq, cq->CqId);
    return cq;
  }
}
