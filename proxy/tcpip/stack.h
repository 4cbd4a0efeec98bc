// Start and stop of the host stack's foundation: its kernel emulation, the
// mbuf pools, the protocol domains, the routing trees, the interface layer,
// the IPv4 address layer and the socket pool. One stack exists per host
// (driver image); the pair is use-counted, and the last cleanup returns
// every allocation, joins the soft-interrupt thread and cancels the clock,
// so a host (or a test) can start and stop it again.
//
// The stack's sources sit in the BSD layer folders, each with a main header
// that says what it offers, each using the folders below it (and, as in
// BSD, the interface layer reaches up once: an interface that goes takes
// its IPv4 addresses and memberships with it):
//   kern/kern.h        the kernel the stack runs on (locks, sleep, callouts,
//                      soft interrupts, descriptors)
//   socket/socket.h    mbufs, protocol domains, sockets and socket buffers
//   net/route.h        interfaces, the radix tree, the routing table; with
//                      net/if_ether.h (Ethernet and loopback) and
//                      net/rtsock.h (the routing socket)
//   netinet/in.h       the Internet domain and its protocols: IPv4 addresses
//                      and the IPv4 tree, IP, ICMP, IGMP, UDP, raw IP, ARP,
//                      the protocol control blocks
// Beside them, shared by every layer: sockaddr.h (socket addresses) and
// bsd_errno.h (the error numbers). This header is the stack's face to its
// host; the layers' own headers are for the stack and its tests.
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
  // The loopback interface "lo0" with 127.0.0.1 (tests of the interface
  // layer alone leave it out).
  bool loopback = true;
};

}  // namespace zektcp

// Null selects the defaults. A tick other than 10 or 15 ms is refused.
ZekStatus ZEK_Init_c_tcpip(const zektcp::TcpipConfig* config);
ZekStatus ZEK_Cleanup_c_tcpip();
