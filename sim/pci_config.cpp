#include "sim/pci_config.h"

#include "include/hw/pci.h"

namespace zeksim {

namespace {
constexpr unsigned dw(std::uint32_t offset) { return offset / 4; }
}  // namespace

PciConfigSpace::PciConfigSpace(const Identity& id) {
  using namespace zekhw;
  space_[dw(kPciCfgVendorDevice)] = (std::uint32_t{kPciDeviceId} << 16) | kPciVendorId;
  // The platform's enumeration leaves memory space and bus mastering on; the
  // status word announces a capability list.
  space_[dw(kPciCfgCommandStatus)] = (0x0010u << 16) | kPciCommandMemory | kPciCommandBusMaster;
  writable_[dw(kPciCfgCommandStatus)] = 0x0000'07FF;
  space_[dw(kPciCfgRevisionClass)] = (kPciClassEthernet << 8) | id.revision;
  space_[dw(kPciCfgHeaderType)] = (id.multi_function ? 0x80u : 0u) << 16;
  writable_[dw(kPciCfgHeaderType)] = 0x0000'FF00;  // latency timer
  space_[dw(kPciCfgSubsystem)] = (0x0001u << 16) | kPciVendorId;
  space_[dw(kPciCfgCapabilities)] = kPciCfgExpressCap;
  space_[dw(kPciCfgInterrupt)] = 0x0100u;  // pin INTA
  writable_[dw(kPciCfgInterrupt)] = 0x0000'00FF;
  space_[dw(kPciCfgFunctionRegister)] = id.function & 7;
  // PCI Express capability: id 0x10, version 2, endpoint; device control
  // with a maximum read request of 512 bytes (code 2).
  space_[dw(kPciCfgExpressCap)] = (0x0002u << 16) | 0x10u;
  space_[dw(kPciCfgExpressCap + 4)] = 0x0000'0002;  // device capabilities: max payload 512
  space_[dw(kPciCfgDeviceControl)] = 0x0000'2010;
  writable_[dw(kPciCfgDeviceControl)] = 0x0000'7FFF;
  for (unsigned b = 0; b < 3; ++b) bars_[b] = Bar{id.bar_address[b], id.bar_bytes[b]};
}

std::uint32_t PciConfigSpace::read32(std::uint32_t offset) const {
  if (offset >= kBytes) return 0xFFFF'FFFF;
  unsigned d = dw(offset);
  if (d >= dw(zekhw::kPciCfgBar0) && d <= dw(zekhw::kPciCfgBar2)) {
    const Bar& bar = bars_[d - dw(zekhw::kPciCfgBar0)];
    // 32-bit, non-prefetchable memory BARs.
    if (bar.sizing) return ~(bar.bytes - 1);
    return static_cast<std::uint32_t>(bar.address) & ~(bar.bytes - 1);
  }
  return space_[d];
}

void PciConfigSpace::write32(std::uint32_t offset, std::uint32_t value) {
  if (offset >= kBytes) return;
  unsigned d = dw(offset);
  if (d >= dw(zekhw::kPciCfgBar0) && d <= dw(zekhw::kPciCfgBar2)) {
    Bar& bar = bars_[d - dw(zekhw::kPciCfgBar0)];
    if (value == 0xFFFF'FFFF) {
      bar.sizing = true;
    } else {
      bar.sizing = false;
      bar.address = value & ~(bar.bytes - 1);
    }
    return;
  }
  space_[d] = (space_[d] & ~writable_[d]) | (value & writable_[d]);
}

}  // namespace zeksim
