// The multicast receive queue's requests through the dispatcher, with no
// adapter attached: malformed and foreign requests get their status in the
// record and leave the driver as it was; the parked-slot protocol that
// follows each request parks and completes only the caller's own request.
// (A queue on an adapter, between two hosts: mcrq_lab_test.cpp.)
#include <gtest/gtest.h>

#include "include/zek/mcrq.h"
#include "tests/proxy/core/proxy_fixture.h"

namespace {

using McrqRequests = LoadedProxyTest;

TEST_F(McrqRequests, MalformedAndForeignRecordsGetTheirStatus) {
  ZekMcrqGetAdapterRecord get{};
  get.AdapterNumber = 7;
  std::memset(get.Host, 'x', sizeof get.Host);  // not terminated
  ASSERT_EQ(call(file_, IOCTL_ZEK_MCRQ_GET_ADAPTER, &get).status, STATUS_SUCCESS);
  EXPECT_EQ(get.Status, ZEK_MCRQ_STATUS_OK);
  EXPECT_EQ(get.AdapterNumber, 0u);

  struct OpenCase {
    const char* what;
    std::uint32_t adapter;
    std::uint32_t map_doorbell;
  };
  for (const OpenCase& c : {OpenCase{"adapter 16", 16, 0}, OpenCase{"adapter 0xFFFFFFFF", 0xFFFFFFFF, 0},
                            OpenCase{"the doorbell page asked for", 0, 1}, OpenCase{"no adapter attached", 0, 0}}) {
    ZekMcrqOpenRecord open{};
    open.AdapterNumber = c.adapter;
    open.MapDoorbell = c.map_doorbell;
    open.Status = 0xFFFF;
    const auto answer = call(file_, IOCTL_ZEK_MCRQ_OPEN_USER, &open);
    EXPECT_EQ(answer.status, STATUS_SUCCESS) << c.what;
    EXPECT_EQ(answer.information, sizeof open) << c.what;
    EXPECT_EQ(open.Status, ZEK_MCRQ_STATUS_FAIL) << c.what;
    EXPECT_EQ(open.BufferArea, 0u) << c.what;
  }

  // Requests on a queue that is not open, or with a handle past the table.
  for (const std::uint32_t handle : {0u, 15u, 16u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(handle);
    ZekMcrqHandleRecord arm{handle, 0, 0xFFFF, 0}, wake{handle, 0, 0xFFFF, 0};
    ZekMcrqPollRecord poll{handle, 0, 0, 0, 0xFFFF, 0};
    ZekMcrqReleaseRecord release{handle, 0, 1, 0xFFFF};
    ZekMcrqCloseRecord close{handle, 0xFFFF, 0};
    ZekMcrqDrainRecord drain{};
    drain.Handle = handle;
    drain.Count = 99;
    EXPECT_EQ(call(file_, IOCTL_ZEK_MCRQ_ARM, &arm).status, STATUS_SUCCESS);
    EXPECT_EQ(call(file_, IOCTL_ZEK_MCRQ_WAKE_DRAIN, &wake).status, STATUS_SUCCESS);
    EXPECT_EQ(call(file_, IOCTL_ZEK_MCRQ_POLL_COMPLETION, &poll).status, STATUS_SUCCESS);
    EXPECT_EQ(call(file_, IOCTL_ZEK_MCRQ_RELEASE_BUFFERS, &release).status, STATUS_SUCCESS);
    EXPECT_EQ(call(file_, IOCTL_ZEK_MCRQ_CLOSE, &close).status, STATUS_SUCCESS);
    EXPECT_EQ(call(file_, IOCTL_ZEK_MCRQ_DRAIN, &drain).status, STATUS_SUCCESS);
    for (const std::uint32_t status :
         {arm.Status, wake.Status, poll.Status, release.Status, close.Status, drain.Status}) {
      EXPECT_EQ(status, ZEK_MCRQ_STATUS_INVALID_HANDLE);
    }
    EXPECT_EQ(drain.Count, 0u);
  }

  // Records shorter than their code's are refused before any handler.
  ZekMcrqDrainRecord drain{};
  EXPECT_EQ(call(file_, IOCTL_ZEK_MCRQ_DRAIN, &drain, sizeof drain - 4, sizeof drain).status, STATUS_BUFFER_TOO_SMALL);
  ZekMcrqOpenRecord open{};
  EXPECT_EQ(call(file_, IOCTL_ZEK_MCRQ_OPEN_USER, &open, sizeof open, 64).status, STATUS_BUFFER_TOO_SMALL);
}

// 0x103 in the record's first word parks the request in the code's slot;
// the caller's next request on that code (a handle of 0) completes it, and
// itself completes with its whole record.
TEST_F(McrqRequests, TheSlotProtocolFollowsEachRequest) {
  ZekMcrqHandleRecord park{ZEK_EVENT_SLOT_PARK, 0, 0xFFFF, 0};
  const std::uint64_t parked = send(file_, IOCTL_ZEK_MCRQ_ARM, &park, sizeof park, &park, sizeof park);
  EXPECT_TRUE(pending(parked));

  ZekMcrqHandleRecord arm{0, 0, 0xFFFF, 0};
  const auto answer = call(file_, IOCTL_ZEK_MCRQ_ARM, &arm);
  EXPECT_EQ(answer.status, STATUS_SUCCESS);
  EXPECT_EQ(answer.information, sizeof arm) << "the record comes back whole";
  EXPECT_EQ(arm.Status, ZEK_MCRQ_STATUS_INVALID_HANDLE);
  auto done = link_->completion(parked);
  ASSERT_TRUE(done);
  EXPECT_EQ(done->status, STATUS_SUCCESS);

  // With nothing parked, a handle of 0 completes only itself.
  EXPECT_EQ(call(file_, IOCTL_ZEK_MCRQ_ARM, &arm).status, STATUS_SUCCESS);
}

}  // namespace
