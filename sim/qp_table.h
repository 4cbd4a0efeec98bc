// The adapter's queue pairs: NIC queue pairs (ids 16-39, and id 1 for the
// multicast receive queue) and iWARP queue pairs (ids 40-262143), created,
// modified, flushed and destroyed through the control queue pair. Each keeps
// the host context the adapter last read, its rings and, per work queue, the
// adapter's consumer index, the work requests announced and not yet taken,
// and whether the queue still completes.
//
// Flush rule: a work queue completes at most one error. After an error, a
// flush, or a modify to closing or error, the adapter stops completing that
// queue's outstanding work requests; the drivers report them as flushed.
#pragma once

#include <array>
#include <cstdint>
#include <map>

#include "include/hw/nic.h"
#include "include/hw/qp_context.h"

namespace zeksim {

enum class QpKind { Nic, Iwarp, Toe };

// Whether a work queue is still carried out.
enum class QueueState {
  Active,
  Errored,  // completed one error; nothing more
  Flushed,  // stopped by a flush or a state change; nothing more
};

struct WorkQueue {
  std::uint64_t ring_pa = 0;
  std::uint32_t size = 0;      // work requests in the ring
  std::uint32_t consumer = 0;  // next request the adapter takes
  std::uint32_t posted = 0;    // announced, not yet taken
  QueueState state = QueueState::Active;
  std::uint64_t completed = 0;
  bool active() const { return state == QueueState::Active; }
};

struct QueuePair {
  std::uint32_t id = 0;
  QpKind kind = QpKind::Nic;
  unsigned function = 0;                                      // the function whose CQP created it
  std::uint64_t context_pa = 0;                               // host context (re-read at modify)
  std::array<std::uint8_t, zekhw::kIwarpCtxBytes> context{};  // as last read (NIC: 24 bytes used)
  std::uint8_t state = 0;                                     // iWARP: the state of the last create or modify
  std::uint32_t pd = 0;  // iWARP: its protection domain (context word 39 at creation)
  WorkQueue sq, rq;
  std::uint32_t cq_id = 0;  // NIC: the CQ its completions go to
};

class QueuePairTable {
 public:
  QueuePair* find(std::uint32_t id) {
    auto it = qps_.find(id);
    return it == qps_.end() ? nullptr : &it->second;
  }
  QueuePair& add(const QueuePair& qp) { return qps_[qp.id] = qp; }
  void remove(std::uint32_t id) { qps_.erase(id); }
  std::size_t size() const { return qps_.size(); }
  std::map<std::uint32_t, QueuePair>& all() { return qps_; }

 private:
  std::map<std::uint32_t, QueuePair> qps_;
};

}  // namespace zeksim
