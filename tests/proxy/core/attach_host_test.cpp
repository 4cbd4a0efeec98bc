// zekhost with zekhnic and zekproxy on a two-function board: the proxy
// driver attaches to each adapter once its address is announced (with the
// host stack's interface on it: a configured address, or a DHCP client),
// and the host stops leaving nothing, whichever goes first: the proxy driver's
// unload, or the miniport's address withdrawal and halt (with the link down,
// alone on its wire, or up, with a peer host on the lab wire).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/lab.h"

namespace {

using zeklab::read_file;

class ZekhostAttach : public ::testing::Test {
 protected:
  void TearDown() override {
    for (pid_t& pid : hosts_) zeklab::kill_child(pid);
    std::error_code ec;
    for (const auto& dir : dirs_) std::filesystem::remove_all(dir, ec);
  }
  // Drivers in host.conf order: the host unloads them in reverse.
  // With `dhcp`, function 1 asks for its address (DHCP0; no server answers).
  std::filesystem::path host_dir(const std::string& name, bool proxy_first, const std::string& lab = {},
                                 bool dhcp = false) {
    const std::filesystem::path dir = zeklab::make_temp_dir("attach-" + name);
    dirs_.push_back(dir);
    std::ofstream conf(dir / "host.conf");
    conf << "[host]\nname = " << name << "\nmemory_mb = 96\n";
    if (!lab.empty()) conf << "lab = " << lab << "\n";
    conf << "\n[adapter nic0]\nfunctions = 2\nf0.IPADDRESS0 = 10.77." << dirs_.size() << ".1\nf1.IPADDRESS0 = 10.77."
         << dirs_.size() << ".2\n"
         << (dhcp ? "f1.DHCP0 = 1\n" : "") << "\n";
    const std::string proxy = std::string("[driver zekproxy]\npath = ") + ZEK_PROXY_DRIVER + "\n\n";
    const std::string hnic = std::string("[driver zekhnic]\npath = ") + ZEK_HNIC_DRIVER + "\n\n";
    conf << (proxy_first ? proxy + hnic : hnic + proxy);
    return dir;
  }
  pid_t start(const std::filesystem::path& dir) {
    hosts_.push_back(zeklab::spawn_host(dir));
    return hosts_.back();
  }
  // The proxy driver's log ring, as zeklogdump prints it.
  static std::string driver_log(const std::filesystem::path& dir) {
    const std::filesystem::path out = dir / "logdump.txt";
    const pid_t pid = zeklab::spawn({ZEK_LOGDUMP_BINARY}, dir.string(), out.string());
    zeklab::exit_code(pid);
    return read_file(out);
  }
  static bool both_attached(const std::filesystem::path& dir) {
    return zeklab::eventually(
        [&] {
          const std::string log = driver_log(dir);
          return log.find("ProxyAddNic: adapter 0 attached (PCI function 0)") != std::string::npos &&
                 log.find("ProxyAddNic: adapter 1 attached (PCI function 1)") != std::string::npos;
        },
        60'000, 200);
  }
  static void stop(pid_t& pid, const std::filesystem::path& dir) {
    EXPECT_EQ(zeklab::terminate(pid), 0);
    pid = -1;
    const std::string log = read_file(dir / "host.log");
    EXPECT_NE(log.find("driver zekproxy unloaded"), std::string::npos) << log;
    EXPECT_NE(log.find("driver zekhnic unloaded"), std::string::npos) << log;
    EXPECT_EQ(log.find("still allocated"), std::string::npos) << log;
    EXPECT_EQ(log.find("left behind"), std::string::npos) << log;
    EXPECT_EQ(log.find("fault"), std::string::npos) << log;
    EXPECT_NE(log.find("stopped"), std::string::npos) << log;
  }
  std::vector<pid_t> hosts_;
  std::vector<std::filesystem::path> dirs_;
};

TEST_F(ZekhostAttach, EachAdapterAttachesAndEveryDetachOrderLeavesNothing) {
  const struct {
    const char* name;
    bool proxy_first;  // listed first: unloaded last, after the miniport's halt
  } cases[] = {
      {"the proxy driver unloads first", false},
      {"the address goes and the miniport halts first", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Function 0's stack interface has its configured address, function
    // 1's runs a DHCP client (no server answers it).
    const auto dir = host_dir(c.proxy_first ? "halt" : "unload", c.proxy_first, {}, /*dhcp=*/true);
    pid_t pid = start(dir);
    EXPECT_TRUE(both_attached(dir)) << driver_log(dir) << read_file(dir / "host.log");
    stop(pid, dir);
  }
}

// With a peer on the lab wire the link is up, and the address's withdrawal
// before the halt detaches the adapter itself.
TEST_F(ZekhostAttach, WithTheLinkUpTheAddressWithdrawalDetaches) {
  const auto lab = zeklab::make_temp_dir("attach-lab");
  dirs_.push_back(lab);
  const auto a = host_dir("a", true, lab.string());
  const auto b = host_dir("b", true, lab.string());
  pid_t pa = start(a);
  pid_t pb = start(b);
  EXPECT_TRUE(both_attached(a)) << driver_log(a);
  EXPECT_TRUE(both_attached(b)) << driver_log(b);
  EXPECT_TRUE(
      zeklab::eventually([&] { return read_file(a / "host.log").find("link up") != std::string::npos; }, 30'000, 20))
      << read_file(a / "host.log");
  stop(pa, a);
  stop(pb, b);
}

}  // namespace
