// A user program of a host for the two-host tests: it makes socket calls
// through zeksock on its host's stack (ZEK_HOST names the host) and prints
// what it saw, one fact a line; it exits 0 when everything held, else the
// step that failed. Every wait is bounded.
//
//   serve PORT [BUFFER]     TCP server (socket buffers of BUFFER bytes when
//                           given): prints "ready"; for each connection
//                           "peer A.B.C.D" and serves, in a thread of its
//                           own, the first byte's
//                           request: 'E' echo until the peer's end, then
//                           end; 'C' close at once; 'H' read to the peer's
//                           end, answer "done", close; 'R' wait for the
//                           peer's reset
//   echo ADDR PORT BYTES    TCP client: non-blocking connect, BYTES sent
//                           and read back through poll; prints "sha256
//                           SENT RECEIVED"
//   closes ADDR PORT        TCP client: the close orders, one line each
//   udp-serve PORT          UDP echo server, prints "ready"
//   udp ADDR PORT SIZE...   UDP client: each size sent and echoed (select)
//   ping ADDR COUNT         ICMP echo through a raw socket; prints "rtt US"
//   refused ADDR PORT       connected UDP socket to a port nobody serves:
//                           "refused seen" when the port unreachable came
//                           back as the socket's error, once
//   group-serve GROUP PORT LOCAL
//                           joins GROUP on LOCAL's interface, prints "ready",
//                           "group from A.B.C.D BYTES" for a datagram that
//                           comes within 3 s, then leaves: "left"
//   group-send GROUP PORT LOCAL [MARKER]
//                           one datagram to GROUP through LOCAL's interface;
//                           with MARKER, then "marker" to MARKER's PORT
//   group-listen GROUP PORT LOCAL
//                           a socket of PORT, outside GROUP, then a member on
//                           LOCAL's interface, then left: in each phase
//                           "PHASE ready", then, once the marker came (10 s
//                           at most), "PHASE group N" with N the datagrams
//                           of the group's sender that came before it
//                           ("from A.B.C.D" with the last one's source)
//   raw-serve PROTO         raw socket of protocol PROTO, prints "ready", then
//                           "raw from A.B.C.D BYTES ok" for the first datagram
//   raw-send ADDR PROTO     one datagram of protocol PROTO to ADDR
//   routes ADDR LOCAL       a routing socket's messages ("rtm TYPE A.B.C.D")
//                           while it asks for the route to ADDR, resolves
//                           ADDR, and LOCAL/24 is added to ZEK0 and deleted
//   kernel-echo ADDR PORT BYTES
//                           asks the host's kernel socket client driver
//                           (zeksocktest) for a TCP echo of BYTES with a
//                           serve at ADDR PORT; prints its report
//   features ADDR PORT      against a serve (or a server that takes the
//                           first byte and echoes the rest, on each
//                           connection at once): poll and select over several
//                           connections, options, the sockets' names, the
//                           TCP statistics and the interface list
#include <openssl/evp.h>
#include <openssl/sha.h>

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
#include "platform/user/win32.h"
#include "tests/proxy/twohost/socktestdrv/socktestdrv.h"
#include "tests/proxy/twohost/tcp_stats.h"
#include "tests/proxy/twohost/zeksock_calls.h"

namespace {

const ZekUserSocketTable* t = nullptr;

constexpr int kStream = 1, kDgram = 2, kRaw = 3;
constexpr int kSolSocket = 0xFFFF, kSoLinger = 0x80, kSoError = 0x1007, kSoSndBuf = 0x1001, kSoRcvBuf = 0x1002;
constexpr int kShutWrite = 1;
constexpr int kEInProgress = 36, kEWouldBlock = 35, kEConnReset = 54, kEConnRefused = 61;
constexpr int kIpLevel = 0, kIpMulticastIf = 9, kIpAddMembership = 12, kIpDropMembership = 13;
constexpr int kTcpLevel = 6, kTcpNoDelay = 1, kSoKeepAlive = 0x8;
constexpr int kRouteFamily = 17;

using twohost::address_of;
using twohost::fail;

std::string text_of(std::uint32_t network) {
  char text[32] = {};
  t->inet_ntoa(network, text);
  return text;
}

long long now_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void set_nonblocking(std::int64_t s, bool on) {
  if (t->fcntl(s, ZEK_F_SETFL, on ? ZEK_O_NONBLOCK : 0) != 0) fail("fcntl");
}

bool wait_for(std::int64_t s, std::int16_t events, int ms) { return twohost::wait_for(t, s, events, ms); }

std::int64_t connect_to(std::uint32_t address, std::uint16_t port) {
  const std::int64_t s = t->socket(2, kStream, 0);
  if (s < 0) fail("socket");
  set_nonblocking(s, true);
  const ZekSanAddress a = address_of(address, port);
  if (t->connect(s, &a, sizeof(a)) != 0 && zek_errno != kEInProgress) fail("connect");
  if (!wait_for(s, ZEK_POLLOUT, 20000)) fail("connect completes");
  std::int32_t error = -1;
  std::uint32_t length = sizeof(error);
  if (t->getsockopt(s, kSolSocket, kSoError, &error, &length) != 0 || error != 0) fail("SO_ERROR");
  set_nonblocking(s, false);
  return s;
}

bool send_all(std::int64_t s, const void* data, std::size_t length) { return twohost::send_all(t, s, data, length); }

// Reads until the peer's end (0); the bytes, or -1 on an error.
long long read_to_end(std::int64_t s, std::vector<std::uint8_t>* into = nullptr) {
  std::vector<std::uint8_t> buffer(65536);
  long long total = 0;
  for (;;) {
    const int n = t->recv(s, buffer.data(), static_cast<int>(buffer.size()), 0);
    if (n == 0) return total;
    if (n < 0) return -1;
    if (into != nullptr) into->insert(into->end(), buffer.begin(), buffer.begin() + n);
    total += n;
  }
}

std::string hex(const std::uint8_t* digest) {
  std::string out;
  char b[3];
  for (int i = 0; i < SHA256_DIGEST_LENGTH; ++i) {
    std::snprintf(b, sizeof b, "%02x", digest[i]);
    out += b;
  }
  return out;
}

void serve_one(std::int64_t s) {
  char request = 0;
  if (t->recv(s, &request, 1, 0) != 1) {
    t->close(s);
    return;
  }
  if (request == 'E') {
    std::vector<std::uint8_t> buffer(65536);
    for (;;) {
      const int n = t->recv(s, buffer.data(), static_cast<int>(buffer.size()), 0);
      if (n <= 0 || !send_all(s, buffer.data(), static_cast<std::size_t>(n))) break;
    }
    t->shutdown(s, kShutWrite);
  } else if (request == 'H') {
    if (read_to_end(s) >= 0) send_all(s, "done", 4);
  } else if (request == 'R') {
    char c;
    const int n = t->recv(s, &c, 1, 0);
    std::printf("reset %s\n", n < 0 && zek_errno == kEConnReset ? "seen" : "missed");
    std::fflush(stdout);
  }
  t->close(s);
}

int serve(std::uint16_t port, std::int32_t buffer_bytes) {
  const std::int64_t l = t->socket(2, kStream, 0);
  const ZekSanAddress any = address_of(0, port);
  if (l < 0 || t->bind(l, &any, sizeof(any)) != 0) fail("bind");
  // The listener's buffers (and window scale) pass to its connections.
  if (buffer_bytes > 0 && (t->setsockopt(l, kSolSocket, kSoSndBuf, &buffer_bytes, sizeof(buffer_bytes)) != 0 ||
                           t->setsockopt(l, kSolSocket, kSoRcvBuf, &buffer_bytes, sizeof(buffer_bytes)) != 0)) {
    fail("socket buffers");
  }
  if (t->listen(l, 8) != 0) fail("listen");
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) {
    // select for the next connection, as a server of several sockets would.
    std::uint8_t read_set[1024] = {};
    read_set[l / 8] = static_cast<std::uint8_t>(1u << (l % 8));
    const ZekTimeval forever{3600, 0};
    if (t->select(static_cast<int>(l) + 1, read_set, nullptr, nullptr, &forever) != 1) fail("select");
    ZekSanAddress peer{};
    std::uint32_t length = sizeof(peer);
    const std::int64_t s = t->accept(l, &peer, &length);
    if (s < 0) fail("accept");
    std::printf("peer %s\n", text_of(peer.Address).c_str());
    std::fflush(stdout);
    // Each connection is served by a thread of its own, so a client may hold
    // several at once.
    std::thread(serve_one, s).detach();
  }
}

int echo(std::uint32_t address, std::uint16_t port, long long bytes) {
  const std::int64_t s = connect_to(address, port);
  if (!send_all(s, "E", 1)) fail("request");
  std::vector<std::uint8_t> out(static_cast<std::size_t>(bytes));
  std::uint32_t x = 0x2545F491;
  for (auto& b : out) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    b = static_cast<std::uint8_t>(x);
  }
  // Both directions at once through poll: the echo comes back while the
  // rest is still being sent.
  set_nonblocking(s, true);
  EVP_MD_CTX* received_hash = EVP_MD_CTX_new();
  EVP_DigestInit_ex(received_hash, EVP_sha256(), nullptr);
  std::size_t sent = 0;
  long long received = 0;
  bool ended = false, shut = false;
  std::vector<std::uint8_t> buffer(65536);
  const long long deadline = now_us() + 120'000'000;
  while (!ended) {
    if (now_us() > deadline) fail("echo in time");
    if (sent == out.size() && !shut) {
      if (t->shutdown(s, kShutWrite) != 0) fail("shutdown");
      shut = true;
    }
    ZekPollFd entry{static_cast<std::int32_t>(s), static_cast<std::int16_t>(ZEK_POLLIN | (shut ? 0 : ZEK_POLLOUT)), 0};
    if (t->poll(&entry, 1, 10000) < 0) fail("poll");
    if (entry.Revents & ZEK_POLLIN) {
      const int n = t->recv(s, buffer.data(), static_cast<int>(buffer.size()), 0);
      if (n == 0) {
        ended = true;
      } else if (n > 0) {
        EVP_DigestUpdate(received_hash, buffer.data(), static_cast<std::size_t>(n));
        received += n;
      } else if (zek_errno != kEWouldBlock) {
        fail("recv");
      }
    }
    if (!shut && (entry.Revents & ZEK_POLLOUT)) {
      const int n =
          t->send(s, out.data() + sent, static_cast<int>(std::min<std::size_t>(out.size() - sent, 1 << 16)), 0);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
      } else if (zek_errno != kEWouldBlock) {
        fail("send");
      }
    }
  }
  std::uint8_t a[SHA256_DIGEST_LENGTH], b[SHA256_DIGEST_LENGTH];
  SHA256(out.data(), out.size(), a);
  EVP_DigestFinal_ex(received_hash, b, nullptr);
  EVP_MD_CTX_free(received_hash);
  std::printf("bytes %zu %lld\nsha256 %s %s\n", sent, received, hex(a).c_str(), hex(b).c_str());
  t->close(s);
  return received == bytes && std::memcmp(a, b, sizeof a) == 0 ? 0 : 1;
}

// Socket buffers for the largest datagram (the stack's defaults, as BSD's,
// are smaller).
void room_for_datagrams(std::int64_t s) {
  const std::int32_t bytes = 256 * 1024;
  if (t->setsockopt(s, kSolSocket, kSoSndBuf, &bytes, sizeof(bytes)) != 0 ||
      t->setsockopt(s, kSolSocket, kSoRcvBuf, &bytes, sizeof(bytes)) != 0) {
    fail("socket buffers");
  }
}

// Every close order of a connection, each reported as "close NAME ok".
int closes(std::uint32_t address, std::uint16_t port) {
  int failures = 0;
  auto report = [&](const char* name, bool ok) {
    std::printf("close %s %s\n", name, ok ? "ok" : "FAILED");
    failures += ok ? 0 : 1;
  };
  {  // The client closes first: the server sees the end and closes too.
    const std::int64_t s = connect_to(address, port);
    const bool ok = send_all(s, "E", 1) && t->shutdown(s, kShutWrite) == 0 && read_to_end(s) == 0;
    report("active", ok && t->close(s) == 0);
  }
  {  // The server closes first.
    const std::int64_t s = connect_to(address, port);
    const bool ok = send_all(s, "C", 1) && read_to_end(s) == 0;
    report("passive", ok && t->close(s) == 0);
  }
  {  // Half close: the client's direction ends, the server's still answers.
    const std::int64_t s = connect_to(address, port);
    std::vector<std::uint8_t> answer;
    const bool ok = send_all(s, "Hpayload", 8) && t->shutdown(s, kShutWrite) == 0 && read_to_end(s, &answer) == 4 &&
                    std::memcmp(answer.data(), "done", 4) == 0;
    report("half", ok && t->close(s) == 0);
  }
  {  // Both ends close at about the same time.
    const std::int64_t s = connect_to(address, port);
    const bool ok = send_all(s, "C", 1) && t->close(s) == 0;
    report("simultaneous", ok);
  }
  {  // A reset: linger 0, then close.
    const std::int64_t s = connect_to(address, port);
    const std::int32_t linger[2] = {1, 0};
    const bool ok = send_all(s, "R", 1) && t->setsockopt(s, kSolSocket, kSoLinger, linger, sizeof(linger)) == 0;
    report("reset", ok && t->close(s) == 0);
  }
  std::fflush(stdout);
  return failures;
}

int udp_serve(std::uint16_t port) {
  const std::int64_t s = t->socket(2, kDgram, 0);
  const ZekSanAddress any = address_of(0, port);
  if (s < 0 || t->bind(s, &any, sizeof(any)) != 0) fail("udp bind");
  room_for_datagrams(s);
  std::printf("ready\n");
  std::fflush(stdout);
  std::vector<std::uint8_t> buffer(65536);
  for (;;) {
    ZekSanAddress from{};
    std::uint32_t length = sizeof(from);
    const int n = t->recvfrom(s, buffer.data(), static_cast<int>(buffer.size()), 0, &from, &length);
    if (n < 0) fail("recvfrom");
    t->sendto(s, buffer.data(), n, 0, &from, sizeof(from));
  }
}

int udp(std::uint32_t address, std::uint16_t port, const std::vector<int>& sizes) {
  const std::int64_t s = t->socket(2, kDgram, 0);
  if (s < 0) fail("udp socket");
  room_for_datagrams(s);
  const ZekSanAddress to = address_of(address, port);
  int failures = 0;
  std::vector<std::uint8_t> in(65536);
  for (const int size : sizes) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(size));
    for (int i = 0; i < size; ++i) out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i * 7 + size);
    bool echoed = false;
    for (int attempt = 0; attempt < 5 && !echoed; ++attempt) {
      if (t->sendto(s, out.data(), size, 0, &to, sizeof(to)) != size) fail("sendto");
      std::uint8_t read_set[1024] = {};
      read_set[s / 8] = static_cast<std::uint8_t>(1u << (s % 8));
      const ZekTimeval wait{2, 0};
      if (t->select(static_cast<int>(s) + 1, read_set, nullptr, nullptr, &wait) != 1) continue;
      const int n = t->recv(s, in.data(), static_cast<int>(in.size()), 0);
      echoed = n == size && std::memcmp(in.data(), out.data(), out.size()) == 0;
    }
    std::printf("udp %d %s\n", size, echoed ? "ok" : "FAILED");
    failures += echoed ? 0 : 1;
  }
  std::fflush(stdout);
  return failures;
}

std::uint16_t checksum(const std::uint8_t* p, std::size_t n) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < n; i += 2) sum += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
  if (n & 1) sum += static_cast<std::uint32_t>(p[n - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

int ping(std::uint32_t address, int count) {
  const std::int64_t s = t->socket(2, kRaw, 1);
  if (s < 0) fail("raw socket");
  const ZekSanAddress to = address_of(address, 0);
  int answered = 0;
  long long best = -1;
  for (int seq = 1; seq <= count; ++seq) {
    std::uint8_t request[64] = {
        8, 0, 0, 0, 0x5A, 0x4B, static_cast<std::uint8_t>(seq >> 8), static_cast<std::uint8_t>(seq)};
    for (int i = 8; i < 64; ++i) request[i] = static_cast<std::uint8_t>(i);
    const std::uint16_t sum = checksum(request, sizeof request);
    request[2] = static_cast<std::uint8_t>(sum >> 8);
    request[3] = static_cast<std::uint8_t>(sum);
    const long long start = now_us();
    if (t->sendto(s, request, sizeof request, 0, &to, sizeof(to)) != sizeof request) fail("ping sendto");
    std::uint8_t reply[256];
    for (int reads = 0; reads < 8 && wait_for(s, ZEK_POLLIN, 2000); ++reads) {
      const int n = t->recv(s, reply, sizeof reply, 0);
      if (n < 0) break;
      const int ihl = (reply[0] & 0xF) * 4;
      if (n >= ihl + 8 && reply[ihl] == 0 && reply[ihl + 4] == 0x5A && reply[ihl + 5] == 0x4B &&
          reply[ihl + 7] == static_cast<std::uint8_t>(seq) && std::memcmp(reply + ihl + 8, request + 8, 56) == 0) {
        ++answered;
        const long long rtt = now_us() - start;
        best = best < 0 || rtt < best ? rtt : best;
        break;
      }
    }
  }
  std::printf("ping %d of %d answered, best rtt %lld us\n", answered, count, best);
  std::fflush(stdout);
  return answered == count ? 0 : 1;
}

int refused(std::uint32_t address, std::uint16_t port) {
  const std::int64_t s = t->socket(2, kDgram, 0);
  const ZekSanAddress to = address_of(address, port);
  if (s < 0 || t->connect(s, &to, sizeof(to)) != 0) fail("udp connect");
  bool seen = false;
  // The first datagram may wait for ARP; a few are sent until one is refused.
  for (int attempt = 0; attempt < 5 && !seen; ++attempt) {
    if (t->send(s, "nobody", 6, 0) != 6) {
      seen = zek_errno == kEConnRefused;  // an error not yet read is reported here too
      break;
    }
    if (!wait_for(s, ZEK_POLLIN, 2000)) continue;
    char c[16];
    seen = t->recv(s, c, sizeof c, 0) < 0 && zek_errno == kEConnRefused;
  }
  // Reported once: the socket is quiet afterwards.
  set_nonblocking(s, true);
  char c[16];
  const bool once = t->recv(s, c, sizeof c, 0) < 0 && zek_errno == kEWouldBlock;
  std::printf("refused %s%s\n", seen ? "seen" : "missed", once ? "" : " again");
  std::fflush(stdout);
  t->close(s);
  return seen && once ? 0 : 1;
}

int group_serve(std::uint32_t group, std::uint16_t port, std::uint32_t local) {
  const std::int64_t s = t->socket(2, kDgram, 0);
  const ZekSanAddress any = address_of(0, port);
  if (s < 0 || t->bind(s, &any, sizeof(any)) != 0) fail("group bind");
  const std::uint32_t membership[2] = {group, local};
  if (t->setsockopt(s, kIpLevel, kIpAddMembership, membership, sizeof(membership)) != 0) fail("join");
  std::printf("ready\n");
  std::fflush(stdout);
  // A datagram to the group, when one comes within 3 s.
  if (wait_for(s, ZEK_POLLIN, 3000)) {
    char buffer[256];
    ZekSanAddress from{};
    std::uint32_t length = sizeof(from);
    const int n = t->recvfrom(s, buffer, sizeof buffer, 0, &from, &length);
    if (n > 0) std::printf("group from %s %d\n", text_of(from.Address).c_str(), n);
  }
  if (t->setsockopt(s, kIpLevel, kIpDropMembership, membership, sizeof(membership)) != 0) fail("leave");
  std::printf("left\n");
  std::fflush(stdout);
  t->close(s);
  return 0;
}

int group_send(std::uint32_t group, std::uint16_t port, std::uint32_t local, std::uint32_t marker) {
  const std::int64_t s = t->socket(2, kDgram, 0);
  if (s < 0 || t->setsockopt(s, kIpLevel, kIpMulticastIf, &local, sizeof(local)) != 0) fail("multicast interface");
  const ZekSanAddress to = address_of(group, port);
  if (t->sendto(s, "group datagram", 14, 0, &to, sizeof(to)) != 14) fail("group sendto");
  // The marker goes after the group's datagram on the same wire (and needs
  // ARP first): a listener that reads it before any group datagram was not
  // given one.
  const ZekSanAddress after = address_of(marker, port);
  if (marker != 0 && t->sendto(s, "marker", 6, 0, &after, sizeof(after)) != 6) fail("marker sendto");
  t->close(s);
  return 0;
}

// Reads until the marker: the group datagrams that came before it.
void count_until_marker(std::int64_t s, const char* phase) {
  int group = 0;
  bool marker = false;
  std::string source;
  while (!marker && wait_for(s, ZEK_POLLIN, 10'000)) {
    char buffer[64] = {};
    ZekSanAddress from{};
    std::uint32_t length = sizeof(from);
    const int n = t->recvfrom(s, buffer, sizeof buffer - 1, 0, &from, &length);
    if (n < 0) fail("group recvfrom");
    marker = std::strcmp(buffer, "marker") == 0;
    if (std::strcmp(buffer, "group datagram") == 0) {
      ++group;
      source = text_of(from.Address);
    }
  }
  std::printf("%s group %d%s%s\n", phase, group, source.empty() ? "" : " from ", source.c_str());
  if (!marker) std::printf("%s no marker\n", phase);
  std::fflush(stdout);
}

int group_listen(std::uint32_t group, std::uint16_t port, std::uint32_t local) {
  const std::int64_t s = t->socket(2, kDgram, 0);
  const ZekSanAddress any = address_of(0, port);
  if (s < 0 || t->bind(s, &any, sizeof(any)) != 0) fail("group bind");
  const std::uint32_t membership[2] = {group, local};
  const auto phase = [&](const char* name) {
    std::printf("%s ready\n", name);
    std::fflush(stdout);
    count_until_marker(s, name);
  };
  phase("outside");
  if (t->setsockopt(s, kIpLevel, kIpAddMembership, membership, sizeof(membership)) != 0) fail("join");
  phase("member");
  if (t->setsockopt(s, kIpLevel, kIpDropMembership, membership, sizeof(membership)) != 0) fail("leave");
  phase("left");
  t->close(s);
  return 0;
}

constexpr int kRawBytes = 100;
std::uint8_t raw_byte(int i) { return static_cast<std::uint8_t>(i * 13 + 1); }

int raw_serve(int protocol) {
  const std::int64_t s = t->socket(2, kRaw, protocol);
  if (s < 0) fail("raw socket");
  std::printf("ready\n");
  std::fflush(stdout);
  if (!wait_for(s, ZEK_POLLIN, 30000)) fail("raw datagram");
  std::uint8_t in[512];
  ZekSanAddress from{};
  std::uint32_t length = sizeof(from);
  const int n = t->recvfrom(s, in, sizeof in, 0, &from, &length);
  if (n < 20) fail("raw recvfrom");
  // A raw socket reads the IP header too.
  const int ihl = (in[0] & 0xF) * 4;
  bool ok = in[9] == protocol && n - ihl == kRawBytes;
  for (int i = 0; ok && i < kRawBytes; ++i) ok = in[ihl + i] == raw_byte(i);
  std::printf("raw from %s %d %s\n", text_of(from.Address).c_str(), n - ihl, ok ? "ok" : "FAILED");
  std::fflush(stdout);
  t->close(s);
  return ok ? 0 : 1;
}

int raw_send(std::uint32_t address, int protocol) {
  const std::int64_t s = t->socket(2, kRaw, protocol);
  if (s < 0) fail("raw socket");
  std::uint8_t out[kRawBytes];
  for (int i = 0; i < kRawBytes; ++i) out[i] = raw_byte(i);
  const ZekSanAddress to = address_of(address, 0);
  if (t->sendto(s, out, kRawBytes, 0, &to, sizeof(to)) != kRawBytes) fail("raw sendto");
  t->close(s);
  return 0;
}

// Routing-socket messages: a header, then the addresses its bits name in
// bit order, each padded to 4 bytes.
const char* message_name(int type) {
  switch (type) {
    case 1:
      return "add";
    case 2:
      return "delete";
    case 4:
      return "get";
    case 12:
      return "newaddr";
    case 13:
      return "deladdr";
    default:
      return "other";
  }
}

// The address at bit `want` of a message whose addresses start at `at`.
std::uint32_t message_address(const std::uint8_t* message, int length, int at, int bits, int want) {
  for (int bit = 0; bit < 8 && at < length; ++bit) {
    if (!(bits & (1 << bit))) continue;
    const int sa_len = message[at];
    if (bit == want && sa_len >= 8 && message[at + 1] == 2 && at + 8 <= length) {
      std::uint32_t a;
      std::memcpy(&a, message + at + 4, 4);
      return a;
    }
    at += sa_len == 0 ? 4 : (sa_len + 3) & ~3;
  }
  return 0;
}

// Reads the routing socket's messages for up to `ms`, printing each.
void read_messages(std::int64_t r, int ms) {
  std::uint8_t m[2048];
  while (wait_for(r, ZEK_POLLIN, ms)) {
    const int n = t->recv(r, m, sizeof m, 0);
    if (n < 4) break;
    const int type = m[3];
    std::uint32_t address = 0;
    if (type == 12 || type == 13) {
      std::int32_t bits;
      std::memcpy(&bits, m + 4, 4);
      address = message_address(m, n, 20, bits, 5);  // the interface address
    } else if (n >= 92) {
      std::int32_t bits, flags, error;
      std::memcpy(&flags, m + 8, 4);
      std::memcpy(&bits, m + 12, 4);
      std::memcpy(&error, m + 24, 4);
      address = message_address(m, n, 92, bits, 0);  // the destination
      if (type == 4) std::printf("rtm get error %d done %d\n", error, (flags & 0x40) != 0);
    }
    std::printf("rtm %s %s\n", message_name(type), text_of(address).c_str());
  }
  std::fflush(stdout);
}

int routes(std::uint32_t peer, std::uint32_t local) {
  const std::int64_t r = t->socket(kRouteFamily, kRaw, 0);
  if (r < 0) fail("routing socket");
  set_nonblocking(r, true);
  // Ask for the route to the peer.
  std::uint8_t get[92 + 16] = {};
  const std::uint16_t length = sizeof get;
  std::memcpy(get, &length, 2);
  get[2] = 5;  // version
  get[3] = 4;  // RTM_GET
  const std::int32_t bits = 1, seq = 7;
  std::memcpy(get + 12, &bits, 4);
  std::memcpy(get + 20, &seq, 4);
  const ZekSanAddress destination = address_of(peer, 0);
  std::memcpy(get + 92, &destination, 16);
  if (t->send(r, get, sizeof get, 0) != static_cast<int>(sizeof get)) fail("route get");
  read_messages(r, 500);
  // An interface address of another network: its address and its route come
  // and go.
  const std::int64_t s = t->socket(2, kDgram, 0);
  std::uint8_t alias[64] = {};
  std::memcpy(alias, "ZEK0", 4);
  const ZekSanAddress address = address_of(local, 0);
  const ZekSanAddress broadcast = address_of(local | 0xFF000000u, 0);
  const ZekSanAddress mask = address_of(0x00FFFFFFu, 0);
  std::memcpy(alias + 16, &address, 16);
  std::memcpy(alias + 32, &broadcast, 16);
  std::memcpy(alias + 48, &mask, 16);
  if (t->ioctl(s, 0x8040691A, alias) != 0) fail("SIOCAIFADDR");
  read_messages(r, 500);
  std::uint8_t request[32] = {};
  std::memcpy(request, "ZEK0", 4);
  std::memcpy(request + 16, &address, 16);
  if (t->ioctl(s, 0x80206919, request) != 0) fail("SIOCDIFADDR");
  read_messages(r, 500);
  t->close(s);
  t->close(r);
  return 0;
}

// The TCP statistics' connection attempts and connections made (the first
// and third counters).
std::uint32_t connects() {
  twohost::TcpStatsBlock block = {};
  if (!twohost::read_tcp_stats(block)) fail("IOCTL_TCP_GET_STATS");
  return block[0] + block[2];
}

int features(std::uint32_t address, std::uint16_t port) {
  int failures = 0;
  auto report = [&](const char* what, bool ok) {
    std::printf("%s %s\n", what, ok ? "ok" : "FAILED");
    failures += ok ? 0 : 1;
  };
  const std::uint32_t before = connects();
  constexpr int kCount = 3;
  std::int64_t s[kCount];
  for (auto& x : s) {
    x = connect_to(address, port);
    if (!send_all(x, "E", 1)) fail("request");
  }
  report("statistics", connects() >= before + kCount);

  // Names: the peer is the server, the local end one of this host's.
  ZekSanAddress peer{}, local{};
  std::uint32_t peer_length = sizeof(peer), local_length = sizeof(local);
  report("names", t->getpeername(s[0], &peer, &peer_length) == 0 && peer.Address == address &&
                      __builtin_bswap16(peer.Port) == port && t->getsockname(s[0], &local, &local_length) == 0 &&
                      local.Address != 0 && local.Port != 0);

  // Options, set and read back on a connection.
  const std::int32_t one = 1;
  std::int32_t nodelay = 0, keepalive = 0;
  std::uint32_t l1 = sizeof(nodelay), l2 = sizeof(keepalive);
  report("options", t->setsockopt(s[1], kTcpLevel, kTcpNoDelay, &one, sizeof(one)) == 0 &&
                        t->setsockopt(s[1], kSolSocket, kSoKeepAlive, &one, sizeof(one)) == 0 &&
                        t->getsockopt(s[1], kTcpLevel, kTcpNoDelay, &nodelay, &l1) == 0 && nodelay != 0 &&
                        t->getsockopt(s[1], kSolSocket, kSoKeepAlive, &keepalive, &l2) == 0 && keepalive != 0);

  // poll over all of them: only the one whose echo came back is readable.
  if (!send_all(s[1], "middle", 6)) fail("send");
  ZekPollFd entries[kCount];
  for (int i = 0; i < kCount; ++i) entries[i] = {static_cast<std::int32_t>(s[i]), ZEK_POLLIN, 0};
  bool polled = t->poll(entries, kCount, 10000) == 1 && entries[0].Revents == 0 &&
                (entries[1].Revents & ZEK_POLLIN) != 0 && entries[2].Revents == 0;
  char in[16] = {};
  polled = polled && twohost::recv_all(t, s[1], in, 6) && std::memcmp(in, "middle", 6) == 0;
  report("poll", polled);

  // select over all of them: the same with the last.
  if (!send_all(s[2], "last", 4)) fail("send");
  std::uint8_t read_set[1024] = {};
  int count = 0;
  for (const auto x : s) {
    read_set[x / 8] = static_cast<std::uint8_t>(read_set[x / 8] | (1u << (x % 8)));
    count = std::max(count, static_cast<int>(x) + 1);
  }
  const ZekTimeval wait{10, 0};
  bool selected = t->select(count, read_set, nullptr, nullptr, &wait) == 1;
  for (int i = 0; i < kCount; ++i) selected = selected && ((read_set[s[i] / 8] >> (s[i] % 8)) & 1) == (i == 2);
  selected = selected && twohost::recv_all(t, s[2], in, 4) && std::memcmp(in, "last", 4) == 0;
  report("select", selected);
  // Nothing ready: a short wait ends with none.
  report("quiet", t->poll(entries, kCount, 50) == 0);

  // The interface list names the adapter's interface with this host's address.
  std::uint8_t list[2048] = {};
  ZekIfconf conf{static_cast<std::int32_t>(sizeof(list)), 0, reinterpret_cast<std::uint64_t>(list)};
  bool listed = false;
  if (t->ioctl(s[0], ZEK_SIOCGIFCONF, &conf) == 0) {
    for (std::int32_t at = 0; at + 24 <= conf.Length;) {
      const std::string name(reinterpret_cast<const char*>(list + at),
                             strnlen(reinterpret_cast<const char*>(list + at), 16));
      const std::uint8_t length = list[at + 16];
      std::uint32_t a = 0;
      std::memcpy(&a, list + at + 20, 4);
      if (name.rfind("ZEK", 0) == 0 && list[at + 17] == 2 && a == local.Address) listed = true;
      at += 16 + std::max<int>(length, 16);
    }
  }
  report("interfaces", listed);
  for (const auto x : s) t->close(x);
  std::fflush(stdout);
  return failures;
}

int kernel_echo(std::uint32_t address, std::uint16_t port, std::uint32_t bytes) {
  HANDLE device =
      CreateFileA("\\\\.\\zeksocktest", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) fail("zeksocktest");
  const socktest::EchoRequest request{address, port, 0, bytes};
  std::vector<char> report(socktest::kReportBytes);
  DWORD got = 0;
  const bool ok = DeviceIoControl(device, socktest::kEcho, const_cast<socktest::EchoRequest*>(&request), sizeof request,
                                  report.data(), static_cast<DWORD>(report.size()), &got, nullptr);
  CloseHandle(device);
  if (!ok) fail("kernel echo request");
  const std::string text(report.data(), got);
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
  return text.find("failures=0\n") != std::string::npos ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  if (const int code = twohost::start_sockets(&t); code != 0) return code;
  const std::string mode = argv[1];
  auto port_arg = [&](int i) { return static_cast<std::uint16_t>(std::atoi(argv[i])); };
  int result = 2;
  if (mode == "serve") {
    result = serve(port_arg(2), argc > 3 ? std::atoi(argv[3]) : 0);
  } else if (mode == "udp-serve") {
    result = udp_serve(port_arg(2));
  } else if (mode == "echo" && argc == 5) {
    result = echo(t->inet_addr(argv[2]), port_arg(3), std::atoll(argv[4]));
  } else if (mode == "closes" && argc == 4) {
    result = closes(t->inet_addr(argv[2]), port_arg(3));
  } else if (mode == "udp" && argc >= 5) {
    std::vector<int> sizes;
    for (int i = 4; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
    result = udp(t->inet_addr(argv[2]), port_arg(3), sizes);
  } else if (mode == "ping" && argc == 4) {
    result = ping(t->inet_addr(argv[2]), std::atoi(argv[3]));
  } else if (mode == "refused" && argc == 4) {
    result = refused(t->inet_addr(argv[2]), port_arg(3));
  } else if (mode == "group-serve" && argc == 5) {
    result = group_serve(t->inet_addr(argv[2]), port_arg(3), t->inet_addr(argv[4]));
  } else if (mode == "group-send" && (argc == 5 || argc == 6)) {
    result =
        group_send(t->inet_addr(argv[2]), port_arg(3), t->inet_addr(argv[4]), argc == 6 ? t->inet_addr(argv[5]) : 0);
  } else if (mode == "group-listen" && argc == 5) {
    result = group_listen(t->inet_addr(argv[2]), port_arg(3), t->inet_addr(argv[4]));
  } else if (mode == "raw-serve" && argc == 3) {
    result = raw_serve(std::atoi(argv[2]));
  } else if (mode == "raw-send" && argc == 4) {
    result = raw_send(t->inet_addr(argv[2]), std::atoi(argv[3]));
  } else if (mode == "routes" && argc == 4) {
    result = routes(t->inet_addr(argv[2]), t->inet_addr(argv[3]));
  } else if (mode == "kernel-echo" && argc == 5) {
    result = kernel_echo(t->inet_addr(argv[2]), port_arg(3), static_cast<std::uint32_t>(std::atoll(argv[4])));
  } else if (mode == "features" && argc == 4) {
    result = features(t->inet_addr(argv[2]), port_arg(3));
  }
  ZEK_CleanupLib_Sockets();
  return result;
}
