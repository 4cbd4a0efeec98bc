#include "sim/board.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "include/hw/cqp.h"
#include "include/hw/pci.h"
#include "include/hw/registers.h"

namespace zeksim {

using namespace zekhw;

namespace {

std::uint32_t doorbell_window_bytes(const BoardConfig& config) {
  return std::bit_ceil(std::max(config.doorbell_pages, 1u) * kDoorbellPageBytes);
}

// Offsets of the three BARs within a function's block of address space, each
// aligned to its own size.
struct Layout {
  std::uint64_t block;
  std::uint64_t offset[3];
};

Layout layout(const BoardConfig& config) {
  std::uint64_t db = doorbell_window_bytes(config);
  std::uint64_t db_offset = std::max<std::uint64_t>(db, 2 * kRegisterWindowBytes);
  return Layout{db_offset + db, {0, db_offset, kRegisterWindowBytes}};
}

}  // namespace

class Board::OffloadSide final : public EngineBoard, public FrameSink {
 public:
  explicit OffloadSide(Board& board) : b_(board) {}
  bool dma_read(std::uint64_t pa, std::span<std::byte> out) override { return b_.dma_.read(pa, out, "offload"); }
  bool dma_write(std::uint64_t pa, std::span<const std::byte> in) override { return b_.dma_.write(pa, in, "offload"); }
  void complete(std::uint32_t cq_id, std::span<const std::byte> entry, bool solicited) override {
    b_.queues_.post_completion(cq_id, entry, solicited);
  }
  void async_event(unsigned function, std::uint64_t context, std::uint32_t object_id,
                   const zekhw::AeqeFields& fields) override {
    b_.queues_.post_async_event(function, AsyncEvent{context, object_id, fields});
  }
  bool write_local(std::uint32_t address, std::span<const std::byte> bytes) override {
    if (!b_.local_.contains(address, bytes.size())) return false;
    std::memcpy(b_.local_.range(address, static_cast<std::uint32_t>(bytes.size())).data(), bytes.data(), bytes.size());
    return true;
  }
  FrameSink& port() override { return *this; }
  std::span<std::byte> frame(std::size_t bytes) override {
    if (b_.port_ == nullptr || !b_.port_->has_room()) return {};
    frame_.resize(bytes);
    return frame_;
  }
  void commit() override {
    if (b_.port_ != nullptr) b_.port_->transmit(frame_);
  }

 private:
  Board& b_;
  Bytes frame_;
};

Board::Board(plat::PhysicalMemory& memory, BoardConfig config)
    : memory_(memory),
      config_([&] {
        config.functions = std::clamp(config.functions, 1u, kMaxFunctions);
        config.port_mode &= 3;
        return config;
      }()),
      log_(config_.log),
      registers_(*this, config_, log_, faults_),
      dma_(memory_, log_, faults_),
      queues_(dma_, log_, faults_, [this](unsigned f, std::uint32_t bits) { raise(f, bits); }),
      cqp_(dma_, queues_, status_, qps_, local_, log_, faults_, config_.functions),
      nic_(dma_, queues_, qps_, log_, faults_,
           [this] {
             return FilterRegisters::read(
                 [this](std::uint32_t index) { return registers_.kept(Space::Indexed, 0, index); });
           }),
      pairs_(config_.index_race_check),
      mdio_(config_),
      carrier_(config_.carrier) {
  eeprom_ = std::make_unique<Eeprom>(config_.storage.empty() ? std::string() : config_.storage + ".eeprom",
                                     default_eeprom_image(config_), config_.timing, log_);
  flash_ = std::make_unique<SpiFlash>(config_.storage.empty() ? std::string() : config_.storage + ".flash",
                                      config_.timing, log_);
  offload_side_ = std::make_unique<OffloadSide>(*this);
  offload_ = std::make_unique<IwarpEngine>(*offload_side_, config_.tcp);
  cqp_.attach_offload(
      offload_.get(), [this] { return engine_now(); }, [this](unsigned f) { refresh_offload_addresses(f); });
  Layout l = layout(config_);
  functions_.resize(config_.functions);
  for (unsigned f = 0; f < config_.functions; ++f) {
    PciConfigSpace::Identity id;
    id.function = f;
    id.multi_function = config_.functions > 1;
    id.revision = config_.chip_revision;
    for (unsigned b = 0; b < 3; ++b) {
      id.bar_address[b] = config_.window_base + f * l.block + l.offset[b];
      id.bar_bytes[b] = window_bytes(static_cast<Window>(b));
    }
    functions_[f].pci = std::make_unique<PciConfigSpace>(id);
    for (unsigned w = 0; w < 3; ++w) {
      functions_[f].handlers.push_back(std::make_unique<WindowHandler>(*this, f, static_cast<Window>(w)));
    }
  }
}

Board::~Board() { stop(); }

// ---------------------------------------------------------------------------
// Bus side

std::uint32_t Board::pci_read(unsigned function, std::uint32_t offset) {
  std::lock_guard lock(mu_);
  if (function >= functions_.size()) return 0xFFFF'FFFF;  // no such function: the bus reads all ones
  // The EEPROM's second path; every function reaches the board's one EEPROM.
  if ((offset & ~3u) == kPciCfgEepromAddress) return eeprom_->read_pci_command(engine_now());
  if ((offset & ~3u) == kPciCfgEepromData) return eeprom_->read_pci_data(engine_now());
  return functions_[function].pci->read32(offset);
}

void Board::pci_write(unsigned function, std::uint32_t offset, std::uint32_t value) {
  std::lock_guard lock(mu_);
  if (function >= functions_.size()) return;
  if ((offset & ~3u) == kPciCfgEepromAddress) return eeprom_->write_pci_command(value, engine_now());
  if ((offset & ~3u) == kPciCfgEepromData) return eeprom_->write_pci_data(value);
  functions_[function].pci->write32(offset, value);
}

std::uint64_t Board::window_address(unsigned function, Window window) {
  std::lock_guard lock(mu_);
  return functions_.at(function).pci->bar_address(static_cast<unsigned>(window));
}

std::uint32_t Board::window_bytes(Window window) const {
  switch (window) {
    case Window::Registers:
      return kRegisterWindowBytes;
    case Window::Doorbells:
      return doorbell_window_bytes(config_);
    case Window::Config:
      return kConfigWindowBytes;
  }
  return 0;
}

plat::MmioHandler& Board::window_handler(unsigned function, Window window) {
  return *functions_.at(function).handlers.at(static_cast<unsigned>(window));
}

std::uint64_t Board::mmio_read(unsigned function, Window window, std::uint64_t offset, unsigned size) {
  std::uint32_t value = 0;
  {
    std::lock_guard lock(mu_);
    if (function >= functions_.size() || size != 4 || offset % 4 != 0 || offset >= window_bytes(window)) {
      ++faults_.bad_accesses;
      log_("read of %u bytes at offset 0x%llx of window %u of function %u refused", size,
           static_cast<unsigned long long>(offset), static_cast<unsigned>(window), function);
      return 0;
    }
    value = registers_.read(space_of(window), function, static_cast<std::uint32_t>(offset));
  }
  deliver_interrupts();
  return value;
}

void Board::mmio_write(unsigned function, Window window, std::uint64_t offset, std::uint64_t value, unsigned size) {
  {
    std::lock_guard lock(mu_);
    if (function >= functions_.size() || size != 4 || offset % 4 != 0 || offset >= window_bytes(window)) {
      ++faults_.bad_accesses;
      log_("write of %u bytes at offset 0x%llx of window %u of function %u refused", size,
           static_cast<unsigned long long>(offset), static_cast<unsigned>(window), function);
      return;
    }
    registers_.write(space_of(window), function, static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(value));
    if (has_work_locked()) work_cv_.notify_one();
  }
  deliver_interrupts();
}

// ---------------------------------------------------------------------------
// Register hooks: the register window

std::uint32_t Board::intr_cause(const RegisterAccess& a) { return functions_[a.function].interrupts.cause(); }

void Board::intr_cause_written(const RegisterAccess& a) {
  if (functions_[a.function].interrupts.write_cause(a.value)) pending_interrupts_.push_back(a.function);
}

std::uint32_t Board::intr_mask(const RegisterAccess& a) { return functions_[a.function].interrupts.mask(); }

void Board::intr_mask_written(const RegisterAccess& a) {
  if (functions_[a.function].interrupts.write_mask(a.value)) pending_interrupts_.push_back(a.function);
}

std::uint32_t Board::intr_status(const RegisterAccess& a) {
  return functions_[a.function].interrupts.pending() != 0 ? 1u : 0u;
}

void Board::global_control_written(const RegisterAccess& a) {
  // A reset request (bits 0-5) completes at once: the datapath of the
  // selected ports restarts, queues are not touched. Reset done reads 1
  // until a write without a request.
  if ((a.value & kGcResetRequestMask) != 0) {
    *a.kept |= kGcResetDone;
  } else {
    *a.kept &= ~kGcResetDone;
  }
}

void Board::wqe_allocate_written(const RegisterAccess& a) { wqe_doorbell(a.value, std::nullopt); }

void Board::cqe_allocate_written(const RegisterAccess& a) { cq_allocate(a.value); }

void Board::aeq_acknowledge_written(const RegisterAccess& a) {
  queues_.acknowledge_aeq(a.function, (a.value & kAeqAckMask) >> kAeqAckShift);
}

std::uint32_t Board::index_register(const RegisterAccess& a) { return pairs_.index(a.instance); }

void Board::index_register_written(const RegisterAccess& a) { record_race(pairs_.write_index(a.instance, a.value)); }

std::uint32_t Board::data_register(const RegisterAccess& a) {
  record_race(pairs_.data_access(a.instance));
  return registers_.read(Space::Indexed, a.function, pairs_.index(a.instance));
}

void Board::data_register_written(const RegisterAccess& a) {
  record_race(pairs_.data_access(a.instance));
  registers_.write(Space::Indexed, a.function, pairs_.index(a.instance), a.value);
}

void Board::wqe_doorbell(std::uint32_t value, std::optional<UserPage> user) {
  std::uint32_t count = value >> kDbCountShift;
  std::uint32_t id = value & kDbQueueIdMask;
  bool send = (value & kDbSendQueue) != 0;
  if (count == 0) return;
  if (send && id <= kMaxCqpId) {
    if (user) {
      // A user doorbell page never reaches a control queue pair.
      ++faults_.stray_doorbells;
      log_("user doorbell for CQP %u refused", id);
      return;
    }
    cqp_.doorbell(id, count);
    return;
  }
  if (QueuePair* qp = qps_.find(id)) {
    // A user page rings only the iWARP queue pairs of its own protection
    // domain and function: a process cannot start another's work.
    if (user && (qp->kind != QpKind::Iwarp || qp->function != user->function || qp->pd != user->pd)) {
      ++faults_.stray_doorbells;
      log_("user doorbell of PD %u (function %u) for queue pair %u of another protection domain refused", user->pd,
           user->function, id);
      return;
    }
    if (qp->kind == QpKind::Nic) {
      nic_.doorbell(*qp, send, count);
      return;
    }
    // iWARP work requests go to the offload engine.
    offload_->doorbell(id, send, count);
    return;
  }
  ++faults_.stray_doorbells;
  log_("doorbell 0x%08x names no queue this adapter serves", value);
}

void Board::cq_allocate(std::uint32_t value) {
  std::uint32_t cq = value & kCqIdMask;
  std::uint32_t count = (value & kCqGiveBackMask) >> kCqGiveBackShift;
  if (count > 0) queues_.give_back(cq, count);
  if ((value & kCqArm) != 0) queues_.arm(cq, (value & kCqArmSolicited) != 0);
}

void Board::record_race(const std::optional<IndexRace>& race) {
  if (!race) return;
  ++faults_.index_races;
  const char* what = race->kind == IndexRace::Kind::IndexOverwritten ? "index 0x%x overwritten with 0x%x"
                                                                     : "data access through index 0x%x (0x%x)";
  char text[128];
  std::snprintf(text, sizeof text, what, race->first_index, race->second_index);
  log_("index/data pair %u used by two threads without the index-register lock: %s", race->pair, text);
  if (pairs_.check() == IndexRaceCheck::Fatal) std::abort();
  if (races_.size() < 1024) races_.push_back(*race);
}

// ---------------------------------------------------------------------------
// Register hooks: the user doorbell pages

bool Board::user_page_open(unsigned f, unsigned page) {
  std::uint32_t open_pages = registers_.kept(Space::Indexed, 0, idx_user_doorbell(f)) >> kUserDbCountShift;
  if (page < open_pages) return true;
  ++faults_.stray_doorbells;
  log_("write to user doorbell page %u of function %u, which is not open", page, f);
  return false;
}

void Board::user_wqe_allocate_written(const RegisterAccess& a) {
  if (!user_page_open(a.function, a.instance)) return;
  const std::uint32_t first = registers_.kept(Space::Indexed, 0, idx_user_doorbell(a.function)) & kUserDbFirstMask;
  wqe_doorbell(a.value, UserPage{a.function, first + a.instance});
}

void Board::user_cqe_allocate_written(const RegisterAccess& a) {
  if (user_page_open(a.function, a.instance)) cq_allocate(a.value);
}

// ---------------------------------------------------------------------------
// Register hooks: the indexed registers

void Board::cqp_context_written(const RegisterAccess& a) {
  // Writing the low half of the host-context address starts the creation.
  if (a.instance >= functions_.size()) return;
  std::uint64_t high = registers_.kept(Space::Indexed, 0, idx_cqp_context_high(a.instance));
  cqp_.request_create(a.instance, (high << 32) | a.value);
}

std::uint32_t Board::queue_status_word(const RegisterAccess& a) { return status_.word(a.instance); }

// ---------------------------------------------------------------------------
// Interrupts

void Board::raise(unsigned function, std::uint32_t bits) {
  if (function >= functions_.size()) return;
  if (functions_[function].interrupts.raise(bits)) pending_interrupts_.push_back(function);
}

void Board::connect_interrupts(InterruptSink* sink) {
  std::lock_guard lock(mu_);
  sink_ = sink;
}

void Board::inject_interrupt(unsigned function, std::uint32_t cause_bits) {
  {
    std::lock_guard lock(mu_);
    raise(function, cause_bits);
  }
  deliver_interrupts();
}

bool Board::interrupt_line(unsigned function) {
  std::lock_guard lock(mu_);
  return function < functions_.size() && functions_[function].interrupts.line();
}

std::uint64_t Board::interrupt_edges(unsigned function) {
  std::lock_guard lock(mu_);
  return function < functions_.size() ? functions_[function].interrupts.edges() : 0;
}

void Board::deliver_interrupts() {
  // One thread delivers at a time, in the order the edges happened; the
  // others leave their edges to it instead of waiting (a sink that runs an
  // ISR may need locks the waiting thread holds). A sink that touches the
  // board from inside interrupt() lands here again and returns at once.
  std::unique_lock lock(mu_);
  if (delivering_) return;
  delivering_ = true;
  for (;;) {
    std::vector<unsigned> lines;
    lines.swap(pending_interrupts_);
    InterruptSink* sink = sink_;
    if (lines.empty()) break;
    if (sink == nullptr) continue;
    lock.unlock();
    for (unsigned f : lines) sink->interrupt(f);
    lock.lock();
  }
  delivering_ = false;
}

// ---------------------------------------------------------------------------
// Execution

Nanos Board::engine_now() const {
  if (config_.clock != nullptr) return config_.clock->now();
  return std::chrono::duration_cast<Nanos>(std::chrono::steady_clock::now().time_since_epoch());
}

bool Board::has_work_locked() const {
  if (cqp_.has_work() || nic_.has_work() || offload_->has_work()) return true;
  const std::optional<Nanos> due = offload_->next_deadline();
  return due && *due <= engine_now();
}

void Board::refresh_offload_addresses(unsigned function) {
  for (unsigned n = 0; n < kDestIpEntries; ++n) {
    const std::uint32_t a = registers_.kept(Space::Indexed, 0, idx_dest_ip(n));
    offload_->set_local_address(static_cast<std::uint8_t>(n), a != 0 ? std::optional<std::uint32_t>(a) : std::nullopt);
  }
  // The SAN interface's MAC: slot F + 4.
  const std::uint32_t low = registers_.kept(Space::Indexed, 0, idx_mac_low(function + 4));
  const std::uint32_t high = registers_.kept(Space::Indexed, 0, idx_mac_high(function + 4));
  offload_->set_local_mac(function, net::Mac{static_cast<std::uint8_t>(high >> 8), static_cast<std::uint8_t>(high),
                                             static_cast<std::uint8_t>(low >> 24), static_cast<std::uint8_t>(low >> 16),
                                             static_cast<std::uint8_t>(low >> 8), static_cast<std::uint8_t>(low)});
}

bool Board::step_locked() {
  // The control queue pair and the NIC engine take turns, so a stream of
  // frames never holds up control requests, nor the other way round; the
  // offload engine has its turn after them.
  engine_turn_ = !engine_turn_;
  bool did = engine_turn_ ? (cqp_.step() || nic_.step()) : (nic_.step() || cqp_.step());
  const Nanos now = engine_now();
  const std::optional<Nanos> due = offload_->next_deadline();
  if (offload_->has_work() || (due && *due <= now)) {
    offload_->turn(now, 16);
    did = true;
  }
  if (!nic_.inbound_full()) inbound_cv_.notify_all();
  return did;
}

bool Board::step() {
  if (running()) return false;
  bool did;
  {
    std::lock_guard lock(mu_);
    did = step_locked();
  }
  deliver_interrupts();
  return did;
}

std::size_t Board::run_until_idle(std::size_t limit) {
  std::size_t done = 0;
  while (done < limit && step()) ++done;
  return done;
}

void Board::start() {
  if (running()) return;
  engine_ = std::jthread([this](std::stop_token stop) { engine_loop(stop); });
}

void Board::stop() {
  if (!running()) return;
  engine_.request_stop();
  engine_.join();
  engine_ = std::jthread();
}

void Board::engine_loop(std::stop_token stop) {
  std::unique_lock lock(mu_);
  for (;;) {
    // Sleep until work comes or the offload engine's next timer is due.
    const std::optional<Nanos> due = offload_->next_deadline();
    if (due) {
      const Nanos left = std::clamp(*due - engine_now(), Nanos{0}, Nanos{std::chrono::milliseconds(10)});
      work_cv_.wait_for(lock, stop, left, [this] { return has_work_locked(); });
    } else {
      work_cv_.wait(lock, stop, [this] { return has_work_locked(); });
    }
    if (stop.stop_requested()) return;
    step_locked();
    lock.unlock();
    deliver_interrupts();
    lock.lock();
  }
}

// ---------------------------------------------------------------------------
// Engines' API and observation

PostResult Board::post_completion(std::uint32_t cq_id, std::span<const std::byte> entry, bool solicited) {
  PostResult result;
  {
    std::lock_guard lock(mu_);
    result = queues_.post_completion(cq_id, entry, solicited);
  }
  deliver_interrupts();
  return result;
}

bool Board::post_async_event(unsigned function, const AsyncEvent& event) {
  bool posted;
  {
    std::lock_guard lock(mu_);
    posted = queues_.post_async_event(function, event);
  }
  deliver_interrupts();
  return posted;
}

void Board::attach_port(FramePort* port) {
  std::lock_guard lock(mu_);
  nic_.attach(port);
  port_ = port;
  port_stopped_ = false;
}

bool Board::receive_frame(std::span<const std::byte> frame) {
  std::unique_lock lock(mu_);
  inbound_cv_.wait(lock, [&] { return port_stopped_ || !nic_.inbound_full(); });
  if (port_stopped_) return false;
  // Frames of offloaded connections are the offload engine's; the rest the NIC's.
  if (offload_->receive_frame(frame, engine_now())) {
    work_cv_.notify_one();
    return true;
  }
  nic_.receive(frame);
  work_cv_.notify_one();
  return true;
}

void Board::port_room() {
  std::lock_guard lock(mu_);
  nic_.port_room();
  if (has_work_locked()) work_cv_.notify_one();
}

void Board::stop_port() {
  std::lock_guard lock(mu_);
  port_stopped_ = true;
  inbound_cv_.notify_all();
}

NicCounters Board::nic_counters() {
  std::lock_guard lock(mu_);
  return nic_.counters();
}

std::optional<net::Mac> Board::arp_entry(std::uint16_t index) {
  std::lock_guard lock(mu_);
  return offload_->arp(index);
}

Board::DestinationIp Board::destination_ip(unsigned n) {
  std::lock_guard lock(mu_);
  if (n >= kDestIpEntries) return {};
  const std::uint32_t types = registers_.kept(Space::Indexed, 0, kIdxDestIpTypes + (n >= 16 ? 4 : 0));
  return {registers_.kept(Space::Indexed, 0, idx_dest_ip(n)), (types >> (2 * (n % 16))) & 3};
}

EngineCounters Board::offload_counters() {
  std::lock_guard lock(mu_);
  return offload_->counters();
}

std::size_t Board::queue_pair_count() {
  std::lock_guard lock(mu_);
  return qps_.size();
}

FaultCounters Board::faults() {
  std::lock_guard lock(mu_);
  return faults_;
}

std::vector<IndexRace> Board::index_races() {
  std::lock_guard lock(mu_);
  return races_;
}

std::uint32_t Board::queue_status(unsigned function) {
  std::lock_guard lock(mu_);
  return status_.word(function);
}

}  // namespace zeksim
