// The test plays the TCP peer on the Ethernet test wire: it builds
// segments field by field (hostile ones too), puts them on the wire, and
// reads the segments the stack sends back.
#pragma once

#include "proxy/tcpip/netinet/tcp_var.h"
#include "tests/proxy/tcpip/wire_fixture.h"

struct Seg {
  std::uint16_t sport = 40000;
  std::uint16_t dport = 80;
  std::uint32_t seq = 1000;
  std::uint32_t ack = 0;
  std::uint8_t flags = zektcp::TH_SYN;
  std::uint16_t win = 8192;
  std::uint16_t urp = 0;
  Bytes options;  // padded by the caller
  Bytes data;
  bool bad_sum = false;
  int off_words = -1;  // -1: from the options
};

inline Bytes tcp_bytes(std::uint32_t src, std::uint32_t dst, const Seg& s) {
  Bytes t(20 + s.options.size());
  put16(t, 0, s.sport);
  put16(t, 2, s.dport);
  put32(t, 4, s.seq);
  put32(t, 8, s.ack);
  const int words = s.off_words >= 0 ? s.off_words : static_cast<int>(t.size() / 4);
  t[12] = static_cast<std::uint8_t>(words << 4);
  t[13] = s.flags;
  put16(t, 14, s.win);
  put16(t, 18, s.urp);
  std::copy(s.options.begin(), s.options.end(), t.begin() + 20);
  t.insert(t.end(), s.data.begin(), s.data.end());
  const std::uint32_t pseudo = (src >> 16) + (src & 0xFFFF) + (dst >> 16) + (dst & 0xFFFF) + 6 + t.size();
  std::uint16_t sum = cksum(t, 0, t.size(), pseudo);
  if (s.bad_sum) sum ^= 0x1234;
  put16(t, 16, sum);
  return t;
}

struct Out {
  std::uint32_t seq, ack;
  std::uint8_t flags;
  std::uint16_t win, urp, sport, dport;
  Bytes options, data;
  bool sum_ok;
};

class TcpPeerTest : public WireTest {
 protected:
  zektcp::TcpipConfig config() override {
    zektcp::TcpipConfig c = WireTest::config();
    c.mbufs.mbufs = 2048;
    c.mbufs.clusters = 512;
    c.sockets = 64;
    return c;
  }

  void SetUp() override {
    WireTest::SetUp();
    if (HasFatalFailure()) return;
    peer_arp_reply();
    take();
  }

  void put(const Seg& s, std::uint32_t src = kPeerIp, std::uint32_t dst = kOurIp) {
    IpFields f;
    f.src = src;
    f.dst = dst;
    f.proto = 6;
    inject_ip(f, tcp_bytes(src, dst, s));
  }

  // The TCP segments the stack sent since the last call.
  std::vector<Out> out() {
    std::vector<Out> r;
    for (const Frame& f : take([](const Frame& x) { return x.is_ip() && x.proto() == 6; })) {
      const Bytes t = f.l4_bytes();
      Out o{};
      o.sport = get16(t, 0);
      o.dport = get16(t, 2);
      o.seq = get32(t, 4);
      o.ack = get32(t, 8);
      const std::size_t off = (t.at(12) >> 4) * 4u;
      o.flags = t.at(13);
      o.win = get16(t, 14);
      o.urp = get16(t, 18);
      o.options.assign(t.begin() + 20, t.begin() + static_cast<long>(off));
      o.data.assign(t.begin() + static_cast<long>(off), t.end());
      const std::uint32_t src = f.ip_src(), dst = f.ip_dst();
      const std::uint32_t pseudo = (src >> 16) + (src & 0xFFFF) + (dst >> 16) + (dst & 0xFFFF) + 6 + t.size();
      o.sum_ok = cksum(t, 0, t.size(), pseudo) == 0;
      r.push_back(o);
    }
    return r;
  }

  zektcp::socket* listen_on(std::uint16_t port, int backlog = 8) {
    zektcp::socket* so = make_socket(zektcp::SOCK_STREAM);
    EXPECT_EQ(bind(so, 0, port), 0);
    BdcLocked lock;
    EXPECT_EQ(so->so_proto->pr_usrreqs->pru_listen(so, zektcp::stack_process()), 0);
    so->so_options |= zektcp::SO_ACCEPTCONN;
    so->so_qlimit = static_cast<std::int16_t>(backlog);
    return so;
  }

  zektcp::socket* accept(zektcp::socket* head) {
    BdcLocked lock;
    zektcp::socket* so = head->so_comp;
    if (so == nullptr) return nullptr;
    zektcp::soqremque(so, 1);
    so->so_state &= ~zektcp::SS_NOFDREF;
    sockets_.push_back(so);
    return so;
  }

  // A connection the peer opened to a listener on `port`: the accepted
  // socket; *our_seq is the next sequence number we send, the peer's
  // next is peer_isn + 1.
  zektcp::socket* open_from_peer(std::uint16_t port, std::uint32_t* our_seq, std::uint32_t peer_isn = 1000,
                                 Bytes syn_options = {2, 4, 0x05, 0xB4}) {
    zektcp::socket* head = listen_on(port);
    Seg syn;
    syn.dport = port;
    syn.seq = peer_isn;
    syn.options = std::move(syn_options);
    put(syn);
    auto o = out();
    EXPECT_EQ(o.size(), 1u);
    if (o.empty()) return nullptr;
    EXPECT_EQ(o[0].flags, zektcp::TH_SYN | zektcp::TH_ACK);
    *our_seq = o[0].seq + 1;
    Seg ack;
    ack.dport = port;
    ack.seq = peer_isn + 1;
    ack.ack = *our_seq;
    ack.flags = zektcp::TH_ACK;
    put(ack);
    return accept(head);
  }

  static std::uint32_t state_of(zektcp::socket* so) {
    BdcLocked lock;
    zektcp::tcp_ctl_block* tp = zektcp::socket_is_live(so) ? zektcp::sototcpcb(so) : nullptr;
    return tp != nullptr ? tp->conn_state : zektcp::TCPS_CLOSED;
  }

  static Bytes read_all(zektcp::socket* so, int* error = nullptr) {
    const Received r = receive(so, 1 << 20);
    if (error != nullptr) *error = r.error;
    return r.data;
  }
};
