// Start and stop of the host stack's foundation: its kernel emulation, the
// mbuf pools, the protocol domains, the routing trees, the interface layer
// and the socket pool. One stack exists per host (driver image); the pair is
// use-counted, and the last cleanup returns every allocation, joins the
// soft-interrupt thread and cancels the clock, so a host (or a test) can
// start and stop it again.
#pragma once

#include <cstdint>

#include "include/zek/status.h"
#include "proxy/tcpip/socket/mbuf.h"
#include "proxy/tcpip/socket/socket.h"

namespace zektcp {

struct TcpipConfig {
  // The calibrated tick interval: 10 or 15 ms (100 or 66 ticks a second).
  std::uint32_t tick_ms = 10;
  MbufPoolConfig mbufs{};
  std::uint32_t sockets = SOCKET_POOL_SIZE;
};

}  // namespace zektcp

// Null selects the defaults. A tick other than 10 or 15 ms is refused.
ZekStatus ZEK_Init_c_tcpip(const zektcp::TcpipConfig* config);
ZekStatus ZEK_Cleanup_c_tcpip();
