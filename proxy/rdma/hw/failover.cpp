// Port fail-over steering and drains.
#include "proxy/rdma/hw/failover.h"

#include "include/hw/registers.h"
#include "proxy/rdma/hw/config.h"
#include "proxy/rdma/hw/reg_access.h"

namespace {

bool g_failover_enabled = false;
std::uint32_t g_failover_mode = 0;

bool reads_outstanding(MifhDeviceObj* d, std::uint32_t index) {
  std::uint32_t v = 0;
  mifh_read_indexed(d, index, &v);
  return (v & zekhw::kTxReadsMask) != 0;
}

// Polls a counter until its outstanding reads are 0; the lock is taken per
// read, so other accesses go on while the port drains.
void poll_counter(MifhDeviceObj* d, std::uint32_t port) {
  for (std::uint32_t i = 0; i < MIFH_DRAIN_COUNTER_POLLS; ++i) {
    if (!reads_outstanding(d, zekhw::idx_tx_reads(port))) return;
  }
  ZEK_LOG_FAILURE("Unable to drain port %d for failover operation\n", port);
}

void wait_reset_done(MifhDeviceObj* d) {
  for (std::uint32_t i = 0; i < MIFH_DRAIN_STATUS_POLLS; ++i) {
    if ((mifh_read_reg(d, zekhw::kRegGlobalControl) & zekhw::kGcResetDone) != 0) return;
  }
}

// Sets up function `function`'s port again through `device`'s own index
// pair and lock (never a copy of the device object: its lock would be a
// second lock over the other function's pair).
void reinitialise(MifhDeviceObj* device, std::uint32_t function) {
  if (device->BoardType == 5) {
    init_vorla2_serdes_of(device, function);
  } else {
    init_vorla1_serdes_of(device, function);
  }
  std::uint32_t v = 0;
  mifh_read_indexed(device, zekhw::idx_port_mac(function, 0x10), &v);
  nic_config_mac_of(device, function, function, (v >> 7) & 1);
  mifh_write_indexed(device, zekhw::idx_port_mac(function, 0x1F4), 0xFF9);
}

// Sets up again the ports that a write of register 0x30 reset: the drain of
// a function re-initialises the function itself (and, on function 0, its
// partner after the first write); the drain of a named port re-initialises
// both functions of that port's pair after each write, the even one first.
enum class Reinit { OwnFunction, BothOfThePair };

void reinitialise_pair(MifhDeviceObj* d, std::uint32_t port) {
  const std::uint32_t even = port & ~1u;
  reinitialise(d, even);
  reinitialise(d, even + 1);
}

void drain(MifhDeviceObj* d, std::uint32_t port, Reinit reinit) {
  const std::uint32_t f = port;
  if (d->BoardType == 5) {
    const std::uint32_t lane = (f == 0 || f == 2) ? 0x2824 : 0x2A24;
    std::uint32_t saved = 0;
    mifh_read_indexed(d, lane, &saved);
    const std::uint32_t bit = (f == 0 || f == 1) ? 1u << 4 : 1u << 5;
    mifh_write_indexed(d, lane, (saved & 0xFFFF) | bit);
    poll_counter(d, f);
    mifh_write_indexed(d, lane, saved & 0xFFFF);
    return;
  }
  const std::uint32_t r = mifh_read_reg(d, zekhw::kRegGlobalControl);
  mifh_write_reg(d, zekhw::kRegGlobalControl, f == 0 ? (r & 0xFF223300) | 0xCC001D : (r & 0xFF110F00) | 0xCC002D);
  wait_reset_done(d);
  if (reinit == Reinit::BothOfThePair) {
    reinitialise_pair(d, f);
  } else if (f == 0) {
    reinitialise(d, 1);
  }
  poll_counter(d, f);
  const std::uint32_t r2 = mifh_read_reg(d, zekhw::kRegGlobalControl);
  mifh_write_reg(d, zekhw::kRegGlobalControl, f == 0 ? (r2 & 0xFF223300) | 0xCC081D : (r2 & 0xFF110F00) | 0xCC202D);
  wait_reset_done(d);
  if (reinit == Reinit::BothOfThePair) {
    reinitialise_pair(d, f);
  } else {
    reinitialise(d, f);
  }
}

std::uint32_t read_port_map(MifhDeviceObj* d) {
  std::uint32_t v = 0;
  mifh_read_indexed(d, zekhw::kIdxPortMap, &v);
  return v;
}

}  // namespace

void mifh_set_failover(bool enabled, std::uint32_t mode) {
  g_failover_enabled = enabled;
  g_failover_mode = mode;
}
bool mifh_failover_enabled() { return g_failover_enabled; }
std::uint32_t mifh_failover_mode() { return g_failover_mode; }

std::uint32_t mifh_failover_mode0_value(std::uint32_t f, bool up, std::uint32_t port_mode, std::uint32_t phy,
                                        std::uint32_t r) {
  const std::uint32_t c = ((r >> 6) & 3) << 4 | ((r >> 2) & 3);
  const bool p5 = phy == 5;
  switch (f) {
    case 0:
      if (port_mode == 1) return up ? c << 2 : 0x55;
      return up ? r & 0xFC : ((r & 0xFC) | (p5 ? 1u : 0u)) + 1;
    case 1:
      if (port_mode == 1) return up ? (r & 0x33) | 0x44 : 0;
      return up ? (r & 0xF3) | (p5 ? 8u : 4u) : r & 0xF3;
    case 2:
      return up ? ((p5 ? c | 4 : c | 8) << 2) | (r & 3) : ((c | 0xC) << 2) | (r & 3);
    case 3:
      return up ? (r & 0x3F) | 0xC0 : (r & 0x3F) | (p5 ? 0x40u : 0x80u);
    default:
      return r;
  }
}

std::uint32_t mifh_failover_mode2_value(std::uint32_t f, bool up, std::uint32_t phy, std::uint32_t r) {
  if (f == 0) return up ? r & 0xF0 : (r & 0xF0) + (phy == 5 ? 10u : 5u);
  const std::uint32_t d = (r >> 2) & 3;
  return up ? ((d + 40) << 2) | (r & 3) : ((d + (phy == 5 ? 20u : 60u)) << 2) | (r & 3);
}

void mifh_failover_mode0(MifhDeviceObj* d, bool up) {
  if (ZekIsBadPointer(d)) return;
  const std::uint32_t value = mifh_failover_mode0_value(d->PciFunction, up, d->PortMode, d->PhyType, read_port_map(d));
  mifh_write_indexed(d, zekhw::kIdxPortMap, value);
  if (!up && d->FailoverType == 2 && reads_outstanding(d, zekhw::idx_tx_reads(d->PciFunction))) mifh_drain_tx_rd_num(d);
}

void mifh_failover_mode1(MifhDeviceObj* d, bool up) {
  if (ZekIsBadPointer(d) || d->PciFunction != 0) return;
  mifh_write_indexed(d, zekhw::kIdxPortMap, up ? 0 : 0x55);
  if (d->FailoverType != 2) return;
  const std::uint32_t port = up ? 1 : 0;
  if (reads_outstanding(d, zekhw::idx_tx_reads(port))) mifh_drain_tx_rd_num_port(d, port);
}

void mifh_failover_mode2(MifhDeviceObj* d, bool up) {
  if (ZekIsBadPointer(d) || (d->PciFunction != 0 && d->PciFunction != 2)) return;
  const std::uint32_t f = d->PciFunction;
  mifh_write_indexed(d, zekhw::kIdxPortMap, mifh_failover_mode2_value(f, up, d->PhyType, read_port_map(d)));
  if (d->FailoverType != 2) return;
  const std::uint32_t counter = up ? 0xA48 + 0x40 * f : 0xA08 + 0x40 * f;
  if (reads_outstanding(d, counter)) mifh_drain_tx_rd_num_port(d, up ? f + 1 : f);
}

void mifh_drain_tx_rd_num(MifhDeviceObj* d) {
  if (!ZekIsBadPointer(d)) drain(d, d->PciFunction, Reinit::OwnFunction);
}

void mifh_drain_tx_rd_num_port(MifhDeviceObj* d, std::uint32_t port) {
  if (!ZekIsBadPointer(d)) drain(d, port, Reinit::BothOfThePair);
}
