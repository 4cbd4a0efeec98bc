// Two boards on the lab wire in one process, each driven only as its driver
// drives it: control requests, indexed registers and doorbells. `Host` plays
// one host's driver (the host stack's frames through the NIC queue pair, the
// hand-over, work requests, completions and events); `IwarpLabTest` brings
// both up, joins their ports on a lab wire and opens the connection between
// them. Shared by the lab tests and the lab benchmark.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>

#include "include/hw/nic.h"
#include "include/hw/qp_context.h"
#include "include/hw/stag.h"
#include "include/hw/toe.h"
#include "include/hw/wqe.h"
#include "sim/iwarp/inet.h"
#include "sim/lab_wire.h"
#include "tests/support/sim_fixture.h"

namespace iwarplab {

using namespace zekhw;
using namespace std::chrono_literals;
namespace net = zeksim::net;

constexpr std::uint32_t kNicQp = 24;  // the NIC queue pair of MAC slot 4 (function 0's own MAC)
constexpr unsigned kNicSlot = 4;
constexpr std::uint32_t kQp = 40;
constexpr std::uint32_t kSqCq = 100, kRqCq = 101;
constexpr std::uint32_t kRing = 32;
constexpr std::uint32_t kCqEntries = 256;
constexpr std::uint32_t kPd = 1;
constexpr std::uint8_t kArpPeer = 7;
constexpr std::uint32_t kRegionIndex = 5, kWindowIndex = 9;
constexpr std::uint8_t kRegionKey = 0x11, kWindowKey = 0x5A;
constexpr std::uint32_t kRegionPages = 288;  // room for 1 MiB messages
constexpr std::uint64_t kRegionBytes = std::uint64_t{kRegionPages} * 4096;
constexpr std::uint64_t kQpObject = 0xFFFF'8000'0040'0000ull;
constexpr int kWindowShift = 6;  // the window scaling both hosts' SYNs offer
// Waits end as soon as the work is done; the bound is for a hung adapter.
constexpr auto kPatience = 60s;

inline std::vector<std::byte> pattern(std::size_t n, int seed) {
  std::vector<std::byte> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = std::byte((i * 31 + static_cast<std::size_t>(seed) * 7 + i / 4091) & 0xFF);
  return v;
}

// A word the board's thread writes into host memory, read with acquire order.
template <typename T>
inline std::uint32_t load_word(const T* entry, std::size_t offset) {
  return __atomic_load_n(reinterpret_cast<const std::uint32_t*>(reinterpret_cast<const std::byte*>(entry) + offset),
                         __ATOMIC_ACQUIRE);
}

// Waits (real time) until `done`, looking every `poll` (0: without a
// pause, as a benchmark that measures latency does); the board threads do
// the work.
inline bool wait_for(const std::function<bool()>& done, std::chrono::steady_clock::duration limit = kPatience,
                     std::chrono::steady_clock::duration poll = 200us) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    if (poll.count() != 0) std::this_thread::sleep_for(poll);
  }
  return true;
}

// One host's driver for function 0 of its board.
class Host {
 public:
  Host(SimTest& t, unsigned board, std::uint8_t id)
      : t_(t), m_(t.mapped(board)), q_(t, 0, 1, board), id_(id), mac_{2, 0, 0, 0, id, 1} {}

  const net::Mac& mac() const { return mac_; }
  std::uint32_t ip() const { return 0xC0000200u | id_; }
  zeksim::Board& board() { return m_.board(); }
  MappedBoard& mapped() { return m_; }

  // Control path, NIC queue pair, iWARP CQs, addresses, the queue pair (idle),
  // the scattered region and a window STag; all through requests and registers.
  void bring_up(const net::Mac& peer_mac) {
    q_.bring_up();
    // The NIC queue pair the host stack's frames go through.
    nic_sq_ = &t_.alloc(kRing * sizeof(MifhNicSqWqe));
    nic_rq_ = &t_.alloc(kRing * sizeof(MifhNicRqWqe));
    nic_cq_ = &t_.alloc(64 * sizeof(MifhNicCqe));
    nic_data_ = &t_.alloc(2 * kRing * 2048);
    DmaBuffer& nic_context = t_.alloc(4096);
    auto* c = nic_context.at<MifhNicQpContext>(0);
    c->word0 = nic_context_word0(0, 0, 1, 1, 0, 0, 0, 0);
    c->sq_pa = nic_sq_->pa();
    c->rq_pa = nic_rq_->pa();
    post(HostQueues::request(create_cq_word(64, false), cq_object_word(kNicQp, 0), nic_cq_->pa()));
    post(HostQueues::request(kOpWordCreateNicQp, kNicQp, nic_context.pa()));
    m_.idx_wr(0, idx_mac_low(kNicSlot),
              std::uint32_t{mac_[2]} << 24 | std::uint32_t{mac_[3]} << 16 | std::uint32_t{mac_[4]} << 8 | mac_[5]);
    m_.idx_wr(0, idx_mac_high(kNicSlot), (kNicSlot | 0x10) << 16 | std::uint32_t{mac_[0]} << 8 | mac_[1]);
    m_.idx_wr(0, kIdxRxEnable, 1u << kNicSlot);
    // iWARP CQs, the local address (destination-IP row 1) and the peer's ARP entry.
    cqs_ = &t_.alloc(2 * kCqEntries * sizeof(MifhCqe));
    post(HostQueues::create_cq(kSqCq, 0, kCqEntries, cqs_->pa()));
    post(HostQueues::create_cq(kRqCq, 0, kCqEntries, cqs_->pa() + kCqEntries * sizeof(MifhCqe)));
    m_.idx_wr(0, idx_dest_ip(1), ip());
    MifhCqpWqe arp = HostQueues::request(kOpArpCache | kArpAdd, kArpPeer);
    arp.physical_address = (std::uint64_t{peer_mac[0]} << 40) | (std::uint64_t{peer_mac[1]} << 32) |
                           std::uint64_t{peer_mac[2]} << 24 | std::uint64_t{peer_mac[3]} << 16 |
                           std::uint64_t{peer_mac[4]} << 8 | peer_mac[5];
    post(arp);
    // The queue pair.
    rings_ = &t_.alloc(2 * kRing * 128);
    context_ = &t_.alloc(8192);
    auto* ctx = context_->at<MifhIwarpQpContext>(0);
    ctx->flags = kIwarpCtxFlagsOffload | 1u << kIwarpCtxSqSizeShift | 1u << kIwarpCtxRqSizeShift;
    ctx->sq_cq_id = kSqCq;
    ctx->rq_cq_id = kRqCq;
    ctx->sq_pa = rings_->pa();
    ctx->rq_pa = rings_->pa() + kRing * 128;
    ctx->word39 = kPd;
    ctx->qp_object = kQpObject;
    post(HostQueues::request(kOpCreateQp | kQpTypeIwarp << kQpTypeShift | std::uint32_t{kQpIdle} << kQpStateShift, kQp,
                             context_->pa()));
    // The region: its pages every other frame of a run, backwards, as locked
    // user pages lie in scattered mode; guard frames between them.
    backing_ = &t_.alloc(2 * kRegionBytes);
    DmaBuffer& list = t_.alloc(kRegionPages * 8);
    for (std::uint32_t i = 0; i < kRegionPages; ++i) {
      list.at<std::uint64_t>(0)[i] = backing_->pa() + std::uint64_t{2} * (kRegionPages - 1 - i) * 4096;
    }
    MifhStagWqe w{};
    w.op_word = kOpRegisterNonSharedMr | kStagRegion | kStagNotZeroBased |
                (kAccessLocalRead | kAccessLocalWrite | kAccessRemoteRead | kAccessRemoteWrite) << kStagAccessShift;
    w.chunk_count = 1;
    w.pd = kPd;
    w.length = kRegionBytes;
    w.stag = region_stag();
    w.va_or_fbo = va();
    w.pbl_pa = list.pa();
    w.pbl_bytes = kRegionPages * 8;
    post(as_request(w));
    MifhStagWqe window{};
    window.op_word = kOpAllocateStag;
    window.pd = kPd;
    window.stag = window_stag();
    post(as_request(window));
    expect_control_ok();
    for (std::uint32_t i = 0; i < kRing; ++i) post_nic_receive();
  }

  void post(const MifhCqpWqe& w) {
    q_.post(w);
    ++posted_;
  }
  // Every request posted since the last call completed without error.
  void expect_control_ok() {
    for (const MifhCqe& e : control_results()) {
      EXPECT_EQ(e.flags & kCqeError, 0u) << "control request failed: " << std::hex << e.codes << t_.board_log();
    }
  }
  // The completions of the requests posted since the last call, waited for.
  std::vector<MifhCqe> control_results() {
    std::vector<MifhCqe> done;
    EXPECT_TRUE(wait_for([&] {
      if (!board().running()) board().run_until_idle();
      for (const MifhCqe* e; (e = q_.next_ccqe()) != nullptr;) done.push_back(*e);
      return done.size() >= posted_;
    })) << "control requests did not complete\n"
        << t_.board_log();
    posted_ = 0;
    q_.release_ccq();
    return done;
  }

  static MifhCqpWqe as_request(const MifhStagWqe& w) {
    MifhCqpWqe r;
    std::memcpy(&r, &w, sizeof w);
    return r;
  }

  std::uint64_t va() const { return std::uint64_t{id_} << 28; }
  std::uint32_t region_stag() const { return make_stag(kRegionIndex, kRegionKey); }
  std::uint32_t window_stag() const { return make_stag(kWindowIndex, kWindowKey); }

  // The region's bytes at `va`, through its page list.
  std::byte* at(std::uint64_t address) {
    const std::uint64_t off = address - va();
    const std::uint64_t page = off / 4096;
    return backing_->bytes() + 2 * (kRegionPages - 1 - page) * 4096 + off % 4096;
  }
  void fill(std::uint64_t address, std::span<const std::byte> bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) *at(address + i) = bytes[i];
  }
  std::vector<std::byte> read(std::uint64_t address, std::size_t n) {
    std::vector<std::byte> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = *at(address + i);
    return v;
  }
  // The guard frames between the region's pages: nothing may land there.
  bool guards_untouched() {
    for (std::uint32_t i = 0; i < kRegionPages; ++i) {
      const std::byte* g = backing_->bytes() + (2 * std::uint64_t{i} + 1) * 4096;
      if (std::any_of(g, g + 4096, [](std::byte b) { return b != std::byte{0}; })) return false;
    }
    return true;
  }

  // --- The host stack's frames, through the NIC queue pair -----------------
  void send_frame(std::span<const std::byte> frame) {
    const std::uint32_t slot = nic_sq_head_;
    std::byte* buffer = nic_data_->bytes() + (kRing + slot) * 2048;
    std::memcpy(buffer, frame.data(), frame.size());
    auto* w = nic_sq_->at<MifhNicSqWqe>(slot);
    *w = {};
    w->flags = kNicSqNoChecksum;  // the frame leaves as it is: the adapter fills no checksum
    w->total_length = static_cast<std::uint32_t>(frame.size());
    w->frag0_vlan = static_cast<std::uint32_t>(frame.size()) << 16;
    w->fragment[0] = nic_data_->pa() + (kRing + slot) * 2048;
    nic_sq_head_ = (nic_sq_head_ + 1) % kRing;
    m_.wr(0, kRegWqeDoorbell, wqe_doorbell(kNicQp, 1, true));
  }
  void post_nic_receive() {
    auto* w = nic_rq_->at<MifhNicRqWqe>(nic_rq_head_);
    *w = {};
    w->buffer_length = 2048;
    w->buffer_pa = nic_data_->pa() + nic_rq_head_ * 2048;
    nic_rq_head_ = (nic_rq_head_ + 1) % kRing;
    m_.wr(0, kRegWqeDoorbell, wqe_doorbell(kNicQp, 1, false));
  }
  // The frames received since the last call (send completions skipped).
  std::vector<std::vector<std::byte>> received_frames() {
    std::vector<std::vector<std::byte>> out;
    for (;;) {
      auto* e = nic_cq_->at<MifhNicCqe>(nic_cq_tail_);
      const std::uint32_t status = load_word(e, offsetof(MifhNicCqe, status));
      if ((status & kNicCqeValid) == 0) break;
      if ((status & kNicCqeSend) == 0) {
        const std::byte* b = nic_data_->bytes() + nic_rq_tail_ * 2048;
        out.emplace_back(b, b + (status & kNicCqeLengthMask));
        nic_rq_tail_ = (nic_rq_tail_ + 1) % kRing;
        post_nic_receive();
      }
      e->status = 0;
      nic_cq_tail_ = (nic_cq_tail_ + 1) % 64;
      m_.wr(0, kRegCqAllocate, cq_give_back(kNicQp, 1));
    }
    return out;
  }

  // --- The hand-over ---------------------------------------------------------
  void hand_over(std::uint16_t lport, std::uint32_t remote_ip, std::uint16_t rport, std::uint32_t snd,
                 std::uint32_t rcv, std::uint32_t mpa_mode, std::uint16_t mss = 1460) {
    auto* c = context_->at<MifhIwarpQpContext>(0);
    MifhOffloadTcpState s;
    s.local_address_index = 1;
    s.arp_index = kArpPeer;
    s.remote_address = remote_ip;
    s.local_port = lport;
    s.remote_port = rport;
    s.snd_mss = mss;
    s.snd_una = s.snd_nxt = s.snd_max = snd;
    s.rcv_nxt = rcv;
    // Both SYNs offered window scaling by kWindowShift; the last windows
    // either side announced were 65535 before scaling.
    c->flags |= kIwarpCtxWindowScaling;
    s.snd_wnd_shift = s.rcv_wnd_shift = kWindowShift;
    s.snd_wnd = s.rcv_wnd = 65535u << kWindowShift;
    s.hash_index = 10;
    pack_offload_connection(s, c->conn);
    c->word41 = mpa_mode;
    post(HostQueues::request(kOpModifyQp | kQpTypeIwarp << kQpTypeShift | std::uint32_t{kQpRts} << kQpStateShift, kQp,
                             context_->pa()));
    expect_control_ok();
  }

  // The driver's answer to a fatal event: the queue pair to error, both queues flushed.
  void error_and_flush() {
    post(HostQueues::request(kOpModifyQp | kQpTypeIwarp << kQpTypeShift | std::uint32_t{kQpError} << kQpStateShift, kQp,
                             context_->pa()));
    post(HostQueues::request(kOpFlush | kFlushSq | kFlushRq, kQp));
    expect_control_ok();
  }

  // --- TOE --------------------------------------------------------------------
  static constexpr std::uint32_t kToeQp = 41;
  static constexpr std::uint64_t kToeObject = 0xFFFF'8000'0041'0000ull;
  // A TOE queue pair created with the connection in its context; the
  // request's completion.
  MifhCqe create_toe(std::uint32_t id, std::uint8_t local_address_index, std::uint16_t lport, std::uint32_t remote_ip,
                     std::uint16_t rport, std::uint32_t snd, std::uint32_t rcv) {
    if (toe_rings_ == nullptr) {
      toe_rings_ = &t_.alloc(2 * kRing * 128);
      toe_context_ = &t_.alloc(8192);
      toe_data_ = &t_.alloc(256 * 1024);
    }
    auto* c = toe_context_->at<MifhIwarpQpContext>(0);
    *c = MifhIwarpQpContext{};
    c->flags = 1u << kIwarpCtxSqSizeShift | 1u << kIwarpCtxRqSizeShift;
    c->sq_cq_id = kSqCq;
    c->rq_cq_id = kRqCq;
    c->sq_pa = toe_rings_->pa();
    c->rq_pa = toe_rings_->pa() + kRing * 128;
    c->qp_object = kToeObject;
    MifhOffloadTcpState s;
    s.local_address_index = local_address_index;
    s.arp_index = kArpPeer;
    s.remote_address = remote_ip;
    s.local_port = lport;
    s.remote_port = rport;
    s.snd_mss = 1460;
    s.snd_una = s.snd_nxt = s.snd_max = snd;
    s.rcv_nxt = rcv;
    c->flags |= kIwarpCtxWindowScaling;
    s.snd_wnd_shift = s.rcv_wnd_shift = kWindowShift;
    s.snd_wnd = s.rcv_wnd = 65535u << kWindowShift;
    s.hash_index = 20;
    pack_offload_connection(s, c->conn);
    post(HostQueues::request(kOpWordCreateToeQp, id, toe_context_->pa()));
    const auto r = control_results();
    return r.empty() ? MifhCqe{} : r.front();
  }
  std::byte* toe_data() { return toe_data_->bytes(); }
  // Posts one TOE request of up to four (offset in the TOE data, length) buffers.
  void post_toe(bool send, std::initializer_list<std::pair<std::uint32_t, std::uint32_t>> buffers,
                std::uint64_t context) {
    std::uint32_t& head = send ? toe_sq_head_ : toe_rq_head_;
    std::byte* slot = toe_rings_->bytes() + (send ? 0 : kRing * 128) + 128ull * head;
    std::uint32_t total = 0;
    MifhToeBuffer list[kToeMaxBuffers] = {};
    unsigned n = 0;
    for (auto [offset, length] : buffers) {
      list[n++] = {toe_data_->pa() + offset, length, 0};
      total += length;
    }
    if (send) {
      MifhToeSendWqe w{};
      w.byte_count = total;
      w.qp = kToeObject;
      w.context = context;
      std::memcpy(w.buffer, list, sizeof list);
      std::memcpy(slot, &w, sizeof w);
    } else {
      MifhToeRecvWqe w{};
      w.byte_count = total;
      w.qp = kToeObject;
      w.context = context;
      std::memcpy(w.buffer, list, sizeof list);
      std::memcpy(slot, &w, sizeof w);
    }
    head = (head + 1) % kRing;
    m_.wr(0, kRegWqeDoorbell, wqe_doorbell(kToeQp, 1, send));
  }
  std::optional<MifhToeCqe> toe_completion(bool sq) {
    const auto c = completion(sq);
    if (!c) return std::nullopt;
    MifhToeCqe t;
    std::memcpy(&t, &*c, sizeof t);
    return t;
  }

  // --- Work requests -----------------------------------------------------------
  // Writes the request into the ring; rings the doorbell register, or the
  // doorbell page `user_page` as a user process does, unless asked not to.
  void post_send(MifhWqe w, bool ring = true) {
    w.tag = wqe_tag(kQpObject, sq_head_);
    std::memcpy(rings_->bytes() + 128ull * sq_head_, &w, sizeof w);
    sq_head_ = (sq_head_ + 1) % kRing;
    if (ring) m_.wr(0, kRegWqeDoorbell, wqe_doorbell(kQp, 1, true));
  }
  void ring_user_page(unsigned page, std::uint32_t id) {
    m_.wr(0, kDoorbellPageBytes * page + kUserDbWqeAllocate, wqe_doorbell(id, 1, true), zeksim::Window::Doorbells);
  }
  void post_bind(const MifhBindWqe& bind) {
    MifhWqe w;
    std::memcpy(&w, &bind, sizeof bind);
    post_send(w);
  }
  void post_receive(std::uint64_t address, std::uint32_t length) {
    MifhRqWqe w{};
    w.total_length = length;
    w.tag = wqe_tag(kQpObject, rq_head_);
    w.sge[0] = {address, length, region_stag()};
    std::memcpy(rings_->bytes() + kRing * 128 + 128ull * rq_head_, &w, sizeof w);
    rq_head_ = (rq_head_ + 1) % kRing;
    m_.wr(0, kRegWqeDoorbell, wqe_doorbell(kQp, 1, false));
  }
  // The next completion of the send (sq) or receive CQ, waited for.
  std::optional<MifhCqe> completion(bool sq, std::chrono::steady_clock::duration limit = kPatience) {
    std::uint32_t& tail = sq ? sq_cq_tail_ : rq_cq_tail_;
    auto* e = cqs_->at<MifhCqe>((sq ? 0 : kCqEntries) + tail);
    if (!wait_for([&] { return (load_word(e, offsetof(MifhCqe, flags)) & kCqeValid) != 0; }, limit, poll_)) {
      return std::nullopt;
    }
    MifhCqe copy = *e;
    e->flags = 0;
    tail = (tail + 1) % kCqEntries;
    m_.wr(0, kRegCqAllocate, cq_give_back(sq ? kSqCq : kRqCq, 1));
    return copy;
  }
  // Asynchronous event ids seen so far on the AEQ.
  std::vector<std::uint16_t> events() {
    for (;;) {
      auto* e = q_.aeq().at<MifhAeqe>(aeq_tail_);
      const std::uint32_t info = load_word(e, offsetof(MifhAeqe, info));
      if ((info & kAeqeValid) == 0) break;
      events_.push_back(static_cast<std::uint16_t>(info & kAeqeEventIdMask));
      e->info = 0;
      aeq_tail_ = (aeq_tail_ + 1) % HostQueues::kAeqEntries;
      m_.wr(0, kRegAeqAcknowledge, 1u << kAeqAckShift);
    }
    return events_;
  }
  // How often completion() looks at the CQ (0: without a pause).
  void set_poll(std::chrono::steady_clock::duration poll) { poll_ = poll; }

  bool has_event(std::uint16_t id) {
    const auto e = events();
    return std::find(e.begin(), e.end(), id) != e.end();
  }

 private:
  SimTest& t_;
  MappedBoard& m_;
  HostQueues q_;
  std::uint8_t id_;
  net::Mac mac_;
  DmaBuffer *nic_sq_ = nullptr, *nic_rq_ = nullptr, *nic_cq_ = nullptr, *nic_data_ = nullptr;
  std::uint32_t nic_sq_head_ = 0, nic_rq_head_ = 0, nic_rq_tail_ = 0, nic_cq_tail_ = 0;
  DmaBuffer *cqs_ = nullptr, *rings_ = nullptr, *context_ = nullptr, *backing_ = nullptr;
  std::uint32_t sq_head_ = 1, rq_head_ = 0, sq_cq_tail_ = 0, rq_cq_tail_ = 0, aeq_tail_ = 0;
  std::vector<std::uint16_t> events_;
  std::uint32_t posted_ = 0;
  DmaBuffer *toe_rings_ = nullptr, *toe_context_ = nullptr, *toe_data_ = nullptr;
  std::uint32_t toe_sq_head_ = 0, toe_rq_head_ = 0;
  std::chrono::steady_clock::duration poll_ = 200us;
};

inline MifhWqe send_wqe(std::uint32_t op, std::uint64_t address, std::uint32_t length, std::uint32_t stag) {
  MifhWqe w{};
  w.op_word = op | kWqeSignalled;
  w.total_length = length;
  w.sge[0] = {address, length, stag};
  return w;
}
inline MifhWqe write_wqe(std::uint64_t local, std::uint32_t length, std::uint32_t stag, std::uint64_t remote,
                         std::uint32_t remote_stag) {
  MifhWqe w = send_wqe(kWqeRdmaWrite, local, length, stag);
  w.length = length;
  w.remote_va = remote;
  w.remote_stag = remote_stag;
  return w;
}
inline MifhWqe read_wqe(std::uint64_t local, std::uint32_t length, std::uint32_t stag, std::uint64_t remote,
                        std::uint32_t remote_stag) {
  MifhWqe w{};
  w.op_word = rdma_read_op(false, true);
  w.total_length = kWqeReadLength;
  w.length = length;
  w.remote_va = remote;
  w.remote_stag = remote_stag;
  w.sge[0].address = local;
  w.sge[0].stag = stag;
  return w;
}

class IwarpLabTest : public SimTest {
 public:
  unsigned board_count() override { return 2; }
  zeksim::BoardConfig board_config() override {
    zeksim::BoardConfig c = SimTest::board_config();
    c.functions = 1;
    // A lab's round trips are short: give up on a vanished peer within seconds.
    c.tcp.min_rto = 30ms;
    c.tcp.initial_rto = 200ms;
    c.tcp.max_rto = 1s;
    c.tcp.max_retransmits = 6;
    return c;
  }
  virtual zeksim::ImpairmentSettings impairment() { return {}; }

  void SetUp() override {
    SimTest::SetUp();
    if (HasFatalFailure()) return;
    static int labs = 0;
    lab_ = ::testing::TempDir() + "iwarplab_" + std::to_string(::getpid()) + "_" + std::to_string(labs++);
    std::filesystem::remove_all(lab_);
    std::filesystem::create_directories(lab_ + "/wire");
    a_ = std::make_unique<Host>(*this, 0, 0x0A);
    b_ = std::make_unique<Host>(*this, 1, 0x0B);
    a_->bring_up(b_->mac());
    b_->bring_up(a_->mac());
    if (HasFatalFailure()) return;
    auto log = [this](std::string_view line) {
      std::lock_guard lock(board_log_mu_);
      board_log_ += line;
      board_log_ += '\n';
    };
    zeksim::ImpairmentSettings impair = impairment();
    for (int i = 0; i < 2; ++i) {
      Host& h = i == 0 ? *a_ : *b_;
      zeksim::LabWire::Settings s{lab_, i == 0 ? "hosta-nic0" : "hostb-nic0", i == 0 ? capture_path() : "", impair,
                                  true};
      impair.seed += 17;
      wires_[i] = std::make_unique<zeksim::LabWire>(h.board(), s, log);
      std::string error;
      ASSERT_TRUE(wires_[i]->start(&error)) << error;
      h.board().attach_port(wires_[i].get());
      h.board().start();
    }
  }

  void TearDown() override {
    for (int i = 0; i < 2; ++i) stop_port(i);
    a_.reset();
    b_.reset();
    SimTest::TearDown();
    std::error_code ec;
    std::filesystem::remove_all(lab_, ec);
  }

  void stop_port(int i) {
    if (!wires_[i]) return;
    Host& h = i == 0 ? *a_ : *b_;
    h.board().stop();
    h.board().stop_port();
    wires_[i]->stop();
    h.board().attach_port(nullptr);
    wires_[i].reset();
  }

  std::string capture() const { return lab_ + "/hosta.pcap"; }
  // Where A's port writes its capture (empty: none).
  virtual std::string capture_path() const { return capture(); }

  // The host stack's part, before the hand-over: the three-way handshake and
  // the MPA start-up frames, each frame sent again until the peer has it.
  static constexpr std::uint16_t kPortA = 41000, kPortB = 5001;
  static constexpr std::uint32_t kIssA = 0xFFFFFF00u, kIssB = 77000;
  // mss: what both SYNs offered (1460 on a standard wire, 8960 with jumbo frames).
  void connect(std::uint32_t mpa_mode = kMpaModeRdma | kMpaModeCrc, std::uint16_t mss = 1460) {
    handshake(true, mpa_mode, mss);
  }
  // The three-way handshake, then the MPA start-up frames when asked, and
  // the hand-over of the iWARP queue pairs; A's and B's next sequence numbers.
  std::pair<std::uint32_t, std::uint32_t> handshake(bool mpa, std::uint32_t mpa_mode = 0, std::uint16_t mss = 1460) {
    const bool markers = (mpa_mode & kMpaModeReceiveMarkers) != 0;
    const bool crc = (mpa_mode & kMpaModeCrc) != 0;
    const std::uint32_t a_iss = kIssA, b_iss = kIssB;
    auto startup = [&](const char* key) {
      std::vector<std::byte> v(20);
      std::memcpy(v.data(), key, 16);
      v[16] = std::byte((markers ? 0x80 : 0) | (crc ? 0x40 : 0));
      return v;
    };
    const auto req = startup("MPA ID Req Frame");
    const auto rep = startup("MPA ID Rep Frame");
    auto frame = [&](bool from_a, std::uint32_t seq, std::uint32_t ack, std::uint8_t flags,
                     std::span<const std::byte> payload, net::TcpOptions options = {}) {
      Host& from = from_a ? *a_ : *b_;
      Host& to = from_a ? *b_ : *a_;
      net::TcpFrameHeader h;
      h.src_mac = from.mac();
      h.dst_mac = to.mac();
      h.src_ip = from.ip();
      h.dst_ip = to.ip();
      h.src_port = from_a ? kPortA : kPortB;
      h.dst_port = from_a ? kPortB : kPortA;
      h.seq = seq;
      h.ack = ack;
      h.flags = flags;
      h.window = 65535;
      h.options = options;
      std::vector<std::byte> f(net::frame_header_bytes(options) + payload.size());
      if (!payload.empty()) std::memcpy(f.data() + net::frame_header_bytes(options), payload.data(), payload.size());
      net::write_tcp_frame(f, h);
      return f;
    };
    // Sends until the receiver has a frame with these flags and sequence number.
    auto deliver = [&](bool from_a, const std::vector<std::byte>& f) {
      net::ParsedTcpFrame sent;
      ASSERT_EQ(net::parse_tcp_frame(f, &sent), net::ParseResult::Ok);
      Host& from = from_a ? *a_ : *b_;
      Host& to = from_a ? *b_ : *a_;
      bool arrived = false;
      for (int attempt = 0; attempt < 50 && !arrived; ++attempt) {
        from.send_frame(f);
        wait_for(
            [&] {
              for (const auto& got : to.received_frames()) {
                net::ParsedTcpFrame p;
                if (net::parse_tcp_frame(got, &p) != net::ParseResult::Ok) continue;
                if (p.header.flags == sent.header.flags && p.header.seq == sent.header.seq &&
                    p.payload.size() == sent.payload.size()) {
                  arrived = true;
                }
              }
              return arrived;
            },
            300ms);
      }
      ASSERT_TRUE(arrived) << "a start-up frame never arrived\n" << board_log();
    };
    const net::TcpOptions syn{mss, kWindowShift};
    deliver(true, frame(true, a_iss, 0, net::kSyn, {}, syn));
    deliver(false, frame(false, b_iss, a_iss + 1, net::kSyn | net::kAck, {}, syn));
    if (!mpa) {
      deliver(true, frame(true, a_iss + 1, b_iss + 1, net::kAck, {}));
      return {a_iss + 1, b_iss + 1};
    }
    deliver(true, frame(true, a_iss + 1, b_iss + 1, net::kAck | net::kPsh, req));
    const std::uint32_t a_next = a_iss + 1 + 20, b_next = b_iss + 1 + 20;
    deliver(false, frame(false, b_iss + 1, a_next, net::kAck | net::kPsh, rep));
    deliver(true, frame(true, a_next, b_next, net::kAck, {}));
    if (HasFatalFailure()) return {};
    // Each side asked for markers in its own frame: both receive them.
    a_->hand_over(kPortA, b_->ip(), kPortB, a_next, b_next, mpa_mode, mss);
    b_->hand_over(kPortB, a_->ip(), kPortA, b_next, a_next, mpa_mode, mss);
    return {a_next, b_next};
  }

  void expect_ok(std::optional<MifhCqe> c, const char* what) {
    ASSERT_TRUE(c.has_value()) << what << ": no completion\n" << board_log();
    EXPECT_EQ(c->flags & kCqeError, 0u) << what << ": error completion, minor " << std::hex << c->codes;
  }

  std::string lab_;
  std::unique_ptr<Host> a_, b_;
  std::unique_ptr<zeksim::LabWire> wires_[2];
};

}  // namespace iwarplab
