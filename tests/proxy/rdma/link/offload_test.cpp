// The offload bridge with the host stack and the adapter model in one
// process: endpoint A (192.0.2.1) of the stack's test pair sits on an
// interface behind the simulated adapter, endpoint B (192.0.2.2) stays a
// host-stack connection. Once A's connection moves into a TOE queue pair,
// the adapter's frames reach B's interface and B's packets for the
// connection reach the adapter. The bytes flow through TOE requests both
// ways, the end of the stream too; a failure at each step of the move
// leaves A a working host-stack connection; the iWARP road's export and
// its undo keep the same promise.
#include "proxy/tcpip/offload.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "include/hw/registers.h"
#include "proxy/rdma/hw/toe_post.h"
#include "proxy/tcpip/bsd_errno.h"
#include "proxy/tcpip/socket_calls.h"
#include "sim/frame_port.h"
#include "tests/proxy/rdma/hw/hwif_fixture.h"
#include "tests/proxy/tcpip/netinet/tcp_pair.h"

namespace {

using namespace zektcp;

constexpr std::uint8_t kBoardMac[6] = {2, 0, 0, 0, 0, 0x0A};
constexpr std::uint8_t kPeerMac[6] = {2, 0, 0, 0, 0, 0x0B};
constexpr std::uint16_t kArpEntry = 7;
constexpr std::uint8_t kLocalIndex = 1;
constexpr std::uint32_t kToeCeq = 8;  // the proxy driver's CEQ of function 0

// The adapter's port: what it sends waits here until the test loop puts it
// on the pair's wire (to B).
class HeldPort : public zeksim::FramePort {
 public:
  bool has_room() override { return true; }
  void transmit(std::span<const std::byte> frame) override {
    std::lock_guard lock(mu_);
    frames_.emplace_back(frame.begin(), frame.end());
  }
  std::vector<std::vector<std::byte>> take() {
    std::lock_guard lock(mu_);
    return std::exchange(frames_, {});
  }

 private:
  std::mutex mu_;
  std::vector<std::vector<std::byte>> frames_;
};

class OffloadTest : public HwifTest, protected TcpPair {
 protected:
  plat::KernelOptions options() override {
    plat::KernelOptions o = HwifTest::options();
    o.memory.bytes = std::size_t{256} << 20;
    return o;
  }

  void SetUp() override {
    HwifTest::SetUp();
    if (HasFatalFailure()) return;
    TcpipConfig c;
    c.tick_ms = 10;
    c.mbufs.reserve_areas = 2;
    config_ = pair_config(c);
    ASSERT_EQ(ZEK_Init_c_tcpip(&config_), ZEK_STATUS_PASS);
    started_ = true;
    ASSERT_TRUE(open_pair());
    fn_ = &bring_up(0);
    // The adapter's side of the SAN interface: its MAC (slot F + 4), the
    // local address at destination-IP entry 1, the peer in the ARP cache.
    MifhDeviceObj* d = &fn_->device;
    ASSERT_EQ(mifh_write_indexed(d, zekhw::idx_mac_low(4),
                                 std::uint32_t{kBoardMac[2]} << 24 | std::uint32_t{kBoardMac[3]} << 16 |
                                     std::uint32_t{kBoardMac[4]} << 8 | kBoardMac[5]),
              0u);
    ASSERT_EQ(mifh_write_indexed(d, zekhw::idx_mac_high(4),
                                 (4u | 0x10) << 16 | std::uint32_t{kBoardMac[0]} << 8 | kBoardMac[1]),
              0u);
    ASSERT_EQ(mifh_write_indexed(d, zekhw::idx_dest_ip(kLocalIndex), kHostA), 0u);
    zekhw::MifhCqpWqe arp{};
    arp.op_word = zekhw::kOpArpCache | zekhw::kArpAdd;
    arp.object_word = kArpEntry;
    for (int i = 0; i < 6; ++i) arp.physical_address = arp.physical_address << 8 | kPeerMac[i];
    ASSERT_EQ(mifh_cqp_post(fn_->cqp, &arp, MifhPostMode::Failing, "test"), 0u);
    drain(*fn_);
    board().attach_port(&port_);
    adapter_ = ZekToeAdapter{&fn_->device, kToeCeq, kLocalIndex, this, arp_index, take_ids, give_ids, control_drain};
    ASSERT_TRUE(OffloadAttachAdapter(&ifs_[0], &adapter_));
    // B's packets for A go to the adapter as well once A is offloaded (the
    // stack leaves an offloaded connection's segments alone).
    tap_ = [this](const WirePacket& p) {
      if (p.to != 0 || !offloaded_) return;
      std::vector<std::byte> frame(14 + p.bytes.size());
      std::memcpy(frame.data(), kBoardMac, 6);
      std::memcpy(frame.data() + 6, kPeerMac, 6);
      frame[12] = std::byte{0x08};
      std::memcpy(frame.data() + 14, p.bytes.data(), p.bytes.size());
      board().receive_frame(frame);
    };
  }

  void TearDown() override {
    tap_ = nullptr;
    if (started_) {
      for (int fd : fds_) sys_close(fd);
      step_adapter(200);
      close_pair();
      OffloadAttachAdapter(&ifs_[0], nullptr);
    }
    if (board_) board().attach_port(nullptr);
    if (started_) {
      EXPECT_EQ(ZEK_Cleanup_c_tcpip(), ZEK_STATUS_PASS);
    }
    started_ = false;
    HwifTest::TearDown();
  }

  void tick_clock(std::int64_t ticks) override {
    clock().advance(ticks * config_.tick_ms * plat::Clock::kUnitsPerMs);
    KeFlushQueuedDpcs();
    AcquireBdcLock();
    SoftClock();
    ReleaseBdcLock();
  }
  void pair_failure(const std::string& what) override { ADD_FAILURE() << what; }

  // ---- The adapter's routines ----
  static bool arp_index(void* context, std::uint32_t remote, std::uint16_t* index) {
    *index = static_cast<OffloadTest*>(context)->arp_entry_;
    return remote == kHostB;
  }
  static bool take_ids(void* context, std::uint32_t* qp, std::uint32_t* cq) {
    auto* self = static_cast<OffloadTest*>(context);
    if (self->no_ids_) return false;
    *qp = 100 + self->ids_taken_;
    *cq = self->ccq_id_taken_ ? 0 : 300 + self->ids_taken_;  // 0: the CCQ's id
    ++self->ids_taken_;
    return true;
  }
  static void give_ids(void* context, std::uint32_t, std::uint32_t) {
    ++static_cast<OffloadTest*>(context)->ids_given_;
  }
  static void control_drain(void* context) {
    auto* self = static_cast<OffloadTest*>(context);
    const auto& ring = self->fn_->cqp_ring;
    const ZEK_OSPRIM_RING& r = self->fn_->cqp->RingIndex;
    if (self->stall_toe_create_ && ring[(r.Head + r.Size - 1) % r.Size].op_word == zekhw::kOpWordCreateToeQp) {
      self->set_auto_step(false);  // the adapter never answers the creation
      return;
    }
    self->settle();
    mifh_process_ccq(self->fn_->ccq);
  }

  // ---- Sockets ----
  // A connected pair: A by descriptor (the bridge's handle), B by socket.
  void connect_pair(std::uint16_t port) {
    zektcp::socket* l = listener(kHostB, port);
    a_fd_ = sys_socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(a_fd_, 0);
    fds_.push_back(a_fd_);
    a_ = static_cast<zektcp::socket*>(stack_process()->p_fd->fd_ofiles[a_fd_]->f_data);
    ASSERT_EQ(connect(a_, kHostB, port), 0);
    b_ = accept_within(l);
    ASSERT_NE(b_, nullptr);
    ASSERT_TRUE(run_until([&] { return (a_->so_state & SS_ISCONNECTED) != 0; }));
  }
  tcp_ctl_block* a_tcb() { return sototcpcb(a_); }

  // Bytes from A to B through the stack (A is a host connection).
  void stack_bytes_reach_b(std::size_t n, std::uint32_t seed) {
    const Bytes data = pattern(n, seed);
    Bytes got;
    std::size_t sent = 0;
    ASSERT_TRUE(run_until([&] {
      if (sent < n) sent += send_some(a_, data.data() + sent, n - sent);
      const Bytes r = receive_some(b_);
      got.insert(got.end(), r.begin(), r.end());
      return got.size() >= n + in_flight_;
    }));
    // Bytes the test left in flight before arrive first.
    EXPECT_EQ(Bytes(got.begin() + static_cast<std::ptrdiff_t>(in_flight_), got.end()), data);
    in_flight_ = 0;
  }

  // The adapter and the wire for `rounds` stack ticks, or until `done`.
  bool step_adapter(
      int rounds, const std::function<bool()>& done = [] { return false; }) {
    for (int i = 0; i < rounds; ++i) {
      settle();
      for (auto& f : port_.take()) {
        if (f.size() <= 14) continue;
        WirePacket p;
        p.bytes.resize(f.size() - 14);
        std::memcpy(p.bytes.data(), f.data() + 14, p.bytes.size());
        p.to = 1;
        sent_.push_back(std::move(p));
      }
      pump();
      if (a_ != nullptr && socket_is_live(a_) && a_->so_offload_cq != nullptr) {
        OffloadToeCqEvent(static_cast<MifhCqObject*>(a_->so_offload_cq));
      }
      if (done()) return true;
      tick_clock(1);
      ++now_;
      std::this_thread::yield();
    }
    return done();
  }

  // Runs `call` on a thread of its own (it sleeps until the adapter
  // answers) while the test moves the adapter and the wire.
  int blocking(
      const std::function<int()>& call, const std::function<void()>& meanwhile = [] {}) {
    std::atomic<bool> finished{false};
    int result = 0;
    std::thread t([&] {
      result = call();
      finished = true;
    });
    step_adapter(6000, [&] {
      meanwhile();
      return finished.load();
    });
    EXPECT_TRUE(finished.load()) << "the call never returned";
    if (!finished) {
      // Closing the socket ends the call's sleep.
      OSPrimKillSleepObject(&a_->so_offload_send_sleep);
      OSPrimKillSleepObject(&a_->so_offload_recv_sleep);
    }
    t.join();
    return result;
  }

  int offload() {
    const std::uint8_t on = OFFLOAD_STATE_ADAPTER;
    const int r = ZekSetToeState(a_fd_, &on);
    offloaded_ = r == 0;
    return r;
  }

  HwFunction* fn_ = nullptr;
  HeldPort port_;
  ZekToeAdapter adapter_{};
  TcpipConfig config_{};
  bool started_ = false;
  bool offloaded_ = false;
  bool no_ids_ = false;
  bool stall_toe_create_ = false;
  std::uint16_t arp_entry_ = kArpEntry;
  bool ccq_id_taken_ = false;
  std::size_t in_flight_ = 0;
  int ids_taken_ = 0, ids_given_ = 0;
  int a_fd_ = -1;
  zektcp::socket* a_ = nullptr;
  zektcp::socket* b_ = nullptr;
  std::vector<int> fds_;
};

// A kernel buffer the mapping can describe (contiguous memory).
struct KernelBuffer {
  explicit KernelBuffer(std::uint32_t n) : size(n) { EXPECT_EQ(OSPrimMemDMAAllocate(&va, n), 0u); }
  ~KernelBuffer() { OSPrimMemDMAFree(va); }
  std::uint8_t* bytes() { return static_cast<std::uint8_t*>(va); }
  void* va = nullptr;
  std::uint32_t size;
};

TEST_F(OffloadTest, ConnectionMovesIntoTheAdapterAndCarriesBytesBothWays) {
  connect_pair(7000);
  stack_bytes_reach_b(3000, 1);  // the connection has a history before the move
  ASSERT_EQ(offload(), 0);
  EXPECT_EQ(IsSocketOffloaded(a_fd_), 1);
  EXPECT_EQ(a_tcb()->offload_state, OFFLOAD_STATE_ADAPTER);
  EXPECT_FALSE(tcp_timer_active(a_tcb(), TT_KEEP)) << "the stack's timers leave the connection alone";

  // A to B: 40000 bytes through TOE sends (each at most four pages).
  const Bytes out = pattern(40000, 2);
  KernelBuffer send_buffer(40000);
  std::memcpy(send_buffer.bytes(), out.data(), out.size());
  Bytes got_b;
  std::uint32_t sent = 0;
  while (sent < out.size()) {
    const int n = blocking([&] { return OffLoadSend(a_fd_, send_buffer.bytes() + sent, 40000 - sent, 0, 0); },
                           [&] {
                             const Bytes r = receive_some(b_);
                             got_b.insert(got_b.end(), r.begin(), r.end());
                           });
    ASSERT_GT(n, 0);
    EXPECT_LE(n, 4 * 4096);
    sent += static_cast<std::uint32_t>(n);
  }
  ASSERT_TRUE(step_adapter(500, [&] {
    const Bytes r = receive_some(b_);
    got_b.insert(got_b.end(), r.begin(), r.end());
    return got_b.size() >= out.size();
  }));
  EXPECT_EQ(got_b, out);

  // B to A: 30000 bytes into TOE receives.
  const Bytes back = pattern(30000, 3);
  std::size_t b_sent = 0;
  KernelBuffer receive_buffer(8192);
  Bytes got_a;
  while (got_a.size() < back.size()) {
    const int n = blocking([&] { return OffLoadRecv(a_fd_, receive_buffer.bytes(), 8192, 0, 0); },
                           [&] {
                             if (b_sent < back.size())
                               b_sent += send_some(b_, back.data() + b_sent, back.size() - b_sent);
                           });
    ASSERT_GT(n, 0);
    got_a.insert(got_a.end(), receive_buffer.bytes(), receive_buffer.bytes() + n);
  }
  EXPECT_EQ(got_a, back);

  // A ends its stream: B reads the end; B's close ends A's receives with 0.
  EXPECT_EQ(blocking([&] { return OffLoadShutdown(a_fd_, 1, 0, a_fd_); }), 0);
  ASSERT_TRUE(step_adapter(500, [&] { return state(b_) == TCPS_CLOSE_WAIT; }));
  close(b_);
  EXPECT_EQ(blocking([&] { return OffLoadRecv(a_fd_, receive_buffer.bytes(), 8192, 0, 0); }), 0);
  EXPECT_EQ(OffLoadSend(a_fd_, receive_buffer.bytes(), 10, 0, 0), -BSD_EPIPE) << "nothing after the end";

  // Closing A releases the TOE queue pair and then its CQ on the adapter.
  ASSERT_EQ(sys_close(a_fd_), 0);
  fds_.clear();
  a_ = nullptr;
  ASSERT_TRUE(step_adapter(200, [&] {
    drain(*fn_);
    return ids_given_ == 1;
  })) << "the queue pair's and CQ's numbers come back once both are gone";
}

TEST_F(OffloadTest, OffloadedCallsRefuseWhatTheyCannotCarry) {
  connect_pair(7001);
  KernelBuffer buffer(64);
  EXPECT_EQ(OffLoadSend(a_fd_, buffer.va, 64, 0, 0), -1) << "no TOE queue pair yet";
  EXPECT_EQ(OffLoadSend(-5, buffer.va, 64, 0, 0), -OFFLOAD_BAD_SOCKET);
  EXPECT_EQ(OffLoadRecv(a_fd_, buffer.va, 64, 1, 0), -BSD_EOPNOTSUPP) << "out-of-band";
  EXPECT_EQ(OffLoadShutdown(a_fd_, 3, 0, a_fd_), -1);
  const std::uint8_t other = 7;
  EXPECT_EQ(ZekSetToeState(a_fd_, &other), 1);
  const std::uint8_t never = OFFLOAD_STATE_OFF;
  EXPECT_EQ(ZekSetToeState(a_fd_, &never), 0);
  EXPECT_EQ(a_tcb()->offload_state, OFFLOAD_STATE_OFF);
  ASSERT_EQ(offload(), 0) << "85 then 170 is still allowed";
  EXPECT_EQ(offload(), OFFLOAD_ALREADY);
  ZekToeStateBlock* block = nullptr;
  EXPECT_EQ(GetTOeSocketState(a_fd_, &block, nullptr, 0), OFFLOAD_BAD_SOCKET) << "already with the adapter";
}

// Each step of the move fails in turn: the connection stays the stack's,
// its timers run and its bytes still flow.
struct Failure {
  const char* name;
  void (*arrange)(OffloadTest* t);
  int expected;
};

class OffloadRollback : public OffloadTest, public ::testing::WithParamInterface<Failure> {
 public:
  static void no_adapter(OffloadTest* t) { OffloadAttachAdapter(&static_cast<OffloadRollback*>(t)->ifs_[0], nullptr); }
  static void no_ids(OffloadTest* t) { static_cast<OffloadRollback*>(t)->no_ids_ = true; }
  static void cq_id_in_use(OffloadTest* t) { static_cast<OffloadRollback*>(t)->ccq_id_taken_ = true; }
  static void no_toe_rings(OffloadTest* t) { static_cast<OffloadRollback*>(t)->hold_toe_rings(); }
  static void no_arp_entry(OffloadTest* t) { static_cast<OffloadRollback*>(t)->arp_entry_ = kArpEntry + 1; }
  static void unacknowledged(OffloadTest* t) {
    auto* self = static_cast<OffloadRollback*>(t);
    const std::uint8_t x[100] = {};
    self->in_flight_ = self->send_some(self->a_, x, sizeof x);  // not yet on the wire
  }
  void hold_toe_rings() {
    held_ = mifh_pool_allocate(MIFH_POOL_TOE_SQ, MIFH_TOE_QP_WQES);
    ASSERT_NE(held_, nullptr);
  }
  void TearDown() override {
    if (held_ != nullptr) mifh_pool_free(MIFH_POOL_TOE_SQ, held_, MIFH_TOE_QP_WQES);
    OffloadTest::TearDown();
  }
  void* held_ = nullptr;
};

TEST_P(OffloadRollback, ConnectionStaysTheStacks) {
  connect_pair(7100);
  GetParam().arrange(this);
  EXPECT_EQ(offload(), GetParam().expected);
  offloaded_ = false;
  EXPECT_EQ(IsSocketOffloaded(a_fd_), 0);
  EXPECT_EQ(a_tcb()->offload_state, 0u);
  EXPECT_TRUE(tcp_timer_active(a_tcb(), TT_KEEP)) << "timers armed again";
  EXPECT_EQ(a_->so_offload_qp, nullptr);
  EXPECT_EQ(ids_taken_, ids_given_) << "numbers taken are given back";
  stack_bytes_reach_b(5000, 9);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, OffloadRollback,
    ::testing::Values(Failure{"NoAdapterBehindTheInterface", &OffloadRollback::no_adapter, BSD_ENXIO},
                      Failure{"NoNumbers", &OffloadRollback::no_ids, BSD_ENOBUFS},
                      Failure{"AdapterRefusesTheCq", &OffloadRollback::cq_id_in_use, OFFLOAD_ADAPTER_REFUSED},
                      Failure{"NoToeRings", &OffloadRollback::no_toe_rings, BSD_ENOBUFS},
                      Failure{"AdapterRefusesTheQueuePair", &OffloadRollback::no_arp_entry, OFFLOAD_ADAPTER_REFUSED},
                      Failure{"BytesNotYetAcknowledged", &OffloadRollback::unacknowledged, BSD_EWOULDBLOCK}),
    [](const auto& info) { return std::string(info.param.name); });

// The adapter never answers the creation: it may have taken the
// connection, so neither side keeps it: the stack drops it (B is reset)
// and the socket is no offloaded one.
TEST_F(OffloadTest, UnansweredCreationDropsTheConnection) {
  connect_pair(7200);
  stall_toe_create_ = true;
  EXPECT_EQ(offload(), BSD_ETIMEDOUT);
  offloaded_ = false;
  EXPECT_EQ(IsSocketOffloaded(a_fd_), 0);
  EXPECT_EQ(state(a_), TCPS_CLOSED);
  set_auto_step(true);
  ASSERT_TRUE(run_until([&] { return state(b_) == TCPS_CLOSED; })) << "B is reset";
}

// The iWARP road: the export commits, a second one is refused, a shared
// descriptor is refused, and the undo gives the connection back.
TEST_F(OffloadTest, ExportForAQueuePairAndItsUndo) {
  connect_pair(7300);
  stack_bytes_reach_b(2000, 4);
  const int dup = sys_dup(a_fd_);
  ASSERT_GE(dup, 0);
  ZekToeStateBlock* block = nullptr;
  EXPECT_EQ(GetTOeSocketState(a_fd_, &block, nullptr, 0), OFFLOAD_BAD_SOCKET) << "two descriptors";
  EXPECT_EQ(a_tcb()->offload_state, 0u);
  sys_close(dup);
  int qp_object = 0;
  ASSERT_EQ(GetTOeSocketState(a_fd_, &block, &qp_object, 0), 0);
  ASSERT_EQ(block, reinterpret_cast<ZekToeStateBlock*>(&a_->so_offload));
  tcp_ctl_block* tp = a_tcb();
  EXPECT_EQ(block->SndNxt, tp->snd_nxt);
  EXPECT_EQ(block->SndUna, tp->snd_una);
  EXPECT_EQ(block->RcvNxt, tp->rcv_nxt);
  EXPECT_EQ(block->SndWnd, tp->snd_wnd);
  EXPECT_EQ(block->SndMss, static_cast<std::uint32_t>(tp->snd_mss));
  EXPECT_EQ(block->ConnState, TCPS_ESTABLISHED + 1u);
  EXPECT_EQ(block->LocalPort, ntohs(sotoinpcb(a_)->inp_lport));
  EXPECT_EQ(block->RemotePort, 7300u);
  EXPECT_EQ(block->RemoteAddress, kHostB);
  EXPECT_EQ(block->TwelveSeconds, 12 * tick_rate());
  EXPECT_EQ(std::vector<std::uint8_t>(block->Flags, block->Flags + 9),
            (std::vector<std::uint8_t>{1, 1, 0, 1, 0, 0, 0, 1, 0}));
  EXPECT_EQ(a_->so_taken_over, SOCKET_TAKEN_OVER);
  EXPECT_EQ(OffLoadSend(a_fd_, block, 4, 0, 0), -OFFLOAD_TAKEN_OVER_ERROR);
  // The offload-aware calls: the queue pair's socket carries no bytes of
  // its own, and its TOE state cannot change.
  const ZekKernelSocketTable* table = OffloadKernelSocketTable();
  EXPECT_EQ(table->send(a_fd_, block, 4, 0), -OFFLOAD_TAKEN_OVER_ERROR);
  EXPECT_EQ(table->recv(a_fd_, block, 4, 0), -OFFLOAD_TAKEN_OVER_ERROR);
  const std::uint8_t on = OFFLOAD_STATE_ADAPTER;
  EXPECT_EQ(table->ioctl(a_fd_, SET_TOE_STATE_REQUEST, const_cast<std::uint8_t*>(&on)), -OFFLOAD_ALREADY);
  EXPECT_EQ(GetTOeSocketState(a_fd_, &block, &qp_object, 0), OFFLOAD_BAD_SOCKET) << "already accelerated";
  ASSERT_EQ(ReleaseTOeSocketState(a_fd_), 0);
  EXPECT_EQ(ReleaseTOeSocketState(a_fd_), OFFLOAD_BAD_SOCKET);
  EXPECT_EQ(a_->so_taken_over, 0u);
  EXPECT_TRUE(tcp_timer_active(a_tcb(), TT_KEEP));
  stack_bytes_reach_b(3000, 5);
}

// The kernel socket-call table and the socket requests reach the TOE road
// through the offload-aware slots: the TOE-state request moves the
// connection, then receive, send and shutdown go through TOE requests; the
// bottom half knows the connection's CQ while it lives.
TEST_F(OffloadTest, TheOffloadAwareCallsChooseTheRoadOfTheConnection) {
  const ZekKernelSocketTable* table = OffloadKernelSocketTable();
  const ZekKernelSocketTable* stack = kernel_socket_table();
  EXPECT_EQ(table->recv, &RecvOrOffLoadRecv);
  EXPECT_EQ(table->send, &SendOrOffLoadSend);
  EXPECT_EQ(table->shutdown, &ShutdownOrOffLoadShutdown);
  EXPECT_EQ(table->ioctl, &IoctlOrToeState);
  EXPECT_EQ(table->recvfrom, stack->recvfrom);
  EXPECT_EQ(table->close, stack->close);
  EXPECT_EQ(table->dup2, stack->dup2);

  connect_pair(7400);
  KernelBuffer buffer(8192);
  // A host connection: the stack's calls.
  std::memcpy(buffer.bytes(), "stack", 5);
  ASSERT_EQ(table->send(a_fd_, buffer.bytes(), 5, 0), 5);
  ASSERT_TRUE(step_adapter(200, [&] { return receive_some(b_).size() == 5; }));
  struct Case {
    std::uint8_t argument;
    int want;
  };
  for (const Case c : {Case{7, -1}, Case{OFFLOAD_STATE_OFF, 0}}) {
    EXPECT_EQ(table->ioctl(a_fd_, SET_TOE_STATE_REQUEST, const_cast<std::uint8_t*>(&c.argument)), c.want)
        << int{c.argument};
  }
  const int unconnected = sys_socket(AF_INET, SOCK_STREAM, 0);
  fds_.push_back(unconnected);
  const std::uint8_t on = OFFLOAD_STATE_ADAPTER;
  EXPECT_EQ(table->ioctl(unconnected, SET_TOE_STATE_REQUEST, const_cast<std::uint8_t*>(&on)), -OFFLOAD_NOT_CONNECTED);

  // The TOE-state request moves the connection (85 earlier does not bar it).
  ASSERT_EQ(table->ioctl(a_fd_, SET_TOE_STATE_REQUEST, const_cast<std::uint8_t*>(&on)), 0);
  offloaded_ = true;
  auto* cq = static_cast<MifhCqObject*>(a_->so_offload_cq);
  EXPECT_TRUE(OffloadIsToeCq(cq));
  const Bytes out = pattern(6000, 7);
  std::memcpy(buffer.bytes(), out.data(), out.size());
  Bytes got_b;
  const int sent = blocking([&] { return table->send(a_fd_, buffer.bytes(), 6000, 0); },
                            [&] {
                              const Bytes r = receive_some(b_);
                              got_b.insert(got_b.end(), r.begin(), r.end());
                            });
  ASSERT_EQ(sent, 6000);
  ASSERT_TRUE(step_adapter(500, [&] {
    const Bytes r = receive_some(b_);
    got_b.insert(got_b.end(), r.begin(), r.end());
    return got_b.size() >= out.size();
  }));
  EXPECT_EQ(got_b, out);
  const Bytes back = pattern(3000, 8);
  std::size_t b_sent = 0;
  Bytes got_a;
  while (got_a.size() < back.size()) {
    const int n = blocking([&] { return table->recv(a_fd_, buffer.bytes(), 8192, 0); },
                           [&] {
                             if (b_sent < back.size())
                               b_sent += send_some(b_, back.data() + b_sent, back.size() - b_sent);
                           });
    ASSERT_GT(n, 0);
    got_a.insert(got_a.end(), buffer.bytes(), buffer.bytes() + n);
  }
  EXPECT_EQ(got_a, back);
  EXPECT_EQ(blocking([&] { return table->shutdown(a_fd_, 1); }), 0);
  ASSERT_TRUE(step_adapter(500, [&] { return state(b_) == TCPS_CLOSE_WAIT; }));
  // The socket's end releases the TOE objects: the CQ is no TOE CQ any more.
  ASSERT_EQ(sys_close(a_fd_), 0);
  std::erase(fds_, a_fd_);
  a_ = nullptr;
  EXPECT_FALSE(OffloadIsToeCq(cq));
  ASSERT_TRUE(step_adapter(200, [&] {
    drain(*fn_);
    return ids_given_ == 1;
  }));
}

}  // namespace
