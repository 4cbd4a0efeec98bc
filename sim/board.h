// One simulated adapter board: one to four PCI functions, each with its PCI
// configuration space and three windows (registers, user doorbells,
// configuration), over shared engines.
//
// Register accesses are synchronous on the caller's thread. The engines'
// work (the control queue pair, the NIC engine, the offload engine) runs
// either in step mode, where a test calls step()/run_until_idle() and
// nothing happens in between, or on the board's own engine thread after
// start().
//
// Threads and locks. A register access never waits for the engines' data
// transfers: what it hands the engines (doorbells, a control queue pair's
// creation) goes into the doorbell mailbox, frames from the port go into
// the inbound mailbox, and the engine thread takes both on each wake-up,
// together with the posted-write rings of user doorbell pages it adopted,
// and works through a batch before it looks again. The locks, outermost
// first; a thread that holds one never takes one above it:
// - the engine lock: the engines' state (queue pairs, the control queue
//   pairs, local memory, the offload engine, the port); held across DMA and
//   sends, taken by the engine thread (or step()) only;
// - the register lock: the register file, the EEPROM, flash and PHYs, the
//   doorbell mailbox; never held across a transfer;
// - the completion side's own lock (queues.h): one entry write at a time;
// - the interrupt lock: cause, mask, the lines and the edges waiting for
//   delivery. Interrupts reach the sink with no lock held.
// The engine thread sleeps on an eventfd, the adopted rings' eventfds and a
// timer for its next deadline; whoever hands it work wakes it only when it
// said it sleeps, so a busy engine costs its producers no system call.
//
// Interrupt moderation: while a function's timer-control register has the
// timer bit set and its interrupt-timer register is not 0, an edge that
// comes sooner than that interval after the function's last delivered one
// waits for the interval to pass (the engine thread delivers it then, if
// the line is still up). Step mode delivers at once.
//
// The registers are decoded by the register table (register_map.h); the
// board keeps the state and the engines, and its hooks are what a register
// access sets in motion.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "platform/machine/mmio.h"
#include "platform/machine/physmem.h"
#include "sim/board_config.h"
#include "sim/counters.h"
#include "sim/cqp_engine.h"
#include "sim/dma.h"
#include "sim/eeprom.h"
#include "sim/frame_port.h"
#include "sim/index_pairs.h"
#include "sim/interrupts.h"
#include "sim/iwarp/engine.h"
#include "sim/local_memory.h"
#include "sim/log.h"
#include "sim/nic_engine.h"
#include "sim/pci_config.h"
#include "sim/phy.h"
#include "sim/qp_table.h"
#include "sim/queue_status.h"
#include "sim/queues.h"
#include "sim/register_map.h"
#include "sim/spi_flash.h"
#include "sim/wire_station.h"

namespace zeksim {

class Board : public WireStation {
 public:
  Board(plat::PhysicalMemory& memory, BoardConfig config = {});
  ~Board() override;
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  const BoardConfig& config() const { return config_; }
  unsigned functions() const { return config_.functions; }

  // --- Bus side -----------------------------------------------------------
  std::uint32_t pci_read(unsigned function, std::uint32_t offset);
  void pci_write(unsigned function, std::uint32_t offset, std::uint32_t value);
  // Where each window is (its BAR) and how large.
  std::uint64_t window_address(unsigned function, Window window);
  std::uint32_t window_bytes(Window window) const;
  // The handler the platform routes a window's accesses to.
  plat::MmioHandler& window_handler(unsigned function, Window window);
  // Accesses by offset within a window; registers are 32 bits wide.
  std::uint64_t mmio_read(unsigned function, Window window, std::uint64_t offset, unsigned size);
  void mmio_write(unsigned function, Window window, std::uint64_t offset, std::uint64_t value, unsigned size);

  // --- Interrupts ---------------------------------------------------------
  // The sink hears every rising edge of a function's line; null disconnects.
  void connect_interrupts(InterruptSink* sink);
  bool interrupt_line(unsigned function);
  // Sets interrupt cause bits as the adapter's own interrupt test does
  // (used to check an interrupt path end to end).
  void inject_interrupt(unsigned function, std::uint32_t cause_bits);
  std::uint64_t interrupt_edges(unsigned function);

  // --- Execution ----------------------------------------------------------
  // Step mode: one unit of engine work; false when idle (or when the engine
  // thread runs).
  bool step();
  // Steps until idle or `limit` units; returns the number done.
  std::size_t run_until_idle(std::size_t limit = 1'000'000);
  // Engine-thread mode.
  void start();
  void stop();
  // True from before the engine thread exists until after it has ended: a
  // producer that sees false has left its work where the thread's first
  // look finds it, and one that sees true wakes the thread.
  bool running() const { return running_.load(); }

  // --- For the engines ----------------------------------------------------
  // The path every completion takes: credits, arming, CEQE, interrupt.
  PostResult post_completion(std::uint32_t cq_id, std::span<const std::byte> entry, bool solicited);
  bool post_async_event(unsigned function, const AsyncEvent& event);

  // --- Ethernet port -------------------------------------------------------
  // The port the NIC engine sends through (null: frames leave nowhere).
  void attach_port(FramePort* port) override;
  // A frame from the port. Waits while the board's inbound queue is full (the
  // wire is lossless: its receiver stops reading); false once stop_port() ran.
  bool receive_frame(std::span<const std::byte> frame);
  // Frames from the port, taken over whole (no copy), with one wake-up of
  // the engine; waits as receive_frame does. Buffers the engine is done
  // with come back through recycle_buffer().
  bool receive_frames(std::vector<std::vector<std::byte>>& frames) override;
  // A buffer the engine is done with, or an empty one.
  std::vector<std::byte> recycle_buffer() override;
  // The port has room again: sends it held back go on.
  void port_room() override;
  // Ends the waits of receive_frame (the port is going away).
  void stop_port() override;

  // --- Observation --------------------------------------------------------
  NicCounters nic_counters();
  // Frames the offload engine took for its connections, and dropped as damaged.
  EngineCounters offload_counters();
  std::size_t queue_pair_count();
  // The offload's STag-table entry of an index, as the adapter holds it.
  std::optional<MemoryEntry> stag_entry(std::uint32_t index);
  FaultCounters faults();
  // The per-node statistics blocks the engines count into.
  NodeCounters& node_counters() { return node_counters_; }
  std::vector<IndexRace> index_races();
  std::uint32_t queue_status(unsigned function);
  std::uint64_t platform_dma_faults() const { return memory_.dma_faults(); }
  // The offload's address tables as the drivers programmed them: the MAC of
  // ARP-cache entry `index` (none when the entry is not in use), and
  // destination-IP entry n (0-31) with its two type bits.
  std::optional<net::Mac> arp_entry(std::uint16_t index);
  struct DestinationIp {
    std::uint32_t address;
    std::uint32_t type;
  };
  DestinationIp destination_ip(unsigned n);
  // How often the engine thread went to sleep and was woken, and how many
  // wake-ups its producers skipped because it was awake.
  struct EngineActivity {
    std::uint64_t sleeps = 0, wakeups_sent = 0, wakeups_saved = 0, batches = 0;
    std::uint64_t ring_writes = 0;           // user doorbell-ring writes the engine took
    std::uint64_t interrupts_delivered = 0;  // edges handed to the sink
    std::uint64_t interrupts_held = 0;       // of those, held back by moderation first
    bool asleep = false;                     // the engine thread sleeps now
  };
  EngineActivity engine_activity();
  // The posted-write rings the engine thread drains itself.
  std::size_t adopted_rings();

  // --- EEPROM, flash, PHYs and link -----------------------------------------
  std::uint16_t eeprom_word(unsigned address);
  void set_eeprom_word(unsigned address, std::uint16_t value);
  // A flash word (little-endian at a byte address) and the flash's status register.
  std::uint32_t flash_word(std::uint32_t byte_address);
  std::uint8_t flash_status();
  // The byte addresses of the page programs carried out, oldest first.
  std::vector<std::uint32_t> flash_programs();
  // Commands the EEPROM and flash controllers refused (busy, malformed).
  std::uint64_t storage_refusals();
  // The management writes the PHYs took, oldest first.
  std::vector<MdioWrite> mdio_writes();
  // The wire: whether a peer is there (the lab wire reports it). The link is
  // up while a peer is there and the configuration allows it; a change sets
  // function flag bit f and raises cause bit 24 + port on every function.
  void set_carrier(bool peer_present) override;
  // What the configuration's `link` says (tests take the link down and up).
  void set_link_allowed(bool allowed);
  bool link_up();

 private:
  class WindowHandler : public plat::MmioHandler {
   public:
    WindowHandler(Board& board, unsigned function, Window window)
        : board_(board), function_(function), window_(window) {}
    std::uint64_t mmio_read(std::uint64_t offset, unsigned size) override {
      return board_.mmio_read(function_, window_, offset, size);
    }
    void mmio_write(std::uint64_t offset, std::uint64_t value, unsigned size) override {
      board_.mmio_write(function_, window_, offset, value, size);
    }
    // User doorbell pages: their rings are drained on the engine thread.
    bool adopt(plat::PostedWrites* ring) override { return window_ == Window::Doorbells && board_.adopt_ring(ring); }
    void release(plat::PostedWrites* ring) override { board_.release_ring(ring); }

   private:
    Board& board_;
    unsigned function_;
    Window window_;
  };

  struct Function {
    std::unique_ptr<PciConfigSpace> pci;
    InterruptController interrupts;
    std::vector<std::unique_ptr<WindowHandler>> handlers;
  };

  // The register table names the hooks below.
  friend std::span<const Register> register_table();

  // Register hooks run with the register lock held.
  // Register hooks: the register window.
  std::uint32_t intr_cause(const RegisterAccess& access);
  void intr_cause_written(const RegisterAccess& access);
  std::uint32_t intr_mask(const RegisterAccess& access);
  void intr_mask_written(const RegisterAccess& access);
  std::uint32_t intr_status(const RegisterAccess& access);
  void interrupt_timer_written(const RegisterAccess& access);
  void global_control_written(const RegisterAccess& access);
  void wqe_allocate_written(const RegisterAccess& access);
  void cqe_allocate_written(const RegisterAccess& access);
  void aeq_acknowledge_written(const RegisterAccess& access);
  std::uint32_t index_register(const RegisterAccess& access);
  void index_register_written(const RegisterAccess& access);
  std::uint32_t data_register(const RegisterAccess& access);
  void data_register_written(const RegisterAccess& access);
  // The user doorbell pages.
  void user_wqe_allocate_written(const RegisterAccess& access);
  void user_cqe_allocate_written(const RegisterAccess& access);
  bool user_page_open(unsigned function, unsigned page);
  // The indexed registers.
  void cqp_context_written(const RegisterAccess& access);
  std::uint32_t queue_status_word(const RegisterAccess& access);
  // The EEPROM's register path.
  std::uint32_t eeprom_command(const RegisterAccess& access);
  void eeprom_command_written(const RegisterAccess& access);
  std::uint32_t eeprom_data(const RegisterAccess& access);
  void eeprom_data_written(const RegisterAccess& access);
  // The flash controller.
  std::uint32_t flash_control(const RegisterAccess& access);
  void flash_control_written(const RegisterAccess& access);
  std::uint32_t flash_data(const RegisterAccess& access);
  void flash_data_written(const RegisterAccess& access);
  bool flash_buffered() const;
  // MDIO and the SerDes lane words.
  std::uint32_t mdio_frame(const RegisterAccess& access);
  void mdio_frame_written(const RegisterAccess& access);
  std::uint32_t mdio_done(const RegisterAccess& access);
  void mdio_done_written(const RegisterAccess& access);
  std::uint32_t lane_status(const RegisterAccess& access);
  void lane_status_written(const RegisterAccess& access);
  std::uint32_t lane_ready(const RegisterAccess& access);
  void lane_ready_written(const RegisterAccess& access);
  bool link_locked() const { return link_allowed_ && carrier_; }
  // Applies `change` to the link's inputs; a change of the link is raised.
  void set_link(const std::function<void()>& change);
  // The firmware status word: 0 while the firmware restarts after a reset of
  // the board (kFirmwareRestartReads reads), or for good on a board whose
  // firmware is dead.
  std::uint32_t firmware_status(const RegisterAccess& access);
  // The statistics counters of the port MAC blocks and 0xA30: read and start again.
  std::uint32_t mac_counter(const RegisterAccess& access);
  // The per-node statistics blocks: a read takes the count, a write presets it.
  std::uint32_t node_counter(const RegisterAccess& access);
  void node_counter_written(const RegisterAccess& access);

  // The protection domain a user doorbell page belongs to.
  struct UserPage {
    unsigned function;
    std::uint32_t pd;
  };
  // What a register access hands the engines.
  struct Mail {
    enum class Kind { Doorbell, CreateCqp } kind;
    std::uint32_t value = 0;  // the doorbell word
    std::optional<UserPage> user;
    unsigned function = 0;  // CreateCqp: the function and its host context
    std::uint64_t context_pa = 0;
  };
  void post_mail(const Mail& mail);  // register lock held
  // Engine side (engine lock held).
  void wqe_doorbell(std::uint32_t value, std::optional<UserPage> user);
  void cq_allocate(std::uint32_t value);
  void record_race(const std::optional<IndexRace>& race);
  void raise(unsigned function, std::uint32_t bits);  // takes the interrupt lock
  Nanos engine_now() const;
  // The offload engine's side of the board (DMA, completions, events, local
  // memory, the port), on the engine thread.
  class OffloadSide;
  void refresh_offload_addresses(unsigned function);
  // Takes in what the mailboxes, the rings and the port brought; true when
  // anything came.
  bool intake();
  bool apply_mail();
  bool take_inbound();
  // One unit of engine work.
  bool step_locked();
  bool engine_has_work() const;  // engine lock held
  // Whether anything waits to be taken in (the mailboxes, the rings).
  bool input_waiting();
  // With no engine thread, what a register write or a frame brought is
  // taken in at once, on the caller's thread (unless it is the engine's).
  void intake_inline();
  bool on_engine_thread() const;
  void wake_engine();
  std::optional<Nanos> next_wake_locked();
  void deliver_interrupts();  // takes the interrupt lock itself; calls the sink without it
  void run_batch();           // engine lock held
  void engine_loop(std::stop_token stop);
  bool adopt_ring(plat::PostedWrites* ring);
  void release_ring(plat::PostedWrites* ring);

  plat::PhysicalMemory& memory_;
  const BoardConfig config_;
  const Log log_;

  LiveFaultCounters faults_;
  NodeCounters node_counters_;
  // The engine lock and what it guards.
  mutable std::mutex engine_mu_;
  RegisterFile registers_;  // register lock
  DmaPort dma_;
  QueueStatus status_;
  QueueSet queues_;
  QueuePairTable qps_;
  LocalMemory local_;
  CqpEngine cqp_;
  NicEngine nic_;
  FramePort* port_ = nullptr;
  std::unique_ptr<OffloadSide> offload_side_;
  std::unique_ptr<IwarpEngine> offload_;
  bool engine_turn_ = false;  // the CQP and the NIC engine take turns
  std::vector<plat::PostedWrites*> rings_;
  // The register lock and what it guards.
  std::mutex reg_mu_;
  std::vector<Mail> mail_;
  unsigned firmware_restart_reads_ = 0;  // reads of the firmware status that still answer 0

  IndexPairs pairs_;
  std::unique_ptr<Eeprom> eeprom_;
  std::unique_ptr<SpiFlash> flash_;
  MdioBus mdio_;
  bool carrier_ = false;
  bool link_allowed_ = false;                              // the configuration's, until a test changes it
  std::array<std::uint32_t, zekhw::kPorts> mac_status_{};  // the link-change bits of each port's MAC interrupt status
  std::uint32_t lane_words_[2][2] = {};                    // [lane block][status, ready]: what the drivers wrote
  std::vector<IndexRace> races_;
  // The inbound mailbox: frames from the port, and their spent buffers.
  static constexpr std::size_t kInboundLimit = 1024;
  std::mutex inbound_mu_;
  std::condition_variable_any inbound_cv_;
  std::deque<std::vector<std::byte>> inbound_;
  std::vector<std::vector<std::byte>> spent_;
  bool port_stopped_ = false;
  std::atomic<bool> port_room_{false};
  // The interrupt lock and what it guards.
  std::mutex irq_mu_;
  std::vector<Function> functions_;
  InterruptSink* sink_ = nullptr;
  std::vector<unsigned> pending_interrupts_;
  bool delivering_ = false;  // a thread is calling the sink
  struct Moderation {
    std::optional<std::chrono::steady_clock::time_point> last;  // the last edge delivered
    bool held = false;                                          // an edge waits for the interval
  };
  std::array<Moderation, zekhw::kMaxFunctions> moderation_{};
  std::array<std::atomic<std::int64_t>, zekhw::kMaxFunctions> moderation_ns_{};  // per function; 0: off
  // The engine thread.
  int wake_fd_ = -1, timer_fd_ = -1, epoll_fd_ = -1;
  void watch(int fd);  // adds fd to what the engine thread sleeps on
  std::atomic<bool> sleeping_{false};
  static constexpr unsigned kBatchUnits = 256;  // engine work units of one batch
  // How long the engine thread looks for work after a batch before it sleeps.
  static constexpr std::chrono::microseconds kEngineSpin{50};
  // Looks for work (kEngineSpin at most) without sleeping: true when some came.
  bool look_for_work(const std::stop_token& stop);
  static constexpr std::int64_t kNever = INT64_MAX;
  std::atomic<std::int64_t> planned_wake_{kNever};  // steady-clock ns the sleeping engine wakes at
  std::atomic<std::uint64_t> sleeps_{0}, wakeups_sent_{0}, wakeups_saved_{0}, batches_{0}, ring_writes_{0};
  std::atomic<std::uint64_t> interrupts_delivered_{0}, interrupts_held_{0};
  std::atomic<bool> running_{false};  // see running()
  std::jthread engine_;
};

}  // namespace zeksim
