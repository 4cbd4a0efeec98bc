// The multicast receive queue between two hosts of a lab: host A runs the
// miniport and the proxy driver, and a user process there takes multicast
// frames from its queue; host B sends them through the NIC test driver's
// NIC queue pair. The frames arrive whole and in order through more
// buffers than the queue has (so released buffers are used again); a
// second process cannot have the queue while one holds it; a process that
// is killed leaves the queue free, and the host stops leaving nothing.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/lab.h"

namespace {

using zeklab::read_file;

constexpr char kGroupMac[] = "01:00:5e:01:02:03";

class McrqLab : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = zeklab::make_temp_dir("mcrq-lab");
    ASSERT_FALSE(root_.empty());
    a_ = root_ / "hosta";
    b_ = root_ / "hostb";
    std::filesystem::create_directories(a_);
    std::filesystem::create_directories(b_);
    const std::string lab = (root_ / "lab").string();
    {
      std::ofstream conf(a_ / "host.conf");
      conf << "[host]\nname = MCRQA\nmemory_mb = 128\nlab = " << lab
           << "\n\n[adapter nic0]\nlossless = yes\nf0.IPADDRESS0 = 10.77.9.1\n\n[driver zekhnic]\npath = "
           << ZEK_HNIC_DRIVER << "\n\n[driver zekproxy]\npath = " << ZEK_PROXY_DRIVER << "\n";
    }
    {
      std::ofstream conf(b_ / "host.conf");
      conf << "[host]\nname = MCRQB\nmemory_mb = 96\nlab = " << lab
           << "\n\n[adapter nic0]\ndriver = zeknictest\nlossless = yes\n\n[driver zeknictest]\npath = "
           << ZEK_NIC_DRIVER << "\n";
    }
    host_a_ = zeklab::spawn_host(a_);
    host_b_ = zeklab::spawn_host(b_);
    ASSERT_TRUE(zeklab::eventually([&] { return zeklab::host_ready(a_) && zeklab::host_ready(b_); }, 60'000, 20))
        << read_file(a_ / "host.log") << read_file(b_ / "host.log");
    ASSERT_TRUE(
        zeklab::eventually([&] { return nic_client("counters").find("up=1") != std::string::npos; }, 60'000, 200))
        << read_file(b_ / "host.log");
    ASSERT_TRUE(zeklab::eventually(
        [&] { return driver_log().find("ProxyAddNic: adapter 0 attached") != std::string::npos; }, 60'000, 200))
        << read_file(a_ / "host.log") << driver_log();
  }

  void TearDown() override {
    zeklab::kill_child(client_);
    zeklab::kill_child(host_a_);
    zeklab::kill_child(host_b_);
    std::error_code ec;
    if (!root_.empty()) std::filesystem::remove_all(root_, ec);
  }

  std::string driver_log() const {
    const std::filesystem::path out = a_ / "logdump.txt";
    zeklab::exit_code(zeklab::spawn({ZEK_LOGDUMP_BINARY}, a_, out));
    return read_file(out);
  }
  std::string nic_client(const std::string& args) const {
    const std::filesystem::path out = b_ / "nicclient.txt";
    std::vector<std::string> argv{ZEK_NIC_CLIENT};
    std::string word;
    for (std::istringstream in(args); in >> word;) argv.push_back(word);
    zeklab::exit_code(zeklab::spawn(argv, b_, out));
    return read_file(out);
  }
  // Starts the queue's client on host A; its output goes to `out`.
  void start_client(const std::vector<std::string>& args, const std::filesystem::path& out) {
    std::vector<std::string> argv{ZEK_MCRQ_CLIENT};
    argv.insert(argv.end(), args.begin(), args.end());
    client_ = zeklab::spawn(argv, a_, out);
  }
  int run_client(const std::vector<std::string>& args, std::string* output) {
    const std::filesystem::path out = a_ / "client2.txt";
    std::vector<std::string> argv{ZEK_MCRQ_CLIENT};
    argv.insert(argv.end(), args.begin(), args.end());
    const int code = zeklab::exit_code(zeklab::spawn(argv, a_, out));
    *output = read_file(out);
    return code;
  }
  // Stops host A; its log shows nothing left behind.
  void stop_host_a() {
    EXPECT_EQ(zeklab::terminate(host_a_), 0);
    host_a_ = -1;
    const std::string log = read_file(a_ / "host.log");
    EXPECT_EQ(log.find("still allocated"), std::string::npos) << log;
    EXPECT_EQ(log.find("left behind"), std::string::npos) << log;
    EXPECT_EQ(log.find("fault"), std::string::npos) << log;
  }

  std::filesystem::path root_, a_, b_;
  pid_t host_a_ = -1, host_b_ = -1, client_ = -1;
};

// The queue has no back-pressure (a frame that finds no buffer is dropped,
// counted), so the sender sends in rounds of fewer frames than the queue has
// buffers, each once the receiver has handed the last round's back.
TEST_F(McrqLab, AProcessReceivesTheGroupsFramesFromTheWireThroughReusedBuffers) {
  constexpr int kRound = 350;          // each round numbers its frames from 0
  constexpr int kFrames = 2 * kRound;  // more than the queue's 512 buffers
  const std::filesystem::path out = a_ / "client.txt";
  start_client({"recv", std::to_string(kFrames), "MCRQTAG", "30000", std::to_string(kRound)}, out);
  ASSERT_TRUE(zeklab::eventually([&] { return read_file(out).find("ready") != std::string::npos; }, 60'000, 20))
      << read_file(out) << driver_log();
  for (int round = 0; round < 2; ++round) {
    if (round > 0) {
      ASSERT_TRUE(zeklab::eventually(
          [&] { return read_file(out).find("released " + std::to_string(kRound) + "\n") != std::string::npos; }, 60'000,
          20))
          << read_file(out);
    }
    const std::string sent =
        nic_client(std::string("send ") + kGroupMac + " " + std::to_string(kRound) + " 200 MCRQTAG");
    EXPECT_NE(sent.find("sent " + std::to_string(kRound)), std::string::npos) << sent;
  }
  EXPECT_EQ(zeklab::exit_code(client_), 0) << read_file(out) << driver_log();
  client_ = -1;
  EXPECT_NE(read_file(out).find("received " + std::to_string(kFrames)), std::string::npos) << read_file(out);
  stop_host_a();
}

TEST_F(McrqLab, TheQueueIsOneProcesssAndAKilledProcessLeavesItFree) {
  const std::filesystem::path out = a_ / "client.txt";
  start_client({"hold"}, out);
  ASSERT_TRUE(zeklab::eventually([&] { return read_file(out).find("ready") != std::string::npos; }, 60'000, 20))
      << read_file(out) << driver_log();
  std::string second;
  EXPECT_NE(run_client({"open"}, &second), 0) << second;
  EXPECT_NE(second.find("open status 1"), std::string::npos) << second;
  std::string foreign;
  EXPECT_EQ(run_client({"foreign"}, &foreign), 0) << foreign << "\nanother process reached the holder's queue";

  kill(client_, SIGKILL);
  zeklab::exit_code(client_);
  client_ = -1;
  std::string again;
  EXPECT_TRUE(zeklab::eventually([&] { return run_client({"open"}, &again) == 0; }, 30'000, 100))
      << again << driver_log();
  stop_host_a();
}

}  // namespace
