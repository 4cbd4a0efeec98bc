// The stack foundation's start and stop: use-counted, checking the tick, and
// returning every allocation so that it can start again.
#include "tests/proxy/tcpip/tcpip_fixture.h"

namespace {

using namespace zektcp;

class StackLifecycleTest : public TcpipTest {};

TEST_F(StackLifecycleTest, RepeatedStartAndStopReturnEverything) {
  ASSERT_EQ(ZEK_Cleanup_c_tcpip(), ZEK_STATUS_PASS);
  started_ = false;
  EXPECT_EQ(kernel().pool().blocks_in_use(), 0u) << kernel().pool().leak_report();
  for (const std::uint32_t tick : {10u, 15u, 10u}) {
    TcpipConfig c = config();
    c.tick_ms = tick;
    ASSERT_EQ(ZEK_Init_c_tcpip(&c), ZEK_STATUS_PASS);
    EXPECT_EQ(tick_rate(), 1000 / tick);
    // Some state in every part: a chain with a cluster, a callout, a route tree.
    mbuf* m = nullptr;
    ASSERT_EQ(GetMBufHdr(&m, M_WAIT, MT_DATA), 0);
    MclAlloc(m, M_WAIT);
    callout c1;
    callout_init(&c1);
    {
      BdcLocked lock;
      callout_arm(
          &c1, 5000, [](void*) {}, nullptr);
      ASSERT_NE(rt_tree(AF_INET), nullptr);
    }
    clock().advance(2 * plat::Clock::kUnitsPerSecond);
    mbuf_free_chain(m);
    ASSERT_EQ(ZEK_Cleanup_c_tcpip(), ZEK_STATUS_PASS);
    KeFlushQueuedDpcs();
    EXPECT_EQ(kernel().pool().blocks_in_use(), 0u) << kernel().pool().leak_report();
  }
}

TEST_F(StackLifecycleTest, StartAndStopAreUseCountedAndCheckTheTick) {
  ASSERT_EQ(ZEK_Init_c_tcpip(&config_), ZEK_STATUS_PASS);  // second use
  EXPECT_EQ(ZEK_Cleanup_c_tcpip(), ZEK_STATUS_PASS);
  EXPECT_NE(rt_tree(AF_INET), nullptr);  // still running
  EXPECT_EQ(ZEK_Cleanup_c_tcpip(), ZEK_STATUS_PASS);
  started_ = false;
  EXPECT_EQ(ZEK_Cleanup_c_tcpip(), ZEK_STATUS_LIB_NOT_INITIALIZED);
  TcpipConfig bad = config();
  bad.tick_ms = 12;
  EXPECT_EQ(ZEK_Init_c_tcpip(&bad), ZEK_STATUS_FAIL);
  EXPECT_EQ(kernel().pool().blocks_in_use(), 0u);
}

}  // namespace
