// zekhost with an [adapter] section and zekhnic: each PCI function gets an
// adapter whose initialisation stops at the hardware bring-up, and the host
// stops cleanly with nothing left behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/lab.h"

namespace {

using zeklab::read_file;

TEST(ZekhostWithZekhnic, EveryFunctionIsInitialisedUpToTheHardwareBringUpAndTheHostStopsCleanly) {
  const std::filesystem::path dir = zeklab::make_temp_dir("zekhnic-host");
  ASSERT_FALSE(dir.empty());
  std::ofstream(dir / "host.conf") << "[host]\nname = NICHOST\nmemory_mb = 64\n\n[adapter nic0]\nfunctions = 2\n"
                                   << "AeqElem = 4096\nf1.NetCfgInstanceId = {00000000-0000-0000-0000-000000000001}\n\n"
                                   << "[driver zekhnic]\npath = " << ZEK_HNIC_DRIVER << "\n";
  pid_t host = zeklab::spawn_host(dir);
  zeklab::eventually([&] { return zeklab::host_ready(dir); });
  std::string log = read_file(dir / "host.log");
  ASSERT_NE(log.find("ready"), std::string::npos) << log;
  EXPECT_NE(log.find("driver zekhnic: 2 adapter(s) bound"), std::string::npos) << log;
  EXPECT_NE(log.find("ndis: nic0.0: initialize failed with 0xc00000bb"), std::string::npos) << log;
  EXPECT_NE(log.find("ndis: nic0.1: initialize failed with 0xc00000bb"), std::string::npos) << log;
  EXPECT_EQ(log.find("error log"), std::string::npos) << log;
  const std::string registry = read_file(dir / "registry.txt");
  EXPECT_NE(registry.find("\"AeqElem\"=sz:4096"), std::string::npos) << registry;
  EXPECT_NE(registry.find("{00000000-0000-0000-0000-000000000001}"), std::string::npos) << registry;

  EXPECT_EQ(zeklab::terminate(host), 0);
  log = read_file(dir / "host.log");
  EXPECT_NE(log.find("driver zekhnic unloaded"), std::string::npos) << log;
  EXPECT_EQ(log.find("left behind"), std::string::npos) << log;
  EXPECT_EQ(log.find("still mapped"), std::string::npos) << log;
  EXPECT_NE(log.find("stopped"), std::string::npos) << log;
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

}  // namespace
