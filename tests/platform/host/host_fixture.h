// A zekhost process in a temporary directory with the test driver loaded,
// and helper processes (zekioclient) that talk to it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/user/win32.h"
#include "tests/platform/kernel/io/testdrv.h"
#include "tests/support/lab.h"

using zeklab::eventually;
using zeklab::exit_code;
using zeklab::read_file;
using zeklab::spawn;
using zeklab::spawn_host;

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = zeklab::make_temp_dir("zekhost-test");
    ASSERT_FALSE(dir_.empty());
    std::ofstream conf(dir_ / "host.conf");
    conf << "[host]\nname = TESTHOST\nnative = 127.0.10.1\nmemory_mb = 64\n\n[driver zektest]\npath = "
         << ZEK_TEST_DRIVER << "\n";
    conf.close();
    host_ = spawn_host(dir_);
    ASSERT_TRUE(eventually([&] { return zeklab::host_ready(dir_); })) << read_file(dir_ / "host.log");
    setenv("ZEK_HOST", dir_.c_str(), 1);
  }

  void TearDown() override {
    zeklab::kill_child(host_);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // SIGTERM; the host's exit status.
  int stop_host() {
    const int code = zeklab::terminate(host_);
    host_ = -1;
    return code;
  }

  int client(std::vector<std::string> args) {
    args.insert(args.begin(), ZEK_IOCLIENT);
    return exit_code(spawn(args));
  }

  HANDLE open(DWORD flags = 0) {
    HANDLE device = CreateFileA("\\\\.\\zektest", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, flags, nullptr);
    EXPECT_NE(device, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    return device;
  }

  testdrv::PoolReply pool(HANDLE device) {
    testdrv::PoolReply reply{};
    DWORD bytes = 0;
    EXPECT_TRUE(DeviceIoControl(device, testdrv::kPool, nullptr, 0, &reply, sizeof reply, &bytes, nullptr));
    return reply;
  }

  std::filesystem::path dir_;
  pid_t host_ = -1;
};
