// A fuzz target for TCP input and the option parser. The first input byte
// picks what is fed: the option parser alone, or a whole segment from
// 127.0.0.2 to the stack's 127.0.0.1 (a listener on port 80 and a
// connection on port 81 wait there), whose checksum is made right unless
// the byte asks for it as it came. Answers loop back and are processed
// too; the virtual clock moves now and then so the timers run.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/kernel/kernel.h"
#include "platform/kernel/nt.h"
#include "proxy/tcpip/netinet/tcp_var.h"
#include "proxy/tcpip/stack.h"

namespace {

using namespace zektcp;

constexpr std::uint32_t kLocal = 0x7F000001;
constexpr std::uint32_t kRemote = 0x7F000002;

struct Host {
  plat::Kernel kernel;
  socket* listener = nullptr;
  socket* client = nullptr;
  std::uint64_t inputs = 0;

  static plat::KernelOptions options() {
    plat::KernelOptions o;
    o.clock = plat::Clock::Mode::Virtual;
    o.memory.bytes = std::size_t{256} << 20;
    o.debug_output = [](std::string_view) {};
    return o;
  }

  Host() : kernel(options()) {
    TcpipConfig c;
    c.mbufs.mbufs = 4096;
    c.mbufs.clusters = 512;
    c.sockets = 256;
    if (ZEK_Init_c_tcpip(&c) != ZEK_STATUS_PASS) __builtin_trap();
    AcquireBdcLock();
    create_socket(AF_INET, &listener, SOCK_STREAM, 0, stack_process());
    sockaddr_in sin = make_sockaddr_in(kLocal, 80);
    listener->so_proto->pr_usrreqs->pru_bind(listener, reinterpret_cast<sockaddr*>(&sin), stack_process());
    listener->so_proto->pr_usrreqs->pru_listen(listener, stack_process());
    listener->so_options |= SO_ACCEPTCONN;
    listener->so_qlimit = 4;
    create_socket(AF_INET, &client, SOCK_STREAM, 0, stack_process());
    sockaddr_in to = make_sockaddr_in(kLocal, 80);
    client->so_proto->pr_usrreqs->pru_connect(client, reinterpret_cast<sockaddr*>(&to), stack_process());
    ReleaseBdcLock();
    softint_round();
  }

  void tick() {
    kernel.clock().advance(10 * plat::Clock::kUnitsPerMs);
    KeFlushQueuedDpcs();
    AcquireBdcLock();
    SoftClock();
    ReleaseBdcLock();
  }
};

std::uint16_t fold(std::uint64_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Host* host = new Host;
  if (size < 1) return 0;
  const std::uint8_t mode = data[0];
  ++data;
  --size;
  if ((mode & 3) == 0) {
    tcpopt to{};
    tcp_parse_options(&to, data, static_cast<int>(size > TCP_MAXOLEN ? TCP_MAXOLEN : size), (mode & 4) != 0);
    return 0;
  }
  if (size < sizeof(tcphdr) || size > 4000) return 0;
  std::vector<std::uint8_t> seg(data, data + size);
  // Most inputs go to one of the two ports and carry a right checksum.
  if (mode & 8) {
    seg[2] = 0;
    seg[3] = (mode & 16) ? 81 : 80;
  }
  if (!(mode & 32)) {
    seg[16] = seg[17] = 0;
    std::uint64_t sum = (kLocal >> 16) + (kLocal & 0xFFFF) + (kRemote >> 16) + (kRemote & 0xFFFF) + 6 + seg.size();
    for (std::size_t i = 0; i < seg.size(); i += 2) {
      sum += static_cast<std::uint32_t>(seg[i] << 8) | (i + 1 < seg.size() ? seg[i + 1] : 0);
    }
    const std::uint16_t s = fold(sum);
    seg[16] = static_cast<std::uint8_t>(s >> 8);
    seg[17] = static_cast<std::uint8_t>(s);
  }
  std::vector<std::uint8_t> packet(sizeof(ip));
  packet.insert(packet.end(), seg.begin(), seg.end());
  mbuf* m = mbuf_from_bytes(packet.data(), static_cast<int>(packet.size()), loif(), M_DONTWAIT);
  if (m == nullptr) return 0;
  ip* h = mtod<ip>(m);
  h->ip_vhl = IP_VHL_BORING();
  h->ip_len = static_cast<std::uint16_t>(seg.size());  // as IP input leaves it: the data behind the header
  h->ip_p = IPPROTO_TCP;
  h->ip_ttl = 64;
  h->ip_src.s_addr = htonl(kRemote);
  h->ip_dst.s_addr = htonl(kLocal);
  AcquireBdcLock();
  tcp_input(m, sizeof(ip));
  ReleaseBdcLock();
  softint_round();
  if (++host->inputs % 64 == 0) host->tick();
  return 0;
}
