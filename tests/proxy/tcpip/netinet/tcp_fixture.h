// The pair of TCP endpoints (tcp_pair.h) as a GoogleTest fixture: a kernel
// on the virtual clock, the stack on pools for a megabyte in flight, both
// interfaces up, and at the end every socket closed and every pool block
// returned.
#pragma once

#include "tests/proxy/tcpip/netinet/tcp_pair.h"
#include "tests/proxy/tcpip/tcpip_fixture.h"

class TcpPairTest : public TcpipTest, protected TcpPair {
 protected:
  zektcp::TcpipConfig config() override { return pair_config(TcpipTest::config()); }

  void SetUp() override {
    TcpipTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(open_pair());
  }

  void TearDown() override {
    if (started_) close_pair();
    TcpipTest::TearDown();
  }

  void tick_clock(std::int64_t ticks) override { advance_ticks(ticks); }
  void pair_failure(const std::string& what) override { ADD_FAILURE() << what; }
};

// ---- Reading a packet the stack sent (IP header first, network order) -----------------------------
struct TcpSeen {
  std::uint32_t src, dst;
  std::uint16_t sport, dport;
  std::uint32_t seq, ack;
  std::uint8_t flags;
  std::uint16_t win;
  std::size_t data_len;
  Bytes options;
  static TcpSeen of(const Bytes& p) {
    auto g16 = [&](std::size_t at) { return static_cast<std::uint16_t>((p.at(at) << 8) | p.at(at + 1)); };
    auto g32 = [&](std::size_t at) { return (static_cast<std::uint32_t>(g16(at)) << 16) | g16(at + 2); };
    const std::size_t hl = (p.at(0) & 0xF) * 4u;
    const std::size_t total = g16(2);
    TcpSeen s{};
    s.src = g32(12);
    s.dst = g32(16);
    s.sport = g16(hl);
    s.dport = g16(hl + 2);
    s.seq = g32(hl + 4);
    s.ack = g32(hl + 8);
    const std::size_t off = (p.at(hl + 12) >> 4) * 4u;
    s.flags = p.at(hl + 13);
    s.win = g16(hl + 14);
    s.options.assign(p.begin() + static_cast<long>(hl + 20), p.begin() + static_cast<long>(hl + off));
    s.data_len = total - hl - off;
    return s;
  }
};
