// TCP between two endpoints of the stack over a test wire: opening and
// closing in every order, bulk data both ways (checked byte for byte and
// by SHA-256), the same over a wire that loses, duplicates, reorders and
// delays, and the timers (retransmission back-off, persist, keepalive,
// TIME-WAIT).
#include <openssl/sha.h>

#include "tests/proxy/tcpip/netinet/tcp_fixture.h"

namespace {

using namespace zektcp;

std::array<std::uint8_t, 32> sha256(const Bytes& b) {
  std::array<std::uint8_t, 32> d{};
  SHA256(b.data(), b.size(), d.data());
  return d;
}

class TcpTest : public TcpPairTest {
 protected:
  struct Pair {
    socket* client = nullptr;
    socket* server = nullptr;
  };

  Pair open_pair(std::uint16_t port = 7000) {
    Pair p;
    socket* head = listener(kHostB, port);
    p.client = make_socket();
    EXPECT_EQ(connect(p.client, kHostB, port), 0);
    p.server = accept_within(head);
    EXPECT_NE(p.server, nullptr);
    EXPECT_TRUE(run_until([&] { return state(p.client) == TCPS_ESTABLISHED; }));
    return p;
  }
};

TEST_F(TcpTest, AConnectionOpensWithTheHandshakeAndCarriesDataBothWays) {
  Pair p = open_pair();
  ASSERT_NE(p.server, nullptr);
  EXPECT_EQ(state(p.server), TCPS_ESTABLISHED);
  EXPECT_TRUE(p.client->so_state & SS_ISCONNECTED);
  EXPECT_TRUE(p.server->so_state & SS_ISCONNECTED);
  const Bytes hello = {'h', 'e', 'l', 'l', 'o'};
  ASSERT_EQ(send_some(p.client, hello.data(), hello.size()), hello.size());
  run_ticks(2);
  EXPECT_EQ(receive_some(p.server), hello);
  ASSERT_EQ(send_some(p.server, hello.data(), 3), 3u);
  run_ticks(2);
  EXPECT_EQ(receive_some(p.client), Bytes(hello.begin(), hello.begin() + 3));
}

// Every way a connection ends, with the states each side passes and
// where it ends up.
struct CloseCase {
  const char* name;
  enum Order { kClientFirst, kServerFirst, kBoth, kHalfClose, kClientAborts } order;
  std::uint32_t client_end;  // state once the wire is quiet
  std::uint32_t server_end;
};

class TcpCloseTest : public TcpTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(TcpCloseTest, EndsInTheRightStatesAndTimeWaitExpires) {
  const CloseCase& c = GetParam();
  Pair p = open_pair();
  ASSERT_NE(p.server, nullptr);
  switch (c.order) {
    case CloseCase::kClientFirst:
      shutdown(p.client);
      run_ticks(5);
      EXPECT_EQ(state(p.client), TCPS_FIN_WAIT_2);
      EXPECT_EQ(state(p.server), TCPS_CLOSE_WAIT);
      shutdown(p.server);
      break;
    case CloseCase::kServerFirst:
      shutdown(p.server);
      run_ticks(5);
      EXPECT_EQ(state(p.server), TCPS_FIN_WAIT_2);
      EXPECT_EQ(state(p.client), TCPS_CLOSE_WAIT);
      shutdown(p.client);
      break;
    case CloseCase::kBoth:
      shutdown(p.client);
      shutdown(p.server);
      break;
    case CloseCase::kHalfClose: {
      shutdown(p.client);
      run_ticks(5);
      // The server still talks to a client that stopped talking.
      const Bytes late = pattern(5000, 3);
      ASSERT_EQ(send_some(p.server, late.data(), late.size()), late.size());
      Bytes got;
      ASSERT_TRUE(run_until([&] {
        const Bytes r = receive_some(p.client);
        got.insert(got.end(), r.begin(), r.end());
        return got.size() == late.size();
      }));
      EXPECT_EQ(got, late);
      shutdown(p.server);
      break;
    }
    case CloseCase::kClientAborts: {
      BdcLocked lock;
      p.client->so_proto->pr_usrreqs->pru_abort(p.client);
      break;
    }
  }
  run_ticks(20);
  EXPECT_EQ(state(p.client), c.client_end);
  EXPECT_EQ(state(p.server), c.server_end);
  if (c.order == CloseCase::kClientAborts) {
    int error = 0;
    receive_some(p.server, &error);
    EXPECT_EQ(error, BSD_ECONNRESET);
  }
  // TIME-WAIT lasts 2 x 3 s, and then the block goes.
  run_ticks(2 * 3 * 100 + 10);
  EXPECT_EQ(state(p.client), TCPS_CLOSED);
  EXPECT_EQ(state(p.server), TCPS_CLOSED);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, TcpCloseTest,
    ::testing::Values(CloseCase{"ClientFirst", CloseCase::kClientFirst, TCPS_TIME_WAIT, TCPS_CLOSED},
                      CloseCase{"ServerFirst", CloseCase::kServerFirst, TCPS_CLOSED, TCPS_TIME_WAIT},
                      CloseCase{"Simultaneous", CloseCase::kBoth, TCPS_TIME_WAIT, TCPS_TIME_WAIT},
                      CloseCase{"HalfClose", CloseCase::kHalfClose, TCPS_TIME_WAIT, TCPS_CLOSED},
                      CloseCase{"Reset", CloseCase::kClientAborts, TCPS_CLOSED, TCPS_CLOSED}),
    [](const auto& info) { return info.param.name; });

// A FIN is sent again, with the retransmission back-off, until it is
// acknowledged: the closing side's FIN in FIN-WAIT-1, the last FIN in
// LAST-ACK, and the last FIN again when TIME-WAIT's acknowledgement of it
// is lost (TIME-WAIT answers the repeat and starts again). The wire loses
// the first `losses`. (TIME-WAIT lasts 6 s here, not RFC 793's 4 minutes:
// a LAST-ACK whose second repeat comes after it, 9 s on, gets a reset.)
struct FinLossCase {
  const char* name;
  enum Lost { kClosingFin, kLastFin, kTimeWaitAck } lost;
  int losses;
};

class TcpFinLossTest : public TcpTest, public ::testing::WithParamInterface<FinLossCase> {};

TEST_P(TcpFinLossTest, ALostFinIsSentAgainUntilAcknowledged) {
  const FinLossCase& c = GetParam();
  Pair p = open_pair();
  ASSERT_NE(p.server, nullptr);
  // The client is HOSTA: what reaches pb0 (to == 1) it sent.
  auto from_client = [](const WirePacket& w) { return w.to == 1; };
  auto tcp_flags = [](const WirePacket& w) -> int {
    const std::size_t ihl = (w.bytes[0] & 0xFu) * 4;
    return w.bytes.size() >= ihl + 20 && w.bytes[9] == 6 ? w.bytes[ihl + 13] : -1;
  };
  int fins[2] = {0, 0};  // sent by the client, by the server
  int lost = 0;
  tap_ = [&](const WirePacket& w) {
    if (tcp_flags(w) >= 0 && (tcp_flags(w) & TH_FIN)) ++fins[from_client(w) ? 0 : 1];
  };
  drop_ = [&](const WirePacket& w) {
    const int flags = tcp_flags(w);
    if (flags < 0 || lost >= c.losses) return false;
    bool drop = false;
    switch (c.lost) {
      case FinLossCase::kClosingFin:
        drop = from_client(w) && (flags & TH_FIN);
        break;
      case FinLossCase::kLastFin:
        drop = !from_client(w) && (flags & TH_FIN);
        break;
      case FinLossCase::kTimeWaitAck:
        drop = from_client(w) && flags == TH_ACK && state(p.client) == TCPS_TIME_WAIT;
        break;
    }
    lost += drop ? 1 : 0;
    return drop;
  };
  shutdown(p.client);
  if (c.lost == FinLossCase::kClosingFin) {
    EXPECT_TRUE(run_until([&] { return state(p.client) == TCPS_FIN_WAIT_2; }, 60 * 100)) << "state " << state(p.client);
    EXPECT_EQ(lost, c.losses);
    EXPECT_EQ(fins[0], c.losses + 1) << "the FIN was not sent until acknowledged (or sent past its acknowledgement)";
    EXPECT_EQ(state(p.server), TCPS_CLOSE_WAIT);
    shutdown(p.server);
    EXPECT_TRUE(run_until([&] { return state(p.server) == TCPS_CLOSED; }, 5 * 100));
  } else {
    EXPECT_TRUE(run_until([&] { return state(p.client) == TCPS_FIN_WAIT_2; }, 5 * 100));
    shutdown(p.server);
    EXPECT_TRUE(run_until([&] { return state(p.server) == TCPS_CLOSED; }, 60 * 100)) << "state " << state(p.server);
    EXPECT_EQ(lost, c.losses);
    EXPECT_EQ(fins[1], c.losses + 1)
        << "the last FIN was not sent until acknowledged (or sent past its acknowledgement)";
  }
  EXPECT_EQ(state(p.client), TCPS_TIME_WAIT);
  run_ticks(2 * 3 * 100 + 10);
  EXPECT_EQ(state(p.client), TCPS_CLOSED);
  EXPECT_EQ(state(p.server), TCPS_CLOSED);
}

INSTANTIATE_TEST_SUITE_P(Losses, TcpFinLossTest,
                         ::testing::Values(FinLossCase{"ClosingFin", FinLossCase::kClosingFin, 3},
                                           FinLossCase{"LastFin", FinLossCase::kLastFin, 3},
                                           FinLossCase{"TimeWaitAck", FinLossCase::kTimeWaitAck, 1}),
                         [](const auto& info) { return info.param.name; });

TEST_F(TcpTest, ASimultaneousOpenConnectsBothEnds) {
  socket* a = make_socket();
  socket* b = make_socket();
  ASSERT_EQ(bind(a, kHostA, 7100), 0);
  ASSERT_EQ(bind(b, kHostB, 7101), 0);
  // Both SYNs are on the wire before either arrives.
  ASSERT_EQ(connect(a, kHostB, 7101), 0);
  ASSERT_EQ(connect(b, kHostA, 7100), 0);
  ASSERT_TRUE(run_until([&] { return state(a) == TCPS_ESTABLISHED && state(b) == TCPS_ESTABLISHED; }));
  const Bytes x = pattern(3000, 9);
  ASSERT_EQ(send_some(a, x.data(), x.size()), x.size());
  Bytes got;
  ASSERT_TRUE(run_until([&] {
    const Bytes r = receive_some(b);
    got.insert(got.end(), r.begin(), r.end());
    return got.size() == x.size();
  }));
  EXPECT_EQ(got, x);
}

TEST_F(TcpTest, AConnectToAPortWithoutListenerIsRefused) {
  socket* s = make_socket();
  ASSERT_EQ(connect(s, kHostB, 7999), 0);
  ASSERT_TRUE(run_until([&] { return state(s) == TCPS_CLOSED; }));
  int error = 0;
  receive_some(s, &error);
  EXPECT_EQ(error, BSD_ECONNREFUSED);
}

// Bulk both ways at once, clean and impaired; both ends see exactly what
// the other sent.
struct BulkCase {
  const char* name;
  WireImpairment wire;
  std::size_t bytes;
};

class TcpBulkTest : public TcpTest, public ::testing::WithParamInterface<BulkCase> {};

TEST_P(TcpBulkTest, DataArrivesWholeBothWays) {
  const BulkCase& c = GetParam();
  Pair p = open_pair();
  ASSERT_NE(p.server, nullptr);
  set_impairment(c.wire);
  const Bytes up = pattern(c.bytes, 1);
  const Bytes down = pattern(c.bytes / 2, 2);
  Bytes got_server, got_client;
  exchange(p.client, p.server, up, down, &got_server, &got_client);
  ASSERT_EQ(got_server.size(), up.size());
  ASSERT_EQ(got_client.size(), down.size());
  EXPECT_EQ(sha256(got_server), sha256(up));
  EXPECT_EQ(sha256(got_client), sha256(down));
  EXPECT_TRUE(got_server == up);
  // And the connection still closes cleanly over the same wire.
  shutdown(p.client);
  shutdown(p.server);
  EXPECT_TRUE(run_until([&] { return state(p.client) == TCPS_CLOSED && state(p.server) == TCPS_CLOSED; }, 300 * 100));
}

INSTANTIATE_TEST_SUITE_P(Wires, TcpBulkTest,
                         ::testing::Values(BulkCase{"Clean", {}, 2'000'000},
                                           BulkCase{"Loss", {0.03, 0, 0, 0, 11}, 400'000},
                                           BulkCase{"Duplicates", {0, 0.1, 0, 0, 12}, 400'000},
                                           BulkCase{"Reordering", {0, 0, 0.2, 0, 13}, 400'000},
                                           BulkCase{"Delay", {0, 0, 0, 5, 14}, 400'000},
                                           BulkCase{"Everything", {0.02, 0.05, 0.1, 3, 15}, 300'000}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
