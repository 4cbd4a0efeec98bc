// The hardware-interface tests of the EEPROM, flash and PHY routines: the
// board runs on the test kernel's virtual clock (a stall moves the adapter's
// time too), its EEPROM and flash in memory; the PCI-configuration access
// of the EEPROM's second path goes to the board.
#pragma once

#include "include/hw/pci.h"
#include "include/hw/phy.h"
#include "include/hw/storage.h"
#include "tests/proxy/rdma/hw/hwif_fixture.h"

// The adapter's time is the kernel's.
class KernelEngineClock final : public zeksim::EngineClock {
 public:
  explicit KernelEngineClock(plat::Clock& clock) : clock_(clock) {}
  zeksim::Nanos now() override { return zeksim::Nanos(clock_.now() * 100); }

 private:
  plat::Clock& clock_;
};

class StorageHwTest : public HwifTest {
 public:
  bool build_pools() override { return false; }
  zeksim::BoardConfig board_config() override {
    zeksim::BoardConfig c = HwifTest::board_config();
    clock_ = std::make_unique<KernelEngineClock>(kernel().clock());
    c.clock = clock_.get();
    c.lanes_ready = true;
    adjust(c);
    return c;
  }
  virtual void adjust(zeksim::BoardConfig&) {}

  void SetUp() override {
    HwifTest::SetUp();
    if (HasFatalFailure()) return;
    s_board = &board();
    mifh_set_pci_config_access(
        [](MifhDeviceObj* d, std::uint32_t offset, std::uint32_t* value) {
          *value = s_board->pci_read(d->PciFunction, offset);
          return ZEK_STATUS_PASS;
        },
        [](MifhDeviceObj* d, std::uint32_t offset, std::uint32_t value) {
          s_board->pci_write(d->PciFunction, offset, value);
          return ZEK_STATUS_PASS;
        });
  }
  void TearDown() override {
    mifh_set_pci_config_access(nullptr, nullptr);
    s_board = nullptr;
    HwifTest::TearDown();
  }

  static inline zeksim::Board* s_board = nullptr;
  std::unique_ptr<KernelEngineClock> clock_;
};
