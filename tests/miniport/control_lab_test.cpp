// zekhnic's control devices in a real zekhost, from a tool-like process
// (tests/miniport/control_client.cpp): the requests of both devices with
// short, oversized and unknown records, and the refusal of an unprivileged
// process. The client runs as root and drops its privileges itself; where
// the test does not run as root it is skipped.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/lab.h"

namespace {

class ControlDevices : public ::testing::Test {
 protected:
  void TearDown() override {
    zeklab::kill_child(host_);
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  pid_t host_ = -1;
  std::filesystem::path dir_;
};

TEST_F(ControlDevices, AnswerAPrivilegedProcessAndRefuseOthers) {
  if (geteuid() != 0) GTEST_SKIP() << "the client must start as root to drop its privileges";
  dir_ = zeklab::make_temp_dir("zekhnic-control");
  std::filesystem::permissions(dir_, std::filesystem::perms::all);  // the unprivileged client reaches the host
  {
    std::ofstream conf(dir_ / "host.conf");
    conf << "[host]\nname = control\nmemory_mb = 64\n\n[adapter nic0]\nfunctions = 2\n"
         << "f1.NetCfgInstanceId = {00000000-0000-0000-0000-000000000001}\n\n"
         << "[driver zekhnic]\npath = " << ZEK_HNIC_DRIVER << "\n";
  }
  host_ = zeklab::spawn_host(dir_);
  ASSERT_TRUE(zeklab::eventually(
      [&] {
        const std::string log = zeklab::read_file(dir_ / "host.log");
        return log.find("nic0.0: running") != std::string::npos && log.find("nic0.1: running") != std::string::npos;
      },
      60'000, 10))
      << zeklab::read_file(dir_ / "host.log");
  const std::filesystem::path out = dir_ / "client.out";
  const pid_t client = zeklab::spawn({ZEK_MINICLIENT, "VELMORIK_{00000000-0000-0000-0000-000000000001}"}, dir_, out);
  EXPECT_EQ(zeklab::exit_code(client), 0) << zeklab::read_file(out) << zeklab::read_file(dir_ / "host.log");
  EXPECT_EQ(zeklab::terminate(host_), 0);
  host_ = -1;
  EXPECT_EQ(zeklab::read_file(dir_ / "host.log").find("left behind"), std::string::npos);
}

}  // namespace
