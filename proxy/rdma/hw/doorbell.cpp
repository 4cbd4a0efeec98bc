// Doorbell writes.
#include "proxy/rdma/hw/doorbell.h"

#include <atomic>

#include "include/hw/registers.h"
#include "platform/kernel/hal.h"
#include "proxy/rdma/hw/reg_access.h"

namespace {

void write_page(volatile std::uint32_t* word, std::uint32_t value) {
  WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(const_cast<std::uint32_t*>(word)), value);
}

}  // namespace

void mifh_write_wqe_doorbell(const MifhDeviceObj* device, volatile std::uint32_t* page_word, std::uint32_t queue_id,
                             std::uint32_t count, bool send) {
  // Requests written to the ring are visible before the doorbell announces them.
  std::atomic_thread_fence(std::memory_order_release);
  while (count > 0) {
    const std::uint32_t chunk = count < zekhw::kDbMaxCount ? count : zekhw::kDbMaxCount;
    const std::uint32_t value = zekhw::wqe_doorbell(queue_id, chunk, send);
    if (page_word != nullptr) {
      write_page(page_word, value);
    } else {
      mifh_write_reg(device, zekhw::kRegWqeDoorbell, value);
    }
    count -= chunk;
  }
}

void mifh_write_cq_doorbell(const MifhCqObject* cq, std::uint32_t value) {
  if (cq->UserDoorbell != nullptr) {
    write_page(cq->UserDoorbell, value);
  } else {
    mifh_write_reg(cq->Device, zekhw::kRegCqAllocate, value);
  }
}

void mifh_give_back_cqes(const MifhCqObject* cq, std::uint32_t count, std::uint32_t last_bits) {
  while (count > 0) {
    const std::uint32_t chunk = count < zekhw::kDbMaxCount ? count : zekhw::kDbMaxCount;
    count -= chunk;
    mifh_write_cq_doorbell(cq, zekhw::cq_give_back(cq->CqId, chunk) | (count == 0 ? last_bits : 0u));
  }
}
