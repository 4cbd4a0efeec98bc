// The verbs control requests in a real zekhost with zekhnic and zekproxy, from
// user processes (verbs_requests_client.cpp) through the user runtime's
// DeviceIoControl: the whole sequence with the user-access forms' mappings,
// a heap buffer of the process registered and queried through the adapter,
// windows, receives posted with their lists in the process's memory, hostile
// records (posting ones too), another process's handles, and a process
// killed with every kind of object open (a locked region and posted
// receives among them), after which the adapter's resource numbers in use
// are back at their baseline. The host stays up and stops leaving nothing.
// (The adapter model does not turn frames for its own address around, so
// the byte-for-byte data path between two queue pairs of one process is the
// in-process VerbsRequestsLoopback test.)
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/proxy_host.h"

namespace {

using zeklab::read_file;

class VerbsRequestsHost : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(host_.made());
    ASSERT_TRUE(host_.start());
  }
  void TearDown() override {
    zeklab::kill_child(holder_);
    host_.stop();
  }

  std::string driver_log() { return host_.driver_log(); }
  // Runs the client to its end: its exit code and output.
  int client(std::vector<std::string> args, std::string* output) {
    args.insert(args.begin(), ZEK_VERBS_CLIENT);
    return host_.run(std::move(args), output);
  }
  // The adapter's numbers in use, as the client prints them.
  std::string counts() {
    std::string out;
    EXPECT_EQ(client({"counts"}, &out), 0) << out;
    const auto at = out.find("counts");
    return at == std::string::npos ? out : out.substr(at, out.find('\n', at) - at);
  }

  proxyhost::Host host_{"verbs", 128, {"10.79.2.1"}};
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
  const std::filesystem::path held = host_.dir() / "holder.out";
  holder_ = zeklab::spawn({ZEK_VERBS_CLIENT, "hold"}, host_.dir(), held);
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
