// Two adapter queue pairs joined back to back over offloaded TCP, each over
// its own fake host memory, on a manual clock: the harness of the engine's
// tests and benchmarks.
#pragma once

#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include "include/hw/stag.h"
#include "sim/iwarp/iwarp_qp.h"
#include "sim/pcap.h"

namespace zeksim::qp_pair {

using namespace zekhw;

constexpr std::uint64_t kBase = 0x100000;
constexpr std::size_t kMemory = 8u << 20;

struct Host : IwarpHost {
  std::vector<std::byte> mem = std::vector<std::byte>(kMemory);
  StagTable table;
  struct Completion {
    std::uint32_t cq;
    MifhCqe cqe;
    bool solicited;
  };
  std::vector<Completion> completions;
  std::vector<Event> events;

  bool in(std::uint64_t pa, std::size_t n) const {
    return pa >= kBase && pa - kBase <= kMemory && n <= kMemory - (pa - kBase);
  }
  bool dma_read(std::uint64_t pa, std::span<std::byte> out) override {
    if (!in(pa, out.size())) return false;
    std::memcpy(out.data(), mem.data() + (pa - kBase), out.size());
    return true;
  }
  bool dma_write(std::uint64_t pa, std::span<const std::byte> data) override {
    if (!in(pa, data.size())) return false;
    std::memcpy(mem.data() + (pa - kBase), data.data(), data.size());
    return true;
  }
  void complete(std::uint32_t cq, const MifhCqe& cqe, bool solicited) override {
    completions.push_back({cq, cqe, solicited});
  }
  void async_event(std::uint32_t, std::uint64_t, const Event& e) override { events.push_back(e); }
  StagTable& stags() override { return table; }

  std::byte* at(std::uint64_t pa) { return mem.data() + (pa - kBase); }
};

// Memory map of each host.
constexpr std::uint64_t kSq = kBase;           // 32 x 128
constexpr std::uint64_t kRq = kBase + 0x2000;  // 32 x 128
constexpr std::uint64_t kQ2 = kBase + 0x4000;
constexpr std::uint64_t kPages = kBase + 0x10000;  // data pages from here
constexpr std::uint32_t kPd = 3;
constexpr std::uint32_t kRingSize = 32;

struct Side : FrameSink {
  Host host;
  std::unique_ptr<IwarpQp> qp;
  std::vector<std::vector<std::byte>> out;
  std::vector<std::byte> building;
  std::uint32_t sq_next = 1, rq_next = 0;
  std::function<void()> on_frame;  // called as each frame is asked for

  std::span<std::byte> frame(std::size_t n) override {
    if (on_frame) on_frame();
    building.assign(n, std::byte{0});
    return building;
  }
  void commit() override { out.push_back(std::move(building)); }

  // A region of `pages` 4 KB pages laid out scattered (every other page,
  // backwards), registered at `index` with `access`; returns its STag.
  std::uint32_t region(std::uint32_t index, std::uint8_t key, std::uint64_t va, std::uint32_t pages,
                       std::uint32_t access, std::uint64_t first_page_pa) {
    MemoryEntry e;
    e.pd = kPd;
    e.key = key;
    e.access = access;
    e.va = va;
    e.fbo = va % 4096;
    e.length = std::uint64_t{pages} * 4096 - e.fbo;
    for (std::uint32_t i = 0; i < pages; ++i)
      e.pages.push_back(first_page_pa + std::uint64_t{2} * (pages - 1 - i) * 4096);
    if (!host.table.register_region(index, e)) throw std::runtime_error("region refused");
    return make_stag(index, key);
  }
  // The physical address of byte `va` of the region registered at `index`.
  std::uint64_t pa_of(std::uint32_t index, std::uint64_t va) {
    const MemoryEntry* e = host.table.find(index);
    const std::uint64_t b = e->fbo + (va - e->va);
    return e->pages[b / 4096] + b % 4096;
  }
  void fill_va(std::uint32_t index, std::uint64_t va, std::span<const std::byte> bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) *host.at(pa_of(index, va + i)) = bytes[i];
  }
  std::vector<std::byte> read_va(std::uint32_t index, std::uint64_t va, std::size_t n) {
    std::vector<std::byte> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = *host.at(pa_of(index, va + i));
    return v;
  }

  void post_sq(const MifhWqe& w) {
    MifhWqe copy = w;
    copy.tag = wqe_tag(0x7000'0000'0000ull, sq_next);
    std::memcpy(host.at(kSq + 128ull * sq_next), &copy, sizeof copy);
    sq_next = (sq_next + 1) % kRingSize;
    qp->sq_doorbell(1);
  }
  void post_rq(std::uint64_t va, std::uint32_t length, std::uint32_t stag, std::uint64_t wr_id = 0) {
    MifhRqWqe w{};
    w.total_length = length;
    w.tag = wqe_tag(0x7000'0000'0000ull, rq_next);
    w.wr_id = wr_id;
    w.sge[0] = {va, length, stag};
    std::memcpy(host.at(kRq + 128ull * rq_next), &w, sizeof w);
    rq_next = (rq_next + 1) % kRingSize;
    qp->rq_doorbell(1);
  }
  std::vector<Host::Completion> sq_completions() const {
    std::vector<Host::Completion> v;
    for (const auto& c : host.completions)
      if (c.cq == 1) v.push_back(c);
    return v;
  }
  std::vector<Host::Completion> rq_completions() const {
    std::vector<Host::Completion> v;
    for (const auto& c : host.completions)
      if (c.cq == 2) v.push_back(c);
    return v;
  }
  bool has_event(std::uint16_t id) const {
    for (const auto& e : host.events)
      if (e.id == id) return true;
    return false;
  }
};

inline std::vector<std::byte> pattern(std::size_t n, int seed) {
  std::vector<std::byte> v(n);
  for (std::size_t i = 0; i < n; ++i)
    v[i] = std::byte((i * 29 + static_cast<std::size_t>(seed) * 13 + i / 4093) & 0xFF);
  return v;
}

struct Pair {
  ManualClock clock;
  TcpTuning tuning;
  Side a, b;
  std::function<void(std::vector<std::byte>&)> tamper_a_to_b;
  PcapWriter* capture = nullptr;

  explicit Pair(MpaSettings mpa = {.crc = true}, std::uint32_t ord = 8, std::uint32_t ird = 8,
                std::uint16_t mss = 1460) {
    IwarpQpSetup s;
    s.pd = kPd;
    s.sq_cq = 1;
    s.rq_cq = 2;
    s.sq_pa = kSq;
    s.rq_pa = kRq;
    s.sq_size = s.rq_size = kRingSize;
    s.q2_pa = kQ2;
    s.ord = ord;
    s.ird = ird;
    s.id = 40;
    a.qp = std::make_unique<IwarpQp>(a.host, tuning, s);
    s.id = 41;
    b.qp = std::make_unique<IwarpQp>(b.host, tuning, s);
    IwarpOffload oa, ob;
    oa.endpoints = {{2, 0, 0, 0, 0, 1}, {2, 0, 0, 0, 0, 2}, 0xC0000201, 0xC0000202, 41000, 42000};
    ob.endpoints = {
        oa.endpoints.remote_mac, oa.endpoints.local_mac, oa.endpoints.remote_ip, oa.endpoints.local_ip, 42000, 41000};
    for (auto* o : {&oa, &ob}) {
      o->tcp.snd_wnd = o->tcp.rcv_wnd = 1u << 20;
      o->tcp.snd_scale = o->tcp.rcv_scale = 6;
      o->tcp.mss = mss;
    }
    oa.tcp.snd_una = oa.tcp.snd_nxt = oa.tcp.snd_max = ob.tcp.rcv_nxt = 0xFFFFFFF0u;
    ob.tcp.snd_una = ob.tcp.snd_nxt = ob.tcp.snd_max = oa.tcp.rcv_nxt = 1000;
    oa.mpa = mpa;
    ob.mpa = {.crc = mpa.crc, .send_markers = mpa.receive_markers, .receive_markers = mpa.send_markers};
    a.qp->go_rts(oa, clock.now());
    b.qp->go_rts(ob, clock.now());
  }

  void carry(Side& from, Side& to, bool tamper) {
    auto frames = std::move(from.out);
    from.out.clear();
    for (auto& f : frames) {
      if (tamper && tamper_a_to_b) tamper_a_to_b(f);
      if (capture != nullptr) capture->write(f);
      net::ParsedTcpFrame p;
      if (net::parse_tcp_frame(f, &p) != net::ParseResult::Ok) throw std::runtime_error("a frame that does not parse");
      to.qp->on_segment(p, clock.now(), to);
    }
  }

  // Runs both engines until quiet; the clock moves to the next deadline when idle.
  void run(
      const std::function<bool()>& done = [] { return false; }, int limit = 100000) {
    for (int i = 0; i < limit && !done(); ++i) {
      a.qp->run(clock.now(), a, 64);
      b.qp->run(clock.now(), b, 64);
      if (!a.out.empty() || !b.out.empty()) {
        carry(a, b, true);
        carry(b, a, false);
        continue;
      }
      if (a.qp->has_work() || b.qp->has_work()) continue;
      std::optional<Nanos> next;
      for (auto t : {a.qp->next_deadline(), b.qp->next_deadline()}) {
        if (t && (!next || *t < *next)) next = t;
      }
      if (!next || *next > clock.now() + std::chrono::seconds(5)) return;
      clock.set(*next);
      a.qp->on_timer(clock.now(), a);
      b.qp->on_timer(clock.now(), b);
    }
  }
};

constexpr std::uint32_t kAll = kAccessLocalRead | kAccessLocalWrite | kAccessRemoteRead | kAccessRemoteWrite;
constexpr std::uint32_t kLocal = kAccessLocalRead | kAccessLocalWrite;

inline MifhWqe send_wqe(std::uint32_t op, std::uint32_t length, std::initializer_list<MifhSge> sges,
                        bool signalled = true) {
  MifhWqe w{};
  w.op_word = op | (signalled ? kWqeSignalled : 0u);
  w.total_length = length;
  unsigned i = 0;
  for (const MifhSge& s : sges) w.sge[i++] = s;
  return w;
}

inline MifhWqe write_wqe(std::uint32_t length, std::uint64_t remote_va, std::uint32_t remote_stag, MifhSge local) {
  MifhWqe w = send_wqe(kWqeRdmaWrite, length, {local});
  w.length = length;
  w.remote_va = remote_va;
  w.remote_stag = remote_stag;
  return w;
}

inline MifhWqe read_wqe(std::uint32_t length, std::uint64_t remote_va, std::uint32_t remote_stag,
                        std::uint64_t local_va, std::uint32_t local_stag) {
  MifhWqe w{};
  w.op_word = rdma_read_op(false, true);
  w.total_length = kWqeReadLength;
  w.length = length;
  w.remote_va = remote_va;
  w.remote_stag = remote_stag;
  w.sge[0].address = local_va;
  w.sge[0].stag = local_stag;
  return w;
}

}  // namespace zeksim::qp_pair
