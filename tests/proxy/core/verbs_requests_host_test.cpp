// The verbs control requests in a real zekhost with zekhnic and zekproxy, from
// user processes (verbs_requests_client.cpp) through the user runtime's
// DeviceIoControl: the whole sequence with the user-access forms' mappings,
// hostile records, another process's handles, and a process killed with
// every kind of object open, after which the adapter's resource numbers in
// use are back at their baseline. The host stays up and stops leaving
// nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/lab.h"

namespace {

using zeklab::read_file;

class VerbsRequestsHost : public ::testing::Test {
 protected:
  void SetUp() override {
    lab_ = zeklab::make_temp_dir("verbs-lab");
    dir_ = zeklab::make_temp_dir("verbs-host");
    ASSERT_FALSE(lab_.empty());
    ASSERT_FALSE(dir_.empty());
    {
      std::ofstream conf(dir_ / "host.conf");
      conf << "[host]\nname = verbs\nmemory_mb = 128\nlab = " << lab_.string()
           << "\n\n[adapter nic0]\nfunctions = 1\nf0.IPADDRESS0 = 10.79.2.1\n\n"
           << "[driver zekhnic]\npath = " << ZEK_HNIC_DRIVER << "\n\n[driver zekproxy]\npath = " << ZEK_PROXY_DRIVER
           << "\n";
    }
    host_ = zeklab::spawn_host(dir_);
    ASSERT_TRUE(zeklab::eventually(
        [&] { return driver_log().find("ProxyAddNic: adapter 0 attached") != std::string::npos; }, 60'000, 200))
        << driver_log() << read_file(dir_ / "host.log");
  }
  void TearDown() override {
    zeklab::kill_child(holder_);
    if (host_ > 0) {
      EXPECT_EQ(zeklab::terminate(host_), 0);
    }
    const std::string log = read_file(dir_ / "host.log");
    EXPECT_EQ(log.find("fault"), std::string::npos) << log;
    EXPECT_EQ(log.find("still allocated"), std::string::npos) << log;
    EXPECT_EQ(log.find("left behind"), std::string::npos) << log;
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    std::filesystem::remove_all(lab_, ec);
  }

  std::string driver_log() {
    const std::filesystem::path out = dir_ / "logdump.txt";
    zeklab::exit_code(zeklab::spawn({ZEK_LOGDUMP_BINARY}, dir_, out));
    return read_file(out);
  }
  // Runs the client to its end: its exit code and output.
  int client(std::vector<std::string> args, std::string* output) {
    args.insert(args.begin(), ZEK_VERBS_CLIENT);
    const std::filesystem::path out = dir_ / "client.out";
    const int code = zeklab::exit_code(zeklab::spawn(args, dir_, out));
    *output = read_file(out);
    return code;
  }
  // The adapter's numbers in use, as the client prints them.
  std::string counts() {
    std::string out;
    EXPECT_EQ(client({"counts"}, &out), 0) << out;
    const auto at = out.find("counts");
    return at == std::string::npos ? out : out.substr(at, out.find('\n', at) - at);
  }

  std::filesystem::path lab_, dir_;
  pid_t host_ = -1;
  pid_t holder_ = -1;
};

TEST_F(VerbsRequestsHost, TheWholeSequenceAndHostileRecordsGetTheirAnswers) {
  const std::string baseline = counts();
  std::string out;
  EXPECT_EQ(client({"sequence"}, &out), 0) << out << driver_log();
  EXPECT_EQ(counts(), baseline);
}

TEST_F(VerbsRequestsHost, AnotherProcessesHandlesAndAKilledProcessLeaveNothing) {
  const std::string baseline = counts();
  const std::filesystem::path held = dir_ / "holder.out";
  holder_ = zeklab::spawn({ZEK_VERBS_CLIENT, "hold"}, dir_, held);
  ASSERT_TRUE(zeklab::eventually([&] { return read_file(held).find("ready") != std::string::npos; }, 30'000, 50))
      << read_file(held) << driver_log();
  EXPECT_EQ(read_file(held).find("FAILED"), std::string::npos) << read_file(held);
  std::istringstream line(read_file(held).substr(read_file(held).find("handles") + 7));
  std::string adapter, cq, qp, pd;
  line >> adapter >> cq >> qp >> pd;
  std::string out;
  EXPECT_EQ(client({"foreign", adapter, cq, qp, pd}, &out), 0) << out << driver_log();
  EXPECT_NE(counts(), baseline);  // the holder's objects are still there

  zeklab::kill_child(holder_);
  EXPECT_TRUE(zeklab::eventually([&] { return counts() == baseline; }, 20'000, 100))
      << counts() << " vs " << baseline << driver_log();
}

}  // namespace
