// The verbs control requests over an attached simulated adapter, sent as a
// user process sends them: this test process is the caller (its memory the
// caller's, the user-access objects mapped into it), another process id the
// stranger. Each handler is given the request as the dispatcher gives it.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/syscall.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "include/hw/cqp.h"
#include "include/hw/events.h"
#include "include/hw/qp_context.h"
#include "include/hw/registers.h"
#include "include/hw/stag.h"
#include "include/hw/wqe.h"
#include "include/zek/aeq_event.h"
#include "include/zek/ioctl.h"
#include "include/zek/notify.h"
#include "include/zek/verbs_requests.h"
#include "platform/kernel/io/iomgr.h"
#include "proxy/core/notify.h"
#include "proxy/core/verbs_requests.h"
#include "proxy/rdma/hw/cq.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/hw/ring.h"
#include "proxy/rdma/hw/status.h"
#include "sim/frame_port.h"
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
    // The pended-request queue the event wait waits in.
    extension_ = std::make_unique<ZpxDeviceExtension>();
    InitializeListHead(&extension_->IrpList);
    KeInitializeSpinLock(&extension_->IrpListLock);
    ASSERT_EQ(IoCsqInitializeEx(&extension_->Csq, &ZpxCsqInsertIrp, &ZpxCsqRemoveIrp, &ZpxCsqPeekNextIrp,
                                &ZpxCsqAcquireLock, &ZpxCsqReleaseLock, &ZpxCsqCompleteCanceledIrp),
              STATUS_SUCCESS);
    g_ZpxExtension = extension_.get();
    baseline_ = in_use();
  }
  void TearDown() override {
    if (adapter_ != 0) close_adapter();
    VerbsTest::TearDown();
    g_ZpxExtension = nullptr;
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
    PIRP irp = IoBuildDeviceIoControlRequest(code, &device_, buffer, sizeof buffer, buffer, sizeof buffer, FALSE, &done,
                                             &iosb);
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

  // Runs `f` as this process (pid 0) or as another.
  template <typename F>
  void as_caller(std::uintptr_t pid, F f) {
    const auto tid = reinterpret_cast<HANDLE>(syscall(SYS_gettid));
    if (pid == 0) {
      plat::ClientContext as(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(getpid())), tid,
                             process_->eprocess());
      f();
    } else {
      plat::ClientContext as(reinterpret_cast<HANDLE>(pid), tid);
      f();
    }
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
  // A queue pair whose rings stay in the driver (posted to by the requests).
  std::uint64_t plain_qp(std::uint64_t pd, std::uint64_t cq, std::uint32_t sq = 8, std::uint32_t rq = 8) {
    ZekQpCreateInput create =
        qp_input(reinterpret_cast<void*>(pd), reinterpret_cast<void*>(cq), reinterpret_cast<void*>(cq), sq, rq);
    ZekQpAttributes attributes{};
    std::uint64_t handle = 0;
    ZekVreqQpCreate r{adapter_,
                      reinterpret_cast<std::uint64_t>(&create),
                      reinterpret_cast<std::uint64_t>(&attributes),
                      reinterpret_cast<std::uint64_t>(&handle),
                      0,
                      0xFFFF,
                      0};
    EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_CREATE, &r), 0u);
    EXPECT_EQ(r.Status, ZEK_STATUS_PASS) << log_text();
    return handle;
  }
  // A region over the caller's own memory; its STag (0 when refused, the
  // status in *status).
  std::uint32_t register_region(std::uint64_t pd, const void* address, std::uint32_t length,
                                std::uint32_t* status = nullptr) {
    ZekVreqMrRegister r{};
    r.Adapter = adapter_;
    r.Pd = pd;
    r.Region.Address = reinterpret_cast<std::uint64_t>(address);
    r.Region.Length = length;
    r.Region.Access = 0xF;
    r.Region.Key = 0x22;
    r.Status = 0xFFFF;
    EXPECT_EQ(send(IOCTL_ZEK_IWARP_MR_REGISTER_NON_SHARED, &r), 0u);
    if (status != nullptr) *status = r.Status;
    return r.Status == ZEK_STATUS_PASS ? r.Stag : 0;
  }
  std::uint32_t dealloc(std::uint32_t stag, std::uintptr_t pid = 0, ULONG result = 0) {
    ZekVreqMrDealloc r{adapter_, stag, 0, 0, 0, 0xFFFF};
    EXPECT_EQ(send(IOCTL_ZEK_IWARP_MR_DEALLOC, &r, pid), result);
    return r.Status;
  }

  // One completion on a CQ as the adapter delivers it (the entry, the event
  // naming the CQ, the bottom half); the slot is taken and given back.
  void complete_on(std::uint64_t handle) {
    auto* cq = reinterpret_cast<MifhCqObject*>(handle);
    zekhw::MifhCqe e{};
    e.flags = zekhw::kCqeValid;
    ASSERT_EQ(board().post_completion(cq->CqId, std::as_bytes(std::span{&e, 1}), false), zeksim::PostResult::Written);
    static_cast<zekhw::MifhCqe*>(cq->Ring)[cq->RingIndex.Tail] = {};
    OSPRIM_RING_MOVE_TAIL(&cq->RingIndex);
    ASSERT_EQ(mifh_cq_release_cqes(cq->Device, cq, 1, true), MIFH_STATUS_SUCCESS);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ZEK_common_bh_routine(&record_, 1);
    KeLowerIrql(old);
  }

  // The event wait of this process on `adapter`, as the dispatcher hands it
  // over: the identifiers it returned (pended until something arrives; a
  // terminate request ends a wait that finds nothing before `deadline`).
  std::vector<std::uint64_t> wait_ids(std::uint64_t adapter, std::chrono::steady_clock::time_point deadline) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    ZekAsyncEventRecord in{}, out{};
    in.Adapter = adapter;
    in.Count = 0xC0C0;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_ZEK_IWARP_WAIT_ON_ASYNC_FUNCTION_CALL, &device_, &in, sizeof in,
                                             &out, sizeof out, FALSE, &done, &iosb);
    const auto tid = reinterpret_cast<HANDLE>(syscall(SYS_gettid));
    const auto me = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(getpid()));
    ULONG_PTR bytes = 0;
    NTSTATUS returned;
    {
      plat::ClientContext as(me, tid, process_->eprocess());
      returned =
          ZpxNotifyRequest(irp, IOCTL_ZEK_IWARP_WAIT_ON_ASYNC_FUNCTION_CALL, irp->AssociatedIrp.SystemBuffer, &bytes);
    }
    if (returned != STATUS_PENDING) {
      irp->IoStatus.Status = returned;
      irp->IoStatus.Information = bytes;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    while (KeReadStateEvent(&done) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ZekTerminateWaitRecord t{adapter, 0, 0};
        plat::ClientContext as(me, tid, process_->eprocess());
        CommonIoctliWARPTerminateCQPollThread(&t, &bytes);
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (out.Count == 0xC0C0) return {};
    return {out.Ids, out.Ids + std::min(out.Count, ZEK_NOTIFY_MAX_IDS)};
  }

  // A disconnect notification of process `pid` (this process unless told)
  // on queue pair `qp`: the handler's status; `w` tells when it completes.
  struct Waiter {
    Waiter() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
  };
  NTSTATUS notify_disconnect(std::uint64_t qp, Waiter& w, std::uintptr_t pid = 0) {
    ZekNdNotifyDisconnectRecord r{adapter_, static_cast<std::uint32_t>(qp), 0};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_ZEK_IWARP_NDI_NOTIFY_DISCONNECT, &device_, &r, sizeof r, &r,
                                             sizeof r, FALSE, &w.done, &w.iosb);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    as_caller(pid, [&] { status = ZekIwarpNotifyDisconnect(irp, irp->AssociatedIrp.SystemBuffer); });
    if (status != STATUS_PENDING) {
      irp->IoStatus.Status = status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return status;
  }

  DEVICE_OBJECT device_{};
  std::unique_ptr<ZpxDeviceExtension> extension_;
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
  ZekQpCreateInput create =
      qp_input(reinterpret_cast<void*>(domain), reinterpret_cast<void*>(cq.Cq), reinterpret_cast<void*>(cq.Cq));
  ZekQpAttributes attributes{};
  std::uint64_t handle = 0;
  ZekVreqQpCreate qp{
      adapter_, reinterpret_cast<std::uint64_t>(&create), reinterpret_cast<std::uint64_t>(&attributes), 0x10, 0, 0xFFFF,
      0};
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

// Producer and consumers: CQs made by the requests (each its own callback,
// named by its handle) on two adapters of the process; one thread per
// adapter waits through the event wait and counts what it is told, while
// the adapter's completions arrive. Every completion is notified exactly
// once (fewer than a ring's worth outstanding), none is lost.
TEST_F(VerbsRequestsTest, WaitersAreToldOfEveryCompletionWhileTheyArrive) {
  constexpr int kPerCq = 300;
  constexpr std::size_t kCqs = 3;
  std::uint64_t adapters[2];
  std::vector<std::uint64_t> cqs[2];
  for (int u = 0; u < 2; ++u) {
    adapters[u] = open_adapter();
    for (std::size_t i = 0; i < kCqs; ++i) {
      cqs[u].push_back(user_cq().Cq);
      ZekVreqCqNotify arm{adapter_, cqs[u].back(), 0, 0xFFFF};
      ASSERT_EQ(send(IOCTL_ZEK_IWARP_CQ_REQUEST_NOTIFICATION, &arm), 0u);
      ASSERT_EQ(arm.Status, ZEK_STATUS_PASS);
    }
  }
  std::atomic<int> consumed[2] = {0, 0};
  std::map<std::uint64_t, int> seen[2];
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::vector<std::thread> consumers;
  for (int u = 0; u < 2; ++u) {
    consumers.emplace_back([&, u] {
      while (consumed[u].load() < kPerCq * static_cast<int>(kCqs) && std::chrono::steady_clock::now() < end) {
        const std::vector<std::uint64_t> ids = wait_ids(adapters[u], end);
        for (std::uint64_t id : ids) ++seen[u][id];
        consumed[u] += static_cast<int>(ids.size());
      }
    });
  }
  int produced[2] = {0, 0};
  for (int round = 0; round < kPerCq && std::chrono::steady_clock::now() < end; ++round) {
    for (int u = 0; u < 2; ++u) {
      for (std::uint64_t cq : cqs[u]) {
        while (produced[u] - consumed[u].load() > 900 && std::chrono::steady_clock::now() < end) {
          std::this_thread::yield();
        }
        complete_on(cq);
        ++produced[u];
      }
    }
  }
  for (auto& t : consumers) t.join();
  for (int u = 0; u < 2; ++u) {
    SCOPED_TRACE(u);
    for (std::uint64_t cq : cqs[u]) EXPECT_EQ(seen[u][cq], kPerCq);
    EXPECT_EQ(seen[u].size(), kCqs) << "identifiers of the other adapter's CQs";
  }
  for (int u = 0; u < 2; ++u) {
    ZekVreqAdapter r{adapters[u], 0xFFFF, 0};
    EXPECT_EQ(send(IOCTL_ZEK_IWARP_CLOSE, &r), 0u);
    EXPECT_EQ(r.Status, ZEK_STATUS_PASS);
  }
  adapter_ = 0;
  EXPECT_EQ(in_use(), baseline_);
}

// The asynchronous-event thread, for a test's span.
struct AsyncEventThread {
  AsyncEventThread() { started = ZpxStartAsyncEvents() == STATUS_SUCCESS; }
  ~AsyncEventThread() {
    if (started) ZpxStopAsyncEvents();
  }
  bool started;
};

// An event of queue pair `qp` as the miniport hands it over.
ZekAsyncEvent qp_event(std::uint64_t qp, std::uint16_t id) {
  ZekAsyncEvent e{};
  e.object_id = static_cast<std::uint32_t>(qp);
  e.event_id = id;
  e.qp = 1;
  e.iwarp_state = ZEK_QP_STATE_RTS;
  return e;
}

// The disconnect notification waits under the caller's own queue pair:
// another process's request and a queue pair that is not the adapter's are
// refused at once. Every event that ends the queue pair's connection
// completes it with success, once; events that leave the connection alone
// do not; one asked for after the end completes at once; the queue pair's
// destruction cancels one still waiting.
TEST_F(VerbsRequestsTest, ADisconnectNotificationCompletesWhenTheConnectionEnds) {
  AsyncEventThread events;
  ASSERT_TRUE(events.started);
  open_adapter();
  const std::uint64_t domain = pd();
  const ZekVreqCqCreateUser cq = user_cq();
  Waiter refused[2];
  const ZekVreqQpCreateUser bystander = user_qp(domain, cq.Cq);
  EXPECT_EQ(notify_disconnect(bystander.Qp, refused[0], kStranger), STATUS_INVALID_HANDLE);
  EXPECT_EQ(notify_disconnect(bystander.Qp + 1, refused[1]), STATUS_INVALID_HANDLE);
  Waiter waiting;
  ASSERT_EQ(notify_disconnect(bystander.Qp, waiting), STATUS_PENDING);
  // Events that leave the connection alone: the asynchronous codes 1 and
  // 22, and its CQ's event.
  for (std::uint16_t id : {1289, 1537}) {
    ZekAsyncEvent e = qp_event(bystander.Qp, id);
    ZpxQueueAEQ(record_.Device, &e);
  }
  ZekAsyncEvent cq_event{};
  cq_event.object_id = reinterpret_cast<MifhCqObject*>(cq.Cq)->CqId;
  cq_event.event_id = 515;
  cq_event.cq = 1;
  ZpxQueueAEQ(record_.Device, &cq_event);

  struct Case {
    const char* what;
    std::uint16_t id;
    std::uint8_t inbound;
  };
  const Case cases[] = {
      {"the peer's FIN", 1025, 0},
      {"the peer's reset", 1288, 0},
      {"the connection timed out", 1290, 0},
      {"the close the host asked for finished", 1281, 0},
      {"a fault of the queue pair", 772, 0},
      {"a termination", 258, 1},
      {"the queue pair unreachable", 513, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ZekVreqQpCreateUser qp = user_qp(domain, cq.Cq);
    Waiter first;
    ASSERT_EQ(notify_disconnect(qp.Qp, first), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&first.done), 0);
    ZekAsyncEvent e = qp_event(qp.Qp, c.id);
    e.inbound_rdma = c.inbound;
    ZpxQueueAEQ(record_.Device, &e);
    EXPECT_TRUE(eventually([&] { return KeReadStateEvent(&first.done) != 0; })) << log_text();
    EXPECT_EQ(first.iosb.Status, STATUS_SUCCESS);
    // Once: a second end completes nothing again; a notification asked for
    // after the end completes at once.
    ZekAsyncEvent again = qp_event(qp.Qp, c.id == 1288 ? 1290 : 1288);
    ZpxQueueAEQ(record_.Device, &again);
    Waiter late;
    EXPECT_EQ(notify_disconnect(qp.Qp, late), STATUS_PENDING);
    EXPECT_NE(KeReadStateEvent(&late.done), 0);
    EXPECT_EQ(late.iosb.Status, STATUS_SUCCESS);
    EXPECT_TRUE(eventually([] { return ZpxPendingAsyncEvents() == 0; }));
    EXPECT_EQ(first.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(destroy(IOCTL_ZEK_IWARP_QP_DESTROY_W_USER_ACCESS, qp.Qp), ZEK_STATUS_PASS);
  }
  // The bystander's events were all processed before the first case's end.
  EXPECT_EQ(KeReadStateEvent(&waiting.done), 0);
  EXPECT_EQ(destroy(IOCTL_ZEK_IWARP_QP_DESTROY_W_USER_ACCESS, bystander.Qp), ZEK_STATUS_PASS);
  EXPECT_NE(KeReadStateEvent(&waiting.done), 0);
  EXPECT_EQ(waiting.iosb.Status, STATUS_CANCELLED);
}

// The posting requests past a full ring (a queue of 4 holds 2): the record
// answers IWARP_STATUS_QP_TOOMANY_WRS_POSTED with a count of 0, and the ring
// the adapter reads is as it was (bytes and head), for the send and the
// receive ring, one request or a batch.
TEST_F(VerbsRequestsTest, PostingPastAFullRingAnswersTooManyAndWritesNothing) {
  open_adapter();
  const std::uint64_t domain = pd();
  const ZekVreqCqCreateUser cq = user_cq();
  const std::uint64_t qp = plain_qp(domain, cq.Cq, 2, 2);
  std::vector<std::uint8_t> memory(4096, 0x5A);
  const std::uint32_t stag = register_region(domain, memory.data(), 4096);
  ASSERT_NE(stag, 0u) << log_text();
  const ZekSge sge{reinterpret_cast<std::uint64_t>(memory.data()), 16, stag};
  ZekSendWr sends[2]{};
  for (ZekSendWr& w : sends) {
    w.Op = ZEK_WR_SEND;
    w.Signalled = 1;
    w.Sgl = &sge;
    w.SgeCount = 1;
  }
  // More than any ring of 4 holds: a batch of them fills it.
  const ZekRecvWr receives[4] = {{1, &sge, 1, 0}, {2, &sge, 1, 0}, {3, &sge, 1, 0}, {4, &sge, 1, 0}};
  auto post_sq = [&](std::uint32_t n, std::uint32_t* posted) {
    ZekVreqPostSq p{adapter_, qp,    reinterpret_cast<std::uint64_t>(sends), reinterpret_cast<std::uint64_t>(posted),
                    n,        0xFFFF};
    EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_POST_SQ, &p), 0u);
    return p.Status;
  };
  auto post_rq = [&](std::uint32_t n, std::uint32_t* posted) {
    ZekVreqPostRq p{
        adapter_, qp, reinterpret_cast<std::uint64_t>(receives), 0, reinterpret_cast<std::uint64_t>(posted), n, 0xFFFF};
    EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_POST_RQ, &p), 0u);
    return p.Status;
  };
  std::uint32_t posted = 0;
  ASSERT_EQ(post_sq(2, &posted), ZEK_STATUS_PASS) << log_text();
  ASSERT_EQ(posted, 2u);
  ASSERT_EQ(post_rq(4, &posted), ZEK_STATUS_PASS) << log_text();
  ASSERT_GE(posted, 2u);
  ASSERT_LT(posted, 4u);
  MifhQpObject* object = nullptr;
  {
    ZekAdapterHold hold(reinterpret_cast<void*>(adapter_), nullptr);
    object = ZekQpOfHandle(hold.get(), qp);
  }
  ASSERT_NE(object, nullptr);
  const auto* sq = static_cast<const std::uint8_t*>(object->Sq);
  const auto* rq = static_cast<const std::uint8_t*>(object->Rq);
  const std::vector<std::uint8_t> sq_before(sq, sq + object->SqRing.Size * 128);
  const std::vector<std::uint8_t> rq_before(rq, rq + object->RqRing.Size * 128);
  const std::uint32_t sq_head = object->SqRing.Head, rq_head = object->RqRing.Head;
  for (std::uint32_t n : {1u, 2u}) {
    SCOPED_TRACE(n);
    posted = 99;
    EXPECT_EQ(post_sq(n, &posted), IWARP_STATUS_QP_TOOMANY_WRS_POSTED);
    EXPECT_EQ(posted, 0u);
    posted = 99;
    EXPECT_EQ(post_rq(n, &posted), IWARP_STATUS_QP_TOOMANY_WRS_POSTED);
    EXPECT_EQ(posted, 0u);
    EXPECT_EQ(object->SqRing.Head, sq_head);
    EXPECT_EQ(object->RqRing.Head, rq_head);
    EXPECT_TRUE(std::equal(sq_before.begin(), sq_before.end(), sq)) << "the full send ring was written";
    EXPECT_TRUE(std::equal(rq_before.begin(), rq_before.end(), rq)) << "the full receive ring was written";
  }
  EXPECT_EQ(destroy(IOCTL_ZEK_IWARP_QP_DESTROY, qp), ZEK_STATUS_PASS);
  close_adapter();
  EXPECT_EQ(in_use(), baseline_);
}

// QP_MODIFY: a user-access queue pair's mapped rings are never resized (the
// modify is refused and the process keeps the rings it maps); a queue pair
// whose rings stay in the driver is resized; a last streaming message is
// mapped for its length, so a forged or over-long one fails the request.
TEST_F(VerbsRequestsTest, AModifyNeverResizesMappedRingsAndMapsItsMessage) {
  open_adapter();
  const std::uint64_t domain = pd();
  const ZekVreqCqCreateUser cq = user_cq();
  const ZekVreqQpCreateUser user = user_qp(domain, cq.Cq);
  ZekVreqQpModify m{};
  m.Adapter = adapter_;
  m.Qp = user.Qp;
  m.Input.Mask = ZEK_QP_MODIFY_SQ_SIZE;
  m.Input.SqSize = 100;
  m.Status = 0xFFFF;
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_MODIFY, &m), 0u);
  EXPECT_EQ(m.Status, ZEK_STATUS_FAIL);
  EXPECT_EQ(m.SqResized, 0u);
  std::uint64_t sq = 0;
  std::memcpy(&sq, reinterpret_cast<const std::uint8_t*>(user.Page) + ZEK_QP_PAGE_SQ_RING, 8);
  EXPECT_EQ(sq, user.SqRing);
  ZekQpAttributes attributes{};
  ZekVreqQpQuery query{adapter_, user.Qp, reinterpret_cast<std::uint64_t>(&attributes), 0xFFFF, 0};
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_QUERY, &query), 0u);
  EXPECT_EQ(attributes.SqSize, user.SqSize - ZEK_VERBS_WQ_RESERVED);

  ZekQpCreateInput create =
      qp_input(reinterpret_cast<void*>(domain), reinterpret_cast<void*>(cq.Cq), reinterpret_cast<void*>(cq.Cq));
  std::uint64_t plain = 0;
  ZekVreqQpCreate c{adapter_,
                    reinterpret_cast<std::uint64_t>(&create),
                    reinterpret_cast<std::uint64_t>(&attributes),
                    reinterpret_cast<std::uint64_t>(&plain),
                    0,
                    0xFFFF,
                    0};
  ASSERT_EQ(send(IOCTL_ZEK_IWARP_QP_CREATE, &c), 0u);
  ASSERT_EQ(c.Status, ZEK_STATUS_PASS);
  m.Qp = plain;
  m.Status = 0xFFFF;
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_MODIFY, &m), 0u);
  EXPECT_EQ(m.Status, ZEK_STATUS_PASS) << log_text();
  EXPECT_GE(m.Output.SqSize, 100u);

  m.Input.Mask = ZEK_QP_MODIFY_STATE;
  m.Input.State = ZEK_QP_STATE_RTS;
  m.Input.Message = reinterpret_cast<const void*>(0x10);
  m.Input.MessageLength = 16;
  m.Status = 0xFFFF;
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_MODIFY, &m), 1u);
  EXPECT_EQ(m.Status, 0xFFFFu);
  m.Input.MessageLength = ZEK_VREQ_MAX_STREAM_MESSAGE + 1;
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_MODIFY, &m), 1u);
  close_adapter();
  EXPECT_EQ(in_use(), baseline_);
}

// Regions and windows through the requests: the caller's own buffer is
// registered (its pages locked for the region's life) and the adapter
// answers the STag query; a range that is not the caller's memory, a
// required pointer of 0 and a forged answer pointer make nothing; an STag
// is deallocated only through its own adapter; the numbers go back.
TEST_F(VerbsRequestsTest, RegionsAndWindowsAreTheCallersOwn) {
  open_adapter();
  const std::uint64_t domain = pd();
  std::vector<std::uint8_t> memory(3 * 4096, 0x5A);
  const std::uint32_t stag = register_region(domain, memory.data() + 100, 8192);
  ASSERT_NE(stag, 0u) << log_text();
  ZekMrQueryInfo info{};
  ZekVreqStagQuery query{adapter_, reinterpret_cast<std::uint64_t>(&info), stag, 0xFFFF};
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_MR_QUERY, &query), 0u);
  EXPECT_EQ(query.Status, ZEK_STATUS_PASS) << log_text();
  EXPECT_EQ(info.Valid, 1u);
  EXPECT_EQ(info.Key, 0x22);
  EXPECT_EQ(info.Pd, domain);
  EXPECT_EQ(info.Access, 0xFu);
  std::uint32_t window = 0;
  ZekVreqMwAlloc mw{adapter_, domain, reinterpret_cast<std::uint64_t>(&window), 0xFFFF, 0};
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_MW_ALLOC, &mw), 0u);
  EXPECT_EQ(mw.Status, ZEK_STATUS_PASS);
  ZekMwQueryInfo mw_info{};
  ZekVreqStagQuery mw_query{adapter_, reinterpret_cast<std::uint64_t>(&mw_info), window, 0xFFFF};
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_MW_QUERY, &mw_query), 0u);
  EXPECT_EQ(mw_query.Status, ZEK_STATUS_PASS);
  EXPECT_EQ(mw_info.Pd, domain);
  const std::vector<std::uint32_t> with_two = in_use();

  // Hostile records: nothing is made, nothing written.
  const struct {
    const char* what;
    const void* address;
    std::uint32_t length;
  } ranges[] = {
      {"an address the process does not have", reinterpret_cast<const void*>(0x10000), 4096},
      {"a kernel address", reinterpret_cast<const void*>(0xFFFF800012345000ull), 4096},
      {"a range running past the buffer's mapping", nullptr, 0},
  };
  void* edge = mmap(nullptr, 2 * 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(edge, MAP_FAILED);
  munmap(static_cast<std::uint8_t*>(edge) + 4096, 4096);
  for (auto c : ranges) {
    SCOPED_TRACE(c.what);
    if (c.address == nullptr) {
      c.address = static_cast<std::uint8_t*>(edge) + 2048;
      c.length = 4096;
    }
    std::uint32_t status = 0;
    EXPECT_EQ(register_region(domain, c.address, c.length, &status), 0u);
    EXPECT_NE(status, ZEK_STATUS_PASS);
    EXPECT_EQ(in_use(), with_two);
  }
  munmap(edge, 4096);
  ZekVreqMrAllocStag no_pointer{adapter_, domain, 4, 0, 0, 0, 0xFFFF, 0};
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_MR_ALLOC_NONSHARED_STAG, &no_pointer), 0u);
  EXPECT_EQ(no_pointer.Status, ZEK_STATUS_BAD_PTR);
  ZekVreqMrAllocStag forged{adapter_, domain, 4, 0, 0xFFFF800012345000ull, 0, 0xFFFF, 0};
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_MR_ALLOC_NONSHARED_STAG, &forged), 1u);
  EXPECT_EQ(forged.Status, 0xFFFFu);
  ZekVreqMwAlloc no_stag{adapter_, domain, 0, 0xABCD, 0};
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_MW_ALLOC, &no_stag), 0u);
  EXPECT_EQ(no_stag.Status, 0xABCDu);
  ZekVreqStagQuery forged_query{adapter_, 0x10, stag, 0xFFFF};
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_MR_QUERY, &forged_query), 1u);
  EXPECT_EQ(forged_query.Status, 0xFFFFu);
  EXPECT_EQ(in_use(), with_two);

  // A stranger cannot deallocate them; an STag the adapter has not is
  // refused before the verb.
  EXPECT_EQ(dealloc(stag, kStranger), IWARP_STATUS_A_INVALID_RNIC_HANDLE);
  EXPECT_EQ(dealloc(stag + 0x10000, 0, 2), 0xFFFFu);
  ZekVreqMrDealloc first{adapter_, window, 0, 0, 0, 0xFFFF};
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_MR_DEALLOC, &first), 0u);
  EXPECT_EQ(first.Status, ZEK_STATUS_PASS);
  ZekVreqMrDealloc region{adapter_, stag, 0, 0, 0, 0xFFFF};
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_MR_DEALLOC, &region), 0u);
  EXPECT_EQ(region.Status, ZEK_STATUS_PASS);
  EXPECT_EQ(region.OldAddress, reinterpret_cast<std::uint64_t>(memory.data() + 100));
  EXPECT_EQ(region.OldLength, 8192u);
  EXPECT_EQ(dealloc(stag, 0, 2), 0xFFFFu);
  close_adapter();
  EXPECT_EQ(in_use(), baseline_);
}

// Posting: every request of the array is converted (not only the first),
// each list copied from the caller; hostile records get a clear answer and
// post nothing beyond the requests before the refused one.
TEST_F(VerbsRequestsTest, PostingConvertsEveryRequestAndRefusesHostileOnes) {
  open_adapter();
  const std::uint64_t domain = pd();
  const ZekVreqCqCreateUser cq = user_cq(256);
  const std::uint64_t qp = plain_qp(domain, cq.Cq, 8, 64);
  ASSERT_NE(qp, 0u);
  const ZekVreqQpCreateUser mapped = user_qp(domain, cq.Cq);
  std::vector<std::uint8_t> memory(4 * 4096);
  const std::uint32_t stag = register_region(domain, memory.data(), 4 * 4096);
  ASSERT_NE(stag, 0u) << log_text();

  // Twenty receive requests (more than one batch), each its own list.
  ZekSge sges[20][2];
  ZekRecvWr many[20];
  for (std::uint32_t i = 0; i < 20; ++i) {
    sges[i][0] = {reinterpret_cast<std::uint64_t>(memory.data()) + i * 512, 256, stag};
    sges[i][1] = {reinterpret_cast<std::uint64_t>(memory.data()) + i * 512 + 256, 256, stag};
    many[i] = {0x100 + i, sges[i], 2, 0};
  }
  std::uint32_t posted = 0xEEEE;
  ZekVreqPostRq all{adapter_, qp,    reinterpret_cast<std::uint64_t>(many), 0, reinterpret_cast<std::uint64_t>(&posted),
                    20,       0xFFFF};
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_POST_RQ, &all), 0u);
  EXPECT_EQ(all.Status, ZEK_STATUS_PASS) << log_text();
  EXPECT_EQ(posted, 20u);
  // The adapter's ring holds the lists as copied (the last request's too).
  MifhQpObject* object = nullptr;
  {
    ZekAdapterHold hold(reinterpret_cast<void*>(adapter_), nullptr);
    object = ZekQpOfHandle(hold.get(), qp);
  }
  ASSERT_NE(object, nullptr);
  const auto* ring = static_cast<const zekhw::MifhRqWqe*>(object->Rq);
  for (std::uint32_t i = 0; i < 20; ++i) {
    SCOPED_TRACE(i);
    bool found = false;
    for (std::uint32_t slot = 0; slot < object->RqWqeCount && !found; ++slot) {
      found = ring[slot].sge[0].address == sges[i][0].Address && ring[slot].sge[1].address == sges[i][1].Address &&
              ring[slot].sge[1].length == 256 && ring[slot].sge[1].stag == stag;
    }
    EXPECT_TRUE(found);
  }

  ZekSge over[ZEK_VERBS_MAX_SGES + 1];
  for (auto& e : over) e = {reinterpret_cast<std::uint64_t>(memory.data()), 16, stag};
  ZekSge outside{reinterpret_cast<std::uint64_t>(memory.data()) + 4 * 4096 - 8, 64, stag};
  const struct {
    const char* what;
    std::uint64_t adapter;
    std::uint64_t qp;
    std::uint64_t list;
    std::uint32_t sges;
    std::uintptr_t pid;
    ULONG result;
    std::uint32_t status;
  } cases[] = {
      {"too many entries", adapter_, qp, reinterpret_cast<std::uint64_t>(over), ZEK_VERBS_MAX_SGES + 1, 0, 0,
       IWARP_STATUS_QP_INVALID_NUM_SGES},
      {"an entry count near 2^32", adapter_, qp, reinterpret_cast<std::uint64_t>(over), 0x80000001u, 0, 0,
       IWARP_STATUS_QP_INVALID_NUM_SGES},
      {"a forged list", adapter_, qp, 0xFFFF800012345000ull, 1, 0, 0, ZEK_STATUS_BAD_PTR},
      {"a list not in the process", adapter_, qp, 0x10000, 2, 0, 0, ZEK_STATUS_BAD_PTR},
      {"an entry past the region", adapter_, qp, reinterpret_cast<std::uint64_t>(&outside), 1, 0, 0,
       IWARP_STATUS_QP_INVALID_SGL_LEN},
      {"a queue pair id beyond the table", adapter_, ZEK_VERBS_QP_TABLE_SIZE + 1,
       reinterpret_cast<std::uint64_t>(sges[0]), 1, 0, 0, IWARP_STATUS_QP_INVALID_HANDLE},
      {"a user-access queue pair", adapter_, mapped.Qp, reinterpret_cast<std::uint64_t>(sges[0]), 1, 0, 0,
       IWARP_STATUS_QP_INVALID_HANDLE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ZekRecvWr hostile{3, reinterpret_cast<const ZekSge*>(c.list), c.sges, 0};
    posted = 0xEEEE;
    ZekVreqPostRq r{
        c.adapter, c.qp,  reinterpret_cast<std::uint64_t>(&hostile), 0, reinterpret_cast<std::uint64_t>(&posted),
        1,         0xFFFF};
    EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_POST_RQ, &r, c.pid), c.result);
    EXPECT_EQ(r.Status, c.status);
    EXPECT_EQ(posted, 0u);
    // The same on the send queue.
    ZekSendWr send_batch[2] = {};
    send_batch[0].WrId = 9;
    send_batch[0].Op = ZEK_WR_SEND;
    send_batch[0].Sgl = reinterpret_cast<const ZekSge*>(c.list);
    send_batch[0].SgeCount = c.sges;
    posted = 0xEEEE;
    ZekVreqPostSq s{
        c.adapter, c.qp,  reinterpret_cast<std::uint64_t>(send_batch), reinterpret_cast<std::uint64_t>(&posted),
        1,         0xFFFF};
    EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_POST_SQ, &s, c.pid), c.result);
    EXPECT_EQ(s.Status, c.status);
    EXPECT_EQ(posted, 0u);
  }
  // Two good requests before a refused one are posted and counted.
  ZekRecvWr batch[3] = {{1, sges[0], 1, 0}, {2, sges[1], 1, 0}, {3, over, ZEK_VERBS_MAX_SGES + 1, 0}};
  posted = 0xEEEE;
  ZekVreqPostRq partial{
      adapter_, qp, reinterpret_cast<std::uint64_t>(batch), 0, reinterpret_cast<std::uint64_t>(&posted), 3, 0xFFFF};
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_POST_RQ, &partial), 0u);
  EXPECT_EQ(partial.Status, IWARP_STATUS_QP_INVALID_NUM_SGES);
  EXPECT_EQ(posted, 2u);
  // Another process: its pointers are not in its memory, and through no
  // pointer at all its answer is the adapter's.
  ZekVreqPostRq stranger{adapter_, qp, reinterpret_cast<std::uint64_t>(batch), 0, 0, 1, 0xFFFF};
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_POST_RQ, &stranger, kStranger), 1u);
  stranger.Count = 0;
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_POST_RQ, &stranger, kStranger), 0u);
  EXPECT_EQ(stranger.Status, IWARP_STATUS_A_INVALID_RNIC_HANDLE);
  // Records that cannot be answered: nothing is posted.
  ZekRecvWr one{7, sges[0], 1, 0};
  const struct {
    const char* what;
    std::uint64_t requests;
    std::uint64_t posted;
    std::uint32_t count;
    ULONG result;
  } records[] = {
      {"no request array", 0, 0, 1, 2},
      {"a forged request array", 0xFFFF800012345000ull, 0, 1, 1},
      {"an array running out of the process", reinterpret_cast<std::uint64_t>(&one), 0, 1u << 20, 1},
      {"a count above the bound", reinterpret_cast<std::uint64_t>(&one), 0, ZEK_VREQ_MAX_POST + 1, 1},
      {"a forged count pointer", reinterpret_cast<std::uint64_t>(&one), 0x10, 1, 1},
  };
  for (const auto& c : records) {
    SCOPED_TRACE(c.what);
    ZekVreqPostRq r{adapter_, qp, c.requests, 0, c.posted, c.count, 0xFFFF};
    EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_POST_RQ, &r), c.result);
    EXPECT_EQ(r.Status, 0xFFFFu);
  }
  // A count of 0 posts nothing and answers the queue pair's check.
  ZekVreqPostRq none{adapter_, qp, reinterpret_cast<std::uint64_t>(&one), 0, 0, 0, 0xFFFF};
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_POST_RQ, &none), 0u);
  EXPECT_EQ(none.Status, ZEK_STATUS_PASS);
  close_adapter();
  EXPECT_EQ(in_use(), baseline_);
}

// The NetworkDirect provider's region requests: the caller's own buffer is
// registered on its own adapter and PD and the request completes with the
// STag in the record; its deallocation completes at once; a context of 0,
// another process's adapter, a range not the caller's or an STag the
// adapter has not fail the request and make or free nothing.
TEST_F(VerbsRequestsTest, NetworkDirectRegionsAreTheCallersOwn) {
  open_adapter();
  const std::uint64_t domain = pd();
  std::vector<std::uint8_t> memory(4 * 4096);
  const std::vector<std::uint32_t> before = in_use();
  auto registration = [&](std::uint64_t context, std::uint64_t address, std::uintptr_t pid, NTSTATUS* status) {
    ZekNdAsyncMrRecord r{};
    r.MRContext = context;
    r.Handle1 = adapter_;
    r.Handle2 = domain;
    r.Address = address;
    r.Value1 = 8192;
    r.Value3 = 31;
    r.Flag = 16;
    r.Result = -1;
    ULONG_PTR bytes = 0;
    as_caller(pid, [&] { *status = ZekAsyncIwarpAsyncMrNonshared(&r, &bytes); });
    EXPECT_EQ(bytes, NT_SUCCESS(*status) ? sizeof r : 0u);
    return static_cast<std::uint32_t>(r.Result);
  };
  NTSTATUS status = 0;
  const std::uint32_t stag = registration(0x1234, reinterpret_cast<std::uint64_t>(memory.data()), 0, &status);
  ASSERT_EQ(status, STATUS_SUCCESS) << log_text();
  EXPECT_EQ(zekhw::stag_key(stag), 16u);
  ZekMrQueryInfo info{};
  ZekVreqStagQuery query{adapter_, reinterpret_cast<std::uint64_t>(&info), stag, 0xFFFF};
  EXPECT_EQ(send(IOCTL_ZEK_IWARP_MR_QUERY, &query), 0u);
  EXPECT_EQ(query.Status, ZEK_STATUS_PASS);
  EXPECT_EQ(info.Valid, 1u);
  EXPECT_EQ(info.Access, 0xFu);
  const std::vector<std::uint32_t> with_one = in_use();
  EXPECT_NE(with_one, before);
  const struct {
    const char* what;
    std::uint64_t context;
    std::uint64_t address;
    std::uintptr_t pid;
  } refused[] = {
      {"no registration context", 0, reinterpret_cast<std::uint64_t>(memory.data()), 0},
      {"another process's adapter", 0x1234, reinterpret_cast<std::uint64_t>(memory.data()), kStranger},
      {"a range not in the process", 0x1234, 0x10000, 0},
      {"a kernel address", 0x1234, 0xFFFF800012345000ull, 0},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.what);
    registration(c.context, c.address, c.pid, &status);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(in_use(), with_one);
  }
  auto dealloc_nd = [&](std::uint64_t context, std::uint32_t s, std::uintptr_t pid) {
    ZekNdAsyncDeallocRecord r{context, adapter_, s, 0};
    ULONG_PTR bytes = 7;
    NTSTATUS result = 0;
    as_caller(pid, [&] { result = ZekAsyncIwarpAsyncMrDealloc(&r, &bytes); });
    EXPECT_EQ(bytes, 0u);
    return result;
  };
  EXPECT_EQ(dealloc_nd(0, stag, 0), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(dealloc_nd(0x1234, stag, kStranger), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(dealloc_nd(0x1234, stag + 0x10000, 0), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(in_use(), with_one);
  EXPECT_EQ(dealloc_nd(0x1234, stag, 0), STATUS_SUCCESS);
  EXPECT_EQ(in_use(), before);
  EXPECT_EQ(dealloc_nd(0x1234, stag, 0), STATUS_UNSUCCESSFUL);
  close_adapter();
  EXPECT_EQ(in_use(), baseline_);
}

// The adapter's frames, carried back into it by the test (the adapter model
// does not turn a frame for its own address around).
class TurnaroundPort : public zeksim::FramePort {
 public:
  bool has_room() override { return true; }
  void transmit(std::span<const std::byte> frame) override {
    std::lock_guard lock(mu_);
    frames_.emplace_back(frame.begin(), frame.end());
  }
  void deliver(zeksim::Board& board) {
    std::vector<std::vector<std::byte>> frames;
    {
      std::lock_guard lock(mu_);
      frames.swap(frames_);
    }
    if (!frames.empty()) board.receive_frames(frames);
  }

 private:
  std::mutex mu_;
  std::vector<std::vector<std::byte>> frames_;
};

constexpr std::uint32_t kArpEntry = 7;
constexpr std::uint32_t kLocalIndex = 1;

// Two queue pairs of this process, made and driven through the requests
// only, joined by a host-stack connection of this host handed to them.
class VerbsRequestsLoopback : public VerbsRequestsTest {
 protected:
  void SetUp() override {
    record_.GetIpToArpIndex = [](void*, std::uint32_t, std::uint32_t* index) -> std::uint32_t {
      *index = kArpEntry;
      return 0;
    };
    record_.GetIpaddrIndexCallback = [](void*, std::uint32_t, std::uint32_t* index) -> std::uint32_t {
      *index = kLocalIndex;
      return 0;
    };
    VerbsRequestsTest::SetUp();
    if (HasFatalFailure()) return;
    MifhDeviceObj* d = &fn_->device;
    ASSERT_EQ(mifh_write_indexed(d, zekhw::idx_dest_ip(kLocalIndex), verbstest::kSanAddress), 0u);
    zekhw::MifhCqpWqe arp{};
    arp.op_word = zekhw::kOpArpCache | zekhw::kArpAdd;
    arp.object_word = kArpEntry;
    for (std::uint8_t b : record_.SanMacAddress) arp.physical_address = arp.physical_address << 8 | b;
    {
      std::lock_guard lock(mu_);
      ASSERT_EQ(mifh_cqp_post(fn_->cqp, &arp, MifhPostMode::Failing, "test"), 0u);
    }
    board().attach_port(&port_);
  }
  void TearDown() override {
    if (adapter_ != 0) close_adapter();
    if (process_) {
      plat::ClientContext as(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(getpid())),
                             reinterpret_cast<HANDLE>(syscall(SYS_gettid)), process_->eprocess());
      for (int s : {c_, s_}) {
        if (s >= 0) zektcp::sys_close(s);
      }
    }
    if (board_) board().attach_port(nullptr);
    VerbsRequestsTest::TearDown();
  }
  // The connection's two ends (this host both sides), sockets of this
  // process (a hand-over takes only the caller's own).
  void connect() {
    using namespace zektcp;
    plat::ClientContext as(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(getpid())),
                           reinterpret_cast<HANDLE>(syscall(SYS_gettid)), process_->eprocess());
    const int l = sys_socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = make_sockaddr_in(verbstest::kSanAddress, 0);
    ASSERT_EQ(sys_bind(l, &a, sizeof a), 0);
    ASSERT_EQ(sys_listen(l, 4), 0);
    int length = sizeof a;
    ASSERT_EQ(sys_getsockname(l, &a, &length), 0);
    c_ = sys_socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from = make_sockaddr_in(verbstest::kSanAddress, 0);
    ASSERT_EQ(sys_bind(c_, &from, sizeof from), 0);
    ASSERT_EQ(sys_connect(c_, &a, sizeof a), 0);
    s_ = sys_accept(l, nullptr, nullptr);
    ASSERT_GE(s_, 0);
    sys_close(l);
  }
  std::uint32_t rts(std::uint64_t qp, int socket) {
    ZekVreqQpModify m{};
    m.Adapter = adapter_;
    m.Qp = qp;
    m.Input.Mask = ZEK_QP_MODIFY_STATE;
    m.Input.State = ZEK_QP_STATE_RTS;
    m.Input.Socket = static_cast<std::uint64_t>(socket);
    m.Status = 0xFFFF;
    EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_MODIFY, &m), 0u);
    return m.Status;
  }
  std::uint32_t post(std::uint64_t qp, const ZekSendWr& r) {
    std::uint32_t posted = 0;
    ZekVreqPostSq p{adapter_, qp,    reinterpret_cast<std::uint64_t>(&r), reinterpret_cast<std::uint64_t>(&posted),
                    1,        0xFFFF};
    EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_POST_SQ, &p), 0u);
    EXPECT_EQ(posted, p.Status == ZEK_STATUS_PASS ? 1u : 0u);
    return p.Status;
  }
  std::uint32_t receive(std::uint64_t qp, std::uint64_t id, const ZekSge& sge) {
    const ZekRecvWr r{id, &sge, 1, 0};
    ZekVreqPostRq p{adapter_, qp, reinterpret_cast<std::uint64_t>(&r), 0, 0, 1, 0xFFFF};
    EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_POST_RQ, &p), 0u);
    return p.Status;
  }
  // The next completion through the poll request, the frames carried meanwhile.
  ZekWorkCompletion next() {
    ZekWorkCompletion wc{};
    const bool got = eventually([&] {
      port_.deliver(board());
      settle();
      ZekVreqCqPoll poll{adapter_, cq_, reinterpret_cast<std::uint64_t>(&wc), 0xFFFF, 0};
      return send(IOCTL_ZEK_IWARP_CQ_POLL_COMPLETION, &poll) == 0 && poll.Status == ZEK_STATUS_PASS;
    });
    EXPECT_TRUE(got) << "no completion" << log_text();
    return wc;
  }
  std::uint64_t at(std::uint32_t offset) const { return reinterpret_cast<std::uint64_t>(memory_.data()) + offset; }
  void fill(std::uint32_t offset, std::uint32_t length, int seed) {
    for (std::uint32_t i = 0; i < length; ++i) memory_[offset + i] = static_cast<std::uint8_t>(i * 13 + seed);
  }
  bool same(std::uint32_t a, std::uint32_t b, std::uint32_t length) const {
    return std::memcmp(memory_.data() + a, memory_.data() + b, length) == 0;
  }

  // Two queue pairs of the process joined by the connection, both in RTS.
  void connected_pair(std::uint64_t* first, std::uint64_t* second) {
    const std::uint64_t domain = domain_ = pd();
    ZekVreqCqCreate cq{};
    cq.Adapter = adapter_;
    cq.Requested = 64;
    cq.Status = 0xFFFF;
    ASSERT_EQ(send(IOCTL_ZEK_IWARP_CQ_CREATE, &cq), 0u);
    ASSERT_EQ(cq.Status, ZEK_STATUS_PASS);
    cq_ = cq.Cq;
    *first = plain_qp(domain, cq_);
    *second = plain_qp(domain, cq_);
    connect();
    ASSERT_EQ(rts(*first, s_), ZEK_STATUS_PASS) << log_text();
    ASSERT_EQ(rts(*second, c_), ZEK_STATUS_PASS) << log_text();
  }
  std::uint32_t move(std::uint64_t qp, ZekQpState state) {
    ZekVreqQpModify m{};
    m.Adapter = adapter_;
    m.Qp = qp;
    m.Input.Mask = ZEK_QP_MODIFY_STATE;
    m.Input.State = state;
    m.Status = 0xFFFF;
    EXPECT_EQ(send(IOCTL_ZEK_IWARP_QP_MODIFY, &m), 0u);
    return m.Status;
  }
  // The miniport's part: the adapter's asynchronous events taken from its
  // queue and handed to the driver.
  void take_async_events() {
    MifhAeqObject& aeq = fn_->aeq;
    auto* ring = static_cast<zekhw::MifhAeqe*>(aeq.Ring);
    std::uint32_t taken = 0;
    for (;;) {
      zekhw::MifhAeqe* slot = &ring[aeq.RingIndex.Tail];
      std::atomic_ref<std::uint32_t> info(slot->info);
      const std::uint32_t word3 = info.load(std::memory_order_acquire);
      if ((word3 & zekhw::kAeqeValid) == 0) break;
      const zekhw::MifhAeqe entry = *slot;
      info.store(0, std::memory_order_release);
      aeq.RingIndex.Tail = (aeq.RingIndex.Tail + 1) % aeq.RingIndex.Size;
      ++taken;
      const ZekAsyncEvent event = zek_decode_async_event(entry.context, entry.object_word, word3);
      ZpxQueueAEQ(record_.Device, &event);
    }
    if (taken > 0) mifh_write_reg(&fn_->device, zekhw::kRegAeqAcknowledge, zekhw::aeq_acknowledge(taken));
  }
  // Carries the frames and the events until `done` holds.
  template <typename F>
  bool run_until(F done, int milliseconds = 20000) {
    return eventually(
        [&] {
          port_.deliver(board());
          settle();
          take_async_events();
          return done();
        },
        milliseconds);
  }

  TurnaroundPort port_;
  int c_ = -1, s_ = -1;
  std::uint64_t domain_ = 0;
  std::uint64_t cq_ = 0;
  std::vector<std::uint8_t> memory_ = std::vector<std::uint8_t>(16 * 4096, 0);
};

// Send and receive, RDMA write and read, and a window bound and written
// through, between two queue pairs of the process, every request a control
// request and every buffer the process's own memory: each byte arrives.
TEST_F(VerbsRequestsLoopback, EveryOperationMovesTheProcesssBytes) {
  open_adapter();
  const std::uint64_t domain = pd();
  ZekVreqCqCreate cq{};
  cq.Adapter = adapter_;
  cq.Requested = 64;
  cq.Status = 0xFFFF;
  ASSERT_EQ(send(IOCTL_ZEK_IWARP_CQ_CREATE, &cq), 0u);
  ASSERT_EQ(cq.Status, ZEK_STATUS_PASS);
  cq_ = cq.Cq;
  const std::uint64_t first = plain_qp(domain, cq_);
  const std::uint64_t second = plain_qp(domain, cq_);
  connect();
  ASSERT_EQ(rts(first, s_), ZEK_STATUS_PASS) << log_text();
  ASSERT_EQ(rts(second, c_), ZEK_STATUS_PASS) << log_text();
  const std::uint32_t stag = register_region(domain, memory_.data(), static_cast<std::uint32_t>(memory_.size()));
  ASSERT_NE(stag, 0u) << log_text();

  // Send and receive: two entries gathered on the sender.
  fill(0, 3000, 1);
  ASSERT_EQ(receive(second, 0xA1, {at(8192), 4096, stag}), ZEK_STATUS_PASS) << log_text();
  const ZekSge gather[2] = {{at(0), 1000, stag}, {at(1000), 2000, stag}};
  ZekSendWr message{};
  message.WrId = 0x51;
  message.Op = ZEK_WR_SEND;
  message.Signalled = 1;
  message.Sgl = gather;
  message.SgeCount = 2;
  ASSERT_EQ(post(first, message), ZEK_STATUS_PASS) << log_text();
  std::vector<ZekWorkCompletion> got{next(), next()};
  std::sort(got.begin(), got.end(), [](const auto& x, const auto& y) { return x.WrId < y.WrId; });
  EXPECT_EQ(got[0].WrId, 0x51u);
  EXPECT_EQ(got[0].Status, 0u);
  EXPECT_EQ(got[1].WrId, 0xA1u);
  EXPECT_EQ(got[1].OpCode, ZEK_WC_RECEIVE);
  EXPECT_EQ(got[1].Length, 3000u);
  EXPECT_TRUE(same(0, 8192, 3000));

  // RDMA write into the region, and read back into another part of it.
  fill(12288, 5000, 2);
  const ZekSge write_sge{at(12288), 5000, stag};
  ZekSendWr write{};
  write.WrId = 0x52;
  write.Op = ZEK_WR_RDMA_WRITE;
  write.Signalled = 1;
  write.Sgl = &write_sge;
  write.SgeCount = 1;
  write.Remote = at(20480);
  write.RemoteStag = stag;
  ASSERT_EQ(post(first, write), ZEK_STATUS_PASS) << log_text();
  EXPECT_EQ(next().WrId, 0x52u);
  EXPECT_TRUE(same(12288, 20480, 5000));
  const ZekSge read_sge{at(32768), 5000, stag};
  ZekSendWr read = write;
  read.WrId = 0x53;
  read.Op = ZEK_WR_RDMA_READ;
  read.Sgl = &read_sge;
  ASSERT_EQ(post(second, read), ZEK_STATUS_PASS) << log_text();
  const ZekWorkCompletion r = next();
  EXPECT_EQ(r.WrId, 0x53u);
  EXPECT_EQ(r.Length, 5000u);
  EXPECT_TRUE(same(12288, 32768, 5000));

  // A window allocated and bound by the requests, written through.
  std::uint32_t window = 0;
  ZekVreqMwAlloc mw{adapter_, domain, reinterpret_cast<std::uint64_t>(&window), 0xFFFF, 0};
  ASSERT_EQ(send(IOCTL_ZEK_IWARP_MW_ALLOC, &mw), 0u);
  ASSERT_EQ(mw.Status, ZEK_STATUS_PASS);
  ZekSendWr bw{};
  auto& b = reinterpret_cast<ZekBindWr&>(bw);
  b.WrId = 0x56;
  b.Op = ZEK_WR_BIND;
  b.Signalled = 1;
  b.RegionStag = stag;
  b.Length = 4096;
  b.Va = at(53248);
  b.RemoteWrite = 1;
  b.WindowStag = window;
  b.Key = 0x77;
  ASSERT_EQ(post(second, bw), ZEK_STATUS_PASS) << log_text();
  EXPECT_EQ(next().WrId, 0x56u);
  write.WrId = 0x57;
  const ZekSge small{at(12288), 1000, stag};
  write.Sgl = &small;
  write.Remote = at(53248 + 10);
  write.RemoteStag = zekhw::make_stag(zekhw::stag_index(window), 0x77);
  ASSERT_EQ(post(first, write), ZEK_STATUS_PASS) << log_text();
  EXPECT_EQ(next().WrId, 0x57u);
  EXPECT_TRUE(same(12288, 53248 + 10, 1000));
  close_adapter();
  EXPECT_EQ(in_use(), baseline_);
}

// The connection's end as the adapter reports it: the process closes one
// end (CLOSING, a FIN to the peer), the peer's queue pair hears the FIN and
// is moved to error (the adapter resets the connection), the closing end
// hears the reset. Each end's disconnect notification completes with
// success.
TEST_F(VerbsRequestsLoopback, ThePeersCloseCompletesBothEndsNotifications) {
  AsyncEventThread events;
  ASSERT_TRUE(events.started);
  open_adapter();
  std::uint64_t first = 0, second = 0;
  connected_pair(&first, &second);
  if (HasFatalFailure()) return;
  Waiter a, b;
  ASSERT_EQ(notify_disconnect(first, a), STATUS_PENDING);
  ASSERT_EQ(notify_disconnect(second, b), STATUS_PENDING);
  EXPECT_FALSE(run_until([&] { return KeReadStateEvent(&a.done) != 0; }, 200)) << "nothing ended yet";
  ASSERT_EQ(move(second, ZEK_QP_STATE_CLOSING), ZEK_STATUS_PASS) << log_text();
  EXPECT_TRUE(run_until([&] { return KeReadStateEvent(&a.done) != 0 && KeReadStateEvent(&b.done) != 0; }))
      << log_text();
  EXPECT_EQ(a.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(b.iosb.Status, STATUS_SUCCESS);
  close_adapter();
  EXPECT_EQ(in_use(), baseline_);
}

// The process moves its connected queue pair to error: the adapter resets
// the connection and reports nothing of it to that end, so the modify
// completes the notification; the peer's end hears the reset.
TEST_F(VerbsRequestsLoopback, AMoveToErrorCompletesTheNotificationAtOnce) {
  AsyncEventThread events;
  ASSERT_TRUE(events.started);
  open_adapter();
  std::uint64_t first = 0, second = 0;
  connected_pair(&first, &second);
  if (HasFatalFailure()) return;
  Waiter a, b;
  ASSERT_EQ(notify_disconnect(first, a), STATUS_PENDING);
  ASSERT_EQ(notify_disconnect(second, b), STATUS_PENDING);
  ASSERT_EQ(move(first, ZEK_QP_STATE_ERROR), ZEK_STATUS_PASS) << log_text();
  EXPECT_NE(KeReadStateEvent(&a.done), 0);
  EXPECT_EQ(a.iosb.Status, STATUS_SUCCESS);
  EXPECT_TRUE(run_until([&] { return KeReadStateEvent(&b.done) != 0; })) << log_text();
  EXPECT_EQ(b.iosb.Status, STATUS_SUCCESS);
  close_adapter();
  EXPECT_EQ(in_use(), baseline_);
}

// The process's end with its connection up, a region of its memory
// registered and receives posted: its clean-up (what IRP_MJ_CLEANUP runs)
// moves both connected queue pairs out of RTS (CLOSING: the adapter stops
// their work, which comes back flushed) before it deallocates the region
// and unlocks its pages, so the adapter never places data in memory given
// back; the control requests carry the order.
TEST_F(VerbsRequestsLoopback, AProcesssEndTakesItsConnectionsOutOfRtsBeforeItsRegionsGo) {
  open_adapter();
  std::uint64_t first = 0, second = 0;
  connected_pair(&first, &second);
  if (HasFatalFailure()) return;
  const std::uint32_t stag = register_region(domain_, memory_.data(), static_cast<std::uint32_t>(memory_.size()));
  ASSERT_NE(stag, 0u) << log_text();
  ASSERT_EQ(receive(first, 0xB1, {at(0), 4096, stag}), ZEK_STATUS_PASS) << log_text();
  ASSERT_EQ(receive(second, 0xB2, {at(4096), 4096, stag}), ZEK_STATUS_PASS) << log_text();
  std::set<std::uint32_t> connected;
  for (std::uint64_t qp : {first, second}) connected.insert(static_cast<std::uint32_t>(qp));

  const MifhCqpObject* cqp = fn_->cqp;
  const std::uint32_t from = cqp->RingIndex.Head;
  as_caller(0, [] { zek_cleanup_iwarp_resources(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(getpid()))); });
  adapter_ = 0;
  EXPECT_EQ(in_use(), baseline_);
  const std::uint32_t size = cqp->RingIndex.Size;
  const std::uint32_t n = (cqp->RingIndex.Head + size - from) % size;
  ASSERT_GT(n, 0u);
  ASSERT_LT(n, size - 1) << "the clean-up's requests wrapped the control ring";
  std::set<std::uint32_t> closed;
  bool region_gone = false;
  for (std::uint32_t i = 0; i < n; ++i) {
    const zekhw::MifhCqpWqe& w = cqp->Ring[(from + i) % size];
    const std::uint32_t op = w.op_word & zekhw::kOpMask;
    if (op == zekhw::kOpModifyQp) {
      const std::uint32_t state = (w.op_word >> zekhw::kQpStateShift) & zekhw::kQpStateMask;
      if (state == ZEK_QP_STATE_CLOSING || state == ZEK_QP_STATE_ERROR) closed.insert(w.object_word);
    }
    if (op == zekhw::kOpDeallocateStag && (w.op_word & zekhw::kStagRegion) != 0) {
      region_gone = true;
      EXPECT_EQ(closed, connected) << "request " << i << ": the region went while a queue pair was still in RTS";
    }
  }
  EXPECT_TRUE(region_gone);
  EXPECT_EQ(closed, connected);
}

}  // namespace
