// Two boards on the lab wire, each driven only as its driver drives it:
// control requests, indexed registers and doorbells. The test plays both
// hosts' drivers: it opens the TCP connection and exchanges the MPA start-up
// frames through each board's NIC queue pair, hands the connection to the
// adapters and then runs every verb across scattered page lists, with every
// byte checked; the capture of host A's port goes to a protocol analyser.
// Then the same over an impaired wire, a peer that vanishes, and bad input:
// work requests and remote accesses the adapter must refuse, a corrupt FPDU,
// junk frames and forged doorbells.
#include <gtest/gtest.h>

#include "tests/sim/iwarp_lab.h"
#include "tests/support/iwarp_capture.h"

namespace {

using namespace iwarplab;

// Every verb between the two hosts, every byte checked; the capture read by
// tshark with the iWARP dissectors.
TEST_F(IwarpLabTest, EveryVerbAcrossTheWireAndTheCaptureDissects) {
  connect();
  if (HasFatalFailure()) return;
  Host& a = *a_;
  Host& b = *b_;
  const auto data = pattern(kRegionBytes, 3);
  a.fill(a.va(), data);
  // Sends into two receives, the second with the solicited event; each crosses pages.
  b.post_receive(b.va() + 0x0F00, 30000);
  b.post_receive(b.va() + 0x9F80, 200);
  a.post_send(send_wqe(kWqeSend, a.va() + 100, 20000, a.region_stag()));
  a.post_send(send_wqe(kWqeSendSolicited, a.va() + 0x7000, 200, a.region_stag()));
  expect_ok(a.completion(true), "send");
  expect_ok(a.completion(true), "send with solicited event");
  for (auto [at, from, n] : {std::tuple{b.va() + 0x0F00, 100u, 20000u}, std::tuple{b.va() + 0x9F80, 0x7000u, 200u}}) {
    auto c = b.completion(false);
    expect_ok(c, "receive");
    if (!c) return;
    EXPECT_EQ(c->bytes_received, n);
    EXPECT_TRUE(b.read(at, n) == std::vector(data.begin() + from, data.begin() + from + n)) << "send payload differs";
  }
  // RDMA Write of 150000 bytes, then an RDMA Read of 60000 of them back.
  a.post_send(write_wqe(a.va() + 0x10000, 150000, a.region_stag(), b.va() + 0x20123, b.region_stag()));
  expect_ok(a.completion(true), "RDMA write");
  a.post_send(read_wqe(a.va() + 0x50000, 60000, a.region_stag(), b.va() + 0x20123 + 5000, b.region_stag()));
  expect_ok(a.completion(true), "RDMA read");
  EXPECT_TRUE(b.read(b.va() + 0x20123, 150000) == std::vector(data.begin() + 0x10000, data.begin() + 0x10000 + 150000));
  EXPECT_TRUE(a.read(a.va() + 0x50000, 60000) ==
              std::vector(data.begin() + 0x10000 + 5000, data.begin() + 0x10000 + 5000 + 60000));
  // B binds a window over a page boundary of its region; A writes through it.
  MifhBindWqe bind{};
  bind.op_word = kWqeBind | kWqeSignalled;
  bind.region_stag = b.region_stag();
  bind.window_stag = b.window_stag();
  bind.va = b.va() + 0x5F00;
  bind.length = 0x300;
  bind.access = kAccessRemoteWrite;
  b.post_bind(bind);
  expect_ok(b.completion(true), "bind");
  a.post_send(write_wqe(a.va() + 0x3000, 0x300, a.region_stag(), b.va() + 0x5F00, b.window_stag()));
  expect_ok(a.completion(true), "write through the window");
  EXPECT_TRUE(b.read(b.va() + 0x5F00, 0x300) == std::vector(data.begin() + 0x3000, data.begin() + 0x3300));
  // Send with Invalidate of the window: the receive reports the STag.
  b.post_receive(b.va() + 0x40000, 64);
  MifhWqe inv = send_wqe(kWqeSendInvalidate, a.va(), 16, a.region_stag());
  inv.invalidate_stag = b.window_stag();
  a.post_send(inv);
  expect_ok(a.completion(true), "send with invalidate");
  auto c = b.completion(false);
  expect_ok(c, "receive of the send with invalidate");
  if (c) {
    EXPECT_EQ(c->flags & kCqeImmediate, kCqeImmediate);
    EXPECT_EQ(c->immediate, b.window_stag());
  }
  EXPECT_TRUE(a.events().empty());
  EXPECT_TRUE(b.events().empty());
  EXPECT_TRUE(a.guards_untouched());
  EXPECT_TRUE(b.guards_untouched());
  EXPECT_EQ(a.board().faults().dma_faults + b.board().faults().dma_faults, 0u);

  stop_port(0);
  stop_port(1);
  if (!zektest::have_tshark()) GTEST_SKIP() << "tshark is not installed";
  const zektest::IwarpCapture wire(capture());
  wire.expect_sound();
  EXPECT_GE(wire.count("iwarp_mpa.req"), 1);
  EXPECT_GE(wire.count("iwarp_mpa.rep"), 1);
  EXPECT_EQ(wire.count("iwarp_mpa.crc_check && iwarp_mpa.crc != iwarp_mpa.crc_check"), 0);
  EXPECT_GT(wire.count("iwarp_mpa.fpdu"), 100);
  // Write, Read Request, Read Response, Send, Send with Invalidate, Send with Solicited Event.
  wire.expect_rdmap_opcodes({"0x00", "0x01", "0x02", "0x03", "0x04", "0x05"});
}

// The two adapters on a wire that loses, duplicates, reorders and delays
// frames: messages still arrive whole and in order.
class ImpairedIwarpLabTest : public IwarpLabTest {
 public:
  zeksim::ImpairmentSettings impairment() override {
    zeksim::ImpairmentSettings s;
    s.loss = 0.02;
    s.duplicate = 0.02;
    s.reorder = 0.03;
    s.jitter = 300us;
    s.seed = 11;
    return s;
  }
};

TEST_F(ImpairedIwarpLabTest, MessagesArriveWholeAndInOrder) {
  connect(kMpaModeRdma | kMpaModeCrc | kMpaModeSendMarkers | kMpaModeReceiveMarkers);
  if (HasFatalFailure()) return;
  Host& a = *a_;
  Host& b = *b_;
  const auto data = pattern(kRegionBytes, 5);
  a.fill(a.va(), data);
  constexpr int kMessages = 24;
  constexpr std::uint32_t kSlot = 12000;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < kMessages / 2; ++i) b.post_receive(b.va() + i * kSlot, kSlot);
    for (int i = 0; i < kMessages / 2; ++i) {
      const std::uint32_t n = 100 + static_cast<std::uint32_t>(i) * 997;
      a.post_send(send_wqe(kWqeSend, a.va() + i * 5000 + round, n, a.region_stag()));
    }
    for (int i = 0; i < kMessages / 2; ++i) {
      expect_ok(a.completion(true), "send");
      auto c = b.completion(false);
      expect_ok(c, "receive");
      if (!c) return;
      const std::uint32_t n = 100 + static_cast<std::uint32_t>(i) * 997;
      EXPECT_EQ(c->bytes_received, n) << "message " << i << " out of order or cut";
      const std::size_t from = i * 5000 + round;
      EXPECT_TRUE(b.read(b.va() + i * kSlot, n) == std::vector(data.begin() + from, data.begin() + from + n))
          << "message " << i;
    }
  }
  a.post_send(write_wqe(a.va(), 300000, a.region_stag(), b.va() + 0x1000, b.region_stag()));
  expect_ok(a.completion(true), "RDMA write");
  EXPECT_TRUE(b.read(b.va() + 0x1000, 300000) == std::vector(data.begin(), data.begin() + 300000));
  EXPECT_TRUE(a.events().empty());
  EXPECT_TRUE(b.events().empty());
  // The wire did impair both directions.
  for (int i = 0; i < 2; ++i) {
    const zeksim::ImpairmentCounters c = wires_[i]->impairment_counters();
    EXPECT_GT(c.dropped, 0u) << "port " << i;
    EXPECT_GT(c.duplicated, 0u) << "port " << i;
    EXPECT_GT(c.reordered, 0u) << "port " << i;
  }
}

// A peer that vanishes: the send that cannot be delivered ends in the
// connection's time-out event, not a hang; the driver then takes the queue
// pair to error and flushes it (it makes the flushed completions itself).
TEST_F(IwarpLabTest, APeerThatVanishesEndsInTheTimeoutEvent) {
  connect();
  if (HasFatalFailure()) return;
  Host& a = *a_;
  b_->post_receive(b_->va(), 4096);
  a.post_send(send_wqe(kWqeSend, a.va(), 1000, a.region_stag()));
  expect_ok(a.completion(true), "send before the peer goes");
  stop_port(1);
  a.post_send(send_wqe(kWqeSend, a.va(), 1000, a.region_stag()));
  EXPECT_TRUE(wait_for([&] { return a.has_event(kAeConnectionTimeout); })) << board_log();
  a.error_and_flush();
  EXPECT_FALSE(a.completion(true, 50ms).has_value()) << "the adapter completes nothing of a flushed queue";
}

// TOE queue pairs created through the control queue pair, each taking the
// connection the host opened: bytes posted on one side arrive whole and in
// order on the other, a send of no bytes ends the stream, and both are
// destroyed again. A context whose connection cannot be carried out is
// refused.
TEST_F(IwarpLabTest, TcpOffloadQueuePairsThroughTheControlQueuePair) {
  const auto [a_next, b_next] = handshake(false);
  if (HasFatalFailure()) return;
  Host& a = *a_;
  Host& b = *b_;
  // Destination-IP row 5 is empty: no local address to send from.
  const MifhCqe refused = a.create_toe(Host::kToeQp + 1, 5, kPortA, b.ip(), kPortB, a_next, b_next);
  EXPECT_EQ(refused.flags & kCqeError, kCqeError);
  const MifhCqe ca = a.create_toe(Host::kToeQp, 1, kPortA, b.ip(), kPortB, a_next, b_next);
  const MifhCqe cb = b.create_toe(Host::kToeQp, 1, kPortB, a.ip(), kPortA, b_next, a_next);
  ASSERT_EQ(ca.flags & kCqeError, 0u) << board_log();
  ASSERT_EQ(cb.flags & kCqeError, 0u) << board_log();
  const auto data = pattern(20000, 6);
  std::memcpy(a.toe_data(), data.data(), 7000);
  std::memcpy(a.toe_data() + 65536, data.data() + 7000, 9000);
  std::memcpy(a.toe_data() + 131072, data.data() + 16000, 4000);
  // A receive completes with what has arrived: enough of them for every segment apart.
  for (std::uint32_t i = 0; i < 16; ++i) b.post_toe(false, {{i * 16384, 4000}, {i * 16384 + 8192, 4192}}, 100 + i);
  a.post_toe(true, {{0, 7000}, {65536, 9000}, {131072, 4000}}, 1);
  a.post_toe(true, {}, 2);  // no bytes: the end of the stream
  for (std::uint64_t context : {1, 2}) {
    const auto c = a.toe_completion(true);
    ASSERT_TRUE(c.has_value()) << board_log();
    EXPECT_EQ(c->flags & kCqeError, 0u);
    EXPECT_EQ(c->context, context);
    EXPECT_EQ(c->qp, Host::kToeObject);
  }
  std::vector<std::byte> got;
  bool end = false;
  for (std::uint64_t context = 100; context < 116 && !end; ++context) {
    const auto c = b.toe_completion(false);
    ASSERT_TRUE(c.has_value()) << board_log();
    EXPECT_EQ(c->flags & kCqeError, 0u);
    EXPECT_EQ(c->context, context);
    const std::uint32_t n = c->byte_count;
    const std::byte* buffer = b.toe_data() + (context - 100) * 16384;
    got.insert(got.end(), buffer, buffer + std::min(n, 4000u));
    if (n > 4000) got.insert(got.end(), buffer + 8192, buffer + 8192 + (n - 4000));
    end = (c->status2 & kToeEndOfStream) != 0;
  }
  EXPECT_TRUE(end) << "the end of the stream did not reach a receive";
  EXPECT_TRUE(got == data) << got.size() << " bytes received";
  for (Host* h : {&a, &b}) {
    h->post(HostQueues::request(kOpWordDestroyToeQp, Host::kToeQp));
    h->expect_control_ok();
  }
}

// A user doorbell page rings only the queue pairs of its protection domain:
// a doorbell through another domain's page, or for the NIC queue pair, is
// refused and counted, and the queue pair's own page still works.
TEST_F(IwarpLabTest, UserDoorbellPagesRingOnlyTheirOwnProtectionDomain) {
  connect();
  if (HasFatalFailure()) return;
  Host& a = *a_;
  Host& b = *b_;
  // Pages for PDs 1 to 4: page p belongs to PD 1 + p; the queue pair is in PD 1.
  a.mapped().idx_wr(0, idx_user_doorbell(0), 4u << kUserDbCountShift | 1u);
  const auto data = pattern(2000, 4);
  a.fill(a.va(), data);
  b.post_receive(b.va(), 4096);
  b.post_receive(b.va() + 8192, 4096);
  const std::uint64_t stray = a.board().faults().stray_doorbells;
  a.post_send(send_wqe(kWqeSend, a.va(), 1000, a.region_stag()), false);
  a.ring_user_page(2, kQp);     // PD 3's page
  a.ring_user_page(0, kNicQp);  // PD 1's page, but the NIC queue pair is the driver's
  a.ring_user_page(0, kQp);     // the queue pair's own page
  auto c = a.completion(true);
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(c->flags & kCqeError, 0u);
  EXPECT_EQ(c->tag, wqe_tag(kQpObject, 1));
  EXPECT_EQ(a.board().faults().stray_doorbells, stray + 2);
  // Had a refused doorbell counted, this one would start on an empty slot.
  a.post_send(send_wqe(kWqeSend, a.va() + 1000, 1000, a.region_stag()), false);
  a.ring_user_page(0, kQp);
  c = a.completion(true);
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(c->flags & kCqeError, 0u);
  EXPECT_EQ(c->tag, wqe_tag(kQpObject, 2));
  for (std::uint64_t at : {b.va(), b.va() + 8192}) {
    auto r = b.completion(false);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->bytes_received, 1000u);
    const std::size_t from = at == b.va() ? 0 : 1000;
    EXPECT_TRUE(b.read(at, 1000) == std::vector(data.begin() + from, data.begin() + from + 1000));
  }
  EXPECT_TRUE(a.events().empty());
}

// Bad input from either side: the adapter refuses it as the RFCs say, the
// queue pair goes to error with the event, nothing lands outside the
// registered memory, and the board carries on.
struct BadInputCase {
  const char* name;
  // What the test does to the connected pair.
  std::function<void(IwarpLabTest&, Host& a, Host& b)> act;
  std::uint16_t event_a, event_b;  // 0: none expected
  bool a_error_completion;
};

class BadInputLabTest : public IwarpLabTest, public ::testing::WithParamInterface<BadInputCase> {};

TEST_P(BadInputLabTest, RefusedWithTerminateAndEvent) {
  connect();
  if (HasFatalFailure()) return;
  Host& a = *a_;
  Host& b = *b_;
  GetParam().act(*this, a, b);
  if (GetParam().a_error_completion) {
    auto c = a.completion(true);
    ASSERT_TRUE(c.has_value()) << board_log();
    EXPECT_EQ(c->flags & kCqeError, kCqeError);
  }
  if (GetParam().event_a != 0) {
    EXPECT_TRUE(wait_for([&] { return a.has_event(GetParam().event_a); })) << board_log();
  }
  if (GetParam().event_b != 0) {
    EXPECT_TRUE(wait_for([&] { return b.has_event(GetParam().event_b); })) << board_log();
  }
  EXPECT_TRUE(a.guards_untouched());
  EXPECT_TRUE(b.guards_untouched());
  // Both boards still answer their control path.
  EXPECT_NE(a.board().queue_status(0), 0u);
  EXPECT_NE(b.board().queue_status(0), 0u);
}

// A frame "from A" for the connection, at A's next sequence number, learnt
// from a plain exchange first.
void corrupt_fpdu(IwarpLabTest& t, Host& a, Host& b) {
  b.post_receive(b.va(), 4096);
  a.post_send(send_wqe(kWqeSend, a.va(), 100, a.region_stag()));
  ASSERT_TRUE(a.completion(true).has_value());
  ASSERT_TRUE(b.completion(false).has_value());
  // A Send FPDU of 100 bytes took 2 + 18 + 100 + 4 bytes of stream after the
  // 21 of the start-up exchange.
  const std::uint32_t a_next = 0xFFFFFF00u + 1 + 20 + 2 + 18 + 100 + 4;
  std::vector<std::byte> fpdu(2 + 18 + 16 + 4);
  fpdu[1] = std::byte{18 + 16};
  fpdu[2] = std::byte{0x41};  // untagged, last, DDP version 1
  fpdu[3] = std::byte{0x43};  // RDMAP version 1, Send
  net::TcpFrameHeader h;
  h.src_mac = a.mac();
  h.dst_mac = b.mac();
  h.src_ip = a.ip();
  h.dst_ip = b.ip();
  h.src_port = IwarpLabTest::kPortA;
  h.dst_port = IwarpLabTest::kPortB;
  h.seq = a_next;
  h.ack = 77000 + 1 + 20;
  h.flags = net::kAck | net::kPsh;
  h.window = 65535;
  std::vector<std::byte> frame(net::frame_header_bytes({}) + fpdu.size());
  std::memcpy(frame.data() + net::frame_header_bytes({}), fpdu.data(), fpdu.size());
  net::write_tcp_frame(frame, h);  // the CRC field stays zero: wrong
  b.post_receive(b.va() + 8192, 4096);
  // Through A's NIC queue pair: it leaves A's port as A's own frames do.
  a.send_frame(frame);
  (void)t;
}

void junk_frames_and_forged_doorbells(IwarpLabTest& t, Host& a, Host& b) {
  const auto before = b.board().faults().stray_doorbells;
  const auto damaged_before = b.board().offload_counters().frames_damaged;
  // Frames for the connection that do not parse or do not add up.
  net::TcpFrameHeader h;
  h.src_mac = a.mac();
  h.dst_mac = b.mac();
  h.src_ip = a.ip();
  h.dst_ip = b.ip();
  h.src_port = IwarpLabTest::kPortA;
  h.dst_port = IwarpLabTest::kPortB;
  h.flags = net::kAck;
  std::vector<std::byte> bad_sum(net::frame_header_bytes({}) + 40, std::byte{0x77});
  net::write_tcp_frame(bad_sum, h);
  bad_sum.back() ^= std::byte{1};  // the TCP checksum no longer holds
  for (int i = 0; i < 5; ++i) a.send_frame(bad_sum);
  std::vector<std::byte> bad_length = bad_sum;
  bad_length[net::kEthHeaderBytes + 2] = std::byte{0x05};  // IPv4 total length 1280: beyond the frame
  a.send_frame(bad_length);
  std::vector<std::byte> not_tcp = bad_sum;
  not_tcp[net::kEthHeaderBytes] = std::byte{0x4F};  // an IPv4 header of 60 bytes whose options are junk
  a.send_frame(not_tcp);
  // Doorbells for a queue pair that does not exist and through a user page never opened.
  b.mapped().wr(0, kRegWqeDoorbell, wqe_doorbell(777, 1, true));
  b.ring_user_page(3, kQp);
  EXPECT_TRUE(wait_for([&] { return b.board().offload_counters().frames_damaged >= damaged_before + 6; }));
  // B's engine takes the doorbell register's write in when it comes to it,
  // which may be after it has counted A's frames.
  EXPECT_TRUE(wait_for([&] { return b.board().faults().stray_doorbells >= before + 2; }))
      << b.board().faults().stray_doorbells - before << " refused doorbells";
  // The connection carries on: a Send arrives intact.
  const auto data = pattern(3000, 9);
  a.fill(a.va(), data);
  b.post_receive(b.va() + 100, 4096);
  a.post_send(send_wqe(kWqeSend, a.va(), 3000, a.region_stag()));
  auto sent = a.completion(true);
  ASSERT_TRUE(sent.has_value());
  EXPECT_EQ(sent->flags & kCqeError, 0u);
  auto got = b.completion(false);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->flags & kCqeError, 0u);
  EXPECT_TRUE(b.read(b.va() + 100, 3000) == data);
  EXPECT_TRUE(a.events().empty());
  EXPECT_TRUE(b.events().empty());
  (void)t;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadInputLabTest,
    ::testing::Values(BadInputCase{"bad_local_stag",
                                   [](IwarpLabTest&, Host& a, Host&) {
                                     a.post_send(send_wqe(kWqeSend, a.va(), 100, make_stag(99, 1)));
                                   },
                                   kAeLocalAccess, kAeTerminateReceived, true},
                      BadInputCase{"length_beyond_the_sges",
                                   [](IwarpLabTest&, Host& a, Host&) {
                                     MifhWqe w = send_wqe(kWqeSend, a.va(), 100, a.region_stag());
                                     w.total_length = 5000;
                                     a.post_send(w);
                                   },
                                   kAeLocalLength, kAeTerminateReceived, true},
                      BadInputCase{"write_past_the_remote_region",
                                   [](IwarpLabTest&, Host& a, Host& b) {
                                     a.post_send(write_wqe(a.va(), 8192, a.region_stag(), b.va() + kRegionBytes - 4096,
                                                           b.region_stag()));
                                   },
                                   kAeTerminateReceived, kAeBaseBounds, false},
                      BadInputCase{"read_through_an_unbound_window",
                                   [](IwarpLabTest&, Host& a, Host& b) {
                                     // The window is not bound: no STag with that key to read.
                                     a.post_send(read_wqe(a.va(), 100, a.region_stag(), b.va(), b.window_stag()));
                                   },
                                   kAeTerminateReceived, kAeInvalidStag, false},
                      BadInputCase{"unknown_opcode",
                                   [](IwarpLabTest&, Host& a, Host&) {
                                     a.post_send(send_wqe(0x2F, a.va(), 8, a.region_stag()));
                                   },
                                   kAeBadWqe, kAeTerminateReceived, true},
                      BadInputCase{"corrupt_fpdu", corrupt_fpdu, kAeTerminateReceived, kAeMpaCrc, false},
                      BadInputCase{"junk_frames_and_forged_doorbells", junk_frames_and_forged_doorbells, 0, 0, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
