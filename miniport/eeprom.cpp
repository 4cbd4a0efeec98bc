// The adapter's EEPROM in the miniport: word reads and writes (the hardware
// interface's register-path sequences under the driver-wide EEPROM lock),
// the whole image read into the device object's buffer, and the search for
// its software ("SW") and version ("NF") sections.
#include <cstring>
#include <utility>

#include "miniport/bringup.h"
#include "proxy/rdma/hw/reg_access.h"
#include "proxy/rdma/hw/status.h"
#include "proxy/rdma/hw/storage.h"

namespace {

constexpr std::uint16_t kControlSecondCopy = 0x400;

const std::uint16_t* g_injected_image = nullptr;

OSPrimBlockingObject g_eeprom_lock;
bool g_eeprom_lock_ready = false;

bool bad_device(const MifhDeviceObj* device) { return ZekIsBadPointer(device) || device->RegisterWindow == nullptr; }

class EepromLock {
 public:
  EepromLock() {
    if (g_eeprom_lock_ready) OSPrimSyncAcquireBlockingObject(&g_eeprom_lock);
  }
  ~EepromLock() {
    if (g_eeprom_lock_ready) OSPrimSyncReleaseBlockingObject(&g_eeprom_lock);
  }
  EepromLock(const EepromLock&) = delete;
  EepromLock& operator=(const EepromLock&) = delete;
};

std::uint16_t word_at(const std::uint8_t* buffer, std::uint32_t index) {
  std::uint16_t w;
  std::memcpy(&w, buffer + 2 * index, 2);
  return w;
}

}  // namespace

void ZekInjectEepromImage(const std::uint16_t* image) { g_injected_image = image; }

void ZekEepromLockInit() {
  if (!g_eeprom_lock_ready && OSPrimSyncInitBlockingObject(&g_eeprom_lock) == ZEK_STATUS_PASS) {
    g_eeprom_lock_ready = true;
  }
}

void ZekEepromLockFree() {
  if (g_eeprom_lock_ready) OSPrimSyncDestroyBlockingObject(&g_eeprom_lock);
  g_eeprom_lock_ready = false;
}

ZekStatus ZekEepromReadWords(MifhDeviceObj* device, std::uint32_t first, std::uint16_t* out, std::uint32_t count) {
  if (bad_device(device) || (out == nullptr && count != 0)) return MIFH_STATUS_FAIL;
  EepromLock lock;
  return mifh_eeprom_read_words(device, first, out, count, MIFH_EEPROM_PATH_REGISTER) == 0 ? ZEK_STATUS_PASS
                                                                                           : ZEK_EEPROM_TIMEOUT;
}

ZekStatus ZekEepromWriteWords(MifhDeviceObj* device, std::uint32_t first, const std::uint16_t* words,
                              std::uint32_t count) {
  if (bad_device(device) || (words == nullptr && count != 0)) return MIFH_STATUS_FAIL;
  EepromLock lock;
  return mifh_eeprom_write_words(device, words, first, count, MIFH_EEPROM_PATH_REGISTER) == 0 ? ZEK_STATUS_PASS
                                                                                              : ZEK_EEPROM_TIMEOUT;
}

ZekStatus ZekEepromFindSwSection(const std::uint8_t* buffer, std::uint32_t bytes, std::uint32_t* offset,
                                 bool* second_used) {
  if (buffer == nullptr || offset == nullptr || bytes < 8) return MIFH_STATUS_FAIL;
  const std::uint32_t words = bytes / 2;
  const auto tagged = [&](std::uint32_t start) {
    return start + 3 < words && word_at(buffer, start + 3) == ZEK_SW_TAG;
  };
  const std::uint16_t control = word_at(buffer, 0);
  const std::uint32_t p = 8 * (control & 0x7F) + 1;
  if (p < words) {
    const std::uint32_t s1 = p + 8 * (word_at(buffer, p) & 0xFF);
    if (tagged(s1)) {
      const std::uint32_t s2 = s1 + 4 * (word_at(buffer, s1) & 0xFF);
      const bool second = (control & kControlSecondCopy) != 0 && tagged(s2);
      OSPrimDebugPrint(second ? "Using second SW image\n" : "Using first SW image\n");
      *offset = 2 * (second ? s2 : s1);
      if (second_used != nullptr) *second_used = second;
      return ZEK_STATUS_PASS;
    }
  }
  OSPrimDebugPrint("Could not find appropriate SW signature, reverting to serial search for SW signature\n");
  for (std::uint32_t at = 4; at + 4 <= bytes; ++at) {
    std::uint32_t v;
    std::memcpy(&v, buffer + at, 4);
    if ((v >> 16) == ZEK_SW_TAG && ((v >> 8) & 0xFF) == 0) {
      *offset = at - 4;
      if (second_used != nullptr) *second_used = false;
      return ZEK_STATUS_PASS;
    }
  }
  ZEK_LOG_FAILURE("mifh_eeprom_sw_get_device_data(): error line [%d]\n", __LINE__);
  return MIFH_STATUS_FAIL;
}

ZekStatus ZekEepromLoadImage(MifhDeviceObj* device, const std::uint16_t* image) {
  if (ZekIsBadPointer(device) || image == nullptr || device->EepromBuffer == nullptr ||
      device->EepromBufferSize < ZEK_EEPROM_BYTES) {
    return MIFH_STATUS_FAIL;
  }
  // Word 0 stays; every following pair is exchanged. The swap follows each
  // read, since each read brings the EEPROM's own order again.
  auto* buffer = static_cast<std::uint8_t*>(device->EepromBuffer);
  std::uint16_t words[ZEK_EEPROM_WORDS];
  std::memcpy(words, image, sizeof words);
  for (std::uint32_t i = 1; i + 1 < ZEK_EEPROM_WORDS; i += 2) std::swap(words[i], words[i + 1]);
  std::memcpy(buffer, words, ZEK_EEPROM_BYTES);
  device->BufferFlags |= ZEK_BUFFER_EEPROM_SWAPPED;
  std::uint32_t offset = 0;
  if (ZekEepromFindSwSection(buffer, ZEK_EEPROM_BYTES, &offset, nullptr) != ZEK_STATUS_PASS) {
    device->EepromSection = nullptr;
    return MIFH_STATUS_FAIL;
  }
  device->EepromSection = buffer + offset;
  return ZEK_STATUS_PASS;
}

ZekStatus mifh_eeprom_sw_read_device(MifhDeviceObj* device) {
  if (bad_device(device) || device->EepromBuffer == nullptr || device->EepromBufferSize < ZEK_EEPROM_BYTES) {
    ZEK_LOG_FAILURE("mifh_eeprom_sw_read_device(): error line [%d]\n", __LINE__);
    return MIFH_STATUS_FAIL;
  }
  if (g_injected_image != nullptr) return ZekEepromLoadImage(device, g_injected_image);
  std::uint16_t words[ZEK_EEPROM_WORDS];
  if (ZekEepromReadWords(device, 0, words, ZEK_EEPROM_WORDS) != ZEK_STATUS_PASS) {
    ZEK_LOG_FAILURE("mifh_eeprom_sw_read_device(): error line [%d]\n", __LINE__);
    return MIFH_STATUS_FAIL;
  }
  return ZekEepromLoadImage(device, words);
}

std::uint32_t ZekSwWord(const MifhDeviceObj* device, std::uint32_t n) {
  if (device->EepromSection == nullptr || device->EepromBuffer == nullptr) return 0;
  const auto* section = static_cast<const std::uint8_t*>(device->EepromSection);
  const auto* buffer = static_cast<const std::uint8_t*>(device->EepromBuffer);
  const std::size_t at = static_cast<std::size_t>(section - buffer) + 4u * n;
  if (at + 4 > device->EepromBufferSize) return 0;
  std::uint32_t v;
  std::memcpy(&v, section + 4u * n, 4);
  return v;
}

bool ZekEepromVersions(const std::uint8_t* buffer, std::uint32_t bytes, std::uint8_t versions[4]) {
  // Backwards from the last place where the marker's u32 and the one after
  // it both lie inside the buffer.
  for (std::int64_t at = static_cast<std::int64_t>(bytes) - 8; at >= 3; at -= 2) {
    std::uint32_t marker;
    std::memcpy(&marker, buffer + at, 4);
    if ((marker >> 16) != ZEK_NF_TAG) continue;
    std::uint32_t v;
    std::memcpy(&v, buffer + at + 4, 4);
    versions[0] = static_cast<std::uint8_t>(v >> 24);  // firmware major
    versions[1] = static_cast<std::uint8_t>(v >> 16);  // firmware minor
    versions[2] = static_cast<std::uint8_t>(v >> 8);   // EEPROM major
    versions[3] = static_cast<std::uint8_t>(v);        // EEPROM minor
    return true;
  }
  std::memset(versions, 0, 4);
  return false;
}
