// A board of a few PCI functions as the resource managers see it: one device
// object per function sharing one scratchpad (the hardware semaphore and the
// owner GIM), each with published hardware information, and the registries
// up. Managers a test creates must be cleaned up by it.
#pragma once

#include <array>
#include <string>

#include "proxy/rdma/rm/rm.h"
#include "tests/proxy/core/registry_fixture.h"

class RmTest : public RegistryTest {
 protected:
  static constexpr std::uint32_t kFunctions = 3;

  // A small adapter: 64 QPs from 0, 40 CQs from 8 (block size 8: 4 blocks),
  // 16 MRs (block size 1), 32 PDs, 32 user PDs, 16 IRDs.
  static ZekRmHardwareInfo small_adapter() {
    ZekRmHardwareInfo info{};
    const std::uint32_t count[ZEK_RES_TYPES] = {64, 40, 16, 32, 32, 16};
    const std::uint32_t first[ZEK_RES_TYPES] = {0, 8, 0, 0, 0, 0};
    for (std::uint32_t t = 0; t < ZEK_RES_TYPES; ++t) {
      info.Count[t] = count[t];
      info.First[t] = first[t];
    }
    info.PciFunctions = kFunctions;
    info.Pbl4kChunks = 100;
    info.Pbl256Chunks = 100;
    info.ArpTableSize = 8;  // raised to 32
    return info;
  }

  void SetUp() override {
    RegistryTest::SetUp();
    scratchpad_.Signature = MIFH_SCRATCHPAD_SIGNATURE;
    ASSERT_EQ(OSPrimSyncInitSpinlockObject(&scratchpad_.Lock), ZEK_STATUS_PASS);
    for (std::uint32_t f = 0; f < kFunctions; ++f) {
      MifhDeviceObj& d = devices_[f];
      d.GuardStart = MIFH_DEVICE_GUARD;
      d.GuardEnd = MIFH_DEVICE_GUARD;
      d.PciFunction = f;
      d.Scratchpad = &scratchpad_;
      publish(f, small_adapter());
    }
  }

  void TearDown() override {
    for (MifhDeviceObj& d : devices_) ZekRmWithdrawHardwareInfo(&d);
    RegistryTest::TearDown();
  }

  void publish(std::uint32_t f, const ZekRmHardwareInfo& info) {
    ASSERT_EQ(ZekRmPublishHardwareInfo(&devices_[f], &info), ZEK_STATUS_PASS);
  }

  MifhDeviceObj* device(std::uint32_t f) { return &devices_[f]; }
  std::uint64_t scratchpad_value() const { return scratchpad_.Value; }
  ZekExclusionObject* scratchpad_owner() const { return reinterpret_cast<ZekExclusionObject*>(scratchpad_.Value); }

  bool logged(const std::string& text) { return ring_text().find(text) != std::string::npos; }

  HwScratchpadObj scratchpad_{};
  std::array<MifhDeviceObj, kFunctions> devices_{};
};
