// Interrupt cause and mask of one PCI function, and the line they drive.
//
// The line is asserted while the master enable (mask bit 31) is on and a
// cause bit is set whose mask bit is clear. The sink hears each rising edge:
// an ISR that clears the master enable and a DPC that sets it again with
// causes still pending see a new interrupt, as with a level-triggered line.
#pragma once

#include <cstdint>

#include "include/hw/registers.h"

namespace zeksim {

// Where a board delivers its interrupts: one line (or message) per PCI
// function. Called with no board lock held, by one thread at a time, in the
// order the edges happened; it should hand the interrupt on, not block.
class InterruptSink {
 public:
  virtual ~InterruptSink() = default;
  virtual void interrupt(unsigned function) = 0;
};

class InterruptController {
 public:
  // Each returns true when the change raised the line (a rising edge).
  bool raise(std::uint32_t cause_bits);
  bool write_cause(std::uint32_t value);  // write 1 to clear
  bool write_mask(std::uint32_t value);

  std::uint32_t cause() const { return cause_; }
  std::uint32_t mask() const { return mask_; }
  // Cause bits that would interrupt were the master enable on.
  std::uint32_t pending() const { return cause_ & ~mask_ & zekhw::kIntrCauseBits; }
  bool line() const { return line_; }
  std::uint64_t edges() const { return edges_; }

 private:
  bool evaluate();

  std::uint32_t cause_ = 0;
  std::uint32_t mask_ = zekhw::kIntrCauseBits;  // at reset: all masked, master enable off
  bool line_ = false;
  std::uint64_t edges_ = 0;
};

}  // namespace zeksim
