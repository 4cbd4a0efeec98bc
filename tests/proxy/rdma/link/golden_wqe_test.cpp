// Golden layouts of the work requests the adapter parses. Each request is
// built by the hardware-interface routine and compared byte for byte with
// the layout written out by hand from the hardware's format; then the same
// bytes go to the adapter model, which must read the same fields out of
// them (data placed where the request said, a region registered as
// described, the answer of a query).
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <vector>

#include "proxy/rdma/hw/query_stag.h"
#include "proxy/rdma/hw/toe_post.h"
#include "proxy/rdma/hw/work_requests.h"
#include "tests/proxy/rdma/golden_bytes.h"
#include "tests/proxy/rdma/hw/hwif_fixture.h"
#include "tests/sim/iwarp/qp_pair.h"

namespace {

namespace qpp = zeksim::qp_pair;
using golden::diff;
using golden::Golden;
using golden::Wqe;

class GoldenWqeTest : public HwifTest {
 protected:
  void SetUp() override {
    HwifTest::SetUp();
    fn_ = &device(0);
    ASSERT_EQ(mifh_iwarp_qp_allocate(&qp_, &fn_->device, &sq_, &rq_, &ctx_, 32, 32, 0), 0u);
    ASSERT_EQ(mifh_iwarp_qp_init(qp_, sq_, rq_, qp_->SqPa, qp_->RqPa, 32, 32, 0), 0u);
    qp_->QpId = 77;
  }
  void TearDown() override {
    if (qp_ != nullptr) mifh_free_iwarp_virtual_sq(qp_);
    HwifTest::TearDown();
  }
  // The request the last builder wrote, and its ring index.
  Wqe last(std::uint32_t* index = nullptr) const {
    const std::uint32_t i = (qp_->SqRing.Head + qp_->SqRing.Size - 1) % qp_->SqRing.Size;
    if (index != nullptr) *index = i;
    Wqe w;
    std::memcpy(w.data(), static_cast<const std::uint8_t*>(sq_) + 128 * i, 128);
    return w;
  }
  Wqe last_rq(std::uint32_t* index) const {
    const std::uint32_t i = (qp_->RqRing.Head + qp_->RqRing.Size - 1) % qp_->RqRing.Size;
    *index = i;
    Wqe w;
    std::memcpy(w.data(), static_cast<const std::uint8_t*>(rq_) + 128 * i, 128);
    return w;
  }
  std::uint64_t tag(std::uint32_t index) const { return reinterpret_cast<std::uint64_t>(qp_) | index; }
  static void expect_bytes(const Wqe& got, const Golden& want) {
    EXPECT_EQ(got, want.bytes) << diff(got.data(), want.bytes.data(), 128);
  }
  // The same bytes posted on the model's queue pair a of a connected pair.
  static void post_to_model(qpp::Side& side, const Wqe& bytes) {
    zekhw::MifhWqe w;
    std::memcpy(&w, bytes.data(), sizeof w);
    side.post_sq(w);
  }

  // A receive request's bytes on the model's receive ring.
  static void post_rq_to_model(qpp::Side& side, const Wqe& bytes) {
    std::memcpy(side.host.at(qpp::kRq + 128ull * side.rq_next), bytes.data(), bytes.size());
    side.rq_next = (side.rq_next + 1) % qpp::kRingSize;
    side.qp->rq_doorbell(1);
  }

  HwFunction* fn_ = nullptr;
  MifhQpObject* qp_ = nullptr;
  void *sq_ = nullptr, *rq_ = nullptr, *ctx_ = nullptr;
};

constexpr std::uint64_t kVaA = 0x10000000, kVaB = 0x20000000;

// Every send- and receive-queue request the adapter parses, in one table:
// the builder's bytes against the hand-written layout, then the same bytes
// carried out by the model of a connected pair (side a posts, side b is the
// peer), whose effect must be the one the fields say.
TEST_F(GoldenWqeTest, EveryWorkRequestTheAdapterParses) {
  struct Case {
    const char* name;
    bool receive;  // a receive request, posted on side b
    // Builds the request on the queue pair; regions of the pair may be made first.
    std::function<ZekStatus(qpp::Pair&)> build;
    std::function<Golden(std::uint32_t index)> layout;
    // Runs the pair after the bytes were posted and checks the effect.
    std::function<void(qpp::Pair&)> check;
  };
  std::uint8_t inline_bytes[64];
  for (int k = 0; k < 64; ++k) inline_bytes[k] = static_cast<std::uint8_t>(0xA0 + k);
  const auto source = qpp::pattern(5000, 7);
  std::uint32_t local = 0, remote = 0, victim = 0;
  auto regions = [&](qpp::Pair& p) {
    local = p.a.region(1, 0x21, kVaA, 4, qpp::kAll, qpp::kPages);
    remote = p.b.region(2, 0x42, kVaB, 4, qpp::kAll, qpp::kPages);
  };
  auto sq_done = [](qpp::Pair& p) {
    p.run([&] { return !p.a.sq_completions().empty(); });
    ASSERT_EQ(p.a.sq_completions().size(), 1u);
    EXPECT_EQ(p.a.sq_completions()[0].cqe.flags & zekhw::kCqeError, 0u);
  };
  constexpr std::uint32_t kWindow = 9, kFast = 12;
  const std::uint64_t pbl = qpp::kPages + 0x40000;
  const std::uint64_t pages[3] = {qpp::kPages + 0x50000, qpp::kPages + 0x58000, qpp::kPages + 0x51000};
  const std::uint32_t fast_access = zekhw::kAccessLocalRead | zekhw::kAccessRemoteWrite;
  const std::vector<Case> cases = {
      {"RDMA write of two elements", false,
       [&](qpp::Pair& p) {
         regions(p);
         p.a.fill_va(1, kVaA + 10, source);
         MifhWorkRequest wr{};
         wr.WrId = 0x77;
         wr.FlagA = 1;
         wr.FlagB = 1;
         wr.SgeCount = 2;
         wr.Sge[0] = {kVaA + 10, 3000, local};
         wr.Sge[1] = {kVaA + 3010, 2000, local};
         wr.RemoteVa = kVaB + 64;
         wr.RemoteStag = remote;
         return mifh_iwarp_rdma_write(qp_, &wr);
       },
       [&](std::uint32_t i) {
         return Golden{}
             .u32(0, 1u << 29 | 1u << 31)
             .u32(4, 5000)
             .u64(8, tag(i))
             .u64(16, 0x77)
             .u64(32, kVaB + 64)
             .u32(40, 5000)
             .u32(44, remote)
             .u64(64, kVaA + 10)
             .u32(72, 3000)
             .u32(76, local)
             .u64(80, kVaA + 3010)
             .u32(88, 2000)
             .u32(92, local);
       },
       [&](qpp::Pair& p) {
         sq_done(p);
         EXPECT_EQ(p.b.read_va(2, kVaB + 64, 5000), source) << "gathered from +64.. and placed at +32/+44";
       }},
      {"RDMA read", false,
       [&](qpp::Pair& p) {
         regions(p);
         p.b.fill_va(2, kVaB + 40, source);
         MifhWorkRequest wr{};
         wr.WrId = 0x1122334455667788;
         wr.FlagA = 1;
         wr.SgeCount = 1;
         wr.Sge[0] = {kVaA + 100, 5000, local};
         wr.RemoteVa = kVaB + 40;
         wr.RemoteStag = remote;
         wr.Length = 5000;
         return mifh_iwarp_rdma_read(qp_, &wr, 0);
       },
       [&](std::uint32_t i) {
         return Golden{}
             .u32(0, 0x10000001u | 1u << 31)  // read, signalled, no fence
             .u32(4, 0xDEADBEEF)
             .u64(8, tag(i))
             .u64(16, 0x1122334455667788)
             .u64(32, kVaB + 40)
             .u32(40, 5000)
             .u32(44, remote)
             .u64(64, kVaA + 100)
             .u32(76, local);
       },
       [&](qpp::Pair& p) {
         sq_done(p);
         EXPECT_EQ(p.a.read_va(1, kVaA + 100, 5000), source) << "read from +32/+44 into +64/+76, +40 bytes";
       }},
      {"RDMA write with 64 bytes inline", false,
       [&](qpp::Pair& p) {
         regions(p);
         MifhWorkRequest wr{};
         wr.WrId = 9;
         wr.FlagA = 1;
         wr.FlagB = 1;
         wr.RemoteVa = kVaB + 8;
         wr.RemoteStag = remote;
         wr.InlineData = inline_bytes;
         wr.InlineLength = 64;
         return mifh_iwarp_imm_rdma_write(qp_, &wr);
       },
       [&](std::uint32_t i) {
         return Golden{}
             .u32(0, 0x10000000u | 1u << 29 | 1u << 31)
             .u32(4, 64)
             .u64(8, tag(i))
             .u64(16, 9)
             .u64(32, kVaB + 8)
             .u32(40, 64)
             .u32(44, remote)
             .data(48, inline_bytes, 64);
       },
       [&](qpp::Pair& p) {
         sq_done(p);
         const auto placed = p.b.read_va(2, kVaB + 8, 64);
         EXPECT_EQ(std::memcmp(placed.data(), inline_bytes, 64), 0) << "the 64 inline bytes at +48 placed at +32/+44";
       }},
      {"send with 13 bytes inline", false,
       [&](qpp::Pair& p) {
         regions(p);
         p.b.post_rq(kVaB + 1000, 100, remote, 55);
         MifhWorkRequest wr{};
         wr.WrId = 9;
         wr.FlagA = 1;
         wr.InlineData = inline_bytes;
         wr.InlineLength = 13;
         return mifh_iwarp_imm_send(qp_, &wr);
       },
       [&](std::uint32_t i) {
         return Golden{}.u32(0, 0x10000003u | 1u << 31).u32(4, 13).u64(8, tag(i)).u64(16, 9).data(48, inline_bytes, 13);
       },
       [&](qpp::Pair& p) {
         p.run([&] { return !p.b.rq_completions().empty(); });
         ASSERT_EQ(p.b.rq_completions().size(), 1u);
         EXPECT_EQ(p.b.rq_completions()[0].cqe.bytes_received, 13u);
         const auto got = p.b.read_va(2, kVaB + 1000, 13);
         EXPECT_EQ(std::memcmp(got.data(), inline_bytes, 13), 0);
       }},
      {"send with invalidate", false,
       [&](qpp::Pair& p) {
         regions(p);
         p.a.fill_va(1, kVaA, source);
         victim = p.b.region(3, 0x43, 0x50000000, 1, qpp::kAll, qpp::kPages + 0x30000);
         p.b.post_rq(kVaB + 2000, 1000, remote, 56);
         MifhWorkRequest wr{};
         wr.WrId = 0x5E;
         wr.FlagA = 1;
         wr.FlagB = 1;
         wr.SgeCount = 1;
         wr.Sge[0] = {kVaA, 700, local};
         return mifh_iwarp_send(qp_, &wr, victim, zekhw::kWqeSendInvalidate);
       },
       [&](std::uint32_t i) {
         return Golden{}
             .u32(0, 4u | 1u << 29 | 1u << 31)
             .u32(4, 700)
             .u64(8, tag(i))
             .u64(16, 0x5E)
             .u32(28, victim)
             .u64(64, kVaA)
             .u32(72, 700)
             .u32(76, local);
       },
       [&](qpp::Pair& p) {
         p.run([&] { return !p.b.rq_completions().empty(); });
         ASSERT_EQ(p.b.rq_completions().size(), 1u);
         const zekhw::MifhCqe c = p.b.rq_completions()[0].cqe;
         EXPECT_EQ(c.bytes_received, 700u);
         EXPECT_NE(c.flags & zekhw::kCqeImmediate, 0u);
         EXPECT_EQ(c.immediate, victim) << "the STag at +28 invalidated at the peer";
         EXPECT_FALSE(p.b.host.table.find(3)->valid);
         EXPECT_EQ(p.b.read_va(2, kVaB + 2000, 700), std::vector<std::byte>(source.begin(), source.begin() + 700));
       }},
      {"receive of two elements", true,
       [&](qpp::Pair& p) {
         regions(p);
         p.a.fill_va(1, kVaA, source);
         MifhWorkRequest wr{};
         wr.WrId = 0xEC;
         wr.SgeCount = 2;
         wr.Sge[0] = {kVaB + 100, 1000, remote};
         wr.Sge[1] = {kVaB + 5000, 3000, remote};
         return mifh_iwarp_post_receive(qp_, &wr);
       },
       [&](std::uint32_t i) {
         return Golden{}
             .u32(4, 4000)
             .u64(8, tag(i))
             .u64(16, 0xEC)
             .u64(32, kVaB + 100)
             .u32(40, 1000)
             .u32(44, remote)
             .u64(48, kVaB + 5000)
             .u32(56, 3000)
             .u32(60, remote);
       },
       [&](qpp::Pair& p) {
         p.a.post_sq(qpp::send_wqe(zekhw::kWqeSend, 2500, {{kVaA, 2500, local}}));
         p.run([&] { return !p.b.rq_completions().empty(); });
         ASSERT_EQ(p.b.rq_completions().size(), 1u);
         EXPECT_EQ(p.b.rq_completions()[0].cqe.bytes_received, 2500u);
         std::vector<std::byte> got = p.b.read_va(2, kVaB + 100, 1000);
         const auto rest = p.b.read_va(2, kVaB + 5000, 1500);
         got.insert(got.end(), rest.begin(), rest.end());
         EXPECT_EQ(got, std::vector<std::byte>(source.begin(), source.begin() + 2500)) << "scattered from +32 on";
       }},
      {"fast register", false,
       [&](qpp::Pair& p) {
         if (!p.a.host.table.allocate(kFast, qpp::kPd, false, 3)) return ZekStatus{1};
         std::memcpy(p.a.host.at(pbl), pages, sizeof pages);
         MifhFastRegisterRequest mr{};
         mr.Stag = zekhw::make_stag(kFast, 0x3C);
         mr.Length = 3 * 4096 - 200;
         mr.VaOrFbo = 0x30000000 + 100;
         mr.PblPa = pbl;
         mr.PblBytes = sizeof pages;
         mr.PageSize = 4096;
         MifhWorkRequest wr{};
         wr.FlagA = 1;
         return mifh_iwarp_mr_fast_register(qp_, &mr, &wr, fast_access);
       },
       [&](std::uint32_t i) {
         return Golden{}
             .u32(0, 0x40000009u | 1u << 6 | fast_access << 16 | 1u << 31)  // not zero-based, 4 KB pages
             .u64(8, tag(i))
             .u32(28, zekhw::make_stag(kFast, 0x3C))
             .u32(32, 3 * 4096 - 200)
             .u64(40, 0x30000000 + 100)
             .u64(48, pbl)
             .u32(56, sizeof pages);
       },
       [&](qpp::Pair& p) {
         sq_done(p);
         const zeksim::MemoryEntry* e = p.a.host.table.find(kFast);
         ASSERT_NE(e, nullptr);
         EXPECT_TRUE(e->valid);
         EXPECT_EQ(e->key, 0x3C);
         EXPECT_EQ(e->access, fast_access);
         EXPECT_FALSE(e->zero_based);
         EXPECT_EQ(e->va, 0x30000000u + 100);
         EXPECT_EQ(e->length, 3u * 4096 - 200);
         EXPECT_EQ(e->fbo, 100u);
         EXPECT_EQ(e->page_bytes, 4096u);
         EXPECT_EQ(e->pages, (std::vector<std::uint64_t>(pages, pages + 3)));
       }},
      {"window bind", false,
       [&](qpp::Pair& p) {
         regions(p);
         if (!p.a.host.table.allocate(kWindow, qpp::kPd, true, 0)) return ZekStatus{1};
         MifhBindRequest b{};
         b.WrId = 3;
         b.RegionStag = local;
         b.WindowStag = zekhw::make_stag(kWindow, 0x5A);
         b.Length = 2000;
         b.Va = kVaA + 300;
         b.Mode = 5;
         b.RemoteRead = 1;
         b.Signalled = 1;
         return mifh_iwarp_mw_bind(qp_, &b);
       },
       [&](std::uint32_t i) {
         return Golden{}
             .u32(0, 0x40000008u | 5u << 6 | 1u << 18 | 1u << 31)
             .u64(8, tag(i))
             .u64(16, 3)
             .u32(24, local)
             .u32(28, zekhw::make_stag(kWindow, 0x5A))
             .u64(32, 2000)
             .u64(40, kVaA + 300)
             .u32(48, zekhw::kAccessRemoteRead);
       },
       [&](qpp::Pair& p) {
         sq_done(p);
         const zeksim::MemoryEntry* e = p.a.host.table.find(kWindow);
         ASSERT_NE(e, nullptr);
         EXPECT_TRUE(e->valid);
         EXPECT_TRUE(e->window);
         EXPECT_EQ(e->key, 0x5A);
         EXPECT_EQ(e->region_index, 1u);
         EXPECT_EQ(e->length, 2000u);
         EXPECT_EQ(e->va, kVaA + 300);
         EXPECT_EQ(e->access, zekhw::kAccessRemoteRead);
       }},
      {"local invalidate", false,
       [&](qpp::Pair& p) {
         regions(p);
         return mifh_iwarp_stag_local_invalidate(qp_, 0x1A, local, true);
       },
       [&](std::uint32_t i) {
         return Golden{}.u32(0, 0x4000000Au | 1u << 31).u64(8, tag(i)).u64(16, 0x1A).u32(24, local);
       },
       [&](qpp::Pair& p) {
         sq_done(p);
         EXPECT_FALSE(p.a.host.table.find(1)->valid) << "the STag at +24";
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qpp::Pair p;
    ASSERT_EQ(c.build(p), 0u);
    std::uint32_t i;
    const Wqe got = c.receive ? last_rq(&i) : last(&i);
    expect_bytes(got, c.layout(i));
    if (c.receive) {
      post_rq_to_model(p.b, got);
    } else {
      post_to_model(p.a, got);
    }
    c.check(p);
  }
}

// The control requests: register-MR, query, create and modify fields.
TEST_F(GoldenWqeTest, ControlRequests) {
  HwFunction& fn = bring_up(1);
  auto last_control = [&] {
    const ZEK_OSPRIM_RING& r = fn.cqp->RingIndex;
    zekhw::MifhCqpWqe w = fn.cqp_ring[(r.Head + r.Size - 1) % r.Size];
    std::array<std::uint8_t, 64> b;
    std::memcpy(b.data(), &w, 64);
    return b;
  };
  auto expect_control = [&](const Golden& want) {
    const auto got = last_control();
    EXPECT_TRUE(std::equal(got.begin(), got.end(), want.bytes.begin())) << diff(got.data(), want.bytes.data(), 64);
  };
  const std::uint64_t cqp = reinterpret_cast<std::uint64_t>(fn.cqp);
  void* page = nullptr;
  ASSERT_EQ(OSPrimMemDMAAllocate(&page, 8192), 0u);
  MifhMrDescription mr{};
  mr.PblPa = pa_of(page);
  mr.FirstByteOffset = 0x10;
  mr.Va = 0x7000'0010;
  mr.PblBytes = 0;
  mr.Length = 6000;
  mr.PageSize = 4096;
  mr.PblChunkSize = 4096;
  mr.PblChunkCount = 0;
  mr.ZeroBased = 0;
  mr.Access = 0x5;
  mr.Key = 0x77;
  mr.StagIndex = 0x345;
  TestContext registered, queried;
  ASSERT_EQ(mifh_mr_register_non_shared(&fn.device, &mr, registered.get(), 0x1234), 0u);
  expect_control(Golden{}
                     .u32(0, 0x200A | 1u << 9 | 1u << 11 | 0x5u << 16 | 1u << 21)
                     .u64(8, cqp)
                     .u64(16, reinterpret_cast<std::uint64_t>(registered.get()))
                     .u32(24, 0x1234)
                     .u32(28, 6000)
                     .u32(32, 0x345u << 8 | 0x77)
                     .u64(40, 0x7000'0010)
                     .u64(48, pa_of(page)));
  ASSERT_EQ(mifh_query_stag(&fn.device, 0x345, queried.get()), 0u);
  expect_control(Golden{}
                     .u32(0, 0x0B)
                     .u64(8, cqp)
                     .u64(16, reinterpret_cast<std::uint64_t>(queried.get()))
                     .u64(32, std::uint64_t{0x345} << 8));
  drain(fn);
  ASSERT_EQ(registered.completions, 1);
  EXPECT_EQ(registered.context.ErrorFlag, 0);
  ASSERT_EQ(queried.completions, 1);
  EXPECT_EQ(queried.context.MajorCode, 0) << "the adapter read the index from +32";
  EXPECT_EQ(queried.context.ExtraByte, 0x77) << "and the key from the register request's +32";
  EXPECT_EQ(queried.context.MinorCode, 0) << "valid";

  // Create and modify: the attribute words at +32..+63.
  MifhIwarpCreateAttributes create{};
  create.Value0 = 0x0102030405060708;
  create.Value8 = 0x1112131415161718;
  create.Value16 = 0x21222324;
  create.Value20 = 0x31323334;
  create.Value28 = 0x4142;
  create.InitialState = 1;
  create.Byte36 = 1;
  TestContext created, modified;
  qp_->Device = &fn.device;
  ASSERT_EQ(mifh_iwarp_qp_create(qp_, &create, 1000, created.get()), 0u);
  const auto c = last_control();
  std::uint32_t op;
  std::memcpy(&op, c.data(), 4);
  EXPECT_EQ(op & 0x3F, 0u) << "create";
  EXPECT_EQ((op >> 16) & 0xF, 1u) << "iWARP";
  EXPECT_EQ((op >> 28) & 7, 1u) << "idle";
  EXPECT_NE(op & (1u << 20), 0u) << "+60 carried";
  Golden words;
  words.u64(32, 0x0102030405060708).u32(40, 0x21222324).u64(48, 0x1112131415161718).u32(56, 0x31323334).u32(60, 0x4142);
  EXPECT_TRUE(std::equal(c.begin() + 32, c.end(), words.bytes.begin() + 32))
      << diff(c.data() + 32, words.bytes.data() + 32, 32);
  MifhIwarpModifyAttributes modify{};
  modify.Value0 = 0xAA;
  modify.Value24 = 0xBB;
  modify.Value32 = 0xCC;  // +44 set: +48 and +56 stay zero
  modify.Value8 = 0xDD;
  modify.Value28 = 0xEE;
  modify.NextState = 2;
  ASSERT_EQ(mifh_iwarp_qp_modify(qp_, &modify, modified.get()), 0u);
  const auto m = last_control();
  std::memcpy(&op, m.data(), 4);
  EXPECT_EQ(op & 0x3F, 1u) << "modify";
  EXPECT_EQ((op >> 28) & 7, 2u) << "to RTS";
  Golden mwords;
  mwords.u64(32, 0xAA).u32(40, 0xBB).u32(44, 0xCC);
  EXPECT_TRUE(std::equal(m.begin() + 32, m.end(), mwords.bytes.begin() + 32))
      << diff(m.data() + 32, mwords.bytes.data() + 32, 32);
  mifh_cqp_forget_context(fn.cqp, created.get());
  mifh_cqp_forget_context(fn.cqp, modified.get());
  OSPrimMemDMAFree(page);
}

// TOE send and receive: the model's reading of these bytes is what carries
// the offloaded connection's data (offload_test.cpp).
TEST_F(GoldenWqeTest, ToeSendAndReceive) {
  MifhQpObject* toe = nullptr;
  ASSERT_EQ(mifh_toe_qp_allocate(&toe, &fn_->device, 4, 4), 0u);
  toe->QpId = 0x2345;
  const MifhToeBufferEntry b[2] = {{0x11000, 700, 0, 0}, {0x23000, 300, 0, 0}};
  const MifhToeSendRequest send{b, 2, 1000, {1, 0x3F, 0, 1}};
  ASSERT_EQ(mifh_toe_send(toe, &send, 0xFEED), 0u);
  ASSERT_EQ(mifh_toe_recv(toe, b, 0xBEEF, 2, 1000), 0u);
  Wqe s, r;
  std::memcpy(s.data(), toe->Sq, 128);
  std::memcpy(r.data(), toe->Rq, 128);
  const auto self = reinterpret_cast<std::uint64_t>(toe);
  expect_bytes(s, Golden{}
                      .u32(0, 1u << 21 | 0x3Fu << 22 | 1u << 31)
                      .u32(4, 1000)
                      .u64(8, self)
                      .u64(16, 0xFEED)
                      .u64(64, 0x11000)
                      .u32(72, 700)
                      .u64(80, 0x23000)
                      .u32(88, 300));
  expect_bytes(
      r,
      Golden{}.u32(4, 1000).u64(8, self).u64(16, 0xBEEF).u64(32, 0x11000).u32(40, 700).u64(48, 0x23000).u32(56, 300));
  mifh_free_toe_sq(toe);
}

}  // namespace
