// Linux's own stack as a real peer of the host stack: the calling thread
// moves into a network namespace of its own, where a TAP device carries
// Ethernet frames between Linux and whoever holds the device's descriptor
// (the test, which hands them to the host stack). Nothing outside the
// namespace sees the device or its traffic. Linux's side is reached through
// ordinary Linux sockets opened in the namespace.
//
// This header uses only standard types, so that a test can include it
// beside the host stack's headers (whose names overlap the system's).
// Addresses are IPv4 in host order.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/private_network.h"

namespace linuxpeer {

using Bytes = std::vector<std::uint8_t>;

class Peer {
 public:
  Peer();
  ~Peer();  // closes everything and returns the thread to its first namespace
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // Makes the namespace and its TAP device with `address`/`prefix` (IPv6
  // off, so that only what the test asks for crosses), and, with `capture`,
  // writes every frame that crosses the device to that pcap file. "" on
  // success, otherwise why the machine cannot (no privilege, no TAP).
  std::string open(std::uint32_t address, int prefix, const std::string& capture = {});

  // The device's MAC address.
  const std::uint8_t* mac() const { return mac_; }

  // A frame from the test to Linux.
  bool write_frame(const Bytes& frame);
  // A frame Linux sent, if one is waiting.
  std::optional<Bytes> read_frame();
  // Waits up to `milliseconds` for Linux to send a frame.
  bool wait_frame(int milliseconds);

  // ---- Linux's sockets (descriptors the peer closes) ----
  // A UDP socket bound to `address`:`port`; -1 when it cannot be made.
  int udp_socket(std::uint32_t address, std::uint16_t port);
  // A raw ICMP socket; -1 when it cannot be made.
  int icmp_socket();
  // Joins `group` on the TAP device (the socket then hears the group).
  bool join(int fd, std::uint32_t group);
  // Sends the socket's multicast out of the TAP device.
  bool multicast_via_device(int fd);
  bool send_to(int fd, const Bytes& data, std::uint32_t address, std::uint16_t port = 0);
  struct Datagram {
    Bytes data;  // for a raw socket, with its IP header
    std::uint32_t from = 0;
    std::uint16_t port = 0;
  };
  // A datagram, if one is waiting (never blocks).
  std::optional<Datagram> receive(int fd);
  // The socket's pending error (SO_ERROR), which reading clears.
  int pending_error(int fd);

 private:
  struct Capture;
  privatenet::PrivateNetwork network_;  // the thread's own namespace, left last
  int tap_ = -1;
  std::uint32_t address_ = 0;
  std::uint8_t mac_[6] = {};
  std::vector<int> sockets_;
  std::unique_ptr<Capture> capture_;
};

// A new, empty directory in $TMPDIR (else /tmp); "" when none could be made.
std::string temp_dir(const std::string& prefix);

// Runs a command through the shell: its exit code and standard output.
struct Output {
  int code = -1;
  std::string text;
};
Output run(const std::string& command);

}  // namespace linuxpeer
