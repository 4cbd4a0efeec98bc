// The seven routines over the board's card tables, and the ARP-cache
// control requests they post.
#include <cstring>

#include "include/hw/cqp.h"
#include "miniport/bringup.h"
#include "miniport/hwobjects.h"
#include "miniport/nic_proxy.h"
#include "proxy/rdma/hw/control_qp.h"
#include "proxy/rdma/hw/status.h"

namespace {

constexpr ZekStatus kBadAeqNumber = 7;
constexpr ZekStatus kBadArpIndex = 11;

// The tables of an adapter, locked; null (nothing locked) for a missing or
// damaged table.
CardTables* lock_tables(void* context) {
  auto* adapter = static_cast<ZEK_ADAPTER*>(context);
  if (ZekIsBadPointer(adapter) || ZekIsBadPointer(adapter->Tables)) return nullptr;
  CardTables* tables = adapter->Tables;
  if (tables->Signature != ZEK_CARD_TABLES_SIGNATURE) return nullptr;
  if (OSPrimSyncAcquireSpinlockObject(&tables->Lock) != ZEK_STATUS_PASS) return nullptr;
  return tables;
}

void unlock_tables(CardTables* tables) { OSPrimSyncReleaseSpinlockObject(&tables->Lock); }

MifhDeviceObj* device_of(void* context) {
  NIC_HW_INFO* hw = static_cast<ZEK_ADAPTER*>(context)->HwInfo;
  return hw != nullptr ? &hw->Device : nullptr;
}

MifhCqpObject* cqp_of(void* context) {
  NIC_HW_INFO* hw = static_cast<ZEK_ADAPTER*>(context)->HwInfo;
  return hw != nullptr ? &hw->Cqp : nullptr;
}

bool arp_in_use(const ZekArpEntry& e) { return e.Type != 0; }
bool ip_in_use(const ZekIpEntry& e) { return e.References != 0; }

// The first entry in use that holds the address, or the count.
std::uint32_t find_arp(const CardTables* t, std::uint32_t ipv4) {
  for (std::uint32_t i = 0; i < t->ArpEntries; ++i) {
    if (arp_in_use(t->Arp[i]) && t->Arp[i].Ipv4 == ipv4) return i;
  }
  return t->ArpEntries;
}
std::uint32_t find_ip(const CardTables* t, std::uint32_t ipv4) {
  for (std::uint32_t i = 0; i < t->IpEntries; ++i) {
    if (ip_in_use(t->Ip[i]) && t->Ip[i].Ipv4 == ipv4) return i;
  }
  return t->IpEntries;
}

void clear_arp(void* context, CardTables* t, std::uint32_t i) {
  t->Arp[i] = ZekArpEntry{};
  const ZekStatus status = mifh_toe_delete_arp_cache_entry(cqp_of(context), static_cast<std::uint16_t>(i));
  if (status != MIFH_STATUS_SUCCESS) {
    ZEK_LOG_FAILURE("DelArpEntryCallback: mifh_toe_delete_arp_cache_entry returned error (0x%x)\n", status);
  }
}

ZekStatus post_arp(MifhCqpObject* cqp, zekhw::MifhCqpWqe& wqe, const char* caller) {
  if (ZekIsBadPointer(cqp)) return MIFH_STATUS_FAIL;
  return mifh_cqp_post(cqp, &wqe, MifhPostMode::Queueing, caller);
}

}  // namespace

ZekStatus mifh_toe_add_arp_cache_entry(const std::uint8_t* mac, MifhCqpObject* cqp, std::uint32_t hardware_context,
                                       std::uint16_t index, std::uint8_t aeq_number) {
  if (aeq_number >= ZEK_ARP_AEQ_LIMIT) {
    ZEK_LOG_FAILURE("mifh_toe_add_arp_cache_entry: u8AeqNumber (0x%x) is invalid\n", aeq_number);
    return kBadAeqNumber;
  }
  if (index >= ZEK_ARP_ENTRY_LIMIT) {
    ZEK_LOG_FAILURE("mifh_toe_add_arp_cache_entry: u16ARPEntryIndex (0x%x) is invalid\n", index);
    return kBadArpIndex;
  }
  std::uint8_t bytes[6] = {};
  if (mac != nullptr) std::memcpy(bytes, mac, sizeof bytes);
  zekhw::MifhCqpWqe wqe{};
  wqe.op_word = (std::uint32_t{aeq_number} << 16) | zekhw::kArpAdd | zekhw::kOpArpCache;
  wqe.object_word = index;
  const std::uint32_t low =
      std::uint32_t{bytes[2]} << 24 | std::uint32_t{bytes[3]} << 16 | std::uint32_t{bytes[4]} << 8 | bytes[5];
  const std::uint32_t high = std::uint32_t{bytes[0]} << 8 | bytes[1];
  wqe.physical_address = std::uint64_t{high} << 32 | low;
  wqe.operation_word = hardware_context;
  return post_arp(cqp, wqe, "mifh_toe_add_arp_cache_entry");
}

ZekStatus mifh_toe_delete_arp_cache_entry(MifhCqpObject* cqp, std::uint16_t index) {
  if (index >= ZEK_ARP_ENTRY_LIMIT) {
    ZEK_LOG_FAILURE("mifh_toe_delete_arp_cache_entry: u16ARPEntryIndex (0x%x) is invalid\n", index);
    return kBadArpIndex;
  }
  zekhw::MifhCqpWqe wqe{};
  wqe.op_word = zekhw::kArpDelete | zekhw::kOpArpCache;
  wqe.object_word = index;
  return post_arp(cqp, wqe, "mifh_toe_delete_arp_cache_entry");
}

std::uint32_t AddArpEntryCallback(void* adapter, const std::uint8_t* mac, std::uint32_t ipv4,
                                  std::uint32_t hardware_context, std::uint8_t type) {
  CardTables* t = lock_tables(adapter);
  if (t == nullptr) return ZEK_CARD_NONE;
  std::uint32_t result = ZEK_CARD_NONE;
  if (type != 0 && find_arp(t, ipv4) == t->ArpEntries) {
    for (std::uint32_t i = 0; i < t->ArpEntries && i < ZEK_ARP_ENTRY_LIMIT; ++i) {
      if (arp_in_use(t->Arp[i])) continue;
      t->Arp[i].Ipv4 = ipv4;
      t->Arp[i].Type = type;
      const MifhDeviceObj* device = device_of(adapter);
      const auto aeq = static_cast<std::uint8_t>(device != nullptr ? device->PciFunction : 0);
      const ZekStatus status =
          mifh_toe_add_arp_cache_entry(mac, cqp_of(adapter), hardware_context, static_cast<std::uint16_t>(i), aeq);
      if (status != MIFH_STATUS_SUCCESS) {
        ZEK_LOG_FAILURE("AddArpEntryCallback: mifh_toe_add_arp_cache_entry returned error (0x%x)\n", status);
        t->Arp[i] = ZekArpEntry{};
        break;
      }
      result = i;
      break;
    }
  }
  unlock_tables(t);
  return result;
}

std::uint32_t DelArpEntryCallback(void* adapter, std::uint32_t ipv4) {
  CardTables* t = lock_tables(adapter);
  if (t == nullptr) return ZEK_CARD_NONE;
  const std::uint32_t i = find_arp(t, ipv4);
  std::uint32_t result = 0;
  if (i < t->ArpEntries) {
    clear_arp(adapter, t, i);
    result = i;
  }
  unlock_tables(t);
  return result;
}

std::uint32_t FlushArpEntriesCallback(void* adapter) {
  CardTables* t = lock_tables(adapter);
  if (t == nullptr) return ZEK_CARD_NONE;
  std::uint32_t last = 0;
  for (std::uint32_t i = 0; i < t->ArpEntries; ++i) {
    if (t->Arp[i].Type != ZEK_ARP_TYPE_FLUSHED) continue;
    clear_arp(adapter, t, i);
    last = i;
  }
  unlock_tables(t);
  return last;
}

std::uint32_t GetIpToArpIndex(void* adapter, std::uint32_t ipv4, std::uint32_t* index) {
  CardTables* t = lock_tables(adapter);
  if (t == nullptr) return 1;
  const std::uint32_t i = find_arp(t, ipv4);
  const bool found = i < t->ArpEntries;
  unlock_tables(t);
  if (!found) return 1;
  if (index != nullptr) *index = i;
  return 0;
}

std::uint32_t AddIpaddrEntryCallback(void* adapter, std::uint32_t ipv4) {
  CardTables* t = lock_tables(adapter);
  if (t == nullptr) return ZEK_CARD_NONE;
  std::uint32_t result = ZEK_CARD_NONE;
  std::uint32_t i = find_ip(t, ipv4);
  if (i < t->IpEntries) {
    ++t->Ip[i].References;
    result = i;
  } else {
    for (i = 0; i < t->IpEntries && ip_in_use(t->Ip[i]); ++i) {
    }
    if (i < t->IpEntries) {
      t->Ip[i] = ZekIpEntry{1, ipv4};
      MifhDeviceObj* device = device_of(adapter);
      if (mifh_set_dst_ip_addr(device, i, ipv4) == ZEK_STATUS_PASS &&
          mifh_set_dst_ip_addr_type(device, i, ZEK_LOCAL_ADDRESS_TYPE) == ZEK_STATUS_PASS) {
        result = i;
      } else {
        ZEK_LOG_FAILURE("AddIpaddrEntryCallback: programming entry %u failed\n", i);
        t->Ip[i] = ZekIpEntry{};
      }
    }
  }
  unlock_tables(t);
  return result;
}

std::uint32_t DelIpaddrEntryProxy(void* adapter, std::uint32_t ipv4) {
  CardTables* t = lock_tables(adapter);
  if (t == nullptr) return ZEK_CARD_NONE;
  std::uint32_t result = ZEK_CARD_NONE;
  const std::uint32_t i = find_ip(t, ipv4);
  if (i < t->IpEntries && --t->Ip[i].References == 0) {
    t->Ip[i] = ZekIpEntry{};
    MifhDeviceObj* device = device_of(adapter);
    mifh_set_dst_ip_addr(device, i, 0);
    mifh_set_dst_ip_addr_type(device, i, 0);
    result = 0;
  }
  unlock_tables(t);
  return result;
}

std::uint32_t GetIpaddrIndexCallback(void* adapter, std::uint32_t ipv4, std::uint32_t* index) {
  CardTables* t = lock_tables(adapter);
  if (t == nullptr) return ZEK_CARD_NONE;
  const std::uint32_t i = find_ip(t, ipv4);
  const bool found = i < t->IpEntries;
  unlock_tables(t);
  if (!found) return ZEK_CARD_NONE;
  if (index != nullptr) *index = i;
  return 0;
}
