// Two zekhost processes on one lab wire, each with zekhnic over a board and
// the NDIS protocol test driver above it: the hosts' miniports exchange
// unicast, broadcast and jumbo frames, every list completing with success
// and every frame arriving whole on the other host.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/lab.h"
#include "tests/support/run_command.h"

namespace {

using zeklab::read_file;

class TwoHostsThroughTheMiniports : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = zeklab::make_temp_dir("zekndislab");
    ASSERT_FALSE(root_.empty());
    for (int i = 0; i < 2; ++i) {
      dirs_[i] = root_ / (i == 0 ? "hosta" : "hostb");
      std::filesystem::create_directories(dirs_[i]);
      std::ofstream conf(dirs_[i] / "host.conf");
      conf << "[host]\nname = " << (i == 0 ? "HOSTA" : "HOSTB") << "\nlab = " << (root_ / "lab").string()
           << "\nmemory_mb = 128\n\n[adapter nic0]\nlossless = yes\nJumboFrames = 1\n\n[driver zekhnic]\npath = "
           << ZEK_HNIC_DRIVER << "\n\n[driver zekndisproto]\npath = " << ZEK_NDISPROTO_DRIVER << "\n";
    }
    for (int i = 0; i < 2; ++i) hosts_[i] = zeklab::spawn_host(dirs_[i]);
    for (int i = 0; i < 2; ++i) {
      ASSERT_TRUE(zeklab::eventually(
          [&] {
            const std::string out = client(i, "open 0");
            return out.find("running=1 link=1") != std::string::npos;
          },
          120'000, 50))
          << client(i, "open 0") << read_file(dirs_[i] / "host.log");
      const std::string out = client(i, "open 0");
      macs_[i] = out.substr(out.find("mac=") + 4, 17);
    }
  }
  void TearDown() override {
    for (pid_t& pid : hosts_) zeklab::kill_child(pid);
    std::error_code ec;
    if (!root_.empty()) std::filesystem::remove_all(root_, ec);
  }
  // The client's output against host i (bounded: a hung client fails the test).
  std::string client(int i, const std::string& args) const {
    const std::string command =
        "ZEK_HOST=" + dirs_[i].string() + " timeout 90 " + ZEK_NDIS_CLIENT + " " + args + " 2>&1";
    return zektest::run_command(command).output;
  }

  std::filesystem::path root_;
  std::filesystem::path dirs_[2];
  pid_t hosts_[2] = {-1, -1};
  std::string macs_[2];
};

TEST_F(TwoHostsThroughTheMiniports, FramesOfEveryKindCrossBothWays) {
  struct Case {
    const char* name;
    int from;
    bool broadcast;
    unsigned count, length, seed;
  };
  const Case cases[] = {
      {"unicast A to B", 0, false, 200, 1514, 7},
      {"unicast B to A", 1, false, 100, 60, 8},
      {"broadcast B to A", 1, true, 50, 300, 9},
      {"jumbo A to B", 0, false, 40, 9014, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int to = 1 - c.from;
    const std::string destination = c.broadcast ? "ff:ff:ff:ff:ff:ff" : macs_[to];
    const std::string count = std::to_string(c.count);
    const std::string sent = client(
        c.from, "send 0 " + destination + " " + count + " " + std::to_string(c.length) + " " + std::to_string(c.seed));
    EXPECT_NE(sent.find("completed=" + count + " succeeded=" + count), std::string::npos) << sent;
    const std::string match = "count 0 " + std::to_string(c.length) + " " + std::to_string(c.seed);
    EXPECT_TRUE(zeklab::eventually(
        [&] { return client(to, match).find("matching=" + count + "\n") != std::string::npos; }, 60'000, 50))
        << client(to, match) << read_file(dirs_[to] / "host.log");
  }
}

}  // namespace
