// A user program of a host for the TOE lab test: it makes socket calls
// through zeksock on its host's stack (ZEK_HOST names the host), moves its
// connection into the adapter with the TOE-state request, and prints what
// it saw; it exits 0 when everything held, else the step that failed.
// Every wait is bounded.
//
//   serve PORT            TCP server of one connection: prints "ready";
//                         reads the request byte through the stack, moves
//                         the connection into the adapter ("offloaded"),
//                         echoes what arrives until the peer's end, then
//                         ends its side; prints "echoed N"
//   echo ADDR PORT BYTES  TCP client: sends one request byte through the
//                         stack, moves the connection into the adapter,
//                         then sends BYTES in 16 KB pieces, each read back
//                         and compared; ends its side and reads the end;
//                         prints "echoed N"
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "include/zek/ioctl.h"
#include "include/zek/zekbase.h"
#include "include/zek/zeksock.h"
#include "tests/proxy/twohost/zeksock_calls.h"

namespace {

const ZekUserSocketTable* t = nullptr;

using twohost::fail;

constexpr int kStream = 1;
constexpr int kShutWrite = 1;
constexpr int kEWouldBlock = 35;
constexpr std::uint32_t kSetToeState = 0xC00469C8;
constexpr std::uint8_t kToeOn = 170;
constexpr std::size_t kPiece = 16384;

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// The TOE-state request; tried again while the peer has not yet
// acknowledged what the stack sent (at most 10 s).
void offload(std::int64_t s) {
  for (int tries = 0;; ++tries) {
    std::uint8_t on[4] = {kToeOn, 0, 0, 0};
    if (t->ioctl(s, kSetToeState, on) == 0) break;
    if (zek_errno != kEWouldBlock || tries > 1000) fail("TOE-state request");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  say("offloaded");
}

int serve(std::uint16_t port) {
  const std::int64_t l = t->socket(2, kStream, 0);
  const ZekSanAddress any = twohost::address_of(0, port);
  if (l < 0 || t->bind(l, &any, sizeof(any)) != 0 || t->listen(l, 1) != 0) fail("listen");
  say("ready");
  ZekSanAddress peer{};
  std::uint32_t length = sizeof(peer);
  const std::int64_t s = t->accept(l, &peer, &length);
  if (s < 0) fail("accept");
  char request = 0;
  if (t->recv(s, &request, 1, 0) != 1 || request != 'T') fail("request");
  offload(s);
  std::vector<std::uint8_t> buffer(65536);
  long long echoed = 0;
  for (;;) {
    const int n = t->recv(s, buffer.data(), static_cast<int>(buffer.size()), 0);
    if (n < 0) fail("offloaded receive");
    if (n == 0) break;
    if (!twohost::send_all(t, s, buffer.data(), static_cast<std::size_t>(n))) fail("offloaded send");
    echoed += n;
  }
  if (t->shutdown(s, kShutWrite) != 0) fail("shutdown");
  say("echoed " + std::to_string(echoed));
  t->close(s);
  t->close(l);
  return 0;
}

int echo(std::uint32_t address, std::uint16_t port, long long bytes) {
  const std::int64_t s = t->socket(2, kStream, 0);
  const ZekSanAddress a = twohost::address_of(address, port);
  if (s < 0 || t->connect(s, &a, sizeof(a)) != 0) fail("connect");
  if (!twohost::send_all(t, s, "T", 1)) fail("request");
  offload(s);
  std::vector<std::uint8_t> out(static_cast<std::size_t>(bytes));
  std::uint32_t x = 0x9E3779B9;
  for (auto& b : out) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  std::vector<std::uint8_t> back(kPiece);
  for (std::size_t at = 0; at < out.size(); at += kPiece) {
    const std::size_t n = std::min(kPiece, out.size() - at);
    if (!twohost::send_all(t, s, out.data() + at, n)) fail("offloaded send");
    if (!twohost::recv_all(t, s, back.data(), n)) fail("offloaded receive");
    if (std::memcmp(back.data(), out.data() + at, n) != 0) fail("echoed bytes differ");
  }
  if (t->shutdown(s, kShutWrite) != 0) fail("shutdown");
  char end = 0;
  if (t->recv(s, &end, 1, 0) != 0) fail("the peer's end");
  say("echoed " + std::to_string(bytes));
  t->close(s);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  if (const int code = twohost::start_sockets(&t); code != 0) return code;
  const std::string mode = argv[1];
  int result = 2;
  if (mode == "serve") {
    result = serve(static_cast<std::uint16_t>(std::atoi(argv[2])));
  } else if (mode == "echo" && argc == 5) {
    result = echo(t->inet_addr(argv[2]), static_cast<std::uint16_t>(std::atoi(argv[3])), std::atoll(argv[4]));
  }
  ZEK_CleanupLib_Sockets();
  return result;
}
