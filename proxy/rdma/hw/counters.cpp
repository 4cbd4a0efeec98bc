#include "proxy/rdma/hw/counters.h"

#include "include/hw/registers.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/hw/status.h"

namespace {

constexpr MifhStatRow kNone{0, MIFH_STAT_NONE};
constexpr MifhStatRow r32(std::uint32_t reg) { return {reg, MIFH_STAT_32}; }
constexpr MifhStatRow r64(std::uint32_t reg) { return {reg, MIFH_STAT_64}; }

// Reads one counter under the index-register lock and adds it to `slot`.
std::uint32_t read_and_add(MifhDeviceObj* device, const MifhStatRow& row, std::uint32_t reg, std::uint64_t* slot,
                           std::uint64_t* out) {
  if (mifh_acquire_indexreg_spinlock(device) != ZEK_STATUS_PASS) return 1;
  const std::uint32_t index = zekhw::index_register(device->PciFunction);
  const std::uint32_t data = zekhw::data_register(device->PciFunction);
  std::uint64_t value = 0;
  if (row.Width != MIFH_STAT_NONE) {
    mifh_write_reg(device, index, reg);
    value = mifh_read_reg(device, data);
    if (row.Width == MIFH_STAT_64) {
      mifh_write_reg(device, index, reg + 4);
      value |= std::uint64_t{mifh_read_reg(device, data)} << 32;
    }
  }
  *slot += value;
  *out = *slot;
  mifh_release_indexreg_spinlock(device);
  return 0;
}

}  // namespace

const MifhStatRow MifhAdapterStatTable[MIFH_ADAPTER_STAT_COUNT] = {
    r32(0x214C), r32(0x2180), r64(0x2144), r32(0x217C), r32(0x2184), r32(0x2150), r64(0x213C), r32(0x2178), r32(0x2154),
    r32(0x2174), r32(0x2188), r32(0x2110), r32(0x2138), r64(0x2108), r32(0x2114), r64(0x2100), r32(0x2118), r32(0xA34),
    r32(0xA30),  kNone,       kNone,       kNone,       kNone,       kNone,       kNone,       kNone,
};

const MifhStatRow MifhPortStatTable[MIFH_PORT_STAT_COUNT] = {
    r64(0x30A0), r64(0x3098), r64(0x7098), r64(0x7090), r64(0x3018), r64(0x7018), r32(0x7084),  // 0x2000-0x2006
    r32(0x3088), r64(0x7010), r64(0x3010), r32(0x3090), r32(0x708C), r64(0x7020), r64(0x3020),  // 0x2007-0x200D
    kNone,       kNone,       kNone,       kNone,       r64(0x30B0), r64(0x30B8), r64(0x30A8),  // 0x200E-0x2014
    r64(0x30C0), kNone,       r64(0x70A8), r64(0x70B0), r64(0x70B8), kNone,       r64(0x70A0),  // 0x2015-0x201B
    r64(0x3038), r32(0x3080), r64(0x3008), r64(0x3030), r64(0x3000), r32(0x7080), r32(0x7088),  // 0x201C-0x2022
    kNone,       kNone,       kNone,       kNone,       kNone,       r64(0x7038), r64(0x7008),  // 0x2023-0x2029
    r64(0x7030), r64(0x7000), kNone,       kNone,       kNone,       kNone,       kNone,        // 0x202A-0x2030
    kNone,       kNone,       kNone,       kNone,       kNone,       kNone,       kNone,        // 0x2031-0x2037
    kNone,       kNone,       kNone,       kNone,       r32(0x3084), r32(0x308C), r32(0x3094),  // 0x2038-0x203E
};

extern "C" ZekStatus mifh_stat_accumulators_alloc(MifhDeviceObj* device) {
  if (ZekIsBadPointer(device)) return MIFH_STATUS_FAIL;
  if (device->AdapterCounterAccumulators != nullptr) return ZEK_STATUS_PASS;
  constexpr std::uint32_t kSlots = MIFH_ADAPTER_STAT_COUNT + MIFH_STAT_PORTS * MIFH_PORT_STAT_COUNT;
  void* memory = nullptr;
  if (OSPrimMemAllocate(&memory, kSlots * sizeof(std::uint64_t)) != ZEK_STATUS_PASS || memory == nullptr) {
    return MIFH_STATUS_FAIL;
  }
  auto* slots = static_cast<std::uint64_t*>(memory);
  for (std::uint32_t i = 0; i < kSlots; ++i) slots[i] = 0;
  device->AdapterCounterAccumulators = slots;
  device->PortCounterAccumulators = slots + MIFH_ADAPTER_STAT_COUNT;
  device->PortCounterStride = MIFH_PORT_STAT_COUNT;
  return ZEK_STATUS_PASS;
}

extern "C" void mifh_stat_accumulators_free(MifhDeviceObj* device) {
  if (ZekIsBadPointer(device) || device->AdapterCounterAccumulators == nullptr) return;
  OSPrimMemFree(device->AdapterCounterAccumulators);
  device->AdapterCounterAccumulators = nullptr;
  device->PortCounterAccumulators = nullptr;
  device->PortCounterStride = 0;
}

extern "C" std::uint32_t mifh_get_adapter_stat(MifhDeviceObj* device, std::uint64_t* valueOut,
                                               std::uint32_t identifier) {
  if (ZekIsBadPointer(device) || valueOut == nullptr) return 1;
  const std::uint32_t row = identifier - MIFH_ADAPTER_STAT_FIRST;
  if (row >= MIFH_ADAPTER_STAT_COUNT || device->AdapterCounterAccumulators == nullptr) return 1;
  const MifhStatRow& r = MifhAdapterStatTable[row];
  return read_and_add(device, r, r.Register + MIFH_STAT_REGISTER_STRIDE * device->Port,
                      &device->AdapterCounterAccumulators[row], valueOut);
}

extern "C" std::uint32_t mifh_get_port_stat(MifhDeviceObj* device, std::uint64_t* valueOut, std::uint32_t port,
                                            std::uint32_t identifier) {
  if (ZekIsBadPointer(device) || valueOut == nullptr) return 1;
  const std::uint32_t row = identifier - MIFH_PORT_STAT_FIRST;
  if (row >= MIFH_PORT_STAT_COUNT || port >= MIFH_STAT_PORTS || device->PortCounterAccumulators == nullptr ||
      device->PortCounterStride < MIFH_PORT_STAT_COUNT) {
    return 1;
  }
  const MifhStatRow& r = port == MIFH_STAT_NO_PORT ? kNone : MifhPortStatTable[row];
  return read_and_add(device, r, r.Register + MIFH_STAT_REGISTER_STRIDE * (device->PciFunction + port),
                      &device->PortCounterAccumulators[port * device->PortCounterStride + row], valueOut);
}
