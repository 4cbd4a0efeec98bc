// What one simulated board is: how many PCI functions, which chip revision
// and port mode it is strapped for, where its windows sit in physical
// address space, the capability values it reports, and how it reports
// faults. Everything has a default that the drivers accept.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "sim/iwarp/tcp_conn.h"

namespace zeksim {

// Values of the read-only capability registers. The defaults keep every
// limit the drivers derive from them positive and in range.
struct Capabilities {
  std::uint32_t queue_classes = 0x00030303;  // idx 0x200: SQ and RQ class 512, read depth 128 (IRD/ORD 64)
  std::uint32_t size_218 = 0x00040000;       // (v & 0x7FE00) - 74 = 262070
  std::uint32_t size_258 = 0x0000000C;       // 2^12 - 10 = 4086
  std::uint32_t size_260 = 0x00008000;       // (v & 0xFFC0) - 64 = 32704
  std::uint32_t size_278 = 0x00000002;       // 2^15 - 1
  std::uint32_t size_280 = 0x00110010;       // 2^16 and 2^17
  std::uint32_t size_2b0 = 0x0000000F;       // 2^15 - 1
  std::uint32_t hash_size = 12;              // idx 0x6148 bits 0-4
  std::uint32_t flash_mode = 0;              // idx 0x8E8
  // Configuration window: word 0x1C (W) and word 0x20 (V).
  std::uint32_t config_1c = (1u << 16) | (10000u << 2) | 1u;  // 10000 x 1000: the link rate in kbit/s
  std::uint32_t config_20 = (1u << 24) | (64u << 16) | (8u << 8) | 0x1Fu;
};

// How long the EEPROM and flash controllers stay busy, on the board's clock.
// Short enough for a host to start at once, long enough that a driver which
// does not wait for "not busy" sees stale words.
struct StorageTiming {
  Nanos eeprom_read{std::chrono::microseconds(20)};
  Nanos eeprom_write{std::chrono::microseconds(200)};
  Nanos flash_command{std::chrono::microseconds(2)};    // the controller's busy bit after a command
  Nanos flash_program{std::chrono::microseconds(100)};  // write in progress after a page program
  Nanos flash_status{0};                                // after a status-register write
  Nanos flash_sector_erase{std::chrono::milliseconds(2)};
  Nanos flash_chip_erase{std::chrono::milliseconds(20)};
  Nanos mdio_frame{std::chrono::microseconds(10)};  // a management frame on the MDIO bus
};

// What the index/data-pair detector does with an interleaving.
enum class IndexRaceCheck {
  Off,     // not checked
  Record,  // logged, counted and kept for index_races()
  Fatal,   // logged, then the process stops (for tests that must fail loudly)
};

struct BoardConfig {
  unsigned functions = 1;                   // 1 to 4 PCI functions
  std::uint8_t chip_revision = 4;           // PCI revision id: 4 or 5
  std::uint8_t port_mode = 0;               // global control bits 8-9 (strapped)
  std::uint32_t doorbell_pages = 256;       // 4 KB user doorbell pages per function (BAR1)
  std::uint64_t window_base = 0xF000'0000;  // BARs of all functions are laid out from here
  bool firmware_alive = true;               // idx 0xA0 reads 0x80
  // The EEPROM never finishes a command (host.conf "eeprom = dead"): its busy
  // bits stay set on both paths.
  bool eeprom_dead = false;
  Capabilities caps{};
  // Where the EEPROM and the flash are kept: STORAGE.eeprom and STORAGE.flash
  // (empty: in memory only, lost with the board).
  std::string storage;
  StorageTiming timing{};
  // What a new EEPROM image holds: the board's first MAC address (the
  // functions' addresses follow it), the PHY type and MDIO address of each
  // function's port (include/hw/phy.h).
  std::array<std::uint8_t, 6> mac{0x02, 0x7A, 0x65, 0x6B, 0x00, 0x00};
  std::array<std::uint8_t, 4> phy_types{6, 6, 6, 6};
  std::array<std::uint8_t, 4> mdio_addresses{0, 1, 2, 3};
  // Port-count fields of global control (bits 10-11 for functions 0 and 2,
  // 12-13 for 1 and 3), strapped; with 0 the miniport takes a 1G copper PHY
  // (the host's boards are strapped 1).
  std::uint8_t port_count_field = 0;
  // The link may come up (host.conf "link = down" keeps it down whatever the wire).
  bool link_allowed = true;
  // The SerDes lanes report ready (0x280C / 0x2A0C bits 0-3) whatever was
  // written; false: the ready bits read as written (the host sets true).
  bool lanes_ready = false;
  // A peer on the wire at start (the lab wire reports peers as they come and go).
  bool carrier = true;
#ifdef NDEBUG
  IndexRaceCheck index_race_check = IndexRaceCheck::Off;
#else
  IndexRaceCheck index_race_check = IndexRaceCheck::Record;
#endif
  // The offload engine's time (the host's clock; virtual in tests); the
  // steady clock when null. Not owned.
  EngineClock* clock = nullptr;
  TcpTuning tcp{};
  // Receives the adapter's fault and trace lines; standard error when empty.
  std::function<void(std::string_view)> log;
};

}  // namespace zeksim
