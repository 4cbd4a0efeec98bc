// Two offload engines over fake boards, driven as the board drives them:
// control requests with real contexts, doorbells, frames from the port,
// turns on a manual clock.
#include "sim/iwarp/engine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>

#include "tests/sim/iwarp/qp_pair.h"

namespace zeksim {
namespace {

using namespace zekhw;
using qp_pair::kBase;
using qp_pair::kMemory;

struct FakeBoard : EngineBoard, FrameSink {
  std::vector<std::byte> mem = std::vector<std::byte>(kMemory);
  std::vector<std::byte> local = std::vector<std::byte>(2u << 20);
  std::deque<std::vector<std::byte>> wire;  // frames sent
  std::vector<std::byte> building;
  struct Event {
    unsigned function;
    std::uint64_t context;
    std::uint32_t object;
    AeqeFields fields;
  };
  std::vector<Event> events;
  std::vector<std::pair<std::uint32_t, MifhCqe>> cqes;

  bool dma_read(std::uint64_t pa, std::span<std::byte> out) override {
    if (pa < kBase || pa - kBase + out.size() > kMemory) return false;
    std::memcpy(out.data(), mem.data() + (pa - kBase), out.size());
    return true;
  }
  bool dma_write(std::uint64_t pa, std::span<const std::byte> in) override {
    if (pa < kBase || pa - kBase + in.size() > kMemory) return false;
    std::memcpy(mem.data() + (pa - kBase), in.data(), in.size());
    return true;
  }
  void complete(std::uint32_t cq, std::span<const std::byte> entry, bool) override {
    MifhCqe c;
    std::memcpy(&c, entry.data(), sizeof c);
    cqes.emplace_back(cq, c);
  }
  void async_event(unsigned function, std::uint64_t context, std::uint32_t object, const AeqeFields& f) override {
    events.push_back({function, context, object, f});
  }
  bool write_local(std::uint32_t address, std::span<const std::byte> bytes) override {
    if (address + bytes.size() > local.size()) return false;
    std::memcpy(local.data() + address, bytes.data(), bytes.size());
    return true;
  }
  FrameSink& port() override { return *this; }
  std::span<std::byte> frame(std::size_t n) override {
    building.resize(n);
    return building;
  }
  void commit() override { wire.push_back(std::move(building)); }
  std::byte* at(std::uint64_t pa) { return mem.data() + (pa - kBase); }
  std::uint32_t local_word(std::uint32_t address) {
    std::uint32_t w;
    std::memcpy(&w, local.data() + address, 4);
    return w;
  }
};

constexpr std::uint64_t kSq = kBase, kRq = kBase + 0x2000, kData = kBase + 0x100000;
constexpr std::uint64_t kQpObject = 0x7F00'0000'1000ull;

struct Host {
  FakeBoard board;
  IwarpEngine engine{board, TcpTuning{}};
  std::uint32_t sq_next = 1;
};

// The context the host writes at the hand-over.
MifhIwarpQpContext handover(std::uint32_t snd, std::uint32_t rcv, std::uint16_t local_port, std::uint16_t remote_port,
                            std::uint32_t remote_ip, std::uint32_t hash_index, std::uint16_t arp = 7) {
  MifhIwarpQpContext c{};
  c.flags = kIwarpCtxFlagsOffload | kIwarpCtxWindowScaling;
  c.qp_object = kQpObject;
  MifhOffloadTcpState s;
  s.local_address_index = 1;
  s.arp_index = arp;
  s.remote_address = remote_ip;
  s.local_port = local_port;
  s.remote_port = remote_port;
  s.snd_mss = 1460;
  s.snd_wnd_shift = s.rcv_wnd_shift = 5;
  s.snd_una = s.snd_nxt = s.snd_max = snd;
  s.rcv_nxt = rcv;
  s.snd_wl1 = rcv;
  s.snd_wl2 = snd;
  s.snd_wnd = s.rcv_wnd = 1u << 20;
  s.twelve_seconds = 1200;
  s.hash_index = hash_index;
  pack_offload_connection(s, c.conn);
  c.word41 = kMpaModeRdma | kMpaModeCrc;
  return c;
}

struct Lab {
  ManualClock clock;
  Host a, b;
  Lab() {
    a.engine.set_local_mac(0, {2, 0, 0, 0, 0, 0xA});
    b.engine.set_local_mac(0, {2, 0, 0, 0, 0, 0xB});
    a.engine.set_local_address(1, 0xC0000201);
    b.engine.set_local_address(1, 0xC0000202);
    a.engine.set_arp(7, net::Mac{2, 0, 0, 0, 0, 0xB});
    b.engine.set_arp(7, net::Mac{2, 0, 0, 0, 0, 0xA});
  }
  void make_qp(Host& h, std::uint32_t id) {
    IwarpQpSetup s;
    s.id = id;
    s.pd = 1;
    s.qp_object = kQpObject;
    s.sq_cq = 1;
    s.rq_cq = 2;
    s.sq_pa = kSq;
    s.rq_pa = kRq;
    s.sq_size = s.rq_size = 32;
    ASSERT_TRUE(h.engine.create_qp(0, s));
  }
  // Moves frames and turns until quiet; counts frames the engines left to the NIC path.
  int left_to_nic = 0;
  void run(int limit = 10000) {
    for (int i = 0; i < limit; ++i) {
      bool moved = false;
      for (auto [from, to] : {std::pair{&a, &b}, std::pair{&b, &a}}) {
        while (!from->board.wire.empty()) {
          auto f = std::move(from->board.wire.front());
          from->board.wire.pop_front();
          if (!to->engine.receive_frame(f, clock.now())) ++left_to_nic;
          moved = true;
        }
      }
      const bool more = a.engine.turn(clock.now(), 16) | b.engine.turn(clock.now(), 16);
      if (moved || more || !a.board.wire.empty() || !b.board.wire.empty()) continue;
      std::optional<Nanos> next;
      for (auto t : {a.engine.next_deadline(), b.engine.next_deadline()}) {
        if (t && (!next || *t < *next)) next = t;
      }
      if (!next || *next > clock.now() + std::chrono::seconds(30)) return;
      clock.set(*next);
    }
  }
};

TEST(IwarpEngine, HandOverFromTheContextAndCarryAWrite) {
  Lab l;
  l.make_qp(l.a, 40);
  l.make_qp(l.b, 60);
  std::string why;
  ASSERT_TRUE(l.a.engine.modify(40, kQpRts, handover(1000, 5000, 41000, 42000, 0xC0000202, 0x123), l.clock.now(), &why))
      << why;
  ASSERT_TRUE(l.b.engine.modify(60, kQpRts, handover(5000, 1000, 42000, 41000, 0xC0000201, 0x456), l.clock.now(), &why))
      << why;
  // The connection hash entry is where the host computed it.
  EXPECT_EQ(l.a.board.local_word(16 * 0x123 + 4), 40u << 8);
  EXPECT_EQ(l.a.board.local_word(16 * 0x123 + 8), 0xC0000202u);
  EXPECT_EQ(l.a.board.local_word(16 * 0x123 + 12), (41000u << 16) | 42000u);

  MemoryEntry la;
  la.pd = 1;
  la.access = kAccessLocalRead;
  la.va = 0x1000;
  la.length = 8192;
  la.pages = {kData, kData + 0x3000};
  ASSERT_TRUE(l.a.engine.stags().register_region(3, la));
  MemoryEntry rb = la;
  rb.access = kAccessLocalWrite | kAccessRemoteWrite;
  ASSERT_TRUE(l.b.engine.stags().register_region(4, rb));
  for (int i = 0; i < 8192; ++i) {
    const std::uint64_t pa = i < 4096 ? kData + i : kData + 0x3000 + i - 4096;
    *l.a.board.at(pa) = std::byte(i * 7);
  }
  MifhWqe w = qp_pair::write_wqe(8192, 0x1000, make_stag(4, 0), {0x1000, 8192, make_stag(3, 0)});
  w.tag = wqe_tag(kQpObject, 1);
  std::memcpy(l.a.board.at(kSq + 128), &w, sizeof w);
  l.a.engine.doorbell(40, true, 1);
  l.run();
  ASSERT_EQ(l.a.board.cqes.size(), 1u);
  EXPECT_EQ(l.a.board.cqes[0].first, 1u);
  EXPECT_EQ(l.a.board.cqes[0].second.tag, wqe_tag(kQpObject, 1));
  for (int i = 0; i < 8192; ++i) {
    const std::uint64_t pa = i < 4096 ? kData + i : kData + 0x3000 + i - 4096;
    ASSERT_EQ(*l.b.board.at(pa), std::byte(i * 7)) << i;
  }
  EXPECT_EQ(l.left_to_nic, 0);
  // Frames of other connections are the NIC path's.
  net::TcpFrameHeader h;
  h.src_ip = 0xC0000202;
  h.dst_ip = 0xC0000201;
  h.src_port = 42001;
  h.dst_port = 41000;
  std::vector<std::byte> f(net::frame_header_bytes(h.options));
  net::write_tcp_frame(f, h);
  EXPECT_FALSE(l.a.engine.receive_frame(f, l.clock.now()));
  // A damaged frame of the connection is taken and dropped.
  h.src_port = 42000;
  net::write_tcp_frame(f, h);
  f[net::kEthHeaderBytes + net::kIpv4HeaderBytes + 15] ^= std::byte{1};  // the window: the checksum no longer holds
  EXPECT_TRUE(l.a.engine.receive_frame(f, l.clock.now()));
  EXPECT_EQ(l.a.engine.counters().frames_damaged, 1u);
}

TEST(IwarpEngine, RefusesContextsItCannotCarry) {
  Lab l;
  l.make_qp(l.a, 40);
  l.make_qp(l.a, 41);
  std::string why;
  EXPECT_FALSE(l.a.engine.modify(40, kQpRts, handover(1, 2, 1, 2, 3, 4, /*arp=*/9), l.clock.now(), &why));
  EXPECT_NE(why.find("ARP"), std::string::npos);
  EXPECT_FALSE(l.a.engine.modify(99, kQpRts, handover(1, 2, 1, 2, 3, 4), l.clock.now(), &why));
  ASSERT_TRUE(l.a.engine.modify(40, kQpRts, handover(1, 2, 1, 2, 3, 4), l.clock.now(), &why)) << why;
  EXPECT_FALSE(l.a.engine.modify(41, kQpRts, handover(1, 2, 1, 2, 3, 4), l.clock.now(), &why));
  EXPECT_NE(why.find("already"), std::string::npos);
}

TEST(IwarpEngine, CollidingHashIndexesChainAndUnchain) {
  Lab l;
  l.make_qp(l.a, 40);
  l.make_qp(l.a, 41);
  std::string why;
  ASSERT_TRUE(l.a.engine.modify(40, kQpRts, handover(1, 2, 1000, 2000, 0xC0000202, 5), l.clock.now(), &why));
  ASSERT_TRUE(l.a.engine.modify(41, kQpRts, handover(1, 2, 1001, 2000, 0xC0000202, 5), l.clock.now(), &why));
  const std::uint32_t w0 = l.a.board.local_word(16 * 5);
  ASSERT_NE(w0 & kHashNextValid, 0u);
  const std::uint32_t chain = kHashChainBase + 16 * (w0 & 0x3FFFF);
  EXPECT_EQ(l.a.board.local_word(chain + 4), 41u << 8);
  EXPECT_EQ(l.a.board.local_word(chain + 12), (1001u << 16) | 2000u);
  l.a.engine.destroy(40, l.clock.now());
  EXPECT_EQ(l.a.board.local_word(16 * 5), 0u);  // no chain left
  EXPECT_EQ(l.a.board.local_word(16 * 5 + 4), 41u << 8);
  l.a.engine.destroy(41, l.clock.now());
  EXPECT_EQ(l.a.board.local_word(16 * 5 + 4), 0u);
}

TEST(IwarpEngine, DestroyResetsThePeerWhichRaisesItsEvent) {
  Lab l;
  l.make_qp(l.a, 40);
  l.make_qp(l.b, 60);
  std::string why;
  ASSERT_TRUE(l.a.engine.modify(40, kQpRts, handover(1000, 5000, 41000, 42000, 0xC0000202, 1), l.clock.now(), &why));
  ASSERT_TRUE(l.b.engine.modify(60, kQpRts, handover(5000, 1000, 42000, 41000, 0xC0000201, 2), l.clock.now(), &why));
  l.a.engine.destroy(40, l.clock.now());
  l.run();
  ASSERT_EQ(l.b.board.events.size(), 1u);
  const auto& e = l.b.board.events[0];
  EXPECT_EQ(e.fields.event_id, kAePeerReset);
  EXPECT_TRUE(e.fields.qp);
  EXPECT_EQ(e.object, 60u);
  EXPECT_EQ(e.context, kQpObject);
  // The peer's connection is gone from its lookup: a late frame is the NIC path's.
  EXPECT_EQ(l.b.board.local_word(16 * 2 + 4), 0u);
}

}  // namespace
}  // namespace zeksim
