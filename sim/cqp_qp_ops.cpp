// The control queue pair's queue-pair requests: create, modify, destroy,
// flush and context upload of NIC and iWARP queue pairs, creation and
// destruction of TOE queue pairs, and LMI access to the adapter's local
// memory.
#include <cstring>

#include "include/hw/nic.h"
#include "include/hw/qp_context.h"
#include "include/hw/toe.h"
#include "include/hw/wqe.h"
#include "sim/cqp_engine.h"

namespace zeksim {

using namespace zekhw;

namespace {

bool nic_id(std::uint32_t id) { return id == kMcrqQpId || (id >= kNicQpFirst && id <= kNicQpLast); }
bool iwarp_id(std::uint32_t id) { return id >= kIwarpQpFirst && id <= kIwarpQpLast; }

WorkQueue queue(std::uint64_t pa, unsigned size_code) {
  WorkQueue wq;
  wq.ring_pa = pa;
  wq.size = kQpRingSizes[size_code & 3];
  return wq;
}

}  // namespace

std::uint16_t CqpEngine::read_context(QueuePair& qp, std::uint64_t pa) {
  const std::uint32_t bytes = qp.kind == QpKind::Nic ? sizeof(MifhNicQpContext) : kIwarpCtxBytes;
  std::array<std::uint8_t, kIwarpCtxBytes> image{};
  if (!dma_.read(pa, std::as_writable_bytes(std::span(image.data(), bytes)), "QP host context")) {
    return kCcqBackingState;
  }
  WorkQueue sq, rq;
  std::uint32_t wqe_bytes;
  if (qp.kind == QpKind::Nic) {
    MifhNicQpContext c;
    std::memcpy(&c, image.data(), sizeof c);
    sq = queue(c.sq_pa, c.word0 >> kCtxSqSizeShift);
    rq = queue(c.rq_pa, c.word0 >> kCtxRqSizeShift);
    wqe_bytes = sizeof(MifhNicSqWqe);
  } else {
    MifhIwarpQpContext c;
    std::memcpy(&c, image.data(), sizeof c);
    sq = queue(c.sq_pa, c.flags >> kIwarpCtxSqSizeShift);
    rq = queue(c.rq_pa, c.flags >> kIwarpCtxRqSizeShift);
    wqe_bytes = sizeof(MifhWqe);
  }
  if (!dma_.reachable(sq.ring_pa, std::uint64_t{sq.size} * wqe_bytes) ||
      !dma_.reachable(rq.ring_pa, std::uint64_t{rq.size} * wqe_bytes)) {
    log_("QP %u: its rings (SQ 0x%llx x %u, RQ 0x%llx x %u) are not in host memory", qp.id,
         static_cast<unsigned long long>(sq.ring_pa), sq.size, static_cast<unsigned long long>(rq.ring_pa), rq.size);
    return kCcqBackingState;
  }
  // A ring that moved or changed size starts over at slot 0; otherwise the
  // queue keeps its place.
  const bool first = qp.sq.size == 0;
  if (first || qp.sq.ring_pa != sq.ring_pa || qp.sq.size != sq.size) qp.sq = sq;
  if (first || qp.rq.ring_pa != rq.ring_pa || qp.rq.size != rq.size) qp.rq = rq;
  qp.context = image;
  qp.context_pa = pa;
  return kCcqOk;
}

CqpEngine::Outcome CqpEngine::op_create_qp(ControlQueuePair& cqp, const MifhCqpWqe& wqe) {
  switch ((wqe.op_word >> kQpTypeShift) & kQpTypeMask) {
    case kQpTypeNic:
      return create_nic_qp(cqp, wqe);
    case kQpTypeIwarp:
      return create_iwarp_qp(cqp, wqe);
    case kToeQpType:
      return create_toe_qp(cqp, wqe);
    default:
      return {kCcqInvalidQpType};
  }
}

CqpEngine::Outcome CqpEngine::create_nic_qp(ControlQueuePair& cqp, const MifhCqpWqe& wqe) {
  const std::uint32_t id = wqe.object_word;
  if (wqe.op_word != kOpWordCreateNicQp) return {kCcqUnsupported};
  if (!nic_id(id)) return {kCcqInvalidNicQpId};
  if (qps_.find(id) != nullptr) return {kCcqInvalidState};
  QueuePair qp;
  qp.id = id;
  qp.kind = QpKind::Nic;
  qp.function = cqp.function;
  qp.cq_id = id == kMcrqQpId ? mcrq_cq_id(cqp.function) : nic_cq_of_qp(id);
  if (std::uint16_t minor = read_context(qp, wqe.physical_address); minor != kCcqOk) return {minor};
  qps_.add(qp);
  return {};
}

CqpEngine::Outcome CqpEngine::create_iwarp_qp(ControlQueuePair& cqp, const MifhCqpWqe& wqe) {
  const std::uint32_t id = wqe.object_word;
  if (!iwarp_id(id)) return {kCcqIdTooBig};
  if (qps_.find(id) != nullptr) return {kCcqInvalidState};
  QueuePair qp;
  qp.id = id;
  qp.kind = QpKind::Iwarp;
  qp.function = cqp.function;
  qp.state = static_cast<std::uint8_t>((wqe.op_word >> kQpStateShift) & kQpStateMask);
  if (std::uint16_t minor = read_context(qp, wqe.physical_address); minor != kCcqOk) return {minor};
  // A new queue pair's send ring starts at slot 1 (slot 0 holds what the
  // verbs wrote there at creation); the receive ring at 0.
  qp.sq.consumer = 1 % qp.sq.size;
  qp.pd = iwarp_setup(qp).pd;
  if (offload_ != nullptr && !offload_->create_qp(cqp.function, iwarp_setup(qp))) return {kCcqInvalidState};
  qps_.add(qp);
  return {};
}

CqpEngine::Outcome CqpEngine::create_toe_qp(ControlQueuePair& cqp, const MifhCqpWqe& wqe) {
  const std::uint32_t id = wqe.object_word;
  if (wqe.op_word != kOpWordCreateToeQp) return {kCcqInvalidQpType};
  if (offload_ == nullptr) return {kCcqUnsupported};
  if (!iwarp_id(id)) return {kCcqIdTooBig};
  if (qps_.find(id) != nullptr) return {kCcqInvalidState};
  QueuePair qp;
  qp.id = id;
  qp.kind = QpKind::Toe;
  qp.function = cqp.function;
  if (std::uint16_t minor = read_context(qp, wqe.physical_address); minor != kCcqOk) return {minor};
  MifhIwarpQpContext c;
  std::memcpy(&c, qp.context.data(), sizeof c);
  ToeQpSetup s;
  s.id = id;
  s.qp_object = c.qp_object;
  s.sq_cq = c.sq_cq_id;
  s.rq_cq = c.rq_cq_id;
  s.sq_pa = qp.sq.ring_pa;
  s.rq_pa = qp.rq.ring_pa;
  s.sq_size = qp.sq.size;
  s.rq_size = qp.rq.size;
  if (!offload_->create_toe_qp(cqp.function, s)) return {kCcqInvalidState};
  if (addresses_) addresses_(qp.function);
  std::string why;
  if (!offload_->connect_toe(id, c, now_ ? now_() : Nanos{0}, &why)) {
    log_("TOE QP %u: the connection cannot be taken: %s", id, why.c_str());
    offload_->destroy(id, now_ ? now_() : Nanos{0});
    return {kCcqInvalidState};
  }
  qps_.add(qp);
  return {};
}

CqpEngine::Outcome CqpEngine::op_modify_qp(ControlQueuePair&, const MifhCqpWqe& wqe) {
  QueuePair* qp = qps_.find(wqe.object_word);
  if (qp == nullptr) return {kCcqInvalidState};
  if (qp->kind != QpKind::Iwarp) return {kCcqInvalidQpType};
  const auto next = static_cast<std::uint8_t>((wqe.op_word >> kQpStateShift) & kQpStateMask);
  if (next == 0 || next == 4 || next == 7) return {kCcqInvalidNextState};
  if (wqe.physical_address != 0) {
    if (std::uint16_t minor = read_context(*qp, wqe.physical_address); minor != kCcqOk) return {minor};
  }
  if (offload_ != nullptr) {
    if (addresses_) addresses_(qp->function);
    MifhIwarpQpContext image;
    std::memcpy(&image, qp->context.data(), sizeof image);
    std::string why;
    if (!offload_->modify(qp->id, next, image, now_ ? now_() : Nanos{0}, &why)) {
      log_("QP %u: modify to %u refused: %s", qp->id, next, why.c_str());
      return {kCcqInvalidState};
    }
  }
  qp->state = next;
  if (next == kQpClosing || next == kQpTerminate || next == kQpError) {
    // The queues stop: outstanding work requests are flushed by the drivers.
    if (qp->sq.active()) qp->sq.state = QueueState::Flushed;
    if (qp->rq.active()) qp->rq.state = QueueState::Flushed;
  }
  return {};
}

CqpEngine::Outcome CqpEngine::destroy_qp(ControlQueuePair&, const MifhCqpWqe& wqe, QpKind kind) {
  QueuePair* qp = qps_.find(wqe.object_word);
  if (qp == nullptr) return {kCcqInvalidState};
  if (qp->kind != kind) return {kCcqInvalidQpType};
  if (offload_ != nullptr && kind != QpKind::Nic) offload_->destroy(qp->id, now_ ? now_() : Nanos{0});
  qps_.remove(wqe.object_word);
  return {};
}

CqpEngine::Outcome CqpEngine::op_flush(ControlQueuePair&, const MifhCqpWqe& wqe) {
  QueuePair* qp = qps_.find(wqe.object_word);
  if (qp == nullptr) return {kCcqInvalidState};
  // No completion for the flushed requests: the drivers make them.
  if ((wqe.op_word & kFlushSq) != 0 && qp->sq.active()) qp->sq.state = QueueState::Flushed;
  if ((wqe.op_word & kFlushRq) != 0 && qp->rq.active()) qp->rq.state = QueueState::Flushed;
  if (offload_ != nullptr && qp->kind == QpKind::Iwarp) {
    offload_->flush(qp->id, (wqe.op_word & kFlushSq) != 0, (wqe.op_word & kFlushRq) != 0);
  }
  return {};
}

CqpEngine::Outcome CqpEngine::op_upload_context(ControlQueuePair&, const MifhCqpWqe& wqe) {
  QueuePair* qp = qps_.find(wqe.object_word);
  if (qp == nullptr) return {kCcqInvalidState};
  const std::uint32_t type = (wqe.op_word >> kQpTypeShift) & kQpTypeMask;
  if (type != (qp->kind == QpKind::Nic ? kQpTypeNic : kQpTypeIwarp)) return {kCcqInvalidQpType};
  const std::uint32_t bytes = qp->kind == QpKind::Nic ? sizeof(MifhNicQpContext) : kIwarpCtxBytes;
  // The image as the adapter last read it (create or modify).
  const std::array<std::uint8_t, kIwarpCtxBytes>& image = qp->context;
  if (!dma_.write(wqe.physical_address, std::as_bytes(std::span(image.data(), bytes)), "QP context upload")) {
    return {kCcqBackingState};
  }
  return {};
}

CqpEngine::Outcome CqpEngine::op_lmi_access(ControlQueuePair&, const MifhCqpWqe& wqe) {
  const std::uint32_t kind = (wqe.op_word >> kLmiKindShift) & kLmiKindMask;
  const std::uint32_t address = wqe.object_word;
  const std::uint32_t length = wqe.parameter_word;
  const std::uint64_t buffer = wqe.operation_word;
  if (kind != kLmiRead && kind != kLmiWrite) return {kCcqUnsupported};
  if (length == 0 || length > kMaxLmiBytes || !local_.contains(address, length)) return {kCcqInvalidQueueSize};
  auto range = local_.range(address, length);
  const bool ok =
      kind == kLmiRead ? dma_.write(buffer, range, "LMI read buffer") : dma_.read(buffer, range, "LMI write buffer");
  return {ok ? kCcqOk : kCcqBackingState};
}

}  // namespace zeksim
