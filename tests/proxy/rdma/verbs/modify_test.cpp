// Queue-pair modify against the simulated adapter, through the kernel
// routine table: the refusals of handles and records, the attributes against
// the device's maxima, every transition of the state table, the hand-over of
// a host-stack connection (a loopback pair, and a connection whose peer is
// elsewhere with its last streaming message sent by the adapter), and the
// rollback of every failing hand-over: the connection stays a working
// host-stack connection.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "include/hw/cqp.h"
#include "include/hw/registers.h"
#include "proxy/core/async_events.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/tcpip/netinet/tcp_var.h"
#include "proxy/tcpip/offload.h"
#include "sim/frame_port.h"
#include "tests/proxy/rdma/verbs/verbs_fixture.h"

namespace {

using verbstest::kOtherAddress;
using verbstest::kSanAddress;
using verbstest::VerbsTest;

constexpr std::uint32_t kArpEntry = 7;
constexpr std::uint32_t kLocalIndex = 1;
constexpr std::uint8_t kPeerMac[6] = {2, 0, 0, 0, 0, 0x0B};

// What the adapter's frames carried (the engine's port).
class CapturePort : public zeksim::FramePort {
 public:
  bool has_room() override { return true; }
  void transmit(std::span<const std::byte> frame) override {
    std::lock_guard lock(mu_);
    frames_.emplace_back(reinterpret_cast<const std::uint8_t*>(frame.data()),
                         reinterpret_cast<const std::uint8_t*>(frame.data()) + frame.size());
  }
  std::string dump() {
    std::lock_guard lock(mu_);
    std::string o;
    char b[8];
    for (const auto& f : frames_) {
      o += "\nframe " + std::to_string(f.size()) + ":";
      for (std::size_t i = 0; i < f.size() && i < 100; ++i) {
        snprintf(b, sizeof b, " %02x", f[i]);
        o += b;
      }
    }
    return o;
  }
  // The TCP payloads of the IPv4 frames sent so far, concatenated.
  std::string tcp_payloads() {
    std::lock_guard lock(mu_);
    std::string all;
    for (const auto& f : frames_) {
      if (f.size() < 14 + 20 || f[12] != 0x08 || f[13] != 0x00 || f[14 + 9] != 6) continue;
      const std::size_t ip = (f[14] & 0xF) * 4u;
      const std::size_t total = std::size_t{f[16]} << 8 | f[17];
      const std::size_t tcp = 14 + ip;
      if (tcp + 20 > f.size()) continue;
      const std::size_t header = (f[tcp + 12] >> 4) * 4u;
      if (14 + total > f.size() || tcp + header > 14 + total) continue;
      all.append(reinterpret_cast<const char*>(f.data() + tcp + header), 14 + total - tcp - header);
    }
    return all;
  }

 private:
  std::mutex mu_;
  std::vector<std::vector<std::uint8_t>> frames_;
};

// The adapter's tables as the miniport's routines answer them (switchable).
struct Tables {
  bool arp_known = true;
  bool address_known = true;
};
Tables g_tables;

std::uint32_t arp_index(void*, std::uint32_t ipv4, std::uint32_t* index) {
  if (!g_tables.arp_known || (ipv4 != kSanAddress && ipv4 != kOtherAddress)) return 1;
  *index = kArpEntry;
  return 0;
}
std::uint32_t ip_index(void*, std::uint32_t ipv4, std::uint32_t* index) {
  if (!g_tables.address_known || (ipv4 != kSanAddress && ipv4 != kOtherAddress)) return 1;
  *index = kLocalIndex;
  return 0;
}

class ModifyTest : public VerbsTest {
 protected:
  void SetUp() override {
    g_tables = Tables{};
    record_.GetIpToArpIndex = arp_index;
    record_.GetIpaddrIndexCallback = ip_index;
    VerbsTest::SetUp();
    if (HasFatalFailure()) return;
    // The adapter's own tables: the local address at its index, the peer's
    // MAC in the ARP cache.
    MifhDeviceObj* d = &fn_->device;
    ASSERT_EQ(mifh_write_indexed(d, zekhw::idx_dest_ip(kLocalIndex), kSanAddress), 0u);
    zekhw::MifhCqpWqe arp{};
    arp.op_word = zekhw::kOpArpCache | zekhw::kArpAdd;
    arp.object_word = kArpEntry;
    for (std::uint8_t b : kPeerMac) arp.physical_address = arp.physical_address << 8 | b;
    {
      std::lock_guard lock(mu_);
      ASSERT_EQ(mifh_cqp_post(fn_->cqp, &arp, MifhPostMode::Failing, "test"), 0u);
    }
    board().attach_port(&port_);
    adapter_ = open();
    objects_ = objects(adapter_);
  }
  void TearDown() override {
    for (int s : sockets_) zektcp::sys_close(s);
    if (adapter_ != nullptr) table()->Close(adapter_);
    if (board_) board().attach_port(nullptr);
    VerbsTest::TearDown();
  }

  ZekStatus modify(std::uint64_t qp, std::uint32_t mask, std::int32_t state, std::uint64_t socket = 0,
                   const std::string& message = {}) {
    ZekQpModifyInput in{};
    in.Mask = mask;
    in.State = state;
    in.Ord = 4;
    in.Ird = 4;
    in.SqSize = 8;
    in.RqSize = 8;
    in.Socket = socket;
    in.Message = message.empty() ? nullptr : message.data();
    in.MessageLength = static_cast<std::uint32_t>(message.size());
    ZekQpModifyOutput out{};
    return table()->QpModify(adapter_, qp, &in, &out);
  }
  ZekStatus to(std::uint64_t qp, std::int32_t state) { return modify(qp, ZEK_QP_MODIFY_STATE, state); }
  std::uint32_t state_of(std::uint64_t qp) {
    ZekQpAttributes info{};
    EXPECT_EQ(table()->QpQuery(adapter_, qp, &info), ZEK_STATUS_PASS);
    return info.State;
  }

  // A connected pair {from `local`, accepted on kSanAddress}.
  std::pair<int, int> connection(std::uint32_t local) {
    using namespace zektcp;
    const int l = sys_socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = make_sockaddr_in(kSanAddress, 0);
    EXPECT_EQ(sys_bind(l, &a, sizeof a), 0);
    EXPECT_EQ(sys_listen(l, 4), 0);
    int length = sizeof a;
    EXPECT_EQ(sys_getsockname(l, &a, &length), 0);
    const int c = sys_socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from = make_sockaddr_in(local, 0);
    EXPECT_EQ(sys_bind(c, &from, sizeof from), 0);
    EXPECT_EQ(sys_connect(c, &a, sizeof a), 0);
    const int s = sys_accept(l, nullptr, nullptr);
    EXPECT_GE(s, 0);
    sys_close(l);
    sockets_.push_back(c);
    sockets_.push_back(s);
    return {c, s};
  }
  // Bytes go both ways through the host stack.
  static void still_a_host_connection(int a, int b) {
    for (auto [from, to] : {std::pair{a, b}, std::pair{b, a}}) {
      const char data[] = "host stack";
      ASSERT_EQ(zektcp::sys_send(from, data, sizeof data, 0), static_cast<int>(sizeof data));
      char got[sizeof data] = {};
      int n = 0;
      ASSERT_TRUE(eventually([&] {
        const int r = zektcp::sys_recv(to, got + n, static_cast<int>(sizeof got) - n, 0x80 /* MSG_DONTWAIT */);
        if (r > 0) n += r;
        return n == static_cast<int>(sizeof got);
      }));
      EXPECT_EQ(std::memcmp(got, data, sizeof data), 0);
    }
    EXPECT_EQ(zektcp::IsSocketOffloaded(a), 0);
  }

  void* adapter_ = nullptr;
  Objects objects_;
  CapturePort port_;
  std::vector<int> sockets_;
};

// ---- Handles and records ------------------------------------------------------------------------------------
TEST_F(ModifyTest, HandlesAndRecordsThatAreNotTheCallersAreRefused) {
  const std::uint64_t qp = make_qp(adapter_, objects_);
  ZekQpModifyInput in{};
  in.Mask = ZEK_QP_MODIFY_STATE;
  in.State = ZEK_QP_STATE_IDLE;
  ZekQpModifyOutput out{};
  int forged = 0;
  const struct {
    const char* name;
    void* adapter;
    std::uint64_t qp;
    const ZekQpModifyInput* in;
    ZekQpModifyOutput* out;
    ZekStatus want;
  } cases[] = {
      {"QP id beyond the table", adapter_, ZEK_VERBS_QP_TABLE_SIZE, &in, &out, IWARP_STATUS_QP_INVALID_HANDLE},
      {"no adapter", nullptr, qp, &in, &out, IWARP_STATUS_A_INVALID_RNIC_HANDLE},
      {"forged adapter", &forged, qp, &in, &out, IWARP_STATUS_A_INVALID_RNIC_HANDLE},
      {"no input", adapter_, qp, nullptr, &out, ZEK_STATUS_BAD_PTR},
      {"no output", adapter_, qp, &in, nullptr, ZEK_STATUS_BAD_PTR},
      {"no such queue pair", adapter_, qp + 1, &in, &out, IWARP_STATUS_QP_INVALID_HANDLE},
  };
  for (const auto& c : cases) EXPECT_EQ(table()->QpModify(c.adapter, c.qp, c.in, c.out), c.want) << c.name;
  EXPECT_NE(log_text().find("zek_qp_modify: returns with status 50050"), std::string::npos);
  // Another adapter's queue pair is no queue pair of this one.
  void* other = open();
  EXPECT_EQ(table()->QpModify(other, qp, &in, &out), IWARP_STATUS_QP_INVALID_HANDLE);
  EXPECT_EQ(table()->Close(other), ZEK_STATUS_PASS);
  EXPECT_EQ(table()->QpModify(other, qp, &in, &out), IWARP_STATUS_A_INVALID_RNIC_HANDLE) << "closed adapter";
}

TEST_F(ModifyTest, AttributesAreCheckedAgainstTheDevicesMaximaOnlyWhenSelected) {
  const std::uint64_t qp = make_qp(adapter_, objects_);
  struct Case {
    std::uint32_t mask;
    std::uint32_t ord, ird, sq, rq;
    ZekStatus want;
  };
  const Case cases[] = {
      {ZEK_QP_MODIFY_ORD, 65, 4, 8, 8, IWARP_STATUS_QP_INVALID_ORD},
      {ZEK_QP_MODIFY_IRD, 4, 65, 8, 8, IWARP_STATUS_QP_INVALID_IRD},
      {ZEK_QP_MODIFY_SQ_SIZE, 4, 4, 512, 8, IWARP_STATUS_QP_INVALID_NUM_WORK_REQS},
      {ZEK_QP_MODIFY_RQ_SIZE, 4, 4, 8, 512, IWARP_STATUS_QP_INVALID_NUM_WORK_REQS},
      {0, 65, 4, 8, 8, IWARP_STATUS_QP_INVALID_ORD},  // mask 0: every attribute
      {ZEK_QP_MODIFY_STATE, 1000, 1000, 5000, 5000, ZEK_STATUS_PASS},
      {ZEK_QP_MODIFY_ORD | ZEK_QP_MODIFY_IRD, 64, 64, 0, 0, ZEK_STATUS_PASS},
  };
  for (const Case& c : cases) {
    ZekQpModifyInput in{};
    in.Mask = c.mask;
    in.State = ZEK_QP_STATE_IDLE;
    in.Ord = c.ord;
    in.Ird = c.ird;
    in.SqSize = c.sq;
    in.RqSize = c.rq;
    ZekQpModifyOutput out{};
    EXPECT_EQ(table()->QpModify(adapter_, qp, &in, &out), c.want) << std::hex << c.mask << " " << log_text();
    if (c.want == ZEK_STATUS_PASS) {
      EXPECT_EQ(out.Ord, c.ord);
      EXPECT_EQ(out.SqSize, c.sq);
    }
  }
  EXPECT_NE(log_text().find("zek_qp_modify(): send queue elements (0x200) is greater than supported (0x1ff)"),
            std::string::npos);
  // A mask of 0 applies the sizes too: the rings are resized (queue pairs stay idle).
  ZekQpModifyInput all{};
  all.State = ZEK_QP_STATE_IDLE;
  all.Ord = 2;
  all.Ird = 2;
  all.SqSize = 100;
  all.RqSize = 20;
  ZekQpModifyOutput out{};
  ASSERT_EQ(table()->QpModify(adapter_, qp, &all, &out), ZEK_STATUS_PASS) << log_text();
  ZekQpAttributes info{};
  ASSERT_EQ(table()->QpQuery(adapter_, qp, &info), ZEK_STATUS_PASS);
  EXPECT_EQ(info.SqSize, 126u);
  EXPECT_EQ(info.RqSize, 30u);
  EXPECT_EQ(info.Ird, 2u);
}

// ---- The state table ------------------------------------------------------------------------------------------
TEST_F(ModifyTest, EveryTransitionWithoutAConnectionFollowsTheTable) {
  struct Step {
    std::int32_t to;
    ZekStatus want;
  };
  // Each path starts from a new idle queue pair.
  const std::vector<std::vector<Step>> paths = {
      {{1, 0}, {6, 0}, {6, 0}, {1, 0}},
      {{3, 0}, {1, 0}, {3, 0}, {6, 0}},
      {{3, 0}, {2, IWARP_STATUS_QP_UNABLE_TO_CHANGE_STATE}, {5, IWARP_STATUS_QP_UNABLE_TO_CHANGE_STATE}},
      {{5, IWARP_STATUS_QP_UNABLE_TO_CHANGE_STATE}, {0, IWARP_STATUS_QP_UNABLE_TO_CHANGE_STATE}},
      {{4, IWARP_STATUS_QP_UNABLE_TO_CHANGE_STATE}, {7, IWARP_STATUS_QP_UNABLE_TO_CHANGE_STATE}},
      {{6, 0},
       {2, IWARP_STATUS_QP_UNABLE_TO_CHANGE_STATE},
       {3, IWARP_STATUS_QP_UNABLE_TO_CHANGE_STATE},
       {5, IWARP_STATUS_QP_UNABLE_TO_CHANGE_STATE}},
      // IDLE to RTS is the hand-over: without a socket there is no connection.
      {{2, ZEK_STATUS_FAIL}},
  };
  for (std::size_t p = 0; p < paths.size(); ++p) {
    const std::uint64_t qp = make_qp(adapter_, objects_);
    std::uint32_t expected = ZEK_QP_STATE_IDLE;
    for (const Step& s : paths[p]) {
      EXPECT_EQ(to(qp, s.to), s.want) << "path " << p << " to " << s.to << "\n" << log_text();
      if (s.want == ZEK_STATUS_PASS) expected = static_cast<std::uint32_t>(s.to);
      EXPECT_EQ(state_of(qp), expected) << "path " << p << " to " << s.to;
    }
    EXPECT_EQ(table()->QpDestroy(adapter_, qp), ZEK_STATUS_PASS);
  }
  // A state the queue pair can never be in is reported as such.
  const std::uint64_t qp = make_qp(adapter_, objects_);
  ZekQpOf(qp_object(adapter_, qp))->State = 4;
  EXPECT_EQ(to(qp, ZEK_QP_STATE_ERROR), IWARP_STATUS_QP_INVALID_STATE);
  ZekQpOf(qp_object(adapter_, qp))->State = ZEK_QP_STATE_IDLE;
}

TEST_F(ModifyTest, ErrorToIdleWaitsForEmptyQueues) {
  const std::uint64_t qp = make_qp(adapter_, objects_);
  ASSERT_EQ(to(qp, ZEK_QP_STATE_ERROR), ZEK_STATUS_PASS);
  MifhQpObject* o = qp_object(adapter_, qp);
  for (ZEK_OSPRIM_RING* ring : {&o->RqRing, &o->SqRing}) {
    // One request outstanding on this queue.
    ring->Head = (ring->Head + 1) % ring->Size;
    EXPECT_EQ(to(qp, ZEK_QP_STATE_IDLE), IWARP_STATUS_QP_CANNOT_MODIFY_ATTRIBUTE);
    EXPECT_EQ(state_of(qp), ZEK_QP_STATE_ERROR);
    ring->Head = (ring->Head + ring->Size - 1) % ring->Size;
  }
  EXPECT_EQ(to(qp, ZEK_QP_STATE_IDLE), ZEK_STATUS_PASS);
  EXPECT_NE(log_text().find("zek_qp_modify:Send queue or Receive queue not empty"), std::string::npos);
}

// ---- The hand-over --------------------------------------------------------------------------------------------
TEST_F(ModifyTest, BothEndsOnThisHostPairTheirQueuePairsAndRtsFollowsTheTable) {
  auto [c, s] = connection(kSanAddress);
  const std::uint64_t first = make_qp(adapter_, objects_);
  const std::uint64_t second = make_qp(adapter_, objects_);
  // The accepting end goes first with its last message, which goes through
  // the socket while the other end is still the stack's.
  ASSERT_EQ(modify(first, ZEK_QP_MODIFY_STATE, ZEK_QP_STATE_RTS, static_cast<std::uint64_t>(s), "last"),
            ZEK_STATUS_PASS)
      << log_text();
  EXPECT_EQ(zektcp::IsSocketOffloaded(s), 1);
  char got[4] = {};
  ASSERT_TRUE(eventually([&] { return zektcp::sys_recv(c, got, 4, 0x80 /* MSG_DONTWAIT */) == 4; }));
  EXPECT_EQ(std::string(got, 4), "last");
  ASSERT_EQ(modify(second, ZEK_QP_MODIFY_STATE, ZEK_QP_STATE_RTS, static_cast<std::uint64_t>(c)), ZEK_STATUS_PASS)
      << log_text();
  MifhQpObject* a = qp_object(adapter_, first);
  MifhQpObject* b = qp_object(adapter_, second);
  EXPECT_EQ(ZekQpOf(a)->PeerQp, b);
  EXPECT_EQ(ZekQpOf(b)->PeerQp, a);
  EXPECT_NE(ZekQpOf(b)->Flags & ZEK_QPV_LOOPBACK, 0u);
  EXPECT_EQ(ZekQpOf(b)->ConnectionState, ZEK_QP_CONNECTION_RUNNING);
  EXPECT_EQ(ZekQpOf(a)->Flags & ZEK_QPV_STREAM_STAG, 0u) << "no region for a message the socket carried";
  ZekQpAttributes info{};
  ASSERT_EQ(table()->QpQuery(adapter_, second, &info), ZEK_STATUS_PASS);
  EXPECT_EQ(info.State, ZEK_QP_STATE_RTS);
  EXPECT_EQ(info.Socket, static_cast<std::uint64_t>(c));
  // A second hand-over of the same connection is refused: it is the adapter's.
  const std::uint64_t third = make_qp(adapter_, objects_);
  EXPECT_EQ(modify(third, ZEK_QP_MODIFY_STATE, ZEK_QP_STATE_RTS, static_cast<std::uint64_t>(c)), ZEK_STATUS_FAIL);
  EXPECT_EQ(state_of(third), ZEK_QP_STATE_IDLE);
  // RTS: back to IDLE is refused, RTS again and TERMINATE are allowed, then ERROR only.
  EXPECT_EQ(to(first, ZEK_QP_STATE_IDLE), IWARP_STATUS_QP_UNABLE_TO_CHANGE_STATE);
  EXPECT_EQ(to(first, ZEK_QP_STATE_RTS), ZEK_STATUS_PASS);
  EXPECT_EQ(to(first, ZEK_QP_STATE_TERMINATE), ZEK_STATUS_PASS) << log_text();
  EXPECT_EQ(to(first, ZEK_QP_STATE_IDLE), IWARP_STATUS_QP_UNABLE_TO_CHANGE_STATE);
  EXPECT_EQ(to(first, ZEK_QP_STATE_ERROR), ZEK_STATUS_PASS);
  // Destroying one of the pair unlinks it from the other; an RTS queue pair
  // is closed first.
  EXPECT_EQ(table()->QpDestroy(adapter_, first), ZEK_STATUS_PASS);
  EXPECT_EQ(ZekQpOf(b)->PeerQp, nullptr);
  EXPECT_EQ(table()->QpDestroy(adapter_, second), ZEK_STATUS_PASS) << log_text();
}

TEST_F(ModifyTest, TheLastStreamingMessageLeavesThroughTheAdapterAheadOfRdmaMode) {
  auto [c, s] = connection(kOtherAddress);
  const std::uint64_t qp = make_qp(adapter_, objects_);
  const std::string message = "MPA ID Rep Frame: the reply goes out as plain stream bytes";
  ASSERT_EQ(modify(qp, ZEK_QP_MODIFY_STATE, ZEK_QP_STATE_RTS, static_cast<std::uint64_t>(s), message), ZEK_STATUS_PASS)
      << log_text();
  EXPECT_NE(log_text().find("Send Stream Message  Wqe"), std::string::npos);
  EXPECT_TRUE(eventually([&] {
    settle();
    return port_.tcp_payloads().find(message) != std::string::npos;
  })) << "the adapter sent: "
      << port_.dump();
  MifhQpObject* o = qp_object(adapter_, qp);
  EXPECT_NE(ZekQpOf(o)->Flags & ZEK_QPV_STREAM_STAG, 0u);
  EXPECT_EQ(ZekQpOf(o)->PeerQp, nullptr);
  // The streaming message is no request of the caller's: a flush reports none.
  ASSERT_EQ(to(qp, ZEK_QP_STATE_ERROR), ZEK_STATUS_PASS);
  ZekWorkCompletion wc{};
  EXPECT_EQ(table()->CqPollCompletion(adapter_, objects_.cq, &wc), IWARP_STATUS_CQ_EMPTY);
  const auto before = in_use();
  EXPECT_EQ(table()->QpDestroy(adapter_, qp), ZEK_STATUS_PASS) << log_text();
  EXPECT_EQ(in_use()[2], before[2] - 1) << "the message's region index went back";
}

TEST_F(ModifyTest, AFailingHandOverLeavesAWorkingHostConnection) {
  struct Case {
    const char* name;
    std::function<void(int c, int s)> arrange;
    std::string message;
    ZekStatus want;
    bool full_ring = false;  // the send ring filled while idle: no slot for the message
  };
  const std::string too_long(ZEK_STREAM_MESSAGE_DEFAULT_MAX + 1, 'x');
  const std::vector<Case> cases = {
      {"message above the device's maximum", [](int, int) {}, too_long, IWARP_STATUS_STREAM_MESSAGE_TOO_LARGE},
      {"no ARP entry for the peer", [](int, int) { g_tables.arp_known = false; }, "", ZEK_STATUS_FAIL},
      {"no index for the local address", [](int, int) { g_tables.address_known = false; }, "", ZEK_STATUS_FAIL},
      {"unread received bytes",
       [](int c, int s) {
         ASSERT_EQ(zektcp::sys_send(s, "x", 1, 0), 1);
         char b;
         ASSERT_TRUE(eventually([&] { return zektcp::sys_recv(c, &b, 1, 0x2 /* MSG_PEEK */) == 1; }));
       },
       "", ZEK_STATUS_FAIL},
      {"a descriptor shared by two", [this](int c, int) { sockets_.push_back(zektcp::sys_dup(c)); }, "",
       ZEK_STATUS_FAIL},
      {"the adapter refuses the connection (its ARP entry is empty)",
       [this](int, int) {
         zekhw::MifhCqpWqe del{};
         del.op_word = zekhw::kOpArpCache | zekhw::kArpDelete;
         del.object_word = kArpEntry;
         std::lock_guard lock(mu_);
         ASSERT_EQ(mifh_cqp_post(fn_->cqp, &del, MifhPostMode::Failing, "test"), 0u);
       },
       "", ZEK_STATUS_FAIL},
      {"no send slot for the last message", [](int, int) {}, "hello", IWARP_STATUS_QP_TOOMANY_WRS_POSTED, true},
  };
  for (const Case& k : cases) {
    g_tables = Tables{};
    auto [c, s] = connection(kOtherAddress);
    k.arrange(c, s);
    if (HasFatalFailure()) return;
    const std::uint64_t qp = make_qp(adapter_, objects_);
    MifhQpObject* q = qp_object(adapter_, qp);
    if (k.full_ring) {
      // Sends without data, posted while idle, until the ring is full.
      std::vector<ZekSendWr> fill(q->SqRing.Size);
      for (ZekSendWr& w : fill) w.Op = ZEK_WR_SEND;
      std::uint32_t posted = 0;
      EXPECT_EQ(table()->QpPostSq(adapter_, qp, fill.data(), &posted, static_cast<std::uint32_t>(fill.size())),
                ZEK_STATUS_PASS);
      EXPECT_EQ(posted, q->SqRing.Size - ZEK_VERBS_WQ_RESERVED);
    }
    const auto* ring = static_cast<const std::uint8_t*>(q->Sq);
    const std::vector<std::uint8_t> ring_before(ring, ring + q->SqRing.Size * 128);
    const std::uint32_t head = q->SqRing.Head;
    const auto before = in_use();
    EXPECT_EQ(modify(qp, ZEK_QP_MODIFY_STATE, ZEK_QP_STATE_RTS, static_cast<std::uint64_t>(c), k.message), k.want)
        << k.name << "\n"
        << log_text();
    EXPECT_EQ(state_of(qp), ZEK_QP_STATE_IDLE) << k.name;
    EXPECT_EQ(in_use(), before) << k.name;
    EXPECT_EQ(q->SqRing.Head, head) << k.name;
    EXPECT_TRUE(std::equal(ring_before.begin(), ring_before.end(), ring)) << k.name << ": the send ring was written";
    g_tables = Tables{};
    char drain[8];
    while (zektcp::sys_recv(c, drain, sizeof drain, 0x80) > 0) {
    }
    still_a_host_connection(c, s);
    if (HasFatalFailure()) return;
    EXPECT_EQ(table()->QpDestroy(adapter_, qp), ZEK_STATUS_PASS) << k.name;
  }
}

TEST_F(ModifyTest, AnInterruptedHandOverLeavesTheConnectionWithTheQueuePair) {
  auto [c, s] = connection(kOtherAddress);
  const std::uint64_t qp = make_qp(adapter_, objects_);
  g_ZekVerbsInterruptNextWait = 1;
  EXPECT_EQ(modify(qp, ZEK_QP_MODIFY_STATE, ZEK_QP_STATE_RTS, static_cast<std::uint64_t>(c)), ZEK_STATUS_FAIL);
  // The adapter may have taken it: the stack must not carry it on as well.
  EXPECT_EQ(zektcp::IsSocketOffloaded(c), 1);
  EXPECT_NE(ZekQpOf(qp_object(adapter_, qp))->Flags & ZEK_QPV_TCP_CONTEXT_SET, 0u);
}

// ---- Asynchronous events ----------------------------------------------------------------------------------------
struct Delivered {
  std::mutex mu;
  std::vector<std::pair<std::uint32_t, std::uint64_t>> events;  // code, object
};
Delivered g_delivered;
void kernel_handler(void*, void* event) {
  const auto* r = static_cast<const MifhAsyncEventRecord*>(event);
  std::lock_guard lock(g_delivered.mu);
  g_delivered.events.emplace_back(r->EventCode, r->ObjectId);
}
std::size_t delivered() {
  std::lock_guard lock(g_delivered.mu);
  return g_delivered.events.size();
}

ZekAsyncEvent qp_event(std::uint32_t qp, std::uint16_t id) {
  ZekAsyncEvent e{};
  e.object_id = qp;
  e.event_id = id;
  e.qp = 1;
  e.iwarp_state = ZEK_QP_STATE_RTS;
  return e;
}

TEST_F(ModifyTest, AsynchronousEventsOfQueuePairsAndCqsReachTheAdaptersClient) {
  ASSERT_EQ(ZpxStartAsyncEvents(), STATUS_SUCCESS);
  {
    std::lock_guard lock(g_delivered.mu);
    g_delivered.events.clear();
  }
  ASSERT_EQ(table()->SetAsyncHandler(adapter_, &kernel_handler, nullptr), ZEK_STATUS_PASS);
  const std::uint64_t qp = make_qp(adapter_, objects_);
  // A fault of the queue pair: it goes to error and its client is told (code 7).
  ZekAsyncEvent e = qp_event(static_cast<std::uint32_t>(qp), 772);
  ZpxQueueAEQ(record_.Device, &e);
  ASSERT_TRUE(eventually([] { return delivered() == 1; })) << log_text();
  EXPECT_EQ(g_delivered.events[0], (std::pair<std::uint32_t, std::uint64_t>{7, qp}));
  EXPECT_TRUE(eventually([&] { return state_of(qp) == ZEK_QP_STATE_ERROR; }));
  // The same event again is a duplicate; an event of no queue pair goes nowhere.
  ZpxQueueAEQ(record_.Device, &e);
  ZekAsyncEvent nobody = qp_event(4000, 772);
  ZpxQueueAEQ(record_.Device, &nobody);
  // Ids are each device's own: another function's fault of its queue pair
  // of the same id leaves this adapter's alone.
  const std::uint64_t bystander = make_qp(adapter_, objects_);
  const std::uint32_t bystander_state = state_of(bystander);
  MifhDeviceObj other_function{};
  ZekAsyncEvent foreign = qp_event(static_cast<std::uint32_t>(bystander), 772);
  ZpxQueueAEQ(&other_function, &foreign);
  // The CQ's event (515) names the CQ.
  ZekAsyncEvent cq{};
  cq.object_id = reinterpret_cast<MifhCqObject*>(objects_.cq)->CqId;
  cq.event_id = 515;
  cq.cq = 1;
  ZpxQueueAEQ(record_.Device, &cq);
  ASSERT_TRUE(eventually([] { return delivered() == 2; })) << log_text();
  EXPECT_EQ(g_delivered.events[1],
            (std::pair<std::uint32_t, std::uint64_t>{32, reinterpret_cast<std::uint64_t>(objects_.cq)}));
  EXPECT_NE(log_text().find("Duplicate AEQ received"), std::string::npos);
  EXPECT_EQ(state_of(bystander), bystander_state) << "an event of another device moved the queue pair";

  // A user adapter's events go to its event ring, for its event wait.
  void* user = nullptr;
  const ZekVerbsAddress address = verbstest::address_of(kSanAddress);
  ASSERT_EQ(zek_open_user(&user, &address), ZEK_STATUS_PASS);
  static_cast<ZekIwarpAdapter*>(user)->AsyncEvents.WaiterPresent = 1;
  const Objects uo = objects(user);
  const std::uint64_t uqp = make_qp(user, uo);
  ZekAsyncEvent reset = qp_event(static_cast<std::uint32_t>(uqp), 1285);
  ZpxQueueAEQ(record_.Device, &reset);
  MifhAsyncEventSlot slot{};
  EXPECT_TRUE(eventually([&] {
    return RemoveAsyncEvent(&static_cast<ZekIwarpAdapter*>(user)->AsyncEvents, &slot) != nullptr;
  })) << log_text();
  EXPECT_EQ(slot.CodeAndKind & 0xFFFFFFFF, 5u);
  EXPECT_EQ(slot.ObjectId, uqp);
  EXPECT_EQ(delivered(), 2u) << "the kernel client hears nothing of another adapter's queue pair";
  EXPECT_EQ(table()->Close(user), ZEK_STATUS_PASS);
  ZpxStopAsyncEvents();
}

}  // namespace
