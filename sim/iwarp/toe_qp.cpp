#include "sim/iwarp/toe_qp.h"

#include <algorithm>
#include <cstring>

namespace zeksim {

using namespace zekhw;

ToeQp::ToeQp(IwarpHost& host, const TcpTuning& tuning, const ToeQpSetup& setup)
    : host_(host), tuning_(tuning), setup_(setup) {}

ToeQp::~ToeQp() = default;

void ToeQp::connect(const TcpEndpoints& endpoints, const TcpState& state, Nanos now) {
  tcp_ = std::make_unique<TcpConnection>(tuning_, endpoints, state, now, this);
}

void ToeQp::abort(Nanos now, FrameSink& sink) {
  if (tcp_ != nullptr && tcp_->phase() != TcpPhase::Closed) tcp_->abort(sink);
  dead_ = true;
}

void ToeQp::sq_doorbell(std::uint32_t count) {
  if (setup_.sq_size != 0) sq_posted_ = std::min(sq_posted_ + count, setup_.sq_size - 1);
}

void ToeQp::rq_doorbell(std::uint32_t count) {
  if (setup_.rq_size != 0) rq_posted_ = std::min(rq_posted_ + count, setup_.rq_size - 1);
}

void ToeQp::complete_send(const MifhToeSendWqe& w, std::uint16_t status) {
  MifhToeCqe c{};
  c.byte_count = status == 0 ? w.byte_count : 0;
  c.qp = w.qp;
  c.context = w.context;
  c.status = status;
  c.flags = kCqeValid | kCqeSendQueue | (status != 0 ? kCqeError : 0u);
  MifhCqe as_cqe;
  std::memcpy(&as_cqe, &c, sizeof c);
  host_.complete(setup_.sq_cq, as_cqe, status != 0);
  counters_.errors += status != 0;
}

void ToeQp::complete_receive(std::uint16_t status, std::uint16_t status2) {
  if (!receive_) return;
  MifhToeCqe c{};
  c.byte_count = receive_->placed;
  c.qp = receive_->wqe.qp;
  c.context = receive_->wqe.context;
  c.status = status;
  c.status2 = status2;
  c.flags = kCqeValid | (status != 0 ? kCqeError : 0u);
  MifhCqe as_cqe;
  std::memcpy(&as_cqe, &c, sizeof c);
  host_.complete(setup_.rq_cq, as_cqe, true);
  ++counters_.receives;
  counters_.errors += status != 0;
  receive_.reset();
}

bool ToeQp::take_receive() {
  if (receive_) return true;
  if (rq_posted_ == 0 || dead_) return false;
  CurrentReceive r;
  if (!host_.dma_read(setup_.rq_pa + std::uint64_t{128} * rq_consumer_, std::as_writable_bytes(std::span(&r.wqe, 1)))) {
    fail_all(kToeStatusBadRequest);
    return false;
  }
  rq_consumer_ = (rq_consumer_ + 1) % setup_.rq_size;
  --rq_posted_;
  for (const MifhToeBuffer& b : r.wqe.buffer) r.capacity += b.length;
  receive_ = r;
  if (r.wqe.byte_count == 0 || r.capacity < r.wqe.byte_count) {
    // Buffers that do not hold what the request says: refused as a whole.
    receive_->placed = 0;
    complete_receive(kToeStatusBadRequest, 0);
    return take_receive();
  }
  receive_->capacity = r.wqe.byte_count;
  return true;
}

std::size_t ToeQp::on_data(std::span<const std::byte> bytes) {
  std::size_t taken = 0;
  while (taken < bytes.size() && take_receive()) {
    CurrentReceive& r = *receive_;
    // Place into the buffers from where the last placement stopped.
    std::uint32_t skip = r.placed;
    for (const MifhToeBuffer& b : r.wqe.buffer) {
      if (taken == bytes.size() || r.placed == r.capacity) break;
      if (skip >= b.length) {
        skip -= b.length;
        continue;
      }
      const std::size_t n = std::min<std::size_t>({b.length - skip, bytes.size() - taken, r.capacity - r.placed});
      if (!host_.dma_write(b.address + skip, bytes.subspan(taken, n))) {
        complete_receive(kToeStatusBadRequest, 0);
        return bytes.size();  // dropped: the stream is no longer whole for this host
      }
      taken += n;
      r.placed += static_cast<std::uint32_t>(n);
      counters_.bytes_received += n;
      skip = 0;
    }
    if (r.placed == r.capacity) complete_receive(0, 0);
  }
  return taken;
}

void ToeQp::on_acked(std::uint32_t snd_una) {
  while (!sends_.empty() && seq_leq(sends_.front().end_seq, snd_una)) {
    complete_send(sends_.front().wqe, 0);
    sends_.pop_front();
  }
}

void ToeQp::on_peer_fin() { peer_fin_ = true; }

void ToeQp::fail_all(std::uint16_t status) {
  dead_ = true;
  for (const PendingSend& s : sends_) complete_send(s.wqe, status);
  sends_.clear();
  // Requests posted and not yet taken complete too: the host sleeps on each.
  while (sq_posted_ > 0) {
    MifhToeSendWqe w{};
    host_.dma_read(setup_.sq_pa + std::uint64_t{128} * sq_consumer_, std::as_writable_bytes(std::span(&w, 1)));
    sq_consumer_ = (sq_consumer_ + 1) % setup_.sq_size;
    --sq_posted_;
    complete_send(w, status);
  }
  if (receive_) complete_receive(status, 0);
  while (rq_posted_ > 0) {
    CurrentReceive r;
    host_.dma_read(setup_.rq_pa + std::uint64_t{128} * rq_consumer_, std::as_writable_bytes(std::span(&r.wqe, 1)));
    rq_consumer_ = (rq_consumer_ + 1) % setup_.rq_size;
    --rq_posted_;
    receive_ = r;
    complete_receive(status, 0);
  }
}

void ToeQp::on_closed(TcpCloseReason reason) {
  if (reason == TcpCloseReason::Reset) fail_all(kToeStatusReset);
  if (reason == TcpCloseReason::TimedOut) fail_all(kToeStatusTimedOut);
  if (reason == TcpCloseReason::Reset || reason == TcpCloseReason::TimedOut) {
    IwarpHost::Event e;
    e.id = reason == TcpCloseReason::Reset ? kAePeerReset : kAeConnectionTimeout;
    host_.async_event(setup_.id, setup_.qp_object, e);
  }
  dead_ = true;
}

void ToeQp::on_segment(const net::ParsedTcpFrame& segment, Nanos now, FrameSink& sink) {
  if (tcp_ != nullptr) tcp_->on_segment(segment, now, sink);
}

void ToeQp::on_timer(Nanos now, FrameSink& sink) {
  if (tcp_ != nullptr) tcp_->on_timer(now, sink);
}

std::optional<Nanos> ToeQp::next_deadline() const { return tcp_ != nullptr ? tcp_->next_deadline() : std::nullopt; }

bool ToeQp::has_work() const {
  if (tcp_ == nullptr || dead_) return false;
  // Bytes placed into the receive being filled as they arrived complete it at
  // the next turn, with no receive left posted behind it.
  if (receive_ && receive_->placed > 0) return true;
  const bool can_receive = rq_posted_ > 0 || receive_;
  if (can_receive && (tcp_->held_bytes() > 0 || (peer_fin_ && !eos_done_))) return true;
  return sq_posted_ > 0;
}

bool ToeQp::run(Nanos now, FrameSink& sink, unsigned budget) {
  if (tcp_ == nullptr || dead_) return false;
  if (rq_posted_ > 0 || receive_) tcp_->deliver_held(now, sink);
  // What has arrived by now completes the receive being filled (as recv() returns).
  if (receive_ && receive_->placed > 0) complete_receive(0, 0);
  if (peer_fin_ && !eos_done_ && tcp_->held_bytes() == 0 && take_receive()) {
    eos_done_ = true;
    complete_receive(0, kToeEndOfStream);
  }
  for (unsigned n = 0; n < budget && sq_posted_ > 0 && !dead_; ++n) {
    MifhToeSendWqe w{};
    if (!host_.dma_read(setup_.sq_pa + std::uint64_t{128} * sq_consumer_, std::as_writable_bytes(std::span(&w, 1)))) {
      fail_all(kToeStatusBadRequest);
      break;
    }
    if (w.byte_count > tcp_->send_space()) break;  // waits for acknowledgements
    sq_consumer_ = (sq_consumer_ + 1) % setup_.sq_size;
    --sq_posted_;
    if (w.byte_count == 0) {
      tcp_->close();
      sends_.push_back(PendingSend{w, tcp_->send_tail() + 1});
      continue;
    }
    Bytes data(w.byte_count);
    std::uint32_t at = 0;
    bool ok = true;
    for (const MifhToeBuffer& b : w.buffer) {
      if (at == w.byte_count) break;
      const std::uint32_t n = std::min(b.length, w.byte_count - at);
      ok = ok && host_.dma_read(b.address, std::span(data).subspan(at, n));
      at += n;
    }
    if (!ok || at != w.byte_count || !tcp_->append(std::move(data))) {
      complete_send(w, kToeStatusBadRequest);
      continue;
    }
    ++counters_.sends;
    counters_.bytes_sent += w.byte_count;
    sends_.push_back(PendingSend{w, tcp_->send_tail()});
  }
  tcp_->output(now, sink);
  return has_work();
}

}  // namespace zeksim
