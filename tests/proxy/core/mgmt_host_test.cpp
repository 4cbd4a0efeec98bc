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

#include "tests/support/lab.h"

namespace {

using zeklab::read_file;

class MgmtHost : public ::testing::Test {
 protected:
  void SetUp() override {
    lab_ = zeklab::make_temp_dir("mgmt-lab");
    dir_ = zeklab::make_temp_dir("mgmt-host");
    ASSERT_FALSE(lab_.empty());
    ASSERT_FALSE(dir_.empty());
    // An unprivileged client reaches the host and the wire.
    std::filesystem::permissions(dir_, std::filesystem::perms::all);
    configure("");
  }
  // The host's configuration; `adapter` adds lines to the adapter's section.
  void configure(const std::string& adapter) {
    std::ofstream conf(dir_ / "host.conf");
    conf << "[host]\nname = mgmt\nmemory_mb = 96\nlab = " << lab_.string()
         << "\n\n[adapter nic0]\nfunctions = 2\nf0.IPADDRESS0 = 10.79.0.1\nf1.IPADDRESS0 = 10.79.0.2\n"
         << adapter << "\n[driver zekhnic]\npath = " << ZEK_HNIC_DRIVER
         << "\n\n[driver zekproxy]\npath = " << ZEK_PROXY_DRIVER << "\n";
  }
  void TearDown() override {
    zeklab::kill_child(host_);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    std::filesystem::remove_all(lab_, ec);
  }
  std::string driver_log() {
    const std::filesystem::path out = dir_ / "logdump.txt";
    zeklab::exit_code(zeklab::spawn({ZEK_LOGDUMP_BINARY}, dir_, out));
    return read_file(out);
  }
  // Starts the host and waits until the proxy driver has attached to both functions.
  void start() {
    host_ = zeklab::spawn_host(dir_);
    ASSERT_TRUE(zeklab::eventually(
        [&] {
          const std::string log = driver_log();
          return log.find("ProxyAddNic: adapter 0 attached") != std::string::npos &&
                 log.find("ProxyAddNic: adapter 1 attached") != std::string::npos;
        },
        60'000, 200))
        << driver_log() << read_file(dir_ / "host.log");
  }
  // Stops the host; it must have served everything without a fault.
  void stop() {
    EXPECT_EQ(zeklab::terminate(host_), 0);
    host_ = -1;
    const std::string log = read_file(dir_ / "host.log");
    EXPECT_EQ(log.find("fault"), std::string::npos) << log;
    EXPECT_EQ(log.find("still allocated"), std::string::npos) << log;
    EXPECT_EQ(log.find("left behind"), std::string::npos) << log;
  }
  // Runs the client; its output on failure.
  void client(std::vector<std::string> args) {
    args.insert(args.begin(), ZEK_MGMT_CLIENT);
    const std::filesystem::path out = dir_ / "client.out";
    const int code = zeklab::exit_code(zeklab::spawn(args, dir_, out));
    EXPECT_EQ(code, 0) << args[1] << ":\n" << read_file(out) << driver_log();
  }
  std::filesystem::path lab_, dir_;
  pid_t host_ = -1;
};

// Writes, erases and the reset are an administrator's: the cases and the
// images need a privileged client.
#define REQUIRE_ROOT() \
  if (geteuid() != 0) GTEST_SKIP() << "the client writes the flash and the EEPROM: it must run as root"

TEST_F(MgmtHost, EveryRequestAnswersItsTableOfCases) {
  REQUIRE_ROOT();
  start();
  client({"cases"});
  client({"counters", lab_.string()});
  stop();
}

// The link state reads the truth: the miniport allows the link once the
// NIC is up, and the port follows a peer on the wire.
TEST_F(MgmtHost, TheLinkStateFollowsAPeerOnTheWire) {
  configure("port_mode = 1\n");  // two ports: each function's own
  start();
  client({"link", lab_.string()});
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
