#include "sim/cqp_engine.h"

#include "include/hw/registers.h"
#include "include/hw/toe.h"

namespace zeksim {

using namespace zekhw;

const CqpEngine::OpEntry CqpEngine::kOps[] = {
    {kOpCreateQp, &CqpEngine::op_create_qp, "create QP"},
    {kOpModifyQp, &CqpEngine::op_modify_qp, "modify QP"},
    {kOpDestroyQp, &CqpEngine::op_destroy_qp, "destroy QP"},
    {kOpUploadQpContext, &CqpEngine::op_upload_context, "upload QP context"},
    {kOpLmiAccess, &CqpEngine::op_lmi_access, "LMI access"},
    {kOpFlush, &CqpEngine::op_flush, "flush"},
    {kOpCreateCq, &CqpEngine::op_create_cq, "create CQ"},
    {kOpModifyCq, &CqpEngine::op_modify_cq, "modify CQ"},
    {kOpDestroyCq, &CqpEngine::op_destroy_cq, "destroy CQ"},
    {kOpCreateCeq, &CqpEngine::op_create_ceq, "create CEQ"},
    {kOpDestroyCeq, &CqpEngine::op_destroy_ceq, "destroy CEQ"},
    {kOpCreateAeq, &CqpEngine::op_create_aeq, "create AEQ"},
    {kOpDestroyAeq, &CqpEngine::op_destroy_aeq, "destroy AEQ"},
    {kOpNop, &CqpEngine::op_nop, "no-op"},
    {kOpAllocateStag, &CqpEngine::op_allocate_stag, "allocate STag"},
    {kOpRegisterNonSharedMr, &CqpEngine::op_register_mr, "register MR"},
    {kOpQueryStag, &CqpEngine::op_query_stag, "query STag"},
    {kOpRegisterSharedMr, &CqpEngine::op_register_shared, "register shared MR"},
    {kOpDeallocateStag, &CqpEngine::op_deallocate_stag, "deallocate STag"},
    {kOpArpCache, &CqpEngine::op_arp_cache, "ARP cache"},
};

void CqpEngine::request_create(unsigned function, std::uint64_t context_pa) {
  work_.push_back(Work{Work::Kind::Create, function, context_pa});
}

void CqpEngine::doorbell(unsigned cqp_id, std::uint32_t count) {
  ControlQueuePair* cqp = cqp_id < cqps_.size() && cqps_[cqp_id] ? &*cqps_[cqp_id] : nullptr;
  if (cqp == nullptr) {
    ++faults_.stray_doorbells;
    log_("doorbell of %u requests for CQP %u, which does not exist", count, cqp_id);
    return;
  }
  // The ring holds size - 1 requests at most; a doorbell announcing more
  // than that would make the adapter re-read slots the host is refilling.
  std::uint32_t room = cqp->size - 1 - cqp->posted;
  if (count > room) {
    ++faults_.stray_doorbells;
    log_("CQP %u: doorbell of %u with room for %u; the excess is ignored", cqp_id, count, room);
    count = room;
  }
  cqp->posted += count;
  if (cqp->posted > 0) schedule(cqp_id);
}

void CqpEngine::schedule(unsigned cqp_id) {
  if (scheduled_[cqp_id]) return;
  scheduled_[cqp_id] = true;
  work_.push_back(Work{Work::Kind::Run, cqp_id});
}

bool CqpEngine::step() {
  if (work_.empty()) return false;
  Work work = work_.front();
  work_.pop_front();
  if (work.kind == Work::Kind::Create) {
    create(work.id, work.pa);
    return true;
  }
  scheduled_[work.id] = false;
  if (!cqps_[work.id] || cqps_[work.id]->posted == 0) return true;
  run_one(*cqps_[work.id]);
  // Requests of one CQP stay in order; other CQPs take their turn between them.
  if (cqps_[work.id] && cqps_[work.id]->posted > 0) schedule(work.id);
  return true;
}

bool CqpEngine::cqp_on_function(unsigned function) const {
  for (const auto& c : cqps_) {
    if (c && c->function == function) return true;
  }
  return false;
}

void CqpEngine::drop_ccq(ControlQueuePair& cqp) {
  if (!cqp.ccq_id) return;
  queues_.destroy_cq(*cqp.ccq_id);
  cqp.ccq_id.reset();
  status_.clear(cqp.function, kStatusCcq);
}

void CqpEngine::create(unsigned function, std::uint64_t context_pa) {
  MifhCqpHostContext context;
  if (!dma_.read_object(context_pa, context, "CQP host context")) {
    log_("CQP creation on function %u failed: host context unreadable", function);
    return;
  }
  unsigned id = static_cast<unsigned>((context.word0 >> kCqpCtxIdShift) & 0xF);
  std::uint32_t size = kCqpRingSizes[(context.word0 >> kCqpCtxSizeCodeShift) & 3];
  if (id != function && id != function + 8) {
    ++faults_.refused_requests;
    log_("CQP creation on function %u refused: CQP id %u belongs to another function", function, id);
    return;
  }
  if (!dma_.reachable(context.ring_pa, std::uint64_t{size} * sizeof(MifhCqpWqe))) {
    ++faults_.refused_requests;
    log_("CQP %u creation refused: ring of %u requests at 0x%llx is not in host memory", id, size,
         static_cast<unsigned long long>(context.ring_pa));
    return;
  }
  if (cqps_[id]) {
    log_("CQP %u created again: the previous one and its CCQ are gone", id);
    drop_ccq(*cqps_[id]);
  }
  cqps_[id] = ControlQueuePair{id, function, context.ring_pa, size};
  status_.set(function, kStatusCqp);
}

void CqpEngine::run_one(ControlQueuePair& cqp) {
  MifhCqpWqe wqe{};
  std::uint64_t pa = cqp.ring_pa + std::uint64_t{cqp.consumer} * sizeof(MifhCqpWqe);
  cqp.consumer = (cqp.consumer + 1) % cqp.size;
  --cqp.posted;
  Outcome outcome;
  if (!dma_.read_object(pa, wqe, "CQP request")) {
    wqe = MifhCqpWqe{};
    outcome.minor = kCcqBackingState;
  } else {
    std::uint8_t op = static_cast<std::uint8_t>(wqe.op_word & kOpMask);
    const OpEntry* entry = nullptr;
    for (const OpEntry& e : kOps) {
      if (e.op == op) entry = &e;
    }
    if (entry == nullptr) {
      outcome.minor = kCcqUnsupported;
    } else {
      outcome = (this->*entry->handler)(cqp, wqe);
    }
  }
  if (outcome.minor != kCcqOk) {
    ++faults_.refused_requests;
    log_("CQP %u: request 0x%08x refused with minor code 0x%04x", cqp.id, wqe.op_word, outcome.minor);
  }
  if (outcome.completes) complete(cqp, wqe, outcome);
  if (outcome.destroys_cqp) {
    unsigned function = cqp.function;
    unsigned id = cqp.id;
    if (cqp.posted > 0) log_("CQP %u destroyed with %u requests still announced", id, cqp.posted);
    // The CCQ cannot outlive its CQP: nothing could complete into it, and a
    // new CQP must be able to create its own.
    if (cqp.ccq_id) log_("CQP %u destroyed before its CCQ %u: the CCQ goes with it", id, *cqp.ccq_id);
    drop_ccq(cqp);
    cqps_[id].reset();  // cqp is gone from here on
    if (!cqp_on_function(function)) status_.clear(function, kStatusCqp);
  }
}

void CqpEngine::complete(ControlQueuePair& cqp, const MifhCqpWqe& wqe, const Outcome& outcome) {
  MifhCqe entry{};
  entry.tag = wqe.cqp_object;
  entry.immediate = outcome.result;
  bool error = outcome.minor != kCcqOk;
  entry.codes = error ? (std::uint32_t{kCcqMajorRefused} << kCqeMajorShift) | outcome.minor : outcome.codes.value_or(0);
  entry.flags = kCqeValid | (error ? kCqeError : 0u) | (wqe.op_word & kCqeOpMask);
  if (!cqp.ccq_id) {
    ++faults_.lost_completions;
    log_("CQP %u: completion of request 0x%08x lost: no CCQ", cqp.id, wqe.op_word);
    return;
  }
  if (queues_.post_completion(*cqp.ccq_id, std::as_bytes(std::span(&entry, 1)), error) != PostResult::Written) {
    ++faults_.lost_completions;
  }
}

CqpEngine::Outcome CqpEngine::op_nop(ControlQueuePair&, const MifhCqpWqe&) { return {}; }

CqpEngine::Outcome CqpEngine::op_destroy_qp(ControlQueuePair& cqp, const MifhCqpWqe& wqe) {
  std::uint32_t type = (wqe.op_word >> kQpTypeShift) & kQpTypeMask;
  if (type == kQpTypeNic) return destroy_qp(cqp, wqe, QpKind::Nic);
  if (type == kQpTypeIwarp) return destroy_qp(cqp, wqe, QpKind::Iwarp);
  if (wqe.op_word == kOpWordDestroyToeQp) return destroy_qp(cqp, wqe, QpKind::Toe);
  if (type != kQpTypeCqp) return {kCcqUnsupported};
  if (wqe.object_word != cqp.id) return {kCcqInvalidState};
  Outcome outcome;
  outcome.completes = false;
  outcome.destroys_cqp = true;
  return outcome;
}

std::uint16_t CqpEngine::parse_cq(const ControlQueuePair& cqp, const MifhCqpWqe& wqe, CqSpec& spec) {
  spec.id = wqe.object_word & 0xFFFF;
  spec.ceq_id = wqe.object_word >> 16;
  spec.entries = wqe.op_word >> kCqWordCountShift;
  spec.ring_pa = wqe.physical_address;
  spec.object_shifted = wqe.operation_word;
  spec.parameter = wqe.parameter_word;
  spec.iwarp = (wqe.op_word & kCqWordIwarp) != 0;
  spec.function = cqp.function;
  if (spec.id > kMaxCqId || spec.ceq_id >= kMaxCeqs) return kCcqIdTooBig;
  if (spec.entries == 0 || spec.entries > kMaxCqEntries) return kCcqInvalidQueueSize;
  // Page-list (virtually mapped) completion queues are not carried out.
  if ((wqe.op_word & kCqWordV) != 0) return kCcqUnsupported;
  // The smallest entry is 16 bytes (NIC CQE); the poster's entry size
  // strides the ring.
  if (!dma_.reachable(spec.ring_pa, std::uint64_t{spec.entries} * 16)) return kCcqBackingState;
  return kCcqOk;
}

CqpEngine::Outcome CqpEngine::op_create_cq(ControlQueuePair& cqp, const MifhCqpWqe& wqe) {
  CqSpec spec;
  std::uint16_t minor = parse_cq(cqp, wqe, spec);
  if (minor == kCcqOk && queues_.cq(spec.id) != nullptr) minor = kCcqInvalidState;
  if (!cqp.ccq_id) {
    // The first CQ of a CQP is its CCQ: its creation is never reported,
    // successful or not (there is nowhere to report it); the host sees
    // status bit 9 instead.
    Outcome outcome{minor};
    outcome.completes = false;
    if (minor != kCcqOk) return outcome;
    CompletionQueue& cq = queues_.create_cq(spec);
    cq.ccq_of = cqp.id;
    cqp.ccq_id = spec.id;
    status_.set(cqp.function, kStatusCcq);
    return outcome;
  }
  if (minor != kCcqOk) return {minor};
  queues_.create_cq(spec);
  return {};
}

CqpEngine::Outcome CqpEngine::op_modify_cq(ControlQueuePair& cqp, const MifhCqpWqe& wqe) {
  CqSpec spec;
  std::uint16_t minor = parse_cq(cqp, wqe, spec);
  if (minor != kCcqOk) return {minor};
  CompletionQueue* cq = queues_.cq(spec.id);
  if (cq == nullptr) return {kCcqInvalidState};
  if (cq->ccq_of && *cq->ccq_of != cqp.id) return {kCcqInvalidState};
  spec.function = cq->spec.function;
  queues_.modify_cq(*cq, spec);
  return {};
}

CqpEngine::Outcome CqpEngine::op_destroy_cq(ControlQueuePair& cqp, const MifhCqpWqe& wqe) {
  std::uint32_t id = wqe.object_word & 0xFFFF;
  if (id > kMaxCqId) return {kCcqIdTooBig};
  CompletionQueue* cq = queues_.cq(id);
  if (cq == nullptr) return {kCcqInvalidState};
  if (cq->ccq_of) {
    // Another CQP's CCQ is not this CQP's to destroy.
    if (*cq->ccq_of != cqp.id) return {kCcqInvalidState};
    drop_ccq(cqp);
    Outcome outcome;
    outcome.completes = false;
    return outcome;
  }
  queues_.destroy_cq(id);
  return {};
}

CqpEngine::Outcome CqpEngine::op_create_ceq(ControlQueuePair& cqp, const MifhCqpWqe& wqe) {
  std::uint32_t id = (wqe.op_word >> kEqIdShift) & kEqIdMask;
  std::uint32_t entries = wqe.object_word;
  if (id >= kMaxCeqs) return {kCcqIdTooBig};
  if (entries == 0 || entries > kMaxCeqEntries) return {kCcqInvalidQueueSize};
  if (queues_.ceq(id) != nullptr) return {kCcqInvalidState};
  if (!dma_.reachable(wqe.physical_address, std::uint64_t{entries} * sizeof(MifhCeqe))) return {kCcqBackingState};
  queues_.create_ceq(CompletionEventQueue{id, entries, wqe.physical_address, cqp.function, 0});
  if (id == cqp.function) status_.set(cqp.function, kStatusCeq);
  return {};
}

CqpEngine::Outcome CqpEngine::op_destroy_ceq(ControlQueuePair&, const MifhCqpWqe& wqe) {
  std::uint32_t id = (wqe.op_word >> kEqIdShift) & kEqIdMask;
  if (id >= kMaxCeqs) return {kCcqIdTooBig};
  CompletionEventQueue* ceq = queues_.ceq(id);
  if (ceq == nullptr) return {kCcqInvalidState};
  if (ceq->id == ceq->function) status_.clear(ceq->function, kStatusCeq);
  queues_.destroy_ceq(id);
  return {};
}

CqpEngine::Outcome CqpEngine::op_create_aeq(ControlQueuePair&, const MifhCqpWqe& wqe) {
  std::uint32_t id = (wqe.op_word >> kEqIdShift) & kEqIdMask;
  std::uint32_t entries = wqe.object_word;
  if (id >= kMaxAeqs || id >= functions_) return {kCcqIdTooBig};
  if (entries == 0 || entries > kMaxAeqEntries) return {kCcqInvalidQueueSize};
  if (queues_.aeq(id) != nullptr) return {kCcqInvalidState};
  if (!dma_.reachable(wqe.physical_address, std::uint64_t{entries} * sizeof(MifhAeqe))) return {kCcqBackingState};
  queues_.create_aeq(id, entries, wqe.physical_address);
  status_.set(id, kStatusAeq);
  return {};
}

CqpEngine::Outcome CqpEngine::op_destroy_aeq(ControlQueuePair&, const MifhCqpWqe& wqe) {
  std::uint32_t id = (wqe.op_word >> kEqIdShift) & kEqIdMask;
  if (id >= kMaxAeqs || id >= functions_) return {kCcqIdTooBig};
  if (queues_.aeq(id) == nullptr) return {kCcqInvalidState};
  queues_.destroy_aeq(id);
  status_.clear(id, kStatusAeq);
  return {};
}

}  // namespace zeksim
