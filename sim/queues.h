// The adapter's completion side: completion queues with their credits and
// arming, completion event queues, and the asynchronous event queue of each
// function. Every completion the adapter produces (control completions now,
// NIC and iWARP completions later) goes through post_completion(), so the
// credit, arm, CEQE and interrupt rules hold for all of them.
//
// Safe to call from several threads: the register side gives credits back,
// arms and acknowledges on the drivers' threads while the engines post. The
// set's own lock is held only for the entry writes of one call (a CQE, a
// CEQE, an AEQE), never across the engines' data transfers; it raises
// interrupts through `raise`, which must not come back into the set. The
// pointers cq(), ceq() and aeq() return are the engine thread's: only it
// creates and destroys queues.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <unordered_map>

#include "include/hw/cqp.h"
#include "include/hw/events.h"
#include "sim/counters.h"
#include "sim/dma.h"
#include "sim/log.h"

namespace zeksim {

struct CqSpec {
  std::uint32_t id = 0;
  std::uint32_t ceq_id = 0;
  std::uint32_t entries = 0;
  std::uint64_t ring_pa = 0;
  std::uint64_t object_shifted = 0;  // CQ object >> 1, returned in its CEQEs
  std::uint32_t parameter = 0;
  bool iwarp = false;
  unsigned function = 0;  // the function whose CQP created it
};

struct CompletionQueue {
  CqSpec spec;
  std::uint32_t producer = 0;     // next slot the adapter writes
  std::uint32_t credits = 0;      // slots the adapter may still fill
  std::uint32_t outstanding = 0;  // written and not yet given back
  bool armed = false;
  bool solicited_only = false;
  bool solicited_outstanding = false;  // a solicited or error entry is among the outstanding
  bool error_reported = false;         // an overrun was reported and no credit came back since
  std::optional<unsigned> ccq_of;      // the CQP whose control completions it takes
};

struct CompletionEventQueue {
  std::uint32_t id = 0;
  std::uint32_t entries = 0;
  std::uint64_t ring_pa = 0;
  unsigned function = 0;
  std::uint32_t producer = 0;
};

struct AsyncEventQueue {
  std::uint32_t entries = 0;
  std::uint64_t ring_pa = 0;
  std::uint32_t producer = 0;
  std::uint32_t credits = 0;
};

struct AsyncEvent {
  std::uint64_t context = 0;
  std::uint32_t object_id = 0;
  zekhw::AeqeFields fields{};
};

enum class PostResult {
  Written,   // the entry is in the ring
  Overrun,   // no credit: dropped, reported as an asynchronous event
  NoQueue,   // no such CQ: dropped
  DmaFault,  // the ring could not be written: dropped, reported as an asynchronous event
};

class QueueSet {
 public:
  // raise(function, cause bits) sets interrupt causes on a function.
  QueueSet(DmaPort& dma, const Log& log, LiveFaultCounters& faults, std::function<void(unsigned, std::uint32_t)> raise)
      : dma_(dma), log_(log), faults_(faults), raise_(std::move(raise)) {}

  // Completion queues. The caller has validated the CqSpec.
  CompletionQueue* cq(std::uint32_t id) const;
  CompletionQueue& create_cq(const CqSpec& spec);
  void modify_cq(CompletionQueue& cq, const CqSpec& spec);
  void destroy_cq(std::uint32_t id);
  std::size_t cq_count() const { return cqs_.size(); }

  // Writes one entry (16 or 32 bytes, valid bit in its last word) into the
  // CQ; solicited marks a solicited or error completion.
  PostResult post_completion(std::uint32_t cq_id, std::span<const std::byte> entry, bool solicited);
  // The two halves of a 0x44 write: give back count slots, then arm.
  void give_back(std::uint32_t cq_id, std::uint32_t count);
  void arm(std::uint32_t cq_id, bool solicited_only);

  // Completion event queues.
  CompletionEventQueue* ceq(std::uint32_t id) {
    std::lock_guard lock(mu_);
    return id < ceqs_.size() && ceqs_[id] ? &*ceqs_[id] : nullptr;
  }
  void create_ceq(const CompletionEventQueue& ceq) {
    std::lock_guard lock(mu_);
    ceqs_[ceq.id] = ceq;
  }
  void destroy_ceq(std::uint32_t id) {
    std::lock_guard lock(mu_);
    ceqs_[id].reset();
  }

  // Asynchronous event queues, one per function.
  AsyncEventQueue* aeq(unsigned function) {
    std::lock_guard lock(mu_);
    return function < aeqs_.size() && aeqs_[function] ? &*aeqs_[function] : nullptr;
  }
  void create_aeq(unsigned function, std::uint32_t entries, std::uint64_t ring_pa);
  void destroy_aeq(unsigned function) {
    std::lock_guard lock(mu_);
    aeqs_[function].reset();
  }
  bool post_async_event(unsigned function, const AsyncEvent& event);
  void acknowledge_aeq(unsigned function, std::uint32_t count);

 private:
  void notify(CompletionQueue& cq);
  void report_cq_error(CompletionQueue& cq);

  DmaPort& dma_;
  const Log& log_;
  LiveFaultCounters& faults_;
  std::function<void(unsigned, std::uint32_t)> raise_;
  mutable std::recursive_mutex mu_;  // recursive: a post may report an overrun as an event
  std::unordered_map<std::uint32_t, CompletionQueue> cqs_;
  std::array<std::optional<CompletionEventQueue>, zekhw::kMaxCeqs> ceqs_{};
  std::array<std::optional<AsyncEventQueue>, zekhw::kMaxAeqs> aeqs_{};
};

}  // namespace zeksim
