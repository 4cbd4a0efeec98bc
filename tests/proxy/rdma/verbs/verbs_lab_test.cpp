// A kernel client of the verbs inside a host: zekhost with zekhnic, zekproxy
// and the verbs client driver, the proxy driver attached to the adapter. The
// client driver runs the verbs through the kernel routine table on the
// adapter's SAN address (objects made, queried and destroyed, the limits,
// the in-use rules, handles that are not the adapter's, closes with objects
// open giving every number back); then, with an adapter left open by the
// client, the host stops leaving nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/lab.h"

namespace {

using zeklab::read_file;

TEST(VerbsLab, AKernelClientRunsTheVerbsOnTheAttachedAdapter) {
  const std::filesystem::path dir = zeklab::make_temp_dir("verbs-lab");
  {
    std::ofstream conf(dir / "host.conf");
    conf << "[host]\nname = VERBS\nmemory_mb = 192\n\n[adapter nic0]\nf0.IPADDRESS0 = 10.77.1.1\n\n"
         << "[driver zekhnic]\npath = " << ZEK_HNIC_DRIVER << "\n\n[driver zekproxy]\npath = " << ZEK_PROXY_DRIVER
         << "\n\n[driver zekverbstest]\npath = " << ZEK_VERBS_DRIVER << "\n";
  }
  pid_t host = zeklab::spawn_host(dir);
  ASSERT_TRUE(zeklab::eventually([&] { return zeklab::host_ready(dir); }, 60'000, 50)) << read_file(dir / "host.log");
  // The attach follows the address's announcement: until then the driver
  // has no adapter to run the verbs on (the client answers 3).
  const std::filesystem::path out = dir / "client.txt";
  int code = -1;
  EXPECT_TRUE(zeklab::eventually(
      [&] {
        code = zeklab::exit_code(zeklab::spawn({ZEK_VERBS_CLIENT, "10.77.1.1"}, dir, out));
        return code != 3;
      },
      60'000, 200))
      << read_file(out) << read_file(dir / "host.log");
  const std::string report = read_file(out);
  EXPECT_EQ(code, 0) << report;
  EXPECT_NE(report.find("failures=0"), std::string::npos) << report;
  for (const char* line : {"PD in use got=0x50021", "CQ in use got=0x50032", "query of QP 8192 got=0x50050",
                           "the closed adapter is no adapter got=0x50012", "the same queue-pair number again"}) {
    EXPECT_NE(report.find(line), std::string::npos) << line << "\n" << report;
  }
  // A client that leaves an adapter open with its objects: the host's stop
  // (the adapter detached before the verbs stop) closes it.
  EXPECT_EQ(zeklab::exit_code(zeklab::spawn({ZEK_VERBS_CLIENT, "10.77.1.1", "leave-open"}, dir, out)), 0)
      << read_file(out);
  EXPECT_EQ(zeklab::terminate(host), 0);
  const std::string log = read_file(dir / "host.log");
  EXPECT_EQ(log.find("still allocated"), std::string::npos) << log;
  EXPECT_EQ(log.find("left behind"), std::string::npos) << log;
  EXPECT_EQ(log.find("fault"), std::string::npos) << log;
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

}  // namespace
