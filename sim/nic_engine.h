// The NIC engine: NIC send and receive queues and their completions. Send
// work requests are gathered from host memory (everything read is checked),
// switched to the board's own MAC slots that accept them (the miniport's and
// the proxy driver's, native and SAN on one host) and sent out of the port
// unless the destination is a MAC of this board. Frames from the port, and
// frames switched on the board, go to every NIC queue pair whose slot
// accepts them, into the buffer at the head of its receive queue (a frame
// longer than that buffer is dropped and counted, the buffer staying posted).
// Each work queue completes in posting order into the queue pair's NIC CQ;
// an error (a request or buffer out of reach) completes once and stops the
// queue (qp_table.h).
//
// Received frames lose an 802.1Q tag (the completion carries it) and have
// their IPv4, TCP and UDP checksums checked; a send request without the
// no-checksum flag gets them filled in.
//
// Send queues with work wait on a ready list that doorbells fill, so a turn
// never scans every queue pair. Not thread-safe by itself: the board calls
// it on its engine thread (or under its engine lock in step mode).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "include/hw/registers.h"
#include "sim/counters.h"
#include "sim/dma.h"
#include "sim/frame_port.h"
#include "sim/log.h"
#include "sim/mac_filter.h"
#include "sim/qp_table.h"
#include "sim/queues.h"

namespace zeksim {

struct NicCounters {
  std::uint64_t frames_sent = 0;  // send work requests completed successfully
  std::uint64_t bytes_sent = 0;
  std::uint64_t frames_received = 0;  // frames placed in a receive buffer
  std::uint64_t bytes_received = 0;
  std::uint64_t wire_out = 0;           // frames handed to the port
  std::uint64_t wire_in = 0;            // frames that came from the port
  std::uint64_t switched = 0;           // frames delivered between queue pairs of this board
  std::uint64_t filtered = 0;           // frames no slot accepted
  std::uint64_t no_buffer = 0;          // deliveries dropped: the queue pair had no receive buffer posted
  std::uint64_t send_errors = 0;        // send work requests completed in error
  std::uint64_t receive_errors = 0;     // receives completed in error
  std::uint64_t too_long = 0;           // frames dropped as longer than the next receive buffer (it stays posted)
  std::uint64_t stopped_doorbells = 0;  // doorbells for a queue that no longer completes
};

// What a port's MAC counts (include/hw/registers.h, kMac*), as 64-bit
// totals since the last read of each counter. A frame counts on the port of
// the function whose queue pair sent or received it.
// Counted on the engine thread and read (and cleared) by register reads,
// which do not take the engine lock: each counter is atomic.
struct MacCounters {
  using Count = std::atomic<std::uint64_t>;
  Count tx_octets{0};
  Count tx_frames{0};
  Count tx_broadcast{0};
  Count tx_multicast{0};
  Count tx_errors{0};
  Count rx_octets{0};
  Count rx_frames{0};
  Count rx_errors{0};     // receives completed in error, and frames dropped as too long for their buffer
  Count rx_no_buffer{0};  // counter 0xA30: frames dropped for want of a receive buffer
};

class NicEngine {
 public:
  // Bound on frames waiting to enter the board; the port's receiver waits beyond it.
  static constexpr std::size_t kInboundLimit = 1024;

  NicEngine(DmaPort& dma, QueueSet& queues, QueuePairTable& qps, const Log& log, LiveFaultCounters& faults,
            NodeCounters& nodes, std::function<FilterRegisters()> filters)
      : dma_(dma),
        queues_(queues),
        qps_(qps),
        log_(log),
        faults_(faults),
        nodes_(nodes),
        filters_(std::move(filters)) {}

  void attach(FramePort* port) { port_ = port; }
  // A doorbell of `count` work requests for a NIC queue pair's send or receive queue.
  void doorbell(QueuePair& qp, bool send, std::uint32_t count);
  // A frame from the port; false when the inbound queue is full (nothing taken).
  bool receive(std::span<const std::byte> frame);
  bool receive(std::vector<std::byte>&& frame);
  bool inbound_full() const { return inbound_.size() >= kInboundLimit; }
  // The port has room again.
  void port_room() { wire_blocked_ = false; }

  bool has_work() const;
  bool step();

  const NicCounters& counters() const { return counters_; }
  // A read of port `port`'s MAC counter at `offset` in its MAC block (or of
  // kIdxPortRxCounter): the count since the last read, which starts again.
  // A 64-bit counter's high half (offset + 4) is the one its last low read
  // latched. nullopt: no counter there.
  std::optional<std::uint32_t> read_mac_counter(unsigned port, std::uint32_t offset);

 private:
  bool send_one(QueuePair& qp);
  void deliver(std::span<const std::byte> frame, std::uint32_t sender_qp);
  void receive_into(QueuePair& qp, std::span<const std::byte> frame, FrameKind kind);
  void complete(QueuePair& qp, WorkQueue& wq, bool send, std::uint32_t length, std::uint32_t frame_flags,
                std::uint32_t errors, bool vlan_stripped = false);
  // Checksum offload: fills an unfragmented IPv4 frame's checksums (send),
  // and checks them (receive: the frame flags' checksum status, and the
  // error bits of a bad checksum).
  static void insert_checksums(std::vector<std::byte>& frame);
  static std::uint32_t check_checksums(std::span<const std::byte> frame, std::uint32_t* errors);
  QueuePair* next_send_ready();
  // A frame sent or received by a queue pair of `function`, in its node 0's counters.
  void count_node(unsigned function, bool sent, std::span<const std::byte> frame, FrameKind kind);

  DmaPort& dma_;
  QueueSet& queues_;
  QueuePairTable& qps_;
  const Log& log_;
  LiveFaultCounters& faults_;
  NodeCounters& nodes_;  // a function's NIC traffic counts in its node 0 (block = function)
  std::function<FilterRegisters()> filters_;
  FramePort* port_ = nullptr;
  bool wire_blocked_ = false;
  bool inbound_turn_ = false;
  std::uint32_t next_qp_ = 0;
  std::set<std::uint32_t> send_ready_;  // NIC queue pairs whose send queue has work announced
  std::deque<std::vector<std::byte>> inbound_;
  std::vector<std::byte> frame_;  // the frame being sent
  NicCounters counters_;
  std::array<MacCounters, zekhw::kPorts> mac_{};
  // The high halves latched by the last read of each 64-bit counter (tx
  // octets, tx frames, rx octets, rx frames); register lock.
  std::array<std::array<std::uint32_t, 4>, zekhw::kPorts> latched_high_{};
};

}  // namespace zeksim
