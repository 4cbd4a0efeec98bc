// One simulated adapter board: one to four PCI functions, each with its PCI
// configuration space and three windows (registers, user doorbells,
// configuration), over shared engines.
//
// Register accesses are synchronous on the caller's thread. The engines'
// work (the control queue pair now; the NIC and iWARP engines later) runs
// either in step mode, where a test calls step()/run_until_idle() and
// nothing happens in between, or on the board's own engine thread after
// start(), woken by doorbells. One lock guards the model; interrupts are
// delivered to the sink after it is released.
//
// The registers are decoded by the register table (register_map.h); the
// board keeps the state and the engines, and its hooks are what a register
// access sets in motion.
#pragma once

#include <condition_variable>
#include <cstdint>
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

namespace zeksim {

class Board {
 public:
  Board(plat::PhysicalMemory& memory, BoardConfig config = {});
  ~Board();
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
  bool running() const { return engine_.joinable(); }

  // --- For the engines ----------------------------------------------------
  // The path every completion takes: credits, arming, CEQE, interrupt.
  PostResult post_completion(std::uint32_t cq_id, std::span<const std::byte> entry, bool solicited);
  bool post_async_event(unsigned function, const AsyncEvent& event);

  // --- Ethernet port -------------------------------------------------------
  // The port the NIC engine sends through (null: frames leave nowhere).
  void attach_port(FramePort* port);
  // A frame from the port. Waits while the board's inbound queue is full (the
  // wire is lossless: its receiver stops reading); false once stop_port() ran.
  bool receive_frame(std::span<const std::byte> frame);
  // The port has room again: sends it held back go on.
  void port_room();
  // Ends the waits of receive_frame (the port is going away).
  void stop_port();

  // --- Observation --------------------------------------------------------
  NicCounters nic_counters();
  // Frames the offload engine took for its connections, and dropped as damaged.
  EngineCounters offload_counters();
  std::size_t queue_pair_count();
  FaultCounters faults();
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
  void set_carrier(bool peer_present);
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

  // All below run with mu_ held.
  // Register hooks: the register window.
  std::uint32_t intr_cause(const RegisterAccess& access);
  void intr_cause_written(const RegisterAccess& access);
  std::uint32_t intr_mask(const RegisterAccess& access);
  void intr_mask_written(const RegisterAccess& access);
  std::uint32_t intr_status(const RegisterAccess& access);
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
  bool link_locked() const { return config_.link_allowed && carrier_; }

  // The protection domain a user doorbell page belongs to.
  struct UserPage {
    unsigned function;
    std::uint32_t pd;
  };
  void wqe_doorbell(std::uint32_t value, std::optional<UserPage> user);
  void cq_allocate(std::uint32_t value);
  void record_race(const std::optional<IndexRace>& race);
  void raise(unsigned function, std::uint32_t bits);
  bool has_work_locked() const;
  Nanos engine_now() const;
  // The offload engine's side of the board (DMA, completions, events, local
  // memory, the port), under the board's lock.
  class OffloadSide;
  void refresh_offload_addresses(unsigned function);
  bool step_locked();
  void deliver_interrupts();  // takes mu_ itself; calls the sink without it
  void engine_loop(std::stop_token stop);

  plat::PhysicalMemory& memory_;
  const BoardConfig config_;
  const Log log_;

  std::mutex mu_;
  FaultCounters faults_;
  RegisterFile registers_;
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
  bool port_stopped_ = false;
  std::condition_variable_any inbound_cv_;
  IndexPairs pairs_;
  std::unique_ptr<Eeprom> eeprom_;
  std::unique_ptr<SpiFlash> flash_;
  MdioBus mdio_;
  bool carrier_ = false;
  std::uint32_t lane_words_[2][2] = {};  // [lane block][status, ready]: what the drivers wrote
  std::vector<IndexRace> races_;
  std::vector<Function> functions_;
  InterruptSink* sink_ = nullptr;
  std::vector<unsigned> pending_interrupts_;
  bool delivering_ = false;  // a thread is calling the sink

  std::condition_variable_any work_cv_;
  std::jthread engine_;
};

}  // namespace zeksim
