#include "sim/queues.h"

#include "include/hw/registers.h"

namespace zeksim {

CompletionQueue* QueueSet::cq(std::uint32_t id) const {
  std::lock_guard lock(mu_);
  auto it = cqs_.find(id);
  return it == cqs_.end() ? nullptr : const_cast<CompletionQueue*>(&it->second);
}

CompletionQueue& QueueSet::create_cq(const CqSpec& spec) {
  std::lock_guard lock(mu_);
  CompletionQueue& cq = cqs_[spec.id];
  cq = CompletionQueue{};
  modify_cq(cq, spec);
  return cq;
}

void QueueSet::modify_cq(CompletionQueue& cq, const CqSpec& spec) {
  std::lock_guard lock(mu_);
  // A new ring starts empty: the host's Head is entries - 1, so the adapter
  // may fill every slot but one.
  cq.spec = spec;
  cq.producer = 0;
  cq.credits = spec.entries - 1;
  cq.outstanding = 0;
  cq.armed = false;
  cq.solicited_only = false;
  cq.solicited_outstanding = false;
  cq.error_reported = false;
}

void QueueSet::destroy_cq(std::uint32_t id) {
  std::lock_guard lock(mu_);
  cqs_.erase(id);
}

PostResult QueueSet::post_completion(std::uint32_t cq_id, std::span<const std::byte> entry, bool solicited) {
  std::lock_guard lock(mu_);
  CompletionQueue* cq = this->cq(cq_id);
  if (cq == nullptr) {
    ++faults_.lost_completions;
    log_("completion for CQ %u dropped: no such CQ", cq_id);
    return PostResult::NoQueue;
  }
  if (cq->credits == 0) {
    ++faults_.cq_overruns;
    log_("CQ %u overrun: completion dropped", cq_id);
    report_cq_error(*cq);
    return PostResult::Overrun;
  }
  std::uint64_t pa = cq->spec.ring_pa + std::uint64_t{cq->producer} * entry.size();
  if (!dma_.write_entry(pa, entry, "CQE")) {
    report_cq_error(*cq);
    return PostResult::DmaFault;
  }
  cq->producer = (cq->producer + 1) % cq->spec.entries;
  --cq->credits;
  ++cq->outstanding;
  if (solicited) cq->solicited_outstanding = true;
  if (cq->armed && (!cq->solicited_only || solicited)) notify(*cq);
  return PostResult::Written;
}

void QueueSet::give_back(std::uint32_t cq_id, std::uint32_t count) {
  std::lock_guard lock(mu_);
  CompletionQueue* cq = this->cq(cq_id);
  if (cq == nullptr) {
    ++faults_.stray_doorbells;
    log_("give-back of %u for CQ %u: no such CQ", count, cq_id);
    return;
  }
  std::uint32_t limit = cq->spec.entries - 1;
  if (count > limit - cq->credits) {
    // More back than the ring can hold: the host has lost track of its
    // Head. Never let the adapter overwrite entries the host has not read.
    ++faults_.bad_give_backs;
    log_("CQ %u: give-back of %u exceeds the ring (credits %u of %u)", cq_id, count, cq->credits, limit);
    count = limit - cq->credits;
  }
  cq->credits += count;
  cq->outstanding -= std::min(count, cq->outstanding);
  if (cq->outstanding == 0) cq->solicited_outstanding = false;
  if (count > 0) cq->error_reported = false;
}

void QueueSet::arm(std::uint32_t cq_id, bool solicited_only) {
  std::lock_guard lock(mu_);
  CompletionQueue* cq = this->cq(cq_id);
  if (cq == nullptr) {
    ++faults_.stray_doorbells;
    log_("arm of CQ %u: no such CQ", cq_id);
    return;
  }
  cq->armed = true;
  cq->solicited_only = solicited_only;
  // Entries the host has not given back yet may have arrived after its last
  // look: report them now, or they would wait for a completion that may
  // never come (the CCQ processing stops after a bounded batch and relies on
  // this).
  if (cq->outstanding > 0 && (!solicited_only || cq->solicited_outstanding)) notify(*cq);
}

void QueueSet::notify(CompletionQueue& cq) {
  CompletionEventQueue* ceq = this->ceq(cq.spec.ceq_id);
  if (ceq == nullptr) {
    // The CQ stays armed: its next completion tries again.
    ++faults_.lost_events;
    log_("CEQE for CQ %u dropped: CEQ %u does not exist", cq.spec.id, cq.spec.ceq_id);
    return;
  }
  std::uint64_t pa = ceq->ring_pa + std::uint64_t{ceq->producer} * sizeof(zekhw::MifhCeqe);
  auto current = dma_.read_u64(pa, "CEQE");
  if (!current) return;
  if ((*current & zekhw::kCeqeValid) != 0) {
    // The host has not consumed this slot. Keep the CQ armed so a later
    // completion notifies again, and interrupt so the host drains the CEQ.
    ++faults_.ceq_overflows;
    log_("CEQ %u overflow at slot %u (CQ %u)", ceq->id, ceq->producer, cq.spec.id);
    raise_(ceq->function, zekhw::intr_ceq_bit(ceq->id));
    return;
  }
  if (!dma_.write_u64(pa, zekhw::ceqe_value(cq.spec.object_shifted), "CEQE")) return;
  ceq->producer = (ceq->producer + 1) % ceq->entries;
  cq.armed = false;
  raise_(ceq->function, zekhw::intr_ceq_bit(ceq->id));
}

void QueueSet::report_cq_error(CompletionQueue& cq) {
  if (cq.error_reported) return;  // once until the host gives credits back
  cq.error_reported = true;
  AsyncEvent event;
  event.context = cq.spec.object_shifted << 1;
  event.object_id = cq.spec.id;
  event.fields.event_id = zekhw::kAeCqError;
  event.fields.cq = true;
  post_async_event(cq.spec.function, event);
}

void QueueSet::create_aeq(unsigned function, std::uint32_t entries, std::uint64_t ring_pa) {
  std::lock_guard lock(mu_);
  aeqs_[function] = AsyncEventQueue{entries, ring_pa, 0, entries};
}

bool QueueSet::post_async_event(unsigned function, const AsyncEvent& event) {
  std::lock_guard lock(mu_);
  AsyncEventQueue* aeq = this->aeq(function);
  if (aeq == nullptr) {
    ++faults_.lost_events;
    log_("asynchronous event %u for object %u dropped: function %u has no AEQ", event.fields.event_id, event.object_id,
         function);
    return false;
  }
  std::uint64_t pa = aeq->ring_pa + std::uint64_t{aeq->producer} * sizeof(zekhw::MifhAeqe);
  if (aeq->credits == 0) {
    ++faults_.aeq_overflows;
    log_("AEQ of function %u full: event %u dropped", function, event.fields.event_id);
    return false;
  }
  auto info = dma_.read_u32(pa + offsetof(zekhw::MifhAeqe, info), "AEQE");
  if (!info) return false;
  if ((*info & zekhw::kAeqeValid) != 0) {
    ++faults_.aeq_overflows;
    log_("AEQ of function %u: slot %u still valid, event %u dropped", function, aeq->producer, event.fields.event_id);
    return false;
  }
  zekhw::MifhAeqe entry{event.context, event.object_id & zekhw::kAeqeObjectMask, zekhw::aeqe_info(event.fields)};
  if (!dma_.write_entry(pa, std::as_bytes(std::span(&entry, 1)), "AEQE")) return false;
  aeq->producer = (aeq->producer + 1) % aeq->entries;
  --aeq->credits;
  raise_(function, zekhw::intr_aeq_bit(function));
  return true;
}

void QueueSet::acknowledge_aeq(unsigned function, std::uint32_t count) {
  std::lock_guard lock(mu_);
  AsyncEventQueue* aeq = this->aeq(function);
  if (aeq == nullptr) {
    ++faults_.stray_doorbells;
    log_("AEQ acknowledge of %u on function %u: no AEQ", count, function);
    return;
  }
  if (count > aeq->entries - aeq->credits) {
    ++faults_.bad_give_backs;
    log_("AEQ of function %u: acknowledge of %u exceeds the events outstanding", function, count);
    count = aeq->entries - aeq->credits;
  }
  aeq->credits += count;
}

}  // namespace zeksim
