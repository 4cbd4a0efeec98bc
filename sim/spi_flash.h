// The adapter's serial (SPI) flash and its controller: 16 MB in 64 KB
// sectors and 256-byte pages, reached through the flash command register
// (0x28: opcode << 24 | byte address) and the flash data register (0x2C).
//
// The controller is busy for a moment after every command (bit 0 of 0x28);
// a command given while it is busy is refused, and the word a read or a
// status read delivers reaches the data register only when the controller
// is no longer busy, so a driver that does not poll first reads a stale
// word. Program and erase set the flash's write-in-progress bit for their
// duration; both need the write-enable latch (0x06) and a status register
// without block-protect bits, which the flash has at power-up until a
// status-register write (0x01, taking the last word written to 0x2C)
// clears them. Bit 1 of 0x28 reads 1 while no block-protect bit is set and
// no program, erase or status write is in progress: ready to program.
//
// Words written to 0x2C collect in an 8-word program buffer, or, in
// single-word mode, the last one written is the one programmed. Programming
// ANDs into the array (only erase sets bits back to 1) and wraps within the
// 256-byte page, as a serial flash does.
//
// The array is the adapter's file ADAPTER.flash, sparse, every byte stored
// inverted so that a hole reads as erased; a board without a file keeps it
// in an anonymous memory file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "include/hw/storage.h"
#include "sim/board_config.h"
#include "sim/log.h"

namespace zeksim {

class SpiFlash {
 public:
  SpiFlash(const std::string& path, const StorageTiming& timing, const Log& log);
  ~SpiFlash();
  SpiFlash(const SpiFlash&) = delete;
  SpiFlash& operator=(const SpiFlash&) = delete;

  // The registers. `buffered`: the controller's programming mode (board wiring).
  std::uint32_t read_control(Nanos now);
  void write_control(std::uint32_t value, Nanos now);
  std::uint32_t read_data(Nanos now);
  void write_data(std::uint32_t value, bool buffered);

  // The array, for tests and the board: little-endian words at a byte address.
  std::uint32_t word(std::uint32_t byte_address) const;
  std::uint8_t status(Nanos now) const;
  // The byte addresses of the page programs carried out, oldest first (the
  // last kProgramLog of them; for the tests of the programming sequences).
  static constexpr std::size_t kProgramLog = 4096;
  const std::vector<std::uint32_t>& programs() const { return programs_; }
  // Commands refused: controller busy, no write enable, protected, unknown opcode, buffer overrun.
  std::uint64_t refused() const { return refused_; }

 private:
  void refuse(const char* why, std::uint32_t value);
  void read_bytes(std::uint32_t address, std::uint8_t* out, std::size_t n) const;
  void write_bytes(std::uint32_t address, const std::uint8_t* in, std::size_t n);
  void program(std::uint32_t address);
  void erase(std::uint32_t first, std::uint32_t bytes);

  const StorageTiming& timing_;
  const Log& log_;
  std::string path_;
  int fd_ = -1;
  Nanos busy_until_{0};  // the controller
  Nanos wip_until_{0};   // the flash: program or erase in progress
  bool write_enabled_ = false;
  std::uint8_t protect_ = zekhw::kFlashStatusProtect;  // block-protect bits at power-up
  std::vector<std::uint32_t> buffer_;                  // words for the next program
  std::uint32_t data_ = 0;                             // what 0x2C reads
  std::uint32_t pending_ = 0;                          // what it reads once the controller is done
  bool delivering_ = false;
  std::uint64_t refused_ = 0;
  std::vector<std::uint32_t> programs_;
};

}  // namespace zeksim
