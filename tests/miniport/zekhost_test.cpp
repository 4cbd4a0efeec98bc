// zekhost with zekhnic: every PCI function of a one-, two- and four-function
// board comes up and runs, the link is indicated up when a peer is on the
// lab wire and not otherwise, the host stops with nothing left behind, and a
// second start of the same host directory comes up again.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/lab.h"

namespace {

using zeklab::read_file;

class ZekhostWithZekhnic : public ::testing::Test {
 protected:
  void TearDown() override {
    for (pid_t& pid : hosts_) zeklab::kill_child(pid);
    std::error_code ec;
    for (const auto& dir : dirs_) std::filesystem::remove_all(dir, ec);
  }
  // A host directory whose host.conf drives one board with zekhnic.
  std::filesystem::path host_dir(const std::string& name, unsigned functions, const std::string& lab = {}) {
    const std::filesystem::path dir = zeklab::make_temp_dir("zekhnic-" + name);
    dirs_.push_back(dir);
    std::ofstream conf(dir / "host.conf");
    conf << "[host]\nname = " << name << "\nmemory_mb = 64\n";
    if (!lab.empty()) conf << "lab = " << lab << "\n";
    conf << "\n[adapter nic0]\nfunctions = " << functions
         << "\nAeqElem = 4096\nf1.NetCfgInstanceId = {00000000-0000-0000-0000-000000000001}\n\n"
         << "[driver zekhnic]\npath = " << ZEK_HNIC_DRIVER << "\n";
    return dir;
  }
  pid_t start(const std::filesystem::path& dir) {
    hosts_.push_back(zeklab::spawn_host(dir));
    return hosts_.back();
  }
  // Waits until every function of the board runs.
  static bool all_running(const std::filesystem::path& dir, unsigned functions, int ms = 60'000) {
    return zeklab::eventually(
        [&] {
          const std::string log = read_file(dir / "host.log");
          for (unsigned f = 0; f < functions; ++f) {
            if (log.find("nic0." + std::to_string(f) + ": running") == std::string::npos) return false;
          }
          return true;
        },
        ms, 10);
  }
  static void stop(pid_t& pid, const std::filesystem::path& dir) {
    EXPECT_EQ(zeklab::terminate(pid), 0);
    pid = -1;
    const std::string log = read_file(dir / "host.log");
    EXPECT_NE(log.find("driver zekhnic unloaded"), std::string::npos) << log;
    EXPECT_EQ(log.find("left behind"), std::string::npos) << log;
    EXPECT_EQ(log.find("still mapped"), std::string::npos) << log;
    EXPECT_EQ(log.find("initialize failed"), std::string::npos) << log;
    EXPECT_NE(log.find("stopped"), std::string::npos) << log;
  }
  std::vector<pid_t> hosts_;
  std::vector<std::filesystem::path> dirs_;
};

TEST_F(ZekhostWithZekhnic, EveryFunctionRunsWithoutAPeerAndTheHostStopsCleanlyTwice) {
  for (unsigned functions : {1u, 2u, 4u}) {
    SCOPED_TRACE(std::to_string(functions) + " function(s)");
    const std::filesystem::path dir = host_dir("NIC" + std::to_string(functions), functions);
    ASSERT_FALSE(dir.empty());
    for (int load = 1; load <= 2; ++load) {
      SCOPED_TRACE("load " + std::to_string(load));
      std::filesystem::remove(dir / "host.log");
      const auto started = std::chrono::steady_clock::now();
      pid_t host = start(dir);
      ASSERT_TRUE(all_running(dir, functions)) << read_file(dir / "host.log");
      if (functions == 4) {
        // Start-up time of a four-function board, for the record: from the
        // start of the process until every function runs (the link timer's
        // second included).
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
        RecordProperty("four_function_start_ms", static_cast<int>(ms));
        std::printf("four-function board running %lld ms after the host started\n", static_cast<long long>(ms));
      }
      const std::string log = read_file(dir / "host.log");
      EXPECT_EQ(log.find("link up"), std::string::npos) << "no peer on the wire: " << log;
      EXPECT_EQ(log.find("error log"), std::string::npos) << log;
      stop(hosts_.back(), dir);
      (void)host;
    }
    // The adapter's EEPROM stays in the host directory.
    EXPECT_TRUE(std::filesystem::exists(dir / "nic0.eeprom"));
  }
}

// The link follows the wire: down while a host is alone, up on both hosts
// once a peer is there, down again when the peer goes.
TEST_F(ZekhostWithZekhnic, TheLinkFollowsThePeerOnTheWire) {
  const std::filesystem::path lab = zeklab::make_temp_dir("zekhnic-lab");
  ASSERT_FALSE(lab.empty());
  dirs_.push_back(lab);
  const std::filesystem::path a = host_dir("HOSTA", 1, lab.string());
  const std::filesystem::path b = host_dir("HOSTB", 1, lab.string());
  const auto says = [](const std::filesystem::path& dir, const char* text) {
    return zeklab::eventually([&] { return read_file(dir / "host.log").find(text) != std::string::npos; }, 30'000, 10);
  };
  start(a);
  ASSERT_TRUE(all_running(a, 1)) << read_file(a / "host.log");
  EXPECT_EQ(read_file(a / "host.log").find("link up"), std::string::npos) << "alone on the wire";
  start(b);
  ASSERT_TRUE(all_running(b, 1)) << read_file(b / "host.log");
  EXPECT_TRUE(says(b, "nic0.0: status indication 0x40010017 (40 bytes): link up")) << read_file(b / "host.log");
  EXPECT_TRUE(says(a, "nic0.0: status indication 0x40010017 (40 bytes): link up")) << read_file(a / "host.log");
  stop(hosts_[1], b);
  EXPECT_TRUE(says(a, "link down")) << read_file(a / "host.log");
  stop(hosts_[0], a);
}

}  // namespace
