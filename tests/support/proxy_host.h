// A zekhost with the miniport (zekhnic) and the proxy driver (zekproxy) on
// one board of a lab of its own, for the lab tests of the proxy driver's
// requests from user processes (tests/support/proxy_client.h is those
// processes' side): its directories and host.conf, its start until the proxy
// driver has attached to every function, the driver's log ring (zeklogdump),
// programs run as processes of the host, and a stop that must leave nothing
// behind. The test names its programs with ZEK_HOST_PROGRAMS.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/lab.h"

namespace proxyhost {

class Host {
 public:
  // The host `name` with `memory_mb` of memory; function i of its adapter
  // has the address addresses[i].
  Host(std::string name, int memory_mb, std::vector<std::string> addresses)
      : name_(std::move(name)),
        memory_mb_(memory_mb),
        addresses_(std::move(addresses)),
        lab_(zeklab::make_temp_dir(name_ + "-lab")),
        dir_(zeklab::make_temp_dir(name_ + "-host")) {
    if (made()) configure();
  }
  ~Host() {
    zeklab::kill_child(pid_);
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    if (!lab_.empty()) std::filesystem::remove_all(lab_, ec);
  }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Whether both directories could be made.
  bool made() const { return !lab_.empty() && !dir_.empty(); }
  const std::filesystem::path& dir() const { return dir_; }
  const std::filesystem::path& lab() const { return lab_; }

  // Writes host.conf again; `adapter` adds lines to the adapter's section.
  void configure(const std::string& adapter = {}) {
    std::ofstream conf(dir_ / "host.conf");
    conf << "[host]\nname = " << name_ << "\nmemory_mb = " << memory_mb_ << "\nlab = " << lab_.string()
         << "\n\n[adapter nic0]\nfunctions = " << addresses_.size() << "\n";
    for (std::size_t i = 0; i < addresses_.size(); ++i) conf << "f" << i << ".IPADDRESS0 = " << addresses_[i] << "\n";
    conf << adapter << "\n[driver zekhnic]\npath = " << ZEK_HNIC_DRIVER
         << "\n\n[driver zekproxy]\npath = " << ZEK_PROXY_DRIVER << "\n";
  }

  // Starts the host and waits until the proxy driver has attached to every
  // function; a failure carries the driver's and the host's logs.
  ::testing::AssertionResult start() {
    pid_ = zeklab::spawn_host(dir_);
    const bool attached = zeklab::eventually(
        [&] {
          const std::string log = driver_log();
          for (std::size_t i = 0; i < addresses_.size(); ++i) {
            if (log.find("ProxyAddNic: adapter " + std::to_string(i) + " attached") == std::string::npos) return false;
          }
          return true;
        },
        60'000, 200);
    if (attached) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the proxy driver did not attach:\n"
                                         << driver_log() << zeklab::read_file(dir_ / "host.log");
  }

  // Stops a started host: it must end with 0, having served everything
  // without a fault and freed everything.
  void stop() {
    if (pid_ <= 0) return;
    EXPECT_EQ(zeklab::terminate(pid_), 0);
    pid_ = -1;
    const std::string log = zeklab::read_file(dir_ / "host.log");
    EXPECT_EQ(log.find("fault"), std::string::npos) << log;
    EXPECT_EQ(log.find("still allocated"), std::string::npos) << log;
    EXPECT_EQ(log.find("left behind"), std::string::npos) << log;
  }

  // The proxy driver's log ring, as zeklogdump prints it.
  std::string driver_log() const {
    const std::filesystem::path out = dir_ / "logdump.txt";
    zeklab::exit_code(zeklab::spawn({ZEK_LOGDUMP_BINARY}, dir_, out));
    return zeklab::read_file(out);
  }

  // Runs args[0] with the arguments that follow as a process of the host,
  // to its end: its exit code, and its output in `*output`.
  int run(std::vector<std::string> args, std::string* output) const {
    const std::filesystem::path out = dir_ / "client.out";
    const int code = zeklab::exit_code(zeklab::spawn(std::move(args), dir_, out));
    *output = zeklab::read_file(out);
    return code;
  }

 private:
  std::string name_;
  int memory_mb_;
  std::vector<std::string> addresses_;
  std::filesystem::path lab_, dir_;
  pid_t pid_ = -1;
};

}  // namespace proxyhost
