#include "sim/board.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>

#include "include/hw/cqp.h"
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

Board::Board(plat::PhysicalMemory& memory, BoardConfig config)
    : memory_(memory),
      config_([&] {
        config.functions = std::clamp(config.functions, 1u, kMaxFunctions);
        config.port_mode &= 3;
        return config;
      }()),
      log_(config_.log),
      dma_(memory_, log_, faults_),
      queues_(dma_, log_, faults_, [this](unsigned f, std::uint32_t bits) { raise(f, bits); }),
      cqp_(dma_, queues_, status_, qps_, local_, log_, faults_, config_.functions),
      nic_(dma_, queues_, qps_, log_, faults_,
           [this] { return FilterRegisters::read([this](std::uint32_t index) { return indexed_read(index); }); }),
      pairs_(config_.index_race_check) {
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
  global_control_ = (std::uint32_t{config_.port_mode} << kGcPortModeShift) | kGcResetDone;
  indexed_[kIdxHashSize] = config_.caps.hash_size;
  indexed_[kIdxFlashMode] = config_.caps.flash_mode;
}

Board::~Board() { stop(); }

// ---------------------------------------------------------------------------
// Bus side

std::uint32_t Board::pci_read(unsigned function, std::uint32_t offset) {
  std::lock_guard lock(mu_);
  if (function >= functions_.size()) return 0xFFFF'FFFF;  // no such function: the bus reads all ones
  return functions_[function].pci->read32(offset);
}

void Board::pci_write(unsigned function, std::uint32_t offset, std::uint32_t value) {
  std::lock_guard lock(mu_);
  if (function >= functions_.size()) return;
  functions_[function].pci->write32(offset, value);
}

std::uint64_t Board::window_address(unsigned function, Window window) {
  std::lock_guard lock(mu_);
  return functions_.at(function).pci->bar_address(static_cast<unsigned>(window));
}

std::uint32_t Board::window_bytes(Window window) const {
  switch (window) {
    case Window::Registers: return kRegisterWindowBytes;
    case Window::Doorbells: return doorbell_window_bytes(config_);
    case Window::Config: return kConfigWindowBytes;
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
    auto off = static_cast<std::uint32_t>(offset);
    switch (window) {
      case Window::Registers: value = register_read(function, off); break;
      case Window::Doorbells: value = 0; break;  // doorbells are write-only
      case Window::Config: value = config_read(off); break;
    }
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
    auto off = static_cast<std::uint32_t>(offset);
    auto v = static_cast<std::uint32_t>(value);
    switch (window) {
      case Window::Registers: register_write(function, off, v); break;
      case Window::Doorbells: doorbell_write(function, off, v); break;
      case Window::Config:
        ++faults_.bad_accesses;  // read-only
        break;
    }
    if (has_work_locked()) work_cv_.notify_one();
  }
  deliver_interrupts();
}

// ---------------------------------------------------------------------------
// Register window

std::uint32_t Board::register_read(unsigned f, std::uint32_t offset) {
  Function& fn = functions_[f];
  if (offset >= kRegIndexBase && offset < kRegIndexBase + 8 * kIndexPairs) {
    unsigned pair = (offset - kRegIndexBase) / 8;
    if (offset % 8 == 0) return pairs_.index(pair);
    record_race(pairs_.data_access(pair));
    return indexed_read(pairs_.index(pair));
  }
  switch (offset) {
    case kRegIntrCause: return fn.interrupts.cause();
    case kRegIntrMask: return fn.interrupts.mask();
    case kRegIntrAltStatus: return fn.interrupts.pending() != 0 ? 1u : 0u;
    case kRegGlobalControl: return global_control_;
    case kRegWqeDoorbell:
    case kRegCqAllocate:  // a read only flushes the posted writes before it
    case kRegAeqAcknowledge: return 0;
    default: {
      auto it = fn.direct.find(offset);
      return it == fn.direct.end() ? 0 : it->second;
    }
  }
}

void Board::register_write(unsigned f, std::uint32_t offset, std::uint32_t value) {
  Function& fn = functions_[f];
  if (offset >= kRegIndexBase && offset < kRegIndexBase + 8 * kIndexPairs) {
    unsigned pair = (offset - kRegIndexBase) / 8;
    if (offset % 8 == 0) {
      record_race(pairs_.write_index(pair, value));
    } else {
      record_race(pairs_.data_access(pair));
      indexed_write(pairs_.index(pair), value);
    }
    return;
  }
  switch (offset) {
    case kRegIntrCause:
      if (fn.interrupts.write_cause(value)) pending_interrupts_.push_back(f);
      break;
    case kRegIntrMask:
      if (fn.interrupts.write_mask(value)) pending_interrupts_.push_back(f);
      break;
    case kRegFunctionFlags: fn.direct[offset] &= ~value; break;
    case kRegGlobalControl: global_control_write(value); break;
    case kRegWqeDoorbell: wqe_doorbell(value, false); break;
    case kRegCqAllocate: cq_allocate(value); break;
    case kRegAeqAcknowledge: queues_.acknowledge_aeq(f, (value & kAeqAckMask) >> kAeqAckShift); break;
    default: fn.direct[offset] = value; break;
  }
}

void Board::global_control_write(std::uint32_t value) {
  // The port mode is strapped. A reset request (bits 0-5) completes at once:
  // the datapath of the selected ports restarts, queues are not touched.
  std::uint32_t v = (value & ~(kGcPortModeMask | kGcResetDone | 0x80u)) |
                    (std::uint32_t{config_.port_mode} << kGcPortModeShift);
  if ((value & kGcResetRequestMask) != 0) v |= kGcResetDone;
  global_control_ = v;
}

void Board::wqe_doorbell(std::uint32_t value, bool from_user) {
  std::uint32_t count = value >> kDbCountShift;
  std::uint32_t id = value & kDbQueueIdMask;
  bool send = (value & kDbSendQueue) != 0;
  if (count == 0) return;
  if (send && id <= kMaxCqpId) {
    if (from_user) {
      // A user doorbell page never reaches a control queue pair.
      ++faults_.stray_doorbells;
      log_("user doorbell for CQP %u refused", id);
      return;
    }
    cqp_.doorbell(id, count);
    return;
  }
  if (QueuePair* qp = qps_.find(id)) {
    if (qp->kind == QpKind::Nic) {
      nic_.doorbell(*qp, send, count);
      return;
    }
    // iWARP work requests are announced and kept; the iWARP engine that
    // carries them out is not part of this adapter model yet.
    WorkQueue& wq = send ? qp->sq : qp->rq;
    wq.posted = std::min(wq.posted + count, wq.size - 1);
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
// Indexed registers

std::uint32_t Board::indexed_read(std::uint32_t index) {
  if (index < 0x40) return index % 4 == 0 ? cqp_context_[index / 4] : 0;
  if (index < 0x80 && index % 8 == 0) return status_.word((index - 0x40) / 8);
  switch (index) {
    case kIdxFirmwareAlive: return config_.firmware_alive ? kFirmwareAliveValue : 0;
    case kIdxQueueClasses: return config_.caps.queue_classes;
    case kIdxSize218: return config_.caps.size_218;
    case kIdxSize258: return config_.caps.size_258;
    case kIdxSize260: return config_.caps.size_260;
    case kIdxSize278: return config_.caps.size_278;
    case kIdxSize280: return config_.caps.size_280;
    case kIdxSize2B0: return config_.caps.size_2b0;
    default: {
      auto it = indexed_.find(index);
      return it == indexed_.end() ? 0 : it->second;
    }
  }
}

void Board::indexed_write(std::uint32_t index, std::uint32_t value) {
  if (index < 0x40) {
    if (index % 4 != 0) return;
    cqp_context_[index / 4] = value;
    unsigned function = index / 8;
    // Writing the low half of the host-context address starts the creation.
    if (index % 8 == 0 && function < functions_.size()) {
      std::uint64_t pa = (std::uint64_t{cqp_context_[index / 4 + 1]} << 32) | value;
      cqp_.request_create(function, pa);
    }
    return;
  }
  if (index < 0x80 && index % 8 == 0) return;  // status words are read-only
  switch (index) {
    case kIdxFirmwareAlive:
    case kIdxQueueClasses:
    case kIdxSize218:
    case kIdxSize258:
    case kIdxSize260:
    case kIdxSize278:
    case kIdxSize280:
    case kIdxSize2B0: return;  // read-only
    default: indexed_[index] = value; return;
  }
}

// ---------------------------------------------------------------------------
// Doorbell and configuration windows

void Board::doorbell_write(unsigned f, std::uint32_t offset, std::uint32_t value) {
  std::uint32_t page = offset / kDoorbellPageBytes;
  std::uint32_t word = offset % kDoorbellPageBytes;
  auto it = indexed_.find(idx_user_doorbell(f));
  std::uint32_t open_pages = it == indexed_.end() ? 0 : it->second >> kUserDbCountShift;
  if (page >= open_pages) {
    ++faults_.stray_doorbells;
    log_("write to user doorbell page %u of function %u, which is not open", page, f);
    return;
  }
  switch (word) {
    case kUserDbWqeAllocate: wqe_doorbell(value, true); break;
    case kUserDbCqeAllocate: cq_allocate(value); break;
    default:
      ++faults_.bad_accesses;
      log_("write to offset 0x%x of user doorbell page %u of function %u", word, page, f);
      break;
  }
}

std::uint32_t Board::config_read(std::uint32_t offset) const {
  switch (offset) {
    case kCfgCapabilities0: return config_.caps.config_1c;
    case kCfgCapabilities1: return config_.caps.config_20;
    default: return 0;
  }
}

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

bool Board::step_locked() {
  // The control queue pair and the NIC engine take turns, so a stream of
  // frames never holds up control requests, nor the other way round.
  engine_turn_ = !engine_turn_;
  bool did = engine_turn_ ? (cqp_.step() || nic_.step()) : (nic_.step() || cqp_.step());
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
    work_cv_.wait(lock, stop, [this] { return has_work_locked(); });
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
  port_stopped_ = false;
}

bool Board::receive_frame(std::span<const std::byte> frame) {
  std::unique_lock lock(mu_);
  inbound_cv_.wait(lock, [&] { return port_stopped_ || !nic_.inbound_full(); });
  if (port_stopped_) return false;
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
