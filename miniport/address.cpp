// The adapter's addresses, the per-slot receive masks, the multicast hash
// and the destination-IP table.
#include <cstring>

#include "include/hw/registers.h"
#include "miniport/bringup.h"
#include "miniport/hwobjects.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/hw/status.h"

namespace {

// Sets or clears one slot's bit of a 20-bit mask register, keeping the rest.
ZekStatus set_mask_bit(MifhDeviceObj* device, std::uint32_t reg, std::uint32_t slot, std::uint32_t on,
                       const char* routine) {
  if (ZekBadDevice(device, routine)) return MIFH_STATUS_FAIL;
  if (slot >= ZEK_MAC_SLOTS) {
    ZEK_LOG_FAILURE("%s: slot (%u) is invalid\n", routine, slot);
    return MIFH_STATUS_FAIL;
  }
  if (mifh_acquire_indexreg_spinlock(device) != ZEK_STATUS_PASS) return MIFH_STATUS_FAIL;
  const std::uint32_t f = device->PciFunction;
  mifh_write_reg(device, zekhw::index_register(f), reg);
  std::uint32_t value = mifh_read_reg(device, zekhw::data_register(f)) & zekhw::kSlotMaskBits;
  value = on != 0 ? value | (1u << slot) : value & ~(1u << slot);
  mifh_write_reg(device, zekhw::data_register(f), value);
  mifh_release_indexreg_spinlock(device);
  return ZEK_STATUS_PASS;
}

}  // namespace

void ZekMacAddLow16(const std::uint8_t mac[6], std::uint32_t add, std::uint8_t out[6]) {
  std::memcpy(out, mac, 6);
  const std::uint32_t low = ((std::uint32_t{mac[4]} << 8) | mac[5]) + add;
  out[4] = static_cast<std::uint8_t>(low >> 8);
  out[5] = static_cast<std::uint8_t>(low);
}

ZekStatus mifh_read_mac_address(ZEK_ADAPTER* adapter) {
  MifhDeviceObj* device = adapter != nullptr && adapter->HwInfo != nullptr ? &adapter->HwInfo->Device : nullptr;
  if (ZekIsBadPointer(device)) {
    ZEK_LOG_FAILURE("mifh_read_mac_address: pPubDevObj is not valid (0x%p)\n", static_cast<void*>(device));
    return MIFH_STATUS_FAIL;
  }
  const std::uint32_t low = device->MacBlock1Low;
  if ((low & 0xFFFF) == 0xFFFF) {
    ZEK_LOG_FAILURE("mifh_read_mac_address: the EEPROM's MAC block is erased\n");
    return MIFH_STATUS_FAIL;
  }
  const std::uint16_t high = device->MacBlock1High;
  const std::uint8_t board[6] = {static_cast<std::uint8_t>(high >> 8), static_cast<std::uint8_t>(high),
                                 static_cast<std::uint8_t>(low >> 24), static_cast<std::uint8_t>(low >> 16),
                                 static_cast<std::uint8_t>(low >> 8),  static_cast<std::uint8_t>(low)};
  std::memcpy(adapter->BaseMac, board, 6);
  ZekMacAddLow16(board, device->PciFunction, adapter->PermanentMac);
  ZekMacAddLow16(adapter->PermanentMac, device->PortMode + 1, adapter->SanMac);
  return ZEK_STATUS_PASS;
}

ZekStatus ZekCheckPermanentAddress(const std::uint8_t mac[6]) {
  static constexpr std::uint8_t kBroadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  if (std::memcmp(mac, kBroadcast, 6) == 0) {
    ZEK_LOG_FAILURE("Permanent address is invalid, Can't be broadcast \n");
    return MIFH_STATUS_FAIL;
  }
  if ((mac[0] & 1) != 0) {
    ZEK_LOG_FAILURE("Permanent address is invalid, Can't be Multicast \n");
    return MIFH_STATUS_FAIL;
  }
  return ZEK_STATUS_PASS;
}

ZekStatus mifh_calculate_mchash_index(const std::uint8_t mac[6], std::uint32_t* index) {
  if (index == nullptr || mac == nullptr) {
    ZEK_LOG_FAILURE("mifh_calculate_mchash_index: pu32Index is NULL\n");
    return MIFH_STATUS_FAIL;
  }
  std::uint64_t a = 0;
  for (int i = 0; i < 6; ++i) a = (a << 8) | mac[i];
  const std::uint64_t x = a ^ (a >> 6);
  const std::uint64_t t = x ^ (x >> 12);
  *index = static_cast<std::uint32_t>((t ^ (t >> 24)) & 63);
  return ZEK_STATUS_PASS;
}

ZekStatus mifh_set_mchash_reg(MifhDeviceObj* device, std::uint64_t hash) {
  if (ZekBadDevice(device, "mifh_set_mchash_reg")) return MIFH_STATUS_FAIL;
  if (mifh_acquire_indexreg_spinlock(device) != ZEK_STATUS_PASS) return MIFH_STATUS_FAIL;
  const std::uint32_t f = device->PciFunction;
  mifh_write_reg(device, zekhw::index_register(f), zekhw::kIdxMulticastHashLow);
  mifh_write_reg(device, zekhw::data_register(f), static_cast<std::uint32_t>(hash));
  mifh_write_reg(device, zekhw::index_register(f), zekhw::kIdxMulticastHashHigh);
  mifh_write_reg(device, zekhw::data_register(f), static_cast<std::uint32_t>(hash >> 32));
  mifh_release_indexreg_spinlock(device);
  return ZEK_STATUS_PASS;
}

ZekStatus mifh_enable_unicast_all(MifhDeviceObj* device, std::uint32_t slot, std::uint32_t on) {
  return set_mask_bit(device, zekhw::kIdxAllUnicast, slot, on, "mifh_enable_unicast_all");
}

ZekStatus mifh_enable_multicast(MifhDeviceObj* device, std::uint32_t slot, std::uint32_t on) {
  return set_mask_bit(device, zekhw::kIdxMulticastHashEnable, slot, on, "mifh_enable_multicast");
}

ZekStatus CommonSetMulticastList(ZEK_ADAPTER* adapter) {
  if (adapter->MulticastCount > ZEK_MAX_MULTICAST) {
    ZEK_LOG_FAILURE("CommonSetMulticastList: %u addresses, at most %u\n", adapter->MulticastCount, ZEK_MAX_MULTICAST);
    return MIFH_STATUS_FAIL;
  }
  ZekMulticastResources* multicast = adapter->Multicast;
  MifhDeviceObj* device = &adapter->HwInfo->Device;
  const std::uint32_t f = adapter->PciFunction;
  if (multicast == nullptr || f >= ZEK_HASH_WORDS) {
    ZEK_LOG_FAILURE("CommonSetMulticastList: function %u has no multicast hash word\n", f);
    return MIFH_STATUS_FAIL;
  }
  // The function's word is built anew from its list, so that a group that
  // left the list stops being accepted.
  std::uint64_t word = 0;
  for (std::uint32_t i = 0; i < adapter->MulticastCount; ++i) {
    std::uint32_t bit = 0;
    mifh_calculate_mchash_index(adapter->MulticastList[i], &bit);
    word |= std::uint64_t{1} << bit;
  }
  OSPrimSyncAcquireSpinlockObject(&multicast->Lock);
  multicast->HashWords[f] = word;
  std::uint64_t board = 0;
  const std::uint32_t ports = multicast->PortCount < ZEK_HASH_WORDS ? multicast->PortCount : ZEK_HASH_WORDS;
  for (std::uint32_t i = 0; i < ports; ++i) board |= multicast->HashWords[i];
  const ZekStatus status = mifh_set_mchash_reg(device, board);
  OSPrimSyncReleaseSpinlockObject(&multicast->Lock);
  return status;
}

ZekStatus mifh_set_dst_ip_addr(MifhDeviceObj* device, std::uint32_t entry, std::uint32_t ipv4) {
  if (ZekBadDevice(device, "mifh_set_dst_ip_addr")) return MIFH_STATUS_FAIL;
  if (entry >= zekhw::kDestIpEntries) {
    ZEK_LOG_FAILURE("mifh_set_dst_ip_addr: entry (%u) is invalid\n", entry);
    return MIFH_STATUS_FAIL;
  }
  if (mifh_acquire_indexreg_spinlock(device) != ZEK_STATUS_PASS) return MIFH_STATUS_FAIL;
  const std::uint32_t f = device->PciFunction;
  const std::uint32_t words[4] = {ipv4, 0, 0, 0};
  for (std::uint32_t i = 0; i < 4; ++i) {
    mifh_write_reg(device, zekhw::index_register(f), zekhw::idx_dest_ip(entry) + 4 * i);
    mifh_write_reg(device, zekhw::data_register(f), words[i]);
  }
  mifh_release_indexreg_spinlock(device);
  return ZEK_STATUS_PASS;
}

ZekStatus mifh_set_dst_ip_addr_type(MifhDeviceObj* device, std::uint32_t entry, std::uint32_t type) {
  if (ZekBadDevice(device, "mifh_set_dst_ip_addr_type")) return MIFH_STATUS_FAIL;
  if (entry >= zekhw::kDestIpEntries || type > 3) {
    ZEK_LOG_FAILURE("mifh_set_dst_ip_addr_type: entry (%u) or type (%u) is invalid\n", entry, type);
    return MIFH_STATUS_FAIL;
  }
  if (mifh_acquire_indexreg_spinlock(device) != ZEK_STATUS_PASS) return MIFH_STATUS_FAIL;
  const std::uint32_t f = device->PciFunction;
  const std::uint32_t reg = zekhw::kIdxDestIpTypes + (entry >= 16 ? 4 : 0);
  const std::uint32_t shift = 2 * (entry & 15);
  mifh_write_reg(device, zekhw::index_register(f), reg);
  const std::uint32_t value = mifh_read_reg(device, zekhw::data_register(f));
  mifh_write_reg(device, zekhw::data_register(f), (value & ~(3u << shift)) | (type << shift));
  mifh_release_indexreg_spinlock(device);
  return ZEK_STATUS_PASS;
}
