// The management requests in-process, with the driver loaded and no adapter
// attached: a handle is only ever accepted when it names an attached
// adapter, so a record that merely looks like an adapter's information (its
// signature in place, pointers to a device of its own making) is refused
// without anything being read or written through it; a null or foreign
// result address is answered with status 1; the resource counts find no
// adapter for a key that is none.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "include/zek/mgmt.h"
#include "proxy/core/attach.h"
#include "proxy/rdma/verbs/resource_counts.h"
#include "tests/proxy/core/proxy_fixture.h"

namespace {

using MgmtRequests = LoadedProxyTest;

// A forgery of an adapter's information: the signature and size right, the
// hardware part and device of the forger's own making, the device's
// register window pointing at bytes the test watches.
struct Forgery {
  ProxyAdapterInfo info{};
  ProxyHwAdapterInfo hw{};
  MifhDeviceObj device{};
  std::vector<std::uint8_t> window = std::vector<std::uint8_t>(4096, 0xA5);
  std::uint64_t accumulators[26 + 16 * 63] = {};

  Forgery() {
    info.Signature = ZPX_ADAPTER_INFO_SIGNATURE;
    info.Size = sizeof(ProxyAdapterInfo);
    info.Progress = ZPX_ADAPTER_BUILT;
    info.Hw = &hw;
    hw.Device = &device;
    device.GuardStart = device.GuardEnd = MIFH_DEVICE_GUARD;
    device.RegisterWindow = window.data();
    device.FlashVersion[0] = 9;
    device.AdapterCounterAccumulators = accumulators;
    device.PortCounterAccumulators = accumulators + 26;
    device.PortCounterStride = 63;
  }
  bool untouched() const {
    for (const std::uint8_t b : window) {
      if (b != 0xA5) return false;
    }
    for (const std::uint64_t a : accumulators) {
      if (a != 0) return false;
    }
    return true;
  }
};

TEST_F(MgmtRequests, AForgedAdapterRecordIsNeverTakenForAnAdapter) {
  Forgery forged;
  const auto handle = reinterpret_cast<std::uint64_t>(&forged.info);
  std::uint32_t words[8] = {};
  const auto words_address = reinterpret_cast<std::uint64_t>(words);
  struct Case {
    ULONG code;
    std::uint32_t size;
    std::size_t status_at;
  } const cases[] = {
      {IOCTL_ZEK_MGMT_CLOSE_ADAPTER, 16, 8},      {IOCTL_ZEK_MGMT_GET_NUM_PORTS, 24, 16},
      {IOCTL_ZEK_MGMT_GET_NUM_NODES, 24, 16},     {IOCTL_ZEK_MGMT_GET_PSTAT, 32, 24},
      {IOCTL_ZEK_MGMT_GET_NSTAT, 32, 24},         {IOCTL_ZEK_MGMT_GET_DEBUG, 32, 24},
      {IOCTL_ZEK_MGMT_SET_DEBUG, 32, 24},         {IOCTL_ZEK_MGMT_FLASH_WRITE, 32, 28},
      {IOCTL_ZEK_MGMT_FLASH_READ, 32, 28},        {IOCTL_ZEK_MGMT_FLASH_ERASE, 16, 12},
      {IOCTL_ZEK_MGMT_EEPROM_WRITE, 32, 28},      {IOCTL_ZEK_MGMT_EEPROM_READ, 32, 28},
      {IOCTL_ZEK_MGMT_EEPROM_ERASE, 24, 16},      {IOCTL_ZEK_MGMT_RESET_WAIT, 16, 8},
      {IOCTL_ZEK_MGMT_FLASH_GET_VERSION, 16, 12}, {IOCTL_ZEK_MGMT_EEPROM_GET_VERSION, 16, 12},
      {IOCTL_ZEK_MGMT_GET_PCTRL, 24, 16},         {IOCTL_ZEK_MGMT_REVIEW_GET, 144, 136},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ZekIoctlLookup(c.code)->name);
    std::uint8_t record[144] = {};
    std::memcpy(record, &handle, 8);
    // Whatever pointer a record has points at this process's words; counts of 2.
    if (c.code == IOCTL_ZEK_MGMT_GET_NUM_PORTS || c.code == IOCTL_ZEK_MGMT_GET_NUM_NODES) {
      std::memcpy(record + 8, &words_address, 8);
    }
    if (c.size == 32 && c.status_at == 28) {
      std::memcpy(record + 16, &words_address, 8);
      record[24] = 2;
      record[26] = 1;
    }
    const std::uint32_t index = ZEK_MGMT_DEBUG_FIRST;
    if (c.code == IOCTL_ZEK_MGMT_GET_DEBUG || c.code == IOCTL_ZEK_MGMT_SET_DEBUG) std::memcpy(record + 20, &index, 4);
    const auto answer = call(file_, c.code, record, c.size, c.size);
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.information, c.size);
    std::uint32_t status = 0;
    std::memcpy(&status, record + c.status_at, 4);
    EXPECT_EQ(status, ZEK_MGMT_STATUS_FAILURE);
    if (c.code == IOCTL_ZEK_MGMT_FLASH_GET_VERSION) {
      EXPECT_EQ(record[8], 0);
    }
  }
  EXPECT_TRUE(forged.untouched());
  for (const std::uint32_t w : words) EXPECT_EQ(w, 0u);
  EXPECT_NE(ring_text().find("CommonMgmtIoctl(): Bad AdapterMgmtHandle"), std::string::npos);
}

TEST_F(MgmtRequests, ResultAddressesAndAdapterNumbersWithoutAnAdapter) {
  std::uint32_t count = 0xEEEE;
  std::uint64_t handle = 0x5A5A;
  struct Case {
    const char* name;
    ULONG code;
    std::uint64_t address;
    std::uint32_t status;
  } const cases[] = {
      {"adapters counted", IOCTL_ZEK_MGMT_GET_NUM_ADAPTERS, reinterpret_cast<std::uint64_t>(&count), 0},
      {"adapters into null", IOCTL_ZEK_MGMT_GET_NUM_ADAPTERS, 0, 1},
      {"adapters into the fill value", IOCTL_ZEK_MGMT_GET_NUM_ADAPTERS, 0xCCCCCCCC, 1},
      {"adapters into an unmapped page", IOCTL_ZEK_MGMT_GET_NUM_ADAPTERS, 0x1000, 1},
      {"adapter 0 of none", IOCTL_ZEK_MGMT_OPEN_ADAPTER, reinterpret_cast<std::uint64_t>(&handle), 1},
      {"a handle into null", IOCTL_ZEK_MGMT_OPEN_ADAPTER, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::uint8_t record[32] = {};
    std::memcpy(record, &c.address, 8);
    const std::uint32_t size = ZekIoctlLookup(c.code)->record_bytes;
    const std::size_t status_at = c.code == IOCTL_ZEK_MGMT_OPEN_ADAPTER ? 24 : 8;
    std::memset(record + status_at, 0xEE, 4);
    const auto answer = call(file_, c.code, record, size, size);
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    std::uint32_t status = 0;
    std::memcpy(&status, record + status_at, 4);
    EXPECT_EQ(status, c.status);
  }
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(handle, 0x5A5Au);
  // The counter set codes never succeed; a short record is refused whole.
  ZekStatsRequest set{};
  EXPECT_EQ(call(file_, IOCTL_ZEK_MGMT_SET_PSTAT, &set).status, STATUS_SUCCESS);
  EXPECT_EQ(set.Status, ZEK_MGMT_STATUS_FAILURE);
  ZekReviewRequest review{};
  EXPECT_EQ(call(file_, IOCTL_ZEK_MGMT_REVIEW_GET, &review, 143, 143).status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(MgmtRequests, ResourceCountsFindNoAdapterForAForeignKey) {
  std::uint32_t first[16], second[16];
  std::memset(first, 0xEE, sizeof first);
  std::memset(second, 0xEE, sizeof second);
  int not_a_manager = 0;
  EXPECT_EQ(zek_get_resource_counts(&not_a_manager, first, second), ZEK_STATUS_FAIL);
  EXPECT_EQ(zek_get_resource_counts(nullptr, first, second), ZEK_STATUS_FAIL);
  EXPECT_EQ(zek_get_resource_counts(&not_a_manager, nullptr, second), ZEK_STATUS_BAD_PTR);
  EXPECT_EQ(first[0], 0xEEEEEEEEu);
  EXPECT_EQ(second[15], 0xEEEEEEEEu);
  EXPECT_NE(ring_text().find("zek_get_resource_counts():Failed to get adapter base object"), std::string::npos);
}

}  // namespace
