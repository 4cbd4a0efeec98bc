// The management requests in a real zekhost with zekhnic and zekproxy on a
// two-function board, from a management tool's process
// (tests/proxy/core/mgmt_client.cpp): every request as a table of cases
// with forged handles, malformed records and ranges past the flash and the
// EEPROM; the counters after frames on the lab wire; flash and EEPROM
// images that outlive the host; and an unprivileged caller whose writes are
// refused. The host must stay up throughout and stop leaving nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/proxy_host.h"

namespace {

class MgmtHost : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(host_.made());
    // An unprivileged client reaches the host and the wire.
    std::filesystem::permissions(host_.dir(), std::filesystem::perms::all);
  }
  // The host's configuration; `adapter` adds lines to the adapter's section.
  void configure(const std::string& adapter) { host_.configure(adapter); }
  // Starts the host and waits until the proxy driver has attached to both functions.
  void start() { ASSERT_TRUE(host_.start()); }
  // Stops the host; it must have served everything without a fault.
  void stop() { host_.stop(); }
  // Runs the client; its output on failure.
  void client(std::vector<std::string> args) {
    args.insert(args.begin(), ZEK_MGMT_CLIENT);
    const std::string step = args[1];
    std::string out;
    EXPECT_EQ(host_.run(std::move(args), &out), 0) << step << ":\n" << out << host_.driver_log();
  }
  proxyhost::Host host_{"mgmt", 96, {"10.79.0.1", "10.79.0.2"}};
};

// Writes, erases and the reset are an administrator's: the cases and the
// images need a privileged client.
#define REQUIRE_ROOT() \
  if (geteuid() != 0) GTEST_SKIP() << "the client writes the flash and the EEPROM: it must run as root"

TEST_F(MgmtHost, EveryRequestAnswersItsTableOfCases) {
  REQUIRE_ROOT();
  start();
  client({"cases"});
  client({"counters", host_.lab().string()});
  stop();
}

// The link state reads the truth: the miniport allows the link once the
// NIC is up, and the port follows a peer on the wire.
TEST_F(MgmtHost, TheLinkStateFollowsAPeerOnTheWire) {
  configure("port_mode = 1\n");  // two ports: each function's own
  start();
  client({"link", host_.lab().string()});
  stop();
}

TEST_F(MgmtHost, WrittenFlashAndEepromOutliveTheHost) {
  REQUIRE_ROOT();
  for (const char* step : {"store", "stored", "erased"}) {
    SCOPED_TRACE(step);
    start();
    client({step});
    stop();
  }
}

TEST_F(MgmtHost, AnUnprivilegedCallerOnlyReads) {
  REQUIRE_ROOT();
  start();
  client({"unprivileged"});
  stop();
}

}  // namespace
