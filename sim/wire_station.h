// What stands behind a port of the lab wire: the station whose frames the
// port carries. An adapter board is one (its NIC engine sends through the
// port and takes what the port receives); a TAP device of Linux's is
// another (tap_port.h). The port calls these from its own threads:
//
// | call | when | the station |
// |---|---|---|
// | attach_port(port) | the port starts (null: it stops) | sends through `port` from then on (FramePort's rules) |
// | receive_frames(frames) | the port's receiver took datagrams | takes the frames over whole (clears `frames`); may
// wait while it has no room (the port stops reading); false once stop_port() ran | | recycle_buffer() | the receiver
// needs a buffer | a spent frame buffer for reuse, or an empty one | | port_room() | the port's outbound queue has room
// again after has_room() said no | may send again | | stop_port() | the port is stopping | ends every wait of
// receive_frames | | set_carrier(present) | every rescan of the wire | whether another live port is on the wire |
#pragma once

#include <cstddef>
#include <vector>

#include "sim/frame_port.h"

namespace zeksim {

class WireStation {
 public:
  virtual ~WireStation() = default;
  virtual void attach_port(FramePort* port) = 0;
  virtual bool receive_frames(std::vector<std::vector<std::byte>>& frames) = 0;
  virtual std::vector<std::byte> recycle_buffer() = 0;
  virtual void port_room() = 0;
  virtual void stop_port() = 0;
  virtual void set_carrier(bool peer_present) = 0;
};

}  // namespace zeksim
