#include "sim/board.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "include/hw/cqp.h"
#include "include/hw/pci.h"
#include "include/hw/registers.h"
#include "sim/spin.h"

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
    if (b_.port_ != nullptr) b_.port_->transmit_later(frame_);
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
      nic_(dma_, queues_, qps_, log_, faults_, node_counters_,
           [this] {
             std::lock_guard lock(reg_mu_);
             return FilterRegisters::read(
                 [this](std::uint32_t index) { return registers_.kept(Space::Indexed, 0, index); });
           }),
      pairs_(config_.index_race_check),
      mdio_(config_),
      carrier_(config_.carrier),
      link_allowed_(config_.link_allowed) {
  eeprom_ = std::make_unique<Eeprom>(config_.storage.empty() ? std::string() : config_.storage + ".eeprom",
                                     default_eeprom_image(config_), config_.timing, log_);
  eeprom_->set_dead(config_.eeprom_dead);
  flash_ = std::make_unique<SpiFlash>(config_.storage.empty() ? std::string() : config_.storage + ".flash",
                                      config_.timing, log_);
  offload_side_ = std::make_unique<OffloadSide>(*this);
  offload_ = std::make_unique<IwarpEngine>(*offload_side_, config_.tcp);
  cqp_.attach_offload(
      offload_.get(), [this] { return engine_now(); }, [this](unsigned f) { refresh_offload_addresses(f); });
  // The engine thread sleeps on the board's eventfd, the adopted rings'
  // eventfds and a timer for its next deadline.
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  timer_fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
  watch(wake_fd_);
  watch(timer_fd_);
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

Board::~Board() {
  stop();
  for (int fd : {wake_fd_, timer_fd_, epoll_fd_}) {
    if (fd >= 0) ::close(fd);
  }
}

void Board::watch(int fd) {
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = fd;
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev);
}

// ---------------------------------------------------------------------------
// Bus side

std::uint32_t Board::pci_read(unsigned function, std::uint32_t offset) {
  std::lock_guard lock(reg_mu_);
  if (function >= functions_.size()) return 0xFFFF'FFFF;  // no such function: the bus reads all ones
  // The EEPROM's second path; every function reaches the board's one EEPROM.
  if ((offset & ~3u) == kPciCfgEepromAddress) return eeprom_->read_pci_command(engine_now());
  if ((offset & ~3u) == kPciCfgEepromData) return eeprom_->read_pci_data(engine_now());
  return functions_[function].pci->read32(offset);
}

void Board::pci_write(unsigned function, std::uint32_t offset, std::uint32_t value) {
  std::lock_guard lock(reg_mu_);
  if (function >= functions_.size()) return;
  if ((offset & ~3u) == kPciCfgEepromAddress) return eeprom_->write_pci_command(value, engine_now());
  if ((offset & ~3u) == kPciCfgEepromData) return eeprom_->write_pci_data(value);
  functions_[function].pci->write32(offset, value);
}

std::uint64_t Board::window_address(unsigned function, Window window) {
  std::lock_guard lock(reg_mu_);
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
    std::lock_guard lock(reg_mu_);
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
  bool mail = false;
  {
    std::lock_guard lock(reg_mu_);
    if (function >= functions_.size() || size != 4 || offset % 4 != 0 || offset >= window_bytes(window)) {
      ++faults_.bad_accesses;
      log_("write of %u bytes at offset 0x%llx of window %u of function %u refused", size,
           static_cast<unsigned long long>(offset), static_cast<unsigned>(window), function);
      return;
    }
    const std::size_t before = mail_.size();
    registers_.write(space_of(window), function, static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(value));
    mail = mail_.size() != before;
  }
  if (mail) {
    if (running()) {
      wake_engine();
    } else {
      intake_inline();
    }
  }
  deliver_interrupts();
}

// ---------------------------------------------------------------------------
// Register hooks: the register window

std::uint32_t Board::intr_cause(const RegisterAccess& a) {
  std::lock_guard lock(irq_mu_);
  return functions_[a.function].interrupts.cause();
}

void Board::intr_cause_written(const RegisterAccess& a) {
  std::lock_guard lock(irq_mu_);
  if (functions_[a.function].interrupts.write_cause(a.value)) pending_interrupts_.push_back(a.function);
}

std::uint32_t Board::intr_mask(const RegisterAccess& a) {
  std::lock_guard lock(irq_mu_);
  return functions_[a.function].interrupts.mask();
}

void Board::intr_mask_written(const RegisterAccess& a) {
  std::lock_guard lock(irq_mu_);
  if (functions_[a.function].interrupts.write_mask(a.value)) pending_interrupts_.push_back(a.function);
}

std::uint32_t Board::intr_status(const RegisterAccess& a) {
  std::lock_guard lock(irq_mu_);
  return functions_[a.function].interrupts.pending() != 0 ? 1u : 0u;
}

// The interrupt timer (0x18) and timer control (0x10): the moderation
// interval of the function, in kIntrTimerUnit, while the timer runs.
void Board::interrupt_timer_written(const RegisterAccess& a) {
  const std::uint32_t interval = registers_.kept(Space::Registers, a.function, kRegIntrTimer);
  const bool runs = (registers_.kept(Space::Registers, a.function, kRegTimerControl) & kTimerControlRuns) != 0;
  const std::int64_t ns = runs ? std::int64_t{interval} * kIntrTimerUnitNs : 0;
  if (moderation_ns_[a.function].exchange(ns) != 0 && ns == 0) wake_engine();  // held edges go now
}

void Board::global_control_written(const RegisterAccess& a) {
  // A reset request (bits 0-5) completes at once: the datapath of the
  // selected ports restarts, queues are not touched. Reset done reads 1
  // until a write without a request.
  if ((a.value & kGcResetRequestMask) != 0) {
    *a.kept |= kGcResetDone;
    // A reset of the whole board (or of the port of function 0, which carries
    // it) restarts the firmware: it answers again after a few status reads.
    if ((a.value & kGcBoardReset) == kGcBoardReset) firmware_restart_reads_ = kFirmwareRestartReads;
  } else {
    *a.kept &= ~kGcResetDone;
  }
}

std::uint32_t Board::firmware_status(const RegisterAccess&) {
  if (!config_.firmware_alive) return 0;
  if (firmware_restart_reads_ > 0) {
    --firmware_restart_reads_;
    return 0;
  }
  return kFirmwareAliveValue;
}

std::uint32_t Board::mac_counter(const RegisterAccess& a) {
  if (a.offset >= idx_port_mac(0, 0) && a.offset < idx_port_mac(kPorts, 0)) {
    const unsigned port = (a.offset - idx_port_mac(0, 0)) / kPortBlockBytes;
    return nic_.read_mac_counter(port, a.offset - idx_port_mac(port, 0)).value_or(0);
  }
  return nic_.read_mac_counter(a.instance, kIdxPortRxCounter).value_or(0);
}

std::uint32_t Board::node_counter(const RegisterAccess& a) { return node_counters_.read(a.offset).value_or(0); }

void Board::node_counter_written(const RegisterAccess& a) { node_counters_.write(a.offset, a.value); }

void Board::wqe_allocate_written(const RegisterAccess& a) { post_mail(Mail{Mail::Kind::Doorbell, a.value}); }

void Board::cqe_allocate_written(const RegisterAccess& a) { cq_allocate(a.value); }

void Board::post_mail(const Mail& mail) { mail_.push_back(mail); }

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
  post_mail(Mail{Mail::Kind::Doorbell, a.value, UserPage{a.function, first + a.instance}});
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
  post_mail(Mail{Mail::Kind::CreateCqp, 0, std::nullopt, a.instance, (high << 32) | a.value});
}

std::uint32_t Board::queue_status_word(const RegisterAccess& a) { return status_.word(a.instance); }

// ---------------------------------------------------------------------------
// Interrupts

void Board::raise(unsigned function, std::uint32_t bits) {
  std::lock_guard lock(irq_mu_);
  if (function >= functions_.size()) return;
  if (functions_[function].interrupts.raise(bits)) pending_interrupts_.push_back(function);
}

void Board::connect_interrupts(InterruptSink* sink) {
  std::lock_guard lock(irq_mu_);
  sink_ = sink;
}

void Board::inject_interrupt(unsigned function, std::uint32_t cause_bits) {
  raise(function, cause_bits);
  deliver_interrupts();
}

bool Board::interrupt_line(unsigned function) {
  std::lock_guard lock(irq_mu_);
  return function < functions_.size() && functions_[function].interrupts.line();
}

std::uint64_t Board::interrupt_edges(unsigned function) {
  std::lock_guard lock(irq_mu_);
  return function < functions_.size() ? functions_[function].interrupts.edges() : 0;
}

void Board::deliver_interrupts() {
  // One thread delivers at a time, in the order the edges happened; the
  // others leave their edges to it instead of waiting (a sink that runs an
  // ISR may need locks the waiting thread holds). A sink that touches the
  // board from inside interrupt() lands here again and returns at once.
  // An edge within a function's moderation interval is held; the engine
  // thread delivers it when the interval has passed.
  std::unique_lock lock(irq_mu_);
  if (delivering_) return;
  delivering_ = true;
  const bool moderate = running();
  for (;;) {
    std::vector<unsigned> lines;
    lines.swap(pending_interrupts_);
    const auto now = std::chrono::steady_clock::now();
    for (unsigned f = 0; f < functions_.size(); ++f) {
      Moderation& m = moderation_[f];
      const Nanos interval{moderation_ns_[f].load()};
      if (m.held && (!moderate || !m.last || now >= *m.last + interval)) {
        m.held = false;
        if (functions_[f].interrupts.line()) lines.push_back(f);
      }
    }
    std::vector<unsigned> due;
    for (unsigned f : lines) {
      Moderation& m = moderation_[f];
      const Nanos interval{moderation_ns_[f].load()};
      if (moderate && interval.count() != 0 && m.last && now < *m.last + interval) {
        if (!m.held) {
          ++interrupts_held_;
          wake_engine();  // it sleeps until the interval has passed
        }
        m.held = true;
        continue;
      }
      if (std::find(due.begin(), due.end(), f) == due.end()) due.push_back(f);
      m.last = now;
    }
    InterruptSink* sink = sink_;
    if (due.empty()) break;
    if (sink == nullptr) continue;
    lock.unlock();
    for (unsigned f : due) sink->interrupt(f);
    interrupts_delivered_ += due.size();
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

void Board::refresh_offload_addresses(unsigned function) {
  std::uint32_t ips[kDestIpEntries];
  std::uint32_t low = 0, high = 0;
  {
    std::lock_guard lock(reg_mu_);
    for (unsigned n = 0; n < kDestIpEntries; ++n) ips[n] = registers_.kept(Space::Indexed, 0, idx_dest_ip(n));
    // The SAN interface's MAC: slot F + 4.
    low = registers_.kept(Space::Indexed, 0, idx_mac_low(function + 4));
    high = registers_.kept(Space::Indexed, 0, idx_mac_high(function + 4));
  }
  for (unsigned n = 0; n < kDestIpEntries; ++n) {
    offload_->set_local_address(static_cast<std::uint8_t>(n),
                                ips[n] != 0 ? std::optional<std::uint32_t>(ips[n]) : std::nullopt);
  }
  offload_->set_local_mac(function, net::Mac{static_cast<std::uint8_t>(high >> 8), static_cast<std::uint8_t>(high),
                                             static_cast<std::uint8_t>(low >> 24), static_cast<std::uint8_t>(low >> 16),
                                             static_cast<std::uint8_t>(low >> 8), static_cast<std::uint8_t>(low)});
}

namespace {
// The board whose engine lock this thread holds (the engine thread, or a
// step), so that a register write it makes does not take the lock again.
thread_local const void* t_engine_board = nullptr;

struct EngineScope {
  explicit EngineScope(const void* board) : previous(t_engine_board) { t_engine_board = board; }
  ~EngineScope() { t_engine_board = previous; }
  const void* previous;
};
}  // namespace

bool Board::on_engine_thread() const { return t_engine_board == this; }

bool Board::apply_mail() {
  std::vector<Mail> mail;
  {
    std::lock_guard lock(reg_mu_);
    mail.swap(mail_);
  }
  for (const Mail& m : mail) {
    if (m.kind == Mail::Kind::CreateCqp) {
      cqp_.request_create(m.function, m.context_pa);
    } else {
      wqe_doorbell(m.value, m.user);
    }
  }
  return !mail.empty();
}

bool Board::take_inbound() {
  std::deque<std::vector<std::byte>> frames;
  {
    std::lock_guard lock(inbound_mu_);
    if (inbound_.empty()) return false;
    frames.swap(inbound_);
  }
  const Nanos now = engine_now();
  std::vector<std::vector<std::byte>> spent;
  std::size_t taken = 0;
  for (auto& frame : frames) {
    // Frames of offloaded connections are the offload engine's; the rest the NIC's.
    if (offload_->receive_frame(frame, now)) {
      spent.push_back(std::move(frame));
    } else if (nic_.inbound_full()) {
      break;  // the rest waits in the mailbox; the port's receiver waits in turn
    } else {
      nic_.receive(std::move(frame));
    }
    ++taken;
  }
  {
    std::lock_guard lock(inbound_mu_);
    for (std::size_t i = frames.size(); i > taken; --i) inbound_.push_front(std::move(frames[i - 1]));
    for (auto& b : spent) {
      if (spent_.size() < kInboundLimit) spent_.push_back(std::move(b));
    }
  }
  inbound_cv_.notify_all();
  return taken > 0;
}

bool Board::intake() {
  bool any = false;
  for (plat::PostedWrites* ring : rings_) {
    const std::size_t n = ring->drain();
    ring_writes_ += n;
    any = any || n > 0;
  }
  any = apply_mail() || any;
  if (port_room_.exchange(false)) {
    nic_.port_room();
    any = true;
  }
  any = take_inbound() || any;
  return any;
}

void Board::intake_inline() {
  if (on_engine_thread()) return;  // the engine takes it in after what it is doing
  std::lock_guard lock(engine_mu_);
  EngineScope scope(this);
  intake();
  if (port_ != nullptr) port_->flush();
}

bool Board::engine_has_work() const {
  if (cqp_.has_work() || nic_.has_work() || offload_->has_work()) return true;
  const std::optional<Nanos> due = offload_->next_deadline();
  return due && *due <= engine_now();
}

bool Board::input_waiting() {
  if (port_room_.load()) return true;
  {
    std::lock_guard lock(reg_mu_);
    if (!mail_.empty()) return true;
  }
  {
    std::lock_guard lock(inbound_mu_);
    if (!inbound_.empty() && !nic_.inbound_full()) return true;
  }
  for (plat::PostedWrites* ring : rings_) {
    if (ring->pending()) return true;
  }
  return false;
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
  return did;
}

bool Board::step() {
  if (running()) return false;
  bool did;
  {
    std::lock_guard lock(engine_mu_);
    EngineScope scope(this);
    intake();
    did = step_locked();
    if (port_ != nullptr) port_->flush();
  }
  inbound_cv_.notify_all();
  deliver_interrupts();
  return did;
}

std::size_t Board::run_until_idle(std::size_t limit) {
  std::size_t done = 0;
  while (done < limit && step()) ++done;
  return done;
}

void Board::wake_engine() {
  // Only a sleeping engine needs the system call.
  if (sleeping_.exchange(false)) {
    const std::uint64_t one = 1;
    (void)!::write(wake_fd_, &one, sizeof one);
    ++wakeups_sent_;
  } else {
    ++wakeups_saved_;
  }
}

void Board::start() {
  if (running()) return;
  // Running before the thread exists: a doorbell rung meanwhile either saw
  // the board stopped and left its mail before the thread's first look, or
  // sees it running and wakes the thread. Said only once the thread ran, a
  // doorbell could find the board "stopped" after the thread had gone to
  // sleep, and nobody would wake it for the work.
  running_.store(true);
  engine_ = std::jthread([this](std::stop_token stop) { engine_loop(stop); });
}

void Board::stop() {
  if (!running()) return;
  engine_.request_stop();
  sleeping_ = true;
  wake_engine();
  engine_.join();
  engine_ = std::jthread();
  sleeping_ = false;
  running_.store(false);
}

bool Board::adopt_ring(plat::PostedWrites* ring) {
  std::lock_guard lock(engine_mu_);
  rings_.push_back(ring);
  watch(ring->wake_fd());
  ring->set_sleeping(sleeping_.load());
  wake_engine();  // it may hold writes already
  return true;
}

void Board::release_ring(plat::PostedWrites* ring) {
  std::lock_guard lock(engine_mu_);
  std::erase(rings_, ring);
  // Out of the set now, while its eventfd is still open (its number may be
  // reused for the next ring's).
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, ring->wake_fd(), nullptr);
}

std::size_t Board::adopted_rings() {
  std::lock_guard lock(engine_mu_);
  return rings_.size();
}

// The earliest time the engine thread must look again: the offload engine's
// next timer, or a held interrupt's end of interval.
std::optional<Nanos> Board::next_wake_locked() {
  std::optional<Nanos> wake;
  if (const std::optional<Nanos> due = offload_->next_deadline()) {
    Nanos left = std::max(*due - engine_now(), Nanos{0});
    // A clock that does not follow real time is looked at every few milliseconds.
    if (config_.clock != nullptr && !config_.clock->real_time())
      left = std::min(left, Nanos{std::chrono::milliseconds(10)});
    wake = left;
  }
  std::lock_guard lock(irq_mu_);
  const auto now = std::chrono::steady_clock::now();
  for (unsigned f = 0; f < functions_.size(); ++f) {
    if (!moderation_[f].held || !moderation_[f].last) continue;
    const Nanos left = std::max(
        std::chrono::duration_cast<Nanos>(*moderation_[f].last + Nanos{moderation_ns_[f].load()} - now), Nanos{0});
    if (!wake || left < *wake) wake = left;
  }
  return wake;
}

void Board::run_batch() {
  // What came in, then engine work until idle or the batch is done; the
  // batch's frames leave together.
  ++batches_;
  for (unsigned units = 0; units < kBatchUnits;) {
    const bool came = intake();
    unsigned done = 0;
    while (units + done < kBatchUnits && step_locked()) ++done;
    units += done;
    if (!came && done == 0) break;
  }
  if (port_ != nullptr) port_->flush();
}

bool Board::look_for_work(const std::stop_token& stop) {
  const auto end = std::chrono::steady_clock::now() + kEngineSpin;
  while (!stop.stop_requested() && std::chrono::steady_clock::now() < end) {
    for (int i = 0; i < 32; ++i) cpu_pause();
    // Another thread running the engine (the port's receiver) holds the lock: it does the work.
    std::unique_lock lock(engine_mu_, std::try_to_lock);
    if (lock.owns_lock() && (input_waiting() || engine_has_work())) return true;
  }
  return false;
}

void Board::engine_loop(std::stop_token stop) {
  // The thread sleeps on the board's eventfd, the adopted rings' eventfds
  // and a timer for its next deadline; after a batch it first looks for
  // work a while (kEngineSpin), so that work that follows soon costs no
  // sleep and wake-up.
  const int timer_fd = timer_fd_;
  for (;;) {
    bool more = false;
    std::optional<Nanos> wake;
    {
      std::lock_guard lock(engine_mu_);
      EngineScope scope(this);
      run_batch();
      more = engine_has_work();
    }
    inbound_cv_.notify_all();
    deliver_interrupts();
    if (stop.stop_requested()) break;
    if (more || look_for_work(stop)) continue;
    {
      std::lock_guard lock(engine_mu_);
      EngineScope scope(this);
      more = engine_has_work();
      if (!more) {
        // Going to sleep: producers wake it from now on; a look at the
        // inputs after saying so closes the race with them.
        sleeping_.store(true);
        for (plat::PostedWrites* ring : rings_) ring->set_sleeping(true);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (input_waiting() || stop.stop_requested()) {
          sleeping_.store(false);
          for (plat::PostedWrites* ring : rings_) ring->set_sleeping(false);
          more = true;
        } else {
          wake = next_wake_locked();
          planned_wake_ = wake ? (std::chrono::steady_clock::now() + *wake).time_since_epoch().count() : kNever;
        }
      }
    }
    inbound_cv_.notify_all();
    deliver_interrupts();
    if (stop.stop_requested()) break;
    if (more) continue;
    ++sleeps_;
    itimerspec t{};
    if (wake) {
      const std::int64_t ns = std::max<std::int64_t>(wake->count(), 1);
      t.it_value.tv_sec = ns / 1'000'000'000;
      t.it_value.tv_nsec = ns % 1'000'000'000;
    }
    ::timerfd_settime(timer_fd, 0, &t, nullptr);
    epoll_event events[16];
    (void)::epoll_wait(epoll_fd_, events, 16, -1);
    // Awake: producers need not wake it until it says it sleeps again.
    sleeping_.store(false);
    {
      std::lock_guard lock(engine_mu_);
      for (plat::PostedWrites* ring : rings_) {
        ring->set_sleeping(false);
        std::uint64_t count;
        while (::read(ring->wake_fd(), &count, sizeof count) > 0) {
        }
      }
    }
    std::uint64_t count;
    while (::read(wake_fd_, &count, sizeof count) > 0) {
    }
    while (::read(timer_fd, &count, sizeof count) > 0) {
    }
  }
}

// ---------------------------------------------------------------------------
// Engines' API and observation

PostResult Board::post_completion(std::uint32_t cq_id, std::span<const std::byte> entry, bool solicited) {
  const PostResult result = queues_.post_completion(cq_id, entry, solicited);
  deliver_interrupts();
  return result;
}

bool Board::post_async_event(unsigned function, const AsyncEvent& event) {
  const bool posted = queues_.post_async_event(function, event);
  deliver_interrupts();
  return posted;
}

void Board::attach_port(FramePort* port) {
  std::lock_guard lock(engine_mu_);
  nic_.attach(port);
  port_ = port;
  std::lock_guard inbound(inbound_mu_);
  port_stopped_ = false;
}

bool Board::receive_frame(std::span<const std::byte> frame) {
  std::vector<std::vector<std::byte>> frames;
  frames.emplace_back(frame.begin(), frame.end());
  return receive_frames(frames);
}

bool Board::receive_frames(std::vector<std::vector<std::byte>>& frames) {
  {
    std::unique_lock lock(inbound_mu_);
    for (auto& frame : frames) {
      inbound_cv_.wait(lock, [&] { return port_stopped_ || inbound_.size() < kInboundLimit; });
      if (port_stopped_) return false;
      inbound_.push_back(std::move(frame));
    }
  }
  frames.clear();
  if (!running()) {
    intake_inline();
    return true;
  }
  // An idle engine: the frames are taken in on this thread, with no hand-off
  // to the engine thread; a busy one takes them after what it is doing.
  std::unique_lock lock(engine_mu_, std::try_to_lock);
  if (!lock.owns_lock()) {
    wake_engine();
    return true;
  }
  bool wake = false;
  {
    EngineScope scope(this);
    run_batch();
    // The engine thread sleeps with the deadline it had: wake it for work
    // left or for a timer that is now earlier.
    const std::optional<Nanos> next = next_wake_locked();
    const std::int64_t due = next ? (std::chrono::steady_clock::now() + *next).time_since_epoch().count() : kNever;
    wake = engine_has_work() || input_waiting() || due < planned_wake_.load();
  }
  lock.unlock();
  inbound_cv_.notify_all();
  deliver_interrupts();
  if (wake) wake_engine();
  return true;
}

std::vector<std::byte> Board::recycle_buffer() {
  std::lock_guard lock(inbound_mu_);
  if (spent_.empty()) return {};
  std::vector<std::byte> b = std::move(spent_.back());
  spent_.pop_back();
  return b;
}

void Board::port_room() {
  port_room_ = true;
  if (running()) {
    wake_engine();
  } else {
    intake_inline();
  }
}

void Board::stop_port() {
  std::lock_guard lock(inbound_mu_);
  port_stopped_ = true;
  inbound_cv_.notify_all();
}

NicCounters Board::nic_counters() {
  std::lock_guard lock(engine_mu_);
  return nic_.counters();
}

std::optional<net::Mac> Board::arp_entry(std::uint16_t index) {
  std::lock_guard lock(engine_mu_);
  return offload_->arp(index);
}

Board::DestinationIp Board::destination_ip(unsigned n) {
  std::lock_guard lock(reg_mu_);
  if (n >= kDestIpEntries) return {};
  const std::uint32_t types = registers_.kept(Space::Indexed, 0, kIdxDestIpTypes + (n >= 16 ? 4 : 0));
  return {registers_.kept(Space::Indexed, 0, idx_dest_ip(n)), (types >> (2 * (n % 16))) & 3};
}

EngineCounters Board::offload_counters() {
  std::lock_guard lock(engine_mu_);
  return offload_->counters();
}

std::optional<MemoryEntry> Board::stag_entry(std::uint32_t index) {
  std::lock_guard lock(engine_mu_);
  const MemoryEntry* e = offload_->stags().find(index);
  if (e == nullptr) return std::nullopt;
  return *e;
}

std::size_t Board::queue_pair_count() {
  std::lock_guard lock(engine_mu_);
  return qps_.size();
}

FaultCounters Board::faults() { return faults_.snapshot(); }

std::vector<IndexRace> Board::index_races() {
  std::lock_guard lock(reg_mu_);
  return races_;
}

std::uint32_t Board::queue_status(unsigned function) { return status_.word(function); }

Board::EngineActivity Board::engine_activity() {
  EngineActivity a;
  a.sleeps = sleeps_.load();
  a.wakeups_sent = wakeups_sent_.load();
  a.wakeups_saved = wakeups_saved_.load();
  a.batches = batches_.load();
  a.ring_writes = ring_writes_.load();
  a.interrupts_delivered = interrupts_delivered_.load();
  a.interrupts_held = interrupts_held_.load();
  a.asleep = sleeping_.load();
  return a;
}

}  // namespace zeksim
