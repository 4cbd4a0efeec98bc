// The notification requests in a real zekhost with zekhnic and zekproxy,
// from a user process (notify_client.cpp) whose handles are not its own
// verbs objects: each request gets its clear answer, and the host stays up
// and stops leaving nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/lab.h"

namespace {

using zeklab::read_file;

TEST(NotifyHost, ForeignHandlesAndShortRecordsGetTheirAnswers) {
  const std::filesystem::path lab = zeklab::make_temp_dir("notify-lab");
  const std::filesystem::path dir = zeklab::make_temp_dir("notify-host");
  ASSERT_FALSE(lab.empty());
  ASSERT_FALSE(dir.empty());
  {
    std::ofstream conf(dir / "host.conf");
    conf << "[host]\nname = notify\nmemory_mb = 96\nlab = " << lab.string()
         << "\n\n[adapter nic0]\nfunctions = 1\nf0.IPADDRESS0 = 10.79.1.1\n\n"
         << "[driver zekhnic]\npath = " << ZEK_HNIC_DRIVER << "\n\n[driver zekproxy]\npath = " << ZEK_PROXY_DRIVER
         << "\n";
  }
  auto driver_log = [&] {
    const std::filesystem::path out = dir / "logdump.txt";
    zeklab::exit_code(zeklab::spawn({ZEK_LOGDUMP_BINARY}, dir, out));
    return read_file(out);
  };
  pid_t host = zeklab::spawn_host(dir);
  EXPECT_TRUE(zeklab::eventually(
      [&] { return driver_log().find("ProxyAddNic: adapter 0 attached") != std::string::npos; }, 60'000, 200))
      << driver_log() << read_file(dir / "host.log");

  const std::filesystem::path out = dir / "client.out";
  EXPECT_EQ(zeklab::exit_code(zeklab::spawn({ZEK_NOTIFY_CLIENT, "hostile"}, dir, out)), 0)
      << read_file(out) << driver_log();

  EXPECT_EQ(zeklab::terminate(host), 0);
  const std::string log = read_file(dir / "host.log");
  EXPECT_EQ(log.find("fault"), std::string::npos) << log;
  EXPECT_EQ(log.find("still allocated"), std::string::npos) << log;
  EXPECT_EQ(log.find("left behind"), std::string::npos) << log;
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  std::filesystem::remove_all(lab, ec);
}

}  // namespace
