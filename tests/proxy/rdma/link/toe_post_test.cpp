// TOE posting on a TOE queue pair's rings: the split of a request's buffers
// four to a work request, one doorbell each, the room checked before
// anything is written (full and wrapped rings), and the completion reader
// that moves the rings' tails.
#include "proxy/rdma/hw/toe_post.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "include/hw/registers.h"
#include "proxy/rdma/hw/cq.h"
#include "tests/proxy/rdma/hw/hwif_fixture.h"

namespace {

using zekhw::MifhToeRecvWqe;
using zekhw::MifhToeSendWqe;

constexpr std::uint32_t kQpId = 0x1234;

class ToePostTest : public HwifTest {
 protected:
  void SetUp() override {
    HwifTest::SetUp();
    fn_ = &device(0);
  }
  void TearDown() override {
    for (auto* qp : qps_) mifh_free_toe_sq(qp);
    for (auto* cq : cqs_) mifh_free_iwarp_cq(cq);
    HwifTest::TearDown();
  }
  MifhQpObject* toe_qp(std::uint32_t wqes) {
    MifhQpObject* qp = nullptr;
    EXPECT_EQ(mifh_toe_qp_allocate(&qp, &fn_->device, wqes, wqes), 0u);
    if (qp == nullptr) return nullptr;
    qp->QpId = kQpId;
    qps_.push_back(qp);
    return qp;
  }
  static std::vector<MifhToeBufferEntry> buffers(std::uint32_t n) {
    std::vector<MifhToeBufferEntry> b(n);
    for (std::uint32_t i = 0; i < n; ++i) b[i] = {0x100000ull * (i + 1), 100 * (i + 1), 0, 0};
    return b;
  }
  static std::uint32_t total(const std::vector<MifhToeBufferEntry>& b) {
    std::uint32_t t = 0;
    for (const auto& e : b) t += e.Length;
    return t;
  }
  std::vector<std::uint32_t> doorbells() {
    std::vector<std::uint32_t> v;
    for (const RegisterWrite& w : take_writes(0)) {
      if (w.offset == zekhw::kRegWqeDoorbell) v.push_back(w.value);
    }
    return v;
  }
  HwFunction* fn_ = nullptr;
  std::vector<MifhQpObject*> qps_;
  std::vector<MifhCqObject*> cqs_;
};

TEST_F(ToePostTest, FiveBuffersTakeTwoRequestsEachWithItsDoorbell) {
  MifhQpObject* qp = toe_qp(32);
  ASSERT_NE(qp, nullptr);
  const auto b = buffers(5);
  const MifhToeSendRequest request{b.data(), 5, total(b), {1, 0xAB, 1, 0}};
  take_writes(0);
  ASSERT_EQ(mifh_toe_send(qp, &request, 0xC0FFEE), 0u);
  const std::uint32_t sq_bell = (1u << 24) | 0x800000u | kQpId;
  EXPECT_EQ(doorbells(), (std::vector<std::uint32_t>{sq_bell, sq_bell}));
  EXPECT_EQ(qp->SqRing.Head, 2u);
  const auto* ring = static_cast<const MifhToeSendWqe*>(qp->Sq);
  const std::uint32_t flags = 1u << 21 | 0xABu << 22 | 1u << 30;
  EXPECT_EQ(ring[0].flags, flags);
  EXPECT_EQ(ring[1].flags, flags);
  // More than one request: each carries its own buffers' bytes.
  EXPECT_EQ(ring[0].byte_count, 100u + 200 + 300 + 400);
  EXPECT_EQ(ring[1].byte_count, 500u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(ring[i].qp, reinterpret_cast<std::uint64_t>(qp));
    EXPECT_EQ(ring[i].context, 0xC0FFEEu);
  }
  EXPECT_EQ(ring[0].buffer[3].address, 0x400000u);
  EXPECT_EQ(ring[1].buffer[0].address, 0x500000u);
  EXPECT_EQ(ring[1].buffer[0].length, 500u);
  EXPECT_EQ(ring[1].buffer[1].address, 0u) << "unused entries stay zero";
}

TEST_F(ToePostTest, OneRequestCarriesTheTotalLength) {
  MifhQpObject* qp = toe_qp(4);
  ASSERT_NE(qp, nullptr);
  const auto b = buffers(3);
  ASSERT_EQ(mifh_toe_recv(qp, b.data(), 7, 3, total(b)), 0u);
  const auto* w = static_cast<const MifhToeRecvWqe*>(qp->Rq);
  EXPECT_EQ(w[0].byte_count, 600u);
  EXPECT_EQ(w[0].reserved0, 0u);
  EXPECT_EQ(w[0].buffer[2].length, 300u);
  EXPECT_EQ(doorbells(), (std::vector<std::uint32_t>{(1u << 24) | kQpId})) << "a receive doorbell has no bit 23";
}

// The ring rule on rings of 4 (three usable slots), full and wrapped.
struct RingCase {
  const char* name;
  bool send;
  std::uint32_t head, tail;  // before
  std::uint32_t buffers;
  ZekStatus status;
  std::uint32_t head_after;
  std::vector<std::uint32_t> slots;  // written, in order
};

class ToeRing : public ToePostTest, public ::testing::WithParamInterface<RingCase> {};

TEST_P(ToeRing, PostsWholeRequestsOrNothing) {
  const RingCase& c = GetParam();
  MifhQpObject* qp = toe_qp(4);
  ASSERT_NE(qp, nullptr);
  ZEK_OSPRIM_RING& ring = c.send ? qp->SqRing : qp->RqRing;
  ring.Head = c.head;
  ring.Tail = c.tail;
  const auto b = buffers(c.buffers);
  take_writes(0);
  ZekStatus s;
  if (c.send) {
    const MifhToeSendRequest request{b.data(), c.buffers, total(b), {}};
    s = mifh_toe_send(qp, &request, 9);
  } else {
    s = mifh_toe_recv(qp, b.data(), 9, c.buffers, total(b));
  }
  EXPECT_EQ(s, c.status);
  EXPECT_EQ(ring.Head, c.head_after);
  EXPECT_EQ(doorbells().size(), c.slots.size()) << "one doorbell per request written";
  const auto* slots = static_cast<const MifhToeSendWqe*>(c.send ? qp->Sq : qp->Rq);
  for (std::uint32_t i = 0; i < 4; ++i) {
    const bool written = std::find(c.slots.begin(), c.slots.end(), i) != c.slots.end();
    EXPECT_EQ(slots[i].context, written ? 9u : 0u) << "slot " << i;
  }
  // The first buffer of each request, in order: +64 in a send, +32 in a receive.
  const std::size_t first = c.send ? offsetof(MifhToeSendWqe, buffer) : offsetof(MifhToeRecvWqe, buffer);
  for (std::size_t k = 0; k < c.slots.size() && c.buffers > 0; ++k) {
    std::uint64_t address;
    std::memcpy(&address, reinterpret_cast<const std::uint8_t*>(&slots[c.slots[k]]) + first, 8);
    EXPECT_EQ(address, 0x100000ull * (4 * k + 1)) << "request " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(Rings, ToeRing,
                         ::testing::Values(RingCase{"ThreeRequestsFillAnEmptyRing", true, 0, 0, 12, 0, 3, {0, 1, 2}},
                                           RingCase{"FourRequestsDoNotFit", true, 0, 0, 13, MIFH_STATUS_NO_WQE, 0, {}},
                                           RingCase{"TwoNeededOneFree", true, 2, 0, 8, MIFH_STATUS_NO_WQE, 2, {}},
                                           RingCase{"WrapsPastTheEnd", true, 3, 3, 8, 0, 1, {3, 0}},
                                           RingCase{"ReceiveWrapsToo", false, 2, 1, 6, 0, 0, {2, 3}},
                                           RingCase{"ReceiveRingFull", false, 1, 2, 1, MIFH_STATUS_NO_WQE, 1, {}},
                                           RingCase{"ReceiveOfNoBuffersPostsNothing", false, 1, 2, 0, 0, 1, {}},
                                           // An empty send is the end of the stream: one request of no bytes.
                                           RingCase{"EmptySendIsOneRequest", true, 3, 3, 0, 0, 0, {3}},
                                           RingCase{"EmptySendNeedsRoomToo", true, 1, 2, 0, MIFH_STATUS_NO_WQE, 1, {}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ToePostTest, LengthsThatDoNotAddUpAreRefused) {
  MifhQpObject* qp = toe_qp(4);
  ASSERT_NE(qp, nullptr);
  const auto b = buffers(2);
  const MifhToeSendRequest request{b.data(), 2, total(b) + 1, {}};
  EXPECT_EQ(mifh_toe_send(qp, &request, 1), MIFH_STATUS_INVALID_COUNT);
  EXPECT_EQ(mifh_toe_recv(qp, nullptr, 1, 2, 0), MIFH_STATUS_FAIL);
  EXPECT_EQ(qp->SqRing.Head, 0u);
  EXPECT_TRUE(doorbells().empty());
}

// Completions written as the adapter writes them: each moves its queue's
// tail; one naming another queue pair, or a queue with nothing in flight,
// is given back and skipped.
TEST_F(ToePostTest, CompletionsMoveTheirQueuesTails) {
  MifhQpObject* qp = toe_qp(32);
  ASSERT_NE(qp, nullptr);
  MifhCqObject* cq = nullptr;
  void* ring = nullptr;
  ASSERT_EQ(mifh_iwarp_cq_allocate(&cq, &ring, 32), 0u);
  cqs_.push_back(cq);
  ASSERT_EQ(mifh_iwarp_cq_init(&fn_->device, cq, ring, pa_of(ring), 32, 0), 0u);
  cq->CqId = 500;
  const auto b = buffers(1);
  const MifhToeSendRequest request{b.data(), 1, 100, {}};
  ASSERT_EQ(mifh_toe_send(qp, &request, 1), 0u);
  ASSERT_EQ(mifh_toe_recv(qp, b.data(), 2, 1, 100), 0u);
  auto* entries = static_cast<zekhw::MifhToeCqe*>(ring);
  auto write = [&](unsigned i, std::uint64_t names, bool send, std::uint32_t bytes) {
    entries[i] = zekhw::MifhToeCqe{};
    entries[i].byte_count = bytes;
    entries[i].qp = names;
    entries[i].flags = zekhw::kCqeValid | (send ? zekhw::kCqeSendQueue : 0u);
  };
  const auto self = reinterpret_cast<std::uint64_t>(qp);
  write(0, self + 4096, true, 1);  // another queue pair
  write(1, self, false, 60);
  write(2, self, false, 1);  // the receive queue has nothing more in flight
  write(3, self, true, 100);
  take_writes(0);
  zekhw::MifhToeCqe c;
  ASSERT_EQ(mifh_toe_cq_poll(cq, qp, &c), 0u);
  EXPECT_EQ(c.byte_count, 60u);
  EXPECT_EQ(qp->RqRing.Tail, 1u);
  ASSERT_EQ(mifh_toe_cq_poll(cq, qp, &c), 0u);
  EXPECT_EQ(c.byte_count, 100u);
  EXPECT_EQ(qp->SqRing.Tail, 1u);
  EXPECT_EQ(mifh_toe_cq_poll(cq, qp, &c), IWARP_STATUS_CQ_EMPTY);
  std::uint32_t given_back = 0;
  for (const RegisterWrite& w : take_writes(0)) {
    if (w.offset == zekhw::kRegCqAllocate) given_back += (w.value >> 16) & 0xFF;
  }
  EXPECT_EQ(given_back, 4u) << "every entry taken is given back, the skipped ones too";
}

}  // namespace
