// ARP on the test wire: answers for our address, resolution with a held
// packet and bounded retries, duplicates, permanent and expired entries,
// and the mirror of every neighbour in the adapter's own table.
#include "tests/proxy/tcpip/wire_fixture.h"

namespace {

using namespace zektcp;

class ArpTest : public WireTest {
 protected:
  // A datagram to the peer's discard port from an unbound socket.
  void send_to_peer(const Bytes& data = Bytes(10, 0x42), std::uint32_t to = kPeerIp) {
    if (udp_ == nullptr) udp_ = make_socket(SOCK_DGRAM);
    EXPECT_EQ(send_to(udp_, data, to, 9), 0);
  }

  llinfo_arp* entry_for(std::uint32_t address) {
    BdcLocked lock;
    return arplookup(htonl(address), false, false);
  }

  socket* udp_ = nullptr;
};

TEST_F(ArpTest, ARequestForOurAddressIsAnswered) {
  inject(ether(kBroadcastMac, kPeerMac, 0x0806, arp_packet(1, kPeerMac, kPeerIp, Mac{}, kOurIp)));
  const auto replies = take([](const Frame& f) { return f.is_arp(); });
  ASSERT_EQ(replies.size(), 1u);
  const Frame& r = replies[0];
  EXPECT_EQ(r.dst(), kPeerMac);
  EXPECT_EQ(r.src(), kOurMac);
  EXPECT_EQ(r.arp_op(), 2);
  EXPECT_EQ(r.arp_sha(), kOurMac);
  EXPECT_EQ(r.arp_spa(), kOurIp);
  EXPECT_EQ(r.arp_tha(), kPeerMac);
  EXPECT_EQ(r.arp_tpa(), kPeerIp);
  // The asker was learned on the way, and the adapter holds it.
  llinfo_arp* la = entry_for(kPeerIp);
  ASSERT_NE(la, nullptr);
  EXPECT_TRUE(la->la_mirrored);
  ASSERT_EQ(adapter_.arp_table.size(), 1u);
  EXPECT_EQ(adapter_.arp_table[0].ip, kPeerIp);
  EXPECT_EQ(adapter_.arp_table[0].mac, kPeerMac);
}

TEST_F(ArpTest, RequestsForOtherHostsAreNeitherAnsweredNorLearned) {
  const std::uint32_t other = ipv4(192, 0, 2, 77);
  inject(ether(kBroadcastMac, kPeerMac, 0x0806, arp_packet(1, kPeerMac, kPeerIp, Mac{}, other)));
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(entry_for(kPeerIp), nullptr);
  EXPECT_EQ(g_arpstat.not_for_us, 1u);
  EXPECT_TRUE(adapter_.arp_table.empty());
}

TEST_F(ArpTest, ThePacketWaitsForTheAnswerAndOnlyTheLatestIsKept) {
  send_to_peer(Bytes(10, 1));
  send_to_peer(Bytes(20, 2));  // the same second: no second request
  const auto requests = take([](const Frame& f) { return arp_request_for(f, kPeerIp); });
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].dst(), kBroadcastMac);
  EXPECT_EQ(requests[0].arp_spa(), kOurIp);
  EXPECT_TRUE(take().empty());
  peer_arp_reply();
  const auto sent = take([](const Frame& f) { return f.is_ip(); });
  ASSERT_EQ(sent.size(), 1u);  // the first was replaced by the second
  EXPECT_EQ(sent[0].dst(), kPeerMac);
  EXPECT_EQ(sent[0].ip_len(), 20 + 8 + 20);
  // Resolved: the next one goes at once.
  send_to_peer();
  EXPECT_EQ(take([](const Frame& f) { return f.is_ip(); }).size(), 1u);
}

TEST_F(ArpTest, AfterFiveUnansweredRequestsTheHostIsDownForTwentySeconds) {
  // Past the first expiry walk (1 s after the first ARP route), which
  // would clear the counts of an entry still being resolved.
  advance_seconds(2);
  socket* so = make_socket(SOCK_DGRAM);
  int requests = 0;
  for (int second = 0; second < 5; ++second) {
    EXPECT_EQ(send_to(so, Bytes(4), kPeerIp, 9), 0);
    requests += static_cast<int>(take([](const Frame& f) { return arp_request_for(f, kPeerIp); }).size());
    advance_seconds(1);
  }
  EXPECT_EQ(requests, 5);
  // The sixth attempt marks the route rejected.
  EXPECT_EQ(send_to(so, Bytes(4), kPeerIp, 9), 0);
  EXPECT_TRUE(take().empty());
  advance_seconds(1);
  EXPECT_EQ(send_to(so, Bytes(4), kPeerIp, 9), BSD_EHOSTDOWN);
  advance_seconds(10);
  EXPECT_EQ(send_to(so, Bytes(4), kPeerIp, 9), BSD_EHOSTDOWN);
  // Twenty seconds on, the host is tried again.
  advance_seconds(10);
  EXPECT_EQ(send_to(so, Bytes(4), kPeerIp, 9), 0);
  EXPECT_EQ(take([](const Frame& f) { return arp_request_for(f, kPeerIp); }).size(), 1u);
}

TEST_F(ArpTest, AnAddressProbeIsAnsweredAndNotADuplicate) {
  adapter_.ac.ac_dhcp_enabled = 1;
  inject(ether(kBroadcastMac, kPeerMac, 0x0806, arp_packet(1, kPeerMac, 0, Mac{}, kOurIp)));
  const auto replies = take([](const Frame& f) { return f.is_arp() && f.arp_op() == 2; });
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].arp_tpa(), 0u);
  EXPECT_EQ(replies[0].dst(), kPeerMac);
  EXPECT_EQ(adapter_.ac.ac_addr_conflict, 0u);
  EXPECT_EQ(g_arpstat.duplicates, 0u);
  EXPECT_EQ(entry_for(0), nullptr);  // a probe teaches nothing
}

TEST_F(ArpTest, AnotherHostUsingOurAddressRaisesTheConflictFlag) {
  adapter_.ac.ac_dhcp_enabled = 1;
  inject(ether(kBroadcastMac, kPeerMac, 0x0806, arp_packet(1, kPeerMac, kOurIp, Mac{}, kOurIp)));
  EXPECT_EQ(adapter_.ac.ac_addr_conflict, 1u);
  EXPECT_EQ(g_arpstat.duplicates, 1u);
  // Our own frames heard back, and a broadcast sender address, are dropped.
  inject(ether(kBroadcastMac, kOurMac, 0x0806, arp_packet(1, kOurMac, kOurIp, Mac{}, kPeerIp)));
  inject(ether(kBroadcastMac, kPeerMac, 0x0806, arp_packet(2, kBroadcastMac, kPeerIp, kOurMac, kOurIp)));
  EXPECT_EQ(g_arpstat.own_sender, 1u);
  EXPECT_EQ(g_arpstat.broadcast_sender, 1u);
  EXPECT_EQ(entry_for(kPeerIp), nullptr);
}

TEST_F(ArpTest, AResolvedEntryExpiresAfterTwentyMinutesAndLeavesTheAdapter) {
  peer_arp_reply();
  ASSERT_NE(entry_for(kPeerIp), nullptr);
  ASSERT_EQ(adapter_.arp_table.size(), 1u);
  advance_seconds(1100);
  ASSERT_NE(entry_for(kPeerIp), nullptr);
  advance_seconds(400);  // the expiry walk runs every 300 s
  EXPECT_EQ(entry_for(kPeerIp), nullptr);
  EXPECT_TRUE(adapter_.arp_table.empty());
  EXPECT_EQ(g_arpstat.entries_in_use, 0u);
}

TEST_F(ArpTest, AnEntryNearItsEndIsRefreshed) {
  peer_arp_reply();
  advance_seconds(1200 - 50);
  send_to_peer();
  // Within the last 100 s of its life the entry asks again, while its
  // packets still go.
  EXPECT_EQ(take([](const Frame& f) { return f.is_ip(); }).size(), 1u);
  EXPECT_EQ(take([](const Frame& f) { return arp_request_for(f, kPeerIp) && f.dst() == kBroadcastMac; }).size(), 1u);
}

// The adapter's add routine answers 0 both for index 0 and for a full
// table: the stack asks the table which, and offers a refused entry again.
TEST_F(ArpTest, AFullAdapterTableIsNotTakenForAMirroredEntry) {
  adapter_.arp_capacity = 0;
  peer_arp_reply();
  llinfo_arp* la = entry_for(kPeerIp);
  ASSERT_NE(la, nullptr);
  EXPECT_FALSE(la->la_mirrored);
  EXPECT_EQ(g_arpstat.mirror_refused, 1u);
  // Room again: the next packet from the peer mirrors it.
  adapter_.arp_capacity = 4;
  peer_arp_reply();
  EXPECT_TRUE(la->la_mirrored);
  ASSERT_EQ(adapter_.arp_table.size(), 1u);
  // Index 0 of a table with room is a success.
  EXPECT_EQ(adapter_.adds, 2);
}

TEST_F(ArpTest, ARefusedEntryIsOfferedAgainWithTheNextReply) {
  adapter_.refuse_add = true;
  peer_arp_reply();
  EXPECT_FALSE(entry_for(kPeerIp)->la_mirrored);
  adapter_.refuse_add = false;
  peer_arp_reply();
  EXPECT_TRUE(entry_for(kPeerIp)->la_mirrored);
  peer_arp_reply();
  EXPECT_EQ(adapter_.adds, 2);  // mirrored once, not again
}

// A neighbour whose MAC address changes, or that is learned again after its
// entry was cleared, gets its new address in the adapter too.
TEST_F(ArpTest, ANewHardwareAddressReplacesTheAdaptersCopy) {
  peer_arp_reply(kPeerMac);
  const Mac moved = {{0x02, 0x5A, 0x00, 0x00, 0x00, 0x99}};
  peer_arp_reply(moved);
  ASSERT_EQ(adapter_.arp_table.size(), 1u);
  EXPECT_EQ(adapter_.arp_table[0].mac, moved);
  send_to_peer();
  const auto sent = take([](const Frame& f) { return f.is_ip(); });
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].dst(), moved);

  // Held by a socket's route at expiry, the entry is cleared, not deleted,
  // and the adapter lets its copy go; relearned, it is mirrored again.
  socket* so = make_socket(SOCK_DGRAM);
  ASSERT_EQ(connect(so, kPeerIp, 9), 0);
  advance_seconds(1600);
  EXPECT_TRUE(adapter_.arp_table.empty());
  ASSERT_NE(entry_for(kPeerIp), nullptr);
  peer_arp_reply(kPeerMac);
  ASSERT_EQ(adapter_.arp_table.size(), 1u);
  EXPECT_EQ(adapter_.arp_table[0].mac, kPeerMac);
}

TEST_F(ArpTest, APermanentEntryKeepsItsAddress) {
  // Our own address's entry is permanent: a reply that claims it with
  // another MAC changes nothing.
  send_to_peer(Bytes(4), kOurIp);
  take();
  BdcLocked lock;
  llinfo_arp* own = arplookup(htonl(kOurIp), false, false);
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(own->la_rt->rt_rmx.rmx_expire, 0u);
  EXPECT_EQ(own->la_rt->rt_ifp, loif());  // our own packets go round the loopback
}

TEST_F(ArpTest, MalformedArpIsDroppedAndCounted) {
  struct Case {
    const char* name;
    Bytes payload;
    std::uint32_t arpstat::*counter;
  };
  Bytes short_header(6, 0);
  Bytes bad_hw = arp_packet(1, kPeerMac, kPeerIp, Mac{}, kOurIp, 99);
  Bytes bad_proto = arp_packet(1, kPeerMac, kPeerIp, Mac{}, kOurIp);
  put16(bad_proto, 2, 0x86DD);
  Bytes long_addresses = arp_packet(1, kPeerMac, kPeerIp, Mac{}, kOurIp);
  long_addresses[4] = 200;  // addresses that run past the frame
  Bytes odd_lengths = arp_packet(1, kPeerMac, kPeerIp, Mac{}, kOurIp);
  odd_lengths[4] = 4;  // a hardware address this stack does not speak
  for (const Case& c :
       {Case{"short", short_header, &arpstat::runts}, Case{"hardware", bad_hw, &arpstat::bad_hardware},
        Case{"protocol", bad_proto, &arpstat::bad_protocol}, Case{"past the end", long_addresses, &arpstat::runts},
        Case{"address lengths", odd_lengths, &arpstat::bad_protocol}}) {
    SCOPED_TRACE(c.name);
    const std::uint32_t before = g_arpstat.*c.counter;
    inject(ether(kBroadcastMac, kPeerMac, 0x0806, c.payload));
    EXPECT_EQ(g_arpstat.*c.counter, before + 1);
    EXPECT_TRUE(take().empty());
  }
  EXPECT_EQ(entry_for(kPeerIp), nullptr);
}

TEST_F(ArpTest, NoArpOnAnInterfaceThatDoesNotSpeakIt) {
  ifp()->if_flags |= IFF_NOARP;
  const std::int32_t before = arpintrq.ifq_len;
  queue_frame(ether(kBroadcastMac, kPeerMac, 0x0806, arp_packet(1, kPeerMac, kPeerIp, Mac{}, kOurIp)));
  EXPECT_EQ(arpintrq.ifq_len, before);
  softint_round_now();
  EXPECT_TRUE(take().empty());
  ifp()->if_flags &= ~IFF_NOARP;
}

}  // namespace
