// zekhnic over a board whose EEPROM never finishes a command (host.conf
// "eeprom = dead"): the EEPROM read times out after its bounded polls, the
// software section is never searched in stale words, and the
// initialisation fails, leaving nothing behind.
#include <string>

#include "miniport/adapter.h"
#include "proxy/core/osprim/osprim_kernel.h"
#include "tests/miniport/driver_log.h"
#include "tests/support/ndis_fixture.h"

namespace {

class DeadEepromBringUp : public NdisTest {
 protected:
  void TearDown() override {
    if (driver_ != nullptr) io_->unload_driver(driver_);
    NdisTest::TearDown();
  }
  PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(DeadEepromBringUp, TheReadTimesOutAndTheInitialisationFails) {
  OSPrimLogRingClear();
  add_board("nic0", {{"functions", "1"}, {"eeprom", "dead"}});
  ASSERT_EQ(io_->load_driver("zekhnic", DriverEntry, &driver_), STATUS_SUCCESS);
  const std::int64_t start = clock().now();
  ASSERT_EQ(ndis_->start_adapters(driver_), 1u);
  plat::ndis::Adapter& adapter = *ndis_->adapters().at(0);
  EXPECT_EQ(adapter.init_status(), NDIS_STATUS_FAILURE);
  // The bounded polls of one word: 10 s of the adapter's time, not more.
  EXPECT_LE(clock().now() - start, 30 * plat::Clock::kUnitsPerSecond);
  const std::string log = driver_log();
  EXPECT_NE(log.find("mifh_eeprom_sw_read_device"), std::string::npos) << log;
  EXPECT_EQ(log.find("Using first SW image"), std::string::npos) << "no section searched in words never read";
  EXPECT_TRUE(adapter.holdings().empty());
  EXPECT_EQ(g_Zek.AdapterCount, 0u);
}

}  // namespace
