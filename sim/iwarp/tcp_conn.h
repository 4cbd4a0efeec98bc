// One offloaded TCP connection, continued from the state the host stack
// exported when it handed the connection to the adapter: the adapter does
// not open connections, it carries on established ones (RFC 793 as amended
// by RFC 1122; congestion control per RFC 5681 with NewReno recovery per
// RFC 6582; retransmission timer per RFC 6298; window scaling and
// timestamps per RFC 7323 when the host stack had negotiated them).
//
// The connection is a plain object driven by its engine: segments in
// (on_segment), bytes to send in (append, in records that segments do not
// split unless a record is larger than a segment), time in (on_timer with
// the clock's value; next_deadline says when it is next needed), frames out
// (output, into the frame sink). In-order bytes go up to the listener as
// they arrive; what it does not take is held and shrinks the window.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "sim/iwarp/bytes.h"
#include "sim/iwarp/inet.h"
#include "sim/iwarp/timer_queue.h"

namespace zeksim {

using namespace std::chrono_literals;

constexpr bool seq_lt(std::uint32_t a, std::uint32_t b) { return static_cast<std::int32_t>(a - b) < 0; }
constexpr bool seq_leq(std::uint32_t a, std::uint32_t b) { return static_cast<std::int32_t>(a - b) <= 0; }
constexpr bool seq_gt(std::uint32_t a, std::uint32_t b) { return seq_lt(b, a); }
constexpr bool seq_geq(std::uint32_t a, std::uint32_t b) { return seq_leq(b, a); }

// Adapter-wide TCP settings.
struct TcpTuning {
  Nanos min_rto{200ms};
  Nanos max_rto{60s};
  Nanos initial_rto{1s};          // until the first round-trip sample, unless the host's RTO is known
  unsigned max_retransmits = 10;  // consecutive time-outs before the connection is given up
  Nanos delayed_ack{40ms};
  Nanos time_wait{2s};  // 2 MSL of the lab
  std::size_t send_buffer_bytes = 8u << 20;
  std::size_t receive_buffer_bytes = 4u << 20;  // window offered; also bounds held and out-of-order bytes
};

// What the connection continues from (the offload context, decoded).
struct TcpState {
  std::uint32_t snd_una = 0, snd_nxt = 0, snd_max = 0;
  std::uint32_t snd_wnd = 0;  // bytes (already scaled)
  std::uint32_t snd_wl1 = 0, snd_wl2 = 0;
  std::uint32_t rcv_nxt = 0;
  std::uint32_t rcv_wnd = 0;                  // bytes last offered
  std::uint16_t mss = 536;                    // the peer's MSS: payload bytes of a segment without options
  std::uint8_t snd_scale = 0, rcv_scale = 0;  // window shifts (0 when scaling is off)
  bool timestamps = false;
  std::uint32_t ts_recent = 0;
  std::uint32_t cwnd = 0, ssthresh = 0;  // 0: start from the defaults
  Nanos srtt{0};                         // 0: no sample yet
  Nanos rto{0};                          // 0: tuning's initial RTO
};

struct TcpEndpoints {
  net::Mac local_mac{}, remote_mac{};
  std::uint32_t local_ip = 0, remote_ip = 0;
  std::uint16_t local_port = 0, remote_port = 0;
};

enum class TcpPhase { Established, FinWait1, FinWait2, CloseWait, Closing, LastAck, TimeWait, Closed };

enum class TcpCloseReason {
  Graceful,  // both FINs exchanged and acknowledged
  Reset,     // the peer reset the connection
  TimedOut,  // retransmissions gave up
  Aborted,   // this side reset it (abort)
};

class TcpListener {
 public:
  virtual ~TcpListener() = default;
  // In-order bytes; returns how many the listener took (the rest is held
  // and offered again by deliver_held()).
  virtual std::size_t on_data(std::span<const std::byte> bytes) = 0;
  // The peer acknowledged everything before `snd_una`.
  virtual void on_acked(std::uint32_t snd_una) {}
  // The peer's FIN arrived after all its data.
  virtual void on_peer_fin() {}
  // The connection is over.
  virtual void on_closed(TcpCloseReason reason) {}
};

// Where segments go: a buffer for one frame at a time.
class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // A buffer of exactly `bytes`, or an empty span when the port has no room.
  virtual std::span<std::byte> frame(std::size_t bytes) = 0;
  // The frame last handed out is complete.
  virtual void commit() = 0;
};

struct TcpCounters {
  std::uint64_t segments_sent = 0, segments_received = 0;
  std::uint64_t bytes_sent = 0, bytes_received = 0;  // payload, first transmissions / in-order deliveries
  std::uint64_t retransmits = 0, timeouts = 0, fast_retransmits = 0;
  std::uint64_t duplicates = 0, out_of_order = 0, dropped = 0;  // received
  std::uint64_t acks_sent = 0;
};

class TcpConnection {
 public:
  TcpConnection(const TcpTuning& tuning, const TcpEndpoints& endpoints, const TcpState& state, Nanos now,
                TcpListener* listener);

  TcpPhase phase() const { return phase_; }
  const TcpEndpoints& endpoints() const { return ep_; }
  const TcpCounters& counters() const { return counters_; }
  std::uint32_t snd_una() const { return snd_una_; }
  std::uint32_t snd_nxt() const { return snd_nxt_; }
  std::uint32_t rcv_nxt() const { return rcv_nxt_; }
  // The sequence number the next appended byte will carry.
  std::uint32_t send_tail() const { return static_cast<std::uint32_t>(snd_una_ + (tail_off_ - una_off_)); }
  // Bytes the send buffer can still take.
  std::size_t send_space() const;
  // Largest payload of one segment.
  std::size_t max_payload() const;
  Nanos rto() const { return rto_; }

  // Appends one record to the stream; false (nothing taken) when it does not
  // fit or the connection no longer sends.
  bool append(Bytes record);
  bool append(std::span<const std::byte> record) { return append(Bytes(record.begin(), record.end())); }
  // The buffer of a record the peer has acknowledged, for the next record
  // (empty when none is left over).
  Bytes spare_buffer();
  // The data being delivered ends a message of the layer above: its segment
  // is acknowledged at once instead of after the delayed-ACK time.
  void acknowledge_soon() { ack_requested_ = true; }
  // Sends FIN after the queued data.
  void close();
  // Sends RST and closes (reason Aborted).
  void abort(FrameSink& sink);

  void on_segment(const net::ParsedTcpFrame& segment, Nanos now, FrameSink& sink);
  void on_timer(Nanos now, FrameSink& sink);
  std::optional<Nanos> next_deadline() const;
  // Sends what the windows allow; also acknowledgements that are due.
  void output(Nanos now, FrameSink& sink);
  // Offers held bytes to the listener again (it has room now).
  void deliver_held(Nanos now, FrameSink& sink);
  std::size_t held_bytes() const { return held_.size() - held_begin_; }

 private:
  struct Record {
    std::uint64_t off;  // stream offset of its first byte
    Bytes bytes;
  };

  std::uint64_t off_of(std::uint32_t seq) const { return una_off_ + static_cast<std::uint32_t>(seq - snd_una_); }
  std::uint32_t tcp_now(Nanos now) const;
  std::uint32_t window_to_offer() const;
  bool send_segment(Nanos now, FrameSink& sink, std::uint32_t seq, std::size_t len, bool fin, bool rst = false);
  void handle_ack(const net::TcpFrameHeader& h, std::size_t payload_len, Nanos now, FrameSink& sink);
  void take_rtt_sample(Nanos sample);
  void retransmit_first(Nanos now, FrameSink& sink);
  void deliver(std::span<const std::byte> bytes);
  void drain_out_of_order();
  void close_with(TcpCloseReason reason);
  void enter_time_wait(Nanos now);
  void ack_received_data(bool immediately, Nanos now);
  std::uint32_t flight() const { return snd_max_ - snd_una_; }

  TcpTuning tuning_;
  TcpEndpoints ep_;
  TcpListener* listener_;
  TcpPhase phase_ = TcpPhase::Established;
  TcpCounters counters_;

  // Send side.
  std::uint32_t snd_una_, snd_nxt_, snd_max_, snd_wnd_, snd_wl1_, snd_wl2_;
  std::uint32_t max_snd_wnd_;
  std::uint16_t mss_;
  std::uint8_t snd_scale_, rcv_scale_;
  std::deque<Record> records_;  // from the one holding snd_una
  static constexpr std::size_t kSpareBuffers = 64;
  std::vector<Bytes> spare_;        // acknowledged records' buffers
  std::uint64_t una_off_ = 0;       // stream offset of snd_una
  std::uint64_t tail_off_ = 0;      // stream offset after the last byte appended
  std::uint64_t host_end_off_ = 0;  // bytes the host sent before the hand-over end here
  bool lost_host_bytes_ = false;
  bool fin_queued_ = false;  // close() called; FIN follows the data
  bool fin_sent_ = false;
  std::uint32_t cwnd_, ssthresh_;
  unsigned dupacks_ = 0;
  bool in_recovery_ = false;
  std::uint32_t recover_ = 0;
  // Round-trip estimate and retransmission timer.
  Nanos srtt_{0}, rttvar_{0}, rto_;
  bool timing_ = false;
  std::uint32_t timed_seq_ = 0;
  Nanos timed_at_{0};
  unsigned backoff_ = 0;           // consecutive time-outs
  std::optional<Nanos> rexmt_at_;  // retransmission or persist timer
  bool persist_ = false;           // rexmt_at_ is the persist (window probe) timer

  // Receive side.
  std::uint32_t rcv_nxt_;
  std::uint32_t rcv_adv_;  // right edge offered so far (never moves left)
  std::size_t rcv_capacity_;
  std::uint64_t rcv_off_ = 0;                            // receive-stream offset of rcv_nxt
  std::map<std::uint64_t, std::vector<std::byte>> ooo_;  // early segments by receive-stream offset
  std::size_t ooo_bytes_ = 0;
  std::optional<std::uint64_t> ooo_fin_;  // receive-stream offset of an early FIN
  std::vector<std::byte> held_;
  std::size_t held_begin_ = 0;
  bool timestamps_;
  std::uint32_t ts_recent_;
  bool ack_now_ = false;
  bool ack_requested_ = false;  // by the layer above, for the segment being delivered
  unsigned unacked_segments_ = 0;
  std::optional<Nanos> delack_at_;
  std::optional<Nanos> time_wait_at_;
  std::uint16_t ip_id_ = 0;
};

}  // namespace zeksim
