#include "sim/iwarp/toe_qp.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/sim/iwarp/qp_pair.h"

namespace zeksim {
namespace {

using namespace zekhw;
using qp_pair::Host;
using qp_pair::kBase;
using qp_pair::pattern;

constexpr std::uint64_t kSqPa = kBase, kRqPa = kBase + 0x2000, kData = kBase + 0x100000;

struct ToeSide : FrameSink {
  Host host;
  std::unique_ptr<ToeQp> qp;
  std::vector<std::vector<std::byte>> out;
  std::vector<std::byte> building;
  std::uint32_t sq_next = 0, rq_next = 0;
  std::span<std::byte> frame(std::size_t n) override {
    building.assign(n, std::byte{0});
    return building;
  }
  void commit() override { out.push_back(std::move(building)); }

  void send(std::initializer_list<MifhToeBuffer> buffers, std::uint64_t context) {
    MifhToeSendWqe w{};
    unsigned i = 0;
    for (const auto& b : buffers) {
      w.buffer[i++] = b;
      w.byte_count += b.length;
    }
    w.qp = 0xABC000;
    w.context = context;
    std::memcpy(host.at(kSqPa + 128ull * sq_next), &w, sizeof w);
    sq_next = (sq_next + 1) % 32;
    qp->sq_doorbell(1);
  }
  void receive(std::uint64_t pa, std::uint32_t length, std::uint64_t context) {
    MifhToeRecvWqe w{};
    w.buffer[0] = {pa, length, 0};
    w.byte_count = length;
    w.qp = 0xABC000;
    w.context = context;
    std::memcpy(host.at(kRqPa + 128ull * rq_next), &w, sizeof w);
    rq_next = (rq_next + 1) % 32;
    qp->rq_doorbell(1);
  }
  std::vector<MifhToeCqe> cqes(std::uint32_t cq) const {
    std::vector<MifhToeCqe> v;
    for (const auto& c : host.completions) {
      if (c.cq != cq) continue;
      MifhToeCqe t;
      std::memcpy(&t, &c.cqe, sizeof t);
      v.push_back(t);
    }
    return v;
  }
};

struct ToePair {
  ManualClock clock;
  TcpTuning tuning;
  ToeSide a, b;
  ToePair() {
    ToeQpSetup s{.id = 50, .sq_cq = 1, .rq_cq = 2, .sq_pa = kSqPa, .rq_pa = kRqPa, .sq_size = 32, .rq_size = 32};
    a.qp = std::make_unique<ToeQp>(a.host, tuning, s);
    b.qp = std::make_unique<ToeQp>(b.host, tuning, s);
    TcpEndpoints ea{{2, 0, 0, 0, 0, 1}, {2, 0, 0, 0, 0, 2}, 0xC0000201, 0xC0000202, 7000, 8000};
    TcpEndpoints eb{ea.remote_mac, ea.local_mac, ea.remote_ip, ea.local_ip, 8000, 7000};
    TcpState sa, sb;
    sa.snd_una = sa.snd_nxt = sa.snd_max = sb.rcv_nxt = 100;
    sb.snd_una = sb.snd_nxt = sb.snd_max = sa.rcv_nxt = 900;
    sa.snd_wnd = sb.snd_wnd = sa.rcv_wnd = sb.rcv_wnd = 65535;
    sa.mss = sb.mss = 1460;
    a.qp->connect(ea, sa, clock.now());
    b.qp->connect(eb, sb, clock.now());
  }
  void carry(ToeSide& from, ToeSide& to) {
    auto frames = std::move(from.out);
    from.out.clear();
    for (auto& f : frames) {
      net::ParsedTcpFrame p;
      ASSERT_EQ(net::parse_tcp_frame(f, &p), net::ParseResult::Ok);
      to.qp->on_segment(p, clock.now(), to);
    }
  }
  void run(const std::function<bool()>& done, int limit = 20000) {
    for (int i = 0; i < limit && !done(); ++i) {
      a.qp->run(clock.now(), a, 16);
      b.qp->run(clock.now(), b, 16);
      if (!a.out.empty() || !b.out.empty()) {
        carry(a, b);
        carry(b, a);
        continue;
      }
      std::optional<Nanos> next;
      for (auto t : {a.qp->next_deadline(), b.qp->next_deadline()}) {
        if (t && (!next || *t < *next)) next = t;
      }
      if (!next) return;
      clock.set(*next);
      a.qp->on_timer(clock.now(), a);
      b.qp->on_timer(clock.now(), b);
    }
  }
};

TEST(ToeQp, BytesFlowThroughPostedBuffersAndWaitForThem) {
  ToePair p;
  const auto data = pattern(200'000, 1);
  std::memcpy(p.a.host.at(kData), data.data(), data.size());
  // Five buffers in two requests (four, then one), before any receive is posted.
  p.a.send(
      {{kData, 50'000, 0}, {kData + 50'000, 50'000, 0}, {kData + 100'000, 30'000, 0}, {kData + 130'000, 20'000, 0}},
      11);
  p.a.send({{kData + 150'000, 50'000, 0}}, 12);
  p.run([&] { return p.b.qp->tcp()->held_bytes() > 0 && !p.b.qp->has_work(); }, 2000);
  EXPECT_TRUE(p.b.cqes(2).empty());
  // Receives of 64 KB pull the bytes in order; as recv() does, each returns
  // what has arrived, and the reader posts another.
  std::vector<std::byte> got;
  std::size_t seen = 0;
  std::uint64_t next_buffer = 0;
  auto post = [&] {
    p.b.receive(kData + 0x400000 + (next_buffer % 8) * 65536, 65536, next_buffer);
    ++next_buffer;
  };
  post();
  post();
  p.run([&] {
    const auto rx = p.b.cqes(2);
    for (; seen < rx.size(); ++seen) {
      EXPECT_EQ(rx[seen].flags & kCqeError, 0u);
      EXPECT_EQ(rx[seen].context, seen);
      const std::byte* at = p.b.host.at(kData + 0x400000 + (rx[seen].context % 8) * 65536);
      got.insert(got.end(), at, at + rx[seen].byte_count);
      post();
    }
    return got.size() >= data.size() && p.a.cqes(1).size() == 2;
  });
  EXPECT_EQ(got, data);
  const auto tx = p.a.cqes(1);
  ASSERT_EQ(tx.size(), 2u);
  EXPECT_EQ(tx[0].byte_count, 150'000u);
  EXPECT_EQ(tx[0].context, 11u);
  EXPECT_EQ(tx[1].context, 12u);
  EXPECT_EQ(tx[0].flags, kCqeValid | kCqeSendQueue);
}

TEST(ToeQp, BytesThatLandInAPostedReceiveCompleteItWithoutAnotherDoorbell) {
  // The only receive posted takes the segment's bytes as they arrive; the
  // engine must still see work on the queue pair, or the reader sleeps with
  // its bytes delivered (and acknowledged to the peer).
  ToePair p;
  p.b.receive(kData + 4096, 65536, 3);
  p.b.qp->run(p.clock.now(), p.b, 16);
  std::memcpy(p.a.host.at(kData), "hello", 5);
  p.a.send({{kData, 5, 0}}, 1);
  p.a.qp->run(p.clock.now(), p.a, 16);
  p.carry(p.a, p.b);
  EXPECT_TRUE(p.b.qp->has_work());
  p.b.qp->run(p.clock.now(), p.b, 16);
  const auto rx = p.b.cqes(2);
  ASSERT_EQ(rx.size(), 1u);
  EXPECT_EQ(rx[0].byte_count, 5u);
  EXPECT_EQ(rx[0].context, 3u);
  EXPECT_EQ(std::memcmp(p.b.host.at(kData + 4096), "hello", 5), 0);
}

TEST(ToeQp, AnEmptySendIsTheEndOfTheStream) {
  ToePair p;
  std::memcpy(p.a.host.at(kData), "hello", 5);
  p.a.send({{kData, 5, 0}}, 1);
  p.a.send({}, 2);
  p.b.receive(kData + 4096, 100, 7);
  p.b.receive(kData + 8192, 100, 8);
  p.run([&] { return p.b.cqes(2).size() == 2; });
  const auto rx = p.b.cqes(2);
  ASSERT_EQ(rx.size(), 2u);
  EXPECT_EQ(rx[0].byte_count, 5u);
  EXPECT_EQ(rx[0].status2, 0u);
  EXPECT_EQ(rx[1].byte_count, 0u);
  EXPECT_EQ(rx[1].status2, kToeEndOfStream);
  p.run([&] { return p.a.cqes(1).size() == 2; });
  EXPECT_EQ(p.a.cqes(1).size(), 2u);  // the FIN's request completes once acknowledged
}

TEST(ToeQp, AResetCompletesEveryOpenRequestWithAnError) {
  ToePair p;
  p.b.receive(kData, 100, 1);
  p.b.receive(kData + 4096, 100, 2);
  p.a.qp->abort(p.clock.now(), p.a);
  p.run([&] { return p.b.cqes(2).size() == 2; });
  const auto rx = p.b.cqes(2);
  ASSERT_EQ(rx.size(), 2u);
  for (const auto& c : rx) {
    EXPECT_EQ(c.status, kToeStatusReset);
    EXPECT_EQ(c.flags & kCqeError, kCqeError);
  }
  ASSERT_FALSE(p.b.host.events.empty());
  EXPECT_EQ(p.b.host.events.back().id, kAePeerReset);
}

}  // namespace
}  // namespace zeksim
