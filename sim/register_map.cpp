#include "sim/register_map.h"

#include <algorithm>
#include <cstdio>
#include <numeric>

#include "include/hw/phy.h"
#include "include/hw/registers.h"
#include "sim/board.h"

namespace zeksim {

using namespace zekhw;

namespace {

template <std::uint32_t Capabilities::*Field>
std::uint32_t capability(const BoardConfig& config) {
  return config.caps.*Field;
}

std::uint32_t global_control_at_reset(const BoardConfig& config) {
  const std::uint32_t counts = (config.port_count_field & 3u) * 0x5u;  // the same field for both function pairs
  return kGcResetDone | (std::uint32_t{config.port_mode} << kGcPortModeShift) | (counts << kGcPortCountShift);
}

// The lane words at power-up: the link's status bits, the ready bits.
std::uint32_t lane_status_at_reset(const BoardConfig& config) {
  return config.link_allowed && config.carrier ? kLaneSyncBits | kLaneStatusLow | kLaneStatusHigh : 0;
}
std::uint32_t lane_ready_at_reset(const BoardConfig& config) { return config.lanes_ready ? kLaneReadyBits : 0; }

std::uint32_t firmware_status(const BoardConfig& config) { return config.firmware_alive ? kFirmwareAliveValue : 0; }

// Bits of global control that a write changes: not the strapped port mode,
// not reset done (the adapter's answer), not bit 7.
constexpr std::uint32_t kGcWritable = ~(kGcPortModeMask | kGcResetDone | 0x80u);

// The bytes of each space that rows may occupy (the doorbell window: one page).
std::uint64_t space_bytes(Space space) {
  switch (space) {
    case Space::Registers:
      return kRegisterWindowBytes;
    case Space::Doorbells:
      return kDoorbellPageBytes;
    case Space::Config:
      return kConfigWindowBytes;
    case Space::Indexed:
      return std::uint64_t{1} << 32;
  }
  return 0;
}

// Whether row r lies within block row `block` (a narrower row, not the same span).
bool inside(const Register& r, const Register& block) {
  bool is_block = block.count > 1 && block.stride == 4;
  return is_block && block.offset <= r.offset && r.last() <= block.last() &&
         block.last() - block.offset > r.last() - r.offset;
}

}  // namespace

const char* space_name(Space space) {
  switch (space) {
    case Space::Registers:
      return "register window offset";
    case Space::Doorbells:
      return "doorbell window offset";
    case Space::Config:
      return "configuration window offset";
    case Space::Indexed:
      return "index";
  }
  return "?";
}

const char* access_name(Access access) {
  switch (access) {
    case Access::ReadOnly:
      return "read-only";
    case Access::ReadWrite:
      return "read-write";
    case Access::WriteOneToClear:
      return "write-one-to-clear";
    case Access::WriteOnly:
      return "write-only";
  }
  return "?";
}

// ---------------------------------------------------------------------------
// The table. docs/hardware.md lists the same rows, in the same words.

std::span<const Register> register_table() {
  using S = Space;
  using A = Access;
  static const Register kTable[] = {
      // --- Register window (BAR0), one per function unless shared --------
      {.space = S::Registers,
       .offset = kRegIntrCause,
       .name = "interrupt cause",
       .access = A::WriteOneToClear,
       .on_read = &Board::intr_cause,
       .on_write = &Board::intr_cause_written},
      {.space = S::Registers,
       .offset = kRegIntrMask,
       .name = "interrupt mask",
       .access = A::ReadWrite,
       .reset = kIntrCauseBits,
       .on_read = &Board::intr_mask,
       .on_write = &Board::intr_mask_written},
      {.space = S::Registers,
       .offset = kRegIntrAltStatus,
       .name = "interrupt status",
       .access = A::ReadOnly,
       .on_read = &Board::intr_status},
      {.space = S::Registers, .offset = kRegIntrSource, .name = "interrupt source", .access = A::ReadWrite},
      {.space = S::Registers,
       .offset = kRegTimerControl,
       .name = "timer control",
       .access = A::ReadWrite,
       .on_write = &Board::interrupt_timer_written},
      {.space = S::Registers, .offset = kRegFunctionFlags, .name = "function flags", .access = A::WriteOneToClear},
      {.space = S::Registers,
       .offset = kRegIntrTimer,
       .name = "interrupt timer",
       .access = A::ReadWrite,
       .on_write = &Board::interrupt_timer_written},
      {.space = S::Registers,
       .offset = kRegEepromCommand,
       .name = "EEPROM command",
       .access = A::ReadWrite,
       .shared = true,
       .on_read = &Board::eeprom_command,
       .on_write = &Board::eeprom_command_written},
      {.space = S::Registers,
       .offset = kRegEepromData,
       .name = "EEPROM data",
       .access = A::ReadWrite,
       .shared = true,
       .on_read = &Board::eeprom_data,
       .on_write = &Board::eeprom_data_written},
      {.space = S::Registers,
       .offset = kRegFlashCommand,
       .name = "flash command",
       .access = A::ReadWrite,
       .shared = true,
       .on_read = &Board::flash_control,
       .on_write = &Board::flash_control_written},
      {.space = S::Registers,
       .offset = kRegFlashData,
       .name = "flash data",
       .access = A::ReadWrite,
       .shared = true,
       .on_read = &Board::flash_data,
       .on_write = &Board::flash_data_written},
      {.space = S::Registers,
       .offset = kRegGlobalControl,
       .name = "global control",
       .access = A::ReadWrite,
       .configured = &global_control_at_reset,
       .writable = kGcWritable,
       .shared = true,
       .on_write = &Board::global_control_written},
      {.space = S::Registers, .offset = kRegServicedCq, .name = "serviced CQ", .access = A::ReadWrite},
      {.space = S::Registers,
       .offset = kRegWqeDoorbell,
       .name = "WQE allocate",
       .access = A::WriteOnly,
       .on_write = &Board::wqe_allocate_written},
      {.space = S::Registers,
       .offset = kRegCqAllocate,
       .name = "CQE allocate",
       .access = A::WriteOnly,
       .on_write = &Board::cqe_allocate_written},
      {.space = S::Registers,
       .offset = kRegAeqAcknowledge,
       .name = "AEQ acknowledge",
       .access = A::WriteOnly,
       .on_write = &Board::aeq_acknowledge_written},
      {.space = S::Registers,
       .offset = kRegIndexBase,
       .name = "index register",
       .access = A::ReadWrite,
       .count = kIndexPairs,
       .stride = 8,
       .shared = true,
       .on_read = &Board::index_register,
       .on_write = &Board::index_register_written},
      {.space = S::Registers,
       .offset = kRegDataBase,
       .name = "data register",
       .access = A::ReadWrite,
       .count = kIndexPairs,
       .stride = 8,
       .shared = true,
       .on_read = &Board::data_register,
       .on_write = &Board::data_register_written},

      // --- User doorbell page (BAR1) -------------------------------------
      {.space = S::Doorbells,
       .offset = kUserDbWqeAllocate,
       .name = "WQE allocate",
       .access = A::WriteOnly,
       .on_write = &Board::user_wqe_allocate_written},
      {.space = S::Doorbells,
       .offset = kUserDbCqeAllocate,
       .name = "CQE allocate",
       .access = A::WriteOnly,
       .on_write = &Board::user_cqe_allocate_written},

      // --- Configuration window (BAR2) -----------------------------------
      {.space = S::Config,
       .offset = kCfgCapabilities0,
       .name = "capabilities W",
       .access = A::ReadOnly,
       .configured = &capability<&Capabilities::config_1c>},
      {.space = S::Config,
       .offset = kCfgCapabilities1,
       .name = "capabilities V",
       .access = A::ReadOnly,
       .configured = &capability<&Capabilities::config_20>},

      // --- Indexed registers (one set for the board) ---------------------
      {.space = S::Indexed,
       .offset = idx_cqp_context_low(0),
       .name = "CQP context low",
       .access = A::ReadWrite,
       .count = kMaxFunctions,
       .stride = 8,
       .on_write = &Board::cqp_context_written},
      {.space = S::Indexed,
       .offset = idx_cqp_context_high(0),
       .name = "CQP context high",
       .access = A::ReadWrite,
       .count = kMaxFunctions,
       .stride = 8},
      {.space = S::Indexed,
       .offset = idx_queue_status(0),
       .name = "queue status",
       .access = A::ReadOnly,
       .count = kMaxFunctions,
       .stride = 8,
       .on_read = &Board::queue_status_word},
      {.space = S::Indexed,
       .offset = kIdxFirmwareAlive,
       .name = "firmware status",
       .access = A::ReadOnly,
       .configured = &firmware_status,
       .on_read = &Board::firmware_status},
      {.space = S::Indexed, .offset = kIdxIwarpEnable, .name = "iWARP enable", .access = A::ReadWrite},
      {.space = S::Indexed,
       .offset = kIdxQueueClasses,
       .name = "queue classes",
       .access = A::ReadOnly,
       .configured = &capability<&Capabilities::queue_classes>},
      {.space = S::Indexed,
       .offset = kIdxSize218,
       .name = "capability 0x218",
       .access = A::ReadOnly,
       .configured = &capability<&Capabilities::size_218>},
      {.space = S::Indexed,
       .offset = kIdxSize258,
       .name = "capability 0x258",
       .access = A::ReadOnly,
       .configured = &capability<&Capabilities::size_258>},
      {.space = S::Indexed,
       .offset = kIdxSize260,
       .name = "capability 0x260",
       .access = A::ReadOnly,
       .configured = &capability<&Capabilities::size_260>},
      {.space = S::Indexed,
       .offset = kIdxSize278,
       .name = "capability 0x278",
       .access = A::ReadOnly,
       .configured = &capability<&Capabilities::size_278>},
      {.space = S::Indexed,
       .offset = kIdxSize280,
       .name = "capability 0x280",
       .access = A::ReadOnly,
       .configured = &capability<&Capabilities::size_280>},
      {.space = S::Indexed,
       .offset = kIdxSize2B0,
       .name = "capability 0x2B0",
       .access = A::ReadOnly,
       .configured = &capability<&Capabilities::size_2b0>},
      {.space = S::Indexed,
       .offset = idx_scratchpad(0),
       .name = "scratchpad",
       .access = A::ReadWrite,
       .count = kScratchpads,
       .stride = 8},
      {.space = S::Indexed,
       .offset = kIdxFlashMode,
       .name = "flash mode",
       .access = A::ReadWrite,
       .configured = &capability<&Capabilities::flash_mode>},
      {.space = S::Indexed,
       .offset = idx_user_doorbell(0),
       .name = "user doorbell pages",
       .access = A::ReadWrite,
       .count = kMaxFunctions,
       .stride = 8},
      {.space = S::Indexed,
       .offset = idx_tx_reads(0),
       .name = "transmit reads",
       .access = A::ReadWrite,
       .count = kPorts,
       .stride = idx_tx_reads(1) - idx_tx_reads(0)},
      {.space = S::Indexed,
       .offset = idx_port_mac(0, 0),
       .name = "port MAC blocks",
       .access = A::ReadWrite,
       .count = kPorts * kPortBlockBytes / 4},
      {.space = S::Indexed,
       .offset = idx_port_mac(0, kMacTxOctets),
       .name = "MAC sent bytes",
       .access = A::ReadOnly,
       .count = kPorts,
       .stride = kPortBlockBytes,
       .on_read = &Board::mac_counter},
      {.space = S::Indexed,
       .offset = idx_port_mac(0, kMacTxOctets + 4),
       .name = "MAC sent bytes high",
       .access = A::ReadOnly,
       .count = kPorts,
       .stride = kPortBlockBytes,
       .on_read = &Board::mac_counter},
      {.space = S::Indexed,
       .offset = idx_port_mac(0, kMacTxFrames),
       .name = "MAC sent frames",
       .access = A::ReadOnly,
       .count = kPorts,
       .stride = kPortBlockBytes,
       .on_read = &Board::mac_counter},
      {.space = S::Indexed,
       .offset = idx_port_mac(0, kMacTxFrames + 4),
       .name = "MAC sent frames high",
       .access = A::ReadOnly,
       .count = kPorts,
       .stride = kPortBlockBytes,
       .on_read = &Board::mac_counter},
      {.space = S::Indexed,
       .offset = idx_port_mac(0, kMacTxBroadcast),
       .name = "MAC sent broadcasts",
       .access = A::ReadOnly,
       .count = kPorts,
       .stride = kPortBlockBytes,
       .on_read = &Board::mac_counter},
      {.space = S::Indexed,
       .offset = idx_port_mac(0, kMacTxMulticast),
       .name = "MAC sent multicasts",
       .access = A::ReadOnly,
       .count = kPorts,
       .stride = kPortBlockBytes,
       .on_read = &Board::mac_counter},
      {.space = S::Indexed,
       .offset = idx_port_mac(0, kMacTxErrors),
       .name = "MAC send errors",
       .access = A::ReadOnly,
       .count = kPorts,
       .stride = kPortBlockBytes,
       .on_read = &Board::mac_counter},
      {.space = S::Indexed,
       .offset = idx_port_mac(0, kMacRxOctets),
       .name = "MAC received bytes",
       .access = A::ReadOnly,
       .count = kPorts,
       .stride = kPortBlockBytes,
       .on_read = &Board::mac_counter},
      {.space = S::Indexed,
       .offset = idx_port_mac(0, kMacRxOctets + 4),
       .name = "MAC received bytes high",
       .access = A::ReadOnly,
       .count = kPorts,
       .stride = kPortBlockBytes,
       .on_read = &Board::mac_counter},
      {.space = S::Indexed,
       .offset = idx_port_mac(0, kMacRxFrames),
       .name = "MAC received frames",
       .access = A::ReadOnly,
       .count = kPorts,
       .stride = kPortBlockBytes,
       .on_read = &Board::mac_counter},
      {.space = S::Indexed,
       .offset = idx_port_mac(0, kMacRxFrames + 4),
       .name = "MAC received frames high",
       .access = A::ReadOnly,
       .count = kPorts,
       .stride = kPortBlockBytes,
       .on_read = &Board::mac_counter},
      {.space = S::Indexed,
       .offset = idx_port_mac(0, kMacRxCrcErrors),
       .name = "MAC CRC errors",
       .access = A::ReadOnly,
       .count = kPorts,
       .stride = kPortBlockBytes,
       .on_read = &Board::mac_counter},
      {.space = S::Indexed,
       .offset = idx_port_mac(0, kMacRxErrors),
       .name = "MAC receive errors",
       .access = A::ReadOnly,
       .count = kPorts,
       .stride = kPortBlockBytes,
       .on_read = &Board::mac_counter},
      {.space = S::Indexed,
       .offset = idx_serdes(0, 0),
       .name = "SerDes blocks",
       .access = A::ReadWrite,
       .count = kPorts * kPortBlockBytes / 4},
      {.space = S::Indexed,
       .offset = kIdxMdioFrame,
       .name = "MDIO frame",
       .access = A::ReadWrite,
       .on_read = &Board::mdio_frame,
       .on_write = &Board::mdio_frame_written},
      {.space = S::Indexed,
       .offset = kIdxMdioDone,
       .name = "MAC interrupt status",
       .access = A::WriteOneToClear,
       .count = kPorts,
       .stride = kPortBlockBytes,
       .on_read = &Board::mdio_done,
       .on_write = &Board::mdio_done_written},
      {.space = S::Indexed,
       .offset = kIdxLaneStatus0,
       .name = "lane status",
       .access = A::ReadWrite,
       .configured = &lane_status_at_reset,
       .count = 2,
       .stride = kIdxLaneStatus1 - kIdxLaneStatus0,
       .on_read = &Board::lane_status,
       .on_write = &Board::lane_status_written},
      {.space = S::Indexed,
       .offset = kIdxLaneReady0,
       .name = "lane ready",
       .access = A::ReadWrite,
       .configured = &lane_ready_at_reset,
       .count = 2,
       .stride = kIdxLaneReady1 - kIdxLaneReady0,
       .on_read = &Board::lane_ready,
       .on_write = &Board::lane_ready_written},
      {.space = S::Indexed,
       .offset = kIdxNodeCounters,
       .name = "node counters",
       .access = A::ReadWrite,
       .count = kCounterBlocks * kPortBlockBytes / 4,
       .on_read = &Board::node_counter,
       .on_write = &Board::node_counter_written},
      {.space = S::Indexed,
       .offset = kIdxNodeCounters2,
       .name = "node counters 2",
       .access = A::ReadWrite,
       .count = kCounterBlocks * kPortBlockBytes / 4,
       .on_read = &Board::node_counter,
       .on_write = &Board::node_counter_written},
      {.space = S::Indexed,
       .offset = kIdxPortRxCounter,
       .name = "port counter 0xA30",
       .access = A::ReadOnly,
       .count = kPorts,
       .stride = kPortBlockBytes,
       .on_read = &Board::mac_counter},
      {.space = S::Indexed,
       .offset = kIdxPortTxCounter,
       .name = "port counter 0xA34",
       .access = A::ReadWrite,
       .count = kPorts,
       .stride = kPortBlockBytes},
      {.space = S::Indexed, .offset = kIdxNicControl, .name = "NIC control", .access = A::ReadWrite},
      {.space = S::Indexed, .offset = kIdxIwarpControl, .name = "iWARP control", .access = A::ReadWrite},
      {.space = S::Indexed, .offset = kIdxPortMap, .name = "port map", .access = A::ReadWrite},
      {.space = S::Indexed, .offset = kIdxRxEnable, .name = "receive enable", .access = A::ReadWrite},
      {.space = S::Indexed, .offset = kIdxAllUnicast, .name = "all unicast", .access = A::ReadWrite},
      {.space = S::Indexed, .offset = kIdxAllMulticast, .name = "all multicast", .access = A::ReadWrite},
      {.space = S::Indexed, .offset = kIdxMulticastHashEnable, .name = "multicast hash enable", .access = A::ReadWrite},
      {.space = S::Indexed, .offset = kIdxBroadcast, .name = "broadcast", .access = A::ReadWrite},
      {.space = S::Indexed, .offset = kIdxMulticastHashLow, .name = "multicast hash low", .access = A::ReadWrite},
      {.space = S::Indexed, .offset = kIdxMulticastHashHigh, .name = "multicast hash high", .access = A::ReadWrite},
      {.space = S::Indexed, .offset = kIdxToeEnable, .name = "TCP offload enable", .access = A::ReadWrite},
      {.space = S::Indexed, .offset = kIdxToeControl, .name = "TCP offload control", .access = A::ReadWrite},
      {.space = S::Indexed, .offset = kIdxSerdesErrors, .name = "SerDes error counters", .access = A::ReadWrite},
      {.space = S::Indexed,
       .offset = kIdxDestIpTable,
       .name = "destination-IP table",
       .access = A::ReadWrite,
       .count = kDestIpEntries * 4},
      {.space = S::Indexed,
       .offset = kIdxDestIpTypes,
       .name = "destination-IP types",
       .access = A::ReadWrite,
       .count = 2},
      {.space = S::Indexed,
       .offset = kIdxHashSize,
       .name = "connection hash size",
       .access = A::ReadWrite,
       .configured = &capability<&Capabilities::hash_size>},
      {.space = S::Indexed,
       .offset = idx_mac_low(0),
       .name = "MAC slot low",
       .access = A::ReadWrite,
       .count = kMacSlots,
       .stride = 8},
      {.space = S::Indexed,
       .offset = idx_mac_high(0),
       .name = "MAC slot high",
       .access = A::ReadWrite,
       .count = kMacSlots,
       .stride = 8},
  };
  return kTable;
}

// ---------------------------------------------------------------------------
// The map

RegisterMap::RegisterMap(std::span<const Register> table) {
  check(table);
  // Wider rows first, so that a row inside a block replaces the block's words.
  std::vector<std::size_t> order(table.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return std::uint64_t{table[a].last()} - table[a].offset > std::uint64_t{table[b].last()} - table[b].offset;
  });
  for (std::size_t i : order) {
    const Register& r = table[i];
    auto& slots = slots_[static_cast<unsigned>(r.space)];
    for (std::uint32_t n = 0; n < r.count; ++n) slots[r.offset + n * r.stride] = Slot{&r, n, 0};
  }
  for (auto& slots : slots_) {
    for (auto& [offset, slot] : slots) {
      if (slot.reg->keeps_value()) slot.storage = storage_slots_++;
    }
  }
}

const RegisterMap& RegisterMap::adapter() {
  static const RegisterMap map(register_table());
  return map;
}

std::optional<RegisterMap::Slot> RegisterMap::find(Space space, std::uint32_t offset) const {
  unsigned page = 0;
  if (space == Space::Doorbells) {
    // Every page of the doorbell window has the layout of the rows.
    page = offset / kDoorbellPageBytes;
    offset %= kDoorbellPageBytes;
  }
  const auto& slots = slots_[static_cast<unsigned>(space)];
  auto it = slots.find(offset);
  if (it == slots.end()) return std::nullopt;
  Slot slot = it->second;
  if (space == Space::Doorbells) slot.instance = page;
  return slot;
}

void RegisterMap::check(std::span<const Register> table) {
  auto problem = [&](const Register& r, const char* what) {
    char text[160];
    std::snprintf(text, sizeof text, "%s (%s 0x%x): %s", r.name, space_name(r.space), r.offset, what);
    problems_.emplace_back(text);
  };
  for (const Register& r : table) {
    if (r.count == 0) {
      problem(r, "no registers");
      continue;
    }
    if (r.offset % 4 != 0 || (r.count > 1 && (r.stride < 4 || r.stride % 4 != 0))) {
      problem(r, "misaligned");
      continue;
    }
    if (std::uint64_t{r.offset} + std::uint64_t{r.count - 1} * r.stride + 4 > space_bytes(r.space)) {
      problem(r, "beyond its space");
    }
    if (r.space == Space::Doorbells && r.count != 1) problem(r, "an array in a doorbell page");
    if (r.access == Access::ReadOnly && r.on_write != nullptr) problem(r, "a write hook on a read-only register");
    if (r.access == Access::WriteOnly && (r.reset != 0 || r.configured != nullptr)) {
      problem(r, "a reset value on a write-only register");
    }
  }
  // Rows may overlap only when one lies wholly inside a block of the other.
  for (std::size_t i = 0; i < table.size(); ++i) {
    for (std::size_t j = i + 1; j < table.size(); ++j) {
      const Register& a = table[i];
      const Register& b = table[j];
      if (a.space != b.space || a.count == 0 || b.count == 0) continue;
      if ((a.count > 1 && a.stride == 0) || (b.count > 1 && b.stride == 0)) continue;  // reported above
      if (a.last() < b.offset || b.last() < a.offset) continue;
      if (inside(b, a) || inside(a, b)) continue;
      // Two arrays may interleave without sharing a register.
      bool shared = false;
      for (std::uint32_t n = 0; n < a.count && !shared; ++n) {
        std::uint32_t offset = a.offset + n * a.stride;
        shared = offset >= b.offset && offset <= b.last() && (b.count == 1 || (offset - b.offset) % b.stride == 0);
      }
      if (shared) problem(b, (std::string("overlaps ") + a.name).c_str());
    }
  }
}

// ---------------------------------------------------------------------------
// The register file

RegisterFile::RegisterFile(Board& board, const BoardConfig& config, const Log& log, LiveFaultCounters& faults)
    : board_(board),
      map_(RegisterMap::adapter()),
      log_(log),
      faults_(faults),
      functions_(std::max(config.functions, 1u)),
      values_(std::size_t{map_.storage_slots()} * functions_, 0) {
  for (const Register& r : register_table()) {
    if (!r.keeps_value()) continue;
    for (std::uint32_t n = 0; n < r.count; ++n) {
      auto slot = map_.find(r.space, r.offset + n * r.stride);
      if (!slot || slot->reg != &r) continue;  // replaced by a row inside the block
      for (unsigned f = 0; f < (r.is_shared() ? 1u : functions_); ++f) *storage(*slot, f) = r.reset_value(config);
    }
  }
}

std::uint32_t* RegisterFile::storage(const RegisterMap::Slot& slot, unsigned function) {
  if (!slot.reg->keeps_value()) return nullptr;
  unsigned f = slot.reg->is_shared() ? 0 : function;
  return &values_[std::size_t{f} * map_.storage_slots() + slot.storage];
}

std::uint32_t RegisterFile::read(Space space, unsigned function, std::uint32_t offset) {
  auto slot = map_.find(space, offset);
  if (!slot) {
    ++faults_.unknown_accesses;
    log_("read at %s 0x%x (function %u): no register there, 0 returned", space_name(space), offset, function);
    return 0;
  }
  const Register& r = *slot->reg;
  RegisterAccess access{function, offset, slot->instance, 0, storage(*slot, function)};
  if (r.on_read != nullptr) return (board_.*r.on_read)(access);
  if (r.access == Access::WriteOnly) return 0;
  return *access.kept;
}

void RegisterFile::write(Space space, unsigned function, std::uint32_t offset, std::uint32_t value) {
  auto slot = map_.find(space, offset);
  if (!slot) {
    ++faults_.unknown_accesses;
    log_("write of 0x%08x at %s 0x%x (function %u): no register there, ignored", value, space_name(space), offset,
         function);
    return;
  }
  const Register& r = *slot->reg;
  if (r.access == Access::ReadOnly) {
    ++faults_.read_only_writes;
    log_("write of 0x%08x to the read-only %s (%s 0x%x, function %u) ignored", value, r.name, space_name(space), offset,
         function);
    return;
  }
  RegisterAccess access{function, offset, slot->instance, value, storage(*slot, function)};
  if (access.kept != nullptr) {
    std::uint32_t& kept = *access.kept;
    kept = r.access == Access::WriteOneToClear ? kept & ~(value & r.writable)
                                               : (kept & ~r.writable) | (value & r.writable);
  }
  if (r.on_write != nullptr) (board_.*r.on_write)(access);
}

void RegisterFile::set_bits(Space space, unsigned function, std::uint32_t offset, std::uint32_t bits) {
  auto slot = map_.find(space, offset);
  if (!slot || !slot->reg->keeps_value()) return;
  *storage(*slot, function) |= bits;
}

std::uint32_t RegisterFile::kept(Space space, unsigned function, std::uint32_t offset) const {
  auto slot = map_.find(space, offset);
  if (!slot || !slot->reg->keeps_value()) return 0;
  unsigned f = slot->reg->is_shared() ? 0 : function;
  return values_[std::size_t{f} * map_.storage_slots() + slot->storage];
}

}  // namespace zeksim
