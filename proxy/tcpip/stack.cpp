// The stack foundation's use-counted start and stop.
#include "proxy/tcpip/stack.h"

#include <cstring>

#include "proxy/tcpip/kern/kern_internal.h"
#include "proxy/tcpip/net/if_ether.h"
#include "proxy/tcpip/net/route.h"
#include "proxy/tcpip/net/rtsock.h"
#include "proxy/tcpip/netinet/in.h"
#include "proxy/tcpip/netinet/tcp_var.h"
#include "proxy/tcpip/socket/domain.h"

namespace {

std::uint32_t g_uses;

// Clock DPC and soft-interrupt thread stop before anything they reach goes.
void quiesce() {
  zektcp::g_kern.clock_armed = (KeCancelTimer(&zektcp::g_kern.clock_timer), false);
  KeFlushQueuedDpcs();
  zektcp::softint_stop();
}

// "lo0" with 127.0.0.1/8.
int attach_loopback() {
  using namespace zektcp;
  ifnet* lo = loop_attach();
  if (lo == nullptr) return BSD_ENOBUFS;
  ifaliasreq req{};
  iface_full_name(lo, req.ifra_name);
  const sockaddr_in address = make_sockaddr_in(0x7F000001);
  const sockaddr_in mask = make_sockaddr_in(0xFF000000);
  std::memcpy(&req.ifra_addr, &address, sizeof(address));
  std::memcpy(&req.ifra_mask, &mask, sizeof(mask));
  const int error = in_control(nullptr, SIOCAIFADDR, &req, lo, nullptr);
  if (error != 0) OSPrimDebugPrint("set_interface:in_control failed SIOCAIFADDR\n");
  return error;
}

void teardown() {
  using namespace zektcp;
  quiesce();
  AcquireBdcLock();
  // The sockets' control blocks go first (they hold routes and
  // memberships), then the interfaces, then what the protocols keep.
  tcp_stop();
  udp_stop();
  rip_stop();
  rawsock_stop();
  loop_detach();
  iface_stop();
  in_domain_stop();
  route_set_reporter(nullptr);
  in_ifaddr_reset();
  in_tree_stop();
  route_stop();
  in_rand_reset();
  ReleaseBdcLock();
  domain_stop();
  socket_pool_stop();
  mbuf_stop();
  kern_stop();
}

}  // namespace

ZekStatus ZEK_Init_c_tcpip(const zektcp::TcpipConfig* config) {
  using namespace zektcp;
  if (g_uses > 0) {
    ++g_uses;
    return ZEK_STATUS_PASS;
  }
  const TcpipConfig chosen = config != nullptr ? *config : TcpipConfig{};
  if (chosen.tick_ms != 10 && chosen.tick_ms != 15) {
    ZEK_LOG_FAILURE("ZekTcpStackInit: tick of %u ms is not 10 or 15\n", chosen.tick_ms);
    return ZEK_STATUS_FAIL;
  }
  if (kern_start(chosen.tick_ms) != 0) {
    ZEK_LOG_FAILURE("ZekTcpStackInit: kernel emulation FAILED\n");
    return ZEK_STATUS_FAIL;
  }
  if (mbuf_start(chosen.mbufs) != 0) {
    OSPrimDebugPrint("ZekTcpStackInit:mbinit FAILED file[%s] LINE[%d] \n", __FILE__, __LINE__);
    kern_stop();
    return ZEK_STATUS_FAIL;
  }
  if (socket_pool_start(chosen.sockets) != 0) {
    OSPrimDebugPrint("init_socks FILE[%s] LINE[%d] \n", __FILE__, __LINE__);
    mbuf_stop();
    kern_stop();
    return ZEK_STATUS_FAIL;
  }
  iface_start();
  in_ifaddr_reset();
  domaininit(&inetdomain);
  domaininit(&routedomain);
  domain_start();
  AcquireBdcLock();
  rn_init();
  const int lo_error = chosen.loopback ? attach_loopback() : 0;
  ReleaseBdcLock();
  if (lo_error != 0) {
    teardown();
    return ZEK_STATUS_FAIL;
  }
  kern_start_clock();
  g_uses = 1;
  return ZEK_STATUS_PASS;
}

ZekStatus ZEK_Cleanup_c_tcpip() {
  if (g_uses == 0) {
    ZEK_LOG_FAILURE("ZekTcpStackCleanup: the stack is not started\n");
    return ZEK_STATUS_LIB_NOT_INITIALIZED;
  }
  if (--g_uses > 0) return ZEK_STATUS_PASS;
  teardown();
  return ZEK_STATUS_PASS;
}
