// Two zekhost hosts, HOSTA (10.77.0.1) and HOSTB (10.77.0.2), on one lab
// wire, each with the miniport and the proxy driver on a one-function
// adapter whose SAN address its keywords give, and the kernel socket client
// test driver (zeksocktest); started once the proxy
// driver has attached to the adapter (so the stack's interface is up) and
// the link is up. No test framework: the tests and the benchmarks share it.
#pragma once

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/lab.h"

namespace twohost {

inline constexpr const char* kAddress[2] = {"10.77.0.1", "10.77.0.2"};
inline constexpr const char* kName[2] = {"HOSTA", "HOSTB"};

class Lab {
 public:
  // With `capture`, each host's port writes DIR/wire.pcap. `drivers`: more
  // drivers each host loads (name, path). `impair` (the port's impairment
  // settings, docs/host.md) applies to what each port sends.
  explicit Lab(bool capture = false, std::vector<std::pair<std::string, std::string>> drivers = {},
               std::string impair = {})
      : capture_(capture), drivers_(std::move(drivers)), impair_(std::move(impair)) {}
  Lab(const Lab&) = delete;
  Lab& operator=(const Lab&) = delete;
  ~Lab() { stop(); }

  // Starts both hosts and waits (bounded) for the attach and the link; ""
  // or what did not happen, with the host's logs.
  std::string start() {
    root_ = zeklab::make_temp_dir("twohost");
    if (root_.empty()) return "no temporary directory";
    for (int i = 0; i < 2; ++i) {
      dir_[i] = root_ / kName[i];
      std::filesystem::create_directories(dir_[i]);
      std::ofstream conf(dir_[i] / "host.conf");
      conf << "[host]\nname = " << kName[i] << "\nlab = " << (root_ / "lab").string()
           << "\nmemory_mb = 256\n\n[adapter nic0]\nIPADDRESS0 = " << kAddress[i]
           << "\nNetMask0 = 255.255.255.0\nlossless = yes\n"
           << (capture_ ? "capture = wire.pcap\n" : "") << (impair_.empty() ? "" : "impair = " + impair_ + "\n")
           << "\n[driver zekproxy]\npath = " << ZEK_PROXY_DRIVER << "\n\n[driver zekhnic]\npath = " << ZEK_HNIC_DRIVER
           << "\n\n[driver zeksocktest]\npath = " << ZEK_SOCKTEST_DRIVER << "\n";
      for (const auto& [name, path] : drivers_) conf << "\n[driver " << name << "]\npath = " << path << "\n";
      conf.close();
      pid_[i] = zeklab::spawn_host(dir_[i]);
    }
    for (int i = 0; i < 2; ++i) {
      if (!zeklab::eventually(
              [&] { return driver_log(i).find("ProxyAddNic: adapter 0 attached") != std::string::npos; }, 60'000,
              200)) {
        return std::string(kName[i]) + " did not attach:\n" + host_log(i) + driver_log(i);
      }
      if (!zeklab::eventually([&] { return host_log(i).find("link up") != std::string::npos; }, 30'000, 20)) {
        return std::string(kName[i]) + "'s link did not come up:\n" + host_log(i);
      }
    }
    return {};
  }

  // SIGTERM to both; true when both stopped with 0.
  bool terminate() {
    bool clean = true;
    for (pid_t& pid : pid_) {
      if (pid > 0) clean = zeklab::terminate(pid) == 0 && clean;
      pid = -1;
    }
    return clean;
  }

  // Steps host `i`'s clock forward by `seconds` (SIGUSR1 with the number);
  // true once the host says it did.
  bool step_clock(int i, int seconds) {
    const std::string said = "clock stepped forward " + std::to_string(seconds) + " s";
    const auto times_said = [&] {
      const std::string log = host_log(i);
      std::size_t n = 0;
      for (std::size_t at = log.find(said); at != std::string::npos; at = log.find(said, at + 1)) ++n;
      return n;
    };
    const std::size_t before = times_said();
    sigval value{};
    value.sival_int = seconds;
    if (pid_[i] <= 0 || sigqueue(pid_[i], SIGUSR1, value) != 0) return false;
    return zeklab::eventually([&] { return times_said() > before; }, 10'000);
  }

  void stop() {
    for (pid_t& pid : children_) zeklab::kill_child(pid);
    children_.clear();
    for (pid_t& pid : pid_) zeklab::kill_child(pid);
    if (!root_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(root_, ec);
      root_.clear();
    }
  }

  const std::filesystem::path& dir(int i) const { return dir_[i]; }
  std::string host_log(int i) const { return zeklab::read_file(dir_[i] / "host.log"); }
  // The proxy driver's log ring of host `i`, as zeklogdump prints it.
  std::string driver_log(int i) const {
    const std::filesystem::path out = dir_[i] / "logdump.txt";
    zeklab::exit_code(zeklab::spawn({ZEK_LOGDUMP_BINARY}, dir_[i], out));
    return zeklab::read_file(out);
  }

  // twohost_peer as a process of host `i`, its output in `out` (under the
  // lab's directory).
  pid_t peer(int i, std::vector<std::string> args, const std::string& out) {
    args.insert(args.begin(), ZEK_TWOHOST_PEER);
    return program(i, std::move(args), out);
  }
  // Any program (args[0]) as a process of host `i`.
  pid_t program(int i, std::vector<std::string> args, const std::string& out) {
    const pid_t pid = zeklab::spawn(std::move(args), dir_[i], root_ / out);
    children_.push_back(pid);
    return pid;
  }
  // Waits (bounded) for a program that `program` started: its exit code, or
  // -1 when it ran past `ms` (it is killed).
  int wait(pid_t pid, int ms = 120'000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) != pid) {
      if (std::chrono::steady_clock::now() > end) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        status = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::erase(children_, pid);
    if (status == -1) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  std::string output(const std::string& out) const { return zeklab::read_file(root_ / out); }
  // A server on host `i`, once it printed "ready"; false if it did not.
  bool server(int i, std::vector<std::string> args, const std::string& out) {
    peer(i, std::move(args), out);
    return zeklab::eventually([&] { return output(out).find("ready") != std::string::npos; }, 20'000);
  }
  // A client on host `i`: its exit code, or -1 when it ran past `ms`.
  int client(int i, std::vector<std::string> args, const std::string& out, int ms = 120'000) {
    return wait(peer(i, std::move(args), out), ms);
  }

 private:
  bool capture_;
  std::vector<std::pair<std::string, std::string>> drivers_;
  std::string impair_;
  std::filesystem::path root_;
  std::filesystem::path dir_[2];
  pid_t pid_[2] = {-1, -1};
  std::vector<pid_t> children_;
};

}  // namespace twohost
