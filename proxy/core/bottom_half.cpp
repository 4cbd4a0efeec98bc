// The bottom half's pass over the completion event queue.
#include "proxy/core/bottom_half.h"

#include "platform/kernel/ke.h"
#include "proxy/core/notify.h"
#include "proxy/rdma/hw/control_qp.h"
#include "proxy/rdma/hw/eq.h"
#include "proxy/rdma/hw/status.h"
#include "proxy/tcpip/offload.h"

std::uint32_t ZpxBottomHalfCeqPass(MifhDeviceObj* device, MifhCeqObject* ceq, MifhCqpObject* cqp,
                                   const ZpxBottomHalfRoutines* routines, bool* yielded) {
  *yielded = false;
  if (ZekIsBadPointer(ceq) || ZekIsBadPointer(routines)) return 0;
  const ULONGLONG start = KeQueryInterruptTime();
  std::uint32_t handled = 0;
  while (MifhCqObject* cq = mifh_nic_process_next_ceq(device, ceq)) {
    if (cq->Signature != MIFH_CQ_SIGNATURE) {
      ZEK_LOG_FAILURE("ZEK_common_bh_routine(): pCqObj is invalid(0x%p)\n", static_cast<void*>(cq));
      break;
    }
    ++handled;
    switch (cq->Kind) {
      case 0:
        ZEK_LOG_FAILURE("ZEK_common_bh_routine(): BAD CQ Type\n");
        break;
      case MIFH_CQ_KIND_NIC:
        if (routines->Nic != nullptr) routines->Nic(routines->Context, cq);
        break;
      case MIFH_CQ_KIND_IWARP:
        if (routines->Iwarp != nullptr) {
          routines->Iwarp(routines->Context, cq);
        } else if (zektcp::OffloadIsToeCq(cq)) {
          zektcp::OffloadToeCqEvent(cq);  // a TOE connection's completions
        } else {
          ZpxIwarpCqEvent(cq);  // the verbs CQ's own callback
        }
        break;
      default:
        ZEK_LOG_FAILURE("Func[%s] Line[%d] \n", __func__, __LINE__);
        break;
    }
    if ((KeQueryInterruptTime() - start) / 10'000 > ZPX_BH_BUDGET_MS) {
      OSPrimMemoryLogging("ZEK_common_bh_routine(): return from ceq processing loop after 1 sec\n");
      if (const ZekStatus status = mifh_cqp_nop(cqp); status != MIFH_STATUS_SUCCESS) {
        ZEK_LOG_FAILURE("mifh_cqp_nop: mifh_cqp_nop() returned error (0x%x)\n", status);
      }
      *yielded = true;
      break;
    }
  }
  return handled;
}
