// The receive buffers of the driver's NIC queue pair against the simulated
// adapter: what is posted when every buffer can be had and when one cannot,
// and that a detach frees them only once the adapter confirmed the queue
// pair gone.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "include/hw/events.h"
#include "include/hw/nic.h"
#include "include/hw/registers.h"
#include "proxy/core/adapter_steps.h"
#include "proxy/core/bottom_half.h"
#include "proxy/core/fault_injection.h"
#include "proxy/core/nic_rx.h"
#include "proxy/rdma/hw/cq.h"
#include "proxy/rdma/hw/reg_access.h"
#include "tests/proxy/rdma/hw/hwif_fixture.h"

namespace {

class NicRx : public HwifTest {
 protected:
  void SetUp() override {
    HwifTest::SetUp();
    fn_ = &bring_up(0, 128);
    hw_ = std::make_unique<NIC_HW_INFO>();
    std::memcpy(static_cast<void*>(&hw_->Device), &fn_->device, sizeof fn_->device);
    hw_->ControlDrain = [](void* self) { static_cast<NicRx*>(self)->process_control(); };
    hw_->ControlDrainContext = this;
    start_helper();
    ASSERT_EQ(Zek_Init_k_zeknic(nullptr, hw_.get(), &qp_, &cq_), 0u);
    baseline_ = kernel().contiguous().bytes_in_use();
  }
  void TearDown() override {
    g_ZpxInjectedFault = ZpxFaultStep::None;
    stop_helper();
    if (qp_ != nullptr) {
      start_helper();
      ZpxDestroyNicQueues(nullptr, qp_, cq_, &rx_);
      stop_helper();
    }
    HwifTest::TearDown();
  }
  // The miniport's part: control completions are retired as they come.
  void process_control() {
    std::lock_guard lock(mu_);
    mifh_process_ccq(fn_->ccq);
    mifh_free_CQPPendQ_buffer(fn_->cqp);
  }
  void start_helper() {
    helper_.start([this] { process_control(); });
  }
  void stop_helper() { helper_.stop(); }
  const zekhw::MifhNicRqWqe& wqe(std::uint32_t i) { return static_cast<const zekhw::MifhNicRqWqe*>(qp_->Rq)[i]; }

  HwFunction* fn_ = nullptr;
  std::unique_ptr<NIC_HW_INFO> hw_;
  MifhQpObject* qp_ = nullptr;
  MifhCqObject* cq_ = nullptr;
  ZpxNicRx rx_{};
  std::uint64_t baseline_ = 0;
  std::mutex mu_;
  PeriodicHelper helper_;
};

// Every buffer can be had: 512 filled, 511 posted (one slot stays free),
// each request naming its own buffer of 1520 bytes.
TEST_F(NicRx, AllBuffersFilledAndAllButOnePosted) {
  const std::uint32_t head = qp_->RqRing.Head;
  ASSERT_EQ(ZpxInitializeNicRQ(qp_, &rx_), 0u);
  EXPECT_EQ(rx_.Filled, ZPX_RX_BUFFERS);
  EXPECT_EQ((qp_->RqRing.Head + qp_->RqRing.Size - head) % qp_->RqRing.Size, ZPX_RX_BUFFERS - 1);
  std::set<std::uint64_t> addresses;
  for (std::uint32_t i = 0; i < ZPX_RX_BUFFERS; ++i) {
    EXPECT_EQ(wqe(i).buffer_length, ZPX_RX_BUFFER_BYTES);
    EXPECT_EQ(wqe(i).buffer_pa, (std::uint64_t{rx_.Desc[i].PaHigh} << 32) | rx_.Desc[i].PaLow);
    addresses.insert(wqe(i).buffer_pa);
  }
  EXPECT_EQ(addresses.size(), ZPX_RX_BUFFERS);
}

// The sixth buffer cannot be had: the five filled are posted and nothing
// else; with none at all the set-up fails and holds nothing.
TEST_F(NicRx, OnlyFilledBuffersArePosted) {
  const std::uint32_t head = qp_->RqRing.Head;
  g_ZpxInjectedFault = ZpxFaultStep::RxBuffer;
  g_ZpxFaultAfter = 5;
  ASSERT_EQ(ZpxInitializeNicRQ(qp_, &rx_), 0u);
  EXPECT_EQ(rx_.Filled, 5u);
  EXPECT_EQ(qp_->RqRing.Head - head, 5u);
  EXPECT_EQ(wqe(5).buffer_pa, 0u);
  EXPECT_TRUE(logged("ZpxInitializeNicRQ: Couldn't allocate memory for receive buffers"));
  ZpxFreeNicRQ(&rx_);

  g_ZpxFaultAfter = 0;
  const std::uint32_t again = qp_->RqRing.Head;
  EXPECT_EQ(ZpxInitializeNicRQ(qp_, &rx_), MIFH_STATUS_FAIL);
  EXPECT_EQ(rx_.Filled, 0u);
  EXPECT_EQ(qp_->RqRing.Head, again);
  EXPECT_EQ(kernel().contiguous().bytes_in_use(), baseline_);
}

// A detach the adapter answers frees the buffers after the queues; one it
// does not answer leaves them allocated, since the adapter may still write.
TEST_F(NicRx, BuffersOutliveTheQueuePairTheyServe) {
  ASSERT_EQ(ZpxInitializeNicRQ(qp_, &rx_), 0u);
  stop_helper();
  set_auto_step(false);
  hw_->ControlDrain = nullptr;
  EXPECT_NE(ZpxDestroyNicQueues(nullptr, qp_, cq_, &rx_), 0u);
  EXPECT_EQ(rx_.Filled, ZPX_RX_BUFFERS) << "buffers of a queue pair not confirmed gone are kept";
  qp_ = nullptr;
  set_auto_step(true);
  ZpxFreeNicRQ(&rx_);  // the test's own clean-up of what the driver must keep
}

// ---- The NIC step of the bottom half ------------------------------------------------------------------------
std::vector<std::uint32_t>* g_payloads;
void record_payload(void*, const std::uint8_t* header, const std::uint8_t* payload, std::uint32_t length) {
  EXPECT_EQ(payload, header + ZPX_ETHER_HEADER_BYTES);
  g_payloads->push_back(length);
}

class NicCq : public NicRx {
 protected:
  void SetUp() override {
    NicRx::SetUp();
    ASSERT_EQ(mifh_hw_init_zek_nic(&hw_->Device, kMac, zekhw::proxy_mac_slot(0)), 0u);
    ASSERT_EQ(ZpxInitializeNicRQ(qp_, &rx_), 0u);
    g_payloads = &payloads_;
  }
  void TearDown() override {
    g_payloads = nullptr;
    NicRx::TearDown();
  }
  bool arrive(std::uint32_t length) {
    std::vector<std::byte> frame(length);
    std::memcpy(frame.data(), kMac, 6);
    if (length > 13) frame[12] = std::byte{0x08};
    return board().receive_frame(frame);
  }
  std::uint32_t pass() {
    settle();
    return ZpxProcessNicCQ(&hw_->Device, cq_, qp_, &rx_, &record_payload, nullptr, &counters_);
  }
  static constexpr std::uint8_t kMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
  std::vector<std::uint32_t> payloads_;
  ZpxNicCqCounters counters_{};
};

// Frames reach the hook without their Ethernet header; a frame shorter than
// the header is dropped and counted; every buffer goes back to the ring.
TEST_F(NicCq, ReceivedFramesReachTheHookWithoutTheirHeader) {
  const std::uint32_t posted = (qp_->RqRing.Head + qp_->RqRing.Size - qp_->RqRing.Tail) % qp_->RqRing.Size;
  for (std::uint32_t length : {60u, 1514u, 100u}) ASSERT_TRUE(arrive(length));
  EXPECT_EQ(pass(), 3u);
  EXPECT_EQ(payloads_, (std::vector<std::uint32_t>{46, 1500, 86}));
  EXPECT_EQ(counters_.Received, 3u);
  EXPECT_EQ((qp_->RqRing.Head + qp_->RqRing.Size - qp_->RqRing.Tail) % qp_->RqRing.Size, posted)
      << "each buffer was posted again";
}

// Completions the adapter model never makes (it drops such frames itself),
// written into the queue as an adapter could: a frame shorter than its
// header, one longer than the buffer, one with error bits. Each is dropped
// and counted, and its buffer still goes back to the ring.
TEST_F(NicCq, BadFramesAreDroppedAndCounted) {
  const std::uint32_t posted = (qp_->RqRing.Head + qp_->RqRing.Size - qp_->RqRing.Tail) % qp_->RqRing.Size;
  const std::uint32_t statuses[] = {10, ZPX_RX_BUFFER_BYTES + 1, (1u << zekhw::kNicCqeErrorShift) | 60};
  auto* ring = static_cast<zekhw::MifhNicCqe*>(cq_->Ring);
  for (std::uint32_t i = 0; i < 3; ++i) {
    zekhw::MifhNicCqe& e = ring[(cq_->RingIndex.Tail + i) % cq_->RingIndex.Size];
    e.index = (qp_->RqRing.Tail + i) % qp_->RqRing.Size;
    e.status = zekhw::kNicCqeValid | statuses[i];
  }
  EXPECT_EQ(ZpxProcessNicCQ(&hw_->Device, cq_, qp_, &rx_, &record_payload, nullptr, &counters_), 3u);
  EXPECT_EQ(counters_.Dropped, 3u);
  EXPECT_TRUE(payloads_.empty());
  EXPECT_EQ((qp_->RqRing.Head + qp_->RqRing.Size - qp_->RqRing.Tail) % qp_->RqRing.Size, posted);
}

// One pass takes at most 429 entries; the rest waits for the next one. The
// buffers go round the ring more than once without a frame landing in a
// buffer that is still in use.
TEST_F(NicCq, APassIsBoundedAndBuffersGoRound) {
  std::uint32_t sent = 0;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 300; ++i) sent += arrive(60 + (sent % 50)) ? 1 : 0;
    while (pass() > 0) {
    }
  }
  EXPECT_EQ(counters_.Received, sent);
  EXPECT_GT(sent, 600u);
  for (std::size_t i = 0; i < payloads_.size(); ++i) EXPECT_EQ(payloads_[i], 46 + (i % 50)) << i;
  for (int i = 0; i < 500; ++i) arrive(60);
  settle();
  EXPECT_EQ(ZpxProcessNicCQ(&hw_->Device, cq_, qp_, &rx_, &record_payload, nullptr, &counters_),
            ZPX_NIC_CQ_PASS_LIMIT + 1);
  EXPECT_GT(pass(), 0u) << "the rest comes with the next pass";
}

// The context upload frees its buffer and its completion context when the
// adapter answers; a request the adapter never gets frees them at once.
TEST_F(NicRx, AContextUploadLeavesNothingBehind) {
  const std::uint64_t pool = kernel().pool().blocks_in_use();
  ASSERT_EQ(ZpxUploadNicContextCallback(qp_), 0u);
  EXPECT_GT(kernel().contiguous().bytes_in_use(), baseline_);
  ASSERT_TRUE(eventually([&] {
    settle();
    return kernel().contiguous().bytes_in_use() == baseline_;
  }));
  EXPECT_TRUE(eventually([&] { return kernel().pool().blocks_in_use() == pool; }));
  EXPECT_EQ(qp_->UploadBuffer, nullptr);
  EXPECT_EQ(ZpxUploadNicContextCallback(nullptr), MIFH_STATUS_FAIL);
}

// The attach opens the function's user doorbell pages: count and first
// protection domain in its indexed register; a device without its doorbell
// window or with a broken guard word is refused and nothing is written.
TEST_F(NicRx, UserDoorbellPagesOpenForTheFunctionsProtectionDomains) {
  MifhDeviceObj device = fn_->device;
  device.FirstPdId = 3;
  device.PdCount = 17;
  ASSERT_EQ(mifh_usermode_access_init(&device), 0u);
  std::uint32_t value = 0;
  ASSERT_EQ(mifh_read_indexed(&device, zekhw::idx_user_doorbell(0), &value), 0u);
  EXPECT_EQ(value, (17u << 16) | 3u);
  struct Case {
    const char* name;
    void (*spoil)(MifhDeviceObj&);
  };
  const Case cases[] = {
      {"no doorbell window", [](MifhDeviceObj& d) { d.DoorbellWindow = nullptr; }},
      {"guard word", [](MifhDeviceObj& d) { d.GuardEnd = 0; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MifhDeviceObj bad = device;
    bad.PdCount = 99;
    c.spoil(bad);
    EXPECT_EQ(mifh_usermode_access_init(&bad), MIFH_STATUS_FAIL);
    ASSERT_EQ(mifh_read_indexed(&device, zekhw::idx_user_doorbell(0), &value), 0u);
    EXPECT_EQ(value, (17u << 16) | 3u);
  }
}

// ---- The bottom half's pass over the event queue ----------------------------------------------------------------
struct BhCalls {
  std::vector<char> order;  // 'n' NIC, 'i' iWARP
  plat::Clock* clock;
};
void bh_nic(void* context, MifhCqObject*) { static_cast<BhCalls*>(context)->order.push_back('n'); }
void bh_iwarp(void* context, MifhCqObject*) {
  auto* calls = static_cast<BhCalls*>(context);
  calls->order.push_back('i');
  calls->clock->advance(600 * plat::Clock::kUnitsPerMs);  // a callback that takes its time
}

// Entries go to their queue's routine, a queue of no type is logged and
// skipped; past one second the pass posts the no-op and leaves the rest to
// the next pass.
TEST_F(NicRx, ABottomHalfPassStopsAfterItsBudgetWithANoOp) {
  MifhCeqObject ceq{};
  init_ceq(*fn_, ceq, dma(*fn_, 8 * 8), 8);
  const std::uint8_t kinds[] = {MIFH_CQ_KIND_IWARP, 0, MIFH_CQ_KIND_IWARP, MIFH_CQ_KIND_NIC};
  MifhCqObject* cqs[4] = {};
  for (int i = 0; i < 4; ++i) {
    void* ring = nullptr;
    ASSERT_EQ(mifh_iwarp_cq_allocate(&cqs[i], &ring, 32), 0u);
    ASSERT_EQ(mifh_iwarp_cq_init(&fn_->device, cqs[i], ring, pa_of(ring), 32, 0), 0u);
    cqs[i]->CqId = 70 + i;
    cqs[i]->Kind = kinds[i];
    ceq.Ring[i] = zekhw::ceqe_value(reinterpret_cast<std::uint64_t>(cqs[i]) >> 1);
  }
  BhCalls calls{{}, &clock()};
  const ZpxBottomHalfRoutines routines{&bh_nic, &bh_iwarp, &calls};
  const std::uint32_t cqp_head = fn_->cqp->RingIndex.Head;
  bool yielded = false;
  EXPECT_EQ(ZpxBottomHalfCeqPass(&fn_->device, &ceq, fn_->cqp, &routines, &yielded), 3u);
  EXPECT_TRUE(yielded);
  EXPECT_EQ(calls.order, (std::vector<char>{'i', 'i'}));
  EXPECT_TRUE(logged("ZEK_common_bh_routine(): BAD CQ Type"));
  EXPECT_TRUE(logged("return from ceq processing loop after 1 sec"));
  EXPECT_NE(fn_->cqp->RingIndex.Head, cqp_head) << "the no-op was posted";
  EXPECT_EQ(ZpxBottomHalfCeqPass(&fn_->device, &ceq, fn_->cqp, &routines, &yielded), 1u);
  EXPECT_FALSE(yielded);
  EXPECT_EQ(calls.order.back(), 'n');
  for (MifhCqObject* cq : cqs) mifh_free_iwarp_cq(cq);
}

}  // namespace
