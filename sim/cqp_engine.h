// The control queue-pair engine. A CQP comes into being when the host writes
// the low half of its host-context address (indexed register 8F); its
// 64-byte requests are then carried out strictly in ring order as doorbells
// announce them, each answered by exactly one entry in the CQP's control
// completion queue (CCQ), except the requests that create or destroy the CCQ
// and the one that destroys the CQP itself.
//
// The CCQ of a CQP is the first completion queue that the CQP creates.
// Not thread-safe by itself: the board calls it under its lock.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>

#include "include/hw/cqp.h"
#include "sim/counters.h"
#include "sim/dma.h"
#include "sim/iwarp/engine.h"
#include "sim/local_memory.h"
#include "sim/log.h"
#include "sim/qp_table.h"
#include "sim/queue_status.h"
#include "sim/queues.h"

namespace zeksim {

struct ControlQueuePair {
  unsigned id = 0;
  unsigned function = 0;
  std::uint64_t ring_pa = 0;
  std::uint32_t size = 0;
  std::uint32_t consumer = 0;  // next request the adapter reads
  std::uint32_t posted = 0;    // announced by doorbells, not yet read
  std::optional<std::uint32_t> ccq_id;
};

class CqpEngine {
 public:
  CqpEngine(DmaPort& dma, QueueSet& queues, QueueStatus& status, QueuePairTable& qps, LocalMemory& local,
            const Log& log, LiveFaultCounters& faults, unsigned functions)
      : dma_(dma),
        queues_(queues),
        status_(status),
        qps_(qps),
        local_(local),
        log_(log),
        faults_(faults),
        functions_(functions) {}

  // The offload engine that carries iWARP and TOE queue pairs and STags;
  // `now` is the engine's clock; `addresses` refreshes the engine's address
  // tables from the registers before a hand-over.
  void attach_offload(IwarpEngine* engine, std::function<Nanos()> now,
                      std::function<void(unsigned function)> addresses) {
    offload_ = engine;
    now_ = std::move(now);
    addresses_ = std::move(addresses);
  }

  // Register side (no DMA here: the work is queued for step()).
  void request_create(unsigned function, std::uint64_t context_pa);
  void doorbell(unsigned cqp_id, std::uint32_t count);

  bool has_work() const { return !work_.empty(); }
  // Carries out one creation or one request; false when there was nothing to do.
  bool step();

  const ControlQueuePair* cqp(unsigned id) const { return id < cqps_.size() && cqps_[id] ? &*cqps_[id] : nullptr; }

 private:
  struct Work {
    enum class Kind { Create, Run } kind;
    unsigned id;           // function (Create) or CQP id (Run)
    std::uint64_t pa = 0;  // host context (Create)
  };

  // What a request did: its CCQ entry's codes and result, or no entry.
  struct Outcome {
    std::uint16_t minor = zekhw::kCcqOk;
    std::uint32_t result = 0;
    bool completes = true;
    bool destroys_cqp = false;
    std::optional<std::uint32_t> codes;  // codes of a successful entry (STag query)
  };
  using Handler = Outcome (CqpEngine::*)(ControlQueuePair&, const zekhw::MifhCqpWqe&);
  struct OpEntry {
    std::uint8_t op;
    Handler handler;
    const char* name;
  };
  static const OpEntry kOps[];

  void create(unsigned function, std::uint64_t context_pa);
  void run_one(ControlQueuePair& cqp);
  void complete(ControlQueuePair& cqp, const zekhw::MifhCqpWqe& wqe, const Outcome& outcome);
  void schedule(unsigned cqp_id);
  void drop_ccq(ControlQueuePair& cqp);
  bool cqp_on_function(unsigned function) const;

  Outcome op_nop(ControlQueuePair&, const zekhw::MifhCqpWqe&);
  Outcome op_destroy_qp(ControlQueuePair&, const zekhw::MifhCqpWqe&);
  // Queue-pair requests (cqp_qp_ops.cpp).
  Outcome op_create_qp(ControlQueuePair&, const zekhw::MifhCqpWqe&);
  Outcome op_modify_qp(ControlQueuePair&, const zekhw::MifhCqpWqe&);
  Outcome destroy_qp(ControlQueuePair&, const zekhw::MifhCqpWqe&, QpKind kind);
  Outcome op_upload_context(ControlQueuePair&, const zekhw::MifhCqpWqe&);
  Outcome op_lmi_access(ControlQueuePair&, const zekhw::MifhCqpWqe&);
  Outcome op_flush(ControlQueuePair&, const zekhw::MifhCqpWqe&);
  Outcome create_nic_qp(ControlQueuePair&, const zekhw::MifhCqpWqe&);
  Outcome create_iwarp_qp(ControlQueuePair&, const zekhw::MifhCqpWqe&);
  Outcome create_toe_qp(ControlQueuePair&, const zekhw::MifhCqpWqe&);
  // Reads a QP host context into qp (its rings checked); a minor code.
  std::uint16_t read_context(QueuePair& qp, std::uint64_t pa);
  // STag and address requests of the offload engine (cqp_iwarp_ops.cpp).
  Outcome op_allocate_stag(ControlQueuePair&, const zekhw::MifhCqpWqe&);
  Outcome op_register_mr(ControlQueuePair&, const zekhw::MifhCqpWqe&);
  Outcome op_query_stag(ControlQueuePair&, const zekhw::MifhCqpWqe&);
  Outcome op_register_shared(ControlQueuePair&, const zekhw::MifhCqpWqe&);
  Outcome op_deallocate_stag(ControlQueuePair&, const zekhw::MifhCqpWqe&);
  Outcome op_arp_cache(ControlQueuePair&, const zekhw::MifhCqpWqe&);
  // Reads a registration's page list into entry (levels by the chunk count); a minor code.
  std::uint16_t read_page_list(const zekhw::MifhStagWqe& w, MemoryEntry& entry);
  // The iWARP context as the engine wants it, from a queue pair's image.
  IwarpQpSetup iwarp_setup(const QueuePair& qp) const;
  Outcome op_create_cq(ControlQueuePair&, const zekhw::MifhCqpWqe&);
  Outcome op_modify_cq(ControlQueuePair&, const zekhw::MifhCqpWqe&);
  Outcome op_destroy_cq(ControlQueuePair&, const zekhw::MifhCqpWqe&);
  Outcome op_create_ceq(ControlQueuePair&, const zekhw::MifhCqpWqe&);
  Outcome op_destroy_ceq(ControlQueuePair&, const zekhw::MifhCqpWqe&);
  Outcome op_create_aeq(ControlQueuePair&, const zekhw::MifhCqpWqe&);
  Outcome op_destroy_aeq(ControlQueuePair&, const zekhw::MifhCqpWqe&);
  // Checks common to create and modify CQ; fills spec on success.
  std::uint16_t parse_cq(const ControlQueuePair& cqp, const zekhw::MifhCqpWqe& wqe, CqSpec& spec);

  DmaPort& dma_;
  QueueSet& queues_;
  QueueStatus& status_;
  QueuePairTable& qps_;
  LocalMemory& local_;
  const Log& log_;
  LiveFaultCounters& faults_;
  const unsigned functions_;
  std::array<std::optional<ControlQueuePair>, zekhw::kMaxCqpId + 1> cqps_{};
  std::array<bool, zekhw::kMaxCqpId + 1> scheduled_{};
  std::deque<Work> work_;
  IwarpEngine* offload_ = nullptr;
  std::function<Nanos()> now_;
  std::function<void(unsigned)> addresses_;
};

}  // namespace zeksim
