// The control queue pair's requests for the offload engine: STag allocation,
// registration (contiguous, one- and two-level page lists, 4 KB or 2 MB
// pages), shared registration, query and deallocation, memory-window
// allocation, and the ARP cache. Page lists are copied into the adapter when
// registered: the host frees its copy after the completion.
#include <cstring>
#include <vector>

#include "include/hw/qp_context.h"
#include "include/hw/stag.h"
#include "sim/cqp_engine.h"

namespace zeksim {

using namespace zekhw;

namespace {

MifhStagWqe as_stag(const MifhCqpWqe& wqe) {
  MifhStagWqe w;
  std::memcpy(&w, &wqe, sizeof w);
  return w;
}

constexpr std::uint32_t kMaxPageListEntries = 524'288 + 4;  // the largest list the host builds, rounded to 4

}  // namespace

IwarpQpSetup CqpEngine::iwarp_setup(const QueuePair& qp) const {
  MifhIwarpQpContext c;
  std::memcpy(&c, qp.context.data(), sizeof c);
  IwarpQpSetup s;
  s.id = qp.id;
  s.pd = c.word39;
  s.qp_object = c.qp_object;
  s.sq_cq = c.sq_cq_id;
  s.rq_cq = c.rq_cq_id;
  s.sq_pa = qp.sq.ring_pa;
  s.rq_pa = qp.rq.ring_pa;
  s.sq_size = qp.sq.size;
  s.rq_size = qp.rq.size;
  s.sq_first = qp.sq.consumer;
  s.q2_pa = c.q2_pa;
  s.ord = c.word38 & 0xFF ? c.word38 & 0xFF : 8;
  s.ird = (c.word38 >> 8) & 0xFF ? (c.word38 >> 8) & 0xFF : 8;
  return s;
}

std::uint16_t CqpEngine::read_page_list(const MifhStagWqe& w, MemoryEntry& e) {
  e.page_bytes = (w.op_word & kStagLargePages) != 0 ? kLargePageBytes : 4096;
  if (w.chunk_count == 0) {
    // Contiguous: one run from the first page.
    e.pages = {w.pbl_pa};
    e.page_bytes = e.fbo + e.length + 1;
    return kCcqOk;
  }
  const std::uint32_t entries = w.pbl_bytes / 8;
  if (entries == 0 || entries > kMaxPageListEntries) return kCcqInvalidQueueSize;
  e.pages.resize(entries);
  if (w.chunk_count == 1) {
    if (!dma_.read(w.pbl_pa, std::as_writable_bytes(std::span(e.pages)), "page list")) return kCcqBackingState;
  } else {
    // Two levels: the root lists the chunks, each chunk a run of entries.
    const std::uint32_t per_chunk = (w.op_word & kStagChunk4K) != 0 ? 512 : 32;
    if (w.chunk_count > (entries + per_chunk - 1) / per_chunk + 1) return kCcqInvalidQueueSize;
    std::vector<std::uint64_t> root(w.chunk_count);
    if (!dma_.read(w.pbl_pa, std::as_writable_bytes(std::span(root)), "page-list root")) return kCcqBackingState;
    std::uint32_t at = 0;
    for (std::uint64_t chunk : root) {
      if (at == entries) break;
      const std::uint32_t n = std::min(per_chunk, entries - at);
      if (!dma_.read(chunk, std::as_writable_bytes(std::span(e.pages).subspan(at, n)), "page-list chunk")) {
        return kCcqBackingState;
      }
      at += n;
    }
    if (at != entries) return kCcqInvalidQueueSize;
  }
  // The list must cover the region.
  if (e.fbo + e.length > std::uint64_t{entries} * e.page_bytes) return kCcqInvalidQueueSize;
  return kCcqOk;
}

CqpEngine::Outcome CqpEngine::op_allocate_stag(ControlQueuePair&, const MifhCqpWqe& wqe) {
  if (offload_ == nullptr) return {kCcqUnsupported};
  const MifhStagWqe w = as_stag(wqe);
  const bool region = (w.op_word & kStagRegion) != 0;
  if (!offload_->stags().allocate(stag_index(w.stag), w.pd, !region, region ? w.pbl_bytes / 8 : 0)) {
    return {kCcqInvalidState};
  }
  return {};
}

CqpEngine::Outcome CqpEngine::op_register_mr(ControlQueuePair&, const MifhCqpWqe& wqe) {
  if (offload_ == nullptr) return {kCcqUnsupported};
  const MifhStagWqe w = as_stag(wqe);
  MemoryEntry e;
  e.pd = w.pd;
  e.key = stag_key(w.stag);
  e.access = (w.op_word >> kStagAccessShift) & kAccessMask;
  e.zero_based = (w.op_word & kStagNotZeroBased) == 0;
  e.length = w.length;
  e.va = e.zero_based ? 0 : w.va_or_fbo;
  const std::uint64_t page = (w.op_word & kStagLargePages) != 0 ? kLargePageBytes : 4096;
  e.fbo = e.zero_based ? w.va_or_fbo : w.va_or_fbo % page;
  if (std::uint16_t minor = read_page_list(w, e); minor != kCcqOk) return {minor};
  MemoryEntry* existing = offload_->stags().find(stag_index(w.stag));
  if (existing != nullptr && (existing->window || existing->valid)) return {kCcqInvalidState};
  if (!offload_->stags().register_region(stag_index(w.stag), std::move(e))) return {kCcqInvalidState};
  return {};
}

CqpEngine::Outcome CqpEngine::op_query_stag(ControlQueuePair&, const MifhCqpWqe& wqe) {
  if (offload_ == nullptr) return {kCcqUnsupported};
  const MifhStagWqe w = as_stag(wqe);
  const MemoryEntry* e = offload_->stags().find(stag_index(w.stag));
  Outcome o;
  o.codes = e == nullptr ? std::uint32_t{kStagQueryNone} << kCqeMajorShift
                         : std::uint32_t{e->key} << 8 | (e->valid ? 0u : 1u);
  return o;
}

CqpEngine::Outcome CqpEngine::op_register_shared(ControlQueuePair&, const MifhCqpWqe& wqe) {
  if (offload_ == nullptr) return {kCcqUnsupported};
  const MifhStagWqe w = as_stag(wqe);
  const MemoryEntry* source = offload_->stags().find(w.source_index);
  if (source == nullptr || source->window || !source->valid) return {kCcqInvalidState};
  MemoryEntry e = *source;
  e.pd = w.pd;
  e.key = stag_key(w.stag);
  e.access = (w.op_word >> kStagAccessShift) & kAccessMask;
  e.shared = true;
  e.bound_windows = 0;
  if ((w.op_word & kStagNotZeroBased) != 0) {
    e.zero_based = false;
    e.va = w.va_or_fbo;
  } else {
    e.zero_based = true;
    e.va = 0;
  }
  if (offload_->stags().find(stag_index(w.stag)) != nullptr) return {kCcqInvalidState};
  if (!offload_->stags().register_region(stag_index(w.stag), std::move(e))) return {kCcqInvalidState};
  return {};
}

CqpEngine::Outcome CqpEngine::op_deallocate_stag(ControlQueuePair&, const MifhCqpWqe& wqe) {
  if (offload_ == nullptr) return {kCcqUnsupported};
  const MifhStagWqe w = as_stag(wqe);
  const MemoryEntry* e = offload_->stags().find(stag_index(w.stag));
  if (e == nullptr) return {kCcqInvalidState};
  if (!e->window && e->bound_windows != 0) return {kCcqMemoryWindowBound};
  offload_->stags().deallocate(stag_index(w.stag));
  return {};
}

CqpEngine::Outcome CqpEngine::op_arp_cache(ControlQueuePair&, const MifhCqpWqe& wqe) {
  if (offload_ == nullptr) return {kCcqUnsupported};
  const std::uint32_t kind = wqe.op_word & 0x300;
  const std::uint32_t index = wqe.object_word;
  if (index >= kArpEntries) return {kCcqIdTooBig};
  if (kind == kArpDelete) {
    offload_->set_arp(static_cast<std::uint16_t>(index), std::nullopt);
    return {};
  }
  if (kind != kArpAdd) return {kCcqUnsupported};
  const auto low = static_cast<std::uint32_t>(wqe.physical_address);
  const auto high = static_cast<std::uint32_t>(wqe.physical_address >> 32);
  const net::Mac mac{static_cast<std::uint8_t>(high >> 8), static_cast<std::uint8_t>(high),
                     static_cast<std::uint8_t>(low >> 24), static_cast<std::uint8_t>(low >> 16),
                     static_cast<std::uint8_t>(low >> 8),  static_cast<std::uint8_t>(low)};
  offload_->set_arp(static_cast<std::uint16_t>(index), mac);
  return {};
}

}  // namespace zeksim
