// Register map of one PCI function of the adapter: the direct registers of
// the register window (BAR0), the words of a user doorbell page (BAR1), the
// capability words of the configuration window (BAR2) and the indexed
// registers reached through a function's index/data pair. Shared by the
// drivers, the user-mode verbs library and the simulated adapter; the words
// are described in docs/hardware.md.
#pragma once

#include <cstdint>

namespace zekhw {

// ---------------------------------------------------------------------------
// Windows
inline constexpr std::uint32_t kRegisterWindowBytes = 0x1000;  // BAR0
inline constexpr std::uint32_t kDoorbellPageBytes = 0x1000;    // one page per protection domain (BAR1)
inline constexpr std::uint32_t kConfigWindowBytes = 0x1000;    // BAR2
inline constexpr unsigned kMaxFunctions = 4;                   // PCI functions of one board
inline constexpr unsigned kIndexPairs = 8;                     // index/data pairs in every register window

// ---------------------------------------------------------------------------
// Direct registers (byte offsets in the register window)
inline constexpr std::uint32_t kRegIntrCause = 0x00;      // write 1 to clear
inline constexpr std::uint32_t kRegIntrMask = 0x04;       // 1 = masked; bit 31 master enable
inline constexpr std::uint32_t kRegIntrAltStatus = 0x08;  // chip revision 5: bit 0 = interrupt pending
inline constexpr std::uint32_t kRegIntrSource = 0x0C;
inline constexpr std::uint32_t kRegTimerControl = 0x10;
inline constexpr std::uint32_t kRegFunctionFlags = 0x14;  // writing 0xFF clears
inline constexpr std::uint32_t kRegIntrTimer = 0x18;
inline constexpr std::uint32_t kRegEepromCommand = 0x20;
inline constexpr std::uint32_t kRegEepromData = 0x24;
inline constexpr std::uint32_t kRegFlashCommand = 0x28;
inline constexpr std::uint32_t kRegFlashData = 0x2C;
inline constexpr std::uint32_t kRegGlobalControl = 0x30;
inline constexpr std::uint32_t kRegServicedCq = 0x34;  // id of the last serviced iWARP CQ (kept, not interpreted)
inline constexpr std::uint32_t kRegWqeDoorbell = 0x40;
inline constexpr std::uint32_t kRegCqAllocate = 0x44;  // give-back / arm; a read returns 0 and flushes
inline constexpr std::uint32_t kRegAeqAcknowledge = 0x48;
inline constexpr std::uint32_t kRegIndexBase = 0x50;  // index register of pair k: 0x50 + 8k
inline constexpr std::uint32_t kRegDataBase = 0x54;   // data register of pair k:  0x54 + 8k

constexpr std::uint32_t index_register(unsigned pair) { return kRegIndexBase + 8 * pair; }
constexpr std::uint32_t data_register(unsigned pair) { return kRegDataBase + 8 * pair; }

// Interrupt cause (0x00) and mask (0x04) bits.
inline constexpr std::uint32_t kIntrCeqMask = 0x0000FFFF;  // bit n: completion event queue n
inline constexpr unsigned kIntrAeqShift = 16;              // bit 16 + f: asynchronous event queue of function f
inline constexpr std::uint32_t kIntrAeqMask = 0x00FF0000;
inline constexpr std::uint32_t kIntrLinkMask = 0x0F000000;  // MAC/link, one bit per port
inline constexpr std::uint32_t kIntrTsw = 1u << 28;
inline constexpr std::uint32_t kIntrFunctionFlags = 1u << 29;
inline constexpr std::uint32_t kIntrOther = 1u << 30;
inline constexpr std::uint32_t kIntrMasterEnable = 1u << 31;  // mask register only
inline constexpr std::uint32_t kIntrCauseBits = 0x7FFFFFFF;
inline constexpr unsigned kIntrLinkShift = 24;  // cause bits 24-27: a link change of port 0-3

constexpr std::uint32_t intr_ceq_bit(unsigned ceq) { return 1u << ceq; }
constexpr std::uint32_t intr_aeq_bit(unsigned function) { return 1u << (kIntrAeqShift + function); }

// Interrupt moderation: while timer control (0x10) has bit 2 set, the
// interrupt timer (0x18) is the least time between two interrupts of the
// function, in units of 100 ns (the miniport's 550, 1000 with jumbo frames:
// 55 us, 100 us); 0 delivers every interrupt at once. An interrupt that
// comes sooner waits for the interval and is then raised once.
inline constexpr std::uint32_t kTimerControlRuns = 1u << 2;
inline constexpr std::uint32_t kIntrTimerUnitNs = 100;

// Global control (0x30).
inline constexpr std::uint32_t kGcResetRequestMask = 0x0000003F;
inline constexpr std::uint32_t kGcResetDone = 1u << 6;
// A reset request with these bits (the global reset's form, and the port
// reset of function 0) restarts the adapter's firmware, which then reads 0
// at kIdxFirmwareAlive for kFirmwareRestartReads reads.
inline constexpr std::uint32_t kGcBoardReset = 0x1D;
inline constexpr unsigned kFirmwareRestartReads = 3;
inline constexpr std::uint32_t kGcPortModeMask = 0x00000300;  // strapped, read-only
inline constexpr unsigned kGcPortModeShift = 8;
inline constexpr std::uint32_t kGcPortCountMask = 0x00003C00;  // bits 10-11 (f0/f2), 12-13 (f1/f3)
inline constexpr unsigned kGcPortCountShift = 10;
inline constexpr std::uint32_t kGcEnableMask = 0x00FF0000;

// WQE-allocate doorbell (0x40, and +0 of a user doorbell page):
// count << 24 | send << 23 | queue id.
inline constexpr std::uint32_t kDbCountShift = 24;
inline constexpr std::uint32_t kDbSendQueue = 1u << 23;
inline constexpr std::uint32_t kDbQueueIdMask = 0x007FFFFF;
inline constexpr std::uint32_t kDbMaxCount = 255;
constexpr std::uint32_t wqe_doorbell(std::uint32_t queue_id, std::uint32_t count, bool send) {
  return (count << kDbCountShift) | (send ? kDbSendQueue : 0u) | (queue_id & kDbQueueIdMask);
}

// CQE-allocate / arm (0x44, and +16 of a user doorbell page):
// count << 16 | CQ id, with bit 29 arm and bit 30 solicited only. Give-back
// is applied before the arm when both are in one write.
inline constexpr std::uint32_t kCqIdMask = 0x0000FFFF;
inline constexpr unsigned kCqGiveBackShift = 16;
inline constexpr std::uint32_t kCqGiveBackMask = 0x00FF0000;
inline constexpr std::uint32_t kCqArm = 1u << 29;
inline constexpr std::uint32_t kCqArmSolicited = 1u << 30;
constexpr std::uint32_t cq_give_back(std::uint32_t cq_id, std::uint32_t count) {
  return (count << kCqGiveBackShift) | (cq_id & kCqIdMask);
}
constexpr std::uint32_t cq_arm(std::uint32_t cq_id, bool solicited_only) {
  return (cq_id & kCqIdMask) | kCqArm | (solicited_only ? kCqArmSolicited : 0u);
}

// AEQ acknowledge (0x48): count << 16 for the AEQ of the function whose
// window is written.
inline constexpr unsigned kAeqAckShift = 16;
inline constexpr std::uint32_t kAeqAckMask = 0x00FF0000;
constexpr std::uint32_t aeq_acknowledge(std::uint32_t count) { return count << kAeqAckShift; }

// User doorbell page words (byte offsets within the page).
inline constexpr std::uint32_t kUserDbWqeAllocate = 0x00;
inline constexpr std::uint32_t kUserDbCqeAllocate = 0x10;

// ---------------------------------------------------------------------------
// Configuration window (BAR2): read-only capability words.
inline constexpr std::uint32_t kCfgCapabilities0 = 0x1C;
inline constexpr std::uint32_t kCfgCapabilities1 = 0x20;

// ---------------------------------------------------------------------------
// Indexed registers
constexpr std::uint32_t idx_cqp_context_low(unsigned function) { return 8 * function; }
constexpr std::uint32_t idx_cqp_context_high(unsigned function) { return 8 * function + 4; }
constexpr std::uint32_t idx_queue_status(unsigned function) { return 8 * function + 0x40; }
inline constexpr std::uint32_t kIdxFirmwareAlive = 0xA0;  // reads kFirmwareAliveValue while the firmware runs
inline constexpr std::uint32_t kFirmwareAliveValue = 0x80;
inline constexpr std::uint32_t kIdxIwarpEnable = 0x1F8;  // the proxy driver's attach: a 16-bit word
// The proxy driver's attach turns the offloads on: iWARP (0x1F8 and the low
// 4 bits of 0x5100) and TCP offload (0x6090 all ones, 0x6098 zero).
inline constexpr std::uint32_t kIdxIwarpControl = 0x5100;
inline constexpr std::uint32_t kIwarpControlMask = 0xF;
inline constexpr std::uint32_t kIdxToeEnable = 0x6090;
inline constexpr std::uint32_t kIdxToeControl = 0x6098;
inline constexpr std::uint32_t kIdxQueueClasses = 0x200;  // bits 0-1 SQ, 8-9 RQ WQE class; 16-17 read depth
inline constexpr std::uint32_t kIdxSize218 = 0x218;
inline constexpr std::uint32_t kIdxSize258 = 0x258;
inline constexpr std::uint32_t kIdxSize260 = 0x260;
inline constexpr std::uint32_t kIdxSize278 = 0x278;
inline constexpr std::uint32_t kIdxSize280 = 0x280;
inline constexpr std::uint32_t kIdxSize2B0 = 0x2B0;
inline constexpr unsigned kScratchpads = 16;  // scratchpads 0-15; the drivers use 8 and 9
constexpr std::uint32_t idx_scratchpad(unsigned n) { return 0x800 + 8 * n; }
inline constexpr std::uint32_t kIdxFlashMode = 0x8E8;
constexpr std::uint32_t idx_user_doorbell(unsigned function) { return 0x900 + 8 * function; }
inline constexpr std::uint32_t kIdxNicControl = 0x5000;
inline constexpr std::uint32_t kIdxSerdesErrors = 0x60B0;  // four 8-bit SerDes error counters, port p in bits 8p-8p+7
inline constexpr std::uint32_t kIdxHashSize = 0x6148;      // bits 0-4: connection-hash size exponent
// Destination-IP table of the offload: entry n (0-31) at 0x400 + 16 n, the
// address (host order) at +0 and three zero words; two type bits per entry
// at 0x600 (entries 0-15) and 0x604 (16-31). A connection's local address is
// entry n of its context (word 6 bits 10-15).
inline constexpr std::uint32_t kIdxDestIpTable = 0x400;
inline constexpr unsigned kDestIpEntries = 32;
constexpr std::uint32_t idx_dest_ip(unsigned n) { return kIdxDestIpTable + 16 * n; }
inline constexpr std::uint32_t kIdxDestIpTypes = 0x600;
// NIC receive filters (one bit per MAC slot, 20 slots) and the MAC table.
inline constexpr std::uint32_t kIdxPortMap = 0x6000;  // slot -> port map (kept)
inline constexpr std::uint32_t kIdxRxEnable = 0x6010;
inline constexpr std::uint32_t kIdxAllUnicast = 0x6018;
inline constexpr std::uint32_t kIdxAllMulticast = 0x6020;
inline constexpr std::uint32_t kIdxMulticastHashEnable = 0x6028;
inline constexpr std::uint32_t kIdxBroadcast = 0x6030;
inline constexpr std::uint32_t kIdxMulticastHashLow = 0x6070;
inline constexpr std::uint32_t kIdxMulticastHashHigh = 0x6078;
inline constexpr std::uint32_t kSlotMaskBits = 0xFFFFF;
constexpr std::uint32_t idx_mac_low(unsigned slot) { return 0x6200 + 8 * slot; }  // MAC bytes 2-5, byte 2 in bits 24-31
constexpr std::uint32_t idx_mac_high(unsigned slot) { return 0x6204 + 8 * slot; }  // bytes 0,1; (slot | 0x10) << 16
inline constexpr std::uint32_t kMacValid = 1u << 20;
inline constexpr std::uint32_t kIdxNicControlMask = 0x13F3F;  // bits of 0x5000 a field write keeps
inline constexpr unsigned kIdxNicControlStallShift = 15;      // bit 15: NIC stall/clear control
constexpr std::uint32_t idx_tx_reads(unsigned port) { return 0xA08 + 0x40 * port; }  // bits 24-28 outstanding reads
inline constexpr std::uint32_t kTxReadsMask = 0x1F000000;
// Port MAC block and SerDes of a port (stored; the model keeps them).
inline constexpr unsigned kPorts = 4;                    // ports with a MAC block, a SerDes block and a read counter
inline constexpr std::uint32_t kPortBlockBytes = 0x200;  // one port's MAC block or SerDes block
constexpr std::uint32_t idx_port_mac(unsigned port, std::uint32_t offset) { return 0x2000 + 0x200 * port + offset; }
constexpr std::uint32_t idx_serdes(unsigned lane_block, std::uint32_t offset) {
  return 0x2800 + 0x200 * lane_block + offset;
}
inline constexpr std::uint32_t kSerdesReadyBits = 0xF;  // 0x280C / 0x2A0C bits 0-3
// Statistics counters (64-bit counters are the low half at r and the high
// half at r + 4). Per-node blocks at 0x3000 (what the node received) and
// 0x7000 (what it sent) + 0x200 (f + n), the adapter's 0xA30 / 0xA34 + 0x200
// port. A node counter's read returns what was counted since the last read
// and starts the count again (a 64-bit counter's high half at r + 4 is the
// one its last low read latched); a write presets the half it names.
// Node 0 of function f (block f) counts the function's NIC traffic.
inline constexpr std::uint32_t kIdxNodeCounters = 0x3000;
inline constexpr std::uint32_t kIdxNodeCounters2 = 0x7000;
inline constexpr unsigned kCounterBlocks = 8;  // f + n: 0-7
// Offsets of the first block (add 0x200 (f + n)); 64-bit unless marked.
inline constexpr std::uint32_t kNodeRxOctets = 0x3000;          // bytes of frames received
inline constexpr std::uint32_t kNodeRxFrames = 0x3008;          // frames received
inline constexpr std::uint32_t kNodeIpv4RxOctets = 0x3010;      // bytes of the IPv4 datagrams received
inline constexpr std::uint32_t kNodeIpv4RxDatagrams = 0x3018;   // IPv4 datagrams received
inline constexpr std::uint32_t kNodeRxMulticast = 0x3030;       // multicast frames received
inline constexpr std::uint32_t kNodeRxBroadcast = 0x3038;       // broadcast frames received
inline constexpr std::uint32_t kNodeRxDiscards = 0x3080;        // 32-bit: frames dropped (no buffer, too long, DMA)
inline constexpr std::uint32_t kNodeRxProtocolErrors = 0x3094;  // 32-bit: frames received with a bad checksum
inline constexpr std::uint32_t kNodeTxOctets = 0x7000;          // bytes of frames sent
inline constexpr std::uint32_t kNodeTxFrames = 0x7008;          // frames sent
inline constexpr std::uint32_t kNodeIpv4TxOctets = 0x7010;      // bytes of the IPv4 datagrams sent
inline constexpr std::uint32_t kNodeIpv4TxDatagrams = 0x7018;   // IPv4 datagrams sent
inline constexpr std::uint32_t kNodeTxMulticast = 0x7030;       // multicast frames sent
inline constexpr std::uint32_t kNodeTxBroadcast = 0x7038;       // broadcast frames sent
// The 32-bit counters (0x3080-0x3094, 0x7080-0x708C), by their register in
// the first block; every other counter is 64-bit.
constexpr bool node_counter_is_32(std::uint32_t reg) {
  return (reg >= kIdxNodeCounters + 0x80 && reg < kIdxNodeCounters + 0x98) ||
         (reg >= kIdxNodeCounters2 + 0x80 && reg < kIdxNodeCounters2 + 0x90);
}
inline constexpr std::uint32_t kIdxPortRxCounter = 0xA30;
inline constexpr std::uint32_t kIdxPortTxCounter = 0xA34;
// The port MAC block's statistics counters (offsets in the block of
// idx_port_mac). Each read returns what was counted since the last read and
// starts the count again; a 64-bit counter hands out its low half at r and,
// at r + 4, the high half of the value latched by that read.
inline constexpr std::uint32_t kMacTxOctets = 0x100;     // 64-bit: bytes of frames sent
inline constexpr std::uint32_t kMacTxFrames = 0x108;     // 64-bit: frames sent
inline constexpr std::uint32_t kMacTxBroadcast = 0x110;  // broadcast frames sent
inline constexpr std::uint32_t kMacTxMulticast = 0x114;  // multicast frames sent
inline constexpr std::uint32_t kMacTxErrors = 0x138;     // send requests completed in error
inline constexpr std::uint32_t kMacRxOctets = 0x13C;     // 64-bit: bytes of frames received
inline constexpr std::uint32_t kMacRxFrames = 0x144;     // 64-bit: frames received
inline constexpr std::uint32_t kMacRxCrcErrors = 0x180;  // frames with a bad CRC (a lossless wire has none)
inline constexpr std::uint32_t kMacRxErrors = 0x184;     // receives in error, and frames too long for their buffer

// Queue status word (idx_queue_status).
inline constexpr std::uint32_t kStatusCqp = 1u << 8;
inline constexpr std::uint32_t kStatusCcq = 1u << 9;
inline constexpr std::uint32_t kStatusAeq = 1u << 10;
inline constexpr std::uint32_t kStatusCeq = 1u << 11;  // the function's control CEQ (id = function)

// User doorbell enable word (idx_user_doorbell): count << 16 | first PD id.
inline constexpr std::uint32_t kUserDbFirstMask = 0x0000FFFF;
inline constexpr unsigned kUserDbCountShift = 16;

// Class tables of the capability words.
inline constexpr std::uint32_t kWqeClasses[4] = {4, 32, 128, 512};
inline constexpr std::uint32_t kReadDepthClasses[4] = {4, 16, 64, 128};

}  // namespace zekhw
