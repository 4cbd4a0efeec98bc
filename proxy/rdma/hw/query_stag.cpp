// The query-STag control request.
#include "proxy/rdma/hw/query_stag.h"

#include <bit>

#include "include/hw/cqp.h"
#include "include/zek/signatures.h"
#include "proxy/rdma/hw/control_qp.h"
#include "proxy/rdma/hw/status.h"

ZekStatus mifh_query_stag(MifhDeviceObj* device, std::uint32_t stag_index, MifhCqpCompletionContext* context) {
  if (ZekIsBadPointer(device) || ZekIsBadPointer(device->Cqp)) return MIFH_STATUS_FAIL;
  if (stag_index > MIFH_MAX_STAG_INDEX) {
    ZEK_LOG_FAILURE("mifh_query_stag: STag index (0x%x) is more than supported (0x%x)\n", stag_index,
                    MIFH_MAX_STAG_INDEX);
    return MIFH_STATUS_FAIL;
  }
  zekhw::MifhStagWqe request{};
  request.op_word = zekhw::kOpQueryStag;
  request.completion_context = reinterpret_cast<std::uint64_t>(context);
  request.stag = stag_index << 8;  // the u64 at +32: the index << 8, the key byte 0
  const auto wqe = std::bit_cast<zekhw::MifhCqpWqe>(request);
  return mifh_cqp_post(device->Cqp, &wqe, MifhPostMode::Queueing, "mifh_query_stag");
}
