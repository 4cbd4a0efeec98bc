// The host's PCI bus: the functions of the simulated adapters, as the bus
// driver enumerates them, with their configuration space and their
// translated resources (memory ranges and an interrupt vector each). Every
// function's interrupt is translated to the one device IRQL the bus is
// given (the kernel chooses it).
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/common/wintypes.h"

namespace plat {

// A function's configuration space, dword-addressed.
class PciConfigAccess {
 public:
  virtual ~PciConfigAccess() = default;
  virtual std::uint32_t config_read(std::uint32_t offset) = 0;
  virtual void config_write(std::uint32_t offset, std::uint32_t value) = 0;
};

struct PciMemoryResource {
  std::uint64_t start;
  std::uint64_t length;
};

struct PciFunction {
  unsigned bus = 0;
  unsigned device = 0;
  unsigned function = 0;
  std::string adapter;        // the simulated adapter's name in the host configuration
  std::string driver;         // the driver (service) that binds to it
  std::u16string driver_key;  // registry key of its driver's per-device keywords (empty: none)
  PciConfigAccess* config = nullptr;
  std::vector<PciMemoryResource> memory;  // in BAR order
  ULONG interrupt_vector = 0;
  KIRQL interrupt_irql = 0;
};

class PciBus {
 public:
  explicit PciBus(KIRQL interrupt_irql) : interrupt_irql_(interrupt_irql) {}

  // Adds a function; its interrupt vector and IRQL are assigned here.
  const PciFunction& add(PciFunction function);
  // Removes every function of one adapter.
  void remove_adapter(const std::string& adapter);
  std::vector<PciFunction> functions() const;
  std::optional<PciFunction> find(unsigned bus, unsigned device, unsigned function) const;

  // Configuration space by dword; reads of a function that is not there give all ones.
  std::uint32_t read_config(unsigned bus, unsigned device, unsigned function, std::uint32_t offset) const;
  void write_config(unsigned bus, unsigned device, unsigned function, std::uint32_t offset, std::uint32_t value) const;

 private:
  const KIRQL interrupt_irql_;
  mutable std::mutex mu_;
  std::vector<PciFunction> functions_;
  ULONG next_vector_ = 0x30;
};

}  // namespace plat
