// A port of the lab wire whose station is a Linux TAP device (tap_device.h):
// Linux's own stack joins a lab as one more port, a real peer of the hosts'
// adapters. The port itself is the lab wire's (LabWire): it binds
// LAB/wire/NAME.sock, learns and switches, drops and counts what a peer
// does not take, drops and counts frames over its maximum (the device's MTU
// plus the Ethernet header and a VLAN tag), and writes the capture. This
// class is the station behind it:
// - frames Linux sends are read from the device and handed to the port; one
//   shorter than Ethernet's 60-byte minimum is padded with zeros first, as a
//   NIC pads what it sends. While the port's outbound queue is full the
//   reader stops reading, so Linux's own device queue fills and Linux drops
//   (bounded: the device's transmit queue), never the wire waiting on Linux;
// - frames from the wire are written to the device at once and never waited
//   for; one the device refuses is dropped and counted;
// - the device's carrier stays on: like a switch port, the wire is there
//   whether or not another port is (the peer's presence is only noted).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/lab_wire.h"
#include "sim/wire_station.h"

namespace zeksim {

class TapPort final : public WireStation {
 public:
  // Ethernet's smallest frame without its FCS: shorter ones from Linux are padded.
  static constexpr std::size_t kMinEthernetFrame = 60;
  // The largest frame the port carries for a device MTU: header and a VLAN tag.
  static constexpr std::size_t max_frame_for(unsigned mtu) { return std::size_t{mtu} + 18; }

  struct Settings {
    std::string lab_dir;
    std::string port_name;  // unique in the lab: the socket's file name
    std::string capture;    // pcap file, or empty
    bool lossless = false;  // the wire's rule for a peer that does not read (lab_wire.h)
    unsigned mtu = 1500;    // the device's MTU, which sets the port's maximum frame
    // What the port does to Linux's frames on their way to the wire (tests
    // of a bad wire where Linux's own queueing disciplines cannot).
    ImpairmentSettings impair{};
  };

  // Takes over `tap_fd` (a non-blocking TAP descriptor) and closes it at the end.
  TapPort(int tap_fd, Settings settings, std::function<void(std::string_view)> log);
  ~TapPort() override;
  TapPort(const TapPort&) = delete;
  TapPort& operator=(const TapPort&) = delete;

  // Joins the wire and starts reading the device; false with a message.
  bool start(std::string* error);
  void stop();

  LabWire& wire() { return *wire_; }
  std::uint64_t frames_from_device() const { return from_device_.load(); }
  std::uint64_t frames_to_device() const { return to_device_.load(); }
  // Frames from the wire that the device refused (dropped).
  std::uint64_t frames_refused() const { return refused_.load(); }
  // Frames from Linux padded to kMinEthernetFrame.
  std::uint64_t frames_padded() const { return padded_.load(); }
  bool peer_present() const { return peer_present_.load(); }

  // --- WireStation (the port's threads) --------------------------------------
  void attach_port(FramePort* port) override;
  bool receive_frames(std::vector<std::vector<std::byte>>& frames) override;
  std::vector<std::byte> recycle_buffer() override;
  void port_room() override;
  void stop_port() override;
  void set_carrier(bool peer_present) override;

 private:
  void reader_loop();
  // Waits until the port takes a frame; false when stopping.
  bool wait_for_room(FramePort& port);

  int tap_ = -1;
  int wake_ = -1;  // eventfd: ends the reader's wait at stop
  Settings settings_;
  std::function<void(std::string_view)> log_;
  std::unique_ptr<LabWire> wire_;
  std::atomic<FramePort*> port_{nullptr};
  std::atomic<bool> stopping_{false};
  std::mutex mu_;
  std::condition_variable room_cv_;
  bool room_ = false;                          // the port said it has room again (under mu_)
  bool port_stopped_ = false;                  // under mu_
  std::vector<std::vector<std::byte>> spent_;  // buffers written to the device (under mu_)
  std::atomic<bool> peer_present_{false};
  std::atomic<std::uint64_t> from_device_{0}, to_device_{0}, refused_{0}, padded_{0};
  bool refusal_said_ = false;  // the port's receiver thread only
  std::thread reader_;
};

}  // namespace zeksim
