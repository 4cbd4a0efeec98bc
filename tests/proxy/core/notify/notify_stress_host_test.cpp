// The notification under a real multi-process load: two zekhost hosts on one
// lab wire, each with the miniport and the proxy driver, and user processes
// (notify_stress_client.cpp) in pairs, one end of each pair on each host.
// Every process moves data between its queue pairs and its peer's through
// the verbs requests (RDMA writes, and sends into posted receives) on
// several CQs, a producer thread posting while a consumer thread waits
// through the event wait, polls and arms again; every completion must reach
// it exactly once, and nothing else. Afterwards both hosts stop leaving
// nothing behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/lab.h"

namespace {

using zeklab::read_file;

constexpr const char* kName[2] = {"NOTIFYA", "NOTIFYB"};
constexpr const char* kAddress[2] = {"10.79.4.1", "10.79.4.2"};

// Two hosts on one lossless lab wire, started until the proxy driver is
// attached and the link is up.
class TwoHosts {
 public:
  TwoHosts() : root_(zeklab::make_temp_dir("notify-stress")) {}
  ~TwoHosts() {
    for (pid_t& pid : programs_) zeklab::kill_child(pid);
    for (pid_t& pid : pid_) zeklab::kill_child(pid);
    std::error_code ec;
    if (!root_.empty()) std::filesystem::remove_all(root_, ec);
  }
  TwoHosts(const TwoHosts&) = delete;
  TwoHosts& operator=(const TwoHosts&) = delete;

  const std::filesystem::path& root() const { return root_; }
  const std::filesystem::path& dir(int i) const { return dir_[i]; }

  ::testing::AssertionResult start() {
    if (root_.empty()) return ::testing::AssertionFailure() << "no temporary directory";
    for (int i = 0; i < 2; ++i) {
      dir_[i] = root_ / kName[i];
      std::filesystem::create_directories(dir_[i]);
      std::ofstream conf(dir_[i] / "host.conf");
      conf << "[host]\nname = " << kName[i] << "\nlab = " << (root_ / "lab").string()
           << "\nmemory_mb = 160\n\n[adapter nic0]\nIPADDRESS0 = " << kAddress[i]
           << "\nNetMask0 = 255.255.255.0\nlossless = yes\n"
           << "\n[driver zekhnic]\npath = " << ZEK_HNIC_DRIVER << "\n\n[driver zekproxy]\npath = " << ZEK_PROXY_DRIVER
           << "\n";
      conf.close();
      pid_[i] = zeklab::spawn_host(dir_[i]);
    }
    for (int i = 0; i < 2; ++i) {
      if (!zeklab::eventually(
              [&] { return driver_log(i).find("ProxyAddNic: adapter 0 attached") != std::string::npos; }, 60'000,
              200)) {
        return ::testing::AssertionFailure() << kName[i] << " did not attach:\n" << host_log(i) << driver_log(i);
      }
      if (!zeklab::eventually([&] { return host_log(i).find("link up") != std::string::npos; }, 30'000, 20)) {
        return ::testing::AssertionFailure() << kName[i] << "'s link did not come up:\n" << host_log(i);
      }
    }
    return ::testing::AssertionSuccess();
  }

  // A program as a process of host `i`, its output in ROOT/out.
  pid_t program(int i, std::vector<std::string> args, const std::string& out) {
    const pid_t pid = zeklab::spawn(std::move(args), dir_[i], root_ / out);
    programs_.push_back(pid);
    return pid;
  }
  // Its exit code, or -1 when it ran past `end` (it is killed then).
  int wait(pid_t pid, std::chrono::steady_clock::time_point end) {
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) != pid) {
      if (std::chrono::steady_clock::now() > end) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        std::erase(programs_, pid);
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::erase(programs_, pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // Stops both hosts: each must end with 0, without a fault, freeing everything.
  void stop() {
    for (int i = 0; i < 2; ++i) {
      if (pid_[i] <= 0) continue;
      EXPECT_EQ(zeklab::terminate(pid_[i]), 0) << kName[i];
      pid_[i] = -1;
      const std::string log = host_log(i);
      EXPECT_EQ(log.find("fault"), std::string::npos) << log;
      EXPECT_EQ(log.find("still allocated"), std::string::npos) << log;
      EXPECT_EQ(log.find("left behind"), std::string::npos) << log;
    }
  }

  std::string host_log(int i) const { return read_file(dir_[i] / "host.log"); }
  std::string driver_log(int i) const {
    const std::filesystem::path out = dir_[i] / "logdump.txt";
    zeklab::exit_code(zeklab::spawn({ZEK_LOGDUMP_BINARY}, dir_[i], out));
    return read_file(out);
  }

 private:
  std::filesystem::path root_;
  std::filesystem::path dir_[2];
  pid_t pid_[2] = {-1, -1};
  std::vector<pid_t> programs_;
};

// The processes of one run: pairs of ends, one process on each host, each
// pair on a port of its own; `accepting` names the host whose end accepts.
struct Pairs {
  const char* what;
  std::vector<int> accepting;
};

// Runs every pair at once, three queue pairs and CQs per process: every
// process must see each of its 3 x (40 + 2 x 24) completions once, and
// nothing else; then both hosts stop clean.
void run(const Pairs& c) {
  SCOPED_TRACE(c.what);
  TwoHosts lab;
  ASSERT_TRUE(lab.start());
  const std::string sync = (lab.root() / "sync").string();
  std::filesystem::create_directories(sync);
  struct End {
    int host;
    std::string out;
    pid_t pid = -1;
  };
  std::vector<End> ends;
  for (std::size_t pair = 0; pair < c.accepting.size(); ++pair) {
    const std::string name = "pair" + std::to_string(pair);
    const std::string port = std::to_string(6300 + pair);
    for (int host : {c.accepting[pair], 1 - c.accepting[pair]}) {
      End e{host, name + "-" + kName[host] + ".txt"};
      const char* role = host == c.accepting[pair] ? "accept" : "connect";
      e.pid = lab.program(
          host, {ZEK_NOTIFY_STRESS_CLIENT, role, kAddress[host], kAddress[1 - host], port, sync, name, "3", "40", "24"},
          e.out);
      ends.push_back(e);
    }
  }
  // The processes give up by themselves well before this (no step waits
  // without bound); it only keeps a hung one from holding the test.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(200);
  for (End& e : ends) {
    const int code = lab.wait(e.pid, end);
    const std::string out = read_file(lab.root() / e.out);
    EXPECT_EQ(code, 0) << e.out << ":\n" << out << lab.driver_log(e.host);
    EXPECT_NE(out.find("completions " + std::to_string(3 * (40 + 2 * 24))), std::string::npos) << out;
  }
  lab.stop();
}

// One process on each host, one end of the pair each.
TEST(NotifyTwoHosts, ProducersAndConsumersOfTwoProcessesLoseNoCompletion) { run({"one process on each host", {1}}); }

// Each host serves two processes at once, one accepting and one connecting.
TEST(NotifyTwoHosts, TwoProcessesOnEachHostLoseNoCompletion) { run({"two processes on each host", {1, 0}}); }

}  // namespace
