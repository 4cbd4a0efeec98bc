// The hardware-object requests through the dispatcher: refused to a process
// without the administrator's privilege, bounded for one with it, and the
// caller's objects filled with the caller's own addresses.
#include <gtest/gtest.h>

#include <vector>

#include "include/zek/mifh.h"
#include "include/zek/mifh_requests.h"
#include "tests/proxy/core/second_process.h"

namespace {

class MifhRequests : public LoadedProxyTest {
 protected:
  template <typename Record>
  FakeLink::Completion request(ULONG code, Record* record) {
    return call(file_, code, record);
  }
};

// Every request of the family from a process that is not the administrator
// is refused before anything is read from or written to its objects.
TEST_F(MifhRequests, AProcessWithoutThePrivilegeIsRefusedEveryRequest) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: the unprivileged process is a child that gives root up";
  std::vector<std::uint8_t> records(ZEK_IOCTL_COUNT * 64, 0);
  SecondProcess nobody;
  ASSERT_TRUE(nobody.start(*io_, true));
  std::size_t i = 0;
  for (const ZekIoctlInfo& info : ZekIoctlTable) {
    if (info.family != ZekIoctlFamily::HARDWARE_OBJECTS) continue;
    SCOPED_TRACE(info.name);
    void* record = records.data() + 64 * i;
    const std::uint64_t id = nobody.send(1000 + i++, info.code, record, info.record_bytes, info.record_bytes);
    EXPECT_EQ(nobody.status(id), STATUS_ACCESS_DENIED);
  }
  EXPECT_NE(ring_text().find("refused to a caller without the privilege"), std::string::npos);
}

// Counts and ids at their bounds; the status each answers in the record.
TEST_F(MifhRequests, CountsAndIdsAreBounded) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: the requests are the administrator's";
  std::vector<std::uint8_t> device(MIFH_REQ_DEVICE_BYTES), object(MIFH_REQ_CQ_OBJECT_BYTES);
  std::vector<std::uint8_t> elements(std::size_t{0x8000} * MIFH_REQ_CEQE_BYTES);
  const auto address = [](auto& v) { return reinterpret_cast<std::uint64_t>(v.data()); };
  struct Case {
    const char* what;
    ULONG code;
    std::uint32_t count;
    std::uint32_t status;
  };
  const Case queues[] = {
      {"AEQ of none", IOCTL_ZEK_MIFH_AEQ_INIT, 0, MIFH_REQ_STATUS_BAD_COUNT},
      {"AEQ of 16", IOCTL_ZEK_MIFH_AEQ_INIT, 16, MIFH_REQ_STATUS_OK},
      {"AEQ past its bound", IOCTL_ZEK_MIFH_AEQ_INIT, MIFH_REQ_AEQ_MAX_ELEMENTS + 1, MIFH_REQ_STATUS_BAD_COUNT},
      {"CEQ at its bound", IOCTL_ZEK_MIFH_CEQ_INIT, MIFH_REQ_CEQ_MAX_ELEMENTS, MIFH_REQ_STATUS_OK},
      {"CEQ past its bound", IOCTL_ZEK_MIFH_CEQ_INIT, MIFH_REQ_CEQ_MAX_ELEMENTS + 1, MIFH_REQ_STATUS_BAD_COUNT},
      {"CCQ of 64", IOCTL_ZEK_MIFH_CCQ_INIT, 64, MIFH_REQ_STATUS_OK},
      {"CCQ past its bound", IOCTL_ZEK_MIFH_CCQ_INIT, MIFH_REQ_CQ_MAX_ELEMENTS + 1, MIFH_REQ_STATUS_BAD_COUNT},
  };
  for (const Case& c : queues) {
    SCOPED_TRACE(c.what);
    MifhReqQueueInit r{address(device), address(object), address(elements), 0x123000, c.count, 0xFFFF};
    EXPECT_EQ(request(c.code, &r).status, STATUS_SUCCESS);
    EXPECT_EQ(r.Status, c.status) << ring_text();
  }
  // An element array the caller does not have is not mapped.
  MifhReqQueueInit missing{address(device), address(object), 0, 0, 16, 0xFFFF};
  EXPECT_EQ(request(IOCTL_ZEK_MIFH_CEQ_INIT, &missing).status, STATUS_SUCCESS);
  EXPECT_EQ(missing.Status, MIFH_REQ_STATUS_FAIL);
  EXPECT_NE(ring_text().find("MIFH_CEQ_INIT: pElements mapping failue."), std::string::npos);

  for (const auto& [id, status] :
       {std::pair{MIFH_REQ_MAX_PD_ID, MIFH_REQ_STATUS_OK}, std::pair{MIFH_REQ_MAX_PD_ID + 1, MIFH_REQ_STATUS_BAD_PD}}) {
    MifhReqPdInit r{address(device), address(object), id, 0xFFFF};
    EXPECT_EQ(request(IOCTL_ZEK_MIFH_PD_INIT, &r).status, STATUS_SUCCESS);
    EXPECT_EQ(r.Status, status) << id;
  }
  for (const auto& [id, status] : {std::pair{MIFH_REQ_AEQ_IDS - 1, MIFH_REQ_STATUS_REFUSED},
                                   std::pair{MIFH_REQ_AEQ_IDS, MIFH_REQ_STATUS_BAD_ID}}) {
    MifhReqEqCreate r{address(object), id, 0, {}, 0xFFFF, 0};
    EXPECT_EQ(request(IOCTL_ZEK_MIFH_AEQ_CREATE, &r).status, STATUS_SUCCESS);
    EXPECT_EQ(r.Status, status) << id;
  }
  MifhReqUpload upload{address(elements), 0, 1, 0, {}, 0xFFFF, 0};
  EXPECT_EQ(request(IOCTL_ZEK_MIFH_UPLOAD_TCP_CONTEXT, &upload).status, STATUS_SUCCESS);
  EXPECT_EQ(upload.Status, MIFH_REQ_STATUS_BAD_ID) << "QP 0 is none the adapter has";
  std::uint8_t none[8] = {};
  EXPECT_EQ(call(file_, IOCTL_ZEK_MIFH_210, none, 0, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(call(file_, IOCTL_ZEK_MIFH_210, none, 0, 0).information, 0u);
}

// The init requests fill the caller's objects with the caller's own
// addresses: nothing of the kernel's is left in them.
TEST_F(MifhRequests, InitRequestsFillTheCallersObjectsWithItsOwnAddresses) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: the requests are the administrator's";
  MifhDeviceObj device{};
  alignas(8) std::uint8_t object[MIFH_REQ_CQ_OBJECT_BYTES] = {};
  std::vector<std::uint64_t> ceqes(32, ~0ull);
  MifhReqQueueInit ceq{reinterpret_cast<std::uint64_t>(&device),
                       reinterpret_cast<std::uint64_t>(object),
                       reinterpret_cast<std::uint64_t>(ceqes.data()),
                       0x456000,
                       32,
                       0xFFFF};
  ASSERT_EQ(request(IOCTL_ZEK_MIFH_CEQ_INIT, &ceq).status, STATUS_SUCCESS);
  ASSERT_EQ(ceq.Status, MIFH_REQ_STATUS_OK);
  const auto* q = reinterpret_cast<const MifhCeqObject*>(object);
  EXPECT_EQ(q->Device, &device);
  EXPECT_EQ(q->Ring, ceqes.data());
  EXPECT_EQ(q->RingPa, 0x456000u);
  EXPECT_EQ(q->ElementCount, 32u);
  EXPECT_EQ(ceqes, std::vector<std::uint64_t>(32, 0)) << "the CEQ's elements are zeroed";

  std::vector<std::uint8_t> aeqes(16 * MIFH_REQ_AEQE_BYTES);
  MifhReqQueueInit aeq{reinterpret_cast<std::uint64_t>(&device),
                       reinterpret_cast<std::uint64_t>(object),
                       reinterpret_cast<std::uint64_t>(aeqes.data()),
                       0x789000,
                       16,
                       0xFFFF};
  ASSERT_EQ(request(IOCTL_ZEK_MIFH_AEQ_INIT, &aeq).status, STATUS_SUCCESS);
  ASSERT_EQ(aeq.Status, MIFH_REQ_STATUS_OK);
  EXPECT_EQ(reinterpret_cast<void*>(device.Aeq), static_cast<void*>(object)) << "the device's AEQ is the caller's";
  EXPECT_EQ(reinterpret_cast<const MifhAeqObject*>(object)->Ring, aeqes.data());

  std::vector<std::uint8_t> cqes(64 * MIFH_REQ_CQE_BYTES, 0xEE);
  MifhReqQueueInit ccq{reinterpret_cast<std::uint64_t>(&device),
                       reinterpret_cast<std::uint64_t>(object),
                       reinterpret_cast<std::uint64_t>(cqes.data()),
                       0xABC000,
                       64,
                       0xFFFF};
  ASSERT_EQ(request(IOCTL_ZEK_MIFH_CCQ_INIT, &ccq).status, STATUS_SUCCESS);
  ASSERT_EQ(ccq.Status, MIFH_REQ_STATUS_OK);
  const auto* cq = reinterpret_cast<const MifhCqObject*>(object);
  EXPECT_EQ(cq->Ring, cqes.data());
  EXPECT_EQ(cq->Device, &device);
  EXPECT_EQ(cq->Kind, 2u) << "a control completion queue";
  EXPECT_EQ(cqes, std::vector<std::uint8_t>(cqes.size(), 0));
}

}  // namespace
