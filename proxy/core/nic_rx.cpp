// The receive buffers of the driver's NIC queue pair.
#include "proxy/core/nic_rx.h"

#include <cstring>

#include "include/hw/nic.h"
#include "proxy/core/fault_injection.h"
#include "proxy/rdma/hw/cq.h"
#include "proxy/rdma/hw/qp.h"
#include "proxy/rdma/hw/ring.h"
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
    const std::uint32_t slot = (qp->RqRing.Head + i) % qp->RqRing.Size;
    rx->SlotBuffer[slot] = static_cast<std::uint16_t>(i);
    zekhw::MifhNicRqWqe& wqe = ring[slot];
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

std::uint32_t ZpxProcessNicCQ(MifhDeviceObj* device, MifhCqObject* cq, MifhQpObject* qp, ZpxNicRx* rx,
                              ZpxReceiveHook hook, void* context, ZpxNicCqCounters* counters) {
  if (ZekIsBadPointer(cq) || ZekIsBadPointer(qp) || ZekIsBadPointer(rx) || ZekIsBadPointer(counters)) return 0;
  auto* ring = static_cast<zekhw::MifhNicRqWqe*>(qp->Rq);
  std::uint32_t taken = 0;
  std::uint32_t unposted = 0;  // buffers written back into the ring, not yet posted
  bool post_failed = false;
  auto post = [&] {
    if (unposted == 0) return;
    std::uint32_t posted = 0;
    if (const ZekStatus status = mifh_nic_qp_post_rq(qp, unposted, &posted); status != MIFH_STATUS_SUCCESS) {
      ZEK_LOG_FAILURE("ZpxProcessNicCQ:mifh_nic_qp_post_rq() returned error (0x%x)\n", status);
      post_failed = true;
    }
    unposted = 0;
  };
  zekhw::MifhNicCqe e{};
  while (!post_failed && mifh_nic_cqe_read(cq, &e) == MIFH_STATUS_SUCCESS) {
    ++taken;
    mifh_cq_release_cqes(device, cq, 1, false);
    if ((e.status & zekhw::kNicCqeSend) != 0) {
      ZekNicSendComplete(cq, e.status);
      ++counters->Sent;
    } else {
      const std::uint32_t slot = (e.index & zekhw::kNicCqeIndexMask) % qp->RqRing.Size;
      const std::uint32_t buffer = rx->SlotBuffer[slot % ZPX_RX_BUFFERS];
      const std::uint32_t length = e.status & zekhw::kNicCqeLengthMask;
      const ZpxRxDescriptor& d = rx->Desc[buffer];
      if ((e.status & zekhw::kNicCqeErrorMask) != 0 || length < ZPX_ETHER_HEADER_BYTES || length > d.Length ||
          d.Va == nullptr) {
        ++counters->Dropped;
      } else {
        ++counters->Received;
        const auto* frame = static_cast<const std::uint8_t*>(d.Va);
        if (hook != nullptr) hook(context, frame, frame + ZPX_ETHER_HEADER_BYTES, length - ZPX_ETHER_HEADER_BYTES);
      }
      // The buffer goes back to the ring at its head (past the ones
      // written back before it and not yet posted).
      OSPRIM_RING_MOVE_TAIL(&qp->RqRing);
      const std::uint32_t head = (qp->RqRing.Head + unposted) % qp->RqRing.Size;
      zekhw::MifhNicRqWqe& wqe = ring[head];
      std::memset(&wqe, 0, sizeof wqe);
      wqe.buffer_length = d.Length;
      wqe.buffer_pa = (static_cast<std::uint64_t>(d.PaHigh) << 32) | d.PaLow;
      rx->SlotBuffer[head % ZPX_RX_BUFFERS] = static_cast<std::uint16_t>(buffer);
      rx->Index = (rx->Index + 1) % ZPX_RX_BUFFERS;
      if (++unposted == ZPX_RX_REPOST_BATCH) post();
    }
    if (taken > ZPX_NIC_CQ_PASS_LIMIT) {
      OSPrimMemoryLogging("ZpxProcessNicCQ: ( u32SendProcessed + u32RecvProcessed) %d\n", static_cast<int>(taken));
      break;
    }
  }
  post();
  mifh_cq_release_cqes(device, cq, 0, true);
  return taken;
}

namespace {

struct UploadRequest {
  MifhCqpCompletionContext Context;  // first: the request names it
  void* Buffer;
  MifhQpObject* Qp;
};

void free_upload(UploadRequest* request) {
  if (request->Qp != nullptr && request->Qp->UploadContext == &request->Context) {
    request->Qp->UploadContext = nullptr;
    request->Qp->UploadBuffer = nullptr;
  }
  OSPrimMemDMAFree(request->Buffer);
  OSPrimMemFree(request);
}

void upload_done(void* argument) {
  OSPrimDebugPrint("Nic Context \n");
  free_upload(static_cast<UploadRequest*>(argument));
}

}  // namespace

ZekStatus ZpxUploadNicContextCallback(MifhQpObject* qp) {
  if (ZekIsBadPointer(qp)) return MIFH_STATUS_FAIL;
  void* block = nullptr;
  if (OSPrimMemAllocate(&block, sizeof(UploadRequest)) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("upload_context_completion_no_wait: pUploadContext is NULL \n");
    return MIFH_STATUS_FAIL;
  }
  auto* request = static_cast<UploadRequest*>(block);
  std::memset(request, 0, sizeof *request);
  if (OSPrimMemDMAAllocate(&request->Buffer, ZPX_UPLOAD_CONTEXT_BYTES) != ZEK_STATUS_PASS) {
    OSPrimMemFree(request);
    return MIFH_STATUS_FAIL;
  }
  std::memset(request->Buffer, 0, ZPX_UPLOAD_CONTEXT_BYTES);
  request->Qp = qp;
  request->Context.CompletionRoutine = &upload_done;
  request->Context.Argument = request;
  qp->UploadBuffer = request->Buffer;
  qp->UploadContext = &request->Context;
  const ZekStatus status = mifh_qp_upload_context(qp);
  if (status != MIFH_STATUS_SUCCESS) free_upload(request);
  return status;
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
