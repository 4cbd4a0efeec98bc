// Where a board's Ethernet port sends its frames: the lab wire in a host,
// a recorder in tests. The board calls it with its engine lock held, so it
// never blocks: a port without room says so, and the board tries again after the
// port's room callback (it keeps the send work request until then, so no
// frame is lost).
#pragma once

#include <cstddef>
#include <span>

namespace zeksim {

class FramePort {
 public:
  virtual ~FramePort() = default;
  virtual bool has_room() = 0;
  // Only called after has_room() said yes, with the board's engine lock held
  // throughout.
  virtual void transmit(std::span<const std::byte> frame) = 0;
  // A frame that may wait in the port until flush(): the engine hands the
  // frames of one batch of its work this way and flushes at the batch's
  // end, so that they leave together. The default sends it at once.
  virtual void transmit_later(std::span<const std::byte> frame) { transmit(frame); }
  virtual void flush() {}
};

}  // namespace zeksim
