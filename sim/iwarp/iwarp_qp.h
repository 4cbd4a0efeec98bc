// One iWARP queue pair in the adapter: its send and receive queues in host
// memory, and, once the host has moved it to RTS with an offloaded
// connection, the RDMAP/DDP/MPA stream on that TCP connection.
//
// Outbound: send-queue work requests become RDMAP messages (Send and its
// Invalidate and Solicited forms, RDMA Write, RDMA Read Request) cut into
// FPDUs no larger than one segment; inbound Read Requests are answered with
// Read Responses. A Send or Write completes when TCP has delivered its last
// octet (the peer acknowledged it), a Read when its last response is
// placed, local operations (bind, fast register, invalidate) when carried
// out; completions leave in send-queue order.
//
// Inbound: Sends are placed into the posted receives in order, Writes and
// Read Responses into the tagged buffers their STag names, after the STag,
// PD, rights and bounds checks; nothing is written outside registered
// memory.
//
// Errors: a fault of the queue pair's own work request completes that
// request (or the oldest one still open) with an error; a fault of the
// peer's traffic, or of the stream itself, sends a Terminate with the RFC's
// layer, type and code. Either way the queue pair goes to TERMINATE (then
// ERROR), raises its asynchronous event, stops completing (the host flushes
// what is left) and closes the connection after the Terminate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "include/hw/cqp.h"
#include "include/hw/events.h"
#include "include/hw/qp_context.h"
#include "include/hw/wqe.h"
#include "sim/iwarp/mpa.h"
#include "sim/iwarp/rdmap.h"
#include "sim/iwarp/stag_table.h"
#include "sim/iwarp/tcp_conn.h"

namespace zeksim {

// What a queue pair needs from its board.
class IwarpHost {
 public:
  virtual ~IwarpHost() = default;
  virtual bool dma_read(std::uint64_t pa, std::span<std::byte> out) = 0;
  virtual bool dma_write(std::uint64_t pa, std::span<const std::byte> in) = 0;
  virtual void complete(std::uint32_t cq_id, const zekhw::MifhCqe& cqe, bool solicited) = 0;
  struct Event {
    std::uint16_t id = 0;
    std::uint16_t reason = 0;  // 9 bits
    bool inbound = false, sq = false;
    std::uint8_t iwarp_state = 0, tcp_state = 0;
  };
  virtual void async_event(std::uint32_t qp_id, std::uint64_t qp_object, const Event& event) = 0;
  virtual StagTable& stags() = 0;
};

struct IwarpQpSetup {
  std::uint32_t id = 0;
  std::uint32_t pd = 0;
  std::uint64_t qp_object = 0;
  std::uint32_t sq_cq = 0, rq_cq = 0;
  std::uint64_t sq_pa = 0, rq_pa = 0;
  std::uint32_t sq_size = 0, rq_size = 0;
  std::uint32_t sq_first = 1;  // the send ring's first slot
  std::uint64_t q2_pa = 0;     // the 64-byte terminate buffer (0: none)
  std::uint32_t ord = 8, ird = 8;
};

struct IwarpOffload {
  TcpEndpoints endpoints;
  TcpState tcp;
  MpaSettings mpa;
};

struct IwarpQpCounters {
  std::uint64_t sends = 0, writes = 0, reads = 0, read_responses = 0, receives = 0;
  std::uint64_t fpdus_sent = 0, fpdus_received = 0, bytes_placed = 0;
  std::uint64_t terminates_sent = 0, terminates_received = 0;
  std::uint64_t completions = 0, error_completions = 0;
};

class IwarpQp final : public TcpListener {
 public:
  IwarpQp(IwarpHost& host, const TcpTuning& tuning, const IwarpQpSetup& setup);
  ~IwarpQp() override;

  const IwarpQpSetup& setup() const { return setup_; }
  std::uint8_t state() const { return state_; }
  const IwarpQpCounters& counters() const { return counters_; }
  const TcpConnection* tcp() const { return tcp_.get(); }

  // RTS with an offloaded connection: the adapter carries it from here.
  void go_rts(const IwarpOffload& offload, Nanos now);
  // CLOSING: FIN after what is queued; the event kAeClosed when both sides are done.
  void close(Nanos now, FrameSink& sink);
  // ERROR (or TERMINATE): the connection is reset, the queues stop.
  void to_error(std::uint8_t state, Nanos now, FrameSink& sink);
  // Stops a work queue: no completion for what is outstanding.
  void flush(bool sq, bool rq);
  // A new send or receive ring (a modify that resized): consumer at slot 0.
  void restart_sq(std::uint64_t pa, std::uint32_t size);
  void restart_rq(std::uint64_t pa, std::uint32_t size);

  void sq_doorbell(std::uint32_t count);
  void rq_doorbell(std::uint32_t count);

  void on_segment(const net::ParsedTcpFrame& segment, Nanos now, FrameSink& sink);
  void on_timer(Nanos now, FrameSink& sink);
  std::optional<Nanos> next_deadline() const;
  // Carries out queued work (at most `budget` work requests and responses)
  // and sends what TCP allows; true when work is left for another turn.
  bool run(Nanos now, FrameSink& sink, unsigned budget);
  // Work waiting that run() would do now.
  bool has_work() const;

 private:
  struct Sge {
    std::uint64_t address = 0;
    std::uint32_t length = 0;
    std::uint32_t stag = 0;
  };
  // A send-queue work request between being taken and being completed.
  struct SqEntry {
    std::uint32_t index = 0;
    std::uint64_t tag = 0;
    std::uint32_t op = 0;  // op code (bits 0-5), or the stream-message word
    bool signalled = false;
    bool done = false;
    bool error = false;
    std::uint32_t bytes = 0;    // for the completion
    std::uint32_t end_seq = 0;  // TCP: complete once acknowledged up to here
    bool wait_ack = false;
    bool read = false;                   // an RDMA Read waiting for its responses
    std::uint32_t invalidate_local = 0;  // read with local invalidate: the sink STag afterwards
  };
  // The message being cut into FPDUs.
  struct Outbound {
    DdpHeader header;       // first segment's header; MO / TO advance
    std::vector<Sge> sges;  // local source (sends, writes, read responses)
    std::vector<std::byte> inline_data;
    std::uint32_t length = 0, sent = 0;
    std::optional<std::uint64_t> sq_serial;  // its send-queue entry (none for read responses)
    bool raw = false;                        // the stream message: bytes without framing
  };
  // An RDMA Read this side asked for.
  struct PendingRead {
    std::uint64_t sq_serial = 0;  // its send-queue entry
    std::uint32_t sink_stag = 0;
    std::uint64_t sink_to = 0;
    std::uint32_t size = 0, placed = 0;
  };
  // An RDMA Read the peer asked for, to answer.
  struct ReadResponseJob {
    ReadRequest request;
  };
  // The receive being filled by the current inbound Send.
  struct InboundSend {
    std::uint32_t rq_index = 0;
    std::uint64_t tag = 0;
    std::vector<Sge> sges;
    std::uint32_t capacity = 0, placed = 0;
  };

  // TcpListener.
  std::size_t on_data(std::span<const std::byte> bytes) override;
  void on_acked(std::uint32_t snd_una) override;
  void on_peer_fin() override;
  void on_closed(TcpCloseReason reason) override;

  // Outbound.
  bool take_sq_wqe();
  bool start_message(std::uint32_t index, const std::byte (&raw)[128]);
  void start_read_response();
  bool emit(Outbound& out);  // FPDUs while TCP has room; true when the message is all queued
  bool gather(const std::vector<Sge>& sges, const std::vector<std::byte>& inline_data, std::size_t offset,
              std::span<std::byte> dest);
  std::optional<std::vector<Sge>> read_sges(const std::byte (&raw)[128], std::uint32_t total, std::uint32_t access,
                                            std::uint16_t* error);
  void retire();
  SqEntry* entry(std::uint64_t serial);
  void local_error(std::uint16_t event);

  // Inbound.
  void on_ulpdu(std::span<const std::byte> ulpdu);
  void on_tagged(const DdpHeader& h, std::span<const std::byte> payload, std::span<const std::byte> ulpdu);
  void on_send(const DdpHeader& h, std::span<const std::byte> payload, std::span<const std::byte> ulpdu);
  void on_read_request(const DdpHeader& h, std::span<const std::byte> payload, std::span<const std::byte> ulpdu);
  void on_terminate(std::span<const std::byte> payload, std::span<const std::byte> ulpdu);
  bool place(std::uint32_t stag, std::uint64_t to, std::span<const std::byte> bytes);
  bool place_sges(const std::vector<Sge>& sges, std::uint32_t offset, std::span<const std::byte> bytes);

  // Errors.
  void terminate(TermLayer layer, std::uint8_t etype, std::uint8_t code, std::uint16_t event, bool inbound,
                 std::span<const std::byte> offending = {});
  void raise(std::uint16_t event, std::uint16_t reason, bool inbound, bool sq);
  std::uint8_t tcp_state_code() const;
  void write_q2(std::span<const std::byte> message);

  IwarpHost& host_;
  TcpTuning tuning_;
  IwarpQpSetup setup_;
  std::uint8_t state_ = zekhw::kQpIdle;
  IwarpQpCounters counters_;
  std::unique_ptr<TcpConnection> tcp_;
  MpaSettings mpa_;
  std::optional<MpaSender> mpa_tx_;
  std::optional<MpaReceiver> mpa_rx_;
  bool stream_dead_ = false;  // a Terminate went or came: nothing more is read or sent
  bool close_asked_ = false;

  // Send queue.
  std::uint32_t sq_consumer_ = 0, sq_posted_ = 0;
  bool sq_active_ = true;
  std::deque<SqEntry> sq_;                 // taken, not yet completed, in order
  std::uint64_t sq_serial_front_ = 0;      // serial of sq_.front(); entries leave only from the front
  bool sq_stalled_ = false;                // the next request waits for reads to finish (ORD or fence)
  std::deque<Outbound> outbound_;          // the message being sent first
  std::deque<PendingRead> reads_;          // reads asked, in order
  std::deque<ReadResponseJob> responses_;  // reads to answer, in order
  std::uint32_t send_msn_ = 1, read_msn_ = 1, term_msn_ = 1;

  // Receive queue.
  std::uint32_t rq_consumer_ = 0, rq_posted_ = 0;
  bool rq_active_ = true;
  std::optional<InboundSend> inbound_;
  std::uint32_t expect_send_msn_ = 1, expect_read_msn_ = 1;
  std::uint32_t responses_open_ = 0;  // inbound reads not yet fully answered
  std::uint64_t responses_queued_ = 0, responses_sent_ = 0;
  // Invalidations that wait for Read Responses queued before them (RFC 5040
  // ordering: a Send with Invalidate does not overtake an earlier Read).
  struct DeferredInvalidate {
    std::uint64_t after;  // responses_sent_ must reach this
    std::uint32_t stag;
  };
  std::deque<DeferredInvalidate> deferred_invalidates_;

  // Context of the current entry point (for the TCP callbacks).
  Nanos now_{0};
  FrameSink* sink_ = nullptr;
};

}  // namespace zeksim
