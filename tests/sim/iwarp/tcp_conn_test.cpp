#include "sim/iwarp/tcp_conn.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "sim/iwarp/impairment.h"

namespace zeksim {
namespace {

// One end: listener and frame sink, recording what it is told.
struct End : TcpListener, FrameSink {
  std::vector<std::byte> got;
  std::size_t take_limit = SIZE_MAX;  // bytes on_data takes at most per call (0: holds everything)
  bool peer_fin = false;
  std::optional<TcpCloseReason> closed;
  std::uint32_t acked = 0;
  std::vector<std::vector<std::byte>> out;
  std::vector<std::byte> building;

  std::size_t on_data(std::span<const std::byte> b) override {
    const std::size_t n = std::min(b.size(), take_limit);
    got.insert(got.end(), b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
  }
  void on_acked(std::uint32_t una) override { acked = una; }
  void on_peer_fin() override { peer_fin = true; }
  void on_closed(TcpCloseReason r) override { closed = r; }
  std::span<std::byte> frame(std::size_t n) override {
    building.assign(n, std::byte{0});
    return building;
  }
  void commit() override { out.push_back(std::move(building)); }
};

TcpState state(std::uint32_t snd, std::uint32_t rcv) {
  TcpState s;
  s.snd_una = s.snd_nxt = s.snd_max = snd;
  s.snd_wl1 = rcv;
  s.snd_wl2 = snd;
  s.rcv_nxt = rcv;
  s.snd_wnd = s.rcv_wnd = 256 * 1024;
  s.snd_scale = s.rcv_scale = 4;
  s.mss = 1460;
  return s;
}

// Two connections joined by a wire (with optional impairment each way), on a manual clock.
struct Link {
  ManualClock clock;
  TcpTuning tuning;
  End a, b;
  std::unique_ptr<TcpConnection> ca, cb;
  std::unique_ptr<Impairment> ab, ba;
  bool cut = false;  // frames vanish (a peer that has gone)
  std::vector<net::ParsedTcpFrame> seen_by_b;

  explicit Link(ImpairmentSettings impair = {}, std::uint32_t isn_a = 0xFFFFF000u, std::uint32_t isn_b = 77) {
    TcpEndpoints ea{{2, 0, 0, 0, 0, 1}, {2, 0, 0, 0, 0, 2}, 0xC0000201, 0xC0000202, 1000, 2000};
    TcpEndpoints eb{ea.remote_mac, ea.local_mac, ea.remote_ip, ea.local_ip, ea.remote_port, ea.local_port};
    ca = std::make_unique<TcpConnection>(tuning, ea, state(isn_a, isn_b), clock.now(), &a);
    cb = std::make_unique<TcpConnection>(tuning, eb, state(isn_b, isn_a), clock.now(), &b);
    ab = std::make_unique<Impairment>(impair);
    impair.seed += 1;
    ba = std::make_unique<Impairment>(impair);
  }

  // Moves frames across once; true if anything moved.
  bool shuttle() {
    bool moved = false;
    auto carry = [&](End& from, Impairment& imp, TcpConnection& to, End& to_end, bool record) {
      for (auto& f : from.out) imp.submit(std::move(f), clock.now());
      from.out.clear();
      for (auto& f : imp.release(clock.now())) {
        moved = true;
        if (cut) continue;
        net::ParsedTcpFrame p;
        ASSERT_EQ(net::parse_tcp_frame(f, &p), net::ParseResult::Ok);
        if (record) seen_by_b.push_back(p);
        to.on_segment(p, clock.now(), to_end);
      }
    };
    carry(a, *ab, *cb, b, true);
    carry(b, *ba, *ca, a, false);
    return moved;
  }

  // Hands a's frames straight to b.
  void a_to_b() {
    for (auto& f : a.out) {
      net::ParsedTcpFrame p;
      ASSERT_EQ(net::parse_tcp_frame(f, &p), net::ParseResult::Ok);
      cb->on_segment(p, clock.now(), b);
    }
    a.out.clear();
  }

  // Runs until `done` or nothing is left to do; advances the clock to the next deadline when idle.
  bool run(const std::function<bool()>& done, int limit = 200000) {
    for (int i = 0; i < limit; ++i) {
      if (done()) return true;
      if (shuttle()) continue;
      ca->output(clock.now(), a);
      cb->output(clock.now(), b);
      if (!a.out.empty() || !b.out.empty()) continue;
      std::optional<Nanos> next;
      for (auto t : {ca->next_deadline(), cb->next_deadline(), ab->next_release(), ba->next_release()}) {
        if (t && (!next || *t < *next)) next = t;
      }
      if (!next) return done();
      if (*next > clock.now()) clock.set(*next);
      ca->on_timer(clock.now(), a);
      cb->on_timer(clock.now(), b);
    }
    return done();
  }
};

std::vector<std::byte> pattern(std::size_t n, std::size_t seed) {
  std::vector<std::byte> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = std::byte((i * 131 + seed * 7 + i / 251) & 0xFF);
  return v;
}

// Queues `total` bytes from a to b in records of varied sizes; returns what was queued.
std::vector<std::byte> send_stream(Link& l, std::size_t total) {
  std::vector<std::byte> all;
  std::size_t k = 0;
  while (all.size() < total) {
    const std::size_t n = std::min(total - all.size(), std::size_t{1 + (k * 977) % 6000});
    std::vector<std::byte> r = pattern(n, k++);
    all.insert(all.end(), r.begin(), r.end());
    EXPECT_TRUE(l.ca->append(std::move(r)));
  }
  return all;
}

TEST(TcpConnection, CarriesAStreamInOrderAcrossTheSequenceWrap) {
  Link l;
  const std::vector<std::byte> sent = send_stream(l, 2'000'000);
  ASSERT_TRUE(l.run([&] { return l.b.got.size() == sent.size() && l.ca->snd_una() == l.ca->send_tail(); }));
  EXPECT_EQ(l.b.got, sent);
  EXPECT_EQ(l.ca->counters().retransmits, 0u);
  EXPECT_EQ(l.a.acked, l.ca->send_tail());
  // Segments never exceed the MSS and carry the expected addressing.
  for (const auto& s : l.seen_by_b) {
    EXPECT_LE(s.payload.size(), 1460u);
    EXPECT_EQ(s.header.dst_port, 2000);
  }
}

TEST(TcpConnection, SegmentsDoNotSplitRecordsThatFit) {
  Link l;
  std::vector<std::size_t> sizes = {100, 1000, 400, 1460, 60, 60, 60, 3000};
  std::size_t total = 0;
  for (std::size_t n : sizes) {
    ASSERT_TRUE(l.ca->append(pattern(n, n)));
    total += n;
  }
  ASSERT_TRUE(l.run([&] { return l.b.got.size() == total; }));
  // Every segment boundary is a record boundary, except inside the 3000-byte record.
  std::vector<std::uint32_t> boundaries;
  std::uint32_t at = 0xFFFFF000u;
  for (std::size_t n : sizes) boundaries.push_back(at += static_cast<std::uint32_t>(n));
  for (const auto& s : l.seen_by_b) {
    if (s.payload.empty()) continue;
    const std::uint32_t end = s.header.seq + static_cast<std::uint32_t>(s.payload.size());
    const bool on_boundary = std::find(boundaries.begin(), boundaries.end(), end) != boundaries.end();
    const bool inside_big = seq_gt(end, boundaries[6]) && seq_lt(end, boundaries[7]);
    EXPECT_TRUE(on_boundary || inside_big) << end - 0xFFFFF000u;
  }
}

struct WireCase {
  const char* name;
  ImpairmentSettings impair;
};
// ctest lists a case by its name, not by its bytes.
void PrintTo(const WireCase& c, std::ostream* os) { *os << c.name; }

class ImpairedWire : public ::testing::TestWithParam<WireCase> {};

TEST_P(ImpairedWire, EveryByteArrivesOnceInOrder) {
  Link l(GetParam().impair);
  const std::vector<std::byte> sent = send_stream(l, 600'000);
  ASSERT_TRUE(l.run([&] { return l.b.got.size() >= sent.size() && l.ca->snd_una() == l.ca->send_tail(); }))
      << l.b.got.size();
  EXPECT_EQ(l.b.got, sent);
  EXPECT_FALSE(l.a.closed);
  const ImpairmentCounters& c = l.ab->counters();
  EXPECT_GT(c.dropped + c.duplicated + c.reordered + c.delayed, 0u);
  if (c.dropped > 0) {
    EXPECT_GT(l.ca->counters().retransmits, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Wires, ImpairedWire,
    ::testing::Values(
        WireCase{"loss", {.loss = 0.02, .seed = 3}}, WireCase{"duplicates", {.duplicate = 0.05, .seed = 4}},
        WireCase{"reordering", {.reorder = 0.05, .seed = 5}},
        WireCase{"jitter", {.delay = 1ms, .jitter = 2ms, .seed = 6}},
        WireCase{"everything",
                 {.loss = 0.03, .duplicate = 0.03, .reorder = 0.03, .delay = 100us, .jitter = 300us, .seed = 7}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TcpConnection, LossIsRepairedByFastRetransmitWithoutATimeout) {
  // Drop exactly one data segment in the middle of a burst.
  Link l;
  ASSERT_TRUE(l.ca->append(pattern(40 * 1460, 1)));
  l.ca->output(l.clock.now(), l.a);
  ASSERT_GE(l.a.out.size(), 6u);
  l.a.out.erase(l.a.out.begin() + 3);
  ASSERT_TRUE(l.run([&] { return l.b.got.size() == 40u * 1460; }));
  EXPECT_EQ(l.ca->counters().fast_retransmits, 1u);
  EXPECT_EQ(l.ca->counters().timeouts, 0u);
  EXPECT_EQ(l.b.got, pattern(40 * 1460, 1));
}

TEST(TcpConnection, RetransmissionTimerBacksOffThenGivesUp) {
  Link l;
  l.tuning.max_retransmits = 4;
  l.ca = std::make_unique<TcpConnection>(l.tuning, l.ca->endpoints(), state(500, 77), l.clock.now(), &l.a);
  l.cut = true;
  ASSERT_TRUE(l.ca->append(pattern(100, 2)));
  const Nanos start = l.clock.now();
  std::vector<Nanos> sent_at;
  for (int i = 0; i < 50 && !l.a.closed; ++i) {
    l.ca->output(l.clock.now(), l.a);
    for (std::size_t k = 0; k < l.a.out.size(); ++k) sent_at.push_back(l.clock.now() - start);
    l.a.out.clear();
    auto next = l.ca->next_deadline();
    if (!next) break;
    l.clock.set(*next);
    l.ca->on_timer(l.clock.now(), l.a);
  }
  ASSERT_EQ(l.a.closed, TcpCloseReason::TimedOut);
  // First send at 0, then 1 s (initial RTO), doubling: 1, 3, 7, 15 s.
  ASSERT_EQ(sent_at.size(), 5u);
  const Nanos expect[] = {0s, 1s, 3s, 7s, 15s};
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(sent_at[i], expect[i]) << i;
  EXPECT_EQ(l.ca->counters().timeouts, 5u);
}

TEST(TcpConnection, RoundTripSamplesSetTheTimer) {
  Link l(ImpairmentSettings{.delay = 10ms});
  send_stream(l, 200'000);
  ASSERT_TRUE(l.run([&] { return l.ca->snd_una() == l.ca->send_tail(); }));
  // A 20 ms round trip (plus the peer's delayed acknowledgements) settles the RTO near the 200 ms floor.
  EXPECT_EQ(l.ca->rto(), 200ms);
}

TEST(TcpConnection, GracefulCloseFromBothSides) {
  Link l;
  ASSERT_TRUE(l.ca->append(pattern(5000, 3)));
  l.ca->close();
  ASSERT_TRUE(l.run([&] { return l.b.peer_fin; }));
  EXPECT_EQ(l.b.got.size(), 5000u);
  EXPECT_EQ(l.cb->phase(), TcpPhase::CloseWait);
  EXPECT_FALSE(l.cb->append(pattern(1, 1)) && false);
  l.cb->close();
  ASSERT_TRUE(l.run([&] { return l.a.closed && l.b.closed; }));
  EXPECT_EQ(*l.a.closed, TcpCloseReason::Graceful);  // after TIME_WAIT
  EXPECT_EQ(*l.b.closed, TcpCloseReason::Graceful);  // on the ACK of its FIN
}

TEST(TcpConnection, SimultaneousCloseEndsInTimeWaitOnBothSides) {
  Link l;
  l.ca->close();
  l.cb->close();
  ASSERT_TRUE(l.run([&] { return l.a.closed && l.b.closed; }));
  EXPECT_EQ(*l.a.closed, TcpCloseReason::Graceful);
  EXPECT_EQ(*l.b.closed, TcpCloseReason::Graceful);
  EXPECT_TRUE(l.a.peer_fin && l.b.peer_fin);
}

TEST(TcpConnection, ResetClosesOnlyAtTheExpectedSequence) {
  Link l;
  // A reset whose sequence number is in the window but not next draws an acknowledgement.
  auto reset = [&](std::uint32_t seq) {
    net::TcpFrameHeader h;
    h.src_ip = 0xC0000202;
    h.dst_ip = 0xC0000201;
    h.src_port = 2000;
    h.dst_port = 1000;
    h.seq = seq;
    h.flags = net::kRst;
    std::vector<std::byte> f(net::frame_header_bytes(h.options));
    net::write_tcp_frame(f, h);
    net::ParsedTcpFrame p;
    ASSERT_EQ(net::parse_tcp_frame(f, &p), net::ParseResult::Ok);
    l.ca->on_segment(p, l.clock.now(), l.a);
  };
  reset(77 + 100);
  EXPECT_FALSE(l.a.closed);
  EXPECT_EQ(l.a.out.size(), 1u);  // the challenge acknowledgement
  reset(77);
  EXPECT_EQ(l.a.closed, TcpCloseReason::Reset);
}

TEST(TcpConnection, AbortSendsAReset) {
  Link l;
  l.ca->abort(l.a);
  EXPECT_EQ(l.a.closed, TcpCloseReason::Aborted);
  ASSERT_TRUE(l.run([&] { return l.b.closed.has_value(); }));
  EXPECT_EQ(*l.b.closed, TcpCloseReason::Reset);
}

TEST(TcpConnection, AClosedWindowIsProbedAndReopens) {
  Link l;
  l.tuning.receive_buffer_bytes = 64 * 1024;
  l.cb = std::make_unique<TcpConnection>(
      l.tuning, l.cb->endpoints(),
      [] {
        TcpState s = state(77, 0xFFFFF000u);
        s.rcv_wnd = 64 * 1024;
        return s;
      }(),
      l.clock.now(), &l.b);
  l.ca = std::make_unique<TcpConnection>(
      l.tuning, l.ca->endpoints(),
      [] {
        TcpState s = state(0xFFFFF000u, 77);
        s.snd_wnd = 64 * 1024;
        return s;
      }(),
      l.clock.now(), &l.a);
  l.b.take_limit = 0;  // b's user takes nothing: everything is held
  const std::vector<std::byte> sent = send_stream(l, 300'000);
  // The sender stops at the window and probes it.
  l.run([&] { return false; }, 3000);
  EXPECT_EQ(l.cb->held_bytes(), 64u * 1024);
  EXPECT_TRUE(l.b.got.empty());
  EXPECT_FALSE(l.a.closed);
  // The user drains; the window reopens and the rest flows.
  l.b.take_limit = SIZE_MAX;
  l.cb->deliver_held(l.clock.now(), l.b);
  ASSERT_TRUE(l.run([&] { return l.b.got.size() == sent.size(); }));
  EXPECT_EQ(l.b.got, sent);
}

TEST(TcpConnection, AcknowledgementsAreDelayedForOneSegmentOnly) {
  Link l;
  ASSERT_TRUE(l.ca->append(pattern(100, 4)));
  l.ca->output(l.clock.now(), l.a);
  ASSERT_EQ(l.a.out.size(), 1u);
  l.a_to_b();
  l.cb->output(l.clock.now(), l.b);
  EXPECT_TRUE(l.b.out.empty());  // one segment: no acknowledgement yet
  ASSERT_EQ(l.cb->next_deadline(), l.clock.now() + l.tuning.delayed_ack);
  l.clock.advance(l.tuning.delayed_ack);
  l.cb->on_timer(l.clock.now(), l.b);
  EXPECT_EQ(l.b.out.size(), 1u);
  l.b.out.clear();
  // Two segments: acknowledged at once.
  ASSERT_TRUE(l.ca->append(pattern(1460, 5)));
  ASSERT_TRUE(l.ca->append(pattern(1460, 6)));
  l.ca->output(l.clock.now(), l.a);
  ASSERT_EQ(l.a.out.size(), 2u);
  l.a_to_b();
  EXPECT_EQ(l.b.out.size(), 1u);
}

}  // namespace
}  // namespace zeksim
