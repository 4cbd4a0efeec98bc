// The diagnostic OIDs: register, PHY, EEPROM and flash access for the
// tools, data-path stop and start, and the per-adapter device's name. Their
// records are little-endian; most begin with the magic 0x8086.
#include <cstring>

#include "include/hw/registers.h"
#include "miniport/bringup.h"
#include "miniport/datapath.h"
#include "miniport/hwobjects.h"
#include "miniport/oid.h"
#include "miniport/phy_setup.h"
#include "proxy/rdma/hw/config.h"
#include "proxy/rdma/hw/phy.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/hw/storage.h"

namespace {

constexpr std::uint32_t kFlashReadOpcode = 0x0B;
constexpr ULONG kRxReturnWaitMs = 90'000;

// The flash reads of the diagnostics, one at a time; a blocking lock, since
// a read polls the flash controller (the reads run at PASSIVE_LEVEL).
OSPrimBlockingObject g_flash_lock;
bool g_flash_lock_ready = false;

ZekOidResult ok(ULONG bytes) { return {NDIS_STATUS_SUCCESS, bytes, 0}; }
ZekOidResult refuse(NDIS_STATUS status, ULONG needed = 0) { return {status, 0, needed}; }

std::uint32_t u32_at(const void* buffer, std::size_t at) {
  std::uint32_t v;
  std::memcpy(&v, static_cast<const std::uint8_t*>(buffer) + at, 4);
  return v;
}
std::uint16_t u16_at(const void* buffer, std::size_t at) {
  std::uint16_t v;
  std::memcpy(&v, static_cast<const std::uint8_t*>(buffer) + at, 2);
  return v;
}
void put(void* buffer, std::size_t at, const void* value, std::size_t size) {
  std::memcpy(static_cast<std::uint8_t*>(buffer) + at, value, size);
}

// A record with the magic: missing or wrong magic is INVALID_DATA, a buffer
// shorter than `size` BUFFER_TOO_SHORT with the size needed.
NDIS_STATUS check_record(const void* buffer, ULONG length, ULONG size, ULONG* needed) {
  if (buffer == nullptr || length < 4 || u32_at(buffer, 0) != ZEK_DIAG_MAGIC) return NDIS_STATUS_INVALID_DATA;
  if (length < size) {
    *needed = size;
    return NDIS_STATUS_BUFFER_TOO_SHORT;
  }
  return NDIS_STATUS_SUCCESS;
}

bool window_offset_ok(std::uint32_t offset) { return offset < ZEK_DIAG_WINDOW_BYTES && offset % 4 == 0; }

ZekOidResult register_access(ZEK_ADAPTER* adapter, NDIS_OID oid, void* buffer, ULONG length) {
  ULONG needed = 0;
  const NDIS_STATUS status = check_record(buffer, length, ZEK_DIAG_RECORD_BYTES, &needed);
  if (status != NDIS_STATUS_SUCCESS) return refuse(status, needed);
  MifhDeviceObj* device = &adapter->HwInfo->Device;
  const std::uint32_t where = u32_at(buffer, 4);
  std::uint32_t value = u32_at(buffer, 8);
  switch (oid) {
    case OID_ZEK_WRITE_INDEXED:
      if (mifh_write_indexed(device, where, value) != ZEK_STATUS_PASS) return refuse(NDIS_STATUS_FAILURE);
      break;
    case OID_ZEK_READ_INDEXED:
      if (mifh_read_indexed(device, where, &value) != ZEK_STATUS_PASS) return refuse(NDIS_STATUS_FAILURE);
      put(buffer, 8, &value, 4);
      break;
    case OID_ZEK_WRITE_REGISTER:
      if (!window_offset_ok(where)) return refuse(NDIS_STATUS_INVALID_DATA);
      mifh_write_reg(device, where, value);
      break;
    default:  // OID_ZEK_READ_REGISTER
      if (!window_offset_ok(where)) return refuse(NDIS_STATUS_INVALID_DATA);
      value = mifh_read_reg(device, where);
      put(buffer, 8, &value, 4);
      break;
  }
  return ok(ZEK_DIAG_RECORD_BYTES);
}

ZekOidResult flash_read(ZEK_ADAPTER* adapter, void* buffer, ULONG length) {
  ULONG needed = 0;
  NDIS_STATUS status = check_record(buffer, length, ZEK_DIAG_RECORD_BYTES, &needed);
  if (status != NDIS_STATUS_SUCCESS) return refuse(status, needed);
  const std::uint32_t address = u32_at(buffer, 4);
  const std::uint32_t count = u32_at(buffer, 8);
  const std::uint64_t size = ZEK_DIAG_RECORD_BYTES + 4ull * count;  // never wraps
  if (size > length) return refuse(NDIS_STATUS_BUFFER_TOO_SHORT, size > 0xFFFFFFFFull ? 0xFFFFFFFF : ULONG(size));
  MifhDeviceObj* device = &adapter->HwInfo->Device;
  if (g_flash_lock_ready) OSPrimSyncAcquireBlockingObject(&g_flash_lock);
  status = NDIS_STATUS_FAILURE;
  for (std::uint32_t poll = 0; poll < ZEK_DIAG_FLASH_STATUS_POLLS; ++poll) {
    const int wip = mifh_flash_read_status(device);
    if (wip < 0) break;
    if (wip == 0) {
      status = NDIS_STATUS_SUCCESS;
      break;
    }
  }
  for (std::uint32_t i = 0; i < count && status == NDIS_STATUS_SUCCESS; ++i) {
    if (mifh_flash_command(device, kFlashReadOpcode, address + 4 * i) != 0) {
      status = NDIS_STATUS_FAILURE;
      break;
    }
    const std::uint32_t word = mifh_read_reg(device, zekhw::kRegFlashData);
    put(buffer, ZEK_DIAG_RECORD_BYTES + 4ull * i, &word, 4);
  }
  if (g_flash_lock_ready) OSPrimSyncReleaseBlockingObject(&g_flash_lock);
  return status == NDIS_STATUS_SUCCESS ? ok(ULONG(size)) : refuse(status);
}

ZekOidResult phy_access(ZEK_ADAPTER* adapter, NDIS_OID oid, void* buffer, ULONG length) {
  constexpr ULONG kBytes = 6;
  if (buffer == nullptr || length < kBytes) return refuse(NDIS_STATUS_BUFFER_TOO_SHORT, kBytes);
  MifhDeviceObj* device = &adapter->HwInfo->Device;
  const std::uint16_t reg = u16_at(buffer, 0);
  if (oid == OID_ZEK_WRITE_PHY) {
    if (mifh_write_10G_phy_reg(device, ZEK_DIAG_PHY_DEVICE, reg, u16_at(buffer, 4)) != 0) {
      return refuse(NDIS_STATUS_FAILURE);
    }
  } else {
    std::uint16_t value = 0xFFFF;
    mdio_read_c45(device, ZEK_DIAG_PHY_DEVICE, reg, &value);
    put(buffer, 4, &value, 2);
  }
  return ok(kBytes);
}

ZekOidResult eeprom_read(ZEK_ADAPTER* adapter, void* buffer, ULONG length) {
  ULONG needed = 0;
  NDIS_STATUS status = check_record(buffer, length, ZEK_DIAG_EEPROM_MIN_BYTES, &needed);
  if (status != NDIS_STATUS_SUCCESS) return refuse(status, needed);
  const std::uint32_t first = u16_at(buffer, 4);
  const std::uint32_t count = u16_at(buffer, 8);
  const std::uint64_t size = ZEK_DIAG_RECORD_BYTES + 2ull * count;
  const ULONG bytes = ULONG(size < ZEK_DIAG_EEPROM_MIN_BYTES ? ZEK_DIAG_EEPROM_MIN_BYTES : size);
  if (bytes > length) return refuse(NDIS_STATUS_BUFFER_TOO_SHORT, bytes);
  if (first + count > ZEK_EEPROM_WORDS) return refuse(NDIS_STATUS_INVALID_DATA);
  std::uint16_t words[ZEK_EEPROM_WORDS];
  if (ZekEepromReadWords(&adapter->HwInfo->Device, first, words, count) != ZEK_STATUS_PASS) {
    return refuse(NDIS_STATUS_FAILURE);
  }
  put(buffer, ZEK_DIAG_RECORD_BYTES, words, 2ull * count);
  return ok(bytes);
}

ZekOidResult device_name(ZEK_ADAPTER* adapter, void* buffer, ULONG length) {
  if (!adapter->DeviceNamesSet || adapter->SymbolicName[0] == 0) return refuse(NDIS_STATUS_NOT_SUPPORTED);
  // The symbolic name without its DOS-device prefix, as 8-bit characters.
  const WCHAR* name = adapter->SymbolicName;
  for (const char16_t* prefix : {u"\\??\\", u"\\DosDevices\\"}) {
    std::size_t n = 0;
    while (prefix[n] != 0 && name[n] == prefix[n]) ++n;
    if (prefix[n] == 0) {
      name += n;
      break;
    }
  }
  std::size_t chars = 0;
  while (name[chars] != 0) ++chars;
  const ULONG size = ULONG(chars + 1);
  if (buffer == nullptr || length < size) return refuse(NDIS_STATUS_INVALID_LENGTH, size);
  auto* out = static_cast<char*>(buffer);
  for (std::size_t i = 0; i < chars; ++i) out[i] = static_cast<char>(name[i]);
  out[chars] = 0;
  return ok(size);
}

ZekOidResult start_data_path(ZEK_ADAPTER* adapter, const void* buffer, ULONG length) {
  if (buffer == nullptr || length == 0) return refuse(NDIS_STATUS_INVALID_DATA);
  if (adapter->DataPath == ZEK_DATAPATH_PAUSED) {
    // The reset runs whole, on its work item: the NIC queue pair made
    // again, the rings filled, and the link indicated at its end.
    adapter->DataPath = ZEK_DATAPATH_RUNNING;
    ZekDataPathReset(adapter);
  }
  return ok(0);
}

ZekOidResult stop_data_path(ZEK_ADAPTER* adapter, const void* buffer, ULONG length) {
  if (buffer == nullptr || length == 0) return refuse(NDIS_STATUS_INVALID_DATA);
  if (adapter->DataPath != ZEK_DATAPATH_RUNNING) return ok(0);
  mifh_set_nic_rx_disable(&adapter->HwInfo->Device, adapter->PciFunction);
  // No list starts any more; those waiting complete now, and the frames in
  // the ring get their bounded time to complete (the adapter may still read
  // them: any left complete with the ring, or with the reset that starts the
  // data path again).
  NdisAcquireSpinLock(&adapter->AdapterLock);
  NdisDprAcquireSpinLock(&adapter->SendLock);
  adapter->DataPath = ZEK_DATAPATH_PAUSING;
  NdisDprReleaseSpinLock(&adapter->SendLock);
  NdisReleaseSpinLock(&adapter->AdapterLock);
  ZekCompleteWaitingSends(adapter, ZEK_CANCEL_ALL, NDIS_STATUS_REQUEST_ABORTED);
  constexpr ULONG kPollMs = 1;
  for (ULONG waited = 0; adapter->Send != nullptr && adapter->Send->Busy != 0 && waited < ZEK_PAUSE_SEND_WAIT_MS;
       waited += kPollMs) {
    NdisMSleep(kPollMs * 1000);
  }
  // Receive buffers NDIS still holds come back first (bounded).
  if (adapter->RxReturnCount > 1) NdisWaitEvent(&adapter->RxReturnEvent, kRxReturnWaitMs);
  adapter->DataPath = ZEK_DATAPATH_PAUSED;
  // Indicated down now; the link is indicated again once the adapter is
  // reset (the next link refresh finds it changed).
  NdisAcquireSpinLock(&adapter->AdapterLock);
  const bool was_up = adapter->LinkIndicated == ZEK_LINK_INDICATED_UP;
  adapter->LinkIndicated = ZEK_LINK_INDICATED_DOWN;
  adapter->LinkChanged = 1;
  NdisReleaseSpinLock(&adapter->AdapterLock);
  if (was_up) ZekIndicateLink(adapter, false);
  return ok(0);
}

}  // namespace

void ZekOidDriverInit() {
  if (!g_flash_lock_ready && OSPrimSyncInitBlockingObject(&g_flash_lock) == ZEK_STATUS_PASS) g_flash_lock_ready = true;
}

void ZekOidDriverFree() {
  if (g_flash_lock_ready) OSPrimSyncDestroyBlockingObject(&g_flash_lock);
  g_flash_lock_ready = false;
}

ZekOidResult GetNetDeviceName(ZEK_ADAPTER* adapter, NDIS_OID oid, void* buffer, ULONG length) {
  if (oid == OID_ZEK_DEVICE_NAME) return device_name(adapter, buffer, length);
  if (adapter->HwInfo == nullptr || adapter->HwInfo->Device.RegisterWindow == nullptr) {
    return refuse(NDIS_STATUS_FAILURE);
  }
  switch (oid) {
    case OID_ZEK_WRITE_INDEXED:
    case OID_ZEK_READ_INDEXED:
    case OID_ZEK_WRITE_REGISTER:
    case OID_ZEK_READ_REGISTER:
      return register_access(adapter, oid, buffer, length);
    case OID_ZEK_READ_FLASH:
      return flash_read(adapter, buffer, length);
    case OID_ZEK_WRITE_PHY:
    case OID_ZEK_READ_PHY:
      return phy_access(adapter, oid, buffer, length);
    case OID_ZEK_READ_EEPROM:
    case OID_ZEK_READ_EEPROM_DEVICE:
      return eeprom_read(adapter, buffer, length);
    case OID_ZEK_START_DATA_PATH:
      return start_data_path(adapter, buffer, length);
    case OID_ZEK_STOP_DATA_PATH:
      return stop_data_path(adapter, buffer, length);
    default:
      return refuse(NDIS_STATUS_NOT_SUPPORTED);
  }
}
