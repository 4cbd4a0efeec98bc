// The adapter's statistics counters, read by identifier for the management
// requests and the miniport's statistics. An identifier selects a row of
// one of two tables: the adapter counters 0x1000-0x1019 (the port MAC block
// of the device's port: register + 512 x port) and the per-port counters
// 0x2000-0x203E (the per-node blocks: register + 512 x (function + port)).
// The adapter's counters start again at every read, so each read is a
// delta that the device object's 64-bit accumulator adds up; the caller
// gets the running total.
//
// A counter's register reads and its accumulator's add happen under the
// index-register lock, so two readers of one counter never lose a delta
// and no other indexed access falls between a 64-bit counter's two halves.
#pragma once

#include <cstdint>

#include "include/zek/mifh.h"

inline constexpr std::uint32_t MIFH_ADAPTER_STAT_FIRST = 0x1000;
inline constexpr std::uint32_t MIFH_ADAPTER_STAT_COUNT = 26;  // 0x1000-0x1019
inline constexpr std::uint32_t MIFH_PORT_STAT_FIRST = 0x2000;
inline constexpr std::uint32_t MIFH_PORT_STAT_COUNT = 63;  // 0x2000-0x203E
inline constexpr std::uint32_t MIFH_STAT_PORTS = 16;       // accumulator blocks of the per-port counters
inline constexpr std::uint32_t MIFH_STAT_NO_PORT = 15;     // the port that answers 0 without a register access
inline constexpr std::uint32_t MIFH_STAT_REGISTER_STRIDE = 512;

// How a row reads its register.
enum MifhStatWidth : std::uint8_t {
  MIFH_STAT_NONE = 0,  // not provided: 0, success
  MIFH_STAT_32 = 1,    // one read
  MIFH_STAT_64 = 2,    // low half at the register, high half at register + 4
};

struct MifhStatRow {
  std::uint32_t Register;
  MifhStatWidth Width;
};

extern const MifhStatRow MifhAdapterStatTable[MIFH_ADAPTER_STAT_COUNT];
extern const MifhStatRow MifhPortStatTable[MIFH_PORT_STAT_COUNT];

// The accumulators of a device object (26 adapter slots, then 16 blocks of
// 63 per-port slots); ZEK_STATUS_PASS, or MIFH_STATUS_FAIL without memory.
// Allocating twice keeps the first; freeing clears the pointers.
extern "C" ZekStatus mifh_stat_accumulators_alloc(MifhDeviceObj* device);
extern "C" void mifh_stat_accumulators_free(MifhDeviceObj* device);

// The running total of an adapter counter of the device's port: 0, or 1 for
// a missing device or output, an identifier outside 0x1000-0x1019 or a
// device without accumulators. A row that provides nothing answers 0 with
// the total unchanged.
extern "C" std::uint32_t mifh_get_adapter_stat(MifhDeviceObj* device, std::uint64_t* valueOut,
                                               std::uint32_t identifier);
// The same for a per-port counter: port below 16; port 15 reads no register
// and adds nothing.
extern "C" std::uint32_t mifh_get_port_stat(MifhDeviceObj* device, std::uint64_t* valueOut, std::uint32_t port,
                                            std::uint32_t identifier);
