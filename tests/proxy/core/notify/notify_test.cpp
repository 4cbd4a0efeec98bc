// The completion notification and event wait over an attached simulated
// adapter: completions reach the adapter as a hardware CQ entry, the
// adapter's event queue names the CQ, the bottom half runs (at
// DISPATCH_LEVEL, as in the miniport's DPC) and the user CQ's callback feeds
// the adapter's ring; a wait request (an IRP, as the dispatcher hands it
// over) is pended and completed with what arrived.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <map>
#include <thread>

#include "include/hw/cqp.h"
#include "include/zek/notify.h"
#include "platform/kernel/io/iomgr.h"
#include "proxy/core/notify.h"
#include "proxy/rdma/hw/cq.h"
#include "proxy/rdma/hw/ring.h"
#include "proxy/rdma/hw/status.h"
#include "tests/proxy/rdma/verbs/verbs_fixture.h"

namespace {

using verbstest::VerbsTest;

// Process ids the test's requests run as.
constexpr std::uintptr_t kProcessA = 7101;
constexpr std::uintptr_t kProcessB = 7102;

HANDLE pid(std::uintptr_t p) { return reinterpret_cast<HANDLE>(p); }

// A request built as a kernel caller builds it and handed to the handler as
// the dispatcher would; completed (now or later) into `out`.
struct Request {
  KEVENT done;
  IO_STATUS_BLOCK iosb{};
  NTSTATUS returned = STATUS_PENDING;
  ZekAsyncEventRecord out{};
  PIRP irp = nullptr;  // while it waits
  bool finished() { return KeReadStateEvent(&done) != 0; }
};

class NotifyTest : public VerbsTest {
 protected:
  void SetUp() override {
    VerbsTest::SetUp();
    if (HasFatalFailure()) return;
    io_ = std::make_unique<plat::IoManager>(kernel());
    device_.StackSize = 2;
    extension_ = std::make_unique<ZpxDeviceExtension>();
    InitializeListHead(&extension_->IrpList);
    KeInitializeSpinLock(&extension_->IrpListLock);
    ASSERT_EQ(IoCsqInitializeEx(&extension_->Csq, &ZpxCsqInsertIrp, &ZpxCsqRemoveIrp, &ZpxCsqPeekNextIrp,
                                &ZpxCsqAcquireLock, &ZpxCsqReleaseLock, &ZpxCsqCompleteCanceledIrp),
              STATUS_SUCCESS);
    g_ZpxExtension = extension_.get();
  }
  void TearDown() override {
    VerbsTest::TearDown();  // the verbs' stop closes what is open, completing waits
    g_ZpxExtension = nullptr;
  }

  // A user open of process `p` with `cqs` CQs made user CQs (identifier
  // 100 + i).
  struct UserAdapter {
    void* adapter = nullptr;
    std::vector<void*> cqs;
  };
  UserAdapter open_user(std::uintptr_t p, std::size_t cqs) {
    plat::ClientContext as(pid(p), pid(p + 1));
    UserAdapter u;
    const ZekVerbsAddress a = verbstest::address_of(verbstest::kSanAddress);
    EXPECT_EQ(zek_open_user(&u.adapter, &a), ZEK_STATUS_PASS) << log_text();
    for (std::size_t i = 0; i < cqs; ++i) {
      void* cq = nullptr;
      std::uint32_t entries = 0;
      EXPECT_EQ(zek_cq_create(u.adapter, &cq, &entries, nullptr, nullptr, 64), ZEK_STATUS_PASS) << log_text();
      EXPECT_EQ(ZpxNotifyInstallCq(u.adapter, cq, 0x7000 + i, 100 + i), ZEK_STATUS_PASS);
      EXPECT_EQ(zek_cq_request_notification(u.adapter, cq, 0), ZEK_STATUS_PASS);
      u.cqs.push_back(cq);
    }
    return u;
  }

  // One completion on a CQ as the adapter delivers it: the entry, the event
  // naming the CQ, the CQ given back and armed again, and the bottom half.
  void complete_on(void* handle) {
    auto* cq = static_cast<MifhCqObject*>(handle);
    zekhw::MifhCqe e{};
    std::memcpy(reinterpret_cast<std::byte*>(&e) + sizeof e - 4, &zekhw::kCqeValid, 4);
    ASSERT_EQ(board().post_completion(cq->CqId, std::as_bytes(std::span{&e, 1}), false), zeksim::PostResult::Written);
    // The client takes the entry (as its poll would) and gives the slot back.
    static_cast<zekhw::MifhCqe*>(cq->Ring)[cq->RingIndex.Tail] = {};
    OSPRIM_RING_MOVE_TAIL(&cq->RingIndex);
    ASSERT_EQ(mifh_cq_release_cqes(cq->Device, cq, 1, true), MIFH_STATUS_SUCCESS);
    bottom_half();
  }
  void bottom_half() {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ZEK_common_bh_routine(&record_, 1);
    KeLowerIrql(old);
  }

  // A request of process `p` with `code` and a record that starts with
  // `record`; returned at once or pended.
  template <typename Record>
  std::unique_ptr<Request> request(std::uintptr_t p, ULONG code, const Record& record) {
    auto r = std::make_unique<Request>();
    KeInitializeEvent(&r->done, NotificationEvent, FALSE);
    ZekAsyncEventRecord in{};
    static_assert(sizeof(Record) <= sizeof in);
    std::memcpy(&in, &record, sizeof record);
    PIRP irp = IoBuildDeviceIoControlRequest(code, &device_, &in, sizeof(Record), &r->out, sizeof(Record), FALSE,
                                             &r->done, &r->iosb);
    EXPECT_NE(irp, nullptr);
    r->irp = irp;
    ULONG_PTR bytes = 0;
    {
      plat::ClientContext as(pid(p), pid(p + 1));
      r->returned = ZpxNotifyRequest(irp, code, irp->AssociatedIrp.SystemBuffer, &bytes);
    }
    if (r->returned != STATUS_PENDING) {
      irp->IoStatus.Status = r->returned;
      irp->IoStatus.Information = NT_SUCCESS(r->returned) ? bytes : 0;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      r->irp = nullptr;
    }
    return r;
  }
  template <typename Record>
  Record answer(std::uintptr_t p, ULONG code, Record record) {
    auto r = request(p, code, record);
    EXPECT_TRUE(r->finished());
    std::memcpy(&record, &r->out, sizeof record);
    return record;
  }
  std::unique_ptr<Request> wait(std::uintptr_t p, void* adapter) {
    ZekAsyncEventRecord w{};
    w.Adapter = reinterpret_cast<std::uint64_t>(adapter);
    w.Count = 0xC0C0;  // kept when nothing is returned
    return request(p, IOCTL_ZEK_IWARP_WAIT_ON_ASYNC_FUNCTION_CALL, w);
  }
  ZekStatus terminate(std::uintptr_t p, void* adapter) {
    ZekTerminateWaitRecord t{reinterpret_cast<std::uint64_t>(adapter), 0xFFFF, 0};
    auto r = request(p, IOCTL_IWARP_TERMINATE_CQ_POLL_THREAD, t);
    std::memcpy(&t, &r->out, sizeof t);
    return t.Status;
  }
  static std::vector<std::uint64_t> ids(const Request& r) {
    if (r.out.Count == 0xC0C0) return {};
    return {r.out.Ids, r.out.Ids + std::min(r.out.Count, ZEK_NOTIFY_MAX_IDS)};
  }
  static std::uint32_t event_word(const Request& r) {
    std::uint32_t w = 0;
    std::memcpy(&w, r.out.Event, sizeof w);
    return w;
  }

  std::unique_ptr<plat::IoManager> io_;
  DEVICE_OBJECT device_{};
  std::unique_ptr<ZpxDeviceExtension> extension_;
};

// A wait with nothing queued pends; a completion on a user CQ completes it
// with that CQ's identifier and no event; the next wait pends again.
TEST_F(NotifyTest, AWaitPendsUntilACompletionArrivesAndReturnsItsCq) {
  UserAdapter u = open_user(kProcessA, 2);
  auto w = wait(kProcessA, u.adapter);
  ASSERT_EQ(w->returned, STATUS_PENDING);
  EXPECT_FALSE(w->finished());
  complete_on(u.cqs[1]);
  ASSERT_TRUE(w->finished()) << log_text();
  EXPECT_EQ(w->iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(w->iosb.Information, sizeof(ZekAsyncEventRecord));
  EXPECT_EQ(w->out.Status, 0u);
  EXPECT_EQ(event_word(*w), ZEK_NOTIFY_NO_EVENT);
  EXPECT_EQ(ids(*w), std::vector<std::uint64_t>{101});
  auto next = wait(kProcessA, u.adapter);
  EXPECT_EQ(next->returned, STATUS_PENDING);
  EXPECT_EQ(terminate(kProcessA, u.adapter), 0u);
  ASSERT_TRUE(next->finished());
  EXPECT_TRUE(ids(*next).empty()) << "the terminate request releases the wait with nothing";
}

// 999 notifications fill the ring and the next ones find it full: they are
// dropped, but their CQs are not lost: once the ring is drained each comes
// once more, after the ring's entries and within a wait's 200.
TEST_F(NotifyTest, AFullRingNeverLosesACq) {
  UserAdapter u = open_user(kProcessA, 2);
  for (int i = 0; i < 999; ++i) complete_on(u.cqs[0]);
  complete_on(u.cqs[0]);
  EXPECT_TRUE(logged("ZPX_CQCallbackFunc: Queue is full")) << log_text();
  complete_on(u.cqs[1]);
  std::vector<std::size_t> sizes;
  std::map<std::uint64_t, int> seen;
  for (int i = 0; i < 6; ++i) {
    auto w = wait(kProcessA, u.adapter);
    if (w->returned == STATUS_PENDING) {
      EXPECT_EQ(terminate(kProcessA, u.adapter), 0u);
      ASSERT_TRUE(w->finished());
    }
    sizes.push_back(ids(*w).size());
    for (std::uint64_t id : ids(*w)) ++seen[id];
  }
  EXPECT_EQ(sizes, (std::vector<std::size_t>{200, 200, 200, 200, 200, 1}));
  EXPECT_EQ(seen[100], 1000);
  EXPECT_EQ(seen[101], 1) << "the CQ whose only notification found the ring full";
}

// A queued asynchronous event returns at once, with any identifiers.
TEST_F(NotifyTest, AQueuedEventReturnsAtOnceWithTheIdentifiers) {
  UserAdapter u = open_user(kProcessA, 1);
  auto first = wait(kProcessA, u.adapter);  // marks the waiter present
  EXPECT_EQ(terminate(kProcessA, u.adapter), 0u);
  ASSERT_TRUE(first->finished());
  complete_on(u.cqs[0]);
  MifhAsyncEventRecord record{};
  ASSERT_EQ(ZpxPostAsyncEvent(u.adapter, &record, 0x55, 23), ZEK_STATUS_PASS);
  auto w = wait(kProcessA, u.adapter);
  ASSERT_EQ(w->returned, STATUS_SUCCESS);
  EXPECT_EQ(event_word(*w), 23u);
  EXPECT_EQ(ids(*w), std::vector<std::uint64_t>{100});
  EXPECT_EQ(w->out.Status, 0u);

  // The query takes a queued event without waiting; with none it answers 1.
  MifhAsyncEventRecord other{};
  ASSERT_EQ(ZpxPostAsyncEvent(u.adapter, &other, 0x66, 7), ZEK_STATUS_PASS);
  const std::uint64_t handle = reinterpret_cast<std::uint64_t>(u.adapter);
  auto q = answer(kProcessA, IOCTL_ZEK_IWARP_QUERY_ASYNC_ERROR, ZekQueryAsyncErrorRecord{handle, 0, {}, 0xFFFF, 0});
  EXPECT_EQ(q.Status, 0u);
  std::uint32_t code = 0;
  std::memcpy(&code, q.Event, sizeof code);
  EXPECT_EQ(code, 7u);
  q = answer(kProcessA, IOCTL_ZEK_IWARP_QUERY_ASYNC_ERROR, ZekQueryAsyncErrorRecord{handle, 0, {}, 0xFFFF, 0});
  EXPECT_EQ(q.Status, 1u);
}

// Closing returns a waiting wait at once with status 1; a wait on the closed
// handle answers an unknown adapter, and so does the terminate request.
TEST_F(NotifyTest, CloseCompletesTheWaiterAndTheClosedHandleIsUnknown) {
  UserAdapter u = open_user(kProcessA, 1);
  auto w = wait(kProcessA, u.adapter);
  ASSERT_EQ(w->returned, STATUS_PENDING);
  EXPECT_EQ(zek_close(u.adapter), ZEK_STATUS_PASS);
  ASSERT_TRUE(w->finished()) << "the close returned the wait";
  EXPECT_EQ(w->out.Status, 1u);
  EXPECT_EQ(event_word(*w), ZEK_NOTIFY_NO_EVENT);
  EXPECT_TRUE(ids(*w).empty());
  auto after = wait(kProcessA, u.adapter);
  EXPECT_EQ(after->returned, STATUS_SUCCESS);
  EXPECT_EQ(after->out.Status, IWARP_STATUS_A_INVALID_RNIC_HANDLE);
  EXPECT_EQ(terminate(kProcessA, u.adapter), IWARP_STATUS_A_INVALID_RNIC_HANDLE);
}

// Hostile waits: a second waiter, another process's adapter, forged and
// kernel handles; none disturbs the waiter that is there.
TEST_F(NotifyTest, HostileWaitsGetAClearAnswerAndLeaveTheWaiter) {
  UserAdapter a = open_user(kProcessA, 1);
  UserAdapter b = open_user(kProcessB, 1);
  void* kernel_adapter = open();
  auto w = wait(kProcessA, a.adapter);
  ASSERT_EQ(w->returned, STATUS_PENDING);

  auto second = wait(kProcessA, a.adapter);
  EXPECT_EQ(second->returned, STATUS_INVALID_DEVICE_STATE) << "one waiter per adapter";
  ASSERT_TRUE(second->finished());
  EXPECT_EQ(second->iosb.Information, 0u);

  const struct {
    const char* what;
    std::uintptr_t process;
    void* adapter;
  } foreign[] = {
      {"another process's adapter", kProcessB, a.adapter},
      {"a kernel client's adapter", kProcessA, kernel_adapter},
      {"a forged pointer", kProcessA, reinterpret_cast<void*>(0xFFFF800012345000ull)},
      {"the uninitialised pointer", kProcessA, reinterpret_cast<void*>(std::uintptr_t{0xCCCCCCCC})},
      {"a CQ as the adapter", kProcessA, a.cqs[0]},
  };
  for (const auto& c : foreign) {
    SCOPED_TRACE(c.what);
    auto r = wait(c.process, c.adapter);
    EXPECT_EQ(r->returned, STATUS_SUCCESS);
    EXPECT_EQ(r->out.Status, IWARP_STATUS_A_INVALID_RNIC_HANDLE);
    EXPECT_EQ(terminate(c.process, c.adapter), IWARP_STATUS_A_INVALID_RNIC_HANDLE);
    ZekQueryAsyncErrorRecord q{reinterpret_cast<std::uint64_t>(c.adapter), 0, {}, 0xFFFF, 0};
    auto answer = request(c.process, IOCTL_ZEK_IWARP_QUERY_ASYNC_ERROR, q);
    std::memcpy(&q, &answer->out, sizeof q);
    EXPECT_EQ(q.Status, IWARP_STATUS_A_INVALID_RNIC_HANDLE) << "the query reads only the caller's own adapter";
  }
  EXPECT_FALSE(w->finished()) << "no foreign request reached the waiter";
  complete_on(b.cqs[0]);
  EXPECT_FALSE(w->finished()) << "another adapter's completion";
  complete_on(a.cqs[0]);
  ASSERT_TRUE(w->finished());
  EXPECT_EQ(ids(*w), std::vector<std::uint64_t>{100});
  EXPECT_EQ(zek_close(kernel_adapter), ZEK_STATUS_PASS);
}

// Notification requests keyed by a CQ belong to the CQ's process: another
// process cannot pend under it, and the CQ's callback completes its owner's.
TEST_F(NotifyTest, KeysOfVerbsObjectsBelongToTheirProcess) {
  UserAdapter a = open_user(kProcessA, 1);
  const auto key = reinterpret_cast<std::uint64_t>(a.cqs[0]);
  EXPECT_EQ(ZpxQueueKeyOwner(key), kProcessA);
  EXPECT_EQ(ZpxQueueKeyOwner(reinterpret_cast<std::uint64_t>(a.adapter)), kProcessA);
  EXPECT_EQ(ZpxQueueKeyOwner(0xFFFF800012345000ull), ZPX_ANY_OWNER) << "a key that names no verbs object";
  // Another process cannot wait under A's CQ.
  ZekNdWaitRecord wait_record{key};
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION, &device_, &wait_record,
                                           sizeof wait_record, nullptr, 0, FALSE, &done, &iosb);
  {
    plat::ClientContext as(pid(kProcessB), pid(kProcessB + 1));
    const NTSTATUS refused =
        ZpxPendKeyedRequest(irp, irp->AssociatedIrp.SystemBuffer, IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION);
    EXPECT_EQ(refused, STATUS_ACCESS_DENIED);
    irp->IoStatus.Status = refused;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  void* kernel_adapter = open();
  EXPECT_EQ(ZpxQueueKeyOwner(reinterpret_cast<std::uint64_t>(kernel_adapter)), 0u) << "a kernel client's";
  EXPECT_EQ(zek_close(kernel_adapter), ZEK_STATUS_PASS);
  EXPECT_EQ(zek_close(a.adapter), ZEK_STATUS_PASS);
  EXPECT_EQ(ZpxQueueKeyOwner(key), ZPX_ANY_OWNER) << "closed: the key names nothing any more";
}

// A wait whose process cancels it (or ends) leaves the queue; what arrives
// afterwards is kept for the next wait, which returns at once.
TEST_F(NotifyTest, ACancelledWaitLeavesNothingBehind) {
  UserAdapter u = open_user(kProcessA, 1);
  auto w = wait(kProcessA, u.adapter);
  ASSERT_EQ(w->returned, STATUS_PENDING);
  IoCancelIrp(w->irp);
  ASSERT_TRUE(w->finished());
  EXPECT_EQ(w->iosb.Status, STATUS_CANCELLED);
  complete_on(u.cqs[0]);
  auto next = wait(kProcessA, u.adapter);
  EXPECT_EQ(next->returned, STATUS_SUCCESS) << "a new waiter is not refused, and takes what arrived";
  EXPECT_EQ(ids(*next), std::vector<std::uint64_t>{100});
}

// The bottom half calls each verbs CQ's own callback: a kernel client's
// handler, or the user callback, which with no user handler puts nothing in
// the ring but still completes one notification request keyed by the CQ.
TEST_F(NotifyTest, EveryCqTakesItsOwnCallback) {
  static std::atomic<int> kernel_calls;
  kernel_calls = 0;
  void* kernel_adapter = open();
  void* kernel_cq = nullptr;
  std::uint32_t entries = 0;
  ASSERT_EQ(zek_cq_create(
                kernel_adapter, &kernel_cq, &entries, [](void*, void*) { ++kernel_calls; }, nullptr, 16),
            ZEK_STATUS_PASS);
  ASSERT_EQ(zek_cq_request_notification(kernel_adapter, kernel_cq, 0), ZEK_STATUS_PASS);
  complete_on(kernel_cq);
  EXPECT_EQ(kernel_calls.load(), 1);

  UserAdapter u = open_user(kProcessA, 1);
  ASSERT_EQ(ZpxNotifyInstallCq(u.adapter, u.cqs[0], 0, 100), ZEK_STATUS_PASS);  // no user handler
  ZekNdWaitRecord key{reinterpret_cast<std::uint64_t>(u.cqs[0])};
  auto pended = std::make_unique<Request>();
  KeInitializeEvent(&pended->done, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION, &device_, &key, sizeof key,
                                           nullptr, 0, FALSE, &pended->done, &pended->iosb);
  {
    plat::ClientContext as(pid(kProcessA), pid(kProcessA + 1));
    ASSERT_EQ(ZpxPendKeyedRequest(irp, irp->AssociatedIrp.SystemBuffer, IOCTL_ZEK_IWARP_GET_COMPLETION_NOTIFICATION),
              STATUS_PENDING);
  }
  auto w = wait(kProcessA, u.adapter);
  complete_on(u.cqs[0]);
  ASSERT_TRUE(pended->finished());
  EXPECT_EQ(pended->iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(terminate(kProcessA, u.adapter), 0u);
  ASSERT_TRUE(w->finished());
  EXPECT_TRUE(ids(*w).empty()) << "a CQ without a user handler puts nothing in the ring";
  EXPECT_EQ(zek_close(kernel_adapter), ZEK_STATUS_PASS);
}

// The error-QP information and the forced event processing take a CQ of the
// caller's own adapters only.
TEST_F(NotifyTest, ErrorQpInformationAndForcedProcessingTakeOnlyTheCallersCq) {
  UserAdapter u = open_user(kProcessA, 1);
  std::uint64_t qp = 0;
  {
    plat::ClientContext as(pid(kProcessA), pid(kProcessA + 1));
    Objects o;
    o.cq = u.cqs[0];
    ASSERT_EQ(zek_pd_allocate(u.adapter, &o.pd), ZEK_STATUS_PASS);
    qp = make_qp(u.adapter, o);
    ASSERT_NE(qp, 0u);
    ASSERT_EQ(zek_set_context(u.adapter, qp, ZEK_CONTEXT_QP, reinterpret_cast<void*>(0x5A5A)), ZEK_STATUS_PASS);
  }
  auto* cq = static_cast<MifhCqObject*>(u.cqs[0]);
  ASSERT_EQ(InsertInErrorQPList(cq, qp_object(u.adapter, qp), 1, 0), ZEK_STATUS_PASS);
  const auto handle = reinterpret_cast<std::uint64_t>(cq);

  const struct {
    const char* what;
    std::uintptr_t process;
    std::uint64_t cq;
  } refused[] = {
      {"another process", kProcessB, handle},
      {"a forged CQ", kProcessA, 0xFFFF800012345000ull},
      {"the adapter as a CQ", kProcessA, reinterpret_cast<std::uint64_t>(u.adapter)},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.what);
    const auto info = answer(c.process, IOCTL_ZEK_IWARP_GET_ERROR_QP_INFO, ZekErrorQpInfoRecord{c.cq, 77, 0xAB00, 0});
    EXPECT_EQ(info.Empty, 1u);
    EXPECT_EQ(info.QpClient, 77u) << "kept as sent";
    const auto force = answer(c.process, IOCTL_ZEK_IWARP_FORCE_PROCESS_AEQ, ZekForceProcessAeqRecord{c.cq, 0xFF, 0});
    EXPECT_EQ(force.Status, 1u);
  }
  const auto info = answer(kProcessA, IOCTL_ZEK_IWARP_GET_ERROR_QP_INFO, ZekErrorQpInfoRecord{handle, 77, 0xAB00, 9});
  EXPECT_EQ(info.Empty, 0u);
  EXPECT_EQ(info.QpClient, 0x5A5Au);
  EXPECT_EQ(info.SendInError, 0xAB01u) << "the low byte says the send queue; the rest is kept";
  EXPECT_EQ(answer(kProcessA, IOCTL_ZEK_IWARP_GET_ERROR_QP_INFO, ZekErrorQpInfoRecord{handle, 77, 0, 0}).Empty, 1u);
  EXPECT_EQ(answer(kProcessA, IOCTL_ZEK_IWARP_FORCE_PROCESS_AEQ, ZekForceProcessAeqRecord{handle, 0xFF, 0}).Status, 0u);
}

// Producers and consumers in parallel: one thread plays the adapter and its
// interrupt path for two processes' adapters, one thread per process waits
// and counts. Every completion is notified exactly once (the producer keeps
// fewer than a ring's worth outstanding), within a bounded time.
TEST_F(NotifyTest, ProducerAndConsumersAcrossProcessesLoseNothing) {
  constexpr int kPerCq = 400;
  constexpr std::size_t kCqs = 3;
  UserAdapter users[2] = {open_user(kProcessA, kCqs), open_user(kProcessB, kCqs)};
  const std::uintptr_t processes[2] = {kProcessA, kProcessB};
  std::atomic<int> consumed[2] = {0, 0};
  std::atomic<bool> stop{false};
  std::map<std::uint64_t, int> seen[2];
  std::vector<std::thread> consumers;
  for (int u = 0; u < 2; ++u) {
    consumers.emplace_back([&, u] {
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (consumed[u].load() < kPerCq * static_cast<int>(kCqs) && std::chrono::steady_clock::now() < end) {
        auto w = wait(processes[u], users[u].adapter);
        while (!w->finished() && !stop.load() && std::chrono::steady_clock::now() < end) {
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (!w->finished()) {
          terminate(processes[u], users[u].adapter);
          while (!w->finished()) std::this_thread::yield();
        }
        for (std::uint64_t id : ids(*w)) ++seen[u][id];
        consumed[u] += static_cast<int>(ids(*w).size());
      }
    });
  }
  int produced[2] = {0, 0};
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (int round = 0; round < kPerCq && std::chrono::steady_clock::now() < end; ++round) {
    for (int u = 0; u < 2; ++u) {
      for (void* cq : users[u].cqs) {
        while (produced[u] - consumed[u].load() > 900 && std::chrono::steady_clock::now() < end) {
          std::this_thread::yield();
        }
        complete_on(cq);
        ++produced[u];
      }
    }
  }
  for (auto& t : consumers) t.join();
  stop = true;
  for (int u = 0; u < 2; ++u) {
    SCOPED_TRACE(u);
    for (std::size_t i = 0; i < kCqs; ++i) EXPECT_EQ(seen[u][100 + i], kPerCq) << "CQ " << i;
    EXPECT_EQ(seen[u].size(), kCqs) << "identifiers of another process's CQs";
  }
}

}  // namespace
