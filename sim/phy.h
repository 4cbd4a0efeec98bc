// The board's management (MDIO) bus and its PHYs. Frames written to idx
// 0x2084 are decoded as IEEE 802.3 clause-22 or clause-45 management frames
// and carried out by the PHY at their address; each completes after a
// moment on the board's clock (idx 0x21F0 bit 0), when a read's data
// appears in bits 0-15 of 0x2084. A frame to an address where no PHY sits
// completes and reads 0xFFFF, as an idle bus does.
//
// The PHYs come from the board's configuration, one per function whose PHY
// type has a management interface (include/hw/phy.h): a 1G copper PHY
// (clause 22) for type 2, a clause-45 PHY for types 0 and 3, an SFP+ PHY
// with its own firmware (heartbeat, ready state) for types 4, 8 and 9.
// Functions with the same address share the PHY. Their link registers
// follow the board's link.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "sim/board_config.h"

namespace zeksim {

// One management write a PHY took (for tests of the set-up sequences).
struct MdioWrite {
  unsigned port;    // PHY address
  unsigned device;  // clause 45: the device; clause 22: 0
  std::uint32_t reg;
  std::uint16_t value;
  bool operator==(const MdioWrite&) const = default;
};

class MdioBus {
 public:
  explicit MdioBus(const BoardConfig& config);

  void write_frame(std::uint32_t frame, Nanos now, bool link);
  std::uint32_t read_frame(Nanos now);
  std::uint32_t read_done(Nanos now);
  void clear_done(std::uint32_t bits) { done_ &= ~bits; }

  // The writes the PHYs took, oldest first (the last kWriteLog of them).
  static constexpr std::size_t kWriteLog = 4096;
  const std::vector<MdioWrite>& writes() const { return writes_; }
  bool has_phy(unsigned port) const { return phys_.contains(port); }

 private:
  struct Phy {
    bool clause22 = false;
    bool sfp = false;
    bool firmware_running = true;
    bool reset_pending = false;  // clause 22: register 0 bit 15 reads set once
    std::uint16_t heartbeat = 0;
    std::uint16_t address[32] = {};               // clause 45: the register address latched per device
    std::map<std::uint32_t, std::uint16_t> regs;  // (device << 16 | register) as written
  };
  std::uint16_t read(Phy& phy, unsigned device, std::uint32_t reg, bool link);
  void write(Phy& phy, unsigned port, unsigned device, std::uint32_t reg, std::uint16_t value);

  const StorageTiming& timing_;
  std::map<unsigned, Phy> phys_;
  std::uint32_t frame_ = 0;
  std::uint16_t result_ = 0;
  Nanos done_at_{0};
  bool running_ = false;
  std::uint32_t done_ = 0;
  std::vector<MdioWrite> writes_;
};

}  // namespace zeksim
