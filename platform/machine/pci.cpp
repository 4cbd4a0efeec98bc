#include "platform/machine/pci.h"

#include <algorithm>

namespace plat {

const PciFunction& PciBus::add(PciFunction function) {
  std::lock_guard lock(mu_);
  function.interrupt_vector = next_vector_++;
  function.interrupt_irql = interrupt_irql_;
  functions_.push_back(std::move(function));
  return functions_.back();
}

void PciBus::remove_adapter(const std::string& adapter) {
  std::lock_guard lock(mu_);
  std::erase_if(functions_, [&](const PciFunction& f) { return f.adapter == adapter; });
}

std::vector<PciFunction> PciBus::functions() const {
  std::lock_guard lock(mu_);
  return functions_;
}

std::optional<PciFunction> PciBus::find(unsigned bus, unsigned device, unsigned function) const {
  std::lock_guard lock(mu_);
  for (const auto& f : functions_) {
    if (f.bus == bus && f.device == device && f.function == function) return f;
  }
  return std::nullopt;
}

std::uint32_t PciBus::read_config(unsigned bus, unsigned device, unsigned function, std::uint32_t offset) const {
  PciConfigAccess* config = nullptr;
  if (auto f = find(bus, device, function)) config = f->config;
  return config != nullptr ? config->config_read(offset & ~3u) : 0xFFFFFFFFu;
}

void PciBus::write_config(unsigned bus, unsigned device, unsigned function, std::uint32_t offset,
                          std::uint32_t value) const {
  PciConfigAccess* config = nullptr;
  if (auto f = find(bus, device, function)) config = f->config;
  if (config != nullptr) config->config_write(offset & ~3u, value);
}

}  // namespace plat
