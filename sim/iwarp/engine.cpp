#include "sim/iwarp/engine.h"

#include <cstring>
#include <vector>

namespace zeksim {

namespace {

std::uint64_t tuple_key(std::uint32_t remote_ip, std::uint16_t remote_port, std::uint16_t local_port) {
  return std::uint64_t{remote_ip} << 32 | std::uint64_t{remote_port} << 16 | local_port;
}

}  // namespace

// One queue pair's view of the board: its function's AEQ, the shared STag table.
class IwarpEngine::Host final : public IwarpHost {
 public:
  Host(IwarpEngine& engine, unsigned function) : engine_(engine), function_(function) {}
  bool dma_read(std::uint64_t pa, std::span<std::byte> out) override { return engine_.board_.dma_read(pa, out); }
  bool dma_write(std::uint64_t pa, std::span<const std::byte> in) override { return engine_.board_.dma_write(pa, in); }
  void complete(std::uint32_t cq_id, const zekhw::MifhCqe& cqe, bool solicited) override {
    engine_.board_.complete(cq_id, std::as_bytes(std::span(&cqe, 1)), solicited);
  }
  void async_event(std::uint32_t qp_id, std::uint64_t qp_object, const Event& e) override {
    zekhw::AeqeFields f;
    f.event_id = e.id;
    f.qp = true;
    f.sq = e.sq;
    f.inbound_rdma = e.inbound;
    f.iwarp_state = e.iwarp_state;
    f.tcp_state = e.tcp_state;
    engine_.board_.async_event(function_, (qp_object & ~zekhw::kAeqeReasonMask) | (e.reason & zekhw::kAeqeReasonMask),
                               qp_id, f);
  }
  StagTable& stags() override { return engine_.stags_; }

 private:
  IwarpEngine& engine_;
  unsigned function_;
};

IwarpEngine::IwarpEngine(EngineBoard& board, const TcpTuning& tuning) : board_(board), tuning_(tuning) {}

IwarpEngine::~IwarpEngine() = default;

void IwarpEngine::set_arp(std::uint16_t index, std::optional<net::Mac> mac) {
  if (mac) {
    arp_[index] = *mac;
  } else {
    arp_.erase(index);
  }
}

std::optional<net::Mac> IwarpEngine::arp(std::uint16_t index) const {
  const auto it = arp_.find(index);
  if (it == arp_.end()) return std::nullopt;
  return it->second;
}

void IwarpEngine::set_local_address(std::uint8_t index, std::optional<std::uint32_t> address) {
  if (address) {
    local_addresses_[index] = *address;
  } else {
    local_addresses_.erase(index);
  }
}

void IwarpEngine::set_local_mac(unsigned function, const net::Mac& mac) { local_macs_[function] = mac; }

AdapterAddressTables IwarpEngine::tables(unsigned function) const {
  AdapterAddressTables t;
  t.arp = [this](std::uint16_t i) -> std::optional<net::Mac> {
    auto it = arp_.find(i);
    if (it == arp_.end()) return std::nullopt;
    return it->second;
  };
  t.local_address = [this](std::uint8_t i) -> std::optional<std::uint32_t> {
    auto it = local_addresses_.find(i);
    if (it == local_addresses_.end()) return std::nullopt;
    return it->second;
  };
  auto mac = local_macs_.find(function);
  if (mac != local_macs_.end()) t.local_mac = mac->second;
  return t;
}

bool IwarpEngine::create_qp(unsigned function, const IwarpQpSetup& setup) {
  if (qps_.contains(setup.id)) return false;
  Slot& s = qps_[setup.id];
  s.function = function;
  s.host = std::make_unique<Host>(*this, function);
  s.iwarp = std::make_unique<IwarpQp>(*s.host, tuning_, setup);
  return true;
}

bool IwarpEngine::create_toe_qp(unsigned function, const ToeQpSetup& setup) {
  if (qps_.contains(setup.id)) return false;
  Slot& s = qps_[setup.id];
  s.function = function;
  s.host = std::make_unique<Host>(*this, function);
  s.toe = std::make_unique<ToeQp>(*s.host, tuning_, setup);
  return true;
}

IwarpQp* IwarpEngine::iwarp_qp(std::uint32_t id) {
  auto it = qps_.find(id);
  return it == qps_.end() ? nullptr : it->second.iwarp.get();
}

void IwarpEngine::publish_hash(std::uint32_t index) {
  const auto& users = hash_users_[index];
  if (std::uint64_t{index} * 16 + 16 > kHashChainBase) return;  // beyond the table: looked up, not published
  std::uint32_t table[kHashEntryWords] = {};
  for (std::size_t k = 0; k < users.size(); ++k) {
    const Slot& s = qps_.at(users[k]);
    std::uint32_t e[kHashEntryWords] = {};
    if (k + 1 < users.size()) {
      const auto& next = qps_.at(users[k + 1]).chain_slot;
      if (next) e[0] = (*next & 0x3FFFF) | kHashNextValid;
    }
    e[1] = (users[k] & 0x3FFFF) << 8;
    e[2] = s.tuple->src_ip;
    e[3] = std::uint32_t{s.tuple->dst_port} << 16 | s.tuple->src_port;
    if (k == 0) {
      std::memcpy(table, e, sizeof e);
    } else if (s.chain_slot) {
      board_.write_local(kHashChainBase + 16 * *s.chain_slot, std::as_bytes(std::span(e)));
    }
  }
  board_.write_local(kHashTableBase + 16 * index, std::as_bytes(std::span(table)));
}

void IwarpEngine::connect_tuple(std::uint32_t id, Slot& slot, const TcpEndpoints& ep, std::uint32_t hash_index) {
  // Frames from the peer carry the peer as source.
  slot.tuple = net::FourTuple{ep.remote_ip, ep.local_ip, ep.remote_port, ep.local_port};
  by_tuple_[tuple_key(ep.remote_ip, ep.remote_port, ep.local_port)] = id;
  slot.hash_index = hash_index;
  auto& users = hash_users_[hash_index];
  if (!users.empty()) {
    for (std::uint32_t i = 0; i < kHashChainEntries; ++i) {
      if (!chain_used_[i]) {
        chain_used_[i] = true;
        slot.chain_slot = i;
        break;
      }
    }
  }
  users.push_back(id);
  publish_hash(hash_index);
}

void IwarpEngine::disconnect_tuple(Slot& slot) {
  if (!slot.tuple) return;
  by_tuple_.erase(tuple_key(slot.tuple->src_ip, slot.tuple->src_port, slot.tuple->dst_port));
  if (slot.hash_index) {
    auto& users = hash_users_[*slot.hash_index];
    for (auto it = users.begin(); it != users.end(); ++it) {
      if (&qps_.at(*it) == &slot) {
        users.erase(it);
        break;
      }
    }
    if (slot.chain_slot) chain_used_[*slot.chain_slot] = false;
    // The first of the chain moves into the table entry and frees its chain slot.
    if (!users.empty()) {
      Slot& first = qps_.at(users.front());
      if (first.chain_slot) {
        chain_used_[*first.chain_slot] = false;
        first.chain_slot.reset();
      }
    }
    publish_hash(*slot.hash_index);
    if (users.empty()) hash_users_.erase(*slot.hash_index);
  }
  slot.tuple.reset();
  slot.hash_index.reset();
  slot.chain_slot.reset();
}

bool IwarpEngine::modify(std::uint32_t id, std::uint8_t next_state, const zekhw::MifhIwarpQpContext& context, Nanos now,
                         std::string* why) {
  auto it = qps_.find(id);
  if (it == qps_.end() || !it->second.iwarp) {
    *why = "no iWARP queue pair " + std::to_string(id);
    return false;
  }
  Slot& slot = it->second;
  IwarpQp& qp = *slot.iwarp;
  switch (next_state) {
    case zekhw::kQpRts: {
      if (qp.state() == zekhw::kQpRts) break;  // attributes only
      if (qp.state() != zekhw::kQpIdle || slot.tuple) {
        *why = "queue pair " + std::to_string(id) + " is not idle";
        return false;
      }
      auto offload = decode_offload_context(context, tables(slot.function), why);
      if (!offload) return false;
      const std::uint32_t hash_index = zekhw::unpack_offload_connection(context.conn).hash_index;
      if (by_tuple_.contains(
              tuple_key(offload->endpoints.remote_ip, offload->endpoints.remote_port, offload->endpoints.local_port))) {
        *why = "the connection is already offloaded";
        return false;
      }
      qp.go_rts(*offload, now);
      connect_tuple(id, slot, offload->endpoints, hash_index);
      break;
    }
    case zekhw::kQpClosing:
      qp.close(now, board_.port());
      break;
    case zekhw::kQpTerminate:
    case zekhw::kQpError:
      qp.to_error(next_state, now, board_.port());
      break;
    default:
      break;
  }
  after(id, slot);
  return true;
}

bool IwarpEngine::connect_toe(std::uint32_t id, const zekhw::MifhIwarpQpContext& context, Nanos now, std::string* why) {
  auto it = qps_.find(id);
  if (it == qps_.end() || !it->second.toe) {
    *why = "no TOE queue pair " + std::to_string(id);
    return false;
  }
  Slot& slot = it->second;
  auto offload = decode_offload_context(context, tables(slot.function), why);
  if (!offload) return false;
  slot.toe->connect(offload->endpoints, offload->tcp, now);
  connect_tuple(id, slot, offload->endpoints, zekhw::unpack_offload_connection(context.conn).hash_index);
  after(id, slot);
  return true;
}

void IwarpEngine::flush(std::uint32_t id, bool sq, bool rq) {
  auto it = qps_.find(id);
  if (it == qps_.end() || !it->second.iwarp) return;
  it->second.iwarp->flush(sq, rq);
  after(id, it->second);
}

void IwarpEngine::destroy(std::uint32_t id, Nanos now) {
  auto it = qps_.find(id);
  if (it == qps_.end()) return;
  Slot& slot = it->second;
  if (slot.iwarp) slot.iwarp->to_error(zekhw::kQpError, now, board_.port());
  if (slot.toe) slot.toe->abort(now, board_.port());
  disconnect_tuple(slot);
  ready_.erase(id);
  timers_.cancel(id);
  qps_.erase(it);
}

void IwarpEngine::doorbell(std::uint32_t id, bool sq, std::uint32_t count) {
  auto it = qps_.find(id);
  if (it == qps_.end()) return;
  Slot& slot = it->second;
  if (slot.iwarp) {
    if (sq) {
      slot.iwarp->sq_doorbell(count);
    } else {
      slot.iwarp->rq_doorbell(count);
    }
  } else if (slot.toe) {
    if (sq) {
      slot.toe->sq_doorbell(count);
    } else {
      slot.toe->rq_doorbell(count);
    }
  }
  ready_.insert(id);
}

bool IwarpEngine::receive_frame(std::span<const std::byte> frame, Nanos now) {
  const auto t = net::peek_four_tuple(frame);
  if (!t) return false;
  auto found = by_tuple_.find(tuple_key(t->src_ip, t->src_port, t->dst_port));
  if (found == by_tuple_.end()) return false;
  Slot& slot = qps_.at(found->second);
  if (!slot.tuple || slot.tuple->dst_ip != t->dst_ip) return false;
  ++counters_.frames_taken;
  net::ParsedTcpFrame p;
  if (net::parse_tcp_frame(frame, &p) != net::ParseResult::Ok) {
    ++counters_.frames_damaged;
    return true;
  }
  if (slot.iwarp) slot.iwarp->on_segment(p, now, board_.port());
  if (slot.toe) slot.toe->on_segment(p, now, board_.port());
  after(found->second, slot);
  return true;
}

void IwarpEngine::after(std::uint32_t id, Slot& slot) {
  const std::optional<Nanos> deadline = slot.iwarp ? slot.iwarp->next_deadline() : slot.toe->next_deadline();
  if (deadline) {
    if (timers_.deadline(id) != deadline) timers_.arm(id, *deadline);
  } else {
    timers_.cancel(id);
  }
  const bool work = slot.iwarp ? slot.iwarp->has_work() : slot.toe->has_work();
  if (work) {
    ready_.insert(id);
  } else {
    ready_.erase(id);
  }
  // A connection that has ended leaves the lookup (and the published hash).
  const TcpConnection* tcp = slot.iwarp ? slot.iwarp->tcp() : slot.toe->tcp();
  if (slot.tuple && tcp != nullptr && tcp->phase() == TcpPhase::Closed) disconnect_tuple(slot);
}

bool IwarpEngine::turn(Nanos now, unsigned budget) {
  ++counters_.turns;
  for (std::uint32_t id : timers_.expire(now)) {
    auto it = qps_.find(id);
    if (it == qps_.end()) continue;
    if (it->second.iwarp) it->second.iwarp->on_timer(now, board_.port());
    if (it->second.toe) it->second.toe->on_timer(now, board_.port());
    after(id, it->second);
  }
  const std::vector<std::uint32_t> ready(ready_.begin(), ready_.end());
  for (std::uint32_t id : ready) {
    auto it = qps_.find(id);
    if (it == qps_.end()) {
      ready_.erase(id);
      continue;
    }
    ++counters_.qp_runs;
    if (it->second.iwarp) it->second.iwarp->run(now, board_.port(), budget);
    if (it->second.toe) it->second.toe->run(now, board_.port(), budget);
    after(id, it->second);
  }
  return !ready_.empty();
}

}  // namespace zeksim
