// Costs of the stack foundation's hot paths: an mbuf taken and returned
// (constant time on the pre-carved lists), a packet copied with its cluster
// shared, and a route look-up among many routes.
#include <benchmark/benchmark.h>

#include <memory>

#include "platform/kernel/kernel.h"
#include "proxy/tcpip/net/route.h"
#include "proxy/tcpip/stack.h"

namespace {

using namespace zektcp;

// One host with the stack started; the stack stops before its kernel goes.
struct Host {
  Host() {
    plat::KernelOptions o;
    o.clock = plat::Clock::Mode::Virtual;
    o.memory.bytes = std::size_t{512} << 20;
    kernel = std::make_unique<plat::Kernel>(o);
    TcpipConfig c;
    c.sockets = 64;
    ZEK_Init_c_tcpip(&c);
  }
  ~Host() { ZEK_Cleanup_c_tcpip(); }
  std::unique_ptr<plat::Kernel> kernel;
};

void start_stack() { static Host host; }

void MbufGetAndFree(benchmark::State& state) {
  start_stack();
  for (auto _ : state) {
    mbuf* m = nullptr;
    GetMBufHdr(&m, M_DONTWAIT, MT_DATA);
    benchmark::DoNotOptimize(m);
    mbuf_free_one(m);
  }
}
BENCHMARK(MbufGetAndFree);

void CopyPacketSharingItsCluster(benchmark::State& state) {
  start_stack();
  mbuf* m = nullptr;
  GetMBufHdr(&m, M_DONTWAIT, MT_DATA);
  MclAlloc(m, M_DONTWAIT);
  m->m_len = m->mh.m_pkthdr.len = 1460;
  for (auto _ : state) {
    mbuf* copy = m_copym(m, 0, M_COPYALL, M_DONTWAIT);
    benchmark::DoNotOptimize(copy);
    mbuf_free_chain(copy);
  }
  mbuf_free_chain(m);
}
BENCHMARK(CopyPacketSharingItsCluster);

// Routes hang off one interface address; the look-up goes through the tree
// with as many /24 routes as the argument.
void RouteMatch(benchmark::State& state) {
  start_stack();
  radix_node_head* head = rt_tree(AF_INET);
  static ifaddr ifa{};
  static sockaddr_in self = make_sockaddr_in(0x0A000001);
  ifa.ifa_addr = reinterpret_cast<sockaddr*>(&self);
  const auto routes = static_cast<std::uint32_t>(state.range(0));
  AcquireBdcLock();
  for (std::uint32_t i = 0; i < routes; ++i) {
    sockaddr_in dst = make_sockaddr_in(0x0B000000 + (i << 8));
    sockaddr_in mask = make_sockaddr_in(0xFFFFFF00);
    rt_addrinfo info{};
    info.rti_flags = static_cast<int>(RTF_STATIC);
    info.rti_info[RTAX_DST] = reinterpret_cast<sockaddr*>(&dst);
    info.rti_info[RTAX_GATEWAY] = reinterpret_cast<sockaddr*>(&self);
    info.rti_info[RTAX_NETMASK] = reinterpret_cast<sockaddr*>(&mask);
    info.rti_ifa = &ifa;
    rtrequest(RTM_ADD, &info, nullptr);
  }
  ReleaseBdcLock();
  std::uint32_t n = 0;
  for (auto _ : state) {
    sockaddr_in probe = make_sockaddr_in(0x0B000005 + ((n++ % routes) << 8));
    benchmark::DoNotOptimize(radix_match(&probe, head));
  }
  AcquireBdcLock();
  for (std::uint32_t i = 0; i < routes; ++i) {
    sockaddr_in dst = make_sockaddr_in(0x0B000000 + (i << 8));
    sockaddr_in mask = make_sockaddr_in(0xFFFFFF00);
    rtrequest_by_addrs(RTM_DELETE, reinterpret_cast<sockaddr*>(&dst), nullptr, reinterpret_cast<sockaddr*>(&mask), 0,
                       nullptr);
  }
  ReleaseBdcLock();
}
BENCHMARK(RouteMatch)->Arg(16)->Arg(1024)->Arg(16384);

}  // namespace

BENCHMARK_MAIN();
