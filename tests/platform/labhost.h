// Hosts and processes for the tests of the user-mode services: a zekhost in
// a temporary directory of its own, and helper programs started as
// processes of a host (ZEK_HOST set for them). The plain process helpers
// are tests/support/lab.h's.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/lab.h"

extern char** environ;

namespace labtest {

using zeklab::eventually;
using zeklab::read_file;

// Starts a program; env entries ("NAME=value") replace or join this
// process's environment. The child dies with the test.
inline pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    bool replaced = false;
    for (const auto& over : env) {
      if (entry.substr(0, entry.find('=') + 1) == over.substr(0, over.find('=') + 1)) replaced = true;
    }
    if (!replaced) environment.push_back(entry);
  }
  environment.insert(environment.end(), env.begin(), env.end());
  std::vector<std::string> argv_copy = args;
  std::vector<char*> argv;
  for (auto& a : argv_copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  return pid;
}

// The exit code of a child (128 + signal when killed); waits at most
// `milliseconds`, then kills it and answers -1.
inline int finish(pid_t pid, int milliseconds = 60000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0) return -1;
    if (std::chrono::steady_clock::now() >= end) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// One zekhost in a directory of its own.
class Host {
 public:
  // conf: host.conf entries after the [host] section's own.
  Host(std::string name, std::string native, std::string conf = {}) : name_(std::move(name)) {
    dir_ = zeklab::make_temp_dir("zek-lab");
    std::ofstream out(dir_ / "host.conf");
    out << "[host]\nname = " << name_ << "\nnative = " << native << "\nmemory_mb = 32\n" << conf;
  }
  ~Host() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Starts zekhost and waits until it serves; false (with its log) when it does not.
  bool start() {
    const auto before = read_file(dir_ / "host.log").size();
    pid_ = spawn({ZEK_HOST_BINARY, "--dir", dir_.string()});
    return eventually(
        [&] {
          auto log = read_file(dir_ / "host.log");
          return log.size() > before && log.find("ready", before) != std::string::npos;
        },
        20000);
  }
  // SIGTERM; the host's exit code.
  int stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    const int code = finish(pid_);
    pid_ = -1;
    return code;
  }

  const std::filesystem::path& dir() const { return dir_; }
  std::string env() const { return "ZEK_HOST=" + dir_.string(); }
  std::string log() const { return read_file(dir_ / "host.log"); }
  pid_t pid() const { return pid_; }
  // A program run as a process of this host.
  pid_t run(std::vector<std::string> args, std::vector<std::string> env = {}) const {
    env.push_back(this->env());
    return spawn(args, env);
  }

 private:
  std::string name_;
  std::filesystem::path dir_;
  pid_t pid_ = -1;
};

}  // namespace labtest
