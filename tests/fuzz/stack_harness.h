// The host stack as the fuzz targets drive it: a kernel on the virtual clock,
// the stack started on small pools, one Ethernet interface "ZEK0" with
// 192.0.2.1/24, and sockets that make input reach its deepest paths (a UDP
// socket bound to port 7 and joined to a group, raw ICMP and IGMP sockets, a
// routing socket). The stack runs for the whole fuzzing process; each input
// is fed, the soft-interrupt thread runs a round, and whatever the stack
// sent or queued for the sockets is thrown away.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tests/proxy/tcpip/packets.h"

namespace fuzzing {

inline constexpr std::uint32_t kGroup = ipv4(224, 0, 0, 251);
inline constexpr std::uint16_t kUdpPort = 7;

// Started on first use; never stopped (the process ends with the fuzzer).
void start_stack();

// A frame (Ethernet header first) through Ethernet input and one round of
// the soft-interrupt thread. Frames shorter than an Ethernet header are
// ignored, as the driver never hands them over.
void feed_frame(const std::uint8_t* frame, std::size_t size);

// An IPv4 packet from the peer's MAC to ours.
void feed_ip(const Bytes& packet);

// A message written on the routing socket by a user.
void feed_routing_message(const std::uint8_t* message, std::size_t size);

// Moves the virtual clock by whole seconds and runs the callouts due (ARP
// and reassembly time-outs, IGMP reports, the slow timers).
void advance_seconds(unsigned seconds);

// Takes every datagram and message waiting on the sockets and every frame
// the interface sent, so nothing fills up across inputs.
void drain();

// Writes the Internet checksum of `b[from, from+len)` (with a pseudo-header
// sum `seed`) at `at`, after zeroing it.
void fix_checksum(Bytes& b, std::size_t at, std::size_t from, std::size_t len, std::uint32_t seed = 0);

// The sum of the IPv4 pseudo-header for a transport protocol.
std::uint32_t pseudo_header_sum(const Bytes& ip_packet, std::uint8_t proto, std::size_t l4_length);

}  // namespace fuzzing
