// The machine a simulated host runs on, below its kernel: what the adapter
// model and the kernel both stand on, and nothing of the kernel itself.
//
//   clock.h              the host's one clock, real or virtual
//   physmem.h            physical memory: RAM frames, foreign ranges, DMA
//   mmio.h               the register space: device windows and their handlers
//   pci.h                the PCI bus: functions, configuration space, resources
//   interrupt_vectors.h  interrupt vectors and their delivery threads
//
// This library (zekmachine) depends on the C++ library and the shared
// platform types only. The kernel (platform/kernel/, zekkrnl) owns one
// Machine and builds on it: the dispatcher waits on its clock, the pool and
// MDLs take its frames, the register accessors route through its register
// space, and the kernel's interrupt objects connect to its vectors. The
// simulated adapter (sim/, zeksim) needs the machine only: it reaches memory
// by DMA and serves its register windows; the host (platform/host/) plugs
// the boards into the bus and their interrupt lines into the vectors.
#pragma once

#include <cstdint>

#include "platform/common/wintypes.h"
#include "platform/machine/clock.h"
#include "platform/machine/interrupt_vectors.h"
#include "platform/machine/mmio.h"
#include "platform/machine/pci.h"
#include "platform/machine/physmem.h"

namespace plat {

struct MachineOptions {
  Clock::Mode clock = Clock::Mode::Real;
  std::uint32_t time_increment = 156'250;  // 15.625 ms ticks
  PhysicalMemory::Options memory{};
  // The IRQL that the kernel translates every device interrupt to; the bus
  // hands it out with each function's vector.
  KIRQL device_irql = 0;
};

class Machine {
 public:
  explicit Machine(const MachineOptions& options);
  // Vectors first, then the bus, register space, memory and clock.
  ~Machine() = default;
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  Clock& clock() { return clock_; }
  PhysicalMemory& memory() { return memory_; }
  IoSpace& io_space() { return io_space_; }
  PciBus& pci() { return pci_; }
  InterruptVectors& interrupts() { return interrupts_; }

 private:
  Clock clock_;
  PhysicalMemory memory_;
  IoSpace io_space_;
  PciBus pci_;
  InterruptVectors interrupts_;
};

}  // namespace plat
