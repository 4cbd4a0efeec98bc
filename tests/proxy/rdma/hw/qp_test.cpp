// Queue-pair and protection-domain control operations against the
// simulated adapter: id ranges, the host-context images byte for byte, the
// create/modify/destroy/flush/upload requests, LMI access and NIC posting.
#include <gtest/gtest.h>

#include <cstring>

#include "include/hw/qp_context.h"
#include "tests/proxy/rdma/hw/hwif_fixture.h"

namespace {

class QpTest : public HwifTest {
 protected:
  MifhQpObject* iwarp_qp(HwFunction& fn, std::uint32_t sq = 128, std::uint32_t rq = 32) {
    MifhQpObject* qp = nullptr;
    void *s, *r, *c;
    EXPECT_EQ(mifh_iwarp_qp_allocate(&qp, &fn.device, &s, &r, &c, sq, rq, 0), 0u);
    qps_.push_back(qp);
    return qp;
  }
  MifhQpObject* nic_qp(HwFunction& fn, std::uint32_t id) {
    MifhQpObject* qp = nullptr;
    void *s, *r, *c;
    EXPECT_EQ(mifh_nic_qp_allocate(&qp, &fn.device, &s, &r, &c, 512, 512, 0), 0u);
    EXPECT_EQ(mifh_nic_qp_init(&fn.device, qp, s, r, c, qp->SqPa, qp->RqPa, qp->HostContextPa, 512, 512, 0, id), 0u);
    nic_qps_.push_back(qp);
    return qp;
  }
  void TearDown() override {
    for (auto* qp : qps_) mifh_free_iwarp_virtual_sq(qp);
    for (auto* qp : nic_qps_) mifh_free_nic_sq(qp);
    HwifTest::TearDown();
  }
  // The last request written to the CQP ring.
  static zekhw::MifhCqpWqe last_request(const HwFunction& fn) {
    const std::uint32_t head = fn.cqp->RingIndex.Head;
    return fn.cqp_ring[(head + fn.cqp->RingIndex.Size - 1) % fn.cqp->RingIndex.Size];
  }
  static MifhIwarpContextAttributes attributes() {
    MifhIwarpContextAttributes a{};
    a.Byte1 = 1;
    a.Byte2 = 0xA;
    a.Byte5 = 1;
    a.Byte7 = 1;
    a.Byte10 = 5;
    a.CqIdsValid = 1;
    a.SqCqId = 0x1234;
    a.RqCqId = 0x4321;
    a.Byte28 = 0x11;
    a.Byte29 = 0x22;
    a.Word32 = 0xCAFE;
    a.Q2Pa = 0x1'2345'6000;
    return a;
  }
  std::vector<MifhQpObject*> qps_, nic_qps_;
};

TEST_F(QpTest, ProtectionDomainIdsAboveTheLimitAreRefused) {
  MifhPdObject pd{};
  EXPECT_EQ(mifh_pd_init(nullptr, &pd, 0x7FFF), 0u);
  EXPECT_EQ(pd.Magic, MIFH_PD_MAGIC);
  EXPECT_EQ(mifh_pd_init(nullptr, &pd, 0x8000), MIFH_STATUS_INVALID_PD);
  EXPECT_TRUE(logged("mifh_pd_init: invalid PdId (0x8000)"));
}

TEST_F(QpTest, NicContextImageByteForByte) {
  HwFunction& fn = device(1);
  MifhQpObject* qp = nic_qp(fn, 25);
  const MifhNicContextAttributes a{0, 0, 25, 25, 0, 0, 0, 1};
  ASSERT_EQ(mifh_nic_qp_setcontext(qp, &a), 0u);
  std::uint8_t expected[24] = {0x00, 0x1F, 0x00, 0x00, 0, 0, 0, 0};
  std::memcpy(expected + 8, &qp->SqPa, 8);
  std::memcpy(expected + 16, &qp->RqPa, 8);
  EXPECT_EQ(std::memcmp(qp->HostContext, expected, 24), 0);
}

TEST_F(QpTest, IwarpContextImageWithoutOffload) {
  HwFunction& fn = device(0);
  MifhQpObject* qp = iwarp_qp(fn, 128, 32);
  qp->Word6Byte = 0x7;
  qp->LocalPort = 0x1111;
  qp->RemotePort = 0x2222;
  qp->RemoteAddress = 0x0A4D0002;
  qp->HashIndex = 0x345;
  qp->Word38 = 0x38;
  const MifhIwarpContextAttributes a = attributes();
  ASSERT_EQ(mifh_iwarp_qp_setcontext(qp, &a), 0u);
  const auto* w = static_cast<const std::uint32_t*>(qp->HostContext);
  EXPECT_EQ(w[0], 0xDA80891Du);  // 0x80008018 | byte 10 | RQ 1 | SQ 2 | byte 1 << 23 | byte 2 << 24 | bytes 5, 7
  EXPECT_EQ(w[1], 0x43211234u);
  std::uint64_t sq, rq, q2, object;
  std::memcpy(&sq, w + 2, 8);
  std::memcpy(&rq, w + 4, 8);
  EXPECT_EQ(sq, qp->SqPa);
  EXPECT_EQ(rq, qp->RqPa);
  EXPECT_EQ(w[6], 0x70000u);
  EXPECT_EQ(w[7], 0x22221111u);
  EXPECT_EQ(w[8], 0x0A4D0002u);
  for (int i : {9, 10, 11, 12, 13, 14, 16, 34}) EXPECT_EQ(w[i], 0u) << i;
  EXPECT_EQ(w[15], 0u);  // device value of function 0
  EXPECT_EQ(w[35], 0x345u);
  std::memcpy(&q2, w + 36, 8);
  EXPECT_EQ(q2, a.Q2Pa);
  EXPECT_EQ(w[38], 0x38u);
  EXPECT_EQ(w[39], 0u);
  EXPECT_EQ(w[40], 0xC0220011u);
  EXPECT_EQ(w[41], 0xCAFEu);
  std::memcpy(&object, w + 42, 8);
  EXPECT_EQ(object, reinterpret_cast<std::uint64_t>(qp));
}

TEST_F(QpTest, IwarpContextWithOffloadTakesTheTcpState) {
  HwFunction& fn = device(0);
  MifhQpObject* qp = iwarp_qp(fn);
  std::uint8_t tcp[0xB4] = {};
  for (unsigned off = 0x10; off + 4 <= sizeof tcp; off += 4) {
    const std::uint32_t v = 0x100 + off;
    std::memcpy(tcp + off, &v, 4);
  }
  std::memset(tcp + 0x4C, 0, 4);  // no timestamp pending
  const std::uint32_t next = 0x1000;
  std::memcpy(tcp + 0x70, &next, 4);
  MifhIwarpContextAttributes a = attributes();
  a.Offload = 1;
  a.TcpState = tcp;
  ASSERT_EQ(mifh_iwarp_qp_setcontext(qp, &a), 0u);
  const auto* w = static_cast<const std::uint32_t*>(qp->HostContext);
  EXPECT_EQ(w[0] & 0x80008018u, 0x80008010u) << "the offload form";
  EXPECT_EQ(w[8], 0x124u);
  EXPECT_EQ(w[35], 0x1ACu);
  std::uint32_t bumped;
  std::memcpy(&bumped, tcp + 0x70, 4);
  EXPECT_EQ(bumped, 0x1001u) << "value 0x70 advanced by one";
}

TEST_F(QpTest, ContextsRefuseBadSizes) {
  HwFunction& fn = device(0);
  MifhQpObject* qp = iwarp_qp(fn);
  qp->SqWqeCount = 33;
  const MifhIwarpContextAttributes a = attributes();
  EXPECT_EQ(mifh_iwarp_qp_setcontext(qp, &a), MIFH_STATUS_INVALID_WQE_COUNT);
  EXPECT_TRUE(logged("mifh_iwarp_qp_setcontext: Wrong SQ Size (21)"));
  qp->SqWqeCount = 128;
}

TEST_F(QpTest, AllocationChecksSizesAndEfb) {
  HwFunction& fn = device(0);
  MifhQpObject* qp = nullptr;
  void *s, *r, *c;
  EXPECT_EQ(mifh_iwarp_qp_allocate(&qp, &fn.device, &s, &r, &c, 33, 32, 0), MIFH_STATUS_INVALID_WQE_COUNT);
  EXPECT_EQ(mifh_iwarp_qp_allocate(&qp, &fn.device, &s, &r, &c, 32, 32, 3), MIFH_STATUS_EFB);
  EXPECT_EQ(mifh_nic_qp_allocate(&qp, &fn.device, &s, &r, &c, 512, 512, 1), MIFH_STATUS_EFB);
  EXPECT_EQ(qp, nullptr);
}

TEST_F(QpTest, QueuePairIdRanges) {
  HwFunction& fn = bring_up(0);
  struct Case {
    bool nic;
    std::uint32_t id;
    ZekStatus status;
  };
  // NIC id 1 is the multicast receive queue's.
  for (const Case c :
       {Case{true, 0, 7}, Case{true, 1, 0}, Case{true, 2, 7}, Case{true, 15, 7}, Case{true, 16, 0}, Case{true, 39, 0},
        Case{true, 40, 7}, Case{false, 39, 7}, Case{false, 40, 0}, Case{false, 262143, 0}, Case{false, 262144, 7}}) {
    SCOPED_TRACE(c.id);
    MifhQpObject* qp = c.nic ? nic_qp(fn, c.id) : iwarp_qp(fn);
    MifhIwarpCreateAttributes attrs{};
    EXPECT_EQ(c.nic ? mifh_nic_qp_create(qp, nullptr, nullptr) : mifh_iwarp_qp_create(qp, &attrs, c.id, nullptr),
              c.status);
    drain(fn);
  }
}

TEST_F(QpTest, VerbsCreateWordAndAdapterState) {
  HwFunction& fn = bring_up(0);
  MifhQpObject* qp = iwarp_qp(fn);
  ASSERT_EQ(mifh_iwarp_qp_setcontext(qp, &(const MifhIwarpContextAttributes&)attributes()), 0u);
  MifhIwarpCreateAttributes attrs{};
  attrs.InitialState = 1;
  attrs.Byte33 = 1;
  TestContext done;
  ASSERT_EQ(mifh_iwarp_qp_create(qp, &attrs, 100, done.get()), 0u);
  EXPECT_EQ(last_request(fn).op_word, 0x10018000u);
  EXPECT_EQ(qp->HwState, MIFH_QP_CREATED);
  drain(fn);
  EXPECT_EQ(done.completions, 1);
  EXPECT_EQ(done.context.MajorCode, 0) << "the adapter took the context";
  EXPECT_EQ(board().queue_pair_count(), 1u);
}

// Bytes 32-63 of the create and modify requests carry the attribute values
// at their places; the words at 48 and 56 are cleared when the value at 44
// is set, and +60 is written only with its flag byte.
TEST_F(QpTest, CreateAndModifyPlaceTheirAttributeWords) {
  HwFunction& fn = bring_up(0);
  // The words 32-63 of the last request: the expected values of +32, +40,
  // +44, +48, +56 and +60 (with +62 zero).
  auto expect_words = [&](std::uint64_t at32, std::uint32_t at40, std::uint32_t at44, std::uint64_t at48,
                          std::uint32_t at56, std::uint16_t at60) {
    const zekhw::MifhCqpWqe w = last_request(fn);
    std::uint8_t bytes[64];
    std::memcpy(bytes, &w, sizeof bytes);
    std::uint8_t expected[32] = {};
    std::memcpy(expected + 0, &at32, 8);
    std::memcpy(expected + 8, &at40, 4);
    std::memcpy(expected + 12, &at44, 4);
    std::memcpy(expected + 16, &at48, 8);
    std::memcpy(expected + 24, &at56, 4);
    std::memcpy(expected + 28, &at60, 2);
    EXPECT_EQ(std::memcmp(bytes + 32, expected, sizeof expected), 0);
  };
  struct Case {
    std::uint32_t at44;  // the value that clears +48 and +56
    std::uint8_t flag60;
  };
  for (const Case c : {Case{0, 0}, Case{0, 1}, Case{0x44, 1}}) {
    SCOPED_TRACE(testing::Message() << "+44 " << c.at44 << ", flag " << int{c.flag60});
    const bool cleared = c.at44 != 0;
    MifhQpObject* qp = iwarp_qp(fn);
    MifhIwarpCreateAttributes create{};
    create.Value0 = 0x1111'2222'3333'4444;
    create.Value8 = 0x5555'6666'7777'8888;
    create.Value16 = 0x40;
    create.Value20 = 0x56;
    create.Value24 = c.at44;
    create.Value28 = 0x6060;
    create.Byte36 = c.flag60;
    create.InitialState = 1;
    ASSERT_EQ(mifh_iwarp_qp_create(qp, &create, 100, nullptr), 0u);
    expect_words(create.Value0, 0x40, c.at44, cleared ? 0 : create.Value8, cleared ? 0 : 0x56,
                 c.flag60 != 0 ? 0x6060 : 0);

    MifhIwarpModifyAttributes modify{};
    modify.Value0 = 0x0102'0304'0506'0708;
    modify.Value8 = 0x1112'1314'1516'1718;
    modify.Value24 = 0x24;
    modify.Value28 = 0x28;
    modify.Value32 = c.at44;
    modify.Value40 = 0x4040;
    modify.Byte46 = c.flag60;
    modify.NextState = 2;
    ASSERT_EQ(mifh_iwarp_qp_modify(qp, &modify, nullptr), 0u);
    expect_words(modify.Value0, 0x24, c.at44, cleared ? 0 : modify.Value8, cleared ? 0 : 0x28,
                 c.flag60 != 0 ? 0x4040 : 0);
    drain(fn);
  }
}

TEST_F(QpTest, DestroyIsPostedOnce) {
  HwFunction& fn = bring_up(0);
  MifhQpObject* qp = iwarp_qp(fn);
  qp->QpId = 100;
  const std::uint32_t head = fn.cqp->RingIndex.Head;
  EXPECT_EQ(mifh_iwarp_qp_destroy_1(qp, nullptr, 1), 0u);
  EXPECT_EQ(last_request(fn).op_word, 0x10002u | 1u << 14);
  EXPECT_EQ(mifh_iwarp_qp_destroy_1(qp, nullptr, 0), MIFH_STATUS_FAIL);
  EXPECT_TRUE(logged("mifh_iwarp_qp_destroy: qp id (100) is destroyed too many times"));
  EXPECT_EQ(fn.cqp->RingIndex.Head, (head + 1) % fn.cqp->RingIndex.Size) << "one request only";
  drain(fn);
}

TEST_F(QpTest, ModifyRules) {
  HwFunction& fn = bring_up(0);
  MifhQpObject* qp = iwarp_qp(fn);
  qp->QpId = 100;
  MifhIwarpModifyAttributes m{};
  // State 5 is sent as 6 and followed by a flush of both queues.
  m.NextState = 5;
  std::uint32_t head = fn.cqp->RingIndex.Head;
  ASSERT_EQ(mifh_iwarp_qp_modify(qp, &m, nullptr), 0u);
  EXPECT_EQ((fn.cqp_ring[head].op_word >> 28) & 7, 6u);
  EXPECT_EQ(fn.cqp_ring[(head + 1) % fn.cqp->RingIndex.Size].op_word, 0x22u | 1u << 30 | 1u << 31);
  // A flush after both queues were flushed posts nothing.
  head = fn.cqp->RingIndex.Head;
  EXPECT_EQ(mifh_iwarp_qp_flush_wqes(qp, true, true, nullptr), 0u);
  EXPECT_EQ(fn.cqp->RingIndex.Head, head);
  // A second modify to closing posts nothing and wakes its caller at once.
  m.NextState = 3;
  TestContext first, second;
  ASSERT_EQ(mifh_iwarp_qp_modify(qp, &m, first.get()), 0u);
  head = fn.cqp->RingIndex.Head;
  ASSERT_EQ(mifh_iwarp_qp_modify(qp, &m, second.get()), 0u);
  EXPECT_EQ(fn.cqp->RingIndex.Head, head);
  EXPECT_EQ(second.completions, 1);
  drain(fn);
}

TEST_F(QpTest, FlushWritesTheWholeSlot) {
  HwFunction& fn = bring_up(0);
  MifhQpObject* qp = iwarp_qp(fn);
  qp->QpId = 100;
  const std::uint32_t slot = fn.cqp->RingIndex.Head;
  std::memset(&fn.cqp_ring[slot], 0xEE, sizeof fn.cqp_ring[slot]);
  ASSERT_EQ(mifh_iwarp_qp_flush_wqes(qp, false, true, nullptr), 0u);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&fn.cqp_ring[slot]);
  for (unsigned i = 24; i < 64; ++i) EXPECT_EQ(bytes[i], 0) << i;
  drain(fn);
}

TEST_F(QpTest, UploadByIdTreatsFortyAsIwarp) {
  HwFunction& fn = bring_up(0);
  for (auto [id, word] : {std::pair{39u, 0x50013u}, std::pair{40u, 0x10013u}}) {
    ASSERT_EQ(mifh_qp_upload_context1(fn.cqp, nullptr, 0, id, 0), 0u);
    EXPECT_EQ(last_request(fn).op_word, word) << id;
  }
  EXPECT_EQ(mifh_qp_upload_context1(nullptr, nullptr, 0, 40, 0), MIFH_STATUS_FAIL);
  EXPECT_TRUE(logged("mifh_qp_upload_context1: pgCQPObj is NULL"));
  drain(fn);
}

TEST_F(QpTest, FullControlRingQueuesIwarpRequestsAndFailsNicCreate) {
  HwFunction& fn = bring_up(0, 4);
  set_auto_step(false);  // the adapter takes nothing
  while (mifh_cqp_nop(fn.cqp) == 0) {
  }
  MifhQpObject* iw = iwarp_qp(fn);
  MifhIwarpCreateAttributes attrs{};
  EXPECT_EQ(mifh_iwarp_qp_create(iw, &attrs, 100, nullptr), 0u);
  EXPECT_FALSE(ZekIsListEmpty(&fn.cqp->PendingQueue));
  MifhQpObject* nic = nic_qp(fn, 24);
  EXPECT_EQ(mifh_nic_qp_create(nic, nullptr, nullptr), MIFH_STATUS_NO_WQE);
  EXPECT_EQ(mifh_LMI_access(fn.cqp, 0, nullptr, 0, 128, zekhw::kLmiRead, 0), MIFH_STATUS_NO_WQE);
  set_auto_step(true);
  settle();
  mifh_process_ccq(fn.ccq);
  mifh_free_CQPPendQ_buffer(fn.cqp);
  drain(fn);
}

TEST_F(QpTest, LmiWriteThenReadReturnsTheBytes) {
  HwFunction& fn = bring_up(0);
  DmaRing out = dma(fn, 4096), in = dma(fn, 4096);
  for (int i = 0; i < 128; ++i) static_cast<std::uint8_t*>(out.va)[i] = static_cast<std::uint8_t>(i * 3);
  TestContext w, r, bad;
  ASSERT_EQ(mifh_LMI_access(fn.cqp, out.pa, w.get(), 0x400, 128, zekhw::kLmiWrite, 0), 0u);
  ASSERT_EQ(mifh_LMI_access(fn.cqp, in.pa, r.get(), 0x400, 128, zekhw::kLmiRead, 0), 0u);
  // Beyond the adapter's memory: refused, nothing touched.
  ASSERT_EQ(mifh_LMI_access(fn.cqp, in.pa, bad.get(), 0xFFFFFF00, 128, zekhw::kLmiRead, 0), 0u);
  drain(fn);
  EXPECT_EQ(w.context.MajorCode, 0);
  EXPECT_EQ(r.context.MajorCode, 0);
  EXPECT_NE(bad.context.MajorCode, 0);
  EXPECT_EQ(std::memcmp(out.va, in.va, 128), 0);
}

TEST_F(QpTest, NicSendRequestIsWrittenWholeAndBounded) {
  HwFunction& fn = device(0);
  MifhQpObject* qp = nic_qp(fn, 24);
  auto* ring = static_cast<zekhw::MifhNicSqWqe*>(qp->Sq);
  std::memset(ring, 0xAB, sizeof *ring);  // a previous request's bytes
  MifhSglElement frags[6] = {{0x1000, 100, 0}, {0x2000, 200, 0}, {0x3000, 300, 0},
                             {0x4000, 400, 0}, {0x5000, 500, 0}, {0x6000, 600, 0}};
  MifhNicSendRequest request{};
  request.Fragments = frags;
  request.FragmentCount = 6;
  EXPECT_EQ(mifh_nic_qp_post_sq(qp, &request), MIFH_STATUS_INVALID_COUNT);
  EXPECT_EQ(qp->SqRing.Head, 0u) << "nothing written";
  request.FragmentCount = 1;
  request.TotalLength = 100;
  request.NoChecksum = 1;
  ASSERT_EQ(mifh_nic_qp_post_sq(qp, &request), 0u);
  EXPECT_EQ(ring[0].flags, 1u << 30);
  EXPECT_EQ(ring[0].frag0_vlan, 100u << 16);
  EXPECT_EQ(ring[0].lso, 0u);
  EXPECT_EQ(ring[0].frag2_frag1, 0u);
  EXPECT_EQ(ring[0].frag4_frag3, 0u);
  EXPECT_EQ(ring[0].fragment[0], 0x1000u);
  for (int i = 1; i < 5; ++i) EXPECT_EQ(ring[0].fragment[i], 0u) << "no stale fragment " << i;
  auto writes = take_writes(0);
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes.back().value, zekhw::wqe_doorbell(24, 1, true));
}

TEST_F(QpTest, ReceivePostingRingsInChunksOf255) {
  HwFunction& fn = device(0);
  MifhQpObject* qp = nic_qp(fn, 24);
  std::uint32_t posted = 0;
  take_writes(0);
  ASSERT_EQ(mifh_nic_qp_post_rq_to_doorbell(qp, 300, &posted), 0u);
  EXPECT_EQ(posted, 300u);
  auto writes = take_writes(0);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].value, zekhw::wqe_doorbell(24, 255, false));
  EXPECT_EQ(writes[1].value, zekhw::wqe_doorbell(24, 45, false));
  // Room for 211 more (one slot stays free): asking 300 posts 211 and says 3.
  EXPECT_EQ(mifh_nic_qp_post_rq(qp, 300, &posted), MIFH_STATUS_NO_WQE);
  EXPECT_EQ(posted, 211u);
}

}  // namespace
