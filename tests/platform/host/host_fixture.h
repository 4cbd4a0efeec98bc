// A zekhost process in a temporary directory with the test driver loaded,
// and helper processes (zekioclient) that talk to it.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/user/win32.h"
#include "tests/platform/io/testdrv.h"

// Waits (real time, bounded) until `condition` holds.
template <typename F>
bool eventually(F condition, int milliseconds = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zekhost-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::ofstream conf(dir_ / "host.conf");
    conf << "[host]\nname = TESTHOST\nnative = 127.0.10.1\nmemory_mb = 64\n\n[driver zektest]\npath = " << ZEK_TEST_DRIVER
         << "\n";
    conf.close();
    host_ = spawn({ZEK_HOST_BINARY, "--dir", dir_.string()});
    ASSERT_TRUE(eventually([&] { return read_file(dir_ / "host.log").find("ready") != std::string::npos; }))
        << read_file(dir_ / "host.log");
    setenv("ZEK_HOST", dir_.c_str(), 1);
  }

  void TearDown() override {
    if (host_ > 0) {
      kill(host_, SIGKILL);
      waitpid(host_, nullptr, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // SIGTERM; the host's exit status.
  int stop_host() {
    kill(host_, SIGTERM);
    int status = 0;
    waitpid(host_, &status, 0);
    host_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // (Public: tests without a host of their own use them too.)
 public:
  static pid_t spawn(std::vector<std::string> args) {
    pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // no host outlives a test that died
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    return pid;
  }

  // A host on `dir` with whatever configuration it has.
  static pid_t spawn_host(const std::filesystem::path& dir) { return spawn({ZEK_HOST_BINARY, "--dir", dir.string()}); }

  static int exit_code(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }


 protected:
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
