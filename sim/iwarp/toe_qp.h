// A TOE queue pair: an offloaded TCP connection whose bytes the host posts
// and receives through TOE work requests (include/hw/toe.h). Sends become
// records of the TCP stream and complete when acknowledged; received bytes
// fill the posted receives in order, and wait in the connection (its window
// closing) while none is posted. A receive completes when full, or on the
// engine's next turn with what has arrived by then. The peer's FIN completes a receive with the
// end-of-stream bit. When the connection ends abnormally every request still
// open completes with an error status: the host waits on each one.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>

#include "include/hw/toe.h"
#include "sim/iwarp/iwarp_qp.h"

namespace zeksim {

struct ToeQpSetup {
  std::uint32_t id = 0;
  std::uint64_t qp_object = 0;
  std::uint32_t sq_cq = 0, rq_cq = 0;
  std::uint64_t sq_pa = 0, rq_pa = 0;
  std::uint32_t sq_size = 0, rq_size = 0;
};

struct ToeCounters {
  std::uint64_t sends = 0, receives = 0, bytes_sent = 0, bytes_received = 0, errors = 0;
};

class ToeQp final : public TcpListener {
 public:
  ToeQp(IwarpHost& host, const TcpTuning& tuning, const ToeQpSetup& setup);
  ~ToeQp() override;

  void connect(const TcpEndpoints& endpoints, const TcpState& state, Nanos now);
  // The host destroys the queue pair: a live connection is reset.
  void abort(Nanos now, FrameSink& sink);
  const ToeCounters& counters() const { return counters_; }
  const TcpConnection* tcp() const { return tcp_.get(); }

  void sq_doorbell(std::uint32_t count);
  void rq_doorbell(std::uint32_t count);
  void on_segment(const net::ParsedTcpFrame& segment, Nanos now, FrameSink& sink);
  void on_timer(Nanos now, FrameSink& sink);
  std::optional<Nanos> next_deadline() const;
  bool run(Nanos now, FrameSink& sink, unsigned budget);
  bool has_work() const;

 private:
  struct PendingSend {
    zekhw::MifhToeSendWqe wqe;
    std::uint32_t end_seq = 0;
  };
  struct CurrentReceive {
    zekhw::MifhToeRecvWqe wqe;
    std::uint32_t capacity = 0, placed = 0;
  };

  std::size_t on_data(std::span<const std::byte> bytes) override;
  void on_acked(std::uint32_t snd_una) override;
  void on_peer_fin() override;
  void on_closed(TcpCloseReason reason) override;

  bool take_receive();
  void complete_send(const zekhw::MifhToeSendWqe& w, std::uint16_t status);
  void complete_receive(std::uint16_t status, std::uint16_t status2);
  void fail_all(std::uint16_t status);

  IwarpHost& host_;
  TcpTuning tuning_;
  ToeQpSetup setup_;
  std::unique_ptr<TcpConnection> tcp_;
  ToeCounters counters_;
  std::uint32_t sq_consumer_ = 0, sq_posted_ = 0;
  std::uint32_t rq_consumer_ = 0, rq_posted_ = 0;
  std::deque<PendingSend> sends_;
  std::optional<CurrentReceive> receive_;
  bool peer_fin_ = false, eos_done_ = false, dead_ = false;
};

}  // namespace zeksim
