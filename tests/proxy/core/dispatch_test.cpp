// The request dispatcher: routing of every code, kernel-only and buffer
// refusals, the event slots, the NetworkDirect requests that wait in the
// driver's queue and their completion by key.
#include <set>

#include "include/zek/interfaces.h"
#include "include/zek/registry.h"
#include "tests/proxy/core/proxy_fixture.h"

namespace {

// ---- The code table against the routing table of the driver's description ------------------

struct Range {
  std::uint32_t first, last;
  ZekIoctlFamily family;
};
using F = ZekIoctlFamily;
// Every code range of the routing table, in steps of 4.
constexpr Range kRoutes[] = {
    {0x12C880, 0x12C888, F::SOCKET_USER},
    {0x12C88C, 0x12C88C, F::SOCKET_COMBINED},
    {0x12C890, 0x12C89C, F::SOCKET_USER},
    {0x12C8A0, 0x12C8B4, F::SOCKET_COMBINED},
    {0x12C8B8, 0x12C8E0, F::SOCKET_USER},
    {0x12C948, 0x12C948, F::SOCKET_USER},
    {0x12D004, 0x12D008, F::SOCKET_USER},
    {0x12D018, 0x12D01C, F::SOCKET_USER},
    {0x12CC00, 0x12CC04, F::SOCKET_COMBINED},
    {0x12C900, 0x12C944, F::SOCKET_KERNEL},
    {0x12C94C, 0x12C968, F::SOCKET_KERNEL},
    {0x12D000, 0x12D000, F::SOCKET_KERNEL},
    {0x12D010, 0x12D014, F::SOCKET_KERNEL},
    {0x12D00C, 0x12D00C, F::SOCKET_TABLE},
    {0x12D020, 0x12D020, F::CLEANUP_CONTEXT},
    {0x12D080, 0x12D0A4, F::VERBS},
    {0x12D0C0, 0x12D0E4, F::VERBS},
    {0x12D100, 0x12D124, F::VERBS},
    {0x12D140, 0x12D144, F::VERBS},
    {0x12D150, 0x12D150, F::VERBS},
    {0x12D1E4, 0x12D1E4, F::VERBS},
    {0x12D28C, 0x12D2A0, F::VERBS},
    {0x12D2C0, 0x12D2C0, F::VERBS},
    {0x12D154, 0x12D160, F::VERBS_USER_ACCESS},
    {0x12D18C, 0x12D190, F::VERBS_USER_ACCESS},
    {0x12D194, 0x12D194, F::KERNEL_VERBS_TABLE},
    {0x12D198, 0x12D1A4, F::HARDWARE_OBJECTS},
    {0x12D1C0, 0x12D1E0, F::HARDWARE_OBJECTS},
    {0x12D20C, 0x12D218, F::HARDWARE_OBJECTS},
    {0x12D224, 0x12D224, F::MANAGEMENT},
    {0x12D240, 0x12D280, F::MANAGEMENT},
    {0x12D2A4, 0x12D2A4, F::MANAGEMENT},
    {0x12D2A8, 0x12D2B0, F::LOG},
    {0x12D2B8, 0x12D2B8, F::MANAGEMENT},
    {0x12D2C4, 0x12D2C4, F::MANAGEMENT},
    {0x12D2CC, 0x12D2CC, F::MANAGEMENT},
    {0x12D284, 0x12D288, F::NOTIFICATION},
    {0x12D2C8, 0x12D2C8, F::PROCESS_CLEANUP},
    {0x12D2D0, 0x12D2DC, F::ND_QUEUE},
    {0x12D2E0, 0x12D2E8, F::ND_VERBS},
    {0x12D340, 0x12D38C, F::EVENT_SLOT},
    {0x12D400, 0x12D404, F::MCRQ},
    {0x12D40C, 0x12D420, F::MCRQ},
    {0x444260C4, 0x444260C4, F::ADDRESS_LIST},
};

TEST(IoctlTable, EveryRoutedCodeHasItsFamilyAndNothingElseIsKnown) {
  std::set<std::uint32_t> routed;
  for (const Range& range : kRoutes) {
    for (std::uint32_t code = range.first; code <= range.last; code += 4) {
      const ZekIoctlInfo* info = ZekIoctlLookup(code);
      ASSERT_NE(info, nullptr) << std::hex << code;
      EXPECT_EQ(info->family, range.family) << info->name;
      EXPECT_TRUE(routed.insert(code).second) << std::hex << code;
    }
  }
  EXPECT_EQ(routed.size(), 192u);
  EXPECT_EQ(routed.size(), ZEK_IOCTL_COUNT);
  for (const std::uint32_t code : {0x12D2B4u, 0x12D408u, 0x12D00Cu + 0x1000u, 0x12C000u, 0x12D2A9u, 0x444260C0u}) {
    EXPECT_EQ(ZekIoctlLookup(code), nullptr) << std::hex << code;
  }
  // Spot checks of names and record sizes.
  EXPECT_STREQ(ZekIoctlLookup(0x12D144)->name, "IOCTL_ZEK_IWARP_WAIT_ON_ASYNC_FUNCTION_CALL");
  EXPECT_EQ(ZekIoctlLookup(0x12D144)->record_bytes, 1640u);
  EXPECT_EQ(ZekIoctlLookup(IOCTL_ZEK_IWARP_QP_CREATE_W_USER_ACCESS)->record_bytes, 320u);
  EXPECT_EQ(ZekIoctlLookup(IOCTL_ZEK_RECV_USER)->record_bytes, 288u);
  EXPECT_EQ(ZekIoctlLookup(IOCTL_ZEK_MGMT_REVIEW_GET)->record_bytes, 144u);
  EXPECT_STREQ(ZekIoctlLookup(0x12C968)->name, "IOCTL_ZEK_SOCKET_OP_68_KERNEL");
  EXPECT_EQ(ZekParkedSlotOf(IOCTL_ZEK_EVENT_SLOT_19), 19u);
  EXPECT_EQ(ZekParkedSlotOf(IOCTL_ZEK_MCRQ_GET_ADAPTER), 48u);
  EXPECT_EQ(ZekParkedSlotOf(IOCTL_ZEK_MCRQ_RELEASE_BUFFERS), 56u);
}

class Dispatch : public LoadedProxyTest {
 protected:
  std::uint64_t park(ULONG code, std::int64_t thread = 0) {
    parked_.push_back(ZekEventSlotRecord{ZEK_EVENT_SLOT_PARK, 0xFFFF});
    ZekEventSlotRecord& record = parked_.back();
    return send(file_, code, &record, sizeof record, &record, sizeof record, thread);
  }
  std::uint64_t wait_on(ULONG code, std::uint64_t key) {
    keys_.push_back(ZekNdWaitRecord{key});
    return send(file_, code, &keys_.back(), sizeof(ZekNdWaitRecord), nullptr, 0);
  }
  NTSTATUS status_of(std::uint64_t id) {
    auto completion = link_->completion(id);
    return completion ? completion->status : STATUS_PENDING;
  }

  std::deque<ZekEventSlotRecord> parked_;
  std::deque<ZekNdWaitRecord> keys_;
};

// Every code from user mode with buffers of its record's size: the served
// families answer, a kernel-only code is refused, every other family is not
// supported yet, and so is a code the driver does not know. A zeroed socket
// record is served (the call's error goes into the record) unless it is
// malformed (a receive of nothing, a failing socketpair) or its code is not
// one the driver serves.
TEST_F(Dispatch, EveryCodeFromUserModeGetsItsFamilysAnswer) {
  std::vector<std::byte> record(2048);
  for (const ZekIoctlInfo& info : ZekIoctlTable) {
    SCOPED_TRACE(info.name);
    NTSTATUS expected = STATUS_NOT_SUPPORTED;
    if (info.kernel_only) {
      expected = STATUS_ACCESS_DENIED;
    } else if (info.family == F::LOG || info.family == F::MANAGEMENT || info.family == F::CLEANUP_CONTEXT ||
               info.family == F::PROCESS_CLEANUP || info.family == F::ADDRESS_LIST) {
      expected = STATUS_SUCCESS;
    } else if (info.family == F::MCRQ) {
      expected = STATUS_SUCCESS;  // the outcome is in the record
    } else if (info.family == F::HARDWARE_OBJECTS) {
      // An administrator's answer is in the record; anyone else is refused.
      expected = geteuid() == 0 ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
    } else if (info.code == IOCTL_ZEK_IWARP_WAIT_ON_ASYNC_FUNCTION_CALL) {
      expected = STATUS_BUFFER_TOO_SMALL;  // its record is 1640 bytes
    } else if (info.code == IOCTL_ZEK_IWARP_QUERY_ASYNC_ERROR || info.code == IOCTL_IWARP_TERMINATE_CQ_POLL_THREAD) {
      expected = STATUS_SUCCESS;  // no such adapter: the outcome is in the record
    } else if (info.family == F::VERBS || info.family == F::VERBS_USER_ACCESS) {
      // A zeroed record names no adapter of the caller's: the outcome is in
      // the record, unless a required handle or pointer is null or the code
      // is not served.
      switch (info.code) {
        case IOCTL_ZEK_IWARP_CQ_QUERY:
        case IOCTL_ZEK_IWARP_SET_COMPL_HANDLER:
        case IOCTL_ZEK_IWARP_QP_CREATE:
        case IOCTL_ZEK_IWARP_QP_QUERY:
        case IOCTL_ZEK_IWARP_ADAPTER_ADDRS:
        case IOCTL_ZEK_IWARP_PD_DEALLOCATE_W_USER_ACCESS:
        case IOCTL_ZEK_IWARP_CQ_DESTROY_W_USER_ACCESS:
        case IOCTL_ZEK_IWARP_QP_POST_SQ:  // no request array
        case IOCTL_ZEK_IWARP_QP_POST_RQ:
        case IOCTL_ZEK_IWARP_MR_QUERY:  // no answer pointer
        case IOCTL_ZEK_IWARP_MW_QUERY:
        case IOCTL_ZEK_IWARP_DUP_CQ:
        case IOCTL_ZEK_IWARP_DUP_QP:
        case IOCTL_ZEK_IWARP_DUP_PD:
        case IOCTL_ZEK_IWARP_2C0:
          expected = STATUS_NOT_SUPPORTED;
          break;
        default:
          expected = STATUS_SUCCESS;
      }
    } else if (info.family == F::ND_VERBS) {
      // No adapter of the caller's names the disconnect's queue pair; the
      // region requests have no registration context.
      expected = info.code == IOCTL_ZEK_IWARP_NDI_NOTIFY_DISCONNECT ? STATUS_INVALID_HANDLE : STATUS_UNSUCCESSFUL;
    } else if (info.family == F::EVENT_SLOT || info.family == F::ND_QUEUE) {
      continue;  // pended and completed requests: their own tests
    } else if (info.code == IOCTL_ZEK_SELECT_USER) {
      continue;  // no descriptors and no time-out: it waits without limit
    } else if (info.family == F::SOCKET_USER || info.family == F::SOCKET_COMBINED) {
      switch (info.code) {
        case IOCTL_ZEK_SOCKETPAIR_USER:
          expected = STATUS_UNSUCCESSFUL;
          break;
        case IOCTL_ZEK_RECV_USER:
        case IOCTL_ZEK_RECVFROM_USER:
        case IOCTL_ZEK_READ_USER:
          expected = STATUS_INVALID_PARAMETER;
          break;
        case IOCTL_ZEK_INET_ADDR_USER:
        case IOCTL_ZEK_SOCKET_OP_E0_USER:
        case IOCTL_ZEK_TCPIP_CC04:
          expected = STATUS_NOT_SUPPORTED;
          break;
        default:
          expected = STATUS_SUCCESS;
      }
    }
    std::fill(record.begin(), record.end(), std::byte{0});
    if (info.code == IOCTL_ZEK_READ_LOG_BUF) {
      auto* param = reinterpret_cast<ZekLogBufParam*>(record.data());
      param->Buffer = reinterpret_cast<std::uint64_t>(record.data() + 1024);
      param->Size = 512;
    }
    const auto answer = call(file_, info.code, record.data(), 1024, 1024);
    EXPECT_EQ(answer.status, expected);
    if (!NT_SUCCESS(expected)) {
      EXPECT_EQ(answer.information, 0u);
    }
  }
  for (const std::uint32_t code : {0x12D2B4u, 0x12D408u, 0x12C000u, 0x12D2A9u}) {
    EXPECT_EQ(call(file_, code, record.data(), 64, 64).status, STATUS_NOT_SUPPORTED) << std::hex << code;
  }
  EXPECT_NE(ring_text().find("ZpxProcessSanIoctl: default:"), std::string::npos);
}

// A handler whose result the dispatcher maps succeeds only with 0. Its own
// failures (1, 2) and any other value that is not an error status (a
// success or informational NTSTATUS, STATUS_PENDING, a stray number) fail
// the request; an error status the handler chose is kept.
TEST(MappedHandlerResults, OnlyZeroSucceeds) {
  struct Case {
    ULONG result;
    NTSTATUS status;
  } cases[] = {
      {0, STATUS_SUCCESS},
      {1, STATUS_NOT_SUPPORTED},
      {2, STATUS_NOT_SUPPORTED},
      {4, STATUS_NOT_SUPPORTED},
      {12, STATUS_NOT_SUPPORTED},
      {0x103, STATUS_NOT_SUPPORTED},                    // STATUS_PENDING would leave the request hanging
      {0x40000000, STATUS_NOT_SUPPORTED},               // an informational status
      {0x80000005, STATUS_NOT_SUPPORTED},               // a warning
      {0x50001, STATUS_NOT_SUPPORTED},                  // a verbs status code
      {0xFFFFFFFF, static_cast<NTSTATUS>(0xFFFFFFFF)},  // error severity: a failure as it stands
      {static_cast<ULONG>(STATUS_INVALID_PARAMETER), STATUS_INVALID_PARAMETER},
      {static_cast<ULONG>(STATUS_INVALID_USER_BUFFER), STATUS_INVALID_USER_BUFFER},
      {0xC0000001, STATUS_UNSUCCESSFUL},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ZpxMappedHandlerStatus(c.result), c.status) << std::hex << c.result;
    EXPECT_TRUE(c.result == 0 || !NT_SUCCESS(ZpxMappedHandlerStatus(c.result))) << std::hex << c.result;
  }
}

// Kernel-mode callers pass the kernel-only check: the socket calls, the
// socket table and the kernel verbs table (published by the verbs at start).
TEST_F(Dispatch, KernelCallersReachKernelOnlyRequests) {
  std::uint64_t record[4] = {};
  EXPECT_EQ(kernel_call(IOCTL_ZEK_SOCKET_KERNEL, record, 24, 24), STATUS_SUCCESS);
  EXPECT_LT(static_cast<std::int64_t>(record[1]), 0);  // no protocol of domain 0
  EXPECT_EQ(kernel_call(IOCTL_ZEK_SOCKET_OP_68_KERNEL, record, 0, 0), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(kernel_call(IOCTL_ZEK_GET_SOCKET_TABLE, record, 8, 8), STATUS_SUCCESS);
  EXPECT_NE(record[0], 0u);

  void* verbs = nullptr;
  ASSERT_EQ(ZEK_GetInterface(IWARP_KERNEL_VERBS_INTERFACE, &verbs), ZEK_STATUS_PASS);
  ULONG_PTR bytes = 0;
  EXPECT_EQ(kernel_call(IOCTL_ZEK_IWARP_GET_KERNEL_VERBS, record, 0, 8, &bytes), STATUS_SUCCESS);
  EXPECT_EQ(bytes, 8u);
  EXPECT_EQ(record[0], reinterpret_cast<std::uint64_t>(verbs));
  EXPECT_EQ(static_cast<const ZekInterfaceHeader*>(verbs)->Signature, ZEK_SIG_INTERFACE_TABLE);
  EXPECT_EQ(kernel_call(IOCTL_ZEK_IWARP_GET_KERNEL_VERBS, record, 0, 4), STATUS_BUFFER_TOO_SMALL);
  // User mode never sees the table's address.
  record[0] = 0;
  EXPECT_EQ(call(file_, IOCTL_ZEK_IWARP_GET_KERNEL_VERBS, record, 8, 8).status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(record[0], 0u);
}

TEST_F(Dispatch, BuffersShorterThanTheRecordAreRefused) {
  struct Case {
    ULONG code;
    ULONG in, out;
  };
  const Case cases[] = {
      {IOCTL_ZEK_GET_LOG_BUF_SIZE, 24, 20},
      {IOCTL_ZEK_GET_LOG_BUF_SIZE, 16, 24},
      {IOCTL_ZEK_READ_LOG_BUF, 23, 24},
      {IOCTL_ZEK_CLEAR_LOG_BUF, 0, 3},
      {IOCTL_ZEK_EVENT_SLOT_0, 4, 8},
      {IOCTL_ZEK_EVENT_SLOT_7, 8, 4},
      {IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION, 4, 0},
      {IOCTL_ZEK_IWARP_NDI_WAIT_ON_CONNECTION_REQUEST, 0, 8},
      {IOCTL_ZEK_IWARP_CANCEL_COMPLETION_NOTIFICATION, 8, 8},
      {IOCTL_ZEK_IWARP_CANCEL_COMPLETION_NOTIFICATION, 16, 4},
      {IOCTL_ZEK_IWARP_NDI_COMPLETE_CONNECTION_REQUEST, 16, 8},
  };
  std::byte record[32] = {};
  for (const Case& c : cases) {
    SCOPED_TRACE(ZekIoctlLookup(c.code)->name);
    std::fill(std::begin(record), std::end(record), std::byte{0x5A});
    const auto answer = call(file_, c.code, record, c.in, c.out);
    EXPECT_EQ(answer.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(answer.information, 0u);
  }
  // The clear request reads nothing: no input is needed.
  std::uint32_t out = 0;
  EXPECT_EQ(call(file_, IOCTL_ZEK_CLEAR_LOG_BUF, &out, 0, 4).status, STATUS_SUCCESS);
}

// ---- Event slots --------------------------------------------------------------------------------

TEST_F(Dispatch, EventSlotParksUntilAnotherRequestCompletesIt) {
  const std::uint64_t parked = park(IOCTL_ZEK_EVENT_SLOT_3);
  EXPECT_TRUE(pending(parked));
  EXPECT_EQ(parked_.back().Slot, 0xFFFFu) << "nothing is copied back while the request waits";

  ZekEventSlotRecord signal{ZEK_EVENT_SLOT_SIGNAL, 0};
  const auto answer = call(file_, IOCTL_ZEK_EVENT_SLOT_3, &signal);
  EXPECT_EQ(answer.status, STATUS_SUCCESS);
  EXPECT_EQ(answer.information, 8u);
  auto done = link_->completion(parked);
  ASSERT_TRUE(done);
  EXPECT_EQ(done->status, STATUS_SUCCESS);
  EXPECT_EQ(done->information, 0u);

  // Cancel command: the parked request ends cancelled.
  const std::uint64_t again = park(IOCTL_ZEK_EVENT_SLOT_3);
  ZekEventSlotRecord cancel{ZEK_EVENT_SLOT_CANCEL, 0};
  EXPECT_EQ(call(file_, IOCTL_ZEK_EVENT_SLOT_3, &cancel).status, STATUS_SUCCESS);
  EXPECT_EQ(status_of(again), STATUS_CANCELLED);
  EXPECT_EQ(link_->completion(again)->information, 0u);
}

TEST_F(Dispatch, EventSlotRefusesEmptyAndOccupiedSlotsAndKeepsSlotsApart) {
  ZekEventSlotRecord signal{ZEK_EVENT_SLOT_SIGNAL, 0};
  EXPECT_EQ(call(file_, IOCTL_ZEK_EVENT_SLOT_0, &signal).status, STATUS_INVALID_DEVICE_STATE) << "empty slot";
  ZekEventSlotRecord cancel{ZEK_EVENT_SLOT_CANCEL, 0};
  EXPECT_EQ(call(file_, IOCTL_ZEK_EVENT_SLOT_0, &cancel).status, STATUS_INVALID_DEVICE_STATE) << "empty slot";

  const std::uint64_t first = park(IOCTL_ZEK_EVENT_SLOT_5);
  const std::uint64_t second = park(IOCTL_ZEK_EVENT_SLOT_5);
  EXPECT_EQ(status_of(second), STATUS_INVALID_DEVICE_STATE) << "occupied slot";
  EXPECT_TRUE(pending(first));
  const std::uint64_t other = park(IOCTL_ZEK_EVENT_SLOT_19);
  EXPECT_TRUE(pending(other));

  EXPECT_EQ(call(file_, IOCTL_ZEK_EVENT_SLOT_19, &signal).status, STATUS_SUCCESS);
  EXPECT_EQ(status_of(other), STATUS_SUCCESS);
  EXPECT_TRUE(pending(first)) << "another slot's signal leaves it parked";
  EXPECT_EQ(call(file_, IOCTL_ZEK_EVENT_SLOT_5, &signal).status, STATUS_SUCCESS);
  EXPECT_EQ(status_of(first), STATUS_SUCCESS);
}

TEST_F(Dispatch, EventSlotOtherCommandsCompleteWithErrorStatusesOnly) {
  struct Case {
    std::uint32_t command;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {static_cast<std::uint32_t>(STATUS_ACCESS_DENIED), STATUS_ACCESS_DENIED},
      {static_cast<std::uint32_t>(STATUS_CONNECTION_REFUSED), STATUS_CONNECTION_REFUSED},
      {1, STATUS_INVALID_PARAMETER},
      {0x104, STATUS_INVALID_PARAMETER},
      {static_cast<std::uint32_t>(STATUS_BUFFER_OVERFLOW), STATUS_INVALID_PARAMETER},
      {0x40000000, STATUS_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    ZekEventSlotRecord record{c.command, 0};
    const auto answer = call(file_, IOCTL_ZEK_EVENT_SLOT_9, &record);
    EXPECT_EQ(answer.status, c.expected) << std::hex << c.command;
    EXPECT_EQ(answer.information, 0u);
  }
}

// A parked request belongs to the cancel-safe queue: CancelIo of its thread
// and the end of its process both take it out of its slot.
TEST_F(Dispatch, ParkedRequestsAreCancelledByCancelIoAndByProcessExit) {
  const std::int64_t thread = 0x7001;
  const std::uint64_t by_cancel = park(IOCTL_ZEK_EVENT_SLOT_1, thread);
  const std::uint64_t by_exit = park(IOCTL_ZEK_EVENT_SLOT_2);
  EXPECT_EQ(io_->user_cancel(caller(thread), file_), STATUS_SUCCESS);
  EXPECT_EQ(status_of(by_cancel), STATUS_CANCELLED);
  EXPECT_TRUE(pending(by_exit));
  // The slot is free again.
  const std::uint64_t reparked = park(IOCTL_ZEK_EVENT_SLOT_1);
  EXPECT_TRUE(pending(reparked));

  io_->detach_process(*process_);
  process_.reset();
  EXPECT_EQ(status_of(by_exit), STATUS_CANCELLED);
  EXPECT_EQ(status_of(reparked), STATUS_CANCELLED);
  EXPECT_EQ(io_->irps_in_flight(), 0u);
}

// ---- NetworkDirect requests waiting under a key -------------------------------------------------------

TEST_F(Dispatch, CompleteQueuedIrpsCompletesByKeyWithTheReasonsStatus) {
  constexpr std::uint64_t kCq = 0xFFFF800000001000ull;
  struct Case {
    ULONG reason;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {0, STATUS_SUCCESS}, {90, STATUS_CONNECTION_REFUSED}, {1, STATUS_CANCELLED}, {7, STATUS_CANCELLED}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    const std::uint64_t a = wait_on(IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION, kCq);
    const std::uint64_t b = wait_on(IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION, kCq);
    const std::uint64_t other = wait_on(IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION, kCq + 8);
    EXPECT_TRUE(pending(a) && pending(b) && pending(other));
    EXPECT_EQ(ZpxCompleteQueuedIrps(kCq, c.reason, FALSE), 1u);
    EXPECT_EQ(status_of(a), c.expected) << "oldest first";
    EXPECT_EQ(link_->completion(a)->information, 0u);
    EXPECT_TRUE(pending(b));
    EXPECT_EQ(ZpxCompleteQueuedIrps(kCq + 8, c.reason, TRUE), 1u);
    EXPECT_EQ(status_of(other), c.expected);
    EXPECT_EQ(ZpxCompleteQueuedIrps(kCq, c.reason, TRUE), 1u);
    EXPECT_EQ(status_of(b), c.expected);
  }
  EXPECT_EQ(ZpxCompleteQueuedIrps(kCq, 0, TRUE), 0u);
  EXPECT_EQ(ZpxCompleteQueuedIrps(0, 0, TRUE), 0u) << "a null context does nothing";
}

TEST_F(Dispatch, WaitsWithABadKeyFail) {
  for (const ULONG code :
       {IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION, IOCTL_ZEK_IWARP_NDI_WAIT_ON_CONNECTION_REQUEST}) {
    for (const std::uint64_t key : {std::uint64_t{0}, std::uint64_t{0xCCCCCCCC}}) {
      const std::uint64_t id = wait_on(code, key);
      EXPECT_EQ(status_of(id), STATUS_UNSUCCESSFUL);
    }
  }
}

TEST_F(Dispatch, CancelCompletionNotificationCancelsEveryRequestOfThatQueue) {
  const std::uint64_t a = wait_on(IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION, 0x5000);
  const std::uint64_t b = wait_on(IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION, 0x5000);
  const std::uint64_t other = wait_on(IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION, 0x6000);
  ZekNdCancelNotificationRecord cancel{0x5000, 0xFFFFFFFF, 0};
  const auto answer = call(file_, IOCTL_ZEK_IWARP_CANCEL_COMPLETION_NOTIFICATION, &cancel);
  EXPECT_EQ(answer.status, STATUS_SUCCESS);
  EXPECT_EQ(answer.information, 8u);
  EXPECT_EQ(status_of(a), STATUS_CANCELLED);
  EXPECT_EQ(status_of(b), STATUS_CANCELLED);
  EXPECT_TRUE(pending(other));
  ZekNdCancelNotificationRecord bad{0, 0, 0};
  EXPECT_EQ(call(file_, IOCTL_ZEK_IWARP_CANCEL_COMPLETION_NOTIFICATION, &bad).status, STATUS_UNSUCCESSFUL);
}

TEST_F(Dispatch, CompleteConnectionRequestCompletesOneWaitWithTheGivenOutcome) {
  struct Case {
    std::uint32_t outcome;
    NTSTATUS expected;
  };
  const Case cases[] = {{ZEK_ND_CONNECTION_ACCEPT, STATUS_SUCCESS},
                        {ZEK_ND_CONNECTION_REFUSE, STATUS_CONNECTION_REFUSED},
                        {5, STATUS_CANCELLED}};
  for (const Case& c : cases) {
    const std::uint64_t first = wait_on(IOCTL_ZEK_IWARP_NDI_WAIT_ON_CONNECTION_REQUEST, 3);
    const std::uint64_t second = wait_on(IOCTL_ZEK_IWARP_NDI_WAIT_ON_CONNECTION_REQUEST, 3);
    ZekNdCompleteConnectionRecord complete{3, c.outcome, 0};
    const auto answer = call(file_, IOCTL_ZEK_IWARP_NDI_COMPLETE_CONNECTION_REQUEST, &complete);
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.information, 16u);
    EXPECT_EQ(status_of(first), c.expected) << c.outcome;
    EXPECT_TRUE(pending(second));
    EXPECT_EQ(ZpxCompleteQueuedIrps(3, 1, TRUE), 1u);
  }
  // No waiter: still answered.
  ZekNdCompleteConnectionRecord nobody{42, 0, 0};
  EXPECT_EQ(call(file_, IOCTL_ZEK_IWARP_NDI_COMPLETE_CONNECTION_REQUEST, &nobody).status, STATUS_SUCCESS);
}

// Connection handles are small numbers, like slot numbers: the two kinds of
// key never meet.
TEST_F(Dispatch, KeyedWaitsAndParkedSlotsDoNotMeet) {
  const std::uint64_t wait = wait_on(IOCTL_ZEK_IWARP_NDI_WAIT_ON_CONNECTION_REQUEST, 4);
  const std::uint64_t parked = park(IOCTL_ZEK_EVENT_SLOT_4);
  EXPECT_TRUE(pending(parked)) << "a keyed wait does not occupy the slot";
  EXPECT_EQ(ZpxCompleteQueuedIrps(4, 0, TRUE), 1u);
  EXPECT_EQ(status_of(wait), STATUS_SUCCESS);
  EXPECT_TRUE(pending(parked));
  ZekEventSlotRecord signal{ZEK_EVENT_SLOT_SIGNAL, 0};
  EXPECT_EQ(call(file_, IOCTL_ZEK_EVENT_SLOT_4, &signal).status, STATUS_SUCCESS);
  EXPECT_EQ(status_of(parked), STATUS_SUCCESS);
}

TEST_F(Dispatch, KeyedWaitsEndCancelledWhenTheirProcessGoes) {
  const std::uint64_t wait = wait_on(IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION, 0x9000);
  io_->detach_process(*process_);
  process_.reset();
  EXPECT_EQ(status_of(wait), STATUS_CANCELLED);
  EXPECT_EQ(ZpxCompleteQueuedIrps(0x9000, 0, TRUE), 0u);
}

// ---- The log requests -------------------------------------------------------------------------------

class LogRequests : public Dispatch {
 protected:
  static constexpr std::size_t kPage = 4096;
  void SetUp() override {
    Dispatch::SetUp();
    pages_ = static_cast<char*>(mmap(nullptr, 3 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages_, MAP_FAILED);
    std::memset(pages_, '#', 3 * kPage);
  }
  void TearDown() override {
    munmap(pages_, 3 * kPage);
    Dispatch::TearDown();
  }
  FakeLink::Completion read(void* destination, std::uint32_t offset, std::uint32_t size, ZekLogBufParam* param) {
    *param = ZekLogBufParam{reinterpret_cast<std::uint64_t>(destination), offset, size, 0x77, 0};
    return call(file_, IOCTL_ZEK_READ_LOG_BUF, param);
  }
  char* pages_ = nullptr;
};

TEST_F(LogRequests, SizeReadAndClear) {
  ZekLogBufParam size{0x1234, 5, 0x100000, 0x77, 0};
  auto answer = call(file_, IOCTL_ZEK_GET_LOG_BUF_SIZE, &size);
  EXPECT_EQ(answer.status, STATUS_SUCCESS);
  EXPECT_EQ(answer.information, 24u);
  EXPECT_EQ(size.Size, 0x400000u);
  EXPECT_EQ(size.Buffer, 0x1234u) << "other fields come back as sent";
  EXPECT_EQ(size.Offset, 5u);
  EXPECT_EQ(size.Status, 0x77u);

  OSPrimLogRingClear();
  OSPrimMemoryLogging("first record\n");
  ZekLogBufParam param;
  answer = read(pages_, 0, 4096, &param);
  EXPECT_EQ(answer.status, STATUS_SUCCESS);
  EXPECT_EQ(answer.information, 24u);
  EXPECT_EQ(param.Size, 4096u);
  EXPECT_EQ(param.Status, 0x77u);
  const std::string text(pages_, std::strlen(pages_));
  EXPECT_NE(text.find("first record"), std::string::npos);
  EXPECT_EQ(pages_[4096], '#') << "nothing past the requested count";

  std::uint32_t cleared = 0xFFFFFFFF;
  answer = call(file_, IOCTL_ZEK_CLEAR_LOG_BUF, &cleared, 0, 4);
  EXPECT_EQ(answer.status, STATUS_SUCCESS);
  EXPECT_EQ(answer.information, 4u);
  EXPECT_EQ(ring_text(), "");
  EXPECT_EQ(read(pages_, 0, 4096, &param).status, STATUS_SUCCESS);
  EXPECT_EQ(pages_[0], '\0');
}

// The read stays inside the ring and writes only into the caller's own,
// writable memory.
TEST_F(LogRequests, ReadIsBoundedByTheRingAndByTheCallersBuffer) {
  ZekLogBufParam param;
  // Running past the ring's end: cut at it.
  auto answer = read(pages_, ZEK_LOG_BUF_BYTES - 100, 4096, &param);
  EXPECT_EQ(answer.status, STATUS_SUCCESS);
  EXPECT_EQ(param.Size, 100u);
  EXPECT_EQ(pages_[99], '\0');
  EXPECT_EQ(pages_[100], '#');
  // Starting beyond it: refused, nothing written.
  std::memset(pages_, '#', kPage);
  answer = read(pages_, ZEK_LOG_BUF_BYTES, 16, &param);
  EXPECT_EQ(answer.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(answer.information, 0u);
  EXPECT_EQ(pages_[0], '#');
  answer = read(pages_, 0xFFFFFF00u, 0x200, &param);
  EXPECT_EQ(answer.status, STATUS_INVALID_PARAMETER);

  // A destination the caller cannot write: refused, nothing locked or written.
  mprotect(pages_ + kPage, kPage, PROT_READ);
  mprotect(pages_ + 2 * kPage, kPage, PROT_NONE);
  const std::uint64_t blocks = kernel().pool().blocks_in_use();
  struct Case {
    const char* what;
    void* destination;
  };
  const Case cases[] = {
      {"read-only page", pages_ + kPage},
      {"inaccessible page", pages_ + 2 * kPage},
      {"range running into a read-only page", pages_ + kPage - 16},
      {"kernel address", reinterpret_cast<void*>(0xFFFF800000000000ull)},
      {"null", nullptr},
  };
  for (const Case& c : cases) {
    answer = read(c.destination, 0, 64, &param);
    EXPECT_EQ(answer.status, STATUS_INVALID_USER_BUFFER) << c.what;
    EXPECT_EQ(kernel().pool().blocks_in_use(), blocks) << c.what;
  }
  EXPECT_EQ(pages_[kPage - 16], '#');
}

}  // namespace
