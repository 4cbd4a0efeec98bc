// Adapter configuration, MAC table and connection hash.
#include "proxy/rdma/hw/config.h"

#include "include/hw/nic.h"
#include "include/hw/registers.h"
#include "platform/kernel/hal.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/hw/status.h"

namespace {

constexpr std::uint32_t kRateMultiplier[4] = {1, 1000, 100000, 1000000};

bool device_ok(const MifhDeviceObj* device) { return !ZekIsBadPointer(device); }

// Raw accesses of the device's pair: the caller holds the index-register lock.
std::uint32_t raw_read(MifhDeviceObj* d, std::uint32_t index) {
  mifh_write_reg(d, zekhw::index_register(d->PciFunction), index);
  return mifh_read_reg(d, zekhw::data_register(d->PciFunction));
}
void raw_write(MifhDeviceObj* d, std::uint32_t index, std::uint32_t value) {
  mifh_write_reg(d, zekhw::index_register(d->PciFunction), index);
  mifh_write_reg(d, zekhw::data_register(d->PciFunction), value);
}

// Sets or clears a slot's bit of a mask register in one locked read-modify-write.
ZekStatus change_mask(MifhDeviceObj* d, std::uint32_t index, std::uint32_t slot, bool on) {
  if (slot >= zekhw::kMacSlots) return MIFH_STATUS_FAIL;
  const ZekStatus locked = mifh_acquire_indexreg_spinlock(d);
  if (locked != ZEK_STATUS_PASS) return locked;
  std::uint32_t v = raw_read(d, index) & zekhw::kSlotMaskBits;
  v = on ? v | (1u << slot) : v & ~(1u << slot);
  raw_write(d, index, v);
  return mifh_release_indexreg_spinlock(d);
}

// A MAC table entry as the adapter holds it: the low word, and the high word
// without its slot number (valid bit 20 and the first two bytes).
struct MacEntry {
  std::uint32_t Low;
  std::uint32_t High;
  bool valid() const { return (High & kMacEntryValid) != 0; }
  bool operator==(const MacEntry&) const = default;
  static constexpr std::uint32_t kMacEntryValid = 0x10u << 16;
};

MacEntry entry_of(const std::uint8_t* mac) {
  return {std::uint32_t{mac[2]} << 24 | std::uint32_t{mac[3]} << 16 | std::uint32_t{mac[4]} << 8 | mac[5],
          MacEntry::kMacEntryValid | std::uint32_t{mac[0]} << 8 | mac[1]};
}

MacEntry read_entry(MifhDeviceObj* d, std::uint32_t slot) {
  MacEntry e{0, 0};
  if (slot >= zekhw::kMacSlots || mifh_acquire_indexreg_spinlock(d) != ZEK_STATUS_PASS) return e;
  e.Low = raw_read(d, zekhw::idx_mac_low(slot));
  e.High = raw_read(d, zekhw::idx_mac_high(slot)) & (MacEntry::kMacEntryValid | 0xFFFF);
  mifh_release_indexreg_spinlock(d);
  return e;
}

// The further slots a port mode copies a function's MAC into: slot + 1 to
// + 3 in mode 0, slot + 2 in mode 1. On a board with several functions these
// can be other functions' own slots, so a copy goes only into a slot that is
// empty or already holds this MAC, and is cleared only while it still does.
struct ReplicaSlots {
  std::uint32_t First, Last;
};
ReplicaSlots replica_slots(const MifhDeviceObj* d, std::uint32_t slot) {
  if (d->PortMode == 0) return {slot + 1, slot + 3};
  if (d->PortMode == 1) return {slot + 2, slot + 2};
  return {1, 0};  // none
}

std::uint32_t pow2(std::uint32_t exponent) { return static_cast<std::uint32_t>(std::uint64_t{1} << (exponent & 31)); }
// A limit derived as value - bias never wraps to a huge number.
std::uint32_t minus(std::uint64_t value, std::uint64_t bias) {
  return value > bias ? static_cast<std::uint32_t>(value - bias) : 0;
}

}  // namespace

ZekStatus mifh_query_hw_caps(MifhDeviceObj* device, MifhHwCaps* caps) {
  if (!device_ok(device) || ZekIsBadPointer(caps)) return MIFH_STATUS_FAIL;
  const std::uint32_t w =
      READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(device->ConfigWindow + zekhw::kCfgCapabilities0));
  const std::uint32_t v =
      READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(device->ConfigWindow + zekhw::kCfgCapabilities1));
  caps->Value1 = w >> 16;
  caps->Value2 = ((w >> 2) & 0x3FFF) * kRateMultiplier[w & 3];
  caps->Value3 = v >> 24;
  caps->Value4 = (v >> 16) & 0x1FF;
  caps->Value5 = (v >> 8) & 0xFF;
  for (unsigned i = 0; i < 5; ++i) caps->Flag[i] = (v >> (4 - i)) & 1;
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_query_hw_limits(MifhDeviceObj* device, MifhHwLimits* limits) {
  if (!device_ok(device) || ZekIsBadPointer(limits)) return MIFH_STATUS_FAIL;
  const std::uint32_t fixed[6] = {64, 1, 1, 64, 8, 0};
  for (unsigned i = 0; i < 6; ++i) limits->Fixed[i] = fixed[i];
  limits->BaseCount = device->QpCountBase;
  limits->BaseAndPages = device->QpCountBase + (device->QpByteSize + 4095) / 4096;
  // Also under the lock: the read is an indexed access like any other.
  std::uint32_t v = 0;
  mifh_read_indexed(device, zekhw::kIdxQueueClasses, &v);
  limits->ReadDepth = zekhw::kReadDepthClasses[(v >> 16) & 3] / 2;
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_query_hw_sizes(MifhDeviceObj* device, MifhHwSizes* s) {
  if (!device_ok(device) || ZekIsBadPointer(s)) return MIFH_STATUS_FAIL;
  const ZekStatus locked = mifh_acquire_indexreg_spinlock(device);
  if (locked != ZEK_STATUS_PASS) return locked;
  const std::uint32_t v218 = raw_read(device, zekhw::kIdxSize218);
  const std::uint32_t v260 = raw_read(device, zekhw::kIdxSize260);
  const std::uint32_t v278 = raw_read(device, zekhw::kIdxSize278);
  const std::uint32_t v2b0 = raw_read(device, zekhw::kIdxSize2B0);
  const std::uint32_t v280 = raw_read(device, zekhw::kIdxSize280);
  const std::uint32_t v200 = raw_read(device, zekhw::kIdxQueueClasses);
  const std::uint32_t v258 = raw_read(device, zekhw::kIdxSize258);
  mifh_release_indexreg_spinlock(device);
  s->Size218 = minus(v218 & 0x7FE00, 74);
  s->Size260 = minus(v260 & 0xFFC0, 64);
  s->Size278 = pow2((v278 & 7) + 13) - 1;
  s->Size2B0 = static_cast<std::uint32_t>((std::uint64_t{1} << (v2b0 & 0x1F)) - 1);
  s->Size280Low = pow2(v280 & 0x1F);
  s->Size280High = pow2((v280 >> 16) & 0x1F);
  s->MaxSqWr = zekhw::kWqeClasses[v200 & 3];
  s->MaxRqWr = zekhw::kWqeClasses[(v200 >> 8) & 3];
  s->ReadDepth = zekhw::kReadDepthClasses[(v200 >> 16) & 3] / 2;
  s->Size258 = minus(std::uint64_t{1} << (v258 & 0xF), 10);
  s->Pages = (device->QpByteSize + 4095) / 4096;
  s->Remaining = minus(32769, std::uint64_t{device->QpCountBase} + s->Pages);
  s->Reserved = 0;
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_write_mac_address(MifhDeviceObj* device, const std::uint8_t* mac, std::uint32_t slot) {
  if (!device_ok(device)) {
    ZEK_LOG_FAILURE("mifh_write_mac_address: pBaseDeviceObj is not valid (0x%p)\n", static_cast<void*>(device));
    return MIFH_STATUS_FAIL;
  }
  if (mac == nullptr) {
    ZEK_LOG_FAILURE("mifh_write_mac_address: pMacAddress is NULL\n");
    return MIFH_STATUS_FAIL;
  }
  if (slot >= zekhw::kMacSlots) return MIFH_STATUS_FAIL;
  const ZekStatus locked = mifh_acquire_indexreg_spinlock(device);
  if (locked != ZEK_STATUS_PASS) return locked;
  raw_write(device, zekhw::idx_mac_low(slot),
            std::uint32_t{mac[2]} << 24 | std::uint32_t{mac[3]} << 16 | std::uint32_t{mac[4]} << 8 | mac[5]);
  raw_write(device, zekhw::idx_mac_high(slot), (slot | 0x10) << 16 | std::uint32_t{mac[0]} << 8 | mac[1]);
  return mifh_release_indexreg_spinlock(device);
}

ZekStatus mifh_zero_mac_address(MifhDeviceObj* device, std::uint32_t slot) {
  if (!device_ok(device)) {
    ZEK_LOG_FAILURE("mifh_write_mac_address: pBaseDeviceObj is not valid (0x%p)\n", static_cast<void*>(device));
    return MIFH_STATUS_FAIL;
  }
  if (slot >= zekhw::kMacSlots) return MIFH_STATUS_FAIL;
  const ZekStatus locked = mifh_acquire_indexreg_spinlock(device);
  if (locked != ZEK_STATUS_PASS) return locked;
  raw_write(device, zekhw::idx_mac_low(slot), 0);
  raw_write(device, zekhw::idx_mac_high(slot), slot << 16);
  return mifh_release_indexreg_spinlock(device);
}

void mifh_set_nic_active(MifhDeviceObj* device, std::uint32_t slot) {
  if (!device_ok(device)) {
    ZEK_LOG_FAILURE("mifh_set_nic_active: pBaseDeviceObj is not valid (0x%p)\n", static_cast<void*>(device));
    return;
  }
  change_mask(device, zekhw::kIdxRxEnable, slot, true);
}

void mifh_set_nic_rx_disable(MifhDeviceObj* device, std::uint32_t slot) {
  if (!device_ok(device)) {
    ZEK_LOG_FAILURE("mifh_set_nic_rx_disable: pBaseDeviceObj is not valid (0x%p)\n", static_cast<void*>(device));
    return;
  }
  change_mask(device, zekhw::kIdxRxEnable, slot, false);
}

ZekStatus mifh_enable_multicast_all(MifhDeviceObj* device, std::uint32_t slot, std::uint32_t on) {
  if (!device_ok(device)) {
    ZEK_LOG_FAILURE("mifh_enable_multicast_all: pBaseDeviceObj is not valid (0x%p)\n", static_cast<void*>(device));
    return MIFH_STATUS_FAIL;
  }
  return change_mask(device, zekhw::kIdxAllMulticast, slot, on != 0);
}

ZekStatus mifh_enable_broadcast(MifhDeviceObj* device, std::uint32_t slot, std::uint32_t on) {
  if (!device_ok(device)) {
    ZEK_LOG_FAILURE("mifh_enable_broadcast: pBaseDeviceObj is not valid (0x%p)\n", static_cast<void*>(device));
    return MIFH_STATUS_FAIL;
  }
  return change_mask(device, zekhw::kIdxBroadcast, slot, on != 0);
}

std::uint32_t mifh_port_map_value(std::uint32_t port_mode, std::uint32_t phy_type) {
  std::uint32_t a = 1, b = 2, c = 3;
  if (port_mode == 0) {
    a = b = c = 0;
  } else if (port_mode == 1) {
    a = 1, b = 0, c = 1;
  } else if (port_mode == 3 && phy_type == 5) {
    a = 2, b = 1, c = 3;
  }
  return (a | (b | c << 2) << 2) << 2;
}

ZekStatus mifh_hw_init_zek_nic(MifhDeviceObj* device, const std::uint8_t* mac, std::uint32_t slot) {
  if (!device_ok(device)) {
    ZEK_LOG_FAILURE("mifh_hw_init_zek_nic: pBaseDeviceObj is not valid (0x%p)\n", static_cast<void*>(device));
    return MIFH_STATUS_FAIL;
  }
  if (mac == nullptr) {
    ZEK_LOG_FAILURE("mifh_hw_init_zek_nic:pMacAddr is NULL\n");
    return MIFH_STATUS_FAIL;
  }
  mifh_set_nic_active(device, slot);
  ZekStatus status = mifh_write_mac_address(device, mac, slot);
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("mifh_hw_init_zek_nic: mifh_write_mac_address failed\n");
    return status;
  }
  status = mifh_enable_broadcast(device, slot, 1);
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("mifh_hw_init_zek_nic: mifh_enable_broadcast failed\n");
    return status;
  }
  const ReplicaSlots replicas = replica_slots(device, slot);
  for (std::uint32_t s = replicas.First; s <= replicas.Last; ++s) {
    const MacEntry held = read_entry(device, s);
    if (!held.valid() || held == entry_of(mac)) mifh_write_mac_address(device, mac, s);
  }
  // Under the index-register lock like every other indexed write.
  return mifh_write_indexed(device, zekhw::kIdxPortMap, mifh_port_map_value(device->PortMode, device->PhyType));
}

ZekStatus mifh_hw_clear_zek_nic(MifhDeviceObj* device, std::uint32_t slot) {
  if (!device_ok(device)) return MIFH_STATUS_FAIL;
  mifh_set_nic_rx_disable(device, slot);
  const MacEntry own = read_entry(device, slot);
  ZekStatus status = mifh_zero_mac_address(device, slot);
  if (status != MIFH_STATUS_SUCCESS) ZEK_LOG_FAILURE("mifh_hw_init_zek_nic: mifh_write_mac_address failed\n");
  const ZekStatus broadcast = mifh_enable_broadcast(device, slot, 0);
  if (broadcast != MIFH_STATUS_SUCCESS) ZEK_LOG_FAILURE("mifh_hw_init_zek_nic: mifh_enable_broadcast failed\n");
  const ReplicaSlots replicas = replica_slots(device, slot);
  for (std::uint32_t s = replicas.First; own.valid() && s <= replicas.Last; ++s) {
    if (read_entry(device, s) == own) mifh_zero_mac_address(device, s);
  }
  return status != MIFH_STATUS_SUCCESS ? status : broadcast;
}

std::uint32_t mifh_crc32c(const std::uint8_t* bytes, std::uint32_t length) {
  static const auto table = [] {
    struct T {
      std::uint32_t v[256];
    } t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? (c >> 1) ^ 0x82F63B78u : c >> 1;
      t.v[i] = c;
    }
    return t;
  }();
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::uint32_t i = 0; i < length; ++i) c = table.v[(c ^ bytes[i]) & 0xFF] ^ (c >> 8);
  return ~c;
}

std::uint32_t mifh_conn_hash_index(MifhDeviceObj* device, std::uint32_t index, std::uint32_t remote_ipv4,
                                   std::uint16_t port_a, std::uint16_t port_b) {
  if (!device_ok(device)) return 0;
  std::uint32_t size = 0;
  mifh_read_indexed(device, zekhw::kIdxHashSize, &size);
  const std::uint32_t n = size & 0x1F;
  // In 64 bits: with n = 31 the mask is 2^32 - 1, not an undefined shift.
  const std::uint64_t mask = (std::uint64_t{1} << (n + 1)) - 1;
  std::uint8_t key[16] = {};
  key[7] = static_cast<std::uint8_t>(index & 0x1F);
  for (int i = 0; i < 4; ++i) key[8 + i] = static_cast<std::uint8_t>(remote_ipv4 >> (24 - 8 * i));
  key[12] = static_cast<std::uint8_t>(port_b >> 8);
  key[13] = static_cast<std::uint8_t>(port_b);
  key[14] = static_cast<std::uint8_t>(port_a >> 8);
  key[15] = static_cast<std::uint8_t>(port_a);
  const std::uint32_t crc = mifh_crc32c(key, sizeof key);
  return static_cast<std::uint32_t>(__builtin_bswap32(crc) & mask);
}

void nic_config_mac(MifhDeviceObj* d, std::uint32_t value) {
  if (device_ok(d)) nic_config_mac_of(d, d->PciFunction, d->Port, value);
}

void nic_config_mac_of(MifhDeviceObj* d, std::uint32_t function, std::uint32_t p, std::uint32_t value) {
  if (!device_ok(d)) return;
  const std::uint32_t q = (d->PhyType == 4 || d->PhyType == 8 || d->PhyType == 9) ? 0 : p;
  if (mifh_acquire_indexreg_spinlock(d) != ZEK_STATUS_PASS) return;
  raw_write(d, zekhw::idx_port_mac(p, 0x00), 1);
  raw_write(d, zekhw::idx_port_mac(q, 0x04), d->FrameSizeWord | (d->PhyType == 2 ? 4u : 0x14u));
  raw_write(d, zekhw::idx_port_mac(p, 0x08), 0xFFFF);
  raw_write(d, zekhw::idx_port_mac(p, 0x0C), 1);
  raw_write(d, zekhw::idx_port_mac(p, 0x10), (value & 0xFF) << 7 | 0x341);
  raw_write(d, zekhw::idx_port_mac(p, 0x1C),
            std::uint32_t{d->MacAddress[2]} << 24 | std::uint32_t{d->MacAddress[3]} << 16 |
                std::uint32_t{d->MacAddress[4]} << 8 | d->MacAddress[5]);
  raw_write(d, zekhw::idx_port_mac(p, 0x20), ((d->MacAddress[0] + function) & 0xFFu) << 8 | d->MacAddress[1]);
  mifh_release_indexreg_spinlock(d);
}

ZekStatus init_vorla1_serdes(MifhDeviceObj* d) {
  return device_ok(d) ? init_vorla1_serdes_of(d, d->PciFunction) : MIFH_STATUS_FAIL;
}

ZekStatus init_vorla1_serdes_of(MifhDeviceObj* d, std::uint32_t f) {
  if (!device_ok(d)) return MIFH_STATUS_FAIL;
  const std::uint32_t r = mifh_read_reg(d, zekhw::kRegGlobalControl);
  auto reg = [&](std::uint32_t offset) { return zekhw::idx_serdes(f, offset); };
  mifh_write_indexed(d, reg(0x08), (r & 0x300) != 0 ? 8u : 0x48u);
  bool ready = false;
  for (int i = 0; i < 100 && !ready; ++i) {
    std::uint32_t v = 0;
    mifh_read_indexed(d, reg(0x0C), &v);
    ready = (v & zekhw::kSerdesReadyBits) == zekhw::kSerdesReadyBits;
  }
  if (!ready) {
    ZEK_LOG_FAILURE("Serdes %d is not ready\n", f);
    return MIFH_STATUS_FAIL;
  }
  mifh_write_indexed(d, reg(0x10), 0xBDEF7);
  mifh_write_indexed(d, reg(0x14), 0x9CE73000);
  mifh_write_indexed(d, reg(0x18), 0x0FF00000);
  mifh_write_indexed(d, reg(0x1C), 0);
  mifh_write_indexed(d, reg(0x20), 0);
  mifh_write_indexed(d, reg(0x24), 0);
  const bool fast = (f == 0 && (r & 0xC00) == 0) || (f == 1 && (r & 0x3000) == 0);
  mifh_write_indexed(d, reg(0x28), fast ? 0xF0182222u : 0xF0042222u);
  mifh_write_indexed(d, reg(0x34), 0xFF);
  return MIFH_STATUS_SUCCESS;
}

ZekStatus init_vorla2_serdes(MifhDeviceObj* d) {
  return device_ok(d) ? init_vorla2_serdes_of(d, d->PciFunction) : MIFH_STATUS_FAIL;
}

ZekStatus init_vorla2_serdes_of(MifhDeviceObj* d, std::uint32_t function) {
  if (!device_ok(d)) return MIFH_STATUS_FAIL;
  std::uint32_t s = 0;
  if (function == 1 || function == 3) {
    s = 0x200;
  } else if (function != 0 && function != 2) {
    OSPrimMemoryLogging("func[%s,%d fatal error ] \n", __func__, __LINE__);
  }
  const std::uint32_t r = mifh_read_reg(d, zekhw::kRegGlobalControl);
  mifh_write_indexed(d, 0x2834 + s, 0xFF);
  if (((r >> 10) & 3) == 2 || ((r >> 12) & 3) == 2) mifh_write_indexed(d, 0x2838 + s, 0x11110000);
  // Read-modify-writes hold the lock across both accesses.
  auto rmw = [&](std::uint32_t index, std::uint32_t keep, std::uint32_t set) {
    if (mifh_acquire_indexreg_spinlock(d) != ZEK_STATUS_PASS) return;
    raw_write(d, index, (raw_read(d, index) & keep) | set);
    mifh_release_indexreg_spinlock(d);
  };
  switch (d->PhyType) {
    case 4:
    case 8:
      mifh_write_indexed(d, 0x2810 + s, 0);
      if (s == 0x200) rmw(0x2A08, 0xFF0FFBBF, 0);
      break;
    case 5:
      rmw(0x2808 + s, 0xFF0FF9FF, 0x100);
      break;
    case 9:
      mifh_write_indexed(d, 0x2810 + s, 0);
      break;
    default:
      break;
  }
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_write_field_5000(MifhDeviceObj* d, std::uint32_t value) {
  if (!device_ok(d)) return MIFH_STATUS_FAIL;
  const ZekStatus locked = mifh_acquire_indexreg_spinlock(d);
  if (locked != ZEK_STATUS_PASS) return locked;
  raw_write(d, zekhw::kIdxNicControl,
            (raw_read(d, zekhw::kIdxNicControl) & zekhw::kIdxNicControlMask) | (value & 1)
                                                                                   << zekhw::kIdxNicControlStallShift);
  mifh_release_indexreg_spinlock(d);
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_get_hw_scratchpad(MifhDeviceObj* device, std::uint64_t* value) {
  if (!device_ok(device)) {
    ZEK_LOG_FAILURE("mifh_get_hw_scratchpad: pBaseDeviceObj is not valid (0x%p)\n", static_cast<void*>(device));
    return MIFH_STATUS_FAIL;
  }
  HwScratchpadObj* s = device->Scratchpad;
  if (ZekIsBadPointer(s) || s->Signature != MIFH_SCRATCHPAD_SIGNATURE || ZekIsBadPointer(value))
    return MIFH_STATUS_FAIL;
  *value = s->Value;
  return MIFH_STATUS_SUCCESS;
}

ZekStatus mifh_set_hw_scratchpad(MifhDeviceObj* device, std::uint64_t value) {
  if (!device_ok(device)) {
    ZEK_LOG_FAILURE("mifh_set_hw_scratchpad: pBaseDeviceObj is not valid (0x%p)\n", static_cast<void*>(device));
    return MIFH_STATUS_FAIL;
  }
  HwScratchpadObj* s = device->Scratchpad;
  if (ZekIsBadPointer(s) || s->Signature != MIFH_SCRATCHPAD_SIGNATURE) return MIFH_STATUS_FAIL;
  s->Value = value;
  return MIFH_STATUS_SUCCESS;
}
