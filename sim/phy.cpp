#include "sim/phy.h"

#include "include/hw/phy.h"

namespace zeksim {

using namespace zekhw;

MdioBus::MdioBus(const BoardConfig& config) : timing_(config.timing) {
  for (unsigned f = 0; f < config.functions && f < config.phy_types.size(); ++f) {
    const unsigned type = config.phy_types[f];
    if (type == kPhyCopper1G) {
      phys_[4 + f].clause22 = true;
    } else if (type == kPhyUnprobed || type == kPhyClause45) {
      phys_[0];
    } else if (phy_is_sfp(type)) {
      phys_[config.mdio_addresses[f] & kMdioFieldMask].sfp = true;
    }
  }
}

std::uint16_t MdioBus::read(Phy& phy, unsigned device, std::uint32_t reg, bool link) {
  auto kept = [&](std::uint16_t otherwise) {
    auto it = phy.regs.find(device << 16 | reg);
    return it == phy.regs.end() ? otherwise : it->second;
  };
  if (phy.clause22) {
    switch (reg) {
      case c22::kControl: {
        const auto v = static_cast<std::uint16_t>(kept(0x1140) | (phy.reset_pending ? 0x8000 : 0));
        phy.reset_pending = false;
        return v;
      }
      case c22::kStatus:
        return static_cast<std::uint16_t>(0x7949 | (link ? (c22::kLinkStatus | 0x20) : 0));
      case c22::kAuxStatus:
        return static_cast<std::uint16_t>(link ? (c22::kAuxLink | 0x0020) : 0);
      default:
        return kept(0);
    }
  }
  if (device == 1 && reg == c45::kStatus) return static_cast<std::uint16_t>(0x0082 | (link ? 0x4 : 0));
  if (device == 1 && reg == c45::kLinkFault) return link ? 0 : 1;
  if (device == 3 && reg == c45::kLinkState) return link ? c45::kLinkUp3 : 0;
  if (phy.sfp && device == 3 && reg == c45::kHeartbeat) {
    if (phy.firmware_running) ++phy.heartbeat;
    return phy.heartbeat;
  }
  if (phy.sfp && device == 3 && reg == c45::kFirmwareState) return phy.firmware_running ? c45::kFirmwareReady : 0;
  return kept(0);
}

void MdioBus::write(Phy& phy, unsigned port, unsigned device, std::uint32_t reg, std::uint16_t value) {
  if (writes_.size() >= kWriteLog) writes_.erase(writes_.begin());
  writes_.push_back({port, phy.clause22 ? 0 : device, reg, value});
  if (phy.clause22 && reg == c22::kControl) {
    phy.reset_pending = (value & 0x8000) != 0;
    value &= 0x7FFF;
  }
  if (phy.sfp && device == 1 && reg == c45::kFirmwareControl) phy.firmware_running = value == 2;
  phy.regs[device << 16 | reg] = value;
}

void MdioBus::write_frame(std::uint32_t frame, Nanos now, bool link) {
  frame_ = frame;
  running_ = true;
  done_ &= ~kMdioDoneBit;
  done_at_ = now + timing_.mdio_frame;
  const unsigned start = frame >> kMdioStartShift, op = (frame >> kMdioOpShift) & 3;
  const unsigned port = (frame >> kMdioPortShift) & kMdioFieldMask;
  const unsigned field = (frame >> kMdioDeviceShift) & kMdioFieldMask;
  const auto data = static_cast<std::uint16_t>(frame & kMdioDataMask);
  result_ = 0xFFFF;
  auto it = phys_.find(port);
  if (it == phys_.end()) return;  // nobody answers: the bus reads all ones
  Phy& phy = it->second;
  if (start == 1 && phy.clause22) {
    if (op == kMdioWrite) write(phy, port, 0, field, data);
    if (op == kMdioRead22) result_ = read(phy, 0, field, link);
  } else if (start == 0 && !phy.clause22) {
    if (op == kMdioAddress) phy.address[field] = data;
    if (op == kMdioWrite) write(phy, port, field, phy.address[field], data);
    if (op == kMdioRead45 || op == kMdioRead22) result_ = read(phy, field, phy.address[field], link);
    if (op == kMdioRead22) ++phy.address[field];  // post-read increment
  }
}

std::uint32_t MdioBus::read_frame(Nanos now) {
  read_done(now);
  return running_ ? frame_ : (frame_ & ~kMdioDataMask) | result_;
}

std::uint32_t MdioBus::read_done(Nanos now) {
  if (running_ && now >= done_at_) {
    running_ = false;
    done_ |= kMdioDoneBit;
  }
  return done_;
}

}  // namespace zeksim
