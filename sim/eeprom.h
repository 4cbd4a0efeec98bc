// The adapter's configuration EEPROM: 1024 words of 16 bits behind two
// controller paths, the register path (0x20 command and status, 0x24 data)
// and the PCI-configuration path (dwords 0xF4 and 0xF8). Both paths reach
// the same words; each has its own command and data latch.
//
// A command keeps its path busy for a while on the board's clock: a read's
// word appears in the data latch only when the read has finished, and a
// command given while the path is busy is refused (logged and counted), so a
// driver that does not wait for "not busy" sees it. A written word is kept
// in the adapter's EEPROM file at once, so it survives a restart of the
// board; a board without a file keeps its words in memory only.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "include/hw/storage.h"
#include "sim/board_config.h"
#include "sim/log.h"

namespace zeksim {

using EepromImage = std::array<std::uint16_t, zekhw::kEepromWords>;

// The image a board carries when its EEPROM file does not exist yet: the
// section layout of include/hw/storage.h (zekhw::image), the software
// section with the board's MAC blocks, PHY types and MDIO addresses, and
// the version section.
EepromImage default_eeprom_image(const BoardConfig& config);

class Eeprom {
 public:
  // One controller path: its command word, its data latch and until when it is busy.
  struct Path {
    std::uint32_t command = 0;
    std::uint32_t data = 0;
    std::uint32_t pending = 0;  // the word a read delivers when it finishes
    bool reading = false;
    Nanos busy_until{0};
  };

  // Opens (or creates with `image`) the EEPROM file at `path`; empty: memory only.
  Eeprom(std::string path, const EepromImage& image, const StorageTiming& timing, const Log& log);

  std::uint16_t word(unsigned address) const { return words_[address & zekhw::kEepromAddressMask]; }
  // Sets a word and keeps it in the file.
  void set_word(unsigned address, std::uint16_t value);

  // The register path's two registers.
  std::uint32_t read_command(Nanos now) { return status(register_path_, now); }
  void write_command(std::uint32_t value, Nanos now) { command(register_path_, value, now); }
  std::uint32_t read_data(Nanos now) { return data(register_path_, now); }
  void write_data(std::uint32_t value) { register_path_.data = value & zekhw::kEepromDataMask; }

  // The PCI-configuration path: dword 0xF4 (command and status) and 0xF8 (data).
  std::uint32_t read_pci_command(Nanos now) { return status(pci_path_, now); }
  void write_pci_command(std::uint32_t value, Nanos now);
  std::uint32_t read_pci_data(Nanos now) { return data(pci_path_, now); }
  void write_pci_data(std::uint32_t value) { pci_path_.data = value & zekhw::kEepromDataMask; }

  // A dead EEPROM takes every command and never finishes one: both paths
  // stay busy for good, reads deliver nothing and writes change nothing.
  void set_dead(bool dead) { dead_ = dead; }

  // Commands refused because their path was busy, or without the PCI path's key.
  std::uint64_t refused() const { return refused_; }

 private:
  void finish(Path& path, Nanos now);
  std::uint32_t status(Path& path, Nanos now);
  std::uint32_t data(Path& path, Nanos now);
  void command(Path& path, std::uint32_t value, Nanos now);

  std::string path_;
  const StorageTiming& timing_;
  const Log& log_;
  EepromImage words_{};
  Path register_path_;
  Path pci_path_;
  std::uint64_t refused_ = 0;
  bool dead_ = false;
};

}  // namespace zeksim
