// The verbs control requests over an attached simulated adapter, sent as a
// user process sends them: this test process is the caller (its memory the
// caller's, the user-access objects mapped into it), another process id the
// stranger. Each handler is given the request as the dispatcher gives it.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/syscall.h>

#include <cstring>
#include <mutex>

#include "include/hw/cqp.h"
#include "include/hw/wqe.h"
#include "include/zek/ioctl.h"
#include "include/zek/verbs_requests.h"
#include "platform/kernel/io/iomgr.h"
#include "proxy/core/verbs_requests.h"
#include "tests/proxy/rdma/verbs/verbs_fixture.h"

namespace {

using verbstest::VerbsTest;

// The process side of the I/O manager: memory segments mapped here; register
// pages get an inaccessible page (nothing in these tests writes them).
class MapLink final : public plat::ProcessLink {
 public:
  void send_pending(std::uint64_t, NTSTATUS) override {}
  void send_complete(std::uint64_t, NTSTATUS, std::uint64_t, bool) override {}
  std::uint64_t map_memory(int fd, std::size_t pages) override {
    void* base = mmap(nullptr, pages * 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) return 0;
    std::lock_guard lock(mu_);
    ++maps_;
    return reinterpret_cast<std::uint64_t>(base);
  }
  std::uint64_t map_registers(std::size_t pages, int, std::uint64_t, std::uint64_t, int) override {
    void* base = mmap(nullptr, pages * 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return 0;
    std::lock_guard lock(mu_);
    ++maps_;
    return reinterpret_cast<std::uint64_t>(base);
  }
  bool unmap(std::uint64_t address, std::size_t pages) override {
    munmap(reinterpret_cast<void*>(address), pages * 4096);
    std::lock_guard lock(mu_);
    ++unmaps_;
    return true;
  }
  int live() {
    std::lock_guard lock(mu_);
    return maps_ - unmaps_;
  }
  int maps() {
    std::lock_guard lock(mu_);
    return maps_;
  }

 private:
  std::mutex mu_;
  int maps_ = 0;
  int unmaps_ = 0;
};

constexpr std::uintptr_t kStranger = 7301;

class VerbsRequestsTest : public VerbsTest {
 protected:
  void SetUp() override {
    VerbsTest::SetUp();
    if (HasFatalFailure()) return;
    io_ = std::make_unique<plat::IoManager>(kernel());
    link_ = std::make_shared<MapLink>();
    process_ = io_->attach_process(getpid(), link_);
    ASSERT_NE(process_, nullptr);
    device_.StackSize = 2;
    baseline_ = in_use();
  }
  void TearDown() override {
    if (adapter_ != 0) close_adapter();
    VerbsTest::TearDown();
    if (process_) io_->detach_process(*process_);
    process_.reset();
    io_.reset();
  }

  // One request of process `pid` (this process unless told), with the
  // dispatcher's record size; the handler's result.
  template <typename Record>
  ULONG send(ULONG code, Record* record, std::uintptr_t pid = 0, KPROCESSOR_MODE mode = UserMode) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    std::uint8_t buffer[8];
    PIRP irp = IoBuildDeviceIoControlRequest(code, &device_, buffer, sizeof buffer, buffer, sizeof buffer, FALSE,
                                             &done, &iosb);
    EXPECT_NE(irp, nullptr);
    irp->RequestorMode = mode;
    ULONG_PTR bytes = 0;
    ULONG result;
    {
      const auto tid = reinterpret_cast<HANDLE>(syscall(SYS_gettid));
      if (pid == 0) {
        plat::ClientContext as(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(getpid())), tid,
                               process_->eprocess());
        result = CommonIwarpIoctl(record, code, &bytes, irp);
      } else {
        plat::ClientContext as(reinterpret_cast<HANDLE>(pid), tid);
        result = CommonIwarpIoctl(record, code, &bytes, irp);
      }
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (result == 0) {
      EXPECT_EQ(bytes, sizeof(Record));
    }
    return result;
  }

  // The adapter of this process (the open comes as a kernel-mode request so
  // that no handle is needed for its clean-up context).
  std::uint64_t open_adapter() {
    ZekVreqOpen r{};
    const ZekVerbsAddress a = verbstest::address_of(verbstest::kSanAddress);
    std::memcpy(r.Selector, &a, sizeof r.Selector);
    r.ClientValue = 0x5151;
    EXPECT_EQ(send(IOCTL_ZEK_IWARP_OPEN, &r, 0, KernelMode), 0u);
    EXPECT_EQ(r.Status, ZEK_STATUS_PASS) << log_text();
    adapter_ = r.Adapter;
    return r.Adapter;
  }
  void close_adapter() {
    ZekVreqAdapter r{adapter_, 0xFFFF, 0};
    EXPECT_EQ(send(IOCTL_ZEK_IWARP_CLOSE, &r), 0u);
    EXPECT_EQ(r.Status, ZEK_STATUS_PASS);
    adapter_ = 0;
  }
  std::uint64_t pd() {
    ZekVreqPdAllocate r{adapter_, 0, 0x77, 0xFFFF, 0};
    EXPECT_EQ(send(IOCTL_ZEK_IWARP_PD_ALLOCATE, &r), 0u);
    EXPECT_EQ(r.Status, ZEK_STATUS_PASS);
    return r.Pd;
  }
  ZekVreqCqCreateUser user_cq(std::uint32_t entries = 64) {
    ZekVreqCqCreateUser r{};
    r.Adapter = adapter_;
    r.Page = 0xC0C0;
    r.Requested = entries;
    r.Handler = 0x401000;
    EXPECT_EQ(send(IOCTL_ZEK_IWARP_CQ_CREATE_W_USER_ACCESS, &r), 0u);
    EXPECT_EQ(r.Status, ZEK_STATUS_PASS) << log_text();
    return r;
  }
  ZekVreqQpCreateUser user_qp(std::uint64_t pd, std::uint64_t cq) {
    ZekVreqQpCreateUser r{};
    r.Adapter = adapter_;
    r.Create = qp_input(reinterpret_cast<void*>(pd), reinterpret_cast<void*>(cq), reinterpret_cast<void*>(cq));
    r.Page = 0xABCD;
    EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_CREATE_W_USER_ACCESS, &r), 0u);
    EXPECT_EQ(r.Status, ZEK_STATUS_PASS) << log_text();
    return r;
  }
  std::uint32_t destroy(ULONG code, std::uint64_t object) {
    ZekVreqObject r{adapter_, object, 0xFFFF, 0};
    EXPECT_EQ(send(code, &r), 0u);
    return r.Status;
  }

  DEVICE_OBJECT device_{};
  std::unique_ptr<plat::IoManager> io_;
  std::shared_ptr<MapLink> link_;
  std::shared_ptr<plat::UserProcess> process_;
  std::vector<std::uint32_t> baseline_;
  std::uint64_t adapter_ = 0;
};

// Handles that are not the caller's own objects get their INVALID status and
// change nothing: another process's adapter, a closed adapter, a forged
// pointer, the uninitialised pointer, the adapter handle given as a CQ, a
// freed CQ and a queue-pair id beyond the table.
TEST_F(VerbsRequestsTest, ForeignFreedAndForgedHandlesGetTheirInvalidStatus) {
  const std::uint64_t adapter = open_adapter();
  const std::uint64_t live_cq = user_cq().Cq;
  const std::uint64_t freed_cq = user_cq().Cq;
  ASSERT_EQ(destroy(IOCTL_ZEK_IWARP_CQ_DESTROY_W_USER_ACCESS, freed_cq), ZEK_STATUS_PASS);
  const struct {
    const char* what;
    std::uint64_t adapter;
    std::uint64_t cq;
    std::uintptr_t pid;
    std::uint32_t status;
  } cases[] = {
      {"another process's adapter", adapter, live_cq, kStranger, IWARP_STATUS_A_INVALID_RNIC_HANDLE},
      {"a forged adapter", 0xFFFF800012345000ull, live_cq, 0, IWARP_STATUS_A_INVALID_RNIC_HANDLE},
      {"the uninitialised pointer", ZEK_UNINITIALISED_POINTER, live_cq, 0, IWARP_STATUS_A_INVALID_RNIC_HANDLE},
      {"the adapter as a CQ", adapter, adapter, 0, IWARP_STATUS_CQ_INVALID_HANDLE},
      {"a freed CQ", adapter, freed_cq, 0, IWARP_STATUS_CQ_INVALID_HANDLE},
      {"a forged CQ", adapter, 0xFFFF800012345000ull, 0, IWARP_STATUS_CQ_INVALID_HANDLE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ZekVreqCqNotify arm{c.adapter, c.cq, 0, 0xFFFF};
    EXPECT_EQ(send(IOCTL_ZEK_IWARP_CQ_REQUEST_NOTIFICATION, &arm, c.pid), 0u);
    EXPECT_EQ(arm.Status, c.status);
    ZekVreqObject d{c.adapter, c.cq, 0xFFFF, 0};
    EXPECT_EQ(send(IOCTL_ZEK_IWARP_CQ_DESTROY, &d, c.pid), 0u);
    EXPECT_EQ(d.Status, c.status);
  }
  // A stranger can neither close the adapter nor reach its queue pairs.
  ZekVreqAdapter close{adapter, 0xFFFF, 0};
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_CLOSE, &close, kStranger), 0u);
  EXPECT_EQ(close.Status, IWARP_STATUS_A_INVALID_RNIC_HANDLE);
  ZekVreqRqEmpty empty{adapter, ZEK_VERBS_QP_TABLE_SIZE + 5, 7, {}, 0xFFFF};
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_IS_QP_RQ_EMPTY, &empty), 0u);
  EXPECT_EQ(empty.Status, IWARP_STATUS_QP_INVALID_HANDLE);
  EXPECT_EQ(empty.Empty, 7);
  // The live CQ is still there and still the caller's.
  EXPECT_EQ(destroy(IOCTL_ZEK_IWARP_CQ_DESTROY_W_USER_ACCESS, live_cq), ZEK_STATUS_PASS);
  close_adapter();
  EXPECT_EQ(in_use(), baseline_);
}

// A user-access CQ and QP: their rings and pages are mapped into the process
// whole (the rings are what the adapter uses: the QP page names them), and
// destroying them takes every mapping out again; the numbers go back.
TEST_F(VerbsRequestsTest, UserAccessObjectsMapTheirOwnPagesAndTakeThemAlong) {
  open_adapter();
  const ZekVreqCqCreateUser cq = user_cq(100);
  EXPECT_EQ(cq.Size, 100u);
  EXPECT_EQ(cq.RingSlots, 101u);
  EXPECT_NE(cq.Ring, 0u);
  EXPECT_NE(cq.Page, 0u);
  EXPECT_EQ(link_->live(), 2);
  const std::uint64_t domain = pd();
  const ZekVreqQpCreateUser qp = user_qp(domain, cq.Cq);
  EXPECT_EQ(link_->live(), 5);
  ASSERT_NE(qp.Page, 0u);
  const auto* page = reinterpret_cast<const std::uint8_t*>(qp.Page);
  std::uint64_t word = 0;
  std::memcpy(&word, page + ZEK_QP_PAGE_SQ_RING, 8);
  EXPECT_EQ(word, qp.SqRing);
  std::memcpy(&word, page + ZEK_QP_PAGE_RQ_BASE, 8);
  EXPECT_EQ(word, qp.RqRing);
  std::uint32_t entries = 0;
  std::memcpy(&entries, page + ZEK_QP_PAGE_SQ_ENTRIES, 4);
  EXPECT_EQ(entries, qp.SqSize);
  EXPECT_EQ(qp.QpId, qp.Qp);
  // The process sees the adapter's own send ring: its first slot carries the
  // tag the queue pair was created with.
  const auto* first = reinterpret_cast<const zekhw::MifhWqe*>(qp.SqRing);
  EXPECT_EQ(first->tag & 1, 1u);
  EXPECT_EQ(qp.Attributes.State, ZEK_QP_STATE_IDLE);

  // Another process cannot destroy them; the caller can.
  ZekVreqObject d{adapter_, qp.Qp, 0xFFFF, 0};
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_DESTROY_W_USER_ACCESS, &d, kStranger), 0u);
  EXPECT_EQ(d.Status, IWARP_STATUS_A_INVALID_RNIC_HANDLE);
  EXPECT_EQ(link_->live(), 5);
  EXPECT_EQ(destroy(IOCTL_ZEK_IWARP_QP_DESTROY_W_USER_ACCESS, qp.Qp), ZEK_STATUS_PASS);
  EXPECT_EQ(link_->live(), 2);
  EXPECT_EQ(destroy(IOCTL_ZEK_IWARP_QP_DESTROY_W_USER_ACCESS, qp.Qp), IWARP_STATUS_QP_INVALID_HANDLE);
  EXPECT_EQ(destroy(IOCTL_ZEK_IWARP_CQ_DESTROY_W_USER_ACCESS, cq.Cq), ZEK_STATUS_PASS);
  EXPECT_EQ(link_->live(), 0);
  EXPECT_EQ(destroy(IOCTL_ZEK_IWARP_PD_DEALLOCATE, domain), ZEK_STATUS_PASS);
  close_adapter();
  EXPECT_EQ(in_use(), baseline_);
}

// Closing the adapter with user-access objects open releases them and their
// mappings; a PD whose doorbell page cannot be mapped (this adapter has no
// doorbell window) is not left behind.
TEST_F(VerbsRequestsTest, CloseAndFailedCreatesLeaveNothingBehind) {
  open_adapter();
  ZekVreqPdAllocateUser upd{};
  upd.Adapter = adapter_;
  upd.Status = 0xFFFF;
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_PD_ALLOCATE_W_USER_ACCESS, &upd), 0u);
  EXPECT_EQ(upd.Status, ZEK_STATUS_FAIL);
  EXPECT_EQ(upd.Pd, 0u);
  // Created and mapped, then the close.
  const ZekVreqCqCreateUser cq = user_cq();
  user_qp(pd(), cq.Cq);
  EXPECT_EQ(link_->live(), 5);
  close_adapter();
  EXPECT_EQ(link_->live(), 0);
  EXPECT_EQ(in_use(), baseline_);
}

// The CQ ring is the process's to write: a completion entry it forges (a tag
// naming no queue pair, one naming its own memory) is skipped by the
// driver's poll, which reads only live queue-pair objects; the host stays up.
TEST_F(VerbsRequestsTest, AForgedCompletionTagIsNeverFollowed) {
  open_adapter();
  const ZekVreqCqCreateUser cq = user_cq();
  alignas(2048) static std::uint8_t fake_qp[2048];
  std::memset(fake_qp, 0, sizeof fake_qp);
  const std::uint32_t signature = MIFH_QP_SIGNATURE;
  std::memcpy(fake_qp + offsetof(MifhQpObject, Signature), &signature, 4);
  auto* ring = reinterpret_cast<zekhw::MifhCqe*>(cq.Ring);
  const std::uint64_t tags[] = {0xDEAD0000ull, 0xFFFF800012345000ull, reinterpret_cast<std::uint64_t>(fake_qp)};
  for (std::size_t i = 0; i < std::size(tags); ++i) {
    ring[i] = {};
    ring[i].tag = tags[i];
    ring[i].flags = zekhw::kCqeValid | zekhw::kCqeSendQueue;
  }
  ZekWorkCompletion wc{};
  wc.WrId = 0x1234;
  ZekVreqCqPoll poll{adapter_, cq.Cq, reinterpret_cast<std::uint64_t>(&wc), 0xFFFF, 0};
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_CQ_POLL_COMPLETION, &poll), 0u);
  EXPECT_EQ(poll.Status, IWARP_STATUS_CQ_EMPTY);
  EXPECT_NE(log_text().find("names a bad QP object"), std::string::npos);
  EXPECT_EQ(destroy(IOCTL_ZEK_IWARP_CQ_DESTROY_W_USER_ACCESS, cq.Cq), ZEK_STATUS_PASS);
}

// Pointers and counts: unmappable pointers fail the request with nothing
// written, counts are bounded, the STag 0 request is refused, the shared
// receive queue answers 1.
TEST_F(VerbsRequestsTest, PointersAndCountsAreBounded) {
  open_adapter();
  ZekVerbsAddress addresses[ZEK_VREQ_MAX_ADDRESSES + 1] = {};
  const struct {
    std::uint32_t count;
    ULONG result;
  } counts[] = {{0, 1}, {1, 0}, {ZEK_VREQ_MAX_ADDRESSES, 0}, {ZEK_VREQ_MAX_ADDRESSES + 1, 1}};
  for (const auto& c : counts) {
    SCOPED_TRACE(c.count);
    ZekVreqAdapterAddrs r{reinterpret_cast<std::uint64_t>(addresses), c.count, 0, 0, 0, 0xFFFF};
    EXPECT_EQ(send(IOCTL_ZEK_IWARP_ADAPTER_ADDRS, &r), c.result);
    if (c.result == 0) {
      EXPECT_EQ(r.Status, ZEK_STATUS_PASS);
      EXPECT_GE(r.Count, 1u);
    }
  }
  ZekVreqAdapterAddrs unmapped{0x10, 4, 0, 0, 0, 0xFFFF};
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_ADAPTER_ADDRS, &unmapped), 1u);
  EXPECT_EQ(unmapped.Status, 0xFFFFu);

  const std::uint64_t domain = pd();
  const ZekVreqCqCreateUser cq = user_cq();
  ZekQpCreateInput create = qp_input(reinterpret_cast<void*>(domain), reinterpret_cast<void*>(cq.Cq),
                                     reinterpret_cast<void*>(cq.Cq));
  ZekQpAttributes attributes{};
  std::uint64_t handle = 0;
  ZekVreqQpCreate qp{adapter_, reinterpret_cast<std::uint64_t>(&create), reinterpret_cast<std::uint64_t>(&attributes),
                     0x10, 0, 0xFFFF, 0};
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_CREATE, &qp), 1u);  // the handle's pointer cannot be mapped
  EXPECT_EQ(in_use()[0], baseline_[0]);                 // no queue pair made
  create.Feature48 = 1;
  qp.HandleOut = reinterpret_cast<std::uint64_t>(&handle);
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_CREATE, &qp), 1u);
  EXPECT_EQ(in_use()[0], baseline_[0]);
  create.Feature48 = 0;
  create.SqSges = ZEK_VERBS_MAX_SGES + 1;
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_CREATE, &qp), 0u);
  EXPECT_EQ(qp.Status, IWARP_STATUS_QP_INVALID_NUM_SGES);
  create.SqSges = 2;
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_CREATE, &qp), 0u);
  EXPECT_EQ(qp.Status, ZEK_STATUS_PASS);
  EXPECT_NE(handle, 0u);
  ZekQpAttributes queried{};
  ZekVreqQpQuery query{adapter_, handle, reinterpret_cast<std::uint64_t>(&queried), 0xFFFF, 0};
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_QUERY, &query), 0u);
  EXPECT_EQ(query.Status, ZEK_STATUS_PASS);
  EXPECT_EQ(queried.SqSize, attributes.SqSize);

  std::uint8_t srq[64] = {};
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_SRQ_CREATE, &srq), 0u);
  std::uint32_t status = 0;
  std::memcpy(&status, srq + ZEK_VREQ_SRQ_CREATE_STATUS, 4);
  EXPECT_EQ(status, 1u);
  close_adapter();
  EXPECT_EQ(in_use(), baseline_);
}

}  // namespace
