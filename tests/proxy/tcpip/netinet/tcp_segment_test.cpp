// TCP against a peer the test plays segment by segment: the answers to
// SYNs (closed ports, listeners, options), the SYN cache and its cookies,
// hostile and malformed segments on an open connection (RFC 5961 resets
// and SYNs, bad checksums and offsets, bad options, urgent pointers past
// the data, data beyond the window or for a closed port), fast
// retransmit, the persist and keepalive timers, the retransmission
// give-up, and a connection the adapter owns.
#include "tests/proxy/tcpip/netinet/tcp_peer_fixture.h"

namespace {

using namespace zektcp;

class TcpSegmentTest : public TcpPeerTest {};

TEST_F(TcpSegmentTest, ASynToAClosedPortGetsRstAck) {
  for (const bool bound : {false, true}) {
    SCOPED_TRACE(bound);
    if (bound) {
      socket* so = make_socket(SOCK_STREAM);
      ASSERT_EQ(bind(so, 0, 81), 0);  // bound but neither listening nor connected
    }
    Seg syn;
    syn.dport = bound ? 81 : 79;
    syn.seq = 5000;
    put(syn);
    auto o = out();
    ASSERT_EQ(o.size(), 1u);
    EXPECT_EQ(o[0].flags, TH_RST | TH_ACK);
    EXPECT_EQ(o[0].seq, 0u);
    EXPECT_EQ(o[0].ack, 5001u);
    EXPECT_TRUE(o[0].sum_ok);
  }
  // An ACK for nobody gets a RST from its acknowledgement; a RST gets nothing.
  Seg ack;
  ack.dport = 79;
  ack.flags = TH_ACK;
  ack.ack = 777;
  put(ack);
  ack.flags = TH_RST;
  put(ack);
  auto o = out();
  ASSERT_EQ(o.size(), 1u);
  EXPECT_EQ(o[0].flags, TH_RST);
  EXPECT_EQ(o[0].seq, 777u);
}

// The SYN-ACK of a listener answers the options the SYN carried.
struct SynCase {
  const char* name;
  Bytes options;
  Bytes expect;  // the SYN-ACK's options, timestamps' values masked to 0
};

class TcpSynAckTest : public TcpPeerTest, public ::testing::WithParamInterface<SynCase> {};

TEST_P(TcpSynAckTest, AnswersTheOptionsOffered) {
  const SynCase& c = GetParam();
  listen_on(80);
  Seg syn;
  syn.options = c.options;
  put(syn);
  auto o = out();
  ASSERT_EQ(o.size(), 1u);
  EXPECT_EQ(o[0].flags, TH_SYN | TH_ACK);
  EXPECT_EQ(o[0].ack, 1001u);
  EXPECT_TRUE(o[0].sum_ok);
  Bytes got = o[0].options;
  for (std::size_t i = 0; i + 10 <= got.size(); ++i) {
    if (got[i] == 8 && got[i + 1] == 10) {
      EXPECT_EQ(get32(got, i + 6), 0x01020304u);  // our echo of the peer's value
      std::fill(got.begin() + static_cast<long>(i) + 2, got.begin() + static_cast<long>(i) + 10, 0);
    }
  }
  EXPECT_EQ(got, c.expect);
}

INSTANTIATE_TEST_SUITE_P(Offers, TcpSynAckTest,
                         ::testing::Values(SynCase{"None", {}, {2, 4, 0x05, 0xB4}},
                                           SynCase{"Mss", {2, 4, 0x03, 0xE8}, {2, 4, 0x05, 0xB4}},
                                           SynCase{"WindowScale", {1, 3, 3, 7}, {2, 4, 0x05, 0xB4, 1, 3, 3, 0}},
                                           SynCase{"Timestamps",
                                                   {1, 1, 8, 10, 1, 2, 3, 4, 0, 0, 0, 0},
                                                   {2, 4, 0x05, 0xB4, 1, 1, 8, 10, 0, 0, 0, 0, 0, 0, 0, 0}},
                                           // A bad length ends the walk: nothing after it is read.
                                           SynCase{"Malformed", {3, 0, 1, 1, 1, 3, 3, 7}, {2, 4, 0x05, 0xB4}}),
                         [](const auto& info) { return info.param.name; });

TEST_F(TcpSegmentTest, OptionParserTable) {
  struct Case {
    const char* name;
    Bytes bytes;
    bool syn;
    std::uint32_t flags;
    std::uint16_t mss;
    std::uint8_t wscale;
  };
  const Case cases[] = {
      {"mss on syn", {2, 4, 1, 0}, true, OPTF_MSS, 256, 0},
      {"mss not on data", {2, 4, 1, 0}, false, 0, 0, 0},
      {"wscale 15 is 14", {3, 3, 15}, true, OPTF_WSCALE, 0, 14},
      {"wscale not on data", {3, 3, 2}, false, 0, 0, 0},
      {"timestamp anywhere", {8, 10, 0, 0, 0, 1, 0, 0, 0, 2}, false, OPTF_TSTAMP, 0, 0},
      {"zero length", {2, 0, 1, 0}, true, OPTF_BAD, 0, 0},
      {"length past end", {2, 9, 1, 0}, true, OPTF_BAD, 0, 0},
      {"kind without length", {1, 1, 2}, true, OPTF_BAD, 0, 0},
      {"wrong mss length skipped", {2, 3, 1, 3, 3, 4}, true, OPTF_WSCALE, 0, 4},
      {"end of list stops", {0, 2, 4, 1, 0}, true, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tcpopt to{};
    tcp_parse_options(&to, c.bytes.data(), static_cast<int>(c.bytes.size()), c.syn);
    EXPECT_EQ(to.opt_flags, c.flags);
    EXPECT_EQ(to.opt_mss, c.mss);
    EXPECT_EQ(to.opt_wscale, c.wscale);
  }
}

TEST_F(TcpSegmentTest, TheThirtyFirstSynOfABucketEvictsTheOldestAndItsCookieStillConnects) {
  socket* head = listen_on(80, 64);
  // Source ports whose network-order values share the low nine bits fall
  // into one bucket whatever the hash secret.
  std::vector<std::uint32_t> isns;
  for (int i = 0; i < 31; ++i) {
    Seg syn;
    syn.sport = static_cast<std::uint16_t>(0x1000 + 2 * i);
    syn.seq = 100000u * static_cast<std::uint32_t>(i + 1);
    syn.options = {2, 4, 0x03, 0xE8};  // MSS 1000
    put(syn);
    auto o = out();
    ASSERT_EQ(o.size(), 1u);
    isns.push_back(o[0].seq);
  }
  {
    BdcLocked lock;
    EXPECT_EQ(syncache_count(), 30u);
    EXPECT_EQ(g_tcpstat.sc_bucketoverflow, 1u);
  }
  // The first entry is gone; its ACK completes from the cookie, with the
  // cookie's MSS for 1000: 536.
  Seg ack;
  ack.sport = 0x1000;
  ack.seq = 100001;
  ack.ack = isns[0] + 1;
  ack.flags = TH_ACK;
  put(ack);
  socket* so = accept(head);
  ASSERT_NE(so, nullptr);
  EXPECT_EQ(state_of(so), TCPS_ESTABLISHED);
  {
    BdcLocked lock;
    EXPECT_EQ(sototcpcb(so)->snd_mss, 536);
    EXPECT_EQ(g_tcpstat.sc_recvcookie, 1u);
  }
  // An ACK whose cookie does not check out gets a reset and no socket.
  ack.sport = 0x1002;
  ack.seq = 200001;
  ack.ack = isns[1] + 2;
  put(ack);
  auto o = out();
  ASSERT_EQ(o.size(), 1u);
  EXPECT_EQ(o[0].flags, TH_RST);
  EXPECT_EQ(accept(head), nullptr);
}

TEST_F(TcpSegmentTest, ACookieIsRefusedWithoutARecentOverflowAndARstInWindowDropsTheEntry) {
  socket* head = listen_on(80);
  Seg syn;
  put(syn);
  auto o = out();
  ASSERT_EQ(o.size(), 1u);
  const std::uint32_t isn = o[0].seq;
  Seg rst;
  rst.flags = TH_RST;
  rst.seq = 1001;
  put(rst);
  {
    BdcLocked lock;
    EXPECT_EQ(syncache_count(), 0u);
    EXPECT_EQ(g_tcpstat.sc_reset, 1u);
  }
  Seg ack;
  ack.seq = 1001;
  ack.ack = isn + 1;
  ack.flags = TH_ACK;
  put(ack);
  o = out();
  ASSERT_EQ(o.size(), 1u);
  EXPECT_EQ(o[0].flags, TH_RST);
  EXPECT_EQ(accept(head), nullptr);
}

TEST_F(TcpSegmentTest, TheSynAckIsResentAfterThreeNineAndTwentyOneSecondsAndTheEntryGoesAtFortyFive) {
  listen_on(80);
  Seg syn;
  put(syn);
  ASSERT_EQ(out().size(), 1u);
  std::vector<int> resent_at;
  for (int s = 1; s <= 46; ++s) {
    advance_seconds(1);
    softint_round_now();
    for (const Out& o : out()) {
      if (o.flags == (TH_SYN | TH_ACK)) resent_at.push_back(s);
    }
    BdcLocked lock;
    if (s == 44) {
      EXPECT_EQ(syncache_count(), 1u);
    }
  }
  EXPECT_EQ(resent_at, (std::vector<int>{3, 9, 21}));
  BdcLocked lock;
  EXPECT_EQ(syncache_count(), 0u);
}

// ---- An open connection and what a peer may throw at it ----------------------------------------
struct HostileCase {
  const char* name;
  std::function<Seg(std::uint32_t peer_next, std::uint32_t our_next)> segment;
  std::uint32_t state_after;
  // What the stack answers: nothing, or one segment with these flags.
  int answers;
  std::uint8_t answer_flags;
  std::size_t bytes_delivered;
  std::uint32_t tcpstat::*counter;
};

class TcpHostileTest : public TcpPeerTest, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(TcpHostileTest, IsHandledAsTheRfcsSayAndCounted) {
  const HostileCase& c = GetParam();
  std::uint32_t our = 0;
  socket* so = open_from_peer(80, &our);
  ASSERT_NE(so, nullptr);
  ASSERT_EQ(state_of(so), TCPS_ESTABLISHED);
  out();
  Seg s = c.segment(1001, our);
  s.dport = 80;
  std::uint32_t before;
  {
    BdcLocked lock;
    before = g_tcpstat.*c.counter;
  }
  put(s);
  const auto o = out();
  EXPECT_EQ(static_cast<int>(o.size()), c.answers);
  if (c.answers > 0 && !o.empty()) {
    EXPECT_EQ(o[0].flags & ~TH_PUSH, c.answer_flags);
    if (!(c.answer_flags & TH_RST)) {
      EXPECT_EQ(o[0].seq, our);  // a challenge or plain ACK tells nothing new
    }
  }
  EXPECT_EQ(state_of(so), c.state_after);
  EXPECT_EQ(read_all(so).size(), c.bytes_delivered);
  BdcLocked lock;
  EXPECT_EQ(g_tcpstat.*c.counter, before + 1);
}

Seg data_seg(std::uint32_t seq, std::uint32_t ack, std::size_t n) {
  Seg s;
  s.flags = TH_ACK | TH_PUSH;
  s.seq = seq;
  s.ack = ack;
  s.data = Bytes(n, 0x61);
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Segments, TcpHostileTest,
    ::testing::Values(HostileCase{"RstExactlyAtTheNextSequenceResets",
                                  [](std::uint32_t p, std::uint32_t) {
                                    Seg s;
                                    s.flags = TH_RST;
                                    s.seq = p;
                                    return s;
                                  },
                                  TCPS_CLOSED, 0, 0, 0, &tcpstat::drops},
                      HostileCase{"RstInsideTheWindowDrawsAChallengeAck",
                                  [](std::uint32_t p, std::uint32_t) {
                                    Seg s;
                                    s.flags = TH_RST;
                                    s.seq = p + 100;
                                    return s;
                                  },
                                  TCPS_ESTABLISHED, 1, TH_ACK, 0, &tcpstat::challenge_acks},
                      HostileCase{"RstOutsideTheWindowIsDropped",
                                  [](std::uint32_t p, std::uint32_t) {
                                    Seg s;
                                    s.flags = TH_RST;
                                    s.seq = p + 0x40000000;
                                    return s;
                                  },
                                  TCPS_ESTABLISHED, 0, 0, 0, &tcpstat::badrst},
                      HostileCase{"SynOnAnOpenConnectionDrawsAChallengeAck",
                                  [](std::uint32_t p, std::uint32_t) {
                                    Seg s;
                                    s.flags = TH_SYN;
                                    s.seq = p + 10;
                                    return s;
                                  },
                                  TCPS_ESTABLISHED, 1, TH_ACK, 0, &tcpstat::badsyn},
                      HostileCase{"BadChecksumIsDropped",
                                  [](std::uint32_t p, std::uint32_t a) {
                                    Seg s = data_seg(p, a, 10);
                                    s.bad_sum = true;
                                    return s;
                                  },
                                  TCPS_ESTABLISHED, 0, 0, 0, &tcpstat::rcvbadsum},
                      HostileCase{"DataOffsetBelowTheHeaderIsDropped",
                                  [](std::uint32_t p, std::uint32_t a) {
                                    Seg s = data_seg(p, a, 10);
                                    s.off_words = 4;
                                    return s;
                                  },
                                  TCPS_ESTABLISHED, 0, 0, 0, &tcpstat::rcvbadoff},
                      HostileCase{"DataOffsetPastTheSegmentIsDropped",
                                  [](std::uint32_t p, std::uint32_t a) {
                                    Seg s = data_seg(p, a, 4);
                                    s.off_words = 15;
                                    return s;
                                  },
                                  TCPS_ESTABLISHED, 0, 0, 0, &tcpstat::rcvbadoff},
                      HostileCase{"BadOptionsAreCountedAndTheDataStillTaken",
                                  [](std::uint32_t p, std::uint32_t a) {
                                    Seg s = data_seg(p, a, 10);
                                    s.options = {8, 40, 1, 1};
                                    return s;
                                  },
                                  TCPS_ESTABLISHED, 1, TH_ACK, 10, &tcpstat::rcvbadopt},
                      HostileCase{"UrgentPointerPastTheDataMarksALaterByte",
                                  [](std::uint32_t p, std::uint32_t a) {
                                    Seg s = data_seg(p, a, 10);
                                    s.flags |= TH_URG;
                                    s.urp = 5000;
                                    return s;
                                  },
                                  TCPS_ESTABLISHED, 1, TH_ACK, 10, &tcpstat::rcvpack},
                      HostileCase{"DataBeyondTheWindowIsAckedNotTaken",
                                  [](std::uint32_t p, std::uint32_t a) { return data_seg(p + 1000000, a, 10); },
                                  TCPS_ESTABLISHED, 1, TH_ACK, 0, &tcpstat::rcvpackafterwin},
                      HostileCase{"AnAckForDataNeverSentIsAnsweredWithAnAck",
                                  [](std::uint32_t p, std::uint32_t a) { return data_seg(p, a + 5000, 0); },
                                  TCPS_ESTABLISHED, 1, TH_ACK, 0, &tcpstat::rcvacktoomuch}),
    [](const auto& info) { return info.param.name; });

TEST_F(TcpSegmentTest, UrgentDataLeavesTheStreamAsTheOutOfBandByte) {
  std::uint32_t our = 0;
  socket* so = open_from_peer(80, &our);
  ASSERT_NE(so, nullptr);
  Seg s = data_seg(1001, our, 0);
  s.data = {'a', 'b', 'c', '!', 'd'};
  s.flags |= TH_URG;
  s.urp = 4;  // the byte '!'
  put(s);
  {
    // The out-of-band byte is there while the reader has not passed the mark.
    BdcLocked lock;
    mbuf* m = nullptr;
    ASSERT_EQ(GetMBuf(&m, M_DONTWAIT, MT_DATA), 0);
    EXPECT_EQ(so->so_proto->pr_usrreqs->pru_rcvoob(so, m, 0), 0);
    EXPECT_EQ(*mtod<std::uint8_t>(m), '!');
    mbuf_free_chain(m);
  }
  // A read stops at the mark: the bytes before it, then the rest.
  Bytes got = read_all(so);
  const Bytes rest = read_all(so);
  got.insert(got.end(), rest.begin(), rest.end());
  EXPECT_EQ(got, (Bytes{'a', 'b', 'c', 'd'}));
}

TEST_F(TcpSegmentTest, OutOfOrderDataWaitsForTheHoleAndIsBoundedByTheReceiveSpace) {
  std::uint32_t our = 0;
  socket* so = open_from_peer(80, &our);
  ASSERT_NE(so, nullptr);
  // Overlapping pieces after a hole, as a table: (offset, length).
  const std::pair<std::uint32_t, std::size_t> pieces[] = {{300, 100}, {100, 100}, {150, 200}, {120, 10}, {0, 110}};
  for (const auto& [at, n] : pieces) {
    Seg s = data_seg(1001 + 10 + at, our, n);
    for (std::size_t i = 0; i < n; ++i) s.data[i] = static_cast<std::uint8_t>(at + i);
    put(s);
  }
  EXPECT_TRUE(read_all(so).empty());  // bytes 0-9 are still missing
  Seg fill = data_seg(1001, our, 10);
  for (int i = 0; i < 10; ++i) fill.data[static_cast<std::size_t>(i)] = 0xEE;
  put(fill);
  const Bytes got = read_all(so);
  ASSERT_EQ(got.size(), 10u + 400u);
  for (std::size_t i = 0; i < 400; ++i) EXPECT_EQ(got[10 + i], static_cast<std::uint8_t>(i)) << i;
  // A peer that sends only pieces after a hole cannot hold more than the
  // receive buffer's free space.
  const std::uint32_t next = 1001 + 410;
  std::uint32_t before;
  {
    BdcLocked lock;
    before = g_tcpstat.reassfull;
  }
  for (std::uint32_t i = 0; i < 400; ++i) put(data_seg(next + 1 + i * 200, our, 100));
  BdcLocked lock;
  tcp_ctl_block* tp = sototcpcb(so);
  EXPECT_LE(tp->reass_bytes, so->so_rcv.sb_hiwat);
  EXPECT_LE(tp->reass_segments, TCP_REASS_MAX_SEGMENTS);
  EXPECT_GT(g_tcpstat.reassfull, before);
}

TEST_F(TcpSegmentTest, ThreeDuplicateAcksRetransmitTheFirstSegmentAndHalveTheWindow) {
  std::uint32_t our = 0;
  socket* so = open_from_peer(80, &our);
  ASSERT_NE(so, nullptr);
  out();
  const Bytes data = text(4 * 1460, 5);
  ASSERT_EQ(send_to(so, data), 0);
  auto o = out();
  ASSERT_EQ(o.size(), 4u);  // the initial window of a local network: four segments
  for (std::size_t i = 0; i < o.size(); ++i) EXPECT_EQ(o[i].seq, our + 1460 * i);
  Seg dup;
  dup.flags = TH_ACK;
  dup.seq = 1001;
  dup.ack = our;
  for (int i = 0; i < 2; ++i) put(dup);
  EXPECT_TRUE(out().empty());
  put(dup);
  o = out();
  ASSERT_EQ(o.size(), 1u);
  EXPECT_EQ(o[0].seq, our);
  EXPECT_EQ(o[0].data.size(), 1460u);
  {
    BdcLocked lock;
    tcp_ctl_block* tp = sototcpcb(so);
    EXPECT_EQ(tp->ssthresh, 2u * 1460u);
    EXPECT_EQ(tp->snd_cwnd, 2u * 1460u + 3u * 1460u);
    EXPECT_EQ(tp->recover, our + 4 * 1460);
  }
  // A partial ACK resends the next hole at once.
  Seg partial = dup;
  partial.ack = our + 1460;
  put(partial);
  o = out();
  ASSERT_GE(o.size(), 1u);
  EXPECT_EQ(o[0].seq, our + 1460);
  // The full ACK ends recovery with the window at most ssthresh.
  Seg full = dup;
  full.ack = our + 4 * 1460;
  put(full);
  BdcLocked lock;
  tcp_ctl_block* tp = sototcpcb(so);
  EXPECT_EQ(tp->dup_ack_count, 0u);
  EXPECT_LE(tp->snd_cwnd, 2u * 1460u);
  EXPECT_EQ(tp->snd_una, our + 4 * 1460);
}

TEST_F(TcpSegmentTest, AZeroWindowIsProbedWithBackOffUntilItOpens) {
  std::uint32_t our = 0;
  socket* so = open_from_peer(80, &our);
  ASSERT_NE(so, nullptr);
  Seg shut;
  shut.flags = TH_ACK;
  shut.seq = 1001;
  shut.ack = our;
  shut.win = 0;
  put(shut);
  out();
  ASSERT_EQ(send_to(so, text(3000)), 0);
  EXPECT_TRUE(out().empty());
  std::vector<int> probes;
  for (int s = 1; s <= 60; ++s) {
    advance_seconds(1);
    for (const Out& o : out()) {
      EXPECT_EQ(o.data.size(), 1u);
      EXPECT_EQ(o.seq, our);
      probes.push_back(s);
      put(shut);  // still shut
    }
  }
  ASSERT_GE(probes.size(), 3u);
  EXPECT_GE(probes[0], 5);  // never sooner than 5 s
  for (std::size_t i = 2; i < probes.size(); ++i) EXPECT_GE(probes[i] - probes[i - 1], probes[i - 1] - probes[i - 2]);
  Seg open = shut;
  open.win = 8192;
  put(open);
  std::size_t bytes = 0;
  for (const Out& o : out()) bytes += o.data.size();
  EXPECT_GE(bytes, 2920u);
}

TEST_F(TcpSegmentTest, KeepaliveProbesAnIdleConnectionAndDropsItWhenThePeerIsGone) {
  std::uint32_t our = 0;
  socket* so = open_from_peer(80, &our);
  ASSERT_NE(so, nullptr);
  out();
  for (int s = 0; s < 7200 - 1; ++s) advance_seconds(1);
  EXPECT_TRUE(out().empty());
  peer_arp_reply();  // the peer's address has aged out of ARP meanwhile
  advance_seconds(1);
  advance_seconds(1);
  auto o = out();
  ASSERT_EQ(o.size(), 1u);
  EXPECT_EQ(o[0].seq, our - 1);  // below what the peer acknowledged: it must answer
  EXPECT_EQ(o[0].ack, 1001u);
  EXPECT_TRUE(o[0].data.empty());
  // No answer: probes every 75 s until idle + 8 x 75 s, then a reset.
  int probes = 1;
  bool reset = false;
  for (int s = 0; s < 8 * 75 + 80 && !reset; ++s) {
    advance_seconds(1);
    for (const Out& x : out()) {
      if (x.flags & TH_RST) {
        reset = true;
      } else {
        ++probes;
      }
    }
  }
  EXPECT_TRUE(reset);
  EXPECT_EQ(probes, 8);
  EXPECT_EQ(state_of(so), TCPS_CLOSED);
  EXPECT_EQ(so->so_error, BSD_ETIMEDOUT);
}

TEST_F(TcpSegmentTest, RetransmissionsBackOffToSixtyFourSecondsAndTheThirteenthTimeOutDrops) {
  std::uint32_t our = 0;
  socket* so = open_from_peer(80, &our);
  ASSERT_NE(so, nullptr);
  out();
  ASSERT_EQ(send_to(so, text(100)), 0);
  ASSERT_EQ(out().size(), 1u);
  std::vector<int> at;
  bool reset = false;
  for (int t = 1; t <= 20 * 60 * 100 && !reset; ++t) {
    advance_ticks(1);
    for (const Out& x : out()) {
      if (x.flags & TH_RST) {
        reset = true;
      } else {
        EXPECT_EQ(x.seq, our);
        at.push_back(t);
      }
    }
  }
  ASSERT_TRUE(reset);
  ASSERT_EQ(at.size(), 12u);
  std::vector<int> gaps;
  for (std::size_t i = 1; i < at.size(); ++i) gaps.push_back(at[i] - at[i - 1]);
  for (std::size_t i = 1; i < gaps.size(); ++i) EXPECT_GE(gaps[i], gaps[i - 1]);
  EXPECT_EQ(gaps.back(), 64 * 100);  // the largest time-out
  EXPECT_EQ(so->so_error, BSD_ETIMEDOUT);
}

TEST_F(TcpSegmentTest, AConnectionTheAdapterOwnsIsLeftAlone) {
  std::uint32_t our = 0;
  socket* so = open_from_peer(80, &our);
  ASSERT_NE(so, nullptr);
  ASSERT_EQ(send_to(so, text(100)), 0);
  out();
  tcp_ctl_block snapshot;
  {
    BdcLocked lock;
    tcp_ctl_block* tp = sototcpcb(so);
    tp->offload_state = OFFLOAD_STATE_ADAPTER;
    snapshot = *tp;
  }
  put(data_seg(1001, our, 50));
  Seg rst;
  rst.flags = TH_RST;
  rst.seq = 1001;
  put(rst);
  for (int s = 0; s < 3 * 3600; ++s) advance_seconds(1);  // every timer would have fired
  EXPECT_TRUE(out().empty());
  BdcLocked lock;
  tcp_ctl_block* tp = sototcpcb(so);
  ASSERT_NE(tp, nullptr);
  EXPECT_EQ(tp->conn_state, snapshot.conn_state);
  EXPECT_EQ(tp->rcv_nxt, snapshot.rcv_nxt);
  EXPECT_EQ(tp->snd_nxt, snapshot.snd_nxt);
  EXPECT_EQ(tp->backoff_shift, snapshot.backoff_shift);
  EXPECT_EQ(tcp_output(tp, so), 0);
  tp->offload_state = 0;  // back to the stack, so it closes normally
}

TEST_F(TcpSegmentTest, QuadToSocketFindsLiveSocketsOnly) {
  std::uint32_t our = 0;
  socket* so = open_from_peer(80, &our);
  ASSERT_NE(so, nullptr);
  BdcLocked lock;
  EXPECT_EQ(QuadToSocket(80, 40000, kOurIp, kPeerIp), so);
  EXPECT_EQ(QuadToSocket(80, 40001, kOurIp, kPeerIp), nullptr);
  so->so_signature = 0x12345678;  // a record that is not a live socket
  EXPECT_EQ(QuadToSocket(80, 40000, kOurIp, kPeerIp), nullptr);
  so->so_signature = SOCKET_SIGNATURE;
}

TEST_F(TcpSegmentTest, TcpOptionsTable) {
  std::uint32_t our = 0;
  socket* so = open_from_peer(80, &our);
  ASSERT_NE(so, nullptr);
  struct Case {
    const char* name;
    int dir, level, opt;
    std::int32_t value;
    int error;
  };
  const Case cases[] = {
      {"maxseg lowers", SOPT_SET, IPPROTO_TCP, TCP_MAXSEG, 1000, 0},
      {"maxseg may not grow", SOPT_SET, IPPROTO_TCP, TCP_MAXSEG, 1001, BSD_EINVAL},
      {"maxseg zero", SOPT_SET, IPPROTO_TCP, TCP_MAXSEG, 0, BSD_EINVAL},
      {"maxseg negative", SOPT_SET, IPPROTO_TCP, TCP_MAXSEG, -5, BSD_EINVAL},
      {"nodelay", SOPT_SET, IPPROTO_TCP, TCP_NODELAY, 1, 0},
      {"unknown", SOPT_SET, IPPROTO_TCP, 99, 1, BSD_ENOPROTOOPT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::int32_t v = c.value;
    sockopt opt{c.dir, c.level, c.opt, &v, sizeof(v), stack_process()};
    BdcLocked lock;
    EXPECT_EQ(tcp_sockopt(so, &opt), c.error);
  }
  std::int32_t v = 0;
  sockopt get{SOPT_GET, IPPROTO_TCP, TCP_MAXSEG, &v, sizeof(v), stack_process()};
  BdcLocked lock;
  EXPECT_EQ(tcp_sockopt(so, &get), 0);
  EXPECT_EQ(v, 1000);
}

TEST_F(TcpSegmentTest, NagleHoldsASecondSmallWriteUntilTheAck) {
  std::uint32_t our = 0;
  socket* so = open_from_peer(80, &our);
  ASSERT_NE(so, nullptr);
  out();
  ASSERT_EQ(send_to(so, text(10)), 0);
  EXPECT_EQ(out().size(), 1u);
  ASSERT_EQ(send_to(so, text(10)), 0);
  EXPECT_TRUE(out().empty());
  Seg ack;
  ack.flags = TH_ACK;
  ack.seq = 1001;
  ack.ack = our + 10;
  put(ack);
  auto o = out();
  ASSERT_EQ(o.size(), 1u);
  EXPECT_EQ(o[0].seq, our + 10);
}

TEST_F(TcpSegmentTest, AnActiveOpenOffersMssAndWindowScaleButNoTimestamp) {
  socket* so = make_socket(SOCK_STREAM);
  ASSERT_EQ(connect(so, kPeerIp, 9), 0);
  auto o = out();
  ASSERT_EQ(o.size(), 1u);
  EXPECT_EQ(o[0].flags, TH_SYN);
  EXPECT_EQ(o[0].options, (Bytes{2, 4, 0x05, 0xB4, 1, 3, 3, 0}));
}

}  // namespace
