#include "sim/iwarp/iwarp_qp.h"

#include <algorithm>
#include <cstring>

#include "include/hw/stag.h"

namespace zeksim {

namespace {

using namespace zekhw;

template <typename T>
T load(const std::byte* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

RdmapOp send_opcode(std::uint32_t op) {
  switch (op) {
    case kWqeSendInvalidate:
      return RdmapOp::SendInvalidate;
    case kWqeSendSolicited:
      return RdmapOp::SendSolicited;
    case kWqeSendSolicitedInvalidate:
      return RdmapOp::SendSolicitedInvalidate;
    default:
      return RdmapOp::Send;
  }
}

// The Terminate a refused tagged access draws (RFC 5041 tagged buffer errors;
// missing rights are an RDMAP protection error, RFC 5040).
struct Refusal {
  TermLayer layer;
  std::uint8_t etype, code;
  std::uint16_t event;
};
Refusal tagged_refusal(StagError e) {
  switch (e) {
    case StagError::PdMismatch:
      return {TermLayer::Ddp, term::kDdpTaggedBuffer, term::kDdpTagStagNotInStream, kAeStagPd};
    case StagError::Access:
      return {TermLayer::Rdmap, term::kRdmapRemoteProtection, term::kAccessRights, kAeAccessRights};
    case StagError::Bounds:
      return {TermLayer::Ddp, term::kDdpTaggedBuffer, term::kDdpTagBaseBounds, kAeBaseBounds};
    default:
      return {TermLayer::Ddp, term::kDdpTaggedBuffer, term::kDdpTagInvalidStag, kAeInvalidStag};
  }
}

}  // namespace

IwarpQp::IwarpQp(IwarpHost& host, const TcpTuning& tuning, const IwarpQpSetup& setup)
    : host_(host), tuning_(tuning), setup_(setup) {
  sq_consumer_ = setup_.sq_size != 0 ? setup_.sq_first % setup_.sq_size : 0;
}

IwarpQp::~IwarpQp() = default;

void IwarpQp::go_rts(const IwarpOffload& offload, Nanos now) {
  now_ = now;
  mpa_ = offload.mpa;
  tcp_ = std::make_unique<TcpConnection>(tuning_, offload.endpoints, offload.tcp, now, this);
  mpa_rx_.emplace(mpa_, offload.tcp.rcv_nxt, offload.tcp.rcv_nxt);
  mpa_tx_.reset();
  stream_dead_ = false;
  close_asked_ = false;
  state_ = kQpRts;
}

void IwarpQp::close(Nanos now, FrameSink& sink) {
  now_ = now;
  sink_ = &sink;
  close_asked_ = true;
  if (tcp_ == nullptr || tcp_->phase() == TcpPhase::Closed) {
    state_ = kQpIdle;
    return;
  }
  state_ = kQpClosing;
  tcp_->close();
  tcp_->output(now, sink);
}

void IwarpQp::to_error(std::uint8_t state, Nanos now, FrameSink& sink) {
  now_ = now;
  sink_ = &sink;
  state_ = state;
  flush(true, true);
  if (tcp_ != nullptr && tcp_->phase() != TcpPhase::Closed && !stream_dead_) {
    stream_dead_ = true;
    tcp_->abort(sink);
  }
  stream_dead_ = true;
}

void IwarpQp::flush(bool sq, bool rq) {
  if (sq) {
    sq_active_ = false;
    sq_.clear();
    outbound_.clear();
    reads_.clear();
    sq_posted_ = 0;
  }
  if (rq) {
    rq_active_ = false;
    inbound_.reset();
    rq_posted_ = 0;
  }
}

void IwarpQp::restart_sq(std::uint64_t pa, std::uint32_t size) {
  setup_.sq_pa = pa;
  setup_.sq_size = size;
  sq_consumer_ = 0;
  sq_posted_ = 0;
}

void IwarpQp::restart_rq(std::uint64_t pa, std::uint32_t size) {
  setup_.rq_pa = pa;
  setup_.rq_size = size;
  rq_consumer_ = 0;
  rq_posted_ = 0;
}

void IwarpQp::sq_doorbell(std::uint32_t count) {
  if (!sq_active_ || setup_.sq_size == 0) return;
  sq_posted_ = std::min(sq_posted_ + count, setup_.sq_size - 1);
}

void IwarpQp::rq_doorbell(std::uint32_t count) {
  if (!rq_active_ || setup_.rq_size == 0) return;
  rq_posted_ = std::min(rq_posted_ + count, setup_.rq_size - 1);
}

std::uint8_t IwarpQp::tcp_state_code() const {
  if (tcp_ == nullptr) return kTcpClosed;
  switch (tcp_->phase()) {
    case TcpPhase::Established:
      return kTcpEstablished;
    case TcpPhase::FinWait1:
      return kTcpFinWait1;
    case TcpPhase::FinWait2:
      return kTcpFinWait2;
    case TcpPhase::CloseWait:
      return kTcpCloseWait;
    case TcpPhase::Closing:
      return kTcpClosing;
    case TcpPhase::LastAck:
      return kTcpLastAck;
    case TcpPhase::TimeWait:
      return kTcpTimeWait;
    case TcpPhase::Closed:
      return kTcpClosed;
  }
  return kTcpClosed;
}

void IwarpQp::raise(std::uint16_t event, std::uint16_t reason, bool inbound, bool sq) {
  IwarpHost::Event e;
  e.id = event;
  e.reason = reason & 0x1FF;
  e.inbound = inbound;
  e.sq = sq;
  e.iwarp_state = state_;
  e.tcp_state = tcp_state_code();
  host_.async_event(setup_.id, setup_.qp_object, e);
}

void IwarpQp::write_q2(std::span<const std::byte> message) {
  if (setup_.q2_pa == 0) return;
  std::byte q2[64] = {};
  std::memcpy(q2, message.data(), std::min(message.size(), sizeof q2));
  host_.dma_write(setup_.q2_pa, q2);
}

// ---------------------------------------------------------------------------
// Outbound.

IwarpQp::SqEntry* IwarpQp::entry(std::uint64_t serial) {
  if (serial < sq_serial_front_ || serial - sq_serial_front_ >= sq_.size()) return nullptr;
  return &sq_[static_cast<std::size_t>(serial - sq_serial_front_)];
}

std::optional<std::vector<IwarpQp::Sge>> IwarpQp::read_sges(const std::byte (&raw)[128], std::uint32_t total,
                                                            std::uint32_t access, std::uint16_t* error) {
  // No count in the request: elements are taken in order until their lengths make the total.
  std::vector<Sge> sges;
  std::uint64_t sum = 0;
  for (unsigned i = 0; i < kMaxSges && sum < total; ++i) {
    const std::byte* p = raw + offsetof(MifhWqe, sge) + i * sizeof(MifhSge);
    Sge s{load<std::uint64_t>(p), load<std::uint32_t>(p + 8), load<std::uint32_t>(p + 12)};
    sum += s.length;
    if (s.length == 0) continue;
    if (host_.stags().check(s.stag, setup_.pd, access, s.address, s.length) != StagError::None) {
      *error = kAeLocalAccess;
      return std::nullopt;
    }
    sges.push_back(s);
  }
  if (sum != total) {
    *error = kAeLocalLength;
    return std::nullopt;
  }
  return sges;
}

bool IwarpQp::gather(const std::vector<Sge>& sges, const std::vector<std::byte>& inline_data, std::size_t offset,
                     std::span<std::byte> dest) {
  if (dest.empty()) return true;
  if (!inline_data.empty() || sges.empty()) {
    if (offset + dest.size() > inline_data.size()) return false;
    std::memcpy(dest.data(), inline_data.data() + offset, dest.size());
    return true;
  }
  bool ok = true;
  std::size_t done = 0;
  for (const Sge& s : sges) {
    if (done == dest.size()) break;
    if (offset >= s.length) {
      offset -= s.length;
      continue;
    }
    const std::size_t n = std::min<std::size_t>(s.length - offset, dest.size() - done);
    host_.stags().for_each_run(s.stag, s.address + offset, n, [&](std::uint64_t pa, std::uint64_t bytes) {
      ok = ok && host_.dma_read(pa, dest.subspan(done, static_cast<std::size_t>(bytes)));
      done += static_cast<std::size_t>(bytes);
    });
    offset = 0;
  }
  return ok && done == dest.size();
}

bool IwarpQp::emit(Outbound& out) {
  if (tcp_ == nullptr) return false;
  if (out.raw) {
    Bytes bytes(out.length);
    if (out.length > tcp_->send_space()) return false;
    if (!gather(out.sges, out.inline_data, 0, bytes)) return false;
    tcp_->append(std::move(bytes));
    out.sent = out.length;
  }
  if (!out.raw && !mpa_tx_) mpa_tx_.emplace(mpa_, tcp_->send_tail());
  const std::uint32_t emss = static_cast<std::uint32_t>(tcp_->max_payload());
  const std::uint32_t room = mpa_max_ulpdu(emss, mpa_.send_markers) - static_cast<std::uint32_t>(out.header.bytes());
  while (!out.raw && (out.sent < out.length || (out.length == 0 && out.sent == 0 && !out.header.last))) {
    const std::uint32_t chunk = std::min(out.length - out.sent, room);
    if (tcp_->send_space() < emss) return false;
    DdpHeader h = out.header;
    h.last = out.sent + chunk == out.length;
    if (h.tagged) {
      h.to = out.header.to + out.sent;
    } else {
      h.mo = out.header.mo + out.sent;
    }
    std::byte hdr[kDdpUntaggedHeaderBytes + kReadRequestBytes];
    std::size_t hdr_bytes = encode_ddp(h, hdr);
    std::size_t payload = chunk;
    Bytes fpdu;
    if (!out.inline_data.empty() && out.sges.empty() && h.op == RdmapOp::ReadRequest) {
      std::memcpy(hdr + hdr_bytes, out.inline_data.data(), out.inline_data.size());
      hdr_bytes += out.inline_data.size();
      payload = 0;
    }
    const std::uint32_t at = out.sent;
    fpdu = mpa_tx_->build(
        tcp_->send_tail(), std::span<const std::byte>(hdr, hdr_bytes), payload,
        [&](std::span<std::byte> dest, std::size_t off) { return gather(out.sges, out.inline_data, at + off, dest); },
        tcp_->spare_buffer());
    if (fpdu.empty()) {
      local_error(kAeQpCatastrophic);
      return false;
    }
    tcp_->append(std::move(fpdu));
    ++counters_.fpdus_sent;
    out.sent += chunk;
    // A long message leaves while it is built: each FPDU goes as soon as
    // TCP's windows allow, not after the whole message.
    if (sink_ != nullptr && out.sent < out.length) tcp_->output(now_, *sink_);
    if (h.last) {
      out.header.last = true;  // a zero-length message is one FPDU
      break;
    }
  }
  if (out.sq_serial) {
    if (SqEntry* e = entry(*out.sq_serial)) {
      if (!e->read) {
        e->end_seq = tcp_->send_tail();
        e->wait_ack = true;
        // Already acknowledged? (Nothing can be: the bytes were just queued.)
      }
    }
  }
  return true;
}

void IwarpQp::start_read_response() {
  const ReadRequest r = responses_.front().request;
  responses_.pop_front();
  Outbound out;
  out.header.tagged = true;
  out.header.op = RdmapOp::ReadResponse;
  out.header.stag = r.sink_stag;
  out.header.to = r.sink_to;
  out.header.last = false;
  out.sges.push_back(Sge{r.source_to, r.size, r.source_stag});
  out.length = r.size;
  outbound_.push_back(std::move(out));
  ++counters_.read_responses;
}

bool IwarpQp::take_sq_wqe() {
  std::byte raw[128];
  const std::uint64_t pa = setup_.sq_pa + std::uint64_t{128} * sq_consumer_;
  if (!host_.dma_read(pa, raw)) {
    local_error(kAeQpCatastrophic);
    return false;
  }
  const std::uint32_t op_word = load<std::uint32_t>(raw);
  const std::uint32_t op = op_word & kWqeOpMask;
  // Reads wait while ORD reads are out; a fenced request waits for all reads.
  const bool is_read = op_word != kWqeStreamMessageOp && op == kWqeRdmaRead;
  if ((is_read && reads_.size() >= std::max<std::uint32_t>(setup_.ord, 1)) ||
      ((op_word & kWqeFence) != 0 && !reads_.empty() && op_word != kWqeStreamMessageOp)) {
    sq_stalled_ = true;
    return false;
  }
  sq_stalled_ = false;
  const std::uint32_t index = sq_consumer_;
  sq_consumer_ = (sq_consumer_ + 1) % setup_.sq_size;
  --sq_posted_;
  return start_message(index, raw);
}

bool IwarpQp::start_message(std::uint32_t index, const std::byte (&raw)[128]) {
  const std::uint32_t op_word = load<std::uint32_t>(raw);
  const std::uint32_t total = load<std::uint32_t>(raw + 4);
  SqEntry e;
  e.index = index;
  e.tag = load<std::uint64_t>(raw + 8);
  e.signalled = (op_word & kWqeSignalled) != 0;
  e.op = op_word == kWqeStreamMessageOp ? op_word : op_word & kWqeOpMask;
  sq_.push_back(e);
  const std::uint64_t serial = sq_serial_front_ + sq_.size() - 1;
  std::uint16_t error = 0;
  StagTable& stags = host_.stags();

  if (op_word == kWqeStreamMessageOp) {
    // Raw bytes before RDMA mode; refused once FPDUs have started.
    auto sges = mpa_tx_ ? std::nullopt : read_sges(raw, total, kAccessLocalRead, &error);
    if (!sges) {
      local_error(error != 0 ? error : kAeBadWqe);
      return false;
    }
    Outbound out;
    out.raw = true;
    out.sges = std::move(*sges);
    out.length = total;
    out.sq_serial = serial;
    outbound_.push_back(std::move(out));
    return true;
  }
  const bool inline_data = (op_word & kWqeInline) != 0;
  const std::uint32_t op = op_word & kWqeOpMask;
  switch (op) {
    case kWqeSend:
    case kWqeSendInvalidate:
    case kWqeSendSolicited:
    case kWqeSendSolicitedInvalidate:
    case kWqeRdmaWrite: {
      Outbound out;
      out.length = total;
      out.sq_serial = serial;
      sq_.back().bytes = total;
      if (total > kMaxMessageBytes) {
        local_error(kAeLocalLength);
        return false;
      }
      if (inline_data) {
        if (total > kMaxInlineBytes) {
          local_error(kAeLocalLength);
          return false;
        }
        out.inline_data.assign(raw + kWqeInlineOffset, raw + kWqeInlineOffset + total);
      } else {
        auto sges = read_sges(raw, total, kAccessLocalRead, &error);
        if (!sges) {
          local_error(error);
          return false;
        }
        out.sges = std::move(*sges);
      }
      out.header.last = false;
      if (op == kWqeRdmaWrite) {
        out.header.tagged = true;
        out.header.op = RdmapOp::RdmaWrite;
        out.header.stag = load<std::uint32_t>(raw + offsetof(MifhWqe, remote_stag));
        out.header.to = load<std::uint64_t>(raw + offsetof(MifhWqe, remote_va));
        ++counters_.writes;
      } else {
        out.header.op = send_opcode(op);
        out.header.qn = kQueueSend;
        out.header.msn = send_msn_++;
        if (op == kWqeSendInvalidate || op == kWqeSendSolicitedInvalidate) {
          out.header.invalidate_stag = load<std::uint32_t>(raw + offsetof(MifhWqe, invalidate_stag));
        }
        ++counters_.sends;
      }
      outbound_.push_back(std::move(out));
      return true;
    }
    case kWqeRdmaRead: {
      const std::uint32_t length = load<std::uint32_t>(raw + offsetof(MifhWqe, length));
      const std::byte* sge = raw + offsetof(MifhWqe, sge);
      const std::uint64_t sink_to = load<std::uint64_t>(sge);
      const std::uint32_t sink_stag = load<std::uint32_t>(sge + 12);
      if (length > kMaxMessageBytes) {
        local_error(kAeLocalLength);
        return false;
      }
      if (stags.check(sink_stag, setup_.pd, kAccessLocalWrite, sink_to, length) != StagError::None) {
        local_error(kAeLocalAccess);
        return false;
      }
      SqEntry& se = sq_.back();
      se.read = true;
      se.bytes = length;
      se.invalidate_local = load<std::uint32_t>(raw + offsetof(MifhWqe, invalidate_stag));
      ReadRequest r;
      r.sink_stag = sink_stag;
      r.sink_to = sink_to;
      r.size = length;
      r.source_stag = load<std::uint32_t>(raw + offsetof(MifhWqe, remote_stag));
      r.source_to = load<std::uint64_t>(raw + offsetof(MifhWqe, remote_va));
      reads_.push_back(PendingRead{serial, sink_stag, sink_to, length, 0});
      Outbound out;
      out.header.op = RdmapOp::ReadRequest;
      out.header.qn = kQueueReadRequest;
      out.header.msn = read_msn_++;
      out.header.last = false;
      out.inline_data.resize(kReadRequestBytes);
      encode_read_request(r, out.inline_data.data());
      out.length = 0;
      out.sq_serial = serial;
      outbound_.push_back(std::move(out));
      ++counters_.reads;
      return true;
    }
    case kWqeBind: {
      MifhBindWqe b;
      std::memcpy(&b, raw, sizeof b);
      if (stags.bind(b.window_stag, b.region_stag, setup_.pd, b.va, b.length, b.access) != StagError::None) {
        local_error(kAeBindError);
        return false;
      }
      sq_.back().done = true;
      retire();
      return true;
    }
    case kWqeFastRegister: {
      MifhFastRegWqe w;
      std::memcpy(&w, raw, sizeof w);
      const std::uint32_t index_of = stag_index(w.stag);
      MemoryEntry* existing = stags.find(index_of);
      const std::uint32_t pages = w.pbl_bytes / 8;
      MemoryEntry m;
      m.pd = setup_.pd;
      m.key = stag_key(w.stag);
      m.access = (op_word >> kWqeFastRegAccessShift) & kAccessMask;
      m.zero_based = (op_word & kWqeFastRegNotZeroBased) == 0;
      m.page_bytes = (op_word & kWqeFastRegNot4K) != 0 ? kLargePageBytes : 4096;
      m.length = w.total_length;
      m.va = m.zero_based ? 0 : w.va_or_fbo;
      m.fbo = m.zero_based ? w.va_or_fbo : w.va_or_fbo % m.page_bytes;
      m.pages.resize(pages);
      const bool fits = existing != nullptr && !existing->window && !existing->valid && existing->pd == setup_.pd &&
                        (existing->max_pages == 0 || pages <= existing->max_pages) &&
                        m.fbo + m.length <= std::uint64_t{pages} * m.page_bytes;
      if (!fits || (pages > 0 && !host_.dma_read(w.pbl_pa, std::as_writable_bytes(std::span(m.pages)))) ||
          !stags.register_region(index_of, std::move(m))) {
        local_error(kAeFastRegisterError);
        return false;
      }
      sq_.back().done = true;
      retire();
      return true;
    }
    case kWqeLocalInvalidate: {
      if (stags.invalidate(load<std::uint32_t>(raw + kWqeLocalInvalidateStagOffset), setup_.pd) != StagError::None) {
        local_error(kAeLocalAccess);
        return false;
      }
      sq_.back().done = true;
      retire();
      return true;
    }
    default:
      local_error(kAeBadWqe);
      return false;
  }
}

void IwarpQp::retire() {
  while (!sq_.empty() && sq_.front().done) {
    const SqEntry& e = sq_.front();
    if ((e.signalled || e.error) && sq_active_) {
      MifhCqe c{};
      c.tag = e.tag;
      c.flags = kCqeValid | kCqeSendQueue | (e.error ? kCqeError : 0u);
      host_.complete(setup_.sq_cq, c, e.error);
      ++counters_.completions;
      if (e.error) ++counters_.error_completions;
    }
    const bool error = e.error;
    sq_.pop_front();
    ++sq_serial_front_;
    if (error) {
      flush(true, false);
      break;
    }
  }
}

void IwarpQp::local_error(std::uint16_t event) {
  // The oldest open request takes the error: those before it completed.
  retire();
  if (!sq_.empty()) {
    sq_.front().done = true;
    sq_.front().error = true;
    retire();
  }
  flush(true, false);
  terminate(TermLayer::Rdmap, term::kRdmapLocalCatastrophic, 0, event, false);
}

void IwarpQp::on_acked(std::uint32_t snd_una) {
  for (SqEntry& e : sq_) {
    if (e.wait_ack && !e.done && seq_leq(e.end_seq, snd_una)) e.done = true;
  }
  retire();
}

// ---------------------------------------------------------------------------
// Inbound.

std::size_t IwarpQp::on_data(std::span<const std::byte> bytes) {
  if (stream_dead_ || !mpa_rx_) return bytes.size();  // nothing is read after a Terminate
  const MpaError e = mpa_rx_->feed(bytes, [&](std::span<const std::byte> ulpdu) { on_ulpdu(ulpdu); });
  if (e == MpaError::Crc) terminate(TermLayer::Llp, 0, term::kMpaCrc, kAeMpaCrc, true);
  if (e == MpaError::Marker) terminate(TermLayer::Llp, 0, term::kMpaMarker, kAeMpaMarker, true);
  return bytes.size();
}

void IwarpQp::on_ulpdu(std::span<const std::byte> ulpdu) {
  if (stream_dead_) return;
  ++counters_.fpdus_received;
  DdpHeader h;
  std::span<const std::byte> payload;
  switch (decode_ddp(ulpdu, &h, &payload)) {
    case DdpDecode::Ok:
      break;
    case DdpDecode::Short:
      return terminate(TermLayer::Llp, 0, term::kMpaBadFrame, kAeMpaLength, true);
    case DdpDecode::BadDdpVersion:
      return terminate(TermLayer::Ddp, h.tagged ? term::kDdpTaggedBuffer : term::kDdpUntaggedBuffer,
                       h.tagged ? term::kDdpTagBadVersion : term::kDdpUntagBadVersion, kAeBadVersion, true, ulpdu);
    case DdpDecode::BadRdmapVersion:
      return terminate(TermLayer::Rdmap, term::kRdmapRemoteOperation, term::kInvalidRdmapVersion, kAeBadVersion, true,
                       ulpdu);
    case DdpDecode::BadOpcode:
      return terminate(TermLayer::Rdmap, term::kRdmapRemoteOperation, term::kUnexpectedOpcode, kAeUnexpectedOpcode,
                       true, ulpdu);
  }
  // The peer's work request completes when this message is acknowledged:
  // its last segment is acknowledged at once, not after the delayed-ACK time.
  if (h.last && tcp_ != nullptr) tcp_->acknowledge_soon();
  if (h.tagged) return on_tagged(h, payload, ulpdu);
  switch (h.qn) {
    case kQueueSend:
      return on_send(h, payload, ulpdu);
    case kQueueReadRequest:
      return on_read_request(h, payload, ulpdu);
    case kQueueTerminate:
      return on_terminate(payload, ulpdu);
    default:
      return terminate(TermLayer::Ddp, term::kDdpUntaggedBuffer, term::kDdpUntagInvalidQn, kAeInvalidQn, true, ulpdu);
  }
}

bool IwarpQp::place(std::uint32_t stag, std::uint64_t to, std::span<const std::byte> bytes) {
  bool ok = true;
  std::size_t done = 0;
  host_.stags().for_each_run(stag, to, bytes.size(), [&](std::uint64_t pa, std::uint64_t n) {
    ok = ok && host_.dma_write(pa, bytes.subspan(done, static_cast<std::size_t>(n)));
    done += static_cast<std::size_t>(n);
  });
  counters_.bytes_placed += done;
  return ok && done == bytes.size();
}

bool IwarpQp::place_sges(const std::vector<Sge>& sges, std::uint32_t offset, std::span<const std::byte> bytes) {
  std::size_t done = 0;
  for (const Sge& s : sges) {
    if (done == bytes.size()) break;
    if (offset >= s.length) {
      offset -= s.length;
      continue;
    }
    const std::size_t n = std::min<std::size_t>(s.length - offset, bytes.size() - done);
    if (!place(s.stag, s.address + offset, bytes.subspan(done, n))) return false;
    done += n;
    offset = 0;
  }
  return done == bytes.size();
}

void IwarpQp::on_tagged(const DdpHeader& h, std::span<const std::byte> payload, std::span<const std::byte> ulpdu) {
  const std::span<const std::byte> header = ulpdu.first(kDdpTaggedHeaderBytes);
  if (h.op == RdmapOp::RdmaWrite) {
    const StagError e = host_.stags().check(h.stag, setup_.pd, kAccessRemoteWrite, h.to, payload.size());
    if (e != StagError::None) {
      const Refusal r = tagged_refusal(e);
      return terminate(r.layer, r.etype, r.code, r.event, true, ulpdu);
    }
    if (!place(h.stag, h.to, payload))
      return terminate(TermLayer::Rdmap, term::kRdmapLocalCatastrophic, 0, kAeQpCatastrophic, true, header);
    return;
  }
  if (h.op != RdmapOp::ReadResponse) {
    return terminate(TermLayer::Rdmap, term::kRdmapRemoteOperation, term::kUnexpectedOpcode, kAeUnexpectedOpcode, true,
                     ulpdu);
  }
  if (reads_.empty()) {
    return terminate(TermLayer::Rdmap, term::kRdmapRemoteOperation, term::kUnexpectedOpcode, kAeUnexpectedReadResponse,
                     true, ulpdu);
  }
  PendingRead& r = reads_.front();
  if (h.stag != r.sink_stag || h.to != r.sink_to + r.placed || payload.size() > r.size - r.placed) {
    return terminate(TermLayer::Ddp, term::kDdpTaggedBuffer, term::kDdpTagBaseBounds, kAeBaseBounds, true, ulpdu);
  }
  const StagError e = host_.stags().check(h.stag, setup_.pd, kAccessLocalWrite, h.to, payload.size());
  if (e != StagError::None) {
    const Refusal rf = tagged_refusal(e);
    return terminate(rf.layer, rf.etype, rf.code, rf.event, true, ulpdu);
  }
  if (!place(h.stag, h.to, payload))
    return terminate(TermLayer::Rdmap, term::kRdmapLocalCatastrophic, 0, kAeQpCatastrophic, true, header);
  r.placed += static_cast<std::uint32_t>(payload.size());
  if (!h.last) return;
  if (r.placed != r.size) {
    return terminate(TermLayer::Ddp, term::kDdpTaggedBuffer, term::kDdpTagBaseBounds, kAeBaseBounds, true, ulpdu);
  }
  if (SqEntry* se = entry(r.sq_serial)) {
    se->done = true;
    if (se->invalidate_local != 0) host_.stags().invalidate(se->invalidate_local, setup_.pd);
  }
  reads_.pop_front();
  sq_stalled_ = false;
  retire();
}

void IwarpQp::on_send(const DdpHeader& h, std::span<const std::byte> payload, std::span<const std::byte> ulpdu) {
  if (h.op != RdmapOp::Send && h.op != RdmapOp::SendInvalidate && h.op != RdmapOp::SendSolicited &&
      h.op != RdmapOp::SendSolicitedInvalidate) {
    return terminate(TermLayer::Rdmap, term::kRdmapRemoteOperation, term::kUnexpectedOpcode, kAeUnexpectedOpcode, true,
                     ulpdu);
  }
  if (h.msn != expect_send_msn_) {
    return terminate(TermLayer::Ddp, term::kDdpUntaggedBuffer, term::kDdpUntagMsnRange, kAeInvalidMsn, true, ulpdu);
  }
  auto rq_error = [&](std::uint32_t bytes) {
    if (!inbound_ || !rq_active_) return;
    MifhCqe c{};
    c.bytes_received = bytes;
    c.tag = inbound_->tag;
    c.flags = kCqeValid | kCqeError;
    host_.complete(setup_.rq_cq, c, true);
    ++counters_.error_completions;
    inbound_.reset();
    rq_active_ = false;
  };
  if (!inbound_) {
    if (h.mo != 0) {
      return terminate(TermLayer::Ddp, term::kDdpUntaggedBuffer, term::kDdpUntagInvalidMo, kAeInvalidMo, true, ulpdu);
    }
    if (!rq_active_ || rq_posted_ == 0) {
      return terminate(TermLayer::Ddp, term::kDdpUntaggedBuffer, term::kDdpUntagNoBuffer, kAeNoReceiveBuffer, true,
                       ulpdu);
    }
    std::byte raw[128];
    if (!host_.dma_read(setup_.rq_pa + std::uint64_t{128} * rq_consumer_, raw)) {
      return terminate(TermLayer::Rdmap, term::kRdmapLocalCatastrophic, 0, kAeQpCatastrophic, false);
    }
    InboundSend in;
    in.rq_index = rq_consumer_;
    in.tag = load<std::uint64_t>(raw + offsetof(MifhRqWqe, tag));
    const std::uint32_t total = load<std::uint32_t>(raw + offsetof(MifhRqWqe, total_length));
    std::uint64_t sum = 0;
    for (unsigned i = 0; i < kMaxSges && sum < total; ++i) {
      const std::byte* p = raw + offsetof(MifhRqWqe, sge) + i * sizeof(MifhSge);
      Sge s{load<std::uint64_t>(p), load<std::uint32_t>(p + 8), load<std::uint32_t>(p + 12)};
      sum += s.length;
      if (s.length == 0) continue;
      if (host_.stags().check(s.stag, setup_.pd, kAccessLocalWrite, s.address, s.length) != StagError::None) {
        sum = ~0ull;
        break;
      }
      in.sges.push_back(s);
    }
    rq_consumer_ = (rq_consumer_ + 1) % setup_.rq_size;
    --rq_posted_;
    in.capacity = total;
    inbound_ = std::move(in);
    if (sum != total) {
      rq_error(0);
      return terminate(TermLayer::Rdmap, term::kRdmapLocalCatastrophic, 0, kAeLocalAccess, false);
    }
  } else if (h.mo != inbound_->placed) {
    return terminate(TermLayer::Ddp, term::kDdpUntaggedBuffer, term::kDdpUntagInvalidMo, kAeInvalidMo, true, ulpdu);
  }
  InboundSend& in = *inbound_;
  if (payload.size() > in.capacity - in.placed) {
    rq_error(in.placed);
    return terminate(TermLayer::Ddp, term::kDdpUntaggedBuffer, term::kDdpUntagTooLong, kAeMessageTooLong, true, ulpdu);
  }
  if (!place_sges(in.sges, in.placed, payload)) {
    rq_error(in.placed);
    return terminate(TermLayer::Rdmap, term::kRdmapLocalCatastrophic, 0, kAeQpCatastrophic, false);
  }
  in.placed += static_cast<std::uint32_t>(payload.size());
  if (!h.last) return;
  ++expect_send_msn_;
  MifhCqe c{};
  c.bytes_received = in.placed;
  c.tag = in.tag;
  c.flags = kCqeValid;
  if (h.op == RdmapOp::SendInvalidate || h.op == RdmapOp::SendSolicitedInvalidate) {
    // The STag the peer invalidated comes back as the immediate data. Read
    // Responses asked for before this Send still read through it.
    const MemoryEntry* target = host_.stags().find(stag_index(h.invalidate_stag));
    const bool can = target != nullptr && target->valid && target->key == stag_key(h.invalidate_stag) &&
                     target->pd == setup_.pd && (target->window || target->bound_windows == 0);
    if (can && responses_queued_ > responses_sent_) {
      deferred_invalidates_.push_back({responses_queued_, h.invalidate_stag});
    } else if (!can || host_.stags().invalidate(h.invalidate_stag, setup_.pd) != StagError::None) {
      rq_error(in.placed);
      return terminate(TermLayer::Rdmap, term::kRdmapRemoteOperation, term::kCannotInvalidate, kAeCannotInvalidate,
                       true, ulpdu);
    }
    c.immediate = h.invalidate_stag;
    c.flags |= kCqeImmediate;
  }
  const bool solicited = h.op == RdmapOp::SendSolicited || h.op == RdmapOp::SendSolicitedInvalidate;
  if (rq_active_) {
    host_.complete(setup_.rq_cq, c, solicited);
    ++counters_.completions;
  }
  ++counters_.receives;
  inbound_.reset();
}

void IwarpQp::on_read_request(const DdpHeader& h, std::span<const std::byte> payload,
                              std::span<const std::byte> ulpdu) {
  if (h.op != RdmapOp::ReadRequest) {
    return terminate(TermLayer::Rdmap, term::kRdmapRemoteOperation, term::kUnexpectedOpcode, kAeUnexpectedOpcode, true,
                     ulpdu);
  }
  if (h.msn != expect_read_msn_) {
    return terminate(TermLayer::Ddp, term::kDdpUntaggedBuffer, term::kDdpUntagMsnRange, kAeInvalidMsn, true, ulpdu);
  }
  const auto r = decode_read_request(payload);
  if (!r || h.mo != 0 || !h.last) {
    return terminate(TermLayer::Ddp, term::kDdpUntaggedBuffer, term::kDdpUntagInvalidMo, kAeInvalidMo, true, ulpdu);
  }
  // More reads outstanding than the IRD: the read-request queue's MSN range is exceeded.
  if (responses_open_ >= std::max<std::uint32_t>(setup_.ird, 1)) {
    return terminate(TermLayer::Ddp, term::kDdpUntaggedBuffer, term::kDdpUntagMsnRange, kAeIrdExceeded, true, ulpdu);
  }
  const StagError e = r->size > kMaxMessageBytes
                          ? StagError::Bounds
                          : host_.stags().check(r->source_stag, setup_.pd, kAccessRemoteRead, r->source_to, r->size);
  if (e != StagError::None) {
    const Refusal rf = tagged_refusal(e);
    return terminate(rf.layer, rf.etype, rf.code, rf.event, true, ulpdu);
  }
  ++expect_read_msn_;
  ++responses_open_;
  ++responses_queued_;
  responses_.push_back(ReadResponseJob{*r});
}

void IwarpQp::on_terminate(std::span<const std::byte> payload, std::span<const std::byte> ulpdu) {
  ++counters_.terminates_received;
  const auto t = decode_terminate(payload);
  write_q2(ulpdu);
  stream_dead_ = true;
  state_ = kQpTerminate;
  flush(true, false);
  raise(kAeTerminateReceived, static_cast<std::uint16_t>((t ? t->code : 0) | 0x100), true, false);
  if (tcp_ != nullptr) tcp_->close();
}

void IwarpQp::terminate(TermLayer layer, std::uint8_t etype, std::uint8_t code, std::uint16_t event, bool inbound,
                        std::span<const std::byte> offending) {
  if (stream_dead_) return;
  // The Terminate carries the offending segment's DDP header (and a Read
  // Request's body) when there is one.
  TerminateInfo info{.layer = layer, .etype = etype, .code = code};
  if (!offending.empty()) {
    const bool tagged = (std::to_integer<unsigned>(offending[0]) & 0x80) != 0;
    const std::size_t hdr = tagged ? kDdpTaggedHeaderBytes : kDdpUntaggedHeaderBytes;
    if (offending.size() >= hdr) {
      info.ddp_length = static_cast<std::uint16_t>(offending.size());
      info.ddp_header = offending.first(hdr);
      const bool read_request =
          !tagged && (std::to_integer<unsigned>(offending[1]) & 0xF) == static_cast<unsigned>(RdmapOp::ReadRequest);
      if (read_request && offending.size() >= hdr + kReadRequestBytes) {
        info.rdmap_header = offending.subspan(hdr, kReadRequestBytes);
      }
    }
  }
  DdpHeader h;
  h.op = RdmapOp::Terminate;
  h.qn = kQueueTerminate;
  h.msn = term_msn_++;
  h.mo = 0;
  h.last = true;
  std::vector<std::byte> message(h.bytes() + terminate_body_bytes(info));
  encode_ddp(h, message.data());
  encode_terminate(info, message.data() + h.bytes());
  write_q2(message);
  stream_dead_ = true;
  state_ = kQpTerminate;
  flush(true, false);
  if (tcp_ != nullptr && mpa_rx_) {
    if (!mpa_tx_) mpa_tx_.emplace(mpa_, tcp_->send_tail());
    Bytes fpdu = mpa_tx_->build(tcp_->send_tail(), message, 0, nullptr);
    if (tcp_->append(std::move(fpdu))) ++counters_.terminates_sent;
    tcp_->close();
  }
  raise(event, code, inbound, !inbound);
}

void IwarpQp::on_peer_fin() {
  if (state_ == kQpRts && !stream_dead_) raise(kAePeerClosed, 0, false, false);
}

void IwarpQp::on_closed(TcpCloseReason reason) {
  const bool was_dead = stream_dead_;
  stream_dead_ = true;
  switch (reason) {
    case TcpCloseReason::Graceful:
      if (close_asked_) {
        state_ = kQpIdle;
        raise(kAeClosed, 0, false, false);
      }
      break;
    case TcpCloseReason::Reset:
      if (!was_dead || state_ == kQpTerminate) raise(kAePeerReset, 0, false, false);
      break;
    case TcpCloseReason::TimedOut:
      raise(kAeConnectionTimeout, 0, false, false);
      break;
    case TcpCloseReason::Aborted:
      break;
  }
}

// ---------------------------------------------------------------------------
// Driving.

void IwarpQp::on_segment(const net::ParsedTcpFrame& segment, Nanos now, FrameSink& sink) {
  now_ = now;
  sink_ = &sink;
  if (tcp_ == nullptr) return;
  tcp_->on_segment(segment, now, sink);
}

void IwarpQp::on_timer(Nanos now, FrameSink& sink) {
  now_ = now;
  sink_ = &sink;
  if (tcp_ != nullptr) tcp_->on_timer(now, sink);
}

std::optional<Nanos> IwarpQp::next_deadline() const { return tcp_ != nullptr ? tcp_->next_deadline() : std::nullopt; }

bool IwarpQp::has_work() const {
  if (tcp_ == nullptr || tcp_->phase() == TcpPhase::Closed) return false;
  if (!outbound_.empty()) return tcp_->send_space() >= tcp_->max_payload();
  if (stream_dead_ || state_ != kQpRts) return false;
  return !responses_.empty() || (sq_active_ && sq_posted_ > 0 && !sq_stalled_);
}

bool IwarpQp::run(Nanos now, FrameSink& sink, unsigned budget) {
  now_ = now;
  sink_ = &sink;
  if (tcp_ == nullptr) return false;
  for (unsigned done = 0; done < budget; ++done) {
    if (!outbound_.empty()) {
      if (!emit(outbound_.front())) break;
      if (!outbound_.empty()) {
        if (!outbound_.front().sq_serial && outbound_.front().header.op == RdmapOp::ReadResponse) {
          responses_open_ -= responses_open_ > 0;
          ++responses_sent_;
          while (!deferred_invalidates_.empty() && deferred_invalidates_.front().after <= responses_sent_) {
            host_.stags().invalidate(deferred_invalidates_.front().stag, setup_.pd);
            deferred_invalidates_.pop_front();
          }
        }
        outbound_.pop_front();
      }
      continue;
    }
    if (stream_dead_ || state_ != kQpRts || tcp_->phase() == TcpPhase::Closed) break;
    // Read responses go before new requests of our own.
    if (!responses_.empty()) {
      start_read_response();
      continue;
    }
    if (!sq_active_ || sq_posted_ == 0 || !take_sq_wqe()) break;
  }
  tcp_->output(now, sink);
  return has_work();
}

}  // namespace zeksim
