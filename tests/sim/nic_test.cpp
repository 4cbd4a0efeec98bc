// The adapter's NIC engine: the receive filter as a table, switching between
// the slots of one board and out of the port, the flush rule (at most one
// error completion per work queue), holding sends while the port is full,
// register accesses that go on while the engine is inside a transfer, and
// the capture file.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <mutex>

#include "include/hw/nic.h"
#include "sim/mac_filter.h"
#include "sim/pcap.h"
#include "tests/support/sim_fixture.h"

namespace {

using zeksim::FilterRegisters;
using zeksim::MacAddress;

constexpr MacAddress kMacA{0x02, 0, 0, 0, 0, 0xA};
constexpr MacAddress kMacB{0x02, 0, 0, 0, 0, 0xB};
constexpr MacAddress kBroadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr MacAddress kGroup{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};

void put_mac(FilterRegisters& r, unsigned slot, const MacAddress& m) {
  r.mac_low[slot] = std::uint32_t{m[2]} << 24 | std::uint32_t{m[3]} << 16 | std::uint32_t{m[4]} << 8 | m[5];
  r.mac_high[slot] = (slot | 0x10) << 16 | std::uint32_t{m[0]} << 8 | m[1];
}

TEST(MacFilter, AcceptingSlotsTable) {
  const unsigned hash = zeksim::multicast_hash_index(kGroup);
  struct Case {
    const char* what;
    void (*setup)(FilterRegisters&, unsigned hash);
    MacAddress destination;
    std::uint32_t slots;
  };
  const Case cases[] = {
      {"unicast to a slot's MAC",
       [](FilterRegisters& r, unsigned) {
         put_mac(r, 4, kMacA);
         r.rx_enable = 1u << 4;
       },
       kMacA, 1u << 4},
      {"unicast with receive disabled", [](FilterRegisters& r, unsigned) { put_mac(r, 4, kMacA); }, kMacA, 0},
      {"unicast to another MAC",
       [](FilterRegisters& r, unsigned) {
         put_mac(r, 4, kMacA);
         r.rx_enable = 1u << 4;
       },
       kMacB, 0},
      {"an invalid entry",
       [](FilterRegisters& r, unsigned) {
         put_mac(r, 4, kMacA);
         r.mac_high[4] &= ~zekhw::kMacValid;
         r.rx_enable = 1u << 4;
       },
       kMacA, 0},
      {"all unicast",
       [](FilterRegisters& r, unsigned) {
         r.rx_enable = 1u << 2;
         r.all_unicast = 1u << 2;
       },
       kMacB, 1u << 2},
      {"broadcast to every slot that takes it",
       [](FilterRegisters& r, unsigned) {
         r.rx_enable = 0b10011;
         r.broadcast = 0b10001;
       },
       kBroadcast, 0b10001},
      {"multicast without a filter", [](FilterRegisters& r, unsigned) { r.rx_enable = 1; }, kGroup, 0},
      {"all multicast",
       [](FilterRegisters& r, unsigned) {
         r.rx_enable = 3;
         r.all_multicast = 2;
       },
       kGroup, 2},
      {"multicast hash hit",
       [](FilterRegisters& r, unsigned h) {
         r.rx_enable = 1;
         r.hash_enable = 1;
         (h < 32 ? r.hash_low : r.hash_high) = 1u << (h % 32);
       },
       kGroup, 1},
      {"multicast hash hit without the slot's enable",
       [](FilterRegisters& r, unsigned h) {
         r.rx_enable = 1;
         (h < 32 ? r.hash_low : r.hash_high) = 1u << (h % 32);
       },
       kGroup, 0},
      {"the last slot",
       [](FilterRegisters& r, unsigned) {
         put_mac(r, 19, kMacB);
         r.rx_enable = 1u << 19;
       },
       kMacB, 1u << 19},
  };
  for (const Case& c : cases) {
    FilterRegisters r;
    c.setup(r, hash);
    EXPECT_EQ(zeksim::accepting_slots(r, c.destination), c.slots) << c.what;
  }
  EXPECT_EQ(zekhw::nic_qp_of_slot(4), 24u);
  EXPECT_EQ(zekhw::nic_qp_of_slot(5), 25u);
  EXPECT_EQ(zekhw::nic_qp_of_slot(1), 18u);
  EXPECT_EQ(zekhw::nic_qp_of_slot(9), 18u);
}

// A port that records what leaves and can be made full.
class RecordingPort : public zeksim::FramePort {
 public:
  bool has_room() override { return room; }
  void transmit(std::span<const std::byte> frame) override { frames.emplace_back(frame.begin(), frame.end()); }
  bool room = true;
  std::vector<std::vector<std::byte>> frames;
};

class NicEngineTest : public SimTest {
 protected:
  static constexpr std::uint32_t kRing = 32;

  struct Qp {
    std::uint32_t id;
    DmaBuffer* sq;
    DmaBuffer* rq;
    DmaBuffer* cq;
    std::uint32_t sq_head = 0, rq_head = 0, cq_tail = 0;
  };

  void SetUp() override {
    SimTest::SetUp();
    queues_ = std::make_unique<HostQueues>(*this, 0);
    queues_->bring_up();
    board().attach_port(&port_);
    a_ = make_qp(24, 4, kMacA);
    b_ = make_qp(16, 0, kMacB);
    data_ = &alloc(64 * 2048);
  }
  void TearDown() override {
    board().attach_port(nullptr);
    SimTest::TearDown();
  }

  Qp make_qp(std::uint32_t id, unsigned slot, const MacAddress& mac) {
    Qp qp{id, &alloc(kRing * 64), &alloc(kRing * 64), &alloc(64 * 16)};
    DmaBuffer& context = alloc(4096);
    auto* c = context.at<zekhw::MifhNicQpContext>(0);
    c->word0 = zekhw::nic_context_word0(0, 0, 1, 1, 0, 0, 0, 0);
    c->sq_pa = qp.sq->pa();
    c->rq_pa = qp.rq->pa();
    queues_->post(HostQueues::request(zekhw::create_cq_word(64, false), zekhw::cq_object_word(id, 8), qp.cq->pa()));
    queues_->post(HostQueues::request(zekhw::kOpWordCreateNicQp, id, context.pa()));
    board().run_until_idle();
    while (const zekhw::MifhCqe* e = queues_->next_ccqe()) EXPECT_EQ(e->flags & zekhw::kCqeError, 0u);
    queues_->release_ccq();
    idx_wr(0, zekhw::idx_mac_low(slot),
           std::uint32_t{mac[2]} << 24 | std::uint32_t{mac[3]} << 16 | std::uint32_t{mac[4]} << 8 | mac[5]);
    idx_wr(0, zekhw::idx_mac_high(slot), (slot | 0x10) << 16 | std::uint32_t{mac[0]} << 8 | mac[1]);
    idx_wr(0, zekhw::kIdxRxEnable, idx_rd(0, zekhw::kIdxRxEnable) | 1u << slot);
    idx_wr(0, zekhw::kIdxBroadcast, idx_rd(0, zekhw::kIdxBroadcast) | 1u << slot);
    return qp;
  }

  // One frame of `length` bytes to `to` from buffer `n`, in one fragment.
  void send(Qp& qp, const MacAddress& to, std::uint32_t length, unsigned n, std::uint64_t fragment_pa = 0) {
    std::byte* frame = data_->bytes() + n * 2048;
    std::memcpy(frame, to.data(), 6);
    std::memset(frame + 12, 0x88, 2);
    auto* w = qp.sq->at<zekhw::MifhNicSqWqe>(qp.sq_head);
    *w = {};
    w->total_length = length;
    w->frag0_vlan = length << 16;
    w->fragment[0] = fragment_pa != 0 ? fragment_pa : data_->pa() + n * 2048;
    qp.sq_head = (qp.sq_head + 1) % kRing;
    wr(0, zekhw::kRegWqeDoorbell, zekhw::wqe_doorbell(qp.id, 1, true));
  }
  void post_receive(Qp& qp, unsigned n, std::uint32_t length = 2048) {
    auto* w = qp.rq->at<zekhw::MifhNicRqWqe>(qp.rq_head);
    *w = {};
    w->buffer_length = length;
    w->buffer_pa = data_->pa() + n * 2048;
    qp.rq_head = (qp.rq_head + 1) % kRing;
    wr(0, zekhw::kRegWqeDoorbell, zekhw::wqe_doorbell(qp.id, 1, false));
  }
  std::vector<zekhw::MifhNicCqe> completions(Qp& qp) {
    board().run_until_idle();
    std::vector<zekhw::MifhNicCqe> out;
    for (;;) {
      auto* e = qp.cq->at<zekhw::MifhNicCqe>(qp.cq_tail);
      if ((e->status & zekhw::kNicCqeValid) == 0) break;
      out.push_back(*e);
      e->status = 0;
      qp.cq_tail = (qp.cq_tail + 1) % 64;
      wr(0, zekhw::kRegCqAllocate, zekhw::cq_give_back(qp.id, 1));
    }
    return out;
  }

  std::unique_ptr<HostQueues> queues_;
  RecordingPort port_;
  Qp a_{}, b_{};
  DmaBuffer* data_ = nullptr;
};

// A port whose sends do not return until the test lets them: the engine
// thread stays inside a transfer.
class StuckPort final : public zeksim::FramePort {
 public:
  bool has_room() override { return true; }
  void transmit(std::span<const std::byte>) override {
    std::unique_lock lock(mu_);
    inside_ = true;
    cv_.notify_all();
    cv_.wait(lock, [&] { return let_go_; });
  }
  bool wait_inside() {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(30), [&] { return inside_; });
  }
  void let_go() {
    std::lock_guard lock(mu_);
    let_go_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool inside_ = false, let_go_ = false;
};

TEST_F(NicEngineTest, RegisterAccessesGoOnWhileTheEngineIsInsideATransfer) {
  StuckPort stuck;
  board().attach_port(&stuck);
  board().start();
  send(a_, MacAddress{0x02, 0, 0, 0, 0, 0xC}, 100, 0);  // to a MAC off the board
  ASSERT_TRUE(stuck.wait_inside()) << "the frame never reached the port";
  // The driver's accesses while the engine is busy: an indexed register
  // through the index/data pair, the interrupt mask, a doorbell.
  auto accesses = std::async(std::launch::async, [&] {
    idx_wr(0, zekhw::idx_scratchpad(3), 0x5A5A);
    const std::uint32_t back = idx_rd(0, zekhw::idx_scratchpad(3));
    wr(0, zekhw::kRegIntrMask, zekhw::kIntrCauseBits);
    post_receive(b_, 12);
    return back;
  });
  const bool returned = accesses.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  stuck.let_go();
  EXPECT_TRUE(returned) << "a register access waited for the engine's transfer";
  EXPECT_EQ(accesses.get(), 0x5A5Au);
  board().stop();
  board().attach_port(&port_);
}

TEST_F(NicEngineTest, UnicastBetweenSlotsStaysOnTheBoard) {
  post_receive(b_, 10);
  send(a_, kMacB, 100, 0);
  auto sent = completions(a_);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].status & zekhw::kNicCqeSend, zekhw::kNicCqeSend);
  EXPECT_EQ(sent[0].status & zekhw::kNicCqeLengthMask, 100u);
  auto got = completions(b_);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].index, 0u);
  EXPECT_EQ(got[0].status & zekhw::kNicCqeLengthMask, 100u);
  EXPECT_EQ(got[0].frame_flags & zekhw::kNicFrameUnicast, zekhw::kNicFrameUnicast);
  EXPECT_EQ(std::memcmp(data_->bytes() + 10 * 2048, data_->bytes(), 100), 0);
  EXPECT_TRUE(port_.frames.empty()) << "a MAC of this board is not sent out";
}

TEST_F(NicEngineTest, BroadcastReachesEverySlotButTheSenderAndLeaves) {
  post_receive(a_, 10);
  post_receive(b_, 11);
  send(a_, kBroadcast, 60, 0);
  EXPECT_EQ(completions(a_).size(), 1u) << "only the send completion";
  auto got = completions(b_);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].frame_flags & zekhw::kNicFrameBroadcast, zekhw::kNicFrameBroadcast);
  EXPECT_EQ(port_.frames.size(), 1u);
  // And one from the wire reaches both.
  std::byte in[64] = {};
  std::memset(in, 0xFF, 6);
  ASSERT_TRUE(board().receive_frame(in));
  EXPECT_EQ(completions(a_).size(), 1u);
  EXPECT_EQ(completions(b_).size(), 0u) << "b had one buffer, used already";
  EXPECT_EQ(board().nic_counters().no_buffer, 1u);
}

TEST_F(NicEngineTest, ReceivesCompleteInPostingOrder) {
  for (unsigned i = 0; i < 5; ++i) post_receive(b_, 10 + i);
  for (unsigned i = 0; i < 5; ++i) send(a_, kMacB, 64 + i, i);
  auto got = completions(b_);
  ASSERT_EQ(got.size(), 5u);
  for (unsigned i = 0; i < 5; ++i) {
    EXPECT_EQ(got[i].index, i);
    EXPECT_EQ(got[i].status & zekhw::kNicCqeLengthMask, 64 + i);
  }
}

TEST_F(NicEngineTest, ABadSendCompletesOnceInErrorAndTheQueueStops) {
  post_receive(b_, 10);
  send(a_, kMacB, 100, 0, 0xDEAD'0000'0000ull);  // a fragment nowhere in host memory
  send(a_, kMacB, 100, 1);
  send(a_, kMacB, 100, 2);
  auto sent = completions(a_);
  ASSERT_EQ(sent.size(), 1u) << "one error completion, nothing for the requests behind it";
  EXPECT_NE(sent[0].status & zekhw::kNicCqeErrorMask, 0u);
  EXPECT_EQ(sent[0].index, 0u);
  EXPECT_TRUE(completions(b_).empty());
  send(a_, kMacB, 100, 3);
  EXPECT_TRUE(completions(a_).empty());
  EXPECT_EQ(board().nic_counters().stopped_doorbells, 1u);
}

TEST_F(NicEngineTest, AFrameLargerThanTheBufferIsDroppedAndTheBufferStaysPosted) {
  post_receive(b_, 10, 64);
  post_receive(b_, 11);
  send(a_, kMacB, 100, 0);
  EXPECT_TRUE(completions(b_).empty()) << "the frame too long for buffer 0 is dropped";
  EXPECT_EQ(board().nic_counters().too_long, 1u);
  EXPECT_EQ(idx_rd(0, zekhw::idx_port_mac(0, zekhw::kMacRxErrors)), 1u) << "the port's MAC receive errors";
  send(a_, kMacB, 64, 1);
  send(a_, kMacB, 100, 2);
  const auto got = completions(b_);
  ASSERT_EQ(got.size(), 2u) << "the receive queue goes on";
  struct Expect {
    std::uint32_t index, length;
  };
  for (unsigned i = 0; i < 2; ++i) {
    const Expect e = i == 0 ? Expect{0, 64} : Expect{1, 100};
    EXPECT_EQ(got[i].index & zekhw::kNicCqeIndexMask, e.index) << i;
    EXPECT_EQ(got[i].status & zekhw::kNicCqeLengthMask, e.length) << i;
    EXPECT_EQ(got[i].status & zekhw::kNicCqeErrorMask, 0u) << i;
    EXPECT_EQ(std::memcmp(data_->bytes() + (10 + i) * 2048, data_->bytes() + (1 + i) * 2048, e.length), 0) << i;
  }
  EXPECT_EQ(board().nic_counters().receive_errors, 0u);
}

TEST_F(NicEngineTest, AFlushedQueueCompletesNothing) {
  post_receive(b_, 10);
  queues_->post(HostQueues::request(zekhw::kOpFlush | zekhw::kFlushSq | zekhw::kFlushRq, b_.id));
  board().run_until_idle();
  while (queues_->next_ccqe() != nullptr) {
  }
  queues_->release_ccq();
  send(a_, kMacB, 100, 0);
  send(b_, kMacA, 100, 1);
  EXPECT_TRUE(completions(b_).empty()) << "neither the posted receive nor the send";
  EXPECT_EQ(completions(a_).size(), 1u) << "a's own send";
}

TEST_F(NicEngineTest, AFullPortHoldsTheSendUntilThereIsRoom) {
  port_.room = false;
  send(a_, kBroadcast, 60, 0);
  EXPECT_TRUE(completions(a_).empty());
  EXPECT_TRUE(port_.frames.empty());
  port_.room = true;
  board().port_room();
  EXPECT_EQ(completions(a_).size(), 1u);
  EXPECT_EQ(port_.frames.size(), 1u);
}

TEST_F(NicEngineTest, QueuePairRequestsCheckIdsAndState) {
  struct Case {
    std::uint32_t op_word, id;
    std::uint16_t minor;
  };
  for (const Case c : {Case{zekhw::kOpWordCreateNicQp, 15, zekhw::kCcqInvalidNicQpId},
                       Case{zekhw::kOpWordCreateNicQp, 24, zekhw::kCcqInvalidState},
                       Case{zekhw::kOpWordDestroyNicQp, 30, zekhw::kCcqInvalidState},
                       Case{zekhw::kOpWordDestroyIwarpQp, 24, zekhw::kCcqInvalidQpType},
                       Case{zekhw::kOpWordDestroyNicQp, 24, zekhw::kCcqOk}}) {
    queues_->post(HostQueues::request(c.op_word, c.id, a_.sq->pa()));
    board().run_until_idle();
    const zekhw::MifhCqe* e = queues_->next_ccqe();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->codes & zekhw::kCqeMinorMask, c.minor) << std::hex << c.op_word << " " << c.id;
    queues_->release_ccq();
  }
}

TEST(Pcap, HeaderAndRecords) {
  char path[] = "/tmp/zekpcap-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  {
    zeksim::PcapWriter writer;
    ASSERT_TRUE(writer.open(path));
    std::byte frame[60] = {};
    writer.write(frame);
    writer.write(std::span(frame, 14));
    EXPECT_EQ(writer.records(), 2u);
  }
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
  ASSERT_EQ(bytes.size(), 24u + 16 + 60 + 16 + 14);
  std::uint32_t magic, link, length;
  std::memcpy(&magic, bytes.data(), 4);
  std::memcpy(&link, bytes.data() + 20, 4);
  std::memcpy(&length, bytes.data() + 24 + 8, 4);
  EXPECT_EQ(magic, 0xA1B2C3D4u);
  EXPECT_EQ(link, 1u);
  EXPECT_EQ(length, 60u);
  std::remove(path);
}

}  // namespace

namespace {

// The port's MAC counters count what its queue pairs sent and received, and
// each read hands out the count since the last read; a 64-bit counter's
// high half is the one its low half's read latched.
TEST_F(NicEngineTest, MacCountersCountWhatThePortCarriedAndStartAgainOnRead) {
  post_receive(b_, 10);
  send(a_, kMacB, 100, 0);
  send(a_, kBroadcast, 60, 1);  // b has no buffer left: a drop
  send(a_, kMacB, 100, 2, 0xDEAD'0000'0000ull);
  completions(a_);
  completions(b_);
  struct Counter {
    const char* name;
    std::uint32_t offset;
    std::uint32_t expected;
  } const counters[] = {
      {"frames sent", zekhw::kMacTxFrames, 2},        {"sent high", zekhw::kMacTxFrames + 4, 0},
      {"bytes sent", zekhw::kMacTxOctets, 160},       {"broadcasts sent", zekhw::kMacTxBroadcast, 1},
      {"multicasts sent", zekhw::kMacTxMulticast, 0}, {"send errors", zekhw::kMacTxErrors, 1},
      {"frames received", zekhw::kMacRxFrames, 1},    {"bytes received", zekhw::kMacRxOctets, 100},
      {"CRC errors", zekhw::kMacRxCrcErrors, 0},
  };
  for (const Counter& c : counters) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(idx_rd(0, zekhw::idx_port_mac(0, c.offset)), c.expected);
    EXPECT_EQ(idx_rd(0, zekhw::idx_port_mac(0, c.offset)), 0u) << "a read starts the count again";
  }
  EXPECT_EQ(idx_rd(0, zekhw::kIdxPortRxCounter), 1u) << "the drop";
  EXPECT_EQ(idx_rd(0, zekhw::kIdxPortRxCounter), 0u);
  EXPECT_EQ(idx_rd(0, zekhw::idx_port_mac(1, zekhw::kMacTxFrames)), 0u) << "another port carried nothing";
}

}  // namespace
