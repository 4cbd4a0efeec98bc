// The DHCP client (see dhcp_client.h): its messages, the reply parser and
// the client thread.
#include "proxy/tcpip/dhcp_client.h"

#include <algorithm>
#include <cstring>

#include "proxy/tcpip/net/if.h"
#include "proxy/tcpip/netinet/in.h"
#include "proxy/tcpip/socket/socket.h"
#include "proxy/tcpip/socket_calls.h"

namespace zektcp {

namespace {

constexpr std::uint8_t kMagic[4] = {99, 130, 83, 99};
constexpr std::uint8_t kParameters[] = {1, 15, 28, 33, 58, 59, 51};
constexpr std::uint32_t kInfinite = 0xFFFFFFFF;
constexpr std::int64_t kReplyWaitMs = 4000;  // a request's reply

std::atomic<std::uint32_t> g_clients{0};

void put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
void put32(std::uint8_t* p, std::uint32_t v) {
  put16(p, static_cast<std::uint16_t>(v >> 16));
  put16(p + 2, static_cast<std::uint16_t>(v));
}
std::uint32_t get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

class Options {
 public:
  explicit Options(std::uint8_t* at, std::uint8_t* end) : at_(at), end_(end) {}
  void add(std::uint8_t code, const void* value, std::size_t length) {
    if (at_ + 2 + length > end_ - 1) return;  // room is kept for the end option
    *at_++ = code;
    *at_++ = static_cast<std::uint8_t>(length);
    std::memcpy(at_, value, length);
    at_ += length;
  }
  void add8(std::uint8_t code, std::uint8_t v) { add(code, &v, 1); }
  void add16(std::uint8_t code, std::uint16_t v) {
    std::uint8_t b[2];
    put16(b, v);
    add(code, b, 2);
  }
  void add_address(std::uint8_t code, std::uint32_t network_order) { add(code, &network_order, 4); }
  void end() { *at_++ = 255; }

 private:
  std::uint8_t* at_;
  std::uint8_t* end_;
};

std::int64_t now_ms() {
  timeval tv{};
  perf_counter_timeval(&tv);
  return tv.tv_sec * 1000 + tv.tv_usec / 1000;
}

// Waits up to `ms` or until the client is stopped; true when stopped.
bool sleep_ms(DhcpClient* c, std::int64_t ms) {
  if (c->stop.load()) return true;
  if (ms > 0) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -ms * 10'000;
    KeWaitForSingleObject(&c->wake, Executive, KernelMode, FALSE, &timeout);
  }
  return c->stop.load();
}

ifnet* ifp_of(DhcpClient* c) { return &c->ac->ac_if; }

// Adds (SIOCAIFADDR) or deletes (SIOCDIFADDR) an address of the interface.
int interface_address(DhcpClient* c, std::uint32_t cmd, std::uint32_t address, std::uint32_t mask) {
  ifaliasreq req{};
  iface_full_name(ifp_of(c), req.ifra_name);
  sockaddr_in a = make_sockaddr_in(0), m = make_sockaddr_in(0), b = make_sockaddr_in(0);
  a.sin_addr.s_addr = address;
  m.sin_addr.s_addr = mask;
  b.sin_addr.s_addr = (address & mask) | ~mask;
  std::memcpy(&req.ifra_addr, &a, sizeof(a));
  std::memcpy(&req.ifra_mask, &m, sizeof(m));
  std::memcpy(&req.ifra_broadaddr, &b, sizeof(b));
  AcquireBdcLock();
  const int error = in_control(nullptr, cmd, &req, ifp_of(c), nullptr);
  ReleaseBdcLock();
  return error;
}

void apply(DhcpClient* c, std::uint32_t address, std::uint32_t mask) {
  if (interface_address(c, SIOCAIFADDR, address, mask) != 0) {
    OSPrimDebugPrint("set_interface:in_control failed SIOCAIFADDR\n");
  }
  c->address = address;
  c->mask = mask;
}

void remove(DhcpClient* c, std::uint32_t address) {
  if (address == 0) return;
  if (interface_address(c, SIOCDIFADDR, address, 0) != 0) {
    OSPrimDebugPrint("set_interface:in_control failed SIOCDIFADDR \n");
  }
  if (c->address == address) c->address = 0;
}

// The interface without an address yet: 0.0.0.0 with the broadcast address,
// so that broadcasts leave through it and come in.
void temporary_address(DhcpClient* c, bool on) {
  if (on) {
    interface_address(c, SIOCAIFADDR, 0, 0);  // the stack gives it mask 0 and the all-ones broadcast
  } else {
    interface_address(c, SIOCDIFADDR, 0, 0);
  }
}

bool take_conflict(DhcpClient* c) {
  OSPrimSyncAcquireSpinlockObject(&c->lock);
  const bool conflict = c->ac->ac_addr_conflict != 0;
  c->ac->ac_addr_conflict = 0;
  OSPrimSyncReleaseSpinlockObject(&c->lock);
  return conflict;
}

DhcpMessageFields fields_of(DhcpClient* c) {
  DhcpMessageFields f;
  f.xid = c->xid;
  std::memcpy(f.mac, c->ac->ac_if.if_ethaddr, 6);
  f.host_base = c->host_base;
  return f;
}

// Sends one message and, with `want`, waits up to `wait_ms` for a reply of
// one of those types (bits 1 << type). The socket is the exchange's own.
bool exchange(DhcpClient* c, DhcpType type, const DhcpMessageFields& f, std::uint32_t to, std::uint32_t want,
              std::int64_t wait_ms, DhcpReply* reply) {
  const int s = sys_socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) return false;
  const std::int32_t one = 1;
  if (sys_setsocketopt(s, SOL_SOCKET, SO_BROADCAST, &one, sizeof(one)) != 0) {
    OSPrimDebugPrint("setsocketopt SO_BROADCAST failed\n");
  }
  sys_setsocketopt(s, SOL_SOCKET, SO_REUSEPORT, &one, sizeof(one));
  sys_setsocketopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  const sockaddr_in local = make_sockaddr_in(INADDR_ANY, DHCP_CLIENT_PORT);
  bool answered = false;
  if (sys_bind(s, &local, sizeof(local)) == 0) {
    std::uint8_t message[DHCP_MESSAGE_BYTES];
    dhcp_build_message(message, type, f);
    sockaddr_in server = make_sockaddr_in(0, DHCP_SERVER_PORT);
    server.sin_addr.s_addr = to;
    const int flags = to == INADDR_BROADCAST ? MSG_DONTROUTE : 0;
    if (sys_sendto(s, message, sizeof(message), flags, &server, sizeof(server)) < 0) {
      ZEK_LOG_FAILURE("sendto failed \n");
    } else {
      const std::int64_t deadline = now_ms() + wait_ms;
      while (want != 0 && !answered && !c->stop.load()) {
        const std::int64_t left = deadline - now_ms();
        if (left <= 0) break;
        const timeval slice{std::min<std::int64_t>(left, 1000) / 1000,
                            std::min<std::int64_t>(left, 1000) % 1000 * 1000};
        sys_setsocketopt(s, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof(slice));
        std::uint8_t in[DHCP_MESSAGE_BYTES + 64];
        const int n = sys_recv(s, in, sizeof(in), 0);
        if (n <= 0) continue;
        DhcpReply r;
        if (dhcp_parse_reply(in, static_cast<std::size_t>(n), f.xid, f.mac, &r) && (want & (1u << r.type))) {
          *reply = r;
          answered = true;
        }
      }
    }
  }
  sys_close(s);
  return answered;
}

// Discover, offer, request, acknowledgement; true with the lease.
bool acquire(DhcpClient* c, int attempt, DhcpReply* ack) {
  temporary_address(c, true);
  DhcpMessageFields f = fields_of(c);
  f.broadcast = true;
  DhcpReply offer;
  bool done = exchange(c, DHCP_DISCOVER, f, INADDR_BROADCAST, 1u << DHCP_OFFER,
                       static_cast<std::int64_t>(dhcp_receive_timeout(attempt)) * 1000, &offer);
  if (done) {
    // Selecting: the request is broadcast, so every server sees the choice.
    f.requested_address = offer.your_address;
    f.server = offer.server;
    done = exchange(c, DHCP_REQUEST, f, INADDR_BROADCAST, 1u << DHCP_ACK | 1u << DHCP_NAK, kReplyWaitMs, ack);
    if (done && ack->type == DHCP_NAK) {
      ++c->naks;
      done = false;
    }
  }
  temporary_address(c, false);
  return done;
}

std::uint32_t default_mask(std::uint32_t network_order) {
  const std::uint32_t host = ntohl(network_order);
  return htonl(IN_CLASSA(host) ? 0xFF000000u : IN_CLASSB(host) ? 0xFFFF0000u : 0xFFFFFF00u);
}

// The address is applied and watched for a conflict; false (declined)
// when another host answers for it.
bool bind_lease(DhcpClient* c, const DhcpReply& ack) {
  take_conflict(c);
  c->phase = DhcpPhase::Probing;
  apply(c, ack.your_address, ack.mask != 0 ? ack.mask : default_mask(ack.your_address));
  sleep_ms(c, DHCP_PROBE_MS);
  if (take_conflict(c)) {
    const std::uint32_t address = ack.your_address;
    remove(c, address);
    temporary_address(c, true);
    DhcpMessageFields f = fields_of(c);
    f.requested_address = address;
    f.server = ack.server;
    DhcpReply none;
    exchange(c, DHCP_DECLINE, f, INADDR_BROADCAST, 0, 0, &none);
    temporary_address(c, false);
    ++c->declines;
    return false;
  }
  c->lease = ack;
  c->bound_at_ms = now_ms();
  c->phase = DhcpPhase::Bound;
  return true;
}

void run(DhcpClient* c) {
  int attempt = 0;
  while (!c->stop.load()) {
    const DhcpPhase phase = c->phase.load();
    if (phase == DhcpPhase::Discovering) {
      if (attempt >= DHCP_DISCOVER_TRIES || c->naks.load() >= DHCP_NAK_LIMIT) {
        apply(c, dhcp_fallback_address(c->ac->ac_if.if_ethaddr), htonl(0xFFFF0000));
        c->phase = DhcpPhase::FallBack;
        continue;
      }
      DhcpReply ack;
      const bool got = acquire(c, attempt, &ack);
      ++c->xid;
      if (!got) {
        ++attempt;
        continue;
      }
      if (bind_lease(c, ack)) attempt = 0;
      continue;
    }
    if (phase == DhcpPhase::FallBack) {
      sleep_ms(c, 3'600'000);
      continue;
    }
    // Bound, renewing or rebinding: RFC 2131's times from the lease.
    const DhcpReply& l = c->lease;
    if (l.lease == kInfinite) {
      sleep_ms(c, 3'600'000);
      continue;
    }
    const std::int64_t lease_ms = std::int64_t{l.lease} * 1000;
    const std::int64_t t1 = l.renewal != 0 ? std::int64_t{l.renewal} * 1000 : lease_ms / 2;
    const std::int64_t t2 = l.rebinding != 0 ? std::int64_t{l.rebinding} * 1000 : lease_ms * 7 / 8;
    const std::int64_t elapsed = now_ms() - c->bound_at_ms;
    if (elapsed >= lease_ms) {
      remove(c, c->address.load());
      c->phase = DhcpPhase::Discovering;
      continue;
    }
    if (phase == DhcpPhase::Bound && elapsed < t1) {
      sleep_ms(c, t1 - elapsed);
      continue;
    }
    const bool rebinding = elapsed >= t2;
    c->phase = rebinding ? DhcpPhase::Rebinding : DhcpPhase::Renewing;
    DhcpMessageFields f = fields_of(c);
    f.client_address = c->address.load();
    DhcpReply reply;
    const bool got = exchange(c, DHCP_REQUEST, f, rebinding ? INADDR_BROADCAST : l.server,
                              1u << DHCP_ACK | 1u << DHCP_NAK, kReplyWaitMs, &reply);
    ++c->xid;
    if (got && reply.type == DHCP_ACK) {
      ++c->renewals;
      if (reply.server == 0) reply.server = l.server;
      c->lease = reply;
      c->bound_at_ms = now_ms();
      c->phase = DhcpPhase::Bound;
    } else if (got) {
      ++c->naks;
      remove(c, c->address.load());
      c->phase = DhcpPhase::Discovering;
      attempt = 0;
    } else {
      // No answer: try again halfway to the next time (at least a minute).
      const std::int64_t next = rebinding ? lease_ms : t2;
      sleep_ms(c, std::max<std::int64_t>((next - (now_ms() - c->bound_at_ms)) / 2, 60'000));
    }
  }
}

void thread_main(void* context) {
  auto* c = static_cast<DhcpClient*>(context);
  run(c);
  // Leaving: the lease goes back and the address with it.
  const std::uint32_t address = c->address.load();
  if (address != 0 && c->phase.load() != DhcpPhase::FallBack && c->lease.server != 0) {
    DhcpMessageFields f = fields_of(c);
    f.client_address = address;
    f.server = c->lease.server;
    DhcpReply none;
    exchange(c, DHCP_RELEASE, f, c->lease.server, 0, 0, &none);
  }
  remove(c, address);
  c->phase = DhcpPhase::Stopped;
  g_clients.fetch_sub(1);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

int dhcp_receive_timeout(int attempt) {
  static constexpr int kFirst[] = {3, 7, 17};
  return attempt < 3 ? kFirst[std::max(attempt, 0)] : 15;
}

std::size_t dhcp_build_message(std::uint8_t (&out)[DHCP_MESSAGE_BYTES], DhcpType type, const DhcpMessageFields& f) {
  std::memset(out, 0, sizeof(out));
  out[0] = 1;  // request
  out[1] = 1;  // Ethernet
  out[2] = 6;
  put32(out + 4, f.xid);
  if (f.broadcast) put16(out + 10, 0x8000);
  std::memcpy(out + 12, &f.client_address, 4);
  std::memcpy(out + 28, f.mac, 6);
  std::memcpy(out + 236, kMagic, 4);
  Options o(out + DHCP_OPTIONS_AT, out + DHCP_MESSAGE_BYTES);
  o.add8(53, type);
  if (type != DHCP_DECLINE) o.add16(57, DHCP_MESSAGE_BYTES);
  if (type == DHCP_DISCOVER) o.add8(116, 1);
  if (type == DHCP_REQUEST || type == DHCP_DECLINE || type == DHCP_RELEASE) {
    if (f.server != 0) o.add_address(54, f.server);
  }
  std::uint8_t id[7] = {1};
  std::memcpy(id + 1, f.mac, 6);
  o.add(61, id, sizeof(id));
  if (f.requested_address != 0 && (type == DHCP_DISCOVER || type == DHCP_REQUEST || type == DHCP_DECLINE)) {
    o.add_address(50, f.requested_address);
  }
  if (type != DHCP_DECLINE) {
    char host[32];
    static constexpr char kHex[] = "0123456789ABCDEF";
    const std::size_t base = std::min<std::size_t>(std::strlen(f.host_base), sizeof(host) - 5);
    std::memcpy(host, f.host_base, base);
    host[base] = kHex[f.mac[4] >> 4];
    host[base + 1] = kHex[f.mac[4] & 15];
    host[base + 2] = kHex[f.mac[5] >> 4];
    host[base + 3] = kHex[f.mac[5] & 15];
    o.add(12, host, base + 4);
  }
  if (type == DHCP_DISCOVER || type == DHCP_REQUEST) o.add(55, kParameters, sizeof(kParameters));
  o.end();
  return DHCP_MESSAGE_BYTES;
}

bool dhcp_parse_reply(const std::uint8_t* m, std::size_t length, std::uint32_t xid, const std::uint8_t* mac,
                      DhcpReply* reply) {
  if (m == nullptr || length < DHCP_OPTIONS_AT) return false;
  if (m[0] != 2 || m[1] != 1 || m[2] != 6 || get32(m + 4) != xid) return false;
  if (std::memcmp(m + 28, mac, 6) != 0 || std::memcmp(m + 236, kMagic, 4) != 0) return false;
  DhcpReply r;
  std::memcpy(&r.your_address, m + 16, 4);
  std::size_t at = DHCP_OPTIONS_AT;
  bool ended = false;
  while (at < length) {
    const std::uint8_t code = m[at++];
    if (code == 0) continue;  // pad: one byte
    if (code == 255) {
      ended = true;
      break;
    }
    if (at >= length) return false;
    const std::size_t len = m[at++];
    if (at + len > length) return false;
    const std::uint8_t* v = m + at;
    switch (code) {
      case 1:
        if (len == 4) std::memcpy(&r.mask, v, 4);
        break;
      case 51:
        if (len == 4) r.lease = get32(v);
        break;
      case 53:
        if (len == 1 && v[0] >= DHCP_DISCOVER && v[0] <= DHCP_RELEASE) r.type = static_cast<DhcpType>(v[0]);
        break;
      case 54:
        if (len == 4) std::memcpy(&r.server, v, 4);
        break;
      case 58:
        if (len == 4) r.renewal = get32(v);
        break;
      case 59:
        if (len == 4) r.rebinding = get32(v);
        break;
      default:
        break;
    }
    at += len;
  }
  if (!ended || r.type == 0) return false;
  *reply = r;
  return true;
}

std::uint32_t dhcp_fallback_address(const std::uint8_t* mac) {
  const std::uint32_t third = std::clamp<std::uint32_t>(mac[4], 1, 254);
  return htonl(0xA9FE0000u | third << 8 | mac[5]);
}

std::uint32_t dhcp_clients_running() { return g_clients.load(); }

int dhcp_start(DhcpClient* c) {
  if (c == nullptr || c->ac == nullptr) return BSD_EINVAL;
  std::uint32_t running = g_clients.load();
  do {
    if (running >= DHCP_MAX_CLIENTS) return BSD_EAGAIN;
  } while (!g_clients.compare_exchange_weak(running, running + 1));
  OSPrimSyncInitSpinlockObject(&c->lock);
  KeInitializeEvent(&c->wake, NotificationEvent, FALSE);
  c->stop = false;
  c->phase = DhcpPhase::Discovering;
  c->ac->ac_dhcp_lock = &c->lock;
  c->ac->ac_dhcp_enabled = 1;
  const NTSTATUS status = PsCreateSystemThread(&c->thread, 0, nullptr, nullptr, nullptr, thread_main, c);
  if (!NT_SUCCESS(status)) {
    g_clients.fetch_sub(1);
    c->thread = nullptr;
    c->phase = DhcpPhase::Stopped;
    c->ac->ac_dhcp_enabled = 0;
    c->ac->ac_dhcp_lock = nullptr;
    return BSD_ENOMEM;
  }
  return 0;
}

void dhcp_stop(DhcpClient* c) {
  if (c == nullptr || c->thread == nullptr) return;
  c->stop = true;
  KeSetEvent(&c->wake, 0, FALSE);
  OsPrimJoinThread(c->thread);
  ZwClose(c->thread);
  c->thread = nullptr;
  c->ac->ac_dhcp_enabled = 0;
  c->ac->ac_dhcp_lock = nullptr;
}

}  // namespace zektcp
