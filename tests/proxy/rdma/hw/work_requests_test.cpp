// Work-request builders, ring rules and the CQ poller that retires them.
// The CQ ring is written here as the adapter would, so every case is exact.
#include "proxy/rdma/hw/work_requests.h"

#include <gtest/gtest.h>

#include <cstring>

#include "proxy/rdma/hw/cq.h"
#include "tests/proxy/rdma/hw/hwif_fixture.h"

namespace {

class WqeTest : public HwifTest {
 protected:
  void SetUp() override {
    HwifTest::SetUp();
    fn_ = &device(0);
    fn_->device.MaxOrd = 64;
    fn_->device.MaxIrd = 64;
    fn_->device.MaxSqWr = 512;
    fn_->device.MaxRqWr = 512;
  }
  void TearDown() override {
    for (auto* qp : qps_) mifh_free_iwarp_virtual_sq(qp);
    for (auto* cq : cqs_) mifh_free_iwarp_cq(cq);
    HwifTest::TearDown();
  }
  MifhQpObject* qp(std::uint32_t sq, std::uint32_t rq = 32) {
    MifhQpObject* q = nullptr;
    void *s, *r, *c;
    EXPECT_EQ(mifh_iwarp_qp_allocate(&q, &fn_->device, &s, &r, &c, sq, rq, 0), 0u);
    EXPECT_EQ(mifh_iwarp_qp_init(q, s, r, q->SqPa, q->RqPa, sq, rq, 0), 0u);
    q->QpId = 77;
    qps_.push_back(q);
    return q;
  }
  MifhCqObject* cq(std::uint32_t entries = 32) {
    MifhCqObject* c = nullptr;
    void* ring = nullptr;
    EXPECT_EQ(mifh_iwarp_cq_allocate(&c, &ring, entries), 0u);
    EXPECT_EQ(mifh_iwarp_cq_init(&fn_->device, c, ring, pa_of(ring), entries, 1), 0u);
    c->CqId = 300;
    cqs_.push_back(c);
    return c;
  }
  // Writes the adapter's next completion into the ring.
  static void adapter_writes(MifhCqObject* c, std::uint64_t tag, std::uint32_t flags, std::uint32_t bytes = 0) {
    std::uint32_t n = 0;
    auto* ring = static_cast<zekhw::MifhCqe*>(c->Ring);
    while ((ring[(c->RingIndex.Tail + n) % c->RingIndex.Size].flags & zekhw::kCqeValid) != 0) ++n;
    auto* e = &ring[(c->RingIndex.Tail + n) % c->RingIndex.Size];
    std::memset(e, 0, sizeof *e);
    e->bytes_received = bytes;
    e->tag = tag;
    e->flags = flags | zekhw::kCqeValid;
  }
  static MifhWorkRequest send_wr(std::uint32_t sges, std::uint32_t each) {
    MifhWorkRequest wr{};
    wr.WrId = 0xABC;
    wr.FlagA = 1;
    wr.SgeCount = sges;
    for (std::uint32_t i = 0; i < sges && i < 6; ++i) wr.Sge[i] = {0x1000u * (i + 1), each, 0x100 + i};
    return wr;
  }
  HwFunction* fn_ = nullptr;
  std::vector<MifhQpObject*> qps_;
  std::vector<MifhCqObject*> cqs_;
};

TEST_F(WqeTest, SendRingStartsAtOneAndKeepsTwoSlotsFree) {
  MifhQpObject* q = qp(4);
  EXPECT_EQ(q->SqRing.Head, 1u);
  EXPECT_EQ(q->SqRing.Tail, 1u);
  EXPECT_EQ(q->RqRing.Head, 0u);
  const MifhWorkRequest wr = send_wr(1, 10);
  EXPECT_EQ(mifh_iwarp_send(q, &wr, 0, zekhw::kWqeSend), 0u);
  EXPECT_EQ(mifh_iwarp_send(q, &wr, 0, zekhw::kWqeSend), 0u);
  EXPECT_EQ(mifh_iwarp_send(q, &wr, 0, zekhw::kWqeSend), IWARP_STATUS_QP_TOOMANY_WRS_POSTED);
  EXPECT_TRUE(logged("mifh_iwarp_send: mifh_iwarp_qp_get_next_send_wqe() returned NULL"));
}

TEST_F(WqeTest, BuilderBounds) {
  MifhQpObject* q = qp(32);
  struct Case {
    const char* what;
    ZekStatus status;
    ZekStatus (*build)(MifhQpObject*);
  };
  const Case cases[] = {
      {"read of the maximum", 0u,
       [](MifhQpObject* q) {
         MifhWorkRequest wr{};
         wr.Length = zekhw::kMaxMessageBytes;
         return mifh_iwarp_rdma_read(q, &wr, 0);
       }},
      {"read one byte more", IWARP_STATUS_QP_INVALID_MESSAGE_SIZE,
       [](MifhQpObject* q) {
         MifhWorkRequest wr{};
         wr.Length = zekhw::kMaxMessageBytes + 1;
         return mifh_iwarp_rdma_read(q, &wr, 0);
       }},
      {"inline 64", 0u,
       [](MifhQpObject* q) {
         static std::uint8_t d[65];
         MifhWorkRequest wr{};
         wr.InlineData = d;
         wr.InlineLength = 64;
         return mifh_iwarp_imm_send(q, &wr);
       }},
      {"inline 65", IWARP_STATUS_QP_INVALID_MESSAGE_SIZE,
       [](MifhQpObject* q) {
         static std::uint8_t d[65];
         MifhWorkRequest wr{};
         wr.InlineData = d;
         wr.InlineLength = 65;
         return mifh_iwarp_imm_rdma_write(q, &wr);
       }},
      {"send of 4 elements", 0u,
       [](MifhQpObject* q) {
         auto wr = send_wr(4, 100);
         return mifh_iwarp_send(q, &wr, 0, 3);
       }},
      {"send of 5 elements", IWARP_STATUS_TOO_MANY_SGES,
       [](MifhQpObject* q) {
         auto wr = send_wr(5, 100);
         return mifh_iwarp_send(q, &wr, 0, 3);
       }},
      {"receive of 4 elements", 0u,
       [](MifhQpObject* q) {
         auto wr = send_wr(4, 100);
         return mifh_iwarp_post_receive(q, &wr);
       }},
      {"receive of 5 elements", IWARP_STATUS_TOO_MANY_SGES,
       [](MifhQpObject* q) {
         auto wr = send_wr(5, 100);
         return mifh_iwarp_post_receive(q, &wr);
       }},
      {"receive of too many bytes", IWARP_STATUS_QP_INVALID_MESSAGE_SIZE,
       [](MifhQpObject* q) {
         auto wr = send_wr(2, 0x40000000);
         return mifh_iwarp_post_receive(q, &wr);
       }},
  };
  for (const Case& c : cases) EXPECT_EQ(c.build(q), c.status) << c.what;
  // The four-element send: length = sum, elements from +64.
  const auto* w = static_cast<const zekhw::MifhWqe*>(q->Sq);
  const zekhw::MifhWqe& send = w[3];  // slots 1 (read), 2 (inline), 3
  EXPECT_EQ(send.op_word, zekhw::kWqeSend | zekhw::kWqeSignalled);
  EXPECT_EQ(send.total_length, 400u);
  EXPECT_EQ(send.sge[3].stag, 0x103u);
  EXPECT_EQ(send.tag, reinterpret_cast<std::uint64_t>(q) | 3);
}

TEST_F(WqeTest, ReadFenceWrapsAtTheLimit) {
  MifhQpObject* q = qp(32);
  MifhWorkRequest wr{};
  wr.Length = 0x40000000;
  ASSERT_EQ(mifh_iwarp_rdma_read(q, &wr, 0), 0u);
  ASSERT_EQ(mifh_iwarp_rdma_read(q, &wr, 0), 0u);
  const auto* w = static_cast<const zekhw::MifhWqe*>(q->Sq);
  EXPECT_EQ(w[1].op_word & zekhw::kWqeFence, 0u);
  EXPECT_EQ(w[2].op_word & zekhw::kWqeFence, zekhw::kWqeFence);
  EXPECT_EQ(q->ReadBytes, 0x40000000u) << "the count restarts with the fenced read";
  EXPECT_EQ(w[1].total_length, zekhw::kWqeReadLength);
}

TEST_F(WqeTest, RingSizeNeverGivesLessThanAsked) {
  for (auto [asked, size] : {std::pair{1u, 4u},
                             {2u, 4u},
                             {3u, 32u},
                             {30u, 32u},
                             {31u, 128u},
                             {126u, 128u},
                             {127u, 512u},
                             {510u, 512u},
                             {511u, 0u}}) {
    EXPECT_EQ(mifh_iwarp_ring_size_for(asked), size) << asked;
  }
}

TEST_F(WqeTest, PollerRetiresUpToTheReportedIndex) {
  MifhQpObject* q = qp(32);
  MifhCqObject* c = cq();
  const MifhWorkRequest wr = send_wr(1, 10);
  for (int i = 0; i < 6; ++i) ASSERT_EQ(mifh_iwarp_send(q, &wr, 0, zekhw::kWqeSend), 0u);
  q->SqRing.Tail = 2;
  adapter_writes(c, zekhw::wqe_tag(reinterpret_cast<std::uint64_t>(q), 5), zekhw::kCqeSendQueue);
  MifhCompletion out{};
  ASSERT_EQ(mifh_cq_poll_completion(c, &out), 0u);
  EXPECT_EQ(q->SqRing.Tail, 6u) << "WQEs 2 to 5 retired";
  EXPECT_EQ(out.WrId, 0xABCu);
  EXPECT_EQ(out.OpCode, static_cast<std::uint32_t>(zekhw::kWqeSend));
  EXPECT_EQ(out.Length, 10u);
  EXPECT_EQ(out.Qp, 77u);
  EXPECT_EQ(mifh_cq_poll_completion(c, &out), IWARP_STATUS_CQ_EMPTY);
}

TEST_F(WqeTest, AnIndexOutsideTheRequestsInFlightIsSkipped) {
  MifhQpObject* q = qp(32);
  MifhCqObject* c = cq();
  MifhWorkRequest wr = send_wr(1, 10);
  for (int i = 0; i < 4; ++i) ASSERT_EQ(mifh_iwarp_send(q, &wr, 0, zekhw::kWqeSend), 0u);  // slots 1-4
  q->SqRing.Tail = 3;                                                                      // 1 and 2 done
  const std::uint64_t qp_tag = reinterpret_cast<std::uint64_t>(q);
  // Index 1 is already retired, index 9 was never posted: neither may move
  // Tail (backwards, or past Head); the valid entry after them is reported.
  adapter_writes(c, zekhw::wqe_tag(qp_tag, 1), zekhw::kCqeSendQueue);
  adapter_writes(c, zekhw::wqe_tag(qp_tag, 9), zekhw::kCqeSendQueue);
  adapter_writes(c, zekhw::wqe_tag(qp_tag, 3), zekhw::kCqeSendQueue);
  MifhCompletion out{};
  ASSERT_EQ(mifh_cq_poll_completion(c, &out), 0u);
  EXPECT_EQ(q->SqRing.Tail, 4u);
  EXPECT_EQ(q->SqRing.Head, 5u);
  EXPECT_TRUE(logged("outside the requests in flight"));
  EXPECT_EQ(mifh_cq_poll_completion(c, &out), IWARP_STATUS_CQ_EMPTY);
}

TEST_F(WqeTest, ModeZeroHidesOnlyReadsMarkedWithAZeroLengthWord) {
  MifhQpObject* q = qp(32);
  MifhCqObject* c = cq();
  c->ParameterWord = 0;  // mode 0
  MifhWorkRequest wr{};
  wr.WrId = 0x11;
  wr.Length = 0;  // a zero-length read built by the kernel: reported
  ASSERT_EQ(mifh_iwarp_rdma_read(q, &wr, 0), 0u);
  wr.WrId = 0x22;
  ASSERT_EQ(mifh_iwarp_rdma_read(q, &wr, 0), 0u);
  static_cast<zekhw::MifhWqe*>(q->Sq)[2].total_length = 0;  // the poster's marker: not reported
  wr.WrId = 0x33;
  wr.Length = 8;
  ASSERT_EQ(mifh_iwarp_rdma_read(q, &wr, 0), 0u);
  const std::uint64_t qp_tag = reinterpret_cast<std::uint64_t>(q);
  for (std::uint32_t i = 1; i <= 3; ++i) adapter_writes(c, zekhw::wqe_tag(qp_tag, i), zekhw::kCqeSendQueue);
  take_writes(0);
  MifhCompletion out{};
  ASSERT_EQ(mifh_cq_poll_completion(c, &out), 0u);
  EXPECT_EQ(out.WrId, 0x11u);
  EXPECT_EQ(out.Length, 0u);
  ASSERT_EQ(mifh_cq_poll_completion(c, &out), 0u);
  EXPECT_EQ(out.WrId, 0x33u) << "the marked read was passed over";
  bool armed = false;
  for (const RegisterWrite& w : take_writes(0)) armed |= w.value == zekhw::cq_arm(300, false);
  EXPECT_TRUE(armed) << "the CQ was armed again after the hidden read";
  EXPECT_EQ(mifh_cq_poll_completion(c, &out), IWARP_STATUS_CQ_EMPTY);
}

TEST_F(WqeTest, AnUntaggedEntryIsGivenBackAndPollingGoesOn) {
  MifhQpObject* q = qp(32);
  MifhCqObject* c = cq();
  MifhWorkRequest wr = send_wr(1, 0);
  wr.WrId = 0x55;
  ASSERT_EQ(mifh_iwarp_post_receive(q, &wr), 0u);
  take_writes(0);
  const std::uint32_t head = c->RingIndex.Head;
  adapter_writes(c, 12, 0);  // below 512: names no queue pair
  adapter_writes(c, zekhw::wqe_tag(reinterpret_cast<std::uint64_t>(q), 0), 0, 99);
  MifhCompletion out{};
  ASSERT_EQ(mifh_cq_poll_completion(c, &out), 0u);
  EXPECT_EQ(out.OpCode, static_cast<std::uint32_t>(zekhw::kWqeReceive));
  EXPECT_EQ(out.Length, 99u);
  EXPECT_EQ(out.WrId, 0x55u);
  EXPECT_TRUE(logged("names no QP"));
  EXPECT_EQ(c->RingIndex.Head, (head + 2) % c->RingIndex.Size) << "both entries given back";
  auto writes = take_writes(0);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].value, zekhw::cq_give_back(300, 1));
}

TEST_F(WqeTest, ErrorCompletionsMarkTheQueue) {
  MifhQpObject* q = qp(32);
  MifhCqObject* c = cq();
  const MifhWorkRequest wr = send_wr(1, 10);
  ASSERT_EQ(mifh_iwarp_send(q, &wr, 0, zekhw::kWqeSend), 0u);
  ASSERT_EQ(mifh_iwarp_post_receive(q, &wr), 0u);
  adapter_writes(c, zekhw::wqe_tag(reinterpret_cast<std::uint64_t>(q), 1), zekhw::kCqeSendQueue | zekhw::kCqeError);
  adapter_writes(c, zekhw::wqe_tag(reinterpret_cast<std::uint64_t>(q), 0), zekhw::kCqeError | zekhw::kCqeQpFlag);
  MifhCompletion out{};
  ASSERT_EQ(mifh_cq_poll_completion(c, &out), 0u);
  EXPECT_EQ(out.Status, 1u);
  EXPECT_EQ(q->ErrorFlags & MIFH_QP_SQ_ERROR, MIFH_QP_SQ_ERROR);
  EXPECT_EQ(q->FailedSqIndex, 1u);
  ASSERT_EQ(mifh_cq_poll_completion(c, &out), 0u);
  EXPECT_EQ(q->ErrorFlags & MIFH_QP_RQ_ERROR, MIFH_QP_RQ_ERROR);
  EXPECT_EQ(q->TerminateSeen, 1);
}

// The routine a fast registration's context names runs for kernel rings
// only; the completion carries the poster's id, and one the poster did not
// ask for is not reported (an error always is).
TEST_F(WqeTest, FastRegisterRoutineRunsOnlyForKernelRings) {
  struct Case {
    std::uint8_t user, report;
    std::uint32_t flags;
    bool reported;
    int calls;
  };
  const Case cases[] = {
      {0, 1, zekhw::kCqeSendQueue, true, 1},
      {0, 0, zekhw::kCqeSendQueue, false, 1},
      {0, 0, zekhw::kCqeSendQueue | zekhw::kCqeError, true, 1},
      {1, 1, zekhw::kCqeSendQueue, true, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << "user " << int{k.user} << " report " << int{k.report} << " flags " << k.flags);
    MifhQpObject* q = qp(32);
    q->UserQp = k.user;
    MifhCqObject* c = cq();
    static int calls;
    static std::uint32_t status;
    calls = 0;
    status = 9;
    MifhFastRegisterContext context{};
    context.Routine = [](void* self, void*, std::uint32_t, std::uint32_t) {
      ++calls;
      status = static_cast<MifhFastRegisterContext*>(self)->Status;
    };
    context.Context = &context;
    context.WrId = 0x5151;
    context.Report = k.report;
    MifhFastRegisterRequest mr{};
    MifhWorkRequest wr{};
    wr.WrId = reinterpret_cast<std::uint64_t>(&context);
    ASSERT_EQ(mifh_iwarp_mr_fast_register(q, &mr, &wr, 0xF), 0u);
    adapter_writes(c, zekhw::wqe_tag(reinterpret_cast<std::uint64_t>(q), 1), k.flags);
    MifhCompletion out{};
    EXPECT_EQ(mifh_cq_poll_completion(c, &out), k.reported ? 0u : IWARP_STATUS_CQ_EMPTY);
    EXPECT_EQ(calls, k.calls);
    if (k.calls != 0) {
      EXPECT_EQ(status, (k.flags & zekhw::kCqeError) != 0 ? 1u : 0u);
    }
    if (k.reported && k.user == 0) {
      EXPECT_EQ(out.WrId, 0x5151u) << "the poster's id, not the context's address";
    }
    EXPECT_EQ(q->SqRing.Tail, 2u) << "retired either way";
  }
}

// The register-MR request, field by field at its bytes, for a zero-based
// region (first-byte offset) and one at a virtual address.
TEST_F(WqeTest, RegisterMrRequestPlacesEveryField) {
  HwFunction& fn = bring_up(0);
  for (std::uint8_t zero_based : {1, 0}) {
    MifhMrDescription mr{};
    mr.PblPa = 0xA'BCDE'F000;
    mr.FirstByteOffset = 0x123;
    mr.Va = 0x7FFF'0000'1000;
    mr.PblBytes = 0x800;
    mr.Length = 0x10000;
    mr.PageSize = 4096;
    mr.PblChunkSize = 4096;
    mr.PblChunkCount = 3;
    mr.ZeroBased = zero_based;
    mr.Access = 0x05;
    mr.Key = 0x7E;
    mr.StagIndex = 0x4321;
    TestContext done;
    ASSERT_EQ(mifh_mr_register_non_shared(&fn.device, &mr, done.get(), 0x1'0042), 0u);
    const std::uint32_t head = fn.cqp->RingIndex.Head;
    const auto* b = reinterpret_cast<const std::uint8_t*>(
        &fn.cqp_ring[(head + fn.cqp->RingIndex.Size - 1) % fn.cqp->RingIndex.Size]);
    auto u32_at = [&](unsigned at) {
      std::uint32_t v;
      std::memcpy(&v, b + at, 4);
      return v;
    };
    auto u64_at = [&](unsigned at) {
      std::uint64_t v;
      std::memcpy(&v, b + at, 8);
      return v;
    };
    EXPECT_EQ(u32_at(0), 0x200Au | (zero_based ? 0u : 1u << 9) | 1u << 11 | 0x05u << 16 | 1u << 21);
    EXPECT_EQ(u32_at(4), 3u);
    EXPECT_EQ(u64_at(8), reinterpret_cast<std::uint64_t>(fn.cqp));
    EXPECT_EQ(u64_at(16), reinterpret_cast<std::uint64_t>(done.get()));
    EXPECT_EQ(u32_at(24), 0x42u) << "16 bits of PD id";
    EXPECT_EQ(u32_at(28), 0x10000u);
    EXPECT_EQ(u32_at(32), 0x4321u << 8 | 0x7E);
    EXPECT_EQ(u32_at(36), 0u);
    EXPECT_EQ(u64_at(40), zero_based ? 0x123u : mr.Va);
    EXPECT_EQ(u64_at(48), mr.PblPa);
    EXPECT_EQ(u32_at(56), 0x800u);
    EXPECT_EQ(u32_at(60), 0u);
    drain(fn);
  }
}

TEST_F(WqeTest, ResizeRoundsUpNeedsAnEmptyQueueAndAsksUsersToRemap) {
  MifhQpObject* q = qp(32, 32);
  q->UserQp = 1;
  MifhQueueParams asked{0, 3, 33, 32}, got{};
  ASSERT_EQ(mifh_modify_queue_params(q, &asked, &got, false, true, true, false), 0u);
  EXPECT_EQ(got.Ird, 8u);
  EXPECT_EQ(got.SqSize, 128u);
  EXPECT_EQ(q->SqWqeCount, 128u);
  EXPECT_EQ(q->SqRing.Head, 0u) << "a resized ring starts at 0";
  EXPECT_EQ(q->UserFlags & MIFH_QP_REMAP_SQ, MIFH_QP_REMAP_SQ);
  MifhWorkRequest wr = send_wr(1, 10);
  ASSERT_EQ(mifh_iwarp_post_receive(q, &wr), 0u);
  asked.RqSize = 100;
  EXPECT_EQ(mifh_modify_queue_params(q, &asked, &got, false, false, false, true), MIFH_STATUS_FAIL);
  EXPECT_TRUE(logged("RQ usermode  is not empty"));
  asked.Ird = 65;
  EXPECT_EQ(mifh_modify_queue_params(q, &asked, &got, false, true, false, false), IWARP_STATUS_IRD_TOO_BIG);
}

}  // namespace
