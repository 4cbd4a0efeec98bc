#include "sim/nic_engine.h"

#include <algorithm>
#include <cstring>

#include "include/hw/nic.h"

namespace zeksim {

using namespace zekhw;

namespace {

// Frame-flag bits of the checksum status (word 2 of a NIC completion): the
// frame was checked, its layer-4 protocol (1 TCP, 2 UDP) and a fragment.
constexpr std::uint32_t kChecked = 1u << 4;
constexpr unsigned kProtocolShift = 8;
constexpr std::uint32_t kFragmentFlag = 1u << 12;
// Checksum error bits of the completion's error byte: IP header, TCP/UDP.
constexpr std::uint32_t kIpChecksumError = 1u << 1;
constexpr std::uint32_t kL4ChecksumError = 1u << 2;

std::uint32_t sum16(std::span<const std::byte> bytes, std::uint32_t sum = 0) {
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    sum += std::to_integer<std::uint32_t>(bytes[i]) << 8 | std::to_integer<std::uint32_t>(bytes[i + 1]);
  }
  if (bytes.size() % 2 != 0) sum += std::to_integer<std::uint32_t>(bytes.back()) << 8;
  return sum;
}
std::uint16_t fold(std::uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum & 0xFFFF);
}
std::uint8_t byte_at(std::span<const std::byte> f, std::size_t i) { return std::to_integer<std::uint8_t>(f[i]); }

// An untagged IPv4 frame's headers: false when it is not one.
struct Ipv4 {
  std::size_t ip = 14, ip_length = 0, total = 0;
  std::uint8_t protocol = 0;
  bool fragment = false;
};
bool parse_ipv4(std::span<const std::byte> f, Ipv4* out) {
  if (f.size() < 34 || byte_at(f, 12) != 0x08 || byte_at(f, 13) != 0x00 || (byte_at(f, 14) >> 4) != 4) return false;
  out->ip_length = (byte_at(f, 14) & 0xF) * 4u;
  out->total = std::size_t{byte_at(f, 16)} << 8 | byte_at(f, 17);
  if (out->ip_length < 20 || out->total < out->ip_length || 14 + out->total > f.size()) return false;
  out->protocol = byte_at(f, 23);
  out->fragment = ((byte_at(f, 20) & 0x3F) | byte_at(f, 21)) != 0;  // more fragments, or an offset
  return true;
}
// The TCP or UDP checksum over the pseudo-header and the segment, with the
// checksum field as it is.
std::uint32_t l4_sum(std::span<const std::byte> f, const Ipv4& h) {
  const std::size_t l4 = 14 + h.ip_length;
  const std::size_t length = h.total - h.ip_length;
  std::uint32_t sum = sum16(f.subspan(26, 8));  // source and destination addresses
  sum += h.protocol + static_cast<std::uint32_t>(length);
  return sum16(f.subspan(l4, length), sum);
}
std::size_t l4_checksum_offset(const Ipv4& h) { return 14 + h.ip_length + (h.protocol == 6 ? 16 : 6); }
bool l4_checked(const Ipv4& h) {
  const std::size_t l4_length = h.total - h.ip_length;
  return !h.fragment && ((h.protocol == 6 && l4_length >= 20) || (h.protocol == 17 && l4_length >= 8));
}

}  // namespace

void NicEngine::insert_checksums(std::vector<std::byte>& f) {
  Ipv4 h;
  if (!parse_ipv4(f, &h)) return;
  f[24] = f[25] = std::byte{0};
  const std::uint16_t ip = fold(sum16(std::span<const std::byte>(f).subspan(14, h.ip_length)));
  f[24] = static_cast<std::byte>(ip >> 8);
  f[25] = static_cast<std::byte>(ip & 0xFF);
  if (!l4_checked(h)) return;
  const std::size_t at = l4_checksum_offset(h);
  f[at] = f[at + 1] = std::byte{0};
  std::uint16_t l4 = fold(l4_sum(f, h));
  if (h.protocol == 17 && l4 == 0) l4 = 0xFFFF;
  f[at] = static_cast<std::byte>(l4 >> 8);
  f[at + 1] = static_cast<std::byte>(l4 & 0xFF);
}

std::uint32_t NicEngine::check_checksums(std::span<const std::byte> f, std::uint32_t* errors) {
  Ipv4 h;
  if (!parse_ipv4(f, &h)) return kNicFrameChecksumNotChecked;
  std::uint32_t flags = kChecked;
  if (fold(sum16(f.subspan(14, h.ip_length))) != 0) *errors |= kIpChecksumError;
  if (h.fragment) return flags | kFragmentFlag;
  if (!l4_checked(h)) return flags;
  flags |= (h.protocol == 6 ? 1u : 2u) << kProtocolShift;
  const std::size_t at = l4_checksum_offset(h);
  const bool udp_without = h.protocol == 17 && byte_at(f, at) == 0 && byte_at(f, at + 1) == 0;
  if (!udp_without && fold(l4_sum(f, h)) != 0) *errors |= kL4ChecksumError;
  return flags;
}

void NicEngine::doorbell(QueuePair& qp, bool send, std::uint32_t count) {
  WorkQueue& wq = send ? qp.sq : qp.rq;
  if (!wq.active()) {
    // The queue stopped (error, flush): the drivers flush its requests themselves.
    ++counters_.stopped_doorbells;
    return;
  }
  // The ring holds size - 1 requests at most; announcing more would make the
  // adapter take slots the host has not written.
  const std::uint32_t room = wq.size - 1 - wq.posted;
  if (count > room) {
    ++faults_.stray_doorbells;
    log_("NIC QP %u %s queue: doorbell of %u with room for %u; the excess is ignored", qp.id, send ? "send" : "receive",
         count, room);
    count = room;
  }
  wq.posted += count;
  if (send && wq.posted > 0) send_ready_.insert(qp.id);
}

bool NicEngine::receive(std::span<const std::byte> frame) {
  if (inbound_full()) return false;
  inbound_.emplace_back(frame.begin(), frame.end());
  return true;
}

bool NicEngine::receive(std::vector<std::byte>&& frame) {
  if (inbound_full()) return false;
  inbound_.push_back(std::move(frame));
  return true;
}

QueuePair* NicEngine::next_send_ready() {
  // Round robin over the ready list from the queue pair after the last one
  // served; queues that have nothing left (or are gone) leave the list.
  for (int pass = 0; pass < 2 && !send_ready_.empty(); ++pass) {
    auto it = pass == 0 ? send_ready_.lower_bound(next_qp_) : send_ready_.begin();
    while (it != send_ready_.end()) {
      QueuePair* qp = qps_.find(*it);
      if (qp != nullptr && qp->kind == QpKind::Nic && qp->sq.active() && qp->sq.posted > 0) return qp;
      it = send_ready_.erase(it);
    }
  }
  return nullptr;
}

bool NicEngine::has_work() const { return !inbound_.empty() || (!wire_blocked_ && !send_ready_.empty()); }

bool NicEngine::step() {
  QueuePair* sender = wire_blocked_ ? nullptr : next_send_ready();
  if (!inbound_.empty() && (inbound_turn_ || sender == nullptr)) {
    // Frames from the port and sends take turns, so neither starves the other.
    inbound_turn_ = false;
    std::vector<std::byte> frame = std::move(inbound_.front());
    inbound_.pop_front();
    ++counters_.wire_in;
    deliver(frame, 0);
    return true;
  }
  inbound_turn_ = true;
  if (sender == nullptr) return false;
  next_qp_ = sender->id + 1;
  return send_one(*sender);
}

void NicEngine::count_node(unsigned function, bool sent, std::span<const std::byte> frame, FrameKind kind) {
  const std::uint64_t length = frame.size();
  nodes_.add(function, sent ? kNodeTxFrames : kNodeRxFrames);
  nodes_.add(function, sent ? kNodeTxOctets : kNodeRxOctets, length);
  if (kind == FrameKind::Broadcast) nodes_.add(function, sent ? kNodeTxBroadcast : kNodeRxBroadcast);
  if (kind == FrameKind::Multicast) nodes_.add(function, sent ? kNodeTxMulticast : kNodeRxMulticast);
  // An IPv4 datagram, behind an 802.1Q tag or not.
  std::vector<std::byte> untagged;
  if (frame.size() >= 18 && frame[12] == std::byte{0x81} && frame[13] == std::byte{0x00}) {
    untagged.assign(frame.begin(), frame.begin() + 12);
    untagged.insert(untagged.end(), frame.begin() + 16, frame.end());
    frame = untagged;
  }
  Ipv4 ip;
  if (!parse_ipv4(frame, &ip)) return;
  nodes_.add(function, sent ? kNodeIpv4TxDatagrams : kNodeIpv4RxDatagrams);
  nodes_.add(function, sent ? kNodeIpv4TxOctets : kNodeIpv4RxOctets, ip.total);
}

bool NicEngine::send_one(QueuePair& qp) {
  WorkQueue& sq = qp.sq;
  const std::uint32_t index = sq.consumer;
  MifhNicSqWqe wqe{};
  std::uint32_t errors = 0;
  std::uint32_t length = 0;
  if (!dma_.read_object(sq.ring_pa + std::uint64_t{index} * sizeof wqe, wqe, "NIC send request")) {
    errors = kNicErrorDma;
  } else if (wqe.total_length < kNicMinFrame || wqe.total_length > kNicMaxFrame) {
    errors = kNicErrorLength;
    log_("NIC QP %u: send request %u has a total length of %u", qp.id, index, wqe.total_length);
  } else {
    // Fragments in order while their lengths are non-zero; together they must
    // make up exactly the total length.
    frame_.resize(wqe.total_length);
    std::uint32_t gathered = 0;
    for (unsigned i = 0; i < kNicMaxFragments && gathered < wqe.total_length && errors == 0; ++i) {
      const std::uint32_t len = nic_fragment_length(wqe, i);
      if (len == 0) break;
      if (len > wqe.total_length - gathered) {
        errors = kNicErrorLength;
        break;
      }
      if (!dma_.read(wqe.fragment[i], std::span(frame_).subspan(gathered, len), "NIC send fragment")) {
        errors = kNicErrorDma;
        break;
      }
      gathered += len;
    }
    if (errors == 0 && gathered != wqe.total_length) {
      errors = kNicErrorLength;
      log_("NIC QP %u: send request %u: fragments hold %u of %u bytes", qp.id, index, gathered, wqe.total_length);
    }
    // Checksum offload: unless the request says not to, the adapter fills
    // the IPv4 header's and the TCP or UDP checksum of an unfragmented frame.
    if (errors == 0 && (wqe.flags & kNicSqNoChecksum) == 0) insert_checksums(frame_);
    if (errors == 0 && (wqe.flags & (kNicSqVlanInsert | kNicSqVlanTag)) == (kNicSqVlanInsert | kNicSqVlanTag) &&
        frame_.size() + 4 <= kNicMaxFrame) {
      const std::uint16_t tag = static_cast<std::uint16_t>(wqe.frag0_vlan & 0xFFFF);
      const std::byte vlan[4] = {std::byte{0x81}, std::byte{0x00}, static_cast<std::byte>(tag >> 8),
                                 static_cast<std::byte>(tag & 0xFF)};
      frame_.insert(frame_.begin() + 12, std::begin(vlan), std::end(vlan));
    }
    length = static_cast<std::uint32_t>(frame_.size());
  }
  bool to_wire = false;
  if (errors == 0 && port_ != nullptr) {
    to_wire = !local_unicast(filters_(), destination_of(frame_));
    if (to_wire && !port_->has_room()) {
      // Nothing is taken: the request stays posted until the port has room.
      wire_blocked_ = true;
      return false;
    }
  }
  sq.consumer = (sq.consumer + 1) % sq.size;
  --sq.posted;
  MacCounters& mac = mac_[qp.function % zekhw::kPorts];
  if (errors != 0) {
    ++counters_.send_errors;
    ++mac.tx_errors;
    complete(qp, sq, true, 0, 0, errors);
    sq.state = QueueState::Errored;
    log_("NIC QP %u: send request %u completed in error 0x%02x; the send queue stops", qp.id, index, errors);
    return true;
  }
  deliver(frame_, qp.id);
  if (to_wire) {
    port_->transmit_later(frame_);
    ++counters_.wire_out;
  }
  ++counters_.frames_sent;
  counters_.bytes_sent += length;
  ++mac.tx_frames;
  mac.tx_octets += length;
  const FrameKind sent_kind = classify(destination_of(frame_));
  if (sent_kind == FrameKind::Broadcast) ++mac.tx_broadcast;
  if (sent_kind == FrameKind::Multicast) ++mac.tx_multicast;
  count_node(qp.function, true, frame_, sent_kind);
  complete(qp, sq, true, length, 0, 0);
  return true;
}

void NicEngine::deliver(std::span<const std::byte> frame, std::uint32_t sender_qp) {
  if (frame.size() < kNicMinFrame) return;
  const MacAddress destination = destination_of(frame);
  const std::uint32_t slots = accepting_slots(filters_(), destination);
  if (slots == 0) {
    ++counters_.filtered;
    return;
  }
  const FrameKind kind = classify(destination);
  std::uint32_t delivered[kMacSlots];
  unsigned count = 0;
  for (unsigned s = 0; s < kMacSlots; ++s) {
    if ((slots & (1u << s)) == 0) continue;
    const std::uint32_t id = nic_qp_of_slot(s);
    // A queue pair gets one copy however many of its slots accept the frame,
    // and never its own frame back.
    if (id == sender_qp || std::find(delivered, delivered + count, id) != delivered + count) continue;
    delivered[count++] = id;
    QueuePair* qp = qps_.find(id);
    if (qp == nullptr || qp->kind != QpKind::Nic) continue;
    if (sender_qp != 0) ++counters_.switched;
    receive_into(*qp, frame, kind);
  }
  // The multicast receive queue takes a copy of each multicast frame its
  // function's proxy slot accepts.
  if (kind != FrameKind::Multicast) return;
  QueuePair* mcrq = qps_.find(kMcrqQpId);
  if (mcrq != nullptr && mcrq->kind == QpKind::Nic && (slots & (1u << proxy_mac_slot(mcrq->function % 4))) != 0) {
    receive_into(*mcrq, frame, kind);
  }
}

void NicEngine::receive_into(QueuePair& qp, std::span<const std::byte> frame, FrameKind kind) {
  WorkQueue& rq = qp.rq;
  MacCounters& mac = mac_[qp.function % zekhw::kPorts];
  if (!rq.active() || rq.posted == 0) {
    ++counters_.no_buffer;
    ++mac.rx_no_buffer;
    nodes_.add(qp.function, kNodeRxDiscards);
    return;
  }
  // An 802.1Q tag is stripped: the completion carries it (word 2 bits
  // 16-31, word 3 bit 30) and the buffer gets the untagged frame.
  std::vector<std::byte> untagged;
  std::uint32_t vlan_flags = 0;
  bool stripped = false;
  if (frame.size() >= kNicMinFrame + 4 && frame[12] == std::byte{0x81} && frame[13] == std::byte{0x00}) {
    vlan_flags = (std::to_integer<std::uint32_t>(frame[14]) << 8 | std::to_integer<std::uint32_t>(frame[15]))
                 << kNicFrameVlanShift;
    untagged.assign(frame.begin(), frame.begin() + 12);
    untagged.insert(untagged.end(), frame.begin() + 16, frame.end());
    frame = untagged;
    stripped = true;
  }
  // The request is read before anything is taken: a frame longer than its
  // buffer is dropped and counted, and the buffer stays posted for the next.
  const std::uint32_t index = rq.consumer;
  MifhNicRqWqe wqe{};
  std::uint32_t errors = 0;
  const auto length = static_cast<std::uint32_t>(frame.size());
  if (!dma_.read_object(rq.ring_pa + std::uint64_t{index} * sizeof wqe, wqe, "NIC receive request")) {
    errors = kNicErrorDma;
  } else if (wqe.buffer_length < length) {
    ++counters_.too_long;
    ++mac.rx_errors;
    nodes_.add(qp.function, kNodeRxDiscards);
    // One line for the 1st, 2nd, 4th, 8th... drop: a peer sending jumbo
    // frames to a function without them cannot flood the log.
    if ((counters_.too_long & (counters_.too_long - 1)) == 0) {
      log_("NIC QP %u: a frame of %u bytes is longer than receive buffer %u of %u bytes; dropped (%llu so far)", qp.id,
           length, index, wqe.buffer_length, static_cast<unsigned long long>(counters_.too_long));
    }
    return;
  } else if (!dma_.write(wqe.buffer_pa, frame, "NIC receive buffer")) {
    errors = kNicErrorDma;
  }
  rq.consumer = (rq.consumer + 1) % rq.size;
  --rq.posted;
  std::uint32_t checksum_errors = 0;
  const std::uint32_t flags = vlan_flags | check_checksums(frame, &checksum_errors) |
                              (kind == FrameKind::Unicast     ? kNicFrameUnicast
                               : kind == FrameKind::Broadcast ? kNicFrameBroadcast
                                                              : 0u);
  if (errors != 0) {
    ++counters_.receive_errors;
    ++mac.rx_errors;
    nodes_.add(qp.function, kNodeRxDiscards);
    complete(qp, rq, false, 0, flags, errors);
    rq.state = QueueState::Errored;
    log_("NIC QP %u: receive %u completed in error 0x%02x; the receive queue stops", qp.id, index, errors);
    return;
  }
  ++counters_.frames_received;
  counters_.bytes_received += length;
  ++mac.rx_frames;
  mac.rx_octets += length;
  count_node(qp.function, false, frame, kind);
  if (checksum_errors != 0) nodes_.add(qp.function, kNodeRxProtocolErrors);
  // A checksum error is reported with the frame; the queue goes on.
  complete(qp, rq, false, length, flags, checksum_errors, stripped);
}

std::optional<std::uint32_t> NicEngine::read_mac_counter(unsigned port, std::uint32_t offset) {
  if (port >= zekhw::kPorts) return std::nullopt;
  MacCounters& mac = mac_[port];
  auto& high = latched_high_[port];
  const auto take32 = [](MacCounters::Count& count) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(count.exchange(0), 0xFFFF'FFFF));
  };
  const auto take64 = [&](MacCounters::Count& count, unsigned latch) {
    const std::uint64_t value = count.exchange(0);
    high[latch] = static_cast<std::uint32_t>(value >> 32);
    return static_cast<std::uint32_t>(value);
  };
  switch (offset) {
    case kMacTxOctets:
      return take64(mac.tx_octets, 0);
    case kMacTxOctets + 4:
      return high[0];
    case kMacTxFrames:
      return take64(mac.tx_frames, 1);
    case kMacTxFrames + 4:
      return high[1];
    case kMacRxOctets:
      return take64(mac.rx_octets, 2);
    case kMacRxOctets + 4:
      return high[2];
    case kMacRxFrames:
      return take64(mac.rx_frames, 3);
    case kMacRxFrames + 4:
      return high[3];
    case kMacTxBroadcast:
      return take32(mac.tx_broadcast);
    case kMacTxMulticast:
      return take32(mac.tx_multicast);
    case kMacTxErrors:
      return take32(mac.tx_errors);
    case kMacRxErrors:
      return take32(mac.rx_errors);
    case kMacRxCrcErrors:
      return 0u;
    case kIdxPortRxCounter:
      return take32(mac.rx_no_buffer);
    default:
      return std::nullopt;
  }
}

void NicEngine::complete(QueuePair& qp, WorkQueue& wq, bool send, std::uint32_t length, std::uint32_t frame_flags,
                         std::uint32_t errors, bool vlan_stripped) {
  const std::uint32_t index = (wq.consumer + wq.size - 1) % wq.size;
  MifhNicCqe cqe{};
  cqe.index = index & kNicCqeIndexMask;
  cqe.frame_flags = frame_flags;
  cqe.status = (length & kNicCqeLengthMask) | ((errors << kNicCqeErrorShift) & kNicCqeErrorMask) |
               (send ? kNicCqeSend : 0u) | (vlan_stripped ? kNicCqeVlanStripped : 0u) | kNicCqeValid;
  ++wq.completed;
  queues_.post_completion(qp.cq_id, std::as_bytes(std::span(&cqe, 1)), errors != 0);
}

}  // namespace zeksim
