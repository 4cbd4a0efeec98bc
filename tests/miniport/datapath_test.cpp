// zekhnic's data path between two boards on the lab wire, driven through
// the NDIS stand-in's protocol side: frames of every kind and size, VLAN
// and checksum information, back-pressure, cancel, pause and restart, a
// reset in the middle of traffic, and the interrupt path (claim, budget,
// the proxy driver's slots). Every NBL sent must complete exactly once.
#include <map>
#include <set>

#include "include/hw/registers.h"
#include "miniport/bringup.h"
#include "miniport/oid.h"
#include "proxy/rdma/hw/reg_access.h"
#include "tests/miniport/datapath_fixture.h"
#include "tests/support/kernel_fixture.h"

namespace {

using datapath::frame;
using datapath::Sender;
using datapath::wait_until;

constexpr int kWaitMs = 60000;
const std::uint8_t kBroadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

class DataPathTest : public KernelTest {
 protected:
  plat::KernelOptions options() override {
    plat::KernelOptions o = KernelTest::options();
    o.clock = plat::Clock::Mode::Real;
    o.memory.bytes = std::size_t{160} << 20;
    return o;
  }
  void TearDown() override {
    sender_.reset();
    boards_.reset();
    KernelTest::TearDown();
  }
  void start(const datapath::Entries& a = {}, const datapath::Entries& b = {}) {
    boards_ = std::make_unique<datapath::TwoBoards>(kernel(), [this](std::string_view line) {
      std::lock_guard lock(log_mu_);
      log_ += std::string(line) + "\n";
    });
    std::string error;
    ASSERT_TRUE(boards_->start(a, b, &error)) << error << "\n" << log();
    sender_ = std::make_unique<Sender>();
  }
  std::string log() {
    std::lock_guard lock(log_mu_);
    return log_;
  }
  plat::ndis::Adapter& ndis(int i) { return boards_->ndis(i); }
  ZEK_ADAPTER* zek(int i) { return boards_->zek(i); }
  // Sends the lists as one chain from adapter `from`.
  void send(int from, const std::vector<NET_BUFFER_LIST*>& lists) {
    boards_->host().send(ndis(from), Sender::chain(lists));
  }
  // Each list completed exactly once: answers list -> status.
  std::map<NET_BUFFER_LIST*, NDIS_STATUS> completed_once(int from, const std::vector<NET_BUFFER_LIST*>& lists) {
    const std::set<NET_BUFFER_LIST*> sent(lists.begin(), lists.end());
    EXPECT_TRUE(wait_until(
        [&] {
          std::size_t n = 0;
          for (const auto& [l, s] : ndis(from).send_completions()) n += sent.count(l);
          return n >= lists.size();
        },
        kWaitMs))
        << "not every list completed";
    std::map<NET_BUFFER_LIST*, NDIS_STATUS> status;
    for (const auto& [l, s] : ndis(from).send_completions()) {
      if (sent.count(l) == 0) continue;
      EXPECT_TRUE(status.emplace(l, s).second) << "a list completed twice";
    }
    return status;
  }
  // One frame from A to B is sent, completes with success and arrives.
  void expect_a_frame_crosses(std::size_t length, std::uint8_t seed) {
    const auto bytes = frame(boards_->mac(1), boards_->mac(0), 0x88B5, length, seed);
    NET_BUFFER_LIST* nbl = sender_->make(bytes);
    send(0, {nbl});
    EXPECT_EQ(completed_once(0, {nbl})[nbl], NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(wait_until([&] { return received_with(1, bytes) == 1; }, kWaitMs)) << log();
  }
  // A diagnostic OID query on adapter `at` with a 4-byte buffer.
  NDIS_STATUS diagnostic(int at, NDIS_OID oid) {
    std::uint32_t any = 1;
    NDIS_OID_REQUEST r{};
    r.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof r};
    r.RequestType = NdisRequestQueryInformation;
    r.DATA.QUERY_INFORMATION.Oid = oid;
    r.DATA.QUERY_INFORMATION.InformationBuffer = &any;
    r.DATA.QUERY_INFORMATION.InformationBufferLength = sizeof any;
    return boards_->host().oid_request(ndis(at), r);
  }
  // Lists from A to B, sent with A's adapter engine stopped: the send ring
  // fills and the rest wait in the pending queue.
  std::vector<NET_BUFFER_LIST*> send_with_the_engine_stopped(int count) {
    boards_->board(0).stop();
    std::vector<NET_BUFFER_LIST*> lists;
    for (int i = 0; i < count; ++i) {
      lists.push_back(sender_->make(frame(boards_->mac(1), boards_->mac(0), 0x88B5, 600, 3)));
    }
    send(0, lists);
    EXPECT_GT(zek(0)->Send->PendingCount, 0u) << "lists wait behind the ring";
    return lists;
  }
  std::size_t completions_of(int from, const std::vector<NET_BUFFER_LIST*>& lists) {
    const std::set<NET_BUFFER_LIST*> sent(lists.begin(), lists.end());
    std::size_t n = 0;
    for (const auto& [l, s] : ndis(from).send_completions()) n += sent.count(l);
    return n;
  }
  std::size_t received_with(int at, const std::vector<std::uint8_t>& bytes) {
    std::size_t n = 0;
    for (const auto& f : ndis(at).received_frames()) n += f == bytes;
    return n;
  }

  std::unique_ptr<datapath::TwoBoards> boards_;
  std::unique_ptr<Sender> sender_;
  std::mutex log_mu_;
  std::string log_;
};

// Unicast both ways, broadcast, and a short frame padded to the minimum;
// every list completes once with success and the receive ring stays full.
TEST_F(DataPathTest, FramesCrossTheWireBothWays) {
  start();
  struct Case {
    const char* name;
    int from;
    bool broadcast;
    std::size_t length;
    std::size_t received;  // as the peer sees it
  };
  const Case cases[] = {
      {"1514 bytes A to B", 0, false, 1514, 1514},
      {"1514 bytes B to A", 1, false, 1514, 1514},
      {"broadcast", 0, true, 100, 100},
      {"42 bytes, padded to 60", 1, false, 42, 60},
      {"257 bytes, headers copied", 0, false, 257, 257},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int to = 1 - c.from;
    const auto bytes = frame(c.broadcast ? kBroadcast : boards_->mac(to), boards_->mac(c.from), 0x88B5, c.length,
                             static_cast<std::uint8_t>(c.length));
    std::vector<NET_BUFFER_LIST*> lists = {sender_->make(bytes, 3)};
    send(c.from, lists);
    for (const auto& [l, s] : completed_once(c.from, lists)) EXPECT_EQ(s, NDIS_STATUS_SUCCESS);
    auto expected = bytes;
    expected.resize(c.received, 0);
    EXPECT_TRUE(wait_until([&] { return received_with(to, expected) == 1; }, kWaitMs)) << log();
  }
  // Once the DPCs are done, every buffer is back in the ring.
  for (int i = 0; i < 2; ++i) {
    ZEK_ADAPTER* z = zek(i);
    EXPECT_TRUE(wait_until([z] { return z->DpcRunning == 0 && z->Recv->Posted == z->Recv->PostLimit; }, kWaitMs));
    EXPECT_GT(z->DpcCount, 0u);
  }
}

// An IPv4 frame with a TCP or UDP header, its checksums left wrong (zero).
std::vector<std::uint8_t> ipv4_frame(const std::uint8_t* to, const std::uint8_t* from, std::uint8_t protocol,
                                     std::size_t payload) {
  const std::size_t l4 = protocol == 6 ? 20 : 8;
  auto f = frame(to, from, 0x0800, 14 + 20 + l4 + payload, 0x33);
  std::uint8_t* ip = f.data() + 14;
  std::memset(ip, 0, 20 + l4);
  ip[0] = 0x45;
  const std::size_t total = 20 + l4 + payload;
  ip[2] = static_cast<std::uint8_t>(total >> 8);
  ip[3] = static_cast<std::uint8_t>(total);
  ip[8] = 64;
  ip[9] = protocol;
  const std::uint8_t addresses[8] = {192, 0, 2, 1, 192, 0, 2, 2};
  std::memcpy(ip + 12, addresses, 8);
  std::uint8_t* l4h = ip + 20;
  l4h[0] = 0x13;
  l4h[1] = 0x88;
  l4h[2] = 0x13;
  l4h[3] = 0x89;
  if (protocol == 6) {
    l4h[12] = 0x50;
  } else {
    l4h[4] = static_cast<std::uint8_t>((8 + payload) >> 8);
    l4h[5] = static_cast<std::uint8_t>(8 + payload);
    l4h[6] = 0xBE;  // a UDP checksum that is present and wrong
    l4h[7] = 0xEF;
  }
  return f;
}

NDIS_TCP_IP_CHECKSUM_NET_BUFFER_LIST_INFO checksum_of(ULONG_PTR value) {
  NDIS_TCP_IP_CHECKSUM_NET_BUFFER_LIST_INFO info;
  info.Value = reinterpret_cast<PVOID>(value);
  return info;
}

// Checksum offload end to end: a list that asks for it leaves with its
// checksums filled and arrives marked good; one that does not ask leaves as
// it is and arrives marked bad but indicated; a receiver with offload off
// marks nothing; a sender with offload off refuses a list that asks.
TEST_F(DataPathTest, ChecksumFlagsFollowTheOffloadAndTheFrame) {
  start({}, {});
  struct Case {
    const char* name;
    std::uint8_t protocol;
    bool ask;
    std::uint32_t receiver_offload;
    bool ip_ok, ip_bad, tcp_ok, tcp_bad, udp_ok, udp_bad;
  };
  const Case cases[] = {
      {"TCP, offload asked", 6, true, 1, true, false, true, false, false, false},
      {"UDP, offload asked", 17, true, 1, true, false, false, false, true, false},
      {"TCP, not asked: sent as it is", 6, false, 1, false, true, false, true, false, false},
      {"UDP, not asked", 17, false, 1, false, true, false, false, false, true},
      {"receiver without offload", 6, true, 0, false, false, false, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zek(1)->Proxy.OffloadEnable = c.receiver_offload;
    const std::size_t before = ndis(1).received_info().size();
    const auto bytes = ipv4_frame(boards_->mac(1), boards_->mac(0), c.protocol, 100);
    NET_BUFFER_LIST* nbl = sender_->make(bytes, 2);
    NDIS_TCP_IP_CHECKSUM_NET_BUFFER_LIST_INFO ask;
    ask.Value = nullptr;
    if (c.ask) {
      ask.Transmit.IsIPv4 = 1;
      (c.protocol == 6 ? ask.Transmit.TcpChecksum : ask.Transmit.UdpChecksum) = 1;
    }
    NET_BUFFER_LIST_INFO(nbl, TcpIpChecksumNetBufferListInfo) = ask.Value;
    send(0, {nbl});
    for (const auto& [l, s] : completed_once(0, {nbl})) EXPECT_EQ(s, NDIS_STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return ndis(1).received_info().size() > before; }, kWaitMs));
    const auto info = checksum_of(ndis(1).received_info().back().checksum);
    EXPECT_EQ(info.Receive.IpChecksumSucceeded, c.ip_ok);
    EXPECT_EQ(info.Receive.IpChecksumFailed, c.ip_bad);
    EXPECT_EQ(info.Receive.TcpChecksumSucceeded, c.tcp_ok);
    EXPECT_EQ(info.Receive.TcpChecksumFailed, c.tcp_bad);
    EXPECT_EQ(info.Receive.UdpChecksumSucceeded, c.udp_ok);
    EXPECT_EQ(info.Receive.UdpChecksumFailed, c.udp_bad);
  }
  // The sender's offload off: a list that asks for it fails alone.
  zek(0)->Proxy.OffloadEnable = 0;
  NDIS_TCP_IP_CHECKSUM_NET_BUFFER_LIST_INFO ask;
  ask.Value = nullptr;
  ask.Transmit.IsIPv4 = 1;
  NET_BUFFER_LIST* asking = sender_->make(ipv4_frame(boards_->mac(1), boards_->mac(0), 6, 10));
  NET_BUFFER_LIST* plain = sender_->make(frame(boards_->mac(1), boards_->mac(0), 0x88B5, 80, 1));
  NET_BUFFER_LIST_INFO(asking, TcpIpChecksumNetBufferListInfo) = ask.Value;
  send(0, {asking, plain});
  auto status = completed_once(0, {asking, plain});
  EXPECT_EQ(status[asking], NDIS_STATUS_FAILURE);
  EXPECT_EQ(status[plain], NDIS_STATUS_SUCCESS);
}

// With a VLAN ID configured, a list's 802.1Q information puts the tag on
// the wire (the configured ID, the list's priority); the receiver's
// adapter strips it and the indicated list carries it.
TEST_F(DataPathTest, VlanTagsAreInsertedAndStripped) {
  start({{"VlanEnabled", "5"}}, {{"VlanEnabled", "5"}});
  const auto bytes = frame(boards_->mac(1), boards_->mac(0), 0x88B5, 300, 9);
  NET_BUFFER_LIST* tagged = sender_->make(bytes);
  NDIS_NET_BUFFER_LIST_8021Q_INFO q;
  q.Value = nullptr;
  q.TagHeader.UserPriority = 3;
  q.TagHeader.VlanId = 5;
  NET_BUFFER_LIST_INFO(tagged, Ieee8021QNetBufferListInfo) = q.Value;
  NET_BUFFER_LIST* untagged = sender_->make(bytes);
  send(0, {tagged, untagged});
  for (const auto& [l, s] : completed_once(0, {tagged, untagged})) EXPECT_EQ(s, NDIS_STATUS_SUCCESS);
  ASSERT_TRUE(wait_until([&] { return received_with(1, bytes) == 2; }, kWaitMs)) << log();
  const auto info = ndis(1).received_info();
  ASSERT_EQ(info.size(), 2u);
  NDIS_NET_BUFFER_LIST_8021Q_INFO got;
  got.Value = reinterpret_cast<PVOID>(info[0].ieee8021q);
  EXPECT_EQ(got.TagHeader.VlanId, 5u);
  EXPECT_EQ(got.TagHeader.UserPriority, 3u);
  EXPECT_EQ(info[1].ieee8021q, 0u) << "an untagged frame carries no 802.1Q information";
}

// Multicast: a group in the list passes the adapter's hash and the
// miniport's list; a group outside the list whose hash collides passes the
// adapter but not the miniport, and its buffer goes back to the ring; with
// all-multicast it is indicated.
TEST_F(DataPathTest, MulticastPassesTheHashAndTheList) {
  start();
  ZEK_ADAPTER* rx = zek(1);
  const std::uint8_t listed[6] = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
  std::uint32_t listed_index = 0;
  ASSERT_EQ(mifh_calculate_mchash_index(listed, &listed_index), 0u);
  std::uint8_t collides[6] = {0x01, 0x00, 0x5E, 0x00, 0x01, 0x00};
  for (unsigned i = 0; i < 65536; ++i) {
    collides[4] = static_cast<std::uint8_t>(i >> 8);
    collides[5] = static_cast<std::uint8_t>(i);
    std::uint32_t index = 0;
    mifh_calculate_mchash_index(collides, &index);
    if (index == listed_index && std::memcmp(collides, listed, 6) != 0) break;
  }
  // No OID path sets the list yet: it is set in the adapter block.
  std::memcpy(rx->MulticastList[0], listed, 6);
  rx->MulticastCount = 1;
  ASSERT_EQ(CommonSetMulticastList(rx), 0u);
  ASSERT_EQ(mifh_enable_multicast(&rx->HwInfo->Device, rx->PciFunction, 1), 0u);
  struct Case {
    const char* name;
    const std::uint8_t* group;
    ULONG filter;
    bool indicated;
  };
  const ULONG plain = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST;
  const Case cases[] = {
      {"listed group", listed, plain, true},
      {"unlisted group of the same hash", collides, plain, false},
      {"unlisted group with all-multicast", collides, plain | NDIS_PACKET_TYPE_ALL_MULTICAST, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rx->PacketFilter = c.filter;
    const std::uint64_t filtered = rx->Recv->FilteredMulticast;
    const std::uint64_t frames = rx->Recv->Frames;
    const auto bytes = frame(c.group, boards_->mac(0), 0x88B5, 120, c.group[5]);
    send(0, {sender_->make(bytes)});
    ASSERT_TRUE(wait_until([&] { return rx->Recv->Frames > frames; }, kWaitMs)) << "the adapter's hash let it through";
    if (c.indicated) {
      EXPECT_TRUE(wait_until([&] { return received_with(1, bytes) == 1; }, kWaitMs));
    } else {
      EXPECT_TRUE(wait_until([&] { return rx->Recv->FilteredMulticast == filtered + 1; }, kWaitMs));
      EXPECT_EQ(received_with(1, bytes), 0u);
    }
    EXPECT_TRUE(wait_until([&] { return rx->Recv->Posted == rx->Recv->PostLimit; }, kWaitMs))
        << "the buffer went back to the ring";
  }
}

// Jumbo frames when JumboFrames asks for them: every size up to 9014 bytes.
TEST_F(DataPathTest, JumboFramesCrossWhenBothSidesAskForThem) {
  start({{"JumboFrames", "1"}}, {{"JumboFrames", "1"}});
  for (std::size_t length : {60u, 1514u, 4000u, 9014u}) {
    SCOPED_TRACE(length);
    const auto bytes = frame(boards_->mac(1), boards_->mac(0), 0x88B5, length, static_cast<std::uint8_t>(length));
    std::vector<NET_BUFFER_LIST*> lists = {sender_->make(bytes, 4)};
    send(0, lists);
    for (const auto& [l, s] : completed_once(0, lists)) EXPECT_EQ(s, NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(wait_until([&] { return received_with(1, bytes) == 1; }, kWaitMs)) << log();
  }
}

// A jumbo frame from a peer to a function without JumboFrames is dropped
// (the adapter counts it) and the function goes on receiving.
TEST_F(DataPathTest, AJumboFrameToAFunctionWithoutThemIsDroppedAndReceptionGoesOn) {
  start({{"JumboFrames", "1"}}, {});
  const auto jumbo = frame(boards_->mac(1), boards_->mac(0), 0x88B5, 4000, 0x61);
  NET_BUFFER_LIST* nbl = sender_->make(jumbo);
  send(0, {nbl});
  EXPECT_EQ(completed_once(0, {nbl})[nbl], NDIS_STATUS_SUCCESS) << "sent: the wire carries it";
  EXPECT_TRUE(wait_until([&] { return boards_->board(1).nic_counters().too_long == 1; }, kWaitMs)) << log();
  for (std::uint8_t seed = 0x62; seed < 0x65; ++seed) expect_a_frame_crosses(1514, seed);
  EXPECT_EQ(received_with(1, jumbo), 0u);
}

// A chain larger than the send ring: the lists that do not fit wait in the
// pending queue and start as completions free slots; all arrive in order.
TEST_F(DataPathTest, ListsBeyondTheRingWaitAndArriveInOrder) {
  start({{"SendQueueSize", "32"}}, {});
  std::vector<NET_BUFFER_LIST*> lists;
  std::vector<std::vector<std::uint8_t>> frames;
  for (int i = 0; i < 150; ++i) {
    frames.push_back(frame(boards_->mac(1), boards_->mac(0), 0x88B5, 1000, static_cast<std::uint8_t>(i)));
    lists.push_back(sender_->make(frames.back()));
  }
  send(0, lists);
  for (const auto& [l, s] : completed_once(0, lists)) EXPECT_EQ(s, NDIS_STATUS_SUCCESS);
  ASSERT_TRUE(wait_until([&] { return ndis(1).receive_count() >= frames.size(); }, kWaitMs));
  EXPECT_EQ(ndis(1).received_frames(), frames);
  EXPECT_EQ(zek(0)->Send->PendingCount, 0u);
  EXPECT_EQ(zek(0)->Send->Busy, 0u);
}

// A list of several net buffers completes once, after its last frame; one
// with more frames than the ring ever takes fails at once instead of
// blocking the lists behind it.
TEST_F(DataPathTest, AListOfManyFramesCompletesOnceAfterItsLast) {
  start({{"SendQueueSize", "32"}}, {});
  // A list whose net buffers are those of other lists, chained.
  auto multi = [&](int frames, std::uint8_t seed, std::vector<std::vector<std::uint8_t>>* bytes) {
    std::vector<NET_BUFFER_LIST*> parts;
    for (int i = 0; i < frames; ++i) {
      bytes->push_back(frame(boards_->mac(1), boards_->mac(0), 0x88B5, 700, static_cast<std::uint8_t>(seed + i)));
      parts.push_back(sender_->make(bytes->back()));
    }
    for (int i = 0; i + 1 < frames; ++i) parts[i]->FirstNetBuffer->Next = parts[i + 1]->FirstNetBuffer;
    return parts[0];
  };
  std::vector<std::vector<std::uint8_t>> fits_bytes, too_many_bytes, after_bytes;
  NET_BUFFER_LIST* fits = multi(20, 0, &fits_bytes);
  NET_BUFFER_LIST* too_many = multi(30, 100, &too_many_bytes);
  NET_BUFFER_LIST* after = multi(3, 200, &after_bytes);
  send(0, {fits, too_many, after});
  auto status = completed_once(0, {fits, too_many, after});
  EXPECT_EQ(status[fits], NDIS_STATUS_SUCCESS);
  EXPECT_EQ(status[too_many], NDIS_STATUS_RESOURCES);
  EXPECT_EQ(status[after], NDIS_STATUS_SUCCESS);
  auto expected = fits_bytes;
  expected.insert(expected.end(), after_bytes.begin(), after_bytes.end());
  ASSERT_TRUE(wait_until([&] { return ndis(1).receive_count() >= expected.size(); }, kWaitMs));
  EXPECT_EQ(ndis(1).received_frames(), expected);
  // The chained net buffers go back to their own lists before those are freed.
  for (NET_BUFFER_LIST* l : {fits, too_many, after}) {
    for (NET_BUFFER* nb = l->FirstNetBuffer; nb != nullptr;) {
      NET_BUFFER* next = nb->Next;
      nb->Next = nullptr;
      nb = next;
    }
  }
}

// Cancel by ID takes the waiting lists that carry it (they complete as
// aborted, once) and leaves the others; an ID no list carries completes
// nothing.
TEST_F(DataPathTest, CancelTakesOnlyTheWaitingListsOfItsId) {
  start({{"SendQueueSize", "32"}}, {});
  constexpr ULONG_PTR kId = 7;
  std::vector<NET_BUFFER_LIST*> lists;
  for (int i = 0; i < 120; ++i) {
    NET_BUFFER_LIST* l = sender_->make(frame(boards_->mac(1), boards_->mac(0), 0x88B5, 1500, 0));
    if (i >= 20) NET_BUFFER_LIST_INFO(l, NetBufferListCancelId) = reinterpret_cast<PVOID>(kId);
    lists.push_back(l);
  }
  send(0, lists);
  ZekCancelSend(zek(0), reinterpret_cast<PVOID>(kId));
  const auto status = completed_once(0, lists);
  std::size_t aborted = 0, delivered = 0;
  for (std::size_t i = 0; i < lists.size(); ++i) {
    const NDIS_STATUS s = status.at(lists[i]);
    if (i < 20) {
      EXPECT_EQ(s, NDIS_STATUS_SUCCESS) << i;
    } else {
      EXPECT_TRUE(s == NDIS_STATUS_SUCCESS || s == NDIS_STATUS_REQUEST_ABORTED) << i;
    }
    aborted += s == NDIS_STATUS_REQUEST_ABORTED;
    delivered += s == NDIS_STATUS_SUCCESS;
  }
  EXPECT_GT(aborted, 0u) << "lists were waiting when the cancel came";
  ASSERT_TRUE(wait_until([&] { return ndis(1).receive_count() >= delivered; }, kWaitMs));
  EXPECT_EQ(ndis(1).receive_count(), delivered) << "what was aborted never left";
  const std::uint64_t seen = ndis(0).send_completion_count();
  ZekCancelSend(zek(0), reinterpret_cast<PVOID>(ULONG_PTR{99}));
  EXPECT_EQ(ndis(0).send_completion_count(), seen);
}

// A pause completes every list out (sent, or aborted), refuses sends while
// paused, and a restart carries traffic again.
TEST_F(DataPathTest, PauseCompletesEverythingAndRestartCarriesOn) {
  start({{"SendQueueSize", "32"}}, {});
  std::vector<NET_BUFFER_LIST*> lists;
  for (int i = 0; i < 100; ++i) {
    lists.push_back(sender_->make(frame(boards_->mac(1), boards_->mac(0), 0x88B5, 1514, 0)));
  }
  send(0, lists);
  ASSERT_EQ(boards_->host().pause(ndis(0)), NDIS_STATUS_SUCCESS);
  // Everything is back by the time the pause has returned.
  std::size_t completed = 0, sent = 0;
  for (const auto& [l, s] : ndis(0).send_completions()) {
    EXPECT_TRUE(s == NDIS_STATUS_SUCCESS || s == NDIS_STATUS_REQUEST_ABORTED);
    ++completed;
    sent += s == NDIS_STATUS_SUCCESS;
  }
  EXPECT_EQ(completed, lists.size());
  completed_once(0, lists);
  // The pause waited for the frames the adapter held: each list reported
  // sent reached the peer, and none reported aborted did.
  EXPECT_GT(sent, 0u);
  ASSERT_TRUE(wait_until([&] { return ndis(1).receive_count() >= sent; }, kWaitMs)) << log();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(ndis(1).receive_count(), sent);
  // The miniport's own refusal while paused.
  NET_BUFFER_LIST* refused = sender_->make(frame(boards_->mac(1), boards_->mac(0), 0x88B5, 60, 0));
  ZekSendNetBufferLists(zek(0), refused, 0, 0);
  EXPECT_EQ(completed_once(0, {refused})[refused], NDIS_STATUS_PAUSED);
  ASSERT_EQ(boards_->host().restart(ndis(0)), NDIS_STATUS_SUCCESS);
  expect_a_frame_crosses(200, 0x55);
}

// The completing thread hands its batch to NDIS after it has released the
// send lock; a pause that finds the ring empty must still wait for that
// batch, or NDIS would see the pause done before every send.
TEST_F(DataPathTest, APauseWaitsForCompletionsOnTheirWayToNdis) {
  start({{"SendQueueSize", "32"}}, {});
  ndis(0).delay_send_completions(std::chrono::milliseconds(100));
  std::vector<NET_BUFFER_LIST*> lists;
  for (int i = 0; i < 8; ++i) {
    lists.push_back(sender_->make(frame(boards_->mac(1), boards_->mac(0), 0x88B5, 1514, 0)));
  }
  send(0, lists);
  ASSERT_EQ(boards_->host().pause(ndis(0)), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(ndis(0).send_completions().size(), lists.size()) << "the pause returned before every send was back";
  ndis(0).delay_send_completions(std::chrono::milliseconds(0));
  completed_once(0, lists);
  ASSERT_EQ(boards_->host().restart(ndis(0)), NDIS_STATUS_SUCCESS);
}

// A reset in the middle of traffic loses no list: each completes once
// (sent, refused while the reset runs, or aborted with the old ring), and
// traffic flows afterwards.
TEST_F(DataPathTest, AResetInTheMiddleOfTrafficLosesNoList) {
  start({{"SendQueueSize", "32"}}, {});
  std::vector<NET_BUFFER_LIST*> lists;
  std::thread resetter([&] {
    wait_until([&] { return ndis(0).send_completion_count() >= 40; }, kWaitMs);
    EXPECT_EQ(boards_->host().reset(ndis(0)), NDIS_STATUS_PENDING);
  });
  for (int round = 0; round < 25; ++round) {
    std::vector<NET_BUFFER_LIST*> chain;
    for (int i = 0; i < 16; ++i) {
      chain.push_back(sender_->make(frame(boards_->mac(1), boards_->mac(0), 0x88B5, 1200, 0)));
    }
    lists.insert(lists.end(), chain.begin(), chain.end());
    send(0, chain);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  resetter.join();
  for (const auto& [l, s] : completed_once(0, lists)) {
    EXPECT_TRUE(s == NDIS_STATUS_SUCCESS || s == NDIS_STATUS_RESET_IN_PROGRESS || s == NDIS_STATUS_REQUEST_ABORTED)
        << std::hex << s;
  }
  ASSERT_TRUE(wait_until([&] { return ndis(0).resets() >= 1 && !ndis(0).reset_in_progress(); }, kWaitMs)) << log();
  expect_a_frame_crosses(600, 0x77);
}

// The data path's stop completes the lists that wait at once and gives the
// ring's frames their time; its start resets the function, which then sends
// and receives again with the link indicated up.
TEST_F(DataPathTest, StoppingTheDataPathCompletesItsSendsAndStartingItCarriesOn) {
  start({{"SendQueueSize", "32"}}, {});
  const auto lists = send_with_the_engine_stopped(60);
  const std::uint32_t in_ring = zek(0)->Send->Busy;
  ASSERT_EQ(diagnostic(0, OID_ZEK_STOP_DATA_PATH), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(completions_of(0, lists), lists.size() - in_ring) << "every waiting list is back when the stop returns";
  boards_->board(0).start();
  for (const auto& [l, s] : completed_once(0, lists)) {
    EXPECT_TRUE(s == NDIS_STATUS_SUCCESS || s == NDIS_STATUS_REQUEST_ABORTED) << std::hex << s;
  }
  ASSERT_EQ(diagnostic(0, OID_ZEK_START_DATA_PATH), NDIS_STATUS_SUCCESS);
  ASSERT_TRUE(wait_until(
      [&] {
        return zek(0)->LinkIndicated == ZEK_LINK_INDICATED_UP && (zek(0)->Flags & ZEK_FLAG_RESET_IN_PROGRESS) == 0;
      },
      kWaitMs))
      << log();
  expect_a_frame_crosses(300, 0x31);
  const auto back = frame(boards_->mac(0), boards_->mac(1), 0x88B5, 300, 0x32);
  NET_BUFFER_LIST* nbl = sender_->make(back);
  send(1, {nbl});
  EXPECT_EQ(completed_once(1, {nbl})[nbl], NDIS_STATUS_SUCCESS);
  EXPECT_TRUE(wait_until([&] { return received_with(0, back) == 1; }, kWaitMs)) << "A receives again\n" << log();
}

// With the link down after it was up, the sixth hang check completes the
// lists that wait, as disconnected; the frames the adapter still holds go
// with the reset it asks for, each list once.
TEST_F(DataPathTest, TheSixthLinkDownCheckCompletesTheWaitingSends) {
  start({{"SendQueueSize", "32"}}, {});
  const auto lists = send_with_the_engine_stopped(60);
  const std::uint32_t in_ring = zek(0)->Send->Busy;
  boards_->board(0).set_link_allowed(false);
  ASSERT_TRUE(wait_until([&] { return completions_of(0, lists) >= lists.size() - in_ring; }, kWaitMs))
      << "the waiting lists never completed\n"
      << log();
  boards_->board(0).start();
  std::size_t disconnected = 0;
  for (const auto& [l, s] : completed_once(0, lists)) {
    EXPECT_TRUE(s == NDIS_STATUS_MEDIA_DISCONNECTED || s == NDIS_STATUS_SUCCESS || s == NDIS_STATUS_REQUEST_ABORTED)
        << std::hex << s;
    disconnected += s == NDIS_STATUS_MEDIA_DISCONNECTED;
  }
  EXPECT_EQ(disconnected, lists.size() - in_ring);
  boards_->board(0).set_link_allowed(true);
  ASSERT_TRUE(wait_until(
      [&] {
        return zek(0)->LinkIndicated == ZEK_LINK_INDICATED_UP && !ndis(0).reset_in_progress() &&
               (zek(0)->Flags & ZEK_FLAG_RESET_IN_PROGRESS) == 0;
      },
      kWaitMs))
      << log();
  expect_a_frame_crosses(400, 0x41);
}

// The claim: not the function's while the master enable is off or no
// enabled cause is set; the function's when one is, and the claim turns the
// master enable off and keeps the cause.
TEST_F(DataPathTest, TheServiceRoutineClaimsByTheMasterEnableAndTheCause) {
  start();
  ZEK_ADAPTER* rx = zek(1);
  MifhDeviceObj* device = &rx->HwInfo->Device;
  const std::uint32_t own_ceq = zekhw::intr_ceq_bit(rx->PciFunction);
  ZekDisableInterrupts(rx);
  ASSERT_TRUE(wait_until([&] { return rx->DpcRunning == 0; }, kWaitMs));
  EXPECT_FALSE(mifh_check_interrupt(device)) << "master enable off";
  // A frame arrives while interrupts are off: its completion event sets the
  // cause, and no DPC takes it.
  const auto bytes = frame(boards_->mac(1), boards_->mac(0), 0x88B5, 90, 3);
  send(0, {sender_->make(bytes)});
  ASSERT_TRUE(wait_until([&] { return (mifh_read_reg(device, zekhw::kRegIntrCause) & own_ceq) != 0; }, kWaitMs));
  // The master enable on with the queue's bit masked: no line, and the claim sees the cause.
  const std::uint32_t enabled = device->EnabledInterruptMask;
  device->EnabledInterruptMask = enabled & ~own_ceq & ~zekhw::kIntrLinkMask & ~zekhw::kIntrAeqMask;
  mifh_write_reg(device, zekhw::kRegIntrMask, mifh_read_reg(device, zekhw::kRegIntrMask) | zekhw::kIntrMasterEnable);
  EXPECT_FALSE(mifh_check_interrupt(device)) << "no enabled cause";
  device->EnabledInterruptMask = enabled;
  EXPECT_TRUE(mifh_check_interrupt(device));
  EXPECT_EQ(mifh_read_reg(device, zekhw::kRegIntrMask) & zekhw::kIntrMasterEnable, 0u);
  EXPECT_NE(device->LastInterruptStatus & own_ceq, 0u);
  // Enabled again, the frame is taken.
  ZekEnableInterrupts(rx);
  EXPECT_TRUE(wait_until([&] { return received_with(1, bytes) == 1; }, kWaitMs));
}

// The DPC's budget is configurable: with none, each pass hands the rest of
// its work to a new interrupt through a no-op control request, and nothing
// is lost; the running flag is never left set.
TEST_F(DataPathTest, ADpcOverItsBudgetHandsTheRestToANewInterrupt) {
  start();
  ZEK_ADAPTER* rx = zek(1);
  rx->DpcBudgetMs = 0;
  std::vector<std::vector<std::uint8_t>> frames;
  std::vector<NET_BUFFER_LIST*> lists;
  for (int i = 0; i < 200; ++i) {
    frames.push_back(frame(boards_->mac(1), boards_->mac(0), 0x88B5, 400, static_cast<std::uint8_t>(i)));
    lists.push_back(sender_->make(frames.back()));
  }
  send(0, lists);
  completed_once(0, lists);
  ASSERT_TRUE(wait_until([&] { return ndis(1).receive_count() >= frames.size(); }, kWaitMs));
  EXPECT_EQ(ndis(1).received_frames(), frames);
  EXPECT_GT(rx->NoOpsPosted, 0u);
  EXPECT_TRUE(wait_until([&] { return rx->DpcRunning == 0; }, kWaitMs));
  rx->DpcBudgetMs = ZEK_DPC_BUDGET_MS;
}

// The proxy driver's slots are called from the DPC only while the record
// says it is attached and the halt has not closed them.
std::atomic<int> g_bottom_halves{0};
std::atomic<int> g_refills{0};
TEST_F(DataPathTest, TheProxySlotsAreCalledOnlyWhileAttached) {
  start();
  ZEK_ADAPTER* rx = zek(1);
  NicProxyInterface& record = rx->Proxy.Shared;
  record.BottomHalfSlot = [](NicProxyInterface*, std::uint32_t) { ++g_bottom_halves; };
  record.CqpRefillSlot = [](MifhCqpObject*) { ++g_refills; };
  auto traffic = [&](std::uint8_t seed) {
    const auto bytes = frame(boards_->mac(1), boards_->mac(0), 0x88B5, 100, seed);
    send(0, {sender_->make(bytes)});
    ASSERT_TRUE(wait_until([&] { return received_with(1, bytes) == 1; }, kWaitMs));
    ASSERT_TRUE(wait_until([&] { return rx->DpcRunning == 0; }, kWaitMs));
  };
  g_bottom_halves = 0;
  traffic(1);
  EXPECT_EQ(g_bottom_halves, 0) << "not attached";
  __atomic_store_n(&record.ProxyAttached, 1u, __ATOMIC_RELEASE);
  traffic(2);
  EXPECT_GT(g_bottom_halves, 0);
  InterlockedExchange(&rx->ProxySlotsClosed, 1);
  const int seen = g_bottom_halves;
  traffic(3);
  EXPECT_EQ(g_bottom_halves, seen) << "closed by the halt";
  __atomic_store_n(&record.ProxyAttached, 0u, __ATOMIC_RELEASE);
  record.BottomHalfSlot = nullptr;
  record.CqpRefillSlot = nullptr;
  InterlockedExchange(&rx->ProxySlotsClosed, 0);
}

// Asynchronous events are taken and acknowledged whether or not the proxy
// driver is attached (a small event queue fills up otherwise), and handed
// to its slot, decoded, only while it is.
std::vector<ZekAsyncEvent> g_events;
TEST_F(DataPathTest, AsynchronousEventsAreAcknowledgedAndHandedOnOnlyWhileAttached) {
  start({}, {{"AeqElem", "32"}});
  ZEK_ADAPTER* rx = zek(1);
  NicProxyInterface& record = rx->Proxy.Shared;
  g_events.clear();
  record.AsyncEventSlot = [](MifhDeviceObj*, const ZekAsyncEvent* e) { g_events.push_back(*e); };
  auto post = [&](std::uint32_t object) {
    zeksim::AsyncEvent event;
    event.context = 0x1000 + object;
    event.object_id = object;
    event.fields.event_id = 0x102;
    event.fields.qp = true;
    return wait_until([&] { return boards_->board(1).post_async_event(rx->PciFunction, event); }, kWaitMs);
  };
  // Ten times the queue's size: each entry must have been given back.
  for (std::uint32_t i = 0; i < 320; ++i) ASSERT_TRUE(post(i)) << "event " << i << "\n" << log();
  ASSERT_TRUE(wait_until([&] { return rx->AsyncEvents == 320; }, kWaitMs));
  EXPECT_TRUE(g_events.empty()) << "not attached";
  __atomic_store_n(&record.ProxyAttached, 1u, __ATOMIC_RELEASE);
  for (std::uint32_t i = 0; i < 300; ++i) ASSERT_TRUE(post(i));
  ASSERT_TRUE(wait_until([&] { return rx->AsyncEvents == 620; }, kWaitMs));
  ASSERT_EQ(g_events.size(), 300u);
  for (std::uint32_t i = 0; i < 300; ++i) {
    EXPECT_EQ(g_events[i].object_id, i);
    EXPECT_EQ(g_events[i].context, 0x1000u + i);
    EXPECT_EQ(g_events[i].event_id, 0x102);
    EXPECT_EQ(g_events[i].qp, 1);
  }
  __atomic_store_n(&record.ProxyAttached, 0u, __ATOMIC_RELEASE);
  record.AsyncEventSlot = nullptr;
}

// Frames that sit in the send ring with no completion make the hang check
// ask for a reset; the reset completes them once each, and the path runs
// again.
TEST_F(DataPathTest, AStalledSendRingMakesTheHangCheckReset) {
  start();
  boards_->board(0).stop();  // the adapter sends nothing more
  std::vector<NET_BUFFER_LIST*> lists;
  for (int i = 0; i < 5; ++i) lists.push_back(sender_->make(frame(boards_->mac(1), boards_->mac(0), 0x88B5, 500, 1)));
  send(0, lists);
  ASSERT_EQ(zek(0)->Send->Busy, 5u);
  // The host's own hang timer checks too: whichever check finds no
  // progress once too often starts the reset.
  ASSERT_TRUE(wait_until(
      [&] { return ndis(0).reset_in_progress() || ndis(0).resets() >= 1 || boards_->host().check_for_hang(ndis(0)); },
      kWaitMs));
  boards_->board(0).start();
  for (const auto& [l, s] : completed_once(0, lists)) {
    EXPECT_TRUE(s == NDIS_STATUS_SUCCESS || s == NDIS_STATUS_REQUEST_ABORTED) << std::hex << s;
  }
  ASSERT_TRUE(wait_until([&] { return ndis(0).resets() >= 1 && !ndis(0).reset_in_progress(); }, kWaitMs)) << log();
  expect_a_frame_crosses(700, 0x21);
}

// Sends the adapter cannot take are refused at once with a failure status,
// each for its reason, never with a success-class one.
TEST_F(DataPathTest, RefusedSendsCompleteAtOnceWithTheirReason) {
  start();
  ZEK_ADAPTER* tx = zek(0);
  struct Case {
    const char* name;
    void (*set)(ZEK_ADAPTER*, bool on);
    NDIS_STATUS status;
  };
  const Case cases[] = {
      {"reset in progress",
       [](ZEK_ADAPTER* a, bool on) {
         a->Flags = on ? a->Flags | ZEK_FLAG_RESET_IN_PROGRESS : a->Flags & ~ZEK_FLAG_RESET_IN_PROGRESS;
       },
       NDIS_STATUS_RESET_IN_PROGRESS},
      {"link being brought up", [](ZEK_ADAPTER* a, bool on) { a->LinkDpcRunning = on ? 1 : 0; }, ZEK_SEND_LINK_DOWN},
      {"hardware error",
       [](ZEK_ADAPTER* a, bool on) {
         a->Flags = on ? a->Flags | ZEK_FLAG_HARDWARE_ERROR : a->Flags & ~ZEK_FLAG_HARDWARE_ERROR;
       },
       ZEK_SEND_REFUSED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NET_BUFFER_LIST* nbl = sender_->make(frame(boards_->mac(1), boards_->mac(0), 0x88B5, 100, 0));
    NdisAcquireSpinLock(&tx->SendLock);
    c.set(tx, true);
    NdisReleaseSpinLock(&tx->SendLock);
    ZekSendNetBufferLists(tx, nbl, 0, 0);
    NdisAcquireSpinLock(&tx->SendLock);
    c.set(tx, false);
    NdisReleaseSpinLock(&tx->SendLock);
    const NDIS_STATUS status = completed_once(0, {nbl})[nbl];
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(static_cast<std::uint32_t>(status) >> 30, 3u) << "a failure status: " << std::hex << status;
  }
}

// A receive completion is judged on what it says, never trusted: a length
// outside an Ethernet header and the buffer, or an error other than a
// checksum's, is not indicated; each checksum flag follows its own bit.
TEST(ReceiveJudgement, LengthsErrorsAndChecksumFlags) {
  using zekhw::MifhNicCqe;
  constexpr std::uint32_t kTcpChecked = 1u << 4 | 1u << 8, kUdpChecked = 1u << 4 | 2u << 8;
  constexpr std::uint32_t kFragment = 1u << 12;
  auto cqe = [](std::uint32_t length, std::uint32_t errors, std::uint32_t flags) {
    return MifhNicCqe{0, 0, flags | zekhw::kNicFrameUnicast, length | errors << 16 | zekhw::kNicCqeValid};
  };
  struct Case {
    const char* name;
    MifhNicCqe entry;
    bool offload;
    bool indicate, bad_length;
    const char* flags;  // I/i IP good/bad, T/t TCP, U/u UDP
  };
  const Case cases[] = {
      {"a good TCP frame", cqe(60, 0, kTcpChecked), true, true, false, "IT"},
      {"a good UDP frame", cqe(1514, 0, kUdpChecked), true, true, false, "IU"},
      {"longer than the buffer", cqe(0xFFFF, 0, kTcpChecked), true, false, true, ""},
      {"one byte over the buffer", cqe(1521, 0, 0), true, false, true, ""},
      {"shorter than a header", cqe(13, 0, 0), true, false, true, ""},
      {"the buffer exactly", cqe(1520, 0, zekhw::kNicFrameChecksumNotChecked), true, true, false, ""},
      {"malformed", cqe(100, 1u << 3, kTcpChecked), true, false, false, ""},
      {"a DMA error", cqe(100, 1u << 0, 0), true, false, false, ""},
      {"a length error", cqe(100, 1u << 4, 0), true, false, false, ""},
      {"bad TCP checksum", cqe(100, 1u << 2, kTcpChecked), true, true, false, "It"},
      {"bad IP and TCP checksums", cqe(100, 1u << 1 | 1u << 2, kTcpChecked), true, true, false, "it"},
      {"bad IP, good UDP", cqe(100, 1u << 1, kUdpChecked), true, true, false, "iU"},
      {"a fragment: no flags", cqe(100, 0, kTcpChecked | kFragment), true, true, false, ""},
      {"not checked", cqe(100, 0, zekhw::kNicFrameChecksumNotChecked), true, true, false, ""},
      {"offload off", cqe(100, 0, kTcpChecked), false, true, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ZekRxVerdict v = ZekJudgeReceive(c.entry, 1520, c.offload);
    EXPECT_EQ(v.Indicate, c.indicate);
    EXPECT_EQ(v.BadLength, c.bad_length);
    std::string flags;
    const auto& r = v.Checksum.Receive;
    if (r.IpChecksumSucceeded) flags += 'I';
    if (r.IpChecksumFailed) flags += 'i';
    if (r.TcpChecksumSucceeded) flags += 'T';
    if (r.TcpChecksumFailed) flags += 't';
    if (r.UdpChecksumSucceeded) flags += 'U';
    if (r.UdpChecksumFailed) flags += 'u';
    EXPECT_EQ(flags, c.flags);
  }
}

}  // namespace
