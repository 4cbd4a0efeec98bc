// The adapter's offload engine: every iWARP and TOE queue pair, the STag
// table, the address tables frames are built from, the connection lookup
// for frames from the port, the timers, and a ready list of queue pairs
// with work, so that a turn serves only those. It does not know the board's
// registers: the board calls it for control requests, doorbells and frames,
// and it reaches the board only through EngineBoard.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

#include "include/hw/events.h"
#include "include/hw/qp_context.h"
#include "sim/iwarp/iwarp_qp.h"
#include "sim/iwarp/offload_context.h"
#include "sim/iwarp/toe_qp.h"

namespace zeksim {

// What the board gives the engine.
class EngineBoard {
 public:
  virtual ~EngineBoard() = default;
  virtual bool dma_read(std::uint64_t pa, std::span<std::byte> out) = 0;
  virtual bool dma_write(std::uint64_t pa, std::span<const std::byte> in) = 0;
  virtual void complete(std::uint32_t cq_id, std::span<const std::byte> entry, bool solicited) = 0;
  // An asynchronous event for the AEQ of `function`.
  virtual void async_event(unsigned function, std::uint64_t context, std::uint32_t object_id,
                           const zekhw::AeqeFields& fields) = 0;
  // The adapter's local memory (the connection hash lives there).
  virtual bool write_local(std::uint32_t address, std::span<const std::byte> bytes) = 0;
  // The port frames leave through.
  virtual FrameSink& port() = 0;
};

// The connection-hash table in local memory: 16-byte entries {word 0 bits
// 0-17 next chain entry, bit 18 next valid; word 1 bits 8-25 QP id; word 2
// remote IPv4 address; word 3 local port << 16 | remote port}, entry i at
// kHashTableBase + 16 i, chain entries from kHashChainBase.
inline constexpr std::uint32_t kHashTableBase = 0;
inline constexpr std::uint32_t kHashEntryWords = 4;
inline constexpr std::uint32_t kHashChainBase = 0x180000;
inline constexpr std::uint32_t kHashChainEntries = 0x8000;  // up to the end of the 2 MB local memory
inline constexpr std::uint32_t kHashNextValid = 1u << 18;

struct EngineCounters {
  std::uint64_t frames_taken = 0;    // frames of offloaded connections
  std::uint64_t frames_damaged = 0;  // of those, dropped for a bad checksum or form
  std::uint64_t turns = 0, qp_runs = 0;
};

class IwarpEngine {
 public:
  IwarpEngine(EngineBoard& board, const TcpTuning& tuning);
  ~IwarpEngine();

  StagTable& stags() { return stags_; }
  const EngineCounters& counters() const { return counters_; }

  // Address tables (the ARP cache request, the destination-IP registers, the MAC slots).
  void set_arp(std::uint16_t index, std::optional<net::Mac> mac);
  void set_local_address(std::uint8_t index, std::optional<std::uint32_t> address);
  void set_local_mac(unsigned function, const net::Mac& mac);
  std::optional<net::Mac> arp(std::uint16_t index) const;

  // Queue pairs.
  bool create_qp(unsigned function, const IwarpQpSetup& setup);
  bool create_toe_qp(unsigned function, const ToeQpSetup& setup);
  bool exists(std::uint32_t id) const { return qps_.contains(id); }
  // A modify with the context as re-read: to RTS with offload the engine
  // takes the connection; to closing, terminate or error it ends it. False
  // with the reason when the context cannot be carried out.
  bool modify(std::uint32_t id, std::uint8_t next_state, const zekhw::MifhIwarpQpContext& context, Nanos now,
              std::string* why);
  // TOE: the connection in the context's offload form.
  bool connect_toe(std::uint32_t id, const zekhw::MifhIwarpQpContext& context, Nanos now, std::string* why);
  void flush(std::uint32_t id, bool sq, bool rq);
  void destroy(std::uint32_t id, Nanos now);
  void doorbell(std::uint32_t id, bool sq, std::uint32_t count);

  // A frame from the port: true when it belongs to an offloaded connection
  // (taken, or dropped as damaged); false leaves it to the NIC path.
  bool receive_frame(std::span<const std::byte> frame, Nanos now);

  // One turn: due timers, then queue pairs on the ready list (each up to
  // `budget` requests). True when work is left.
  bool turn(Nanos now, unsigned budget);
  bool has_work() const { return !ready_.empty(); }
  std::optional<Nanos> next_deadline() const { return timers_.next(); }
  std::size_t queue_pairs() const { return qps_.size(); }
  IwarpQp* iwarp_qp(std::uint32_t id);

 private:
  class Host;
  struct Slot {
    unsigned function = 0;
    std::unique_ptr<Host> host;
    std::unique_ptr<IwarpQp> iwarp;
    std::unique_ptr<ToeQp> toe;
    std::optional<net::FourTuple> tuple;  // as frames from the peer carry it
    std::optional<std::uint32_t> hash_index;
    std::optional<std::uint32_t> chain_slot;
  };

  void after(std::uint32_t id, Slot& slot);  // re-arm timers, ready list
  void connect_tuple(std::uint32_t id, Slot& slot, const TcpEndpoints& ep, std::uint32_t hash_index);
  void disconnect_tuple(Slot& slot);
  void publish_hash(std::uint32_t index);
  AdapterAddressTables tables(unsigned function) const;

  EngineBoard& board_;
  TcpTuning tuning_;
  StagTable stags_;
  EngineCounters counters_;
  std::map<std::uint32_t, Slot> qps_;
  std::unordered_map<std::uint64_t, std::uint32_t> by_tuple_;
  std::map<std::uint32_t, std::vector<std::uint32_t>> hash_users_;  // hash index -> QP ids in chain order
  std::vector<bool> chain_used_ = std::vector<bool>(kHashChainEntries);
  std::set<std::uint32_t> ready_;
  TimerQueue<std::uint32_t> timers_;
  std::unordered_map<std::uint16_t, net::Mac> arp_;
  std::unordered_map<std::uint8_t, std::uint32_t> local_addresses_;
  std::unordered_map<unsigned, net::Mac> local_macs_;
};

}  // namespace zeksim
