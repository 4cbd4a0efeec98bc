// A kernel on the virtual clock with the host stack's foundation started on
// small pools. The stack is stopped before the kernel's leak check, so every
// test also checks that a stop returns all the stack's memory.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

#include "proxy/tcpip/kern/kern.h"
#include "proxy/tcpip/net/if.h"
#include "proxy/tcpip/net/route.h"
#include "proxy/tcpip/netinet/in.h"
#include "proxy/tcpip/socket/domain.h"
#include "proxy/tcpip/socket/mbuf.h"
#include "proxy/tcpip/socket/socket.h"
#include "proxy/tcpip/stack.h"
#include "tests/proxy/tcpip/bdc_locked.h"
#include "tests/proxy/tcpip/packets.h"
#include "tests/support/kernel_fixture.h"

class TcpipTest : public KernelTest {
 protected:
  plat::KernelOptions options() override {
    plat::KernelOptions o = KernelTest::options();
    o.memory.bytes = std::size_t{256} << 20;
    return o;
  }

  virtual zektcp::TcpipConfig config() {
    zektcp::TcpipConfig c;
    c.tick_ms = 10;
    c.mbufs.mbufs = 256;
    c.mbufs.clusters = 64;
    c.mbufs.reserve_areas = 2;
    c.sockets = 16;
    return c;
  }

  void SetUp() override {
    KernelTest::SetUp();
    config_ = config();
    ASSERT_EQ(ZEK_Init_c_tcpip(&config_), ZEK_STATUS_PASS);
    started_ = true;
  }

  void TearDown() override {
    if (started_) {
      EXPECT_EQ(ZEK_Cleanup_c_tcpip(), ZEK_STATUS_PASS);
    }
    started_ = false;
    KernelTest::TearDown();
  }

  // Moves the virtual clock by whole stack ticks and lets the clock DPC and
  // then SoftClock catch up, so every callout due by now has run.
  void advance_ticks(std::int64_t ticks) {
    clock().advance(ticks * config_.tick_ms * plat::Clock::kUnitsPerMs);
    run_softclock();
  }

  void advance_seconds(std::int64_t seconds) { advance_ticks(seconds * 1000 / config_.tick_ms); }

  static void run_softclock() {
    KeFlushQueuedDpcs();
    zektcp::AcquireBdcLock();
    zektcp::SoftClock();
    zektcp::ReleaseBdcLock();
  }

  zektcp::TcpipConfig config_;
  bool started_ = false;
};
