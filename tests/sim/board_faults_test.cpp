// Adapters that misbehave on purpose: an EEPROM that never finishes a
// command (host.conf "eeprom = dead"), and the firmware that a reset of the
// board restarts, answering again only after a few reads.
#include <chrono>

#include "tests/sim/storage_fixture.h"
#include "tests/support/sim_fixture.h"

namespace {

using namespace zekhw;
using namespace std::chrono_literals;

class DeadEepromTest : public StorageBoardTest {
 public:
  zeksim::BoardConfig config() override {
    zeksim::BoardConfig c = StorageBoardTest::config();
    c.eeprom_dead = true;
    return c;
  }
};

// Both paths take the command and stay busy for good; nothing is read or written.
TEST_F(DeadEepromTest, CommandsStayBusyForGood) {
  const std::uint16_t before = board().eeprom_word(5);
  wr(kRegEepromData, 0x1234);
  wr(kRegEepromCommand, 5 | kEepromWrite);
  advance(1s);
  EXPECT_NE(rd(kRegEepromCommand) & kEepromWrite, 0u);
  EXPECT_EQ(board().eeprom_word(5), before);
  board().pci_write(0, kPciCfgEepromAddress, kPciEepromEnable);
  board().pci_write(0, kPciCfgEepromAddress, 6 | kPciEepromRead);
  advance(1s);
  EXPECT_NE(board().pci_read(0, kPciCfgEepromAddress) & kEepromRead, 0u);
}

class FirmwareRestartTest : public SimTest {};

// A reset of the whole board restarts the firmware: its status word reads 0
// for a few reads, then the running value again. A reset of another port
// leaves it running.
TEST_F(FirmwareRestartTest, ABoardResetRestartsTheFirmware) {
  ASSERT_EQ(idx_rd(0, kIdxFirmwareAlive), kFirmwareAliveValue);
  wr(0, kRegGlobalControl, 0x2D);  // the port reset of function 1
  EXPECT_EQ(idx_rd(0, kIdxFirmwareAlive), kFirmwareAliveValue);
  wr(0, kRegGlobalControl, 0x00EE001D);  // the global reset's form
  for (unsigned i = 0; i < kFirmwareRestartReads; ++i) EXPECT_EQ(idx_rd(0, kIdxFirmwareAlive), 0u) << i;
  EXPECT_EQ(idx_rd(0, kIdxFirmwareAlive), kFirmwareAliveValue);
}

}  // namespace
