// The DHCP client of an adapter interface whose address is not configured:
// one thread per interface that asks a DHCP server for the address (RFC
// 2131) through the stack's own socket calls, applies it to the interface,
// declines it when ARP finds it in use, renews and rebinds it at the times
// the server gives (T1, T2) and drops it when it expires or the server
// refuses it (NAK), and, when no server answers 25 discovers, falls back to
// a link-local address (RFC 3927).
//
// The messages are the BOOTP layout (548 bytes) with the options in a fixed
// order; the reply parser reads no byte past what was received.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "proxy/tcpip/kern/kern.h"
#include "proxy/tcpip/net/if_ether.h"

namespace zektcp {

inline constexpr std::size_t DHCP_MESSAGE_BYTES = 548;
inline constexpr std::size_t DHCP_OPTIONS_AT = 240;  // after the magic cookie
inline constexpr std::uint16_t DHCP_SERVER_PORT = 67;
inline constexpr std::uint16_t DHCP_CLIENT_PORT = 68;
inline constexpr int DHCP_DISCOVER_TRIES = 25;
inline constexpr int DHCP_NAK_LIMIT = 25;
// The receive time-out of each discover, in seconds: 3, 7, 17, then 15.
int dhcp_receive_timeout(int attempt);
// How long an address is watched for a conflict after it is applied.
inline constexpr int DHCP_PROBE_MS = 1000;

enum DhcpType : std::uint8_t {
  DHCP_DISCOVER = 1,
  DHCP_OFFER = 2,
  DHCP_REQUEST = 3,
  DHCP_DECLINE = 4,
  DHCP_ACK = 5,
  DHCP_NAK = 6,
  DHCP_RELEASE = 7,
};

// What a message carries besides its type. Addresses are network order.
struct DhcpMessageFields {
  std::uint32_t xid = 0;
  std::uint8_t mac[6] = {};
  std::uint32_t client_address = 0;     // ciaddr: the bound address (renew, release)
  std::uint32_t requested_address = 0;  // option 50
  std::uint32_t server = 0;             // option 54
  bool broadcast = false;               // the reply is broadcast (no address yet)
  const char* host_base = "ZEK";        // option 12: base + hex of MAC bytes 4 and 5
};
// Builds a message of `type` into `out`; its length (always
// DHCP_MESSAGE_BYTES).
std::size_t dhcp_build_message(std::uint8_t (&out)[DHCP_MESSAGE_BYTES], DhcpType type, const DhcpMessageFields& f);

struct DhcpReply {
  DhcpType type = DhcpType{0};
  std::uint32_t your_address = 0;  // network order
  std::uint32_t mask = 0;
  std::uint32_t server = 0;
  std::uint32_t lease = 0;  // seconds
  std::uint32_t renewal = 0;
  std::uint32_t rebinding = 0;
};
// A server's reply to us: op 2, our transaction id and hardware address,
// the magic cookie, and well-formed options (pad is one byte, every other
// option's length fits in what was received). False for anything else.
bool dhcp_parse_reply(const std::uint8_t* message, std::size_t length, std::uint32_t xid, const std::uint8_t* mac,
                      DhcpReply* reply);

// The link-local fall-back of an adapter: 169.254.M4.M5 with MAC byte 4
// kept within 1..254 (network order).
std::uint32_t dhcp_fallback_address(const std::uint8_t* mac);

enum class DhcpPhase : int { Stopped, Discovering, Probing, Bound, Renewing, Rebinding, FallBack };

struct DhcpClient {
  // Set by the owner before dhcp_start.
  arpcom* ac = nullptr;
  std::uint32_t xid = 0;
  const char* host_base = "ZEK";

  // Progress (atomic: tests and the owner read them while the thread runs).
  std::atomic<DhcpPhase> phase{DhcpPhase::Stopped};
  std::atomic<std::uint32_t> address{0};  // the applied address, network order
  std::atomic<std::uint32_t> mask{0};
  std::atomic<int> declines{0};
  std::atomic<int> naks{0};
  std::atomic<int> renewals{0};

  // The thread's own.
  DhcpReply lease{};
  std::int64_t bound_at_ms = 0;
  OSPrimSpinlockObject lock{};
  KEVENT wake{};
  HANDLE thread = nullptr;
  std::atomic<bool> stop{false};
};

// At most this many client threads run at once in a host; a thread gives its
// place back when it ends, however it ends.
inline constexpr std::uint32_t DHCP_MAX_CLIENTS = 16;
std::uint32_t dhcp_clients_running();

// Starts the client's thread (the interface gets DHCP's conflict flag); 0,
// BSD_EAGAIN when DHCP_MAX_CLIENTS run already, or another error.
// dhcp_stop ends it, releases the lease and removes the address; the caller
// holds no stack lock (the thread's last steps take them), and the stop
// waits for the thread.
int dhcp_start(DhcpClient* client);
void dhcp_stop(DhcpClient* client);

}  // namespace zektcp
