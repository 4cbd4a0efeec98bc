// PCI configuration space of one function of the board: the identity the
// miniport checks, the three memory BARs (register window, doorbell window,
// configuration window) with the usual sizing protocol, the command
// register, the function-number register at 0x4C and the PCI Express
// device-control word at 0x68. Dword accesses only, as the drivers make them.
#pragma once

#include <array>
#include <cstdint>

namespace zeksim {

class PciConfigSpace {
 public:
  struct Identity {
    unsigned function = 0;
    bool multi_function = false;
    std::uint8_t revision = 4;
    std::uint64_t bar_address[3] = {};  // BAR0, BAR1, BAR2
    std::uint32_t bar_bytes[3] = {};    // powers of two, at least 4 KB
  };

  static constexpr std::uint32_t kBytes = 256;

  explicit PciConfigSpace(const Identity& identity);

  // Offsets are rounded down to their dword; beyond the space reads all ones.
  std::uint32_t read32(std::uint32_t offset) const;
  void write32(std::uint32_t offset, std::uint32_t value);

  std::uint64_t bar_address(unsigned bar) const { return bars_[bar].address; }
  std::uint32_t bar_bytes(unsigned bar) const { return bars_[bar].bytes; }
  std::uint16_t command() const { return static_cast<std::uint16_t>(space_[1] & 0xFFFF); }

 private:
  struct Bar {
    std::uint64_t address;
    std::uint32_t bytes;
    bool sizing = false;
  };

  std::array<std::uint32_t, kBytes / 4> space_{};
  std::array<std::uint32_t, kBytes / 4> writable_{};  // writable bits per dword
  std::array<Bar, 3> bars_{};
};

}  // namespace zeksim
