// The simulated adapters of a host: one board per "[adapter NAME]" section
// of host.conf, plugged into the machine's PCI bus before the drivers load.
// Each PCI function appears on the bus with its configuration space, its
// three windows (registers, doorbells, configuration) claimed in the
// machine's register space, and an interrupt vector that the board raises.
//
//   [adapter nic0]
//   functions = 2       ; PCI functions, 1 to 4 (default 1)
//   revision = 4        ; chip revision, 4 or 5 (default 4)
//   port_mode = 0       ; strapped port mode, 0 to 3 (default 0)
//   driver = zekhnic    ; the driver that binds to the functions (default zekhnic)
//   AeqElem = 4096      ; any other entry is a keyword of every function's driver
//   f1.NetCfgInstanceId = {...}   ; "fN." gives a keyword to function N only
//
// Each function's keywords go to its driver key in the registry (see
// docs/host.md); a function without a configured NetCfgInstanceId gets one
// made from its bus and function numbers.
//   wire = yes          ; the board's port on the lab wire (default: yes when the host has a lab)
//   capture = nic0.pcap ; pcap of everything the port sends and receives
//                       ; (absolute, or relative to the host directory; needs the wire)
//   impair = loss=0.01,reorder=0.02,duplicate=0.01,delay=1ms,jitter=500us,seed=7
//                       ; what the port does to the frames it sends (tests; needs the wire)
//   lossless = no       ; drop and count for a peer whose socket stays full (default); yes: wait
//                       ; what a peer does not take within 100 ms
//   link = up           ; up (default): the link follows the wire; down: always down
// The adapter's EEPROM and flash are kept in the host directory as
// NAME.eeprom and NAME.flash.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/config.h"
#include "platform/kernel/registry.h"
#include "platform/machine/machine.h"

namespace zeksim {
class Board;
class LabWire;
}  // namespace zeksim

namespace plat::host {

class SimulatedAdapters {
 public:
  using LogLine = std::function<void(std::string_view)>;

  // Where the boards' ports go: the lab directory (empty: no wire), the
  // host's name (ports are named HOST-ADAPTER in the lab) and directory.
  struct Lab {
    std::string dir;
    std::string host_name;
    std::string host_dir;
  };

  // registry: where the functions' keywords are written (null: nowhere).
  SimulatedAdapters(Machine& machine, LogLine log, Lab lab = {}, Registry* registry = nullptr);
  // Stops every board and takes it off the bus. The drivers have unloaded.
  ~SimulatedAdapters();
  SimulatedAdapters(const SimulatedAdapters&) = delete;
  SimulatedAdapters& operator=(const SimulatedAdapters&) = delete;

  // Builds the board a section describes, puts its functions on the bus and
  // starts its engine. False, with a message, for a bad section.
  bool add(const Section& section, std::string* error);
  std::size_t size() const { return adapters_.size(); }
  zeksim::Board& board(std::size_t index);
  // The board's port on the lab wire, or null.
  zeksim::LabWire* wire(std::size_t index);

 private:
  struct Adapter;
  Machine& machine_;
  LogLine log_;
  Lab lab_;
  Registry* registry_;
  std::vector<std::unique_ptr<Adapter>> adapters_;
};

}  // namespace plat::host
