// The receive buffers of the driver's NIC queue pair.
#include "proxy/core/nic_rx.h"

#include <cstring>

#include "include/hw/nic.h"
#include "proxy/core/fault_injection.h"
#include "proxy/rdma/hw/qp.h"
#include "proxy/rdma/hw/status.h"

namespace {

void* allocate_buffer(std::uint32_t index) {
  if (ZpxFaultAt(ZpxFaultStep::RxBuffer) && index >= g_ZpxFaultAfter) return nullptr;
  void* buffer = nullptr;
  if (OSPrimMemDMAAllocate(&buffer, ZPX_RX_BUFFER_BYTES) != ZEK_STATUS_PASS) return nullptr;
  return buffer;
}

}  // namespace

ZekStatus ZpxInitializeNicRQ(MifhQpObject* qp, ZpxNicRx* rx) {
  if (ZekIsBadPointer(qp) || ZekIsBadPointer(rx) || qp->Rq == nullptr || qp->RqRing.Size == 0) return MIFH_STATUS_FAIL;
  std::memset(rx, 0, sizeof *rx);
  const std::uint32_t slots = qp->RqRing.Size < ZPX_RX_BUFFERS ? qp->RqRing.Size : ZPX_RX_BUFFERS;
  auto* ring = static_cast<zekhw::MifhNicRqWqe*>(qp->Rq);
  for (std::uint32_t i = 0; i < slots; ++i) {
    void* buffer = allocate_buffer(i);
    if (buffer == nullptr) {
      ZEK_LOG_FAILURE("ZpxInitializeNicRQ: Couldn't allocate memory for receive buffers\n");
      break;
    }
    std::uint32_t low = 0;
    std::uint32_t high = 0;
    if (const ZekStatus status = OSPrimGetPaFromVa(buffer, &low, &high); status != ZEK_STATUS_PASS) {
      ZEK_LOG_FAILURE("ZpxInitializeNicRQ: OSPrimGetPaFromVa() returned error (0x%x)\n", status);
      OSPrimMemDMAFree(buffer);
      break;
    }
    rx->Desc[i] = ZpxRxDescriptor{low, high, buffer, ZPX_RX_BUFFER_BYTES, 0};
    zekhw::MifhNicRqWqe& wqe = ring[(qp->RqRing.Head + i) % qp->RqRing.Size];
    std::memset(&wqe, 0, sizeof wqe);
    wqe.buffer_length = ZPX_RX_BUFFER_BYTES;
    wqe.buffer_pa = (static_cast<std::uint64_t>(high) << 32) | low;
    ++rx->Filled;
  }
  if (rx->Filled == 0) return MIFH_STATUS_FAIL;
  // One ring slot always stays free.
  const std::uint32_t to_post = rx->Filled < qp->RqRing.Size ? rx->Filled : qp->RqRing.Size - 1;
  std::uint32_t posted = 0;
  const ZekStatus status = mifh_nic_qp_post_rq(qp, to_post, &posted);
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("ZpxInitializeNicRQ:mifh_nic_qp_post_rq() returned error (0x%x)\n", status);
  }
  return posted > 0 ? MIFH_STATUS_SUCCESS : MIFH_STATUS_FAIL;
}

void ZpxFreeNicRQ(ZpxNicRx* rx) {
  if (ZekIsBadPointer(rx)) return;
  for (std::uint32_t i = 0; i < rx->Filled; ++i) {
    if (rx->Desc[i].Va != nullptr) OSPrimMemDMAFree(rx->Desc[i].Va);
    rx->Desc[i] = ZpxRxDescriptor{};
  }
  rx->Filled = 0;
  rx->Index = 0;
}

ZekStatus ZpxDestroyNicQueues(void* proxy_adapter, MifhQpObject* qp, MifhCqObject* cq, ZpxNicRx* rx) {
  const ZekStatus status = mifh_nic_qp_destroy(proxy_adapter, qp, cq);
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("ZpxCommonRemoveDeviceCallback(): ZEK_Cleanup_k_zeknic failed.\n");
    return status;  // the buffers stay with the quarantined queues
  }
  ZpxFreeNicRQ(rx);
  return MIFH_STATUS_SUCCESS;
}
