// Posting work requests through the kernel verbs table: the requests as
// they land in the queue pair's rings (the adapter's byte layout), one
// doorbell per call, every request of a batch converted on its own, and the
// refusals (counts, lengths, STags, states, full rings) that end a batch
// with the requests before them posted.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "include/hw/registers.h"
#include "include/hw/stag.h"
#include "include/hw/wqe.h"
#include "tests/proxy/rdma/golden_bytes.h"
#include "tests/proxy/rdma/verbs/verbs_fixture.h"

namespace {

using golden::diff;
using golden::Golden;
using golden::Wqe;
using verbstest::OpenAdapterTest;

constexpr std::uint8_t kKey = 0x5A;

class PostTest : public OpenAdapterTest {
 protected:
  void SetUp() override {
    OpenAdapterTest::SetUp();
    if (HasFatalFailure()) return;
    qp_ = make_qp(adapter_, o_);
    q_ = qp_object(adapter_, qp_);
    ASSERT_NE(q_, nullptr);
    buffer_ = buffer(kBytes);
    ASSERT_NE(buffer_, nullptr);
    for (std::uint32_t i = 0; i < kBytes; ++i) buffer_[i] = static_cast<std::uint8_t>(i * 7);
    take_writes(0);
  }

  // A region over [buffer + offset, + length) of the kernel buffer: its STag.
  std::uint32_t region(std::uint32_t offset, std::uint32_t length, std::uint32_t access = 0xF, void* pd = nullptr) {
    ZekMrRegisterRequest r{};
    r.Address = address(offset);
    r.Length = length;
    r.Access = access;
    r.Key = kKey;
    std::uint32_t stag = 0;
    std::uint64_t at = 0;
    EXPECT_EQ(table()->MrRegisterNonshared(adapter_, pd != nullptr ? pd : o_.pd, &r, &stag, &at), ZEK_STATUS_PASS)
        << log_text();
    return stag;
  }
  std::uint64_t address(std::uint32_t offset) const { return reinterpret_cast<std::uint64_t>(buffer_) + offset; }

  Wqe sq(std::uint32_t index) const {
    Wqe w;
    std::memcpy(w.data(), static_cast<const std::uint8_t*>(q_->Sq) + 128 * index, 128);
    return w;
  }
  Wqe rq(std::uint32_t index) const {
    Wqe w;
    std::memcpy(w.data(), static_cast<const std::uint8_t*>(q_->Rq) + 128 * index, 128);
    return w;
  }
  std::uint64_t tag(std::uint32_t index) const { return reinterpret_cast<std::uint64_t>(q_) | index; }
  // The queue pair's doorbell words written since the last call (the
  // control queue pair's share the register).
  std::vector<std::uint32_t> doorbells() {
    std::vector<std::uint32_t> out;
    for (const RegisterWrite& w : take_writes(0)) {
      if (w.offset == zekhw::kRegWqeDoorbell && (w.value & 0xFFFF) == q_->QpId) out.push_back(w.value);
    }
    return out;
  }
  static void expect_bytes(const Wqe& got, const Golden& want) {
    EXPECT_EQ(got, want.bytes) << diff(got.data(), want.bytes.data(), 128);
  }

  static ZekSendWr send_wr(std::uint64_t id, std::int32_t op, const ZekSge* sgl, std::uint32_t n) {
    ZekSendWr r{};
    r.WrId = id;
    r.Op = op;
    r.Signalled = 1;
    r.Sgl = sgl;
    r.SgeCount = n;
    return r;
  }
  ZekStatus post(const std::vector<ZekSendWr>& wrs, std::uint32_t* posted) {
    return table()->QpPostSq(adapter_, qp_, wrs.data(), posted, static_cast<std::uint32_t>(wrs.size()));
  }

  static constexpr std::uint32_t kBytes = 5 * 4096;
  std::uint64_t qp_ = 0;
  MifhQpObject* q_ = nullptr;
  std::uint8_t* buffer_ = nullptr;
};

// A batch of different requests, each with its own list: every one is
// converted and written in the adapter's layout, and one doorbell announces
// them all.
TEST_F(PostTest, EveryRequestOfABatchIsWrittenInTheAdaptersLayout) {
  const std::uint32_t stag = region(0, kBytes);
  const ZekSge one[] = {{address(16), 100, stag}};
  const ZekSge two[] = {{address(200), 300, stag}, {address(4000), 500, stag}};
  const ZekSge four[] = {{address(0), 1, stag}, {address(10), 2, stag}, {address(20), 3, stag}, {address(30), 4, stag}};
  const ZekSge sink[] = {{address(8192), 3000, stag}};
  std::vector<ZekSendWr> wrs;
  wrs.push_back(send_wr(0x101, ZEK_WR_SEND, one, 1));
  wrs.push_back(send_wr(0x102, ZEK_WR_RDMA_WRITE, two, 2));
  wrs.back().Remote = 0x7000'1000;
  wrs.back().RemoteStag = 0x4242;
  wrs.back().Flags = 1;
  wrs.push_back(send_wr(0x103, ZEK_WR_SEND_SOLICITED_INVALIDATE, four, 4));
  wrs.back().Remote = 0x3377;  // the STag to invalidate
  wrs.back().Signalled = 0;
  wrs.push_back(send_wr(0x104, ZEK_WR_RDMA_READ, sink, 1));
  wrs.back().Remote = 0x9000'0040;
  wrs.back().RemoteStag = 0x5151;
  std::uint32_t posted = 99;
  ASSERT_EQ(post(wrs, &posted), ZEK_STATUS_PASS) << log_text();
  EXPECT_EQ(posted, 4u);
  // The send ring starts at slot 1.
  expect_bytes(sq(1), Golden{}
                          .u32(0, 3u | 1u << 31)
                          .u32(4, 100)
                          .u64(8, tag(1))
                          .u64(16, 0x101)
                          .u64(64, address(16))
                          .u32(72, 100)
                          .u32(76, stag));
  expect_bytes(sq(2), Golden{}
                          .u32(0, 0u | 1u << 29 | 1u << 31)
                          .u32(4, 800)
                          .u64(8, tag(2))
                          .u64(16, 0x102)
                          .u64(32, 0x7000'1000)
                          .u32(40, 800)
                          .u32(44, 0x4242)
                          .u64(64, address(200))
                          .u32(72, 300)
                          .u32(76, stag)
                          .u64(80, address(4000))
                          .u32(88, 500)
                          .u32(92, stag));
  Golden send_inv;
  send_inv.u32(0, 6u).u32(4, 10).u64(8, tag(3)).u64(16, 0x103).u32(28, 0x3377);
  for (int i = 0; i < 4; ++i) {
    send_inv.u64(64 + 16 * i, four[i].Address).u32(72 + 16 * i, four[i].Length).u32(76 + 16 * i, stag);
  }
  expect_bytes(sq(3), send_inv);
  expect_bytes(sq(4), Golden{}
                          .u32(0, 0x10000001u | 1u << 31)
                          .u32(4, 0xDEADBEEF)
                          .u64(8, tag(4))
                          .u64(16, 0x104)
                          .u64(32, 0x9000'0040)
                          .u32(40, 3000)
                          .u32(44, 0x5151)
                          .u64(64, address(8192))
                          .u32(76, stag));
  EXPECT_EQ(doorbells(), std::vector<std::uint32_t>{zekhw::wqe_doorbell(q_->QpId, 4, true)}) << "one for the batch";
}

// Inline data is copied into the request from every entry of the list.
TEST_F(PostTest, InlineDataIsGatheredIntoTheRequest) {
  const char* text = "inline data from two pieces";
  const ZekSge pieces[] = {{reinterpret_cast<std::uint64_t>(text), 7, 0},
                           {reinterpret_cast<std::uint64_t>(text + 7), 20, 0}};
  std::vector<ZekSendWr> wrs{send_wr(1, ZEK_WR_RDMA_WRITE_INLINE, pieces, 2),
                             send_wr(2, ZEK_WR_SEND_INLINE, pieces, 1)};
  wrs[0].Remote = 0x1234'5000;
  wrs[0].RemoteStag = 0x77;
  std::uint32_t posted = 0;
  ASSERT_EQ(post(wrs, &posted), ZEK_STATUS_PASS) << log_text();
  EXPECT_EQ(posted, 2u);
  expect_bytes(sq(1), Golden{}
                          .u32(0, 0x10000000u | 1u << 31)
                          .u32(4, 27)
                          .u64(8, tag(1))
                          .u64(16, 1)
                          .u64(32, 0x1234'5000)
                          .u32(40, 27)
                          .u32(44, 0x77)
                          .data(48, text, 27));
  expect_bytes(sq(2), Golden{}.u32(0, 0x10000003u | 1u << 31).u32(4, 7).u64(8, tag(2)).u64(16, 2).data(48, text, 7));
}

// Receives: elements from +32, one doorbell for the batch.
TEST_F(PostTest, ReceivesAreWrittenWithTheirOwnLists) {
  const std::uint32_t stag = region(0, kBytes, ZEK_ACCESS_LOCAL_WRITE);
  const ZekSge a[] = {{address(0), 4096, stag}};
  const ZekSge b[] = {{address(4096), 100, stag}, {address(8192), 200, stag}};
  const ZekRecvWr wrs[] = {{0xA, a, 1, 0}, {0xB, b, 2, 0}};
  std::uint32_t posted = 0;
  ASSERT_EQ(table()->QpPostRq(adapter_, qp_, wrs, nullptr, &posted, 2), ZEK_STATUS_PASS) << log_text();
  EXPECT_EQ(posted, 2u);
  expect_bytes(rq(0),
               Golden{}.u32(4, 4096).u64(8, tag(0)).u64(16, 0xA).u64(32, address(0)).u32(40, 4096).u32(44, stag));
  expect_bytes(rq(1), Golden{}
                          .u32(4, 300)
                          .u64(8, tag(1))
                          .u64(16, 0xB)
                          .u64(32, address(4096))
                          .u32(40, 100)
                          .u32(44, stag)
                          .u64(48, address(8192))
                          .u32(56, 200)
                          .u32(60, stag));
  EXPECT_EQ(doorbells(), std::vector<std::uint32_t>{zekhw::wqe_doorbell(q_->QpId, 2, false)});
}

// A refused request ends the batch: the ones before it are posted (the
// call answers 0 with their count), nothing of it is written, and with
// none before it the call answers the refusal.
TEST_F(PostTest, ARefusedRequestEndsTheBatchWithTheOnesBeforeItPosted) {
  const std::uint32_t stag = region(4096, 4096, ZEK_ACCESS_LOCAL_WRITE | ZEK_ACCESS_LOCAL_READ);
  const std::uint32_t read_only = region(0, 4096, ZEK_ACCESS_LOCAL_READ);
  void* other_pd = nullptr;
  ASSERT_EQ(table()->PdAllocate(adapter_, &other_pd), ZEK_STATUS_PASS);
  const std::uint32_t foreign = region(8192, 4096, 0xF, other_pd);
  const ZekSge good[] = {{address(4096), 10, stag}};
  const ZekSge five[] = {good[0], good[0], good[0], good[0], good[0]};
  const ZekSge huge[] = {{address(4096), 0x7FC00000, stag}, {address(4096), 1, stag}};
  const ZekSge bad_key[] = {{address(4096), 10, zekhw::make_stag(zekhw::stag_index(stag), kKey + 1)}};
  const ZekSge unknown[] = {{address(4096), 10, 0xFFFFFF00u | kKey}};
  const ZekSge outside[] = {{address(4096 + 4000), 200, stag}};
  const ZekSge before[] = {{address(4095), 2, stag}};
  const ZekSge of_other_pd[] = {{address(8192), 10, foreign}};
  const ZekSge read_into_read_only[] = {{address(0), 10, read_only}};
  const ZekSge two_sinks[] = {good[0], good[0]};
  char big[65] = {};
  const ZekSge too_much_inline[] = {{reinterpret_cast<std::uint64_t>(big), 65, 0}};
  struct Case {
    const char* what;
    ZekSendWr bad;
    ZekStatus status;
  };
  ZekSendWr illegal = send_wr(9, 7, good, 1);
  ZekSendWr invalidate_unknown{};
  invalidate_unknown.Op = ZEK_WR_LOCAL_INVALIDATE;
  reinterpret_cast<ZekLocalInvalidateWr&>(invalidate_unknown).Stag = 0xFFFFFF00u;
  const Case cases[] = {
      {"operation 7", illegal, ZEK_STATUS_FAIL},
      {"five entries", send_wr(9, ZEK_WR_RDMA_WRITE, five, 5), IWARP_STATUS_QP_INVALID_NUM_SGES},
      {"0x7FC00001 bytes", send_wr(9, ZEK_WR_RDMA_WRITE, huge, 2), IWARP_STATUS_QP_INVALID_MESSAGE_SIZE},
      {"another key", send_wr(9, ZEK_WR_SEND, bad_key, 1), IWARP_STATUS_MR_INVALID_STAG},
      {"an index no region has", send_wr(9, ZEK_WR_SEND, unknown, 1), IWARP_STATUS_MR_INVALID_STAG},
      {"past the region's end", send_wr(9, ZEK_WR_SEND, outside, 1), IWARP_STATUS_QP_INVALID_SGL_LEN},
      {"before the region", send_wr(9, ZEK_WR_SEND, before, 1), IWARP_STATUS_QP_INVALID_SGL_LEN},
      {"another PD's region", send_wr(9, ZEK_WR_SEND, of_other_pd, 1), IWARP_STATUS_MR_INVALID_STAG},
      {"a read into a region without local write", send_wr(9, ZEK_WR_RDMA_READ, read_into_read_only, 1),
       IWARP_STATUS_MR_INVALID_STAG},
      {"a read into two entries", send_wr(9, ZEK_WR_RDMA_READ, two_sinks, 2), IWARP_STATUS_QP_INVALID_NUM_SGES},
      {"65 bytes inline", send_wr(9, ZEK_WR_SEND_INLINE, too_much_inline, 1), IWARP_STATUS_QP_INVALID_MESSAGE_SIZE},
      {"a list that is not there", send_wr(9, ZEK_WR_SEND, nullptr, 1), ZEK_STATUS_BAD_PTR},
      {"invalidating an STag of index 0xFFFFFF", invalidate_unknown, IWARP_STATUS_MR_INVALID_STAG},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::uint32_t head = q_->SqRing.Head;
    std::uint32_t posted = 99;
    EXPECT_EQ(post({c.bad}, &posted), c.status);
    EXPECT_EQ(posted, 0u);
    EXPECT_EQ(q_->SqRing.Head, head) << "nothing written";
    EXPECT_TRUE(doorbells().empty());
    const std::vector<ZekSendWr> batch{send_wr(1, ZEK_WR_SEND, good, 1), send_wr(2, ZEK_WR_SEND, good, 1), c.bad,
                                       send_wr(3, ZEK_WR_SEND, good, 1)};
    EXPECT_EQ(post(batch, &posted), ZEK_STATUS_PASS);
    EXPECT_EQ(posted, 2u);
    EXPECT_EQ(doorbells(), std::vector<std::uint32_t>{zekhw::wqe_doorbell(q_->QpId, 2, true)});
    // Room for the next case: the adapter never runs this idle queue pair.
    q_->SqRing.Tail = q_->SqRing.Head;
  }
}

// Sends only in IDLE and RTS; receives in every state but TERMINATE and ERROR.
TEST_F(PostTest, StatesThatTakeRequests) {
  const std::uint32_t stag = region(0, 4096);
  const ZekSge one[] = {{address(0), 1, stag}};
  const ZekSendWr s = send_wr(1, ZEK_WR_SEND, one, 1);
  const ZekRecvWr r{2, one, 1, 0};
  ZekQpVerbs* v = ZekQpOf(q_);
  struct Case {
    ZekQpState state;
    ZekStatus send, receive;
  };
  const Case cases[] = {
      {ZEK_QP_STATE_IDLE, ZEK_STATUS_PASS, ZEK_STATUS_PASS},
      {ZEK_QP_STATE_CLOSING, IWARP_STATUS_QP_INVALID_QP_STATE, ZEK_STATUS_PASS},
      {ZEK_QP_STATE_TERMINATE, IWARP_STATUS_QP_INVALID_QP_STATE, IWARP_STATUS_QP_INVALID_QP_STATE},
      {ZEK_QP_STATE_ERROR, IWARP_STATUS_QP_INVALID_QP_STATE, IWARP_STATUS_QP_INVALID_QP_STATE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.state));
    v->State = c.state;
    std::uint32_t posted = 0;
    EXPECT_EQ(table()->QpPostSq(adapter_, qp_, &s, &posted, 1), c.send);
    EXPECT_EQ(table()->QpPostRq(adapter_, qp_, &r, nullptr, &posted, 1), c.receive);
    q_->SqRing.Tail = q_->SqRing.Head;
    q_->RqRing.Tail = q_->RqRing.Head;
  }
  v->State = ZEK_QP_STATE_IDLE;
}

// Queue-pair handles are looked up on the adapter: beyond the table, of
// another adapter, or destroyed, they are refused.
TEST_F(PostTest, HandlesThatAreNotThisAdaptersQueuePairsAreRefused) {
  const ZekRecvWr r{2, nullptr, 0, 0};
  const ZekSendWr s = send_wr(1, ZEK_WR_SEND, nullptr, 0);
  void* other = open();
  const Objects o = objects(other);
  const std::uint64_t theirs = make_qp(other, o);
  std::uint32_t posted = 0;
  for (std::uint64_t handle : {std::uint64_t{8192}, ~std::uint64_t{0}, theirs}) {
    SCOPED_TRACE(handle);
    EXPECT_EQ(table()->QpPostSq(adapter_, handle, &s, &posted, 1), IWARP_STATUS_QP_INVALID_HANDLE);
    EXPECT_EQ(table()->QpPostRq(adapter_, handle, &r, nullptr, &posted, 1), IWARP_STATUS_QP_INVALID_HANDLE);
  }
  EXPECT_EQ(table()->QpDestroy(other, theirs), ZEK_STATUS_PASS);
  EXPECT_EQ(table()->QpPostSq(other, theirs, &s, &posted, 1), IWARP_STATUS_QP_INVALID_HANDLE);
  EXPECT_EQ(table()->QpPostSq(adapter_, qp_, nullptr, &posted, 1), ZEK_STATUS_BAD_PTR);
  EXPECT_EQ(table()->Close(other), ZEK_STATUS_PASS);
  EXPECT_EQ(table()->QpPostSq(other, qp_, &s, &posted, 1), IWARP_STATUS_A_INVALID_RNIC_HANDLE);
}

}  // namespace

namespace {

// The record of an STag as the verbs keep it (valid, key).
struct Seen {
  bool found = false;
  std::uint32_t valid = 0;
  std::uint8_t key = 0;
};
Seen record_of(void* adapter, std::uint32_t stag) {
  auto* a = static_cast<ZekIwarpAdapter*>(adapter);
  Seen s;
  OSPrimSyncAcquireSpinlockObject(&a->StagListSpinlock);
  if (const ZekStagRecord* r = ZekFindStagLocked(a, zekhw::stag_index(stag), ZekStagKind::Any)) {
    s = {true, r->Valid, r->Key};
  }
  OSPrimSyncReleaseSpinlockObject(&a->StagListSpinlock);
  return s;
}

// A queue of 4 holds 2 requests. Past a full ring every kind of request is
// refused with IWARP_STATUS_QP_TOOMANY_WRS_POSTED and leaves nothing: the
// ring's bytes and head as they were, no doorbell, the STag records as they
// were (no fast registration made valid, no invalidation carried out, no
// window bound). A full receive ring answers the same.
TEST_F(PostTest, AFullRingTakesNoMoreAndWritesNothing) {
  ZekQpCreateInput in = qp_input(o_.pd, o_.cq, o_.cq, 2, 2);
  ZekQpAttributes out{};
  std::uint64_t small = 0;
  ASSERT_EQ(table()->QpCreate(adapter_, &in, &out, &small), ZEK_STATUS_PASS);
  MifhQpObject* q = qp_object(adapter_, small);
  ASSERT_NE(q, nullptr);
  const std::uint32_t stag = region(0, 2 * 4096);
  std::uint32_t window = 0, fast = 0, room = 0;
  ASSERT_EQ(table()->MwAlloc(adapter_, o_.pd, &window), ZEK_STATUS_PASS) << log_text();
  ASSERT_EQ(table()->MrAllocNonsharedStag(adapter_, o_.pd, 4, 0, &fast, &room), ZEK_STATUS_PASS) << log_text();
  const ZekSge one[] = {{address(0), 1, stag}};
  const std::vector<ZekSendWr> three(3, send_wr(1, ZEK_WR_SEND, one, 1));
  std::uint32_t posted = 0;
  EXPECT_EQ(table()->QpPostSq(adapter_, small, three.data(), &posted, 3), ZEK_STATUS_PASS);
  EXPECT_EQ(posted, 2u);
  // The receive ring of 4 holds its usable 2 and more: a batch of 4 fills it.
  const ZekRecvWr receives[4] = {{1, one, 1, 0}, {2, one, 1, 0}, {3, one, 1, 0}, {4, one, 1, 0}};
  EXPECT_EQ(table()->QpPostRq(adapter_, small, receives, nullptr, &posted, 4), ZEK_STATUS_PASS);
  EXPECT_GE(posted, 2u);
  EXPECT_LT(posted, 4u);
  // Doorbells of this queue pair written since the last look.
  auto rung = [&] {
    std::size_t n = 0;
    for (const RegisterWrite& w : take_writes(0)) {
      n += w.offset == zekhw::kRegWqeDoorbell && (w.value & 0xFFFF) == q->QpId;
    }
    return n;
  };
  rung();
  const auto* sq_bytes = static_cast<const std::uint8_t*>(q->Sq);
  const auto* rq_bytes = static_cast<const std::uint8_t*>(q->Rq);
  const std::vector<std::uint8_t> sq_before(sq_bytes, sq_bytes + q->SqRing.Size * 128);
  const std::vector<std::uint8_t> rq_before(rq_bytes, rq_bytes + q->RqRing.Size * 128);
  const std::uint32_t sq_head = q->SqRing.Head, rq_head = q->RqRing.Head;

  auto with = [](std::int32_t op, auto edit) {
    ZekSendWr r{};
    r.WrId = 0xEE;
    r.Op = op;
    r.Signalled = 1;
    edit(r);
    return r;
  };
  const ZekSge sink[] = {{address(4096), 100, stag}};
  const struct {
    const char* what;
    ZekSendWr r;
  } cases[] = {
      {"send", send_wr(2, ZEK_WR_SEND, one, 1)},
      {"send with invalidate", with(ZEK_WR_SEND_SOLICITED_INVALIDATE,
                                    [&](ZekSendWr& r) {
                                      r.Sgl = one;
                                      r.SgeCount = 1;
                                      r.Remote = 0x3377;
                                    })},
      {"RDMA write", with(ZEK_WR_RDMA_WRITE,
                          [&](ZekSendWr& r) {
                            r.Sgl = one;
                            r.SgeCount = 1;
                            r.Remote = 0x1000;
                            r.RemoteStag = 0x4242;
                          })},
      {"RDMA read", with(ZEK_WR_RDMA_READ,
                         [&](ZekSendWr& r) {
                           r.Sgl = sink;
                           r.SgeCount = 1;
                           r.Remote = 0x1000;
                           r.RemoteStag = 0x4242;
                         })},
      {"inline send", with(ZEK_WR_SEND_INLINE,
                           [&](ZekSendWr& r) {
                             r.Sgl = one;
                             r.SgeCount = 1;
                           })},
      {"inline RDMA write", with(ZEK_WR_RDMA_WRITE_INLINE,
                                 [&](ZekSendWr& r) {
                                   r.Sgl = one;
                                   r.SgeCount = 1;
                                   r.RemoteStag = 0x4242;
                                 })},
      {"window bind", with(ZEK_WR_BIND,
                           [&](ZekSendWr& r) {
                             auto& b = reinterpret_cast<ZekBindWr&>(r);
                             b.RegionStag = stag;
                             b.Length = 100;
                             b.Va = address(0);
                             b.RemoteWrite = 1;
                             b.WindowStag = window;
                             b.Key = 0x33;
                           })},
      {"fast registration", with(ZEK_WR_FAST_REGISTER,
                                 [&](ZekSendWr& r) {
                                   auto& f = reinterpret_cast<ZekFastRegisterWr&>(r);
                                   f.Length = 4096;
                                   f.Buffer = address(0);
                                   f.Access = ZEK_ACCESS_LOCAL_READ;
                                   f.Stag = fast;
                                   f.Key = 0x44;
                                 })},
      {"local invalidation",
       with(ZEK_WR_LOCAL_INVALIDATE, [&](ZekSendWr& r) { reinterpret_cast<ZekLocalInvalidateWr&>(r).Stag = stag; })},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    posted = 99;
    EXPECT_EQ(table()->QpPostSq(adapter_, small, &c.r, &posted, 1), IWARP_STATUS_QP_TOOMANY_WRS_POSTED) << log_text();
    EXPECT_EQ(posted, 0u);
    EXPECT_EQ(q->SqRing.Head, sq_head);
    EXPECT_TRUE(std::equal(sq_before.begin(), sq_before.end(), sq_bytes)) << "the full ring was written";
    EXPECT_EQ(rung(), 0u);
  }
  EXPECT_EQ(record_of(adapter_, fast).valid, 0u) << "a fast registration that was never posted";
  EXPECT_EQ(record_of(adapter_, stag).valid, 1u) << "an invalidation that was never posted";
  EXPECT_EQ(record_of(adapter_, window).valid, 0u) << "a bind that was never posted";
  posted = 99;
  EXPECT_EQ(table()->QpPostRq(adapter_, small, receives, nullptr, &posted, 1), IWARP_STATUS_QP_TOOMANY_WRS_POSTED);
  EXPECT_EQ(posted, 0u);
  EXPECT_EQ(q->RqRing.Head, rq_head);
  EXPECT_TRUE(std::equal(rq_before.begin(), rq_before.end(), rq_bytes)) << "the full receive ring was written";
  EXPECT_EQ(rung(), 0u);
}

// Bind, local invalidation and fast registration in the adapter's layouts;
// the STag records follow what was posted (a fast-registered STag serves a
// send at once, an invalidated one no longer does, a valid one is not
// fast-registered again).
TEST_F(PostTest, WindowsInvalidationAndFastRegistration) {
  const std::uint32_t region_stag = region(0, 2 * 4096);
  std::uint32_t window = 0;
  ASSERT_EQ(table()->MwAlloc(adapter_, o_.pd, &window), ZEK_STATUS_PASS) << log_text();
  EXPECT_EQ(zekhw::stag_key(window), 0);
  ZekSendWr wr{};
  auto& bind = reinterpret_cast<ZekBindWr&>(wr);
  bind.WrId = 0xB1;
  bind.Op = ZEK_WR_BIND;
  bind.Signalled = 1;
  bind.RegionStag = region_stag;
  bind.Length = 1000;
  bind.Va = address(100);
  bind.Mode = 3;
  bind.RemoteWrite = 1;
  bind.WindowStag = window;
  bind.Key = 0x33;
  std::uint32_t posted = 0;
  ASSERT_EQ(post({wr}, &posted), ZEK_STATUS_PASS) << log_text();
  expect_bytes(sq(1), Golden{}
                          .u32(0, 0x40000008u | 3u << 6 | 1u << 19 | 1u << 31)
                          .u64(8, tag(1))
                          .u64(16, 0xB1)
                          .u32(24, region_stag)
                          .u32(28, zekhw::make_stag(zekhw::stag_index(window), 0x33))
                          .u64(32, 1000)
                          .u64(40, address(100))
                          .u32(48, ZEK_ACCESS_REMOTE_WRITE));
  EXPECT_EQ(record_of(adapter_, window).valid, 1u);
  EXPECT_EQ(record_of(adapter_, window).key, 0x33);
  // A window cannot be bound beyond its region.
  bind.Length = 2 * 4096;
  EXPECT_EQ(post({wr}, &posted), IWARP_STATUS_MR_INVALID_VA);

  // Local invalidation: the STag at +24; the region no longer serves sends.
  ZekSendWr inv{};
  inv.WrId = 0x1A;
  inv.Op = ZEK_WR_LOCAL_INVALIDATE;
  reinterpret_cast<ZekLocalInvalidateWr&>(inv).Stag = region_stag;
  ASSERT_EQ(post({inv}, &posted), ZEK_STATUS_PASS);
  expect_bytes(sq(2), Golden{}.u32(0, 0x4000000Au).u64(8, tag(2)).u64(16, 0x1A).u32(24, region_stag));
  const ZekSge through_region[] = {{address(0), 10, region_stag}};
  EXPECT_EQ(post({send_wr(1, ZEK_WR_SEND, through_region, 1)}, &posted), IWARP_STATUS_MR_INVALID_STAG);

  // Fast registration of an allocated STag over three pages of the buffer.
  std::uint32_t fast = 0, room = 0;
  ASSERT_EQ(table()->MrAllocNonsharedStag(adapter_, o_.pd, 8, 0, &fast, &room), ZEK_STATUS_PASS) << log_text();
  EXPECT_EQ(room, 8u);
  EXPECT_EQ(record_of(adapter_, fast).valid, 0u);
  ZekSendWr fr{};
  auto& f = reinterpret_cast<ZekFastRegisterWr&>(fr);
  f.WrId = 0xF1;
  f.Op = ZEK_WR_FAST_REGISTER;
  f.Signalled = 0;
  f.Length = 3 * 4096 - 100;
  f.Buffer = address(50);
  f.Access = ZEK_ACCESS_LOCAL_READ | ZEK_ACCESS_LOCAL_WRITE | ZEK_ACCESS_REMOTE_WRITE;
  f.Stag = fast;
  f.Key = 0x44;
  ASSERT_EQ(post({fr}, &posted), ZEK_STATUS_PASS) << log_text();
  const Wqe w = sq(3);
  zekhw::MifhFastRegWqe got;
  std::memcpy(&got, w.data(), sizeof got);
  EXPECT_EQ(got.op_word, 0x40000009u | 1u << 6 | 0xBu << 16 | 1u << 31)
      << "the adapter is asked for the completion even when the poster did not";
  EXPECT_EQ(got.tag, tag(3));
  EXPECT_NE(got.wr_id, 0xF1u) << "the id names the kernel's context";
  EXPECT_EQ(got.stag, zekhw::make_stag(zekhw::stag_index(fast), 0x44));
  EXPECT_EQ(got.total_length, 3u * 4096 - 100);
  EXPECT_EQ(got.va_or_fbo, address(50));
  EXPECT_NE(got.pbl_pa, 0u);
  EXPECT_EQ(got.pbl_bytes, 3u * 8) << "the region's three pages, not the list buffer's rounding";
  const std::uint32_t registered = zekhw::make_stag(zekhw::stag_index(fast), 0x44);
  EXPECT_EQ(record_of(adapter_, fast).valid, 1u);
  const ZekSge through_fast[] = {{address(60), 4096, registered}};
  EXPECT_EQ(post({send_wr(2, ZEK_WR_SEND, through_fast, 1)}, &posted), ZEK_STATUS_PASS) << "valid at once";
  EXPECT_EQ(post({fr}, &posted), ZEK_STATUS_FAIL) << "a valid STag is not fast-registered again";
  // The page list the adapter was to read goes back with the queue pair.
  EXPECT_EQ(table()->QpDestroy(adapter_, qp_), ZEK_STATUS_PASS);
  EXPECT_EQ(table()->MrDealloc(adapter_, registered), ZEK_STATUS_PASS) << log_text();
  EXPECT_EQ(table()->MrDealloc(adapter_, window), ZEK_STATUS_PASS) << log_text();
  EXPECT_EQ(table()->MrDealloc(adapter_, region_stag), ZEK_STATUS_PASS) << log_text();
  EXPECT_FALSE(record_of(adapter_, fast).found);
}

// Fast registration refusals: an STag of no allocated region, a page list
// from a kernel client that does not hold the region, rights that break
// the rules; nothing is written.
TEST_F(PostTest, FastRegistrationRefusals) {
  std::uint32_t fast = 0, room = 0;
  ASSERT_EQ(table()->MrAllocNonsharedStag(adapter_, o_.pd, 2, 0, &fast, &room), ZEK_STATUS_PASS) << log_text();
  const std::uint64_t pages[2] = {0x100000, 0x200000};
  auto wr = [&](auto edit) {
    ZekSendWr r{};
    auto& f = reinterpret_cast<ZekFastRegisterWr&>(r);
    f.Op = ZEK_WR_FAST_REGISTER;
    f.Stag = fast;
    f.Length = 4096;
    f.Buffer = address(0);
    f.Access = ZEK_ACCESS_LOCAL_READ;
    edit(f);
    return r;
  };
  struct Case {
    const char* what;
    ZekSendWr r;
    ZekStatus status;
  };
  const Case cases[] = {
      {"no such STag", wr([](ZekFastRegisterWr& f) { f.Stag = 0xFFFF00; }), IWARP_STATUS_MR_INVALID_STAG},
      {"remote write without local write",
       wr([](ZekFastRegisterWr& f) { f.Access = ZEK_ACCESS_LOCAL_READ | ZEK_ACCESS_REMOTE_WRITE; }),
       IWARP_STATUS_MR_INVALID_ACCESS_RIGHTS},
      {"no local right", wr([](ZekFastRegisterWr& f) { f.Access = 0; }), IWARP_STATUS_MR_INVALID_ACCESS_RIGHTS},
      {"a page list short of the length", wr([&](ZekFastRegisterWr& f) {
         f.Buffer = 0;
         f.PageList = pages;
         f.PageCount = 2;
         f.PageSize = 4096;
         f.Length = 3 * 4096;
       }),
       IWARP_STATUS_MR_INVALID_PBE},
      {"more pages than allocated", wr([](ZekFastRegisterWr& f) { f.Length = 4 * 4096; }), IWARP_STATUS_MR_INVALID_PBE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::uint32_t head = q_->SqRing.Head;
    std::uint32_t posted = 0;
    EXPECT_EQ(post({c.r}, &posted), c.status);
    EXPECT_EQ(q_->SqRing.Head, head);
    EXPECT_EQ(record_of(adapter_, fast).valid, 0u);
  }
}

}  // namespace
