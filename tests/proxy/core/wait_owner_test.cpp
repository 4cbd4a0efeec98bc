// Waiting requests belong to the process that sent them: a second process
// (a forked child, attached as a user process of its own) uses the same
// keys and slots as the first and reaches only its own waits.
#include <gtest/gtest.h>

#include "tests/proxy/core/second_process.h"

namespace {

constexpr std::uint64_t kKey = 0xFFFF800000004000ull;

class WaitOwners : public LoadedProxyTest {
 protected:
  void SetUp() override {
    LoadedProxyTest::SetUp();
    if (HasFatalFailure()) return;
    // The records both processes send, written before the fork so that the
    // child (whose memory the host reads for its requests) holds them too.
    wait_ = ZekNdWaitRecord{kKey};
    cancel_ = ZekNdCancelNotificationRecord{kKey, 0xFFFFFFFF, 0};
    accept_ = ZekNdCompleteConnectionRecord{kKey, ZEK_ND_CONNECTION_ACCEPT, 0};
    park_ = ZekEventSlotRecord{ZEK_EVENT_SLOT_PARK, 0};
    signal_ = ZekEventSlotRecord{ZEK_EVENT_SLOT_SIGNAL, 0};
    process_b_ = std::make_unique<SecondProcess>();
    ASSERT_TRUE(process_b_->start(*io_, false));
  }
  void TearDown() override {
    ZpxSetQueueKeyOwnerRoutine(nullptr);
    process_b_.reset();
    ProxyTest::TearDown();
  }

  // Process A's and process B's requests; each returns the request's id.
  std::uint64_t a(ULONG code, void* record, ULONG in, ULONG out) { return send(file_, code, record, in, record, out); }
  std::uint64_t b(ULONG code, void* record, ULONG in, ULONG out) {
    return process_b_->send(++next_request_, code, record, in, out);
  }
  bool pending_a(std::uint64_t id) { return pending(id); }
  bool pending_b(std::uint64_t id) { return process_b_->pending(id); }
  NTSTATUS status_a(std::uint64_t id) {
    auto c = link_->completion(id);
    return c ? c->status : STATUS_PENDING;
  }
  NTSTATUS status_b(std::uint64_t id) { return process_b_->status(id); }

  std::unique_ptr<SecondProcess> process_b_;
  ZekNdWaitRecord wait_{};
  ZekNdCancelNotificationRecord cancel_{};
  ZekNdCompleteConnectionRecord accept_{};
  ZekEventSlotRecord park_{}, signal_{};
};

// Both processes wait under one key; each one's cancel and completion reach
// its own waits only.
TEST_F(WaitOwners, CancelAndCompleteReachOnlyTheCallersOwnWaits) {
  const struct {
    const char* what;
    ULONG wait_code;
    ULONG end_code;
    void* end_record;
    ULONG end_bytes;
    NTSTATUS ended;
  } cases[] = {
      {"notification cancelled", IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION,
       IOCTL_ZEK_IWARP_CANCEL_COMPLETION_NOTIFICATION, &cancel_, sizeof cancel_, STATUS_CANCELLED},
      {"connection completed", IOCTL_ZEK_IWARP_NDI_WAIT_ON_CONNECTION_REQUEST,
       IOCTL_ZEK_IWARP_NDI_COMPLETE_CONNECTION_REQUEST, &accept_, sizeof accept_, STATUS_SUCCESS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::uint64_t wait_a = a(c.wait_code, &wait_, sizeof wait_, 0);
    const std::uint64_t wait_b = b(c.wait_code, &wait_, sizeof wait_, 0);
    ASSERT_TRUE(pending_a(wait_a));
    ASSERT_TRUE(pending_b(wait_b));

    const std::uint64_t by_b = b(c.end_code, c.end_record, c.end_bytes, c.end_bytes);
    EXPECT_EQ(status_b(by_b), STATUS_SUCCESS);
    EXPECT_EQ(status_b(wait_b), c.ended);
    EXPECT_TRUE(pending_a(wait_a)) << "another process's request reached this process's wait";

    const std::uint64_t by_a = a(c.end_code, c.end_record, c.end_bytes, c.end_bytes);
    EXPECT_EQ(status_a(by_a), STATUS_SUCCESS);
    EXPECT_EQ(status_a(wait_a), c.ended);
  }
}

// Each process has its own slots: both park in slot 3, and each signal
// completes the signaller's parked request only.
TEST_F(WaitOwners, EventSlotsAreEachProcesssOwn) {
  const std::uint64_t parked_a = a(IOCTL_ZEK_EVENT_SLOT_3, &park_, sizeof park_, sizeof park_);
  const std::uint64_t parked_b = b(IOCTL_ZEK_EVENT_SLOT_3, &park_, sizeof park_, sizeof park_);
  ASSERT_TRUE(pending_a(parked_a));
  ASSERT_TRUE(pending_b(parked_b)) << "the other process's request does not occupy this process's slot";

  EXPECT_EQ(status_b(b(IOCTL_ZEK_EVENT_SLOT_3, &signal_, sizeof signal_, sizeof signal_)), STATUS_SUCCESS);
  EXPECT_EQ(status_b(parked_b), STATUS_SUCCESS);
  EXPECT_TRUE(pending_a(parked_a));
  EXPECT_EQ(status_b(b(IOCTL_ZEK_EVENT_SLOT_3, &signal_, sizeof signal_, sizeof signal_)), STATUS_INVALID_DEVICE_STATE)
      << "B's slot is empty: A's parked request is not B's to complete";
  EXPECT_TRUE(pending_a(parked_a));

  EXPECT_EQ(status_a(a(IOCTL_ZEK_EVENT_SLOT_3, &signal_, sizeof signal_, sizeof signal_)), STATUS_SUCCESS);
  EXPECT_EQ(status_a(parked_a), STATUS_SUCCESS);
}

// With the owner routine of the keys' service installed, a process cannot
// wait under another's object, and the driver's completion of an object
// reaches its owner's waits.
TEST_F(WaitOwners, AKeyOfAnotherProcesssObjectIsRefusedAndCompletesItsOwner) {
  static pid_t owner;
  owner = getpid();
  ZpxSetQueueKeyOwnerRoutine([](ULONG64 key) { return key == kKey ? static_cast<ULONG64>(owner) : ZPX_ANY_OWNER; });

  const std::uint64_t wait_a = a(IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION, &wait_, sizeof wait_, 0);
  const std::uint64_t wait_b = b(IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION, &wait_, sizeof wait_, 0);
  ASSERT_TRUE(pending_a(wait_a));
  EXPECT_EQ(status_b(wait_b), STATUS_ACCESS_DENIED);

  EXPECT_EQ(ZpxCompleteQueuedIrps(kKey, ZPX_COMPLETE_SUCCESS, TRUE), 1u);
  EXPECT_EQ(status_a(wait_a), STATUS_SUCCESS);
}

}  // namespace
