// Two zekhost hosts on one lab wire (the two-host lab), a user program on
// each: their TCP connection moves into the adapters with the TOE-state
// request on both ends, and 64 KB go through TOE requests and come back,
// every byte compared, the ends of both streams too. The hosts' logs show
// the TOE road was taken and the hosts stop leaving nothing.
#include <gtest/gtest.h>

#include <string>

#include "tests/proxy/twohost/twohost_lab.h"

namespace {

using twohost::kAddress;

TEST(ToeLab, AUserProgramEchoes64KbThroughTheAdaptersOfTwoHosts) {
  twohost::Lab lab;
  const std::string why = lab.start();
  ASSERT_EQ(why, "");
  ASSERT_TRUE(lab.server(1, {"serve", "6100"}, "server.txt")) << lab.output("server.txt");
  const int code = lab.client(0, {"echo", kAddress[1], "6100", "65536"}, "client.txt", 120'000);
  EXPECT_EQ(code, 0) << lab.output("client.txt") << "\nserver:\n"
                     << lab.output("server.txt") << "\nA:\n"
                     << lab.driver_log(0) << "\nB:\n"
                     << lab.driver_log(1);
  EXPECT_NE(lab.output("client.txt").find("offloaded"), std::string::npos);
  EXPECT_NE(lab.output("client.txt").find("echoed 65536"), std::string::npos) << lab.output("client.txt");
  EXPECT_TRUE(
      zeklab::eventually([&] { return lab.output("server.txt").find("echoed 65536") != std::string::npos; }, 20'000))
      << lab.output("server.txt");
  for (int i = 0; i < 2; ++i) {
    const std::string log = lab.driver_log(i);
    EXPECT_NE(log.find("OffLoadSend: Send"), std::string::npos) << "host " << i << " used the TOE road\n" << log;
    EXPECT_NE(log.find("OffLoadRecv: Received"), std::string::npos) << log;
  }
  EXPECT_TRUE(lab.terminate());
  for (int i = 0; i < 2; ++i) {
    const std::string log = lab.host_log(i);
    EXPECT_EQ(log.find("still allocated"), std::string::npos) << log;
    EXPECT_EQ(log.find("fault"), std::string::npos) << log;
  }
}

}  // namespace
