// zekhost with an [adapter] section and zekhnic: each PCI function gets an
// adapter whose initialisation stops at the hardware bring-up, and the host
// stops cleanly with nothing left behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(ZekhostWithZekhnic, EveryFunctionIsInitialisedUpToTheHardwareBringUpAndTheHostStopsCleanly) {
  char pattern[] = "/tmp/zekhnic-host-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::filesystem::path dir = pattern;
  std::ofstream(dir / "host.conf") << "[host]\nname = NICHOST\nmemory_mb = 64\n\n[adapter nic0]\nfunctions = 2\n"
                                   << "AeqElem = 4096\nf1.NetCfgInstanceId = {00000000-0000-0000-0000-000000000001}\n\n"
                                   << "[driver zekhnic]\npath = " << ZEK_HNIC_DRIVER << "\n";
  const pid_t host = fork();
  if (host == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    execl(ZEK_HOST_BINARY, ZEK_HOST_BINARY, "--dir", pattern, static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string log;
  for (int i = 0; i < 2000 && log.find("ready") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    log = read_file(dir / "host.log");
  }
  ASSERT_NE(log.find("ready"), std::string::npos) << log;
  EXPECT_NE(log.find("driver zekhnic: 2 adapter(s) bound"), std::string::npos) << log;
  EXPECT_NE(log.find("ndis: nic0.0: initialize failed with 0xc00000bb"), std::string::npos) << log;
  EXPECT_NE(log.find("ndis: nic0.1: initialize failed with 0xc00000bb"), std::string::npos) << log;
  EXPECT_EQ(log.find("error log"), std::string::npos) << log;
  const std::string registry = read_file(dir / "registry.txt");
  EXPECT_NE(registry.find("\"AeqElem\"=sz:4096"), std::string::npos) << registry;
  EXPECT_NE(registry.find("{00000000-0000-0000-0000-000000000001}"), std::string::npos) << registry;

  kill(host, SIGTERM);
  int status = 0;
  waitpid(host, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  log = read_file(dir / "host.log");
  EXPECT_NE(log.find("driver zekhnic unloaded"), std::string::npos) << log;
  EXPECT_EQ(log.find("left behind"), std::string::npos) << log;
  EXPECT_EQ(log.find("still mapped"), std::string::npos) << log;
  EXPECT_NE(log.find("stopped"), std::string::npos) << log;
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

}  // namespace
