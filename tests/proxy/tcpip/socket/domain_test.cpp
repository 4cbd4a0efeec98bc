// Protocol domains: look-up, control broadcasts, drains and the two ticks.
#include "tests/proxy/tcpip/tcpip_fixture.h"

namespace {

using namespace zektcp;

int g_slow;
int g_fast;
int g_drains;
int g_ctl;
int g_inits;

int attach_ok(socket*, int, process*) { return 0; }
user_req_table g_reqs = {nullptr, nullptr, attach_ok};

void slow() { ++g_slow; }
void fast() { ++g_fast; }
void drain() { ++g_drains; }
void ctl(int, sockaddr*, void*) { ++g_ctl; }
void init() { ++g_inits; }

proto_switch g_sw[] = {
    {SOCK_STREAM, nullptr, 6, PR_CONNREQUIRED, nullptr, nullptr, ctl, nullptr, nullptr, init, nullptr, slow, drain,
     &g_reqs},
    {SOCK_DGRAM, nullptr, 17, PR_ATOMIC | PR_ADDR, nullptr, nullptr, ctl, nullptr, nullptr, init, fast, nullptr,
     nullptr, &g_reqs},
    {SOCK_RAW, nullptr, 1, PR_ATOMIC | PR_ADDR, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
     nullptr, &g_reqs},
    {SOCK_RAW, nullptr, 0, PR_ATOMIC | PR_ADDR, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
     nullptr, &g_reqs},
};

domain g_test_domain = {AF_LOCAL, "test", nullptr, nullptr, nullptr, g_sw, g_sw + 4, nullptr, nullptr, 0, 0};

class DomainTest : public TcpipTest {
 protected:
  void SetUp() override {
    TcpipTest::SetUp();
    g_slow = g_fast = g_drains = g_ctl = g_inits = 0;
    ASSERT_EQ(domaininit(&g_test_domain), 0);
  }
};

TEST_F(DomainTest, ProtocolsAreFoundByFamilyTypeAndProtocol) {
  EXPECT_EQ(g_inits, 2);  // each entry's init ran once
  EXPECT_EQ(domain_find_proto(AF_LOCAL, 6, SOCK_STREAM), &g_sw[0]);
  EXPECT_EQ(domain_find_proto(AF_LOCAL, 17, SOCK_DGRAM), &g_sw[1]);
  EXPECT_EQ(domain_find_proto(AF_LOCAL, 1, SOCK_RAW), &g_sw[2]);
  EXPECT_EQ(domain_find_proto(AF_LOCAL, 99, SOCK_RAW), &g_sw[3]);  // the raw wildcard
  EXPECT_EQ(domain_find_proto(AF_LOCAL, 99, SOCK_DGRAM), nullptr);
  EXPECT_EQ(domain_find_proto(AF_LOCAL, 6, SOCK_DGRAM), nullptr);
  EXPECT_EQ(domain_find_proto(30, 6, SOCK_STREAM), nullptr);  // no such family
  EXPECT_EQ(domain_find_type(AF_LOCAL, SOCK_DGRAM), &g_sw[1]);
  EXPECT_EQ(domain_find(AF_INET), &inetdomain);
  EXPECT_EQ(g_sw[0].pr_domain, &g_test_domain);
}

TEST_F(DomainTest, AnEntryWithoutUserRequestsKeepsItsDomainOut) {
  proto_switch broken[] = {{SOCK_STREAM, nullptr, 6}};
  domain bad = {30, "bad", nullptr, nullptr, nullptr, broken, broken + 1, nullptr, nullptr, 0, 0};
  EXPECT_EQ(domaininit(&bad), BSD_EINVAL);
  EXPECT_EQ(domain_find(30), nullptr);
}

TEST_F(DomainTest, BroadcastsAndDrainsReachEveryEntry) {
  sockaddr_in sin = make_sockaddr_in(0x0A000001);
  domain_ctl_broadcast(0, reinterpret_cast<sockaddr*>(&sin));
  EXPECT_EQ(g_ctl, 2);
  m_reclaim();
  EXPECT_EQ(g_drains, 1);
  EXPECT_EQ(mbuf_stats().m_drain, 1u);
}

TEST_F(DomainTest, SlowTicksEveryHalfSecondFastTicksEveryFifth) {
  advance_ticks(100);  // one second at 10 ms
  EXPECT_EQ(g_slow, 2);
  EXPECT_EQ(g_fast, 5);
}

}  // namespace
