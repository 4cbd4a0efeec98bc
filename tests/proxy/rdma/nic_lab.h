// Two zekhost processes in a temporary lab, each with one simulated adapter
// on the lab wire and the NIC test driver; host A captures its port. The
// client program runs against either host.
#pragma once

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "tests/support/lab.h"
#include "tests/support/run_command.h"

namespace niclab {

using Result = zektest::CommandResult;

class Lab {
 public:
  // Starts both hosts; `error` says what failed.
  bool start(std::string* error) {
    root_ = zeklab::make_temp_dir("zeklab");
    if (root_.empty()) return fail(error, "mkdtemp");
    for (int i = 0; i < 2; ++i) {
      const std::string name = i == 0 ? "hosta" : "hostb";
      dirs_[i] = root_ / name;
      std::filesystem::create_directories(dirs_[i]);
      std::ofstream conf(dirs_[i] / "host.conf");
      conf << "[host]\nname = " << (i == 0 ? "HOSTA" : "HOSTB") << "\nnative = 127.0.10." << (i + 1)
           << "\nlab = " << (root_ / "lab").string()
           << "\nmemory_mb = 192\n\n[adapter nic0]\ndriver = zeknictest\nlossless = yes\n"
           << (i == 0 ? "capture = wire.pcap\n" : "") << "\n[driver zeknictest]\npath = " << ZEK_NIC_DRIVER << "\n";
    }
    for (int i = 0; i < 2; ++i) hosts_[i] = zeklab::spawn_host(dirs_[i]);
    for (int i = 0; i < 2; ++i) {
      // A host that dies fails the start at once; one that is only slow
      // (a loaded machine, a sanitizer build) is given its time.
      if (!while_alive(i, [&] { return zeklab::host_ready(dirs_[i]); })) {
        return fail(error, "host " + std::to_string(i) + " not ready: " + zeklab::read_file(dirs_[i] / "host.log"));
      }
      if (!while_alive(i,
                       [&] {
                         const std::string out = client(i, "counters").output;
                         return out.find("up=1") != std::string::npos ||
                                zeklab::read_file(dirs_[i] / "host.log").find("no NIC") != std::string::npos;
                       }) ||
          client(i, "counters").output.find("up=1") == std::string::npos) {
        return fail(error, "host " + std::to_string(i) + " NIC not up: " + zeklab::read_file(dirs_[i] / "host.log"));
      }
      const std::string out = client(i, "counters").output;
      macs_[i] = out.substr(out.find("mac=") + 4, 17);
    }
    return true;
  }

  ~Lab() {
    for (pid_t& pid : hosts_) zeklab::kill_child(pid);
    std::error_code ec;
    if (!root_.empty()) std::filesystem::remove_all(root_, ec);
  }

  // Stops a host with SIGTERM; its exit code.
  int stop(int i) {
    const int code = zeklab::terminate(hosts_[i]);
    hosts_[i] = -1;
    return code;
  }

  Result client(int host, const std::string& args) const {
    // A client that hangs is a failure with its output, not a stuck test.
    return zektest::run_command("ZEK_HOST=" + dirs_[host].string() + " timeout 90 " + ZEK_NIC_CLIENT + " " + args +
                                " 2>&1");
  }
  const std::string& mac(int host) const { return macs_[host]; }
  std::filesystem::path dir(int host) const { return dirs_[host]; }
  std::filesystem::path capture() const { return dirs_[0] / "wire.pcap"; }

  // Waits (real time, bounded) until `condition` holds.
  template <typename F>
  static bool eventually(F condition, int milliseconds = 20000) {
    return zeklab::eventually(condition, milliseconds, 20);
  }

  // Waits until `condition` holds while `progress` keeps changing: false
  // once it has stayed the same for `idle_ms` (real time) with the condition
  // still false. However slow the machine, a wait that sees progress goes on.
  template <typename F, typename P>
  static bool while_progressing(F condition, P progress, int idle_ms = 20000) {
    auto last = progress();
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(idle_ms);
    while (!condition()) {
      auto now_progress = progress();
      if (now_progress != last) {
        last = now_progress;
        end = std::chrono::steady_clock::now() + std::chrono::milliseconds(idle_ms);
      } else if (std::chrono::steady_clock::now() > end) {
        return condition();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

  // Waits until the host's transmits have all completed, while they still
  // complete.
  bool transmits_settle(int host) const {
    const auto field = [&](const std::string& name) {
      const std::string out = client(host, "counters").output;
      const std::size_t at = out.find(name + "=");
      return at == std::string::npos ? std::string() : out.substr(at, out.find(' ', at) - at);
    };
    return while_progressing([&] { return field("tx_outstanding") == "tx_outstanding=0"; },
                             [&] { return field("tx_completed"); });
  }

 private:
  // Waits until `condition` holds while host i's process lives, for at most
  // kStartLimit (a host that neither starts nor dies).
  template <typename F>
  bool while_alive(int i, F condition) {
    constexpr int kStartLimitMs = 180000;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartLimitMs);
    while (!condition()) {
      if (hosts_[i] <= 0) return condition();
      if (waitpid(hosts_[i], nullptr, WNOHANG) != 0) {
        hosts_[i] = -1;  // it died (and is reaped)
        return condition();
      }
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

  static bool fail(std::string* error, const std::string& text) {
    *error = text;
    return false;
  }

  std::filesystem::path root_;
  std::filesystem::path dirs_[2];
  pid_t hosts_[2] = {-1, -1};
  std::string macs_[2];
};

}  // namespace niclab
