#include "sim/iwarp/tcp_conn.h"

#include <algorithm>
#include <cstring>

namespace zeksim {

namespace {

constexpr std::uint32_t kTsOptionBytes = 12;

std::uint16_t swap16(std::uint64_t folded) {
  while (folded >> 16) folded = (folded & 0xFFFF) + (folded >> 16);
  return static_cast<std::uint16_t>((folded >> 8) | (folded << 8));
}

}  // namespace

TcpConnection::TcpConnection(const TcpTuning& tuning, const TcpEndpoints& endpoints, const TcpState& s, Nanos now,
                             TcpListener* listener)
    : tuning_(tuning),
      ep_(endpoints),
      listener_(listener),
      snd_una_(s.snd_una),
      snd_nxt_(s.snd_nxt),
      snd_max_(seq_gt(s.snd_max, s.snd_nxt) ? s.snd_max : s.snd_nxt),
      snd_wnd_(s.snd_wnd),
      snd_wl1_(s.snd_wl1),
      snd_wl2_(s.snd_wl2),
      max_snd_wnd_(s.snd_wnd),
      mss_(s.mss == 0 ? 536 : s.mss),
      snd_scale_(std::min<std::uint8_t>(s.snd_scale, 14)),
      rcv_scale_(std::min<std::uint8_t>(s.rcv_scale, 14)),
      rcv_nxt_(s.rcv_nxt),
      timestamps_(s.timestamps),
      ts_recent_(s.ts_recent) {
  // Bytes the host sent and the peer has not yet acknowledged are not in the
  // adapter's buffer: they count as in flight, and a time-out that would need
  // them again ends the connection instead of sending anything else.
  snd_nxt_ = snd_max_;
  host_end_off_ = tail_off_ = static_cast<std::uint32_t>(snd_max_ - snd_una_);
  const std::uint32_t initial_cwnd = std::min<std::uint32_t>(10u * mss_, std::max<std::uint32_t>(2u * mss_, 14600u));
  cwnd_ = s.cwnd != 0 ? std::max<std::uint32_t>(s.cwnd, mss_) : initial_cwnd;
  ssthresh_ = s.ssthresh != 0 ? std::max<std::uint32_t>(s.ssthresh, 2u * mss_) : 0x7FFFFFFF;
  if (s.srtt.count() > 0) {
    srtt_ = s.srtt;
    rttvar_ = s.srtt / 2;
  }
  rto_ = s.rto.count() > 0 ? std::clamp(s.rto, tuning_.min_rto, tuning_.max_rto) : tuning_.initial_rto;
  rcv_capacity_ = std::max<std::size_t>(tuning_.receive_buffer_bytes, s.rcv_wnd);
  rcv_adv_ = rcv_nxt_ + s.rcv_wnd;
  if (flight() != 0) rexmt_at_ = now + rto_;
}

std::size_t TcpConnection::send_space() const {
  const std::uint64_t used = tail_off_ - una_off_;
  return used >= tuning_.send_buffer_bytes ? 0 : tuning_.send_buffer_bytes - used;
}

std::size_t TcpConnection::max_payload() const { return mss_ - (timestamps_ ? kTsOptionBytes : 0); }

std::uint32_t TcpConnection::tcp_now(Nanos now) const {
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

bool TcpConnection::append(Bytes record) {
  if (fin_queued_ || (phase_ != TcpPhase::Established && phase_ != TcpPhase::CloseWait)) return false;
  if (record.empty()) return true;
  if (record.size() > send_space()) return false;
  const std::uint64_t off = tail_off_;
  tail_off_ += record.size();
  records_.push_back(Record{off, std::move(record)});
  return true;
}

Bytes TcpConnection::spare_buffer() {
  if (spare_.empty()) return {};
  Bytes b = std::move(spare_.back());
  spare_.pop_back();
  b.clear();
  return b;
}

void TcpConnection::close() {
  if (fin_queued_) return;
  if (phase_ == TcpPhase::Established) {
    phase_ = TcpPhase::FinWait1;
  } else if (phase_ == TcpPhase::CloseWait) {
    phase_ = TcpPhase::LastAck;
  } else {
    return;
  }
  fin_queued_ = true;
}

void TcpConnection::abort(FrameSink& sink) {
  if (phase_ == TcpPhase::Closed) return;
  send_segment(Nanos{0}, sink, snd_nxt_, 0, false, true);
  close_with(TcpCloseReason::Aborted);
}

void TcpConnection::close_with(TcpCloseReason reason) {
  if (phase_ == TcpPhase::Closed) return;
  phase_ = TcpPhase::Closed;
  rexmt_at_.reset();
  delack_at_.reset();
  time_wait_at_.reset();
  records_.clear();
  ooo_.clear();
  ooo_bytes_ = 0;
  if (listener_ != nullptr) listener_->on_closed(reason);
}

std::uint32_t TcpConnection::window_to_offer() const {
  const std::size_t used = held_bytes() + ooo_bytes_;
  const std::size_t room = used >= rcv_capacity_ ? 0 : rcv_capacity_ - used;
  // Never move the right edge to the left.
  const std::uint32_t offered = rcv_adv_ - rcv_nxt_;
  const std::uint32_t wnd = static_cast<std::uint32_t>(std::min<std::size_t>(room, 0x3FFFFFFF));
  return seq_lt(rcv_nxt_ + wnd, rcv_adv_) ? offered : wnd;
}

std::optional<Nanos> TcpConnection::next_deadline() const {
  std::optional<Nanos> next;
  for (const auto& t : {rexmt_at_, delack_at_, time_wait_at_}) {
    if (t && (!next || *t < *next)) next = t;
  }
  return next;
}

bool TcpConnection::send_segment(Nanos now, FrameSink& sink, std::uint32_t seq, std::size_t len, bool fin, bool rst) {
  net::TcpFrameHeader h;
  h.src_mac = ep_.local_mac;
  h.dst_mac = ep_.remote_mac;
  h.src_ip = ep_.local_ip;
  h.dst_ip = ep_.remote_ip;
  h.src_port = ep_.local_port;
  h.dst_port = ep_.remote_port;
  h.seq = seq;
  h.ack = rcv_nxt_;
  h.flags = rst ? static_cast<std::uint8_t>(net::kRst | net::kAck) : static_cast<std::uint8_t>(net::kAck);
  if (fin) h.flags |= net::kFin;
  if (len > 0) h.flags |= net::kPsh;
  const std::uint32_t wnd = rst ? 0 : window_to_offer();
  h.window = static_cast<std::uint16_t>(std::min<std::uint32_t>(wnd >> rcv_scale_, 0xFFFF));
  if (timestamps_) {
    h.options.timestamps = true;
    h.options.ts_val = tcp_now(now);
    h.options.ts_ecr = ts_recent_;
  }
  h.ip_id = ip_id_;
  const std::size_t headers = net::frame_header_bytes(h.options);
  std::span<std::byte> frame = sink.frame(headers + len);
  if (frame.empty()) return false;
  ++ip_id_;
  // Payload: the bytes of the records from `seq`, copied and summed in one pass.
  std::uint64_t sum = 0;
  std::size_t done = 0;
  if (len > 0) {
    std::uint64_t off = off_of(seq);
    auto it = std::upper_bound(records_.begin(), records_.end(), off,
                               [](std::uint64_t o, const Record& r) { return o < r.off; });
    --it;
    while (done < len) {
      const std::size_t in_record = static_cast<std::size_t>(off - it->off);
      const std::size_t n = std::min(len - done, it->bytes.size() - in_record);
      const std::uint64_t piece =
          net::copy_and_sum(frame.data() + headers + done, std::span<const std::byte>(it->bytes).subspan(in_record, n));
      sum += (done & 1) != 0 ? swap16(piece) : piece;
      done += n;
      off += n;
      ++it;
    }
  }
  net::write_tcp_frame(frame, h, sum);
  sink.commit();
  ++counters_.segments_sent;
  ack_now_ = false;
  unacked_segments_ = 0;
  delack_at_.reset();
  rcv_adv_ = rcv_nxt_ + wnd;
  return true;
}

void TcpConnection::output(Nanos now, FrameSink& sink) {
  if (phase_ == TcpPhase::Closed || phase_ == TcpPhase::TimeWait) {
    if (phase_ == TcpPhase::TimeWait && ack_now_) send_segment(now, sink, snd_nxt_, 0, false);
    return;
  }
  const std::size_t maxpay = max_payload();
  for (;;) {
    const std::uint64_t nxt_off = off_of(snd_nxt_);
    const std::uint64_t avail = tail_off_ > nxt_off ? tail_off_ - nxt_off : 0;
    const std::uint32_t win = std::min(snd_wnd_, cwnd_);
    const std::uint32_t in_flight = snd_nxt_ - snd_una_;
    std::uint64_t len = std::min<std::uint64_t>(avail, win > in_flight ? win - in_flight : 0);
    // Cut on record boundaries: whole records while they fit, else a piece of
    // the first one when it alone exceeds a segment.
    if (len > 0 && nxt_off < host_end_off_) {
      // The host's own unacknowledged bytes: the adapter has no copy to send.
      lost_host_bytes_ = true;
      break;
    }
    if (len > 0) {
      auto it = std::upper_bound(records_.begin(), records_.end(), nxt_off,
                                 [](std::uint64_t o, const Record& r) { return o < r.off; });
      --it;
      const std::uint64_t limit = std::min<std::uint64_t>(len, maxpay);
      std::uint64_t take = 0;
      std::uint64_t pos = nxt_off;
      for (; it != records_.end(); ++it) {
        const std::uint64_t end = it->off + it->bytes.size();
        const std::uint64_t piece = end - pos;
        if (take + piece <= limit) {
          take += piece;
          pos = end;
          continue;
        }
        if (take == 0) {
          // A record larger than a segment goes in segment-sized pieces; one
          // that only the window holds back waits for it, unless nothing is
          // in flight to open it.
          if (piece > maxpay || in_flight == 0) take = limit;
        }
        break;
      }
      len = take;
    }
    const bool all_data = nxt_off + len == tail_off_;
    const bool send_fin =
        fin_queued_ && all_data && (!fin_sent_ || seq_lt(snd_nxt_ + static_cast<std::uint32_t>(len), snd_max_));
    if (len == 0 && !send_fin && !ack_now_) break;
    const std::uint32_t seq = snd_nxt_;
    const bool new_data = seq_geq(seq, snd_max_);
    if (!send_segment(now, sink, seq, static_cast<std::size_t>(len), send_fin)) break;
    if (len > 0 && new_data) counters_.bytes_sent += len;
    if (len > 0 && !new_data) ++counters_.retransmits;
    snd_nxt_ += static_cast<std::uint32_t>(len) + (send_fin ? 1 : 0);
    if (send_fin) fin_sent_ = true;
    if (seq_gt(snd_nxt_, snd_max_)) snd_max_ = snd_nxt_;
    if ((len > 0 || send_fin) && !timing_ && new_data) {
      timing_ = true;
      timed_seq_ = seq;
      timed_at_ = now;
    }
    if ((len > 0 || send_fin) && (!rexmt_at_ || persist_)) {
      persist_ = false;
      rexmt_at_ = now + rto_;
    }
    if (len == 0 && !send_fin) break;
  }
  // Zero window with data waiting and nothing in flight: probe on the persist timer.
  const std::uint64_t waiting = tail_off_ > off_of(snd_nxt_) ? tail_off_ - off_of(snd_nxt_) : 0;
  if (waiting > 0 && snd_una_ == snd_max_ && !rexmt_at_) {
    persist_ = true;
    rexmt_at_ = now + std::min(rto_ * (1 << std::min(backoff_, 10u)), tuning_.max_rto);
  }
}

void TcpConnection::retransmit_first(Nanos now, FrameSink& sink) {
  const std::uint32_t saved_nxt = snd_nxt_;
  const std::uint32_t saved_cwnd = cwnd_;
  snd_nxt_ = snd_una_;
  cwnd_ = std::max<std::uint32_t>(snd_wnd_ == 0 ? 1 : mss_, static_cast<std::uint32_t>(max_payload()));
  output(now, sink);
  cwnd_ = saved_cwnd;
  if (seq_gt(saved_nxt, snd_nxt_)) snd_nxt_ = saved_nxt;
}

void TcpConnection::take_rtt_sample(Nanos r) {
  if (r.count() <= 0) r = Nanos{1};
  if (srtt_.count() == 0) {
    srtt_ = r;
    rttvar_ = r / 2;
  } else {
    const Nanos diff = srtt_ > r ? srtt_ - r : r - srtt_;
    rttvar_ = (3 * rttvar_ + diff) / 4;
    srtt_ = (7 * srtt_ + r) / 8;
  }
  rto_ = std::clamp(srtt_ + std::max<Nanos>(Nanos{1ms}, 4 * rttvar_), tuning_.min_rto, tuning_.max_rto);
}

void TcpConnection::on_timer(Nanos now, FrameSink& sink) {
  if (time_wait_at_ && *time_wait_at_ <= now) {
    time_wait_at_.reset();
    close_with(TcpCloseReason::Graceful);
    return;
  }
  if (delack_at_ && *delack_at_ <= now) {
    delack_at_.reset();
    ack_now_ = true;
  }
  if (rexmt_at_ && *rexmt_at_ <= now) {
    rexmt_at_.reset();
    if (persist_) {
      // Window probe: one byte beyond the closed window.
      persist_ = false;
      backoff_ = std::min(backoff_ + 1, 16u);
      const std::uint64_t nxt_off = off_of(snd_nxt_);
      if (snd_wnd_ == 0 && tail_off_ > nxt_off) {
        if (send_segment(now, sink, snd_nxt_, 1, false)) {
          snd_nxt_ += 1;
          if (seq_gt(snd_nxt_, snd_max_)) snd_max_ = snd_nxt_;
          rexmt_at_ = now + std::min(rto_ * (1 << std::min(backoff_, 10u)), tuning_.max_rto);
        }
      }
    } else if (flight() != 0) {
      ++counters_.timeouts;
      if (++backoff_ > tuning_.max_retransmits) {
        close_with(TcpCloseReason::TimedOut);
        return;
      }
      if (una_off_ < host_end_off_) {
        close_with(TcpCloseReason::TimedOut);  // the host's bytes would have to be sent again
        return;
      }
      rto_ = std::min(rto_ * 2, tuning_.max_rto);
      ssthresh_ = std::max<std::uint32_t>(flight() / 2, 2u * mss_);
      cwnd_ = static_cast<std::uint32_t>(max_payload());
      dupacks_ = 0;
      in_recovery_ = false;
      timing_ = false;  // Karn: no sample from a retransmitted segment
      snd_nxt_ = snd_una_;
      output(now, sink);
      if (!rexmt_at_) rexmt_at_ = now + rto_;
      return;
    }
  }
  output(now, sink);
}

void TcpConnection::handle_ack(const net::TcpFrameHeader& h, std::size_t payload_len, Nanos now, FrameSink& sink) {
  const std::uint32_t ack = h.ack;
  if (seq_gt(ack, snd_max_)) {
    ack_now_ = true;  // acknowledges what was never sent
    return;
  }
  const std::uint32_t wnd = static_cast<std::uint32_t>(h.window) << snd_scale_;
  const bool fin = (h.flags & net::kFin) != 0;
  if (seq_lt(ack, snd_una_)) return;  // an old acknowledgement
  if (ack == snd_una_) {
    const bool duplicate = payload_len == 0 && !fin && wnd == snd_wnd_ && flight() != 0;
    if (duplicate) {
      ++dupacks_;
      if (dupacks_ == 3 && !in_recovery_) {
        ++counters_.fast_retransmits;
        ssthresh_ = std::max<std::uint32_t>(flight() / 2, 2u * mss_);
        recover_ = snd_max_;
        in_recovery_ = true;
        timing_ = false;
        retransmit_first(now, sink);
        cwnd_ = ssthresh_ + 3u * mss_;
      } else if (dupacks_ > 3 && in_recovery_) {
        cwnd_ += mss_;
      }
    } else if (payload_len == 0 && !fin) {
      dupacks_ = 0;
    }
  } else {
    const std::uint32_t acked = ack - snd_una_;
    // Round-trip sample: timestamps echo our clock; otherwise the timed segment.
    if (timestamps_ && h.options.timestamps && h.options.ts_ecr != 0) {
      const std::uint32_t echoed = tcp_now(now) - h.options.ts_ecr;
      if (echoed < 600'000) take_rtt_sample(std::chrono::milliseconds(echoed) + Nanos{500us});
    } else if (timing_ && seq_gt(ack, timed_seq_)) {
      take_rtt_sample(now - timed_at_);
    }
    if (timing_ && seq_gt(ack, timed_seq_)) timing_ = false;
    backoff_ = 0;
    // Drop acknowledged bytes (the FIN takes a sequence number but no byte).
    const std::uint64_t data_left = tail_off_ - una_off_;
    una_off_ += std::min<std::uint64_t>(acked, data_left);
    snd_una_ = ack;
    while (!records_.empty() && records_.front().off + records_.front().bytes.size() <= una_off_) {
      // Acknowledged records' buffers serve the next ones (no allocation a record).
      if (spare_.size() < kSpareBuffers) spare_.push_back(std::move(records_.front().bytes));
      records_.pop_front();
    }
    if (in_recovery_) {
      if (seq_geq(ack, recover_)) {
        in_recovery_ = false;
        cwnd_ = std::max<std::uint32_t>(std::min(ssthresh_, flight() + mss_), mss_);
      } else {
        // Partial acknowledgement: the next hole is lost too.
        retransmit_first(now, sink);
        cwnd_ = cwnd_ > acked ? cwnd_ - acked + mss_ : mss_;
      }
    } else if (cwnd_ < ssthresh_) {
      cwnd_ += std::min<std::uint32_t>(acked, mss_);
    } else {
      cwnd_ += std::max<std::uint32_t>(1, static_cast<std::uint32_t>(std::uint64_t{mss_} * mss_ / cwnd_));
    }
    dupacks_ = 0;
    if (seq_lt(snd_nxt_, snd_una_)) snd_nxt_ = snd_una_;
    if (fin_sent_ && ack == snd_max_) {
      // Our FIN is acknowledged.
      if (phase_ == TcpPhase::FinWait1) {
        phase_ = TcpPhase::FinWait2;
      } else if (phase_ == TcpPhase::Closing) {
        enter_time_wait(now);
      } else if (phase_ == TcpPhase::LastAck) {
        if (listener_ != nullptr) listener_->on_acked(snd_una_);
        close_with(TcpCloseReason::Graceful);
        return;
      }
    }
    if (snd_una_ == snd_max_) {
      rexmt_at_.reset();
      persist_ = false;
    } else {
      rexmt_at_ = now + rto_;
      persist_ = false;
    }
    if (listener_ != nullptr) listener_->on_acked(snd_una_);
  }
  // Window update (RFC 793: from a newer segment, or the same one with a newer ack).
  if (seq_lt(snd_wl1_, h.seq) || (snd_wl1_ == h.seq && seq_leq(snd_wl2_, ack))) {
    snd_wnd_ = wnd;
    snd_wl1_ = h.seq;
    snd_wl2_ = ack;
    max_snd_wnd_ = std::max(max_snd_wnd_, wnd);
    if (snd_wnd_ > 0 && persist_) {
      persist_ = false;
      rexmt_at_.reset();
      backoff_ = 0;
    } else if (snd_wnd_ == 0 && flight() != 0 && !fin_sent_) {
      // The window closed on data in flight: pull back and probe instead of
      // retransmitting into a window that takes nothing.
      rexmt_at_.reset();
      backoff_ = 0;
      snd_nxt_ = snd_una_;
      timing_ = false;
      persist_ = true;
      rexmt_at_ = now + rto_;
    }
  }
}

void TcpConnection::deliver(std::span<const std::byte> bytes) {
  counters_.bytes_received += bytes.size();
  std::size_t taken = 0;
  if (held_bytes() == 0 && listener_ != nullptr) taken = listener_->on_data(bytes);
  if (taken < bytes.size()) {
    if (held_begin_ > 0 && held_begin_ == held_.size()) {
      held_.clear();
      held_begin_ = 0;
    }
    held_.insert(held_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(taken), bytes.end());
  }
}

void TcpConnection::deliver_held(Nanos now, FrameSink& sink) {
  if (held_bytes() == 0 || listener_ == nullptr) return;
  const std::uint32_t before = window_to_offer();
  const std::size_t taken = listener_->on_data(std::span<const std::byte>(held_).subspan(held_begin_));
  held_begin_ += taken;
  if (held_begin_ == held_.size()) {
    held_.clear();
    held_begin_ = 0;
  }
  // Tell the peer about a window that opened by a good amount.
  if (window_to_offer() >= before + 2u * mss_ || (before < mss_ && window_to_offer() >= mss_)) ack_now_ = true;
  output(now, sink);
}

void TcpConnection::drain_out_of_order() {
  while (!ooo_.empty()) {
    auto it = ooo_.begin();
    if (it->first > rcv_off_) break;
    const std::uint64_t end = it->first + it->second.size();
    if (end > rcv_off_) {
      const std::size_t skip = static_cast<std::size_t>(rcv_off_ - it->first);
      const std::span<const std::byte> fresh = std::span<const std::byte>(it->second).subspan(skip);
      rcv_nxt_ += static_cast<std::uint32_t>(fresh.size());
      rcv_off_ += fresh.size();
      deliver(fresh);
    }
    ooo_bytes_ -= it->second.size();
    ooo_.erase(it);
  }
}

void TcpConnection::enter_time_wait(Nanos now) {
  phase_ = TcpPhase::TimeWait;
  rexmt_at_.reset();
  time_wait_at_ = now + tuning_.time_wait;
}

void TcpConnection::ack_received_data(bool immediately, Nanos now) {
  const bool asked = ack_requested_;
  ack_requested_ = false;
  if (immediately || asked || ++unacked_segments_ >= 2) {
    ack_now_ = true;
  } else if (!delack_at_) {
    delack_at_ = now + tuning_.delayed_ack;
  }
}

void TcpConnection::on_segment(const net::ParsedTcpFrame& seg, Nanos now, FrameSink& sink) {
  if (phase_ == TcpPhase::Closed) return;
  const net::TcpFrameHeader& h = seg.header;
  ++counters_.segments_received;
  std::uint32_t seq = h.seq;
  std::span<const std::byte> payload = seg.payload;
  bool fin = (h.flags & net::kFin) != 0;
  const std::uint32_t wnd = rcv_adv_ - rcv_nxt_;
  const std::uint32_t seg_len = static_cast<std::uint32_t>(payload.size()) + (fin ? 1 : 0);

  // Acceptability (RFC 793, "segment arrives", first check).
  bool acceptable;
  if (seg_len == 0) {
    acceptable = wnd == 0 ? seq == rcv_nxt_ : seq_leq(rcv_nxt_, seq) && seq_lt(seq, rcv_nxt_ + wnd);
  } else {
    acceptable = wnd != 0 && ((seq_leq(rcv_nxt_, seq) && seq_lt(seq, rcv_nxt_ + wnd)) ||
                              (seq_leq(rcv_nxt_, seq + seg_len - 1) && seq_lt(seq + seg_len - 1, rcv_nxt_ + wnd)));
  }
  if ((h.flags & net::kRst) != 0) {
    // RFC 5961: only a reset at the expected sequence number closes at once;
    // one elsewhere in the window draws a challenge acknowledgement.
    if (seq == rcv_nxt_) {
      close_with(TcpCloseReason::Reset);
    } else if (acceptable) {
      ack_now_ = true;
      output(now, sink);
    }
    return;
  }
  // PAWS (RFC 7323): a segment whose timestamp went backwards is an old duplicate.
  if (timestamps_ && h.options.timestamps && ts_recent_ != 0 && seq_lt(h.options.ts_val, ts_recent_)) {
    ++counters_.dropped;
    ack_now_ = true;
    output(now, sink);
    return;
  }
  if ((h.flags & net::kSyn) != 0 || !acceptable) {
    if (seg_len > 0) ++counters_.duplicates;
    ack_now_ = true;  // challenge / duplicate: tell the peer where we are
    output(now, sink);
    return;
  }
  if ((h.flags & net::kAck) == 0) {
    ++counters_.dropped;
    return;
  }
  // Timestamps: remember the peer's value of the segment that is next in order.
  if (timestamps_ && h.options.timestamps && seq_leq(seq, rcv_nxt_)) ts_recent_ = h.options.ts_val;

  handle_ack(h, payload.size(), now, sink);
  if (phase_ == TcpPhase::Closed) return;

  // Trim what was received before and what lies beyond the window.
  if (seq_lt(seq, rcv_nxt_)) {
    const std::uint32_t dup = rcv_nxt_ - seq;
    if (dup >= payload.size()) {
      if (!payload.empty()) ++counters_.duplicates;
      // A FIN at or before rcv_nxt - 1 was taken already.
      if (fin && seq_lt(seq + static_cast<std::uint32_t>(payload.size()), rcv_nxt_)) fin = false;
      payload = {};
      ack_now_ = true;
    } else {
      payload = payload.subspan(dup);
    }
    seq = rcv_nxt_;
  }
  if (!payload.empty() && seq_gt(seq + static_cast<std::uint32_t>(payload.size()), rcv_nxt_ + wnd)) {
    payload = payload.first(static_cast<std::uint32_t>(rcv_nxt_ + wnd - seq));
    fin = false;
  }
  const bool receiving =
      phase_ == TcpPhase::Established || phase_ == TcpPhase::FinWait1 || phase_ == TcpPhase::FinWait2;
  if (!payload.empty() && receiving) {
    if (seq == rcv_nxt_) {
      const bool filled_hole = !ooo_.empty();
      rcv_nxt_ += static_cast<std::uint32_t>(payload.size());
      rcv_off_ += payload.size();
      deliver(payload);
      drain_out_of_order();
      ack_received_data(filled_hole, now);
    } else {
      // Early: keep it (bounded by the window) and say what we still miss.
      ++counters_.out_of_order;
      const std::uint64_t off = rcv_off_ + (seq - rcv_nxt_);
      auto [it, inserted] = ooo_.try_emplace(off);
      if (inserted || it->second.size() < payload.size()) {
        ooo_bytes_ -= it->second.size();
        it->second.assign(payload.begin(), payload.end());
        ooo_bytes_ += payload.size();
      }
      ack_now_ = true;
    }
  }
  if (fin) {
    const std::uint32_t fin_seq = seq + static_cast<std::uint32_t>(payload.size());
    ooo_fin_ = rcv_off_ + (fin_seq - rcv_nxt_);
    ack_now_ = true;
  }
  if (ooo_fin_ && *ooo_fin_ == rcv_off_ && phase_ != TcpPhase::CloseWait && phase_ != TcpPhase::Closing &&
      phase_ != TcpPhase::LastAck && phase_ != TcpPhase::TimeWait) {
    ooo_fin_.reset();
    rcv_nxt_ += 1;
    rcv_off_ += 1;
    ack_now_ = true;
    if (phase_ == TcpPhase::Established) {
      phase_ = TcpPhase::CloseWait;
      if (listener_ != nullptr) listener_->on_peer_fin();
    } else if (phase_ == TcpPhase::FinWait1) {
      phase_ = TcpPhase::Closing;
      if (listener_ != nullptr) listener_->on_peer_fin();
    } else if (phase_ == TcpPhase::FinWait2) {
      if (listener_ != nullptr) listener_->on_peer_fin();
      enter_time_wait(now);
    }
  } else if (fin && phase_ == TcpPhase::TimeWait) {
    ack_now_ = true;  // a retransmitted FIN: acknowledge again and restart the wait
    time_wait_at_ = now + tuning_.time_wait;
  }
  output(now, sink);
}

}  // namespace zeksim
