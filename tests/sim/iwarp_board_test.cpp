// The offload engine behind the board, driven only as a driver drives it:
// control requests (CQs, QPs with real contexts, MR registration, the ARP
// cache), indexed registers (destination IPs, the SAN MAC slot) and
// doorbells. Two queue pairs of one board talk through a port that loops
// every frame back, so the whole path runs: work requests, offloaded TCP
// frames out of the port, frames back in through the connection lookup,
// placement and completions in the host's CQ rings.
#include <gtest/gtest.h>

#include <deque>

#include "include/hw/qp_context.h"
#include "include/hw/stag.h"
#include "include/hw/wqe.h"
#include "tests/support/sim_fixture.h"

namespace {

using namespace zekhw;

class LoopPort : public zeksim::FramePort {
 public:
  bool has_room() override { return true; }
  void transmit(std::span<const std::byte> frame) override { frames.emplace_back(frame.begin(), frame.end()); }
  std::deque<std::vector<std::byte>> frames;
};

class IwarpBoardTest : public SimTest {
 public:
  zeksim::BoardConfig board_config() override {
    zeksim::BoardConfig c = SimTest::board_config();
    c.clock = &clock_;
    return c;
  }
  zeksim::ManualClock clock_;
};

constexpr std::uint64_t kQpObject40 = 0xFFFF'8000'0040'0000ull, kQpObject41 = 0xFFFF'8000'0041'0000ull;

TEST_F(IwarpBoardTest, AnRdmaWriteBetweenTwoQueuePairsThroughTheBoard) {
  HostQueues q(*this, 0);
  q.bring_up();
  LoopPort port;
  board().attach_port(&port);
  auto done = [&] {
    board().run_until_idle();
    bool any = true;
    for (int i = 0; i < 20000 && any; ++i) {
      any = false;
      while (!port.frames.empty()) {
        auto f = std::move(port.frames.front());
        port.frames.pop_front();
        board().receive_frame(f);
        any = true;
      }
      if (board().run_until_idle() > 0) any = true;
      if (!any) {
        clock_.advance(std::chrono::milliseconds(1));
        any = board().run_until_idle() > 0 || !port.frames.empty();
      }
    }
  };
  // Two iWARP CQs.
  DmaBuffer& cq_rings = alloc(2 * 64 * sizeof(MifhCqe));
  q.post(HostQueues::create_cq(100, 0, 64, cq_rings.pa()));
  q.post(HostQueues::create_cq(101, 0, 64, cq_rings.pa() + 64 * sizeof(MifhCqe)));
  // Addresses: two local IPs, the SAN MAC in slot 4, ARP entry 7 = this board.
  idx_wr(0, idx_dest_ip(1), 0xC0000201);
  idx_wr(0, idx_dest_ip(2), 0xC0000202);
  idx_wr(0, idx_mac_low(4), 0x00000A0A);
  idx_wr(0, idx_mac_high(4), (0x14u << 16) | 0x0200);
  MifhCqpWqe arp = HostQueues::request(kOpArpCache | kArpAdd, 7);
  arp.physical_address = (std::uint64_t{0x0200} << 32) | 0x00000A0A;
  q.post(arp);
  // Two queue pairs: rings of 32, CQ 100 for sends, 101 for receives, PD 1.
  DmaBuffer& rings = alloc(4 * 32 * 128);
  DmaBuffer& contexts = alloc(2 * 8192);
  auto context = [&](unsigned i, std::uint64_t object) {
    auto* c = reinterpret_cast<MifhIwarpQpContext*>(contexts.bytes() + i * 8192);
    *c = MifhIwarpQpContext{};
    c->flags = kIwarpCtxFlagsOffload | 1u << kIwarpCtxSqSizeShift | 1u << kIwarpCtxRqSizeShift;
    c->sq_cq_id = 100;
    c->rq_cq_id = 101;
    c->sq_pa = rings.pa() + i * 2 * 32 * 128;
    c->rq_pa = c->sq_pa + 32 * 128;
    c->word39 = 1;
    c->qp_object = object;
    return c;
  };
  context(0, kQpObject40);
  context(1, kQpObject41);
  const std::uint32_t create = kOpCreateQp | kQpTypeIwarp << kQpTypeShift | std::uint32_t{kQpIdle} << kQpStateShift;
  q.post(HostQueues::request(create, 40, contexts.pa()));
  q.post(HostQueues::request(create, 41, contexts.pa() + 8192));
  // Memory: 64 KB to send from, 64 KB to write into, each registered contiguous.
  DmaBuffer& src = alloc(65536);
  DmaBuffer& dst = alloc(65536);
  for (std::size_t i = 0; i < 65536; ++i) src.bytes()[i] = std::byte(i * 13 + i / 1024);
  auto reg = [&](std::uint32_t index, std::uint64_t va, std::uint64_t pa, std::uint32_t access) {
    MifhStagWqe w{};
    w.op_word = kOpRegisterNonSharedMr | 0x2000 | kStagNotZeroBased | access << kStagAccessShift;
    w.chunk_count = 0;
    w.pd = 1;
    w.length = 65536;
    w.stag = make_stag(index, 0);
    w.va_or_fbo = va;
    w.pbl_pa = pa;
    w.pbl_bytes = 8;
    MifhCqpWqe as_wqe;
    std::memcpy(&as_wqe, &w, sizeof w);
    q.post(as_wqe);
  };
  reg(5, 0x1000000, src.pa(), kAccessLocalRead);
  reg(6, 0x2000000, dst.pa(), kAccessLocalWrite | kAccessRemoteWrite);
  board().run_until_idle();
  for (const MifhCqe* e; (e = q.next_ccqe()) != nullptr;) EXPECT_EQ(e->flags & kCqeError, 0u) << (e->flags & 0x3F);
  q.release_ccq();
  // The hand-over: both ends of one connection, each with its own address.
  auto handover = [&](unsigned i, std::uint8_t ip_index, std::uint32_t remote, std::uint16_t lport, std::uint16_t rport,
                      std::uint32_t snd, std::uint32_t rcv) {
    auto* c = reinterpret_cast<MifhIwarpQpContext*>(contexts.bytes() + i * 8192);
    MifhOffloadTcpState s;
    s.local_address_index = ip_index;
    s.arp_index = 7;
    s.remote_address = remote;
    s.local_port = lport;
    s.remote_port = rport;
    s.snd_mss = 1460;
    s.snd_una = s.snd_nxt = s.snd_max = snd;
    s.rcv_nxt = rcv;
    s.snd_wnd = s.rcv_wnd = 65535;
    s.hash_index = 10 + i;
    pack_offload_connection(s, c->conn);
    c->word41 = kMpaModeRdma | kMpaModeCrc;
  };
  handover(0, 1, 0xC0000202, 41000, 42000, 1000, 5000);
  handover(1, 2, 0xC0000201, 42000, 41000, 5000, 1000);
  const std::uint32_t rts = kOpModifyQp | kQpTypeIwarp << kQpTypeShift | std::uint32_t{kQpRts} << kQpStateShift;
  q.post(HostQueues::request(rts, 40, contexts.pa()));
  q.post(HostQueues::request(rts, 41, contexts.pa() + 8192));
  board().run_until_idle();
  for (const MifhCqe* e; (e = q.next_ccqe()) != nullptr;) ASSERT_EQ(e->flags & kCqeError, 0u) << board_log();
  q.release_ccq();
  // An RDMA Write of 64 KB from QP 40 into QP 41's region, signalled, at send slot 1.
  auto* wqe = reinterpret_cast<MifhWqe*>(rings.bytes() + 128);
  *wqe = MifhWqe{};
  wqe->op_word = kWqeRdmaWrite | kWqeSignalled;
  wqe->total_length = 65536;
  wqe->length = 65536;
  wqe->tag = wqe_tag(kQpObject40, 1);
  wqe->remote_va = 0x2000000;
  wqe->remote_stag = make_stag(6, 0);
  wqe->sge[0] = {0x1000000, 65536, make_stag(5, 0)};
  wr(0, kRegWqeDoorbell, wqe_doorbell(40, 1, true));
  done();
  const auto* cqe = cq_rings.at<MifhCqe>(0);
  ASSERT_EQ(cqe->flags & kCqeValid, kCqeValid) << board_log();
  EXPECT_EQ(cqe->flags & kCqeError, 0u);
  EXPECT_EQ(cqe->flags & kCqeSendQueue, kCqeSendQueue);
  EXPECT_EQ(cqe->tag, wqe_tag(kQpObject40, 1));
  EXPECT_EQ(std::memcmp(src.bytes(), dst.bytes(), 65536), 0);
  EXPECT_EQ(board().faults().dma_faults, 0u);
  board().attach_port(nullptr);
}

}  // namespace
