// A user program of the host for the tests: starts zeksock, makes a TCP
// listener on 127.0.0.1 and a connection to the port given as its argument,
// prints "<listener> <listener port>\n" and then waits to be killed.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "include/zek/ioctl.h"
#include "include/zek/zekbase.h"
#include "include/zek/zeksock.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  ZekSocketsInitParams params{0, 0};
  if (ZEK_InitLib_Sockets(&params, ZEK_ABI_COOKIE) != ZEK_STATUS_PASS) return 3;
  void* table = nullptr;
  if (ZEK_GetInterface(ZEK_SOCKETS_INTERFACE, &table) != ZEK_STATUS_PASS) return 4;
  const auto* t = static_cast<const ZekUserSocketTable*>(table);
  const std::int64_t l = t->socket(2, 1, 0);
  ZekSanAddress a{};
  a.Family = static_cast<std::uint16_t>(16 | (2 << 8));
  a.Address = 0x0100007F;
  if (l < 0 || t->bind(l, &a, sizeof(a)) != 0 || t->listen(l, 4) != 0) return 5;
  std::uint32_t length = sizeof(a);
  if (t->getsockname(l, &a, &length) != 0) return 6;
  const std::int64_t c = t->socket(2, 1, 0);
  ZekSanAddress peer = a;
  peer.Port = __builtin_bswap16(static_cast<std::uint16_t>(std::atoi(argv[1])));
  if (c < 0 || t->connect(c, &peer, sizeof(peer)) != 0) return 7;
  std::printf("%lld %u\n", static_cast<long long>(l), __builtin_bswap16(a.Port));
  std::fflush(stdout);
  for (;;) pause();
}
