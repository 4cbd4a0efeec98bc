#include "tests/fuzz/stack_harness.h"

#include <cstdlib>
#include <memory>

#include "platform/kernel/kernel.h"
#include "platform/kernel/nt.h"
#include "proxy/tcpip/kern/kern.h"
#include "proxy/tcpip/net/route.h"
#include "proxy/tcpip/netinet/ip.h"
#include "proxy/tcpip/netinet/ip_var.h"
#include "proxy/tcpip/socket/domain.h"
#include "proxy/tcpip/socket/socket.h"
#include "proxy/tcpip/stack.h"
#include "tests/proxy/tcpip/test_adapter.h"

namespace fuzzing {
namespace {

struct Stack {
  std::unique_ptr<plat::Kernel> kernel;
  zektcp::TcpipConfig config;
  TestAdapter adapter;
  zektcp::socket* udp = nullptr;
  zektcp::socket* raw_icmp = nullptr;
  zektcp::socket* raw_igmp = nullptr;
  zektcp::socket* routing = nullptr;
};

Stack* stack = nullptr;

[[noreturn]] void give_up(const char* what) {
  std::fprintf(stderr, "fuzz harness: %s\n", what);
  std::abort();
}

zektcp::socket* open_socket(int domain, int type, int proto) {
  zektcp::socket* so = nullptr;
  if (zektcp::create_socket(domain, &so, type, proto, zektcp::stack_process()) != 0) give_up("a socket failed");
  return so;
}

void drain_socket(zektcp::socket* so) {
  std::uint8_t buffer[2048];
  for (;;) {
    zektcp::iovec iov{buffer, sizeof(buffer)};
    zektcp::uio u{&iov, 1, 0, sizeof(buffer), zektcp::UIO_SYSSPACE, zektcp::UIO_READ, nullptr};
    zektcp::sockaddr* from = nullptr;
    int flags = zektcp::MSG_DONTWAIT;
    const int error = zektcp::receive_on_socket(so, &from, &u, nullptr, nullptr, &flags);
    if (from != nullptr) OSPrimMemFreePtr(from);
    if (error != 0 || u.uio_resid == static_cast<std::int64_t>(sizeof(buffer))) break;
  }
}

}  // namespace

void start_stack() {
  if (stack != nullptr) return;
  stack = new Stack;
  plat::KernelOptions o;
  o.clock = plat::Clock::Mode::Virtual;
  o.memory.bytes = std::size_t{64} << 20;
  o.debug_output = [](std::string_view) {};  // the stack's complaints about bad input are expected
  stack->kernel = std::make_unique<plat::Kernel>(o);
  stack->config.tick_ms = 10;
  stack->config.mbufs.mbufs = 1024;
  stack->config.mbufs.clusters = 256;
  stack->config.mbufs.reserve_areas = 2;
  stack->config.sockets = 16;
  if (ZEK_Init_c_tcpip(&stack->config) != ZEK_STATUS_PASS) give_up("the stack did not start");

  zektcp::AcquireBdcLock();
  if (testwire::attach(&stack->adapter, kOurMac, 0) != 0) give_up("the interface did not attach");
  stack->adapter.capture = false;
  if (testwire::add_address(&stack->adapter, kOurIp, kNetmask) != 0) give_up("the address was refused");
  stack->udp = open_socket(zektcp::AF_INET, zektcp::SOCK_DGRAM, 0);
  zektcp::sockaddr_in any = zektcp::make_sockaddr_in(0, kUdpPort);
  if (stack->udp->so_proto->pr_usrreqs->pru_bind(stack->udp, reinterpret_cast<zektcp::sockaddr*>(&any),
                                                 zektcp::stack_process()) != 0) {
    give_up("the UDP bind failed");
  }
  zektcp::ip_mreq mreq{{zektcp::htonl(kGroup)}, {zektcp::htonl(kOurIp)}};
  zektcp::sockopt opt{zektcp::SOPT_SET, zektcp::IPPROTO_LEVEL_IP, zektcp::IP_ADD_MEMBERSHIP, &mreq,
                      sizeof(mreq),     zektcp::stack_process()};
  if (zektcp::set_socket_option(stack->udp, &opt) != 0) give_up("the group join failed");
  stack->raw_icmp = open_socket(zektcp::AF_INET, zektcp::SOCK_RAW, zektcp::IPPROTO_ICMP);
  stack->raw_igmp = open_socket(zektcp::AF_INET, zektcp::SOCK_RAW, zektcp::IPPROTO_IGMP);
  stack->routing = open_socket(zektcp::AF_ROUTE, zektcp::SOCK_RAW, 0);
  zektcp::ReleaseBdcLock();

  // The peer is known, so the stack's answers go out instead of waiting for ARP.
  const Bytes reply = ether(kOurMac, kPeerMac, 0x0806, arp_packet(2, kPeerMac, kPeerIp, kOurMac, kOurIp));
  feed_frame(reply.data(), reply.size());
  drain();
}

void feed_frame(const std::uint8_t* frame, std::size_t size) {
  if (!testwire::queue_frame(&stack->adapter, frame, size)) return;
  zektcp::softint_round();
}

void feed_ip(const Bytes& packet) {
  const Bytes frame = ether(kOurMac, kPeerMac, 0x0800, packet);
  feed_frame(frame.data(), frame.size());
}

void feed_routing_message(const std::uint8_t* message, std::size_t size) {
  Bytes copy(message, message + size);
  zektcp::iovec iov{copy.data(), copy.size()};
  zektcp::uio u{&iov, 1, 0, static_cast<std::int64_t>(copy.size()), zektcp::UIO_SYSSPACE, zektcp::UIO_WRITE, nullptr};
  zektcp::AcquireBdcLock();
  zektcp::send_on_socket(stack->routing, nullptr, &u, nullptr, nullptr, 0, zektcp::stack_process());
  zektcp::ReleaseBdcLock();
  zektcp::softint_round();
}

void advance_seconds(unsigned seconds) {
  stack->kernel->clock().advance(std::int64_t{seconds} * 1000 * plat::Clock::kUnitsPerMs);
  KeFlushQueuedDpcs();
  zektcp::AcquireBdcLock();
  zektcp::SoftClock();
  zektcp::ReleaseBdcLock();
  zektcp::softint_round();
}

void drain() {
  zektcp::AcquireBdcLock();
  for (zektcp::socket* so : {stack->udp, stack->raw_icmp, stack->raw_igmp, stack->routing}) drain_socket(so);
  zektcp::ReleaseBdcLock();
  stack->adapter.sent.clear();
}

void fix_checksum(Bytes& b, std::size_t at, std::size_t from, std::size_t len, std::uint32_t seed) {
  if (at + 2 > b.size() || from + len > b.size()) return;
  b[at] = 0;
  b[at + 1] = 0;
  put16(b, at, cksum(b, from, len, seed));
}

std::uint32_t pseudo_header_sum(const Bytes& ip_packet, std::uint8_t proto, std::size_t l4_length) {
  if (ip_packet.size() < 20) return 0;
  const std::uint32_t src = get32(ip_packet, 12);
  const std::uint32_t dst = get32(ip_packet, 16);
  return (src >> 16) + (src & 0xFFFF) + (dst >> 16) + (dst & 0xFFFF) + proto + static_cast<std::uint32_t>(l4_length);
}

}  // namespace fuzzing
