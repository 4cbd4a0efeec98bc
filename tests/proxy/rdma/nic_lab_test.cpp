// Two simulated hosts in one lab exchange Ethernet frames through their
// driver NIC queue pairs over the lab wire: unicast both ways, broadcast,
// filtering of frames for another MAC, and a capture an analyser reads.
// Every wait ends on progress, not on the clock: a receive gives up only
// after a spell without any frame, and what must not arrive is checked
// against a marker sent after it (frames reach a queue pair in order).
#include <gtest/gtest.h>

#include "tests/proxy/rdma/nic_lab.h"

namespace {

using niclab::Lab;

class NicLabTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    lab_ = new Lab;
    std::string error;
    if (!lab_->start(&error)) {
      start_error_ = error;
      delete lab_;
      lab_ = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete lab_;
    lab_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(lab_, nullptr) << start_error_;
    // Each test starts with empty receive queues.
    lab_->client(0, "drain");
    lab_->client(1, "drain");
  }

  static Lab* lab_;
  static std::string start_error_;
};

Lab* NicLabTest::lab_ = nullptr;
std::string NicLabTest::start_error_;

TEST_F(NicLabTest, UnicastReachesThePeerInBothDirections) {
  struct Case {
    int from, to;
    const char* tag;
    int count, size;
  };
  for (const Case c : {Case{0, 1, "UNI-AB", 50, 1514}, Case{1, 0, "UNI-BA", 50, 60}, Case{0, 1, "UNI-AB2", 300, 512}}) {
    SCOPED_TRACE(c.tag);
    auto sent = lab_->client(
        c.from, "send " + lab_->mac(c.to) + " " + std::to_string(c.count) + " " + std::to_string(c.size) + " " + c.tag);
    ASSERT_EQ(sent.code, 0) << sent.output;
    auto received = lab_->client(c.to, "recv " + std::to_string(c.count) + " 20000 " + c.tag);
    // 300 frames in one burst: the receiver's queue must not run dry.
    EXPECT_EQ(received.code, 0) << received.output << lab_->client(c.to, "counters").output;
    EXPECT_NE(received.output.find("received " + std::to_string(c.count) + " "), std::string::npos) << received.output;
  }
  // Every send completed: nothing is left in flight on either host.
  for (int h = 0; h < 2; ++h) {
    EXPECT_TRUE(lab_->transmits_settle(h)) << lab_->client(h, "counters").output;
    EXPECT_NE(lab_->client(h, "counters").output.find("rx_errors=0 "), std::string::npos);
  }
}

TEST_F(NicLabTest, AReceiverThatFallsBehindLosesNoFrameOfABurst) {
  // Host B's driver is not scheduled while a burst of 500 frames arrives
  // (its NIC completions are held): the receive queue it filled must take
  // them all, since nothing is posted again until it runs.
  constexpr int kBurst = 500;
  ASSERT_EQ(lab_->client(1, "hold 1").code, 0);
  const auto field = [&](const std::string& name) {
    const std::string out = lab_->client(1, "counters").output;
    const std::size_t at = out.find(name + "=");
    return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + name.size() + 1);
  };
  ASSERT_EQ(lab_->client(0, "send " + lab_->mac(1) + " " + std::to_string(kBurst) + " 100 BURST").code, 0);
  // However long the wire takes: waits while frames still reach B's queue.
  const bool all_in =
      Lab::while_progressing([&] { return field("cq_waiting") >= kBurst; }, [&] { return field("cq_waiting"); });
  const int waiting = field("cq_waiting");
  ASSERT_EQ(lab_->client(1, "hold 0").code, 0);
  EXPECT_TRUE(all_in) << waiting << " of " << kBurst << " frames found a receive buffer";
  auto received = lab_->client(1, "recv " + std::to_string(kBurst) + " 20000 BURST");
  EXPECT_EQ(received.code, 0) << received.output << lab_->client(1, "counters").output;
}

TEST_F(NicLabTest, BroadcastReachesThePeerButNotTheSender) {
  ASSERT_EQ(lab_->client(0, "send ff:ff:ff:ff:ff:ff 10 100 BCAST").code, 0);
  auto received = lab_->client(1, "recv 10 20000 BCAST");
  EXPECT_EQ(received.code, 0) << received.output;
  // The sender's own queue pair does not hear its broadcast back: its own
  // copies would reach it before anything the peer sends after them.
  ASSERT_EQ(lab_->client(1, "send " + lab_->mac(0) + " 1 100 MARK").code, 0);
  auto own = lab_->client(0, "recv 1 20000 MARK");
  EXPECT_EQ(own.code, 0) << own.output;
  EXPECT_NE(own.output.find("received 1 other 0"), std::string::npos) << own.output;
}

TEST_F(NicLabTest, FramesForAnotherMacAreFilteredOut) {
  ASSERT_EQ(lab_->client(0, "send 02:00:00:00:00:99 5 100 STRAY").code, 0);
  ASSERT_EQ(lab_->client(0, "send " + lab_->mac(1) + " 1 100 MARK").code, 0);
  // The marker sent after them arrives, and nothing before it: the stray
  // frames never do.
  auto marker = lab_->client(1, "recv 1 20000 MARK");
  ASSERT_EQ(marker.code, 0) << marker.output;
  EXPECT_NE(marker.output.find("received 1 other 0"), std::string::npos) << marker.output;
}

TEST_F(NicLabTest, TheWireCaptureReadsInAProtocolAnalyser) {
  ASSERT_EQ(lab_->client(0, "send " + lab_->mac(1) + " 3 200 CAPT").code, 0);
  ASSERT_EQ(lab_->client(1, "recv 3 20000 CAPT").code, 0);
  ASSERT_TRUE(std::filesystem::exists(lab_->capture()));
  if (zektest::run_command("command -v tshark >/dev/null 2>&1").code != 0) {
    GTEST_SKIP() << "tshark is not installed (scripts/install-deps installs it): the capture was not checked";
  }
  auto read = zektest::run_command("tshark -r " + lab_->capture().string() + " -T fields -e eth.type 2>&1");
  EXPECT_EQ(read.code, 0) << read.output;
  EXPECT_NE(read.output.find("0x88b5"), std::string::npos) << read.output;
  EXPECT_EQ(read.output.find("rror"), std::string::npos) << read.output;
}

TEST_F(NicLabTest, HostsStopCleanlyWithTheWireUp) {
  // Last: the suite's hosts end here.
  EXPECT_EQ(lab_->stop(1), 0);
  // A is still up with its peer gone: its sends go nowhere, without error.
  EXPECT_EQ(lab_->client(0, "send ff:ff:ff:ff:ff:ff 3 100 ALONE").code, 0);
  EXPECT_EQ(lab_->stop(0), 0);
}

}  // namespace
