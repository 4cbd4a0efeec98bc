// The lab wire: the Ethernet ports of adapters in different zekhost
// processes of one lab directory exchange frames as AF_UNIX datagrams.
// Behind each port is its station (wire_station.h): an adapter board, or a
// TAP device of Linux's own stack (tap_port.h).
//
// Each port binds LAB/wire/NAME.sock. The wire is a learning switch: a port
// learns from each frame it receives which peer socket the frame's source
// MAC sits behind, sends a unicast frame for a learned MAC to that peer
// only, and floods the others (broadcast, multicast, unknown, forgotten
// after kLearnedFor) to every other port's socket in the directory (the
// receiving boards filter by their MAC tables). As a real wire, it does not
// wait for a port that does not read:
// - the board never blocks on the wire: it hands frames to the port and,
//   when the port's queue is full, keeps the send work request posted until
//   the sender thread has made room;
// - the frames of one batch of the engine's work leave together at its
//   flush(), straight from the engine thread (sendmmsg, not waiting); what a
//   peer cannot take at once, and everything behind it, goes to the sender
//   thread, which keeps the order;
// - the sender thread sends runs of frames for one peer with sendmmsg; a
//   peer that takes nothing for
//   kDropGrace loses the frame, counted, and loses the next ones at once
//   until it takes a frame again, so that a host that stops reading cannot
//   hold the others' ports. A lossless wire (lossless = true, for tests that
//   count every frame) waits for a slow receiver instead;
// - the receiver thread takes datagrams in batches (recvmmsg) into buffers
//   it hands the board whole and, while the board's inbound queue is full,
//   stops reading, so the kernel's socket queue fills and the peers'
//   senders wait.
// Between two ports of this kind the frames go through lanes instead of
// datagrams (lab_wire_lane.h): a port that can take lanes says so with the
// file LAB/wire/NAME.lane beside its socket; a port offers each such peer a
// ring of its own over the datagram socket (the descriptor passed along),
// and once the peer has mapped it and answered with its bell, every frame
// for that peer is copied into the ring once. The receiver looks at its
// lanes and its socket in turn, a short while without sleeping after the
// last frame (kSpin), then sleeps on the socket and its bell; a sender
// rings the bell only when the receiver said it sleeps. The wire's rules
// hold on lanes as on datagrams: switching and learning, the maximum frame
// (checked by sender and receiver), capture, impairment, and, for a peer
// whose ring stays full, dropping after kDropGrace (counted) or, on a
// lossless wire, waiting. A lane whose peer breaks its rules (an index or
// record that is not sound) is closed, logged and counted
// (lanes_broken()); the peer's frames go by datagram from then on. A lane
// ends with its peer (gone, or another port bound at its socket since).
// Control messages between ports (offers, answers) are datagrams shorter
// than any frame. Other peers (no .lane file) get datagrams as before.
//
// A port carries frames of up to its maximum frame size (jumbo frames by
// default); larger ones are dropped and counted, on either side.
// Peers are the sockets named *.sock in the wire folder; anything else
// there is not the wire's and is left alone. A peer that has gone (its
// socket refuses: ECONNREFUSED or ENOENT) is dropped from the switch and its
// stale socket file removed; frames for it are not kept. A new port is seen
// within kRescan of binding. A port whose own socket file was removed binds
// it again within kRescan, and says so.
//
// With a capture path, every frame the port sends or receives is written to
// a pcap file. With impairment settings the port loses, duplicates,
// reorders and delays what it sends, as the seeded settings say (the capture
// shows what the port meant to send).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sim/frame_port.h"
#include "sim/iwarp/impairment.h"
#include "sim/lab_wire_lane.h"
#include "sim/pcap.h"
#include "sim/wire_station.h"

namespace zeksim {

class LabWire final : public FramePort {
 public:
  static constexpr std::size_t kOutboundLimit = 256;
  static constexpr std::chrono::milliseconds kRescan{100};

  struct Settings {
    std::string lab_dir;
    std::string port_name;        // unique in the lab: the socket's file name
    std::string capture;          // pcap file, or empty
    ImpairmentSettings impair{};  // what the port does to the frames it sends (tests)
    // A peer whose socket stays full: drop and count what it does not take
    // within kDropGrace (the default), or wait for it (lossless).
    bool lossless = false;
    // The largest frame the port carries (header to payload, no FCS).
    std::size_t max_frame = kJumboFrame;
  };
  static constexpr std::chrono::milliseconds kDropGrace{100};
  static constexpr std::size_t kStandardFrame = 1518;  // with a VLAN tag
  static constexpr std::size_t kJumboFrame = 9022;     // 9018 with a VLAN tag: the NIC engine's bound
  // How long a learned address stays learned without a frame from it.
  static constexpr std::chrono::seconds kLearnedFor{60};
  // Datagrams one system call sends or receives at most.
  static constexpr unsigned kBatch = 64;
  // How long the receiver keeps looking at its lanes after the last frame before it sleeps.
  static constexpr std::chrono::microseconds kSpin{50};
  // Lanes a port takes from peers at most.
  static constexpr std::size_t kMaxLanes = 64;

  LabWire(WireStation& station, Settings settings, std::function<void(std::string_view)> log);
  ~LabWire() override;
  LabWire(const LabWire&) = delete;
  LabWire& operator=(const LabWire&) = delete;

  // Binds the port's socket, opens the capture and starts the threads;
  // false with a message.
  bool start(std::string* error);
  void stop();

  bool has_room() override;
  void transmit(std::span<const std::byte> frame) override;
  void transmit_later(std::span<const std::byte> frame) override;
  void flush() override;

  std::string socket_path() const;
  std::uint64_t frames_sent() const { return sent_.load(); }
  std::uint64_t frames_received() const { return received_.load(); }
  // Frames dropped for a peer that did not read (lossy wire only).
  std::uint64_t frames_dropped() const { return dropped_.load(); }
  // Frames larger than the port's maximum, dropped (sent or received).
  std::uint64_t frames_oversize() const { return oversize_.load(); }
  // Frames sent to one learned peer instead of every peer.
  std::uint64_t frames_switched() const { return switched_.load(); }
  // Frames that left straight from the engine thread (not by the sender thread).
  std::uint64_t frames_sent_directly() const { return direct_.load(); }
  // What the impairment did to the frames sent so far.
  ImpairmentCounters impairment_counters();
  // Lanes open to peers (sending) and from peers (receiving).
  std::size_t lanes_out();
  std::size_t lanes_in() const { return lanes_in_count_.load(); }
  // Frames sent and received through lanes.
  std::uint64_t frames_through_lanes() const { return lane_sent_.load() + lane_received_.load(); }
  // Lanes closed because the peer broke the ring's rules.
  std::uint64_t lanes_broken() const { return lanes_broken_.load(); }
  std::string lane_marker_path() const;

 private:
  using Frame = std::shared_ptr<const std::vector<std::byte>>;
  // A frame and the peers it is still for (empty: every peer the switch
  // picks when it is sent).
  struct Outgoing {
    Frame frame;
    std::vector<std::string> to;
  };
  struct Learned {
    std::string peer;
    std::chrono::steady_clock::time_point seen;
  };
  // A lane to one peer (lab_wire_lane.h); open once the peer answered.
  struct OutLane {
    std::unique_ptr<LaneRing> ring;
    std::uint32_t id = 0;
    ino_t peer_inode = 0;  // the peer's socket file it was offered to
    std::chrono::steady_clock::time_point offered;
    bool open = false;
    int bell = -1;      // the peer's
    bool rung = false;  // in to_ring_ (mu_)
    ~OutLane();
  };
  using Lane = std::shared_ptr<OutLane>;
  // A lane from one peer (receiver thread only).
  struct InLane {
    std::string peer;
    std::unique_ptr<LaneRing> ring;
    ino_t peer_inode = 0;
  };
  // Where one frame goes: a peer, through its lane when one is open.
  struct Hop {
    std::string peer;
    Lane lane;
  };

  void sender_loop();
  void receiver_loop();
  void rescan_locked();
  // Whether another live port is on the wire (a bound socket answers a
  // connect; a dead host's socket file does not). The board's link follows it.
  bool peer_present() const;
  // The peers a frame goes to: its learned port, or every port (mu_ held);
  // `count`: a switched frame counts in frames_switched().
  std::vector<std::string> destinations_locked(std::span<const std::byte> frame, bool count = true);
  void learn(std::span<const std::byte> frame, const std::string& peer);
  void peer_gone(const std::string& path);
  // Sends at once what the peers take without waiting; returns the rest, in order.
  std::deque<Outgoing> send_now(std::vector<Frame>& batch);
  // The open lane to `peer`, or null (mu_ held).
  Lane lane_locked(const std::string& peer);
  // Puts one frame into a lane; a lane found broken is closed (false: send it by datagram).
  LaneRing::Result lane_put(const Lane& lane, const std::string& peer, std::span<const std::byte> frame);
  void close_lane(const std::string& peer, const Lane& lane, const char* why);
  // Rings the bells of the lanes that carried frames since they were last rung.
  void ring_bells(std::vector<Lane>& lanes);
  // Offers lanes to peers that take them and have none (mu_ held).
  void offer_lanes_locked();
  // Control messages from a peer (receiver thread).
  void on_control(const std::string& peer, std::span<const std::byte> message, std::vector<int>& fds);
  // Frames from the lanes into `frames`; true when any came.
  bool read_lanes(std::vector<std::vector<std::byte>>& frames);
  void check_lanes_in();
  bool send_control(const std::string& peer, std::uint32_t kind, std::uint32_t id, int fd);
  // Sender thread: sends with the wire's waiting and dropping rules.
  void send_waiting(const std::deque<Outgoing>& items);
  void send_run(const std::string& peer, std::span<const std::vector<std::byte>* const> frames);
  // The port's socket, bound at its path; -1 with a message.
  int bind_socket(std::string* error);
  // Binds again when the socket file was removed (receiver thread).
  void keep_bound();

  WireStation& board_;  // the station behind the port: a board, or a TAP device
  Settings settings_;
  std::function<void(std::string_view)> log_;
  int socket_ = -1;
  PcapWriter capture_;
  std::atomic<bool> stopping_{false};
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Frame> batch_;       // handed over since the last flush
  std::deque<Outgoing> outbound_;  // the sender thread's
  bool sending_ = false;           // a thread is sending: others queue behind it
  bool was_full_ = false;
  std::vector<std::string> peers_;            // socket paths
  std::map<std::uint64_t, Learned> learned_;  // source MAC -> its peer
  std::unique_ptr<Impairment> impairment_;    // sender thread only; null on a sound wire
  ImpairmentCounters impaired_;               // its counters as last seen (under mu_)
  std::set<std::string> stalled_;             // lossy wire: peers that did not read (sender thread only)
  std::chrono::steady_clock::time_point last_scan_{};
  std::chrono::steady_clock::time_point last_bound_check_{};  // receiver thread only
  ino_t bound_inode_ = 0;                                     // of the socket file it bound
  bool displaced_ = false;                                    // another file took the path (said once)
  // The sending side's counters and the receiver thread's on lines of their own.
  alignas(64) std::atomic<std::uint64_t> sent_{0}, dropped_{0}, switched_{0}, direct_{0}, lane_sent_{0};
  alignas(64) std::atomic<std::uint64_t> received_{0}, oversize_{0}, lane_received_{0};
  // Lanes.
  alignas(64) int bell_ = -1;              // this port's eventfd, given to the peers that send to it
  std::map<std::string, Lane> lanes_;      // to peers, by socket path (mu_)
  std::uint32_t next_lane_id_ = 1;         // (mu_)
  std::map<std::string, ino_t> no_lanes_;  // peers whose lane broke: datagrams for that socket (mu_)
  std::vector<Lane> to_ring_;              // lanes put into since the last flush (the sending thread's)
  std::vector<InLane> lanes_in_;           // receiver thread only
  std::atomic<std::size_t> lanes_in_count_{0};
  std::atomic<std::uint64_t> lanes_broken_{0};
  std::thread sender_, receiver_;
};

}  // namespace zeksim
