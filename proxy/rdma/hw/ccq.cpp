// The control completion queue: its creation and the processing of its
// entries.
#include "proxy/rdma/hw/ccq.h"

#include <atomic>

#include "include/hw/registers.h"
#include "proxy/rdma/hw/control_qp.h"
#include "proxy/rdma/hw/cq.h"
#include "proxy/rdma/hw/doorbell.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/hw/status.h"

namespace {

// More than this many entries in one call, and the rest waits for the next
// event (re-arming with entries outstanding makes the adapter notify again).
constexpr std::uint32_t kMaxCompletionsPerEvent = 429;
constexpr std::uint8_t kOpQueryStag = 0x0B;
constexpr std::uint8_t kOpNoRequest = 16;  // an entry that names no request slot

struct MinorMessage {
  std::uint16_t Minor;
  const char* Format;
};

constexpr MinorMessage kMinorMessages[] = {
    {0x1000, "mifh_process_ccq: Backing State Error (0x%x)\n"},
    {0x3000, "mifh_process_ccq: Packet Count Error (0x%x)\n"},
    {0x3001, "mifh_process_ccq: Scratchpad Flush Error (0x%x)\n"},
    {0x4000, "mifh_process_ccq: Memory Window Bound Error (0x%x)\n"},
    {0x8000, "mifh_process_ccq: QPID Too Big Error (0x%x)\n"},
    {0x8001, "mifh_process_ccq: Invalid NIC QPID Error (0x%x)\n"},
    {0x8002, "mifh_process_ccq: Invalid QP State Error (0x%x)\n"},
    {0x8003, "mifh_process_ccq: Invalid Next QP State Error (0x%x)\n"},
    {0x8004, "mifh_process_ccq: Invalid Queue Size Error (0x%x)\n"},
    {0x8005, "mifh_process_ccq: Invalid QP Type Error (0x%x)\n"},
    {0x8006, "mifh_process_ccq: No WQE Pending Error (0x%x)\n"},
    {0x8007, "mifh_process_ccq: Bad Close Error (0x%x)\n"},
    {0x8008, "mifh_process_ccq: Invalid NIC Index Error (0x%x)\n"},
    {0x8009, "mifh_process_ccq: LLP Closed Error (0x%x)\n"},
    {0x800A, "mifh_process_ccq: Reset NOT Sent Error (0x%x)\n"},
};

void log_error(std::uint16_t major, std::uint16_t minor) {
  for (const MinorMessage& m : kMinorMessages) {
    if (m.Minor == minor) {
      ZEK_LOG_FAILURE(m.Format, minor);
      return;
    }
  }
  ZEK_LOG_FAILURE("mifh_process_ccq: error MajorCode (0x%x) MinorCode (0x%x)\n", major, minor);
}

void complete(const zekhw::MifhCqe& entry, MifhCqpCompletionContext* context, std::uint32_t slot) {
  const std::uint8_t op = static_cast<std::uint8_t>(entry.flags & zekhw::kCqeOpMask);
  const bool error = (entry.flags & zekhw::kCqeError) != 0;
  auto major = static_cast<std::uint16_t>(entry.codes >> zekhw::kCqeMajorShift);
  auto minor = static_cast<std::uint16_t>(entry.codes & zekhw::kCqeMinorMask);
  std::uint8_t extra = 0;
  if (op == kOpQueryStag) {
    // The STag query answers in the code word: key in bits 8-15, state in 0-7.
    extra = static_cast<std::uint8_t>((entry.codes >> 8) & 0xFF);
    minor = static_cast<std::uint16_t>(entry.codes & 0xFF);
  }
  if (context->EarlyRoutine != nullptr) context->EarlyRoutine(&entry, slot, (minor & 0xFF00u) | op, slot);
  context->MajorCode = major;
  context->MinorCode = minor;
  context->ExtraByte = extra;
  context->OpCode = op;
  context->ErrorFlag = error ? 1 : 0;
  context->ResultWord = entry.immediate;
  if (context->CompletionRoutine != nullptr) {
    context->CompletionRoutine(context->Argument);
  } else {
    ZEK_LOG_FAILURE("mifh_async_completion_callback: pAsyncCallback is NULL u8OpCode %x\n", op);
  }
}

}  // namespace

ZekStatus mifh_ccq_create(MifhCqObject* cq, std::uint32_t cq_id, std::uint32_t ceq_id) {
  if (!mifh_cq_is_valid(cq) || ZekIsBadPointer(cq->Device->Cqp)) return MIFH_STATUS_FAIL;
  MifhDeviceObj* device = cq->Device;
  // The CCQ is read from its first entry on: its Head is the reading index,
  // not the adapter's credit mark of an ordinary CQ.
  cq->RingIndex.Head = 0;
  cq->RingIndex.Tail = 0;
  const ZekStatus status = mifh_iwarptoe_cq_create(cq, cq_id, ceq_id, 1, 0, nullptr);
  if (status != MIFH_STATUS_SUCCESS) return status;
  for (std::uint32_t round = 0; round < MIFH_CONTROL_QUEUE_WAIT_ROUNDS; ++round) {
    OSPrimSleepDelay(nullptr, MIFH_CONTROL_QUEUE_WAIT_US);
    std::uint32_t value = 0;
    mifh_read_indexed(device, zekhw::idx_queue_status(device->PciFunction), &value);
    if ((value & zekhw::kStatusCcq) != 0) {
      // No CCQ entry reports the CCQ's own creation.
      mifh_cqp_advance_tail(device->Cqp, 1);
      return MIFH_STATUS_SUCCESS;
    }
  }
  ZEK_LOG_FAILURE("mifh_ccq_create failed FILE[%s] LINE[%d]\n", __FILE__, __LINE__);
  return MIFH_STATUS_FAIL;
}

ZekStatus mifh_process_ccq(MifhCqObject* ccq) {
  if (!mifh_cq_is_valid(ccq) || ccq->Ring == nullptr || ccq->RingIndex.Size == 0) {
    ZEK_LOG_FAILURE("mifh_process_ccq: bad CCQ object (0x%p)\n", static_cast<void*>(ccq));
    return MIFH_STATUS_FAIL;
  }
  MifhDeviceObj* device = ccq->Device;
  MifhCqpObject* cqp = device->Cqp;
  if (ZekIsBadPointer(cqp) || cqp->Ring == nullptr || cqp->RingIndex.Size == 0) {
    ZEK_LOG_FAILURE("mifh_process_ccq: the device has no CQP (0x%p)\n", static_cast<void*>(cqp));
    return MIFH_STATUS_FAIL;
  }
  auto* entries = static_cast<zekhw::MifhCqe*>(ccq->Ring);
  std::uint32_t n = 0;
  std::uint32_t slot = mifh_cqp_tail(cqp);
  for (;;) {
    zekhw::MifhCqe* e = &entries[ccq->RingIndex.Head];
    std::atomic_ref<std::uint32_t> flags(e->flags);
    if ((flags.load(std::memory_order_acquire) & zekhw::kCqeValid) == 0) break;
    const zekhw::MifhCqe entry = *e;
    flags.store(0, std::memory_order_release);  // the slot goes back to the adapter
    ccq->RingIndex.Head = (ccq->RingIndex.Head + 1) % ccq->RingIndex.Size;
    ++n;
    if ((entry.flags & zekhw::kCqeError) != 0) {
      log_error(static_cast<std::uint16_t>(entry.codes >> zekhw::kCqeMajorShift),
                static_cast<std::uint16_t>(entry.codes & zekhw::kCqeMinorMask));
    }
    if ((entry.flags & zekhw::kCqeOpMask) != kOpNoRequest) {
      if (entry.tag != reinterpret_cast<std::uint64_t>(cqp)) {
        ZEK_LOG_FAILURE("mifh_process_ccq: entry names CQP (0x%llx), not (0x%p)\n",
                        static_cast<unsigned long long>(entry.tag), static_cast<void*>(cqp));
      }
      // The context comes from the driver's own ring slot, never from the
      // entry; it is taken under the CQP lock, so an owner that gives up on
      // it either finds it still in the slot or waits for this completion.
      if (MifhCqpCompletionContext* context = mifh_cqp_take_context(cqp, slot)) {
        complete(entry, context, slot);
        mifh_cqp_context_done(cqp);
      }
    }
    slot = (slot + 1) % cqp->RingIndex.Size;
    if (n > kMaxCompletionsPerEvent) {
      ZEK_LOG_FAILURE("mifh_process_ccq: u32NumberOfCompletionsThisEvent %x > 429, break out of loop\n", n);
      break;
    }
  }
  mifh_give_back_cqes(ccq, n, 0);
  mifh_cqp_advance_tail(cqp, n);
  mifh_write_reg(device, zekhw::kRegCqAllocate, zekhw::cq_arm(ccq->CqId, false));
  mifh_read_reg(device, zekhw::kRegCqAllocate);  // flushes the writes before it
  return MIFH_STATUS_SUCCESS;
}
