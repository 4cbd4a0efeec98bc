// Two zekhost processes in a temporary lab, each with one simulated adapter
// on the lab wire and the NIC test driver; host A captures its port. The
// client program runs against either host.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace niclab {

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Result {
  int code = -1;
  std::string output;
};

// Runs a command through the shell; its exit code and standard output.
inline Result run(const std::string& command) {
  Result r;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return r;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) r.output += buffer;
  const int status = pclose(pipe);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  return r;
}

class Lab {
 public:
  // Starts both hosts; `error` says what failed.
  bool start(std::string* error) {
    char pattern[] = "/tmp/zeklab-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return fail(error, "mkdtemp");
    root_ = pattern;
    for (int i = 0; i < 2; ++i) {
      const std::string name = i == 0 ? "hosta" : "hostb";
      dirs_[i] = root_ / name;
      std::filesystem::create_directories(dirs_[i]);
      std::ofstream conf(dirs_[i] / "host.conf");
      conf << "[host]\nname = " << (i == 0 ? "HOSTA" : "HOSTB") << "\nnative = 127.0.10." << (i + 1)
           << "\nlab = " << (root_ / "lab").string() << "\nmemory_mb = 192\n\n[adapter nic0]\ndriver = zeknictest\n"
           << (i == 0 ? "capture = wire.pcap\n" : "") << "\n[driver zeknictest]\npath = " << ZEK_NIC_DRIVER << "\n";
    }
    for (int i = 0; i < 2; ++i) hosts_[i] = spawn({ZEK_HOST_BINARY, "--dir", dirs_[i].string()});
    for (int i = 0; i < 2; ++i) {
      if (!eventually([&] { return read_file(dirs_[i] / "host.log").find("ready") != std::string::npos; })) {
        return fail(error, "host " + std::to_string(i) + " not ready: " + read_file(dirs_[i] / "host.log"));
      }
      if (!eventually([&] { return client(i, "counters").output.find("up=1") != std::string::npos; })) {
        return fail(error, "host " + std::to_string(i) + " NIC not up: " + read_file(dirs_[i] / "host.log"));
      }
      const std::string out = client(i, "counters").output;
      macs_[i] = out.substr(out.find("mac=") + 4, 17);
    }
    return true;
  }

  ~Lab() {
    for (pid_t& pid : hosts_) {
      if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
    }
    std::error_code ec;
    if (!root_.empty()) std::filesystem::remove_all(root_, ec);
  }

  // Stops a host with SIGTERM; its exit code.
  int stop(int i) {
    kill(hosts_[i], SIGTERM);
    int status = 0;
    waitpid(hosts_[i], &status, 0);
    hosts_[i] = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  }

  Result client(int host, const std::string& args) const {
    // A client that hangs is a failure with its output, not a stuck test.
    return run("ZEK_HOST=" + dirs_[host].string() + " timeout 90 " + ZEK_NIC_CLIENT + " " + args + " 2>&1");
  }
  const std::string& mac(int host) const { return macs_[host]; }
  std::filesystem::path dir(int host) const { return dirs_[host]; }
  std::filesystem::path capture() const { return dirs_[0] / "wire.pcap"; }

  template <typename F>
  static bool eventually(F condition, int milliseconds = 20000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < end) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
  }

 private:
  static bool fail(std::string* error, const std::string& text) {
    *error = text;
    return false;
  }
  static pid_t spawn(std::vector<std::string> args) {
    pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    return pid;
  }

  std::filesystem::path root_;
  std::filesystem::path dirs_[2];
  pid_t hosts_[2] = {-1, -1};
  std::string macs_[2];
};

}  // namespace niclab
