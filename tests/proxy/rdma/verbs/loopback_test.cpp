// Posting carried out by the adapter model: a host-stack connection between
// two sockets of this host handed to two queue pairs (a loopback pair),
// whose frames the test's port carries back into the adapter. Send and
// receive, RDMA write and read, send with invalidate, window bind, fast
// registration and local invalidation, each checked byte for byte and by
// its completions; an unsignalled fast registration completes unseen.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "include/hw/cqp.h"
#include "include/hw/registers.h"
#include "include/hw/stag.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/tcpip/offload.h"
#include "sim/frame_port.h"
#include "tests/proxy/rdma/verbs/verbs_fixture.h"

namespace {

using verbstest::kSanAddress;
using verbstest::OpenAdapterTest;

constexpr std::uint32_t kArpEntry = 7;
constexpr std::uint32_t kLocalIndex = 1;

// The adapter's frames, carried back into it when the test says so.
class LoopPort : public zeksim::FramePort {
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
    delivered += frames.size();
    if (!frames.empty()) board.receive_frames(frames);
  }

 private:
  std::mutex mu_;
  std::vector<std::vector<std::byte>> frames_;

 public:
  std::size_t delivered = 0;
};

std::uint32_t arp_index(void*, std::uint32_t, std::uint32_t* index) {
  *index = kArpEntry;
  return 0;
}
std::uint32_t ip_index(void*, std::uint32_t, std::uint32_t* index) {
  *index = kLocalIndex;
  return 0;
}

class LoopbackTest : public OpenAdapterTest {
 protected:
  void SetUp() override {
    record_.GetIpToArpIndex = arp_index;
    record_.GetIpaddrIndexCallback = ip_index;
    OpenAdapterTest::SetUp();
    if (HasFatalFailure()) return;
    // The adapter's tables: its own address, and its own MAC as the peer's.
    MifhDeviceObj* d = &fn_->device;
    ASSERT_EQ(mifh_write_indexed(d, zekhw::idx_dest_ip(kLocalIndex), kSanAddress), 0u);
    zekhw::MifhCqpWqe arp{};
    arp.op_word = zekhw::kOpArpCache | zekhw::kArpAdd;
    arp.object_word = kArpEntry;
    for (std::uint8_t b : record_.SanMacAddress) arp.physical_address = arp.physical_address << 8 | b;
    {
      std::lock_guard lock(mu_);
      ASSERT_EQ(mifh_cqp_post(fn_->cqp, &arp, MifhPostMode::Failing, "test"), 0u);
    }
    board().attach_port(&port_);
    // A connection on this host, and a queue pair for each end.
    using namespace zektcp;
    const int l = sys_socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = make_sockaddr_in(kSanAddress, 0);
    ASSERT_EQ(sys_bind(l, &a, sizeof a), 0);
    ASSERT_EQ(sys_listen(l, 4), 0);
    int length = sizeof a;
    ASSERT_EQ(sys_getsockname(l, &a, &length), 0);
    c_ = sys_socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from = make_sockaddr_in(kSanAddress, 0);
    ASSERT_EQ(sys_bind(c_, &from, sizeof from), 0);
    ASSERT_EQ(sys_connect(c_, &a, sizeof a), 0);
    s_ = sys_accept(l, nullptr, nullptr);
    ASSERT_GE(s_, 0);
    sys_close(l);
    first_ = make_qp(adapter_, o_);
    second_ = make_qp(adapter_, o_);
    ASSERT_EQ(rts(first_, s_), ZEK_STATUS_PASS) << log_text();
    ASSERT_EQ(rts(second_, c_), ZEK_STATUS_PASS) << log_text();
    buffer_ = buffer(kBytes);
    ASSERT_NE(buffer_, nullptr);
    std::memset(buffer_, 0, kBytes);
    ZekMrRegisterRequest r{};
    r.Address = at(0);
    r.Length = kBytes;
    r.Access = 0xF;
    r.Key = 0x11;
    ASSERT_EQ(table()->MrRegisterNonshared(adapter_, o_.pd, &r, &stag_, nullptr), ZEK_STATUS_PASS) << log_text();
  }
  void TearDown() override {
    if (adapter_ != nullptr) {
      table()->Close(adapter_);
      adapter_ = nullptr;
    }
    if (c_ >= 0) zektcp::sys_close(c_);
    if (s_ >= 0) zektcp::sys_close(s_);
    if (board_) board().attach_port(nullptr);
    OpenAdapterTest::TearDown();
  }

  ZekStatus rts(std::uint64_t qp, int socket) {
    ZekQpModifyInput in{};
    in.Mask = ZEK_QP_MODIFY_STATE;
    in.State = ZEK_QP_STATE_RTS;
    in.Socket = static_cast<std::uint64_t>(socket);
    ZekQpModifyOutput out{};
    return table()->QpModify(adapter_, qp, &in, &out);
  }
  std::uint64_t at(std::uint32_t offset) const { return reinterpret_cast<std::uint64_t>(buffer_) + offset; }
  // The next completion, the adapter's frames carried meanwhile.
  ZekWorkCompletion next() {
    ZekWorkCompletion wc{};
    const bool got = eventually([&] {
      port_.deliver(board());
      settle();
      return table()->CqPollCompletion(adapter_, o_.cq, &wc) == ZEK_STATUS_PASS;
    });
    EXPECT_TRUE(got) << "no completion; frames " << port_.delivered << " taken "
                     << board().offload_counters().frames_taken << " damaged "
                     << board().offload_counters().frames_damaged << log_text();
    return wc;
  }
  // No completion comes within a while.
  bool quiet() {
    ZekWorkCompletion wc{};
    for (int i = 0; i < 50; ++i) {
      port_.deliver(board());
      settle();
      if (table()->CqPollCompletion(adapter_, o_.cq, &wc) == ZEK_STATUS_PASS) return false;
    }
    return true;
  }
  ZekStatus post(std::uint64_t qp, const ZekSendWr& r) {
    std::uint32_t posted = 0;
    return table()->QpPostSq(adapter_, qp, &r, &posted, 1);
  }
  ZekStatus receive(std::uint64_t qp, std::uint64_t id, std::uint32_t offset, std::uint32_t length,
                    std::uint32_t stag) {
    const ZekSge sge{at(offset), length, stag};
    const ZekRecvWr r{id, &sge, 1, 0};
    std::uint32_t posted = 0;
    return table()->QpPostRq(adapter_, qp, &r, nullptr, &posted, 1);
  }
  void fill(std::uint32_t offset, std::uint32_t length, int seed) {
    for (std::uint32_t i = 0; i < length; ++i) buffer_[offset + i] = static_cast<std::uint8_t>(i * 13 + seed);
  }
  bool same(std::uint32_t a, std::uint32_t b, std::uint32_t length) const {
    return std::memcmp(buffer_ + a, buffer_ + b, length) == 0;
  }

  static constexpr std::uint32_t kBytes = 16 * 4096;
  LoopPort port_;
  int c_ = -1, s_ = -1;
  std::uint64_t first_ = 0, second_ = 0;
  std::uint8_t* buffer_ = nullptr;
  std::uint32_t stag_ = 0;
};

TEST_F(LoopbackTest, EveryOperationIsCarriedOutAsPosted) {
  // Send and receive.
  fill(0, 3000, 1);
  ASSERT_EQ(receive(second_, 0xA1, 8192, 4096, stag_), ZEK_STATUS_PASS);
  const ZekSge send_sge{at(0), 3000, stag_};
  ZekSendWr send{};
  send.WrId = 0x51;
  send.Op = ZEK_WR_SEND;
  send.Signalled = 1;
  send.Sgl = &send_sge;
  send.SgeCount = 1;
  ASSERT_EQ(post(first_, send), ZEK_STATUS_PASS) << log_text();
  std::vector<ZekWorkCompletion> got{next(), next()};
  std::sort(got.begin(), got.end(), [](const auto& x, const auto& y) { return x.WrId < y.WrId; });
  EXPECT_EQ(got[0].WrId, 0x51u);
  EXPECT_EQ(got[0].Status, 0u);
  EXPECT_EQ(got[1].WrId, 0xA1u);
  EXPECT_EQ(got[1].OpCode, ZEK_WC_RECEIVE);
  EXPECT_EQ(got[1].Length, 3000u);
  EXPECT_TRUE(same(0, 8192, 3000));

  // RDMA write into the peer's region, and read back.
  fill(12288, 5000, 2);
  const ZekSge write_sge{at(12288), 5000, stag_};
  ZekSendWr write{};
  write.WrId = 0x52;
  write.Op = ZEK_WR_RDMA_WRITE;
  write.Signalled = 1;
  write.Sgl = &write_sge;
  write.SgeCount = 1;
  write.Remote = at(20480);
  write.RemoteStag = stag_;
  ASSERT_EQ(post(first_, write), ZEK_STATUS_PASS) << log_text();
  EXPECT_EQ(next().WrId, 0x52u);
  EXPECT_TRUE(same(12288, 20480, 5000));
  const ZekSge read_sge{at(32768), 5000, stag_};
  ZekSendWr read = write;
  read.WrId = 0x53;
  read.Op = ZEK_WR_RDMA_READ;
  read.Sgl = &read_sge;
  ASSERT_EQ(post(second_, read), ZEK_STATUS_PASS) << log_text();
  const ZekWorkCompletion r = next();
  EXPECT_EQ(r.WrId, 0x53u);
  EXPECT_EQ(r.Length, 5000u);
  EXPECT_TRUE(same(12288, 32768, 5000));

  // Fast registration, unsignalled: it completes unseen, and the region it
  // made is written through at once.
  std::uint32_t fast = 0, room = 0;
  ASSERT_EQ(table()->MrAllocNonsharedStag(adapter_, o_.pd, 4, 0, &fast, &room), ZEK_STATUS_PASS);
  ZekSendWr fr{};
  auto& f = reinterpret_cast<ZekFastRegisterWr&>(fr);
  f.WrId = 0x54;
  f.Op = ZEK_WR_FAST_REGISTER;
  f.Buffer = at(40960);
  f.Length = 8192;
  f.Access = 0xF;
  f.Stag = fast;
  f.Key = 0x66;
  ASSERT_EQ(post(second_, fr), ZEK_STATUS_PASS) << log_text();
  const std::uint32_t registered = zekhw::make_stag(zekhw::stag_index(fast), 0x66);
  write.WrId = 0x55;
  write.Remote = at(40960 + 100);
  write.RemoteStag = registered;
  ASSERT_EQ(post(first_, write), ZEK_STATUS_PASS);
  EXPECT_EQ(next().WrId, 0x55u) << "the fast registration's completion is not the poster's";
  EXPECT_TRUE(same(12288, 40960 + 100, 5000));

  // A window bound in the region, written through; then the peer's send
  // with invalidate takes the window away.
  std::uint32_t window = 0;
  ASSERT_EQ(table()->MwAlloc(adapter_, o_.pd, &window), ZEK_STATUS_PASS);
  ZekSendWr bw{};
  auto& b = reinterpret_cast<ZekBindWr&>(bw);
  b.WrId = 0x56;
  b.Op = ZEK_WR_BIND;
  b.Signalled = 1;
  b.RegionStag = stag_;
  b.Length = 4096;
  b.Va = at(53248);
  b.RemoteWrite = 1;
  b.WindowStag = window;
  b.Key = 0x77;
  ASSERT_EQ(post(second_, bw), ZEK_STATUS_PASS) << log_text();
  EXPECT_EQ(next().WrId, 0x56u);
  const std::uint32_t bound = zekhw::make_stag(zekhw::stag_index(window), 0x77);
  write.WrId = 0x57;
  write.SgeCount = 1;
  const ZekSge small{at(12288), 1000, stag_};
  write.Sgl = &small;
  write.Remote = at(53248 + 10);
  write.RemoteStag = bound;
  ASSERT_EQ(post(first_, write), ZEK_STATUS_PASS);
  EXPECT_EQ(next().WrId, 0x57u);
  EXPECT_TRUE(same(12288, 53248 + 10, 1000));
  // The adapter refuses to deallocate a region with a window bound in it:
  // the region stays whole, its pages mapped and its STag serving.
  EXPECT_EQ(table()->MrDealloc(adapter_, stag_), ZEK_STATUS_FAIL);
  fill(12288, 1000, 3);
  write.WrId = 0x5B;
  write.Remote = at(24576);
  write.RemoteStag = stag_;
  ASSERT_EQ(post(first_, write), ZEK_STATUS_PASS) << "the region's STag still serves";
  EXPECT_EQ(next().WrId, 0x5Bu);
  EXPECT_TRUE(same(12288, 24576, 1000));
  ASSERT_EQ(receive(second_, 0xA2, 61440, 512, stag_), ZEK_STATUS_PASS);
  ZekSendWr inv = send;
  inv.WrId = 0x58;
  inv.Op = ZEK_WR_SEND_INVALIDATE;
  inv.Remote = bound;
  const ZekSge few{at(0), 100, stag_};
  inv.Sgl = &few;
  ASSERT_EQ(post(first_, inv), ZEK_STATUS_PASS) << log_text();
  got = {next(), next()};
  std::sort(got.begin(), got.end(), [](const auto& x, const auto& y) { return x.WrId < y.WrId; });
  EXPECT_EQ(got[0].WrId, 0x58u);
  EXPECT_EQ(got[1].WrId, 0xA2u);
  EXPECT_EQ(got[1].ImmediateFlag, 1u);
  EXPECT_EQ(got[1].Immediate, bound);
  ZekMwQueryInfo mw{};
  ASSERT_EQ(table()->MwQuery(adapter_, &mw, bound), ZEK_STATUS_PASS);
  EXPECT_EQ(mw.Valid, 0u) << "invalidated by the peer's send";

  // Local invalidation of the fast-registered STag: registered again after it.
  ZekSendWr li{};
  li.WrId = 0x59;
  li.Op = ZEK_WR_LOCAL_INVALIDATE;
  li.Signalled = 1;
  reinterpret_cast<ZekLocalInvalidateWr&>(li).Stag = registered;
  ASSERT_EQ(post(second_, li), ZEK_STATUS_PASS) << log_text();
  EXPECT_EQ(next().WrId, 0x59u);
  ZekMrQueryInfo mr{};
  ASSERT_EQ(table()->MrQuery(adapter_, &mr, registered), ZEK_STATUS_PASS);
  EXPECT_EQ(mr.Valid, 0u);
  f.Signalled = 1;
  f.WrId = 0x5A;
  ASSERT_EQ(post(second_, fr), ZEK_STATUS_PASS) << log_text();
  const ZekWorkCompletion again = next();
  EXPECT_EQ(again.WrId, 0x5Au) << "the poster's id";
  EXPECT_EQ(again.OpCode, zekhw::kWqeFastRegister);
  EXPECT_EQ(again.Status, 0u);
  EXPECT_TRUE(quiet());
}

// A fast registration names as many pages as the region has, not the
// rounding of its list's buffer: five pages go into an STag allocated for
// six entries, from a buffer and from a scattered page list, and data
// written through each lands where its pages say.
TEST_F(LoopbackTest, AFastRegistrationTakesTheRegionsPagesUpToWhatItsStagWasAllocatedFor) {
  constexpr std::uint32_t kPage = 4096;
  ASSERT_EQ(reinterpret_cast<std::uintptr_t>(buffer_) % kPage, 0u);
  fill(0, 5 * kPage, 4);
  const ZekSge source{at(0), 5 * kPage, stag_};
  struct Case {
    const char* what;
    std::uint64_t wr_id;
    std::uint8_t key;
    bool page_list;
  };
  for (const Case& c :
       {Case{"a buffer of five pages", 0x61, 0x21, false}, Case{"a scattered list of five pages", 0x63, 0x22, true}}) {
    SCOPED_TRACE(c.what);
    std::uint32_t fast = 0, room = 0;
    ASSERT_EQ(table()->MrAllocNonsharedStag(adapter_, o_.pd, 6, 0, &fast, &room), ZEK_STATUS_PASS);
    ZekSendWr fr{};
    auto& f = reinterpret_cast<ZekFastRegisterWr&>(fr);
    f.WrId = c.wr_id;
    f.Op = ZEK_WR_FAST_REGISTER;
    f.Signalled = 1;
    f.Length = 5 * kPage;
    f.Access = 0xF;
    f.Stag = fast;
    f.Key = c.key;
    // Region page i is buffer page `first + i` (a buffer), or `first + 4 - i`
    // (the list, backwards).
    const std::uint32_t first = c.page_list ? 10 : 5;
    std::uint64_t pages[5] = {};
    std::uint64_t remote = at(first * kPage);
    if (c.page_list) {
      for (std::uint32_t i = 0; i < 5; ++i) {
        std::uint32_t low = 0, high = 0;
        ASSERT_EQ(OSPrimGetPaFromVa(buffer_ + (first + 4 - i) * kPage, &low, &high), ZEK_STATUS_PASS);
        pages[i] = std::uint64_t{high} << 32 | low;
      }
      remote = 0x7000000000;
      f.PageList = pages;
      f.PageCount = 5;
      f.PageSize = kPage;
      f.Va = remote;
    } else {
      f.Buffer = remote;
    }
    ASSERT_EQ(post(second_, fr), ZEK_STATUS_PASS) << log_text();
    const ZekWorkCompletion registered = next();
    EXPECT_EQ(registered.WrId, c.wr_id);
    ASSERT_EQ(registered.Status, 0u) << "the adapter refused five pages of six" << log_text();
    ZekSendWr write{};
    write.WrId = c.wr_id + 1;
    write.Op = ZEK_WR_RDMA_WRITE;
    write.Signalled = 1;
    write.Sgl = &source;
    write.SgeCount = 1;
    write.Remote = remote;
    write.RemoteStag = zekhw::make_stag(zekhw::stag_index(fast), c.key);
    ASSERT_EQ(post(first_, write), ZEK_STATUS_PASS) << log_text();
    const ZekWorkCompletion written = next();
    EXPECT_EQ(written.WrId, c.wr_id + 1);
    EXPECT_EQ(written.Status, 0u);
    for (std::uint32_t i = 0; i < 5; ++i) {
      const std::uint32_t page = c.page_list ? first + 4 - i : first + i;
      EXPECT_TRUE(same(i * kPage, page * kPage, kPage)) << "region page " << i;
    }
  }
  EXPECT_TRUE(quiet());
}

}  // namespace
